"""Time a tracked Dask pipeline beside the same pipeline on plain Dask.

In one run, with a fixed seed, on a local cluster of two worker processes
(one thread each, on 127.0.0.1): a table of ``--rows`` rows is generated on
the workers in ``--partitions`` partitions, then

    z = (a + b).clip(0, 10);  y = a * 2 - b;  rows with z > 1;
    left merge with a 10-row region table (broadcast);
    groupby(k).agg(z: sum, y: mean, rate: max)

is computed on plain Dask and through ``morvel.dask.track`` (words for every
column, the group words joined on the workers), ``--repeat`` times each, in
alternating order (plain first, then tracked first, ...), so that neither
side alone pays the worker processes' first use of their memory.  The
script prints every time, the best of each side and the ratio of the bests,
tracked / plain (target: 1.5 or less).  Only the small grouped result comes
back to the client.

With ``--persist-rows N`` it also writes the per-row result fingerprints of
``z`` and ``y`` for N tracked rows into a fresh SQLite file twice: from the
workers with ``persist_results`` (one connection per partition task), and by
gathering the rows on the client and storing them in one call; it prints
both times and their ratio.

    PYTHONPATH=src python bench/bench_dask.py [--rows N] [--partitions P] [--repeat R]
                                              [--persist-rows N]
"""
from __future__ import annotations

import argparse
import os
import tempfile
import time
from typing import Any

import dask.dataframe as dd
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

from morvel.dask import DaskPipeline, persist_results, track
from morvel.utilities.persistence.storage import SQLiteStorage

SEED = 20261208


def make_part(i: int, rows: int, parts: int, seed: int) -> pd.DataFrame:
    start, stop = i * rows // parts, (i + 1) * rows // parts
    rng = np.random.default_rng(seed + i)
    n = stop - start
    return pd.DataFrame({
        "a": rng.normal(3.0, 2.0, n),
        "b": rng.normal(1.0, 1.0, n),
        "k": rng.integers(0, 100, n),
        "region": rng.integers(0, 10, n),
    }, index=pd.RangeIndex(start, stop))


def source(rows: int, parts: int, seed: int) -> dd.DataFrame:
    meta = make_part(0, 0, 1, seed)
    return dd.from_map(make_part, range(parts), rows=rows, parts=parts, seed=seed, meta=meta,
                       divisions=[i * rows // parts for i in range(parts)] + [rows - 1])


def regions() -> dd.DataFrame:
    return dd.from_pandas(pd.DataFrame({"region": np.arange(10), "rate": np.linspace(0.1, 1.0, 10)}),
                          npartitions=1)


def plain(rows: int, parts: int, seed: int) -> pd.DataFrame:
    df = source(rows, parts, seed)
    df["z"] = (df["a"] + df["b"]).clip(0, 10)
    df["y"] = df["a"] * 2 - df["b"]
    kept = df[df["z"] > 1]
    joined = kept.merge(regions(), on="region", how="left", broadcast=True)
    return joined.groupby("k", sort=True).agg({"z": "sum", "y": "mean", "rate": "max"}).compute()


def tracked(rows: int, parts: int, seed: int) -> pd.DataFrame:
    p = DaskPipeline("bench")
    df = track(source(rows, parts, seed), "points", protected=["b"], pipeline=p)
    reg = track(regions(), "regions", pipeline=p)
    df["z"] = (df["a"] + df["b"]).clip(0, 10)
    df["y"] = df["a"] * 2 - df["b"]
    kept = df[df["z"] > 1]
    joined = kept.merge(reg, on="region", how="left", broadcast=True)
    return joined.groupby("k").agg({"z": "sum", "y": "mean", "rate": "max"}).compute()


def persist_both(rows: int, parts: int, seed: int, folder: str) -> tuple[float, float]:
    """Seconds to store the fingerprints of z and y from the workers, and by
    gathering on the client."""
    p = DaskPipeline("bench")
    df = track(source(rows, parts, seed), "points", protected=["b"], pipeline=p)
    df["z"] = (df["a"] + df["b"]).clip(0, 10)
    df["y"] = df["a"] * 2 - df["b"]
    df = df.persist()
    times = []
    for name in ("workers", "client"):
        path = os.path.join(folder, f"{name}.db")
        store = SQLiteStorage(path)
        store.connect()
        pid = store.create_pipeline(name)
        t0 = time.perf_counter()
        if name == "workers":
            written = persist_results(df, SQLiteStorage(path), pid, ["z", "y"])
        else:
            local = df.compute()
            keys = local.index.astype(str).tolist()
            rows_out = [(k, out, int(w), float(v), None)
                        for out in ("z", "y")
                        for k, w, v in zip(keys, local._col_prov[out].tolist(), local[out].tolist())]
            store.store_results(pid, rows_out)
            written = len(rows_out)
        times.append(time.perf_counter() - t0)
        store.disconnect()
        assert written == 2 * rows
    return times[0], times[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000,
                        help="rows of the generated table (default 10,000,000)")
    parser.add_argument("--partitions", type=int, default=20,
                        help="partitions of the generated table (default 20)")
    parser.add_argument("--repeat", type=int, default=2,
                        help="runs of each side, in alternating order; the best counts (default 2)")
    parser.add_argument("--memory-limit", default="3GiB",
                        help="memory limit per worker process (default 3GiB)")
    parser.add_argument("--persist-rows", type=int, default=0,
                        help="also time writing result fingerprints of this many rows to SQLite "
                             "from the workers and through the client (default 0: skip)")
    args = parser.parse_args()

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, memory_limit=args.memory_limit) as cluster, \
            Client(cluster):
        plain(10_000, 2, SEED)          # warm both paths up (imports, codecs)
        tracked(10_000, 2, SEED)
        times: dict[str, list[float]] = {"plain": [], "tracked": []}
        results: dict[str, Any] = {}
        for r in range(max(1, args.repeat)):
            for name in (("plain", "tracked") if r % 2 == 0 else ("tracked", "plain")):
                run = plain if name == "plain" else tracked
                t0 = time.perf_counter()
                results[name] = run(args.rows, args.partitions, SEED)
                times[name].append(time.perf_counter() - t0)
        expected, got = results["plain"], results["tracked"]
        t_plain, t_tracked = min(times["plain"]), min(times["tracked"])
        if args.persist_rows:
            with tempfile.TemporaryDirectory() as folder:
                t_workers, t_client = persist_both(args.persist_rows, args.partitions, SEED, folder)
    pd.testing.assert_frame_equal(pd.DataFrame(got), expected)
    words = got._col_prov["z"]
    print(f"rows: {args.rows:,} in {args.partitions} partitions, 2 worker processes")
    print(f"plain Dask:   {t_plain:8.2f} s   (runs: {', '.join(f'{t:.2f}' for t in times['plain'])})")
    print(f"tracked Dask: {t_tracked:8.2f} s   (runs: {', '.join(f'{t:.2f}' for t in times['tracked'])}; "
          f"{len(words)} groups, z tainted: {bool(got._tracker.is_tainted(int(words[0])))})")
    print(f"ratio tracked / plain: {t_tracked / t_plain:.2f} (best of {max(1, args.repeat)} each; "
          "target <= 1.5)")
    if args.persist_rows:
        print(f"fingerprints of {args.persist_rows:,} rows x 2 outputs into SQLite: from the workers "
              f"{t_workers:.2f} s, gathered on the client {t_client:.2f} s "
              f"(ratio client / workers {t_client / t_workers:.2f})")


if __name__ == "__main__":
    main()
