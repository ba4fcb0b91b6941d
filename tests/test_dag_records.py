"""DAG records and ComputationDAG: exports, queries, DOT text and depth."""
from __future__ import annotations

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel.utilities.vortel32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

TAINT = 1 << 29
DEPTH = 1 << 26


def src(nid, table="people", column="age", prov=0, protected=False):
    return DAGNode(nid, NodeType.SOURCE, f"{table}.{column}", [], prov,
                   table=table, column=column, pair_id=0, is_protected=protected)


def step(nid, inputs, op="add", prov=0, kind=NodeType.BINARY):
    return DAGNode(nid, kind, op, list(inputs), prov)


# -- records -----------------------------------------------------------------


def test_node_type_members_and_values():
    assert [(m.name, m.value) for m in NodeType] == [
        ("SOURCE", 1), ("CONSTANT", 2), ("UNARY", 3), ("BINARY", 4),
        ("AGGREGATE", 5), ("MERGE", 6), ("FILTER", 7), ("CUSTOM", 8),
    ]
    assert not isinstance(NodeType.SOURCE, int)


def test_binary_node_export():
    d = DAGNode(7, NodeType.BINARY, "add", [1, 2], 42).to_dict()
    assert list(d) == ["id", "name", "type", "operation", "inputs", "provenance",
                       "table", "column", "pair_id", "is_protected", "metadata"]
    assert (d["provenance"], d["name"], d["type"], d["inputs"]) == ("0x0000002A", "add", "BINARY", [1, 2])


@pytest.mark.parametrize(
    "kwargs, label",
    [
        (dict(operation="whatever", table="people", column="age"), "people.age"),
        (dict(operation="", table=None, column=None), "node_5"),
        (dict(operation="scale", table="people", column=None), "scale"),
        (dict(operation="scale", table="", column="age"), "scale"),
        (dict(operation="", table="people", column=""), "node_5"),
    ],
)
def test_display_label(kwargs, label):
    node = DAGNode(5, NodeType.UNARY, kwargs.pop("operation"), [], 0, **kwargs)
    assert node.to_dict()["name"] == label


@pytest.mark.parametrize("prov, text", [(0, "0x00000000"), (0x1A2F3, "0x0001A2F3"), (0xFC000000, "0xFC000000")])
def test_provenance_hex(prov, text):
    assert DAGNode(0, NodeType.UNARY, "x", [], prov).to_dict()["provenance"] == text


def test_node_dict_shares_inputs_and_metadata():
    node = DAGNode(1, NodeType.UNARY, "neg", [0], 3, metadata={"k": 1})
    d = node.to_dict()
    assert d["inputs"] is node.inputs and d["metadata"] is node.metadata


def test_node_equality_hashing_and_default_metadata():
    a = DAGNode(1, NodeType.UNARY, "neg", [0], 3)
    b = DAGNode(1, NodeType.UNARY, "neg", [0], 3)
    assert a == b and a is not b
    assert a.metadata == {} and a.metadata is not b.metadata
    assert a != DAGNode(1, NodeType.UNARY, "neg", [0], 4)
    with pytest.raises(TypeError):
        {a: 1}
    with pytest.raises(TypeError):
        a < b  # noqa: B015 - records are not ordered


def test_node_is_slotted_and_buildable_field_by_field():
    # A native bulk path builds records with __new__ and plain slot stores.
    ref = DAGNode(4, NodeType.BINARY, "mul", [1, 2], 99, metadata={"a": 1},
                  table=None, column=None, pair_id=None, is_protected=True)
    built = DAGNode.__new__(DAGNode)
    for name in DAGNode.__slots__:
        setattr(built, name, getattr(ref, name))
    assert built == ref and repr(built) == repr(ref)
    assert not hasattr(ref, "__dict__")
    with pytest.raises(AttributeError):
        ref.extra = 1


def test_source_and_leaf_properties():
    s = src(0)
    assert s.is_source and s.is_leaf
    empty_step = step(1, [], op="const", kind=NodeType.CONSTANT)
    assert empty_step.is_leaf and not empty_step.is_source
    assert not step(2, [0]).is_leaf


def test_edge_export_and_equality():
    e = DAGEdge(source_id=4, target_id=9, input_index=1)
    assert e.to_dict() == {"source": 4, "target": 9, "input_index": 1}
    assert list(e.to_dict()) == ["source", "target", "input_index"]
    assert e == DAGEdge(4, 9, 1)
    with pytest.raises(TypeError):
        hash(e)


# -- ComputationDAG queries --------------------------------------------------


def chain_dag():
    """source 0, unary 1 (input 0), binary 2 (inputs 1 and 0), rooted at 2."""
    nodes = {2: step(2, [1, 0], "add"), 1: step(1, [0], "neg", kind=NodeType.UNARY), 0: src(0)}
    edges = [DAGEdge(1, 2, 0), DAGEdge(0, 2, 1), DAGEdge(0, 1, 0)]
    return ComputationDAG(2, nodes, edges)


def test_single_source_graph():
    g = ComputationDAG(0, {0: src(0)}, [])
    assert g.depth == 0
    assert g.source_nodes == [g.nodes[0]] and not g.has_protected
    assert g.operation_counts == {"people.age": 1}
    assert g.to_graphviz().split("\n")[4] == '  n0 [label="people\\nage", fillcolor="#22d3ee"];'


def test_chain_graph_dot_text_line_for_line():
    g = chain_dag()
    assert g.depth == 2
    assert g.to_graphviz() == "\n".join([
        "digraph ComputationDAG {",
        "  rankdir=BT;",
        "  node [shape=box, style=filled];",
        "",
        '  n2 [label="add", fillcolor="#c084fc"];',
        '  n1 [label="neg", fillcolor="#4ade80"];',
        '  n0 [label="people\\nage", fillcolor="#22d3ee"];',
        "",
        "  n1 -> n2;",
        "  n0 -> n2;",
        "  n0 -> n1;",
        "}",
    ])


def test_protected_source_colour_and_none_names():
    g = ComputationDAG(0, {0: DAGNode(0, NodeType.SOURCE, "x", [], TAINT, is_protected=True)}, [])
    assert g.to_graphviz().split("\n")[4] == '  n0 [label="None\\nNone", fillcolor="#f59e0b"];'


@pytest.mark.parametrize(
    "node, label",
    [
        (src(0, table='a"b', column="c\\d"), 'a\\"b\\nc\\\\d'),
        (step(0, [], op='x"];\n  evil [label="y'), 'x\\"];\n  evil [label=\\"y'),
        (step(0, [], op="path\\n"), "path\\\\n"),
    ],
)
def test_dot_escapes_quotes_and_backslashes(node, label):
    line = ComputationDAG(0, {0: node}, []).to_graphviz().split("\n", 4)[4]
    assert line.startswith(f'  n0 [label="{label}", fillcolor=')
    # Inside the label every double quote is escaped, so the string cannot end early.
    inner = line[len('  n0 [label="'):line.index('", fillcolor=')]
    i = 0
    while i < len(inner):
        if inner[i] == "\\":
            i += 2
            continue
        assert inner[i] != '"'
        i += 1


def test_empty_graph():
    g = ComputationDAG(42, {}, [])
    assert g.to_graphviz().split("\n") == [
        "digraph ComputationDAG {", "  rankdir=BT;", "  node [shape=box, style=filled];", "", "", "}"]
    with pytest.raises(KeyError) as err:
        g.depth
    assert err.value.args == (42,)
    with pytest.raises(KeyError):
        g.to_json()
    assert g.source_nodes == [] and g.operation_counts == {} and g.column_taint_risks() == {}


def test_missing_input_raises_key_error_with_its_id():
    g = ComputationDAG(3, {3: step(3, [1, 2]), 1: step(1, [0], kind=NodeType.UNARY), 0: src(0)}, [])
    with pytest.raises(KeyError) as err:
        g.depth
    assert err.value.args == (2,)


def test_taint_risks_share_column_name_and_skip_untainted():
    nodes = {
        0: src(0, "loans", "age", TAINT | 2 * DEPTH, True),   # risk 1/3
        1: src(1, "people", "age", TAINT, True),              # risk 1.0
        2: src(2, "people", "zip", 0, False),                 # untainted: skipped
        3: step(3, [0, 1], prov=TAINT),                       # no column: skipped
    }
    g = ComputationDAG(3, nodes, [])
    assert g.column_taint_risks() == {"age": 1.0}
    assert [n.node_id for n in g.protected_sources] == [0, 1] and g.has_protected


def test_derived_protected_nodes_do_not_count_as_protected_sources():
    g = ComputationDAG(1, {1: DAGNode(1, NodeType.UNARY, "neg", [0], TAINT, is_protected=True), 0: src(0)}, [])
    assert not g.has_protected and g.protected_sources == []


def test_to_dict_shape_and_json_text():
    g = chain_dag()
    d = g.to_dict()
    assert list(d) == ["root_id", "depth", "node_count", "edge_count", "has_protected", "taint_risks",
                       "sources", "protected_sources", "operation_counts", "nodes", "edges"]
    assert list(d["nodes"]) == ["2", "1", "0"]
    assert (d["node_count"], d["edge_count"], d["depth"]) == (3, 3, 2)
    assert d["operation_counts"] == {"add": 1, "neg": 1, "people.age": 1}
    assert g.to_json() == json.dumps(d, indent=2)
    assert g.to_json(indent=0) == json.dumps(d, indent=0)
    assert g.to_json(1.9) == json.dumps(d, indent=1)
    assert not g.to_json().endswith("\n")


def test_json_escapes_non_ascii():
    g = ComputationDAG(0, {0: src(0, table="tabl\u00e9", column="\u00e2ge")}, [])
    text = g.to_json()
    assert "\\u00e9" in text and "\u00e9" not in text


@pytest.mark.parametrize("indent", [None, "2", [2]])
def test_json_indent_type_error(indent):
    with pytest.raises(TypeError, match=r"^Argument 'indent' has incorrect type \(expected int, got "):
        chain_dag().to_json(indent)


def test_json_rejects_unserialisable_metadata():
    np = pytest.importorskip("numpy")
    g = ComputationDAG(0, {0: DAGNode(0, NodeType.UNARY, "x", [], 0, metadata={"v": np.int64(3)})}, [])
    with pytest.raises(TypeError):
        g.to_json()


# -- depth: the iterative walk against the recursive definition ---------------


def reference_depth(nodes, root):
    memo = {}

    def walk(nid):
        if nid in memo:
            return memo[nid]
        node = nodes[nid]
        if node.is_leaf:
            d = 0
        else:
            d = 1 + max(walk(i) for i in node.inputs)
        memo[nid] = d
        return d

    return walk(root)


@st.composite
def random_dags(draw):
    n = draw(st.integers(1, 25))
    nodes = {}
    for nid in range(n):
        inputs = draw(st.lists(st.integers(0, nid - 1), max_size=3)) if nid else []
        nodes[nid] = step(nid, inputs)
    # Drop some nodes to model eviction, and pick any root (also unknown ones).
    dropped = draw(st.sets(st.integers(0, n), max_size=3))
    for nid in dropped:
        nodes.pop(nid, None)
    root = draw(st.integers(0, n))
    return nodes, root


@given(random_dags())
def test_depth_matches_recursive_definition(case):
    nodes, root = case
    g = ComputationDAG(root, dict(nodes), [])
    try:
        expected = reference_depth(nodes, root)
    except KeyError as exc:
        with pytest.raises(KeyError) as err:
            g.depth
        assert err.value.args == exc.args
    else:
        assert g.depth == expected


def test_depth_of_very_deep_chain():
    n = 50_000
    nodes = {0: src(0)}
    for nid in range(1, n):
        nodes[nid] = step(nid, [nid - 1, 0])
    assert ComputationDAG(n - 1, nodes, []).depth == n - 1


def test_depth_detects_cycle():
    g = ComputationDAG(1, {1: step(1, [2]), 2: step(2, [1])}, [])
    with pytest.raises(ValueError, match="cycle"):
        g.depth
