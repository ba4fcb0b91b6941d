"""
Native VORTEL-32 provenance codec: word packing, dense registry, batch kernels.
"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


class RustProvenanceTracker:
    """Codec of VORTEL-32 words with its own dense-signature registry."""

    def __init__(self, stable_signatures: bool = False) -> None:
        """
        With stable_signatures, a dense word's signature is a hash of its pair set alone (the same in every process; a hash collision raises OverflowError), and combining a word whose pairs this codec cannot decode raises ValueError.
        """

    @property
    def stable_signatures(self) -> bool: ...

    def register(self, table: str, column: str, protected: object = False) -> int:
        """
        Register (table, column) and return its pair ID (repeats return the same ID).
        """

    def mark_table_protected(self, table: str) -> None: ...

    def encode(self, pairs: object, entity: object = 0, chain: object = 0, taint: object = False, depth: object = 0) -> int:
        """
        Word naming the given pair IDs; entity and chain are reduced to the fields the word's mode keeps (none for 3 or more pairs).
        """

    def decode_full(self, provenance: object) -> dict:
        """
        Dict with pairs (ascending list), entity, chain, taint, depth and mode. Words this codec never issued give an empty pair list and mode 'UNKNOWN'.
        """

    def combine(self, prov_a: object, prov_b: object, op: object = 1) -> int: ...

    def join(self, prov_a: object, prov_b: object) -> int:
        """
        Join of two partial aggregates: pairs united, entity and chain XOR, taint OR, depth max; 0 is the identity.
        """

    def update_chain(self, provenance: object, op: object) -> int: ...

    def __getstate__(self) -> tuple:
        """
        (names in ID order, protected (table, column) pairs, protected tables, dense (signature, pair IDs) entries, stable signatures): everything needed to decode this codec's words elsewhere and to go on as it would.
        """

    def __setstate__(self, state: tuple) -> None: ...

    @property
    def registered_pairs(self) -> int: ...

    @property
    def dense_entries(self) -> int: ...

    def get_name(self, pair_id: int) -> object: ...

def combine_batch(codec: RustProvenanceTracker, a: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], b: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], op: object) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    Element-wise combine of two word arrays (a length-1 array broadcasts); a new uint32 array.
    """

def update_chain_batch(codec: RustProvenanceTracker, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], op: object) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """Element-wise update_chain; a new uint32 array."""

def encode_source_column(codec: RustProvenanceTracker, pair_id: object, entities: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], taint: object) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    Source words of one column: the pair, each row's entity (below 256), the taint flag, chain 0, depth 0.
    """

def join_groups(codec: RustProvenanceTracker, codes: Annotated[NDArray[numpy.int64], dict(shape=(None,), device='cpu', writable=False)], words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], ngroups: int) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    Partial aggregate word of each group 0..ngroups-1: pairs united, entity and chain XORed, taint OR, depth max (0 for an empty group; negative codes are skipped).
    """

def is_tainted_batch(words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)]) -> Annotated[NDArray[numpy.bool_], dict(shape=(None,))]:
    """Taint bit of each word as a bool array."""

def risk_score_batch(words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(shape=(None,))]:
    """Risk (taint / (1 + depth)) of each word as a float64 array."""

def explain_batch(codec: RustProvenanceTracker, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)]) -> list:
    """
    For each word, the list of (table, column) names registered with this codec for its pairs, in ascending pair-ID order (unregistered IDs are skipped).
    """

def keyed_hash_ints(values: Annotated[NDArray[numpy.int64], dict(shape=(None,), device='cpu', writable=False)], k0: int, k1: int, mask: int = 4294967295) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    Keyed hash of the 8 bytes (two's complement) of each integer: splitmix64 of (splitmix64(v ^ k0) ^ k1), low 32 bits, ANDed with mask; a new uint32 array.
    """

def keyed_hash_range(start: int, step: int, n: int, k0: int, k1: int, mask: int = 4294967295) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    keyed_hash_ints of the n integers start, start + step, ... (a range index) without building them.
    """

def hash_entities(labels: object) -> object:
    """
    (hash(label) & 0xFFFFFFFF) % 256 for each label (None -> 0), as uint32. int64 and uint64 arrays are hashed natively; other iterables per element.
    """

def reduce_groups(codec: RustProvenanceTracker, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], groups: Annotated[NDArray[numpy.int64], dict(shape=(None,), device='cpu', writable=False)], ngroups: int, op: object) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    One word per group 0..ngroups-1: the words of its members (positions whose group id is k) joined as join_groups does, then one aggregate step (finish_aggregates with op); independent of the members' order. Group ids outside 0..ngroups-1 are skipped; a group without members gets 0.
    """

def finish_aggregates(codec: RustProvenanceTracker, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], op: object) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    The aggregate step of each joined partial aggregate (see join_groups): depth + 1 (saturating at 7) and op in the chain; a new uint32 array.
    """

def reduce_windows(codec: RustProvenanceTracker, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], starts: Annotated[NDArray[numpy.int64], dict(shape=(None,), device='cpu', writable=False)], ends: Annotated[NDArray[numpy.int64], dict(shape=(None,), device='cpu', writable=False)], op: object) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
    """
    One word per window [starts[j], ends[j]): its words joined and finished as in reduce_groups (independent of their order); an empty window gets 0.
    """

class PendingWords:
    """Words computed on a background thread; result() waits for them."""

    def result(self) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
        """
        The words (a new uint32 array) once computed; raises what the kernel raised.
        """

def start_combine(codec: object, a: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], b: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], op: object) -> PendingWords:
    """combine_batch(codec, a, b, op) started on a background thread."""

def start_update_chain(codec: object, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)], op: object) -> PendingWords:
    """update_chain_batch(codec, words, op) started on a background thread."""

def start_copy(words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), device='cpu', writable=False)]) -> PendingWords:
    """A copy of a word array made on a background thread."""
