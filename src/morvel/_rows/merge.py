"""Row-exact ``merge`` / ``join`` of tracked frames."""
from __future__ import annotations

import inspect
from typing import Any

import numpy as np
import pandas as pd

from morvel._rows import lineage
from morvel._rows.core import NO_NODE, Family, family_of, take
from morvel.utilities import _hooks

OP_MERGE = 10  # OpCode.MERGE

_LEFT_ROW = "__morvel_left_row__"
_RIGHT_ROW = "__morvel_right_row__"
_MERGE_SIG = inspect.signature(pd.DataFrame.merge)


def _positions(col: pd.Series) -> np.ndarray:
    """Row positions read back from a carried position column (-1 where the
    side had no row)."""
    arr = col.to_numpy()
    if arr.dtype.kind in "iu":
        return arr.astype(np.int64, copy=False)
    arr = np.asarray(arr, dtype=np.float64)
    out = np.full(len(arr), -1, dtype=np.int64)
    ok = ~np.isnan(arr)
    out[ok] = arr[ok].astype(np.int64)
    return out


def _as_list(v: Any) -> list:
    if v is None:
        return []
    if isinstance(v, (list, tuple)):
        return list(v)
    return [v]


def merge(fam: Family, left: Any, right: Any, args: tuple, kwargs: dict) -> Any:
    """``left.merge(right, *args, **kwargs)`` with every output element
    carrying the word of the element it came from, with MERGE in its chain
    (key columns present on both sides combine both sides' words), and, at
    lineage level, a node of its own whose inputs are those elements' nodes.

    The rows are followed by carrying each side's row positions through the
    very same pandas merge in two extra columns, dropped afterwards.
    """
    bound = _MERGE_SIG.bind(left, right, *args, **kwargs)
    params = dict(bound.arguments)
    params.pop("self", None)
    params.pop("right", None)
    tracker = left._tracker
    rframe = right.to_frame() if isinstance(right, pd.Series) else right
    lplain = pd.DataFrame(left, copy=False)
    rplain = pd.DataFrame(rframe, copy=False)
    lplain = lplain.assign(**{_LEFT_ROW: np.arange(len(lplain), dtype=np.int64)})
    rplain = rplain.assign(**{_RIGHT_ROW: np.arange(len(rplain), dtype=np.int64)})
    joined = lplain.merge(rplain, **params)
    lpos = _positions(joined[_LEFT_ROW])
    rpos = _positions(joined[_RIGHT_ROW])
    result = joined.drop(columns=[_LEFT_ROW, _RIGHT_ROW])

    how = params.get("how") or "inner"
    same_keys = _same_name_keys(left, rframe, params)
    lcols, rcols = list(left.columns), list(rframe.columns)
    overlap = (set(lcols) & set(rcols)) - same_keys
    lsuf, rsuf = params.get("suffixes") or ("_x", "_y")
    renamed: dict = {}
    for c in overlap:
        renamed[c if lsuf is None else f"{c}{lsuf}"] = ("l", c)
        renamed[c if rsuf is None else f"{c}{rsuf}"] = ("r", c)
    rfam = family_of(right)
    rtracked = rfam is not None and isinstance(rframe, rfam.frame)

    col_prov: dict = {}
    col_nodes: dict | None = {} if fam.lineage else None
    op_name = f"merge_{how}"
    # A key column pandas adds in front when one side joins on its index and
    # the other on a column of the same name as an overlapping column: its
    # values come from the column side (the index side has no words).
    added_key: dict = {}
    if params.get("left_index") and not params.get("right_index"):
        added_key = {k: ("r", k) for k in _as_list(params.get("right_on")) if _label_like(k)}
    elif params.get("right_index") and not params.get("left_index"):
        added_key = {k: ("l", k) for k in _as_list(params.get("left_on")) if _label_like(k)}
    for c in result.columns:
        if c in same_keys:
            sources = [("l", c), ("r", c)]
        elif c in overlap and c not in renamed and c in added_key:
            sources = [added_key[c]]
        elif c in renamed:
            sources = [renamed[c]]
        elif c in lcols:
            sources = [("l", c)]
        elif c in rcols:
            sources = [("r", c)]
        else:
            continue  # the indicator column: no source element
        parts = []
        for side, name in sources:
            if side == "l":
                prov, nodes = fam.column_arrays(left, name)
                pos = lpos
            elif rfam is not None and rtracked:
                prov, nodes = rfam.column_arrays(rframe, name)
                pos = rpos
                if not fam.lineage:
                    nodes = None
            else:
                continue  # a plain frame's columns have no words: they stay neutral
            parts.append((take(prov, pos, 0), None if nodes is None else take(nodes, pos, NO_NODE),
                          pos >= 0))
        if not parts:
            col_prov[c] = np.zeros(len(result), dtype=np.uint32)
            if col_nodes is not None:
                col_nodes[c] = np.full(len(result), NO_NODE, dtype=np.int64)
            continue
        words = _merge_words(tracker, parts)
        col_prov[c] = words
        if col_nodes is not None and tracker is not None:
            left_nodes = parts[0][1] if parts[0][1] is not None else np.full(len(words), NO_NODE)
            right_nodes = None
            if len(parts) > 1:
                right_nodes = parts[1][1] if parts[1][1] is not None else np.full(len(words), NO_NODE)
            col_nodes[c] = lineage.log_elements(tracker, "MERGE", op_name, words,
                                                left_nodes, right_nodes)
    return fam.make_frame(result, tracker, col_prov, col_nodes)


def _merge_words(tracker: Any, parts: list) -> np.ndarray:
    """Words of one merged column from its one or two source parts."""
    if tracker is None:
        return parts[0][0]
    codec = tracker._rust
    if len(parts) == 1:
        words, _nodes, present = parts[0]
        out = np.asarray(_hooks.word("update_chain_batch")(codec, words, OP_MERGE), dtype=np.uint32)
        out[~present] = 0
        return out
    (lw, _ln, lp), (rw, _rn, rp) = parts
    out = np.asarray(_hooks.word("combine_batch")(codec, lw, rw, OP_MERGE), dtype=np.uint32)
    out[~(lp | rp)] = 0
    return out


def _same_name_keys(left: Any, right: Any, params: dict) -> set:
    """Join keys that are one column of the result fed by both sides."""
    if params.get("how") == "cross":
        return set()
    on = _as_list(params.get("on"))
    if on:
        return {k for k in on if k in left.columns and k in right.columns}
    lon, ron = _as_list(params.get("left_on")), _as_list(params.get("right_on"))
    if lon and ron:
        return {a for a, b in zip(lon, ron)
                if _label_like(a) and _label_like(b) and a == b
                and a in left.columns and b in right.columns}
    if lon or ron or params.get("left_index") or params.get("right_index"):
        return set()
    return set(left.columns) & set(right.columns)


def _label_like(v: Any) -> bool:
    try:
        hash(v)
    except TypeError:
        return False
    return True


def join(fam: Family, left: Any, other: Any, on: Any, how: str, lsuffix: str, rsuffix: str,
         sort: bool, validate: Any) -> Any:
    """``left.join(other)`` for one frame or named series, as the merge pandas
    runs for it."""
    if how == "cross":
        return merge(fam, left, other, (), {"how": "cross", "suffixes": (lsuffix, rsuffix),
                                            "sort": sort, "validate": validate})
    return merge(fam, left, other, (), {
        "left_on": on, "how": how, "left_index": on is None, "right_index": True,
        "suffixes": (lsuffix, rsuffix), "sort": sort, "validate": validate})
