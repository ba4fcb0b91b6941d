"""Words that do not depend on the process: stable dense signatures, the join
of partial aggregates and the keyed entity hash (no cluster needed)."""
from __future__ import annotations

import hashlib
import json
import os
import pickle
import random
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import morvel
from morvel._vortel32 import RustProvenanceTracker, join_groups
from morvel.dask import PortableTracker, stable_entity_hash
from morvel.dask._registry import registry_of
from morvel.dask._rules import finish_aggregate, join_partial
from morvel.utilities._word.portable import entity_bytes
from morvel.utilities.vortel32 import OpCode

# Where the imported package lives (the checkout's src, or site-packages
# after an install), so the child processes run the same build.
SRC = os.path.dirname(os.path.dirname(os.path.abspath(morvel.__file__)))

dense_sets = st.lists(st.frozensets(st.integers(0, 511), min_size=4, max_size=12),
                      min_size=1, max_size=30, unique=True)


@given(dense_sets)
def test_stable_signatures_do_not_depend_on_registration_order(sets):
    a, b = RustProvenanceTracker(stable_signatures=True), RustProvenanceTracker(stable_signatures=True)
    words_a = [a.encode(sorted(s)) for s in sets]
    words_b = [b.encode(sorted(s)) for s in reversed(sets)][::-1]
    assert words_a == words_b
    for s, w in zip(sets, words_a, strict=True):
        assert set(b.decode_full(w)["pairs"]) == s


@pytest.mark.parametrize("base", [[0, 1, 2, 3], [500, 501, 502, 503], [3, 130, 260, 390]])
def test_every_pair_changes_a_stable_signature(base):
    """Adding any one pair to a set gives a signature of its own, whichever
    64-bit word of the set the pair falls in (pairs 506-511 once left the low
    signature bits unchanged)."""
    codec = RustProvenanceTracker(stable_signatures=True)
    words = {codec.encode(base)}
    for extra in sorted(set(range(512)) - set(base)):
        word = codec.encode([*base, extra])
        assert word not in words, extra
        words.add(word)
    assert len(words) == 512 - len(base) + 1


def test_signature_collision_raises_instead_of_probing():
    rng = random.Random(5)
    stable, probing = RustProvenanceTracker(stable_signatures=True), RustProvenanceTracker()
    seen: set[frozenset[int]] = set()
    with pytest.raises(OverflowError, match="collision"):
        for _ in range(200_000):   # a birthday collision in 2**26 comes after ~10,000 sets
            s = frozenset(rng.sample(range(512), 4))
            if s in seen:
                continue
            seen.add(s)
            probing.encode(sorted(s))
            stable.encode(sorted(s))
    # the default codec probes past the collision and still decodes every set
    for s in list(seen)[-50:]:
        assert set(probing.decode_full(probing.encode(sorted(s)))["pairs"]) == s


def test_combining_an_undecodable_dense_word_raises_only_when_stable():
    word = RustProvenanceTracker(stable_signatures=True).encode([1, 2, 3, 4])
    src = RustProvenanceTracker().encode([7])
    with pytest.raises(ValueError, match="does not know"):
        RustProvenanceTracker(stable_signatures=True).combine(word, src, OpCode.ADD)
    # directly-built trackers keep their behaviour: unknown pairs count as empty
    assert RustProvenanceTracker().decode_full(RustProvenanceTracker().combine(word, src, 1))["pairs"] == [7]


# -- join of partial aggregates --------------------------------------------

small_sets = st.frozensets(st.integers(0, 40), min_size=0, max_size=5)
word_parts = st.tuples(small_sets, st.integers(0, 255), st.integers(0, 255), st.booleans(),
                       st.integers(0, 7))


def brute_join(t: PortableTracker, words: list[int]) -> tuple[set[int], int, int, bool, int]:
    pairs: set[int] = set()
    entity = chain = depth = 0
    taint = False
    for w in words:
        info = t.decode_full(w)
        pairs |= info.pairs
        entity ^= info.entity
        chain ^= info.chain
        taint = taint or info.taint
        depth = max(depth, info.depth)
    return pairs, entity, chain, taint, depth


@given(st.lists(word_parts, min_size=1, max_size=40), st.integers(1, 4), st.randoms())
def test_join_groups_matches_brute_force_and_is_associative(parts, ngroups, rnd):
    t = PortableTracker()
    words = np.array([t.encode(set(p), e, c, tn, d) for p, e, c, tn, d in parts], dtype=np.uint32)
    codes = np.array([rnd.randrange(-1, ngroups) for _ in parts], dtype=np.int64)
    joined = join_partial(t._rust, codes, words, ngroups)
    finished = finish_aggregate(t._rust, joined)
    for g in range(ngroups):
        members = [int(w) for w, c in zip(words, codes, strict=True) if c == g]
        pairs, entity, chain, taint, depth = brute_join(t, members)
        expected = t.encode(pairs, entity, chain, taint, depth) if members else 0
        assert int(joined[g]) == expected
        if members:
            stepped = t.encode(pairs, entity, chain, taint, min(depth + 1, 7))
            assert int(finished[g]) == t.update_chain(stepped, OpCode.AGG)
    # partials of any split, joined again, equal the join of all rows
    cut = rnd.randrange(0, len(parts) + 1)
    first = join_groups(t._rust, codes[:cut], words[:cut], ngroups)
    second = join_groups(t._rust, codes[cut:], words[cut:], ngroups)
    again = join_groups(t._rust, np.tile(np.arange(ngroups, dtype=np.int64), 2),
                        np.concatenate([second, first]), ngroups)
    assert np.array_equal(again, joined)


def test_join_groups_rejects_codes_beyond_the_groups():
    t = RustProvenanceTracker(stable_signatures=True)
    with pytest.raises(ValueError, match="not below ngroups"):
        join_groups(t, np.array([0, 3]), np.array([1, 2], dtype=np.uint32), 2)


# -- entity hash and registry ------------------------------------------------

@given(st.lists(st.integers(-(2**63), 2**63 - 1), max_size=50))
def test_entity_hash_of_integers_is_the_same_in_every_container(values):
    as_int64 = stable_entity_hash(np.array(values, dtype=np.int64))
    as_objects = stable_entity_hash(np.array(values, dtype=object))
    as_index = stable_entity_hash(pd.Index(values, dtype="int64"))
    assert np.array_equal(as_int64, as_objects) and np.array_equal(as_int64, as_index)
    assert np.array_equal(stable_entity_hash(pd.RangeIndex(5)), stable_entity_hash([0, 1, 2, 3, 4]))


def splitmix64(x: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):
        x = x ^ (x >> np.uint64(30))
        x = x * np.uint64(0xBF58476D1CE4E5B9)
        x = x ^ (x >> np.uint64(27))
        x = x * np.uint64(0x94D049BB133111EB)
        return x ^ (x >> np.uint64(31))


@given(st.integers(-(2**40), 2**40), st.integers(-1000, 1000).filter(bool), st.integers(0, 300),
       st.binary(min_size=1, max_size=16))
def test_integer_labels_hash_as_the_keyed_splitmix_of_their_bytes(start, step, n, key):
    """The native hash against the formula in numpy, for range indexes
    (hashed without building the labels) and arrays alike."""
    labels = np.arange(n, dtype=np.int64) * step + start
    digest = hashlib.blake2b(b"morvel-int-labels", key=key, digest_size=16).digest()
    k0, k1 = (np.uint64(int.from_bytes(digest[i:i + 8], "little")) for i in (0, 8))
    expected = (splitmix64(splitmix64(labels.view(np.uint64) ^ k0) ^ k1) & np.uint64(0xFFFFFFFF))
    expected = expected.astype(np.uint32)
    assert np.array_equal(stable_entity_hash(labels, key), expected)
    assert np.array_equal(stable_entity_hash(pd.RangeIndex(start, start + n * step, step), key), expected)


@pytest.mark.parametrize("labels", [["a", None, "b", "a"], [1.0, float("nan"), 2.5], [b"x", (1, "y")]])
def test_entity_hash_is_keyed_and_missing_labels_hash_to_zero(labels):
    plain = stable_entity_hash(np.array(labels, dtype=object))
    other = stable_entity_hash(np.array(labels, dtype=object), key=b"another-key")
    present = [i for i, x in enumerate(labels) if not pd.isna(x)]
    assert all(plain[i] == 0 for i in range(len(labels)) if i not in present)
    assert any(plain[i] != other[i] for i in present)


def test_registry_pickles_and_rebuilds_a_codec_that_decodes_its_dense_sets():
    t = PortableTracker()
    for c in "abcdef":
        t.register("t", c)
    dense = [frozenset({0, 1, 2, 3}), frozenset({1, 2, 3, 4, 5})]
    reg = pickle.loads(pickle.dumps(registry_of(t, dense)))
    word = RustProvenanceTracker(stable_signatures=True).encode([1, 2, 3, 4, 5])
    assert reg.codec().decode_full(word)["pairs"] == [1, 2, 3, 4, 5]
    assert reg.codec() is reg.codec()


_CHILD = """
import json, sys
import numpy as np
from morvel.dask import PortableTracker, stable_entity_hash
job = json.load(sys.stdin)
t = PortableTracker()
words = [t.encode(set(s), 0, 0, False, 0) for s in job["sets"]]
print(json.dumps({"words": words, "hashes": stable_entity_hash(np.array(job["labels"], dtype=object)).tolist()}))
"""


def test_two_fresh_processes_with_different_hash_seeds_give_the_same_words():
    rng = random.Random(3)
    sets = [sorted(rng.sample(range(512), rng.randint(1, 9))) for _ in range(300)]
    labels = [f"client-{i}" for i in range(200)] + list(range(-50, 50))

    def run(order: list[list[int]], seed: str) -> dict[str, list[int]]:
        env = {**os.environ, "PYTHONHASHSEED": seed, "PYTHONPATH": SRC}
        out = subprocess.run([sys.executable, "-c", _CHILD], input=json.dumps(
            {"sets": order, "labels": labels}), capture_output=True, text=True, env=env,
            check=True, timeout=120)
        return json.loads(out.stdout)

    first = run(sets, "1")
    second = run(sets[::-1], "2")
    assert first["words"] == second["words"][::-1]
    assert first["hashes"] == second["hashes"]
    assert first["hashes"] == stable_entity_hash(np.array(labels, dtype=object)).tolist()


@pytest.mark.parametrize("index", [
    pd.RangeIndex(5, 905, 3), pd.Index(np.arange(-50, 50) * 977, dtype="int64"),
    pd.Index(np.arange(100, dtype=np.uint64) << np.uint64(60)), pd.Index([f"r{i}" for i in range(60)]),
    pd.MultiIndex.from_arrays([[1, 2, 3], ["a", "b", "c"]]), pd.DatetimeIndex(["2026-01-01", None]),
])
def test_entity_field_is_the_low_byte_of_the_label_hash(index):
    got = entity_bytes(index, b"k")
    assert got.dtype == np.uint32
    assert np.array_equal(got, stable_entity_hash(index, b"k") & np.uint32(0xFF))
    assert np.array_equal(PortableTracker(b"k").entities_of_index(index), got)
