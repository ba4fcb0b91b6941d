"""ProvenanceTracker, the layout constants, OpCode and _hash_entity."""
from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import morvel.utilities.vortel32 as v32
from morvel.utilities.vortel32 import OpCode, ProvenanceInfo, ProvenanceTracker, _hash_entity

MSG = "Argument '{}' has incorrect type (expected {}, got {})"
SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


@pytest.fixture
def tracker():
    return ProvenanceTracker()


# -- constants and records ---------------------------------------------------

def test_layout_constants_in_order():
    expected = [
        ("MAX_PAIRS", 512), ("MODE_01", 0), ("MODE_2", 1), ("MODE_3", 2), ("MODE_DENSE", 3),
        ("HEADER_BITS", 6), ("PAYLOAD_BITS", 26), ("MODE_SHIFT", 30), ("TAINT_SHIFT", 29),
        ("DEPTH_SHIFT", 26), ("PAYLOAD_MASK", 67108863), ("MODE_01_PAIR_BITS", 10),
        ("MODE_01_ENTITY_BITS", 8), ("MODE_01_CHAIN_BITS", 8), ("MODE_2_PAIR_BITS", 17),
        ("MODE_2_ENTITY_BITS", 5), ("MODE_2_CHAIN_BITS", 4), ("MODE_3_PAIR_BITS", 25),
        ("MODE_DENSE_SIG_BITS", 26), ("MAX_DEPTH", 7),
    ]
    names = [n for n in vars(v32) if n in dict(expected)]
    assert names == [n for n, _ in expected]
    for name, value in expected:
        assert type(getattr(v32, name)) is int and getattr(v32, name) == value


def test_codec_functions_are_module_attributes():
    for name in ("RustProvenanceTracker", "combine_batch", "update_chain_batch",
                 "encode_source_column", "is_tainted_batch", "risk_score_batch",
                 "explain_batch", "hash_entities"):
        assert callable(getattr(v32, name))


def test_opcodes_are_plain_ints():
    values = {k: getattr(OpCode, k) for k in dir(OpCode) if k.isupper()}
    assert values == {"RAW": 0, "ADD": 1, "SUB": 2, "MUL": 3, "DIV": 4, "NEG": 5, "CLIP": 6,
                      "FILL": 7, "MAP": 8, "CMP": 9, "MERGE": 10, "AGG": 11, "CUSTOM": 15}
    assert all(type(x) is int for x in values.values())


def test_provenance_info_is_an_immutable_record():
    info = ProvenanceInfo({1}, 2, 3, True, 4, "EXACT-1")
    assert ProvenanceInfo._fields == ("pairs", "entity", "chain", "taint", "depth", "mode")
    with pytest.raises(AttributeError):
        info.depth = 5


def test_tracker_attributes_in_order(tracker):
    assert list(vars(tracker)) == ["_id_to_name", "_name_to_id", "_next_id", "_dense",
                                   "_protected_tables", "_protected_columns", "_rust"]
    assert isinstance(tracker._rust, v32.RustProvenanceTracker)


# -- header reads ------------------------------------------------------------

@given(st.integers(0, 2**32 - 1))
def test_header_reads_rebuild_the_header(word):
    mode, taint, depth = ProvenanceTracker.read_header(word)
    assert (mode << 30) | (int(taint) << 29) | (depth << 26) == word & 0xFC000000
    assert ProvenanceTracker.is_tainted(word) is taint
    assert ProvenanceTracker.get_depth(word) == depth
    assert ProvenanceTracker().get_mode(word).startswith(("EXACT-", "DENSE"))
    risk = ProvenanceTracker.risk_score(word)
    assert risk == (1.0 / (1.0 + depth) if taint else 0.0)
    assert v32.risk_score_batch(np.array([word], np.uint32))[0] == risk
    assert bool(v32.is_tainted_batch(np.array([word], np.uint32))[0]) is taint


@given(st.integers(-(2**40), 2**40))
def test_header_reads_mask_wide_integers(x):
    assert ProvenanceTracker.read_header(x) == ProvenanceTracker.read_header(x & 0xFFFFFFFF)


@pytest.mark.parametrize("word,header,mode,risk", [
    (0, (0, False, 0), "EXACT-0", 0.0),
    (1 << 29, (0, True, 0), "EXACT-0", 1.0),
    (0xFC000000, (3, True, 7), "DENSE", 0.125),
    ((1 << 29) | (4 << 26), (0, True, 4), "EXACT-0", 0.2),
    (1 << 16, (0, False, 0), "EXACT-1", 0.0),
    (1 << 25, (0, False, 0), "EXACT-1", 0.0),
    (0xFFFF, (0, False, 0), "EXACT-0", 0.0),
    (1 << 30, (1, False, 0), "EXACT-2", 0.0),
    (2 << 30, (2, False, 0), "EXACT-3", 0.0),
])
def test_header_edge_cases(word, header, mode, risk):
    assert ProvenanceTracker.read_header(word) == header
    assert ProvenanceTracker().get_mode(word) == mode
    assert ProvenanceTracker.risk_score(word) == risk


def test_get_depth_truncates_floats():
    assert ProvenanceTracker.get_depth(1e8) == ProvenanceTracker.get_depth(100000000)
    assert ProvenanceTracker.get_depth(float(7 << 26) + 0.9) == 7


# -- registry ----------------------------------------------------------------

def test_register_repeats_and_protection(tracker):
    assert tracker.register("t", "a") == 0
    assert tracker.register("t", "b") == 1
    assert tracker.register("t", "a") == 0
    assert tracker._next_id == 2
    assert not tracker.is_protected("t", "a")
    assert tracker.register("t", "a", protected=True) == 0
    assert tracker.is_protected("t", "a")
    tracker.register("t", "a", protected=False)
    assert tracker.is_protected("t", "a")
    assert tracker.get_name(1) == ("t", "b") and tracker.get_name(7) is None
    assert tracker.get_id("t", "b") == 1 and tracker.get_id("t", "z") is None
    assert tracker.register_table("u", ["x", "a", "x"], protected=1) == [2, 3, 2]
    assert tracker.is_protected("u", "x") and tracker.is_protected("u", "a")


def test_registry_limit(tracker):
    ids = tracker.register_table("t", [f"c{i}" for i in range(512)])
    assert ids == list(range(512))
    with pytest.raises(ValueError) as err:
        tracker.register("t", "one more")
    assert str(err.value) == "Maximum 512 pairs supported"
    assert tracker._next_id == 512 and tracker.get_id("t", "one more") is None
    assert tracker.register("t", "c511") == 511
    word = tracker.encode({0, 511})
    assert tracker.explain(word) == [("t", "c0"), ("t", "c511")]


def test_is_protected_rules(tracker):
    tracker.register("t", "a", protected=True)
    tracker._protected_tables.add("whole")
    assert tracker.is_protected("whole") and tracker.is_protected("whole", "any")
    assert not tracker.is_protected("t") and not tracker.is_protected("t", "")
    assert tracker.is_protected("t", "a") and not tracker.is_protected("t", "b")


def test_failing_codec_register_keeps_the_pair(tracker):
    class Broken:
        def register(self, *args):
            raise RuntimeError("codec down")

    tracker._rust = Broken()
    with pytest.raises(RuntimeError, match="codec down"):
        tracker.register("t", "a", True)
    assert tracker.get_id("t", "a") == 0 and tracker.is_protected("t", "a")


# -- words -------------------------------------------------------------------

def test_dense_entries_count(tracker):
    tracker.encode({1, 2, 3})
    assert tracker.stats()["dense_entries"] == 0
    w = tracker.encode({1, 2, 3, 4}, entity=9, chain=2)
    assert tracker.stats()["dense_entries"] == 1
    assert tracker._dense[w & 0x3FFFFFF] == {"pairs": frozenset({1, 2, 3, 4}), "entity": 9, "chain": 2}
    tracker.encode({4, 3, 2, 1}, entity=5)
    assert tracker.stats()["dense_entries"] == 1
    assert tracker._dense[w & 0x3FFFFFF]["entity"] == 5


@given(pairs=st.sets(st.integers(0, 511), max_size=8), taint=st.booleans(),
       depth=st.integers(0, 7), entity=st.integers(0, 2**32 - 1))
def test_tracker_round_trip(pairs, taint, depth, entity):
    t = ProvenanceTracker()
    w = t.encode(pairs, entity=entity, taint=taint, depth=depth)
    info = t.decode_full(w)
    assert isinstance(info, ProvenanceInfo)
    assert info.pairs == pairs and t.decode(w) == pairs
    assert (info.taint, info.depth) == (taint, depth)
    assert t.read_header(w) == ((min(max(len(pairs) - 1, 0), 3)), taint, depth)
    assert all(t.contains(w, p) for p in pairs)
    assert not t.contains(w, next(i for i in range(512) if i not in pairs))


def test_explanations(tracker):
    a = tracker.register("a", "x")
    b = tracker.register("b", "y", protected=True)
    c = tracker.register("a", "z")
    w = tracker.encode({c, a, b, 40}, taint=True, depth=2)
    assert tracker.explain(w) == [("a", "x"), ("b", "y"), ("a", "z")]
    assert tracker.explain_tables(w) == ["a", "b"]
    assert tracker.has_protected(w)
    assert not tracker.has_protected(tracker.encode({a, c}))
    assert tracker.contains_table(w, "b") and not tracker.contains_table(w, "q")
    full = tracker.explain_full(w)
    assert list(full) == ["pairs", "pair_ids", "entity", "chain", "taint", "depth", "risk",
                          "mode", "provenance_hex"]
    assert full["pairs"] == [("a", "x"), ("b", "y"), ("a", "z")]
    assert full["pair_ids"] == [0, 1, 2, 40]
    assert (full["taint"], full["depth"], full["mode"]) == (True, 2, "DENSE")
    assert full["risk"] == pytest.approx(1 / 3)
    assert full["provenance_hex"] == "0x%08X" % w


@pytest.mark.parametrize("word,text", [(0, "0x00000000"), (0xFC000000, "0xFC000000"),
                                       (0xABCDEF, "0x00ABCDEF")])
def test_provenance_hex(tracker, word, text):
    assert tracker.explain_full(word)["provenance_hex"] == text


def test_combine_and_update_chain(tracker):
    a = tracker.encode({1}, entity=3, taint=True)
    b = tracker.encode({2}, entity=5, depth=6)
    assert tracker.combine(a, b) == tracker.combine(a, b, OpCode.ADD)
    assert ProvenanceTracker.combine.__defaults__ == (1,)
    r = tracker.combine(a, b, OpCode.DIV)
    info = tracker.decode_full(r)
    assert (info.pairs, info.taint, info.depth) == ({1, 2}, True, 7)
    u = tracker.update_chain(r, OpCode.FILL)
    assert tracker.risk_score(u) == tracker.risk_score(r)
    assert tracker.decode(u) == {1, 2}
    assert tracker.combine(np.uint32(a), float(b)) == tracker.combine(a, b)


def test_stats(tracker):
    tracker.register("t", "a", protected=True)
    tracker.register("t", "b")
    tracker._protected_tables.add("p")
    assert tracker.stats() == {"registered_pairs": 2, "dense_entries": 0,
                               "protected_tables": ["p"], "protected_columns": ["t.a"],
                               "encoding": "VORTEL-32"}


@pytest.mark.parametrize("row,expected", [
    (None, 0), (5, 5), (-1, 2**32 - 2), (0, 0), (2**64, hash(2**64) & 0xFFFFFFFF),
    ("abc", hash("abc") & 0xFFFFFFFF), ((1, "a"), hash((1, "a")) & 0xFFFFFFFF),
])
def test_entity_from_row(tracker, row, expected):
    assert tracker.entity_from_row(row) == _hash_entity(row) == expected
    assert 0 <= expected <= 0xFFFFFFFF


# -- codec contract ----------------------------------------------------------

def test_decode_full_needs_all_keys(tracker):
    class Partial:
        def decode_full(self, word):
            return {"pairs": [], "entity": 0, "chain": 0, "taint": False, "depth": 0}

    tracker._rust = Partial()
    with pytest.raises(KeyError):
        tracker.decode_full(0)


@pytest.mark.parametrize("method,args", [("encode", ({1},)), ("combine", (0, 0)),
                                         ("update_chain", (0, 1))])
def test_non_integer_codec_result_is_rejected(tracker, method, args):
    class Odd:
        def encode(self, *a):
            return "0x1"

        combine = update_chain = encode

    tracker._rust = Odd()
    with pytest.raises(TypeError, match="expected int"):
        getattr(tracker, method)(*args)


# -- argument types ----------------------------------------------------------

class StrSub(str):
    pass


@pytest.mark.parametrize("call,name,expected,got", [
    (lambda t: t.register(1, "c"), "table", "str", "int"),
    (lambda t: t.register("t", None), "column", "str", "NoneType"),
    (lambda t: t.register(StrSub("t"), "c"), "table", "str", "StrSub"),
    (lambda t: t.register_table("t", ("a",)), "columns", "list", "tuple"),
    (lambda t: t.get_id("t", b"c"), "column", "str", "bytes"),
    (lambda t: t.is_protected(None), "table", "str", "NoneType"),
    (lambda t: t.encode([1, 2]), "pairs", "set", "list"),
    (lambda t: t.encode(frozenset({1})), "pairs", "set", "frozenset"),
    (lambda t: t.encode({1}, entity="x"), "entity", "int", "str"),
    (lambda t: t.encode({1}, depth=None), "depth", "int", "NoneType"),
    (lambda t: t.decode("0x10"), "provenance", "int", "str"),
    (lambda t: t.get_depth([1]), "provenance", "int", "list"),
    (lambda t: ProvenanceTracker.read_header(None), "provenance", "int", "NoneType"),
    (lambda t: t.combine(1, "2"), "prov_b", "int", "str"),
    (lambda t: t.update_chain(1, None), "op", "int", "NoneType"),
    (lambda t: t.contains(0, "1"), "pair_id", "int", "str"),
    (lambda t: t.contains_table(0, 5), "table", "str", "int"),
    (lambda t: t.get_name("0"), "pair_id", "int", "str"),
])
def test_type_errors_use_the_standard_message(tracker, call, name, expected, got):
    with pytest.raises(TypeError) as err:
        call(tracker)
    assert str(err.value) == MSG.format(name, expected, got)


# -- missing codec -----------------------------------------------------------

def test_missing_codec_fails_the_import():
    script = textwrap.dedent("""
        import sys
        sys.modules["morvel._vortel32"] = None   # makes the import raise ImportError
        try:
            import morvel.utilities.vortel32
        except ImportError as exc:
            print(repr(str(exc)))
        else:
            print("imported")
    """)
    env = dict(os.environ, PYTHONPATH=SRC)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr(
        "VORTEL-32 Rust extension not found. Build it with: python tools/build_rust\n"
        "For the pure Python fallback, install from the python-vortel32-pure branch.")


def test_build_script_names_missing_tools(tmp_path):
    # the advice of the import error must lead somewhere: without CMake on
    # the path the script says what to install instead of failing in CMake
    script = os.path.join(os.path.dirname(SRC), "tools", "build_rust")
    build_dir = tmp_path / "build"
    out = subprocess.run([sys.executable, script, "--build-dir", str(build_dir)],
                         capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, PATH=str(tmp_path)))
    assert out.returncode == 1
    assert "needs cmake" in out.stderr and "pip install cmake" in out.stderr
    assert not build_dir.exists()
