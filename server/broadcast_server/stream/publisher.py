"""The publisher: appends document events to the stream, each after the last."""
from __future__ import annotations

import time
from typing import Any

from redis.asyncio.retry import Retry
from redis.exceptions import ResponseError

from .. import config
from ..errors import Unavailable
from ..protocol import format_seq, seq_number
from .connection import connect, last_generated, retrying
from .entries import encode, entry_id

__all__ = ["Publisher"]


class Publisher:
    """Appends document events to the stream, each after the last.

    An append retries while Redis is unreachable (with backoff, up to ``retry_for`` seconds,
    then raises :class:`Unavailable`). An append whose reply was lost is not appended twice: the
    retry finds the entry there.
    """

    def __init__(self, url: str, stream: str = config.STREAM, *, maxlen: int = config.MAXLEN,
                 width: int = config.SEQ_WIDTH, retry_for: float = config.PUBLISH_RETRY_FOR,
                 retry: Retry | None = None):
        self.client = connect(url, read_timeout=config.PUBLISH_READ_TIMEOUT)
        self.stream, self.maxlen, self.width, self.retry_for = stream, maxlen, width, retry_for
        self.retry = retry or retrying()
        self.last: int | None = None  # the last seq appended, as a number
        self.retries = 0

    async def publish(self, doc, op: str, seq: str | None = None) -> str:
        """Append one document event; ``seq`` defaults to the one after the stream's last."""
        return await self.append(type(doc).__name__, doc.data, op, seq)

    async def append(self, class_name: str, data: Any, op: str, seq: str | None = None) -> str:
        """Append one event given by its class name and data; returns its seq."""
        deadline = time.monotonic() + self.retry_for
        failures = 0

        async def attempt() -> None:
            nonlocal seq
            if seq is None:
                if self.last is None:
                    self.last = await last_generated(self.client, self.stream)
                seq = format_seq(self.last + 1, self.width)
            try:
                await self.client.xadd(self.stream, encode(class_name, data, op, seq),
                                       id=entry_id(seq), maxlen=self.maxlen, approximate=True)
            except ResponseError as exc:
                if "equal or smaller" not in str(exc):
                    raise
                top = await last_generated(self.client, self.stream)
                # A retry that finds its own entry on top: the first attempt went through.
                if failures and top == seq_number(seq):
                    return
                raise ValueError(f"seq {seq} is not after the stream's last ({top})") from None

        async def lost(exc: Exception) -> None:
            nonlocal failures
            failures += 1
            self.retries += 1
            if time.monotonic() > deadline:
                raise Unavailable(f"Redis unreachable for {self.retry_for:g} s "
                                  f"({type(exc).__name__}: {exc})") from exc

        await self.retry.call_with_retry(attempt, lost)
        self.last = seq_number(seq)
        return seq

    async def close(self) -> None:
        await self.client.aclose()
