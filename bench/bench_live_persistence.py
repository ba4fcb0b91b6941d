"""Overhead of live persistence on a DAG-tracked pipeline.

One pipeline (wrap a 200,000-row frame of three columns, one protected; a
division and a subtraction, one node per element each; a DAG audit) runs
four times in one process:

- memory only, as a user gets it (the compiled bulk paths may stand in for
  the per-element loop);
- memory only on the per-element reference path (a recorder replaced on the
  instance keeps the compiled paths out);
- live, as a user gets it: ``DAGTracker(api_key=..., service_url=...)``
  against the lineage service started here on 127.0.0.1 (the compiled paths
  hand every node to the tracker's ``_persist_node``), timed until every
  record is stored (``flush`` plus ``disable_persistence``, which drains the
  writer);
- live on the per-element reference path, into a second pipeline of the
  same service.

Prints the four times, the ratios live / live reference and live / memory,
and what the service stored for each live pipeline (which must agree).
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
    parser.add_argument("--rows", type=int, default=200_000,
                        help="rows of the pipeline's frame (default 200000)")
    parser.add_argument("--seed", type=int, default=11, help="random seed of the frame's values (default 11)")
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
            live, t_live, t_ops, stats, live_pid = run_live(url, df, reference=False)
            live_ref, t_live_ref, t_ops_ref, stats_ref, ref_pid = run_live(url, df, reference=True)
            stored = {pid: stored_counts(db, pid) for pid in (live_pid, ref_pid)}
        finally:
            proc.terminate()
            proc.wait(timeout=30)

    assert memory == reference == live == live_ref, (memory, reference, live, live_ref)
    assert stored[live_pid] == stored[ref_pid], stored
    print(f"pipeline of {args.rows:,} rows: {live['nodes']:,} DAG nodes, {3 * args.rows + 2 * args.rows:,} row values")
    print(f"memory only (as shipped):     {t_memory:7.2f} s")
    print(f"memory only (reference loop): {t_reference:7.2f} s")
    print(f"live (as shipped):            {t_live:7.2f} s  (operations {t_ops:.2f} s, flush and drain "
          f"{t_live - t_ops:.2f} s)")
    print(f"live (reference loop):        {t_live_ref:7.2f} s  (operations {t_ops_ref:.2f} s, flush and drain "
          f"{t_live_ref - t_ops_ref:.2f} s)")
    print(f"live / live reference = {t_live / t_live_ref:.2f} x; live / memory only = {t_live / t_memory:.2f} x; "
          f"live reference / memory only = {t_live_ref / t_memory:.2f} x")
    print(f"stored by the service per pipeline (both live runs): {stored[live_pid]}")
    for name, st in (("live", stats), ("live reference", stats_ref)):
        print(f"writer ({name}): nodes stored {st['nodes_stored']:,}, duplicates skipped "
              f"{st['nodes_duplicate']:,}, row values {st['row_values_stored']:,}, failed {st['failures']}")


def run_live(url: str, df: pd.DataFrame, reference: bool):
    """One timed live run into its own pipeline; returns the pipeline's
    outcome, total and operations-only times, writer stats and pipeline id."""
    start = time.perf_counter()
    t = DAGTracker(api_key=KEY, service_url=url, pipeline_name="bench-ref" if reference else "bench")
    if reference:
        t.record_row_value = t.record_row_value  # instance attribute: the reference loop is taken
    outcome = pipeline(t, df)
    t_ops = time.perf_counter() - start
    t.flush(timeout=600.0)
    stats = t.get_persistence_stats()
    pipeline_id = t._pipeline_id
    t.disable_persistence()
    return outcome, time.perf_counter() - start, t_ops, stats, pipeline_id


def stored_counts(db: str, pipeline_id: int) -> dict:
    with sqlite3.connect(db) as conn:
        return {name: conn.execute(f"SELECT COUNT(*) FROM {name} WHERE pipeline_id = ?",
                                   (pipeline_id,)).fetchone()[0]
                for name in ("nodes", "edges", "row_values")}

if __name__ == "__main__":
    main()
