"""jsonkit under both backends in one run.

The standard-library backend is forced by making ``import orjson`` fail and
importing the module afresh; the original module object is put back after
each test so the rest of the suite keeps the backend it loaded with.
"""
from __future__ import annotations

import datetime as dt
import importlib
import json as stdjson
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import morvel.utilities

pytest.importorskip("orjson")

MODULE = "morvel.utilities.jsonkit"


def _fresh_import(monkeypatch, block_orjson: bool):
    """Import jsonkit anew (optionally with orjson unimportable); the
    monkeypatch undo restores sys.modules and the package attribute."""
    import morvel.utilities.jsonkit as original

    monkeypatch.setattr(morvel.utilities, "jsonkit", original)
    monkeypatch.delitem(sys.modules, MODULE)
    if block_orjson:
        monkeypatch.setitem(sys.modules, "orjson", None)
    return importlib.import_module(MODULE)


@pytest.fixture(params=["orjson", "json"])
def jk(request, monkeypatch):
    return _fresh_import(monkeypatch, block_orjson=request.param == "json")


@pytest.fixture
def jk_std(monkeypatch):
    return _fresh_import(monkeypatch, block_orjson=True)


@pytest.fixture
def jk_orjson(monkeypatch):
    return _fresh_import(monkeypatch, block_orjson=False)


def test_backend_attributes(jk):
    has_orjson = jk.BACKEND == "orjson"
    assert jk.BACKEND in ("orjson", "json")
    assert hasattr(jk, "_NUMPY_OPT") is has_orjson
    assert hasattr(jk, "orjson") is has_orjson
    assert hasattr(jk, "_NumpyEncoder") is not has_orjson
    assert hasattr(jk, "json") is not has_orjson
    if has_orjson:
        assert jk._NUMPY_OPT == jk.orjson.OPT_SERIALIZE_NUMPY
    else:
        assert issubclass(jk._NumpyEncoder, stdjson.JSONEncoder)
        assert jk._NumpyEncoder.__doc__ == (
            "JSON encoder that handles numpy types for the stdlib fallback."
        )
        assert jk.date is dt.date and jk.datetime is dt.datetime


def test_other_import_errors_propagate(monkeypatch):
    """Only ImportError selects the fallback; anything else fails the load."""

    class _Broken:
        def find_spec(self, name, path=None, target=None):
            if name == "orjson":
                raise RuntimeError("broken orjson install")
            return None

    import morvel.utilities.jsonkit as original

    monkeypatch.setattr(morvel.utilities, "jsonkit", original)
    monkeypatch.delitem(sys.modules, MODULE)
    monkeypatch.delitem(sys.modules, "orjson", raising=False)
    monkeypatch.setattr(sys, "meta_path", [_Broken(), *sys.meta_path])
    with pytest.raises(RuntimeError, match="broken orjson install"):
        importlib.import_module(MODULE)


@pytest.mark.parametrize(
    "value, expected",
    [
        (np.int64(3), 3),
        (np.int8(-7), -7),
        (np.uint32(4_000_000_000), 4_000_000_000),
        (np.float64(0.5), 0.5),
        (np.float32(0.25), 0.25),
        (np.bool_(True), True),
        (np.bool_(False), False),
        (np.array([[1, 2], [3, 4]]), [[1, 2], [3, 4]]),
        (np.array([0.5, 1.5]), [0.5, 1.5]),
        (np.array([True, False]), [True, False]),
        (np.zeros((2, 0, 3), dtype=np.int32), [[], []]),
        ({"k": [np.int32(1), {"x": np.float64(2.5)}]}, {"k": [1, {"x": 2.5}]}),
    ],
)
def test_numpy_values_round_trip(jk, value, expected):
    text = jk.dumps(value)
    assert type(text) is str
    decoded = jk.loads(text)
    assert decoded == expected
    assert type(decoded) is type(expected)


@pytest.mark.parametrize(
    "value, text",
    [
        (np.int64(3), "3"),
        (np.float64(0.5), "0.5"),
        (np.bool_(True), "true"),
        (np.array([[1, 2], [3, 4]]), "[[1, 2], [3, 4]]"),
        (dt.date(2024, 1, 2), '"2024-01-02"'),
        (dt.datetime(2024, 1, 2, 3, 4, 5), '"2024-01-02T03:04:05"'),
    ],
)
def test_stdlib_exact_text(jk_std, value, text):
    assert jk_std.dumps(value) == text


@pytest.mark.parametrize(
    "value",
    [dt.date(2024, 1, 2), dt.datetime(2024, 1, 2, 3, 4, 5, 600000)],
)
def test_dates_serialise_as_iso_text(jk, value):
    # orjson writes datetimes natively in RFC 3339, which is ISO 8601.
    assert jk.loads(jk.dumps({"d": value})) == {"d": value.isoformat()}


def test_sort_keys_and_str_result(jk):
    text = jk.dumps({"b": 1, "a": 2}, sort_keys=True)
    assert type(text) is str
    assert text.index('"a"') < text.index('"b"')
    unsorted = jk.dumps({"b": 1, "a": 2})
    assert unsorted.index('"b"') < unsorted.index('"a"')


@pytest.mark.parametrize("indent", [2, 4, True])
def test_indent_width_per_backend(jk, indent):
    text = jk.dumps({"a": [1]}, indent=indent)
    second = text.splitlines()[1]
    width = len(second) - len(second.lstrip(" "))
    if jk.BACKEND == "orjson":
        assert width == 2  # orjson knows one indentation only
    else:
        assert width == int(indent)  # json passes the width through (True is 1)
    assert jk.loads(text) == {"a": [1]}


@pytest.mark.parametrize("indent", [None, 0, False])
def test_falsy_indent_is_compact_under_orjson(jk_orjson, indent):
    assert "\n" not in jk_orjson.dumps({"a": [1, 2]}, indent=indent)


class _Opaque:
    def __init__(self, tag):
        self.tag = tag


def test_default_callable_used_for_unknown_objects(jk):
    out = jk.dumps({"o": _Opaque("x"), "n": np.int64(5)}, default=lambda o: {"tag": o.tag})
    assert jk.loads(out) == {"o": {"tag": "x"}, "n": 5}


def test_numpy_conversion_wins_over_default(jk):
    seen = []

    def default(o):
        seen.append(o)
        return "from-default"

    out = jk.dumps(
        [np.int64(1), np.float64(0.5), np.bool_(True), np.array([1, 2]), _Opaque(1)],
        default=default,
    )
    assert jk.loads(out) == [1, 0.5, True, [1, 2], "from-default"]
    assert len(seen) == 1 and isinstance(seen[0], _Opaque)


def test_stdlib_dates_win_over_default(jk_std):
    out = jk_std.dumps([dt.date(2024, 1, 2)], default=lambda o: "nope")
    assert jk_std.loads(out) == ["2024-01-02"]


class _Boom(Exception):
    pass


@pytest.mark.parametrize("exc_type", [_Boom, TypeError, ValueError])
def test_errors_from_default_pass_through(jk, exc_type):
    error = exc_type("rejected by default")

    def default(o):
        raise error

    with pytest.raises(exc_type) as info:
        jk.dumps({"a": [1, _Opaque(1)]}, default=default)
    assert info.value is error


@pytest.mark.parametrize("value", [_Opaque(1), {1, 2}, object()])
def test_unserialisable_raise_type_error(jk, value):
    with pytest.raises(TypeError):
        jk.dumps({"v": value})


@pytest.mark.parametrize("text", ["{", "[1,", "nul", "", '{"a" 1}'])
def test_decode_errors_are_value_errors(jk, text):
    with pytest.raises(ValueError):
        jk.loads(text)


def test_orjson_loads_accepts_bytes(jk_orjson):
    assert jk_orjson.loads(b'{"a": [1, 2]}') == {"a": [1, 2]}


def test_stdlib_without_numpy_converts_nothing(jk_std, monkeypatch):
    """Without numpy the fallback encoder converts nothing, not even dates."""
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(TypeError):
        jk_std.dumps(dt.date(2024, 1, 2))
    assert jk_std.dumps({"a": 1}) == '{"a": 1}'


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=20,
)


@pytest.mark.parametrize("block_orjson", [False, True], ids=["orjson", "json"])
@given(value=json_values, sort_keys=st.booleans(), indent=st.sampled_from([None, 2]))
def test_plain_values_round_trip(block_orjson, value, sort_keys, indent):
    # hypothesis and function-scoped fixtures do not mix, so swap the module by hand.
    saved_mod = sys.modules.pop(MODULE)
    saved_orjson = sys.modules.get("orjson")
    if block_orjson:
        sys.modules["orjson"] = None
    try:
        jk = importlib.import_module(MODULE)
        assert jk.BACKEND == ("json" if block_orjson else "orjson")
        assert jk.loads(jk.dumps(value, sort_keys=sort_keys, indent=indent)) == value
    finally:
        sys.modules[MODULE] = saved_mod
        morvel.utilities.jsonkit = saved_mod
        if saved_orjson is not None:
            sys.modules["orjson"] = saved_orjson

