"""End to end: the websocket server, real websocket clients, the stand-in authentication service.

Every test runs once on the standard event loop and once on uvloop (skipped when uvloop is not
installed). Clients read until an end marker that every client is subscribed to: the server sends
each connection its frames in order, so what came before the marker is all that client gets.
"""
import asyncio
import base64
import http
import json
import os
import socket
import urllib.error
import urllib.request

import pytest
import requests
from broadcast_demo.auth_service import AuthService
from broadcast_demo.shop import Order, Shipment
from broadcast_server.acl import BoundedRequests
from broadcast_server.protocol import fingerprint
from broadcast_server.server import BroadcastServer, WebsocketBroadcaster
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidStatus
from prometheus_client.parser import text_string_to_metric_families

import broadcast
from support.node_documents import Marker

DOC_CLASSES = ("Order", "Shipment", "Marker")
END = {"doc_class": "Marker"}


# -- event loops, service, clients ----------------------------------------------------------------
@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    factory = None
    if request.param == "uvloop":
        factory = pytest.importorskip("uvloop").new_event_loop

    def runner(body, timeout=90):
        with asyncio.Runner(loop_factory=factory) as r:
            return r.run(asyncio.wait_for(body(), timeout))

    return runner


@pytest.fixture(scope="module")
def auth_root():
    with AuthService() as service:
        service.add_account("k-all", {"read": ["*"], "read_restricted": ["*"]}, id="all")
        service.add_account("k-orders", {"read": ["Order"]}, id="orders")
        service.add_account("k-shipments", {"read": ["Shipment"]}, id="shipments")
        service.add_account("k-empty", [], id="empty")
        service.reply("k-echoed", 403, json={"message": "API key k-echoed is disabled"})
        yield service.base_url


def sub(doc_class, **options):
    return {"doc_class": doc_class, **options}


async def open_client(url, api_key, subscriptions, end_marker=True):
    """Connect and subscribe; returns (connection, the server's reply)."""
    ws = await connect(url)
    welcome = json.loads(await ws.recv())
    assert welcome["type"] == "welcome"
    await ws.send(json.dumps({"api_key": api_key,
                              "subscribe": subscriptions + ([END] if end_marker else [])}))
    return ws, json.loads(await ws.recv())


async def subscribed(url, api_key, subscriptions):
    ws, reply = await open_client(url, api_key, subscriptions)
    assert reply["type"] == "subscribed", reply
    return ws


async def read_until_end(ws):
    """Every event this client gets before the end marker, as (raw text, decoded) pairs."""
    events = []
    async for raw in ws:
        event = json.loads(raw)
        if event["doc_class"] == "Marker":
            return events
        events.append((raw, event))
    raise AssertionError("the connection closed before the end marker")


async def publish(server, events, end_seq="9999"):
    for doc, op, seq in events:
        await server.publish(doc, op, seq)
    await server.publish(Marker(), "end", end_seq)


async def wait_until(predicate):
    while not predicate():
        await asyncio.sleep(0.01)


def numbered(n, **fields):
    return [(Order(id=f"A-{i}", region="eu", **fields), "update", f"{i:04d}")
            for i in range(1, n + 1)]


# -- what each client sees ------------------------------------------------------------------------
EU = Order(id="A-1", region="eu", customer="Chloé", total=10.0, margin=2.0, internal_note="vip")
US = Order(id="A-2", region="us", customer="Bo", total=20.0, margin=3.0, internal_note="")
HOLD = Order(id="A-3", region="eu", customer="Cy", total=30.0, margin=4.0, internal_note="hold",
             restricted=True)
SHIP = Shipment(id="S-1", region="eu", order="A-1", status="packed", driver_phone="+49 30 1")
EVENTS = [(EU, "create", "0001"), (US, "create", "0002"), (HOLD, "create", "0003"),
          (SHIP, "create", "0004"), (EU, "update", "0005"), (US, "delete", "0006")]
ORDER_FIELDS = ["id", "region", "customer", "total"]


def view(doc, keys):
    return {key: doc.data[key] for key in keys}


# (api key, subscriptions, expected [(seq, message)])
VIEWS = {
    "eu with hidden fields": (
        "k-all", [sub("Order", data_scope=["eu"], show_hidden=True)],
        [("0001", EU.data), ("0003", HOLD.data), ("0005", EU.data)]),
    "us only": (
        "k-all", [sub("Order", data_scope=["us"]), sub("Shipment", data_scope=["us"])],
        [("0002", view(US, ORDER_FIELDS)), ("0006", view(US, ORDER_FIELDS))]),
    "everything visible, restricted withheld": (
        "k-orders", [sub("Order")],
        [("0001", view(EU, ORDER_FIELDS)), ("0002", view(US, ORDER_FIELDS)),
         ("0005", view(EU, ORDER_FIELDS)), ("0006", view(US, ORDER_FIELDS))]),
    "catalog without hidden": (
        "k-orders", [sub("Order", catalog={"id": 1, "total": 1, "margin": 1}, data_scope=["eu"])],
        [("0001", view(EU, ["id", "total"])), ("0005", view(EU, ["id", "total"]))]),
    "catalog with hidden": (
        "k-orders", [sub("Order", catalog={"id": 1, "margin": 1}, show_hidden=True,
                         data_scope=["eu"])],
        [("0001", view(EU, ["id", "margin"])), ("0005", view(EU, ["id", "margin"]))]),
    "ACL reads shipments only": (
        "k-shipments", [sub("Order"), sub("Shipment")],
        [("0004", view(SHIP, ["id", "region", "order", "status"]))]),
}


def test_each_client_sees_its_own_view(run, auth_root):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as server:
            clients = {name: await subscribed(server.url, key, subs)
                       for name, (key, subs, _) in VIEWS.items()}
            reading = {name: asyncio.create_task(read_until_end(ws))
                       for name, ws in clients.items()}
            await publish(server, EVENTS)
            docs = {seq: (doc, op) for doc, op, seq in EVENTS}
            for name, (_, _, expected) in VIEWS.items():
                got = await reading[name]
                assert [(e["seq"], e["message"]) for _, e in got] == expected, name
                for raw, event in got:
                    doc, op = docs[event["seq"]]
                    assert list(event) == ["doc_class", "op", "seq", "message"]
                    assert (event["doc_class"], event["op"]) == (type(doc).__name__, op)
                    assert "\\u" not in raw  # text goes out unescaped ("Chloé")
                await clients[name].close()
    run(body)



def test_a_broadcaster_of_the_hosts_own_welcomes_its_clients(run, auth_root):
    class Greeting(WebsocketBroadcaster):
        @classmethod
        async def accept(cls, websocket):
            cls.sender.send(websocket, json.dumps({"type": "welcome", "from": "host"}))

    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES, broadcaster=Greeting) as server:
            async with connect(server.url) as ws:
                assert json.loads(await ws.recv()) == {"type": "welcome", "from": "host"}
    run(body)

# -- refusals and bad requests --------------------------------------------------------------------
@pytest.mark.parametrize("api_key, reason", [
    ("k-nobody", f"unknown API key {fingerprint('k-nobody')}"),
    ("k-empty", "has an empty ACL (User has empty ACL)"),
    ("k-echoed", f"(403: API key {fingerprint('k-echoed')} is disabled)"),
])
def test_refused_keys_are_told_why_and_never_registered(run, auth_root, api_key, reason):
    async def body():
        lines = []
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES,
                                        log=lines.append) as server:
            other = await subscribed(server.url, "k-all", [sub("Order")])
            ws, reply = await open_client(server.url, api_key, [sub("Order")])
            assert reply["type"] == "refused"
            assert reason in reply["reason"]
            with pytest.raises(ConnectionClosed) as closed:
                await ws.recv()
            assert closed.value.rcvd.code == 1008
            assert server.subscriber_count() == 1
            assert [k for k, _ in server.refusals] == [api_key]
            logged = [line.split(" ", 1)[1] for line in lines]
            assert logged[:2] == ["connected",
                                  f"subscribed with {fingerprint('k-all')} to Order, Marker"]
            assert logged[2] == "connected" and logged[3].startswith("refused: ")
            assert reason in logged[3]
            # Keys are told by their fingerprint only, in replies and logs.
            told = lines + [reply["reason"]]
            assert not any(key in text for key in (api_key, "k-all") for text in told)
            reading = asyncio.create_task(read_until_end(other))
            await publish(server, EVENTS[:1])
            assert [e["seq"] for _, e in await reading] == ["0001"]
            await other.close()
    run(body)


# The rules for each frame are the session's (test_protocol.py); these rows check that the server
# performs what the session says: the reply, the log line, and the connection kept.
@pytest.mark.parametrize("request_text, reason", [
    ("not json", "not JSON"),
    (json.dumps({"api_key": "k-secret-" + "x" * 900_000, "subscribe": []}), "longer than 65536"),
])
def test_unreadable_requests_get_an_error_and_the_connection_stays(run, auth_root, request_text,
                                                                   reason, caplog):
    async def body():
        lines = []
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES,
                                        log=lines.append) as server:
            async with connect(server.url) as ws:
                await ws.recv()  # welcome
                await ws.send(request_text)
                reply = json.loads(await ws.recv())
                assert reply["type"] == "error" and reason in reply["reason"]
                assert server.subscriber_count() == 0
                assert lines[-1].split(" ", 1)[1] == f"bad request: {reply['reason']}"
                assert len(reply["reason"]) < 200
                await ws.send(json.dumps({"api_key": "k-all", "subscribe": [sub("Order")]}))
                assert json.loads(await ws.recv())["type"] == "subscribed"
        logged = "\n".join(lines) + caplog.text
        assert "Traceback" not in logged and "k-secret" not in logged
    run(body)


# The authentication service in trouble, for "k-trouble": (what it does, the error's reason). It is
# never the client's fault: a retryable error, the connection kept, nothing refused; the server
# logs it and its health check names it, and a client whose key is answered is served meanwhile.
AUTH_TROUBLE = {
    "failing, in HTML": (lambda s: s.reply("k-trouble", 500, body="<html>Oops</html>",
                                           content_type="text/html"), "(not JSON)"),
    "a framework's 404": ("no-slash", "(it answered 404 without its own message)"),
    "a redirect": (lambda s: s.reply("k-trouble", 307, json={"message": "moved"},
                                     headers={"Location": s.base_url + "moved"}), "(a redirect)"),
    "a reply over 1 MiB": (lambda s: s.reply("k-trouble", 200, json={"acl": ["Order"] * 200_000}),
                           "(too long)"),
    "silent": (lambda s: s.stall("k-trouble"), "did not answer within 0.5 s"),
    "dripping": (lambda s: s.drip("k-trouble", every=0.1), "did not answer within 0.5 s"),
    "gone": ("closed", "unavailable (ConnectionRefusedError)"),
}


@pytest.mark.parametrize("trouble", list(AUTH_TROUBLE))
def test_auth_service_trouble_is_an_error_never_a_refusal(run, trouble, caplog):
    does, reason = AUTH_TROUBLE[trouble]

    async def body():
        with AuthService() as service:
            service.add_account("k-all", {"read": ["*"]}, id="all")
            root = {"no-slash": service.base_url.rstrip("/"), "closed": "http://127.0.0.1:9/api/"
                    }.get(does, service.base_url)
            if callable(does):
                does(service)
            async with BroadcastServer(root, doc_classes=DOC_CLASSES, auth_timeout=0.5) as server:
                ws = await connect(server.url)
                await ws.recv()  # welcome
                await ws.send(json.dumps({"api_key": "k-trouble", "subscribe": [sub("Order")]}))
                if trouble in ("silent", "dripping"):  # others are served meanwhile
                    other = await subscribed(server.url, "k-all", [sub("Order")])
                    await other.close()
                reply = json.loads(await ws.recv())
                assert reply["type"] == "error" and reason in reply["reason"], reply
                assert server.refusals == [] and server.turned_down["unavailable"] == 1
                _, health = await server.health()
                assert not health["auth"]["answering"] and health["auth"]["error"]
                assert any(r.levelname == "WARNING" and health["auth"]["error"] in r.getMessage()
                           for r in caplog.records)
                await ws.send(json.dumps({"api_key": "k-all", "subscribe": [sub("Order")]}))
                reply = json.loads(await ws.recv())  # the same connection, asking again
                assert reply["type"] == ("subscribed" if root == service.base_url else "error")
                await ws.close()
            assert not any("moved" in r.path for r in service.requests)  # never followed
    run(body)


def test_lookups_are_reused_for_a_while_and_dropped_when_their_clients_hang_up(run):
    async def body():
        with AuthService() as service:
            service.add_account("k-all", {"read": ["*"]}, id="all")
            service.stall("k-silent-0")
            service.stall("k-silent-1")
            async with BroadcastServer(service.base_url, doc_classes=DOC_CLASSES,
                                       auth_timeout=60) as server:
                server.lookup_acl.pool = type(server.lookup_acl.pool)(2)  # two workers
                silent = []
                for key in ("k-silent-0", "k-silent-0", "k-silent-1"):
                    ws = await connect(server.url)
                    await ws.recv()  # welcome
                    await ws.send(json.dumps({"api_key": key, "subscribe": [sub("Order")]}))
                    silent.append(ws)
                # One lookup per key: both workers held by lookups that would take a minute.
                await wait_until(lambda: len(service.requests) == 2)
                assert server.lookup_acl.asked == 2
                for ws in silent:
                    await ws.close()
                # Dropped: the workers are free for the next key at once, not in a minute.
                clients = [await subscribed(server.url, "k-all", [sub("Order")])
                           for _ in range(5)]
                for key in ("k-nobody", "k-nobody"):
                    assert (await open_client(server.url, key, [sub("Order")]))[1]["type"] == \
                        "refused"
                assert [r.json["api_key"] for r in service.requests[2:]] == [
                    "k-all", "k-nobody"]  # each answer reused, known key or not
                assert server.lookup_acl.health()["remembered"] == 5
                assert isinstance(broadcast.requests, BoundedRequests)  # while it runs
                for ws in clients:
                    await ws.close()
            assert broadcast.requests is requests  # as it was, for the rest of the process
    run(body)


# -- start sequence -------------------------------------------------------------------------------
def test_start_sequence_skips_only_that_client_and_only_earlier_events(run, auth_root):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as server:
            # The late starter registers first: skipping it must not cost the others the event.
            late = await subscribed(server.url, "k-all", [sub("Order", start_seq="0009")])
            early = await subscribed(server.url, "k-all", [sub("Order")])
            reading = [asyncio.create_task(read_until_end(ws)) for ws in (late, early)]
            await publish(server, numbered(12))
            late_seqs, early_seqs = [[e["seq"] for _, e in await t] for t in reading]
            assert late_seqs == ["0009", "0010", "0011", "0012"]
            assert early_seqs == [f"{i:04d}" for i in range(1, 13)]
            for ws in (late, early):
                await ws.close()
    run(body)


# -- clients that go away -------------------------------------------------------------------------
def test_client_hanging_up_mid_stream_is_swept_and_others_keep_receiving(run, auth_root):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as server:
            before = await subscribed(server.url, "k-all", [sub("Order")])
            quitter = await subscribed(server.url, "k-all", [sub("Order")])
            after = await subscribed(server.url, "k-all", [sub("Order")])

            async def quit_after(seq):
                async for raw in quitter:
                    if json.loads(raw)["seq"] == seq:
                        await quitter.close()
                        return

            reading = [asyncio.create_task(read_until_end(ws)) for ws in (before, after)]
            quitting = asyncio.create_task(quit_after("0005"))
            events = numbered(40)
            for doc, op, seq in events:  # no pause: the hang-up lands while events flow
                await server.publish(doc, op, seq)
                await asyncio.sleep(0)
            await quitting
            await wait_until(lambda: server.subscriber_count("Order") == 2)
            await publish(server, [])
            everything = [seq for _, _, seq in events]
            for task in reading:
                assert [e["seq"] for _, e in await task] == everything
            assert server.subscriber_count() == 2
            for ws in (before, after):
                await ws.close()
    run(body)


@pytest.mark.parametrize("trust_state", [False, True], ids=["state-checked", "state-trusted"])
def test_send_to_a_closed_registered_connection_harms_nobody(run, auth_root, trust_state):
    """A connection that closed but is still registered, first in line for an event.

    Checked: the fan-out skips it and sweeps it. Trusted (the connectedness hook always says
    yes): the send fails inside the host's send hook, which absorbs the library's error.
    """
    class Trusting(WebsocketBroadcaster):
        @classmethod
        def subscriber_is_connected(cls, websocket):
            return True

    async def body():
        kind = Trusting if trust_state else WebsocketBroadcaster
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES,
                                        broadcaster=kind) as server:
            gone = await subscribed(server.url, "k-all", [sub("Order")])
            stays = await subscribed(server.url, "k-all", [sub("Order")])
            registry = server.broadcaster.active_connections["Order"]
            stale_ws, stale_params = next(iter(registry.items()))
            await gone.close()
            await wait_until(lambda: stale_ws not in registry)
            # Put it back at the head of the line, as if the close had raced the event.
            rest = dict(registry)
            registry.clear()
            registry[stale_ws] = stale_params
            registry.update(rest)
            reading = asyncio.create_task(read_until_end(stays))
            await publish(server, numbered(3))
            assert [e["seq"] for _, e in await reading] == ["0001", "0002", "0003"]
            if trust_state:
                assert server.broadcaster.sender.dropped == 3
                server.broadcaster.disconnect(stale_ws)
            else:
                assert server.broadcaster.sender.dropped == 0
            assert stale_ws not in registry
            await stays.close()
    run(body)


# -- many clients ---------------------------------------------------------------------------------
CLIENTS, EVENT_COUNT = 220, 30


def test_many_clients_get_every_event_once_and_in_order(run, auth_root):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as server:
            gate = asyncio.Semaphore(50)  # at most 50 handshakes in flight

            async def one_client():
                async with gate:
                    return await subscribed(server.url, "k-orders",
                                            [sub("Order", catalog={"id": 1, "n": 1})])

            clients = await asyncio.gather(*(one_client() for _ in range(CLIENTS)))
            assert server.subscriber_count("Order") == CLIENTS
            reading = [asyncio.create_task(read_until_end(ws)) for ws in clients]
            ops = ["create", "update", "delete"] * EVENT_COUNT
            events = [(Order(id=f"A-{i}", region="eu", n=i, margin=1.0), ops[i], f"{i:04d}")
                      for i in range(1, EVENT_COUNT + 1)]
            await publish(server, events)
            expected = [{"doc_class": "Order", "op": op, "seq": seq,
                         "message": {"id": doc.data["id"], "n": doc.data["n"]}}
                        for doc, op, seq in events]
            for task in reading:
                assert [e for _, e in await task] == expected
            # the events, the marker, the welcome and the reply to each client
            assert server.broadcaster.sender.written == CLIENTS * (EVENT_COUNT + 3)
            assert server.broadcaster.sender.dropped == 0
            await asyncio.gather(*(ws.close() for ws in clients))
            await wait_until(lambda: server.subscriber_count() == 0)
    run(body, timeout=180)


# -- a client that stops reading ------------------------------------------------------------------
SLOW_BOUND = 64 * 1024


async def stalled(url):
    """A subscribed client that then reads nothing: its receive buffer small, its transport paused,
    so the server's writes back up within a few hundred events."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    host, port = url.removeprefix("ws://").split(":")
    sock.setblocking(False)
    await asyncio.get_running_loop().sock_connect(sock, (host, int(port)))
    ws = await subscribed_to_orders(url, sock=sock)
    ws.transport.pause_reading()
    return ws


async def subscribed_to_orders(url, **options):
    ws = await connect(url, **options)
    await ws.recv()  # welcome
    await ws.send(json.dumps({"api_key": "k-all", "subscribe": [sub("Order"), END]}))
    assert json.loads(await ws.recv())["type"] == "subscribed"
    return ws


def test_a_client_that_stops_reading_holds_up_nobody_and_is_closed_with_1013(run, auth_root):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES,
                                   send_queue=SLOW_BOUND) as server:
            readers = [await subscribed(server.url, "k-all", [sub("Order")]) for _ in range(3)]
            slow = await stalled(server.url)
            reading = [asyncio.create_task(read_until_end(ws)) for ws in readers]
            events = numbered(2000, note="ü" * 1100)  # 2.2 KB of JSON each
            sender = server.broadcaster.sender
            for doc, op, seq in events:
                await server.publish(doc, op, seq)
                await asyncio.sleep(0)  # the readers read between events, the stalled one never
            await publish(server, [])
            everything = [seq for _, _, seq in events]
            for task in reading:
                assert [e["seq"] for _, e in await task] == everything
            assert sender.fell_behind == 1
            slow.transport.resume_reading()
            got = []
            with pytest.raises(ConnectionClosed) as closed:
                async for raw in slow:
                    got.append(json.loads(raw)["seq"])
            assert closed.value.rcvd.code == 1013 and "fell behind" in closed.value.rcvd.reason
            assert 0 < len(got) < len(everything) and got == everything[:len(got)]
            await wait_until(lambda: server.subscriber_count() == 3)
            for ws in readers:
                await ws.close()
    run(body)


def test_compressed_and_plain_clients_get_every_event_in_order_through_the_outbox(run, auth_root):
    """With compression on, each compressed connection gets frames of its own, made in order by
    its own compression context, also while they wait in its outbox; a plain client on the same
    server still gets the shared frames."""
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES, compression=True,
                                   send_queue=64 << 20) as server:
            plain = await subscribed_to_orders(server.url, compression=None)
            deflated = await subscribed_to_orders(server.url)
            slow = await stalled(server.url)  # compressed too, and reading nothing for now
            assert [ws.protocol.extensions != [] for ws in (plain, deflated, slow)] == [
                False, True, True]
            reading = [asyncio.create_task(read_until_end(ws)) for ws in (plain, deflated)]
            # Incompressible notes, so the stalled client's frames back up into its outbox.
            events = [(Order(id=f"A-{i}", region="eu", note=base64.b64encode(
                os.urandom(3000)).decode()), "update", f"{i:04d}") for i in range(1, 3001)]
            backed_up = 0
            for doc, op, seq in events:
                await server.publish(doc, op, seq)
                backed_up = max(backed_up, server.broadcaster.sender.waiting())
                await asyncio.sleep(0)
            await publish(server, [])
            assert backed_up > 0
            slow.transport.resume_reading()
            reading.append(asyncio.create_task(read_until_end(slow)))
            expected = [(seq, doc.data["note"]) for doc, _, seq in events]
            for task in reading:
                assert [(e["seq"], e["message"]["note"]) for _, e in await task] == expected
            assert server.broadcaster.sender.fell_behind == 0
            for ws in (plain, deflated, slow):
                await ws.close()
    run(body, timeout=180)


# -- watching a server ----------------------------------------------------------------------------
def http_get(url):
    """(status, content type, body) of a plain HTTP GET."""
    try:
        with urllib.request.urlopen(url, timeout=10) as reply:
            return reply.status, reply.headers["Content-Type"], reply.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.headers["Content-Type"], exc.read().decode()


def samples(text):
    """{(series name, labels): value} of a Prometheus text page, read by the library's parser."""
    return {(sample.name, tuple(sorted(sample.labels.items()))): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


def test_each_server_answers_health_and_metrics_of_its_own(run, auth_root):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as one, \
                BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as other:
            reader = await subscribed(one.url, "k-orders", [sub("Order")])
            _, reply = await open_client(other.url, "k-nobody", [sub("Order")])
            assert reply["type"] == "refused"
            reading = asyncio.create_task(read_until_end(reader))
            await publish(one, EVENTS)
            await reading
            base = one.url.replace("ws://", "http://")
            status, kind, text = await asyncio.to_thread(http_get, base + "/healthz")
            assert (status, kind) == (200, "application/json")
            assert json.loads(text) == {"status": "ok", "connections": 1, "subscribed": 1,
                                        "subscriptions": {"Order": 1, "Shipment": 0,
                                                          "Marker": 1},
                                        "last_seq": "9999",
                                        "auth": {"answering": True, "error": None,
                                                 "failing_for": None, "asked": 1,
                                                 "remembered": 0}}
            got = {}
            for name, server in (("one", one), ("other", other)):
                url = server.url.replace("ws://", "http://") + "/metrics"
                status, kind, text = await asyncio.to_thread(http_get, url)
                assert status == 200 and kind.startswith("text/plain; version=0.0.4")
                got[name] = samples(text)
            one_, other_ = got["one"], got["other"]
            assert one_[("broadcast_events_received_total", ())] == len(EVENTS) + 1
            assert one_[("broadcast_events_fanned_out_total", ())] == len(EVENTS) + 1
            assert one_[("broadcast_fanout_seconds_count", ())] == len(EVENTS) + 1
            assert one_[("broadcast_subscriptions", (("doc_class", "Order"),))] == 1
            assert one_[("broadcast_subscriptions", (("doc_class", "Shipment"),))] == 0
            assert one_[("broadcast_connections", ())] == 1
            assert one_[("broadcast_up", ())] == 1
            # the welcome, the reply, the four orders this key may read and the marker
            assert one_[("broadcast_deliveries_total", ())] == 7
            # every reason is there from the start, at 0 until it happens
            assert one_[("broadcast_refusals_total", (("reason", "unknown_key"),))] == 0
            assert other_[("broadcast_refusals_total", (("reason", "unknown_key"),))] == 1
            assert other_[("broadcast_acl_lookup_seconds_count", ())] == 1
            assert other_[("broadcast_events_received_total", ())] == 0
            assert all(name.startswith("broadcast_") for name, _ in one_)
            await reader.close()
    run(body)


def test_a_full_server_turns_handshakes_away_and_closes_connections_left_unsubscribed(run,
                                                                                     auth_root):
    async def body():
        lines = []
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES, max_connections=2,
                                   subscribe_within=0.5, log=lines.append) as server:
            idle = await connect(server.url)
            await idle.recv()  # welcome
            kept = await subscribed(server.url, "k-all", [sub("Order")])
            with pytest.raises(InvalidStatus) as turned_away:
                await connect(server.url)
            assert turned_away.value.response.status_code == 503
            base = server.url.replace("ws://", "http://")
            status, _, _ = await asyncio.to_thread(http_get, base + "/healthz")
            assert status == 200  # a full server still answers its health checks
            reply = json.loads(await idle.recv())
            assert reply == {"type": "error", "reason": "no subscription within 0.5 s of "
                             "connecting; connect again to subscribe"}
            with pytest.raises(ConnectionClosed) as closed:
                await idle.recv()
            assert closed.value.rcvd.code == 1008
            await wait_until(lambda: server.live < 2)
            again = await subscribed(server.url, "k-orders", [sub("Order")])
            reading = [asyncio.create_task(read_until_end(ws)) for ws in (kept, again)]
            await publish(server, EVENTS[:1])
            assert [[e["seq"] for _, e in await task] for task in reading] == [["0001"]] * 2
            assert (server.turned_down["too_many_connections"],
                    server.turned_down["not_subscribed_in_time"]) == (1, 1)
            assert sum("refused at the handshake" in line for line in lines) == 1
            for ws in (kept, again):
                await ws.close()
    run(body)


# Plain HTTP requests on the websocket port but GETs: (method, path, status, a body and the header
# announcing it). A HEAD gets the GET's status and headers and no body; the other methods 405,
# allowing GET, with a body or without.
HTTP_REQUESTS = [
    ("HEAD", "/", 200, ""),
    ("HEAD", "/healthz", 200, ""),
    ("DELETE", "/healthz", 405, ""),
    ("OPTIONS", "/page.js", 405, ""),
    ("POST", "/", 405, "Content-Length: 5\r\n\r\nhello"),
    ("PUT", "/healthz", 405, "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n"),
]


@pytest.mark.parametrize("method, path, status, sent", HTTP_REQUESTS)
def test_plain_http_but_get_on_the_websocket_port(run, auth_root, method, path, status, sent):
    async def body():
        async with BroadcastServer(auth_root, doc_classes=DOC_CLASSES) as server:
            reader, writer = await asyncio.open_connection(server.host, server.port)
            head = f"{method} {path} HTTP/1.1\r\nHost: x\r\n"
            writer.write((head + (sent or "\r\n")).encode())
            reply = await reader.read()
            writer.close()
            head, _, rest = reply.partition(b"\r\n\r\n")
            assert head.split(b"\r\n", 1)[0] == f"HTTP/1.1 {status} ".encode() + \
                http.HTTPStatus(status).phrase.encode()
            if method == "HEAD":
                assert rest == b"" and b"\r\nContent-Length: 0\r\n" not in head
            else:
                assert b"\r\nAllow: GET" in head
    run(body)
