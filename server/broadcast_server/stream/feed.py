"""The feed: a node's reader of the stream, which hands every event to the broadcaster and reads
the backlog a resuming client missed."""
from __future__ import annotations

import asyncio
import collections
import contextlib
import logging
import time
from typing import Any, AsyncIterator, Awaitable, Callable, Collection, ContextManager, Mapping

from redis.asyncio.retry import Retry
from redis.exceptions import OutOfMemoryError, RedisError, ResponseError

from .. import config
from ..errors import Ahead, RedisFull, Skip, StreamMismatch, TooOld, Unfit
from ..protocol import format_seq, is_stream_seq, quote, seq_number
from .connection import (DOWN, Durability, backoff, connect, last_generated, read_durability,
                         retrying)
from .entries import (FIRST_ID, Entry, Rebuild, check_page, decode, entry_id, id_number,
                      rewound)
from .scripts import ENSURE_EPOCH, NEXT_EPOCH, epoch_key, meta_key, new_epoch

__all__ = ["Feed"]

log = logging.getLogger("broadcast.feed")

Deliver = Callable[[Any, str, str], Awaitable[None]]
OnReset = Callable[[str | None, str, str], None]
Several = Callable[[], ContextManager[Any]]


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
    stream made anew (another epoch), it calls ``on_reset(old, new, start)`` (``start``: the seq
    the new epoch's events come after; it must not wait: no
    event may be handed over in between) and reads the new stream from its start. A read that
    brings several events hands them over inside ``several()``, when given (the node's sender
    then writes them to each client in one call).
    """

    def __init__(self, url: str, deliver: Deliver, rebuild: Rebuild, *,
                 stream: str = config.STREAM, block_ms: int = config.FEED_BLOCK_MS,
                 batch: int = config.FEED_BATCH, from_start: bool = False,
                 width: int = config.SEQ_WIDTH,
                 retry: Retry | None = None, on_reset: OnReset | None = None,
                 several: Several | None = None):
        # The socket timeout outlasts a blocking read; a Redis that stops answering is noticed
        # after it.
        self.client = connect(url, read_timeout=block_ms / 1000 + config.FEED_READ_SLACK)
        self.ensure_epoch = self.client.register_script(ENSURE_EPOCH)
        self.next_epoch = self.client.register_script(NEXT_EPOCH)
        self.deliver, self.rebuild, self.on_reset = deliver, rebuild, on_reset
        self.several = several
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
        self.top: int | None = None  # the stream's last seq, as last read
        self.durability: Durability | None = None  # read at start and at each reconnection
        self.failure: str | None = None  # why the feed last failed, while it is restarting
        self._lag_read: asyncio.Future | None = None
        self._lag_at = 0.0
        self.started = asyncio.Event()
        self._tried = asyncio.Event()  # set once the first read has succeeded or failed
        self._task: asyncio.Task | None = None
        # Pages of the stream read for catch-ups, shared while they are read and kept a while.
        self._pages: collections.OrderedDict[tuple, asyncio.Future] = collections.OrderedDict()

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

    def _ended(self, task: asyncio.Task) -> None:
        # Failing to start is told to the caller of start() instead.
        if not task.cancelled() and task.exception() is not None and self.started.is_set():
            log.error("the feed stopped: %s: %s", type(task.exception()).__name__,
                      task.exception())

    async def _supervise(self) -> None:
        """Run the feed; when it fails once it has started, log it and run it again after a
        backoff (the policy of every Redis retry: :func:`~.connection.backoff`), from its last
        ID. Until it reads again it is not connected: the node says it is unhealthy."""
        policy = backoff(config.RETRY_FIRST, config.RETRY_MOST)
        failures = 0
        while True:
            began = asyncio.get_running_loop().time()
            try:
                await self.run()
            except Exception as exc:
                if not self.started.is_set() and not isinstance(exc, RedisFull):
                    raise  # failing to start is the caller's to know
                self._tried.set()  # a full Redis is waited out, as an unreachable one is
                self._down()
                self.restarting = True
                self.restarts += 1
                self.failure = f"{type(exc).__name__}: {quote(str(exc), 200, repr_=False)}"
                if asyncio.get_running_loop().time() - began > config.RETRY_MOST:
                    failures = 0  # it ran a while: a new fault, not the same one
                failures += 1
                delay = policy.compute(failures)
                log.error("the feed failed (%s); restarting in %.3f s from %s", self.failure,
                          delay, self.last_id)
                await asyncio.sleep(delay)

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
            self.top = id_number(top[0][0]) if top else None
        return self.lag

    @property
    def seqs_left(self) -> int:
        """Seqs of the stream's width left after its last one (as last read): appends past the
        last are refused."""
        last = max(self.top or 0, int(self.position) if self.position else 0)
        return max(0, 10 ** self.width - 1 - last)

    async def _ensure(self) -> tuple[str, int]:
        """The stream's epoch, made when there is none, and the number of the seq its events
        come after; :class:`StreamMismatch` when its seqs are of another width than the
        feed's."""
        try:
            epoch, start = await self.ensure_epoch(
                keys=[self.stream, self.epoch_key, meta_key(self.stream)],
                args=[new_epoch(), self.width])
            return epoch, int(start)
        except OutOfMemoryError:
            raise RedisFull("Redis is out of memory (its maxmemory) and cannot make the "
                            "stream's epoch; free some or raise maxmemory") from None
        except ResponseError as exc:
            word, _, rest = str(exc).partition(" ")
            if word == "MISMATCH":
                raise StreamMismatch(rest) from None
            raise

    async def _read_durability(self) -> None:
        durability = await read_durability(self.client)
        if durability != self.durability:
            if durability.evicting:
                log.warning("%s (publishers refuse to append unless allowed)",
                            durability.eviction_warning())
            if durability.persistence == "none":
                log.warning("Redis keeps nothing across a restart (no append-only file, no "
                            "snapshots): a restart makes the stream anew, and its clients miss "
                            "what was appended before")
        self.durability = durability

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
        epoch, _ = await self._ensure()
        await self._read_durability()
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
            self._reading()  # before the first read, which may wait for events
            self.started.set()
            self._tried.set()
        if not self.connected:
            await self._read_durability()
            await self._check_kept()
        # The epoch is read with each blocking read: a stream made anew behind the feed's last
        # ID is noticed within one read's time.
        async with self.client.pipeline(transaction=False) as pipe:
            pipe.get(self.epoch_key)
            pipe.xread({self.stream: self.last_id}, count=self.batch, block=self.block_ms)
            epoch, reply = await pipe.execute()
        if epoch is None:  # the stream is gone and nobody has appended since
            epoch, _ = await self._ensure()
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
            await self.next_epoch(keys=[self.epoch_key, self.stream, meta_key(self.stream)],
                                  args=[self.epoch, new_epoch()])

    async def _lost(self, exc: Exception) -> None:
        if self.connected or not self.outages:
            self.outages += 1
            log.warning("Redis unreachable (%s: %s); retrying from %s",
                        type(exc).__name__, exc, self.last_id)
        self._down()
        self._tried.set()

    def _reading(self) -> None:
        """The feed reads the stream (again)."""
        if self.restarting:
            log.warning("the feed reads again, after %s", self.last_id)
        elif self.outages:
            log.warning("Redis reachable again; reading after %s", self.last_id)
        self.connected, self.restarting, self.down_since = True, False, None
        self.failure = None

    async def run(self) -> None:
        while True:
            epoch, reply = await self.retry.call_with_retry(self._read, self._lost)
            if not self.connected:
                self._reading()
            if epoch != self.epoch:
                # Checks the width too: the new stream may have been made with another.
                epoch, start = await self._ensure()
                self._reset(epoch, start)
                continue
            for _, entries in reply or ():
                with (self.several() if self.several is not None and len(entries) > 1
                      else contextlib.nullcontext()):
                    for entry_id_, fields in entries:
                        if fields.get("epoch") == epoch:
                            await self._hand_over(entry_id_, fields)
                        else:
                            # Left from an earlier epoch (the stream kept, its epoch lost), or
                            # appended in a later one since the epoch was read, which the next
                            # read finds and then reads the stream again from its start.
                            self.last_id = entry_id_

    def _reset(self, epoch: str, start: int) -> None:
        old, self.epoch = self.epoch, epoch
        self.resets += 1
        log.warning("the stream was made anew (epoch %s, was %s; last delivered %s): its clients "
                    "are closed to subscribe again, and the new stream is read from its start",
                    epoch, old, self.position)
        # Nothing of the new epoch handed over yet: a client that subscribes now has every
        # event up to the one the new epoch's events come after.
        self.last_id, self.last_event = FIRST_ID, None
        self.position = format_seq(start, self.width) if start else None
        self._pages.clear()
        if self.on_reset is not None:
            self.on_reset(old, epoch, format_seq(start, self.width))

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
                      classes: Collection[str] | None = None,
                      page: int = config.BACKLOG_PAGE,
                      slice_: float = config.CATCH_UP_SLICE) -> AsyncIterator[tuple[Any, str, str]]:
        """The events of ``epoch`` after seq ``after`` up to seq ``upto`` (inclusive), one by
        one, read a page at a time (only those of ``classes``, when given: the others are not
        even decoded).

        Raises :class:`TooOld` when the stream no longer holds every one of them, or holds
        another epoch. Every page is read in one transaction with the stream's epoch and
        checked on its own: events trimmed between two pages are found missing, never skipped.
        The event loop is let in whenever the caller and this have worked ``slice_`` seconds
        since it last was, so that a long catch-up delays nobody's live events.
        """
        after_n, upto_n = seq_number(after), None if upto is None else seq_number(upto)
        # Pages start at multiples of the page size: catch-ups from nearby seqs read the same
        # pages, and those read at the same time share them (see _page).
        start = f"{after_n // page * page}-0"
        follows = entry_id(after)
        clock = time.perf_counter
        began = clock()
        while True:
            read = await self._page(epoch, start, page, upto_n)
            began = clock()
            wanted = [i for i, (id_, _) in enumerate(read.entries)
                      if id_number(id_) > after_n and (upto_n is None or id_number(id_) <= upto_n)]
            past_upto = upto_n is not None and bool(read.entries) and (
                id_number(read.entries[-1][0]) >= upto_n)
            last_page = len(read.entries) < page or past_upto
            check_page(epoch, after, upto, read.current, [read.entries[i] for i in wanted],
                       last_page, read.held, follows)
            for i in wanted:
                fields = read.entries[i][1]
                if classes is None or fields.get("class") in classes:
                    event = read.event(i, self._decode)
                    if event is not None:  # skipped, and told, by the feed when it read it
                        yield event
                if clock() - began > slice_:
                    await asyncio.sleep(0)
                    began = clock()
            if last_page:
                return
            if wanted:
                follows = read.entries[wanted[-1]][0]
            start = read.entries[-1][0]

    async def _page(self, epoch: str, start: str, page: int, reach: int | None) -> "Page":
        """The page of at most ``page`` entries after ID ``start``, with the stream's epoch and
        ends read in the same transaction; when it is not full, read since the stream held seq
        ``reach``.

        A read in flight is shared by every catch-up that asks for the same page meanwhile, and
        the last full pages of the feed's epoch are kept (CATCH_UP_PAGES_KEPT of them): entries
        are never added before the stream's last, so a full page only loses entries to trimming
        afterwards, which the check of the page that follows it finds. A page that was not full
        (the stream's end) is read again by the next catch-up, which may need more of it.
        """
        key = (epoch, start, page)
        shared = self._pages.get(key)
        if shared is not None:
            self._pages.move_to_end(key)
            read = await asyncio.shield(shared)
            if len(read.entries) == page or reach is None or (
                    read.entries and id_number(read.entries[-1][0]) >= reach):
                return read
            # The stream's end, read before it reached ``reach``: it is read again.
        shared = self._pages[key] = asyncio.ensure_future(self._read_page(start, page))
        try:
            read = await asyncio.shield(shared)
        except BaseException:
            if self._pages.get(key) is shared:
                del self._pages[key]
            raise
        finally:
            while len(self._pages) > config.CATCH_UP_PAGES_KEPT:
                self._pages.popitem(last=False)
        if len(read.entries) < page or read.current != epoch or epoch != self.epoch:
            if self._pages.get(key) is shared:
                del self._pages[key]
        return read

    async def _read_page(self, start: str, page: int) -> "Page":
        async with self.client.pipeline(transaction=True) as pipe:
            pipe.xrange(self.stream, min=f"({start}", max="+", count=page)
            pipe.get(self.epoch_key)
            pipe.xrange(self.stream, count=1)
            pipe.xrevrange(self.stream, count=1)
            entries, current, first, last = await pipe.execute()
        return Page(entries, current, (first[0] if first else None, last[0] if last else None))

    async def check_ahead(self, epoch: str, after: str) -> None:
        """Raise :class:`Ahead` when the stream of ``epoch`` has not reached seq ``after`` (its
        last ever seq is before it), :class:`TooOld` when the stream is of another epoch."""
        async with self.client.pipeline(transaction=True) as pipe:
            pipe.get(self.epoch_key)
            pipe.xrange(self.stream, count=1)
            pipe.xrevrange(self.stream, count=1)
            current, first, last = await pipe.execute()
        held = (first[0] if first else None, last[0] if last else None)
        oldest, latest = (e[1].get("seq") if e else None for e in held)
        if current != epoch:
            raise TooOld(after, oldest, latest, epoch=current, reset=True)
        top = await last_generated(self.client, self.stream)
        if seq_number(after) > top:
            raise Ahead(after, latest, epoch=current)


class Page:
    """One page of the stream as read, shared by the catch-ups that read it: its entries, the
    stream's epoch and first and last entries read with it, and each entry's event, decoded the
    first time a catch-up needs it (None for an entry that cannot be handed over)."""

    __slots__ = ("entries", "current", "held", "events")

    def __init__(self, entries: list[Entry], current: str | None,
                 held: tuple[Entry | None, Entry | None]):
        self.entries, self.current, self.held = entries, current, held
        self.events: list[Any] = [_UNREAD] * len(entries)

    def event(self, i: int, decode: Callable[[Mapping[str, str]], tuple[Any, str, str]]):
        event = self.events[i]
        if event is _UNREAD:
            try:
                event = decode(self.entries[i][1])
            except Exception:
                event = None
            self.events[i] = event
        return event


_UNREAD = object()
