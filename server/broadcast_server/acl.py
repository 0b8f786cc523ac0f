"""An API key's ACL from the authentication service, each lookup bounded in time.

The module calls the authentication service without a timeout; :func:`bound_acl_lookups` gives
every lookup one, process-wide, by rebinding ``broadcast.requests`` (the module reads it at each
call). A program using the server calls it once at start-up.
"""
from __future__ import annotations

import asyncio
import time
from typing import Any, Callable

import broadcast
import requests
from tolva_engine import Acl

from . import config, protocol
from .errors import Refusal, Refused, Unavailable

__all__ = ["TimedRequests", "bound_acl_lookups", "AclLookup"]


class TimedRequests:
    """``requests`` as the module calls it, ``post(url, json=...)``, with a timeout on every post.

    A service that accepts the connection and never answers would otherwise hold the lookup, and
    the worker thread it runs in, for good.
    """

    def __init__(self, timeout: float):
        self.timeout = timeout

    def post(self, url: str, *, json: Any) -> requests.Response:
        return requests.post(url, json=json, timeout=self.timeout)


def bound_acl_lookups(timeout: float = config.AUTH_TIMEOUT) -> None:
    """Give every ``AuthClient`` lookup of this process a timeout."""
    broadcast.requests = TimedRequests(timeout)


class AclLookup:
    """The ACL and account id of an API key, for one application."""

    def __init__(self, auth_root: str, app_name: str = config.APP_NAME,
                 in_flight: int = config.ACL_LOOKUPS_IN_FLIGHT, *,
                 observe: Callable[[float], None] | None = None):
        self.client = broadcast.AuthClient(auth_root)
        self.app_name = app_name
        self.observe = observe  # told the seconds each lookup took, waiting its turn included
        # Each lookup holds a worker thread: many clients at once must not take them all.
        self.in_flight = asyncio.Semaphore(in_flight)

    async def __call__(self, api_key: str) -> tuple[Acl, Any]:
        """(ACL, account id); raises :class:`Refused` for a key the service does not accept and
        :class:`Unavailable` when it cannot be asked now.

        The client call blocks for the whole HTTP exchange, so it runs in a worker thread and
        the event loop goes on serving everybody else.
        """
        started = time.perf_counter()
        try:
            async with self.in_flight:
                reply, status = await asyncio.to_thread(self.client.get_api_acl, api_key,
                                                        self.app_name)
        except requests.Timeout as exc:
            raise Unavailable(protocol.auth_timed_out(
                getattr(broadcast.requests, "timeout", None))) from exc
        except OSError as exc:  # the HTTP client's connection errors are OSErrors
            raise Unavailable(protocol.auth_unavailable(exc)) from exc
        finally:
            if self.observe is not None:
                self.observe(time.perf_counter() - started)
        if status != 200 or not isinstance(reply, dict):
            message = reply.get("message") if isinstance(reply, dict) else None
            if status == 404:
                raise Refused(protocol.unknown_key(api_key), api_key, kind=Refusal.UNKNOWN_KEY)
            raise Refused(protocol.not_accepted(api_key, status, message), api_key,
                          kind=Refusal.NOT_ACCEPTED)
        return Acl(reply.get("acl") or ()), reply.get("id")
