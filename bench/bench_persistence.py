"""Records per second into the lineage store: SQLite directly against the
lineage service over HTTP, for nodes and row values, with and without the
background writer.  Prints each rate and the service/direct ratio.

    PYTHONPATH=src python bench/bench_persistence.py [--nodes N] [--row-values N]
"""
from __future__ import annotations

import argparse
import random
import tempfile
import time
from pathlib import Path

from morvel.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    SQLiteStorage,
    StoredNode,
    StoredRowValue,
    WriterConfig,
)
from morvel.utilities.persistence.service import LineageService

CHUNK = 5000


def make_records(n_nodes: int, n_values: int, pid: int, seed: int = 0):
    rng = random.Random(seed)
    fps = rng.sample(range(2**32), n_nodes)
    nodes = [
        StoredNode(fingerprint=fp, node_type="BINARY", operation=rng.choice(["add", "mul", "div"]), table_name=None,
                   column_name=None, pair_id=None, is_protected=rng.random() < 0.1,
                   entity_hash=rng.getrandbits(10), chain_hash=rng.getrandbits(12), pipeline_id=pid)
        for fp in fps
    ]
    values = [StoredRowValue(pid, i, fps[i % n_nodes], "add", rng.random() * 1000, "score", "bench", None)
              for i in range(n_values)]
    return nodes, values


def direct(backend, nodes, values):
    t0 = time.perf_counter()
    for i in range(0, len(nodes), CHUNK):
        backend.store_nodes(nodes[i : i + CHUNK])
    t1 = time.perf_counter()
    for i in range(0, len(values), CHUNK):
        backend.store_row_values(values[i : i + CHUNK])
    t2 = time.perf_counter()
    return len(nodes) / (t1 - t0), len(values) / (t2 - t1)


def through_writer(backend, nodes, values):
    writer = AsyncWriter(backend, WriterConfig(batch_size=1000, flush_interval=0.2, queue_size=10000))
    writer.start()
    t0 = time.perf_counter()
    for n in nodes:
        writer.write_node(n)
    assert writer.flush(timeout=600)
    t1 = time.perf_counter()
    for i in range(0, len(values), CHUNK):
        writer.write_row_values(values[i : i + CHUNK])
    assert writer.flush(timeout=600)
    t2 = time.perf_counter()
    writer.stop()
    stats = writer.get_stats()
    assert stats["failures"] == 0 and stats["nodes_stored"] == len(nodes)
    return len(nodes) / (t1 - t0), len(values) / (t2 - t1)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=50_000,
                        help="node records written per run (default 50000)")
    parser.add_argument("--row-values", type=int, default=200_000,
                        help="row-value records written per run (default 200000)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        results = {}
        for label, via_service, fn in (
            ("direct", False, direct),
            ("writer", False, through_writer),
            ("direct", True, direct),
            ("writer", True, through_writer),
        ):
            db = SQLiteStorage(Path(tmp) / f"{label}_{via_service}.db")
            db.connect()
            svc = LineageService(db, {"bench": "bench"}, port=0).start() if via_service else None
            try:
                backend = HostedStorage(svc.url, "bench", "bench") if svc else db
                backend.connect()
                pid = backend.create_pipeline("bench")
                nodes, values = make_records(args.nodes, args.row_values, pid)
                results[(label, via_service)] = fn(backend, nodes, values)
                counts = db.count_rows(pid)
                assert counts["nodes"] == args.nodes and counts["row_values"] == args.row_values, counts
            finally:
                if svc:
                    svc.stop()
                db.disconnect()

    print(f"{args.nodes:,} nodes, {args.row_values:,} row values (lists of {CHUNK})")
    print(f"{'path':<10}{'SQLite nodes/s':>16}{'service nodes/s':>17}{'ratio':>8}"
          f"{'SQLite values/s':>17}{'service values/s':>18}{'ratio':>8}")
    for label in ("direct", "writer"):
        sn, sv = results[(label, False)]
        hn, hv = results[(label, True)]
        print(f"{label:<10}{sn:>16,.0f}{hn:>17,.0f}{hn / sn:>8.2f}{sv:>17,.0f}{hv:>18,.0f}{hv / sv:>8.2f}")


if __name__ == "__main__":
    main()
