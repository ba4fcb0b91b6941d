"""Bulk creation of DAG node records for morvel's lineage layer."""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def log_nodes(store: object, node_cls: object, node_type: object, op_name: str, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], left: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], right: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None, out: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu')], source: object | None = None, evict: object | None = None, persist: object | None = None) -> None:
    """
    Log one node per position whose input ids are all non-negative, into
    the node store `store` (its `bulk_begin()` hands over the node dict,
    provenance index, next id and bound; `bulk_commit(next_id)` takes the
    counter back), writing the new ids (or -1) into `out`.  Records are
    made by `node_cls.__new__` and filled through its field descriptors.
    Binary nodes when `right` is given, unary otherwise.  Eviction runs
    natively when `source` (NodeType.SOURCE) is given, else by calling
    `evict()`.  With `persist`, each node is passed to it after it is
    stored and before the eviction check (a truthy result means the store
    may have changed); `out[i]` is written once position i is complete.
    Call with the tracker's node lock held.
    """
