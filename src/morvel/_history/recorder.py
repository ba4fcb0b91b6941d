"""Row history of a pipeline: which step dropped which rows, which values a
transform changed, and the checks evaluated after every step.

A :class:`HistoryRecorder` is owned by a ``Pipeline`` and hangs on its
tracker as ``_history``; the row-following machinery calls it from its few
central row-mapping points (a selection by position, a selection by label,
a merge) and from the value transforms.  Each call that drops rows or
changes values becomes one :class:`Step`.

Records are compact: the dropped rows are kept as their source positions
and labels, and the source object itself is kept as a shallow pandas view
(no data copy), so the row's last values are read only when asked.
"""
from __future__ import annotations

import contextlib
import contextvars
import os
import sys
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from morvel._history.checks import Check, CheckResult

# Functions of pandas (and ours) that select rows only to show or describe
# an object: what they drop is not a step of the pipeline.
_DISPLAY = frozenset({
    "__repr__", "__str__", "__format__", "_repr_html_", "_repr_latex_", "to_string",
    "to_html", "to_markdown", "info", "describe", "_info_repr", "_repr_fits_horizontal_",
})
# Names of generic wrapper functions of ours: the operation is the named
# method they wrap.
_WRAPPERS = frozenset({"method", "<lambda>", "with_detail", "<listcomp>", "<dictcomp>"})
# The operations whose dropped rows are steps (row selections), and the
# transforms whose changed values are.
_ROW_OPS = frozenset({
    "mask", "getitem", "loc", "iloc", "query", "dropna", "drop_duplicates", "head", "tail",
    "sample", "reindex", "take", "drop", "truncate", "xs", "filter", "merge", "join",
})
_VALUE_OPS = frozenset({"fillna", "clip", "replace", "where", "mask"})
# Modules whose frames are the library, not the user's pipeline.
_LIBRARY = ("morvel.", "pandas.", "numpy.")
# Modules of ours that ask questions about a pipeline: what they select is
# not a step either.
_QUESTIONS = ("morvel.pipeline", "morvel._history.questions", "morvel._history.report")

# Extra facts an operation hands to the step it causes (the subset and keep
# of drop_duplicates).
_DETAIL: contextvars.ContextVar[dict | None] = contextvars.ContextVar(
    "morvel_history_detail", default=None)


def with_detail(detail: dict, call: Any) -> Any:
    """``call()`` with ``detail`` attached to the steps it records."""
    token = _DETAIL.set({**(_DETAIL.get() or {}), **detail})
    try:
        return call()
    finally:
        _DETAIL.reset(token)


@dataclass
class Change:
    """The elements one transform changed in one column: their row labels,
    values before and after, and the words they had (their sources)."""

    column: Any
    labels: pd.Index
    before: np.ndarray
    after: np.ndarray
    words: np.ndarray

    def __len__(self) -> int:
        return len(self.labels)


@dataclass
class Step:
    """One step of the pipeline that dropped rows or changed values.

    ``kind`` is "rows" (a selection), "merge" or "values" (a transform).
    ``dropped`` holds the labels of the source rows that have no row in the
    result (for a merge: the left rows); ``changes`` the changed elements of
    a transform.
    """

    number: int
    name: str
    operation: str
    location: str
    kind: str
    rows_in: int
    rows_out: int
    dropped: pd.Index
    dropped_pos: np.ndarray
    changes: list[Change] = field(default_factory=list)
    detail: dict = field(default_factory=dict)
    # Shallow pandas view of the source (rows and values before the step);
    # None after unpickling, when ``last_rows`` holds the dropped rows.
    source: Any = None
    last_rows: Any = None
    # Which invocation of the user's code made the step.
    call_key: tuple = ()

    def summary(self) -> dict:
        """JSON-safe facts of the step (no labels or values)."""
        out = {"step": self.number, "name": self.name, "operation": self.operation,
               "location": self.location, "kind": self.kind, "rows_in": self.rows_in,
               "rows_out": self.rows_out, "dropped": len(self.dropped)}
        if self.kind == "merge":
            out["added"] = int(self.detail.get("added", 0))
            out["right_unmatched"] = len(self.detail.get("right_unmatched", ()))
        if self.kind == "values":
            out["changed"] = sum(len(c) for c in self.changes)
        return out

    def row_values(self, k: int) -> dict:
        """The values of the k-th dropped row just before the step."""
        if self.source is not None:
            return _row_dict(self.source, int(self.dropped_pos[k]))
        if self.last_rows is not None:
            return _row_dict(self.last_rows, k)
        return {}

    def __getstate__(self) -> dict:
        # A pickled step keeps the dropped rows themselves, not a view of the
        # whole source.
        state = self.__dict__.copy()
        if self.source is not None:
            state["last_rows"] = self.source.iloc[self.dropped_pos]
            state["source"] = None
        if "right_source" in self.detail:
            detail = dict(self.detail)
            right = detail.pop("right_source")
            detail["right_rows_unmatched"] = right.loc[detail["right_unmatched"]] \
                if right.index.is_unique else None
            state["detail"] = detail
        return state


def _row_dict(obj: Any, pos: int) -> dict:
    if isinstance(obj, pd.DataFrame):
        return {c: json_value(obj.iat[pos, j]) for j, c in enumerate(obj.columns)}
    return {obj.name: json_value(obj.iloc[pos])}


def json_value(v: Any) -> Any:
    """``v`` as a JSON-safe scalar: numpy scalars become Python ones, missing
    values and non-finite floats None, anything else its text."""
    if isinstance(v, np.generic):
        v = v.item()
    if v is None or isinstance(v, (bool, int, str)):
        return v
    if isinstance(v, float):
        return v if np.isfinite(v) else None
    try:
        if pd.isna(v):
            return None
    except (TypeError, ValueError):
        pass  # an array-like value: shown as its text below
    return str(v)


def _plain(obj: Any) -> Any:
    """A plain pandas view of a tracked frame or series (no data copy)."""
    if isinstance(obj, pd.DataFrame):
        return pd.DataFrame(obj, copy=False)
    return pd.Series(obj, copy=False)


@dataclass
class _Call:
    """The user's call that is running: the operation (the outermost library
    function the user called), the code location (the first stack frame
    outside morvel, pandas and numpy), the object the operation was called
    on (None when unknown) and a key telling one invocation from another."""

    operation: str
    location: str
    subject: Any
    key: tuple


def _where() -> _Call | None:
    """The running user call; None when the call only displays an object
    or comes from one of our own question methods."""
    f: Any = sys._getframe(2)
    outer = None
    while f is not None:
        mod = f.f_globals.get("__name__", "")
        # (Examples in our docstrings run with the module's globals.)
        if not mod.startswith(_LIBRARY) or f.f_code.co_filename.startswith("<doctest"):
            break
        if mod.startswith(_QUESTIONS):
            return None
        if f.f_code.co_name not in _WRAPPERS:
            outer = f
        f = f.f_back
    op = "?"
    subject = None
    if outer is not None:
        op = outer.f_code.co_name
        if op in _DISPLAY:
            return None
        subject = outer.f_locals.get("self")
        if op == "__getitem__":
            op = _getitem_kind(outer)
            if op in ("loc", "iloc"):
                subject = getattr(subject, "obj", None)
    if f is None:
        return _Call(op, "<unknown>", subject, (id(outer), None, -1))
    code = f.f_code
    loc = f"{os.path.basename(code.co_filename)}:{f.f_lineno} in {code.co_name}"
    return _Call(op, loc, subject, (id(outer), id(f), f.f_lasti))


def _getitem_kind(frame: Any) -> str:
    owner = frame.f_locals.get("self")
    name = type(owner).__name__
    if "iLoc" in name:
        return "iloc"
    if "Loc" in name:
        return "loc"
    dtype = getattr(frame.f_locals.get("key"), "dtype", None)
    if dtype is not None and pd.api.types.is_bool_dtype(dtype):
        return "mask"
    return "getitem"


def _labels_json(index: pd.Index, limit: int | None = None) -> list:
    vals = index[:limit] if limit is not None else index
    return [json_value(v) for v in vals.tolist()]


class HistoryRecorder:
    """Steps, value changes and check results of one pipeline."""

    def __init__(self, tracker: Any = None) -> None:
        self.steps: list[Step] = []
        self.checks: list[Check] = []
        self.results: list[CheckResult] = []
        self._tracker = tracker
        self._name: str | None = None
        self._last_source: Any = None

    # -- naming --------------------------------------------------------------

    @contextlib.contextmanager
    def named(self, name: str) -> Iterator[None]:
        """Steps recorded inside the block are called ``name``."""
        previous, self._name = self._name, name
        try:
            yield
        finally:
            self._name = previous

    def _new_step(self, kind: str, call: _Call, rows_in: int, rows_out: int,
                  dropped: pd.Index, dropped_pos: np.ndarray, source: Any) -> Step:
        op, loc = call.operation, call.location
        detail = dict(_DETAIL.get() or {})
        detail.pop("labels", None)
        step = Step(len(self.steps) + 1, self._name or op, op, loc, kind, rows_in, rows_out,
                    dropped, dropped_pos, detail=detail, source=source, call_key=call.key)
        self.steps.append(step)
        return step

    # -- row selections --------------------------------------------------------

    def rows(self, source: Any, result: Any, pos: np.ndarray) -> None:
        """A result whose row i is row ``pos[i]`` of ``source`` (-1: none),
        or, for a boolean ``pos``, the rows of ``source`` it keeps.

        Recorded when the user's call is a row selection and ``source`` is
        the object it was called on: what pandas selects from its own
        intermediate objects inside a call is not a step."""
        n = len(source)
        if n == 0:
            return
        call = _where()
        if call is None or call.operation not in _ROW_OPS:
            return
        labels = (_DETAIL.get() or {}).get("labels")
        if labels is not None and len(labels) != n:
            labels = None
        # (A positional stand-in of the user's object carries its labels.)
        if labels is None and call.subject is not None and call.subject is not source:
            return
        if pos.dtype == bool:
            kept = pos
        else:
            kept = np.zeros(n, dtype=bool)
            kept[pos if len(pos) == 0 or pos.min() >= 0 else pos[pos >= 0]] = True
        if kept.all():
            return
        dropped_pos = np.flatnonzero(~kept)
        last = self.steps[-1] if self.steps else None
        # The source of the last step is held (``_last_source``), so an equal
        # id below is the same object, not a new one at a freed address.
        if last is not None and last.call_key == call.key and self._last_source is source:
            # One call may map its rows more than once (pandas' take, then
            # the finalisation of the method): the last mapping stands.
            if np.array_equal(last.dropped_pos, dropped_pos):
                return
            self.steps.pop()
        plain = _plain(source)
        if labels is not None:
            # Rows selected on a temporary positional index: name them by
            # their own labels.
            plain = plain.set_axis(labels, axis=0)
        step = self._new_step("rows", call, n, len(result), plain.index[dropped_pos],
                              dropped_pos, plain)
        self._last_source = source
        self._log_filter(step)
        self._evaluate(step, result)

    def merge(self, left: Any, right: Any, result: Any, lpos: np.ndarray, rpos: np.ndarray,
              how: str) -> None:
        """A merge whose result row i joins left row ``lpos[i]`` and right row
        ``rpos[i]`` (-1: none on that side)."""
        call = _where()
        if call is None:
            return
        nl, nr = len(left), len(right)
        counts = _counts(lpos, nl)
        lkept = counts > 0
        rkept = _counts(rpos, nr) > 0
        multi = np.flatnonzero(counts > 1)
        dropped_pos = np.flatnonzero(~lkept)
        step = self._new_step("merge", call, nl, len(result), left.index[dropped_pos],
                              dropped_pos, _plain(left))
        step.detail.update({
            "how": how,
            "right_rows": nr,
            "right_unmatched": right.index[np.flatnonzero(~rkept)],
            "right_source": _plain(right),
            "multiplied": pd.Series(counts[multi], index=left.index[multi]),
            "added": int(len(result) - int(lkept.sum())) if len(multi) else 0,
        })
        self._log_filter(step)
        self._evaluate(step, result)

    # -- value transforms -------------------------------------------------------

    def values(self, source: Any, result: Any, operation: str,
               words: dict | None = None) -> None:
        """A transform of ``source`` into ``result`` (same rows, in order):
        only the elements whose value changed are recorded.  ``words`` maps
        a column (or None for a series) to the source words."""
        if len(source) == 0 or len(result) != len(source):
            return
        call = _where()
        if call is None or (call.subject is not None and call.subject is not source):
            return
        changes: list[Change] = []
        if isinstance(source, pd.Series):
            cols: list = [(source.name, _plain(source), _plain(result))]
        else:
            ps, pr = _plain(source), _plain(result)
            cols = [(c, ps[c], pr[c]) for c in pr.columns if c in ps.columns]
        for col, before_s, after_s in cols:
            if isinstance(before_s, pd.DataFrame) or isinstance(after_s, pd.DataFrame):
                continue  # a duplicated column label: no single column to compare
            before = before_s.to_numpy()
            after = after_s.to_numpy()
            changed = _changed(before, after)
            if not changed.any():
                continue
            sel = np.flatnonzero(changed)
            w = (words or {}).get(None if isinstance(source, pd.Series) else col)
            wsel = np.asarray(w, dtype=np.uint32)[sel] if w is not None and len(w) == len(
                source) else np.zeros(len(sel), dtype=np.uint32)
            changes.append(Change(col, source.index[sel], before[sel], after[sel], wsel))
        if call.operation not in _VALUE_OPS:
            call.operation = operation
        step = self._new_step("values", call, len(source), len(result), source.index[:0],
                              np.zeros(0, dtype=np.int64), None)
        step.changes = changes
        self._evaluate(step, result)

    # -- lineage level ------------------------------------------------------------

    def _log_filter(self, step: Step) -> None:
        """One FILTER record per selection in the lineage store of a lineage
        pipeline, through the tracker's node creation."""
        tracker = self._tracker
        create = getattr(tracker, "_create_node", None)
        if create is None:
            return
        from morvel.utilities._dag.records import NodeType
        meta = {"step": step.number, "name": step.name, "location": step.location,
                "rows_in": step.rows_in, "rows_out": step.rows_out,
                "dropped": _labels_json(step.dropped)}
        if step.kind == "merge":
            meta["right_unmatched"] = _labels_json(step.detail["right_unmatched"])
        step.detail["filter_node"] = create(NodeType.FILTER, step.operation, [], 0,
                                            metadata=meta)

    # -- checks --------------------------------------------------------------------

    def _evaluate(self, step: Step, result: Any) -> None:
        for check in self.checks:
            res = check.evaluate(step, result)
            if res is None:
                continue
            self.results.append(res)
            if not res.passed:
                check.fail(res)

    # -- questions -------------------------------------------------------------------

    def drops_of(self, label: Any) -> list[tuple[Step, int, str]]:
        """(step, index among the step's dropped rows, side) of every drop of
        a row with this label, in step order."""
        out: list[tuple[Step, int, str]] = []
        for step in self.steps:
            if step.kind == "values":
                continue
            hits = _hits(step.dropped, label)
            out.extend((step, int(k), "left" if step.kind == "merge" else "") for k in hits)
            if step.kind == "merge":
                out.extend((step, int(k), "right")
                           for k in _hits(step.detail["right_unmatched"], label))
        return out

    def changes_of(self, label: Any) -> list[tuple[Step, Change, int]]:
        out: list[tuple[Step, Change, int]] = []
        for step in self.steps:
            for ch in step.changes:
                out.extend((step, ch, int(k)) for k in _hits(ch.labels, label))
        return out

    def __getstate__(self) -> dict:
        state = self.__dict__.copy()
        state["_last_source"] = None
        return state


def _hits(index: pd.Index, label: Any) -> np.ndarray:
    if len(index) == 0:
        return np.zeros(0, dtype=np.int64)
    try:
        return np.flatnonzero(np.asarray(index == label, dtype=bool))
    except (TypeError, ValueError):
        return np.zeros(0, dtype=np.int64)


def _counts(pos: np.ndarray, n: int) -> np.ndarray:
    """How many times each of n source rows occurs in ``pos`` (-1: none)."""
    if n == 0:
        return np.zeros(0, dtype=np.int64)
    if len(pos) and pos.min() < 0:
        pos = pos[pos >= 0]
    return np.bincount(pos, minlength=n)


def _changed(before: np.ndarray, after: np.ndarray) -> np.ndarray:
    """Elements whose value differs (two missing values are equal)."""
    if before.dtype.kind == "f" and after.dtype.kind == "f":
        return (before != after) & ~(np.isnan(before) & np.isnan(after))
    if before.dtype.kind in "iub" and after.dtype.kind in "iub":
        return before != after
    try:
        same = np.asarray(before == after, dtype=bool)
    except (TypeError, ValueError):
        same = np.array([a is b or a == b for a, b in zip(before, after)], dtype=bool)
    if same.shape != before.shape:
        same = np.array([a is b or a == b for a, b in zip(before, after)], dtype=bool)
    both_na = np.asarray(pd.isna(before), dtype=bool) & np.asarray(pd.isna(after), dtype=bool)
    return ~(same | both_na)
