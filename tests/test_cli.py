"""The ``morvel`` command: argument checking, the demo end to end, and
``show``/``graph`` on the database the demo wrote."""
from __future__ import annotations

import os
import re
import shutil
import sqlite3
import subprocess
import sys

import pandas as pd
import pytest

from morvel import cli
from morvel.demo import format_risk_report, make_applications, make_regions


def run_main(argv, capsys):
    """Run ``cli.main`` in-process; return (exit code, stdout, stderr)."""
    try:
        code = cli.main(argv)
    except SystemExit as exc:  # argparse exits for usage errors and --help
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


def child_env(**extra):
    """The test's environment for a child process.  A relative PYTHONPATH
    (``PYTHONPATH=src`` in a checkout) is made absolute, since children run
    in other folders."""
    env = dict(os.environ, **extra)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


def run_cli(args, cwd, timeout=300, env=None):
    """Run ``python -m morvel.cli`` as a user would, inheriting the environment."""
    return subprocess.run(
        [sys.executable, "-m", "morvel.cli", *args],
        cwd=cwd, env=env or child_env(), capture_output=True, text=True, timeout=timeout,
    )


# ---------------------------------------------------------------------------
# Argument checking: exit code 2, one line, no traceback
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, fragment",
    [
        ([], "required: COMMAND"),
        (["bogus"], "invalid choice"),
        (["demo", "--rows", "x"], "--rows: must be a whole number"),
        (["demo", "--rows", "0"], "--rows: must be between 1"),
        (["demo", "--rows", "-3"], "--rows: must be between 1"),
        (["demo", "--rows", "2000000"], "--rows: must be between 1"),
        (["demo", "--seed", "1.5"], "--seed: must be a whole number"),
        (["demo", "--unknown"], "unrecognized arguments"),
        (["serve", "--db", "x.db"], "required: --api-key"),
        (["serve", "--db", "x.db", "--api-key", ""], "--api-key: must not be empty"),
        (["serve", "--db", "x.db", "--api-key", "k", "--port", "70000"], "--port: must be between 0 and 65,535"),
        (["serve", "--api-key", "k"], "required: --db"),
        (["show"], "required: PATH"),
        (["graph", "x.db", "--fingerprint", "1"], "required: --pipeline"),
        (["graph", "x.db", "--pipeline", "1"], "required: --fingerprint"),
        (["graph", "x.db", "--pipeline", "0", "--fingerprint", "1"], "--pipeline: must be at least 1"),
        (["graph", "x.db", "--pipeline", "1", "--fingerprint", "0xZZ"], "--fingerprint: must be a 32-bit word"),
        (["graph", "x.db", "--pipeline", "1", "--fingerprint", "0x100000000"], "must fit in 32 bits"),
        (["graph", "x.db", "--pipeline", "1", "--fingerprint", "-1"], "must fit in 32 bits"),
    ],
)
def test_bad_arguments_exit_2_with_one_line(argv, fragment, capsys):
    code, out, err = run_main(argv, capsys)
    assert code == 2
    assert out == ""
    assert err.count("\n") == 1 and err.endswith("\n")
    assert fragment in err
    assert err.startswith("morvel")
    assert "Traceback" not in err


@pytest.mark.parametrize(
    "argv, line",
    [
        (["show", "a.db", "extra"], "morvel show: error: unrecognized arguments: extra (see morvel show --help)"),
        (["show", "a.db", "x", "--y"], "morvel show: error: unrecognized arguments: x --y (see morvel show --help)"),
        (["demo", "--rows", "5", "7"], "morvel demo: error: unrecognized arguments: 7 (see morvel demo --help)"),
        (["graph", "a.db", "--pipeline", "1", "--fingerprint", "1", "--bogus"],
         "morvel graph: error: unrecognized arguments: --bogus (see morvel graph --help)"),
        (["serve", "--db", "a.db", "--api-key", "k", "more"],
         "morvel serve: error: unrecognized arguments: more (see morvel serve --help)"),
        # before the command, the top-level parser is the one that objects
        (["--bogus", "show", "a.db"], "morvel: error: unrecognized arguments: --bogus (see morvel --help)"),
    ],
)
def test_extra_arguments_are_reported_by_the_command_they_follow(argv, line, capsys):
    code, out, err = run_main(argv, capsys)
    assert (code, out, err) == (2, "", line + "\n")


@pytest.mark.parametrize(
    "argv, fragment",
    [
        (["show", "{tmp}/missing.db"], "no such file"),
        (["show", "{tmp}"], "is a folder"),
        (["show", "{tmp}/notes.txt"], "is not an SQLite database"),
        (["show", "{tmp}/other.db"], "is not a morvel lineage database"),
        (["graph", "{tmp}/missing.db", "--pipeline", "1", "--fingerprint", "5"], "no such file"),
        (["demo", "--out", "{tmp}/notes.txt"], "is not a folder"),
        (["demo", "--db", "{tmp}", "--out", "{tmp}/o"], "is a folder"),
        (["demo", "--db", "{tmp}/notes.txt", "--out", "{tmp}/o"], "is not an SQLite database"),
        (["serve", "--db", "{tmp}/notes.txt", "--api-key", "k"], "is not an SQLite database"),
        (["serve", "--db", "{tmp}/other.db", "--api-key", "k"], "is not a morvel lineage database"),
        (["serve", "--db", "{tmp}/nowhere/x.db", "--api-key", "k"], "does not exist"),
        (["serve", "--db", "{tmp}/x.db", "--api-key", "k:"], "invalid API key argument"),
        (["demo", "--db", "{tmp}/notes.txt/x.db", "--out", "{tmp}/o"], "is not a folder"),
        (["graph", "{tmp}/other.db", "--pipeline", "1", "--fingerprint", "5"], "is not a morvel lineage database"),
        (["graph", "{tmp}/other.db", "--pipeline", "1", "--fingerprint", "5", "-o", "{tmp}/nowhere/g.dot"],
         "does not exist"),
    ],
)
def test_bad_paths_exit_2_with_one_line(argv, fragment, tmp_path, capsys):
    (tmp_path / "notes.txt").write_text("not a database\n" * 4)
    with sqlite3.connect(tmp_path / "other.db") as con:
        con.execute("CREATE TABLE unrelated (x INTEGER)")
    before = sorted(os.listdir(tmp_path))
    code, out, err = run_main([a.replace("{tmp}", str(tmp_path)) for a in argv], capsys)
    assert code == 2
    assert err.count("\n") == 1 and fragment in err and "Traceback" not in err
    # Reading commands never create or change files in the way of a mistake.
    assert sorted(os.listdir(tmp_path)) == before


def test_help_of_every_command(capsys):
    for command in ("demo", "serve", "show", "graph"):
        code, out, err = run_main([command, "--help"], capsys)
        assert code == 0 and err == ""
        assert out.startswith(f"usage: morvel {command}")


@pytest.mark.parametrize("columns", ["60", "80", "100"])
def test_help_never_splits_option_names(columns, capsys, monkeypatch):
    monkeypatch.setenv("COLUMNS", columns)
    for command in ("demo", "serve", "show", "graph"):
        code, out, _ = run_main([command, "--help"], capsys)
        assert code == 0
        assert not re.search(r"-\n", out), out  # no line ends inside a hyphenated word


@pytest.mark.parametrize(
    "text, value",
    [("0", 0), ("42", 42), ("0x0000002A", 42), ("0X2a", 42), ("4294967295", 2**32 - 1), ("0xFFFFFFFF", 2**32 - 1)],
)
def test_fingerprint_forms(text, value):
    assert cli._fingerprint(text) == value


# ---------------------------------------------------------------------------
# Synthetic data and the report table
# ---------------------------------------------------------------------------


def test_applications_are_seeded_and_plausible():
    a = make_applications(2_000, seed=3)
    assert a.equals(make_applications(2_000, seed=3))
    assert not a.equals(make_applications(2_000, seed=4))
    assert list(a.columns) == ["applicant_id", "gender", "age", "income", "debt", "employment_years", "region"]
    assert a["applicant_id"].is_unique
    assert a["age"].between(18, 80).all()
    assert set(a["gender"]) <= {"female", "male", "nonbinary"}
    assert set(a["region"]) <= set(make_regions()["region"])
    # A few values are missing, in the numeric columns only.
    for col in ("income", "debt", "employment_years"):
        assert 0 < a[col].isna().sum() < 0.06 * len(a)
    assert a[["applicant_id", "gender", "age", "region"]].notna().all().all()
    worked = a["employment_years"].dropna()
    assert (worked >= 0).all() and (worked <= a.loc[worked.index, "age"] - 16).all()
    assert len(make_applications(0)) == 0


def test_risk_report_table_layout():
    report = [
        {"column": "age", "tainted": True, "max_risk": 1.0, "min_depth": 0, "risk_level": "HIGH"},
        {"column": "score", "tainted": True, "max_risk": 0.25, "min_depth": 3, "risk_level": "MEDIUM"},
        {"column": "region", "tainted": False, "max_risk": 0.0, "min_depth": None, "risk_level": "CLEAN"},
    ]
    lines = format_risk_report(report).splitlines()
    assert len(lines) == 5
    assert lines[0].split() == ["column", "risk", "level", "max", "risk", "min", "depth", "tainted"]
    assert lines[2].split() == ["age", "HIGH", "1.0000", "0", "yes"]
    assert lines[3].split() == ["score", "MEDIUM", "0.2500", "3", "yes"]
    assert lines[4].split() == ["region", "CLEAN", "0.0000", "-", "no"]
    # Columns line up: every row's "max risk" ends where the header's does.
    end = lines[0].index("max risk") + len("max risk")
    assert all(line[end - 1] == "0" for line in lines[2:])


# ---------------------------------------------------------------------------
# The demo end to end, then show and graph on what it wrote
# ---------------------------------------------------------------------------

GRAPH_HINT = re.compile(r"morvel graph (\S+) --pipeline (\d+) --fingerprint (0x[0-9A-F]{8})")


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    """``morvel demo`` with its defaults, in an empty folder, as the README says."""
    folder = tmp_path_factory.mktemp("demo")
    proc = run_cli(["demo"], cwd=folder)
    assert proc.returncode == 0, proc.stderr
    return folder, proc


def _risk_rows(stdout):
    lines = stdout.split("Column risk report (applications)\n", 1)[1].split("\n\n", 1)[0].splitlines()
    return {line.split()[0]: line.split()[1:] for line in lines[2:]}


def test_demo_prints_risk_report_and_audit(demo_run):
    folder, proc = demo_run
    rows = _risk_rows(proc.stdout)
    assert set(rows) == {"applicant_id", "gender", "age", "income", "debt", "employment_years",
                         "region", "dti", "score", "approved"}
    for protected in ("gender", "age"):
        assert rows[protected] == ["HIGH", "1.0000", "0", "yes"]
    for clean in ("applicant_id", "income", "debt", "employment_years", "region", "dti"):
        assert rows[clean] == ["CLEAN", "0.0000", "-", "no"]
    # The score uses age, a few steps away: tainted, but below HIGH.
    assert rows["score"][0] in ("MEDIUM", "LOW") and rows["score"][3] == "yes"
    assert int(rows["approved"][2]) > int(rows["score"][2])

    audit = proc.stdout.split("Audit of the score of approved applicant ", 1)[1]
    assert "\ntaint: True\n" in audit and "\nhas_protected: True\n" in audit
    assert "  protected_sources: applications.age\n" in audit
    assert "regions.region_factor" in audit.split("  sources:", 1)[1].splitlines()[0]
    # Progress went to stderr, one line per step, ending with "done".
    assert proc.stderr.rstrip().endswith("done") and "Traceback" not in proc.stderr
    assert "writing lineage to" in proc.stderr


def test_demo_database_holds_nodes_edges_and_results(demo_run):
    import hashlib

    from morvel.demo import make_applications, make_regions, score_applications
    from morvel.utilities.persistence import SQLiteStorage

    folder, proc = demo_run
    db = folder / "morvel-demo" / "lineage.db"
    with SQLiteStorage(db) as storage:
        (pipeline,) = storage.list_pipelines()
    assert pipeline["name"] == "credit_demo" and pipeline["status"] == "completed"
    assert pipeline["protected_sources"] == ["applications.age", "applications.gender"]
    assert pipeline["result_count"] == 2 * 10_000  # score and approval flag per applicant

    # Recompute the same pipeline in-process: the store holds one node per
    # distinct fingerprint, and each result row the word of its value.
    raw = make_applications(10_000, seed=7)
    result = score_applications(raw, make_regions())
    fingerprints = {n.provenance for n in result.tracker._nodes.values()}
    assert pipeline["node_count"] == len(fingerprints)
    assert pipeline["edge_count"] > 0

    with sqlite3.connect(db) as con:
        rows = dict(((k, name), (fp, value, h)) for k, name, fp, value, h in con.execute(
            "SELECT row_key, output_name, fingerprint, value, input_hash FROM results"))
    for i in (0, 1234, 9999):
        key = str(raw["applicant_id"].iloc[i])
        fp, value, input_hash = rows[(key, "score")]
        assert fp == int(result.score._prov[i])
        assert value == pytest.approx(float(result.score.iloc[i]))
        assert input_hash == hashlib.sha256(raw.iloc[i].to_json().encode("utf-8")).hexdigest()
        assert rows[(key, "approved")][1] == float(bool(result.approved.iloc[i]))

    # The command printed for the stored graph names this database's pipeline.
    path, pid, word = GRAPH_HINT.search(proc.stdout).groups()
    assert int(pid) == pipeline["pipeline_id"] and path.endswith("lineage.db")
    assert int(word, 16) in {fp for (k, name), (fp, _, _) in rows.items() if name == "score"}


def _dot_structure(text):
    assert text.startswith("digraph ComputationDAG {\n") and text.rstrip().endswith("}")
    nodes = dict(re.findall(r'^  (n\d+) \[label="[^"]*", fillcolor="(#[0-9a-f]{6})"\];$', text, re.M))
    edges = re.findall(r"^  (n\d+) -> (n\d+);$", text, re.M)
    return nodes, edges


def test_demo_dot_file_is_the_audited_graph(demo_run):
    folder, proc = demo_run
    text = (folder / "morvel-demo" / "score_graph.dot").read_text()
    nodes, edges = _dot_structure(text)
    audit = proc.stdout.split("Audit of the score", 1)[1]
    assert len(nodes) == int(re.search(r"  node_count: (\d+)", audit).group(1))
    assert list(nodes.values()).count("#c084fc") == 1  # the score itself
    assert "#f59e0b" in nodes.values()  # the protected age column
    assert 'label="applications\\nage", fillcolor="#f59e0b"' in text
    assert 'label="applications\\ngender"' not in text  # gender is not used by the score
    assert all(a in nodes and b in nodes for a, b in edges)
    svg = folder / "morvel-demo" / "score_graph.svg"
    if shutil.which("dot"):  # real Graphviz: the SVG draws every node of the DOT file
        drawn = svg.read_text()
        assert drawn.lstrip().startswith("<?xml") and "<svg" in drawn
        assert drawn.count('class="node"') == len(nodes) and "Score graph (SVG):" in proc.stdout
    else:
        assert not svg.exists() and "apt-get install graphviz" in proc.stdout


def test_show_lists_the_demo_pipeline(demo_run):
    folder, _ = demo_run
    proc = run_cli(["show", "morvel-demo/lineage.db"], cwd=folder)
    assert proc.returncode == 0 and proc.stderr == ""
    lines = proc.stdout.splitlines()
    assert lines[0] == "morvel-demo/lineage.db: 1 pipeline"
    assert lines[1].split()[:6] == ["id", "name", "status", "nodes", "edges", "results"]
    row = lines[3]
    assert row.split()[:3] == ["1", "credit_demo", "completed"]
    assert "20,000" in row and row.endswith("applications.age, applications.gender")


def test_graph_prints_the_stored_graph(demo_run, tmp_path):
    folder, proc = demo_run
    path, pid, word = GRAPH_HINT.search(proc.stdout).groups()
    shown = run_cli(["graph", path, "--pipeline", pid, "--fingerprint", word], cwd=folder)
    assert shown.returncode == 0, shown.stderr
    nodes, edges = _dot_structure(shown.stdout)
    assert list(nodes.values()).count("#c084fc") == 1
    assert "#f59e0b" in nodes.values()
    assert edges and all(a in nodes and b in nodes for a, b in edges)
    # Every stored node is reachable from the root along the edges.
    root = next(n for n, colour in nodes.items() if colour == "#c084fc")
    parents = {}
    for a, b in edges:
        parents.setdefault(b, []).append(a)
    seen, todo = set(), [root]
    while todo:
        n = todo.pop()
        if n not in seen:
            seen.add(n)
            todo.extend(parents.get(n, []))
    assert seen == set(nodes)

    out = tmp_path / "g.dot"
    written = run_cli(["graph", path, "--pipeline", pid, "--fingerprint", str(int(word, 16)),
                       "--output", str(out)], cwd=folder)
    assert written.returncode == 0 and written.stdout == ""
    assert out.read_text() == shown.stdout


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["--pipeline", "99", "--fingerprint", "1"], "has no pipeline 99"),
        (["--pipeline", "1", "--fingerprint", "0xFFFFFFFF"], "has no node with fingerprint 0xFFFFFFFF"),
    ],
)
def test_graph_unknown_pipeline_or_fingerprint(demo_run, args, fragment, capsys):
    folder, _ = demo_run
    code, out, err = run_main(["graph", str(folder / "morvel-demo" / "lineage.db"), *args], capsys)
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and fragment in err


def test_demo_appends_a_pipeline_and_draws_svg_with_graphviz(tmp_path):
    """A second run adds a pipeline to the same file; with a ``dot`` program
    on the PATH the SVG is drawn by calling ``dot -Tsvg IN -o OUT``."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake_dot = bin_dir / "dot"
    # Stands in for Graphviz: records its arguments and writes an SVG file.
    fake_dot.write_text(
        "#!/bin/sh\n"
        'echo "$@" > "$(dirname "$0")/args"\n'
        'if [ "$1" != "-Tsvg" ] || [ "$3" != "-o" ]; then exit 3; fi\n'
        'printf "<svg>%s</svg>\\n" "$(head -c 15 "$2")" > "$4"\n'
    )
    fake_dot.chmod(0o755)
    env = child_env(PATH=f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    db = tmp_path / "nested" / "store.db"
    for rows in ("400", "300"):
        proc = subprocess.run(
            [sys.executable, "-m", "morvel.cli", "demo", "--rows", rows, "--db", str(db),
             "--out", str(tmp_path / "out"), "--quiet"],
            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stderr == ""  # --quiet: no progress lines
    svg = tmp_path / "out" / "score_graph.svg"
    assert svg.read_text() == "<svg>digraph Computa</svg>\n"
    assert (bin_dir / "args").read_text().split() == [
        "-Tsvg", str(tmp_path / "out" / "score_graph.dot"), "-o", str(svg)]
    assert "Score graph (SVG):" in proc.stdout

    from morvel.utilities.persistence import SQLiteStorage

    with SQLiteStorage(db) as storage:
        pipelines = sorted(storage.list_pipelines(), key=lambda p: p["pipeline_id"])
    assert [p["result_count"] for p in pipelines] == [800, 600]
    assert [p["status"] for p in pipelines] == ["completed", "completed"]


def test_demo_beyond_the_old_node_bound_keeps_every_node(tmp_path):
    """More nodes than the dictionary store's 500,000 bound: the pipeline's
    columnar store keeps them all, so the audit has its graph and the
    graph files are written."""
    proc = run_cli(["demo", "--rows", "40000", "--quiet"], cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "Note: the in-memory node store" not in proc.stdout
    assert "\ntaint: True\n" in proc.stdout and "\ndag:" in proc.stdout
    assert "partly evicted" not in proc.stdout
    # 22 nodes per row, 10 source nodes and the FILTER record of the merge step
    assert "(from 880,011 nodes in memory)" in proc.stdout
    assert (tmp_path / "morvel-demo" / "score_graph.dot").read_text().startswith("digraph")
    assert "80,000 result rows" in proc.stdout


@pytest.mark.parametrize("where", ["taken port", "unknown host", "foreign address"])
def test_serve_that_cannot_listen_fails_in_one_usage_line(tmp_path, capsys, where):
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        host = {"taken port": "127.0.0.1", "unknown host": "no-such-host.invalid",
                "foreign address": "192.0.2.1"}[where]
        if where != "taken port":
            port = 0
        code, out, err = run_main(["serve", "--db", str(tmp_path / "s.db"), "--host", host, "--port", str(port),
                                   "--api-key", "k"], capsys)
    assert code == 2, err
    assert err.count("\n") == 1 and err.startswith(f"morvel serve: error: cannot listen on {host}:{port}: ")
    assert "Traceback" not in err and out == ""


def test_serve_without_the_service_extra_says_how_to_install(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "uvicorn", None)  # "import uvicorn" now fails
    code, out, err = run_main(["serve", "--db", str(tmp_path / "s.db"), "--api-key", "k"], capsys)
    assert code == 2 and err.count("\n") == 1
    assert err.startswith("morvel serve: error: ") and 'pip install "morvel[service]"' in err
    assert not (tmp_path / "s.db").exists()


# ---------------------------------------------------------------------------
# A reader that leaves early (``morvel ... | head``)
# ---------------------------------------------------------------------------


def run_into_closed_pipe(args, cwd, unbuffered):
    """Run the command with stdout on a pipe nobody reads any more; returns
    the finished process (stderr captured)."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    env = child_env()
    env.pop("PYTHONUNBUFFERED", None)
    if unbuffered:
        env["PYTHONUNBUFFERED"] = "1"
    try:
        return subprocess.run([sys.executable, "-m", "morvel.cli", *args], cwd=cwd, env=env,
                              stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=300)
    finally:
        os.close(write_end)


@pytest.mark.parametrize("unbuffered", [True, False])
def test_demo_whose_reader_left_still_writes_everything(tmp_path, unbuffered):
    proc = run_into_closed_pipe(["demo", "--rows", "300", "--out", "out", "--quiet"], tmp_path, unbuffered)
    assert proc.returncode == 0 and proc.stderr == ""
    assert (tmp_path / "out" / "score_graph.dot").read_text().startswith("digraph ComputationDAG {")
    from morvel.utilities.persistence import SQLiteStorage

    with SQLiteStorage(tmp_path / "out" / "lineage.db") as storage:
        (pipeline,) = storage.list_pipelines()
    assert pipeline["result_count"] == 600 and pipeline["status"] == "completed"


@pytest.mark.parametrize("unbuffered", [True, False])
@pytest.mark.parametrize("command", ["show", "graph", "help"])
def test_reader_gone_early_ends_quietly(demo_run, command, unbuffered):
    folder, proc = demo_run
    path, pid, word = GRAPH_HINT.search(proc.stdout).groups()
    args = {"show": ["show", path], "graph": ["graph", path, "--pipeline", pid, "--fingerprint", word],
            "help": ["graph", "--help"]}[command]
    done = run_into_closed_pipe(args, folder, unbuffered)
    assert done.stderr == ""
    assert done.returncode == cli.EXIT_BROKEN_PIPE


def test_graph_output_onto_the_database_is_refused(demo_run, tmp_path, capsys):
    import shutil

    folder, proc = demo_run
    _, pid, word = GRAPH_HINT.search(proc.stdout).groups()
    db = tmp_path / "copy.db"
    shutil.copyfile(folder / "morvel-demo" / "lineage.db", db)
    before = db.read_bytes()
    os.link(db, tmp_path / "same.db")
    for output in (db, tmp_path / "same.db", tmp_path / "." / "copy.db"):
        code, out, err = run_main(["graph", str(db), "--pipeline", pid, "--fingerprint", word,
                                   "-o", str(output)], capsys)
        assert code == 2 and out == ""
        assert err.count("\n") == 1 and "is the lineage database itself" in err
    assert db.read_bytes() == before


def test_run_demo_makes_the_db_folder_and_survives_a_dot_that_cannot_run(tmp_path, monkeypatch):
    """Called as a library function: the database's folder is created, and a
    Graphviz program that cannot be started costs the SVG only."""
    import io

    from morvel.demo import run_demo

    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    broken = bin_dir / "dot"
    broken.write_text("#!/nonexistent/interpreter\n")
    broken.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    out = io.StringIO()
    summary = run_demo(rows=200, db=str(tmp_path / "new" / "deeper" / "l.db"),
                       out=str(tmp_path / "graphs"), stdout=out)
    assert summary["svg_path"] is None and summary["stored_results"] == 400
    assert (tmp_path / "graphs" / "score_graph.dot").read_text().startswith("digraph ComputationDAG {")
    assert "Could not run Graphviz 'dot'" in out.getvalue()
    assert (tmp_path / "new" / "deeper" / "l.db").stat().st_size > 0


def test_show_escapes_control_characters_of_stored_names(tmp_path, capsys):
    """Pipeline names and tenants reach the database from service clients:
    ``show`` keeps one line per pipeline and passes no escape sequence on."""
    from morvel.utilities.persistence import SQLiteStorage

    db = tmp_path / "l.db"
    with SQLiteStorage(db) as storage:
        storage.create_pipeline("evil\x1b[2J\nname\t1", tenant_id="t\x07")
        storage.create_pipeline("café", tenant_id="plain")
    code, out, err = run_main(["show", str(db)], capsys)
    assert code == 0 and err == ""
    lines = out.splitlines()
    assert len(lines) == 5  # title, header, rule, two pipelines
    assert "\x1b" not in out and "\x07" not in out and "\t" not in out
    assert "evil\\x1b[2J\\nname\\t1" in lines[3] and "t\\x07" in lines[3]
    assert "café" in lines[4]


def test_graph_escapes_control_characters_of_stored_names(tmp_path, capsys):
    from morvel.utilities.persistence import SQLiteStorage
    from morvel.utilities.vortel32_dag import DAGTracker, wrap_dataframe_dag

    tracker = DAGTracker(pipeline_name="names")
    frame = wrap_dataframe_dag(pd.DataFrame({"a\x1b[31m": [1.0, 2.0], "b": [3.0, 4.0]}),
                               tracker, "t\x07", protected=["a\x1b[31m"])
    total = frame["a\x1b[31m"] + frame["b"]
    db = tmp_path / "l.db"
    with SQLiteStorage(db) as storage:
        pid = tracker.persist_to_storage(storage)
    code, out, err = run_main(["graph", str(db), "--pipeline", str(pid),
                               "--fingerprint", str(int(total._prov[0]))], capsys)
    assert code == 0 and err == ""
    assert "\x1b" not in out and "\x07" not in out
    assert 'label="t\\\\x07\\na\\\\x1b[31m"' in out  # the escapes, themselves escaped for DOT


def test_demo_whose_audited_score_node_was_evicted(tmp_path, monkeypatch):
    """A tracker with the bounded dictionary store (the pipeline's own keeps
    every node) can evict even the score's own node: the demo reports the
    word alone."""
    import io

    import morvel.utilities.vortel32_dag as dagmod
    from morvel.demo import run_demo

    class SmallStore(dagmod.DAGTracker):
        def __init__(self, *args, **kwargs):
            kwargs.update(columnar=False, memory_budget=None)
            super().__init__(*args, **kwargs)
            self._max_nodes = 3_000  # fewer than the 2,000 rows' score and approval nodes

    monkeypatch.setattr(dagmod, "DAGTracker", SmallStore)
    out = io.StringIO()
    summary = run_demo(rows=2_000, db=str(tmp_path / "l.db"), out=str(tmp_path / "o"), stdout=out)
    text = out.getvalue()
    assert summary["evicted_nodes"] > 0 and summary["dot_path"] is None
    assert "partly evicted from the node store" in text and "\ndag:" not in text
    assert "\ntaint: True\n" in text and summary["stored_results"] == 4_000


def test_demo_stores_results_in_chunks_as_one_call_would(tmp_path, monkeypatch):
    """Results go to the database in chunks with a progress line each; the
    rows stored are those of one ``persist_results`` call over all rows."""
    import io

    import morvel.demo as demo
    from morvel.utilities.persistence import SQLiteStorage
    from morvel.utilities.vortel32_dag import DAGTracker

    monkeypatch.setattr(demo, "RESULT_CHUNK_ROWS", 300)
    progress = io.StringIO()
    demo.run_demo(rows=1_000, db=str(tmp_path / "chunked.db"), out=str(tmp_path / "o"),
                  stdout=io.StringIO(), progress=progress)
    steps = [line for line in progress.getvalue().splitlines() if "stored results of" in line]
    assert [s.split("stored results of ")[1] for s in steps] == [
        "300 of 1,000 applications", "600 of 1,000 applications",
        "900 of 1,000 applications", "1,000 of 1,000 applications"]

    raw = demo.make_applications(1_000)
    result = demo.score_applications(raw, demo.make_regions())
    with SQLiteStorage(tmp_path / "whole.db") as storage:
        pid = storage.create_pipeline("whole")
        DAGTracker.persist_results(storage, pid, raw["applicant_id"].tolist(),
                                   {"score": result.score, "approved": result.approved}, source_df=raw)

    def stored(path):
        with sqlite3.connect(path) as con:
            return sorted(con.execute(
                "SELECT row_key, output_name, fingerprint, value, input_hash FROM results"))

    whole = stored(tmp_path / "whole.db")
    assert len(whole) == 2_000 and stored(tmp_path / "chunked.db") == whole


@pytest.mark.parametrize("closed", [">&-", "2>&-", ">&- 2>&-"])
def test_demo_started_with_output_closed_still_runs(tmp_path, closed):
    """Python sets ``sys.stdout``/``sys.stderr`` to None for a descriptor
    closed at start; the demo then runs silently and writes its files."""
    command = f'exec "{sys.executable}" -m morvel.cli demo --rows 200 --out out {closed}'
    proc = subprocess.run(["/bin/sh", "-c", command], cwd=tmp_path, env=child_env(),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    assert proc.returncode == 0
    assert (tmp_path / "out" / "score_graph.dot").read_text().startswith("digraph ComputationDAG {")


def test_installed_console_script_runs_the_cli(tmp_path):
    """The `morvel` entry point declared by the package resolves to the CLI."""
    from importlib.metadata import entry_points

    (script,) = [ep for ep in entry_points(group="console_scripts") if ep.name == "morvel"]
    assert script.load() is cli.main
    exe = shutil.which("morvel")
    if exe is None:
        pytest.skip("the morvel command is not on the PATH of this environment")
    out = subprocess.run([exe, "--help"], capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert out.returncode == 0
    for command in ("demo", "serve", "show", "graph"):
        assert command in out.stdout
