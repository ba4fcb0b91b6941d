"""What both tracked families share: the element operations and the table
of operators built from them, the Series base (name carrying, pickling,
the operator methods) and the DataFrame base (column selection), and small
helpers on words, keys and row labels."""
from __future__ import annotations

import operator
import sys
from typing import Any, Callable, Optional

import numpy as np
import pandas as pd

from morvel._rows import hooks as _rows_hooks
from morvel.utilities import _hooks
from morvel.utilities._word import layout as _native
from morvel.utilities._word.layout import OpCode


def check_clip_keywords(series: Any, axis: Any, inplace: Any, kwargs: dict) -> None:
    """The keywords pandas' ``Series.clip`` takes besides the bounds: ``axis``
    is checked as pandas checks it (0 or "index"); ``inplace=True`` is
    refused before anything changes, because the clipped values need new
    provenance words; other keywords are refused as pandas refuses them."""
    if inplace:
        raise ValueError(
            f"{type(series).__name__}.clip does not support inplace=True: the clipped "
            "values need new provenance words; use s = s.clip(...) instead")
    if axis is not None:
        series._get_axis_number(axis)
    if kwargs:
        raise TypeError(f"clip() got an unexpected keyword argument {next(iter(kwargs))!r}")


def _fresh(fn: Callable) -> Callable:
    """Mark an element operation whose ndarray result is always newly
    allocated, so the result series may adopt it without a copy."""
    fn._fresh_result = True  # type: ignore[attr-defined]
    return fn


def _element_op(fn: Callable, name: str, reflected: bool = False) -> Callable:
    """A fresh-result element operation applying ``fn`` to (a, b), or to
    (b, a) for a reflected operator."""
    if reflected:
        def op(a: Any, b: Any) -> Any:
            return fn(b, a)
    else:
        def op(a: Any, b: Any) -> Any:
            return fn(a, b)
    op.__name__ = op.__qualname__ = name
    return _fresh(op)


_add = _element_op(np.add, "_add")
_sub = _element_op(np.subtract, "_sub")
_mul = _element_op(np.multiply, "_mul")
_truediv = _element_op(np.true_divide, "_truediv")
_floordiv = _element_op(np.floor_divide, "_floordiv")
_pow = _element_op(np.power, "_pow")
_radd = _element_op(np.add, "_radd", reflected=True)
_rsub = _element_op(np.subtract, "_rsub", reflected=True)
_rmul = _element_op(np.multiply, "_rmul", reflected=True)
_rtruediv = _element_op(np.true_divide, "_rtruediv", reflected=True)
_gt = _element_op(operator.gt, "_gt")
_lt = _element_op(operator.lt, "_lt")
_ge = _element_op(operator.ge, "_ge")
_le = _element_op(operator.le, "_le")


@_fresh
def _neg(x: Any) -> Any:
    # Negating booleans inverts them, as pandas' own unary minus does (and
    # as its drop_duplicates relies on); numpy refuses ``-`` on bool arrays.
    if pd.api.types.is_bool_dtype(x.dtype):
        return operator.inv(x)
    return -x


# The operator table of both Series families: method name, element
# operation, the operation name logged by the DAG family, and op code.
BINARY_OPERATORS: tuple[tuple[str, Callable, str, int], ...] = (
    ("__add__", _add, "add", OpCode.ADD),
    ("__sub__", _sub, "sub", OpCode.SUB),
    ("__mul__", _mul, "mul", OpCode.MUL),
    ("__truediv__", _truediv, "div", OpCode.DIV),
    ("__floordiv__", _floordiv, "floordiv", OpCode.DIV),
    ("__pow__", _pow, "pow", OpCode.MUL),
    ("__radd__", _radd, "add", OpCode.ADD),
    ("__rsub__", _rsub, "sub", OpCode.SUB),
    ("__rmul__", _rmul, "mul", OpCode.MUL),
    ("__rtruediv__", _rtruediv, "div", OpCode.DIV),
    ("__gt__", _gt, "gt", OpCode.CMP),
    ("__lt__", _lt, "lt", OpCode.CMP),
    ("__ge__", _ge, "ge", OpCode.CMP),
    ("__le__", _le, "le", OpCode.CMP),
)
UNARY_OPERATORS: tuple[tuple[str, Callable, str, int], ...] = (
    ("__neg__", _neg, "neg", OpCode.NEG),
)

_EMPTY_WORDS = np.zeros(0, dtype=np.uint32)
_EMPTY_WORDS.flags.writeable = False


def _words(result: Any) -> np.ndarray:
    """A codec result as a ``uint32`` array (no copy when it already is one)."""
    return np.asarray(result, dtype=np.uint32)


def _copy_words(prov: Any) -> np.ndarray:
    """A new array holding the words of ``prov``."""
    return np.array(prov, copy=True)


# Word arrays at least this long are computed on a second thread while the
# calling thread computes the values (numpy releases the GIL for both);
# below it, starting the thread costs more than the overlap saves.
OVERLAP_MIN = 1 << 18

# Value kinds whose numpy element operations cannot raise (errors become
# inf / nan under np.errstate), so the words may be started before the
# values: a failing operation must not leave codec state behind.  Booleans
# are not among them (numpy refuses ``-`` between two boolean arrays).
_SAFE_KINDS = frozenset("fiu")


def _overlap_ok(words: Any, hook: str) -> bool:
    """True when the words of ``hook`` over ``words`` may run beside the
    values: a long, native uint32 array and the hook still the native
    kernel (a replaced hook is always called in line)."""
    return (isinstance(words, np.ndarray) and len(words) >= OVERLAP_MIN
            and words.dtype == np.uint32 and _hooks.word(hook) is getattr(_native, hook))


def _safe_operands(a: Any, b: Any, op: Callable) -> bool:
    """True when ``op(a, b)`` on these operands cannot raise: same-length
    numeric ndarrays (or a numeric scalar) and no integer power."""
    if not (isinstance(a, np.ndarray) and a.dtype.kind in _SAFE_KINDS):
        return False
    if isinstance(b, np.ndarray):
        if b.dtype.kind not in _SAFE_KINDS or b.shape != a.shape:
            return False
    elif not isinstance(b, (int, float, bool, np.number)):
        return False
    return getattr(op, "__name__", "") not in ("_pow", "_rpow")


def start_combine(tracker: Any, a: Any, b: Any, op_code: int) -> Any:
    """``combine_batch`` of two word arrays started beside the caller's
    work, or None when it should run in line."""
    if _overlap_ok(a, "combine_batch") and isinstance(b, np.ndarray) and b.dtype == np.uint32 \
            and len(b) == len(a):
        return _native.start_combine(tracker._rust, a, b, op_code)
    return None


def start_update_chain(tracker: Any, words: Any, op_code: int) -> Any:
    """``update_chain_batch`` started beside the caller's work, or None."""
    if _overlap_ok(words, "update_chain_batch"):
        return _native.start_update_chain(tracker._rust, words, op_code)
    return None


def start_copy(words: Any) -> Any:
    """A copy of a word array made beside the caller's work, or None."""
    if isinstance(words, np.ndarray) and len(words) >= OVERLAP_MIN and words.dtype == np.uint32:
        return _native.start_copy(words)
    return None


def _copy_array(arr: Any) -> Optional[np.ndarray]:
    """A new array with the contents of ``arr`` (None stays None)."""
    return None if arr is None else np.array(arr, copy=True)


def _hashable(key: Any) -> bool:
    """True when ``key`` can be hashed (and so be a column label)."""
    try:
        hash(key)
    except TypeError:
        return False
    return True


_hashable_key = _hashable


def _called_by_pandas(depth: int = 2) -> bool:
    """True when the function ``depth - 1`` frames up from the caller was
    itself called from pandas' own code (a module of the ``pandas``
    package); the default asks about the caller's caller.

    Column selection uses it: pandas' methods (groupby, pivot, explode,
    pop, ...) select columns through ``__getitem__`` and read the label
    from the selected series' name, while a user's selection is nameless.
    """
    return sys._getframe(depth).f_globals.get("__name__", "").startswith("pandas.")


def _concat_inputs(other: Any) -> list:
    """The objects ``pd.concat`` stacked: ``input_objs`` under pandas 3,
    ``objs`` of its concatenator under pandas 2."""
    objs = getattr(other, "input_objs", None)
    if objs is None:
        objs = getattr(other, "objs", None)
    return list(objs) if objs is not None else []


def _column_array(stored: Any, n: int, fill: int, dtype: type) -> np.ndarray:
    """The per-element array of a selected column from the array stored for
    it: a copy when the lengths match, the stored first entry repeated when
    rows were filtered or reordered since, ``fill`` when nothing is stored."""
    if stored is None:
        return np.full(n, fill, dtype=dtype)
    if len(stored) != n:
        return np.full(n, stored[0] if len(stored) else fill, dtype=dtype)
    return np.array(stored, copy=True)


def _label_entities(index: pd.Index) -> np.ndarray:
    """``_hash_entity(label) % 256`` of every label of ``index``, in one
    codec call (each label hashes like ``index[i]``: numeric scalars of any
    type hash by value)."""
    dtype = index.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "i":
        labels: Any = index.to_numpy(dtype=np.int64)
    elif isinstance(dtype, np.dtype) and dtype.kind == "u":
        labels = index.to_numpy(dtype=np.uint64)
    else:
        labels = index.astype(object).to_numpy()
    return np.asarray(_hooks.word("hash_entities")(labels), dtype=np.uint32)


def _protection(protected: Any) -> Optional[set]:
    """The column names of a list, tuple or set ``protected`` (by text), or
    None when ``protected`` is a flag for the whole table."""
    if isinstance(protected, (list, tuple, set)):
        return {str(c) for c in protected}
    return None


def _binary_method(name: str, op: Callable, op_name: str, op_code: int) -> Callable:
    def method(self: Any, other: Any) -> Any:
        # A row-following series pairs elements by label, as pandas does.
        left, right, aligned = _rows_hooks.binop_operands(self, other, op_code == OpCode.CMP)
        out = left._tracked_binary(right, op, op_name, op_code)
        if aligned:
            out = _rows_hooks.complete_aligned(out, left, right, op_name)
        return _rows_hooks.name_result(out, left, right)
    method.__name__ = method.__qualname__ = name
    return method


def _unary_method(name: str, op: Callable, op_name: str, op_code: int) -> Callable:
    def method(self: Any) -> Any:
        return _rows_hooks.name_result(self._tracked_unary(op, op_name, op_code), self, None)
    method.__name__ = method.__qualname__ = name
    return method


class _TrackedSeriesBase(_rows_hooks.RowsSeriesMixin, pd.Series):  # type: ignore[misc]
    """What both tracked Series families share: the operator methods (each
    family supplies ``_tracked_binary`` and ``_tracked_unary``), and the
    series name carried through pandas' results and pickles."""

    _name = None

    def _tracked_binary(self, other: Any, op: Callable, op_name: str, op_code: int) -> Any:
        raise NotImplementedError

    def _tracked_unary(self, op: Callable, op_name: str, op_code: int) -> Any:
        raise NotImplementedError

    def _finalize_from(self, other: Any, method: Optional[str]) -> None:
        """Family hook of ``__finalize__`` for a source that is not a Series."""

    def __finalize__(self, other: Any, method: Optional[str] = None, **kwargs: Any) -> Any:
        # pandas copies the names listed in _metadata; "_name" is not among
        # ours, so carry the name over the way a plain Series does (groupby
        # and pivot copy the key column and read its name afterwards).
        out = super().__finalize__(other, method=method, **kwargs)  # type: ignore[misc]  # pandas-private
        if isinstance(other, pd.Series):
            object.__setattr__(out, "_name", other._name)
        if _rows_hooks.finalize_series(out, other, method):
            return out
        if not isinstance(other, pd.Series):
            out._finalize_from(other, method)
        return out

    def __getstate__(self) -> dict:
        # Pickles carry the _metadata names only; keep the name with them.
        state = super().__getstate__()  # type: ignore[misc]  # pandas-private
        state["_name"] = self._name
        return state


for _entry in BINARY_OPERATORS:
    setattr(_TrackedSeriesBase, _entry[0], _binary_method(*_entry))
for _entry in UNARY_OPERATORS:
    setattr(_TrackedSeriesBase, _entry[0], _unary_method(*_entry))
del _entry


class _TrackedFrameBase(_rows_hooks.RowsFrameMixin, pd.DataFrame):  # type: ignore[misc]
    """What both tracked DataFrame families share: column selection that
    resolves a callable key once, hands selected columns to the family with
    their stored arrays, and keeps the name only for pandas' own callers
    (or when rows are followed)."""

    def __finalize__(self, other: Any, method: Optional[str] = None, **kwargs: Any) -> Any:
        out = super().__finalize__(other, method=method, **kwargs)  # type: ignore[misc]
        if _rows_hooks.finalize_frame(out, other, method):
            return out
        return out._finalize_frame_from(other, method)

    def _finalize_frame_from(self, other: Any, method: Optional[str]) -> Any:
        """Family hook of ``__finalize__`` outside row-following mode."""
        return self

    def _assigned_rows(self, key: Any, value: Any) -> bool:
        """Row-following bookkeeping of ``self[key] = value`` (after pandas'
        assignment): the value's arrays re-laid on this frame's rows in
        dictionaries of this frame's own.  False when rows are not followed
        (the family keeps its own bookkeeping)."""
        return _rows_hooks.assign_rows(self, key, value)

    def _column_result(self, key: Any, result: pd.Series, keep_name: bool) -> Any:
        raise NotImplementedError

    def _select(self, key: Any) -> Any:
        """``__getitem__`` of both families (called from it directly: the
        frame depth of the pandas-caller check counts on that)."""
        if callable(key):
            # A callable key selects what it returns, as pandas does; resolve
            # it once here so the arrays are looked up under the real label.
            key = key(self)
        result = _rows_hooks.select_rows(self, key, lambda: pd.DataFrame.__getitem__(self, key))
        if not isinstance(result, pd.Series):
            return result
        # Nameless for the user; pandas' own methods (groupby, pivot,
        # explode, pop, ...) select columns here too and read the label
        # from the name, so they get it.
        return self._column_result(key, result,
                                   _called_by_pandas(3) or _rows_hooks.keeps_name(self))

    def _merge_column(self, side: Any, col: Any, words: Any, n: int, out_prov: dict,
                      out_nodes: dict) -> None:
        raise NotImplementedError

    def _merged_arrays(self, right: Any, result: pd.DataFrame) -> tuple[dict, dict]:
        """Per-column arrays of a merge result: each column carried by this
        frame or (same family) by ``right`` is handed to the family's
        ``_merge_column``, the left side first (it wins a shared column)."""
        n = len(result)
        columns = result.columns
        out_prov: dict = {}
        out_nodes: dict = {}
        sides = [self, right] if isinstance(right, self._constructor) else [self]  # type: ignore[arg-type]  # a class at run time
        for side in sides:
            for col, words in side._col_prov.items():
                if col in out_prov or col not in columns:
                    continue
                self._merge_column(side, col, words, n, out_prov, out_nodes)
        return out_prov, out_nodes

    def _stored(self, arrays: Any, key: Any) -> Any:
        """The array stored under ``key`` in ``arrays``, None when there is
        none or the key cannot be a label."""
        return arrays.get(key) if _hashable(key) else None


def _swapped(ufunc: Callable) -> Callable:
    """``ufunc`` with its two operands exchanged (the reflected operators)."""
    return _element_op(ufunc, "op", reflected=True)
