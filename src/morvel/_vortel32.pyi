"""Native VORTEL-32 provenance codec: word packing, dense registry, batch kernels."""
from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

_Words = npt.NDArray[np.uint32]
# Word arguments of the batch functions: one-dimensional numpy arrays of any
# stride, read-only ones included.  uint32 is taken as it is; other numeric
# dtypes are cast to uint32 (a copy); lists and other sequences are rejected.
_WordsIn = npt.NDArray[Any]

class RustProvenanceTracker:
    """Codec of VORTEL-32 words with its own dense-signature registry.

    Dense words (4 or more pairs) carry a signature that identifies the pair
    set only: they keep no entity or chain, and ``decode_full`` reports both
    as 0.  Words this codec never issued decode to an empty pair list with
    mode "UNKNOWN" and their header intact.
    """

    def __init__(self, stable_signatures: bool = False) -> None:
        """With ``stable_signatures`` a dense signature is a hash of the pair set
        alone, equal in every process (a hash collision raises OverflowError),
        and combining a word whose pairs this codec cannot decode raises
        ValueError."""
    @property
    def stable_signatures(self) -> bool: ...
    def register(self, table: str, column: str, protected: bool = False) -> int:
        """Pair ID of (table, column); repeats return the same ID.  ValueError past 512 pairs."""
    def mark_table_protected(self, table: str) -> None: ...
    def encode(self, pairs: Iterable[int], entity: int = 0, chain: int = 0,
               taint: bool = False, depth: int = 0) -> int:
        """Word naming the pair IDs (0-511); depth 0-7; taint read by truth value.
        Entity and chain are reduced to the fields the word's mode keeps (8/8 bits,
        5/4 bits, or none)."""
    def decode_full(self, provenance: int) -> dict[str, Any]:
        """{"pairs": ascending list, "entity", "chain", "taint", "depth", "mode"}."""
    def combine(self, prov_a: int, prov_b: int, op: int = 1) -> int:
        """Pairs united, entity XOR, chain hashed with op, taint OR, depth max + 1 (<= 7)."""
    def join(self, prov_a: int, prov_b: int) -> int:
        """Join of two partial aggregates: pairs united, entity and chain XOR, taint OR,
        depth max; 0 is the identity."""
    def update_chain(self, provenance: int, op: int) -> int:
        """Only the chain changes (words without a chain field come back unchanged)."""
    def get_name(self, pair_id: int) -> tuple[str, str] | None: ...
    @property
    def registered_pairs(self) -> int: ...
    @property
    def dense_entries(self) -> int: ...

def combine_batch(codec: RustProvenanceTracker, a: _WordsIn, b: _WordsIn,
                  op: int) -> _Words:
    """Element-wise combine; a length-1 array broadcasts, other length mismatches raise ValueError."""
def update_chain_batch(codec: RustProvenanceTracker, words: _WordsIn, op: int) -> _Words: ...
def encode_source_column(codec: RustProvenanceTracker, pair_id: int, entities: _WordsIn,
                         taint: bool) -> _Words:
    """One source word per entity (each below 256): the pair, the entity, taint, chain 0, depth 0."""
def join_groups(codec: RustProvenanceTracker, codes: npt.NDArray[np.int64], words: _WordsIn,
                ngroups: int) -> _Words:
    """Partial aggregate word per group 0..ngroups-1 (``join`` of its words, 0 when
    empty); negative codes are skipped, codes >= ngroups raise ValueError."""
def is_tainted_batch(words: _WordsIn) -> npt.NDArray[np.bool_]: ...
def risk_score_batch(words: _WordsIn) -> npt.NDArray[np.float64]: ...
def explain_batch(codec: RustProvenanceTracker, words: _WordsIn) -> list[list[tuple[str, str]]]:
    """Per word, the (table, column) names registered with this codec for its pairs,
    in ascending pair-ID order (unregistered IDs skipped)."""
def hash_entities(labels: Any) -> _Words:
    """(hash(label) & 0xFFFFFFFF) % 256 per label (None -> 0).  int64/uint64 arrays are
    hashed natively (same result as the interpreter), other iterables per element."""
