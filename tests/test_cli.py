"""The ``morvel`` command: argument checking, the demo end to end, and
``show``/``graph`` on the database the demo wrote."""
from __future__ import annotations

import os
import re
import sqlite3
import subprocess
import sys

import numpy as np
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


def run_cli(args, cwd, timeout=300):
    """Run ``python -m morvel.cli`` as a user would, inheriting the environment."""
    return subprocess.run(
        [sys.executable, "-m", "morvel.cli", *args],
        cwd=cwd, env=dict(os.environ), capture_output=True, text=True, timeout=timeout,
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
