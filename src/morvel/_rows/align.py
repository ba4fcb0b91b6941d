"""Index alignment of two-operand element operations."""
from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd
from pandas.api.extensions import take as _take_values

from morvel._rows.core import NO_NODE, family_of, take


def needs_alignment(left: pd.Series, right: Any) -> bool:
    """True when ``right`` is a Series whose index differs from ``left``'s, so
    that pandas would pair the elements by label, not by position."""
    if not isinstance(right, pd.Series):
        return False
    a, b = left.index, right.index
    return not (a is b or (len(a) == len(b) and a.equals(b)))


def align_operands(left: Any, right: pd.Series, comparison: bool) -> tuple[Any, Any]:
    """``left`` and ``right`` re-laid on the outer join of their indexes, as
    pandas aligns them: values missing on one side become NaN, their words
    the neutral 0 and their node ids -1.  Each operand keeps its class.

    Comparisons of differently labelled series are refused, as pandas does.
    """
    if comparison:
        raise ValueError("Can only compare identically-labeled Series objects")
    index, lidx, ridx = left.index.join(right.index, how="outer", return_indexers=True)
    return _relaid(left, index, lidx), _relaid(right, index, ridx)


def _relaid(s: Any, index: pd.Index, idx: np.ndarray | None) -> Any:
    values = s.to_numpy()
    if idx is not None:
        values = _take_values(values, idx, allow_fill=True)
    fam = family_of(s)
    if fam is None or not isinstance(s, fam.series):
        return pd.Series(values, index=index, name=s.name, copy=False)
    prov, nodes = fam.series_arrays(s)
    if idx is not None:
        pos = np.asarray(idx, dtype=np.int64)
        prov = take(prov, pos, 0)
        nodes = take(nodes, pos, NO_NODE) if nodes is not None else None
    return fam.make_series(values, index, s.name, s._tracker, prov, nodes)
