"""A DAG tracker's node store held in the native columnar lineage store.

:class:`ColumnarNodeStore` gives the node-store interface of
:class:`~morvel.utilities._dag.store.DictNodeStore` (the one the tracker's
per-element path, the DAG frames and the bulk bridge use) over a
:class:`~morvel.utilities._columnar_store.ColumnarStore`: a whole operation
is logged by one native call, ``DAGNode`` records are built only when asked
for, and nothing is evicted (past the memory budget the oldest blocks move
to disk and are read back by walks).

Besides the interface it answers in bulk what the dictionary store answers
by walking its records: one value's graph (walked natively), store
counts, every node's word and inputs as arrays, and the per-word summary
(first node of each word, distinct word-to-word edges) that the existing
storage backends keep.
"""
from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import Any, Callable, Optional

import numpy as np

from morvel.utilities._dag.records import ComputationDAG, DAGNode, NodeType

_ESCAPED = 2**32 - 1


class _NodeView(Mapping):
    """Read-only ``{id: DAGNode}`` view of a columnar store (records are built
    on access)."""

    def __init__(self, owner: "ColumnarNodeStore") -> None:
        self._owner = owner

    def __getitem__(self, node_id: Any) -> DAGNode:
        node = self._owner.get(node_id)
        if node is None:
            raise KeyError(node_id)
        return node

    def __iter__(self) -> Iterator[int]:
        col = self._owner.columnar
        return iter(range(col.first_id, col.next_id))

    def __len__(self) -> int:
        return len(self._owner.columnar)


class _IndexView(Mapping):
    """Read-only ``{word: [ids]}`` view of the native word index."""

    def __init__(self, owner: "ColumnarNodeStore") -> None:
        self._owner = owner

    def __getitem__(self, word: Any) -> list:
        ids = self._owner.columnar.nodes_for_word(word).tolist() if type(word) is int else []
        if not ids:
            raise KeyError(word)
        return ids

    def __iter__(self) -> Iterator[int]:
        return iter(np.unique(self._owner.columnar._native.words()).tolist())

    def __len__(self) -> int:
        return self._owner.word_count()


class ColumnarNodeStore:
    """Node store of a DAG tracker over a native ``ColumnarStore``.

    ``memory_budget`` bounds the bytes of node columns and indexes held in
    memory (default: the columnar store's, 512 MiB); beyond it the oldest
    full blocks move to files under ``spill_dir``.  Nothing is evicted, so
    ``max_nodes`` is None and :meth:`over_capacity` is always false.

    >>> s = ColumnarNodeStore()
    >>> src = s.add(NodeType.SOURCE, "t.c", [], 3, {"table": "t", "column": "c"}, bool)
    >>> out = np.empty(2, dtype=np.int64)
    >>> s.log_bulk(NodeType.UNARY, "neg", np.array([4, 5], dtype=np.uint32),
    ...            np.array([0, -1]), None, out, None, None, False)
    >>> out.tolist(), s.get_dag(1).depth
    ([1, -1], 1)
    """

    columnar_store = True

    def __init__(self, memory_budget: Optional[int] = None, spill_dir: Optional[str] = None) -> None:
        # Imported here: the columnar module imports the public DAG facade,
        # which imports this package.
        from morvel.utilities._columnar_store import (
            DEFAULT_MEMORY_BUDGET,
            ColumnarStore,
        )
        self.columnar = ColumnarStore(DEFAULT_MEMORY_BUDGET if memory_budget is None else memory_budget,
                                      spill_dir)
        self.max_nodes: Any = None
        # (nodes held, first node of each word, edge triples) of the last
        # word_summary: a save computes it ahead, on another thread
        self._summary: Optional[tuple[int, list, np.ndarray]] = None

    # -- the node-store interface ---------------------------------------------

    @property
    def next_id(self) -> int:
        return self.columnar.next_id

    @property
    def nodes(self) -> Mapping:
        return _NodeView(self)

    @property
    def index(self) -> Mapping:
        return _IndexView(self)

    def add(self, node_type: NodeType, operation: str, inputs: list, provenance: int,
            fields: dict, is_tainted: Callable[[int], bool]) -> DAGNode:
        """Log one node (the per-element path) and return its record."""
        protected = bool(fields.get("is_protected", False))
        if not protected and provenance and is_tainted(provenance):
            protected = True
        node_id = self.columnar.log_node(
            node_type, operation, [int(i) for i in inputs], provenance,
            metadata=fields.get("metadata") or None, table=fields.get("table"),
            column=fields.get("column"), pair_id=fields.get("pair_id"), is_protected=protected)
        return self._held(node_id)

    def _held(self, node_id: int) -> DAGNode:
        """The record of an id this store handed out."""
        node = self.columnar.get_node(node_id)
        if node is None:
            raise KeyError(f"node {node_id} was never logged in this store")
        return node

    def over_capacity(self) -> bool:
        return False

    def evict_oldest(self) -> None:
        """Nothing is evicted: the columnar store spills instead."""

    def get(self, node_id: int) -> Optional[DAGNode]:
        return self.columnar.get_node(node_id)

    def stored_id(self, node_id: int) -> int:
        return node_id

    def for_word(self, provenance: int) -> list[DAGNode]:
        return self.columnar.get_nodes_for_provenance(provenance)

    def snapshot(self) -> list[DAGNode]:
        """Every node as a record, in creation order (builds them all: the
        bulk queries below avoid it)."""
        get = self._held
        return [get(i) for i in range(self.columnar.first_id, self.columnar.next_id)]

    def word_count(self) -> int:
        return self.columnar.stats()["unique_provenances"]

    def __len__(self) -> int:
        return len(self.columnar)

    def bulk_ready(self) -> bool:
        return True

    def log_bulk(self, node_type: NodeType, op_name: str, words: np.ndarray, left: np.ndarray,
                 right: Optional[np.ndarray], out: np.ndarray, evict: Callable[[], Any],
                 persist: Optional[Callable[[DAGNode], Any]], native_eviction: bool) -> None:
        """One native call for the whole operation: a node per position whose
        inputs are all non-negative, its id (or -1) written into ``out``.
        With ``persist`` each new node's record is handed to it afterwards.
        ``evict`` and ``native_eviction`` are unused: nothing is evicted."""
        ids = self.columnar.log_nodes(op_name, node_type, words,
                                      [left] if right is None else [left, right])
        out[:] = ids
        if persist is not None:
            get = self._held
            for node_id in ids[ids >= 0].tolist():
                persist(get(node_id))

    def log_groups(self, node_type: NodeType, op_name: str, words: np.ndarray,
                   offsets: np.ndarray, inputs: np.ndarray) -> np.ndarray:
        """One node per group k with inputs ``inputs[offsets[k]:offsets[k+1]]``
        (aggregates, windows), in one native call; returns the ids."""
        return self.columnar.log_nodes(op_name, node_type, words, inputs, offsets)

    # -- bulk queries -----------------------------------------------------------

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """The graph upstream of a node, walked natively (as ``DAGTracker.get_dag``)."""
        return self.columnar.get_dag(root_node_id)

    def stats(self) -> dict:
        """The counts of ``DAGTracker.dag_stats`` over every node."""
        s = self.columnar.stats()
        keys = ("total_nodes", "source_nodes", "protected_sources", "operation_nodes",
                "operation_counts", "unique_provenances")
        return {k: s[k] for k in keys}

    def _blocks(self) -> Iterator[tuple[int, np.ndarray, np.ndarray, np.ndarray]]:
        """Per block: (base id, words, offsets (count + 1, local), input ids
        (int64)), decoded from the block's columns."""
        for blk in self.columnar._blocks():
            cols = blk["columns"]
            count = blk["count"]
            offsets = np.frombuffer(cols[5], dtype=np.uint32)[:count + 1].astype(np.int64)
            deltas = np.frombuffer(cols[6], dtype=np.uint32)
            owner = np.repeat(np.arange(count, dtype=np.int64), np.diff(offsets))
            ids = blk["base"] + owner - deltas.astype(np.int64)
            slots = np.frombuffer(blk["escape_slots"], dtype=np.uint32)
            if len(slots):
                ids[slots.astype(np.int64)] = np.frombuffer(blk["escape_ids"], dtype=np.int64)
            yield blk["base"], np.frombuffer(cols[3], dtype=np.uint32)[:count], offsets, ids

    def arrays(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(words, offsets, inputs) of every node in id order: node
        ``first_id + i`` has word ``words[i]`` and inputs
        ``inputs[offsets[i]:offsets[i + 1]]`` (int64 ids)."""
        words_parts, offset_parts, input_parts = [], [], []
        total = 0
        for _, words, offsets, ids in self._blocks():
            words_parts.append(words)
            offset_parts.append(offsets[:-1] + total)
            input_parts.append(ids)
            total += len(ids)
        offset_parts.append(np.array([total], dtype=np.int64))
        words = np.concatenate(words_parts) if words_parts else np.zeros(0, dtype=np.uint32)
        inputs = np.concatenate(input_parts) if input_parts else np.zeros(0, dtype=np.int64)
        return words, np.concatenate(offset_parts), inputs

    def word_summary(self) -> tuple[list[DAGNode], np.ndarray]:
        """The first node of each distinct word (in store order) and the
        distinct (parent word, child word, input position) triples over all
        edges whose parent is stored, in order of first occurrence: what the
        per-word storage tables keep.

        Computed natively in one call (spilled blocks included) without the
        interpreter lock; only the first node of each word becomes a record."""
        held = len(self.columnar)
        cached = self._summary
        if cached is not None and cached[0] == held:
            return cached[1], cached[2]  # nothing logged since: the same summary
        first_ids, flat = self.columnar._native.word_summary()
        get = self._held
        nodes = [get(i) for i in first_ids.tolist()]
        triples = flat.reshape(-1, 3)
        self._summary = (held, nodes, triples)
        return nodes, triples
