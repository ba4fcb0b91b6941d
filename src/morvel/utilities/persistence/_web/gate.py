"""The ASGI layer in front of the lineage API: checks that must happen
before a request body is read, body limits and ``Idempotency-Key`` replay.

It is plain ASGI (no framework import) so that it can sit in front of any
application.  For ``/v1`` paths it

* refuses a request without a valid bearer key with 401 before its body is
  read (a small body is read and dropped so that the connection stays
  usable; a larger or chunked one is not read and the connection closed);
* refuses chunked bodies (411), a bad ``Content-Length`` (400), a body over
  the limit (413) and a declared non-JSON content type (415), except
  ``application/octet-stream`` on the paths ``binary_paths`` matches;
* puts the key's tenant into ``scope["state"]["tenant"]`` for the routes;
* answers a repeated ``Idempotency-Key`` (per tenant) with the first reply,
  and makes a retry that arrives while its first try still runs wait for it
  (429 after ``wait_timeout`` seconds).

For every path it answers requests with too many headers (431) or an over-long
target (414), and unknown methods (501), in JSON.
"""
from __future__ import annotations

import hmac
import json
import threading
import time
from collections import OrderedDict
from typing import Any, Awaitable, Callable, Dict, List, Mapping, Optional, Tuple, Union

import anyio.to_thread

Scope = Dict[str, Any]
Message = Dict[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

#: Largest body read (and dropped) from a request without a valid key.
UNAUTHORISED_BODY = 64 * 1024
MAX_IDEMPOTENCY_KEY = 200
MAX_HEADERS = 100
MAX_TARGET = 65536
_IDEMPOTENCY_MEMORY = 4096
_MAX_REMEMBERED = 4096
#: Methods the API answers with 405; any other unknown token gets 501.
_KNOWN_METHODS = frozenset({"GET", "POST", "PUT", "DELETE", "PATCH", "HEAD", "OPTIONS", "CONNECT", "TRACE"})

Reply = Tuple[int, bytes]


class ApiKeys:
    """The accepted keys and their tenants; lookups take the same time
    whichever key matches."""

    def __init__(self, keys: Mapping[str, str]) -> None:
        self._keys = [(k.encode("utf-8"), t) for k, t in keys.items()]

    def tenant_for_key(self, given: str) -> Optional[str]:
        """The tenant of an API key, or None."""
        raw = given.encode("utf-8", "replace")
        tenant = None
        for key, owner in self._keys:
            # compare against every key so the time taken says nothing
            if hmac.compare_digest(raw, key):
                tenant = owner
        return tenant

    def tenant_for(self, header: Optional[str]) -> Optional[str]:
        """The tenant of the bearer token in an Authorization header, or None."""
        # the scheme name is case-insensitive in HTTP ("bearer" = "Bearer")
        if not header or header[:7].lower() != "bearer ":
            return None
        return self.tenant_for_key(header[7:].strip())


class IdempotencyStore:
    """Replies remembered per (tenant, Idempotency-Key), oldest dropped first.

    :meth:`remembered` either returns the remembered reply or claims the key
    for the caller, who must :meth:`release` it after answering.
    """

    def __init__(self, memory: int = _IDEMPOTENCY_MEMORY) -> None:
        self.memory = int(memory)
        self._replies: "OrderedDict[Tuple[str, str], Reply]" = OrderedDict()
        self._lock = threading.Lock()
        self._in_flight: Dict[Tuple[str, str], threading.Event] = {}

    def remembered(self, tenant: str, key: Optional[str]) -> Union[None, Reply, threading.Event]:
        """The reply remembered for ``key``, or None after claiming it, or,
        while a request with the same key is still being answered (the
        client timed out and retried), an event set when that one ends: wait
        for it and ask again.  Never blocks, so the event loop may call it."""
        if not key:
            return None
        slot = (tenant, key)
        with self._lock:
            reply = self._replies.get(slot)
            if reply is not None:
                return reply
            busy = self._in_flight.get(slot)
            if busy is None:
                self._in_flight[slot] = threading.Event()
                return None
            return busy

    def release(self, tenant: str, key: Optional[str]) -> None:
        """End the claim :meth:`remembered` gave; waiting requests go on."""
        if not key:
            return
        with self._lock:
            busy = self._in_flight.pop((tenant, key), None)
        if busy is not None:
            busy.set()

    def remember(self, tenant: str, key: Optional[str], reply: Reply) -> None:
        """Keep a successful reply.  Write calls answer with a few bytes;
        large answers come from lookups, which are safe to repeat."""
        if not key or len(reply[1]) > _MAX_REMEMBERED:
            return
        with self._lock:
            self._replies[(tenant, key)] = reply
            while len(self._replies) > self.memory:
                self._replies.popitem(last=False)


def _header(scope: Scope, name: bytes) -> Optional[str]:
    for k, v in scope["headers"]:
        if k.lower() == name:
            return v.decode("latin-1")
    return None


def is_json_type(content_type: Optional[str]) -> bool:
    """True for a missing content type and for ``application/json`` or any
    ``application/*+json`` type (parameters such as ``charset`` ignored)."""
    if content_type is None or not content_type.strip():
        return True
    main = content_type.split(";", 1)[0].strip().lower()
    return main == "application/json" or (main.startswith("application/") and main.endswith("+json"))


async def send_json(send: Send, status: int, payload: Any, close: bool = False, raw: Optional[bytes] = None) -> None:
    """Send a complete JSON response."""
    data = raw if raw is not None else json.dumps(payload, separators=(",", ":")).encode("utf-8")
    headers: List[Tuple[bytes, bytes]] = [
        (b"Content-Type", b"application/json"),
        (b"Content-Length", str(len(data)).encode()),
    ]
    if close:
        headers.append((b"Connection", b"close"))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": data})


async def _read_body(receive: Receive, limit: int) -> Optional[bytes]:
    """The whole body, or None when the client went away or sent more than
    ``limit`` bytes."""
    parts: List[bytes] = []
    size = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            return None
        chunk = message.get("body", b"")
        size += len(chunk)
        if size > limit:
            return None
        parts.append(chunk)
        if not message.get("more_body", False):
            return b"".join(parts)


def _replay(body: bytes) -> Receive:
    """A ``receive`` that hands over an already read body once."""
    sent = False

    async def receive() -> Message:
        nonlocal sent
        if not sent:
            sent = True
            return {"type": "http.request", "body": body, "more_body": False}
        # after the body, wait as a server does until the client goes away
        await anyio.sleep_forever()
        return {"type": "http.disconnect"}  # pragma: no cover - never reached

    return receive


class ApiGate:
    """ASGI middleware: see the module docstring.

    ``replies`` is any object with the :class:`IdempotencyStore` methods;
    they are looked up on it at call time (so an embedding service object
    can stand in for the store).  ``api_prefix`` names the paths that need
    a key.
    """

    def __init__(
        self,
        app: ASGIApp,
        keys: ApiKeys,
        replies: Any,
        max_body: int,
        api_prefix: str = "/v1",
        form_max_body: int = 64 * 1024,
        wait_timeout: float = 60.0,
        binary_paths: Optional[Any] = None,
    ) -> None:
        self.app = app
        # a compiled pattern of the paths that take application/octet-stream
        self.binary_paths = binary_paths
        self.wait_timeout = float(wait_timeout)
        self.keys = keys
        self.replies = replies
        self.max_body = int(max_body)
        self.api_prefix = api_prefix
        self.form_max_body = int(form_max_body)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        if len(scope["headers"]) > MAX_HEADERS:
            await send_json(send, 431, {"error": "Too many headers"}, close=True)
            return
        method = scope["method"]
        if method not in _KNOWN_METHODS:
            await send_json(send, 501, {"error": f"Unsupported method ({method!r})"}, close=True)
            return
        if len(scope.get("raw_path") or b"") + len(scope.get("query_string") or b"") > MAX_TARGET:
            await send_json(send, 414, {"error": "Request-URI Too Long"}, close=True)
            return
        path = scope["path"]
        if path == self.api_prefix or path.startswith(self.api_prefix + "/"):
            await self._api(scope, receive, send)
        else:
            await self._page(scope, receive, send)

    async def _page(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Pages and documentation: no key needed; form bodies are small."""
        if scope["method"] == "POST":
            length = _header(scope, b"content-length")
            if _header(scope, b"transfer-encoding") is not None or length is None:
                await send_json(send, 411, {"error": "send the form with a Content-Length"}, close=True)
                return
            if not length.strip().isdigit():
                await send_json(send, 400, {"error": "invalid Content-Length"}, close=True)
                return
            if int(length) > self.form_max_body:
                await send_json(send, 413, {"error": f"form over {self.form_max_body} bytes"}, close=True)
                return
        await self.app(scope, receive, send)

    async def _api(self, scope: Scope, receive: Receive, send: Send) -> None:
        method = scope["method"]
        if method not in ("GET", "POST"):
            await send_json(send, 405, {"error": f"method {method} not allowed"}, close=True)
            return
        tenant = self.keys.tenant_for(_header(scope, b"authorization"))
        length_text = _header(scope, b"content-length")
        chunked = "chunked" in (_header(scope, b"transfer-encoding") or "").lower()
        if tenant is None:
            await self._refuse_unauthorised(receive, send, length_text, chunked)
            return
        # an unread body of a GET would be read as the next request: close
        close = method != "POST" and (
            (length_text or "").strip() not in ("", "0") or _header(scope, b"transfer-encoding") is not None
        )
        body = b""
        if method == "POST":
            if chunked:
                await send_json(send, 411, {"error": "chunked bodies are not accepted; send Content-Length"}, True)
                return
            length = 0
            if length_text is not None:
                try:
                    length = int(length_text)
                    if length < 0:
                        raise ValueError(length_text)
                except ValueError:
                    await send_json(send, 400, {"error": "invalid Content-Length"}, close=True)
                    return
            if length > self.max_body:
                await send_json(send, 413, {"error": f"request body over {self.max_body} bytes"}, close=True)
                return
            if length and not is_json_type(_header(scope, b"content-type")) and not self._binary(scope):
                await send_json(
                    send, 415, {"error": "the request body must be JSON (Content-Type: application/json)"}, True
                )
                return
            if _header(scope, b"content-type") is None:
                # a body without a declared type is read as JSON
                scope["headers"] = list(scope["headers"]) + [(b"content-type", b"application/json")]
            read = await _read_body(receive, length) if length else b""
            if read is None or len(read) != length:
                return  # the client went away or sent less than it announced
            body = read
        scope.setdefault("state", {})["tenant"] = tenant
        key = _header(scope, b"idempotency-key") if method == "POST" else None
        if key is not None and len(key) > MAX_IDEMPOTENCY_KEY:
            # remembered keys are kept in memory: bound their size
            await send_json(send, 400, {"error": f"Idempotency-Key longer than {MAX_IDEMPOTENCY_KEY} characters"})
            return
        if not key:
            await self.app(scope, _replay(body), _closing(send) if close else send)
            return
        deadline = time.monotonic() + self.wait_timeout
        while True:
            earlier = self.replies.remembered(tenant, key)
            if not isinstance(earlier, threading.Event):
                break
            # the first request with this key is still being answered: wait
            # for it (off the event loop), then look again
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not await anyio.to_thread.run_sync(earlier.wait, remaining):
                await send_json(
                    send, 429, {"error": "a request with this Idempotency-Key is still being processed; retry later"}
                )
                return
        if earlier is not None:
            await send_json(send, earlier[0], None, raw=earlier[1])
            return
        try:
            captured = _Captured()
            await self.app(scope, _replay(body), captured)
            if captured.status is not None and captured.status < 300:
                self.replies.remember(tenant, key, (captured.status, captured.body()))
        finally:
            self.replies.release(tenant, key)
        await captured.forward(send)

    def _binary(self, scope: Scope) -> bool:
        """True for a binary body sent to a path that takes one."""
        kind = (_header(scope, b"content-type") or "").split(";", 1)[0].strip().lower()
        return (kind == "application/octet-stream" and self.binary_paths is not None
                and self.binary_paths.match(scope["path"]) is not None)

    async def _refuse_unauthorised(
        self, receive: Receive, send: Send, length_text: Optional[str], chunked: bool
    ) -> None:
        """Answer 401; a client without a valid key must not make the
        service buffer large bodies."""
        try:
            length = int(length_text) if length_text is not None else 0
        except ValueError:
            length = -1
        close = chunked or not 0 <= length <= UNAUTHORISED_BODY
        if not close and length:
            read = await _read_body(receive, length)
            if read is None or len(read) != length:
                return
        await send_json(send, 401, {"error": "missing or invalid API key"}, close=close)


def _closing(send: Send) -> Send:
    """``send`` that marks the response as the connection's last."""

    async def wrapped(message: Message) -> None:
        if message["type"] == "http.response.start":
            headers = [(k, v) for k, v in message.get("headers", []) if k.lower() != b"connection"]
            message = dict(message, headers=headers + [(b"Connection", b"close")])
        await send(message)

    return wrapped


class _Captured:
    """An ASGI ``send`` that keeps the response to forward it later."""

    def __init__(self) -> None:
        self.status: Optional[int] = None
        self.start: Optional[Message] = None
        self.parts: List[bytes] = []

    async def __call__(self, message: Message) -> None:
        if message["type"] == "http.response.start":
            self.start = message
            self.status = int(message["status"])
        elif message["type"] == "http.response.body":
            self.parts.append(message.get("body", b""))

    def body(self) -> bytes:
        return b"".join(self.parts)

    async def forward(self, send: Send) -> None:
        if self.start is None:
            return
        await send(self.start)
        await send({"type": "http.response.body", "body": self.body()})
