"""AsyncWriter against a real SQLite file, with fault-injecting wrappers."""
import logging
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.utilities.persistence import (
    AsyncWriter,
    SQLiteStorage,
    StorageError,
    StoredEdge,
    StoredNode,
    StoredRowValue,
    WriterConfig,
)

FAST = dict(max_attempts=4, retry_base_delay=0.001, retry_max_delay=0.005)


def node(fp, pid):
    return StoredNode(fingerprint=fp, node_type="BINARY", operation="add", table_name=None, column_name=None,
                      pair_id=None, is_protected=False, pipeline_id=pid)


def row(pid, i, value=1.0):
    return StoredRowValue(pid, i, i, "add", value, "c", None, None)


class Wrapped:
    """Passes calls to a real store; ``hook(name)`` runs first and may raise or block."""

    def __init__(self, inner, hook=None):
        self.inner = inner
        self.hook = hook or (lambda name: None)
        self.calls = []

    def __getattr__(self, name):
        target = getattr(self.inner, name)
        if name not in ("register_source", "store_nodes", "store_edges_resolved", "store_row_values",
                        "get_node_ids", "get_fingerprint_node_map"):
            return target

        def call(*args, **kw):
            self.calls.append(name)
            self.hook(name)
            return target(*args, **kw)

        return call


@pytest.fixture
def store(tmp_path):
    s = SQLiteStorage(tmp_path / "w.db")
    s.connect()
    yield s
    s.disconnect()


@pytest.fixture
def writers():
    made = []

    def make(storage, **cfg):
        w = AsyncWriter(storage, WriterConfig(**cfg))
        w.start()
        made.append(w)
        return w

    yield make
    for w in made:
        w.stop(timeout=10)


def consistent(stats):
    """Every accepted record is accounted for exactly once."""
    assert stats["nodes_queued"] == stats["nodes_stored"] + stats["nodes_duplicate"] + stats["nodes_failed"]
    assert stats["edges_queued"] == (stats["edges_stored"] + stats["edges_duplicate"] + stats["edges_unresolved"]
                                     + stats["edges_failed"])
    assert stats["row_values_queued"] == stats["row_values_stored"] + stats["row_values_failed"]
    assert stats["sources_queued"] == stats["sources_registered"] + stats["sources_failed"]


@settings(max_examples=25)
@given(
    st.lists(st.tuples(st.integers(0, 30), st.lists(st.integers(0, 30), max_size=3)), min_size=1, max_size=60),
    st.integers(1, 20),
)
def test_random_graph_stored_once_and_stats_agree(tmp_path_factory, steps, batch_size):
    """Nodes arrive with repeated fingerprints and edges to earlier nodes
    (as the tracker sends them); the store ends with one node per
    fingerprint and one edge per distinct (parent, child, position)."""
    s = SQLiteStorage(tmp_path_factory.mktemp("w") / "g.db")
    s.connect()
    pid = s.create_pipeline("g")
    w = AsyncWriter(s, WriterConfig(batch_size=batch_size, flush_interval=0.01, queue_size=16))
    w.start()
    try:
        seen, expected_edges = [], set()
        for fp, parents in steps:
            w.write_node(node(fp, pid))
            seen.append(fp)
            edges = [StoredEdge(p, fp, i) for i, p in enumerate(parents) if p in seen]
            expected_edges |= {(e.parent_fingerprint, e.child_fingerprint, e.input_position) for e in edges}
            w.write_edges(edges)
        assert w.flush(timeout=30)
        m = s.get_fingerprint_node_map(pid)
        assert set(m) == set(seen)
        back = {v: k for k, v in m.items()}
        import sqlite3

        raw = sqlite3.connect(s.path)
        stored = {(back[p], back[c], pos) for p, c, pos in raw.execute("SELECT parent_id, child_id, position FROM edges")}
        raw.close()
        assert stored == expected_edges
        stats = w.get_stats()
        consistent(stats)
        assert stats["nodes_stored"] == len(set(seen)) and stats["edges_stored"] == len(expected_edges)
        assert stats["failures"] == 0 and stats["queued"] == 0
    finally:
        w.stop()
        s.disconnect()


def test_edges_follow_their_pipeline_and_unknown_fingerprints_are_counted(store, writers):
    a, b = store.create_pipeline("a"), store.create_pipeline("b")
    w = writers(store, batch_size=1000, flush_interval=5.0)
    for fp in (1, 2):
        w.write_node(node(fp, a))
    w.write_edges([StoredEdge(1, 2, 0)])  # pipeline of the last node: a
    w.write_node(node(1, b))
    w.write_edges([StoredEdge(1, 2, 0)])  # b has no node 2: unresolved
    w.write_edges([StoredEdge(2, 1, 1)], pipeline_id=a)  # explicit pipeline
    assert w.flush(timeout=10)
    assert store.count_rows(a)["edges"] == 2 and store.count_rows(b)["edges"] == 0
    stats = w.get_stats()
    assert stats["edges_unresolved"] == 1 and stats["edges_stored"] == 2
    consistent(stats)


def test_sources_register_for_the_current_pipeline(store, writers):
    pid = store.create_pipeline("s")
    w = writers(store)
    w.register_source(0, "people", "age", True)
    w.register_source(1, "people", "zip", False)
    assert w.flush(timeout=10)
    assert store.get_pipeline(pid)["protected_sources"] == ["people.age"]
    assert w.get_stats()["sources_registered"] == 2


def test_partial_batch_is_written_after_the_interval_without_flush(store, writers):
    called = threading.Event()
    backend = Wrapped(store, lambda name: called.set())
    pid = store.create_pipeline("i")
    w = writers(backend, batch_size=10_000, flush_interval=0.02)
    w.write_node(node(1, pid))
    assert called.wait(timeout=10)


def test_transient_failures_are_retried_until_they_land(store, writers):
    pid = store.create_pipeline("f")
    failures = {"store_nodes": 3, "store_row_values": 2}

    def hook(name):
        if failures.get(name, 0) > 0:
            failures[name] -= 1
            raise ConnectionError("service restarting")

    w = writers(Wrapped(store, hook), batch_size=5, flush_interval=0.01, **FAST)
    for fp in range(10):
        w.write_node(node(fp, pid))
    w.write_row_values([row(pid, i) for i in range(7)])
    assert w.flush(timeout=10)
    stats = w.get_stats()
    assert store.count_rows(pid)["nodes"] == 10 and store.count_rows(pid)["row_values"] == 7
    assert stats["retries"] == 5 and stats["failures"] == 0
    consistent(stats)


def test_backend_failing_every_call_is_counted_and_never_stalls_the_caller(store, writers, caplog):
    pid = store.create_pipeline("x")
    state = {"down": True}

    def hook(name):
        if state["down"]:
            raise RuntimeError("backend down")

    w = writers(Wrapped(store, hook), batch_size=10, flush_interval=0.01, queue_size=8, **FAST)
    caplog.set_level(logging.WARNING, logger="morvel.utilities.persistence.writer")
    for fp in range(200):
        w.write_node(node(fp, pid))
        w.write_edges([StoredEdge(fp, fp + 1, 0)])
    w.write_row_values([row(pid, i) for i in range(30)])
    assert w.flush(timeout=30)
    stats = w.get_stats()
    consistent(stats)
    assert stats["nodes_failed"] == 200 and stats["row_values_failed"] == 30 and stats["edges_failed"] == 200
    assert stats["nodes_stored"] == 0 and stats["failures"] > 0
    # the first failed call used its retries; later ones one try each
    assert stats["retries"] == FAST["max_attempts"] - 1
    assert stats["backend_calls"] == stats["failures"] + stats["retries"]
    assert any("not stored" in r.getMessage() for r in caplog.records if r.levelno == logging.WARNING)
    assert store.count_rows(pid)["nodes"] == 0
    # the thread is alive, and once the backend answers, writes land again
    state["down"] = False
    w.write_node(node(1000, pid))
    assert w.flush(timeout=10)
    assert store.count_rows(pid)["nodes"] == 1 and w.get_stats()["nodes_stored"] == 1


def test_bad_records_are_isolated_by_splitting_the_batch(store, writers, caplog):
    pid = store.create_pipeline("b")
    values = [row(pid, i) for i in range(16)]
    values[5] = row(pid, 5, value="not a number")
    values[11] = row(pid, 11, value=object())
    caplog.set_level(logging.WARNING, logger="morvel.utilities.persistence.writer")
    w = writers(store, batch_size=100, flush_interval=0.01, **FAST)
    w.write_row_values(values)
    w.write_node(object())  # not a node at all
    w.write_node(node(1, pid))
    assert w.flush(timeout=10)
    stats = w.get_stats()
    assert (stats["row_values_stored"], stats["row_values_failed"]) == (14, 2)
    assert (stats["nodes_stored"], stats["nodes_failed"]) == (1, 1)
    assert stats["retries"] == 0  # bad input is not retried
    assert store.count_rows(pid)["row_values"] == 14
    consistent(stats)


def test_full_queue_blocks_the_caller_until_there_is_room(store, writers):
    pid = store.create_pipeline("q")
    entered, release = threading.Event(), threading.Event()

    def hook(name):
        entered.set()
        assert release.wait(timeout=30)

    w = writers(Wrapped(store, hook), batch_size=1, flush_interval=0.01, queue_size=4)
    w.write_node(node(0, pid))
    assert entered.wait(timeout=10)  # the thread is now stuck in the backend
    filled = threading.Event()
    filler = threading.Thread(target=lambda: ([w.write_node(node(fp, pid)) for fp in range(1, 5)], filled.set()))
    filler.start()
    # fills the queue without waiting: done while the backend is still stuck
    assert filled.wait(timeout=10)
    filler.join()
    done = threading.Event()
    t = threading.Thread(target=lambda: (w.write_node(node(5, pid)), done.set()))
    t.start()
    assert not done.wait(timeout=0.2)  # blocked, not dropped
    assert w.flush(timeout=0.05) is False  # nor can a flush finish yet
    release.set()
    assert done.wait(timeout=10)
    t.join()
    assert w.flush(timeout=10)
    assert store.count_rows(pid)["nodes"] == 6
    assert w.get_stats()["nodes_stored"] == 6


def test_stop_drains_everything_and_later_writes_raise(store):
    pid = store.create_pipeline("s")
    w = AsyncWriter(store, WriterConfig(batch_size=10_000, flush_interval=60.0))
    with pytest.raises(RuntimeError):
        w.write_node(node(1, pid))  # not started
    w.start()
    for fp in range(100):
        w.write_node(node(fp, pid))
    w.write_row_values([row(pid, i) for i in range(50)])
    assert w.stop(timeout=10)
    assert store.count_rows(pid)["nodes"] == 100 and store.count_rows(pid)["row_values"] == 50
    with pytest.raises(RuntimeError):
        w.write_row_values([row(pid, 1)])
    assert w.flush(timeout=1)
    assert w.stop()  # second stop is harmless


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(batch_size=0), ValueError),
        (dict(queue_size=-1), ValueError),
        (dict(max_attempts=0), ValueError),
        (dict(flush_interval=-0.5), ValueError),
        (dict(flush_interval=float("nan")), ValueError),
        (dict(flush_interval="1"), TypeError),
        (dict(batch_size="10"), TypeError),
    ],
)
def test_writer_config_rejects_bad_settings(kwargs, error):
    with pytest.raises(error):
        WriterConfig(**kwargs)


def test_writer_config_defaults_and_conversion():
    cfg = WriterConfig(batch_size=100.9, flush_interval=1, queue_size=10000)
    assert (cfg.batch_size, cfg.flush_interval, cfg.queue_size) == (100, 1.0, 10000)
    with pytest.raises(TypeError, match="Argument 'config' has incorrect type"):
        AsyncWriter(None, config={"batch_size": 1})


def test_storage_errors_marked_retryable_are_retried(store, writers):
    pid = store.create_pipeline("r")
    state = {"left": 2}

    def hook(name):
        if name == "store_nodes" and state["left"]:
            state["left"] -= 1
            raise StorageError("busy", status=503, retryable=True)

    w = writers(Wrapped(store, hook), flush_interval=0.01, **FAST)
    w.write_node(node(1, pid))
    assert w.flush(timeout=10)
    assert w.get_stats()["retries"] == 2 and store.count_rows(pid)["nodes"] == 1


def test_a_list_of_only_bad_records_costs_a_bounded_number_of_calls(store, writers):
    pid = store.create_pipeline("bad")
    w = writers(store, batch_size=10_000, flush_interval=0.01, max_records_per_call=5000, **FAST)
    w.write_row_values([row(pid, i, value="bad") for i in range(4000)])
    assert w.flush(timeout=30)
    stats = w.get_stats()
    assert stats["row_values_failed"] == 4000 and stats["row_values_stored"] == 0
    assert stats["backend_calls"] <= 1 + 64


def test_rejections_that_smaller_lists_cannot_fix_are_not_split(store, writers):
    pid = store.create_pipeline("p")

    def hook(name):
        raise StorageError("pipeline not found", status=404)

    w = writers(Wrapped(store, hook), flush_interval=0.01, **FAST)
    w.write_row_values([row(pid, i) for i in range(100)])
    assert w.flush(timeout=10)
    stats = w.get_stats()
    assert (stats["backend_calls"], stats["row_values_failed"], stats["failures"]) == (1, 100, 1)


def test_writes_racing_with_stop_are_written_or_refused_never_lost(store):
    pid = store.create_pipeline("race")
    w = AsyncWriter(store, WriterConfig(batch_size=50, flush_interval=0.01, queue_size=20))
    w.start()
    accepted = []
    going = threading.Event()

    def produce(base):
        for i in range(2000):
            try:
                w.write_node(node(base + i, pid))
            except RuntimeError:
                return
            accepted.append(base + i)
            if len(accepted) >= 100:
                going.set()

    threads = [threading.Thread(target=produce, args=(k * 10_000,)) for k in range(3)]
    for t in threads:
        t.start()
    assert going.wait(timeout=10)  # stop while the producers are busy
    assert w.stop(timeout=30)
    for t in threads:
        t.join()
    assert set(store.get_fingerprint_node_map(pid)) == set(accepted)
    assert w.get_stats()["nodes_stored"] == len(accepted)
    w.start()  # a stopped writer can start again
    w.write_node(node(-1, pid))
    assert w.stop(timeout=10)
    assert -1 in store.get_fingerprint_node_map(pid)


class GarbledLookup(Wrapped):
    """A backend whose node-id lookup answers with something that is not a map of integers."""

    def get_node_ids(self, pipeline, fingerprints):
        return {"not a fingerprint": "not an id"}


@pytest.mark.parametrize(
    "backend, bad_edge",
    [
        # an edge record whose position cannot be used as a key
        (lambda s: s, StoredEdge(1, 2, [0])),
        # a well-formed edge, but the backend's lookup answer is unusable
        (lambda s: GarbledLookup(s), StoredEdge(1, 2, 0)),
    ],
    ids=["unhashable-edge", "garbled-lookup"],
)
def test_an_unexpected_error_in_one_batch_loses_nothing_silently(store, backend, bad_edge, caplog):
    pid = store.create_pipeline("odd")
    caplog.set_level(logging.WARNING, logger="morvel.utilities.persistence.writer")
    w = AsyncWriter(backend(store), WriterConfig(batch_size=1000, flush_interval=60, **FAST))
    w.start()
    try:
        w.write_node(node(1, pid))
        w.write_node(node(2, pid))
        w.write_edges([bad_edge])
        w.write_row_values([row(pid, i) for i in range(10)])
        # the flush marker is answered although the batch hit an error
        assert w.flush(timeout=10)
    finally:
        assert w.stop(timeout=10)
    stats = w.get_stats()
    consistent(stats)
    # the rest of the batch is written; the edge is counted as failed
    assert (stats["nodes_stored"], stats["row_values_stored"], stats["edges_failed"]) == (2, 10, 1)
    assert store.count_rows(pid)["row_values"] == 10
    assert any("not stored" in r.getMessage() for r in caplog.records if r.levelno == logging.WARNING)


def test_stop_ends_the_thread_even_when_its_last_batch_hits_an_error(store):
    pid = store.create_pipeline("last")
    w = AsyncWriter(GarbledLookup(store), WriterConfig(batch_size=1000, flush_interval=60, **FAST))
    w.start()
    w.write_node(node(1, pid))
    w.write_node(node(2, pid))
    w.write_edges([StoredEdge(1, 2, 0)])
    assert w.stop(timeout=10)
    assert not w.running and w.get_stats()["edges_failed"] == 1


def test_stop_keeps_its_time_out_while_a_producer_waits_for_room(store):
    pid = store.create_pipeline("busy")
    entered, release = threading.Event(), threading.Event()

    def hook(name):
        entered.set()
        assert release.wait(timeout=30)

    w = AsyncWriter(Wrapped(store, hook), WriterConfig(batch_size=1, flush_interval=0.01, queue_size=1))
    w.start()
    w.write_node(node(0, pid))
    assert entered.wait(timeout=10)  # the thread is stuck in the backend
    w.write_node(node(1, pid))  # fills the queue
    blocked = threading.Thread(target=w.write_node, args=(node(2, pid),))
    blocked.start()  # waits for room
    answers = []
    stopper = threading.Thread(target=lambda: answers.append(w.stop(timeout=0.2)))
    stopper.start()
    stopper.join(timeout=10)
    try:
        assert not stopper.is_alive() and answers == [False]
    finally:
        release.set()
        blocked.join(timeout=10)
        stopper.join(timeout=10)
        assert w.stop(timeout=10)
    assert store.count_rows(pid)["nodes"] == 3
