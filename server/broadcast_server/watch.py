"""What an operator watches, on the websocket port, over plain HTTP: ``GET /healthz`` and
``GET /metrics``.

``/healthz`` answers 200 with a small JSON object while the server can serve, and 503 with the
same object and its ``reasons`` when it cannot: for a node, its feed is not reading the stream
(not started, failed and restarting), Redis has been unreachable for longer than a few seconds,
or the feed lags too far behind the stream. ``/health`` is the same check under its older name.
Its ``auth`` names the authentication service's trouble (it did not answer the last lookup as
itself: why, for how long) without answering 503 for it: every node asks the same service, and a
load balancer that took them all out of service would serve nobody, the clients of each already
subscribed included.

``/metrics`` is the Prometheus text format of the server's own registry (one per server, so that
several servers in one process never mix their series), every series named ``broadcast_...``.
The counters are the ones the server, its sender and its feed keep anyway, read when scraped;
only the two histograms (ACL lookup time, fan-out time) are observed as they happen, once per
lookup and once per event.
"""
from __future__ import annotations

import http
import json
from typing import TYPE_CHECKING, Any, Iterator

from prometheus_client import CollectorRegistry, Histogram, ProcessCollector
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.exposition import generate_latest
from prometheus_client.registry import Collector

from .errors import Refusal, Skip

if TYPE_CHECKING:
    from websockets.asyncio.server import ServerConnection
    from websockets.http11 import Request, Response

    from .server import BroadcastServer

__all__ = ["Watch", "PREFIX"]

PREFIX = "broadcast"
"""What every series' name begins with (``broadcast_connections``, ...)."""

TEXT_FORMAT = "text/plain; version=0.0.4; charset=utf-8"
"""The Prometheus text format every Prometheus reads (the names here need nothing newer)."""

FAN_OUT_BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                   0.5, 1.0, 2.5)
"""Seconds, for the fan-out of one event: from a few clients to many thousands."""

ACL_LOOKUP_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0)
"""Seconds, for one ACL lookup: up to and past its timeout."""


class Watch:
    """A server's health check and metrics: its registry, its two histograms, and the handlers
    of ``GET /healthz`` and ``GET /metrics``."""

    def __init__(self, server: "BroadcastServer"):
        self.server = server
        self.registry = CollectorRegistry()
        self.fan_out = Histogram(f"{PREFIX}_fanout_seconds",
                                 "Time to hand one event to every subscriber of its class",
                                 buckets=FAN_OUT_BUCKETS, registry=self.registry)
        self.acl_lookup = Histogram(f"{PREFIX}_acl_lookup_seconds",
                                    "Time one ACL lookup took, waiting for its turn included",
                                    buckets=ACL_LOOKUP_BUCKETS, registry=self.registry)
        self.registry.register(_Counters(server))
        ProcessCollector(namespace=PREFIX, registry=self.registry)
        self.healthy = True  # as the last check found

    async def check(self) -> tuple[int, dict[str, Any]]:
        """(HTTP status, body) of the health check now."""
        reasons, body = await self.server.health()
        self.healthy = not reasons
        if reasons:
            return http.HTTPStatus.SERVICE_UNAVAILABLE, {"status": "unavailable",
                                                         "reasons": reasons, **body}
        return http.HTTPStatus.OK, {"status": "ok", **body}

    async def healthz(self, connection: "ServerConnection", request: "Request") -> "Response":
        status, body = await self.check()
        return _respond(connection, status, json.dumps(body) + "\n",
                        "application/json")

    async def metrics(self, connection: "ServerConnection", request: "Request") -> "Response":
        await self.check()  # brings the lag and the health gauge up to date
        text = generate_latest(self.registry).decode()
        return _respond(connection, http.HTTPStatus.OK, text, TEXT_FORMAT)


def _respond(connection, status: int, text: str, content_type: str) -> "Response":
    response = connection.respond(status, text)
    del response.headers["Content-Type"]
    response.headers["Content-Type"] = content_type
    return response


class _Counters(Collector):
    """The server's gauges and counters, read from where they are kept when scraped."""

    def __init__(self, server: "BroadcastServer"):
        self.server = server

    def collect(self) -> Iterator[Metric]:
        server = self.server
        sender = server.broadcaster.sender
        yield _gauge("up", "1 while the server can serve (as GET /healthz last found), else 0",
                     server.watch.healthy)
        live = server._server.connections if server._server is not None else ()
        yield _gauge("connections", "Open websocket connections", len(live))
        subscriptions = GaugeMetricFamily(f"{PREFIX}_subscriptions",
                                          "Connections subscribed, by document class",
                                          labels=["doc_class"])
        for doc_class, count in sorted(server.subscriptions().items()):
            subscriptions.add_metric([doc_class], count)
        yield subscriptions
        yield _counter("events_received", "Events given to the server to send", server.events)
        yield _counter("events_fanned_out", "Events handed to every subscriber",
                       server.fanned_out)
        yield _counter("deliveries", "Messages written to clients: events, and the server's "
                       "replies", sender.written)
        yield _counter("sends_dropped", "Messages for connections that had closed or fell "
                       "behind", sender.dropped)
        yield _counter("send_failures", "Sends that failed unexpectedly (each logged)",
                       sender.failed)
        yield _counter("slow_clients_closed", "Connections closed for falling behind (1013)",
                       sender.fell_behind)
        yield _gauge("send_queue_bytes", "Bytes waiting for clients whose sockets are full",
                     sender.waiting())
        refusals = CounterMetricFamily(f"{PREFIX}_refusals", "Requests turned down, by reason",
                                       labels=["reason"])
        # Every reason from the start, at 0 until it happens: a rate over a series that appears
        # only with its first refusal misses that refusal.
        for reason in sorted(Refusal):
            refusals.add_metric([reason.value], server.turned_down[reason])
        yield refusals
        auth = server.lookup_acl
        yield _gauge("auth_answering", "1 while the authentication service answered the last ACL "
                     "lookup as itself, else 0", auth.failing is None)
        yield _counter("acl_lookups_asked", "ACL lookups sent to the authentication service",
                       auth.asked)
        yield _counter("acl_lookups_remembered", "ACL lookups answered from an answer of the last "
                       "seconds", auth.remembered)
        yield from _node_metrics(server)


def _node_metrics(server) -> Iterator[Metric]:
    feed = getattr(server, "feed", None)
    if feed is None:  # a server without a stream: its events come from its program
        return
    yield _gauge("feed_connected", "1 while the feed reads the stream", feed.connected)
    yield _gauge("feed_last_seq", "The seq of the last event the feed handed over",
                 int(feed.position) if feed.position else 0)
    if feed.lag is not None:
        yield _gauge("feed_lag_events", "Events in the stream the feed has yet to hand over",
                     feed.lag)
    yield _gauge("stream_seqs_left", "Seqs of the stream's width left after its last one: "
                 "appends past the last are refused", feed.seqs_left)
    if feed.durability is not None:
        yield _gauge("redis_evicting", "1 when Redis's maxmemory-policy may evict the stream",
                     feed.durability.evicting)
        persistence = GaugeMetricFamily(f"{PREFIX}_redis_persistence",
                                        "What an acknowledged append survives (1 for the "
                                        "level Redis is set to)", labels=["level"])
        persistence.add_metric([feed.durability.persistence], 1)
        yield persistence
        if feed.durability.replicas is not None:
            yield _gauge("redis_replicas", "Replicas connected to Redis",
                         feed.durability.replicas)
    skipped = CounterMetricFamily(f"{PREFIX}_stream_entries_skipped",
                                  "Stream entries that could not be handed over, by reason",
                                  labels=["reason"])
    for reason in Skip:  # each from the start, as the refusals
        skipped.add_metric([reason.value], feed.skipped_by[reason])
    yield skipped
    yield _counter("feed_restarts", "Times the feed failed and was started again",
                   feed.restarts)
    yield _counter("redis_outages", "Times Redis went away while the feed was reading",
                   feed.outages)
    yield _counter("stream_resets", "Times the stream was found made anew", feed.resets)
    yield _counter("catch_up_requests", "Requests that resumed after a seq", server.resumed)
    yield _counter("catch_up_events", "Events sent to clients from the stream's backlog",
                   server.caught_up)
    yield _counter("too_old", "Requests answered too_old: their events are no longer held",
                   server.too_old)
    yield _counter("ahead", "Requests answered ahead: they resumed after a seq the stream never "
                   "had", server.ahead)
    yield _gauge("catch_ups_running", "Catch-ups sending a backlog now", server.catching_up)
    yield _gauge("catch_ups_waiting", "Catch-ups waiting for their turn",
                 server.waiting_to_catch_up)
    yield _counter("catch_ups_turned_away", "Catch-ups that waited too long for their turn "
                   "(the client was told to ask again)", server.catch_ups_turned_away)


def _gauge(name: str, documentation: str, value: Any) -> GaugeMetricFamily:
    return GaugeMetricFamily(f"{PREFIX}_{name}", documentation, value=float(value))


def _counter(name: str, documentation: str, value: Any) -> CounterMetricFamily:
    return CounterMetricFamily(f"{PREFIX}_{name}", documentation, value=float(value))

