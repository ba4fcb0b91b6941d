"""Series audits and the column risk report on crafted words."""
from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel.utilities import vortel32 as v
from morvel.utilities.vortel32 import (
    ProvenanceTracker,
    TrackedDataFrame,
    TrackedSeries,
    audit,
    audit_series_diversity,
    column_risk_report,
    provenance_entropy,
    wrap_dataframe,
)

NO_DATA = {"error": "No tracker or empty series"}


@pytest.fixture
def tracker():
    return ProvenanceTracker()


def series(words, tracker):
    return TrackedSeries(np.arange(len(words), dtype=float),
                         _prov=np.asarray(words, dtype=np.uint32), _tracker=tracker)


# -- audit -----------------------------------------------------------------------

@pytest.mark.parametrize("fn", [audit, audit_series_diversity])
def test_error_dict_without_tracker_or_data(tracker, fn):
    assert fn(TrackedSeries([], dtype=float, _tracker=tracker)) == NO_DATA
    assert fn(TrackedSeries([1.0, 2.0])) == NO_DATA


def test_audit_of_the_neutral_word(tracker):
    r = audit(series([0, 0], tracker))
    assert list(r) == ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables",
                       "entity", "chain", "taint", "depth", "risk", "has_protected"]
    assert r["provenance"] == "0x00000000"
    assert (r["pair_count"], r["pair_ids"], r["columns"], r["tables"]) == (0, [], [], [])
    assert (r["taint"], r["depth"], r["risk"], r["has_protected"]) == (False, 0, 0.0, False)


def test_audit_explains_the_first_word(tracker):
    a = tracker.register("people", "age", True)
    b = tracker.register("loans", "amount")
    c = tracker.register("people", "zip")
    word = tracker.encode({c, a, b}, entity=3, taint=True, depth=2)
    clean = tracker.encode({b})
    r = audit(series([word, clean], tracker))
    assert r["provenance"] == "0x%08X" % word and r["provenance"][2:].isupper()
    assert r["pair_count"] == 3 and r["pair_ids"] == [a, b, c]
    assert r["columns"] == [("people", "age"), ("loans", "amount"), ("people", "zip")]
    assert r["tables"] == ["people", "loans"]
    assert (r["taint"], r["depth"], r["risk"], r["has_protected"]) == (True, 2, 1 / 3, True)
    assert r["mode"] == tracker.decode_full(word).mode


def test_audit_looks_only_at_the_first_element(tracker):
    pid = tracker.register("t", "x", True)
    r = audit(series([tracker.encode({pid}), tracker.encode({pid}, taint=True)], tracker))
    assert r["taint"] is False and r["risk"] == 0.0
    assert r["has_protected"] is True  # the pair itself is protected


# -- diversity ---------------------------------------------------------------------

@pytest.mark.parametrize("taint", [False, True])
def test_diversity_of_one_repeated_word(tracker, taint):
    pid = tracker.register("t", "x")
    word = tracker.encode({pid}, entity=9, taint=taint, depth=3)
    r = audit_series_diversity(series([word] * 10, tracker))
    assert r == {"total_rows": 10, "unique_provenances": 1, "unique_pair_sets": 1,
                 "unique_entities": 1, "unique_chains": 1, "entity_diversity": 0.1,
                 "tainted_provenances": int(taint), "taint_ratio": float(taint), "max_depth": 3}
    assert list(r) == ["total_rows", "unique_provenances", "unique_pair_sets", "unique_entities",
                       "unique_chains", "entity_diversity", "tainted_provenances", "taint_ratio",
                       "max_depth"]


def test_diversity_counts_distinct_words_not_rows(tracker):
    ids = [tracker.register("t", c) for c in "abcd"]
    w1 = tracker.encode({ids[0]}, entity=1, chain=1, taint=True, depth=1)
    w2 = tracker.encode({ids[1], ids[2]}, entity=2, chain=2, depth=5)
    w3 = tracker.encode({ids[3]}, entity=1, chain=1)
    r = audit_series_diversity(series([w1, w1, w1, w2, w3, w3], tracker))
    assert r["unique_provenances"] == 3
    assert r["unique_pair_sets"] == 4
    assert r["tainted_provenances"] == 1 and r["taint_ratio"] == pytest.approx(1 / 3)
    assert r["max_depth"] == 5
    infos = [tracker.decode_full(w) for w in (w1, w2, w3)]
    assert r["unique_entities"] == len({i.entity for i in infos})
    assert r["entity_diversity"] == len({i.entity for i in infos}) / 6


# -- entropy -----------------------------------------------------------------------

@pytest.mark.parametrize("words, expected", [
    ([5, 5, 9, 9], 1.0),
    ([5], 0.0),
    ([7] * 10, 0.0),
    ([1, 2, 3, 4], 2.0),
    ([1, 2, 3, 4, 5, 6, 7, 8], 3.0),
])
def test_entropy_of_crafted_words(words, expected):
    assert provenance_entropy(series(words, None)) == expected


def test_entropy_of_empty_series_does_not_need_a_tracker():
    assert provenance_entropy(TrackedSeries([], dtype=float)) == 0.0


def reference_entropy(words):
    counts: dict = {}
    for w in words:
        counts[int(w)] = counts.get(int(w), 0) + 1
    entropy = 0.0
    for c in counts.values():
        q = c / len(words)
        if q > 0:
            entropy -= q * math.log2(q)
    return entropy


@given(st.lists(st.integers(0, 2**32 - 1) | st.sampled_from([0, 1, 2, 3]), min_size=1, max_size=60))
def test_entropy_equals_the_counting_loop_exactly(words):
    assert provenance_entropy(series(words, None)) == reference_entropy(words)


# -- column risk report ---------------------------------------------------------------

@pytest.fixture
def crafted(tracker):
    """Columns whose shallowest tainted words have depth 0, 2 and 4, a clean
    column, an empty one and one without words."""
    ids = {c: tracker.register("t", c, c.startswith("p")) for c in ("p0", "p2", "p4", "clean")}

    def words(col, depths, taint=True):
        return np.array([tracker.encode({ids[col]}, taint=taint, depth=d) for d in depths],
                        dtype=np.uint32)

    df = TrackedDataFrame(
        {"clean": [1, 2, 3], "p4": [1, 2, 3], "nowords": [0, 0, 0], "p2": [1, 2, 3],
         "p0": [1, 2, 3], "empty": [0, 0, 0]},
        _tracker=tracker,
        _col_prov={
            "clean": words("clean", [0, 1, 2], taint=False),
            "p4": np.concatenate([words("p4", [6, 4]), words("clean", [0], taint=False)]),
            "p2": words("p2", [3, 2, 7]),
            "p0": words("p0", [5, 0, 1]),
            "empty": np.zeros(0, dtype=np.uint32),
        },
    )
    return df


def test_report_ranks_columns_by_risk(crafted):
    report = column_risk_report(crafted)
    assert report == [
        {"column": "p0", "tainted": True, "max_risk": 1.0, "min_depth": 0, "risk_level": "HIGH"},
        {"column": "p2", "tainted": True, "max_risk": 0.3333, "min_depth": 2, "risk_level": "MEDIUM"},
        {"column": "p4", "tainted": True, "max_risk": 0.2, "min_depth": 4, "risk_level": "LOW"},
        {"column": "clean", "tainted": False, "max_risk": 0.0, "min_depth": None, "risk_level": "CLEAN"},
        {"column": "nowords", "tainted": False, "max_risk": 0.0, "min_depth": None, "risk_level": "CLEAN"},
        {"column": "empty", "tainted": False, "max_risk": 0.0, "min_depth": None, "risk_level": "CLEAN"},
    ]
    assert all(list(r) == ["column", "tainted", "max_risk", "min_depth", "risk_level"] for r in report)
    assert all(type(r["tainted"]) is bool and type(r["max_risk"]) is float for r in report)


@pytest.mark.parametrize("depth, risk, level", [
    (0, 1.0, "HIGH"), (1, 0.5, "MEDIUM"), (2, 0.3333, "MEDIUM"), (3, 0.25, "MEDIUM"),
    (4, 0.2, "LOW"), (5, 0.1667, "LOW"), (6, 0.1429, "LOW"), (7, 0.125, "LOW"),
])
def test_risk_level_of_each_depth(tracker, depth, risk, level):
    pid = tracker.register("t", "x", True)
    df = TrackedDataFrame({"x": [1]}, _tracker=tracker,
                          _col_prov={"x": np.array([tracker.encode({pid}, taint=True, depth=depth)],
                                                   dtype=np.uint32)})
    (row,) = column_risk_report(df)
    assert (row["max_risk"], row["min_depth"], row["risk_level"]) == (risk, depth, level)


def test_equal_risks_keep_column_order(tracker):
    pid = tracker.register("t", "x", True)
    w = np.array([tracker.encode({pid}, taint=True, depth=1)], dtype=np.uint32)
    cols = ["d", "b", "c", "a"]
    df = TrackedDataFrame({c: [1] for c in cols}, _tracker=tracker,
                          _col_prov={"b": w, "a": w, "c": np.zeros(1, dtype=np.uint32)})
    assert [r["column"] for r in column_risk_report(df)] == ["b", "a", "d", "c"]


def test_report_needs_a_tracker(crafted, tracker):
    crafted._tracker = None
    assert column_risk_report(crafted) == []
    assert [r["column"] for r in column_risk_report(crafted, tracker)][:3] == ["p0", "p2", "p4"]


def test_report_uses_the_batch_reads(crafted, monkeypatch):
    seen = []
    real = v.is_tainted_batch

    def spy(words):
        seen.append(len(words))
        return real(words)

    monkeypatch.setattr(v, "is_tainted_batch", spy)
    column_risk_report(crafted)
    assert seen == [3, 3, 3, 3, 0]


def test_report_of_a_wrapped_frame(tracker):
    df = pd.DataFrame({"gender": ["f", "m"], "income": [1.0, 2.0]})
    tdf = wrap_dataframe(df, tracker, "people", ["gender"])
    tdf["score"] = tdf["income"] * tdf["gender"].map({"f": 1.0, "m": 0.0})
    report = column_risk_report(tdf)
    assert [(r["column"], r["risk_level"]) for r in report] == [
        ("gender", "HIGH"), ("score", "MEDIUM"), ("income", "CLEAN")]
    assert report[1]["max_risk"] == 0.5 and report[1]["min_depth"] == 1


def test_audits_change_nothing(crafted, tracker):
    before = {k: a.copy() for k, a in crafted._col_prov.items()}
    stats = tracker.stats()
    s = crafted["p2"]
    words = s._prov.copy()
    audit(s), audit_series_diversity(s), provenance_entropy(s), column_risk_report(crafted)
    assert tracker.stats() == stats
    np.testing.assert_array_equal(s._prov, words)
    assert all(np.array_equal(crafted._col_prov[k], before[k]) for k in before)
