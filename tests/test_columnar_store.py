"""The columnar lineage store against the tracker's dictionary store.

The per-element reference path of ``DAGTracker`` is the oracle: the same
pipeline is logged through it (tracked Series operations forced onto their
per-element loop, and ``log_*`` calls one node at a time) and through
``ColumnarStore`` in whole arrays, and every node and every value's graph
must come out equal.  Round trips (pickle, save/load, reading a saved value
back, spilling to disk) must give back exactly the store that went in.
"""
from __future__ import annotations

import logging
import pickle
import sqlite3
import struct
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.utilities._columnar_store import (
    BLOCK_SIZE,
    ColumnarStore,
    SavedLineage,
    load_store,
    saved_stores,
)
from morvel.utilities.persistence import SQLiteStorage
from morvel.utilities.vortel32_dag import DAGTracker, NodeType, wrap_dataframe_dag

WORDS = st.integers(0, 2**32 - 1)


class ReferenceTracker(DAGTracker):
    """Overriding the logging methods forces the per-element loops."""

    def log_binary(self, *args, **kwargs):
        return super().log_binary(*args, **kwargs)

    def log_unary(self, *args, **kwargs):
        return super().log_unary(*args, **kwargs)


BINARY = {"add": lambda a, b: a + b, "sub": lambda a, b: a - b,
          "mul": lambda a, b: a * b, "gt": lambda a, b: a > b}
UNARY = {"neg": lambda a: -a, "clip": lambda a: a.clip(-3, 3), "fillna": lambda a: a.fillna(0)}


def assert_same_store(store: ColumnarStore, tracker: DAGTracker, roots) -> None:
    """Every node, every root's graph and every word lookup agree."""
    assert store.next_id == tracker._next_node_id
    for i in range(tracker._next_node_id):
        assert store.get_node(i) == tracker.get_node(i), i
    for r in roots:
        assert store.get_dag(r) == tracker.get_dag(r), r
    for w in {n.provenance for n in tracker._nodes.values()}:
        assert store.nodes_for_word(w).tolist() == [n.node_id for n in tracker.get_nodes_for_provenance(w)]
        assert store.get_dag_for_provenance(w) == tracker.get_dag_for_provenance(w)
    stats, ref = store.stats(), tracker.dag_stats()
    assert {k: stats[k] for k in ref} == ref


@settings(max_examples=40)
@given(
    rows=st.integers(1, 12),
    data=st.data(),
    protected=st.sampled_from([["x"], ["g"], []]),
)
def test_tracked_pipeline_gives_same_graph_for_every_value(rows, data, protected):
    values = data.draw(st.lists(st.one_of(st.floats(-5, 5), st.just(float("nan"))),
                                min_size=3 * rows, max_size=3 * rows))
    df = pd.DataFrame({"x": values[:rows], "y": values[rows:2 * rows], "g": values[2 * rows:]},
                      index=[f"r{i}" for i in range(rows)])
    tracker = ReferenceTracker()
    frame = wrap_dataframe_dag(df, tracker, "loans", protected)
    store = ColumnarStore()
    for col in df.columns:
        node = store.create_source_node("loans", col, int(frame._col_prov[col][0]),
                                        tracker.get_id("loans", col), tracker.is_protected("loans", col))
        assert (frame._col_nodes[col] == node).all()

    pool = [frame[c] for c in df.columns]
    steps = data.draw(st.lists(st.tuples(st.sampled_from(sorted(BINARY) + sorted(UNARY)),
                                         st.integers(0, 99), st.integers(0, 99)), min_size=1, max_size=7))
    for name, i, j in steps:
        a, b = pool[i % len(pool)], pool[j % len(pool)]
        if name == "sub" and a.dtype == bool and b.dtype == bool:
            continue  # numpy refuses to subtract booleans, as pandas does
        if name in BINARY:
            out = BINARY[name](a, b)
            ids = store.log_nodes(name, NodeType.BINARY, out._prov, [a._node_ids, b._node_ids])
        else:
            out = UNARY[name](a)
            ids = store.log_nodes(name, NodeType.UNARY, out._prov, [a._node_ids])
        assert ids.tolist() == out._node_ids.tolist()
        pool.append(out)

    # A merge and an aggregate over the rows, one reference call per row.
    last = pool[-1]
    left = [[int(last._node_ids[r])] for r in range(rows)]
    right = [[int(pool[0]._node_ids[r]), int(pool[1]._node_ids[r])] for r in range(rows)]
    words = np.array(data.draw(st.lists(WORDS, min_size=rows, max_size=rows)), dtype=np.uint32)
    ref = [tracker.log_merge(lft, rgt, int(w), "left") for lft, rgt, w in zip(left, right, words)]
    flat = [i for lft, rgt in zip(left, right) for i in lft + rgt]
    got = store.log_nodes("merge_left", NodeType.MERGE, words, flat, np.arange(rows + 1) * 3,
                          metadata={"merge_type": "left"})
    assert got.tolist() == ref
    total = tracker.log_aggregate("sum", ref, 7)
    assert store.log_aggregate("sum", got.tolist(), 7) == total

    roots = [int(i) for s in pool for i in s._node_ids] + ref + [total]
    assert_same_store(store, tracker, roots)


@st.composite
def programs(draw):
    """Single-node logging calls.  An input is ("old", k): the k-th id
    created so far (modulo their number), or ("far", id): an id the store
    never hands out here (negative, far away)."""
    steps = []
    ids = st.one_of(st.tuples(st.just("old"), st.integers(0, 99)),
                    st.tuples(st.just("far"), st.sampled_from([-7, 2**40, 10**6])))
    for _ in range(draw(st.integers(1, 40))):
        kind = draw(st.sampled_from(["source", "unary", "binary", "merge", "aggregate", "reset"]))
        meta = draw(st.one_of(st.none(), st.just({}), st.dictionaries(
            st.sampled_from(["why", "merge_type"]), st.one_of(st.integers(-9, 9), st.text(max_size=3)),
            max_size=2)))
        word = draw(WORDS)
        if kind == "source":
            steps.append((kind, draw(st.sampled_from(["a", "b"])), draw(st.sampled_from(["x", "y", "z"])), word))
        elif kind == "unary":
            steps.append((kind, draw(ids), word, meta))
        elif kind == "binary":
            steps.append((kind, draw(ids), draw(ids), word, meta))
        elif kind in ("merge", "aggregate"):
            steps.append((kind, draw(st.lists(ids, max_size=3)), draw(st.lists(ids, max_size=3)), word, meta))
        else:
            steps.append((kind,))
    return steps


def run_program(steps, store: ColumnarStore, tracker: DAGTracker) -> None:
    made: list = []

    def resolve(item):
        if isinstance(item, list):
            return [resolve(s) for s in item]
        kind, k = item
        return made[k % len(made)] if kind == "old" and made else (k if kind == "far" else -7)

    for step in steps:
        kind = step[0]
        if kind == "source":
            _, table, column, word = step
            tracker.register(table, column, column == "z")
            ref = tracker.create_source_node(table, column, word)
            got = store.create_source_node(table, column, word, tracker.get_id(table, column),
                                           tracker.is_protected(table, column))
        elif kind == "unary":
            ref = tracker.log_unary("op_u", resolve(step[1]), step[2], step[3])
            got = store.log_unary("op_u", resolve(step[1]), step[2], step[3])
        elif kind == "binary":
            a, b = resolve(step[1]), resolve(step[2])
            ref = tracker.log_binary("op_b", a, b, step[3], step[4])
            got = store.log_binary("op_b", a, b, step[3], step[4])
        elif kind == "merge":
            a, b = resolve(step[1]), resolve(step[2])
            ref = tracker.log_merge(a, b, step[3], "outer", step[4])
            got = store.log_merge(a, b, step[3], "outer", step[4])
        elif kind == "aggregate":
            ins = resolve(step[1] + step[2])
            ref = tracker.log_aggregate("mean", ins, step[3], step[4])
            got = store.log_aggregate("mean", list(ins), step[3], step[4])
        else:
            tracker._source_nodes.clear()
            store.reset_sources()
            continue
        assert got == ref
        made.append(ref)


@settings(max_examples=80)
@given(programs())
def test_single_node_calls_match_the_tracker(steps):
    store, tracker = ColumnarStore(), DAGTracker()
    run_program(steps, store, tracker)
    assert_same_store(store, tracker, range(-2, tracker._next_node_id + 2))
    # Inputs the store never held are named in the export, not raised.
    for r in range(tracker._next_node_id):
        dag = tracker.get_dag(r)
        exported = store.export_dict(r)
        held = {e.source_id for e in dag.edges} <= set(dag.nodes)
        assert (exported["missing_nodes"] == []) == held
        if held:
            assert exported == {**dag.to_dict(), "missing_nodes": []}
            assert store.export_dot(r) == dag.to_graphviz()


def test_missing_input_is_reported_with_depth():
    store = ColumnarStore()
    a = store.create_source_node("t", "c", 1)
    b = store.log_binary("add", a, 99, 2)
    c = store.log_unary("neg", b, 3)
    with pytest.raises(KeyError):
        store.get_dag(c).to_dict()
    out = store.export_dict(c)
    assert out["missing_nodes"] == [99]
    assert (out["depth"], out["node_count"], out["edge_count"]) == (2, 3, 3)
    assert store.export_dict(12345)["missing_nodes"] == [12345]
    assert store.get_node(12345) is None and store.get_dag(-1).nodes == {}


@st.composite
def stores(draw):
    """A store spanning several blocks: bulk binary steps, CSR steps with
    far-away inputs (escapes), metadata and single-node calls."""
    store = ColumnarStore()
    tracker = DAGTracker()
    run_program(draw(programs()), store, tracker)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.sampled_from([0, 1000, BLOCK_SIZE - len(store), BLOCK_SIZE + 17, 2 * BLOCK_SIZE + 3]))
    if n > 0:
        top = max(len(store), 1)
        left = rng.integers(-1, top, n)
        right = rng.integers(0, top, n)
        store.log_nodes("add", NodeType.BINARY, rng.integers(0, 2**32, n, dtype=np.uint32), [left, right])
        k = draw(st.integers(1, 50))
        counts = rng.integers(0, 4, k)
        flat = rng.choice([0, 1, -5, 2**50, len(store) + 10**6], int(counts.sum()))
        store.log_nodes("agg", NodeType.AGGREGATE, rng.integers(0, 9, k), flat,
                        np.concatenate([[0], np.cumsum(counts)]), table="t", column="c", pair_id=3,
                        metadata={"k": [1, "two"]})
    return store


def snapshot(store: ColumnarStore) -> tuple:
    return store._header(), list(store._blocks())


def sample_roots(store: ColumnarStore) -> list:
    n = len(store)
    return sorted({0, n - 1, n // 2, n // 3, max(n - BLOCK_SIZE - 1, 0)}) if n else [0]


def assert_same(a: ColumnarStore, b: ColumnarStore) -> None:
    assert snapshot(a) == snapshot(b)
    for r in sample_roots(a):
        assert a.get_dag(r) == b.get_dag(r)
        node = a.get_node(r)
        if node is not None:
            assert a.nodes_for_word(node.provenance).tolist() == b.nodes_for_word(node.provenance).tolist()
    assert a.stats()["operation_counts"] == b.stats()["operation_counts"]


def through_pickle(store, tmp_path):
    return pickle.loads(pickle.dumps(store))


def through_sqlite(store, tmp_path):
    storage = SQLiteStorage(tmp_path / "lineage.db")
    storage.connect()
    try:
        pid = storage.create_pipeline("p")
        before = storage.count_rows()
        store_id = store.save(storage, "run", pipeline_id=pid)
        assert storage.count_rows() == before  # the existing tables are untouched
        assert saved_stores(storage)[-1]["nodes"] == len(store)
        return load_store(storage, store_id)
    finally:
        storage.disconnect()


def through_spill(store, tmp_path):
    store.memory_budget = 0
    assert store.stats()["spilled_blocks"] == len(store) // BLOCK_SIZE
    store.drop_page_cache()
    return store


@settings(max_examples=12)
@pytest.mark.parametrize("trip", [through_pickle, through_sqlite, through_spill])
@given(store=stores())
def test_round_trips_give_back_the_same_store(trip, store, tmp_path_factory):
    before = ColumnarStore._from_parts(*snapshot(store)[:1], iter(snapshot(store)[1]))
    after = trip(store, tmp_path_factory.mktemp("trip"))
    assert_same(before, after)
    # The copy keeps logging where the original stopped.
    assert after.log_unary("neg", 0, 5) == before.log_unary("neg", 0, 5)
    assert_same(before, after)


class WithoutBlobReads:
    """A storage whose connection lacks incremental BLOB reads (Python 3.10)."""

    def __init__(self, db: sqlite3.Connection) -> None:
        self._lock = threading.Lock()
        self._conn = db

    def _db(self):
        db = self._conn

        class Plain:
            def execute(self, *args):
                return db.execute(*args)

        return Plain()


@settings(max_examples=10)
@pytest.mark.parametrize("blob_reads", [True, False])
@given(store=stores())
def test_saved_value_lineage_is_read_back(blob_reads, store):
    db = sqlite3.connect(":memory:")
    store_id = store.save(db)
    saved = SavedLineage(db if blob_reads else WithoutBlobReads(db), store_id)
    assert len(saved) == len(store)
    for r in [*sample_roots(store), len(store), -1]:
        assert saved.get_dag(r) == store.get_dag(r)
        assert saved.get_node(r) == store.get_node(r)


def test_spilled_store_pickles_and_cleans_up(tmp_path):
    store = ColumnarStore(memory_budget=0, spill_dir=str(tmp_path))
    n = 2 * BLOCK_SIZE + 5
    store.create_source_node("t", "c", 1)
    ids = store.log_nodes("neg", NodeType.UNARY, np.arange(n), [np.arange(n)])  # one chain
    stats = store.stats()
    assert (stats["spilled_blocks"], stats["blocks"]) == (2, 3)
    assert stats["disk_bytes"] > 0 and stats["column_bytes"] < BLOCK_SIZE * 20
    (folder,) = list(tmp_path.iterdir())
    assert len(list(folder.iterdir())) == 2
    copy = pickle.loads(pickle.dumps(store))
    assert copy.get_dag(int(ids[-1])) == store.get_dag(int(ids[-1]))
    assert len(copy.get_dag(int(ids[-1])).nodes) == n + 1
    del store, copy
    assert list(tmp_path.iterdir()) == []


def test_failed_spill_keeps_nodes_in_memory(tmp_path, caplog):
    blocker = tmp_path / "not-a-folder"
    blocker.write_text("")
    store = ColumnarStore(memory_budget=0, spill_dir=str(blocker))
    n = BLOCK_SIZE + 1
    store.create_source_node("t", "c", 1)
    with caplog.at_level(logging.WARNING):
        ids = store.log_nodes("neg", NodeType.UNARY, np.arange(n), [np.arange(n)])
    assert "over budget" in caplog.text
    stats = store.stats()
    assert stats["spilled_blocks"] == 0 and stats["spill_error"]
    assert len(store.get_dag(int(ids[-1])).nodes) == n + 1
    with pytest.raises(RuntimeError, match="spill"):
        store.spill()


@pytest.mark.parametrize("call, error", [
    (lambda s: s.log_nodes("op", NodeType.UNARY, [-1], [[0]]), ValueError),
    (lambda s: s.log_nodes("op", NodeType.UNARY, [2**32], [[0]]), ValueError),
    (lambda s: s.log_nodes("op", NodeType.UNARY, [1.5], [[0]]), TypeError),
    (lambda s: s.log_nodes("op", NodeType.UNARY, [1, 2], [[0]]), ValueError),
    (lambda s: s.log_nodes("op", NodeType.AGGREGATE, [1, 2], [0, 0], [0, 2, 1]), ValueError),
    (lambda s: s.log_nodes("op", NodeType.AGGREGATE, [1], [0], [0, 5]), ValueError),
    (lambda s: s.log_nodes("op", NodeType.AGGREGATE, [1], [0], [0]), ValueError),
    (lambda s: s.log_nodes("op", "UNARY", [1], [[0]]), TypeError),
    (lambda s: s.log_nodes(3, NodeType.UNARY, [1], [[0]]), TypeError),
    (lambda s: s.log_unary("op", 0, 1, {"k": (1, 2)}), ValueError),
    (lambda s: s.log_unary("op", 0, 1, {"k": object()}), TypeError),
    (lambda s: s.log_unary("op", "0", 1), TypeError),
    (lambda s: s.create_source_node("", "c", 1), ValueError),
    (lambda s: s.create_source_node("t", "c", -1), ValueError),
    (lambda s: s.log_nodes("op", NodeType.UNARY, [1], [[0]], table=b"t"), TypeError),
])
def test_bad_arguments_change_nothing(call, error):
    store = ColumnarStore()
    store.create_source_node("t", "c", 1)
    before = snapshot(store)
    with pytest.raises(error):
        call(store)
    assert snapshot(store)[1] == before[1] and len(store) == 1


@pytest.mark.parametrize("column, value", [
    ("offsets", b"\x00" * 8),
    ("ops", (10**6).to_bytes(4, "little") * 2),
    ("types", b"\x09\x01"),
    ("inputs", b"\xff" * 8),
    ("words", b"\x00" * 3),
])
def test_tampered_saved_blocks_are_refused(column, value):
    store = ColumnarStore()
    a = store.create_source_node("t", "c", 1)
    store.log_binary("add", a, 2**40, 3)
    db = sqlite3.connect(":memory:")
    store_id = store.save(db)
    # Raw columns (no runs), then one of them damaged.
    (blk,) = store._blocks()
    raw = dict(zip(("types", "flags", "ops", "words", "srcs", "offsets", "inputs"), blk["columns"]))
    raw[column] = value
    db.execute(f"UPDATE lineage_blocks SET linear = 0, {', '.join(c + ' = ?' for c in raw)} WHERE store_id = ?",
               (*raw.values(), store_id))
    with pytest.raises(ValueError):
        load_store(db, store_id)
    with pytest.raises(ValueError):
        SavedLineage(db, store_id).get_dag(1)


@pytest.mark.parametrize("run", [(2, 300, 0), (2, 0, -1), (10**12, 0, 0)])
def test_damaged_runs_are_refused(run):
    store = ColumnarStore()
    a = store.create_source_node("t", "c", 1)
    store.log_unary("neg", a, 3)
    db = sqlite3.connect(":memory:")
    store_id = store.save(db)
    assert db.execute("SELECT linear & 1 FROM lineage_blocks").fetchone()[0] == 1  # types as a run
    db.execute("UPDATE lineage_blocks SET types = ?", (struct.pack("<qqq", *run),))
    with pytest.raises(ValueError):
        load_store(db, store_id)


def test_threads_logging_at_once_get_disjoint_consecutive_ids():
    store = ColumnarStore()
    src = store.create_source_node("t", "c", 1)
    results: dict = {}

    def work(k: int) -> None:
        got = []
        for call in range(15):
            n = 3000 + call
            words = np.full(n, k * 100 + call, dtype=np.uint32)
            got.append(store.log_nodes(f"op{k}", NodeType.UNARY, words, [np.full(n, src)]))
        results[k] = got

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    every = np.sort(np.concatenate([ids for got in results.values() for ids in got]))
    assert every.tolist() == list(range(1, len(store)))
    for k, got in results.items():
        for call, ids in enumerate(got):
            assert (np.diff(ids) == 1).all()  # one call, one run of ids
            for i in (int(ids[0]), int(ids[-1])):
                node = store.get_node(i)
                assert (node.operation, node.provenance, node.inputs) == (f"op{k}", k * 100 + call, [src])
    assert store.stats()["operation_counts"] == {f"op{k}": sum(3000 + c for c in range(15)) for k in range(4)}


@settings(max_examples=5)
@given(seed=st.integers(0, 2**32 - 1))
def test_spilled_blocks_read_back_nodes_of_any_arity(seed):
    """Nodes with 0 to 5 inputs (escaped ones among them) in blocks that
    move to disk read back exactly as before."""
    rng = np.random.default_rng(seed)
    store = ColumnarStore()
    n = BLOCK_SIZE + 100
    counts = rng.integers(0, 6, n)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    ids = np.arange(n)[np.repeat(np.arange(n), counts)]  # position of each input's node
    flat = np.where(rng.random(len(ids)) < 0.05, rng.choice([-3, 2**45], len(ids)),
                    rng.integers(0, np.maximum(ids, 1)))
    store.log_nodes("mix", NodeType.AGGREGATE, rng.integers(0, 2**32, n, dtype=np.uint32), flat, offsets,
                    metadata={"m": 1})
    before = [store.get_node(i) for i in range(n)]
    snap = snapshot(store)
    store.spill()
    store.drop_page_cache()
    assert store.stats()["spilled_blocks"] == 1
    assert snapshot(store) == snap
    assert [store.get_node(i) for i in range(n)] == before
    for r in rng.integers(0, n, 5).tolist():
        assert store.get_dag(r) == pickle.loads(pickle.dumps(store)).get_dag(r)


@settings(max_examples=8)
@given(seed=st.integers(0, 2**32 - 1), distinct=st.sampled_from([1, 3, 1000]),
       spill=st.booleans(), first_id=st.sampled_from([0, 5, 10**9]))
def test_word_lookup_matches_a_scan_of_every_word(seed, distinct, spill, first_id):
    rng = np.random.default_rng(seed)
    store = ColumnarStore(first_id=first_id)
    pool = rng.integers(0, 2**32, distinct, dtype=np.uint32)
    words = pool[rng.integers(0, distinct, 2 * BLOCK_SIZE + 50)]
    src = store.create_source_node("t", "c", int(words[0]))
    ids = store.log_nodes("neg", NodeType.UNARY, words[1:], [np.full(len(words) - 1, src)])
    assert ids[0] == first_id + 1
    if spill:
        store.spill()
    all_ids = np.arange(first_id, first_id + len(words))
    for w in [*pool[:5].tolist(), int(pool[0]) ^ 1]:
        assert store.nodes_for_word(w).tolist() == all_ids[words == w].tolist()
    assert store.stats()["unique_provenances"] == len(np.unique(words))
    assert store.get_node(first_id - 1) is None and store.get_node(first_id + len(words)) is None


def test_memory_budget_moves_the_oldest_blocks_out():
    store = ColumnarStore()
    src = store.create_source_node("t", "c", 1)
    chunk = np.full(BLOCK_SIZE, src)
    store.log_nodes("neg", NodeType.UNARY, np.arange(BLOCK_SIZE), [chunk])
    per_block = store.stats()["memory_bytes"]
    store.memory_budget = int(2.5 * per_block)
    for _ in range(5):
        store.log_nodes("neg", NodeType.UNARY, np.arange(BLOCK_SIZE), [chunk])
    stats = store.stats()
    assert stats["memory_bytes"] <= 2.5 * per_block
    assert stats["spilled_blocks"] >= 3 and stats["bytes_per_node"] < 48
    # The oldest blocks went first; every node is still there.
    assert store.get_node(1) == ColumnarStore._from_parts(*snapshot(store)[:1], iter(snapshot(store)[1])).get_node(1)
    assert store.stats()["operation_counts"] == {"neg": 6 * BLOCK_SIZE}
    assert len(store.get_dag(len(store) - 1).nodes) == 2
