"""The provenance tracker: pair registry, word encoding and decoding,
header reads, explanations and the word algebra."""
from __future__ import annotations

from morvel.utilities import _hooks
from morvel.utilities._argcheck import as_int, check_exact
from morvel.utilities._word.layout import (
    _DENSE_SIG_MASK,
    _WORD_MASK,
    DEPTH_SHIFT,
    MAX_PAIRS,
    MODE_SHIFT,
    TAINT_SHIFT,
    OpCode,
    ProvenanceInfo,
    _codec_int,
    mode_name,
)


class ProvenanceTracker:
    """VORTEL-32 provenance tracker with gradient taint model."""

    # Row-following mode (off by default, then left to this class
    # attribute so a directly built tracker keeps its documented
    # attributes): words follow their rows through pandas' row operations,
    # alignment, merges, concat, groupby and windows.
    _follow_rows = False

    def __init__(self, *, follow_rows: bool = False) -> None:
        self._id_to_name: dict[int, tuple[str, str]] = {}
        self._name_to_id: dict[tuple[str, str], int] = {}
        self._next_id: int = 0
        self._dense: dict[int, dict] = {}
        self._protected_tables: set[str] = set()
        self._protected_columns: set[tuple[str, str]] = set()
        self._rust = _hooks.word("RustProvenanceTracker")()
        if follow_rows:
            self._follow_rows = True

    # -- pickling -----------------------------------------------------------

    def __getstate__(self) -> dict:
        # The codec is native: its learnt state (names, protection, dense
        # signatures) travels in its place.
        state = self.__dict__.copy()
        state["_rust"] = self._rust.__getstate__()
        return state

    def __setstate__(self, state: dict) -> None:
        state = dict(state)
        codec_cls = _hooks.word("RustProvenanceTracker")
        codec = codec_cls.__new__(codec_cls)
        codec.__setstate__(state["_rust"])
        state["_rust"] = codec
        self.__dict__.update(state)

    # -- registry -----------------------------------------------------------

    def register(self, table, column, protected=False) -> int:
        """Pair ID of (table, column), registering it when new.

        A repeat returns the stored ID; ``protected=True`` on a repeat adds
        protection, never removes it.

        >>> ProvenanceTracker().register("people", "age")
        0
        """
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        protected = bool(protected)
        key = (table, column)
        pid = self._name_to_id.get(key)
        if pid is not None:
            if protected:
                self._protected_columns.add(key)
            self._rust.register(table, column, protected)
            return pid
        if self._next_id >= MAX_PAIRS:
            raise ValueError("Maximum " + str(MAX_PAIRS) + " pairs supported")
        pid = self._next_id
        self._id_to_name[pid] = key
        self._name_to_id[key] = pid
        self._next_id += 1
        if protected:
            self._protected_columns.add(key)
        self._rust.register(table, column, protected)
        return pid

    def register_table(self, table, columns, protected=False) -> list:
        """Register every column of ``columns`` under ``table``; IDs in that order."""
        check_exact(table, "table", str)
        check_exact(columns, "columns", list)
        return [self.register(table, c, protected) for c in columns]

    def get_name(self, pair_id):
        """(table, column) of a pair ID, or None when it is not registered."""
        return self._id_to_name.get(as_int(pair_id, "pair_id"))

    def get_id(self, table, column):
        """Pair ID of (table, column), or None when it is not registered."""
        check_exact(table, "table", str)
        check_exact(column, "column", str)
        return self._name_to_id.get((table, column))

    def is_protected(self, table, column=None) -> bool:
        """True when the table is wholly protected or (table, column) is.

        An empty or missing column consults only the protected tables.
        """
        check_exact(table, "table", str)
        check_exact(column, "column", str, allow_none=True)
        if table in self._protected_tables:
            return True
        if column:
            return (table, column) in self._protected_columns
        return False

    # -- words --------------------------------------------------------------

    def encode(self, pairs, entity=0, chain=0, taint=False, depth=0) -> int:
        """Word naming the pair IDs of ``pairs`` with the given header.

        >>> t = ProvenanceTracker(); t.get_mode(t.encode({3}))
        'EXACT-1'
        """
        check_exact(pairs, "pairs", set)
        entity = as_int(entity, "entity")
        chain = as_int(chain, "chain")
        depth = as_int(depth, "depth")
        result = _codec_int(
            self._rust.encode(sorted(pairs), entity, chain, bool(taint), depth), "encode")
        if len(pairs) >= 4:
            self._dense[result & _DENSE_SIG_MASK] = {
                "pairs": frozenset(pairs), "entity": entity, "chain": chain}
        return result

    def decode(self, provenance) -> set:
        """Set of pair IDs named by a word."""
        return self.decode_full(provenance).pairs

    def decode_full(self, provenance) -> ProvenanceInfo:
        """Everything a word holds, as a :class:`ProvenanceInfo`."""
        provenance = as_int(provenance, "provenance")
        d = self._rust.decode_full(provenance & _WORD_MASK)
        info = ProvenanceInfo(
            pairs=set(d["pairs"]),
            entity=d["entity"],
            chain=d["chain"],
            taint=d["taint"],
            depth=d["depth"],
            mode=d["mode"],
        )
        # The mode is named from the header, as get_mode names it: the
        # codec's own name ("UNKNOWN") differs for dense words it never
        # issued, and audits must not answer two ways for one word.
        return info._replace(mode=mode_name(provenance & _WORD_MASK))

    @staticmethod
    def read_header(provenance) -> tuple:
        """(mode, taint, depth) of a word.

        >>> ProvenanceTracker.read_header(0xFC000000)
        (3, True, 7)
        """
        p = as_int(provenance, "provenance")
        return ((p >> MODE_SHIFT) & 3, bool((p >> TAINT_SHIFT) & 1), (p >> DEPTH_SHIFT) & 7)

    @staticmethod
    def is_tainted(provenance) -> bool:
        """True when the word derives from a protected attribute."""
        return bool((as_int(provenance, "provenance") >> TAINT_SHIFT) & 1)

    @staticmethod
    def get_depth(provenance) -> int:
        """Derivation depth (0-7) of a word."""
        return (as_int(provenance, "provenance") >> DEPTH_SHIFT) & 7

    @staticmethod
    def risk_score(provenance) -> float:
        """taint / (1 + depth): 0.0 for untainted words, 1.0 at depth 0.

        >>> ProvenanceTracker.risk_score(1 << 29)
        1.0
        """
        p = as_int(provenance, "provenance")
        if not (p >> TAINT_SHIFT) & 1:
            return 0.0
        return 1.0 / (1.0 + ((p >> DEPTH_SHIFT) & 7))

    def get_mode(self, provenance) -> str:
        """Mode name: "EXACT-0", "EXACT-1", "EXACT-2", "EXACT-3" or "DENSE"."""
        return mode_name(as_int(provenance, "provenance"))

    # -- explanations -------------------------------------------------------

    def explain(self, provenance) -> list:
        """(table, column) names of a word's pairs in ascending ID order."""
        names = (self.get_name(i) for i in sorted(self.decode(provenance)))
        return [n for n in names if n is not None]

    def explain_full(self, provenance) -> dict:
        """Dict of names, IDs, entity, chain, taint, depth, risk, mode and hex form."""
        p = as_int(provenance, "provenance")
        info = self.decode_full(p)
        ids = sorted(info.pairs)
        names = [n for n in (self.get_name(i) for i in ids) if n is not None]
        return {
            "pairs": names,
            "pair_ids": ids,
            "entity": info.entity,
            "chain": info.chain,
            "taint": info.taint,
            "depth": info.depth,
            "risk": self.risk_score(p),
            "mode": info.mode,
            "provenance_hex": "0x%08X" % (p & _WORD_MASK),
        }

    def explain_tables(self, provenance) -> list:
        """Tables of :meth:`explain`, first occurrence only, in that order."""
        seen: list = []
        for table, _column in self.explain(provenance):
            if table not in seen:
                seen.append(table)
        return seen

    def has_protected(self, provenance) -> bool:
        """True when any named pair of the word is protected."""
        return any(self.is_protected(t, c) for t, c in self.explain(provenance))

    # -- algebra ------------------------------------------------------------

    def combine(self, prov_a, prov_b, op=OpCode.ADD) -> int:
        """Word of a two-operand result: pairs united, entity XOR, chain
        advanced by ``op``, taint OR, depth max + 1 (saturating at 7)."""
        a = as_int(prov_a, "prov_a") & _WORD_MASK
        b = as_int(prov_b, "prov_b") & _WORD_MASK
        return _codec_int(self._rust.combine(a, b, as_int(op, "op")), "combine")

    def update_chain(self, provenance, op) -> int:
        """Word after a one-operand step: only the chain changes."""
        p = as_int(provenance, "provenance") & _WORD_MASK
        return _codec_int(self._rust.update_chain(p, as_int(op, "op")), "update_chain")

    def contains(self, provenance, pair_id) -> bool:
        """True when the word names ``pair_id``."""
        return as_int(pair_id, "pair_id") in self.decode(provenance)

    def contains_table(self, provenance, table) -> bool:
        """True when a pair of ``table`` is among the word's named pairs."""
        check_exact(table, "table", str)
        return table in self.explain_tables(provenance)

    def entity_from_row(self, row_id) -> int:
        """32-bit entity hash of a row key (see :func:`_hash_entity`)."""
        return _hooks.word("_hash_entity")(row_id)

    def stats(self) -> dict:
        """Counts of registered pairs and dense entries, and the protection sets."""
        return {
            "registered_pairs": self._next_id,
            "dense_entries": len(self._dense),
            "protected_tables": list(self._protected_tables),
            "protected_columns": [t + "." + c for t, c in self._protected_columns],
            "encoding": "VORTEL-32",
        }

