"""A stored lineage graph made readable: identical steps folded into one box
with a count, drawn by Graphviz as SVG or laid out as a table.

The store keeps one node per fingerprint, so the graph behind one value
joins the derivations of every row whose value carries the same word: a
score computed for ten thousand rows gives thousands of nodes that repeat
the same dozen steps.  :func:`fold` groups nodes whose whole upstream
derivation is the same (same kind, operation, source and protection, fed by
the same groups at the same input positions), which turns such a graph back
into the dozen steps, each with the number of stored nodes it stands for.
"""
from __future__ import annotations

import shutil
import subprocess
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Set, Tuple

#: Bit of the provenance word that marks a value derived from a protected source.
TAINT_BIT = 1 << 29

#: Colours of the drawing and its legend: (key, fill colour, legend text).
LEGEND: Tuple[Tuple[str, str, str], ...] = (
    ("source", "#cfe3f7", "source column"),
    ("protected", "#f4a3a3", "protected source column"),
    ("tainted", "#fbd49b", "step derived from a protected source"),
    ("clean", "#e8e8e8", "step without protected input"),
)
COLOURS: Dict[str, str] = {key: colour for key, colour, _ in LEGEND}
PROTECTED_EDGE = "#c0392b"
#: Folded graphs with more boxes than this are shown as a table only.
MAX_DRAWN_BOXES = 400


@dataclass
class Box:
    """One folded step: ``count`` stored nodes with the same derivation."""

    box_id: int
    node_type: str
    operation: str
    table_name: Optional[str]
    column_name: Optional[str]
    is_protected: bool
    tainted: bool
    node_ids: List[int] = field(default_factory=list)
    fingerprints: List[int] = field(default_factory=list)
    inputs: List[Tuple[int, int]] = field(default_factory=list)  # (position, box id), sorted

    @property
    def count(self) -> int:
        return len(self.node_ids)

    @property
    def kind(self) -> str:
        """The legend key of the box."""
        if self.node_type == "SOURCE":
            return "protected" if self.is_protected else "source"
        return "tainted" if self.tainted or self.is_protected else "clean"

    @property
    def source(self) -> str:
        """``table.column`` of a source box, else empty."""
        if self.table_name or self.column_name:
            return f"{self.table_name or ''}.{self.column_name or ''}"
        return ""


@dataclass
class FoldedGraph:
    """The boxes of a stored graph, the box of its root, and the links
    ``(parent box, child box, positions)`` between boxes."""

    root: int
    boxes: List[Box]
    links: List[Tuple[int, int, Tuple[int, ...]]]
    stored_nodes: int
    stored_edges: int

    @property
    def protected_links(self) -> Set[Tuple[int, int]]:
        """Links on a path from a protected source: both ends carry taint."""
        hot = {b.box_id for b in self.boxes if b.kind in ("protected", "tainted")}
        return {(p, c) for p, c, _ in self.links if p in hot and c in hot}


def _attributes(node: Mapping[str, Any]) -> Tuple[Any, ...]:
    return (
        str(node.get("node_type") or ""),
        str(node.get("operation") or ""),
        node.get("table_name"),
        node.get("column_name"),
        bool(node.get("is_protected")),
        bool(int(node.get("fingerprint") or 0) & TAINT_BIT),
    )


def fold(graph: Mapping[str, Any]) -> FoldedGraph:
    """Fold a stored graph (``SQLiteStorage.pipeline_graph``) into boxes.

    Two nodes share a box exactly when their upstream derivations are the
    same: equal attributes and the same set of (input position, parent box)
    links.  Nodes on a cycle (possible when different values share a word)
    and the nodes below one keep a box of their own.
    """
    nodes = {int(n["node_id"]): n for n in graph["nodes"]}
    parents: Dict[int, Set[Tuple[int, int]]] = {nid: set() for nid in nodes}
    children: Dict[int, Set[int]] = {nid: set() for nid in nodes}
    for e in graph["edges"]:
        p, c = int(e["parent_id"]), int(e["child_id"])
        if p in nodes and c in nodes:
            parents[c].add((int(e["position"]), p))
            children[p].add(c)
    # Kahn's order from the sources, so every parent has its box first
    waiting = {nid: len({p for _, p in ps}) for nid, ps in parents.items()}
    ready = sorted(nid for nid, n in waiting.items() if n == 0)
    order: List[int] = []
    while ready:
        nid = ready.pop()
        order.append(nid)
        for child in children[nid]:
            waiting[child] -= 1
            if waiting[child] == 0:
                ready.append(child)
    on_cycle = sorted(set(nodes) - set(order))
    box_of: Dict[int, int] = {}
    by_signature: Dict[Tuple[Any, ...], int] = {}
    for nid in order:
        links = tuple(sorted({(pos, box_of[p]) for pos, p in parents[nid]}))
        sig = _attributes(nodes[nid]) + (links,)
        if sig not in by_signature:
            by_signature[sig] = len(by_signature)
        box_of[nid] = by_signature[sig]
    for nid in on_cycle:
        sig = ("cycle", nid)
        by_signature[sig] = len(by_signature)
        box_of[nid] = by_signature[sig]
    first: Dict[int, int] = {}
    for nid in sorted(nodes):
        first.setdefault(box_of[nid], nid)
    rank = {b: k for k, b in enumerate(sorted(first, key=first.__getitem__))}
    box_of = {nid: rank[b] for nid, b in box_of.items()}
    made: Dict[int, Box] = {}
    for nid in sorted(nodes):
        b = box_of[nid]
        box = made.get(b)
        if box is None:
            n = nodes[nid]
            attrs = _attributes(n)
            box = made[b] = Box(b, attrs[0], attrs[1], attrs[2], attrs[3], attrs[4], attrs[5])
        box.node_ids.append(nid)
        box.fingerprints.append(int(nodes[nid]["fingerprint"]))
    link_positions: Dict[Tuple[int, int], Set[int]] = {}
    for c, ps in parents.items():
        for pos, p in ps:
            link_positions.setdefault((box_of[p], box_of[c]), set()).add(pos)
    for (p, c), positions in link_positions.items():
        made[c].inputs.extend((pos, p) for pos in positions)
    for box in made.values():
        box.inputs = sorted(set(box.inputs))
    # boxes are numbered by their smallest node id, for a stable picture
    boxes = [made[b] for b in sorted(made)]
    root = int(graph["root"])
    return FoldedGraph(
        root=box_of.get(root, 0),
        boxes=boxes,
        links=sorted((p, c, tuple(sorted(pos))) for (p, c), pos in link_positions.items()),
        stored_nodes=len(nodes),
        stored_edges=len(graph["edges"]),
    )


def saved_value_graph(storage: Any, pipeline_id: int, row: str, column: str = ""
                      ) -> Optional[Tuple[Dict[str, Any], int, str, List[Dict[str, Any]]]]:
    """The graph of one value a lineage pipeline saved with its node blocks
    (``Pipeline.save`` / ``live=True``), in the form of
    ``SQLiteStorage.pipeline_graph`` (one entry per node of that value's
    own lineage, not per word), with the value's word, its column and the
    pipeline's saved columns holding row ``row`` (as ``{"output_name"}``);
    None when the pipeline saved no value at that row."""
    from morvel.utilities._columnar_store import SavedLineage, _connection
    from morvel.utilities._lineage_db import find_value

    with _connection(storage) as conn:
        has = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'lineage_values'").fetchone()
        if has is None:
            return None
        names = [r[0] for r in conn.execute(
            "SELECT DISTINCT v.column_name FROM lineage_values v JOIN lineage_stores s ON s.id = v.store_id "
            "WHERE s.pipeline_id = ? ORDER BY v.output_no, v.id", (pipeline_id,))]
        found = {}
        for name in ([column] if column in names else []) + [n for n in names if n != column]:
            hit = find_value(conn, name, row, pipeline_id)
            if hit is not None:
                found[name] = hit
                if len(found) == 1:
                    column = name
    if not found:
        return None
    store_id, node_id, word, _ = found[column]
    dag = SavedLineage(storage, store_id).get_dag(node_id)
    graph = {
        "pipeline_id": pipeline_id,
        "root": node_id,
        "nodes": [{"node_id": n.node_id, "fingerprint": n.provenance, "node_type": n.node_type.name,
                   "operation": n.operation, "table_name": n.table, "column_name": n.column,
                   "is_protected": n.is_protected} for n in dag.nodes.values()],
        "edges": [{"parent_id": e.source_id, "child_id": e.target_id, "position": e.input_index}
                  for e in dag.edges],
    }
    return graph, word, column, [{"output_name": name} for name in found]


def _dot_text(text: str) -> str:
    """``text`` inside a DOT double-quoted string: control characters as
    visible escapes, backslashes and quotes escaped."""
    shown = "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in text)
    return shown.replace("\\", "\\\\").replace('"', '\\"')


def _label(box: Box) -> str:
    lines = [box.source if box.node_type == "SOURCE" and box.source else box.operation or box.node_type]
    if box.node_type != "SOURCE":
        lines.append(box.node_type.lower())
    if box.count > 1:
        lines.append(f"\u00d7 {box.count:,}")
    return "\\n".join(_dot_text(line) for line in lines if line)


def to_dot(folded: FoldedGraph) -> str:
    """Graphviz DOT of a folded graph: sources at the top, the value at the
    bottom, boxes coloured as :data:`LEGEND`, the protected path in red."""
    out = [
        "digraph lineage {",
        '  graph [rankdir=TB, bgcolor="transparent", fontname="Helvetica", nodesep=0.3, ranksep=0.45];',
        '  node [shape=box, style="rounded,filled", fontname="Helvetica", fontsize=11, color="#555555"];',
        '  edge [color="#777777", arrowsize=0.7, fontname="Helvetica", fontsize=9];',
    ]
    hot = folded.protected_links
    for box in folded.boxes:
        extra = ', penwidth=2.5, color="#222222"' if box.box_id == folded.root else ""
        if box.count > 1:
            extra += ', peripheries=2'
        out.append(f'  b{box.box_id} [label="{_label(box)}", fillcolor="{COLOURS[box.kind]}"{extra}];')
    for p, c, positions in folded.links:
        attrs = []
        if (p, c) in hot:
            attrs.append(f'color="{PROTECTED_EDGE}", penwidth=2')
        if len(folded.boxes[c].inputs) > 1:
            attrs.append(f'label="{",".join(str(x) for x in positions)}"')
        out.append(f"  b{p} -> b{c} [{', '.join(attrs)}];" if attrs else f"  b{p} -> b{c};")
    out.append("}")
    return "\n".join(out)


_SVG_NS = "http://www.w3.org/2000/svg"
_XLINK_NS = "http://www.w3.org/1999/xlink"
ET.register_namespace("", _SVG_NS)
ET.register_namespace("xlink", _XLINK_NS)
_ALLOWED_TAGS = frozenset({"svg", "g", "title", "polygon", "path", "ellipse", "text", "polyline", "a", "defs"})


def _clean_svg(svg_text: str) -> Optional[str]:
    """Graphviz's SVG reduced to drawing elements (no scripts, event
    attributes or links), or None when it cannot be parsed."""
    try:
        root = ET.fromstring(svg_text)
    except ET.ParseError:
        return None
    for parent in list(root.iter()):
        for child in list(parent):
            if child.tag.rsplit("}", 1)[-1] not in _ALLOWED_TAGS:
                parent.remove(child)
    for element in root.iter():
        for name in list(element.attrib):
            local = name.rsplit("}", 1)[-1].lower()
            if local.startswith("on") or local == "href" or local == "style":
                del element.attrib[name]
    root.set("role", "img")
    root.set("aria-label", "lineage graph")
    root.set("class", "lineage-graph")
    return ET.tostring(root, encoding="unicode")


def render_svg(dot_text: str, dot: Optional[str] = None, timeout: float = 30.0) -> Tuple[Optional[str], str]:
    """``(svg, note)``: the SVG drawn by Graphviz's ``dot`` (found on the
    PATH when not given), or None with a note saying why not."""
    exe = dot or shutil.which("dot")
    if exe is None:
        return None, "Graphviz is not installed"
    try:
        proc = subprocess.run([exe, "-Tsvg"], input=dot_text, capture_output=True, text=True, timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return None, f"Graphviz could not draw the graph ({type(exc).__name__})"
    if proc.returncode != 0:
        return None, f"Graphviz failed ({proc.returncode})"
    start = proc.stdout.find("<svg")
    svg = _clean_svg(proc.stdout[start:]) if start >= 0 else None
    if svg is None:
        return None, "Graphviz gave no usable SVG"
    return svg, ""


def table_rows(folded: FoldedGraph) -> List[Dict[str, Any]]:
    """One row per box for the table view: "box", "kind", "step", "source",
    "count", "inputs" (text), "example" (a fingerprint in hexadecimal)."""
    return [
        {
            "box": b.box_id,
            "kind": b.kind,
            "step": b.node_type if b.node_type == "SOURCE" else f"{b.operation} ({b.node_type.lower()})",
            "source": b.source,
            "count": b.count,
            "inputs": ", ".join(f"#{p}" for _, p in b.inputs) or "-",
            "example": f"0x{b.fingerprints[0]:08X}",
            "root": b.box_id == folded.root,
        }
        for b in folded.boxes
    ]
