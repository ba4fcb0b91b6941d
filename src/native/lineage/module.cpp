// Python bindings of the bulk lineage path (module morvel._lineage).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <optional>

#include "core/lineage.hpp"

namespace nb = nanobind;
using morvel::lineage::PythonError;

using Words = nb::ndarray<const uint32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Ids = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutIds = nb::ndarray<int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

namespace {

void log_nodes(nb::handle tracker, nb::handle node_cls, nb::handle node_type, nb::str op_name,
               Words words, Ids left, std::optional<Ids> right, OutIds out, nb::handle source,
               bool persist) {
    const size_t n = words.shape(0);
    if (left.shape(0) != n || out.shape(0) != n || (right && right->shape(0) != n)) {
        throw nb::value_error("words, input ids and output ids must have the same length");
    }
    try {
        morvel::lineage::log_nodes(tracker.ptr(), node_cls.ptr(), node_type.ptr(), op_name.ptr(),
                                   words.data(), left.data(), right ? right->data() : nullptr, n,
                                   out.data(), source.is_none() ? nullptr : source.ptr(), persist);
    } catch (const PythonError &) {
        throw nb::python_error();
    }
}

}  // namespace

NB_MODULE(_lineage, m) {
    m.doc() = "Bulk creation of DAG node records for morvel's lineage layer.";
    m.def("log_nodes", &log_nodes, nb::arg("tracker"), nb::arg("node_cls"), nb::arg("node_type"),
          nb::arg("op_name"), nb::arg("words"), nb::arg("left"), nb::arg("right").none(),
          // `out` is written in place: a converted copy would swallow the ids.
          nb::arg("out").noconvert(), nb::arg("source").none() = nb::none(), nb::arg("persist") = false,
          "Log one node per position whose input ids are all non-negative, into\n"
          "the tracker's node store and provenance index, writing the new ids\n"
          "(or -1) into `out`.  Binary nodes when `right` is given, unary\n"
          "otherwise.  Eviction runs natively when `source` (NodeType.SOURCE) is\n"
          "given, else through the tracker's `_evict_oldest_nodes`.  With `persist`,\n"
          "each node goes to the tracker's `_persist_node` (while `_writer` is\n"
          "truthy) after it is stored and before the eviction check; `out[i]` is\n"
          "written once position i is complete.  Call with the tracker's node\n"
          "lock held.");
}
