"""Compiled bulk lineage path beside the per-element reference path.

Prints, in one run with a fixed seed:

* ``s + t`` on two 1,000,000-element DAG-tracked series (one node and one
  row value offered per element; the store passes its 500,000-node capacity,
  so eviction runs in both paths): time and nodes per second of each path;
* ``wrap_dataframe_dag`` of a 200,000 x 5 frame: time of each path.

The reference path is forced with a subclass that overrides one tracker
method by calling ``super`` (what any custom tracker does).  Both paths run
at full size.  Each timing ends with a full garbage collection, so the
deferred collector work of the objects a path created is charged to it.

Usage: PYTHONPATH=src python bench/bench_dag_bulk.py [--quick]
"""
from __future__ import annotations

import argparse
import gc
import time

import numpy as np
import pandas as pd

from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag


class ReferenceTracker(DAGTracker):
    def record_row_value(self, *args, **kwargs):
        return super().record_row_value(*args, **kwargs)


def timed(fn):
    gc.collect()
    start = time.perf_counter()
    out = fn()
    gc.collect()
    return time.perf_counter() - start, out


def add_series(tracker_cls, a, b):
    """Time ``s + t`` on fresh tracker state; returns (seconds, nodes)."""
    tracker = tracker_cls()
    frame = wrap_dataframe_dag(pd.DataFrame({"a": a, "b": b}), tracker, "t", ["a"])
    s, t = frame["a"], frame["b"]
    before = tracker._next_node_id
    seconds, result = timed(lambda: s + t)
    nodes = tracker._next_node_id - before
    assert nodes == len(a) and result._node_ids[-1] == tracker._next_node_id - 1
    return seconds, nodes


def wrap(tracker_cls, frame):
    tracker = tracker_cls()
    seconds, _ = timed(lambda: wrap_dataframe_dag(frame, tracker, "people", ["c0"]))
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke run at a tenth of the sizes: s + t on 100,000 elements (the store "
                             "then stays below its capacity, so no eviction runs) and a 20,000 x 5 wrap")
    args = parser.parse_args()
    rng = np.random.default_rng(20261208)

    n = 100_000 if args.quick else 1_000_000
    a, b = rng.normal(size=n), rng.normal(size=n)
    a[rng.random(n) < 0.01] = np.nan

    print(f"s + t, {n:,} elements")
    bulk, nodes = add_series(DAGTracker, a, b)
    ref, ref_nodes = add_series(ReferenceTracker, a, b)
    print(f"  bulk:      {bulk:8.3f} s  {nodes / bulk:12,.0f} nodes/s")
    print(f"  reference: {ref:8.3f} s  {ref_nodes / ref:12,.0f} nodes/s")
    print(f"  bulk speed-up: {ref / bulk:6.1f}x  (target >= 10x)")

    rows = 20_000 if args.quick else 200_000
    frame = pd.DataFrame({f"c{j}": rng.normal(size=rows) for j in range(5)})
    frame.iloc[rng.random(rows) < 0.01, 1] = np.nan
    print(f"\nwrap_dataframe_dag, {rows:,} x 5")
    wrap_bulk = wrap(DAGTracker, frame)
    wrap_ref = wrap(ReferenceTracker, frame)
    print(f"  bulk:      {wrap_bulk:8.3f} s")
    print(f"  reference: {wrap_ref:8.3f} s")
    print(f"  bulk speed-up: {wrap_ref / wrap_bulk:6.1f}x  (target >= 10x)")


if __name__ == "__main__":
    main()
