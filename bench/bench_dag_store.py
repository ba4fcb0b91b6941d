"""DAG node store: logging rate, memory per node, eviction and graph rebuilds.

Words come from the real codec: two source columns (one protected) of a
table whose rows hash to 256 entities, combined operation after operation
as a DAG-tracked pipeline would, so nodes share words the way they do in
practice.  A second memory run gives every node a word of its own (the
worst case for the provenance index).  Node ids and words are read out of
numpy arrays with ``int()`` inside the loop, as the series code does, so
every node brings fresh integer objects.

Prints: nodes per second through ``log_binary``; bytes per stored node
(tracemalloc) against the 400-byte target; one eviction pass at capacity
against the creations that trigger it; ``get_dag`` of a 10,000-deep chain.
"""
from __future__ import annotations

import argparse
import gc
import time
import tracemalloc

import numpy as np

from morvel.utilities.vortel32 import OpCode
from morvel.utilities.vortel32_dag import DAGTracker

TARGET_BYTES = 400


def pipeline_words(tracker: DAGTracker, rows: int, ops: int, seed: int) -> np.ndarray:
    """(ops, rows) uint32 words of a chain of two-operand steps."""
    rng = np.random.default_rng(seed)
    a = tracker.register("loans", "income")
    b = tracker.register("loans", "age", protected=True)
    entities = rng.integers(0, 256, rows)
    cache_a = {e: tracker.encode({a}, entity=int(e)) for e in range(256)}
    cache_b = {e: tracker.encode({b}, entity=int(e), taint=True) for e in range(256)}
    left = np.array([cache_a[e] for e in entities], dtype=np.uint32)
    right = np.array([cache_b[e] for e in entities], dtype=np.uint32)
    out = np.empty((ops, rows), dtype=np.uint32)
    codes = [OpCode.ADD, OpCode.MUL, OpCode.SUB, OpCode.DIV]
    combine = tracker.combine
    memo: dict = {}
    for k in range(ops):
        code = codes[k % len(codes)]
        for i in range(rows):
            key = (int(left[i]), int(right[i]), code)
            w = memo.get(key)
            if w is None:
                w = memo[key] = combine(key[0], key[1], code)
            out[k, i] = w
        left = out[k]
    return out


def log_pipeline(tracker: DAGTracker, words: np.ndarray) -> float:
    """Log every word as a binary node (previous step, source b); seconds."""
    ops, rows = words.shape
    src_a = tracker.create_source_node("loans", "income", int(words[0, 0]))
    src_b = tracker.create_source_node("loans", "age", int(words[0, 0]))
    prev = np.full(rows, src_a, dtype=np.int64)
    right = np.full(rows, src_b, dtype=np.int64)
    log_binary = tracker.log_binary
    start = time.perf_counter()
    for k in range(ops):
        w = words[k]
        ids = np.empty(rows, dtype=np.int64)
        for i in range(rows):
            ids[i] = log_binary("add", int(prev[i]), int(right[i]), int(w[i]))
        prev = ids
    return time.perf_counter() - start


def memory_per_node(words: np.ndarray, tracker: DAGTracker) -> tuple[float, int]:
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    log_pipeline(tracker, words)
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    # The temporary id arrays of the loop are freed by now; what stays is the store.
    return (after - before) / len(tracker._nodes), len(tracker._nodes)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=500_000,
                        help="nodes logged per run (default 500000, the store's capacity)")
    parser.add_argument("--seed", type=int, default=7, help="random seed of the pipeline's words (default 7)")
    args = parser.parse_args()
    ops = 10
    rows = (args.nodes - 2) // ops

    # 1. logging rate, no tracing
    t = DAGTracker()
    words = pipeline_words(t, rows, ops, args.seed)
    n = rows * ops
    secs = log_pipeline(t, words)
    print(f"log_binary: {n:,} nodes in {secs:.2f} s = {n / secs:,.0f} nodes/s "
          f"({secs / n * 1e6:.2f} us/node); distinct words {len(t._prov_to_nodes):,}")

    # 2. eviction: the store is at capacity; the next creation runs one pass
    t._max_nodes = len(t._nodes)
    start = time.perf_counter()
    t.log_binary("add", 0, 1, 12345)
    evict = time.perf_counter() - start
    per_node = secs / n
    print(f"eviction pass at capacity {t._max_nodes:,}: {evict * 1e3:.1f} ms, removed "
          f"{t._max_nodes + 1 - len(t._nodes):,} nodes; = {evict / (per_node * (t._max_nodes // 10)):.3f} x "
          f"the time of the {t._max_nodes // 10:,} creations between passes")
    del t
    gc.collect()

    # 3. memory per stored node, realistic words
    t = DAGTracker()
    words = pipeline_words(t, rows, ops, args.seed)
    bytes_shared, stored = memory_per_node(words, t)
    print(f"memory, pipeline words: {bytes_shared:.0f} bytes/node over {stored:,} stored nodes "
          f"({len(t._prov_to_nodes):,} distinct words) = {bytes_shared / TARGET_BYTES:.2f} x the "
          f"{TARGET_BYTES}-byte target")
    del t
    gc.collect()

    # 4. memory per stored node, every word distinct (worst case for the index)
    t = DAGTracker()
    t.register("loans", "income")
    t.register("loans", "age")
    rng = np.random.default_rng(args.seed)
    unique = rng.permutation(n).astype(np.uint32).reshape(ops, rows)
    bytes_unique, stored = memory_per_node(unique, t)
    print(f"memory, all words distinct: {bytes_unique:.0f} bytes/node over {stored:,} stored nodes "
          f"= {bytes_unique / TARGET_BYTES:.2f} x the target")
    del t
    gc.collect()

    # 5. graph of a 10,000-deep chain
    t = DAGTracker()
    prev = t.create_source_node("loans", "income", 1)
    for i in range(10_000):
        prev = t.log_unary("neg", prev, i)
    start = time.perf_counter()
    g = t.get_dag(prev)
    rebuild = time.perf_counter() - start
    start = time.perf_counter()
    depth = g.depth
    walk = time.perf_counter() - start
    print(f"get_dag on a 10,000-deep chain: {rebuild * 1e3:.1f} ms for {len(g.nodes):,} nodes "
          f"({rebuild / len(g.nodes) * 1e6:.2f} us/node); depth {depth} in {walk * 1e3:.1f} ms "
          f"= {walk / rebuild:.2f} x the rebuild")


if __name__ == "__main__":
    main()
