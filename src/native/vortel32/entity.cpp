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

}  // namespace

void register_entity(nb::module_& m) {
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
