"""The DAG-tracked family: ``DAGTrackedSeries``, ``DAGTrackedDataFrame``
and ``wrap_dataframe_dag``."""
from __future__ import annotations

import logging
import types as _types
from typing import Any

import numpy as np
import pandas as pd

from morvel._rows import hooks as _rows_hooks
from morvel._rows import register_family as _register_rows_family
from morvel.utilities._argcheck import as_int, check_exact
from morvel.utilities._dag import bulk
from morvel.utilities._dag.bulk import NO_NODE
from morvel.utilities._dag.values import _offer_cell, _offer_value
from morvel.utilities._frames.base import (
    _column_array,
    _copy_array,
    _label_entities,
    _protection,
    _TrackedFrameBase,
    _TrackedSeriesBase,
)
from morvel.utilities._word.layout import MODE_01_ENTITY_BITS, OpCode

logger = logging.getLogger("morvel.utilities.vortel32_dag")

def _new_series(values, index, prov, tracker, node_ids) -> "DAGTrackedSeries":
    return DAGTrackedSeries(values, index=index, _prov=prov, _tracker=tracker, _node_ids=node_ids)


class DAGTrackedSeries(_TrackedSeriesBase):
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

    @property
    def _constructor_expanddim(self):
        # Frames made from a row-following series (to_frame, concat along
        # columns) stay tracked; otherwise pandas' plain DataFrame.
        return DAGTrackedDataFrame if _rows_hooks.follows(self._tracker) else pd.DataFrame

    # -- logged element operations -----------------------------------------

    def _tracked_binary(self, other, op, op_name, op_code):
        return self._binop_dag(other, op, op_name, op_code)

    def _tracked_unary(self, op, op_name, op_code):
        return self._unop_dag(op, op_name, op_code)

    def _untracked(self, result, index) -> "DAGTrackedSeries":
        """A result without logging: copies of this series' words and ids."""
        return _new_series(result, index, _copy_array(self._prov), self._tracker,
                           _copy_array(self._node_ids))

    def _binop_dag(self, other, op, op_name: str, op_code: int) -> "DAGTrackedSeries":
        """Apply the two-operand element operation ``op`` to the raw values
        (by position, no index alignment) and, when both operands are
        DAG-tracked and a tracker is present, combine the words element by
        element and log one BINARY node per element (left input: this
        series' node) and offer each result value to the recorder.

        >>> t = DAGTracker()
        >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), t, "t")
        >>> (f["a"] + f["b"])._node_ids.tolist()
        [2, 3]
        """
        check_exact(op_name, "op_name", str)
        op_code = as_int(op_code, "op_code")
        b = other.values if hasattr(other, "values") else other
        # As pandas does: division by zero gives inf / nan without a RuntimeWarning.
        with np.errstate(all="ignore"):
            result = op(self.values, b)
        tracker = self._tracker
        if not isinstance(other, DAGTrackedSeries) or tracker is None:
            return self._untracked(result, self.index)
        logged = bulk.log_binary(tracker, result, op_name, op_code, self._prov, self._node_ids,
                                 other._prov, other._node_ids)
        if logged is not None:
            return _new_series(result, self.index, logged[0], tracker, logged[1])
        n = len(result)
        sp, sn, op_, on = self._prov, self._node_ids, other._prov, other._node_ids
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
            _offer_value(record, result, i, p, op_name)
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
        return self._log_unary_steps(result, self.index, op_name, op_code)

    def _log_unary_steps(self, result, index, op_name, op_code):
        return _rows_hooks.name_result(self._logged_unary(result, index, op_name, op_code),
                                       self, None)

    def _logged_unary(self, result, index, op_name, op_code):
        tracker = self._tracker
        if tracker is None:
            return self._untracked(result, index)
        logged = bulk.log_unary(tracker, result, op_name, op_code, self._prov, self._node_ids)
        if logged is not None:
            return _new_series(result, index, logged[0], tracker, logged[1])
        n = len(result)
        sp, sn = self._prov, self._node_ids
        words = np.zeros(n, dtype=np.uint32)
        nodes = np.full(n, NO_NODE, dtype=np.int64)
        record = tracker.record_row_value
        len_p, len_n = len(sp), len(sn)
        for i in range(n):
            pa = int(sp[i]) if i < len_p else 0
            words[i] = tracker.update_chain(pa, op_code)
            w = int(words[i])
            na = int(sn[i]) if i < len_n else NO_NODE
            if na >= 0:
                nodes[i] = tracker.log_unary(op_name, na, w)
            _offer_value(record, result, i, w, op_name)
        return _new_series(result, index, words, tracker, nodes)

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
        return self._log_unary_steps(result_values, result_index, op_name, op_code)

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


class DAGTrackedDataFrame(_TrackedFrameBase):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata = ["_tracker", "_col_prov", "_col_nodes"]
    # Defaults for objects pandas builds without __init__; read-only so
    # that nothing writes into a dictionary shared by every such object.
    _tracker = None
    _col_prov: Any = _types.MappingProxyType({})
    _col_nodes: Any = _types.MappingProxyType({})

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
        return self._select(key)

    def _column_result(self, key, result, keep_name):
        n = len(result)
        prov = _column_array(self._stored(self._col_prov, key), n, 0, np.uint32)
        nodes = _column_array(self._stored(self._col_nodes, key), n, NO_NODE, np.int64)
        name = result.name if keep_name else None
        return DAGTrackedSeries(result.values, index=result.index, name=name, _prov=prov,
                                _tracker=self._tracker, _node_ids=nodes)

    def __setitem__(self, key, value):
        """pandas assignment; a ``DAGTrackedSeries`` value also stores copies
        of its words and node ids for the column."""
        super().__setitem__(key, value)
        if self._assigned_rows(key, value):
            return
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

    def _merge_column(self, side, col, words, n, out_prov, out_nodes) -> None:
        # Every row gets the column's first word advanced by MERGE and one
        # "merge" node whose input is the column's first node.
        tracker = self._tracker
        first = int(words[0]) if len(words) else 0
        merged = tracker.update_chain(first, OpCode.MERGE) if tracker else first
        out_prov[col] = np.full(n, merged, dtype=np.uint32)
        if tracker:
            col_nodes = side._col_nodes
            src_nodes = col_nodes.get(col) if col in col_nodes else None
            src = int(src_nodes[0]) if src_nodes is not None and len(src_nodes) else NO_NODE
            if src >= 0:
                merge_node = tracker.log_unary("merge", src, merged)
                out_nodes[col] = np.full(n, merge_node, dtype=np.int64)

    def merge(self, right, *args, **kwargs):
        """pandas merge; carried columns get the merged word and a "merge"
        node per column and side (the left side wins a shared column).  A
        row-following tracker gives every output element its source
        element's word and a node of its own whose inputs are the elements
        it came from."""
        if _rows_hooks.follows(self._tracker):
            return _rows_hooks.merge_frames(self, right, args, kwargs)
        result = pd.DataFrame.merge(self, right, *args, **kwargs)
        merged_prov, merged_nodes = self._merged_arrays(right, result)
        return DAGTrackedDataFrame(result, _tracker=self._tracker, _col_prov=merged_prov,
                                   _col_nodes=merged_nodes)


_register_rows_family(DAGTrackedSeries, DAGTrackedDataFrame, lineage=True)


# -- wrap_dataframe_dag ----------------------------------------------------

_ENTITY_MOD = 1 << MODE_01_ENTITY_BITS


def _row_entities(index, include_entity) -> np.ndarray:
    """Entity byte of every row label, as the per-cell path computes it."""
    if not include_entity:
        return np.zeros(len(index), dtype=np.uint32)
    return _label_entities(index)


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
    names = _protection(protected)
    col_prov, col_nodes = result._col_prov, result._col_nodes
    if bulk._wrap_bulk_ok(tracker, df, include_entity):
        try:
            entities = _row_entities(df.index, include_entity)
        except Exception as exc:
            # A row label that cannot be hashed: the per-cell path below
            # fails at that very cell, after the cells before it.
            logger.debug("row labels not hashed at once (%s): wrapping cell by cell", exc)
            entities = None
        if entities is not None:
            bulk._wrap_columns_bulk(df, tracker, table, protected, names, entities, col_prov,
                                    col_nodes)
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
            _offer_cell(tracker, df, i, col, prov, operation, name)
        col_prov[col] = prov_arr
        col_nodes[col] = node_arr
    return result


