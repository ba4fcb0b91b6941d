"""Group aggregations, transforms and windows whose results carry words.

Each aggregated value's word joins the words of the values it was computed
from: the group's members (or the window's rows) of the source column,
pairs united, entity and chain XOR, taint OR, depth max; then it takes the
aggregate's step once (depth + 1, AGG in the chain).  The join does not
depend on the members' order, so the same rows give the same word however
they are sorted, and a distributed reduction (``morvel.dask``) gives the
same words.  At lineage level every result value gets one ``AGGREGATE`` node
whose inputs are the members' nodes; ``transform`` gives each member its
group's word and node.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas.core.groupby import GroupBy

from morvel._rows import lineage
from morvel._rows.core import NO_NODE, Family, warn_fallback
from morvel.utilities import _hooks
from morvel.utilities._compat import window_bounds
from morvel.utilities._word.layout import reduce_groups, reduce_windows

OP_AGG = 11  # OpCode.AGG

_AGGREGATIONS = ("sum", "mean", "min", "max", "count", "std", "var", "median", "prod",
                 "first", "last", "nunique", "sem")


def _hashable(v: Any) -> bool:
    try:
        hash(v)
    except TypeError:
        return False
    return True


def key_columns(obj: Any, by: Any) -> list:
    """Labels among ``by`` that name columns of ``obj`` (a frame)."""
    if not isinstance(obj, pd.DataFrame) or by is None:
        return []
    keys = by if isinstance(by, list) else [by]
    return [k for k in keys if _hashable(k) and k in obj.columns]


class _Source:
    """Where result values come from: the grouped frame (or series), the
    selected column(s) and the key columns."""

    def __init__(self, fam: Family, obj: Any, selection: Any, key_cols: list) -> None:
        self.fam = fam
        self.obj = obj
        self.selection = selection
        self.key_cols = key_cols

    @property
    def single(self) -> bool:
        """True when one series is aggregated (a series, or one column)."""
        return isinstance(self.obj, pd.Series) or (
            self.selection is not None and not isinstance(self.selection, list))

    def arrays(self, col: Any) -> tuple[np.ndarray, np.ndarray | None] | None:
        """Words and nodes of the source of result column ``col`` (None: it
        has no source column)."""
        if isinstance(self.obj, pd.Series):
            return self.fam.series_arrays(self.obj)
        if _hashable(col) and col in self.key_cols:
            return self.fam.column_arrays(self.obj, col)
        if self.single:
            return self.fam.column_arrays(self.obj, self.selection)
        if _hashable(col) and col in self.obj.columns:
            return self.fam.column_arrays(self.obj, col)
        return None

    def keys(self) -> tuple[np.ndarray, np.ndarray | None] | None:
        """Words of the key columns combined per row (for ``size``)."""
        if not self.key_cols:
            if isinstance(self.obj, pd.Series):
                return self.fam.series_arrays(self.obj)
            return None
        tracker = self.obj._tracker
        prov, nodes = self.fam.column_arrays(self.obj, self.key_cols[0])
        for k in self.key_cols[1:]:
            p2, _ = self.fam.column_arrays(self.obj, k)
            combined = _hooks.word("combine_batch")(tracker._rust, prov, p2, OP_AGG)
            prov = np.asarray(combined, dtype=np.uint32)
        return prov, nodes


class RowGroupBy:
    """A pandas GroupBy of a row-following tracked object.

    Aggregations (``sum``, ``mean``, ..., ``size``, ``agg``) and ``transform``
    return tracked results with words (and nodes); anything else is pandas'
    own GroupBy method.
    """

    def __init__(self, fam: Family, obj: Any, gb: Any, key_cols: list,
                 selection: Any = None) -> None:
        object.__setattr__(self, "_fam", fam)
        object.__setattr__(self, "_obj", obj)
        object.__setattr__(self, "_gb", gb)
        object.__setattr__(self, "_key_cols", key_cols)
        object.__setattr__(self, "_selection", selection)
        object.__setattr__(self, "_codes_cache", None)
        object.__setattr__(self, "_words_memo", None)

    # -- plumbing -------------------------------------------------------

    def __getitem__(self, key: Any) -> RowGroupBy:
        return RowGroupBy(self._fam, self._obj, self._gb[key], self._key_cols, key)

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self._gb, name)
        if isinstance(attr, GroupBy) and isinstance(self._obj, pd.DataFrame) \
                and name in self._obj.columns:
            return RowGroupBy(self._fam, self._obj, attr, self._key_cols, name)
        return attr

    def __iter__(self) -> Any:
        return iter(self._gb)

    def __len__(self) -> int:
        return len(self._gb)

    def __repr__(self) -> str:
        return f"<row-following {self._gb!r}>"

    def _codes(self) -> tuple[np.ndarray, int]:
        cached = self._codes_cache
        if cached is None:
            arr = self._gb.ngroup().to_numpy()
            if arr.dtype.kind in "iu":
                codes = arr.astype(np.int64, copy=False)
            else:  # rows whose key is dropped are numbered NaN
                arr = np.asarray(arr, dtype=np.float64)
                codes = np.where(np.isnan(arr), -1, arr).astype(np.int64)
            cached = (codes, int(self._gb.ngroups))
            object.__setattr__(self, "_codes_cache", cached)
        return cached

    def _source(self) -> _Source:
        return _Source(self._fam, self._obj, self._selection, self._key_cols)

    # -- aggregations -----------------------------------------------------

    def _group_arrays(self, arrays: tuple, op_name: str) -> tuple[np.ndarray, np.ndarray | None]:
        """Per-group word (and AGGREGATE node) of one source column."""
        codes, ngroups = self._codes()
        prov, nodes = arrays
        tracker = self._obj._tracker
        # Several results of one call (agg(["mean", "count"])) reduce the
        # same column: its group words are computed once.
        memo = self._words_memo
        words = memo.get(id(prov)) if memo is not None else None
        if words is None or words[0] is not prov:
            words = (prov, np.asarray(reduce_groups(tracker._rust, prov, codes, ngroups, OP_AGG),
                                      dtype=np.uint32))
            if memo is not None:
                memo[id(prov)] = words
        words = words[1]
        gnodes = None
        if self._fam.lineage:
            if nodes is None:
                nodes = np.full(len(prov), NO_NODE, dtype=np.int64)
            gnodes = lineage.log_aggregates(tracker, op_name, words, nodes, codes, ngroups)
        return words, gnodes

    def _wrap(self, result: Any, op_name: str, named: dict | None = None,
              by_keys: bool = False) -> Any:
        object.__setattr__(self, "_words_memo", {})
        try:
            return self._wrap_words(result, op_name, named, by_keys)
        finally:
            object.__setattr__(self, "_words_memo", None)

    def _wrap_words(self, result: Any, op_name: str, named: dict | None,
                    by_keys: bool) -> Any:
        fam = self._fam
        tracker = self._obj._tracker
        _codes, ngroups = self._codes()
        if not isinstance(result, (pd.Series, pd.DataFrame)):
            return result
        if len(result) != ngroups:
            warn_fallback(f"groupby {op_name} returned {len(result)} rows for {ngroups} groups")
            return result
        src = self._source()
        if isinstance(result, pd.Series):
            arrays = src.keys() if by_keys else src.arrays(result.name)
            if arrays is None:
                arrays = src.keys() if by_keys else None
            if arrays is None:
                words = np.zeros(ngroups, dtype=np.uint32)
                nodes = np.full(ngroups, NO_NODE, dtype=np.int64) if fam.lineage else None
            else:
                words, nodes = self._group_arrays(arrays, op_name)
            return fam.make_series(result, result.index, result.name, tracker, words, nodes)
        col_prov: dict = {}
        col_nodes: dict | None = {} if fam.lineage else None
        for col in result.columns:
            arrays = self._column_source(src, col, named, by_keys)
            if arrays is None:
                continue
            words, nodes = self._group_arrays(arrays, op_name)
            col_prov[col] = words
            if col_nodes is not None:
                col_nodes[col] = nodes
        return fam.make_frame(result, tracker, col_prov, col_nodes)

    def _column_source(self, src: _Source, col: Any, named: dict | None, by_keys: bool) -> Any:
        if named and _hashable(col) and col in named:
            return src.arrays(named[col])
        if by_keys and col == "size":
            return src.keys()
        if isinstance(col, tuple) and col and not src.single:
            return src.arrays(col[0])
        return src.arrays(col)

    def _aggregate(self, name: str, *args: Any, **kwargs: Any) -> Any:
        return self._wrap(getattr(self._gb, name)(*args, **kwargs), name)

    def size(self) -> Any:
        return self._wrap(self._gb.size(), "size", by_keys=True)

    def agg(self, func: Any = None, *args: Any, **kwargs: Any) -> Any:
        """pandas ``agg`` (lists, dicts, named aggregation) with words."""
        named = None
        if func is None and kwargs:
            named = {k: v[0] for k, v in kwargs.items() if isinstance(v, tuple) and len(v) == 2}
        result = self._gb.agg(func, *args, **kwargs)
        return self._wrap(result, "agg", named)

    aggregate = agg

    def transform(self, func: Any, *args: Any, **kwargs: Any) -> Any:
        """pandas ``transform``; each member gets its group's word and node."""
        result = self._gb.transform(func, *args, **kwargs)
        fam = self._fam
        tracker = self._obj._tracker
        codes, _ngroups = self._codes()
        if not isinstance(result, (pd.Series, pd.DataFrame)) or len(result) != len(codes):
            return result
        src = self._source()
        missing = codes < 0
        op_name = f"transform_{func}" if isinstance(func, str) else "transform"

        def spread(arrays: Any) -> tuple[np.ndarray, np.ndarray | None]:
            words, nodes = self._group_arrays(arrays, op_name)
            w = words.take(codes, mode="clip")
            w[missing] = 0
            n = None
            if nodes is not None:
                n = nodes.take(codes, mode="clip")
                n[missing] = NO_NODE
            return w, n

        if isinstance(result, pd.Series):
            arrays = src.arrays(result.name)
            if arrays is None:
                return result
            w, n = spread(arrays)
            return fam.make_series(result, result.index, result.name, tracker, w, n)
        col_prov: dict = {}
        col_nodes: dict | None = {} if fam.lineage else None
        for col in result.columns:
            arrays = src.arrays(col)
            if arrays is None:
                continue
            w, n = spread(arrays)
            col_prov[col] = w
            if col_nodes is not None:
                col_nodes[col] = n
        return fam.make_frame(result, tracker, col_prov, col_nodes)


def _make_aggregation(name: str) -> Any:
    def method(self: RowGroupBy, *args: Any, **kwargs: Any) -> Any:
        return self._aggregate(name, *args, **kwargs)
    method.__name__ = name
    method.__doc__ = f"pandas ``{name}`` per group; each value's word combines its group's."
    return method


for _name in _AGGREGATIONS:
    setattr(RowGroupBy, _name, _make_aggregation(_name))


# ---------------------------------------------------------------------------
# rolling / expanding
# ---------------------------------------------------------------------------

_WINDOW_AGGREGATIONS = ("sum", "mean", "min", "max", "count", "std", "var", "median", "sem")


class RowWindow:
    """A pandas Rolling or Expanding of a row-following tracked object whose
    aggregations carry words (and nodes)."""

    def __init__(self, fam: Family, obj: Any, win: Any, kind: str) -> None:
        object.__setattr__(self, "_fam", fam)
        object.__setattr__(self, "_obj", obj)
        object.__setattr__(self, "_win", win)
        object.__setattr__(self, "_kind", kind)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._win, name)

    def __getitem__(self, key: Any) -> RowWindow:
        return RowWindow(self._fam, self._obj[key], self._win[key], self._kind)

    def __repr__(self) -> str:
        return f"<row-following {self._win!r}>"

    def _words(self, arrays: tuple, starts: np.ndarray, ends: np.ndarray,
               op_name: str) -> tuple[np.ndarray, np.ndarray | None]:
        tracker = self._obj._tracker
        prov, nodes = arrays
        words = np.asarray(reduce_windows(tracker._rust, prov, starts, ends, OP_AGG),
                           dtype=np.uint32)
        wnodes = None
        if self._fam.lineage:
            if nodes is None:
                nodes = np.full(len(prov), NO_NODE, dtype=np.int64)
            wnodes = lineage.log_windows(tracker, op_name, words, nodes, starts, ends)
        return words, wnodes

    def _aggregate(self, name: str, *args: Any, **kwargs: Any) -> Any:
        result = getattr(self._win, name)(*args, **kwargs)
        fam, obj = self._fam, self._obj
        tracker = obj._tracker
        starts, ends = window_bounds(self._win, len(obj))
        if len(starts) != len(result):
            warn_fallback(f"{self._kind} {name} returned rows that match no window")
            return result
        op_name = f"{self._kind}_{name}"
        if isinstance(result, pd.Series):
            w, n = self._words(fam.series_arrays(obj) if isinstance(obj, pd.Series)
                               else fam.column_arrays(obj, result.name), starts, ends, op_name)
            return fam.make_series(result, result.index, result.name, tracker, w, n)
        col_prov: dict = {}
        col_nodes: dict | None = {} if fam.lineage else None
        for col in result.columns:
            w, n = self._words(fam.column_arrays(obj, col), starts, ends, op_name)
            col_prov[col] = w
            if col_nodes is not None:
                col_nodes[col] = n
        return fam.make_frame(result, tracker, col_prov, col_nodes)


def _make_window_aggregation(name: str) -> Any:
    def method(self: RowWindow, *args: Any, **kwargs: Any) -> Any:
        return self._aggregate(name, *args, **kwargs)
    method.__name__ = name
    method.__doc__ = f"pandas ``{name}`` per window; each value's word combines its window's."
    return method


for _name in _WINDOW_AGGREGATIONS:
    setattr(RowWindow, _name, _make_window_aggregation(_name))
