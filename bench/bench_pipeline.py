"""Time a realistic pipeline and single operations, tracked beside plain pandas.

In one run, with a fixed seed:

* a credit-scoring pipeline on ``--rows`` rows (fill, ratio, clip, a score
  from four columns, a merge with a region lookup table, a comparison, a
  boolean filter and a groupby summary), run on plain pandas frames, on
  frames of a row-following word-level pipeline (``morvel.Pipeline``, with
  its default row history and without it), on frames of a directly built ``ProvenanceTracker`` (positional words, for
  reference) and, on ``--lineage-rows`` rows, of a row-following lineage
  pipeline (one node per element and operation); each printed as
  tracked / plain (target for the row-following word level: 1.5 or less);
* tracked ``s + t`` and ``s * 2`` on ``--rows``-element series beside the
  same operations on plain pandas Series, for a directly built and a
  row-following tracker (target 1.3 or less).

Times are the best of ``--rounds`` repetitions, tracked and plain measured
in alternation; wrapping the input frames is not timed.

    PYTHONPATH=src python bench/bench_pipeline.py [--rows N] [--lineage-rows M] [--rounds R]
"""
from __future__ import annotations

import argparse
import time
from typing import Any, Callable

import numpy as np
import pandas as pd

import morvel
from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe

SEED = 20261208
REGIONS = ["north", "south", "east", "west", "centre"]


def best_of(fn: Callable[[], Any], rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def best_of_pair(first: Callable[[], Any], second: Callable[[], Any],
                 rounds: int) -> tuple[float, float]:
    """Best times of two calls measured in alternation, so that a busy
    machine slows both alike."""
    a = b = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        first()
        a = min(a, time.perf_counter() - start)
        start = time.perf_counter()
        second()
        b = min(b, time.perf_counter() - start)
    return a, b


def inputs(n: int) -> tuple[pd.DataFrame, pd.DataFrame]:
    rng = np.random.default_rng(SEED)
    income = rng.normal(40_000, 12_000, n).round(0)
    income[rng.random(n) < 0.05] = np.nan
    apps = pd.DataFrame({
        "gender": rng.integers(0, 2, n),
        "age": rng.integers(18, 80, n),
        "income": income,
        "debt": rng.gamma(2.0, 4_000.0, n).round(0),
        "years": rng.integers(0, 40, n),
        "region": rng.choice(REGIONS, n),
    }, index=rng.permutation(n))
    regions = pd.DataFrame({"region": REGIONS, "factor": [1.0, 0.9, 1.1, 0.95, 1.05]})
    return apps, regions


def pipeline(apps: pd.DataFrame, regions: pd.DataFrame) -> pd.DataFrame:
    income = apps["income"].fillna(0)                                    # fill
    ratio = (apps["debt"] / (income + 1)).clip(0, 5)                     # ratio, clip
    score = (apps["age"] * 0.1 + income * 0.001 - ratio * 2              # score from
             + apps["years"] * 0.5)                                      # four columns
    scored = apps.assign(score=score)
    merged = scored.merge(regions, on="region", how="left")              # merge lookup
    merged["adjusted"] = merged["score"] * merged["factor"]
    approved = merged["adjusted"] > 45                                   # comparison
    picked = merged[approved]                                            # boolean filter
    return picked.groupby("region")["adjusted"].agg(["mean", "count"])   # groupby summary


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000,
                        help="rows of the pipeline and elements of the single operations")
    parser.add_argument("--lineage-rows", type=int, default=100_000,
                        help="rows of the lineage-level run")
    parser.add_argument("--rounds", type=int, default=5,
                        help="timings, best kept (15 at least for the single operations)")
    args = parser.parse_args()
    n = args.rows
    apps, regions = inputs(n)

    words = morvel.Pipeline("bench")
    follow_apps = words.track(apps, "applications", protected=["gender", "age"])
    follow_regions = words.track(regions, "regions")
    # The same front without its row history (``row_history=False``), which
    # records every filter, merge and changed element on top of the words.
    bare = morvel.Pipeline("bench-bare", row_history=False)
    bare_apps = bare.track(apps, "applications", protected=["gender", "age"])
    bare_regions = bare.track(regions, "regions")
    direct = ProvenanceTracker()
    direct_apps = wrap_dataframe(apps, direct, "applications", ["gender", "age"])
    direct_regions = wrap_dataframe(regions, direct, "regions")

    check = pipeline(follow_apps, follow_regions)
    pd.testing.assert_frame_equal(pd.DataFrame(check), pipeline(apps, regions))

    print(f"pipeline on {n:,} rows, best of {args.rounds} rounds")
    print(f"{'run':<34}{'tracked s':>11}{'plain s':>10}{'ratio':>8}")
    for label, a, r in (("row-following, words", follow_apps, follow_regions),
                        ("same, without row history", bare_apps, bare_regions),
                        ("directly built, words", direct_apps, direct_regions)):
        t, plain_t = best_of_pair(lambda: pipeline(a, r), lambda: pipeline(apps, regions),
                                  args.rounds)
        print(f"{label:<34}{t:>11.3f}{plain_t:>10.3f}{t / plain_t:>8.2f}")

    m = args.lineage_rows
    lapps, lregions = inputs(m)
    plain_l = best_of(lambda: pipeline(lapps, lregions), args.rounds)
    lineage_rounds = max(1, min(args.rounds, 2))
    lineage_t = float("inf")
    for _ in range(lineage_rounds):
        # A fresh pipeline per round, so that every round logs into an
        # equally full node store.
        lp = morvel.Pipeline("bench-lineage", lineage=True)
        la = lp.track(lapps, "applications", protected=["gender", "age"])
        lr = lp.track(lregions, "regions")
        lineage_t = min(lineage_t, best_of(lambda: pipeline(la, lr), 1))
    label = f"row-following, lineage ({m:,} rows)"
    print(f"{label:<34}{lineage_t:>11.3f}{plain_l:>10.3f}{lineage_t / plain_l:>8.2f}")

    print()
    print(f"single operations on {n:,} elements, best of {max(args.rounds, 15)} rounds")
    print(f"{'operation':<34}{'tracked ms':>11}{'plain ms':>10}{'ratio':>8}")
    rounds = max(args.rounds, 15)
    rng = np.random.default_rng(SEED + 1)
    frame = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n)})
    ps, pt = frame["a"], frame["b"]
    for mode, tracker in (("directly built", ProvenanceTracker()),
                          ("row-following", ProvenanceTracker(follow_rows=True))):
        tf = wrap_dataframe(frame, tracker, "single", ["a"])
        s, t = tf["a"], tf["b"]
        for op, tracked, plain in (("s + t", lambda: s + t, lambda: ps + pt),
                                   ("s * 2", lambda: s * 2, lambda: ps * 2)):
            tt, pp = best_of_pair(tracked, plain, rounds)
            label = f"{op}, {mode}"
            print(f"{label:<34}{tt * 1e3:>11.3f}{pp * 1e3:>10.3f}{tt / pp:>8.2f}")


if __name__ == "__main__":
    main()
