"""The dashboard pages: sign-in, the tenant's pipelines, one pipeline's
reports and the lineage view of one stored value.

Sign-in takes an API key once and keeps a random session token in a
``Secure``, ``HttpOnly``, ``SameSite=Strict`` cookie; the key itself never
appears in a URL or a page.  Forms that change state are POSTs checked
against the request's ``Origin`` (cross-site posts are refused; the
``SameSite`` cookie is not even sent with them).  Templates escape every
value (autoescape), and Graphviz's SVG is reduced to drawing elements
before it is embedded.

The pipeline page is a list of sections.  Each entry of :data:`SECTIONS`
turns the stored data of a pipeline into zero or more sections; the
newest dashboard sync body gives one section per top-level key, drawn by the
template named in :data:`SYNC_TEMPLATES` for that key or as a generic
key/value table.  A new report kind shows up without changes here, and a
module can add a builder with :func:`register_section`.
"""
from __future__ import annotations

import secrets
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple
from urllib.parse import urlsplit

from fastapi import APIRouter, Depends, Form, Request
from fastapi.responses import HTMLResponse, RedirectResponse, Response
from fastapi.templating import Jinja2Templates
from jinja2 import Environment, FileSystemLoader, select_autoescape
from typing_extensions import Annotated

from ..storage import SQLiteStorage
from . import lineage_view
from .api import DEFAULT_TENANT, owns
from .gate import ApiKeys

HERE = Path(__file__).resolve().parent
TEMPLATES_DIR = HERE / "templates"
STATIC_DIR = HERE / "static"
COOKIE = "morvel_session"
SESSION_SECONDS = 8 * 3600
#: Headers of every page: no framing, no inline script, no outside assets.
PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self';"
    " frame-ancestors 'none'; form-action 'self'; base-uri 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "same-origin",
    "X-Frame-Options": "DENY",
    "Cache-Control": "no-store",
}


class PageError(Exception):
    """An error shown as a page with ``status``."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class SignInRequired(Exception):
    """The page needs a signed-in session."""


class Sessions:
    """Session tokens of signed-in browsers: token -> (tenant, expiry); at
    most ``limit`` are kept (the oldest go first)."""

    def __init__(self, lifetime: float = SESSION_SECONDS, limit: int = 10_000) -> None:
        self.lifetime = float(lifetime)
        self.limit = int(limit)
        self._lock = threading.Lock()
        self._tenants: Dict[str, Tuple[str, float]] = {}

    def open(self, tenant: str) -> str:
        token = secrets.token_urlsafe(32)
        now = time.monotonic()
        with self._lock:
            # drop expired sessions so the table stays small
            self._tenants = {t: v for t, v in self._tenants.items() if v[1] > now}
            while len(self._tenants) >= self.limit:
                del self._tenants[next(iter(self._tenants))]  # dicts keep insertion order
            self._tenants[token] = (tenant, now + self.lifetime)
        return token

    def tenant(self, token: Optional[str]) -> Optional[str]:
        if not token:
            return None
        with self._lock:
            found = self._tenants.get(token)
        if found is None or found[1] <= time.monotonic():
            return None
        return found[0]

    def close(self, token: Optional[str]) -> None:
        if token:
            with self._lock:
                self._tenants.pop(token, None)


@dataclass
class Section:
    """One block of the pipeline page, drawn by ``template`` with ``data``."""

    kind: str
    title: str
    template: str
    data: Dict[str, Any] = field(default_factory=dict)


@dataclass
class PipelineData:
    """What section builders read: the pipeline's list entry, the storage,
    the tenant and the newest dashboard sync naming the pipeline (or None)."""

    pipeline: Dict[str, Any]
    storage: SQLiteStorage
    tenant: str
    sync: Optional[Dict[str, Any]]


SectionBuilder = Callable[[PipelineData], List[Section]]

#: Templates for sync body keys; other keys are drawn as key/value tables.
#: "fairness_report" carries a FairnessReport's to_dict() (structural taint
#: beside outcome disparity per group), drawn as its own tables.
SYNC_TEMPLATES: Dict[str, str] = {"fairness_report": "sections/fairness.html"}
_SYNC_TITLES = {"pipeline": "Pipeline run", "model": "Model", "fairness": "Fairness",
                "fairness_report": "Outcome fairness"}


def column_risk_report(storage: SQLiteStorage, pipeline_id: int) -> List[Dict[str, Any]]:
    """Risk of every stored column of a pipeline, highest first: one entry
    per result output and row-value column with "column", "kind", "rows",
    "tainted_rows", "tainted", "max_risk", "min_depth", "risk_level" and
    "top" (the most frequent fingerprints with their row counts), read from
    the header of each stored fingerprint as ``column_risk_report`` reads
    the words of a tracked frame."""
    import numpy as np

    from morvel.utilities.vortel32 import (
        DEPTH_SHIFT,
        _risk_level,
        is_tainted_batch,
        risk_score_batch,
    )

    grouped: Dict[Tuple[str, str], List[Tuple[int, int]]] = {}
    for kind, column, fingerprint, rows in storage.column_fingerprints(pipeline_id):
        grouped.setdefault((kind, column), []).append((fingerprint, rows))
    report: List[Dict[str, Any]] = []
    for (kind, column), pairs in grouped.items():
        words = np.array([f & 0xFFFFFFFF for f, _ in pairs], dtype=np.uint32)
        counts = np.array([n for _, n in pairs], dtype=np.int64)
        taint = np.asarray(is_tainted_batch(words), dtype=bool)
        risk = np.asarray(risk_score_batch(words), dtype=np.float64)
        depths = (words >> DEPTH_SHIFT) & 7
        max_risk = float(risk.max()) if risk.size else 0.0
        top = sorted(pairs, key=lambda p: (-p[1], p[0]))[:3]
        report.append({
            "column": column,
            "kind": kind,
            "rows": int(counts.sum()),
            "tainted_rows": int(counts[taint].sum()),
            "tainted": bool(taint.any()),
            "max_risk": round(max_risk, 4),
            "min_depth": int(depths[taint].min()) if taint.any() else None,
            "risk_level": _risk_level(max_risk),
            "top": [{"fingerprint": f, "rows": n} for f, n in top],
        })
    report.sort(key=lambda r: (-r["max_risk"], r["kind"], r["column"]))
    return report


def risk_section(data: PipelineData) -> List[Section]:
    report = column_risk_report(data.storage, data.pipeline["pipeline_id"])
    return [Section("risk", "Column risk report", "sections/risk.html", {"report": report})]


def sync_sections(data: PipelineData) -> List[Section]:
    if data.sync is None:
        return [Section("sync", "Dashboard sync", "sections/no_sync.html")]
    body = data.sync["body"]
    if not isinstance(body, dict):
        return [Section("sync", "Dashboard sync", "sections/kv.html", {"value": body, "sync": data.sync})]
    out = []
    for key, value in body.items():
        title = _SYNC_TITLES.get(key, str(key).replace("_", " ").capitalize())
        template = SYNC_TEMPLATES.get(key, "sections/kv.html")
        out.append(Section(f"sync-{key}", title, template, {"value": value, "sync": data.sync}))
    return out


def row_history_section(data: PipelineData) -> List[Section]:
    """Row history stored with a pipeline saved by ``morvel.Pipeline``
    (retention per step, checks, dropped rows, kept duplicates, merges and
    changed values), when its configuration carries one."""
    config = data.storage.pipeline_config(data.pipeline["pipeline_id"])
    history = config.get("row_history") if config else None
    if not isinstance(history, dict):
        return []
    return [Section("row-history", "Row history", "sections/row_history.html", {"history": history})]


#: Section builders of the pipeline page, in page order.
SECTIONS: List[SectionBuilder] = [risk_section, row_history_section, sync_sections]


def register_section(builder: SectionBuilder, template_key: Optional[str] = None,
                     template: Optional[str] = None) -> None:
    """Add a section builder to the pipeline page (and, with
    ``template_key``, a template for that key of the sync body)."""
    SECTIONS.append(builder)
    if template_key is not None and template is not None:
        SYNC_TEMPLATES[template_key] = template


async def signed_in(request: Request) -> str:
    """The tenant of the browser's session (dependency of every page that
    shows data)."""
    found = request.app.state.sessions.tenant(request.cookies.get(COOKIE))
    if found is None:
        raise SignInRequired()
    return found


Who = Annotated[str, Depends(signed_in)]


def _environment() -> Environment:
    env = Environment(
        loader=FileSystemLoader(str(TEMPLATES_DIR)),
        autoescape=select_autoescape(["html", "xml"], default=True, default_for_string=True),
        trim_blocks=True,
        lstrip_blocks=True,
    )
    env.filters["hexword"] = lambda v: f"0x{int(v) & 0xFFFFFFFF:08X}" if isinstance(v, int) else "-"
    env.filters["thousands"] = lambda v: f"{v:,}" if isinstance(v, int) else v
    env.filters["when"] = lambda v: str(v).replace("T", " ")[:19] if v else "-"
    return env


def _parse_word(text: str) -> Optional[int]:
    text = text.strip()
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text)
    except ValueError:
        return None
    return value if 0 <= value < 2**63 else None


def build_router(keys: ApiKeys, sessions: Sessions, cookie_secure: bool, dot: Optional[str],
                 openapi: Callable[[], Dict[str, Any]]) -> Tuple[APIRouter, Jinja2Templates]:
    """The dashboard's router and its templates."""
    templates = Jinja2Templates(env=_environment())
    router = APIRouter(include_in_schema=False)

    def page(request: Request, name: str, status: int = 200, **context: Any) -> HTMLResponse:
        context.setdefault("tenant", None)
        response = templates.TemplateResponse(request, name, context, status_code=status)
        response.headers.update(PAGE_HEADERS)
        return response

    def same_origin(request: Request) -> None:
        """Refuse a form posted from another site."""
        origin = request.headers.get("origin")
        if origin is None:
            referer = request.headers.get("referer")
            origin = None if referer is None else "{0.scheme}://{0.netloc}".format(urlsplit(referer))
        host = request.headers.get("host", "")
        if origin is not None and (origin == "null" or urlsplit(origin).netloc != host):
            raise PageError(403, "This form was sent from another site and was refused.")

    def storage(request: Request) -> SQLiteStorage:
        return request.app.state.storage

    def owned_pipeline(request: Request, pid: int, who: str) -> Dict[str, Any]:
        found = storage(request).get_pipeline(pid)
        if found is None or not owns(found["tenant_id"], who):
            raise PageError(404, f"There is no pipeline {pid} for tenant {who}.")
        return found

    @router.get("/", response_class=HTMLResponse)
    def home(request: Request) -> Response:
        if sessions.tenant(request.cookies.get(COOKIE)) is not None:
            return RedirectResponse("/pipelines", status_code=303)
        return page(request, "signin.html")

    @router.get("/signin", response_class=HTMLResponse)
    def signin_form(request: Request) -> Response:
        return page(request, "signin.html")

    @router.post("/signin", response_class=HTMLResponse)
    def signin(request: Request, api_key: Annotated[str, Form(max_length=4096)] = "") -> Response:
        same_origin(request)
        tenant = keys.tenant_for_key(api_key.strip())
        if tenant is None:
            return page(request, "signin.html", status=401, error="That API key is not accepted.")
        response = RedirectResponse("/pipelines", status_code=303)
        response.set_cookie(COOKIE, sessions.open(tenant), max_age=int(sessions.lifetime), path="/",
                            secure=cookie_secure, httponly=True, samesite="strict")
        return response

    @router.post("/signout")
    def signout(request: Request) -> Response:
        same_origin(request)
        sessions.close(request.cookies.get(COOKIE))
        response = RedirectResponse("/", status_code=303)
        response.delete_cookie(COOKIE, path="/", secure=cookie_secure, httponly=True, samesite="strict")
        return response

    @router.get("/pipelines", response_class=HTMLResponse)
    def pipelines(request: Request, who: Who) -> Response:
        rows = storage(request).tenant_pipelines(who, include_untenanted=who == DEFAULT_TENANT)
        return page(request, "pipelines.html", tenant=who, pipelines=rows)

    @router.get("/pipelines/{pid:int}", response_class=HTMLResponse)
    def pipeline(request: Request, pid: int, who: Who) -> Response:
        entry = owned_pipeline(request, pid, who)
        store = storage(request)
        syncs = store.dashboard_syncs(who, pipeline_id=pid, limit=1)
        data = PipelineData(entry, store, who, syncs[0] if syncs else None)
        sections = [s for builder in SECTIONS for s in builder(data)]
        return page(request, "pipeline.html", tenant=who, p=entry, sections=sections, sync=data.sync)

    @router.get("/pipelines/{pid:int}/lineage", response_class=HTMLResponse)
    def lineage(request: Request, pid: int, who: Who, fingerprint: str = "", row: str = "",
                output: str = "") -> Response:
        entry = owned_pipeline(request, pid, who)
        store = storage(request)
        word: Optional[int] = None
        outputs: List[Dict[str, Any]] = []
        saved: Optional[Tuple[Dict[str, Any], int, str, List[Dict[str, Any]]]] = None
        if fingerprint.strip():
            word = _parse_word(fingerprint)
            if word is None:
                raise PageError(400, "The fingerprint must be a decimal or 0x hexadecimal number.")
        elif row.strip():
            saved = lineage_view.saved_value_graph(store, pid, row.strip()[:1000], output)
            if saved is not None:
                graph, word, output, outputs = saved
            else:
                outputs = store.result_rows(pid, row.strip()[:1000])
                if not outputs:
                    raise PageError(404, f"Pipeline {pid} stored no result for row {row.strip()[:200]!r}.")
                chosen = [o for o in outputs if o["output_name"] == output] or outputs[:1]
                word = int(chosen[0]["fingerprint"])
                output = chosen[0]["output_name"]
        else:
            raise PageError(400, "Give a fingerprint or a row key to look up.")
        if not (row.strip() and saved is not None):
            try:
                graph = store.pipeline_graph(pid, word)
            except KeyError:
                raise PageError(404, f"Pipeline {pid} has no stored node with fingerprint 0x{word & 0xFFFFFFFF:08X}.")
        folded = lineage_view.fold(graph)
        svg, note = None, ""
        if dot is None:
            note = "Graphviz is not installed"
        elif len(folded.boxes) > lineage_view.MAX_DRAWN_BOXES:
            note = f"the folded graph has {len(folded.boxes):,} boxes, too many to draw"
        else:
            svg, note = lineage_view.render_svg(lineage_view.to_dot(folded), dot=dot)
        return page(
            request, "lineage.html", tenant=who, p=entry, word=word, row=row.strip(), output=output,
            outputs=outputs, folded=folded, rows=lineage_view.table_rows(folded), svg=svg, note=note,
            legend=lineage_view.LEGEND, colours=lineage_view.COLOURS, protected_edge=lineage_view.PROTECTED_EDGE,
        )

    @router.get("/docs", response_class=HTMLResponse)
    def docs(request: Request) -> Response:
        described = openapi()
        operations = [
            {"method": method.upper(), "path": path, "summary": op.get("summary", ""),
             "description": op.get("description", ""),
             "responses": sorted(op.get("responses", {})),
             "body": _schema_name(op.get("requestBody"))}
            for path, methods in described.get("paths", {}).items()
            for method, op in methods.items()
        ]
        return page(request, "docs.html", operations=operations, schemas=described.get("components", {}).get(
            "schemas", {}), title=described.get("info", {}).get("title", ""))

    return router, templates


def _schema_name(body: Optional[Dict[str, Any]]) -> str:
    if not body:
        return ""
    schema = body.get("content", {}).get("application/json", {}).get("schema", {})
    ref = schema.get("$ref", "")
    return ref.rsplit("/", 1)[-1] if ref else str(schema.get("type", "object"))
