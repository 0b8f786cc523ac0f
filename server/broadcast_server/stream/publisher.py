"""The publisher: appends document events to the stream, each after the last."""
from __future__ import annotations

import asyncio
import uuid
from typing import Any

from redis.asyncio.retry import Retry
from redis.exceptions import ResponseError

from .. import config
from ..errors import Unavailable
from ..protocol import is_stream_seq, quote
from .connection import NotReplicated, RedisTarget, connect, retrying
from .entries import encode
from .scripts import APPEND, epoch_key, event_key, new_epoch

__all__ = ["Publisher"]


class Publisher:
    """Appends document events to the stream, each after the last.

    Redis numbers each event itself, in one script (the one after the stream's last, or the seq
    given when it comes after it), so publishers never share a seq and an OK means the event is
    in the stream. An append retries while Redis is unreachable, with backoff; one whose reply
    was lost is recognised by the event's own id and not appended twice. One call takes at most
    ``retry_for`` seconds: then it raises :class:`Unavailable`, and the event may or may not be
    in the stream (append it again with the same ``event_id`` to know).

    With ``min_replicas``, an append counts only once that many replicas hold it (Redis's WAIT,
    on the append's own connection): one that Redis took but its replicas did not (yet) is
    retried, found by its id, and waited for again. Then a failover to a replica loses no event
    this publisher returned from.
    """

    def __init__(self, url: "str | RedisTarget", stream: str = config.STREAM, *,
                 maxlen: int = config.MAXLEN, width: int = config.SEQ_WIDTH,
                 retry_for: float = config.PUBLISH_RETRY_FOR, retry: Retry | None = None,
                 min_replicas: int = config.MIN_REPLICAS):
        self.client = connect(url, read_timeout=config.PUBLISH_READ_TIMEOUT + config.REPLICA_WAIT)
        self.min_replicas = min_replicas
        self.script = self.client.register_script(APPEND)
        self.stream, self.maxlen, self.width, self.retry_for = stream, maxlen, width, retry_for
        self.retry = retry or retrying()
        self.last: int | None = None  # the last seq appended, as a number
        self.epoch: str | None = None  # the stream's epoch at the last append
        self.retries = 0

    async def publish(self, doc, op: str, seq: str | None = None, *,
                      event_id: str | None = None) -> str:
        """Append one document event; ``seq`` defaults to the one after the stream's last."""
        return await self.append(type(doc).__name__, doc.data, op, seq, event_id=event_id)

    async def append(self, class_name: str, data: Any, op: str, seq: str | None = None, *,
                     event_id: str | None = None) -> str:
        """Append one event given by its class name and data; returns its seq."""
        if seq and not is_stream_seq(seq, self.width):
            # Nodes compare seqs as text, and skip an entry whose seq is of another width.
            raise ValueError(f"seq {quote(str(seq))} is not {self.width} decimal digits")
        event_id = event_id or uuid.uuid4().hex
        fields = [v for pair in encode(class_name, data, op).items() for v in pair]
        keys = [self.stream, epoch_key(self.stream), event_key(self.stream, event_id)]
        # The id is remembered for longer than this call may go on retrying.
        remember = int(max(config.EVENT_ID_TTL, 2 * self.retry_for))
        args = [new_epoch(), seq or "", self.width, self.maxlen, remember, event_id, *fields]

        async def attempt():
            try:
                if not self.min_replicas:
                    return await self.script(keys=keys, args=args)
                # WAIT counts the replicas that have this connection's writes: one pipeline.
                async with self.client.pipeline(transaction=False) as pipe:
                    await self.script(keys=keys, args=args, client=pipe)
                    pipe.execute_command("WAIT", self.min_replicas,
                                         int(config.REPLICA_WAIT * 1000))
                    got, replicas = await pipe.execute()
            except ResponseError as exc:
                if "is not after the stream's last" in str(exc):
                    raise ValueError(str(exc).split(": ", 1)[-1]) from None
                raise
            if replicas < self.min_replicas:
                raise NotReplicated(f"{replicas} of {self.min_replicas} replicas have "
                                    f"event {event_id}")
            return got

        async def lost(exc: Exception) -> None:
            self.retries += 1

        try:
            got, epoch, _ = await asyncio.wait_for(
                self.retry.call_with_retry(attempt, lost), self.retry_for)
        except asyncio.TimeoutError:
            raise Unavailable(f"Redis unreachable for {self.retry_for:g} s; event {event_id} "
                              f"may or may not be in the stream: append it again with "
                              f"event_id={event_id!r} to know") from None
        self.last, self.epoch = int(got), epoch
        return got

    async def close(self) -> None:
        await self.client.aclose()
