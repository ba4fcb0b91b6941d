"""Lineage nodes for row-following results (DAG-tracked family only)."""
from __future__ import annotations

from typing import Any

import numpy as np

from morvel._rows.core import NO_NODE
from morvel.utilities._dag.records import NodeType


def _bulk() -> Any:
    # The bulk lineage path imports the lineage tracker, whose package loads
    # after the tracked classes that import this one: resolve it at call time.
    from morvel.utilities._dag import bulk
    return bulk


def log_elements(tracker: Any, node_type_name: str, op_name: str, words: np.ndarray,
                 left: np.ndarray, right: np.ndarray | None = None) -> np.ndarray:
    """One node per element whose inputs are known: inputs ``left[i]`` and,
    where ``right`` is given and ``right[i]`` is a node, ``right[i]`` too;
    an element with only one known input gets a node with that one input;
    an element without any gets -1.  Returns the node ids."""
    bulk = _bulk()
    node_type = NodeType[node_type_name]
    n = len(words)
    out = np.full(n, NO_NODE, dtype=np.int64)
    groups: list[tuple[np.ndarray, np.ndarray, np.ndarray | None]]
    if right is None:
        groups = [(np.flatnonzero(left >= 0), left, None)]
    else:
        both = (left >= 0) & (right >= 0)
        only_l = (left >= 0) & ~both
        only_r = (right >= 0) & ~both
        groups = [(np.flatnonzero(both), left, right), (np.flatnonzero(only_l), left, None),
                  (np.flatnonzero(only_r), right, None)]
    fast = (bulk._stock_tracker(tracker, ("_create_node", "_evict_oldest_nodes", "is_tainted"))
            and bulk._plain_store(tracker))
    for sel, a, b in groups:
        if not len(sel):
            continue
        w = np.ascontiguousarray(words[sel], dtype=np.uint32)
        ia = np.ascontiguousarray(a[sel], dtype=np.int64)
        ib = None if b is None else np.ascontiguousarray(b[sel], dtype=np.int64)
        ids = np.empty(len(sel), dtype=np.int64)
        if fast:
            bulk._native_log(tracker, node_type, op_name, w, ia, ib, ids,
                             persist=bool(tracker._writer))
        else:
            for k in range(len(sel)):
                inputs = [int(ia[k])] if ib is None else [int(ia[k]), int(ib[k])]
                ids[k] = tracker._create_node(node_type, op_name, inputs, int(w[k]))
        out[sel] = ids
    return out


def log_aggregates(tracker: Any, op_name: str, words: np.ndarray, nodes: np.ndarray,
                   codes: np.ndarray, ngroups: int) -> np.ndarray:
    """One ``AGGREGATE`` node per group whose inputs are the member nodes (in
    row order); ``words[k]`` is group k's word.  Returns ngroups node ids
    (-1 for a group without known member nodes)."""
    order = np.argsort(codes, kind="stable")
    sorted_codes = codes[order]
    start = np.searchsorted(sorted_codes, np.arange(ngroups), side="left")
    end = np.searchsorted(sorted_codes, np.arange(ngroups), side="right")
    member_nodes = nodes[order]
    if _grouped(tracker):
        return _log_groups(tracker, op_name, words, member_nodes, start, end)
    out = np.full(ngroups, NO_NODE, dtype=np.int64)
    for k in range(ngroups):
        members = member_nodes[start[k]:end[k]]
        members = members[members >= 0]
        if len(members):
            out[k] = tracker.log_aggregate(op_name, members.tolist(), int(words[k]))
    return out


def log_windows(tracker: Any, op_name: str, words: np.ndarray, nodes: np.ndarray,
                starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """One ``AGGREGATE`` node per window [starts[j], ends[j]) with the
    window's member nodes as inputs."""
    out = np.full(len(starts), NO_NODE, dtype=np.int64)
    for j in range(len(starts)):
        members = nodes[max(int(starts[j]), 0):int(ends[j])]
        members = members[members >= 0]
        if len(members):
            out[j] = tracker.log_aggregate(op_name, members.tolist(), int(words[j]))
    return out


def _grouped(tracker: Any) -> bool:
    """True when the tracker's store logs many multi-input nodes in one call
    (the columnar store) and its node methods are the stock ones."""
    return (hasattr(tracker._store, "log_groups")
            and _bulk()._stock_tracker(tracker, ("log_aggregate", "_create_node", "is_tainted")))


def _log_groups(tracker: Any, op_name: str, words: np.ndarray, nodes: np.ndarray,
                starts: np.ndarray, ends: np.ndarray) -> np.ndarray:
    """``AGGREGATE`` nodes for the member ranges ``nodes[starts[k]:ends[k]]``
    (members without a node left out) in one call; a range without any
    known member gets -1."""
    from morvel.utilities._dag.records import NodeType
    starts = np.asarray(starts, dtype=np.int64)
    ends = np.clip(np.asarray(ends, dtype=np.int64), starts, len(nodes))
    starts = np.minimum(starts, ends)
    known = np.concatenate([[0], np.cumsum(nodes >= 0)])
    counts = known[ends] - known[starts]
    out = np.full(len(starts), NO_NODE, dtype=np.int64)
    has = np.flatnonzero(counts > 0)
    if not len(has):
        return out
    # Flat member list: for each kept range, its known members in order.
    lengths = (ends - starts)[has]
    pos = np.repeat(starts[has] - np.concatenate([[0], np.cumsum(lengths)[:-1]]), lengths) \
        + np.arange(int(lengths.sum()), dtype=np.int64)
    members = nodes[pos]
    keep = members >= 0
    offsets = np.concatenate([[0], np.cumsum(counts[has])])
    with tracker._dag_lock:
        out[has] = tracker._store.log_groups(NodeType.AGGREGATE, op_name,
                                             np.asarray(words, dtype=np.uint32)[has],
                                             offsets, members[keep])
    return out
