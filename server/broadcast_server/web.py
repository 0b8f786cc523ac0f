"""The browser page, served over plain HTTP on the websocket port: ``GET /`` and its few files.

The page (``page/index.html`` and what it loads) subscribes through the browser client
``broadcast-client.js``, the same file as ``examples/web/broadcast-client.js``. Everything it
needs comes from here; its policy lets it load nothing from elsewhere and connect only to the
nodes its server names (``--public-nodes``; none: the page's own host), which are written into
the page too: a ``nodes=`` in its URL may only pick among them, so that a link cannot make it
send the key its user types anywhere else.

A websocket handshake on ``/`` is not a page request: :meth:`Page.respond` leaves it to the server.
"""
from __future__ import annotations

import email.utils
import functools
import html
import http
import pathlib
import ssl
import urllib.parse
from typing import Iterable

from websockets.datastructures import Headers
from websockets.http11 import Request, Response

from . import config

__all__ = ["FILES", "Page", "page_url", "url_host", "origin_allowed", "page_origin",
           "tls_context"]

PAGE_DIR = pathlib.Path(__file__).with_name("page")

FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/page.css": ("page.css", "text/css; charset=utf-8"),
    "/page.js": ("page.js", "text/javascript; charset=utf-8"),
    "/broadcast-client.js": ("broadcast-client.js", "text/javascript; charset=utf-8"),
}
"""Path -> (file in ``page/``, content type): everything the page loads."""

POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
          "connect-src {nodes}; base-uri 'none'; form-action 'self'; frame-ancestors 'none'")
"""The page's Content-Security-Policy: its own files, and websocket connections to its nodes."""

NODES_TAG = b'<meta name="broadcast-nodes" content="">'
"""Where ``index.html`` receives the nodes the page may connect to, space-separated."""


@functools.cache
def _body(name: str) -> bytes:
    return (PAGE_DIR / name).read_bytes()


class Page:
    """The page as one server serves it: ``nodes`` are the websocket URLs it may connect to
    (ValueError for one that is not: :func:`broadcast_server.config.websocket_url`); none, its
    own host only."""

    def __init__(self, nodes: Iterable[str] = ()):
        self.nodes = tuple(map(config.websocket_url, nodes))
        # 'self' takes in ws:// and wss:// on the page's own host and port.
        self.policy = POLICY.format(nodes=" ".join(self.nodes) or "'self'")
        index = _body("index.html")
        if index.count(NODES_TAG) != 1:
            raise RuntimeError("index.html has no place for the page's nodes")
        listed = html.escape(" ".join(self.nodes)).encode()
        self._bodies = {"index.html": index.replace(NODES_TAG, NODES_TAG[:-2] + listed + b'">')}

    def respond(self, request: Request) -> Response | None:
        """The response to a plain GET of one of the page's paths (the query string aside);
        None for any other path, and for a websocket handshake."""
        if "websocket" in request.headers.get("Upgrade", "").lower():
            return None
        found = FILES.get(urllib.parse.urlsplit(request.path).path)
        if found is None:
            return None
        name, content_type = found
        body = self._bodies.get(name) or _body(name)
        status = http.HTTPStatus.OK
        return Response(status.value, status.phrase, Headers([
            ("Date", email.utils.formatdate(usegmt=True)),
            ("Connection", "close"),
            ("Content-Length", str(len(body))),
            ("Content-Type", content_type),
            ("Cache-Control", "no-cache"),
            ("Content-Security-Policy", self.policy),
            ("X-Content-Type-Options", "nosniff"),
            # The page's own URL may carry an API key in its query string.
            ("Referrer-Policy", "no-referrer"),
        ]), body)


def page_url(host: str, port: int, *, tls: bool = False, **settings: str) -> str:
    """The page's URL on a server (``https://`` when it serves TLS), opening with ``settings``
    (``api_key``, ``doc_class``, ``data_scope``, ...) as its query string."""
    query = urllib.parse.urlencode(settings, safe=",")
    scheme = "https" if tls else "http"
    return f"{scheme}://{url_host(host)}:{port}/" + (f"?{query}" if query else "")


def tls_context(cert: str | None, key: str | None) -> ssl.SSLContext | None:
    """The server side of TLS from a certificate chain and its private key (PEM files); None
    when neither is given. ValueError when only one is, or they cannot be read or do not
    match."""
    if cert is None and key is None:
        return None
    if cert is None or key is None:
        raise ValueError("--tls-cert and --tls-key go together: give both, or neither")
    for name in (cert, key):
        if not pathlib.Path(name).is_file():
            raise ValueError(f"{name}: no such file")
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    try:
        context.load_cert_chain(cert, key)
    except (ssl.SSLError, OSError) as exc:  # the text of neither holds the key itself
        raise ValueError(f"the certificate {cert} and key {key} cannot be used: "
                         f"{getattr(exc, 'reason', None) or exc.strerror or exc} (expected: PEM files of a "
                         f"certificate chain and of its private key)") from None
    return context


def url_host(host: str) -> str:
    """``host`` as a URL writes it: an IPv6 address in brackets."""
    return f"[{host}]" if ":" in host else host


# -- whose pages may open a websocket -------------------------------------------------------------
# A browser sends the Origin of the page that opens a websocket, and sends the user's cookies
# and credentials with it whatever that page is: a node that took any origin would let a page
# elsewhere ride its user's session (cross-site websocket hijacking).
DEFAULT_PORTS = {"http": 80, "https": 443, "ws": 80, "wss": 443}


def origin_parts(origin: str) -> tuple[str, str, int] | None:
    """(scheme, host, port) of an origin, ``http://Host:8080`` as ``("http", "host", 8080)``;
    None when it is not one (``null``, a path, another scheme)."""
    try:
        parts = urllib.parse.urlsplit(origin.strip())
        port = parts.port
    except ValueError:
        return None
    if (parts.scheme not in ("http", "https") or not parts.hostname or parts.path not in ("", "/")
            or parts.query or parts.fragment or "@" in parts.netloc):
        return None
    return parts.scheme, parts.hostname.lower(), port or DEFAULT_PORTS[parts.scheme]


def origin_allowed(origin: str | None, host: str | None, allowed: Iterable[str] = ()) -> bool:
    """Whether a websocket handshake whose ``Origin`` header is ``origin`` (None: no header,
    a client that is not a browser page) may go on, on a server reached as ``host`` (its
    ``Host`` header). Allowed: no origin; the page's own, served by any node on the host the
    request was sent to (whatever its port and scheme: a browser shares its cookies among
    every port of a host, so another port there is no stranger, and the page moves between the
    nodes of one host); an origin of ``allowed``; any, when ``allowed`` holds ``*``."""
    if origin is None:
        return True
    allowed = tuple(allowed)
    if "*" in allowed:
        return True
    parts = origin_parts(origin)
    if parts is None:  # "null" (a sandboxed or local page), or not an origin at all
        return False
    if parts in {origin_parts(a) for a in allowed}:
        return True
    if host is None:
        return False
    try:
        reached = urllib.parse.urlsplit(f"//{host.strip()}")
        reached.port  # a Host whose port is not one
    except ValueError:
        return False
    return (reached.hostname or "").lower() == parts[1]


def page_origin(node_url: str) -> str:
    """The origin of the page a node serves, from the node's websocket URL: ``wss://h:p/...``
    serves it as ``https://h:p``, ``ws://`` as ``http://``."""
    parts = urllib.parse.urlsplit(node_url)
    scheme = "https" if parts.scheme == "wss" else "http"
    return f"{scheme}://{parts.netloc}"
