"""Columnar lineage store: memory, walks, saving and logging, side by side.

Builds, with a fixed seed, the lineage of a credit pipeline on ``--rows``
rows (fill, ratio, clip, score, comparison, filter, ...: ``--steps``
operations, one node per row each; 10 x 1,000,000 = 10,000,000 nodes by
default) in a ``ColumnarStore`` and prints, in one run:

* bytes per node held in memory, word index included (target <= 48), and
  the process's resident memory grown while building (target <= 600 MB
  for 10,000,000 nodes);
* rebuild and export (``to_dict`` and ``to_graphviz``) of one value's
  lineage (target <= 1 ms): blocks in memory; after every full block was
  moved to disk with its pages still in the page cache; and after the
  spilled pages were also dropped from the page cache (reads from disk);
* saving the store (blocks in memory) to the embedded SQLite store in three
  layouts: one BLOB per column and block, columns that run in equal steps
  kept as (count, first, step) (the layout ``ColumnarStore.save`` uses),
  one row per node, and numpy block files with an SQLite catalogue:
  nodes/s (target >= 2,000,000) and bytes per node on disk; then the
  BLOB save of the same store once its blocks were spilled and dropped
  from the page cache;
* logging throughput of ``ColumnarStore.log_nodes`` against the existing
  compiled bulk path (``_lineage.log_nodes`` into a ``DAGTracker``) and the
  per-element ``DAGTracker.log_binary`` loop, on the same words and inputs.

Usage: PYTHONPATH=src python bench/bench_columnar_store.py [--rows N] [--steps K] [--quick]
"""
from __future__ import annotations

import argparse
import gc
import os
import shutil
import sqlite3
import statistics
import tempfile
import time

import numpy as np

from morvel import _lineage
from morvel.utilities import vortel32
from morvel.utilities._columnar_store import ColumnarStore, load_store
from morvel.utilities.persistence import SQLiteStorage
from morvel.utilities.vortel32 import OpCode
from morvel.utilities.vortel32_dag import (
    DAGNode,
    DAGTracker,
    NodeType,
    _eviction_source,
)

# (operation, node type, op code, operands: indexes into the columns so far)
PIPELINE = [
    ("fillna", NodeType.UNARY, OpCode.FILL, (0,)),          # income filled
    ("div", NodeType.BINARY, OpCode.DIV, (1, 4)),           # debt / income
    ("clip", NodeType.UNARY, OpCode.CLIP, (5,)),            # ratio clipped
    ("mul", NodeType.BINARY, OpCode.MUL, (6, 2)),           # score = ratio * age
    ("add", NodeType.BINARY, OpCode.ADD, (7, 3)),           # score + gender term
    ("merge", NodeType.UNARY, OpCode.MERGE, (8,)),          # merged with the bureau table
    ("gt", NodeType.BINARY, OpCode.CMP, (9, 4)),            # score > income
    ("filter", NodeType.UNARY, OpCode.MAP, (10,)),          # rows kept
    ("sub", NodeType.BINARY, OpCode.SUB, (11, 1)),          # decision margin
    ("neg", NodeType.UNARY, OpCode.NEG, (12,)),             # final sign
]
SOURCES = ["income", "debt", "age", "gender"]


def rss_mb() -> float:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def operands(step: int) -> tuple:
    """Columns read by a step: sources stay, later columns shift per cycle."""
    ops = PIPELINE[step % len(PIPELINE)][3]
    shift = (step // len(PIPELINE)) * len(PIPELINE)
    return tuple(o if o < len(SOURCES) else o + shift for o in ops)


def build(store: ColumnarStore, codec, rows: int, steps: int, rng) -> tuple:
    """Log the pipeline; returns (seconds spent in log_nodes, last step's ids)."""
    entities = rng.integers(0, 256, rows, dtype=np.uint32)
    words: list = []
    ids: list = []
    for k, name in enumerate(SOURCES):
        w = np.asarray(vortel32.encode_source_column(codec, k, entities, name == "gender"), dtype=np.uint32)
        node = store.create_source_node("applicants", name, int(w[0]), k, name == "gender")
        words.append(w)
        ids.append(np.full(rows, node, dtype=np.int64))
    spent = 0.0
    for s in range(steps):
        op, node_type, code, _ = PIPELINE[s % len(PIPELINE)]
        cols = operands(s)
        if node_type is NodeType.BINARY:
            w = vortel32.combine_batch(codec, words[cols[0]], words[cols[1]], code)
        else:
            w = vortel32.update_chain_batch(codec, words[cols[0]], code)
        w = np.asarray(w, dtype=np.uint32)
        start = time.perf_counter()
        out = store.log_nodes(op, node_type, w, [ids[c] for c in cols])
        spent += time.perf_counter() - start
        words.append(w)
        ids.append(out)
        # The store holds the lineage: drop the arrays no later step reads.
        later = {c for t in range(s + 1, steps) for c in operands(t)}
        for j in range(len(SOURCES), len(words) - 1):
            if j not in later:
                words[j] = ids[j] = None
    return spent, ids[-1]


def time_lineage(store: ColumnarStore, roots: np.ndarray) -> list:
    times = []
    for r in roots.tolist():
        start = time.perf_counter()
        dag = store.get_dag(r)
        dag.to_dict()
        dag.to_graphviz()
        times.append((time.perf_counter() - start) * 1e3)
    return times


def fmt(times: list) -> str:
    times = sorted(times)
    p95 = times[int(0.95 * (len(times) - 1))]
    return f"median {statistics.median(times):7.3f} ms   p95 {p95:7.3f} ms   ({len(times)} values)"


def save_blobs(store: ColumnarStore, folder: str, name: str = "blobs.db") -> tuple:
    storage = SQLiteStorage(os.path.join(folder, name))
    storage.connect()
    start = time.perf_counter()
    store_id = store.save(storage, "bench")
    seconds = time.perf_counter() - start
    storage.disconnect()
    return seconds, _size(os.path.join(folder, name)), store_id


def save_rows(store: ColumnarStore, folder: str, n: int) -> tuple:
    """One row per node (id, type, operation, word, table, column, pair,
    protected, inputs as text) through executemany, first n nodes."""
    path = os.path.join(folder, "rows.db")
    conn = sqlite3.connect(path)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=NORMAL")
    conn.execute("CREATE TABLE lineage_rows (id INTEGER PRIMARY KEY, node_type INTEGER, operation TEXT, "
                 "word INTEGER, table_name TEXT, column_name TEXT, pair_id INTEGER, is_protected INTEGER, "
                 "inputs TEXT)")
    start = time.perf_counter()
    rows = []
    for i in range(n):
        node = store.get_node(i)
        rows.append((node.node_id, node.node_type.value, node.operation, node.provenance, node.table,
                     node.column, node.pair_id, node.is_protected, ",".join(map(str, node.inputs))))
    with conn:
        conn.executemany("INSERT INTO lineage_rows VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)
    seconds = time.perf_counter() - start
    conn.close()
    return seconds, _size(path)


def save_files(store: ColumnarStore, folder: str) -> tuple:
    """Each block's columns as .npy files, blocks listed in an SQLite catalogue."""
    root = os.path.join(folder, "files")
    os.makedirs(root)
    conn = sqlite3.connect(os.path.join(root, "catalogue.db"))
    conn.execute("CREATE TABLE blocks (block_no INTEGER PRIMARY KEY, base_id INTEGER, node_count INTEGER)")
    start = time.perf_counter()
    header = store._header()
    with open(os.path.join(root, "texts.json"), "w") as fh:
        fh.write(repr(header))
    with conn:
        for b, blk in enumerate(store._blocks()):
            for name, data in zip(("types", "flags", "ops", "words", "srcs", "offsets", "inputs"),
                                  blk["columns"]):
                np.save(os.path.join(root, f"b{b}-{name}.npy"), np.frombuffer(data, np.uint8))
            conn.execute("INSERT INTO blocks VALUES (?, ?, ?)", (b, blk["base"], blk["count"]))
    seconds = time.perf_counter() - start
    conn.close()
    return seconds, sum(_size(os.path.join(root, f)) for f in os.listdir(root))


def _size(path: str) -> int:
    total = os.path.getsize(path)
    for extra in ("-wal", "-shm"):
        if os.path.exists(path + extra):
            total += os.path.getsize(path + extra)
    return total


def logging_rates(n: int, ref_n: int, rng) -> None:
    """Same words and inputs through the columnar store, the existing
    compiled bulk path and the per-element reference loop."""
    words = rng.integers(0, 2**32, n, dtype=np.uint32)

    store = ColumnarStore()
    a = store.create_source_node("t", "a", 1)
    b = store.create_source_node("t", "b", 2)
    left, right = np.full(n, a, dtype=np.int64), np.full(n, b, dtype=np.int64)
    gc.collect()
    start = time.perf_counter()
    store.log_nodes("add", NodeType.BINARY, words, [left, right])
    col = time.perf_counter() - start

    tracker = DAGTracker()
    a = tracker.create_source_node("t", "a", 1)
    b = tracker.create_source_node("t", "b", 2)
    out = np.empty(n, dtype=np.int64)
    gc.collect()
    start = time.perf_counter()
    with tracker._dag_lock:
        _lineage.log_nodes(tracker._store, DAGNode, NodeType.BINARY, "add", words, left, right, out,
                           _eviction_source())
    gc.collect()
    bulk = time.perf_counter() - start
    kept = len(tracker._nodes)
    del tracker

    tracker = DAGTracker()
    a = tracker.create_source_node("t", "a", 1)
    b = tracker.create_source_node("t", "b", 2)
    ws = words[:ref_n].tolist()
    gc.collect()
    start = time.perf_counter()
    for w in ws:
        tracker.log_binary("add", a, b, w)
    gc.collect()
    ref = time.perf_counter() - start
    del tracker

    print(f"\nLogging {n:,} binary nodes (reference loop: {ref_n:,})")
    print(f"  columnar store log_nodes:        {n / col:14,.0f} nodes/s  (0 nodes lost)")
    print(f"  existing bulk path (_lineage):   {n / bulk:14,.0f} nodes/s  "
          f"({n + 2 - kept:,} of {n + 2:,} nodes evicted)")
    print(f"  per-element DAGTracker.log_binary: {ref_n / ref:12,.0f} nodes/s")
    print(f"  columnar / existing bulk: {bulk / col:6.1f}x faster;  columnar / per-element: "
          f"{(ref / ref_n) / (col / n):6.1f}x faster")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000,
                        help="rows of the pipeline; one node per row and step (default 1,000,000)")
    parser.add_argument("--steps", type=int, default=10,
                        help="pipeline operations, cycling through the credit pipeline (default 10)")
    parser.add_argument("--values", type=int, default=200,
                        help="values whose lineage is rebuilt per measurement (default 200)")
    parser.add_argument("--row-layout-nodes", type=int, default=200_000,
                        help="nodes saved in the one-row-per-node layout (slow; default 200,000)")
    parser.add_argument("--log-nodes", type=int, default=1_000_000,
                        help="nodes per logging-throughput measurement (default 1,000,000)")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 100,000 rows and smaller side measurements")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.values, args.row_layout_nodes, args.log_nodes = 100_000, 50, 20_000, 100_000
    rng = np.random.default_rng(20261208)
    folder = tempfile.mkdtemp(prefix="morvel-bench-colstore-")
    try:
        run(args, rng, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def run(args, rng, folder: str) -> None:
    codec = DAGTracker()._rust
    gc.collect()
    before = rss_mb()
    store = ColumnarStore(spill_dir=folder)
    log_seconds, last = build(store, codec, args.rows, args.steps, rng)
    gc.collect()
    grown = rss_mb() - before
    stats = store.stats()
    n = stats["total_nodes"]
    print(f"Credit pipeline: {args.rows:,} rows x {args.steps} steps = {n:,} nodes "
          f"({stats['blocks']} blocks, {stats['unique_provenances']:,} distinct words)")
    print(f"  logged in {log_seconds:.2f} s ({n / log_seconds:,.0f} nodes/s)")
    print(f"  bytes per node in memory, index included: {stats['bytes_per_node']:6.1f}  (target <= 48)"
          f"   [columns {stats['column_bytes'] / n:.1f}, word index {stats['index_bytes'] / n:.1f}, "
          f"other {stats['other_bytes'] / n:.2f}]")
    print(f"  resident memory grown while building: {grown:7.1f} MB  (target <= 600 MB at 10,000,000 nodes;"
          f" includes the pipeline's own word/id arrays)")

    roots = rng.choice(last[last >= 0], size=min(args.values, len(last)), replace=False)
    dag = store.get_dag(int(roots[0]))
    print(f"\nRebuild + export (to_dict and to_graphviz) of one value's lineage "
          f"({len(dag.nodes)} nodes, {len(dag.edges)} edges) at {n:,} nodes  (target <= 1 ms)")
    time_lineage(store, roots[:5])
    print(f"  blocks in memory:                      {fmt(time_lineage(store, roots))}")
    print(f"\nSave to the embedded store ({n:,} nodes, blocks in memory)")
    seconds, size, store_id = save_blobs(store, folder)
    print(f"  SQLite, one BLOB per column and block:   {n / seconds:14,.0f} nodes/s   "
          f"{size / n:5.1f} bytes/node on disk   (target >= 2,000,000 nodes/s)")
    seconds_f, size_f = save_files(store, folder)
    print(f"  numpy block files + SQLite catalogue:    {n / seconds_f:14,.0f} nodes/s   "
          f"{size_f / n:5.1f} bytes/node on disk")
    m = min(args.row_layout_nodes, n)
    seconds_r, size_r = save_rows(store, folder, m)
    print(f"  SQLite, one row per node ({m:,} nodes):  {m / seconds_r:14,.0f} nodes/s   "
          f"{size_r / m:5.1f} bytes/node on disk")
    start = time.perf_counter()
    loaded = load_store(os.path.join(folder, "blobs.db"), store_id, spill_dir=folder)
    print(f"  load the BLOB layout back whole: {n / (time.perf_counter() - start):,.0f} nodes/s, "
          f"same lineage: {loaded.get_dag(int(roots[0])) == store.get_dag(int(roots[0]))}")
    del loaded
    gc.collect()

    print("\nRebuild + export once the blocks were moved to disk  (target <= 1 ms)")
    store.spill()
    spilled = store.stats()
    roots = rng.choice(last[last >= 0], size=min(args.values, len(last)), replace=False)
    print(f"  spilled ({spilled['spilled_blocks']} of {spilled['blocks']} blocks on disk, "
          f"{spilled['disk_bytes'] / 2**20:.0f} MB), pages in page cache:")
    print(f"                                         {fmt(time_lineage(store, roots))}")
    store.drop_page_cache()
    roots = rng.choice(last[last >= 0], size=min(args.values, len(last)), replace=False)
    print("  spilled, page cache dropped (cold, each value's pages read from disk):")
    print(f"                                         {fmt(time_lineage(store, roots))}")
    print(f"  memory held after spilling: {spilled['column_bytes'] + spilled['index_bytes'] + spilled['other_bytes']:,}"
          f" bytes ({(spilled['column_bytes'] + spilled['index_bytes'] + spilled['other_bytes']) / n:.1f}"
          " per node: word index and the open block)")

    store.drop_page_cache()
    seconds, _, _ = save_blobs(store, folder, "spilled.db")
    print(f"  save of the spilled store, blocks read back from disk: {n / seconds:14,.0f} nodes/s")
    del store
    gc.collect()

    logging_rates(args.log_nodes, max(args.log_nodes // 10, 1), rng)


if __name__ == "__main__":
    main()
