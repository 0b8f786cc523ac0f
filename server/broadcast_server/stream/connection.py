"""The Redis connection the publisher and the feed share: its client, what counts as Redis being
down, and the retry policy with redis-py's backoff."""
from __future__ import annotations

import asyncio

import redis.asyncio as aioredis
from redis.asyncio.retry import Retry
from redis.backoff import EqualJitterBackoff, NoBackoff
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import ResponseError, TimeoutError as RedisTimeoutError

from .. import config
from .entries import id_number

__all__ = ["DOWN", "connect", "backoff", "retrying", "last_generated"]

DOWN = (RedisConnectionError, RedisTimeoutError, OSError, asyncio.TimeoutError)
"""What a lost or restarting Redis looks like from the client; everything else is a real error."""


def connect(url: str, *, read_timeout: float | None = None) -> aioredis.Redis:
    """An asyncio client (with hiredis as its parser when installed).

    The client's own retries are off: a command retried behind our back could append an event
    twice; the publisher and the feed retry themselves, knowing what was done.
    """
    return aioredis.Redis.from_url(url, decode_responses=True,
                                   socket_connect_timeout=config.REDIS_CONNECT_TIMEOUT,
                                   socket_timeout=read_timeout, retry=Retry(NoBackoff(), 0))


def backoff(first: float = config.RETRY_FIRST,
            most: float = config.RETRY_MOST) -> EqualJitterBackoff:
    """Waits that double from ``first`` up to ``most`` seconds, each drawn between half and all
    of that (equal jitter): nodes that lost the same Redis then do not all come back in the same
    instant."""
    # redis-py counts failures from 1 and waits base * 2**failures: base is half the first wait.
    return EqualJitterBackoff(cap=most, base=first / 2)


def retrying(first: float = config.RETRY_FIRST, most: float = config.RETRY_MOST) -> Retry:
    """Retries without end while Redis is down, waiting as :func:`backoff` says; the caller's
    failure handler ends the retries by raising."""
    return Retry(backoff(first, most), -1, supported_errors=DOWN)


async def last_generated(client: aioredis.Redis, stream: str) -> int:
    """The seq number of the last entry ever added to ``stream`` (0 when there is no stream)."""
    try:
        info = await client.xinfo_stream(stream)
    except ResponseError as exc:
        if "no such key" in str(exc).lower():
            return 0
        raise
    return id_number(info["last-generated-id"])
