"""Exports of stored lineage (an ``SQLiteStorage`` file), as the ``morvel
export`` command writes them."""
from __future__ import annotations

import json
from typing import Any, Dict, List, Optional

from morvel._standards import openlineage, provdoc

#: ``--format`` values -> what they write.
EXPORT_FORMATS = {
    "openlineage": "OpenLineage run events, one JSON object per line",
    "prov-json": "W3C PROV-JSON",
    "prov-n": "W3C PROV-N",
    "prov-xml": "W3C PROV-XML",
    "dot": "Graphviz DOT",
}
_PROV = {"prov-json": "json", "prov-n": "provn", "prov-xml": "xml"}


def whole_graph_dot(lineage: Dict[str, Any]) -> str:
    """DOT text of a pipeline's whole stored graph, drawn like
    ``ComputationDAG.to_graphviz`` (nodes by id; no node is the root)."""
    from morvel.utilities.vortel32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

    nodes: Dict[int, Any] = {}
    edges: List[Any] = []
    for n in provdoc.nodes_from_stored(lineage):
        kind = NodeType[n.node_type] if n.node_type in NodeType.__members__ else NodeType.CUSTOM
        nodes[n.node_id] = DAGNode(node_id=n.node_id, node_type=kind, operation=_printable(n.operation),
                                   inputs=n.inputs, provenance=n.provenance,
                                   table=None if n.table is None else _printable(n.table),
                                   column=None if n.column is None else _printable(n.column),
                                   pair_id=n.pair_id, is_protected=n.is_protected)
        edges.extend(DAGEdge(source_id=p, target_id=n.node_id, input_index=i) for i, p in enumerate(n.inputs))
    return ComputationDAG(root_id=-1, nodes=nodes, edges=edges).to_graphviz()


def _printable(text: str) -> str:
    """Control characters written as escapes: stored names come from the
    service's clients and must not break DOT lines."""
    return "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in str(text))


def export_stored(storage: Any, pipeline_id: int, fmt: str, fingerprint: Optional[int] = None,
                  namespace: str = "morvel") -> str:
    """The stored lineage of ``pipeline_id`` in format ``fmt`` (a key of
    :data:`EXPORT_FORMATS`): the whole pipeline's graph, or with
    ``fingerprint`` the graph behind the node with that word.  OpenLineage
    describes the whole run, so it takes no fingerprint; every event is
    validated before it is returned.  Raises ``KeyError`` for an unknown
    pipeline or fingerprint and ``ValueError`` for a bad combination.
    """
    if fmt not in EXPORT_FORMATS:
        raise ValueError(f"format must be one of {', '.join(EXPORT_FORMATS)}, got {fmt!r}")
    if fmt == "openlineage":
        if fingerprint is not None:
            raise ValueError("OpenLineage events describe the whole run; --fingerprint applies to the "
                             "prov-json, prov-n, prov-xml and dot formats")
        events = openlineage.stored_openlineage_events(storage.pipeline_lineage(pipeline_id), namespace=namespace)
        lines = [json.dumps(openlineage.validate_openlineage_event(e), sort_keys=True) for e in events]
        return "\n".join(lines)
    if fingerprint is None:
        graph = storage.pipeline_lineage(pipeline_id)
    else:
        graph = storage.pipeline_graph(pipeline_id, fingerprint)
    if fmt == "dot":
        if fingerprint is not None:
            from morvel.cli import stored_graph_to_dot

            return stored_graph_to_dot(graph)
        return whole_graph_dot(graph)
    doc = provdoc.stored_prov_document(graph, scope=f"pipeline/{pipeline_id}")
    return provdoc.prov_to_text(doc, _PROV[fmt])
