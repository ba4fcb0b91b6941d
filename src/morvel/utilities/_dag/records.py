"""DAG records: node types, nodes, edges and the computation graph of a
result value with its queries and exports."""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from enum import Enum, auto
from typing import Any, Dict, List, Optional

from morvel.utilities._argcheck import as_int
from morvel.utilities._word.tracker import ProvenanceTracker


class NodeType(Enum):
    """Types of nodes in the computation DAG."""

    SOURCE = auto()
    CONSTANT = auto()
    UNARY = auto()
    BINARY = auto()
    AGGREGATE = auto()
    MERGE = auto()
    FILTER = auto()
    CUSTOM = auto()


def _dot_text(value: Any) -> str:
    """Text of ``value`` for a double-quoted DOT string: backslashes and
    double quotes are escaped so that a name can neither end the string early
    nor smuggle DOT escapes or statements into the graph text."""
    text = str(value)
    if "\\" in text or '"' in text:
        text = text.replace("\\", "\\\\").replace('"', '\\"')
    return text


@dataclass(slots=True)
class DAGNode:
    """A node in the computation DAG.

    A node is either a source column (a leaf: ``node_type`` SOURCE, with
    ``table``, ``column`` and ``pair_id`` set and no inputs) or a
    computation step (an internal node whose ``inputs`` name the node ids it
    was computed from, left operand first).  ``provenance`` is the VORTEL-32
    word of the value the node produced.

    >>> DAGNode(3, NodeType.BINARY, "add", [1, 2], 42).to_dict()["provenance"]
    '0x0000002A'
    """

    node_id: int
    node_type: NodeType
    operation: str
    inputs: List[int]
    provenance: int
    metadata: Dict[str, Any] = field(default_factory=dict)
    table: Optional[str] = None
    column: Optional[str] = None
    pair_id: Optional[int] = None
    is_protected: bool = False

    @property
    def is_source(self) -> bool:
        """True for a source-column node."""
        return self.node_type == NodeType.SOURCE

    @property
    def is_leaf(self) -> bool:
        """True when the node has no inputs."""
        return not self.inputs

    def _label(self) -> str:
        if self.table and self.column:
            return f"{self.table}.{self.column}"
        if self.operation:
            return self.operation
        return f"node_{self.node_id}"

    def to_dict(self) -> Dict[str, Any]:
        """Export the node as a dictionary of 11 keys (``inputs`` and
        ``metadata`` are the node's own objects, not copies)."""
        return {
            "id": self.node_id,
            "name": self._label(),
            "type": self.node_type.name,
            "operation": self.operation,
            "inputs": self.inputs,
            "provenance": f"0x{self.provenance:08X}",
            "table": self.table,
            "column": self.column,
            "pair_id": self.pair_id,
            "is_protected": self.is_protected,
            "metadata": self.metadata,
        }


@dataclass(slots=True)
class DAGEdge:
    """An edge in the computation DAG."""

    source_id: int
    target_id: int
    input_index: int

    def to_dict(self) -> Dict[str, int]:
        """Export as {"source": ..., "target": ..., "input_index": ...}."""
        return {
            "source": self.source_id,
            "target": self.target_id,
            "input_index": self.input_index,
        }


@dataclass
class ComputationDAG:
    """Complete computation graph for a result value.

    ``nodes`` holds the stored node records upstream of ``root_id`` (the root
    included) in breadth-first order from the root; ``edges`` holds one edge
    per input position of every node in ``nodes``, possibly naming inputs
    that are no longer stored.
    """

    root_id: int
    nodes: Dict[int, DAGNode]
    edges: List[DAGEdge]

    @property
    def depth(self) -> int:
        """Longest path, in edges, from the root down to a leaf.

        Walks the graph with an explicit stack (no recursion, so chains of any
        length work), visiting inputs in order and computing each shared
        sub-graph once.  Raises ``KeyError`` with the first node id the walk
        reaches that is not in ``nodes``, and ``ValueError`` when the nodes'
        inputs form a cycle.
        """
        nodes = self.nodes
        root = self.root_id
        node = nodes[root]
        if not node.inputs:
            return 0
        memo: Dict[int, int] = {}
        on_path = {root}
        # Frames are [node id, its inputs, next input position, best depth].
        stack: List[List[Any]] = [[root, node.inputs, 0, -1]]
        while stack:
            frame = stack[-1]
            inputs = frame[1]
            pos = frame[2]
            if pos < len(inputs):
                frame[2] = pos + 1
                child = inputs[pos]
                d = memo.get(child)
                if d is None:
                    if child in on_path:
                        raise ValueError(f"computation graph has a cycle through node {child!r}")
                    child_node = nodes[child]
                    if child_node.inputs:
                        on_path.add(child)
                        stack.append([child, child_node.inputs, 0, -1])
                        continue
                    d = memo[child] = 0
                if d > frame[3]:
                    frame[3] = d
            else:
                stack.pop()
                on_path.discard(frame[0])
                d = memo[frame[0]] = frame[3] + 1
                if stack and d > stack[-1][3]:
                    stack[-1][3] = d
        return memo[root]

    @property
    def source_nodes(self) -> List[DAGNode]:
        """The source nodes, in ``nodes`` order."""
        return [n for n in self.nodes.values() if n.is_source]

    @property
    def protected_sources(self) -> List[DAGNode]:
        """The source nodes marked protected, in ``nodes`` order."""
        return [n for n in self.source_nodes if n.is_protected]

    @property
    def has_protected(self) -> bool:
        """True when a protected source node is part of the graph."""
        return len(self.protected_sources) > 0

    @property
    def operation_counts(self) -> Dict[str, int]:
        """Number of nodes per operation text, sources included."""
        counts: Dict[str, int] = {}
        for n in self.nodes.values():
            counts[n.operation] = counts.get(n.operation, 0) + 1
        return counts

    def column_taint_risks(self) -> Dict[str, float]:
        """Highest taint risk per source column name (tainted words only)."""
        risks: Dict[str, float] = {}
        for n in self.nodes.values():
            if not n.column:
                continue
            if not ProvenanceTracker.is_tainted(n.provenance):
                continue
            risk = ProvenanceTracker.risk_score(n.provenance)
            if n.column not in risks or risk > risks[n.column]:
                risks[n.column] = risk
        return risks

    def to_dict(self) -> Dict[str, Any]:
        """Export the graph as a dictionary of 11 keys (reads ``depth``)."""
        sources = self.source_nodes
        protected = [n for n in sources if n.is_protected]
        return {
            "root_id": self.root_id,
            "depth": self.depth,
            "node_count": len(self.nodes),
            "edge_count": len(self.edges),
            "has_protected": len(protected) > 0,
            "taint_risks": self.column_taint_risks(),
            "sources": [n.to_dict() for n in sources],
            "protected_sources": [n.to_dict() for n in protected],
            "operation_counts": self.operation_counts,
            "nodes": {str(nid): n.to_dict() for nid, n in self.nodes.items()},
            "edges": [e.to_dict() for e in self.edges],
        }

    def to_json(self, indent: int = 2) -> str:
        """Standard JSON text of :meth:`to_dict` with ``indent`` spaces.

        >>> ComputationDAG(0, {0: DAGNode(0, NodeType.SOURCE, "t.c", [], 0,
        ...     table="t", column="c")}, []).to_json().splitlines()[1]
        '  "root_id": 0,'
        """
        indent = as_int(indent, "indent")
        return json.dumps(self.to_dict(), indent=indent)

    def to_graphviz(self) -> str:
        """Graphviz DOT text of the graph: sources at the bottom, the root
        highlighted, protected sources in amber.  Names are escaped for DOT
        strings."""
        lines = [
            "digraph ComputationDAG {",
            "  rankdir=BT;",
            "  node [shape=box, style=filled];",
            "",
        ]
        root = self.root_id
        for n in self.nodes.values():
            if n.is_source:
                label = f"{_dot_text(n.table)}\\n{_dot_text(n.column)}"
                color = "#f59e0b" if n.is_protected else "#22d3ee"
            else:
                label = _dot_text(n.operation)
                color = "#c084fc" if n.node_id == root else "#4ade80"
            lines.append(f'  n{n.node_id} [label="{label}", fillcolor="{color}"];')
        lines.append("")
        for e in self.edges:
            lines.append(f"  n{e.source_id} -> n{e.target_id};")
        lines.append("}")
        return "\n".join(lines)
