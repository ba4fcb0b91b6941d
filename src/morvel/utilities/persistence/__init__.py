"""Lineage persistence: records, an embedded SQLite store, a background
writer, an HTTP client and the lineage service.

Importing this package starts no thread and touches neither disk nor
network; connections are opened by the backends' ``connect`` methods.
"""
from .hosted import HostedStorage, HostedStorageError
from .storage import SQLiteStorage, StorageBackend, StorageError, StoredEdge, StoredNode, StoredRowValue
from .writer import AsyncWriter, WriterConfig

__all__ = [
    "AsyncWriter",
    "WriterConfig",
    "SQLiteStorage",
    "HostedStorage",
    "HostedStorageError",
    "StorageBackend",
    "StorageError",
    "StoredEdge",
    "StoredNode",
    "StoredRowValue",
]
