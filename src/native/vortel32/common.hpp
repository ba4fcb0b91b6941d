// Helpers shared by the binding files of morvel._vortel32.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <string>

#include "core/kernels.hpp"
#include "core/registry.hpp"

namespace nb = nanobind;

namespace morvel::bind {

using WordsIn = nb::ndarray<const uint32_t, nb::ndim<1>, nb::device::cpu>;
template <typename T>
using ArrayOut = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A fresh numpy array of n elements whose buffer is freed by a capsule when
// numpy lets go of it.  Call with the GIL held.
template <typename T>
inline ArrayOut<T> new_array(size_t n, T*& data) {
    data = new T[n ? n : 1];
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
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

void register_codec(nb::module_& m);
void register_kernels(nb::module_& m);
void register_entity(nb::module_& m);

}  // namespace morvel::bind
