"""DAGTracker persistence: live writes to the lineage service, bulk writes,
result fingerprints, dashboard sync and the pipeline cycle.

End-to-end tests start the real lineage service on 127.0.0.1 in a
subprocess and read its SQLite file afterwards.
"""
from __future__ import annotations

import hashlib
import http.server
import json
import logging
import os
import re
import socket
import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel.utilities import vortel32_dag
from morvel.utilities.persistence import SQLiteStorage
from morvel.utilities.vortel32_dag import DAGTracker, NodeType, dag_audit, wrap_dataframe_dag

KEY = "test-key-5f2c"
LOGGER = "morvel.utilities.vortel32_dag"
SRC_DIR = os.path.dirname(os.path.dirname(os.path.abspath(morvel.__file__)))


# -- the lineage service, as a subprocess --------------------------------------


class Service:
    def __init__(self, db, port=0):
        self.db = str(db)
        self.proc = None
        self.url = None
        self.start(port)

    def start(self, port=0):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [SRC_DIR, env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "morvel.utilities.persistence.service", "--db", self.db,
             "--port", str(port), *self.options()],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        )
        line = self.proc.stdout.readline()  # the service announces its address once listening
        match = re.search(r"listening on (http://\S+)", line)
        if not match:
            self.proc.kill()
            raise RuntimeError(f"service did not start: {line!r} {self.proc.stderr.read()!r}")
        self.url = match.group(1)
        self.port = int(self.url.rsplit(":", 1)[1])

    def options(self):
        """Command-line options of the service besides its file and port."""
        return ["--api-key", KEY]

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=30)
        if self.proc is not None:
            self.proc.stdout.close()
            self.proc.stderr.close()

    def query(self, sql, *args):
        with sqlite3.connect(self.db) as db:
            return db.execute(sql, args).fetchall()


@pytest.fixture
def service(tmp_path):
    svc = Service(tmp_path / "lineage.db")
    yield svc
    svc.stop()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def frame():
    return pd.DataFrame(
        {"income": [52000.0, 61000.0, 47000.0, 75000.0, 58000.0], "age": [25, 37, 41, 29, 52]},
        index=[101, 102, 103, 104, 105],
    )


def expected_edges(tracker):
    """Distinct (parent fingerprint, child fingerprint, position) of the store."""
    out = set()
    for node in tracker._nodes.values():
        for i, input_id in enumerate(node.inputs):
            parent = tracker._nodes.get(input_id)
            if parent is not None:
                out.add((parent.provenance, node.provenance, i))
    return out


def stored_edges(svc, pipeline_id):
    return set(svc.query(
        "SELECT p.fingerprint, c.fingerprint, e.position FROM edges e "
        "JOIN nodes p ON p.id = e.parent_id JOIN nodes c ON c.id = e.child_id WHERE e.pipeline_id = ?",
        pipeline_id,
    ))


def row_values_of(f, table, ratio):
    """The row values a wrap of ``f`` followed by one division records."""
    rows = []
    for col in f.columns:
        for i, v in enumerate(f[col].values):
            rows.append((i, int(f._col_prov[col][i]), f"{table}.{col}", float(v), col))
    for i, v in enumerate(ratio.values):
        rows.append((i, int(ratio._prov[i]), "div", float(v), None))
    return sorted(rows)


# -- end to end ----------------------------------------------------------------


def test_live_pipeline_end_to_end(service):
    df = frame()
    with DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="credit") as t:
        assert t._writer is not None
        first = t._pipeline_id
        f = wrap_dataframe_dag(df, t, "loans", protected=["age"])
        ratio = f["income"] / f["age"]
        np.testing.assert_allclose(ratio.values, df["income"].values / df["age"].values)
        report = dag_audit(ratio, 0)
        assert report["dag"]["node_count"] == 3 and report["has_protected"]
        assert t.flush() is True
        assert t._nodes_persisted and t._dashboard_synced
        fps_first = {n.provenance for n in t._nodes.values()}
        edges_first = expected_edges(t)
        rows_first = row_values_of(f, "loans", ratio)

        # A second run on the same tracker: its first source node opens a new pipeline.
        g = wrap_dataframe_dag(pd.DataFrame({"score": [1.0, 2.0]}), t, "bureau")
        doubled = g["score"] + g["score"]
        second = t._pipeline_id
        assert second != first and not t._dashboard_synced
        fps_all = {n.provenance for n in t._nodes.values()}
    assert (t._writer, t._storage, t._pipeline_id) == (None, None, None)
    assert list(doubled.values) == [2.0, 4.0]

    assert service.query("SELECT id, name, status FROM pipelines ORDER BY id") == [
        (first, "credit", "completed"), (second, "credit", "completed")]
    assert service.query(
        "SELECT pair_id, table_name, column_name, is_protected FROM sources WHERE pipeline_id = ? ORDER BY pair_id",
        first) == [(0, "loans", "income", 0), (1, "loans", "age", 1)]
    assert [r[0] for r in service.query(
        "SELECT pair_id FROM sources WHERE pipeline_id = ? ORDER BY pair_id", second)] == [0, 1, 2]

    # One stored node per distinct fingerprint, with the node's own fields.
    assert {r[0] for r in service.query("SELECT fingerprint FROM nodes WHERE pipeline_id = ?", first)} == fps_first
    assert service.query("SELECT COUNT(*) FROM nodes WHERE pipeline_id = ?", first)[0][0] == len(fps_first)
    assert {r[0] for r in service.query("SELECT fingerprint FROM nodes WHERE pipeline_id = ?", second)} == fps_all
    src = service.query(
        "SELECT node_type, operation, table_name, column_name, pair_id, is_protected FROM nodes "
        "WHERE pipeline_id = ? AND node_type = 'SOURCE' ORDER BY pair_id", first)
    assert src == [("SOURCE", "loans.income", "loans", "income", 0, 0), ("SOURCE", "loans.age", "loans", "age", 1, 1)]
    assert stored_edges(service, first) == edges_first and edges_first

    rows = service.query(
        "SELECT row_index, fingerprint, node_operation, value, column_name FROM row_values WHERE pipeline_id = ?", first)
    assert sorted(rows) == rows_first

    syncs = [json.loads(r[0]) for r in service.query("SELECT body FROM dashboard_syncs ORDER BY id")]
    assert len(syncs) == 2
    body = syncs[0]
    assert list(body) == ["pipeline", "model", "fairness"]
    assert body["pipeline"] == {"pipeline_name": "credit", "status": "completed", "node_count": len(fps_first),
                                "edge_count": len(edges_first), "provenance_pipeline_id": first}
    assert body["model"] == {"model_id": "credit", "name": "credit", "version": "1.0", "status": "production",
                             "domain": "credit"}
    assert body["fairness"]["has_disparate_impact"] is True
    assert body["fairness"]["protected_attributes"] == ["loans.age"]
    assert syncs[1]["pipeline"]["provenance_pipeline_id"] == second


def test_exception_in_with_block_marks_pipeline_failed(service):
    df = frame()
    with pytest.raises(ZeroDivisionError):
        with DAGTracker(api_key=KEY, service_url=service.url) as t:
            f = wrap_dataframe_dag(df, t, "loans")
            f["income"] * f["age"]
            pid = t._pipeline_id
            writer = t._writer
            1 / 0
    assert not writer.running and t._writer is None and t._pipeline_id is None
    assert service.query("SELECT name, status FROM pipelines WHERE id = ?", pid) == [("unnamed_pipeline", "failed")]
    body = json.loads(service.query("SELECT body FROM dashboard_syncs")[0][0])
    assert body["pipeline"]["status"] == "failed"
    # The work done before the failure is still stored.
    assert service.query("SELECT COUNT(*) FROM nodes WHERE pipeline_id = ?", pid)[0][0] > 0


def test_enabling_again_while_live_keeps_one_writer_and_pipeline(service):
    t = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="once")
    writer, pid = t._writer, t._pipeline_id
    t.enable_persistence()
    assert t._writer is writer and t._pipeline_id == pid
    t.disable_persistence()
    assert not writer.running
    assert service.query("SELECT id, name, status FROM pipelines") == [(pid, "once", "completed")]


def test_service_down_at_start_warns_once_and_computes():
    url = f"http://127.0.0.1:{free_port()}"
    with pytest.warns(UserWarning) as caught:
        t = DAGTracker(api_key=KEY, service_url=url)
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert len(messages) == 1
    assert messages[0].startswith("Persistence initialization failed: ")
    assert messages[0].endswith("\nContinuing in memory-only mode.")
    assert t._writer is None and t._pipeline_id is None
    f = wrap_dataframe_dag(frame(), t, "loans")
    total = f["income"] + f["age"]
    assert list(total.values) == list(frame()["income"] + frame()["age"])
    assert t.flush() is True and len(t._nodes) == 7
    t.disable_persistence()


def test_service_stopped_mid_run_then_retried_writes_land(service):
    t = DAGTracker(api_key=KEY, service_url=service.url, pipeline_name="flaky")
    pid = t._pipeline_id
    f = wrap_dataframe_dag(frame(), t, "loans")
    storage = t._writer.storage
    failed = threading.Event()
    original = storage.store_nodes

    def watched(nodes):
        try:
            return original(nodes)
        except Exception:
            failed.set()
            raise

    storage.store_nodes = watched
    port = service.port
    service.stop()
    diff = f["income"] - f["age"]  # the service is gone: nothing may reach the pipeline
    assert list(diff.values) == list(frame()["income"] - frame()["age"])
    assert failed.wait(timeout=60), "the writer should have tried and failed"
    service.start(port)
    assert t.flush() is True
    stats = t.get_persistence_stats()
    t.disable_persistence()
    assert stats["retries"] >= 1 and stats["nodes_failed"] == 0 and stats["edges_failed"] == 0
    assert stats["nodes_written"] == len({n.provenance for n in t._nodes.values()})
    stored = {r[0] for r in service.query("SELECT fingerprint FROM nodes WHERE pipeline_id = ?", pid)}
    assert {int(w) for w in diff._prov} <= stored
    assert service.query("SELECT status FROM pipelines WHERE id = ?", pid) == [("completed",)]
    assert service.query(
        "SELECT COUNT(*) FROM row_values WHERE pipeline_id = ? AND node_operation = 'sub'", pid)[0][0] == 5


def test_failing_dashboard_sync_only_warns(service, caplog):
    t = DAGTracker(api_key=KEY, service_url=service.url)
    f = wrap_dataframe_dag(frame(), t, "loans")
    f["income"] + f["age"]
    t._api_key = "not-a-key"  # the service refuses the sync request
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert t.flush() is True
    warnings_ = [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.WARNING]
    assert len(warnings_) == 1 and warnings_[0].startswith("Dashboard sync failed (non-fatal): ")
    assert t._dashboard_synced and t._nodes_persisted
    pid = t._pipeline_id
    t.disable_persistence()
    assert service.query("SELECT COUNT(*) FROM dashboard_syncs")[0][0] == 0
    distinct = len({n.provenance for n in t._nodes.values()})
    assert service.query("SELECT COUNT(*) FROM nodes WHERE pipeline_id = ?", pid)[0][0] == distinct


# -- bulk writes against SQLiteStorage --------------------------------------------


@pytest.fixture
def store(tmp_path):
    s = SQLiteStorage(tmp_path / "bulk.db")
    s.connect()
    yield s
    s.disconnect()


def q(store, sql, *args):
    with sqlite3.connect(store.path) as db:
        return db.execute(sql, args).fetchall()


def test_persist_to_storage(store):
    t = DAGTracker()
    f = wrap_dataframe_dag(frame(), t, "loans", protected=["age"])
    ratio = f["income"] / f["age"]
    scaled = ratio * ratio
    pid = t.persist_to_storage(store)
    assert (t._pipeline_id, t._storage) == (None, None)
    assert q(store, "SELECT id, name, status FROM pipelines") == [(pid, "unnamed", "completed")]
    assert q(store, "SELECT pair_id, table_name, column_name, is_protected FROM sources ORDER BY pair_id") == [
        (0, "loans", "income", 0), (1, "loans", "age", 1)]
    fps = [n.provenance for n in t._nodes.values()]
    assert sorted(r[0] for r in q(store, "SELECT fingerprint FROM nodes WHERE pipeline_id = ?", pid)) == sorted(set(fps))
    # The first node of a fingerprint represents it.
    first = {}
    for n in t._nodes.values():
        first.setdefault(n.provenance, n)
    for fp, node_type, op, prot, entity, meta in q(
            store, "SELECT fingerprint, node_type, operation, is_protected, entity_hash, metadata FROM nodes"):
        n = first[fp]
        assert (node_type, op, bool(prot), entity, meta) == (n.node_type.name, n.operation, n.is_protected, None, None)
    got = set(q(store, "SELECT p.fingerprint, c.fingerprint, e.position FROM edges e JOIN nodes p ON p.id = e.parent_id "
                       "JOIN nodes c ON c.id = e.child_id"))
    assert got == expected_edges(t) and len(got) == q(store, "SELECT COUNT(*) FROM edges")[0][0]
    assert {int(w) for w in scaled._prov} <= {r[0] for r in q(store, "SELECT fingerprint FROM nodes")}

    # With an explicit pipeline no new one is opened.
    other = store.create_pipeline("given")
    assert t.persist_to_storage(store, pipeline_id=float(other)) == other
    assert len(q(store, "SELECT id FROM pipelines")) == 2
    assert q(store, "SELECT status FROM pipelines WHERE id = ?", other) == [("completed",)]


def test_shared_fingerprint_gives_one_node_two_edges(store):
    t = DAGTracker(pipeline_name="shared")
    a = t.create_source_node("t", "a", 11)
    b = t.create_source_node("t", "b", 22)
    for _ in range(3):
        t.log_binary("add", a, b, 33)
    pid = t.persist_to_storage(store)
    assert q(store, "SELECT name FROM pipelines") == [("shared",)]
    assert sorted(r[0] for r in q(store, "SELECT fingerprint FROM nodes")) == [11, 22, 33]
    assert set(q(store, "SELECT p.fingerprint, c.fingerprint, e.position FROM edges e JOIN nodes p ON "
                        "p.id = e.parent_id JOIN nodes c ON c.id = e.child_id WHERE e.pipeline_id = ?", pid)) == {
        (11, 33, 0), (22, 33, 1)}


def test_persist_results_hashes_source_rows(store):
    df = frame()
    t = DAGTracker()
    f = wrap_dataframe_dag(df, t, "loans")
    ratio = f["income"] / f["age"]
    pid = store.create_pipeline("results")
    keys = [f"L{i}" for i in df.index]
    t.persist_results(store, pid, iter(keys), {"ratio": ratio}, df)
    rows = q(store, "SELECT row_key, output_name, fingerprint, value, input_hash FROM results ORDER BY row_key")
    assert rows == [
        (keys[i], "ratio", int(ratio._prov[i]), float(ratio.values[i]),
         hashlib.sha256(df.iloc[i].to_json().encode("utf-8")).hexdigest())
        for i in range(5)
    ]
    changed = df.copy()
    changed.iloc[2, 0] = 1.0
    pid2 = store.create_pipeline("results again")
    DAGTracker.persist_results(store, pid2, keys, {"ratio": ratio}, changed)
    again = q(store, "SELECT row_key, input_hash FROM results WHERE pipeline_id = ? ORDER BY row_key", pid2)
    differs = [k for (k, h), (_, h0, *_) in zip(again, [(r[0], r[4]) for r in rows]) if h != h0]
    assert differs == [keys[2]]


def test_persist_results_short_inputs_and_errors(store):
    t = DAGTracker()
    f = wrap_dataframe_dag(frame().iloc[:2], t, "loans")
    s = f["income"] + f["age"]
    pid = store.create_pipeline("short")
    DAGTracker.persist_results(store, pid, ["a", "b", "c"], {"sum": s}, frame().iloc[:2])
    third = q(store, "SELECT fingerprint, value, input_hash FROM results WHERE row_key = 'c'")
    assert third == [(0, None, None)]
    DAGTracker.persist_results(store, pid, [7], {"no_hash": s})
    assert q(store, "SELECT row_key, input_hash FROM results WHERE output_name = 'no_hash'") == [("7", None)]

    text = f["income"].copy()
    text = type(text)(np.array(["x", "y"], dtype=object), _prov=text._prov, _tracker=t, _node_ids=text._node_ids)
    before = q(store, "SELECT COUNT(*) FROM results")
    with pytest.raises(ValueError):
        DAGTracker.persist_results(store, pid, ["a", "b"], {"ok": s, "bad": text})
    assert q(store, "SELECT COUNT(*) FROM results") == before
    with pytest.raises(TypeError, match=r"^Argument 'pipeline_id' has incorrect type"):
        DAGTracker.persist_results(store, "1", ["a"], {"sum": s})
    with pytest.raises(TypeError, match=r"^Argument 'outputs' has incorrect type \(expected dict"):
        DAGTracker.persist_results(store, pid, ["a"], [("sum", s)])


# -- the tracker's side of the live path, with recording doubles ----------------


class RecordingWriter:
    def __init__(self, stats=None, fail=()):
        self.calls = []
        self.stats = stats
        self.fail = set(fail)

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if name in self.fail:
                raise OSError(f"{name} failed")
            if name == "get_stats":
                return self.stats
            return True
        return record

    def names(self):
        return [c[0] for c in self.calls]


class RecordingStorage(RecordingWriter):
    def __init__(self):
        super().__init__()
        self.next_id = 40

    def create_pipeline(self, *args, **kwargs):
        self.calls.append(("create_pipeline", args, kwargs))
        self.next_id += 1
        return self.next_id


def live_tracker(writer=None, storage=None):
    t = DAGTracker()
    t._writer = writer or RecordingWriter()
    t._storage = storage
    t._pipeline_id = 7
    return t


def test_live_node_and_edges_skip_evicted_inputs():
    w = RecordingWriter()
    t = live_tracker(w)
    a = t.create_source_node("t", "a", 11)
    b = t.create_source_node("t", "b", 22)
    c = t.log_binary("add", a, b, 33)
    node_calls = [c_ for c_ in w.calls if c_[0] == "write_node"]
    rec = node_calls[-1][1][0]
    assert (rec.fingerprint, rec.node_type, rec.operation, rec.pipeline_id) == (33, "BINARY", "add", 7)
    assert [(e.parent_fingerprint, e.child_fingerprint, e.input_position) for e in w.calls[-1][1][0]] == [
        (11, 33, 0), (22, 33, 1)]
    info = t.decode_full(33)
    assert (rec.entity_hash, rec.chain_hash) == (info.entity, info.chain)
    del t._nodes[b]
    w.calls.clear()
    t.log_binary("mul", c, b, 44)
    assert w.names() == ["write_node", "write_edges"]
    assert [(e.parent_fingerprint, e.input_position) for e in w.calls[1][1][0]] == [(33, 0)]
    w.calls.clear()
    t.log_unary("neg", 999, 55)
    assert w.names() == ["write_node"]
    t._writer = None


def test_live_write_failures_are_logged(caplog):
    w = RecordingWriter(fail={"write_node", "write_edges"})
    t = live_tracker(w)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        a = t.create_source_node("t", "a", 1)
        b = t.log_unary("neg", a, 2)
    assert t.get_node(b) is not None
    texts = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert texts == ["Failed to persist DAG node 0: write_node failed",
                     "Failed to persist DAG node 1: write_node failed",
                     "Failed to persist DAG edges for node 1: write_edges failed"]
    t._writer = None


def test_flush_cycle_and_new_pipeline():
    w, s = RecordingWriter(), RecordingStorage()
    t = live_tracker(w, s)
    t.register("t", "a")
    a = t.create_source_node("t", "a", 1)
    t.record_row_value(0, 1, "t.a", 3.5, column_name="a")
    assert t.flush(timeout=2) is True
    assert w.names()[-3:] == ["write_row_values", "register_source", "flush"]
    assert w.calls[-1][2] == {"timeout": 2.0} and t._value_buffer == []
    assert [c[0] for c in s.calls] == ["store_nodes", "get_fingerprint_node_map"]
    assert t._nodes_persisted and t._dashboard_synced and t._nodes_written == 1
    # Flushing again writes nothing more.
    s.calls.clear()
    t.flush()
    assert s.calls == []
    # The next run's first source node completes this pipeline and opens another.
    assert t.create_source_node("t", "a", 1) != a
    assert [c[0] for c in s.calls] == ["complete_pipeline", "create_pipeline"]
    assert s.calls[0][1:] == ((7,), {"status": "completed"})
    assert s.calls[1][2] == {"pipeline_name": "unnamed_pipeline", "config": None, "git_commit": None,
                             "tenant_id": None}
    assert t._pipeline_id == 41 and not t._dashboard_synced and not t._nodes_persisted
    assert (t._nodes_written, t._edges_written) == (0, 0)
    t._writer = None


def test_flush_without_writer_keeps_buffer():
    t = DAGTracker()
    t.record_row_value(0, 1, "op", 1)
    assert t.flush() is True and len(t._value_buffer) == 1
    with pytest.raises(TypeError, match=r"^Argument 'timeout' has incorrect type"):
        t.flush(timeout="soon")


def test_start_new_pipeline_without_storage_only_returns():
    t = DAGTracker()
    t._dashboard_synced = True
    t.create_source_node("t", "a", 1)
    assert t._dashboard_synced and t._pipeline_id is None


@pytest.mark.parametrize(
    "stats, expected",
    [({}, {}), (None, None), ({"queued": 0}, {"queued": 0, "nodes_written": 0, "edges_written": 0})],
)
def test_persistence_stats(stats, expected):
    assert DAGTracker().get_persistence_stats() is None
    t = live_tracker(RecordingWriter(stats=stats))
    assert t.get_persistence_stats() == expected
    t._writer = None


def test_persistence_stats_rejects_other_types():
    t = live_tracker(RecordingWriter(stats=[1]))
    with pytest.raises(TypeError):
        t.get_persistence_stats()
    t._writer = None


def test_exit_with_exception_reports_failed_once():
    w, s = RecordingWriter(), RecordingStorage()
    t = live_tracker(w, s)
    with pytest.raises(KeyError):
        with t:
            raise KeyError("x")
    completes = [c for c in s.calls if c[0] == "complete_pipeline"]
    assert completes == [("complete_pipeline", (7,), {"status": "failed"})]
    assert "stop" in w.names() and "disconnect" in [c[0] for c in s.calls]
    assert (t._writer, t._storage, t._pipeline_id) == (None, None, None)


def test_exit_with_exception_marks_failed_even_if_flush_fails():
    w, s = RecordingWriter(fail={"flush"}), RecordingStorage()
    t = live_tracker(w, s)
    with pytest.raises(OSError):
        with t:
            raise KeyError("x")
    assert [c for c in s.calls if c[0] == "complete_pipeline"] == [("complete_pipeline", (7,), {"status": "failed"})]
    assert t._writer is None


def test_exit_with_exception_never_completes_when_marking_failed_fails():
    w, s = RecordingWriter(), RecordingStorage()
    s.fail = {"complete_pipeline"}
    t = live_tracker(w, s)
    with pytest.raises(OSError):
        with t:
            raise KeyError("x")
    assert "stop" in w.names() and "disconnect" in [c[0] for c in s.calls]
    assert (t._writer, t._storage, t._pipeline_id) == (None, None, None)
    t.__del__()
    assert [c for c in s.calls if c[0] == "complete_pipeline"] == [("complete_pipeline", (7,), {"status": "failed"})]


def test_clean_exit_whose_flush_fails_is_failed_and_stops_the_writer():
    w, s = RecordingWriter(fail={"flush"}), RecordingStorage()
    t = live_tracker(w, s)
    with pytest.raises(OSError):
        with t:
            pass
    assert "stop" in w.names() and (t._writer, t._storage, t._pipeline_id) == (None, None, None)
    t.__del__()
    assert [c for c in s.calls if c[0] == "complete_pipeline"] == [("complete_pipeline", (7,), {"status": "failed"})]


def test_clean_exit_completes():
    w, s = RecordingWriter(), RecordingStorage()
    t = live_tracker(w, s)
    with t as same:
        assert same is t
    assert [c for c in s.calls if c[0] == "complete_pipeline"] == [("complete_pipeline", (7,), {"status": "completed"})]


def test_del_swallows_errors():
    t = live_tracker(RecordingWriter(fail={"stop"}))
    t.__del__()  # must not raise
    t._writer = None


# -- dashboard sync request -------------------------------------------------------


class Reply:
    def __init__(self):
        self.read_called = False

    def read(self):
        self.read_called = True
        return b"{}"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.fixture
def sent(monkeypatch):
    requests = []

    def fake_urlopen(request, timeout=None):
        requests.append((request, timeout))
        return Reply()

    monkeypatch.setattr(vortel32_dag, "_sync_urlopen", fake_urlopen)
    return requests


@pytest.mark.parametrize("url", ["http://svc.example", "http://svc.example/", "https://svc.example//"])
def test_sync_request(sent, url):
    t = DAGTracker(pipeline_name="")
    t._service_url, t._api_key = url, "k1"
    t.register("p", "race", protected=True)
    t.create_source_node("p", "race", 1 << 29)
    t._create_node(NodeType.UNARY, "x", [], 1 << 29, table="")
    t._sync_to_dashboard()
    (request, timeout), = sent
    assert request.full_url == url.rstrip("/").split("//", 1)[0] + "//svc.example/v1/dashboard/sync"
    assert request.get_method() == "POST" and timeout == 10
    assert request.get_header("Authorization") == "Bearer k1"
    assert request.get_header("Content-type") == "application/json"
    body = json.loads(request.data.decode("utf-8"))
    assert body["pipeline"] == {"pipeline_name": "unnamed_pipeline", "status": "completed", "node_count": 0,
                                "edge_count": 0, "provenance_pipeline_id": None}
    assert body["model"]["name"] == "Unnamed Pipeline"
    assert body["fairness"]["protected_attributes"] == ["p.race"]
    assert body["fairness"]["details"] == {"node_count": 0, "edge_count": 0, "protected_sources": ["p.race"]}


def test_sync_protected_nodes_without_table(sent):
    t = DAGTracker()
    t._service_url, t._api_key = "http://svc", "k"
    t.log_unary("neg", 0, 1 << 29)
    t._sync_to_dashboard()
    body = json.loads(sent[0][0].data)
    assert body["fairness"]["has_disparate_impact"] is True and body["fairness"]["protected_attributes"] == []


@pytest.mark.parametrize("url, key", [("", "k"), ("http://svc", ""), ("http://svc", None)])
def test_sync_needs_url_and_key(sent, url, key):
    t = DAGTracker()
    t._service_url, t._api_key = url, key
    t._sync_to_dashboard()
    assert sent == []


@pytest.mark.parametrize("url", ["file:///etc/passwd", "ftp://127.0.0.1/", "data:,x", "svc.example"])
def test_sync_contacts_only_web_urls(sent, caplog, url):
    t = DAGTracker()
    t._service_url, t._api_key = url, "secret"
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        t._sync_to_dashboard()
    assert sent == []
    texts = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert len(texts) == 1 and texts[0].startswith("Dashboard sync failed (non-fatal): ")
    assert "secret" not in texts[0]


def test_sync_network_error_is_a_warning(caplog):
    t = DAGTracker()
    t._service_url, t._api_key = f"http://127.0.0.1:{free_port()}", "k"
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        t._sync_to_dashboard()
    assert [r.levelno for r in caplog.records if r.name == LOGGER] == [logging.WARNING]


class Recorder(http.server.BaseHTTPRequestHandler):
    """Records every request; answers with ``self.server.reply`` (status and
    extra headers)."""

    def log_message(self, *args):
        pass

    def _answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        self.server.seen.append((self.command, self.path, self.headers.get("Authorization"), body))
        status, headers = self.server.reply
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"{}")

    do_GET = do_POST = _answer


@pytest.fixture
def http_server():
    servers = []

    def start(status=200, headers=None):
        srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
        srv.seen, srv.reply = [], (status, headers or {})
        threading.Thread(target=srv.serve_forever, daemon=True).start()
        servers.append(srv)
        return srv, f"http://127.0.0.1:{srv.server_address[1]}"

    yield start
    for srv in servers:
        srv.shutdown()
        srv.server_close()


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_sync_does_not_follow_redirects(http_server, caplog, status):
    elsewhere, elsewhere_url = http_server()
    svc, url = http_server(status, {"Location": elsewhere_url + "/collect"})
    t = DAGTracker()
    t._service_url, t._api_key = url, "secret"
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        t._sync_to_dashboard()
    assert [(m, p, a) for m, p, a, _ in svc.seen] == [("POST", "/v1/dashboard/sync", "Bearer secret")]
    assert elsewhere.seen == [], "the API key must not follow a redirect"
    texts = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert len(texts) == 1 and texts[0].startswith("Dashboard sync failed (non-fatal): ")


@pytest.mark.parametrize("key", ["s3cr3t\r\nX-Evil: 1", "s3cr3t\nX-Evil: 1", "s3cr3t\x00"])
def test_sync_refuses_key_with_control_characters_without_logging_it(http_server, caplog, key):
    svc, url = http_server()
    t = DAGTracker()
    t._service_url, t._api_key = url, key
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        t._sync_to_dashboard()
    assert svc.seen == []
    texts = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert len(texts) == 1 and texts[0].startswith("Dashboard sync failed (non-fatal): ")
    assert "s3cr3t" not in caplog.text


def test_sync_ignores_proxy_environment(http_server, monkeypatch, caplog):
    svc, url = http_server()
    for name in ("no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    dead = f"http://127.0.0.1:{free_port()}"
    monkeypatch.setenv("http_proxy", dead)
    monkeypatch.setenv("HTTP_PROXY", dead)
    t = DAGTracker(pipeline_name="p")
    t._service_url, t._api_key = url, "k"
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        t._sync_to_dashboard()
    assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == []
    (method, path, auth, body), = svc.seen
    assert (method, path, auth) == ("POST", "/v1/dashboard/sync", "Bearer k")
    assert json.loads(body)["pipeline"]["pipeline_name"] == "p"
