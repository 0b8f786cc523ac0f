"""The feed: a node's reader of the stream, which hands every event to the broadcaster and reads
the backlog a resuming client missed."""
from __future__ import annotations

import asyncio
import collections
import logging
import time
from typing import Any, Awaitable, Callable, Mapping

from redis.asyncio.retry import Retry
from redis.exceptions import RedisError

from .. import config
from ..errors import Skip, Unfit
from ..protocol import is_stream_seq, quote
from .connection import DOWN, connect, last_generated, retrying
from .entries import FIRST_ID, Rebuild, check_page, decode, entry_id, id_number, rewound
from .scripts import ENSURE_EPOCH, NEXT_EPOCH, epoch_key, new_epoch

__all__ = ["Feed"]

log = logging.getLogger("broadcast.feed")

Deliver = Callable[[Any, str, str], Awaitable[None]]
OnReset = Callable[[str | None, str], None]


def why(exc: BaseException) -> str:
    """One short line for an exception: never a payload dump."""
    if isinstance(exc, Unfit):
        return f"{exc.reason}: {quote(str(exc), 300, repr_=False)}"
    if isinstance(exc, KeyError):
        return f"no field {quote(str(exc.args[0]) if exc.args else '')}"
    return f"{type(exc).__name__}: {quote(str(exc), 200, repr_=False)}"


class Feed:
    """Reads the stream from its last ID and hands each event to ``deliver(doc, op, seq)``.

    ``position`` is the seq of the last event handed over (it is set before the hand-over
    starts, so an event being fanned out counts as delivered), ``epoch`` the epoch of the
    stream it reads. While Redis is unreachable the feed retries with backoff and then goes on
    from its last ID: the node keeps serving the connections it has meanwhile. When it finds the
    stream made anew (another epoch), it calls ``on_reset(old, new)`` (which must not wait: no
    event may be handed over in between) and reads the new stream from its start.
    """

    def __init__(self, url: str, deliver: Deliver, rebuild: Rebuild, *,
                 stream: str = config.STREAM, block_ms: int = config.FEED_BLOCK_MS,
                 batch: int = config.FEED_BATCH, from_start: bool = False,
                 width: int = config.SEQ_WIDTH,
                 retry: Retry | None = None, on_reset: OnReset | None = None):
        # The socket timeout outlasts a blocking read; a Redis that stops answering is noticed
        # after it.
        self.client = connect(url, read_timeout=block_ms / 1000 + config.FEED_READ_SLACK)
        self.ensure_epoch = self.client.register_script(ENSURE_EPOCH)
        self.next_epoch = self.client.register_script(NEXT_EPOCH)
        self.deliver, self.rebuild, self.on_reset = deliver, rebuild, on_reset
        self.stream, self.block_ms, self.batch, self.width = stream, block_ms, batch, width
        self.epoch_key = epoch_key(stream)
        self.from_start = from_start
        self.retry = retry or retrying()
        self.last_id: str | None = None
        self.last_event: str | None = None  # the id of the event at ``last_id``
        self.position: str | None = None
        self.epoch: str | None = None
        self.delivered = 0
        self.skipped = 0  # entries that could not be handed over, each logged once
        self.skipped_by: collections.Counter[str] = collections.Counter()  # by why
        self.restarts = 0  # times the feed's task failed and was started again
        self.outages = 0  # times Redis went away while the feed was reading
        self.resets = 0  # times the stream was found made anew
        self.connected = False
        self.down_since: float | None = None  # time.monotonic() when it last stopped reading
        self.restarting = False  # failed, and not reading again yet
        self.lag: int | None = None  # events behind the stream's last, as last read
        self._lag_read: asyncio.Future | None = None
        self._lag_at = 0.0
        self.started = asyncio.Event()
        self._tried = asyncio.Event()  # set once the first read has succeeded or failed
        self._task: asyncio.Task | None = None

    async def start(self) -> "Feed":
        """Start reading; returns once the feed knows where it starts, or Redis failed to
        answer once (it goes on trying: a node serves, and says it cannot catch up, meanwhile)."""
        self._task = asyncio.create_task(self._supervise(), name="feed")
        self._task.add_done_callback(self._ended)
        tried = asyncio.create_task(self._tried.wait())
        await asyncio.wait({self._task, tried}, return_when=asyncio.FIRST_COMPLETED)
        tried.cancel()
        if self._task.done():  # not an outage but an error (a key of another type, ...)
            self._task.result()
        return self

    @staticmethod
    def _ended(task: asyncio.Task) -> None:
        if not task.cancelled() and task.exception() is not None:
            log.error("the feed stopped: %s: %s", type(task.exception()).__name__,
                      task.exception())

    async def _supervise(self) -> None:
        """Run the feed; when it fails once it has started, log it and run it again after a
        backoff, from its last ID. Until it reads again it is not connected: the node says it is
        unhealthy."""
        delay = config.RETRY_FIRST
        while True:
            began = asyncio.get_running_loop().time()
            try:
                await self.run()
            except Exception as exc:
                if not self.started.is_set():
                    raise  # failing to start is the caller's to know
                self._down()
                self.restarting = True
                self.restarts += 1
                if asyncio.get_running_loop().time() - began > config.RETRY_MOST:
                    delay = config.RETRY_FIRST  # it ran a while: a new fault, not the same one
                log.error("the feed failed (%s: %s); restarting in %.2f s from %s",
                          type(exc).__name__, quote(str(exc), 200, repr_=False), delay,
                          self.last_id)
                await asyncio.sleep(delay)
                delay = min(2 * delay, config.RETRY_MOST)

    @property
    def running(self) -> bool:
        """Whether the feed's task is alive (reading, retrying or about to restart)."""
        return self._task is not None and not self._task.done()

    def _down(self) -> None:
        self.connected = False
        if self.down_since is None:
            self.down_since = time.monotonic()

    async def read_lag(self, cache: float = config.LAG_CACHE) -> int | None:
        """How many events the feed is behind the stream's last entry (None while it does not
        read the stream). Read from Redis at most once per ``cache`` seconds, however many ask."""
        if not self.connected:
            self.lag = None
            return None
        if self._lag_read is None or (self._lag_read.done()
                                      and time.monotonic() - self._lag_at > cache):
            self._lag_at = time.monotonic()
            self._lag_read = asyncio.ensure_future(self._read_lag())
        return await asyncio.shield(self._lag_read)

    async def _read_lag(self) -> int | None:
        try:
            top = await asyncio.wait_for(self.client.xrevrange(self.stream, count=1),
                                         config.REDIS_CONNECT_TIMEOUT)
        except (*DOWN, RedisError):  # the feed tells of what befell Redis itself
            self.lag = None
        else:
            # Stream IDs are the seqs: the difference counts the events still to read.
            last = self.last_id or FIRST_ID
            self.lag = max(0, id_number(top[0][0]) - id_number(last)) if top else 0
        return self.lag

    async def stop(self) -> None:
        if self._lag_read is not None:
            self._lag_read.cancel()
        if self._task is not None:
            self._task.cancel()
            try:
                await self._task
            except asyncio.CancelledError:
                pass
            except Exception:  # told when it happened
                pass
            self._task = None
        await self.client.aclose()

    async def _find_start(self) -> None:
        """Start after the stream's last entry (or at its beginning with ``from_start``)."""
        epoch = await self.ensure_epoch(keys=[self.stream, self.epoch_key], args=[new_epoch()])
        last = await self.client.xrevrange(self.stream, count=1)
        self.epoch = epoch
        if self.from_start:
            self.last_id = FIRST_ID
        elif last:
            self.last_id, fields = last[0]
            self.last_event, self.position = fields.get("id"), fields.get("seq")
        else:
            self.last_id = f"{await last_generated(self.client, self.stream)}-0"

    async def _read(self):
        if self.last_id is None:
            await self._find_start()
            self.connected = True
            self.started.set()
            self._tried.set()
        if not self.connected:
            await self._check_kept()
        # The epoch is read with each blocking read: a stream made anew behind the feed's last
        # ID is noticed within one read's time.
        async with self.client.pipeline(transaction=False) as pipe:
            pipe.get(self.epoch_key)
            pipe.xread({self.stream: self.last_id}, count=self.batch, block=self.block_ms)
            epoch, reply = await pipe.execute()
        if epoch is None:  # the stream is gone and nobody has appended since
            epoch = await self.ensure_epoch(keys=[self.stream, self.epoch_key],
                                            args=[new_epoch()])
        return epoch, reply

    async def _check_kept(self) -> None:
        """After an outage: when Redis came back without the last entries the feed delivered,
        their seqs may be given to other events; the stream gets a new epoch, so that no client
        resumes across the loss."""
        async with self.client.pipeline(transaction=True) as pipe:
            pipe.get(self.epoch_key)
            pipe.xrange(self.stream, min=self.last_id, max=self.last_id, count=1)
            pipe.xrevrange(self.stream, count=1)
            epoch, at_last, top = await pipe.execute()
        if epoch == self.epoch and rewound(self.last_id, self.last_event, at_last, top):
            log.warning("the stream came back without entry %s, the last one delivered: it gets "
                        "a new epoch", self.last_id)
            await self.next_epoch(keys=[self.epoch_key], args=[self.epoch, new_epoch()])

    async def _lost(self, exc: Exception) -> None:
        if self.connected or not self.outages:
            self.outages += 1
            log.warning("Redis unreachable (%s: %s); retrying from %s",
                        type(exc).__name__, exc, self.last_id)
        self._down()
        self._tried.set()

    async def run(self) -> None:
        while True:
            epoch, reply = await self.retry.call_with_retry(self._read, self._lost)
            if not self.connected:
                if self.restarting:
                    log.warning("the feed reads again, after %s", self.last_id)
                elif self.outages:
                    log.warning("Redis reachable again; reading after %s", self.last_id)
                self.connected, self.restarting, self.down_since = True, False, None
            if epoch != self.epoch:
                self._reset(epoch)
                continue
            for _, entries in reply or ():
                for entry_id_, fields in entries:
                    if fields.get("epoch") == epoch:
                        await self._hand_over(entry_id_, fields)
                    else:
                        # Left from an earlier epoch (the stream kept, its epoch lost), or
                        # appended in a later one since the epoch was read, which the next
                        # read finds and then reads the stream again from its start.
                        self.last_id = entry_id_

    def _reset(self, epoch: str) -> None:
        old, self.epoch = self.epoch, epoch
        self.resets += 1
        log.warning("the stream was made anew (epoch %s, was %s; last delivered %s): its clients "
                    "are closed to subscribe again, and the new stream is read from its start",
                    epoch, old, self.position)
        self.last_id, self.last_event, self.position = FIRST_ID, None, None
        if self.on_reset is not None:
            self.on_reset(old, epoch)

    async def _hand_over(self, entry_id_: str, fields: Mapping[str, str]) -> None:
        self.last_id, self.last_event = entry_id_, fields.get("id")
        try:
            doc, op, seq = self._decode(fields)
        except Exception as exc:  # one entry must not stop the feed: RecursionError included
            self.skipped += 1
            self.skipped_by[exc.reason if isinstance(exc, Unfit) else Skip.BAD_ENTRY] += 1
            log.error("stream entry %s skipped: %s", entry_id_, why(exc))
            return
        self.position = seq
        self.delivered += 1
        try:
            await self.deliver(doc, op, seq)
        except Exception:  # one bad event (or hook) must not stop the feed
            log.exception("delivering %s failed", seq)

    def _decode(self, fields: Mapping[str, str]) -> tuple[Any, str, str]:
        doc, op, seq = decode(fields, self.rebuild)
        # The broadcaster compares seqs as text: one of another width would misorder events.
        if not is_stream_seq(seq, self.width):
            raise ValueError(f"seq {quote(str(seq))} is not {self.width} decimal digits")
        return doc, op, seq

    async def backlog(self, epoch: str, after: str, upto: str | None = None, *,
                      page: int = config.BACKLOG_PAGE) -> list[tuple[Any, str, str]]:
        """The events of ``epoch`` after seq ``after`` up to seq ``upto`` (inclusive).

        Raises :class:`TooOld` when the stream no longer holds every one of them, or holds
        another epoch. Every page is read in one transaction with the stream's epoch and
        checked on its own: events trimmed between two pages are found missing, never skipped.
        """
        start = f"({entry_id(after)}"
        high = "+" if upto is None else entry_id(upto)
        events: list[tuple[Any, str, str]] = []
        follows = entry_id(after)
        while True:
            async with self.client.pipeline(transaction=True) as pipe:
                pipe.xrange(self.stream, min=start, max=high, count=page)
                pipe.get(self.epoch_key)
                pipe.xrange(self.stream, count=1)
                pipe.xrevrange(self.stream, count=1)
                entries, current, first, last = await pipe.execute()
            held = (first[0] if first else None, last[0] if last else None)
            last_page = len(entries) < page
            check_page(epoch, after, upto, current, entries, last_page, held, follows)
            for _, fields in entries:
                try:
                    events.append(self._decode(fields))
                except Exception:  # skipped, and told, by the feed when it read it
                    pass
            if last_page:
                return events
            follows = entries[-1][0]
            start = f"({entries[-1][0]}"

