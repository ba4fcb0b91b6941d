"""DAG lineage for VORTEL-32 provenance.

A :class:`DAGTracker` keeps a bounded, in-memory operation log: every
element-level operation on a DAG-tracked Series becomes a node of a
computation graph, so that the derivation of any single result value can be
rebuilt, queried and exported (dict, JSON, Graphviz DOT), and optionally
persisted to a storage backend or streamed to the lineage service.
"""
from __future__ import annotations

# ---------------------------------------------------------------------------
# DAG records: NodeType, DAGNode, DAGEdge, ComputationDAG
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAGTracker: node store, operation log, graph queries
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAGTracker: persistence, flush cycle and dashboard sync
# (methods are attached inside the class body above; this banner marks where
# the persistence helpers that are not methods live)
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAG-tracked Series and DataFrames, wrap_dataframe_dag
# ---------------------------------------------------------------------------

import types as _types

import numpy as np
import pandas as pd

from morvel.utilities import vortel32

try:  # the compiled bulk lineage path; without it every operation loops
    from morvel import _lineage
except ImportError:  # pragma: no cover - exercised only on broken builds
    _lineage = None

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
    "create_source_node", "entity_from_row",
)
_STOCK = {name: _static_attr(DAGTracker, name) for name in _STOCK_NAMES}
_STOCK_HASH_ENTITY = vortel32._hash_entity

_BINARY_METHODS = ("combine", "log_binary", "_create_node", "_evict_oldest_nodes", "is_tainted",
                   "record_row_value")
_UNARY_METHODS = ("update_chain", "log_unary", "_create_node", "_evict_oldest_nodes", "is_tainted",
                  "record_row_value")
_WRAP_METHODS = ("encode", "create_source_node", "record_row_value")


def _stock_tracker(tracker, names) -> bool:
    """True when ``tracker`` is a memory-only DAGTracker whose methods
    ``names`` are all the stock ones: neither overridden by a subclass, nor
    replaced on the instance, nor patched on the class since load.  Only
    then may a compiled path stand in for the per-element calls."""
    if _lineage is None or not isinstance(tracker, DAGTracker):
        return False
    if getattr(tracker, "_writer", None):
        # Live persistence: every node must reach _persist_node in order.
        return False
    inst = getattr(tracker, "__dict__", {})
    cls = type(tracker)
    for name in names:
        if name in inst or _static_attr(cls, name) is not _STOCK[name]:
            return False
    return True


def _copy_array(arr):
    """A new array with the contents of ``arr`` (None stays None)."""
    return None if arr is None else np.array(arr, copy=True)


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


def _record_loop(tracker, values, words, op_name, positions, column_name=None) -> None:
    """Offer ``values[i]`` of each position to the tracker's recorder, with
    ``words[i]`` as fingerprint.  None and NaN floats (interpreter floats,
    which numpy float64 scalars are) are skipped; any error of one element
    is swallowed so that recording never fails an operation."""
    record = tracker.record_row_value
    for i in positions:
        try:
            v = values[i]
            if v is None or (isinstance(v, float) and v != v):
                continue
            if column_name is None:
                record(i, int(words[i]), op_name, v)
            else:
                record(i, int(words[i]), op_name, v, column_name=column_name)
        except Exception:
            pass


def _kept_tail(buffered: int, added: int, threshold) -> int:
    """Length of a memory-only tracker's value buffer after ``added`` more
    records are appended to ``buffered`` ones: the recorder drops the oldest
    records down to ``threshold - threshold // 4`` whenever the buffer grows
    past ``threshold``."""
    keep = max(threshold - threshold // 4, 0)
    total = buffered + added
    if total <= threshold:
        return total
    if keep > threshold or threshold + 1 - keep <= 0:
        return keep
    if buffered > threshold:  # the next append trims at once
        first = 1
    else:
        first = threshold + 1 - buffered
    return keep + (added - first) % (threshold + 1 - keep)


def _records_cleanly(v) -> bool:
    """True for values the recorder converts without fail (to a float, or
    to text after the float conversion refused them)."""
    if v is None or isinstance(v, (str, float, bool, np.bool_)):
        return True
    if isinstance(v, int):
        return -(1 << 1000) < v < (1 << 1000)
    if isinstance(v, np.generic):
        return v.dtype.kind in "biufUS"
    return False


class _ValueGroup:
    """Row values offered to the recorder by one operation or one column:
    ``values[i]`` with fingerprint ``words[i]`` for every position i, in
    order, under ``operation`` and ``column_name``.

    ``numeric`` values are a 1-D numpy array of a dtype whose elements always
    convert to float; others are any indexable sequence.  ``offered`` holds
    the positions that reach the recorder (None and NaN floats do not), or
    is None when every position does."""

    __slots__ = ("values", "words", "operation", "column_name", "numeric", "offered")

    def __init__(self, values, words, operation, column_name):
        self.values = values
        self.words = words
        self.operation = operation
        self.column_name = column_name
        self.numeric = _numeric_values(values)
        self.offered = None

    def classify(self) -> bool:
        """Find the offered positions; False when some offered value might
        make the recorder fail (the caller then records element by element)."""
        values = self.values
        if self.numeric:
            if values.dtype.kind == "f" and values.dtype.itemsize == 8:
                self.offered = np.flatnonzero(~np.isnan(values))
            return True
        keep = []
        for i in range(len(self.words)):
            v = values[i]
            if v is None or (isinstance(v, float) and v != v):
                continue
            if not _records_cleanly(v):
                return False
            keep.append(i)
        if len(keep) != len(self.words):
            self.offered = np.asarray(keep, dtype=np.intp)
        return True

    def count(self) -> int:
        return len(self.words) if self.offered is None else len(self.offered)

    def tail(self, take: int) -> np.ndarray:
        if self.offered is None:
            n = len(self.words)
            return np.arange(n - take, n)
        return self.offered[len(self.offered) - take:]


def _numeric_values(values) -> bool:
    if not isinstance(values, np.ndarray) or values.ndim != 1:
        return False
    kind = values.dtype.kind
    return kind in "biu" or (kind == "f" and values.dtype.itemsize <= 8)


def _kept_tail(buffered: int, added: int, threshold) -> int:
    """Length of a memory-only tracker's value buffer after ``added`` more
    records are appended to ``buffered`` ones: the recorder drops the oldest
    records down to ``threshold - threshold // 4`` whenever the buffer grows
    past ``threshold``."""
    keep = max(threshold - threshold // 4, 0)
    total = buffered + added
    if total <= threshold:
        return total
    if keep > threshold:
        return keep
    first = 1 if buffered > threshold else threshold + 1 - buffered
    return keep + (added - first) % (threshold + 1 - keep)


def _append_row_values(tracker, groups) -> bool:
    """Leave the tracker's value buffer as the memory-only stock recorder
    would after being offered every value of ``groups``, in order, building
    only the records that survive the buffer's trimming.  Returns False,
    changing nothing, when some value might make the recorder fail."""
    for group in groups:
        if not group.classify():
            return False
    try:
        from morvel.utilities.persistence.storage import StoredRowValue
    except ImportError:
        return True  # the recorder fails for every value: nothing is recorded
    total = sum(group.count() for group in groups)
    if total == 0:
        return True
    pipeline_id = tracker._pipeline_id or 0
    tenant_id = tracker._tenant_id
    with tracker._value_buffer_lock:
        buf = tracker._value_buffer
        kept = _kept_tail(len(buf), total, tracker._value_flush_threshold)
        need = min(kept, total)
        chunks = []
        for group in reversed(groups):
            if need <= 0:
                break
            take = min(need, group.count())
            need -= take
            if take == 0:
                continue
            sel = group.tail(take)
            rows = sel.tolist()
            fps = group.words[sel].tolist()
            if group.numeric:
                numbers = group.values[sel].astype(np.float64).tolist()
                texts = [None] * take
            else:
                numbers, texts = [], []
                values = group.values
                for i in rows:
                    number = text = None
                    v = values[i]
                    if v is not None:
                        try:
                            number = float(v)
                        except (ValueError, TypeError):
                            text = str(v)
                    numbers.append(number)
                    texts.append(text)
            op, col = group.operation, group.column_name
            chunks.append([
                StoredRowValue(pipeline_id=pipeline_id, row_index=r, fingerprint=f,
                               node_operation=op, value=x, column_name=col,
                               tenant_id=tenant_id, text_value=t)
                for r, f, x, t in zip(rows, fps, numbers, texts)
            ])
        new = [rec for chunk in reversed(chunks) for rec in chunk]
        old_kept = kept - len(new)
        if old_kept <= 0:
            buf.clear()
        else:
            del buf[: len(buf) - old_kept]
        buf.extend(new)
    return True


def _record_values_after(tracker, values, words, op_name) -> None:
    """Row values of a bulk-logged operation: the surviving records built
    at once, or the recorder called element by element when a value might
    make it fail."""
    if not _append_row_values(tracker, [_ValueGroup(values, words, op_name, None)]):
        _record_loop(tracker, values, words, op_name, range(len(words)))


def _new_series(values, index, prov, tracker, node_ids) -> "DAGTrackedSeries":
    return DAGTrackedSeries(values, index=index, _prov=prov, _tracker=tracker, _node_ids=node_ids)


class DAGTrackedSeries(pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata = ["_prov", "_tracker", "_node_ids"]
    # Defaults for objects pandas builds without __init__ (_from_mgr,
    # unpickling) until pandas copies the source's attributes over.
    _prov = None
    _tracker = None
    _node_ids = None

    def __init__(self, *args, _prov=None, _tracker=None, _node_ids=None, **kwargs):
        super().__init__(*args, **kwargs)
        n = len(self)
        object.__setattr__(self, "_prov", np.zeros(n, dtype=np.uint32) if _prov is None else _prov)
        object.__setattr__(self, "_tracker", _tracker)
        object.__setattr__(self, "_node_ids",
                           np.full(n, NO_NODE, dtype=np.int64) if _node_ids is None else _node_ids)

    @property
    def _constructor(self):
        return DAGTrackedSeries

    # -- logged element operations -----------------------------------------

    def _binop_dag(self, other, op, op_name: str, op_code: int) -> "DAGTrackedSeries":
        """Apply the two-operand element operation ``op`` to the raw values
        (by position, no index alignment) and, when both operands are
        DAG-tracked and a tracker is present, combine the words element by
        element and log one BINARY node per element (left input: this
        series' node) and offer each result value to the recorder.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), t, "t")
        >>> list((f["a"] + f["b"])._node_ids)
        [2, 3]
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        b = other.values if hasattr(other, "values") else other
        result = op(self.values, b)
        tracker = self._tracker
        if not isinstance(other, DAGTrackedSeries) or tracker is None:
            return _new_series(result, self.index, _copy_array(self._prov), tracker,
                               _copy_array(self._node_ids))
        n = len(result)
        sp, sn, op_, on = self._prov, self._node_ids, other._prov, other._node_ids
        if (_stock_tracker(tracker, _BINARY_METHODS) and _bulk_words(sp) and _bulk_words(op_)
                and _bulk_ids(sn) and _bulk_ids(on)):
            words = np.asarray(
                vortel32.combine_batch(tracker._rust, _padded(sp, n, 0, np.uint32),
                                       _padded(op_, n, 0, np.uint32), op_code),
                dtype=np.uint32)
            nodes = np.empty(n, dtype=np.int64)
            with tracker._dag_lock:
                _lineage.log_nodes(tracker, DAGNode, NodeType.BINARY, op_name, words,
                                   _padded(sn, n, NO_NODE, np.int64),
                                   _padded(on, n, NO_NODE, np.int64), nodes)
            _record_values_after(tracker, result, words, op_name)
            return _new_series(result, self.index, words, tracker, nodes)
        words = np.zeros(n, dtype=np.uint32)
        nodes = np.full(n, NO_NODE, dtype=np.int64)
        record = tracker.record_row_value
        for i in range(n):
            pa = int(sp[i]) if i < len(sp) else 0
            pb = int(op_[i]) if i < len(op_) else 0
            p = tracker.combine(pa, pb, op_code)
            words[i] = p
            na = int(sn[i]) if i < len(sn) else NO_NODE
            nb = int(on[i]) if i < len(on) else NO_NODE
            if na >= 0 and nb >= 0:
                nodes[i] = tracker.log_binary(op_name, na, nb, p)
            try:
                v = result[i]
                if v is not None and not (isinstance(v, float) and v != v):
                    record(i, int(p), op_name, v)
            except Exception:
                pass
        return _new_series(result, self.index, words, tracker, nodes)

    def _unop_dag(self, op, op_name: str, op_code: int) -> "DAGTrackedSeries":
        """Apply the one-operand element operation ``op`` and, with a tracker,
        advance each word's chain with ``op_code``, log one UNARY node per
        element whose node is known and offer each result value to the
        recorder.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "t")
        >>> [t.get_node(i).operation for i in (-f["a"])._node_ids]
        ['neg', 'neg']
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        result = op(self.values)
        return self._log_unary_steps(result, self.index, op_name, op_code, per_call_len=True)

    def _log_unary_steps(self, result, index, op_name, op_code, per_call_len):
        tracker = self._tracker
        if tracker is None:
            return _new_series(result, index, _copy_array(self._prov), tracker,
                               _copy_array(self._node_ids))
        n = len(result)
        sp, sn = self._prov, self._node_ids
        if _stock_tracker(tracker, _UNARY_METHODS) and _bulk_words(sp) and _bulk_ids(sn):
            words = np.asarray(
                vortel32.update_chain_batch(tracker._rust, _padded(sp, n, 0, np.uint32), op_code),
                dtype=np.uint32)
            nodes = np.empty(n, dtype=np.int64)
            with tracker._dag_lock:
                _lineage.log_nodes(tracker, DAGNode, NodeType.UNARY, op_name, words,
                                   _padded(sn, n, NO_NODE, np.int64), None, nodes)
            _record_values_after(tracker, result, words, op_name)
            return _new_series(result, index, words, tracker, nodes)
        words = np.zeros(n, dtype=np.uint32)
        nodes = np.full(n, NO_NODE, dtype=np.int64)
        record = tracker.record_row_value
        len_p, len_n = len(sp), len(sn)
        for i in range(n):
            if per_call_len:
                len_p, len_n = len(sp), len(sn)
            pa = int(sp[i]) if i < len_p else 0
            words[i] = tracker.update_chain(pa, op_code)
            w = int(words[i])
            na = int(sn[i]) if i < len_n else NO_NODE
            if na >= 0:
                nodes[i] = tracker.log_unary(op_name, na, w)
            try:
                v = result[i]
                if v is not None and not (isinstance(v, float) and v != v):
                    record(i, w, op_name, v)
            except Exception:
                pass
        return _new_series(result, index, words, tracker, nodes)

    def __add__(self, other):
        return self._binop_dag(other, np.add, "add", OpCode.ADD)

    def __sub__(self, other):
        return self._binop_dag(other, np.subtract, "sub", OpCode.SUB)

    def __mul__(self, other):
        return self._binop_dag(other, np.multiply, "mul", OpCode.MUL)

    def __truediv__(self, other):
        return self._binop_dag(other, np.true_divide, "div", OpCode.DIV)

    def __floordiv__(self, other):
        return self._binop_dag(other, np.floor_divide, "floordiv", OpCode.DIV)

    def __pow__(self, other):
        return self._binop_dag(other, np.power, "pow", OpCode.MUL)

    def __radd__(self, other):
        return self._binop_dag(other, _swapped(np.add), "add", OpCode.ADD)

    def __rsub__(self, other):
        return self._binop_dag(other, _swapped(np.subtract), "sub", OpCode.SUB)

    def __rmul__(self, other):
        return self._binop_dag(other, _swapped(np.multiply), "mul", OpCode.MUL)

    def __rtruediv__(self, other):
        return self._binop_dag(other, _swapped(np.true_divide), "div", OpCode.DIV)

    def __neg__(self):
        return self._unop_dag(_negate, "neg", OpCode.NEG)

    def __gt__(self, other):
        return self._binop_dag(other, _greater, "gt", OpCode.CMP)

    def __lt__(self, other):
        return self._binop_dag(other, _less, "lt", OpCode.CMP)

    def __ge__(self, other):
        return self._binop_dag(other, _greater_equal, "ge", OpCode.CMP)

    def __le__(self, other):
        return self._binop_dag(other, _less_equal, "le", OpCode.CMP)

    # -- tracked transforms ------------------------------------------------

    def clip(self, lower=None, upper=None):
        """Values clipped to [lower, upper]; one "clip" node per element.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [-5, 5, 50]}), t, "t")
        >>> f["a"].clip(0, 10).tolist()
        [0, 5, 10]
        """
        return self._unop_dag(lambda x: np.clip(x, lower, upper), "clip", OpCode.CLIP)

    def _apply_tracked_unary(self, result_values, result_index, op_name: str, op_code: int):
        """Apply a tracked unary operation, updating provenance for each element.

        Shared by fillna, replace, and similar element-wise transforms.
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        return self._log_unary_steps(result_values, result_index, op_name, op_code,
                                     per_call_len=False)

    def fillna(self, value=0, **kwargs):
        """Missing values filled (default 0); one "fillna" node per element.

        An in-place request is refused before anything changes: the series'
        words and node ids could not follow the values it would change.
        """
        if kwargs.get("inplace"):
            raise ValueError(
                "fillna(inplace=True) is not supported on a DAG-tracked series: "
                "use the returned series instead")
        result = pd.Series.fillna(self, value, **kwargs)
        return self._apply_tracked_unary(result.values, self.index, "fillna", OpCode.FILL)

    def replace(self, *args, **kwargs):
        """pandas ``replace``; one "replace" node per element.  An in-place
        replacement logs nothing, keeps the words and node ids, and returns
        what pandas returned."""
        result = pd.Series.replace(self, *args, **kwargs)
        if kwargs.get("inplace") or not isinstance(result, pd.Series):
            return result
        return self._apply_tracked_unary(result.values, result.index, "replace", OpCode.MAP)


def _swapped(ufunc):
    def op(a, b):
        return ufunc(b, a)
    return op


def _negate(x):
    return -x


def _greater(a, b):
    return a > b


def _less(a, b):
    return a < b


def _greater_equal(a, b):
    return a >= b


def _less_equal(a, b):
    return a <= b


def _hashable_key(key) -> bool:
    try:
        hash(key)
    except TypeError:
        return False
    return True


class DAGTrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata = ["_tracker", "_col_prov", "_col_nodes"]
    # Defaults for objects pandas builds without __init__; read-only so
    # that nothing writes into a dictionary shared by every such object.
    _tracker = None
    _col_prov = _types.MappingProxyType({})
    _col_nodes = _types.MappingProxyType({})

    def __init__(self, *args, **kwargs):
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        col_nodes = kwargs.pop("_col_nodes", None)
        super().__init__(*args, **kwargs)
        object.__setattr__(self, "_tracker", tracker)
        object.__setattr__(self, "_col_prov", {} if col_prov is None else col_prov)
        object.__setattr__(self, "_col_nodes", {} if col_nodes is None else col_nodes)

    @property
    def _constructor(self):
        return DAGTrackedDataFrame

    @property
    def _constructor_sliced(self):
        return DAGTrackedSeries

    def __getitem__(self, key):
        """pandas selection; a selected column comes back as a nameless
        ``DAGTrackedSeries`` with copies of the column's words and node ids.

        Stored arrays whose length no longer matches the column give every
        element their first entry; columns without stored arrays get zero
        words and no nodes (-1).
        """
        result = super().__getitem__(key)
        if not isinstance(result, pd.Series):
            return result
        n = len(result)
        hashable = _hashable_key(key)
        prov = self._col_prov.get(key) if hashable else None
        nodes = self._col_nodes.get(key) if hashable else None
        if prov is None:
            prov = np.zeros(n, dtype=np.uint32)
        elif len(prov) != n:
            prov = np.full(n, prov[0], dtype=np.uint32) if len(prov) else np.zeros(n, dtype=np.uint32)
        else:
            prov = np.array(prov, copy=True)
        if nodes is None:
            nodes = np.full(n, NO_NODE, dtype=np.int64)
        elif len(nodes) != n:
            nodes = (np.full(n, nodes[0], dtype=np.int64) if len(nodes)
                     else np.full(n, NO_NODE, dtype=np.int64))
        else:
            nodes = np.array(nodes, copy=True)
        return DAGTrackedSeries(result.values, index=result.index, _prov=prov,
                                _tracker=self._tracker, _node_ids=nodes)

    def __setitem__(self, key, value):
        """pandas assignment; a ``DAGTrackedSeries`` value also stores copies
        of its words and node ids for the column."""
        super().__setitem__(key, value)
        if isinstance(value, DAGTrackedSeries):
            col_prov, col_nodes = self._col_prov, self._col_nodes
            if not isinstance(col_prov, dict):
                col_prov = dict(col_prov)
                object.__setattr__(self, "_col_prov", col_prov)
            if not isinstance(col_nodes, dict):
                col_nodes = dict(col_nodes)
                object.__setattr__(self, "_col_nodes", col_nodes)
            col_prov[key] = _copy_array(value._prov)
            col_nodes[key] = _copy_array(value._node_ids)

    def _merge_col_provenance(self, col_prov, col_nodes, result_columns, n, out_prov, out_nodes):
        """Carry one side's column words and nodes into a merge result: every
        row gets the column's first word advanced by MERGE and one "merge"
        node whose input is the column's first node.  Fills ``out_prov`` and
        ``out_nodes`` in place; a column already carried is left alone."""
        tracker = self._tracker
        for col, prov in col_prov.items():
            if col not in result_columns or col in out_prov:
                continue
            first = int(prov[0]) if len(prov) else 0
            merged = tracker.update_chain(first, OpCode.MERGE) if tracker else first
            out_prov[col] = np.full(n, merged, dtype=np.uint32)
            if tracker:
                src_nodes = col_nodes.get(col) if col in col_nodes else None
                src = int(src_nodes[0]) if src_nodes is not None and len(src_nodes) else NO_NODE
                if src >= 0:
                    merge_node = tracker.log_unary("merge", src, merged)
                    out_nodes[col] = np.full(n, merge_node, dtype=np.int64)

    def merge(self, right, *args, **kwargs):
        """pandas merge; carried columns get the merged word and a "merge"
        node per column and side (the left side wins a shared column)."""
        result = pd.DataFrame.merge(self, right, *args, **kwargs)
        merged_prov: dict = {}
        merged_nodes: dict = {}
        n = len(result)
        result_columns = set(result.columns)
        self._merge_col_provenance(self._col_prov, self._col_nodes, result_columns, n,
                                   merged_prov, merged_nodes)
        if isinstance(right, DAGTrackedDataFrame):
            self._merge_col_provenance(right._col_prov, right._col_nodes, result_columns, n,
                                       merged_prov, merged_nodes)
        return DAGTrackedDataFrame(result, _tracker=self._tracker, _col_prov=merged_prov,
                                   _col_nodes=merged_nodes)


# -- wrap_dataframe_dag ----------------------------------------------------

_ENTITY_MOD = 1 << MODE_01_ENTITY_BITS


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
        if row_dtype != object:
            return None
    elif row_dtype != object:
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
    if include_entity and vortel32._hash_entity is not _STOCK_HASH_ENTITY:
        return False
    columns = df.columns
    if isinstance(columns, pd.MultiIndex) or not columns.is_unique:
        return False
    return all(_safe_label(c) for c in columns)


def _row_entities(index, include_entity) -> np.ndarray:
    """Entity byte of every row label, as the per-cell path computes it."""
    n = len(index)
    if not include_entity:
        return np.zeros(n, dtype=np.uint32)
    dtype = index.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "i":
        labels = index.to_numpy(dtype=np.int64)
    elif isinstance(dtype, np.dtype) and dtype.kind == "u":
        labels = index.to_numpy(dtype=np.uint64)
    else:
        labels = [index[i] for i in range(n)]
    return np.asarray(vortel32.hash_entities(labels), dtype=np.uint32)


def wrap_dataframe_dag(df, tracker, table, protected=False, include_entity=True):
    """Wrap a DataFrame for DAG-tracked provenance.

    Registers every column of ``df`` as a (``table``, column) source pair,
    creates one SOURCE node per column, gives every cell a source word
    (tainted in protected columns) and offers every cell value to the
    tracker's row-value recorder.  ``protected`` is a list, tuple or set of
    column names (compared by text) or any other value whose truth protects
    every column.

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), t, "t", ["a"])
    >>> f._col_nodes["b"].tolist(), t.get_node(0).is_protected
    ([1, 1], True)
    """
    check_exact(table, "table", str)
    result = DAGTrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    names = {str(c) for c in protected} if isinstance(protected, (list, tuple, set)) else None
    col_prov, col_nodes = result._col_prov, result._col_nodes
    if _wrap_bulk_ok(tracker, df, include_entity):
        _wrap_columns_bulk(df, tracker, table, protected, names, include_entity, col_prov, col_nodes)
        return result
    index = df.index
    for col in df.columns:
        name = str(col)
        flag = (name in names) if names is not None else protected
        pair_id = tracker.register(table, name, flag)
        is_protected = tracker.is_protected(table, name)
        prov_arr = np.zeros(n, dtype=np.uint32)
        node_arr = np.full(n, NO_NODE, dtype=np.int64)
        operation = table + "." + name
        for i in range(n):
            entity = tracker.entity_from_row(index[i]) if include_entity else 0
            entity = entity % _ENTITY_MOD
            prov = tracker.encode({pair_id}, entity=entity, chain=0, taint=is_protected, depth=0)
            prov_arr[i] = prov
            node_arr[i] = tracker.create_source_node(table, name, prov)
            try:
                raw_val = df.iloc[i][col]
                if isinstance(raw_val, float) and raw_val != raw_val:
                    continue
                tracker.record_row_value(i, int(prov), operation, raw_val, column_name=name)
            except Exception:
                pass
        col_prov[col] = prov_arr
        col_nodes[col] = node_arr
    return result


def _wrap_columns_bulk(df, tracker, table, protected, names, include_entity, col_prov, col_nodes):
    """``wrap_dataframe_dag`` for a stock, memory-only tracker: one codec
    call per column for the words, one source node per column, and the row
    values that the recorder would keep, built at the end (also when a later
    column fails, so the recorded state matches the per-cell path)."""
    n = len(df)
    entities = None
    pending = []  # (column position, words, operation, column name)
    try:
        for j, col in enumerate(df.columns):
            name = str(col)
            flag = (name in names) if names is not None else protected
            pair_id = tracker.register(table, name, flag)
            is_protected = tracker.is_protected(table, name)
            if entities is None:
                entities = _row_entities(df.index, include_entity)
            words = np.asarray(
                vortel32.encode_source_column(tracker._rust, pair_id, entities, bool(is_protected)),
                dtype=np.uint32)
            if n:
                source = tracker.create_source_node(table, name, int(words[0]))
                nodes = np.full(n, source, dtype=np.int64)
                pending.append((j, words, table + "." + name, name))
            else:
                nodes = np.full(0, NO_NODE, dtype=np.int64)
            col_prov[col] = words
            col_nodes[col] = nodes
    finally:
        if pending:
            _record_wrapped_values(df, tracker, pending)


def _record_wrapped_values(df, tracker, pending) -> None:
    """Row values of the wrapped columns, as the per-cell path offers them."""
    by_column = _row_values_by_column(df)
    if by_column is not None:
        groups = [_ValueGroup(by_column[j], words, operation, name)
                  for j, words, operation, name in pending]
        if _append_row_values(tracker, groups):
            return
    columns = df.columns
    for j, words, operation, name in pending:
        col = columns[j]
        for i in range(len(words)):
            try:
                raw_val = df.iloc[i][col]
                if isinstance(raw_val, float) and raw_val != raw_val:
                    continue
                tracker.record_row_value(i, int(words[i]), operation, raw_val, column_name=name)
            except Exception:
                pass


# ---------------------------------------------------------------------------
# DAG audits
# ---------------------------------------------------------------------------

_NO_SERIES = "No tracker or empty series"


def get_dag_for_series(series, row_index: int = 0):
    """The computation graph behind row position ``row_index`` of a
    DAG-tracked series (negative positions count from the end), or None when
    the series has no tracker or node ids, or that row has no node.

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "t")
    >>> get_dag_for_series(f["a"] * f["a"], -1).depth
    1
    """
    row_index = as_int(row_index, "row_index")
    tracker = getattr(series, "_tracker", None)
    if not tracker or not hasattr(series, "_node_ids"):
        return None
    node_ids = series._node_ids
    if row_index >= len(node_ids) or row_index < -len(node_ids):
        return None
    node_id = int(node_ids[row_index])
    if node_id < 0:
        return None
    return tracker.get_dag(node_id)


def dag_audit(series, row_index: int = 0) -> dict:
    """Audit report of row position ``row_index``: the decoded word, its
    source columns and risk, and (when the row has a node) a summary of the
    graph behind it under "dag".

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "people", ["a"])
    >>> report = dag_audit(f["a"])
    >>> report["taint"], report["dag"]["sources"]
    (True, [('people', 'a')])
    """
    row_index = as_int(row_index, "row_index")
    tracker = getattr(series, "_tracker", None)
    if not tracker or len(series) == 0:
        return {"error": _NO_SERIES}
    word = int(series._prov[row_index])
    info = tracker.decode_full(word)
    dag = get_dag_for_series(series, row_index)
    report = {
        "provenance": f"0x{word:08X}",
        "mode": tracker.get_mode(word),
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(word),
        "tables": tracker.explain_tables(word),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(word),
        "has_protected": tracker.has_protected(word),
    }
    if dag is not None:
        report["dag"] = {
            "depth": dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": [(node.table, node.column) for node in dag.source_nodes],
            "protected_sources": [(node.table, node.column) for node in dag.protected_sources],
        }
    return report


def combine_provenances(tracker, node_ids, op_code=None) -> int:
    """One word for the nodes ``node_ids``: the first known node's word,
    combined in order with each further known node's word under ``op_code``
    (default ``OpCode.CUSTOM``).  Unknown or evicted ids are skipped; 0 when
    none is known.

    >>> t = DAGTracker()
    >>> combine_provenances(t, [0, 1])
    0
    """
    op_code = OpCode.CUSTOM if op_code is None else as_int(op_code, "op_code")
    result = 0
    for node_id in node_ids:
        node = tracker.get_node(node_id)
        if node is None:
            continue
        if result == 0:
            result = node.provenance
        else:
            result = tracker.combine(result, node.provenance, op_code)
    return result
