"""Deployed as users deploy it: over TLS with an origin check, /metrics on a port of its own,
and (with processes of their own) behind HAProxy.

The TLS tests make a throwaway certificate authority of their own; nothing leaves loopback.
"""
import asyncio
import json
import ssl
import urllib.error
import urllib.request

import pytest
import trustme
from broadcast_demo.auth_service import AuthService
from broadcast_server import config, web
from broadcast_server.__main__ import main
from broadcast_server.client import ResumingClient
from broadcast_server.errors import Refusal
from broadcast_server.server import BroadcastServer
from websockets.asyncio.client import connect
from websockets.exceptions import InvalidStatus

from support.node_documents import Marker, Order

DOC_CLASSES = ("Order", "Shipment", "Marker")


# -- whose pages may open a websocket: (Origin, Host, --allowed-origins, allowed) ---------------
ORIGINS = [
    (None, "node:8765", (), True),  # no Origin: not a page (a program, a load balancer's check)
    ("http://node:8765", "node:8765", (), True),  # the page the node serves itself
    ("https://NODE:8765", "node:8765", (), True),  # case aside; the scheme is the page's
    ("https://lb.example", "lb.example", (), True),  # behind a balancer: its Host, its origin
    ("http://node:8766", "node:8765", (), True),  # another node's page, on the same host
    ("http://[::1]:8766", "[::1]:8765", (), True),
    ("http://node.example", "node:8765", (), False),
    ("http://node", "node:99999", (), False),
    ("http://evil.example", "node:8765", (), False),
    ("http://node:8765.evil.example", "node:8765", (), False),
    ("null", "node:8765", (), False),  # a sandboxed frame, a file
    ("http://evil.example", None, (), False),
    ("http://node:8765/path", "node:8765", (), False),  # not an origin
    ("https://app.example", "node:8765", ("https://app.example",), True),
    ("https://app.example:443", "node:8765", ("https://APP.example",), True),
    ("http://app.example", "node:8765", ("https://app.example",), False),  # another scheme
    ("https://app.example:8443", "node:8765", ("https://app.example",), False),
    ("http://evil.example", "node:8765", ("*",), True),
    ("http://node:8765", "node:8765", ("https://app.example",), True),  # its own page still
]


@pytest.mark.parametrize("origin, host, allowed, expected", ORIGINS)
def test_a_handshake_goes_on_only_from_the_page_s_own_origin_or_an_allowed_one(
        origin, host, allowed, expected):
    assert web.origin_allowed(origin, host, allowed) is expected


@pytest.mark.parametrize("argv, message", [
    (["--allowed-origins", "https://a.example/path"], "is not an origin"),
    (["--allowed-origins", "ftp://a.example"], "is not an origin"),
    (["--allowed-origins", ","], "no origin given"),
    (["--tls-cert", "cert.pem"], "--tls-cert and --tls-key go together"),
    (["--tls-cert", "missing.pem", "--tls-key", "missing.pem"], "missing.pem: no such file"),
    (["--tls-cert", "cert.pem", "--tls-key", "cert.pem"], "cannot be used"),
    (["--metrics-port", "70000"], "port 70000 is out of range"),
])
def test_deployment_settings_that_cannot_work_stop_the_node_in_one_line(argv, message, capsys,
                                                                       tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "cert.pem").write_text("not a certificate")
    with pytest.raises(SystemExit) as exit:
        main(["node", "--redis", "redis://127.0.0.1:1/0", "--auth", "http://127.0.0.1:1/api/",
              "--documents", "support.node_documents", *argv], environ={})
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert message in err.splitlines()[-1] and "Traceback" not in err


# -- over TLS -------------------------------------------------------------------------------------
@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    """A throwaway authority, the node's certificate (PEM files) and a client context trusting
    that authority only."""
    ca = trustme.CA()
    issued = ca.issue_cert("127.0.0.1", "localhost")
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "node.pem", folder / "node.key"
    issued.cert_chain_pems[0].write_to_path(str(cert))
    issued.private_key_pem.write_to_path(str(key))
    client = ssl.create_default_context()
    ca.configure_trust(client)
    return {"tls_cert": str(cert), "tls_key": str(key)}, client


@pytest.fixture(scope="module")
def auth_root():
    with AuthService() as service:
        service.add_account("k-orders", {"read": ["Order"]}, id="orders")
        yield service.base_url


def https_get(url, context=None):
    """(status, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=10, context=context) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read().decode()


def test_over_tls_a_client_follows_the_events_the_page_and_health_are_https_and_metrics_apart(
        tls, auth_root):
    files, trusting = tls

    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES, metrics_port=0,
                                   allowed_origins=("https://app.example",), **files) as server:
            assert server.url == f"wss://127.0.0.1:{server.port}"
            events = []
            client = ResumingClient("c", "k-orders", [{"doc_class": "Order"},
                                                      {"doc_class": "Marker"}],
                                    [server.url], ssl=trusting,
                                    stop_when=lambda event: event["doc_class"] == "Marker",
                                    on_event=lambda _, seq, event: events.append(seq))
            running = asyncio.create_task(client.run())
            await asyncio.wait_for(client.subscribed.wait(), 10)
            for n in range(1, 4):
                await server.publish(Order(id=f"A-{n}", region="eu", status="new", total=1.0),
                                     "create", f"{n:04d}")
            await server.publish(Marker(), "end", "0004")
            await asyncio.wait_for(running, 10)
            assert events == ["0001", "0002", "0003", "0004"]

            base = f"https://127.0.0.1:{server.port}"
            metrics = f"http://127.0.0.1:{server.metrics_port}"
            got = await asyncio.to_thread(lambda: [
                https_get(base + "/healthz", trusting)[0],
                https_get(base + "/", trusting)[0],
                https_get(base + "/metrics", trusting)[0],  # not on the public port
                https_get(metrics + "/healthz")[0],
                https_get(metrics + "/")[0]])
            assert got == [200, 200, 426, 200, 404]
            _, text = await asyncio.to_thread(https_get, metrics + "/metrics")
            assert 'broadcast_refusals_total{reason="origin"} 0.0' in text

            # A client that does not trust the authority is not served; nor is plain ws://.
            with pytest.raises(ssl.SSLCertVerificationError):
                await connect(server.url)
            with pytest.raises(Exception):
                await connect(f"ws://127.0.0.1:{server.port}", open_timeout=2)

            # Pages: its own and the one allowed go on; any other gets 403 and is counted.
            for origin in (base, "https://app.example"):
                ws = await connect(server.url, ssl=trusting, origin=origin)
                assert json.loads(await ws.recv())["type"] == "welcome"
                await ws.close()
            with pytest.raises(InvalidStatus) as refused:
                await connect(server.url, ssl=trusting, origin="https://evil.example")
            assert refused.value.response.status_code == 403
            assert server.turned_down[Refusal.FOREIGN_ORIGIN] == 1

    asyncio.run(asyncio.wait_for(body(), 60))


def test_the_settings_reach_the_node_s_server(tls):
    files, _ = tls
    cfg = config.NodeConfig(redis="redis://x", auth="http://x/", documents="m", metrics_port=9100,
                            allowed_origins=("https://a.example",), **files)
    options = cfg.server_options()
    assert options["metrics_port"] == 9100 and options["tls_cert"] == files["tls_cert"]
    assert options["allowed_origins"] == ("https://a.example",)
