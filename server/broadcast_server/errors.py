"""Every exception the server, the node, the stream and the client raise, in one place."""
from __future__ import annotations

import enum

__all__ = ["BadRequest", "Refusal", "Refused", "Unavailable", "AuthServiceFault",
           "TooOld", "CannotListen"]


class Refusal(enum.StrEnum):
    """Why a server turns a request down, in a word: each member is a label of the
    ``broadcast_refusals_total`` metric (its value), says how the connection's log line begins
    (``word``) and whether the client is refused for good (``final``: a ``refused`` reply, then
    the connection is closed) or may try again (an ``error`` reply, the connection stays)."""

    word: str
    final: bool

    def __new__(cls, label: str, word: str, final: bool = False) -> "Refusal":
        member = str.__new__(cls, label)
        member._value_ = label
        member.word, member.final = word, final
        return member

    UNKNOWN_KEY = "unknown_key", "refused", True
    EMPTY_ACL = "empty_acl", "refused", True
    FOREIGN_ORIGIN = "origin", "refused", True  # a browser handshake from a page elsewhere
    NOT_ACCEPTED = "not_accepted", "refused", True
    BAD_REQUEST = "bad_request", "bad request"
    RATE_LIMITED = "rate_limited", "bad request"
    UNAVAILABLE = "unavailable", "error"
    FAILED = "failed", "error"


class BadRequest(ValueError):
    """A request the server cannot read; the text goes to the client, the connection stays."""


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



class CannotListen(Exception):
    """The websocket server could not bind its port; the text says why, in one line."""

    HINT = "choose another with --port PORT (--port 0 takes any free port)"
    """What a command line with a ``--port`` option adds to the text (``hint``: that of the
    option whose port it is)."""

    def __init__(self, text: str, flag: str = "--port"):
        super().__init__(text)
        self.hint = self.HINT.replace("--port", flag)
