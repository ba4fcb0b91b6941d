"""Columnar lineage store: every node of a pipeline, held natively.

:class:`ColumnarStore` keeps lineage nodes in the compiled node store of
``morvel._nodestore``: struct-of-arrays blocks of 65,536 nodes (type,
interned operation, provenance word, interned table/column/pair, inputs in
offset form, sparse metadata), a provenance-word index per block and an
index of source nodes per (table, column).  Whole arrays of nodes are logged
in one call without the interpreter lock; ``DAGNode`` records and
``ComputationDAG`` graphs are built only when asked for.  Nothing is ever
evicted: past the memory budget the oldest full blocks move to files and
are read back through memory mappings when a walk needs them.

The node semantics are those of :class:`~morvel.utilities.vortel32_dag.DAGTracker`:
ids count up from ``first_id``, a node whose word carries the taint bit is
marked protected, each (table, column) has one SOURCE node until
:meth:`ColumnarStore.reset_sources`, and ``get_dag`` walks breadth first
from the root exactly as ``DAGTracker.get_dag`` does.

Stores are saved to the embedded SQLite store as one row per block with one
BLOB per column (tables ``lineage_stores`` and ``lineage_blocks`` beside the
existing ones); :func:`load_store` reads a whole store back and
:class:`SavedLineage` rebuilds one value's lineage reading only the bytes of
the nodes it visits.

>>> import numpy as np
>>> s = ColumnarStore()
>>> a = s.create_source_node("people", "age", 7)
>>> ids = s.log_nodes("neg", NodeType.UNARY, np.array([8, 9], dtype=np.uint32),
...                   [np.array([a, a])])
>>> ids.tolist(), s.get_dag(2).to_graphviz().count("->")
([1, 2], 1)
"""
from __future__ import annotations

import logging
import os
import shutil
import sqlite3
import struct
import tempfile
import uuid
import weakref
from collections.abc import Callable, Iterator
from datetime import datetime, timezone
from typing import Any

import numpy as np

from morvel import _nodestore
from morvel.utilities import jsonkit
from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities.vortel32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

__all__ = [
    "BLOCK_SIZE",
    "DEFAULT_MEMORY_BUDGET",
    "ColumnarStore",
    "SavedLineage",
    "load_store",
    "saved_stores",
]

logger = logging.getLogger(__name__)

#: Bytes of node columns and indexes held in memory before the oldest full
#: blocks move to disk.
DEFAULT_MEMORY_BUDGET = 512 * 2**20
#: Nodes per block (ids are allocated, indexed and spilled in blocks).
BLOCK_SIZE: int = _nodestore.BLOCK_SIZE
#: Version of the saved layout (rows of ``lineage_stores``).
FORMAT = 1

_NODE_TYPES: dict[int, NodeType] = {t.value: t for t in NodeType}
_COLUMNS: tuple[str, ...] = tuple(_nodestore.COLUMNS)
_SPARSE = ("escape_slots", "escape_ids", "metadata_positions", "metadata_texts")
_PROTECTED = _nodestore.FLAG_PROTECTED
_HAS_METADATA = _nodestore.FLAG_METADATA
_UINT32_MAX = 2**32 - 1


def _remove_dir(path: str) -> None:
    shutil.rmtree(path, ignore_errors=True)


def _words(values: Any, name: str = "words") -> np.ndarray:
    """``values`` as a contiguous uint32 array, refusing values a cast would
    change (negative, too large, fractional)."""
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional")
    if arr.dtype == np.uint32:
        return np.ascontiguousarray(arr)
    if arr.size == 0:
        return np.zeros(0, dtype=np.uint32)
    if arr.dtype.kind not in "iu":
        raise type_error(name, "integer array", values)
    if int(arr.min()) < 0 or int(arr.max()) > _UINT32_MAX:
        raise ValueError(f"{name} must hold 32-bit provenance words (0 to 2**32 - 1)")
    return arr.astype(np.uint32)


def _ids(values: Any, name: str) -> np.ndarray:
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional")
    if arr.size and arr.dtype.kind not in "iu":
        raise type_error(name, "integer array", values)
    if arr.dtype == np.uint64 and arr.size and int(arr.max()) > np.iinfo(np.int64).max:
        raise ValueError(f"{name} holds ids beyond the int64 range")
    return np.ascontiguousarray(arr, dtype=np.int64)


def _metadata_text(metadata: dict | None) -> str | None:
    """JSON text of non-empty ``metadata``; a dict that JSON cannot give back
    equal (tuples, non-text keys, arbitrary objects) is refused rather than
    stored altered."""
    if metadata is None:
        return None
    if type(metadata) is not dict:
        raise type_error("metadata", "dict", metadata)
    if not metadata:
        return None
    text = jsonkit.dumps(metadata)
    if jsonkit.loads(text) != metadata:
        raise ValueError("metadata must survive a JSON round trip (text keys, JSON values)")
    return text


_ITEM = {"types": np.uint8, "flags": np.uint8}  # the other dense columns hold uint32
_LINEAR = struct.Struct("<qqq")  # count, first value, step


def _dtype(column: str) -> type:
    return _ITEM.get(column, np.uint32)


def _encode_column(column: str, data: bytes) -> tuple[bytes, bool]:
    """A saved column: ``(count, first, step)`` when its values run in
    equal steps (a block of one operation: constant type, flags, operation,
    source attributes, input offsets of a fixed arity, often the input
    deltas), else the raw bytes.  Returns (bytes, linear)."""
    arr: np.ndarray = np.frombuffer(data, dtype=_dtype(column))
    n = len(arr)
    if n == 0:
        return data, False
    first = int(arr[0])
    step = int(arr[1]) - first if n > 1 else 0
    if np.array_equal(arr.astype(np.int64), first + step * np.arange(n, dtype=np.int64)):
        return _LINEAR.pack(n, first, step), True
    return data, False


def _decode_column(column: str, data: bytes, linear: bool) -> bytes:
    if not linear:
        return data
    if len(data) != _LINEAR.size:
        raise ValueError(f"saved column {column} is not a valid run")
    n, first, step = _LINEAR.unpack(data)
    if not 0 <= n <= 2 * BLOCK_SIZE**2:
        raise ValueError(f"saved column {column} has a bad length")
    values = first + step * np.arange(n, dtype=np.int64)
    info = np.iinfo(_dtype(column))
    if n and (values.min() < info.min or values.max() > info.max):
        raise ValueError(f"saved column {column} runs out of range")
    return values.astype(_dtype(column)).tobytes()


class ColumnarStore:
    """Native columnar store of lineage nodes with the node semantics of
    ``DAGTracker`` and no eviction.

    ``memory_budget`` (bytes, default 512 MiB) bounds the node columns and
    indexes held in memory; beyond it the oldest full blocks move to files
    in a private folder made under ``spill_dir`` (default: the system's
    temporary folder), removed when the store goes away.  ``first_id`` is
    the first node id handed out.

    >>> s = ColumnarStore()
    >>> src = s.create_source_node("t", "c", 0x20000000)
    >>> s.get_node(src).is_protected, len(s)
    (True, 1)
    """

    def __init__(
        self,
        memory_budget: int = DEFAULT_MEMORY_BUDGET,
        spill_dir: str | None = None,
        first_id: int = 0,
    ) -> None:
        memory_budget = as_int(memory_budget, "memory_budget")
        first_id = as_int(first_id, "first_id")
        if spill_dir is not None:
            spill_dir = os.fspath(spill_dir)
            check_exact(spill_dir, "spill_dir", str)
        if memory_budget < 0:
            raise ValueError("memory_budget must not be negative")
        if first_id < 0:
            raise ValueError("first_id must not be negative")
        self._spill_parent = spill_dir
        self._spill_path = os.path.join(
            spill_dir if spill_dir is not None else tempfile.gettempdir(),
            f"morvel-lineage-{os.getpid()}-{uuid.uuid4().hex}",
        )
        self._native = _nodestore.NodeStore(first_id, memory_budget, self._spill_path)
        # The native store deletes its files; this also catches an
        # interpreter exit that skips the destructor.
        self._finalizer = weakref.finalize(self, _remove_dir, self._spill_path)
        self._texts: list[str] = []
        self._attrs: dict[int, tuple[str | None, str | None, int | None]] = {0: (None, None, None)}
        self._blocks_seen = 0
        self._spill_warned = ""
        # Called (no arguments) after a logging call that began a new block,
        # i.e. filled the one before: a live writer's wake-up.
        self._listener: Callable[[], None] | None = None

    # -- texts and attributes ---------------------------------------------

    def _text(self, text_id: int) -> str:
        texts = self._texts
        if text_id >= len(texts):
            native = self._native
            texts.extend(native.text(i) for i in range(len(texts), text_id + 1))
        return texts[text_id]

    def _attr(self, attr_id: int) -> tuple[str | None, str | None, int | None]:
        found = self._attrs.get(attr_id)
        if found is None:
            t, c, pair = self._native.attr(attr_id)
            found = (self._text(t) if t >= 0 else None, self._text(c) if c >= 0 else None, pair)
            self._attrs[attr_id] = found
        return found

    def _attr_id(self, table: str | None, column: str | None, pair_id: int | None) -> int:
        check_exact(table, "table", str, allow_none=True)
        check_exact(column, "column", str, allow_none=True)
        if pair_id is not None:
            pair_id = as_int(pair_id, "pair_id")
        if table is None and column is None and pair_id is None:
            return 0
        native = self._native
        return native.source_attr(
            -1 if table is None else native.intern(table),
            -1 if column is None else native.intern(column),
            pair_id,
        )

    def _check_spill(self) -> None:
        # A spill can only fail when a block was sealed or the budget moved.
        blocks = self._native.block_count()
        if blocks == self._blocks_seen:
            return
        self._blocks_seen = blocks
        if self._listener is not None:
            self._listener()
        error = self._native.stats()["spill_error"]
        if error and error != self._spill_warned:
            self._spill_warned = error
            logger.warning("lineage store kept its blocks in memory, over budget: %s", error)

    # -- logging ------------------------------------------------------------

    def log_nodes(
        self,
        operation: str,
        node_type: NodeType,
        words: Any,
        inputs: Any = (),
        offsets: Any = None,
        *,
        table: str | None = None,
        column: str | None = None,
        pair_id: int | None = None,
        is_protected: bool = False,
        metadata: dict | None = None,
    ) -> np.ndarray:
        """Log one node per word in one call; returns the new ids (int64).

        Inputs come in one of two forms.  Without ``offsets``, ``inputs`` is
        a sequence of k arrays aligned with ``words`` (k = 2 for a binary
        operation, left operand first); a position where any input id is
        negative gets no node and the id -1, as in the tracked Series
        operations.  With ``offsets`` (n + 1 non-decreasing positions),
        ``inputs`` is one flat array and node i takes
        ``inputs[offsets[i]:offsets[i + 1]]`` (merges, aggregates).

        ``table``, ``column``, ``pair_id``, ``is_protected`` and
        ``metadata`` (a JSON-representable dict) apply to every node of
        the call; a node whose word has the taint bit is marked protected.

        >>> s = ColumnarStore()
        >>> s.log_nodes("add", NodeType.BINARY, [5, 6], [[-1, 0], [0, 0]]).tolist()
        [-1, 0]
        """
        check_exact(operation, "operation", str)
        if type(node_type) is not NodeType:
            raise type_error("node_type", "NodeType", node_type)
        w = _words(words)
        src = self._attr_id(table, column, pair_id)
        text = _metadata_text(metadata)
        native = self._native
        meta = None if text is None else native.intern(text)
        op = native.intern(operation)
        if offsets is None:
            if isinstance(inputs, np.ndarray) and inputs.ndim == 2:
                cols = [_ids(row, "inputs") for row in inputs]
            elif isinstance(inputs, (list, tuple)):
                cols = [_ids(col, "inputs") for col in inputs]
            else:
                raise type_error("inputs", "sequence of id arrays", inputs)
            out = native.log_aligned(node_type.value, op, src, bool(is_protected), meta, w, cols)
        else:
            out = native.log_csr(node_type.value, op, src, bool(is_protected), meta, w,
                                 _ids(offsets, "offsets"), _ids(inputs, "inputs"))
        self._check_spill()
        return out

    def log_node(
        self,
        node_type: NodeType,
        operation: str,
        inputs: list[int],
        word: int,
        *,
        metadata: dict | None = None,
        table: str | None = None,
        column: str | None = None,
        pair_id: int | None = None,
        is_protected: bool = False,
    ) -> int:
        """Log one node with ``inputs`` (a list of ids, in order); returns its id."""
        check_exact(inputs, "inputs", list)
        ids = self.log_nodes(
            operation, node_type, np.array([as_int(word, "word")]), _ids(inputs, "inputs"),
            np.array([0, len(inputs)]), table=table, column=column, pair_id=pair_id,
            is_protected=is_protected, metadata=metadata)
        return int(ids[0])

    def create_source_node(
        self,
        table: str,
        column: str,
        word: int,
        pair_id: int | None = None,
        is_protected: bool = False,
    ) -> int:
        """Id of the SOURCE node of (table, column), created on first use with
        ``word``, ``pair_id`` and ``is_protected``; later calls return the
        same id and ignore the other arguments."""
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        word = as_int(word, "word")
        if pair_id is not None:
            pair_id = as_int(pair_id, "pair_id")
        if not table or not column:
            raise ValueError("table and column must be non-empty strings")
        if not 0 <= word <= _UINT32_MAX:
            raise ValueError("word must be a 32-bit provenance word (0 to 2**32 - 1)")
        native = self._native
        node_id = native.add_source(native.intern(table), native.intern(column), word, pair_id,
                                    bool(is_protected))
        self._check_spill()
        return node_id

    def reset_sources(self) -> None:
        """Forget the SOURCE node of every column (the nodes stay): the next
        ``create_source_node`` of a column makes a fresh node, as after a new
        pipeline run of the tracker."""
        self._native.clear_sources()

    def log_unary(self, op_name: str, input_node: int, word: int, metadata: dict | None = None) -> int:
        """A UNARY node on one input; returns its id."""
        return self.log_node(NodeType.UNARY, op_name, [as_int(input_node, "input_node")], word,
                             metadata=metadata)

    def log_binary(self, op_name: str, left_node: int, right_node: int, word: int,
                   metadata: dict | None = None) -> int:
        """A BINARY node on two inputs (left operand first); returns its id."""
        return self.log_node(NodeType.BINARY, op_name,
                             [as_int(left_node, "left_node"), as_int(right_node, "right_node")], word,
                             metadata=metadata)

    def log_merge(self, left_nodes: list, right_nodes: list, word: int, merge_type: str = "inner",
                  metadata: dict | None = None) -> int:
        """A MERGE node "merge_<merge_type>" on the left then the right nodes;
        its metadata is {"merge_type": merge_type} updated by ``metadata``."""
        check_exact(left_nodes, "left_nodes", list)
        check_exact(right_nodes, "right_nodes", list)
        check_exact(merge_type, "merge_type", str)
        check_exact(metadata, "metadata", dict, allow_none=True)
        merged: dict[str, Any] = {"merge_type": merge_type}
        if metadata:
            merged.update(metadata)
        return self.log_node(NodeType.MERGE, "merge_" + merge_type, left_nodes + right_nodes, word,
                             metadata=merged)

    def log_aggregate(self, op_name: str, input_nodes: list, word: int,
                      metadata: dict | None = None) -> int:
        """An AGGREGATE node over ``input_nodes``; returns its id."""
        return self.log_node(NodeType.AGGREGATE, op_name, input_nodes, word, metadata=metadata)

    # -- reading ------------------------------------------------------------

    def __len__(self) -> int:
        return len(self._native)

    @property
    def first_id(self) -> int:
        """The first node id of the store."""
        return self._native.first_id

    @property
    def next_id(self) -> int:
        """The id the next node will get."""
        return self._native.next_id

    def _metadata(self, node_id: int) -> dict[str, Any]:
        text_id = self._native.metadata(node_id)
        return {} if text_id is None else jsonkit.loads(self._text(text_id))

    def _record(self, node_id: int, node_type: int, flags: int, op: int, word: int, src: int,
                inputs: list[int]) -> DAGNode:
        table, column, pair = self._attr(src)
        return DAGNode(
            node_id, _NODE_TYPES[node_type], self._text(op), inputs, word,
            self._metadata(node_id) if flags & _HAS_METADATA else {},
            table, column, pair, bool(flags & _PROTECTED),
        )

    def get_node(self, node_id: int) -> DAGNode | None:
        """A new ``DAGNode`` record of the node, or None when the id was
        never handed out."""
        node_id = as_int(node_id, "node_id")
        row: Any = self._native.get(node_id)  # (type, flags, op, word, src, inputs) or None
        if row is None:
            return None
        node_type, flags, op, word, src, inputs = row
        return self._record(node_id, node_type, flags, op, word, src, inputs)

    def lineage(self, root_node_id: int) -> tuple[ComputationDAG, list[int]]:
        """The graph upstream of a node and the ids it reached that the store
        does not hold (inputs that were never logged here), in reach order.
        """
        root = as_int(root_node_id, "root_node_id")
        ids, types, flags, ops, words, srcs, offs, ins, missing = self._native.lineage(root)
        offs_l = offs.tolist()
        ins_l = ins.tolist()
        nodes: dict[int, DAGNode] = {}
        edges: list[DAGEdge] = []
        record = self._record
        for k, (nid, t, f, op, w, src) in enumerate(zip(ids.tolist(), types.tolist(), flags.tolist(),
                                                          ops.tolist(), words.tolist(), srcs.tolist())):
            inputs = ins_l[offs_l[k]:offs_l[k + 1]]
            nodes[nid] = record(nid, t, f, op, w, src, inputs)
            for i, input_id in enumerate(inputs):
                edges.append(DAGEdge(input_id, nid, i))
        return ComputationDAG(root_id=root, nodes=nodes, edges=edges), missing.tolist()

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """The graph upstream of ``root_node_id``, breadth first from it (as
        ``DAGTracker.get_dag``); an unknown root gives an empty graph."""
        return self.lineage(root_node_id)[0]

    def nodes_for_word(self, word: int) -> np.ndarray:
        """Ids of the nodes holding provenance ``word``, in creation order."""
        word = as_int(word, "word")
        if not 0 <= word <= _UINT32_MAX:
            return np.zeros(0, dtype=np.int64)
        return self._native.nodes_for_word(word)

    def get_nodes_for_provenance(self, word: int) -> list[DAGNode]:
        """``DAGNode`` records of the nodes holding ``word``, in creation order."""
        nodes = [self.get_node(i) for i in self.nodes_for_word(word).tolist()]
        return [n for n in nodes if n is not None]  # all held: ids come from the store

    def get_dag_for_provenance(self, word: int) -> ComputationDAG | None:
        """Graph of the most recent node holding ``word``, or None."""
        ids = self.nodes_for_word(word)
        return self.get_dag(int(ids[-1])) if len(ids) else None

    def export_dict(self, root_node_id: int) -> dict[str, Any]:
        """``ComputationDAG.to_dict()`` of a node's lineage plus
        "missing_nodes": the ids the walk reached that the store does not
        hold.  With missing nodes the depth counts them as leaves instead of
        raising."""
        dag, missing = self.lineage(root_node_id)
        if not missing and dag.nodes:
            out = dag.to_dict()
        else:
            out = _dict_with_missing(dag)
        out["missing_nodes"] = missing
        return out

    def export_dot(self, root_node_id: int) -> str:
        """Graphviz DOT text of a node's lineage (``ComputationDAG.to_graphviz``)."""
        return self.get_dag(root_node_id).to_graphviz()

    def stats(self) -> dict[str, Any]:
        """The counts of ``DAGTracker.dag_stats`` over the whole store
        ("protected_sources" counts protected nodes of any type, as there)
        followed by memory figures: bytes of node columns, word index and
        the rest held in memory, their sum, bytes per node, bytes on disk,
        blocks and spilled blocks, the budget and the last spill error.
        "unique_provenances" sorts every word once: O(n log n)."""
        native = self._native
        s = native.stats()
        total = s["total_nodes"]
        memory = s["column_bytes"] + s["index_bytes"] + s["other_bytes"]
        return {
            "total_nodes": total,
            "source_nodes": s["source_nodes"],
            "protected_sources": s["protected_nodes"],
            "operation_nodes": total - s["source_nodes"],
            "operation_counts": {self._text(op): n for op, n in s["operation_counts"]},
            "unique_provenances": native.unique_words(),
            "memory_bytes": memory,
            "column_bytes": s["column_bytes"],
            "index_bytes": s["index_bytes"],
            "other_bytes": s["other_bytes"],
            "bytes_per_node": memory / total if total else 0.0,
            "disk_bytes": s["disk_bytes"],
            "blocks": s["blocks"],
            "spilled_blocks": s["spilled_blocks"],
            "memory_budget": s["memory_budget"],
            "spill_error": s["spill_error"] or None,
        }

    # -- memory budget ------------------------------------------------------

    @property
    def memory_budget(self) -> int:
        """Bytes of columns and indexes held in memory before blocks spill."""
        return self._native.stats()["memory_budget"]

    @memory_budget.setter
    def memory_budget(self, value: int) -> None:
        value = as_int(value, "memory_budget")
        if value < 0:
            raise ValueError("memory_budget must not be negative")
        self._native.set_budget(value)
        self._blocks_seen = -1
        self._check_spill()

    def spill(self) -> None:
        """Move every full block to disk now (raises ``RuntimeError`` when a
        block cannot be written; it then stays in memory)."""
        self._native.spill_all()

    def drop_page_cache(self) -> None:
        """Release the spilled blocks' pages so the next walk reads them from
        disk again (used to measure cold walks)."""
        self._native.drop_cache()

    # -- export, pickling ----------------------------------------------------

    def _blocks(self) -> Iterator[dict[str, Any]]:
        native = self._native
        for b in range(native.block_count()):
            yield native.export_block(b)

    def _header(self) -> dict[str, Any]:
        native = self._native
        n_texts = native.text_count()
        return {
            "format": FORMAT,
            "first_id": native.first_id,
            "next_id": native.next_id,
            "texts": [native.text(i) for i in range(n_texts)],
            "attrs": [list(native.attr(i)) for i in range(1, native.attr_count())],
            "sources": [list(s) for s in native.sources()],
        }

    @classmethod
    def _from_parts(cls, header: dict[str, Any], blocks: Iterator[dict[str, Any]],
                    memory_budget: int = DEFAULT_MEMORY_BUDGET,
                    spill_dir: str | None = None) -> ColumnarStore:
        if header.get("format") != FORMAT:
            raise ValueError(f"unsupported lineage store format {header.get('format')!r}")
        store = cls(memory_budget, spill_dir, header["first_id"])
        native = store._native
        for i, text in enumerate(header["texts"]):
            if type(text) is not str or native.intern(text) != i:
                raise ValueError("saved texts are not distinct strings")
        for i, (t, c, pair) in enumerate(header["attrs"], start=1):
            if native.source_attr(t, c, pair) != i:
                raise ValueError("saved source attributes are not distinct")
        for blk in blocks:
            native.import_block(blk["base"], blk["count"], [bytes(c) for c in blk["columns"]],
                                *(bytes(blk[k]) for k in _SPARSE))
        if native.next_id != header["next_id"]:
            raise ValueError("saved blocks do not hold every node of the store")
        for t, c, node_id in header["sources"]:
            native.set_source(t, c, node_id)
        store._check_spill()
        return store

    def __getstate__(self) -> dict[str, Any]:
        state = self._header()
        state["memory_budget"] = self.memory_budget
        state["spill_dir"] = self._spill_parent
        state["blocks"] = list(self._blocks())
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        other = ColumnarStore._from_parts(state, iter(state["blocks"]), state["memory_budget"],
                                          state["spill_dir"])
        self.__dict__.update(other.__dict__)
        # The finalizer belongs to `other`; this object needs its own.
        other._finalizer.detach()
        self._finalizer = weakref.finalize(self, _remove_dir, self._spill_path)

    # -- embedded store ------------------------------------------------------

    def save(self, storage: Any, name: str = "lineage", pipeline_id: int | None = None) -> int:
        """Write the whole store to the embedded SQLite store (an
        ``SQLiteStorage`` or a database path) in one transaction: one row per
        block with one BLOB per column.  Returns the saved store's id for
        :func:`load_store` and :class:`SavedLineage`."""
        check_exact(name, "name", str)
        if pipeline_id is not None:
            pipeline_id = as_int(pipeline_id, "pipeline_id")
        header = self._header()
        texts = jsonkit.dumps(header["texts"])
        attrs = jsonkit.dumps(header["attrs"])
        sources = jsonkit.dumps(header["sources"])
        with _connection(storage) as conn:
            conn.executescript(_SCHEMA)  # commits first: outside the transaction
            with conn:
                cur = conn.execute(
                    "INSERT INTO lineage_stores (name, pipeline_id, format, first_id, next_id, texts, attrs, "
                    "sources, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (name, pipeline_id, FORMAT, header["first_id"], header["next_id"], texts, attrs, sources,
                     datetime.now(timezone.utc).isoformat(timespec="milliseconds")),
                )
                store_id = int(cur.lastrowid or 0)
                conn.executemany(
                    f"INSERT INTO lineage_blocks (store_id, block_no, base_id, node_count, linear, "
                    f"{', '.join(_COLUMNS + _SPARSE)}) VALUES ({', '.join('?' * (5 + len(_COLUMNS) + len(_SPARSE)))})",
                    (_saved_block_row(store_id, b, self._native.export_saved_block(b))
                     for b in range(self._native.block_count())),
                )
        return store_id


def _block_row(store_id: int, block_no: int, blk: dict[str, Any]) -> tuple:
    """The row of one block: columns in runs where they allow it, the bit
    of each such column set in ``linear``."""
    linear = 0
    columns = []
    for c, (name, data) in enumerate(zip(_COLUMNS, blk["columns"])):
        data, is_linear = _encode_column(name, data)
        linear |= is_linear << c
        columns.append(data)
    return (store_id, block_no, blk["base"], blk["count"], linear, *columns, *(blk[k] for k in _SPARSE))


def _saved_block_row(store_id: int, block_no: int, blk: dict[str, Any]) -> tuple:
    """The row of one block from ``NodeStore.export_saved_block`` (runs
    found natively): the same row ``_block_row`` gives."""
    return (store_id, block_no, blk["base"], blk["count"], blk["linear"], *blk["columns"],
            *(blk[k] for k in _SPARSE))


def _dict_with_missing(dag: ComputationDAG) -> dict[str, Any]:
    """``dag.to_dict()`` where absent nodes count as leaves for the depth."""
    nodes = dict(dag.nodes)
    absent = {e.source_id for e in dag.edges if e.source_id not in nodes}
    if dag.root_id not in nodes:
        absent.add(dag.root_id)
    for nid in absent:
        nodes[nid] = DAGNode(nid, NodeType.CUSTOM, "", [], 0)
    depth = ComputationDAG(dag.root_id, nodes, dag.edges).depth
    sources = dag.source_nodes
    protected = [n for n in sources if n.is_protected]
    return {
        "root_id": dag.root_id,
        "depth": depth if dag.nodes else 0,
        "node_count": len(dag.nodes),
        "edge_count": len(dag.edges),
        "has_protected": len(protected) > 0,
        "taint_risks": dag.column_taint_risks(),
        "sources": [n.to_dict() for n in sources],
        "protected_sources": [n.to_dict() for n in protected],
        "operation_counts": dag.operation_counts,
        "nodes": {str(nid): n.to_dict() for nid, n in dag.nodes.items()},
        "edges": [e.to_dict() for e in dag.edges],
    }


# ---------------------------------------------------------------------------
# Saved stores in the embedded SQLite store
# ---------------------------------------------------------------------------

_SCHEMA = f"""
CREATE TABLE IF NOT EXISTS lineage_stores (
    id          INTEGER PRIMARY KEY,
    name        TEXT NOT NULL,
    pipeline_id INTEGER,
    format      INTEGER NOT NULL,
    first_id    INTEGER NOT NULL,
    next_id     INTEGER NOT NULL,
    texts       TEXT NOT NULL,
    attrs       TEXT NOT NULL,
    sources     TEXT NOT NULL,
    created_at  TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS lineage_blocks (
    id          INTEGER PRIMARY KEY,
    store_id    INTEGER NOT NULL,
    block_no    INTEGER NOT NULL,
    base_id     INTEGER NOT NULL,
    node_count  INTEGER NOT NULL,
    linear      INTEGER NOT NULL,
    {", ".join(c + " BLOB NOT NULL" for c in _COLUMNS + _SPARSE)},
    UNIQUE (store_id, block_no)
);
"""


class _connection:
    """The sqlite3 connection of an ``SQLiteStorage`` (held under its lock),
    a database path (opened and closed around the block) or an open sqlite3
    connection (used as it is)."""

    def __init__(self, storage: Any) -> None:
        self._storage = storage
        self._own: sqlite3.Connection | None = None
        self._locked = False

    def __enter__(self) -> sqlite3.Connection:
        storage = self._storage
        if isinstance(storage, sqlite3.Connection):
            return storage
        if isinstance(storage, (str, os.PathLike)):
            self._own = sqlite3.connect(os.fspath(storage))
            return self._own
        db = getattr(storage, "_db", None)
        lock = getattr(storage, "_lock", None)
        if db is None or lock is None:
            raise type_error("storage", "SQLiteStorage or database path", storage)
        lock.acquire()
        try:
            conn = db()
        except BaseException:
            lock.release()
            raise
        self._locked = True
        return conn

    def __exit__(self, *exc: object) -> None:
        if self._own is not None:
            self._own.close()
        elif self._locked:
            self._storage._lock.release()


def saved_stores(storage: Any) -> list[dict[str, Any]]:
    """The stores saved in ``storage``: id, name, pipeline id, node count
    and time of saving, oldest first."""
    with _connection(storage) as conn:
        if not _has_tables(conn):
            return []
        rows = conn.execute(
            "SELECT id, name, pipeline_id, next_id - first_id, created_at FROM lineage_stores ORDER BY id"
        ).fetchall()
    return [dict(zip(("id", "name", "pipeline_id", "nodes", "created_at"), r)) for r in rows]


def _has_tables(conn: sqlite3.Connection) -> bool:
    row = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'lineage_stores'").fetchone()
    return row is not None


def _header_row(conn: sqlite3.Connection, store_id: int) -> dict[str, Any]:
    row = None
    if _has_tables(conn):
        row = conn.execute(
            "SELECT format, first_id, next_id, texts, attrs, sources FROM lineage_stores WHERE id = ?",
            (store_id,),
        ).fetchone()
    if row is None:
        raise KeyError(f"no saved lineage store with id {store_id}")
    return {
        "format": row[0], "first_id": row[1], "next_id": row[2],
        "texts": jsonkit.loads(row[3]), "attrs": jsonkit.loads(row[4]), "sources": jsonkit.loads(row[5]),
    }


def load_store(
    storage: Any,
    store_id: int,
    memory_budget: int = DEFAULT_MEMORY_BUDGET,
    spill_dir: str | None = None,
) -> ColumnarStore:
    """Read a saved store back whole (every value checked) into a new
    :class:`ColumnarStore`."""
    store_id = as_int(store_id, "store_id")
    with _connection(storage) as conn:
        header = _header_row(conn, store_id)
        rows = conn.execute(
            f"SELECT base_id, node_count, linear, {', '.join(_COLUMNS + _SPARSE)} FROM lineage_blocks "
            "WHERE store_id = ? ORDER BY block_no", (store_id,),
        ).fetchall()
    n = len(_COLUMNS)
    blocks = ({"base": r[0], "count": r[1],
               "columns": [_decode_column(name, data, bool(r[2] >> c & 1))
                           for c, (name, data) in enumerate(zip(_COLUMNS, r[3:3 + n]))],
               **dict(zip(_SPARSE, r[3 + n:]))} for r in rows)
    return ColumnarStore._from_parts(header, blocks, memory_budget, spill_dir)


class SavedLineage:
    """Lineage of single values read straight from a saved store.

    Only the bytes of the nodes a walk visits are read (SQLite incremental
    BLOB reads), so one value's graph comes back without loading the store.

    >>> s = ColumnarStore(); a = s.create_source_node("t", "c", 1)
    >>> b = s.log_unary("neg", a, 2)
    >>> import sqlite3; db = sqlite3.connect(":memory:")
    >>> saved = SavedLineage(db, s.save(db))
    >>> saved.get_dag(b).to_graphviz() == s.get_dag(b).to_graphviz()
    True
    """

    def __init__(self, storage: Any, store_id: int) -> None:
        store_id = as_int(store_id, "store_id")
        self._storage = storage
        with _connection(self._storage) as conn:
            header = _header_row(conn, store_id)
            rows = conn.execute(
                "SELECT block_no, id, base_id, node_count, linear, escape_slots, escape_ids, "
                "metadata_positions, metadata_texts FROM lineage_blocks WHERE store_id = ? ORDER BY block_no",
                (store_id,),
            ).fetchall()
            # Columns saved as runs are read once here (24 bytes each).
            runs: list[dict[str, tuple[int, int, int]]] = []
            for row in rows:
                runs.append({})
                for c, name in enumerate(_COLUMNS):
                    if row[4] >> c & 1:
                        data = conn.execute(f"SELECT {name} FROM lineage_blocks WHERE id = ?",
                                            (row[1],)).fetchone()[0]
                        if len(data) != _LINEAR.size:
                            raise ValueError(f"saved column {name} is not a valid run")
                        runs[-1][name] = _LINEAR.unpack(data)
        if header["format"] != FORMAT:
            raise ValueError(f"unsupported lineage store format {header['format']!r}")
        self.store_id = store_id
        self.first_id: int = header["first_id"]
        self.next_id: int = header["next_id"]
        self._texts: list[str] = header["texts"]
        self._attrs = [(None, None, None)] + [
            (self._texts[t] if t >= 0 else None, self._texts[c] if c >= 0 else None, p)
            for t, c, p in header["attrs"]]
        self._blocks: list[tuple[int, int, dict[str, tuple[int, int, int]], dict[int, int], dict[int, int]]] = []
        for k, (block_no, rowid, base, count, _, es, ei, mp, mt) in enumerate(rows):
            if block_no != k or base != self.first_id + k * BLOCK_SIZE:
                raise ValueError("saved blocks are not consecutive")
            escapes = dict(zip(np.frombuffer(es, np.uint32).tolist(), np.frombuffer(ei, np.int64).tolist()))
            meta = dict(zip(np.frombuffer(mp, np.uint32).tolist(), np.frombuffer(mt, np.uint32).tolist()))
            self._blocks.append((rowid, count, runs[k], escapes, meta))

    def __len__(self) -> int:
        return self.next_id - self.first_id

    def _read(self, conn: sqlite3.Connection, node_id: int) -> DAGNode | None:
        if not self.first_id <= node_id < self.next_id:
            return None
        off = node_id - self.first_id
        rowid, count, runs, escapes, meta = self._blocks[off // BLOCK_SIZE]
        i = off % BLOCK_SIZE
        if i >= count:
            return None

        def values(column: str, start: int, n: int) -> list[int]:
            run = runs.get(column)
            if run is not None:
                total, first, step = run
                if start + n > total:
                    raise ValueError(f"saved column {column} of block {rowid} is truncated")
                return [first + step * j for j in range(start, start + n)]
            dtype = _dtype(column)
            size = np.dtype(dtype).itemsize
            if hasattr(conn, "blobopen"):
                with conn.blobopen("lineage_blocks", column, rowid, readonly=True) as blob:
                    blob.seek(size * start)
                    data = blob.read(size * n)
            else:  # Python 3.10: no incremental BLOB reads
                data = conn.execute(f"SELECT substr({column}, ?, ?) FROM lineage_blocks WHERE id = ?",
                                    (size * start + 1, size * n, rowid)).fetchone()[0]
            if len(data) != size * n:
                raise ValueError(f"saved column {column} of block {rowid} is truncated")
            return np.frombuffer(data, dtype).tolist()

        (node_type,), (flags,), (op,), (word,), (src,) = (
            values(c, i, 1) for c in ("types", "flags", "ops", "words", "srcs"))
        lo, hi = values("offsets", i, 2)
        if not (node_type in _NODE_TYPES and 0 <= op < len(self._texts) and 0 <= src < len(self._attrs)
                and 0 <= lo <= hi):
            raise ValueError(f"saved node {node_id} holds values out of range")
        inputs = []
        for j, d in enumerate(values("inputs", lo, hi - lo) if hi > lo else []):
            if d == _UINT32_MAX:
                if lo + j not in escapes:
                    raise ValueError(f"saved node {node_id} lacks an escaped input")
                inputs.append(escapes[lo + j])
            else:
                inputs.append(node_id - d)
        table, column, pair = self._attrs[src]
        text = meta.get(i) if flags & _HAS_METADATA else None
        metadata = jsonkit.loads(self._texts[text]) if text is not None and text < len(self._texts) else {}
        return DAGNode(node_id, _NODE_TYPES[node_type], self._texts[op], inputs, word, metadata,
                       table, column, pair, bool(flags & _PROTECTED))

    def get_node(self, node_id: int) -> DAGNode | None:
        """The saved node, or None."""
        node_id = as_int(node_id, "node_id")
        with _connection(self._storage) as conn:
            return self._read(conn, node_id)

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """The graph upstream of a saved node, as ``ColumnarStore.get_dag``."""
        root = as_int(root_node_id, "root_node_id")
        nodes: dict[int, DAGNode] = {}
        edges: list[DAGEdge] = []
        visited = set()
        queue = [root]
        with _connection(self._storage) as conn:
            k = 0
            while k < len(queue):
                nid = queue[k]
                k += 1
                if nid in visited:
                    continue
                visited.add(nid)
                node = self._read(conn, nid)
                if node is None:
                    continue
                nodes[nid] = node
                for i, input_id in enumerate(node.inputs):
                    edges.append(DAGEdge(input_id, nid, i))
                    if input_id not in visited:
                        queue.append(input_id)
        return ComputationDAG(root_id=root, nodes=nodes, edges=edges)

