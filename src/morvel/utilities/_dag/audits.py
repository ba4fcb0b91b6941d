"""DAG audits: the graph behind a row, the word report, the audit report
and the combination of node words."""
from __future__ import annotations

from morvel.utilities._argcheck import as_int
from morvel.utilities._word.audits import word_fields
from morvel.utilities._word.layout import OpCode

_NO_SERIES = "No tracker or empty series"


def get_dag_for_series(series, row_index: int = 0):
    """The computation graph behind row position ``row_index`` of a
    DAG-tracked series (negative positions count from the end), or None when
    the series has no tracker or node ids, or that row has no node.

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "t")
    >>> get_dag_for_series(f["a"] * f["a"], -1).depth
    1
    """
    row_index = as_int(row_index, "row_index")
    tracker = getattr(series, "_tracker", None)
    if not tracker or not hasattr(series, "_node_ids"):
        return None
    node_ids = series._node_ids
    if row_index >= len(node_ids) or row_index < -len(node_ids):
        return None
    node_id = int(node_ids[row_index])
    if node_id < 0:
        return None
    return tracker.get_dag(node_id)


def word_report(tracker, word: int) -> dict:
    """The part of a ``dag_audit`` report that the provenance word alone
    gives: decoded fields, source columns, risk and protection.

    >>> t = DAGTracker(); pid = t.register("people", "age", True)
    >>> word_report(t, t.encode({pid}, taint=True))["columns"]
    [('people', 'age')]
    """
    report = word_fields(tracker, word)
    report["mode"] = tracker.get_mode(word)
    return report


def _depth_over_present(dag) -> int:
    """Longest path, in edges, from the root through the nodes ``dag`` still
    holds: an input that is no longer stored counts as a leaf's absence, so
    a node whose every input was evicted has depth 0."""
    nodes = dag.nodes
    memo: dict = {}
    stack = [(dag.root_id, False)]
    while stack:
        node_id, expanded = stack.pop()
        if node_id in memo:
            continue
        present = [i for i in nodes[node_id].inputs if i in nodes]
        if expanded:
            memo[node_id] = 1 + max((memo[i] for i in present), default=-1)
            continue
        stack.append((node_id, True))
        # The store only links a node to older ones, so there is no cycle to
        # guard against; each shared sub-graph is computed once via memo.
        stack.extend((i, False) for i in present if i not in memo)
    return memo[dag.root_id]


def dag_audit(series, row_index: int = 0) -> dict:
    """Audit report of row position ``row_index``: the decoded word, its
    source columns and risk, and (when the row has a node) a summary of the
    graph behind it under "dag".

    When nodes of that graph were evicted from the store, the summary is
    made from the nodes that remain (its depth counted over them) and
    "missing_nodes" gives the number of input ids that could not be found;
    when the row's own node is gone the summary is empty (depth 0) and that
    node counts among the missing ones.

    >>> t = DAGTracker()
    >>> f = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), t, "people", ["a"])
    >>> report = dag_audit(f["a"])
    >>> report["taint"], report["dag"]["sources"]
    (True, [('people', 'a')])
    """
    row_index = as_int(row_index, "row_index")
    tracker = getattr(series, "_tracker", None)
    if not tracker or len(series) == 0:
        return {"error": _NO_SERIES}
    word = int(series._prov[row_index])
    report = word_report(tracker, word)
    dag = get_dag_for_series(series, row_index)
    if dag is not None:
        missing = {e.source_id for e in dag.edges if e.source_id not in dag.nodes}
        if dag.root_id not in dag.nodes:
            # The row's own node is gone (evicted, or unreadable): report an
            # empty graph that says so rather than failing in ``depth``.
            missing.add(dag.root_id)
        report["dag"] = {
            "depth": 0 if dag.root_id not in dag.nodes else
            _depth_over_present(dag) if missing else dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": [(node.table, node.column) for node in dag.source_nodes],
            "protected_sources": [(node.table, node.column) for node in dag.protected_sources],
        }
        if missing:
            report["dag"]["missing_nodes"] = len(missing)
    return report


def combine_provenances(tracker, node_ids, op_code=None) -> int:
    """One word for the nodes ``node_ids``: the first known node's word,
    combined in order with each further known node's word under ``op_code``
    (default ``OpCode.CUSTOM``).  Unknown or evicted ids are skipped; 0 when
    none is known.

    >>> t = DAGTracker()
    >>> combine_provenances(t, [0, 1])
    0
    """
    op_code = OpCode.CUSTOM if op_code is None else as_int(op_code, "op_code")
    result = 0
    for node_id in node_ids:
        node = tracker.get_node(node_id)
        if node is None:
            continue
        if result == 0:
            result = node.provenance
        else:
            result = tracker.combine(result, node.provenance, op_code)
    return result
