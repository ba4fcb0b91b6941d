"""Client of the lineage service: the storage backend interface over HTTP/JSON.

Every call is one HTTP request with a bearer token, a JSON body and a
time-out, on a kept-alive connection.  Connection failures and 5xx answers
are retried with exponential back-off; 4xx answers raise
:class:`HostedStorageError` at once with the service's status and message.
Each request carries an ``Idempotency-Key`` header, the same on every retry,
so that a request whose answer was lost is not applied twice.  A caller that
retries a call itself (the background writer does, after this client gave
up) wraps all its tries in :meth:`HostedStorage.idempotency_scope`, so that
every try sends the same request under the same key.

Bodies are standard JSON: a NaN value is sent as ``null`` (the store keeps
NaN values as NULL anyway), and an infinite value as the number ``1e999`` /
``-1e999``, which JSON readers take as infinity.

Importing this module opens no connection; :meth:`HostedStorage.connect`
checks the address and the key.
"""
from __future__ import annotations

import hashlib
import http.client
import json
import math
import operator
import threading
import time
import uuid
from contextlib import contextmanager
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence
from urllib.parse import quote, urlsplit

from .._argcheck import check_exact
from .storage import (
    ResolvedEdge,
    ResultRow,
    StorageError,
    StoredNode,
    StoredRowValue,
    metadata_to_json,
)

__all__ = ["HostedStorage", "HostedStorageError"]


class HostedStorageError(StorageError):
    """A lineage service call that failed: ``status`` is the HTTP status
    (None when the service could not be reached), ``retryable`` tells
    whether the same call may succeed later."""


# JSON has no NaN or infinity.  NaN goes as null; an infinity is written as
# a number too large for a double, which JSON readers (Python's among them)
# read back as infinity.  While a body is built, infinities stand in it as
# this marker text (random, so no caller's text can collide with it) and are
# swapped for the number in the finished JSON.
_INF_TAG = "morvel-infinity-" + uuid.uuid4().hex
_INF_MARK = "\x00" + _INF_TAG
_INF_JSON = {
    json.dumps(_INF_MARK + "+"): "1e999",
    json.dumps(_INF_MARK + "-"): "-1e999",
}


def _finite(value: float) -> Any:
    """A float as JSON can carry it: itself, None for NaN, the marker for
    an infinity."""
    if math.isfinite(value):
        return value
    if math.isnan(value):
        return None
    return _INF_MARK + ("+" if value > 0 else "-")


def _float_or_none(value: Any) -> Any:
    return None if value is None else _finite(float(value))


def _json_default(value: Any) -> Any:
    """Numbers of other libraries (numpy integers and floats) as plain ones."""
    if hasattr(type(value), "__index__"):
        return operator.index(value)
    if hasattr(type(value), "__float__") and not isinstance(value, (str, bytes)):
        return _finite(float(value))
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def _standard(value: Any, depth: int = 0) -> Any:
    """A copy of ``value`` with every non-finite float made JSON-safe."""
    if isinstance(value, float):
        return _finite(value)
    if depth > 200:  # deeper than any body we build; json refuses it anyway
        return value
    if isinstance(value, dict):
        return {k: _standard(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_standard(v, depth + 1) for v in value]
    return value


def encode_body(payload: Any) -> bytes:
    """``payload`` as standard JSON (RFC 8259) in UTF-8: numpy numbers as
    plain numbers, NaN as null, infinities as ``1e999`` / ``-1e999``."""
    try:
        text = json.dumps(payload, separators=(",", ":"), default=_json_default, allow_nan=False)
    except ValueError:
        # a NaN or infinity somewhere the record fields did not convert
        text = json.dumps(_standard(payload), separators=(",", ":"), default=_json_default, allow_nan=False)
    if _INF_TAG in text:
        for mark, number in _INF_JSON.items():
            text = text.replace(mark, number)
    return text.encode("utf-8")


def _plain(value: Any) -> Any:
    """``value`` as plain JSON data; what ``json`` cannot write becomes text."""
    if value is None or (type(value) is dict and not value):
        return value
    text = metadata_to_json(value)
    return value if text is None else json.loads(text)


class HostedStorage:
    """Storage backend that sends every call to a lineage service.

    ``api_url`` is the service's base URL ("http://127.0.0.1:8787"),
    ``api_key`` the bearer token; the service decides the tenant from the
    key, ``tenant_id`` names the tenant this client expects to be.
    """

    def __init__(
        self,
        api_url: str,
        api_key: str,
        tenant_id: Optional[str] = "default",
        timeout: float = 10.0,
        max_attempts: int = 3,
        retry_base_delay: float = 0.2,
    ) -> None:
        check_exact(api_url, "api_url", str)
        check_exact(api_key, "api_key", str)
        check_exact(tenant_id, "tenant_id", str, allow_none=True)
        parts = urlsplit(api_url.strip())
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"api_url must be an http:// or https:// URL, got {api_url!r}")
        if not api_key:
            raise ValueError("api_key must not be empty")
        if not all(" " <= c <= "~" for c in api_key):
            # an HTTP header carries printable ASCII only; say so here
            # rather than fail inside the first request
            raise ValueError("api_key must consist of printable ASCII characters")
        self.api_url = api_url
        self.api_key = api_key
        self.tenant_id = tenant_id
        self.timeout = float(timeout)
        self.max_attempts = max(1, int(max_attempts))
        self.retry_base_delay = float(retry_base_delay)
        self._scheme = parts.scheme
        self._host = parts.hostname
        self._port = parts.port
        self._prefix = parts.path.rstrip("/")
        self._conn: Optional[http.client.HTTPConnection] = None
        #: target size of one bulk body of node blocks or values
        self.bulk_body_bytes = 8 * 2**20
        self._lock = threading.Lock()
        self._connected = False
        self._current_pipeline: Optional[int] = None
        self._scope = threading.local()
        #: the tenant the service assigned to the key (known after connect)
        self.service_tenant: Optional[str] = None

    # -- idempotency -----------------------------------------------------------

    @contextmanager
    def idempotency_scope(self, key: Optional[str] = None) -> Iterator[str]:
        """Within the block, requests made by this thread take their
        ``Idempotency-Key`` from ``key`` (a fresh random one when None) and
        the request itself, instead of a new random key per call.

        A caller that repeats a failed call wraps all its tries in one
        scope: the repeated request then carries the key of the first, and
        the service answers it with the first one's reply (waiting for it
        while the first is still being applied) instead of applying it again.
        Different requests in one scope still get different keys.

        >>> h = HostedStorage("http://127.0.0.1:1", "k")
        >>> with h.idempotency_scope("batch-7"):
        ...     a = h._key("POST", "/v1/row-values", b"[1]")
        ...     b = h._key("POST", "/v1/row-values", b"[1]")
        ...     c = h._key("POST", "/v1/row-values", b"[2]")
        >>> a == b != c and a.startswith("batch-7.")
        True
        """
        if key is None:
            key = uuid.uuid4().hex
        check_exact(key, "key", str)
        if not key or len(key) > 100 or not all(" " < c <= "~" for c in key):
            raise ValueError("key must be 1 to 100 printable ASCII characters without spaces")
        outer = getattr(self._scope, "key", None)
        self._scope.key = key
        try:
            yield key
        finally:
            self._scope.key = outer

    def _key(self, method: str, path: str, body: Optional[bytes]) -> str:
        """The Idempotency-Key of one request (the same on every retry)."""
        base = getattr(self._scope, "key", None)
        if base is None:
            return uuid.uuid4().hex
        digest = hashlib.sha256(method.encode("ascii") + b" " + path.encode("utf-8") + b"\n" + (body or b""))
        return f"{base}.{digest.hexdigest()[:32]}"

    # -- transport -----------------------------------------------------------

    def _open(self) -> http.client.HTTPConnection:
        if self._conn is None:
            cls = http.client.HTTPSConnection if self._scheme == "https" else http.client.HTTPConnection
            self._conn = cls(self._host, self._port, timeout=self.timeout)
        return self._conn

    def _drop(self) -> None:
        if self._conn is not None:
            try:
                self._conn.close()
            finally:
                self._conn = None

    def _once(self, method: str, path: str, body: Optional[bytes], key: str,
              content_type: str = "application/json") -> "tuple[int, bytes]":
        headers = {"Authorization": "Bearer " + self.api_key, "Accept": "application/json", "Idempotency-Key": key}
        if body is not None:
            headers["Content-Type"] = content_type
        conn = self._open()
        try:
            conn.request(method, self._prefix + path, body=body, headers=headers)
            resp = conn.getresponse()
            data = resp.read()
        except BaseException:
            self._drop()
            raise
        if resp.getheader("Connection", "").lower() == "close":
            self._drop()
        return resp.status, data

    def _request(self, method: str, path: str, payload: Any = None, raw: Optional[bytes] = None) -> Any:
        body = raw if raw is not None else None if payload is None else encode_body(payload)
        content_type = "application/octet-stream" if raw is not None else "application/json"
        key = self._key(method, path, body)
        last: Optional[HostedStorageError] = None
        with self._lock:
            for attempt in range(self.max_attempts):
                if attempt:
                    time.sleep(self.retry_base_delay * (2 ** (attempt - 1)))
                try:
                    try:
                        status, data = self._once(method, path, body, key, content_type)
                    except (ConnectionResetError, BrokenPipeError, http.client.RemoteDisconnected):
                        # A kept-alive connection the service closed while
                        # idle: open a fresh one straight away.
                        status, data = self._once(method, path, body, key, content_type)
                except (OSError, http.client.HTTPException) as exc:
                    last = HostedStorageError(
                        f"lineage service unreachable at {self.api_url}: {type(exc).__name__}: {exc}",
                        status=None,
                        retryable=True,
                    )
                    continue
                if status < 400:
                    try:
                        return json.loads(data) if data else None
                    except ValueError as exc:
                        raise HostedStorageError(f"lineage service sent invalid JSON: {exc}", status=status) from None
                message = self._message(data)
                error = HostedStorageError(
                    f"lineage service answered {status} to {method} {path}: {message}",
                    status=status,
                    retryable=status >= 500 or status == 429,
                )
                if not error.retryable:
                    raise error
                last = error
        assert last is not None
        raise last

    @staticmethod
    def _message(data: bytes) -> str:
        try:
            doc = json.loads(data)
            if isinstance(doc, dict) and isinstance(doc.get("error"), str):
                return doc["error"]
        except ValueError:
            pass
        return data[:200].decode("utf-8", "replace")

    # -- backend interface ---------------------------------------------------

    def connect(self) -> None:
        """Check that the service answers and accepts the key (raises
        :class:`HostedStorageError` otherwise)."""
        who = self._request("GET", "/v1/whoami")
        self.service_tenant = who.get("tenant_id") if isinstance(who, dict) else None
        self._connected = True

    def disconnect(self) -> None:
        """Close the kept-alive connection; calling it again is harmless."""
        with self._lock:
            self._drop()
        self._connected = False

    def create_pipeline(
        self,
        pipeline_name: str = "unnamed",
        config: Optional[Mapping[str, Any]] = None,
        git_commit: Optional[str] = None,
        tenant_id: Optional[str] = None,
    ) -> int:
        """Open a pipeline run on the service and return its id.  It becomes
        this client's current pipeline (used by :meth:`register_source`)."""
        answer = self._request(
            "POST",
            "/v1/pipelines",
            {
                "pipeline_name": pipeline_name,
                "config": _plain(config),
                "git_commit": git_commit,
                "tenant_id": tenant_id if tenant_id is not None else self.tenant_id,
            },
        )
        pipeline_id = int(answer["pipeline_id"])
        self._current_pipeline = pipeline_id
        return pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        """Close a pipeline run with ``status`` ("completed" or "failed")."""
        self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/complete", {"status": status})

    def register_source(
        self, pair_id: int, table: str, column: str, is_protected: bool = False, *, pipeline_id: Optional[int] = None
    ) -> None:
        """Record a source pair for ``pipeline_id`` or the current pipeline."""
        if pipeline_id is None:
            pipeline_id = self._current_pipeline
        self._request(
            "POST",
            "/v1/sources",
            {
                "pair_id": pair_id,
                "table": table,
                "column": column,
                "is_protected": bool(is_protected),
                "pipeline_id": pipeline_id,
            },
        )

    def store_nodes(self, nodes: Sequence[StoredNode]) -> None:
        """Store nodes (the service keeps one per pipeline and fingerprint)."""
        if not nodes:
            return
        self._request(
            "POST",
            "/v1/nodes",
            {
                "nodes": [
                    {
                        "pipeline_id": n.pipeline_id,
                        "fingerprint": n.fingerprint,
                        "node_type": n.node_type,
                        "operation": n.operation,
                        "table_name": n.table_name,
                        "column_name": n.column_name,
                        "pair_id": n.pair_id,
                        "is_protected": bool(n.is_protected),
                        "entity_hash": n.entity_hash,
                        "chain_hash": n.chain_hash,
                        "metadata": _plain(n.metadata),
                    }
                    for n in nodes
                ]
            },
        )

    @staticmethod
    def _pairs(answer: Any) -> Dict[int, int]:
        return {int(fp): int(node_id) for fp, node_id in answer["nodes"]}

    def get_fingerprint_node_map(self, pipeline_id: int) -> Dict[int, int]:
        """``{fingerprint: node id}`` of every node stored for the pipeline."""
        return self._pairs(self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/node-map"))

    def get_node_ids(self, pipeline_id: int, fingerprints: Iterable[int]) -> Dict[int, int]:
        """``{fingerprint: node id}`` for those of ``fingerprints`` stored."""
        fps = [int(f) for f in fingerprints]
        return self._pairs(self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/node-ids", {"fingerprints": fps}))

    def store_edges_resolved(self, edges: Sequence[ResolvedEdge]) -> int:
        """Store (parent id, child id, position) edges; returns how many were new."""
        if not edges:
            return 0
        answer = self._request("POST", "/v1/edges", {"edges": [list(e) for e in edges]})
        return int(answer.get("stored", 0)) if isinstance(answer, dict) else 0

    def store_row_values(self, values: Sequence[StoredRowValue]) -> None:
        """Append per-row values (the service stamps them with the key's tenant)."""
        if not values:
            return
        self._request(
            "POST",
            "/v1/row-values",
            {
                "row_values": [
                    [
                        v.pipeline_id,
                        v.row_index,
                        v.fingerprint,
                        v.node_operation,
                        _float_or_none(v.value),
                        v.column_name,
                        v.tenant_id,
                        v.text_value,
                    ]
                    for v in values
                ]
            },
        )

    def store_results(self, pipeline_id: int, rows: Sequence[ResultRow]) -> None:
        """Store per-row result fingerprints with their input hashes."""
        self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/results", {"rows": [list(r) for r in rows]})

    # -- reading -------------------------------------------------------------

    def list_pipelines(self) -> List[Dict[str, Any]]:
        """The tenant's pipelines as :meth:`SQLiteStorage.list_pipelines` gives them."""
        return self._request("GET", "/v1/pipelines")["pipelines"]

    def pipeline_graph(self, pipeline_id: int, fingerprint: int) -> Dict[str, Any]:
        """The stored derivation of one fingerprint (see :meth:`SQLiteStorage.pipeline_graph`)."""
        return self._request("GET", f"/v1/pipelines/{int(pipeline_id)}/graph?fingerprint={quote(str(int(fingerprint)))}")

    def sync_dashboard(self, body: Mapping[str, Any]) -> int:
        """Send one dashboard sync body; returns the id the service gave it."""
        return int(self._request("POST", "/v1/dashboard/sync", body)["sync_id"])

    # -- node blocks and output values in bulk -------------------------------

    def open_lineage_store(self, pipeline_id: int, name: str, first_id: int) -> int:
        """Open a saved node store of a running pipeline; returns its id on
        the service."""
        answer = self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/lineage/stores",
                               {"name": name, "first_id": int(first_id)})
        return int(answer["store_id"])

    def _bulk(self, pipeline_id: int, what: str, magic: bytes, store_id: int, items: list) -> int:
        """Send items in bodies of about ``bulk_body_bytes`` each (an item
        larger than that goes alone); returns how many were new."""
        from .. import _lineage_bulk

        new = 0
        batch: list = []
        size = 0

        def send() -> int:
            answer = self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/lineage/{what}",
                                   raw=_lineage_bulk.encode_body(magic, store_id, batch))
            return int(answer.get("stored", 0)) if isinstance(answer, dict) else 0

        for item in items:
            item_size = sum(len(p) for p in item[1])
            if batch and size + item_size > self.bulk_body_bytes:
                new += send()
                batch, size = [], 0
            batch.append(item)
            size += item_size
        if batch:
            new += send()
        return new

    def store_lineage_blocks(self, pipeline_id: int, store_id: int, rows: Sequence[tuple]) -> int:
        """Send node block rows (``lineage_blocks`` layout) of an open store;
        returns how many blocks were new on the service."""
        from .. import _lineage_bulk

        return self._bulk(pipeline_id, "blocks", _lineage_bulk.BLOCKS, store_id, _lineage_bulk.block_items(rows))

    def finish_lineage_store(self, pipeline_id: int, store_id: int, next_id: int, texts: list, attrs: list,
                             sources: list, config: Optional[Mapping[str, Any]] = None) -> None:
        """Close a store once all its blocks are sent: its texts, source
        attributes, source index and node count, and the pipeline's
        configuration when it was opened without one."""
        self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/lineage/stores/{int(store_id)}/finish",
                      {"next_id": int(next_id), "texts": texts, "attrs": attrs, "sources": sources,
                       "config": _plain(config)})

    def store_pipeline_edges(self, pipeline_id: int, edges: Any) -> int:
        """Store the per-word summary's (parent id, child id, position)
        edges between nodes of one pipeline in bulk (an (n, 3) integer
        array); returns how many were new."""
        import numpy as np

        from .. import _lineage_bulk

        arr = np.ascontiguousarray(np.asarray(edges, dtype="<i8").reshape(-1, 3))
        new = 0
        per_body = max(1, self.bulk_body_bytes // 24)
        for start in range(0, len(arr), per_body):
            body = _lineage_bulk.encode_body(_lineage_bulk.EDGES, 0, [([], [arr[start:start + per_body].tobytes()])])
            answer = self._request("POST", f"/v1/pipelines/{int(pipeline_id)}/lineage/edges", raw=body)
            new += int(answer.get("stored", 0)) if isinstance(answer, dict) else 0
        return new

    def store_lineage_values(self, pipeline_id: int, store_id: int, rows: Sequence[tuple]) -> int:
        """Send output value chunks (``lineage_values`` layout) of a store."""
        from .. import _lineage_bulk

        return self._bulk(pipeline_id, "values", _lineage_bulk.VALUES, store_id, _lineage_bulk.value_items(rows))
