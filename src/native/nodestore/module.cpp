// Python bindings of the columnar lineage node store (module morvel._nodestore).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/bulk_read.hpp"
#include "core/node_store.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using morvel::colstore::kNoPair;
using morvel::colstore::Lineage;
using morvel::colstore::NodeBlock;
using morvel::colstore::NodeRecord;
using morvel::colstore::NodeStore;
using morvel::colstore::Part;

namespace {

using Words = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Ids = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
template <class T>
using Out = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A numpy array that owns `v`'s buffer (no copy).
template <class T>
Out<T> to_array(std::vector<T> &&v) {
    auto *heap = new std::vector<T>(std::move(v));
    nb::capsule owner(heap, [](void *p) noexcept { delete static_cast<std::vector<T> *>(p); });
    return Out<T>(heap->data(), {heap->size()}, owner);
}

int64_t pair_in(std::optional<int64_t> pair) {
    if (pair && *pair == kNoPair) throw nb::value_error("pair id out of range");
    return pair ? *pair : kNoPair;
}

nb::object pair_out(int64_t pair) {
    if (pair == kNoPair) return nb::none();
    return nb::int_(pair);
}

int64_t meta_in(std::optional<uint32_t> meta) { return meta ? int64_t(*meta) : -1; }

// Bytes of a Python bytes object as a typed vector (length checked).
template <class T>
std::vector<T> vec_from(const nb::bytes &b, const char *what) {
    if (b.size() % sizeof(T)) throw nb::value_error((std::string(what) + " has a partial item").c_str());
    std::vector<T> v(b.size() / sizeof(T));
    if (!v.empty()) std::memcpy(v.data(), b.c_str(), b.size());
    return v;
}

template <class T>
nb::bytes bytes_of(const std::vector<T> &v) {
    return nb::bytes(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(T));
}

Out<int64_t> log_aligned(NodeStore &s, uint8_t type, uint32_t op, uint32_t src, bool prot,
                         std::optional<uint32_t> meta, Words words, std::vector<Ids> inputs) {
    const size_t n = words.shape(0);
    std::vector<const int64_t *> cols;
    for (const Ids &a : inputs) {
        if (a.shape(0) != n) throw nb::value_error("words and every input id array must have the same length");
        cols.push_back(a.data());
    }
    std::vector<int64_t> out(n);
    {
        nb::gil_scoped_release unlocked;
        s.log_aligned(type, op, src, prot, meta_in(meta), words.data(), cols, n, out.data());
    }
    return to_array(std::move(out));
}

Out<int64_t> log_csr(NodeStore &s, uint8_t type, uint32_t op, uint32_t src, bool prot, std::optional<uint32_t> meta,
                     Words words, Ids offsets, Ids flat) {
    const size_t n = words.shape(0);
    if (offsets.shape(0) != n + 1) throw nb::value_error("offsets must hold one entry more than words");
    std::vector<int64_t> out(n);
    {
        nb::gil_scoped_release unlocked;
        s.log_csr(type, op, src, prot, meta_in(meta), words.data(), offsets.data(), flat.data(), flat.shape(0), n,
                  out.data());
    }
    return to_array(std::move(out));
}

nb::object get(const NodeStore &s, int64_t id) {
    NodeRecord r;
    if (!s.get(id, r)) return nb::none();
    return nb::make_tuple(r.type, r.flags, r.op, r.word, r.src, r.inputs);
}

nb::tuple lineage(const NodeStore &s, int64_t root) {
    Lineage l;
    {
        nb::gil_scoped_release unlocked;
        l = s.lineage(root);
    }
    return nb::make_tuple(to_array(std::move(l.ids)), to_array(std::move(l.types)), to_array(std::move(l.flags)),
                          to_array(std::move(l.ops)), to_array(std::move(l.words)), to_array(std::move(l.srcs)),
                          to_array(std::move(l.offsets)), to_array(std::move(l.inputs)),
                          to_array(std::move(l.missing)));
}

nb::dict stats(const NodeStore &s) {
    auto st = s.stats();
    nb::dict d;
    d["total_nodes"] = st.total_nodes;
    d["source_nodes"] = st.source_nodes;
    d["protected_nodes"] = st.protected_nodes;
    nb::list ops;
    for (auto &oc : st.operation_counts) ops.append(nb::make_tuple(oc.first, oc.second));
    d["operation_counts"] = ops;
    d["blocks"] = st.blocks;
    d["spilled_blocks"] = st.spilled_blocks;
    d["column_bytes"] = st.column_bytes;
    d["index_bytes"] = st.index_bytes;
    d["other_bytes"] = st.other_bytes;
    d["disk_bytes"] = st.disk_bytes;
    d["memory_budget"] = st.memory_budget;
    d["spill_error"] = st.spill_error;
    return d;
}

// Column `c` of a block (raw bytes) as an equal-step run when its values
// are one: the 24 bytes (count, first, step) as little-endian int64, the
// saved form of such a column.  Returns false (and leaves `col`) otherwise.
bool as_run(int c, std::string &col) {
    const size_t item = morvel::colstore::column_item(c);
    const size_t n = col.size() / item;
    if (n == 0) return false;
    auto at = [&](size_t i) -> int64_t {
        if (item == 1) return int64_t(uint8_t(col[i]));
        uint32_t v;
        std::memcpy(&v, col.data() + 4 * i, 4);
        return int64_t(v);
    };
    const int64_t first = at(0);
    const int64_t step = n > 1 ? at(1) - first : 0;
    for (size_t i = 2; i < n; ++i)
        if (at(i) != first + step * int64_t(i)) return false;
    int64_t run[3] = {int64_t(n), first, step};
    col.assign(reinterpret_cast<const char *>(run), sizeof(run));
    return true;
}

// Block b copied out without the interpreter lock (a spilled block is read
// from its file here), then handed over as bytes.  With `saved`, every
// column whose values run in equal steps is replaced by its run and the bit
// of each such column set in "linear" (the saved form).
nb::dict export_block_as(const NodeStore &s, size_t b, bool saved) {
    int64_t base = 0;
    uint32_t count = 0;
    int64_t linear = 0;
    std::vector<std::string> cols;
    std::vector<uint32_t> escape_slots, metadata_positions, metadata_texts;
    std::vector<int64_t> escape_ids;
    {
        nb::gil_scoped_release unlocked;
        s.with_block(b, [&](const NodeBlock &blk) {
            base = blk.base();
            count = blk.size();
            cols = blk.columns();
            escape_slots = blk.escape_slots();
            escape_ids = blk.escape_ids();
            metadata_positions = blk.metadata_positions();
            metadata_texts = blk.metadata_texts();
        });
        if (saved)
            for (int c = 0; c < int(cols.size()); ++c)
                if (as_run(c, cols[size_t(c)])) linear |= int64_t(1) << c;
    }
    nb::dict d;
    d["base"] = base;
    d["count"] = count;
    if (saved) d["linear"] = linear;
    nb::list out;
    for (const std::string &col : cols) out.append(nb::bytes(col.data(), col.size()));
    d["columns"] = out;
    d["escape_slots"] = bytes_of(escape_slots);
    d["escape_ids"] = bytes_of(escape_ids);
    d["metadata_positions"] = bytes_of(metadata_positions);
    d["metadata_texts"] = bytes_of(metadata_texts);
    return d;
}

nb::dict export_block(const NodeStore &s, size_t b) { return export_block_as(s, b, false); }

nb::dict export_saved_block(const NodeStore &s, size_t b) { return export_block_as(s, b, true); }

void import_block(NodeStore &s, int64_t base, uint32_t count, std::vector<nb::bytes> columns, nb::bytes escape_slots,
                  nb::bytes escape_ids, nb::bytes metadata_positions, nb::bytes metadata_texts) {
    std::vector<Part> parts;
    for (const nb::bytes &c : columns) parts.push_back(Part{c.c_str(), c.size()});
    NodeBlock blk = NodeBlock::from_columns(base, count, parts, vec_from<uint32_t>(escape_slots, "escape_slots"),
                                            vec_from<int64_t>(escape_ids, "escape_ids"),
                                            vec_from<uint32_t>(metadata_positions, "metadata_positions"),
                                            vec_from<uint32_t>(metadata_texts, "metadata_texts"));
    nb::gil_scoped_release unlocked;
    s.import_block(std::move(blk));
}

}  // namespace

NB_MODULE(_nodestore, m) {
    m.doc() = "Columnar lineage node store: struct-of-arrays node blocks, word and source indexes, "
              "graph walks, and a memory budget beyond which old blocks move to disk.";
    m.attr("BLOCK_SIZE") = morvel::colstore::kBlockCapacity;
    m.attr("FLAG_PROTECTED") = int(morvel::colstore::FLAG_PROTECTED);
    m.attr("FLAG_METADATA") = int(morvel::colstore::FLAG_METADATA);
    m.attr("COLUMNS") = nb::make_tuple("types", "flags", "ops", "words", "srcs", "offsets", "inputs");

    nb::class_<NodeStore>(m, "NodeStore",
                          "Node columns, indexes and spill files of one lineage store; ids count up from "
                          "`first_id`.")
        .def(nb::init<int64_t, size_t, std::string>(), "first_id"_a, "memory_budget"_a, "spill_dir"_a)
        .def("intern", &NodeStore::intern, "text"_a, "Id of `text`, added when new.")
        .def("text", &NodeStore::text, "text_id"_a, "The text of an id.")
        .def("text_count", &NodeStore::text_count)
        .def(
            "source_attr",
            [](NodeStore &s, int64_t table, int64_t column, std::optional<int64_t> pair) {
                return s.source_attr(table, column, pair_in(pair));
            },
            "table"_a, "column"_a, "pair"_a.none(),
            "Id of the (table text id or -1, column text id or -1, pair id or None) attributes.")
        .def(
            "attr",
            [](const NodeStore &s, uint32_t id) {
                auto a = s.attr(id);
                return nb::make_tuple(a.table, a.column, pair_out(a.pair));
            },
            "attr_id"_a, "The (table, column, pair) of an attribute id (-1 / None for none).")
        .def("attr_count", &NodeStore::attr_count)
        .def("log_aligned", &log_aligned, "node_type"_a, "op"_a, "src"_a, "protected"_a, "meta"_a.none(),
             "words"_a, "inputs"_a,
             "One node per position whose aligned input ids are all >= 0; returns the new ids (-1 where "
             "none was logged).  Runs without the interpreter lock.")
        .def("log_csr", &log_csr, "node_type"_a, "op"_a, "src"_a, "protected"_a, "meta"_a.none(), "words"_a,
             "offsets"_a, "inputs"_a,
             "One node per word with inputs[offsets[i]:offsets[i+1]]; returns the new ids.")
        .def(
            "add_source",
            [](NodeStore &s, uint32_t table, uint32_t column, uint32_t word, std::optional<int64_t> pair,
               bool prot) { return s.add_source(table, column, word, pair_in(pair), prot); },
            "table"_a, "column"_a, "word"_a, "pair"_a.none(), "protected"_a,
            "Id of the SOURCE node of (table, column), created on first use.")
        .def(
            "find_source",
            [](const NodeStore &s, uint32_t table, uint32_t column) -> std::optional<int64_t> {
                int64_t id;
                if (s.find_source(table, column, id)) return id;
                return std::nullopt;
            },
            "table"_a, "column"_a)
        .def("set_source", &NodeStore::set_source, "table"_a, "column"_a, "node_id"_a)
        .def("clear_sources", &NodeStore::clear_sources)
        .def(
            "sources",
            [](const NodeStore &s) {
                std::vector<std::tuple<uint32_t, uint32_t, int64_t>> out;
                for (auto &kv : s.sources()) out.emplace_back(kv.first.first, kv.first.second, kv.second);
                return out;
            },
            "[(table text id, column text id, node id)] of the source index.")
        .def_prop_ro("first_id", &NodeStore::first_id)
        .def_prop_ro("next_id", &NodeStore::next_id)
        .def("__len__", [](const NodeStore &s) { return size_t(s.size()); })
        .def("get", &get, "node_id"_a,
             "(type, flags, op, word, src, inputs) of a node, or None when not held.")
        .def(
            "metadata",
            [](const NodeStore &s, int64_t id) -> std::optional<uint32_t> {
                uint32_t t;
                if (s.metadata(id, t)) return t;
                return std::nullopt;
            },
            "node_id"_a, "Metadata text id of a node, or None.")
        .def("lineage", &lineage, "root"_a,
             "Breadth-first walk from `root`: (ids, types, flags, ops, words, srcs, input offsets, inputs, "
             "missing ids).")
        .def(
            "nodes_for_word",
            [](const NodeStore &s, uint32_t word) {
                std::vector<int64_t> ids;
                {
                    nb::gil_scoped_release unlocked;
                    ids = s.nodes_for_word(word);
                }
                return to_array(std::move(ids));
            },
            "word"_a, "Ids of the nodes holding `word`, in creation order.")
        .def(
            "unique_words",
            [](const NodeStore &s) {
                nb::gil_scoped_release unlocked;
                return s.unique_words();
            },
            "Number of distinct words held.")
        .def("stats", &stats)
        .def(
            "set_budget",
            [](NodeStore &s, size_t bytes) {
                nb::gil_scoped_release unlocked;
                s.set_budget(bytes);
            },
            "memory_budget"_a)
        .def(
            "spill_all",
            [](NodeStore &s) {
                nb::gil_scoped_release unlocked;
                s.spill_all();
            },
            "Move every full block to disk.")
        .def("drop_cache", &NodeStore::drop_cache,
             "Release spilled blocks' pages and drop them from the page cache.")
        .def("block_count", &NodeStore::block_count)
        .def("export_block", &export_block, "block"_a,
             "Block b as {base, count, columns: [bytes] in COLUMNS order, escape_slots, escape_ids, "
             "metadata_positions, metadata_texts}.")
        .def(
            "words",
            [](const NodeStore &s) {
                std::vector<uint32_t> w;
                {
                    nb::gil_scoped_release unlocked;
                    w = morvel::colstore::all_words(s);
                }
                return to_array(std::move(w));
            },
            "Every node's provenance word in id order (uint32), read without the interpreter lock.")
        .def(
            "word_summary",
            [](const NodeStore &s) {
                morvel::colstore::WordSummary ws;
                {
                    nb::gil_scoped_release unlocked;
                    ws = morvel::colstore::word_summary(s);
                }
                return nb::make_tuple(to_array(std::move(ws.first_ids)), to_array(std::move(ws.edges)));
            },
            "(first node id of each distinct word, ascending; distinct (parent word, child word, input "
            "position) edge triples, flat int64, in order of first occurrence).  Runs without the "
            "interpreter lock.")
        .def("export_saved_block", &export_saved_block, "block"_a,
             "Block b as `export_block` gives it, with each column whose values run in equal steps saved as "
             "its run (count, first, step as little-endian int64) and that column's bit set in \"linear\".")
        .def("import_block", &import_block, "base"_a, "count"_a, "columns"_a, "escape_slots"_a, "escape_ids"_a,
             "metadata_positions"_a, "metadata_texts"_a, "Append a block exported by `export_block` (checked).");
}
