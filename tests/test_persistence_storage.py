"""SQLiteStorage against real database files: schema, deduplication, edge
resolution, validation and the read helpers."""
import json
import sqlite3
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel.utilities.persistence import SQLiteStorage, StorageError, StoredEdge, StoredNode, StoredRowValue


def node(fp, pipeline_id, node_type="BINARY", operation="add", table=None, column=None, protected=False, **kw):
    return StoredNode(
        fingerprint=fp,
        node_type=node_type,
        operation=operation,
        table_name=table,
        column_name=column,
        pair_id=kw.pop("pair_id", None),
        is_protected=protected,
        pipeline_id=pipeline_id,
        **kw,
    )


@pytest.fixture
def store(tmp_path):
    s = SQLiteStorage(tmp_path / "lineage.db")
    s.connect()
    yield s
    s.disconnect()


def test_records_keyword_construction_and_defaults():
    n = StoredNode(
        fingerprint=5, node_type="SOURCE", operation="t.c", table_name="t",
        column_name="c", pair_id=0, is_protected=True, pipeline_id=3,
    )
    assert (n.entity_hash, n.chain_hash, n.metadata) == (None, None, None)
    v = StoredRowValue(1, 2, 3, "add", 1.5, "c", "acme", None)
    assert (v.pipeline_id, v.row_index, v.fingerprint, v.node_operation, v.value, v.column_name, v.tenant_id,
            v.text_value) == (1, 2, 3, "add", 1.5, "c", "acme", None)
    e = StoredEdge(parent_fingerprint=1, child_fingerprint=2, input_position=1)
    assert (e.parent_fingerprint, e.child_fingerprint, e.input_position) == (1, 2, 1)
    with pytest.raises(AttributeError):  # slotted: no stray attributes
        v.extra = 1


def test_import_has_no_side_effects(tmp_path):
    code = textwrap.dedent(
        """
        import os, sys, threading
        before = threading.active_count()
        import morvel.utilities.persistence as p
        import morvel.utilities.persistence.service, morvel.utilities.persistence.hosted
        assert threading.active_count() == before, "thread started at import"
        assert "pandas" not in sys.modules and "numpy" not in sys.modules
        assert os.listdir(".") == [], os.listdir(".")
        print("clean")
        """
    )
    src = str(__import__("pathlib").Path(__file__).resolve().parents[1] / "src")
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
        env={"PYTHONPATH": src, "PATH": "/usr/bin:/bin"},
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "clean"


def test_schema_wal_and_pipeline_lifecycle(tmp_path):
    path = tmp_path / "l.db"
    s = SQLiteStorage(path)
    s.connect()
    pid = s.create_pipeline(pipeline_name="p", config={"k": [1, 2]}, git_commit="abc", tenant_id="acme")
    second = s.create_pipeline("second")
    assert second == pid + 1  # positional name form
    s.complete_pipeline(second, "completed")
    s.complete_pipeline(second, status="failed")  # failed wins over completed
    s.complete_pipeline(pid, status="failed")
    failed_at = s.get_pipeline(pid)["completed_at"]
    s.complete_pipeline(pid, "completed")  # a failed pipeline stays failed
    assert (s.get_pipeline(pid)["status"], s.get_pipeline(pid)["completed_at"]) == ("failed", failed_at)
    s.disconnect()
    s.disconnect()  # harmless twice

    raw = sqlite3.connect(path)
    assert raw.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    row = raw.execute("SELECT name, tenant_id, status, config, git_commit, completed_at FROM pipelines WHERE id=?",
                      (pid,)).fetchone()
    raw.close()
    assert row[:3] == ("p", "acme", "failed")
    assert json.loads(row[3]) == {"k": [1, 2]} and row[4] == "abc" and row[5] is not None

    s2 = SQLiteStorage(path)  # reopening keeps the data
    s2.connect()
    assert [p["status"] for p in s2.list_pipelines()] == ["failed", "failed"]
    s2.disconnect()


@pytest.mark.parametrize(
    "call, status",
    [
        (lambda s, pid: s.complete_pipeline(pid, "done"), 400),
        (lambda s, pid: s.complete_pipeline(pid + 99, "completed"), 404),
        (lambda s, pid: s.store_nodes([node("x", pid)]), 400),
        (lambda s, pid: s.store_nodes([node(1, None)]), 400),
        (lambda s, pid: s.store_nodes([node(2**64, pid)]), 400),
        (lambda s, pid: s.store_nodes([node(1, pid, node_type=3)]), 400),
        (lambda s, pid: s.store_row_values([StoredRowValue(pid, 0, 1, "op", "high", None, None)]), 400),
        (lambda s, pid: s.store_row_values([StoredRowValue(pid, True, 1, "op", 1.0, None, None)]), 400),
        (lambda s, pid: s.store_results(pid, [("k", "out", 1, 1.0, "zz")]), 400),
        (lambda s, pid: s.store_results(pid, [("k", "out", 1, 1.0)]), 400),
        (lambda s, pid: s.store_edges_resolved([(1, 2)]), 400),
        (lambda s, pid: s.store_edges_resolved([(1, 2, -1)]), 400),
        (lambda s, pid: s.register_source("0", "t", "c"), 400),
    ],
)
def test_bad_records_raise_and_store_nothing(store, call, status):
    pid = store.create_pipeline("p")
    store.store_nodes([node(1, pid), node(2, pid)])
    before = store.count_rows()
    with pytest.raises(StorageError) as info:
        call(store, pid)
    assert info.value.status == status
    assert store.count_rows() == before


def test_a_bad_record_rolls_back_its_whole_call(store):
    pid = store.create_pipeline("p")
    values = [StoredRowValue(pid, i, i, "op", float(i), None, None) for i in range(10)]
    values[7] = StoredRowValue(pid, 7, 7, "op", object(), None, None)
    with pytest.raises(StorageError):
        store.store_row_values(values)
    assert store.count_rows()["row_values"] == 0


@given(st.lists(st.integers(0, 40), max_size=60), st.lists(st.integers(0, 40), max_size=60))
def test_nodes_deduplicate_per_pipeline_and_first_wins(first, second):
    s = SQLiteStorage(":memory:")  # one database per example; a file each would only add disk syncs
    s.connect()
    try:
        a, b = s.create_pipeline("a"), s.create_pipeline("b")
        s.store_nodes([node(fp, a, operation=f"first{k}") for k, fp in enumerate(first)])
        s.store_nodes([node(fp, a, operation="again") for fp in second])
        s.store_nodes([node(fp, b) for fp in second])
        map_a = s.get_fingerprint_node_map(a)
        assert set(map_a) == set(first) | set(second)
        assert set(s.get_fingerprint_node_map(b)) == set(second)
        assert s.count_rows(a)["nodes"] == len(set(first) | set(second))
        # the first record stored for a fingerprint is the one kept
        for fp in set(first):
            k = first.index(fp)
            graph = s.pipeline_graph(a, fp)
            assert graph["nodes"][0]["operation"] == f"first{k}"
            assert graph["root"] == map_a[fp]
        assert s.get_node_ids(a, list(first) + [999]) == {fp: map_a[fp] for fp in first}
    finally:
        s.disconnect()


def test_edges_deduplicate_and_stay_inside_one_pipeline(store):
    a, b = store.create_pipeline("a"), store.create_pipeline("b")
    store.store_nodes([node(fp, a) for fp in (1, 2, 3)])
    store.store_nodes([node(fp, b) for fp in (1, 2)])
    ma, mb = store.get_fingerprint_node_map(a), store.get_fingerprint_node_map(b)
    edges = [(ma[1], ma[3], 0), (ma[2], ma[3], 1)]
    assert store.store_edges_resolved(edges) == 2
    assert store.store_edges_resolved(edges + edges) == 0  # again: nothing new
    # unknown node, and a link across pipelines, are skipped
    assert store.store_edges_resolved([(ma[1], 10_000, 0), (mb[1], ma[3], 0)]) == 0
    assert store.count_rows(a)["edges"] == 2 and store.count_rows(b)["edges"] == 0


def test_pipeline_graph_walks_upstream_only(store):
    pid = store.create_pipeline("g")
    # 1, 2 sources -> 3 = f(1, 2) -> 4 = g(3);  5 = h(2) is a sibling branch
    store.store_nodes(
        [node(1, pid, "SOURCE", "t.a", "t", "a", True, pair_id=0, metadata={"rows": 3}),
         node(2, pid, "SOURCE", "t.b", "t", "b", pair_id=1)]
        + [node(fp, pid) for fp in (3, 4, 5)]
    )
    m = store.get_fingerprint_node_map(pid)
    store.store_edges_resolved([(m[1], m[3], 0), (m[2], m[3], 1), (m[3], m[4], 0), (m[2], m[5], 0)])
    g = store.pipeline_graph(pid, 4)
    assert g["root"] == m[4]
    assert sorted(n["fingerprint"] for n in g["nodes"]) == [1, 2, 3, 4]
    assert {(e["parent_id"], e["child_id"], e["position"]) for e in g["edges"]} == {
        (m[1], m[3], 0), (m[2], m[3], 1), (m[3], m[4], 0)}
    src = next(n for n in g["nodes"] if n["fingerprint"] == 1)
    assert src["metadata"] == {"rows": 3} and src["is_protected"] is True and src["pair_id"] == 0
    assert [n["fingerprint"] for n in store.pipeline_graph(pid, 1)["nodes"]] == [1]
    with pytest.raises(KeyError):
        store.pipeline_graph(pid, 42)


def test_list_pipelines_counts_and_protected_sources(store):
    a = store.create_pipeline("a", tenant_id="acme")
    store.register_source(0, "people", "age", is_protected=True)
    store.register_source(1, "people", "income", False)
    store.register_source(1, "people", "income", True)  # re-registering updates
    store.store_nodes([node(1, a, "SOURCE", "loans.sex", "loans", "sex", True), node(2, a), node(3, a)])
    m = store.get_fingerprint_node_map(a)
    store.store_edges_resolved([(m[1], m[2], 0)])
    store.store_row_values([StoredRowValue(a, i, 2, "add", 1.0, "c", None) for i in range(4)])
    store.store_results(a, [("r1", "score", 2, 0.5, "A" * 64), ("r2", "score", 2, None, None)])
    store.store_results(a, [("r1", "score", 3, 0.7, None)])  # same key and output: replaced
    b = store.create_pipeline("b", tenant_id="other")
    entries = {p["pipeline_id"]: p for p in store.list_pipelines()}
    pa = entries[a]
    assert (pa["name"], pa["tenant_id"], pa["status"]) == ("a", "acme", "running")
    assert (pa["node_count"], pa["edge_count"], pa["row_value_count"], pa["result_count"]) == (3, 1, 4, 2)
    assert pa["protected_sources"] == ["loans.sex", "people.age", "people.income"]
    assert entries[b]["protected_sources"] == [] and entries[b]["node_count"] == 0
    assert [p["pipeline_id"] for p in store.list_pipelines("other")] == [b]
    assert store.get_pipeline(a) == pa and store.get_pipeline(999) is None
    raw = sqlite3.connect(store.path)
    assert raw.execute("SELECT fingerprint, value, input_hash FROM results WHERE row_key='r1'").fetchall() == [
        (3, 0.7, None)]
    assert raw.execute("SELECT input_hash FROM results WHERE row_key='r2'").fetchone() == (None,)
    raw.close()


@pytest.mark.parametrize(
    "metadata, expected",
    [
        ({"merge_type": "inner"}, {"merge_type": "inner"}),
        ({"cols": {"a"}}, {"cols": "{'a'}"}),
        ({"when": object}, {"when": str(object)}),
        ({(1, 2): float("nan")}, {"(1, 2)": "nan"}),
        ({}, {}),
        # numpy values keep their JSON type
        ({"n": np.int64(3), "x": np.float32(0.5), "ok": np.bool_(True), "v": np.array([[1, 2]])},
         {"n": 3, "x": 0.5, "ok": True, "v": [[1, 2]]}),
        ({"inf": np.float64("inf")}, {"inf": "inf"}),
    ],
)
def test_metadata_is_stored_as_json_and_never_fails(store, metadata, expected):
    pid = store.create_pipeline("m")
    store.store_nodes([node(1, pid, metadata=metadata)])
    assert store.pipeline_graph(pid, 1)["nodes"][0]["metadata"] == expected


def test_row_values_keep_text_and_missing_values(store):
    pid = store.create_pipeline("r")
    store.store_row_values([
        StoredRowValue(pid, 0, 9, "upper", None, "name", "t", "ALICE"),
        StoredRowValue(pid, 1, 9, "add", 3.0, "x", "t", None),
        StoredRowValue(pid, 2, 9, "add", None, None, None, None),
    ])
    raw = sqlite3.connect(store.path)
    rows = raw.execute("SELECT row_index, value, text_value FROM row_values ORDER BY row_index").fetchall()
    raw.close()
    assert rows == [(0, None, "ALICE"), (1, 3.0, None), (2, None, None)]


def test_calls_before_connect_raise(tmp_path):
    s = SQLiteStorage(tmp_path / "x.db")
    with pytest.raises(StorageError, match="not connected"):
        s.create_pipeline("p")
    assert not (tmp_path / "x.db").exists()
