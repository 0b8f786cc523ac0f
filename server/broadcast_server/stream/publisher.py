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
from .scripts import APPEND, class_stream, epoch_key, event_key, new_epoch

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

    On a Redis Cluster (a :class:`RedisTarget` with ``cluster``) the events of each document
    class go to a stream of their own (:func:`~.scripts.class_stream`), numbered on their own,
    on the shard that holds it.
    """

    def __init__(self, url: "str | RedisTarget", stream: str = config.STREAM, *,
                 maxlen: int = config.MAXLEN, width: int = config.SEQ_WIDTH,
                 retry_for: float = config.PUBLISH_RETRY_FOR, retry: Retry | None = None,
                 min_replicas: int = config.MIN_REPLICAS):
        self.target = url if isinstance(url, RedisTarget) else RedisTarget(url=url)
        # On a cluster each document class has a stream of its own, on the shard of its key,
        # each reached by a client of its own (made at its first event).
        self.sharded = bool(self.target.cluster)
        self.clients: dict[str, Any] = {}
        self.client = None if self.sharded else self._client(stream)
        self.script = None if self.sharded else self.clients[stream][1]
        self.min_replicas = min_replicas
        self.stream, self.maxlen, self.width, self.retry_for = stream, maxlen, width, retry_for
        self.retry = retry or retrying()
        self.last: int | None = None  # the last seq appended, as a number
        self.epoch: str | None = None  # the stream's epoch at the last append
        self.retries = 0

    def _client(self, stream: str):
        """The client (and its script) of ``stream``."""
        if stream not in self.clients:
            client = connect(self.target.for_key(stream),
                             read_timeout=config.PUBLISH_READ_TIMEOUT + config.REPLICA_WAIT)
            self.clients[stream] = client, client.register_script(APPEND)
        return self.clients[stream][0]

    def stream_of(self, class_name: str) -> str:
        """The key of the stream the events of ``class_name`` go to."""
        return class_stream(self.stream, class_name) if self.sharded else self.stream

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
        stream = self.stream_of(class_name)
        self._client(stream)
        client, script = self.clients[stream]
        script = script if self.sharded else self.script
        keys = [stream, epoch_key(stream), event_key(stream, event_id)]
        # The id is remembered for longer than this call may go on retrying.
        remember = int(max(config.EVENT_ID_TTL, 2 * self.retry_for))
        args = [new_epoch(), seq or "", self.width, self.maxlen, remember, event_id, *fields]

        async def attempt():
            try:
                if not self.min_replicas:
                    return await script(keys=keys, args=args)
                # WAIT counts the replicas that have this connection's writes: one pipeline.
                async with client.pipeline(transaction=False) as pipe:
                    await script(keys=keys, args=args, client=pipe)
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
        for client, _ in self.clients.values():
            await client.aclose()
