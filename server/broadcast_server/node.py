"""A node: the websocket server fed by the Redis stream, with catch-up for clients that come back.

Run several, on one machine or several, all pointing at the same Redis, behind a load balancer
(``python -m broadcast_server node --help``). Each node delivers every event in the stream to its
own clients. A client that comes back, to this node or another, adds the last seq it saw and its
epoch to its request (``"resume_after"``, ``"epoch"``) and first gets the events after that seq
which the stream still holds, filtered by its subscriptions like any event, then the live ones,
with no gap and nothing twice; or, when the stream no longer holds them all, ``too_old`` and no
event (see :mod:`broadcast_server.protocol` for the replies).
"""
from __future__ import annotations

import asyncio
import logging
import time
from typing import Any

from . import config, protocol
from .documents import load_documents
from .errors import Unavailable
from .server import BroadcastServer, Link, WebsocketBroadcaster
from .stream import DOWN, Feed, rebuilder

__all__ = ["NodeServer", "load_documents"]

log = logging.getLogger("broadcast.node")


def register_now(coro) -> None:
    """Run a ``subscribe`` coroutine to its end without letting the event loop in.

    ``subscribe`` never waits on anything; driving it by hand makes sure that no event is
    handed over between reading the feed's position and registering the client.
    """
    try:
        coro.send(None)
    except StopIteration:
        return
    coro.close()
    raise RuntimeError("subscribe suspended")


def catch_up_broadcaster(broadcaster: type[WebsocketBroadcaster]) -> type[WebsocketBroadcaster]:
    """A broadcaster for one client's backlog: a registry of its own, which will hold only that
    client, so that the backlog goes through the module's own filtering and to nobody else; it
    counts the events it sends (``sent``)."""
    class CatchUp(broadcaster):
        active_connections = {}
        sent = 0

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.sent += 1
            cls.sender.send(websocket, message)

    return CatchUp


class NodeServer(BroadcastServer):
    """The websocket server whose events come from a :class:`~broadcast_server.stream.Feed`."""

    def __init__(self, auth_root: str, redis_url: str, *, documents, stream: str = config.STREAM,
                 seq_width: int = config.SEQ_WIDTH, name: str = "node", from_start: bool = False,
                 max_lag: int = config.MAX_LAG,
                 unhealthy_after: float = config.UNHEALTHY_AFTER, **kwargs):
        super().__init__(auth_root, doc_classes=documents, seq_width=seq_width, **kwargs)
        self.name = name
        self.max_lag, self.unhealthy_after = max_lag, unhealthy_after
        self.feed = Feed(redis_url, self.publish, rebuilder(documents), stream=stream,
                         width=seq_width, from_start=from_start, on_reset=self._stream_reset)
        self.caught_up = 0  # events sent from the stream's backlog
        self._closing: set[asyncio.Task] = set()

    @property
    def resumed(self) -> int:
        """Clients that came back with resume_after."""
        return self.counted["resumed"]

    @property
    def too_old(self) -> int:
        """Of them, those told the stream no longer holds their events."""
        return self.counted["too_old"]

    async def start(self) -> "NodeServer":
        await self.feed.start()
        return await super().start()

    async def health(self) -> tuple[list[str], dict[str, Any]]:
        """The server's health, and the feed's: whether it reads the stream, how far behind."""
        reasons, body = await super().health()
        feed = self.feed
        lag = await feed.read_lag()
        down_for = time.monotonic() - feed.down_since if feed.down_since is not None else None
        if not feed.running:
            reasons.append("the feed is not running")
        elif feed.restarting:
            reasons.append("the feed failed and is restarting")
        elif feed.epoch is None:
            reasons.append("the feed has not read the stream yet: Redis cannot be reached")
        elif down_for is not None and down_for > self.unhealthy_after:
            reasons.append(f"Redis unreachable for {down_for:.0f} s")
        if lag is not None and lag > self.max_lag:
            reasons.append(f"the feed is {lag} events behind the stream (at most {self.max_lag})")
        body.update(node=self.name, last_seq=feed.position, feed={
            "connected": feed.connected, "lag": lag, "epoch": feed.epoch,
            "down_for": round(down_for, 1) if down_for is not None else None})
        return reasons, body

    def _stream_reset(self, old: str | None, new: str) -> None:
        """Close every connection: what the clients have belongs to a stream that is gone, and
        they subscribe again for the new one."""
        server = self._server
        connections = list(server.connections) if server is not None else []
        log.warning("closing %d connections: the stream's epoch is now %s (was %s)",
                    len(connections), new, old)
        for websocket in connections:
            self.broadcaster.disconnect(websocket)
            task = asyncio.ensure_future(websocket.close(protocol.RESET_CLOSE_CODE,
                                                         "stream reset"))
            self._closing.add(task)
            task.add_done_callback(self._closing.discard)

    async def stop(self, timeout: float = config.STOP_TIMEOUT) -> None:
        try:
            await super().stop(timeout)
        finally:
            try:
                await asyncio.wait_for(self.feed.stop(), timeout / 2)
            except TimeoutError:
                log.warning("the feed did not stop within %g s", timeout / 2)

    def session(self) -> protocol.Session:
        return protocol.Session(self.broadcaster.doc_classes, self.feed, limits=self.limits)

    def admission(self, link: Link) -> type[WebsocketBroadcaster]:
        """A registry of the connection's own, which its backlog goes through; what it had is
        dropped: subscriptions replaced on the same connection start over from the catch-up."""
        self.broadcaster.disconnect(link.websocket)
        link.catch_up = catch_up_broadcaster(self.broadcaster)
        return link.catch_up

    async def act(self, link: Link, action: protocol.Action) -> list[protocol.Action] | None:
        websocket, session = link.websocket, link.session
        match action:
            case protocol.CheckHeld(position):
                try:
                    await self.feed.backlog(position.epoch, position.seq, position.seq)
                except DOWN as exc:
                    return session.stream_failed(exc)
                return session.held()
            case protocol.CatchUp(epoch, after):
                try:
                    after, sent = await self._catch_up(link.catch_up, epoch, after)
                except DOWN as exc:
                    return session.stream_failed(exc)
                return session.caught_up(after, sent)
            case protocol.Register(request, acl, after):
                for sub in request.subscriptions:
                    args = sub.subscribe_args(acl, sub.start_after(after))
                    register_now(self.broadcaster.subscribe(websocket, sub.doc_class, **args))
                return None
        return await super().act(link, action)

    async def _catch_up(self, catch_up, epoch: str, after: str) -> tuple[str, int]:
        """Send the backlog after ``after`` up to the feed's position; returns (new after, events
        sent to the client: those its subscriptions let through).

        The feed goes on while the backlog is read and sent, so this repeats until it has
        reached the feed's position.
        """
        while True:
            upto = self.feed.position
            if self.feed.epoch != epoch:
                raise Unavailable(protocol.stream_made_anew())
            if upto is None or int(upto) <= int(after):
                return after, catch_up.sent
            before = catch_up.sent
            for doc, op, seq in await self.feed.backlog(epoch, after, upto):
                await catch_up.document_sent_async(doc, op, seq)
            self.caught_up += catch_up.sent - before
            after = upto
