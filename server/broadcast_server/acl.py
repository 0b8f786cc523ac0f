"""An API key's ACL from the authentication service, as a server asks for it.

The module's ``AuthClient.get_api_acl`` blocks for the whole HTTP exchange and posts through
``broadcast.requests``, which it reads at each call, with no timeout. A server runs its lookups
on worker threads of its own (:class:`LookupPool`), each lookup with one deadline for all of it,
its turn included. :class:`BoundedRequests`, bound as ``broadcast.requests``, holds the exchange
to that deadline however slowly the reply comes, reads at most ``AUTH_REPLY_BYTES`` of it,
follows no redirect (the body carries the key) and lets go as soon as the lookup is abandoned:
its deadline passed, every client that asked hung up, or the server stops.

:class:`AclLookup` asks once at a time per key, remembers each answer for a few seconds
(:class:`Answers`), and tells a key the service does not know from a service that cannot answer
as itself (:func:`judge`): a redirect, an error without the service's own "message" (a web
framework's 404 for a path it does not serve), a body that is not JSON or is too long. Those
are the service's trouble, never the client's: the client gets a retryable error, the server
logs it and its health check names it.
"""
from __future__ import annotations

import asyncio
import base64
import errno
import hashlib
import http.client
import json as json_text
import logging
import os
import queue
import select
import socket
import ssl
import threading
import time
import urllib.parse
from typing import Any, Callable

import broadcast
import requests
from tolva_engine import Acl

from . import config, protocol
from .errors import AuthServiceFault, Refusal, Refused, Unavailable

__all__ = ["BoundedRequests", "TimedRequests", "bound_acl_lookups", "Reply", "Call",
           "LookupPool", "Answers", "judge", "AclLookup"]

log = logging.getLogger("broadcast.auth")

POLL = 0.1
"""Seconds a worker's wait on the network lasts before it looks whether its lookup was abandoned."""

PROBE_KEY = "broadcast-start-up-probe"
"""The API key a node asks about once at start-up, to see that its --auth answers as the service."""

IDLE_POLL = 0.5
"""Seconds an idle worker waits for a lookup before it looks whether the process is ending."""

LOG_AGAIN_AFTER = 60.0
"""Seconds between two log lines for the same trouble with the service."""


# -- one exchange, held to its lookup's deadline --------------------------------------------------
class Call:
    """One lookup's HTTP exchange as a worker thread makes it: the time it must be over by, and
    whether it was abandoned. Every wait on the network lasts at most :data:`POLL` and then
    looks again, so that an abandoned lookup frees its thread at once."""

    def __init__(self, timeout: float):
        self.timeout = timeout
        self.deadline = time.monotonic() + timeout
        self.abandoned = False
        self.reply: Reply | None = None  # the reply received, once there is one

    def left(self) -> float:
        """Seconds left; raises TimeoutError when none are, or the lookup was abandoned (so is
        every lookup of a process that is ending)."""
        left = self.deadline - time.monotonic()
        if self.abandoned or left <= 0 or not threading.main_thread().is_alive():
            raise TimeoutError(f"no answer within {self.timeout:g} s")
        return left

    def abandon(self) -> None:
        self.abandoned = True

    def connect(self, address: tuple[str, int], timeout: Any = None,
                source_address: Any = None) -> socket.socket:
        """``socket.create_connection`` held to the deadline (http.client's connect hook)."""
        host, port = address
        error: OSError | None = None
        for family, kind, proto, _, peer in socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM):
            sock = _CallSocket(family, kind, proto)
            try:
                sock.setblocking(False)
                failed = sock.connect_ex(peer)
                if failed in (errno.EINPROGRESS, errno.EAGAIN):
                    connecting = select.poll()
                    connecting.register(sock, select.POLLOUT)
                    while not connecting.poll(min(self.left(), POLL) * 1000):
                        pass
                    failed = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if failed:
                    raise OSError(failed, f"{os.strerror(failed)}: {host}:{port}")
                sock.settimeout(self.left())  # a TLS handshake waits this long at most
                sock.call = self
                return sock
            except OSError as exc:
                sock.close()
                error = exc
                if isinstance(exc, TimeoutError):
                    break
        raise error or OSError(f"no address for {host}")


class _Polled:
    """A socket whose reads wait at most :data:`POLL` at a time, up to its call's deadline."""

    call: Call | None = None

    def recv_into(self, *args):
        while self.call is not None:
            self.settimeout(min(self.call.left(), POLL))
            try:
                return super().recv_into(*args)
            except TimeoutError:
                continue
        return super().recv_into(*args)

    def sendall(self, *args):
        if self.call is not None:
            self.settimeout(self.call.left())  # a request is small: it goes at once or never
        return super().sendall(*args)


class _CallSocket(_Polled, socket.socket):
    pass


class _CallTLSSocket(_Polled, ssl.SSLSocket):
    pass


class Reply:
    """A reply as the module reads it: ``status_code``, ``content`` and ``json()``;
    ``readable`` says whether ``json()`` could decode it (None before it was tried)."""

    def __init__(self, status: int, content: bytes, headers: http.client.HTTPMessage):
        self.status_code, self.content, self.headers = status, content, headers
        self.readable: bool | None = None

    def json(self) -> Any:
        try:
            charset = self.headers.get_content_charset()
            decoded = json_text.loads(self.content.decode(charset) if charset else self.content)
        except Exception:
            self.readable = False
            raise
        self.readable = True
        return decoded


class BoundedRequests:
    """``requests`` as the module calls it, ``post(url, json=...)``, held to a deadline.

    In a worker of :class:`LookupPool` the exchange belongs to the lookup's :class:`Call`; called
    anywhere else it goes through ``elsewhere`` when given (the ``requests`` package, for a
    process whose other callers expect it), else it gets ``timeout`` seconds in all. No reply
    held to a deadline takes longer, however slowly its bytes come; no redirect is followed (the
    reply is returned as it came); a body longer than ``max_bytes`` raises
    :class:`AuthServiceFault` and is not read further.
    """

    def __init__(self, timeout: float = config.AUTH_TIMEOUT,
                 max_bytes: int = config.AUTH_REPLY_BYTES, *, elsewhere: Any = None):
        self.timeout, self.max_bytes, self.elsewhere = timeout, max_bytes, elsewhere
        self.tls = ssl.create_default_context()
        self.tls.sslsocket_class = _CallTLSSocket

    def post(self, url: str, *, json: Any) -> Any:
        call = getattr(_worker, "call", None)
        if call is None:
            if self.elsewhere is not None:
                return self.elsewhere.post(url, json=json)
            call = Call(self.timeout)
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise fault(f"{shown(url)} is not an http:// or https:// URL", "no URL")
        headers = {"Content-Type": "application/json", "Accept": "application/json",
                   "Connection": "close"}
        if parts.username is not None:  # user:password@host, as requests sends it
            pair = f"{urllib.parse.unquote(parts.username)}:{urllib.parse.unquote(parts.password or '')}"
            headers["Authorization"] = "Basic " + base64.b64encode(pair.encode()).decode()
        if parts.scheme == "https":
            connection = http.client.HTTPSConnection(parts.hostname, parts.port,
                                                     context=self.tls)
        else:
            connection = http.client.HTTPConnection(parts.hostname, parts.port)
        connection._create_connection = call.connect
        try:
            connection.connect()
            connection.sock.call = call  # a TLS socket is made anew around the connected one
            target = parts.path or "/"
            connection.request("POST", target + (f"?{parts.query}" if parts.query else ""),
                               body=json_text.dumps(json).encode(), headers=headers)
            answer = connection.getresponse()
            length = answer.getheader("Content-Length", "")
            if length.isdigit() and int(length) > self.max_bytes:
                raise too_long(answer.status, self.max_bytes)
            content = answer.read(self.max_bytes + 1)
            if len(content) > self.max_bytes:
                raise too_long(answer.status, self.max_bytes)
            call.reply = Reply(answer.status, content, answer.headers)
            return call.reply
        finally:
            connection.close()


TimedRequests = BoundedRequests  # its earlier name


def bound_acl_lookups(timeout: float = config.AUTH_TIMEOUT) -> None:
    """Hold every ``AuthClient`` lookup of this process to a deadline (see
    :class:`BoundedRequests`); the lookups of a server then have the server's own."""
    broadcast.requests = BoundedRequests(timeout)


def too_long(status: int, limit: int) -> AuthServiceFault:
    return fault(f"it answered {status} with a body of more than {limit} bytes", "too long")


def shown(url: str) -> str:
    """A URL as logs show it: without the user and password it may carry."""
    parts = urllib.parse.urlsplit(url)
    if parts.username is None and parts.password is None:
        return url
    host = parts.hostname or ""
    return parts._replace(netloc=f"{host}:{parts.port}" if parts.port else host).geturl()


# -- the worker threads --------------------------------------------------------------------------
_worker = threading.local()  # .call: the Call of the lookup a worker is running


class LookupPool:
    """Worker threads for blocking lookups: at most ``size`` at once, the others waiting their
    turn. A turn is over when the thread is free again, not when its caller stopped waiting, so
    ``size`` is what the pool really runs; threads are started as needed.

    They are not daemons: a daemon thread inside the module when the interpreter ends would be
    unwound through the module's frames while the interpreter is torn down. A process that ends
    without closing the pool (:meth:`close`) waits for them at most :data:`POLL` and
    :data:`IDLE_POLL`: they see the main thread gone and end, their lookups abandoned.
    """

    def __init__(self, size: int = config.ACL_LOOKUPS_IN_FLIGHT):
        self.size = size
        self._turns = asyncio.Semaphore(size)
        self._jobs: queue.SimpleQueue = queue.SimpleQueue()
        self._threads = 0
        self._running = 0

    async def run(self, call: Call, function: Callable, *args: Any) -> Any:
        """``function(*args)`` in a worker, with ``call`` as its lookup; cancelled, the call is
        abandoned and the turn taken back once the worker has let go."""
        await self._turns.acquire()
        loop = asyncio.get_running_loop()
        result = loop.create_future()
        self._running += 1
        if self._running > self._threads:
            self._threads += 1
            threading.Thread(target=self._work, name="acl-lookup").start()
        self._jobs.put((call, function, args, loop, result))
        try:
            return await result
        except asyncio.CancelledError:
            call.abandon()
            raise

    def _done(self, result: asyncio.Future, outcome: tuple[bool, Any]) -> None:
        self._running -= 1
        self._turns.release()
        ok, value = outcome
        if result.done():
            pass
        elif ok:
            result.set_result(value)
        else:
            result.set_exception(value)

    def close(self) -> None:
        """Let the threads end once their lookups are over (those are abandoned by then)."""
        for _ in range(self._threads):
            self._jobs.put(None)
        self._threads = 0

    def _work(self) -> None:
        while True:
            try:
                job = self._jobs.get(timeout=IDLE_POLL)
            except queue.Empty:
                if threading.main_thread().is_alive():
                    continue
                return
            if job is None:
                return
            call, function, args, loop, result = job
            _worker.call = call
            try:
                outcome = (True, function(*args))
            except BaseException as exc:
                outcome = (False, exc)
            finally:
                _worker.call = None
            try:
                loop.call_soon_threadsafe(self._done, result, outcome)
            except RuntimeError:  # the loop is closed: nobody waits any more
                pass
            del job, result, outcome


# -- what the service's answers mean ---------------------------------------------------------------
class Answer:
    """The service's answer about one key: its ACL and id, or why it is refused."""

    __slots__ = ("acl", "api_id", "refused", "kind")

    def __init__(self, acl: Any = None, api_id: Any = None, *, refused: str | None = None,
                 kind: Refusal = Refusal.NOT_ACCEPTED):
        self.acl, self.api_id, self.refused, self.kind = acl, api_id, refused, kind

    def give(self, api_key: str) -> tuple[Acl, Any]:
        if self.refused is not None:
            raise Refused(self.refused, api_key, kind=self.kind)
        return self.acl, self.api_id


def judge(api_key: str, result: Any, status: Any, readable: bool | None = None) -> Answer:
    """What ``get_api_acl``'s pair says of the key; raises :class:`AuthServiceFault` when it is
    not the service's own answer. ``readable``: whether the body was JSON (None: not known, the
    pair tells: the module reports a body that is not JSON with a "trace").

    The service answers a known key with 200 and a JSON object, and refuses one with an error
    status and a JSON object holding its "message" (404: it does not know the key). Anything
    else comes from something other than the service: a redirect, a proxy or a web framework
    in front of it (a 404 for a path it does not serve), or a failing service.
    """
    # The module's report of a reply it could not use: {"message": ..., "trace": the body}.
    report = isinstance(result, dict) and set(result) == {"message", "trace"}
    if readable is None:
        readable = not report or (isinstance(status, int) and status >= 300
                                  and result["message"] == f"API Endpoint returns code {status}")
    if isinstance(status, int) and 300 <= status < 400:
        raise fault(f"it answered {status}, a redirect, which is not followed with an API key "
                    f"in the body: give --auth the URL it redirects to", "a redirect")
    if not readable:
        # A 404 page in HTML: a web framework or a proxy in front, for a path it does not serve.
        raise fault(f"it answered {status} with a body that is not JSON"
                    f"{ROOT_HINT if status == 404 else ''}", "not JSON")
    if status == 200:
        if isinstance(result, dict):
            acl = result.get("acl")
            if isinstance(acl, (bool, int, float)):
                # An ACL is an object, a list or a name: a number would fail each event's check.
                raise fault(f"it answered 200 with an \"acl\" that is a {type(acl).__name__}, "
                            f"not an object or a list", "an ACL of another shape")
            return Answer(Acl(acl or ()), result.get("id"))
        raise fault("it answered 200 with JSON that is not an object", "not its reply")
    message = result.get("message") if isinstance(result, dict) else None
    if report and message == f"API Endpoint returns code {status}":
        message = None  # the module's words: the reply had no message of its own
    if isinstance(status, int) and (status >= 500 or status == 429):
        # Its message may name the key it was asked about: the log names it by its fingerprint.
        told = (protocol.quote(str(message).replace(api_key, protocol.fingerprint(api_key)), 100,
                               repr_=False) if message is not None else "no message")
        raise fault(f"it answered {status} ({told})", f"it answered {status}")
    if isinstance(status, int) and status >= 300 and message is None:
        hint = ROOT_HINT if status == 404 else ""
        raise fault(f"it answered {status} without its own \"message\"{hint}",
                    f"it answered {status} without its own message")
    if status == 404:
        return Answer(refused=protocol.unknown_key(api_key), kind=Refusal.UNKNOWN_KEY)
    return Answer(refused=protocol.not_accepted(api_key, status, message),
                  kind=Refusal.NOT_ACCEPTED)


ROOT_HINT = ": is --auth its API root, ending with '/' (such as http://host:8001/api/)?"
"""What a 404 that is not the service's own says of --auth."""


def fault(detail: str, short: str) -> AuthServiceFault:
    return AuthServiceFault(f"the authentication service is unavailable ({short}); "
                            f"try again later", printable(detail))


def printable(text: str) -> str:
    """``text`` with its line breaks and other control characters escaped: what the service
    sent goes into a log line, which it must not end or forge."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class Answers:
    """The answers of the last ``ttl`` seconds, per key (kept by the key's digest: a key may be
    64 KB long), at most ``entries`` of them, the oldest forgotten first; ``ttl`` 0 keeps none."""

    def __init__(self, ttl: float = config.AUTH_CACHE, entries: int = config.AUTH_CACHE_ENTRIES,
                 clock: Callable[[], float] = time.monotonic):
        self.ttl, self.entries, self.clock = ttl, entries, clock
        self._kept: dict[bytes, tuple[float, Answer]] = {}  # oldest first

    @staticmethod
    def digest(api_key: str) -> bytes:
        return hashlib.sha256(api_key.encode("utf-8", "surrogatepass")).digest()

    def get(self, digest: bytes) -> Answer | None:
        kept = self._kept.get(digest)
        if kept is None:
            return None
        if kept[0] <= self.clock():
            del self._kept[digest]
            return None
        return kept[1]

    def put(self, digest: bytes, answer: Answer) -> None:
        if self.ttl <= 0 or self.entries <= 0:
            return
        now = self.clock()
        self._kept.pop(digest, None)
        while self._kept and (len(self._kept) >= self.entries
                              or next(iter(self._kept.values()))[0] <= now):
            del self._kept[next(iter(self._kept))]
        self._kept[digest] = (now + self.ttl, answer)

    def __len__(self) -> int:
        return len(self._kept)


# -- a server's lookups ----------------------------------------------------------------------------
class _Asking:
    """One lookup in flight, and how many requests wait for it."""

    __slots__ = ("task", "waiting")

    def __init__(self, task: asyncio.Task):
        self.task, self.waiting = task, 0


class AclLookup:
    """The ACL and account id of an API key, for one application: a server's lookups, their
    worker threads (``in_flight`` of them), their deadline (``timeout`` seconds in all), the
    answers remembered (``cache_for`` seconds), and what the server knows of the service."""

    def __init__(self, auth_root: str, app_name: str = config.APP_NAME,
                 in_flight: int = config.ACL_LOOKUPS_IN_FLIGHT, *,
                 timeout: float = config.AUTH_TIMEOUT, cache_for: float = config.AUTH_CACHE,
                 observe: Callable[[float], None] | None = None):
        self.client = broadcast.AuthClient(auth_root)
        self.auth_root = auth_root
        self.app_name = app_name
        self.timeout = timeout
        self.observe = observe  # told the seconds each lookup took, waiting its turn included
        self.pool = LookupPool(in_flight)
        self.answers = Answers(cache_for)
        self._asking: dict[bytes, _Asking] = {}
        self.asked = 0  # lookups sent to the service
        self.remembered = 0  # lookups answered from what was remembered
        self.failing: str | None = None  # what went wrong with the service last, until it answers
        self.failing_since: float | None = None
        self._logged: tuple[str, float] | None = None
        self.closed = False
        self._bound = False

    def open(self) -> None:
        """Make sure the module posts through a :class:`BoundedRequests` while this runs."""
        if not self._bound:
            _Binding.take()
            self._bound = True

    async def __call__(self, api_key: str, connection: Any = None) -> tuple[Acl, Any]:
        """(ACL, account id); raises :class:`Refused` for a key the service does not accept and
        :class:`Unavailable` when it cannot be asked now.

        ``connection``, when given, is the websocket connection asking: when it closes first,
        the lookup is left to the others asking for the same key (dropped when there are none)
        and the connection's ``ConnectionClosed`` is raised, as its ``recv()`` would raise it.
        """
        started = time.perf_counter()
        try:
            return await self._lookup(api_key, connection)
        finally:
            if self.observe is not None:
                self.observe(time.perf_counter() - started)

    async def _lookup(self, api_key: str, connection: Any) -> tuple[Acl, Any]:
        digest = self.answers.digest(api_key)
        answer = self.answers.get(digest)
        if answer is not None:
            self.remembered += 1
            return answer.give(api_key)
        if self.closed:
            raise Unavailable(STOPPING)
        asking = self._asking.get(digest)
        if asking is None:
            asking = self._asking[digest] = _Asking(asyncio.ensure_future(
                self._ask(api_key, digest)))
        asking.waiting += 1
        closed = None
        try:
            waits = {asking.task}
            if connection is not None:
                closed = asyncio.ensure_future(connection.wait_closed())
                waits.add(closed)
            await asyncio.wait(waits, return_when=asyncio.FIRST_COMPLETED)
        finally:
            asking.waiting -= 1
            if closed is not None:
                closed.cancel()
            if not asking.waiting and not asking.task.done():
                asking.task.cancel()  # nobody waits for it any more
                if self._asking.get(digest) is asking:
                    del self._asking[digest]
        if not asking.task.done():
            raise connection.protocol.close_exc
        if asking.task.cancelled():
            raise Unavailable(STOPPING)
        return asking.task.result().give(api_key)

    async def _ask(self, api_key: str, digest: bytes) -> Answer:
        call = Call(self.timeout)
        self.asked += 1
        try:
            async with asyncio.timeout(self.timeout):
                result, status = await self.pool.run(call, self.client.get_api_acl, api_key,
                                                     self.app_name)
            answer = judge(api_key, result, status,
                           call.reply.readable if call.reply is not None else None)
        except TimeoutError as exc:  # the deadline, in the loop or in the worker
            raise self._failed(Unavailable(protocol.auth_timed_out(self.timeout)),
                               f"it did not answer within {self.timeout:g} s") from exc
        except AuthServiceFault as exc:
            raise self._failed(exc, exc.detail)
        except (TypeError, KeyError) as exc:  # the module reading a reply of another shape
            status = call.reply.status_code if call.reply is not None else None
            odd = fault(f"it answered {status} with JSON of another shape", "not its reply")
            raise self._failed(odd, odd.detail) from exc
        # http.client's errors: the connection's are OSErrors, a broken reply's HTTPExceptions
        except (OSError, http.client.HTTPException) as exc:
            raise self._failed(Unavailable(protocol.auth_unavailable(exc)),
                               f"it cannot be reached ({type(exc).__name__}: {exc})") from exc
        finally:
            asking = self._asking.get(digest)
            if asking is not None and asking.task is asyncio.current_task():
                del self._asking[digest]
        self._answered()
        self.answers.put(digest, answer)
        return answer

    # -- what the server knows of the service --------------------------------------------------
    def _failed(self, exc: Unavailable, detail: str) -> Unavailable:
        now = time.monotonic()
        if self.failing is None:
            self.failing_since = now
        detail = printable(detail)
        self.failing = detail
        last = self._logged
        if last is None or last[0] != detail or now - last[1] >= LOG_AGAIN_AFTER:
            log.warning("the authentication service at %s: %s", shown(self.auth_root), detail)
            self._logged = (detail, now)
        return exc

    def _answered(self) -> None:
        if self.failing is not None:
            log.info("the authentication service at %s answers again",
                        shown(self.auth_root))
        self.failing = self.failing_since = self._logged = None

    def health(self) -> dict[str, Any]:
        """What ``GET /healthz`` shows of the service: whether it answered the last lookup, and
        if not, why and for how long; the lookups asked and those answered from memory."""
        failing_for = (round(time.monotonic() - self.failing_since, 1)
                       if self.failing_since is not None else None)
        return {"answering": self.failing is None, "error": self.failing,
                "failing_for": failing_for, "asked": self.asked,
                "remembered": self.remembered}

    async def probe(self) -> None:
        """Ask once about a key nobody has, and log whether the service answers as itself (a
        node does so at start-up: an --auth that is not the API root shows at once)."""
        try:
            await self._ask(PROBE_KEY, b"")
        except Unavailable:
            return  # logged
        log.info("the authentication service at %s answers", shown(self.auth_root))

    def close(self) -> None:
        """End every lookup in flight (their requests get an error reply) and the workers."""
        self.closed = True
        for asking in list(self._asking.values()):
            asking.task.cancel()
        self.pool.close()
        if self._bound:
            _Binding.give_back()
            self._bound = False


class _Binding:
    """``broadcast.requests`` bound to a :class:`BoundedRequests` while servers need it: by the
    first one to start when nobody chose how the module posts (a node does, at start-up, with
    :func:`bound_acl_lookups`), back to the ``requests`` package after the last one stops. The
    process's other callers go through ``requests`` meanwhile, as before."""

    bound: BoundedRequests | None = None
    users = 0

    @classmethod
    def take(cls) -> None:
        if cls.users == 0 and broadcast.requests is requests:
            cls.bound = broadcast.requests = BoundedRequests(elsewhere=requests)
        cls.users += 1

    @classmethod
    def give_back(cls) -> None:
        cls.users -= 1
        if cls.users == 0 and cls.bound is not None:
            if broadcast.requests is cls.bound:
                broadcast.requests = requests
            cls.bound = None


STOPPING = "the server is stopping; try again later"
