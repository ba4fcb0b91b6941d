"""Families of tracked classes, per-element arrays and row mappings."""
from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

NO_NODE = -1

# Marker for "the result's rows are the source's rows, in order".
IDENTITY: Any = object()


class RowsFallbackWarning(UserWarning):
    """Row-following could not map a result's rows back to its source rows;
    the result keeps the directly-built behaviour (arrays as pandas copied
    them, first-word fallback on selection)."""


@dataclass(frozen=True)
class Family:
    """One family of tracked classes: a Series class, a DataFrame class and
    whether its elements carry lineage node ids besides their words."""

    # Typed loosely: isinstance checks against them must not narrow.
    series: Any
    frame: Any
    lineage: bool

    # -- Series ---------------------------------------------------------

    def series_arrays(self, s: Any) -> tuple[np.ndarray, np.ndarray | None]:
        """(words, node ids or None) of a tracked series, each one per
        element; a missing or short array reads as neutral."""
        n = len(s)
        prov = _fit(getattr(s, "_prov", None), n, np.uint32, 0)
        nodes = _fit(getattr(s, "_node_ids", None), n, np.int64, NO_NODE) if self.lineage else None
        return prov, nodes

    def set_series_arrays(self, s: Any, prov: np.ndarray, nodes: np.ndarray | None) -> None:
        object.__setattr__(s, "_prov", prov)
        if self.lineage:
            object.__setattr__(s, "_node_ids", nodes if nodes is not None
                               else np.full(len(prov), NO_NODE, dtype=np.int64))

    def make_series(self, values: Any, index: pd.Index, name: Any, tracker: Any,
                    prov: np.ndarray, nodes: np.ndarray | None) -> Any:
        """A tracked series of this family (``values`` may be a pandas Series)."""
        if isinstance(values, pd.Series):
            values = values.array
        out = self.series(values, index=index, name=name, copy=False)
        object.__setattr__(out, "_tracker", tracker)
        self.set_series_arrays(out, prov, nodes)
        return out

    # -- DataFrame --------------------------------------------------------

    def column_arrays(self, f: Any, col: Any) -> tuple[np.ndarray, np.ndarray | None]:
        """(words, node ids or None) of one column of a tracked frame."""
        n = len(f)
        try:
            prov = f._col_prov.get(col)
        except TypeError:
            prov = None
        prov = _fit(prov, n, np.uint32, 0)
        nodes = None
        if self.lineage:
            try:
                nodes = f._col_nodes.get(col)
            except TypeError:
                nodes = None
            nodes = _fit(nodes, n, np.int64, NO_NODE)
        return prov, nodes

    def set_frame_arrays(self, f: Any, col_prov: dict, col_nodes: dict | None) -> None:
        object.__setattr__(f, "_col_prov", col_prov)
        if self.lineage:
            object.__setattr__(f, "_col_nodes", col_nodes if col_nodes is not None else {})

    def make_frame(self, result: pd.DataFrame, tracker: Any, col_prov: dict,
                   col_nodes: dict | None) -> Any:
        """A tracked frame of this family holding ``result``'s data."""
        out = result if type(result) is self.frame else self.frame(result, copy=False)
        object.__setattr__(out, "_tracker", tracker)
        self.set_frame_arrays(out, col_prov, col_nodes)
        return out


_FAMILIES: list[Family] = []


def register_family(series: type, frame: type, lineage: bool) -> Family:
    """Declare a family of tracked classes (called once by each module that
    defines one)."""
    fam = Family(series, frame, lineage)
    _FAMILIES[:] = [f for f in _FAMILIES if f.series is not series] + [fam]
    return fam


def family_of(obj: Any) -> Family | None:
    """The family whose Series or DataFrame class ``obj`` is an instance of."""
    for fam in _FAMILIES:
        if isinstance(obj, (fam.series, fam.frame)):
            return fam
    return None


def family_for(obj: Any) -> Family:
    """The family of a tracked object (``TypeError`` for anything else)."""
    fam = family_of(obj)
    if fam is None:
        raise TypeError(f"{type(obj).__name__} is not a tracked Series or DataFrame")
    return fam


def follows(tracker: Any) -> bool:
    """True when ``tracker`` is present and built with ``follow_rows=True``."""
    return tracker is not None and bool(getattr(tracker, "_follow_rows", False))


def _fit(arr: Any, n: int, dtype: Any, fill: int) -> np.ndarray:
    """``arr`` as a one-dimensional ``dtype`` array of length n: a missing
    array, or one whose length no longer matches, reads as neutral."""
    if arr is None or len(arr) != n:
        return np.full(n, fill, dtype=dtype)
    arr = np.asarray(arr)
    return arr if arr.dtype == dtype else arr.astype(dtype)


def take(arr: np.ndarray, pos: Any, fill: int, missing: Any = True) -> np.ndarray:
    """``arr[pos]`` with ``fill`` where ``pos`` is negative (an element that
    has no source row); ``IDENTITY`` returns ``arr`` itself (arrays are never
    changed in place, so sharing is safe).  ``missing`` may carry the mask of
    negative positions (None: there are none) when the caller maps several
    arrays with one ``pos``."""
    if pos is IDENTITY:
        return arr
    if len(arr) == 0:
        return np.full(len(pos), fill, dtype=arr.dtype)
    if missing is True:
        missing = missing_of(pos)
    if missing is None:
        return arr[pos]
    out = arr.take(pos, mode="clip")
    out[missing] = fill
    return out


def missing_of(pos: np.ndarray) -> np.ndarray | None:
    """Mask of the negative positions of ``pos``, or None when there are none."""
    if len(pos) == 0 or pos.min() >= 0:
        return None
    return pos < 0


def warn_fallback(what: str) -> None:
    warnings.warn(
        f"row-following provenance: {what}; the result keeps positional words "
        "(the directly-built behaviour) instead of row-exact ones",
        RowsFallbackWarning, stacklevel=4)


def row_positions(source: pd.Index, result: pd.Index) -> Any:
    """Source position of every row of ``result``, -1 for rows that have no
    source row; ``IDENTITY`` when the rows are the source's, in order; None
    when the mapping cannot be known (a duplicated source index whose rows
    were selected or reordered).

    Rows are matched by label: a unique source index maps each result label
    back to its position in one vectorised lookup.  A result of the same
    length whose labels are all new (``set_axis``, ``set_index``, a relabel)
    keeps the rows in order.
    """
    if result is source:
        return IDENTITY
    n = len(result)
    if n == len(source) and result.equals(source):
        return IDENTITY
    if isinstance(source, pd.RangeIndex) and result.dtype.kind in "iu" and len(source):
        # Labels of a range are arithmetic: no hash table needed.
        vals = result.to_numpy(dtype=np.int64, copy=False)
        off = vals - source.start
        pos, rem = np.divmod(off, source.step)
        bad = (rem != 0) | (pos < 0) | (pos >= len(source))
        if bad.any():
            pos[bad] = -1
        if n == len(source) and n and bad.all():
            return IDENTITY
        return pos
    if source.is_unique:
        pos = source.get_indexer(result)
        if n == len(source) and n and (pos < 0).all():
            return IDENTITY
        return pos.astype(np.int64, copy=False)
    if n == len(source) and not source.isin(result).any():
        return IDENTITY
    return None


# Results of pandas methods whose rows are not source rows (statistics,
# group results built by pandas, reshapes): their elements get neutral words.
_NOT_ROWS = frozenset({
    "groupby", "value_counts", "describe", "mode", "corr", "cov", "dot", "melt",
    "count", "sum", "mean", "median", "min", "max", "std", "var", "quantile",
})


def follow_series(fam: Family, out: Any, other: Any, method: str | None) -> None:
    """Carry words (and nodes) of ``other`` onto ``out``, a series pandas
    just derived from it, row by row."""
    n = len(out)
    if method in _NOT_ROWS:
        fam.set_series_arrays(out, np.zeros(n, dtype=np.uint32), None)
        return
    if isinstance(other, pd.DataFrame):
        # A column taken out of a frame (items(), iloc[:, i], loc[:, c], ...).
        src = other.index
        if out.index is src or (len(src) == n and out.index.equals(src)):
            prov, nodes = fam.column_arrays(other, out.name)
        else:
            prov = np.zeros(n, dtype=np.uint32)
            nodes = None
        fam.set_series_arrays(out, prov, nodes)
        return
    if not isinstance(other, pd.Series):
        return
    pos = row_positions(other.index, out.index)
    if pos is IDENTITY and n == len(other):
        prov, nodes = fam.series_arrays(other)
    elif pos is None:
        warn_fallback("the source index is duplicated")
        return
    else:
        sp, sn = fam.series_arrays(other)
        if pos is IDENTITY:
            pos = np.arange(n, dtype=np.int64)
        missing = missing_of(pos)
        prov = take(sp, pos, 0, missing)
        nodes = take(sn, pos, NO_NODE, missing) if sn is not None else None
    fam.set_series_arrays(out, prov, nodes)


def follow_frame(fam: Family, out: Any, other: Any, method: str | None) -> None:
    """Carry the column words (and nodes) of ``other`` onto ``out``, a frame
    pandas just derived from it, row by row.  ``out`` gets dictionaries of its
    own, so later assignments never reach the source."""
    if method in _NOT_ROWS:
        fam.set_frame_arrays(out, {}, {} if fam.lineage else None)
        return
    if not isinstance(other, pd.DataFrame):
        return
    pos = row_positions(other.index, out.index)
    if pos is None:
        warn_fallback("the source index is duplicated")
        return
    cols = out.columns
    col_prov: dict = {}
    col_nodes: dict | None = {} if fam.lineage else None
    same_len = len(out) == len(other)
    src_nodes = getattr(other, "_col_nodes", {}) if fam.lineage else {}
    if pos is IDENTITY and not same_len:
        pos = np.arange(len(out), dtype=np.int64)
    missing = None if pos is IDENTITY else missing_of(pos)
    for col, arr in other._col_prov.items():
        if col not in cols:
            continue
        if pos is IDENTITY:
            col_prov[col] = arr
        else:
            col_prov[col] = take(_fit(arr, len(other), np.uint32, 0), pos, 0, missing)
    if col_nodes is not None:
        for col, arr in src_nodes.items():
            if col not in cols:
                continue
            if pos is IDENTITY:
                col_nodes[col] = arr
            else:
                col_nodes[col] = take(_fit(arr, len(other), np.int64, NO_NODE), pos, NO_NODE,
                                      missing)
    fam.set_frame_arrays(out, col_prov, col_nodes)


def series_to_frame(fam: Family, out: Any, other: Any) -> None:
    """Words (and nodes) of a one-column frame made from a tracked series."""
    if len(out.columns) != 1 or len(out) != len(other):
        return
    prov, nodes = fam.series_arrays(other)
    col = out.columns[0]
    fam.set_frame_arrays(out, {col: prov}, {col: nodes} if fam.lineage else None)


def result_name(left: Any, right: Any) -> Any:
    """Name of a binary result as pandas gives it: the left name, unless the
    right operand is a Series with another name."""
    name = getattr(left, "name", None)
    if isinstance(right, pd.Series):
        other = right.name
        if other is name:
            return name
        try:
            same = bool(other == name)
        except (TypeError, ValueError):
            same = False
        if not same:
            return None
    return name
