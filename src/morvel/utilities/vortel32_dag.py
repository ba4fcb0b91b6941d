"""DAG lineage for VORTEL-32 provenance.

A :class:`DAGTracker` keeps a bounded, in-memory operation log: every
element-level operation on a DAG-tracked Series becomes a node of a
computation graph, so that the derivation of any single result value can be
rebuilt, queried and exported (dict, JSON, Graphviz DOT), and optionally
persisted to a storage backend or streamed to the lineage service.
"""
from __future__ import annotations

# ---------------------------------------------------------------------------
# DAG records: NodeType, DAGNode, DAGEdge, ComputationDAG
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAGTracker: node store, operation log, graph queries
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAGTracker: persistence, flush cycle and dashboard sync
# (methods are attached inside the class body above; this banner marks where
# the persistence helpers that are not methods live)
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAG-tracked Series and DataFrames, wrap_dataframe_dag
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# DAG audits
# ---------------------------------------------------------------------------
