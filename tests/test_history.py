"""Row history of the Pipeline front: dropped rows, changed values, merges,
kept duplicates and checks, on pipelines whose answers are known exactly."""
from __future__ import annotations

import json
import pickle
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel
from morvel._history import ExpectationError, ExpectationWarning
from morvel.utilities._dag.records import NodeType

LEVELS = [pytest.param(False, id="words"), pytest.param(True, id="lineage")]


def people() -> pd.DataFrame:
    return pd.DataFrame({
        "age": [17, 34, 51, 34, 68, 25],
        "income": [np.nan, 30.0, 55.0, 30.0, np.nan, 80.0],
        "region": ["n", "s", "s", "s", "e", "w"],
    }, index=["ann", "bob", "cy", "dan", "eve", "fay"])


# Each: operation name as recorded, and the selection (one line, so the
# recorded code location is that line).
SELECTIONS = [
    ("mask", lambda f: f[f["age"] > 30]),
    ("loc", lambda f: f.loc[f["age"] > 30]),
    ("query", lambda f: f.query("age > 30")),
    ("dropna", lambda f: f.dropna()),
    ("drop_duplicates", lambda f: f.drop_duplicates(subset=["age", "income"])),
    ("head", lambda f: f.head(2)),
    ("tail", lambda f: f.tail(2)),
    ("sample", lambda f: f.sample(3, random_state=7)),
    ("iloc", lambda f: f.iloc[1:4]),
]


@pytest.mark.parametrize("lineage", LEVELS)
@pytest.mark.parametrize("op_name, select", SELECTIONS, ids=[s[0] for s in SELECTIONS])
def test_selection_records_exactly_the_dropped_rows(lineage, op_name, select):
    src = people()
    p = morvel.Pipeline("drops", lineage=lineage)
    f = p.track(src, "people", protected="age")
    out = select(f)
    expected = [lab for lab in src.index if lab not in set(select(src).index)]
    assert list(out.index) == list(select(src).index)
    ret = p.retention()
    assert len(ret) == 1
    assert ret.loc[0, ["rows_in", "rows_out", "dropped"]].tolist() == [6, len(out), len(expected)]
    line = select.__code__.co_firstlineno
    for lab in src.index:
        why = p.why_dropped(lab)
        if lab not in expected:
            assert why is None
            continue
        assert (why["step"], why["operation"]) == (1, op_name)
        assert why["location"].startswith(f"test_history.py:{line} ")
        row = src.loc[lab]
        for col in src.columns:
            want = row[col]
            assert why["values"][col] == (None if pd.isna(want) else want)
    if lineage:
        filters = [n for n in p.tracker._store.snapshot() if n.node_type == NodeType.FILTER]
        assert len(filters) == 1
        assert filters[0].operation == op_name
        assert filters[0].metadata["dropped"] == expected


@settings(max_examples=40, deadline=None)
@given(ages=st.lists(st.integers(0, 9), min_size=1, max_size=30),
       cuts=st.lists(st.integers(0, 9), min_size=1, max_size=4))
def test_chain_of_masks_blames_the_step_that_lost_each_row(ages, cuts):
    # Brute force: follow the label sets through the chain by hand.
    src = pd.DataFrame({"age": ages}, index=[f"r{i}" for i in range(len(ages))])
    p = morvel.Pipeline("chain")
    f = p.track(src, "t")
    alive = list(src.index)
    blame = {}
    steps = 0
    for cut in cuts:
        f = f[f["age"] != cut]
        kept = [lab for lab in alive if src.loc[lab, "age"] != cut]
        if len(kept) < len(alive):
            steps += 1
            blame.update({lab: steps for lab in alive if lab not in kept})
        alive = kept
    assert list(f.index) == alive
    assert {lab: p.why_dropped(lab)["step"] for lab in src.index if p.why_dropped(lab)} == blame
    ret = p.retention()
    assert ret["rows_out"].tolist()[:-1] == ret["rows_in"].tolist()[1:]
    assert int(ret["dropped"].sum()) == len(src) - len(alive)


def test_display_and_questions_are_not_steps():
    p = morvel.Pipeline("quiet", lineage=True)
    f = p.track(people(), "people")
    repr(f)
    f._repr_html_()
    str(f["age"])
    p.audit(f["age"], row="bob")
    p.lineage(f["age"], iloc=-1)
    # pandas' own selections inside aggregations and reshapes are not steps.
    f.groupby("region")["income"].sum()
    f.pivot_table(index="region", values="income")
    f.describe()
    f.sort_values("age").reset_index()
    assert p.retention().empty
    assert p.changes() == []
    g = f[f["age"] > 20]
    assert len(p.retention()) == 1 and list(p.retention()["rows_out"]) == [len(g)]


@pytest.mark.parametrize("keep", ["first", "last", False])
def test_drop_duplicates_names_the_kept_row(keep):
    src = pd.DataFrame({"key": [1, 2, 1, 3, 2, 1], "v": [10, 20, 11, 30, 21, 12]},
                       index=list("abcdef"))
    p = morvel.Pipeline("dups")
    f = p.track(src, "t")
    out = f.drop_duplicates(subset="key", keep=keep)
    assert list(out.index) == list(src.drop_duplicates(subset="key", keep=keep).index)
    # Brute force: the kept row of each key among the survivors.
    kept_of = {src.loc[lab, "key"]: lab for lab in out.index}
    for lab in src.index:
        if lab in out.index:
            assert p.why_dropped(lab) is None
            continue
        why = p.why_dropped(lab)
        assert why["operation"] == "drop_duplicates"
        assert why["duplicate_of"] == (kept_of[src.loc[lab, "key"]] if keep else None)
        assert why["values"] == {"key": int(src.loc[lab, "key"]), "v": int(src.loc[lab, "v"])}
    section = p.report_data()["drops"][0]
    assert {d: k for d, k in section["kept"]} == {
        lab: (kept_of[src.loc[lab, "key"]] if keep else None)
        for lab in src.index if lab not in out.index}


def test_series_drop_duplicates_names_the_kept_row():
    p = morvel.Pipeline("sdups")
    s = p.track(pd.DataFrame({"x": [5, 6, 5, 5]}, index=list("abcd")), "t")["x"]
    s.drop_duplicates(keep="last")
    assert [p.why_dropped(lab)["duplicate_of"] for lab in "ac"] == ["d", "d"]
    assert p.why_dropped("b") is None


@pytest.mark.parametrize("lineage", LEVELS)
def test_merge_reports_dropped_unmatched_and_multiplied_rows(lineage):
    left = pd.DataFrame({"k": [1, 2, 3, 4], "x": [1.0, 2.0, 3.0, 4.0]}, index=list("abcd"))
    right = pd.DataFrame({"k": [2, 2, 3, 5, 2], "y": [7, 8, 9, 10, 11]},
                         index=["r0", "r1", "r2", "r3", "r4"])
    p = morvel.Pipeline("merge", lineage=lineage)
    lf, rf = p.track(left, "l"), p.track(right, "r")
    with p.step("join lookups"):
        out = lf.merge(rf, on="k", how="inner")
    assert len(out) == 4  # b three times, c once
    (m,) = p.merges()
    assert (m["left_rows"], m["right_rows"], m["rows_out"], m["how"]) == (4, 5, 4, "inner")
    assert sorted(m["left_dropped"]) == ["a", "d"]
    assert m["right_unmatched"] == ["r3"]
    assert m["multiplied"] == [["b", 3]]
    assert m["added"] == 2
    why = p.why_dropped("a")
    assert (why["name"], why["operation"], why["kind"], why["side"]) == (
        "join lookups", "merge", "merge", "left")
    assert why["values"] == {"k": 1, "x": 1.0}
    right_why = p.why_dropped("r3")
    assert right_why["side"] == "right" and right_why["values"] == {"k": 5, "y": 10}
    ret = p.retention()
    assert ret.loc[0, ["rows_in", "rows_out", "dropped", "added"]].tolist() == [4, 4, 2, 2]


# -- value changes ----------------------------------------------------------

CHANGES = [
    ("fillna", lambda s: s.fillna(-1.0)),
    ("clip", lambda s: s.clip(0.0, 50.0)),
    ("replace", lambda s: s.replace(30.0, 31.0)),
    ("where", lambda s: s.where(s > 40.0, 0.0)),
    ("mask", lambda s: s.mask(s > 60.0, 60.0)),
]


def _differs(a: pd.Series, b: pd.Series) -> list:
    """Brute force: labels whose value differs (two missing values equal)."""
    return [lab for lab in a.index
            if not (pd.isna(a[lab]) and pd.isna(b[lab])) and a[lab] != b[lab]]


@pytest.mark.parametrize("lineage", LEVELS)
@pytest.mark.parametrize("op_name, transform", CHANGES, ids=[c[0] for c in CHANGES])
def test_series_transform_records_only_changed_elements(lineage, op_name, transform):
    src = people()
    p = morvel.Pipeline("values", lineage=lineage)
    f = p.track(src, "people")
    out = transform(f["income"])
    plain = transform(src["income"])
    pd.testing.assert_series_equal(pd.Series(out), plain, check_names=False)
    changed = _differs(src["income"], plain)
    assert changed  # each transform bites at least once on this frame
    for lab in src.index:
        hist = p.history(out, row=lab)
        if lab not in changed:
            assert hist == []
            continue
        (h,) = hist
        before = src.loc[lab, "income"]
        assert h["operation"] == op_name and h["column"] == "income"
        assert h["before"] == (None if pd.isna(before) else before)
        assert h["after"] == plain[lab]
        assert h["location"].startswith(f"test_history.py:{transform.__code__.co_firstlineno} ")


@pytest.mark.parametrize("op_name, transform", [
    ("fillna", lambda f: f.fillna({"income": 0.0})),
    ("clip", lambda f: f[["age", "income"]].clip(30, 60)),
    ("replace", lambda f: f.replace({"region": {"s": "south"}})),
    ("where", lambda f: f[["age", "income"]].where(f[["age", "income"]] < 60, -1)),
])
def test_frame_transform_records_changed_cells_per_column(op_name, transform):
    src = people()
    p = morvel.Pipeline("frame values")
    f = p.track(src, "people")
    transform(f)
    plain = transform(src)
    want = {c: _differs(src[c], plain[c]) for c in plain.columns}
    want = {c: labs for c, labs in want.items() if labs}
    got = {c["column"]: [e["row"] for e in c["examples"]] for c in p.changes()
           if c["operation"] == op_name}
    assert got == want


@settings(max_examples=40, deadline=None)
@given(values=st.lists(st.one_of(st.none(), st.floats(-100, 100)), min_size=1, max_size=40),
       lo=st.floats(-50, 0), hi=st.floats(0, 50))
def test_fill_then_clip_changes_match_brute_force(values, lo, hi):
    src = pd.DataFrame({"v": [np.nan if v is None else v for v in values]})
    p = morvel.Pipeline("prop")
    s = p.track(src, "t")["v"]
    filled = s.fillna(1.5)
    filled.clip(lo, hi)
    plain_filled = src["v"].fillna(1.5)
    plain_clipped = plain_filled.clip(lo, hi)
    by_op = {c["operation"]: {e["row"]: (e["before"], e["after"]) for e in c["examples"]}
             for c in p.changes()}
    want_fill = {i: (None, 1.5) for i in src.index if pd.isna(src.loc[i, "v"])}
    want_clip = {i: (plain_filled[i], plain_clipped[i]) for i in _differs(plain_filled,
                                                                          plain_clipped)}
    assert by_op.get("fillna", {}) == want_fill
    assert by_op.get("clip", {}) == want_clip


def test_history_follows_a_value_to_the_changes_of_its_sources():
    src = people()
    p = morvel.Pipeline("derived")
    f = p.track(src, "people", protected="age")
    income = f["income"].fillna(10.0)
    ratio = f["age"] / income
    kept = ratio[ratio < 2.0]
    hist = p.history(kept, row="ann")
    assert [(h["operation"], h["column"], h["before"], h["after"]) for h in hist] == [
        ("fillna", "income", None, 10.0)]
    assert p.history(kept, row="fay") == []


# -- checks ----------------------------------------------------------------

def test_checks_pass_and_fail_and_are_listed():
    p = morvel.Pipeline("checks")
    p.expect(unique="key", not_null="v")
    p.expect(values_in={"v": [1, 2, 3]}, retention_at_least=0.5)
    f = p.track(pd.DataFrame({"key": [1, 1, 2, 3], "v": [1.0, 2.0, np.nan, 4.0]}), "t")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        g = f.dropna()                            # keys 1, 1, 3: not unique
        h = g.drop_duplicates(subset="key")       # keys 1, 3
    assert {w.category for w in caught} == {ExpectationWarning}
    assert list(h.index) == [0, 3]
    messages = sorted(str(w.message).split("): ")[0] + ")" for w in caught)
    where = "in test_checks_pass_and_fail_and_are_listed)"
    first = f"test_history.py:{_line_of('g = f.dropna()')} {where}"
    second = f"test_history.py:{_line_of('h = g.drop_dup')} {where}"
    assert messages == [
        f"check unique('key') failed after step 1 (dropna, {first}",
        f"check values_in('v', {{1, 2, 3}}) failed after step 1 (dropna, {first}",
        f"check values_in('v', {{1, 2, 3}}) failed after step 2 (drop_duplicates, {second}",
    ]
    res = {c["check"]: (c["evaluated"], c["failed"], c["passed"]) for c in p.checks()}
    assert res == {"unique('key')": (2, 1, False), "not_null('v')": (2, 0, True),
                   "values_in('v', {1, 2, 3})": (2, 2, False),
                   "retention_at_least(0.5)": (2, 0, True)}


def _line_of(text: str) -> int:
    """Line number in this file of the first line containing ``text``."""
    with open(__file__, encoding="utf-8") as fh:
        for no, line in enumerate(fh, 1):
            if text in line and "_line_of" not in line:
                return no
    raise AssertionError(text)


def test_check_raises_when_asked_and_merge_expansion_is_caught():
    p = morvel.Pipeline("strict")
    p.expect(no_merge_expansion=True, raise_on_failure=True)
    left = p.track(pd.DataFrame({"k": [1, 2]}), "l")
    one = p.track(pd.DataFrame({"k": [1, 2], "y": [3, 4]}), "one")
    many = p.track(pd.DataFrame({"k": [1, 1], "y": [3, 4]}), "many")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        left.merge(one, on="k")  # one match each: passes silently
    with pytest.raises(ExpectationError, match="no_merge_expansion"):
        left.merge(many, on="k", how="left")
    assert [c["failed"] for c in p.checks()] == [1]


def test_retention_floor_fails_below_it():
    p = morvel.Pipeline("floor")
    p.expect(retention_at_least=0.9)
    f = p.track(pd.DataFrame({"a": range(10)}), "t")
    f[f["a"] > 0]  # keeps 9 of 10: passes
    with pytest.warns(ExpectationWarning, match="retention_at_least"):
        f[f["a"] > 5]
    assert [r["passed"] for r in p.checks()] == [False]
    assert p.checks()[0]["evaluated"] == 2


@pytest.mark.parametrize("kwargs, error", [
    ({}, ValueError),
    ({"retention_at_least": 1.5}, ValueError),
    ({"retention_at_least": "high"}, TypeError),
    ({"values_in": ["a"]}, TypeError),
    ({"values_in": {"a": "xyz"}}, TypeError),
    ({"no_merge_expansion": 1}, TypeError),
])
def test_expect_refuses_bad_declarations(kwargs, error):
    with pytest.raises(error):
        morvel.Pipeline("bad").expect(**kwargs)


# -- the option, the report data, pickling -----------------------------------

@pytest.mark.parametrize("lineage", LEVELS)
def test_history_changes_no_word_or_node(lineage):
    def run(history: bool) -> tuple:
        p = morvel.Pipeline("same", lineage=lineage, row_history=history)
        f = p.track(people(), "people", protected="age")
        f["income"] = f["income"].fillna(0.0).clip(0, 60)
        g = f[f["age"] > 20].drop_duplicates(subset=["age"])
        words = {c: np.asarray(g._col_prov[c]).tolist() for c in g.columns}
        nodes = {c: np.asarray(g._col_nodes[c]).tolist() for c in g.columns} if lineage else {}
        return list(g.index), words, nodes, g.to_dict()
    on, off = run(True), run(False)
    assert on[:2] == off[:2] and on[3] == off[3]
    if not lineage:
        assert on[2] == off[2]


def test_without_history_the_questions_say_how_to_get_it():
    p = morvel.Pipeline("off", row_history=False)
    f = p.track(people(), "people")
    f[f["age"] > 30]
    with pytest.raises(ValueError, match="row_history=True"):
        p.retention()


def test_report_data_is_json_safe_and_has_every_section():
    p = morvel.Pipeline("data")
    p.expect(not_null="income")
    f = p.track(people(), "people", protected="age")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ExpectationWarning)
        f["income"] = f["income"].fillna(0.0)
        g = f[f["age"] > 20]
    data = p.report_data(g, value=(g["income"], "eve"))
    json.dumps(data, allow_nan=False)
    assert set(data) == {"pipeline", "risk", "disparity", "retention", "checks", "drops",
                         "merges", "changes", "lineage"}
    assert data["drops"][0]["labels"] == ["ann"]
    assert data["changes"][0]["examples"] == [{"row": "ann", "before": None, "after": 0.0},
                                             {"row": "eve", "before": None, "after": 0.0}]
    assert data["lineage"]["history"][0]["after"] == 0.0
    assert data["risk"]["columns"][0]["column"] == "age"


def test_pickled_tracker_keeps_dropped_rows_and_their_values(tmp_path):
    p = morvel.Pipeline("saved")
    f = p.track(people(), "people")
    f[f["age"] > 30]
    path = p.save(str(tmp_path / "t.pkl"))
    with open(path, "rb") as fh:
        tracker = pickle.load(fh)
    (step,) = tracker._history.steps
    assert list(step.dropped) == ["ann", "fay"]
    assert step.row_values(1) == {"age": 25, "income": 80.0, "region": "w"}


@pytest.mark.parametrize("select", [
    lambda f: f.dropna(),
    lambda f: f.drop_duplicates(subset=["region"]),
    lambda f: f.sort_values("age").head(3),
])
def test_dropped_rows_keep_their_labels_on_a_duplicated_index(select):
    src = people().set_axis(["a", "b", "a", "c", "b", "a"], axis=0)
    p = morvel.Pipeline("dup index")
    select(p.track(src, "t"))
    # Brute force: the positions pandas keeps, found on a positional index.
    kept = set(select(src.reset_index(drop=True)).index)
    want = sorted(str(src.index[i]) for i in range(len(src)) if i not in kept)
    got = sorted(lab for d in p.report_data()["drops"] for lab in d["labels"])
    assert got == want


def test_report_says_how_to_install_jinja2_and_writes_nothing_without_it(tmp_path, monkeypatch):
    p = morvel.Pipeline("no jinja")
    f = p.track(people(), "people")
    monkeypatch.setitem(sys.modules, "jinja2", None)
    with pytest.raises(ImportError, match=r"morvel\[report\]"):
        p.report(str(tmp_path / "r.html"), f)
    assert not (tmp_path / "r.html").exists()
    assert p.report_data(pd.DataFrame({"a": [1]}))["risk"]["available"] is False


def test_saved_lineage_pipeline_carries_its_history_sections(tmp_path):
    import sqlite3
    p = morvel.Pipeline("stored", lineage=True)
    f = p.track(people(), "people", protected="age")
    f["income"] = f["income"].fillna(0.0)
    f[f["age"] > 30]
    path = str(tmp_path / "l.db")
    pid = p.save(path)
    with sqlite3.connect(path) as db:
        (config,) = db.execute("SELECT config FROM pipelines WHERE id = ?", (pid,)).fetchone()
        stored_nodes = db.execute("SELECT COUNT(*) FROM nodes WHERE pipeline_id = ?",
                                  (pid,)).fetchone()[0]
    assert stored_nodes > 0
    stored = json.loads(config)["row_history"]
    assert stored == json.loads(json.dumps(p.report_data(limit=morvel.pipeline.STORED_LABELS)))
    assert stored["drops"][0]["labels"] == ["ann", "fay"]
    assert [e["row"] for e in stored["changes"][0]["examples"]] == ["ann", "eve"]
