"""Assignment into one tracked frame never changes another frame's
provenance, and tracked ``clip`` takes pandas' keywords, at both levels."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe
from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag

LEVELS = {
    "words": lambda df: wrap_dataframe(df, ProvenanceTracker(), "t", ["b"]),
    "lineage": lambda df: wrap_dataframe_dag(df, DAGTracker(), "t", ["b"]),
}
DERIVED = {
    "copy": lambda f: f.copy(),
    "shallow copy": lambda f: f.copy(deep=False),
    "row slice": lambda f: f[1:],
    "iloc slice": lambda f: f.iloc[:3],
    "column subset": lambda f: f[["a", "b"]],
    "head": lambda f: f.head(4),
    "pandas method": lambda f: f.rename(columns={"c": "c2"}),
}


def _state(frame):
    maps = [frame._col_prov] + ([frame._col_nodes] if hasattr(frame, "_col_nodes") else [])
    return [{k: np.array(v, copy=True) for k, v in m.items()} for m in maps]


def _same(before, after):
    assert [sorted(m) for m in before] == [sorted(m) for m in after]
    for b, a in zip(before, after):
        for key in b:
            np.testing.assert_array_equal(b[key], a[key])


@pytest.mark.parametrize("level", LEVELS)
@pytest.mark.parametrize("derive", DERIVED)
def test_assigning_into_a_derived_frame_leaves_the_original_alone(level, derive):
    df = pd.DataFrame({"a": [1.0, np.nan, 3.0, 4.0, 5.0], "b": [5.0, 6.0, 7.0, 8.0, 9.0],
                       "c": [1.0, 1.0, 2.0, 2.0, 3.0]})
    original = LEVELS[level](df)
    before = _state(original)
    derived = DERIVED[derive](original)
    derived_before = _state(derived)
    derived["a"] = derived["a"].fillna(0) + derived["b"]
    derived["new"] = derived["b"] * derived["b"]
    _same(before, _state(original))
    # and the other way round: the original's assignment leaves the derived frame alone
    original["a"] = original["b"] - original["b"]
    after = _state(derived)
    for key in derived_before[0]:
        if key != "a":
            np.testing.assert_array_equal(derived_before[0][key], after[0][key])
    # the derived frame really took the new words (the test would pass vacuously otherwise)
    assert not np.array_equal(after[0]["a"], derived_before[0]["a"])


@pytest.mark.parametrize("level", LEVELS)
def test_clip_takes_pandas_keywords_and_refuses_inplace(level):
    frame = LEVELS[level](pd.DataFrame({"a": [1000.0, 6000.0, 9000.0], "b": [1.0, 2.0, 3.0]}))
    s = frame["a"]
    expected = pd.Series(s.to_numpy()).clip(lower=5000.0)
    for kwargs in ({"axis": 0}, {"axis": "index"}, {}):
        out = s.clip(lower=5000.0, **kwargs)
        assert out.tolist() == expected.tolist()
        assert type(out) is type(s)
        np.testing.assert_array_equal(out._prov, s.clip(5000.0)._prov)
    with pytest.raises(ValueError, match="inplace=True"):
        s.clip(lower=5000.0, inplace=True)
    assert s.tolist() == [1000.0, 6000.0, 9000.0]
    with pytest.raises(ValueError):
        s.clip(lower=5000.0, axis=1)  # a Series has one axis, as in pandas
    with pytest.raises(TypeError, match="unexpected keyword"):
        s.clip(lower=5000.0, bogus=1)
