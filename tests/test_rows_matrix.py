"""Propagation matrix of row-following provenance.

Every operation runs on a tracked frame and, as a brute-force reference, on
the plain frame carrying a row-id column through the very same pandas call.
For each operation, at both levels and on several indexes (shuffled unique
integers, strings) with NaNs and several dtypes, the test checks that the
values equal plain pandas, that the result is of the tracked class, and that
every output element's word (and node) is the one its source row carries.
"""
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import morvel
from morvel._rows import RowsFallbackWarning
from morvel.utilities.vortel32 import OpCode, TrackedDataFrame, TrackedSeries
from morvel.utilities.vortel32_dag import DAGTrackedDataFrame, DAGTrackedSeries

RID = "__rid"
N = 12
LEVELS = {"words": False, "lineage": True}


def raw_frame(index_kind):
    rng = np.random.default_rng(7)
    x = rng.normal(0, 10, N).round(2)
    x[[2, 7]] = np.nan
    frame = pd.DataFrame({
        "k": rng.integers(0, 3, N),
        "x": x,
        "y": rng.integers(0, 100, N),
        "s": pd.array([f"v{i % 5}" for i in range(N)], dtype="str"),
        "b": rng.integers(0, 2, N).astype(bool),
    })
    if index_kind == "int":
        frame.index = rng.permutation(np.arange(1000, 1000 + N))
    else:
        frame.index = [f"r{i}" for i in rng.permutation(N)]
    return frame


@pytest.fixture(params=["int", "str"])
def index_kind(request):
    return request.param


@pytest.fixture(params=list(LEVELS))
def setup(request, index_kind):
    lineage = LEVELS[request.param]
    raw = raw_frame(index_kind)
    pipe = morvel.Pipeline("matrix", lineage=lineage)
    tracked = pipe.track(raw, "t", protected=["k"])
    plain = raw.assign(**{RID: np.arange(N, dtype=float)})
    return pipe, raw, tracked, plain, lineage


def classes(lineage):
    return (DAGTrackedSeries, DAGTrackedDataFrame) if lineage else (TrackedSeries, TrackedDataFrame)


def new_label(index):
    return 10**6 if index.dtype.kind in "iu" else "zz"


def untracked(x):
    return pd.DataFrame(x) if isinstance(x, pd.DataFrame) else pd.Series(x)


def ref_plain(x):
    """A plain part in the reference run: its rows have no source row."""
    return x.assign(**{RID: np.nan})


def same_rows(d, fn):
    """``fn(d)`` for an operation that keeps every row in place (it only
    blanks values): the reference's row ids are carried past it."""
    out = fn(d)
    if RID in d:
        out[RID] = d[RID]
    return out


FRAME_OPS = {
    "bool_mask": lambda d, p: d[d["y"] > 40],
    "loc_mask": lambda d, p: d.loc[d["b"]],
    "loc_labels": lambda d, p: d.loc[list(d.index[[3, 1, 4]])],
    "loc_rows_cols": lambda d, p: d.loc[d.index[[5, 2, 9]], ["x", "s", RID] if RID in d else ["x", "s"]],
    "iloc_rows": lambda d, p: d.iloc[[4, 0, 2]],
    "iloc_slice": lambda d, p: d.iloc[2:7],
    "iloc_neg": lambda d, p: d.iloc[[-1, -3]],
    "query": lambda d, p: d.query("y > 30 and b"),
    "head": lambda d, p: d.head(4),
    "tail": lambda d, p: d.tail(3),
    "sample": lambda d, p: d.sample(5, random_state=1),
    "sort_values": lambda d, p: d.sort_values(["k", "y"], kind="stable"),
    "sort_values_nan": lambda d, p: d.sort_values("x", ascending=False, kind="stable"),
    "sort_index": lambda d, p: d.sort_index(),
    "nlargest": lambda d, p: d.nlargest(4, "y"),
    "nsmallest": lambda d, p: d.nsmallest(4, "y"),
    "dropna": lambda d, p: d.dropna(),
    "drop_duplicates": lambda d, p: d.drop_duplicates("k"),
    "reindex": lambda d, p: d.reindex(list(d.index[[2, 0, 6]]) + [new_label(d.index)]),
    "reset_index_drop": lambda d, p: d.reset_index(drop=True),
    "reset_index": lambda d, p: d.reset_index(),
    "set_index": lambda d, p: d.set_index("s"),
    "where": lambda d, p: same_rows(d, lambda e: e.where(e["y"] > 40)),
    "mask": lambda d, p: same_rows(d, lambda e: e.mask(e["b"])),
    "filter_then_sort": lambda d, p: d[d["b"]].sort_values("y").head(3),
    "concat_rows": lambda d, p: pd.concat([d.iloc[6:], d.iloc[:4]]),
    "concat_ignore_index": lambda d, p: pd.concat([d.iloc[6:], d.iloc[:4]], ignore_index=True),
    "concat_with_plain": lambda d, p: pd.concat([d.iloc[:3], p(d.iloc[8:])]),
    "concat_keys": lambda d, p: pd.concat([d.iloc[:2], d.iloc[5:7]], keys=["a", "b"]),
}


def expect_column(tracked, col, rid, lineage):
    """Words and nodes of column ``col`` for rows with source positions
    ``rid`` (NaN: no source row -> neutral word, no node), element by element."""
    src_w = tracked._col_prov[col]
    src_n = tracked._col_nodes[col] if lineage else None
    words = np.array([0 if np.isnan(r) else int(src_w[int(r)]) for r in rid], dtype=np.uint32)
    nodes = (np.array([-1 if np.isnan(r) else int(src_n[int(r)]) for r in rid], dtype=np.int64)
             if lineage else None)
    return words, nodes


@pytest.mark.parametrize("op", list(FRAME_OPS))
def test_frame_row_operations(setup, op):
    pipe, raw, tracked, plain, lineage = setup
    scls, fcls = classes(lineage)
    fn = FRAME_OPS[op]
    with warnings.catch_warnings():
        warnings.simplefilter("error", RowsFallbackWarning)
        got = fn(tracked, untracked)
    want = fn(plain, ref_plain)
    rid = want[RID].to_numpy(dtype=float)
    pd.testing.assert_frame_equal(pd.DataFrame(got), want.drop(columns=[RID]))
    assert type(got) is fcls
    for col in got.columns:
        if col not in tracked.columns:
            assert col not in got._col_prov or not got._col_prov[col].any()
            continue
        words, nodes = expect_column(tracked, col, rid, lineage)
        column = got[col]
        assert type(column) is scls and column.name == col
        np.testing.assert_array_equal(got._col_prov[col], words, err_msg=f"{op} {col}")
        np.testing.assert_array_equal(column._prov, words)
        if lineage:
            np.testing.assert_array_equal(column._node_ids, nodes)


def test_columns_taken_out_keep_words_and_names(setup):
    pipe, raw, tracked, plain, lineage = setup
    scls, _ = classes(lineage)
    taken = {
        "items": dict(tracked.items()),
        "iloc": {c: tracked.iloc[:, i] for i, c in enumerate(tracked.columns)},
        "loc": {c: tracked.loc[:, c] for c in tracked.columns},
        "attr": {c: getattr(tracked, c) for c in tracked.columns},
    }
    for how, cols in taken.items():
        for col, s in cols.items():
            assert type(s) is scls and s.name == col, how
            np.testing.assert_array_equal(s._prov, tracked._col_prov[col])
            if lineage:
                np.testing.assert_array_equal(s._node_ids, tracked._col_nodes[col])
    framed = tracked["y"].to_frame()
    assert list(framed.columns) == ["y"]
    np.testing.assert_array_equal(framed._col_prov["y"], tracked._col_prov["y"])
    both = pd.concat([tracked["x"], tracked["y"].sort_values()], axis=1)
    assert list(both.columns) == ["x", "y"] and type(both) is classes(lineage)[1]
    for col in ("x", "y"):
        np.testing.assert_array_equal(both._col_prov[col], tracked._col_prov[col])


SERIES_OPS = {
    "mask": lambda s: s[s > 0],
    "loc": lambda s: s.loc[list(s.index[[4, 1]])],
    "iloc": lambda s: s.iloc[[3, 0, 5]],
    "head": lambda s: s.head(3),
    "tail": lambda s: s.tail(2),
    "sample": lambda s: s.sample(4, random_state=3),
    "sort_values": lambda s: s.sort_values(),
    "sort_index": lambda s: s.sort_index(ascending=False),
    "nlargest": lambda s: s.nlargest(3),
    "nsmallest": lambda s: s.nsmallest(3),
    "dropna": lambda s: s.dropna(),
    "drop_duplicates": lambda s: s.round(-1).drop_duplicates(),
    "reindex": lambda s: s.reindex(list(s.index[[5, 2]]) + [new_label(s.index)]),
    "where": lambda s: s.where(s > 0),
    "abs_then_sort": lambda s: s.abs().sort_values(ascending=False),
}


@pytest.mark.parametrize("op", list(SERIES_OPS))
def test_series_row_operations(setup, op):
    """Source rows are known by label here (the index is unique)."""
    pipe, raw, tracked, plain, lineage = setup
    scls, _ = classes(lineage)
    fn = SERIES_OPS[op]
    got = fn(tracked["x"])
    want = fn(raw["x"])
    pd.testing.assert_series_equal(pd.Series(got), want)
    assert type(got) is scls
    pos = [raw.index.get_loc(lbl) if lbl in raw.index else np.nan for lbl in got.index]
    words, nodes = expect_column(tracked, "x", np.array(pos, dtype=float), lineage)
    np.testing.assert_array_equal(got._prov, words)
    if lineage:
        np.testing.assert_array_equal(got._node_ids, nodes)


BINARY = {
    "add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
    "div": lambda a, b: a / b,
}
OPCODES = {"add": OpCode.ADD, "sub": OpCode.SUB, "mul": OpCode.MUL, "div": OpCode.DIV}


@pytest.mark.parametrize("name", list(BINARY))
@pytest.mark.parametrize("shape", ["reordered", "subset", "disjoint_part"])
def test_binary_operations_align_by_label(setup, name, shape):
    pipe, raw, tracked, plain, lineage = setup
    tracker = pipe.tracker
    fn = BINARY[name]
    a = tracked["x"]
    b = {"reordered": lambda s: s.sort_values(),
         "subset": lambda s: s[s > 0],
         "disjoint_part": lambda s: s.iloc[::2]}[shape](tracked["y"].astype(float))
    got = fn(a, b)
    want = fn(raw["x"], {"reordered": lambda s: s.sort_values(),
                         "subset": lambda s: s[raw["y"].astype(float) > 0],
                         "disjoint_part": lambda s: s.iloc[::2]}[shape](raw["y"].astype(float)))
    pd.testing.assert_series_equal(pd.Series(got), want)
    aw, bw = tracked._col_prov["x"], tracked._col_prov["y"]
    for i, label in enumerate(got.index):
        wa = int(aw[raw.index.get_loc(label)])
        wb = int(bw[raw.index.get_loc(label)]) if label in b.index else 0
        assert int(got._prov[i]) == tracker.combine(wa, wb, OPCODES[name])
        if lineage:
            node = tracker.get_node(int(got._node_ids[i]))
            x_node, y_node = int(tracked._col_nodes["x"][0]), int(tracked._col_nodes["y"][0])
            assert node.inputs == ([x_node, y_node] if label in b.index else [x_node])
            assert node.provenance == int(got._prov[i])


def test_comparison_of_differently_labelled_series_is_refused(setup):
    pipe, raw, tracked, plain, lineage = setup
    with pytest.raises(ValueError, match="identically-labeled"):
        _ = tracked["x"] > tracked["y"].sort_values()
    with pytest.raises(ValueError, match="identically-labeled"):
        _ = raw["x"] > raw["y"].sort_values()


# -- merge ----------------------------------------------------------------

def lookup_frame(raw):
    keys = [0, 1, 1, 5]  # key 2 is missing, 1 is duplicated, 5 matches nothing
    return pd.DataFrame({"k": keys, "x": [0.5, 1.5, 2.5, 3.5], "z": ["a", "b", "c", "d"]},
                        index=[40, 10, 30, 20])


MERGES = {
    "inner_on": {"on": "k"},
    "left_on": {"on": "k", "how": "left"},
    "right_on": {"on": "k", "how": "right"},
    "outer_on": {"on": "k", "how": "outer", "indicator": True},
    "left_suffixes": {"on": "k", "how": "left", "suffixes": ("_l", "_r")},
    "left_right_on": {"left_on": "y", "right_on": "k", "how": "outer"},
    "index_on": {"left_index": True, "right_on": "k", "how": "left"},
    "cross": {"how": "cross"},
}


def _merge_sources(col, kwargs):
    """(side, source column) pairs an output column of the fixtures comes from."""
    lsuf, rsuf = kwargs.get("suffixes", ("_x", "_y"))
    same_key = "on" in kwargs
    table = {"y": [("l", "y")], "s": [("l", "s")], "b": [("l", "b")], "z": [("r", "z")],
             "x" + lsuf: [("l", "x")], "x" + rsuf: [("r", "x")]}
    if same_key:
        table["k"] = [("l", "k"), ("r", "k")]
    else:
        table["k" + lsuf] = [("l", "k")]
        table["k" + rsuf] = [("r", "k")]
        if "left_index" in kwargs:
            table["k"] = [("r", "k")]
    return table.get(col)


@pytest.mark.parametrize("case", list(MERGES))
def test_merge_gives_each_element_its_source_word(setup, case):
    pipe, raw, tracked, plain, lineage = setup
    tracker = pipe.tracker
    kwargs = MERGES[case]
    if "left_index" in kwargs:
        raw = raw.reset_index(drop=True)
        tracked = tracked.reset_index(drop=True)
    lookup = lookup_frame(raw)
    right = pipe.track(lookup, "lookup")
    got = tracked.merge(right, **kwargs)
    want = raw.assign(__l=np.arange(N, dtype=float)).merge(
        lookup.assign(__r=np.arange(len(lookup), dtype=float)), **kwargs)
    lpos, rpos = want.pop("__l").to_numpy(), want.pop("__r").to_numpy()
    pd.testing.assert_frame_equal(pd.DataFrame(got), want)
    assert type(got) is classes(lineage)[1]
    sides = {"l": (tracked, lpos), "r": (right, rpos)}
    for col in got.columns:
        sources = _merge_sources(col, kwargs)
        if sources is None:
            assert col == "_merge" and col not in got._col_prov
            continue
        for i in range(len(got)):
            parts = []
            for side, src_col in sources:
                frame, pos = sides[side]
                present = not np.isnan(pos[i])
                word = int(frame._col_prov[src_col][int(pos[i])]) if present else 0
                node = int(frame._col_nodes[src_col][int(pos[i])]) if present and lineage else -1
                parts.append((present, word, node))
            if len(parts) == 1:
                present, word, node = parts[0]
                expected = tracker.update_chain(word, OpCode.MERGE) if present else 0
                inputs = [node]
            else:
                expected = tracker.combine(parts[0][1], parts[1][1], OpCode.MERGE)
                inputs = [p[2] for p in parts if p[0]]
            assert int(got._col_prov[col][i]) == expected, (case, col, i)
            if lineage:
                nid = int(got._col_nodes[col][i])
                if any(p[0] for p in parts):
                    assert tracker.get_node(nid).inputs == inputs
                    assert tracker.get_node(nid).node_type.name == "MERGE"
                else:
                    assert nid == -1


def test_join_follows_rows_like_merge_on_the_index(setup):
    pipe, raw, tracked, plain, lineage = setup
    other = pipe.track(pd.DataFrame({"w": np.arange(N // 2, dtype=float)},
                                    index=raw.index[::2][::-1]), "other")
    got = tracked.join(other, how="inner")
    want = raw.join(pd.DataFrame(other), how="inner")
    pd.testing.assert_frame_equal(pd.DataFrame(got), want)
    for col, src in (("y", tracked), ("w", other)):
        words = [int(src._col_prov[col][src.index.get_loc(lbl)]) for lbl in got.index]
        expected = [pipe.tracker.update_chain(w, OpCode.MERGE) for w in words]
        assert got._col_prov[col].tolist() == expected


# -- groupby, windows ---------------------------------------------------------

def fold(tracker, words):
    """Word of an aggregated value from its members' decoded fields: pairs
    united, entity and chain XOR, taint OR, depth max + 1 (saturating), then
    AGG in the chain; no batch kernel and no member order involved."""
    pairs: set[int] = set()
    entity = chain = depth = 0
    taint = False
    for w in words:
        info = tracker.decode_full(int(w))
        pairs |= info.pairs
        entity ^= info.entity
        chain ^= info.chain
        taint = taint or info.taint
        depth = max(depth, info.depth)
    word = tracker.encode(pairs, entity, chain, taint, min(depth + 1, 7))
    return tracker.update_chain(word, OpCode.AGG)


GROUPBY = {
    "sum": (lambda g: g[["x", "y"]].sum(), None),
    "mean": (lambda g: g["x"].mean(), None),
    "min": (lambda g: g[["y"]].min(), None),
    "max": (lambda g: g["y"].max(), None),
    "count": (lambda g: g[["x", "s"]].count(), None),
    "std": (lambda g: g["x"].std(), None),
    "first": (lambda g: g[["s", "y"]].first(), None),
    "last": (lambda g: g["x"].last(), None),
    "agg_list": (lambda g: g[["x", "y"]].agg(["sum", "mean"]), None),
    "agg_dict": (lambda g: g.agg({"x": "sum", "y": ["min", "max"]}), None),
    "agg_named": (lambda g: g.agg(total=("x", "sum"), top=("y", "max")),
                  {"total": "x", "top": "y"}),
    "series_agg_list": (lambda g: g["y"].agg(["min", "max"]), "y"),
}


@pytest.mark.parametrize("as_index", [True, False])
@pytest.mark.parametrize("case", list(GROUPBY))
def test_groupby_aggregations_combine_their_members(setup, case, as_index):
    pipe, raw, tracked, plain, lineage = setup
    tracker = pipe.tracker
    fn, sources = GROUPBY[case]
    if not as_index and case == "series_agg_list":
        pytest.skip("as_index=False is the frame case")
    got = fn(tracked.groupby("k", as_index=as_index))
    want = fn(raw.groupby("k", as_index=as_index))
    members = plain.groupby("k")[RID].agg(lambda r: [int(v) for v in r]).tolist()
    if isinstance(want, pd.Series):
        pd.testing.assert_series_equal(pd.Series(got), want)
        assert type(got) is classes(lineage)[0]
        columns = {None: (got._prov, getattr(got, "_node_ids", None), "x" if case in (
            "mean", "std", "last") else "y")}
    else:
        pd.testing.assert_frame_equal(pd.DataFrame(got), want)
        assert type(got) is classes(lineage)[1]
        columns = {}
        for col in got.columns:
            if isinstance(sources, dict):
                src = sources.get(col, col)
            elif isinstance(sources, str):
                src = sources
            else:
                src = col[0] if isinstance(col, tuple) else col
            columns[col] = (got._col_prov.get(col), got._col_nodes.get(col) if lineage else None,
                            src)
    for col, (words, nodes, src) in columns.items():
        assert words is not None, col
        for g, rows in enumerate(members):
            src_words = [int(tracker_word) for tracker_word in tracked._col_prov[src][rows]]
            assert int(words[g]) == fold(tracker, src_words), (case, col, g)
            if lineage:
                node = tracker.get_node(int(nodes[g]))
                assert node.node_type.name == "AGGREGATE"
                assert node.inputs == tracked._col_nodes[src][rows].tolist()


def test_groupby_size_combines_the_key_words(setup):
    pipe, raw, tracked, plain, lineage = setup
    got = tracked.groupby("k").size()
    pd.testing.assert_series_equal(pd.Series(got), raw.groupby("k").size())
    members = plain.groupby("k")[RID].agg(lambda r: [int(v) for v in r]).tolist()
    for g, rows in enumerate(members):
        assert int(got._prov[g]) == fold(pipe.tracker, tracked._col_prov["k"][rows].tolist())


@pytest.mark.parametrize("func", ["sum", "mean", "max"])
def test_transform_gives_each_member_its_group_word_and_node(setup, func):
    pipe, raw, tracked, plain, lineage = setup
    got = tracked.groupby("k")["y"].transform(func)
    pd.testing.assert_series_equal(pd.Series(got), raw.groupby("k")["y"].transform(func))
    assert type(got) is classes(lineage)[0]
    codes = plain.groupby("k").ngroup().to_numpy()
    members = plain.groupby("k")[RID].agg(lambda r: [int(v) for v in r]).tolist()
    group_words = [fold(pipe.tracker, tracked._col_prov["y"][rows].tolist()) for rows in members]
    assert got._prov.tolist() == [group_words[c] for c in codes]
    if lineage:
        for c in range(len(members)):
            ids = set(got._node_ids[codes == c].tolist())
            assert len(ids) == 1
            node = pipe.tracker.get_node(ids.pop())
            assert node.inputs == tracked._col_nodes["y"][members[c]].tolist()


WINDOWS = {
    "rolling3_sum": (lambda s: s.rolling(3).sum(), lambda i: range(max(0, i - 2), i + 1)),
    "rolling2_mean_center": (lambda s: s.rolling(2, center=True, min_periods=1).mean(), None),
    "expanding_max": (lambda s: s.expanding().max(), lambda i: range(0, i + 1)),
}


@pytest.mark.parametrize("case", list(WINDOWS))
def test_windows_combine_the_rows_of_each_window(setup, case):
    pipe, raw, tracked, plain, lineage = setup
    fn, rows_of = WINDOWS[case]
    got = fn(tracked["x"])
    pd.testing.assert_series_equal(pd.Series(got), fn(raw["x"]))
    assert type(got) is classes(lineage)[0]
    if rows_of is None:  # centred window of 2 covers rows i-1 .. i (pandas' convention)
        def rows_of(i):
            return range(max(0, i - 1), min(N, i + 1))
    words = tracked._col_prov["x"]
    for i in range(N):
        rows = list(rows_of(i))
        assert int(got._prov[i]) == fold(pipe.tracker, [int(words[r]) for r in rows]), i
        if lineage:
            node = pipe.tracker.get_node(int(got._node_ids[i]))
            assert node.inputs == tracked._col_nodes["x"][rows].tolist()


# -- fallbacks and what directly built trackers keep doing -------------------

def test_a_duplicated_index_falls_back_with_a_warning():
    """Selecting by labels that repeat cannot be mapped back to rows."""
    pipe = morvel.Pipeline("dup")
    raw = pd.DataFrame({"a": [1.0, 2.0, 3.0, 4.0]}, index=[0, 0, 1, 1])
    f = pipe.track(raw, "t")
    with pytest.warns(RowsFallbackWarning, match="duplicated"):
        sub = f.loc[[1, 0]]
    pd.testing.assert_frame_equal(pd.DataFrame(sub), raw.loc[[1, 0]])


def test_pd_merge_function_warns_that_it_cannot_follow_rows(setup):
    pipe, raw, tracked, plain, lineage = setup
    right = pipe.track(lookup_frame(raw), "lookup")
    with pytest.warns(RowsFallbackWarning, match="left.merge"):
        pd.merge(tracked, right, on="k")


@pytest.mark.parametrize("lineage", [False, True])
def test_directly_built_trackers_keep_positional_words(lineage):
    from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe
    from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag
    raw = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=[10, 20, 30])
    f = (wrap_dataframe_dag(raw, DAGTracker(), "t") if lineage
         else wrap_dataframe(raw, ProvenanceTracker(), "t"))
    s = f["a"] + pd.Series([100.0, 200.0, 300.0], index=[30, 20, 10])
    assert s.tolist() == [101.0, 202.0, 303.0]  # positional, as documented
    assert s.name is None
    sub = f[f["a"] > 1]["a"]
    assert (sub._prov == f._col_prov["a"][0]).all()  # first-word fallback


@pytest.mark.parametrize("lineage", [False, True])
@pytest.mark.parametrize("op", ["mask", "frame_mask", "iloc", "sample", "series_mask",
                                "sort_values", "nlargest", "drop_duplicates", "dropna",
                                "head", "iloc_slice"])
def test_a_duplicated_index_follows_rows_where_positions_are_known(lineage, op):
    """Masks, iloc and sample know their source positions, so they stay
    row-exact (and silent) on a duplicated index."""
    raw = pd.DataFrame({"a": [5.0, 1.0, np.nan, 2.0, 3.0], "b": [1, 2, 1, 4, 2]},
                       index=[7, 7, 8, 8, 7])
    pipe = morvel.Pipeline("dup", lineage=lineage)
    f = pipe.track(raw, "t")
    plain = raw.assign(**{RID: np.arange(5, dtype=float)})
    fn = {"mask": lambda d: d[d["a"] > 2], "frame_mask": lambda d: d.loc[d["b"] % 2 == 1],
          "iloc": lambda d: d.iloc[[4, 0, -2]], "sample": lambda d: d.sample(3, random_state=2),
          "sort_values": lambda d: d.sort_values("a"), "nlargest": lambda d: d.nlargest(2, "a"),
          "drop_duplicates": lambda d: d.drop_duplicates("b", keep="last"),
          "dropna": lambda d: d.dropna(ignore_index=True), "head": lambda d: d.head(2),
          "iloc_slice": lambda d: d.iloc[3:0:-2], "series_mask": None}[op]
    with warnings.catch_warnings():
        warnings.simplefilter("error", RowsFallbackWarning)
        if op == "series_mask":
            s = f["a"]
            got = s[s > 2]
            rid = plain[RID][plain["a"] > 2].to_numpy()
            pd.testing.assert_series_equal(pd.Series(got), raw["a"][raw["a"] > 2])
            words, nodes = expect_column(f, "a", rid, lineage)
            np.testing.assert_array_equal(got._prov, words)
            return
        got = fn(f)
    want = fn(plain)
    pd.testing.assert_frame_equal(pd.DataFrame(got), want.drop(columns=[RID]))
    for col in raw.columns:
        words, nodes = expect_column(f, col, want[RID].to_numpy(), lineage)
        np.testing.assert_array_equal(got[col]._prov, words)
        if lineage:
            np.testing.assert_array_equal(got[col]._node_ids, nodes)


def test_merge_with_a_plain_frame_leaves_its_columns_neutral(setup):
    pipe, raw, tracked, plain, lineage = setup
    lookup = lookup_frame(raw)
    got = tracked.merge(lookup, on="k", how="left")
    pd.testing.assert_frame_equal(pd.DataFrame(got), raw.merge(lookup, on="k", how="left"))
    assert not got._col_prov["z"].any() and not got._col_prov["x_y"].any()
    assert got._col_prov["x_x"].all() and got._col_prov["k"].all()


# -- random chains of row operations ------------------------------------------

CHAIN_STEPS = {
    "mask": lambda d, a: d[d["v"] > a % 7],
    "sort": lambda d, a: d.sort_values(["v", "w"], ascending=bool(a % 2), kind="stable"),
    "head": lambda d, a: d.head(a % 5 + 1),
    "sample": lambda d, a: d.sample(min(len(d), a % 4 + 1), random_state=a),
    "iloc": lambda d, a: d.iloc[[i for i in (a % 3, -1, 0) if -len(d) <= i < len(d)]],
    "drop_duplicates": lambda d, a: d.drop_duplicates("v"),
    "dropna": lambda d, a: d.dropna(),
    "concat": lambda d, a: pd.concat([d.iloc[a % 3:], d.iloc[:1]]).reset_index(drop=True),
    "reset_index": lambda d, a: d.reset_index(drop=True),
}


@given(values=st.lists(st.one_of(st.none(), st.integers(0, 9)), min_size=1, max_size=14),
       steps=st.lists(st.tuples(st.sampled_from(sorted(CHAIN_STEPS)), st.integers(0, 50)),
                      min_size=1, max_size=4),
       seed=st.integers(0, 1000))
def test_random_chains_of_row_operations_follow_rows(values, steps, seed):
    """Any chain of row operations leaves every element with the word its
    source row carries, as row ids carried through the same chain say."""
    n = len(values)
    rng = np.random.default_rng(seed)
    raw = pd.DataFrame({"v": pd.array(values, dtype="Float64").astype(float),
                        "w": rng.integers(0, 3, n)}, index=rng.permutation(n) * 3 + 1)
    pipe = morvel.Pipeline("chain")
    tracked = pipe.track(raw, "t")
    got, want = tracked, raw.assign(**{RID: np.arange(n, dtype=float)})
    with warnings.catch_warnings():
        warnings.simplefilter("error", RowsFallbackWarning)
        for name, arg in steps:
            if len(want) == 0:
                break
            got, want = CHAIN_STEPS[name](got, arg), CHAIN_STEPS[name](want, arg)
    pd.testing.assert_frame_equal(pd.DataFrame(got), want.drop(columns=[RID]))
    rid = want[RID].to_numpy()
    for col in ("v", "w"):
        words, _ = expect_column(tracked, col, rid, False)
        np.testing.assert_array_equal(got[col]._prov, words)
