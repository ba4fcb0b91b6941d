"""morvel.dask on a real two-process LocalCluster, checked value by value and
word by word against a brute-force single-process run of the same pipeline
(plain pandas, words through the tracker's scalar calls)."""
from __future__ import annotations

import hashlib
import os
import signal
import sqlite3
import threading
import time
from collections.abc import Callable
from typing import Any

import dask
import dask.dataframe as dd
import distributed
import numpy as np
import pandas as pd
import pytest

import morvel
from morvel.dask import (
    DaskPipeline,
    PortableTracker,
    compute,
    concat,
    persist,
    persist_results,
    track,
)
from morvel.utilities.persistence.hosted import HostedStorage
from morvel.utilities.persistence.service import LineageService
from morvel.utilities.persistence.storage import SQLiteStorage
from morvel.utilities.vortel32 import (
    OpCode,
    TrackedDataFrame,
    TrackedSeries,
    audit,
    column_risk_report,
    wrap_dataframe,
)

# ---------------------------------------------------------------------------
# Brute-force reference: pandas values, one scalar codec call per element
# ---------------------------------------------------------------------------

Frame = tuple[pd.DataFrame, pd.DataFrame]  # (values, words), same index and columns
Col = tuple[pd.Series, pd.Series]


class Reference:
    def __init__(self) -> None:
        self.t = PortableTracker()

    def wrap(self, df: pd.DataFrame, table: str, protected: Any = False) -> Frame:
        tdf = wrap_dataframe(df, self.t, table, protected)
        words = pd.DataFrame({c: tdf._col_prov[c].astype(np.int64) for c in df.columns}, index=df.index)
        return df.copy(), words

    @staticmethod
    def col(f: Frame, c: str) -> Col:
        return f[0][c], f[1][c]

    @staticmethod
    def assign(f: Frame, c: str, s: Col) -> Frame:
        v, w = f[0].copy(), f[1].copy()
        v[c], w[c] = s[0], s[1]
        return v, w

    def binop(self, a: Col, b: Any, fn: Callable[[Any, Any], Any], code: int | None) -> Col:
        if not isinstance(b, tuple):
            return fn(a[0], b), a[1].copy()
        va, vb = a[0].align(b[0], join="outer")
        wa, wb = a[1].align(b[1], join="outer")
        wa, wb = wa.fillna(0).astype(np.int64), wb.fillna(0).astype(np.int64)
        words = [self.t.combine(int(x), int(y), code) for x, y in zip(wa, wb)]
        return fn(va, vb), pd.Series(words, index=wa.index, dtype=np.int64)

    def unary(self, a: Col, fn: Callable[[pd.Series], pd.Series], code: int) -> Col:
        return fn(a[0]), a[1].map(lambda w: self.t.update_chain(int(w), code)).astype(np.int64)

    @staticmethod
    def filter(f: Frame, mask: pd.Series) -> Frame:
        return f[0][mask], f[1][mask]

    def merge(self, left: Frame, right: Frame, on: str, how: str) -> Frame:
        lv = left[0].assign(_lrow=np.arange(len(left[0])))
        rv = right[0].assign(_rrow=np.arange(len(right[0])))
        m = lv.merge(rv, on=on, how=how)
        words = {}
        for c in m.columns:
            if c in ("_lrow", "_rrow"):
                continue

            def side(frame: Frame, rows: pd.Series, name: str) -> list[int]:
                return [0 if pd.isna(r) else int(frame[1][name].iloc[int(r)]) for r in rows]

            if c == on:
                lw, rw = side(left, m["_lrow"], c), side(right, m["_rrow"], c)
                words[c] = [self.t.combine(a, b, OpCode.MERGE) for a, b in zip(lw, rw)]
            else:
                # an element whose side has no row has no source: word 0
                src = left if c in left[0].columns else right
                rows = m["_lrow"] if src is left else m["_rrow"]
                words[c] = [0 if pd.isna(r) else self.t.update_chain(w, OpCode.MERGE)
                            for r, w in zip(rows, side(src, rows, c))]
        values = m.drop(columns=["_lrow", "_rrow"])
        return values, pd.DataFrame(words, index=values.index, columns=values.columns)

    def fold(self, words: list[int]) -> int:
        """Aggregate word of a group, from decoded fields (no batch kernel)."""
        pairs: set[int] = set()
        entity = chain = depth = 0
        taint = False
        for w in words:
            info = self.t.decode_full(w)
            pairs |= info.pairs
            entity ^= info.entity
            chain ^= info.chain
            taint = taint or info.taint
            depth = max(depth, info.depth)
        word = self.t.encode(pairs, entity, chain, taint, min(depth + 1, 7))
        return self.t.update_chain(word, OpCode.AGG)

    def groupby(self, f: Frame, by: str, how: dict[str, str]) -> Frame:
        values = f[0].groupby(by).agg(how)
        groups = f[0].groupby(by).indices
        words = pd.DataFrame(
            {c: [self.fold([int(w) for w in f[1][c].iloc[groups[k]]]) for k in values.index]
             for c in how}, index=values.index)
        return values, words

    @staticmethod
    def concat(frames: list[Frame]) -> Frame:
        v = pd.concat([f[0] for f in frames])
        w = pd.concat([f[1] for f in frames]).fillna(0).astype(np.int64)
        return v, w[v.columns]


def assert_same(got: TrackedDataFrame, ref: Frame, sort_by: list[str] | None = None) -> None:
    """Values (up to float rounding of Dask's partial sums) and every word equal."""
    assert type(got) is TrackedDataFrame
    vals, words = ref
    assert list(got.columns) == list(vals.columns)
    got_words = pd.DataFrame({c: got._col_prov[c].astype(np.int64) for c in got.columns},
                             index=got.index)
    if sort_by:
        # by position: merged partitions repeat index labels
        order_got = np.lexsort([got[c].to_numpy() for c in reversed(sort_by)])
        order_ref = np.lexsort([vals[c].to_numpy() for c in reversed(sort_by)])
        got = pd.DataFrame(got).iloc[order_got].reset_index(drop=True)
        got_words = got_words.iloc[order_got].reset_index(drop=True)
        vals, words = vals.iloc[order_ref].reset_index(drop=True), words.iloc[order_ref].reset_index(drop=True)
    pd.testing.assert_frame_equal(pd.DataFrame(got), vals, check_dtype=False, check_index_type=False)
    for c in vals.columns:
        assert np.array_equal(got_words[c].to_numpy(), words[c].to_numpy()), c


# ---------------------------------------------------------------------------
# Data and the cluster
# ---------------------------------------------------------------------------

def make_data(seed: int = 7, n: int = 480) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    income = rng.normal(50000, 12000, n)
    income[rng.random(n) < 0.1] = np.nan
    people = pd.DataFrame({
        "pid": np.arange(n),
        "gender": rng.choice(["f", "m"], n),
        "age": rng.integers(18, 80, n),
        "income": income,
        "debt": rng.normal(10000, 3000, n),
        "region": rng.integers(0, 6, n),     # region 5 has no row in `regions`
    }, index=pd.Index(np.arange(n) * 7 + 3, name="row"))
    m = 3 * n // 4
    loan_pids = np.sort(rng.choice(n + n // 4, m, replace=False))   # some pids unknown to people
    loans = pd.DataFrame({"pid": loan_pids, "amount": rng.gamma(2.0, 800.0, m).round(2)},
                         index=pd.Index([f"L{i:05d}" for i in range(m)], name="loan"))
    regions = pd.DataFrame({"region": np.arange(5), "rate": np.linspace(0.1, 0.5, 5)})
    applicants = pd.DataFrame({"pid": np.arange(n, n + 90), "amount": rng.normal(900, 100, 90)},
                              index=pd.Index(np.arange(90) * 11 + 5000, name="row"))
    return {"people": people, "loans": loans, "regions": regions, "applicants": applicants}


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       memory_limit="1GiB")
    c = distributed.Client(cluster)
    try:
        yield c
    finally:
        c.close()
        cluster.close()


def dask_pipeline(data: dict[str, pd.DataFrame], slow: Callable[[Any], Any] | None = None) -> dict[str, Any]:
    p = DaskPipeline("credit")
    tp = track(dd.from_pandas(data["people"], npartitions=8), "people",
               protected=["gender", "age"], pipeline=p)
    tl = track(dd.from_pandas(data["loans"], npartitions=6), "loans", pipeline=p)
    tr = track(dd.from_pandas(data["regions"], npartitions=2), "regions", pipeline=p)
    ta = track(dd.from_pandas(data["applicants"], npartitions=3), "applicants", pipeline=p)
    out: dict[str, Any] = {"source": tp[tp.columns]}
    tp["income"] = tp["income"].fillna(0)
    if slow is not None:
        tp["age"] = tp["age"].map(slow)
    tp["ratio"] = (tp["debt"] / (tp["income"] + 1)).clip(0, 5)
    tp["score"] = tp["ratio"] * 10 + tp["age"] - tp["region"]
    tp["female"] = tp["gender"].map({"f": 1, "m": 0})
    tp["older"] = tp["age"] > 40
    kept = tp[tp["score"] > 40]
    joined = kept.merge(tr, on="region", how="left", broadcast=True)
    big = joined.merge(tl, on="pid", how="outer", shuffle_method="tasks", npartitions=8)
    out["joined"], out["big"] = joined, big
    out["grouped"] = big.groupby("region").agg(
        {"score": "mean", "amount": "sum", "rate": "max", "female": "sum"})
    out["concat"] = concat([tp[["pid", "age"]], ta[["pid", "amount"]]])
    return out


def reference_pipeline(data: dict[str, pd.DataFrame], ref: Reference) -> dict[str, Frame]:
    import operator as op
    pf = ref.wrap(data["people"], "people", ["gender", "age"])
    lf = ref.wrap(data["loans"], "loans")
    rf = ref.wrap(data["regions"], "regions")
    af = ref.wrap(data["applicants"], "applicants")
    out = {"source": pf}
    pf = ref.assign(pf, "income", ref.unary(ref.col(pf, "income"), lambda s: s.fillna(0), OpCode.FILL))
    plus1 = ref.binop(ref.col(pf, "income"), 1, op.add, None)
    ratio = ref.binop(ref.col(pf, "debt"), plus1, op.truediv, OpCode.DIV)
    pf = ref.assign(pf, "ratio", ref.unary(ratio, lambda s: s.clip(0, 5), OpCode.CLIP))
    score = ref.binop(ref.binop(ref.col(pf, "ratio"), 10, op.mul, None), ref.col(pf, "age"),
                      op.add, OpCode.ADD)
    pf = ref.assign(pf, "score", ref.binop(score, ref.col(pf, "region"), op.sub, OpCode.SUB))
    pf = ref.assign(pf, "female", ref.unary(ref.col(pf, "gender"), lambda s: s.map({"f": 1, "m": 0}),
                                            OpCode.MAP))
    pf = ref.assign(pf, "older", ref.binop(ref.col(pf, "age"), 40, op.gt, None))
    kept = ref.filter(pf, pf[0]["score"] > 40)
    joined = ref.merge(kept, rf, "region", "left")
    big = ref.merge(joined, lf, "pid", "outer")
    out["joined"], out["big"] = joined, big
    out["grouped"] = ref.groupby(big, "region", {"score": "mean", "amount": "sum", "rate": "max",
                                                 "female": "sum"})
    pa = (pf[0][["pid", "age"]], pf[1][["pid", "age"]])
    la = (af[0][["pid", "amount"]], af[1][["pid", "amount"]])
    out["concat"] = ref.concat([pa, la])
    return out


STAGES = ("source", "joined", "big", "grouped", "concat")


@pytest.fixture(scope="module")
def runs(client):
    """Both runs of the pipeline; every Dask stage computed in one pass."""
    data = make_data()
    ref = Reference()
    dask_run = dask_pipeline(data)
    # kept on the workers, so the later reads (risk report, stores) start from there
    dask_run.update(zip(STAGES, persist(*(dask_run[k] for k in STAGES)), strict=True))
    results = dict(zip(STAGES, compute(*(dask_run[k] for k in STAGES)), strict=True))
    return data, dask_run, reference_pipeline(data, ref), ref, results


# ---------------------------------------------------------------------------
# Equality with the single-process run
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("stage, sort_by", [
    ("source", None),
    ("joined", ["pid"]),
    ("big", ["pid"]),
    ("grouped", None),
])
def test_values_and_words_equal_single_process(runs, stage, sort_by):
    _, _, ref_run, _, results = runs
    assert_same(results[stage], ref_run[stage], sort_by)


def test_concat_keeps_each_rows_word_and_zero_for_missing_columns(runs):
    _, _, ref_run, _, results = runs
    got = results["concat"]
    assert_same(got, ref_run["concat"])
    n_people = len(runs[0]["people"])
    assert (got._col_prov["amount"][:n_people] == 0).all()
    assert (got._col_prov["age"][n_people:] == 0).all()


def test_merge_shuffles_and_covers_missing_sides(runs):
    _, dask_run, _, _, results = runs
    graph = dict(dask_pipeline(runs[0])["big"]._ddf.__dask_graph__())
    assert any("shuffle" in str(k) for k in graph), "the outer merge should hash-shuffle"
    big = results["big"]
    missing_left = big["score"].isna().to_numpy()
    missing_right = big["amount"].isna().to_numpy()
    assert missing_left.any() and missing_right.any()


def test_client_tracker_decodes_dense_words_from_workers(runs):
    _, _, ref_run, ref, results = runs
    got = results["grouped"]
    info = got._tracker.decode_full(int(got._col_prov["score"][0]))
    assert info.mode == "DENSE"
    names = {got._tracker.get_name(i) for i in info.pairs}
    assert names == {("people", c) for c in ("debt", "income", "age", "region")}
    vals, words = ref_run["grouped"]
    ref_series = TrackedSeries(vals["score"].to_numpy(), _prov=words["score"].to_numpy(np.uint32),
                               _tracker=ref.t)
    assert audit(got["score"]) == audit(ref_series)


def test_risk_report_from_workers_equals_single_process(runs):
    _, dask_run, ref_run, ref, results = runs
    vals, words = ref_run["big"]
    expected = column_risk_report(TrackedDataFrame(
        vals, _tracker=ref.t, _col_prov={c: words[c].to_numpy(np.uint32) for c in vals.columns}))
    assert [r["risk_level"] for r in expected][:2] == ["HIGH", "HIGH"]
    assert dask_run["big"].risk_report() == expected
    assert column_risk_report(results["big"]) == expected


def test_worker_killed_mid_run_gives_same_words(client):
    data = make_data(seed=11, n=160)

    def slow(x: Any) -> Any:
        time.sleep(0.005)
        return x

    expected = reference_pipeline(data, Reference())["grouped"]
    grouped = dask_pipeline(data, slow=slow)["grouped"]
    before = set(client.scheduler_info()["workers"])
    victim = min(before)

    pid = client.run(os.getpid, workers=[victim])[victim]

    def kill() -> None:
        os.kill(pid, signal.SIGKILL)  # the nanny starts a new worker process

    timer = threading.Timer(0.3, kill)
    timer.start()
    try:
        got = grouped.compute()
    finally:
        timer.join()
    assert_same(got, expected)
    client.wait_for_workers(2, timeout=60)
    after = set(client.scheduler_info()["workers"])
    assert victim not in after, "the worker process should have been replaced"


def test_results_written_from_workers_to_sqlite(runs, tmp_path):
    _, dask_run, ref_run, ref, _ = runs
    path = tmp_path / "lineage.db"
    store = SQLiteStorage(path)
    store.connect()
    pid = store.create_pipeline("dask")
    store.disconnect()
    frame = dask_run["joined"]
    written = persist_results(frame, SQLiteStorage(path), pid, ["score", "rate"], key="pid",
                              hash_columns=["pid", "age"])
    vals, words = ref_run["joined"]
    assert written == 2 * len(vals)
    with sqlite3.connect(path) as db:
        rows = db.execute("SELECT row_key, output_name, fingerprint, value, input_hash FROM results"
                          " WHERE pipeline_id = ?", (pid,)).fetchall()
        nodes = db.execute("SELECT fingerprint, is_protected FROM nodes WHERE pipeline_id = ?",
                           (pid,)).fetchall()
        sources = db.execute("SELECT pair_id, table_name, column_name, is_protected FROM sources"
                             " WHERE pipeline_id = ?", (pid,)).fetchall()
    stored = {(k, o): (f, v, h) for k, o, f, v, h in rows}
    assert len(stored) == written
    for i in range(len(vals)):
        key = str(vals["pid"].iloc[i])
        row_hash = hashlib.sha256(vals[["pid", "age"]].iloc[i].to_json().encode()).hexdigest()
        for out in ("score", "rate"):
            fingerprint, value, input_hash = stored[(key, out)]
            assert fingerprint == int(words[out].iloc[i])
            assert input_hash == row_hash
            v = vals[out].iloc[i]
            assert (value is None and pd.isna(v)) or value == pytest.approx(float(v))
    distinct = set(words["score"]) | set(words["rate"])
    assert {f for f, _ in nodes} == {int(w) for w in distinct}
    assert {f for f, p in nodes if p} == {int(w) for w in distinct if ref.t.is_tainted(int(w))}
    assert {(t, c): bool(p) for _, t, c, p in sources}[("people", "gender")] is True
    assert len(sources) == ref.t._next_id


def test_results_written_from_workers_to_the_lineage_service(runs, tmp_path):
    _, dask_run, ref_run, _, _ = runs
    db = SQLiteStorage(tmp_path / "service.db")
    db.connect()
    service = LineageService(db, {"key-dask": "acme"}, port=0).start()
    try:
        opener = HostedStorage(service.url, "key-dask", "acme")
        opener.connect()
        pid = opener.create_pipeline("dask-grouped")
        opener.disconnect()
        written = persist_results(dask_run["grouped"], HostedStorage(service.url, "key-dask", "acme"),
                                  pid, ["score", "amount"])
    finally:
        service.stop()
    with sqlite3.connect(tmp_path / "service.db") as conn:
        rows = conn.execute("SELECT row_key, output_name, fingerprint FROM results WHERE pipeline_id = ?",
                            (pid,)).fetchall()
    db.disconnect()
    vals, words = ref_run["grouped"]
    expected = {(str(k), out): int(words[out].loc[k]) for k in vals.index for out in ("score", "amount")}
    assert written == len(expected)
    assert {(k, o): f for k, o, f in rows} == expected


# ---------------------------------------------------------------------------
# One pipeline, two runs: morvel.Pipeline(portable=True) on pandas and on Dask
# ---------------------------------------------------------------------------

def credit_steps(people: Any, loans: Any, regions: Any, concat_fn: Callable[[list[Any]], Any],
                 merge_options: dict[str, Any]) -> dict[str, Any]:
    """The same code for tracked pandas frames and tracked Dask frames."""
    people["income"] = people["income"].fillna(0)
    people["ratio"] = (people["debt"] / (people["income"] + 1)).clip(0, 5)
    people["score"] = people["ratio"] * 10 + people["age"] - people["region"]
    people["female"] = people["gender"].map({"f": 1, "m": 0})
    people["band"] = (-people["age"]).abs() // 10
    people["older"] = people["age"] > people["region"] * 10
    kept = people[people["score"] > 40]
    joined = kept.merge(regions, on="region", how="left")
    big = joined.merge(loans, on="pid", how="outer", **merge_options)
    grouped = big.groupby("region").agg({"score": "mean", "amount": "sum", "rate": "max",
                                         "female": "count", "band": "min"})
    # Named aggregation: several reductions of one column, each its own column.
    summary = big.groupby("region").agg(score_mean=("score", "mean"), score_max=("score", "max"),
                                        loans=("amount", "count"), total=("amount", "sum"))
    stacked = concat_fn([people[["pid", "age", "score"]], kept[["pid", "income"]]])
    return {"people": people, "big": big, "grouped": grouped, "summary": summary, "concat": stacked}


def test_portable_pipeline_on_pandas_and_on_dask_gives_equal_values_words_and_audits(client):
    data = make_data(seed=5, n=400)
    data["loans"].index = pd.Index(np.arange(len(data["loans"])) * 3 + 1, name="loan")
    p = morvel.Pipeline("credit", portable=True)
    single = credit_steps(p.track(data["people"], "people", protected=["gender", "age"]),
                          p.track(data["loans"], "loans"), p.track(data["regions"], "regions"),
                          pd.concat, {})
    spread = credit_steps(
        track(dd.from_pandas(data["people"], npartitions=8), "people", ["gender", "age"], pipeline=p),
        track(dd.from_pandas(data["loans"], npartitions=8), "loans", pipeline=p),
        track(dd.from_pandas(data["regions"], npartitions=2), "regions", pipeline=p),
        concat, {"shuffle_method": "tasks", "npartitions": 8})
    graph = dict(spread["big"]._ddf.__dask_graph__())
    assert any("shuffle" in str(k) for k in graph), "the outer merge should hash-shuffle"
    names = list(single)
    computed = dict(zip(names, compute(*(spread[k] for k in names)), strict=True))
    for name in names:
        want, got = single[name], computed[name]
        assert type(got) is type(want) is TrackedDataFrame
        assert got._tracker is p.tracker
        if name == "big":  # merged partitions come in another row order
            want = want.sort_values("pid", kind="stable")
            got = got.sort_values("pid", kind="stable")
            pd.testing.assert_frame_equal(pd.DataFrame(got).reset_index(drop=True),
                                          pd.DataFrame(want).reset_index(drop=True), check_dtype=False)
        else:
            pd.testing.assert_frame_equal(pd.DataFrame(got), pd.DataFrame(want), check_dtype=False)
        for c in want.columns:
            assert got._col_prov[c].tolist() == want._col_prov[c].tolist(), (name, c)
        assert p.risk_report(got) == p.risk_report(want), name
        assert spread[name].risk_report() == p.risk_report(want), name
    for name, col in (("grouped", "score"), ("summary", "score_max"), ("big", "rate"), ("concat", "income")):
        want, got = single[name], computed[name]
        if name == "big":
            want, got = want.sort_values("pid", kind="stable"), got.sort_values("pid", kind="stable")
        for i in range(0, len(want), max(1, len(want) // 7)):
            assert p.audit(got[col], iloc=i) == p.audit(want[col], iloc=i), (name, col, i)
    top = p.risk_report(single["big"])[0]
    assert top["risk_level"] == "HIGH"


# ---------------------------------------------------------------------------
# Arguments and clear refusals (no cluster needed)
# ---------------------------------------------------------------------------

@pytest.fixture()
def sync():
    with dask.config.set(scheduler="sync"):
        yield


def small() -> Any:
    return dd.from_pandas(pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4, 5, 6]}), npartitions=2)


def test_lineage_on_dask_is_refused_with_a_clear_message(sync):
    with pytest.raises(NotImplementedError, match="single-process"):
        track(small(), "t", lineage=True)


@pytest.mark.parametrize("args, name", [
    ((pd.DataFrame({"a": [1]}), "t"), "ddf"),
    ((None, 3), "table"),
])
def test_argument_types_use_the_standard_message(sync, args, name):
    ddf = small() if args[0] is None else args[0]
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        track(ddf, args[1])


def test_frames_of_different_pipelines_do_not_mix(sync):
    a = track(small(), "t")
    b = track(small(), "u")
    with pytest.raises(ValueError, match="different pipelines"):
        a["a"] + b["a"]


@pytest.mark.parametrize("kwargs, error, match", [
    ({"x": ("a", "sum"), "__morvel_word__y": ("a", "max")}, ValueError, "reserved"),
    ({"x": "a"}, TypeError, "must be \\(column, function name\\)"),
    ({"x": ("nope", "sum")}, KeyError, "nope"),
])
def test_named_aggregation_refusals(sync, kwargs, error, match):
    t = track(small(), "t")
    with pytest.raises(error, match=match):
        t.groupby("b").agg(**kwargs)
    with pytest.raises(TypeError, match="not both"):
        t.groupby("b").agg("sum", x=("a", "sum"))


def test_plain_assignment_carries_the_neutral_word(sync):
    t = track(small(), "t", protected=True)
    t["c"] = 5
    t["d"] = t["a"] * 2
    got = t.compute()
    assert (got._col_prov["c"] == 0).all()
    assert np.array_equal(got._col_prov["d"], got._col_prov["a"])
    assert got._tracker.is_tainted(int(got._col_prov["a"][0]))


def test_track_takes_a_portable_pipeline_and_refuses_another(sync):
    p = morvel.Pipeline("p", portable=True)
    a, b = track(small(), "t", "a", pipeline=p), track(small(), "u", pipeline=p)
    assert (a["a"] + b["b"]).compute()._tracker is p.tracker  # one Dask pipeline per Pipeline
    assert p.tracker.is_protected("t", "a") and not p.tracker.is_protected("t", "b")
    with pytest.raises(ValueError, match="portable=True"):
        track(small(), "t", pipeline=morvel.Pipeline("q"))
    with pytest.raises(TypeError, match="Argument 'pipeline' has incorrect type"):
        track(small(), "t", pipeline="p")
    with pytest.raises(ValueError, match="lineage=False"):
        morvel.Pipeline("r", portable=True, lineage=True)


@pytest.mark.parametrize("how", ["left", "outer", "inner"])
def test_merge_with_an_untracked_frame_follows_the_single_process_rule(sync, how):
    """Key columns keep the tracked side's word (MERGE in the chain), the
    untracked side's columns carry 0, and so does every element whose side
    has no row."""
    left = pd.DataFrame({"k": [1, 2, 3, 4], "x": [1.0, 2.0, 3.0, 4.0]}, index=[10, 11, 12, 13])
    right = pd.DataFrame({"k": [2, 4, 6], "y": [0.5, 0.25, 0.125]})
    p = morvel.Pipeline("m", portable=True)
    want = p.track(left, "l", "x").merge(right, on="k", how=how)
    got = track(dd.from_pandas(left, npartitions=2), "l", "x", pipeline=p).merge(
        dd.from_pandas(right, npartitions=2), on="k", how=how, shuffle_method="tasks").compute()
    want, got = want.sort_values("k"), got.sort_values("k")
    pd.testing.assert_frame_equal(pd.DataFrame(got).reset_index(drop=True),
                                  pd.DataFrame(want).reset_index(drop=True), check_dtype=False)
    for c in want.columns:
        assert got._col_prov[c].tolist() == want._col_prov[c].tolist(), c
    assert (got._col_prov["y"] == 0).all()


def test_operands_with_other_partitions_align_as_pandas_aligns_them(sync):
    """Rows pair by label across frames partitioned differently; a row one
    side lacks has the neutral word there; comparisons of differently
    labelled series are refused, as pandas refuses them."""
    left = pd.DataFrame({"x": np.arange(10.0)}, index=np.arange(10))
    right = pd.DataFrame({"y": np.arange(7.0)}, index=np.arange(7) * 2 + 1)
    p = morvel.Pipeline("align", portable=True)
    a = track(dd.from_pandas(left, npartitions=3), "a", pipeline=p)
    b = track(dd.from_pandas(right, npartitions=2), "b", pipeline=p)
    fa, fb = p.track(left, "a"), p.track(right, "b")
    for got, want in ((a["x"] + b["y"], fa["x"] + fb["y"]), (b["y"] * a["x"], fb["y"] * fa["x"]),
                      (a["x"] - b["y"].fillna(0), fa["x"] - fb["y"].fillna(0))):
        got = got.compute()
        assert got.index.tolist() == want.index.tolist()
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
        assert got._prov.tolist() == want._prov.tolist()
    with pytest.raises(ValueError, match="identically-labeled"):
        (a["x"] > b["y"]).compute()
