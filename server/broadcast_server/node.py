"""A node: the websocket server fed by the Redis stream, with catch-up for clients that come back.

Run several, on one machine or several, all pointing at the same Redis, behind a load balancer
(``python -m broadcast_server node --help``). Each node delivers every event in the stream to its
own clients. A client that comes back, to this node or another, adds the last seq it saw and its
epoch to its request (``"resume_after"``, ``"epoch"``) and first gets the events after that seq
which the stream still holds, filtered by its subscriptions like any event, then the live ones,
with no gap and nothing twice; or, when the stream no longer holds them all, ``too_old`` (after
the pages of the backlog sent before that was found), never a backlog with a hole; or ``ahead``
when the stream never had that seq (see :mod:`broadcast_server.protocol` for the replies). A
backlog is read, filtered and sent a page at a time, at most ``catch_ups`` of them at once.
"""
from __future__ import annotations

import asyncio
import logging
import time
from typing import Any

from websockets.protocol import OPEN

from . import config, protocol
from .documents import load_documents
from .errors import Unavailable
from .server import BroadcastServer, Link, WebsocketBroadcaster
from .stream import DOWN, Feed, rebuilder
from .stream.connection import RedisTarget
from .stream.scripts import class_stream

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
                 unhealthy_after: float = config.UNHEALTHY_AFTER,
                 catch_ups: int = config.CATCH_UPS,
                 catch_up_wait: float = config.CATCH_UP_WAIT, **kwargs):
        super().__init__(auth_root, doc_classes=documents, seq_width=seq_width, **kwargs)
        self.name = name
        self.max_lag, self.unhealthy_after = max_lag, unhealthy_after

        def feed(where, key):
            return Feed(where, self.publish, rebuilder(documents), stream=key, width=seq_width,
                        from_start=from_start, on_reset=self._stream_reset,
                        several=self.broadcaster.sender.holding)

        # On a Redis Cluster each document class has a stream of its own, on its shard: a feed
        # for each class served (``feeds``), and a request subscribes to one of them.
        self.sharded = isinstance(redis_url, RedisTarget) and bool(redis_url.cluster)
        if self.sharded:
            self.feeds = {doc_class: feed(redis_url.for_key(class_stream(stream, doc_class)),
                                          class_stream(stream, doc_class))
                          for doc_class in self.broadcaster.doc_classes}
        else:
            self.feeds = {None: feed(redis_url, stream)}
        self.feed = next(iter(self.feeds.values()))  # the one feed, or the first class's
        self.caught_up = 0  # events sent from the stream's backlog
        # Catch-ups run at most ``catch_ups`` at once; the others wait their turn.
        self._catch_ups = asyncio.Semaphore(catch_ups)
        self.catch_up_wait = catch_up_wait
        self.catching_up = 0  # catch-ups running now
        self.waiting_to_catch_up = 0  # and waiting for their turn
        self.catch_ups_turned_away = 0  # told to ask again after waiting catch_up_wait
        self._closing: set[asyncio.Task] = set()

    @property
    def resumed(self) -> int:
        """Clients that came back with resume_after."""
        return self.counted["resumed"]

    @property
    def too_old(self) -> int:
        """Of them, those told the stream no longer holds their events."""
        return self.counted["too_old"]

    @property
    def ahead(self) -> int:
        """Of them, those told they resumed after a seq the stream never had."""
        return self.counted["ahead"]

    async def start(self) -> "NodeServer":
        for feed in self.feeds.values():
            await feed.start()
        return await super().start()

    async def health(self) -> tuple[list[str], dict[str, Any]]:
        """The server's health, and the feed's: whether it reads the stream, how far behind
        (on a cluster, each class's feed: ``feeds``)."""
        reasons, body = await super().health()
        states = {}
        for doc_class, feed in self.feeds.items():
            whose = f" of {doc_class}" if doc_class is not None else ""
            lag = await feed.read_lag()
            down_for = (time.monotonic() - feed.down_since if feed.down_since is not None
                        else None)
            if not feed.running:
                reasons.append(f"the feed{whose} is not running")
            elif feed.restarting:
                reasons.append(f"the feed{whose} failed and is restarting ({feed.failure})")
            elif feed.epoch is None:
                reasons.append(f"the feed{whose} has not read the stream yet: Redis cannot be "
                               f"reached")
            elif down_for is not None and down_for > self.unhealthy_after:
                reasons.append(f"Redis{whose} unreachable for {down_for:.0f} s")
            if lag is not None and lag > self.max_lag:
                reasons.append(f"the feed{whose} is {lag} events behind the stream (at most "
                               f"{self.max_lag})")
            states[doc_class] = {
                "connected": feed.connected, "lag": lag, "epoch": feed.epoch,
                "down_for": round(down_for, 1) if down_for is not None else None,
                "seq_width": feed.width, "seqs_left": feed.seqs_left}
        durability = self.feed.durability
        redis = durability.describe() if durability is not None else None
        if self.sharded:
            body.update(node=self.name, feeds={doc_class: dict(state, last_seq=feed.position)
                                               for (doc_class, state), feed
                                               in zip(states.items(), self.feeds.values())},
                        redis=redis)
        else:
            body.update(node=self.name, last_seq=self.feed.position, feed=states[None],
                        redis=redis)
        return reasons, body

    def _stream_reset(self, old: str | None, new: str, start: str) -> None:
        """Close every connection: what the clients have belongs to a stream that is gone; the
        close names the new epoch and the seq its events come after, which they resume after."""
        server = self._server
        connections = list(server.connections) if server is not None else []
        log.warning("closing %d connections: the stream's epoch is now %s (was %s)",
                    len(connections), new, old)
        for websocket in connections:
            self.broadcaster.disconnect(websocket)
            task = asyncio.ensure_future(websocket.close(
                protocol.RESET_CLOSE_CODE, protocol.reset_reason(new, start)))
            self._closing.add(task)
            task.add_done_callback(self._closing.discard)

    async def stop(self, timeout: float = config.STOP_TIMEOUT) -> None:
        try:
            await super().stop(timeout)
        finally:
            try:
                await asyncio.wait_for(asyncio.gather(*(feed.stop()
                                                        for feed in self.feeds.values())),
                                       timeout / 2)
            except TimeoutError:
                log.warning("the feed did not stop within %g s", timeout / 2)

    def session(self) -> protocol.Session:
        return protocol.Session(self.broadcaster.doc_classes,
                                self.feeds if self.sharded else self.feed, limits=self.limits)

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
                    # TooOld when the stream is of another epoch, Ahead when it is the
                    # position's and has not reached its seq.
                    await session.stream.check_ahead(position.epoch, position.seq)
                except DOWN as exc:
                    return session.stream_failed(exc)
                return session.held()
            case protocol.CatchUp(epoch, after):
                try:
                    after, sent = await self._catch_up(link.catch_up, websocket,
                                                       session.request, epoch, after,
                                                       session.stream)
                except DOWN as exc:
                    return session.stream_failed(exc)
                return session.caught_up(after, sent)
            case protocol.Register(request, acl, after):
                for sub in request.subscriptions:
                    args = sub.subscribe_args(acl, sub.start_after(after))
                    register_now(self.broadcaster.subscribe(websocket, sub.doc_class, **args))
                return None
        return await super().act(link, action)

    async def _catch_up(self, catch_up, websocket, request: protocol.Request, epoch: str,
                        after: str, feed: Feed | None = None) -> tuple[str, int]:
        """Send the backlog after ``after`` up to the position of ``feed`` (the node's one, or
        on a cluster the request's class's), once this catch-up's turn has come; returns (new
        after, events sent to the client: those its subscriptions let through). Raises
        :class:`Ahead` when ``after`` is past the stream's last seq.

        The feed goes on while the backlog is read and sent, so this repeats until it has
        reached the feed's position.
        """
        self.waiting_to_catch_up += 1
        try:
            await asyncio.wait_for(self._catch_ups.acquire(), self.catch_up_wait)
        except asyncio.TimeoutError:
            self.catch_ups_turned_away += 1
            raise Unavailable(protocol.catch_ups_busy(self.catch_up_wait)) from None
        finally:
            self.waiting_to_catch_up -= 1
        self.catching_up += 1
        try:
            return await self._send_backlog(catch_up, websocket, request, epoch, after,
                                           feed or self.feed)
        finally:
            self.catching_up -= 1
            self._catch_ups.release()

    async def _send_backlog(self, catch_up, websocket, request, epoch, after, feed):
        classes = frozenset(request.doc_classes)
        sender = catch_up.sender
        while websocket.protocol.state is OPEN:  # not gone while it waited for its turn
            upto = feed.position
            if feed.epoch != epoch:
                raise Unavailable(protocol.stream_made_anew())
            if upto is None or int(upto) <= int(after):
                if int(after) > int(upto or 0):  # past this node: is it past the stream too?
                    await feed.check_ahead(epoch, after)
                return after, catch_up.sent
            before = catch_up.sent
            try:
                async for doc, op, seq in feed.backlog(epoch, after, upto, classes=classes):
                    await catch_up.document_sent_async(doc, op, seq)
                    # Sent no faster than the client takes it: its outbox never fills up.
                    outbox = sender.outboxes.get(websocket)
                    if outbox is not None and outbox.size > sender.bound // 4:
                        if not await sender.flushed(websocket, config.SEND_CLOSE_TIMEOUT):
                            # Taking it slower than that, it would hold its turn for hours (a
                            # trickle, an event a wait): it resumes from where it got to, and
                            # the others get their turn.
                            sender.close_fallen_behind(websocket)
                    if websocket.protocol.state is not OPEN:  # gone, or fell behind
                        return after, catch_up.sent
            finally:
                self.caught_up += catch_up.sent - before
            after = upto
        return after, catch_up.sent
