"""The previous lineage service on the standard library's ``http.server``.

Kept only so that ``bench/bench_service_load.py`` can measure it beside the
FastAPI/uvicorn service (:mod:`morvel.utilities.persistence.service`) in one
run; nothing else uses it.  It does not check pipeline status on writes and
accepts any content type.

Run it with::

    python -m morvel.utilities.persistence._legacy_service --db lineage.db --port 8787 --api-key KEY[:TENANT]

It listens on 127.0.0.1 unless ``--host`` says otherwise.  Every request,
``GET /v1/health`` included, needs ``Authorization: Bearer KEY``; each key
belongs to one tenant (``KEY:TENANT``, or the tenant "default"), and a
tenant sees and changes only its own pipelines: the tenant always comes from
the key, never from a request body.

Endpoints (JSON bodies; errors are ``{"error": text}`` with a 4xx status):

====== ====================================== =======================================================
GET    /v1/health                             ``{"status": "ok"}``
GET    /v1/whoami                             ``{"tenant_id"}``
POST   /v1/pipelines                          ``{"pipeline_name", "config", "git_commit", "tenant_id"}``
                                              -> 201 ``{"pipeline_id", "tenant_id"}``
GET    /v1/pipelines                          ``{"pipelines": [...]}`` (``SQLiteStorage.list_pipelines``)
GET    /v1/pipelines/{id}                     one entry of that list
POST   /v1/pipelines/{id}/complete            ``{"status": "completed" | "failed"}``
POST   /v1/sources                            ``{"pair_id", "table", "column", "is_protected", "pipeline_id"}``
POST   /v1/nodes                              ``{"nodes": [{"pipeline_id", "fingerprint", "node_type", ...}]}``
GET    /v1/pipelines/{id}/node-map            ``{"nodes": [[fingerprint, node_id], ...]}``
POST   /v1/pipelines/{id}/node-ids            ``{"fingerprints": [...]}`` -> same shape, only those stored
POST   /v1/edges                              ``{"edges": [[parent_id, child_id, position], ...]}`` -> ``{"stored"}``
POST   /v1/row-values                         ``{"row_values": [[pipeline_id, row_index, fingerprint,
                                              node_operation, value, column_name, tenant_id, text_value]]}``
POST   /v1/pipelines/{id}/results             ``{"rows": [[row_key, output, fingerprint, value, input_hash]]}``
GET    /v1/pipelines/{id}/graph?fingerprint=N ``SQLiteStorage.pipeline_graph``
POST   /v1/dashboard/sync                     any JSON object -> 202 ``{"sync_id"}``
====== ====================================== =======================================================

POST requests may carry an ``Idempotency-Key`` header: a repeated key (per
tenant) gets the first answer again without being applied twice.
"""
from __future__ import annotations

import argparse
import hmac
import json
import logging
import re
import socket
import sqlite3
import sys
import threading
from collections import OrderedDict
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple
from urllib.parse import parse_qs, urlsplit

from .storage import SQLiteStorage, StorageError, StoredNode, StoredRowValue

logger = logging.getLogger(__name__)

__all__ = ["LineageService", "parse_api_keys", "main"]

DEFAULT_PORT = 8787
DEFAULT_MAX_BODY = 16 * 1024 * 1024
DEFAULT_TENANT = "default"
_IDEMPOTENCY_MEMORY = 4096
_MAX_REMEMBERED = 4096
_MAX_IDEMPOTENCY_KEY = 200
#: Largest body read (and dropped) from a request without a valid key.
_UNAUTHORISED_BODY = 64 * 1024


class _HTTPError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def _require(body: Mapping[str, Any], key: str, kinds: Tuple[type, ...], what: str, optional: bool = False) -> Any:
    if key not in body:
        if optional:
            return None
        raise _HTTPError(400, f"missing field '{key}'")
    value = body[key]
    if value is None and optional:
        return None
    if not isinstance(value, kinds) or (isinstance(value, bool) and bool not in kinds):
        raise _HTTPError(400, f"field '{key}' must be {what}")
    return value


def _list_field(body: Mapping[str, Any], key: str) -> List[Any]:
    return _require(body, key, (list,), "a list")


def _record_list(items: List[Any], key: str, width: int) -> None:
    for k, item in enumerate(items):
        if not isinstance(item, list) or len(item) != width:
            raise _HTTPError(400, f"'{key}'[{k}] must be a list of {width} values")


def parse_api_keys(entries: Sequence[str]) -> Dict[str, str]:
    """``{key: tenant}`` from ``KEY`` or ``KEY:TENANT`` texts (the last
    colon separates the tenant).  Raises ``ValueError`` for an empty key or
    tenant, or a key given for two tenants."""
    keys: Dict[str, str] = {}
    for entry in entries:
        key, sep, tenant = entry.rpartition(":")
        if not sep:
            key, tenant = entry, DEFAULT_TENANT
        if not key or not tenant:
            raise ValueError(f"invalid API key argument {entry!r} (expected KEY or KEY:TENANT)")
        if keys.get(key, tenant) != tenant:
            raise ValueError("the same API key is given for two tenants")
        keys[key] = tenant
    return keys


class LineageService:
    """The HTTP service over one :class:`SQLiteStorage`.

    ``api_keys`` maps each accepted key to its tenant.  :meth:`start` serves
    on a background thread (tests, embedding); :meth:`serve_forever` on the
    calling one (the command line).  ``port=0`` picks a free port; the bound
    one is in :attr:`port`.
    """

    def __init__(
        self,
        storage: SQLiteStorage,
        api_keys: Mapping[str, str],
        host: str = "127.0.0.1",
        port: int = DEFAULT_PORT,
        max_body: int = DEFAULT_MAX_BODY,
        request_timeout: float = 60.0,
    ) -> None:
        if not api_keys:
            raise ValueError("at least one API key is required")
        self.storage = storage
        self._keys = [(k.encode("utf-8"), t) for k, t in api_keys.items()]
        self.max_body = int(max_body)
        self.request_timeout = float(request_timeout)
        self._replies: "OrderedDict[Tuple[str, str], Tuple[int, bytes]]" = OrderedDict()
        self._replies_lock = threading.Lock()
        self._in_flight: Dict[Tuple[str, str], threading.Event] = {}
        self._sockets: set = set()
        self._sockets_lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None
        self._serving = False
        self._server = self._make_server(host, int(port))
        self.host, self.port = self._server.server_address[:2]

    @property
    def url(self) -> str:
        """Base URL of the running service."""
        return f"http://{self.host}:{self.port}"

    # -- server --------------------------------------------------------------

    def _make_server(self, host: str, port: int) -> ThreadingHTTPServer:
        service = self

        class Handler(_Handler):
            pass

        Handler.service = service
        Handler.timeout = self.request_timeout

        class Server(ThreadingHTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def process_request(self, request: socket.socket, client_address: Any) -> None:
                with service._sockets_lock:
                    service._sockets.add(request)
                super().process_request(request, client_address)

            def shutdown_request(self, request: socket.socket) -> None:
                with service._sockets_lock:
                    service._sockets.discard(request)
                super().shutdown_request(request)

        return Server((host, port), Handler)

    def start(self) -> "LineageService":
        """Serve on a background thread; returns self."""
        # a short poll interval keeps stop() quick (shutdown waits for a poll)
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="morvel-lineage-service", daemon=True
        )
        self._thread.start()
        return self

    def serve_forever(self) -> None:
        """Serve on the calling thread until :meth:`stop` (or Ctrl-C)."""
        self._serving = True
        try:
            self._server.serve_forever()
        finally:
            self._serving = False
            self._server.server_close()

    def stop(self) -> None:
        """Stop serving, drop open connections and free the port."""
        if self._thread is not None or self._serving:
            # shutdown() waits for serve_forever to return: only call it
            # when serving, or it would wait forever.
            self._server.shutdown()
        with self._sockets_lock:
            open_sockets = list(self._sockets)
        for sock in open_sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._server.server_close()
        if self._thread is not None:
            self._thread.join()
            self._thread = None

    def __enter__(self) -> "LineageService":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # -- requests ------------------------------------------------------------

    def tenant_for(self, header: Optional[str]) -> Optional[str]:
        """The tenant of the bearer token in an Authorization header, or None."""
        # the scheme name is case-insensitive in HTTP ("bearer" = "Bearer")
        if not header or header[:7].lower() != "bearer ":
            return None
        given = header[7:].strip().encode("utf-8", "replace")
        tenant = None
        for key, owner in self._keys:
            # compare against every key so the time taken says nothing
            if hmac.compare_digest(given, key):
                tenant = owner
        return tenant

    def remembered(self, tenant: str, key: Optional[str]) -> Optional[Tuple[int, bytes]]:
        """The reply remembered for an Idempotency-Key, or None after
        claiming the key for the caller (who must :meth:`release` it).

        A retry that arrives while the first request with its key is still
        being answered (the client timed out) waits for that answer instead
        of applying the request a second time.
        """
        if not key:
            return None
        slot = (tenant, key)
        while True:
            with self._replies_lock:
                reply = self._replies.get(slot)
                if reply is not None:
                    return reply
                busy = self._in_flight.get(slot)
                if busy is None:
                    self._in_flight[slot] = threading.Event()
                    return None
            if not busy.wait(self.request_timeout):
                raise _HTTPError(429, "a request with this Idempotency-Key is still being processed; retry later")

    def release(self, tenant: str, key: Optional[str]) -> None:
        """End the claim :meth:`remembered` gave on a key; requests waiting
        for it go on (with the remembered reply, if any)."""
        if not key:
            return
        with self._replies_lock:
            busy = self._in_flight.pop((tenant, key), None)
        if busy is not None:
            busy.set()

    def remember(self, tenant: str, key: Optional[str], reply: Tuple[int, bytes]) -> None:
        # Write calls answer with a few bytes; large answers come from
        # lookups, which are safe to repeat and not worth the memory.
        if not key or len(reply[1]) > _MAX_REMEMBERED:
            return
        with self._replies_lock:
            self._replies[(tenant, key)] = reply
            while len(self._replies) > _IDEMPOTENCY_MEMORY:
                self._replies.popitem(last=False)

    def _owned(self, tenant: str, pipeline_ids: Any) -> None:
        ids = set(pipeline_ids)
        owners = self.storage.pipeline_tenants(ids)
        for pid in ids:
            if pid not in owners or owners[pid] != tenant:
                raise _HTTPError(404, f"pipeline {pid} not found")

    def handle(self, method: str, path: str, query: str, tenant: str, body: Any) -> Tuple[int, Any]:
        """Answer one authorised request: ``(status, JSON-able reply)``."""
        for verb, pattern, action in _ROUTES:
            if verb != method:
                continue
            match = pattern.fullmatch(path)
            if match is None:
                continue
            args = [int(g) for g in match.groups()]
            if method == "POST" and not isinstance(body, dict):
                raise _HTTPError(400, "the request body must be a JSON object")
            return action(self, tenant, body, query, *args)
        if any(pattern.fullmatch(path) for _, pattern, _ in _ROUTES):
            raise _HTTPError(405, f"method {method} not allowed on {path}")
        raise _HTTPError(404, f"no endpoint {path}")

    # -- endpoints -----------------------------------------------------------

    def _health(self, tenant: str, body: Any, query: str) -> Tuple[int, Any]:
        return 200, {"status": "ok"}

    def _whoami(self, tenant: str, body: Any, query: str) -> Tuple[int, Any]:
        return 200, {"tenant_id": tenant}

    def _create_pipeline(self, tenant: str, body: Dict[str, Any], query: str) -> Tuple[int, Any]:
        name = _require(body, "pipeline_name", (str,), "text")
        config = _require(body, "config", (dict,), "an object or null", optional=True)
        git_commit = _require(body, "git_commit", (str,), "text or null", optional=True)
        _require(body, "tenant_id", (str,), "text or null", optional=True)
        pid = self.storage.create_pipeline(name, config=config, git_commit=git_commit, tenant_id=tenant)
        return 201, {"pipeline_id": pid, "tenant_id": tenant}

    def _list_pipelines(self, tenant: str, body: Any, query: str) -> Tuple[int, Any]:
        return 200, {"pipelines": self.storage.list_pipelines(tenant)}

    def _get_pipeline(self, tenant: str, body: Any, query: str, pid: int) -> Tuple[int, Any]:
        self._owned(tenant, [pid])
        return 200, self.storage.get_pipeline(pid)

    def _complete(self, tenant: str, body: Dict[str, Any], query: str, pid: int) -> Tuple[int, Any]:
        status = _require(body, "status", (str,), "text")
        self._owned(tenant, [pid])
        self.storage.complete_pipeline(pid, status)
        return 200, {"pipeline_id": pid, "status": status}

    def _register_source(self, tenant: str, body: Dict[str, Any], query: str) -> Tuple[int, Any]:
        pair_id = _require(body, "pair_id", (int,), "an integer")
        table = _require(body, "table", (str,), "text")
        column = _require(body, "column", (str,), "text")
        protected = _require(body, "is_protected", (bool,), "true or false", optional=True)
        pid = _require(body, "pipeline_id", (int,), "an integer or null", optional=True)
        if pid is None:
            pid = 0  # not attached to a pipeline; kept under the tenant
        else:
            self._owned(tenant, [pid])
        self.storage.register_source(pair_id, table, column, bool(protected), pipeline_id=pid, tenant_id=tenant)
        return 200, {"registered": 1}

    def _store_nodes(self, tenant: str, body: Dict[str, Any], query: str) -> Tuple[int, Any]:
        items = _list_field(body, "nodes")
        nodes = []
        for k, item in enumerate(items):
            if not isinstance(item, dict):
                raise _HTTPError(400, f"'nodes'[{k}] must be an object")
            for key in ("pipeline_id", "fingerprint"):
                if key not in item:
                    raise _HTTPError(400, f"'nodes'[{k}] is missing field '{key}'")
            protected = item.get("is_protected", False)
            if not isinstance(protected, bool):
                raise _HTTPError(400, f"'nodes'[{k}].is_protected must be true or false")
            metadata = item.get("metadata")
            if metadata is not None and not isinstance(metadata, dict):
                raise _HTTPError(400, f"'nodes'[{k}].metadata must be an object or null")
            nodes.append(
                StoredNode(
                    fingerprint=item["fingerprint"],
                    node_type=item.get("node_type"),
                    operation=item.get("operation"),
                    table_name=item.get("table_name"),
                    column_name=item.get("column_name"),
                    pair_id=item.get("pair_id"),
                    is_protected=protected,
                    entity_hash=item.get("entity_hash"),
                    chain_hash=item.get("chain_hash"),
                    metadata=metadata,
                    pipeline_id=item["pipeline_id"],
                )
            )
        # check every field before touching the database
        for n in nodes:
            SQLiteStorage.node_params(n, "")
        self._owned(tenant, {n.pipeline_id for n in nodes})
        self.storage.store_nodes(nodes)
        return 200, {"stored": len(nodes)}

    def _node_map(self, tenant: str, body: Any, query: str, pid: int) -> Tuple[int, Any]:
        self._owned(tenant, [pid])
        return 200, {"nodes": [[fp, nid] for fp, nid in self.storage.get_fingerprint_node_map(pid).items()]}

    def _node_ids(self, tenant: str, body: Dict[str, Any], query: str, pid: int) -> Tuple[int, Any]:
        fps = _list_field(body, "fingerprints")
        self._owned(tenant, [pid])
        return 200, {"nodes": [[fp, nid] for fp, nid in self.storage.get_node_ids(pid, fps).items()]}

    def _store_edges(self, tenant: str, body: Dict[str, Any], query: str) -> Tuple[int, Any]:
        items = _list_field(body, "edges")
        _record_list(items, "edges", 3)
        edges = []
        for k, (p, c, pos) in enumerate(items):
            for v in (p, c, pos):
                if type(v) is not int:
                    raise _HTTPError(400, f"'edges'[{k}] must hold three integers")
            edges.append((p, c, pos))
        if edges:
            owners = self.storage.node_pipelines({e[0] for e in edges} | {e[1] for e in edges})
            wanted = {e[0] for e in edges} | {e[1] for e in edges}
            unknown = wanted - owners.keys()
            if unknown:
                raise _HTTPError(404, f"node {min(unknown)} not found")
            self._owned(tenant, set(owners.values()))
        return 200, {"stored": self.storage.store_edges_resolved(edges)}

    def _store_row_values(self, tenant: str, body: Dict[str, Any], query: str) -> Tuple[int, Any]:
        items = _list_field(body, "row_values")
        _record_list(items, "row_values", 8)
        values = [
            StoredRowValue(pid, row, fp, op, value, column, tenant, text)
            for pid, row, fp, op, value, column, _claimed, text in items
        ]
        for k, v in enumerate(values):
            if isinstance(v.value, (bool, str)):
                raise _HTTPError(400, f"'row_values'[{k}] value must be a number or null")
            SQLiteStorage.row_value_params(v)
        self._owned(tenant, {v.pipeline_id for v in values})
        self.storage.store_row_values(values)
        return 200, {"stored": len(values)}

    def _store_results(self, tenant: str, body: Dict[str, Any], query: str, pid: int) -> Tuple[int, Any]:
        items = _list_field(body, "rows")
        _record_list(items, "rows", 5)
        for k, row in enumerate(items):
            if isinstance(row[3], (bool, str)):
                raise _HTTPError(400, f"'rows'[{k}] value must be a number or null")
            SQLiteStorage.result_params(pid, row, k)
        self._owned(tenant, [pid])
        self.storage.store_results(pid, [tuple(r) for r in items])
        return 200, {"stored": len(items)}

    def _graph(self, tenant: str, body: Any, query: str, pid: int) -> Tuple[int, Any]:
        values = parse_qs(query).get("fingerprint")
        if not values:
            raise _HTTPError(400, "query parameter 'fingerprint' is required")
        try:
            fingerprint = int(values[0])
        except ValueError:
            raise _HTTPError(400, "query parameter 'fingerprint' must be an integer") from None
        self._owned(tenant, [pid])
        try:
            return 200, self.storage.pipeline_graph(pid, fingerprint)
        except KeyError:
            raise _HTTPError(404, f"pipeline {pid} has no node with fingerprint {fingerprint}") from None

    def _dashboard_sync(self, tenant: str, body: Dict[str, Any], query: str) -> Tuple[int, Any]:
        return 202, {"sync_id": self.storage.store_dashboard_sync(body, tenant_id=tenant)}


_ID = r"/(\d{1,18})"
_ROUTES: List[Tuple[str, "re.Pattern[str]", Callable[..., Tuple[int, Any]]]] = [
    ("GET", re.compile(r"/v1/health"), LineageService._health),
    ("GET", re.compile(r"/v1/whoami"), LineageService._whoami),
    ("POST", re.compile(r"/v1/pipelines"), LineageService._create_pipeline),
    ("GET", re.compile(r"/v1/pipelines"), LineageService._list_pipelines),
    ("GET", re.compile(r"/v1/pipelines" + _ID), LineageService._get_pipeline),
    ("POST", re.compile(r"/v1/pipelines" + _ID + r"/complete"), LineageService._complete),
    ("POST", re.compile(r"/v1/sources"), LineageService._register_source),
    ("POST", re.compile(r"/v1/nodes"), LineageService._store_nodes),
    ("GET", re.compile(r"/v1/pipelines" + _ID + r"/node-map"), LineageService._node_map),
    ("POST", re.compile(r"/v1/pipelines" + _ID + r"/node-ids"), LineageService._node_ids),
    ("POST", re.compile(r"/v1/edges"), LineageService._store_edges),
    ("POST", re.compile(r"/v1/row-values"), LineageService._store_row_values),
    ("POST", re.compile(r"/v1/pipelines" + _ID + r"/results"), LineageService._store_results),
    ("GET", re.compile(r"/v1/pipelines" + _ID + r"/graph"), LineageService._graph),
    ("POST", re.compile(r"/v1/dashboard/sync"), LineageService._dashboard_sync),
]


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "morvel-lineage/1"
    service: LineageService

    def setup(self) -> None:
        super().setup()
        # Replies are written as headers then body; without TCP_NODELAY the
        # second write waits for the client's delayed ACK (~40 ms a request).
        try:
            self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - signature of the base class
        logger.debug("%s %s", self.address_string(), format % args)

    def _send(self, status: int, payload: Any = None, raw: Optional[bytes] = None) -> None:
        data = raw if raw is not None else json.dumps(payload, separators=(",", ":")).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":  # a reply to HEAD has no body
            self.wfile.write(data)

    def send_error(self, code: int, message: Optional[str] = None, explain: Optional[str] = None) -> None:
        """Errors that http.server finds itself (malformed request line,
        over-long URI or headers, unknown method) answer in JSON as well, and
        close the connection."""
        if message is None:
            message = self.responses.get(code, ("error",))[0]
        self.log_error("code %d, message %s", code, message)
        self.close_connection = True
        self._send(code, {"error": message})

    def _error(self, status: int, message: str) -> None:
        self._send(status, {"error": message})

    def _read_body(self) -> Optional[bytes]:
        """The request body, or None after answering an error (the
        connection is then closed, since the body was not read)."""
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            self.close_connection = True
            self._error(411, "chunked bodies are not accepted; send Content-Length")
            return None
        length_text = self.headers.get("Content-Length")
        if length_text is None:
            return b""
        try:
            length = int(length_text)
            if length < 0:
                raise ValueError
        except ValueError:
            self.close_connection = True
            self._error(400, "invalid Content-Length")
            return None
        if length > self.service.max_body:
            self.close_connection = True
            self._error(413, f"request body over {self.service.max_body} bytes")
            return None
        data = self.rfile.read(length)
        if len(data) != length:
            self.close_connection = True
            return None
        return data

    def _refuse_unauthorised(self) -> None:
        """Answer 401.  A small body is read and dropped so that the
        connection stays usable; a larger one is not read at all (the
        connection is closed): a client without a valid key must not make
        the service buffer large bodies."""
        length_text = self.headers.get("Content-Length")
        try:
            length = int(length_text) if length_text is not None else 0
        except ValueError:
            length = -1
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower() or not 0 <= length <= _UNAUTHORISED_BODY:
            self.close_connection = True
        elif length and len(self.rfile.read(length)) != length:
            self.close_connection = True
            return
        self._error(401, "missing or invalid API key")

    def _dispatch(self, method: str) -> None:
        try:
            url = urlsplit(self.path)
            path = url.path.rstrip("/") or "/"
            tenant = self.service.tenant_for(self.headers.get("Authorization"))
            if tenant is None:
                self._refuse_unauthorised()
                return
            if method != "POST" and (
                self.headers.get("Content-Length", "0").strip() not in ("", "0")
                or "Transfer-Encoding" in self.headers
            ):
                self.close_connection = True  # an unread body would be read as the next request
            raw = self._read_body() if method == "POST" else b""
            if raw is None:
                return
            key = self.headers.get("Idempotency-Key") if method == "POST" else None
            if key is not None and len(key) > _MAX_IDEMPOTENCY_KEY:
                # remembered keys are kept in memory: bound their size
                raise _HTTPError(400, f"Idempotency-Key longer than {_MAX_IDEMPOTENCY_KEY} characters")
            earlier = self.service.remembered(tenant, key)
            if earlier is not None:
                self._send(earlier[0], raw=earlier[1])
                return
            try:
                body: Any = None
                if method == "POST":
                    try:
                        body = json.loads(raw) if raw else None
                    except (ValueError, RecursionError) as exc:
                        raise _HTTPError(400, f"malformed JSON: {exc}") from None
                status, reply = self.service.handle(method, path, url.query, tenant, body)
                data = json.dumps(reply, separators=(",", ":")).encode("utf-8")
                if status < 300:
                    self.service.remember(tenant, key, (status, data))
            finally:
                self.service.release(tenant, key)
            self._send(status, raw=data)
        except _HTTPError as exc:
            self._error(exc.status, str(exc))
        except StorageError as exc:
            status = exc.status if exc.status and 400 <= exc.status < 500 else 400
            self._error(status, str(exc))
        except (UnicodeError, OverflowError, RecursionError, ValueError) as exc:
            self._error(400, f"invalid value: {exc}")
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception:
            logger.exception("lineage service: unexpected error on %s %s", method, self.path)
            self.close_connection = True
            try:
                self._error(500, "internal error")
            except OSError:
                pass

    def do_GET(self) -> None:  # noqa: N802 - name given by BaseHTTPRequestHandler
        self._dispatch("GET")

    def do_POST(self) -> None:  # noqa: N802
        self._dispatch("POST")

    def _not_allowed(self) -> None:
        self.close_connection = True
        self._error(405, f"method {self.command} not allowed")

    do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _not_allowed


def _port(text: str) -> int:
    port = int(text)
    if not 0 <= port <= 65535:
        raise ValueError(text)
    return port


_port.__name__ = "port (0-65535)"  # named in argparse's error message


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(text)
    return value


_positive.__name__ = "positive integer"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the lineage service from the command line; returns the exit status."""
    parser = argparse.ArgumentParser(
        prog="python -m morvel.utilities.persistence._legacy_service",
        description="Serve a morvel lineage store over HTTP/JSON.",
    )
    parser.add_argument("--db", required=True, help="SQLite database file (created if missing)")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"port (default {DEFAULT_PORT}; 0 picks one)")
    parser.add_argument(
        "--api-key",
        action="append",
        required=True,
        metavar="KEY[:TENANT]",
        help="accepted API key, optionally with its tenant (default tenant 'default'); repeatable",
    )
    parser.add_argument("--max-body-bytes", type=_positive, default=DEFAULT_MAX_BODY, help="largest request body accepted")
    args = parser.parse_args(argv)
    try:
        keys = parse_api_keys(args.api_key)
    except ValueError as exc:
        parser.error(str(exc))
    storage = SQLiteStorage(args.db)
    try:
        storage.connect()
    except (OSError, sqlite3.Error) as exc:
        print(f"cannot open database {args.db}: {exc}", file=sys.stderr)
        return 1
    try:
        service = LineageService(storage, keys, host=args.host, port=args.port, max_body=args.max_body_bytes)
    except OSError as exc:
        storage.disconnect()
        print(f"cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    print(f"morvel lineage service listening on {service.url} (database {args.db})", flush=True)
    try:
        service.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        storage.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main())
