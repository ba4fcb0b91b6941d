"""The node store of a DAG tracker: the one owner of node ids, node records,
the provenance index, taint marking and eviction.

Both ways of logging nodes go through a store: the per-element path one
node at a time (:meth:`DictNodeStore.add`), the compiled bulk path a whole
operation at a time (:meth:`DictNodeStore.log_bulk`, which hands the
store's containers to the native logger and takes the id counter back).
:class:`NodeStore` is the interface a store provides; :class:`DictNodeStore`
keeps everything in interpreter dicts.
"""
from __future__ import annotations

from typing import Any, Callable, Optional, Protocol

import numpy as np

from morvel.utilities import _hooks
from morvel.utilities._dag.records import DAGNode, NodeType

# Default bound of a store: past it a tenth of the nodes is evicted.
MAX_NODES = 500000


class NodeStore(Protocol):
    """What a DAG tracker asks of its node store."""

    max_nodes: Any
    next_id: Any

    def add(self, node_type: NodeType, operation: str, inputs: list[Any], provenance: int,
            fields: dict[str, Any], is_tainted: Callable[[int], bool]) -> DAGNode:
        """Allocate an id, build, taint-mark, store and index one node."""

    def over_capacity(self) -> bool:
        """True when the store holds more nodes than its bound."""

    def evict_oldest(self) -> None:
        """Remove a tenth of the store, oldest non-source nodes first."""

    def get(self, node_id: int) -> Optional[DAGNode]:
        """The stored node, or None."""

    def stored_id(self, node_id: int) -> int:
        """``node_id`` as the store's own id object when it is stored."""

    def for_word(self, provenance: int) -> list[DAGNode]:
        """Stored nodes with this word, in creation order."""

    def snapshot(self) -> list[DAGNode]:
        """The stored nodes in creation order (a copy)."""

    def word_count(self) -> int:
        """Number of distinct words among the stored nodes."""

    def bulk_ready(self) -> bool:
        """True when :meth:`log_bulk` may stand in for repeated :meth:`add`."""

    def log_bulk(self, node_type: NodeType, op_name: str, words: np.ndarray, left: np.ndarray,
                 right: Optional[np.ndarray], out: np.ndarray, evict: Callable[[], Any],
                 persist: Optional[Callable[[DAGNode], Any]], native_eviction: bool) -> None:
        """Log one node per position whose inputs are all known (see
        :meth:`DictNodeStore.log_bulk`)."""


class DictNodeStore:
    """A node store in interpreter dicts: ``nodes`` maps id to record in
    creation order, ``index`` maps each word to the ids of its nodes,
    ``next_id`` is the id the next node gets and ``max_nodes`` the bound."""

    def __init__(self, max_nodes: int = MAX_NODES) -> None:
        self.nodes: dict[Any, DAGNode] = {}
        self.next_id: Any = 0
        self.max_nodes: Any = max_nodes
        self.index: dict[Any, list[Any]] = {}

    # -- one node at a time -------------------------------------------------

    def add(self, node_type: NodeType, operation: str, inputs: list[Any], provenance: int,
            fields: dict[str, Any], is_tainted: Callable[[int], bool]) -> DAGNode:
        """Allocate the next id, build the record (extra ``fields`` become its
        fields), mark it protected when its word is tainted, store it and
        index it under its word; returns the record."""
        node_id = self.next_id
        self.next_id = node_id + 1
        ids = self.index.get(provenance)
        if ids:
            # Share one int object per distinct word across the store
            # (words repeat across rows): saves an int per node.
            first = self.nodes.get(ids[0])
            if first is not None and first.provenance == provenance:
                provenance = first.provenance
        node = DAGNode(node_id=node_id, node_type=node_type, operation=operation,
                       inputs=inputs, provenance=provenance, **fields)
        if not node.is_protected and provenance and is_tainted(provenance):
            node.is_protected = True
        self.nodes[node_id] = node
        if ids is None:
            # A one-element literal allocates no spare slots: most words
            # name a single node when entities vary per row.
            self.index[provenance] = [node_id]
        else:
            ids.append(node_id)
        return node

    def over_capacity(self) -> bool:
        return bool(len(self.nodes) > self.max_nodes)

    def evict_oldest(self) -> None:
        """Remove a tenth of the store, oldest non-source nodes first.

        Index lists are rebuilt once per affected word rather than searched
        once per evicted id, so a word shared by many nodes does not make a
        pass quadratic.
        """
        nodes = self.nodes
        evict_count = len(nodes) // 10
        if evict_count <= 0:
            return
        source = NodeType.SOURCE
        victims: list[tuple[Any, DAGNode]] = []
        for node_id, node in nodes.items():
            if len(victims) >= evict_count:
                break
            if node.node_type == source:
                continue
            victims.append((node_id, node))
        by_prov: dict[int, list[Any]] = {}
        for node_id, node in victims:
            del nodes[node_id]
            by_prov.setdefault(node.provenance, []).append(node_id)
        index = self.index
        for prov, gone in by_prov.items():
            ids = index.get(prov)
            if ids is None:
                continue
            if len(gone) == 1:
                try:
                    ids.remove(gone[0])
                except ValueError:
                    pass  # already gone from the list: nothing to drop
            else:
                gone_set = set(gone)
                ids[:] = [i for i in ids if i not in gone_set]
            if not ids:
                del index[prov]

    # -- queries --------------------------------------------------------------

    def get(self, node_id: int) -> Optional[DAGNode]:
        return self.nodes.get(node_id)

    def stored_id(self, node_id: int) -> int:
        # Refer to a stored input through the store's own id object, so a
        # new node's input list adds no int of its own.
        stored = self.nodes.get(node_id)
        if stored is not None and stored.node_id == node_id:
            return stored.node_id
        return node_id

    def for_word(self, provenance: int) -> list[DAGNode]:
        nodes = self.nodes
        return [nodes[i] for i in self.index.get(provenance, ())]

    def snapshot(self) -> list[DAGNode]:
        # One C-level copy, so a concurrent creation cannot break a walk.
        return list(self.nodes.values())

    def word_count(self) -> int:
        return len(self.index)

    def __len__(self) -> int:
        return len(self.nodes)

    # -- a whole operation at a time ------------------------------------------

    def bulk_ready(self) -> bool:
        """True when the containers, counter and bound are a plain dict and
        plain ints: the only forms the compiled logger works on.  Anything
        else (an ordered or custom mapping, a float bound) is left to the
        per-element path, which goes through the objects' own methods."""
        return (type(self.nodes) is dict and type(self.index) is dict
                and type(self.next_id) is int and type(self.max_nodes) is int)

    def bulk_begin(self) -> tuple[Any, Any, Any, Any]:
        """(nodes, index, next id, bound) for the compiled logger, which
        works on exactly these objects; read again after any Python code it
        runs (persisting, eviction) since that code may rebind them."""
        if type(self.nodes) is not dict:
            raise TypeError("node store _nodes must be a dict, "
                            f"got {type(self.nodes).__name__}")
        if type(self.index) is not dict:
            raise TypeError("node store _prov_to_nodes must be a dict, "
                            f"got {type(self.index).__name__}")
        return self.nodes, self.index, self.next_id, self.max_nodes

    def bulk_commit(self, next_id: int) -> None:
        """Take back the id counter advanced by the compiled logger."""
        self.next_id = next_id

    def log_bulk(self, node_type: NodeType, op_name: str, words: np.ndarray, left: np.ndarray,
                 right: Optional[np.ndarray], out: np.ndarray, evict: Callable[[], Any],
                 persist: Optional[Callable[[DAGNode], Any]], native_eviction: bool) -> None:
        """Log one node per position i whose inputs ``left[i]`` (and
        ``right[i]``) are non-negative, with word ``words[i]``, writing the
        new id (or -1) into ``out[i]``: what ``add`` would do position by
        position, with eviction whenever the store passes its bound (here
        when ``native_eviction``, else by calling ``evict``) and, when
        ``persist`` is given, each node handed to it after it is stored and
        before the eviction check.  The caller holds the tracker's node lock."""
        _hooks.dag("_lineage").log_nodes(
            self, DAGNode, node_type, op_name, words, left, right, out,
            NodeType.SOURCE if native_eviction else None, evict, persist)
