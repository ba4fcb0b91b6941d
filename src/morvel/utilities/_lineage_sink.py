"""Writing a lineage pipeline's node blocks and output values in bulk to
the embedded SQLite store or to the lineage service, at the end of a run
or live while it runs.

:class:`LineageSaver` writes one pipeline: it opens the pipeline record
and a saved store, writes the full node blocks (any number of times, each
block once), and at the end the last partial block, the store's header,
the output values and the per-word summary, then completes the pipeline.
Its targets, :class:`EmbeddedLineage` (an ``SQLiteStorage``) and
``HostedStorage`` (the service), take the same rows, so a pipeline saved
through either holds the same blocks and values.

:class:`LiveWriter` runs a saver on a background thread: the columnar
store tells it when a block fills (one call per logging operation, never
per node), and the thread writes every full block while the pipeline goes
on.  A failure stops the thread and becomes one warning; the nodes stay
in the store, and the saver takes up where it stopped at the next save.
"""
from __future__ import annotations

import logging
import threading
import warnings
from typing import Any, Optional, Sequence

from morvel.utilities import _lineage_bulk as bulk
from morvel.utilities._columnar_store import BLOCK_SIZE, ColumnarStore, _connection, _saved_block_row
from morvel.utilities._lineage_db import value_rows

logger = logging.getLogger(__name__)

#: Blocks handed to a target per call.
BLOCKS_PER_WRITE = 8


class EmbeddedLineage:
    """The bulk lineage writes on a connected ``SQLiteStorage``."""

    def __init__(self, storage: Any) -> None:
        self.storage = storage
        with _connection(storage) as conn:
            bulk.ensure_schema(conn)

    def open_lineage_store(self, pipeline_id: int, name: str, first_id: int) -> int:
        with _connection(self.storage) as conn:
            return bulk.open_store(conn, pipeline_id, name, first_id)

    def store_lineage_blocks(self, pipeline_id: int, store_id: int, rows: Sequence[tuple]) -> int:
        with _connection(self.storage) as conn:
            return bulk.insert_blocks(conn, store_id, rows)

    def finish_lineage_store(self, pipeline_id: int, store_id: int, next_id: int, texts: list, attrs: list,
                             sources: list, config: Optional[dict] = None) -> None:
        with _connection(self.storage) as conn:
            bulk.finish_store(conn, store_id, next_id, texts, attrs, sources)
            bulk.set_config(conn, pipeline_id, config)

    def store_lineage_values(self, pipeline_id: int, store_id: int, rows: Sequence[tuple]) -> int:
        with _connection(self.storage) as conn:
            return bulk.insert_values(conn, store_id, rows)


class LineageSaver:
    """Writes one pipeline's lineage to ``target`` (an
    :class:`EmbeddedLineage` or a ``HostedStorage``) under ``name``."""

    def __init__(self, target: Any, name: str, store: ColumnarStore) -> None:
        self.target = target
        self.storage = getattr(target, "storage", target)
        self.name = name
        self.store = store
        self.pipeline_id: Optional[int] = None
        self.store_id: Optional[int] = None
        #: blocks written so far (blocks 0 .. written - 1)
        self.written = 0

    def _open(self, config: Optional[dict] = None) -> tuple[int, int]:
        if self.pipeline_id is None:
            self.pipeline_id = int(self.storage.create_pipeline(self.name, config=config))
        if self.store_id is None:
            self.store_id = int(self.target.open_lineage_store(self.pipeline_id, self.name, self.store.first_id))
        return self.pipeline_id, self.store_id

    def write_full_blocks(self, config: Optional[dict] = None, stop: Optional[threading.Event] = None) -> int:
        """Write every full block not yet written; returns how many blocks
        are written in all."""
        full = (self.store.next_id - self.store.first_id) // BLOCK_SIZE
        if full > self.written:
            self._write_blocks(full, config, stop)
        return self.written

    def _write_blocks(self, upto: int, config: Optional[dict], stop: Optional[threading.Event] = None) -> None:
        pipeline_id, store_id = self._open(config)
        native = self.store._native
        while self.written < upto and not (stop is not None and stop.is_set()):
            numbers = range(self.written, min(upto, self.written + BLOCKS_PER_WRITE))
            rows = [_saved_block_row(store_id, b, native.export_saved_block(b)) for b in numbers]
            self.target.store_lineage_blocks(pipeline_id, store_id, rows)
            self.written = numbers[-1] + 1

    def finish(self, tracker: Any, outputs: list, config: Optional[dict], config_at_open: bool = False) -> int:
        """Write what is left (blocks, header, values, per-word summary) and
        complete the pipeline; returns its id."""
        # The per-word summary is computed natively without the interpreter
        # lock: on another thread while the blocks and values are written.
        summary = getattr(getattr(tracker, "_store", None), "word_summary", None)
        ahead = None
        if summary is not None:
            ahead = threading.Thread(target=summary, name="morvel-lineage-summary", daemon=True)
            ahead.start()
        try:
            return self._finish(tracker, outputs, config, config_at_open, ahead)
        finally:
            if ahead is not None:
                ahead.join()

    def _finish(self, tracker: Any, outputs: list, config: Optional[dict], config_at_open: bool,
                ahead: Optional[threading.Thread]) -> int:
        store = self.store
        self._open(config if config_at_open else None)
        self._write_blocks(store._native.block_count(), config)
        header = store._header()
        assert self.pipeline_id is not None and self.store_id is not None
        self.target.finish_lineage_store(self.pipeline_id, self.store_id, header["next_id"], header["texts"],
                                         header["attrs"], header["sources"],
                                         None if config_at_open else config)
        rows = value_rows(self.store_id, outputs, bulk.VALUE_CHUNK_ROWS)
        if rows:
            self.target.store_lineage_values(self.pipeline_id, self.store_id, rows)
        if ahead is not None:
            ahead.join()
        return int(tracker.persist_to_storage(self.storage, self.pipeline_id))


class LiveWriter:
    """Background thread writing a saver's full blocks as they fill."""

    def __init__(self, saver: LineageSaver, where: str) -> None:
        self.saver = saver
        self.where = where
        self.error: Optional[BaseException] = None
        self._warned = False
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="morvel-lineage-live", daemon=True)

    def start(self) -> LiveWriter:
        self.saver.store._listener = self.poke
        self._thread.start()
        return self

    def _run(self) -> None:
        while not self._stop.is_set():
            self._wake.wait(0.5)
            self._wake.clear()
            try:
                self.saver.write_full_blocks(stop=self._stop)
            except Exception as exc:  # reported once, by the pipeline's thread
                logger.debug("live lineage writer stopped: %r", exc)
                self.error = exc
                return

    def poke(self) -> None:
        """A block filled: wake the writer (or, once it failed, warn once)."""
        if self.error is not None:
            self.warn()
        else:
            self._wake.set()

    def warn(self) -> None:
        if self.error is not None and not self._warned:
            self._warned = True
            warnings.warn(
                f"live lineage writing to {self.where} failed ({type(self.error).__name__}: {self.error}); "
                "every node stays in memory and save() writes what is missing", UserWarning, stacklevel=3)

    def stop_soon(self) -> None:
        """Ask the thread to end after the write under way (no waiting)."""
        self._stop.set()
        self._wake.set()

    def stop(self) -> None:
        """Stop the thread after the write under way (blocks written stay
        written; the saver goes on from there)."""
        self._stop.set()
        self._wake.set()
        self._thread.join()
        if self.saver.store._listener == self.poke:
            self.saver.store._listener = None
        self.warn()
