"""Entry points the tracked classes call (one per pandas hook), and the
methods both families gain for row-following trackers."""
from __future__ import annotations

import contextvars
import inspect
import sys
from typing import Any

import numpy as np
import pandas as pd

from morvel._rows import concat, lineage, merge
from morvel._rows.align import align_operands, needs_alignment
from morvel._rows.core import (
    IDENTITY,
    NO_NODE,
    family_for,
    family_of,
    follow_frame,
    follow_series,
    follows,
    result_name,
    row_positions,
    series_to_frame,
    take,
    warn_fallback,
)
from morvel._rows.core import _fit as _fitted
from morvel._rows.groupby import RowGroupBy, RowWindow, key_columns

# Set while a method that knows the exact source positions of its result's
# rows (take, a boolean mask) lets pandas build the result: the mapping by
# label is skipped, the method lays the arrays itself afterwards.
_POSITIONS_KNOWN: contextvars.ContextVar[bool] = contextvars.ContextVar(
    "morvel_rows_positions_known", default=False)


def finalize_series(out: Any, other: Any, method: str | None) -> bool:
    """Row-following part of a tracked Series' ``__finalize__``; False when
    the tracker does not follow rows (the caller keeps its own behaviour)."""
    if _POSITIONS_KNOWN.get():
        return follows(getattr(out, "_tracker", None))
    fam = family_of(out)
    if fam is None:
        return False
    if method == "concat":
        return concat.finalize_series(fam, out, other)
    if not follows(getattr(out, "_tracker", None)):
        return False
    follow_series(fam, out, other, method)
    return True


def finalize_frame(out: Any, other: Any, method: str | None) -> bool:
    """Row-following part of a tracked DataFrame's ``__finalize__``."""
    if _POSITIONS_KNOWN.get():
        return follows(getattr(other, "_tracker", None))
    fam = family_of(out)
    if fam is None:
        return False
    if method == "concat":
        return concat.finalize_frame(fam, out, other)
    if method == "merge":
        left = getattr(other, "left", None)
        if follows(getattr(left, "_tracker", None)):
            warn_fallback("pd.merge() hands its row mapping to no one; call "
                          "left.merge(right, ...) to keep row-exact words")
        return False
    if not follows(getattr(other, "_tracker", None)):
        return False
    if isinstance(other, pd.Series):
        series_to_frame(fam, out, other)
        return True
    follow_frame(fam, out, other, method)
    return True


def binop_operands(left: Any, right: Any, comparison: bool) -> tuple[Any, Any, bool]:
    """The operands of a two-operand element operation, aligned by label as
    pandas aligns them when ``left`` follows rows and the indexes differ,
    and whether they were."""
    if follows(left._tracker) and needs_alignment(left, right):
        return (*align_operands(left, right, comparison), True)
    return left, right, False


def complete_aligned(out: Any, left: Any, right: Any, op_name: str) -> Any:
    """Lineage of an aligned result: an element whose one operand was
    missing (no row with its label on that side) gets a node whose only
    input is the other operand's node."""
    fam = family_of(out)
    tracker = out._tracker
    if fam is None or not fam.lineage or tracker is None or len(out) == 0:
        return out
    lfam, rfam = family_of(left), family_of(right)
    ln = lfam.series_arrays(left)[1] if lfam is not None and lfam.lineage else None
    rn = rfam.series_arrays(right)[1] if rfam is not None and rfam.lineage else None
    if ln is None or rn is None:
        return out  # a plain operand: no nodes are logged at all
    nodes = np.array(out._node_ids, dtype=np.int64, copy=True)
    single = (nodes < 0) & ((ln >= 0) != (rn >= 0))
    if not single.any():
        return out
    sel = np.flatnonzero(single)
    present = np.where(ln[sel] >= 0, ln[sel], rn[sel])
    nodes[sel] = lineage.log_elements(tracker, "BINARY", op_name,
                                      np.asarray(out._prov, dtype=np.uint32)[sel], present)
    object.__setattr__(out, "_node_ids", nodes)
    return out


def name_result(out: Any, left: Any, right: Any) -> Any:
    """Give a row-following result the name pandas would give it."""
    if follows(left._tracker):
        object.__setattr__(out, "_name", result_name(left, right))
    return out


def keeps_name(frame: Any) -> bool:
    """True when a column selected from ``frame`` keeps its label as name."""
    return follows(frame._tracker)


def assigned_arrays(frame: Any, key: Any, value: Any) -> tuple | None:
    """Words and nodes stored for ``frame[key] = value`` on a row-following
    frame: a tracked series' arrays re-laid on the frame's rows as pandas
    aligned its values; None for anything else (its words are unknown)."""
    fam = family_of(value)
    if fam is None or not isinstance(value, fam.series):
        return None
    prov, nodes = fam.series_arrays(value)
    if len(value) == len(frame) and (value.index is frame.index or value.index.equals(frame.index)):
        return prov, nodes
    pos = row_positions(value.index, frame.index)
    if pos is None:
        warn_fallback("the assigned series has a duplicated index")
        return None
    if pos is IDENTITY:
        pos = np.arange(len(frame), dtype=np.int64)
    return take(prov, pos, 0), (None if nodes is None else take(nodes, pos, NO_NODE))


def merge_frames(left: Any, right: Any, args: tuple, kwargs: dict) -> Any:
    """Row-exact ``left.merge(right, *args, **kwargs)``."""
    return merge.merge(family_for(left), left, right, args, kwargs)


def assign_rows(frame: Any, key: Any, value: Any) -> bool:
    """Bookkeeping of ``frame[key] = value`` on a row-following frame (after
    pandas' assignment): a tracked series' arrays re-laid on the frame's
    rows, anything else drops the column's arrays (its words are unknown).
    The frame gets dictionaries of its own (derived frames share the
    source's).  False when the frame does not follow rows."""
    if not follows(frame._tracker):
        return False
    try:
        hash(key)
    except TypeError:
        return True
    fam = family_for(frame)
    col_prov = dict(frame._col_prov)
    col_nodes = dict(frame._col_nodes) if fam.lineage else None
    arrays = assigned_arrays(frame, key, value)
    if arrays is None:
        col_prov.pop(key, None)
        if col_nodes is not None:
            col_nodes.pop(key, None)
    else:
        col_prov[key] = arrays[0]
        if col_nodes is not None:
            col_nodes[key] = arrays[1] if arrays[1] is not None else np.full(
                len(frame), NO_NODE, dtype=np.int64)
    fam.set_frame_arrays(frame, col_prov, col_nodes)
    return True


def _from_pandas() -> bool:
    """True when the caller of the method calling this is pandas' own code:
    pandas' methods group and roll internally and need its own objects."""
    return sys._getframe(2).f_globals.get("__name__", "").startswith("pandas.")


def _with_positions(obj: Any, pos: np.ndarray, build: Any) -> Any:
    """``build()`` (a pandas call whose result holds the rows of ``obj`` at
    positions ``pos``, in order, or those a boolean mask ``pos`` keeps) with
    the words and nodes laid by position."""
    token = _POSITIONS_KNOWN.set(True)
    try:
        out = build()
    finally:
        _POSITIONS_KNOWN.reset(token)
    fam = family_of(obj)
    count = int(np.count_nonzero(pos)) if pos.dtype == bool else len(pos)
    if fam is None or len(out) != count or not isinstance(out, (fam.series, fam.frame)):
        return out
    if isinstance(obj, pd.Series):
        prov, nodes = fam.series_arrays(obj)
        fam.set_series_arrays(out, prov[pos], None if nodes is None else nodes[pos])
        return out
    cols = out.columns
    n = len(obj)
    col_prov = {c: _fitted(a, n, np.uint32, 0)[pos] for c, a in obj._col_prov.items() if c in cols}
    col_nodes = None
    if fam.lineage:
        col_nodes = {c: _fitted(a, n, np.int64, NO_NODE)[pos]
                     for c, a in obj._col_nodes.items() if c in cols}
    fam.set_frame_arrays(out, col_prov, col_nodes)
    return out


def _row_axis(axis: Any) -> bool:
    return axis in (0, "index", "rows")


class RowsMixin:
    """Methods both tracked families gain; they change nothing unless the
    object's tracker follows rows."""

    _tracker: Any = None

    def take(self, indices: Any, axis: Any = 0, **kwargs: Any) -> Any:
        # Inside an outer call that lays the words itself (a boolean mask)
        # nothing is laid here.
        if not follows(self._tracker) or not _row_axis(axis) or _POSITIONS_KNOWN.get():
            return super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]
        pos = np.asarray(indices, dtype=np.int64)
        if pos.ndim != 1:
            return super().take(indices, axis=axis, **kwargs)  # type: ignore[misc]
        n = len(self)  # type: ignore[arg-type]
        pos = np.where(pos < 0, pos + n, pos)
        return _with_positions(self, pos, lambda: super(RowsMixin, self).take(  # type: ignore[misc]
            indices, axis=axis, **kwargs))

    def _slice(self, slobj: slice, axis: Any = 0, *args: Any, **kwargs: Any) -> Any:
        # pandas' positional row slices (iloc[a:b], head, tail).
        if not follows(self._tracker) or axis != 0 or _POSITIONS_KNOWN.get():
            return super()._slice(slobj, axis, *args, **kwargs)  # type: ignore[misc]
        pos = np.arange(len(self), dtype=np.int64)[slobj]  # type: ignore[arg-type]
        return _with_positions(self, pos, lambda: super(RowsMixin, self)._slice(  # type: ignore[misc]
            slobj, axis, *args, **kwargs))

    def groupby(self, *args: Any, **kwargs: Any) -> Any:
        gb = super().groupby(*args, **kwargs)  # type: ignore[misc]
        if not follows(self._tracker) or _from_pandas():
            return gb
        by = kwargs.get("by", args[0] if args else None)
        return RowGroupBy(family_for(self), self, gb, key_columns(self, by))

    def rolling(self, *args: Any, **kwargs: Any) -> Any:
        win = super().rolling(*args, **kwargs)  # type: ignore[misc]
        if not follows(self._tracker) or _from_pandas():
            return win
        return RowWindow(family_for(self), self, win, "rolling")

    def expanding(self, *args: Any, **kwargs: Any) -> Any:
        win = super().expanding(*args, **kwargs)  # type: ignore[misc]
        if not follows(self._tracker) or _from_pandas():
            return win
        return RowWindow(family_for(self), self, win, "expanding")


def _by_position(name: str) -> Any:
    """Method ``name`` of pandas that, on a duplicated index, runs on a
    temporary positional index (so that every result row names its source
    position) and gets the original labels back."""
    def method(self: Any, *args: Any, **kwargs: Any) -> Any:
        plain = getattr(pd.Series if isinstance(self, pd.Series) else pd.DataFrame, name)
        if not follows(self._tracker) or kwargs.get("inplace") or self.index.is_unique:
            return plain(self, *args, **kwargs)
        ignore_index = kwargs.pop("ignore_index", False)
        n = len(self)
        positional = _with_positions(self, np.arange(n, dtype=np.int64),
                                     lambda: self.set_axis(pd.RangeIndex(n), axis=0))
        out = plain(positional, *args, **kwargs)
        if isinstance(out, (pd.Series, pd.DataFrame)):
            if ignore_index:
                out.index = pd.RangeIndex(len(out))
            else:
                out.index = self.index[out.index.to_numpy(dtype=np.int64)]
        return out
    method.__name__ = name
    method.__doc__ = (f"pandas ``{name}``; on a duplicated index, words and nodes still "
                      "follow their rows.")
    return method


for _name in ("sort_values", "nlargest", "nsmallest", "drop_duplicates", "dropna"):
    setattr(RowsMixin, _name, _by_position(_name))
del _name


class RowsSeriesMixin(RowsMixin):
    """Series methods gained for row-following trackers."""

    def __getitem__(self, key: Any) -> Any:
        if follows(self._tracker) and not _POSITIONS_KNOWN.get() and _is_row_mask(self, key):
            # Positions, not the mask: taking sorted positions is faster
            # than compressing by a scattered mask, and there are many columns.
            mask = np.flatnonzero(np.asarray(key, dtype=bool))
            return _with_positions(
                self, mask, lambda: super(RowsSeriesMixin, self).__getitem__(key))  # type: ignore[misc]
        return super().__getitem__(key)  # type: ignore[misc]


def select_rows(frame: Any, key: Any, build: Any) -> Any:
    """``frame[key]`` by ``build()``; for a boolean row mask of a
    row-following frame the words are compressed by the mask directly."""
    if follows(frame._tracker) and not _POSITIONS_KNOWN.get() and _is_row_mask(frame, key):
        return _with_positions(frame, np.flatnonzero(np.asarray(key, dtype=bool)), build)
    return build()


def _is_row_mask(s: Any, key: Any) -> bool:
    """True for a boolean mask that selects rows by position: a boolean
    array of the object's length, or a boolean Series on the same index."""
    if isinstance(key, pd.Series):
        if key.dtype != bool or not (key.index is s.index or key.index.equals(s.index)):
            return False
        return True
    return isinstance(key, np.ndarray) and key.dtype == bool and key.shape == (len(s),)


class RowsFrameMixin(RowsMixin):
    """Frame methods gained for row-following trackers."""

    def join(self, other: Any, *args: Any, **kwargs: Any) -> Any:
        if follows(self._tracker) and isinstance(other, (pd.DataFrame, pd.Series)) \
                and not _from_pandas():
            params = _JOIN_SIG.bind(self, other, *args, **kwargs).arguments
            suffixes = params.get("suffixes")
            if suffixes is None:  # the separate keywords of older pandas
                suffixes = (params.get("lsuffix", ""), params.get("rsuffix", ""))
            return merge.join(family_for(self), self, other, params.get("on"),
                              params.get("how", "left"), suffixes[0], suffixes[1],
                              params.get("sort", False), params.get("validate"))
        return super().join(other, *args, **kwargs)  # type: ignore[misc]


_JOIN_SIG = inspect.signature(pd.DataFrame.join)
