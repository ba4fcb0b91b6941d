"""The demo pipeline behind ``morvel demo``.

A seeded synthetic credit-application table is wrapped with ``gender`` and
``age`` protected, scored through a handful of ordinary pandas-style steps
(fills, clips, ratios, a merge with a small region table, comparisons), and
everything the library found is reported and written out: the column risk
report, the fairness report of the approval flag (its structural taint beside
its approval rate per gender and age band, also as JSON and a plot), the audit of one approved applicant's score, the lineage in an
embedded SQLite file, the DOT text of that score's graph and, when Graphviz
is installed, an SVG of it.

The functions here are plain library code: :func:`make_applications` and
:func:`make_regions` build the input tables, :func:`score_applications` runs
the tracked pipeline and :func:`run_demo` does the whole job that the
command line calls.
"""
from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, TextIO

import numpy as np
import pandas as pd

#: Regions of the synthetic table, with a cost-of-living factor applied to
#: the score and the minimum score the (fictional) lender asks for there.
REGIONS: Dict[str, tuple] = {
    "north": (1.00, 705.0),
    "south": (0.97, 690.0),
    "east": (1.02, 720.0),
    "west": (1.04, 735.0),
    "central": (0.99, 700.0),
}

GENDERS = ("female", "male", "nonbinary")
PROTECTED = ["gender", "age"]
APPLICATIONS_TABLE = "applications"
REGIONS_TABLE = "regions"


def make_applications(rows: int, seed: int = 7) -> pd.DataFrame:
    """Return ``rows`` synthetic credit applications, the same for one seed.

    Columns: ``applicant_id`` (int, from 100001), ``gender`` (text),
    ``age`` (int, 18-80), ``income`` (yearly, float), ``debt`` (float),
    ``employment_years`` (float), ``region`` (text).  About 3% of incomes,
    2% of employment years and 1% of debts are missing (NaN).

    >>> df = make_applications(5, seed=1)
    >>> list(df.columns)
    ['applicant_id', 'gender', 'age', 'income', 'debt', 'employment_years', 'region']
    >>> df.equals(make_applications(5, seed=1))
    True
    """
    if rows < 0:
        raise ValueError("rows must not be negative")
    rng = np.random.default_rng(seed)
    age = rng.integers(18, 81, size=rows)
    gender = rng.choice(GENDERS, size=rows, p=[0.49, 0.49, 0.02])
    # Income grows with age until the mid fifties, log-normal around that.
    base = 28_000 + 900 * np.minimum(age - 18, 37)
    income = np.round(base * rng.lognormal(0.0, 0.35, size=rows), 2)
    debt = np.round(income * rng.beta(2.0, 5.0, size=rows) * 1.2, 2)
    employment = np.round(np.minimum(rng.gamma(2.0, 3.5, size=rows), age - 16.0), 1)
    region = rng.choice(list(REGIONS), size=rows)

    income[rng.random(rows) < 0.03] = np.nan
    employment[rng.random(rows) < 0.02] = np.nan
    debt[rng.random(rows) < 0.01] = np.nan
    return pd.DataFrame(
        {
            "applicant_id": np.arange(100_001, 100_001 + rows, dtype=np.int64),
            "gender": pd.array(gender, dtype="str" if _has_str_dtype() else object),
            "age": age.astype(np.int64),
            "income": income,
            "debt": debt,
            "employment_years": employment,
            "region": pd.array(region, dtype="str" if _has_str_dtype() else object),
        }
    )


def make_regions() -> pd.DataFrame:
    """Return the small region table joined to the applications.

    >>> make_regions().columns.tolist()
    ['region', 'region_factor', 'min_score']
    """
    return pd.DataFrame(
        {
            "region": list(REGIONS),
            "region_factor": [v[0] for v in REGIONS.values()],
            "min_score": [v[1] for v in REGIONS.values()],
        }
    )


def _has_str_dtype() -> bool:
    try:
        pd.array(["a"], dtype="str")
    except TypeError:
        return False
    return True


@dataclass
class DemoResult:
    """What :func:`score_applications` produced."""

    tracker: Any
    applications: Any  # the DAG-tracked application frame, with derived columns
    score: Any  # DAGTrackedSeries
    approved: Any  # DAGTrackedSeries of booleans


def score_applications(raw: pd.DataFrame, regions: pd.DataFrame, tracker: Any = None,
                       progress: Optional[Callable[[str], None]] = None) -> DemoResult:
    """Track ``raw`` (protected: gender, age) and ``regions`` in a lineage
    ``morvel.Pipeline`` (or ``tracker``: a Pipeline, or a DAGTracker to wrap
    with directly), and compute a credit score and an approval flag with
    element-level lineage.

    Steps: missing incomes are filled with the median, missing debts and
    employment years with 0; employment is clipped to 0-40 years and age to
    18-70; the debt-to-income ratio is clipped to 0-2; the score adds an
    affordability term, a stability term and (this is what the fairness
    report exposes) an age term, and is scaled by the region's factor taken
    from a merge with the region table; an applicant is approved when the
    score reaches the region's minimum.
    """
    from morvel.pipeline import Pipeline
    from morvel.utilities.vortel32_dag import wrap_dataframe_dag

    say = progress or (lambda msg: None)
    say(f"wrapping {len(raw):,} applications (protected: {', '.join(PROTECTED)})")
    if tracker is None or isinstance(tracker, Pipeline):
        # The front: a lineage pipeline whose provenance follows its rows.
        pipe = tracker if tracker is not None else Pipeline("credit_demo", lineage=True)
        tracker = pipe.tracker
        apps = pipe.track(raw, APPLICATIONS_TABLE, protected=list(PROTECTED))
        region_frame = pipe.track(regions, REGIONS_TABLE)
    else:
        apps = wrap_dataframe_dag(raw, tracker, APPLICATIONS_TABLE, protected=list(PROTECTED))
        region_frame = wrap_dataframe_dag(regions, tracker, REGIONS_TABLE)

    say("computing ratios, fills and clips")
    median_income = float(raw["income"].median()) if raw["income"].notna().any() else 0.0
    income = apps["income"].fillna(median_income).clip(5_000.0, None)
    debt = apps["debt"].fillna(0.0)
    employment = apps["employment_years"].fillna(0.0).clip(0.0, 40.0)
    age = apps["age"].clip(18, 70)

    dti = (debt / income).clip(0.0, 2.0)
    affordability = 1.0 - dti / 2.0          # 1 when debt-free, 0 at twice the income
    stability = employment / age             # share of adult life in work
    base = (affordability * 380.0 + 300.0) + stability * 150.0
    # Age enters the score directly: the column risk report shows the taint.
    base = base + age * 1.5

    say("merging the region table")
    merged = apps.merge(region_frame, on="region", how="left")
    # A left merge keeps the applications' row order (and a fresh range
    # index, as the applications have), so rows line up by label and position.
    score = base * merged["region_factor"]
    approved = score >= merged["min_score"]

    apps["dti"] = dti
    apps["score"] = score
    apps["approved"] = approved
    return DemoResult(tracker=tracker, applications=apps, score=score, approved=approved)


# ---------------------------------------------------------------------------
# Reporting
# ---------------------------------------------------------------------------


def format_risk_report(report: List[Dict[str, Any]]) -> str:
    """Render a ``column_risk_report`` list as an aligned text table.

    >>> print(format_risk_report([{"column": "age", "tainted": True,
    ...     "max_risk": 1.0, "min_depth": 0, "risk_level": "HIGH"}]))
    column  risk level  max risk  min depth  tainted
    ------  ----------  --------  ---------  -------
    age     HIGH          1.0000          0  yes
    """
    headers = ["column", "risk level", "max risk", "min depth", "tainted"]
    rows = [
        [
            str(r["column"]),
            str(r["risk_level"]),
            f"{r['max_risk']:.4f}",
            "-" if r["min_depth"] is None else str(r["min_depth"]),
            "yes" if r["tainted"] else "no",
        ]
        for r in report
    ]
    widths = [max(len(h), *(len(row[i]) for row in rows)) if rows else len(h)
              for i, h in enumerate(headers)]
    right = {2, 3}  # numbers are right-aligned

    def line(cells: List[str]) -> str:
        out = [c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))]
        return "  ".join(out).rstrip()

    return "\n".join([line(headers), line(["-" * w for w in widths]), *(line(r) for r in rows)])


AGE_BANDS = [(18, 29), (30, 44), (45, 59), (60, 80)]


def format_approval_rates(raw: pd.DataFrame, approved: np.ndarray) -> str:
    """Approval rate per gender and per age band, one ``group  rate  n`` line each."""
    lines = []
    groups = [(f"gender={g}", (raw["gender"] == g).to_numpy()) for g in GENDERS]
    groups += [(f"age {lo}-{hi}", raw["age"].between(lo, hi).to_numpy()) for lo, hi in AGE_BANDS]
    width = max(len(name) for name, _ in groups)
    for name, mask in groups:
        n = int(mask.sum())
        rate = f"{approved[mask].mean():6.1%}" if n else "     -"
        lines.append(f"{name.ljust(width)}  {rate}  of {n:,}")
    return "\n".join(lines)


#: Bin edges of the age bands for the fairness report: left-closed, the last
#: one closed, so "[60, 80]" holds ages 60 to 80 as AGE_BANDS does.
AGE_EDGES = [lo for lo, _ in AGE_BANDS] + [AGE_BANDS[-1][1]]


def _write_fairness(applications: Any, out: str, stdout: TextIO) -> dict[str, str | None]:
    """Print the fairness report of the approval flag (structural taint
    beside the approval rate per gender and age band), write it as
    ``fairness.json`` and, with matplotlib, draw ``fairness.svg`` into
    ``out``.  Without fairlearn the report is skipped with a note saying how
    to install it.  Returns the "fairness_json" and "fairness_plot" paths
    (None for what was not written)."""
    paths: dict[str, str | None] = {"fairness_json": None, "fairness_plot": None}
    if importlib.util.find_spec("fairlearn") is None:
        print("Fairness report skipped: it needs fairlearn "
              "(pip install 'morvel[fairness]').", file=stdout)
        print(file=stdout)
        return paths
    from morvel.fairness import fairness_report
    from morvel.utilities import jsonkit

    report = fairness_report(applications, "approved", bins={"age": AGE_EDGES})
    print(report, file=stdout)
    json_path = os.path.join(out, "fairness.json")
    with open(json_path, "w", encoding="utf-8") as fh:
        fh.write(jsonkit.dumps(report.to_dict(), indent=2))
        fh.write("\n")
    paths["fairness_json"] = json_path
    print(f"Fairness report (JSON): {json_path}", file=stdout)
    if importlib.util.find_spec("matplotlib") is None:
        print("matplotlib is not installed, so no fairness plot was drawn "
              "(pip install 'morvel[plot]').", file=stdout)
    else:
        paths["fairness_plot"] = report.plot(os.path.join(out, "fairness.svg"))
        print(f"Fairness plot (SVG): {paths['fairness_plot']}", file=stdout)
    print(file=stdout)
    return paths


def format_audit(audit: Dict[str, Any]) -> str:
    """Render a ``dag_audit`` dictionary as indented ``key: value`` lines."""
    lines = []
    for key, value in audit.items():
        if key == "dag" and isinstance(value, dict):
            lines.append("dag:")
            for sub, subvalue in value.items():
                if sub in ("sources", "protected_sources"):
                    subvalue = ", ".join(f"{t}.{c}" for t, c in subvalue) or "-"
                elif sub == "operation_counts":
                    subvalue = ", ".join(f"{op} x{n}" for op, n in subvalue.items())
                lines.append(f"  {sub}: {subvalue}")
        elif key == "columns":
            lines.append(f"{key}: {', '.join(f'{t}.{c}' for t, c in value) or '-'}")
        elif key == "risk":
            lines.append(f"{key}: {value:.4f}")
        else:
            lines.append(f"{key}: {value}")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# The whole demo
# ---------------------------------------------------------------------------


class _Progress:
    """Step-by-step progress lines with elapsed time, on ``stream``."""

    def __init__(self, stream: Optional[TextIO]) -> None:
        self.stream = stream
        self.t0 = time.perf_counter()

    def __call__(self, message: str) -> None:
        if self.stream is not None:
            print(f"[{time.perf_counter() - self.t0:6.1f}s] {message}", file=self.stream, flush=True)


def run_demo(rows: int = 10_000, db: str = "morvel-demo/lineage.db", out: str = "morvel-demo",
             seed: int = 7, stdout: Optional[TextIO] = None,
             progress: Optional[TextIO] = None) -> Dict[str, Any]:
    """Run the demo end to end and return a summary dictionary.

    Prints the column risk report and the audit of one approved applicant's
    score on ``stdout`` (default ``sys.stdout``), progress lines on
    ``progress`` (None for silence),
    writes the lineage to the SQLite file ``db`` and ``score_graph.dot``
    (plus ``score_graph.svg`` when Graphviz's ``dot`` is on the PATH) into
    ``out``, and the fairness report of the approval flag as
    ``fairness.json`` (with ``fairness.svg`` when matplotlib is installed;
    both need fairlearn).  Summary keys: "pipeline_id", "row", "applicant_id",
    "fingerprint", "dot_path", "svg_path" (None without Graphviz),
    "fairness_json", "fairness_plot" (None when not written),
    "nodes_in_memory", "evicted_nodes", "stored_nodes", "stored_edges",
    "stored_results".  When more nodes were made than the tracker's node
    store holds, the oldest are evicted; the score's graph is then
    incomplete and is neither summarised nor drawn.
    """
    from morvel.pipeline import Pipeline
    from morvel.utilities.persistence import SQLiteStorage
    from morvel.utilities.vortel32 import column_risk_report
    from morvel.utilities.vortel32_dag import dag_audit, get_dag_for_series, word_report

    stdout = sys.stdout if stdout is None else stdout
    say = _Progress(progress)
    os.makedirs(out, exist_ok=True)
    os.makedirs(os.path.dirname(os.path.abspath(db)), exist_ok=True)

    say(f"generating {rows:,} synthetic credit applications (seed {seed})")
    raw = make_applications(rows, seed=seed)
    regions = make_regions()

    pipe = Pipeline("credit_demo", lineage=True)
    result = score_applications(raw, regions, pipe, progress=say)
    tracker = pipe.tracker
    nodes_in_memory = len(tracker._nodes)
    evicted = tracker._next_node_id - nodes_in_memory
    approved_rows = np.flatnonzero(np.asarray(result.approved.values, dtype=bool))
    say(f"scored: {int(approved_rows.size):,} of {rows:,} approved, "
        f"{nodes_in_memory:,} lineage nodes in memory")
    if evicted:
        print(f"Note: the in-memory node store holds at most {tracker._max_nodes:,} nodes; "
              f"{evicted:,} of the oldest computed nodes were evicted, so the lineage kept and "
              f"written covers the latest steps only (about {tracker._max_nodes // 14:,} rows "
              "fit whole).", file=stdout)
        print(file=stdout)

    print("Column risk report (applications)", file=stdout)
    print(format_risk_report(column_risk_report(result.applications)), file=stdout)
    print(file=stdout)
    print("Approval rate by group", file=stdout)
    print(format_approval_rates(raw, np.asarray(result.approved.values, dtype=bool)), file=stdout)
    print(file=stdout)

    summary: Dict[str, Any] = {"row": None, "applicant_id": None, "fingerprint": None,
                               "dot_path": None, "svg_path": None,
                               "nodes_in_memory": nodes_in_memory, "evicted_nodes": evicted}
    summary.update(_write_fairness(result.applications, out, stdout))
    dag = None
    if approved_rows.size:
        row = int(approved_rows[0])
        applicant = int(raw["applicant_id"].iloc[row])
        fingerprint = int(result.score._prov[row])
        summary.update(row=row, applicant_id=applicant, fingerprint=fingerprint)
        print(f"Audit of the score of approved applicant {applicant} (row {row})", file=stdout)
        dag = get_dag_for_series(result.score, row)
        if dag is not None and _is_complete(dag):
            print(format_audit(dag_audit(result.score, row)), file=stdout)
        else:
            # Part of the graph was evicted: its depth cannot be computed, so
            # report what the provenance word alone says.
            dag = None
            print(format_audit(word_report(tracker, fingerprint)), file=stdout)
            print("(the graph behind this score was partly evicted from the node store, "
                  "so it is not summarised or drawn)", file=stdout)
        print(file=stdout)
    else:
        print("No applicant was approved: no score graph to show.", file=stdout)

    say(f"writing lineage to {db}")
    storage = SQLiteStorage(db)
    storage.connect()
    try:
        pipeline_id = tracker.persist_to_storage(storage)
        say("storing per-row result fingerprints with source-row hashes")
        _store_results(storage, pipeline_id, raw, {"score": result.score, "approved": result.approved},
                       say)
        stored = storage.get_pipeline(pipeline_id)
    finally:
        storage.disconnect()
    summary.update(pipeline_id=pipeline_id, stored_nodes=stored["node_count"],
                   stored_edges=stored["edge_count"], stored_results=stored["result_count"])
    print(f"Lineage database: {db}", file=stdout)
    print(f"  pipeline {pipeline_id} ({stored['status']}): {stored['node_count']:,} distinct nodes, "
          f"{stored['edge_count']:,} edges, {stored['result_count']:,} result rows "
          f"(from {nodes_in_memory:,} nodes in memory)", file=stdout)

    if dag is not None:
        dot_path = os.path.join(out, "score_graph.dot")
        with open(dot_path, "w", encoding="utf-8") as fh:
            fh.write(dag.to_graphviz())
            fh.write("\n")
        summary["dot_path"] = dot_path
        print(f"Score graph (DOT): {dot_path}", file=stdout)
        summary["svg_path"] = _render_svg(dot_path, stdout)
        print(f"Stored graph of this score: morvel graph {db} --pipeline {pipeline_id} "
              f"--fingerprint 0x{summary['fingerprint']:08X}", file=stdout)
        print("  (the store keeps one node per fingerprint, so that graph joins the derivations "
              "of every row whose score carries the same word)", file=stdout)
    say("done")
    return summary


#: Result rows hashed and stored per ``persist_results`` call: hashing the
#: source rows takes about 40 s per million, so large runs report progress.
RESULT_CHUNK_ROWS = 100_000


def _store_results(storage: Any, pipeline_id: int, raw: pd.DataFrame, outputs: Dict[str, Any],
                   say: Callable[[str], None]) -> None:
    """``DAGTracker.persist_results`` for every application, keyed by
    applicant id, in chunks of :data:`RESULT_CHUNK_ROWS` rows with a
    progress line after each when there is more than one."""
    from morvel.utilities.vortel32_dag import DAGTrackedSeries, DAGTracker

    keys = raw["applicant_id"].tolist()
    rows = len(keys)
    for start in range(0, rows, RESULT_CHUNK_ROWS):
        stop = min(start + RESULT_CHUNK_ROWS, rows)
        part = {
            name: DAGTrackedSeries(series.to_numpy()[start:stop], _prov=series._prov[start:stop],
                                   _tracker=series._tracker, _node_ids=series._node_ids[start:stop])
            for name, series in outputs.items()
        }
        DAGTracker.persist_results(storage, pipeline_id, keys[start:stop], part,
                                   source_df=raw.iloc[start:stop])
        if rows > RESULT_CHUNK_ROWS:
            say(f"stored results of {stop:,} of {rows:,} applications")


def _is_complete(dag: Any) -> bool:
    """True when the root and every input of every node of ``dag`` are in
    the graph (with the root evicted the graph is empty, not complete)."""
    return dag.root_id in dag.nodes and all(
        i in dag.nodes for node in dag.nodes.values() for i in node.inputs)


def _render_svg(dot_path: str, stdout: TextIO) -> Optional[str]:
    """Render ``dot_path`` to SVG with Graphviz when ``dot`` is on the PATH."""
    svg_path = os.path.splitext(dot_path)[0] + ".svg"
    dot = shutil.which("dot")
    if dot is None:
        print("Graphviz 'dot' is not on the PATH, so no SVG was drawn. Install Graphviz "
              "(Debian/Ubuntu: apt-get install graphviz; macOS: brew install graphviz) and run: "
              f"dot -Tsvg {dot_path} -o {svg_path}", file=stdout)
        return None
    try:
        proc = subprocess.run([dot, "-Tsvg", dot_path, "-o", svg_path],
                              capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as exc:
        # The lineage and the DOT file are written already: say so, don't fail.
        print(f"Could not run Graphviz 'dot' ({exc}), so no SVG was drawn; the DOT file "
              f"is complete: dot -Tsvg {dot_path} -o {svg_path}", file=stdout)
        return None
    if proc.returncode != 0:
        print(f"Graphviz 'dot' failed ({proc.returncode}): {proc.stderr.strip()}", file=stdout)
        return None
    print(f"Score graph (SVG): {svg_path}", file=stdout)
    return svg_path
