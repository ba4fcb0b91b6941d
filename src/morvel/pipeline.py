"""``morvel.Pipeline``: provenance for a pandas pipeline in a few calls.

>>> import pandas as pd
>>> import morvel
>>> p = morvel.Pipeline("credit")
>>> people = p.track(pd.DataFrame({"age": [30, 50], "income": [10.0, 20.0]},
...                               index=["ann", "bob"]), "people", protected="age")
>>> older = people[people["age"] > 40]
>>> p.audit(older["income"], row="bob")["columns"]
[('people', 'income')]
"""
from __future__ import annotations

import os
import pickle
from typing import Any
from urllib.parse import urlsplit

import numpy as np
import pandas as pd

from morvel.utilities import _hooks
from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities._lineage_db import save_lineage
from morvel.utilities.vortel32 import TrackedSeries

# The public functions and classes used here are looked up on the public
# modules at call time (``_hooks``), where callers may have replaced them.


class Pipeline:
    """One pandas pipeline whose values carry provenance that follows their rows.

    ``Pipeline(name)`` tracks words only (sources, taint, depth of every
    value); ``lineage=True`` also logs the operation graph of every value.
    ``store`` is where :meth:`save` writes when no destination is given and
    where the pipeline persists when it is left as a context manager: a file
    path, an ``http(s)://`` URL of a lineage service (with ``api_key``), or a
    storage backend object.

    A lineage pipeline keeps every node in the native columnar store: nothing
    is evicted, and past ``memory_budget`` bytes of nodes and indexes
    (default 512 MiB) the oldest node blocks move to disk and are read back
    when a graph needs them.

    >>> with Pipeline("demo", lineage=True) as p:
    ...     f = p.track(pd.DataFrame({"a": [1.0, 2.0]}), "t")
    ...     p.lineage(f["a"] * f["a"], iloc=1).depth
    1
    """

    def __init__(self, name: str, lineage: bool = False, store: Any = None, *,
                 api_key: str | None = None, tenant_id: str | None = None,
                 include_entity: bool = True, memory_budget: int | None = None) -> None:
        check_exact(name, "name", str)
        check_exact(api_key, "api_key", str, allow_none=True)
        check_exact(tenant_id, "tenant_id", str, allow_none=True)
        self.name = name
        self.store = store
        self._api_key = api_key
        self._tenant_id = tenant_id
        self._include_entity = bool(include_entity)
        self._lineage = bool(lineage)
        self._outputs: list = []
        if memory_budget is not None:
            memory_budget = as_int(memory_budget, "memory_budget")
            if memory_budget < 0:
                raise ValueError("memory_budget must not be negative")
            if not self._lineage:
                raise ValueError("memory_budget bounds the lineage nodes of Pipeline(name, lineage=True); "
                                 "a word-level pipeline keeps none")
        if self._lineage:
            # Looked up on the public module at call time, where callers may
            # have put a tracker class of their own.
            tracker_cls = _hooks.dag("DAGTracker")
            # Any: a lineage tracker (DAGTracker) or, below, a word tracker.
            self.tracker: Any = tracker_cls(
                pipeline_name=name, follow_rows=True, columnar=True, memory_budget=memory_budget)
        else:
            self.tracker = _hooks.word("ProvenanceTracker")(follow_rows=True)

    def __repr__(self) -> str:
        level = "lineage" if self._lineage else "words"
        return f"Pipeline({self.name!r}, {level}, {self.tracker._next_id} source columns)"

    # -- tracking ---------------------------------------------------------

    def track(self, df: pd.DataFrame, table: str, protected: Any = None) -> Any:
        """``df`` as a tracked frame whose cells are the sources of table
        ``table``; ``protected`` names the fairness-sensitive columns (a
        list, or one name as a string).  A name that is not a column of
        ``df`` raises ``ValueError``.

        Returns a ``DAGTrackedDataFrame`` in a lineage pipeline, else a
        ``TrackedDataFrame``.
        """
        if not isinstance(df, pd.DataFrame):
            raise type_error("df", "DataFrame", df)
        check_exact(table, "table", str)
        if protected is None:
            names: list = []
        elif isinstance(protected, str):
            names = [protected]
        elif isinstance(protected, (list, tuple, set, frozenset)):
            names = list(protected)
        else:
            raise type_error("protected", "list or str", protected)
        present = {str(c) for c in df.columns}
        missing = [n for n in names if str(n) not in present]
        if missing:
            raise ValueError(
                f"protected columns not in the frame of table {table!r}: {missing}; "
                f"its columns are {[str(c) for c in df.columns]}")
        if self._lineage:
            return _hooks.dag("wrap_dataframe_dag")(df, self.tracker, table, names,
                                                    self._include_entity)
        return _hooks.word("wrap_dataframe")(df, self.tracker, table, names,
                                             self._include_entity)

    # -- questions --------------------------------------------------------

    def audit(self, series: Any, row: Any = None, *, iloc: Any = None) -> dict:
        """The audit of one value of ``series``, chosen by index label
        (``row=``) or position (``iloc=``): the dictionary ``dag_audit`` (in a
        lineage pipeline) or ``audit`` gives for that value."""
        pos = _position(series, row, iloc)
        if self._lineage:
            return _hooks.dag("dag_audit")(series, pos)
        one = TrackedSeries(series.iloc[pos:pos + 1].to_numpy(), _tracker=series._tracker,
                            _prov=np.asarray(series._prov[pos:pos + 1], dtype=np.uint32))
        return _hooks.word("audit")(one)

    def lineage(self, series: Any, row: Any = None, *, iloc: Any = None) -> Any:
        """The ``ComputationDAG`` of one value of ``series`` (by label or
        position), or None when the value has no node."""
        if not self._lineage:
            raise ValueError(f"pipeline {self.name!r} tracks words only; "
                             "build it with Pipeline(name, lineage=True) for lineage")
        return _hooks.dag("get_dag_for_series")(series, _position(series, row, iloc))

    def risk_report(self, frame: Any) -> list:
        """Columns of ``frame`` ranked by fairness risk (``column_risk_report``)."""
        return _hooks.word("column_risk_report")(frame, self.tracker)

    # -- persistence ------------------------------------------------------

    def output(self, frame: Any) -> Any:
        """Mark ``frame`` (a tracked DataFrame or Series of this pipeline) as
        an output whose values :meth:`save` writes with their row labels and
        nodes, so that ``morvel graph DB --row LABEL --column NAME`` can draw
        one value's lineage; returns ``frame``."""
        if not isinstance(frame, (pd.DataFrame, pd.Series)):
            raise type_error("frame", "DataFrame or Series", frame)
        self._outputs.append(frame)
        return frame

    def save(self, path_or_url: Any = None, *, values: Any = None) -> Any:
        """Persist the pipeline to ``path_or_url`` (default: ``store``).

        A lineage pipeline writes its operation graph: to an SQLite file at a
        path, to the lineage service at an ``http(s)://`` URL (needs
        ``api_key``), or to a storage backend object; it returns the pipeline
        id.  A word-level pipeline writes its tracker (pair registry,
        protection and codec state, all that decoding its words needs) to a
        pickle file at a path and returns the path.
        """
        target = self.store if path_or_url is None else path_or_url
        if target is None:
            raise ValueError("save() needs a path or URL (or Pipeline(..., store=...))")
        url = isinstance(target, str) and urlsplit(target).scheme in ("http", "https")
        if not self._lineage:
            if url or not isinstance(target, (str, os.PathLike)):
                raise ValueError("a word-level pipeline saves to a file path; "
                                 "build it with lineage=True to save to a service or storage")
            with open(target, "wb") as fh:
                pickle.dump(self.tracker, fh, protocol=pickle.HIGHEST_PROTOCOL)
            return target
        if url:
            if not self._api_key:
                raise ValueError("saving to a lineage service needs Pipeline(..., api_key=...)")
            from morvel.utilities.persistence.hosted import HostedStorage
            hosted = HostedStorage(target, self._api_key, self._tenant_id or "default")
            return self.tracker.persist_to_storage(hosted)
        if isinstance(target, (str, os.PathLike)):
            from morvel.utilities.persistence import SQLiteStorage
            storage = SQLiteStorage(target)
            storage.connect()
            try:
                outputs = self._outputs if values is None else values
                return save_lineage(self.tracker, storage, self.name,
                                    outputs if isinstance(outputs, list) else [outputs])
            finally:
                storage.disconnect()
        return self.tracker.persist_to_storage(target)

    def __enter__(self) -> Pipeline:
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        # A block that raised is not saved: a failed run must not be stored
        # as a completed pipeline.  Exceptions are never swallowed.
        if exc_type is None and self.store is not None:
            self.save()


def _position(series: Any, row: Any, iloc: Any) -> int:
    """Position of the value named by label ``row`` or position ``iloc``."""
    if not isinstance(series, pd.Series):
        raise type_error("series", "Series", series)
    if (row is None) == (iloc is None):
        raise ValueError("give exactly one of row=<index label> or iloc=<position>")
    n = len(series)
    if iloc is not None:
        pos = as_int(iloc, "iloc")
        if not -n <= pos < n:
            raise IndexError(f"iloc={pos} is out of bounds for a series of {n} values")
        return pos % n
    loc = series.index.get_loc(row)
    if not isinstance(loc, (int, np.integer)):
        raise ValueError(f"label {row!r} names {int(np.sum(_mask(loc, n)))} rows; "
                         "use iloc= to choose one")
    return int(loc)


def _mask(loc: Any, n: int) -> np.ndarray:
    if isinstance(loc, slice):
        m = np.zeros(n, dtype=bool)
        m[loc] = True
        return m
    return np.asarray(loc, dtype=bool)


__all__ = ["Pipeline"]
