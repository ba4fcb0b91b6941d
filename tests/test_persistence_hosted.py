"""HostedStorage on the wire: standard JSON bodies and one idempotency key per
batch across the client's and the writer's retries, against real lineage
service processes on 127.0.0.1."""
from __future__ import annotations

import json
import math
import os
import select
import sqlite3
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from morvel.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    SQLiteStorage,
    StoredRowValue,
    WriterConfig,
)
from morvel.utilities.persistence.hosted import encode_body
from morvel.utilities.persistence.service import LineageService

SRC = str(Path(__file__).resolve().parents[1] / "src")
KEY = "hosted-key"

# A lineage service process whose store applies its first batch of row values
# slowly (the delay is a property of this test's store, not of the service).
SLOW_SERVICE = textwrap.dedent(
    """
    import sys, threading, time
    from morvel.utilities.persistence import SQLiteStorage
    from morvel.utilities.persistence.service import LineageService

    class SlowFirstBatch(SQLiteStorage):
        def __init__(self, path, delay):
            super().__init__(path)
            self.delay, self.first, self.lock = delay, True, threading.Lock()

        def store_row_values(self, values):
            with self.lock:
                first, self.first = self.first, False
            if first:
                time.sleep(self.delay)
            super().store_row_values(values)
            if first:
                print("first batch applied", flush=True)

    store = SlowFirstBatch(sys.argv[1], float(sys.argv[2]))
    store.connect()
    service = LineageService(store, {sys.argv[3]: "acme"}, port=0)
    print(service.url, flush=True)
    service.serve_forever()
    """
)


@pytest.fixture
def slow_service(tmp_path):
    """(url, database path, wait) of a service process whose first row-value
    batch takes 1.5 s to apply; ``wait()`` returns once it is applied."""
    db = tmp_path / "slow.db"
    proc = subprocess.Popen(
        [sys.executable, "-c", SLOW_SERVICE, str(db), "1.5", KEY],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=dict(os.environ, PYTHONPATH=SRC),
    )
    try:
        url = proc.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:"), url + proc.stderr.read()

        def wait() -> None:
            ready, _, _ = select.select([proc.stdout], [], [], 30)
            assert ready and proc.stdout.readline().strip() == "first batch applied"

        yield url, db, wait
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def stored_row_values(db: Path, pipeline_id: int) -> list:
    con = sqlite3.connect(db)
    try:
        return con.execute("SELECT row_index, value FROM row_values WHERE pipeline_id = ? ORDER BY id",
                           (pipeline_id,)).fetchall()
    finally:
        con.close()


def test_a_batch_timed_out_by_both_retry_layers_is_stored_once(slow_service):
    """The client gives up on the slow first try (two tries of 0.4 s each),
    the writer tries the batch again: every try carries the batch's one key,
    so the service answers the retry with the first application's reply."""
    url, db, wait = slow_service
    client = HostedStorage(url, KEY, "acme", timeout=0.4, max_attempts=2, retry_base_delay=0.05)
    client.connect()
    pid = client.create_pipeline(pipeline_name="slow")
    writer = AsyncWriter(client, WriterConfig(batch_size=10_000, flush_interval=0.05, max_attempts=10,
                                              retry_base_delay=0.2, retry_max_delay=0.5))
    writer.start()
    try:
        writer.write_row_values([StoredRowValue(pid, i, 7, "add", float(i), "score", "acme") for i in range(100)])
        assert writer.flush(timeout=60)
    finally:
        assert writer.stop(timeout=60)
        client.disconnect()
    wait()  # the first try has been applied by now, whatever the client saw
    stats = writer.get_stats()
    assert stats["retries"] >= 1, "the writer's own retry layer was not exercised"
    assert stats["row_values_stored"] == 100 and stats["row_values_failed"] == 0
    assert stored_row_values(db, pid) == [(i, float(i)) for i in range(100)]


def test_separate_batches_are_not_mistaken_for_retries(slow_service):
    """Two different batches with equal contents are two requests: both are
    stored, within one scope (different calls) and across scopes."""
    url, db, wait = slow_service
    client = HostedStorage(url, KEY, "acme")
    client.connect()
    pid = client.create_pipeline(pipeline_name="twice")
    batch = [StoredRowValue(pid, 0, 7, "add", 1.0, "score", "acme")]
    client.store_row_values(batch)  # the slow first batch, not timed out
    wait()
    with client.idempotency_scope():
        client.store_row_values(batch)
    with client.idempotency_scope():
        client.store_row_values(batch)
    client.store_row_values(batch)
    client.disconnect()
    assert stored_row_values(db, pid) == [(0, 1.0)] * 4


def test_idempotency_scope_keys(tmp_path):
    client = HostedStorage("http://127.0.0.1:9", KEY)
    assert client._key("POST", "/v1/x", b"1") != client._key("POST", "/v1/x", b"1")  # no scope: fresh keys
    with client.idempotency_scope("outer") as outer:
        a = client._key("POST", "/v1/x", b"1")
        with client.idempotency_scope() as inner:
            b = client._key("POST", "/v1/x", b"1")
        assert client._key("POST", "/v1/x", b"1") == a  # the outer scope is back
        assert client._key("POST", "/v1/y", b"1") != a and client._key("POST", "/v1/x", b"2") != a
    assert outer == "outer" and inner != outer and a.startswith("outer.") and b.startswith(inner + ".")
    assert len(a) <= 200  # the service's limit on key length
    for bad in ("", "has space", "x" * 101, "é"):
        with pytest.raises(ValueError, match="printable ASCII"):
            with client.idempotency_scope(bad):
                pass


# -- standard JSON -------------------------------------------------------------


def _strict_loads(text: str):
    def refuse(token):
        raise AssertionError(f"non-standard JSON token {token}")

    return json.loads(text, parse_constant=refuse)


def _expected(value):
    """What a reader gets back: NaN as None, everything else as it was."""
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, dict):
        return {k: _expected(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_expected(v) for v in value]
    return value


_payloads = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64) | st.floats() | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(max_size=8), inner, max_size=5),
    max_leaves=20,
)


@given(_payloads)
def test_bodies_are_standard_json_that_reads_back_with_nan_as_null(payload):
    text = encode_body(payload).decode("utf-8")
    assert _strict_loads(text) == _expected(payload)


@pytest.mark.parametrize("value, sent", [
    (np.float32("nan"), "null"), (np.float64("inf"), "1e999"), (np.float32("-inf"), "-1e999"),
    (np.float64(0.5), "0.5"), (np.int64(-3), "-3"), (np.uint32(2**32 - 1), "4294967295"),
])
def test_numbers_of_other_libraries_are_sent_as_standard_numbers(value, sent):
    assert encode_body({"v": [value]}) == b'{"v":[' + sent.encode() + b"]}"


@pytest.fixture
def service(tmp_path):
    store = SQLiteStorage(tmp_path / "svc.db")
    store.connect()
    svc = LineageService(store, {KEY: "acme"}, port=0).start()
    yield svc, store
    svc.stop()
    store.disconnect()


def test_nan_and_infinite_values_reach_the_store_as_through_sqlite(service, tmp_path):
    """Row values and results with NaN and infinities, sent through the
    service, are stored as SQLiteStorage stores them directly."""
    svc, store = service
    values = [float("nan"), float("inf"), float("-inf"), np.float32("nan"), np.float64("inf"), 2.5, None]
    direct = SQLiteStorage(tmp_path / "direct.db")
    direct.connect()
    client = HostedStorage(svc.url, KEY, "acme")
    client.connect()
    for target, db in ((client, store), (direct, direct)):
        pid = target.create_pipeline("nan")
        target.store_row_values([StoredRowValue(pid, i, 1, "div", v, "r", "acme") for i, v in enumerate(values)])
        target.store_results(pid, [(str(i), "r", 1, v, None) for i, v in enumerate(values)])
        rows = db._db().execute("SELECT value FROM row_values WHERE pipeline_id = ? ORDER BY row_index",
                                (pid,)).fetchall()
        results = db._db().execute("SELECT value FROM results WHERE pipeline_id = ? ORDER BY row_key",
                                   (pid,)).fetchall()
        assert [r[0] for r in rows] == [r[0] for r in results] == [None, math.inf, -math.inf, None, math.inf,
                                                                    2.5, None]
    client.disconnect()
    direct.disconnect()


def test_a_payload_json_cannot_carry_still_fails_clearly():
    with pytest.raises(TypeError, match="not JSON serializable"):
        encode_body({"v": [float("nan"), object()]})


def test_row_values_and_results_go_on_the_wire_as_standard_json():
    """What the client really sends, read by a strict JSON reader."""
    import http.server
    import threading

    bodies = []

    class Recorder(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 - name given by BaseHTTPRequestHandler
            bodies.append(self.rfile.read(int(self.headers["Content-Length"])).decode("utf-8"))
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"{}")

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        client = HostedStorage(f"http://127.0.0.1:{server.server_address[1]}", KEY)
        client.store_row_values([StoredRowValue(1, 0, 1, "div", np.float64("nan"), "r", None),
                                 StoredRowValue(1, 1, 1, "div", float("-inf"), "r", None)])
        client.store_results(1, [("a", "r", 1, np.float32("nan"), None), ("b", "r", 1, float("inf"), None)])
        client.disconnect()
    finally:
        server.shutdown()
        server.server_close()
    rows, results = (_strict_loads(b) for b in bodies)
    assert [r[4] for r in rows["row_values"]] == [None, -math.inf]
    assert [r[3] for r in results["rows"]] == [None, math.inf]
