"""Cost of row history in the ``morvel.Pipeline`` front.

In one run, with a fixed seed, the credit-scoring pipeline of
``bench_pipeline.py`` (fill, ratio, clip, a score from four columns, a merge
with a region lookup table, a comparison, a boolean filter and a groupby
summary) on ``--rows`` rows, on frames of a word-level pipeline with row
history on and on frames of one with it off, alternating, best of
``--rounds``; printed as on / off (target: 1.2 or less).  Plain pandas is
timed beside them for reference.  A fresh pipeline per round keeps every
round's history equally long.

    PYTHONPATH=src python bench/bench_history.py [--rows N] [--rounds R]
"""
from __future__ import annotations

import argparse
import time

import pandas as pd
from bench_pipeline import inputs, pipeline

import morvel


def timed(apps: pd.DataFrame, regions: pd.DataFrame, history: bool | None) -> float:
    if history is None:
        start = time.perf_counter()
        pipeline(apps, regions)
        return time.perf_counter() - start
    p = morvel.Pipeline("bench", row_history=history)
    a = p.track(apps, "applications", protected=["gender", "age"])
    r = p.track(regions, "regions")
    start = time.perf_counter()
    pipeline(a, r)
    took = time.perf_counter() - start
    if history:
        steps = len(p.retention()) + len(p.changes())
        assert steps >= 3, "the history recorded nothing"
    return took


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000,
                        help="rows of the credit pipeline (default 1,000,000)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="timings per mode, alternating, best kept (default 3)")
    args = parser.parse_args()
    apps, regions = inputs(args.rows)
    best = {True: float("inf"), False: float("inf"), None: float("inf")}
    for r in range(args.rounds):
        # The order alternates, so that neither mode always runs first.
        for mode in ((False, True, None) if r % 2 == 0 else (True, False, None)):
            best[mode] = min(best[mode], timed(apps, regions, mode))
    on, off, plain = best[True], best[False], best[None]
    print(f"credit pipeline on {args.rows:,} rows, best of {args.rounds} rounds")
    print(f"{'run':<30}{'s':>9}")
    print(f"{'row history on':<30}{on:>9.3f}")
    print(f"{'row history off':<30}{off:>9.3f}")
    print(f"{'plain pandas':<30}{plain:>9.3f}")
    print(f"history on / off: {on / off:.3f}   (target 1.2 or less)")


if __name__ == "__main__":
    main()
