#!/usr/bin/env python3
"""combine_batch and update_chain_batch against numpy's bitwise_xor.

For each of three inputs of N words (default 10 million) the script times,
in one run and on the same arrays, numpy ``bitwise_xor(a, b)`` (a lower
bound: one read of each input, one write) and the two codec kernels, and
prints each kernel's time as a multiple of the xor time.

Inputs:
  uniform    a derived column naming one pair set ({0, 1}) on every row and
             a source column of pair 5; entities, taint and depth vary per
             row.  This is the common case of a pipeline column, which the
             kernel handles with one pair-set union for the whole call.
  realistic  a derived column naming one of three pair sets ({0}, {0,1},
             {0,1,2}) per row and a source column of pair 5; entities,
             taint and depth vary per row, as in a pipeline.
  mix        a random mix of modes 0-2: every row draws its own set of 0-3
             pairs among 16 registered pairs, so the unions of two rows
             are often dense and seldom repeat.
  dense      mostly dense words (a pool of 200 sets of 4-8 pairs among 32)
             with one word in eight a single-pair source word.

With --uniform-sizes it also prints, for uniform inputs of a few sizes
around the point where combine_batch starts splitting its work over two
threads, the combine_batch / xor ratio at each size.

Usage: PYTHONPATH=src python bench/bench_codec.py [--n N] [--repeat R] [--uniform-sizes]
"""
from __future__ import annotations

import argparse
import time

import numpy as np

from morvel.utilities import vortel32

SEED = 20240611
TARGET_REALISTIC = 4.0


def _pool(codec, sets):
    return np.array([codec.encode(sorted(s)) for s in sets], dtype=np.uint32)


def _vary(rng, words):
    """Per-row entity (modes 0 and 1), taint and depth on top of pool words."""
    n = words.size
    mode = words >> np.uint32(30)
    ent = rng.integers(0, 256, size=n, dtype=np.uint32)
    ent_bits = np.where(mode == 0, ent << np.uint32(8),
                        np.where(mode == 1, (ent & np.uint32(31)) << np.uint32(4), 0))
    head = (rng.integers(0, 2, size=n, dtype=np.uint32) << np.uint32(29)) | (
        rng.integers(0, 8, size=n, dtype=np.uint32) << np.uint32(26))
    return (words | ent_bits.astype(np.uint32) | head).astype(np.uint32)


def make_uniform(codec, n, rng):
    """A derived column of one pair set beside a source column."""
    a = np.full(n, codec.encode([0, 1]), dtype=np.uint32)
    b = np.full(n, codec.encode([5]), dtype=np.uint32)
    return _vary(rng, a), _vary(rng, b)


def make_inputs(codec, n, rng):
    uniform = make_uniform(codec, n, rng)
    realistic_a = _pool(codec, [{0}, {0, 1}, {0, 1, 2}])[rng.integers(0, 3, size=n)]
    realistic_b = np.full(n, codec.encode([5]), dtype=np.uint32)

    small = [set(rng.choice(16, size=k, replace=False).tolist())
             for k in (0, 1, 2, 3) for _ in range(150)]
    mix_pool = _pool(codec, small)
    mix_a = mix_pool[rng.integers(0, mix_pool.size, size=n)]
    mix_b = mix_pool[rng.integers(0, mix_pool.size, size=n)]

    dense_sets = [set(rng.choice(32, size=int(rng.integers(4, 9)), replace=False).tolist())
                  for _ in range(200)]
    dense_pool = np.concatenate([_pool(codec, dense_sets), _pool(codec, [{i} for i in range(28)])])
    weights = np.r_[np.full(200, 7 / 8 / 200), np.full(28, 1 / 8 / 28)]
    dense_a = dense_pool[rng.choice(dense_pool.size, size=n, p=weights)]
    dense_b = dense_pool[rng.choice(dense_pool.size, size=n, p=weights)]

    return {
        "uniform": uniform,
        "realistic": (_vary(rng, realistic_a), _vary(rng, realistic_b)),
        "mix": (_vary(rng, mix_a), _vary(rng, mix_b)),
        "dense": (_vary(rng, dense_a), _vary(rng, dense_b)),
    }


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000_000, help="words per array (default 10000000)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per timing; the best is kept (default 3)")
    parser.add_argument("--uniform-sizes", action="store_true",
                        help="also time uniform inputs of a few sizes around the threading threshold")
    args = parser.parse_args(argv)

    rng = np.random.default_rng(SEED)
    codec = vortel32.RustProvenanceTracker()
    inputs = make_inputs(codec, args.n, rng)

    print(f"{args.n:,} words per array, best of {args.repeat} runs, seed {SEED}")
    print(f"{'input':<10} {'xor ms':>8} {'combine ms':>11} {'ratio':>6} "
          f"{'update ms':>10} {'ratio':>6}")
    ratios = {}
    for name, (a, b) in inputs.items():
        # one untimed pass so that dense signatures of this input exist
        vortel32.combine_batch(codec, a, b, vortel32.OpCode.ADD)
        t_xor = best_time(lambda: np.bitwise_xor(a, b), args.repeat)
        t_comb = best_time(lambda: vortel32.combine_batch(codec, a, b, vortel32.OpCode.ADD),
                           args.repeat)
        t_upd = best_time(lambda: vortel32.update_chain_batch(codec, a, vortel32.OpCode.FILL),
                          args.repeat)
        ratios[name] = t_comb / t_xor
        print(f"{name:<10} {t_xor * 1e3:8.1f} {t_comb * 1e3:11.1f} {t_comb / t_xor:6.2f} "
              f"{t_upd * 1e3:10.1f} {t_upd / t_xor:6.2f}")
    verdict = "within" if ratios["realistic"] <= TARGET_REALISTIC else "NOT within"
    print(f"realistic combine_batch is {ratios['realistic']:.2f}x numpy xor: "
          f"{verdict} the {TARGET_REALISTIC:.0f}x target")
    print(f"dense signatures registered: {codec.dense_entries:,}")
    if args.uniform_sizes:
        print()
        print(f"{'uniform n':>10} {'xor us':>8} {'combine us':>11} {'ratio':>6}")
        for n in (400_000, 600_000, 700_000, 786_432, 1_000_000, 2_000_000):
            a, b = make_uniform(codec, n, rng)
            repeat = max(args.repeat, 20)
            t_xor = best_time(lambda: np.bitwise_xor(a, b), repeat)
            t_comb = best_time(lambda: vortel32.combine_batch(codec, a, b, vortel32.OpCode.ADD),
                               repeat)
            print(f"{n:>10,} {t_xor * 1e6:8.0f} {t_comb * 1e6:11.0f} {t_comb / t_xor:6.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
