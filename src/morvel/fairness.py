"""Outcome fairness beside structural taint.

:func:`fairness_report` takes a tracked frame (``TrackedDataFrame`` or
``DAGTrackedDataFrame``) and an outcome column, finds the protected
attributes through the tracker and the columns that depend on them through
their provenance words, and measures per group of each attribute the
selection rate (or mean) with the demographic parity difference and ratio
and, given a ground truth, the equalised-odds difference.  The metrics come
from fairlearn (``pip install 'morvel[fairness]'``); plots need matplotlib
(``pip install 'morvel[plot]'``).
"""
from __future__ import annotations

from morvel._fairness import (
    DEFAULT_QUANTILES,
    MEAN,
    MISSING_GROUP,
    OUTSIDE_BINS,
    SELECTION_RATE,
    AttributeDisparity,
    ColumnFairness,
    FairnessReport,
    GroupOutcome,
    fairness_report,
    group_labels,
    protected_attributes,
)

__all__ = [
    "DEFAULT_QUANTILES",
    "MEAN",
    "MISSING_GROUP",
    "OUTSIDE_BINS",
    "SELECTION_RATE",
    "AttributeDisparity",
    "ColumnFairness",
    "FairnessReport",
    "GroupOutcome",
    "fairness_report",
    "group_labels",
    "protected_attributes",
]
