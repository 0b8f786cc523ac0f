"""Document events through a Redis stream: the publisher that appends them, the feed that reads them.

One stream holds every document event, in seq order. Each entry has the fields

* ``seq``: the event's sequence, a zero-padded decimal string (the broadcaster compares
  sequences as strings); the entry's stream ID is ``<seq as a number>-0``, so Redis itself
  refuses an entry that is not after the last one, and a node can find any seq by its ID;
  seqs are consecutive (the publisher numbers events one after the other), which is how a
  node tells that the stream has trimmed events a client asks for;
* ``class``: the document's class name, ``data``: the document's data as JSON (enough for the
  engine to rebuild it), ``op``: create, update or delete.

The stream is capped (``MAXLEN ~``): what it still holds is what a reconnecting client can catch
up on. Every node reads the whole stream with blocking reads from the last ID it delivered, so
nodes on other machines only need to point at the same Redis.
"""
from __future__ import annotations

import asyncio
import json
import logging
import time
from typing import Any, Awaitable, Callable, Mapping

import redis.asyncio as aioredis
from redis.asyncio.retry import Retry
from redis.backoff import NoBackoff
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import ResponseError, TimeoutError as RedisTimeoutError

__all__ = ["STREAM", "MAXLEN", "Publisher", "Feed", "TooOld", "Unreachable", "rebuilder",
           "encode", "decode", "next_seq", "connect"]

STREAM = "broadcast:events"
MAXLEN = 100_000  # entries kept, approximately (Redis trims whole blocks)
# What a lost or restarting Redis looks like from the client; everything else is a real error.
DOWN = (RedisConnectionError, RedisTimeoutError, OSError, asyncio.TimeoutError)

log = logging.getLogger("broadcast.feed")


class TooOld(Exception):
    """The stream no longer holds every event after the requested seq."""

    def __init__(self, after: str, oldest: str | None, latest: str | None):
        self.after, self.oldest, self.latest = after, oldest, latest
        held = f"it now holds {oldest} to {latest}" if oldest else "it now holds nothing"
        super().__init__(f"events after {after} are no longer held ({held}); subscribe again "
                         f"without resume_after to get the events from now on")


class Unreachable(Exception):
    """Redis did not answer within the time allowed."""


def connect(url: str, *, read_timeout: float | None = None) -> aioredis.Redis:
    """An asyncio client (with hiredis as its parser when installed).

    The client's own retries are off: a command retried behind our back could append an event
    twice; the publisher and the feed retry themselves, knowing what was done.
    """
    return aioredis.Redis.from_url(url, decode_responses=True, socket_connect_timeout=2.0,
                                   socket_timeout=read_timeout, retry=Retry(NoBackoff(), 0))


def next_seq(seq: str) -> str:
    """The seq right after ``seq``, as wide as it."""
    return str(int(seq) + 1).zfill(len(seq))


def _number(seq: str) -> int:
    if not isinstance(seq, str) or not seq.isdigit() or not seq.isascii():
        raise ValueError(f"a seq is a string of decimal digits, not {seq!r}")
    return int(seq)


def _entry_id(seq: str) -> str:
    return f"{_number(seq)}-0"


def encode(doc, op: str, seq: str) -> dict[str, str]:
    return {"seq": seq, "class": type(doc).__name__, "op": op,
            "data": json.dumps(doc.data, ensure_ascii=False)}


def rebuilder(classes: Mapping[str, Callable[..., Any]]):
    """Rebuild a document from its class name and data: ``classes[name](**data)``."""
    def rebuild(class_name: str, data: dict):
        try:
            cls = classes[class_name]
        except KeyError:
            raise ValueError(f"unknown document class {class_name!r}") from None
        return cls(**data)
    return rebuild


def decode(fields: Mapping[str, str], rebuild) -> tuple[Any, str, str]:
    """(document, op, seq) from one stream entry."""
    return rebuild(fields["class"], json.loads(fields["data"])), fields["op"], fields["seq"]


class Backoff:
    """Waits that double from ``first`` up to ``most`` seconds; reset after a success."""

    def __init__(self, first: float = 0.05, most: float = 2.0):
        self.first, self.most, self.next = first, most, first

    async def wait(self) -> None:
        await asyncio.sleep(self.next)
        self.next = min(self.next * 2, self.most)

    def reset(self) -> None:
        self.next = self.first


async def _last_generated(client, stream: str) -> int:
    try:
        info = await client.xinfo_stream(stream)
    except ResponseError as exc:
        if "no such key" in str(exc).lower():
            return 0
        raise
    return int(str(info["last-generated-id"]).split("-")[0])


class Publisher:
    """Appends document events to the stream, each after the last.

    ``publish`` retries while Redis is unreachable (with backoff, up to ``retry_for`` seconds,
    then raises :class:`Unreachable`). An append whose reply was lost is not appended twice:
    the retry finds the entry there.
    """

    def __init__(self, url: str, stream: str = STREAM, *, maxlen: int = MAXLEN, width: int = 8,
                 retry_for: float = 60.0):
        self.client = connect(url, read_timeout=5.0)
        self.stream, self.maxlen, self.width, self.retry_for = stream, maxlen, width, retry_for
        self.last: int | None = None  # the last seq appended, as a number
        self.retries = 0

    async def publish(self, doc, op: str, seq: str | None = None) -> str:
        """Append one event; ``seq`` defaults to the one after the stream's last."""
        fields = None
        backoff, deadline, attempt = Backoff(), time.monotonic() + self.retry_for, 0
        while True:
            try:
                if seq is None:
                    if self.last is None:
                        self.last = await _last_generated(self.client, self.stream)
                    seq = str(self.last + 1).zfill(self.width)
                if fields is None:
                    fields = encode(doc, op, seq)
                await self.client.xadd(self.stream, fields, id=_entry_id(seq),
                                       maxlen=self.maxlen, approximate=True)
                break
            except ResponseError as exc:
                if "equal or smaller" not in str(exc):
                    raise
                top = await _last_generated(self.client, self.stream)
                # A retry that finds its own entry on top: the first attempt went through.
                if attempt and top == _number(seq):
                    break
                raise ValueError(f"seq {seq} is not after the stream's last ({top})") from None
            except DOWN as exc:
                attempt += 1
                self.retries += 1
                if time.monotonic() > deadline:
                    raise Unreachable(f"Redis unreachable for {self.retry_for:g} s "
                                      f"({type(exc).__name__}: {exc})") from exc
                await backoff.wait()
        self.last = _number(seq)
        return seq

    async def close(self) -> None:
        await self.client.aclose()


Deliver = Callable[[Any, str, str], Awaitable[None]]


class Feed:
    """Reads the stream from its last ID and hands each event to ``deliver(doc, op, seq)``.

    ``position`` is the seq of the last event handed over (it is set before the hand-over
    starts, so an event being fanned out counts as delivered). While Redis is unreachable the
    feed retries with backoff and then goes on from its last ID: the node keeps serving the
    connections it has meanwhile.
    """

    def __init__(self, url: str, deliver: Deliver, rebuild, *, stream: str = STREAM,
                 block_ms: int = 1000, batch: int = 500, from_start: bool = False):
        # The socket timeout outlasts a blocking read; a Redis that stops answering is noticed
        # after it.
        self.client = connect(url, read_timeout=block_ms / 1000 + 5.0)
        self.deliver, self.rebuild = deliver, rebuild
        self.stream, self.block_ms, self.batch = stream, block_ms, batch
        self.from_start = from_start
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
            self.last_id = "0-0"
            return
        last = await self.client.xrevrange(self.stream, count=1)
        if last:
            self.last_id, fields = last[0]
            self.position = fields.get("seq")
        else:
            self.last_id = f"{await _last_generated(self.client, self.stream)}-0"

    async def run(self) -> None:
        backoff = Backoff()
        while True:
            try:
                if self.last_id is None:
                    await self._find_start()
                    self.started.set()
                reply = await self.client.xread({self.stream: self.last_id}, count=self.batch,
                                                block=self.block_ms)
            except asyncio.CancelledError:
                raise
            except DOWN as exc:
                if self.connected or not self.outages:
                    self.outages += 1
                    log.warning("Redis unreachable (%s: %s); retrying from %s",
                                type(exc).__name__, exc, self.last_id)
                self.connected = False
                await backoff.wait()
                continue
            if not self.connected:
                if self.outages:
                    log.warning("Redis reachable again; reading after %s", self.last_id)
                self.connected = True
            backoff.reset()
            for _, entries in reply or ():
                for entry_id, fields in entries:
                    await self._hand_over(entry_id, fields)

    async def _hand_over(self, entry_id: str, fields: Mapping[str, str]) -> None:
        self.last_id = entry_id
        try:
            doc, op, seq = decode(fields, self.rebuild)
        except (KeyError, ValueError, TypeError) as exc:
            self.undecodable += 1
            log.error("stream entry %s skipped: %s", entry_id, exc)
            return
        self.position = seq
        self.delivered += 1
        try:
            await self.deliver(doc, op, seq)
        except Exception:  # one bad event (or hook) must not stop the feed
            log.exception("delivering %s failed", seq)

    async def backlog(self, after: str, upto: str | None = None, *,
                      page: int = 1000) -> list[tuple[Any, str, str]]:
        """The events after seq ``after`` up to seq ``upto`` (inclusive), from the stream.

        Raises :class:`TooOld` when the stream no longer holds every one of them; the range
        and the stream's trimming mark are read in one transaction, so nothing can be trimmed
        in between.
        """
        low = _number(after) + 1
        high = "+" if upto is None else _entry_id(upto)
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
                self._check_held(after, upto, results[1], results[2])
            for entry_id, fields in entries:
                try:
                    events.append(decode(fields, self.rebuild))
                except (KeyError, ValueError, TypeError):
                    self.undecodable += 1
            if len(entries) < page:
                return events
            low = int(entries[-1][0].split("-")[0]) + 1

    def _check_held(self, after: str, upto: str | None, exists, info) -> None:
        if not exists:
            # No stream at all: nothing after ``after`` is held, though the feed saw some.
            if upto is not None and _number(upto) > _number(after):
                raise TooOld(after, None, None)
            return
        if isinstance(info, Exception):
            raise info
        first, last = info.get("first-entry"), info.get("last-entry")
        # Trimming removes the oldest entries; seqs are consecutive, so the events after
        # ``after`` are all held when the first entry held is the next one (or nothing was
        # ever trimmed). An entry deleted by hand is reported by its own mark.
        trimmed = int(info.get("entries-added", 0)) - int(info.get("length", 0))
        first_held = (int(first[0].split("-")[0]) if first
                      else int(str(info["last-generated-id"]).split("-")[0]) + 1)
        deleted = int(str(info.get("max-deleted-entry-id", "0-0")).split("-")[0])
        if (trimmed > 0 and first_held > _number(after) + 1) or deleted > _number(after):
            raise TooOld(after, first[1].get("seq") if first else None,
                         last[1].get("seq") if last else None)
