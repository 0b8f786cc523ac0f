"""A websocket client that follows the event stream across nodes: when its node goes away it
connects to the next one and resumes after the last seq it knows of.

It is the client-side half of the catch-up that :mod:`broadcast_server.node` serves.
"""
from __future__ import annotations

import asyncio
import json
import ssl as ssl_module
import zlib
from typing import Callable

from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake

from . import config
from .errors import Refused, Unavailable
from .protocol import RESET_CLOSE_CODE, frame, later_seq, parse_reset_reason, request
from .stream.connection import backoff

__all__ = ["ResumingClient"]


class ResumingClient:
    """One client: its subscriptions, the nodes it may use, and where it is in the stream.

    It keeps only what it needs to resume: ``after`` (the last seq it has) and ``epoch`` (the
    stream's epoch that seq belongs to). Each event goes to ``on_event(client, seq, event)``
    as it arrives (``catching_up`` is true while the events come from a node's backlog);
    ``stints`` holds one ``(node index, resumed after, events caught up)`` per connection that got
    subscribed. ``stop_when(event)`` ends :meth:`run` after that event. :meth:`run` raises
    :class:`Refused` when the client is refused (or asks for events no longer held) and
    :class:`Unavailable` when no node answers for ``give_up_after`` seconds. ``ssl`` is the
    context its ``wss://`` connections verify the nodes with (None: the system's authorities).

    After an error reply, and before trying another node, it waits with jittered backoff, so
    that the clients of a node that went away do not all come back in the same instant.

    Two things make it start over, each told to ``on_start_over(client, kind, reason)``: its
    node finds the stream made anew (``kind`` "reset": it resumes from the new stream's start,
    the position the node's close names, and gets every event the new stream holds), or it
    resumed after a seq the stream never had (``kind`` "ahead": it subscribes from now).
    """

    def __init__(self, name: str, api_key: str, subscriptions: list[dict], urls: list[str],
                 node: int = 0, *, stop_when: Callable[[dict], bool] | None = None,
                 retry_delay: float = config.CLIENT_RETRY_DELAY,
                 retry_most: float = config.CLIENT_RETRY_MOST,
                 give_up_after: float = config.CLIENT_GIVE_UP_AFTER,
                 on_event: Callable[["ResumingClient", str, dict], None] | None = None,
                 on_start_over: Callable[["ResumingClient", str, str], None] | None = None,
                 ssl: ssl_module.SSLContext | None = None):
        self.name, self.api_key, self.subscriptions = name, api_key, subscriptions
        self.urls, self.node = list(urls), node
        self.stop_when, self.on_event, self.on_start_over = stop_when, on_event, on_start_over
        self.give_up_after = give_up_after
        self.ssl = ssl  # for wss:// URLs: whom to trust (None: the system's authorities)
        self.backoff = backoff(retry_delay, retry_most)
        self.after: str | None = None  # resume after this seq next time
        self.epoch: str | None = None  # of the stream ``after`` belongs to
        self.stints: list[tuple[int, str | None, int]] = []
        self.catching_up = False
        self.resets = 0  # times its node closed the connection for a stream made anew
        self.aheads = 0  # times it was told it had resumed after a seq the stream never had
        self.refused: str | None = None
        self.subscribed = asyncio.Event()
        self.ws = None
        self._leave = False
        self._failures = 0

    def leave(self) -> None:
        """Hang up for good (the connection closes normally)."""
        self._leave = True
        if self.ws is not None:
            asyncio.ensure_future(self.ws.close())

    async def _wait(self) -> float:
        """Wait before the next try; returns how long."""
        self._failures += 1
        delay = self.backoff.compute(self._failures)
        await asyncio.sleep(delay)
        return delay

    async def run(self) -> "ResumingClient":
        waited = 0.0
        while not self._leave:
            try:
                if await self._one_connection():
                    return self
                waited = 0.0
            except ConnectionClosed as exc:
                if exc.rcvd is not None and exc.rcvd.code == RESET_CLOSE_CODE:
                    # What it had is gone from the stream: from the new stream's start (from
                    # now, when the node names none), on the same node.
                    self.after = self.epoch = None
                    start = parse_reset_reason(exc.rcvd.reason)
                    if start is not None:
                        self.epoch, self.after = start
                    self.resets += 1
                    self._started_over("reset", exc.rcvd.reason or "the stream was made anew")
                    await asyncio.sleep(self.backoff.compute(1))
                    continue
            except (OSError, InvalidHandshake, asyncio.TimeoutError):
                pass
            if self._leave:
                break
            if self.refused is not None:
                raise Refused(f"{self.name}: {self.refused}", self.api_key)
            # This node is gone (or not answering): another one. Clients of one node spread
            # over the others, each always the same way.
            step = 1 + zlib.crc32(self.name.encode()) % max(1, len(self.urls) - 1)
            self.node = (self.node + step) % len(self.urls)
            waited += await self._wait()
            if waited > self.give_up_after:
                raise Unavailable(f"{self.name}: no node answered for {self.give_up_after:g} s")
        return self

    async def _one_connection(self) -> bool:
        """One connection, up to its end; True when the client is done."""
        url = self.urls[self.node]
        tls = {"ssl": self.ssl} if self.ssl is not None and url.startswith("wss:") else {}
        async with connect(url, open_timeout=config.CLIENT_OPEN_TIMEOUT,
                           close_timeout=config.CLIENT_CLOSE_TIMEOUT, **tls) as ws:
            self.ws = ws
            try:
                await ws.recv()  # welcome
                await ws.send(self._request())
                resumed_after = self.after
                self.catching_up = resumed_after is not None
                async for raw in ws:
                    message = json.loads(raw)
                    kind = message.get("type")
                    if kind is None:
                        # A node sends the backlog before its reply, the live events after it.
                        if self._take(message):
                            return True
                    elif kind == "subscribed":
                        self.catching_up = False
                        self._failures = 0
                        self.stints.append((self.node, resumed_after,
                                            message.get("caught_up", 0)))
                        if message.get("epoch") != self.epoch:
                            self.after, self.epoch = None, message.get("epoch")
                        self.after = later_seq(self.after, message.get("after_seq"))
                        self.subscribed.set()
                    elif kind == "error":  # the stream or the auth service is away for now
                        await self._wait()
                        resumed_after = self.after
                        await ws.send(self._request())
                    elif kind == "ahead":  # it cannot have had that seq: from now on, then
                        self.after = self.epoch = resumed_after = None
                        self.catching_up = False
                        self.aheads += 1
                        self._started_over("ahead", message.get("reason") or raw)
                        await ws.send(self._request())
                    else:  # refused, or too old to catch up
                        self.refused = message.get("reason") or raw
                        return False
                return self._leave
            finally:
                self.ws = None

    def _started_over(self, kind: str, reason: str) -> None:
        if self.on_start_over is not None:
            self.on_start_over(self, kind, reason)

    def _request(self) -> str:
        return frame(request(self.api_key, self.subscriptions, self.after, self.epoch))

    def _take(self, event: dict) -> bool:
        seq = event["seq"]
        self.after = later_seq(self.after, seq)
        if self.on_event is not None:
            self.on_event(self, seq, event)
        return self.stop_when is not None and self.stop_when(event)
