// Helpers shared by the binding files of morvel._vortel32.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#ifdef __linux__
#include <sys/mman.h>
#endif
#include <string>

#include "core/kernels.hpp"
#include "core/registry.hpp"

namespace nb = nanobind;

namespace morvel::bind {

using WordsIn = nb::ndarray<const uint32_t, nb::ndim<1>, nb::device::cpu>;
template <typename T>
using ArrayOut = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A fresh numpy array of n elements whose buffer is freed by a capsule when
// numpy lets go of it.  Call with the GIL held.  Large buffers are aligned
// to 2 MiB and offered transparent huge pages (as numpy does for its own
// arrays): first-touch page faults otherwise dominate a 10-million-word
// kernel.  From 1.5 MiB on (a partition of half a million words) the size
// is rounded up to whole huge pages: processes that fix malloc's trim
// threshold (Dask's workers do) get every such buffer as fresh pages from
// the system, one fault per 4 KiB page otherwise.
inline void* alloc_buffer(size_t bytes) {
    constexpr size_t HUGE_PAGE = size_t(1) << 21;
    void* p = nullptr;
    if (bytes >= HUGE_PAGE / 4 * 3) {
        const size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        bytes = bytes >= 2 * HUGE_PAGE ? bytes : rounded;
        if (posix_memalign(&p, HUGE_PAGE, bytes) != 0) p = nullptr;
#ifdef MADV_HUGEPAGE
        if (p) madvise(p, bytes, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes ? bytes : 1);
    }
    if (!p) throw std::bad_alloc();
    return p;
}

template <typename T>
inline ArrayOut<T> new_array(size_t n, T*& data) {
    data = static_cast<T*>(alloc_buffer(n * sizeof(T)));
    nb::capsule owner(data, [](void* p) noexcept { std::free(p); });
    return ArrayOut<T>(data, {n}, owner);
}

inline kernels::View view_of(const WordsIn& a, bool broadcast) {
    return kernels::View{a.data(), broadcast ? 0 : static_cast<ptrdiff_t>(a.stride(0))};
}

// Length of a binary batch result; a length-1 operand broadcasts.
inline size_t broadcast_length(const char* fn, size_t na, size_t nb_) {
    if (na == nb_ || nb_ == 1) return na;
    if (na == 1) return nb_;
    throw nb::value_error((std::string(fn) + ": word arrays have different lengths (" +
                           std::to_string(na) + " and " + std::to_string(nb_) +
                           "); only a length-1 array broadcasts").c_str());
}

// Low 32 bits of a Python integer (any size, two's complement), the way a
// word or op code argument is read.  Non-integers raise TypeError.
inline uint32_t low32(nb::handle h, const char* name) {
    PyObject* idx = PyNumber_Index(h.ptr());
    if (!idx) {
        PyErr_Clear();
        throw nb::type_error((std::string(name) + " must be an integer, not " +
                              Py_TYPE(h.ptr())->tp_name).c_str());
    }
    unsigned long long v = PyLong_AsUnsignedLongLongMask(idx);
    Py_DECREF(idx);
    return static_cast<uint32_t>(v & 0xFFFFFFFFull);
}

// An integer argument that must lie in 0..limit (a pair ID, a depth).
// Non-integers raise TypeError; integers outside the range raise
// ValueError with the message out_of_range.
inline uint32_t bounded_int(nb::handle h, const char* name, uint32_t limit,
                            const char* out_of_range) {
    PyObject* idx = PyNumber_Index(h.ptr());
    if (!idx) {
        PyErr_Clear();
        throw nb::type_error((std::string(name) + " must be an integer, not " +
                              Py_TYPE(h.ptr())->tp_name).c_str());
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
    Py_DECREF(idx);
    if (overflow || v < 0 || v > static_cast<long long>(limit)) throw nb::value_error(out_of_range);
    return static_cast<uint32_t>(v);
}

constexpr const char* PAIR_ID_RANGE = "pair ID out of range (expected 0..511)";

// Truth value of a flag argument (taint, protected), the way the
// interpreter's bool() reads it: numpy booleans and integers count, not
// only True and False.
inline bool truthy(nb::handle h) {
    int t = PyObject_IsTrue(h.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

void register_codec(nb::module_& m);
void register_kernels(nb::module_& m);
void register_entity(nb::module_& m);
void register_reduce(nb::module_& m);
void register_pending(nb::module_& m);

}  // namespace morvel::bind
