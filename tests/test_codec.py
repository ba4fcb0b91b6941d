"""The native codec morvel._vortel32: numbering, dense registry, algebra,
batch kernels and entity hashing."""
from __future__ import annotations

import datetime
import itertools
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel import _vortel32 as v

HEADER = 0xFC000000
WORD = st.integers(0, 2**32 - 1)
PAIR_ID = st.integers(0, 511)
ENTITY = st.integers(0, 2**32 - 1)
CHAIN = st.integers(0, 255)
DEPTH = st.integers(0, 7)
OP = st.integers(0, 15)


def pair_sets(min_size=0, max_size=8):
    return st.sets(PAIR_ID, min_size=min_size, max_size=max_size)


def mode_of(word):
    return (word >> 30) & 3


def header(word):
    return word & HEADER


@pytest.fixture
def codec():
    return v.RustProvenanceTracker()


# -- round trips -------------------------------------------------------------

@pytest.mark.parametrize("size", range(9))
@given(data=st.data())
def test_encode_decode_round_trip(size, data):
    codec = v.RustProvenanceTracker()
    pairs = data.draw(st.sets(PAIR_ID, min_size=size, max_size=size))
    entity, chain = data.draw(ENTITY), data.draw(CHAIN)
    taint, depth = data.draw(st.booleans()), data.draw(DEPTH)
    word = codec.encode(sorted(pairs), entity, chain, taint, depth)
    d = codec.decode_full(word)
    assert list(d) == ["pairs", "entity", "chain", "taint", "depth", "mode"]
    assert d["pairs"] == sorted(pairs)
    assert (d["taint"], d["depth"]) == (taint, depth)
    assert mode_of(word) == min(max(size - 1, 0), 3)
    assert d["mode"] == (["EXACT-0", "EXACT-1", "EXACT-2", "EXACT-3"][size] if size < 4 else "DENSE")
    if size <= 1:
        # mode 0 keeps entity and chain modulo 2**8
        assert (d["entity"], d["chain"]) == (entity & 0xFF, chain)
    if size >= 3:
        assert (d["entity"], d["chain"]) == (0, 0)


@given(a=pair_sets(2, 2), e1=st.integers(0, 255), e2=st.integers(0, 255))
def test_two_pair_entity_fold_keeps_xor(a, e1, e2):
    codec = v.RustProvenanceTracker()
    ids = sorted(a)
    ent = lambda e: codec.decode_full(codec.encode(ids, e))["entity"]  # noqa: E731
    assert ent(e1) ^ ent(e2) == ent(e1 ^ e2)
    assert 0 <= ent(e1) < 32


def test_every_two_pair_set_has_its_own_word(codec):
    words = set()
    for a, b in itertools.combinations(range(0, 512, 3), 2):
        words.add(codec.encode([a, b]))
    assert len(words) == len(list(itertools.combinations(range(0, 512, 3), 2)))


@pytest.mark.parametrize("ids", [
    [0, 1], [510, 511], [0, 511], [0, 1, 2], [509, 510, 511], [0, 255, 511], [1, 2, 511],
])
def test_extreme_small_sets_fit_their_fields(codec, ids):
    word = codec.encode(ids, 0, 0, True, 7)
    assert codec.decode_full(word)["pairs"] == ids
    assert header(word) == (mode_of(word) << 30) | (1 << 29) | (7 << 26)


@given(s1=pair_sets(0, 3), s2=pair_sets(0, 3))
def test_small_sets_are_numbered_without_collision(s1, s2):
    codec = v.RustProvenanceTracker()
    w1, w2 = codec.encode(sorted(s1)), codec.encode(sorted(s2))
    assert (w1 == w2) == (s1 == s2)


@pytest.mark.parametrize("bad", [[-1], [512], [0, 1, 2**70]])
def test_pair_ids_out_of_range_are_rejected(codec, bad):
    with pytest.raises(ValueError, match="pair ID out of range"):
        codec.encode(bad)


@pytest.mark.parametrize("depth", [-1, 8, 100])
def test_depth_out_of_range_is_rejected(codec, depth):
    with pytest.raises(ValueError, match="depth"):
        codec.encode([1], depth=depth)


# -- dense registry ----------------------------------------------------------

def test_dense_signatures_are_distinct_and_repeatable(codec):
    rng = np.random.default_rng(7)
    sets = {frozenset(rng.choice(512, size=rng.integers(4, 12), replace=False).tolist())
            for _ in range(3000)}
    words = {s: codec.encode(sorted(s)) for s in sets}
    assert len(set(words.values())) == len(sets)
    assert codec.dense_entries == len(sets)
    for s, w in words.items():
        assert codec.encode(sorted(s), 99, 5, True, 3) & 0x3FFFFFF == w & 0x3FFFFFF
        assert codec.decode_full(w)["pairs"] == sorted(s)
    assert codec.dense_entries == len(sets)


def test_dense_signature_belongs_to_its_codec():
    a, b = v.RustProvenanceTracker(), v.RustProvenanceTracker()
    word = a.encode([1, 2, 3, 4], 0, 0, True, 2)
    d = b.decode_full(word)
    assert d["pairs"] == [] and d["mode"] == "UNKNOWN"
    assert (d["taint"], d["depth"]) == (True, 2)


@pytest.mark.parametrize("word", [
    (0 << 30) | (513 << 16) | 0x1234,          # mode 0, pair_data past 512
    (0 << 30) | (1023 << 16),
    (1 << 30) | (130816 << 9) | 0x55,          # mode 1, index past the last 2-set
    (1 << 30) | (0x1FFFF << 9),
    (2 << 30) | (22238720 << 1),               # mode 2, combo past the last 3-set
    (2 << 30) | (0x1FFFFFF << 1) | 1,
    (3 << 30) | 12345,                          # dense signature never issued
])
@pytest.mark.parametrize("top", [0, 1 << 29, 7 << 26])
def test_words_never_issued_name_no_pairs(codec, word, top):
    word |= top
    d = codec.decode_full(word)
    assert d["pairs"] == [] and d["mode"] == "UNKNOWN"
    assert (d["taint"], d["depth"]) == (bool(top & (1 << 29)), (top >> 26) & 7)
    known = codec.encode([7, 9], 0, 0, False, 0)
    combined = codec.decode_full(codec.combine(word, known, 1))
    assert combined["pairs"] == [7, 9]
    batch = v.combine_batch(codec, np.array([word], np.uint32), np.array([known], np.uint32), 1)
    assert codec.decode_full(int(batch[0]))["pairs"] == [7, 9]


# -- algebra -----------------------------------------------------------------

def _word(codec, draw_pairs, entity, chain, taint, depth):
    return codec.encode(sorted(draw_pairs), entity, chain, taint, depth)


@given(pa=pair_sets(0, 6), pb=pair_sets(0, 6), ea=ENTITY, eb=ENTITY, ca=CHAIN, cb=CHAIN,
       ta=st.booleans(), tb=st.booleans(), da=DEPTH, db=DEPTH, op=OP)
def test_combine_laws(pa, pb, ea, eb, ca, cb, ta, tb, da, db, op):
    codec = v.RustProvenanceTracker()
    a = _word(codec, pa, ea, ca, ta, da)
    b = _word(codec, pb, eb, cb, tb, db)
    r = codec.combine(a, b, op)
    d = codec.decode_full(r)
    union = pa | pb
    assert d["pairs"] == sorted(union)
    assert d["taint"] == (ta or tb)
    assert d["depth"] == min(max(da, db) + 1, 7)
    assert mode_of(r) == min(max(len(union) - 1, 0), 3)
    if len(union) <= 1:
        assert d["entity"] == (ea ^ eb) & 0xFF
    elif len(union) == 2:
        # same entity as a fresh two-pair word whose entity is the XOR
        fresh = codec.decode_full(codec.encode(sorted(union), (ea ^ eb) & 0xFF))
        assert d["entity"] == fresh["entity"]


@given(p=pair_sets(0, 1), ca=CHAIN, cb=CHAIN)
def test_combine_chain_depends_on_op_and_order(p, ca, cb):
    # one pair at most: the result keeps the full 8-bit chain
    codec = v.RustProvenanceTracker()
    a, b = _word(codec, p, 0, ca, False, 0), _word(codec, p, 0, cb, False, 0)
    chains = {codec.decode_full(codec.combine(a, b, op))["chain"] for op in range(16)}
    assert len(chains) >= 8
    if ca != cb:
        swapped = {op for op in range(16)
                   if codec.combine(a, b, op) & 0xFF != codec.combine(b, a, op) & 0xFF}
        assert len(swapped) >= 8


@given(p=pair_sets(0, 6), e=ENTITY, c=CHAIN, t=st.booleans(), d=DEPTH, op=OP)
def test_update_chain_changes_only_the_chain(p, e, c, t, d, op):
    codec = v.RustProvenanceTracker()
    w = _word(codec, p, e, c, t, d)
    u = codec.update_chain(w, op)
    before, after = codec.decode_full(w), codec.decode_full(u)
    for key in ("pairs", "entity", "taint", "depth", "mode"):
        assert before[key] == after[key]
    assert header(u) == header(w)
    if len(p) <= 1:
        assert u & ~0xFF == w & ~0xFF
        distinct = {codec.update_chain(w, o) for o in range(16)}
        assert len(distinct) >= 8


# -- batch kernels -----------------------------------------------------------

def _mixed_words(codec, rng, n):
    """Words of every mode, valid and foreign."""
    out = []
    for _ in range(n):
        k = int(rng.integers(0, 7))
        ids = sorted(rng.choice(40, size=k, replace=False).tolist())
        out.append(codec.encode(ids, int(rng.integers(0, 2**32)), int(rng.integers(0, 256)),
                                bool(rng.integers(0, 2)), int(rng.integers(0, 8))))
    out += [int(x) for x in rng.integers(0, 2**32, size=n // 4, dtype=np.uint64)]
    return np.array(out, dtype=np.uint32)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_batches_match_single_words(seed):
    codec = v.RustProvenanceTracker()
    rng = np.random.default_rng(seed)
    a = _mixed_words(codec, rng, 400)
    b = rng.permutation(a)
    for op in (0, 1, 4, 15):
        got = v.combine_batch(codec, a, b, op)
        assert got.dtype == np.uint32 and got.shape == a.shape
        assert got.tolist() == [codec.combine(int(x), int(y), op) for x, y in zip(a, b)]
        upd = v.update_chain_batch(codec, a, op)
        assert upd.tolist() == [codec.update_chain(int(x), op) for x in a]
    taint = v.is_tainted_batch(a)
    assert taint.dtype == np.bool_
    assert taint.tolist() == [bool((int(x) >> 29) & 1) for x in a]
    risk = v.risk_score_batch(a)
    assert risk.dtype == np.float64
    assert risk.tolist() == [((int(x) >> 29) & 1) / (1 + ((int(x) >> 26) & 7)) for x in a]


def test_batches_take_read_only_and_strided_arrays(codec):
    base = np.array([codec.encode([i % 5], i, 0, i % 2 == 0, i % 8) for i in range(40)], np.uint32)
    ro = base.copy()
    ro.flags.writeable = False
    strided = base[::3]
    reverse = base[::-1]
    expect = v.combine_batch(codec, np.ascontiguousarray(strided), np.ascontiguousarray(reverse[:14]), 3)
    assert v.combine_batch(codec, strided, reverse[:14], 3).tolist() == expect.tolist()
    out = v.update_chain_batch(codec, ro, 2)
    assert out.flags.writeable and not np.shares_memory(out, ro)
    assert v.is_tainted_batch(strided).tolist() == [bool(int(x) >> 29 & 1) for x in strided]
    series = pd.Series(base)
    assert v.risk_score_batch(series.to_numpy()).shape == (40,)


@pytest.mark.parametrize("na,nb,n", [(5, 5, 5), (1, 5, 5), (5, 1, 5), (1, 1, 1), (0, 0, 0), (1, 0, 0)])
def test_combine_batch_broadcasts_length_one(codec, na, nb, n):
    a = np.array([codec.encode([1], 3)] * na, np.uint32)
    b = np.array([codec.encode([2], 5)] * nb, np.uint32)
    out = v.combine_batch(codec, a, b, 1)
    assert out.shape == (n,)
    if n:
        assert set(out.tolist()) == {codec.combine(codec.encode([1], 3), codec.encode([2], 5), 1)}


@pytest.mark.parametrize("na,nb", [(3, 2), (2, 5), (0, 4)])
def test_combine_batch_rejects_other_length_mismatch(codec, na, nb):
    with pytest.raises(ValueError, match=rf"different lengths \({na} and {nb}\)"):
        v.combine_batch(codec, np.zeros(na, np.uint32), np.zeros(nb, np.uint32), 1)


# Pipeline columns usually name one pair set on every row; combine_batch is
# checked on such columns against single-word combine, with odd words
# dropped in, per-row entity, chain, taint and depth, broadcasting, views of
# every stride and read-only arrays.

# Pair sets of every mode, and pair keys this codec never issued (a mode-0
# pair field past 512, a mode-1 pair number past the last 2-set, a dense
# signature that is never registered).
COLUMN_KINDS = [(), (0,), (511,), (3, 9), (0, 511), (1, 2, 3), (7, 8, 9, 10),
                (20, 21, 22, 23, 24, 25), "foreign-0", "foreign-1", "foreign-dense"]
FOREIGN_KEYS = {"foreign-0": 1023 << 16, "foreign-1": (1 << 30) | (0x1FFFF << 9),
                "foreign-dense": (3 << 30) | 0x2ABCDEF}


def column_words(codec, kind, rng, n):
    """n words of one column kind, each with its own entity, chain, taint and depth."""
    ents = rng.integers(0, 2**32, size=n, dtype=np.uint64)
    chains = rng.integers(0, 256, size=n)
    taints = rng.integers(0, 2, size=n)
    depths = rng.integers(0, 8, size=n)
    if isinstance(kind, str):
        key = FOREIGN_KEYS[kind]
        low = 0xFFFF if kind == "foreign-0" else 0x1FF if kind == "foreign-1" else 0
        return np.array([key | (int(e) & low) | (int(t) << 29) | (int(d) << 26)
                         for e, t, d in zip(ents, taints, depths)], np.uint32)
    return np.array([codec.encode(list(kind), int(e), int(c), bool(t), int(d))
                     for e, c, t, d in zip(ents, chains, taints, depths)], np.uint32)


def as_layout(words, layout):
    """The same words as a contiguous, strided, reversed or read-only array."""
    if layout == "strided":
        wide = np.zeros(2 * len(words), np.uint32)
        wide[1::2] = words
        return wide[1::2]
    if layout == "reversed":
        return words[::-1].copy()[::-1]
    if layout == "read-only":
        words = words.copy()
        words.flags.writeable = False
    return words


@given(kind_a=st.sampled_from(COLUMN_KINDS), kind_b=st.sampled_from(COLUMN_KINDS),
       n=st.one_of(st.integers(1, 40), st.integers(1000, 2600)), odd=st.lists(st.tuples(st.integers(0, 2599), st.booleans(),
                                                      st.sampled_from(COLUMN_KINDS)), max_size=4),
       broadcast=st.sampled_from([None, "a", "b"]),
       layout=st.sampled_from(["contiguous", "strided", "reversed", "read-only"]),
       op=st.integers(0, 2**32 - 1), seed=st.integers(0, 2**32 - 1))
def test_combine_batch_of_one_pair_set_per_column_matches_single_words(
        kind_a, kind_b, n, odd, broadcast, layout, op, seed):
    codec = v.RustProvenanceTracker()
    rng = np.random.default_rng(seed)
    a = column_words(codec, kind_a, rng, n)
    b = column_words(codec, kind_b, rng, n)
    for pos, in_a, kind in odd:
        (a if in_a else b)[pos % n] = column_words(codec, kind, rng, 1)[0]
    if broadcast == "a":
        a = a[:1]
    elif broadcast == "b":
        b = b[:1]
    got = v.combine_batch(codec, as_layout(a, layout), as_layout(b, layout), op)
    pairs = zip(np.broadcast_to(a, (n,)).tolist(), np.broadcast_to(b, (n,)).tolist())
    assert got.tolist() == [codec.combine(x, y, op) for x, y in pairs]


LONG = 900_000   # long enough for combine_batch to split its work


@pytest.mark.parametrize("case", ["uniform", "odd-words", "odd-start", "odd-end", "strided",
                                  "broadcast", "read-only"])
def test_combine_batch_of_long_columns_matches_single_words(case):
    codec = v.RustProvenanceTracker()
    rng = np.random.default_rng(17)
    # Words of the column's own pair set first, then odd words of other sets
    # (unions of 4 and more pairs are new dense sets) and foreign words.
    own_a, own_b = column_words(codec, (0, 1), rng, 24), column_words(codec, (2,), rng, 24)
    odd = np.concatenate([column_words(codec, k, rng, 2) for k in
                          [(), (4,), (5, 6, 7), (8, 9, 10, 11, 12), "foreign-1", "foreign-dense"]])
    pool_a, pool_b = np.concatenate([own_a, odd]), np.concatenate([own_b, odd])
    ia = rng.integers(0, 24, size=LONG)
    ib = rng.integers(0, 24, size=LONG)
    some_odd = rng.integers(24, len(pool_a), size=LONG)
    if case == "odd-words":
        for pos in (0, 1023, 1024, 450_000, 450_001, 600_000, LONG - 1):
            ia[pos] = some_odd[pos]
        ib[700_000:700_050] = some_odd[700_000:700_050]
    elif case == "odd-start":
        ia[:5000] = some_odd[:5000]
    elif case == "odd-end":
        ib[-3:] = some_odd[-3:]
    # Every result word is looked up in a table of single-word combines.
    table = np.array([[codec.combine(int(x), int(y), 4) for y in pool_b] for x in pool_a],
                     np.uint32)
    a, b = pool_a[ia], pool_b[ib]
    expect = table[ia, ib]
    if case == "strided":
        a, b = as_layout(a, "strided"), as_layout(b, "reversed")
    elif case == "read-only":
        a, b = as_layout(a, "read-only"), as_layout(b, "read-only")
    elif case == "broadcast":
        b = b[:1]
        expect = table[ia, ib[0]]
    got = v.combine_batch(codec, a, b, 4)
    assert got.dtype == np.uint32 and got.shape == (LONG,)
    np.testing.assert_array_equal(got, expect)


def test_dense_signatures_do_not_depend_on_how_combine_batch_splits_its_work():
    # Tens of thousands of new dense unions, so that some first choices of
    # signature collide and the order in which they are issued matters.
    rng = np.random.default_rng(23)
    gen = v.RustProvenanceTracker()
    a = np.full(LONG, gen.encode([0, 1], 5), np.uint32)
    b = np.full(LONG, gen.encode([2], 9), np.uint32)
    odd = np.sort(rng.choice(np.arange(5000, LONG), size=30_000, replace=False))
    a[odd] = [gen.encode(sorted(rng.choice(np.arange(3, 512), 3, replace=False).tolist()))
              for _ in odd]
    whole, chunked = v.RustProvenanceTracker(), v.RustProvenanceTracker()
    got = v.combine_batch(whole, a, b, 1)
    step = 100_000
    expect = np.concatenate([v.combine_batch(chunked, a[i:i + step], b[i:i + step], 1)
                             for i in range(0, LONG, step)])
    np.testing.assert_array_equal(got, expect)
    assert whole.dense_entries == chunked.dense_entries > 25_000


@given(pid=PAIR_ID, ents=st.lists(st.integers(0, 255), max_size=30), taint=st.booleans())
def test_encode_source_column_matches_encode(pid, ents, taint):
    codec = v.RustProvenanceTracker()
    words = v.encode_source_column(codec, pid, np.array(ents, np.uint32), taint)
    assert words.dtype == np.uint32
    assert words.tolist() == [codec.encode([pid], e, 0, taint, 0) for e in ents]


@pytest.mark.parametrize("pid,ents,match", [
    (512, [1], "pair ID"), (-1, [1], "pair ID"), (3, [1, 256], "256"),
])
def test_encode_source_column_rejects_bad_input(codec, pid, ents, match):
    with pytest.raises(ValueError, match=match):
        v.encode_source_column(codec, pid, np.array(ents, np.uint32), False)


@pytest.mark.parametrize("flag,expected", [
    (np.True_, True), (np.False_, False), (1, True), (0, False), ("", False), ([0], True),
])
def test_flag_arguments_take_truthiness(flag, expected):
    # taint and protected flags often come out of numpy (np.any of a mask)
    codec = v.RustProvenanceTracker()
    word = codec.encode([3], 5, 0, flag, 0)
    assert codec.decode_full(word)["taint"] is expected
    column = v.encode_source_column(codec, 3, np.array([5], np.uint32), flag)
    assert column.tolist() == [word]
    assert codec.register("t", "c", flag) == 0


def test_flag_argument_whose_truth_fails_raises():
    with pytest.raises(ValueError, match="truth value"):
        v.RustProvenanceTracker().encode([1], 0, 0, np.array([True, False]), 0)


def test_explain_batch_names_registered_pairs(codec):
    assert codec.register("t", "a") == 0
    assert codec.register("t", "b", True) == 1
    assert codec.register("t", "a") == 0
    words = np.array([codec.encode([0, 1]), codec.encode([1]), 0, codec.encode([0, 1, 5, 9])],
                     np.uint32)
    assert v.explain_batch(codec, words) == [
        [("t", "a"), ("t", "b")], [("t", "b")], [], [("t", "a"), ("t", "b")]]


# -- entity hashing ----------------------------------------------------------

INTS = [0, 1, -1, -2, 2, 255, 256, -256, 2**31, -(2**31), 2**32 - 1, 2**61 - 2, 2**61 - 1,
        2**61, -(2**61) + 1, -(2**61), 2**62, -(2**62), 2**63 - 1, -(2**63)]


def expected_bytes(labels):
    return [0 if x is None else (hash(x) & 0xFFFFFFFF) % 256 for x in labels]


@given(st.lists(st.integers(-(2**63), 2**63 - 1), max_size=50))
def test_hash_entities_int64_matches_hash(xs):
    arr = np.array(xs + INTS, dtype=np.int64)
    got = v.hash_entities(arr)
    assert got.dtype == np.uint32
    assert got.tolist() == expected_bytes(xs + INTS)
    assert v.hash_entities(arr[::-2]).tolist() == expected_bytes((xs + INTS)[::-2])


@given(st.lists(st.integers(0, 2**64 - 1), max_size=50))
def test_hash_entities_uint64_matches_hash(xs):
    extra = [2**64 - 1, 2**63, 2**61 - 1, 2**61, 0]
    assert v.hash_entities(np.array(xs + extra, np.uint64)).tolist() == expected_bytes(xs + extra)


@pytest.mark.parametrize("labels", [
    ["a", "b", "", "longer text é"],
    [(1, 2), ("x", 3), ()],
    [pd.Timestamp("2024-01-02"), pd.Timestamp("1970-01-01 00:00:01")],
    [datetime.date(2020, 5, 1), 1.5, -0.0, 3.0],
    [None, 5, None, -1],
    [2**100, -(2**80), True],
])
def test_hash_entities_objects_match_hash(labels):
    arr = np.empty(len(labels), dtype=object)
    arr[:] = labels
    assert v.hash_entities(arr).tolist() == expected_bytes(labels)
    assert v.hash_entities(labels).tolist() == expected_bytes(labels)


def test_hash_entities_index_forms():
    idx = pd.date_range("2024-01-01", periods=5, freq="h")
    assert v.hash_entities(idx.astype(object).to_numpy()).tolist() == expected_bytes(list(idx))
    ints = pd.Index([3, -1, 2**40])
    assert v.hash_entities(ints.to_numpy()).tolist() == expected_bytes(list(ints))


def test_hash_entities_unhashable_raises():
    with pytest.raises(TypeError):
        v.hash_entities([[1, 2]])


# -- threads -----------------------------------------------------------------

def test_two_threads_share_one_codec():
    codec = v.RustProvenanceTracker()
    rng = np.random.default_rng(11)
    # mode-2 words over 24 pairs: unions of two are mostly dense and new
    triples = [sorted(rng.choice(24, size=3, replace=False).tolist()) for _ in range(600)]
    words = np.array([codec.encode(t) for t in triples], np.uint32)
    start = threading.Barrier(2)
    results, errors = {}, []

    def work(name, shift):
        try:
            start.wait()
            b = np.roll(words, shift)
            results[name] = (b, [v.combine_batch(codec, words, b, 1) for _ in range(20)])
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i, 1 + 7 * i)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    sig_of = {}
    for b, outs in results.values():
        for out in outs:
            assert out.tolist() == outs[0].tolist()
        for x, y, r in zip(words, b, outs[0]):
            pairs = tuple(codec.decode_full(int(r))["pairs"])
            assert set(pairs) == set(codec.decode_full(int(x))["pairs"]) | set(
                codec.decode_full(int(y))["pairs"])
            if len(pairs) >= 4:
                assert sig_of.setdefault(pairs, int(r) & 0x3FFFFFF) == int(r) & 0x3FFFFFF
    assert codec.dense_entries == len(sig_of)
