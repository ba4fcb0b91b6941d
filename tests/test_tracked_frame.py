"""TrackedDataFrame and wrap_dataframe: protection, entities, selection,
assignment, merge and the subclass wiring with pandas."""
from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from morvel.utilities import vortel32 as v
from morvel.utilities.vortel32 import (
    OpCode,
    ProvenanceTracker,
    TrackedDataFrame,
    TrackedSeries,
    wrap_dataframe,
)


def tainted(words):
    return [ProvenanceTracker.is_tainted(int(w)) for w in words]


def entity_of(tracker, word):
    return tracker.decode_full(int(word)).entity


@pytest.fixture
def tracker():
    return ProvenanceTracker()


@pytest.fixture
def frame():
    return pd.DataFrame({"name": ["ann", "bob", "cy", "dee"], "5": [1, 2, 3, 4],
                         7: [0.5, 1.5, 2.5, 3.5], "z": [9, 8, 7, 6]},
                        index=[100, -1, 2**40, 7])


# -- protection forms ------------------------------------------------------------

@pytest.mark.parametrize("protected, expected, whole_table", [
    (True, [True, True, True, True], True),
    (False, [False, False, False, False], False),
    (["name", 5], [True, True, False, False], False),
    (["7"], [False, False, True, False], False),
    (("z",), [False, False, False, True], False),
    ({"name", "z"}, [True, False, False, True], False),
    ([], [False, False, False, False], False),
    (frozenset({"name"}), [True, True, True, True], True),
    ("name", [True, True, True, True], True),
    ({"z": 1}, [True, True, True, True], True),
    (frozenset(), [False, False, False, False], False),
    ("", [False, False, False, False], False),
], ids=["true", "false", "list-numeric", "list-int-label", "tuple", "set", "empty-list",
        "frozenset", "string", "dict", "empty-frozenset", "empty-string"])
def test_protection_forms(tracker, frame, protected, expected, whole_table):
    tdf = wrap_dataframe(frame, tracker, "people", protected)
    assert [all(tainted(tdf._col_prov[c])) for c in frame.columns] == expected
    assert [any(tainted(tdf._col_prov[c])) for c in frame.columns] == expected
    assert [tracker.is_protected("people", str(c)) for c in frame.columns] == expected
    assert (tracker._protected_tables == {"people"}) is whole_table


def test_earlier_protection_stays(tracker, frame):
    tracker.register("people", "z", True)
    tdf = wrap_dataframe(frame, tracker, "people", ["name"])
    assert all(tainted(tdf._col_prov["z"]))
    assert not any(tainted(tdf._col_prov[7]))


def test_pairs_registered_in_column_order_with_text_names(tracker, frame):
    tdf = wrap_dataframe(frame, tracker, "people")
    assert [tracker.get_name(i) for i in range(4)] == [
        ("people", "name"), ("people", "5"), ("people", "7"), ("people", "z")]
    assert list(tdf._col_prov) == list(frame.columns)
    for i, col in enumerate(frame.columns):
        words = tdf._col_prov[col]
        assert words.dtype == np.uint32 and len(words) == len(frame)
        assert all(tracker.decode(int(w)) == {i} for w in words)


def test_table_must_be_text_before_any_work(tracker, frame):
    with pytest.raises(TypeError, match="Argument 'table' has incorrect type"):
        wrap_dataframe(frame, tracker, b"people", True)
    assert tracker._next_id == 0 and not tracker._protected_tables


def test_pair_limit_passes_through_and_keeps_earlier_registrations(tracker):
    for i in range(510):
        tracker.register("other", f"c{i}")
    df = pd.DataFrame({c: [1] for c in "abcd"})
    with pytest.raises(ValueError, match="Maximum 512 pairs supported"):
        wrap_dataframe(df, tracker, "t", True)
    assert tracker.get_id("t", "a") == 510 and tracker.get_id("t", "b") == 511
    assert "t" in tracker._protected_tables


# -- entities --------------------------------------------------------------------

INDEXES = {
    "range": pd.RangeIndex(5),
    "int": pd.Index([5, -1, -2, 2**62, -(2**63)]),
    "int32": pd.Index(np.array([3, -7, 255, 256, 1000], dtype=np.int32)),
    "uint64": pd.Index(np.array([0, 1, 2**63, 2**64 - 1, 12345], dtype=np.uint64)),
    "float": pd.Index([0.5, -1.0, 2.0, 1e20, -3.25]),
    "string": pd.Index(["a", "bb", "", "ünï", "x" * 50]),
    "object-mixed": pd.Index([1, "a", (1, 2), None, 2**70], dtype=object),
    "tuple": pd.MultiIndex.from_tuples([(1, "a"), (2, "b"), (-1, "c"), (3, "d"), (4, "e")]),
    "timestamp": pd.date_range("2024-01-01", periods=5, freq="37h"),
    "timestamp-tz": pd.date_range("2024-01-01", periods=5, freq="D", tz="Europe/Paris"),
    "bool": pd.Index([True, False, True, True, False], dtype=object),
}


class SubclassTracker(ProvenanceTracker):
    def entity_from_row(self, row_id):
        return super().entity_from_row(row_id)


def reference_entities(index):
    return [hash(index[i]) % 256 if index[i] is not None else 0 for i in range(len(index))]


@pytest.mark.parametrize("name", list(INDEXES))
def test_bulk_entity_path_matches_per_row_path(name):
    index = INDEXES[name]
    df = pd.DataFrame({"a": range(5), "b": range(5)}, index=index)
    fast_tracker, slow_tracker, patched = ProvenanceTracker(), SubclassTracker(), ProvenanceTracker()
    patched.entity_from_row = lambda row_id: ProvenanceTracker.entity_from_row(patched, row_id)
    fast = wrap_dataframe(df, fast_tracker, "t", ["a"])
    slow = wrap_dataframe(df, slow_tracker, "t", ["a"])
    inst = wrap_dataframe(df, patched, "t", ["a"])
    for col in ("a", "b"):
        np.testing.assert_array_equal(fast._col_prov[col], slow._col_prov[col])
        np.testing.assert_array_equal(fast._col_prov[col], inst._col_prov[col])
        assert [entity_of(fast_tracker, w) for w in fast._col_prov[col]] == reference_entities(index)


def test_bulk_path_hashes_the_index_once(tracker, monkeypatch):
    calls = []
    real = v.hash_entities

    def spy(labels):
        calls.append(len(labels))
        return real(labels)

    monkeypatch.setattr(v, "hash_entities", spy)
    df = pd.DataFrame({f"c{i}": range(6) for i in range(10)})
    wrap_dataframe(df, tracker, "t")
    assert calls == [6]


class RecordingTracker(ProvenanceTracker):
    def __init__(self):
        super().__init__()
        self.seen = []

    def entity_from_row(self, row_id):
        self.seen.append(row_id)
        return 1000 + super().entity_from_row(row_id)


def instance_hooked_tracker():
    tracker = ProvenanceTracker()
    tracker.seen = []

    def hook(row_id):
        tracker.seen.append(row_id)
        return 1000 + ProvenanceTracker.entity_from_row(tracker, row_id)

    tracker.entity_from_row = hook
    return tracker


@pytest.mark.parametrize("make", [RecordingTracker, instance_hooked_tracker],
                         ids=["subclass", "instance"])
def test_custom_entity_hook_is_used_per_row(make, monkeypatch):
    tracker = make()
    monkeypatch.setattr(v, "hash_entities", lambda labels: pytest.fail("bulk path taken"))
    df = pd.DataFrame({"a": [1, 2, 3], "b": [4, 5, 6]}, index=[10, 20, 30])
    tdf = wrap_dataframe(df, tracker, "t")
    assert tracker.seen == [10, 20, 30, 10, 20, 30]
    assert [entity_of(tracker, w) for w in tdf._col_prov["a"]] == [(1000 + k) % 256 for k in (10, 20, 30)]


def test_without_entities_words_are_equal_across_frames(tracker):
    a = pd.DataFrame({"x": [1, 2, 3]}, index=[7, 8, 9])
    b = pd.DataFrame({"x": [4, 5, 6]}, index=["p", "q", "r"])
    wa = wrap_dataframe(a, tracker, "t", include_entity=False)._col_prov["x"]
    wb = wrap_dataframe(b, tracker, "t", include_entity=False)._col_prov["x"]
    np.testing.assert_array_equal(wa, wb)
    assert [entity_of(tracker, w) for w in wa] == [0, 0, 0]


def test_empty_frame_registers_every_column(tracker):
    df = pd.DataFrame({"a": pd.Series([], dtype=float), "b": pd.Series([], dtype=str)})
    tdf = wrap_dataframe(df, tracker, "t", True)
    assert tracker._next_id == 2
    assert all(len(w) == 0 and w.dtype == np.uint32 for w in tdf._col_prov.values())
    col = tdf["a"]
    assert type(col) is TrackedSeries and len(col) == 0 and len(col._prov) == 0


# -- selection ---------------------------------------------------------------------

@pytest.fixture
def tdf(tracker, frame):
    return wrap_dataframe(frame, tracker, "people", ["name"])


def test_column_selection_copies_words_and_drops_the_name(tdf, tracker):
    for key in ("name", 7, "z"):
        col = tdf[key]
        assert type(col) is TrackedSeries and col.name is None and col._tracker is tracker
        assert col.index.equals(tdf.index)
        assert col.tolist() == tdf.loc[:, key].tolist()
        np.testing.assert_array_equal(col._prov, tdf._col_prov[key])
        assert col._prov is not tdf._col_prov[key]
    assert tdf.z._prov.tolist() == tdf._col_prov["z"].tolist()


def test_callable_key_selects_the_column_with_its_words(tdf):
    calls = []

    def pick(frame):
        calls.append(frame)
        return "z"

    col = tdf[pick]
    assert calls == [tdf]
    np.testing.assert_array_equal(col._prov, tdf._col_prov["z"])
    assert len(tdf[lambda d: d["z"].to_numpy() > 7]) == 2


def test_column_selection_keeps_the_string_dtype(tdf):
    assert tdf["name"].dtype == tdf.dtypes["name"]


def test_filtered_frame_gives_first_word_to_every_row(tdf):
    small = tdf[tdf["z"].to_numpy() > 6]
    assert type(small) is TrackedDataFrame and small._col_prov is tdf._col_prov
    col = small["z"]
    assert len(col) == 3
    assert col._prov.tolist() == [int(tdf._col_prov["z"][0])] * 3


def test_column_without_words_gets_zero_words(tdf):
    tdf["new"] = [1, 2, 3, 4]
    col = tdf["new"]
    assert type(col) is TrackedSeries and col._prov.tolist() == [0, 0, 0, 0]


def test_stored_empty_array_gives_zero_words(tdf):
    tdf._col_prov["z"] = np.zeros(0, dtype=np.uint32)
    assert tdf["z"]._prov.tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("key", [["name", "z"], slice(0, 2)], ids=["list", "slice"])
def test_frame_selection_is_returned_as_pandas_made_it(tdf, key):
    r = tdf[key]
    assert type(r) is TrackedDataFrame and r._col_prov is tdf._col_prov


def test_work_on_a_column_never_changes_stored_words(tdf):
    stored = tdf._col_prov["z"].copy()
    col = tdf["z"]
    col._prov[0] = 0
    np.testing.assert_array_equal(tdf._col_prov["z"], stored)


# -- assignment --------------------------------------------------------------------

def test_assigning_a_tracked_series_stores_a_copy(tdf, tracker):
    s = tdf["z"] + tdf[7]
    tdf["sum"] = s
    np.testing.assert_array_equal(tdf._col_prov["sum"], s._prov)
    assert tdf._col_prov["sum"] is not s._prov
    assert tdf["sum"].tolist() == s.tolist()
    np.testing.assert_array_equal(tdf["sum"]._prov, s._prov)


@pytest.mark.parametrize("value", [pd.Series([1, 2, 3, 4], index=[100, -1, 2**40, 7]), 5,
                                   [0, 0, 0, 0]], ids=["plain-series", "scalar", "list"])
def test_assigning_untracked_value_keeps_old_words(tdf, value):
    old = tdf._col_prov["z"]
    tdf["z"] = value
    assert tdf._col_prov["z"] is old


def test_assignment_on_a_derived_frame_leaves_the_source_words(tdf):
    source_words = tdf._col_prov["z"]
    copy = tdf.copy()
    copy["z"] = copy["z"] * 2
    copy["extra"] = copy["z"]
    assert tdf._col_prov["z"] is source_words and "extra" not in tdf._col_prov
    assert "extra" in copy._col_prov


def test_assign_with_callable_tracks_the_new_column(tdf, tracker):
    r = tdf.assign(total=lambda d: d["z"] + d["5"])
    assert type(r) is TrackedDataFrame
    expected = [tracker.combine(int(a), int(b), OpCode.ADD)
                for a, b in zip(tdf._col_prov["z"], tdf._col_prov["5"])]
    assert r._col_prov["total"].tolist() == expected


# -- merge -------------------------------------------------------------------------

def test_merge_of_two_tracked_frames(tracker):
    left = wrap_dataframe(pd.DataFrame({"id": [1, 2, 3], "x": [10, 20, 30]}), tracker, "L")
    right = wrap_dataframe(pd.DataFrame({"id": [3, 1, 1], "y": [7, 8, 9]}), tracker, "R", True)
    m = left.merge(right, on="id")
    assert type(m) is TrackedDataFrame and m._tracker is tracker
    n = len(m)
    assert n == 3
    assert list(m._col_prov) == ["id", "x", "y"]
    for col, side in (("id", left), ("x", left), ("y", right)):
        word = tracker.update_chain(int(side._col_prov[col][0]), OpCode.MERGE)
        assert m._col_prov[col].tolist() == [word] * n
    assert m["y"]._prov.tolist() == m._col_prov["y"].tolist()


def test_merge_with_plain_frame_and_suffixes(tracker):
    left = wrap_dataframe(pd.DataFrame({"id": [1, 2], "v": [1.0, 2.0], "w": [0, 0]}), tracker, "L")
    right = pd.DataFrame({"id": [1, 2], "v": [3.0, 4.0]})
    m = left.merge(right, on="id")
    assert set(m._col_prov) == {"id", "w"}
    assert m["v_x"]._prov.tolist() == [0, 0]


def test_merge_without_tracker_keeps_first_words():
    left = TrackedDataFrame({"id": [1, 2]}, _col_prov={"id": np.array([5, 6], dtype=np.uint32)})
    empty = TrackedDataFrame({"id": [1, 2], "e": [0, 0]},
                             _col_prov={"e": np.zeros(0, dtype=np.uint32)})
    m = left.merge(empty, on="id")
    assert m._col_prov["id"].tolist() == [5, 5] and m._col_prov["e"].tolist() == [0, 0]


def test_pandas_merge_function_is_tracked_too(tracker):
    left = wrap_dataframe(pd.DataFrame({"id": [1, 2], "x": [1, 2]}), tracker, "L")
    m = pd.merge(left, pd.DataFrame({"id": [2, 1], "y": [0, 0]}), on="id")
    assert type(m) is TrackedDataFrame and m._tracker is tracker
    word = tracker.update_chain(int(left._col_prov["x"][0]), OpCode.MERGE)
    assert m._col_prov["x"].tolist() == [word, word]


# -- construction and plain pandas operations -------------------------------------

def test_constructor_stores_given_dictionary_as_is(tracker):
    d = {"a": np.array([1], dtype=np.uint32)}
    f = TrackedDataFrame({"a": [1]}, _tracker=tracker, _col_prov=d)
    assert f._col_prov is d and f._tracker is tracker
    g = TrackedDataFrame({"a": [1]})
    h = TrackedDataFrame({"a": [1]})
    assert g._col_prov == {} and g._col_prov is not h._col_prov and g._tracker is None


FRAME_OPS = {
    "head": lambda d: d.head(2),
    "copy": lambda d: d.copy(),
    "iloc": lambda d: d.iloc[1:3],
    "loc": lambda d: d.loc[[100, 7]],
    "sort_values": lambda d: d.sort_values("z"),
    "numeric-abs": lambda d: d[["5", "z"]].abs(),
    "eq": lambda d: d == 1,
    "fillna": lambda d: d.fillna(0),
    "rename": lambda d: d.rename(columns={"z": "zz"}),
    "drop": lambda d: d.drop(columns=["z"]),
    "reset_index": lambda d: d.reset_index(drop=True),
    "set_index": lambda d: d.set_index("name"),
    "query": lambda d: d.query("z > 6"),
    "drop_duplicates": lambda d: d.drop_duplicates(subset=["5"]),
}


@pytest.mark.parametrize("name", list(FRAME_OPS))
def test_pandas_frame_operations_stay_tracked(tdf, tracker, name):
    r = FRAME_OPS[name](tdf)
    assert type(r) is TrackedDataFrame
    assert r._tracker is tracker and r._col_prov is tdf._col_prov


@pytest.mark.parametrize("op", [
    lambda d: d.loc[:, "z"], lambda d: d.iloc[:, 3], lambda d: d.sum(numeric_only=True),
    lambda d: d.iloc[0], lambda d: d.groupby("name")["z"].sum(),
], ids=["loc-col", "iloc-col", "sum", "row", "groupby"])
def test_pandas_frame_slices_are_tracked_series(tdf, tracker, op):
    r = op(tdf)
    assert type(r) is TrackedSeries and r._tracker is tracker


def test_groupby_aggregation_stays_a_tracked_frame(tdf):
    r = tdf.groupby("name").sum()
    assert type(r) is TrackedDataFrame
    assert r["z"].tolist() == tdf.groupby("name")["z"].sum().tolist()


def test_concat_of_frames_keeps_the_tracker(tdf, tracker):
    r = pd.concat([tdf, tdf])
    assert type(r) is TrackedDataFrame and r._tracker is tracker and len(r) == 8


# pandas' own methods select columns through __getitem__ and read their
# labels from the selected series' names.
LABEL_READING_OPS = {
    "groupby-frame": lambda d: d.groupby("k")[["a", "b"]].sum(),
    "groupby-series": lambda d: d.groupby("k")["a"].sum(),
    "pivot_table": lambda d: d.pivot_table(index="k", values="a", aggfunc="sum"),
    "pivot": lambda d: d.iloc[:3].pivot(columns="k", values="a"),
    "explode": lambda d: d.explode("l"),
    "value_counts": lambda d: d.value_counts(subset=["k"]),
    "pop": lambda d: d.copy().pop("a"),
}


@pytest.mark.parametrize("name", list(LABEL_READING_OPS))
def test_pandas_methods_reading_column_labels_match_plain_pandas(tracker, name):
    df = pd.DataFrame({"k": ["x", "y", "x", "z"], "a": [1.0, 2.0, 3.0, 4.0],
                       "b": [4, 3, 2, 1], "l": [[1, 2], [3], [4], [5]]})
    tdf = wrap_dataframe(df, tracker, "t", ["a"])
    plain = LABEL_READING_OPS[name](df)
    tracked = LABEL_READING_OPS[name](tdf)
    if isinstance(plain, pd.DataFrame):
        pd.testing.assert_frame_equal(pd.DataFrame(tracked), plain)
    else:
        pd.testing.assert_series_equal(pd.Series(tracked), plain)
    # the user's own selection stays nameless
    assert tdf["a"].name is None
