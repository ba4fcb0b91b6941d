"""Column-level lineage of a result frame, in one neutral form.

Both exporters start from :class:`FieldLineage`: for one output column, the
(table, column) sources its values derive from and, per source, the kinds of
step met on the way ("transformation", "aggregation", "join", "filter"; none
at all means the value is the source's own).  The sources come from the
provenance words' pairs, so the word-level tracker works too; a DAG tracker
(or a stored graph) adds the kinds of step from its nodes.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import (
    Any,
    Callable,
    Dict,
    FrozenSet,
    Iterable,
    List,
    Optional,
    Sequence,
    Tuple,
)

import numpy as np

Source = Tuple[str, str]

TRANSFORMATION = "transformation"
AGGREGATION = "aggregation"
JOIN = "join"
FILTER = "filter"


@dataclass
class FieldLineage:
    """Lineage of one output column.

    ``sources`` maps each (table, column) source to the kinds of step found
    between it and the column (an empty set: the value is the source's own).
    The risk fields are those of ``column_risk_report``.
    """

    name: str
    sources: Dict[Source, FrozenSet[str]] = field(default_factory=dict)
    tainted: bool = False
    max_risk: float = 0.0
    min_depth: Optional[int] = None
    risk_level: str = "CLEAN"


@dataclass
class TableSchema:
    """One input table: its columns in registration order, the protected ones,
    and a type name per column when the caller handed the frame in."""

    name: str
    columns: List[str] = field(default_factory=list)
    protected: List[str] = field(default_factory=list)
    types: Dict[str, str] = field(default_factory=dict)


def node_kind(node_type: Optional[str], operation: Optional[str]) -> Optional[str]:
    """The kind of step one graph node stands for; None for a source.

    Merges are logged as "merge" unary nodes (a carried column) or as MERGE
    nodes named "merge_<how>"; both mean the value arrived through a join.

    >>> node_kind("BINARY", "mul"), node_kind("UNARY", "merge"), node_kind("SOURCE", "t.c")
    ('transformation', 'join', None)
    """
    if node_type == "SOURCE":
        return None
    op = operation or ""
    if node_type == "MERGE" or op == "merge" or op.startswith("merge_"):
        return JOIN
    if node_type == "AGGREGATE":
        return AGGREGATION
    if node_type == "FILTER":
        return FILTER
    return TRANSFORMATION


class GraphSummaries:
    """Per node of a lineage graph, the sources upstream of it and the kinds
    of step on the way, computed once per node and shared.

    ``get(node_id)`` returns ``(type name, operation, inputs, source)`` for a
    node (``source`` is the (table, column) of a source node, else None), or
    None for a node that is not known (evicted).  Summaries are interned, so a
    graph of a million nodes built from a handful of column operations holds
    a handful of summaries.
    """

    def __init__(self, get: Callable[[int], Optional[Tuple[str, str, Sequence[int], Optional[Source]]]]) -> None:
        self._get = get
        self._memo: Dict[int, int] = {}
        self._interned: Dict[FrozenSet[Tuple[Source, FrozenSet[str]]], int] = {}
        self._values: List[FrozenSet[Tuple[Source, FrozenSet[str]]]] = []
        self._steps: Dict[Tuple[Optional[str], Tuple[int, ...]], int] = {}
        self._empty = self._intern(frozenset())

    def _intern(self, value: FrozenSet[Tuple[Source, FrozenSet[str]]]) -> int:
        found = self._interned.get(value)
        if found is None:
            found = self._interned[value] = len(self._values)
            self._values.append(value)
        return found

    def _combine(self, kind: Optional[str], inputs: Tuple[int, ...]) -> int:
        key = (kind, inputs)
        found = self._steps.get(key)
        if found is None:
            out = set()
            for sid in inputs:
                for src, kinds in self._values[sid]:
                    out.add((src, kinds | {kind} if kind else kinds))
            found = self._steps[key] = self._intern(frozenset(out))
        return found

    def summary(self, node_id: int) -> int:
        """The interned summary id of ``node_id`` (iterative: graphs may be
        far deeper than the interpreter's recursion limit)."""
        memo = self._memo
        if node_id in memo:
            return memo[node_id]
        stack: List[Tuple[int, bool]] = [(node_id, False)]
        pending: Dict[int, Tuple[Optional[str], Tuple[int, ...]]] = {}
        while stack:
            nid, expanded = stack.pop()
            if nid in memo:
                continue
            if expanded:
                kind, inputs = pending.pop(nid)
                memo[nid] = self._combine(kind, tuple(memo.get(i, self._empty) for i in inputs))
                continue
            rec = self._get(nid)
            if rec is None:
                memo[nid] = self._empty
                continue
            type_name, operation, node_inputs, source = rec
            if source is not None:
                memo[nid] = self._intern(frozenset({(source, frozenset())}))
                continue
            if nid in pending:  # a cycle cannot occur in a DAG; guard anyway
                memo[nid] = self._empty
                continue
            pending[nid] = (node_kind(type_name, operation), tuple(node_inputs))
            stack.append((nid, True))
            stack.extend((i, False) for i in node_inputs if i not in memo)
        return memo[node_id]

    def sources(self, node_ids: Iterable[int]) -> Dict[Source, FrozenSet[str]]:
        """Union of the summaries of ``node_ids``: source -> kinds met."""
        out: Dict[Source, set] = {}
        for sid in {self.summary(int(n)) for n in node_ids}:
            for src, kinds in self._values[sid]:
                out.setdefault(src, set()).update(kinds)
        return {src: frozenset(kinds) for src, kinds in out.items()}


def tracker_summaries(tracker: Any) -> Optional[GraphSummaries]:
    """Graph summaries over a DAG tracker's node store; None for a tracker
    without one (the word-level ``ProvenanceTracker``)."""
    get_node = getattr(tracker, "get_node", None)
    if get_node is None:
        return None

    def get(nid: int) -> Optional[Tuple[str, str, Sequence[int], Optional[Source]]]:
        node = get_node(nid)
        if node is None:
            return None
        source = (str(node.table), str(node.column)) if node.is_source and node.table is not None else None
        return node.node_type.name, node.operation, node.inputs, source

    return GraphSummaries(get)


def _registered_pairs(tracker: Any) -> List[Source]:
    count = int(tracker.stats()["registered_pairs"])
    return [name for name in (tracker.get_name(i) for i in range(count)) if name is not None]


def tracker_tables(tracker: Any, frames: Optional[Dict[str, Any]] = None) -> List[TableSchema]:
    """The tables wrapped with ``tracker``, in registration order, with
    their protected columns; column types from ``frames`` (table name ->
    the plain frame that was wrapped) when given."""
    tables: Dict[str, TableSchema] = {}
    for table, column in _registered_pairs(tracker):
        schema = tables.setdefault(table, TableSchema(table))
        schema.columns.append(column)
        if tracker.is_protected(table, column):
            schema.protected.append(column)
    for name, frame in (frames or {}).items():
        found = tables.get(name)
        if found is None:
            continue
        dtypes = {str(c): str(t) for c, t in getattr(frame, "dtypes", {}).items()}
        found.types = {c: dtypes[c] for c in found.columns if c in dtypes}
    return list(tables.values())


def _result_columns(result: Any) -> List[Tuple[str, Any, Optional[np.ndarray], Optional[np.ndarray], str]]:
    """(name, label, words, node ids, dtype name) per output column of a
    tracked frame or a single tracked Series."""
    if hasattr(result, "_col_prov"):
        col_prov = result._col_prov
        col_nodes = getattr(result, "_col_nodes", None) or {}
        out = []
        for label in result.columns:
            words = col_prov.get(label)
            nodes = col_nodes.get(label)
            out.append((str(label), label, words, nodes, str(result[label].dtype)))
        return out
    if hasattr(result, "_prov"):
        name = "value" if getattr(result, "name", None) is None else str(result.name)
        return [(name, None, result._prov, getattr(result, "_node_ids", None), str(result.dtype))]
    raise TypeError(
        "Argument 'result' has incorrect type (expected a tracked DataFrame or Series, "
        f"got {type(result).__name__})"
    )


def _risk(words: np.ndarray) -> Tuple[bool, float, Optional[int], str]:
    """(tainted, max risk, min depth of the tainted words, risk level) of a
    column's words, read from the word headers alone, with the thresholds of
    ``column_risk_report``."""
    from morvel.utilities.vortel32 import ProvenanceTracker

    distinct = np.unique(np.asarray(words, dtype=np.uint32)).tolist()
    tainted_words = [w for w in distinct if ProvenanceTracker.is_tainted(w)]
    if not tainted_words:
        return False, 0.0, None, "CLEAN"
    max_risk = max(ProvenanceTracker.risk_score(w) for w in tainted_words)
    min_depth = min(ProvenanceTracker.get_depth(w) for w in tainted_words)
    level = "HIGH" if max_risk > 0.5 else "MEDIUM" if max_risk > 0.2 else "LOW" if max_risk > 0 else "CLEAN"
    return True, round(float(max_risk), 4), int(min_depth), level


def word_sources(tracker: Any, words: np.ndarray) -> Dict[Source, bool]:
    """Sources named by ``words`` -> whether any word naming it is derived,
    decoded once per distinct word.  A source cell's word has depth 0 and
    chain 0; a combination raises the depth and a one-operand step advances
    the chain, so either marks a computed value.  (The word alone cannot
    tell a chain that hashed back to 0; the graph of a DAG tracker can.)"""
    out: Dict[Source, bool] = {}
    for w in np.unique(np.asarray(words, dtype=np.uint32)).tolist():
        info = tracker.decode_full(w)
        derived = info.depth > 0 or info.chain != 0
        for pid in info.pairs:
            name = tracker.get_name(pid)
            if name is not None:
                out[name] = out.get(name, False) or derived
    return out


def result_lineage(tracker: Any, result: Any) -> Tuple[List[Tuple[str, str]], List[FieldLineage]]:
    """The output schema ((name, dtype) per column) and one
    :class:`FieldLineage` per column that carries provenance words."""
    summaries = tracker_summaries(tracker)
    schema: List[Tuple[str, str]] = []
    fields: List[FieldLineage] = []
    for name, _label, words, nodes, dtype in _result_columns(result):
        schema.append((name, dtype))
        if words is None:
            continue
        words = np.asarray(words, dtype=np.uint32)
        found = word_sources(tracker, words)
        graph: Dict[Source, FrozenSet[str]] = {}
        if summaries is not None and nodes is not None and len(nodes):
            graph = summaries.sources(np.unique(np.asarray(nodes, dtype=np.int64)).tolist())
        sources: Dict[Source, FrozenSet[str]] = {}
        for src, derived in found.items():
            if src in graph:
                sources[src] = graph[src]
            else:  # no graph (word level) or its nodes were evicted
                sources[src] = frozenset({TRANSFORMATION}) if derived else frozenset()
        for src, kinds in graph.items():
            sources.setdefault(src, kinds)
        tainted, max_risk, min_depth, level = _risk(words)
        fields.append(FieldLineage(name, sources, tainted, max_risk, min_depth, level))
    return schema, fields


def stored_lineage(lineage: Dict[str, Any]) -> List[FieldLineage]:
    """One :class:`FieldLineage` per stored output name, from the whole
    stored graph of a pipeline (``SQLiteStorage.pipeline_lineage``)."""
    nodes = {n["node_id"]: n for n in lineage["nodes"]}
    parents: Dict[int, List[Tuple[int, int]]] = {}
    for e in lineage["edges"]:
        parents.setdefault(e["child_id"], []).append((e["position"], e["parent_id"]))
    by_fp = {n["fingerprint"]: n["node_id"] for n in lineage["nodes"]}

    def get(nid: int) -> Optional[Tuple[str, str, Sequence[int], Optional[Source]]]:
        rec = nodes.get(nid)
        if rec is None:
            return None
        source = None
        if rec["node_type"] == "SOURCE" and rec["table_name"] is not None:
            source = (str(rec["table_name"]), str(rec["column_name"]))
        return rec["node_type"], rec["operation"], [p for _, p in sorted(parents.get(nid, []))], source

    summaries = GraphSummaries(get)
    fields = []
    for name, fingerprints in lineage["outputs"].items():
        ids = [by_fp[f] for f in fingerprints if f in by_fp]
        tainted, max_risk, min_depth, level = _risk(np.asarray(fingerprints, dtype=np.uint32))
        fields.append(FieldLineage(name, summaries.sources(ids), tainted, max_risk, min_depth, level))
    return fields


def stored_tables(lineage: Dict[str, Any]) -> List[TableSchema]:
    """Input tables of a stored pipeline: its registered sources (pair
    order), else its source nodes."""
    tables: Dict[str, TableSchema] = {}
    rows = [(s["table_name"], s["column_name"], s["is_protected"]) for s in lineage["sources"]]
    if not rows:
        rows = [(n["table_name"], n["column_name"], n["is_protected"]) for n in lineage["nodes"]
                if n["node_type"] == "SOURCE" and n["table_name"] is not None]
    for table, column, protected in rows:
        schema = tables.setdefault(str(table), TableSchema(str(table)))
        if column not in schema.columns:
            schema.columns.append(str(column))
            if protected:
                schema.protected.append(str(column))
    return list(tables.values())
