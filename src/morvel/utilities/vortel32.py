"""VORTEL-32: 32-bit Provenance Encoding with Gradient Taint Model.

Every tracked value carries one 32-bit provenance word: a six-bit header
(mode, taint bit, derivation depth) and a 26-bit payload naming the source
(table, column) pairs, a row-entity hash and a computation-chain hash.
"""
from __future__ import annotations

# ---------------------------------------------------------------------------
# Codec binding, layout constants, OpCode, ProvenanceInfo, ProvenanceTracker
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# Tracked Series and DataFrames, wrap_dataframe
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# Audits and risk reports
# ---------------------------------------------------------------------------
