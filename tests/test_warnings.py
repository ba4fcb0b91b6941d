"""Tracked arithmetic warns exactly when pandas does: division by zero gives
inf / nan silently in pandas, and so it must at both tracking levels."""
from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest

from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe
from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag

FRAME = pd.DataFrame({"a": [1.0, 0.0, -2.0, np.nan], "b": [0.0, 0.0, 0.0, 1.0]})

OPS = {
    "div": lambda a, b: a / b,
    "floordiv": lambda a, b: a // b,
    "mod": lambda a, b: a % b,
    "pow": lambda a, b: a ** -1.0,
    "rdiv": lambda a, b: 1.0 / b,
    "div by 0.0": lambda a, b: a / 0.0,
}

LEVELS = {
    "words": lambda: wrap_dataframe(FRAME, ProvenanceTracker(), "t"),
    "nodes": lambda: wrap_dataframe_dag(FRAME, DAGTracker(), "t"),
}


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("op", OPS)
def test_division_by_zero_is_as_silent_as_in_pandas(level, op):
    frame = LEVELS[level]()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected = OPS[op](FRAME["a"], FRAME["b"])  # pandas itself: no warning
        result = OPS[op](frame["a"], frame["b"])
    np.testing.assert_array_equal(result.to_numpy(), expected.to_numpy())
