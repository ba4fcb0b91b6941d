"""Outcome fairness beside structural taint.

The provenance words of a tracked frame say which result columns derive from
protected source columns and how directly; this module adds whether the
outcomes differ between the groups of those protected attributes.  The
protected attributes are read from the tracker (every registered pair it
marks protected), dependence from the pairs a column's words name, and the
per-group metrics come from fairlearn (optional extra ``morvel[fairness]``).
"""
from __future__ import annotations

import itertools
import math
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities.vortel32 import ProvenanceTracker, column_risk_report

#: Group label of rows whose protected value is missing (NaN, None, NA).
MISSING_GROUP = "<missing>"
#: Group label of numeric protected values outside the caller's bin edges.
OUTSIDE_BINS = "<outside bins>"
#: Quantile bins used for a numeric protected attribute when no bins are given.
DEFAULT_QUANTILES = 4

SELECTION_RATE = "selection_rate"
MEAN = "mean"

_INSTALL_HINT = ("fairness reports need fairlearn, which is not installed; "
                 "install it with: pip install 'morvel[fairness]'")

Pair = tuple[str, str]
BinSpec = int | Sequence[float] | None


def _fairlearn_metrics() -> Any:
    """The ``fairlearn.metrics`` module, or ImportError saying how to install it."""
    try:
        from fairlearn import metrics
    except ImportError as exc:
        raise ImportError(_INSTALL_HINT) from exc
    return metrics


def _json_float(value: Any) -> float | None:
    """A finite float, or None for missing, NaN and infinite values."""
    if value is None:
        return None
    value = float(value)
    return value if math.isfinite(value) else None


# ---------------------------------------------------------------------------
# Report records
# ---------------------------------------------------------------------------


@dataclass(frozen=True)
class GroupOutcome:
    """One group of a protected attribute: its label, row count and the
    selection rate (or mean) of the result column over those rows."""

    group: str
    count: int
    value: float | None


@dataclass(frozen=True)
class AttributeDisparity:
    """A result column measured against one protected attribute.

    ``dependent`` says whether the column's provenance names the attribute;
    ``measured`` whether metrics were computed (always for dependent
    attributes, for the others only when asked).  ``difference`` and
    ``ratio`` are the demographic parity difference and ratio (between the
    largest and smallest group value; for means the ratio is left out when
    a group mean is negative); ``equalized_odds_difference`` is set
    only for a binary column with a ground truth.  ``values_from`` is
    "frame" when the groups were read from the result frame's own column,
    "protected_frame" when rows were matched by index label to a source
    frame; ``unmatched`` counts result rows whose label was not found there
    (they fall into the missing group).
    """

    table: str
    column: str
    dependent: bool
    measured: bool
    metric: str | None = None
    binned: bool = False
    groups: tuple[GroupOutcome, ...] = ()
    difference: float | None = None
    ratio: float | None = None
    equalized_odds_difference: float | None = None
    values_from: str | None = None
    unmatched: int = 0
    note: str | None = None

    @property
    def attribute(self) -> str:
        """``table.column`` of the protected attribute."""
        return f"{self.table}.{self.column}"

    def to_dict(self) -> dict[str, Any]:
        return {
            "attribute": self.attribute,
            "table": self.table,
            "column": self.column,
            "dependent": self.dependent,
            "measured": self.measured,
            "metric": self.metric,
            "binned": self.binned,
            "groups": [{"group": g.group, "count": g.count, "value": _json_float(g.value)}
                       for g in self.groups],
            "difference": _json_float(self.difference),
            "ratio": _json_float(self.ratio),
            "equalized_odds_difference": _json_float(self.equalized_odds_difference),
            "values_from": self.values_from,
            "unmatched": self.unmatched,
            "note": self.note,
        }


@dataclass(frozen=True)
class ColumnFairness:
    """Structural taint (as :func:`column_risk_report` gives it, plus the
    source pairs the words name) beside the outcome disparity per protected
    attribute, for one result column."""

    column: str
    tainted: bool
    max_risk: float
    risk_level: str
    min_depth: int | None
    sources: tuple[str, ...]
    protected_sources: tuple[str, ...]
    rows: int
    rows_measured: int
    attributes: tuple[AttributeDisparity, ...] = field(default_factory=tuple)

    def attribute(self, name: str) -> AttributeDisparity:
        """The entry of one protected attribute, by ``table.column`` or by
        column name alone when that is unambiguous."""
        hits = [a for a in self.attributes if name in (a.attribute, a.column)]
        if len(hits) != 1:
            known = ", ".join(a.attribute for a in self.attributes) or "none"
            raise KeyError(f"no single protected attribute {name!r} for column "
                           f"{self.column!r} (known: {known})")
        return hits[0]

    def to_dict(self) -> dict[str, Any]:
        return {
            "column": self.column,
            "tainted": self.tainted,
            "max_risk": self.max_risk,
            "risk_level": self.risk_level,
            "min_depth": self.min_depth,
            "sources": list(self.sources),
            "protected_sources": list(self.protected_sources),
            "rows": self.rows,
            "rows_measured": self.rows_measured,
            "attributes": [a.to_dict() for a in self.attributes],
        }


_FRAME_COLUMNS = ["column", "tainted", "risk_level", "max_risk", "min_depth", "sources",
                  "attribute", "dependent", "measured", "metric", "groups", "difference",
                  "ratio", "equalized_odds_difference"]


class FairnessReport:
    """Per result column, structural taint beside outcome disparity.

    ``columns`` holds one :class:`ColumnFairness` per result column, the
    outcome first.  ``to_dict()`` is JSON-safe, ``to_frame()`` gives one row
    per (result column, protected attribute), ``str()`` a readable table and
    :meth:`plot` a bar chart of the group values with the disparity marked.
    """

    def __init__(self, outcome: str, columns: Sequence[ColumnFairness],
                 truth: str | None = None) -> None:
        self.outcome = outcome
        self.truth = truth
        self.columns: tuple[ColumnFairness, ...] = tuple(columns)

    def __getitem__(self, column: Hashable) -> ColumnFairness:
        for entry in self.columns:
            if entry.column == str(column):
                return entry
        raise KeyError(column)

    def __repr__(self) -> str:
        return (f"FairnessReport(outcome={self.outcome!r}, "
                f"columns={[c.column for c in self.columns]!r})")

    def to_dict(self) -> dict[str, Any]:
        """Plain dictionaries, lists, text, numbers, booleans and None only
        (NaN and infinite values become None), ready for ``json.dumps``."""
        return {"outcome": self.outcome, "truth": self.truth,
                "columns": [c.to_dict() for c in self.columns]}

    def to_frame(self, groups: bool = False) -> pd.DataFrame:
        """One row per (result column, protected attribute); with
        ``groups=True`` one row per group instead (columns "column",
        "attribute", "dependent", "metric", "group", "count", "value")."""
        if groups:
            rows = [{"column": c.column, "attribute": a.attribute, "dependent": a.dependent,
                     "metric": a.metric, "group": g.group, "count": g.count, "value": g.value}
                    for c in self.columns for a in c.attributes for g in a.groups]
            return pd.DataFrame(rows, columns=["column", "attribute", "dependent", "metric",
                                               "group", "count", "value"])
        rows = []
        for c in self.columns:
            base: dict[str, Any] = {"column": c.column, "tainted": c.tainted, "risk_level": c.risk_level,
                    "max_risk": c.max_risk, "min_depth": c.min_depth,
                    "sources": ", ".join(c.sources)}
            if not c.attributes:
                rows.append({**base, "attribute": None, "dependent": False, "measured": False,
                             "metric": None, "groups": 0, "difference": None, "ratio": None,
                             "equalized_odds_difference": None})
            for a in c.attributes:
                rows.append({**base, "attribute": a.attribute, "dependent": a.dependent,
                             "measured": a.measured, "metric": a.metric,
                             "groups": len(a.groups), "difference": a.difference,
                             "ratio": a.ratio,
                             "equalized_odds_difference": a.equalized_odds_difference})
        frame = pd.DataFrame(rows, columns=_FRAME_COLUMNS)
        for col in ("difference", "ratio", "equalized_odds_difference"):
            frame[col] = frame[col].astype(float)  # None becomes NaN
        return frame

    def __str__(self) -> str:
        return _format_report(self)

    def plot(self, path: str, column: Hashable | None = None) -> str:
        """Draw the group values of one result column (default: the outcome)
        per measured protected attribute, with the largest and smallest group
        marked and the parity difference and ratio written beside them, and
        save it to ``path`` (".svg" or ".png").  Needs matplotlib
        (``pip install 'morvel[plot]'``).  Returns ``path``."""
        from morvel._fairness_plot import plot_report

        return plot_report(self, path, column)


# ---------------------------------------------------------------------------
# Text rendering
# ---------------------------------------------------------------------------


def _fmt(value: float | None, digits: int = 4) -> str:
    return "-" if value is None or not math.isfinite(value) else f"{value:.{digits}f}"


def _table(headers: list[str], rows: list[list[str]], right: set[int]) -> list[str]:
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: list[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    return [line(headers), line(["-" * w for w in widths]), *(line(r) for r in rows)]


def _metric_name(metric: str | None) -> str:
    return {SELECTION_RATE: "selection rate", MEAN: "mean"}.get(metric or "", "-")


def _format_report(report: FairnessReport) -> str:
    truth = f", truth {report.truth!r}" if report.truth else ""
    lines = [f"Fairness report for {report.outcome!r}{truth}", ""]
    headers = ["column", "risk", "max risk", "min depth", "protected attribute", "dependent",
               "metric", "difference", "ratio", "eq. odds diff"]
    rows = []
    for c in report.columns:
        struct = [c.column, c.risk_level, _fmt(c.max_risk),
                  "-" if c.min_depth is None else str(c.min_depth)]
        if not c.attributes:
            rows.append(struct + ["(none protected)", "-", "-", "-", "-", "-"])
        for a in c.attributes:
            rows.append(struct + [a.attribute, "yes" if a.dependent else "no",
                                  _metric_name(a.metric) if a.measured else "not measured",
                                  _fmt(a.difference), _fmt(a.ratio),
                                  _fmt(a.equalized_odds_difference)])
    lines += _table(headers, rows, right={2, 3, 7, 8, 9})
    for c in report.columns:
        lines.append("")
        lines.append(f"{c.column}: sources {', '.join(c.sources) or '-'}; "
                     f"{c.rows_measured:,} of {c.rows:,} rows measured")
        for a in c.attributes:
            if not a.measured:
                if a.note:
                    lines.append(f"  {a.attribute} not measured: {a.note}")
                continue
            where = ("by index label from the source frame" if a.values_from == "protected_frame"
                     else "from the frame")
            lines.append(f"  {_metric_name(a.metric)} by {a.attribute} "
                         f"(groups read {where}):")
            width = max(len(g.group) for g in a.groups) if a.groups else 0
            for g in a.groups:
                value = "-" if g.value is None else (
                    f"{g.value:7.1%}" if a.metric == SELECTION_RATE else f"{g.value:10.4f}")
                lines.append(f"    {g.group.ljust(width)}  {value}  n={g.count:,}")
            if a.note:
                lines.append(f"    note: {a.note}")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Provenance: protected attributes, pairs per column, structural summary
# ---------------------------------------------------------------------------


def protected_attributes(tracker: ProvenanceTracker) -> list[Pair]:
    """Every registered (table, column) pair the tracker treats as protected,
    in registration order."""
    pairs = []
    for pid in range(int(tracker.stats()["registered_pairs"])):
        name = tracker.get_name(pid)
        if name is not None and tracker.is_protected(name[0], name[1]):
            pairs.append(name)
    return pairs


class _PairReader:
    """Pairs named by word arrays, each distinct word explained once."""

    def __init__(self, tracker: ProvenanceTracker) -> None:
        self.tracker = tracker
        self._cache: dict[int, tuple[Pair, ...]] = {}

    def pairs(self, words: np.ndarray | None) -> set[Pair]:
        found: set[Pair] = set()
        if words is None or len(words) == 0:
            return found
        for w in np.unique(np.asarray(words, dtype=np.uint32)).tolist():
            names = self._cache.get(w)
            if names is None:
                names = tuple(self.tracker.explain(w))
                self._cache[w] = names
            found.update(names)
        return found


def _structure(label: str, words: np.ndarray | None, tracker: ProvenanceTracker,
               pairs: set[Pair], protected: Sequence[Pair]) -> dict[str, Any]:
    """The column risk report entry of one word array, plus its sources."""
    holder: Any = SimpleNamespace(columns=[label], _col_prov={} if words is None else {label: words},
                             _tracker=tracker)
    risk = column_risk_report(holder, tracker)[0]
    ordered = sorted(pairs, key=lambda p: (tracker.get_id(p[0], p[1]) or 0, p))
    return {
        "tainted": bool(risk["tainted"]),
        "max_risk": float(risk["max_risk"]),
        "risk_level": risk["risk_level"],
        "min_depth": risk["min_depth"],
        "sources": tuple(f"{t}.{c}" for t, c in ordered),
        "protected_sources": tuple(f"{t}.{c}" for t, c in ordered if (t, c) in protected),
    }


# ---------------------------------------------------------------------------
# Groups of a protected attribute
# ---------------------------------------------------------------------------


def _num(x: float) -> str:
    """Shortest text that reads back as the same number ("18", "3.703125")."""
    return np.format_float_positional(float(x), trim="-")


def _bin_edges(values: np.ndarray, binning: Any, name: str) -> np.ndarray | None:
    """Bin edges for a numeric attribute, or None to group by value.

    ``None`` asks for :data:`DEFAULT_QUANTILES` quantile bins (values are
    grouped as they are when there are no more distinct values than that);
    an integer asks for that many quantile bins; a sequence gives the edges.
    """
    if binning is None or isinstance(binning, (int, np.integer)) and not isinstance(binning, bool):
        q = DEFAULT_QUANTILES if binning is None else as_int(binning, "bins")
        if q < 1:
            raise ValueError(f"bins for {name!r} must be at least 1 quantile bin, got {q}")
        distinct = np.unique(values)
        if binning is None and distinct.size <= q:
            return None
        if distinct.size == 0:
            return None
        # Edges are data values ("lower" quantiles), so the labels name
        # values that occur, in full, and every value lies within them.
        edges = np.unique(np.quantile(values, np.linspace(0.0, 1.0, q + 1), method="lower"))
        return edges if edges.size >= 2 else None
    try:
        edges = np.asarray(list(binning), dtype=float)
    except (TypeError, ValueError) as exc:
        raise type_error("bins", "int, sequence of numbers or dict", binning) from exc
    if edges.size < 2 or not np.all(np.diff(edges) > 0) or not np.all(np.isfinite(edges)):
        raise ValueError(f"bin edges for {name!r} must be at least two finite, strictly "
                         f"increasing numbers, got {list(binning)!r}")
    return edges


def group_labels(values: pd.Series, binning: BinSpec = None,
                 name: str = "attribute") -> tuple[np.ndarray, list[str], bool]:
    """Group label per row of a protected attribute, the groups in display
    order, and whether the values were binned.

    Numeric values are binned into left-closed intervals "[a, b)" (the last
    one closed, "[a, b]") by the edges of ``binning`` or by quantiles; values
    outside the edges get :data:`OUTSIDE_BINS`.  Other values are grouped by
    their text.  Missing values form their own group, :data:`MISSING_GROUP`,
    listed last.

    >>> labels, order, binned = group_labels(pd.Series([18, 25, 40, None]), [18, 30, 50])
    >>> labels.tolist(), order, binned
    (['[18, 30)', '[18, 30)', '[30, 50]', '<missing>'], ['[18, 30)', '[30, 50]', '<missing>'], True)
    """
    series = pd.Series(values).reset_index(drop=True)
    missing = series.isna().to_numpy()
    labels = np.full(len(series), MISSING_GROUP, dtype=object)
    present = series[~missing]
    numeric = (pd.api.types.is_numeric_dtype(series.dtype)
               and not pd.api.types.is_bool_dtype(series.dtype))
    binned = False
    order: list[str] = []
    if numeric and len(present):
        nums = present.to_numpy(dtype=float)
        edges = _bin_edges(nums, binning, name)
        if edges is not None:
            binned = True
            names = [f"[{_num(lo)}, {_num(hi)})" for lo, hi in itertools.pairwise(edges)]
            names[-1] = names[-1][:-1] + "]"
            idx = np.searchsorted(edges, nums, side="right") - 1
            idx[nums == edges[-1]] = len(edges) - 2
            inside = (idx >= 0) & (idx <= len(edges) - 2)
            got = np.full(nums.size, OUTSIDE_BINS, dtype=object)
            got[inside] = np.asarray(names, dtype=object)[idx[inside]]
            labels[~missing] = got
            order = [n for n in names if n in set(got.tolist())]
            if not inside.all():
                order.append(OUTSIDE_BINS)
        else:
            distinct = np.unique(nums)
            labels[~missing] = np.asarray([_num(x) for x in nums], dtype=object)
            order = [_num(x) for x in distinct]
    elif len(present):
        if binning is not None and not isinstance(binning, (int, np.integer)):
            raise ValueError(f"bin edges were given for {name!r}, whose values are not numeric")
        texts = present.astype(str).to_numpy(dtype=object)
        labels[~missing] = texts
        order = sorted(set(texts.tolist()))
    if missing.any():
        order.append(MISSING_GROUP)
    return labels, order, binned


# ---------------------------------------------------------------------------
# Metrics
# ---------------------------------------------------------------------------


def _binary(values: pd.Series) -> np.ndarray | None:
    """0/1 integers when every value is boolean or 0/1, else None."""
    if pd.api.types.is_bool_dtype(values.dtype):
        return values.to_numpy(dtype=np.int64)
    if not pd.api.types.is_numeric_dtype(values.dtype):
        return None
    nums = values.to_numpy(dtype=float)
    if np.isin(nums, (0.0, 1.0)).all():
        return nums.astype(np.int64)
    return None


def _measurable(values: pd.Series) -> pd.Series | None:
    """The values as a boolean or numeric Series (missing entries NaN), or
    None when they are neither (text, dates, mixed objects)."""
    dtype = values.dtype
    if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
        return values
    if not pd.api.types.is_object_dtype(dtype):
        return None
    present = values.notna().to_numpy()
    items = values[present].tolist()
    if all(isinstance(v, (bool, np.bool_)) for v in items):
        if present.all():
            return pd.Series(items, dtype=bool)
    elif not all(isinstance(v, (int, float, np.integer, np.floating)) for v in items):
        return None
    out = np.full(len(values), np.nan)
    out[present] = np.asarray(items, dtype=float)
    return pd.Series(out)


def _mean_prediction(y_true: Any, y_pred: Any) -> float:
    return float(np.mean(np.asarray(y_pred, dtype=float)))


def measure_groups(outcome: pd.Series, groups: np.ndarray, order: Sequence[str],
                   truth: np.ndarray | None = None) -> dict[str, Any]:
    """fairlearn's per-group metrics of one outcome (rows already without
    missing outcomes): selection rate per group with the demographic parity
    difference and ratio for a 0/1 outcome, and the equalised-odds
    difference when ``truth`` (0/1 per row, -1 where missing) is given; the
    mean per group with the between-group difference and ratio otherwise."""
    metrics = _fairlearn_metrics()
    sensitive = pd.Series(np.asarray(groups, dtype=object), name="group")
    y = _binary(outcome)
    result: dict[str, Any] = {"metric": None, "groups": (), "difference": None, "ratio": None,
                              "equalized_odds_difference": None, "note": None}
    if len(outcome) == 0:
        return result
    if y is not None:
        mf = metrics.MetricFrame(metrics={"value": metrics.selection_rate, "count": metrics.count},
                                 y_true=y, y_pred=y, sensitive_features=sensitive)
        result["metric"] = SELECTION_RATE
        result["difference"] = float(metrics.demographic_parity_difference(
            y, y, sensitive_features=sensitive))
        result["ratio"] = float(metrics.demographic_parity_ratio(
            y, y, sensitive_features=sensitive))
        if truth is not None:
            known = truth >= 0
            if known.any():
                t_known = truth[known]
                s_known = sensitive[known].reset_index(drop=True)
                result["equalized_odds_difference"] = float(metrics.equalized_odds_difference(
                    t_known, y[known], sensitive_features=s_known))
                lacking = sorted(
                    str(g) for g in set(s_known.tolist())
                    if len(set(t_known[(s_known == g).to_numpy()].tolist())) < 2)
                if lacking:
                    result["note"] = (
                        "no positive or no negative truth rows in group(s) "
                        f"{', '.join(lacking)}; fairlearn counts the missing rate as 0 "
                        "in the equalised-odds difference")
    else:
        values = outcome.to_numpy(dtype=float)
        mf = metrics.MetricFrame(metrics={"value": _mean_prediction, "count": metrics.count},
                                 y_true=values, y_pred=values, sensitive_features=sensitive)
        result["metric"] = MEAN
        result["difference"] = float(mf.difference()["value"])
        # A ratio of means says something only when no mean is negative.
        if float(mf.group_min()["value"]) >= 0:
            result["ratio"] = float(mf.ratio()["value"])
    by_group = mf.by_group
    result["groups"] = tuple(
        GroupOutcome(group=g, count=int(by_group.loc[g, "count"]),
                     value=_json_float(by_group.loc[g, "value"]))
        for g in order if g in by_group.index)
    for key in ("difference", "ratio"):
        result[key] = _json_float(result[key])
    return result


# ---------------------------------------------------------------------------
# fairness_report
# ---------------------------------------------------------------------------


def _label_text(label: Hashable) -> str:
    return label if isinstance(label, str) else str(label)


def _frame_words(frame: Any, label: Hashable) -> np.ndarray | None:
    col_prov = getattr(frame, "_col_prov", None) or {}
    try:
        return col_prov.get(label)
    except TypeError:  # an unhashable label has no stored words
        return None


def _column_values(frame: pd.DataFrame, label: Hashable, what: str) -> pd.Series:
    if label not in frame.columns:
        raise KeyError(f"{what} column {label!r} is not a column of the frame")
    if int((frame.columns == label).sum()) != 1:
        raise ValueError(f"{what} column label {label!r} is not unique in the frame")
    values = pd.DataFrame.__getitem__(frame, label)
    return pd.Series(values.to_numpy(), name=label)


def _source_values(frame: pd.DataFrame, pair: Pair, reader: _PairReader,
                   protected_frame: Any) -> tuple[pd.Series | None, str | None, int]:
    """Values of a protected attribute per result row: the frame's own column
    when it still carries that pair, otherwise the source frame's column with
    rows matched by index label.  Returns (values, where, unmatched rows)."""
    table, column = pair
    label = column if column in frame.columns else None
    if label is None:
        for c in frame.columns:
            if _label_text(c) == column:
                label = c
                break
    if label is not None and pair in reader.pairs(_frame_words(frame, label)):
        return _column_values(frame, label, "protected"), "frame", 0
    source = None
    if isinstance(protected_frame, pd.DataFrame):
        source = protected_frame
    elif isinstance(protected_frame, dict):
        source = protected_frame.get(table)
    if source is None:
        return None, None, 0
    col = next((c for c in source.columns if _label_text(c) == column), None)
    if col is None:
        return None, None, 0
    if not source.index.is_unique:
        raise ValueError(f"the source frame of {table}.{column} has duplicate index labels; "
                         "rows are matched by index label, so they must be unique")
    plain = pd.Series(np.asarray(pd.DataFrame.__getitem__(source, col).to_numpy()),
                      index=source.index)
    matched = frame.index.isin(source.index)
    values = plain.reindex(frame.index)
    return pd.Series(values.to_numpy(), name=column), "protected_frame", int((~matched).sum())


def _resolve_outcome(frame: pd.DataFrame, outcome: Any) -> tuple[str, pd.Series,
                                                                 np.ndarray | None,
                                                                 Hashable | None]:
    """(name, values, words, frame label or None) of the outcome."""
    if isinstance(outcome, pd.Series):
        if len(outcome) != len(frame):
            raise ValueError(f"the outcome series has {len(outcome)} rows, the frame "
                             f"{len(frame)}; they are matched by position")
        words = getattr(outcome, "_prov", None)
        name = "outcome" if outcome.name is None else _label_text(outcome.name)
        return name, pd.Series(outcome.to_numpy(), name=name), words, None
    try:
        hash(outcome)
    except TypeError as exc:
        raise type_error("outcome", "column label or Series", outcome) from exc
    values = _column_values(frame, outcome, "outcome")
    return _label_text(outcome), values, _frame_words(frame, outcome), outcome


def _resolve_truth(frame: pd.DataFrame, truth: Any) -> tuple[str | None, np.ndarray | None]:
    """(name, 0/1 per row with -1 where missing) of the ground truth."""
    if truth is None:
        return None, None
    if isinstance(truth, (pd.Series, np.ndarray, list)):
        name = _label_text(getattr(truth, "name", None) or "truth")
        values = pd.Series(np.asarray(truth))
        if len(values) != len(frame):
            raise ValueError(f"truth has {len(values)} rows, the frame {len(frame)}; "
                             "they are matched by position")
    else:
        name = _label_text(truth)
        values = _column_values(frame, truth, "truth")
    missing = values.isna().to_numpy()
    y = _binary(values[~missing].reset_index(drop=True))
    if y is None:
        raise ValueError(f"truth {name!r} must be boolean or 0/1 (missing values allowed)")
    coded = np.full(len(values), -1, dtype=np.int64)
    coded[~missing] = y
    return name, coded


def _bins_for(bins: Any, pair: Pair) -> BinSpec:
    if isinstance(bins, dict):
        table, column = pair
        for key in (f"{table}.{column}", column):
            if key in bins:
                return bins[key]
        return None
    return bins


def _check_bins(bins: Any) -> None:
    if bins is None or isinstance(bins, dict):
        return
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer, list, tuple, np.ndarray)):
        raise type_error("bins", "int, list of edges or dict", bins)


def fairness_report(frame: pd.DataFrame, outcome: Any, truth: Any = None, bins: Any = None, *,
                    tracker: ProvenanceTracker | None = None,
                    protected_frame: pd.DataFrame | Mapping[str, pd.DataFrame] | None = None,
                    columns: list | None = None, all_columns: bool = False,
                    measure_all: bool = False) -> FairnessReport:
    """Structural taint beside outcome disparity for the result columns of a
    tracked frame (``TrackedDataFrame`` or ``DAGTrackedDataFrame``).

    ``outcome`` is a column label of ``frame`` or a tracked Series with one
    value per row (matched by position); it is reported first.  The other
    result columns are, by default, the frame's columns whose provenance
    names a protected source (the protected attribute columns themselves
    left out); ``columns`` names them instead, and ``all_columns=True``
    takes every column.  A boolean or 0/1 column is measured by its
    selection rate per group, any other numeric column by its mean.

    The protected attributes are the tracker's protected (table, column)
    pairs (``tracker`` defaults to the frame's).  For each result column and
    attribute the report says whether the column's words name the attribute
    ("dependent") and, when they do (or for every attribute with
    ``measure_all=True``), measures the column per group of the attribute
    with fairlearn: group values, demographic parity difference and ratio
    and, given ``truth`` (a 0/1 column label or a sequence matched by
    position), the equalised-odds difference.

    Group values per row come from the frame's own column of that name when
    its words still name the attribute; otherwise from ``protected_frame``
    (one source frame, or a dict from table name to source frame), whose
    rows are matched to the result rows **by index label**, so the result
    must keep its source's index.  Unmatched labels and missing values
    form the group "<missing>".  Numeric attributes are binned by ``bins``
    (an int for quantile bins, a list of edges, or a dict from column name
    or "table.column" to either) or by quartiles.  Rows whose result value
    is missing are left out of that column's metrics.

    >>> from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe
    >>> t = ProvenanceTracker()
    >>> df = wrap_dataframe(pd.DataFrame({"sex": ["f", "m", "f", "m"],
    ...                                   "pay": [1.0, 2.0, 3.0, 4.0]}), t, "hr", ["sex"])
    >>> df["ok"] = df["pay"] > 1.5
    >>> r = fairness_report(df, "ok", measure_all=True)
    >>> a = r["ok"].attribute("sex")
    >>> a.dependent, [(g.group, g.value) for g in a.groups], a.difference
    (False, [('f', 0.5), ('m', 1.0)], 0.5)
    """
    col_prov = getattr(frame, "_col_prov", None)
    if not isinstance(frame, pd.DataFrame) or col_prov is None:
        raise type_error("frame", "TrackedDataFrame or DAGTrackedDataFrame", frame)
    if tracker is None:
        tracker = getattr(frame, "_tracker", None)
    if tracker is None:
        raise ValueError("the frame carries no tracker; pass tracker= (the tracker that "
                         "wrapped its inputs)")
    if not isinstance(tracker, ProvenanceTracker):
        raise type_error("tracker", "ProvenanceTracker", tracker)
    check_exact(columns, "columns", list, allow_none=True)
    if columns is not None and all_columns:
        raise ValueError("pass either columns= or all_columns=True, not both")
    if protected_frame is not None and not isinstance(protected_frame, (pd.DataFrame, dict)):
        raise type_error("protected_frame", "DataFrame or dict", protected_frame)
    _check_bins(bins)
    _fairlearn_metrics()  # fail early, before any work, when it is missing

    protected = protected_attributes(tracker)
    reader = _PairReader(tracker)
    name, out_values, out_words, out_label = _resolve_outcome(frame, outcome)
    truth_name, truth_codes = _resolve_truth(frame, truth)

    # The result columns after the outcome.
    def is_attribute_column(label: Hashable) -> bool:
        pairs = reader.pairs(_frame_words(frame, label))
        return len(pairs) == 1 and next(iter(pairs)) in protected and \
            next(iter(pairs))[1] == _label_text(label)

    if columns is not None:
        for label in columns:
            if label not in frame.columns:
                raise KeyError(f"result column {label!r} is not a column of the frame")
        others = [c for c in columns if c != out_label]
    else:
        others = []
        for label in frame.columns:
            if label == out_label or (not all_columns and is_attribute_column(label)):
                continue
            if all_columns or reader.pairs(_frame_words(frame, label)) & set(protected):
                others.append(label)

    targets: list[tuple[str, pd.Series, np.ndarray | None]] = [(name, out_values, out_words)]
    targets += [(_label_text(c), _column_values(frame, c, "result"), _frame_words(frame, c))
                for c in others]

    group_cache: dict[Pair, tuple[Any, ...]] = {}

    def groups_of(pair: Pair) -> tuple[Any, ...]:
        if pair not in group_cache:
            values, where, unmatched = _source_values(frame, pair, reader, protected_frame)
            if values is None:
                table, column = pair
                raise ValueError(
                    f"the values of protected column {table}.{column} are not in the frame; "
                    f"pass protected_frame= (the source frame, or a dict {{{table!r}: frame}}); "
                    "its rows are matched to the result rows by index label")
            labels, order, binned = group_labels(values, _bins_for(bins, pair),
                                                 f"{pair[0]}.{pair[1]}")
            group_cache[pair] = (labels, order, binned, where, unmatched)
        return group_cache[pair]

    entries = []
    for label, raw, words in targets:
        pairs = reader.pairs(words)
        rows = len(raw)
        struct = _structure(label, words, tracker, pairs, protected)
        values = _measurable(raw)
        present = (np.zeros(rows, dtype=bool) if values is None
                   else values.notna().to_numpy())
        attrs = []
        for pair in protected:
            dependent = pair in pairs
            table, column = pair
            if not (dependent or measure_all):
                attrs.append(AttributeDisparity(table, column, dependent=False, measured=False))
                continue
            if values is None or not present.any():
                attrs.append(AttributeDisparity(
                    table, column, dependent=dependent, measured=False,
                    note=("values are neither boolean nor numeric" if values is None
                          else "no row has a result value to measure")))
                continue
            labels, order, binned, where, unmatched = groups_of(pair)
            kept = values[present].reset_index(drop=True)
            kept_groups = labels[present]
            kept_truth = None if truth_codes is None else truth_codes[present]
            got = measure_groups(kept, kept_groups,
                                 [g for g in order if g in set(kept_groups.tolist())],
                                 kept_truth)
            notes = [got["note"]] if got["note"] else []
            if unmatched:
                notes.insert(0, f"{unmatched:,} result rows have index labels not found in the "
                             "source frame; they are in the missing group")
            note = "; ".join(notes) or None
            attrs.append(AttributeDisparity(
                table, column, dependent=dependent, measured=True, metric=got["metric"],
                binned=binned, groups=got["groups"], difference=got["difference"],
                ratio=got["ratio"], equalized_odds_difference=got["equalized_odds_difference"],
                values_from=where, unmatched=unmatched, note=note))
        entries.append(ColumnFairness(column=label, rows=rows,
                                      rows_measured=int(present.sum()),
                                      attributes=tuple(attrs), **struct))
    return FairnessReport(name, entries, truth_name)
