"""Tracked Dask frames: word columns that travel with the rows.

A :class:`TrackedDaskFrame` is a Dask DataFrame in which every user column
``c`` has a hidden ``uint32`` column of words (named ``WORD_PREFIX + str(c)``).
Being ordinary partition data, the words go through Dask's shuffles, spills,
serialisation and task retries with their rows.  The wrapper intercepts the
operations that change words (column arithmetic, transforms, assignment,
filters, merges, groupby aggregations, concatenation): values go through
Dask's own operations, exactly as on a plain Dask frame, and each word column
is a Dask series of its own computed per partition with the rules of
:mod:`morvel.dask._rules`.  Dask fuses both into one task per partition and,
as it does for any column, never computes a word column no result reads.
``compute()`` returns a :class:`~morvel.utilities.vortel32.TrackedDataFrame`.

Besides its words, each column carries the pair sets its words can name,
worked out on the client as the graph is built.  The dense ones are shipped
with the registry of every task, so that any worker can decode any word.
"""
from __future__ import annotations

import operator
from collections.abc import Callable, Hashable, Iterable, Sequence
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from morvel.dask import _rules as rules
from morvel.dask._registry import (
    DEFAULT_ENTITY_KEY,
    PairSets,
    PortableTracker,
    WordRegistry,
    dense_sets_of,
    registry_of,
)
from morvel.pipeline import Pipeline
from morvel.utilities._argcheck import check_exact, type_error
from morvel.utilities.vortel32 import (
    OpCode,
    TrackedDataFrame,
    TrackedSeries,
    column_risk_report,
)

try:
    import dask
    import dask.dataframe as dd
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError(
        "morvel.dask needs Dask: install it with pip install 'morvel[dask]' "
        "(dask[dataframe] and distributed)") from exc

#: Prefix of the hidden word column of each user column.
WORD_PREFIX = "__morvel_word__"
_LEFT = "__morvel_left__"
_RIGHT = "__morvel_right__"
_EMPTY: frozenset[int] = frozenset()
#: Most pair sets one column may name before aggregating it is refused.
MAX_COLUMN_SETS = 4096

_LINEAGE_MESSAGE = (
    "morvel.dask tracks provenance words only: lineage nodes (the per-element "
    "computation graph) are a single-process feature for now. Use "
    "track(..., lineage=False) on Dask, or wrap_dataframe_dag on a pandas frame "
    "for lineage.")


def word_column(label: Hashable) -> str:
    """Name of the hidden word column of user column ``label``."""
    return WORD_PREFIX + str(label)


def _is_word_column(label: Hashable) -> bool:
    return isinstance(label, str) and label.startswith(WORD_PREFIX)


# ---------------------------------------------------------------------------
# Pipeline: the registry of one Dask pipeline
# ---------------------------------------------------------------------------


class DaskPipeline:
    """The pair registry and protection of one Dask pipeline.

    Frames tracked with the same pipeline can be combined, merged and
    concatenated; their pair IDs are fixed here, on the client, in the order
    the tables are tracked, so the words do not depend on which worker
    computes them.  ``tracker`` is the client's
    :class:`~morvel.dask.PortableTracker`: computed frames carry it.

    >>> p = DaskPipeline("credit")
    >>> p.tracker.stats()["registered_pairs"]
    0
    """

    def __init__(self, name: str = "dask", entity_key: bytes = DEFAULT_ENTITY_KEY) -> None:
        check_exact(name, "name", str)
        self.name = name
        self.tracker = PortableTracker(entity_key)

    @classmethod
    def of(cls, pipeline: DaskPipeline | Pipeline) -> DaskPipeline:
        """The Dask pipeline of ``pipeline``: itself, or for a
        ``morvel.Pipeline(name, portable=True)`` one that shares its tracker
        (the same for every call), so that computed frames carry that
        pipeline's tracker and its ``audit`` and ``risk_report`` read them."""
        if isinstance(pipeline, DaskPipeline):
            return pipeline
        if not isinstance(pipeline, Pipeline):
            raise type_error("pipeline", "DaskPipeline or morvel.Pipeline", pipeline)
        if not isinstance(pipeline.tracker, PortableTracker):
            raise ValueError(f"pipeline {pipeline.name!r} computes process-dependent words; build it "
                             "with morvel.Pipeline(name, portable=True) to track Dask frames with it")
        found = pipeline.__dict__.get("_dask_pipeline")
        if found is None:
            found = cls.__new__(cls)
            found.name = pipeline.name
            found.tracker = pipeline.tracker
            pipeline.__dict__["_dask_pipeline"] = found
        return found

    def registry(self, sets: Iterable[PairSets] = ()) -> WordRegistry:
        """Registry snapshot with the dense sets among ``sets``, which the
        client tracker learns as well (so it can decode them)."""
        dense = dense_sets_of(sets)
        known = {d["pairs"] for d in self.tracker._dense.values()}
        for s in dense - known:
            self.tracker.encode(set(s))
        return registry_of(self.tracker, dense)

    def __repr__(self) -> str:
        return f"DaskPipeline({self.name!r}, pairs={self.tracker._next_id})"


def _same_pipeline(a: DaskPipeline, b: DaskPipeline) -> DaskPipeline:
    if a is not b:
        raise ValueError("tracked Dask frames of different pipelines cannot be combined; "
                         "track every table with the same pipeline=DaskPipeline(...)")
    return a


def _unions(a: PairSets, b: PairSets) -> PairSets:
    """Pair sets of words combined from a column with sets ``a`` and one with
    sets ``b``, where either side may be missing (neutral word)."""
    a2, b2 = a | {_EMPTY}, b | {_EMPTY}
    return frozenset(x | y for x in a2 for y in b2)


def _closure(sets: PairSets) -> PairSets:
    """Every union of one or more of ``sets``: what a group can name."""
    result = set(sets)
    frontier = set(sets)
    while frontier:
        new = {x | y for x in frontier for y in sets} - result
        result |= new
        frontier = new
        if len(result) > MAX_COLUMN_SETS:
            raise ValueError(f"a column may name more than {MAX_COLUMN_SETS} pair sets after "
                             "aggregation; aggregate fewer differently-derived rows together")
    return frozenset(result)


# ---------------------------------------------------------------------------
# Partition functions (module level, so that workers import them)
# ---------------------------------------------------------------------------
#
# Values are computed with Dask's own operations, exactly as on a plain Dask
# frame; each derived word column is a Dask series of its own, computed from
# other word series by the functions below.  Dask fuses both into one task
# per partition and drops the word columns that nothing downstream reads
# (its column projection sees through assignments, filters and merges).

_WORD_META = pd.Series(np.array([], dtype=np.uint32))


def _source_part(pdf: pd.DataFrame, registry: WordRegistry, columns: list[tuple[Hashable, int, bool]],
                 include_entity: bool) -> pd.DataFrame:
    """The partition with the source word column of each column appended
    (one entity hash of the row labels serves them all)."""
    codec = registry.codec()
    row_entities = rules.entities(pdf.index, registry.entity_key, include_entity)
    words = {word_column(label): rules.source_words(codec, pair_id, row_entities, taint)
             for label, pair_id, taint in columns}
    return pd.concat([pdf, pd.DataFrame(words, index=pdf.index, copy=False)], axis=1)


_VALUE_OPS: dict[str, Callable[[Any, Any], Any]] = {
    "add": operator.add, "sub": operator.sub, "mul": operator.mul,
    "truediv": operator.truediv, "floordiv": operator.floordiv, "pow": operator.pow,
    "mod": operator.mod,
    "radd": lambda a, b: b + a, "rsub": lambda a, b: b - a, "rmul": lambda a, b: b * a,
    "rtruediv": lambda a, b: b / a, "rfloordiv": lambda a, b: b // a,
    "rpow": lambda a, b: b ** a, "rmod": lambda a, b: b % a,
    "gt": operator.gt, "lt": operator.lt, "ge": operator.ge, "le": operator.le,
    "eq": operator.eq, "ne": operator.ne, "and": operator.and_, "or": operator.or_,
    "xor": operator.xor,
}

# Operation codes of the element operations whose words combine both
# operands; the others (equality, logic, modulo) keep the words of the
# tracked series they run on, as the single-process tracked series does.
_OP_CODES: dict[str, int] = {
    "add": OpCode.ADD, "sub": OpCode.SUB, "mul": OpCode.MUL, "truediv": OpCode.DIV,
    "floordiv": OpCode.DIV, "pow": OpCode.MUL, "radd": OpCode.ADD, "rsub": OpCode.SUB,
    "rmul": OpCode.MUL, "rtruediv": OpCode.DIV,
    "gt": OpCode.CMP, "lt": OpCode.CMP, "ge": OpCode.CMP, "le": OpCode.CMP,
}


def _binary_words(left: pd.Series, right: pd.Series, code: int | None,
                  registry: WordRegistry) -> pd.Series:
    """Words of an element operation of a tracked series (words ``left``)
    with a series ``right`` (its words when ``code`` is given, else any
    operand): the rows are aligned as pandas aligns the values (outer join of
    the labels; a missing side contributes 0), then combined with ``code``,
    or the left words kept."""
    if not left.index.equals(right.index):
        left, right = left.align(right, join="outer")
    words = rules.as_words(left)
    if code is not None:
        words = rules.binary(registry.codec(), words, rules.as_words(right), code)
    return pd.Series(words, index=left.index, copy=False)


def _unary_words(words: pd.Series, code: int, registry: WordRegistry) -> pd.Series:
    return pd.Series(rules.unary(registry.codec(), rules.as_words(words), code), index=words.index,
                     copy=False)


def _call_method(values: pd.Series, method: str, args: tuple[Any, ...],
                 kwargs: dict[str, Any]) -> pd.Series:
    """``values.method(*args, **kwargs)``.  Dask stores text as Arrow-backed
    strings, whose ``map`` and ``replace`` give Arrow-backed numbers; those
    come back as numpy numbers (NaN for missing), as pandas gives them for the
    same text in a pandas frame."""
    out = -values if method == "neg" else getattr(values, method)(*args, **kwargs)
    dtype = out.dtype
    if isinstance(dtype, pd.ArrowDtype) and dtype.kind in "iufb" and not isinstance(values.dtype, pd.ArrowDtype):
        if out.hasnans and dtype.kind in "iuf":
            arr = out.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            arr = out.to_numpy()
        out = pd.Series(arr, index=out.index, name=out.name, copy=False)
    return out


def _merged_words(left: pd.Series | None, right: pd.Series | None, registry: WordRegistry) -> pd.Series:
    """Words of one merged column from the carried word columns of its
    sides (None: the side is untracked or lacks the column)."""
    codec = registry.codec()

    def side(col: pd.Series) -> tuple[np.ndarray, np.ndarray | None]:
        """Words of one side and where the side has a row (None: everywhere);
        an outer merge turns a word column with missing rows into floats."""
        if col.dtype == np.uint32:
            return col.to_numpy(), None
        return rules.as_words(col), col.notna().to_numpy()

    if left is not None and right is not None:
        (lw, lp), (rw, rp) = side(left), side(right)
        present = None if lp is None or rp is None else lp | rp
        words = rules.merged_key(codec, lw, rw, present)
    else:
        w, present = side(left if left is not None else right)  # type: ignore[arg-type]
        words = rules.merged_side(codec, w, present)
    index = left.index if left is not None else right.index  # type: ignore[union-attr]
    return pd.Series(words, index=index, copy=False)


def _group_codes(grouped: Any) -> tuple[np.ndarray, pd.Index]:
    """Group number of each row (-1: its key is dropped) and the groups' keys.

    The grouping's own codes, which pandas computes once per partition and
    shares among the selected columns and reductions, when this pandas
    exposes them; otherwise ``ngroup`` and ``size``."""
    grouper = getattr(grouped, "_grouper", None)
    codes = getattr(grouper, "ids", None)
    index = getattr(grouper, "result_index", None)
    if isinstance(codes, np.ndarray) and isinstance(index, pd.Index) and len(codes) == len(grouped.obj):
        return codes.astype(np.int64, copy=False), index
    numbers = grouped.ngroup().to_numpy()
    if numbers.dtype.kind == "f":  # rows of dropped (missing) keys
        numbers = np.where(np.isnan(numbers), -1, numbers)
    return numbers.astype(np.int64), grouped.size().index


def _words_chunk(registry: WordRegistry, grouped: Any) -> pd.Series:
    codes, index = _group_codes(grouped)
    partial_words = rules.join_partial(registry.codec(), codes, rules.as_words(grouped.obj),
                                       len(index))
    return pd.Series(partial_words, index=index)


def _words_finish(registry: WordRegistry, partial_words: pd.Series) -> pd.Series:
    words = rules.finish_aggregate(registry.codec(), rules.as_words(partial_words))
    return pd.Series(words, index=partial_words.index, name=partial_words.name)


def _word_aggregation(registry: WordRegistry) -> dd.Aggregation:
    chunk = partial(_words_chunk, registry)
    return dd.Aggregation("morvel_words", chunk, chunk, partial(_words_finish, registry))


def _risk_part(pdf: pd.DataFrame, labels: list[Hashable]) -> pd.DataFrame:
    """Per column: the shallowest depth of a tainted word (8 when none)."""
    depth = []
    for label in labels:
        w = rules.as_words(pdf[word_column(label)])
        tainted = ((w >> np.uint32(29)) & np.uint32(1)).astype(bool)
        depth.append(int(((w[tainted] >> np.uint32(26)) & np.uint32(7)).min()) if tainted.any() else 8)
    return pd.DataFrame({"depth": np.array(depth, dtype=np.int64)}, index=pd.RangeIndex(len(labels)))


def _aligned(left: dd.Series, right: dd.Series) -> tuple[dd.Series, dd.Series]:
    """Two series on common partitions, as Dask lays out the operands of an
    element operation between them (rows then align by label within each
    partition, see :func:`_binary_words`)."""
    if left.known_divisions and right.known_divisions and left.divisions != right.divisions:
        return left.align(right, join="outer")
    return left, right


def _word_series(ddf: dd.DataFrame | dd.Series, fn: Callable[..., pd.Series], *args: Any) -> dd.Series:
    """``fn`` partition by partition, giving a uint32 word series."""
    return dd.map_partitions(fn, ddf, *args, meta=_WORD_META, align_dataframes=False)


# ---------------------------------------------------------------------------
# Tracked series
# ---------------------------------------------------------------------------


class TrackedDaskSeries:
    """One column of a tracked Dask frame: a Dask series of values and one
    of words, partitioned alike.

    Arithmetic, comparisons and the transforms ``clip``, ``fillna``, ``map``
    and ``replace`` compute values with Dask's own operations and words with
    the rules of :mod:`morvel.dask._rules`; ``compute()`` gives a
    ``TrackedSeries``.
    """

    def __init__(self, values: dd.Series, words: dd.Series, pipeline: DaskPipeline, sets: PairSets,
                 name: Hashable = None) -> None:
        self._values = values
        self._words = words
        self._pipeline = pipeline
        self._sets = sets
        self.name = name

    # -- plumbing --------------------------------------------------------------

    def _like(self, values: dd.Series, words: dd.Series, sets: PairSets,
              name: Hashable = None) -> TrackedDaskSeries:
        return TrackedDaskSeries(values, words, self._pipeline, sets, name)

    @property
    def values(self) -> dd.Series:
        """The values as a plain Dask series."""
        return self._values.rename(self.name)

    @property
    def words(self) -> dd.Series:
        """The words as a plain Dask series of uint32."""
        return self._words

    @property
    def npartitions(self) -> int:
        return self._values.npartitions

    def _binop(self, other: Any, op: str) -> TrackedDaskSeries:
        fn = _VALUE_OPS[op]
        if isinstance(other, TrackedDaskSeries):
            pipeline = _same_pipeline(self._pipeline, other._pipeline)
            code = _OP_CODES.get(op)
            sets = _unions(self._sets, other._sets) if code is not None else self._sets | {_EMPTY}
            registry = pipeline.registry([self._sets, other._sets, sets])
            values = fn(self._values, other._values)
            words = dd.map_partitions(_binary_words, *_aligned(self._words, other._words), code, registry,
                                      meta=_WORD_META)
            name = self.name if self.name == other.name else None
            return self._like(values, words, sets, name)
        if isinstance(other, TrackedSeries | pd.Series | pd.DataFrame | TrackedDaskFrame):
            raise TypeError("a tracked Dask series combines with tracked Dask series, "
                            "Dask series and scalars, not with pandas objects")
        values = fn(self._values, other)
        if isinstance(other, dd.Series):  # rows align by label; a missing side has word 0
            words = dd.map_partitions(_binary_words, *_aligned(self._words, other), None, None,
                                      meta=_WORD_META)
            return self._like(values, words, self._sets | {_EMPTY}, self.name)
        return self._like(values, self._words, self._sets, self.name)

    def _transform(self, method: str, code: int | None, *args: Any, **kwargs: Any) -> TrackedDaskSeries:
        meta = _call_method(self._values._meta_nonempty, method, args, kwargs).iloc[:0]
        values = self._values.map_partitions(_call_method, method, args, kwargs, meta=meta)
        words = self._words
        if code is not None:
            registry = self._pipeline.registry([self._sets])
            words = _word_series(words, _unary_words, code, registry)
        return self._like(values, words, self._sets, self.name if method != "neg" else None)

    # -- operators -------------------------------------------------------------

    def __add__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "add")
    def __sub__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "sub")
    def __mul__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "mul")
    def __truediv__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "truediv")
    def __floordiv__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "floordiv")
    def __pow__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "pow")
    def __mod__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "mod")
    def __radd__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "radd")
    def __rsub__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "rsub")
    def __rmul__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "rmul")
    def __rtruediv__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "rtruediv")
    def __rfloordiv__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "rfloordiv")
    def __rpow__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "rpow")
    def __rmod__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "rmod")
    def __gt__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "gt")
    def __lt__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "lt")
    def __ge__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "ge")
    def __le__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "le")
    def __eq__(self, o: object) -> TrackedDaskSeries: return self._binop(o, "eq")  # type: ignore[override]
    def __ne__(self, o: object) -> TrackedDaskSeries: return self._binop(o, "ne")  # type: ignore[override]
    def __and__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "and")
    def __or__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "or")
    def __xor__(self, o: Any) -> TrackedDaskSeries: return self._binop(o, "xor")

    __hash__ = None  # type: ignore[assignment]  # == builds a series, as in pandas

    def __neg__(self) -> TrackedDaskSeries:
        return self._transform("neg", OpCode.NEG)

    def clip(self, lower: Any = None, upper: Any = None) -> TrackedDaskSeries:
        """Values clipped to [lower, upper]; chains advanced with ``CLIP``."""
        return self._transform("clip", OpCode.CLIP, lower, upper)

    def fillna(self, value: Any = 0) -> TrackedDaskSeries:
        """Missing values filled (0 by default); chains advanced with ``FILL``."""
        return self._transform("fillna", OpCode.FILL, value)

    def map(self, arg: Any, na_action: str | None = None) -> TrackedDaskSeries:
        """Values mapped through a dict, Series or function; chains advanced with ``MAP``."""
        return self._transform("map", OpCode.MAP, arg, na_action=na_action)

    def replace(self, *args: Any, **kwargs: Any) -> TrackedDaskSeries:
        """pandas ``replace`` of the values; chains advanced with ``MAP``."""
        if kwargs.get("inplace"):
            raise ValueError("replace(inplace=True) is not supported on a tracked Dask series")
        return self._transform("replace", OpCode.MAP, *args, **kwargs)

    def abs(self) -> TrackedDaskSeries:
        """Absolute values; the words are kept (as pandas' own method keeps them)."""
        return self._transform("abs", None)

    def astype(self, dtype: Any) -> TrackedDaskSeries:
        """Values converted to ``dtype``; the words are kept."""
        return self._transform("astype", None, dtype)

    # -- results ---------------------------------------------------------------

    def _collections(self) -> list[dd.Series]:
        return [self._values, self._words]

    def _from_collections(self, parts: list[dd.Series]) -> TrackedDaskSeries:
        return self._like(parts[0], parts[1], self._sets, self.name)

    def persist(self, **kwargs: Any) -> TrackedDaskSeries:
        return self._from_collections(list(dask.persist(*self._collections(), **kwargs)))

    def compute(self, **kwargs: Any) -> TrackedSeries:
        """The values and words as a ``TrackedSeries`` carrying the pipeline's tracker."""
        self._pipeline.registry([self._sets])
        return self._tracked(list(dask.compute(*self._collections(), **kwargs)))

    def _tracked(self, parts: list[pd.Series]) -> TrackedSeries:
        values, words = parts
        if len(values) != len(words):
            raise RuntimeError(f"{len(values)} values but {len(words)} words came back")
        return TrackedSeries(values.to_numpy(), index=values.index, name=self.name,
                             _prov=rules.as_words(words), _tracker=self._pipeline.tracker)

    def __repr__(self) -> str:
        return f"TrackedDaskSeries(name={self.name!r}, npartitions={self.npartitions})"


# ---------------------------------------------------------------------------
# Tracked frame
# ---------------------------------------------------------------------------


class TrackedDaskFrame:
    """A Dask DataFrame whose columns carry VORTEL-32 words.

    Column access gives :class:`TrackedDaskSeries`; assignment, boolean
    filters, ``merge``, ``groupby(...).agg`` and :func:`concat` keep the
    words with their rows.  ``compute()`` gives a ``TrackedDataFrame`` with
    the pipeline's tracker, so the audits and ``column_risk_report`` of
    :mod:`morvel.utilities.vortel32` apply to it.
    """

    def __init__(self, ddf: dd.DataFrame, pipeline: DaskPipeline, sets: dict[Hashable, PairSets]) -> None:
        self._ddf = ddf
        self._pipeline = pipeline
        self._sets = dict(sets)

    @property
    def columns(self) -> list[Hashable]:
        """The user columns (without the word columns)."""
        return [c for c in self._ddf.columns if not _is_word_column(c)]

    @property
    def npartitions(self) -> int:
        return self._ddf.npartitions

    @property
    def pipeline(self) -> DaskPipeline:
        return self._pipeline

    def to_dask(self) -> dd.DataFrame:
        """The user columns as a plain Dask frame (no words)."""
        return self._ddf[self.columns]

    def _like(self, ddf: dd.DataFrame, sets: dict[Hashable, PairSets]) -> TrackedDaskFrame:
        return TrackedDaskFrame(ddf, self._pipeline, sets)

    def _registry(self, extra: Iterable[PairSets] = ()) -> WordRegistry:
        return self._pipeline.registry([*self._sets.values(), *extra])

    def _with_words(self, labels: Sequence[Hashable]) -> list[Hashable]:
        return [*labels, *(word_column(c) for c in labels)]

    # -- selection and assignment ----------------------------------------------

    def __getitem__(self, key: Any) -> TrackedDaskSeries | TrackedDaskFrame:
        if isinstance(key, TrackedDaskSeries):
            _same_pipeline(self._pipeline, key._pipeline)
            return self._like(self._ddf[key._values], self._sets)
        if isinstance(key, dd.Series):
            return self._like(self._ddf[key], self._sets)
        if isinstance(key, list):
            missing = [c for c in key if c not in self._sets]
            if missing:
                raise KeyError(missing)
            return self._like(self._ddf[self._with_words(key)],
                              {c: self._sets[c] for c in key})
        if key not in self._sets:
            raise KeyError(key)
        return TrackedDaskSeries(self._ddf[key], self._ddf[word_column(key)], self._pipeline,
                                 self._sets[key], key)

    def __getattr__(self, name: str) -> TrackedDaskSeries:
        if name.startswith("_"):
            raise AttributeError(name)
        sets = self.__dict__.get("_sets", {})
        if name in sets:
            return self[name]  # type: ignore[return-value]
        raise AttributeError(f"{type(self).__name__!s} has no attribute or column {name!r}")

    def __setitem__(self, key: Hashable, value: Any) -> None:
        new = self._assign(key, value)
        self._ddf, self._sets = new._ddf, new._sets

    def _assign(self, label: Hashable, value: Any) -> TrackedDaskFrame:
        if _is_word_column(label):
            raise ValueError(f"column names starting with {WORD_PREFIX!r} are reserved")
        if isinstance(value, TrackedDaskSeries):
            _same_pipeline(self._pipeline, value._pipeline)
            values, words = value._values, value._words
            # Rows the series lacks (it may come from an alignment) get 0.
            sets = value._sets | {_EMPTY}
        elif isinstance(value, (pd.Series, pd.DataFrame)):
            raise TypeError("assign a tracked Dask series, a Dask series or a scalar")
        else:
            values, words, sets = value, np.uint32(0), frozenset({_EMPTY})
        if isinstance(label, str):  # one assignment of both columns
            ddf = self._ddf.assign(**{label: values, word_column(label): words})
        else:
            ddf = self._ddf.copy()
            ddf[label] = values
            ddf[word_column(label)] = words
        return self._like(ddf, {**self._sets, label: sets})

    def assign(self, **columns: Any) -> TrackedDaskFrame:
        """A new frame with the given columns set (tracked series keep their
        words; Dask series and scalars carry the neutral word 0)."""
        out = self
        for label, value in columns.items():
            out = out._assign(label, value)
        return out

    def drop(self, columns: Hashable | list[Hashable]) -> TrackedDaskFrame:
        """A new frame without the given columns (and their words)."""
        cols = columns if isinstance(columns, list) else [columns]
        keep = [c for c in self.columns if c not in cols]
        return self[keep]  # type: ignore[return-value]

    def rename(self, columns: dict[Hashable, Hashable]) -> TrackedDaskFrame:
        """A new frame with columns renamed; the words follow their columns."""
        check_exact(columns, "columns", dict)
        mapping: dict[Hashable, Hashable] = dict(columns)
        mapping.update({word_column(k): word_column(v) for k, v in columns.items()})
        sets = {columns.get(k, k): v for k, v in self._sets.items()}
        return self._like(self._ddf.rename(columns=mapping), sets)

    # -- relational operations -------------------------------------------------

    def merge(self, right: TrackedDaskFrame | dd.DataFrame, how: str = "inner", on: Any = None,
              left_on: Any = None, right_on: Any = None,
              suffixes: tuple[str | None, str | None] = ("_x", "_y"), **kwargs: Any) -> TrackedDaskFrame:
        """Dask merge on columns; each output element carries the word of the
        element it came from with the merge code in its chain (0 for a
        missing side), and key columns named on both sides combine both."""
        if kwargs.get("left_index") or kwargs.get("right_index") or kwargs.get("indicator"):
            raise NotImplementedError("tracked Dask merges join on columns (on=, left_on=, right_on=)")
        if isinstance(right, TrackedDaskFrame):
            _same_pipeline(self._pipeline, right._pipeline)
            right_cols, right_sets = right.columns, right._sets
            right_ddf = right._ddf.rename(columns={word_column(c): _RIGHT + str(c) for c in right_cols})
            right_words = {c: _RIGHT + str(c) for c in right_cols}
        elif isinstance(right, dd.DataFrame):
            right_cols = list(right.columns)
            right_sets = {c: frozenset({_EMPTY}) for c in right_cols}
            right_ddf, right_words = right, {}
        else:
            raise type_error("right", "TrackedDaskFrame", right)
        left_cols = self.columns
        left_ddf = self._ddf.rename(columns={word_column(c): _LEFT + str(c) for c in left_cols})

        def names(x: Any) -> list[Hashable]:
            return [] if x is None else (list(x) if isinstance(x, (list, tuple)) else [x])

        if on is None and left_on is None and right_on is None:
            on = [c for c in left_cols if c in right_cols]
        if on is not None:
            both = set(names(on))
        else:
            both = {a for a, b in zip(names(left_on), names(right_on), strict=True) if a == b}
        plan: list[tuple[Hashable, str, str | None, str | None]] = []
        sets: dict[Hashable, PairSets] = {}
        sx, sy = suffixes

        def suffixed(c: Hashable, s: str | None) -> Hashable:
            return f"{c}{s}" if s else c

        for c in left_cols:
            if c in both:
                plan.append((c, "key", _LEFT + str(c), right_words.get(c)))
                sets[c] = _unions(self._sets[c], right_sets[c])
            else:
                out = suffixed(c, sx) if c in right_cols else c
                plan.append((out, "left", _LEFT + str(c), None))
                sets[out] = self._sets[c] | {_EMPTY}
        for c in right_cols:
            if c in both:
                continue
            out = suffixed(c, sy) if c in left_cols else c
            plan.append((out, "right", None, right_words.get(c)))
            sets[out] = right_sets[c] | {_EMPTY}
        merged = left_ddf.merge(right_ddf, how=how, on=on, left_on=left_on, right_on=right_on,
                                suffixes=suffixes, **kwargs)
        expected = {label for label, _, _, _ in plan}
        user = {c for c in merged.columns if not str(c).startswith((_LEFT, _RIGHT))}
        if user != expected:
            raise NotImplementedError(f"merge produced columns {sorted(map(str, user))}, which the "
                                      "word bookkeeping cannot attribute to a side")
        registry = self._pipeline.registry([*self._sets.values(), *right_sets.values(),
                                            *sets.values()])
        words: dict[str, Any] = {}
        for label, _, lname, rname in plan:
            lw = merged[lname] if lname is not None else None
            rw = merged[rname] if rname is not None else None
            if lw is None and rw is None:  # a column of an untracked frame: no words
                words[word_column(label)] = np.uint32(0)
            else:
                words[word_column(label)] = dd.map_partitions(_merged_words, lw, rw, registry,
                                                              meta=_WORD_META, align_dataframes=False)
        return self._like(merged[[label for label, _, _, _ in plan]].assign(**words), sets)

    def groupby(self, by: Hashable | list[Hashable], sort: bool = True,
                dropna: bool = True) -> TrackedDaskGroupBy:
        """Grouping by columns of this frame; aggregate with ``agg`` or the
        named reductions."""
        return TrackedDaskGroupBy(self, by, sort=sort, dropna=dropna)

    def repartition(self, **kwargs: Any) -> TrackedDaskFrame:
        """Dask ``repartition``; rows keep their words."""
        return self._like(self._ddf.repartition(**kwargs), self._sets)

    def persist(self, **kwargs: Any) -> TrackedDaskFrame:
        return self._like(self._ddf.persist(**kwargs), self._sets)

    # -- results ---------------------------------------------------------------

    def _collections(self) -> list[dd.DataFrame]:
        return [self._ddf]

    def _from_collections(self, parts: list[dd.DataFrame]) -> TrackedDaskFrame:
        return self._like(parts[0], self._sets)

    def _tracked(self, parts: pd.DataFrame | list[pd.DataFrame]) -> TrackedDataFrame:
        pdf = parts[0] if isinstance(parts, list) else parts
        cols = self.columns
        col_prov = {c: rules.as_words(pdf[word_column(c)]) for c in cols}
        return TrackedDataFrame(pdf[cols], _tracker=self._pipeline.tracker, _col_prov=col_prov)

    def compute(self, **kwargs: Any) -> TrackedDataFrame:
        """The frame as a ``TrackedDataFrame`` with the pipeline's tracker (it
        can decode every word the graph produces)."""
        self._registry()
        return self._tracked(self._ddf.compute(**kwargs))

    def risk_report(self, **kwargs: Any) -> list[dict[str, Any]]:
        """``column_risk_report`` of the frame, computed on the workers: only
        one small summary per partition comes back to the client."""
        cols = self.columns
        summary = self._ddf[[word_column(c) for c in cols]].map_partitions(
            _risk_part, cols, meta=pd.DataFrame({"depth": np.array([], dtype=np.int64)}))
        depths = summary["depth"].to_frame().compute(**kwargs)["depth"].to_numpy()
        col_prov = {}
        for i, c in enumerate(cols):
            least = int(depths[i::len(cols)].min()) if len(cols) and depths.size else 8
            # One word per column stands for all of them: the report only
            # reads the taint and the shallowest tainted depth.
            col_prov[c] = np.array([0 if least > 7 else (1 << 29) | (least << 26)], dtype=np.uint32)
        frame = TrackedDataFrame(pd.DataFrame(columns=cols), _tracker=self._pipeline.tracker,
                                 _col_prov=col_prov)
        return column_risk_report(frame)

    def __repr__(self) -> str:
        return (f"TrackedDaskFrame(columns={self.columns!r}, npartitions={self.npartitions}, "
                f"pipeline={self._pipeline.name!r})")


class TrackedDaskGroupBy:
    """Groupby of a tracked Dask frame.  Each result value's word joins the
    words of the rows it was computed from and takes the aggregate step."""

    _REDUCTIONS = ("sum", "mean", "min", "max", "count", "std", "var", "first", "last",
                   "median", "prod")

    def __init__(self, frame: TrackedDaskFrame, by: Hashable | list[Hashable],
                 selection: Hashable | list[Hashable] | None = None, sort: bool = True,
                 dropna: bool = True) -> None:
        self._frame = frame
        self._by = by
        self._keys = by if isinstance(by, list) else [by]
        for k in self._keys:
            if k not in frame._sets:
                raise KeyError(k)
        self._selection = selection
        self._sort = sort
        self._dropna = dropna

    def __getitem__(self, key: Hashable | list[Hashable]) -> TrackedDaskGroupBy:
        return TrackedDaskGroupBy(self._frame, self._by, key, self._sort, self._dropna)

    def _columns(self) -> list[Hashable]:
        if self._selection is None:
            return [c for c in self._frame.columns if c not in self._keys]
        return self._selection if isinstance(self._selection, list) else [self._selection]

    def agg(self, func: str | dict[Hashable, str] | None = None,
            **named: tuple[Hashable, str]) -> TrackedDaskFrame | TrackedDaskSeries:
        """Aggregate each column with one named reduction (a string for all,
        or a dict column -> string), or by named aggregation
        (``agg(total=("amount", "sum"), mean=("amount", "mean"))``, several
        reductions of one column each under its own name).  A single
        selected column gives a tracked series, otherwise a tracked frame
        indexed by the groups."""
        if named:
            if func is not None:
                raise TypeError("agg() takes a function or named aggregations, not both")
            return self._named(named)
        if isinstance(func, str):
            per_column = {c: func for c in self._columns()}
        elif isinstance(func, dict):
            per_column = dict(func)
        else:
            raise type_error("func", "str", func)
        frame = self._frame
        sets = {c: _closure(frame._sets[c]) for c in per_column}
        registry = frame._pipeline.registry([*(frame._sets[c] for c in per_column), *sets.values()])
        words = _word_aggregation(registry)
        full: dict[Hashable, Any] = dict(per_column)
        full.update({word_column(c): words for c in per_column})
        cols = [*self._keys, *per_column, *(word_column(c) for c in per_column)]
        result = frame._ddf[cols].groupby(self._by, sort=self._sort, dropna=self._dropna).agg(full)
        result = result[[*per_column, *(word_column(c) for c in per_column)]]
        if self._selection is not None and not isinstance(self._selection, list):
            (label,) = per_column
            return TrackedDaskSeries(result[label], result[word_column(label)], frame._pipeline,
                                     sets[label], label)
        return TrackedDaskFrame(result, frame._pipeline, sets)

    def _named(self, named: dict[str, tuple[Hashable, str]]) -> TrackedDaskFrame:
        """Named aggregation: each result column is one reduction of one
        source column; its words are the source column's group words (one
        word aggregation per source column, however many reductions)."""
        if self._selection is not None and not isinstance(self._selection, list):
            raise TypeError("named aggregation needs a frame groupby: groupby(by).agg(name=(column, function))")
        frame = self._frame
        plan: dict[str, tuple[Hashable, str]] = {}
        for out, how in named.items():
            if not (isinstance(how, tuple) and len(how) == 2 and isinstance(how[1], str)):
                raise TypeError(f"named aggregation {out}= must be (column, function name), got {how!r}")
            if out.startswith(WORD_PREFIX):
                raise ValueError(f"column names starting with {WORD_PREFIX!r} are reserved")
            src = how[0]
            if src not in frame._sets or src in self._keys:
                raise KeyError(src)
            plan[out] = (src, how[1])
        sources = list(dict.fromkeys(src for src, _ in plan.values()))
        source_sets = {src: _closure(frame._sets[src]) for src in sources}
        registry = frame._pipeline.registry([*(frame._sets[c] for c in sources), *source_sets.values()])
        words = _word_aggregation(registry)
        aggregations: dict[str, tuple[Hashable, Any]] = dict(plan)
        # One word aggregation per source column, under the source's own word
        # column name (no result name can take it: the prefix is reserved).
        aggregations.update({word_column(src): (word_column(src), words) for src in sources})
        cols = [*self._keys, *sources, *(word_column(c) for c in sources)]
        result = frame._ddf[cols].groupby(self._by, sort=self._sort, dropna=self._dropna).agg(**aggregations)
        result = result.assign(**{word_column(out): result[word_column(src)] for out, (src, _) in plan.items()})
        result = result[[*plan, *(word_column(out) for out in plan)]]
        return TrackedDaskFrame(result, frame._pipeline, {out: source_sets[src] for out, (src, _) in plan.items()})

    def __getattr__(self, name: str) -> Callable[[], TrackedDaskFrame | TrackedDaskSeries]:
        if name in self._REDUCTIONS:
            return lambda: self.agg(name)
        raise AttributeError(name)


# ---------------------------------------------------------------------------
# Entry points
# ---------------------------------------------------------------------------


def track(ddf: dd.DataFrame, table: str, protected: Any = False,
          pipeline: DaskPipeline | Pipeline | None = None,
          include_entity: bool = True, lineage: bool = False) -> TrackedDaskFrame:
    """Track a Dask DataFrame: register its columns as (table, column) pairs
    of ``pipeline`` and give every cell its source word, on the workers.

    ``protected`` is a list, tuple or set of column names (compared by their
    text form) or any other value whose truth protects the whole table, as
    for ``wrap_dataframe``.  Entities come from the keyed hash of the row
    labels (:func:`~morvel.dask.stable_entity_hash`).  ``pipeline`` is a
    :class:`DaskPipeline` or a ``morvel.Pipeline(name, portable=True)``,
    whose pandas run of the same steps gives the same values and words.
    ``lineage=True``
    raises ``NotImplementedError``: lineage nodes are single-process only.

    >>> import dask.dataframe as dd
    >>> people = dd.from_pandas(pd.DataFrame({"age": [30, 41]}), npartitions=1)
    >>> tracked = track(people, "people", protected=["age"])
    >>> tracked.compute()._col_prov["age"].dtype
    dtype('uint32')
    """
    check_exact(table, "table", str)
    if lineage:
        raise NotImplementedError(_LINEAGE_MESSAGE)
    if not isinstance(ddf, dd.DataFrame):
        raise type_error("ddf", "dask.dataframe.DataFrame", ddf)
    if isinstance(pipeline, Pipeline) and isinstance(protected, str):
        protected = [protected]  # one column, as Pipeline.track reads it
    pipeline = DaskPipeline() if pipeline is None else DaskPipeline.of(pipeline)
    tracker = pipeline.tracker
    names = None
    if isinstance(protected, (list, tuple, set)):
        names = {str(c) for c in protected}
    elif protected:
        tracker._protected_tables.add(table)
        tracker._rust.mark_table_protected(table)
    columns = []
    for col in ddf.columns:
        if _is_word_column(col):
            raise ValueError(f"column names starting with {WORD_PREFIX!r} are reserved")
        name = str(col)
        flag = (name in names) if names is not None else bool(protected)
        pair_id = tracker.register(table, name, flag)
        columns.append((col, pair_id, tracker.is_protected(table, name)))
    registry = pipeline.registry()
    # One step for all source words (a kernel pass per column; Dask drops
    # the columns no result reads right after it).
    meta = _source_part(ddf._meta, registry, columns, bool(include_entity))
    out = ddf.map_partitions(_source_part, registry, columns, bool(include_entity), meta=meta)
    return TrackedDaskFrame(out, pipeline, {c: frozenset({frozenset({pid})}) for c, pid, _ in columns})


def compute(*collections: TrackedDaskFrame | TrackedDaskSeries,
            **kwargs: Any) -> tuple[TrackedDataFrame | TrackedSeries, ...]:
    """Compute several tracked frames and series in one pass (shared steps
    run once), like ``dask.compute``; returns their tracked pandas results."""
    for c in collections:
        if not isinstance(c, (TrackedDaskFrame, TrackedDaskSeries)):
            raise type_error("collections", "TrackedDaskFrame or TrackedDaskSeries", c)
        c._pipeline.registry(c._sets.values() if isinstance(c, TrackedDaskFrame) else [c._sets])
    computed = iter(dask.compute(*(x for c in collections for x in c._collections()), **kwargs))
    return tuple(c._tracked([next(computed) for _ in c._collections()]) for c in collections)


def persist(*collections: TrackedDaskFrame | TrackedDaskSeries,
            **kwargs: Any) -> tuple[TrackedDaskFrame | TrackedDaskSeries, ...]:
    """Persist several tracked frames and series in one pass, like
    ``dask.persist``; returns tracked collections backed by the results."""
    for c in collections:
        if not isinstance(c, (TrackedDaskFrame, TrackedDaskSeries)):
            raise type_error("collections", "TrackedDaskFrame or TrackedDaskSeries", c)
    persisted = iter(dask.persist(*(x for c in collections for x in c._collections()), **kwargs))
    return tuple(c._from_collections([next(persisted) for _ in c._collections()])
                 for c in collections)


def concat(frames: list[TrackedDaskFrame], **kwargs: Any) -> TrackedDaskFrame:
    """Dask ``concat`` of tracked frames along the rows; each row keeps its
    word, and a column that a frame lacks has the neutral word 0 there."""
    check_exact(frames, "frames", list)
    if not frames:
        raise ValueError("concat needs at least one tracked frame")
    pipeline = frames[0]._pipeline
    for f in frames:
        if not isinstance(f, TrackedDaskFrame):
            raise type_error("frames", "list of TrackedDaskFrame", f)
        _same_pipeline(pipeline, f._pipeline)
    if kwargs.get("axis", 0) not in (0, "index"):
        raise NotImplementedError("tracked Dask concat joins rows (axis=0)")
    labels: list[Hashable] = []
    for f in frames:
        labels.extend(c for c in f.columns if c not in labels)
    sets = {}
    for c in labels:
        s = frozenset().union(*(f._sets[c] for f in frames if c in f._sets))
        sets[c] = s | {_EMPTY} if any(c not in f._sets for f in frames) else s
    parts = []
    for f in frames:
        # a column this frame lacks gets values from concat (missing) and the word 0
        lacking = {word_column(c): np.uint32(0) for c in labels if c not in f._sets}
        parts.append(f._ddf.assign(**lacking) if lacking else f._ddf)
    joined = dd.concat(parts, **kwargs)
    return TrackedDaskFrame(joined[[*labels, *(word_column(c) for c in labels)]], pipeline, sets)
