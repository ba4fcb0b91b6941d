"""OpenLineage events and W3C PROV documents of tracked pipelines."""
from __future__ import annotations

import copy
import json
import subprocess
import sys
import textwrap
from typing import Dict, List, Set, Tuple

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("openlineage.client")
pytest.importorskip("prov")

from morvel import standards  # noqa: E402
from morvel._standards._fields import GraphSummaries, node_kind, tracker_summaries  # noqa: E402
from morvel._standards.provdoc import GraphNode, prov_document  # noqa: E402
from morvel.demo import make_applications, make_regions, score_applications  # noqa: E402
from morvel.utilities.vortel32 import ProvenanceTracker, wrap_dataframe  # noqa: E402
from morvel.utilities.vortel32_dag import (  # noqa: E402
    DAGTracker,
    get_dag_for_series,
    wrap_dataframe_dag,
)

APPS = "applications"
REGIONS = "regions"


def lineage_of(event: dict) -> Dict[str, Dict[Tuple[str, str], List[Tuple[str, str]]]]:
    """output column -> {(table, column): [(type, subtype), ...]} of the
    first output dataset's column-lineage facet."""
    fields = event["outputs"][0]["facets"]["columnLineage"]["fields"]
    return {
        name: {(f["name"], f["field"]): [(t["type"], t["subtype"]) for t in f["transformations"]]
               for f in entry["inputFields"]}
        for name, entry in fields.items()
    }


# ---------------------------------------------------------------------------
# The demo pipeline through the file transport
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def demo_events(tmp_path_factory):
    raw = make_applications(300, seed=3)
    regions = make_regions()
    result = score_applications(raw, regions)
    events = standards.openlineage_events(
        result.tracker, result.applications, "scored_applications", job_name="credit_demo",
        namespace="credit", sources={APPS: raw, REGIONS: regions})
    path = tmp_path_factory.mktemp("ol") / "events.jsonl"
    sent = standards.emit_openlineage(events, transport="file", file_path=str(path))
    lines = path.read_text().splitlines()
    return sent, [json.loads(line) for line in lines], events


def test_demo_file_transport_writes_start_and_complete(demo_events):
    sent, written, events = demo_events
    assert sent == 2 and [e["eventType"] for e in written] == ["START", "COMPLETE"]
    assert written[0]["run"]["runId"] == written[1]["run"]["runId"]
    for event, obj in zip(written, events):
        assert standards.validate_openlineage_event(event) == standards.event_to_dict(obj)
    assert [d["name"] for d in written[1]["inputs"]] == [APPS, REGIONS]
    assert written[1]["outputs"][0]["name"] == "scored_applications"
    assert written[1]["job"] == {"namespace": "credit", "name": "credit_demo", "facets": written[1]["job"]["facets"]}


def test_demo_column_lineage_mapping(demo_events):
    complete = demo_events[1][1]
    lineage = lineage_of(complete)
    computed = [("DIRECT", "TRANSFORMATION")]
    joined = [("DIRECT", "TRANSFORMATION"), ("INDIRECT", "JOIN")]
    score = {(APPS, "income"): computed, (APPS, "debt"): computed, (APPS, "age"): computed,
             (APPS, "employment_years"): computed, (REGIONS, "region_factor"): joined}
    assert lineage["score"] == score
    assert lineage["approved"] == {**score, (REGIONS, "min_score"): joined}
    assert lineage["dti"] == {(APPS, "income"): computed, (APPS, "debt"): computed}
    assert lineage["income"] == {(APPS, "income"): [("DIRECT", "IDENTITY")]}
    masking = {t["masking"] for e in complete["outputs"][0]["facets"]["columnLineage"]["fields"].values()
               for f in e["inputFields"] for t in f["transformations"]}
    assert masking == {False}


def test_demo_taint_facet_flags_protected_sources(demo_events):
    start, complete = demo_events[1]
    taint = complete["outputs"][0]["facets"]["morvel_taint"]
    assert taint["_schemaURL"] == standards.TAINT_FACET_SCHEMA_URL
    assert taint["_producer"] == standards.PRODUCER
    cols = taint["columns"]
    age = [{"namespace": "credit", "name": APPS, "field": "age"}]
    assert cols["score"]["tainted"] and cols["score"]["protectedSources"] == age
    assert cols["approved"]["protectedSources"] == age
    assert cols["gender"]["riskLevel"] == "HIGH" and cols["gender"]["minDepth"] == 0
    assert not cols["dti"]["tainted"] and cols["dti"]["riskLevel"] == "CLEAN" and "minDepth" not in cols["dti"]
    inputs = {d["name"]: d["facets"] for d in complete["inputs"]}
    protected = {c for c, v in inputs[APPS]["morvel_taint"]["columns"].items() if v["protected"]}
    assert protected == {"gender", "age"}
    types = {f["name"]: f["type"] for f in inputs[APPS]["schema"]["fields"]}
    assert types["age"] == "int64" and types["income"] == "float64"
    # START announces the output dataset without the lineage facets.
    assert set(start["outputs"][0]["facets"]) == {"schema"}


def _schema_validator():
    jsonschema = pytest.importorskip("jsonschema")
    referencing = pytest.importorskip("referencing")
    with open(standards.TAINT_FACET_SCHEMA_PATH, encoding="utf-8") as fh:
        schema = json.load(fh)
    # Offline stand-in for the base facet the schema extends: what the
    # standard requires of every facet.
    base = {"$defs": {"DatasetFacet": {"type": "object", "required": ["_producer", "_schemaURL"],
                                       "properties": {"_producer": {"type": "string"},
                                                      "_schemaURL": {"type": "string"}}}}}
    registry = referencing.Registry().with_resource(
        "https://openlineage.io/spec/2-0-2/OpenLineage.json",
        referencing.Resource.from_contents(base, default_specification=referencing.jsonschema.DRAFT202012))
    fragment = standards.TAINT_FACET_SCHEMA_URL.split("#")[1]
    facet_schema = {"$ref": "#" + fragment, **{k: v for k, v in schema.items() if k == "$defs"}}
    return jsonschema.Draft202012Validator(facet_schema, registry=registry)


def test_taint_facets_match_their_shipped_schema(demo_events):
    validator = _schema_validator()
    complete = demo_events[1][1]
    facets = [complete["outputs"][0]["facets"]["morvel_taint"]] + \
        [d["facets"]["morvel_taint"] for d in complete["inputs"]]
    for facet in facets:
        validator.validate(facet)
    broken = copy.deepcopy(facets[0])
    broken["columns"]["score"]["riskLevel"] = "SEVERE"
    assert list(validator.iter_errors(broken))


# ---------------------------------------------------------------------------
# The validator rejects what the standard forbids
# ---------------------------------------------------------------------------


def _set(path, value):
    def change(event):
        target = event
        for key in path[:-1]:
            target = target[key]
        if value is KeyError:
            del target[path[-1]]
        else:
            target[path[-1]] = value
    return change


_SCORE = ["outputs", 0, "facets", "columnLineage", "fields", "score", "inputFields", 0]


@pytest.mark.parametrize("change", [
    _set(["run", "runId"], KeyError),
    _set(["run", "runId"], "run-1"),
    _set(["eventTime"], "2026-12-08"),
    _set(["eventType"], "DONE"),
    _set(["job", "name"], 5),
    _set(["schemaURL"], "https://openlineage.io/spec/1-0-0/OpenLineage.json#/$defs/RunEvent"),
    _set(_SCORE + ["transformations", 0, "type"], "SIDEWAYS"),
    _set(_SCORE + ["transformations", 0, "subtype"], "JOIN"),
    _set(_SCORE + ["transformations", 0, "masking"], "no"),
    _set(_SCORE + ["field"], KeyError),
    _set(["outputs", 0, "facets", "columnLineage", "_schemaURL"], "https://example.org/x.json"),
    _set(["outputs", 0, "facets", "columnLineage", "_producer"], KeyError),
    _set(["outputs", 0, "facets", "morvel_taint", "columns", "score", "maxRisk"], 2.0),
    _set(["outputs", 0, "facets", "morvel_taint", "columns", "score", "colour"], "red"),
    _set(["outputs", 0, "facets", "unknownFacet"], {"_producer": "x", "_schemaURL": "y"}),
    _set(["inputs", 0, "facets", "schema", "fields", 0, "name"], None),
    _set(["extra"], 1),
])
def test_validator_rejects_broken_events(demo_events, change):
    event = copy.deepcopy(demo_events[1][1])
    standards.validate_openlineage_event(event)
    change(event)
    with pytest.raises(standards.InvalidEventError):
        standards.validate_openlineage_event(event)


# ---------------------------------------------------------------------------
# Column lineage against a brute-force reference
# ---------------------------------------------------------------------------

_UNARY = {"neg": lambda s: -s, "clip": lambda s: s.clip(-5.0, 5.0), "fill": lambda s: s.fillna(0.0)}
_BINARY = {"add": lambda a, b: a + b, "mul": lambda a, b: a * b, "sub": lambda a, b: a - b}

programs = st.lists(
    st.one_of(
        st.tuples(st.sampled_from(sorted(_UNARY)), st.integers(0, 30)),
        st.tuples(st.sampled_from(sorted(_BINARY)), st.integers(0, 30), st.integers(0, 30)),
    ),
    min_size=1, max_size=8,
)


@pytest.mark.parametrize("level", ["word", "dag"])
@given(program=programs, ncols=st.integers(2, 6), protected=st.sets(st.integers(0, 5), max_size=3))
def test_column_lineage_matches_reference_sets(level, program, ncols, protected):
    frame = pd.DataFrame({f"c{i}": np.arange(4, dtype=float) + i for i in range(ncols)})
    names = [f"c{i}" for i in protected if i < ncols]
    if level == "word":
        tracker = ProvenanceTracker()
        df = wrap_dataframe(frame, tracker, "t", protected=names)
    else:
        tracker = DAGTracker()
        df = wrap_dataframe_dag(frame, tracker, "t", protected=names)
    pool = [df[c] for c in frame.columns]
    ref: List[Set[str]] = [{c} for c in frame.columns]
    for step in program:
        op, i = step[0], step[1] % len(pool)
        if op in _UNARY:
            pool.append(_UNARY[op](pool[i]))
            ref.append(set(ref[i]))
        else:
            j = step[2] % len(pool)
            pool.append(_BINARY[op](pool[i], pool[j]))
            ref.append(ref[i] | ref[j])
    out_cols = {}
    for k in range(ncols, len(pool)):
        df[f"out{k}"] = pool[k]
        out_cols[f"out{k}"] = ref[k]
    _, complete = standards.openlineage_events(tracker, df, "out", job_name="prop")
    event = standards.validate_openlineage_event(complete)
    lineage = lineage_of(event)
    taint = event["outputs"][0]["facets"]["morvel_taint"]["columns"]
    for name, sources in out_cols.items():
        assert set(lineage[name]) == {("t", c) for c in sources}
        for transformations in lineage[name].values():
            assert transformations == [("DIRECT", "TRANSFORMATION")]
        assert taint[name]["tainted"] == bool(sources & set(names))
        assert {s["field"] for s in taint[name]["protectedSources"]} == sources & set(names)
    for c in frame.columns:  # the wrapped columns themselves are identities
        assert lineage[c] == {("t", c): [("DIRECT", "IDENTITY")]}


_KINDS = ["SOURCE", "UNARY", "BINARY", "AGGREGATE", "MERGE", "FILTER"]


@st.composite
def graphs(draw):
    """Random lineage graphs: node i's inputs are earlier nodes."""
    n = draw(st.integers(1, 12))
    nodes = []
    for i in range(n):
        kind = "SOURCE" if i == 0 else draw(st.sampled_from(_KINDS))
        inputs = [] if kind == "SOURCE" else draw(st.lists(st.integers(0, i - 1), min_size=1, max_size=3))
        op = {"MERGE": "merge_left"}.get(kind, "merge" if kind == "UNARY" and draw(st.booleans()) else "op")
        nodes.append((kind, op, inputs))
    return nodes


@given(graph=graphs())
def test_graph_summaries_match_path_enumeration(graph):
    def get(i):
        kind, op, inputs = graph[i]
        return kind, op, inputs, (("t", f"c{i}") if kind == "SOURCE" else None)

    def paths(i):  # brute force: every path from node i down to a source
        kind, op, inputs = graph[i]
        if kind == "SOURCE":
            return [(("t", f"c{i}"), frozenset())]
        step = node_kind(kind, op)
        return [(src, kinds | {step}) for j in inputs for src, kinds in paths(j)]

    summaries = GraphSummaries(get)
    root = len(graph) - 1
    expected: Dict[Tuple[str, str], Set[str]] = {}
    for src, kinds in paths(root):
        expected.setdefault(src, set()).update(kinds)
    assert summaries.sources([root]) == {k: frozenset(v) for k, v in expected.items()}


def test_merge_and_aggregate_steps_give_join_and_aggregation():
    tracker = DAGTracker()
    left = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2], "x": [1.0, 2.0]}), tracker, "l")
    right = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2], "y": [5.0, 6.0]}), tracker, "r", protected=["y"])
    merged = left.merge(right, on="k")
    out = wrap_dataframe_dag(pd.DataFrame({"k": [1, 2]}), tracker, "l")
    out["y"] = merged["y"]
    out["xy"] = merged["x"] * merged["y"]
    event = standards.validate_openlineage_event(standards.openlineage_events(tracker, out, "o", job_name="j")[1])
    lineage = lineage_of(event)
    assert lineage["y"] == {("r", "y"): [("DIRECT", "IDENTITY"), ("INDIRECT", "JOIN")]}
    assert lineage["xy"] == {("l", "x"): [("DIRECT", "TRANSFORMATION"), ("INDIRECT", "JOIN")],
                             ("r", "y"): [("DIRECT", "TRANSFORMATION"), ("INDIRECT", "JOIN")]}
    # An aggregate over the merged y column.
    y_node = int(merged["y"]._node_ids[0])
    agg = tracker.log_aggregate("sum", [y_node], int(merged["y"]._prov[0]))
    summaries = tracker_summaries(tracker)
    assert summaries.sources([agg]) == {("r", "y"): frozenset({"aggregation", "join"})}


# ---------------------------------------------------------------------------
# FAIL, arguments, transports
# ---------------------------------------------------------------------------


def _small():
    tracker = DAGTracker()
    df = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "p": [3.0, 4.0]}), tracker, "t", protected=["p"])
    df["s"] = df["a"] + df["p"]
    return tracker, df


def test_failed_run_gives_start_and_fail_with_the_error():
    tracker, _ = _small()
    try:
        raise RuntimeError("merge lost its key")
    except RuntimeError as exc:
        error = exc
    start, fail = standards.openlineage_events(tracker, None, job_name="j", status="FAIL", error=error)
    d = standards.validate_openlineage_event(fail)
    assert d["eventType"] == "FAIL" and d["outputs"] == []
    facet = d["run"]["facets"]["errorMessage"]
    assert facet["message"] == "RuntimeError: merge lost its key" and facet["programmingLanguage"] == "python"
    assert "raise RuntimeError" in facet["stackTrace"]
    assert [i["name"] for i in d["inputs"]] == ["t"]


@pytest.mark.parametrize("kwargs, exc", [
    ({"status": "DONE"}, ValueError),
    ({"status": 1}, TypeError),
    ({"job_name": b"j"}, TypeError),
    ({"namespace": None}, TypeError),
    ({"sources": [1]}, TypeError),
])
def test_event_arguments_are_checked(kwargs, exc):
    tracker, df = _small()
    args = {"job_name": "j", **kwargs}
    with pytest.raises(exc):
        standards.openlineage_events(tracker, df, "o", **args)


def test_completed_run_needs_a_result_and_a_tracked_frame():
    tracker, df = _small()
    with pytest.raises(ValueError, match="result frame"):
        standards.openlineage_events(tracker, None, job_name="j")
    with pytest.raises(TypeError, match="Argument 'result' has incorrect type"):
        standards.openlineage_events(tracker, pd.DataFrame({"a": [1]}), job_name="j")
    other, _ = _small()
    with pytest.raises(ValueError, match="another tracker"):
        standards.openlineage_events(other, df, job_name="j")


def test_series_result_and_word_level_tracker():
    tracker = ProvenanceTracker()
    df = wrap_dataframe(pd.DataFrame({"a": [1.0], "b": [2.0]}), tracker, "t", protected=True)
    s = (df["a"] * df["b"]).rename("ab")
    d = standards.validate_openlineage_event(standards.openlineage_events(tracker, s, "o", job_name="j")[1])
    assert set(lineage_of(d)) == {"ab"}
    assert d["outputs"][0]["facets"]["morvel_taint"]["columns"]["ab"]["riskLevel"] in ("HIGH", "MEDIUM")


@pytest.mark.parametrize("kwargs, message", [
    ({"transport": "kafka"}, "transport must be"),
    ({"transport": "file"}, "needs file_path"),
    ({"transport": "http"}, "needs url"),
])
def test_transport_arguments(kwargs, message):
    tracker, df = _small()
    events = standards.openlineage_events(tracker, df, "o", job_name="j")
    with pytest.raises(ValueError, match=message):
        standards.emit_openlineage(events, **kwargs)


def test_console_transport_logs_each_event(caplog):
    tracker, df = _small()
    events = standards.openlineage_events(tracker, df, "o", job_name="j")
    with caplog.at_level("INFO", logger="openlineage.client.transport.console"):
        assert standards.emit_openlineage(events, transport="console") == 2
    logged = [json.loads(r.getMessage()) for r in caplog.records if r.name.endswith("console")]
    assert [e["eventType"] for e in logged] == ["START", "COMPLETE"]


def test_invalid_event_is_refused_before_anything_is_sent(tmp_path):
    tracker, df = _small()
    events = standards.openlineage_events(tracker, df, "o", job_name="j")
    field = events[1].outputs[0].facets["columnLineage"].fields["s"].inputFields[0]
    field.transformations[0].subtype = "JOIN"  # not a DIRECT subtype
    with pytest.raises(standards.InvalidEventError, match="not a DIRECT subtype"):
        standards.emit_openlineage(events, transport="file", file_path=str(tmp_path / "e"))
    assert not (tmp_path / "e").exists()


def test_disabled_client_is_reported_not_hidden(monkeypatch, tmp_path):
    monkeypatch.setenv("OPENLINEAGE_DISABLED", "true")
    tracker, df = _small()
    events = standards.openlineage_events(tracker, df, "o", job_name="j")
    with pytest.warns(UserWarning, match="disabled"):
        assert standards.emit_openlineage(events, transport="file", file_path=str(tmp_path / "e")) == 0
    assert not (tmp_path / "e").exists()


RECEIVER = textwrap.dedent("""
    import json, sys
    from http.server import BaseHTTPRequestHandler, HTTPServer

    out = open(sys.argv[1], "a")

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            if self.headers.get("Authorization") != "Bearer s3cret":
                self.send_response(401)
                self.end_headers()
                return
            out.write(json.dumps({"path": self.path, "auth": self.headers.get("Authorization"),
                                  "body": json.loads(body)}) + "\\n")
            out.flush()
            self.send_response(201)
            self.end_headers()

        def log_message(self, *args):
            pass

    server = HTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()
""")


@pytest.fixture
def receiver(tmp_path):
    """A lineage endpoint on a free loopback port, in its own process; it
    keeps what it accepts in a file and refuses requests without the key."""
    log = tmp_path / "received.jsonl"
    proc = subprocess.Popen([sys.executable, "-c", RECEIVER, str(log)], stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline())
        yield f"http://127.0.0.1:{port}", log
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def test_http_transport_posts_to_a_real_receiver(receiver):
    url, log = receiver
    tracker, df = _small()
    events = standards.openlineage_events(tracker, df, "o", job_name="j")
    sent = standards.emit_openlineage(events, transport="http", url=url, endpoint="api/v1/lineage",
                                      api_key="s3cret", timeout=10)
    assert sent == 2
    received = [json.loads(line) for line in log.read_text().splitlines()]
    assert [r["path"] for r in received] == ["/api/v1/lineage"] * 2
    assert {r["auth"] for r in received} == {"Bearer s3cret"}
    assert [r["body"] for r in received] == [standards.event_to_dict(e) for e in events]


def test_http_transport_failures_raise(receiver):
    import socket

    url, log = receiver
    tracker, df = _small()
    events = standards.openlineage_events(tracker, df, "o", job_name="j")
    with pytest.raises(OSError, match="401"):  # refused: wrong key
        standards.emit_openlineage(events, transport="http", url=url, api_key="wrong", retries=0, timeout=5)
    assert not log.exists() or log.read_text() == ""
    with socket.socket() as sock:  # a port nobody listens on
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    with pytest.raises(OSError):
        standards.emit_openlineage(events, transport="http", url=f"http://127.0.0.1:{port}", retries=0, timeout=2)


def test_missing_client_says_how_to_install(monkeypatch):
    tracker, df = _small()
    monkeypatch.setitem(sys.modules, "openlineage.client", None)
    with pytest.raises(ImportError, match=r"pip install 'morvel\[openlineage\]'"):
        standards.openlineage_events(tracker, df, "o", job_name="j")


# ---------------------------------------------------------------------------
# W3C PROV
# ---------------------------------------------------------------------------

FORMATS = ["json", "provn", "xml"]
names = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=8)


@st.composite
def prov_graphs(draw):
    n = draw(st.integers(1, 10))
    nodes = []
    for i in range(n):
        if i == 0 or draw(st.booleans()):
            nodes.append(GraphNode(i, "SOURCE", "", [], draw(st.integers(0, 2**32 - 1)), draw(names),
                                   draw(names), i, draw(st.booleans())))
        else:
            nodes.append(GraphNode(i, draw(st.sampled_from(["UNARY", "BINARY", "AGGREGATE"])), draw(names),
                                   draw(st.lists(st.integers(0, i - 1), min_size=1, max_size=3)),
                                   draw(st.integers(0, 2**32 - 1))))
    return nodes


@pytest.mark.parametrize("fmt", FORMATS)
@given(nodes=prov_graphs())
def test_prov_round_trips(fmt, nodes):
    doc = prov_document(nodes, roots=[nodes[-1].node_id], scope="pipeline/7")
    back = standards.prov_from_text(standards.prov_to_text(doc, fmt), fmt)
    assert back == doc
    assert len(back.get_records()) == len(doc.get_records())


def test_prov_n_of_a_small_graph():
    nodes = [GraphNode(0, "SOURCE", "people.age", [], 0x20030000, "people", "age", 2, True),
             GraphNode(1, "SOURCE", "people.debt", [], 0x00040000, "people", "debt", 3, False),
             GraphNode(2, "BINARY", "add", [0, 1], 0x24000001)]
    text = standards.prov_to_text(prov_document(nodes, roots=[2]), "provn")
    expected = """\
document
  prefix morvel <https://github.com/morvel/morvel/ns/lineage#>
  prefix lineage <urn:morvel:lineage:>
  
  entity(lineage:n0, [morvel:provenance="0x20030000", morvel:taint="true" %% xsd:boolean, morvel:depth=0, \
prov:type='morvel:SourceColumn', prov:label="people.age", morvel:table="people", morvel:column="age", \
morvel:protected="true" %% xsd:boolean, morvel:pairId=2])
  entity(lineage:n1, [morvel:provenance="0x00040000", morvel:taint="false" %% xsd:boolean, morvel:depth=0, \
prov:type='morvel:SourceColumn', prov:label="people.debt", morvel:table="people", morvel:column="debt", \
morvel:protected="false" %% xsd:boolean, morvel:pairId=3])
  entity(lineage:n2, [morvel:provenance="0x24000001", morvel:taint="true" %% xsd:boolean, morvel:depth=1, \
morvel:result="true" %% xsd:boolean, prov:type='morvel:DerivedValue', prov:label="add"])
  activity(lineage:op2, -, -, [prov:type='morvel:Operation', prov:label="add", morvel:nodeType="BINARY"])
  wasGeneratedBy(lineage:n2, lineage:op2, -)
  used(lineage:op2, lineage:n0, -, [morvel:position=0])
  wasDerivedFrom(lineage:n2, lineage:n0, lineage:op2, -, -)
  used(lineage:op2, lineage:n1, -, [morvel:position=1])
  wasDerivedFrom(lineage:n2, lineage:n1, lineage:op2, -, -)
endDocument"""
    assert text == expected


def test_value_graph_of_a_tracked_series():
    tracker, df = _small()
    dag = get_dag_for_series(df["s"], 1)
    doc = standards.dag_prov_document(dag)
    data = json.loads(standards.prov_to_text(doc, "json"))
    entities = data["entity"]
    sources = {v["morvel:column"]: v["morvel:protected"] for v in entities.values() if "morvel:column" in v}
    assert sources == {"a": False, "p": True}
    assert len(data["activity"]) == len(dag.nodes) - len(dag.source_nodes)
    assert len(data["used"]) == len(data["wasDerivedFrom"]) == len(dag.edges)
    assert len(data["wasGeneratedBy"]) == len(data["activity"])


def test_inputs_missing_from_the_graph_are_kept_as_evicted_entities():
    doc = prov_document([GraphNode(5, "UNARY", "neg", [3], 0)])
    data = json.loads(standards.prov_to_text(doc, "json"))
    assert data["entity"]["lineage:n3"]["morvel:evicted"] is True
    assert data["used"] and set(data["entity"]) == {"lineage:n3", "lineage:n5"}


@pytest.mark.parametrize("module, fmt", [("prov", "json"), ("lxml", "xml")])
def test_missing_prov_packages_say_how_to_install(monkeypatch, module, fmt):
    doc = prov_document([GraphNode(0, "SOURCE", "", [], 0, "t", "c", 0, False)])
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=r"pip install 'morvel\[prov\]'"):
        if module == "prov":
            prov_document([GraphNode(0, "SOURCE", "", [], 0, "t", "c", 0, False)])
        else:
            standards.prov_to_text(doc, fmt)


def test_prov_format_is_checked():
    doc = prov_document([GraphNode(0, "SOURCE", "", [], 0, "t", "c", 0, False)])
    with pytest.raises(ValueError, match="fmt must be one of"):
        standards.prov_to_text(doc, "turtle")
