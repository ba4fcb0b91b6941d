"""Load on the lineage service: 50 concurrent clients for 20 seconds against
127.0.0.1, the FastAPI/uvicorn service beside the previous ``http.server``
one, each run as its own process on a fresh SQLite file.

Every client opens its own pipeline and then loops until the time is up:
a batch of 50 row values, a node, a read of its pipeline (3 requests per
round), each answered before the next is sent.  Clients are threads spread
over a few processes; requests are not retried, so every failure counts as
an error.  At the end the rows every client saw acknowledged are compared
with the rows in the database (lost rows).  Prints requests/s and latency
percentiles of both servers and their ratios.

    PYTHONPATH=src python bench/bench_service_load.py [--clients 50] [--seconds 20] [--processes 2]
"""
from __future__ import annotations

import argparse
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, Dict, List, Tuple

from morvel.utilities.persistence import HostedStorage, StoredNode, StoredRowValue

KEY = "bench-key"
BATCH = 50
#: Upper bound of rounds per client, whatever the speed: the load is bounded.
MAX_ROUNDS = 20_000

SERVERS = {
    "fastapi/uvicorn": "morvel.utilities.persistence.service",
    "http.server (previous)": "morvel.utilities.persistence._legacy_service",
}


def client_thread(url: str, seconds: float, seed: int, out: List[Any]) -> None:
    store = HostedStorage(url, KEY, "bench", max_attempts=1, timeout=30)
    latencies: List[float] = []
    errors = 0
    acked = 0
    pid = None
    try:
        store.connect()
        pid = store.create_pipeline(pipeline_name=f"load-{seed}")
    except Exception as exc:  # noqa: BLE001 - counted, reported below
        out.append(([], 1, 0, None, f"setup: {exc}"))
        return
    deadline = time.monotonic() + seconds
    rounds = 0
    last_error = ""
    while time.monotonic() < deadline and rounds < MAX_ROUNDS:
        base = rounds * BATCH
        calls = (
            lambda: store.store_row_values(
                [StoredRowValue(pid, base + i, seed, "add", float(i), "score", None) for i in range(BATCH)]),
            lambda: store.store_nodes([StoredNode(fingerprint=rounds, node_type="BINARY", operation="add",
                                                  table_name=None, column_name=None, pair_id=None,
                                                  is_protected=False, pipeline_id=pid)]),
            lambda: store._request("GET", f"/v1/pipelines/{pid}"),
        )
        for k, call in enumerate(calls):
            start = time.perf_counter()
            try:
                call()
            except Exception as exc:  # noqa: BLE001 - counted, reported below
                errors += 1
                last_error = str(exc)
                continue
            latencies.append(time.perf_counter() - start)
            if k == 0:
                acked += BATCH
        rounds += 1
    store.disconnect()
    out.append((latencies, errors, acked, pid, last_error))


def client_process(url: str, seconds: float, threads: int, first_seed: int) -> List[Any]:
    out: List[Any] = []
    workers = [threading.Thread(target=client_thread, args=(url, seconds, first_seed + k, out))
               for k in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return out


def start_server(module: str, db: str) -> Tuple[subprocess.Popen, str]:
    env = dict(os.environ)
    src = str(Path(__file__).resolve().parents[1] / "src")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [src, env.get("PYTHONPATH")]))
    proc = subprocess.Popen([sys.executable, "-m", module, "--db", db, "--port", "0", "--api-key", f"{KEY}:bench"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = proc.stdout.readline()
    match = re.search(r"listening on (http://\S+)", line)
    if not match:
        proc.kill()
        raise RuntimeError(f"{module} did not start: {line!r} {proc.stderr.read()!r}")
    return proc, match.group(1)


def percentile(sorted_values: List[float], q: float) -> float:
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def run(name: str, module: str, clients: int, seconds: float, processes: int) -> Dict[str, Any]:
    with tempfile.TemporaryDirectory() as tmp:
        db = str(Path(tmp) / "load.db")
        proc, url = start_server(module, db)
        try:
            per = [clients // processes + (1 if k < clients % processes else 0) for k in range(processes)]
            started = time.perf_counter()
            with ProcessPoolExecutor(processes) as pool:
                futures = [pool.submit(client_process, url, seconds, n, sum(per[:k]) * 1000)
                           for k, n in enumerate(per) if n]
                results = [r for f in futures for r in f.result()]
            elapsed = time.perf_counter() - started
        finally:
            proc.terminate()
            proc.wait(timeout=60)
            proc.stdout.close()
            proc.stderr.close()
        with sqlite3.connect(db) as conn:
            stored = dict(conn.execute("SELECT pipeline_id, COUNT(*) FROM row_values GROUP BY pipeline_id"))
    latencies = sorted(x for r in results for x in r[0])
    errors = sum(r[1] for r in results)
    acked = {r[3]: r[2] for r in results if r[3] is not None}
    lost = sum(max(0, n - stored.get(pid, 0)) for pid, n in acked.items())
    messages = {r[4] for r in results if r[4]}
    return {
        "name": name, "clients": len(results), "requests": len(latencies), "errors": errors,
        "rate": len(latencies) / elapsed, "p50": percentile(latencies, 0.50), "p99": percentile(latencies, 0.99),
        "rows_acked": sum(acked.values()), "rows_stored": sum(stored.values()), "lost": lost,
        "messages": sorted(messages)[:3],
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=50, help="concurrent clients (default 50)")
    parser.add_argument("--seconds", type=float, default=20.0, help="seconds of load per server (default 20)")
    parser.add_argument("--processes", type=int, default=2, help="client processes (default 2)")
    args = parser.parse_args()
    print(f"{args.clients} clients for {args.seconds:g} s against 127.0.0.1 per server, "
          f"{BATCH} row values + 1 node + 1 read per round")
    rows = [run(name, module, args.clients, args.seconds, args.processes) for name, module in SERVERS.items()]
    print(f"{'server':<24}{'requests':>10}{'req/s':>9}{'p50 ms':>9}{'p99 ms':>9}{'errors':>8}"
          f"{'rows acked':>12}{'rows stored':>13}{'lost':>6}")
    for r in rows:
        print(f"{r['name']:<24}{r['requests']:>10,}{r['rate']:>9.0f}{r['p50'] * 1e3:>9.1f}{r['p99'] * 1e3:>9.1f}"
              f"{r['errors']:>8}{r['rows_acked']:>12,}{r['rows_stored']:>13,}{r['lost']:>6}")
        for message in r["messages"]:
            print(f"    error: {message}")
    new, old = rows
    print(f"ratio new/previous: requests/s {new['rate'] / old['rate']:.2f}, p99 latency {new['p99'] / old['p99']:.2f}")
    ok = all(r["errors"] == 0 and r["lost"] == 0 for r in rows)
    print("0 errors and 0 lost rows on both" if ok else "ERRORS OR LOST ROWS: see the table")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
