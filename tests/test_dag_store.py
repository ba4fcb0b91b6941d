"""The node store: one owner of ids, records, the provenance index, taint
marking and eviction, for the per-element path and the compiled bulk path.

The store is checked against a brute-force model (a list of nodes in
creation order), and the compiled bulk logger against the store's own
one-at-a-time ``add`` on random operation sequences.
"""
from __future__ import annotations

import dataclasses

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel import _lineage
from morvel.utilities import vortel32, vortel32_dag
from morvel.utilities._dag.store import DictNodeStore
from morvel.utilities.vortel32 import ProvenanceTracker
from morvel.utilities.vortel32_dag import DAGNode, DAGTracker, NodeType, wrap_dataframe_dag

TAINT = 1 << 29


def tainted(word: int) -> bool:
    return bool((word >> 29) & 1)


def store_state(store: DictNodeStore) -> tuple:
    return ([(k, dataclasses.astuple(v)) for k, v in store.nodes.items()],
            [(k, list(v)) for k, v in store.index.items()], store.next_id)


# -- the store against a list model -----------------------------------------

# An operation is ("add", word, source?) or ("evict",).
operations = st.lists(
    st.one_of(
        st.tuples(st.just("add"), st.sampled_from([0, 1, 2, TAINT | 3, TAINT]), st.booleans()),
        st.tuples(st.just("evict")),
    ),
    max_size=80,
)


@given(ops=operations, max_nodes=st.integers(1, 15))
def test_store_matches_a_list_model(ops, max_nodes):
    store = DictNodeStore(max_nodes=max_nodes)
    model: list = []  # (id, word, is_source, protected) in creation order
    next_id = 0
    for op in ops:
        if op[0] == "add":
            _, word, source = op
            kind = NodeType.SOURCE if source else NodeType.UNARY
            node = store.add(kind, "op", [], word, {}, tainted)
            assert node.node_id == next_id
            model.append((next_id, word, source, bool(word) and tainted(word)))
            next_id += 1
            if store.over_capacity():
                assert len(model) > max_nodes
        else:
            store.evict_oldest()
            # a tenth (rounded down) of the store, oldest non-source first
            count = len(model) // 10
            victims = [m[0] for m in model if not m[2]][:count]
            model = [m for m in model if m[0] not in victims]
    assert [(n.node_id, n.provenance, n.node_type == NodeType.SOURCE, n.is_protected)
            for n in store.nodes.values()] == model
    expected_index: dict = {}
    for node_id, word, _, _ in model:
        expected_index.setdefault(word, []).append(node_id)
    assert {k: list(v) for k, v in store.index.items()} == expected_index
    assert store.next_id == next_id and store.word_count() == len(expected_index)
    for word, ids in expected_index.items():
        assert [n.node_id for n in store.for_word(word)] == ids


def test_nodes_of_one_word_share_one_int_object():
    store = DictNodeStore()
    big = 3_000_000_000  # not a cached small int
    first = store.add(NodeType.UNARY, "a", [], big, {}, tainted)
    second = store.add(NodeType.UNARY, "b", [], int(str(big)), {}, tainted)
    assert second.provenance is first.provenance
    assert store.stored_id(int(str(first.node_id + 0))) is first.node_id


# -- the compiled logger against the store's own add --------------------------

def add_reference(store, node_type, op_name, words, left, right):
    """What the bulk logger must do, through the store's one-node ``add``."""
    out = []
    for i, w in enumerate(words.tolist()):
        a = int(left[i])
        b = int(right[i]) if right is not None else 0
        if a < 0 or b < 0:
            out.append(-1)
            continue
        inputs = [a, b] if right is not None else [a]
        node = store.add(node_type, op_name, inputs, w, {}, tainted)
        if store.over_capacity():
            store.evict_oldest()
        out.append(node.node_id)
    return out


@given(
    words=st.lists(st.sampled_from([0, 5, 6, TAINT | 7, 2**31 + 9]), min_size=0, max_size=40),
    data=st.data(),
    binary=st.booleans(),
    native_eviction=st.booleans(),
    max_nodes=st.integers(1, 20),
    preload=st.integers(0, 6),
)
def test_bulk_logger_matches_the_store_add(words, data, binary, native_eviction, max_nodes,
                                           preload):
    n = len(words)
    ids = st.lists(st.integers(-2, 8), min_size=n, max_size=n)
    left = np.array(data.draw(ids), dtype=np.int64)
    right = np.array(data.draw(ids), dtype=np.int64) if binary else None
    w = np.array(words, dtype=np.uint32)
    kind = NodeType.BINARY if binary else NodeType.UNARY
    bulk, ref = DictNodeStore(max_nodes=max_nodes), DictNodeStore(max_nodes=max_nodes)
    for store in (bulk, ref):
        for k in range(preload):  # sources (never evicted) and older nodes
            store.add(NodeType.SOURCE if k % 2 else NodeType.UNARY, "pre", [], 5, {}, tainted)
    out = np.empty(n, dtype=np.int64)
    bulk.log_bulk(kind, "op", w, left, right, out, bulk.evict_oldest, None, native_eviction)
    expected = add_reference(ref, kind, "op", w, left, right)
    assert out.tolist() == expected
    assert store_state(bulk) == store_state(ref)


def test_bulk_logger_hands_each_node_to_persist_before_eviction():
    store = DictNodeStore(max_nodes=3)
    seen = []

    def persist(node):
        # the store already holds the node and the counter is past it
        seen.append((node.node_id, node.node_id in store.nodes, store.next_id))
        return False

    out = np.empty(5, dtype=np.int64)
    store.log_bulk(NodeType.UNARY, "op", np.arange(5, dtype=np.uint32),
                   np.zeros(5, dtype=np.int64), None, out, store.evict_oldest, persist, True)
    assert seen == [(i, True, i + 1) for i in range(5)]
    assert out.tolist() == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("cls", [
    dataclasses.make_dataclass("Plain", [f.name for f in dataclasses.fields(DAGNode)]),
    int,
], ids=["dataclass-without-slots", "not-a-record"])
def test_bulk_logger_refuses_a_record_class_without_settable_fields(cls):
    store = DictNodeStore()
    with pytest.raises(TypeError):
        _lineage.log_nodes(store, cls, NodeType.UNARY, "x", np.array([1], dtype=np.uint32),
                           np.zeros(1, dtype=np.int64), None, np.zeros(1, dtype=np.int64),
                           NodeType.SOURCE)
    assert store.next_id == 0 and not store.nodes


def test_bulk_logger_needs_a_way_to_evict():
    store = DictNodeStore(max_nodes=1)
    out = np.zeros(3, dtype=np.int64)
    with pytest.raises(ValueError, match="evict"):
        _lineage.log_nodes(store, DAGNode, NodeType.UNARY, "x", np.arange(3, dtype=np.uint32),
                           np.zeros(3, dtype=np.int64), None, out)
    # the counter is handed back even when the call stops half way
    assert store.next_id == len(store.nodes) == 2


# -- the tracker goes through its store ----------------------------------------

def test_tracker_views_are_the_store():
    t = DAGTracker()
    t._max_nodes = 7
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(10.0)}), t, "t")
    -f["a"]
    assert t._store.max_nodes == 7 and t._nodes is t._store.nodes
    assert t._prov_to_nodes is t._store.index and t._next_node_id == t._store.next_id == 11
    assert len(t._nodes) < t._next_node_id  # the bound of the store was applied


# -- one naming of modes ---------------------------------------------------------

def reference_mode(word: int) -> str:
    mode = word >> 30
    if mode == 0:
        return "EXACT-1" if (word >> 16) & 1023 else "EXACT-0"
    return ["EXACT-2", "EXACT-3", "DENSE"][mode - 1]


@given(word=st.integers(0, 2**32 - 1))
def test_every_report_names_a_word_s_mode_alike(word):
    t = DAGTracker()
    assert vortel32.mode_name(word) == t.get_mode(word) == reference_mode(word)
    assert t.decode_full(word).mode == reference_mode(word)
    assert vortel32_dag.word_report(t, word)["mode"] == reference_mode(word)


def test_audit_and_word_report_agree_on_an_unissued_dense_word():
    t = ProvenanceTracker()
    s = vortel32.TrackedSeries([1.0], _prov=np.array([0xC0000123], dtype=np.uint32), _tracker=t)
    assert vortel32.audit(s) == vortel32_dag.word_report(t, 0xC0000123)
    assert vortel32.audit(s)["mode"] == "DENSE"


# -- the public modules ------------------------------------------------------------

@pytest.mark.parametrize("module", [vortel32, vortel32_dag])
def test_public_modules_export_what_they_list(module):
    assert all(hasattr(module, name) for name in module.__all__)


@pytest.mark.parametrize("dag_cls, plain_cls", [
    (vortel32_dag.DAGTrackedSeries, vortel32.TrackedSeries),
    (vortel32_dag.DAGTrackedDataFrame, vortel32.TrackedDataFrame),
])
def test_families_share_a_base_but_not_each_other(dag_cls, plain_cls):
    assert not issubclass(dag_cls, plain_cls) and not issubclass(plain_cls, dag_cls)
    assert set(dag_cls.__mro__) & set(plain_cls.__mro__) - set(pd.Series.__mro__) \
        - set(pd.DataFrame.__mro__)


def test_codec_replaced_on_the_public_module_reaches_both_families(monkeypatch):
    calls = []
    real = vortel32.update_chain_batch

    def spy(*args):
        calls.append(len(args[1]))
        return real(*args)

    monkeypatch.setattr(vortel32, "update_chain_batch", spy)
    plain = vortel32.wrap_dataframe(pd.DataFrame({"a": [1.0, 2.0]}), ProvenanceTracker(), "t")
    dag = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0]}), DAGTracker(), "t")
    -plain["a"]
    -dag["a"]
    assert calls == [2, 3]


def test_native_logger_switched_off_on_the_public_module(monkeypatch):
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    results = []
    for lineage in (vortel32_dag._lineage, None):
        monkeypatch.setattr(vortel32_dag, "_lineage", lineage)
        t = DAGTracker()
        f = wrap_dataframe_dag(frame, t, "t")
        r = f["a"] * f["b"]
        results.append((r._prov.tolist(), r._node_ids.tolist(), store_state(t._store)))
    assert results[0] == results[1]
