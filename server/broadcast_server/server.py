"""The websocket server: the broadcaster bound to the ``websockets`` library, and the connection
handler that speaks :mod:`broadcast_server.protocol` over it."""
from __future__ import annotations

import collections
import dataclasses
import errno
import inspect
import logging
import time
from typing import Any, Awaitable, Callable, Iterable

import broadcast
from tolva_engine import AuthorizationError
from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response
from websockets.protocol import OPEN

from . import config, protocol, web
from .acl import AclLookup
from .errors import CannotListen, Refused, Unavailable
from .sender import Sender
from .watch import Watch

__all__ = ["WebsocketBroadcaster", "BroadcastServer", "subscribe_client", "Route"]

logger = logging.getLogger("broadcast.server")

Route = Callable[[ServerConnection, Request], Awaitable[Response] | Response]
"""What answers one path of a plain HTTP GET on the websocket port."""

REFUSALS_KEPT = 100
"""Refusals a server keeps in ``refusals`` (the most recent), for a program's own look."""


class WebsocketBroadcaster(broadcast.Broadcaster):
    """The broadcaster bound to the ``websockets`` library.

    It keeps a registry of its own, so it doesn't share subscribers with other users of
    ``broadcast.Broadcaster`` in the same process. Its send hook never waits on one client:
    each message is written at once or queued on that connection (see
    :mod:`broadcast_server.sender`), so one client that stops reading holds up nobody else.
    """

    active_connections = {}
    sender = Sender()

    @classmethod
    async def accept(cls, websocket):
        cls.sender.send(websocket, protocol.frame(protocol.welcome(getattr(cls, "doc_classes", ()))))

    @classmethod
    def subscriber_is_connected(cls, websocket):
        return websocket.protocol.state is OPEN

    @classmethod
    async def send_message_async(cls, websocket, message):
        # Never awaits: a send that waited for one client's socket would stop the fan-out there.
        cls.sender.send(websocket, message)


@broadcast.auth_required_async
async def subscribe_client(broadcaster, websocket, subscriptions, *, acl):
    """Register one client's subscriptions under its ACL (refused when the ACL is empty)."""
    for sub in subscriptions:
        await broadcaster.subscribe(websocket, sub.doc_class, **sub.subscribe_args(acl))


class BroadcastServer:
    """The websocket server, its broadcaster and its link to the authentication service.

    Each server gets a broadcaster class (and so a registry) of its own, and metrics of its own
    (:class:`~broadcast_server.watch.Watch`). ``log``, when set, is called with one line of text
    per connection opened or closed, subscription, refusal and bad request. Plain HTTP GETs on
    its port are answered by ``routes`` (path to handler): ``/healthz`` (and ``/health``) and
    ``/metrics``.
    """

    def __init__(self, auth_root: str, *, app_name: str = config.APP_NAME,
                 doc_classes: Iterable[str] = (), host: str = config.HOST,
                 port: int = config.PORT,
                 broadcaster: type[WebsocketBroadcaster] = WebsocketBroadcaster,
                 send_queue: int = config.SEND_QUEUE_BYTES,
                 compression: bool = config.COMPRESSION,
                 seq_width: int | None = None,
                 log: Callable[[str], None] | None = None):
        self.watch = Watch(self)
        self.lookup_acl = AclLookup(auth_root, app_name, observe=self.watch.acl_lookup.observe)
        self.host = host
        self.port = port
        self.broadcaster = type("ServerBroadcaster", (broadcaster,), {
            "active_connections": {},
            "sender": Sender(send_queue),
            "doc_classes": tuple(doc_classes),
        })
        self.compression = "deflate" if compression else None
        # The width of the seqs it publishes, which a client's start_seq must have (the module
        # compares seqs as text); None takes any.
        self.seq_width = seq_width
        self.refusals: list[tuple[str, str]] = []  # (api key, reason), the latest, in order
        self.turned_down: collections.Counter[str] = collections.Counter()  # requests, by why
        self.events = 0  # events given to publish()
        self.fanned_out = 0  # events whose fan-out has ended
        self.last_seq: str | None = None  # of the last event given to publish()
        self.log = log
        self.routes: dict[str, Route] = {
            "/healthz": self.watch.healthz,
            "/health": self.watch.healthz,  # the name load balancers were first given
            "/metrics": self.watch.metrics,
        }
        self._server = None

    # -- life cycle ---------------------------------------------------------------------------
    async def start(self) -> "BroadcastServer":
        try:
            self._server = await serve(self.handler, self.host, self.port,
                                       backlog=config.ACCEPT_BACKLOG,
                                       process_request=self.process_request,
                                       compression=self.compression)
        except OSError as exc:
            why = ("is already in use" if exc.errno == errno.EADDRINUSE
                   else f"cannot be listened on ({exc.strerror or exc})")
            raise CannotListen(f"port {self.port} on {self.host} {why}") from exc
        self.port = self._server.sockets[0].getsockname()[1]
        return self

    async def process_request(self, connection: ServerConnection,
                              request: Request) -> Response | None:
        """Answer a plain HTTP GET (or HEAD) on the websocket port through ``routes`` (None: go
        on with the websocket handshake)."""
        if request.headers.get("Upgrade", "").lower() == "websocket":
            return None  # a websocket client, whatever the path
        if request.method not in ("GET", "HEAD"):
            return None  # POST, ...: the library answers 405 (Allow: GET)
        route = self.routes.get(request.path.partition("?")[0])
        if route is None:
            # The browser page; None elsewhere: the library answers with its own 426.
            response = web.respond(request)
        else:
            response = route(connection, request)
            if inspect.isawaitable(response):
                response = await response
        if request.method == "HEAD" and response is not None:
            response = dataclasses.replace(response, body=b"")  # its headers, without the body
        return response

    async def health(self) -> tuple[list[str], dict[str, Any]]:
        """(what keeps this server from serving, empty when nothing does; what ``GET /healthz``
        shows of it)."""
        return [], {
            "connections": len(self._server.connections) if self._server is not None else 0,
            "subscribed": self.subscriber_count(),
            "subscriptions": self.subscriptions(),
            "last_seq": self.last_seq,
        }

    def subscriptions(self) -> dict[str, int]:
        """Connections subscribed to each class served (0 for a class nobody subscribed to)."""
        counts = dict.fromkeys(self.broadcaster.doc_classes, 0)
        counts.update((doc_class, len(subscribers))
                      for doc_class, subscribers in self.broadcaster.active_connections.items())
        return counts

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
        return f"ws://{web.url_host(self.host)}:{self.port}"

    # -- publishing -----------------------------------------------------------------------------
    async def publish(self, doc, op: str, seq: str) -> None:
        """Send one document event to every subscriber of its class."""
        self.events += 1
        self.last_seq = seq
        started = time.perf_counter()
        await self.broadcaster.document_sent_async(doc, op, seq)
        self.watch.fan_out.observe(time.perf_counter() - started)
        self.fanned_out += 1

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
        # Replies take the events' path, so they keep their place among the events queued for
        # this client (a node's backlog goes out before the reply that ends it).
        reply_with = broadcaster.sender.send
        limit = protocol.RateLimit(config.SUBSCRIBE_RATE, config.SUBSCRIBE_BURST)
        self._note(websocket, "connected")
        try:
            await broadcaster.accept(websocket)
            async for raw in websocket:
                wait = limit.take()
                if wait:
                    self.turned_down["rate_limited"] += 1
                    self._note(websocket, "bad request: too many requests")
                    reply_with(websocket, protocol.frame(protocol.error(
                        protocol.too_many_requests(wait))))
                    continue
                try:
                    reply = await self.handle_request(websocket, raw)
                # BadRequest, and any ValueError the module raises for a subscription's values.
                except ValueError as exc:
                    # The module's own messages may quote a client's values: cut short.
                    reason = protocol.quote(str(exc), 300, repr_=False)
                    self.turned_down["bad_request"] += 1
                    self._note(websocket, f"bad request: {reason}")
                    reply_with(websocket, protocol.frame(protocol.error(reason)))
                except Unavailable as exc:
                    self.turned_down["unavailable"] += 1
                    self._note(websocket, f"error: {exc}")
                    reply_with(websocket, protocol.frame(protocol.error(str(exc))))
                except Refused as exc:
                    self.turned_down[exc.kind] += 1
                    self.refusals.append((exc.api_key, str(exc)))
                    del self.refusals[:-REFUSALS_KEPT]
                    self._note(websocket, f"refused: {exc}")
                    reply_with(websocket, protocol.frame(protocol.refused(str(exc))))
                    await broadcaster.sender.flushed(websocket, websocket.close_timeout or
                                                     config.SEND_CLOSE_TIMEOUT)
                    await websocket.close(protocol.REFUSED_CLOSE_CODE, "refused")
                    break
                except Exception as exc:  # a fault of ours: this client keeps its connection
                    self.turned_down["failed"] += 1
                    logger.exception("request failed: %s", type(exc).__name__)
                    reply_with(websocket, protocol.frame(protocol.error(
                        f"the request failed ({type(exc).__name__}); try again later")))
                else:
                    reply_with(websocket, protocol.frame(reply))
        except ConnectionClosed:
            pass
        finally:
            broadcaster.disconnect(websocket)
            self._note(websocket, "disconnected")

    async def handle_request(self, websocket, raw) -> dict[str, Any]:
        request = protocol.parse_request(raw, self.broadcaster.doc_classes, self.seq_width)
        acl, api_id = await self.lookup_acl(request.api_key)
        await self.admit(self.broadcaster, websocket, request, acl)
        self._note(websocket, f"subscribed with {protocol.fingerprint(request.api_key)} to "
                   + ", ".join(sub.describe() for sub in request.subscriptions))
        return protocol.subscribed(request, api_id)

    @staticmethod
    async def admit(broadcaster, websocket, request: protocol.Request, acl) -> None:
        """Register the request's subscriptions in ``broadcaster``; an empty ACL is refused."""
        try:
            await subscribe_client(broadcaster, websocket, request.subscriptions, acl=acl)
        except AuthorizationError as exc:
            raise Refused(protocol.empty_acl(request.api_key, exc), request.api_key,
                          kind="empty_acl") from None
