"""Series audits and the column risk report of tracked frames."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

from morvel.utilities import _hooks
from morvel.utilities._word.layout import DEPTH_SHIFT, MAX_DEPTH

if TYPE_CHECKING:
    from morvel.utilities._frames.plain import TrackedDataFrame, TrackedSeries
    from morvel.utilities._word.tracker import ProvenanceTracker

_NO_DATA = "No tracker or empty series"


def audit(series: "TrackedSeries") -> dict:
    """Explain the provenance of the first element of a tracked series.

    Returns {"error": "No tracker or empty series"} without a tracker or data.
    """
    tracker = series._tracker
    if tracker is None or len(series) == 0:
        return {"error": _NO_DATA}
    return word_fields(tracker, int(series._prov[0]))


def word_fields(tracker: "ProvenanceTracker", p: int) -> dict:
    """What a word alone tells: hex form, mode, pairs and their columns and
    tables, entity, chain, taint, depth, risk and protection (the report of
    :func:`audit`, and the base of the DAG audits' word report)."""
    info = tracker.decode_full(p)
    return {
        "provenance": "0x%08X" % p,
        "mode": info.mode,
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(p),
        "tables": tracker.explain_tables(p),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(p),
        "has_protected": tracker.has_protected(p),
    }


def audit_series_diversity(series: "TrackedSeries") -> dict:
    """Distinct sources, entities and chains over a tracked series.

    Taint is counted over distinct words, not rows.
    """
    tracker = series._tracker
    if tracker is None or len(series) == 0:
        return {"error": _NO_DATA}
    unique = set(np.unique(np.asarray(series._prov)).tolist())
    pair_ids: set = set()
    entities: set = set()
    chains: set = set()
    tainted = 0
    max_depth = 0
    for p in unique:
        info = tracker.decode_full(p)
        pair_ids.update(info.pairs)
        entities.add(info.entity)
        chains.add(info.chain)
        if info.taint:
            tainted += 1
        if info.depth > max_depth:
            max_depth = info.depth
    total = len(series)
    return {
        "total_rows": total,
        "unique_provenances": len(unique),
        "unique_pair_sets": len(pair_ids),
        "unique_entities": len(entities),
        "unique_chains": len(chains),
        "entity_diversity": len(entities) / total if total else 0.0,
        "tainted_provenances": tainted,
        "taint_ratio": tainted / len(unique) if unique else 0.0,
        "max_depth": max_depth,
    }


def provenance_entropy(series: "TrackedSeries") -> float:
    """Shannon entropy (bits) of the words of a series: 0.0 when all
    elements share one word, log2(k) for k equally frequent words."""
    n = len(series)
    if n == 0:
        return 0.0
    words = np.asarray(series._prov)
    _, first, counts = np.unique(words, return_index=True, return_counts=True)
    entropy = 0.0
    # Summed in order of first occurrence.
    for c in counts[np.argsort(first, kind="stable")].tolist():
        q = c / n
        if q > 0:
            entropy -= q * math.log2(q)
    return entropy


def _risk_level(max_risk: float) -> str:
    if max_risk > 0.5:
        return "HIGH"
    if max_risk > 0.2:
        return "MEDIUM"
    if max_risk > 0:
        return "LOW"
    return "CLEAN"


def column_risk_report(df: "TrackedDataFrame", tracker: "ProvenanceTracker | None" = None) -> list:
    """Columns of a tracked frame ranked by fairness risk (highest first,
    equal risks in column order); [] without a tracker.

    Each entry: {"column", "tainted", "max_risk", "min_depth", "risk_level"}.
    """
    if tracker is None:
        tracker = df._tracker
    if tracker is None:
        return []
    col_prov = df._col_prov
    report: list[dict[str, Any]] = []
    for col in df.columns:
        if col not in col_prov:
            report.append({"column": col, "tainted": False, "max_risk": 0.0,
                           "min_depth": None, "risk_level": "CLEAN"})
            continue
        prov = col_prov[col]
        taint = np.asarray(_hooks.word("is_tainted_batch")(prov))
        any_taint = bool(np.any(taint))
        min_depth = None
        max_risk = 0.0
        if any_taint:
            risk = np.asarray(_hooks.word("risk_score_batch")(prov))
            max_risk = float(np.max(risk))
            tainted = np.asarray(prov, dtype=np.uint32)[taint]
            # The depth header field of every tainted word, as get_depth reads it.
            depths = (tainted >> DEPTH_SHIFT) & 7
            min_depth = int(np.min(depths)) if depths.size else MAX_DEPTH
        report.append({"column": col, "tainted": any_taint, "max_risk": round(max_risk, 4),
                       "min_depth": min_depth, "risk_level": _risk_level(max_risk)})
    report.sort(key=lambda r: r["max_risk"], reverse=True)
    return report
