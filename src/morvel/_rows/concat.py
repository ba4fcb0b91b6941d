"""Row-exact ``pd.concat`` of tracked Series and frames."""
from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from morvel._rows.core import NO_NODE, Family, family_of, follows, take, warn_fallback
from morvel.utilities._compat import concat_inputs


def concat_parts(other: Any) -> list:
    """The objects ``pd.concat`` stacked."""
    return concat_inputs(other)


def tracker_of(parts: list) -> Any:
    """Tracker of the first tracked part, or None."""
    for p in parts:
        t = getattr(p, "_tracker", None)
        if t is not None and family_of(p) is not None:
            return t
    return None


def _part_series(fam: Family, p: Any) -> tuple[np.ndarray, np.ndarray | None]:
    pf = family_of(p)
    if pf is not None and isinstance(p, pf.series):
        prov, nodes = pf.series_arrays(p)
        if fam.lineage and nodes is None:
            nodes = np.full(len(p), NO_NODE, dtype=np.int64)
        return prov, (nodes if fam.lineage else None)
    return (np.zeros(len(p), dtype=np.uint32),
            np.full(len(p), NO_NODE, dtype=np.int64) if fam.lineage else None)


def _part_column(fam: Family, p: Any, col: Any) -> tuple[np.ndarray, np.ndarray | None]:
    """Words and nodes of column ``col`` of one part (a frame, or a Series
    standing for a one-column frame); neutral when the part lacks it."""
    if isinstance(p, pd.Series):
        label = p.name if p.name is not None else 0
        if label == col:
            return _part_series(fam, p)
    else:
        pf = family_of(p)
        if pf is not None and isinstance(p, pf.frame) and col in p.columns:
            prov, nodes = pf.column_arrays(p, col)
            if fam.lineage and nodes is None:
                nodes = np.full(len(p), NO_NODE, dtype=np.int64)
            return prov, (nodes if fam.lineage else None)
    return (np.zeros(len(p), dtype=np.uint32),
            np.full(len(p), NO_NODE, dtype=np.int64) if fam.lineage else None)


def _relabelled(fam: Family, arrays: tuple, src: pd.Index, dst: pd.Index) -> tuple | None:
    if src.equals(dst):
        return arrays
    if not src.is_unique:
        return None
    pos = src.get_indexer(dst).astype(np.int64, copy=False)
    prov, nodes = arrays
    return take(prov, pos, 0), (None if nodes is None else take(nodes, pos, NO_NODE))


def finalize_series(fam: Family, out: Any, other: Any) -> bool:
    """Words of a series stacked by ``pd.concat``: every part's words in order,
    plain parts neutral.  False when no part is row-following."""
    parts = concat_parts(other)
    tracker = tracker_of(parts)
    if not follows(tracker) or sum(len(p) for p in parts) != len(out):
        return False
    arrays = [_part_series(fam, p) for p in parts]
    prov = np.concatenate([a[0] for a in arrays]) if arrays else np.zeros(0, np.uint32)
    nodes = np.concatenate([a[1] for a in arrays]) if fam.lineage and arrays else None
    object.__setattr__(out, "_tracker", tracker)
    fam.set_series_arrays(out, prov, nodes)
    return True


def finalize_frame(fam: Family, out: Any, other: Any) -> bool:
    """Column words of a frame made by ``pd.concat`` (rows or columns)."""
    parts = concat_parts(other)
    tracker = tracker_of(parts)
    if not follows(tracker):
        return False
    object.__setattr__(out, "_tracker", tracker)
    col_prov: dict = {}
    col_nodes: dict | None = {} if fam.lineage else None
    ncols = [1 if isinstance(p, pd.Series) else len(p.columns) for p in parts]
    by_rows = len(out) == sum(len(p) for p in parts) and _stacked_index(out.index, parts)
    if by_rows:
        for c in out.columns:
            arrays = [_part_column(fam, p, c) for p in parts]
            col_prov[c] = np.concatenate([a[0] for a in arrays])
            if col_nodes is not None:
                col_nodes[c] = np.concatenate([a[1] for a in arrays])
    elif len(out.columns) == sum(ncols):
        j = 0
        for p, k in zip(parts, ncols):
            for i in range(k):
                label = out.columns[j]
                j += 1
                if isinstance(p, pd.Series):
                    part = _part_series(fam, p)
                else:
                    part = _part_column(fam, p, p.columns[i])
                relaid = _relabelled(fam, part, p.index, out.index)
                if relaid is None:
                    warn_fallback("a concatenated part has a duplicated index")
                    continue
                col_prov[label] = relaid[0]
                if col_nodes is not None:
                    col_nodes[label] = relaid[1]
    else:
        warn_fallback("the layout of the concatenation is not recognised")
    fam.set_frame_arrays(out, col_prov, col_nodes)
    return True


def _stacked_index(index: pd.Index, parts: list) -> bool:
    """True when ``index`` reads as the parts' rows end to end: their
    indexes concatenated, a fresh range (``ignore_index``) or keys added."""
    if isinstance(index, (pd.MultiIndex, pd.RangeIndex)):
        return True
    try:
        stacked = parts[0].index.append([p.index for p in parts[1:]])
    except (TypeError, ValueError):
        return False
    return stacked.equals(index)
