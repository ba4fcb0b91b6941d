"""The lineage level of ``morvel.Pipeline`` on the realistic pipeline, side by side.

With a fixed seed, runs the credit pipeline of ``bench_pipeline.py`` (fill,
ratio, clip, score, merge, comparison, filter, groupby) on ``--rows`` rows
(default 1,000,000, about 15,000,000 nodes) and prints in one run:

* plain pandas, the row-following word level and the lineage level
  (columnar node store), each as time / plain (target for the lineage
  level: 10 or less), with the nodes logged and the nodes lost (target 0);
  with ``--dict-rows M`` also the directly built ``DAGTracker`` with its
  bounded dictionary store on M rows beside plain pandas on M rows, and the
  nodes it evicted;
* bytes per node held in memory, word index included (target 48 or less),
  and the process's peak resident memory;
* rebuild and export (``to_dict`` and ``to_graphviz``) of one value's
  lineage through ``Pipeline.lineage``: hot (blocks in memory), spilled
  (every full block moved to disk, pages cached) and cold (spilled pages
  dropped from the page cache); target 1 ms or less;
* ``Pipeline.save`` to an SQLite file: the node blocks alone, and the whole
  save (blocks, output values with their row labels, per-word summary), in
  nodes per second (target 2,000,000 or more).

Usage: PYTHONPATH=src python bench/bench_pipeline_lineage.py [--rows N] [--rounds R] [--dict-rows M]
"""
from __future__ import annotations

import argparse
import os
import resource
import statistics
import sys
import tempfile
import time
from typing import Any, Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_pipeline import best_of, inputs, pipeline  # noqa: E402

import morvel  # noqa: E402
from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag  # noqa: E402


def timed(fn: Callable[[], Any]) -> tuple[float, Any]:
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def scored(apps: Any, regions: Any) -> Any:
    """The pipeline up to the filtered frame (the groupby summary aside)."""
    income = apps["income"].fillna(0)
    ratio = (apps["debt"] / (income + 1)).clip(0, 5)
    score = apps["age"] * 0.1 + income * 0.001 - ratio * 2 + apps["years"] * 0.5
    merged = apps.assign(score=score).merge(regions, on="region", how="left")
    merged["adjusted"] = merged["score"] * merged["factor"]
    return merged[merged["adjusted"] > 45]


def export(p: morvel.Pipeline, series: Any, label: Any) -> tuple[dict, str]:
    dag = p.lineage(series, row=label)
    return dag.to_dict(), dag.to_graphviz()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the pipeline")
    parser.add_argument("--rounds", type=int, default=3,
                        help="timings of plain pandas and words, best kept")
    parser.add_argument("--dict-rows", type=int, default=100_000,
                        help="rows for the directly built dictionary-store tracker (0: skip)")
    args = parser.parse_args()
    n = args.rows
    apps, regions = inputs(n)

    print(f"realistic pipeline on {n:,} rows (times: best of {args.rounds} for pandas and words, one lineage run)")
    print(f"{'run':<40}{'seconds':>9}{'x plain':>9}{'nodes':>14}{'lost':>12}")
    plain = best_of(lambda: pipeline(apps, regions), args.rounds)
    print(f"{'plain pandas':<40}{plain:>9.3f}{1.0:>9.2f}")
    words = morvel.Pipeline("bench-words")
    wa, wr = words.track(apps, "applications", ["gender", "age"]), words.track(regions, "regions")
    t = best_of(lambda: pipeline(wa, wr), args.rounds)
    print(f"{'Pipeline, words':<40}{t:>9.3f}{t / plain:>9.2f}")

    p = morvel.Pipeline("bench-lineage", lineage=True)
    la, lr = p.track(apps, "applications", ["gender", "age"]), p.track(regions, "regions")
    t, _ = timed(lambda: pipeline(la, lr))
    store = p.tracker._store.columnar
    stats = store.stats()
    lost = store.next_id - store.first_id - stats["total_nodes"]
    print(f"{'Pipeline, lineage (columnar store)':<40}{t:>9.3f}{t / plain:>9.2f}"
          f"{stats['total_nodes']:>14,}{lost:>12,}")

    if args.dict_rows:
        m = args.dict_rows
        dapps, dregions = inputs(m)
        dplain = best_of(lambda: pipeline(dapps, dregions), args.rounds)
        tracker = DAGTracker(follow_rows=True)
        da = wrap_dataframe_dag(dapps, tracker, "applications", ["gender", "age"])
        dr = wrap_dataframe_dag(dregions, tracker, "regions")
        td, _ = timed(lambda: pipeline(da, dr))
        made = tracker._next_node_id
        label = f"DAGTracker, dict store ({m:,} rows)"
        print(f"{label:<40}{td:>9.3f}{td / dplain:>9.2f}{made:>14,}{made - len(tracker._nodes):>12,}")
        lp = morvel.Pipeline("bench-lineage-small", lineage=True)
        sa, sr = lp.track(dapps, "applications", ["gender", "age"]), lp.track(dregions, "regions")
        ts, _ = timed(lambda: pipeline(sa, sr))
        label = f"Pipeline, lineage ({m:,} rows)"
        print(f"{label:<40}{ts:>9.3f}{ts / dplain:>9.2f}{len(lp.tracker._store):>14,}{0:>12,}")
        del tracker, da, dr, lp, sa, sr

    print()
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"memory: {stats['bytes_per_node']:.1f} bytes per node (columns {stats['column_bytes'] / 2**20:.0f} MiB,"
          f" index {stats['index_bytes'] / 2**20:.0f} MiB, other {stats['other_bytes'] / 2**20:.0f} MiB);"
          f" {stats['memory_bytes'] / 2**20:.0f} MiB for {stats['total_nodes']:,} nodes;"
          f" process peak RSS {rss:.0f} MiB")

    picked = scored(la, lr)
    series = picked["adjusted"]
    label = picked.index[0]  # an early row: its nodes sit in the oldest blocks
    dag_dict, dot = export(p, series, label)
    assert not dag_dict.get("missing_nodes") and dag_dict["node_count"] > 1
    hot = [timed(lambda: export(p, series, label))[0] for _ in range(200)]
    with tempfile.TemporaryDirectory(prefix="morvel-bench-") as folder:
        t_mem = save_blocks(store, os.path.join(folder, "held.db"))
        path = os.path.join(folder, "lineage.db")
        t_save, _ = timed(lambda: p.save(path, values=picked))
        size = os.path.getsize(path)
        store.spill()
        spilled = [timed(lambda: export(p, series, label))[0] for _ in range(200)]
        cold = []
        for _ in range(20):
            store.drop_page_cache()
            cold.append(timed(lambda: export(p, series, label))[0])
        assert export(p, series, label) == (dag_dict, dot)
        store.drop_page_cache()
        t_spilled = save_blocks(store, os.path.join(folder, "spilled.db"))
    after = store.stats()
    print(f"one value's lineage rebuilt and exported (dict and DOT), {dag_dict['node_count']} nodes;"
          f" spilled and cold: {after['spilled_blocks']} of {after['blocks']} blocks on disk")
    print(f"{'':<4}{'hot ms':>10}{'spilled ms':>12}{'cold ms':>10}   (median; target <= 1 ms)")
    print(f"{'':<4}{statistics.median(hot) * 1e3:>10.3f}{statistics.median(spilled) * 1e3:>12.3f}"
          f"{statistics.median(cold) * 1e3:>10.3f}")

    print()
    total = stats["total_nodes"]
    print(f"save to SQLite ({total:,} nodes; target >= 2,000,000 nodes/s):")
    for what, t in (("node blocks, held in memory", t_mem), ("node blocks, spilled and cold", t_spilled),
                    ("Pipeline.save (blocks, values, summary)", t_save)):
        print(f"{'':<4}{what:<44}{t:>8.3f} s{total / t:>14,.0f} nodes/s")
    print(f"{'':<4}Pipeline.save file: {size / total:.1f} bytes per node, {len(picked):,} output rows"
          f" x {len(picked.columns)} columns of values")


def save_blocks(store: Any, path: str) -> float:
    from morvel.utilities.persistence import SQLiteStorage
    storage = SQLiteStorage(path)
    storage.connect()
    try:
        return timed(lambda: store.save(storage, "bench"))[0]
    finally:
        storage.disconnect()


if __name__ == "__main__":
    main()
