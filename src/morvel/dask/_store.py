"""Per-row result fingerprints and the lineage summary, written by the workers.

Each partition task opens its own connection to the store (the embedded
SQLite file, or the lineage service through ``HostedStorage``), writes its
rows and closes it; nothing but one count per partition comes back to the
client.  SQLite serialises writers itself: with WAL a writer waits up to the
storage's timeout for the file lock, and a task that still finds the file
locked retries with a growing pause.
"""
from __future__ import annotations

import hashlib
import sqlite3
import time
from collections.abc import Callable, Hashable
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from morvel.dask import _rules as rules
from morvel.dask._frame import TrackedDaskFrame, word_column
from morvel.dask._registry import WordRegistry
from morvel.utilities._argcheck import as_int, check_exact, type_error

_LOCK_RETRIES = 8


def _factory(storage: Any) -> Callable[[], Any]:
    """A picklable way to open ``storage`` again in a worker process."""
    from morvel.utilities.persistence.hosted import HostedStorage
    from morvel.utilities.persistence.storage import SQLiteStorage

    if isinstance(storage, SQLiteStorage):
        if storage.path in ("", ":memory:") or storage.path.startswith("file::memory:"):
            raise ValueError("an in-memory SQLite store cannot be shared with Dask workers; "
                             "give SQLiteStorage a file path")
        return partial(SQLiteStorage, storage.path, storage.timeout)
    if isinstance(storage, HostedStorage):
        return partial(HostedStorage, storage.api_url, storage.api_key, storage.tenant_id,
                       storage.timeout, storage.max_attempts, storage.retry_base_delay)
    if callable(storage):
        return storage
    raise type_error("storage", "SQLiteStorage, HostedStorage or a factory", storage)


def _with_retries(call: Callable[[], None]) -> None:
    for attempt in range(_LOCK_RETRIES):
        try:
            call()
            return
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc) and "busy" not in str(exc):
                raise
            if attempt == _LOCK_RETRIES - 1:
                raise
            time.sleep(0.05 * 2 ** attempt)


def _row_hashes(pdf: pd.DataFrame, columns: list[Hashable]) -> list[str]:
    """SHA-256 of each row's JSON text over ``columns`` (the text a row
    Series gives with ``to_json``)."""
    if not len(pdf):
        return []
    text = pdf[columns].to_json(orient="records", lines=True)
    return [hashlib.sha256(line.encode("utf-8")).hexdigest() for line in text.splitlines()]


def _plain_value(x: Any) -> float | None:
    if isinstance(x, (bool, np.bool_, int, np.integer, float, np.floating)):
        value = float(x)
        return None if np.isnan(value) else value
    return None


def _write_part(pdf: pd.DataFrame, factory: Callable[[], Any], pipeline_id: int,
                outputs: list[Hashable], key: Hashable | None, hash_columns: list[Hashable] | None,
                registry: WordRegistry) -> pd.DataFrame:
    from morvel.utilities.persistence.storage import StoredNode

    keys = (pdf[key] if key is not None else pdf.index.to_series()).astype(str).tolist()
    hashes: list[Any] = _row_hashes(pdf, hash_columns) if hash_columns else [None] * len(pdf)
    codec = registry.codec()
    results = []
    nodes: dict[int, StoredNode] = {}
    for out in outputs:
        words = rules.as_words(pdf[word_column(out)])
        values = pdf[out].tolist()
        for k, w, v, h in zip(keys, words.tolist(), values, hashes, strict=True):
            results.append((k, str(out), w, _plain_value(v), h))
        for w in np.unique(words).tolist():
            if w in nodes:
                continue
            info = codec.decode_full(w)
            sources = [list(registry.pairs[i]) for i in info["pairs"] if i < len(registry.pairs)]
            nodes[w] = StoredNode(
                fingerprint=w, node_type="RESULT", operation=str(out), table_name=None,
                column_name=str(out), pair_id=None, is_protected=bool(info["taint"]),
                entity_hash=info["entity"], chain_hash=info["chain"],
                metadata={"sources": sources, "depth": info["depth"], "mode": info["mode"]},
                pipeline_id=pipeline_id)
    storage = factory()
    storage.connect()
    try:
        if nodes:
            _with_retries(lambda: storage.store_nodes(list(nodes.values())))
        if results:
            _with_retries(lambda: storage.store_results(pipeline_id, results))
    finally:
        storage.disconnect()
    return pd.DataFrame({"rows": [len(results)]})


def persist_results(frame: TrackedDaskFrame, storage: Any, pipeline_id: int,
                    outputs: list[Hashable], key: Hashable | None = None,
                    hash_columns: list[Hashable] | None = None, **compute_kwargs: Any) -> int:
    """Write per-row result fingerprints of ``outputs`` from the workers.

    For every row and output column the store gets (row key, output name,
    the word as fingerprint, the value when numeric, the SHA-256 of the
    row's JSON over ``hash_columns`` or None), and the lineage summary: one
    ``RESULT`` node per distinct output word, with its source pairs, depth,
    entity and chain.  The sources of the pipeline are registered from the
    client.  ``storage`` is a ``SQLiteStorage`` (a file), a
    ``HostedStorage``, or a factory returning a storage backend; each
    partition task opens its own connection.  Returns the number of result
    rows written.
    """
    if not isinstance(frame, TrackedDaskFrame):
        raise type_error("frame", "TrackedDaskFrame", frame)
    pipeline_id = as_int(pipeline_id, "pipeline_id")
    check_exact(outputs, "outputs", list)
    check_exact(hash_columns, "hash_columns", list, allow_none=True)
    for col in [*outputs, *(hash_columns or []), *([key] if key is not None else [])]:
        if col not in frame.columns:
            raise KeyError(col)
    factory = _factory(storage)
    tracker = frame.pipeline.tracker
    client_storage = factory()
    client_storage.connect()
    try:
        for pid in range(tracker._next_id):
            table, column = tracker._id_to_name[pid]
            client_storage.register_source(pid, table, column, tracker.is_protected(table, column),
                                           pipeline_id=pipeline_id)
    finally:
        client_storage.disconnect()
    registry = frame._registry()
    cols = list(dict.fromkeys([*outputs, *(hash_columns or []), *([key] if key is not None else [])]))
    ddf = frame._ddf[[*cols, *(word_column(c) for c in outputs)]]
    counts = ddf.map_partitions(_write_part, factory, pipeline_id, outputs, key, hash_columns,
                                registry, meta=pd.DataFrame({"rows": np.array([], dtype=np.int64)}))
    return int(counts["rows"].sum().compute(**compute_kwargs))
