"""Live lineage streaming and whole saves of ``morvel.Pipeline(lineage=True)``, side by side.

With a fixed seed, runs the credit pipeline of ``bench_pipeline.py`` on
``--rows`` rows (default 1,000,000) and prints in one run, each round in
alternation (best and median of ``--rounds`` kept):

* the pipeline memory-only; live to an SQLite file; live to a real lineage
  service process on 127.0.0.1: the run alone (blocks written in the
  background meanwhile) and the run with its ``save()`` (the last partial
  block, values and per-word summary written, the writer joined), each as
  a ratio to the memory-only run (target for live: 3 or less);
* ``Pipeline.save`` of the memory-only pipeline to an SQLite file, whole
  (blocks, output values, per-word summary) and to the service, in nodes
  per second (target 2,000,000 or more), and of the same store once every
  full block moved to disk and its pages were dropped from the page cache
  (spilled, cold);
* the machine's load (``uptime``) before and after: it is shared.

Usage: PYTHONPATH=src python bench/bench_lineage_live.py [--rows N] [--rounds R]
"""
from __future__ import annotations

import argparse
import gc
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_pipeline import inputs  # noqa: E402

import morvel  # noqa: E402

KEY = "bench-live-key"


def credit(apps: Any, regions: Any) -> Any:
    """The credit pipeline up to the approved rows (marked as the output),
    then its groupby summary."""
    income = apps["income"].fillna(0)
    ratio = (apps["debt"] / (income + 1)).clip(0, 5)
    score = apps["age"] * 0.1 + income * 0.001 - ratio * 2 + apps["years"] * 0.5
    merged = apps.assign(score=score).merge(regions, on="region", how="left")
    merged["adjusted"] = merged["score"] * merged["factor"]
    picked = merged[merged["adjusted"] > 45]
    picked.groupby("region")["adjusted"].agg(["mean", "count"])
    return picked


def start_service(db: str) -> tuple[subprocess.Popen, str]:
    env = dict(os.environ)
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [src, env.get("PYTHONPATH")]))
    proc = subprocess.Popen([sys.executable, "-m", "morvel.utilities.persistence.service", "--db", db,
                             "--port", "0", "--api-key", KEY], stdout=subprocess.PIPE, text=True, env=env)
    assert proc.stdout is not None
    match = re.search(r"listening on (http://\S+)", proc.stdout.readline())
    if not match:
        proc.kill()
        raise SystemExit("the lineage service did not start")
    return proc, match.group(1)


def one_run(apps: Any, regions: Any, **options: Any) -> tuple[float, float, Any]:
    """(run seconds, run + save seconds, pipeline) of one pipeline; a live
    one gets ``live_written``: the blocks written before its save."""
    p = morvel.Pipeline("bench-live", lineage=True, **options)
    a, r = p.track(apps, "applications", ["gender", "age"]), p.track(regions, "regions")
    start = time.perf_counter()
    p.output(credit(a, r))
    ran = time.perf_counter() - start
    if options.get("live"):
        p.live_written = p._live.saver.written
        p.save()
    return ran, time.perf_counter() - start, p


def uptime() -> str:
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True, timeout=5).stdout.strip()
    except OSError as exc:
        return f"(uptime unavailable: {exc})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the pipeline")
    parser.add_argument("--rounds", type=int, default=3,
                        help="rounds of the three runs in alternation, best and median kept")
    args = parser.parse_args()
    apps, regions = inputs(args.rows)
    print(f"load before: {uptime()}")
    with tempfile.TemporaryDirectory(prefix="morvel-bench-live-") as folder:
        proc, url = start_service(os.path.join(folder, "service.db"))
        try:
            runs: dict[str, list[tuple[float, float]]] = {"memory-only": [], "live to SQLite": [],
                                                          "live to the service": []}
            written: dict[str, list[int]] = {}
            nodes = 0
            for k in range(args.rounds):
                for label, options in (
                        ("memory-only", {}),
                        ("live to SQLite", {"store": os.path.join(folder, f"live{k}.db"), "live": True}),
                        ("live to the service", {"store": url, "api_key": KEY, "live": True})):
                    ran, total, p = one_run(apps, regions, **options)
                    runs[label].append((ran, total))
                    nodes = len(p.tracker._store)
                    if options.get("live"):
                        written.setdefault(label, []).append(p.live_written)
                    del p
                    gc.collect()
            memory = min(r for r, _ in runs["memory-only"])
            print(f"\ncredit pipeline on {args.rows:,} rows, {nodes:,} lineage nodes, {args.rounds} rounds")
            print(f"{'run':<24}{'run s':>9}{'x mem':>7}{'run+save s':>12}{'x mem':>7}"
                  f"{'median run+save':>17}{'x mem':>7}   (target live <= 3x)")
            for label, times in runs.items():
                ran = min(r for r, _ in times)
                total = min(t for _, t in times)
                med = statistics.median(t for _, t in times)
                print(f"{label:<24}{ran:>9.3f}{ran / memory:>7.2f}{total:>12.3f}{total / memory:>7.2f}"
                      f"{med:>17.3f}{med / statistics.median(r for r, _ in runs['memory-only']):>7.2f}")

            blocks = -(-nodes // 65536)
            for label, counts in written.items():
                print(f"{label}: blocks written while the pipeline ran, per round: "
                      f"{', '.join(str(c) for c in counts)} of {blocks}")
            print(f"\nwhole saves ({nodes:,} nodes; target >= 2,000,000 nodes/s)")
            _, _, p = one_run(apps, regions)
            store = p.tracker._store.columnar
            results = []
            for k in range(args.rounds):
                start = time.perf_counter()
                p.save(os.path.join(folder, f"whole{k}.db"))
                results.append(("Pipeline.save to SQLite, blocks in memory", time.perf_counter() - start))
            start = time.perf_counter()
            p._api_key = KEY
            p.save(url)
            results.append(("Pipeline.save to the service", time.perf_counter() - start))
            store.spill()
            for k in range(args.rounds):
                store.drop_page_cache()
                start = time.perf_counter()
                p.save(os.path.join(folder, f"cold{k}.db"))
                results.append(("Pipeline.save to SQLite, spilled and cold", time.perf_counter() - start))
            for what in dict.fromkeys(w for w, _ in results):
                times = [t for w, t in results if w == what]
                print(f"    {what:<46}{min(times):>8.3f} s{nodes / min(times):>14,.0f} nodes/s"
                      f"   (median {nodes / statistics.median(times):,.0f})")
        finally:
            proc.terminate()
            proc.wait(timeout=30)
    print(f"\nload after: {uptime()}")


if __name__ == "__main__":
    main()
