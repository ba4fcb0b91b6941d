// Python bindings of the bulk lineage path (module morvel._lineage).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <optional>

#include "logger.hpp"

namespace nb = nanobind;
using morvel::lineage::PythonError;

using Words = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Ids = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutIds = nb::ndarray<int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

namespace {

void log_nodes(nb::handle store, nb::handle node_cls, nb::handle node_type, nb::str op_name,
               Words words, Ids left, std::optional<Ids> right, OutIds out, nb::handle source,
               nb::handle evict, nb::handle persist) {
    const size_t n = words.shape(0);
    if (left.shape(0) != n || out.shape(0) != n || (right && right->shape(0) != n)) {
        throw nb::value_error("words, input ids and output ids must have the same length");
    }
    try {
        morvel::lineage::log_nodes(store.ptr(), node_cls.ptr(), node_type.ptr(), op_name.ptr(),
                                   words.data(), left.data(), right ? right->data() : nullptr, n,
                                   out.data(), source.is_none() ? nullptr : source.ptr(),
                                   evict.is_none() ? nullptr : evict.ptr(),
                                   persist.is_none() ? nullptr : persist.ptr());
    } catch (const PythonError &) {
        throw nb::python_error();
    }
}

}  // namespace

NB_MODULE(_lineage, m) {
    m.doc() = "Bulk creation of DAG node records for morvel's lineage layer.";
    m.def("log_nodes", &log_nodes, nb::arg("store"), nb::arg("node_cls"), nb::arg("node_type"),
          nb::arg("op_name"), nb::arg("words"), nb::arg("left"), nb::arg("right").none(),
          // `out` is written in place: a converted copy would swallow the ids.
          nb::arg("out").noconvert(), nb::arg("source").none() = nb::none(),
          nb::arg("evict").none() = nb::none(), nb::arg("persist").none() = nb::none(),
          "Log one node per position whose input ids are all non-negative, into\n"
          "the node store `store` (its `bulk_begin()` hands over the node dict,\n"
          "provenance index, next id and bound; `bulk_commit(next_id)` takes the\n"
          "counter back), writing the new ids (or -1) into `out`.  Records are\n"
          "made by `node_cls.__new__` and filled through its field descriptors.\n"
          "Binary nodes when `right` is given, unary otherwise.  Eviction runs\n"
          "natively when `source` (NodeType.SOURCE) is given, else by calling\n"
          "`evict()`.  With `persist`, each node is passed to it after it is\n"
          "stored and before the eviction check (a truthy result means the store\n"
          "may have changed); `out[i]` is written once position i is complete.\n"
          "Call with the tracker's node lock held.");
}
