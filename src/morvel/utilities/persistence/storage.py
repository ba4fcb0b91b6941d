"""Records handed to storage, the backend interface, and the SQLite backend.

The three records are plain slotted dataclasses: the lineage layer builds
one ``StoredRowValue`` per computed row value, so construction must stay as
cheap as a tuple.  Every backend (``SQLiteStorage`` here, ``HostedStorage``
over HTTP) implements :class:`StorageBackend`.

Importing this module touches neither disk nor network and starts no thread;
``sqlite3`` connections are opened by :meth:`SQLiteStorage.connect`.
"""
from __future__ import annotations

import json
import operator
import os
import sqlite3
import threading
from dataclasses import KW_ONLY, dataclass
from datetime import datetime, timezone
from typing import Any, Dict, Iterable, List, Mapping, Optional, Protocol, Sequence, Tuple, Union, runtime_checkable

__all__ = [
    "StoredNode",
    "StoredEdge",
    "StoredRowValue",
    "StorageBackend",
    "StorageError",
    "SQLiteStorage",
    "ResolvedEdge",
    "ResultRow",
]


class StorageError(Exception):
    """A storage call that cannot succeed as asked (bad argument, unknown
    pipeline, rejected request).  ``status`` is an HTTP-like status code when
    one applies (400 bad input, 401/403 authorisation, 404 unknown, 5xx
    service failure), else None."""

    def __init__(self, message: str, status: Optional[int] = None, retryable: bool = False) -> None:
        super().__init__(message)
        self.status = status
        #: True when the same call may succeed later (service unreachable or
        #: failing on its side); a writer retries only those.
        self.retryable = retryable


# ---------------------------------------------------------------------------
# Records
# ---------------------------------------------------------------------------


@dataclass(slots=True)
class StoredNode:
    """One DAG node as stored: identified inside a pipeline by its
    ``fingerprint`` (the node's provenance word).

    ``entity_hash``, ``chain_hash`` and ``metadata`` are optional; they and
    ``pipeline_id`` are keyword-only.

    >>> StoredNode(fingerprint=7, node_type="SOURCE", operation="t.c",
    ...            table_name="t", column_name="c", pair_id=0,
    ...            is_protected=False, pipeline_id=1).metadata is None
    True
    """

    fingerprint: int
    node_type: str
    operation: str
    table_name: Optional[str]
    column_name: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    _: KW_ONLY
    entity_hash: Optional[int] = None
    chain_hash: Optional[int] = None
    metadata: Optional[Dict[str, Any]] = None
    pipeline_id: Optional[int] = None


@dataclass(slots=True)
class StoredEdge:
    """One input link between two stored nodes, named by fingerprints;
    ``input_position`` is the parent's 0-based index among the child's
    inputs."""

    parent_fingerprint: int
    child_fingerprint: int
    input_position: int


@dataclass(slots=True)
class StoredRowValue:
    """The value one operation produced for one row.

    ``value`` holds a numeric result as float; a result that is not a
    number goes to ``text_value`` instead (both None for a missing value).
    """

    pipeline_id: int
    row_index: int
    fingerprint: int
    node_operation: str
    value: Optional[float]
    column_name: Optional[str]
    tenant_id: Optional[str]
    text_value: Optional[str] = None


#: (parent node id, child node id, input position), in the backend's node ids.
ResolvedEdge = Tuple[int, int, int]
#: (row key, output name, fingerprint, value or None, input hash or None).
ResultRow = Tuple[str, str, int, Optional[float], Optional[str]]


# ---------------------------------------------------------------------------
# Backend interface
# ---------------------------------------------------------------------------


@runtime_checkable
class StorageBackend(Protocol):
    """What the lineage layer and :class:`AsyncWriter` call on a backend."""

    def connect(self) -> None:
        """Open the connection (create the schema if needed)."""

    def disconnect(self) -> None:
        """Close the connection; calling it twice is harmless."""

    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Optional[Mapping[str, Any]] = None,
        git_commit: Optional[str] = None,
        tenant_id: Optional[str] = None,
    ) -> int:
        """Open a pipeline run with status "running"; return its integer id."""

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        """Close a pipeline run with ``status`` ("completed" or "failed")."""

    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool = False) -> None:
        """Record a (table, column) source pair under ``pair_id``."""

    def store_nodes(self, nodes: Sequence[StoredNode]) -> None:
        """Store nodes; a fingerprint already stored for the pipeline is kept."""

    def get_fingerprint_node_map(self, pipeline_id: int) -> Dict[int, int]:
        """Map every stored fingerprint of the pipeline to the backend's node id."""

    def store_edges_resolved(self, edges: Sequence[ResolvedEdge]) -> None:
        """Store edges given as (parent id, child id, position); duplicates are kept once."""

    def store_row_values(self, values: Sequence[StoredRowValue]) -> None:
        """Store per-row values."""

    def store_results(self, pipeline_id: int, rows: Sequence[ResultRow]) -> None:
        """Store per-row result fingerprints with their input hashes."""


# ---------------------------------------------------------------------------
# Value checks shared by the backends and the service
# ---------------------------------------------------------------------------


def _bad(message: str) -> StorageError:
    return StorageError(message, status=400)


_INT_MIN, _INT_MAX = -(2**63), 2**63 - 1


def _int(value: Any, what: str) -> int:
    if type(value) is int:
        if _INT_MIN <= value <= _INT_MAX:
            return value
        raise _bad(f"{what} is out of the 64-bit integer range")
    if isinstance(value, bool) or value is None or isinstance(value, (str, bytes, float)):
        # a float is taken only when it holds a whole number: a fractional id
        # or fingerprint is a bug upstream, and truncating it would store a
        # wrong link.
        if type(value) is float and value.is_integer():
            return _int(int(value), what)
        raise _bad(f"{what} must be an integer, got {type(value).__name__}")
    try:
        value = operator.index(value)
    except TypeError:
        raise _bad(f"{what} must be an integer, got {type(value).__name__}") from None
    return _int(value, what)


def _opt_int(value: Any, what: str) -> Optional[int]:
    return None if value is None else _int(value, what)


def _opt_text(value: Any, what: str) -> Optional[str]:
    if value is None or type(value) is str:
        return value
    if isinstance(value, str):
        return str(value)
    raise _bad(f"{what} must be text or null, got {type(value).__name__}")


def _text(value: Any, what: str) -> str:
    if type(value) is str:
        return value
    if isinstance(value, str):
        return str(value)
    raise _bad(f"{what} must be text, got {type(value).__name__}")


def _opt_float(value: Any, what: str) -> Optional[float]:
    if value is None:
        return None
    if type(value) is float:
        return value
    if isinstance(value, (str, bytes)):
        raise _bad(f"{what} must be a number or null, got {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        raise _bad(f"{what} must be a number or null, got {type(value).__name__}") from None


_HEX = frozenset("0123456789abcdefABCDEF")


def _opt_hash(value: Any, what: str) -> Optional[str]:
    if value is None:
        return None
    if type(value) is not str or len(value) != 64 or not _HEX.issuperset(value):
        raise _bad(f"{what} must be 64 hexadecimal digits or null")
    return value.lower()


_MAX_JSON_DEPTH = 64


def _jsonable(value: Any, depth: int = 0) -> Any:
    """A copy of ``value`` that ``json`` can write: keys become text, numpy
    values plain ones, non-finite floats and unknown objects their ``str``
    form."""
    if depth > _MAX_JSON_DEPTH:
        return str(value)
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if value == value and value not in (float("inf"), float("-inf")) else str(value)
    if isinstance(value, dict):
        return {str(k): _jsonable(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v, depth + 1) for v in value]
    if hasattr(value, "dtype") and callable(getattr(value, "tolist", None)):
        # numpy scalars and arrays: their plain Python values, so that a
        # numpy number stays a number
        try:
            plain = value.tolist()
        except Exception:  # noqa: BLE001 - fall back to the text form
            return str(value)
        if plain is not value:
            return _jsonable(plain, depth + 1)
    return str(value)


def metadata_to_json(metadata: Any) -> Optional[str]:
    """JSON text for a node's metadata, or None when there is none.

    Never fails: values ``json`` cannot write are stored as their ``str``.
    """
    if metadata is None:
        return None
    try:
        return json.dumps(metadata, allow_nan=False, separators=(",", ":"))
    except (TypeError, ValueError, RecursionError):
        return json.dumps(_jsonable(metadata), allow_nan=False, separators=(",", ":"))


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds")


_STATUSES = ("running", "completed", "failed")


# ---------------------------------------------------------------------------
# SQLite backend
# ---------------------------------------------------------------------------

_SCHEMA = """
CREATE TABLE IF NOT EXISTS pipelines (
    id           INTEGER PRIMARY KEY AUTOINCREMENT,
    name         TEXT NOT NULL,
    tenant_id    TEXT,
    status       TEXT NOT NULL DEFAULT 'running',
    config       TEXT,
    git_commit   TEXT,
    created_at   TEXT NOT NULL,
    completed_at TEXT
);
CREATE TABLE IF NOT EXISTS sources (
    id            INTEGER PRIMARY KEY,
    tenant_id     TEXT NOT NULL DEFAULT '',
    pipeline_id   INTEGER NOT NULL,
    pair_id       INTEGER NOT NULL,
    table_name    TEXT NOT NULL,
    column_name   TEXT NOT NULL,
    is_protected  INTEGER NOT NULL,
    registered_at TEXT NOT NULL,
    UNIQUE (tenant_id, pipeline_id, pair_id)
);
CREATE TABLE IF NOT EXISTS nodes (
    id           INTEGER PRIMARY KEY,
    pipeline_id  INTEGER NOT NULL,
    fingerprint  INTEGER NOT NULL,
    node_type    TEXT,
    operation    TEXT,
    table_name   TEXT,
    column_name  TEXT,
    pair_id      INTEGER,
    is_protected INTEGER NOT NULL,
    entity_hash  INTEGER,
    chain_hash   INTEGER,
    metadata     TEXT,
    created_at   TEXT NOT NULL,
    UNIQUE (pipeline_id, fingerprint)
);
CREATE TABLE IF NOT EXISTS edges (
    id          INTEGER PRIMARY KEY,
    pipeline_id INTEGER NOT NULL,
    parent_id   INTEGER NOT NULL,
    child_id    INTEGER NOT NULL,
    position    INTEGER NOT NULL,
    UNIQUE (pipeline_id, parent_id, child_id, position)
);
CREATE INDEX IF NOT EXISTS edges_child ON edges (child_id);
CREATE TABLE IF NOT EXISTS row_values (
    id             INTEGER PRIMARY KEY,
    pipeline_id    INTEGER NOT NULL,
    row_index      INTEGER NOT NULL,
    fingerprint    INTEGER NOT NULL,
    node_operation TEXT,
    value          REAL,
    column_name    TEXT,
    tenant_id      TEXT,
    text_value     TEXT
);
CREATE TABLE IF NOT EXISTS results (
    id          INTEGER PRIMARY KEY,
    pipeline_id INTEGER NOT NULL,
    row_key     TEXT NOT NULL,
    output_name TEXT NOT NULL,
    fingerprint INTEGER NOT NULL,
    value       REAL,
    input_hash  TEXT,
    stored_at   TEXT NOT NULL,
    UNIQUE (pipeline_id, row_key, output_name)
);
CREATE TABLE IF NOT EXISTS dashboard_syncs (
    id          INTEGER PRIMARY KEY,
    tenant_id   TEXT,
    body        TEXT NOT NULL,
    received_at TEXT NOT NULL
);
"""

#: Tables whose rows :meth:`SQLiteStorage.count_rows` reports.
TABLES = ("pipelines", "sources", "nodes", "edges", "row_values", "results", "dashboard_syncs")

_NODE_COLUMNS = (
    "id, pipeline_id, fingerprint, node_type, operation, table_name, column_name, "
    "pair_id, is_protected, entity_hash, chain_hash, metadata"
)

# SQLite's default limit on host parameters in one statement is 999 on old
# builds; lookups by many keys go in chunks below it.
_CHUNK = 900


def _node_dict(row: Sequence[Any]) -> Dict[str, Any]:
    meta = row[11]
    if meta is not None:
        try:
            meta = json.loads(meta)
        except ValueError:
            pass
    return {
        "node_id": row[0],
        "pipeline_id": row[1],
        "fingerprint": row[2],
        "node_type": row[3],
        "operation": row[4],
        "table_name": row[5],
        "column_name": row[6],
        "pair_id": row[7],
        "is_protected": bool(row[8]),
        "entity_hash": row[9],
        "chain_hash": row[10],
        "metadata": meta,
    }


class SQLiteStorage:
    """Embedded lineage store in one SQLite file (no server needed).

    The schema is created on :meth:`connect`; the database runs in WAL mode
    and every ``store_*`` call is one transaction.  Nodes are unique per
    (pipeline, fingerprint) and edges per (pipeline, parent, child,
    position): storing them again changes nothing.  One connection is shared
    by all threads behind a lock, so a background writer and the pipeline's
    own thread may use the same object.

    >>> s = SQLiteStorage(":memory:"); s.connect()
    >>> pid = s.create_pipeline("demo")
    >>> s.list_pipelines()[0]["status"]
    'running'
    >>> s.disconnect()
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], timeout: float = 30.0) -> None:
        self.path = os.fspath(path)
        self.timeout = float(timeout)
        self._conn: Optional[sqlite3.Connection] = None
        self._lock = threading.RLock()
        self._current_pipeline: Optional[int] = None

    # -- connection ----------------------------------------------------------

    def connect(self) -> None:
        """Open the database file (creating it and the schema if needed)."""
        with self._lock:
            if self._conn is not None:
                return
            conn = sqlite3.connect(self.path, timeout=self.timeout, check_same_thread=False)
            try:
                conn.execute("PRAGMA journal_mode=WAL")
                # WAL with synchronous=NORMAL cannot corrupt the file; at most
                # the last transactions are lost on power failure.
                conn.execute("PRAGMA synchronous=NORMAL")
                conn.execute("PRAGMA foreign_keys=OFF")
                with conn:
                    conn.executescript(_SCHEMA)
                    conn.execute("PRAGMA user_version=1")
            except Exception:
                conn.close()
                raise
            self._conn = conn

    def disconnect(self) -> None:
        """Close the database; calling it again is harmless."""
        with self._lock:
            if self._conn is not None:
                self._conn.close()
                self._conn = None

    def __enter__(self) -> "SQLiteStorage":
        self.connect()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.disconnect()

    def _db(self) -> sqlite3.Connection:
        if self._conn is None:
            raise StorageError("SQLiteStorage is not connected; call connect() first")
        return self._conn

    # -- pipelines -----------------------------------------------------------

    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Optional[Mapping[str, Any]] = None,
        git_commit: Optional[str] = None,
        tenant_id: Optional[str] = None,
    ) -> int:
        """Open a pipeline run (status "running") and return its id.

        The new pipeline becomes this object's current pipeline: sources
        registered afterwards without an explicit ``pipeline_id`` belong to it.
        """
        name = _text(pipeline_name, "pipeline_name")
        git_commit = _opt_text(git_commit, "git_commit")
        tenant_id = _opt_text(tenant_id, "tenant_id")
        config_text = metadata_to_json(config)
        with self._lock:
            db = self._db()
            with db:
                cur = db.execute(
                    "INSERT INTO pipelines (name, tenant_id, status, config, git_commit, created_at)"
                    " VALUES (?, ?, 'running', ?, ?, ?)",
                    (name, tenant_id, config_text, git_commit, _now()),
                )
            assert cur.lastrowid is not None  # set by every INSERT
            pipeline_id = int(cur.lastrowid)
            self._current_pipeline = pipeline_id
            return pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        """Set the pipeline's final ``status`` ("completed" or "failed") and
        its completion time.  A pipeline once marked "failed" stays failed
        (a later "completed" changes nothing).  Raises :class:`StorageError`
        (404) for an unknown pipeline and (400) for another status."""
        pipeline_id = _int(pipeline_id, "pipeline_id")
        status = _text(status, "status")
        if status not in ("completed", "failed"):
            raise _bad(f"status must be 'completed' or 'failed', got {status!r}")
        with self._lock:
            db = self._db()
            with db:
                cur = db.execute(
                    "UPDATE pipelines SET status = ?, completed_at = ? WHERE id = ? AND status != 'failed'",
                    (status, _now(), pipeline_id),
                )
                if cur.rowcount == 0 and db.execute(
                    "SELECT 1 FROM pipelines WHERE id = ?", (pipeline_id,)
                ).fetchone() is None:
                    raise StorageError(f"pipeline {pipeline_id} not found", status=404)

    def register_source(
        self,
        pair_id: int,
        table: str,
        column: str,
        is_protected: bool = False,
        *,
        pipeline_id: Optional[int] = None,
        tenant_id: Optional[str] = None,
    ) -> None:
        """Record source pair ``pair_id`` = (``table``, ``column``) for a
        pipeline: ``pipeline_id`` when given, else the pipeline this object
        created last (0 when it created none).  Registering the same pair for
        the same pipeline and tenant again updates it."""
        tenant = _opt_text(tenant_id, "tenant_id") or ""
        params = (
            _int(pair_id, "pair_id"),
            _text(table, "table"),
            _text(column, "column"),
            1 if is_protected else 0,
        )
        with self._lock:
            db = self._db()
            if pipeline_id is None:
                pipeline_id = self._current_pipeline or 0
            pid = _int(pipeline_id, "pipeline_id")
            with db:
                db.execute(
                    "INSERT INTO sources (tenant_id, pipeline_id, pair_id, table_name, column_name,"
                    " is_protected, registered_at) VALUES (?, ?, ?, ?, ?, ?, ?)"
                    " ON CONFLICT (tenant_id, pipeline_id, pair_id) DO UPDATE SET"
                    " table_name = excluded.table_name, column_name = excluded.column_name,"
                    " is_protected = excluded.is_protected",
                    (tenant, pid) + params + (_now(),),
                )

    # -- nodes and edges -----------------------------------------------------

    @staticmethod
    def node_params(node: StoredNode, created_at: str) -> Tuple[Any, ...]:
        """The checked column values of one node (raises StorageError 400)."""
        if node.pipeline_id is None:
            raise _bad("node has no pipeline_id")
        return (
            _int(node.pipeline_id, "pipeline_id"),
            _int(node.fingerprint, "fingerprint"),
            _opt_text(node.node_type, "node_type"),
            _opt_text(node.operation, "operation"),
            _opt_text(node.table_name, "table_name"),
            _opt_text(node.column_name, "column_name"),
            _opt_int(node.pair_id, "pair_id"),
            1 if node.is_protected else 0,
            _opt_int(node.entity_hash, "entity_hash"),
            _opt_int(node.chain_hash, "chain_hash"),
            metadata_to_json(node.metadata),
            created_at,
        )

    def store_nodes(self, nodes: Sequence[StoredNode]) -> None:
        """Store nodes in one transaction; a (pipeline, fingerprint) already
        stored keeps its first record and id."""
        created = _now()
        rows = [self.node_params(n, created) for n in nodes]
        if not rows:
            return
        with self._lock:
            db = self._db()
            with db:
                db.executemany(
                    "INSERT OR IGNORE INTO nodes (pipeline_id, fingerprint, node_type, operation,"
                    " table_name, column_name, pair_id, is_protected, entity_hash, chain_hash,"
                    " metadata, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    rows,
                )

    def get_fingerprint_node_map(self, pipeline_id: int) -> Dict[int, int]:
        """``{fingerprint: node id}`` for every node stored for the pipeline."""
        pipeline_id = _int(pipeline_id, "pipeline_id")
        with self._lock:
            rows = self._db().execute(
                "SELECT fingerprint, id FROM nodes WHERE pipeline_id = ?", (pipeline_id,)
            ).fetchall()
        return dict(rows)

    def get_node_ids(self, pipeline_id: int, fingerprints: Iterable[int]) -> Dict[int, int]:
        """``{fingerprint: node id}`` for those of ``fingerprints`` stored for
        the pipeline (a targeted form of :meth:`get_fingerprint_node_map`)."""
        pipeline_id = _int(pipeline_id, "pipeline_id")
        fps = list({_int(f, "fingerprint") for f in fingerprints})
        out: Dict[int, int] = {}
        with self._lock:
            db = self._db()
            for i in range(0, len(fps), _CHUNK):
                chunk = fps[i : i + _CHUNK]
                marks = ",".join("?" * len(chunk))
                out.update(
                    db.execute(
                        f"SELECT fingerprint, id FROM nodes WHERE pipeline_id = ? AND fingerprint IN ({marks})",
                        [pipeline_id, *chunk],
                    ).fetchall()
                )
        return out

    def store_edges_resolved(self, edges: Sequence[ResolvedEdge]) -> int:
        """Store edges given as (parent id, child id, input position) in one
        transaction and return how many were new.

        The pipeline of an edge is its parent node's; an edge whose parent
        or child is not a stored node, or whose two nodes belong to different
        pipelines, is skipped.  Storing an edge again changes nothing.
        """
        rows = []
        for k, edge in enumerate(edges):
            try:
                parent, child, position = edge
            except (TypeError, ValueError):
                raise _bad(f"edge {k} must be a (parent id, child id, position) triple") from None
            p = _int(parent, "parent id")
            c = _int(child, "child id")
            pos = _int(position, "input position")
            if pos < 0:
                raise _bad(f"edge {k}: input position must not be negative")
            rows.append((p, c, pos, c, p))
        if not rows:
            return 0
        with self._lock:
            db = self._db()
            with db:
                before = db.total_changes
                db.executemany(
                    "INSERT OR IGNORE INTO edges (pipeline_id, parent_id, child_id, position)"
                    " SELECT p.pipeline_id, ?, ?, ? FROM nodes p JOIN nodes c"
                    " ON c.id = ? AND c.pipeline_id = p.pipeline_id WHERE p.id = ?",
                    rows,
                )
                return db.total_changes - before

    def store_pipeline_edges(self, pipeline_id: int, edges: Any) -> int:
        """Store edges between nodes of one pipeline, given as an (n, 3)
        integer array of (parent id, child id, input position) whose ids
        come from :meth:`get_fingerprint_node_map` of that pipeline, in one
        transaction; returns how many were new.  The bulk form of
        :meth:`store_edges_resolved` for the per-word summary of a lineage
        pipeline (no per-edge lookups)."""
        import numpy as np  # the core's own dependency, imported on use: importing this module stays light

        pipeline_id = _int(pipeline_id, "pipeline_id")
        arr = np.asarray(edges, dtype=np.int64).reshape(-1, 3)
        if not len(arr):
            return 0
        if int(arr[:, 2].min()) < 0:
            raise _bad("input positions must not be negative")
        with self._lock:
            db = self._db()
            ids = arr[:, :2].ravel()
            lo, hi = int(ids.min()), int(ids.max())
            (inside,) = db.execute("SELECT count(*) FROM nodes WHERE pipeline_id = ? AND id BETWEEN ? AND ?",
                                   (pipeline_id, lo, hi)).fetchone()
            known = {r[0] for r in db.execute("SELECT id FROM nodes WHERE pipeline_id = ? AND id BETWEEN ? AND ?",
                                              (pipeline_id, lo, hi))} if inside < hi - lo + 1 else None
            if known is not None and not np.isin(ids, np.fromiter(known, dtype=np.int64, count=len(known))).all():
                raise _bad(f"every edge must join nodes of pipeline {pipeline_id}")
            # in key order: the unique index grows at its end instead of
            # taking each edge at a random place
            arr = arr[np.lexsort((arr[:, 2], arr[:, 1], arr[:, 0]))]
            with db:
                before = db.total_changes
                db.executemany(
                    "INSERT OR IGNORE INTO edges (pipeline_id, parent_id, child_id, position) VALUES (?, ?, ?, ?)",
                    ((pipeline_id, p, c, k) for p, c, k in arr.tolist()))
                return db.total_changes - before

    def node_pipelines(self, node_ids: Iterable[int]) -> Dict[int, int]:
        """``{node id: pipeline id}`` for those of ``node_ids`` that exist."""
        ids = list({_int(i, "node id") for i in node_ids})
        out: Dict[int, int] = {}
        with self._lock:
            db = self._db()
            for i in range(0, len(ids), _CHUNK):
                chunk = ids[i : i + _CHUNK]
                marks = ",".join("?" * len(chunk))
                out.update(db.execute(f"SELECT id, pipeline_id FROM nodes WHERE id IN ({marks})", chunk).fetchall())
        return out

    # -- row values and results ----------------------------------------------

    @staticmethod
    def row_value_params(v: StoredRowValue) -> Tuple[Any, ...]:
        """The checked column values of one row value (raises StorageError 400)."""
        return (
            _int(v.pipeline_id, "pipeline_id"),
            _int(v.row_index, "row_index"),
            _int(v.fingerprint, "fingerprint"),
            _opt_text(v.node_operation, "node_operation"),
            _opt_float(v.value, "value"),
            _opt_text(v.column_name, "column_name"),
            _opt_text(v.tenant_id, "tenant_id"),
            _opt_text(v.text_value, "text_value"),
        )

    def store_row_values(self, values: Sequence[StoredRowValue]) -> None:
        """Append per-row values in one transaction.  SQLite has no NaN: a
        NaN value is stored as NULL."""
        rows = [self.row_value_params(v) for v in values]
        if not rows:
            return
        with self._lock:
            db = self._db()
            with db:
                db.executemany(
                    "INSERT INTO row_values (pipeline_id, row_index, fingerprint, node_operation, value,"
                    " column_name, tenant_id, text_value) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    rows,
                )

    @staticmethod
    def result_params(pipeline_id: int, row: Sequence[Any], k: int = 0) -> Tuple[Any, ...]:
        """The checked column values of one result row (raises StorageError 400)."""
        try:
            key, name, fingerprint, value, input_hash = row
        except (TypeError, ValueError):
            raise _bad(f"result {k} must be a 5-tuple (row key, output, fingerprint, value, input hash)") from None
        return (
            pipeline_id,
            _text(key, "row key"),
            _text(name, "output name"),
            _int(fingerprint, "fingerprint"),
            _opt_float(value, "value"),
            _opt_hash(input_hash, "input hash"),
        )

    def store_results(self, pipeline_id: int, rows: Sequence[ResultRow]) -> None:
        """Store per-row result fingerprints with the SHA-256 of their input
        row in one transaction; storing the same (row key, output) again
        replaces the earlier result."""
        pipeline_id = _int(pipeline_id, "pipeline_id")
        stored = _now()
        params = [self.result_params(pipeline_id, r, k) + (stored,) for k, r in enumerate(rows)]
        if not params:
            return
        with self._lock:
            db = self._db()
            with db:
                db.executemany(
                    "INSERT OR REPLACE INTO results (pipeline_id, row_key, output_name, fingerprint, value,"
                    " input_hash, stored_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
                    params,
                )

    def store_dashboard_sync(self, body: Any, tenant_id: Optional[str] = None) -> int:
        """Keep one dashboard sync body (stored as JSON text); return its id."""
        text = metadata_to_json(body) or "null"
        with self._lock:
            db = self._db()
            with db:
                cur = db.execute(
                    "INSERT INTO dashboard_syncs (tenant_id, body, received_at) VALUES (?, ?, ?)",
                    (_opt_text(tenant_id, "tenant_id"), text, _now()),
                )
            assert cur.lastrowid is not None  # set by every INSERT
            return int(cur.lastrowid)

    # -- reading -------------------------------------------------------------

    def pipeline_tenants(self, pipeline_ids: Iterable[int]) -> Dict[int, Optional[str]]:
        """``{pipeline id: tenant id}`` for those of ``pipeline_ids`` that exist."""
        ids = list({_int(i, "pipeline_id") for i in pipeline_ids})
        out: Dict[int, Optional[str]] = {}
        with self._lock:
            db = self._db()
            for i in range(0, len(ids), _CHUNK):
                chunk = ids[i : i + _CHUNK]
                marks = ",".join("?" * len(chunk))
                out.update(db.execute(f"SELECT id, tenant_id FROM pipelines WHERE id IN ({marks})", chunk).fetchall())
        return out

    def list_pipelines(self, tenant_id: Optional[str] = None) -> List[Dict[str, Any]]:
        """One dictionary per pipeline, newest first, with the keys
        "pipeline_id", "name", "tenant_id", "status", "created_at",
        "completed_at", "git_commit", "node_count", "edge_count",
        "row_value_count", "result_count" and "protected_sources" (sorted
        "table.column" texts of the pipeline's protected sources, from its
        registered sources and its protected source nodes).

        With ``tenant_id`` only that tenant's pipelines are listed.
        """
        if tenant_id is None:
            return self._pipelines("", ())
        return self._pipelines("WHERE p.tenant_id = ?", (_text(tenant_id, "tenant_id"),))

    def _pipelines(self, where: str, args: Tuple[Any, ...]) -> List[Dict[str, Any]]:
        with self._lock:
            db = self._db()
            rows = db.execute(
                "SELECT p.id, p.name, p.tenant_id, p.status, p.created_at, p.completed_at, p.git_commit,"
                " (SELECT COUNT(*) FROM nodes n WHERE n.pipeline_id = p.id),"
                " (SELECT COUNT(*) FROM edges e WHERE e.pipeline_id = p.id),"
                " (SELECT COUNT(*) FROM row_values r WHERE r.pipeline_id = p.id),"
                " (SELECT COUNT(*) FROM results r WHERE r.pipeline_id = p.id)"
                f" FROM pipelines p {where} ORDER BY p.id DESC",
                args,
            ).fetchall()
            protected: Dict[int, set] = {}
            for pid, table, column in db.execute(
                "SELECT pipeline_id, table_name, column_name FROM sources WHERE is_protected = 1"
                " UNION SELECT pipeline_id, table_name, column_name FROM nodes"
                " WHERE is_protected = 1 AND node_type = 'SOURCE' AND table_name IS NOT NULL"
                " AND table_name != '' AND column_name IS NOT NULL"
            ):
                protected.setdefault(pid, set()).add(f"{table}.{column}")
        return [
            {
                "pipeline_id": r[0],
                "name": r[1],
                "tenant_id": r[2],
                "status": r[3],
                "created_at": r[4],
                "completed_at": r[5],
                "git_commit": r[6],
                "node_count": r[7],
                "edge_count": r[8],
                "row_value_count": r[9],
                "result_count": r[10],
                "protected_sources": sorted(protected.get(r[0], ())),
            }
            for r in rows
        ]

    def get_pipeline(self, pipeline_id: int) -> Optional[Dict[str, Any]]:
        """The :meth:`list_pipelines` entry of one pipeline, or None."""
        found = self._pipelines("WHERE p.id = ?", (_int(pipeline_id, "pipeline_id"),))
        return found[0] if found else None

    def pipeline_config(self, pipeline_id: int) -> Optional[Dict[str, Any]]:
        """The configuration a pipeline was created with (decoded JSON), or
        None when it has none, it is not a JSON object, or the pipeline does
        not exist."""
        with self._lock:
            row = self._db().execute("SELECT config FROM pipelines WHERE id = ?",
                                     (_int(pipeline_id, "pipeline_id"),)).fetchone()
        if row is None or row[0] is None:
            return None
        try:
            config = json.loads(row[0])
        except ValueError:
            return None
        return config if isinstance(config, dict) else None

    def pipeline_states(self, pipeline_ids: Iterable[int]) -> Dict[int, Tuple[Optional[str], str]]:
        """``{pipeline id: (tenant id, status)}`` for those of ``pipeline_ids``
        that exist."""
        ids = list({_int(i, "pipeline_id") for i in pipeline_ids})
        out: Dict[int, Tuple[Optional[str], str]] = {}
        with self._lock:
            db = self._db()
            for i in range(0, len(ids), _CHUNK):
                chunk = ids[i : i + _CHUNK]
                marks = ",".join("?" * len(chunk))
                for pid, tenant, status in db.execute(
                    f"SELECT id, tenant_id, status FROM pipelines WHERE id IN ({marks})", chunk
                ):
                    out[pid] = (tenant, status)
        return out

    def tenant_pipelines(self, tenant_id: str, include_untenanted: bool = False) -> List[Dict[str, Any]]:
        """:meth:`list_pipelines` of one tenant; with ``include_untenanted``
        also the pipelines stored without a tenant (written to the file
        directly rather than through the service)."""
        tenant = _text(tenant_id, "tenant_id")
        if include_untenanted:
            return self._pipelines("WHERE p.tenant_id = ? OR p.tenant_id IS NULL", (tenant,))
        return self._pipelines("WHERE p.tenant_id = ?", (tenant,))

    def column_fingerprints(self, pipeline_id: int) -> List[Tuple[str, str, int, int]]:
        """``(kind, column, fingerprint, rows)`` for every distinct fingerprint
        stored per output column of the pipeline's results (kind "result")
        and per column of its row values (kind "row value"; a value without a
        column is named by its operation in brackets, "(div)")."""
        pid = _int(pipeline_id, "pipeline_id")
        with self._lock:
            db = self._db()
            rows = db.execute(
                "SELECT 'result', output_name, fingerprint, COUNT(*) FROM results WHERE pipeline_id = ?"
                " GROUP BY output_name, fingerprint"
                " UNION ALL SELECT 'row value', COALESCE(column_name, '(' || node_operation || ')', ''), fingerprint,"
                " COUNT(*) FROM row_values WHERE pipeline_id = ? GROUP BY 2, fingerprint",
                (pid, pid),
            ).fetchall()
        return [(k, c, int(f), int(n)) for k, c, f, n in rows]

    def result_rows(self, pipeline_id: int, row_key: str) -> List[Dict[str, Any]]:
        """The stored results of one row key: dictionaries "output_name",
        "fingerprint", "value", "input_hash", ordered by output name."""
        pid = _int(pipeline_id, "pipeline_id")
        key = _text(row_key, "row key")
        with self._lock:
            rows = self._db().execute(
                "SELECT output_name, fingerprint, value, input_hash FROM results"
                " WHERE pipeline_id = ? AND row_key = ? ORDER BY output_name",
                (pid, key),
            ).fetchall()
        return [{"output_name": o, "fingerprint": f, "value": v, "input_hash": h} for o, f, v, h in rows]

    def dashboard_syncs(
        self, tenant_id: Optional[str], pipeline_id: Optional[int] = None, limit: int = 20
    ) -> List[Dict[str, Any]]:
        """The newest dashboard sync bodies of a tenant (None: those stored
        without one), newest first; with ``pipeline_id`` only those whose
        ``pipeline.provenance_pipeline_id`` names it.  Dictionaries
        "sync_id", "received_at" and "body" (decoded JSON)."""
        tenant = _opt_text(tenant_id, "tenant_id")
        where = "tenant_id IS ?"
        args: List[Any] = [tenant]
        if pipeline_id is not None:
            where += " AND json_valid(body) AND json_extract(body, '$.pipeline.provenance_pipeline_id') = ?"
            args.append(_int(pipeline_id, "pipeline_id"))
        with self._lock:
            rows = self._db().execute(
                f"SELECT id, received_at, body FROM dashboard_syncs WHERE {where} ORDER BY id DESC LIMIT ?",
                (*args, int(limit)),
            ).fetchall()
        out = []
        for sid, received, body in rows:
            try:
                decoded = json.loads(body)
            except ValueError:
                decoded = None
            out.append({"sync_id": sid, "received_at": received, "body": decoded})
        return out

    def pipeline_graph(self, pipeline_id: int, fingerprint: int) -> Dict[str, Any]:
        """The stored derivation of one value: the node of ``pipeline_id``
        with ``fingerprint`` and every node upstream of it.

        Returns ``{"pipeline_id", "root", "nodes", "edges"}``: ``root`` is the
        node id of the fingerprint's node; ``nodes`` are dictionaries with the
        keys "node_id", "pipeline_id", "fingerprint", "node_type",
        "operation", "table_name", "column_name", "pair_id", "is_protected",
        "entity_hash", "chain_hash", "metadata" (decoded JSON), ordered by
        node id; ``edges`` are dictionaries "parent_id", "child_id",
        "position", ordered by child, position and parent.  Raises
        ``KeyError`` when the pipeline has no node with that fingerprint.
        """
        pipeline_id = _int(pipeline_id, "pipeline_id")
        fingerprint = _int(fingerprint, "fingerprint")
        with self._lock:
            db = self._db()
            root = db.execute(
                "SELECT id FROM nodes WHERE pipeline_id = ? AND fingerprint = ?", (pipeline_id, fingerprint)
            ).fetchone()
            if root is None:
                raise KeyError(f"pipeline {pipeline_id} has no node with fingerprint {fingerprint}")
            edge_rows = db.execute(
                "WITH RECURSIVE up(id) AS (SELECT ? UNION SELECT e.parent_id FROM edges e JOIN up"
                " ON e.child_id = up.id WHERE e.pipeline_id = ?)"
                " SELECT e.parent_id, e.child_id, e.position FROM edges e"
                " WHERE e.pipeline_id = ? AND e.child_id IN (SELECT id FROM up)"
                " ORDER BY e.child_id, e.position, e.parent_id",
                (root[0], pipeline_id, pipeline_id),
            ).fetchall()
            ids = {root[0]} | {p for p, _, _ in edge_rows}
            id_list = sorted(ids)
            node_rows: List[Any] = []
            for i in range(0, len(id_list), _CHUNK):
                chunk = id_list[i : i + _CHUNK]
                marks = ",".join("?" * len(chunk))
                node_rows.extend(db.execute(f"SELECT {_NODE_COLUMNS} FROM nodes WHERE id IN ({marks})", chunk))
        node_rows.sort(key=lambda r: r[0])
        return {
            "pipeline_id": pipeline_id,
            "root": root[0],
            "nodes": [_node_dict(r) for r in node_rows],
            "edges": [{"parent_id": p, "child_id": c, "position": pos} for p, c, pos in edge_rows],
        }

    def pipeline_lineage(self, pipeline_id: int) -> Dict[str, Any]:
        """Everything stored about one pipeline's lineage, for exports.

        Returns ``{"pipeline", "sources", "nodes", "edges", "outputs"}``:
        ``pipeline`` is the :meth:`get_pipeline` entry; ``sources`` the
        registered sources ("pair_id", "table_name", "column_name",
        "is_protected") in pair order; ``nodes`` and ``edges`` the whole
        stored graph in the shapes of :meth:`pipeline_graph`, by node id and
        by (child, position, parent); ``outputs`` maps every result output
        name to the sorted distinct fingerprints stored for it.  Raises
        ``KeyError`` for an unknown pipeline.
        """
        pipeline = self.get_pipeline(pipeline_id)
        if pipeline is None:
            raise KeyError(f"pipeline {pipeline_id} not found")
        pid = pipeline["pipeline_id"]
        with self._lock:
            db = self._db()
            sources = db.execute(
                "SELECT pair_id, table_name, column_name, is_protected FROM sources"
                " WHERE pipeline_id = ? ORDER BY pair_id, tenant_id",
                (pid,),
            ).fetchall()
            node_rows = db.execute(
                f"SELECT {_NODE_COLUMNS} FROM nodes WHERE pipeline_id = ? ORDER BY id", (pid,)
            ).fetchall()
            edge_rows = db.execute(
                "SELECT parent_id, child_id, position FROM edges WHERE pipeline_id = ?"
                " ORDER BY child_id, position, parent_id",
                (pid,),
            ).fetchall()
            output_rows = db.execute(
                "SELECT DISTINCT output_name, fingerprint FROM results WHERE pipeline_id = ?"
                " ORDER BY output_name, fingerprint",
                (pid,),
            ).fetchall()
        seen_pairs: set = set()
        source_list = []
        for pair_id, table, column, protected in sources:
            if pair_id in seen_pairs:  # one row per tenant: the pair is the same source
                continue
            seen_pairs.add(pair_id)
            source_list.append({"pair_id": pair_id, "table_name": table, "column_name": column,
                                "is_protected": bool(protected)})
        outputs: Dict[str, List[int]] = {}
        for name, fingerprint in output_rows:
            outputs.setdefault(name, []).append(fingerprint)
        return {
            "pipeline": pipeline,
            "sources": source_list,
            "nodes": [_node_dict(r) for r in node_rows],
            "edges": [{"parent_id": p, "child_id": c, "position": pos} for p, c, pos in edge_rows],
            "outputs": outputs,
        }

    def count_rows(self, pipeline_id: Optional[int] = None) -> Dict[str, int]:
        """Row count of every table (``TABLES``); with ``pipeline_id`` only
        that pipeline's rows (``dashboard_syncs`` then counts 0)."""
        out: Dict[str, int] = {}
        with self._lock:
            db = self._db()
            for table in TABLES:
                if pipeline_id is None:
                    (n,) = db.execute(f"SELECT COUNT(*) FROM {table}").fetchone()
                elif table == "dashboard_syncs":
                    n = 0
                else:
                    column = "id" if table == "pipelines" else "pipeline_id"
                    (n,) = db.execute(f"SELECT COUNT(*) FROM {table} WHERE {column} = ?", (pipeline_id,)).fetchone()
                out[table] = n
        return out
