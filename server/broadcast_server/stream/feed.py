"""The feed: a node's reader of the stream, which hands every event to the broadcaster and reads
the backlog a resuming client missed."""
from __future__ import annotations

import asyncio
import logging
from typing import Any, Awaitable, Callable, Mapping

from redis.asyncio.retry import Retry

from .. import config
from ..protocol import seq_number
from .connection import connect, last_generated, retrying
from .entries import FIRST_ID, Rebuild, check_held, decode, entry_id, id_number

__all__ = ["Feed"]

log = logging.getLogger("broadcast.feed")

Deliver = Callable[[Any, str, str], Awaitable[None]]


class Feed:
    """Reads the stream from its last ID and hands each event to ``deliver(doc, op, seq)``.

    ``position`` is the seq of the last event handed over (it is set before the hand-over
    starts, so an event being fanned out counts as delivered). While Redis is unreachable the
    feed retries with backoff and then goes on from its last ID: the node keeps serving the
    connections it has meanwhile.
    """

    def __init__(self, url: str, deliver: Deliver, rebuild: Rebuild, *,
                 stream: str = config.STREAM, block_ms: int = config.FEED_BLOCK_MS,
                 batch: int = config.FEED_BATCH, from_start: bool = False,
                 retry: Retry | None = None):
        # The socket timeout outlasts a blocking read; a Redis that stops answering is noticed
        # after it.
        self.client = connect(url, read_timeout=block_ms / 1000 + config.FEED_READ_SLACK)
        self.deliver, self.rebuild = deliver, rebuild
        self.stream, self.block_ms, self.batch = stream, block_ms, batch
        self.from_start = from_start
        self.retry = retry or retrying()
        self.last_id: str | None = None
        self.position: str | None = None
        self.delivered = 0
        self.undecodable = 0
        self.outages = 0  # times Redis went away while the feed was reading
        self.connected = False
        self.started = asyncio.Event()
        self._task: asyncio.Task | None = None

    async def start(self) -> "Feed":
        self._task = asyncio.create_task(self.run(), name="feed")
        await self.started.wait()
        return self

    async def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()
            try:
                await self._task
            except asyncio.CancelledError:
                pass
            self._task = None
        await self.client.aclose()

    async def _find_start(self) -> None:
        """Start after the stream's last entry (or at its beginning with ``from_start``)."""
        if self.from_start:
            self.last_id = FIRST_ID
            return
        last = await self.client.xrevrange(self.stream, count=1)
        if last:
            self.last_id, fields = last[0]
            self.position = fields.get("seq")
        else:
            self.last_id = f"{await last_generated(self.client, self.stream)}-0"

    async def _read(self):
        if self.last_id is None:
            await self._find_start()
            self.started.set()
        return await self.client.xread({self.stream: self.last_id}, count=self.batch,
                                       block=self.block_ms)

    async def _lost(self, exc: Exception) -> None:
        if self.connected or not self.outages:
            self.outages += 1
            log.warning("Redis unreachable (%s: %s); retrying from %s",
                        type(exc).__name__, exc, self.last_id)
        self.connected = False

    async def run(self) -> None:
        while True:
            reply = await self.retry.call_with_retry(self._read, self._lost)
            if not self.connected:
                if self.outages:
                    log.warning("Redis reachable again; reading after %s", self.last_id)
                self.connected = True
            for _, entries in reply or ():
                for entry_id_, fields in entries:
                    await self._hand_over(entry_id_, fields)

    async def _hand_over(self, entry_id_: str, fields: Mapping[str, str]) -> None:
        self.last_id = entry_id_
        try:
            doc, op, seq = decode(fields, self.rebuild)
        except (KeyError, ValueError, TypeError) as exc:
            self.undecodable += 1
            log.error("stream entry %s skipped: %s", entry_id_, exc)
            return
        self.position = seq
        self.delivered += 1
        try:
            await self.deliver(doc, op, seq)
        except Exception:  # one bad event (or hook) must not stop the feed
            log.exception("delivering %s failed", seq)

    async def backlog(self, after: str, upto: str | None = None, *,
                      page: int = config.BACKLOG_PAGE) -> list[tuple[Any, str, str]]:
        """The events after seq ``after`` up to seq ``upto`` (inclusive), from the stream.

        Raises :class:`TooOld` when the stream no longer holds every one of them; the range
        and the stream's trimming mark are read in one transaction, so nothing can be trimmed
        in between.
        """
        low = seq_number(after) + 1
        high = "+" if upto is None else entry_id(upto)
        events: list[tuple[Any, str, str]] = []
        first = True
        while True:
            async with self.client.pipeline(transaction=True) as pipe:
                pipe.xrange(self.stream, min=f"{low}-0", max=high, count=page)
                if first:
                    pipe.exists(self.stream)
                    pipe.xinfo_stream(self.stream)
                results = await pipe.execute(raise_on_error=False)
            entries = results[0]
            if isinstance(entries, Exception):
                raise entries
            if first:
                first = False
                check_held(after, upto, results[1], results[2])
            for _, fields in entries:
                try:
                    events.append(decode(fields, self.rebuild))
                except (KeyError, ValueError, TypeError):
                    self.undecodable += 1
            if len(entries) < page:
                return events
            low = id_number(entries[-1][0]) + 1
