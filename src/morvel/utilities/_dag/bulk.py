"""The bridge to the compiled bulk lineage logger.

A DAG-tracked operation on n elements logs n nodes.  When the tracker is a
stock ``DAGTracker`` (no method overridden or replaced) and its store is in
the plain form the compiled logger works on, the whole operation is logged
by one native call instead of n interpreted ones; the gates below decide
when that stand-in leaves exactly the state the per-element path leaves.
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
import pandas as pd

from morvel.utilities import _hooks
from morvel.utilities._dag.records import NodeType
from morvel.utilities._dag.tracker import DAGTracker
from morvel.utilities._dag.values import (
    _append_row_values,
    _hand_over,
    _live_group,
    _live_records,
    _numeric_values,
    _offer_cell,
    _record_loop,
    _records_before_hand_over,
    _ValueGroup,
)
from morvel.utilities._word import layout

try:  # the compiled bulk lineage path; without it every operation loops
    from morvel import _lineage
except ImportError:  # pragma: no cover - exercised only on broken builds
    _lineage = None  # type: ignore[assignment]

# Marker of "no node" in node-id arrays.  Node 0 is a real node (the first
# source column a tracker saw), so absent nodes must never read as 0.
NO_NODE = -1


def _static_attr(cls, name):
    """The class attribute ``name`` as stored in the MRO (descriptors
    unbound), or None."""
    for klass in cls.__mro__:
        if name in klass.__dict__:
            return klass.__dict__[name]
    return None


# Tracker methods the compiled paths stand in for, captured when this module
# loads so that later replacement, also on DAGTracker itself, is noticed.
_STOCK_NAMES = (
    "combine", "update_chain", "log_binary", "log_unary", "_create_node",
    "_evict_oldest_nodes", "is_tainted", "record_row_value", "encode",
    "create_source_node", "entity_from_row", "_start_new_pipeline", "_persist_node",
    "log_aggregate",
)
_STOCK = {name: _static_attr(DAGTracker, name) for name in _STOCK_NAMES}
_STOCK_HASH_ENTITY = layout._hash_entity

# Eviction of a stock tracker's store is done natively during bulk logging;
# with this off the compiled path calls the tracker's method instead.  This
# default and ``_lineage`` above are re-exported by
# ``morvel.utilities.vortel32_dag`` and read from there on every use, so
# that replacing them on the public module takes effect.
_native_eviction = True

_BINARY_METHODS = ("combine", "log_binary", "_create_node", "_evict_oldest_nodes", "is_tainted",
                   "record_row_value")
_UNARY_METHODS = ("update_chain", "log_unary", "_create_node", "_evict_oldest_nodes", "is_tainted",
                  "record_row_value")
# The per-cell path calls create_source_node once per cell, which starts a new
# pipeline on every call while the dashboard counts as synced.
_WRAP_METHODS = ("encode", "create_source_node", "record_row_value", "_start_new_pipeline")


def _stock_tracker(tracker, names) -> bool:
    """True when ``tracker`` is a DAGTracker whose methods ``names`` are all
    the stock ones: neither overridden by a subclass, nor replaced on the
    instance, nor patched on the class since load.  With live persistence
    its ``_persist_node`` must be stock too (the compiled path calls it per
    node).  Only then may a compiled path stand in for the per-element
    calls."""
    if _hooks.dag("_lineage") is None or not isinstance(tracker, DAGTracker):
        return False
    if getattr(tracker, "_writer", None):
        names = tuple(names) + ("_persist_node",)
    inst = getattr(tracker, "__dict__", {})
    cls = type(tracker)
    for name in names:
        if name in inst or _static_attr(cls, name) is not _STOCK[name]:
            return False
    return True


def _plain_store(tracker) -> bool:
    """True when the node store and provenance index are plain dicts and the
    node-id counter and store bound plain ints: the only forms the compiled
    logger works on.  Anything else (an ordered or custom mapping, a float
    bound) is left to the per-element path, which goes through the objects'
    own methods and comparisons."""
    return tracker._store.bulk_ready()


def _eviction_source():
    """What the compiled logger needs to evict natively (the SOURCE member,
    whose nodes are never evicted), or None to call the tracker's method."""
    return NodeType.SOURCE if _hooks.dag("_native_eviction") else None


def _bulk_words(arr) -> bool:
    return isinstance(arr, np.ndarray) and arr.ndim == 1 and arr.dtype == np.uint32


def _bulk_ids(arr) -> bool:
    # Signed integers, or unsigned ones narrow enough to fit int64.
    return (isinstance(arr, np.ndarray) and arr.ndim == 1
            and (arr.dtype.kind == "i" or (arr.dtype.kind == "u" and arr.dtype.itemsize < 8)))


def _padded(arr, n: int, fill, dtype) -> np.ndarray:
    """``arr`` cut or padded with ``fill`` to length ``n``, as a contiguous
    ``dtype`` array: what the per-element loops read at positions 0..n-1."""
    k = min(n, len(arr))
    if k == n and arr.dtype == dtype and arr.flags.c_contiguous:
        return arr[:n]
    out = np.full(n, fill, dtype=dtype)
    out[:k] = arr[:k]
    return out


# Marks node-id slots the compiled logger has not completed yet.
_PENDING = -2


def _native_log(tracker, node_type, op_name, words, left, right, out, persist=False) -> None:
    """One call of the compiled logger over ``words``, through the tracker's
    node store (under the node lock).  With ``persist`` each node goes to
    the tracker's ``_persist_node`` while its writer is live."""
    with tracker._dag_lock:
        tracker._store.log_bulk(node_type, op_name, words, left, right, out,
                                tracker._evict_oldest_nodes,
                                _persist_hook(tracker) if persist else None,
                                _eviction_source() is not None)


def _persist_hook(tracker):
    """Hands a node to the tracker's ``_persist_node`` while its writer is
    live, as the tracker's own node creation does; True when it did."""
    def persist(node):
        if tracker._writer:
            tracker._persist_node(node)
            return True
        return False
    return persist


def _log_words(tracker, result, op_name, words, left, right, node_type, group) -> tuple:
    """Nodes and row values of a bulk-logged operation whose words are
    known: live, in runs ending at the recorder's hand-overs; memory-only,
    all nodes at once and then the surviving records."""
    n = len(words)
    left = _padded(left, n, NO_NODE, np.int64)
    right = None if right is None else _padded(right, n, NO_NODE, np.int64)
    if group is not None:
        return words, _log_nodes_live(tracker, group, node_type, op_name, words, left, right)
    nodes = np.empty(n, dtype=np.int64)
    _native_log(tracker, node_type, op_name, words, left, right, nodes)
    if not _append_row_values(tracker, [_ValueGroup(result, words, op_name, None, True)]):
        _record_loop(tracker, result, words, op_name)
    return words, nodes


# Stands for "no live writer" where a classified value group is expected.
_MEMORY_ONLY = object()


def _live_values(tracker, result, op_name) -> Any:
    """The classified row values of a live tracker's operation (None when
    the compiled path cannot stand in for its recorder), or ``_MEMORY_ONLY``."""
    if tracker._writer is None:
        return _MEMORY_ONLY
    return _live_group(tracker, result, op_name)


def log_binary(tracker, result, op_name, op_code, left_words, left_ids, right_words,
               right_ids) -> Optional[tuple]:
    """(words, node ids) of a two-operand operation logged by the compiled
    path, or None when only the per-element path leaves the right state."""
    if not (_stock_tracker(tracker, _BINARY_METHODS) and _plain_store(tracker)
            and _bulk_words(left_words) and _bulk_words(right_words)
            and _bulk_ids(left_ids) and _bulk_ids(right_ids)
            and (group := _live_values(tracker, result, op_name)) is not None):
        return None
    n = len(result)
    words = np.asarray(
        _hooks.word("combine_batch")(tracker._rust, _padded(left_words, n, 0, np.uint32),
                                     _padded(right_words, n, 0, np.uint32), op_code),
        dtype=np.uint32)
    return _log_words(tracker, result, op_name, words, left_ids, right_ids, NodeType.BINARY,
                      None if group is _MEMORY_ONLY else group)


def log_unary(tracker, result, op_name, op_code, words_in, ids) -> Optional[tuple]:
    """(words, node ids) of a one-operand operation logged by the compiled
    path, or None when only the per-element path leaves the right state."""
    if not (_stock_tracker(tracker, _UNARY_METHODS) and _plain_store(tracker)
            and _bulk_words(words_in) and _bulk_ids(ids)
            and (group := _live_values(tracker, result, op_name)) is not None):
        return None
    n = len(result)
    words = np.asarray(
        _hooks.word("update_chain_batch")(tracker._rust, _padded(words_in, n, 0, np.uint32),
                                          op_code),
        dtype=np.uint32)
    return _log_words(tracker, result, op_name, words, ids, None, NodeType.UNARY,
                      None if group is _MEMORY_ONLY else group)


def _log_nodes_live(tracker, group, node_type, op_name, words, left, right) -> np.ndarray:
    """Log one node per position and record the row values of ``group`` on a
    live tracker, with the writer calls of the per-element loop: each node
    goes to ``_persist_node`` as it is created, and the value buffer is
    handed over at the same elements.  The positions are processed in runs
    that end at the element whose record reaches the hand-over threshold:
    that run's nodes first, then its records.  An error while logging stops
    the operation after the records of the completed positions, as the loop
    would stop there."""
    n = len(words)
    group.words = words
    offered = group.positions()
    total = len(offered)
    nodes = np.full(n, _PENDING, dtype=np.int64)
    start = taken = 0
    while True:
        due = taken + _records_before_hand_over(tracker, total + 1)
        if due <= total:
            end = int(offered[due - 1]) + 1
        else:
            due, end = total, n
        if start < end:
            try:
                _native_log(tracker, node_type, op_name, words[start:end], left[start:end],
                            None if right is None else right[start:end], nodes[start:end], True)
            except BaseException:
                pending = np.flatnonzero(nodes[start:end] == _PENDING)
                stop = start + int(pending[0]) if len(pending) else end
                upto = taken + int(np.searchsorted(offered[taken:due], stop))
                _hand_over(tracker, _live_records(tracker, group, offered[taken:upto]))
                raise
        _hand_over(tracker, _live_records(tracker, group, offered[taken:due]))
        taken, start = due, end
        if start >= n and taken >= total:
            return nodes


def _safe_label(label) -> bool:
    """Column labels for which ``row[label]`` is a plain label lookup."""
    if isinstance(label, (bool, np.bool_)):
        return False
    if isinstance(label, (str, int, np.integer)):
        return True
    if isinstance(label, (float, np.floating)):
        return label == label
    return False


def _row_values_by_column(df):
    """Per column, the values ``df.iloc[i][col]`` yields for every row i, as
    one indexable each, or None when they cannot be had without reading the
    rows one by one.

    A row of a frame whose columns share a numeric numpy dtype family is
    cast to the common dtype; a row of mixed columns is an object array
    holding each column's own element."""
    if len(df) == 0 or len(df.columns) == 0:
        return None
    dtypes = list(df.dtypes)
    row_dtype = df.iloc[0].dtype
    if all(isinstance(d, np.dtype) and d.kind in "biuf" for d in dtypes):
        if isinstance(row_dtype, np.dtype) and _numeric_values(np.empty(0, row_dtype)):
            return [df.iloc[:, j].to_numpy().astype(row_dtype, copy=False)
                    for j in range(len(dtypes))]
        if row_dtype != np.dtype(object):
            return None
    elif row_dtype != np.dtype(object):
        return None
    out = []
    for j, d in enumerate(dtypes):
        column = df.iloc[:, j]
        if isinstance(d, np.dtype) and d.kind in "biufO":
            out.append(column.to_numpy())
        elif isinstance(d, pd.StringDtype):
            out.append(column.array)
        else:
            return None
    return out


def _wrap_bulk_ok(tracker, df, include_entity) -> bool:
    names = _WRAP_METHODS + (("entity_from_row",) if include_entity else ())
    if not _stock_tracker(tracker, names):
        return False
    if include_entity and _hooks.word("_hash_entity") is not _STOCK_HASH_ENTITY:
        return False
    columns = df.columns
    if isinstance(columns, pd.MultiIndex) or not columns.is_unique:
        return False
    return all(_safe_label(c) for c in columns)


def _wrap_columns_bulk(df, tracker, table, protected, names, entities, col_prov, col_nodes):
    """``wrap_dataframe_dag`` for a stock tracker: one codec call per column
    for the words, one source node per column, and the row values.  Memory
    only, the records the recorder would keep are built at the end (also when
    a later column fails, so the recorded state matches the per-cell path);
    with a writer each column's records are handed over after its node."""
    n = len(df)
    pending = []  # (column position, words, operation, column name)
    # With a writer, each column's values are handed over right after its
    # source node is created, before the next column's: the per-cell path's
    # order of writer calls.
    live = tracker._writer is not None
    by_column = []  # the row values per column, read once when first needed
    try:
        for j, col in enumerate(df.columns):
            name = str(col)
            flag = (name in names) if names is not None else protected
            pair_id = tracker.register(table, name, flag)
            is_protected = tracker.is_protected(table, name)
            words = np.asarray(
                _hooks.word("encode_source_column")(tracker._rust, pair_id, entities, bool(is_protected)),
                dtype=np.uint32)
            if n:
                source = tracker.create_source_node(table, name, int(words[0]))
                nodes = np.full(n, source, dtype=np.int64)
                pending.append((j, words, table + "." + name, name))
            else:
                nodes = np.full(0, NO_NODE, dtype=np.int64)
            col_prov[col] = words
            col_nodes[col] = nodes
            if live and pending:
                done, pending = pending, []
                _record_wrapped_values(df, tracker, done, by_column)
    finally:
        if pending:
            _record_wrapped_values(df, tracker, pending, by_column)


def _record_wrapped_values(df, tracker, pending, cache=None) -> None:
    """Row values of the wrapped columns, as the per-cell path offers them.
    ``cache`` (a list) keeps the frame's row values across calls."""
    if cache:
        by_column = cache[0]
    else:
        by_column = _row_values_by_column(df)
        if cache is not None:
            cache.append(by_column)
    if by_column is not None:
        groups = [_ValueGroup(by_column[j], words, operation, name, False)
                  for j, words, operation, name in pending]
        if _append_row_values(tracker, groups):
            return
    columns = df.columns
    for j, words, operation, name in pending:
        col = columns[j]
        for i in range(len(words)):
            _offer_cell(tracker, df, i, col, words[i], operation, name)
