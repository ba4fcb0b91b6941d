"""The README's examples run as written, so they cannot rot.

Every ```python block is executed in order in one namespace, in a temporary
folder.  The streaming example needs the lineage service: the test starts it
with ``morvel serve`` on a free loopback port and points the example at it.
"""
from __future__ import annotations

import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
EXAMPLE_URL = "http://127.0.0.1:8787"
API_KEY = "secret-key"


def code_blocks(text: str, language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_opens_with_the_two_setup_commands():
    text = README.read_text(encoding="utf-8")
    first = code_blocks(text, "bash")[0].splitlines()
    assert first[0].startswith("pip install . && morvel demo")
    assert first[1].startswith('pip install ".[test]" && python -m pytest')
    assert text.index("```bash") < text.index("```python")


def test_readme_lists_every_benchmark_script():
    text = README.read_text(encoding="utf-8")
    listed = set(re.findall(r"`bench/(bench_\w+\.py)`", text))
    on_disk = {p.name for p in (ROOT / "bench").glob("bench_*.py")}
    assert on_disk <= listed, f"benchmarks missing from the README: {sorted(on_disk - listed)}"
    assert {"bench_codec.py", "bench_tracked.py", "bench_dag_store.py", "bench_dag_bulk.py",
            "bench_persistence.py", "bench_jsonkit.py", "bench_live_persistence.py"} <= listed


def test_readme_show_and_graph_commands_run_after_the_demo(tmp_path):
    """``morvel demo`` with its defaults, then the README's ``morvel show``
    and ``morvel graph`` lines exactly as written (as ``python -m morvel.cli``)."""
    import shlex

    def morvel(args):
        return subprocess.run([sys.executable, "-m", "morvel.cli", *args], cwd=tmp_path,
                              env=_child_env(), capture_output=True, text=True, timeout=300)

    demo = morvel(["demo", "--quiet"])
    assert demo.returncode == 0, demo.stderr
    lines = [line.split("#", 1)[0].strip()
             for block in code_blocks(README.read_text(encoding="utf-8"), "bash")
             for line in block.splitlines()]
    commands = [shlex.split(line) for line in lines if line.startswith(("morvel show", "morvel graph"))]
    assert [c[1] for c in commands] == ["show", "graph"]
    for command in commands:
        proc = morvel(command[1:])
        assert proc.returncode == 0 and proc.stderr == "", (command, proc.stderr)
        assert proc.stdout.strip()
    # The demo itself prints the README's graph line for the score it audited.
    assert f"morvel graph {' '.join(commands[1][2:])}" in demo.stdout


@pytest.mark.parametrize("readme", ["README.md", "bench/README.md"])
def test_benchmark_commands_work_after_install(readme):
    """Each README shows how to run a benchmark after ``pip install .`` alone
    (no in-place build, no PYTHONPATH), and the scripts it names start."""
    text = (ROOT / readme).read_text(encoding="utf-8")
    if readme == "README.md":
        text = text.split("## Benchmarks", 1)[1]
    lines = [line.strip() for block in code_blocks(text, "bash") for line in block.splitlines()]
    plain = [line for line in lines if line.startswith("python bench/")]
    assert plain, "no benchmark command that works after pip install"
    for line in plain + [line for line in lines if line.startswith("PYTHONPATH=src python bench/")]:
        script = line.split("python ", 1)[1].split()[0]
        proc = subprocess.run([sys.executable, script, "--help"], cwd=ROOT, env=_child_env(),
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0 and proc.stdout.startswith("usage:"), (line, proc.stderr)


def _child_env() -> dict:
    """The environment for the service process, a relative PYTHONPATH made absolute."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def lineage_service(tmp_path):
    """``morvel serve`` on a free port; yields (url, database path)."""
    db = tmp_path / "service.db"
    port = _free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "morvel.cli", "serve", "--db", str(db), "--port", str(port),
         "--api-key", API_KEY],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=_child_env(),
    )
    try:
        # The service prints one line once it is listening; read it (no sleeping).
        line = proc.stdout.readline()
        assert proc.poll() is None, f"service did not start: {line}{proc.stdout.read()}"
        assert str(port) in line
        yield f"http://127.0.0.1:{port}", db
    finally:
        proc.terminate()
        try:
            code = proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
    # SIGTERM stops the service like Ctrl-C: database closed, exit status 0.
    assert code == 0


def test_readme_python_examples_run(tmp_path, monkeypatch, lineage_service, capsys):
    url, service_db = lineage_service
    blocks = code_blocks(README.read_text(encoding="utf-8"), "python")
    assert len(blocks) >= 6
    assert sum(EXAMPLE_URL in b for b in blocks) == 1
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "__readme__"}
    for i, block in enumerate(blocks):
        code = compile(block.replace(EXAMPLE_URL, url), f"README.md python block {i + 1}", "exec")
        exec(code, namespace)
    out = capsys.readouterr().out

    # The tour's files exist and say what it claims.
    dot = (tmp_path / "score.dot").read_text()
    assert dot.startswith("digraph ComputationDAG {") and "people\\nage" in dot
    from morvel.utilities.persistence import SQLiteStorage

    with SQLiteStorage(tmp_path / "lineage.db") as local:
        (stored,) = local.list_pipelines()
        assert stored["status"] == "completed"
        assert stored["result_count"] == 4 and stored["node_count"] > 0
        assert stored["protected_sources"] == ["people.age", "people.gender"]
    # The streamed pipeline reached the service's database and was completed.
    with SQLiteStorage(service_db) as remote:
        (live,) = remote.list_pipelines()
        assert live["name"] == "readme-live" and live["status"] == "completed"
        assert live["node_count"] > 0 and live["row_value_count"] > 0
    assert "HIGH" in out
