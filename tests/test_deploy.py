"""Deployed as users deploy it: over TLS with an origin check, /metrics on a port of its own,
and (with processes of their own) behind HAProxy.

The TLS tests make a throwaway certificate authority of their own; nothing leaves loopback.
"""
import asyncio
import csv
import io
import json
import os
import pathlib
import shutil
import socket
import ssl
import subprocess
import time
import urllib.error
import urllib.request

import pytest
import redis
import trustme
from broadcast_demo.auth_service import AuthService
from broadcast_server import config, web
from broadcast_server.__main__ import main
from broadcast_server.client import ResumingClient
from broadcast_server.errors import Refusal
from broadcast_server.server import BroadcastServer
from websockets.asyncio.client import connect
from websockets.exceptions import InvalidStatus

from broadcast_demo.local_redis import LocalCluster, LocalRedis, LocalSentinels, free_port
from broadcast_server.errors import StreamMadeAnew, Unavailable
from broadcast_server.stream import Publisher
from broadcast_server.stream.connection import RedisTarget
from broadcast_server.stream.scripts import class_stream
from support.node_documents import Marker, Order
# The multi-node machinery: a real redis-server, node processes, recording clients.
from test_nodes import (PROFILES, Nodes, Recording, _profile, assert_exact,  # noqa: F401
                        auth_root,
                        auth_service, connect_all, expected_for, make_clients, nodes,
                        publish_all, redis_server, run, stream_of, until)

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEPLOY = ROOT / "deploy"
SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")  # not for programs not ours

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
    (["--sentinel", "127.0.0.1:26379"], "--sentinel needs --sentinel-master"),
    (["--sentinel", "127.0.0.1"], "'127.0.0.1' is not HOST:PORT"),
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
def orders_auth():
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
        tls, orders_auth):
    files, trusting = tls

    async def body():
        async with BroadcastServer(orders_auth, doc_classes=DOC_CLASSES, metrics_port=0,
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
    # The page of each public node may connect to the others.
    server = BroadcastServer("http://x/", public_nodes=("wss://n2.example:8443/",),
                             allowed_origins=("https://a.example",))
    for origin, allowed in [("https://n2.example:8443", True), ("https://a.example", True),
                            ("http://n2.example:8443", False), ("https://n3.example", False)]:
        assert web.origin_allowed(origin, "n1.example:8443", server.allowed_origins) is allowed


# -- the files of deploy/ ------------------------------------------------------------------------
def env_file(name):
    lines = (DEPLOY / name).read_text().splitlines()
    return dict(line.split("=", 1) for line in lines if line and not line.startswith("#"))


def test_the_deploy_files_hold_settings_the_node_and_haproxy_take():
    from broadcast_server.__main__ import command_line
    env = env_file("node.env")
    args = command_line(environ=env).parse_args(["node"])
    assert args.allowed_origins == ("https://app.example.com",) and args.metrics_port == 9765
    unit = (DEPLOY / "broadcast-node@.service").read_text()
    assert "EnvironmentFile=/etc/broadcast/node.env" in unit and " node\n" in unit
    haproxy = debian_program("haproxy", "haproxy")
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_VARS} | env_file(
        "haproxy.default")
    checked = subprocess.run([haproxy, "-c", "-f", str(DEPLOY / "haproxy.cfg")], env=env,
                             capture_output=True, text=True, timeout=30)
    assert checked.returncode == 0, checked.stdout + checked.stderr


# -- behind HAProxy -------------------------------------------------------------------------------
def debian_program(name, package):
    """The path of a program from one of Debian's packages (the scripts install it; missing, it
    is a real failure, which says what to install)."""
    found = shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/bin")
    if found is None:
        pytest.fail(f"{name} not found: install Debian's {package} package "
                    f"(apt-get install {package})")
    return found


class Balancer:
    """HAProxy, run from deploy/haproxy.cfg as it is, in front of three nodes."""

    def __init__(self, node_urls, log_dir):
        haproxy = debian_program("haproxy", "haproxy")
        self.port, stats = free_port(), free_port()
        self.url, self.stats_url = f"ws://127.0.0.1:{self.port}", f"http://127.0.0.1:{stats}/;csv"
        env = {k: v for k, v in os.environ.items() if k not in SANITIZER_VARS}
        env.update(BROADCAST_LB_BIND=f"127.0.0.1:{self.port}",
                   BROADCAST_LB_STATS=f"127.0.0.1:{stats}",
                   **{f"BROADCAST_NODE{i}": url.split("://")[1]
                      for i, url in enumerate(node_urls, 1)})
        config = ["-f", str(DEPLOY / "haproxy.cfg")]
        checked = subprocess.run([haproxy, "-c", *config], env=env, capture_output=True,
                                 text=True, timeout=30)
        assert checked.returncode == 0, checked.stdout + checked.stderr
        self.log = log_dir / "haproxy.log"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen([haproxy, "-db", *config], env=env, stdout=log,
                                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            assert self.process.poll() is None, self.log.read_text(errors="replace")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise AssertionError("haproxy did not listen")

    def states(self):
        """{node: UP, DOWN, ...} as HAProxy's checks last found them."""
        with urllib.request.urlopen(self.stats_url, timeout=5) as reply:
            rows = csv.DictReader(io.StringIO(reply.read().decode().lstrip("# ")))
            return {row["svname"]: row["status"].split()[0] for row in rows
                    if row["pxname"] == "nodes" and row["svname"] not in ("FRONTEND", "BACKEND")}

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def balancer(nodes, tmp_path):
    made = []
    yield lambda: made.append(Balancer(nodes.urls, tmp_path)) or made[0]
    for lb in made:
        lb.close()


@pytest.mark.nodes
def test_behind_haproxy_clients_of_a_killed_node_come_back_through_it_missing_nothing(
        redis_server, nodes, balancer):
    nodes.start(3)
    lb = balancer()
    events = stream_of(400)

    async def body():
        await until(lambda: set(lb.states().values()) == {"UP"})
        clients = make_clients(300, [lb.url])
        tasks = await connect_all(clients)
        publisher = Publisher(redis_server.url)

        async def kill():
            nodes.kill(1)

        await publish_all(publisher, events, pause=0.004, during={150: kill})
        await publisher.close()
        await asyncio.wait_for(asyncio.gather(*tasks), 120)
        assert_exact(clients, events)
        # Least connections: about a third were on the killed node, and came back resuming.
        moved = [c for c in clients if len(c.stints) > 1]
        assert 60 <= len(moved) <= 140, len(moved)
        assert all(c.stints[1][1] is not None for c in moved)
        await until(lambda: lb.states()["n2"] == "DOWN", 10)

    run(body)


@pytest.mark.nodes
def test_haproxy_takes_a_node_whose_feed_is_unhealthy_out_of_rotation_and_back(
        redis_server, nodes, auth_root, tmp_path, balancer):
    # The third node reads a Redis of its own, which goes away and comes back.
    (tmp_path / "own").mkdir()
    with LocalRedis() as own:
        nodes.start(2)
        other = Nodes(own.url, auth_root, tmp_path / "own").start(1, "--unhealthy-after", "0.5")
        try:
            nodes.urls.append(other.urls[0])
            lb = balancer()

            async def body():
                await until(lambda: set(lb.states().values()) == {"UP"})
                own.stop()
                stopped = time.monotonic()
                await until(lambda: lb.states()["n3"] == "DOWN", 10)
                out = time.monotonic() - stopped
                # new connections now go to the two others only
                assert set(lb.states().values()) == {"UP", "DOWN"}
                own.start()
                started = time.monotonic()
                await until(lambda: lb.states()["n3"] == "UP", 10)
                back = time.monotonic() - started
                # unhealthy after 0.5 s, then two failed checks a second apart (and two good)
                assert out < 0.5 + 3 + 1.5 and back < 3 + 1.5, (out, back)
                print(f"out of rotation {out:.1f} s after its Redis went, back {back:.1f} s "
                      f"after it came")

            run(body)
        finally:
            other.close()


# -- on a Redis that fails over -------------------------------------------------------------------
class Timed(Recording):
    """A recording client that notes when each event arrived, and after how many resets."""

    def __init__(self, *args, **options):
        super().__init__(*args, **options)
        self.times, self.told = [], []

    @staticmethod
    def _record(client, seq, event):
        Recording._record(client, seq, event)
        client.times.append(time.monotonic())
        client.told.append(client.resets)


def assert_no_silent_gap(client, events):
    """What the client got between two times it was told the stream was made anew: a contiguous
    run of what its subscriptions allow, the last one up to the end. Events may have been lost
    with a stream made anew (the client was told: closed, and subscribed again from then on),
    but no run holds a hole and nothing comes twice. Events are compared without their seqs:
    an append retried across a new epoch is numbered in it anew."""
    def unnumbered(event):
        return {k: v for k, v in event.items() if k != "seq"}

    def marker(event):  # the end, which may be published again after a failover lost it
        return event["doc_class"] == "Marker"

    expected = [unnumbered(e) for e in expected_for(client, events) if not marker(e)]
    runs = {}
    for (_, event), told in zip(client.events, client.told):
        run_ = runs.setdefault(told, [])
        if not marker(event):
            run_.append(unnumbered(event))
    last = list(runs.values())[-1]
    assert last == expected[len(expected) - len(last):], client.name
    for run_ in filter(None, runs.values()):  # (events of one class may look alike without seqs)
        assert any(run_ == expected[start:start + len(run_)]
                   for start, event in enumerate(expected) if event == run_[0]), client.name


@pytest.fixture
def sentinels():
    """A primary, its replica and three sentinels, on loopback."""
    try:
        primary = LocalRedis().start()
        replica = LocalRedis(options=("--replicaof", "127.0.0.1", str(primary.port))).start()
        watching = LocalSentinels(primary).start()
    except Unavailable as exc:
        pytest.fail(str(exc))  # the scripts install them: missing, a real failure
    try:
        watching.wait_ready(replicas=1)
        yield primary, replica, watching
    finally:
        watching.close()
        replica.close()
        primary.close()


@pytest.mark.nodes
@pytest.mark.parametrize("min_replicas", [0, 1])
def test_through_sentinel_nodes_and_publisher_follow_a_failover_and_lose_no_acknowledged_event(
        sentinels, auth_root, tmp_path, min_replicas):
    primary, replica, watching = sentinels
    target = RedisTarget(sentinels=config.addresses(watching.addresses), master="broadcast")
    nodes = Nodes("redis://127.0.0.1/0", auth_root, tmp_path)  # its database only counts
    events = stream_of(200)
    figures = {}

    async def body():
        publisher = Publisher(target, retry_for=60, min_replicas=min_replicas)
        clients = [Timed(f"c{i}", *_profile(i), nodes.urls, node=i % 2,
                         stop_when=lambda event: event["doc_class"] == "Marker")
                   for i in range(30)]
        tasks = await connect_all(clients)
        acknowledged, appended = [], []  # event ids; (doc, op, seq) as the stream numbered it

        async def publish(part):
            for doc, op, seq in part:
                event_id = f"e{seq}"
                try:
                    got = await publisher.publish(doc, op, event_id=event_id)
                except StreamMadeAnew:  # told, appending nothing: this one goes to the new stream
                    got = await publisher.publish(doc, op, event_id=event_id)
                appended.append((doc, op, got))
                acknowledged.append(event_id)
                await asyncio.sleep(0.004)

        await publish(events[:100])
        # The replica hangs, and the primary drops it: what the primary takes now the replica
        # does not get. Then the primary dies, and the replica, back, is promoted.
        replica.pause()
        with redis.Redis(port=primary.port) as client:
            client.client_kill_filter(_type="replica")
        going = asyncio.create_task(publish(events[100:-1]))
        await asyncio.sleep(0.3)
        primary.kill()
        killed = time.monotonic()
        replica.resume()
        # Once the replica is promoted, the old primary comes back (on its files) and the
        # sentinels make it the new one's replica: with --min-replicas 1 appends wait for it.
        while await asyncio.to_thread(watching.primary_port) != replica.port:
            await asyncio.sleep(0.1)
        await asyncio.to_thread(primary.start)
        await asyncio.wait_for(going, 90)
        # Clients told of a new epoch subscribe again from then on: the end, once they have.
        epoch = []
        while not epoch or any(c.epoch != epoch[0] for c in clients):
            await asyncio.sleep(0.05)
            epoch[:] = [await publisher.client.get("broadcast:events:epoch")]
        # The end. Without --min-replicas a failover after it (the sentinels may move the
        # primary once more) can lose it, acknowledged: the clients, told of the new stream,
        # then get it published again, as an application publishes again from its records.
        end_doc, end_op, end_seq = events[-1]
        for attempt in range(6):
            await publish([(end_doc, end_op, f"{end_seq}-{attempt}")])
            done, _ = await asyncio.wait(tasks, timeout=15)
            if len(done) == len(tasks):
                break
        await asyncio.wait_for(asyncio.gather(*tasks), 15)
        kept = {fields["id"] for _, fields in await publisher.client.xrange("broadcast:events")}
        await publisher.close()
        for c in clients:
            assert_no_silent_gap(c, appended)
        figures["lost"] = len([e for e in acknowledged if e not in kept])
        # (what the old primary had handed over arrives within milliseconds of the kill; the
        # sentinels take a second to find it down)
        figures["first after"] = min(t for c in clients for t in c.times
                                     if t > killed + 0.25) - killed
        figures["clients told"] = sum(c.resets > 0 for c in clients)

    try:
        nodes.start(2, "--sentinel", watching.addresses, "--sentinel-master", "broadcast")
        run(body)
    finally:
        nodes.close()
    print(f"min_replicas={min_replicas}: first event {figures['first after']:.2f} s after the "
          f"primary's kill, {figures['lost']} acknowledged events lost, "
          f"{figures['clients told']} clients told of a new epoch")
    if min_replicas:
        assert figures["lost"] == 0
    else:  # what the primary took while the replica hung is gone: the publisher had said OK
        assert figures["lost"] > 0


# -- past one Redis: a sharded cluster ------------------------------------------------------------
@pytest.mark.nodes
def test_on_a_redis_cluster_each_class_streams_on_its_shard_and_a_shard_crash_loses_nothing(
        auth_root, tmp_path):
    try:
        cluster = LocalCluster().start()
    except Unavailable as exc:
        pytest.fail(str(exc))
    classes = ("Order", "Shipment")
    shards = {cls: cluster.shard_of(class_stream(config.STREAM, cls)) for cls in classes}
    assert len(set(map(id, shards.values()))) == 2  # the classes live on two shards
    target = RedisTarget(cluster=config.addresses(cluster.addresses))
    nodes = Nodes("redis://127.0.0.1/0", auth_root, tmp_path)
    events = stream_of(300)[:-1]
    published = {cls: [] for cls in classes}  # (doc, op, seq) as each class's stream numbered it
    acknowledged = {cls: [] for cls in classes}

    async def body():
        # A client follows each class on a connection of its own: a position is in one stream.
        clients = [Recording(f"c{i}-{sub['doc_class']}", key, [dict(sub)], nodes.urls,
                             node=i % 2)
                   for i in range(40) for key, subs in [PROFILES[i % len(PROFILES)]]
                   for sub in subs]
        tasks = await connect_all(clients)
        publisher = Publisher(target, retry_for=60)
        for i, (doc, op, _) in enumerate(events):
            if i == 100:  # its clients resume on the other node, each class caught up apart
                nodes.kill(1)
            if i == 200:  # the shard of orders goes down, then comes back on its files
                crashing = asyncio.create_task(asyncio.to_thread(shards["Order"].crash, 1.0))
            event_id = f"e{i}"
            seq = await publisher.publish(doc, op, event_id=event_id)
            published[type(doc).__name__].append((doc, op, seq))
            acknowledged[type(doc).__name__].append(event_id)
            await asyncio.sleep(0.003)
        await crashing

        def expected(c):
            return expected_for(c, published[c.subscriptions[0]["doc_class"]])

        await until(lambda: all(len(c.events) >= len(expected(c)) for c in clients), 60)
        await asyncio.sleep(0.3)  # anything twice would show up now
        for c in clients:
            c.leave()
        await asyncio.wait_for(asyncio.gather(*tasks), 30)
        for c in clients:
            assert [event for _, event in c.events] == expected(c), c.name
        assert sum(len(c.stints) > 1 for c in clients) > 0
        assert any(c.stints[-1][2] for c in clients if len(c.stints) > 1)  # caught up
        for cls in classes:
            stream = publisher.stream_of(cls)
            held = await publisher.shards[stream].client.xrange(stream)
            assert [fields["id"] for _, fields in held] == acknowledged[cls]
            assert [fields["seq"] for _, fields in held] == [s for _, _, s in published[cls]]
        assert publisher.retries > 0  # the crash was met
        await publisher.close()

    try:
        nodes.start(2, "--redis-cluster", cluster.addresses)
        run(body)
    finally:
        nodes.close()
        cluster.close()
