"""The publisher: appends document events to the stream, each after the last."""
from __future__ import annotations

import asyncio
import logging
import uuid
from typing import Any

from redis.asyncio.retry import Retry
from redis.exceptions import OutOfMemoryError, ResponseError

from .. import config
from ..errors import RedisFull, StreamMadeAnew, StreamMismatch, Unavailable
from ..protocol import format_seq, is_stream_seq, quote
from .connection import (Durability, NotReplicated, RedisTarget, connect, read_durability,
                         retrying)
from .entries import encode
from .scripts import APPEND, class_stream, epoch_key, event_key, meta_key, new_epoch

__all__ = ["Publisher"]

log = logging.getLogger("broadcast.publisher")


class Publisher:
    """Appends document events to the stream, each after the last.

    Redis numbers each event itself, in one script (the one after the stream's last, or the seq
    given when it comes after it), so publishers never share a seq and an OK means the event is
    in the stream. An append retries while Redis is unreachable, with backoff; one whose reply
    was lost is recognised by the event's own id and not appended twice. One call takes at most
    ``retry_for`` seconds: then it raises :class:`Unavailable`, and the event may or may not be
    in the stream (append it again with the same ``event_id`` to know).

    An append also raises, appending nothing, when the stream was made anew since the
    publisher's last append (:class:`StreamMadeAnew`, naming the last seq it acknowledged: the
    events up to it may be gone with the old stream), when its seqs are of another width than
    ``width`` (:class:`StreamMismatch`), when no seq of the width is left (OverflowError), when
    Redis is full (:class:`RedisFull`, an :class:`Unavailable`), and when Redis may evict the stream (an ``allkeys-``
    maxmemory policy, read at the first append and after every reconnection) unless
    ``allow_eviction``.

    With ``min_replicas``, an append counts only once that many replicas hold it (Redis's WAIT,
    on the append's own connection): one that Redis took but its replicas did not (yet) is
    retried, found by its id, and waited for again. Then a failover to a replica loses no event
    this publisher returned from.

    On a Redis Cluster (a :class:`RedisTarget` with ``cluster``) the events of each document
    class go to a stream of their own (:func:`~.scripts.class_stream`), numbered on their own,
    on the shard that holds it: each through a publisher of its own (``shards``), made at its
    first event; ``last`` and ``epoch`` are then those of the last append.
    """

    def __init__(self, url: "str | RedisTarget", stream: str = config.STREAM, *,
                 maxlen: int = config.MAXLEN, width: int = config.SEQ_WIDTH,
                 retry_for: float = config.PUBLISH_RETRY_FOR, retry: Retry | None = None,
                 allow_eviction: bool = config.ALLOW_EVICTION,
                 min_replicas: int = config.MIN_REPLICAS):
        self.target = url if isinstance(url, RedisTarget) else RedisTarget(url=url)
        # A cluster's publisher hands each class to the publisher of its stream's shard.
        self.sharded = bool(self.target.cluster) and self.target.key is None
        self.shards: dict[str, Publisher] = {}  # on a cluster: by the key of each class's stream
        self.options = dict(maxlen=maxlen, width=width, retry_for=retry_for, retry=retry,
                            allow_eviction=allow_eviction, min_replicas=min_replicas)
        self.client = None
        if not self.sharded:
            self.client = connect(url, read_timeout=config.PUBLISH_READ_TIMEOUT
                                  + (config.REPLICA_WAIT if min_replicas else 0))
            self.script = self.client.register_script(APPEND)
        self.stream, self.maxlen, self.width, self.retry_for = stream, maxlen, width, retry_for
        self.min_replicas = min_replicas
        self.retry = retry or retrying()
        self.last: int | None = None  # the last seq appended, as a number
        self.epoch: str | None = None  # the stream's epoch at the last append
        self._retries = 0
        self.allow_eviction = allow_eviction
        self.durability: Durability | None = None  # read since the last reconnection
        self.read_durability = read_durability

    async def publish(self, doc, op: str, seq: str | None = None, *,
                      event_id: str | None = None) -> str:
        """Append one document event; ``seq`` defaults to the one after the stream's last."""
        return await self.append(type(doc).__name__, doc.data, op, seq, event_id=event_id)

    @property
    def retries(self) -> int:
        """Appends tried again (Redis unreachable, a reply lost, replicas behind)."""
        return self._retries + sum(shard.retries for shard in self.shards.values())

    @retries.setter
    def retries(self, value: int) -> None:
        self._retries = value

    def stream_of(self, class_name: str) -> str:
        """The key of the stream the events of ``class_name`` go to."""
        return class_stream(self.stream, class_name) if self.sharded else self.stream

    async def append(self, class_name: str, data: Any, op: str, seq: str | None = None, *,
                     event_id: str | None = None) -> str:
        """Append one event given by its class name and data; returns its seq."""
        if self.sharded:
            key = self.stream_of(class_name)
            if key not in self.shards:
                self.shards[key] = Publisher(self.target.for_key(key), key, **self.options)
                if len(self.shards) == 1:  # an epoch set before the first append is its own
                    self.shards[key].epoch = self.epoch
            shard = self.shards[key]
            try:
                return await shard.append(class_name, data, op, seq, event_id=event_id)
            finally:
                self.last, self.epoch = shard.last, shard.epoch
        if seq and not is_stream_seq(seq, self.width):
            # Nodes compare seqs as text, and skip an entry whose seq is of another width.
            raise ValueError(f"seq {quote(str(seq))} is not {self.width} decimal digits")
        if not isinstance(data, dict):
            # Every node would skip it: a document is rebuilt as cls(**data).
            raise TypeError(f"data must be a dict (a JSON object), not {type(data).__name__}")
        event_id = event_id or uuid.uuid4().hex
        fields = [v for pair in encode(class_name, data, op).items() for v in pair]
        keys = [self.stream, epoch_key(self.stream), event_key(self.stream, event_id),
                meta_key(self.stream)]
        # The id is remembered for longer than this call may go on retrying.
        remember = int(max(config.EVENT_ID_TTL, 2 * self.retry_for))
        args = [new_epoch(), seq or "", self.width, self.maxlen, remember, event_id,
                self.epoch or "", *fields]

        async def attempt():
            if self.durability is None:
                self._check(await self.read_durability(self.client))
            try:
                if not self.min_replicas:
                    return await self.script(keys=keys, args=args)
                # WAIT counts the replicas that have this connection's writes: one pipeline.
                async with self.client.pipeline(transaction=False) as pipe:
                    await self.script(keys=keys, args=args, client=pipe)
                    pipe.execute_command("WAIT", self.min_replicas,
                                         int(config.REPLICA_WAIT * 1000))
                    # Errors as the script answered them (a raised one would say "pipeline").
                    got, replicas = await pipe.execute(raise_on_error=False)
                for answer in (got, replicas):
                    if isinstance(answer, Exception):
                        raise answer
            except OutOfMemoryError:
                raise RedisFull(f"Redis is out of memory (its maxmemory) and refused the "
                                  f"append: event {event_id} is not in the stream") from None
            except ResponseError as exc:
                raise self._refusal(str(exc)) from None
            if replicas < self.min_replicas:
                raise NotReplicated(f"{replicas} of {self.min_replicas} replicas have "
                                    f"event {event_id}")
            return got

        async def lost(exc: Exception) -> None:
            self.retries += 1
            self.durability = None  # it may be another server, set up otherwise, when back

        try:
            got, epoch, _ = await asyncio.wait_for(
                self.retry.call_with_retry(attempt, lost), self.retry_for)
        except asyncio.TimeoutError:
            raise Unavailable(f"Redis unreachable for {self.retry_for:g} s; event {event_id} "
                              f"may or may not be in the stream: append it again with "
                              f"event_id={event_id!r} to know") from None
        self.last, self.epoch = int(got), epoch
        return got

    def _check(self, durability: Durability) -> None:
        if durability.evicting:
            if not self.allow_eviction:
                raise StreamMismatch(f"{durability.eviction_warning()}, or publish with "
                                     f"--allow-eviction (allow_eviction=True) to accept that")
            log.warning("%s (allowed: appending all the same)", durability.eviction_warning())
        self.durability = durability

    def _refusal(self, text: str) -> Exception:
        """The exception for an error the append script (or Redis) answered with."""
        word, _, rest = text.partition(" ")
        if word == "EPOCH":
            old, last = self.epoch, self.last
            self.epoch, self.last = rest, None
            return StreamMadeAnew(old, rest, None if last is None
                                  else format_seq(last, self.width))
        if word == "MISMATCH":
            return StreamMismatch(rest)
        if word == "FULL":
            last = format_seq(int(rest), self.width)
            return OverflowError(f"no seq of {self.width} digits is left after the stream's "
                                 f"last, {last}: start a wider stream (a new --stream, or the "
                                 f"old one deleted, with a larger --seq-width)")
        if "is not after the stream's last" in text:
            return ValueError(text.split(": ", 1)[-1])
        return ResponseError(text)

    async def close(self) -> None:
        for shard in self.shards.values():
            await shard.close()
        if self.client is not None:
            await self.client.aclose()
