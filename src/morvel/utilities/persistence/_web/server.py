"""uvicorn's HTTP/1.1 protocol with errors of the protocol layer (a request
that cannot be parsed) answered in JSON like every other error."""
from __future__ import annotations

import json

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol


class JsonErrorsH11Protocol(H11Protocol):
    """h11 keeps header names as the application writes them and lets any
    method token through to the application (which answers 501 for unknown
    ones); requests h11 cannot parse get a JSON 400 and the connection is
    closed."""

    def send_400_response(self, msg: str) -> None:
        if self.conn.our_state not in (h11.IDLE, h11.SEND_RESPONSE):
            self.transport.close()  # a reply is already under way: just end it
            return
        data = json.dumps({"error": f"malformed HTTP request: {msg}"}).encode("utf-8")
        headers = [
            (b"Content-Type", b"application/json"),
            (b"Content-Length", str(len(data)).encode()),
            (b"Connection", b"close"),
        ]
        try:
            self.transport.write(self.conn.send(h11.Response(status_code=400, headers=headers, reason=b"Bad Request")))
            self.transport.write(self.conn.send(h11.Data(data=data)))
            self.transport.write(self.conn.send(h11.EndOfMessage()))
        except h11.LocalProtocolError:
            pass  # h11 refuses to answer in this state; closing is all that is left
        self.transport.close()
