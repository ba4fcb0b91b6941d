// Bindings of the codec object RustProvenanceTracker (single words).
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "common.hpp"

namespace morvel::bind {
namespace {

const char* mode_name(const Decoded& d) {
    if (!d.known) return "UNKNOWN";
    switch (d.mode) {
        case word::MODE_01: return d.count == 0 ? "EXACT-0" : "EXACT-1";
        case word::MODE_2: return "EXACT-2";
        case word::MODE_3: return "EXACT-3";
        default: return "DENSE";
    }
}

PairSet pair_set_of(nb::handle ids) {
    PairSet s;
    for (nb::handle item : nb::iter(ids)) {
        const uint32_t id = bounded_int(item, "pair ID", word::MAX_PAIRS - 1, PAIR_ID_RANGE);
        s.add(id);
    }
    return s;
}

}  // namespace

void register_codec(nb::module_& m) {
    nb::class_<Codec>(m, "RustProvenanceTracker",
                      "Codec of VORTEL-32 words with its own dense-signature registry.")
        .def(nb::init<bool>(), nb::arg("stable_signatures") = false,
             "With stable_signatures, a dense word's signature is a hash of its pair set "
             "alone (the same in every process; a hash collision raises OverflowError), "
             "and combining a word whose pairs this codec cannot decode raises ValueError.")
        .def_prop_ro("stable_signatures", &Codec::stable_signatures)
        .def(
            "register",
            [](Codec& c, const std::string& table, const std::string& column, nb::handle protect) {
                return c.register_pair(table, column, truthy(protect));
            },
            nb::arg("table"), nb::arg("column"),
             nb::arg("protected") = false,
             "Register (table, column) and return its pair ID (repeats return the same ID).")
        .def("mark_table_protected", &Codec::mark_table_protected, nb::arg("table"))
        .def(
            "encode",
            [](Codec& c, nb::handle pairs, nb::handle entity, nb::handle chain, nb::handle taint_h,
               nb::handle depth) {
                PairSet s = pair_set_of(pairs);
                const bool taint = truthy(taint_h);
                const uint32_t d = bounded_int(depth, "depth", word::MAX_DEPTH,
                                               "depth out of range (expected 0..7)");
                return c.encode(s, low32(entity, "entity"), low32(chain, "chain"), taint, d);
            },
            nb::arg("pairs"), nb::arg("entity") = 0, nb::arg("chain") = 0,
            nb::arg("taint") = false, nb::arg("depth") = 0,
            "Word naming the given pair IDs; entity and chain are reduced to the fields "
            "the word's mode keeps (none for 3 or more pairs).")
        .def(
            "decode_full",
            [](const Codec& c, nb::handle w) {
                Decoded d = c.decode(low32(w, "provenance"));
                nb::list ids;
                for (uint32_t id : d.set.to_vector()) ids.append(id);
                nb::dict out;
                out["pairs"] = ids;
                out["entity"] = d.entity;
                out["chain"] = d.chain;
                out["taint"] = d.taint;
                out["depth"] = d.depth;
                out["mode"] = mode_name(d);
                return out;
            },
            nb::arg("provenance"),
            "Dict with pairs (ascending list), entity, chain, taint, depth and mode. "
            "Words this codec never issued give an empty pair list and mode 'UNKNOWN'.")
        .def(
            "combine",
            [](Codec& c, nb::handle a, nb::handle b, nb::handle op) {
                return c.combine(low32(a, "prov_a"), low32(b, "prov_b"), low32(op, "op"));
            },
            nb::arg("prov_a"), nb::arg("prov_b"), nb::arg("op") = 1)
        .def(
            "join",
            [](Codec& c, nb::handle a, nb::handle b) {
                return c.join(low32(a, "prov_a"), low32(b, "prov_b"));
            },
            nb::arg("prov_a"), nb::arg("prov_b"),
            "Join of two partial aggregates: pairs united, entity and chain XOR, taint OR, "
            "depth max; 0 is the identity.")
        .def(
            "update_chain",
            [](const Codec&, nb::handle w, nb::handle op) {
                return Codec::update_chain(low32(w, "provenance"), low32(op, "op"));
            },
            nb::arg("provenance"), nb::arg("op"))
        .def(
            "__getstate__",
            [](const Codec& c) {
                return nb::make_tuple(c.names(), c.protected_columns(), c.protected_tables(),
                                      c.dense_signatures(), c.stable_signatures());
            },
            "(names in ID order, protected (table, column) pairs, protected tables, "
            "dense (signature, pair IDs) entries, stable signatures): everything needed "
            "to decode this codec's words elsewhere and to go on as it would.")
        .def(
            "__setstate__",
            [](Codec& c, nb::tuple state) {
                if (state.size() != 4 && state.size() != 5)
                    throw nb::value_error("codec state must be a 4- or 5-tuple");
                new (&c) Codec(state.size() == 5 && truthy(state[4]));
                for (nb::handle item : nb::iter(state[0])) {
                    auto name = nb::cast<std::pair<std::string, std::string>>(item);
                    c.register_pair(name.first, name.second, false);
                }
                for (nb::handle item : nb::iter(state[1])) {
                    auto name = nb::cast<std::pair<std::string, std::string>>(item);
                    c.register_pair(name.first, name.second, true);
                }
                for (nb::handle item : nb::iter(state[2]))
                    c.mark_table_protected(nb::cast<std::string>(item));
                for (nb::handle item : nb::iter(state[3])) {
                    nb::tuple entry = nb::cast<nb::tuple>(item);
                    const uint32_t sig = low32(entry[0], "signature");
                    PairSet s = pair_set_of(entry[1]);
                    if (s.size() < 4 || !c.restore_dense(sig, s))
                        throw nb::value_error("codec state holds an inconsistent dense entry");
                }
            },
            nb::arg("state"))
        .def_prop_ro("registered_pairs", &Codec::registered_pairs)
        .def_prop_ro("dense_entries", &Codec::dense_entries)
        .def(
            "get_name",
            [](const Codec& c, uint32_t id) -> nb::object {
                std::pair<std::string, std::string> name;
                if (!c.name_of(id, name)) return nb::none();
                return nb::cast(name);
            },
            nb::arg("pair_id"));
}

}  // namespace morvel::bind
