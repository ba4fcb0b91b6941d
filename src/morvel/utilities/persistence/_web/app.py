"""The lineage service's ASGI application: the JSON API under ``/v1``, the
dashboard at ``/``, the API reference at ``/docs`` and ``/openapi.json``."""
from __future__ import annotations

import shutil
from typing import Any, Mapping, Optional

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse, Response
from fastapi.staticfiles import StaticFiles
from starlette.exceptions import HTTPException as StarletteHTTPException

from ..storage import SQLiteStorage
from . import api, dashboard
from .gate import ApiGate, ApiKeys, IdempotencyStore

API_PREFIX = "/v1"

DESCRIPTION = """\
Stores the lineage of morvel pipelines: pipeline runs, source columns, graph
nodes and edges, per-row values and results, and dashboard reports.

Every call under `/v1` needs `Authorization: Bearer KEY`. Each key belongs to
one tenant; a tenant sees and changes only its own pipelines (the tenant
always comes from the key, never from a body). Bodies are JSON
(`Content-Type: application/json`; other types get 415), except the binary
bodies of node blocks and values (`application/octet-stream`), at most the
configured size (413), sent with `Content-Length` (chunked bodies get 411).
Errors are `{"error": text}` with a 4xx status. Writes to a pipeline that is
completed or failed get 409 (result rows may still be added to a completed
one). A POST may carry an `Idempotency-Key` header: a repeated key (per
tenant) gets the first answer again without being applied twice.
"""


def create_app(
    storage: SQLiteStorage,
    api_keys: Mapping[str, str],
    *,
    max_body: int = 16 * 1024 * 1024,
    replies: Optional[Any] = None,
    dashboard_enabled: bool = True,
    cookie_secure: bool = True,
    dot: Optional[str] = "auto",
    request_timeout: float = 60.0,
) -> FastAPI:
    """The lineage service as an ASGI application over a connected
    ``storage``.

    ``api_keys`` maps each accepted key to its tenant.  ``replies`` keeps
    Idempotency-Key answers (an :class:`IdempotencyStore` by default).
    ``cookie_secure`` marks the session cookie ``Secure`` (browsers send it
    over HTTPS and to ``localhost``/``127.0.0.1`` only).  ``dot`` is the
    Graphviz program drawing lineage graphs: "auto" finds it on the PATH,
    None draws tables only.
    """
    if not api_keys:
        raise ValueError("at least one API key is required")
    keys = ApiKeys(api_keys)
    app = FastAPI(
        title="morvel lineage service",
        version="1",
        description=DESCRIPTION,
        docs_url=None,
        redoc_url=None,
        openapi_url="/openapi.json",
    )
    app.state.storage = storage
    for router in api.ROUTERS:
        app.include_router(router, prefix=API_PREFIX)
    api.install_error_handlers(app)

    if dashboard_enabled:
        dot_path = shutil.which("dot") if dot == "auto" else dot
        app.state.sessions = dashboard.Sessions()
        router, templates = dashboard.build_router(keys, app.state.sessions, cookie_secure, dot_path, app.openapi)
        app.include_router(router)
        app.mount("/static", StaticFiles(directory=str(dashboard.STATIC_DIR)), name="static")

        async def page_error(request: Request, exc: Exception) -> Response:
            assert isinstance(exc, dashboard.PageError)
            response = templates.TemplateResponse(
                request, "error.html",
                {"message": str(exc), "status": exc.status,
                 "tenant": app.state.sessions.tenant(request.cookies.get(dashboard.COOKIE))},
                status_code=exc.status,
            )
            response.headers.update(dashboard.PAGE_HEADERS)
            return response

        async def sign_in_first(request: Request, exc: Exception) -> Response:
            response = templates.TemplateResponse(
                request, "signin.html", {"tenant": None, "error": "Please sign in with your API key."},
                status_code=401,
            )
            response.headers.update(dashboard.PAGE_HEADERS)
            return response

        app.add_exception_handler(dashboard.PageError, page_error)
        app.add_exception_handler(dashboard.SignInRequired, sign_in_first)
    else:
        templates = None

    async def http_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, StarletteHTTPException)
        path = request.url.path
        if templates is None or path == API_PREFIX or path.startswith(API_PREFIX + "/") or path == "/openapi.json":
            return api.http_error_reply(request, exc)
        message = "There is no such page." if exc.status_code == 404 else str(exc.detail)
        return await page_error(request, dashboard.PageError(exc.status_code, message))

    app.add_exception_handler(StarletteHTTPException, http_error)

    async def internal_error(request: Request, exc: Exception) -> Response:
        # the server logs the exception with its traceback; the client gets
        # the error shape of the API, or an error page
        path = request.url.path
        if templates is None or path == API_PREFIX or path.startswith(API_PREFIX + "/"):
            return JSONResponse({"error": "internal error"}, status_code=500)
        return await page_error(request, dashboard.PageError(500, "Something went wrong on the server."))

    app.add_exception_handler(Exception, internal_error)
    app.add_middleware(
        ApiGate, keys=keys, replies=replies if replies is not None else IdempotencyStore(),
        max_body=max_body, api_prefix=API_PREFIX, wait_timeout=request_timeout, binary_paths=api.BINARY_PATHS,
    )
    return app


__all__ = ["create_app"]
