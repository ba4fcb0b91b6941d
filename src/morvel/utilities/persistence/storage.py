"""Records handed to storage, the backend interface, and the SQLite backend.

The three records are plain slotted dataclasses: the lineage layer builds
one ``StoredRowValue`` per computed row value, so construction must stay as
cheap as a tuple.  Every backend (``SQLiteStorage`` here, ``HostedStorage``
over HTTP) implements :class:`StorageBackend`.

Importing this module touches neither disk nor network and starts no thread;
``sqlite3`` connections are opened by :meth:`SQLiteStorage.connect`.
"""
from __future__ import annotations

from dataclasses import KW_ONLY, dataclass
from typing import Any, Dict, Iterable, List, Mapping, Optional, Protocol, Sequence, Tuple, runtime_checkable

__all__ = [
    "StoredNode",
    "StoredEdge",
    "StoredRowValue",
    "StorageBackend",
    "StorageError",
    "ResolvedEdge",
    "ResultRow",
]


class StorageError(Exception):
    """A storage call that cannot succeed as asked (bad argument, unknown
    pipeline, rejected request).  ``status`` is an HTTP-like status code when
    one applies (400 bad input, 401/403 authorisation, 404 unknown), else
    None.  Retrying such an error does not help; connection problems are
    raised as ``OSError`` subclasses instead."""

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        self.status = status


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
