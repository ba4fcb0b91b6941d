"""Words computed on a second thread beside the values of an element
operation must leave exactly the state the in-line path leaves: the same
values, the same words, the same codec (dense signatures issued in the same
order), and nothing at all when the operation fails."""
from __future__ import annotations

import operator

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel._vortel32 as native
from morvel.utilities import vortel32
from morvel.utilities._frames import base
from morvel.utilities._word import layout
from morvel.utilities.vortel32 import OpCode, ProvenanceTracker, RustProvenanceTracker, wrap_dataframe

BINARY = [operator.add, operator.sub, operator.mul, operator.truediv, operator.gt, operator.floordiv,
          operator.pow]
UNARY = [operator.neg, abs, lambda s: s.clip(-1.0, 1.0)]

# One step: (kind, left column, right column or scalar, operator index)
steps = st.lists(
    st.tuples(st.sampled_from(["bin", "scalar", "unary"]), st.integers(0, 7), st.integers(0, 7),
              st.integers(0, 6)),
    min_size=1, max_size=12)


def run(program: list, n: int, follow_rows: bool, seed: int) -> tuple[list, list, bytes]:
    """Values, words and the codec state after running ``program`` on eight
    columns of four tables (enough pairs that unions go dense)."""
    rng = np.random.default_rng(seed)
    tracker = ProvenanceTracker(follow_rows=follow_rows)
    cols = []
    for t in range(4):
        frame = pd.DataFrame({f"c{t}{j}": rng.normal(size=n) for j in range(2)})
        if t == 3:
            frame["c31"] = rng.integers(-3, 4, size=n)
        tf = wrap_dataframe(frame, tracker, f"t{t}", [f"c{t}0"])
        cols += [tf[c] for c in frame.columns]
    out = []
    for kind, i, j, k in program:
        a = cols[i]
        try:
            if kind == "bin":
                r = BINARY[k](a, cols[j])
            elif kind == "scalar":
                r = BINARY[k](a, j - 3)
            else:
                r = UNARY[k % len(UNARY)](a)
        except (ValueError, TypeError) as exc:  # integers to negative powers, bool - bool
            out.append(f"{type(exc).__name__}: {exc}")
            continue
        cols[i] = r
        out.append(r)
    values = [r if isinstance(r, str) else r.to_numpy().tolist() for r in out]
    words = [r if isinstance(r, str) else np.asarray(r._prov).tolist() for r in out]
    return values, words, tracker._rust.__getstate__()


@settings(max_examples=100, deadline=None)
@given(steps, st.integers(1, 40), st.booleans(), st.integers(0, 2**31))
def test_overlapped_words_equal_in_line_words(program, n, follow_rows, seed):
    saved = base.OVERLAP_MIN
    try:
        base.OVERLAP_MIN = 1  # every array overlapped
        overlapped = run(program, n, follow_rows, seed)
        base.OVERLAP_MIN = 1 << 62  # never
        in_line = run(program, n, follow_rows, seed)
    finally:
        base.OVERLAP_MIN = saved
    for got, want in zip(overlapped[0], in_line[0]):
        if isinstance(want, str):
            assert got == want
        else:
            np.testing.assert_array_equal(np.array(got, dtype=float), np.array(want, dtype=float))
    assert overlapped[1] == in_line[1]
    assert overlapped[2] == in_line[2]


def test_large_series_use_the_overlapped_kernels(monkeypatch):
    # The overlapped path is taken at its threshold, and gives the in-line words.
    n = base.OVERLAP_MIN
    rng = np.random.default_rng(3)
    tracker = ProvenanceTracker()
    tf = wrap_dataframe(pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n)}), tracker, "t", ["a"])
    started = []
    for name in ("start_combine", "start_copy", "start_update_chain"):
        fn = getattr(layout, name)
        monkeypatch.setattr(layout, name, lambda *a, _fn=fn, _name=name: started.append(_name) or _fn(*a))
    s, t = tf["a"], tf["b"]
    total, doubled, negated = s + t, s * 2, -s
    assert started == ["start_combine", "start_copy", "start_update_chain"]
    expected = vortel32.combine_batch(tracker._rust, s._prov, t._prov, OpCode.ADD)
    assert np.array_equal(total._prov, expected)
    assert np.array_equal(doubled._prov, s._prov) and doubled._prov is not s._prov
    assert np.array_equal(negated._prov, vortel32.update_chain_batch(tracker._rust, s._prov, OpCode.NEG))
    np.testing.assert_array_equal(total.to_numpy(), s.to_numpy() + t.to_numpy())


def test_replaced_hook_is_called_in_line(monkeypatch):
    n = base.OVERLAP_MIN
    tracker = ProvenanceTracker()
    tf = wrap_dataframe(pd.DataFrame({"a": np.ones(n), "b": np.ones(n)}), tracker, "t")
    calls = []
    real = vortel32.combine_batch
    monkeypatch.setattr(vortel32, "combine_batch", lambda *a: calls.append(1) or real(*a))
    tf["a"] + tf["b"]
    assert calls == [1]


@pytest.mark.parametrize("values", ["text", "booleans", "integer power"])
def test_failing_operation_leaves_no_codec_state(monkeypatch, values):
    # Operations numpy refuses (text minus numbers, boolean minus boolean,
    # integers to negative integer powers): the words must not have been
    # started, so no dense signature was issued for the union of four pairs.
    monkeypatch.setattr(base, "OVERLAP_MIN", 1)
    tracker = ProvenanceTracker()
    raw = {"text": (["a", "b"], object), "booleans": ([1.0, 2.0], float), "integer power": ([2, 3], np.int64)}
    data, dtype = raw[values]
    cols = [wrap_dataframe(pd.DataFrame({f"x{i}": data}, dtype=dtype), tracker, f"t{i}")[f"x{i}"]
            for i in range(4)]
    if values == "text":
        left, right = cols[0] + cols[1] + cols[2], cols[3]
    elif values == "booleans":
        left, right = cols[0] > cols[1], cols[2] > cols[3]
    else:
        left, right = cols[0] + cols[1], -(cols[2] + cols[3])
    before = tracker._rust.__getstate__()
    with pytest.raises((TypeError, ValueError)):
        left ** right if values == "integer power" else left - right
    assert tracker._rust.__getstate__() == before


def test_pending_words_report_kernel_errors_once():
    stable = RustProvenanceTracker(stable_signatures=True)
    unknown = np.array([RustProvenanceTracker(stable_signatures=True).encode([1, 2, 3, 4])], dtype=np.uint32)
    src = np.array([stable.encode([7])], dtype=np.uint32)
    with pytest.raises(ValueError, match="does not know") as inline:
        native.combine_batch(stable, unknown, src, 1)
    pending = native.start_combine(stable, unknown, src, 1)
    with pytest.raises(ValueError, match="does not know") as overlapped:
        pending.result()
    assert str(overlapped.value) == str(inline.value)
    with pytest.raises(ValueError, match="not available"):
        pending.result()
    # A result that is never collected is joined when dropped.
    del pending
    words = np.arange(10, dtype=np.uint32)
    ok = native.start_copy(words)
    assert ok.result().tolist() == words.tolist() == ok.result().tolist()
    with pytest.raises(ValueError, match="different lengths"):
        native.start_combine(stable, np.zeros(2, dtype=np.uint32), np.zeros(3, dtype=np.uint32), 1)


@pytest.mark.parametrize("n, at", [(1, 0), (1_000_000, 0), (1_000_000, 999_999)])
def test_codec_errors_inside_the_kernels_raise_instead_of_aborting(n, at):
    # An unknown dense word in the first block or in a block left to the
    # serial pass after the two-thread split: a ValueError either way.
    stable = RustProvenanceTracker(stable_signatures=True)
    known = stable.encode([7])
    a = np.full(n, known, dtype=np.uint32)
    a[at] = RustProvenanceTracker(stable_signatures=True).encode([1, 2, 3, 4])
    b = np.full(n, stable.encode([8]), dtype=np.uint32)
    for call in (lambda: native.combine_batch(stable, a, b, 1),
                 lambda: native.start_combine(stable, a, b, 1).result()):
        with pytest.raises(ValueError, match="does not know"):
            call()


def _child_words(queue):
    # Runs in a forked child: the parent's worker thread is not there.
    words = np.arange(1000, dtype=np.uint32)
    queue.put(native.start_copy(words).result().tolist() == words.tolist())


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_starts_its_own_worker():
    import multiprocessing
    words = np.arange(10, dtype=np.uint32)
    assert native.start_copy(words).result().tolist() == words.tolist()  # the parent's worker runs
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    child = ctx.Process(target=_child_words, args=(queue,))
    child.start()
    child.join(60)
    assert child.exitcode == 0
    assert queue.get(timeout=5) is True
