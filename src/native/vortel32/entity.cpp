// Binding of hash_entities: row-entity bytes of many labels at once.
#include <vector>

#include "common.hpp"
#include "core/entity.hpp"

namespace morvel::bind {

void register_entity(nb::module_& m) {
    m.def(
        "hash_entities",
        [](nb::handle labels) {
            using I64 = nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu>;
            using U64 = nb::ndarray<const uint64_t, nb::ndim<1>, nb::device::cpu>;
            uint32_t* out;
            I64 i64;
            if (nb::try_cast(labels, i64, false)) {
                size_t n = i64.shape(0);
                auto result = new_array<uint32_t>(n, out);
                const int64_t* p = i64.data();
                ptrdiff_t s = i64.stride(0);
                nb::gil_scoped_release release;
                for (size_t i = 0; i < n; ++i)
                    out[i] = entity::low_byte(entity::py_hash_int64(p[static_cast<ptrdiff_t>(i) * s]));
                return result;
            }
            U64 u64;
            if (nb::try_cast(labels, u64, false)) {
                size_t n = u64.shape(0);
                auto result = new_array<uint32_t>(n, out);
                const uint64_t* p = u64.data();
                ptrdiff_t s = u64.stride(0);
                nb::gil_scoped_release release;
                for (size_t i = 0; i < n; ++i)
                    out[i] = entity::low_byte(entity::py_hash_uint64(p[static_cast<ptrdiff_t>(i) * s]));
                return result;
            }
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
            return result;
        },
        nb::arg("labels"),
        "(hash(label) & 0xFFFFFFFF) % 256 for each label (None -> 0), as uint32. "
        "int64 and uint64 arrays are hashed natively; other iterables per element.");
}

}  // namespace morvel::bind
