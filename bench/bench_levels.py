"""The two tracking levels beside plain pandas on one pipeline.

One small credit-scoring pipeline (a fill of missing incomes, a ratio, a
clip, a score with a protected term, two columns assigned back, the column
risk report) runs on the same seeded frame three ways in one process:

- plain pandas;
- words only: ``wrap_dataframe`` with a ``ProvenanceTracker``;
- words and lineage nodes: ``wrap_dataframe_dag`` with a ``DAGTracker``
  (one graph node per element and step, kept in memory).

Prints the best time of each, its ratio to plain pandas, and the memory
one run keeps while its results (and tracker) are alive, per row: the growth
of the resident set size of a fresh child process that has built the frame
and warmed up the native modules (they allocate outside Python's allocator,
so tracemalloc would not see all of it).  Linux only for the memory column.
"""
from __future__ import annotations

import argparse
import functools
import gc
import resource
import subprocess
import sys
import time
from typing import Any, Callable, Dict, Tuple

import numpy as np
import pandas as pd

from morvel.utilities.vortel32 import (
    ProvenanceTracker,
    column_risk_report,
    wrap_dataframe,
)
from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag


def make_frame(rows: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    income = rng.normal(50_000, 15_000, rows).clip(5_000, None)
    income[rng.random(rows) < 0.05] = np.nan
    return pd.DataFrame({
        "gender": rng.choice(["f", "m"], rows),
        "age": rng.integers(18, 80, rows),
        "income": income,
        "debt": rng.gamma(2.0, 6_000.0, rows),
    })


def pipeline(df: Any) -> Tuple[pd.DataFrame, Any]:
    income = df["income"].fillna(40_000.0)
    ratio = (df["debt"] / income).clip(0.0, 1.0)
    score = (1.0 - ratio) * 100.0 + df["age"] * 0.5
    df["ratio"] = ratio
    df["score"] = score
    report = column_risk_report(df) if hasattr(df, "_col_prov") else None
    return df, report


def plain(raw: pd.DataFrame) -> Tuple[Any, ...]:
    return pipeline(raw.copy(deep=False))


def words(raw: pd.DataFrame) -> Tuple[Any, ...]:
    tracker = ProvenanceTracker()
    return pipeline(wrap_dataframe(raw, tracker, "applications", protected=["gender", "age"])) + (tracker,)


def lineage(raw: pd.DataFrame) -> Tuple[Any, ...]:
    tracker = DAGTracker()
    return pipeline(wrap_dataframe_dag(raw, tracker, "applications", protected=["gender", "age"])) + (tracker,)


def best_time(fn: Callable[[], Any], rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        del result
        best = min(best, elapsed)
    return best


def rss_bytes() -> int:
    """Resident set size of this process now."""
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * resource.getpagesize()


LEVELS = {"plain pandas": plain, "words": words, "words + nodes": lineage}


def kept_bytes(level: str, rows: int, seed: int) -> int:
    """Memory one run of ``level`` keeps, measured in a fresh process."""
    out = subprocess.run([sys.executable, __file__, "--rows", str(rows), "--seed", str(seed),
                          "--memory-of", level], check=True, capture_output=True, text=True).stdout
    return int(out.split()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000,
                        help="rows of the pipeline's frame (default 200000; above 100,000 the DAG "
                             "level passes its 500,000-node store and evicts)")
    parser.add_argument("--rounds", type=int, default=3, help="timings per level; the best is kept (default 3)")
    parser.add_argument("--seed", type=int, default=5, help="random seed of the frame (default 5)")
    parser.add_argument("--memory-of", choices=sorted(LEVELS), default=None,
                        help="(used by the script itself) run one level once in this process and print "
                             "the growth of the resident set size in bytes")
    args = parser.parse_args()
    raw = make_frame(args.rows, args.seed)
    if args.memory_of is not None:
        LEVELS["words"](raw.head(100))  # load the native modules before the baseline
        LEVELS["words + nodes"](raw.head(100))
        gc.collect()
        before = rss_bytes()
        result = LEVELS[args.memory_of](raw)
        gc.collect()
        print(rss_bytes() - before)
        del result
        return

    # the three levels compute the same values
    expected = plain(raw)[0]["score"].to_numpy()
    for run in (words, lineage):
        np.testing.assert_array_equal(run(raw)[0]["score"].to_numpy(), expected)

    times: Dict[str, float] = {}
    memory: Dict[str, int] = {}
    for name, run in LEVELS.items():
        times[name] = best_time(functools.partial(run, raw), args.rounds)
        memory[name] = kept_bytes(name, args.rows, args.seed)
    nodes = len(lineage(raw)[2]._nodes)

    print(f"pipeline on {args.rows:,} rows, best of {args.rounds} rounds")
    print(f"{'level':<15}{'seconds':>10}{'x plain':>9}{'kept MB':>10}{'bytes/row':>11}")
    for name in times:
        print(f"{name:<15}{times[name]:>10.3f}{times[name] / times['plain pandas']:>9.1f}"
              f"{memory[name] / 1e6:>10.1f}{memory[name] / args.rows:>11.0f}")
    ratio = f"{memory['words + nodes'] / memory['words']:.0f} x" if memory["words"] > 0 else "(words: no growth)"
    print(f"words + nodes / words: {times['words + nodes'] / times['words']:.0f} x the time, "
          f"{ratio} the memory; {nodes:,} nodes in the store at the end")


if __name__ == "__main__":
    main()
