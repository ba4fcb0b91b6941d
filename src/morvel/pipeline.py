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

import logging
import os
import pickle
import weakref
from typing import Any
from urllib.parse import urlsplit

import numpy as np
import pandas as pd

from morvel._history import questions as _questions
from morvel._history.checks import build_checks
from morvel._history.recorder import HistoryRecorder
from morvel.utilities import _hooks
from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities._lineage_db import save_lineage
from morvel.utilities._word.portable import PortableTracker
from morvel.utilities.vortel32 import TrackedSeries

logger = logging.getLogger(__name__)

# The public functions and classes used here are looked up on the public
# modules at call time (``_hooks``), where callers may have replaced them.


# Labels kept per list (dropped rows, changed values, ...) of the row
# history stored with a saved lineage pipeline.
STORED_LABELS = 1000


class Pipeline:
    """One pandas pipeline whose values carry provenance that follows their rows.

    ``Pipeline(name)`` tracks words only (sources, taint, depth of every
    value); ``lineage=True`` also logs the operation graph of every value.
    ``store`` is where :meth:`save` writes when no destination is given and
    where the pipeline persists when it is left as a context manager: a file
    path, an ``http(s)://`` URL of a lineage service (with ``api_key``), or a
    storage backend object.

    ``row_history`` (on by default) records which step dropped which rows
    (:meth:`why_dropped`, :meth:`retention`), which elements each transform
    changed (:meth:`history`), merges and kept duplicates, and evaluates the
    checks declared with :meth:`expect` after every such step; at lineage
    level every selection is also a FILTER record of the lineage store.

    ``live=True`` (lineage pipelines with a ``store`` path or URL) writes
    the node blocks while the pipeline runs: each block of 65,536 nodes is
    handed to a background thread as it fills, and :meth:`save` (or leaving
    the context manager) writes only the rest.  A failed live write becomes
    one warning; every node stays in memory and :meth:`save` writes what is
    missing.

    ``portable=True`` (word level only) gives words that do not depend on
    the process: stable dense signatures and a keyed hash of the row labels'
    bytes for the entities, as ``morvel.dask`` computes them, so a pandas run
    and a Dask run of the same pipeline give equal words; ``morvel.dask.track``
    accepts such a pipeline as its ``pipeline``.

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
                 include_entity: bool = True, row_history: bool = True,
                 memory_budget: int | None = None, live: bool = False,
                 portable: bool = False) -> None:
        check_exact(name, "name", str)
        check_exact(row_history, "row_history", bool)
        check_exact(live, "live", bool)
        check_exact(portable, "portable", bool)
        if portable and lineage:
            raise ValueError("portable=True gives words that are the same in every process "
                             "(as morvel.dask computes them); lineage nodes are single-process, "
                             "so it needs lineage=False")
        check_exact(api_key, "api_key", str, allow_none=True)
        check_exact(tenant_id, "tenant_id", str, allow_none=True)
        self.name = name
        self.store = store
        self._api_key = api_key
        self._tenant_id = tenant_id
        self._include_entity = bool(include_entity)
        self._lineage = bool(lineage)
        # The frames given to track, by table: where the fairness report
        # reads protected values that a result frame no longer carries.
        self._inputs: dict[str, pd.DataFrame] = {}
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
        elif portable:
            self.tracker = PortableTracker(follow_rows=True)
        else:
            self.tracker = _hooks.word("ProvenanceTracker")(follow_rows=True)
        self._history: HistoryRecorder | None = None
        if row_history:
            self._history = HistoryRecorder(self.tracker)
            # The row-following machinery finds the recorder on the tracker.
            self.tracker._history = self._history
        self._live: Any = None
        if live:
            self._live = self._start_live()

    def __repr__(self) -> str:
        level = "lineage" if self._lineage else (
            "portable words" if isinstance(self.tracker, PortableTracker) else "words")
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
        self._inputs[table] = df
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

    def fairness_report(self, frame: Any, outcome: Any, truth: Any = None, bins: Any = None,
                        **options: Any) -> Any:
        """Structural taint beside outcome disparity for the result columns of
        ``frame`` that depend on a protected source: per protected attribute
        the outcome by group (selection rate or mean), demographic parity
        difference and ratio, and equalised-odds difference when ``truth``
        names a ground-truth column.  Protected attributes come from the
        provenance; their values from ``frame`` or, when it no longer carries
        them, from the frame tracked for that table, rows matched by index
        label (which row-following keeps).  Needs ``morvel[fairness]``.
        See :func:`morvel.fairness.fairness_report` for ``bins`` and the
        keyword ``options`` (``columns``, ``all_columns``, ``measure_all``)."""
        from morvel.fairness import fairness_report

        return fairness_report(frame, outcome, truth, bins, tracker=self.tracker,
                               protected_frame=dict(self._inputs) or None, **options)

    # -- row history ------------------------------------------------------

    def _recorder(self) -> HistoryRecorder:
        if self._history is None:
            raise ValueError(f"pipeline {self.name!r} records no row history; "
                             "build it with Pipeline(name, row_history=True)")
        return self._history

    def step(self, name: str) -> Any:
        """Context manager naming the steps recorded inside it.

        >>> p = Pipeline("s")
        >>> f = p.track(pd.DataFrame({"a": [1, 2, 3]}), "t")
        >>> with p.step("drop small"):
        ...     g = f[f["a"] > 1]
        >>> p.retention()[["name", "rows_in", "rows_out"]].values.tolist()
        [['drop small', 3, 2]]
        """
        check_exact(name, "name", str)
        return self._recorder().named(name)

    def why_dropped(self, label: Any) -> dict | None:
        """Why the row labelled ``label`` left the pipeline: the first step
        that dropped it ("step", "name", "operation", "location" of the
        user's code), its "values" just before that step, "duplicate_of"
        (the kept row) for ``drop_duplicates`` and "side" for a merge.
        None when no step dropped such a row.

        >>> p = Pipeline("w")
        >>> f = p.track(pd.DataFrame({"a": [1, 5]}, index=["x", "y"]), "t")
        >>> g = f[f["a"] > 2]
        >>> p.why_dropped("x")["values"]
        {'a': 1}
        """
        return _questions.why_dropped(self._recorder(), label)

    def retention(self) -> pd.DataFrame:
        """Rows in and out of every step that selected or merged rows: its
        number, name, operation, code location, "rows_in", "rows_out",
        "dropped", "added" (rows a merge multiplied) and "retained" (the
        share of input rows kept)."""
        return _questions.retention(self._recorder())

    def history(self, series: Any, row: Any = None, *, iloc: Any = None) -> list:
        """Each recorded change of one value of ``series`` (by label or
        position) and of the values it comes from in the same row: the step,
        operation, code location, column, "before" and "after".  Transforms
        (``fillna``, ``clip``, ``replace``, ``where``, ``mask``) record only
        the elements they changed, so an untouched value has no entry.

        >>> p = Pipeline("h")
        >>> f = p.track(pd.DataFrame({"a": [1.0, None]}, index=["x", "y"]), "t")
        >>> g = f["a"].fillna(0)
        >>> [(c["before"], c["after"]) for c in p.history(g, row="y")], p.history(g, row="x")
        ([(None, 0.0)], [])
        """
        rec = self._recorder()
        pos = _position(series, row, iloc)
        label = series.index[pos]
        prov = getattr(series, "_prov", None)
        word = int(prov[pos]) if prov is not None and len(prov) == len(series) else 0
        return _questions.value_history(rec, self.tracker, word, series.name, label)

    def merges(self, limit: int | None = None) -> list:
        """Per merge: how, rows of each side and out, the left rows dropped,
        right rows unmatched and left rows multiplied (label, result rows);
        at most ``limit`` labels of each."""
        return _questions.merges(self._recorder(), limit)

    def changes(self, limit: int | None = None) -> list:
        """Per transform and column: number of changed elements and (at most
        ``limit``) examples with "row", "before" and "after"."""
        return _questions.changes(self._recorder(), limit)

    def expect(self, *, unique: Any = None, not_null: Any = None, values_in: Any = None,
               retention_at_least: Any = None, no_merge_expansion: bool = False,
               raise_on_failure: bool = False) -> None:
        """Declare checks evaluated after every later step that selects,
        merges or changes rows: ``unique`` and ``not_null`` (a column or a
        list of columns), ``values_in`` ({column: allowed values}),
        ``retention_at_least`` (share of a step's input rows it must keep)
        and ``no_merge_expansion`` (no left row matched by several right
        rows).  A failure warns with ``ExpectationWarning``, or raises
        ``ExpectationError`` with ``raise_on_failure=True``; :meth:`checks`
        lists the outcomes.
        """
        check_exact(no_merge_expansion, "no_merge_expansion", bool)
        check_exact(raise_on_failure, "raise_on_failure", bool)
        self._recorder().checks.extend(build_checks(
            unique, not_null, values_in, retention_at_least, no_merge_expansion,
            raise_on_failure))

    def checks(self) -> list:
        """Per declared check: "evaluated" (steps), "failed", "passed" and
        the "failures" (step, name, location, detail)."""
        return _questions.checks(self._recorder())

    def report_data(self, frame: Any = None, *, outcome: Any = None, value: Any = None,
                    limit: int = 20) -> dict:
        """The sections of :meth:`report` as a JSON-safe dictionary: the
        column risk report of ``frame``, outcome disparity (``outcome`` a
        column of ``frame``, when the fairness extra is present), retention
        per step, drops, merges, value changes, checks and the lineage of
        ``value`` (a ``(series, row label)`` pair)."""
        from morvel._history.report import report_data
        return report_data(self, frame, outcome, value, limit)

    def report(self, path: Any, frame: Any = None, *, outcome: Any = None, value: Any = None,
               limit: int = 20) -> Any:
        """Write one self-contained HTML page (no external assets) with the
        sections of :meth:`report_data` to ``path``; returns ``path``.
        Needs Jinja2 (``pip install 'morvel[report]'``)."""
        from morvel._history.report import write_report
        return write_report(self, path, frame, outcome, value, limit)

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

        With row history, a lineage pipeline is stored with the sections of
        :meth:`report_data` (at most ``STORED_LABELS`` labels per list) as
        "row_history" in its pipeline configuration, where the service's
        dashboard reads them; a word-level pickle keeps the whole history.
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
        outputs = self._outputs if values is None else values
        outputs = outputs if isinstance(outputs, list) else [outputs]
        if self._live is not None and (path_or_url is None or path_or_url == self.store):
            return self._finish_live(outputs)
        if url:
            hosted = self._hosted(target)
            if not getattr(self.tracker._store, "columnar_store", False):
                return self._persist(hosted)
            from morvel.utilities._lineage_sink import LineageSaver
            saver = LineageSaver(hosted, self.name, self.tracker._store.columnar)
            try:
                return saver.finish(self.tracker, outputs, self._history_config(), config_at_open=True)
            finally:
                hosted.disconnect()
        if isinstance(target, (str, os.PathLike)):
            from morvel.utilities.persistence import SQLiteStorage
            storage = SQLiteStorage(target)
            storage.connect()
            try:
                return save_lineage(self.tracker, storage, self.name, outputs, config=self._history_config())
            finally:
                storage.disconnect()
        return self._persist(target)

    def _hosted(self, url: str) -> Any:
        """A client of the lineage service at ``url`` with this pipeline's key."""
        if not self._api_key:
            raise ValueError("saving to a lineage service needs Pipeline(..., api_key=...)")
        from morvel.utilities.persistence.hosted import HostedStorage
        return HostedStorage(url, self._api_key, self._tenant_id or "default")

    def _start_live(self) -> Any:
        """The live writer of the node blocks, started (see the class docs)."""
        from morvel.utilities._lineage_sink import EmbeddedLineage, LineageSaver, LiveWriter

        target = self.store
        if not self._lineage:
            raise ValueError("live=True writes lineage nodes; build the pipeline with lineage=True")
        if not isinstance(target, (str, os.PathLike)):
            raise ValueError("live=True needs store= an SQLite file path or the http(s):// URL of a lineage service")
        if isinstance(target, str) and urlsplit(target).scheme in ("http", "https"):
            sink: Any = self._hosted(target)
            where = target
        else:
            from morvel.utilities.persistence import SQLiteStorage
            storage = SQLiteStorage(target)
            storage.connect()
            sink = EmbeddedLineage(storage)
            where = os.fspath(target)
        saver = LineageSaver(sink, self.name, self.tracker._store.columnar)
        live = LiveWriter(saver, where).start()
        # A pipeline dropped without saving ends its writer too.
        weakref.finalize(self, live.stop_soon)
        return live

    def _finish_live(self, outputs: list) -> Any:
        """Stop the live writer and write the rest; returns the pipeline id.
        On failure the writer's saver is kept: a later save goes on from
        the blocks already written."""
        live = self._live
        live.stop()
        saver = live.saver
        result = saver.finish(self.tracker, outputs, self._history_config())
        self._live = None
        storage = saver.storage
        storage.disconnect()
        return result

    def _persist(self, storage: Any) -> Any:
        """The lineage graph into ``storage``; with row history the pipeline
        is opened with the history's report sections in its configuration."""
        config = self._history_config()
        if config is None:
            return self.tracker.persist_to_storage(storage)
        name = getattr(self.tracker, "_pipeline_name", None) or self.name
        pipeline_id = int(storage.create_pipeline(name, config=config))
        return self.tracker.persist_to_storage(storage, pipeline_id)

    def _history_config(self) -> dict | None:
        """The pipeline configuration a saved lineage pipeline is opened with:
        the row history's report sections, or None without row history."""
        if self._history is None:
            return None
        return {"row_history": self.report_data(limit=STORED_LABELS)}

    def __enter__(self) -> Pipeline:
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        # A block that raised is not saved: a failed run must not be stored
        # as a completed pipeline.  Exceptions are never swallowed.
        if exc_type is None and self.store is not None:
            self.save()
        elif exc_type is not None and self._live is not None:
            self._fail_live()

    def _fail_live(self) -> None:
        """Stop the live writer of a run that raised and close the pipeline
        record it opened as "failed" (a failure to do so is logged: the
        run's own exception is the one that matters)."""
        live, self._live = self._live, None
        live.stop()
        saver = live.saver
        try:
            if saver.pipeline_id is not None:
                saver.storage.complete_pipeline(saver.pipeline_id, "failed")
        except Exception as exc:
            logger.warning("could not mark live pipeline %s as failed: %s", saver.pipeline_id, exc)
        finally:
            saver.storage.disconnect()


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
