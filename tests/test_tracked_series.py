"""TrackedSeries: operators, transforms and the subclass wiring with pandas."""
from __future__ import annotations

import operator
import pickle

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel.utilities import vortel32 as v
from morvel.utilities._compat import PANDAS_GE_30
from morvel.utilities.vortel32 import OpCode, ProvenanceTracker, TrackedSeries


def source_words(tracker, table, column, n, protected=False, depth=0):
    pid = tracker.register(table, column, protected)
    return np.array([tracker.encode({pid}, entity=i, taint=protected, depth=depth)
                     for i in range(n)], dtype=np.uint32)


@pytest.fixture
def tracker():
    return ProvenanceTracker()


@pytest.fixture
def pair(tracker):
    """Two tracked series of four floats on different indexes."""
    s = TrackedSeries([1.0, 2.0, 3.0, 4.0], index=[10, 11, 12, 13], name="s",
                      _prov=source_words(tracker, "t", "a", 4, protected=True), _tracker=tracker)
    t = TrackedSeries([4.0, 3.0, 2.0, 8.0], index=[3, 2, 1, 0], name="t",
                      _prov=source_words(tracker, "t", "b", 4, depth=2), _tracker=tracker)
    return s, t


def per_element_combine(tracker, a, b, code):
    return np.array([tracker.combine(int(x), int(y), code) for x, y in zip(a, b)], dtype=np.uint32)


def per_element_chain(tracker, a, code):
    return np.array([tracker.update_chain(int(x), code) for x in a], dtype=np.uint32)


BINARY = [
    (operator.add, np.add, OpCode.ADD),
    (operator.sub, np.subtract, OpCode.SUB),
    (operator.mul, np.multiply, OpCode.MUL),
    (operator.truediv, np.true_divide, OpCode.DIV),
    (operator.floordiv, np.floor_divide, OpCode.DIV),
    (operator.pow, np.power, OpCode.MUL),
    (operator.gt, np.greater, OpCode.CMP),
    (operator.lt, np.less, OpCode.CMP),
    (operator.ge, np.greater_equal, OpCode.CMP),
    (operator.le, np.less_equal, OpCode.CMP),
]


# -- operator table ------------------------------------------------------------

@pytest.mark.parametrize("op, ufunc, code", BINARY, ids=lambda x: getattr(x, "__name__", str(x)))
def test_tracked_operands_combine_by_position(pair, tracker, op, ufunc, code):
    s, t = pair
    before = (s._prov.copy(), t._prov.copy())
    r = op(s, t)
    assert type(r) is TrackedSeries
    np.testing.assert_array_equal(r.to_numpy(), ufunc(s.to_numpy(), t.to_numpy()))
    assert r.index.equals(s.index) and r.name is None and r._tracker is tracker
    assert r._prov.dtype == np.uint32
    np.testing.assert_array_equal(r._prov, per_element_combine(tracker, s._prov, t._prov, code))
    # operands untouched
    np.testing.assert_array_equal(s._prov, before[0])
    np.testing.assert_array_equal(t._prov, before[1])


@pytest.mark.parametrize("op, code", [
    (operator.add, OpCode.ADD), (operator.sub, OpCode.SUB), (operator.mul, OpCode.MUL),
    (operator.truediv, OpCode.DIV), (operator.floordiv, OpCode.DIV), (operator.pow, OpCode.MUL),
    (operator.gt, OpCode.CMP), (operator.le, OpCode.CMP)])
def test_codec_called_through_module_name_with_op_code_and_order(pair, monkeypatch, op, code):
    s, t = pair
    calls = []

    def spy(rust, a, b, op_code):
        calls.append((rust, a, b, op_code))
        return np.full(len(a), 7, dtype=np.uint32)

    monkeypatch.setattr(v, "combine_batch", spy)
    r = op(t, s)
    assert len(calls) == 1
    rust, a, b, op_code = calls[0]
    assert rust is t._tracker._rust and op_code == code
    assert a is t._prov and b is s._prov
    assert r._prov.tolist() == [7] * 4


@pytest.mark.parametrize("other", [
    5, 2.5, np.array([1.0, 1.0, 2.0, 2.0]), [1.0, 2.0, 3.0, 4.0],
    pd.Series([1.0, 2.0, 3.0, 4.0], index=list("wxyz")),
], ids=["int", "float", "ndarray", "list", "plain-series"])
@pytest.mark.parametrize("op, ufunc", [(operator.add, np.add), (operator.sub, np.subtract),
                                       (operator.mul, np.multiply), (operator.gt, np.greater)])
def test_untracked_operand_copies_words(pair, op, ufunc, other):
    s, _ = pair
    r = op(s, other)
    raw = other.to_numpy() if isinstance(other, pd.Series) else other
    np.testing.assert_array_equal(r.to_numpy(), ufunc(s.to_numpy(), raw))
    np.testing.assert_array_equal(r._prov, s._prov)
    assert r._prov is not s._prov
    assert r.index.equals(s.index) and r.name is None


class ForeignTracked(pd.Series):
    """A Series subclass carrying words that is not a TrackedSeries."""

    _metadata = ["_prov", "_tracker"]
    _prov = None
    _tracker = None

    @property
    def _constructor(self):
        return ForeignTracked


def test_foreign_tracked_operand_is_untracked(pair, tracker):
    s, _ = pair
    d = ForeignTracked([1.0, 1.0, 1.0, 1.0])
    d._prov = np.full(4, 0xFFFF, dtype=np.uint32)
    d._tracker = tracker
    for r in (s + d, s * d, s > d):
        np.testing.assert_array_equal(r._prov, s._prov)
        assert r._prov is not s._prov


@pytest.mark.parametrize("expr, expected", [
    (lambda s: 10 - s, lambda x: 10 - x),
    (lambda s: 2 / s, lambda x: 2 / x),
    (lambda s: 3 + s, lambda x: 3 + x),
    (lambda s: 4 * s, lambda x: 4 * x),
    (lambda s: np.array([1.0, 2.0, 3.0, 4.0]) - s, lambda x: np.array([1.0, 2.0, 3.0, 4.0]) - x),
])
def test_reflected_operators_swap_inside_operation(pair, expr, expected):
    s, _ = pair
    r = expr(s)
    assert type(r) is TrackedSeries
    np.testing.assert_array_equal(r.to_numpy(), expected(s.to_numpy()))
    np.testing.assert_array_equal(r._prov, s._prov)
    assert r.index.equals(s.index)


def test_plain_series_on_the_left_adds_by_position(pair):
    s, _ = pair
    u = pd.Series([100.0, 200.0, 300.0, 400.0], index=[0, 1, 2, 3])
    r = u + s
    assert type(r) is TrackedSeries
    assert r.tolist() == [101.0, 202.0, 303.0, 404.0]
    assert r.index.equals(s.index)
    np.testing.assert_array_equal(r._prov, s._prov)


def test_no_tracker_ignores_other_words(pair):
    s, t = pair
    s._tracker = None
    r = s + t
    np.testing.assert_array_equal(r._prov, s._prov)
    assert r._prov is not s._prov and r._tracker is None


def test_result_takes_self_tracker(pair):
    s, t = pair
    other = ProvenanceTracker()
    t._tracker = other
    assert (s + t)._tracker is s._tracker
    assert (t + s)._tracker is other


def test_negation_advances_chain(pair, tracker):
    s, _ = pair
    r = -s
    assert r.tolist() == [-1.0, -2.0, -3.0, -4.0]
    np.testing.assert_array_equal(r._prov, per_element_chain(tracker, s._prov, OpCode.NEG))
    assert r.name is None


def test_negating_booleans_inverts_them_like_pandas(tracker):
    s = TrackedSeries([True, False, True], _prov=source_words(tracker, "t", "f", 3), _tracker=tracker)
    r = -s
    assert r.tolist() == [False, True, False] == (-pd.Series([True, False, True])).tolist()
    np.testing.assert_array_equal(r._prov, per_element_chain(tracker, s._prov, OpCode.NEG))


def test_empty_series_calls_codec_with_empty_arrays(tracker):
    s = TrackedSeries([], dtype=float, _tracker=tracker)
    r = s + s
    assert len(r) == 0 and r._prov.dtype == np.uint32 and len(r._prov) == 0
    assert len((-s)._prov) == 0


def test_element_errors_propagate_before_provenance(pair, monkeypatch):
    s, _ = pair
    monkeypatch.setattr(v, "combine_batch", lambda *a: pytest.fail("codec reached"))
    with pytest.raises(ValueError):
        s + TrackedSeries([1.0, 2.0, 3.0])


def test_op_code_is_converted_or_rejected(pair, tracker):
    s, t = pair
    r = s._binop(t, np.add, 3.0)
    np.testing.assert_array_equal(r._prov, per_element_combine(tracker, s._prov, t._prov, 3))
    with pytest.raises(TypeError, match="op_code"):
        s._binop(t, np.add, "3")
    with pytest.raises(TypeError, match="op_code"):
        s._unop(np.negative, None)


def test_result_of_custom_op_does_not_alias_its_array(pair):
    s, _ = pair
    held = np.array([9.0, 9.0, 9.0, 9.0])
    r = s._binop(0, lambda a, b: held, OpCode.ADD)
    held[0] = -1.0
    assert r.iloc[0] == 9.0


FRESH_RESULTS = {
    "int8": lambda n: np.arange(n, dtype=np.int8),
    "uint16": lambda n: np.arange(n, dtype=np.uint16) * 300,
    "int64": lambda n: np.arange(n, dtype=np.int64) - 2**40,
    "float32": lambda n: np.linspace(0, 1, n, dtype=np.float32),
    "float64": lambda n: np.array([np.nan, -0.0, 1e300, 2.5])[:n],
    "complex": lambda n: np.arange(n) * (1 + 2j),
    "bool": lambda n: np.arange(n) % 2 == 0,
    "object-text": lambda n: np.array(["x"] * n, dtype=object),
    "object-mixed": lambda n: np.array([1, "a", None, 2.5][:n], dtype=object),
    "datetime-days": lambda n: np.arange(n).astype("datetime64[D]"),
    "timedelta": lambda n: np.arange(n).astype("timedelta64[ns]"),
    "big-endian": lambda n: np.arange(n, dtype=">f8"),
}


@pytest.mark.parametrize("kind", list(FRESH_RESULTS))
def test_fresh_result_gives_the_series_the_constructor_gives(pair, tracker, kind):
    s, t = pair

    @v._fresh
    def op(a, b):
        return FRESH_RESULTS[kind](len(a))

    r = s._binop(t, op, OpCode.ADD)
    assert type(r) is TrackedSeries
    pd.testing.assert_series_equal(r, pd.Series(FRESH_RESULTS[kind](4), index=s.index),
                                   check_series_type=False)
    assert r.name is None and r.attrs == {} and r.flags.allows_duplicate_labels
    np.testing.assert_array_equal(r._prov, per_element_combine(tracker, s._prov, t._prov, OpCode.ADD))
    assert r._tracker is tracker
    # a usable series: renamed, copied and sliced like any other
    assert r.rename("z").name == "z"
    copied = r.copy()
    assert type(copied) is TrackedSeries and copied._prov is r._prov
    pd.testing.assert_series_equal(copied, r)
    assert r.iloc[1:].index.equals(s.index[1:])


def test_fresh_numeric_result_is_taken_without_copy(pair):
    s, t = pair
    made = []

    @v._fresh
    def op(a, b):
        made.append(np.add(a, b))
        return made[-1]

    r = s._binop(t, op, OpCode.ADD)
    assert np.shares_memory(r.to_numpy(), made[0])
    r.iloc[0] = -5.0
    assert s.iloc[0] == 1.0 and t.iloc[0] == 4.0


@pytest.mark.parametrize("result", [np.zeros(5), np.zeros(3), np.zeros((4, 1))],
                         ids=["longer", "shorter", "2-d"])
def test_fresh_result_of_wrong_shape_is_refused_like_the_constructor(pair, result):
    s, _ = pair
    with pytest.raises(ValueError) as plain:
        pd.Series(result.copy(), index=s.index)
    with pytest.raises(ValueError) as tracked:
        s._binop(0, v._fresh(lambda a, b: result.copy()), OpCode.ADD)
    assert str(tracked.value) == str(plain.value)


def test_default_construction_has_zero_words():
    s = TrackedSeries([1, 2, 3])
    assert s._prov.dtype == np.uint32 and s._prov.tolist() == [0, 0, 0]
    assert s._tracker is None
    given_prov = [5, 6, 7]
    assert TrackedSeries([1, 2, 3], _prov=given_prov)._prov is given_prov


@given(
    values=st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=20),
    taints=st.lists(st.booleans(), min_size=2, max_size=2),
    depths=st.lists(st.integers(0, 7), min_size=2, max_size=2),
    op=st.sampled_from(BINARY),
)
def test_combined_words_follow_the_algebra(values, taints, depths, op):
    tracker = ProvenanceTracker()
    n = len(values)
    ids = [tracker.register("t", c) for c in ("a", "b")]
    words = [np.full(n, tracker.encode({pid}, taint=ta, depth=d), dtype=np.uint32)
             for pid, ta, d in zip(ids, taints, depths)]
    s = TrackedSeries(values, _prov=words[0], _tracker=tracker)
    t = TrackedSeries(values[::-1], _prov=words[1], _tracker=tracker)
    with np.errstate(all="ignore"):
        r = op[0](s, t)
    for w in r._prov.tolist():
        assert tracker.decode(w) == set(ids)
        assert ProvenanceTracker.is_tainted(w) == any(taints)
        assert ProvenanceTracker.get_depth(w) == min(max(depths) + 1, 7)


# -- in-place operators ----------------------------------------------------------

def test_inplace_operator_replaces_words(pair, tracker):
    s, t = pair
    alias = s
    expected = per_element_combine(tracker, s._prov, t._prov, OpCode.ADD)
    s += t
    assert s is alias
    assert s.tolist() == [5.0, 5.0, 5.0, 12.0]
    np.testing.assert_array_equal(s._prov, expected)


# -- transforms ------------------------------------------------------------------

TRANSFORMS = [
    ("clip", lambda s: s.clip(0, 2.5), OpCode.CLIP),
    ("fillna", lambda s: s.fillna(), OpCode.FILL),
    ("fillna-5", lambda s: s.fillna(5), OpCode.FILL),
    ("map", lambda s: s.map({1.0: 10.0, 2.0: 20.0}), OpCode.MAP),
    ("replace", lambda s: s.replace(1.0, 100.0), OpCode.MAP),
    ("replace-dict", lambda s: s.replace({1.0: 100.0, 3.0: 30.0}), OpCode.MAP),
    ("map-na-action", lambda s: s.map(lambda x: x * 2, na_action="ignore"), OpCode.MAP),
]


@pytest.fixture
def gappy(tracker):
    return TrackedSeries([1.0, np.nan, 2.0, 3.0], index=list("abcd"), name="g",
                         _prov=source_words(tracker, "t", "g", 4, protected=True), _tracker=tracker)


@pytest.mark.parametrize("name, call, code", TRANSFORMS, ids=[t[0] for t in TRANSFORMS])
def test_transform_advances_every_word(gappy, tracker, name, call, code):
    r = call(gappy)
    assert type(r) is TrackedSeries
    assert r.index.equals(gappy.index) and r.name is None and r._tracker is tracker
    np.testing.assert_array_equal(r._prov, per_element_chain(tracker, gappy._prov, code))


@pytest.mark.parametrize("name, call, code", TRANSFORMS, ids=[t[0] for t in TRANSFORMS])
def test_transform_without_tracker_copies_words(gappy, name, call, code):
    gappy._tracker = None
    r = call(gappy)
    np.testing.assert_array_equal(r._prov, gappy._prov)
    assert r._prov is not gappy._prov


@pytest.mark.parametrize("call, expected", [
    (lambda s: s.clip(0, 2.5), [1.0, np.nan, 2.0, 2.5]),
    (lambda s: s.clip(lower=2), [2.0, np.nan, 2.0, 3.0]),
    (lambda s: s.clip(upper=1.5), [1.0, np.nan, 1.5, 1.5]),
    (lambda s: s.fillna(), [1.0, 0.0, 2.0, 3.0]),
    (lambda s: s.fillna(-1), [1.0, -1.0, 2.0, 3.0]),
    (lambda s: s.map({1.0: 10.0, 2.0: 20.0}), [10.0, np.nan, 20.0, np.nan]),
    (lambda s: s.replace(1.0, 100.0), [100.0, np.nan, 2.0, 3.0]),
    (lambda s: s.replace({1.0: 100.0, 3.0: 30.0}), [100.0, np.nan, 2.0, 30.0]),
])
def test_transform_values_match_pandas(gappy, call, expected):
    np.testing.assert_array_equal(call(gappy).to_numpy(), np.array(expected))


def test_replace_and_map_give_the_same_words(gappy):
    np.testing.assert_array_equal(gappy.replace(1.0, 100.0)._prov,
                                  gappy.map(lambda x: x)._prov)


def test_transform_codec_called_once_with_whole_array(gappy, monkeypatch):
    calls = []
    real = v.update_chain_batch

    def spy(rust, words, code):
        calls.append(code)
        return real(rust, words, code)

    monkeypatch.setattr(v, "update_chain_batch", spy)
    gappy.fillna(0)
    gappy.clip(0, 1)
    gappy.map(str)
    assert calls == [OpCode.FILL, OpCode.CLIP, OpCode.MAP]


def test_fillna_inplace_is_rejected_before_any_change(gappy):
    values, prov = gappy.to_numpy().copy(), gappy._prov
    with pytest.raises(ValueError, match="inplace"):
        gappy.fillna(0, inplace=True)
    np.testing.assert_array_equal(gappy.to_numpy(), values)
    assert gappy._prov is prov


@pytest.mark.parametrize("kwargs", [{}, {"keep_shape": True}, {"align_axis": 0}],
                         ids=["default", "keep-shape", "rows"])
def test_compare_works_although_fillna_refuses_inplace(pair, tracker, kwargs):
    # pandas' compare fills its mask of differences in place.
    s, t = pair
    other = TrackedSeries([1.0, 5.0, 3.0, 9.0], index=s.index, _tracker=tracker)
    r = s.compare(other, **kwargs)
    expected = pd.Series(s).compare(pd.Series(other), **kwargs)
    if r.ndim == 2:
        pd.testing.assert_frame_equal(pd.DataFrame(r), expected)
    else:
        pd.testing.assert_series_equal(pd.Series(r), expected)
    assert isinstance(r, (TrackedSeries, v.TrackedDataFrame)) and r._tracker is tracker
    with pytest.raises(TypeError, match="can only compare"):
        s.compare(pd.Series(other))


@pytest.mark.parametrize("args", [(1.0, 100.0), ({1.0: 100.0},)], ids=["pair", "dict"])
def test_replace_inplace_is_left_to_pandas(gappy, args):
    prov = gappy._prov
    words = prov.copy()
    out = gappy.replace(*args, inplace=True)
    if PANDAS_GE_30:
        assert out is gappy
    else:
        assert out is None
    assert gappy.iloc[0] == 100.0
    assert gappy._prov is prov
    np.testing.assert_array_equal(gappy._prov, words)


def test_clip_takes_axis_and_refuses_inplace(gappy):
    with pytest.raises(ValueError, match="inplace=True"):
        gappy.clip(0, 1, inplace=True)
    clipped = gappy.clip(0, 1, axis=0)
    assert clipped.equals(gappy.clip(0, 1))
    np.testing.assert_array_equal(clipped._prov, gappy.clip(0, 1)._prov)


# -- results of plain pandas operations -------------------------------------------

PANDAS_OPS = {
    "head": lambda s: s.head(2),
    "tail": lambda s: s.tail(2),
    "abs": lambda s: s.abs(),
    "eq": lambda s: s == 2.0,
    "ne": lambda s: s != 2.0,
    "mod": lambda s: s % 2,
    "copy": lambda s: s.copy(),
    "slice": lambda s: s[1:3],
    "iloc": lambda s: s.iloc[[0, 2]],
    "loc": lambda s: s.loc[[11, 12]],
    "mask": lambda s: s[s.to_numpy() > 1],
    "sort_values": lambda s: s.sort_values(ascending=False),
    "round": lambda s: s.round(1),
    "astype": lambda s: s.astype("float32"),
    "rank": lambda s: s.rank(),
    "cumsum": lambda s: s.cumsum(),
    "flex-add": lambda s: s.add(s, fill_value=0),
    "where": lambda s: s.where(s.to_numpy() > 1),
    "rename": lambda s: s.rename("other"),
    "reset_index": lambda s: s.reset_index(drop=True),
    "isna": lambda s: s.isna(),
}


@pytest.mark.parametrize("name", list(PANDAS_OPS))
def test_pandas_operations_stay_tracked(pair, name):
    s, _ = pair
    r = PANDAS_OPS[name](s)
    assert type(r) is TrackedSeries
    assert r._prov is s._prov
    assert r._tracker is s._tracker


class AuditedSeries(TrackedSeries):
    """A subclass with its own constructor and one more attribute."""

    _metadata = TrackedSeries._metadata + ["audited_by"]
    audited_by = None

    @property
    def _constructor(self):
        return AuditedSeries


@pytest.mark.parametrize("name", ["head", "abs", "sort_values", "copy", "rename", "astype"])
def test_pandas_results_keep_a_subclass_and_its_attributes(pair, name):
    s, _ = pair
    a = AuditedSeries(s.to_numpy(), index=s.index, _prov=s._prov, _tracker=s._tracker)
    a.audited_by = "ops"
    r = PANDAS_OPS[name](a)
    assert type(r) is AuditedSeries
    assert r.audited_by == "ops" and r._prov is s._prov and r._tracker is s._tracker


@pytest.mark.parametrize("name, expected", [
    ("head", "s"), ("copy", "s"), ("slice", "s"), ("abs", "s"), ("sort_values", "s"),
    ("eq", "s"), ("rename", "other"),
])
def test_pandas_operations_keep_the_name(pair, name, expected):
    s, _ = pair
    assert PANDAS_OPS[name](s).name == expected


def test_equality_with_tracked_operand_carries_self_words(pair):
    s, t = pair
    r = s.reset_index(drop=True) == t.reset_index(drop=True)
    assert type(r) is TrackedSeries
    assert r._prov is s._prov


def test_head_keeps_the_source_array(tracker):
    s = TrackedSeries([1, 2, 3, 4, 5], _prov=source_words(tracker, "t", "a", 5), _tracker=tracker)
    h = s.head(2)
    assert len(h) == 2 and h._prov is s._prov and len(h._prov) == 5


def test_to_frame_and_concat(pair):
    s, t = pair
    f = s.to_frame()
    assert type(f).__name__ == "TrackedDataFrame"
    np.testing.assert_array_equal(f["s"]._prov, s._prov)
    c = pd.concat([s, t])
    assert type(c) is TrackedSeries and c._tracker is s._tracker
    np.testing.assert_array_equal(c._prov, np.concatenate([s._prov, t._prov]))


def test_pickle_round_trip_keeps_name_and_words():
    s = TrackedSeries([1.5, 2.5], index=["x", "y"], name="amount", _prov=np.array([3, 4], np.uint32))
    r = pickle.loads(pickle.dumps(s))
    assert type(r) is TrackedSeries and r.name == "amount"
    assert r._prov.tolist() == [3, 4] and r.tolist() == [1.5, 2.5]


def test_values_are_never_written_in_place(pair):
    s, t = pair
    before = s.to_numpy().copy()
    for r in (s + t, s * 2, -s, s.clip(0, 1), s.fillna(0)):
        r.iloc[0] = -999.0
    np.testing.assert_array_equal(s.to_numpy(), before)
