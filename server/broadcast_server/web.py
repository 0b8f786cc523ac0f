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
import urllib.parse
from typing import Iterable

from websockets.datastructures import Headers
from websockets.http11 import Request, Response

from . import config

__all__ = ["FILES", "Page", "page_url", "url_host"]

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


def page_url(host: str, port: int, **settings: str) -> str:
    """The page's URL on a server, opening with ``settings`` (``api_key``, ``doc_class``,
    ``data_scope``, ...) as its query string."""
    query = urllib.parse.urlencode(settings, safe=",")
    return f"http://{url_host(host)}:{port}/" + (f"?{query}" if query else "")


def url_host(host: str) -> str:
    """``host`` as a URL writes it: an IPv6 address in brackets."""
    return f"[{host}]" if ":" in host else host
