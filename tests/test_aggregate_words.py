"""One aggregate rule for every path: a group's (or window's) word joins its
members' words (order-independent) and takes the aggregate step once.

Checked against a brute-force reference built from decoded fields, for any
order of the rows and any split into partial aggregates (how a distributed
reduction computes it), through the native kernels and through the
row-following ``morvel.Pipeline`` groupby and windows."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import morvel
from morvel._vortel32 import finish_aggregates, join_groups, reduce_groups, reduce_windows
from morvel.utilities.vortel32 import OpCode, ProvenanceTracker

small_sets = st.frozensets(st.integers(0, 40), min_size=0, max_size=6)
word_parts = st.tuples(small_sets, st.integers(0, 255), st.integers(0, 255), st.booleans(),
                       st.integers(0, 7))


def reference(t: ProvenanceTracker, words: list[int], op: int = OpCode.AGG) -> int:
    """Aggregate word from the members' decoded fields."""
    pairs: set[int] = set()
    entity = chain = depth = 0
    taint = False
    for w in words:
        info = t.decode_full(int(w))
        pairs |= info.pairs
        entity ^= info.entity
        chain ^= info.chain
        taint = taint or info.taint
        depth = max(depth, info.depth)
    return t.update_chain(t.encode(pairs, entity, chain, taint, min(depth + 1, 7)), op)


@settings(max_examples=120, deadline=None)
@given(st.lists(word_parts, min_size=1, max_size=40), st.integers(1, 4), st.randoms(),
       st.sampled_from([OpCode.AGG, OpCode.CUSTOM]), st.booleans(), st.booleans())
def test_reduce_groups_is_the_join_then_one_step_in_any_row_order(parts, ngroups, rnd, op, stable,
                                                                   one_set):
    t = ProvenanceTracker()
    if stable:
        from morvel.dask import PortableTracker
        t = PortableTracker()
    if one_set:  # every row names the same pairs (the kernels' fast path)
        parts = [(parts[0][0], *p[1:]) for p in parts]
    words = np.array([t.encode(set(p), e, c, tn, d) for p, e, c, tn, d in parts], dtype=np.uint32)
    codes = np.array([rnd.randrange(-1, ngroups + 1) for _ in parts], dtype=np.int64)  # -1, ngroups: no group
    got = reduce_groups(t._rust, words, codes, ngroups, op)
    for g in range(ngroups):
        members = words[codes == g].tolist()
        assert int(got[g]) == (reference(t, members, op) if members else 0), g
    # any order of the rows gives the same words
    perm = np.array(rnd.sample(range(len(parts)), len(parts)), dtype=np.int64)
    assert np.array_equal(reduce_groups(t._rust, words[perm], codes[perm], ngroups, op), got)
    # a distributed reduction: partial joins of any split, joined, finished once
    cut = rnd.randrange(0, len(parts) + 1)
    valid = (codes >= 0) & (codes < ngroups)
    c, w = codes[valid], words[valid]
    k = int(valid[:cut].sum())
    partials = [join_groups(t._rust, c[:k], w[:k], ngroups), join_groups(t._rust, c[k:], w[k:], ngroups)]
    joined = join_groups(t._rust, np.tile(np.arange(ngroups, dtype=np.int64), 2),
                         np.concatenate(partials[::-1]), ngroups)
    finished = finish_aggregates(t._rust, joined, op)
    present = np.isin(np.arange(ngroups), c)
    assert np.array_equal(finished[present], got[present])


@settings(max_examples=60, deadline=None)
@given(st.lists(word_parts, min_size=1, max_size=30), st.integers(1, 6), st.randoms())
def test_reduce_windows_joins_each_window_in_any_order(parts, width, rnd):
    t = ProvenanceTracker()
    words = np.array([t.encode(set(p), e, c, tn, d) for p, e, c, tn, d in parts], dtype=np.uint32)
    n = len(words)
    # rolling windows, then expanding ones (the kernel reuses the previous join)
    starts = np.array([max(0, i - width + 1) for i in range(n)] + [0] * n, dtype=np.int64)
    ends = np.array([i + 1 for i in range(n)] * 2, dtype=np.int64)
    got = reduce_windows(t._rust, words, starts, ends, OpCode.AGG)
    for j, (a, b) in enumerate(zip(starts, ends, strict=True)):
        assert int(got[j]) == reference(t, words[a:b].tolist()), j
    # the same windows over the reversed rows give the same words
    rev = reduce_windows(t._rust, words[::-1].copy(), n - ends, n - starts, OpCode.AGG)
    assert np.array_equal(rev, got)
    empty = reduce_windows(t._rust, words, np.array([2], dtype=np.int64), np.array([2], dtype=np.int64),
                           OpCode.AGG)
    assert empty.tolist() == [0]


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(n=st.integers(2, 40), seed=st.integers(0, 2**16), portable=st.booleans())
def test_pipeline_groupby_word_does_not_depend_on_the_order_of_the_rows(n, seed, portable):
    rng = np.random.default_rng(seed)
    raw = pd.DataFrame({"k": rng.integers(0, 3, n), "x": rng.normal(size=n).round(2),
                        "s": rng.choice(["a", "b", "c"], n)},
                       index=pd.Index([f"r{i}" for i in range(n)]))
    p = morvel.Pipeline("order", portable=portable)
    f = p.track(raw, "t", protected=["s"])
    f["y"] = (f["x"] * f["k"]).clip(-1, 1) + f["x"]   # members with derived, deeper words
    shuffled = f.sort_values("x", ascending=False)
    for how in ("sum", "max", "first"):
        a = getattr(f.groupby("k")[["x", "y", "s"]], how)()
        b = getattr(shuffled.groupby("k")[["x", "y", "s"]], how)()
        for col in a.columns:
            assert a._col_prov[col].tolist() == b._col_prov[col].tolist(), (how, col)
    named = f.groupby("k").agg(total=("y", "sum"), top=("x", "max"))
    members = pd.DataFrame(raw).groupby("k").indices
    for g, key in enumerate(named.index):
        rows = members[key]
        assert int(named._col_prov["total"][g]) == reference(p.tracker, f._col_prov["y"][rows].tolist())
        assert int(named._col_prov["top"][g]) == reference(p.tracker, f._col_prov["x"][rows].tolist())


@pytest.mark.parametrize("portable", [False, True])
def test_expanding_window_word_is_the_join_of_every_row_so_far(portable):
    p = morvel.Pipeline("win", portable=portable)
    f = p.track(pd.DataFrame({"x": np.arange(6.0), "y": np.arange(6.0) ** 2}), "t", protected=["y"])
    s = f["x"] + f["y"]
    got = s.expanding().sum()
    for i in range(6):
        assert int(got._prov[i]) == reference(p.tracker, s._prov[: i + 1].tolist())
    # the reversed series' last expanding window holds the same rows
    back = s.iloc[::-1].expanding().sum()
    assert int(back._prov[-1]) == int(got._prov[-1])
