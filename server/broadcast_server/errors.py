"""Every exception the server, the node, the stream and the client raise, in one place."""
from __future__ import annotations

import enum

__all__ = ["BadRequest", "Refusal", "Refused", "Unavailable", "AuthServiceFault",
           "TooOld", "Ahead", "StreamMadeAnew", "StreamMismatch", "RedisFull", "CannotListen",
           "Skip", "Unfit"]


class Refusal(enum.StrEnum):
    """Why a server turns a request (or a connection) down, in a word: each member is a label of
    the ``broadcast_refusals_total`` metric (its value), says how the connection's log line
    begins (``word``), whether the client is refused for good (``final``: a ``refused`` reply;
    else an ``error`` reply, and it may try again) and whether the server then hangs up
    (``closes``, with 1008)."""

    word: str
    final: bool
    closes: bool

    def __new__(cls, label: str, word: str, final: bool = False,
                closes: bool = False) -> "Refusal":
        member = str.__new__(cls, label)
        member._value_ = label
        member.word, member.final, member.closes = word, final, closes
        return member

    UNKNOWN_KEY = "unknown_key", "refused", True, True
    EMPTY_ACL = "empty_acl", "refused", True, True
    FOREIGN_ORIGIN = "origin", "refused", True  # a browser handshake from a page elsewhere
    NOT_ACCEPTED = "not_accepted", "refused", True, True
    BAD_REQUEST = "bad_request", "bad request"
    RATE_LIMITED = "rate_limited", "bad request"
    DATA_SCOPE_TOO_LONG = "data_scope_too_long", "bad request"
    CATALOG_TOO_LONG = "catalog_too_long", "bad request"
    TOO_MANY_SUBSCRIPTIONS = "too_many_subscriptions", "bad request"
    NOT_SUBSCRIBED = "not_subscribed_in_time", "not subscribed", False, True
    TOO_MANY_CONNECTIONS = "too_many_connections", "refused"  # at the handshake, with 503
    UNAVAILABLE = "unavailable", "error"
    FAILED = "failed", "error"


class BadRequest(ValueError):
    """A request the server cannot read, or one past a limit (``reason``); the text goes to the
    client, the connection stays."""

    def __init__(self, text: str, reason: Refusal = Refusal.BAD_REQUEST):
        super().__init__(text)
        self.reason = reason


class Refused(Exception):
    """A request turned down for good: an unknown key, an empty ACL, events no longer held.

    On the server the text goes to the client, then the server hangs up; a client that is
    refused stops. ``api_key`` is the key that was refused, when there was one; ``kind`` says
    why (a final :class:`Refusal`).
    """

    def __init__(self, reason: str, api_key: str | None = None, *,
                 kind: Refusal = Refusal.NOT_ACCEPTED):
        super().__init__(reason)
        self.api_key, self.kind = api_key, kind


class Unavailable(Exception):
    """Something this side depends on (the authentication service, Redis, a node) did not answer
    in time; nothing was done, and the same call may succeed later."""


class AuthServiceFault(Unavailable):
    """The authentication service answered, but not as itself: a redirect, an error without its
    own message, a body that is not JSON or is too long. The text goes to the client (the same
    call may succeed later); ``detail`` says what came, for the server's log and health check."""

    def __init__(self, reason: str, detail: str):
        super().__init__(reason)
        self.detail = detail


class TooOld(Exception):
    """The stream no longer holds every event after the requested seq, or holds another epoch:
    it was made anew (``reset``), and the events of the requested epoch are gone."""

    def __init__(self, after: str, oldest: str | None, latest: str | None, *,
                 epoch: str | None = None, reset: bool = False):
        self.after, self.oldest, self.latest = after, oldest, latest
        self.epoch, self.reset = epoch, reset
        held = f"it now holds {oldest} to {latest}" if oldest else "it now holds nothing"
        what = (f"the stream was made anew (epoch {epoch}): events after {after} of the epoch "
                f"resumed from are gone" if reset else f"events after {after} are no longer held")
        super().__init__(f"{what} ({held}); subscribe again without resume_after to get the "
                         f"events from now on")


class Ahead(Exception):
    """A client resumed after a seq the stream has not reached (in its epoch): it cannot have
    had that event, and would skip every event up to it. It subscribes from now instead."""

    def __init__(self, after: str, latest: str | None, *, epoch: str | None = None):
        self.after, self.latest, self.epoch = after, latest, epoch
        held = f"its last seq is {latest}" if latest else "it holds nothing"
        super().__init__(f"resume_after {after} is ahead of the stream ({held}, epoch {epoch}); "
                         f"subscribe again without resume_after to get the events from now on")


class StreamMadeAnew(Exception):
    """An append found the stream made anew since the publisher's last one: the events it
    had appended after ``last_seq`` (acknowledged in epoch ``old``) may be gone with the old
    stream. Nothing was appended; the publisher now appends to epoch ``new``."""

    def __init__(self, old: str, new: str, last_seq: str | None):
        self.old, self.new, self.last_seq = old, new, last_seq
        last = (f"the last one was seq {last_seq}" if last_seq is not None
                else "this publisher acknowledged none")
        super().__init__(f"the stream was made anew (epoch {new}, was {old}): events "
                         f"acknowledged in the old epoch may be lost, {last}; nothing was "
                         f"appended, publish again from your own records")


class RedisFull(Unavailable):
    """Redis refused an append for want of memory (its maxmemory, with ``noeviction``): the
    event is not in the stream."""


class StreamMismatch(ValueError):
    """A node or publisher set up otherwise than the stream it was pointed at (another seq
    width, ...), or a Redis whose settings could lose the events it acknowledges."""


class CannotListen(Exception):
    """The websocket server could not bind its port; the text says why, in one line."""

    HINT = "choose another with --port PORT (--port 0 takes any free port)"
    """What a command line with a ``--port`` option adds to the text (``hint``: that of the
    option whose port it is)."""

    def __init__(self, text: str, flag: str = "--port"):
        super().__init__(text)
        self.hint = self.HINT.replace("--port", flag)


class Skip(enum.StrEnum):
    """Why a node skipped an entry of the stream, in a word: the label of the
    ``broadcast_stream_entries_skipped_total`` metric and the word of its log line."""

    UNKNOWN_CLASS = "unknown_class"
    """The event's class is not in ``DOCUMENT_CLASSES``."""

    NOT_AN_OBJECT = "not_an_object"
    """The event's data is not a JSON object, so it cannot be the class's keyword arguments."""

    REFUSED_BY_CLASS = "refused_by_class"
    """``cls(**data)`` raised: a field the class does not take, one it needs and did not get, a
    value it refuses."""

    BAD_ENTRY = "bad_entry"
    """Anything else: an entry the publisher does not write (a field missing, data that is not
    JSON, a seq of another width)."""


class Unfit(ValueError):
    """An event no node can rebuild into a document (see :mod:`broadcast_server.documents`);
    ``reason`` says why, as a node's metrics count the entries it skips."""

    def __init__(self, text: str, reason: Skip):
        super().__init__(text)
        self.reason = reason
