"""Checks declared on a pipeline (``Pipeline.expect``) and evaluated after
every step that drops rows, merges or changes values."""
from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from morvel._history.recorder import Step


class ExpectationWarning(UserWarning):
    """A declared check failed at a step of the pipeline."""


class ExpectationError(ValueError):
    """A declared check with ``raise_on_failure=True`` failed."""


@dataclass
class CheckResult:
    """The outcome of one check after one step."""

    check: str
    step: int
    step_name: str
    location: str
    passed: bool
    detail: str

    def to_dict(self) -> dict:
        return {"check": self.check, "step": self.step, "step_name": self.step_name,
                "location": self.location, "passed": self.passed, "detail": self.detail}


# The kinds of check and whether each one needs a column.
KINDS = {"unique": True, "not_null": True, "values_in": True,
         "retention_at_least": False, "no_merge_expansion": False}


@dataclass
class Check:
    """One declared check: ``kind`` (a key of ``KINDS``), the column it
    looks at, its argument (the allowed values, the retention floor) and
    whether a failure raises."""

    kind: str
    column: Any = None
    argument: Any = None
    raise_on_failure: bool = False

    @property
    def label(self) -> str:
        if self.kind == "values_in":
            shown = sorted(map(str, self.argument))
            more = ", ..." if len(shown) > 6 else ""
            return f"values_in({self.column!r}, {{{', '.join(shown[:6])}{more}}})"
        if self.kind == "retention_at_least":
            return f"retention_at_least({self.argument:g})"
        if self.kind == "no_merge_expansion":
            return "no_merge_expansion()"
        return f"{self.kind}({self.column!r})"

    def evaluate(self, step: Step, result: Any) -> CheckResult | None:
        """The check on the result of ``step``; None where it does not apply
        (its column is not in the result, a retention floor on a transform,
        a merge check on anything but a merge)."""
        if self.kind == "retention_at_least":
            if step.kind == "values" or step.rows_in == 0:
                return None
            kept = step.rows_in - len(step.dropped)
            share = kept / step.rows_in
            return self._result(step, share >= self.argument,
                                f"{kept} of {step.rows_in} rows kept ({share:.1%})")
        if self.kind == "no_merge_expansion":
            if step.kind != "merge":
                return None
            multi = step.detail["multiplied"]
            added = int(step.detail.get("added", 0))
            return self._result(step, len(multi) == 0,
                                f"{len(multi)} left rows matched several right rows "
                                f"({added} rows added)")
        col = _column(result, self.column)
        if col is None:
            return None
        if self.kind == "unique":
            bad = int(col.duplicated(keep=False).sum())
            return self._result(step, bad == 0, f"{bad} rows share a value")
        if self.kind == "not_null":
            bad = int(col.isna().sum())
            return self._result(step, bad == 0, f"{bad} missing values")
        allowed = list(self.argument)
        outside = ~col.isin(allowed) & col.notna()
        bad = int(outside.sum())
        shown = ", ".join(repr(v) for v in pd.unique(col[outside].to_numpy())[:5])
        return self._result(step, bad == 0,
                            f"{bad} values outside the set" + (f": {shown}" if bad else ""))

    def _result(self, step: Step, passed: bool, detail: str) -> CheckResult:
        return CheckResult(self.label, step.number, step.name, step.location, bool(passed),
                           detail)

    def fail(self, res: CheckResult) -> None:
        """Warn about a failed result, or raise when asked to."""
        msg = (f"check {res.check} failed after step {res.step} ({res.step_name}, "
               f"{res.location}): {res.detail}")
        if self.raise_on_failure:
            raise ExpectationError(msg)
        warnings.warn(msg, ExpectationWarning, stacklevel=2)


def _column(result: Any, column: Any) -> pd.Series | None:
    """Column ``column`` of a result frame, or the result series when it is
    named so, as a plain series; None when the result has no such column."""
    if isinstance(result, pd.DataFrame):
        try:
            if column not in result.columns:
                return None
        except TypeError:
            return None
        col = pd.DataFrame(result, copy=False)[column]
        return col if isinstance(col, pd.Series) else None
    if isinstance(result, pd.Series) and result.name is not None:
        try:
            same = bool(result.name == column)
        except (TypeError, ValueError):
            return None
        return pd.Series(result, copy=False) if same else None
    return None


def build_checks(unique: Any, not_null: Any, values_in: Any, retention_at_least: Any,
                 no_merge_expansion: bool, raise_on_failure: bool) -> list[Check]:
    """The checks of one ``expect`` call (several keywords, several checks)."""
    from morvel.utilities._argcheck import type_error
    checks: list[Check] = []
    for kind, cols in (("unique", unique), ("not_null", not_null)):
        if cols is None:
            continue
        for col in (cols if isinstance(cols, (list, tuple)) else [cols]):
            checks.append(Check(kind, col, None, raise_on_failure))
    if values_in is not None:
        if not isinstance(values_in, dict):
            raise type_error("values_in", "dict", values_in)
        for col, allowed in values_in.items():
            if isinstance(allowed, (str, bytes)) or not hasattr(allowed, "__iter__"):
                raise type_error(f"values_in[{col!r}]", "collection of values", allowed)
            checks.append(Check("values_in", col, frozenset(allowed) if _hashable_all(allowed)
                                else list(allowed), raise_on_failure))
    if retention_at_least is not None:
        if isinstance(retention_at_least, bool) or not isinstance(
                retention_at_least, (int, float, np.integer, np.floating)):
            raise type_error("retention_at_least", "float", retention_at_least)
        floor = float(retention_at_least)
        if not 0.0 <= floor <= 1.0:
            raise ValueError(f"retention_at_least={floor} must be a share between 0 and 1")
        checks.append(Check("retention_at_least", None, floor, raise_on_failure))
    if no_merge_expansion:
        checks.append(Check("no_merge_expansion", None, None, raise_on_failure))
    if not checks:
        raise ValueError("expect() needs at least one of unique=, not_null=, values_in=, "
                         "retention_at_least= or no_merge_expansion=True")
    return checks


def _hashable_all(values: Any) -> bool:
    try:
        frozenset(values)
    except TypeError:
        return False
    return True
