"""Folding stored lineage graphs into counted boxes, and drawing them."""
from __future__ import annotations

import shutil

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("fastapi")

from morvel.utilities.persistence._web import lineage_view as lv  # noqa: E402

TAINT = 1 << 29


def node(nid, node_type="BINARY", operation="add", table=None, column=None, protected=False, fp=None):
    return {"node_id": nid, "fingerprint": nid if fp is None else fp, "node_type": node_type,
            "operation": operation, "table_name": table, "column_name": column, "is_protected": protected}


def edge(p, c, pos):
    return {"parent_id": p, "child_id": c, "position": pos}


def brute_force_partition(graph):
    """Nodes grouped by their whole upstream derivation written out as a
    nested value (exponential, fine for small graphs)."""
    nodes = {n["node_id"]: n for n in graph["nodes"]}
    parents = {nid: set() for nid in nodes}
    for e in graph["edges"]:
        parents[e["child_id"]].add((e["position"], e["parent_id"]))

    def tree(nid):
        n = nodes[nid]
        attrs = (n["node_type"], n["operation"], n["table_name"], n["column_name"], bool(n["is_protected"]),
                 bool(n["fingerprint"] & TAINT))
        return attrs, frozenset((pos, tree(p)) for pos, p in parents[nid])

    groups = {}
    for nid in nodes:
        groups.setdefault(tree(nid), set()).add(nid)
    return {frozenset(g) for g in groups.values()}


@st.composite
def dags(draw):
    n = draw(st.integers(1, 12))
    nodes = []
    for nid in range(n):
        # few distinct attributes, so that many nodes look alike and only
        # their inputs tell them apart
        kind = draw(st.sampled_from(["SOURCE", "BINARY"]))
        protected = draw(st.booleans())
        nodes.append(node(nid, kind, "add", table=draw(st.sampled_from([None, "t"])), protected=protected,
                          fp=(TAINT if draw(st.booleans()) else 0) + 1000 + nid))
    edges = []
    for child in range(1, n):
        for parent in draw(st.lists(st.integers(0, child - 1), max_size=3, unique=True)):
            edges.append(edge(parent, child, draw(st.integers(0, 1))))
    return {"root": n - 1, "nodes": nodes, "edges": edges}


@settings(max_examples=300, deadline=None)
@given(dags())
def test_folding_groups_exactly_the_nodes_with_the_same_derivation(graph):
    folded = lv.fold(graph)
    assert {frozenset(b.node_ids) for b in folded.boxes} == brute_force_partition(graph)
    assert sum(b.count for b in folded.boxes) == len(graph["nodes"])
    box_of = {nid: b.box_id for b in folded.boxes for nid in b.node_ids}
    assert folded.root == box_of[graph["root"]]
    # every stored edge is one of the links between boxes, and no link is made up
    expected = {(box_of[e["parent_id"]], box_of[e["child_id"]], e["position"]) for e in graph["edges"]}
    assert {(p, c, pos) for p, c, positions in folded.links for pos in positions} == expected
    assert [b.box_id for b in folded.boxes] == list(range(len(folded.boxes)))


def test_thousands_of_repeated_rows_fold_into_their_few_steps():
    rows = 2000
    nodes, edges = [], []
    for r in range(rows):  # (income / age) + debt for every row, each value its own word
        base = 10 * r
        nodes += [node(base, "SOURCE", "people.income", "people", "income", fp=base + 1),
                  node(base + 1, "SOURCE", "people.age", "people", "age", protected=True, fp=TAINT + base + 2),
                  node(base + 2, "SOURCE", "people.debt", "people", "debt", fp=base + 3),
                  node(base + 3, "BINARY", "div", fp=TAINT + base + 4),
                  node(base + 4, "BINARY", "add", fp=TAINT + base + 5)]
        edges += [edge(base, base + 3, 0), edge(base + 1, base + 3, 1), edge(base + 3, base + 4, 0),
                  edge(base + 2, base + 4, 1)]
    folded = lv.fold({"root": 4, "nodes": nodes, "edges": edges})
    assert [(b.operation, b.count, b.kind) for b in folded.boxes] == [
        ("people.income", rows, "source"), ("people.age", rows, "protected"), ("people.debt", rows, "source"),
        ("div", rows, "tainted"), ("add", rows, "tainted")]
    assert folded.protected_links == {(1, 3), (3, 4)}  # age -> div -> add
    assert "\u00d7 2,000" in lv.to_dot(folded)


def test_nodes_on_a_cycle_keep_their_own_boxes():
    graph = {"root": 2, "nodes": [node(0, "SOURCE"), node(1), node(2), node(3)],
             "edges": [edge(0, 1, 0), edge(1, 2, 0), edge(2, 1, 1), edge(2, 3, 0)]}
    folded = lv.fold(graph)
    assert sorted(b.count for b in folded.boxes) == [1, 1, 1, 1]
    assert {(p, c) for p, c, _ in folded.links} == {(0, 1), (1, 2), (2, 1), (2, 3)}


NASTY = ['<script>alert("x")</script>', 'back\\slash "quoted"', "line\nbreak\x1b[31m", "a&b <i>"]


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz 'dot' is not installed")
@pytest.mark.parametrize("name", NASTY)
def test_stored_names_reach_the_svg_as_text_only(name):
    graph = {"root": 1, "nodes": [node(0, "SOURCE", name, name, name, protected=True, fp=TAINT + 1),
                                  node(1, "UNARY", name, fp=TAINT + 2)],
             "edges": [edge(0, 1, 0)]}
    svg, note = lv.render_svg(lv.to_dot(lv.fold(graph)))
    assert svg is not None, note
    import xml.etree.ElementTree as ET

    root = ET.fromstring(svg)
    texts = " ".join(t.text or "" for t in root.iter("{http://www.w3.org/2000/svg}text"))
    shown = "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in name)
    assert shown in texts  # the name is drawn as it is, control characters made visible
    tags = {e.tag.rsplit("}", 1)[-1] for e in root.iter()}
    assert tags <= lv._ALLOWED_TAGS and "script" not in tags
    assert not any(a.lower().startswith("on") for e in root.iter() for a in e.attrib)


@pytest.mark.parametrize("svg, survives", [
    ('<svg xmlns="http://www.w3.org/2000/svg"><script>alert(1)</script><g><text>ok</text></g></svg>', "ok"),
    ('<svg xmlns="http://www.w3.org/2000/svg" onload="alert(1)"><g onclick="x()"><text>ok</text></g></svg>', "ok"),
    ('<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink">'
     '<a xlink:href="javascript:alert(1)"><text>ok</text></a><foreignObject><b>x</b></foreignObject></svg>', "ok"),
])
def test_svg_cleaning_keeps_drawing_and_drops_active_content(svg, survives):
    cleaned = lv._clean_svg(svg)
    assert survives in cleaned
    for bad in ("script", "onload", "onclick", "javascript", "foreignObject"):
        assert bad not in cleaned
    assert lv._clean_svg("<svg><unclosed>") is None
