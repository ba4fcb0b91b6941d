"""``morvel export``: every format on a stored demo pipeline, and its errors."""
from __future__ import annotations

import json
import sqlite3
import sys

import pandas as pd
import pytest

pytest.importorskip("openlineage.client")
pytest.importorskip("prov")

from morvel import cli, standards  # noqa: E402
from morvel.utilities.persistence import SQLiteStorage  # noqa: E402
from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag  # noqa: E402


def run_main(argv, capsys):
    try:
        code = cli.main(argv)
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def demo_db(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo")
    from morvel.demo import run_demo

    class Sink:
        def write(self, text):
            return len(text)

        def flush(self):
            pass

    summary = run_demo(rows=80, db=str(out / "lineage.db"), out=str(out), seed=5, stdout=Sink())
    assert summary["fingerprint"] is not None
    with SQLiteStorage(str(out / "lineage.db")) as storage:
        lineage = storage.pipeline_lineage(summary["pipeline_id"])
    return str(out / "lineage.db"), summary, lineage


def test_openlineage_export_of_the_demo(demo_db, capsys):
    db, summary, _ = demo_db
    code, out, err = run_main(["export", db, "--pipeline", "1", "--format", "openlineage"], capsys)
    assert code == 0, err
    events = [json.loads(line) for line in out.splitlines()]
    assert [e["eventType"] for e in events] == ["START", "COMPLETE"]
    for e in events:
        standards.validate_openlineage_event(e)
    fields = events[1]["outputs"][0]["facets"]["columnLineage"]["fields"]
    assert set(fields) == {"score", "approved"}
    score = {(f["name"], f["field"]) for f in fields["score"]["inputFields"]}
    assert score == {("applications", c) for c in ("income", "debt", "age", "employment_years")} | \
        {("regions", "region_factor")}
    taint = events[1]["outputs"][0]["facets"]["morvel_taint"]["columns"]["score"]
    assert taint["tainted"] and [s["field"] for s in taint["protectedSources"]] == ["age"]
    inputs = {d["name"]: d["facets"]["morvel_taint"]["columns"] for d in events[1]["inputs"]}
    assert {c for c, v in inputs["applications"].items() if v["protected"]} == {"gender", "age"}
    assert not any(v["protected"] for v in inputs["regions"].values())
    # Exporting again names the same run.
    again = run_main(["export", db, "--pipeline", "1", "--format", "openlineage"], capsys)[1]
    assert [json.loads(x)["run"]["runId"] for x in again.splitlines()] == [e["run"]["runId"] for e in events]


@pytest.mark.parametrize("fmt, prov_fmt", [("prov-json", "json"), ("prov-n", "provn"), ("prov-xml", "xml")])
@pytest.mark.parametrize("one_value", [False, True])
def test_prov_exports_read_back(demo_db, tmp_path, capsys, fmt, prov_fmt, one_value):
    db, summary, lineage = demo_db
    argv = ["export", db, "--pipeline", "1", "--format", fmt, "-o", str(tmp_path / "out")]
    if one_value:
        argv += ["--fingerprint", f"0x{summary['fingerprint']:08X}"]
        with SQLiteStorage(db) as storage:
            graph = storage.pipeline_graph(1, summary["fingerprint"])
    else:
        graph = lineage
    code, out, err = run_main(argv, capsys)
    assert code == 0 and out == "" and "wrote" in err
    doc = standards.prov_from_text((tmp_path / "out").read_text(encoding="utf-8"), prov_fmt)
    assert doc == standards.stored_prov_document(graph, scope="pipeline/1")
    data = json.loads(doc.serialize(format="json"))
    assert len(data["entity"]) == len(graph["nodes"])
    assert len(data["wasDerivedFrom"]) == len(graph["edges"])
    protected = {v["morvel:column"] for v in data["entity"].values() if v.get("morvel:protected") is True}
    assert protected <= {"gender", "age"} and "age" in protected
    results = [k for k, v in data["entity"].items() if v.get("morvel:result") is True]
    assert len(results) == (1 if one_value else 0)


def test_dot_exports(demo_db, capsys):
    db, summary, lineage = demo_db
    code, whole, _ = run_main(["export", db, "--pipeline", "1", "--format", "dot"], capsys)
    assert code == 0
    node_lines = [x for x in whole.splitlines() if "[label=" in x]
    edge_lines = [x for x in whole.splitlines() if "->" in x]
    assert len(node_lines) == len(lineage["nodes"]) and len(edge_lines) == len(lineage["edges"])
    fp = f"0x{summary['fingerprint']:08X}"
    code, one, _ = run_main(["export", db, "--pipeline", "1", "--format", "dot", "--fingerprint", fp], capsys)
    graph_out = run_main(["graph", db, "--pipeline", "1", "--fingerprint", fp], capsys)[1]
    assert code == 0 and one == graph_out


@pytest.mark.parametrize("argv, fragment", [
    (["export", "DB", "--pipeline", "1"], "required: --format"),
    (["export", "DB", "--format", "dot"], "required: --pipeline"),
    (["export", "DB", "--pipeline", "1", "--format", "rdf"], "invalid choice"),
    (["export", "DB", "--pipeline", "0", "--format", "dot"], "--pipeline: must be at least 1"),
    (["export", "DB", "--pipeline", "1", "--format", "dot", "--fingerprint", "zz"], "must be a 32-bit word"),
    (["export", "DB", "--pipeline", "1", "--format", "openlineage", "--fingerprint", "1"],
     "--fingerprint applies to prov-json"),
    (["export", "DB", "--pipeline", "9", "--format", "prov-n"], "has no pipeline 9"),
    (["export", "DB", "--pipeline", "1", "--format", "prov-n", "--fingerprint", "0x1"],
     "has no node with fingerprint 0x00000001"),
    (["export", "DB", "--pipeline", "1", "--format", "openlineage", "--namespace", " "],
     "--namespace must not be empty"),
    (["export", "DB", "--pipeline", "1", "--format", "dot", "-o", "DB"], "is the lineage database itself"),
    (["export", "DB", "--pipeline", "1", "--format", "dot", "-o", "/nonexistent/dir/x.dot"], "does not exist"),
    (["export", "MISSING", "--pipeline", "1", "--format", "dot"], "no such file"),
    (["export", "TEXT", "--pipeline", "1", "--format", "dot"], "is not an SQLite database"),
])
def test_export_mistakes_exit_2_with_one_line(demo_db, tmp_path, capsys, argv, fragment):
    text = tmp_path / "notes.txt"
    text.write_text("hello")
    subst = {"DB": demo_db[0], "MISSING": str(tmp_path / "none.db"), "TEXT": str(text)}
    code, out, err = run_main([subst.get(a, a) for a in argv], capsys)
    assert code == 2 and out == ""
    assert len(err.strip().splitlines()) == 1 and err.startswith("morvel export: error:")
    assert fragment in err


@pytest.mark.parametrize("fmt, blocked, extra", [
    ("openlineage", "openlineage.client", "openlineage"),
    ("prov-json", "prov", "prov"),
    ("prov-xml", "lxml", "prov"),
])
def test_missing_extra_is_one_line_with_the_install_command(demo_db, capsys, monkeypatch, fmt, blocked, extra):
    monkeypatch.setitem(sys.modules, blocked, None)
    code, out, err = run_main(["export", demo_db[0], "--pipeline", "1", "--format", fmt], capsys)
    assert code == 2 and out == ""
    assert len(err.strip().splitlines()) == 1 and f"pip install 'morvel[{extra}]'" in err


def _stored_pipeline(path, status):
    tracker = DAGTracker(pipeline_name="small")
    df = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "p": [3.0, 4.0]}), tracker, "t", protected=["p"])
    s = df["a"] * df["p"]
    with SQLiteStorage(str(path)) as storage:
        pid = storage.create_pipeline("small")
        tracker.persist_to_storage(storage, pid)
        DAGTracker.persist_results(storage, pid, [1, 2], {"s": s})
        if status == "failed":
            storage.complete_pipeline(pid, "failed")
        elif status == "running":
            with sqlite3.connect(str(path)) as con:
                con.execute("UPDATE pipelines SET status = 'running', completed_at = NULL WHERE id = ?", (pid,))
    return pid


@pytest.mark.parametrize("status, types", [
    ("completed", ["START", "COMPLETE"]),
    ("failed", ["START", "FAIL"]),
    ("running", ["START"]),
])
def test_openlineage_events_follow_the_stored_status(tmp_path, capsys, status, types):
    db = tmp_path / "l.db"
    pid = _stored_pipeline(db, status)
    code, out, err = run_main(["export", str(db), "--pipeline", str(pid), "--format", "openlineage",
                               "--namespace", "team"], capsys)
    assert code == 0, err
    events = [standards.validate_openlineage_event(json.loads(x)) for x in out.splitlines()]
    assert [e["eventType"] for e in events] == types
    assert {e["job"]["namespace"] for e in events} == {"team"}
    if status == "failed":
        assert "errorMessage" in events[-1]["run"]["facets"]
    if status != "running":
        fields = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]
        assert {(f["name"], f["field"]) for f in fields["s"]["inputFields"]} == {("t", "a"), ("t", "p")}


@pytest.mark.parametrize("fmt", ["openlineage", "prov-json", "prov-n", "prov-xml", "dot"])
def test_control_characters_of_stored_names_survive_every_format(tmp_path, capsys, fmt):
    """Names reach the store from the service's clients; XML cannot carry
    control characters and a terminal must not receive them."""
    tracker = DAGTracker(pipeline_name="names\x1b[2J")
    frame = wrap_dataframe_dag(pd.DataFrame({"a\x1b[31m": [1.0, 2.0], "b\x00": [3.0, 4.0]}),
                               tracker, "t\x07", protected=["a\x1b[31m"])
    total = frame["a\x1b[31m"] + frame["b\x00"]
    db = tmp_path / "l.db"
    with SQLiteStorage(str(db)) as storage:
        pid = tracker.persist_to_storage(storage)
        DAGTracker.persist_results(storage, pid, [1, 2], {"total": total})
    code, out, err = run_main(["export", str(db), "--pipeline", str(pid), "--format", fmt], capsys)
    assert code == 0, err
    assert not any(ch in out for ch in "\x00\x07\x1b")
    if fmt == "openlineage":
        events = [standards.validate_openlineage_event(json.loads(x)) for x in out.splitlines()]
        fields = events[-1]["outputs"][0]["facets"]["columnLineage"]["fields"]["total"]["inputFields"]
        assert {(f["name"], f["field"]) for f in fields} == {("t\x07", "a\x1b[31m"), ("t\x07", "b\x00")}
    elif fmt != "dot":
        prov_fmt = {"prov-json": "json", "prov-n": "provn", "prov-xml": "xml"}[fmt]
        data = json.loads(standards.prov_from_text(out, prov_fmt).serialize(format="json"))
        columns = {v["morvel:column"]: v["morvel:protected"] for v in data["entity"].values()
                   if "morvel:column" in v}
        assert columns == {"a\\x1b[31m": True, "b\\x00": False}


def test_pipeline_lineage_agrees_with_the_stored_counts(demo_db):
    db, summary, lineage = demo_db
    with SQLiteStorage(db) as storage:
        listed = storage.get_pipeline(1)
        with pytest.raises(KeyError):
            storage.pipeline_lineage(99)
    assert lineage["pipeline"] == listed
    assert len(lineage["nodes"]) == listed["node_count"] and len(lineage["edges"]) == listed["edge_count"]
    ids = {n["node_id"] for n in lineage["nodes"]}
    assert all(e["parent_id"] in ids and e["child_id"] in ids for e in lineage["edges"])
    with sqlite3.connect(db) as con:
        rows = con.execute("SELECT output_name, fingerprint FROM results WHERE pipeline_id = 1").fetchall()
    expected: dict = {}
    for name, fp in rows:
        expected.setdefault(name, set()).add(fp)
    assert {k: set(v) for k, v in lineage["outputs"].items()} == expected
    assert all(v == sorted(v) for v in lineage["outputs"].values())
    protected = {f"{s['table_name']}.{s['column_name']}" for s in lineage["sources"] if s["is_protected"]}
    assert protected == set(listed["protected_sources"]) == {"applications.gender", "applications.age"}
    assert [s["pair_id"] for s in lineage["sources"]] == list(range(len(lineage["sources"])))


def test_cli_format_list_matches_the_exporters():
    # The parser lists the formats without importing the exporters (instant --help).
    assert cli.EXPORT_FORMATS == tuple(standards.EXPORT_FORMATS)
