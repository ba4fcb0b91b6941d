"""Node blocks and output values of a lineage pipeline in bulk: the binary
body that carries them to the lineage service, its checks, and the SQL that
writes them, shared by the embedded store and the service so that both keep
exactly the same rows.

A saved store is written in four steps, each one transaction:

1. ``open_store``: a ``lineage_stores`` row with no nodes yet;
2. ``insert_blocks``: rows of ``lineage_blocks`` (one BLOB per column, the
   layout of ``ColumnarStore.save``), full blocks first, any number of
   times while the pipeline runs;
3. ``finish_store``: the texts, source attributes, source index and the
   number of nodes, once every block is there (checked);
4. ``insert_values``: rows of ``lineage_values`` in chunks of rows.

A block or value chunk sent again is accepted when it is the same as the
one stored (a retry) and refused when it differs.

The body (``application/octet-stream``) is: the magic line (``MVLB1`` for
blocks, ``MVLV1`` for values), the length of a JSON header as a 4-byte
little-endian number, the header, then the parts of every item one after
another.  The header names the store, every item's fields and the sizes of
its parts, and the SHA-256 of the parts, so a truncated or altered body is
refused before anything is written.

>>> body = encode_body(BLOCKS, 3, [([0, 0, 2, 0], [b"ab", "c"])])
>>> decode_body(BLOCKS, body)
(3, [([0, 0, 2, 0], [b'ab', 'c'])])
"""
from __future__ import annotations

import hashlib
import json
import sqlite3
import struct
from datetime import datetime, timezone
from typing import Any, Iterable, Sequence

import numpy as np

from morvel.utilities import jsonkit
from morvel.utilities._lineage_db import _BINARY_TAG, _BINARY_TYPES, SAME_LABELS, decode_node_ids
from morvel.utilities._lineage_db import _SCHEMA as _VALUES_SCHEMA

BLOCKS = b"MVLB1\n"
VALUES = b"MVLV1\n"
#: The per-word summary's edges as one (n, 3) little-endian int64 array of
#: (parent node id, child node id, input position).
EDGES = b"MVLE1\n"
#: Largest JSON header of a body.
MAX_HEADER = 1 << 20
#: Nodes per block (the native store's block size).
BLOCK_SIZE = 65536
COLUMNS = ("types", "flags", "ops", "words", "srcs", "offsets", "inputs")
SPARSE = ("escape_slots", "escape_ids", "metadata_positions", "metadata_texts")
_ITEM = {"types": 1, "flags": 1}
_LINEAR = struct.Struct("<qqq")
_LEN = struct.Struct("<I")
#: Rows of one output column per value chunk (a 1,000,000-row column is
#: sent in chunks well under the service's body limit).
VALUE_CHUNK_ROWS = 200_000


class BulkError(ValueError):
    """A bulk body or write that is refused; ``status`` is the HTTP status
    the service answers with."""

    def __init__(self, message: str, status: int = 400) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------
# The body
# ---------------------------------------------------------------------------


def encode_body(magic: bytes, store_id: int, items: Sequence[tuple[list, list]]) -> bytes:
    """One body of ``items`` (fields, parts); a part is bytes or text."""
    described = []
    payload = []
    for fields, parts in items:
        sizes = []
        for part in parts:
            data = part.encode("utf-8") if isinstance(part, str) else bytes(part)
            sizes.append([len(data), "t" if isinstance(part, str) else "b"])
            payload.append(data)
        described.append({"fields": list(fields), "parts": sizes})
    blob = b"".join(payload)
    header = json.dumps({"store_id": int(store_id), "items": described,
                         "sha256": hashlib.sha256(blob).hexdigest()}, separators=(",", ":")).encode("utf-8")
    return magic + _LEN.pack(len(header)) + header + blob


def decode_body(magic: bytes, body: bytes) -> tuple[int, list[tuple[list, list]]]:
    """(store id, items) of a body, every size and the checksum checked."""
    if body[:len(magic)] != magic:
        raise BulkError("the body does not start with the expected magic line")
    at = len(magic)
    if len(body) < at + _LEN.size:
        raise BulkError("the body is truncated")
    (size,) = _LEN.unpack_from(body, at)
    at += _LEN.size
    if size > MAX_HEADER or at + size > len(body):
        raise BulkError("the body's header is truncated or too large")
    try:
        header = json.loads(body[at:at + size])
    except ValueError as exc:
        raise BulkError(f"the body's header is not JSON: {exc}") from None
    at += size
    if not (isinstance(header, dict) and type(header.get("store_id")) is int
            and isinstance(header.get("items"), list) and isinstance(header.get("sha256"), str)):
        raise BulkError("the body's header lacks store_id, items or sha256")
    payload = memoryview(body)[at:]
    if hashlib.sha256(payload).hexdigest() != header["sha256"]:
        raise BulkError("the body's parts do not match their checksum (truncated or altered)")
    items: list[tuple[list, list]] = []
    pos = 0
    for k, item in enumerate(header["items"]):
        if not (isinstance(item, dict) and isinstance(item.get("fields"), list)
                and isinstance(item.get("parts"), list)):
            raise BulkError(f"item {k} of the body is malformed")
        parts: list = []
        for entry in item["parts"]:
            if not (isinstance(entry, list) and len(entry) == 2 and type(entry[0]) is int and entry[0] >= 0
                    and entry[1] in ("t", "b")):
                raise BulkError(f"item {k} of the body has a malformed part size")
            if pos + entry[0] > len(payload):
                raise BulkError("the body's parts are shorter than its header says")
            data = bytes(payload[pos:pos + entry[0]])
            pos += entry[0]
            if entry[1] == "t":
                try:
                    parts.append(data.decode("utf-8"))
                except UnicodeDecodeError:
                    raise BulkError(f"item {k} of the body has a text part that is not UTF-8") from None
            else:
                parts.append(data)
        items.append((item["fields"], parts))
    if pos != len(payload):
        raise BulkError("the body's parts are longer than its header says")
    return header["store_id"], items


def block_items(rows: Iterable[tuple]) -> list[tuple[list, list]]:
    """Body items of ``lineage_blocks`` rows (``_block_row`` form)."""
    return [([int(r[1]), int(r[2]), int(r[3]), int(r[4])], list(r[5:])) for r in rows]


def value_items(rows: Iterable[tuple]) -> list[tuple[list, list]]:
    """Body items of ``lineage_values`` rows (``value_chunks`` form)."""
    return [([int(r[1]), r[2], int(r[3]), int(r[8])], [r[4], r[5], r[6], r[7]]) for r in rows]


def edges_from_items(items: list[tuple[list, list]]) -> np.ndarray:
    """The (n, 3) int64 edge array of a decoded edges body."""
    if len(items) != 1 or items[0][0] or len(items[0][1]) != 1 or not isinstance(items[0][1][0], bytes):
        raise BulkError("an edges body holds one item with one binary part")
    data = items[0][1][0]
    if len(data) % 24:
        raise BulkError("the edge array has a partial edge")
    return np.frombuffer(data, dtype="<i8").astype(np.int64).reshape(-1, 3)


def _int_fields(fields: list, n: int, what: str) -> list[int]:
    if len(fields) != n or not all(type(f) is int and -(2**63) <= f < 2**63 for f in fields):
        raise BulkError(f"{what} needs {n} integer fields")
    return fields


def rows_from_block_items(store_id: int, items: list[tuple[list, list]]) -> list[tuple]:
    """``lineage_blocks`` rows of decoded items (checked by :func:`check_block`
    against the store when inserted)."""
    rows = []
    for fields, parts in items:
        block_no, base, count, linear = _int_fields(fields, 4, "a block")
        if len(parts) != len(COLUMNS) + len(SPARSE) or not all(isinstance(p, bytes) for p in parts):
            raise BulkError(f"block {block_no} needs {len(COLUMNS) + len(SPARSE)} binary parts")
        rows.append((store_id, block_no, base, count, linear, *parts))
    return rows


def rows_from_value_items(store_id: int, items: list[tuple[list, list]]) -> list[tuple]:
    rows = []
    for fields, parts in items:
        if len(fields) != 4 or type(fields[1]) is not str:
            raise BulkError("a value chunk needs output number, column name, row count and first row")
        output_no, _, count, first_row = _int_fields([fields[0], 0, fields[2], fields[3]], 4, "a value chunk")
        if len(parts) != 4 or not isinstance(parts[1], bytes) or not isinstance(parts[2], bytes):
            raise BulkError("a value chunk needs labels, node ids, words and values")
        rows.append((store_id, output_no, fields[1], count, parts[0], parts[1], parts[2], parts[3], first_row))
    return rows


# ---------------------------------------------------------------------------
# Checks
# ---------------------------------------------------------------------------


def _run_length(data: bytes, what: str) -> tuple[int, int, int]:
    if len(data) != _LINEAR.size:
        raise BulkError(f"{what} is not a valid run")
    return _LINEAR.unpack(data)


def check_block(first_id: int, row: tuple) -> None:
    """Refuse a block row whose numbering or column lengths are not those
    of a block of the store starting at ``first_id``."""
    _, block_no, base, count, linear, *parts = row
    cols, sparse = parts[:len(COLUMNS)], parts[len(COLUMNS):]
    if block_no < 0 or base != first_id + block_no * BLOCK_SIZE:
        raise BulkError(f"block {block_no} does not start at node {first_id + max(block_no, 0) * BLOCK_SIZE}")
    if not 0 < count <= BLOCK_SIZE:
        raise BulkError(f"block {block_no} holds {count} nodes (1 to {BLOCK_SIZE})")
    if not 0 <= linear < 1 << len(COLUMNS):
        raise BulkError(f"block {block_no} has an invalid run mask")

    def length(c: int) -> int:
        name = COLUMNS[c]
        if linear >> c & 1:
            return _run_length(cols[c], f"column {name} of block {block_no}")[0]
        item = _ITEM.get(name, 4)
        if len(cols[c]) % item:
            raise BulkError(f"column {name} of block {block_no} has a partial item")
        return len(cols[c]) // item

    for c in range(5):
        if length(c) != count:
            raise BulkError(f"column {COLUMNS[c]} of block {block_no} does not hold {count} values")
    if length(5) != count + 1:
        raise BulkError(f"column offsets of block {block_no} does not hold {count + 1} values")
    if linear >> 5 & 1:
        n, start, step = _run_length(cols[5], "offsets")
        total = start + step * count
    else:
        total = int(np.frombuffer(cols[5], dtype=np.uint32)[-1])
    if length(6) != total:
        raise BulkError(f"column inputs of block {block_no} does not hold the {total} inputs its offsets name")
    slots, ids, positions, texts = (len(p) for p in sparse)
    if slots % 4 or ids % 8 or slots // 4 != ids // 8 or positions % 4 or positions != texts:
        raise BulkError(f"the sparse arrays of block {block_no} differ in length")


def _count_of(data: Any, count: int, what: str) -> None:
    if isinstance(data, str):
        try:
            items = jsonkit.loads(data)
        except ValueError:
            raise BulkError(f"{what} are not JSON") from None
        if not isinstance(items, list) or len(items) != count:
            raise BulkError(f"{what} do not hold {count} entries")
        return
    code = data[3:7].decode("ascii", "replace").strip()
    if data[:3] != _BINARY_TAG or code not in _BINARY_TYPES:
        raise BulkError(f"{what} are in an unknown form")
    if len(data) - 7 != count * np.dtype(code).itemsize:
        raise BulkError(f"{what} do not hold {count} entries")


def check_values(row: tuple) -> None:
    """Refuse a value chunk whose arrays do not all hold its row count."""
    _, output_no, column, count, labels, nodes, words, values, first_row = row
    if output_no < 0 or count < 0 or first_row < 0:
        raise BulkError("a value chunk has a negative output number, row count or first row")
    try:
        decode_node_ids(nodes, count)
    except ValueError:
        raise BulkError(f"node ids of column {column!r} do not hold {count} entries") from None
    if len(words) != 4 * count:
        raise BulkError(f"words of column {column!r} do not hold {count} entries")
    if labels != SAME_LABELS:
        _count_of(labels, count, f"row labels of column {column!r}")
    _count_of(values, count, f"values of column {column!r}")


# ---------------------------------------------------------------------------
# SQL
# ---------------------------------------------------------------------------


def ensure_schema(conn: sqlite3.Connection) -> None:
    """Create the lineage tables when missing; give an older
    ``lineage_values`` table its ``first_row`` column."""
    from morvel.utilities._columnar_store import _SCHEMA as _STORE_SCHEMA

    conn.executescript(_STORE_SCHEMA + _VALUES_SCHEMA)
    columns = {r[1] for r in conn.execute("PRAGMA table_info(lineage_values)")}
    if "first_row" not in columns:
        with conn:
            conn.execute("ALTER TABLE lineage_values ADD COLUMN first_row INTEGER NOT NULL DEFAULT 0")


def open_store(conn: sqlite3.Connection, pipeline_id: int | None, name: str, first_id: int) -> int:
    """A new ``lineage_stores`` row holding no node yet; returns its id."""
    from morvel.utilities._columnar_store import FORMAT

    if first_id < 0:
        raise BulkError("first_id must not be negative")
    with conn:
        cur = conn.execute(
            "INSERT INTO lineage_stores (name, pipeline_id, format, first_id, next_id, texts, attrs, sources, "
            "created_at) VALUES (?, ?, ?, ?, ?, '[]', '[]', '[]', ?)",
            (name, pipeline_id, FORMAT, first_id, first_id,
             datetime.now(timezone.utc).isoformat(timespec="milliseconds")))
        return int(cur.lastrowid or 0)


def store_row(conn: sqlite3.Connection, store_id: int) -> tuple[int | None, int, int]:
    """(pipeline id, first id, next id) of a saved store (``BulkError`` 404
    when there is none)."""
    row = conn.execute("SELECT pipeline_id, first_id, next_id FROM lineage_stores WHERE id = ?",
                       (store_id,)).fetchone()
    if row is None:
        raise BulkError(f"lineage store {store_id} not found", 404)
    return row


_BLOCK_COLUMNS = ("store_id", "block_no", "base_id", "node_count", "linear") + COLUMNS + SPARSE


def insert_blocks(conn: sqlite3.Connection, store_id: int, rows: Sequence[tuple]) -> int:
    """Check and write block rows of a store that is still open, in one
    transaction; a block already stored must be the same (a retry).
    Returns how many blocks were new."""
    _, first_id, next_id = store_row(conn, store_id)
    if next_id != first_id:
        raise BulkError(f"lineage store {store_id} is finished; it takes no more blocks", 409)
    for row in rows:
        if row[0] != store_id:
            raise BulkError("every block must belong to the store named")
        check_block(first_id, row)
    new = 0
    select = f"SELECT {', '.join(_BLOCK_COLUMNS)} FROM lineage_blocks WHERE store_id = ? AND block_no = ?"
    insert = (f"INSERT INTO lineage_blocks ({', '.join(_BLOCK_COLUMNS)}) "
              f"VALUES ({', '.join('?' * len(_BLOCK_COLUMNS))})")
    with conn:
        fresh = []
        for row in rows:
            old = conn.execute(select, (store_id, row[1])).fetchone()
            if old is None:
                fresh.append(row)
            elif tuple(bytes(v) if isinstance(v, (bytes, memoryview)) else v for v in old) != tuple(row):
                raise BulkError(f"block {row[1]} of lineage store {store_id} is already stored with other "
                                "content", 409)
        conn.executemany(insert, fresh)
        new = len(fresh)
    return new


def finish_store(conn: sqlite3.Connection, store_id: int, next_id: int, texts: list, attrs: list,
                 sources: list) -> None:
    """Write the header of an open store once its blocks hold every node
    from ``first_id`` to ``next_id`` (consecutive, all full but the last)."""
    if not (isinstance(texts, list) and all(type(t) is str for t in texts)
            and isinstance(attrs, list) and isinstance(sources, list)):
        raise BulkError("texts must be a list of strings, attrs and sources lists")
    _, first_id, stored_next = store_row(conn, store_id)
    counts = [r[0] for r in conn.execute(
        "SELECT node_count FROM lineage_blocks WHERE store_id = ? ORDER BY block_no", (store_id,))]
    numbers = [r[0] for r in conn.execute(
        "SELECT block_no FROM lineage_blocks WHERE store_id = ? ORDER BY block_no", (store_id,))]
    if stored_next != first_id:
        if stored_next == next_id:
            return  # finished already: a retry
        raise BulkError(f"lineage store {store_id} is already finished", 409)
    if numbers != list(range(len(numbers))) or any(c != BLOCK_SIZE for c in counts[:-1]) \
            or sum(counts) != next_id - first_id:
        raise BulkError(f"the blocks of lineage store {store_id} do not hold nodes {first_id} to {next_id - 1}",
                        409)
    with conn:
        conn.execute("UPDATE lineage_stores SET next_id = ?, texts = ?, attrs = ?, sources = ? WHERE id = ?",
                     (next_id, jsonkit.dumps(texts), jsonkit.dumps(attrs), jsonkit.dumps(sources), store_id))


_VALUE_COLUMNS = ("store_id", "output_no", "column_name", "row_count", "row_labels", "node_ids", "words",
                  "cell_values", "first_row")


def insert_values(conn: sqlite3.Connection, store_id: int, rows: Sequence[tuple]) -> int:
    """Check and write value chunks of a store in one transaction; a chunk
    already stored (same output, column and first row) must be the same.
    Returns how many chunks were new."""
    store_row(conn, store_id)
    for row in rows:
        if row[0] != store_id:
            raise BulkError("every value chunk must belong to the store named")
        check_values(row)
    for row in rows:
        if row[4] == SAME_LABELS and not _has_labels(conn, rows, row):
            raise BulkError(f"column {row[2]!r} refers to the labels of a chunk that is not there")
    select = (f"SELECT {', '.join(_VALUE_COLUMNS)} FROM lineage_values "
              "WHERE store_id = ? AND output_no = ? AND column_name = ? AND first_row = ?")
    with conn:
        fresh = []
        for row in rows:
            old = conn.execute(select, (store_id, row[1], row[2], row[8])).fetchone()
            if old is None:
                fresh.append(row)
            elif tuple(bytes(v) if isinstance(v, (bytes, memoryview)) else v for v in old) != tuple(row):
                raise BulkError(f"values of column {row[2]!r} from row {row[8]} of lineage store {store_id} are "
                                "already stored with other content", 409)
        conn.executemany(f"INSERT INTO lineage_values ({', '.join(_VALUE_COLUMNS)}) "
                         f"VALUES ({', '.join('?' * len(_VALUE_COLUMNS))})", fresh)
    return len(fresh)


def _has_labels(conn: sqlite3.Connection, rows: Sequence[tuple], ref: tuple) -> bool:
    """True when a chunk of the same store, output, first row and row count
    with labels of its own is in ``rows`` or already stored."""
    key = (ref[0], ref[1], ref[8], ref[3])
    if any((r[0], r[1], r[8], r[3]) == key and r[4] != SAME_LABELS for r in rows):
        return True
    return conn.execute("SELECT 1 FROM lineage_values WHERE store_id = ? AND output_no = ? AND first_row = ? "
                        "AND row_count = ? AND row_labels != ? LIMIT 1", (*key, SAME_LABELS)).fetchone() is not None


def set_config(conn: sqlite3.Connection, pipeline_id: int, config: dict | None) -> None:
    """Give a pipeline opened without a configuration the one known at its
    end (the row history's report sections of a pipeline saved live)."""
    if config is None:
        return
    with conn:
        conn.execute("UPDATE pipelines SET config = ? WHERE id = ? AND config IS NULL",
                     (jsonkit.dumps(config), pipeline_id))
