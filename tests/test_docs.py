"""The documentation under docs/: it builds without a single Sphinx warning,
and the user guide's examples run as written (in order, as one session)."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"


def python_blocks(rst: str) -> list[str]:
    """The ``.. code-block:: python`` bodies of an reST text, dedented."""
    bodies = re.findall(r"^\.\. code-block:: python\n\n((?:(?:   .*)?\n)+)", rst, flags=re.M)
    return ["\n".join(line[3:] for line in body.splitlines()) for body in bodies]


def test_docs_build_without_warnings(tmp_path):
    pytest.importorskip("sphinx")
    env = dict(os.environ)
    if env.get("PYTHONPATH"):  # a relative PYTHONPATH=src, as the child runs elsewhere
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    proc = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", str(DOCS), str(tmp_path / "html")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    api = (tmp_path / "html" / "api.html").read_text(encoding="utf-8")
    for name in ("morvel.utilities.vortel32.wrap_dataframe", "morvel.utilities.vortel32_dag.dag_audit",
                 "morvel.utilities.vortel32_dag.DAGTracker", "morvel.utilities.persistence.HostedStorage",
                 "morvel.utilities.jsonkit.dumps"):
        assert f'id="{name}"' in api, f"{name} missing from the API reference"


def test_user_guide_examples_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    blocks = python_blocks((DOCS / "guide.rst").read_text(encoding="utf-8"))
    assert len(blocks) >= 6
    namespace: dict = {"__name__": "guide"}
    for k, code in enumerate(blocks):
        exec(compile(code, f"docs/guide.rst, example {k + 1}", "exec"), namespace)


def help_texts(usage: str) -> dict:
    """``{option: its help text}`` from argparse's ``--help`` output (the text
    follows the option after two spaces, or starts on the next line)."""
    lines = usage.splitlines()
    out = {}
    for k, line in enumerate(lines):
        if not line.startswith("  --") or line.startswith("  --help"):
            continue
        parts = re.split(r"\s{2,}", line.strip(), maxsplit=1)
        following = lines[k + 1] if k + 1 < len(lines) else ""
        if len(parts) == 2:
            out[parts[0].split()[0]] = parts[1]
        elif following.startswith(" " * 8) and not following.lstrip().startswith("-"):
            out[parts[0].split()[0]] = following.strip()
        else:
            out[parts[0].split()[0]] = ""
    return out


def test_bench_readme_names_exactly_the_options_each_script_takes():
    """The options table of bench/README.md against each script's real
    ``--help`` (a script that rejects an option the README offers, or an
    option without a help text, fails here)."""
    text = (ROOT / "bench" / "README.md").read_text(encoding="utf-8").split("## Options", 1)[1]
    rows = re.findall(r"^\| `(bench_\w+\.py)` \| (.*) \|$", text, flags=re.M)
    assert {script for script, _ in rows} == {p.name for p in (ROOT / "bench").glob("bench_*.py")}
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    for script, options in rows:
        proc = subprocess.run([sys.executable, str(ROOT / "bench" / script), "--help"],
                              capture_output=True, text=True, env=env, timeout=120)
        assert proc.returncode == 0, proc.stderr
        listed = help_texts(proc.stdout)
        assert set(re.findall(r"`(--[a-z-]+)`", options)) == set(listed), script
        assert all(listed.values()), f"{script}: options without a help text: {[o for o, h in listed.items() if not h]}"
