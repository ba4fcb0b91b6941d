"""The compiled bulk lineage path against the per-element reference path.

Both paths run the same operations on the same inputs, one on a stock
``DAGTracker`` (bulk) and one on a subclass that overrides a method by
calling ``super`` (which forces the reference path); the whole tracker state
and every result must come out identical.
"""
from __future__ import annotations

import collections
import dataclasses
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.utilities import vortel32_dag as dag
from morvel.utilities.vortel32_dag import (
    DAGTrackedSeries,
    DAGTracker,
    wrap_dataframe_dag,
)


class RefTracker(DAGTracker):
    """A custom tracker: its own recorder makes every operation loop."""

    def record_row_value(self, *args, **kwargs):
        return super().record_row_value(*args, **kwargs)


def _record_key(rec):
    return tuple("NaN" if isinstance(x, float) and x != x else x
                 for x in dataclasses.astuple(rec))


def tracker_state(t: DAGTracker) -> dict:
    return {
        "nodes": list(t._nodes.items()),
        "index": [(k, list(v)) for k, v in t._prov_to_nodes.items()],
        "sources": list(t._source_nodes.items()),
        "next_node_id": t._next_node_id,
        "buffer": [_record_key(r) for r in t._value_buffer],
        "pairs": list(t._name_to_id.items()),
        "protected": sorted(t._protected_columns),
        "dense": dict(t._dense),
    }


def series_state(s) -> tuple:
    values = s.to_numpy()
    return (type(s).__name__, [("NaN" if isinstance(v, float) and v != v else v) for v in values.tolist()],
            s._prov.tolist(), s._node_ids.tolist(), list(s.index))


def frame_state(f) -> tuple:
    return ({k: v.tolist() for k, v in f._col_prov.items()},
            {k: v.tolist() for k, v in f._col_nodes.items()})


def pair(max_nodes=None, threshold=None):
    bulk, ref = DAGTracker(), RefTracker()
    for t in (bulk, ref):
        if max_nodes is not None:
            t._max_nodes = max_nodes
        if threshold is not None:
            t._value_flush_threshold = threshold
    return bulk, ref


def test_bulk_path_is_taken_for_a_stock_tracker(monkeypatch):
    """The differential tests below only mean something if the stock tracker
    really takes the compiled path and the subclass really does not."""
    calls = []
    real = dag._lineage.log_nodes

    def spy(*args):
        calls.append(args[3])
        return real(*args)

    monkeypatch.setattr(dag._lineage, "log_nodes", spy)
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    for tracker in (DAGTracker(), RefTracker()):
        f = wrap_dataframe_dag(frame, tracker, "t")
        _ = f["a"] + f["b"]
        _ = -f["a"]
    assert calls == ["add", "neg"]


# -- random operation programs ----------------------------------------------

BINARY = ["add", "sub", "mul", "truediv", "floordiv", "pow", "gt", "lt", "ge", "le",
          "radd_scalar", "rsub_series"]
UNARY = ["neg", "clip", "fillna", "replace"]

dtypes = st.sampled_from(["float64", "float32", "int64", "bool", "uint8"])


@st.composite
def frames(draw, min_rows=0, max_rows=25):
    n = draw(st.integers(min_rows, max_rows))
    ncols = draw(st.integers(1, 4))
    data = {}
    for j in range(ncols):
        dtype = draw(dtypes)
        if dtype == "bool":
            col = np.array(draw(st.lists(st.booleans(), min_size=n, max_size=n)), dtype=bool)
        elif dtype in ("int64", "uint8"):
            col = np.array(draw(st.lists(st.integers(0, 200), min_size=n, max_size=n)), dtype=dtype)
        else:
            vals = draw(st.lists(st.one_of(st.just(float("nan")),
                                           st.floats(-50, 50, allow_nan=False)),
                                 min_size=n, max_size=n))
            col = np.array(vals, dtype=dtype)
        data[f"c{j}"] = col
    return pd.DataFrame(data)


@st.composite
def programs(draw):
    steps = []
    for _ in range(draw(st.integers(1, 6))):
        kind = draw(st.sampled_from(["binary", "unary", "short_other", "head"]))
        if kind == "binary":
            steps.append(("binary", draw(st.sampled_from(BINARY)), draw(st.integers(0, 9)),
                          draw(st.integers(0, 9))))
        elif kind == "unary":
            steps.append(("unary", draw(st.sampled_from(UNARY)), draw(st.integers(0, 9))))
        elif kind == "short_other":
            steps.append(("short_other", draw(st.integers(0, 9)), draw(st.integers(0, 3)),
                          draw(st.integers(0, 3))))
        else:
            steps.append(("head", draw(st.integers(0, 9)), draw(st.integers(0, 9)),
                          draw(st.integers(0, 5))))
    return steps


def run_program(frame, tracker, steps, protected):
    """Run ``steps`` on a wrapped frame; returns the list of outcomes."""
    f = wrap_dataframe_dag(frame, tracker, "t", protected)
    pool = [f[c] for c in frame.columns]
    outcomes = [frame_state(f)]
    for step in steps:
        try:
            with np.errstate(all="ignore"):
                out = apply_step(pool, step, tracker)
        except Exception as exc:  # both paths must fail alike
            outcomes.append(("error", type(exc).__name__))
            continue
        pool.append(out)
        outcomes.append(series_state(out))
    return outcomes


def apply_step(pool, step, tracker):
    pick = lambda k: pool[k % len(pool)]  # noqa: E731
    if step[0] == "binary":
        _, name, i, j = step
        a, b = pick(i), pick(j)
        if name == "radd_scalar":
            return 3 + a
        if name == "rsub_series":
            return b.__rsub__(a)
        op = {"add": "__add__", "sub": "__sub__", "mul": "__mul__", "truediv": "__truediv__",
              "floordiv": "__floordiv__", "pow": "__pow__", "gt": "__gt__", "lt": "__lt__",
              "ge": "__ge__", "le": "__le__"}[name]
        if name == "pow":  # keep powers small and defined
            a = a.clip(0, 3)
            b = b.clip(0, 2)
        return getattr(a, op)(b)
    if step[0] == "unary":
        _, name, i = step
        s = pick(i)
        if name == "neg":
            return -s  # booleans are inverted
        if name == "clip":
            return s.clip(0, 10)
        if name == "fillna":
            return s.fillna(7)
        return s.replace(1, 100)
    if step[0] == "short_other":
        # An operand whose words and node ids stop after k and k2 positions:
        # numpy broadcasts its single value, the loops read 0 / -1 beyond.
        _, i, k, k2 = step
        s = pick(i)
        if len(s) == 0:
            return s + s
        other = DAGTrackedSeries([1.5], _prov=s._prov[:k].copy(), _tracker=tracker,
                                 _node_ids=s._node_ids[:k2].copy())
        return s + other
    # head: pandas carries the source's full arrays onto the shorter result
    _, i, j, k = step
    return pick(i).head(k) * pick(j).head(k)


@settings(max_examples=60)
@given(frame=frames(), steps=programs(), max_nodes=st.integers(2, 40),
       threshold=st.integers(0, 30), protected=st.sampled_from([False, True, ["c0"], ("c1",)]))
def test_operation_programs_match(frame, steps, max_nodes, threshold, protected):
    bulk, ref = pair(max_nodes=max_nodes, threshold=threshold)
    out_bulk = run_program(frame, bulk, steps, protected)
    out_ref = run_program(frame, ref, steps, protected)
    assert out_bulk == out_ref
    assert tracker_state(bulk) == tracker_state(ref)


@pytest.mark.parametrize("native_eviction", [True, False])
@pytest.mark.parametrize("max_nodes", [5, 11, 13])
def test_eviction_mid_operation_matches(max_nodes, native_eviction, monkeypatch):
    monkeypatch.setattr(dag, "_native_eviction", native_eviction)
    frame = pd.DataFrame({"a": np.arange(30.0), "b": np.arange(30.0) * 2})
    states = []
    for t in pair(max_nodes=max_nodes):
        f = wrap_dataframe_dag(frame, t, "t")
        r = (f["a"] + f["b"]) * f["a"]
        r = -r
        states.append((series_state(r), tracker_state(t)))
    assert states[0] == states[1]
    bulk_state = states[0][1]
    # eviction really happened mid-operation (a store of fewer than ten
    # nodes evicts a tenth rounded down: none) and kept the source nodes
    assert len(bulk_state["nodes"]) <= max(max_nodes, 9)
    assert bulk_state["nodes"][0][0] == 0 and bulk_state["nodes"][1][0] == 1
    assert [k for k, _ in bulk_state["sources"]] == [("t", "a"), ("t", "b")]
    assert bulk_state["next_node_id"] == 2 + 30 * 3


@pytest.mark.parametrize("attr, convert", [
    ("_max_nodes", lambda v: 13.0), ("_max_nodes", float), ("_next_node_id", np.int64),
    ("_nodes", collections.OrderedDict), ("_prov_to_nodes", collections.OrderedDict),
])
def test_store_attributes_of_other_types_match(attr, convert):
    """A store bound or id counter of another number type, or a store or
    index that is another mapping, works in both paths alike (the compiled
    logger handles plain ints and dicts only)."""
    frame = pd.DataFrame({"a": np.arange(30.0), "b": np.arange(30.0) * 2})
    states = []
    for t in pair():
        f = wrap_dataframe_dag(frame, t, "t")
        setattr(t, attr, convert(getattr(t, attr)))
        r = -(f["a"] + f["b"])
        states.append((series_state(r), tracker_state(t)))
    assert states[0] == states[1]
    assert states[0][0][3] == list(range(32, 62))


@pytest.mark.parametrize("threshold", [0, 1, 4, 7, 8, 5000])
@pytest.mark.parametrize("already", [0, 3, 9])
def test_value_buffer_trimming_matches(threshold, already):
    values = np.linspace(0, 1, 23)
    values[[2, 5, 20]] = np.nan
    frame = pd.DataFrame({"a": values, "b": values[::-1].copy()})
    states = []
    for t in pair(threshold=threshold):
        for i in range(already):
            t.record_row_value(i, 1, "pre", float(i))
        f = wrap_dataframe_dag(frame, t, "t")
        r = f["a"] / f["b"]
        states.append((series_state(r), tracker_state(t)))
    assert states[0] == states[1]


# -- wrap_dataframe_dag -----------------------------------------------------

mixed_columns = {
    "i": lambda n, r: r.integers(-5, 5, n),
    "f": lambda n, r: np.where(r.random(n) < 0.3, np.nan, r.normal(size=n)),
    "f32": lambda n, r: np.where(r.random(n) < 0.3, np.nan, r.normal(size=n)).astype(np.float32),
    "b": lambda n, r: r.random(n) < 0.5,
    "s": lambda n, r: pd.array([None if x < 0.2 else f"v{x:.2f}" for x in r.random(n)], dtype="str"),
    "o": lambda n, r: pd.Series([None, 3, "x", 2.5, float("nan")] * n, dtype=object)[:n].to_numpy(),
    "u": lambda n, r: r.integers(0, 2**40, n).astype(np.uint64),
    "dt": lambda n, r: pd.date_range("2024-01-01", periods=n, freq="h").to_numpy(),
    "frac": lambda n, r: np.array([Fraction(int(k), 3) for k in r.integers(1, 9, n)], dtype=object),
}

indexes = {
    "range": lambda n: pd.RangeIndex(n),
    "shifted": lambda n: pd.RangeIndex(-n, 2 * n, 3)[:n] if n else pd.RangeIndex(0),
    "neg_int": lambda n: pd.Index(np.arange(n, dtype=np.int64) * -7919 - 1),
    "text": lambda n: pd.Index([f"row{i}" for i in range(n)]),
    "float": lambda n: pd.Index(np.arange(n) + 0.5),
    "uint": lambda n: pd.Index(np.arange(n, dtype=np.uint64) + 2**63),
}


@settings(max_examples=60)
@given(cols=st.lists(st.sampled_from(sorted(mixed_columns)), min_size=1, max_size=4, unique=True),
       n=st.integers(0, 30), index=st.sampled_from(sorted(indexes)), seed=st.integers(0, 1000),
       include_entity=st.booleans(), threshold=st.sampled_from([3, 10, 17, 5000]),
       protected=st.sampled_from([False, True, "i", frozenset(), ["f", "s"], ("b",)]))
def test_wrap_matches(cols, n, index, seed, include_entity, threshold, protected):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({c: mixed_columns[c](n, rng) for c in cols}, index=indexes[index](n))
    states = []
    for t in pair(threshold=threshold):
        f = wrap_dataframe_dag(frame, t, "people", protected, include_entity)
        states.append((frame_state(f), tracker_state(t), type(f).__name__))
    assert states[0] == states[1]


def test_wrap_with_integer_column_labels_and_a_second_wrap_matches():
    frame = pd.DataFrame(np.arange(12.0).reshape(4, 3))
    states = []
    for t in pair(threshold=5):
        first = wrap_dataframe_dag(frame, t, "t", [1])
        again = wrap_dataframe_dag(frame * 2, t, "t")  # same pairs: same source nodes
        states.append((frame_state(first), frame_state(again), tracker_state(t)))
    assert states[0] == states[1]
    assert states[0][1][1] == states[0][0][1]


def test_wrap_failure_midway_leaves_the_same_state():
    """An empty column name fails at its source node; the earlier columns'
    registrations, source nodes and row values stay in both paths."""
    frame = pd.DataFrame({"a": [1.0, 2.0], "": [3.0, 4.0], "c": [5.0, 6.0]})
    states = []
    for t in pair():
        with pytest.raises(ValueError, match="non-empty"):
            wrap_dataframe_dag(frame, t, "t")
        states.append(tracker_state(t))
    assert states[0] == states[1]
    assert len(states[0]["buffer"]) == 2 and len(states[0]["nodes"]) == 1


@pytest.mark.parametrize("labels, recorded", [([1, 2, {}], 2), ([1, [1], 2], 1), ([{}, 1, 2], 0)])
def test_wrap_failing_at_an_unhashable_row_label_leaves_the_same_state(labels, recorded):
    """A row label that cannot be hashed fails at its first cell: the first
    column's source node and the cells before it stay in both paths."""
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0]},
                         index=pd.Index(labels, dtype=object))
    states = []
    for t in pair():
        with pytest.raises(TypeError):
            wrap_dataframe_dag(frame, t, "t")
        states.append(tracker_state(t))
    assert states[0] == states[1]
    assert len(states[0]["buffer"]) == recorded
    assert len(states[0]["nodes"]) == (1 if recorded else 0)


# -- when the compiled path must step aside ------------------------------------

class CountingTracker(DAGTracker):
    def __init__(self):
        super().__init__()
        self.binary_calls = 0

    def log_binary(self, *args, **kwargs):
        self.binary_calls += 1
        return super().log_binary(*args, **kwargs)


def test_overriding_subclass_sees_every_call():
    t = CountingTracker()
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(50.0), "b": np.ones(50)}), t, "t")
    f["a"] - f["b"]
    assert t.binary_calls == 50


class PipelineCountingTracker(DAGTracker):
    """Starts no pipeline and so stays synced: every source-node lookup
    asks for a new one."""

    def __init__(self):
        super().__init__()
        self.new_pipelines = 0

    def _start_new_pipeline(self):
        self.new_pipelines += 1


def test_wrap_asks_an_overriding_tracker_for_a_pipeline_per_cell():
    t = PipelineCountingTracker()
    t._dashboard_synced = True
    wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0]}), t, "t")
    assert t.new_pipelines == 6


@pytest.mark.parametrize("method", ["combine", "log_binary", "record_row_value", "is_tainted",
                                    "_create_node"])
def test_method_replaced_on_instance_is_called(method):
    t = DAGTracker()
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0]}), t, "t")
    calls = []
    real = getattr(t, method)

    def spy(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    setattr(t, method, spy)
    f["a"] * f["b"]
    assert len(calls) == 3


def test_method_patched_on_the_class_is_called(monkeypatch):
    calls = []
    real = DAGTracker.update_chain

    def spy(self, *args):
        calls.append(args)
        return real(self, *args)

    t = DAGTracker()
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, -2.0]}), t, "t")
    monkeypatch.setattr(DAGTracker, "update_chain", spy)
    f["a"].clip(0, 1)
    assert len(calls) == 2


class FakeWriter:
    def __init__(self):
        self.nodes, self.edges, self.rows = [], [], []

    def write_node(self, node):
        self.nodes.append(node)

    def write_edges(self, edges):
        self.edges.extend(edges)

    def write_row_values(self, rows):
        self.rows.extend(rows)


def test_live_persistence_hands_every_node_over_in_order():
    t = DAGTracker()
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(6.0), "b": np.arange(6.0)}), t, "t")
    t._writer = writer = FakeWriter()
    r = f["a"] + f["b"]
    assert [n.fingerprint for n in writer.nodes] == [t.get_node(i).provenance for i in r._node_ids]
    assert [n.operation for n in writer.nodes] == ["add"] * 6
    assert len(writer.edges) == 12
    t._writer = None


@pytest.mark.parametrize("native_eviction", [True, False])
def test_eviction_with_shared_words_and_sources_in_index_lists(native_eviction, monkeypatch):
    """Words shared by many nodes (index lists with many ids, some of them
    source nodes with the same word) are trimmed alike on both paths."""
    monkeypatch.setattr(dag, "_native_eviction", native_eviction)
    frame = pd.DataFrame({"a": np.zeros(40), "b": np.zeros(40)})
    states = []
    for t in pair(max_nodes=25):
        f = wrap_dataframe_dag(frame, t, "t", include_entity=False)  # one word per column
        s = f["a"].clip(0, 1)
        t.create_source_node("late", "src", int(s._prov[0]))  # a source in a shared list
        r = s.clip(0, 1) + f["b"]
        r = r.clip(0, 1)
        states.append((series_state(r), tracker_state(t)))
    assert states[0] == states[1]
    index = dict(states[0][1]["index"])
    assert any(len(ids) > 5 for ids in index.values())


class _MeddlingRecord:
    """A stored record standing in for a node, whose word, when read, drops
    that word's entry from the tracker's provenance index (and, optionally,
    itself from the store)."""

    def __init__(self, tracker, node, drop_self):
        self._tracker, self._node, self._drop_self = tracker, node, drop_self
        self.node_type = node.node_type

    @property
    def provenance(self):
        self._tracker._prov_to_nodes.pop(self._node.provenance, None)
        if self._drop_self:
            self._tracker._nodes.pop(self._node.node_id, None)
        return self._node.provenance

    def __eq__(self, other):
        return isinstance(other, _MeddlingRecord) and self._node == other._node


@pytest.mark.parametrize("max_nodes", [500000, 14])
@pytest.mark.parametrize("drop_self", [False, True])
def test_stored_records_that_change_the_store_when_read(max_nodes, drop_self):
    """Reading a stored record may run code that drops the index list or the
    record the compiled logger is working with; it must keep them alive
    instead of writing into freed objects.  (Equality with the reference
    path is not asked: the logger reads a repeated word's first record once
    per run of that word, the loop once per node.)"""
    t = DAGTracker()
    t._max_nodes = max_nodes
    frame = pd.DataFrame({"a": np.arange(6.0), "b": np.arange(6.0)})
    f = wrap_dataframe_dag(frame, t, "t", include_entity=False)  # one word per column
    first = -f["a"]
    victim = int(first._node_ids[0])
    t._nodes[victim] = _MeddlingRecord(t, t._nodes[victim], drop_self)
    again = -f["a"]
    start = 2 + len(first)
    assert again._node_ids.tolist() == list(range(start, start + len(again)))
    stored = [t._nodes[i] for i in again._node_ids if i in t._nodes]
    assert stored, "the last nodes logged are never evicted"
    assert all(node.inputs == [0] and node.operation == "neg" for node in stored)
    assert all(i in t._nodes for ids in t._prov_to_nodes.values() for i in ids)


@pytest.mark.parametrize("threshold", [4, 5000])
@pytest.mark.parametrize("case", ["text", "object", "nullable", "datetime", "huge_ints"])
def test_non_numeric_results_match(case, threshold):
    """Results whose elements are not plain numbers (text, objects, missing
    markers, timestamps, ints too large for a float) take the element-wise
    recorder or the generic record builder; both paths agree."""
    columns = {
        "text": {"a": pd.array(["x", None, "z", "w"], dtype="str"), "b": pd.array(["1", "2", None, "4"], dtype="str")},
        "object": {"a": np.array([1, "p", None, 2.5], dtype=object), "b": np.array([2, "q", 3, float("nan")], dtype=object)},
        "nullable": {"a": pd.array([1, None, 3, 4], dtype="Int64"), "b": pd.array([5, 6, None, 8], dtype="Int64")},
        "datetime": {"a": pd.date_range("2024-01-01", periods=4), "b": pd.date_range("2023-01-01", periods=4)},
        # Object series: pandas 2's frame constructor converts object arrays
        # of ints to floats and overflows on 10**400.
        "huge_ints": {"a": pd.Series([10**400, 1, 2, 3], dtype=object),
                      "b": pd.Series([1, 1, 1, 1], dtype=object)},
    }[case]
    if case == "huge_ints":  # the operations really see the huge int
        assert pd.DataFrame(columns)["a"].tolist()[0] == 10**400
    states = []
    for t in pair(threshold=threshold):
        f = wrap_dataframe_dag(pd.DataFrame(columns), t, "t")
        out = []
        for op in ("add", "sub", "replace", "fillna"):
            try:
                if op == "add":
                    r = f["a"] + f["b"]
                elif op == "sub":
                    r = f["a"] - f["b"]
                elif op == "replace":
                    r = f["a"].replace(1, 7)
                else:
                    # a fill value of the column's own kind (pandas deprecates
                    # filling a text column with a number)
                    r = f["b"].fillna("0" if case == "text" else 0)
                out.append((op, [str(v) for v in r.tolist()], r._prov.tolist(), r._node_ids.tolist()))
            except Exception as exc:
                out.append((op, type(exc).__name__))
        states.append((out, tracker_state(t)))
    assert states[0] == states[1]


def test_concurrent_bulk_operations_keep_the_store_consistent():
    """Bulk logging holds the node lock for a whole operation: operations on
    several threads (and single nodes logged meanwhile) get distinct ids and
    leave every index entry pointing at a stored node."""
    import threading

    t = DAGTracker()
    t._max_nodes = 3000
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(2000.0), "b": np.ones(2000)}), t, "t")
    results, errors = [], []
    start = threading.Barrier(4)

    def work(k):
        try:
            start.wait()
            for _ in range(3):
                results.append((f["a"] * f["b"])._node_ids if k % 2 else (-f["a"])._node_ids)
                if k == 3:
                    results.append(np.array([t.log_unary("single", 0, 0) for _ in range(50)]))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []
    ids = np.concatenate(results)
    assert len(np.unique(ids)) == len(ids) == 4 * 3 * 2000 + 3 * 50
    assert t._next_node_id == 2 + len(ids)
    stored = set(t._nodes)
    assert all(i in stored for lst in t._prov_to_nodes.values() for i in lst)
    assert sum(len(lst) for lst in t._prov_to_nodes.values()) == len(stored)
    assert all(k == n.node_id for k, n in t._nodes.items())
    assert list(t._nodes) == sorted(t._nodes)  # store order is creation order


@pytest.mark.parametrize("out", [np.zeros(3, dtype=np.int32), np.zeros(6, dtype=np.int64)[::2],
                                 np.zeros(3, dtype=np.float64)],
                         ids=["int32", "strided", "float64"])
def test_native_logger_refuses_an_output_it_cannot_write_in_place(out):
    """Node ids go into ``out`` in place: an array that would need a
    converted copy is refused before any node is logged, not filled in a
    copy that the caller never sees."""
    from morvel import _lineage

    t = DAGTracker()
    with pytest.raises(TypeError):
        _lineage.log_nodes(t._store, dag.DAGNode, dag.NodeType.UNARY, "x",
                           np.array([1, 2, 3], dtype=np.uint32),
                           np.zeros(3, dtype=np.int64), None, out)
    assert t._next_node_id == 0 and not t._nodes


@pytest.mark.parametrize("attr", ["_nodes", "_prov_to_nodes"])
def test_native_logger_refuses_a_store_that_is_not_a_plain_dict(attr):
    from morvel import _lineage

    t = DAGTracker()
    setattr(t, attr, collections.OrderedDict())
    out = np.zeros(2, dtype=np.int64)
    with pytest.raises(TypeError, match=attr):
        _lineage.log_nodes(t._store, dag.DAGNode, dag.NodeType.UNARY, "x",
                           np.array([1, 2], dtype=np.uint32), np.zeros(2, dtype=np.int64), None, out)
    assert t._next_node_id == 0 and not t._nodes and not t._prov_to_nodes


class _EmptyingEntry:
    """An index entry whose hash, when taken, empties the list it sits in."""

    def __init__(self, entries):
        self._entries = entries

    def __hash__(self):
        del self._entries[:]
        return 12345

    def __eq__(self, other):
        return isinstance(other, _EmptyingEntry)


@pytest.mark.parametrize("native_eviction", [True, False])
def test_eviction_over_an_index_list_that_changes_while_read(native_eviction, monkeypatch):
    """An index list that empties itself while eviction reads it ends the
    scan there, as list iteration does, instead of reading past its end."""
    monkeypatch.setattr(dag, "_native_eviction", native_eviction)
    frame = pd.DataFrame({"a": np.arange(20.0)})
    states = []
    for t in pair(max_nodes=30):
        f = wrap_dataframe_dag(frame, t, "t", include_entity=False)  # one word per column
        first = -f["a"]
        entries = t._prov_to_nodes[int(first._prov[0])]
        entries.append(_EmptyingEntry(entries))
        again = -f["a"]  # passes the bound: a tenth of the store goes, several of that word
        states.append((series_state(again), tracker_state(t)))
    assert states[0] == states[1]
    assert states[0][1]["next_node_id"] == 41


# -- live persistence: the bulk path's writer calls --------------------------

import copy  # noqa: E402


class RecordingWriter:
    """Records every call with deep copies of its records, in order.  With
    ``refuse_every`` k > 0, every k-th row-value hand-over is refused."""

    def __init__(self, refuse_every=0, refuse_nodes=False):
        self.calls = []
        self.refuse_every = refuse_every
        self.refuse_nodes = refuse_nodes
        self.row_batches = 0

    def write_node(self, node):
        self.calls.append(("node", _record_key(copy.deepcopy(node))))
        if self.refuse_nodes and len(self.calls) % 3 == 0:
            raise RuntimeError("node refused")

    def write_edges(self, edges):
        self.calls.append(("edges", [_record_key(e) for e in copy.deepcopy(edges)]))
        if self.refuse_nodes and len(self.calls) % 2 == 0:
            raise RuntimeError("edges refused")

    def write_row_values(self, rows):
        self.row_batches += 1
        refused = bool(self.refuse_every) and self.row_batches % self.refuse_every == 0
        self.calls.append(("rows", refused, [_record_key(r) for r in copy.deepcopy(rows)]))
        if refused:
            raise RuntimeError("queue full")


def live_pair(max_nodes=None, threshold=None, refuse_every=0):
    trackers = pair(max_nodes=max_nodes, threshold=threshold)
    for t in trackers:
        t._writer = RecordingWriter(refuse_every)
        t._pipeline_id = 41
        t._tenant_id = "acme"
    return trackers


def live_state(t):
    return tracker_state(t), t._writer.calls


def test_live_tracker_takes_the_bulk_path_with_persisting(monkeypatch):
    """The live differential tests only mean something if the stock tracker
    with a writer really takes the compiled path, handing nodes over."""
    calls = []
    real = dag._lineage.log_nodes

    def spy(*args):
        calls.append((args[3], args[-1] is not None))  # persisting hook given
        return real(*args)

    monkeypatch.setattr(dag._lineage, "log_nodes", spy)
    frame = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [3.0, 4.0, 5.0]})
    for tracker in live_pair(threshold=2):
        f = wrap_dataframe_dag(frame, tracker, "t")
        _ = f["a"] + f["b"]
        _ = -f["a"]
    # threshold 2: runs end at the elements whose records reach it
    assert calls == [("add", True), ("add", True), ("neg", True), ("neg", True)]


@settings(max_examples=60)
@given(frame=frames(), steps=programs(), max_nodes=st.integers(2, 40),
       threshold=st.integers(0, 30), protected=st.sampled_from([False, True, ["c0"]]),
       refuse_every=st.sampled_from([0, 1, 2, 3]))
def test_live_operation_programs_match(frame, steps, max_nodes, threshold, protected, refuse_every):
    bulk, ref = live_pair(max_nodes=max_nodes, threshold=threshold, refuse_every=refuse_every)
    out_bulk = run_program(frame, bulk, steps, protected)
    out_ref = run_program(frame, ref, steps, protected)
    assert out_bulk == out_ref
    assert live_state(bulk) == live_state(ref)


@pytest.mark.parametrize("native_eviction", [True, False])
@pytest.mark.parametrize("max_nodes, threshold", [(11, 7), (13, 7), (40, 5000), (7, 1)])
def test_live_eviction_and_hand_overs_mid_operation_match(max_nodes, threshold, native_eviction,
                                                          monkeypatch):
    monkeypatch.setattr(dag, "_native_eviction", native_eviction)
    values = np.arange(30.0)
    values[[3, 8, 9, 21]] = np.nan
    frame = pd.DataFrame({"a": values, "b": np.arange(30.0) * 2})
    states = []
    for t in live_pair(max_nodes=max_nodes, threshold=threshold):
        f = wrap_dataframe_dag(frame, t, "t", ["b"])
        r = -((f["a"] + f["b"]) * f["a"])
        states.append((series_state(r), live_state(t)))
    assert states[0] == states[1]
    calls = states[0][1][1]
    kinds = [c[0] for c in calls]
    assert kinds.count("node") == 2 + 30 * 3
    if max_nodes < 40:
        # eviction crossed: some binary nodes lost a parent before persisting,
        # so fewer edge pairs went out than two per binary node
        edges = sum(len(c[1]) for c in calls if c[0] == "edges")
        assert edges < 2 * 30 * 2 + 30
    if threshold == 7:
        # hand-overs fall between node persists of one operation
        first_rows = kinds.index("rows")
        assert "node" in kinds[first_rows:] and all(len(c[2]) == 7 for c in calls if c[0] == "rows")


def test_live_broadcast_and_short_operands_match():
    frame = pd.DataFrame({"a": [1.0, np.nan, 3.0, 4.0, 5.0], "b": [2.0, 2.0, np.nan, 1.0, 0.5]})
    states = []
    for t in live_pair(threshold=3):
        f = wrap_dataframe_dag(frame, t, "t")
        other = DAGTrackedSeries([1.5], _prov=f["b"]._prov[:2].copy(), _tracker=t,
                                 _node_ids=f["b"]._node_ids[:3].copy())
        outs = [f["a"] + other, f["a"].head(2) * f["b"].head(2), 3 + f["a"], f["a"].fillna(0)]
        states.append(([series_state(s) for s in outs], live_state(t)))
    assert states[0] == states[1]


@pytest.mark.parametrize("fail_at", [0, 1, 5, 6, 13])
@pytest.mark.parametrize("threshold", [4, 5000])
def test_live_persist_failure_stops_both_paths_alike(fail_at, threshold):
    """An error raised by an unguarded step of _persist_node (reading the
    node's word) propagates; earlier nodes and their row values stay."""
    frame = pd.DataFrame({"a": np.arange(8.0), "b": np.arange(8.0) + 1})
    states = []
    for t in live_pair(threshold=threshold):
        f = wrap_dataframe_dag(frame, t, "t")
        seen = []
        real = t.decode_full

        def decode_full(word, real=real, seen=seen):
            seen.append(word)
            if len(seen) == fail_at + 1:
                raise OverflowError("bad word")
            return real(word)

        t.decode_full = decode_full  # counts from the first operation's node on
        with pytest.raises(OverflowError, match="bad word"):
            _ = f["a"] * f["b"]
            _ = -f["a"]
        states.append(live_state(t))
    assert states[0] == states[1]
    assert states[0][0]["next_node_id"] == 2 + fail_at + 1


@settings(max_examples=50)
@given(cols=st.lists(st.sampled_from(sorted(mixed_columns)), min_size=1, max_size=4, unique=True),
       n=st.integers(0, 30), index=st.sampled_from(sorted(indexes)), seed=st.integers(0, 1000),
       include_entity=st.booleans(), threshold=st.sampled_from([3, 7, 10, 5000]),
       protected=st.sampled_from([False, True, ["f", "s"]]), refuse_every=st.sampled_from([0, 2]))
def test_live_wrap_matches(cols, n, index, seed, include_entity, threshold, protected, refuse_every):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({c: mixed_columns[c](n, rng) for c in cols}, index=indexes[index](n))
    states = []
    for t in live_pair(threshold=threshold, refuse_every=refuse_every):
        f = wrap_dataframe_dag(frame, t, "people", protected, include_entity)
        states.append((frame_state(f), live_state(t)))
    assert states[0] == states[1]


def test_live_non_numeric_results_match():
    frame = pd.DataFrame({"a": pd.array(["x", None, "yz", "w"], dtype="str"),
                          "b": pd.array(["1", "2", None, "4"], dtype="str")})
    states = []
    for t in live_pair(threshold=3):
        f = wrap_dataframe_dag(frame, t, "t")
        outs = [f["a"] + f["b"], f["a"].fillna("?"), f["b"].replace("2", "two")]
        states.append(([series_state(s) for s in outs], live_state(t)))
    assert states[0] == states[1]


def test_live_pipeline_against_the_lineage_service_stores_the_same(tmp_path):
    """End to end: the same pipeline, bulk and reference, each into its own
    pipeline of a real lineage service; the stored rows are the same."""
    import os
    import re
    import sqlite3
    import subprocess
    import sys

    import morvel

    key = "bulk-live-key"
    src = os.path.dirname(os.path.dirname(os.path.abspath(morvel.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [src, env.get("PYTHONPATH")]))
    db = str(tmp_path / "lineage.db")
    proc = subprocess.Popen(
        [sys.executable, "-m", "morvel.utilities.persistence.service", "--db", db, "--port", "0",
         "--api-key", key],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    try:
        match = re.search(r"listening on (http://127\.0\.0\.1:\d+)", proc.stdout.readline())
        assert match, "the lineage service did not start"
        rng = np.random.default_rng(5)
        frame = pd.DataFrame({"income": rng.normal(50, 10, 300).round(1),
                              "age": rng.integers(18, 80, 300)})
        frame.loc[[4, 77], "income"] = np.nan
        pipelines = []
        for cls in (DAGTracker, RefTracker):
            t = cls(api_key=key, service_url=match.group(1), pipeline_name=cls.__name__)
            assert t._writer is not None
            t._value_flush_threshold = 7
            t._max_nodes = 500
            f = wrap_dataframe_dag(frame, t, "people", ["age"])
            _ = -((f["income"] / f["age"]).fillna(0) - f["age"])
            pipelines.append(t._pipeline_id)
            assert t.flush(timeout=120.0)
            t.disable_persistence()
    finally:
        proc.terminate()
        proc.wait(timeout=30)
        proc.stdout.close()

    def stored(pipeline_id):
        with sqlite3.connect(db) as conn:
            nodes = conn.execute(
                "SELECT fingerprint, node_type, operation, table_name, column_name, pair_id, "
                "is_protected, entity_hash, chain_hash, metadata FROM nodes WHERE pipeline_id = ? "
                "ORDER BY id", (pipeline_id,)).fetchall()
            edges = conn.execute(
                "SELECT p.fingerprint, c.fingerprint, e.position FROM edges e "
                "JOIN nodes p ON p.id = e.parent_id JOIN nodes c ON c.id = e.child_id "
                "WHERE e.pipeline_id = ? ORDER BY e.id", (pipeline_id,)).fetchall()
            rows = conn.execute(
                "SELECT row_index, fingerprint, node_operation, value, column_name, tenant_id, "
                "text_value FROM row_values WHERE pipeline_id = ? ORDER BY id",
                (pipeline_id,)).fetchall()
        return nodes, edges, rows

    bulk, ref = stored(pipelines[0]), stored(pipelines[1])
    assert bulk == ref
    nodes, edges, rows = bulk
    # words repeat across rows and the service keeps one node per word; every
    # value the steps offered (NaNs are not) is stored
    assert {n[1] for n in nodes} == {"SOURCE", "BINARY", "UNARY"} and edges
    assert len(rows) == 2 * 300 - 2 + 300 - 2 + 300 + 300 + 300


def test_live_writer_refusing_nodes_and_edges_matches(caplog):
    """A writer refusing some nodes and edges: _persist_node logs and goes
    on in both paths alike."""
    frame = pd.DataFrame({"a": np.arange(10.0), "b": np.arange(10.0) + 1})
    states = []
    for t in live_pair(threshold=4):
        t._writer.refuse_nodes = True
        f = wrap_dataframe_dag(frame, t, "t")
        r = -(f["a"] * f["b"])
        states.append((series_state(r), live_state(t)))
    assert states[0] == states[1]
    assert "Failed to persist DAG node" in caplog.text
