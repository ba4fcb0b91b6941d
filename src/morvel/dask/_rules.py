"""The word rules of the Dask path, in one place.

Every partition function of :mod:`morvel.dask` computes words through these
functions, and nothing else there packs or combines words.  Each takes the
process's codec and numpy ``uint32`` arrays, so the rules can be pointed at
another implementation by changing this module alone.

* source: one pair, the row's entity (low byte of the keyed label hash),
  taint from the protection, chain 0, depth 0;
* element operations between two tracked operands: ``combine`` with the
  operation's code (pairs united, entity XOR, chain hashed, taint OR, depth
  max + 1); with an untracked operand or a scalar the words are kept;
* one-operand transforms: the chain advanced by the transform's code;
* filters, concatenation, repartitioning: each row keeps its word;
* alignment: a side that is missing for an element contributes the neutral
  word 0;
* merge: each output element carries the word of the element it came from
  with the merge code in its chain, and 0 where its side has no row; key
  columns that both tracked sides carry combine both words with the merge
  code; columns of an untracked frame carry 0;
* aggregation: each result value's word joins the words of the group's rows
  (pairs united, entity and chain XOR, taint OR, depth max), then takes one
  step: depth + 1 (saturating at 7) and the aggregate code in its chain.
  Both halves are the native kernels behind the single-process groupby
  (``reduce_groups`` is ``join_groups`` followed by ``finish_aggregates``),
  so the rule lives in one place.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from morvel._vortel32 import (
    RustProvenanceTracker,
    combine_batch,
    encode_source_column,
    finish_aggregates,
    join_groups,
    update_chain_batch,
)
from morvel.utilities._word.portable import entity_bytes
from morvel.utilities.vortel32 import OpCode


def as_words(values: Any) -> np.ndarray:
    """A word column as uint32; missing entries (a side that was absent in
    an alignment, a merge or a concatenation) become the neutral word 0."""
    if isinstance(values, pd.Series):
        if values.dtype == np.uint32:
            return values.to_numpy()
        values = values.fillna(0).to_numpy()
    arr = np.asarray(values)
    if arr.dtype != np.uint32:
        arr = np.nan_to_num(arr.astype(np.float64), nan=0.0).astype(np.uint32)
    return arr


def entities(index: pd.Index, entity_key: bytes, include_entity: bool = True) -> np.ndarray:
    """Entity field of the source words of the rows of ``index``: the low
    byte of the keyed label hash (0 without entities)."""
    if include_entity:
        return entity_bytes(index, entity_key)
    return np.zeros(len(index), dtype=np.uint32)


def source_words(codec: RustProvenanceTracker, pair_id: int, row_entities: np.ndarray,
                 taint: bool) -> np.ndarray:
    """Source words of one column, given the rows' entities (see :func:`entities`)."""
    return np.asarray(encode_source_column(codec, pair_id, row_entities, taint), dtype=np.uint32)


def binary(codec: RustProvenanceTracker, a: np.ndarray, b: np.ndarray, op: int) -> np.ndarray:
    """Words of an element operation between two tracked operands."""
    return np.asarray(combine_batch(codec, a, b, op), dtype=np.uint32)


def unary(codec: RustProvenanceTracker, words: np.ndarray, op: int) -> np.ndarray:
    """Words of a one-operand transform."""
    return np.asarray(update_chain_batch(codec, words, op), dtype=np.uint32)


def merged_side(codec: RustProvenanceTracker, words: np.ndarray,
                present: np.ndarray | None = None) -> np.ndarray:
    """Words of a merged column that comes from one side: MERGE in the
    chain, and the neutral word 0 where the side has no row (``present``
    False; None: it has one everywhere)."""
    out = unary(codec, words, OpCode.MERGE)
    if present is not None:
        out[~present] = 0
    return out


def merged_key(codec: RustProvenanceTracker, left: np.ndarray, right: np.ndarray,
               present: np.ndarray | None = None) -> np.ndarray:
    """Words of a key column that both sides of a merge carry (a missing
    side contributes 0); 0 where neither side has a row."""
    out = binary(codec, left, right, OpCode.MERGE)
    if present is not None:
        out[~present] = 0
    return out


def join_partial(codec: RustProvenanceTracker, codes: np.ndarray, words: np.ndarray,
                 ngroups: int) -> np.ndarray:
    """Partial aggregate of each group (associative: partitions may be joined
    in any order and grouping)."""
    return np.asarray(join_groups(codec, codes, words, ngroups), dtype=np.uint32)


def finish_aggregate(codec: RustProvenanceTracker, partial: np.ndarray,
                     op: int = OpCode.AGG) -> np.ndarray:
    """Final word of each group from its partial aggregate: one more step of
    depth (saturating) and the aggregate code in the chain."""
    return np.asarray(finish_aggregates(codec, as_words(partial), op), dtype=np.uint32)
