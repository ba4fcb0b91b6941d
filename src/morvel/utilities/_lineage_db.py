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

from morvel.utilities import jsonkit
from morvel.utilities._argcheck import check_exact, type_error

_SCHEMA = """
CREATE TABLE IF NOT EXISTS lineage_values (
    id          INTEGER PRIMARY KEY,
    store_id    INTEGER NOT NULL,
    output_no   INTEGER NOT NULL,
    column_name TEXT NOT NULL,
    row_count   INTEGER NOT NULL,
    row_labels  TEXT NOT NULL,
    node_ids    BLOB NOT NULL,
    words       BLOB NOT NULL,
    cell_values TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS lineage_values_column ON lineage_values (column_name);
"""


def _columns(frame: Any) -> list[tuple[str, Any]]:
    """(column name, tracked series) of an output frame or series."""
    if isinstance(frame, pd.DataFrame):
        return [(str(col), frame.iloc[:, j]) for j, col in enumerate(frame.columns)]
    if isinstance(frame, pd.Series):
        return [("" if frame.name is None else str(frame.name), frame)]
    raise type_error("values", "DataFrame or Series", frame)


def _cell(value: Any) -> Any:
    """A value JSON keeps as it is (numbers, text, None; NaN as None), else its text."""
    if isinstance(value, float) and value != value:
        return None
    if value is None or isinstance(value, (int, float, str)):
        return value
    return str(value)


def value_rows(store_id: int, outputs: list) -> list[tuple]:
    """The ``lineage_values`` rows of the output frames: one per column,
    holding its row labels (as text) and values as JSON lists and its node
    ids (int64) and words (uint32) as arrays, in row order."""
    rows: list[tuple] = []
    for k, frame in enumerate(outputs):
        for name, series in _columns(frame):
            nodes = np.asarray(getattr(series, "_node_ids", ()), dtype=np.int64)
            words = np.asarray(getattr(series, "_prov", ()), dtype=np.uint32)
            n = min(len(series), len(nodes), len(words))
            labels = series.index[:n].astype(str).tolist()
            raw = series.to_numpy()[:n]
            if raw.dtype.kind in "iub":
                values = raw.tolist()
            elif raw.dtype.kind == "f":
                # NaN has no JSON form: saved as null.
                values = np.asarray(np.where(np.isnan(raw), None, raw.astype(object))).tolist()
            else:
                values = [_cell(v) for v in raw.tolist()]
            rows.append((store_id, k, name, n, jsonkit.dumps(labels), nodes[:n].tobytes(),
                         words[:n].tobytes(), jsonkit.dumps(values)))
    return rows


def save_lineage(tracker: Any, storage: Any, name: str, outputs: list,
                 config: Optional[dict] = None) -> int:
    """Save a lineage tracker to an ``SQLiteStorage``; returns the pipeline id.

    A tracker whose nodes are in the columnar store writes every node in
    blocks, the output values and the per-word summary; one with the
    dictionary store writes the per-word summary only (as
    ``persist_to_storage``).  ``config`` is the configuration the pipeline
    record is created with (the row history's report sections)."""
    check_exact(name, "name", str)
    store = tracker._store
    if not getattr(store, "columnar_store", False):
        if config is None:
            return tracker.persist_to_storage(storage)
        return tracker.persist_to_storage(storage, int(storage.create_pipeline(name, config=config)))
    pipeline_id = int(storage.create_pipeline(name, config=config))
    store_id = store.columnar.save(storage, name, pipeline_id)
    rows = value_rows(store_id, outputs)
    with storage._lock:
        db = storage._db()
        with db:
            db.executescript(_SCHEMA)
        with db:
            db.executemany(
                "INSERT INTO lineage_values (store_id, output_no, column_name, row_count, row_labels, node_ids, "
                "words, cell_values) VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
    return tracker.persist_to_storage(storage, pipeline_id)


def find_value(conn: Any, column: str, row: str, pipeline_id: Optional[int] = None) -> Optional[tuple]:
    """(store id, node id, word, value) of the most recently saved value in
    column ``column`` at row label ``row`` (of pipeline ``pipeline_id`` when
    given; the last row with that label when a column repeats it), or None
    when no saved value with a node is there."""
    has = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'lineage_values'").fetchone()
    if has is None:
        return None
    sql = ("SELECT v.store_id, v.row_count, v.row_labels, v.node_ids, v.words, v.cell_values "
           "FROM lineage_values v JOIN lineage_stores s ON s.id = v.store_id WHERE v.column_name = ?")
    args: list = [column]
    if pipeline_id is not None:
        sql += " AND s.pipeline_id = ?"
        args.append(pipeline_id)
    for store_id, count, labels, nodes, words, values in conn.execute(
            sql + " ORDER BY v.store_id DESC, v.output_no DESC", args):
        labels, values = jsonkit.loads(labels), jsonkit.loads(values)
        node_ids = np.frombuffer(nodes, dtype=np.int64)
        word_arr = np.frombuffer(words, dtype=np.uint32)
        if not (len(labels) == len(values) == len(node_ids) == len(word_arr) == count):
            raise ValueError(f"saved values of column {column!r} in store {store_id} are inconsistent")
        hits = [i for i, label in enumerate(labels) if label == row and node_ids[i] >= 0]
        if hits:
            i = hits[-1]
            return store_id, int(node_ids[i]), int(word_arr[i]), values[i]
    return None
