"""DAGTracker: node store, indexes, eviction, graph rebuilding, row-value buffer."""
from __future__ import annotations

import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.utilities.vortel32 import ProvenanceTracker
from morvel.utilities.vortel32_dag import ComputationDAG, DAGTracker, NodeType

TAINT = 1 << 29


@pytest.fixture
def t():
    return DAGTracker()


def edges_of(g):
    return [(e.source_id, e.target_id, e.input_index) for e in g.edges]


def check_invariants(t):
    for prov, ids in t._prov_to_nodes.items():
        assert ids, "empty id lists are removed"
        assert ids == sorted(ids)
        for i in ids:
            assert t._nodes[i].provenance == prov
    for nid, node in t._nodes.items():
        assert node.node_id == nid
        assert t._prov_to_nodes[node.provenance].count(nid) == 1
    for key, nid in t._source_nodes.items():
        assert t._nodes[nid].is_source and (t._nodes[nid].table, t._nodes[nid].column) == key
    assert all(nid < t._next_node_id for nid in t._nodes)


# -- construction ------------------------------------------------------------


def test_constructor_attributes_in_order(t):
    base = list(vars(ProvenanceTracker()))
    assert list(vars(t)) == base + [
        "_dag_lock", "_store", "_value_buffer", "_value_buffer_lock",
        "_value_flush_threshold", "_nodes_persisted", "_source_nodes", "_writer", "_storage", "_pipeline_id", "_pipeline_name", "_api_key",
        "_tenant_id", "_service_url", "_dashboard_synced", "_pipeline_failed", "_nodes_written",
        "_edges_written",
    ]
    assert type(t._nodes) is dict and type(t._value_buffer) is list and type(t._prov_to_nodes) is dict
    assert (t._next_node_id, t._max_nodes, t._value_flush_threshold) == (0, 500000, 5000)
    assert (t._writer, t._storage, t._pipeline_id, t._dashboard_synced) == (None, None, None, False)
    lock = t._dag_lock
    assert lock.acquire(blocking=False)
    assert not lock.acquire(blocking=False), "the lock must not be re-entrant"
    lock.release()


@pytest.mark.parametrize(
    "kwargs, name",
    [
        (dict(service_url=None), "service_url"),
        (dict(api_key=5), "api_key"),
        (dict(tenant_id=b"x"), "tenant_id"),
        (dict(pipeline_name=["p"]), "pipeline_name"),
    ],
)
def test_constructor_type_errors(kwargs, name):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        DAGTracker(**kwargs)


def test_empty_api_key_stays_in_memory(recwarn):
    t = DAGTracker(api_key="", service_url="http://127.0.0.1:9")
    assert t._writer is None and t._storage is None and not recwarn.list


# -- node creation -----------------------------------------------------------


def test_first_ids_and_source_dedup(t):
    p1, p2 = t.encode({t.register("people", "age")}, entity=1), 12345
    s = t.create_source_node("people", "age", p1)
    assert s == 0 and t.log_unary("neg", s, 7) == 1
    assert t.create_source_node("people", "age", p2) == 0
    assert t.get_node(0).provenance == p1 and len(t._nodes) == 2
    node = t.get_node(0)
    assert (node.operation, node.table, node.column, node.pair_id, node.inputs) == (
        "people.age", "people", "age", 0, [])


@pytest.mark.parametrize("table, column", [("", "age"), ("people", "")])
def test_empty_source_names(t, table, column):
    with pytest.raises(ValueError, match="^table and column must be non-empty strings$"):
        t.create_source_node(table, column, 1)
    assert t._nodes == {} and t._next_node_id == 0


def test_source_node_protection_from_registry(t):
    t.register("people", "race", protected=True)
    nid = t.create_source_node("people", "race", 0)
    assert t.get_node(nid).is_protected and t.get_node(nid).pair_id == 0
    other = t.create_source_node("people", "zip", 0)
    assert not t.get_node(other).is_protected and t.get_node(other).pair_id is None


@pytest.mark.parametrize(
    "call, name, expected",
    [
        (lambda t: t.create_source_node(b"t", "c", 0), "table", "str"),
        (lambda t: t.create_source_node("t", None, 0), "column", "str"),
        (lambda t: t.create_source_node("t", "c", "0"), "provenance", "int"),
        (lambda t: t.log_unary(1, 0, 0), "op_name", "str"),
        (lambda t: t.log_unary("neg", "0", 0), "input_node", "int"),
        (lambda t: t.log_unary("neg", 0, None), "result_prov", "int"),
        (lambda t: t.log_unary("neg", 0, 0, metadata=[]), "metadata", "dict"),
        (lambda t: t.log_binary("add", 0, [1], 0), "right_node", "int"),
        (lambda t: t.log_binary("add", 0, 1, 0, metadata="m"), "metadata", "dict"),
        (lambda t: t.log_merge((1,), [2], 0), "left_nodes", "list"),
        (lambda t: t.log_merge([1], [2], 0, merge_type=None), "merge_type", "str"),
        (lambda t: t.log_aggregate("sum", {1, 2}, 0), "input_nodes", "list"),
        (lambda t: t._create_node(3, "x", [], 0), "node_type", "NodeType"),
        (lambda t: t._create_node(NodeType.UNARY, "x", (1,), 0), "inputs", "list"),
        (lambda t: t.get_node("1"), "node_id", "int"),
        (lambda t: t.get_dag(None), "root_node_id", "int"),
        (lambda t: t.get_nodes_for_provenance("x"), "provenance", "int"),
    ],
)
def test_argument_type_errors(t, call, name, expected):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected {expected}, got "):
        call(t)
    assert t._next_node_id == 0 and t._nodes == {}


def test_subclassed_containers_are_rejected(t):
    class MyList(list):
        pass

    with pytest.raises(TypeError):
        t.log_aggregate("sum", MyList([1]), 0)


def test_integer_arguments_are_converted(t):
    np = pytest.importorskip("numpy")
    nid = t.log_binary("add", np.int64(4), 2.9, np.uint32(3_000_000_000))
    node = t.get_node(nid)
    assert node.inputs == [4, 2] and node.provenance == 3_000_000_000
    assert all(type(v) is int for v in node.inputs + [node.provenance])
    assert t.get_nodes_for_provenance(np.uint32(3_000_000_000)) == [node]


def test_log_operations_shape_nodes(t):
    u = t.log_unary("neg", 0, 5)
    b = t.log_binary("add", 1, 2, 6, metadata={"k": 1})
    m = t.log_merge([1, 2], [3], 7)
    inputs = [0, 1]
    a = t.log_aggregate("sum", inputs, 8)
    nodes = [t.get_node(i) for i in (u, b, m, a)]
    assert [n.node_type for n in nodes] == [NodeType.UNARY, NodeType.BINARY, NodeType.MERGE, NodeType.AGGREGATE]
    assert [n.inputs for n in nodes] == [[0], [1, 2], [1, 2, 3], [0, 1]]
    assert nodes[1].metadata == {"k": 1}
    assert nodes[2].operation == "merge_inner" and nodes[2].metadata == {"merge_type": "inner"}
    assert nodes[3].inputs is inputs


def test_merge_metadata_caller_wins(t):
    left, right = [1, 2], [3]
    nid = t.log_merge(left, right, 0, metadata={"merge_type": "left", "why": "join"})
    node = t.get_node(nid)
    assert node.metadata == {"merge_type": "left", "why": "join"} and node.operation == "merge_inner"
    assert node.inputs == [1, 2, 3] and node.inputs is not left and left == [1, 2]


def test_empty_metadata_is_not_stored(t):
    mine = {}
    node = t.get_node(t.log_unary("neg", 0, 0, metadata=mine))
    assert node.metadata == {} and node.metadata is not mine
    node2 = t.get_node(t.log_unary("neg", 0, 0))
    assert node2.metadata is not node.metadata


def test_taint_marks_nodes_protected(t):
    tainted = t.get_node(t.log_unary("neg", 0, TAINT | 5))
    clean = t.get_node(t.log_unary("neg", 0, 5))
    assert tainted.is_protected and not clean.is_protected


def test_taint_of_zero_word_is_never_tested(t):
    calls = []

    def spy(p):
        calls.append(p)
        return True

    t.is_tainted = spy
    assert not t.get_node(t.log_unary("neg", 0, 0)).is_protected
    assert calls == []
    assert t.get_node(t.log_unary("neg", 0, 1)).is_protected and calls == [1]


def test_failed_creation_keeps_the_id_taken(t):
    with pytest.raises(TypeError):
        t._create_node(NodeType.UNARY, "x", [], 0, colour="red")
    with pytest.raises(TypeError):
        t._create_node(NodeType.UNARY, "x", [], 0, node_id=9)
    assert t._next_node_id == 2 and t._nodes == {}
    assert t.log_unary("neg", 0, 0) == 2  # lock released, ids not reused


def test_exception_in_persist_hook_propagates_after_store(t):
    class Boom(Exception):
        pass

    def persist(node):
        raise Boom

    t._writer = object()
    t._persist_node = persist
    with pytest.raises(Boom):
        t.log_unary("neg", 0, 3)
    t._writer = None
    assert 0 in t._nodes and t._prov_to_nodes == {3: [0]}
    assert t.log_unary("neg", 0, 3) == 1


# -- eviction ----------------------------------------------------------------


def test_eviction_skips_oldest_source(t):
    t._max_nodes = 10
    t.create_source_node("t", "a", 1)
    for i in range(9):
        t.log_unary("neg", 0, 100 + i)
    assert len(t._nodes) == 10
    t.log_unary("neg", 0, 200)
    assert list(t._nodes) == [0] + list(range(2, 11))
    assert 100 not in t._prov_to_nodes
    check_invariants(t)


def test_eviction_counts_only_non_sources(t):
    t._max_nodes = 14
    for i in range(7):
        t.create_source_node("t", f"c{i}", i)
    t.log_unary("neg", 0, 50)
    for i in range(7, 14):
        t.create_source_node("t", f"c{i}", i)
    # Creating the 15th node pushed the store past 14: one node (a tenth) went, the only non-source.
    assert len(t._nodes) == 14 and 7 not in t._nodes
    assert all(n.is_source for n in t._nodes.values())


def test_eviction_then_ids_keep_growing_and_inputs_may_dangle(t):
    t._max_nodes = 20
    s = t.create_source_node("t", "a", 1)
    prev = s
    for i in range(40):
        prev = t.log_binary("add", prev, s, 1000 + i % 3)
    assert t._next_node_id == 41 and len(t._nodes) <= 20
    check_invariants(t)
    g = t.get_dag(prev)
    missing = [e.source_id for e in g.edges if e.source_id not in g.nodes]
    assert missing, "the chain runs into evicted nodes"
    assert all(e.source_id in t._nodes or e.source_id not in g.nodes for e in g.edges)


def test_eviction_of_many_nodes_sharing_a_word(t):
    t._max_nodes = 40
    s = t.create_source_node("t", "a", 7)
    for _ in range(40):
        t.log_unary("neg", s, 7)
    # 42 nodes > 40: four evicted (ids 1-4); the shared list loses exactly those.
    assert list(t._nodes) == [0] + list(range(5, 41))
    assert t._prov_to_nodes == {7: [0] + list(range(5, 41))}


def reference_store(ops, max_nodes):
    """The store's documented behaviour, straightforwardly: nodes in creation
    order, a tenth evicted (oldest non-source first) when past capacity."""
    nodes, index, sources, next_id = {}, {}, {}, 0
    for kind, key, prov in ops:
        if kind == "source":
            if key in sources:
                continue
            sources[key] = next_id
        nodes[next_id] = (kind, prov)
        index.setdefault(prov, []).append(next_id)
        next_id += 1
        if len(nodes) > max_nodes:
            count, evicted = len(nodes) // 10, 0
            for nid in list(nodes):
                if evicted >= count:
                    break
                if nodes[nid][0] == "source":
                    continue
                prov_n = nodes.pop(nid)[1]
                index[prov_n].remove(nid)
                if not index[prov_n]:
                    del index[prov_n]
                evicted += 1
    return list(nodes), index


ops_strategy = st.lists(
    st.tuples(st.sampled_from(["source", "step", "step", "step"]), st.integers(0, 5), st.integers(0, 4)),
    min_size=20,
    max_size=150,
)


@given(ops_strategy, st.integers(1, 30))
def test_store_matches_reference_model(ops, max_nodes):
    t = DAGTracker()
    t._max_nodes = max_nodes
    for kind, key, prov in ops:
        if kind == "source":
            t.create_source_node("t", f"c{key}", prov)
        else:
            t.log_unary("op", key, prov)
    order, index = reference_store(ops, max_nodes)
    assert list(t._nodes) == order
    assert t._prov_to_nodes == index
    check_invariants(t)


# -- graph queries -----------------------------------------------------------


def test_get_dag_unknown_root(t):
    g = t.get_dag(99)
    assert isinstance(g, ComputationDAG) and (g.root_id, g.nodes, g.edges) == (99, {}, [])
    assert t.get_node(99) is None and t.get_nodes_for_provenance(5) == [] and t.get_dag_for_provenance(5) is None


def test_diamond_order(t):
    s = t.create_source_node("t", "a", 1)
    left = t.log_unary("neg", s, 2)
    right = t.log_unary("abs", s, 3)
    top = t.log_binary("add", left, right, 4)
    g = t.get_dag(top)
    assert list(g.nodes) == [3, 1, 2, 0]
    assert edges_of(g) == [(1, 3, 0), (2, 3, 1), (0, 1, 0), (0, 2, 0)]
    assert all(g.nodes[i] is t.get_node(i) for i in g.nodes)
    assert g.depth == 2


def test_same_input_twice_gives_two_edges(t):
    s = t.create_source_node("t", "a", 1)
    sq = t.log_binary("mul", s, s, 2)
    assert edges_of(t.get_dag(sq)) == [(0, 1, 0), (0, 1, 1)]


def test_edge_to_evicted_input(t):
    s = t.create_source_node("t", "a", 1)
    a = t.log_unary("neg", s, 2)
    b = t.log_binary("add", a, s, 3)
    del t._nodes[a]  # as eviction would
    g = t.get_dag(b)
    assert list(g.nodes) == [b, s] and edges_of(g) == [(a, b, 0), (s, b, 1)]
    with pytest.raises(KeyError):
        g.depth


def test_dag_for_provenance_takes_latest(t):
    for i in range(10):
        t.log_unary("neg", 0, 7 if i in (4, 9) else 100 + i)
    assert [n.node_id for n in t.get_nodes_for_provenance(7)] == [4, 9]
    assert t.get_dag_for_provenance(7).root_id == 9


def test_dag_stats(t):
    assert t.dag_stats() == {"total_nodes": 0, "source_nodes": 0, "protected_sources": 0,
                             "operation_nodes": 0, "operation_counts": {}, "unique_provenances": 0}
    t.register("p", "race", protected=True)
    s = t.create_source_node("p", "race", TAINT)
    z = t.create_source_node("p", "zip", 1)
    t.log_binary("add", s, z, TAINT | 2)
    t.log_unary("neg", z, 3)
    t.log_binary("add", z, z, 3)
    assert t.dag_stats() == {"total_nodes": 5, "source_nodes": 2, "protected_sources": 2,
                             "operation_nodes": 3, "operation_counts": {"add": 2, "neg": 1},
                             "unique_provenances": 4}


def test_deep_chain_graph(t):
    prev = t.create_source_node("t", "a", 1)
    for i in range(10_000):
        prev = t.log_unary("neg", prev, i)
    g = t.get_dag(prev)
    assert len(g.nodes) == 10_001 and g.depth == 10_000
    assert g.to_dict()["depth"] == 10_000


# -- threads -----------------------------------------------------------------


def test_concurrent_node_creation(t):
    per_thread, n_threads = 3000, 4
    results = [[] for _ in range(n_threads)]
    start = threading.Barrier(n_threads)

    def work(k):
        start.wait()
        out = results[k]
        for i in range(per_thread):
            out.append(t.log_binary("add", k, i, (k * per_thread + i) % 97))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    ids = [i for r in results for i in r]
    total = per_thread * n_threads
    assert sorted(ids) == list(range(total)) and t._next_node_id == total
    assert list(t._nodes) == list(range(total))
    for k, r in enumerate(results):
        assert r == sorted(r)
        assert all(t._nodes[i].inputs[0] == k for i in r)
    check_invariants(t)
    assert sum(len(v) for v in t._prov_to_nodes.values()) == total


# -- row-value buffer --------------------------------------------------------


class RecordingWriter:
    def __init__(self):
        self.batches = []

    def write_row_values(self, batch):
        self.batches.append(batch)


@pytest.mark.parametrize(
    "value, number, text",
    [(3, 3.0, None), ("abc", None, "abc"), (None, None, None), (True, 1.0, None), ("2.5", 2.5, None),
     ([1], None, "[1]")],
)
def test_row_value_split(t, value, number, text):
    t.record_row_value(4, 99, "add", value, column_name="c")
    rec = t._value_buffer[-1]
    assert (rec.value, rec.text_value) == (number, text)
    assert (rec.pipeline_id, rec.row_index, rec.fingerprint, rec.node_operation, rec.column_name, rec.tenant_id) == (
        0, 4, 99, "add", "c", None)


@pytest.mark.parametrize(
    "args, name",
    [((None, 1, "op", 1), "row_index"), ((1, "1", "op", 1), "fingerprint"), ((1, 1, 2, 1), "operation")],
)
def test_row_value_type_errors(t, args, name):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type"):
        t.record_row_value(*args)
    with pytest.raises(TypeError, match=r"^Argument 'column_name' has incorrect type"):
        t.record_row_value(1, 1, "op", 1, column_name=1)
    assert t._value_buffer == []


def test_row_values_handed_over_in_batches_with_writer(t):
    w = RecordingWriter()
    t._writer = w
    for i in range(4999):
        t.record_row_value(i, 1, "add", i)
    assert w.batches == [] and len(t._value_buffer) == 4999
    t.record_row_value(4999, 1, "add", 4999)
    assert len(w.batches) == 1 and [r.row_index for r in w.batches[0]] == list(range(5000))
    assert t._value_buffer == [] and w.batches[0] is not t._value_buffer
    t._writer = None


class RefusingWriter(RecordingWriter):
    """Refuses the first hand-over (as a stopped writer does), then accepts."""

    def __init__(self):
        super().__init__()
        self.refuse = 1

    def write_row_values(self, batch):
        if self.refuse:
            self.refuse -= 1
            raise RuntimeError("writer is not running")
        super().write_row_values(batch)

    def flush(self, timeout=None):
        return True


@pytest.mark.parametrize("via_flush", [False, True])
def test_refused_hand_over_keeps_the_records(t, via_flush):
    w = RefusingWriter()
    t._writer = w
    t._nodes_persisted = t._dashboard_synced = True  # flush: only the row values
    t._value_flush_threshold = 3 if not via_flush else 100
    t.record_row_value(0, 1, "add", 0)
    t.record_row_value(1, 1, "add", 1)
    with pytest.raises(RuntimeError):
        if via_flush:
            t.flush()
        else:
            t.record_row_value(2, 1, "add", 2)
    assert w.batches == []
    kept = [r.row_index for r in t._value_buffer]
    assert kept == ([0, 1] if via_flush else [0, 1, 2])
    if via_flush:
        assert t.flush() is True
    else:
        t.record_row_value(3, 1, "add", 3)
    assert [[r.row_index for r in b] for b in w.batches] == [kept + ([] if via_flush else [3])]
    assert t._value_buffer == []
    t._writer = None


@settings(max_examples=40)
@given(st.integers(0, 40), st.integers(0, 200))
def test_buffer_without_writer_keeps_latest_records(threshold, n):
    t = DAGTracker()
    t._value_flush_threshold = threshold
    buf = t._value_buffer
    for i in range(n):
        t.record_row_value(i, 0, "op", i)
        rows = [r.row_index for r in t._value_buffer]
        assert len(rows) <= threshold
        assert rows == list(range(i + 1 - len(rows), i + 1)), "a suffix of what was recorded, in order"
    assert t._value_buffer is buf and type(buf) is list
    if n >= threshold:
        assert len(buf) >= threshold - threshold // 4


def test_buffer_without_writer_is_bounded_at_default(t):
    for i in range(12_000):
        t.record_row_value(i, 0, "op", float(i))
    assert 3750 <= len(t._value_buffer) <= 5000
    assert t._value_buffer[-1].row_index == 11_999
