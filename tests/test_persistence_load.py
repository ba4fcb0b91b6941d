"""Load: 100,000 nodes, 200,000 edges and 500,000 row values through
AsyncWriter, into SQLite directly and through the lineage service."""
import pytest

from morvel.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    SQLiteStorage,
    StoredEdge,
    StoredNode,
    StoredRowValue,
    WriterConfig,
)
from morvel.utilities.persistence.service import LineageService

NODES, EDGES, ROW_VALUES = 100_000, 200_000, 500_000


def push(writer, pid):
    """Nodes 0..N-1, each (from 2 on) with edges from its two predecessors
    plus two extra edges on the first nodes to reach exactly EDGES; row
    values handed over in lists of 5000, as the tracker does."""
    for fp in range(NODES):
        writer.write_node(StoredNode(fingerprint=fp, node_type="BINARY", operation="add", table_name=None,
                                     column_name=None, pair_id=None, is_protected=False, pipeline_id=pid))
        if fp >= 2:
            writer.write_edges([StoredEdge(fp - 1, fp, 0), StoredEdge(fp - 2, fp, 1)])
    writer.write_edges([StoredEdge(0, 1, 0), StoredEdge(0, 1, 1), StoredEdge(1, 0, 0), StoredEdge(1, 0, 1)])
    buf = []
    for i in range(ROW_VALUES):
        buf.append(StoredRowValue(pid, i, i % NODES, "add", float(i), "c", None, None))
        if len(buf) == 5000:
            writer.write_row_values(buf)
            buf = []


def check(db, writer, pid):
    counts = db.count_rows(pid)
    assert (counts["nodes"], counts["edges"], counts["row_values"]) == (NODES, EDGES, ROW_VALUES)
    stats = writer.get_stats()
    assert (stats["nodes_stored"], stats["edges_stored"], stats["row_values_stored"]) == (NODES, EDGES, ROW_VALUES)
    assert (stats["nodes_queued"], stats["edges_queued"], stats["row_values_queued"]) == (NODES, EDGES, ROW_VALUES)
    assert stats["failures"] == 0 and stats["queued"] == 0


@pytest.mark.parametrize("through_service", [False, True], ids=["sqlite", "service"])
def test_load(tmp_path, through_service):
    db = SQLiteStorage(tmp_path / "load.db")
    db.connect()
    svc = LineageService(db, {"k": "acme"}, port=0).start() if through_service else None
    try:
        backend = HostedStorage(svc.url, "k", "acme") if svc else db
        backend.connect()
        pid = backend.create_pipeline(pipeline_name="load", config=None, git_commit=None, tenant_id="acme")
        writer = AsyncWriter(backend, WriterConfig(batch_size=1000, flush_interval=0.2, queue_size=10000))
        writer.start()
        push(writer, pid)
        assert writer.flush(timeout=300)
        assert writer.stop(timeout=60)
        check(db, writer, pid)
    finally:
        if svc:
            svc.stop()
        db.disconnect()
