"""The committed type stubs of the compiled modules are exactly what
nanobind's stub generator makes of the modules as built (``python
tools/build_rust`` regenerates them): a binding changed without its stub
fails here."""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import morvel

pytest.importorskip("nanobind", reason="the stub generator comes with nanobind (test extra)")

SRC = Path(__file__).resolve().parents[1] / "src" / "morvel"


@pytest.mark.parametrize("name", ["_vortel32", "_lineage"])
def test_committed_stub_is_the_generated_one(name, tmp_path):
    out = tmp_path / f"{name}.pyi"
    # Generated from the module this test session imports (installed or in src).
    env = dict(os.environ, PYTHONPATH=str(Path(morvel.__file__).parents[1]))
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", f"morvel.{name}",
                    "-o", str(out)], check=True, env=env, timeout=120)
    assert out.read_text() == (SRC / f"{name}.pyi").read_text(), (
        f"src/morvel/{name}.pyi is stale: regenerate it with python tools/build_rust")
