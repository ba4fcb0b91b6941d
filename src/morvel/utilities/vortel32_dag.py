"""DAG lineage for VORTEL-32 provenance.

A :class:`DAGTracker` keeps a bounded, in-memory operation log: every
element-level operation on a DAG-tracked Series becomes a node of a
computation graph, so that the derivation of any single result value can be
rebuilt, queried and exported (dict, JSON, Graphviz DOT), and optionally
persisted to a storage backend or streamed to the lineage service.

This module is the public face of the lineage layer; the code lives in the
private package ``_dag`` (records, node store, tracker, live persistence,
row values, bulk bridge, audits) and in ``_frames.dag`` (the DAG-tracked
pandas types).  Attributes that callers replace at run time
(``_sync_urlopen``, ``_lineage``, ``_native_eviction``) are looked up here
on every use.
"""
from __future__ import annotations

import collections
import hashlib
import json
import logging
import threading
import types as _types
import urllib.parse
import urllib.request
import warnings
from dataclasses import dataclass, field
from enum import Enum, auto
from typing import Any, Dict, List, Optional

import numpy as np
import pandas as pd

from morvel.utilities import vortel32
from morvel.utilities._argcheck import as_int, check_exact, type_error
from morvel.utilities._dag import audits as _audits_module
from morvel.utilities._dag import bulk as _bulk_module
from morvel.utilities._dag import live as _live_module
from morvel.utilities._dag import records as _records_module
from morvel.utilities._dag import tracker as _tracker_module
from morvel.utilities._dag.audits import (
    _NO_SERIES,
    combine_provenances,
    dag_audit,
    get_dag_for_series,
    word_report,
)
from morvel.utilities._dag.bulk import (
    _BINARY_METHODS,
    _PENDING,
    _STOCK,
    _STOCK_HASH_ENTITY,
    _STOCK_NAMES,
    _UNARY_METHODS,
    _WRAP_METHODS,
    NO_NODE,
    _bulk_ids,
    _bulk_words,
    _eviction_source,
    _lineage,
    _log_nodes_live,
    _native_eviction,
    _padded,
    _plain_store,
    _record_wrapped_values,
    _row_values_by_column,
    _safe_label,
    _static_attr,
    _stock_tracker,
    _wrap_bulk_ok,
    _wrap_columns_bulk,
)
from morvel.utilities._dag.live import (
    _as_float,
    _first_per_fingerprint,
    _NoRedirect,
    _resolved_edges,
    _stored_node,
    _sync_urlopen,
    logger,
)
from morvel.utilities._dag.records import (
    ComputationDAG,
    DAGEdge,
    DAGNode,
    NodeType,
    _dot_text,
)
from morvel.utilities._dag.tracker import DAGTracker
from morvel.utilities._dag.values import (
    _append_row_values,
    _group_records,
    _hand_over,
    _kept_tail,
    _live_group,
    _live_records,
    _numeric_values,
    _record_loop,
    _record_values_after,
    _records_before_hand_over,
    _records_cleanly,
    _ValueGroup,
)
from morvel.utilities._facade import doctest_table
from morvel.utilities._frames import dag as _frames_module
from morvel.utilities._frames.base import (
    _copy_array,
    _ge,
    _gt,
    _hashable_key,
    _le,
    _lt,
    _neg,
    _swapped,
)
from morvel.utilities._frames.dag import (
    _ENTITY_MOD,
    DAGTrackedDataFrame,
    DAGTrackedSeries,
    _new_series,
    _row_entities,
    wrap_dataframe_dag,
)
from morvel.utilities._word.layout import (
    MAX_PAIRS,
    MODE_01_CHAIN_BITS,
    MODE_01_ENTITY_BITS,
    OpCode,
    _hash_entity,
)
from morvel.utilities._word.tracker import ProvenanceTracker

__all__ = [
    "NodeType", "DAGNode", "DAGEdge", "ComputationDAG", "DAGTracker",
    "DAGTrackedSeries", "DAGTrackedDataFrame", "wrap_dataframe_dag", "NO_NODE",
    "get_dag_for_series", "word_report", "dag_audit", "combine_provenances",
]

# Earlier names of the shared element operations.
_negate = _neg
_greater = _gt
_less = _lt
_greater_equal = _ge
_less_equal = _le

# Names this module has always offered besides ``__all__`` (private helpers
# and the libraries it uses), kept importable from here.
_KEPT = (
    collections, hashlib, json, logging, threading, _types, urllib, warnings, dataclass,
    field, Enum, auto, Any, Dict, List, Optional, np, pd, vortel32, as_int, check_exact,
    type_error, logger, _NO_SERIES, _BINARY_METHODS, _PENDING, _STOCK, _STOCK_HASH_ENTITY,
    _STOCK_NAMES, _UNARY_METHODS, _WRAP_METHODS, _bulk_ids, _bulk_words, _eviction_source,
    _lineage, _log_nodes_live, _native_eviction, _padded, _plain_store,
    _record_wrapped_values, _row_values_by_column, _safe_label, _static_attr, _stock_tracker,
    _wrap_bulk_ok, _wrap_columns_bulk, _as_float, _first_per_fingerprint, _NoRedirect,
    _resolved_edges, _stored_node, _sync_urlopen, _dot_text, _append_row_values,
    _group_records, _hand_over, _kept_tail, _live_group, _live_records, _numeric_values,
    _record_loop, _record_values_after, _records_before_hand_over, _records_cleanly,
    _ValueGroup, _copy_array, _hashable_key, _swapped, _ENTITY_MOD, _new_series,
    _row_entities, MAX_PAIRS, MODE_01_CHAIN_BITS, MODE_01_ENTITY_BITS, OpCode, _hash_entity,
    ProvenanceTracker,
)

__test__ = doctest_table(_records_module, _tracker_module, _live_module, _bulk_module,
                         _audits_module, _frames_module)
