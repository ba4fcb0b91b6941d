"""The report a reviewer opens: the sections of a pipeline's provenance and
row history as a JSON-safe dictionary, and as one self-contained HTML page."""
from __future__ import annotations

import logging
import math
import os
import shutil
import subprocess
from typing import Any

import numpy as np
import pandas as pd

from morvel._history import questions
from morvel._history.recorder import json_value

logger = logging.getLogger("morvel.report")

# Section ids of the page, in order, with their headings.
SECTIONS = (
    ("risk", "Column risk"),
    ("disparity", "Outcome disparity"),
    ("retention", "Rows per step"),
    ("checks", "Checks"),
    ("drops", "Dropped rows"),
    ("merges", "Merges"),
    ("changes", "Changed values"),
    ("lineage", "Lineage of a value"),
)


def jsonable(obj: Any) -> Any:
    """``obj`` with tuples as lists, numpy values as Python ones, keys as
    text and non-finite numbers as None: ready for ``json.dumps``."""
    if isinstance(obj, dict):
        return {str(k): jsonable(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple, set, frozenset)):
        return [jsonable(v) for v in obj]
    if isinstance(obj, np.ndarray):
        return [jsonable(v) for v in obj.tolist()]
    if isinstance(obj, float) and not math.isfinite(obj):
        return None
    return json_value(obj)


def report_data(p: Any, frame: Any, outcome: Any, value: Any, limit: int) -> dict:
    """See ``Pipeline.report_data``."""
    rec = p._recorder()
    data: dict = {
        "pipeline": {"name": p.name, "level": "lineage" if p._lineage else "words",
                     "steps": len(rec.steps)},
        "risk": _risk(p, frame),
        "disparity": _disparity(p, frame, outcome),
        "retention": questions.retention(rec).to_dict("records"),
        "checks": questions.checks(rec),
        "drops": questions.drops(rec, limit),
        "merges": questions.merges(rec, limit),
        "changes": questions.changes(rec, limit),
        "lineage": _lineage(p, value),
    }
    return jsonable(data)


def _risk(p: Any, frame: Any) -> dict:
    if frame is None:
        return {"available": False, "reason": "no frame given", "columns": []}
    if not hasattr(frame, "_col_prov"):
        return {"available": False, "columns": [],
                "reason": "the frame is not tracked by this pipeline"}
    return {"available": True, "reason": "", "columns": p.risk_report(frame)}


def _disparity(p: Any, frame: Any, outcome: Any) -> dict:
    """Outcome disparity per protected attribute when the fairness module
    and its extra are installed and an outcome column is given."""
    if frame is None or outcome is None:
        return {"available": False, "reason": "no frame and outcome column given"}
    try:
        from morvel.fairness import fairness_report
    except ImportError as exc:
        return {"available": False, "reason": f"outcome fairness is not installed ({exc})"}
    try:
        # Disparity of the outcome by every protected attribute, whether or
        # not the outcome's words name it.
        rep = fairness_report(frame, outcome, tracker=p.tracker, measure_all=True)
    except ImportError as exc:
        return {"available": False, "reason": str(exc)}
    return {"available": True, "reason": "", "report": rep.to_dict()}


def _lineage(p: Any, value: Any) -> dict:
    """The lineage picture of one value: ``value`` is (series, row label)."""
    if value is None:
        return {"available": False, "reason": "no value chosen"}
    if not (isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], pd.Series)):
        from morvel.utilities._argcheck import type_error
        raise type_error("value", "(Series, row label) tuple", value)
    series, label = value
    out: dict = {"available": True, "reason": "", "row": label, "column": series.name,
                 "history": p.history(series, row=label), "nodes": [], "svg": None,
                 "audit": None}
    if not p._lineage:
        audit = p.audit(series, row=label)
        out["audit"] = {k: audit[k] for k in ("provenance", "columns", "tables", "depth", "risk",
                                              "has_protected") if k in audit}
        return out
    dag = p.lineage(series, row=label)
    if dag is None:
        out.update(available=False, reason="the value has no lineage node")
        return out
    out["nodes"] = [{k: n.to_dict()[k] for k in ("id", "name", "type", "operation", "inputs",
                                                 "is_protected")}
                    for n in dag.nodes.values()]
    out["svg"] = _svg(dag.to_graphviz())
    return out


def _svg(dot_text: str) -> str | None:
    """SVG of DOT text drawn by Graphviz' ``dot``; None without it."""
    dot = shutil.which("dot")
    if dot is None:
        return None
    try:
        done = subprocess.run([dot, "-Tsvg"], input=dot_text, capture_output=True, text=True,
                              timeout=60, check=True)
    except (subprocess.SubprocessError, OSError) as exc:
        logger.warning("graphviz could not draw the lineage graph: %s", exc)
        return None
    text = done.stdout
    start = text.find("<svg")
    return text[start:] if start >= 0 else None


def write_report(p: Any, path: Any, frame: Any, outcome: Any, value: Any, limit: int) -> Any:
    """See ``Pipeline.report``."""
    if not isinstance(path, (str, os.PathLike)):
        from morvel.utilities._argcheck import type_error
        raise type_error("path", "str or path", path)
    html = render(report_data(p, frame, outcome, value, limit))
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(html)
    return path


def render(data: dict) -> str:
    """The HTML page of a :func:`report_data` dictionary."""
    try:
        import jinja2
    except ImportError as exc:
        raise ImportError("Pipeline.report() writes its page with Jinja2: "
                          "pip install 'morvel[report]'") from exc
    env = jinja2.Environment(autoescape=True, undefined=jinja2.StrictUndefined)
    return env.from_string(_TEMPLATE).render(d=data, sections=SECTIONS)


_TEMPLATE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>morvel report: {{ d.pipeline.name }}</title>
<style>
body{font-family:system-ui,sans-serif;margin:2em;color:#1f2933;max-width:70em}
h1{font-size:1.5em}h2{font-size:1.15em;border-bottom:1px solid #cbd2d9;padding-bottom:.2em}
table{border-collapse:collapse;margin:.5em 0 1em}
td,th{border:1px solid #cbd2d9;padding:.25em .6em;text-align:left;font-size:.9em}
th{background:#f0f4f8}.bad{color:#b91c1c;font-weight:600}.good{color:#047857}
.bar{background:#60a5fa;height:.8em;display:inline-block}.muted{color:#7b8794}
nav a{margin-right:1em}
</style></head><body>
<h1>Provenance report: {{ d.pipeline.name }}</h1>
<p class="muted">{{ d.pipeline.level }} level, {{ d.pipeline.steps }} recorded steps</p>
<nav>{% for id, title in sections %}<a href="#{{ id }}">{{ title }}</a>{% endfor %}</nav>

<section id="risk"><h2>Column risk</h2>
{% if d.risk.available %}<table><tr><th>column</th><th>risk level</th><th>max risk</th>
<th>tainted</th><th>min depth</th></tr>
{% for r in d.risk.columns %}<tr><td>{{ r.column }}</td>
<td class="{{ 'bad' if r.tainted else 'good' }}">{{ r.risk_level }}</td><td>{{ r.max_risk }}</td>
<td>{{ r.tainted }}</td><td>{{ r.min_depth }}</td></tr>{% endfor %}</table>
{% else %}<p class="muted">{{ d.risk.reason }}</p>{% endif %}</section>

<section id="disparity"><h2>Outcome disparity</h2>
{% if d.disparity.available %}{% for c in d.disparity.report.columns %}{% for a in c.attributes %}
<h3>{{ c.column }} by {{ a.attribute }} ({{ a.metric }})</h3>
<p>difference {{ a.difference }}, ratio {{ a.ratio }}</p>
<table><tr><th>group</th><th>count</th><th>value</th></tr>
{% for g in a.groups %}<tr><td>{{ g.group }}</td><td>{{ g.count }}</td><td>{{ g.value }}</td></tr>
{% endfor %}</table>{% endfor %}{% endfor %}
{% else %}<p class="muted">{{ d.disparity.reason }}</p>{% endif %}</section>

<section id="retention"><h2>Rows per step</h2>
{% if d.retention %}<table><tr><th>step</th><th>name</th><th>operation</th><th>code</th>
<th>rows in</th><th>rows out</th><th>dropped</th><th>added</th><th>kept</th></tr>
{% for r in d.retention %}<tr><td>{{ r.step }}</td><td>{{ r.name }}</td><td>{{ r.operation }}</td>
<td>{{ r.location }}</td><td>{{ r.rows_in }}</td><td>{{ r.rows_out }}</td><td>{{ r.dropped }}</td>
<td>{{ r.added }}</td><td><span class="bar" style="width:{{ (r.retained * 8)|round(2) }}em">
</span> {{ (r.retained * 100)|round(1) }}%</td></tr>{% endfor %}</table>
{% else %}<p class="muted">no step dropped or merged rows</p>{% endif %}</section>

<section id="checks"><h2>Checks</h2>
{% if d.checks %}<table><tr><th>check</th><th>result</th><th>steps evaluated</th>
<th>failures</th></tr>
{% for c in d.checks %}<tr><td>{{ c.check }}</td>
<td class="{{ 'good' if c.passed else 'bad' }}">{{ 'passed' if c.passed else 'failed' }}</td>
<td>{{ c.evaluated }}</td><td>{% for f in c.failures %}step {{ f.step }} ({{ f.step_name }},
{{ f.location }}): {{ f.detail }}<br>{% endfor %}</td></tr>{% endfor %}</table>
{% else %}<p class="muted">no checks declared</p>{% endif %}</section>

<section id="drops"><h2>Dropped rows</h2>
{% for s in d.drops %}<h3>step {{ s.step }}: {{ s.name }} ({{ s.location }}),
{{ s.count }} rows</h3><p>{{ s.labels|join(', ') }}{% if s.count > s.labels|length %}, ...
{% endif %}</p>
{% if s.kept is defined %}<table><tr><th>dropped</th><th>kept duplicate</th></tr>
{% for pair in s.kept %}<tr><td>{{ pair[0] }}</td><td>{{ pair[1] }}</td></tr>{% endfor %}
</table>{% endif %}
{% else %}<p class="muted">no rows dropped</p>{% endfor %}</section>

<section id="merges"><h2>Merges</h2>
{% for m in d.merges %}<h3>step {{ m.step }}: {{ m.how }} merge ({{ m.location }})</h3>
<p>{{ m.left_rows }} left rows and {{ m.right_rows }} right rows gave {{ m.rows_out }} rows;
{{ m.left_dropped|length }} left rows dropped, {{ m.right_unmatched|length }} right rows
unmatched, {{ m.multiplied|length }} left rows multiplied ({{ m.added }} rows added).</p>
{% if m.multiplied %}<table><tr><th>left row</th><th>result rows</th></tr>
{% for r in m.multiplied %}<tr><td>{{ r[0] }}</td><td>{{ r[1] }}</td></tr>{% endfor %}
</table>{% endif %}
{% else %}<p class="muted">no merges</p>{% endfor %}</section>

<section id="changes"><h2>Changed values</h2>
{% for c in d.changes %}<h3>step {{ c.step }}: {{ c.operation }} of {{ c.column }}
({{ c.location }}), {{ c.count }} values changed</h3>
<table><tr><th>row</th><th>before</th><th>after</th></tr>
{% for e in c.examples %}<tr><td>{{ e.row }}</td><td>{{ e.before }}</td><td>{{ e.after }}</td>
</tr>{% endfor %}</table>
{% else %}<p class="muted">no transform changed a value</p>{% endfor %}</section>

<section id="lineage"><h2>Lineage of a value</h2>
{% if d.lineage.available %}<p>column {{ d.lineage.column }}, row {{ d.lineage.row }}</p>
{% if d.lineage.svg %}<div class="graph">{{ d.lineage.svg|safe }}</div>
{% elif d.lineage.nodes %}<table><tr><th>node</th><th>name</th><th>type</th><th>inputs</th>
<th>protected</th></tr>{% for n in d.lineage.nodes %}<tr><td>{{ n.id }}</td><td>{{ n.name }}</td>
<td>{{ n.type }}</td><td>{{ n.inputs|join(', ') }}</td><td>{{ n.is_protected }}</td></tr>
{% endfor %}</table>{% endif %}
{% if d.lineage.audit %}<table>{% for k, v in d.lineage.audit.items() %}<tr><th>{{ k }}</th>
<td>{{ v }}</td></tr>{% endfor %}</table>{% endif %}
{% if d.lineage.history %}<table><tr><th>step</th><th>operation</th><th>column</th><th>before</th>
<th>after</th></tr>{% for h in d.lineage.history %}<tr><td>{{ h.step }}</td>
<td>{{ h.operation }}</td><td>{{ h.column }}</td><td>{{ h.before }}</td><td>{{ h.after }}</td>
</tr>{% endfor %}</table>{% endif %}
{% else %}<p class="muted">{{ d.lineage.reason }}</p>{% endif %}</section>
</body></html>
"""
