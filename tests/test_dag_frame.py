"""DAGTrackedDataFrame and wrap_dataframe_dag, on the compiled and the
per-cell path (``tracker`` fixture)."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvel.utilities.vortel32 import OpCode, ProvenanceTracker
from morvel.utilities.vortel32_dag import (
    DAGTrackedDataFrame,
    DAGTrackedSeries,
    DAGTracker,
    NodeType,
    get_dag_for_series,
    wrap_dataframe_dag,
)


class CellTracker(DAGTracker):
    def encode(self, *args, **kwargs):
        return super().encode(*args, **kwargs)


@pytest.fixture(params=["stock", "per_cell"])
def tracker(request):
    return DAGTracker() if request.param == "stock" else CellTracker()


def test_wrap_creates_one_source_node_per_column(tracker):
    frame = pd.DataFrame({"a": [1, 2, 3], "b": [4.0, 5.0, 6.0]})
    f = wrap_dataframe_dag(frame, tracker, "t")
    assert isinstance(f, DAGTrackedDataFrame) and f._tracker is tracker
    assert f._col_nodes["a"].tolist() == [0, 0, 0] and f._col_nodes["b"].tolist() == [1, 1, 1]
    assert f._col_nodes["a"].dtype == np.int64 and f._col_prov["a"].dtype == np.uint32
    src = tracker.get_node(0)
    assert (src.node_type, src.operation, src.table, src.column, src.pair_id) == (
        NodeType.SOURCE, "t.a", "t", "a", 0)
    assert src.provenance == int(f._col_prov["a"][0])
    assert tracker._source_nodes == {("t", "a"): 0, ("t", "b"): 1}
    assert f.equals(frame)


def test_wrap_words_are_per_cell_source_words(tracker):
    frame = pd.DataFrame({"a": [1, 2, 3]}, index=[10, -1, 300])
    f = wrap_dataframe_dag(frame, tracker, "t", ["a"])
    ref = ProvenanceTracker()
    pid = ref.register("t", "a", True)
    expected = [ref.encode({pid}, entity=ref.entity_from_row(label) % 256, taint=True)
                for label in frame.index]
    assert f._col_prov["a"].tolist() == expected
    g = wrap_dataframe_dag(frame, tracker, "u", include_entity=False)
    assert {ref.decode_full(int(w)).entity for w in g._col_prov["a"]} == {0}


@pytest.mark.parametrize("protected, expect", [
    (["a"], {"a": True, "b": False}),
    (("b",), {"a": False, "b": True}),
    ({"a", "b"}, {"a": True, "b": True}),
    ([], {"a": False, "b": False}),
    (True, {"a": True, "b": True}),
    ("a", {"a": True, "b": True}),  # a string is not a name list: its truth counts
    (frozenset(), {"a": False, "b": False}),
    (False, {"a": False, "b": False}),
])
def test_protection_forms(tracker, protected, expect):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1], "b": [2]}), tracker, "t", protected)
    for col, flag in expect.items():
        assert ProvenanceTracker.is_tainted(int(f._col_prov[col][0])) is flag
        assert tracker.get_node(int(f._col_nodes[col][0])).is_protected is flag
    assert "t" not in tracker._protected_tables  # never protected at table level here


def test_numeric_labels_match_names_by_text(tracker):
    frame = pd.DataFrame({1: [1.0], "x": [2.0], 2: [3.0]})
    f = wrap_dataframe_dag(frame, tracker, "t", ["1", "x"])
    assert [ProvenanceTracker.is_tainted(int(f._col_prov[c][0])) for c in frame.columns] == [
        True, True, False]


def test_row_values_recorded_per_cell_except_nan(tracker):
    frame = pd.DataFrame({"a": [1.5, np.nan], "s": ["x", "y"]})
    f = wrap_dataframe_dag(frame, tracker, "t")
    recs = [(r.row_index, r.node_operation, r.column_name, r.value, r.text_value, r.fingerprint)
            for r in tracker._value_buffer]
    pa, ps = f._col_prov["a"].tolist(), f._col_prov["s"].tolist()
    assert recs == [(0, "t.a", "a", 1.5, None, pa[0]),
                    (0, "t.s", "s", None, "x", ps[0]), (1, "t.s", "s", None, "y", ps[1])]
    # the NaN cell still has its word and node
    assert f._col_nodes["a"].tolist() == [0, 0] and pa[1] != 0


@pytest.mark.parametrize("columns, recorded", [
    # an int + float32 frame has float64 rows: the float32 NaN becomes a
    # float64 NaN there and is skipped
    ({"i": [1, 2]}, [("i", 1.0), ("i", 2.0), ("f", 0.5)]),
    # alone, float32 rows keep the float32 NaN, which is recorded
    ({}, [("f", "nan"), ("f", 0.5)]),
    # with a bool column the rows are objects holding each column's own scalar
    ({"b": [True, False]}, [("b", 1.0), ("b", 0.0), ("f", "nan"), ("f", 0.5)]),
])
def test_row_values_are_the_cells_of_the_row_series(tracker, columns, recorded):
    frame = pd.DataFrame({**columns, "f": np.array([np.nan, 0.5], np.float32)})
    wrap_dataframe_dag(frame, tracker, "t")
    got = [(r.column_name, "nan" if r.value != r.value else r.value) for r in tracker._value_buffer]
    assert got == recorded


def test_empty_frame_registers_columns_without_nodes(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [], "b": []}), tracker, "t")
    assert tracker._next_node_id == 0 and tracker.get_id("t", "b") == 1
    assert f._col_prov["a"].tolist() == [] and f._col_nodes["b"].tolist() == []
    col = f["a"]
    assert isinstance(col, DAGTrackedSeries) and len(col) == 0


def test_table_must_be_text(tracker):
    with pytest.raises(TypeError, match="Argument 'table' has incorrect type"):
        wrap_dataframe_dag(pd.DataFrame({"a": [1]}), tracker, b"t")
    assert tracker._next_id == 0


def test_selection_copies_arrays_and_drops_the_name(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), tracker, "t")
    col = f["a"]
    assert col.name is None and col._tracker is tracker
    assert col._prov.tolist() == f._col_prov["a"].tolist() and col._prov is not f._col_prov["a"]
    assert col._node_ids is not f._col_nodes["a"]


def test_plain_assigned_column_has_zero_words_and_no_nodes(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), tracker, "t")
    f["c"] = pd.Series([5, 6])
    col = f["c"]
    assert col._prov.tolist() == [0, 0]
    assert col._node_ids.tolist() == [-1, -1]  # never node 0, the first source
    assert get_dag_for_series(col, 0) is None


def test_assignment_of_tracked_series_copies_words_and_nodes(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), tracker, "t")
    s = f["a"] + f["b"]
    f["c"] = s
    assert f._col_prov["c"].tolist() == s._prov.tolist() and f._col_prov["c"] is not s._prov
    assert f._col_nodes["c"].tolist() == s._node_ids.tolist()
    f["a"] = pd.Series([9.0, 9.0])  # a plain series leaves the entry
    assert f._col_nodes["a"].tolist() == [0, 0]


def test_filtered_frame_gives_first_entry_to_every_row(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2, 3]}), tracker, "t")
    sub = f[f["a"] > 1]
    assert isinstance(sub, DAGTrackedDataFrame)
    col = sub["a"]
    assert col._prov.tolist() == [int(f._col_prov["a"][0])] * 2
    assert col._node_ids.tolist() == [0, 0]


def test_merge_logs_one_merge_node_per_carried_column(tracker):
    left = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2], "x": [3, 4]}), tracker, "l")
    right = wrap_dataframe_dag(pd.DataFrame({"k": [2, 1], "y": [5, 6]}), tracker, "r")
    before = tracker._next_node_id
    m = left.merge(right, on="k")
    assert isinstance(m, DAGTrackedDataFrame) and m._tracker is tracker
    assert tracker._next_node_id == before + 3  # k and x from the left, y from the right
    k_node = tracker.get_node(int(m._col_nodes["k"][0]))
    assert (k_node.node_type, k_node.operation, k_node.inputs) == (NodeType.UNARY, "merge", [0])
    assert m._col_prov["k"].tolist() == [tracker.update_chain(int(left._col_prov["k"][0]),
                                                              OpCode.MERGE)] * 2
    assert tracker.get_node(int(m._col_nodes["y"][0])).inputs == [3]
    assert m["k"]._node_ids.tolist() == [before] * 2


def test_merge_column_with_empty_node_array_gets_words_but_no_node(tracker):
    left = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2]}), tracker, "l")
    left._col_nodes["k"] = np.array([], dtype=np.int64)
    before = tracker._next_node_id
    m = left.merge(pd.DataFrame({"k": [1, 2]}), on="k")
    assert tracker._next_node_id == before
    assert "k" in m._col_prov and "k" not in m._col_nodes
    assert m["k"]._node_ids.tolist() == [-1, -1]


def test_frame_operations_stay_tracked(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), tracker, "t")
    for out in (f.head(1), f[["a"]], f.copy(), f.iloc[::-1]):
        assert isinstance(out, DAGTrackedDataFrame) and out._tracker is tracker
        assert out._col_nodes is f._col_nodes
    assert isinstance(f.iloc[0], DAGTrackedSeries)


def test_callable_key_selects_the_column_with_its_arrays(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2], "b": [3, 4]}), tracker, "t")
    calls = []

    def pick(frame):
        calls.append(frame)
        return "b"

    col = f[pick]
    assert len(calls) == 1 and calls[0] is f
    assert col.tolist() == [3, 4] and col.name is None
    assert col._prov.tolist() == f._col_prov["b"].tolist()
    assert col._node_ids.tolist() == [1, 1]
    assert f[lambda d: d["a"].to_numpy() > 1]["b"].tolist() == [4]


# pandas' own methods select columns through __getitem__ and read their
# labels from the selected series' names.
LABEL_READING_OPS = {
    "groupby-frame": lambda d: d.groupby("k")[["a", "b"]].sum(),
    "groupby-series": lambda d: d.groupby("k")["a"].sum(),
    "pivot_table": lambda d: d.pivot_table(index="k", values="a", aggfunc="sum"),
    "pivot": lambda d: d.iloc[:3].pivot(columns="k", values="a"),
    "explode": lambda d: d.explode("l"),
    "value_counts": lambda d: d.value_counts(subset=["k"]),
    "pop": lambda d: d.copy().pop("a"),
    "drop_duplicates": lambda d: d.drop_duplicates(subset=["k"]),
    "drop_duplicates-last": lambda d: d.drop_duplicates(subset=["k", "b"], keep="last"),
}


@pytest.mark.parametrize("name", list(LABEL_READING_OPS))
def test_pandas_methods_reading_column_labels_match_plain_pandas(tracker, name):
    df = pd.DataFrame({"k": ["x", "y", "x", "z"], "a": [1.0, 2.0, 3.0, 4.0],
                       "b": [4, 3, 4, 1], "l": [[1, 2], [3], [4], [5]]})
    f = wrap_dataframe_dag(df, tracker, "t", ["a"])
    plain = LABEL_READING_OPS[name](df)
    tracked = LABEL_READING_OPS[name](f)
    if isinstance(plain, pd.DataFrame):
        pd.testing.assert_frame_equal(pd.DataFrame(tracked), plain)
    else:
        pd.testing.assert_series_equal(pd.Series(tracked), plain)
    # the user's own selection stays nameless
    assert f["a"].name is None


def test_popped_column_keeps_its_name_words_and_nodes(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), tracker, "t")
    words = f._col_prov["b"].tolist()
    g = f.copy()
    col = g.pop("b")
    assert isinstance(col, DAGTrackedSeries) and col.name == "b" and list(g.columns) == ["a"]
    assert col._prov.tolist() == words and col._node_ids.tolist() == [1, 1]


def test_drop_duplicates_keeps_the_tracker_and_the_first_rows(tracker):
    f = wrap_dataframe_dag(pd.DataFrame({"k": [1, 1, 2, 1], "a": [5.0, 6.0, 7.0, 8.0]}),
                           tracker, "t")
    out = f.drop_duplicates(subset=["k"])
    assert isinstance(out, DAGTrackedDataFrame) and out._tracker is tracker
    assert out.index.tolist() == [0, 2] and out["a"].tolist() == [5.0, 7.0]
