"""Every setting of the server, the node and the stream, with its default, in one place.

Each option of the node's command line is declared once, a :class:`Setting` in
:data:`NODE_SETTINGS`: its flag, variable, default, help and the README's row come from there
(``python -m broadcast_server.config`` prints that table). The library classes take the same
values as keyword arguments and default to the constants here.
Every option of a command built with :class:`Parser` (the node's, the publisher's, the demo's)
may also come from an environment variable, ``BROADCAST_<OPTION>`` (see :func:`env_name`); an
option on the command line wins.
"""
from __future__ import annotations

import argparse
import dataclasses
import functools
import logging
import math
import os
import re
import urllib.parse
from typing import Any, Callable, Mapping

HOST = "127.0.0.1"
"""Address the websocket server listens on: loopback unless told otherwise."""

PORT = 0
"""Websocket port; 0 takes any free one (the server reports the one it got)."""

ACCEPT_BACKLOG = 1024
"""Pending connections the listening socket queues. When hundreds of clients (re)connect at once,
the default queue overflows and their handshakes stall on TCP retransmissions."""

SEND_QUEUE_BYTES = 1 << 20
"""Bytes that may wait for one client whose socket is not taking them; past that the client has
fallen behind and is closed with 1013 (try again later), to resume when it comes back."""

SEND_CLOSE_TIMEOUT = 10.0
"""Seconds a client closed for falling behind has to answer the close before its TCP connection
is dropped (when its connection sets no close timeout of its own)."""

COMPRESSION = False
"""Per-message deflate on client connections. Off: compressing each event once per client costs
the host more than it saves on loopback and local networks, and it keeps each event's frame
shared by every client it goes to."""

APP_NAME = "broadcast-demo"
"""The application name sent with every ACL lookup, unless a node is given another
(``--app-name``)."""

AUTH_TIMEOUT = 5.0
"""Seconds an ACL lookup may take in all: waiting for its turn, connecting, and reading the reply
however slowly it comes. Then its client gets an error reply, and may try again."""

ACL_LOOKUPS_IN_FLIGHT = 16
"""ACL lookups a server runs at once, each in a worker thread of the server's own; the others wait
their turn."""

AUTH_CACHE = 5.0
"""Seconds a server reuses the authentication service's answer about an API key, known or not (0:
ask each time). Clients that subscribe again and again, or many with one key, then cost one
lookup per key in that time; a key revoked meanwhile is accepted that much longer."""

AUTH_CACHE_ENTRIES = 10_000
"""API keys whose answers a server keeps at most; past that the oldest are forgotten first."""

AUTH_REPLY_BYTES = 1 << 20
"""Bytes of the authentication service's reply a lookup reads at most: a longer one is not the
service's, and the lookup fails as if the service were unavailable."""

STOP_TIMEOUT = 0.8
"""Seconds a stopping server waits for its clients to answer the closing handshake; then it drops
their connections. A node's whole stop is bounded by less than twice that, and its process ends
within 2 s of SIGTERM whatever its clients, its authentication service or Redis do."""

SUBSCRIBE_RATE = 2.0
"""Subscribe requests a connection may make a second, after a burst of SUBSCRIBE_BURST."""

SUBSCRIBE_BURST = 5
"""Subscribe requests a connection may make at once."""

MAX_SCOPE_ITEMS = 1000
"""Values one subscription's ``data_scope`` may list: each event is checked against the list, so
a long one costs every event of the class that much, for every client."""

MAX_CATALOG_KEYS = 1000
"""Fields one subscription's ``catalog`` may name."""

MAX_SUBSCRIPTIONS = 64
"""Subscriptions (classes) one connection may hold at once."""

SUBSCRIBE_WITHIN = 10.0
"""Seconds a connection has, from its handshake, to be subscribed: one that is not by then is
closed (1008), so that idle connections cannot pile up until the node runs out of files."""

MAX_CONNECTIONS = 10_000
"""Open websocket connections a server takes; a handshake past that is answered 503 (and
logged). A node raises its open-file limit to fit them (up to the hard limit, ``ulimit -Hn``) and
warns when it cannot."""

STREAM = "broadcast:events"
"""Key of the Redis stream that holds the document events. Its epoch is kept beside it, under
the key ``<stream>:epoch``, and each appended event's id for a while under
``<stream>:event:<id>``."""

MAXLEN = 100_000
"""Entries the publisher keeps in the stream, approximately (Redis trims whole blocks). What the
stream holds is how far back a reconnecting client can catch up."""

SEQ_WIDTH = 8
"""Digits of the seqs the publisher numbers itself (the broadcaster compares seqs as text)."""

PUBLISH_RETRY_FOR = 10.0
"""Seconds one publish may take in all, retries included: then it raises, telling the caller
whether the event may still be in the stream."""

ALLOW_EVICTION = False
"""Whether a publisher appends to a Redis whose maxmemory policy may evict the stream (an
``allkeys-`` one): events it acknowledged could then reach nobody. Off: it refuses."""

EVENT_ID_TTL = 30
"""Seconds Redis remembers an appended event's id, so that an append retried after a lost reply
is found rather than added twice: at least twice as long as a publish may take. Each id costs
Redis about 100 bytes for that long."""

MIN_REPLICAS = 0
"""Replicas that must hold an event before the publisher counts it appended (Redis's WAIT): with
1 or more, a failover to a replica loses no event the publisher acknowledged."""

REPLICA_WAIT = 1.0
"""Seconds one append waits for its replicas; then it is retried (and found, not appended
twice) until the publish's own time is up."""

RETRY_FIRST = 0.05
"""Longest first wait, in seconds, before retrying a Redis command; it doubles per failure."""

RETRY_MOST = 2.0
"""Longest wait, in seconds, between two retries of a Redis command."""

REDIS_CONNECT_TIMEOUT = 2.0
"""Seconds to connect to Redis before counting it as down."""

PUBLISH_READ_TIMEOUT = 2.0
"""Seconds the publisher waits for Redis to answer one append."""

FEED_BLOCK_MS = 1000
"""Milliseconds one blocking read of the feed waits for new entries."""

FEED_BATCH = 500
"""Entries the feed reads at most at once."""

FEED_READ_SLACK = 1.0
"""Seconds the feed's socket timeout outlasts a blocking read: a Redis that stops answering is
noticed at most this long after the read should have returned (2 s with the defaults)."""

BACKLOG_PAGE = 250
"""Entries a catch-up reads from the stream at once. Pages start at multiples of it, so that
catch-ups from nearby seqs read, and share, the same pages. Small enough that reading one (the
reply parsed in one go) delays no other client's live event by much: 1,000 made it 150 ms with
five catch-ups at once."""

CATCH_UP_PAGES_KEPT = 16
"""Pages of the stream (full ones, of the epoch a node reads) a node keeps for the catch-ups that
come next: about 0.4 MB each with the demo's documents."""

CATCH_UPS = 4
"""Catch-ups a node runs at once; the others wait their turn, at most CATCH_UP_WAIT seconds."""

CATCH_UP_WAIT = 30.0
"""Seconds a resuming client waits for its catch-up's turn before it gets an ``error`` reply
(and asks again later)."""

CATCH_UP_SLICE = 0.002
"""Seconds a catch-up reads, filters and sends before it lets the event loop in: what it may
add to the latency of another client's live event, once per catch-up running (with four
running and other work on the machine, 5 ms let the live client's latency reach 140-190 ms)."""

CLIENT_RETRY_DELAY = 0.1
"""Longest first wait, in seconds, of a resuming client before trying again (another node, or
the same request after an error reply); it doubles with each failure, each wait drawn between
half of it and all of it."""

CLIENT_RETRY_MOST = 2.0
"""Longest wait, in seconds, of a resuming client between two tries."""

CLIENT_GIVE_UP_AFTER = 30.0
"""Seconds a resuming client goes on trying nodes that do not answer before it gives up."""

CLIENT_OPEN_TIMEOUT = 10.0
"""Seconds a client's websocket handshake may take."""

CLIENT_CLOSE_TIMEOUT = 2.0
"""Seconds a client waits for the closing handshake."""

UNHEALTHY_AFTER = 5.0
"""Seconds Redis may be unreachable before a node's ``GET /healthz`` answers 503. A node refuses
new requests at once meanwhile; the grace keeps a load balancer from taking every node out of
service for a blip of Redis that they all see at once."""

MAX_LAG = 10_000
"""Events a node's feed may be behind the stream's last one before ``GET /healthz`` answers 503:
its clients get the events that late."""

LAG_CACHE = 1.0
"""Seconds a node reuses the feed's lag it read from Redis for health checks and metrics, so that
a flood of them costs Redis one command a second."""

ALLOWED_ORIGINS: tuple[str, ...] = ()
"""Origins (``https://host:port``) of pages elsewhere whose websocket handshakes a node takes,
beside those of its own page and of clients that send no ``Origin``; ``*`` takes any."""

PUBLIC_NODES: tuple[str, ...] = ()
"""The websocket URLs, as browsers reach them, that the page a node serves may connect to and
send an API key to (its policy allows no other); none: the page's own host only."""

ENV_PREFIX = "BROADCAST_"
"""What the environment variables of the command-line options begin with."""

ENV_NAMES = {"redis": "BROADCAST_REDIS_URL", "auth": "BROADCAST_AUTH_URL"}
"""Environment variables not named after their option (the others: :func:`env_name`)."""

LOG_LEVELS = ("debug", "info", "warning", "error")
LOG_FORMATS = ("text", "json")


def env_name(dest: str) -> str:
    """The environment variable of the option stored as ``dest``: ``--seq-width`` is read from
    ``BROADCAST_SEQ_WIDTH``, ``--redis`` from ``BROADCAST_REDIS_URL``, ``--auth`` from
    ``BROADCAST_AUTH_URL``."""
    return ENV_NAMES.get(dest, ENV_PREFIX + dest.upper())


TRUE, FALSE = ("1", "true", "yes", "on"), ("0", "false", "no", "off", "")


class _FromEnv:
    """An option's value as an environment variable gave it, converted once parsing is done (so
    that a bad value is reported naming the variable, and only when the command reads it)."""

    def __init__(self, name: str, text: str):
        self.name, self.text = name, text

    def __str__(self) -> str:  # how ``%(default)s`` shows it in --help
        return f"{self.text} from {self.name}"


class Parser(argparse.ArgumentParser):
    """An argument parser whose options may also come from the environment.

    Each option (but ``--help`` and those that add to a list) is read from its environment
    variable (:func:`env_name`) when the command line does not give it: a required option then
    need not be given, a switch takes 1/true/yes/on or 0/false/no/off, and a value the option
    would refuse stops the command with the variable's name. Subcommands are parsers of this
    kind too.
    """

    def __init__(self, *args, environ: Mapping[str, str] | None = None, **kwargs):
        self.environ = os.environ if environ is None else environ
        # Checks of options that go together, each called with the parsed options: its
        # ValueError stops the command with its text.
        self.checks: list[Callable[[argparse.Namespace], Any]] = []
        super().__init__(*args, **kwargs)

    def add_subparsers(self, **kwargs):
        kwargs.setdefault("parser_class", functools.partial(type(self), environ=self.environ))
        return super().add_subparsers(**kwargs)

    def add_argument(self, *args, from_env: bool = True, **kwargs):
        """As argparse's; ``from_env=False`` for a value that belongs to one run only (an
        event's id, its seq), which a variable left over from an earlier run must not give."""
        action = super().add_argument(*args, **kwargs)
        switch = action.nargs == 0
        if (not from_env or not action.option_strings or action.dest == "help"
                or (switch and action.const is not True)  # only store_true among switches
                or isinstance(action, argparse._AppendAction)):
            return action
        name = env_name(action.dest)
        if action.help is not argparse.SUPPRESS:
            action.help = f"{action.help or ''} [env {name}]".lstrip()
        text = self.environ.get(name)
        if text is not None:
            action.default = _FromEnv(name, text)
            action.required = False
        return action

    def parse_known_args(self, args=None, namespace=None):
        namespace, rest = super().parse_known_args(args, namespace)
        for action in self._actions:
            value = getattr(namespace, action.dest, None)
            if isinstance(value, _FromEnv):
                setattr(namespace, action.dest, self._from_env(action, value))
        for check in self.checks:
            try:
                check(namespace)
            except ValueError as exc:
                self.exit(2, f"{self.prog}: {exc}\n")
        return namespace, rest

    def _from_env(self, action: argparse.Action, value: _FromEnv) -> Any:
        text = value.text.strip()
        if not text and action.nargs != 0:
            # Set to nothing, by a template or a deployment whose own variable is unset: no
            # option takes that for a value (an empty --host would listen on every interface).
            self.error(f"{value.name}={value.text!r}: empty; give a value or unset it "
                       f"(for {action.option_strings[0]})")
        if action.nargs == 0:  # a switch
            if text.lower() in TRUE:
                return True
            if text.lower() in FALSE:
                return False
            self.error(f"{value.name}={value.text!r}: expected 1/true/yes/on or 0/false/no/off "
                       f"(for {action.option_strings[0]})")
        try:
            converted = action.type(text) if callable(action.type) else text
        except (TypeError, ValueError, argparse.ArgumentTypeError) as exc:
            kind = getattr(action.type, "__name__", "")
            detail = (str(exc) if isinstance(exc, argparse.ArgumentTypeError)
                      else f"invalid {kind} value".replace("  ", " "))
            self.error(f"{value.name}={value.text!r}: {detail} (for {action.option_strings[0]})")
        if action.choices is not None and converted not in action.choices:
            self.error(f"{value.name}={value.text!r}: expected one of "
                       f"{', '.join(map(str, action.choices))} (for {action.option_strings[0]})")
        return converted


def _checked(kind, holds, why):
    """An argument type: ``kind`` (int or float) whose value must satisfy ``holds``."""
    def convert(text: str):
        value = kind(text)
        if not holds(value):
            raise argparse.ArgumentTypeError(why(value))
        return value
    convert.__name__ = kind.__name__  # what argparse names in "invalid int value"
    return convert


# A port past 65535 would be wrapped round by the system into another one, a negative size or
# time would make every client too slow or every node unhealthy, NaN never unhealthy.
port = _checked(int, lambda v: 0 <= v <= 65535,
                lambda v: f"port {v} is out of range (0 to 65535)")
count = _checked(int, lambda v: v >= 0, lambda v: f"{v} is negative")
# Redis's scripts count in doubles: exact up to 2**53, past every seq of 15 digits.
width = _checked(int, lambda v: 1 <= v <= 15, lambda v: f"{v} digits: from 1 to 15")
at_least_one = _checked(int, lambda v: v >= 1, lambda v: f"{v}: at least 1")
# 0 is no "unbounded": every client would be closed at the first burst that fills its socket.
outbox = _checked(int, lambda v: v >= 1,
                  lambda v: f"{v} bytes: at least 1 (no outbox is unbounded)")
seconds = _checked(float, lambda v: 0 <= v < math.inf,
                   lambda v: f"{v} is not a number of seconds (0 or more)")
# 0 would time every lookup out before it is sent, or close every connection before it could
# subscribe.
some_seconds = _checked(float, lambda v: 0 < v < math.inf,
                        lambda v: f"{v} is not a number of seconds (more than 0)")

# What a node's URL may hold: it goes verbatim into the page's policy and into the page itself,
# where a quote, a space, a comma or a semicolon would end it and start something else.
_URL_TEXT = re.compile(r"[A-Za-z0-9._~:/%\[\]-]+")


def websocket_url(url: str) -> str:
    """``url`` when it is a ws:// or wss:// URL (a host, maybe a port and a path; no user, query
    or fragment), else ValueError."""
    parts = urllib.parse.urlsplit(url)
    try:
        parts.port  # a port that is not one raises
        valid = (parts.scheme in ("ws", "wss") and bool(parts.hostname)
                 and "@" not in parts.netloc and _URL_TEXT.fullmatch(url) is not None)
    except ValueError:
        valid = False
    if not valid:
        raise ValueError(f"{url!r} is not a websocket URL (ws://host:port or wss://host/path)")
    return url


def websocket_urls(text: str) -> tuple[str, ...]:
    """An argument type: comma-separated websocket URLs (:func:`websocket_url`)."""
    urls = [url.strip() for url in text.split(",") if url.strip()]
    if not urls:
        raise argparse.ArgumentTypeError("no URL given")
    try:
        return tuple(map(websocket_url, urls))
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def origins(text: str) -> tuple[str, ...]:
    """An argument type: comma-separated origins (``https://host[:port]``), or ``*``."""
    from .web import origin_parts

    listed = tuple(o.strip() for o in text.split(",") if o.strip())
    if not listed:
        raise argparse.ArgumentTypeError("no origin given")
    for origin in listed:
        if origin != "*" and origin_parts(origin) is None:
            raise argparse.ArgumentTypeError(
                f"{origin!r} is not an origin (http:// or https://, a host, maybe a port; "
                f"no path) nor *")
    return listed


def addresses(text: str) -> tuple[tuple[str, int], ...]:
    """An argument type: comma-separated ``host:port`` (an IPv6 host in brackets)."""
    found = []
    for item in (i.strip() for i in text.split(",")):
        if not item:
            continue
        try:
            parts = urllib.parse.urlsplit(f"//{item}")
            number = parts.port
        except ValueError:
            number = None
        if not parts.hostname or not number or parts.path or "@" in item:
            raise argparse.ArgumentTypeError(f"{item!r} is not HOST:PORT")
        found.append((parts.hostname, number))
    if not found:
        raise argparse.ArgumentTypeError("no HOST:PORT given")
    return tuple(found)


# -- the settings of the commands, each declared once ---------------------------------------------
@dataclasses.dataclass(frozen=True)
class Setting:
    """One option of a command: its flag, and from it its variable (:func:`env_name`), its
    default, its line in ``--help`` and its row in the README's table (:func:`settings_table`).
    ``server`` says that the node hands it to its server as the keyword of the same name."""

    flag: str
    help: str
    default: Any = None
    type: Callable[[str], Any] | None = None
    metavar: str | None = None
    required: bool = False
    switch: bool = False
    choices: tuple[str, ...] | None = None
    shown: str | None = None  # the default as --help and the README say it, when not its value
    server: bool = False

    @property
    def dest(self) -> str:
        return self.flag[2:].replace("-", "_")

    @property
    def env(self) -> str:
        return env_name(self.dest)

    def value(self) -> Any:
        return self.default() if callable(self.default) else self.default

    def said(self) -> str:
        """The default, in words."""
        if self.shown is not None:
            return self.shown
        if self.switch:
            return "off" if not self.value() else "on"
        return f"{self.value():g}" if isinstance(self.value(), float) else str(self.value())

    def add_to(self, parser: argparse.ArgumentParser) -> None:
        # %(default)s: a value from the environment shows as such ("8766 from BROADCAST_PORT").
        default = self.said() if self.shown is not None or self.switch else "%(default)s"
        help = self.help if self.required else f"{self.help} (default: {default})"
        if self.switch:
            parser.add_argument(self.flag, action="store_true", default=self.value(), help=help)
            return
        parser.add_argument(self.flag, default=self.value(), type=self.type, required=self.required,
                            metavar=self.metavar, choices=self.choices, help=help)


REDIS_SETTINGS = (
    Setting("--redis", "Redis URL, e.g. redis://127.0.0.1:6379/0; with --sentinel, only its "
            "database and password count", metavar="URL",
            shown="(required, but with --sentinel or --redis-cluster)"),
    Setting("--sentinel", "comma-separated HOST:PORT of Redis sentinels: the stream is on the "
            "primary they name, followed through failovers", (), addresses,
            "HOST:PORT[,...]", shown="none: the Redis of --redis"),
    Setting("--sentinel-master", "the name the sentinels know the primary by", metavar="NAME",
            shown="none"),
    Setting("--redis-cluster", "comma-separated HOST:PORT of nodes of a Redis Cluster: each "
            "document class has a stream of its own, on the shard that holds it, and a "
            "connection subscribes to one class", (), addresses, "HOST:PORT[,...]",
            shown="none: one stream, on the Redis of --redis"),
    Setting("--stream", "the Redis stream's key", STREAM, server=True),
    Setting("--seq-width", "digits of the stream's seqs, 1 to 15: the width the stream was made "
            "with", SEQ_WIDTH, width, server=True),
)
"""The settings of every command that reads or writes the stream."""

LOG_SETTINGS = (
    Setting("--log-level", "the least severe messages logged (debug adds a line per connection "
            "and request)", "info", str.lower, choices=LOG_LEVELS),
    Setting("--log-format", "text lines, or one JSON object per line", "text", str.lower,
            choices=LOG_FORMATS),
)

NODE_SETTINGS = REDIS_SETTINGS + (
    Setting("--auth", "the authentication service's API root", metavar="URL", required=True),
    Setting("--app-name", "the application's name, sent with every ACL lookup to the "
            "authentication service", APP_NAME, metavar="NAME", server=True),
    Setting("--documents", "the module (or a Python file) whose DOCUMENT_CLASSES rebuild the "
            "events, e.g. broadcast_demo.shop", metavar="MODULE", required=True),
    Setting("--name", "the node's name, in its logs and health", lambda: f"node-{os.getpid()}",
            shown="node-PID", server=True),
    Setting("--host", "the address to listen on", HOST, server=True),
    Setting("--port", "websocket port", PORT, port, shown="a free one", server=True),
    Setting("--tls-cert", "PEM file of the certificate chain: the node serves wss:// and "
            "https:// (with --tls-key)", metavar="FILE", shown="none: ws:// and http://",
            server=True),
    Setting("--tls-key", "PEM file of the certificate's private key", metavar="FILE",
            shown="none", server=True),
    Setting("--allowed-origins", "comma-separated origins (https://host:port) of pages "
            "elsewhere whose browsers may open a websocket, or *; others get 403",
            ALLOWED_ORIGINS, origins, "ORIGINS",
            shown="the page's own origin, and clients that send none", server=True),
    Setting("--metrics-port", "serve GET /metrics (and /healthz) on this port instead, plain "
            "HTTP on the same host, to keep it off the public port", None, port, "PORT",
            shown="none: on the websocket port", server=True),
    Setting("--from-start", "deliver the whole stream, not only what is appended from now on",
            switch=True, shown="off: from the stream's end", server=True),
    Setting("--send-queue", "bytes that may wait for one slow client before it is closed with "
            "1013", SEND_QUEUE_BYTES, outbox, "BYTES", server=True),
    Setting("--compression", "offer per-message deflate to clients", COMPRESSION, switch=True,
            server=True),
    Setting("--max-lag", "events the feed may be behind the stream before GET /healthz answers "
            "503", MAX_LAG, count, "EVENTS", server=True),
    Setting("--unhealthy-after", "seconds Redis may be unreachable before GET /healthz answers "
            "503", UNHEALTHY_AFTER, seconds, "SECONDS", server=True),
    Setting("--max-connections", "open websocket connections taken; a handshake past that gets "
            "503", MAX_CONNECTIONS, at_least_one, "N", server=True),
    Setting("--subscribe-within", "seconds a new connection has to be subscribed before it is "
            "closed (1008)", SUBSCRIBE_WITHIN, some_seconds, "SECONDS", server=True),
    Setting("--max-subscriptions", "subscriptions one connection may hold", MAX_SUBSCRIPTIONS,
            at_least_one, "N", server=True),
    Setting("--max-scope-items", "values one subscription's data_scope may list",
            MAX_SCOPE_ITEMS, at_least_one, "N", server=True),
    Setting("--max-catalog-keys", "fields one subscription's catalog may name",
            MAX_CATALOG_KEYS, at_least_one, "N", server=True),
    Setting("--catch-ups", "catch-ups of resuming clients a node runs at once; the others wait "
            "their turn", CATCH_UPS, at_least_one, "N", server=True),
    Setting("--catch-up-wait", "seconds a catch-up may wait for its turn before the client is "
            "told to ask again", CATCH_UP_WAIT, seconds, "SECONDS", server=True),
    Setting("--auth-timeout", "seconds an ACL lookup may take in all, its turn included",
            AUTH_TIMEOUT, some_seconds, "SECONDS", server=True),
    Setting("--auth-cache", "seconds the authentication service's answer about a key is reused, "
            "known or not (0: ask each time)", AUTH_CACHE, seconds, "SECONDS", server=True),
    Setting("--public-nodes", "comma-separated websocket URLs of the nodes, as browsers reach "
            "them, that the page served on GET / may connect to", PUBLIC_NODES, websocket_urls,
            "URLS", shown="the page's own host only", server=True),
) + LOG_SETTINGS
"""Every setting of a node, in the order of its ``--help``."""


def add_settings(parser: argparse.ArgumentParser, settings: tuple[Setting, ...]) -> None:
    for setting in settings:
        setting.add_to(parser)


def add_log_arguments(parser: argparse.ArgumentParser) -> None:
    add_settings(parser, LOG_SETTINGS)


def log_level(name: str) -> int:
    return logging.getLevelName(name.upper())


def add_redis_argument(parser: argparse.ArgumentParser) -> None:
    add_settings(parser, REDIS_SETTINGS)


def add_node_arguments(parser: argparse.ArgumentParser) -> None:
    add_settings(parser, NODE_SETTINGS)


class NodeConfig(argparse.Namespace):
    """What one node process is told to do: an attribute per setting of :data:`NODE_SETTINGS`."""

    def __init__(self, **values: Any):
        settings = {setting.dest: setting for setting in NODE_SETTINGS}
        unknown = set(values) - set(settings)
        if unknown:
            raise TypeError(f"no such node setting: {', '.join(sorted(unknown))}")
        missing = [s.flag for s in NODE_SETTINGS if s.required and s.dest not in values]
        if missing:
            raise TypeError(f"required node settings missing: {', '.join(missing)}")
        super().__init__(**{dest: setting.value() for dest, setting in settings.items()} | values)

    @classmethod
    def from_args(cls, args: argparse.Namespace) -> "NodeConfig":
        return cls(**{s.dest: getattr(args, s.dest) for s in NODE_SETTINGS})

    def server_options(self) -> dict[str, Any]:
        """The keywords of the node's server that come from its settings."""
        return {s.dest: getattr(self, s.dest) for s in NODE_SETTINGS if s.server}


def settings_table(settings: tuple[Setting, ...] = NODE_SETTINGS) -> str:
    """The README's table of a node's settings, in Markdown."""
    rows = ["| option | environment variable | default | what it sets |", "|---|---|---|---|"]
    for s in settings:
        flag = f"`{s.flag} {s.metavar}`" if s.metavar else f"`{s.flag}`"
        default = ("(required)" if s.required else s.shown if s.shown is not None
                   else f"`{s.said()}`")
        choices = f": one of {', '.join(s.choices)}" if s.choices else ""
        rows.append(f"| {flag} | `{s.env}` | {default} | {s.help}{choices} |")
    return "\n".join(rows) + "\n"


if __name__ == "__main__":
    print(settings_table(), end="")
