// Bindings of the batch functions over numpy uint32 word arrays.  Inputs may
// be read-only and of any stride; results are new arrays.  Loops run with
// the GIL released.
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "common.hpp"

namespace morvel::bind {

void register_kernels(nb::module_& m) {
    m.def(
        "combine_batch",
        [](Codec& codec, WordsIn a, WordsIn b, nb::handle op_h) {
            uint32_t op = low32(op_h, "op");
            size_t na = a.shape(0), nbn = b.shape(0);
            size_t n = broadcast_length("combine_batch", na, nbn);
            uint32_t* out;
            auto result = new_array<uint32_t>(n, out);
            {
                nb::gil_scoped_release release;
                kernels::combine(codec, view_of(a, na == 1), view_of(b, nbn == 1), out, n, op);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("a"), nb::arg("b"), nb::arg("op"),
        "Element-wise combine of two word arrays (a length-1 array broadcasts); "
        "a new uint32 array.");

    m.def(
        "update_chain_batch",
        [](const Codec&, WordsIn w, nb::handle op_h) {
            uint32_t op = low32(op_h, "op");
            size_t n = w.shape(0);
            uint32_t* out;
            auto result = new_array<uint32_t>(n, out);
            {
                nb::gil_scoped_release release;
                kernels::update_chain(view_of(w, false), out, n, op);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"), nb::arg("op"),
        "Element-wise update_chain; a new uint32 array.");

    m.def(
        "encode_source_column",
        [](const Codec&, nb::handle pair_h, WordsIn entities, nb::handle taint_h) {
            const bool taint = truthy(taint_h);
            const uint32_t pid = bounded_int(pair_h, "pair_id", word::MAX_PAIRS - 1, PAIR_ID_RANGE);
            size_t n = entities.shape(0);
            kernels::View ev = view_of(entities, false);
            for (size_t i = 0; i < n; ++i)
                if (ev[i] > 0xFFu)
                    throw nb::value_error(("encode_source_column: entity " +
                                           std::to_string(ev[i]) + " at position " +
                                           std::to_string(i) + " is not below 256")
                                              .c_str());
            uint32_t* out;
            auto result = new_array<uint32_t>(n, out);
            {
                nb::gil_scoped_release release;
                kernels::encode_source(pid, ev, out, n, taint);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("pair_id"), nb::arg("entities"), nb::arg("taint"),
        "Source words of one column: the pair, each row's entity (below 256), the taint "
        "flag, chain 0, depth 0.");

    m.def(
        "join_groups",
        [](Codec& codec, nb::ndarray<const int64_t, nb::ndim<1>, nb::device::cpu> codes, WordsIn w,
           size_t ngroups) {
            const size_t n = w.shape(0);
            if (codes.shape(0) != n)
                throw nb::value_error(("join_groups: " + std::to_string(codes.shape(0)) +
                                       " group codes for " + std::to_string(n) + " words")
                                          .c_str());
            const int64_t* c = codes.data();
            const ptrdiff_t cs = static_cast<ptrdiff_t>(codes.stride(0));
            for (size_t i = 0; i < n; ++i)
                if (c[static_cast<ptrdiff_t>(i) * cs] >= static_cast<int64_t>(ngroups))
                    throw nb::value_error(("join_groups: group code " +
                                           std::to_string(c[static_cast<ptrdiff_t>(i) * cs]) +
                                           " at position " + std::to_string(i) +
                                           " is not below ngroups=" + std::to_string(ngroups))
                                              .c_str());
            uint32_t* out;
            auto result = new_array<uint32_t>(ngroups, out);
            {
                nb::gil_scoped_release release;
                kernels::join_groups(codec, c, cs, view_of(w, false), out, n, ngroups);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("codes"), nb::arg("words"), nb::arg("ngroups"),
        "Partial aggregate word of each group 0..ngroups-1: pairs united, entity and chain "
        "XORed, taint OR, depth max (0 for an empty group; negative codes are skipped).");

    m.def(
        "is_tainted_batch",
        [](WordsIn w) {
            size_t n = w.shape(0);
            bool* out;
            auto result = new_array<bool>(n, out);
            {
                nb::gil_scoped_release release;
                kernels::is_tainted(view_of(w, false), out, n);
            }
            return result;
        },
        nb::arg("words"), "Taint bit of each word as a bool array.");

    m.def(
        "risk_score_batch",
        [](WordsIn w) {
            size_t n = w.shape(0);
            double* out;
            auto result = new_array<double>(n, out);
            {
                nb::gil_scoped_release release;
                kernels::risk(view_of(w, false), out, n);
            }
            return result;
        },
        nb::arg("words"), "Risk (taint / (1 + depth)) of each word as a float64 array.");

    m.def(
        "explain_batch",
        [](const Codec& codec, WordsIn w) {
            size_t n = w.shape(0);
            kernels::View v = view_of(w, false);
            nb::list result;
            for (size_t i = 0; i < n; ++i) {
                Decoded d = codec.decode(v[i]);
                nb::list names;
                std::pair<std::string, std::string> name;
                for (uint32_t id : d.set.to_vector())
                    if (codec.name_of(id, name)) names.append(nb::make_tuple(name.first, name.second));
                result.append(names);
            }
            return result;
        },
        nb::arg("codec"), nb::arg("words"),
        "For each word, the list of (table, column) names registered with this codec "
        "for its pairs, in ascending pair-ID order (unregistered IDs are skipped).");
}

}  // namespace morvel::bind
