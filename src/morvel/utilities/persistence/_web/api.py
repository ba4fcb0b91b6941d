"""The lineage HTTP/JSON API: one router per resource over
:class:`SQLiteStorage`, pydantic models for bodies and replies.

The tenant comes from the request's API key (resolved by :class:`ApiGate`,
handed to routes by the :func:`tenant` dependency); a tenant sees and
changes only its own pipelines.  Pipelines stored without a tenant (written
to the database file directly) belong to the tenant "default".
"""
from __future__ import annotations

import re
from typing import Any, Dict, Iterable, List, Optional, Tuple, Union

from fastapi import APIRouter, Depends, FastAPI, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from pydantic import (
    BaseModel,
    ConfigDict,
    Field,
    StrictBool,
    StrictFloat,
    StrictInt,
    StrictStr,
)
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException as StarletteHTTPException
from typing_extensions import Annotated

from ... import _lineage_bulk as bulk
from ..storage import SQLiteStorage, StorageError, StoredNode, StoredRowValue

DEFAULT_TENANT = "default"
_INT_MIN, _INT_MAX = -(2**63), 2**63 - 1

Int64 = Annotated[StrictInt, Field(ge=_INT_MIN, le=_INT_MAX)]
Number = Union[StrictInt, StrictFloat]


class ApiError(Exception):
    """An error answered as ``{"error": message}`` with ``status``."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------
# Models
# ---------------------------------------------------------------------------


class _Body(BaseModel):
    model_config = ConfigDict(extra="ignore")


class ErrorReply(BaseModel):
    error: str = Field(description="what was wrong with the request")


class Health(BaseModel):
    status: str = Field(examples=["ok"])


class WhoAmI(BaseModel):
    tenant_id: str


class PipelineCreate(_Body):
    pipeline_name: StrictStr = Field(description="name of the pipeline run")
    config: Optional[Dict[str, Any]] = None
    git_commit: Optional[StrictStr] = None
    tenant_id: Optional[StrictStr] = Field(None, description="ignored: the tenant always comes from the API key")


class PipelineCreated(BaseModel):
    pipeline_id: int
    tenant_id: str


class PipelineEntry(BaseModel):
    pipeline_id: int
    name: str
    tenant_id: Optional[str]
    status: str
    created_at: Optional[str]
    completed_at: Optional[str]
    git_commit: Optional[str]
    node_count: int
    edge_count: int
    row_value_count: int
    result_count: int
    protected_sources: List[str]


class PipelineList(BaseModel):
    pipelines: List[PipelineEntry]


class PipelineComplete(_Body):
    status: StrictStr = Field(description='"completed" or "failed"; a failed pipeline stays failed')


class PipelineStatus(BaseModel):
    pipeline_id: int
    status: str


class SourceIn(_Body):
    pair_id: Int64
    table: StrictStr
    column: StrictStr
    is_protected: Optional[StrictBool] = None
    pipeline_id: Optional[Int64] = Field(None, description="null: kept under the tenant, not a pipeline")


class Registered(BaseModel):
    registered: int


class NodeIn(_Body):
    pipeline_id: Int64
    fingerprint: Int64
    node_type: Optional[StrictStr] = None
    operation: Optional[StrictStr] = None
    table_name: Optional[StrictStr] = None
    column_name: Optional[StrictStr] = None
    pair_id: Optional[Int64] = None
    is_protected: StrictBool = False
    entity_hash: Optional[Int64] = None
    chain_hash: Optional[Int64] = None
    metadata: Optional[Dict[str, Any]] = None


class NodesIn(_Body):
    nodes: List[NodeIn]


class Stored(BaseModel):
    stored: int


class NodeMap(BaseModel):
    nodes: List[Tuple[int, int]] = Field(description="[fingerprint, node id] pairs")


class NodeIdsIn(_Body):
    fingerprints: List[Int64]


class EdgesIn(_Body):
    edges: List[Tuple[Int64, Int64, Int64]] = Field(description="[parent node id, child node id, input position]")
    pipeline_id: Optional[Int64] = Field(None, description="when given, every node must belong to this pipeline")


RowValue = Tuple[Int64, Int64, Int64, Optional[StrictStr], Optional[Number], Optional[StrictStr],
                 Optional[StrictStr], Optional[StrictStr]]


class RowValuesIn(_Body):
    row_values: List[RowValue] = Field(
        description="[pipeline_id, row_index, fingerprint, node_operation, value, column_name, tenant_id"
        " (ignored: the key's tenant is stored), text_value]"
    )


ResultIn = Tuple[StrictStr, StrictStr, Int64, Optional[Number], Optional[StrictStr]]


class ResultsIn(_Body):
    rows: List[ResultIn] = Field(description="[row key, output name, fingerprint, value, input hash]")


class GraphNode(BaseModel):
    node_id: int
    pipeline_id: int
    fingerprint: int
    node_type: Optional[str]
    operation: Optional[str]
    table_name: Optional[str]
    column_name: Optional[str]
    pair_id: Optional[int]
    is_protected: bool
    entity_hash: Optional[int]
    chain_hash: Optional[int]
    metadata: Any


class GraphEdge(BaseModel):
    parent_id: int
    child_id: int
    position: int


class Graph(BaseModel):
    pipeline_id: int
    root: int
    nodes: List[GraphNode]
    edges: List[GraphEdge]


class SyncAccepted(BaseModel):
    sync_id: int


class LineageStoreOpen(_Body):
    name: StrictStr = Field(description="name of the saved node store (the pipeline's)")
    first_id: Int64 = Field(description="id of the store's first node")


class LineageStoreOpened(BaseModel):
    store_id: int


class LineageStoreFinish(_Body):
    next_id: Int64 = Field(description="one past the last node id: the blocks sent must hold every node")
    texts: List[StrictStr] = Field(description="interned texts (operations, table and column names, metadata)")
    attrs: List[List[Optional[Int64]]] = Field(description="[table text id, column text id, pair id] per attribute")
    sources: List[List[Int64]] = Field(description="[table text id, column text id, node id] of the source index")
    config: Optional[Dict[str, Any]] = Field(None, description="the pipeline's configuration, if opened without one")


class LineageStoreFinished(BaseModel):
    store_id: int
    next_id: int


# ---------------------------------------------------------------------------
# Dependencies and ownership checks
# ---------------------------------------------------------------------------


# Dependencies are coroutines: they do no I/O, and a plain function would
# cost a hop to the thread pool on every request.
async def tenant(request: Request) -> str:
    """The tenant of the request's API key (set by the gate in front)."""
    found = request.scope.get("state", {}).get("tenant")
    if not isinstance(found, str):
        raise ApiError(401, "missing or invalid API key")
    return found


async def store(request: Request) -> SQLiteStorage:
    """The storage the application serves."""
    return request.app.state.storage


Tenant = Annotated[str, Depends(tenant)]
Store = Annotated[SQLiteStorage, Depends(store)]


def owns(owner: Optional[str], who: str) -> bool:
    """True when a pipeline stored with tenant ``owner`` belongs to ``who``."""
    return owner == who or (owner is None and who == DEFAULT_TENANT)


def check_owned(storage: SQLiteStorage, who: str, pipeline_ids: Iterable[int], writing: bool = False,
                results: bool = False) -> None:
    """Raise 404 for a pipeline that does not exist or is another tenant's;
    with ``writing`` 409 for one that is no longer running (``results``:
    result rows may still be added to a completed pipeline, not to a
    failed one)."""
    ids = set(pipeline_ids)
    states = storage.pipeline_states(ids)
    for pid in sorted(ids):
        state = states.get(pid)
        if state is None or not owns(state[0], who):
            raise ApiError(404, f"pipeline {pid} not found")
        status = state[1]
        if writing and status != "running" and not (results and status == "completed"):
            raise ApiError(409, f"pipeline {pid} is {status}; it accepts no more writes")


# ---------------------------------------------------------------------------
# Routers
# ---------------------------------------------------------------------------

_ERRORS: Dict[Union[int, str], Dict[str, Any]] = {
    "4XX": {
        "model": ErrorReply,
        "description": "Refused, with the reason: 400 invalid body or value, 401 missing or invalid key, "
        "404 unknown or another tenant's pipeline or node, 409 pipeline already completed or failed, "
        "411 chunked body, 413 body too large, 415 body not JSON, 429 same Idempotency-Key still in progress",
    }
}

def _ok(model: Any, status: int) -> Dict[Union[int, str], Dict[str, Any]]:
    """The success reply of a route, for the API description.  Routes
    return plain dictionaries (the store's records) and declare no response
    model: FastAPI would validate every reply again, in the thread pool."""
    return {status: {"model": model, "description": "Success"}}


service_router = APIRouter(tags=["service"], responses=_ERRORS)
pipelines_router = APIRouter(prefix="/pipelines", tags=["pipelines"], responses=_ERRORS)
sources_router = APIRouter(tags=["sources"], responses=_ERRORS)
nodes_router = APIRouter(tags=["nodes"], responses=_ERRORS)
edges_router = APIRouter(tags=["edges"], responses=_ERRORS)
values_router = APIRouter(tags=["row values and results"], responses=_ERRORS)
sync_router = APIRouter(tags=["dashboard sync"], responses=_ERRORS)
lineage_router = APIRouter(prefix="/pipelines", tags=["node blocks and values in bulk"], responses=_ERRORS)

#: Paths whose body is binary (``application/octet-stream``), for the gate.
BINARY_PATHS = re.compile(r"^/v1/pipelines/[0-9]+/lineage/(blocks|values|edges)$")


@service_router.get("/health", response_model=None, responses=_ok(Health, 200))
async def health(who: Tenant) -> Dict[str, Any]:
    """The service answers (a valid key is needed, as for every call)."""
    return {"status": "ok"}


@service_router.get("/whoami", response_model=None, responses=_ok(WhoAmI, 200))
async def whoami(who: Tenant) -> Dict[str, Any]:
    """The tenant the API key belongs to."""
    return {"tenant_id": who}


@pipelines_router.post("", status_code=201, response_model=None, responses=_ok(PipelineCreated, 201))
def create_pipeline(body: PipelineCreate, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Open a pipeline run (status "running") under the key's tenant."""
    pid = storage.create_pipeline(body.pipeline_name, config=body.config, git_commit=body.git_commit, tenant_id=who)
    return {"pipeline_id": pid, "tenant_id": who}


@pipelines_router.get("", response_model=None, responses=_ok(PipelineList, 200))
def list_pipelines(who: Tenant, storage: Store) -> Dict[str, Any]:
    """The tenant's pipelines, newest first."""
    return {"pipelines": storage.tenant_pipelines(who, include_untenanted=who == DEFAULT_TENANT)}


@pipelines_router.get("/{pid:int}", response_model=None, responses=_ok(PipelineEntry, 200))
def get_pipeline(pid: int, who: Tenant, storage: Store) -> Any:
    """One entry of the pipeline list."""
    check_owned(storage, who, [pid])
    return storage.get_pipeline(pid)


@pipelines_router.post("/{pid:int}/complete", response_model=None, responses=_ok(PipelineStatus, 200))
def complete_pipeline(pid: int, body: PipelineComplete, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Close a pipeline run as "completed" or "failed"."""
    check_owned(storage, who, [pid])
    storage.complete_pipeline(pid, body.status)
    return {"pipeline_id": pid, "status": body.status}


@pipelines_router.get("/{pid:int}/node-map", response_model=None, responses=_ok(NodeMap, 200))
def node_map(pid: int, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Every stored fingerprint of the pipeline with its node id."""
    check_owned(storage, who, [pid])
    return {"nodes": list(storage.get_fingerprint_node_map(pid).items())}


@pipelines_router.post("/{pid:int}/node-ids", response_model=None, responses=_ok(NodeMap, 200))
def node_ids(pid: int, body: NodeIdsIn, who: Tenant, storage: Store) -> Dict[str, Any]:
    """The node ids of those of the given fingerprints that are stored."""
    check_owned(storage, who, [pid])
    return {"nodes": list(storage.get_node_ids(pid, body.fingerprints).items())}


@pipelines_router.post("/{pid:int}/results", response_model=None, responses=_ok(Stored, 200))
def store_results(pid: int, body: ResultsIn, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Store per-row result fingerprints (a completed pipeline still takes
    them; a failed one does not)."""
    for k, row in enumerate(body.rows):
        SQLiteStorage.result_params(pid, row, k)
    check_owned(storage, who, [pid], writing=True, results=True)
    storage.store_results(pid, list(body.rows))
    return {"stored": len(body.rows)}


@pipelines_router.get("/{pid:int}/graph", response_model=None, responses=_ok(Graph, 200))
def graph(pid: int, who: Tenant, storage: Store,
          fingerprint: int = Query(description="fingerprint (provenance word) of the value")) -> Any:
    """The stored derivation of one value: its node and every node upstream."""
    check_owned(storage, who, [pid])
    try:
        return storage.pipeline_graph(pid, fingerprint)
    except KeyError:
        raise ApiError(404, f"pipeline {pid} has no node with fingerprint {fingerprint}") from None


@sources_router.post("/sources", response_model=None, responses=_ok(Registered, 200))
def register_source(body: SourceIn, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Record a (table, column) source pair for a pipeline or the tenant."""
    pid = body.pipeline_id
    if pid is None:
        pid = 0  # not attached to a pipeline; kept under the tenant
    else:
        check_owned(storage, who, [pid], writing=True)
    storage.register_source(body.pair_id, body.table, body.column, bool(body.is_protected), pipeline_id=pid,
                            tenant_id=who)
    return {"registered": 1}


@nodes_router.post("/nodes", response_model=None, responses=_ok(Stored, 200))
def store_nodes(body: NodesIn, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Store nodes; a fingerprint already stored for its pipeline is kept."""
    # a missing node type or operation is stored as NULL, as the store allows
    nodes = [
        StoredNode(
            fingerprint=n.fingerprint, node_type=n.node_type, operation=n.operation,  # type: ignore[arg-type]
            table_name=n.table_name,
            column_name=n.column_name, pair_id=n.pair_id, is_protected=n.is_protected,
            entity_hash=n.entity_hash, chain_hash=n.chain_hash, metadata=n.metadata, pipeline_id=n.pipeline_id,
        )
        for n in body.nodes
    ]
    for n in nodes:  # check every field before touching the database
        SQLiteStorage.node_params(n, "")
    check_owned(storage, who, {n.pipeline_id for n in body.nodes}, writing=True)
    storage.store_nodes(nodes)
    return {"stored": len(nodes)}


@edges_router.post("/edges", response_model=None, responses=_ok(Stored, 200))
def store_edges(body: EdgesIn, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Store edges between stored nodes; returns how many were new.  Both
    nodes of every edge must belong to a running pipeline of the tenant
    (and to ``pipeline_id`` when it is given)."""
    edges = [(e[0], e[1], e[2]) for e in body.edges]
    for k, (_, _, pos) in enumerate(edges):
        if pos < 0:
            raise ApiError(400, f"'edges'[{k}]: input position must not be negative")
    wanted = {e[0] for e in edges} | {e[1] for e in edges}
    if body.pipeline_id is not None:
        check_owned(storage, who, [body.pipeline_id], writing=True)
    if edges:
        owners = storage.node_pipelines(wanted)
        unknown = wanted - owners.keys()
        if unknown:
            raise ApiError(404, f"node {min(unknown)} not found")
        if body.pipeline_id is not None:
            elsewhere = sorted(n for n, p in owners.items() if p != body.pipeline_id)
            if elsewhere:
                raise ApiError(404, f"node {elsewhere[0]} not found in pipeline {body.pipeline_id}")
        check_owned(storage, who, set(owners.values()), writing=True)
    return {"stored": storage.store_edges_resolved(edges)}


@values_router.post("/row-values", response_model=None, responses=_ok(Stored, 200))
def store_row_values(body: RowValuesIn, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Append per-row values, stamped with the key's tenant."""
    values = [
        StoredRowValue(pid, row, fp, op,  # type: ignore[arg-type]  # a missing operation is stored as NULL
                       None if value is None else float(value), column, who, text)
        for pid, row, fp, op, value, column, _claimed, text in body.row_values
    ]
    for v in values:
        SQLiteStorage.row_value_params(v)
    check_owned(storage, who, {v.pipeline_id for v in values}, writing=True)
    storage.store_row_values(values)
    return {"stored": len(values)}


@sync_router.post("/dashboard/sync", status_code=202, response_model=None, responses=_ok(SyncAccepted, 202))
def dashboard_sync(body: Dict[str, Any], who: Tenant, storage: Store) -> Dict[str, Any]:
    """Keep a pipeline run's dashboard report (any JSON object); the
    pipeline page shows the newest one naming the pipeline in
    ``pipeline.provenance_pipeline_id``."""
    return {"sync_id": storage.store_dashboard_sync(body, tenant_id=who)}


def _bulk_store(storage: SQLiteStorage, who: str, pid: int, store_id: int) -> Any:
    """The connection, after checking that ``store_id`` is a store of the
    tenant's running pipeline ``pid`` (the caller holds the storage lock)."""
    check_owned(storage, who, [pid], writing=True)
    conn = storage._db()
    bulk.ensure_schema(conn)
    owner = bulk.store_row(conn, store_id)[0]
    if owner != pid:
        raise ApiError(404, f"lineage store {store_id} not found in pipeline {pid}")
    return conn


def _apply_bulk(storage: SQLiteStorage, who: str, pid: int, body: bytes, magic: bytes) -> Dict[str, Any]:
    check_owned(storage, who, [pid], writing=True)  # before the body is looked at
    store_id, items = bulk.decode_body(magic, body)
    with storage._lock:
        conn = _bulk_store(storage, who, pid, store_id)
        if magic == bulk.BLOCKS:
            stored = bulk.insert_blocks(conn, store_id, bulk.rows_from_block_items(store_id, items))
        else:
            stored = bulk.insert_values(conn, store_id, bulk.rows_from_value_items(store_id, items))
    return {"stored": stored}


async def _binary_body(request: Request) -> bytes:
    kind = (request.headers.get("content-type") or "").split(";", 1)[0].strip().lower()
    if kind != "application/octet-stream":
        raise ApiError(415, "the request body must be binary (Content-Type: application/octet-stream)")
    return await request.body()


_BINARY_BODY = {"requestBody": {"required": True, "content": {"application/octet-stream": {
    "schema": {"type": "string", "format": "binary"}}}}}


@lineage_router.post("/{pid:int}/lineage/stores", status_code=201, response_model=None,
                     responses=_ok(LineageStoreOpened, 201))
def open_lineage_store(pid: int, body: LineageStoreOpen, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Open a saved node store of a running pipeline (its blocks follow)."""
    with storage._lock:
        check_owned(storage, who, [pid], writing=True)
        conn = storage._db()
        bulk.ensure_schema(conn)
        return {"store_id": bulk.open_store(conn, pid, body.name, body.first_id)}


@lineage_router.post("/{pid:int}/lineage/blocks", response_model=None, responses=_ok(Stored, 200),
                     openapi_extra=_BINARY_BODY)
async def store_lineage_blocks(pid: int, request: Request, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Store node blocks of an open store, as ``lineage_blocks`` keeps them
    (one part per column).  Binary body: the line ``MVLB1``, a 4-byte
    little-endian header length, a JSON header (``store_id``, ``items``
    with each block's fields and part sizes, ``sha256`` of the parts),
    then the parts.  All blocks are checked before any is written; a block
    sent again must be the same (409 otherwise)."""
    body = await _binary_body(request)
    return await run_in_threadpool(_apply_bulk, storage, who, pid, body, bulk.BLOCKS)


@lineage_router.post("/{pid:int}/lineage/values", response_model=None, responses=_ok(Stored, 200),
                     openapi_extra=_BINARY_BODY)
async def store_lineage_values(pid: int, request: Request, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Store output values of a store, as ``lineage_values`` keeps them
    (row labels, node ids, words, values per chunk of a column).  Binary
    body as for blocks, with the line ``MVLV1``."""
    body = await _binary_body(request)
    return await run_in_threadpool(_apply_bulk, storage, who, pid, body, bulk.VALUES)


def _apply_edges(storage: SQLiteStorage, who: str, pid: int, body: bytes) -> Dict[str, Any]:
    check_owned(storage, who, [pid], writing=True)
    _, items = bulk.decode_body(bulk.EDGES, body)
    edges = bulk.edges_from_items(items)
    try:
        return {"stored": storage.store_pipeline_edges(pid, edges)}
    except StorageError as exc:
        raise ApiError(404 if "every edge" in str(exc) else 400, str(exc)) from None


@lineage_router.post("/{pid:int}/lineage/edges", response_model=None, responses=_ok(Stored, 200),
                     openapi_extra=_BINARY_BODY)
async def store_summary_edges(pid: int, request: Request, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Store the per-word summary's edges between nodes of the pipeline in
    bulk: a binary body (line ``MVLE1``, header, one part holding the
    little-endian int64 (parent node id, child node id, input position)
    triples).  Every node must be one of this pipeline's (404 otherwise);
    an edge stored already is kept once."""
    body = await _binary_body(request)
    return await run_in_threadpool(_apply_edges, storage, who, pid, body)


@lineage_router.post("/{pid:int}/lineage/stores/{sid:int}/finish", response_model=None,
                     responses=_ok(LineageStoreFinished, 200))
def finish_lineage_store(pid: int, sid: int, body: LineageStoreFinish, who: Tenant, storage: Store) -> Dict[str, Any]:
    """Close a store once its blocks hold every node up to ``next_id``."""
    with storage._lock:
        conn = _bulk_store(storage, who, pid, sid)
        bulk.finish_store(conn, sid, body.next_id, list(body.texts), [list(a) for a in body.attrs],
                          [list(x) for x in body.sources])
        bulk.set_config(conn, pid, body.config)
    return {"store_id": sid, "next_id": body.next_id}


ROUTERS = (service_router, pipelines_router, sources_router, nodes_router, edges_router, values_router, sync_router,
           lineage_router)


# ---------------------------------------------------------------------------
# Errors as {"error": text}
# ---------------------------------------------------------------------------


def _validation_message(exc: RequestValidationError) -> str:
    errors = exc.errors()
    if not errors:
        return "invalid request"
    first = errors[0]
    loc = [str(p) for p in first.get("loc", ())]
    kind = first.get("type", "")
    if kind == "json_invalid":
        return f"malformed JSON: {first.get('ctx', {}).get('error', first.get('msg', ''))}"
    where, fields = (loc[0], loc[1:]) if loc else ("body", [])
    if where == "query" and fields:
        if kind == "missing":
            return f"query parameter '{fields[0]}' is required"
        return f"query parameter '{fields[0]}': {first.get('msg', 'invalid value')}"
    if not fields or kind in ("model_attributes_type", "dict_type") and len(fields) == 0:
        return "the request body must be a JSON object"
    name = fields[0] + "".join(f"[{p}]" if p.isdigit() else f".{p}" for p in fields[1:])
    if kind == "missing":
        return f"missing field '{name}'"
    return f"field '{name}': {first.get('msg', 'invalid value')}"


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


def install_error_handlers(app: FastAPI) -> None:
    """Errors of the API as ``{"error": text}`` replies."""

    async def api_error(request: Request, exc: Exception) -> JSONResponse:
        assert isinstance(exc, ApiError)
        return _error(exc.status, str(exc))

    async def validation(request: Request, exc: Exception) -> JSONResponse:
        assert isinstance(exc, RequestValidationError)
        return _error(400, _validation_message(exc))

    async def storage_error(request: Request, exc: Exception) -> JSONResponse:
        status = getattr(exc, "status", None)
        return _error(status if status and 400 <= status < 500 else 400, str(exc))

    async def bad_value(request: Request, exc: Exception) -> JSONResponse:
        return _error(400, f"invalid value: {exc}")

    async def bulk_error(request: Request, exc: Exception) -> JSONResponse:
        assert isinstance(exc, bulk.BulkError)
        return _error(exc.status, str(exc))

    app.add_exception_handler(ApiError, api_error)
    app.add_exception_handler(RequestValidationError, validation)
    app.add_exception_handler(StorageError, storage_error)
    app.add_exception_handler(bulk.BulkError, bulk_error)
    for kind in (UnicodeError, OverflowError, RecursionError, ValueError):
        app.add_exception_handler(kind, bad_value)


def http_error_reply(request: Request, exc: StarletteHTTPException) -> JSONResponse:
    """The JSON reply of an HTTP error raised by the framework (unknown
    path, wrong method, unparsable body)."""
    if exc.status_code == 404:
        return _error(404, f"no endpoint {request.url.path}")
    if exc.status_code == 405:
        return _error(405, f"method {request.method} not allowed on {request.url.path}")
    return _error(exc.status_code, str(exc.detail))
