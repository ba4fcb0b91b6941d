"""The lineage pipeline's columnar node store against the per-element
reference path, after spilling, after saving, and through ``morvel graph``."""
import sqlite3

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import morvel
from morvel import cli
from morvel.utilities import vortel32_dag as vd
from morvel.utilities._columnar_store import SavedLineage
from morvel.utilities._dag.store import DictNodeStore
from morvel.utilities._lineage_db import find_value
from morvel.utilities.persistence import SQLiteStorage

LOOKUP = pd.DataFrame({"k": [0, 1, 2], "factor": [1.0, 0.5, 2.0]})

STEPS = {
    "fill": lambda f: f.assign(a=f["a"].fillna(0)),
    "ratio": lambda f: f.assign(r=(f["b"] / (f["a"].abs() + 1)).clip(0, 5)),
    "score": lambda f: f.assign(s=f["a"] * 0.1 - f["b"] * 2 + f["g"]),
    "neg": lambda f: f.assign(b=-f["b"]),
    "filter": lambda f: f[f["b"] > 0],
    "sort": lambda f: f.sort_values("b", kind="stable"),
    "merge": lambda f: f.merge(LOOKUP, on="k", how="left"),
}


def frame(n, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(0, 3, n).round(1)
    a[rng.random(n) < 0.2] = np.nan
    return pd.DataFrame({"a": a, "b": rng.normal(0, 1, n).round(2), "g": rng.integers(0, 2, n),
                         "k": rng.integers(0, 3, n)}, index=rng.permutation(np.arange(100, 100 + n)))


def run(tracker_or_pipeline, raw, steps):
    """The tracked series a pipeline of ``steps`` produces along the way."""
    if isinstance(tracker_or_pipeline, morvel.Pipeline):
        f = tracker_or_pipeline.track(raw, "people", protected=["g"])
    else:
        f = vd.wrap_dataframe_dag(raw, tracker_or_pipeline, "people", ["g"])
    out = []
    for name in steps:
        f = STEPS[name](f)
        out.extend(f[c] for c in f.columns)
    out.extend(f.groupby("k")["b"].agg(["mean", "count"])[c] for c in ("mean", "count"))
    out.append(f["b"].rolling(2, min_periods=1).sum())
    return out


def canonical(tracker, node_id):
    """The graph behind a node with ids replaced by the graph's own shape:
    (type, operation, word, table, column, pair, protected, metadata,
    inputs), inputs given the same way; a node the store lacks is "missing"."""
    dag = tracker.get_dag(node_id)
    memo = {}

    def key(nid):
        if nid not in memo:
            n = dag.nodes.get(nid)
            memo[nid] = ("missing",) if n is None else (
                n.node_type.name, n.operation, n.provenance, n.table, n.column, n.pair_id,
                n.is_protected, sorted(n.metadata.items()), tuple(key(i) for i in n.inputs))
        return memo[nid]
    return key(node_id)


def reference_run(raw, steps):
    """The directly built tracker's dictionary store filled by the
    per-element loop (the compiled logger switched off)."""
    tracker = vd.DAGTracker(follow_rows=True)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(vd, "_lineage", None)
        series = run(tracker, raw, steps)
    return tracker, series


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(n=st.integers(1, 25), seed=st.integers(0, 2**16),
       steps=st.lists(st.sampled_from(sorted(STEPS)), min_size=1, max_size=6))
def test_every_value_has_the_graph_of_the_per_element_path(n, seed, steps):
    if "merge" in steps:  # a second merge would repeat the lookup's column
        steps = [s for s in steps if s != "merge"] + ["merge"]
    raw = frame(n, seed)
    ref_tracker, ref = reference_run(raw, steps)
    # Row history adds FILTER records of its own; the per-element path has none.
    p = morvel.Pipeline("p", lineage=True, row_history=False)
    got = run(p, raw, steps)
    assert type(p.tracker._store) is not DictNodeStore
    assert type(ref_tracker._store) is DictNodeStore
    assert len(got) == len(ref)
    for g, r in zip(got, ref):
        np.testing.assert_array_equal(np.asarray(g._prov), np.asarray(r._prov))
        g_nodes, r_nodes = np.asarray(g._node_ids), np.asarray(r._node_ids)
        assert ((g_nodes >= 0) == (r_nodes >= 0)).all()
        for gi, ri in zip(g_nodes.tolist(), r_nodes.tolist()):
            if gi >= 0:
                assert canonical(p.tracker, gi) == canonical(ref_tracker, ri)
    # Both stores hold the same nodes in the same order: compare them all.
    assert len(p.tracker._store) == len(ref_tracker._store)
    for node_id in range(len(ref_tracker._store)):
        assert p.tracker.get_node(node_id).to_dict() == ref_tracker.get_node(node_id).to_dict()
    assert p.tracker.dag_stats() == ref_tracker.dag_stats()


def test_audits_of_early_rows_stay_complete_after_spill():
    """A zero budget moves every full block to disk; audits and graphs of
    the first rows read them back and match an all-in-memory pipeline."""
    raw = frame(30_000, 1)
    steps = ["fill", "ratio", "score", "neg", "filter"]
    spilled = morvel.Pipeline("p", lineage=True, memory_budget=0)
    held = morvel.Pipeline("p", lineage=True)
    a, b = run(spilled, raw, steps), run(held, raw, steps)
    stats = spilled.tracker._store.columnar.stats()
    assert stats["spilled_blocks"] >= 1 and stats["total_nodes"] > 2 * 65536
    assert held.tracker._store.columnar.stats()["spilled_blocks"] == 0
    score_a, score_b = a[len(raw.columns) + 2], b[len(raw.columns) + 2]
    for label in list(raw.index[:3]) + list(raw.index[-2:]):
        assert spilled.audit(score_a, row=label) == held.audit(score_b, row=label)
        assert spilled.lineage(score_a, row=label).to_dict() == held.lineage(score_b, row=label).to_dict()


def test_a_lost_root_is_reported_not_raised():
    """A directly built tracker whose bounded store evicted the node of an
    early value: its audit says so instead of raising from the depth walk;
    the columnar tracker keeps every node."""
    raw = frame(40, 2)
    reports = []
    for tracker in (vd.DAGTracker(follow_rows=True),
                    vd.DAGTracker(follow_rows=True, columnar=True, memory_budget=0)):
        tracker._store.max_nodes = 50 if tracker._store.max_nodes else None
        first = run(tracker, raw, ["fill", "ratio", "score"])[0]  # column a after the fill
        reports.append([vd.dag_audit(first, i)["dag"] for i in range(len(first))])
    bounded, whole = reports
    lost = [r for r in bounded if r["node_count"] == 0]
    assert lost and all(r["missing_nodes"] == 1 and r["depth"] == 0 for r in lost)
    assert all("missing_nodes" not in r and r["depth"] == 1 for r in whole)


@pytest.mark.parametrize("make, match", [
    (lambda: vd.DAGTracker(memory_budget=1), "columnar"),
    (lambda: vd.DAGTracker(columnar=False, memory_budget=5), "columnar"),
    (lambda: morvel.Pipeline("p", memory_budget=2**20), "lineage=True"),
    (lambda: morvel.Pipeline("p", lineage=True, memory_budget=-1), "negative"),
])
def test_budget_belongs_to_the_columnar_store(make, match):
    with pytest.raises(ValueError, match=match):
        make()


# -- saving and morvel graph --row --column ---------------------------------

@pytest.fixture
def saved(tmp_path):
    raw = frame(40, 5)
    db = tmp_path / "lineage.db"
    with morvel.Pipeline("credit", lineage=True, store=str(db)) as p:
        f = p.track(raw, "people", protected=["g"])
        out = p.output(STEPS["score"](STEPS["ratio"](STEPS["fill"](f)))[lambda x: x["b"] > -1])
    return p, out, db


def test_save_keeps_every_node_and_every_output_value(saved):
    p, out, db = saved
    conn = sqlite3.connect(db)
    try:
        [(nodes,)] = conn.execute("SELECT next_id - first_id FROM lineage_stores").fetchall()
        assert nodes == len(p.tracker._store)
        # Every output value comes back by label with its node, word and value.
        for c in out.columns:
            for label, value, node_id, word in zip(out.index, out[c].tolist(), out[c]._node_ids, out[c]._prov):
                found = find_value(conn, c, str(label))
                assert found[1:3] == (int(node_id), int(word))
                assert found[3] == (None if value != value else value)
        [(store_id,)] = conn.execute("SELECT id FROM lineage_stores").fetchall()
        saved_lineage = SavedLineage(conn, store_id)
        for c in ("s", "r", "g"):
            for node_id in np.asarray(out[c]._node_ids).tolist():
                assert saved_lineage.get_dag(node_id).to_dict() == p.tracker.get_dag(node_id).to_dict()
    finally:
        conn.close()


@pytest.mark.parametrize("pick", [0, 7, -1])
@pytest.mark.parametrize("column", ["s", "r", "a"])
def test_graph_command_draws_one_saved_value(saved, pick, column, capsys):
    p, out, db = saved
    label = out.index[pick]
    code = cli.main(["graph", str(db), "--row", str(label), "--column", column])
    printed = capsys.readouterr().out
    assert code == 0
    assert printed.strip() == p.lineage(out[column], row=label).to_graphviz().strip()


@pytest.mark.parametrize("argv, fragment, parser_level", [
    (["--row", "999999", "--column", "s"], "no saved value at row '999999', column 's'", False),
    (["--row", "100", "--column", "nope"], "no saved value", False),
    (["--row", "100", "--column", "s", "--pipeline", "9"], "has no pipeline 9", False),
    (["--row", "100"], "--row and --column go together", True),
    (["--row", "100", "--column", "s", "--fingerprint", "1"], "cannot be combined", True),
])
def test_graph_command_says_what_it_cannot_find(saved, argv, fragment, parser_level, capsys):
    _, _, db = saved
    if parser_level:
        with pytest.raises(SystemExit) as exc:
            cli.main(["graph", str(db), *argv])
        code = exc.value.code
    else:
        code = cli.main(["graph", str(db), *argv])
    assert code == 2
    assert fragment in capsys.readouterr().err


# -- the per-word summary tables ----------------------------------------------

def stored(db, pipeline_id):
    with sqlite3.connect(db) as conn:
        nodes = set(conn.execute(
            "SELECT fingerprint, node_type, operation, table_name, column_name, pair_id, is_protected "
            "FROM nodes WHERE pipeline_id = ?", (pipeline_id,)))
        edges = set(conn.execute(
            "SELECT p.fingerprint, c.fingerprint, e.position FROM edges e JOIN nodes p ON p.id = e.parent_id "
            "JOIN nodes c ON c.id = e.child_id WHERE e.pipeline_id = ?", (pipeline_id,)))
    return nodes, edges


def persisted(tracker, db):
    storage = SQLiteStorage(str(db))
    storage.connect()
    try:
        return stored(db, tracker.persist_to_storage(storage))
    finally:
        storage.disconnect()


@settings(max_examples=10, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                 HealthCheck.function_scoped_fixture])
@given(n=st.integers(1, 30), seed=st.integers(0, 2**16),
       steps=st.lists(st.sampled_from(sorted(STEPS)), min_size=1, max_size=5, unique=True))
def test_summary_tables_match_the_dictionary_store(tmp_path_factory, n, seed, steps):
    """The per-word nodes and edges computed from the columnar arrays are
    those the dictionary store's record-by-record pass writes."""
    steps = [s for s in steps if s != "merge"] + (["merge"] if "merge" in steps else [])
    raw = frame(n, seed)
    ref_tracker, _ = reference_run(raw, steps)
    p = morvel.Pipeline("p", lineage=True, row_history=False)  # no FILTER records of its own
    run(p, raw, steps)
    folder = tmp_path_factory.mktemp("summary")
    want = persisted(ref_tracker, folder / "dict.db")
    got = persisted(p.tracker, folder / "columnar.db")
    assert got == want and want[0]
    # Edges are stored exactly when some node has inputs (a filter that
    # keeps no row leaves only the source nodes).
    assert bool(want[1]) == any(node.inputs for node in ref_tracker._nodes.values())


def test_pipeline_saves_its_summary_to_a_lineage_service(tmp_path):
    from test_dag_persistence import KEY, Service

    raw = frame(50, 9)
    p = morvel.Pipeline("credit", lineage=True, api_key=KEY)
    run(p, raw, ["fill", "ratio", "score", "filter", "merge"])
    svc = Service(tmp_path / "service.db")
    try:
        pipeline_id = p.save(svc.url)
        remote = stored(svc.db, pipeline_id)
    finally:
        svc.stop()
    assert remote == persisted(p.tracker, tmp_path / "local.db")
