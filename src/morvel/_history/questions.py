"""Answers of a pipeline's row history: why a row was dropped, what a
transform changed in it, rows in and out per step, merges, duplicates."""
from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from morvel._history.recorder import HistoryRecorder, Step, _labels_json, json_value


def why_dropped(rec: HistoryRecorder, label: Any) -> dict | None:
    """The first drop of the row labelled ``label``: step number and name,
    operation, code location, the row's values just before the step, and
    for a ``drop_duplicates`` step the label of the duplicate that was kept.
    None when no step dropped such a row."""
    drops = rec.drops_of(label)
    if not drops:
        return None
    step, k, side = drops[0]
    out: dict = {"row": json_value(label), "step": step.number, "name": step.name,
                 "operation": step.operation, "location": step.location, "kind": step.kind}
    if side == "right":
        out["side"] = "right"
        right = step.detail.get("right_source")
        out["values"] = {} if right is None else _row_values(right, _right_pos(step, k))
    else:
        if side:
            out["side"] = side
        out["values"] = step.row_values(k)
    if "keep" in step.detail:
        out["duplicate_of"] = kept_duplicate(step, k)
    out["later_drops"] = [s.number for s, _k, _side in drops[1:]]
    return out


def _right_pos(step: Step, k: int) -> int:
    right = step.detail["right_source"]
    return int(right.index.get_indexer(step.detail["right_unmatched"][k:k + 1])[0])


def _row_values(obj: Any, pos: int) -> dict:
    from morvel._history.recorder import _row_dict
    return _row_dict(obj, pos) if pos >= 0 else {}


def kept_duplicate(step: Step, k: int) -> Any:
    """Label of the row ``drop_duplicates`` kept in place of the k-th row it
    dropped (None with ``keep=False``, or when the source is no longer held)."""
    keep = step.detail.get("keep", "first")
    src = step.source
    if keep is False or src is None:
        return None
    frame = src.to_frame(name=0) if isinstance(src, pd.Series) else src
    subset = step.detail.get("subset")
    if subset is not None:
        cols = [subset] if not isinstance(subset, (list, tuple)) else list(subset)
        frame = frame[cols]
    codes = frame.groupby(list(frame.columns), dropna=False, sort=False).ngroup().to_numpy()
    kept = np.ones(len(src), dtype=bool)
    kept[step.dropped_pos] = False
    d = int(step.dropped_pos[k])
    same = np.flatnonzero((codes == codes[d]) & kept)
    return json_value(src.index[same[0]]) if len(same) else None


def value_history(rec: HistoryRecorder, tracker: Any, word: int, name: Any,
                  label: Any) -> list[dict]:
    """Every recorded change of an element in the row labelled ``label`` that
    the value with ``word`` (named ``name``) comes from: its own column or a
    source column of it; in step order."""
    sources = set(map(tuple, tracker.explain(word))) if word else set()
    out = []
    for step, ch, k in rec.changes_of(label):
        ch_sources = set(map(tuple, tracker.explain(int(ch.words[k])))) if ch.words[k] else set()
        related = bool(sources & ch_sources) if ch_sources else _same(ch.column, name)
        if not related:
            continue
        out.append({"step": step.number, "name": step.name, "operation": step.operation,
                    "location": step.location, "column": json_value(ch.column),
                    "row": json_value(label), "before": json_value(ch.before[k]),
                    "after": json_value(ch.after[k])})
    return out


def _same(a: Any, b: Any) -> bool:
    try:
        return a is not None and bool(a == b)
    except (TypeError, ValueError):
        return False


def retention(rec: HistoryRecorder) -> pd.DataFrame:
    """One row per step that selected or merged rows."""
    rows = []
    for step in rec.steps:
        if step.kind == "values":
            continue
        s = step.summary()
        s.setdefault("added", 0)
        s["retained"] = (step.rows_in - s["dropped"]) / step.rows_in if step.rows_in else 1.0
        rows.append(s)
    cols = ["step", "name", "operation", "location", "kind", "rows_in", "rows_out", "dropped",
            "added", "retained"]
    return pd.DataFrame([{c: r.get(c) for c in cols} for r in rows], columns=cols)


def merges(rec: HistoryRecorder, limit: int | None = None) -> list[dict]:
    """Per merge: rows in on each side, rows out, the left rows it dropped,
    the right rows no left row matched and the left rows it multiplied
    (label and number of result rows)."""
    out = []
    for step in rec.steps:
        if step.kind != "merge":
            continue
        d = step.detail
        multi = d["multiplied"]
        out.append({"step": step.number, "name": step.name, "location": step.location,
                    "how": d["how"], "left_rows": step.rows_in, "right_rows": d["right_rows"],
                    "rows_out": step.rows_out, "added": d["added"],
                    "left_dropped": _labels_json(step.dropped, limit),
                    "right_unmatched": _labels_json(d["right_unmatched"], limit),
                    "multiplied": [[json_value(i), int(c)]
                                   for i, c in list(multi.items())[:limit]]})
    return out


def drops(rec: HistoryRecorder, limit: int | None = None) -> list[dict]:
    """Per selection or merge that dropped rows: the labels it dropped (the
    first ``limit``), and for ``drop_duplicates`` the kept duplicate of each."""
    out = []
    for step in rec.steps:
        if step.kind == "values" or not len(step.dropped):
            continue
        entry = {"step": step.number, "name": step.name, "operation": step.operation,
                 "location": step.location, "count": len(step.dropped),
                 "labels": _labels_json(step.dropped, limit)}
        if "keep" in step.detail:
            n = len(step.dropped) if limit is None else min(limit, len(step.dropped))
            entry["kept"] = [[json_value(step.dropped[k]), kept_duplicate(step, k)]
                             for k in range(n)]
        out.append(entry)
    return out


def changes(rec: HistoryRecorder, limit: int | None = None) -> list[dict]:
    """Per transform and column: how many elements changed, with examples."""
    out = []
    for step in rec.steps:
        for ch in step.changes:
            n = len(ch) if limit is None else min(limit, len(ch))
            out.append({"step": step.number, "name": step.name, "operation": step.operation,
                        "location": step.location, "column": json_value(ch.column),
                        "count": len(ch),
                        "examples": [{"row": json_value(ch.labels[k]),
                                      "before": json_value(ch.before[k]),
                                      "after": json_value(ch.after[k])} for k in range(n)]})
    return out


def checks(rec: HistoryRecorder) -> list[dict]:
    """Per declared check: how many steps it was evaluated at, how many it
    failed, and the failures."""
    out = []
    for check in rec.checks:
        label = check.label
        results = [r for r in rec.results if r.check == label]
        failed = [r.to_dict() for r in results if not r.passed]
        out.append({"check": label, "raise_on_failure": check.raise_on_failure,
                    "evaluated": len(results), "failed": len(failed),
                    "passed": not failed, "failures": failed})
    return out
