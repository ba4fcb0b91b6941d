"""Words that do not depend on the process that computed them.

A Dask pipeline computes its words on several worker processes, and the
client decodes them afterwards.  Three things make the words of a
single-process tracker process-dependent, and this module replaces each:

* pair IDs are handed out in call order: the pipeline registers its tables
  on the client, once, and ships the fixed registry (:class:`WordRegistry`,
  small and picklable) with every task of the graph;
* dense signatures are assigned in the order sets are first seen: the codecs
  built here use stable signatures (a hash of the pair set alone), and the
  registry lists every dense set the graph can produce, so that any worker
  can decode and combine any dense word;
* entity hashes of text labels use the interpreter's salted ``hash()``:
  :func:`stable_entity_hash` is a keyed hash of the label's bytes instead.
"""
from __future__ import annotations

import hashlib
import math
import struct
import threading
from collections import OrderedDict
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from morvel._vortel32 import RustProvenanceTracker
from morvel.utilities._argcheck import check_exact
from morvel.utilities.vortel32 import ProvenanceTracker

#: Key of the entity hash unless a pipeline names its own.
DEFAULT_ENTITY_KEY = b"morvel-entity-v1"

PairSets = frozenset  # frozenset[frozenset[int]]: the pair sets a column's words can name

_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)
_LOW32 = np.uint64(0xFFFFFFFF)


def _mix64(x: np.ndarray) -> np.ndarray:
    """64-bit finaliser (splitmix64) of a uint64 array; wraps modulo 2**64."""
    x = x ^ (x >> np.uint64(30))
    x = x * _M1
    x = x ^ (x >> np.uint64(27))
    x = x * _M2
    return x ^ (x >> np.uint64(31))


def _subkeys(key: bytes) -> tuple[np.uint64, np.uint64]:
    digest = hashlib.blake2b(b"morvel-int-labels", key=key, digest_size=16).digest()
    k0, k1 = struct.unpack("<QQ", digest)
    return np.uint64(k0), np.uint64(k1)


def _hash_ints(values: np.ndarray, key: bytes) -> np.ndarray:
    """Keyed hash of the 8 bytes (two's complement) of each integer."""
    k0, k1 = _subkeys(key)
    with np.errstate(over="ignore"):
        h = _mix64(_mix64(values.astype(np.uint64, copy=False) ^ k0) ^ k1)
    return (h & _LOW32).astype(np.uint32)


def _label_bytes(label: Any) -> bytes:
    if isinstance(label, str):
        return b"s\0" + label.encode("utf-8", "surrogatepass")
    if isinstance(label, bytes):
        return b"b\0" + label
    if isinstance(label, float):
        return b"f\0" + struct.pack("<d", label)
    return b"r\0" + repr(label).encode("utf-8", "backslashreplace")


def _is_missing(label: Any) -> bool:
    return label is None or (isinstance(label, float) and math.isnan(label))


def _as_int(label: Any) -> int | None:
    """The integer a label stands for (ints, numpy integers, booleans and
    integral floats, as the interpreter's ``hash`` equates them), or None."""
    if isinstance(label, (bool, np.bool_)):
        return int(label)
    if isinstance(label, (int, np.integer)) or isinstance(label, (float, np.floating)) and float(label).is_integer():
        value = int(label)
    else:
        return None
    return value if -(1 << 63) <= value < (1 << 64) else None


def stable_entity_hash(labels: Any, key: bytes = DEFAULT_ENTITY_KEY) -> np.ndarray:
    """32-bit keyed hash of each row label, equal in every process.

    Integer labels (and integral floats, booleans and datetimes, through their
    integer value) hash their 8 bytes with a keyed 64-bit mix, vectorised;
    text hashes its UTF-8 bytes with keyed BLAKE2b, and any other label the
    bytes of its ``repr``.  Missing labels (None, NaN) hash to 0.  Returns a
    uint32 array; the word keeps its low byte.

    >>> a = stable_entity_hash(pd.RangeIndex(3))
    >>> bool((a == stable_entity_hash(np.array([0, 1, 2]))).all())
    True
    """
    check_exact(key, "key", bytes)
    if isinstance(labels, pd.MultiIndex):
        labels = labels.to_flat_index()
    arr = labels.to_numpy() if isinstance(labels, (pd.Index, pd.Series)) else np.asarray(labels)
    if arr.ndim != 1:
        arr = arr.reshape(-1)
    kind = arr.dtype.kind
    if kind in "iub":
        return _hash_ints(arr.astype(np.int64) if kind == "b" else arr, key)
    if kind in "mM":
        out = _hash_ints(arr.view(np.int64), key)
        out[np.isnat(arr)] = 0
        return out
    codes, uniques = pd.factorize(arr, use_na_sentinel=True)
    uniq = np.asarray(uniques, dtype=object)
    hashed = np.zeros(len(uniq) + 1, dtype=np.uint32)  # last slot: missing labels
    as_ints = [_as_int(u) for u in uniq]
    int_vals = {i: v for i, v in enumerate(as_ints) if v is not None}
    int_pos = list(int_vals)
    if int_pos:
        vals = np.array([int_vals[i] & 0xFFFFFFFFFFFFFFFF for i in int_pos], dtype=np.uint64)
        hashed[int_pos] = _hash_ints(vals, key)
    for i, u in enumerate(uniq):
        if as_ints[i] is None and not _is_missing(u):
            digest = hashlib.blake2b(_label_bytes(u), key=key, digest_size=4).digest()
            hashed[i] = int.from_bytes(digest, "little")
    return hashed[codes]


class PortableTracker(ProvenanceTracker):
    """A :class:`ProvenanceTracker` whose words are the same in every process:
    stable dense signatures and the keyed entity hash of
    :func:`stable_entity_hash`.  ``wrap_dataframe`` with it gives a pandas
    frame the source words that ``morvel.dask.track`` gives a Dask frame."""

    def __init__(self, entity_key: bytes = DEFAULT_ENTITY_KEY) -> None:
        super().__init__()
        check_exact(entity_key, "entity_key", bytes)
        self._rust = RustProvenanceTracker(stable_signatures=True)
        self._entity_key = entity_key

    def entity_from_row(self, row_id: Any) -> int:
        """Keyed 32-bit hash of the row label (0 for None)."""
        return int(stable_entity_hash(np.array([row_id], dtype=object), self._entity_key)[0])


@dataclass(frozen=True)
class WordRegistry:
    """Everything a worker needs to compute and decode a pipeline's words:
    the pairs in ID order, the protection, the dense pair sets the graph can
    produce and the entity key.  Immutable and picklable; the codec is built
    once per process and registry (see :meth:`codec`)."""

    pairs: tuple[tuple[str, str], ...]
    protected_tables: frozenset[str]
    protected_columns: frozenset[tuple[str, str]]
    dense_sets: tuple[tuple[int, ...], ...]
    entity_key: bytes = DEFAULT_ENTITY_KEY
    token: str = field(init=False, compare=False)

    def __post_init__(self) -> None:
        text = repr((self.pairs, sorted(self.protected_tables), sorted(self.protected_columns),
                     self.dense_sets, self.entity_key))
        object.__setattr__(self, "token", hashlib.blake2b(text.encode(), digest_size=16).hexdigest())

    def codec(self) -> RustProvenanceTracker:
        """This process's stable codec for the registry (built on first use)."""
        with _CODEC_LOCK:
            codec = _CODECS.get(self.token)
            if codec is not None:
                _CODECS.move_to_end(self.token)
                return codec
        codec = RustProvenanceTracker(stable_signatures=True)
        for table, column in self.pairs:
            codec.register(table, column, (table, column) in self.protected_columns)
        for table in self.protected_tables:
            codec.mark_table_protected(table)
        for ids in self.dense_sets:
            codec.encode(list(ids))
        with _CODEC_LOCK:
            _CODECS[self.token] = codec
            while len(_CODECS) > _CODEC_CACHE_SIZE:
                _CODECS.popitem(last=False)
        return codec


_CODEC_CACHE_SIZE = 32
_CODECS: OrderedDict[str, RustProvenanceTracker] = OrderedDict()
_CODEC_LOCK = threading.Lock()


def dense_sets_of(sets: Iterable[PairSets]) -> set[frozenset[int]]:
    """The sets of four or more pairs among several columns' pair sets."""
    return {s for column in sets for s in column if len(s) >= 4}


def registry_of(tracker: PortableTracker, dense: Iterable[frozenset[int]] = ()) -> WordRegistry:
    """Snapshot of a tracker's registry plus the given dense pair sets."""
    return WordRegistry(
        pairs=tuple(tracker._id_to_name[i] for i in range(tracker._next_id)),
        protected_tables=frozenset(tracker._protected_tables),
        protected_columns=frozenset(tracker._protected_columns),
        dense_sets=tuple(sorted(tuple(sorted(s)) for s in dense)),
        entity_key=tracker._entity_key,
    )
