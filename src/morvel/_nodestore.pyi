"""
Columnar lineage node store: struct-of-arrays node blocks, word and source indexes, graph walks, and a memory budget beyond which old blocks move to disk.
"""

from collections.abc import Sequence
from typing import Annotated

import numpy
from numpy.typing import NDArray


BLOCK_SIZE: int = 65536

FLAG_PROTECTED: int = 1

FLAG_METADATA: int = 2

COLUMNS: tuple = ...

class NodeStore:
    """
    Node columns, indexes and spill files of one lineage store; ids count up from `first_id`.
    """

    def __init__(self, first_id: int, memory_budget: int, spill_dir: str) -> None: ...

    def intern(self, text: str) -> int:
        """Id of `text`, added when new."""

    def text(self, text_id: int) -> str:
        """The text of an id."""

    def text_count(self) -> int: ...

    def source_attr(self, table: int, column: int, pair: int | None) -> int:
        """
        Id of the (table text id or -1, column text id or -1, pair id or None) attributes.
        """

    def attr(self, attr_id: int) -> tuple:
        """The (table, column, pair) of an attribute id (-1 / None for none)."""

    def attr_count(self) -> int: ...

    def log_aligned(self, node_type: int, op: int, src: int, protected: bool, meta: int | None, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], inputs: Sequence[Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]]) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """
        One node per position whose aligned input ids are all >= 0; returns the new ids (-1 where none was logged).  Runs without the interpreter lock.
        """

    def log_csr(self, node_type: int, op: int, src: int, protected: bool, meta: int | None, words: Annotated[NDArray[numpy.uint32], dict(shape=(None,), order='C', device='cpu', writable=False)], offsets: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], inputs: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """
        One node per word with inputs[offsets[i]:offsets[i+1]]; returns the new ids.
        """

    def add_source(self, table: int, column: int, word: int, pair: int | None, protected: bool) -> int:
        """Id of the SOURCE node of (table, column), created on first use."""

    def find_source(self, table: int, column: int) -> int | None: ...

    def set_source(self, table: int, column: int, node_id: int) -> None: ...

    def clear_sources(self) -> None: ...

    def sources(self) -> list[tuple[int, int, int]]:
        """[(table text id, column text id, node id)] of the source index."""

    @property
    def first_id(self) -> int: ...

    @property
    def next_id(self) -> int: ...

    def __len__(self) -> int: ...

    def get(self, node_id: int) -> object:
        """(type, flags, op, word, src, inputs) of a node, or None when not held."""

    def metadata(self, node_id: int) -> int | None:
        """Metadata text id of a node, or None."""

    def lineage(self, root: int) -> tuple:
        """
        Breadth-first walk from `root`: (ids, types, flags, ops, words, srcs, input offsets, inputs, missing ids).
        """

    def nodes_for_word(self, word: int) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """Ids of the nodes holding `word`, in creation order."""

    def unique_words(self) -> int:
        """Number of distinct words held."""

    def stats(self) -> dict: ...

    def set_budget(self, memory_budget: int) -> None: ...

    def spill_all(self) -> None:
        """Move every full block to disk."""

    def drop_cache(self) -> None:
        """Release spilled blocks' pages and drop them from the page cache."""

    def block_count(self) -> int: ...

    def export_block(self, block: int) -> dict:
        """
        Block b as {base, count, columns: [bytes] in COLUMNS order, escape_slots, escape_ids, metadata_positions, metadata_texts}.
        """

    def words(self) -> Annotated[NDArray[numpy.uint32], dict(shape=(None,))]:
        """
        Every node's provenance word in id order (uint32), read without the interpreter lock.
        """

    def word_summary(self) -> tuple:
        """
        (first node id of each distinct word, ascending; distinct (parent word, child word, input position) edge triples, flat int64, in order of first occurrence).  Runs without the interpreter lock.
        """

    def export_saved_block(self, block: int) -> dict:
        """
        Block b as `export_block` gives it, with each column whose values run in equal steps saved as its run (count, first, step as little-endian int64) and that column's bit set in "linear".
        """

    def import_block(self, base: int, count: int, columns: Sequence[bytes], escape_slots: bytes, escape_ids: bytes, metadata_positions: bytes, metadata_texts: bytes) -> None:
        """Append a block exported by `export_block` (checked)."""
