"""Row values offered to a DAG tracker's recorder: the value buffer's
policy (hand-over to the writer, trimming without one), written once, and
the batch forms of the recorder that the bulk lineage path uses."""
from __future__ import annotations

import logging
from typing import Any, Optional

import numpy as np

from morvel.utilities.persistence.storage import StoredRowValue

logger = logging.getLogger("morvel.utilities.vortel32_dag")


def _trimmed_length(threshold: int) -> int:
    """Length a memory-only value buffer is cut to once it grows past
    ``threshold``: the oldest quarter goes at once, so trimming stays
    amortised O(1) per record."""
    return max(threshold - threshold // 4, 0)


def _buffer_records(tracker: Any, buf: list, records: list) -> None:
    """Append ``records`` to the value buffer ``buf`` (the caller holds the
    buffer lock) and apply the buffer policy once: when the buffer reaches
    ``_value_flush_threshold`` a copy goes to the writer and the buffer is
    cleared once the writer took it (a refused hand-over leaves the records
    for the next one); without a writer the buffer keeps only the latest
    records, never more than the threshold."""
    if len(records) == 1:
        buf.append(records[0])
    else:
        buf.extend(records)
    threshold = tracker._value_flush_threshold
    if len(buf) >= threshold:
        writer = tracker._writer
        if writer is not None:
            writer.write_row_values(buf.copy())
            buf.clear()
        elif len(buf) > threshold:
            del buf[: len(buf) - _trimmed_length(threshold)]


def _row_value_record(tracker: Any, row_index: int, fingerprint: int, operation: str,
                      value: Any, column_name: Optional[str]) -> StoredRowValue:
    """The record of one row value, as the recorder builds it: a number when
    ``float`` takes the value, else its text."""
    number = text = None
    if value is not None:
        try:
            number = float(value)
        except (ValueError, TypeError):
            text = str(value)
    return StoredRowValue(
        pipeline_id=tracker._pipeline_id or 0,
        row_index=row_index,
        fingerprint=fingerprint,
        node_operation=operation,
        value=number,
        column_name=column_name,
        tenant_id=tracker._tenant_id,
        text_value=text,
    )


def _offer_value(record: Any, values: Any, i: int, word: int, op_name: str) -> None:
    """Offer ``values[i]`` with fingerprint ``word`` to the recorder
    ``record``, unless it is None or a NaN float (interpreter floats, which
    numpy float64 scalars are).  An error of the element is logged at debug
    level and swallowed: recording never fails an operation."""
    try:
        v = values[i]
        if v is None or (isinstance(v, float) and v != v):
            return
        record(i, word, op_name, v)
    except Exception as exc:
        logger.debug("row value %d of %r not recorded: %s", i, op_name, exc)


def _offer_cell(tracker: Any, df: Any, i: int, col: Any, word: int, operation: str,
                name: str) -> None:
    """Offer cell (row position i, column ``col``) of a frame being wrapped
    to the recorder, as ``df.iloc[i][col]``, unless it is a NaN float; an
    error of the cell is logged at debug level and swallowed."""
    try:
        raw_val = df.iloc[i][col]
        if isinstance(raw_val, float) and raw_val != raw_val:
            return
        tracker.record_row_value(i, int(word), operation, raw_val, column_name=name)
    except Exception as exc:
        logger.debug("cell %d of column %r not recorded: %s", i, name, exc)


def _record_loop(tracker: Any, values: Any, words: Any, op_name: str) -> None:
    """Offer ``values[i]`` of each position to the tracker's recorder, with
    ``words[i]`` as fingerprint (see :func:`_offer_value`)."""
    record = tracker.record_row_value
    for i in range(len(words)):
        _offer_value(record, values, i, int(words[i]), op_name)


def _records_cleanly(v) -> bool:
    """True for values the recorder converts without fail (to a float, or
    to text after the float conversion refused them)."""
    if v is None or isinstance(v, (str, float, bool, np.bool_)):
        return True
    if isinstance(v, int):
        return -(1 << 1000) < v < (1 << 1000)
    if isinstance(v, np.generic):
        return v.dtype.kind in "biufUS"
    return False


class _ValueGroup:
    """Row values offered to the recorder by one operation or one column:
    ``values[i]`` with fingerprint ``words[i]`` for every position i, in
    order, under ``operation`` and ``column_name``.

    ``numeric`` values are a 1-D numpy array of a dtype whose elements always
    convert to float; others are any indexable sequence.  ``offered`` holds
    the positions that reach the recorder (NaN floats do not, nor None when
    ``skip_none``), or is None when every position does."""

    __slots__ = ("values", "words", "operation", "column_name", "numeric", "offered",
                 "skip_none")

    def __init__(self, values, words, operation, column_name, skip_none):
        self.values = values
        self.words = words
        self.operation = operation
        self.column_name = column_name
        self.numeric = _numeric_values(values)
        self.offered = None
        self.skip_none = skip_none

    def classify(self) -> bool:
        """Find the offered positions; False when some offered value might
        make the recorder fail (the caller then records element by element)."""
        values = self.values
        if self.numeric:
            # Only float64 elements are interpreter floats, whose NaNs are
            # not offered; NaNs of the narrower float types are.
            if values.dtype.type is np.float64:
                self.offered = np.flatnonzero(~np.isnan(values))
            return True
        keep = []
        skip_none = self.skip_none
        for i in range(len(values)):
            v = values[i]
            if (v is None and skip_none) or (isinstance(v, float) and v != v):
                continue
            if not _records_cleanly(v):
                return False
            keep.append(i)
        if len(keep) != len(values):
            self.offered = np.asarray(keep, dtype=np.intp)
        return True

    def positions(self) -> np.ndarray:
        """The offered positions, in order."""
        return np.arange(len(self.values)) if self.offered is None else self.offered

    def count(self) -> int:
        return len(self.words) if self.offered is None else len(self.offered)

    def tail(self, take: int) -> np.ndarray:
        if self.offered is None:
            n = len(self.words)
            return np.arange(n - take, n)
        return self.offered[len(self.offered) - take:]


def _numeric_values(values) -> bool:
    if not isinstance(values, np.ndarray) or values.ndim != 1:
        return False
    kind = values.dtype.kind
    return kind in "biu" or (kind == "f" and values.dtype.itemsize <= 8)


def _kept_tail(buffered: int, added: int, threshold) -> int:
    """Length of a memory-only tracker's value buffer after ``added`` more
    records are appended to ``buffered`` ones: the recorder drops the oldest
    records down to ``threshold - threshold // 4`` whenever the buffer grows
    past ``threshold``."""
    keep = _trimmed_length(threshold)
    total = buffered + added
    if total <= threshold:
        return total
    if keep > threshold:
        return keep
    first = 1 if buffered > threshold else threshold + 1 - buffered
    return keep + (added - first) % (threshold + 1 - keep)


def _group_records(record_cls, group, sel, pipeline_id, tenant_id) -> list:
    """The recorder's records of ``group``'s values at positions ``sel``, in
    order, as the stock recorder builds them one by one."""
    rows = sel.tolist()
    fps = group.words[sel].tolist()
    if group.numeric:
        numbers = group.values[sel].astype(np.float64).tolist()
        texts: list[Optional[str]] = [None] * len(rows)
    else:
        numbers, texts = [], []
        values = group.values
        for i in rows:
            number = text = None
            v = values[i]
            if v is not None:
                try:
                    number = float(v)
                except (ValueError, TypeError):
                    text = str(v)
            numbers.append(number)
            texts.append(text)
    op, col = group.operation, group.column_name
    return [
        record_cls(pipeline_id=pipeline_id, row_index=r, fingerprint=f, node_operation=op,
                   value=x, column_name=col, tenant_id=tenant_id, text_value=t)
        for r, f, x, t in zip(rows, fps, numbers, texts)
    ]


def _live_records(tracker, group, sel) -> list:
    """Records of ``group`` at positions ``sel`` for the tracker's current
    pipeline; none when the recorder cannot build records at all."""
    if len(sel) == 0:
        return []
    return _group_records(StoredRowValue, group, sel, tracker._pipeline_id or 0,
                          tracker._tenant_id)


def _hand_over(tracker, records) -> None:
    """Append ``records`` to the value buffer as the stock recorder does one
    by one: whenever the buffer reaches ``_value_flush_threshold`` a copy goes
    to the writer, and the buffer is cleared once the writer took it (a
    refused batch stays, and the next record tries again); without a writer
    the oldest records are trimmed.  Runs of records that cannot reach the
    threshold are appended at once.  An ``Exception`` of one hand-over is
    swallowed, as the per-element loops swallow the recorder's errors."""
    pos, total = 0, len(records)
    while pos < total:
        try:
            with tracker._value_buffer_lock:
                buf = tracker._value_buffer
                take = 1
                if type(buf) is list and type(tracker._value_flush_threshold) is int:
                    take = min(max(tracker._value_flush_threshold - len(buf), 1), total - pos)
                chunk = records[pos:pos + take]
                pos += take
                _buffer_records(tracker, buf, chunk)
        except Exception as exc:
            logger.debug("row values not handed over: %s", exc)


def _records_before_hand_over(tracker, limit: int) -> int:
    """How many more records the recorder takes until the next one that makes
    it hand the buffer to the writer (``limit`` when no writer is set)."""
    if tracker._writer is None:
        return limit
    threshold = tracker._value_flush_threshold
    buf = tracker._value_buffer
    if type(buf) is not list or type(threshold) is not int:
        return 1
    return max(threshold - len(buf), 1)


def _live_group(tracker, values, operation):
    """The classified row values of an operation on a live tracker, or None
    when the compiled path cannot stand in for the recorder (a value that
    might make it fail, or buffer settings of other types)."""
    if type(tracker._value_flush_threshold) is not int or type(tracker._value_buffer) is not list:
        return None
    group = _ValueGroup(values, None, operation, None, True)
    return group if group.classify() else None


def _append_row_values(tracker, groups) -> bool:
    """Leave the tracker's value buffer as the stock recorder would after
    being offered every value of ``groups``, in order.  Memory-only, only
    the records that survive the buffer's trimming are built; with a writer
    every record is built and handed over at the recorder's moments.
    Returns False, changing nothing, when some value might make the recorder
    fail (or the buffer settings are not the plain list and integer
    threshold this reasoning assumes)."""
    if type(tracker._value_flush_threshold) is not int or type(tracker._value_buffer) is not list:
        return False
    for group in groups:
        if not group.classify():
            return False
    if tracker._writer is not None:
        for group in groups:
            _hand_over(tracker, _live_records(tracker, group, group.positions()))
        return True
    total = sum(group.count() for group in groups)
    if total == 0:
        return True
    pipeline_id = tracker._pipeline_id or 0
    tenant_id = tracker._tenant_id
    with tracker._value_buffer_lock:
        buf = tracker._value_buffer
        kept = _kept_tail(len(buf), total, tracker._value_flush_threshold)
        need = min(kept, total)
        chunks = []
        for group in reversed(groups):
            if need <= 0:
                break
            take = min(need, group.count())
            need -= take
            if take == 0:
                continue
            chunks.append(_group_records(StoredRowValue, group, group.tail(take),
                                         pipeline_id, tenant_id))
        new = [rec for chunk in reversed(chunks) for rec in chunk]
        old_kept = kept - len(new)
        if old_kept <= 0:
            buf.clear()
        else:
            del buf[: len(buf) - old_kept]
        buf.extend(new)
    return True


def _record_values_after(tracker, values, words, op_name) -> None:
    """Row values of a bulk-logged operation: the surviving records built
    at once, or the recorder called element by element when a value might
    make it fail."""
    if not _append_row_values(tracker, [_ValueGroup(values, words, op_name, None, True)]):
        _record_loop(tracker, values, words, op_name)

