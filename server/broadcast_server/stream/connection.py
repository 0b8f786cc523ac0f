"""The Redis connection the publisher and the feed share: its client, what counts as Redis being
down, the retry policy with redis-py's backoff, and what Redis keeps of what it acknowledges."""
from __future__ import annotations

import asyncio
import dataclasses

import redis.asyncio as aioredis
from redis.asyncio.retry import Retry
from redis.backoff import EqualJitterBackoff, NoBackoff
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import ResponseError, TimeoutError as RedisTimeoutError

from .. import config
from .entries import id_number

__all__ = ["DOWN", "connect", "backoff", "retrying", "last_generated", "Durability",
           "read_durability"]

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


@dataclasses.dataclass(frozen=True)
class Durability:
    """What Redis keeps of the stream: its eviction policy, its persistence and its replicas,
    as its settings say (None for what it would not tell: ``CONFIG`` is often disabled on
    managed servers)."""

    policy: str | None = None  # maxmemory-policy
    appendonly: bool | None = None
    appendfsync: str | None = None
    snapshots: bool | None = None  # an RDB ``save`` schedule
    replicas: int | None = None

    @property
    def evicting(self) -> bool:
        """Whether Redis may evict the stream itself when it is full: the ``allkeys-`` policies
        (the ``volatile-`` ones evict only keys that expire, which the stream never does)."""
        return bool(self.policy) and self.policy.startswith("allkeys-")

    @property
    def persistence(self) -> str:
        """What an acknowledged append survives: ``always`` or ``everysec`` (the append-only
        file's sync; ``no``: when the system writes it), ``snapshots`` (only what the last
        snapshot holds), ``none`` (nothing: a restart loses the stream), or ``unknown``."""
        if self.appendonly:
            return self.appendfsync or "unknown"
        if self.appendonly is None:
            return "unknown"
        return "snapshots" if self.snapshots else "none"

    def describe(self) -> dict:
        return {"maxmemory_policy": self.policy, "evicting": self.evicting,
                "persistence": self.persistence, "replicas": self.replicas}

    def eviction_warning(self) -> str:
        return (f"Redis's maxmemory-policy is {self.policy}: when Redis is full it evicts stream "
                f"entries, events acknowledged to a publisher that then reach nobody; set it to "
                f"noeviction")


async def read_durability(client: aioredis.Redis) -> Durability:
    """Read :class:`Durability` from Redis's settings (two commands)."""
    try:
        settings = await client.config_get("maxmemory-policy", "appendonly", "appendfsync",
                                           "save")
    except ResponseError:  # CONFIG renamed or disabled
        settings = {}
    try:
        replicas = int((await client.info("replication")).get("connected_slaves", 0))
    except ResponseError:
        replicas = None
    appendonly = settings.get("appendonly")
    return Durability(policy=settings.get("maxmemory-policy"),
                      appendonly=None if appendonly is None else appendonly == "yes",
                      appendfsync=settings.get("appendfsync"),
                      snapshots=None if "save" not in settings else bool(settings["save"]),
                      replicas=replicas)
