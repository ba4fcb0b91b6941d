"""Words that are the same in every process.

A single-process tracker's words depend on the process in two ways: dense
signatures are assigned in the order pair sets are first seen, and entity
hashes of text labels use the interpreter's salted ``hash()``.
:class:`PortableTracker` replaces both: stable signatures (a hash of the
pair set alone) and :func:`stable_entity_hash`, a keyed hash of the label's
bytes.  ``morvel.Pipeline(name, portable=True)`` and ``morvel.dask`` use it,
so a pandas run and a Dask run of one pipeline give the same words.
"""
from __future__ import annotations

import hashlib
import math
import struct
from typing import Any

import numpy as np
import pandas as pd

from morvel._vortel32 import RustProvenanceTracker, keyed_hash_ints, keyed_hash_range
from morvel.utilities._argcheck import check_exact
from morvel.utilities._word.tracker import ProvenanceTracker

#: Key of the entity hash unless a pipeline names its own.
DEFAULT_ENTITY_KEY = b"morvel-entity-v1"

def _subkeys(key: bytes) -> tuple[int, int]:
    digest = hashlib.blake2b(b"morvel-int-labels", key=key, digest_size=16).digest()
    k0, k1 = struct.unpack("<QQ", digest)
    return k0, k1


def _hash_ints(values: np.ndarray, key: bytes) -> np.ndarray:
    """Keyed hash of the 8 bytes (two's complement) of each integer: the
    low 32 bits of splitmix64(splitmix64(v ^ k0) ^ k1), natively."""
    return keyed_hash_ints(_as_int64(values), *_subkeys(key))


def _as_int64(values: np.ndarray) -> np.ndarray:
    """The integers' 8 bytes as an int64 array (uint64 reinterpreted)."""
    arr = np.ascontiguousarray(values)
    return arr.view(np.int64) if arr.dtype == np.uint64 else arr.astype(np.int64, copy=False)


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
    if isinstance(labels, pd.RangeIndex):  # the labels are never built
        return keyed_hash_range(labels.start, labels.step, len(labels), *_subkeys(key))
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


def entity_bytes(index: pd.Index, key: bytes = DEFAULT_ENTITY_KEY) -> np.ndarray:
    """Entity field of source words: the low byte of
    :func:`stable_entity_hash` of each label (masked in the kernel for range
    and integer indexes)."""
    if isinstance(index, pd.RangeIndex):
        return keyed_hash_range(index.start, index.step, len(index), *_subkeys(key), 0xFF)
    if index.dtype.kind in "iu" and not isinstance(index, pd.MultiIndex):
        return keyed_hash_ints(_as_int64(index.to_numpy()), *_subkeys(key), 0xFF)
    return stable_entity_hash(index, key) & np.uint32(0xFF)


class PortableTracker(ProvenanceTracker):
    """A :class:`ProvenanceTracker` whose words are the same in every process:
    stable dense signatures and the keyed entity hash of
    :func:`stable_entity_hash`.  ``wrap_dataframe`` with it gives a pandas
    frame the source words that ``morvel.dask.track`` gives a Dask frame;
    ``follow_rows=True`` is the tracker of ``Pipeline(name, portable=True)``."""

    def __init__(self, entity_key: bytes = DEFAULT_ENTITY_KEY, *, follow_rows: bool = False) -> None:
        super().__init__(follow_rows=follow_rows)
        check_exact(entity_key, "entity_key", bytes)
        self._rust = RustProvenanceTracker(stable_signatures=True)
        self._entity_key = entity_key

    def entity_from_row(self, row_id: Any) -> int:
        """Keyed 32-bit hash of the row label (0 for None)."""
        return int(stable_entity_hash(np.array([row_id], dtype=object), self._entity_key)[0])

    def entities_of_index(self, index: pd.Index) -> np.ndarray:
        """Entity field (low byte of :meth:`entity_from_row`) of every label
        of ``index``, in one vectorised pass."""
        return entity_bytes(index, self._entity_key)
