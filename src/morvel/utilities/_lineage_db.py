"""Saving a columnar lineage tracker to the embedded SQLite store, and
finding one saved value's lineage again.

A save writes, in one pass and without per-node interpreted code:
- the pipeline record and its registered sources;
- every node, in blocks (``ColumnarStore.save``: tables ``lineage_stores``
  and ``lineage_blocks``), so the graph of any value can be read back;
- the values of the output frames with their row labels, column names,
  words and node ids (table ``lineage_values``);
- the per-word summary the ``nodes`` and ``edges`` tables have always held
  (the first node of each word, the distinct edges between words).
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
import pandas as pd

from morvel.utilities._argcheck import check_exact, type_error

_SCHEMA = """
CREATE TABLE IF NOT EXISTS lineage_values (
    id          INTEGER PRIMARY KEY,
    store_id    INTEGER NOT NULL,
    output_no   INTEGER NOT NULL,
    column_name TEXT NOT NULL,
    row_label   TEXT NOT NULL,
    position    INTEGER NOT NULL,
    node_id     INTEGER NOT NULL,
    word        INTEGER NOT NULL,
    value
);
CREATE INDEX IF NOT EXISTS lineage_values_cell ON lineage_values (column_name, row_label);
"""


def _columns(frame: Any) -> list[tuple[str, Any]]:
    """(column name, tracked series) of an output frame or series."""
    if isinstance(frame, pd.DataFrame):
        return [(str(col), frame.iloc[:, j]) for j, col in enumerate(frame.columns)]
    if isinstance(frame, pd.Series):
        return [("" if frame.name is None else str(frame.name), frame)]
    raise type_error("values", "DataFrame or Series", frame)


def _cell(value: Any) -> Any:
    """A value SQLite stores as it is (numbers, text, None), else its text."""
    if value is None or isinstance(value, (int, float, str, bytes)):
        return value
    return str(value)


def value_rows(store_id: int, outputs: list) -> list[tuple]:
    """The ``lineage_values`` rows of the output frames: one per value that
    has a node."""
    rows: list[tuple] = []
    for k, frame in enumerate(outputs):
        for name, series in _columns(frame):
            nodes = np.asarray(getattr(series, "_node_ids", ()), dtype=np.int64)
            words = np.asarray(getattr(series, "_prov", ()), dtype=np.int64)
            n = min(len(series), len(nodes), len(words))
            labels = [str(x) for x in series.index[:n]]
            values = [_cell(v) for v in series.to_numpy()[:n].tolist()]
            keep = np.flatnonzero(nodes[:n] >= 0).tolist()
            node_l, word_l = nodes.tolist(), words.tolist()
            rows.extend((store_id, k, name, labels[i], i, node_l[i], word_l[i], values[i]) for i in keep)
    return rows


def save_lineage(tracker: Any, storage: Any, name: str, outputs: list) -> int:
    """Save a lineage tracker to an ``SQLiteStorage``; returns the pipeline id.

    A tracker whose nodes are in the columnar store writes every node in
    blocks, the output values and the per-word summary; one with the
    dictionary store writes the per-word summary only (as
    ``persist_to_storage``)."""
    check_exact(name, "name", str)
    store = tracker._store
    if not getattr(store, "columnar_store", False):
        return tracker.persist_to_storage(storage)
    pipeline_id = int(storage.create_pipeline(name))
    store_id = store.columnar.save(storage, name, pipeline_id)
    rows = value_rows(store_id, outputs)
    with storage._lock:
        db = storage._db()
        with db:
            db.executescript(_SCHEMA)
        with db:
            db.executemany(
                "INSERT INTO lineage_values (store_id, output_no, column_name, row_label, position, node_id, "
                "word, value) VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
    return tracker.persist_to_storage(storage, pipeline_id)


def find_value(conn: Any, column: str, row: str, pipeline_id: Optional[int] = None) -> Optional[tuple]:
    """(store id, node id, word, value) of the most recently saved value in
    column ``column`` at row label ``row`` (of pipeline ``pipeline_id`` when
    given), or None."""
    has = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'lineage_values'").fetchone()
    if has is None:
        return None
    sql = ("SELECT v.store_id, v.node_id, v.word, v.value FROM lineage_values v "
           "JOIN lineage_stores s ON s.id = v.store_id WHERE v.column_name = ? AND v.row_label = ?")
    args: list = [column, row]
    if pipeline_id is not None:
        sql += " AND s.pipeline_id = ?"
        args.append(pipeline_id)
    found = conn.execute(sql + " ORDER BY v.store_id DESC, v.output_no DESC, v.id DESC LIMIT 1",
                         args).fetchone()
    return None if found is None else tuple(found)
