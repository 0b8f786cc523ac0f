"""A websocket host for ``broadcast``: what an application binding the module would write.

The server speaks a small JSON protocol on text frames.

Client to server, any number of times on one connection::

    {"api_key": "key-ops-eu",
     "subscribe": [{"doc_class": "Order", "data_scope": ["eu"], "catalog": {"id": 1, "total": 1},
                    "show_hidden": false, "start_seq": "0005"}]}

Only "doc_class" is required in a subscription; the others default to everything (data scope and
catalog None), no hidden fields and no start sequence. Subscribing again to a class replaces that
subscription.

Server to client:

* ``{"type": "welcome", "doc_classes": [...], "protocol": ...}`` once, on connecting;
* ``{"type": "subscribed", "doc_classes": [...], "api_id": ...}`` after a granted request;
* ``{"type": "refused", "reason": ...}`` when the key is unknown or its ACL is empty; the server
  then closes the connection (code 1008, policy violation);
* ``{"type": "error", "reason": ...}`` for a request it cannot read, or when the authentication
  service cannot be reached or does not answer in time (the connection stays open);
* the document events, exactly as the broadcaster sends them:
  ``{"doc_class": ..., "op": ..., "seq": ..., "message": {...}}``.

The module calls the authentication service without a timeout; :func:`bound_acl_lookups` gives
every lookup one, process-wide, by rebinding ``broadcast.requests`` (the module reads it at each
call). A program using this host calls it once at start-up, as the demo does.
"""
from __future__ import annotations

import asyncio
import json
from typing import Any, Callable, Iterable

import broadcast
import requests
from tolva_engine import Acl, AuthorizationError
from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed
from websockets.protocol import State

__all__ = ["WebsocketBroadcaster", "BroadcastServer", "Refused", "Unavailable", "subscribe_client",
           "PROTOCOL", "TimedRequests", "bound_acl_lookups", "AUTH_TIMEOUT"]

AUTH_TIMEOUT = 5.0  # seconds an ACL lookup may take, connecting and waiting for the reply

PROTOCOL = (
    'send {"api_key": KEY, "subscribe": [{"doc_class": CLASS, "data_scope": [..] | null, '
    '"catalog": {field: ..} | null, "show_hidden": bool, "start_seq": "0005"}]}'
)
SUBSCRIPTION_FIELDS = {"doc_class", "data_scope", "catalog", "show_hidden", "start_seq"}


class WebsocketBroadcaster(broadcast.Broadcaster):
    """The broadcaster bound to the ``websockets`` library.

    It keeps a registry of its own, so it doesn't share subscribers with other users of
    ``broadcast.Broadcaster`` in the same process.
    """

    active_connections = {}
    sent = 0  # messages handed to the library
    dropped_sends = 0  # sends that found the connection already closed

    @classmethod
    async def accept(cls, websocket):
        await websocket.send(json.dumps({
            "type": "welcome",
            "doc_classes": sorted(getattr(cls, "doc_classes", ())),
            "protocol": PROTOCOL,
        }))

    @classmethod
    def subscriber_is_connected(cls, websocket):
        return websocket.state is State.OPEN

    @classmethod
    async def send_message_async(cls, websocket, message):
        # A client may go away while an event is on its way to it. That is its own affair:
        # the fan-out must go on with everybody else, and the connection handler (or the
        # fan-out's own sweep) drops it from the registry.
        try:
            await websocket.send(message)
        except ConnectionClosed:
            cls.dropped_sends += 1
        else:
            cls.sent += 1


class TimedRequests:
    """``requests`` as the module calls it, ``post(url, json=...)``, with a timeout on every post.

    A service that accepts the connection and never answers would otherwise hold the lookup, and
    the worker thread it runs in, for good.
    """

    def __init__(self, timeout: float):
        self.timeout = timeout

    def post(self, url: str, *, json: Any) -> requests.Response:
        return requests.post(url, json=json, timeout=self.timeout)


def bound_acl_lookups(timeout: float = AUTH_TIMEOUT) -> None:
    """Give every ``AuthClient`` lookup of this process a timeout."""
    broadcast.requests = TimedRequests(timeout)


class Refused(Exception):
    """A request that is turned down; the text goes to the client, then the server hangs up."""


class Unavailable(Exception):
    """The request could not be decided now; the client may try again."""


@broadcast.auth_required_async
async def subscribe_client(broadcaster, websocket, subscriptions, *, acl):
    """Register one client's subscriptions under its ACL (refused when the ACL is empty)."""
    for sub in subscriptions:
        await broadcaster.subscribe(
            websocket,
            sub["doc_class"],
            data_scope=sub.get("data_scope"),
            catalog=sub.get("catalog"),
            show_hidden=bool(sub.get("show_hidden", False)),
            start_seq=sub.get("start_seq", ""),
            acl=acl,
        )


def parse_request(raw: Any, doc_classes: Iterable[str]) -> tuple[str, list[dict]]:
    """Check one client request; returns (api key, subscriptions) or raises ValueError."""
    if not isinstance(raw, str):
        raise ValueError("send JSON text frames, not binary ones")
    try:
        request = json.loads(raw)
    except ValueError:
        raise ValueError("the request is not JSON") from None
    if not isinstance(request, dict):
        raise ValueError("the request must be a JSON object")
    api_key = request.get("api_key")
    if not isinstance(api_key, str) or not api_key:
        raise ValueError('"api_key" must be a non-empty string')
    subscriptions = request.get("subscribe")
    if isinstance(subscriptions, dict):
        subscriptions = [subscriptions]
    if not isinstance(subscriptions, list) or not subscriptions:
        raise ValueError('"subscribe" must be a non-empty list of subscriptions')
    known = set(doc_classes)
    for sub in subscriptions:
        if not isinstance(sub, dict):
            raise ValueError("each subscription must be a JSON object")
        unknown = set(sub) - SUBSCRIPTION_FIELDS
        if unknown:
            raise ValueError(f"unknown subscription field(s): {', '.join(sorted(unknown))}")
        doc_class = sub.get("doc_class")
        if known and doc_class not in known:
            raise ValueError(f"unknown doc_class {doc_class!r}; known: {', '.join(sorted(known))}")
        scope = sub.get("data_scope")
        if scope is not None and not isinstance(scope, list):
            raise ValueError('"data_scope" must be a list or null')
        catalog = sub.get("catalog")
        if catalog is not None and not isinstance(catalog, dict):
            raise ValueError('"catalog" must be an object or null')
        if not isinstance(sub.get("show_hidden", False), bool):
            raise ValueError('"show_hidden" must be true or false')
        if not isinstance(sub.get("start_seq", ""), str):
            raise ValueError('"start_seq" must be a string')
    return api_key, subscriptions


class BroadcastServer:
    """The websocket server, its broadcaster and its link to the authentication service.

    Each server gets a broadcaster class (and so a registry) of its own. ``log``, when set, is
    called with one line of text per connection opened or closed, subscription, refusal and bad
    request.
    """

    def __init__(self, auth_root: str, *, app_name: str = "broadcast-demo",
                 doc_classes: Iterable[str] = (), host: str = "127.0.0.1", port: int = 0,
                 broadcaster: type[WebsocketBroadcaster] = WebsocketBroadcaster,
                 log: Callable[[str], None] | None = None):
        self.auth = broadcast.AuthClient(auth_root)
        self.app_name = app_name
        self.host = host
        self.port = port
        self.broadcaster = type("ServerBroadcaster", (broadcaster,), {
            "active_connections": {},
            "sent": 0,
            "dropped_sends": 0,
            "doc_classes": tuple(doc_classes),
        })
        self.refusals: list[tuple[str, str]] = []  # (api key, reason), in order
        self.log = log
        self._server = None

    # -- life cycle ---------------------------------------------------------------------------
    async def start(self) -> "BroadcastServer":
        # A deep accept queue: when hundreds of clients (re)connect at once, the default one
        # overflows and their handshakes stall on TCP retransmissions.
        self._server = await serve(self.handler, self.host, self.port, backlog=1024)
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
            self._server = None

    async def __aenter__(self) -> "BroadcastServer":
        return await self.start()

    async def __aexit__(self, *exc) -> None:
        await self.stop()

    @property
    def url(self) -> str:
        return f"ws://{self.host}:{self.port}"

    # -- publishing -----------------------------------------------------------------------------
    async def publish(self, doc, op: str, seq: str) -> None:
        """Send one document event to every subscriber of its class."""
        await self.broadcaster.document_sent_async(doc, op, seq)

    def subscriber_count(self, doc_class: str | None = None) -> int:
        registry = self.broadcaster.active_connections
        if doc_class is not None:
            return len(registry.get(doc_class, ()))
        return len({ws for subscribers in registry.values() for ws in subscribers})

    # -- one connection -------------------------------------------------------------------------
    def _note(self, websocket, text: str) -> None:
        if self.log is not None:
            peer = websocket.remote_address
            who = f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
            self.log(f"{who} {text}")

    async def handler(self, websocket: ServerConnection) -> None:
        broadcaster = self.broadcaster
        self._note(websocket, "connected")
        try:
            await broadcaster.accept(websocket)
            async for raw in websocket:
                try:
                    reply = await self.handle_request(websocket, raw)
                except ValueError as exc:
                    self._note(websocket, f"bad request: {exc}")
                    await websocket.send(json.dumps({"type": "error", "reason": str(exc)}))
                except Unavailable as exc:
                    self._note(websocket, f"error: {exc}")
                    await websocket.send(json.dumps({"type": "error", "reason": str(exc)}))
                except Refused as exc:
                    self._note(websocket, f"refused: {exc}")
                    await websocket.send(json.dumps({"type": "refused", "reason": str(exc)}))
                    await websocket.close(1008, "refused")
                    break
                else:
                    await websocket.send(json.dumps(reply))
        except ConnectionClosed:
            pass
        finally:
            broadcaster.disconnect(websocket)
            self._note(websocket, "disconnected")

    async def handle_request(self, websocket, raw) -> dict:
        api_key, subscriptions = parse_request(raw, self.broadcaster.doc_classes)
        acl, api_id = await self.lookup_acl(api_key)
        try:
            await subscribe_client(self.broadcaster, websocket, subscriptions, acl=acl)
        except AuthorizationError as exc:
            self._refuse(api_key, f"API key {api_key!r} has an empty ACL ({exc})")
        self._note(websocket, f"subscribed with {api_key!r} to " + ", ".join(
            s["doc_class"] + (f" {s['data_scope']}" if s.get("data_scope") else "")
            for s in subscriptions))
        return {"type": "subscribed", "doc_classes": [s["doc_class"] for s in subscriptions],
                "api_id": api_id}

    async def lookup_acl(self, api_key: str) -> tuple[Acl, Any]:
        """Ask the authentication service for the key's ACL.

        The client call blocks for the whole HTTP exchange, so it runs in a worker thread and
        the event loop goes on serving everybody else.
        """
        try:
            reply, status = await asyncio.to_thread(self.auth.get_api_acl, api_key,
                                                    self.app_name)
        except requests.Timeout as exc:
            timeout = getattr(broadcast.requests, "timeout", None)
            within = f" within {timeout:g} s" if isinstance(timeout, (int, float)) else ""
            raise Unavailable(f"the authentication service did not answer{within}; "
                              "try again later") from exc
        except OSError as exc:  # the HTTP client's connection errors are OSErrors
            raise Unavailable(f"the authentication service is unavailable "
                              f"({type(exc).__name__}); try again later") from exc
        if status != 200 or not isinstance(reply, dict):
            message = reply.get("message") if isinstance(reply, dict) else None
            if status == 404:
                self._refuse(api_key, f"unknown API key {api_key!r}")
            self._refuse(api_key, f"API key {api_key!r} not accepted by the authentication "
                                  f"service ({status}: {message or 'no reason given'})")
        return Acl(reply.get("acl") or ()), reply.get("id")

    def _refuse(self, api_key: str, reason: str):
        self.refusals.append((api_key, reason))
        raise Refused(reason)
