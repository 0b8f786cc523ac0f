"""End to end across processes: a real redis-server, host nodes in processes of their own, a
publisher appending to the stream, and real websocket clients that move between nodes.

Each client reads until an end marker that every client may read, then its events are compared,
one by one, with what its subscriptions allow: nothing missing, nothing twice, in order.
"""
import asyncio
import json
import os
import re
import pathlib
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest
from unittest import mock
from broadcast_demo.auth_service import AuthService
from prometheus_client.parser import text_string_to_metric_families
from broadcast_demo.local_redis import LocalRedis
from broadcast_demo.shop import Acl, expected_view
from broadcast_server.acl import PROBE_KEY
from broadcast_server.client import ResumingClient
from broadcast_server.errors import Refused, StreamMadeAnew, Unavailable
from broadcast_server import config
from broadcast_server.protocol import fingerprint
from broadcast_server.stream import Publisher
from broadcast_server.stream.scripts import epoch_key
from redis import Redis as SyncRedis
from redis.asyncio import Redis
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed

from support.node_documents import Marker, Order, Shipment

ROOT = pathlib.Path(__file__).resolve().parent.parent
NODE_DOCUMENTS = ROOT / "tests" / "support" / "node_documents.py"

# Three nodes and hundreds of clients in processes of their own: skipped by ``-m "not nodes"``.
pytestmark = pytest.mark.nodes

ACCOUNTS = {
    "k-all": {"read": ["*"], "read_restricted": ["*"]},
    "k-orders": {"read": ["Order"]},
    "k-shipments": {"read": ["Shipment"]},
}
END = {"doc_class": "Marker"}
# (api key, subscriptions): the clients cycle through these
PROFILES = [
    ("k-all", [{"doc_class": "Order", "data_scope": ["eu"], "show_hidden": True},
               {"doc_class": "Shipment", "data_scope": ["eu"]}]),
    ("k-orders", [{"doc_class": "Order", "catalog": {"id": 1, "status": 1, "margin": 1}}]),
    ("k-shipments", [{"doc_class": "Order"},
                     {"doc_class": "Shipment", "catalog": {"id": 1, "status": 1}}]),
    ("k-all", [{"doc_class": "Order", "data_scope": ["us"], "start_seq": "00000040"},
               {"doc_class": "Shipment", "show_hidden": True}]),
    ("k-orders", [{"doc_class": "Order", "data_scope": ["eu", "us"]}]),
]


@pytest.fixture(scope="module")
def auth_service():
    with AuthService() as service:
        for key, acl in ACCOUNTS.items():
            service.add_account(key, acl, id=key)
        yield service


@pytest.fixture(scope="module")
def auth_root(auth_service):
    return auth_service.base_url


@pytest.fixture
def redis_server():
    try:
        server = LocalRedis()
    except Unavailable as exc:
        pytest.fail(str(exc))  # the scripts install it; a missing server is a real failure
    with server:
        yield server


class Nodes:
    """Node processes, each logging to a file of its own."""

    def __init__(self, redis_url, auth_root, log_dir):
        self.redis_url, self.auth_root, self.log_dir = redis_url, auth_root, log_dir
        self.processes, self.urls = [], []

    def start(self, count, *options, env=None):
        for i in range(count):
            log = open(self.log_dir / f"node{i}.log", "wb")
            process = subprocess.Popen(
                [sys.executable, "-m", "broadcast_server", "node", "--redis", self.redis_url,
                 "--auth", self.auth_root, "--name", f"n{i}", "--documents",
                 str(NODE_DOCUMENTS), *options],
                stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL,
                env=None if env is None else dict(os.environ, **env))
            log.close()
            self.processes.append(process)
        for i, process in enumerate(self.processes):
            line = process.stdout.readline()
            assert line, f"node {i} did not start: {self.log(i)}"
            self.urls.append(json.loads(line)["url"])
        return self

    def log(self, i):
        return (self.log_dir / f"node{i}.log").read_text(errors="replace")

    def kill(self, i):
        self.processes[i].send_signal(signal.SIGKILL)
        self.processes[i].wait()

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            process.stdout.close()


@pytest.fixture
def nodes(redis_server, auth_root, tmp_path):
    started = Nodes(redis_server.url, auth_root, tmp_path)
    yield started
    started.close()


class Recording(ResumingClient):
    """A resuming client that keeps every event it received, in order, to be compared."""

    def __init__(self, *args, **options):
        super().__init__(*args, on_event=self._record, **options)
        self.events = []
        self.epochs = []  # the epoch of each event, as the client knew it
        self.caught_up = 0  # events that came from a node's backlog

    @staticmethod
    def _record(client, seq, event):
        client.events.append((seq, event))
        client.epochs.append(client.epoch)
        client.caught_up += client.catching_up

    def events_of(self, epoch):
        return [event for (_, event), of in zip(self.events, self.epochs) if of == epoch]


def make_clients(count, urls, **options):
    return [Recording(f"c{i}", *_profile(i), urls, node=i % len(urls),
                      stop_when=lambda event: event["doc_class"] == "Marker", **options)
            for i in range(count)]


def _profile(i):
    key, subs = PROFILES[i % len(PROFILES)]
    return key, [dict(s) for s in subs] + [END]


def stream_of(count):
    """``count`` orders and shipments over two regions, some on legal hold, then the marker."""
    events = []
    for n in range(1, count + 1):
        region = ("eu", "us")[n % 2]
        if n % 3:
            doc = Order(id=f"A-{n % 40}", region=region, status=("new", "paid")[n % 2],
                        total=float(n), margin=n / 10, internal_note=f"n{n}",
                        restricted=n % 7 == 0)
        else:
            doc = Shipment(id=f"S-{n % 30}", region=region, status="packed", eta="1 day",
                           driver_phone=f"+49 {n}")
        events.append((doc, ("create", "update", "delete")[n % 3], f"{n:08d}"))
    events.append((Marker(), "end", f"{count + 1:08d}"))
    return events


def expected_for(client, events):
    acl = Acl(ACCOUNTS[client.api_key])
    by_class = {s["doc_class"]: dict(s, acl=acl) for s in client.subscriptions}
    expected = []
    for doc, op, seq in events:
        sub = by_class.get(type(doc).__name__)
        if sub is None:
            continue
        verdict, body = expected_view(doc, seq, sub)
        if verdict == "sent":
            expected.append({"doc_class": type(doc).__name__, "op": op, "seq": seq,
                             "message": body})
    return expected


def assert_exact(clients, events):
    for client in clients:
        got = [event for _, event in client.events]
        expected = expected_for(client, events)
        assert got == expected, (
            f"{client.name} on {client.stints}: got {len(got)} events, expected "
            f"{len(expected)}; first difference at "
            f"{next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), 'the end')}")


async def until(predicate, timeout=30):
    while not predicate():
        assert timeout > 0, "timed out"
        await asyncio.sleep(0.05)
        timeout -= 0.05


def run(body, timeout=240):
    return asyncio.run(asyncio.wait_for(body(), timeout))


async def connect_all(clients, at_once=50):
    """Start every client, at most ``at_once`` handshakes at a time; returns their tasks."""
    tasks = []
    for i in range(0, len(clients), at_once):
        batch = clients[i:i + at_once]
        tasks += [asyncio.create_task(c.run()) for c in batch]
        await asyncio.wait_for(asyncio.gather(*(c.subscribed.wait() for c in batch)), 60)
    return tasks


async def publish_all(publisher, events, pause=0.0, during=None):
    """Append the events; ``during`` maps an index to a coroutine function run right then."""
    for i, (doc, op, seq) in enumerate(events):
        if during and i in during:
            await during[i]()
        await publisher.publish(doc, op, seq)
        if pause:
            await asyncio.sleep(pause)


def test_three_nodes_deliver_every_event_exactly_once_to_hundreds_of_clients(redis_server,
                                                                              nodes):
    urls = nodes.start(3).urls
    events = stream_of(500)

    async def body():
        clients = make_clients(300, urls)
        tasks = await connect_all(clients)
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, events)
        await publisher.close()
        await asyncio.wait_for(asyncio.gather(*tasks), 120)
        assert_exact(clients, events)
        assert all(len(c.stints) == 1 for c in clients)
        assert {c.stints[0][0] for c in clients} == {0, 1, 2}

    run(body)


def test_clients_of_a_killed_node_resume_on_the_others_with_no_gap(redis_server, nodes):
    urls = nodes.start(3).urls
    events = stream_of(400)

    async def body():
        clients = make_clients(90, urls)
        tasks = await connect_all(clients)
        publisher = Publisher(redis_server.url)

        async def kill():
            nodes.kill(1)

        # Events keep coming while its clients find another node: they must catch up.
        await publish_all(publisher, events, pause=0.004, during={150: kill})
        await publisher.close()
        await asyncio.wait_for(asyncio.gather(*tasks), 120)
        assert_exact(clients, events)
        moved = [c for c in clients if c.stints[0][0] == 1]
        stayed = [c for c in clients if c.stints[0][0] != 1]
        assert len(moved) == 30 and all(len(c.stints) == 1 for c in stayed)
        for c in moved:
            (_, first_after, _), (node, resumed_after, caught_up) = c.stints
            assert first_after is None and node != 1 and resumed_after is not None
            # The node counts what it sent, not what it read of the stream for the client.
            assert caught_up == c.caught_up
        assert sum(c.stints[1][2] for c in moved) > 0  # some events came from the backlog

    run(body)


def test_nodes_ride_out_a_redis_restart_and_lose_nothing(redis_server, nodes):
    urls = nodes.start(2).urls
    events = stream_of(300)

    async def body():
        clients = make_clients(40, urls)
        tasks = await connect_all(clients)
        publisher = Publisher(redis_server.url)
        restarted = []

        async def restart():
            restarted.append(asyncio.create_task(asyncio.to_thread(redis_server.restart, 1.0)))

        await publish_all(publisher, events, pause=0.004, during={100: restart})
        await restarted[0]
        await publisher.close()
        await asyncio.wait_for(asyncio.gather(*tasks), 120)
        assert_exact(clients, events)
        # The nodes kept their connections: nobody had to reconnect.
        assert all(len(c.stints) == 1 for c in clients)
        assert publisher.retries > 0
        for i in range(2):
            assert "Redis reachable again" in nodes.log(i)

    run(body)


def test_a_client_that_stops_reading_is_closed_with_1013_and_resumes_missing_nothing(
        redis_server, nodes):
    urls = nodes.start(1, "--send-queue", "65536").urls
    events = [(Order(id=f"A-{n}", region="eu", status="paid", total=float(n), note="ü" * 1100),
               "update", f"{n:08d}") for n in range(1, 3001)]
    events.append((Marker(), "end", "00003001"))

    async def body():
        slow, reader = clients = make_clients(2, urls)
        for c in clients:
            c.subscriptions = [{"doc_class": "Order"}, END]
        tasks = await connect_all(clients)
        slow.ws.transport.pause_reading()  # its socket fills up, then its outbox on the node
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, events[:-1])
        for _ in range(300):
            if "fell behind" in nodes.log(0):
                break
            await asyncio.sleep(0.1)
        assert "closing it with 1013" in nodes.log(0)
        slow.ws.transport.resume_reading()
        await publish_all(publisher, events[-1:])
        await publisher.close()
        await asyncio.wait_for(asyncio.gather(*tasks), 120)
        assert_exact(clients, events)
        # It came back and caught up from the stream (its backlog may run up to the marker,
        # before any reply); the reader never left.
        assert slow.caught_up and not reader.caught_up and len(reader.stints) == 1

    run(body)


def test_a_resuming_client_that_never_reads_gives_its_catch_up_turn_up(redis_server, nodes):
    events = [(Order(id=f"A-{n}", region="eu", status="paid", total=float(n), note="ü" * 5000),
               "update", f"{n:08d}") for n in range(1, 3001)]

    async def body():
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, events)
        urls = nodes.start(1, "--catch-ups", "1", "--send-queue", "65536").urls
        request = {"api_key": "k-all", "subscribe": [{"doc_class": "Order"}],
                   "resume_after": "00000000", "epoch": publisher.epoch}
        async with connect(urls[0], max_size=None) as deaf, \
                connect(urls[0], max_size=None) as other:
            await deaf.recv()
            await deaf.send(json.dumps(request))
            deaf.transport.pause_reading()  # takes the node's one turn, and reads nothing
            await asyncio.sleep(1)
            await other.recv()
            await other.send(json.dumps(request | {"resume_after": "00002990"}))
            while "type" not in (reply := json.loads(await other.recv())):
                pass
            # Once the deaf one is closed (1013), within the wait for a turn (30 s).
            assert reply["type"] == "subscribed", reply
        await publisher.close()

    run(body)
    assert "closing it with 1013" in nodes.log(0) and "Traceback" not in nodes.log(0)


def test_catch_up_reaches_back_as_far_as_the_stream_holds(redis_server, nodes):
    events = stream_of(400)

    async def body():
        publisher = Publisher(redis_server.url, maxlen=50)  # Redis trims in blocks of 100
        await publish_all(publisher, events[:-1])
        # Started afterwards, the node's feed is at the stream's end: the rest is backlog.
        urls = nodes.start(1).urls
        first = await publisher.client.xrange("broadcast:events", count=1)
        oldest = int(first[0][1]["seq"])
        assert 1 < oldest < 400
        gone, held = make_clients(2, urls)
        gone.after, held.after = f"{oldest - 2:08d}", f"{oldest - 1:08d}"
        gone.epoch = held.epoch = publisher.epoch
        with pytest.raises(Refused, match="no longer held"):
            await gone.run()
        assert gone.events == [] and not gone.stints
        reading = asyncio.create_task(held.run())
        await asyncio.wait_for(held.subscribed.wait(), 30)
        await publish_all(publisher, events[-1:])
        await publisher.close()
        await asyncio.wait_for(reading, 60)
        assert_exact([held], events[oldest - 1:])
        assert held.stints[0][2] > 0

    run(body)


def test_demo_across_three_nodes_serves_every_client():
    # The demo's --port, given by the environment (and busy), is none of its nodes' ports.
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        env = dict(os.environ, NO_COLOR="1", COLUMNS="80",
                   BROADCAST_PORT=str(busy.getsockname()[1]))
        proc = subprocess.run([sys.executable, "-m", "broadcast_demo", "--nodes", "3", "--delay",
                               "0"], cwd=ROOT, env=env, capture_output=True, text=True,
                              timeout=180)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "node n2 stopped" in proc.stdout
    # finance had 0004 when its node stopped; of 0005 to 0007 its subscription lets one through,
    # caught up or live by the time it is back (on whichever node answered first)
    assert re.search(r"resumed after 0004 on n[13], [01] caught up", proc.stdout), proc.stdout
    assert max(map(len, proc.stdout.splitlines())) <= 80
    assert "nothing missing, nothing twice, in order" in proc.stdout


def test_nodes_that_cannot_all_start_leave_none_running(tmp_path):
    """The first node serves, the second exits at once: the first is not left running."""
    from broadcast_demo.nodes import NodeProcesses
    started = []
    real_popen = subprocess.Popen
    serves = "print('{\"url\": \"ws://127.0.0.1:1\"}', flush=True); import time; time.sleep(60)"

    def popen(args, **kwargs):
        started.append(real_popen([sys.executable, "-c", "" if started else serves], **kwargs))
        return started[-1]

    with mock.patch.object(subprocess, "Popen", popen), pytest.raises(RuntimeError,
                                                                      match="n2 did not start"):
        NodeProcesses(2, "redis://127.0.0.1:9/0", "http://127.0.0.1:9/api/", tmp_path)
    assert len(started) == 2 and all(p.poll() is not None for p in started)


def test_publish_command_appends_after_the_streams_last(redis_server):
    def publish(*args):
        return subprocess.run([sys.executable, "-m", "broadcast_server", "publish", "--redis",
                               redis_server.url, *args], capture_output=True, text=True,
                              timeout=60)

    data = '{"id": "A-1", "region": "eu", "customer": "Chloé"}'
    first, second = (publish("--class", "Order", "--data", data) for _ in range(2))
    assert (first.stdout, second.stdout) == ("00000001\n", "00000002\n"), first.stderr
    again = publish("--class", "Order", "--data", data, "--seq", "00000002")
    assert again.returncode == 1 and "is not after the stream's last (2)" in again.stderr

    async def read():
        publisher = Publisher(redis_server.url)
        entries = await publisher.client.xrange("broadcast:events")
        await publisher.close()
        return entries

    entries = asyncio.run(read())
    assert [(i, f["seq"], f["class"], f["op"]) for i, f in entries] == [
        ("1-0", "00000001", "Order", "update"), ("2-0", "00000002", "Order", "update")]
    assert json.loads(entries[0][1]["data"])["customer"] == "Chloé"


# Commands that must refuse, appending nothing, on a stream of one event of 8 digits: (what is
# done first: Redis commands, or publish arguments; the command; its exit status; what it says).
PUBLISH = ["publish", "--class", "Order", "--data", '{"id": "A-1", "region": "eu"}']
REFUSED_COMMANDS = {
    "a node of another width": ([], ["node", "--auth", "http://127.0.0.1:9/api/", "--documents",
                                     str(NODE_DOCUMENTS), "--seq-width", "10"], 2,
                                "broadcast:events has seqs of 8 digits, not 10: start with "
                                "--seq-width 8"),
    "a publisher of another width": ([], PUBLISH + ["--seq-width", "10"], 1,
                                     "seqs of 8 digits, not 10"),
    "past the width's last seq": ([PUBLISH + ["--seq", "99999999"]], PUBLISH, 1,
                                  "no seq of 8 digits is left after the stream's last, 99999999: "
                                  "start a wider stream"),
    "a seq of another width": ([], PUBLISH + ["--seq", "100000000"], 2,
                               "--seq: '100000000' is not a seq of the stream: a string of 8"),
    "an evicting Redis": ([("CONFIG", "SET", "maxmemory-policy", "allkeys-lru")], PUBLISH, 1,
                          "maxmemory-policy is allkeys-lru: when Redis is full it evicts"),
    "an evicting Redis, allowed": ([("CONFIG", "SET", "maxmemory-policy", "allkeys-random")],
                                   PUBLISH + ["--allow-eviction"], 0, ""),
    "a full Redis": ([("CONFIG", "SET", "maxmemory", "1")], PUBLISH, 1,
                     "Redis is out of memory (its maxmemory) and refused the append"),
    "a stream made anew since": ([], PUBLISH + ["--epoch", "0123456789abcdef"], 1,
                                 "was 0123456789abcdef): events acknowledged in the old epoch "
                                 "may be lost, this publisher acknowledged none"),
}


@pytest.mark.parametrize("first, args, status, told", REFUSED_COMMANDS.values(),
                         ids=REFUSED_COMMANDS)
def test_a_node_or_publisher_at_odds_with_the_stream_refuses(redis_server, first, args, status,
                                                            told):
    def command(*args):
        return subprocess.run([sys.executable, "-m", "broadcast_server", args[0], "--redis",
                               redis_server.url, *args[1:]], capture_output=True, text=True,
                              timeout=60)

    assert command(*PUBLISH).stdout == "00000001\n"

    async def redis_commands(commands):
        redis = Redis.from_url(redis_server.url, decode_responses=True)
        for args_ in commands:
            await redis.execute_command(*args_)
        entries = await redis.xlen(config.STREAM)
        await redis.aclose()
        return entries

    asyncio.run(redis_commands([c for c in first if c[0] == "CONFIG"]))
    for c in first:
        if c[0] != "CONFIG":
            assert command(*c).returncode == 0
    held = asyncio.run(redis_commands([]))
    done = command(*args)
    assert done.returncode == status and told in done.stderr, done.stderr
    assert "Traceback" not in done.stderr and len(done.stderr.splitlines()) <= 1
    assert asyncio.run(redis_commands([])) == held + (status == 0)


# (events in the stream first; the client's position then, None: it subscribes on node 0, which
# is then lost; whether it is told it resumed ahead of the stream; the first event it then gets)
POSITIONS = {
    "seq 0 of an empty stream, from a node lost since": (0, None, False, 0),
    "the 0 nodes once replied on an empty stream": (20, "0", False, 0),
    "past the stream's last seq": (20, "00000070", True, 20),
    "the width's last seq": (20, "99999999", True, 20),
}


@pytest.mark.parametrize("before, position, ahead, first", POSITIONS.values(), ids=POSITIONS)
def test_a_position_is_taken_back_by_every_node_or_refused_as_ahead(redis_server, nodes, before,
                                                                   position, ahead, first):
    urls = nodes.start(2).urls
    events = stream_of(40)

    async def body():
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, events[:before])
        told = []
        client = make_clients(1, urls, on_start_over=lambda c, *why: told.append(why))[0]
        if position is not None:
            client.after, client.epoch = position, publisher.epoch
        task = asyncio.create_task(client.run())
        await asyncio.wait_for(client.subscribed.wait(), 30)
        if position is None:
            assert client.after == "00000000"
            nodes.kill(0)
            await until(lambda: len(client.stints) == 2)
            assert client.stints[1][:2] == (1, "00000000")
        await publish_all(publisher, events[before:])
        await publisher.close()
        await asyncio.wait_for(task, 60)
        assert_exact([client], events[first:])
        assert [kind for kind, _ in told] == (["ahead"] if ahead else [])
        assert not told or f"resume_after {position} is ahead of the stream" in told[0][1]

    run(body)


# -- faults of the stream itself ------------------------------------------------------------------
def test_a_lost_stream_is_followed_in_its_new_epoch_and_never_caught_up_with_a_hole(
        redis_server, nodes):
    urls = nodes.start(2).urls
    before, after = stream_of(60)[:-1], stream_of(80)

    async def body():
        clients = make_clients(20, urls)
        tasks = await connect_all(clients)
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, before)
        old = publisher.epoch
        await until(lambda: all(c.events_of(old) == expected_for(c, before) for c in clients))
        await asyncio.to_thread(redis_server.lose, 1.0)
        # The publisher is told, naming the last seq it had acknowledged, and nothing is
        # appended; then it appends to the new stream.
        with pytest.raises(StreamMadeAnew, match=f"was {old}\\): .* the last one was seq "
                                                 f"00000060; nothing was appended"):
            await publisher.publish(*after[0])
        await publish_all(publisher, after[:1])
        new = publisher.epoch
        assert new != old and publisher.last == 1  # numbered from the new stream's start
        # Every node closes its clients; they resume from the new stream's start, and get
        # every event it holds.
        await until(lambda: all(c.epoch == new for c in clients))
        await publish_all(publisher, after[1:])
        await asyncio.wait_for(asyncio.gather(*tasks), 60)
        for c in clients:
            assert c.events_of(old) == expected_for(c, before) and c.resets == 1
            assert c.events_of(new) == expected_for(c, after), c.name
        # A client that left after seq 50 of the lost stream: seq 50 of the new one is another
        # event, and what it missed is gone.
        gone = make_clients(1, urls)[0]
        gone.after, gone.epoch = "00000050", old
        with pytest.raises(Refused, match=f"the stream was made anew \\(epoch {new}\\)"):
            await gone.run()
        assert gone.events == []
        await publisher.close()

    run(body)
    assert all("the stream was made anew" in nodes.log(i) for i in range(2))


def test_a_stream_back_without_what_the_nodes_delivered_gets_a_new_epoch(redis_server, nodes):
    urls = nodes.start(2).urls
    before = stream_of(30)[:-1]

    async def body():
        clients = make_clients(10, urls)
        tasks = await connect_all(clients)
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, before)
        old = publisher.epoch
        await until(lambda: all(c.events_of(old) == expected_for(c, before) for c in clients))
        # Redis comes back with less than the nodes delivered, as after a crash that lost its
        # last writes: the epoch is the same, the stream is not.
        await publisher.client.xdel("broadcast:events", "28-0", "29-0", "30-0")
        await asyncio.to_thread(redis_server.restart, 0.5)
        await until(lambda: all(c.epoch not in (None, old) for c in clients))
        assert all(c.resets == 1 for c in clients)
        # The publisher's next append finds the new epoch: it is told, and appends after.
        with pytest.raises(StreamMadeAnew, match="the last one was seq 00000030"):
            await publisher.publish(Marker(), "end")
        await publish_all(publisher, [(Marker(), "end", None)])
        await asyncio.wait_for(asyncio.gather(*tasks), 30)
        # The new epoch's events come after those the stream kept: the clients resumed there.
        assert all(c.events_of(c.epoch) == [c.events[-1][1]] for c in clients)
        stale = make_clients(1, urls)[0]
        stale.after, stale.epoch = "00000020", old
        with pytest.raises(Refused, match="the stream was made anew"):
            await stale.run()
        await publisher.close()

    run(body)
    assert any("came back without entry 30-0" in nodes.log(i) for i in range(2))


def test_trimming_during_a_paged_catch_up_leaves_each_client_exact_or_too_old(redis_server,
                                                                              nodes):
    events = stream_of(5000)

    async def body():
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, events[:-1])
        urls = nodes.start(2).urls
        # Each client resumes from another point, so the trimming overtakes some of them
        # between two pages (a page is 250 entries) rather than all before the first.
        clients = make_clients(40, urls)
        for i, c in enumerate(clients):
            c.after, c.epoch = f"{i * 100:08d}", publisher.epoch
        tasks = [asyncio.create_task(c.run()) for c in clients]
        for oldest in range(50, 5001, 50):
            await publisher.client.xtrim("broadcast:events", minid=f"{oldest}-0")
            await asyncio.sleep(0.005)
        await until(lambda: all(c.subscribed.is_set() or t.done() for c, t in zip(clients, tasks)))
        await publish_all(publisher, events[-1:])
        await publisher.close()
        outcomes = await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), 120)
        too_old = [c for c, out in zip(clients, outcomes) if isinstance(out, Refused)]
        assert all(isinstance(out, Refused) or out is c for c, out in zip(clients, outcomes))
        assert all("no longer held" in c.refused for c in too_old)
        for i, c in enumerate(clients):
            if c not in too_old:
                assert_exact([c], events[i * 100:])
            else:  # the pages sent before the trimming overtook it, with no gap
                got, expected = [event for _, event in c.events], expected_for(c, events[i * 100:])
                assert got == expected[:len(got)], c.name
        return len(too_old), len(clients) - len(too_old)

    too_old, exact = run(body)
    assert too_old > 0  # the trimming did overtake some catch-ups


def test_two_publishers_across_a_crash_get_ok_only_for_events_in_the_stream_once():
    # Synced at each write, Redis keeps every append it answered; killed, it loses the replies
    # on their way: the retries must find those appends by their ids.
    redis_server = LocalRedis(appendfsync="always").start()

    async def body():
        publishers = [Publisher(redis_server.url, retry_for=30) for _ in range(2)]
        order = Order(id="A-1", region="eu")
        appended = {}  # event id -> seq the append returned

        async def append(publisher, name, n):
            for i in range(n):
                event_id = f"{name}-{i}"
                appended[event_id] = await publisher.publish(order, "update",
                                                             event_id=event_id)

        # Eight appenders, four on each publisher, while Redis goes down and comes back.
        appenders = [asyncio.create_task(append(p, f"a{i}", 250))
                     for i, p in enumerate(publishers * 4)]
        await asyncio.sleep(0.1)
        await asyncio.to_thread(redis_server.crash, 1.0)
        await asyncio.wait_for(asyncio.gather(*appenders), 60)
        entries = await publishers[0].client.xrange("broadcast:events")
        for p in publishers:
            await p.close()
        return appended, entries, sum(p.retries for p in publishers)

    try:
        appended, entries, retries = asyncio.run(body())
    finally:
        redis_server.close()
    assert retries > 0  # the outage was met
    in_stream = {fields["id"]: fields["seq"] for _, fields in entries}
    assert len(in_stream) == len(entries) == 2000  # each once
    assert in_stream == appended
    prevs = [int(fields["prev"]) for _, fields in entries]
    assert prevs == list(range(2000))  # one chain, no seq twice, none skipped


def http_get(url):
    """(status, body) of a plain HTTP GET."""
    try:
        with urllib.request.urlopen(url, timeout=5) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as exc:
        return exc.code, exc.read().decode()


# How Redis cannot serve a node that starts: (what is done to it, what undoes it).
NO_REDIS = {
    "stopped": (lambda redis: redis.stop(), lambda redis: redis.start()),
    # The stream is new: making its epoch is a write, which a full Redis refuses.
    "full": (lambda redis: SyncRedis.from_url(redis.url).config_set("maxmemory", "1"),
             lambda redis: SyncRedis.from_url(redis.url).config_set("maxmemory", "0")),
}


@pytest.mark.parametrize("down, back", NO_REDIS.values(), ids=NO_REDIS)
def test_a_node_without_redis_listens_says_so_and_asks_for_no_acl(redis_server, nodes,
                                                                   auth_service, down, back):
    down(redis_server)
    urls = nodes.start(1).urls
    health = urls[0].replace("ws://", "http://") + "/health"

    def status():
        return http_get(health)[0]

    async def body():
        assert await asyncio.to_thread(status) == 503
        auth_service.clear_requests()
        client = make_clients(1, urls)[0]
        task = asyncio.create_task(client.run())
        await asyncio.sleep(1.5)
        # Refused at once, again and again, with the client backing off: no ACL asked for.
        # (the node's one probe at start-up may come in meanwhile)
        assert not client.subscribed.is_set() and [
            r for r in auth_service.requests if r.json["api_key"] != PROBE_KEY] == []
        await asyncio.to_thread(back, redis_server)
        await asyncio.wait_for(client.subscribed.wait(), 15)
        assert await asyncio.to_thread(status) == 200
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, [(Marker(), "end", "00000001")])
        await publisher.close()
        await asyncio.wait_for(task, 15)
        assert [seq for seq, _ in client.events] == ["00000001"]

    run(body)


# Entries no node can hand over, written by hand past the publisher's checks: (what changes in an
# otherwise good entry).
POISON_ENTRIES = {
    "deep JSON": {"data": "[" * 100_000 + "]" * 100_000},
    "bad seq": {"seq": "abc"},
    "unknown class": {"class": "Invoice"},
    "missing field": {"op": None},
}


def test_poison_entries_are_skipped_and_every_good_event_after_them_arrives(redis_server,
                                                                              nodes):
    urls = nodes.start(1).urls

    async def body():
        clients = make_clients(2, urls)
        tasks = await connect_all(clients)
        redis = Redis.from_url(redis_server.url, decode_responses=True)
        epoch = await redis.get(epoch_key(config.STREAM))
        publisher = Publisher(redis_server.url)
        good = stream_of(len(POISON_ENTRIES))
        for n, (change, (doc, op, seq)) in enumerate(zip(POISON_ENTRIES.values(), good)):
            number = 2 * n + 1
            fields = {"class": "Order", "op": "update", "data": json.dumps({"id": "A-1"}),
                      "seq": f"{number:08d}", "prev": str(number - 1), "epoch": epoch,
                      "id": f"poison-{n}"} | change
            await redis.xadd(config.STREAM, {k: v for k, v in fields.items() if v is not None},
                             id=f"{number}-0")
            good[n] = (doc, op, f"{number + 1:08d}")
            await publisher.publish(*good[n])
        marker = (Marker(), "end", f"{2 * len(POISON_ENTRIES) + 1:08d}")
        await publisher.publish(*marker)
        await asyncio.wait_for(asyncio.gather(*tasks), 30)
        await publisher.close()
        await redis.aclose()
        assert_exact(clients, good[:len(POISON_ENTRIES)] + [marker])

    run(body)
    log = nodes.log(0)
    skipped = [line for line in log.splitlines() if "stream entry" in line and "skipped" in line]
    assert [line.split("stream entry ")[1].split(" ")[0] for line in skipped] == ["1-0", "3-0",
                                                                                "5-0", "7-0"]
    assert "Traceback" not in log and "[[[[" not in log and max(map(len, skipped)) < 300


# Requests a node must answer with an error, keeping the connection: (request, the reason's text)
# (with the good request after them, no more than the burst one connection may send at once)
NODE_HOSTILE = [
    ({"resume_after": "42", "epoch": "e"}, '"resume_after" must be a seq: a string of 8 decimal'),
    ({"resume_after": "zzz", "epoch": "e"}, '"resume_after" must be a seq'),
    ({"subscribe": [{"doc_class": "Order", "start_seq": "0005"}]},
     '"start_seq" must be a string of 8 decimal digits, zero-padded, such as "00000042"'),
    ({"api_key": "k-secret-" + "x" * 70_000}, "longer than 65536 characters"),
]


def test_a_node_answers_hostile_requests_and_keeps_the_connection(redis_server, nodes):
    urls = nodes.start(1, env={"BROADCAST_LOG_LEVEL": "debug"}).urls

    async def body():
        async with connect(urls[0]) as ws:
            await ws.recv()  # welcome
            for change, reason in NODE_HOSTILE:
                await ws.send(json.dumps({"api_key": "k-secret",
                                          "subscribe": [{"doc_class": "Order"}]} | change))
                reply = json.loads(await ws.recv())
                assert reply["type"] == "error" and reason in reply["reason"], reply
            await ws.send(json.dumps({"api_key": "k-all", "subscribe": [{"doc_class": "Order"}]}))
            assert json.loads(await ws.recv())["type"] == "subscribed"

    run(body)
    log = nodes.log(0)
    assert "Traceback" not in log and "k-secret" not in log
    # A line per request at debug level, the subscription's too, keys by fingerprint only.
    assert f"subscribed with {fingerprint('k-all')} after 00000000 (0 caught up) to Order" in log


async def set_policy(url, policy):
    redis = Redis.from_url(url)
    await redis.config_set("maxmemory-policy", policy)
    await redis.aclose()


def test_a_node_is_watched_over_http_and_unhealthy_while_redis_is_away(redis_server, nodes):
    # Redis's eviction policy is read at start, and again after each reconnection.
    asyncio.run(set_policy(redis_server.url, "allkeys-lru"))
    # Set up by the environment alone, logging JSON.
    urls = nodes.start(1, env={"BROADCAST_UNHEALTHY_AFTER": "1",
                               "BROADCAST_LOG_FORMAT": "json"}).urls
    base = urls[0].replace("ws://", "http://")

    async def health(status):
        """The /healthz body once it answers ``status``."""
        for _ in range(200):
            got, text = await asyncio.to_thread(http_get, base + "/healthz")
            if got == status:
                return json.loads(text)
            await asyncio.sleep(0.05)
        raise AssertionError(f"/healthz still answers {got}: {text}")

    async def body():
        evicting = (await health(200))["redis"]
        assert evicting == {"maxmemory_policy": "allkeys-lru", "evicting": True,
                            "persistence": "everysec", "replicas": 0}
        await set_policy(redis_server.url, "noeviction")
        client = make_clients(1, urls)[0]
        task = asyncio.create_task(client.run())
        await asyncio.wait_for(client.subscribed.wait(), 15)
        publisher = Publisher(redis_server.url)
        await publish_all(publisher, stream_of(20)[:-1])
        await until(lambda: client.after == "00000020")
        up = await health(200)
        assert up["connections"] == 1 and up["subscribed"] == 1 and up["last_seq"] == "00000020"
        assert up["subscriptions"] == {"Order": 1, "Shipment": 1, "Marker": 1}
        assert up["feed"]["connected"] and up["feed"]["lag"] == 0
        assert up["feed"]["seqs_left"] == 99_999_999 - 20 and up["redis"]["evicting"]
        _, text = await asyncio.to_thread(http_get, base + "/metrics")
        metrics = {sample.name: sample.value for family in text_string_to_metric_families(text)
                   for sample in family.samples if not sample.labels}
        assert metrics["broadcast_events_received_total"] == 20
        assert metrics["broadcast_feed_last_seq"] == 20 and metrics["broadcast_feed_lag_events"] == 0
        assert metrics["broadcast_acl_lookup_seconds_count"] == 1
        assert metrics["broadcast_up"] == 1 and metrics["broadcast_connections"] == 1
        assert metrics["broadcast_stream_seqs_left"] == 99_999_979
        assert metrics["broadcast_redis_evicting"] == 1
        # Redis stopped: the node keeps its client, and says it cannot serve once the second
        # it was told has passed; back, it serves again.
        await asyncio.to_thread(redis_server.stop)
        down = await health(503)
        assert down["reasons"] == [f"Redis unreachable for {down['feed']['down_for']:.0f} s"]
        assert down["feed"]["down_for"] >= 1 and down["connections"] == 1
        await asyncio.to_thread(redis_server.start)
        back = await health(200)
        assert back["feed"]["connected"] and not back["redis"]["evicting"]
        await publish_all(publisher, [(Marker(), "end", "00000021")])
        await publisher.close()
        await asyncio.wait_for(task, 15)
        assert len(client.stints) == 1  # it kept its connection throughout
        async with connect(urls[0]) as ws:
            await ws.recv()  # welcome
            nodes.processes[0].terminate()
            with pytest.raises(ConnectionClosed) as closed:
                await ws.recv()
            assert closed.value.rcvd.code == 1001  # going away

    run(body)
    lines = [json.loads(line) for line in nodes.log(0).splitlines()]
    assert any(line["level"] == "warning" and line["message"].startswith("Redis unreachable")
               and line["node"] == "n0" for line in lines)
    assert any(line["level"] == "warning" and "maxmemory-policy is allkeys-lru" in
               line["message"] for line in lines)


def test_a_node_says_when_its_auth_is_wrong_and_stops_at_once_whatever_else_does(
        redis_server, tmp_path):
    with AuthService() as service:
        service.drip(None, every=1.0)  # every lookup in flight for a minute, a byte a second
        (tmp_path / "wrong").mkdir()
        wrong = Nodes(redis_server.url, service.base_url.rstrip("/"), tmp_path / "wrong").start(1)
        slow = Nodes(redis_server.url, service.base_url, tmp_path).start(
            1, "--auth-timeout", "120")
        try:
            async def body():
                clients = [await connect(slow.urls[0]) for _ in range(8)]
                for i, ws in enumerate(clients):
                    await ws.recv()  # welcome
                    await ws.send(json.dumps({"api_key": f"k-{i}",
                                              "subscribe": [{"doc_class": "Order"}]}))
                await until(lambda: sum(r.json is not None and r.json["api_key"].startswith("k-")
                                        for r in service.requests) == 8)
                deaf = await connect(slow.urls[0])  # never answers the close
                deaf.transport.pause_reading()
                host, port = slow.urls[0].removeprefix("ws://").split(":")
                opening = socket.create_connection((host, int(port)))  # a handshake half-sent
                opening.sendall(b"GET / HTTP/1.1\r\n")
                redis_server.process.send_signal(signal.SIGSTOP)  # Redis hung
                # 8 lookups in flight (past the 6 threads of a default pool): SIGTERM.
                try:
                    slow.processes[0].terminate()
                    # 2 s, with room for a busy machine
                    await asyncio.to_thread(slow.processes[0].wait, 5)
                finally:
                    redis_server.process.send_signal(signal.SIGCONT)
                assert slow.processes[0].returncode == 0
                deaf.transport.abort()
                opening.close()
                for ws in clients:
                    with pytest.raises(ConnectionClosed):
                        await ws.recv()

            run(body)
            # The start-up probe: a web framework's 404 for the path, and what to check.
            for _ in range(100):
                if "without its own" in wrong.log(0):
                    break
                time.sleep(0.05)
            assert "answered 404 without its own \"message\": is --auth its API root" in \
                wrong.log(0)
        finally:
            wrong.close()
            slow.close()
