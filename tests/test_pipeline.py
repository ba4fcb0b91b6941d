"""morvel.Pipeline: the front, its audits by label, saving and pickling."""
import multiprocessing
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import morvel
from morvel.utilities.persistence import SQLiteStorage
from morvel.utilities.vortel32 import TrackedDataFrame, audit, column_risk_report
from morvel.utilities.vortel32_dag import ComputationDAG, DAGTrackedDataFrame, dag_audit

LEVELS = [False, True]


def people(n=6, seed=0):
    rng = np.random.default_rng(seed)
    idx = rng.permutation(np.arange(100, 100 + n))
    return pd.DataFrame({"gender": rng.integers(0, 2, n), "age": rng.integers(18, 80, n),
                         "income": rng.normal(50, 10, n).round(1)}, index=idx)


@pytest.mark.parametrize("lineage, cls", [(False, TrackedDataFrame), (True, DAGTrackedDataFrame)])
def test_track_returns_the_tracked_class_of_the_level(lineage, cls):
    p = morvel.Pipeline("p", lineage=lineage)
    f = p.track(people(), "people", protected=["gender"])
    assert type(f) is cls
    assert f._tracker is p.tracker and p.tracker._follow_rows


@pytest.mark.parametrize("lineage", LEVELS)
@pytest.mark.parametrize("protected, missing", [(["Gender", "agee"], ["Gender", "agee"]),
                                                (["gender", "salary"], ["salary"]),
                                                ("Age", ["Age"])])
def test_track_refuses_names_that_are_not_columns(lineage, protected, missing):
    p = morvel.Pipeline("p", lineage=lineage)
    with pytest.raises(ValueError) as err:
        p.track(people(), "people", protected=protected)
    for name in missing:
        assert repr(name) in str(err.value)
    assert p.tracker._next_id == 0  # nothing registered


@pytest.mark.parametrize("lineage", LEVELS)
def test_a_single_string_protects_that_one_column(lineage):
    p = morvel.Pipeline("p", lineage=lineage)
    f = p.track(people(), "people", protected="age")
    report = {r["column"]: r["tainted"] for r in p.risk_report(f)}
    assert report == {"gender": False, "age": True, "income": False}
    assert p.risk_report(f) == column_risk_report(f)


@pytest.mark.parametrize("lineage", LEVELS)
def test_audit_by_label_names_the_row_it_came_from(lineage):
    """After a filter and a sort, the value with label L is audited with the
    word its source row L carries through the same step."""
    raw = people(8, seed=3)
    p = morvel.Pipeline("p", lineage=lineage)
    f = p.track(raw, "people", protected=["gender"])
    derived = (f["income"] * f["gender"])[f["age"] > 30].sort_values()
    whole = f["income"] * f["gender"]
    for label in derived.index:
        got = p.audit(derived, row=label)
        pos = whole.index.get_loc(label)
        want = dag_audit(whole, pos) if lineage else audit(whole.iloc[pos:pos + 1])
        assert got["provenance"] == want["provenance"]
        assert got["entity"] == want["entity"]
        assert got["columns"] == [("people", "gender"), ("people", "income")]
        assert p.audit(derived, iloc=list(derived.index).index(label)) == got


@pytest.mark.parametrize("lineage", LEVELS)
@pytest.mark.parametrize("kwargs, exc", [({}, ValueError), ({"row": 1, "iloc": 0}, ValueError),
                                         ({"row": 999}, KeyError), ({"iloc": 99}, IndexError)])
def test_audit_needs_exactly_one_existing_row(lineage, kwargs, exc):
    p = morvel.Pipeline("p", lineage=lineage)
    s = p.track(people(), "people")["age"]
    with pytest.raises(exc):
        p.audit(s, **kwargs)


def test_lineage_of_a_value_goes_back_to_its_source_columns():
    p = morvel.Pipeline("p", lineage=True)
    f = p.track(people(), "people", protected=["gender"])
    ratio = (f["income"] / f["age"])[f["gender"] == 1]
    dag = p.lineage(ratio, row=ratio.index[0])
    assert isinstance(dag, ComputationDAG)
    assert sorted((n.table, n.column) for n in dag.source_nodes) == [
        ("people", "age"), ("people", "income")]
    with pytest.raises(ValueError, match="lineage=True"):
        morvel.Pipeline("w").lineage(ratio, iloc=0)


def test_lineage_pipeline_saves_to_sqlite_on_leaving_the_block(tmp_path):
    db = tmp_path / "lineage.db"
    with morvel.Pipeline("credit", lineage=True, store=str(db)) as p:
        f = p.track(people(), "people", protected=["gender"])
        _ = f["income"] * f["age"]
    storage = SQLiteStorage(str(db))
    storage.connect()
    try:
        [pipe] = storage.list_pipelines()
        assert pipe["name"] == "credit" and pipe["status"] == "completed"
        assert pipe["node_count"] > 0 and pipe["edge_count"] > 0
    finally:
        storage.disconnect()


def test_a_block_that_raises_saves_nothing(tmp_path):
    db = tmp_path / "lineage.db"
    with pytest.raises(RuntimeError), morvel.Pipeline("p", lineage=True, store=str(db)) as p:
        p.track(people(), "people")
        raise RuntimeError("boom")
    assert not db.exists()


def test_word_level_save_keeps_what_decoding_needs(tmp_path):
    p = morvel.Pipeline("p")
    f = p.track(people(), "people", protected=["gender"])
    s = f["income"] + f["gender"] + f["age"] + f["income"] * 2
    path = p.save(tmp_path / "tracker.pkl")
    with open(path, "rb") as fh:
        tracker = pickle.load(fh)
    for w in np.unique(s._prov):
        assert tracker.decode_full(int(w)) == p.tracker.decode_full(int(w))
    with pytest.raises(ValueError, match="lineage=True"):
        p.save("http://127.0.0.1:1/")


# -- pickling -------------------------------------------------------------

def _frames(lineage):
    p = morvel.Pipeline("p", lineage=lineage)
    left = p.track(people(), "people", protected=["gender"])
    right = p.track(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0], "c": [5.0, 6.0],
                                  "d": [7.0, 8.0]}), "wide")
    # A dense word (four pairs) needs the codec's registry to decode.
    dense = right["a"] + right["b"] + right["c"] + right["d"]
    return p, left, dense


@pytest.mark.parametrize("lineage", LEVELS)
def test_pickle_round_trip_keeps_words_nodes_and_one_tracker(lineage):
    p, left, dense = _frames(lineage)
    left2, dense2, tracker2 = pickle.loads(pickle.dumps((left, dense, p.tracker)))
    assert left2._tracker is tracker2 and dense2._tracker is tracker2
    assert tracker2._follow_rows
    for col in left.columns:
        np.testing.assert_array_equal(left2._col_prov[col], left._col_prov[col])
        if lineage:
            np.testing.assert_array_equal(left2._col_nodes[col], left._col_nodes[col])
    np.testing.assert_array_equal(dense2._prov, dense._prov)
    w = int(dense2._prov[0])
    assert tracker2.get_mode(w) == "DENSE"
    assert tracker2.explain(w) == p.tracker.explain(w)
    assert tracker2.is_protected("people", "gender")
    # The copy keeps working: new words decode, rows are still followed.
    sub = left2[left2["age"] > 40]["income"]
    np.testing.assert_array_equal(sub._prov, left["income"][left["age"] > 40]._prov)
    if lineage:
        assert dag_audit(dense2, 0)["dag"]["node_count"] == dag_audit(dense, 0)["dag"]["node_count"]


@given(st.lists(st.sets(st.integers(0, 11), min_size=1, max_size=8), min_size=1, max_size=12),
       st.booleans())
def test_codec_state_round_trip_decodes_every_issued_word(pair_sets, stable):
    from morvel.utilities.vortel32 import ProvenanceTracker, RustProvenanceTracker
    t = ProvenanceTracker(follow_rows=True)
    t._rust = RustProvenanceTracker(stable_signatures=stable)
    for i in range(12):
        t.register("t", f"c{i}", protected=i % 5 == 0)
    words = [t.encode(set(s), entity=len(s), taint=bool(min(s) % 2)) for s in pair_sets]
    t2 = pickle.loads(pickle.dumps(t))
    assert t2._rust.stable_signatures is stable
    for w in words:
        assert t2.decode_full(w) == t.decode_full(w)
    # The copy issues the same signatures for sets the original knows.
    a, b = words[0], words[-1]
    assert t2.combine(a, b) == t.combine(a, b)


def _score_in_child(payload):
    frame = pickle.loads(payload)
    score = frame["income"] * frame["gender"] + frame["age"]
    picked = score[frame["age"] > 30]
    return pickle.dumps(picked)


@pytest.mark.parametrize("lineage", LEVELS)
def test_tracked_frames_travel_through_two_processes(lineage):
    p, left, _ = _frames(lineage)
    halves = [left.iloc[:3], left.iloc[3:]]
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(2) as pool:
        results = pool.map(_score_in_child, [pickle.dumps(h) for h in halves])
    got = pd.concat([pickle.loads(r) for r in results])
    score = left["income"] * left["gender"] + left["age"]
    want = score[left["age"] > 30]
    pd.testing.assert_series_equal(pd.Series(got), pd.Series(want), check_names=False)
    np.testing.assert_array_equal(got._prov, want._prov)
    for w in np.unique(got._prov):
        assert got._tracker.explain(int(w)) == p.tracker.explain(int(w))
