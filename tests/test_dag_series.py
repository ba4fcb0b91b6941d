"""DAG-tracked Series: logged arithmetic, comparisons and transforms.

Every behaviour is checked on a stock tracker (compiled bulk path) and on a
custom subclass (per-element path) through the ``tracker`` fixture.
"""
from __future__ import annotations

import pickle

import numpy as np
import pandas as pd
import pytest

from morvel.utilities.vortel32 import OpCode, TrackedSeries
from morvel.utilities.vortel32_dag import (
    DAGTrackedSeries,
    DAGTracker,
    NodeType,
    wrap_dataframe_dag,
)


class LoopingTracker(DAGTracker):
    def combine(self, *args, **kwargs):
        return super().combine(*args, **kwargs)

    def update_chain(self, *args, **kwargs):
        return super().update_chain(*args, **kwargs)


class RaisingRecorder(DAGTracker):
    def record_row_value(self, *args, **kwargs):
        raise RuntimeError("recorder down")


@pytest.fixture(params=["stock", "looping"])
def tracker(request):
    return DAGTracker() if request.param == "stock" else LoopingTracker()


def two_columns(tracker, a=(1.0, 2.0, 3.0), b=(10.0, 20.0, 30.0)):
    # Six filler columns first so that the operands' node ids are 6, 7 and
    # their source words differ from zero.
    frame = pd.DataFrame({f"x{i}": [0.0] * len(a) for i in range(6)})
    frame["a"], frame["b"] = list(a), list(b)
    f = wrap_dataframe_dag(frame, tracker, "t")
    return f["a"], f["b"]


def node(tracker, node_id):
    return tracker.get_node(int(node_id))


def test_add_logs_one_binary_node_per_element_left_operand_first(tracker):
    s, t = two_columns(tracker)
    before = tracker._next_node_id
    r = s + t
    assert r.tolist() == [11.0, 22.0, 33.0]
    assert r._node_ids.tolist() == [before, before + 1, before + 2]
    for i, nid in enumerate(r._node_ids):
        n = node(tracker, nid)
        assert (n.node_type, n.operation, n.inputs) == (NodeType.BINARY, "add", [6, 7])
        assert n.provenance == int(r._prov[i]) == tracker.combine(int(s._prov[i]), int(t._prov[i]),
                                                                  OpCode.ADD)
    r2 = t + s
    assert [node(tracker, nid).inputs for nid in r2._node_ids] == [[7, 6]] * 3
    assert r2._prov.tolist() == [tracker.combine(int(t._prov[i]), int(s._prov[i]), OpCode.ADD)
                                 for i in range(3)]


def test_node_inputs_follow_each_elements_own_nodes(tracker):
    s, t = two_columns(tracker)
    s2 = -s  # nodes 8, 9, 10
    r = s2 * t
    assert [node(tracker, nid).inputs for nid in r._node_ids] == [[8, 7], [9, 7], [10, 7]]


@pytest.mark.parametrize("method, name, code", [
    ("__sub__", "sub", OpCode.SUB), ("__mul__", "mul", OpCode.MUL),
    ("__truediv__", "div", OpCode.DIV), ("__floordiv__", "floordiv", OpCode.DIV),
    ("__pow__", "pow", OpCode.MUL), ("__gt__", "gt", OpCode.CMP), ("__lt__", "lt", OpCode.CMP),
    ("__ge__", "ge", OpCode.CMP), ("__le__", "le", OpCode.CMP),
])
def test_operator_names_and_codes(tracker, method, name, code):
    s, t = two_columns(tracker)
    r = getattr(s, method)(t)
    expected = getattr(pd.Series(s.to_numpy()), method)(pd.Series(t.to_numpy()))
    assert r.tolist() == expected.tolist()
    assert {node(tracker, nid).operation for nid in r._node_ids} == {name}
    assert r._prov.tolist() == [tracker.combine(int(a), int(b), code) for a, b in zip(s._prov, t._prov)]


@pytest.mark.parametrize("method, forward, values", [
    ("__radd__", "add", [11.0, 22.0, 33.0]), ("__rsub__", "sub", [9.0, 18.0, 27.0]),
    ("__rmul__", "mul", [10.0, 40.0, 90.0]), ("__rtruediv__", "div", [10.0, 10.0, 10.0]),
])
def test_reflected_operators_swap_values_not_inputs(tracker, method, forward, values):
    s, t = two_columns(tracker)
    r = getattr(s, method)(t)  # t <op> s computed on s
    assert r.tolist() == values
    assert {tuple(node(tracker, nid).inputs) for nid in r._node_ids} == {(6, 7)}
    assert {node(tracker, nid).operation for nid in r._node_ids} == {forward}


def test_scalar_on_the_left_uses_the_reflected_operator_and_logs_nothing(tracker):
    s, _ = two_columns(tracker)
    before = tracker._next_node_id
    r = 10 - s
    assert r.tolist() == [9.0, 8.0, 7.0]
    assert (2 / s).tolist() == [2.0, 1.0, 2 / 3]
    assert tracker._next_node_id == before
    assert r._prov.tolist() == s._prov.tolist() and r._prov is not s._prov


@pytest.mark.parametrize("other, values", [
    (1, [2.0, 3.0, 4.0]),
    (np.array([1.0, 2.0, 3.0]), [2.0, 4.0, 6.0]),
    (pd.Series([1.0, 2.0, 3.0], index=[7, 8, 9]), [2.0, 4.0, 6.0]),
    (TrackedSeries([1.0, 2.0, 3.0], _prov=np.full(3, 99, np.uint32)), [2.0, 4.0, 6.0]),
])
def test_untracked_and_core_tracked_operands_log_nothing(tracker, other, values):
    s, _ = two_columns(tracker)
    before = (tracker._next_node_id, len(tracker._value_buffer))
    r = s + other
    assert r.tolist() == values
    assert (tracker._next_node_id, len(tracker._value_buffer)) == before
    assert r._prov.tolist() == s._prov.tolist() and r._prov is not s._prov
    assert r._node_ids.tolist() == s._node_ids.tolist() and r._node_ids is not s._node_ids
    assert isinstance(r, DAGTrackedSeries) and r.name is None


def test_plain_series_on_the_left_is_positional_and_logs_nothing(tracker):
    s, _ = two_columns(tracker)
    before = tracker._next_node_id
    r = pd.Series([1.0, 1.0, 1.0], index=[5, 6, 7]) + s
    assert isinstance(r, DAGTrackedSeries) and r.tolist() == [2.0, 3.0, 4.0]
    assert tracker._next_node_id == before


def test_no_tracker_copies_words_and_nodes():
    s = DAGTrackedSeries([1.0, 2.0], _prov=np.array([5, 6], np.uint32),
                         _node_ids=np.array([3, 4], np.int64))
    for r in (s + s, -s, s.clip(0, 1), s.fillna(0), s.replace(1.0, 5.0)):
        assert r._prov.tolist() == [5, 6] and r._node_ids.tolist() == [3, 4]
        assert r._prov is not s._prov


def test_new_series_mark_missing_nodes_with_minus_one():
    s = DAGTrackedSeries([1, 2, 3])
    assert s._prov.dtype == np.uint32 and s._prov.tolist() == [0, 0, 0]
    assert s._node_ids.dtype == np.int64 and s._node_ids.tolist() == [-1, -1, -1]
    assert s._tracker is None


def test_elements_without_nodes_get_minus_one_and_no_node(tracker):
    s, t = two_columns(tracker)
    half = DAGTrackedSeries([5.0, 6.0, 7.0], _prov=s._prov.copy(), _tracker=tracker,
                            _node_ids=np.array([6, -1, 6], np.int64))
    before = tracker._next_node_id
    r = half + t
    assert r._node_ids.tolist() == [before, -1, before + 1]
    assert -1 not in tracker._nodes


def test_short_operand_broadcasts_with_word_zero_and_no_node(tracker):
    s, t = two_columns(tracker)
    one = DAGTrackedSeries([100.0], _prov=t._prov[:1].copy(), _tracker=tracker,
                           _node_ids=t._node_ids[:1].copy())
    before = tracker._next_node_id
    r = s + one
    assert r.tolist() == [101.0, 102.0, 103.0]
    assert r._node_ids.tolist() == [before, -1, -1]
    assert r._prov.tolist()[1:] == [tracker.combine(int(w), 0, OpCode.ADD) for w in s._prov[1:]]


def test_neg_logs_unary_nodes(tracker):
    s, _ = two_columns(tracker)
    r = -s
    assert r.tolist() == [-1.0, -2.0, -3.0]
    nodes = [node(tracker, nid) for nid in r._node_ids]
    assert {(n.node_type, n.operation, tuple(n.inputs)) for n in nodes} == {(NodeType.UNARY, "neg", (6,))}
    assert r._prov.tolist() == [tracker.update_chain(int(w), OpCode.NEG) for w in s._prov]


@pytest.mark.parametrize("dtype", ["bool", "boolean"])
def test_negating_booleans_inverts_them_and_logs_neg_nodes(tracker, dtype):
    values = [True, False, True]
    f = wrap_dataframe_dag(pd.DataFrame({"x": [0.0] * 3, "a": pd.array(values, dtype=dtype)}),
                           tracker, "t")
    s = f["a"]
    tracker._value_buffer.clear()
    r = -s
    assert r.tolist() == (-pd.Series(values, dtype=dtype)).tolist() == [False, True, False]
    assert r.dtype == s.dtype
    nodes = [node(tracker, nid) for nid in r._node_ids]
    assert [(n.node_type, n.operation, n.inputs) for n in nodes] == [(NodeType.UNARY, "neg", [1])] * 3
    assert r._prov.tolist() == [tracker.update_chain(int(w), OpCode.NEG) for w in s._prov]
    assert [(v.row_index, v.value, v.node_operation) for v in tracker._value_buffer] == [
        (0, 0.0, "neg"), (1, 1.0, "neg"), (2, 0.0, "neg")]


def test_comparison_records_booleans(tracker):
    s, t = two_columns(tracker, a=(1.0, 50.0, 3.0))
    tracker._value_buffer.clear()
    r = s > t
    assert r.tolist() == [False, True, False]
    assert [(v.row_index, v.value, v.node_operation) for v in tracker._value_buffer] == [
        (0, 0.0, "gt"), (1, 1.0, "gt"), (2, 0.0, "gt")]
    assert [v.fingerprint for v in tracker._value_buffer] == r._prov.tolist()


@pytest.mark.parametrize("dtype, recorded", [("float64", [0, 2]), ("float32", [0, 1, 2])])
def test_nan_results_skip_float64_but_record_float32(tracker, dtype, recorded):
    s, t = two_columns(tracker, a=(1.0, np.nan, 3.0))
    s = DAGTrackedSeries(s.to_numpy().astype(dtype), _prov=s._prov, _tracker=tracker,
                         _node_ids=s._node_ids)
    t = DAGTrackedSeries(t.to_numpy().astype(dtype), _prov=t._prov, _tracker=tracker,
                         _node_ids=t._node_ids)
    tracker._value_buffer.clear()
    r = s * t
    assert len(set(r._node_ids.tolist())) == 3  # every element has its node
    assert [v.row_index for v in tracker._value_buffer] == recorded


def test_raising_recorder_does_not_change_results():
    t1, t2 = RaisingRecorder(), DAGTracker()
    results = []
    for tr in (t1, t2):
        s, t = two_columns(tr)
        r = (s + t).clip(0, 25).fillna(1).replace(11.0, 0.0)
        results.append((r.tolist(), r._prov.tolist(), r._node_ids.tolist(), list(tr._nodes)))
    assert results[0] == results[1]
    assert t1._value_buffer == []


def test_clip_logs_clip_nodes_with_code_6(tracker):
    s, _ = two_columns(tracker, a=(-5.0, 5.0, 50.0))
    r = s.clip(0, 10)
    assert r.tolist() == [0.0, 5.0, 10.0]
    assert {node(tracker, nid).operation for nid in r._node_ids} == {"clip"}
    assert r._prov.tolist() == [tracker.update_chain(int(w), OpCode.CLIP) for w in s._prov]
    assert s.clip(lower=2).tolist() == [2.0, 5.0, 50.0]
    with pytest.raises(TypeError):
        s.clip(0, 10, inplace=True)


def test_fillna_logs_every_element_and_defaults_to_zero(tracker):
    s, _ = two_columns(tracker, a=(1.0, np.nan, 3.0))
    r = s.fillna()
    assert r.tolist() == [1.0, 0.0, 3.0]
    assert [node(tracker, nid).operation for nid in r._node_ids] == ["fillna"] * 3
    assert r._prov.tolist() == [tracker.update_chain(int(w), OpCode.FILL) for w in s._prov]


def test_fillna_inplace_is_refused_before_anything_changes(tracker):
    s, _ = two_columns(tracker, a=(1.0, np.nan, 3.0))
    before = (tracker._next_node_id, len(tracker._value_buffer), s._prov.tolist())
    with pytest.raises(ValueError, match="inplace"):
        s.fillna(5, inplace=True)
    assert np.isnan(s.iloc[1])
    assert (tracker._next_node_id, len(tracker._value_buffer), s._prov.tolist()) == before


def test_replace_logs_nodes_with_the_map_code(tracker):
    s, _ = two_columns(tracker)
    r = s.replace(1.0, 100.0)
    assert r.tolist() == [100.0, 2.0, 3.0]
    assert [node(tracker, nid).operation for nid in r._node_ids] == ["replace"] * 3
    assert r._prov.tolist() == [tracker.update_chain(int(w), OpCode.MAP) for w in s._prov]


def test_replace_inplace_logs_nothing_and_keeps_words(tracker):
    s, _ = two_columns(tracker)
    words, nodes, before = s._prov.copy(), s._node_ids.copy(), tracker._next_node_id
    out = s.replace(1.0, 100.0, inplace=True)
    assert s.tolist() == [100.0, 2.0, 3.0]
    assert out is None or out is s  # what pandas returns (2.x: None, 3.x: the series)
    assert tracker._next_node_id == before
    assert s._prov.tolist() == words.tolist() and s._node_ids.tolist() == nodes.tolist()


def test_map_is_plain_pandas_and_logs_nothing(tracker):
    s, _ = two_columns(tracker)
    before = tracker._next_node_id
    r = s.map(lambda v: v * 2)
    assert r.tolist() == [2.0, 4.0, 6.0]
    assert tracker._next_node_id == before
    assert r._prov is s._prov and r._node_ids is s._node_ids


def test_apply_tracked_unary_checks_argument_types(tracker):
    s, _ = two_columns(tracker)
    with pytest.raises(TypeError, match="Argument 'op_name' has incorrect type"):
        s._apply_tracked_unary(s.to_numpy(), s.index, 5, OpCode.MAP)
    with pytest.raises(TypeError, match="Argument 'op_code'"):
        s._binop_dag(s, np.add, "add", "x")


def test_empty_series_logs_nothing(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [], "b": []}, dtype=float), tracker, "t")
    r = f["a"] + f["b"]
    assert len(r) == 0 and r._prov.tolist() == [] and r._node_ids.tolist() == []
    assert tracker._next_node_id == 0


def test_pandas_operations_keep_the_class_and_attributes(tracker):
    s, _ = two_columns(tracker)
    for r in (s.head(2), s.abs(), s == s, s.copy(), s.iloc[::-1]):
        assert isinstance(r, DAGTrackedSeries)
        assert r._tracker is tracker and r._prov is s._prov and r._node_ids is s._node_ids


def test_pandas_operations_carry_the_name_and_element_operations_drop_it(tracker):
    s, t = two_columns(tracker)
    s.name = "a"
    for r in (s.copy(), s.copy(deep=False), s.head(2), s.abs(), s.sort_values(), s.iloc[::-1]):
        assert r.name == "a"
    for r in (-s, s + t, s.clip(0, 1), s.fillna(0)):
        assert r.name is None


def test_pickling_keeps_the_name_and_the_arrays():
    s = DAGTrackedSeries([1.5, 2.5], name="a", _prov=np.array([3, 4], dtype=np.uint32),
                         _node_ids=np.array([7, -1], dtype=np.int64))
    back = pickle.loads(pickle.dumps(s))
    assert isinstance(back, DAGTrackedSeries) and back.name == "a" and back.tolist() == [1.5, 2.5]
    assert back._prov.tolist() == [3, 4] and back._node_ids.tolist() == [7, -1]
