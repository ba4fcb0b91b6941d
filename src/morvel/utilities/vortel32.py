"""VORTEL-32: 32-bit Provenance Encoding with Gradient Taint Model.

Every tracked value carries one 32-bit provenance word: a six-bit header
(mode, taint bit, derivation depth) and a 26-bit payload naming the source
(table, column) pairs, a row-entity hash and a computation-chain hash.

This module is the public face of the word layer; the code lives in private
modules by job (``_word`` for the layout, tracker and audits, ``_frames``
for the tracked pandas types).  Attributes that callers replace at run time
(the codec functions, ``_hash_entity``) are looked up here on every use.
"""
from __future__ import annotations

import math
import operator
import sys
import types
from typing import NamedTuple

import numpy as np
import pandas as pd
from pandas.core.internals.managers import SingleBlockManager

from morvel.utilities._argcheck import as_int, check_exact
from morvel.utilities._facade import doctest_table
from morvel.utilities._frames import base as _base_module
from morvel.utilities._frames import plain as _plain_module
from morvel.utilities._frames.base import (
    _EMPTY_WORDS,
    _add,
    _called_by_pandas,
    _concat_inputs,
    _copy_words,
    _floordiv,
    _fresh,
    _ge,
    _gt,
    _hashable,
    _le,
    _lt,
    _mul,
    _neg,
    _pow,
    _radd,
    _rmul,
    _rsub,
    _rtruediv,
    _sub,
    _truediv,
    _words,
)
from morvel.utilities._frames.plain import (
    _PLAIN_KINDS,
    TrackedDataFrame,
    TrackedSeries,
    _finalize_series_concat,
    _index_entities,
    _merged_col_prov,
    _stock_entity_hash,
    _tracked,
    wrap_dataframe,
)
from morvel.utilities._word import audits as _audits_module
from morvel.utilities._word import layout as _layout_module
from morvel.utilities._word import tracker as _tracker_module
from morvel.utilities._word.audits import (
    _NO_DATA,
    _risk_level,
    audit,
    audit_series_diversity,
    column_risk_report,
    provenance_entropy,
)
from morvel.utilities._word.layout import (
    _DENSE_SIG_MASK,
    _WORD_MASK,
    OpCode,
    ProvenanceInfo,
    RustProvenanceTracker,
    _codec_int,
    _hash_entity,
    combine_batch,
    encode_source_column,
    explain_batch,
    hash_entities,
    is_tainted_batch,
    mode_name,
    risk_score_batch,
    update_chain_batch,
)
from morvel.utilities._word.tracker import ProvenanceTracker

# The layout constants, bound in their documented order.
MAX_PAIRS = _layout_module.MAX_PAIRS
MODE_01 = _layout_module.MODE_01
MODE_2 = _layout_module.MODE_2
MODE_3 = _layout_module.MODE_3
MODE_DENSE = _layout_module.MODE_DENSE
HEADER_BITS = _layout_module.HEADER_BITS
PAYLOAD_BITS = _layout_module.PAYLOAD_BITS
MODE_SHIFT = _layout_module.MODE_SHIFT
TAINT_SHIFT = _layout_module.TAINT_SHIFT
DEPTH_SHIFT = _layout_module.DEPTH_SHIFT
PAYLOAD_MASK = _layout_module.PAYLOAD_MASK
MODE_01_PAIR_BITS = _layout_module.MODE_01_PAIR_BITS
MODE_01_ENTITY_BITS = _layout_module.MODE_01_ENTITY_BITS
MODE_01_CHAIN_BITS = _layout_module.MODE_01_CHAIN_BITS
MODE_2_PAIR_BITS = _layout_module.MODE_2_PAIR_BITS
MODE_2_ENTITY_BITS = _layout_module.MODE_2_ENTITY_BITS
MODE_2_CHAIN_BITS = _layout_module.MODE_2_CHAIN_BITS
MODE_3_PAIR_BITS = _layout_module.MODE_3_PAIR_BITS
MODE_DENSE_SIG_BITS = _layout_module.MODE_DENSE_SIG_BITS
MAX_DEPTH = _layout_module.MAX_DEPTH

__all__ = [
    # layout of the word
    "MAX_PAIRS", "MODE_01", "MODE_2", "MODE_3", "MODE_DENSE", "HEADER_BITS", "PAYLOAD_BITS",
    "MODE_SHIFT", "TAINT_SHIFT", "DEPTH_SHIFT", "PAYLOAD_MASK", "MODE_01_PAIR_BITS",
    "MODE_01_ENTITY_BITS", "MODE_01_CHAIN_BITS", "MODE_2_PAIR_BITS", "MODE_2_ENTITY_BITS",
    "MODE_2_CHAIN_BITS", "MODE_3_PAIR_BITS", "MODE_DENSE_SIG_BITS", "MAX_DEPTH",
    "OpCode", "ProvenanceInfo", "mode_name",
    # codec
    "RustProvenanceTracker", "combine_batch", "update_chain_batch", "encode_source_column",
    "is_tainted_batch", "risk_score_batch", "explain_batch", "hash_entities",
    # tracker, tracked types, audits
    "ProvenanceTracker", "TrackedSeries", "TrackedDataFrame", "wrap_dataframe",
    "audit", "audit_series_diversity", "provenance_entropy", "column_risk_report",
]

# Names this module has always offered besides ``__all__`` (private helpers
# and the libraries it uses), kept importable from here.
_KEPT = (
    math, operator, sys, types, NamedTuple, np, pd, SingleBlockManager, as_int, check_exact,
    _EMPTY_WORDS, _PLAIN_KINDS, _DENSE_SIG_MASK, _WORD_MASK, _NO_DATA, _add, _sub, _mul,
    _truediv, _floordiv, _pow, _radd, _rsub, _rmul, _rtruediv, _neg, _gt, _lt, _ge, _le,
    _fresh, _words, _copy_words, _tracked, _concat_inputs, _finalize_series_concat,
    _merged_col_prov, _hashable, _called_by_pandas, _stock_entity_hash, _index_entities,
    _risk_level, _codec_int, _hash_entity,
)

__test__ = doctest_table(_layout_module, _tracker_module, _base_module, _plain_module,
                         _audits_module)
