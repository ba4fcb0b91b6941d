"""Version differences of the libraries morvel builds on, in one place."""
from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

_PD_VERSION = tuple(int(p) for p in pd.__version__.split(".")[:2] if p.isdigit())

PANDAS_GE_30 = _PD_VERSION >= (3, 0)
NUMPY_GE_20 = tuple(int(p) for p in np.__version__.split(".")[:1]) >= (2,)


def concat_inputs(other: Any) -> list:
    """The objects ``pd.concat`` stacked, from what it hands ``__finalize__``:
    ``input_objs`` under pandas 3, ``objs`` of its concatenator under pandas 2."""
    objs = getattr(other, "input_objs", None)
    if objs is None:
        objs = getattr(other, "objs", None)
    return list(objs) if objs is not None else []


def window_bounds(win: Any, n: int) -> tuple[np.ndarray, np.ndarray]:
    """[start, end) row positions of every window of a pandas Rolling or
    Expanding object over n rows, from the window indexer pandas itself
    uses (the same call in pandas 2.2 and 3)."""
    indexer = win._get_window_indexer()
    start, end = indexer.get_window_bounds(
        num_values=n, min_periods=win.min_periods, center=getattr(win, "center", False),
        closed=getattr(win, "closed", None), step=getattr(win, "step", None))
    return np.asarray(start, dtype=np.int64), np.asarray(end, dtype=np.int64)
