"""get_dag_for_series, dag_audit and combine_provenances."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from morvel.utilities.vortel32 import OpCode
from morvel.utilities.vortel32_dag import (
    DAGTrackedSeries,
    DAGTracker,
    combine_provenances,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)

NO_DATA = {"error": "No tracker or empty series"}


@pytest.fixture
def wrapped():
    t = DAGTracker()
    frame = pd.DataFrame({"age": [30.0, 40.0, 50.0], "income": [1.0, 2.0, 3.0]})
    return t, wrap_dataframe_dag(frame, t, "people", ["age"])


def test_audit_of_a_wrapped_column_row_zero(wrapped):
    t, f = wrapped
    report = dag_audit(f["age"])
    word = int(f._col_prov["age"][0])
    assert list(report) == ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables",
                            "entity", "chain", "taint", "depth", "risk", "has_protected", "dag"]
    assert report["provenance"] == f"0x{word:08X}" and len(report["provenance"]) == 10
    assert (report["pair_count"], report["pair_ids"], report["columns"], report["tables"]) == (
        1, [0], [("people", "age")], ["people"])
    assert (report["taint"], report["depth"], report["risk"], report["has_protected"]) == (
        True, 0, 1.0, True)
    assert report["entity"] == 0 and report["mode"] == t.get_mode(word)
    assert report["dag"] == {"depth": 0, "node_count": 1, "operation_counts": {"people.age": 1},
                             "sources": [("people", "age")],
                             "protected_sources": [("people", "age")]}


def test_audit_of_the_last_row_via_minus_one(wrapped):
    t, f = wrapped
    r = (f["age"] + f["income"]) * f["income"]
    report = dag_audit(r, -1)
    assert report["provenance"] == f"0x{int(r._prov[2]):08X}"
    assert report["entity"] == 2  # row label 2 ^ row label 2 ... folded per row
    dag = report["dag"]
    assert dag["depth"] == 2 and dag["node_count"] == 4
    assert dag["operation_counts"] == {"mul": 1, "add": 1, "people.income": 1, "people.age": 1}
    assert dag["sources"] == [("people", "income"), ("people", "age")]
    assert dag["protected_sources"] == [("people", "age")]
    assert get_dag_for_series(r, -1).root_id == int(r._node_ids[2])


def test_audit_entity_of_other_rows(wrapped):
    _, f = wrapped
    assert [dag_audit(f["age"], i)["entity"] for i in range(3)] == [0, 1, 2]


@pytest.mark.parametrize("make", [
    lambda: DAGTrackedSeries([1.0, 2.0]),  # no tracker
    lambda: DAGTrackedSeries([], dtype=float, _tracker=DAGTracker()),  # empty
])
def test_unusable_series_give_the_error_report(make):
    series = make()
    assert dag_audit(series) == NO_DATA
    assert get_dag_for_series(series) is None


def test_series_without_nodes_gets_no_dag_entry(wrapped):
    t, f = wrapped
    s = DAGTrackedSeries([1.0, 2.0], _prov=f._col_prov["age"][:2].copy(), _tracker=t)
    assert s._node_ids.tolist() == [-1, -1]
    report = dag_audit(s)
    assert "dag" not in report and report["taint"] is True


@pytest.mark.parametrize("row", [3, 10, -4])
def test_get_dag_beyond_the_node_ids_is_none(wrapped, row):
    _, f = wrapped
    assert get_dag_for_series(f["age"], row) is None


def test_audit_beyond_the_words_raises_index_error(wrapped):
    _, f = wrapped
    with pytest.raises(IndexError):
        dag_audit(f["age"], 3)


def test_row_index_must_be_a_number(wrapped):
    _, f = wrapped
    with pytest.raises(TypeError, match="Argument 'row_index' has incorrect type"):
        dag_audit(f["age"], "0")
    assert get_dag_for_series(f["age"], 1.9).root_id == 0  # numbers truncate


def test_combine_provenances(wrapped):
    t, f = wrapped
    a, b = t.get_node(0).provenance, t.get_node(1).provenance
    assert combine_provenances(t, []) == 0
    assert combine_provenances(t, [77, 78]) == 0
    assert combine_provenances(t, [0]) == a
    assert combine_provenances(t, [99, 1]) == b
    assert combine_provenances(t, [0, 1]) == t.combine(a, b, OpCode.CUSTOM)
    assert combine_provenances(t, (0, 1), OpCode.ADD) == t.combine(a, b, OpCode.ADD)
    assert combine_provenances(t, iter([1, 5, 0])) == t.combine(b, a, OpCode.CUSTOM)


def test_combine_provenances_takes_the_next_word_while_the_result_is_zero():
    t = DAGTracker()
    zero = t.create_source_node("t", "z", 0)
    one = t.create_source_node("t", "o", 12345)
    assert combine_provenances(t, [zero, one]) == 12345


def test_audit_after_eviction_reports_from_the_nodes_that_remain():
    t = DAGTracker()
    t._max_nodes = 30
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(20.0)}), t, "t")
    r = -f["a"]
    r2 = -r
    assert t.get_node(int(r._node_ids[0])) is None  # evicted
    assert t.get_node(int(r._node_ids[-1])) is not None
    dag = get_dag_for_series(r2, 0)
    with pytest.raises(KeyError):  # the graph's own depth keeps its contract
        dag.depth
    report = dag_audit(r2, 0)
    # Only the root is left of r2[0]'s graph: depth over it is 0, one input
    # id is reported missing, and the word part of the report is intact.
    assert report["dag"]["depth"] == 0
    assert report["dag"]["node_count"] == 1
    assert report["dag"]["missing_nodes"] == 1
    assert report["columns"] == dag_audit(r2, -1)["columns"]
    complete = dag_audit(r2, -1)["dag"]
    assert complete["depth"] == 2 and "missing_nodes" not in complete


@settings(max_examples=40)
@given(st.integers(min_value=8, max_value=60), st.integers(min_value=2, max_value=6),
       st.data())
def test_audit_depth_after_eviction_matches_a_walk_over_the_remaining_nodes(cap, steps, data):
    t = DAGTracker()
    t._max_nodes = cap
    f = wrap_dataframe_dag(pd.DataFrame({"a": np.arange(6.0), "b": np.arange(6.0)}), t, "t")
    s = f["a"]
    for _ in range(steps):
        s = s + f["b"] if data.draw(st.booleans()) else -s
    row = data.draw(st.integers(min_value=0, max_value=5))
    report = dag_audit(s, row)
    dag = get_dag_for_series(s, row)
    if dag is None:
        assert "dag" not in report
        return

    def longest(node_id):  # brute force: recursion over stored nodes only
        ins = [i for i in dag.nodes[node_id].inputs if i in dag.nodes]
        return 1 + max((longest(i) for i in ins), default=-1)

    assert report["dag"]["depth"] == longest(dag.root_id)
    missing = {i for n in dag.nodes.values() for i in n.inputs if i not in dag.nodes}
    assert report["dag"].get("missing_nodes", 0) == len(missing)
