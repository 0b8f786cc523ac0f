"""A small authentication service on 127.0.0.1, standing in for the real one in the demo and tests.

It answers ``POST <root>role/_/get_api_acl`` (the request that ``broadcast.AuthClient`` makes)
and records every request it receives, whatever its method or path (run as a command, it runs for
good and records none).

What it answers for an API key, first match wins:

1. a canned reply registered with :meth:`AuthService.reply` for that key (any status, a JSON value
   or raw bytes, any content type), or the canned reply registered for ``None`` (any other key);
   or, for a key given to :meth:`AuthService.stall`, no answer at all until the service stops;
   or, for a key given to :meth:`AuthService.drip`, its 404 a byte at a time, slowly;
2. for an account registered with :meth:`AuthService.add_account`: 200 and
   ``{"id": ..., "api_key": ..., "app_name": ..., "acl": [...]}``;
3. 404 and ``{"message": "Unknown API key"}``.

Other paths answer 404 ``{"detail": "Not Found"}``, as a web framework answers a path it does not
serve: without the "message" of the service's own replies (an API root given without its final
``/`` or its ``api/`` gets this). On the endpoint, other methods answer 405, and a request body
that is not a JSON object with an "api_key" 400, each with a "message".

In a program::

    service = AuthService()
    service.add_account("k-reader", ["Invoice", "Order"], id="7")
    base_url = service.start()      # e.g. "http://127.0.0.1:43117/api/"
    ...                             # AuthClient(base_url).get_api_acl("k-reader", "demo")
    service.stop()

From a shell, for a node run by hand (runs until Ctrl-C or SIGTERM; prints its API root)::

    python -m broadcast_demo.auth_service --port 8001 --demo-keys
    python -m broadcast_demo.auth_service --port 8001 --account k-reader=7:Invoice,Order

``--demo-keys`` knows the demo's API keys and ACLs (``key-ops-eu``, ``key-finance``, ...);
``--account KEY=ID:CLASS,...`` adds a key whose ACL reads those classes.
"""
from __future__ import annotations

import argparse
import dataclasses
import http.server
import json
import signal
import threading
from typing import Any

from broadcast_server.config import port

from .accounts import ACCOUNTS

__all__ = ["AuthService", "CannedReply", "ReceivedRequest"]

_UNSET = object()
_STALL = object()


@dataclasses.dataclass(frozen=True)
class CannedReply:
    """One reply as it goes on the wire."""

    status: int
    body: bytes
    content_type: str | None
    headers: tuple[tuple[str, str], ...] = ()


@dataclasses.dataclass(frozen=True)
class _Drip:
    """An answer sent a byte every ``every`` seconds."""

    every: float


@dataclasses.dataclass(frozen=True)
class ReceivedRequest:
    """One request as the service saw it."""

    method: str
    path: str
    headers: Any  # http.client.HTTPMessage: case-insensitive look-ups, order kept
    body: bytes
    json: Any  # the decoded body, or None when it is not JSON

    @property
    def json_keys(self) -> list[str] | None:
        """Keys of a JSON object body in the order they were sent."""
        try:
            pairs = json.loads(self.body, object_pairs_hook=_Pairs)
        except ValueError:
            return None
        return [key for key, _ in pairs] if isinstance(pairs, _Pairs) else None


class _Pairs(list):
    """The key/value pairs of one JSON object, in wire order."""


def _json_dumps(value: Any) -> bytes:
    return json.dumps(value).encode("utf-8")


def _json_reply(status: int, value: Any) -> CannedReply:
    return CannedReply(status, _json_dumps(value), "application/json")


class AuthService:
    """The service; ``start()`` runs it in a daemon thread on a free port."""

    def __init__(self, root: str = "/api/", host: str = "127.0.0.1", port: int = 0, *,
                 record: bool = True):
        if not root.startswith("/") or not root.endswith("/"):
            raise ValueError("root must start and end with '/'")
        self.root = root
        self.endpoint = root + "role/_/get_api_acl"
        self._host = host
        self._port = port
        self._lock = threading.Lock()
        self._replies: dict[str | None, CannedReply] = {}
        self._accounts: dict[str, dict[str, Any]] = {}
        self._requests: list[ReceivedRequest] = []
        # Off for a service that runs for good (the command): each request would be kept.
        self._record = record
        self._server: http.server.ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._stalled: set[str | None] = set()
        self._dripping: dict[str | None, float] = {}
        self._stopping = threading.Event()

    # -- life cycle -------------------------------------------------------------------------

    def start(self) -> str:
        """Bind, start serving in a daemon thread and return the base URL (ends with '/')."""
        if self._server is not None:
            raise RuntimeError("already started")
        self._stopping.clear()
        server = http.server.ThreadingHTTPServer((self._host, self._port), _make_handler(self))
        server.daemon_threads = True
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever, name="auth-service",
                                        daemon=True)
        self._thread.start()
        return self.base_url

    def stop(self) -> None:
        """Stop serving and release the port. Safe to call twice."""
        server, thread = self._server, self._thread
        self._server = self._thread = None
        self._stopping.set()
        if server is not None:
            server.shutdown()
            server.server_close()
        if thread is not None:
            thread.join()

    def __enter__(self) -> "AuthService":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("not started")
        return self._server.server_address[1]

    @property
    def base_url(self) -> str:
        """The URL to give ``AuthClient`` (its ``api_root``)."""
        return f"http://{self._host}:{self.port}{self.root}"

    # -- steering -----------------------------------------------------------------------------

    def reply(self, api_key: str | None, status: int = 200, *, json: Any = _UNSET,
              body: bytes | str | None = None, content_type: str | None = _UNSET,
              headers: dict[str, str] | None = None) -> CannedReply:
        """Answer requests for ``api_key`` (``None``: any key without its own reply) with this.

        Give exactly one of ``json`` (any JSON value, sent as UTF-8 JSON text) or ``body`` (raw
        bytes sent unchanged; a str is sent as UTF-8). ``content_type=None`` sends no
        Content-Type header; left out, it is "application/json" for ``json``,
        "text/plain; charset=utf-8" for a str body and "application/octet-stream" for bytes.
        """
        if (json is _UNSET) == (body is None):
            raise TypeError("give exactly one of json= or body=")
        if json is not _UNSET:
            raw, default_type = _json_dumps(json), "application/json"
        elif isinstance(body, str):
            raw, default_type = body.encode("utf-8"), "text/plain; charset=utf-8"
        else:
            raw, default_type = bytes(body), "application/octet-stream"
        canned = CannedReply(status, raw,
                             default_type if content_type is _UNSET else content_type,
                             tuple((headers or {}).items()))
        with self._lock:
            self._replies[api_key] = canned
        return canned

    def stall(self, api_key: str | None) -> None:
        """Accept requests for ``api_key`` (``None``: any key) and never answer them.

        The connection stays open, the request unanswered, until the service stops.
        """
        with self._lock:
            self._stalled.add(api_key)

    def drip(self, api_key: str | None, every: float = 3.0) -> None:
        """Answer requests for ``api_key`` (``None``: any key) one byte every ``every`` seconds.

        The answer is the unknown key's 404; sent this way it takes minutes, each byte well within
        any timeout on a single read.
        """
        with self._lock:
            self._dripping[api_key] = every

    def add_account(self, api_key: str, acl: Any, id: Any = None, **extra: Any) -> None:
        """Register a known key: it gets 200 with its "id", "api_key", "app_name" and "acl".

        ``id`` defaults to a fresh string; ``extra`` fields are added to the reply as given.
        """
        with self._lock:
            if id is None:
                id = str(len(self._accounts) + 1)
            self._accounts[api_key] = {"id": id, "acl": acl, "extra": dict(extra)}

    def reset(self) -> None:
        """Forget canned replies, accounts and recorded requests."""
        with self._lock:
            self._replies.clear()
            self._stalled.clear()
            self._dripping.clear()
            self._accounts.clear()
            self._requests.clear()

    # -- what was received --------------------------------------------------------------------

    @property
    def requests(self) -> list[ReceivedRequest]:
        """A snapshot of the requests received so far, oldest first."""
        with self._lock:
            return list(self._requests)

    @property
    def last_request(self) -> ReceivedRequest:
        with self._lock:
            if not self._requests:
                raise LookupError("no request received")
            return self._requests[-1]

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()

    # -- answering ----------------------------------------------------------------------------

    def _answer(self, method: str, path: str, headers: Any,
                body: bytes) -> CannedReply | _Drip | object:
        try:
            decoded = json.loads(body) if body else None
        except ValueError:
            decoded = None
        with self._lock:
            if self._record:
                self._requests.append(ReceivedRequest(method, path, headers, body, decoded))
            if path.split("?", 1)[0] != self.endpoint:
                return _json_reply(404, {"detail": "Not Found"})
            if method != "POST":
                return _json_reply(405, {"message": "Method not allowed"})
            if not isinstance(decoded, dict) or "api_key" not in decoded:
                return _json_reply(400, {"message": "Expected a JSON object with an api_key"})
            api_key = decoded["api_key"]
            key = api_key if isinstance(api_key, str) else None
            if key in self._stalled or None in self._stalled:
                return _STALL
            every = self._dripping.get(key, self._dripping.get(None))
            if every is not None:
                return _Drip(every)
            canned = self._replies.get(key) or self._replies.get(None)
            if canned is not None:
                return canned
            account = self._accounts.get(key)
            if account is None:
                return _json_reply(404, {"message": "Unknown API key"})
            return _json_reply(200, {"id": account["id"], "api_key": api_key,
                                     "app_name": decoded.get("app_name"), "acl": account["acl"],
                                     **account["extra"]})


MAX_BODY = 1 << 20
"""Bytes a request's body may have: a lookup's JSON is a key and an application name."""


def _make_handler(service: AuthService) -> type[http.server.BaseHTTPRequestHandler]:
    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "auth-service/1"

        def _handle(self) -> None:
            try:
                length = int(self.headers.get("Content-Length") or 0)
            except ValueError:
                length = -1
            if not 0 <= length <= MAX_BODY:
                # Not a length, or more than any lookup needs: read nothing of it.
                self.send_error(400 if length < 0 else 413)
                self.close_connection = True
                return
            body = self.rfile.read(length)
            canned = service._answer(self.command, self.path, self.headers, body)
            if canned is _STALL:
                service._stopping.wait()
                self.close_connection = True
                return
            if isinstance(canned, _Drip):
                self._drip(canned.every)
                return
            self.send_response(canned.status)
            if canned.content_type is not None:
                self.send_header("Content-Type", canned.content_type)
            for name, value in canned.headers:
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(canned.body)))
            self.end_headers()
            self.wfile.write(canned.body)

        def _drip(self, every: float) -> None:
            unknown = _json_dumps({"message": "Unknown API key"})
            reply = (f"HTTP/1.0 404 Not Found\r\nContent-Type: application/json\r\n"
                     f"Content-Length: {len(unknown)}\r\n\r\n").encode() + unknown
            self.close_connection = True
            for i in range(len(reply)):
                if service._stopping.wait(every if i else 0):
                    return
                try:
                    self.wfile.write(reply[i:i + 1])
                    self.wfile.flush()
                except OSError:  # the client gave up
                    return

        do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = _handle

        def log_message(self, format: str, *args: Any) -> None:  # keep test output clean
            pass

    return Handler


def from_command_line(argv: list[str] | None = None) -> tuple[argparse.ArgumentParser,
                                                                 AuthService]:
    """The command's parser, and the service its arguments describe (not started yet). It
    records no request: it runs until stopped, and nobody reads them."""
    parser = argparse.ArgumentParser(
        prog="python -m broadcast_demo.auth_service",
        description="Run the stand-in authentication service on 127.0.0.1 until Ctrl-C or "
                    "SIGTERM; it prints the API root to give a node's --auth.")
    parser.add_argument("--port", type=port, default=0, help="0 picks a free port (the default)")
    parser.add_argument("--root", default="/api/", help="the API root's path (default: /api/)")
    parser.add_argument("--demo-keys", action="store_true",
                        help="know the demo's API keys and ACLs (key-ops-eu, key-finance, ...)")
    parser.add_argument("--account", action="append", default=[], metavar="KEY=ID:CLASS,...",
                        help="a known API key, its id and the document classes it may read; "
                             "repeatable")
    args = parser.parse_args(argv)
    try:
        service = AuthService(root=args.root, port=args.port, record=False)
    except ValueError as exc:
        parser.error(f"--root {args.root!r}: {exc}")
    if args.demo_keys:
        for key, (ident, acl) in ACCOUNTS.items():
            service.add_account(key, acl, id=ident)
    for spec in args.account:
        key, _, rest = spec.partition("=")
        ident, _, classes = rest.partition(":")
        if not key:
            parser.error(f"--account {spec!r}: expected KEY=ID:CLASS,...")
        service.add_account(key, [c for c in classes.split(",") if c], id=ident or None)
    return parser, service


def _main(argv: list[str] | None = None) -> None:
    parser, service = from_command_line(argv)
    try:
        print(service.start(), flush=True)
    except OSError as exc:
        parser.exit(2, f"{parser.prog}: port {service._port} cannot be listened on "
                       f"({exc.strerror or exc})\n")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    try:
        stop.wait()
    except KeyboardInterrupt:
        pass
    finally:
        service.stop()


if __name__ == "__main__":
    _main()
