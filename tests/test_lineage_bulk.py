"""Node blocks and output values in bulk: saved at the end or live, to the
embedded store or through a real lineage service process on 127.0.0.1;
the service's bulk endpoints refusing what they must; the native bulk
reads against brute-force references."""
from __future__ import annotations

import http.client
import json
import os
import re
import sqlite3
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import morvel
from morvel import cli
from morvel.utilities import _lineage_bulk as bulk
from morvel.utilities._columnar_store import (
    BLOCK_SIZE,
    ColumnarStore,
    SavedLineage,
    _block_row,
    _saved_block_row,
)
from morvel.utilities._lineage_db import find_value
from morvel.utilities.vortel32_dag import NodeType
from test_dag_persistence import Service as ServiceProcess

KEY, OTHER = "bulk-key-1", "bulk-key-2"


class Service(ServiceProcess):
    """``morvel.utilities.persistence.service`` as a process (tenant
    "default" for KEY, "other" for OTHER)."""

    def __init__(self, db, port=0, max_body=None):
        self.max_body = max_body
        super().__init__(db, port)

    def options(self):
        extra = [] if self.max_body is None else ["--max-body-bytes", str(self.max_body)]
        return ["--api-key", KEY, "--api-key", OTHER + ":other", *extra]

    def declare(self, path, length):
        """Status of a POST that announces ``length`` bytes and sends none
        (the service must refuse it from the headers alone)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.putrequest("POST", path)
            for name, value in (("Authorization", "Bearer " + KEY), ("Content-Type", "application/octet-stream"),
                                ("Content-Length", str(length))):
                conn.putheader(name, value)
            conn.endheaders()
            return conn.getresponse().status
        finally:
            conn.close()

    def post(self, path, body, key=KEY, content_type="application/octet-stream"):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("POST", path, body=body, headers={"Authorization": "Bearer " + key,
                                                           "Content-Type": content_type})
            reply = conn.getresponse()
            return reply.status, json.loads(reply.read() or b"null")
        finally:
            conn.close()


@pytest.fixture
def service(tmp_path):
    svc = Service(tmp_path / "service.db")
    yield svc
    svc.stop()


def frame(n, seed=3):
    rng = np.random.default_rng(seed)
    a = rng.normal(0, 3, n).round(1)
    a[rng.random(n) < 0.2] = np.nan
    return pd.DataFrame({"a": a, "b": rng.normal(0, 1, n).round(2), "g": rng.integers(0, 2, n)},
                        index=np.arange(100, 100 + n))


def steps(f):
    f = f.assign(a=f["a"].fillna(0))
    f = f.assign(r=(f["b"] / (f["a"].abs() + 1)).clip(0, 5))
    f = f.assign(s=f["a"] * 0.1 - f["r"] * 2 + f["g"])
    return f[f["s"] > -3]


def run(p, n, seed=3):
    out = p.output(steps(p.track(frame(n, seed), "people", protected=["g"])))
    return out


def saved(db, pipeline_id):
    """Header, blocks and value chunks of the store a pipeline saved, as
    comparable tuples (store ids left out)."""
    conn = sqlite3.connect(db)
    try:
        [(store_id, first, nxt, texts, attrs, sources)] = conn.execute(
            "SELECT id, first_id, next_id, texts, attrs, sources FROM lineage_stores WHERE pipeline_id = ? "
            "AND next_id > first_id", (pipeline_id,)).fetchall()
        blocks = conn.execute(
            f"SELECT block_no, base_id, node_count, linear, {', '.join(bulk.COLUMNS + bulk.SPARSE)} "
            "FROM lineage_blocks WHERE store_id = ? ORDER BY block_no", (store_id,)).fetchall()
        values = conn.execute(
            "SELECT output_no, column_name, row_count, row_labels, node_ids, words, cell_values, first_row "
            "FROM lineage_values WHERE store_id = ? ORDER BY id", (store_id,)).fetchall()
        status = conn.execute("SELECT status FROM pipelines WHERE id = ?", (pipeline_id,)).fetchone()[0]
    finally:
        conn.close()
    return {"header": (first, nxt, json.loads(texts), json.loads(attrs), json.loads(sources)),
            "blocks": blocks, "values": values, "status": status, "store_id": store_id}


def assert_graphs_match(p, out, db, pipeline_id):
    """Every output value's saved graph (read back node by node) is the
    graph the pipeline holds, and find_value finds it by label."""
    conn = sqlite3.connect(db)
    try:
        store = saved(db, pipeline_id)["store_id"]
        lineage = SavedLineage(conn, store)
        for c in out.columns:
            nodes = np.asarray(out[c]._node_ids)
            pairs = list(zip(out.index, nodes.tolist()))
            for label, node_id in pairs[::max(1, len(pairs) // 12)]:
                assert lineage.get_dag(node_id).to_dict() == p.tracker.get_dag(node_id).to_dict()
                assert find_value(conn, c, str(label), pipeline_id)[1] == node_id
    finally:
        conn.close()


# -- saved live against saved at the end --------------------------------------


@pytest.mark.parametrize("where", ["sqlite", "service"])
def test_saved_live_equals_saved_at_the_end(where, tmp_path, request):
    n = 60_000  # about 300,000 nodes: four full blocks and a partial one
    ref_db = tmp_path / "end.db"
    with morvel.Pipeline("credit", lineage=True, store=str(ref_db)) as ref:
        ref_out = run(ref, n)
    if where == "sqlite":
        db = tmp_path / "live.db"
        target, key = str(db), None
    else:
        svc = request.getfixturevalue("service")
        db, target, key = svc.db, svc.url, KEY
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a live write that fails would warn
        with morvel.Pipeline("credit", lineage=True, store=target, api_key=key, live=True) as p:
            out = run(p, n)
            assert len(p.tracker._store) > 4 * BLOCK_SIZE
    expected, got = saved(ref_db, 1), saved(db, 1)
    assert got["blocks"] == expected["blocks"] and len(got["blocks"]) == 5
    assert got["values"] == expected["values"]
    assert got["header"] == expected["header"]
    assert got["status"] == expected["status"] == "completed"
    assert_graphs_match(p, out, db, 1)
    assert_graphs_match(ref, ref_out, ref_db, 1)


def wait_for_blocks(p, n, timeout=60.0):
    """Wait until the live writer of ``p`` has written ``n`` blocks."""
    import time

    deadline = time.monotonic() + timeout
    while p._live.saver.written < n:
        assert p._live.error is None and time.monotonic() < deadline, "no block was written live"
        time.sleep(0.02)


def test_live_blocks_are_written_while_the_pipeline_runs(tmp_path):
    db = tmp_path / "live.db"
    p = morvel.Pipeline("running", lineage=True, store=str(db), live=True)
    run(p, 60_000)
    wait_for_blocks(p, 1)
    p._live.stop()  # waits for the write under way, writes nothing more
    written = p._live.saver.written
    conn = sqlite3.connect(db)
    try:
        assert conn.execute("SELECT count(*) FROM lineage_blocks").fetchone()[0] == written
        # not finished yet: no reader takes the store for a saved one
        assert conn.execute("SELECT next_id - first_id FROM lineage_stores").fetchone()[0] == 0
    finally:
        conn.close()
    pid = p.save()
    assert saved(db, pid)["header"][1] == len(p.tracker._store)


# -- through the service against written directly -------------------------------


@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                              HealthCheck.too_slow])
@given(n=st.integers(1, 6000), seed=st.integers(0, 2**16), chunk=st.sampled_from([None, 7, 1000]))
def test_blocks_through_the_service_equal_blocks_written_directly(service, tmp_path_factory, n, seed, chunk,
                                                                  monkeypatch):
    if chunk is not None:
        monkeypatch.setattr(bulk, "VALUE_CHUNK_ROWS", chunk)
    db = tmp_path_factory.mktemp("direct") / "direct.db"
    direct = morvel.Pipeline("prop", lineage=True)
    run(direct, n, seed)
    pid_direct = direct.save(str(db))
    remote = morvel.Pipeline("prop", lineage=True, api_key=KEY)
    out = run(remote, n, seed)
    pid_remote = remote.save(service.url)
    a, b = saved(db, pid_direct), saved(service.db, pid_remote)
    assert (a["header"], a["blocks"], a["values"]) == (b["header"], b["blocks"], b["values"])
    assert summary(db, pid_direct) == summary(service.db, pid_remote)  # the per-word tables too
    label = out.index[len(out) // 2] if len(out) else None
    if label is not None:
        drawn = subprocess_free_graph(service.db, label, "s", pid_remote)
        assert drawn == remote.lineage(out["s"], row=label).to_graphviz().strip()


def summary(db, pipeline_id):
    """Node fingerprints and (parent, child, position) fingerprint edges of
    a pipeline's per-word tables."""
    conn = sqlite3.connect(db)
    try:
        nodes = sorted(r[0] for r in conn.execute("SELECT fingerprint FROM nodes WHERE pipeline_id = ?",
                                                  (pipeline_id,)))
        edges = sorted(conn.execute(
            "SELECT p.fingerprint, c.fingerprint, e.position FROM edges e JOIN nodes p ON p.id = e.parent_id "
            "JOIN nodes c ON c.id = e.child_id WHERE e.pipeline_id = ?", (pipeline_id,)).fetchall())
    finally:
        conn.close()
    return nodes, edges


def subprocess_free_graph(db, label, column, pipeline_id):
    """``morvel graph DB --row --column --pipeline`` output, run in-process."""
    import contextlib
    import io

    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        assert cli.main(["graph", str(db), "--row", str(label), "--column", column,
                         "--pipeline", str(pipeline_id)]) == 0
    return buf.getvalue().strip()


# -- the endpoints: tenants, states, retries, bodies -------------------------------


def store_blocks(n_nodes=BLOCK_SIZE + 10):
    s = ColumnarStore()
    src = s.create_source_node("t", "c", 5)
    s.log_nodes("neg", NodeType.UNARY, np.arange(n_nodes - 1, dtype=np.uint32) % 13,
                [np.full(n_nodes - 1, src)])
    return s


def opened(service, key=KEY):
    from morvel.utilities.persistence import HostedStorage

    client = HostedStorage(service.url, key)
    pid = client.create_pipeline("bulk")
    sid = client.open_lineage_store(pid, "bulk", 0)
    return client, pid, sid


def counts(db):
    conn = sqlite3.connect(db)
    try:
        return tuple(conn.execute(f"SELECT count(*) FROM {t}").fetchone()[0]
                     for t in ("lineage_blocks", "lineage_values"))
    finally:
        conn.close()


def blocks_body(store, sid, numbers):
    rows = [_block_row(sid, b, store._native.export_block(b)) for b in numbers]
    return bulk.encode_body(bulk.BLOCKS, sid, bulk.block_items(rows)), rows


def test_bulk_endpoints_check_tenant_and_state(service):
    from morvel.utilities.persistence import HostedStorageError

    store = store_blocks()
    client, pid, sid = opened(service)
    body, rows = blocks_body(store, sid, [0])
    path = f"/v1/pipelines/{pid}/lineage/blocks"
    assert service.post(path, body, key=OTHER)[0] == 404  # another tenant's pipeline
    assert service.post(path, body) == (200, {"stored": 1})
    assert service.post(path, body) == (200, {"stored": 0})  # a retry changes nothing
    other_rows = [rows[0][:5] + (rows[0][5][:-1] + b"\x07",) + rows[0][6:]]
    changed = bulk.encode_body(bulk.BLOCKS, sid, bulk.block_items(other_rows))
    assert service.post(path, changed)[0] == 409  # the same block with other content
    pid2 = client.create_pipeline("second")
    assert service.post(f"/v1/pipelines/{pid2}/lineage/blocks", body)[0] == 404  # store of another pipeline
    with pytest.raises(HostedStorageError) as early:  # block 1 missing: the store is not whole
        client.finish_lineage_store(pid, sid, store.next_id, [], [], [])
    assert early.value.status == 409
    client.store_lineage_blocks(pid, sid, [_block_row(sid, 1, store._native.export_block(1))])
    header = store._header()
    client.finish_lineage_store(pid, sid, header["next_id"], header["texts"], header["attrs"], header["sources"])
    client.complete_pipeline(pid)
    late, _ = blocks_body(store, sid, [1])
    assert service.post(path, late)[0] == 409  # completed pipeline
    with pytest.raises(HostedStorageError) as refused:
        client.open_lineage_store(pid, "again", 0)
    assert refused.value.status == 409
    # summary edges must join nodes of the pipeline named
    foreign = bulk.encode_body(bulk.EDGES, 0, [([], [np.array([[10**6, 10**6 + 1, 0]], "<i8").tobytes()])])
    assert service.post(f"/v1/pipelines/{pid2}/lineage/edges", foreign)[0] == 404
    client.complete_pipeline(pid2, "failed")
    assert service.post(f"/v1/pipelines/{pid2}/lineage/values", b"")[0] == 409
    assert counts(service.db) == (2, 0)


@pytest.mark.parametrize("spoil, endpoint", [
    (lambda b: b[:-5], "blocks"),                                      # truncated
    (lambda b: b[:-3] + bytes([b[-3] ^ 1]) + b[-2:], "blocks"),        # one byte of a column altered
    (lambda b: b, "values"),                                           # blocks sent as values
    (lambda b: b[:6] + (10**6).to_bytes(4, "little") + b[10:], "blocks"),  # header length beyond the body
    (lambda b: b[:200], "blocks"),                                     # cut inside the header
])
def test_spoiled_bodies_are_refused_and_nothing_is_written(service, spoil, endpoint):
    store = store_blocks(3 * BLOCK_SIZE)
    _, pid, sid = opened(service)
    body, _ = blocks_body(store, sid, [0, 1])
    code, reply = service.post(f"/v1/pipelines/{pid}/lineage/{endpoint}", spoil(body))
    assert code == 400 and reply["error"]
    assert counts(service.db) == (0, 0)


def test_a_block_whose_columns_disagree_is_refused_whole(service):
    """Checksummed but inconsistent (a column a byte short): refused before
    any block of the body is written."""
    store = store_blocks(3 * BLOCK_SIZE)
    _, pid, sid = opened(service)
    _, rows = blocks_body(store, sid, [0, 1])
    bad = rows[1][:5] + (rows[1][5][:-1],) + rows[1][6:]
    body = bulk.encode_body(bulk.BLOCKS, sid, bulk.block_items([rows[0], bad]))
    code, reply = service.post(f"/v1/pipelines/{pid}/lineage/blocks", body)
    assert code == 400 and "types" in reply["error"]
    assert counts(service.db) == (0, 0)


def test_content_types_and_the_size_limit(tmp_path):
    svc = Service(tmp_path / "small.db", max_body=3 << 19)
    try:
        store = store_blocks(3 * BLOCK_SIZE)
        client, pid, sid = opened(svc)
        body, rows = blocks_body(store, sid, [0, 1, 2])
        path = f"/v1/pipelines/{pid}/lineage/blocks"
        assert len(body) > 3 << 19  # over the limit: refused from the headers
        assert svc.declare(path, len(body)) == 413
        assert svc.post(path, body[:1000], content_type="application/json")[0] in (400, 415)
        assert svc.post("/v1/nodes", b"\x00\x01", content_type="application/octet-stream")[0] == 415
        assert counts(svc.db) == (0, 0)
        # the client keeps its bodies under a size the service takes
        client.bulk_body_bytes = 256 * 1024
        assert client.store_lineage_blocks(pid, sid, rows) == 3
        assert counts(svc.db) == (3, 0)
    finally:
        svc.stop()


# -- the live writer failing ----------------------------------------------------


def test_service_stopped_mid_run_warns_once_and_loses_no_node(service):
    p = morvel.Pipeline("flaky", lineage=True, store=service.url, api_key=KEY, live=True)
    f = p.track(frame(60_000), "people", protected=["g"])
    first = steps(f)
    wait_for_blocks(p, 1)  # some blocks are on the service
    port = service.port
    service.stop()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = p.output(steps(first.assign(a=first["a"] + 1)))
        for _ in range(3):
            steps(first)
        with pytest.raises(Exception):
            p.save()
    live_warnings = [w for w in caught if "live lineage writing" in str(w.message)]
    assert len(live_warnings) == 1
    service.start(port)
    pid = p.save()
    got = saved(service.db, pid)
    assert got["header"][1] == len(p.tracker._store) and got["status"] == "completed"
    assert sum(b[2] for b in got["blocks"]) == len(p.tracker._store)
    assert_graphs_match(p, out, service.db, pid)


def test_live_needs_a_lineage_pipeline_and_a_path_or_url():
    with pytest.raises(ValueError, match="lineage=True"):
        morvel.Pipeline("w", store="x.db", live=True)
    with pytest.raises(ValueError, match="store="):
        morvel.Pipeline("w", lineage=True, live=True)
    with pytest.raises(TypeError, match="Argument 'live' has incorrect type"):
        morvel.Pipeline("w", lineage=True, store="x.db", live=1)


# -- older files, native bulk reads ---------------------------------------------


def test_values_saved_as_json_text_by_older_versions_still_load(tmp_path):
    db = tmp_path / "old.db"
    with morvel.Pipeline("old", lineage=True, store=str(db)) as p:
        out = run(p, 300)
    conn = sqlite3.connect(db)
    try:
        # rewrite the values in the older form: JSON text, no first_row column
        rows = conn.execute("SELECT store_id, output_no, column_name, row_count, node_ids, words "
                            "FROM lineage_values").fetchall()
        conn.execute("DROP TABLE lineage_values")
        conn.execute("CREATE TABLE lineage_values (id INTEGER PRIMARY KEY, store_id INTEGER NOT NULL, "
                     "output_no INTEGER NOT NULL, column_name TEXT NOT NULL, row_count INTEGER NOT NULL, "
                     "row_labels TEXT NOT NULL, node_ids BLOB NOT NULL, words BLOB NOT NULL, "
                     "cell_values TEXT NOT NULL)")
        for store_id, k, c, count, _, words in rows:
            values = [None if v != v else v for v in out[c].tolist()]
            nodes = np.asarray(out[c]._node_ids, dtype=np.int64).tobytes()  # raw int64, as they were
            conn.execute("INSERT INTO lineage_values (store_id, output_no, column_name, row_count, row_labels, "
                         "node_ids, words, cell_values) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                         (store_id, k, c, count, json.dumps([str(x) for x in out.index]), nodes, words,
                          json.dumps(values)))
        conn.commit()
        for c in out.columns:
            label = out.index[5]
            value = out[c].loc[label]
            found = find_value(conn, c, str(label))
            assert found[1] == int(np.asarray(out[c]._node_ids)[5])
            assert found[3] == (None if value != value else value)
    finally:
        conn.close()
    # a later save into the same file gives the old table its new column
    with morvel.Pipeline("new", lineage=True, store=str(db)) as p2:
        run(p2, 50)
    assert subprocess_free_graph(db, out.index[5], "s", 1).startswith("digraph")


def reference_summary(store):
    """First node per word and distinct (parent word, child word, position)
    triples, by brute force over every node record."""
    first, seen, triples = [], set(), []
    known = set()
    records = [store.get_node(i) for i in range(store.first_id, store.next_id)]
    words = {r.node_id: r.provenance for r in records}
    for r in records:
        if r.provenance not in seen:
            seen.add(r.provenance)
            first.append(r.node_id)
        for pos, parent in enumerate(r.inputs):
            if parent in words:
                key = (words[parent], r.provenance, pos)
                if key not in known:
                    known.add(key)
                    triples.append(key)
    return first, triples


@settings(max_examples=25, deadline=None)
@given(ops=st.lists(st.tuples(st.integers(1, 3), st.integers(1, 40_000), st.integers(0, 50)), min_size=1,
                    max_size=6), spill=st.booleans())
def test_native_summary_and_block_export_match_brute_force(tmp_path_factory, ops, spill):
    store = ColumnarStore(spill_dir=str(tmp_path_factory.mktemp("spill")))
    ids = np.array([store.create_source_node("t", f"c{k}", k + 1) for k in range(3)])
    rng = np.random.default_rng(len(ops))
    for arity, n, n_words in ops:
        inputs = [rng.choice(ids, n) for _ in range(arity)]
        words = (rng.integers(0, n_words + 1, n) * 7919).astype(np.uint32)
        ids = np.concatenate([ids, store.log_nodes("op", NodeType.BINARY, words, inputs)])
    held = [store._native.export_block(b) for b in range(store._native.block_count())]
    if spill:
        store.spill()
        store.drop_page_cache()
        assert [store._native.export_block(b) for b in range(store._native.block_count())] == held
    for b in range(store._native.block_count()):  # runs found natively, as in Python
        assert _saved_block_row(1, b, store._native.export_saved_block(b)) == _block_row(1, b, held[b])
    first_ids, flat = store._native.word_summary()
    first, triples = reference_summary(store)
    assert first_ids.tolist() == first
    assert [tuple(t) for t in flat.reshape(-1, 3).tolist()] == triples
    assert store._native.words().tolist() == [store.get_node(i).provenance for i in range(len(store))]


# -- the dashboard's lineage view by row, from the saved blocks ------------------


def test_dashboard_lineage_by_row_reads_the_saved_blocks(service):
    from fastapi.testclient import TestClient

    from morvel.utilities.persistence import SQLiteStorage
    from morvel.utilities.persistence.service import create_app

    p = morvel.Pipeline("dash", lineage=True, store=service.url, api_key=KEY)
    out = run(p, 500)
    pid = p.save()
    storage = SQLiteStorage(service.db)
    storage.connect()
    try:
        c = TestClient(create_app(storage, {KEY: "default"}), base_url="https://testserver")
        assert c.post("/signin", data={"api_key": KEY}, follow_redirects=False).status_code in (302, 303)
        label = out.index[7]
        page = c.get(f"/pipelines/{pid}/lineage", params={"row": str(label), "output": "s"})
        assert page.status_code == 200
        dag = p.lineage(out["s"], row=label)
        text = re.sub(r"<[^>]+>", " ", page.text)
        assert f"{len(dag.nodes):,} stored nodes and {len(dag.edges):,} edges" in " ".join(text.split())
        assert "Result <strong>s</strong>" in page.text
        missing = c.get(f"/pipelines/{pid}/lineage", params={"row": "no-such-row"})
        assert missing.status_code == 404
    finally:
        storage.disconnect()


CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"


@pytest.mark.skipif(not (os.path.exists(CHROMEDRIVER) and os.path.exists(CHROMIUM)),
                    reason="needs Debian's chromium and chromium-driver")
def test_a_person_looks_up_one_saved_value_by_row_in_the_browser(service):
    pytest.importorskip("selenium")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as Driver
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as EC
    from selenium.webdriver.support.ui import WebDriverWait

    p = morvel.Pipeline("browsed", lineage=True, store=service.url, api_key=KEY, live=True)
    with p:
        out = run(p, 400)
    pid = max(r[0] for r in sqlite3.connect(service.db).execute("SELECT id FROM pipelines"))
    label = out.index[3]
    dag = p.lineage(out["s"], row=label)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Driver(executable_path=CHROMEDRIVER), options=options)
    try:
        driver.set_page_load_timeout(60)
        driver.get(service.url + "/")
        driver.find_element(By.ID, "api_key").send_keys(KEY)
        driver.find_element(By.ID, "signin").click()
        WebDriverWait(driver, 30).until(EC.url_to_be(service.url + "/pipelines"))
        driver.get(f"{service.url}/pipelines/{pid}/lineage?row={label}&output=s")
        WebDriverWait(driver, 30).until(EC.presence_of_element_located((By.ID, "graph-table")))
        summary = driver.find_element(By.ID, "summary").text
        assert f"{len(dag.nodes):,} stored nodes and {len(dag.edges):,} edges" in summary
        assert "Result s of row " + str(label) in driver.find_element(By.ID, "row-info").text
        rows = driver.find_elements(By.CSS_SELECTOR, "#graph-table tbody tr")
        steps_shown = " ".join(r.get_attribute("textContent") for r in rows)
        assert "people.a" in steps_shown and "people.g" in steps_shown
        drawn = driver.find_elements(By.CSS_SELECTOR, "#graph svg g.node")
        assert len(drawn) == len(rows) and any(n.text.startswith("people.b") for n in drawn)
        # the other saved columns of the row are offered
        assert {"a", "r"} <= {a.text for a in driver.find_elements(By.CSS_SELECTOR, "#row-info a")}
    finally:
        driver.quit()


@given(st.lists(st.integers(-1, 2**40), max_size=50))
def test_node_ids_round_trip_in_their_saved_form(ids):
    from morvel.utilities._lineage_db import decode_node_ids, encode_node_ids

    arr = np.asarray(ids, dtype=np.int64)
    assert decode_node_ids(encode_node_ids(arr), len(arr)).tolist() == ids
    assert decode_node_ids(encode_node_ids(np.sort(np.abs(arr))), len(arr)).tolist() == sorted(map(abs, ids))


def test_values_refering_to_labels_that_are_not_there_are_refused(service):
    from morvel.utilities._lineage_db import SAME_LABELS, value_rows

    p = morvel.Pipeline("refs", lineage=True)
    out = run(p, 200)
    client, pid, sid = opened(service)
    rows = value_rows(sid, [out])
    assert rows[0][4] != SAME_LABELS and all(r[4] == SAME_LABELS for r in rows[1:])
    body = bulk.encode_body(bulk.VALUES, sid, bulk.value_items(rows[1:]))  # the first column left out
    code, reply = service.post(f"/v1/pipelines/{pid}/lineage/values", body)
    assert code == 400 and "labels" in reply["error"]
    assert counts(service.db) == (0, 0)
    assert client.store_lineage_values(pid, sid, rows) == len(rows)
    assert client.store_lineage_values(pid, sid, rows) == 0  # sent again: nothing new


def test_a_live_run_that_raises_is_recorded_as_failed(tmp_path):
    db = tmp_path / "failed.db"
    with pytest.raises(ZeroDivisionError):
        with morvel.Pipeline("broken", lineage=True, store=str(db), live=True) as p:
            run(p, 60_000)
            wait_for_blocks(p, 1)  # the record is open and holds blocks
            1 / 0
    conn = sqlite3.connect(db)
    try:
        assert conn.execute("SELECT status FROM pipelines").fetchall() == [("failed",)]
        # its store was never finished, so no reader takes it for a saved one
        assert conn.execute("SELECT next_id - first_id FROM lineage_stores").fetchall() == [(0,)]
    finally:
        conn.close()
    assert p._live is None
