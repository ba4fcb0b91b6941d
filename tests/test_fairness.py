"""Outcome fairness beside structural taint, at both tracking levels, with
fairlearn's numbers checked against a brute-force groupby."""
from __future__ import annotations

import json
import re
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.fairness import (
    MISSING_GROUP,
    OUTSIDE_BINS,
    fairness_report,
    group_labels,
    protected_attributes,
)
from morvel.utilities.vortel32 import (
    ProvenanceTracker,
    column_risk_report,
    wrap_dataframe,
)
from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag

LEVELS = {
    "core": (ProvenanceTracker, wrap_dataframe),
    "dag": (DAGTracker, wrap_dataframe_dag),
}


@pytest.fixture(params=sorted(LEVELS))
def level(request):
    return LEVELS[request.param]


def applicants(level, gender, age, income, protected=("gender", "age")):
    """A wrapped frame with ``approved`` derived from income and age
    (the age term is zero, so income alone decides, but the provenance
    carries age) and ``ratio`` derived from income alone."""
    make_tracker, wrap = level
    tracker = make_tracker()
    raw = pd.DataFrame({"gender": gender, "age": age, "income": income})
    df = wrap(raw, tracker, "people", protected=list(protected))
    score = df["income"] + df["age"] * 0.0
    df["approved"] = score >= 50.0
    df["ratio"] = df["income"] / 100.0
    return df, raw, tracker


# A known disparity, constructed so that every rate and difference is exact:
# women 1 of 4 approved, men 3 of 4; under 40: 1 of 4, 40 and over: 3 of 4.
GENDER = ["f", "f", "f", "f", "m", "m", "m", "m"]
AGE = [20, 30, 45, 60, 25, 35, 50, 65]
INCOME = [10.0, 10.0, 60.0, 10.0, 60.0, 10.0, 60.0, 60.0]
TRUTH = [1, 0, 1, 0, 0, 1, 1, 0]


def rates(attr):
    return {g.group: (g.value, g.count) for g in attr.groups}


def test_known_disparity_is_exact(level):
    df, _, tracker = applicants(level, GENDER, AGE, INCOME)
    r = fairness_report(df, "approved", bins={"age": [18, 40, 70]}, columns=[],
                        measure_all=True)
    assert [c.column for c in r.columns] == ["approved"]
    approved = r["approved"]
    age = approved.attribute("people.age")
    assert (age.dependent, age.measured, age.metric, age.binned) == (True, True,
                                                                     "selection_rate", True)
    assert rates(age) == {"[18, 40)": (0.25, 4), "[40, 70]": (0.75, 4)}
    assert age.difference == pytest.approx(0.5)
    assert age.ratio == pytest.approx(1 / 3)
    assert age.values_from == "frame"
    # Income decides, gender is not in the provenance: measured only on request.
    gender = approved.attribute("gender")
    assert gender.dependent is False and gender.measured is True
    assert rates(gender) == {"f": (0.25, 4), "m": (0.75, 4)}
    assert gender.difference == pytest.approx(0.5)
    # The structural side is the column risk report's entry for the column.
    risk = {e["column"]: e for e in column_risk_report(df)}["approved"]
    assert (approved.tainted, approved.max_risk, approved.risk_level, approved.min_depth) == (
        risk["tainted"], risk["max_risk"], risk["risk_level"], risk["min_depth"])
    assert approved.protected_sources == ("people.age",)
    assert set(approved.sources) == {"people.age", "people.income"}
    assert protected_attributes(tracker) == [("people", "gender"), ("people", "age")]


def test_equalised_odds_with_truth_column_and_sequence(level):
    df, _, _ = applicants(level, GENDER, AGE, INCOME)
    df["truth"] = np.array(TRUTH, dtype=bool)
    by_label = fairness_report(df, "approved", truth="truth", bins={"age": [18, 40, 70]},
                               columns=[])
    by_list = fairness_report(df, "approved", truth=TRUTH, bins={"age": [18, 40, 70]},
                              columns=[])
    for r in (by_label, by_list):
        age = r["approved"].attribute("age")
        pred = np.array(INCOME) >= 50
        truth = np.array(TRUTH, dtype=bool)
        young = np.array(AGE) < 40
        tpr = [pred[g & truth].mean() for g in (young, ~young)]
        fpr = [pred[g & ~truth].mean() for g in (young, ~young)]
        expected = max(abs(tpr[0] - tpr[1]), abs(fpr[0] - fpr[1]))
        assert age.equalized_odds_difference == pytest.approx(expected)
    assert by_label.truth == "truth"


def test_no_disparity(level):
    df, _, _ = applicants(level, ["f", "m"] * 4, [20, 20, 30, 30, 50, 50, 60, 60],
                          [60.0, 60.0, 10.0, 10.0, 60.0, 60.0, 10.0, 10.0])
    r = fairness_report(df, "approved", truth=[1, 1, 0, 0, 1, 1, 0, 0], measure_all=True,
                        columns=[], bins={"age": [18, 40, 70]})
    for name in ("gender", "age"):
        a = r["approved"].attribute(name)
        assert a.difference == 0.0 and a.ratio == 1.0
        assert a.equalized_odds_difference == 0.0
        assert len({g.value for g in a.groups}) == 1


def test_missing_protected_values_form_their_own_group(level):
    gender = ["f", None, "f", "m", None, "m"]
    age = [20.0, 30.0, np.nan, 50.0, 60.0, np.nan]
    income = [60.0, 60.0, 10.0, 10.0, 60.0, 10.0]
    df, _, _ = applicants(level, gender, age, income)
    r = fairness_report(df, "approved", bins={"age": [18, 40, 70]}, columns=[],
                        measure_all=True)
    got = rates(r["approved"].attribute("gender"))
    assert got == {"f": (0.5, 2), "m": (0.0, 2), MISSING_GROUP: (1.0, 2)}
    assert [g.group for g in r["approved"].attribute("gender").groups][-1] == MISSING_GROUP
    assert rates(r["approved"].attribute("age")) == {
        "[18, 40)": (1.0, 2), "[40, 70]": (0.5, 2), MISSING_GROUP: (0.0, 2)}


def test_protected_column_that_does_not_reach_the_result(level):
    df, _, _ = applicants(level, GENDER, AGE, INCOME)
    r = fairness_report(df, "ratio")
    entry = r["ratio"]
    assert entry.tainted is False and entry.risk_level == "CLEAN"
    assert entry.protected_sources == ()
    for a in entry.attributes:
        assert (a.dependent, a.measured, a.groups, a.difference) == (False, False, (), None)
    # On request the metrics are there, still marked as not dependent.
    asked = fairness_report(df, "ratio", measure_all=True)["ratio"].attribute("gender")
    assert asked.dependent is False and asked.metric == "mean"
    assert rates(asked) == {"f": (pytest.approx(0.225), 4), "m": (pytest.approx(0.475), 4)}


def test_result_columns_by_default_named_and_all(level):
    df, _, _ = applicants(level, GENDER, AGE, INCOME)
    df["older"] = df["age"] + df["income"] * 0.0
    default = fairness_report(df, "approved")
    # Outcome first, then the other columns that depend on a protected
    # source; the protected columns themselves and clean columns are left out.
    assert [c.column for c in default.columns] == ["approved", "older"]
    assert [c.column for c in fairness_report(df, "approved", columns=[]).columns] == [
        "approved"]
    named = fairness_report(df, "approved", columns=["ratio", "approved"])
    assert [c.column for c in named.columns] == ["approved", "ratio"]
    everything = fairness_report(df, "approved", all_columns=True)
    assert [c.column for c in everything.columns] == [
        "approved", "gender", "age", "income", "ratio", "older"]
    text = everything["gender"].attribute("gender")
    assert text.measured is False and "neither boolean nor numeric" in text.note
    # A result with no value at all is not measured either, and says why.
    df["none"] = df["age"] * np.nan
    empty = fairness_report(df, "none")["none"].attribute("age")
    assert (empty.dependent, empty.measured, empty.groups) == (True, False, ())
    assert "no row has a result value" in empty.note


def test_outcome_as_tracked_series(level):
    df, _, _ = applicants(level, GENDER, AGE, INCOME)
    flag = df["income"] + df["age"] * 0.0 >= 50.0
    r = fairness_report(df, flag, columns=[], bins={"age": [18, 40, 70]})
    assert r.outcome == "outcome"
    assert r["outcome"].attribute("age").difference == pytest.approx(0.5)
    with pytest.raises(ValueError, match="matched by position"):
        fairness_report(df.iloc[:4], flag)


def test_values_from_the_source_frame_by_index_label(level):
    make_tracker, wrap = level
    tracker = make_tracker()
    raw = pd.DataFrame({"gender": GENDER, "age": AGE, "income": INCOME},
                       index=[f"r{i}" for i in range(8)])
    df = wrap(raw, tracker, "people", protected=["gender"])
    approved = df["income"] + df["gender"].map(lambda g: 0.0) >= 50.0
    result = pd.DataFrame({"approved": approved.to_numpy()}, index=raw.index)
    result = type(df)(result, _tracker=tracker, _col_prov={"approved": approved._prov})
    # Keep five rows in another order; the source frame is shuffled too.
    result = result.loc[["r7", "r0", "r5", "r2", "r4"]]
    shuffled = raw.sample(frac=1.0, random_state=3)
    r = fairness_report(result, "approved", protected_frame=shuffled, columns=[])
    gender = r["approved"].attribute("gender")
    assert gender.dependent and gender.values_from == "protected_frame"
    expected = (pd.DataFrame({"g": raw.loc[result.index, "gender"].to_numpy(),
                              "y": result["approved"].to_numpy()})
                .groupby("g")["y"].agg(["mean", "size"]))
    assert rates(gender) == {g: (row["mean"], row["size"]) for g, row in expected.iterrows()}
    # The dict form names the source frame by table; a label not found there
    # lands in the missing group and the report says so.
    partial = fairness_report(result, "approved", protected_frame={"people": shuffled.drop("r7")},
                              columns=[])["approved"].attribute("gender")
    assert partial.unmatched == 1 and "not found in the source frame" in partial.note
    assert rates(partial)[MISSING_GROUP] == (1.0, 1)
    with pytest.raises(ValueError, match="pass protected_frame="):
        fairness_report(result, "approved", columns=[])
    with pytest.raises(ValueError, match="duplicate index labels"):
        fairness_report(result, "approved", protected_frame=pd.concat([raw, raw]), columns=[])


# -- fairlearn against a brute-force groupby ------------------------------------

# Per group (None: missing) a list of (prediction, truth); every group gets
# both truth classes, where the equalised-odds difference is defined.
group_rows = st.lists(st.tuples(st.booleans(), st.booleans()), min_size=2, max_size=12)


# fairlearn builds several grouped frames per report: fewer, larger examples.
@settings(max_examples=30)
@given(per_group=st.dictionaries(st.sampled_from(["a", "b", "c", None]), group_rows,
                                 min_size=1),
       rnd=st.randoms(use_true_random=False))
def test_selection_rates_match_groupby(per_group, rnd):
    rows = []
    for g, cells in per_group.items():
        cells = [(cells[0][0], True), (cells[1][0], False), *cells[2:]]
        rows += [(g, p, t) for p, t in cells]
    rnd.shuffle(rows)
    groups = [g for g, _, _ in rows]
    pred = np.array([p for _, p, _ in rows])
    truth = np.array([t for _, _, t in rows])
    labelled = pd.Series([MISSING_GROUP if g is None else g for g in groups])
    tracker = ProvenanceTracker()
    df = wrap_dataframe(pd.DataFrame({"g": groups, "x": pred.astype(float)}), tracker, "t",
                        protected=["g"])
    df["y"] = df["x"] + df["g"].map(lambda v: 0.0) >= 1.0
    r = fairness_report(df, "y", truth=truth.tolist(), columns=[])
    attr = r["y"].attribute("g")
    ref = pd.DataFrame({"g": labelled, "y": pred, "t": truth}).groupby("g")
    by_group = ref["y"].agg(["mean", "size"])
    assert {g.group: (pytest.approx(g.value), g.count) for g in attr.groups} == {
        g: (row["mean"], row["size"]) for g, row in by_group.iterrows()}
    assert attr.difference == pytest.approx(by_group["mean"].max() - by_group["mean"].min())
    top = by_group["mean"].max()
    if top > 0:
        assert attr.ratio == pytest.approx(by_group["mean"].min() / top)
    else:
        assert attr.ratio is None  # 0 / 0: not a number, reported as None
    tpr = ref.apply(lambda f: f["y"][f["t"]].mean())
    fpr = ref.apply(lambda f: f["y"][~f["t"]].mean())
    assert attr.equalized_odds_difference == pytest.approx(
        max(tpr.max() - tpr.min(), fpr.max() - fpr.min()))


@settings(max_examples=30)
@given(values=st.lists(st.floats(-1e6, 1e6, allow_nan=False), min_size=2, max_size=30),
       groups=st.lists(st.sampled_from(["x", "y"]), min_size=30, max_size=30))
def test_means_match_groupby(values, groups):
    groups = groups[:len(values)]
    tracker = DAGTracker()
    df = wrap_dataframe_dag(pd.DataFrame({"g": groups, "v": values}), tracker, "t",
                            protected=True)
    df["m"] = df["v"] * 2.0 + df["g"].map(lambda v: 0.0)
    attr = fairness_report(df, "m", columns=[])["m"].attribute("g")
    doubled = np.array(values) * 2.0
    assert attr.metric == ("selection_rate" if np.isin(doubled, (0.0, 1.0)).all() else "mean")
    ref = pd.Series(np.array(values) * 2.0).groupby(pd.Series(groups)).mean()
    assert {g.group: g.value for g in attr.groups} == pytest.approx(ref.to_dict())
    assert attr.difference == pytest.approx(ref.max() - ref.min(), abs=1e-6)
    if attr.metric == "mean":
        if ref.min() < 0:
            assert attr.ratio is None
        elif ref.max() > 0:
            assert attr.ratio == pytest.approx(ref.min() / ref.max())


# -- groups of a protected attribute --------------------------------------------

def interval_holds(label, value):
    m = re.fullmatch(r"\[(\S+), (\S+)([)\]])", label)
    lo, hi, close = float(m.group(1)), float(m.group(2)), m.group(3)
    return lo <= value and (value < hi or (close == "]" and value == hi))


@given(values=st.lists(st.one_of(st.none(), st.integers(-50, 150)), min_size=1, max_size=60),
       edges=st.lists(st.integers(-40, 140), min_size=2, max_size=6, unique=True))
def test_every_value_lands_in_the_bin_its_label_names(values, edges):
    edges = sorted(edges)
    series = pd.Series([np.nan if v is None else float(v) for v in values])
    labels, order, binned = group_labels(series, edges)
    assert binned or series.isna().all()
    assert set(labels.tolist()) == set(order)
    for value, label in zip(series, labels):
        if np.isnan(value):
            assert label == MISSING_GROUP
        elif edges[0] <= value <= edges[-1]:
            assert interval_holds(label, value)
        else:
            assert label == OUTSIDE_BINS


@given(st.lists(st.floats(0, 100, allow_nan=False), min_size=8, max_size=80))
def test_default_quantile_bins_cover_every_value(values):
    labels, order, binned = group_labels(pd.Series(values))
    assert OUTSIDE_BINS not in order and MISSING_GROUP not in order
    for value, label in zip(values, labels):
        assert interval_holds(label, value) if binned else float(label) == value
    assert len(order) <= 4


@pytest.mark.parametrize("values, bins, expected", [
    ([1, 2, 2, 1], None, ["1", "2", "2", "1"]),          # few distinct values: by value
    ([1, 2, 3, 4, 5, 6, 7, 8], 2, ["[1, 4)"] * 3 + ["[4, 8]"] * 5),
    ([0.5, 1.25, 3.703125], [0.5, 1.25, 3.703125], ["[0.5, 1.25)", "[1.25, 3.703125]",
                                                    "[1.25, 3.703125]"]),
    (["x", None, "y"], None, ["x", MISSING_GROUP, "y"]),
    ([True, False, None], None, ["True", "False", MISSING_GROUP]),
])
def test_group_labels_cases(values, bins, expected):
    assert group_labels(pd.Series(values), bins)[0].tolist() == expected


@pytest.mark.parametrize("values, bins, error, match", [
    ([1.0, 2.0], [3, 1], ValueError, "strictly increasing"),
    ([1.0, 2.0], [1], ValueError, "at least two"),
    ([1.0, 2.0], 0, ValueError, "at least 1 quantile"),
    (["a", "b"], [0, 1], ValueError, "not numeric"),
    ([1.0, 2.0], ["low", "high"], TypeError, "Argument 'bins'"),
])
def test_bad_bins(values, bins, error, match):
    with pytest.raises(error, match=match):
        group_labels(pd.Series(values), bins)


# -- report forms ----------------------------------------------------------------

def test_dict_frame_and_text_forms(level):
    df, _, _ = applicants(level, GENDER, AGE, [10.0] * 8)  # nobody approved
    r = fairness_report(df, "approved", bins={"age": [18, 40, 70]}, measure_all=True)
    d = json.loads(json.dumps(r.to_dict(), allow_nan=False))
    assert d["outcome"] == "approved" and d["columns"][0]["column"] == "approved"
    age = d["columns"][0]["attributes"][1]
    assert age["attribute"] == "people.age" and age["difference"] == 0.0
    assert age["ratio"] is None  # 0 / 0 selection rates
    assert [g["value"] for g in age["groups"]] == [0.0, 0.0]
    frame = r.to_frame()
    assert frame["ratio"].dtype == float and frame["ratio"].isna().all()
    assert list(frame[["column", "attribute"]].itertuples(index=False, name=None)) == [
        (c.column, a.attribute) for c in r.columns for a in c.attributes]
    groups = r.to_frame(groups=True)
    assert groups["count"].sum() == 8 * sum(a.measured for a in r["approved"].attributes)
    text = str(r)
    assert "Fairness report for 'approved'" in text
    assert re.search(r"approved\s+MEDIUM.*people\.age\s+yes\s+selection rate\s+0\.0000", text)
    assert "[18, 40)" in text and "n=4" in text


def test_plot_writes_svg_and_png(level, tmp_path):
    pytest.importorskip("matplotlib")
    df, _, _ = applicants(level, GENDER, AGE, INCOME)
    r = fairness_report(df, "approved", bins={"age": [18, 40, 70]}, columns=[])
    svg = r.plot(str(tmp_path / "fair.svg"))
    root = ET.parse(svg).getroot()
    texts = "".join(root.itertext())
    assert root.tag.endswith("svg")
    # The disparity is written beside the bars, and each group is labelled.
    assert "difference" in texts and "0.500" in texts and "ratio 0.333" in texts
    assert "[18, 40)" in texts and "[40, 70]" in texts
    png = r.plot(str(tmp_path / "fair.png"))
    with open(png, "rb") as fh:
        assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(ValueError, match=r"\.svg or \.png"):
        r.plot(str(tmp_path / "fair.pdf"))
    with pytest.raises(ValueError, match="no measured protected attribute"):
        fairness_report(df, "ratio").plot(str(tmp_path / "none.svg"))
    # Means of a column that depends on neither attribute, measured on request.
    means = fairness_report(df, "ratio", measure_all=True).plot(str(tmp_path / "m.svg"))
    texts = "".join(ET.parse(means).getroot().itertext())
    assert "mean by people.gender (result does not depend on it)" in texts
    assert "mean by people.age" in texts and "risk CLEAN" in texts


# -- argument checks and missing extras -----------------------------------------

def test_argument_errors(level):
    df, raw, _ = applicants(level, GENDER, AGE, INCOME)
    with pytest.raises(TypeError, match=r"Argument 'frame' has incorrect type"):
        fairness_report(raw, "approved")
    with pytest.raises(TypeError, match=r"Argument 'columns' has incorrect type"):
        fairness_report(df, "approved", columns=("ratio",))
    with pytest.raises(TypeError, match=r"Argument 'protected_frame' has incorrect type"):
        fairness_report(df, "approved", protected_frame=[raw])
    with pytest.raises(TypeError, match=r"Argument 'bins' has incorrect type"):
        fairness_report(df, "approved", bins="quartiles")
    with pytest.raises(KeyError, match="not a column"):
        fairness_report(df, "nope")
    with pytest.raises(KeyError, match="result column 'nope'"):
        fairness_report(df, "approved", columns=["nope"])
    with pytest.raises(ValueError, match="not both"):
        fairness_report(df, "approved", columns=["ratio"], all_columns=True)
    with pytest.raises(ValueError, match="boolean or 0/1"):
        fairness_report(df, "approved", truth="income")
    bare = type(df)(raw.copy())
    with pytest.raises(ValueError, match="no tracker"):
        fairness_report(bare, "income")


def test_missing_extras_say_how_to_install(monkeypatch, tmp_path):
    df, _, _ = applicants(LEVELS["core"], GENDER, AGE, INCOME)
    report = fairness_report(df, "approved", columns=[])
    monkeypatch.setitem(sys.modules, "fairlearn", None)
    monkeypatch.setitem(sys.modules, "fairlearn.metrics", None)
    with pytest.raises(ImportError, match=r"pip install 'morvel\[fairness\]'"):
        fairness_report(df, "approved")
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'morvel\[plot\]'"):
        report.plot(str(tmp_path / "x.svg"))


# -- the demo --------------------------------------------------------------------

def test_demo_prints_and_writes_the_approval_report(tmp_path):
    import io

    from morvel.demo import AGE_BANDS, make_applications, run_demo

    out = io.StringIO()
    summary = run_demo(rows=3_000, db=str(tmp_path / "l.db"), out=str(tmp_path / "o"),
                       stdout=out)
    text = out.getvalue().split("Fairness report for 'approved'", 1)[1]
    # The approval flag's structural risk and its age disparity, side by side.
    row = re.search(r"\napproved\s+(\w+)\s+([\d.]+)\s+(\d)\s+applications\.age\s+yes\s+"
                    r"selection rate\s+([\d.]+)\s+([\d.]+)", text)
    assert row and row.group(1) in ("MEDIUM", "LOW")
    with open(summary["fairness_json"], encoding="utf-8") as fh:
        stored = json.load(fh)
    approved = stored["columns"][0]
    assert approved["column"] == "approved" and approved["risk_level"] == row.group(1)
    age = next(a for a in approved["attributes"] if a["column"] == "age")
    # The per-band rates are those of the raw table, computed here directly.
    raw = make_applications(3_000, seed=7)
    flags = pd.Series(summary_flags(tmp_path, raw))
    expected = {f"[{lo}, {hi + 1})" if i < len(AGE_BANDS) - 1 else f"[{lo}, {hi}]":
                flags[raw["age"].between(lo, hi).to_numpy()].mean()
                for i, (lo, hi) in enumerate(AGE_BANDS)}
    assert {g["group"]: g["value"] for g in age["groups"]} == pytest.approx(expected)
    values = list(expected.values())
    assert age["difference"] == pytest.approx(max(values) - min(values))
    assert float(row.group(4)) == pytest.approx(age["difference"], abs=1e-4)
    gender = next(a for a in approved["attributes"] if a["column"] == "gender")
    assert gender["dependent"] is False and gender["groups"] == []
    assert summary["fairness_plot"].endswith("fairness.svg")
    assert "selection rate by applications.age" in "".join(
        ET.parse(summary["fairness_plot"]).getroot().itertext())


def summary_flags(tmp_path, raw):
    """The demo's approval flags, recomputed through its own scoring step."""
    from morvel.demo import make_regions, score_applications

    return np.asarray(score_applications(raw, make_regions()).approved.values, dtype=bool)


def test_demo_without_fairlearn_says_how_to_install(tmp_path, monkeypatch):
    import io

    from morvel.demo import run_demo

    monkeypatch.setitem(sys.modules, "fairlearn", None)
    out = io.StringIO()
    summary = run_demo(rows=200, db=str(tmp_path / "l.db"), out=str(tmp_path / "o"), stdout=out)
    assert "pip install 'morvel[fairness]'" in out.getvalue()
    assert summary["fairness_json"] is None and summary["fairness_plot"] is None
    assert not (tmp_path / "o" / "fairness.json").exists()
