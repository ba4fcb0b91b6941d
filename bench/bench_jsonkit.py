"""Time jsonkit.dumps on 100,000 dicts holding numpy values under each backend.

Both backends are loaded in the same process (the standard-library one by
making ``import orjson`` fail while the module is imported afresh), fed the
same records built from a fixed seed, and timed as the best of a few rounds.
Prints each time and the ratio json / orjson.

    PYTHONPATH=src python bench/bench_jsonkit.py [--records N] [--rounds R]
"""
from __future__ import annotations

import argparse
import importlib
import sys
import time

import numpy as np

MODULE = "morvel.utilities.jsonkit"


def load_backend(block_orjson: bool):
    saved = sys.modules.pop(MODULE, None)
    saved_orjson = sys.modules.get("orjson")
    if block_orjson:
        sys.modules["orjson"] = None
    try:
        return importlib.import_module(MODULE)
    finally:
        sys.modules.pop(MODULE, None)
        if saved is not None:
            sys.modules[MODULE] = saved
        if block_orjson:
            if saved_orjson is None:
                sys.modules.pop("orjson", None)
            else:
                sys.modules["orjson"] = saved_orjson


def make_records(n: int, seed: int = 20240102) -> list[dict]:
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, 2**31, size=n, dtype=np.int64)
    scores = rng.random(n)
    flags = rng.random(n) < 0.5
    words = rng.integers(0, 2**32, size=(n, 4), dtype=np.uint32)
    return [
        {
            "id": ids[i],              # numpy int64 scalar
            "score": scores[i],        # numpy float64 scalar
            "approved": flags[i],      # numpy bool_ scalar
            "words": words[i],         # numpy uint32 array
            "label": "row",
        }
        for i in range(n)
    ]


def best_time(fn, rounds: int) -> float:
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000,
                        help="dicts with numpy values serialised per timing (default 100000)")
    parser.add_argument("--rounds", type=int, default=3,
                        help="timings per backend; the best is kept (default 3)")
    args = parser.parse_args()

    records = make_records(args.records)
    fast = load_backend(block_orjson=False)
    slow = load_backend(block_orjson=True)
    if fast.BACKEND != "orjson":
        sys.exit("orjson is not installed: pip install orjson")
    assert slow.BACKEND == "json"
    # Same content from both backends before timing anything.
    assert fast.loads(fast.dumps(records[:100])) == slow.loads(slow.dumps(records[:100]))

    t_fast = best_time(lambda: fast.dumps(records), args.rounds)
    t_slow = best_time(lambda: slow.dumps(records), args.rounds)
    print(f"records: {args.records:,}  rounds: {args.rounds} (best of)")
    print(f"orjson backend dumps: {t_fast * 1e3:9.1f} ms")
    print(f"json   backend dumps: {t_slow * 1e3:9.1f} ms")
    print(f"ratio json / orjson:  {t_slow / t_fast:9.1f}x")


if __name__ == "__main__":
    main()
