"""Layout of the VORTEL-32 word, the codec binding and the header reads
that need no codec (mode names, entity hash)."""
from __future__ import annotations

import operator
from typing import Any, NamedTuple

try:
    from morvel._vortel32 import (
        RustProvenanceTracker,
        combine_batch,
        encode_source_column,
        explain_batch,
        hash_entities,
        is_tainted_batch,
        reduce_groups,
        reduce_windows,
        risk_score_batch,
        start_combine,
        start_copy,
        start_update_chain,
        update_chain_batch,
    )
except ImportError as _exc:
    raise ImportError(
        "VORTEL-32 Rust extension not found. Build it with: python tools/build_rust\n"
        "For the pure Python fallback, install from the python-vortel32-pure branch."
    ) from _exc

__all__ = [
    "RustProvenanceTracker", "combine_batch", "encode_source_column", "explain_batch",
    "hash_entities", "is_tainted_batch", "reduce_groups", "reduce_windows", "risk_score_batch",
    "start_combine", "start_copy", "start_update_chain", "update_chain_batch",
]

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

# Names of the four header modes; mode 0 splits by whether a pair is named.
_MODE_NAMES = {MODE_2: "EXACT-2", MODE_3: "EXACT-3", MODE_DENSE: "DENSE"}


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

    pairs: set[int]
    entity: int
    chain: int
    taint: bool
    depth: int
    mode: str


def mode_name(word: int) -> str:
    """Mode name of a word, read from its header alone: "EXACT-0" or
    "EXACT-1" (mode 0, by whether pair_data is set), "EXACT-2", "EXACT-3"
    or "DENSE".  The one naming of modes every report uses.

    >>> mode_name(0xC0000123), mode_name(0x00010000), mode_name(0)
    ('DENSE', 'EXACT-1', 'EXACT-0')
    """
    mode = (word >> MODE_SHIFT) & 3
    if mode == MODE_01:
        pair_data = ((word & PAYLOAD_MASK) >> 16) & 1023
        return "EXACT-0" if pair_data == 0 else "EXACT-1"
    return _MODE_NAMES.get(mode, "UNKNOWN")


def _hash_entity(row_id: Any) -> int:
    """32-bit entity hash of a row key: ``hash(row_id) & 0xFFFFFFFF``, 0 for None.

    >>> _hash_entity(-1)
    4294967294
    """
    if row_id is None:
        return 0
    return hash(row_id) & 0xFFFFFFFF


def _codec_int(value: Any, what: str) -> int:
    """A codec result declared as int (numpy integers count); anything else
    is a codec fault and raises ``TypeError``."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"codec {what} returned {type(value).__name__}, expected int") from None
