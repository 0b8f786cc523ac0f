"""The websocket server: the broadcaster bound to the ``websockets`` library, and the connection
handler that speaks :mod:`broadcast_server.protocol` over it."""
from __future__ import annotations

import asyncio
import collections
import dataclasses
import errno
import http
import inspect
import logging
import time
from typing import Any, Awaitable, Callable, Iterable

import broadcast
from tolva_engine import AuthorizationError
from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed, InvalidMethod
from websockets.http11 import MAX_LINE_LENGTH, MAX_NUM_HEADERS, Request, Response
from websockets.protocol import CONNECTING, OPEN
from websockets.server import ServerProtocol

from . import config, protocol, web
from .acl import AclLookup
from .errors import CannotListen, Refusal
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
        cls.sender.send(websocket, protocol.frame(protocol.welcome(
            getattr(cls, "doc_classes", ()), getattr(cls, "seq_width", None))))

    @classmethod
    def subscriber_is_connected(cls, websocket):
        return websocket.protocol.state is OPEN

    @classmethod
    async def send_message_async(cls, websocket, message):
        # Never awaits: a send that waited for one client's socket would stop the fan-out there.
        cls.sender.send(websocket, message)


class HttpProtocol(ServerProtocol):
    """The library's server side of a connection, but for a request with a body: one with
    another method than GET or HEAD gets the same 405 as without a body (the library would hang
    up without a word, as it reads no request body)."""

    HEAD_LIMIT = MAX_LINE_LENGTH * (MAX_NUM_HEADERS + 2)
    """Bytes of a request's head looked at, at most: past that the library refuses it anyway."""

    def parse(self):
        # This generator lives as long as the connection: what it looked at of the head is
        # left to _refused_method(), so none of it stays alive here.
        if self.state is CONNECTING:
            buffer = self.reader.buffer
            while b"\r\n\r\n" not in buffer and len(buffer) < self.HEAD_LIMIT \
                    and not self.reader.eof:
                yield
            method = self._refused_method()
            if method is not None:
                self.handshake_exc = InvalidMethod(method)
                response = self.reject(http.HTTPStatus.METHOD_NOT_ALLOWED,
                                       f"Failed to open a WebSocket connection: "
                                       f"{self.handshake_exc}.\n")
                response.headers["Allow"] = "GET"
                self.send_response(response)  # then the connection closes
                yield
        yield from super().parse()

    def _refused_method(self) -> str | None:
        """The method of a request with a body other than GET or HEAD (those go on to the
        library, body or not); None for the others."""
        buffer = self.reader.buffer
        lines = bytes(buffer[:buffer.find(b"\r\n\r\n")]).lower().split(b"\r\n")
        method = lines[0].split(b" ", 1)[0].decode("ascii", "replace").upper()
        fields = [line.partition(b":") for line in lines[1:]]
        body = any(name.strip() == b"transfer-encoding" or (
            name.strip() == b"content-length" and value.strip() != b"0")
            for name, _, value in fields)
        return method if body and method not in ("GET", "HEAD") else None


class Connection(ServerConnection):
    """A server connection speaking :class:`HttpProtocol`."""

    def __init__(self, protocol: ServerProtocol, *args, **kwargs):
        # Nothing has been received yet: the parser starts over as the subclass's.
        protocol.__class__ = HttpProtocol
        protocol.parser = protocol.parse()
        next(protocol.parser)
        super().__init__(protocol, *args, **kwargs)


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
    ``/metrics``; the others by the browser page, which may connect to ``public_nodes`` (none:
    its own host only). With ``metrics_port``, ``/metrics`` moves to a plain HTTP port of its
    own (with ``/healthz``), to be kept off the public network.

    With ``tls_cert`` and ``tls_key`` (PEM files) it serves ``wss://`` and ``https://``. A
    websocket handshake that carries an ``Origin`` (a browser's) goes on only from a page of
    this host, of one of ``public_nodes`` (their pages connect to each other) or of
    ``allowed_origins`` (:func:`~broadcast_server.web.origin_allowed`); the others get 403.
    """

    def __init__(self, auth_root: str, *, app_name: str = config.APP_NAME,
                 doc_classes: Iterable[str] = (), host: str = config.HOST,
                 port: int = config.PORT,
                 broadcaster: type[WebsocketBroadcaster] = WebsocketBroadcaster,
                 send_queue: int = config.SEND_QUEUE_BYTES,
                 compression: bool = config.COMPRESSION,
                 max_connections: int = config.MAX_CONNECTIONS,
                 subscribe_within: float = config.SUBSCRIBE_WITHIN,
                 max_subscriptions: int = config.MAX_SUBSCRIPTIONS,
                 max_scope_items: int = config.MAX_SCOPE_ITEMS,
                 max_catalog_keys: int = config.MAX_CATALOG_KEYS,
                 seq_width: int | None = None,
                 auth_timeout: float = config.AUTH_TIMEOUT,
                 auth_cache: float = config.AUTH_CACHE,
                 public_nodes: Iterable[str] = config.PUBLIC_NODES,
                 tls_cert: str | None = None, tls_key: str | None = None,
                 allowed_origins: Iterable[str] = config.ALLOWED_ORIGINS,
                 metrics_port: int | None = None,
                 log: Callable[[str], None] | None = None):
        self.ssl = web.tls_context(tls_cert, tls_key)  # ValueError at once for unusable files
        public_nodes = tuple(public_nodes)
        self.allowed_origins = tuple(allowed_origins) + tuple(map(web.page_origin, public_nodes))
        self.metrics_port = metrics_port
        self.watch = Watch(self)
        self.page = web.Page(public_nodes)
        self.lookup_acl = AclLookup(auth_root, app_name, timeout=auth_timeout,
                                    cache_for=auth_cache, observe=self.watch.acl_lookup.observe)
        self.host = host
        self.port = port
        self.broadcaster = type("ServerBroadcaster", (broadcaster,), {
            "active_connections": {},
            "sender": Sender(send_queue),
            "doc_classes": tuple(doc_classes),
            "seq_width": seq_width,  # the welcome's start_seq is as wide
        })
        self.compression = "deflate" if compression else None
        self.limits = protocol.Limits(max_scope_items, max_catalog_keys, max_subscriptions,
                                      subscribe_within)
        self.door = protocol.Door(max_connections)
        self.live = 0  # connections in the handler: past their handshake, not yet gone
        # The width of the seqs it publishes, which a client's start_seq must have (the module
        # compares seqs as text); None takes any.
        self.seq_width = seq_width
        self.refusals: list[tuple[str, str]] = []  # (api key, reason), the latest, in order
        self.turned_down: collections.Counter[str] = collections.Counter()  # requests, by why
        self.counted: collections.Counter[str] = collections.Counter()  # a session's Count
        self.events = 0  # events given to publish()
        self.fanned_out = 0  # events whose fan-out has ended
        self.last_seq: str | None = None  # of the last event given to publish()
        self.log = log
        self.routes: dict[str, Route] = {
            "/healthz": self.watch.healthz,
            "/health": self.watch.healthz,  # the name load balancers were first given
            "/metrics": self.watch.metrics,
        }
        self.metrics_routes: dict[str, Route] = {}
        if metrics_port is not None:
            self.metrics_routes = {"/metrics": self.routes.pop("/metrics"),
                                   "/healthz": self.watch.healthz}
        self._server = None
        self._metrics_server = None

    # -- life cycle ---------------------------------------------------------------------------
    async def start(self) -> "BroadcastServer":
        self._server = await self._listen(
            self.port, "--port", self.handler, backlog=config.ACCEPT_BACKLOG, ssl=self.ssl,
            process_request=self.process_request, compression=self.compression,
            create_connection=Connection)
        self.port = self._server.sockets[0].getsockname()[1]
        if self.metrics_port is not None:
            try:
                self._metrics_server = await self._listen(
                    self.metrics_port, "--metrics-port", self.handler,
                    process_request=self.process_metrics_request, create_connection=Connection)
            except CannotListen:
                await self.stop()
                raise
            self.metrics_port = self._metrics_server.sockets[0].getsockname()[1]
        self.lookup_acl.open()
        return self

    async def _listen(self, port: int, flag: str, handler, **options):
        try:
            return await serve(handler, self.host, port, **options)
        except OSError as exc:
            why = ("is already in use" if exc.errno == errno.EADDRINUSE
                   else f"cannot be listened on ({exc.strerror or exc})")
            what = "port" if flag == "--port" else "metrics port"
            raise CannotListen(f"{what} {port} on {self.host} {why}", flag) from exc

    async def process_request(self, connection: ServerConnection,
                              request: Request) -> Response | None:
        """Answer a plain HTTP GET (or HEAD) on the websocket port through ``routes`` (None: go
        on with the websocket handshake); refuse a handshake from a page elsewhere."""
        if request.headers.get("Upgrade", "").lower() == "websocket":
            # A websocket client, whatever the path: from a page it may be.
            origin = request.headers.get("Origin")
            if web.origin_allowed(origin, request.headers.get("Host"), self.allowed_origins):
                return await self.handshake(connection)
            self.turned_down[Refusal.FOREIGN_ORIGIN] += 1
            self._note(connection, f"refused: a page from {protocol.quote(origin, 100)} may "
                                   f"not connect (see --allowed-origins)")
            return connection.respond(http.HTTPStatus.FORBIDDEN,
                                      "This origin may not open a websocket here.\n")
        return await self._answer(connection, request, self.routes, self.page.respond)

    async def process_metrics_request(self, connection: ServerConnection,
                                      request: Request) -> Response:
        """Answer every request on the metrics port, through ``metrics_routes``: no websocket
        is opened there."""
        response = await self._answer(connection, request, self.metrics_routes,
                                      lambda request: None)
        return response or connection.respond(http.HTTPStatus.NOT_FOUND, "Not found.\n")

    async def _answer(self, connection, request, routes, otherwise) -> Response | None:
        if request.method not in ("GET", "HEAD"):
            return None  # POST, ...: the library answers 405 (Allow: GET)
        route = routes.get(request.path.partition("?")[0])
        if route is None:
            # The browser page; None elsewhere: the library answers with its own 426.
            response = otherwise(request)
        else:
            response = route(connection, request)
            if inspect.isawaitable(response):
                response = await response
        if request.method == "HEAD" and response is not None:
            response = dataclasses.replace(response, body=b"")  # its headers, without the body
        return response

    async def handshake(self, connection: ServerConnection) -> Response | None:
        """None: go on with the websocket handshake; else the answer that turns it away."""
        response = None
        for action in self.door.knock(self.live):
            match action:
                case protocol.TurnAway(text, retry_after):
                    response = connection.respond(http.HTTPStatus.SERVICE_UNAVAILABLE, text)
                    response.headers["Retry-After"] = str(retry_after)
                case _:
                    await self.act(Link(connection, None), action)
        return response

    async def health(self) -> tuple[list[str], dict[str, Any]]:
        """(what keeps this server from serving, empty when nothing does; what ``GET /healthz``
        shows of it)."""
        return [], {
            "connections": len(self._server.connections) if self._server is not None else 0,
            "subscribed": self.subscriber_count(),
            "subscriptions": self.subscriptions(),
            "last_seq": self.last_seq,
            "auth": self.lookup_acl.health(),
        }

    def subscriptions(self) -> dict[str, int]:
        """Connections subscribed to each class served (0 for a class nobody subscribed to)."""
        counts = dict.fromkeys(self.broadcaster.doc_classes, 0)
        counts.update((doc_class, len(subscribers))
                      for doc_class, subscribers in self.broadcaster.active_connections.items())
        return counts

    async def stop(self, timeout: float = config.STOP_TIMEOUT) -> None:
        """Close every connection with 1001 (going away); those whose clients have not answered
        within ``timeout`` seconds are dropped, and so are handshakes still under way. ACL lookups
        in flight end at once."""
        self.lookup_acl.close()
        if self._server is not None:
            server, self._server = self._server, None
            server.close()
            try:
                await asyncio.wait_for(server.wait_closed(), timeout)
            except TimeoutError:
                for websocket in list(server.all_connections):
                    websocket.transport.abort()
                for task in list(server.handler_tasks):  # those still in their handshake too
                    task.cancel()
                if server.handler_tasks:
                    await asyncio.wait(server.handler_tasks, timeout=timeout / 4)
        if self._metrics_server is not None:
            metrics, self._metrics_server = self._metrics_server, None
            metrics.close()  # plain HTTP requests, each answered at once
            try:
                await asyncio.wait_for(metrics.wait_closed(), timeout)
            except TimeoutError:
                for connection in list(metrics.all_connections):
                    connection.transport.abort()

    async def __aenter__(self) -> "BroadcastServer":
        return await self.start()

    async def __aexit__(self, *exc) -> None:
        await self.stop()

    @property
    def url(self) -> str:
        return f"{'wss' if self.ssl else 'ws'}://{web.url_host(self.host)}:{self.port}"

    # -- publishing -----------------------------------------------------------------------------
    async def publish(self, doc, op: str, seq: str) -> None:
        """Send one document event to every subscriber of its class. Several in one turn of the
        event loop are written together (see :mod:`broadcast_server.sender`)."""
        self.events += 1
        self.last_seq = seq
        self.broadcaster.sender.event_starts()
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
    # Every rule of the protocol is the session's (protocol.Session): this part only reads
    # frames, tells the session, and performs what it returns.
    @staticmethod
    def clock() -> float:
        """The time the sessions are told, in milliseconds."""
        return time.monotonic() * 1000

    def session(self) -> protocol.Session:
        return protocol.Session(self.broadcaster.doc_classes, limits=self.limits,
                                seq_width=self.seq_width)

    def _note(self, websocket, text: str) -> None:
        if self.log is not None:
            peer = websocket.remote_address
            who = f"{peer[0]}:{peer[1]}" if isinstance(peer, tuple) else str(peer)
            self.log(f"{who} {text}")

    async def handler(self, websocket: ServerConnection) -> None:
        session = self.session()
        link = Link(websocket, session)
        self.live += 1
        try:
            await self.perform(link, session.connected(self.clock()))
            while not session.closed:
                try:
                    async with asyncio.timeout(self.until(session.wake_at)):
                        raw = await websocket.recv()
                except TimeoutError:
                    await self.perform(link, session.timed_out(self.clock()))
                else:
                    await self.perform(link, session.received(raw, self.clock()))
        except ConnectionClosed:
            pass
        finally:
            self.live -= 1
            self.broadcaster.disconnect(websocket)
            self._note(websocket, "disconnected")

    def until(self, wake_at: float | None) -> float | None:
        """Seconds from now to ``wake_at`` (a session's, in milliseconds); None for never."""
        return None if wake_at is None else max(0.0, (wake_at - self.clock()) / 1000)

    async def perform(self, link: "Link", actions: list[protocol.Action]) -> None:
        """Perform ``actions`` in order, and those the session returns as each one ends."""
        pending = collections.deque(actions)
        while pending:
            action = pending.popleft()
            try:
                more = await self.act(link, action)
            except ConnectionClosed:
                raise  # it hung up while its request was being served: nobody to answer
            except Exception as exc:
                more = link.session.failed(exc)
            pending.extendleft(reversed(more or ()))

    async def act(self, link: "Link", action: protocol.Action) -> list[protocol.Action] | None:
        """Perform one action; returns what the session says to do next, if anything."""
        websocket, session = link.websocket, link.session
        match action:
            case protocol.Send(reply):
                # Replies take the events' path, so they keep their place among the events
                # queued for this client (a node's backlog goes out before the reply ending it).
                self.broadcaster.sender.send(websocket, protocol.frame(reply))
            case protocol.Greet():
                # A host's own `accept` (a Broadcaster subclass's) is the one that welcomes.
                await self.broadcaster.accept(websocket)
            case protocol.Log(text):
                self._note(websocket, text)
            case protocol.TurnDown(reason, text, api_key):
                self.turned_down[reason] += 1
                if reason.final:
                    self.refusals.append((api_key, text))
                    del self.refusals[:-REFUSALS_KEPT]
            case protocol.Count(name):
                self.counted[name] += 1
            case protocol.Fault(exc):
                logger.error("request failed: %s", type(exc).__name__, exc_info=exc)
            case protocol.LookUp(api_key):
                return session.looked_up(*await self.lookup_acl(api_key, websocket))
            case protocol.Admit(request, acl):
                try:
                    await self.admit(self.admission(link), websocket, request, acl)
                except AuthorizationError as exc:
                    return session.acl_refused(exc)
                return session.admitted()
            case protocol.Warn(text):
                logger.warning("%s", text)
            case protocol.Close(code, reason):
                await self.broadcaster.sender.flushed(
                    websocket, websocket.close_timeout or config.SEND_CLOSE_TIMEOUT)
                await websocket.close(code, reason)
            case _:
                raise TypeError(f"{type(self).__name__} cannot perform {action!r}")
        return None

    def admission(self, link: "Link") -> type[WebsocketBroadcaster]:
        """The registry a connection's granted request is registered in."""
        return self.broadcaster

    @staticmethod
    async def admit(broadcaster, websocket, request: protocol.Request, acl) -> None:
        """Register the request's subscriptions in ``broadcaster`` (AuthorizationError when the
        ACL is empty)."""
        await subscribe_client(broadcaster, websocket, request.subscriptions, acl=acl)


@dataclasses.dataclass
class Link:
    """One connection as its driver holds it: the socket, its session, and (a node) the
    registry its backlog goes through."""

    websocket: ServerConnection
    session: protocol.Session | None  # None during the handshake
    catch_up: Any = None
