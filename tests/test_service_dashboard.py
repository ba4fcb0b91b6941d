"""The dashboard pages, through the application built directly (no
browser): sign-in and its cookie, tenants, escaping, sections, lookups."""
from __future__ import annotations

import re
import shutil

import pytest

pytest.importorskip("fastapi")

from fastapi.testclient import TestClient  # noqa: E402

from morvel.utilities.persistence import SQLiteStorage, StoredNode  # noqa: E402
from morvel.utilities.persistence._web import dashboard  # noqa: E402
from morvel.utilities.persistence.service import create_app  # noqa: E402

KEYS = {"key-acme-123": "acme", "key-other-456": "other"}
EVIL = '<script>alert("x")</script><img src=x onerror=alert(1)>'
TAINT = 1 << 29


@pytest.fixture
def db(tmp_path):
    s = SQLiteStorage(tmp_path / "dash.db")
    s.connect()
    yield s
    s.disconnect()


def client(db, **options):
    # https: the session cookie is Secure and is sent back over HTTPS only
    return TestClient(create_app(db, KEYS, **options), base_url="https://testserver")


def sign_in(c, key="key-acme-123"):
    reply = c.post("/signin", data={"api_key": key}, follow_redirects=False)
    assert reply.status_code == 303, reply.text
    return reply


def lineage_pipeline(db, tenant="acme", name="scores", table="people", column="age", rows=50):
    """One pipeline whose value 'out' derives from a protected source through
    one step per row; returns (pipeline id, fingerprint of the root)."""
    pid = db.create_pipeline(name, tenant_id=tenant)
    nodes = []
    for r in range(rows):
        nodes.append(StoredNode(fingerprint=TAINT + 2 * r, node_type="SOURCE", operation=f"{table}.{column}",
                                table_name=table, column_name=column, pair_id=0, is_protected=True, pipeline_id=pid))
        nodes.append(StoredNode(fingerprint=TAINT + 2 * r + 1, node_type="UNARY", operation="clip", table_name=None,
                                column_name=None, pair_id=None, is_protected=False, pipeline_id=pid))
    root = StoredNode(fingerprint=TAINT + 10**6, node_type="BINARY", operation="add", table_name=None,
                      column_name=None, pair_id=None, is_protected=False, pipeline_id=pid)
    db.store_nodes(nodes + [root])
    ids = db.get_fingerprint_node_map(pid)
    edges = [(ids[TAINT + 2 * r], ids[TAINT + 2 * r + 1], 0) for r in range(rows)]
    edges += [(ids[TAINT + 2 * r + 1], ids[root.fingerprint], r % 2) for r in range(rows)]
    db.store_edges_resolved(edges)
    db.store_results(pid, [(f"row{r}", "score", root.fingerprint, float(r), None) for r in range(rows)])
    return pid, root.fingerprint


def test_sign_in_keeps_the_key_out_of_urls_pages_and_scripts(db):
    lineage_pipeline(db)
    c = client(db)
    refused = c.post("/signin", data={"api_key": "nope"}, follow_redirects=False)
    assert refused.status_code == 401 and "not accepted" in refused.text and "set-cookie" not in refused.headers
    reply = sign_in(c)
    cookie = reply.headers["set-cookie"]
    assert reply.headers["location"] == "/pipelines"
    for flag in ("HttpOnly", "Secure", "SameSite=strict", "Path=/"):
        assert flag.lower() in cookie.lower()
    assert "key-acme-123" not in cookie
    pages = [c.get(path) for path in ("/", "/pipelines", "/pipelines/1", "/pipelines/1/lineage?row=row3", "/docs")]
    for page in pages:
        assert page.status_code in (200, 303) and "key-acme-123" not in page.text
        assert "key-acme-123" not in str(page.url) and "key-acme-123" not in str(page.headers)
        assert "frame-ancestors 'none'" in page.headers.get("content-security-policy", "")
        assert not re.search(r"(src|href)=\"(https?:)?//", page.text)  # nothing loaded from elsewhere


@pytest.mark.parametrize("path", ["/pipelines", "/pipelines/1", "/pipelines/1/lineage?row=row1"])
def test_pages_need_a_live_session(db, path):
    lineage_pipeline(db)
    c = client(db)
    first = c.get(path)
    assert first.status_code == 401 and 'id="api_key"' in first.text and "scores" not in first.text
    sign_in(c)
    assert c.get(path).status_code == 200
    old = c.cookies.get(dashboard.COOKIE)
    assert c.post("/signout", follow_redirects=False).status_code == 303
    c.cookies.set(dashboard.COOKIE, old, domain="testserver.local")  # replaying the old token
    assert c.get(path).status_code == 401


@pytest.mark.parametrize("origin, status", [("https://evil.example", 403), ("null", 403),
                                            ("https://testserver", 303), (None, 303)])
def test_forms_posted_from_another_site_are_refused(db, origin, status):
    c = client(db)
    headers = {"origin": origin} if origin else {}
    reply = c.post("/signin", data={"api_key": "key-acme-123"}, headers=headers, follow_redirects=False)
    assert reply.status_code == status
    assert ("set-cookie" in reply.headers) == (status == 303)


def test_a_tenant_never_sees_another_tenants_pipeline(db):
    mine, _ = lineage_pipeline(db, name="mine")
    theirs, word = lineage_pipeline(db, tenant="other", name="their-secret")
    untenanted = db.create_pipeline("written-locally")  # no tenant: belongs to "default"
    c = client(db)
    sign_in(c)
    listing = c.get("/pipelines").text
    assert "mine" in listing and "their-secret" not in listing and "written-locally" not in listing
    for path in (f"/pipelines/{theirs}", f"/pipelines/{theirs}/lineage?fingerprint={word}",
                 f"/pipelines/{theirs}/lineage?row=row1", f"/pipelines/{untenanted}"):
        page = c.get(path)
        assert page.status_code == 404 and "their-secret" not in page.text
    assert c.get(f"/pipelines/{mine}").status_code == 200


@pytest.mark.parametrize("dot", ["auto", None], ids=["graphviz", "table"])
def test_stored_names_are_escaped_everywhere(db, dot):
    if dot == "auto" and shutil.which("dot") is None:
        pytest.skip("Graphviz 'dot' is not installed")
    pid, word = lineage_pipeline(db, name=EVIL, table=EVIL, column=EVIL)
    db.store_dashboard_sync({"pipeline": {"pipeline_name": EVIL, "provenance_pipeline_id": pid},
                             EVIL: {EVIL: [EVIL]}}, tenant_id="acme")
    c = client(db, dot=dot)
    sign_in(c)
    for path in ("/pipelines", f"/pipelines/{pid}", f"/pipelines/{pid}/lineage?fingerprint={word}"):
        page = c.get(path).text
        assert "<script>alert" not in page and "<img src=x" not in page
        assert "&lt;script&gt;alert" in page  # shown as text


def test_lineage_view_folds_the_rows_and_draws_or_tabulates(db):
    pid, word = lineage_pipeline(db, rows=300)
    drawn = client(db)
    sign_in(drawn)
    page = drawn.get(f"/pipelines/{pid}/lineage?fingerprint=0x{word:08X}").text
    assert "601 stored nodes and 600 edges" in page and "shown as 3 steps" in page
    assert page.count('<tr class="kind-') == 3 and "300" in page
    if shutil.which("dot"):
        assert 'id="graph"' in page and page.count('class="node"') == 3 and "\u00d7 300" in page
    plain = client(db, dot=None)
    sign_in(plain)
    page = plain.get(f"/pipelines/{pid}/lineage?fingerprint={word}").text
    assert 'id="graph"' not in page and "apt-get install graphviz" in page and 'id="graph-table"' in page


@pytest.mark.parametrize("query, status, says", [
    ("fingerprint=zz", 400, "decimal or 0x"),
    ("fingerprint=12345", 404, "no stored node with fingerprint 0x00003039"),
    ("row=nobody", 404, "stored no result for row"),
    ("", 400, "Give a fingerprint or a row key"),
    ("row=row7", 200, "Result <strong>score</strong> of row <strong>row7</strong>"),
])
def test_lineage_lookups(db, query, status, says):
    pid, _ = lineage_pipeline(db)
    c = client(db)
    sign_in(c)
    page = c.get(f"/pipelines/{pid}/lineage?{query}")
    assert page.status_code == status and says in page.text


def test_the_pipeline_page_shows_the_risk_report_and_every_part_of_the_newest_sync(db):
    pid, word = lineage_pipeline(db, rows=20)
    db.store_dashboard_sync({"pipeline": {"pipeline_name": "scores", "provenance_pipeline_id": pid, "node_count": 1},
                             "fairness": {"has_disparate_impact": False}}, tenant_id="acme")
    db.store_dashboard_sync({"pipeline": {"pipeline_name": "scores", "provenance_pipeline_id": pid,
                                          "node_count": 41},
                             "fairness": {"has_disparate_impact": True, "protected_attributes": ["people.age"]},
                             "outcome_disparity": {"groups": {"a": 0.5, "b": 0.25}}}, tenant_id="acme")
    db.store_dashboard_sync({"pipeline": {"provenance_pipeline_id": pid + 1}}, tenant_id="acme")  # another pipeline
    db.store_dashboard_sync({"pipeline": {"provenance_pipeline_id": pid}, "leak": 1}, tenant_id="other")
    c = client(db)
    sign_in(c)
    page = c.get(f"/pipelines/{pid}").text
    kinds = re.findall(r'data-kind="([^"]+)"', page)
    assert kinds == ["risk", "sync-pipeline", "sync-fairness", "sync-outcome_disparity"]
    fairness = page.split('id="section-sync-fairness"')[1].split("</section>")[0]
    assert '<span class="yes">yes</span>' in fairness and "people.age" in fairness
    assert "41" in page.split('id="section-sync-pipeline"')[1].split("</section>")[0] and "leak" not in page
    risk = page.split('id="risk-report"')[1].split("</table>")[0]
    # 20 rows of 'score', all with the root word: tainted, depth read from the word's header
    assert re.search(r"<td>score</td><td>result</td>\s*<td class=\"num\">20</td><td class=\"num\">20</td>", risk)
    assert f"fingerprint={word}" in risk


def test_more_sections_can_be_added(db, monkeypatch):
    pid, _ = lineage_pipeline(db, rows=2)
    monkeypatch.setattr(dashboard, "SECTIONS", list(dashboard.SECTIONS))
    dashboard.register_section(lambda data: [dashboard.Section(
        "row-store", "Row store", "sections/kv.html",
        {"value": {"rows of": data.pipeline["name"]}, "sync": {"sync_id": 0, "received_at": None}})])
    c = client(db)
    sign_in(c)
    page = c.get(f"/pipelines/{pid}").text
    assert re.findall(r'data-kind="([^"]+)"', page)[-1] == "row-store" and "<th>rows of</th><td>scores</td>" in page


class Broken(SQLiteStorage):
    def list_pipelines(self, tenant_id=None):
        raise RuntimeError("disk on fire")

    def tenant_pipelines(self, tenant_id, include_untenanted=False):
        raise RuntimeError("disk on fire")


def test_unexpected_failures_answer_500_in_the_shape_of_the_request(tmp_path):
    store = Broken(tmp_path / "b.db")
    store.connect()
    c = TestClient(create_app(store, KEYS), base_url="https://testserver", raise_server_exceptions=False)
    api = c.get("/v1/pipelines", headers={"Authorization": "Bearer key-acme-123"})
    assert (api.status_code, api.json()) == (500, {"error": "internal error"})
    sign_in(c)
    page = c.get("/pipelines")
    assert page.status_code == 500 and "went wrong" in page.text and "disk on fire" not in page.text
    store.disconnect()


@pytest.mark.parametrize("length, status", [("70000", 413), ("abc", 400), ("-1", 400)])
def test_form_bodies_are_bounded_before_they_are_read(db, length, status):
    import asyncio

    app = create_app(db, KEYS)
    sent = []

    async def receive():
        raise AssertionError("the body must not be read")

    async def send(message):
        sent.append(message)

    scope = {"type": "http", "method": "POST", "path": "/signin", "raw_path": b"/signin", "query_string": b"",
             "headers": [(b"host", b"testserver"), (b"content-length", length.encode()),
                         (b"content-type", b"application/x-www-form-urlencoded")],
             "scheme": "https", "server": ("testserver", 443), "client": ("127.0.0.1", 1), "root_path": "",
             "http_version": "1.1", "asgi": {"version": "3.0"}}
    asyncio.run(app(scope, receive, send))
    assert sent[0]["status"] == status
    assert (b"Connection", b"close") in sent[0]["headers"]


def test_a_synced_fairness_report_shows_structure_beside_group_outcomes(db):
    pytest.importorskip("fairlearn")
    import pandas as pd

    from morvel.fairness import fairness_report
    from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe

    t = ProvenanceTracker()
    frame = wrap_dataframe(pd.DataFrame({"g": list("abab" * 2), "x": [1.0, 2, 3, 4, 5, 6, 7, 8],
                                         "age": [20, 30, 40, 50, 60, 70, 25, 65]}),
                           t, "people", ["age"])
    frame["ok"] = frame["x"] + frame["age"] > 48
    report = fairness_report(frame, "ok", bins={"age": [0, 45, 100]})
    pid, _ = lineage_pipeline(db, rows=4)
    db.store_dashboard_sync({"pipeline": {"provenance_pipeline_id": pid},
                             "fairness_report": report.to_dict()}, tenant_id="acme")
    c = client(db)
    sign_in(c)
    page = c.get(f"/pipelines/{pid}").text
    section = page.split('id="section-sync-fairness_report"')[1].split("</section>")[0]
    assert "Outcome fairness" in page
    expected = report.to_dict()["columns"][0]["attributes"][0]
    assert expected["attribute"] == "people.age" and expected["dependent"]
    # the exact per-group rates and the parity difference the report computed
    for group in expected["groups"]:
        assert f"{group['group']}: {group['value']:.3f}" in section
    assert f"{expected['difference']:.4f}" in section
    assert '<span class="tag protected">people.age</span>' in section
