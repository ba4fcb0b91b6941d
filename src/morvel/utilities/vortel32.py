"""VORTEL-32: 32-bit Provenance Encoding with Gradient Taint Model.

Every tracked value carries one 32-bit provenance word: a six-bit header
(mode, taint bit, derivation depth) and a 26-bit payload naming the source
(table, column) pairs, a row-entity hash and a computation-chain hash.
"""
from __future__ import annotations

# ---------------------------------------------------------------------------
# Codec binding, layout constants, OpCode, ProvenanceInfo, ProvenanceTracker
# ---------------------------------------------------------------------------

try:
    from morvel._vortel32 import RustProvenanceTracker, combine_batch, update_chain_batch, encode_source_column, is_tainted_batch, risk_score_batch, explain_batch  # noqa: E501
    from morvel._vortel32 import hash_entities
except ImportError as _exc:
    raise ImportError(
        "VORTEL-32 Rust extension not found. Build it with: python tools/build_rust\n"
        "For the pure Python fallback, install from the python-vortel32-pure branch."
    ) from _exc

import operator
from typing import NamedTuple

from morvel.utilities._argcheck import as_int, check_exact

MAX_PAIRS = 512
MODE_01 = 0
MODE_2 = 1
MODE_3 = 2
MODE_DENSE = 3
HEADER_BITS = 6
PAYLOAD_BITS = 26
MODE_SHIFT = 30
TAINT_SHIFT = 29
DEPTH_SHIFT = 26
PAYLOAD_MASK = (1 << PAYLOAD_BITS) - 1
MODE_01_PAIR_BITS = 10
MODE_01_ENTITY_BITS = 8
MODE_01_CHAIN_BITS = 8
MODE_2_PAIR_BITS = 17
MODE_2_ENTITY_BITS = 5
MODE_2_CHAIN_BITS = 4
MODE_3_PAIR_BITS = 25
MODE_DENSE_SIG_BITS = 26
MAX_DEPTH = 7

_DENSE_SIG_MASK = (1 << MODE_DENSE_SIG_BITS) - 1
_WORD_MASK = 0xFFFFFFFF


class OpCode:
    """Operation codes for chain hash computation."""

    RAW = 0
    ADD = 1
    SUB = 2
    MUL = 3
    DIV = 4
    NEG = 5
    CLIP = 6
    FILL = 7
    MAP = 8
    CMP = 9
    MERGE = 10
    AGG = 11
    CUSTOM = 15


class ProvenanceInfo(NamedTuple):
    """Full decoded provenance — includes taint and depth from header."""

    pairs: set
    entity: int
    chain: int
    taint: bool
    depth: int
    mode: str


def _hash_entity(row_id) -> int:
    """32-bit entity hash of a row key: ``hash(row_id) & 0xFFFFFFFF``, 0 for None.

    >>> _hash_entity(-1)
    4294967294
    """
    if row_id is None:
        return 0
    return hash(row_id) & 0xFFFFFFFF


def _codec_int(value, what: str) -> int:
    """A codec result declared as int (numpy integers count); anything else
    is a codec fault and raises ``TypeError``."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"codec {what} returned {type(value).__name__}, expected int") from None


class ProvenanceTracker:
    """VORTEL-32 provenance tracker with gradient taint model."""

    _follow_rows = False

    def __init__(self, *, follow_rows: bool = False) -> None:
        self._id_to_name: dict[int, tuple[str, str]] = {}
        self._name_to_id: dict[tuple[str, str], int] = {}
        self._next_id: int = 0
        self._dense: dict[int, dict] = {}
        self._protected_tables: set[str] = set()
        self._protected_columns: set[tuple[str, str]] = set()
        self._rust = RustProvenanceTracker()
        # Row-following mode (off by default, then left to the class
        # attribute so a directly built tracker keeps its documented
        # attributes): words follow their rows through pandas' row
        # operations, alignment, merges, concat, groupby and windows.
        if follow_rows:
            self._follow_rows = True

    # -- pickling -----------------------------------------------------------

    def __getstate__(self) -> dict:
        # The codec is native: its learnt state (names, protection, dense
        # signatures) travels in its place.
        state = self.__dict__.copy()
        state["_rust"] = self._rust.__getstate__()
        return state

    def __setstate__(self, state: dict) -> None:
        state = dict(state)
        codec = RustProvenanceTracker.__new__(RustProvenanceTracker)
        codec.__setstate__(state["_rust"])
        state["_rust"] = codec
        self.__dict__.update(state)

    # -- registry -----------------------------------------------------------

    def register(self, table, column, protected=False) -> int:
        """Pair ID of (table, column), registering it when new.

        A repeat returns the stored ID; ``protected=True`` on a repeat adds
        protection, never removes it.

        >>> ProvenanceTracker().register("people", "age")
        0
        """
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        protected = bool(protected)
        key = (table, column)
        pid = self._name_to_id.get(key)
        if pid is not None:
            if protected:
                self._protected_columns.add(key)
            self._rust.register(table, column, protected)
            return pid
        if self._next_id >= MAX_PAIRS:
            raise ValueError("Maximum " + str(MAX_PAIRS) + " pairs supported")
        pid = self._next_id
        self._id_to_name[pid] = key
        self._name_to_id[key] = pid
        self._next_id += 1
        if protected:
            self._protected_columns.add(key)
        self._rust.register(table, column, protected)
        return pid

    def register_table(self, table, columns, protected=False) -> list:
        """Register every column of ``columns`` under ``table``; IDs in that order."""
        check_exact(table, "table", str)
        check_exact(columns, "columns", list)
        return [self.register(table, c, protected) for c in columns]

    def get_name(self, pair_id):
        """(table, column) of a pair ID, or None when it is not registered."""
        return self._id_to_name.get(as_int(pair_id, "pair_id"))

    def get_id(self, table, column):
        """Pair ID of (table, column), or None when it is not registered."""
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        return self._name_to_id.get((table, column))

    def is_protected(self, table, column=None) -> bool:
        """True when the table is wholly protected or (table, column) is.

        An empty or missing column consults only the protected tables.
        """
        check_exact(table, "table", str)
        check_exact(column, "column", str, allow_none=True)
        if table in self._protected_tables:
            return True
        if column:
            return (table, column) in self._protected_columns
        return False

    # -- words --------------------------------------------------------------

    def encode(self, pairs, entity=0, chain=0, taint=False, depth=0) -> int:
        """Word naming the pair IDs of ``pairs`` with the given header.

        >>> t = ProvenanceTracker(); t.get_mode(t.encode({3}))
        'EXACT-1'
        """
        check_exact(pairs, "pairs", set)
        entity = as_int(entity, "entity")
        chain = as_int(chain, "chain")
        depth = as_int(depth, "depth")
        result = _codec_int(
            self._rust.encode(sorted(pairs), entity, chain, bool(taint), depth), "encode")
        if len(pairs) >= 4:
            self._dense[result & _DENSE_SIG_MASK] = {
                "pairs": frozenset(pairs), "entity": entity, "chain": chain}
        return result

    def decode(self, provenance) -> set:
        """Set of pair IDs named by a word."""
        return self.decode_full(provenance).pairs

    def decode_full(self, provenance) -> ProvenanceInfo:
        """Everything a word holds, as a :class:`ProvenanceInfo`."""
        provenance = as_int(provenance, "provenance")
        d = self._rust.decode_full(provenance & _WORD_MASK)
        return ProvenanceInfo(
            pairs=set(d["pairs"]),
            entity=d["entity"],
            chain=d["chain"],
            taint=d["taint"],
            depth=d["depth"],
            mode=d["mode"],
        )

    @staticmethod
    def read_header(provenance) -> tuple:
        """(mode, taint, depth) of a word.

        >>> ProvenanceTracker.read_header(0xFC000000)
        (3, True, 7)
        """
        p = as_int(provenance, "provenance")
        return ((p >> MODE_SHIFT) & 3, bool((p >> TAINT_SHIFT) & 1), (p >> DEPTH_SHIFT) & 7)

    @staticmethod
    def is_tainted(provenance) -> bool:
        """True when the word derives from a protected attribute."""
        return bool((as_int(provenance, "provenance") >> TAINT_SHIFT) & 1)

    @staticmethod
    def get_depth(provenance) -> int:
        """Derivation depth (0-7) of a word."""
        return (as_int(provenance, "provenance") >> DEPTH_SHIFT) & 7

    @staticmethod
    def risk_score(provenance) -> float:
        """taint / (1 + depth): 0.0 for untainted words, 1.0 at depth 0.

        >>> ProvenanceTracker.risk_score(1 << 29)
        1.0
        """
        p = as_int(provenance, "provenance")
        if not (p >> TAINT_SHIFT) & 1:
            return 0.0
        return 1.0 / (1.0 + ((p >> DEPTH_SHIFT) & 7))

    def get_mode(self, provenance) -> str:
        """Mode name: "EXACT-0", "EXACT-1", "EXACT-2", "EXACT-3" or "DENSE"."""
        p = as_int(provenance, "provenance")
        mode = (p >> MODE_SHIFT) & 3
        if mode == MODE_01:
            pair_data = ((p & PAYLOAD_MASK) >> 16) & 1023
            return "EXACT-0" if pair_data == 0 else "EXACT-1"
        if mode == MODE_2:
            return "EXACT-2"
        if mode == MODE_3:
            return "EXACT-3"
        if mode == MODE_DENSE:
            return "DENSE"
        return "UNKNOWN"

    # -- explanations -------------------------------------------------------

    def explain(self, provenance) -> list:
        """(table, column) names of a word's pairs in ascending ID order."""
        names = (self.get_name(i) for i in sorted(self.decode(provenance)))
        return [n for n in names if n is not None]

    def explain_full(self, provenance) -> dict:
        """Dict of names, IDs, entity, chain, taint, depth, risk, mode and hex form."""
        p = as_int(provenance, "provenance")
        info = self.decode_full(p)
        ids = sorted(info.pairs)
        names = [n for n in (self.get_name(i) for i in ids) if n is not None]
        return {
            "pairs": names,
            "pair_ids": ids,
            "entity": info.entity,
            "chain": info.chain,
            "taint": info.taint,
            "depth": info.depth,
            "risk": self.risk_score(p),
            "mode": info.mode,
            "provenance_hex": "0x%08X" % (p & _WORD_MASK),
        }

    def explain_tables(self, provenance) -> list:
        """Tables of :meth:`explain`, first occurrence only, in that order."""
        seen: list = []
        for table, _column in self.explain(provenance):
            if table not in seen:
                seen.append(table)
        return seen

    def has_protected(self, provenance) -> bool:
        """True when any named pair of the word is protected."""
        return any(self.is_protected(t, c) for t, c in self.explain(provenance))

    # -- algebra ------------------------------------------------------------

    def combine(self, prov_a, prov_b, op=OpCode.ADD) -> int:
        """Word of a two-operand result: pairs united, entity XOR, chain
        advanced by ``op``, taint OR, depth max + 1 (saturating at 7)."""
        a = as_int(prov_a, "prov_a") & _WORD_MASK
        b = as_int(prov_b, "prov_b") & _WORD_MASK
        return _codec_int(self._rust.combine(a, b, as_int(op, "op")), "combine")

    def update_chain(self, provenance, op) -> int:
        """Word after a one-operand step: only the chain changes."""
        p = as_int(provenance, "provenance") & _WORD_MASK
        return _codec_int(self._rust.update_chain(p, as_int(op, "op")), "update_chain")

    def contains(self, provenance, pair_id) -> bool:
        """True when the word names ``pair_id``."""
        return as_int(pair_id, "pair_id") in self.decode(provenance)

    def contains_table(self, provenance, table) -> bool:
        """True when a pair of ``table`` is among the word's named pairs."""
        check_exact(table, "table", str)
        return table in self.explain_tables(provenance)

    def entity_from_row(self, row_id) -> int:
        """32-bit entity hash of a row key (see :func:`_hash_entity`)."""
        return _hash_entity(row_id)

    def stats(self) -> dict:
        """Counts of registered pairs and dense entries, and the protection sets."""
        return {
            "registered_pairs": self._next_id,
            "dense_entries": len(self._dense),
            "protected_tables": list(self._protected_tables),
            "protected_columns": [t + "." + c for t, c in self._protected_columns],
            "encoding": "VORTEL-32",
        }


# ---------------------------------------------------------------------------
# Tracked Series and DataFrames, wrap_dataframe
# ---------------------------------------------------------------------------

import math
import sys
import types

import numpy as np
import pandas as pd
from pandas.core.internals.managers import SingleBlockManager

from morvel._rows import hooks as _rows_hooks
from morvel._rows import register_family as _register_rows_family


def _fresh(fn):
    """Mark an element operation whose ndarray result is always newly
    allocated, so the result series may adopt it without a copy."""
    fn._fresh_result = True
    return fn


@_fresh
def _add(a, b):
    return np.add(a, b)


@_fresh
def _sub(a, b):
    return np.subtract(a, b)


@_fresh
def _mul(a, b):
    return np.multiply(a, b)


@_fresh
def _truediv(a, b):
    return np.true_divide(a, b)


@_fresh
def _floordiv(a, b):
    return np.floor_divide(a, b)


@_fresh
def _pow(a, b):
    return np.power(a, b)


@_fresh
def _radd(a, b):
    return np.add(b, a)


@_fresh
def _rsub(a, b):
    return np.subtract(b, a)


@_fresh
def _rmul(a, b):
    return np.multiply(b, a)


@_fresh
def _rtruediv(a, b):
    return np.true_divide(b, a)


@_fresh
def _neg(x):
    # Negating booleans inverts them, as pandas' own unary minus does (and
    # as its drop_duplicates relies on); numpy refuses ``-`` on bool arrays.
    if pd.api.types.is_bool_dtype(x.dtype):
        return operator.inv(x)
    return -x


@_fresh
def _gt(a, b):
    return a > b


@_fresh
def _lt(a, b):
    return a < b


@_fresh
def _ge(a, b):
    return a >= b


@_fresh
def _le(a, b):
    return a <= b


_EMPTY_WORDS = np.zeros(0, dtype=np.uint32)
_EMPTY_WORDS.flags.writeable = False


def _words(result) -> np.ndarray:
    """A codec result as a ``uint32`` array (no copy when it already is one)."""
    return np.asarray(result, dtype=np.uint32)


def _copy_words(prov) -> np.ndarray:
    """A new array holding the words of ``prov``."""
    return np.array(prov, copy=True)


# Kinds of numpy arrays that the Series constructor keeps exactly as they
# are (no inference, no unit or dtype conversion).
_PLAIN_KINDS = frozenset("biufc")


def _tracked(values, index, prov, tracker, adopt=False) -> "TrackedSeries":
    """A nameless ``TrackedSeries`` of ``values`` on ``index``.

    With ``adopt`` and a freshly allocated ndarray the values are taken
    without a copy; anything else (the result of a caller's own operation,
    which may be held elsewhere) is copied, under pandas 2 as well.
    """
    if isinstance(values, np.ndarray):
        copy = not (adopt and values.flags.owndata)
        if (not copy and values.ndim == 1 and values.dtype.kind in _PLAIN_KINDS
                and values.dtype.isnative and len(values) == len(index)):
            # A fresh numeric array, which the constructor would take as it
            # is: build its block directly and skip the constructor's checks.
            mgr = SingleBlockManager.from_array(values, index)
            out = TrackedSeries._from_mgr(mgr, axes=mgr.axes)
            object.__setattr__(out, "_prov", prov)
            object.__setattr__(out, "_tracker", tracker)
            return out
    else:
        copy = not adopt
    return TrackedSeries(values, index=index, copy=copy, _prov=prov, _tracker=tracker)


class TrackedSeries(_rows_hooks.RowsSeriesMixin, pd.Series):
    """Pandas Series with VORTEL-32 provenance (taint + depth aware)."""

    _metadata = ["_prov", "_tracker"]
    # Defaults for objects pandas builds without __init__ (_from_mgr,
    # unpickling): a shared read-only empty word array and no tracker.
    _prov = _EMPTY_WORDS
    _tracker = None
    _name = None

    def __init__(self, *args, _prov=None, _tracker=None, **kwargs):
        super().__init__(*args, **kwargs)
        if _prov is None:
            _prov = np.zeros(len(self), dtype=np.uint32)
        object.__setattr__(self, "_prov", _prov)
        object.__setattr__(self, "_tracker", _tracker)

    @property
    def _constructor(self):
        return TrackedSeries

    @property
    def _constructor_expanddim(self):
        return TrackedDataFrame

    def _constructor_from_mgr(self, mgr, axes):
        # pandas builds the results of its own methods here, by default as a
        # plain Series passed through __init__.  This class makes them from
        # the manager directly, in the state __init__ would leave them (zero
        # words, no tracker, no name) until __finalize__ copies the source's
        # attributes.  Subclasses with their own constructor keep pandas' way.
        if self._constructor is not TrackedSeries:
            return super()._constructor_from_mgr(mgr, axes)
        out = TrackedSeries._from_mgr(mgr, axes=axes)
        object.__setattr__(out, "_prov", np.zeros(len(out), dtype=np.uint32))
        return out

    def __finalize__(self, other, method=None, **kwargs):
        # pandas copies the names listed in _metadata; "_name" is not among
        # ours, so carry the name over the way a plain Series does.
        out = super().__finalize__(other, method=method, **kwargs)
        if isinstance(other, pd.Series):
            object.__setattr__(out, "_name", other._name)
        if _rows_hooks.finalize_series(_ROWS, out, other, method):
            return out
        if method == "concat":
            _finalize_series_concat(out, _concat_inputs(other))
        return out

    def __getstate__(self):
        state = super().__getstate__()
        state["_name"] = self._name
        return state

    def _construct_result(self, *args, **kwargs):
        # pandas 3 also copies the other operand's metadata onto results of
        # its own operators (==, %, &, ...); the result belongs to self.
        out = super()._construct_result(*args, **kwargs)
        for part in out if isinstance(out, tuple) else (out,):
            if isinstance(part, TrackedSeries):
                object.__setattr__(part, "_prov", self._prov)
                object.__setattr__(part, "_tracker", self._tracker)
        return out

    def _inplace_method(self, other, op):
        # ``s += t`` runs the tracked operator and then swaps the values in;
        # the words of that result replace the stale ones as well.
        result = op(self, other)
        self._update_inplace(result.reindex_like(self))
        if isinstance(result, TrackedSeries):
            object.__setattr__(self, "_prov", result._prov)
        return self

    def _binop(self, other, op, op_code: int = OpCode.ADD, **kwargs) -> "TrackedSeries":
        """Apply ``op(self.values, other values)`` by position and combine
        the words with ``op_code``.

        Words are combined only when ``other`` is a ``TrackedSeries`` and
        this series has a tracker; otherwise they are copied unchanged.

        >>> TrackedSeries([1, 2])._binop(10, _add, OpCode.ADD).tolist()
        [11, 12]
        """
        if kwargs:
            # pandas' flex methods (``s.add(t, fill_value=0)``) call their own
            # private ``_binop(other, func, level=, fill_value=)``.
            return super()._binop(other, op, **kwargs)
        op_code = as_int(op_code, "op_code")
        left, other = _rows_hooks.binop_operands(self, other, op_code == OpCode.CMP)
        b = other.values if hasattr(other, "values") else other
        result = op(left.values, b)
        tracker = left._tracker
        if isinstance(other, TrackedSeries) and tracker is not None:
            prov = _words(combine_batch(tracker._rust, left._prov, other._prov, op_code))
        elif _rows_hooks.follows(tracker):
            prov = left._prov  # word arrays are never written to: share
        else:
            prov = _copy_words(left._prov)
        out = _tracked(result, left.index, prov, tracker,
                       adopt=getattr(op, "_fresh_result", False))
        return _rows_hooks.name_result(out, left, other)

    def _unop(self, op, op_code: int) -> "TrackedSeries":
        """Apply ``op(self.values)`` and advance every word's chain with ``op_code``."""
        op_code = as_int(op_code, "op_code")
        result = op(self.values)
        tracker = self._tracker
        if tracker is not None:
            prov = _words(update_chain_batch(tracker._rust, self._prov, op_code))
        else:
            prov = _copy_words(self._prov)
        out = _tracked(result, self.index, prov, tracker,
                       adopt=getattr(op, "_fresh_result", False))
        return _rows_hooks.name_result(out, self, None)

    def __add__(self, other):
        return self._binop(other, _add, OpCode.ADD)

    def __sub__(self, other):
        return self._binop(other, _sub, OpCode.SUB)

    def __mul__(self, other):
        return self._binop(other, _mul, OpCode.MUL)

    def __truediv__(self, other):
        return self._binop(other, _truediv, OpCode.DIV)

    def __floordiv__(self, other):
        return self._binop(other, _floordiv, OpCode.DIV)

    def __pow__(self, other):
        return self._binop(other, _pow, OpCode.MUL)

    def __radd__(self, other):
        return self._binop(other, _radd, OpCode.ADD)

    def __rsub__(self, other):
        return self._binop(other, _rsub, OpCode.SUB)

    def __rmul__(self, other):
        return self._binop(other, _rmul, OpCode.MUL)

    def __rtruediv__(self, other):
        return self._binop(other, _rtruediv, OpCode.DIV)

    def __neg__(self):
        return self._unop(_neg, OpCode.NEG)

    def __gt__(self, other):
        return self._binop(other, _gt, OpCode.CMP)

    def __lt__(self, other):
        return self._binop(other, _lt, OpCode.CMP)

    def __ge__(self, other):
        return self._binop(other, _ge, OpCode.CMP)

    def __le__(self, other):
        return self._binop(other, _le, OpCode.CMP)

    def clip(self, lower=None, upper=None) -> "TrackedSeries":
        """Values clipped to [lower, upper]; every word advanced with CLIP.

        >>> TrackedSeries([-1, 5, 20]).clip(0, 10).tolist()
        [0, 5, 10]
        """

        @_fresh
        def clip_values(x):
            return np.clip(x, lower, upper)

        return self._unop(clip_values, OpCode.CLIP)

    def _transformed(self, result, index, op_code: int) -> "TrackedSeries":
        tracker = self._tracker
        if tracker is not None:
            prov = _words(update_chain_batch(tracker._rust, self._prov, op_code))
        else:
            prov = _copy_words(self._prov)
        # The values of the pandas result, positionally, on ``index`` and
        # without a name; a shallow copy of the result's manager, as the
        # constructor would take, so that pandas shares its buffer
        # copy-on-write instead of copying it.
        mgr = result._mgr.copy(deep=False)
        out = TrackedSeries._from_mgr(mgr, axes=mgr.axes)
        object.__setattr__(out, "_prov", prov)
        object.__setattr__(out, "_tracker", tracker)
        if out.index is not index:
            out.index = index
        return _rows_hooks.name_result(out, self, None)

    def fillna(self, value=0, **kwargs) -> "TrackedSeries":
        """Missing values replaced by ``value`` (default 0); every word
        advanced with FILL, filled or not.

        ``inplace=True`` is refused: filling in place would change the values
        while the words stayed those of the unfilled series.

        >>> TrackedSeries([1.0, None]).fillna().tolist()
        [1.0, 0.0]
        """
        if kwargs.get("inplace", False):
            raise ValueError(
                "TrackedSeries.fillna does not support inplace=True: the filled "
                "values need new provenance words; use s = s.fillna(...) instead")
        result = super().fillna(value, **kwargs)
        return self._transformed(result, self.index, OpCode.FILL)

    def map(self, arg, **kwargs) -> "TrackedSeries":
        """Values mapped through ``arg`` as pandas does; every word advanced with MAP.

        >>> TrackedSeries([1, 2]).map({1: 10, 2: 20}).tolist()
        [10, 20]
        """
        result = super().map(arg, **kwargs)
        return self._transformed(result, self.index, OpCode.MAP)

    def replace(self, *args, **kwargs):
        """Values replaced as pandas does; every word advanced with MAP.

        An in-place replacement is left to pandas: the series changes in
        place, its words stay as they were, and pandas' own return value
        (the series under pandas 3, None before) is returned.
        """
        result = super().replace(*args, **kwargs)
        if result is self or not isinstance(result, pd.Series):
            return result
        return self._transformed(result, result.index, OpCode.MAP)

    def compare(self, other, *args, **kwargs):
        """pandas' table of the elements that differ from ``other``, as a
        tracked frame (or series) with this series' tracker and no words.

        pandas fills its mask of differing elements in place, which ``fillna``
        refuses on a tracked series, so the comparison runs on plain views.
        """
        if type(other) is not type(self):
            # pandas' own refusal of operands of another class.
            return super().compare(other, *args, **kwargs)
        result = pd.Series(self).compare(pd.Series(other), *args, **kwargs)
        if isinstance(result, pd.DataFrame):
            return TrackedDataFrame(result, _tracker=self._tracker)
        return TrackedSeries(result, _tracker=self._tracker)


def _concat_inputs(other) -> list:
    """The objects ``pd.concat`` stacked: ``input_objs`` under pandas 3,
    ``objs`` of its concatenator under pandas 2."""
    objs = getattr(other, "input_objs", None)
    if objs is None:
        objs = getattr(other, "objs", None)
    return list(objs) if objs is not None else []


def _finalize_series_concat(out, objs) -> None:
    """Words of a series stacked by ``pd.concat``: the inputs' words end to
    end when every input is tracked with one word per element; the tracker
    of the first tracked input."""
    tracked = [o for o in objs if isinstance(o, TrackedSeries)]
    if not tracked:
        return
    object.__setattr__(out, "_tracker", tracked[0]._tracker)
    if len(tracked) == len(objs) and all(len(o._prov) == len(o) for o in objs):
        prov = np.concatenate([np.asarray(o._prov, dtype=np.uint32) for o in objs])
        if len(prov) == len(out):
            object.__setattr__(out, "_prov", prov)


def _merged_col_prov(left, right, result) -> dict:
    """Per-column words of a merge result: each column carried by either
    side gets n copies of its first word advanced by MERGE (left side wins)."""
    tracker = left._tracker
    n = len(result)
    columns = result.columns
    merged: dict = {}
    sides = [left._col_prov]
    if isinstance(right, TrackedDataFrame):
        sides.append(right._col_prov)
    for col_prov in sides:
        for col, arr in col_prov.items():
            if col in merged or col not in columns:
                continue
            if len(arr) == 0:
                word = 0
            elif tracker is not None:
                word = tracker.update_chain(int(arr[0]), OpCode.MERGE)
            else:
                word = int(arr[0])
            merged[col] = np.full(n, word, dtype=np.uint32)
    return merged


def _hashable(key) -> bool:
    try:
        hash(key)
    except TypeError:
        return False
    return True


def _called_by_pandas() -> bool:
    """True when the function that calls this one was itself called from
    pandas' own code (a module of the ``pandas`` package).

    Column selection uses it: pandas' methods (groupby, pivot, explode,
    pop, ...) select columns through ``__getitem__`` and read the label
    from the selected series' name, while a user's selection is nameless.
    """
    return sys._getframe(2).f_globals.get("__name__", "").startswith("pandas.")


class TrackedDataFrame(_rows_hooks.RowsFrameMixin, pd.DataFrame):
    """Pandas DataFrame with VORTEL-32 provenance."""

    _metadata = ["_tracker", "_col_prov"]
    # Defaults for objects pandas builds without __init__; the read-only
    # mapping is never written to: assignment installs a dict of its own.
    _tracker = None
    _col_prov = types.MappingProxyType({})

    def __init__(self, *args, **kwargs):
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        super().__init__(*args, **kwargs)
        object.__setattr__(self, "_tracker", tracker)
        object.__setattr__(self, "_col_prov", {} if col_prov is None else col_prov)

    @property
    def _constructor(self):
        return TrackedDataFrame

    @property
    def _constructor_sliced(self):
        return TrackedSeries

    def __finalize__(self, other, method=None, **kwargs):
        out = super().__finalize__(other, method=method, **kwargs)
        if _rows_hooks.finalize_frame(_ROWS, out, other, method):
            return out
        if isinstance(other, pd.DataFrame):
            return out
        if method == "to_frame" and isinstance(other, TrackedSeries):
            # A one-column frame made from a tracked series keeps its words.
            if len(out.columns) == 1 and len(other._prov) == len(out):
                object.__setattr__(out, "_col_prov", {out.columns[0]: _copy_words(other._prov)})
        elif method == "merge" and isinstance(getattr(other, "left", None), TrackedDataFrame):
            # ``pd.merge`` does not carry _metadata; give the result the
            # tracker of the left frame and merged words.
            left = other.left
            object.__setattr__(out, "_tracker", left._tracker)
            object.__setattr__(out, "_col_prov", _merged_col_prov(left, other.right, out))
        elif method == "concat":
            tracked = [o for o in _concat_inputs(other)
                       if isinstance(o, (TrackedDataFrame, TrackedSeries))]
            if tracked:
                object.__setattr__(out, "_tracker", tracked[0]._tracker)
        return out

    def __getitem__(self, key):
        """pandas selection; a selected column comes back as a nameless
        ``TrackedSeries`` carrying a copy of the column's words.

        When the stored words no longer match the column's length (rows
        were filtered or reordered), every element gets the first stored word.
        """
        if callable(key):
            # A callable key selects what it returns, as pandas does; resolve
            # it once here so the words are looked up under the real label.
            key = key(self)
        result = super().__getitem__(key)
        if not isinstance(result, pd.Series):
            return result
        n = len(result)
        prov = self._col_prov.get(key) if _hashable(key) else None
        if prov is None:
            words = np.zeros(n, dtype=np.uint32)
        elif len(prov) != n:
            words = (np.full(n, prov[0], dtype=np.uint32) if len(prov)
                     else np.zeros(n, dtype=np.uint32))
        elif _rows_hooks.follows(self._tracker):
            words = prov  # word arrays are never written to: share
        else:
            words = _copy_words(prov)
        # Built from the selected column itself (no data copy) without its name.
        # pandas' own methods (groupby, pivot, explode, pop, ...) select
        # columns here too and read the label from the name: they keep it.
        out = TrackedSeries(result, _prov=words, _tracker=self._tracker)
        if not _called_by_pandas() and not _rows_hooks.keeps_name(self):
            out.name = None
        return out

    def __setitem__(self, key, value):
        """pandas assignment; a ``TrackedSeries`` value also stores a copy of its words.

        The word dictionary is replaced rather than changed, so frames
        derived from this one (which share it) keep their own words.
        """
        super().__setitem__(key, value)
        if _rows_hooks.follows(self._tracker) and _hashable(key):
            col_prov = dict(self._col_prov)
            arrays = _rows_hooks.assigned_arrays(self, key, value)
            if arrays is None:
                col_prov.pop(key, None)
            else:
                col_prov[key] = arrays[0]
            object.__setattr__(self, "_col_prov", col_prov)
        elif isinstance(value, TrackedSeries) and _hashable(key):
            col_prov = dict(self._col_prov)
            col_prov[key] = _copy_words(value._prov)
            object.__setattr__(self, "_col_prov", col_prov)

    def merge(self, right, *args, **kwargs) -> "TrackedDataFrame":
        """pandas merge; every column carried by either side gets n copies of
        its first word advanced by MERGE (the left side wins a shared column).

        Columns renamed by suffixes lose their words.  A row-following
        tracker gives every output element the word of its source element.
        """
        if _rows_hooks.follows(self._tracker):
            return _rows_hooks.merge_frames(_ROWS, self, right, args, kwargs)
        result = super().merge(right, *args, **kwargs)
        return TrackedDataFrame(result, _tracker=self._tracker,
                                _col_prov=_merged_col_prov(self, right, result))


_ROWS = _register_rows_family(TrackedSeries, TrackedDataFrame, lineage=False)


def _stock_entity_hash(tracker) -> bool:
    """True when ``tracker.entity_from_row`` is the stock hash (not
    overridden by a subclass nor replaced on the instance)."""
    return (type(tracker).entity_from_row is ProvenanceTracker.entity_from_row
            and "entity_from_row" not in getattr(tracker, "__dict__", {}))


def _index_entities(index: pd.Index) -> np.ndarray:
    """``_hash_entity(label) % 256`` of every label of ``index``, in one codec call."""
    dtype = index.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "i":
        labels = index.to_numpy(dtype=np.int64)
    elif isinstance(dtype, np.dtype) and dtype.kind == "u":
        labels = index.to_numpy(dtype=np.uint64)
    else:
        labels = index.astype(object).to_numpy()
    return np.asarray(hash_entities(labels), dtype=np.uint32)


def wrap_dataframe(df: pd.DataFrame, tracker: "ProvenanceTracker", table: str,
                   protected=False, include_entity: bool = True) -> TrackedDataFrame:
    """Wrap a DataFrame with VORTEL-32 provenance. Sets taint for protected columns.

    ``protected`` is a list, tuple or set of column names (compared by their
    text form), or any other value whose truth protects the whole table.

    >>> t = ProvenanceTracker()
    >>> tdf = wrap_dataframe(pd.DataFrame({"a": [1, 2]}), t, "people", ["a"])
    >>> ProvenanceTracker.is_tainted(int(tdf["a"]._prov[0]))
    True
    """
    check_exact(table, "table", str)
    result = TrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    names = None
    if isinstance(protected, (list, tuple, set)):
        names = {str(c) for c in protected}
    elif protected:
        tracker._protected_tables.add(table)
        tracker._rust.mark_table_protected(table)
    mod = 1 << MODE_01_ENTITY_BITS
    shared_entities = None
    fast = include_entity and _stock_entity_hash(tracker)
    col_prov = result._col_prov
    for col in df.columns:
        name = str(col)
        flag = (name in names) if names is not None else protected
        pair_id = tracker.register(table, name, flag)
        is_protected = tracker.is_protected(table, name)
        if not include_entity:
            entities = np.zeros(n, dtype=np.uint32)
        elif fast:
            if shared_entities is None:
                shared_entities = _index_entities(df.index)
            entities = shared_entities
        else:
            index = df.index
            entities = np.fromiter(
                (tracker.entity_from_row(index[i]) % mod for i in range(n)),
                dtype=np.uint32, count=n)
        col_prov[col] = _words(encode_source_column(tracker._rust, pair_id, entities, is_protected))
    return result


# ---------------------------------------------------------------------------
# Audits and risk reports
# ---------------------------------------------------------------------------

_NO_DATA = "No tracker or empty series"


def audit(series: "TrackedSeries") -> dict:
    """Explain the provenance of the first element of a tracked series.

    Returns {"error": "No tracker or empty series"} without a tracker or data.
    """
    tracker = series._tracker
    if tracker is None or len(series) == 0:
        return {"error": _NO_DATA}
    p = int(series._prov[0])
    info = tracker.decode_full(p)
    return {
        "provenance": "0x%08X" % p,
        "mode": info.mode,
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(p),
        "tables": tracker.explain_tables(p),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(p),
        "has_protected": tracker.has_protected(p),
    }


def audit_series_diversity(series: "TrackedSeries") -> dict:
    """Distinct sources, entities and chains over a tracked series.

    Taint is counted over distinct words, not rows.
    """
    tracker = series._tracker
    if tracker is None or len(series) == 0:
        return {"error": _NO_DATA}
    unique = set(np.unique(np.asarray(series._prov)).tolist())
    pair_ids: set = set()
    entities: set = set()
    chains: set = set()
    tainted = 0
    max_depth = 0
    for p in unique:
        info = tracker.decode_full(p)
        pair_ids.update(info.pairs)
        entities.add(info.entity)
        chains.add(info.chain)
        if info.taint:
            tainted += 1
        if info.depth > max_depth:
            max_depth = info.depth
    total = len(series)
    return {
        "total_rows": total,
        "unique_provenances": len(unique),
        "unique_pair_sets": len(pair_ids),
        "unique_entities": len(entities),
        "unique_chains": len(chains),
        "entity_diversity": len(entities) / total if total else 0.0,
        "tainted_provenances": tainted,
        "taint_ratio": tainted / len(unique) if unique else 0.0,
        "max_depth": max_depth,
    }


def provenance_entropy(series: "TrackedSeries") -> float:
    """Shannon entropy (bits) of the words of a series: 0.0 when all
    elements share one word, log2(k) for k equally frequent words."""
    n = len(series)
    if n == 0:
        return 0.0
    words = np.asarray(series._prov)
    _, first, counts = np.unique(words, return_index=True, return_counts=True)
    entropy = 0.0
    # Summed in order of first occurrence.
    for c in counts[np.argsort(first, kind="stable")].tolist():
        q = c / n
        if q > 0:
            entropy -= q * math.log2(q)
    return entropy


def _risk_level(max_risk: float) -> str:
    if max_risk > 0.5:
        return "HIGH"
    if max_risk > 0.2:
        return "MEDIUM"
    if max_risk > 0:
        return "LOW"
    return "CLEAN"


def column_risk_report(df: "TrackedDataFrame", tracker: "ProvenanceTracker | None" = None) -> list:
    """Columns of a tracked frame ranked by fairness risk (highest first,
    equal risks in column order); [] without a tracker.

    Each entry: {"column", "tainted", "max_risk", "min_depth", "risk_level"}.
    """
    if tracker is None:
        tracker = df._tracker
    if tracker is None:
        return []
    col_prov = df._col_prov
    report = []
    for col in df.columns:
        if col not in col_prov:
            report.append({"column": col, "tainted": False, "max_risk": 0.0,
                           "min_depth": None, "risk_level": "CLEAN"})
            continue
        prov = col_prov[col]
        taint = np.asarray(is_tainted_batch(prov))
        any_taint = bool(np.any(taint))
        min_depth = None
        max_risk = 0.0
        if any_taint:
            risk = np.asarray(risk_score_batch(prov))
            max_risk = float(np.max(risk))
            tainted = np.asarray(prov, dtype=np.uint32)[taint]
            # The depth header field of every tainted word, as get_depth reads it.
            depths = (tainted >> DEPTH_SHIFT) & 7
            min_depth = int(np.min(depths)) if depths.size else MAX_DEPTH
        report.append({"column": col, "tainted": any_taint, "max_risk": round(max_risk, 4),
                       "min_depth": min_depth, "risk_level": _risk_level(max_risk)})
    report.sort(key=lambda r: r["max_risk"], reverse=True)
    return report
