"""The documented docstrings are exactly the documented texts, so that
``help()`` and generated references show what the documentation promises."""
from __future__ import annotations

import inspect

import pytest

from morvel.utilities import vortel32 as v
from morvel.utilities import vortel32_dag as d

EXACT = [
    (v.ProvenanceTracker, "VORTEL-32 provenance tracker with gradient taint model."),
    (v.OpCode, "Operation codes for chain hash computation."),
    (v.ProvenanceInfo, "Full decoded provenance — includes taint and depth from header."),
    (v.TrackedSeries, "Pandas Series with VORTEL-32 provenance (taint + depth aware)."),
    (v.TrackedDataFrame, "Pandas DataFrame with VORTEL-32 provenance."),
    (v.wrap_dataframe, "Wrap a DataFrame with VORTEL-32 provenance. Sets taint for protected columns."),
    (d.NodeType, "Types of nodes in the computation DAG."),
    (d.DAGEdge, "An edge in the computation DAG."),
    (d.DAGTrackedSeries, "Pandas Series with DAG-tracked provenance."),
    (d.DAGTrackedDataFrame, "Pandas DataFrame with DAG-tracked provenance."),
    (d.DAGTracker.record_row_value, "Buffer a per-row value for later persistence."),
    (d.DAGTracker.flush, "Flush all pending writes to database."),
    (d.DAGTracker.disable_persistence, "Disable persistence and close connections."),
    (d.DAGTracker._persist_dag_to_storage, "Persist deduplicated nodes and edges to storage."),
    (d.DAGTracker._sync_to_dashboard, "Sync pipeline results to dashboard tables via the API."),
    (d.DAGTracker._start_new_pipeline,
     "Start a new pipeline for the next run after a flush/sync cycle."),
    (d.DAGTracker.get_persistence_stats, "Get statistics about persistence operations."),
]

OPENINGS = [
    (v, "VORTEL-32: 32-bit Provenance Encoding with Gradient Taint Model."),
    (d.DAGNode, "A node in the computation DAG."),
    (d.ComputationDAG, "Complete computation graph for a result value."),
    (d.DAGTrackedSeries._apply_tracked_unary,
     "Apply a tracked unary operation, updating provenance for each element."),
]


@pytest.mark.parametrize("obj, text", EXACT, ids=lambda x: getattr(x, "__qualname__", None))
def test_documented_docstring_is_exact(obj, text):
    assert obj.__doc__ == text


@pytest.mark.parametrize("obj, text", OPENINGS, ids=lambda x: getattr(x, "__qualname__", None))
def test_documented_docstring_opening(obj, text):
    assert inspect.getdoc(obj).startswith(text)
