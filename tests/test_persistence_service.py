"""The lineage service and HostedStorage, over real HTTP on 127.0.0.1."""
import http.client
import json
import threading

import pytest

from morvel.utilities.persistence import (
    AsyncWriter,
    HostedStorage,
    HostedStorageError,
    SQLiteStorage,
    StoredEdge,
    StoredNode,
    StoredRowValue,
    WriterConfig,
)
from morvel.utilities.persistence.service import LineageService, main, parse_api_keys

KEYS = {"key-acme": "acme", "key-other": "other"}
MAX_BODY = 64 * 1024


def node(fp, pid, **kw):
    return StoredNode(fingerprint=fp, node_type=kw.get("node_type", "BINARY"), operation="add",
                      table_name=kw.get("table"), column_name=kw.get("column"), pair_id=None,
                      is_protected=kw.get("protected", False), pipeline_id=pid, metadata=kw.get("metadata"))


@pytest.fixture
def db(tmp_path):
    s = SQLiteStorage(tmp_path / "service.db")
    s.connect()
    yield s
    s.disconnect()


@pytest.fixture
def service(db):
    svc = LineageService(db, KEYS, port=0, max_body=MAX_BODY).start()
    yield svc
    svc.stop()


def raw(service, method, path, body=None, key="key-acme", headers=None):
    """One request on a fresh connection: (status, decoded JSON or None)."""
    conn = http.client.HTTPConnection(service.host, service.port, timeout=10)
    h = dict(headers or {})
    if key is not None:
        h.setdefault("Authorization", f"Bearer {key}")
    if isinstance(body, (dict, list)):
        body = json.dumps(body).encode()
    elif isinstance(body, str):
        body = body.encode("utf-8", "surrogatepass")
    try:
        conn.request(method, path, body=body, headers=h)
        resp = conn.getresponse()
        data = resp.read()
    finally:
        conn.close()
    try:
        return resp.status, json.loads(data) if data else None
    except ValueError:
        return resp.status, data


def client(service, key="key-acme", **kw):
    h = HostedStorage(service.url, key, "acme", **kw)
    h.connect()
    return h


def test_hosted_storage_round_trip_matches_the_store(service, db):
    h = client(service)
    assert h.service_tenant == "acme"
    pid = h.create_pipeline(pipeline_name="p", config={"k": 1}, git_commit="abc", tenant_id=None)
    assert h.create_pipeline("positional") == pid + 1
    h.register_source(0, "people", "age", is_protected=True)  # goes to the current pipeline (pid + 1)
    h.register_source(1, "people", "sex", True, pipeline_id=pid)
    h.store_nodes([node(1, pid, node_type="SOURCE", table="people", column="sex", protected=True,
                        metadata={"s": {1}}), node(2, pid), node(3, pid)])
    h.store_nodes([node(1, pid)])  # duplicate fingerprint: kept once
    m = h.get_fingerprint_node_map(pid)
    assert m == db.get_fingerprint_node_map(pid) and set(m) == {1, 2, 3}
    assert h.get_node_ids(pid, [2, 3, 77]) == {2: m[2], 3: m[3]}
    assert h.store_edges_resolved([(m[1], m[3], 0), (m[2], m[3], 1)]) == 2
    assert h.store_edges_resolved([(m[1], m[3], 0)]) == 0
    h.store_row_values([StoredRowValue(pid, 0, 3, "add", 2.5, "c", "spoofed", None),
                        StoredRowValue(pid, 1, 3, "upper", None, "c", None, "TXT")])
    h.store_results(pid, [("r0", "score", 3, 2.5, "ab" * 32), ("r1", "score", 3, None, None)])
    h.complete_pipeline(pid, "completed")
    h.complete_pipeline(pid + 1, status="failed")
    h.complete_pipeline(pid + 1, "completed")  # stays failed
    assert h.sync_dashboard({"pipeline": {"status": "completed"}}) >= 1

    entry = next(p for p in h.list_pipelines() if p["pipeline_id"] == pid)
    assert (entry["tenant_id"], entry["status"], entry["node_count"], entry["edge_count"]) == ("acme", "completed", 3, 2)
    assert (entry["row_value_count"], entry["result_count"]) == (2, 2)
    assert entry["protected_sources"] == ["people.sex"]
    assert h.list_pipelines()[0]["status"] == "failed"
    graph = h.pipeline_graph(pid, 3)
    assert graph == db.pipeline_graph(pid, 3)
    assert next(n for n in graph["nodes"] if n["fingerprint"] == 1)["metadata"] == {"s": "{1}"}
    tenants = {t for (t,) in db._db().execute("SELECT tenant_id FROM row_values")}
    assert tenants == {"acme"}  # the tenant comes from the key, not the record
    h.disconnect()


def test_tenants_are_isolated(service, db):
    acme, other = client(service), client(service, "key-other")
    pid = acme.create_pipeline("mine")
    acme.store_nodes([node(1, pid), node(2, pid)])
    m = acme.get_fingerprint_node_map(pid)
    calls = [
        lambda: other.complete_pipeline(pid, "failed"),
        lambda: other.get_fingerprint_node_map(pid),
        lambda: other.store_nodes([node(5, pid)]),
        lambda: other.store_edges_resolved([(m[1], m[2], 0)]),
        lambda: other.store_row_values([StoredRowValue(pid, 0, 1, "add", 1.0, None, None)]),
        lambda: other.store_results(pid, [("k", "o", 1, 1.0, None)]),
        lambda: other.register_source(0, "t", "c", True, pipeline_id=pid),
        lambda: other.pipeline_graph(pid, 1),
    ]
    before = db.count_rows()
    for call in calls:
        with pytest.raises(HostedStorageError) as info:
            call()
        assert info.value.status == 404 and not info.value.retryable
    assert db.count_rows() == before
    assert other.list_pipelines() == [] and [p["pipeline_id"] for p in acme.list_pipelines()] == [pid]
    assert db.get_pipeline(pid)["status"] == "running"


BIG = json.dumps({"nodes": [{"pipeline_id": 1, "fingerprint": i, "operation": "x" * 40} for i in range(2000)]})

BAD_REQUESTS = [
    # (name, method, path, body, key, headers, expected status)
    ("bad json", "POST", "/v1/pipelines", "{not json", "key-acme", None, 400),
    ("json not an object", "POST", "/v1/pipelines", "[1, 2]", "key-acme", None, 400),
    ("invalid utf-8", "POST", "/v1/pipelines", b"\xff\xfe{}", "key-acme", None, 400),
    ("deep nesting", "POST", "/v1/pipelines", "[" * 50_000, "key-acme", None, 400),
    ("missing field", "POST", "/v1/pipelines", {"config": None}, "key-acme", None, 400),
    ("wrong type", "POST", "/v1/pipelines", {"pipeline_name": 5}, "key-acme", None, 400),
    ("lone surrogate", "POST", "/v1/pipelines", '{"pipeline_name": "\\ud800"}', "key-acme", None, 400),
    ("config not object", "POST", "/v1/pipelines", {"pipeline_name": "p", "config": [1]}, "key-acme", None, 400),
    ("bad status", "POST", "/v1/pipelines/{pid}/complete", {"status": "done"}, "key-acme", None, 400),
    ("status missing", "POST", "/v1/pipelines/{pid}/complete", {}, "key-acme", None, 400),
    ("nodes not a list", "POST", "/v1/nodes", {"nodes": {"a": 1}}, "key-acme", None, 400),
    ("node missing fingerprint", "POST", "/v1/nodes", {"nodes": [{"pipeline_id": "{pid}"}]}, "key-acme", None, 400),
    ("node text fingerprint", "POST", "/v1/nodes", {"nodes": [{"pipeline_id": "{pid}", "fingerprint": "7"}]},
     "key-acme", None, 400),
    ("node huge fingerprint", "POST", "/v1/nodes", {"nodes": [{"pipeline_id": "{pid}", "fingerprint": 2**70}]},
     "key-acme", None, 400),
    ("node metadata list", "POST", "/v1/nodes",
     {"nodes": [{"pipeline_id": "{pid}", "fingerprint": 1, "metadata": [1]}]}, "key-acme", None, 400),
    ("edge floats", "POST", "/v1/edges", {"edges": [[1.5, 2, 0]]}, "key-acme", None, 400),
    ("edge short", "POST", "/v1/edges", {"edges": [[1, 2]]}, "key-acme", None, 400),
    ("edge unknown node", "POST", "/v1/edges", {"edges": [[10**6, 10**6 + 1, 0]]}, "key-acme", None, 404),
    ("row value width", "POST", "/v1/row-values", {"row_values": [["{pid}", 0, 1]]}, "key-acme", None, 400),
    ("row value text value", "POST", "/v1/row-values",
     {"row_values": [["{pid}", 0, 1, "add", "1.0", None, None, None]]}, "key-acme", None, 400),
    ("row value bool index", "POST", "/v1/row-values",
     {"row_values": [["{pid}", True, 1, "add", 1.0, None, None, None]]}, "key-acme", None, 400),
    ("results bad hash", "POST", "/v1/pipelines/{pid}/results", {"rows": [["k", "o", 1, 1.0, "xyz"]]},
     "key-acme", None, 400),
    ("results not list", "POST", "/v1/pipelines/{pid}/results", {"rows": "k"}, "key-acme", None, 400),
    ("graph without fingerprint", "GET", "/v1/pipelines/{pid}/graph", None, "key-acme", None, 400),
    ("graph text fingerprint", "GET", "/v1/pipelines/{pid}/graph?fingerprint=abc", None, "key-acme", None, 400),
    ("source null table", "POST", "/v1/sources", {"pair_id": 0, "table": None, "column": "c"},
     "key-acme", None, 400),
    ("source text pair", "POST", "/v1/sources", {"pair_id": "0", "table": "t", "column": "c", "pipeline_id": "{pid}"},
     "key-acme", None, 400),
    ("huge body", "POST", "/v1/nodes", BIG, "key-acme", None, 413),
    ("negative length", "POST", "/v1/nodes", None, "key-acme", {"Content-Length": "-1"}, 400),
    ("over-long idempotency key", "POST", "/v1/pipelines", {"pipeline_name": "p"}, "key-acme",
     {"Idempotency-Key": "k" * 201}, 400),
    ("no key", "POST", "/v1/pipelines", {"pipeline_name": "p"}, None, None, 401),
    ("wrong key", "POST", "/v1/pipelines", {"pipeline_name": "p"}, "key-nope", None, 401),
    ("not bearer", "GET", "/v1/pipelines", None, None, {"Authorization": "Basic a2V5LWFjbWU="}, 401),
    ("health without key", "GET", "/v1/health", None, None, None, 401),
    ("health wrong key", "GET", "/v1/health", None, "key-nope", None, 401),
    ("other tenant's pipeline", "POST", "/v1/pipelines/{pid}/complete", {"status": "failed"}, "key-other", None, 404),
    ("other tenant reads", "GET", "/v1/pipelines/{pid}", None, "key-other", None, 404),
    ("unknown pipeline", "GET", "/v1/pipelines/999999/node-map", None, "key-acme", None, 404),
    ("unknown path", "GET", "/v1/nothing", None, "key-acme", None, 404),
    ("wrong method", "GET", "/v1/nodes", None, "key-acme", None, 405),
    ("put", "PUT", "/v1/pipelines", "{}", "key-acme", None, 405),
    ("options", "OPTIONS", "/v1/pipelines", None, "key-acme", None, 405),
    ("over-long path", "GET", "/v1/" + "a" * 70_000, None, "key-acme", None, 414),
]


def _fill(value, pid):
    if isinstance(value, str):
        return value.replace("{pid}", str(pid))
    if isinstance(value, dict):
        return {k: _fill(v, pid) for k, v in value.items()}
    if isinstance(value, list):
        return [pid if v == "{pid}" else _fill(v, pid) for v in value]
    return value


@pytest.mark.parametrize("name, method, path, body, key, headers, status", BAD_REQUESTS,
                         ids=[r[0] for r in BAD_REQUESTS])
def test_bad_requests_get_their_4xx_and_the_service_keeps_serving(service, db, name, method, path, body, key,
                                                                  headers, status):
    pid = db.create_pipeline("p", tenant_id="acme")
    db.store_nodes([node(1, pid)])
    if isinstance(body, dict):
        body = _fill(body, pid)
        body = {k: ([dict(n, pipeline_id=pid) if isinstance(n, dict) and n.get("pipeline_id") == str(pid) else n
                     for n in v] if isinstance(v, list) else v) for k, v in body.items()}
    before = db.count_rows()
    got, reply = raw(service, method, _fill(path, pid), body, key=key, headers=headers)
    assert got == status, reply
    assert isinstance(reply, dict) and isinstance(reply.get("error"), str)
    assert db.count_rows() == before
    assert db.get_pipeline(pid)["status"] == "running"
    assert raw(service, "GET", "/v1/health") == (200, {"status": "ok"})
    assert raw(service, "GET", "/v1/whoami")[0] == 200


def _socket_exchange(service, request):
    import socket

    with socket.create_connection((service.host, service.port), timeout=10) as sock:
        sock.sendall(request)
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    return data


@pytest.mark.parametrize(
    "request_bytes, status_line, body",
    [
        (b"HEAD /v1/pipelines HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer key-acme\r\n\r\n", b"HTTP/1.1 405",
         None),
        (b"GET /v1/whoami HTTP/1.1\r\nHost: h\r\n" + b"".join(b"X-%d: 1\r\n" % i for i in range(150)) + b"\r\n",
         b"HTTP/1.1 431", {"error": "Too many headers"}),
        (b"FROB /v1/pipelines HTTP/1.1\r\nHost: h\r\n\r\n", b"HTTP/1.1 501", {"error": "Unsupported method ('FROB')"}),
        # HTTP/1.1 requires a Host header; a request without one is malformed
        (b"GET /v1/whoami HTTP/1.1\r\nAuthorization: Bearer key-acme\r\n\r\n", b"HTTP/1.1 400", "malformed"),
        (b"POST /v1/pipelines HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer key-acme\r\nContent-Length: -1\r\n\r\n",
         b"HTTP/1.1 400", "malformed"),
    ],
    ids=["head", "too-many-headers", "unknown-method", "no-host", "negative-length"],
)
def test_errors_found_by_the_http_layer_answer_in_json(service, request_bytes, status_line, body):
    reply = _socket_exchange(service, request_bytes)
    head, _, payload = reply.partition(b"\r\n\r\n")
    assert head.startswith(status_line), reply[:200]
    # header names are case-insensitive
    assert b"content-type: application/json" in head.lower() and b"connection: close" in head.lower()
    if body is None:
        assert payload == b""  # HEAD: headers only
    elif body == "malformed":
        assert json.loads(payload)["error"].startswith("malformed HTTP request")
    else:
        assert json.loads(payload) == body
    assert raw(service, "GET", "/v1/whoami")[0] == 200


def test_a_get_with_a_chunked_body_cannot_smuggle_a_second_request(service):
    hidden = b"GET /v1/pipelines HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer key-acme\r\n\r\n"
    reply = _socket_exchange(service, b"GET /v1/whoami HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer key-acme\r\n"
                                      b"Transfer-Encoding: chunked\r\n\r\n" + hidden)
    # one answer (the request's own, or 400 for its malformed chunked body),
    # then the connection is closed; the hidden request is never answered
    assert reply.count(b"HTTP/1.1 ") == 1 and b"connection: close" in reply.lower()
    assert b"pipelines" not in reply
    assert reply.endswith(b'{"tenant_id":"acme"}') or reply.startswith(b"HTTP/1.1 400")


def test_a_large_body_without_a_valid_key_is_refused_before_it_is_read(db):
    with LineageService(db, KEYS, port=0, max_body=4 * 1024 * 1024) as svc:
        # headers announce 1 MiB, but the body never comes: the answer must
        # not wait for it
        reply = _socket_exchange(svc, b"POST /v1/nodes HTTP/1.1\r\nHost: h\r\nAuthorization: Bearer key-nope\r\n"
                                      b"Content-Type: application/json\r\nContent-Length: 1048576\r\n\r\n{")
        head, _, payload = reply.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 401") and b"connection: close" in head.lower()
        assert json.loads(payload) == {"error": "missing or invalid API key"}
        # a small one is read and dropped; the kept-alive connection goes on
        conn = http.client.HTTPConnection(svc.host, svc.port, timeout=10)
        try:
            conn.request("POST", "/v1/pipelines", body=b'{"pipeline_name": "p"}', headers={"Authorization": "Bearer x"})
            first = conn.getresponse()
            assert (first.status, json.loads(first.read())) == (401, {"error": "missing or invalid API key"})
            conn.request("GET", "/v1/whoami", headers={"Authorization": "Bearer key-acme"})
            second = conn.getresponse()
            assert (second.status, json.loads(second.read())) == (200, {"tenant_id": "acme"})
        finally:
            conn.close()
        assert db.count_rows()["pipelines"] == 0


@pytest.mark.parametrize("header, status", [("Bearer key-acme", 200), ("bearer key-acme", 200),
                                            ("BEARER  key-acme ", 200), ("Bearerkey-acme", 401),
                                            ("Token key-acme", 401), ("Bearer key-acm", 401)])
def test_the_bearer_scheme_name_is_case_insensitive(service, header, status):
    assert raw(service, "GET", "/v1/whoami", key=None, headers={"Authorization": header})[0] == status


def test_a_repeated_idempotency_key_is_applied_once(service, db):
    pid = db.create_pipeline("p", tenant_id="acme")
    body = {"row_values": [[pid, i, 1, "add", float(i), None, None, None] for i in range(3)]}
    first = raw(service, "POST", "/v1/row-values", body, headers={"Idempotency-Key": "abc"})
    again = raw(service, "POST", "/v1/row-values", body, headers={"Idempotency-Key": "abc"})
    assert first == again == (200, {"stored": 3})
    assert db.count_rows(pid)["row_values"] == 3
    # the same key from another tenant is another request
    assert raw(service, "POST", "/v1/row-values", body, key="key-other", headers={"Idempotency-Key": "abc"})[0] == 404


class SlowFirstRowValues(SQLiteStorage):
    """The first store_row_values call waits until ``release`` is set."""

    def __init__(self, path):
        super().__init__(path)
        self.entered, self.release, self._first = threading.Event(), threading.Event(), True

    def store_row_values(self, values):
        if self._first:
            self._first = False
            self.entered.set()
            assert self.release.wait(timeout=30)
        return super().store_row_values(values)


def test_a_retry_arriving_while_its_first_try_runs_is_not_applied_twice(tmp_path):
    store = SlowFirstRowValues(tmp_path / "slow.db")
    store.connect()
    pid = store.create_pipeline("p", tenant_id="acme")
    body = {"row_values": [[pid, i, 1, "add", float(i), None, None, None] for i in range(3)]}
    with LineageService(store, KEYS, port=0) as svc:
        lookups = []
        second_arrived = threading.Event()
        original = svc.remembered

        def watched(tenant, key):
            lookups.append(key)
            if len(lookups) == 2:
                second_arrived.set()
            return original(tenant, key)

        svc.remembered = watched
        replies = {}

        def send(name):
            replies[name] = raw(svc, "POST", "/v1/row-values", body, headers={"Idempotency-Key": "same"})

        first = threading.Thread(target=send, args=("first",))
        first.start()
        assert store.entered.wait(timeout=10)  # the first try is inside the store
        retry = threading.Thread(target=send, args=("retry",))
        retry.start()
        assert second_arrived.wait(timeout=10)  # the retry reached the key check
        store.release.set()
        first.join(timeout=10)
        retry.join(timeout=10)
    assert replies == {"first": (200, {"stored": 3}), "retry": (200, {"stored": 3})}
    assert store.count_rows(pid)["row_values"] == 3
    store.disconnect()


def test_client_errors_are_clear(service, tmp_path):
    with pytest.raises(HostedStorageError) as info:
        HostedStorage(service.url, "wrong", "acme").connect()
    assert info.value.status == 401 and not info.value.retryable
    probe = LineageService(SQLiteStorage(tmp_path / "unused.db"), {"k": "t"}, port=0)
    free_url = probe.url
    probe.stop()  # nothing listens there now
    down = HostedStorage(free_url, "k", "t", max_attempts=2, retry_base_delay=0.001)
    with pytest.raises(HostedStorageError) as info:
        down.connect()
    assert info.value.status is None and info.value.retryable
    with pytest.raises(ValueError):
        HostedStorage("ftp://x", "k", "t")
    with pytest.raises(TypeError, match="Argument 'api_key' has incorrect type"):
        HostedStorage(service.url, None, "t")


@pytest.mark.parametrize("key", ["", "key\r\nX-Tenant: other", "ключ", "tab\tkey"])
def test_api_keys_an_http_header_cannot_carry_are_refused_at_construction(key):
    with pytest.raises(ValueError, match="api_key"):
        HostedStorage("http://127.0.0.1:1", key, "t")


class Watch:
    """Passes calls to a backend and sets ``failed`` when one raises."""

    def __init__(self, inner):
        self.inner, self.failed = inner, threading.Event()

    def __getattr__(self, name):
        target = getattr(self.inner, name)

        def call(*args, **kw):
            try:
                return target(*args, **kw)
            except Exception:
                self.failed.set()
                raise

        return call


def test_service_restart_loses_nothing(db):
    svc = LineageService(db, KEYS, port=0).start()
    port = svc.port
    h = HostedStorage(svc.url, "key-acme", "acme", max_attempts=2, retry_base_delay=0.01)
    h.connect()
    pid = h.create_pipeline("restart")
    watch = Watch(h)
    cfg = WriterConfig(batch_size=50, flush_interval=0.01, queue_size=1000, max_attempts=60,
                       retry_base_delay=0.02, retry_max_delay=0.2)
    w = AsyncWriter(watch, cfg)
    w.start()
    try:
        def burst(lo, hi):
            for fp in range(lo, hi):
                w.write_node(node(fp, pid))
                if fp:
                    w.write_edges([StoredEdge(fp - 1, fp, 0)])
            w.write_row_values([StoredRowValue(pid, i, lo, "add", float(i), None, None) for i in range(lo, hi)])

        burst(0, 300)
        assert w.flush(timeout=30)
        svc.stop()
        burst(300, 600)  # the service is down while these are written
        assert watch.failed.wait(timeout=30)
        svc = LineageService(db, KEYS, port=port).start()  # same port, same database
        assert w.flush(timeout=60)
    finally:
        w.stop(timeout=60)
        svc.stop()
    stats = w.get_stats()
    assert stats["retries"] > 0 and stats["failures"] == 0
    assert db.count_rows(pid)["nodes"] == 600 and stats["nodes_stored"] == 600
    assert db.count_rows(pid)["edges"] == 599 and stats["edges_stored"] == 599
    assert db.count_rows(pid)["row_values"] == 600 and stats["row_values_stored"] == 600


@pytest.mark.parametrize(
    "entries, expected",
    [
        (["k1"], {"k1": "default"}),
        (["k1:acme", "k2:other", "k1:acme"], {"k1": "acme", "k2": "other"}),
        (["a:b:c"], {"a:b": "c"}),
    ],
)
def test_parse_api_keys(entries, expected):
    assert parse_api_keys(entries) == expected


@pytest.mark.parametrize("entries", [[":acme"], ["k1:"], ["k1:a", "k1:b"]])
def test_parse_api_keys_rejects(entries):
    with pytest.raises(ValueError):
        parse_api_keys(entries)


def test_main_requires_an_api_key(tmp_path, capsys):
    with pytest.raises(SystemExit) as info:
        main(["--db", str(tmp_path / "x.db"), "--port", "0"])
    assert info.value.code == 2
    assert "--api-key" in capsys.readouterr().err


@pytest.mark.parametrize(
    "extra, code, message",
    [
        (["--port", "70000"], 2, "invalid port (0-65535) value"),
        (["--port", "0", "--max-body-bytes", "0"], 2, "invalid positive integer value"),
        (["--port", "0", "--db", "{missing}/x.db"], 1, "cannot open database"),
    ],
)
def test_main_reports_bad_settings_without_a_traceback(tmp_path, capsys, extra, code, message):
    argv = ["--db", str(tmp_path / "x.db"), "--api-key", "k"] + [a.replace("{missing}", str(tmp_path / "no"))
                                                                  for a in extra]
    try:
        got = main(argv)
    except SystemExit as exit_:
        got = exit_.code
    err = capsys.readouterr().err
    assert got == code and message in err and "Traceback" not in err


def test_sources_without_a_pipeline_are_kept_per_tenant(service, db):
    fresh = client(service)  # has created no pipeline
    fresh.register_source(3, "people", "age", is_protected=True)
    client(service, "key-other").register_source(3, "people", "zip", False)
    rows = db._db().execute("SELECT tenant_id, pipeline_id, column_name FROM sources ORDER BY tenant_id").fetchall()
    assert rows == [("acme", 0, "age"), ("other", 0, "zip")]


def test_command_line_serves_until_terminated(tmp_path):
    import os
    import subprocess
    import sys
    from pathlib import Path

    src = str(Path(__file__).resolve().parents[1] / "src")
    proc = subprocess.Popen(
        [sys.executable, "-m", "morvel.utilities.persistence.service", "--db", str(tmp_path / "cli.db"),
         "--port", "0", "--api-key", "cli-key:team"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=dict(os.environ, PYTHONPATH=src),
    )
    try:
        line = proc.stdout.readline()
        assert "listening on http://127.0.0.1:" in line, line + proc.stderr.read()
        url = line.split("listening on ")[1].split()[0]
        h = HostedStorage(url, "cli-key", "team")
        h.connect()
        assert h.service_tenant == "team"
        pid = h.create_pipeline("from-cli")
        h.complete_pipeline(pid, "completed")
        assert [p["status"] for p in h.list_pipelines()] == ["completed"]
        h.disconnect()
    finally:
        proc.terminate()
        proc.wait(timeout=10)
    check = SQLiteStorage(tmp_path / "cli.db")
    check.connect()
    assert [(p["name"], p["tenant_id"]) for p in check.list_pipelines()] == [("from-cli", "team")]
    check.disconnect()


def test_numbers_of_other_libraries_are_sent_as_plain_numbers(service, db):
    np = pytest.importorskip("numpy")
    h = client(service)
    pid = h.create_pipeline("np")
    h.store_nodes([node(np.uint32(7), pid)])
    h.store_row_values([StoredRowValue(pid, np.int64(0), np.uint32(7), "add", np.float32(0.5), None, None)])
    assert h.get_fingerprint_node_map(pid) == db.get_fingerprint_node_map(pid) and 7 in db.get_fingerprint_node_map(pid)
    assert db._db().execute("SELECT row_index, fingerprint, value FROM row_values").fetchall() == [(0, 7, 0.5)]


from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

_json = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=True) | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12,
)
_fields = st.sampled_from(["pipeline_name", "status", "nodes", "edges", "row_values", "rows", "fingerprints",
                           "pair_id", "table", "column", "pipeline_id", "fingerprint", "config"])
_bodies = st.dictionaries(_fields, _json, max_size=4) | _json
_paths = st.sampled_from(["/v1/pipelines", "/v1/pipelines/1/complete", "/v1/sources", "/v1/nodes", "/v1/edges",
                          "/v1/row-values", "/v1/pipelines/1/results", "/v1/pipelines/1/node-ids",
                          "/v1/dashboard/sync"])


@pytest.fixture(scope="module")
def shared_service(tmp_path_factory):
    store = SQLiteStorage(tmp_path_factory.mktemp("fuzz") / "fuzz.db")
    store.connect()
    pid = store.create_pipeline("fuzz", tenant_id="acme")
    store.store_nodes([node(1, pid), node(2, pid)])
    svc = LineageService(store, KEYS, port=0).start()
    yield svc
    svc.stop()
    store.disconnect()


@settings(max_examples=150)
@given(path=_paths, body=_bodies)
def test_arbitrary_json_never_gets_a_server_error(shared_service, path, body):
    status, reply = raw(shared_service, "POST", path, json.dumps(body))
    assert status < 500, reply
    if status >= 400:
        assert isinstance(reply, dict) and isinstance(reply.get("error"), str)


# -- writes checked against the pipeline they name; JSON only ------------------

FINISHED_WRITES = [
    # (name, path, body given (pipeline id, {fingerprint: node id}), stored table)
    ("nodes", "/v1/nodes", lambda pid, m: {"nodes": [{"pipeline_id": pid, "fingerprint": 99}]}, "nodes"),
    ("edges", "/v1/edges", lambda pid, m: {"edges": [[m[1], m[2], 0]]}, "edges"),
    ("edges naming it", "/v1/edges", lambda pid, m: {"edges": [[m[1], m[2], 0]], "pipeline_id": pid}, "edges"),
    ("row values", "/v1/row-values", lambda pid, m: {"row_values": [[pid, 0, 1, "add", 1.0, None, None, None]]},
     "row_values"),
    ("sources", "/v1/sources", lambda pid, m: {"pair_id": 0, "table": "t", "column": "c", "pipeline_id": pid},
     "sources"),
    ("results", "/v1/pipelines/{pid}/results", lambda pid, m: {"rows": [["k", "o", 1, 1.0, None]]}, "results"),
]


@pytest.mark.parametrize("final", ["completed", "failed"])
@pytest.mark.parametrize("name, path, make, table", FINISHED_WRITES, ids=[w[0] for w in FINISHED_WRITES])
def test_writes_to_a_finished_pipeline_get_409(service, db, final, name, path, make, table):
    pid = db.create_pipeline("p", tenant_id="acme")
    db.store_nodes([node(1, pid), node(2, pid)])
    ids = db.get_fingerprint_node_map(pid)
    # the same write is accepted while the pipeline runs ...
    fresh = db.create_pipeline("running", tenant_id="acme")
    db.store_nodes([node(1, fresh), node(2, fresh)])
    assert raw(service, "POST", path.format(pid=fresh), make(fresh, db.get_fingerprint_node_map(fresh)))[0] < 300
    db.complete_pipeline(pid, final)
    before = db.count_rows(pid)
    status, reply = raw(service, "POST", path.format(pid=pid), make(pid, ids))
    # ... and refused once it is finished; results may still follow a completed run
    if name == "results" and final == "completed":
        assert status == 200 and db.count_rows(pid)[table] == before[table] + 1
    else:
        assert status == 409 and reply == {"error": f"pipeline {pid} is {final}; it accepts no more writes"}
        assert db.count_rows(pid) == before
    # another tenant still learns nothing: 404, not 409
    assert raw(service, "POST", path.format(pid=pid), make(pid, ids), key="key-other")[0] == 404


def test_edges_are_checked_against_the_pipeline_they_name(service, db):
    done = db.create_pipeline("done", tenant_id="acme")
    db.store_nodes([node(1, done), node(2, done)])
    old = db.get_fingerprint_node_map(done)
    db.complete_pipeline(done, "completed")
    live = db.create_pipeline("live", tenant_id="acme")
    db.store_nodes([node(1, live), node(2, live)])
    new = db.get_fingerprint_node_map(live)
    theirs = db.create_pipeline("theirs", tenant_id="other")
    before = db.count_rows()
    # nodes of the completed pipeline, sent with the running pipeline's id
    assert raw(service, "POST", "/v1/edges", {"edges": [[old[1], old[2], 0]], "pipeline_id": live}) == (
        404, {"error": f"node {old[1]} not found in pipeline {live}"})
    assert raw(service, "POST", "/v1/edges", {"edges": [[new[1], old[2], 0]], "pipeline_id": live})[0] == 404
    assert raw(service, "POST", "/v1/edges", {"edges": [[new[1], new[2], 0]], "pipeline_id": theirs})[0] == 404
    assert raw(service, "POST", "/v1/edges", {"edges": [[new[1], new[2], -1]], "pipeline_id": live})[0] == 400
    assert db.count_rows() == before
    assert raw(service, "POST", "/v1/edges", {"edges": [[new[1], new[2], 0]], "pipeline_id": live}) == (
        200, {"stored": 1})
    assert db.count_rows(live)["edges"] == 1 and db.count_rows(done)["edges"] == 0


@pytest.mark.parametrize("content_type, status", [
    ("text/plain", 415), ("application/x-www-form-urlencoded", 415), ("multipart/form-data; boundary=x", 415),
    ("application/jsonp", 415), ("application/json", 201), ("application/json; charset=utf-8", 201),
    ("Application/JSON", 201), ("application/merge-patch+json", 201), (None, 201),
])
def test_only_json_bodies_are_accepted(service, db, content_type, status):
    headers = {"Content-Type": content_type} if content_type else {}
    got, reply = raw(service, "POST", "/v1/pipelines", {"pipeline_name": "typed"}, headers=headers)
    assert got == status, reply
    assert db.count_rows()["pipelines"] == (1 if status == 201 else 0)
    if status == 415:
        assert "application/json" in reply["error"]


def test_pipelines_written_without_a_tenant_belong_to_the_default_tenant(db):
    local = db.create_pipeline("from-the-demo")  # written to the file directly
    with LineageService(db, {"k-default": "default", "k-acme": "acme"}, port=0) as svc:
        assert [p["name"] for p in raw(svc, "GET", "/v1/pipelines", key="k-default")[1]["pipelines"]] == [
            "from-the-demo"]
        assert raw(svc, "GET", f"/v1/pipelines/{local}", key="k-default")[0] == 200
        assert raw(svc, "GET", "/v1/pipelines", key="k-acme")[1] == {"pipelines": []}
        assert raw(svc, "GET", f"/v1/pipelines/{local}", key="k-acme")[0] == 404


def test_the_api_is_described_without_a_key(service):
    status, api = raw(service, "GET", "/openapi.json", key=None)
    assert status == 200 and api["openapi"].startswith("3.")
    operations = {(m.upper(), p) for p, ms in api["paths"].items() for m in ms}
    assert operations == {
        ("GET", "/v1/health"), ("GET", "/v1/whoami"), ("POST", "/v1/pipelines"), ("GET", "/v1/pipelines"),
        ("GET", "/v1/pipelines/{pid}"), ("POST", "/v1/pipelines/{pid}/complete"), ("POST", "/v1/sources"),
        ("POST", "/v1/nodes"), ("GET", "/v1/pipelines/{pid}/node-map"), ("POST", "/v1/pipelines/{pid}/node-ids"),
        ("POST", "/v1/edges"), ("POST", "/v1/row-values"), ("POST", "/v1/pipelines/{pid}/results"),
        ("GET", "/v1/pipelines/{pid}/graph"), ("POST", "/v1/dashboard/sync"),
        ("POST", "/v1/pipelines/{pid}/lineage/stores"), ("POST", "/v1/pipelines/{pid}/lineage/blocks"),
        ("POST", "/v1/pipelines/{pid}/lineage/values"), ("POST", "/v1/pipelines/{pid}/lineage/edges"),
        ("POST", "/v1/pipelines/{pid}/lineage/stores/{sid}/finish"),
    }
    assert "pipeline_name" in api["components"]["schemas"]["PipelineCreate"]["required"]
    # the bulk lineage bodies are described as binary
    blocks = api["paths"]["/v1/pipelines/{pid}/lineage/blocks"]["post"]["requestBody"]["content"]
    assert list(blocks) == ["application/octet-stream"]
    status, page = raw(service, "GET", "/docs", key=None)
    assert status == 200 and b"/v1/row-values" in page and b"PipelineCreate" in page
    assert b"cdn" not in page.lower() and b'src="http' not in page
