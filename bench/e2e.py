#!/usr/bin/env python3
"""End-to-end benchmark of the fan-out to real sockets: one host process, one load client.

The host (a process of its own, pinned to core 0 with taskset) serves N websocket connections on
loopback and publishes document events of about 230 bytes (--large: 2.2 KB); the load client (bench/e2e_client.c,
built here with the system's C compiler into a temporary directory, pinned to core 1) holds every
connection in one process, counts the event frames and takes each event's publish time out of the
message. Side by side in one run, hosts (--hosts, all by default):

  c-floor      bench/e2e_floor.c, built likewise: one write() of a frame built once per event,
               per client, from C (what the socket itself costs)
  floor        the same from Python: one transport.write() per client on a websockets connection
  broadcast    websockets' own broadcast() of one text per event (no per-client filtering)
  loop         a plain websockets loop: await ws.send(json.dumps(event)) per client
  server       broadcast_server's BroadcastServer with the installed module
  server-py    the same with the module's pure-Python reading (bench/reference first on the path)
  server-wait  the same server and module with a send hook that awaits websocket.send() per
               client (the hook as it was before the send path)
  picows       picows' server, transport.send() of the event's bytes (encoded once) per client
  socketify    socketify's server (uWebSockets), every client subscribed to one topic, publish()
  aiohttp      aiohttp's server, await ws.send_str(json.dumps(event)) per client

The last three are skipped, and the run says so, where their package is not installed:
`python3.11 scripts/prepare_venv.py .venv tests,bench` installs them (the `bench` optional
dependencies of pyproject.toml).

Measured, per host and N (100, 1,000 and 5,000 by default), repeats interleaved:

  throughput   EVENTS events published back to back (the host yields to its loop between two
               events); deliveries (events x clients) per host CPU-second (the host process's
               CPU time from the first event until the client has them all) and per second;
  bursts       the same with BURST events (--burst, 4 by default) published per turn of the
               host's loop, as when a stream read or a burst of publishes brings several (the
               host counts its loop's turns, and the run says so when a publish yielded);
  latency      events at a fixed rate (RATE deliveries per second in all, 10,000 by default),
               each carrying its publish time: p50 and p99 from publish to receipt;
  memory       the host's resident size per connection (after connecting, against before).

Every table gives each host's ratio to broadcast(), to the plain loop and to the C floor, and
the floors' own ratio to the loop. Beside each run: the host's busy share of its core while it
published and the load client's while it read. A throughput figure counts only where the host
set the pace: a client busy near all the time may have held the host back, and the summary says
so.

And the row with one client that never reads, among 100, with 2.2 KB events (server only):
the host's publishing rate, the others' p99 at a fixed rate and the host's memory growth, with
and without that client.

Usage, from the repository root (PYTHONPATH=engine_standin, which the hosts inherit):
  python3 bench/e2e.py                   (about 15 minutes)
  python3 bench/e2e.py --quick           (one repeat, N = 100 and 1,000)
  python3 bench/e2e.py --hosts c-floor,server,broadcast,loop --clients 1000 --repeats 5 --json out.json
"""
from __future__ import annotations

import argparse
import asyncio
import importlib.metadata
import importlib.util
import json
import os
import pathlib
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from machine import describe

HERE = pathlib.Path(__file__).resolve().parent
HOSTS = ("c-floor", "floor", "broadcast", "loop", "server", "server-py", "server-wait", "picows",
         "socketify", "aiohttp")
HOST_CORE, CLIENT_CORE = "0", "1"
LOOP = ["uvloop"]  # the hosts' event loop, as the command line chose
SMALL_NOTE = 118  # pads an event to about 230 bytes of JSON
LARGE_NOTE = 2090  # about 2.2 KB


# -- the host, in a process of its own -----------------------------------------------------------
def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE") // 1024


def event_data(i: int, note: int, stamp: bool) -> dict:
    data = {"id": f"A-{i:06d}", "region": "eu", "status": "paid", "total": 123.45,
            "note": "x" * note}
    if stamp:
        data["t"] = time.monotonic()
    return data


def event(i: int, note: int, stamp: bool) -> dict:
    return {"doc_class": "Order", "op": "update", "seq": f"{i:08d}",
            "message": event_data(i, note, stamp)}


def event_text(i: int, note: int, stamp: bool) -> str:
    return json.dumps(event(i, note, stamp), ensure_ascii=False)


class Peer:
    """One way of sending: accepts connections, fans out one event. This one: websockets."""

    def __init__(self, kind: str, auth: str | None):
        self.kind = kind
        self.connections: set = set()

    async def start(self) -> str:
        from websockets.asyncio.server import serve
        from websockets.exceptions import ConnectionClosed

        async def handler(ws):
            self.connections.add(ws)
            try:
                async for _ in ws:
                    pass
            except ConnectionClosed:  # the load client hangs up without a closing handshake
                pass
            finally:
                self.connections.discard(ws)

        self.ws_server = await serve(handler, "127.0.0.1", 0, backlog=4096, compression=None)
        return str(self.ws_server.sockets[0].getsockname()[1])

    def count(self) -> int:
        return len(self.connections)

    async def publish(self, i: int, note: int, stamp: bool) -> None:
        if self.kind == "loop":  # as an application would write it: one text per client
            data = event(i, note, stamp)
            for ws in list(self.connections):
                await ws.send(json.dumps(data, ensure_ascii=False))
            return
        text = event_text(i, note, stamp)
        if self.kind == "broadcast":
            from websockets.asyncio.server import broadcast
            broadcast(self.connections, text)
        else:  # floor
            from websockets.frames import Frame, Opcode
            frame = Frame(Opcode.TEXT, text.encode()).serialize(mask=False, extensions=[])
            for ws in self.connections:
                ws.transport.write(frame)


class ServerPeer(Peer):
    """broadcast_server's BroadcastServer, with the installed module (or the pure-Python one)."""

    def __init__(self, kind: str, auth: str | None):
        super().__init__(kind, auth)
        from broadcast_server.server import BroadcastServer, WebsocketBroadcaster
        from tolva_engine import Document

        class Order(Document):
            pass

        self.Order = Order
        broadcaster = WebsocketBroadcaster
        if kind == "server-wait":
            from websockets.exceptions import ConnectionClosed

            class Waiting(WebsocketBroadcaster):
                @classmethod
                async def send_message_async(cls, websocket, message):
                    try:
                        await websocket.send(message)
                    except ConnectionClosed:
                        pass

            broadcaster = Waiting
        self.server = BroadcastServer(auth, doc_classes=("Order",), broadcaster=broadcaster)

    async def start(self) -> str:
        await self.server.start()
        return str(self.server.port)

    def count(self) -> int:
        return self.server.subscriber_count("Order")

    async def publish(self, i: int, note: int, stamp: bool) -> None:
        # The stand-in engine's call record would keep every call of every event alive, and
        # the collector would then sweep the whole heap of connections again and again.
        await self.server.publish(self.Order(event_data(i, note, stamp), record=False), "update",
                                  f"{i:08d}")


class PicowsPeer(Peer):
    """picows (websockets in Cython): transport.send() of the text per client."""

    async def start(self) -> str:
        from picows import WSListener, WSMsgType, ws_create_server

        connections = self.connections

        class Listener(WSListener):
            def on_ws_connected(self, transport):
                connections.add(transport)

            def on_ws_disconnected(self, transport):
                connections.discard(transport)

        self.TEXT = WSMsgType.TEXT
        self.ws_server = await ws_create_server(lambda request: Listener(), "127.0.0.1", 0,
                                                backlog=4096)
        return str(self.ws_server.sockets[0].getsockname()[1])

    async def publish(self, i: int, note: int, stamp: bool) -> None:
        payload = event_text(i, note, stamp).encode()
        for transport in self.connections:
            transport.send(self.TEXT, payload)


class SocketifyPeer(Peer):
    """socketify (uWebSockets through cffi): every client subscribes to one topic; publish()."""

    async def start(self) -> str:
        from socketify import App, AppListenOptions, CompressOptions, OpCode

        self.TEXT = OpCode.TEXT
        # App's own loop object takes the running loop; its uv loop is polled from it.
        self.app = app = App(lifespan=False)
        opened = self.opened = [0]

        def on_open(ws):
            ws.subscribe("Order")
            opened[0] += 1

        def on_close(ws, code, message):
            opened[0] -= 1

        # Backpressure past max_backpressure would drop events for that client: no bound here.
        app.ws("/*", {"compression": CompressOptions.DISABLED, "max_payload_length": 1 << 16,
                      "idle_timeout": 0, "max_backpressure": 1 << 30, "open": on_open,
                      "message": lambda ws, message, opcode: None, "close": on_close})
        port = [None]
        app.listen(AppListenOptions(port=0, host="127.0.0.1"),
                   lambda config: port.__setitem__(0, config.port))
        app.loop.started = True
        app.loop.loop.call_soon(app.loop._keep_alive)
        while port[0] is None:
            await asyncio.sleep(0.01)
        return str(port[0])

    def count(self) -> int:
        return self.opened[0]

    async def publish(self, i: int, note: int, stamp: bool) -> None:
        self.app.publish("Order", event_text(i, note, stamp), self.TEXT)


class AiohttpPeer(Peer):
    """aiohttp's web server: await ws.send_str(json.dumps(event)) per client."""

    async def start(self) -> str:
        from aiohttp import web

        async def handler(request):
            ws = web.WebSocketResponse(compress=False)
            await ws.prepare(request)
            self.connections.add(ws)
            try:
                async for _ in ws:
                    pass
            finally:
                self.connections.discard(ws)
            return ws

        app = web.Application()
        app.router.add_get("/", handler)
        self.runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self.runner.setup()
        site = web.TCPSite(self.runner, "127.0.0.1", 0, backlog=4096)
        await site.start()
        return str(self.runner.addresses[0][1])

    async def publish(self, i: int, note: int, stamp: bool) -> None:
        data = event(i, note, stamp)  # one text per client, as the plain loop
        for ws in list(self.connections):
            await ws.send_str(json.dumps(data, ensure_ascii=False))


PEERS = {"floor": Peer, "broadcast": Peer, "loop": Peer, "server": ServerPeer,
         "server-py": ServerPeer, "server-wait": ServerPeer, "picows": PicowsPeer,
         "socketify": SocketifyPeer, "aiohttp": AiohttpPeer}


async def host_main(kind: str, auth: str | None, clients: int, events: int, rate: float,
                    note: int, burst: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    peer = PEERS[kind](kind, auth)
    port = await peer.start()
    rss0 = rss_kb()
    print(json.dumps({"port": port, "pid": os.getpid()}), flush=True)
    while peer.count() < clients:
        await asyncio.sleep(0.01)
    await asyncio.sleep(0.2)  # the last replies go out before the clock starts
    rss1 = rss_kb()
    report = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, report.set)
    peak = rss1
    loop = asyncio.get_running_loop()
    turns = [0]

    def count_turn():  # once per turn of the loop while publishing: are bursts one turn?
        turns[0] += 1
        if not report.is_set():
            loop.call_soon(count_turn)

    loop.call_soon(count_turn)
    cpu0, wall0 = time.process_time(), time.monotonic()
    for i in range(1, events + 1):
        if rate:
            wait = wall0 + (i - 1) / rate - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
        await peer.publish(i, note, bool(rate))
        if rate or i % burst == 0:
            await asyncio.sleep(0)
        if i % 64 == 0:
            peak = max(peak, rss_kb())
    published = time.monotonic() - wall0
    cpu_published = time.process_time() - cpu0
    turns_published = turns[0]
    await report.wait()
    cpu = time.process_time() - cpu0
    peak = max(peak, rss_kb())
    sender = getattr(getattr(getattr(peer, "server", None), "broadcaster", None), "sender", None)
    print(json.dumps({"cpu": cpu, "published_s": published, "cpu_published": cpu_published,
                      "turns": turns_published, "rss_per_conn_kb": (rss1 - rss0) / clients,
                      "rss_growth_kb": peak - rss1,
                      "fell_behind": sender.fell_behind if sender is not None else None}),
          flush=True)


# -- the driver ----------------------------------------------------------------------------------
def build(out_dir: pathlib.Path, name: str) -> str:
    """bench/NAME.c compiled into out_dir with the system's C compiler."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        raise SystemExit(f"a C compiler (cc or gcc) is needed to build bench/{name}.c")
    exe = out_dir / name
    subprocess.run([cc, "-O2", "-o", str(exe), str(HERE / f"{name}.c")], check=True)
    return str(exe)


def pinned(core: str) -> list[str]:
    return ["taskset", "-c", core] if shutil.which("taskset") and os.cpu_count() > 1 else []


def one_run(exes: dict, auth: str, kind: str, clients: int, events: int, *, rate=0.0,
            note=SMALL_NOTE, stalled=0, burst=1) -> dict:
    env = dict(os.environ)
    if kind == "server-py":
        env["PYTHONPATH"] = os.pathsep.join(
            [str(HERE / "reference"), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    args = [str(clients), str(events), str(rate), str(note), str(burst)]
    if kind == "c-floor":
        command = [exes["e2e_floor"], *args]
    else:
        command = [sys.executable, __file__, "--loop", LOOP[0], "--host", kind, auth, *args]
    host = subprocess.Popen(pinned(HOST_CORE) + command, stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, env=env, text=True)
    try:
        port = json.loads(host.stdout.readline())["port"]
        client = subprocess.run(
            pinned(CLIENT_CORE) + [exes["e2e_client"], str(port), str(clients), str(events),
                                   str(stalled)],
            capture_output=True, text=True, timeout=600)
        lines = client.stdout.splitlines()
        if client.returncode != 0 or len(lines) < 2:
            raise RuntimeError(f"{kind} N={clients}: client failed: {client.stdout} {client.stderr}")
        received = json.loads(lines[-1])
        host.send_signal(signal.SIGUSR1)
        result = json.loads(host.stdout.readline())
    finally:
        if host.poll() is None:
            host.terminate()
        host.wait(30)
        host.stdout.close()
    deliveries = events * (clients - stalled)
    seconds = max(received["seconds"], 1e-9)
    return dict(result, **received, kind=kind, clients=clients, deliveries=deliveries, burst=burst,
                per_cpu_s=deliveries / result["cpu"], per_s=deliveries / seconds,
                # The host's share of its core while it published, and the client's while it
                # read: a client near 1.0 is what set the pace, and the host's figure is suspect.
                host_busy=result["cpu_published"] / max(result["published_s"], 1e-9),
                client_busy=received["cpu"] / seconds,
                # TCP data segments per frame received: 1.0 when every write went out on its
                # own, 0.25 when four frames shared one segment.
                segments_per_delivery=received["segments"] / max(deliveries, 1))


def machine() -> str:
    import websockets
    versions = [f"websockets {websockets.__version__}"]
    for name in ("uvloop", "picows", "socketify", "aiohttp"):
        try:
            versions.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return describe(*versions)


def missing(kinds: list[str]) -> dict[str, str]:
    """The hosts whose package is not installed here, with the reason."""
    need = {"picows": "picows", "socketify": "socketify", "aiohttp": "aiohttp"}
    out = {}
    for kind in kinds:
        if kind in need and importlib.util.find_spec(need[kind]) is None:
            out[kind] = (f"{need[kind]} is not installed (scripts/prepare_venv.py .venv tests,bench"
                         " installs the peers)")
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", nargs=7, help=argparse.SUPPRESS)
    parser.add_argument("--loop", choices=("uvloop", "asyncio"), default="uvloop",
                        help="every Python host's event loop (uvloop when installed, the default)")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--hosts", default=",".join(HOSTS),
                        help=f"comma-separated, of: {', '.join(HOSTS)} (default: all)")
    parser.add_argument("--clients", default=None, help="N, comma-separated (100,1000,5000)")
    parser.add_argument("--repeats", type=int, default=None, help="default 3 (--quick: 1)")
    parser.add_argument("--deliveries", type=int, default=200_000,
                        help="deliveries per throughput run (events = this / N)")
    parser.add_argument("--burst", type=int, default=4,
                        help="events per loop turn in the second throughput run (0: no such run)")
    parser.add_argument("--rate", type=float, default=10_000,
                        help="deliveries per second in all for the latency runs")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of a latency run")
    parser.add_argument("--large", action="store_true",
                        help="events of about 2.2 KB instead of 230 bytes")
    parser.add_argument("--no-slow", action="store_true", help="skip the never-reading client")
    parser.add_argument("--json", default=None, help="write every run to this file")
    args = parser.parse_args(argv)
    if args.host:
        kind, auth, clients, events, rate, note, burst = args.host
        loop_factory = None
        if args.loop == "uvloop":
            try:
                import uvloop
                loop_factory = uvloop.new_event_loop
            except ImportError:
                pass
        with asyncio.Runner(loop_factory=loop_factory) as runner:
            runner.run(host_main(kind, auth, int(clients), int(events), float(rate), int(note),
                                 int(burst)))
        return 0

    from broadcast_demo.auth_service import AuthService

    LOOP[0] = args.loop
    try:
        import uvloop  # noqa: F401
    except ImportError:
        LOOP[0] = "asyncio"
    kinds = args.hosts.split(",")
    unknown = [k for k in kinds if k not in HOSTS]
    if unknown:
        parser.error(f"unknown hosts: {', '.join(unknown)} (known: {', '.join(HOSTS)})")
    skipped = missing(kinds)
    for kind, why in skipped.items():
        print(f"skipping {kind}: {why}")
    kinds = [k for k in kinds if k not in skipped]
    sizes = [int(n) for n in (args.clients or ("100,1000" if args.quick else
                                                "100,1000,5000")).split(",")]
    repeats = args.repeats or (1 if args.quick else 3)
    print(f"machine: {machine()}")
    print(f"host on core {HOST_CORE} ({LOOP[0]} event loop), load client on core {CLIENT_CORE};"
          f" events of about {'2.2 KB' if args.large else '230 bytes'}; {repeats} repeat(s),"
          " interleaved", flush=True)
    note = LARGE_NOTE if args.large else SMALL_NOTE
    runs = []
    with tempfile.TemporaryDirectory() as tmp, AuthService() as auth:
        auth.add_account("k-bench", {"read": ["*"]}, id="bench")
        exes = {name: build(pathlib.Path(tmp), name) for name in ("e2e_client", "e2e_floor")}
        for _ in range(repeats):
            for n in sizes:
                for kind in kinds:
                    events = max(1, args.deliveries // n)
                    row = one_run(exes, auth.base_url, kind, n, events, note=note)
                    if args.burst > 1:
                        events = max(args.burst, events // args.burst * args.burst)
                        burst = one_run(exes, auth.base_url, kind, n, events, note=note,
                                        burst=args.burst)
                        if burst.get("turns") and burst["turns"] > events / args.burst + 2:
                            print(f"  note: {kind} took {burst['turns']} turns of its loop for"
                                  f" {events} events in bursts of {args.burst}: it yields"
                                  " within a publish", flush=True)
                        row.update(burst_per_cpu_s=burst["per_cpu_s"],
                                   burst_client_busy=burst["client_busy"],
                                   burst_segments_per_delivery=burst["segments_per_delivery"])
                    lat = one_run(exes, auth.base_url, kind, n,
                                  max(2, int(args.rate / n * args.seconds)), rate=args.rate / n,
                                  note=note)
                    row.update(p50_ms=lat["p50_ms"], p99_ms=lat["p99_ms"])
                    runs.append(row)
                    bursts = (f" {row['burst_per_cpu_s']:>9,.0f} in bursts of {args.burst}"
                              f" ({row['burst_segments_per_delivery']:.2f} seg)"
                              if args.burst > 1 else "")
                    print(f"  {kind:<12} N={n:<5} {row['per_cpu_s']:>9,.0f} deliveries/CPU-s"
                          f" {row['per_s']:>9,.0f}/s ({row['segments_per_delivery']:.2f} seg)"
                          f"{bursts}  host busy {row['host_busy']:.2f}"
                          f" client busy {row['client_busy']:.2f}  p50 {row['p50_ms']:.1f} ms"
                          f"  p99 {row['p99_ms']:.1f} ms  {row['rss_per_conn_kb']:.1f} KB/conn",
                          flush=True)
        slow = [] if args.no_slow or "server" not in kinds else slow_rows(exes, auth.base_url,
                                                                          repeats)
    summary(runs, kinds, sizes, slow, args.burst)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(
            {"machine": machine(), "runs": runs, "slow": slow, "skipped": skipped}, indent=2))
    return 0


def slow_rows(exes: dict, auth: str, repeats: int) -> list[dict]:
    """The server with and without one client that never reads, 100 clients, 2.2 KB events."""
    rows = []
    for _ in range(repeats):
        for stalled in (0, 1):
            burst = one_run(exes, auth, "server", 100, 3000, note=LARGE_NOTE, stalled=stalled)
            lat = one_run(exes, auth, "server", 100, 60, rate=20.0, note=LARGE_NOTE,
                          stalled=stalled)
            rows.append({"stalled": stalled, "events_per_s": 3000 / burst["published_s"],
                         "rss_growth_kb": burst["rss_growth_kb"],
                         "fell_behind": burst["fell_behind"], "p50_ms": lat["p50_ms"],
                         "p99_ms": lat["p99_ms"]})
            print(f"  server, {stalled} never-reading client(s) of 100, 2.2 KB events:"
                  f" {rows[-1]['events_per_s']:,.0f} events/s published, p99"
                  f" {lat['p99_ms']:.1f} ms, memory +{burst['rss_growth_kb'] / 1024:.1f} MiB,"
                  f" closed for falling behind: {burst['fell_behind']}", flush=True)
    return rows


def summary(runs: list[dict], kinds: list[str], sizes: list[int], slow: list[dict],
            burst: int) -> None:
    def med(kind, n, key):
        values = [r[key] for r in runs if r["kind"] == kind and r["clients"] == n and key in r]
        return statistics.median(values) if values else None

    def ratio(v, base):
        return f"{v / base:.2f}" if v and base else "-"

    print()
    print("medians: deliveries per host CPU-second, and as a ratio to broadcast(), to the plain"
          " loop and to the C floor;")
    print(f"{'the same in bursts of ' + str(burst) + ' events per loop turn; ' if burst > 1 else ''}"
          "p50 / p99 ms at a fixed rate; KB per connection; TCP segments per delivery (seg);")
    print("the load client's busy share of its core (client)")
    for n in sizes:
        print(f"N = {n}")
        base = {k: med(k, n, "per_cpu_s") for k in ("broadcast", "loop", "c-floor")}
        head = (f"  {'host':<12} {'per CPU-s':>10} {'/bcast':>6} {'/loop':>6} {'/Cfloor':>7}"
                + (f" {'bursts':>9} {'/bcast':>6}" if burst > 1 else "")
                + f" {'p50':>6} {'p99':>7} {'KB/conn':>7} {'seg':>5}"
                + (f" {'seg':>5}" if burst > 1 else "") + f" {'client':>6}")
        print(head)
        burst_base = med("broadcast", n, "burst_per_cpu_s")
        for kind in kinds:
            v = med(kind, n, "per_cpu_s")
            line = (f"  {kind:<12} {v:>10,.0f} {ratio(v, base['broadcast']):>6}"
                    f" {ratio(v, base['loop']):>6} {ratio(v, base['c-floor']):>7}")
            if burst > 1:
                b = med(kind, n, "burst_per_cpu_s")
                line += f" {b:>9,.0f} {ratio(b, burst_base):>6}"
            line += (f" {med(kind, n, 'p50_ms'):>6.1f} {med(kind, n, 'p99_ms'):>7.1f}"
                     f" {med(kind, n, 'rss_per_conn_kb'):>7.1f}"
                     f" {med(kind, n, 'segments_per_delivery'):>5.2f}")
            if burst > 1:
                line += f" {med(kind, n, 'burst_segments_per_delivery'):>5.2f}"
            line += f" {med(kind, n, 'client_busy'):>6.2f}"
            print(line)
        floors = [f"{name} / loop {ratio(base.get(k) or med(k, n, 'per_cpu_s'), base['loop'])}"
                  for name, k in (("C floor", "c-floor"), ("floor", "floor")) if k in kinds]
        if floors and base["loop"]:
            print("  " + ", ".join(floors))
        busy = [r for r in runs if r["clients"] == n
                and max(r["client_busy"], r.get("burst_client_busy", 0)) > 0.9]
        if busy:
            print(f"  note: in {len(busy)} run(s) the load client was busy over 90% of the time"
                  f" ({', '.join(sorted({r['kind'] for r in busy}))}): it may have set the pace")
        idle = [r for r in runs if r["clients"] == n and r["host_busy"] < 0.8]
        if idle:
            print(f"  note: in {len(idle)} run(s) the host had its core less than 80% of the time"
                  f" it published ({', '.join(sorted({r['kind'] for r in idle}))}): other work"
                  " shared core 0, or the host waited; per second is then not per CPU-second")
    if slow:
        print("one client that never reads, of 100, 2.2 KB events (server):")
        for stalled in (0, 1):
            rows = [r for r in slow if r["stalled"] == stalled]
            print(f"  {stalled} never reading: "
                  f"{statistics.median(r['events_per_s'] for r in rows):,.0f} events/s, p99 "
                  f"{statistics.median(r['p99_ms'] for r in rows):.1f} ms, memory +"
                  f"{statistics.median(r['rss_growth_kb'] for r in rows) / 1024:.1f} MiB")


if __name__ == "__main__":
    sys.exit(main())
