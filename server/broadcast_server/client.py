"""A websocket client that follows the event stream across nodes: when its node goes away it
connects to the next one and resumes after the last seq it knows of.

It is the client-side half of the catch-up that :mod:`broadcast_server.node` serves.
"""
from __future__ import annotations

import asyncio
import json
import zlib
from typing import Callable

from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake

from . import config
from .errors import Refused, Unavailable
from .protocol import frame, later_seq, request

__all__ = ["ResumingClient"]


class ResumingClient:
    """One client: its subscriptions, the nodes it may use, and everything it received.

    ``events`` holds (seq, decoded event) in the order received; ``stints`` one
    ``(node index, resumed after, events caught up)`` per connection that got subscribed.
    ``stop_when(event)`` ends :meth:`run` after that event. :meth:`run` raises
    :class:`Refused` when the client is refused (or asks for events no longer held) and
    :class:`Unavailable` when no node answers for ``give_up_after`` seconds.
    """

    def __init__(self, name: str, api_key: str, subscriptions: list[dict], urls: list[str],
                 node: int = 0, *, stop_when: Callable[[dict], bool] | None = None,
                 retry_delay: float = config.CLIENT_RETRY_DELAY,
                 give_up_after: float = config.CLIENT_GIVE_UP_AFTER,
                 on_event: Callable[["ResumingClient", str, dict], None] | None = None):
        self.name, self.api_key, self.subscriptions = name, api_key, subscriptions
        self.urls, self.node = list(urls), node
        self.stop_when, self.on_event = stop_when, on_event
        self.retry_delay, self.give_up_after = retry_delay, give_up_after
        self.events: list[tuple[str, dict]] = []
        self.after: str | None = None  # resume after this seq next time
        self.stints: list[tuple[int, str | None, int]] = []
        self._seen: set[str] = set()
        self.caught_up: set[str] = set()  # seqs that came from a node's backlog
        self.duplicates = 0
        self.out_of_order = 0
        self.refused: str | None = None
        self.subscribed = asyncio.Event()
        self.ws = None
        self._leave = False

    @property
    def seqs(self) -> list[str]:
        return [seq for seq, _ in self.events]

    def leave(self) -> None:
        """Hang up for good (the connection closes normally)."""
        self._leave = True
        if self.ws is not None:
            asyncio.ensure_future(self.ws.close())

    async def run(self) -> "ResumingClient":
        waited = 0.0
        while not self._leave:
            try:
                if await self._one_connection():
                    return self
                waited = 0.0
            except (OSError, ConnectionClosed, InvalidHandshake, asyncio.TimeoutError):
                pass
            if self._leave:
                break
            if self.refused is not None:
                raise Refused(f"{self.name}: {self.refused}", self.api_key)
            # This node is gone (or not answering): another one. Clients of one node spread
            # over the others, each always the same way.
            step = 1 + zlib.crc32(self.name.encode()) % max(1, len(self.urls) - 1)
            self.node = (self.node + step) % len(self.urls)
            await asyncio.sleep(self.retry_delay)
            waited += self.retry_delay
            if waited > self.give_up_after:
                raise Unavailable(f"{self.name}: no node answered for {self.give_up_after:g} s")
        return self

    async def _one_connection(self) -> bool:
        """One connection, up to its end; True when the client is done."""
        async with connect(self.urls[self.node], open_timeout=config.CLIENT_OPEN_TIMEOUT,
                           close_timeout=config.CLIENT_CLOSE_TIMEOUT) as ws:
            self.ws = ws
            try:
                await ws.recv()  # welcome
                await ws.send(self._request())
                resumed_after, subscribed = self.after, False
                async for raw in ws:
                    message = json.loads(raw)
                    kind = message.get("type")
                    if kind is None:
                        # A node sends the backlog before its reply, the live events after it.
                        if resumed_after is not None and not subscribed:
                            self.caught_up.add(message["seq"])
                        if self._take(message):
                            return True
                    elif kind == "subscribed":
                        subscribed = True
                        self.stints.append((self.node, resumed_after,
                                            message.get("caught_up", 0)))
                        self._advance(message.get("after_seq"))
                        self.subscribed.set()
                    elif kind == "error":  # the stream or the auth service is away for now
                        await asyncio.sleep(self.retry_delay)
                        resumed_after = self.after
                        await ws.send(self._request())
                    else:  # refused, or too old to catch up
                        self.refused = message.get("reason") or raw
                        return False
                return self._leave
            finally:
                self.ws = None

    def _request(self) -> str:
        return frame(request(self.api_key, self.subscriptions, self.after))

    def _advance(self, seq: str | None) -> None:
        self.after = later_seq(self.after, seq)

    def _take(self, event: dict) -> bool:
        seq = event["seq"]
        if seq in self._seen:
            self.duplicates += 1
        elif self.events and int(seq) < int(self.events[-1][0]):
            self.out_of_order += 1
        self._seen.add(seq)
        self.events.append((seq, event))
        self._advance(seq)
        if self.on_event is not None:
            self.on_event(self, seq, event)
        return self.stop_when is not None and self.stop_when(event)
