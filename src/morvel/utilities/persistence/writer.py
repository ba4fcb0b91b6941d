"""Background writer: queues lineage records and stores them in batches.

The pipeline's threads call ``write_node`` / ``write_edges`` /
``write_row_values`` / ``register_source``; each puts one item on a bounded
queue and returns.  One background thread takes items off the queue, groups
them into batches (by size and by age) and hands each batch to the storage
backend: sources, then nodes, then edges (resolved from fingerprints to the
backend's node ids once their nodes are stored), then row values.

Nothing is dropped silently.  When the queue is full the caller blocks until
there is room (back-pressure).  A failing backend call is retried with
exponential back-off (after one call has exhausted its retries, later calls
get a single try until the backend answers again, so a dead backend drains
the queue quickly instead of stalling the pipeline); all tries of one call
run in the backend's ``idempotency_scope`` when it has one, so a repeated
call is recognised as the same request; a batch rejected as bad input is split in halves so
that only the offending records are lost; whatever still fails is counted in
:meth:`AsyncWriter.get_stats` and logged at warning level.  The thread
survives every error.
"""
from __future__ import annotations

import atexit
import logging
import queue
import sqlite3
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from .._argcheck import as_int, type_error
from .storage import StorageError, StoredEdge, StoredNode, StoredRowValue

logger = logging.getLogger(__name__)

__all__ = ["WriterConfig", "AsyncWriter"]


@dataclass
class WriterConfig:
    """Settings of an :class:`AsyncWriter`.

    - ``batch_size``: records gathered before a batch is written;
    - ``flush_interval``: seconds the oldest gathered record may wait before
      a smaller batch is written anyway;
    - ``queue_size``: items the queue holds before ``write_*`` block (one
      node, one edge list or one row-value list is one item);
    - ``max_attempts``, ``retry_base_delay``, ``retry_max_delay``: a failing
      backend call is tried up to ``max_attempts`` times, waiting
      ``retry_base_delay * 2**k`` seconds (at most ``retry_max_delay``)
      before try ``k + 2``;
    - ``max_records_per_call``: the largest list handed to one backend call.
    """

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000
    max_attempts: int = 5
    retry_base_delay: float = 0.1
    retry_max_delay: float = 5.0
    max_records_per_call: int = 5000

    def __post_init__(self) -> None:
        for name in ("batch_size", "queue_size", "max_attempts", "max_records_per_call"):
            value = as_int(getattr(self, name), name)
            if value < 1:
                raise ValueError(f"{name} must be at least 1, got {value}")
            setattr(self, name, value)
        for name in ("flush_interval", "retry_base_delay", "retry_max_delay"):
            raw = getattr(self, name)
            if isinstance(raw, (str, bytes, bool)) or not isinstance(raw, (int, float)):
                raise type_error(name, "float", raw)
            seconds = float(raw)
            if not seconds >= 0.0 or seconds == float("inf"):
                raise ValueError(f"{name} must be a finite number of seconds >= 0, got {raw!r}")
            setattr(self, name, seconds)


# Queue item kinds.
_SOURCE, _NODE, _EDGES, _ROWS, _FLUSH, _STOP = "source", "node", "edges", "rows", "flush", "stop"

# Errors that say the records themselves are unacceptable: retrying the same
# call cannot help, but a smaller batch without the bad records can.
_DATA_ERRORS = (TypeError, ValueError, AttributeError, sqlite3.IntegrityError, sqlite3.InterfaceError, sqlite3.ProgrammingError)

# Upper bound on the writer's memory of stored nodes, edges and node ids;
# past it the memory is cleared (the backend deduplicates anyway).
_MEMORY_LIMIT = 2_000_000

_live_writers: "weakref.WeakSet[AsyncWriter]" = weakref.WeakSet()
_atexit_registered = False
_atexit_lock = threading.Lock()


def _stop_live_writers() -> None:
    for writer in list(_live_writers):
        try:
            writer.stop(timeout=10.0)
        except Exception:  # pragma: no cover - best effort at interpreter exit
            logger.warning("AsyncWriter could not be stopped at exit", exc_info=True)


def _retryable(exc: BaseException) -> bool:
    if isinstance(exc, StorageError):
        return exc.retryable
    return not isinstance(exc, _DATA_ERRORS)


def _splittable(exc: BaseException) -> bool:
    """True when a smaller list may succeed: some records are bad (400, data
    errors) or the list is too large (413)."""
    if isinstance(exc, StorageError):
        return exc.status in (400, 413) and not exc.retryable
    return isinstance(exc, _DATA_ERRORS)


# Extra backend calls one rejected list may spend on halving itself to find
# its bad records (a few bad records cost ~2*log2(n) calls each); past it the
# remaining pieces fail whole, so a list of nothing but bad records cannot
# turn into thousands of calls.
_SPLIT_BUDGET = 64


class _Batch:
    __slots__ = ("sources", "nodes", "edges", "rows", "records")

    def __init__(self) -> None:
        self.sources: List[Tuple[Any, ...]] = []
        self.nodes: List[StoredNode] = []
        self.edges: List[Tuple[Optional[int], Sequence[StoredEdge]]] = []
        self.rows: List[Sequence[StoredRowValue]] = []
        self.records = 0


class AsyncWriter:
    """Stores lineage records on a background thread.

    >>> from morvel.utilities.persistence import SQLiteStorage
    >>> store = SQLiteStorage(":memory:"); store.connect()
    >>> pid = store.create_pipeline("demo")
    >>> writer = AsyncWriter(store, WriterConfig(batch_size=10))
    >>> writer.start()
    >>> writer.write_node(StoredNode(fingerprint=1, node_type="SOURCE",
    ...     operation="t.a", table_name="t", column_name="a", pair_id=0,
    ...     is_protected=False, pipeline_id=pid))
    >>> writer.flush(timeout=10.0)
    True
    >>> writer.stop()
    True
    >>> writer.get_stats()["nodes_stored"]
    1
    """

    def __init__(self, storage: Any, config: Optional[WriterConfig] = None) -> None:
        if config is None:
            config = WriterConfig()
        elif not isinstance(config, WriterConfig):
            raise type_error("config", "WriterConfig", config)
        self.storage = storage
        self.config = config
        self._queue: "queue.Queue[Tuple[str, Any]]" = queue.Queue(maxsize=config.queue_size)
        self._thread: Optional[threading.Thread] = None
        self._running = False
        self._state_lock = threading.Lock()
        self._stats_lock = threading.Lock()
        self._last_pipeline: Optional[int] = None
        self._backend_down = False
        # (pipeline, fingerprint) -> backend node id, for resolving edges.
        self._node_ids: Dict[Tuple[int, int], int] = {}
        self._stored_nodes: set = set()
        self._stored_edges: set = set()
        self._stats: Dict[str, int] = dict.fromkeys(
            (
                "sources_queued", "nodes_queued", "edges_queued", "row_values_queued",
                "sources_registered", "nodes_stored", "edges_stored", "row_values_stored",
                "nodes_duplicate", "edges_duplicate", "edges_unresolved",
                "sources_failed", "nodes_failed", "edges_failed", "row_values_failed",
                "batches", "backend_calls", "retries", "failures",
            ),
            0,
        )

    # -- lifecycle -----------------------------------------------------------

    def start(self) -> None:
        """Start the background thread (a second call does nothing)."""
        global _atexit_registered
        with self._state_lock:
            if self._running:
                return
            if self._thread is not None:
                raise RuntimeError("AsyncWriter is still stopping; call stop() until it returns True")
            self._running = True
            self._thread = threading.Thread(target=self._run, name="morvel-async-writer", daemon=True)
            self._thread.start()
        with _atexit_lock:
            if not _atexit_registered:
                # A writer nobody stopped is drained at interpreter exit
                # instead of being cut off with its queue.
                atexit.register(_stop_live_writers)
                _atexit_registered = True
        _live_writers.add(self)

    def stop(self, timeout: Optional[float] = None) -> bool:
        """Write everything queued, then end the thread.  Returns True when
        the thread ended within ``timeout`` seconds (None waits as long as
        it takes); after False, calling ``stop`` again waits once more."""
        start = time.monotonic()
        # A producer waiting for room in a full queue holds the state lock;
        # waiting for it counts against the time-out as well.
        if not self._state_lock.acquire(timeout=-1 if timeout is None else timeout):
            return False
        try:
            thread = self._thread
            if thread is None:
                return True
            if self._running:
                try:
                    self._queue.put((_STOP, threading.Event()), timeout=self._left(timeout, start))
                except queue.Full:
                    return False
                self._running = False
        finally:
            self._state_lock.release()
        thread.join(self._left(timeout, start))
        if thread.is_alive():
            return False
        with self._state_lock:
            self._thread = None
        _live_writers.discard(self)
        self._drain_leftovers()
        return True

    @staticmethod
    def _left(timeout: Optional[float], start: float) -> Optional[float]:
        return None if timeout is None else max(0.0, timeout - (time.monotonic() - start))

    @property
    def running(self) -> bool:
        """True between :meth:`start` and :meth:`stop`."""
        return self._running

    # -- producers -----------------------------------------------------------

    def _put(self, item: Tuple[str, Any], stat: str, count: int) -> None:
        # Under the state lock, so that nothing can be queued behind the stop
        # marker: stop() takes the lock before putting it.
        with self._state_lock:
            if not self._running:
                raise RuntimeError("AsyncWriter is not running; call start() first")
            with self._stats_lock:
                self._stats[stat] += count
            self._queue.put(item)

    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool = False) -> None:
        """Queue the registration of source pair ``pair_id`` = (table, column)."""
        self._put((_SOURCE, (pair_id, table, column, bool(is_protected))), "sources_queued", 1)

    def write_node(self, node: StoredNode) -> None:
        """Queue one node.  Its ``pipeline_id`` also becomes the pipeline of
        edges queued after it without an explicit one."""
        pipeline = getattr(node, "pipeline_id", None)
        if pipeline is not None:
            self._last_pipeline = pipeline
        self._put((_NODE, node), "nodes_queued", 1)

    def write_edges(self, edges: Sequence[StoredEdge], pipeline_id: Optional[int] = None) -> None:
        """Queue edges named by fingerprints.  They belong to ``pipeline_id``,
        or to the pipeline of the last node queued before them; they are
        resolved to node ids once the nodes before them are stored."""
        if not edges:
            return
        pipeline = self._last_pipeline if pipeline_id is None else pipeline_id
        self._put((_EDGES, (pipeline, edges)), "edges_queued", len(edges))

    def write_row_values(self, values: Sequence[StoredRowValue]) -> None:
        """Queue a list of row values (the list is not copied: hand over a
        list you no longer change)."""
        if not values:
            return
        self._put((_ROWS, values), "row_values_queued", len(values))

    def flush(self, timeout: Optional[float] = None) -> bool:
        """Wait until everything queued before this call is written (or has
        failed for good).  Returns False when that did not happen within
        ``timeout`` seconds."""
        done = threading.Event()
        start = time.monotonic()
        if not self._state_lock.acquire(timeout=-1 if timeout is None else timeout):
            return False
        try:
            if not self._running:
                return self._queue.empty()
            try:
                self._queue.put((_FLUSH, done), timeout=self._left(timeout, start))
            except queue.Full:
                return False
        finally:
            self._state_lock.release()
        return done.wait(self._left(timeout, start))

    def get_stats(self) -> Dict[str, int]:
        """Counts of the writer's work.

        "queued" is the number of items waiting in the queue now; per kind
        (sources, nodes, edges, row_values) "<kind>_queued" counts records
        accepted, "<kind>_stored" (sources: "sources_registered") those the
        backend accepted, "<kind>_failed" those given up after the retries;
        "nodes_duplicate" / "edges_duplicate" count records not sent again
        because this writer already stored them, "edges_unresolved" edges
        whose fingerprints have no stored node in their pipeline.
        "retries" counts repeated backend calls, "failures" backend calls
        given up, "batches" batches written, "backend_calls" calls made.
        """
        with self._stats_lock:
            stats = dict(self._stats)
        stats["queued"] = self._queue.qsize()
        return stats

    def _count(self, key: str, n: int = 1) -> None:
        with self._stats_lock:
            self._stats[key] += n

    # -- the thread ----------------------------------------------------------

    def _run(self) -> None:
        batch = _Batch()
        deadline: Optional[float] = None
        interval = self.config.flush_interval
        while True:
            try:
                wait = None if deadline is None else max(0.0, deadline - time.monotonic())
                try:
                    kind, payload = self._queue.get(timeout=wait)
                except queue.Empty:
                    self._write(batch)
                    batch, deadline = _Batch(), None
                    continue
                if kind is _FLUSH or kind is _STOP:
                    try:
                        self._write(batch)
                    except Exception:  # whatever happened to the batch, the
                        # waiter is released and a stop marker ends the thread
                        logger.exception("AsyncWriter: unexpected error in the writer thread")
                    batch, deadline = _Batch(), None
                    payload.set()
                    if kind is _STOP:
                        return
                    continue
                self._add(batch, kind, payload)
                if deadline is None:
                    deadline = time.monotonic() + interval
                if batch.records >= self.config.batch_size:
                    self._write(batch)
                    batch, deadline = _Batch(), None
            except Exception:  # keep the thread alive whatever happens
                logger.exception("AsyncWriter: unexpected error in the writer thread")
                batch, deadline = _Batch(), None

    def _drain_leftovers(self) -> None:
        batch = _Batch()
        while True:
            try:
                kind, payload = self._queue.get_nowait()
            except queue.Empty:
                break
            if kind is _FLUSH or kind is _STOP:
                payload.set()
            else:
                self._add(batch, kind, payload)
        self._write(batch)

    @staticmethod
    def _add(batch: _Batch, kind: str, payload: Any) -> None:
        if kind is _NODE:
            batch.nodes.append(payload)
            batch.records += 1
        elif kind is _EDGES:
            batch.edges.append(payload)
            batch.records += len(payload[1])
        elif kind is _ROWS:
            batch.rows.append(payload)
            batch.records += len(payload)
        else:
            batch.sources.append(payload)
            batch.records += 1

    # Stats that settle a record of each kind one way or the other.
    _SETTLED = {
        "sources": ("sources_registered", "sources_failed"),
        "nodes": ("nodes_stored", "nodes_duplicate", "nodes_failed"),
        "edges": ("edges_stored", "edges_duplicate", "edges_unresolved", "edges_failed"),
        "row_values": ("row_values_stored", "row_values_failed"),
    }

    def _settled(self, kind: str) -> int:
        with self._stats_lock:
            return sum(self._stats[k] for k in self._SETTLED[kind])

    def _write(self, batch: _Batch) -> None:
        if not batch.records:
            return
        self._count("batches")
        # Each kind is written on its own, so that an unforeseen error in
        # one of them neither stops the others nor loses records silently.
        self._stage("sources", len(batch.sources), self._write_sources, batch.sources)
        self._stage("nodes", len(batch.nodes), self._write_nodes, batch.nodes)
        self._stage("edges", sum(len(edges) for _, edges in batch.edges), self._write_edges, batch.edges)
        self._stage("row_values", sum(len(values) for values in batch.rows), self._write_rows, batch.rows)

    def _stage(self, kind: str, expected: int, write: Callable[[Any], None], records: Any) -> None:
        if not expected:
            return
        before = self._settled(kind)
        try:
            write(records)
        except Exception as exc:  # noqa: BLE001 - counted and logged below
            # records neither stored nor counted when the error struck
            lost = expected - (self._settled(kind) - before)
            if lost > 0:
                self._count(kind + "_failed", lost)
            self._count("failures")
            logger.warning(
                "AsyncWriter: unexpected error while writing %s, %d record(s) not stored: %s: %s",
                kind, max(lost, 0), type(exc).__name__, exc, exc_info=True,
            )

    def _write_sources(self, sources: List[Tuple[Any, ...]]) -> None:
        for source in sources:
            failed = self._deliver("register_source", lambda recs: self.storage.register_source(*recs[0]), [source])
            self._count("sources_registered", 1 - failed)
            self._count("sources_failed", failed)

    def _write_rows(self, lists: List[Sequence[StoredRowValue]]) -> None:
        rows: List[StoredRowValue] = []
        for values in lists:
            rows.extend(values)
        for chunk in self._chunks(rows):
            failed = self._deliver("store_row_values", self.storage.store_row_values, chunk)
            self._count("row_values_stored", len(chunk) - failed)
            self._count("row_values_failed", failed)

    def _chunks(self, records: List[Any]) -> List[List[Any]]:
        size = self.config.max_records_per_call
        return [records[i : i + size] for i in range(0, len(records), size)]

    def _remember(self, memory: Any) -> None:
        if len(memory) > _MEMORY_LIMIT:
            memory.clear()

    def _write_nodes(self, nodes: List[StoredNode]) -> None:
        fresh: List[StoredNode] = []
        keys: Dict[int, Optional[Tuple[Any, Any]]] = {}
        seen = self._stored_nodes
        batch_keys = set()
        duplicates = 0
        for node in nodes:
            key: Optional[Tuple[Any, Any]] = (getattr(node, "pipeline_id", None), getattr(node, "fingerprint", None))
            try:
                known = key in seen or key in batch_keys
            except TypeError:  # unhashable fingerprint: let the backend judge it
                known, key = False, None  # None: a key that cannot be remembered
            else:
                batch_keys.add(key)
            if known:
                duplicates += 1
                continue
            keys[id(node)] = key
            fresh.append(node)
        if duplicates:
            self._count("nodes_duplicate", duplicates)
        for chunk in self._chunks(fresh):
            failed_records: List[StoredNode] = []
            failed = self._deliver("store_nodes", self.storage.store_nodes, chunk, failed_records)
            self._count("nodes_stored", len(chunk) - failed)
            self._count("nodes_failed", failed)
            self._remember(seen)
            bad = {id(n) for n in failed_records}
            seen.update(keys[id(n)] for n in chunk if id(n) not in bad and keys[id(n)] is not None)

    def _lookup(self, pipeline: int, fingerprints: set) -> bool:
        """Fill the node-id cache for ``fingerprints`` of ``pipeline``."""
        ids = self._node_ids
        self._remember(ids)
        targeted = getattr(self.storage, "get_node_ids", None)
        box: Dict[str, Any] = {}

        def call(_records: Any) -> None:
            if targeted is not None:
                box["map"] = targeted(pipeline, list(fingerprints))
            else:
                box["map"] = self.storage.get_fingerprint_node_map(pipeline)

        if self._deliver("node id lookup", call, [None], retry_only=True):
            return False
        for fp, node_id in dict(box["map"]).items():
            ids[(pipeline, int(fp))] = int(node_id)
        return True

    def _write_edges(self, groups: List[Tuple[Optional[int], Sequence[StoredEdge]]]) -> None:
        by_pipeline: Dict[Optional[int], List[StoredEdge]] = {}
        for pipeline, edges in groups:
            by_pipeline.setdefault(pipeline, []).extend(edges)
        ids = self._node_ids
        for pipeline, edges in by_pipeline.items():
            if pipeline is None:
                self._count("edges_unresolved", len(edges))
                logger.warning("AsyncWriter: %d edge(s) queued with no pipeline could not be stored", len(edges))
                continue
            named: List[Tuple[Any, Any, Any]] = []
            malformed = 0
            missing = set()
            for e in edges:
                try:
                    parent_fp, child_fp = e.parent_fingerprint, e.child_fingerprint
                    position = e.input_position
                    hash((parent_fp, child_fp, position))
                    for fp in (parent_fp, child_fp):
                        if (pipeline, fp) not in ids:
                            missing.add(fp)
                except (AttributeError, TypeError):
                    malformed += 1
                    continue
                named.append((parent_fp, child_fp, position))
            if malformed:
                self._count("edges_failed", malformed)
                self._count("failures")
                logger.warning("AsyncWriter: %d malformed edge record(s) not stored", malformed)
            if missing and not self._lookup(pipeline, missing):
                self._count("edges_failed", len(named))
                continue
            triples: List[Tuple[int, int, int]] = []
            batch_keys = set()
            unresolved = duplicates = 0
            for parent_fp, child_fp, position in named:
                parent = ids.get((pipeline, parent_fp))
                child = ids.get((pipeline, child_fp))
                if parent is None or child is None:
                    unresolved += 1
                    continue
                key = (parent, child, position)
                if key in self._stored_edges or key in batch_keys:
                    duplicates += 1
                    continue
                batch_keys.add(key)
                triples.append(key)
            if unresolved:
                self._count("edges_unresolved", unresolved)
                logger.debug("AsyncWriter: %d edge(s) of pipeline %s name unstored nodes", unresolved, pipeline)
            if duplicates:
                self._count("edges_duplicate", duplicates)
            for chunk in self._chunks(triples):
                failed_records: List[Tuple[int, int, int]] = []
                failed = self._deliver("store_edges_resolved", self.storage.store_edges_resolved, chunk, failed_records)
                self._count("edges_stored", len(chunk) - failed)
                self._count("edges_failed", failed)
                self._remember(self._stored_edges)
                bad = set(failed_records)
                self._stored_edges.update(k for k in chunk if k not in bad)

    # -- retries -------------------------------------------------------------

    def _deliver(
        self,
        what: str,
        call: Callable[[Any], Any],
        records: List[Any],
        failed_out: Optional[List[Any]] = None,
        retry_only: bool = False,
        budget: Optional[List[int]] = None,
    ) -> int:
        """Hand ``records`` to ``call`` with retries; return how many records
        could not be stored (appending them to ``failed_out``)."""
        exc = self._attempt(call, records)
        if exc is None:
            return 0
        if budget is None:
            budget = [_SPLIT_BUDGET]
        if _splittable(exc) and len(records) > 1 and not retry_only and budget[0] >= 2:
            # Bad input somewhere in the list: halve it so that only the
            # offending records are lost.
            budget[0] -= 2
            mid = len(records) // 2
            return self._deliver(what, call, records[:mid], failed_out, budget=budget) + self._deliver(
                what, call, records[mid:], failed_out, budget=budget
            )
        self._count("failures")
        logger.warning(
            "AsyncWriter: %s failed, %d record(s) not stored: %s: %s",
            what, len(records), type(exc).__name__, exc,
        )
        if failed_out is not None:
            failed_out.extend(records)
        return len(records)

    def _attempt(self, call: Callable[[Any], Any], records: List[Any]) -> Optional[BaseException]:
        # Every try of one list is the same request: a backend with
        # idempotency keys (HostedStorage) sends all of them under one key,
        # so a try that timed out while the service was still applying it is
        # answered from that first application instead of being applied again.
        scope = getattr(self.storage, "idempotency_scope", None)
        if scope is None:
            return self._tries(call, records)
        with scope():
            return self._tries(call, records)

    def _tries(self, call: Callable[[Any], Any], records: List[Any]) -> Optional[BaseException]:
        cfg = self.config
        # Once a call has used up its retries on an unavailable backend, the
        # following calls get one try each until one succeeds: draining a
        # full queue into a dead backend then takes one call per batch, not
        # max_attempts back-off sequences, so callers are not held up.
        attempts = 1 if self._backend_down else cfg.max_attempts
        last: Optional[BaseException] = None
        for attempt in range(attempts):
            if attempt:
                self._count("retries")
                time.sleep(min(cfg.retry_max_delay, cfg.retry_base_delay * (2 ** (attempt - 1))))
            self._count("backend_calls")
            try:
                call(records)
            except Exception as exc:  # noqa: BLE001 - any backend failure is handled here
                last = exc
                if not _retryable(exc):
                    return exc
                logger.debug("AsyncWriter: backend call failed (attempt %d): %s", attempt + 1, exc)
            else:
                if self._backend_down:
                    self._backend_down = False
                    logger.warning("AsyncWriter: backend available again; retrying failed calls as configured")
                return None
        if not self._backend_down:
            self._backend_down = True
            logger.warning("AsyncWriter: backend unavailable after %d attempts; one try per call until it answers",
                           attempts)
        return last
