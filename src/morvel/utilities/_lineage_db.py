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
    cell_values TEXT NOT NULL,
    first_row   INTEGER NOT NULL DEFAULT 0
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


# Saved row labels and cell values are JSON text (any labels and values,
# the only form of older files) or, for numeric arrays, a BLOB: this tag,
# the numpy type in 4 characters, then the raw little-endian array.  The
# numeric form is written without per-value interpreted code.
_BINARY_TAG = b"MV1"
_BINARY_TYPES = frozenset({"<f8", "<f4", "<i8", "<i4", "<i2", "|i1", "<u8", "<u4", "<u2", "|u1", "|b1"})
_UINT32_MAX = 2**32 - 1


def encode_array(arr: np.ndarray) -> bytes | None:
    """The BLOB form of a numeric array, or None for other kinds."""
    if arr.dtype.kind not in "iubf":
        return None
    arr = np.ascontiguousarray(arr, dtype=arr.dtype.newbyteorder("<"))
    code = arr.dtype.str
    if code not in _BINARY_TYPES:
        return None
    return _BINARY_TAG + code.ljust(4).encode("ascii") + arr.tobytes()


def decode_array(data: Any) -> list:
    """Saved labels or values as a list: JSON text as it is read, a
    numeric BLOB with NaN as None (as the JSON form keeps it)."""
    if isinstance(data, str):
        out = jsonkit.loads(data)
        if not isinstance(out, list):
            raise ValueError("saved labels or values are not a list")
        return out
    data = bytes(data)
    code = data[3:7].decode("ascii", "replace").strip()
    if data[:3] != _BINARY_TAG or code not in _BINARY_TYPES:
        raise ValueError("saved labels or values are in an unknown form")
    dtype = np.dtype(code)
    if (len(data) - 7) % dtype.itemsize:
        raise ValueError("saved labels or values are truncated")
    arr = np.frombuffer(data, dtype=dtype, offset=7)
    if dtype.kind == "f":
        return _with_none(arr.astype(object), np.isnan(arr))
    return arr.tolist()


def _with_none(items: np.ndarray, missing: np.ndarray) -> list:
    """``items`` (an object array) as a list with None where ``missing``."""
    if missing.any():
        items = items.copy()
        items[missing] = None
    return items.tolist()


#: Row labels of a column equal to those of the output's first column in
#: the same chunk (every column of a frame has the frame's labels).
SAME_LABELS = _BINARY_TAG + b"="
# Node ids that never decrease (and have no -1), as the first id and the
# 32-bit steps; other ids are kept as raw int64 (the lengths never agree:
# 11 + 4n bytes against 8n).
_NODE_STEPS = _BINARY_TAG + b"d<u4"


def encode_node_ids(nodes: np.ndarray) -> bytes:
    """The saved form of a column's node ids (int64)."""
    if len(nodes) and nodes[0] >= 0:
        steps = np.diff(nodes)
        if not len(steps) or (steps.min() >= 0 and steps.max() <= _UINT32_MAX):
            return _NODE_STEPS + nodes[:1].astype("<i8").tobytes() + steps.astype("<u4").tobytes()
    return nodes.astype("<i8").tobytes()


def decode_node_ids(data: Any, count: int) -> np.ndarray:
    """Node ids (int64) of a saved column of ``count`` rows."""
    data = bytes(data)
    if len(data) == 8 * count:
        return np.frombuffer(data, dtype="<i8").astype(np.int64)
    if count and len(data) == 11 + 4 * count and data[:7] == _NODE_STEPS:
        first = np.frombuffer(data, dtype="<i8", count=1, offset=7)
        steps = np.frombuffer(data, dtype="<u4", offset=15).astype(np.int64)
        return np.concatenate([first, first[0] + np.cumsum(steps)]).astype(np.int64)
    raise ValueError("saved node ids are truncated or in an unknown form")


def _labels(index: Any) -> Any:
    """Row labels in their saved form: integers as a BLOB, else the JSON
    list of their texts."""
    values = index.to_numpy() if hasattr(index, "to_numpy") else np.asarray(index)
    if values.dtype.kind in "iu":
        blob = encode_array(values.astype(np.int64))
        if blob is not None:
            return blob
    if values.dtype.kind in "OUT" or str(values.dtype) == "str":
        items = values.tolist()
        if all(type(v) is str for v in items):
            return jsonkit.dumps(items)
    return jsonkit.dumps(index.astype(str).tolist())


def _values(raw: np.ndarray) -> Any:
    blob = encode_array(raw)
    if blob is not None:
        return blob
    if pd.api.types.infer_dtype(raw, skipna=True) in ("string", "empty"):
        # text with missing values: one vectorised pass, missing as null
        return jsonkit.dumps(_with_none(np.asarray(raw, dtype=object), pd.isna(raw)))
    return jsonkit.dumps([_cell(v) for v in raw.tolist()])


def value_rows(store_id: int, outputs: list, chunk_rows: int | None = None) -> list[tuple]:
    """The ``lineage_values`` rows of the output frames: per column, its row
    labels and values (numeric arrays as BLOBs, others as JSON lists), its
    node ids (``encode_node_ids``) and words (uint32), in row order, in
    chunks of at most ``chunk_rows`` rows (default: one chunk per column),
    each with the position of its first row (the last field).  A column
    whose chunk has the labels of the output's first column saves
    ``SAME_LABELS`` instead of repeating them."""
    rows: list[tuple] = []
    for k, frame in enumerate(outputs):
        shared: dict[tuple[int, int], Any] = {}  # (first row, rows) -> labels object of the first column
        for name, series in _columns(frame):
            nodes = np.asarray(getattr(series, "_node_ids", ()), dtype=np.int64)
            words = np.asarray(getattr(series, "_prov", ()), dtype=np.uint32)
            n = min(len(series), len(nodes), len(words))
            raw = series.to_numpy()
            step = n if chunk_rows is None else chunk_rows
            for start in range(0, max(n, 1), max(step, 1)):
                end = min(n, start + step)
                index = series.index[start:end]
                first = shared.get((start, end - start))
                if first is None:
                    shared[(start, end - start)] = index
                    labels = _labels(index)
                else:
                    labels = SAME_LABELS if first.equals(index) else _labels(index)
                rows.append((store_id, k, name, end - start, labels, encode_node_ids(nodes[start:end]),
                             words[start:end].tobytes(), _values(raw[start:end]), start))
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
    from morvel.utilities._lineage_sink import EmbeddedLineage, LineageSaver

    saver = LineageSaver(EmbeddedLineage(storage), name, store.columnar)
    return saver.finish(tracker, outputs, config, config_at_open=True)


def find_value(conn: Any, column: str, row: str, pipeline_id: Optional[int] = None) -> Optional[tuple]:
    """(store id, node id, word, value) of the most recently saved value in
    column ``column`` at row label ``row`` (of pipeline ``pipeline_id`` when
    given; the last row with that label when a column repeats it), or None
    when no saved value with a node is there."""
    has = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'lineage_values'").fetchone()
    if has is None:
        return None
    chunked = any(r[1] == "first_row" for r in conn.execute("PRAGMA table_info(lineage_values)"))
    sql = ("SELECT v.store_id, v.output_no, " + ("v.first_row" if chunked else "0") + ", v.row_count, "
           "v.row_labels, v.node_ids, v.words, v.cell_values "
           "FROM lineage_values v JOIN lineage_stores s ON s.id = v.store_id "
           "WHERE v.column_name = ? AND s.next_id > s.first_id")
    args: list = [column]
    if pipeline_id is not None:
        sql += " AND s.pipeline_id = ?"
        args.append(pipeline_id)
    for store_id, output_no, first_row, count, labels, nodes, words, values in conn.execute(
            sql + " ORDER BY v.store_id DESC, v.output_no DESC, v.id DESC", args).fetchall():
        if isinstance(labels, bytes) and labels == SAME_LABELS:
            labels = _shared_labels(conn, store_id, output_no, first_row, count)
        node_ids = decode_node_ids(nodes, count)
        word_arr = np.frombuffer(words, dtype=np.uint32)
        hits = _label_positions(labels, row, count)
        if len(word_arr) != count:
            raise ValueError(f"saved values of column {column!r} in store {store_id} are inconsistent")
        hits = hits[node_ids[hits] >= 0] if len(hits) else hits
        if len(hits):
            i = int(hits[-1])
            cells = decode_array(values)
            if len(cells) != count:
                raise ValueError(f"saved values of column {column!r} in store {store_id} are inconsistent")
            return store_id, int(node_ids[i]), int(word_arr[i]), cells[i]
    return None


def _shared_labels(conn: Any, store_id: int, output_no: int, first_row: int, count: int) -> Any:
    """The labels a ``SAME_LABELS`` chunk refers to."""
    found = conn.execute(
        "SELECT row_labels FROM lineage_values WHERE store_id = ? AND output_no = ? AND first_row = ? "
        "AND row_count = ? AND row_labels != ? ORDER BY id LIMIT 1",
        (store_id, output_no, first_row, count, SAME_LABELS)).fetchone()
    if found is None:
        raise ValueError("saved row labels refer to a chunk that is not there")
    return found[0]


def _label_positions(labels: Any, row: str, count: int) -> np.ndarray:
    """Positions whose saved label reads ``row`` (labels as text)."""
    if isinstance(labels, str):
        texts = jsonkit.loads(labels)
        if not isinstance(texts, list) or len(texts) != count:
            raise ValueError("saved row labels are inconsistent")
        return np.flatnonzero(np.asarray([t == row for t in texts], dtype=bool))
    data = bytes(labels)
    if data[:3] != _BINARY_TAG or data[3:7] != b"<i8 ":
        raise ValueError("saved row labels are in an unknown form")
    arr = np.frombuffer(data, dtype=np.int64, offset=7)
    if len(arr) != count:
        raise ValueError("saved row labels are inconsistent")
    try:
        wanted = int(row)
    except ValueError:
        return np.zeros(0, dtype=np.int64)
    if str(wanted) != row:
        return np.zeros(0, dtype=np.int64)
    return np.flatnonzero(arr == wanted)
