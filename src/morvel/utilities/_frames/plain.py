"""The word-tracked family: ``TrackedSeries``, ``TrackedDataFrame`` and
``wrap_dataframe``."""
from __future__ import annotations

import types
from typing import Any

import numpy as np
import pandas as pd
from pandas.core.internals.managers import SingleBlockManager

from morvel._rows import hooks as _rows_hooks
from morvel._rows import register_family as _register_rows_family
from morvel.utilities import _hooks
from morvel.utilities._argcheck import as_int, check_exact
from morvel.utilities._frames.base import (
    _EMPTY_WORDS,
    _column_array,
    _concat_inputs,
    _copy_words,
    _fresh,
    _hashable,
    _label_entities,
    _protection,
    _safe_operands,
    _TrackedFrameBase,
    _TrackedSeriesBase,
    _words,
    check_clip_keywords,
    start_combine,
    start_copy,
    start_update_chain,
)
from morvel.utilities._word.layout import MODE_01_ENTITY_BITS, OpCode
from morvel.utilities._word.tracker import ProvenanceTracker

# Kinds of numpy arrays that the Series constructor keeps exactly as they
# are (no inference, no unit or dtype conversion).
_PLAIN_KINDS = frozenset("biufc")


def _tracked(values, index, prov, tracker, adopt=False) -> "TrackedSeries":
    """A nameless ``TrackedSeries`` of ``values`` on ``index``.

    With ``adopt`` and a freshly allocated ndarray the values are taken
    without a copy; anything else (the result of a caller's own operation,
    which may be held elsewhere) is copied, under pandas 2 as well.
    """
    if isinstance(values, np.ndarray):
        copy = not (adopt and values.flags.owndata)
        if (not copy and values.ndim == 1 and values.dtype.kind in _PLAIN_KINDS
                and values.dtype.isnative and len(values) == len(index)):
            # A fresh numeric array, which the constructor would take as it
            # is: build its block directly and skip the constructor's checks.
            mgr = SingleBlockManager.from_array(values, index)
            out = TrackedSeries._from_mgr(mgr, axes=mgr.axes)  # type: ignore[attr-defined]  # pandas-private
            object.__setattr__(out, "_prov", prov)
            object.__setattr__(out, "_tracker", tracker)
            return out
    else:
        copy = not adopt
    return TrackedSeries(values, index=index, copy=copy, _prov=prov, _tracker=tracker)


class TrackedSeries(_TrackedSeriesBase):
    """Pandas Series with VORTEL-32 provenance (taint + depth aware)."""

    _metadata = ["_prov", "_tracker"]
    # Defaults for objects pandas builds without __init__ (_from_mgr,
    # unpickling): a shared read-only empty word array and no tracker.
    _prov = _EMPTY_WORDS
    _tracker = None

    def __init__(self, *args, _prov=None, _tracker=None, **kwargs):
        super().__init__(*args, **kwargs)
        if _prov is None:
            _prov = np.zeros(len(self), dtype=np.uint32)
        object.__setattr__(self, "_prov", _prov)
        object.__setattr__(self, "_tracker", _tracker)

    @property
    def _constructor(self):
        return TrackedSeries

    @property
    def _constructor_expanddim(self):
        return TrackedDataFrame

    def _constructor_from_mgr(self, mgr, axes):
        # pandas builds the results of its own methods here, by default as a
        # plain Series passed through __init__.  This class makes them from
        # the manager directly, in the state __init__ would leave them (zero
        # words, no tracker, no name) until __finalize__ copies the source's
        # attributes.  Subclasses with their own constructor keep pandas' way.
        if self._constructor is not TrackedSeries:
            return super()._constructor_from_mgr(mgr, axes)
        out = TrackedSeries._from_mgr(mgr, axes=axes)
        object.__setattr__(out, "_prov", np.zeros(len(out), dtype=np.uint32))
        return out

    def _finalize_from(self, other, method) -> None:
        if method == "concat":
            _finalize_series_concat(self, _concat_inputs(other))

    def _construct_result(self, *args, **kwargs):
        # pandas 3 also copies the other operand's metadata onto results of
        # its own operators (==, %, &, ...); the result belongs to self.
        out = super()._construct_result(*args, **kwargs)
        for part in out if isinstance(out, tuple) else (out,):
            if isinstance(part, TrackedSeries):
                object.__setattr__(part, "_prov", self._prov)
                object.__setattr__(part, "_tracker", self._tracker)
        return out

    def _inplace_method(self, other, op):
        # ``s += t`` runs the tracked operator and then swaps the values in;
        # the words of that result replace the stale ones as well.
        result = op(self, other)
        self._update_inplace(result.reindex_like(self))
        if isinstance(result, TrackedSeries):
            object.__setattr__(self, "_prov", result._prov)
        return self

    def _binop(self, other, op, op_code: int = OpCode.ADD, **kwargs) -> "TrackedSeries":
        """Apply ``op(self.values, other values)`` by position and combine
        the words with ``op_code``.

        Words are combined only when ``other`` is a ``TrackedSeries`` and
        this series has a tracker; otherwise they are copied unchanged.

        >>> TrackedSeries([1, 2])._binop(10, lambda a, b: a + b, OpCode.ADD).tolist()
        [11, 12]
        """
        if kwargs:
            # pandas' flex methods (``s.add(t, fill_value=0)``) call their own
            # private ``_binop(other, func, level=, fill_value=)``.
            return super()._binop(other, op, **kwargs)  # type: ignore[misc]  # pandas-private
        op_code = as_int(op_code, "op_code")
        b = other.values if hasattr(other, "values") else other
        a = self.values
        tracker = self._tracker
        combined = isinstance(other, TrackedSeries) and tracker is not None
        shared = not combined and _rows_hooks.follows(tracker)
        # Long word arrays are combined (or copied) on a second thread while
        # this one computes the values, when the operation cannot fail.
        pending = None
        if not shared and _safe_operands(a, b, op):
            pending = (start_combine(tracker, self._prov, other._prov, op_code) if combined
                       else start_copy(self._prov))
        # As pandas does: division by zero gives inf / nan without a RuntimeWarning.
        with np.errstate(all="ignore"):
            result = op(a, b)
        if pending is not None:
            prov = pending.result()
        elif combined and tracker is not None:
            prov = _words(_hooks.word("combine_batch")(tracker._rust, self._prov, other._prov, op_code))
        elif shared:
            prov = self._prov  # word arrays are never written to: share
        else:
            prov = _copy_words(self._prov)
        return _tracked(result, self.index, prov, tracker,
                        adopt=getattr(op, "_fresh_result", False))

    def _advanced_words(self, op_code: int) -> np.ndarray:
        """This series' words with their chain advanced by ``op_code`` (a
        copy, unchanged, without a tracker)."""
        tracker = self._tracker
        if tracker is None:
            return _copy_words(self._prov)
        return _words(_hooks.word("update_chain_batch")(tracker._rust, self._prov, op_code))

    def _unop(self, op, op_code: int) -> "TrackedSeries":
        """Apply ``op(self.values)`` and advance every word's chain with ``op_code``."""
        op_code = as_int(op_code, "op_code")
        tracker = self._tracker
        # The chain update has no codec state: it may start before the
        # values even when their operation raises.
        pending = start_update_chain(tracker, self._prov, op_code) if tracker is not None else None
        result = op(self.values)
        prov = pending.result() if pending is not None else self._advanced_words(op_code)
        out = _tracked(result, self.index, prov, tracker,
                       adopt=getattr(op, "_fresh_result", False))
        return _rows_hooks.name_result(out, self, None)

    def _tracked_binary(self, other, op, op_name, op_code):
        return self._binop(other, op, op_code)

    def _tracked_unary(self, op, op_name, op_code):
        return self._unop(op, op_code)

    def clip(self, lower=None, upper=None, *, axis=None, inplace=False,  # type: ignore[override]
             **kwargs) -> "TrackedSeries":
        """Values clipped to [lower, upper]; every word advanced with CLIP.

        ``axis`` is accepted as pandas accepts it; ``inplace=True`` is refused.

        >>> TrackedSeries([-1, 5, 20]).clip(0, 10).tolist()
        [0, 5, 10]
        """
        check_clip_keywords(self, axis, inplace, kwargs)

        @_fresh
        def clip_values(x):
            return np.clip(x, lower, upper)

        out = self._unop(clip_values, OpCode.CLIP)
        return _rows_hooks.record_values(self, out, "clip")

    def _transformed(self, result, index, op_code: int) -> "TrackedSeries":
        tracker = self._tracker
        prov = self._advanced_words(op_code)
        # The values of the pandas result, positionally, on ``index`` and
        # without a name; a shallow copy of the result's manager, as the
        # constructor would take, so that pandas shares its buffer
        # copy-on-write instead of copying it.
        mgr = result._mgr.copy(deep=False)
        out = TrackedSeries._from_mgr(mgr, axes=mgr.axes)  # type: ignore[attr-defined]  # pandas-private
        object.__setattr__(out, "_prov", prov)
        object.__setattr__(out, "_tracker", tracker)
        if out.index is not index:
            out.index = index
        return _rows_hooks.name_result(out, self, None)

    def fillna(self, value=0, **kwargs) -> "TrackedSeries":
        """Missing values replaced by ``value`` (default 0); every word
        advanced with FILL, filled or not.

        ``inplace=True`` is refused: filling in place would change the values
        while the words stayed those of the unfilled series.

        >>> TrackedSeries([1.0, None]).fillna().tolist()
        [1.0, 0.0]
        """
        if kwargs.get("inplace", False):
            raise ValueError(
                "TrackedSeries.fillna does not support inplace=True: the filled "
                "values need new provenance words; use s = s.fillna(...) instead")
        result = super().fillna(value, **kwargs)
        return self._transformed(result, self.index, OpCode.FILL)

    def map(self, arg, **kwargs) -> "TrackedSeries":  # type: ignore[override]  # documented signature
        """Values mapped through ``arg`` as pandas does; every word advanced with MAP.

        >>> TrackedSeries([1, 2]).map({1: 10, 2: 20}).tolist()
        [10, 20]
        """
        result = super().map(arg, **kwargs)
        return self._transformed(result, self.index, OpCode.MAP)

    def replace(self, *args, **kwargs):
        """Values replaced as pandas does; every word advanced with MAP.

        An in-place replacement is left to pandas: the series changes in
        place, its words stay as they were, and pandas' own return value
        (the series under pandas 3, None before) is returned.
        """
        result = super().replace(*args, **kwargs)
        if result is self or not isinstance(result, pd.Series):
            return result
        return self._transformed(result, result.index, OpCode.MAP)

    def compare(self, other, *args, **kwargs):
        """pandas' table of the elements that differ from ``other``, as a
        tracked frame (or series) with this series' tracker and no words.

        pandas fills its mask of differing elements in place, which ``fillna``
        refuses on a tracked series, so the comparison runs on plain views.
        """
        if type(other) is not type(self):
            # pandas' own refusal of operands of another class.
            return super().compare(other, *args, **kwargs)
        result = pd.Series(self).compare(pd.Series(other), *args, **kwargs)
        if isinstance(result, pd.DataFrame):
            return TrackedDataFrame(result, _tracker=self._tracker)
        return TrackedSeries(result, _tracker=self._tracker)


def _finalize_series_concat(out, objs) -> None:
    """Words of a series stacked by ``pd.concat``: the inputs' words end to
    end when every input is tracked with one word per element; the tracker
    of the first tracked input."""
    tracked = [o for o in objs if isinstance(o, TrackedSeries)]
    if not tracked:
        return
    object.__setattr__(out, "_tracker", tracked[0]._tracker)
    if len(tracked) == len(objs) and all(len(o._prov) == len(o) for o in objs):
        prov = np.concatenate([np.asarray(o._prov, dtype=np.uint32) for o in objs])
        if len(prov) == len(out):
            object.__setattr__(out, "_prov", prov)


def _merged_col_prov(left, right, result) -> dict:
    """Per-column words of a merge result: each column carried by either
    side gets n copies of its first word advanced by MERGE (left side wins)."""
    return left._merged_arrays(right, result)[0]


class TrackedDataFrame(_TrackedFrameBase):
    """Pandas DataFrame with VORTEL-32 provenance."""

    _metadata = ["_tracker", "_col_prov"]
    # Defaults for objects pandas builds without __init__; the read-only
    # mapping is never written to: assignment installs a dict of its own.
    _tracker = None
    _col_prov: Any = types.MappingProxyType({})

    def __init__(self, *args, **kwargs):
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        super().__init__(*args, **kwargs)
        object.__setattr__(self, "_tracker", tracker)
        object.__setattr__(self, "_col_prov", {} if col_prov is None else col_prov)

    @property
    def _constructor(self):
        return TrackedDataFrame

    @property
    def _constructor_sliced(self):
        return TrackedSeries

    def _finalize_frame_from(self, other, method):
        out = self
        if isinstance(other, pd.DataFrame):
            return out
        if method == "to_frame" and isinstance(other, TrackedSeries):
            # A one-column frame made from a tracked series keeps its words.
            if len(out.columns) == 1 and len(other._prov) == len(out):
                object.__setattr__(out, "_col_prov", {out.columns[0]: _copy_words(other._prov)})
        elif method == "merge" and isinstance(getattr(other, "left", None), TrackedDataFrame):
            # ``pd.merge`` does not carry _metadata; give the result the
            # tracker of the left frame and merged words.
            left = other.left
            object.__setattr__(out, "_tracker", left._tracker)
            object.__setattr__(out, "_col_prov", _merged_col_prov(left, other.right, out))
        elif method == "concat":
            tracked = [o for o in _concat_inputs(other)
                       if isinstance(o, (TrackedDataFrame, TrackedSeries))]
            if tracked:
                object.__setattr__(out, "_tracker", tracked[0]._tracker)
        return out

    def __getitem__(self, key):
        """pandas selection; a selected column comes back as a nameless
        ``TrackedSeries`` carrying a copy of the column's words.

        When the stored words no longer match the column's length (rows
        were filtered or reordered), every element gets the first stored word.
        """
        return self._select(key)

    def _column_result(self, key, result, keep_name):
        words = _column_array(self._stored(self._col_prov, key), len(result), 0, np.uint32)
        # Built from the selected column itself (no data copy).
        out = TrackedSeries(result, _prov=words, _tracker=self._tracker)
        if not keep_name:
            out.name = None
        return out

    def __setitem__(self, key, value):
        """pandas assignment; a ``TrackedSeries`` value also stores a copy of its words.

        The word dictionary is replaced rather than changed, so frames
        derived from this one (which share it) keep their own words.
        """
        super().__setitem__(key, value)
        if self._assigned_rows(key, value):
            return
        if isinstance(value, TrackedSeries) and _hashable(key):
            col_prov = dict(self._col_prov)
            col_prov[key] = _copy_words(value._prov)
            object.__setattr__(self, "_col_prov", col_prov)

    def _merge_column(self, side, col, words, n, out_prov, out_nodes) -> None:
        tracker = self._tracker
        if len(words) == 0:
            word = 0
        elif tracker is not None:
            word = tracker.update_chain(int(words[0]), OpCode.MERGE)
        else:
            word = int(words[0])
        out_prov[col] = np.full(n, word, dtype=np.uint32)

    def merge(self, right, *args, **kwargs) -> "TrackedDataFrame":
        """pandas merge; every column carried by either side gets n copies of
        its first word advanced by MERGE (the left side wins a shared column).

        Columns renamed by suffixes lose their words.  A row-following
        tracker gives every output element the word of its source element.
        """
        if _rows_hooks.follows(self._tracker):
            return _rows_hooks.merge_frames(self, right, args, kwargs)
        result = super().merge(right, *args, **kwargs)
        return TrackedDataFrame(result, _tracker=self._tracker,
                                _col_prov=_merged_col_prov(self, right, result))


_register_rows_family(TrackedSeries, TrackedDataFrame, lineage=False)


def _stock_entity_hash(tracker) -> bool:
    """True when ``tracker.entity_from_row`` is the stock hash (not
    overridden by a subclass nor replaced on the instance)."""
    return (type(tracker).entity_from_row is ProvenanceTracker.entity_from_row
            and "entity_from_row" not in getattr(tracker, "__dict__", {}))


_index_entities = _label_entities


def _bulk_entities(tracker):
    """The vectorised entity field of the tracker, when the class that
    defines its ``entity_from_row`` also defines ``entities_of_index`` (the
    portable tracker); None otherwise: each label then goes through
    ``entity_from_row``."""
    if "entity_from_row" in getattr(tracker, "__dict__", {}):
        return None
    for klass in type(tracker).__mro__:
        if "entity_from_row" in klass.__dict__:
            return tracker.entities_of_index if "entities_of_index" in klass.__dict__ else None
    return None


def wrap_dataframe(df: pd.DataFrame, tracker: "ProvenanceTracker", table: str,
                   protected=False, include_entity: bool = True) -> TrackedDataFrame:
    """Wrap a DataFrame with VORTEL-32 provenance. Sets taint for protected columns."""
    # ``protected`` is a list, tuple or set of column names (compared by their
    # text form), or any other value whose truth protects the whole table; the
    # README and the guide explain it with an example.
    check_exact(table, "table", str)
    result = TrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    names = _protection(protected)
    if names is None and protected:
        tracker._protected_tables.add(table)
        tracker._rust.mark_table_protected(table)
    mod = 1 << MODE_01_ENTITY_BITS
    shared_entities = None
    fast = include_entity and _stock_entity_hash(tracker)
    col_prov = result._col_prov
    for col in df.columns:
        name = str(col)
        flag = (name in names) if names is not None else protected
        pair_id = tracker.register(table, name, flag)
        is_protected = tracker.is_protected(table, name)
        if not include_entity:
            entities = np.zeros(n, dtype=np.uint32)
        elif fast:
            if shared_entities is None:
                shared_entities = _index_entities(df.index)
            entities = shared_entities
        elif _bulk_entities(tracker) is not None:
            if shared_entities is None:
                shared_entities = _bulk_entities(tracker)(df.index)
            entities = shared_entities
        else:
            index = df.index
            entities = np.fromiter(
                (tracker.entity_from_row(index[i]) % mod for i in range(n)),
                dtype=np.uint32, count=n)
        encode = _hooks.word("encode_source_column")
        col_prov[col] = _words(encode(tracker._rust, pair_id, entities, is_protected))
    return result
