"""The lineage service: an HTTP/JSON API and a web dashboard over
:class:`SQLiteStorage`, served by uvicorn.

Run it with::

    python -m morvel.utilities.persistence.service --db lineage.db --port 8787 --api-key KEY[:TENANT]

or ``morvel serve``.  It needs the ``service`` extra
(``pip install "morvel[service]"``: FastAPI, uvicorn, Jinja2).  It listens on
127.0.0.1 unless ``--host`` says otherwise.  Every API call, ``GET
/v1/health`` included, needs ``Authorization: Bearer KEY``; each key belongs
to one tenant (``KEY:TENANT``, or the tenant "default"), and a tenant sees
and changes only its own pipelines: the tenant always comes from the key,
never from a request body.  Pipelines written to the database file directly
(``morvel demo``, ``persist_to_storage``) have no tenant and belong to
"default".

The endpoints, their bodies and replies are described at ``/docs`` and
``/openapi.json`` of a running service.  In short (JSON bodies; errors are
``{"error": text}`` with a 4xx status):

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
POST   /v1/edges                              ``{"edges": [[parent_id, child_id, position], ...], "pipeline_id"}``
                                              -> ``{"stored"}``
POST   /v1/row-values                         ``{"row_values": [[pipeline_id, row_index, fingerprint,
                                              node_operation, value, column_name, tenant_id, text_value]]}``
POST   /v1/pipelines/{id}/results             ``{"rows": [[row_key, output, fingerprint, value, input_hash]]}``
GET    /v1/pipelines/{id}/graph?fingerprint=N ``SQLiteStorage.pipeline_graph``
POST   /v1/dashboard/sync                     any JSON object -> 202 ``{"sync_id"}``
POST   /v1/pipelines/{id}/lineage/stores      ``{"name", "first_id"}`` -> 201 ``{"store_id"}``
POST   /v1/pipelines/{id}/lineage/blocks      binary node blocks (``application/octet-stream``) -> ``{"stored"}``
POST   /v1/pipelines/{id}/lineage/values      binary output values -> ``{"stored"}``
POST   /v1/pipelines/{id}/lineage/stores/     ``{"next_id", "texts", "attrs", "sources", "config"}``
       {store}/finish
====== ====================================== =======================================================

Writes to a pipeline that is completed or failed get 409 (result rows may
still be added to a completed one); POST bodies with a declared non-JSON
content type get 415, except the binary bodies of node blocks and values
(``morvel.utilities._lineage_bulk`` describes them: checksummed, checked
whole before anything is written, a block or chunk sent again must be the
same or gets 409).  POST requests may carry an ``Idempotency-Key``
header: a repeated key (per tenant) gets the first answer again without
being applied twice.

The dashboard at ``/`` signs in with an API key and shows the tenant's
pipelines, each pipeline's column risk report and latest dashboard sync,
and the lineage graph of one stored value.
"""
from __future__ import annotations

import argparse
import logging
import socket
import sqlite3
import sys
import threading
import time
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

from .storage import SQLiteStorage

logger = logging.getLogger(__name__)

__all__ = [
    "LineageService",
    "ServiceUnavailable",
    "create_app",
    "parse_api_keys",
    "open_service",
    "main",
    "DEFAULT_PORT",
    "DEFAULT_MAX_BODY",
    "DEFAULT_TENANT",
    "INSTALL_HINT",
]

DEFAULT_PORT = 8787
DEFAULT_MAX_BODY = 16 * 1024 * 1024
DEFAULT_TENANT = "default"
INSTALL_HINT = 'the lineage service needs FastAPI, uvicorn and Jinja2: pip install "morvel[service]"'


class ServiceUnavailable(ImportError):
    """The ``service`` extra is not installed."""


def _web() -> Tuple[Any, Any]:
    """The application module and uvicorn, or :class:`ServiceUnavailable`
    saying how to install them."""
    try:
        import uvicorn

        from ._web import app
    except ImportError as exc:
        raise ServiceUnavailable(f"{INSTALL_HINT} ({exc})") from exc
    return app, uvicorn


def parse_api_keys(entries: Sequence[str]) -> Dict[str, str]:
    """``{key: tenant}`` from ``KEY`` or ``KEY:TENANT`` texts (the last
    colon separates the tenant).  Raises ``ValueError`` for an empty key or
    tenant, or a key given for two tenants.

    >>> parse_api_keys(["k1", "k2:acme"])
    {'k1': 'default', 'k2': 'acme'}
    """
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


def create_app(storage: SQLiteStorage, api_keys: Mapping[str, str], **options: Any) -> Any:
    """The service's FastAPI application over a connected ``storage``
    (options: see ``morvel.utilities.persistence._web.app.create_app``)."""
    app_module, _ = _web()
    return app_module.create_app(storage, api_keys, **options)


def _listening_socket(host: str, port: int) -> socket.socket:
    """A listening socket on ``host``:``port`` (raises ``OSError``)."""
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        # listening from here on: connections wait in the backlog until the
        # server accepts them, so the address can be announced at once
        sock.listen(2048)
        sock.set_inheritable(True)
    except OSError:
        sock.close()
        raise
    return sock


class LineageService:
    """The lineage service over one :class:`SQLiteStorage`, served by
    uvicorn.

    ``api_keys`` maps each accepted key to its tenant.  The port is bound
    at construction (``OSError`` when it cannot be); :meth:`start` serves
    on a background thread (tests, embedding), :meth:`serve_forever` on the
    calling one (the command line).  ``port=0`` picks a free port; the bound
    one is in :attr:`port`.  Further keyword options go to the application
    (see :func:`create_app`).
    """

    def __init__(
        self,
        storage: SQLiteStorage,
        api_keys: Mapping[str, str],
        host: str = "127.0.0.1",
        port: int = DEFAULT_PORT,
        max_body: int = DEFAULT_MAX_BODY,
        request_timeout: float = 60.0,
        **app_options: Any,
    ) -> None:
        if not api_keys:
            raise ValueError("at least one API key is required")
        app_module, self._uvicorn = _web()
        from ._web.gate import IdempotencyStore

        self.storage = storage
        self.max_body = int(max_body)
        self.request_timeout = float(request_timeout)
        self._replies = IdempotencyStore()
        self.app = app_module.create_app(
            storage, api_keys, max_body=self.max_body, replies=self, request_timeout=self.request_timeout,
            **app_options,
        )
        self._sock: Optional[socket.socket] = _listening_socket(host, int(port))
        self.host, self.port = self._sock.getsockname()[:2]
        self._server: Any = None
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        """Base URL of the running service."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}"

    # -- Idempotency-Key replies (looked up on this object by the gate) -------

    def remembered(self, tenant: str, key: Optional[str]) -> Any:
        """The reply remembered for an Idempotency-Key, None after claiming
        the key, or an event to wait for while the key is in use (see
        ``IdempotencyStore.remembered``)."""
        return self._replies.remembered(tenant, key)

    def release(self, tenant: str, key: Optional[str]) -> None:
        """End the claim :meth:`remembered` gave on a key."""
        self._replies.release(tenant, key)

    def remember(self, tenant: str, key: Optional[str], reply: Tuple[int, bytes]) -> None:
        """Keep a successful reply for its key."""
        self._replies.remember(tenant, key, reply)

    # -- serving -------------------------------------------------------------

    def _make_server(self) -> Any:
        from ._web.server import JsonErrorsH11Protocol

        config = self._uvicorn.Config(
            self.app,
            http=JsonErrorsH11Protocol,
            log_level="warning",
            access_log=False,
            lifespan="off",
            timeout_keep_alive=int(self.request_timeout),
            timeout_graceful_shutdown=5,
            h11_max_incomplete_event_size=128 * 1024,
        )
        return self._uvicorn.Server(config)

    def start(self) -> "LineageService":
        """Serve on a background thread; returns self once it answers."""
        if self._sock is None:
            raise RuntimeError("this service was stopped; make a new one")
        self._server = self._make_server()
        sock = self._sock
        self._thread = threading.Thread(
            target=self._server.run, kwargs={"sockets": [sock]}, name="morvel-lineage-service", daemon=True
        )
        self._thread.start()
        deadline = time.monotonic() + 30
        while not self._server.started:
            if not self._thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("the lineage service did not start")
            time.sleep(0.01)
        return self

    def serve_forever(self) -> None:
        """Serve on the calling thread until Ctrl-C or SIGTERM."""
        if self._sock is None:
            raise RuntimeError("this service was stopped; make a new one")
        self._server = self._make_server()
        try:
            self._server.run(sockets=[self._sock])
        finally:
            self._close_socket()

    def stop(self) -> None:
        """Stop serving, drop open connections and free the port."""
        if self._server is not None:
            self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(timeout=30)
            self._thread = None
        self._close_socket()

    def _close_socket(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self) -> "LineageService":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()


class StartError(Exception):
    """The service could not be started (message for the user)."""


def open_service(db: str, keys: Mapping[str, str], host: str = "127.0.0.1", port: int = DEFAULT_PORT,
                 max_body: int = DEFAULT_MAX_BODY) -> LineageService:
    """A service over the SQLite file ``db``, bound but not yet serving.

    Raises :class:`ServiceUnavailable` without the ``service`` extra and
    :class:`StartError` when the database cannot be opened or the address
    not bound."""
    _web()
    storage = SQLiteStorage(db)
    try:
        storage.connect()
    except (OSError, sqlite3.Error) as exc:
        raise StartError(f"cannot open database {db}: {exc}") from None
    try:
        return LineageService(storage, keys, host=host, port=port, max_body=max_body)
    except OSError as exc:
        storage.disconnect()
        reason = exc.strerror or str(exc)
        raise StartError(f"cannot listen on {host}:{port}: {reason}") from None


def run(service: LineageService, db: str) -> None:
    """Announce the address, serve until interrupted, close the database."""
    print(f"morvel lineage service listening on {service.url} (database {db}); "
          f"dashboard {service.url}/ and API reference {service.url}/docs", flush=True)
    try:
        service.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        service.storage.disconnect()


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
        prog="python -m morvel.utilities.persistence.service",
        description="Serve a morvel lineage store over HTTP/JSON with a web dashboard.",
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
    try:
        service = open_service(args.db, keys, host=args.host, port=args.port, max_body=args.max_body_bytes)
    except (StartError, ServiceUnavailable) as exc:
        print(str(exc), file=sys.stderr)
        return 1
    run(service, args.db)
    return 0


if __name__ == "__main__":
    sys.exit(main())
