"""The JSON protocol between a client and the server, sans I/O: requests parsed, replies built.

Nothing here touches a socket, an event loop or Redis, so every rule of the protocol can be
checked in microseconds: the rules for one message (:func:`parse_request`, the replies) and
those of a connection's whole life (:class:`Session`, driven by frames and a clock).
:mod:`broadcast_server.server` and :mod:`broadcast_server.node` carry the frames and perform what
the session says.

Client to server, on text frames, any number of times on one connection::

    {"api_key": "key-ops-eu",
     "subscribe": [{"doc_class": "Order", "data_scope": ["eu"], "catalog": {"id": 1, "total": 1},
                    "show_hidden": false, "start_seq": "0005"}]}

Only "doc_class" is required in a subscription; the others default to everything (data scope and
catalog None), no hidden fields and no start sequence. Subscribing again to a class replaces that
subscription. A node also reads ``"resume_after": "00000042", "epoch": "9f0c..."``: the last
seq the client knows of and the stream's epoch it belongs to (from the node's ``subscribed``
reply). A position is the pair: a seq from another epoch names nothing in the stream now.

Server to client:

* ``{"type": "welcome", "doc_classes": [...], "protocol": ...}`` once, on connecting;
* ``{"type": "subscribed", "doc_classes": [...], "api_id": ...}`` after a granted request; a
  node adds ``"after_seq"`` (the live events start after it), ``"caught_up"`` (events sent
  from the stream's backlog, before this reply) and ``"epoch"`` (the stream's epoch: every
  event on this connection belongs to it);
* ``{"type": "refused", "reason": ...}`` when the key is unknown or its ACL is empty; the server
  then closes the connection (code 1008, policy violation);
* ``{"type": "error", "reason": ...}`` for a request it cannot read or past a limit (values in a
  data scope, fields in a catalog, subscriptions on the connection, requests a second: see
  :class:`Limits`), or when the authentication service or the event stream cannot be reached or
  does not answer in time (the connection stays open); and, before closing with 1008, to a
  connection not subscribed in time after its handshake;
* ``{"type": "too_old", "reason": ..., "oldest_seq": ..., "latest_seq": ..., "epoch": ...}``
  when the stream no longer holds every event after ``resume_after``, or is of another epoch
  (the client is not subscribed);
* ``{"type": "ahead", "reason": ..., "latest_seq": ..., "epoch": ...}`` when ``resume_after``
  is past the last seq the stream ever had in that epoch: the client cannot have had it, and
  would skip every event up to it (the client is not subscribed);
* a node closes every connection with code 4001 (:data:`RESET_CLOSE_CODE`) when it finds the
  stream made anew, the reason naming the new epoch and the position before its first event
  (``stream made anew: epoch 9f0c... after 00000000``, see :func:`reset_reason`): its clients
  resume from there, and get every event the new stream holds.
* the document events, exactly as the broadcaster sends them:
  ``{"doc_class": ..., "op": ..., "seq": ..., "message": {...}}``.

A seq is a string of decimal digits; the broadcaster compares seqs as text, so the events of one
stream all have the same width.
"""
from __future__ import annotations

import dataclasses
import hashlib
import json
import math
import time
from typing import Any, Iterable, Mapping, NamedTuple

from . import config
from .errors import Ahead, BadRequest, Refusal, Refused, TooOld, Unavailable

__all__ = ["PROTOCOL", "REFUSED_CLOSE_CODE", "RESET_CLOSE_CODE", "SUBSCRIPTION_FIELDS",
           "MAX_REQUEST_CHARS", "Subscription", "Request", "Position", "parse_request",
           "parse_resume", "request", "is_seq", "seq_number", "format_seq", "next_seq",
           "later_seq", "live_after", "welcome", "subscribed", "refused", "error", "too_old",
           "ahead", "reset_reason", "parse_reset_reason",
           "frame", "unknown_key", "empty_acl", "not_accepted", "auth_timed_out",
           "auth_unavailable", "stream_unavailable", "stream_down", "stream_made_anew",
           "node_behind", "catch_ups_busy", "quote", "fingerprint", "is_stream_seq", "RateLimit",
           "too_many_requests", "too_many_subscriptions", "not_subscribed", "Refusal", "Limits",
           "LIMITS", "Session", "Send", "Greet", "LookUp", "Admit", "CheckHeld", "CatchUp", "Register",
           "TurnDown", "Count", "Log", "Fault", "Close", "Warn", "TurnAway", "Door", "RETRY_AFTER"]

PROTOCOL = (
    'send {"api_key": KEY, "subscribe": [{"doc_class": CLASS, "data_scope": [..] | null, '
    '"catalog": {field: ..} | null, "show_hidden": bool, "start_seq": "0005"}]}; to a node, '
    'add "resume_after": the last seq received, "epoch": the subscribed reply\'s, to catch up'
)
"""The one-line reminder of the request that every welcome carries."""

REFUSED_CLOSE_CODE = 1008
"""The close code after a refusal: policy violation."""

RESET_CLOSE_CODE = 4001
"""The close code when the stream was made anew (another epoch): what the client had is gone
from the stream, and it subscribes again without ``resume_after``."""

MAX_REQUEST_CHARS = 64 * 1024
"""The longest request frame read, in characters; a longer one gets an error reply. (Frames past
the websocket library's own bound, 1 MiB, are closed with 1009 before they get here.)"""

QUOTE_CHARS = 40
"""How much of a value a client sent is quoted back, or logged."""

SUBSCRIPTION_FIELDS = frozenset({"doc_class", "data_scope", "catalog", "show_hidden", "start_seq"})
"""The fields a subscription may have; any other is refused as a typo rather than ignored."""


@dataclasses.dataclass(frozen=True)
class Limits:
    """What one client may ask of a server (see :mod:`broadcast_server.config`)."""

    scope_items: int = config.MAX_SCOPE_ITEMS
    catalog_keys: int = config.MAX_CATALOG_KEYS
    subscriptions: int = config.MAX_SUBSCRIPTIONS
    subscribe_within: float = config.SUBSCRIBE_WITHIN  # seconds


LIMITS = Limits()


# -- seqs ---------------------------------------------------------------------------------------
def is_seq(value: Any) -> bool:
    return isinstance(value, str) and value.isdigit() and value.isascii()


def is_stream_seq(value: Any, width: int | None) -> bool:
    """Whether ``value`` is a seq of the stream's format: exactly ``width`` decimal digits (any
    number of them when ``width`` is None)."""
    return is_seq(value) and (width is None or len(value) == width)


def seq_format(width: int | None) -> str:
    """The format of a seq, as told to a client."""
    if width is None:
        return "a string of decimal digits"
    return f'a string of {width} decimal digits, zero-padded, such as "{format_seq(42, width)}"'


def seq_number(seq: str) -> int:
    """The number a seq stands for; ValueError when ``seq`` is not a seq."""
    if not is_seq(seq):
        raise ValueError(f"a seq is a string of decimal digits, not {seq!r}")
    return int(seq)


def format_seq(number: int, width: int) -> str:
    return str(number).zfill(width)


def next_seq(seq: str) -> str:
    """The seq right after ``seq``, as wide as it."""
    return format_seq(int(seq) + 1, len(seq))


def later_seq(a: str | None, b: str | None) -> str | None:
    """The later of two seqs by number (``a`` on a tie); None stands for "none yet"."""
    if a is None:
        return b
    if b is None or int(b) <= int(a):
        return a
    return b


def live_after(resumed_after: str | None, position: str | None, width: int) -> str:
    """After which seq a client's live events start, when it has everything up to
    ``resumed_after`` (None: nothing) and the feed has handed over everything up to
    ``position`` (None: nothing yet, so every event it will hand over is new): the seq 0 of
    the stream's width for all, a position the client may resume after like any other."""
    return later_seq(resumed_after, position) or format_seq(0, width)


# -- requests -----------------------------------------------------------------------------------
@dataclasses.dataclass(frozen=True)
class Subscription:
    """One subscription of a request, its values exactly as the client sent them."""

    doc_class: str
    data_scope: list | None = None
    catalog: dict | None = None
    show_hidden: bool = False
    start_seq: str = ""

    @classmethod
    def from_request(cls, sub: Any, known: frozenset[str], seq_width: int | None = None,
                     limits: Limits = LIMITS) -> "Subscription":
        """Check one subscription object of a request (``known``: the classes served, empty for
        any; ``seq_width``: the width of the stream's seqs, None for any); raises
        :class:`BadRequest`."""
        if not isinstance(sub, dict):
            raise BadRequest("each subscription must be a JSON object")
        unknown = set(sub) - SUBSCRIPTION_FIELDS
        if unknown:
            # A name with a line break or other control character is shown escaped: the reason
            # goes to the log too, where it must not start a line of its own.
            names = quote(", ".join(name if name.isprintable() else repr(name)
                                    for name in sorted(unknown)), repr_=False)
            raise BadRequest(f"unknown subscription field(s): {names}")
        doc_class = sub.get("doc_class")
        if doc_class is None:
            raise BadRequest("doc_class is required")
        if not isinstance(doc_class, str):
            raise BadRequest('"doc_class" must be a string')
        if known and doc_class not in known:
            raise BadRequest(f"unknown doc_class {quote(doc_class)}; "
                             f"known: {', '.join(sorted(known))}")
        scope = sub.get("data_scope")
        if scope is not None and not isinstance(scope, list):
            raise BadRequest('"data_scope" must be a list or null')
        if scope is not None and len(scope) > limits.scope_items:
            raise BadRequest(f'"data_scope" lists {len(scope)} values; at most '
                             f'{limits.scope_items}', Refusal.DATA_SCOPE_TOO_LONG)
        catalog = sub.get("catalog")
        if catalog is not None and not isinstance(catalog, dict):
            raise BadRequest('"catalog" must be an object or null')
        if catalog is not None and len(catalog) > limits.catalog_keys:
            raise BadRequest(f'"catalog" names {len(catalog)} fields; at most '
                             f'{limits.catalog_keys}', Refusal.CATALOG_TOO_LONG)
        show_hidden = sub.get("show_hidden", False)
        if not isinstance(show_hidden, bool):
            raise BadRequest('"show_hidden" must be true or false')
        start_seq = sub.get("start_seq", "")
        if not isinstance(start_seq, str):
            raise BadRequest('"start_seq" must be a string')
        if start_seq and not is_stream_seq(start_seq, seq_width):
            # A seq of another width compares wrongly as text: the client would get nothing.
            raise BadRequest(f'"start_seq" must be {seq_format(seq_width)}, '
                             f'not {quote(start_seq)}')
        return cls(doc_class, scope, catalog, show_hidden, start_seq)

    def subscribe_args(self, acl: Any, start_seq: str | None = None) -> dict[str, Any]:
        """The keywords of ``Broadcaster.subscribe`` for this subscription."""
        return {"data_scope": self.data_scope, "catalog": self.catalog,
                "show_hidden": self.show_hidden,
                "start_seq": self.start_seq if start_seq is None else start_seq, "acl": acl}

    def start_after(self, after: str) -> str:
        """The start sequence of live events for a client that has everything up to ``after``
        (from a backlog or from its last node, even one ahead of this node): its own start
        sequence, or the seq after ``after`` when that comes later."""
        if int(after):
            return max(self.start_seq, next_seq(after))
        return self.start_seq

    def describe(self) -> str:
        """The subscription in a log line: a client's values cut short."""
        return quote(self.doc_class, repr_=False) + (
            f" {quote(repr(self.data_scope), repr_=False)}" if self.data_scope else "")


@dataclasses.dataclass(frozen=True)
class Request:
    """A client request that has been read: its key, its subscriptions, and the decoded object
    for the fields only some servers read (``resume_after``)."""

    api_key: str
    subscriptions: tuple[Subscription, ...]
    fields: Mapping[str, Any]

    @property
    def doc_classes(self) -> list[str]:
        return [sub.doc_class for sub in self.subscriptions]


def parse_request(raw: Any, doc_classes: Iterable[str], seq_width: int | None = None,
                  limits: Limits = LIMITS) -> Request:
    """Read one client frame (``doc_classes``: the classes served, empty for any; ``seq_width``:
    the width of the stream's seqs, None for any); raises :class:`BadRequest` with the text for
    the client."""
    if not isinstance(raw, str):
        raise BadRequest("send JSON text frames, not binary ones")
    if len(raw) > MAX_REQUEST_CHARS:
        raise BadRequest(f"the request is longer than {MAX_REQUEST_CHARS} characters")
    try:
        request = json.loads(raw)
    except ValueError:
        raise BadRequest("the request is not JSON") from None
    except RecursionError:
        raise BadRequest("the request is nested too deeply") from None
    if not isinstance(request, dict):
        raise BadRequest("the request must be a JSON object")
    api_key = request.get("api_key")
    if not isinstance(api_key, str) or not api_key:
        raise BadRequest('"api_key" must be a non-empty string')
    subscriptions = request.get("subscribe")
    if isinstance(subscriptions, dict):
        subscriptions = [subscriptions]
    if not isinstance(subscriptions, list) or not subscriptions:
        raise BadRequest('"subscribe" must be a non-empty list of subscriptions')
    if len(subscriptions) > limits.subscriptions:
        raise BadRequest(too_many_subscriptions(len(subscriptions), limits.subscriptions),
                         Refusal.TOO_MANY_SUBSCRIPTIONS)
    known = frozenset(doc_classes)
    return Request(api_key, tuple(Subscription.from_request(sub, known, seq_width, limits)
                                  for sub in subscriptions), request)


class Position(NamedTuple):
    """Where a client is in the stream: the epoch and the last seq it has of it."""

    epoch: str
    seq: str


def parse_resume(request: Request, seq_width: int | None = None) -> Position | None:
    """The request's "resume_after" seq with its "epoch", or None without one; raises
    :class:`BadRequest`."""
    resume_after = request.fields.get("resume_after")
    if resume_after is None:
        return None
    if resume_after == "0" and seq_width is not None:
        # What nodes once replied on an empty stream: before the epoch's first event.
        resume_after = format_seq(0, seq_width)
    if not is_stream_seq(resume_after, seq_width):
        shown = (quote(resume_after) if isinstance(resume_after, str)
                 else type(resume_after).__name__)
        raise BadRequest(f'"resume_after" must be a seq: {seq_format(seq_width)}, not {shown}')
    epoch = request.fields.get("epoch")
    if not isinstance(epoch, str) or not epoch:
        raise BadRequest('"resume_after" needs the "epoch" of the subscribed reply it came from')
    return Position(epoch, resume_after)


def request(api_key: str, subscriptions: list[dict], resume_after: str | None = None,
            epoch: str | None = None) -> dict[str, Any]:
    """A client's request (the client side of :func:`parse_request`)."""
    body: dict[str, Any] = {"api_key": api_key, "subscribe": subscriptions}
    if resume_after is not None:
        body.update(resume_after=resume_after, epoch=epoch)
    return body


# -- replies ------------------------------------------------------------------------------------
def welcome(doc_classes: Iterable[str], seq_width: int | None = None) -> dict[str, Any]:
    """The greeting; its reminder shows a ``start_seq`` as wide as the server's seqs, since a
    seq of another width is refused."""
    hint = PROTOCOL
    if seq_width is not None:
        hint = hint.replace('"0005"', f'"{format_seq(5, seq_width)}"')
    return {"type": "welcome", "doc_classes": sorted(doc_classes), "protocol": hint}


def subscribed(request: Request, api_id: Any, after_seq: str | None = None,
               caught_up: int = 0, epoch: str | None = None) -> dict[str, Any]:
    """The reply to a granted request; a node gives ``after_seq``, ``caught_up`` and the
    stream's ``epoch``."""
    reply = {"type": "subscribed", "doc_classes": request.doc_classes, "api_id": api_id}
    if after_seq is not None:
        reply.update(after_seq=after_seq, caught_up=caught_up, epoch=epoch)
    return reply


def refused(reason: str) -> dict[str, Any]:
    return {"type": "refused", "reason": reason}


def error(reason: str) -> dict[str, Any]:
    return {"type": "error", "reason": reason}


def too_old(exc: TooOld) -> dict[str, Any]:
    return {"type": "too_old", "reason": str(exc), "oldest_seq": exc.oldest,
            "latest_seq": exc.latest, "epoch": exc.epoch}


def ahead(exc: Ahead) -> dict[str, Any]:
    return {"type": "ahead", "reason": str(exc), "latest_seq": exc.latest, "epoch": exc.epoch}


def reset_reason(epoch: str, start: str) -> str:
    """The reason of the 4001 close when the stream was made anew: the new epoch, and the
    position before its first event (``start``), which the client resumes after."""
    return f"stream made anew: epoch {epoch} after {start}"


def parse_reset_reason(reason: str) -> Position | None:
    """The position a 4001 close's reason names (None when it names none)."""
    words = reason.split()
    if (len(words) == 7 and words[:4] == ["stream", "made", "anew:", "epoch"]
            and words[5] == "after" and is_seq(words[6])):
        return Position(words[4], words[6])
    return None


def frame(reply: Mapping[str, Any]) -> str:
    """The text frame of a reply."""
    return json.dumps(reply)


# -- what a client sent, as it is quoted --------------------------------------------------------
def quote(text: str, limit: int = QUOTE_CHARS, *, repr_: bool = True) -> str:
    """At most ``limit`` characters of ``text``, marked when cut: a client's value is never
    quoted whole, in a reply or a log."""
    shown = text if len(text) <= limit else text[:limit] + "..."
    return repr(shown) if repr_ else shown


def fingerprint(api_key: str) -> str:
    """What names an API key in replies and logs: the key itself never appears there."""
    return "key#" + hashlib.sha256(api_key.encode("utf-8", "surrogatepass")).hexdigest()[:8]


class RateLimit:
    """A token bucket: ``burst`` requests at once, then ``rate`` a second."""

    __slots__ = ("rate", "burst", "clock", "tokens", "at")  # one per connection

    def __init__(self, rate: float, burst: int, clock=time.monotonic, now: float | None = None):
        self.rate, self.burst, self.clock = rate, burst, clock
        self.tokens, self.at = float(burst), clock() if now is None else now

    def take(self, now: float | None = None) -> float:
        """0 when a request may go now (and counts it), else the seconds until one may (``now``:
        the time in seconds, from the clock when not given)."""
        now = self.clock() if now is None else now
        self.tokens = min(self.burst, self.tokens + (now - self.at) * self.rate)
        self.at = now
        if self.tokens >= 1:
            self.tokens -= 1
            return 0.0
        return (1 - self.tokens) / self.rate


def too_many_requests(wait: float) -> str:
    return f"too many requests, retry in {max(1, math.ceil(wait))} s"


# -- the reasons a client is given ---------------------------------------------------------------
def unknown_key(api_key: str) -> str:
    return f"unknown API key {fingerprint(api_key)}"


def empty_acl(api_key: str, exc: Exception) -> str:
    reason = quote(str(exc), 200, repr_=False)
    return f"API key {fingerprint(api_key)} has an empty ACL ({reason})"


def not_accepted(api_key: str, status: int, message: str | None) -> str:
    # The service's own message may name the key it was asked about.
    told = str(message).replace(api_key, fingerprint(api_key)) if message else ""
    reason = quote(told, 200, repr_=False) if told else "no reason given"
    return (f"API key {fingerprint(api_key)} not accepted by the authentication service "
            f"({status}: {reason})")


def auth_timed_out(timeout: Any) -> str:
    within = f" within {timeout:g} s" if isinstance(timeout, (int, float)) else ""
    return f"the authentication service did not answer{within}; try again later"


def auth_unavailable(exc: Exception) -> str:
    return f"the authentication service is unavailable ({type(exc).__name__}); try again later"


def stream_unavailable(exc: Exception) -> str:
    return f"the event stream is unavailable ({type(exc).__name__}); try again later"


def stream_down() -> str:
    return "the event stream is unavailable (Redis cannot be reached); try again later"


def too_many_subscriptions(count: int, limit: int) -> str:
    return f"{count} subscriptions on one connection; at most {limit}"


def not_subscribed(within: float) -> str:
    return f"no subscription within {within:g} s of connecting; connect again to subscribe"


def stream_made_anew() -> str:
    return "the event stream was made anew meanwhile; subscribe again without resume_after"


def catch_ups_busy(waited: float) -> str:
    return (f"this node is catching other clients up (waited {waited:g} s for a turn); try "
            f"again shortly")


def node_behind() -> str:
    return "this node is still reading the stream's previous epoch; try again shortly"


# -- one connection -----------------------------------------------------------------------------
# What a session asks its driver to do. The driver performs each in order; the ones that wait on
# something (an ACL, the stream) end with a call back into the session, which returns what to do
# next. A driver's time is in milliseconds (``now``), as the session is told it.
class Send(NamedTuple):
    """Send this reply to the client, in its place among the events queued for it."""
    reply: dict[str, Any]


class Greet(NamedTuple):
    """Welcome the client: the broadcaster's ``accept`` hook, which sends ``welcome(...)``."""


class LookUp(NamedTuple):
    """Look the key's ACL up; then :meth:`Session.looked_up`, or :meth:`Session.failed`."""
    api_key: str


class Admit(NamedTuple):
    """Register the request's subscriptions under ``acl``: a server for its live events, a node
    in a registry of the connection's own, for its backlog. Then :meth:`Session.admitted`;
    :meth:`Session.acl_refused` when the ACL is empty."""
    request: Request
    acl: Any


class CheckHeld(NamedTuple):
    """(A node) check that the stream still holds ``position`` (another epoch than the node's):
    then :meth:`Session.held`, or :meth:`Session.failed` with the TooOld or Ahead raised."""
    position: Position


class CatchUp(NamedTuple):
    """(A node) send the backlog of ``epoch`` after ``after`` up to the feed's position through
    the registry :class:`Admit` filled: then :meth:`Session.caught_up`."""
    epoch: str
    after: str


class Register(NamedTuple):
    """(A node) register the request's subscriptions for live events, each starting after
    ``after``, with nothing waited on since the session read the feed's position."""
    request: Request
    acl: Any
    after: str


class TurnDown(NamedTuple):
    """Count a request turned down, by ``reason``; a final one is kept among the server's latest
    refusals, with its key and text."""
    reason: Refusal
    text: str
    api_key: str | None = None


class Count(NamedTuple):
    """Add one to the driver's counter ``name``."""
    name: str


class Log(NamedTuple):
    """Log one line about this connection."""
    text: str


class Fault(NamedTuple):
    """A fault of ours while serving a request: log it with its traceback."""
    exc: BaseException


class Close(NamedTuple):
    """Close the connection, once what was sent before has gone out (or a while has passed)."""
    code: int
    reason: str


class Warn(NamedTuple):
    """Tell the operator: one line in the server's own log, at warning level."""
    text: str


class TurnAway(NamedTuple):
    """Answer a websocket handshake with 503, asking the client to come back ``retry_after``
    seconds on (or to another node)."""
    text: str
    retry_after: int


Action = Send | Greet | LookUp | Admit | CheckHeld | CatchUp | Register | TurnDown | Count | Log | Fault \
    | Close | Warn | TurnAway

RETRY_AFTER = 5
"""Seconds a client turned away at the handshake is asked to wait."""


class Door:
    """Which websocket handshakes a server lets through: while ``limit`` connections are open,
    none. Filling up is told to the operator once, each handshake turned away in the connection
    log."""

    def __init__(self, limit: int):
        self.limit = limit
        self.full = False  # as the last handshake found

    def knock(self, open_connections: int) -> list[Action]:
        """The actions for a handshake while ``open_connections`` are open: none to let it on."""
        full = open_connections >= self.limit
        actions: list[Action] = []
        if full and not self.full:
            actions.append(Warn(f"{open_connections} connections open, as many as "
                                f"--max-connections: new ones get 503 until some close"))
        self.full = full
        if full:
            text = f"{self.limit} connections open already"
            actions += [TurnDown(Refusal.TOO_MANY_CONNECTIONS, text),
                        Log(f"{Refusal.TOO_MANY_CONNECTIONS.word} at the handshake: {text}"),
                        TurnAway("Too many connections; try again later or another node.\n",
                                 RETRY_AFTER)]
        return actions


class Session:
    """One client connection's state and every rule of the protocol for it, without I/O.

    A driver tells it the connection opened (:meth:`connected`), each frame received
    (:meth:`received`) and how each action that waits ended (:meth:`looked_up`, ...); each call
    returns the actions to perform, in order. A node's session is given its ``stream`` (an
    object with ``connected``, ``epoch``, ``position`` and ``width``, read, never written);
    a server's, the width of the seqs it publishes (``seq_width``; None takes any). On a sharded
    Redis, where each document class has a stream of its own, a node's ``stream`` is a mapping
    of each class to its stream: then a request subscribes to the classes of one stream only
    (one class), since a position (an epoch and a seq) is a place in one stream.
    One request is served at a time: the driver reads the next frame once the actions of the
    last one are done.
    """

    # One per connection: no instance dict.
    __slots__ = ("doc_classes", "streams", "stream", "width", "limits", "limit", "closed",
                 "wake_at", "classes", "request", "resume", "epoch", "acl", "api_id")

    def __init__(self, doc_classes: Iterable[str] = (), stream: Any = None, *,
                 limits: Limits = LIMITS, seq_width: int | None = None,
                 rate: float = config.SUBSCRIBE_RATE, burst: int = config.SUBSCRIBE_BURST):
        self.doc_classes = tuple(doc_classes)
        self.streams = stream if isinstance(stream, Mapping) else None
        if self.streams is not None:
            stream = next(iter(self.streams.values()), None)  # until a request picks its own
        self.stream = stream
        self.width = stream.width if stream is not None else seq_width
        self.limits = limits
        self.limit = RateLimit(rate, burst, now=0.0)
        self.closed = False  # refused or timed out: the driver reads no more
        self.wake_at: float | None = None  # when to call timed_out(), in milliseconds
        self.classes: frozenset[str] = frozenset()  # subscribed to
        self.request: Request | None = None  # the request being served
        self.resume: Position | None = None
        self.epoch: str | None = None  # the stream's, when the request came
        self.acl: Any = None
        self.api_id: Any = None

    # -- what happened ----------------------------------------------------------------------
    def connected(self, now: float) -> list[Action]:
        self.limit.at = now / 1000
        self.wake_at = now + self.limits.subscribe_within * 1000
        return [Log("connected"), Greet()]

    def timed_out(self, now: float) -> list[Action]:
        """The driver's timer, at ``wake_at`` or later: a connection not subscribed by then is
        closed."""
        if self.wake_at is None or now < self.wake_at or self.closed:
            return []
        self.wake_at = None
        return self.turn_down(Refusal.NOT_SUBSCRIBED,
                              not_subscribed(self.limits.subscribe_within))

    def received(self, raw: Any, now: float) -> list[Action]:
        """A frame from the client."""
        wait = self.limit.take(now / 1000)
        if wait:
            return self.turn_down(Refusal.RATE_LIMITED, too_many_requests(wait))
        try:
            request = parse_request(raw, self.doc_classes, self.width, self.limits)
            if self.streams is not None:
                self.stream = self._stream_of(request)
            resume = parse_resume(request, self.width) if self.stream is not None else None
        except BadRequest as exc:
            return self.failed(exc)
        # A server adds the classes to those the connection has; a node starts over.
        classes = set(request.doc_classes) | (self.classes if self.stream is None else set())
        if len(classes) > self.limits.subscriptions:
            return self.turn_down(Refusal.TOO_MANY_SUBSCRIPTIONS, too_many_subscriptions(
                len(classes), self.limits.subscriptions))
        self.request, self.resume = request, resume
        if self.stream is not None:
            # Nothing can be served without the stream: refused before the ACL is asked for, so
            # clients retrying through an outage cost the authentication service nothing.
            self.epoch = self.stream.epoch
            if not self.stream.connected or self.epoch is None:
                return self.failed(Unavailable(stream_down()))
        return [LookUp(request.api_key)]

    def _stream_of(self, request: Request) -> Any:
        streams = {id(self.streams[sub.doc_class]): self.streams[sub.doc_class]
                   for sub in request.subscriptions}
        if len(streams) > 1:
            raise BadRequest("each document class has a stream of its own here: subscribe to "
                             "one class per connection")
        return next(iter(streams.values()))

    def looked_up(self, acl: Any, api_id: Any) -> list[Action]:
        self.acl, self.api_id = acl, api_id
        return [Admit(self.request, acl)]

    def acl_refused(self, exc: Exception) -> list[Action]:
        """The module found the ACL empty."""
        api_key = self.request.api_key
        return self.failed(Refused(empty_acl(api_key, exc), api_key, kind=Refusal.EMPTY_ACL))

    def admitted(self) -> list[Action]:
        request = self.request
        if self.stream is None:
            self._granted()
            return [Log(f"subscribed with {fingerprint(request.api_key)} to "
                        + ", ".join(sub.describe() for sub in request.subscriptions)),
                    Send(subscribed(request, self.api_id))]
        resume = self.resume
        if resume is None:
            return self._register(None, 0)
        if resume.epoch != self.epoch:
            # Another epoch than this node's: too old, unless it is the stream's own and this
            # node has yet to see it.
            return [Count("resumed"), CheckHeld(resume)]
        return [Count("resumed"), CatchUp(self.epoch, resume.seq)]

    def held(self) -> list[Action]:
        return self.failed(Unavailable(node_behind()))

    def caught_up(self, after: str, sent: int) -> list[Action]:
        return self._register(after, sent)

    def stream_failed(self, exc: Exception) -> list[Action]:
        """Reading the stream failed (Redis went away)."""
        return self.failed(Unavailable(stream_unavailable(exc)))

    def failed(self, exc: Exception) -> list[Action]:
        """What the request being served raised."""
        if isinstance(exc, TooOld):
            return [Count("too_old"), Send(too_old(exc))]
        if isinstance(exc, Ahead):
            return [Count("ahead"), Send(ahead(exc))]
        # BadRequest, and any ValueError the module raises for a subscription's values.
        if isinstance(exc, ValueError):
            # The module's own messages may quote a client's values: cut short.
            return self.turn_down(getattr(exc, "reason", Refusal.BAD_REQUEST),
                                  quote(str(exc), 300, repr_=False))
        if isinstance(exc, Unavailable):
            return self.turn_down(Refusal.UNAVAILABLE, str(exc))
        if isinstance(exc, Refused):
            try:
                kind = Refusal(exc.kind)
            except ValueError:  # a word of its own: counted as the service not accepting the key
                kind = Refusal.NOT_ACCEPTED
            return self.turn_down(kind, str(exc), exc.api_key)
        # A fault of ours: this client keeps its connection.
        return [Fault(exc), *self.turn_down(
            Refusal.FAILED, f"the request failed ({type(exc).__name__}); try again later")]

    def turn_down(self, reason: Refusal, text: str, api_key: str | None = None) -> list[Action]:
        """Count, log and tell why a request is turned down: the client may try again, or, for
        a final refusal, is told so and hung up on."""
        actions = [TurnDown(reason, text, api_key), Log(f"{reason.word}: {text}"),
                   Send(refused(text) if reason.final else error(text))]
        if reason.closes:
            self.closed = True
            self.wake_at = None
            actions.append(Close(REFUSED_CLOSE_CODE, reason.word))
        return actions

    def _granted(self) -> None:
        self.classes = frozenset(self.request.doc_classes) | (
            self.classes if self.stream is None else frozenset())
        self.wake_at = None  # subscribed: the connection may stay
        # Served: what it asked for (the decoded frame) need not live as long as the connection.
        self.request = self.resume = self.acl = None

    # -- a node's registration ------------------------------------------------------------------
    def _register(self, after: str | None, sent: int) -> list[Action]:
        stream, request, acl = self.stream, self.request, self.acl
        # From here to the registration nothing waits: the feed cannot move in between.
        if stream.epoch != self.epoch:  # made anew meanwhile; this connection is being closed
            return self.failed(Unavailable(stream_made_anew()))
        after = live_after(after, stream.position, self.width)
        self._granted()
        return [Register(request, acl, after),
                Log(f"subscribed with {fingerprint(request.api_key)} after {after} ({sent} "
                    f"caught up) to " + ", ".join(sub.describe() for sub in request.subscriptions)),
                Send(subscribed(request, self.api_id, after, sent, self.epoch))]
