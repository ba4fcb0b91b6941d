// Binding of hash_entities: row-entity bytes of many labels at once.
#include <vector>

#include "common.hpp"
#include "core/entity.hpp"

namespace morvel::bind {

namespace {

// Entity bytes of a one-dimensional integer array, hashed without the GIL;
// false when `labels` is not such an array.
template <typename T, typename Hash>
bool try_hash_array(nb::handle labels, Hash hash, nb::object& result) {
    nb::ndarray<const T, nb::ndim<1>, nb::device::cpu> arr;
    if (!nb::try_cast(labels, arr, false)) return false;
    size_t n = arr.shape(0);
    uint32_t* out;
    result = nb::cast(new_array<uint32_t>(n, out));
    const T* p = arr.data();
    ptrdiff_t s = arr.stride(0);
    nb::gil_scoped_release release;
    for (size_t i = 0; i < n; ++i)
        out[i] = entity::low_byte(hash(p[static_cast<ptrdiff_t>(i) * s]));
    return true;
}

// 64-bit finaliser (splitmix64).
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Low 32 bits of the keyed hash of the 8 bytes of an integer label.
inline uint32_t keyed_int(uint64_t v, uint64_t k0, uint64_t k1) {
    return static_cast<uint32_t>(mix64(mix64(v ^ k0) ^ k1));
}

}  // namespace

void register_entity(nb::module_& m) {
    m.def(
        "keyed_hash_ints",
        [](nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu> values, uint64_t k0, uint64_t k1,
           uint32_t mask) {
            const size_t n = values.shape(0);
            uint32_t* out;
            auto result = new_array<uint32_t>(n, out);
            {
                nb::gil_scoped_release release;
                const int64_t* p = values.data();
                const ptrdiff_t s = static_cast<ptrdiff_t>(values.stride(0));
                for (size_t i = 0; i < n; ++i)
                    out[i] = keyed_int(static_cast<uint64_t>(p[static_cast<ptrdiff_t>(i) * s]), k0, k1) & mask;
            }
            return result;
        },
        nb::arg("values"), nb::arg("k0"), nb::arg("k1"), nb::arg("mask") = 0xFFFFFFFFu,
        "Keyed hash of the 8 bytes (two's complement) of each integer: splitmix64 of "
        "(splitmix64(v ^ k0) ^ k1), low 32 bits, ANDed with mask; a new uint32 array.");

    m.def(
        "keyed_hash_range",
        [](int64_t start, int64_t step, size_t n, uint64_t k0, uint64_t k1, uint32_t mask) {
            uint32_t* out;
            auto result = new_array<uint32_t>(n, out);
            {
                nb::gil_scoped_release release;
                uint64_t v = static_cast<uint64_t>(start);
                for (size_t i = 0; i < n; ++i, v += static_cast<uint64_t>(step))
                    out[i] = keyed_int(v, k0, k1) & mask;
            }
            return result;
        },
        nb::arg("start"), nb::arg("step"), nb::arg("n"), nb::arg("k0"), nb::arg("k1"),
        nb::arg("mask") = 0xFFFFFFFFu,
        "keyed_hash_ints of the n integers start, start + step, ... (a range index) without "
        "building them.");

    m.def(
        "hash_entities",
        [](nb::handle labels) {
            nb::object hashed;
            if (try_hash_array<int64_t>(labels, entity::py_hash_int64, hashed)) return hashed;
            if (try_hash_array<uint64_t>(labels, entity::py_hash_uint64, hashed)) return hashed;
            uint32_t* out;
            // Any other iterable: the interpreter's own hash of each label
            // (None counts as 0).  Needs the GIL throughout.
            std::vector<uint32_t> bytes;
            for (nb::handle item : nb::iter(labels)) {
                if (item.is_none()) {
                    bytes.push_back(0);
                    continue;
                }
                Py_hash_t h = PyObject_Hash(item.ptr());
                if (h == -1 && PyErr_Occurred()) throw nb::python_error();
                bytes.push_back(entity::low_byte(static_cast<int64_t>(h)));
            }
            auto result = new_array<uint32_t>(bytes.size(), out);
            std::copy(bytes.begin(), bytes.end(), out);
            return nb::cast(std::move(result));
        },
        nb::arg("labels"),
        "(hash(label) & 0xFFFFFFFF) % 256 for each label (None -> 0), as uint32. "
        "int64 and uint64 arrays are hashed natively; other iterables per element.");
}

}  // namespace morvel::bind
