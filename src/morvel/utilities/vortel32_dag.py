"""DAG lineage for VORTEL-32 provenance.

A :class:`DAGTracker` keeps a bounded, in-memory operation log: every
element-level operation on a DAG-tracked Series becomes a node of a
computation graph, so that the derivation of any single result value can be
rebuilt, queried and exported (dict, JSON, Graphviz DOT), and optionally
persisted to a storage backend or streamed to the lineage service.
"""
from __future__ import annotations

import collections
import hashlib
import json
import logging
import threading
import urllib.parse
import urllib.request
import warnings
from dataclasses import dataclass, field
from enum import Enum, auto
from typing import Any, Dict, List, Optional

from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities.vortel32 import (
    MAX_PAIRS,
    MODE_01_CHAIN_BITS,
    MODE_01_ENTITY_BITS,
    OpCode,
    ProvenanceTracker,
    _hash_entity,
)

logger = logging.getLogger(__name__)

# ---------------------------------------------------------------------------
# DAG records: NodeType, DAGNode, DAGEdge, ComputationDAG
# ---------------------------------------------------------------------------


class NodeType(Enum):
    """Types of nodes in the computation DAG."""

    SOURCE = auto()
    CONSTANT = auto()
    UNARY = auto()
    BINARY = auto()
    AGGREGATE = auto()
    MERGE = auto()
    FILTER = auto()
    CUSTOM = auto()


def _dot_text(value: Any) -> str:
    """Text of ``value`` for a double-quoted DOT string: backslashes and
    double quotes are escaped so that a name can neither end the string early
    nor smuggle DOT escapes or statements into the graph text."""
    text = str(value)
    if "\\" in text or '"' in text:
        text = text.replace("\\", "\\\\").replace('"', '\\"')
    return text


@dataclass(slots=True)
class DAGNode:
    """A node in the computation DAG.

    A node is either a source column (a leaf: ``node_type`` SOURCE, with
    ``table``, ``column`` and ``pair_id`` set and no inputs) or a
    computation step (an internal node whose ``inputs`` name the node ids it
    was computed from, left operand first).  ``provenance`` is the VORTEL-32
    word of the value the node produced.

    >>> DAGNode(3, NodeType.BINARY, "add", [1, 2], 42).to_dict()["provenance"]
    '0x0000002A'
    """

    node_id: int
    node_type: NodeType
    operation: str
    inputs: List[int]
    provenance: int
    metadata: Dict[str, Any] = field(default_factory=dict)
    table: Optional[str] = None
    column: Optional[str] = None
    pair_id: Optional[int] = None
    is_protected: bool = False

    @property
    def is_source(self) -> bool:
        """True for a source-column node."""
        return self.node_type == NodeType.SOURCE

    @property
    def is_leaf(self) -> bool:
        """True when the node has no inputs."""
        return not self.inputs

    def _label(self) -> str:
        if self.table and self.column:
            return f"{self.table}.{self.column}"
        if self.operation:
            return self.operation
        return f"node_{self.node_id}"

    def to_dict(self) -> Dict[str, Any]:
        """Export the node as a dictionary of 11 keys (``inputs`` and
        ``metadata`` are the node's own objects, not copies)."""
        return {
            "id": self.node_id,
            "name": self._label(),
            "type": self.node_type.name,
            "operation": self.operation,
            "inputs": self.inputs,
            "provenance": f"0x{self.provenance:08X}",
            "table": self.table,
            "column": self.column,
            "pair_id": self.pair_id,
            "is_protected": self.is_protected,
            "metadata": self.metadata,
        }


@dataclass(slots=True)
class DAGEdge:
    """An edge in the computation DAG."""

    source_id: int
    target_id: int
    input_index: int

    def to_dict(self) -> Dict[str, int]:
        """Export as {"source": ..., "target": ..., "input_index": ...}."""
        return {
            "source": self.source_id,
            "target": self.target_id,
            "input_index": self.input_index,
        }


@dataclass
class ComputationDAG:
    """Complete computation graph for a result value.

    ``nodes`` holds the stored node records upstream of ``root_id`` (the root
    included) in breadth-first order from the root; ``edges`` holds one edge
    per input position of every node in ``nodes``, possibly naming inputs
    that are no longer stored.
    """

    root_id: int
    nodes: Dict[int, DAGNode]
    edges: List[DAGEdge]

    @property
    def depth(self) -> int:
        """Longest path, in edges, from the root down to a leaf.

        Walks the graph with an explicit stack (no recursion, so chains of any
        length work), visiting inputs in order and computing each shared
        sub-graph once.  Raises ``KeyError`` with the first node id the walk
        reaches that is not in ``nodes``, and ``ValueError`` when the nodes'
        inputs form a cycle.
        """
        nodes = self.nodes
        root = self.root_id
        node = nodes[root]
        if not node.inputs:
            return 0
        memo: Dict[int, int] = {}
        on_path = {root}
        # Frames are [node id, its inputs, next input position, best depth].
        stack = [[root, node.inputs, 0, -1]]
        while stack:
            frame = stack[-1]
            inputs = frame[1]
            pos = frame[2]
            if pos < len(inputs):
                frame[2] = pos + 1
                child = inputs[pos]
                d = memo.get(child)
                if d is None:
                    if child in on_path:
                        raise ValueError(f"computation graph has a cycle through node {child!r}")
                    child_node = nodes[child]
                    if child_node.inputs:
                        on_path.add(child)
                        stack.append([child, child_node.inputs, 0, -1])
                        continue
                    d = memo[child] = 0
                if d > frame[3]:
                    frame[3] = d
            else:
                stack.pop()
                on_path.discard(frame[0])
                d = memo[frame[0]] = frame[3] + 1
                if stack and d > stack[-1][3]:
                    stack[-1][3] = d
        return memo[root]

    @property
    def source_nodes(self) -> List[DAGNode]:
        """The source nodes, in ``nodes`` order."""
        return [n for n in self.nodes.values() if n.is_source]

    @property
    def protected_sources(self) -> List[DAGNode]:
        """The source nodes marked protected, in ``nodes`` order."""
        return [n for n in self.source_nodes if n.is_protected]

    @property
    def has_protected(self) -> bool:
        """True when a protected source node is part of the graph."""
        return len(self.protected_sources) > 0

    @property
    def operation_counts(self) -> Dict[str, int]:
        """Number of nodes per operation text, sources included."""
        counts: Dict[str, int] = {}
        for n in self.nodes.values():
            counts[n.operation] = counts.get(n.operation, 0) + 1
        return counts

    def column_taint_risks(self) -> Dict[str, float]:
        """Highest taint risk per source column name (tainted words only)."""
        risks: Dict[str, float] = {}
        for n in self.nodes.values():
            if not n.column:
                continue
            if not ProvenanceTracker.is_tainted(n.provenance):
                continue
            risk = ProvenanceTracker.risk_score(n.provenance)
            if n.column not in risks or risk > risks[n.column]:
                risks[n.column] = risk
        return risks

    def to_dict(self) -> Dict[str, Any]:
        """Export the graph as a dictionary of 11 keys (reads ``depth``)."""
        sources = self.source_nodes
        protected = [n for n in sources if n.is_protected]
        return {
            "root_id": self.root_id,
            "depth": self.depth,
            "node_count": len(self.nodes),
            "edge_count": len(self.edges),
            "has_protected": len(protected) > 0,
            "taint_risks": self.column_taint_risks(),
            "sources": [n.to_dict() for n in sources],
            "protected_sources": [n.to_dict() for n in protected],
            "operation_counts": self.operation_counts,
            "nodes": {str(nid): n.to_dict() for nid, n in self.nodes.items()},
            "edges": [e.to_dict() for e in self.edges],
        }

    def to_json(self, indent: int = 2) -> str:
        """Standard JSON text of :meth:`to_dict` with ``indent`` spaces.

        >>> ComputationDAG(0, {0: DAGNode(0, NodeType.SOURCE, "t.c", [], 0,
        ...     table="t", column="c")}, []).to_json().splitlines()[1]
        '  "root_id": 0,'
        """
        indent = as_int(indent, "indent")
        return json.dumps(self.to_dict(), indent=indent)

    def to_graphviz(self) -> str:
        """Graphviz DOT text of the graph: sources at the bottom, the root
        highlighted, protected sources in amber.  Names are escaped for DOT
        strings."""
        lines = [
            "digraph ComputationDAG {",
            "  rankdir=BT;",
            "  node [shape=box, style=filled];",
            "",
        ]
        root = self.root_id
        for n in self.nodes.values():
            if n.is_source:
                label = f"{_dot_text(n.table)}\\n{_dot_text(n.column)}"
                color = "#f59e0b" if n.is_protected else "#22d3ee"
            else:
                label = _dot_text(n.operation)
                color = "#c084fc" if n.node_id == root else "#4ade80"
            lines.append(f'  n{n.node_id} [label="{label}", fillcolor="{color}"];')
        lines.append("")
        for e in self.edges:
            lines.append(f"  n{e.source_id} -> n{e.target_id};")
        lines.append("}")
        return "\n".join(lines)

# ---------------------------------------------------------------------------
# DAGTracker: node store, operation log, graph queries
# ---------------------------------------------------------------------------


class DAGTracker(ProvenanceTracker):
    """Provenance tracker with a bounded in-memory operation log.

    Every tracked element-level operation becomes a :class:`DAGNode`; nodes
    are indexed by id, by provenance word and (sources) by (table, column),
    and the graph behind any node can be rebuilt with :meth:`get_dag`.  With a
    non-empty ``api_key`` the tracker also streams nodes, edges and row values
    to the hosted lineage service at ``service_url``.

    >>> t = DAGTracker()
    >>> src = t.create_source_node("people", "age", 0)
    >>> t.log_unary("neg", src, 0)
    1
    """

    def __init__(
        self,
        api_key: Optional[str] = None,
        tenant_id: Optional[str] = None,
        service_url: str = "",
        pipeline_name: Optional[str] = None,
        *,
        follow_rows: bool = False,
    ) -> None:
        check_exact(api_key, "api_key", str, allow_none=True)
        check_exact(tenant_id, "tenant_id", str, allow_none=True)
        check_exact(service_url, "service_url", str)
        check_exact(pipeline_name, "pipeline_name", str, allow_none=True)
        super().__init__(follow_rows=follow_rows)
        self._dag_lock = threading.Lock()
        self._nodes: Dict[int, DAGNode] = {}
        self._next_node_id = 0
        self._value_buffer: list = []
        self._value_buffer_lock = threading.Lock()
        self._value_flush_threshold = 5000
        self._nodes_persisted = False
        self._max_nodes = 500000
        self._prov_to_nodes: Dict[int, List[int]] = {}
        self._source_nodes: Dict[tuple, int] = {}
        self._writer = None
        self._storage = None
        self._pipeline_id = None
        self._pipeline_name = pipeline_name
        self._api_key = api_key
        self._tenant_id = tenant_id
        self._service_url = service_url
        self._dashboard_synced = False
        if api_key:
            self.enable_persistence()

    # -- pickling -----------------------------------------------------------

    # Connections and threads stay with the process that opened them: a
    # copy gets fresh locks and works in memory (its persistence is off).
    _UNPICKLED = ("_writer", "_storage", "_pipeline_id", "_api_key")

    def __getstate__(self) -> dict:
        state = super().__getstate__()
        del state["_dag_lock"], state["_value_buffer_lock"]
        for name in self._UNPICKLED:
            if name in state:
                state[name] = None
        return state

    def __setstate__(self, state: dict) -> None:
        super().__setstate__(state)
        self._dag_lock = threading.Lock()
        self._value_buffer_lock = threading.Lock()

    # -- live persistence and lifecycle ------------------------------------

    def enable_persistence(self) -> None:
        """Connect to the hosted service, open a pipeline record and start the
        background writer.  Any failure becomes a ``UserWarning`` and the
        tracker keeps working in memory only.  Already live, it does nothing:
        a second writer would leave the first one running and its pipeline
        open for good."""
        if self._writer is not None:
            return
        try:
            from morvel.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig

            self._storage = HostedStorage(
                api_url=self._service_url,
                api_key=self._api_key,
                tenant_id=self._tenant_id or "default",
            )
            self._storage.connect()
            self._pipeline_id = self._storage.create_pipeline(
                pipeline_name=self._pipeline_name or "unnamed_pipeline",
                config=None,
                git_commit=None,
                tenant_id=self._tenant_id,
            )
            self._pipeline_failed = False
            config = WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
            self._writer = AsyncWriter(self._storage, config)
            self._writer.start()
            for (table, column), pair_id in list(self._name_to_id.items()):
                self._writer.register_source(pair_id, table, column, self.is_protected(table, column))
        except Exception as exc:
            warnings.warn(
                f"Persistence initialization failed: {exc}\nContinuing in memory-only mode.",
                UserWarning,
                stacklevel=2,
            )

    def record_row_value(
        self,
        row_index: int,
        fingerprint: int,
        operation: str,
        value: Any,
        column_name: Optional[str] = None,
    ) -> None:
        """Buffer a per-row value for later persistence.

        With a live writer, every ``_value_flush_threshold`` records are handed
        over as one batch.  Without one the buffer keeps only the most recent
        records (at most ``_value_flush_threshold``), so a memory-only tracker
        does not grow without bound.
        """
        row_index = as_int(row_index, "row_index")
        fingerprint = as_int(fingerprint, "fingerprint")
        if type(operation) is not str:
            raise type_error("operation", "str", operation)
        if column_name is not None and type(column_name) is not str:
            raise type_error("column_name", "str", column_name)
        from morvel.utilities.persistence.storage import StoredRowValue

        number = text = None
        if value is not None:
            try:
                number = float(value)
            except (ValueError, TypeError):
                text = str(value)
        record = StoredRowValue(
            pipeline_id=self._pipeline_id or 0,
            row_index=row_index,
            fingerprint=fingerprint,
            node_operation=operation,
            value=number,
            column_name=column_name,
            tenant_id=self._tenant_id,
            text_value=text,
        )
        with self._value_buffer_lock:
            buf = self._value_buffer
            buf.append(record)
            threshold = self._value_flush_threshold
            if len(buf) >= threshold:
                writer = self._writer
                if writer is not None:
                    # Cleared only once the writer took the batch: a refused
                    # hand-over leaves the records for the next one.
                    writer.write_row_values(buf.copy())
                    buf.clear()
                elif len(buf) > threshold:
                    # Drop the oldest quarter at once so trimming stays
                    # amortised O(1) per record; the buffer always holds the
                    # latest records, never more than the threshold.
                    keep = max(threshold - threshold // 4, 0)
                    del buf[: len(buf) - keep]

    def disable_persistence(self) -> None:
        """Disable persistence and close connections."""
        if self._writer is not None:
            self._writer.stop()
            self._writer = None
        if self._storage is not None:
            if self._pipeline_id is not None:
                self._storage.complete_pipeline(self._pipeline_id, status="completed")
            self._storage.disconnect()
            self._storage = None
        self._pipeline_id = None

    def flush(self, timeout: float = 30.0) -> bool:
        """Flush all pending writes to database."""
        timeout = _as_float(timeout, "timeout")
        writer = self._writer
        if writer is None:
            return True
        with self._value_buffer_lock:
            if self._value_buffer:
                writer.write_row_values(self._value_buffer.copy())
                self._value_buffer.clear()
        if not self._nodes_persisted:
            # Pairs registered after persistence was switched on (the usual
            # case: wrap after constructing the tracker) reach storage here,
            # once per cycle, before the writer is drained.
            for pair_id, (table, column) in list(self._id_to_name.items()):
                writer.register_source(pair_id, table, column, self.is_protected(table, column))
        writer.flush(timeout=timeout)
        if not self._nodes_persisted and self._storage is not None and self._pipeline_id is not None:
            self._persist_dag_to_storage()
            self._nodes_persisted = True
        if not self._dashboard_synced:
            self._sync_to_dashboard()
            self._dashboard_synced = True
        return True

    def _sync_to_dashboard(self) -> None:
        """Sync pipeline results to dashboard tables via the API."""
        if not self._service_url or not self._api_key:
            return
        node_count = getattr(self, "_nodes_written", 0)
        edge_count = getattr(self, "_edges_written", 0)
        name = self._pipeline_name or None
        # A run whose with-block raised is reported as failed, not completed.
        status = "failed" if getattr(self, "_pipeline_failed", False) else "completed"
        pipeline = {
            "pipeline_name": name or "unnamed_pipeline",
            "status": status,
            "node_count": node_count,
            "edge_count": edge_count,
            "provenance_pipeline_id": self._pipeline_id,
        }
        model = {
            "model_id": name or "unnamed_pipeline",
            "name": name or "Unnamed Pipeline",
            "version": "1.0",
            "status": "production",
            "domain": "credit",
        }
        has_disparate_impact = False
        protected: Dict[str, None] = {}
        for node in list(self._nodes.values()):
            if node.is_protected:
                has_disparate_impact = True
                if node.table:
                    protected[f"{node.table}.{node.column}"] = None
        protected_list = list(protected)
        fairness = {
            "model_id": name or "unnamed_pipeline",
            "has_disparate_impact": has_disparate_impact,
            "protected_attributes": protected_list,
            "details": {
                "node_count": node_count,
                "edge_count": edge_count,
                "protected_sources": list(protected_list),
            },
        }
        url = self._service_url.rstrip("/") + "/v1/dashboard/sync"
        body = json.dumps({"pipeline": pipeline, "model": model, "fairness": fairness}).encode("utf-8")
        try:
            # The API key goes only to web addresses: a file:, ftp: or other
            # URL is never opened.
            scheme = urllib.parse.urlsplit(url).scheme.lower()
            if scheme not in ("http", "https"):
                raise ValueError(f"unsupported URL scheme {scheme!r} (only http and https are contacted)")
            # A key with control characters would add header lines, and the
            # HTTP client's own complaint quotes the header, key and all, into
            # the log: refuse it here with a message that names no key.
            if any(ord(ch) < 32 or ord(ch) == 127 for ch in self._api_key):
                raise ValueError("the API key contains control characters")
            request = urllib.request.Request(
                url,
                data=body,
                headers={
                    "Authorization": "Bearer " + self._api_key,
                    "Content-Type": "application/json",
                },
                method="POST",
            )
            with _sync_urlopen(request, timeout=10) as response:
                response.read()
        except Exception as exc:
            logger.warning("Dashboard sync failed (non-fatal): %s", exc)

    def _persist_dag_to_storage(self) -> None:
        """Persist deduplicated nodes and edges to storage."""
        from morvel.utilities.persistence.storage import StoredNode

        nodes = list(self._nodes.values())
        pipeline_id = self._pipeline_id
        records = []
        for node in _first_per_fingerprint(nodes):
            info = self.decode_full(node.provenance)
            records.append(
                StoredNode(
                    fingerprint=node.provenance,
                    node_type=node.node_type.name,
                    operation=node.operation,
                    table_name=node.table,
                    column_name=node.column,
                    pair_id=node.pair_id,
                    is_protected=node.is_protected,
                    entity_hash=info.entity,
                    chain_hash=info.chain,
                    metadata=node.metadata,
                    pipeline_id=pipeline_id,
                )
            )
        if records:
            self._storage.store_nodes(records)
            self._nodes_written = len(records)
        edges = _resolved_edges(self._storage, pipeline_id, nodes, self._nodes)
        if edges:
            self._storage.store_edges_resolved(edges)
            self._edges_written = len(edges)

    def get_persistence_stats(self) -> Optional[dict]:
        """Get statistics about persistence operations."""
        if self._writer is None:
            return None
        stats = self._writer.get_stats()
        if stats is not None and not isinstance(stats, dict):
            raise TypeError(f"writer statistics must be a dict or None, got {type(stats).__name__}")
        if stats:
            stats["nodes_written"] = getattr(self, "_nodes_written", 0)
            stats["edges_written"] = getattr(self, "_edges_written", 0)
        return stats

    def persist_to_storage(self, storage: Any, pipeline_id: Optional[int] = None) -> int:
        """Write the deduplicated node store and its edges to ``storage`` and
        complete the pipeline; returns the pipeline id used (a new pipeline
        is created when ``pipeline_id`` is None)."""
        if pipeline_id is not None:
            pipeline_id = as_int(pipeline_id, "pipeline_id")
        from morvel.utilities.persistence.storage import StoredNode

        if pipeline_id is None:
            pipeline_id = int(storage.create_pipeline(self._pipeline_name or "unnamed"))
        for pair_id, (table, column) in list(self._id_to_name.items()):
            storage.register_source(pair_id, table, column, is_protected=self.is_protected(table, column))
        nodes = list(self._nodes.values())
        records = [
            StoredNode(
                fingerprint=node.provenance,
                node_type=node.node_type.name,
                operation=node.operation,
                table_name=node.table,
                column_name=node.column,
                pair_id=node.pair_id,
                is_protected=node.is_protected,
                pipeline_id=pipeline_id,
            )
            for node in _first_per_fingerprint(nodes)
        ]
        storage.store_nodes(records)
        storage.store_edges_resolved(_resolved_edges(storage, pipeline_id, nodes, self._nodes))
        storage.complete_pipeline(pipeline_id, "completed")
        return pipeline_id

    @staticmethod
    def persist_results(
        storage: Any,
        pipeline_id: int,
        row_keys: Any,
        outputs: dict,
        source_df: Any = None,
    ) -> None:
        """Store one result row per (output, row key): the output word as
        fingerprint, the value, and the SHA-256 of the source row's JSON text
        (so a later change of the source row can be detected)."""
        pipeline_id = as_int(pipeline_id, "pipeline_id")
        check_exact(outputs, "outputs", dict)
        keys = list(row_keys)
        hashes: list = []
        if source_df is not None:
            n_source = len(source_df)
            for i in range(len(keys)):
                if i < n_source:
                    text = source_df.iloc[i].to_json()
                    hashes.append(hashlib.sha256(text.encode("utf-8")).hexdigest())
                else:
                    hashes.append(None)
        results = []
        for name, series in outputs.items():
            prov = series._prov
            values = series.to_numpy()
            n_prov = len(prov)
            n_values = len(values)
            for i, key in enumerate(keys):
                fingerprint = int(prov[i]) if i < n_prov else 0
                value = float(values[i]) if i < n_values else None
                results.append((str(key), name, fingerprint, value, hashes[i] if hashes else None))
        storage.store_results(pipeline_id, results)

    # -- node store ---------------------------------------------------------

    def _create_node(
        self,
        node_type: NodeType,
        operation: str,
        inputs: list,
        provenance: int,
        **kwargs: Any,
    ) -> int:
        """Create, store and index one node; returns its id.

        Extra keywords (``table``, ``column``, ``pair_id``, ``is_protected``,
        ``metadata``) become fields of the record.
        """
        if type(node_type) is not NodeType:
            raise type_error("node_type", "NodeType", node_type)
        if type(operation) is not str:
            raise type_error("operation", "str", operation)
        if type(inputs) is not list:
            raise type_error("inputs", "list", inputs)
        if type(provenance) is not int:
            provenance = as_int(provenance, "provenance")
        with self._dag_lock:
            node_id = self._next_node_id
            self._next_node_id = node_id + 1
            ids = self._prov_to_nodes.get(provenance)
            if ids:
                # Share one int object per distinct word across the store
                # (words repeat across rows): saves an int per node.
                first = self._nodes.get(ids[0])
                if first is not None and first.provenance == provenance:
                    provenance = first.provenance
            node = DAGNode(
                node_id=node_id,
                node_type=node_type,
                operation=operation,
                inputs=inputs,
                provenance=provenance,
                **kwargs,
            )
            if not node.is_protected and provenance and self.is_tainted(provenance):
                node.is_protected = True
            self._nodes[node_id] = node
            if ids is None:
                # A one-element literal allocates no spare slots: most words
                # name a single node when entities vary per row.
                self._prov_to_nodes[provenance] = [node_id]
            else:
                ids.append(node_id)
            if self._writer:
                self._persist_node(node)
            if len(self._nodes) > self._max_nodes:
                self._evict_oldest_nodes()
        return node_id

    def _evict_oldest_nodes(self) -> None:
        """Remove a tenth of the store, oldest non-source nodes first.

        Called with ``_dag_lock`` held.  Index lists are rebuilt once per
        affected provenance rather than searched once per evicted id, so a
        word shared by many nodes does not make a pass quadratic.
        """
        nodes = self._nodes
        evict_count = len(nodes) // 10
        if evict_count <= 0:
            return
        source = NodeType.SOURCE
        victims = []
        for node_id, node in nodes.items():
            if len(victims) >= evict_count:
                break
            if node.node_type == source:
                continue
            victims.append((node_id, node))
        by_prov: Dict[int, list] = {}
        for node_id, node in victims:
            del nodes[node_id]
            by_prov.setdefault(node.provenance, []).append(node_id)
        index = self._prov_to_nodes
        for prov, gone in by_prov.items():
            ids = index.get(prov)
            if ids is None:
                continue
            if len(gone) == 1:
                try:
                    ids.remove(gone[0])
                except ValueError:
                    pass
            else:
                gone_set = set(gone)
                ids[:] = [i for i in ids if i not in gone_set]
            if not ids:
                del index[prov]

    def __enter__(self) -> "DAGTracker":
        return self

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> bool:
        # A run whose block raised, or whose final flush raised, is failed and
        # must stay failed: its pipeline record is closed as "failed" and never
        # again as "completed" (the id is let go before that close, which may
        # raise too), and the writer is stopped either way.
        failed = exc_type is not None
        if failed:
            self._pipeline_failed = True
        try:
            self.flush()
        except BaseException:
            failed = True
            raise
        finally:
            if failed:
                pipeline_id, self._pipeline_id = self._pipeline_id, None
                try:
                    if self._storage is not None and pipeline_id is not None:
                        self._storage.complete_pipeline(pipeline_id, status="failed")
                finally:
                    self.disable_persistence()
        if not failed:
            self.disable_persistence()
        return False

    def __del__(self) -> None:
        try:
            self.disable_persistence()
        except Exception:
            pass

    def _persist_node(self, node: DAGNode) -> None:
        """Hand one new node and its edges to the background writer."""
        try:
            from morvel.utilities.persistence import StoredEdge, StoredNode
        except ImportError:
            logger.error(
                "Persistence module unavailable — provenance data is NOT being saved to "
                "storage. Install morvel with persistence extras or check your installation."
            )
            return
        info = self.decode_full(node.provenance)
        record = StoredNode(
            fingerprint=node.provenance,
            node_type=node.node_type.name,
            operation=node.operation,
            table_name=node.table,
            column_name=node.column,
            pair_id=node.pair_id,
            is_protected=node.is_protected,
            entity_hash=info.entity,
            chain_hash=info.chain,
            metadata=node.metadata,
            pipeline_id=self._pipeline_id,
        )
        try:
            self._writer.write_node(record)
        except Exception as exc:
            logger.warning("Failed to persist DAG node %d: %s", node.node_id, exc)
        edges = []
        stored = self._nodes
        for i, input_id in enumerate(node.inputs):
            parent = stored.get(input_id)
            if parent is not None:
                edges.append(
                    StoredEdge(
                        parent_fingerprint=parent.provenance,
                        child_fingerprint=node.provenance,
                        input_position=i,
                    )
                )
        if edges:
            try:
                self._writer.write_edges(edges)
            except Exception as exc:
                logger.warning("Failed to persist DAG edges for node %d: %s", node.node_id, exc)

    def _start_new_pipeline(self) -> None:
        """Start a new pipeline for the next run after a flush/sync cycle."""
        if not self._storage or not self._pipeline_id:
            return
        self._storage.complete_pipeline(self._pipeline_id, status="completed")
        self._pipeline_id = self._storage.create_pipeline(
            pipeline_name=self._pipeline_name or "unnamed_pipeline",
            config=None,
            git_commit=None,
            tenant_id=self._tenant_id,
        )
        self._dashboard_synced = False
        self._nodes_persisted = False
        self._source_nodes.clear()
        self._nodes_written = 0
        self._edges_written = 0
        self._pipeline_failed = False

    # -- operation log ------------------------------------------------------

    def create_source_node(self, table: str, column: str, provenance: int) -> int:
        """Id of the SOURCE node of (table, column), created on first use with
        ``provenance``; later calls return the same id."""
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        provenance = as_int(provenance, "provenance")
        if not table or not column:
            raise ValueError("table and column must be non-empty strings")
        if self._dashboard_synced:
            self._start_new_pipeline()
        key = (table, column)
        existing = self._source_nodes.get(key)
        if existing is not None:
            return existing
        node_id = self._create_node(
            NodeType.SOURCE,
            f"{table}.{column}",
            [],
            provenance,
            table=table,
            column=column,
            pair_id=self.get_id(table, column),
            is_protected=self.is_protected(table, column),
        )
        self._source_nodes[key] = node_id
        return node_id

    def log_unary(
        self,
        op_name: str,
        input_node: int,
        result_prov: int,
        metadata: Optional[dict] = None,
    ) -> int:
        """Log a one-input step; returns the new node id."""
        if type(op_name) is not str:
            raise type_error("op_name", "str", op_name)
        if type(input_node) is not int:
            input_node = as_int(input_node, "input_node")
        if type(result_prov) is not int:
            result_prov = as_int(result_prov, "result_prov")
        if metadata is not None and type(metadata) is not dict:
            raise type_error("metadata", "dict", metadata)
        # Refer to a stored input through the store's own id object, so the
        # new node's input list adds no int of its own.
        stored = self._nodes.get(input_node)
        if stored is not None and stored.node_id == input_node:
            input_node = stored.node_id
        return self._create_node(
            NodeType.UNARY, op_name, [input_node], result_prov, metadata=metadata if metadata else {}
        )

    def log_binary(
        self,
        op_name: str,
        left_node: int,
        right_node: int,
        result_prov: int,
        metadata: Optional[dict] = None,
    ) -> int:
        """Log a two-input step (left operand first); returns the new node id."""
        if type(op_name) is not str:
            raise type_error("op_name", "str", op_name)
        if type(left_node) is not int:
            left_node = as_int(left_node, "left_node")
        if type(right_node) is not int:
            right_node = as_int(right_node, "right_node")
        if type(result_prov) is not int:
            result_prov = as_int(result_prov, "result_prov")
        if metadata is not None and type(metadata) is not dict:
            raise type_error("metadata", "dict", metadata)
        store = self._nodes
        stored = store.get(left_node)
        if stored is not None and stored.node_id == left_node:
            left_node = stored.node_id
        stored = store.get(right_node)
        if stored is not None and stored.node_id == right_node:
            right_node = stored.node_id
        return self._create_node(
            NodeType.BINARY,
            op_name,
            [left_node, right_node],
            result_prov,
            metadata=metadata if metadata else {},
        )

    def log_merge(
        self,
        left_nodes: list,
        right_nodes: list,
        result_prov: int,
        merge_type: str = "inner",
        metadata: Optional[dict] = None,
    ) -> int:
        """Log a merge of two node lists; returns the new node id."""
        check_exact(left_nodes, "left_nodes", list)
        check_exact(right_nodes, "right_nodes", list)
        result_prov = as_int(result_prov, "result_prov")
        check_exact(merge_type, "merge_type", str)
        check_exact(metadata, "metadata", dict, allow_none=True)
        merged_meta: Dict[str, Any] = {"merge_type": merge_type}
        if metadata:
            merged_meta.update(metadata)
        return self._create_node(
            NodeType.MERGE,
            "merge_" + merge_type,
            left_nodes + right_nodes,
            result_prov,
            metadata=merged_meta,
        )

    def log_aggregate(
        self,
        op_name: str,
        input_nodes: list,
        result_prov: int,
        metadata: Optional[dict] = None,
    ) -> int:
        """Log an aggregation over ``input_nodes`` (stored as given); returns
        the new node id."""
        check_exact(op_name, "op_name", str)
        check_exact(input_nodes, "input_nodes", list)
        result_prov = as_int(result_prov, "result_prov")
        check_exact(metadata, "metadata", dict, allow_none=True)
        return self._create_node(
            NodeType.AGGREGATE, op_name, input_nodes, result_prov, metadata=metadata if metadata else {}
        )

    # -- graph queries ------------------------------------------------------

    def get_node(self, node_id: int) -> Optional[DAGNode]:
        """The stored node, or None when unknown or evicted."""
        return self._nodes.get(as_int(node_id, "node_id"))

    def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]:
        """Stored nodes with this provenance word, in creation order."""
        provenance = as_int(provenance, "provenance")
        nodes = self._nodes
        return [nodes[i] for i in self._prov_to_nodes.get(provenance, ())]

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        """The graph upstream of ``root_node_id``, breadth first from it.

        >>> DAGTracker().get_dag(7).nodes
        {}
        """
        root_node_id = as_int(root_node_id, "root_node_id")
        store = self._nodes
        visited = set()
        queue = collections.deque([root_node_id])
        nodes: Dict[int, DAGNode] = {}
        edges: List[DAGEdge] = []
        while queue:
            nid = queue.popleft()
            if nid in visited:
                continue
            visited.add(nid)
            node = store.get(nid)
            if node is None:
                continue
            nodes[nid] = node
            for i, input_id in enumerate(node.inputs):
                edges.append(DAGEdge(source_id=input_id, target_id=nid, input_index=i))
                if input_id not in visited:
                    queue.append(input_id)
        return ComputationDAG(root_id=root_node_id, nodes=nodes, edges=edges)

    def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]:
        """Graph of the most recent stored node with this provenance, or None."""
        nodes = self.get_nodes_for_provenance(provenance)
        if not nodes:
            return None
        return self.get_dag(max(n.node_id for n in nodes))

    def dag_stats(self) -> Dict[str, Any]:
        """Counts over the node store."""
        # One C-level snapshot, so a concurrent creation cannot break the walk.
        nodes = list(self._nodes.values())
        source_count = sum(1 for n in nodes if n.is_source)
        protected_count = sum(1 for n in nodes if n.is_protected)
        counts: Dict[str, int] = {}
        for n in nodes:
            if not n.is_source:
                counts[n.operation] = counts.get(n.operation, 0) + 1
        return {
            "total_nodes": len(nodes),
            "source_nodes": source_count,
            "protected_sources": protected_count,
            "operation_nodes": len(nodes) - source_count,
            "operation_counts": counts,
            "unique_provenances": len(self._prov_to_nodes),
        }

# ---------------------------------------------------------------------------
# DAGTracker: persistence, flush cycle and dashboard sync
# (methods are attached inside the class body above; this banner marks where
# the persistence helpers that are not methods live)
# ---------------------------------------------------------------------------


def _as_float(value: Any, name: str) -> float:
    """``value`` as a float number of seconds; text, None and containers
    raise the standard ``TypeError``."""
    if isinstance(value, (str, bytes)) or not hasattr(type(value), "__float__"):
        raise type_error(name, "float", value)
    return float(value)


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """Refuses every redirect: the reply becomes an ``HTTPError`` instead of
    a second request that would carry the API key to whatever address (or
    scheme) the reply names."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None


def _sync_urlopen(request: urllib.request.Request, timeout: float):
    """Open the dashboard request directly: no redirects, and no proxy taken
    from the environment (the service address comes only from the caller)."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}), _NoRedirect())
    return opener.open(request, timeout=timeout)


def _first_per_fingerprint(nodes: List[DAGNode]) -> List[DAGNode]:
    """The first node of each distinct provenance word, in store order."""
    seen: Dict[int, DAGNode] = {}
    for node in nodes:
        if node.provenance not in seen:
            seen[node.provenance] = node
    return list(seen.values())


def _resolved_edges(storage: Any, pipeline_id: Any, nodes: List[DAGNode], store: Dict[int, DAGNode]) -> list:
    """Distinct (parent, child, position) edges between stored nodes,
    translated to the backend's node ids; an edge whose parent is no longer
    stored, or whose fingerprints the backend does not know, is dropped."""
    fmap = storage.get_fingerprint_node_map(pipeline_id)
    seen = set()
    edges = []
    for node in nodes:
        child = node.provenance
        for i, input_id in enumerate(node.inputs):
            parent = store.get(input_id)
            if parent is None:
                continue
            key = (parent.provenance, child, i)
            if key in seen:
                continue
            seen.add(key)
            parent_id = fmap.get(parent.provenance)
            child_id = fmap.get(child)
            if parent_id is None or child_id is None:
                continue
            edges.append((parent_id, child_id, i))
    return edges

# ---------------------------------------------------------------------------
# DAG-tracked Series and DataFrames, wrap_dataframe_dag
# ---------------------------------------------------------------------------

import types as _types

import numpy as np
import pandas as pd

from morvel._rows import hooks as _rows_hooks
from morvel._rows import register_family as _register_rows_family
from morvel.utilities import vortel32

try:  # the compiled bulk lineage path; without it every operation loops
    from morvel import _lineage
except ImportError:  # pragma: no cover - exercised only on broken builds
    _lineage = None

# Marker of "no node" in node-id arrays.  Node 0 is a real node (the first
# source column a tracker saw), so absent nodes must never read as 0.
NO_NODE = -1


def _static_attr(cls, name):
    """The class attribute ``name`` as stored in the MRO (descriptors
    unbound), or None."""
    for klass in cls.__mro__:
        if name in klass.__dict__:
            return klass.__dict__[name]
    return None


# Tracker methods the compiled paths stand in for, captured when this module
# loads so that later replacement, also on DAGTracker itself, is noticed.
_STOCK_NAMES = (
    "combine", "update_chain", "log_binary", "log_unary", "_create_node",
    "_evict_oldest_nodes", "is_tainted", "record_row_value", "encode",
    "create_source_node", "entity_from_row", "_start_new_pipeline", "_persist_node",
)
_STOCK = {name: _static_attr(DAGTracker, name) for name in _STOCK_NAMES}
_STOCK_HASH_ENTITY = vortel32._hash_entity

# Eviction of a stock tracker's store is done natively during bulk logging;
# with this off the compiled path calls the tracker's method instead.
_native_eviction = True

_BINARY_METHODS = ("combine", "log_binary", "_create_node", "_evict_oldest_nodes", "is_tainted",
                   "record_row_value")
_UNARY_METHODS = ("update_chain", "log_unary", "_create_node", "_evict_oldest_nodes", "is_tainted",
                  "record_row_value")
# The per-cell path calls create_source_node once per cell, which starts a new
# pipeline on every call while the dashboard counts as synced.
_WRAP_METHODS = ("encode", "create_source_node", "record_row_value", "_start_new_pipeline")


def _stock_tracker(tracker, names) -> bool:
    """True when ``tracker`` is a DAGTracker whose methods ``names`` are all
    the stock ones: neither overridden by a subclass, nor replaced on the
    instance, nor patched on the class since load.  With live persistence
    its ``_persist_node`` must be stock too (the compiled path calls it per
    node).  Only then may a compiled path stand in for the per-element
    calls."""
    if _lineage is None or not isinstance(tracker, DAGTracker):
        return False
    if getattr(tracker, "_writer", None):
        names = tuple(names) + ("_persist_node",)
    inst = getattr(tracker, "__dict__", {})
    cls = type(tracker)
    for name in names:
        if name in inst or _static_attr(cls, name) is not _STOCK[name]:
            return False
    return True


def _plain_store(tracker) -> bool:
    """True when the node store and provenance index are plain dicts and the
    node-id counter and store bound plain ints: the only forms the compiled
    logger works on.  Anything else (an ordered or custom mapping, a float
    bound) is left to the per-element path, which goes through the objects'
    own methods and comparisons."""
    return (type(tracker._nodes) is dict and type(tracker._prov_to_nodes) is dict
            and type(tracker._next_node_id) is int and type(tracker._max_nodes) is int)


def _eviction_source():
    """What the compiled logger needs to evict natively (the SOURCE member,
    whose nodes are never evicted), or None to call the tracker's method."""
    return NodeType.SOURCE if _native_eviction else None


def _copy_array(arr):
    """A new array with the contents of ``arr`` (None stays None)."""
    return None if arr is None else np.array(arr, copy=True)


def _bulk_words(arr) -> bool:
    return isinstance(arr, np.ndarray) and arr.ndim == 1 and arr.dtype == np.uint32


def _bulk_ids(arr) -> bool:
    # Signed integers, or unsigned ones narrow enough to fit int64.
    return (isinstance(arr, np.ndarray) and arr.ndim == 1
            and (arr.dtype.kind == "i" or (arr.dtype.kind == "u" and arr.dtype.itemsize < 8)))


def _padded(arr, n: int, fill, dtype) -> np.ndarray:
    """``arr`` cut or padded with ``fill`` to length ``n``, as a contiguous
    ``dtype`` array: what the per-element loops read at positions 0..n-1."""
    k = min(n, len(arr))
    if k == n and arr.dtype == dtype and arr.flags.c_contiguous:
        return arr[:n]
    out = np.full(n, fill, dtype=dtype)
    out[:k] = arr[:k]
    return out


def _record_loop(tracker, values, words, op_name) -> None:
    """Offer ``values[i]`` of each position to the tracker's recorder, with
    ``words[i]`` as fingerprint.  None and NaN floats (interpreter floats,
    which numpy float64 scalars are) are skipped; any error of one element
    is swallowed so that recording never fails an operation."""
    record = tracker.record_row_value
    for i in range(len(words)):
        try:
            v = values[i]
            if v is None or (isinstance(v, float) and v != v):
                continue
            record(i, int(words[i]), op_name, v)
        except Exception:
            pass


def _records_cleanly(v) -> bool:
    """True for values the recorder converts without fail (to a float, or
    to text after the float conversion refused them)."""
    if v is None or isinstance(v, (str, float, bool, np.bool_)):
        return True
    if isinstance(v, int):
        return -(1 << 1000) < v < (1 << 1000)
    if isinstance(v, np.generic):
        return v.dtype.kind in "biufUS"
    return False


class _ValueGroup:
    """Row values offered to the recorder by one operation or one column:
    ``values[i]`` with fingerprint ``words[i]`` for every position i, in
    order, under ``operation`` and ``column_name``.

    ``numeric`` values are a 1-D numpy array of a dtype whose elements always
    convert to float; others are any indexable sequence.  ``offered`` holds
    the positions that reach the recorder (NaN floats do not, nor None when
    ``skip_none``), or is None when every position does."""

    __slots__ = ("values", "words", "operation", "column_name", "numeric", "offered",
                 "skip_none")

    def __init__(self, values, words, operation, column_name, skip_none):
        self.values = values
        self.words = words
        self.operation = operation
        self.column_name = column_name
        self.numeric = _numeric_values(values)
        self.offered = None
        self.skip_none = skip_none

    def classify(self) -> bool:
        """Find the offered positions; False when some offered value might
        make the recorder fail (the caller then records element by element)."""
        values = self.values
        if self.numeric:
            # Only float64 elements are interpreter floats, whose NaNs are
            # not offered; NaNs of the narrower float types are.
            if values.dtype.type is np.float64:
                self.offered = np.flatnonzero(~np.isnan(values))
            return True
        keep = []
        skip_none = self.skip_none
        for i in range(len(values)):
            v = values[i]
            if (v is None and skip_none) or (isinstance(v, float) and v != v):
                continue
            if not _records_cleanly(v):
                return False
            keep.append(i)
        if len(keep) != len(values):
            self.offered = np.asarray(keep, dtype=np.intp)
        return True

    def positions(self) -> np.ndarray:
        """The offered positions, in order."""
        return np.arange(len(self.values)) if self.offered is None else self.offered

    def count(self) -> int:
        return len(self.words) if self.offered is None else len(self.offered)

    def tail(self, take: int) -> np.ndarray:
        if self.offered is None:
            n = len(self.words)
            return np.arange(n - take, n)
        return self.offered[len(self.offered) - take:]


def _numeric_values(values) -> bool:
    if not isinstance(values, np.ndarray) or values.ndim != 1:
        return False
    kind = values.dtype.kind
    return kind in "biu" or (kind == "f" and values.dtype.itemsize <= 8)


def _kept_tail(buffered: int, added: int, threshold) -> int:
    """Length of a memory-only tracker's value buffer after ``added`` more
    records are appended to ``buffered`` ones: the recorder drops the oldest
    records down to ``threshold - threshold // 4`` whenever the buffer grows
    past ``threshold``."""
    keep = max(threshold - threshold // 4, 0)
    total = buffered + added
    if total <= threshold:
        return total
    if keep > threshold:
        return keep
    first = 1 if buffered > threshold else threshold + 1 - buffered
    return keep + (added - first) % (threshold + 1 - keep)


def _group_records(record_cls, group, sel, pipeline_id, tenant_id) -> list:
    """The recorder's records of ``group``'s values at positions ``sel``, in
    order, as the stock recorder builds them one by one."""
    rows = sel.tolist()
    fps = group.words[sel].tolist()
    if group.numeric:
        numbers = group.values[sel].astype(np.float64).tolist()
        texts = [None] * len(rows)
    else:
        numbers, texts = [], []
        values = group.values
        for i in rows:
            number = text = None
            v = values[i]
            if v is not None:
                try:
                    number = float(v)
                except (ValueError, TypeError):
                    text = str(v)
            numbers.append(number)
            texts.append(text)
    op, col = group.operation, group.column_name
    return [
        record_cls(pipeline_id=pipeline_id, row_index=r, fingerprint=f, node_operation=op,
                   value=x, column_name=col, tenant_id=tenant_id, text_value=t)
        for r, f, x, t in zip(rows, fps, numbers, texts)
    ]


def _live_records(tracker, group, sel) -> list:
    """Records of ``group`` at positions ``sel`` for the tracker's current
    pipeline; none when the recorder cannot build records at all."""
    if len(sel) == 0:
        return []
    try:
        from morvel.utilities.persistence.storage import StoredRowValue
    except ImportError:
        return []  # the recorder fails for every value: nothing is recorded
    return _group_records(StoredRowValue, group, sel, tracker._pipeline_id or 0,
                          tracker._tenant_id)


def _hand_over(tracker, records) -> None:
    """Append ``records`` to the value buffer as the stock recorder does one
    by one: whenever the buffer reaches ``_value_flush_threshold`` a copy goes
    to the writer, and the buffer is cleared once the writer took it (a
    refused batch stays, and the next record tries again); without a writer
    the oldest records are trimmed.  Runs of records that cannot reach the
    threshold are appended at once.  An ``Exception`` of one hand-over is
    swallowed, as the per-element loops swallow the recorder's errors."""
    pos, total = 0, len(records)
    while pos < total:
        try:
            with tracker._value_buffer_lock:
                buf = tracker._value_buffer
                threshold = tracker._value_flush_threshold
                take = 1
                if type(buf) is list and type(threshold) is int:
                    take = min(max(threshold - len(buf), 1), total - pos)
                chunk = records[pos:pos + take]
                pos += take
                if take == 1:
                    buf.append(chunk[0])
                else:
                    buf.extend(chunk)
                if len(buf) >= threshold:
                    writer = tracker._writer
                    if writer is not None:
                        writer.write_row_values(buf.copy())
                        buf.clear()
                    elif len(buf) > threshold:
                        keep = max(threshold - threshold // 4, 0)
                        del buf[: len(buf) - keep]
        except Exception:
            pass


def _records_before_hand_over(tracker, limit: int) -> int:
    """How many more records the recorder takes until the next one that makes
    it hand the buffer to the writer (``limit`` when no writer is set)."""
    if tracker._writer is None:
        return limit
    threshold = tracker._value_flush_threshold
    buf = tracker._value_buffer
    if type(buf) is not list or type(threshold) is not int:
        return 1
    return max(threshold - len(buf), 1)


def _live_group(tracker, values, operation):
    """The classified row values of an operation on a live tracker, or None
    when the compiled path cannot stand in for the recorder (a value that
    might make it fail, or buffer settings of other types)."""
    if type(tracker._value_flush_threshold) is not int or type(tracker._value_buffer) is not list:
        return None
    group = _ValueGroup(values, None, operation, None, True)
    return group if group.classify() else None


# Marks node-id slots the compiled logger has not completed yet.
_PENDING = -2


def _log_nodes_live(tracker, group, node_type, op_name, words, left, right) -> np.ndarray:
    """Log one node per position and record the row values of ``group`` on a
    live tracker, with the writer calls of the per-element loop: each node
    goes to ``_persist_node`` as it is created, and the value buffer is
    handed over at the same elements.  The positions are processed in runs
    that end at the element whose record reaches the hand-over threshold:
    that run's nodes first, then its records.  An error while logging stops
    the operation after the records of the completed positions, as the loop
    would stop there."""
    n = len(words)
    group.words = words
    offered = group.positions()
    total = len(offered)
    nodes = np.full(n, _PENDING, dtype=np.int64)
    source = _eviction_source()
    start = taken = 0
    while True:
        due = taken + _records_before_hand_over(tracker, total + 1)
        if due <= total:
            end = int(offered[due - 1]) + 1
        else:
            due, end = total, n
        if start < end:
            try:
                with tracker._dag_lock:
                    _lineage.log_nodes(tracker, DAGNode, node_type, op_name, words[start:end],
                                       left[start:end], None if right is None else right[start:end],
                                       nodes[start:end], source, True)
            except BaseException:
                pending = np.flatnonzero(nodes[start:end] == _PENDING)
                stop = start + int(pending[0]) if len(pending) else end
                upto = taken + int(np.searchsorted(offered[taken:due], stop))
                _hand_over(tracker, _live_records(tracker, group, offered[taken:upto]))
                raise
        _hand_over(tracker, _live_records(tracker, group, offered[taken:due]))
        taken, start = due, end
        if start >= n and taken >= total:
            return nodes


def _append_row_values(tracker, groups) -> bool:
    """Leave the tracker's value buffer as the stock recorder would after
    being offered every value of ``groups``, in order.  Memory-only, only
    the records that survive the buffer's trimming are built; with a writer
    every record is built and handed over at the recorder's moments.
    Returns False, changing nothing, when some value might make the recorder
    fail (or the buffer settings are not the plain list and integer
    threshold this reasoning assumes)."""
    if type(tracker._value_flush_threshold) is not int or type(tracker._value_buffer) is not list:
        return False
    for group in groups:
        if not group.classify():
            return False
    if tracker._writer is not None:
        for group in groups:
            _hand_over(tracker, _live_records(tracker, group, group.positions()))
        return True
    try:
        from morvel.utilities.persistence.storage import StoredRowValue
    except ImportError:
        return True  # the recorder fails for every value: nothing is recorded
    total = sum(group.count() for group in groups)
    if total == 0:
        return True
    pipeline_id = tracker._pipeline_id or 0
    tenant_id = tracker._tenant_id
    with tracker._value_buffer_lock:
        buf = tracker._value_buffer
        kept = _kept_tail(len(buf), total, tracker._value_flush_threshold)
        need = min(kept, total)
        chunks = []
        for group in reversed(groups):
            if need <= 0:
                break
            take = min(need, group.count())
            need -= take
            if take == 0:
                continue
            chunks.append(_group_records(StoredRowValue, group, group.tail(take),
                                         pipeline_id, tenant_id))
        new = [rec for chunk in reversed(chunks) for rec in chunk]
        old_kept = kept - len(new)
        if old_kept <= 0:
            buf.clear()
        else:
            del buf[: len(buf) - old_kept]
        buf.extend(new)
    return True


def _record_values_after(tracker, values, words, op_name) -> None:
    """Row values of a bulk-logged operation: the surviving records built
    at once, or the recorder called element by element when a value might
    make it fail."""
    if not _append_row_values(tracker, [_ValueGroup(values, words, op_name, None, True)]):
        _record_loop(tracker, values, words, op_name)


def _new_series(values, index, prov, tracker, node_ids) -> "DAGTrackedSeries":
    return DAGTrackedSeries(values, index=index, _prov=prov, _tracker=tracker, _node_ids=node_ids)


class DAGTrackedSeries(_rows_hooks.RowsSeriesMixin, pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata = ["_prov", "_tracker", "_node_ids"]
    # Defaults for objects pandas builds without __init__ (_from_mgr,
    # unpickling) until pandas copies the source's attributes over.
    _prov = None
    _tracker = None
    _node_ids = None
    _name = None

    def __init__(self, *args, _prov=None, _tracker=None, _node_ids=None, **kwargs):
        super().__init__(*args, **kwargs)
        n = len(self)
        object.__setattr__(self, "_prov", np.zeros(n, dtype=np.uint32) if _prov is None else _prov)
        object.__setattr__(self, "_tracker", _tracker)
        object.__setattr__(self, "_node_ids",
                           np.full(n, NO_NODE, dtype=np.int64) if _node_ids is None else _node_ids)

    @property
    def _constructor(self):
        return DAGTrackedSeries

    @property
    def _constructor_expanddim(self):
        # Frames made from a row-following series (to_frame, concat along
        # columns) stay tracked; otherwise pandas' plain DataFrame.
        return DAGTrackedDataFrame if _rows_hooks.follows(self._tracker) else pd.DataFrame

    def __finalize__(self, other, method=None, **kwargs):
        # pandas copies the names listed in _metadata; "_name" is not among
        # ours, so carry the name over the way a plain Series does (groupby
        # and pivot copy the key column and read its name afterwards).
        out = super().__finalize__(other, method=method, **kwargs)
        if isinstance(other, pd.Series):
            object.__setattr__(out, "_name", other._name)
        _rows_hooks.finalize_series(_ROWS, out, other, method)
        return out

    def __getstate__(self):
        # Pickles carry the _metadata names only; keep the name with them.
        state = super().__getstate__()
        state["_name"] = self._name
        return state

    # -- logged element operations -----------------------------------------

    def _binop_dag(self, other, op, op_name: str, op_code: int) -> "DAGTrackedSeries":
        """Apply the two-operand element operation ``op`` to the raw values
        (by position, no index alignment) and, when both operands are
        DAG-tracked and a tracker is present, combine the words element by
        element and log one BINARY node per element (left input: this
        series' node) and offer each result value to the recorder.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), t, "t")
        >>> (f["a"] + f["b"])._node_ids.tolist()
        [2, 3]
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        left, other = _rows_hooks.binop_operands(self, other, op_code == OpCode.CMP)
        return _rows_hooks.name_result(left._binop_dag_aligned(other, op, op_name, op_code),
                                       left, other)

    def _binop_dag_aligned(self, other, op, op_name: str, op_code: int) -> "DAGTrackedSeries":
        b = other.values if hasattr(other, "values") else other
        result = op(self.values, b)
        tracker = self._tracker
        if not isinstance(other, DAGTrackedSeries) or tracker is None:
            return _new_series(result, self.index, _copy_array(self._prov), tracker,
                               _copy_array(self._node_ids))
        n = len(result)
        sp, sn, op_, on = self._prov, self._node_ids, other._prov, other._node_ids
        live = tracker._writer is not None
        if (_stock_tracker(tracker, _BINARY_METHODS) and _plain_store(tracker)
                and _bulk_words(sp) and _bulk_words(op_) and _bulk_ids(sn) and _bulk_ids(on)
                and (not live or (group := _live_group(tracker, result, op_name)) is not None)):
            words = np.asarray(
                vortel32.combine_batch(tracker._rust, _padded(sp, n, 0, np.uint32),
                                       _padded(op_, n, 0, np.uint32), op_code),
                dtype=np.uint32)
            if live:
                nodes = _log_nodes_live(tracker, group, NodeType.BINARY, op_name, words,
                                        _padded(sn, n, NO_NODE, np.int64),
                                        _padded(on, n, NO_NODE, np.int64))
                return _new_series(result, self.index, words, tracker, nodes)
            nodes = np.empty(n, dtype=np.int64)
            with tracker._dag_lock:
                _lineage.log_nodes(tracker, DAGNode, NodeType.BINARY, op_name, words,
                                   _padded(sn, n, NO_NODE, np.int64),
                                   _padded(on, n, NO_NODE, np.int64), nodes, _eviction_source())
            _record_values_after(tracker, result, words, op_name)
            return _new_series(result, self.index, words, tracker, nodes)
        words = np.zeros(n, dtype=np.uint32)
        nodes = np.full(n, NO_NODE, dtype=np.int64)
        record = tracker.record_row_value
        for i in range(n):
            pa = int(sp[i]) if i < len(sp) else 0
            pb = int(op_[i]) if i < len(op_) else 0
            p = tracker.combine(pa, pb, op_code)
            words[i] = p
            na = int(sn[i]) if i < len(sn) else NO_NODE
            nb = int(on[i]) if i < len(on) else NO_NODE
            if na >= 0 and nb >= 0:
                nodes[i] = tracker.log_binary(op_name, na, nb, p)
            try:
                v = result[i]
                if v is not None and not (isinstance(v, float) and v != v):
                    record(i, int(p), op_name, v)
            except Exception:
                pass
        return _new_series(result, self.index, words, tracker, nodes)

    def _unop_dag(self, op, op_name: str, op_code: int) -> "DAGTrackedSeries":
        """Apply the one-operand element operation ``op`` and, with a tracker,
        advance each word's chain with ``op_code``, log one UNARY node per
        element whose node is known and offer each result value to the
        recorder.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "t")
        >>> [t.get_node(i).operation for i in (-f["a"])._node_ids]
        ['neg', 'neg']
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        result = op(self.values)
        return self._log_unary_steps(result, self.index, op_name, op_code)

    def _log_unary_steps(self, result, index, op_name, op_code):
        return _rows_hooks.name_result(self._log_unary_steps_unnamed(result, index, op_name, op_code),
                                       self, None)

    def _log_unary_steps_unnamed(self, result, index, op_name, op_code):
        tracker = self._tracker
        if tracker is None:
            return _new_series(result, index, _copy_array(self._prov), tracker,
                               _copy_array(self._node_ids))
        n = len(result)
        sp, sn = self._prov, self._node_ids
        live = tracker._writer is not None
        if (_stock_tracker(tracker, _UNARY_METHODS) and _plain_store(tracker)
                and _bulk_words(sp) and _bulk_ids(sn)
                and (not live or (group := _live_group(tracker, result, op_name)) is not None)):
            words = np.asarray(
                vortel32.update_chain_batch(tracker._rust, _padded(sp, n, 0, np.uint32), op_code),
                dtype=np.uint32)
            if live:
                nodes = _log_nodes_live(tracker, group, NodeType.UNARY, op_name, words,
                                        _padded(sn, n, NO_NODE, np.int64), None)
                return _new_series(result, index, words, tracker, nodes)
            nodes = np.empty(n, dtype=np.int64)
            with tracker._dag_lock:
                _lineage.log_nodes(tracker, DAGNode, NodeType.UNARY, op_name, words,
                                   _padded(sn, n, NO_NODE, np.int64), None, nodes,
                                   _eviction_source())
            _record_values_after(tracker, result, words, op_name)
            return _new_series(result, index, words, tracker, nodes)
        words = np.zeros(n, dtype=np.uint32)
        nodes = np.full(n, NO_NODE, dtype=np.int64)
        record = tracker.record_row_value
        len_p, len_n = len(sp), len(sn)
        for i in range(n):
            pa = int(sp[i]) if i < len_p else 0
            words[i] = tracker.update_chain(pa, op_code)
            w = int(words[i])
            na = int(sn[i]) if i < len_n else NO_NODE
            if na >= 0:
                nodes[i] = tracker.log_unary(op_name, na, w)
            try:
                v = result[i]
                if v is not None and not (isinstance(v, float) and v != v):
                    record(i, w, op_name, v)
            except Exception:
                pass
        return _new_series(result, index, words, tracker, nodes)

    def __add__(self, other):
        return self._binop_dag(other, np.add, "add", OpCode.ADD)

    def __sub__(self, other):
        return self._binop_dag(other, np.subtract, "sub", OpCode.SUB)

    def __mul__(self, other):
        return self._binop_dag(other, np.multiply, "mul", OpCode.MUL)

    def __truediv__(self, other):
        return self._binop_dag(other, np.true_divide, "div", OpCode.DIV)

    def __floordiv__(self, other):
        return self._binop_dag(other, np.floor_divide, "floordiv", OpCode.DIV)

    def __pow__(self, other):
        return self._binop_dag(other, np.power, "pow", OpCode.MUL)

    def __radd__(self, other):
        return self._binop_dag(other, _swapped(np.add), "add", OpCode.ADD)

    def __rsub__(self, other):
        return self._binop_dag(other, _swapped(np.subtract), "sub", OpCode.SUB)

    def __rmul__(self, other):
        return self._binop_dag(other, _swapped(np.multiply), "mul", OpCode.MUL)

    def __rtruediv__(self, other):
        return self._binop_dag(other, _swapped(np.true_divide), "div", OpCode.DIV)

    def __neg__(self):
        return self._unop_dag(_negate, "neg", OpCode.NEG)

    def __gt__(self, other):
        return self._binop_dag(other, _greater, "gt", OpCode.CMP)

    def __lt__(self, other):
        return self._binop_dag(other, _less, "lt", OpCode.CMP)

    def __ge__(self, other):
        return self._binop_dag(other, _greater_equal, "ge", OpCode.CMP)

    def __le__(self, other):
        return self._binop_dag(other, _less_equal, "le", OpCode.CMP)

    # -- tracked transforms ------------------------------------------------

    def clip(self, lower=None, upper=None):
        """Values clipped to [lower, upper]; one "clip" node per element.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [-5, 5, 50]}), t, "t")
        >>> f["a"].clip(0, 10).tolist()
        [0, 5, 10]
        """
        return self._unop_dag(lambda x: np.clip(x, lower, upper), "clip", OpCode.CLIP)

    def _apply_tracked_unary(self, result_values, result_index, op_name: str, op_code: int):
        """Apply a tracked unary operation, updating provenance for each element.

        Shared by fillna, replace, and similar element-wise transforms.
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        return self._log_unary_steps(result_values, result_index, op_name, op_code)

    def fillna(self, value=0, **kwargs):
        """Missing values filled (default 0); one "fillna" node per element.

        An in-place request is refused before anything changes: the series'
        words and node ids could not follow the values it would change.
        """
        if kwargs.get("inplace"):
            raise ValueError(
                "fillna(inplace=True) is not supported on a DAG-tracked series: "
                "use the returned series instead")
        result = pd.Series.fillna(self, value, **kwargs)
        return self._apply_tracked_unary(result.values, self.index, "fillna", OpCode.FILL)

    def replace(self, *args, **kwargs):
        """pandas ``replace``; one "replace" node per element.  An in-place
        replacement logs nothing, keeps the words and node ids, and returns
        what pandas returned."""
        result = pd.Series.replace(self, *args, **kwargs)
        if kwargs.get("inplace") or not isinstance(result, pd.Series):
            return result
        return self._apply_tracked_unary(result.values, result.index, "replace", OpCode.MAP)


def _swapped(ufunc):
    def op(a, b):
        return ufunc(b, a)
    return op


def _negate(x):
    # Negating booleans inverts them, as pandas' own unary minus does (and
    # as its drop_duplicates relies on); numpy refuses ``-`` on bool arrays.
    if pd.api.types.is_bool_dtype(x.dtype):
        return ~x
    return -x


def _greater(a, b):
    return a > b


def _less(a, b):
    return a < b


def _greater_equal(a, b):
    return a >= b


def _less_equal(a, b):
    return a <= b


def _hashable_key(key) -> bool:
    try:
        hash(key)
    except TypeError:
        return False
    return True


class DAGTrackedDataFrame(_rows_hooks.RowsFrameMixin, pd.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata = ["_tracker", "_col_prov", "_col_nodes"]
    # Defaults for objects pandas builds without __init__; read-only so
    # that nothing writes into a dictionary shared by every such object.
    _tracker = None
    _col_prov = _types.MappingProxyType({})
    _col_nodes = _types.MappingProxyType({})

    def __init__(self, *args, **kwargs):
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        col_nodes = kwargs.pop("_col_nodes", None)
        super().__init__(*args, **kwargs)
        object.__setattr__(self, "_tracker", tracker)
        object.__setattr__(self, "_col_prov", {} if col_prov is None else col_prov)
        object.__setattr__(self, "_col_nodes", {} if col_nodes is None else col_nodes)

    @property
    def _constructor(self):
        return DAGTrackedDataFrame

    @property
    def _constructor_sliced(self):
        return DAGTrackedSeries

    def __finalize__(self, other, method=None, **kwargs):
        out = super().__finalize__(other, method=method, **kwargs)
        _rows_hooks.finalize_frame(_ROWS, out, other, method)
        return out

    def __getitem__(self, key):
        """pandas selection; a selected column comes back as a nameless
        ``DAGTrackedSeries`` with copies of the column's words and node ids.

        Stored arrays whose length no longer matches the column give every
        element their first entry; columns without stored arrays get zero
        words and no nodes (-1).
        """
        if callable(key):
            # A callable key selects what it returns, as pandas does; resolve
            # it once here so the arrays are looked up under the real label.
            key = key(self)
        result = super().__getitem__(key)
        if not isinstance(result, pd.Series):
            return result
        n = len(result)
        hashable = _hashable_key(key)
        prov = self._col_prov.get(key) if hashable else None
        nodes = self._col_nodes.get(key) if hashable else None
        if prov is None:
            prov = np.zeros(n, dtype=np.uint32)
        elif len(prov) != n:
            prov = np.full(n, prov[0], dtype=np.uint32) if len(prov) else np.zeros(n, dtype=np.uint32)
        else:
            prov = np.array(prov, copy=True)
        if nodes is None:
            nodes = np.full(n, NO_NODE, dtype=np.int64)
        elif len(nodes) != n:
            nodes = (np.full(n, nodes[0], dtype=np.int64) if len(nodes)
                     else np.full(n, NO_NODE, dtype=np.int64))
        else:
            nodes = np.array(nodes, copy=True)
        # Nameless for the user; pandas' own methods (groupby, pivot,
        # explode, pop, ...) select columns here too and read the label
        # from the name, so they get it.
        name = (result.name if vortel32._called_by_pandas() or _rows_hooks.keeps_name(self)
                else None)
        return DAGTrackedSeries(result.values, index=result.index, name=name, _prov=prov,
                                _tracker=self._tracker, _node_ids=nodes)

    def __setitem__(self, key, value):
        """pandas assignment; a ``DAGTrackedSeries`` value also stores copies
        of its words and node ids for the column."""
        super().__setitem__(key, value)
        if _rows_hooks.follows(self._tracker) and _hashable_key(key):
            # Dictionaries of this frame's own (derived frames share the
            # source's), with the value's arrays re-laid on the frame's rows.
            col_prov, col_nodes = dict(self._col_prov), dict(self._col_nodes)
            arrays = _rows_hooks.assigned_arrays(self, key, value)
            if arrays is None:
                col_prov.pop(key, None)
                col_nodes.pop(key, None)
            else:
                col_prov[key], col_nodes[key] = arrays
            object.__setattr__(self, "_col_prov", col_prov)
            object.__setattr__(self, "_col_nodes", col_nodes)
        elif isinstance(value, DAGTrackedSeries):
            col_prov, col_nodes = self._col_prov, self._col_nodes
            if not isinstance(col_prov, dict):
                col_prov = dict(col_prov)
                object.__setattr__(self, "_col_prov", col_prov)
            if not isinstance(col_nodes, dict):
                col_nodes = dict(col_nodes)
                object.__setattr__(self, "_col_nodes", col_nodes)
            col_prov[key] = _copy_array(value._prov)
            col_nodes[key] = _copy_array(value._node_ids)

    def _merge_col_provenance(self, col_prov, col_nodes, result_columns, n, out_prov, out_nodes):
        """Carry one side's column words and nodes into a merge result: every
        row gets the column's first word advanced by MERGE and one "merge"
        node whose input is the column's first node.  Fills ``out_prov`` and
        ``out_nodes`` in place; a column already carried is left alone."""
        tracker = self._tracker
        for col, prov in col_prov.items():
            if col not in result_columns or col in out_prov:
                continue
            first = int(prov[0]) if len(prov) else 0
            merged = tracker.update_chain(first, OpCode.MERGE) if tracker else first
            out_prov[col] = np.full(n, merged, dtype=np.uint32)
            if tracker:
                src_nodes = col_nodes.get(col) if col in col_nodes else None
                src = int(src_nodes[0]) if src_nodes is not None and len(src_nodes) else NO_NODE
                if src >= 0:
                    merge_node = tracker.log_unary("merge", src, merged)
                    out_nodes[col] = np.full(n, merge_node, dtype=np.int64)

    def merge(self, right, *args, **kwargs):
        """pandas merge; carried columns get the merged word and a "merge"
        node per column and side (the left side wins a shared column).  A
        row-following tracker gives every output element its source
        element's word and a node of its own whose inputs are the elements
        it came from."""
        if _rows_hooks.follows(self._tracker):
            return _rows_hooks.merge_frames(_ROWS, self, right, args, kwargs)
        result = pd.DataFrame.merge(self, right, *args, **kwargs)
        merged_prov: dict = {}
        merged_nodes: dict = {}
        n = len(result)
        result_columns = set(result.columns)
        self._merge_col_provenance(self._col_prov, self._col_nodes, result_columns, n,
                                   merged_prov, merged_nodes)
        if isinstance(right, DAGTrackedDataFrame):
            self._merge_col_provenance(right._col_prov, right._col_nodes, result_columns, n,
                                       merged_prov, merged_nodes)
        return DAGTrackedDataFrame(result, _tracker=self._tracker, _col_prov=merged_prov,
                                   _col_nodes=merged_nodes)


_ROWS = _register_rows_family(DAGTrackedSeries, DAGTrackedDataFrame, lineage=True)


# -- wrap_dataframe_dag ----------------------------------------------------

_ENTITY_MOD = 1 << MODE_01_ENTITY_BITS


def _safe_label(label) -> bool:
    """Column labels for which ``row[label]`` is a plain label lookup."""
    if isinstance(label, (bool, np.bool_)):
        return False
    if isinstance(label, (str, int, np.integer)):
        return True
    if isinstance(label, (float, np.floating)):
        return label == label
    return False


def _row_values_by_column(df):
    """Per column, the values ``df.iloc[i][col]`` yields for every row i, as
    one indexable each, or None when they cannot be had without reading the
    rows one by one.

    A row of a frame whose columns share a numeric numpy dtype family is
    cast to the common dtype; a row of mixed columns is an object array
    holding each column's own element."""
    if len(df) == 0 or len(df.columns) == 0:
        return None
    dtypes = list(df.dtypes)
    row_dtype = df.iloc[0].dtype
    if all(isinstance(d, np.dtype) and d.kind in "biuf" for d in dtypes):
        if isinstance(row_dtype, np.dtype) and _numeric_values(np.empty(0, row_dtype)):
            return [df.iloc[:, j].to_numpy().astype(row_dtype, copy=False)
                    for j in range(len(dtypes))]
        if row_dtype != object:
            return None
    elif row_dtype != object:
        return None
    out = []
    for j, d in enumerate(dtypes):
        column = df.iloc[:, j]
        if isinstance(d, np.dtype) and d.kind in "biufO":
            out.append(column.to_numpy())
        elif isinstance(d, pd.StringDtype):
            out.append(column.array)
        else:
            return None
    return out


def _wrap_bulk_ok(tracker, df, include_entity) -> bool:
    names = _WRAP_METHODS + (("entity_from_row",) if include_entity else ())
    if not _stock_tracker(tracker, names):
        return False
    if include_entity and vortel32._hash_entity is not _STOCK_HASH_ENTITY:
        return False
    columns = df.columns
    if isinstance(columns, pd.MultiIndex) or not columns.is_unique:
        return False
    return all(_safe_label(c) for c in columns)


def _row_entities(index, include_entity) -> np.ndarray:
    """Entity byte of every row label, as the per-cell path computes it."""
    n = len(index)
    if not include_entity:
        return np.zeros(n, dtype=np.uint32)
    dtype = index.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "i":
        labels = index.to_numpy(dtype=np.int64)
    elif isinstance(dtype, np.dtype) and dtype.kind == "u":
        labels = index.to_numpy(dtype=np.uint64)
    else:
        # The labels as objects; each hashes like ``index[i]`` (numeric
        # scalars of any type hash by value).
        labels = index.tolist()
    return np.asarray(vortel32.hash_entities(labels), dtype=np.uint32)


def wrap_dataframe_dag(df, tracker, table, protected=False, include_entity=True):
    """Wrap a DataFrame for DAG-tracked provenance.

    Registers every column of ``df`` as a (``table``, column) source pair,
    creates one SOURCE node per column, gives every cell a source word
    (tainted in protected columns) and offers every cell value to the
    tracker's row-value recorder.  ``protected`` is a list, tuple or set of
    column names (compared by text) or any other value whose truth protects
    every column.

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), t, "t", ["a"])
    >>> f._col_nodes["b"].tolist(), t.get_node(0).is_protected
    ([1, 1], True)
    """
    check_exact(table, "table", str)
    result = DAGTrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    names = {str(c) for c in protected} if isinstance(protected, (list, tuple, set)) else None
    col_prov, col_nodes = result._col_prov, result._col_nodes
    if _wrap_bulk_ok(tracker, df, include_entity):
        try:
            entities = _row_entities(df.index, include_entity)
        except Exception:
            # A row label that cannot be hashed: the per-cell path below
            # fails at that very cell, after the cells before it.
            entities = None
        if entities is not None:
            _wrap_columns_bulk(df, tracker, table, protected, names, entities, col_prov, col_nodes)
            return result
    index = df.index
    for col in df.columns:
        name = str(col)
        flag = (name in names) if names is not None else protected
        pair_id = tracker.register(table, name, flag)
        is_protected = tracker.is_protected(table, name)
        prov_arr = np.zeros(n, dtype=np.uint32)
        node_arr = np.full(n, NO_NODE, dtype=np.int64)
        operation = table + "." + name
        for i in range(n):
            entity = tracker.entity_from_row(index[i]) if include_entity else 0
            entity = entity % _ENTITY_MOD
            prov = tracker.encode({pair_id}, entity=entity, chain=0, taint=is_protected, depth=0)
            prov_arr[i] = prov
            node_arr[i] = tracker.create_source_node(table, name, prov)
            try:
                raw_val = df.iloc[i][col]
                if isinstance(raw_val, float) and raw_val != raw_val:
                    continue
                tracker.record_row_value(i, int(prov), operation, raw_val, column_name=name)
            except Exception:
                pass
        col_prov[col] = prov_arr
        col_nodes[col] = node_arr
    return result


def _wrap_columns_bulk(df, tracker, table, protected, names, entities, col_prov, col_nodes):
    """``wrap_dataframe_dag`` for a stock tracker: one codec call per column
    for the words, one source node per column, and the row values.  Memory
    only, the records the recorder would keep are built at the end (also when
    a later column fails, so the recorded state matches the per-cell path);
    with a writer each column's records are handed over after its node."""
    n = len(df)
    pending = []  # (column position, words, operation, column name)
    # With a writer, each column's values are handed over right after its
    # source node is created, before the next column's: the per-cell path's
    # order of writer calls.
    live = tracker._writer is not None
    by_column = []  # the row values per column, read once when first needed
    try:
        for j, col in enumerate(df.columns):
            name = str(col)
            flag = (name in names) if names is not None else protected
            pair_id = tracker.register(table, name, flag)
            is_protected = tracker.is_protected(table, name)
            words = np.asarray(
                vortel32.encode_source_column(tracker._rust, pair_id, entities, bool(is_protected)),
                dtype=np.uint32)
            if n:
                source = tracker.create_source_node(table, name, int(words[0]))
                nodes = np.full(n, source, dtype=np.int64)
                pending.append((j, words, table + "." + name, name))
            else:
                nodes = np.full(0, NO_NODE, dtype=np.int64)
            col_prov[col] = words
            col_nodes[col] = nodes
            if live and pending:
                done, pending = pending, []
                _record_wrapped_values(df, tracker, done, by_column)
    finally:
        if pending:
            _record_wrapped_values(df, tracker, pending, by_column)


def _record_wrapped_values(df, tracker, pending, cache=None) -> None:
    """Row values of the wrapped columns, as the per-cell path offers them.
    ``cache`` (a list) keeps the frame's row values across calls."""
    if cache:
        by_column = cache[0]
    else:
        by_column = _row_values_by_column(df)
        if cache is not None:
            cache.append(by_column)
    if by_column is not None:
        groups = [_ValueGroup(by_column[j], words, operation, name, False)
                  for j, words, operation, name in pending]
        if _append_row_values(tracker, groups):
            return
    columns = df.columns
    for j, words, operation, name in pending:
        col = columns[j]
        for i in range(len(words)):
            try:
                raw_val = df.iloc[i][col]
                if isinstance(raw_val, float) and raw_val != raw_val:
                    continue
                tracker.record_row_value(i, int(words[i]), operation, raw_val, column_name=name)
            except Exception:
                pass


# ---------------------------------------------------------------------------
# DAG audits
# ---------------------------------------------------------------------------

_NO_SERIES = "No tracker or empty series"


def get_dag_for_series(series, row_index: int = 0):
    """The computation graph behind row position ``row_index`` of a
    DAG-tracked series (negative positions count from the end), or None when
    the series has no tracker or node ids, or that row has no node.

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "t")
    >>> get_dag_for_series(f["a"] * f["a"], -1).depth
    1
    """
    row_index = as_int(row_index, "row_index")
    tracker = getattr(series, "_tracker", None)
    if not tracker or not hasattr(series, "_node_ids"):
        return None
    node_ids = series._node_ids
    if row_index >= len(node_ids) or row_index < -len(node_ids):
        return None
    node_id = int(node_ids[row_index])
    if node_id < 0:
        return None
    return tracker.get_dag(node_id)


def word_report(tracker, word: int) -> dict:
    """The part of a ``dag_audit`` report that the provenance word alone
    gives: decoded fields, source columns, risk and protection.

    >>> t = DAGTracker(); pid = t.register("people", "age", True)
    >>> word_report(t, t.encode({pid}, taint=True))["columns"]
    [('people', 'age')]
    """
    info = tracker.decode_full(word)
    return {
        "provenance": f"0x{word:08X}",
        "mode": tracker.get_mode(word),
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(word),
        "tables": tracker.explain_tables(word),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(word),
        "has_protected": tracker.has_protected(word),
    }


def dag_audit(series, row_index: int = 0) -> dict:
    """Audit report of row position ``row_index``: the decoded word, its
    source columns and risk, and (when the row has a node) a summary of the
    graph behind it under "dag".

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "people", ["a"])
    >>> report = dag_audit(f["a"])
    >>> report["taint"], report["dag"]["sources"]
    (True, [('people', 'a')])
    """
    row_index = as_int(row_index, "row_index")
    tracker = getattr(series, "_tracker", None)
    if not tracker or len(series) == 0:
        return {"error": _NO_SERIES}
    word = int(series._prov[row_index])
    report = word_report(tracker, word)
    dag = get_dag_for_series(series, row_index)
    if dag is not None:
        report["dag"] = {
            "depth": dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": [(node.table, node.column) for node in dag.source_nodes],
            "protected_sources": [(node.table, node.column) for node in dag.protected_sources],
        }
    return report


def combine_provenances(tracker, node_ids, op_code=None) -> int:
    """One word for the nodes ``node_ids``: the first known node's word,
    combined in order with each further known node's word under ``op_code``
    (default ``OpCode.CUSTOM``).  Unknown or evicted ids are skipped; 0 when
    none is known.

    >>> t = DAGTracker()
    >>> combine_provenances(t, [0, 1])
    0
    """
    op_code = OpCode.CUSTOM if op_code is None else as_int(op_code, "op_code")
    result = 0
    for node_id in node_ids:
        node = tracker.get_node(node_id)
        if node is None:
            continue
        if result == 0:
            result = node.provenance
        else:
            result = tracker.combine(result, node.provenance, op_code)
    return result
