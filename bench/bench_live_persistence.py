"""Overhead of live persistence on a DAG-tracked pipeline.

One pipeline (wrap a 200,000-row frame of three columns, one protected; a
division and a subtraction, one node per element each; a DAG audit) runs
three times in one process:

- memory only, as a user gets it (the compiled bulk paths may stand in for
  the per-element loop);
- memory only on the per-element reference path (a recorder replaced on the
  instance keeps the compiled paths out), which is the path a live tracker
  takes;
- live: ``DAGTracker(api_key=..., service_url=...)`` against the lineage
  service started here on 127.0.0.1, timed until every record is stored
  (``flush`` plus ``disable_persistence``, which drains the writer).

Prints the three times and the ratios live / reference and live / memory.
"""
from __future__ import annotations

import argparse
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import morvel
from morvel.utilities.vortel32_dag import DAGTracker, dag_audit, wrap_dataframe_dag

KEY = "bench-key"


def make_frame(rows: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "income": rng.normal(55000, 12000, rows).round(2),
        "age": rng.integers(18, 80, rows),
        "debt": rng.normal(9000, 4000, rows).round(2),
    })


def pipeline(tracker: DAGTracker, df: pd.DataFrame) -> dict:
    f = wrap_dataframe_dag(df, tracker, "applicants", protected=["age"])
    per_year = f["income"] / f["age"]
    margin = f["income"] - f["debt"]
    audit = dag_audit(per_year, 0)
    return {"nodes": len(tracker._nodes), "audit_nodes": audit["dag"]["node_count"], "check": float(margin.values[0])}


def start_service(db: str) -> "tuple[subprocess.Popen, str]":
    src = os.path.dirname(os.path.dirname(os.path.abspath(morvel.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [src, env.get("PYTHONPATH")]))
    proc = subprocess.Popen(
        [sys.executable, "-m", "morvel.utilities.persistence.service", "--db", db, "--port", "0", "--api-key", KEY],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env,
    )
    line = proc.stdout.readline()
    match = re.search(r"listening on (http://\S+)", line)
    if not match:
        proc.kill()
        raise SystemExit(f"lineage service did not start: {line!r}")
    return proc, match.group(1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    df = make_frame(args.rows, args.seed)

    t = DAGTracker()
    start = time.perf_counter()
    memory = pipeline(t, df)
    t_memory = time.perf_counter() - start
    del t

    t = DAGTracker()
    t.record_row_value = t.record_row_value  # instance attribute: the reference loop is taken
    start = time.perf_counter()
    reference = pipeline(t, df)
    t_reference = time.perf_counter() - start
    del t

    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "lineage.db")
        proc, url = start_service(db)
        try:
            start = time.perf_counter()
            t = DAGTracker(api_key=KEY, service_url=url, pipeline_name="bench")
            live = pipeline(t, df)
            t_ops = time.perf_counter() - start
            t.flush(timeout=600.0)
            stats = t.get_persistence_stats()
            t.disable_persistence()
            t_live = time.perf_counter() - start
            with sqlite3.connect(db) as conn:
                counts = {name: conn.execute(f"SELECT COUNT(*) FROM {name}").fetchone()[0]
                          for name in ("nodes", "edges", "row_values", "dashboard_syncs")}
        finally:
            proc.terminate()
            proc.wait(timeout=30)

    assert memory == reference == live, (memory, reference, live)
    print(f"pipeline of {args.rows:,} rows: {live['nodes']:,} DAG nodes, {3 * args.rows + 2 * args.rows:,} row values")
    print(f"memory only (as shipped):     {t_memory:7.2f} s")
    print(f"memory only (reference loop): {t_reference:7.2f} s")
    print(f"live persistence:             {t_live:7.2f} s  (operations {t_ops:.2f} s, flush and drain "
          f"{t_live - t_ops:.2f} s)")
    print(f"live / reference = {t_live / t_reference:.2f} x; live / memory only = {t_live / t_memory:.2f} x")
    print(f"stored by the service: {counts}; writer: nodes stored {stats['nodes_stored']:,}, "
          f"duplicates skipped {stats['nodes_duplicate']:,}, row values {stats['row_values_stored']:,}, "
          f"failed {stats['failures']}")


if __name__ == "__main__":
    main()
