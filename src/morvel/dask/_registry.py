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
import threading
from collections import OrderedDict
from collections.abc import Iterable
from dataclasses import dataclass, field

from morvel._vortel32 import RustProvenanceTracker
from morvel.utilities._word.portable import (
    DEFAULT_ENTITY_KEY,
    PortableTracker,
    stable_entity_hash,
)

__all__ = ["DEFAULT_ENTITY_KEY", "PairSets", "PortableTracker", "WordRegistry", "dense_sets_of",
           "registry_of", "stable_entity_hash"]

PairSets = frozenset  # frozenset[frozenset[int]]: the pair sets a column's words can name


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

    def __dask_tokenize__(self) -> tuple[str, str]:
        # Dask names its graph keys by hashing the arguments; the token
        # already identifies the registry (instead of pickling it each time).
        return ("morvel-word-registry", self.token)

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
