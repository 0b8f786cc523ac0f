"""The Redis connection the publisher and the feed share: its client, what counts as Redis being
down, the retry policy with redis-py's backoff, and what Redis keeps of what it acknowledges."""
from __future__ import annotations

import asyncio
import dataclasses
import urllib.parse

import redis.asyncio as aioredis
from redis.asyncio.retry import Retry
from redis.asyncio.sentinel import Sentinel
from redis.connection import parse_url
from redis.crc import key_slot
from redis.backoff import EqualJitterBackoff, NoBackoff
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import (AskError, ClusterDownError, MovedError, ResponseError,
                              TimeoutError as RedisTimeoutError, TryAgainError)

from .. import config
from .entries import id_number

__all__ = ["DOWN", "NotReplicated", "RedisTarget", "connect", "backoff", "retrying",
           "last_generated", "Durability", "read_durability"]


class NotReplicated(RedisTimeoutError):
    """An append Redis took, but fewer replicas than asked acknowledged it in time: retried as
    if the reply had been lost."""


DOWN = (RedisConnectionError, RedisTimeoutError, OSError, asyncio.TimeoutError)
"""What a lost or restarting Redis looks like from the client; everything else is a real error.
(Sentinel's "no primary known" is a connection error too: a failover under way.)"""


@dataclasses.dataclass(frozen=True)
class RedisTarget:
    """Where the stream is: one Redis (``url``), or the primary that ``sentinels`` know by the
    name ``master``, followed through failovers. With sentinels, ``url`` (optional) gives only
    the database, user and password of the primary: the sentinels give its address."""

    url: str | None = None
    sentinels: tuple[tuple[str, int], ...] = ()
    master: str | None = None
    cluster: tuple[tuple[str, int], ...] = ()  # a Redis Cluster, by some of its nodes
    key: str | None = None  # in a cluster: the key whose shard this target is

    def __post_init__(self):
        if self.cluster and self.sentinels:
            raise ValueError("--redis-cluster and --sentinel do not go together: a cluster "
                             "fails over by itself")
        if self.sentinels and not self.master:
            raise ValueError("--sentinel needs --sentinel-master: the name the sentinels "
                             "know the primary by")
        if self.master and not self.sentinels:
            raise ValueError("--sentinel-master needs --sentinel HOST:PORT[,HOST:PORT...]")
        if not self.sentinels and not self.cluster and not self.url:
            raise ValueError("the following arguments are required: --redis (or --sentinel "
                             "with --sentinel-master, or --redis-cluster)")
        if self.url:
            try:
                parse_url(self.url)  # a URL redis-py cannot read
            except ValueError as exc:  # its text names no password
                raise ValueError(f"--redis: {exc}") from None

    def for_key(self, key: str) -> "RedisTarget":
        """Where ``key`` is: in a cluster, the shard that holds its slot (followed as the
        slot moves); elsewhere, here."""
        return dataclasses.replace(self, key=key) if self.cluster else self

    def __str__(self) -> str:  # for logs: never the password
        if self.cluster:
            return f"the shard of {self.key!r} in the cluster of " + ",".join(
                f"{host}:{port}" for host, port in self.cluster)
        if self.sentinels:
            return f"primary {self.master!r} of sentinels " + ",".join(
                f"{host}:{port}" for host, port in self.sentinels)
        return "Redis at " + redact(self.url)


def redact(url: str) -> str:
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    return parts._replace(netloc=parts.netloc.rpartition("@")[0].partition(":")[0]
                          + ":***@" + parts.netloc.rpartition("@")[2]).geturl()


class _Followed(aioredis.Redis):
    """A client of Sentinel's primary, which closes its sentinels' connections with its own."""

    sentinel: Sentinel | None = None

    async def aclose(self, close_connection_pool: bool | None = None) -> None:
        await super().aclose(close_connection_pool)
        if self.sentinel is not None:
            for client in self.sentinel.sentinels:
                await client.aclose()


class _ShardConnection(aioredis.Connection):
    """A connection to the primary that holds one slot of a cluster, asked of the cluster's
    nodes (``seeds``) each time it connects. A key whose slot has moved (MOVED), or a shard
    the cluster finds down (CLUSTERDOWN, TRYAGAIN), is a lost connection: the caller's retry
    connects again, to whichever primary holds the slot then.

    Every key a stream uses shares one hash tag (:func:`~.scripts.class_stream`): each stream,
    with its epoch and the ids of its events, lives whole on one shard, where one connection
    (its scripts, its pipelines) reaches it all."""

    def __init__(self, *, seeds: tuple[tuple[str, int], ...], slot: int, **kwargs):
        self.seeds, self.slot = seeds, slot
        super().__init__(**kwargs)

    async def _connect(self):
        self.host, self.port = await self._locate()
        await super()._connect()

    async def _locate(self) -> tuple[str, int]:
        failure: Exception | None = None
        for host, port in self.seeds:
            asked = aioredis.Redis(host=host, port=port, username=self.username,
                                   password=self.password,
                                   socket_connect_timeout=self.socket_connect_timeout,
                                   socket_timeout=config.REDIS_CONNECT_TIMEOUT,
                                   retry=Retry(NoBackoff(), 0))
            try:
                ranges = await asked.execute_command("CLUSTER SLOTS")
            except (*DOWN, ResponseError) as exc:
                failure = exc
                continue
            finally:
                await asked.aclose()
            for start, end, primary, *_ in ranges:
                if int(start) <= self.slot <= int(end):
                    found = primary[0].decode() if isinstance(primary[0], bytes) else primary[0]
                    return found or host, int(primary[1])
            failure = RedisConnectionError(f"no node holds slot {self.slot}")
        raise RedisConnectionError(f"no node of the cluster answered for slot {self.slot} "
                                   f"({type(failure).__name__}: {failure})")

    async def read_response(self, *args, **kwargs):
        try:
            return await super().read_response(*args, **kwargs)
        except (MovedError, AskError, ClusterDownError, TryAgainError) as exc:
            await self.disconnect()
            raise RedisConnectionError(f"the shard of slot {self.slot} moved or is down "
                                       f"({type(exc).__name__}: {exc})") from None


def connect(where: "str | RedisTarget", *, read_timeout: float | None = None) -> aioredis.Redis:
    """An asyncio client (with hiredis as its parser when installed) of the Redis ``where``
    names: a URL, or a :class:`RedisTarget`.

    The client's own retries are off: a command retried behind our back could append an event
    twice; the publisher and the feed retry themselves, knowing what was done. Through Sentinel
    each new connection asks the sentinels for the primary: after a failover (the old primary's
    connections fail, or it answers READONLY), the retry reaches the promoted one.
    """
    target = RedisTarget(url=where) if isinstance(where, str) else where
    options = dict(decode_responses=True, socket_connect_timeout=config.REDIS_CONNECT_TIMEOUT,
                   socket_timeout=read_timeout, retry=Retry(NoBackoff(), 0))
    if not target.sentinels and not target.cluster:
        return aioredis.Redis.from_url(target.url, **options)
    if target.url:
        given = parse_url(target.url)
        options.update((k, given[k]) for k in ("db", "username", "password") if k in given)
    if target.cluster:
        if target.key is None:
            raise ValueError("a cluster's client is for the shard of one key: for_key(key)")
        pool = aioredis.ConnectionPool(connection_class=_ShardConnection, seeds=target.cluster,
                                       slot=key_slot(target.key.encode()), **options)
        return aioredis.Redis(connection_pool=pool)
    timeouts = {"socket_connect_timeout": config.REDIS_CONNECT_TIMEOUT,
                "socket_timeout": config.REDIS_CONNECT_TIMEOUT, "decode_responses": True}
    sentinel = Sentinel(target.sentinels, sentinel_kwargs=timeouts)
    client = sentinel.master_for(target.master, redis_class=_Followed, **options)
    client.sentinel = sentinel
    return client


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
