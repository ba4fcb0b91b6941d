"""Live persistence of a DAG tracker: the background writer, the row-value
buffer, the flush cycle, bulk persistence to a storage backend and the
dashboard sync of the lineage service."""
from __future__ import annotations

import hashlib
import json
import logging
import urllib.parse
import urllib.request
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Literal, Optional

import numpy as np

from morvel.utilities import _hooks
from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities._dag.records import DAGNode
from morvel.utilities._dag.values import _buffer_records, _row_value_record
from morvel.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    StoredEdge,
    StoredNode,
    WriterConfig,
)

if TYPE_CHECKING:
    from morvel.utilities._dag.tracker import DAGTracker

logger = logging.getLogger("morvel.utilities.vortel32_dag")


class _LivePersistence:
    """Persistence and lifecycle methods of :class:`DAGTracker`."""

    # State of the tracker these methods work on (set by its __init__).
    _writer: Any
    _storage: Any
    _pipeline_id: Optional[int]
    _pipeline_name: Optional[str]
    _pipeline_failed: bool
    _api_key: Optional[str]
    _tenant_id: Optional[str]
    _service_url: str
    _dashboard_synced: bool
    _nodes_persisted: bool
    _nodes_written: int
    _edges_written: int
    _value_buffer: list
    _value_buffer_lock: Any
    _source_nodes: Dict[tuple, int]
    _store: Any
    _id_to_name: Dict[int, tuple]
    _name_to_id: Dict[tuple, int]

    if TYPE_CHECKING:
        def is_protected(self, table: str, column: Optional[str] = None) -> bool: ...

        def decode_full(self, provenance: int) -> Any: ...

    def enable_persistence(self) -> None:
        """Connect to the hosted service, open a pipeline record and start the
        background writer.  Any failure becomes a ``UserWarning`` and the
        tracker keeps working in memory only.  Already live, it does nothing:
        a second writer would leave the first one running and its pipeline
        open for good."""
        if self._writer is not None:
            return
        try:
            self._storage = HostedStorage(
                api_url=self._service_url,
                api_key=self._api_key,  # type: ignore[arg-type]  # checked by HostedStorage
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
        """Buffer a per-row value for later persistence."""
        # With a live writer, every ``_value_flush_threshold`` records are
        # handed over as one batch.  Without one the buffer keeps only the
        # most recent records (at most ``_value_flush_threshold``), so a
        # memory-only tracker does not grow without bound.
        row_index = as_int(row_index, "row_index")
        fingerprint = as_int(fingerprint, "fingerprint")
        if type(operation) is not str:
            raise type_error("operation", "str", operation)
        if column_name is not None and type(column_name) is not str:
            raise type_error("column_name", "str", column_name)
        record = _row_value_record(self, row_index, fingerprint, operation, value, column_name)
        with self._value_buffer_lock:
            _buffer_records(self, self._value_buffer, [record])

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
        node_count = self._nodes_written
        edge_count = self._edges_written
        name = self._pipeline_name or None
        # A run whose with-block raised is reported as failed, not completed.
        status = "failed" if self._pipeline_failed else "completed"
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
        store = self._store
        summary = getattr(store, "word_summary", None)
        # Every protected node has a protected word, so the first node of
        # each word names every protected source column.
        for node in (summary()[0] if summary is not None else store.snapshot()):
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
            with _hooks.dag("_sync_urlopen")(request, timeout=10) as response:
                response.read()
        except Exception as exc:
            logger.warning("Dashboard sync failed (non-fatal): %s", exc)

    def _persist_dag_to_storage(self) -> None:
        """Persist deduplicated nodes and edges to storage."""
        pipeline_id = self._pipeline_id
        if getattr(self._store, "columnar_store", False):
            self._nodes_written, self._edges_written = _persist_summary(
                self._storage, pipeline_id, self._store,
                lambda node: _stored_node(node, pipeline_id, self.decode_full(node.provenance)))
            return
        nodes = self._store.snapshot()
        records = [_stored_node(node, pipeline_id, self.decode_full(node.provenance))
                   for node in _first_per_fingerprint(nodes)]
        if records:
            self._storage.store_nodes(records)
            self._nodes_written = len(records)
        edges = _resolved_edges(self._storage, pipeline_id, nodes, self._store)
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
            stats["nodes_written"] = self._nodes_written
            stats["edges_written"] = self._edges_written
        return stats

    def persist_to_storage(self, storage: Any, pipeline_id: Optional[int] = None) -> int:
        """Write the deduplicated node store and its edges to ``storage`` and
        complete the pipeline; returns the pipeline id used (a new pipeline
        is created when ``pipeline_id`` is None)."""
        if pipeline_id is not None:
            pipeline_id = as_int(pipeline_id, "pipeline_id")
        if pipeline_id is None:
            pipeline_id = int(storage.create_pipeline(self._pipeline_name or "unnamed"))
        for pair_id, (table, column) in list(self._id_to_name.items()):
            storage.register_source(pair_id, table, column, is_protected=self.is_protected(table, column))
        if getattr(self._store, "columnar_store", False):
            _persist_summary(storage, pipeline_id, self._store, lambda node: _stored_node(node, pipeline_id))
            storage.complete_pipeline(pipeline_id, "completed")
            return pipeline_id
        nodes = self._store.snapshot()
        records = [_stored_node(node, pipeline_id) for node in _first_per_fingerprint(nodes)]
        storage.store_nodes(records)
        storage.store_edges_resolved(_resolved_edges(storage, pipeline_id, nodes, self._store))
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

    def __enter__(self) -> "DAGTracker":
        return self  # type: ignore[return-value]  # a DAGTracker, of which this is a part

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> Literal[False]:
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
        # Closing at collection is best effort: an interpreter shutting down
        # or a half-built tracker may fail here, and nothing can be raised.
        try:
            self.disable_persistence()
        except Exception as exc:
            logger.debug("closing a collected tracker failed: %s", exc)

    def _persist_node(self, node: DAGNode) -> None:
        """Hand one new node and its edges to the background writer."""
        record = _stored_node(node, self._pipeline_id, self.decode_full(node.provenance))
        try:
            self._writer.write_node(record)
        except Exception as exc:
            logger.warning("Failed to persist DAG node %d: %s", node.node_id, exc)
        edges = []
        stored = self._store
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


def _stored_node(node: DAGNode, pipeline_id: Any, info: Any = None) -> StoredNode:
    """The storage record of ``node`` under ``pipeline_id``; with the
    decoded word ``info`` it also carries the entity and chain hashes and
    the node's metadata (the live and flush-time forms), without them it is
    the plain form that bulk persistence writes."""
    if info is None:
        return StoredNode(
            fingerprint=node.provenance, node_type=node.node_type.name,
            operation=node.operation, table_name=node.table, column_name=node.column,
            pair_id=node.pair_id, is_protected=node.is_protected, pipeline_id=pipeline_id)
    return StoredNode(
        fingerprint=node.provenance, node_type=node.node_type.name, operation=node.operation,
        table_name=node.table, column_name=node.column, pair_id=node.pair_id,
        is_protected=node.is_protected, entity_hash=info.entity, chain_hash=info.chain,
        metadata=node.metadata, pipeline_id=pipeline_id)


def _first_per_fingerprint(nodes: List[DAGNode]) -> List[DAGNode]:
    """The first node of each distinct provenance word, in store order."""
    seen: Dict[int, DAGNode] = {}
    for node in nodes:
        if node.provenance not in seen:
            seen[node.provenance] = node
    return list(seen.values())


def _persist_summary(storage: Any, pipeline_id: Any, store: Any, record: Any) -> tuple:
    """Write the per-word summary of a columnar store (the first node of
    each word, the distinct word-to-word edges) computed in bulk; returns
    (nodes written, edges written)."""
    nodes, triples = store.word_summary()
    records = [record(node) for node in nodes]
    if records:
        storage.store_nodes(records)
    fmap = storage.get_fingerprint_node_map(pipeline_id)
    edges: list = []
    if len(triples) and fmap:
        # fingerprints to stored node ids, vectorised (sorted lookup)
        keys = np.fromiter(fmap.keys(), dtype=np.int64, count=len(fmap))
        ids = np.fromiter(fmap.values(), dtype=np.int64, count=len(fmap))
        order = np.argsort(keys)
        keys, ids = keys[order], ids[order]
        ends = []
        for column in (triples[:, 0], triples[:, 1]):
            at = np.minimum(np.searchsorted(keys, column), len(keys) - 1)
            ends.append((ids[at], keys[at] == column))
        known = ends[0][1] & ends[1][1]
        resolved = np.stack([ends[0][0][known], ends[1][0][known], triples[known, 2]], axis=1)
        bulk = getattr(storage, "store_pipeline_edges", None)
        if bulk is not None:
            bulk(pipeline_id, resolved)
            return len(records), len(resolved)
        edges = list(map(tuple, resolved.tolist()))
    if edges:
        storage.store_edges_resolved(edges)
    return len(records), len(edges)


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

