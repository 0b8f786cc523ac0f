#!/usr/bin/env python3
"""End-to-end benchmark of the fan-out to real sockets: one host process, one load client.

The host (a process of its own, pinned to one core with taskset) serves N websocket
connections on loopback and publishes document events of about 230 bytes; the load client
(bench/e2e_client.c, built here with the system's C compiler into a temporary directory, pinned
to the other core) holds every connection in one process, counts the event frames and takes each
event's publish time out of the message. Side by side in one run, hosts:

  floor        one transport write of a frame built once per event, per client
  broadcast    websockets' own broadcast() of one text per event (no per-client filtering)
  loop         a plain websockets loop: await ws.send(json.dumps(event)) per client
  server       broadcast_server's BroadcastServer with the installed module
  server-py    the same with the module's pure-Python reading (bench/reference first on the path)
  server-wait  the same server and module with a send hook that awaits websocket.send() per
               client (the hook as it was before the send path)

Measured, per host and N (100, 1,000 and 5,000 by default), repeats interleaved:

  throughput   EVENTS events published back to back (the host yields to its loop between two
               events); deliveries (events x clients) per host CPU-second (the host process's
               CPU time from the first event until the client has them all) and per second;
  latency      events at a fixed rate (RATE deliveries per second in all), each carrying its
               publish time: p50 and p99 from publish to receipt;
  memory       the host's resident size per connection (after connecting, against before).

And the row with one client that never reads, among 100, with 2.2 KB events (server only):
the host's publishing rate, the others' p99 at a fixed rate and the host's memory growth, with
and without that client.

Usage, from the repository root (PYTHONPATH=engine_standin, which the hosts inherit):
  python3 bench/e2e.py                   (about 20 minutes)
  python3 bench/e2e.py --quick           (one repeat, N = 100 and 1,000)
  python3 bench/e2e.py --hosts server,broadcast --clients 1000 --repeats 5 --json out.json
"""
from __future__ import annotations

import argparse
import asyncio
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
HOSTS = ("floor", "broadcast", "loop", "server", "server-py", "server-wait")
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


class Peer:
    """One way of sending: accepts connections, fans out one event."""

    def __init__(self, kind: str, auth: str | None):
        self.kind = kind
        self.connections: set = set()
        self.server = None
        if kind.startswith("server"):
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
        if self.server is not None:
            await self.server.start()
            return str(self.server.port)
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
        return self.server.subscriber_count("Order") if self.server else len(self.connections)

    async def publish(self, i: int, note: int, stamp: bool) -> None:
        seq = f"{i:08d}"
        data = event_data(i, note, stamp)
        if self.server is not None:
            # The stand-in engine's call record would keep every call of every event alive, and
            # the collector would then sweep the whole heap of connections again and again.
            await self.server.publish(self.Order(data, record=False), "update", seq)
            return
        event = {"doc_class": "Order", "op": "update", "seq": seq, "message": data}
        if self.kind == "loop":
            for ws in list(self.connections):
                await ws.send(json.dumps(event, ensure_ascii=False))
        elif self.kind == "broadcast":
            from websockets.asyncio.server import broadcast
            broadcast(self.connections, json.dumps(event, ensure_ascii=False))
        else:  # floor
            from websockets.frames import Frame, Opcode
            frame = Frame(Opcode.TEXT, json.dumps(event, ensure_ascii=False).encode()).serialize(
                mask=False, extensions=[])
            for ws in self.connections:
                ws.transport.write(frame)


async def host_main(kind: str, auth: str | None, clients: int, events: int, rate: float,
                    note: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    peer = Peer(kind, auth)
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
    cpu0, wall0 = time.process_time(), time.monotonic()
    for i in range(1, events + 1):
        if rate:
            wait = wall0 + (i - 1) / rate - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
        await peer.publish(i, note, bool(rate))
        await asyncio.sleep(0)
        if i % 64 == 0:
            peak = max(peak, rss_kb())
    published = time.monotonic() - wall0
    await report.wait()
    cpu = time.process_time() - cpu0
    peak = max(peak, rss_kb())
    sender = getattr(getattr(peer.server, "broadcaster", None), "sender", None)
    print(json.dumps({"cpu": cpu, "published_s": published, "rss_per_conn_kb": (rss1 - rss0) / clients,
                      "rss_growth_kb": peak - rss1,
                      "fell_behind": sender.fell_behind if sender is not None else None}),
          flush=True)


# -- the driver ----------------------------------------------------------------------------------
def build_client(out_dir: pathlib.Path) -> str:
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        raise SystemExit("a C compiler (cc or gcc) is needed to build the load client")
    exe = out_dir / "e2e_client"
    subprocess.run([cc, "-O2", "-o", str(exe), str(HERE / "e2e_client.c")], check=True)
    return str(exe)


def pinned(core: str) -> list[str]:
    return ["taskset", "-c", core] if shutil.which("taskset") and os.cpu_count() > 1 else []


def one_run(client_exe: str, auth: str, kind: str, clients: int, events: int, *, rate=0.0,
            note=SMALL_NOTE, stalled=0) -> dict:
    env = dict(os.environ)
    if kind == "server-py":
        env["PYTHONPATH"] = os.pathsep.join(
            [str(HERE / "reference"), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    host = subprocess.Popen(
        pinned(HOST_CORE) + [sys.executable, __file__, "--loop", LOOP[0], "--host", kind, auth, str(clients),
                             str(events), str(rate), str(note)],
        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env, text=True)
    try:
        port = json.loads(host.stdout.readline())["port"]
        client = subprocess.run(
            pinned(CLIENT_CORE) + [client_exe, port, str(clients), str(events), str(stalled)],
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
    return dict(result, **received, kind=kind, clients=clients, deliveries=deliveries,
                per_cpu_s=deliveries / result["cpu"],
                per_s=deliveries / max(received["seconds"], 1e-9))


def machine() -> str:
    import websockets
    return describe(f"websockets {websockets.__version__}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", nargs=6, help=argparse.SUPPRESS)
    parser.add_argument("--loop", choices=("uvloop", "asyncio"), default="uvloop",
                        help="every host's event loop (uvloop when installed, the default)")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--hosts", default=",".join(HOSTS))
    parser.add_argument("--clients", default=None, help="N, comma-separated (100,1000,5000)")
    parser.add_argument("--repeats", type=int, default=None, help="default 3 (--quick: 1)")
    parser.add_argument("--deliveries", type=int, default=200_000,
                        help="deliveries per throughput run (events = this / N)")
    parser.add_argument("--rate", type=float, default=20_000,
                        help="deliveries per second in all for the latency runs")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of a latency run")
    parser.add_argument("--no-slow", action="store_true", help="skip the never-reading client")
    parser.add_argument("--json", default=None, help="write every run to this file")
    args = parser.parse_args(argv)
    if args.host:
        kind, auth, clients, events, rate, note = args.host
        loop_factory = None
        if args.loop == "uvloop":
            try:
                import uvloop
                loop_factory = uvloop.new_event_loop
            except ImportError:
                pass
        with asyncio.Runner(loop_factory=loop_factory) as runner:
            runner.run(host_main(kind, auth, int(clients), int(events), float(rate), int(note)))
        return 0

    from broadcast_demo.auth_service import AuthService

    LOOP[0] = args.loop
    try:
        import uvloop  # noqa: F401
    except ImportError:
        LOOP[0] = "asyncio"
    kinds = args.hosts.split(",")
    sizes = [int(n) for n in (args.clients or ("100,1000" if args.quick else
                                                "100,1000,5000")).split(",")]
    repeats = args.repeats or (1 if args.quick else 3)
    print(f"machine: {machine()}")
    print(f"host on core {HOST_CORE} ({LOOP[0]} event loop), load client on core {CLIENT_CORE};"
          f" events of about 230 bytes; {repeats} repeat(s), interleaved", flush=True)
    runs = []
    with tempfile.TemporaryDirectory() as tmp, AuthService() as auth:
        auth.add_account("k-bench", {"read": ["*"]}, id="bench")
        exe = build_client(pathlib.Path(tmp))
        for _ in range(repeats):
            for n in sizes:
                for kind in kinds:
                    row = one_run(exe, auth.base_url, kind, n, max(1, args.deliveries // n))
                    lat = one_run(exe, auth.base_url, kind, n,
                                  max(2, int(args.rate / n * args.seconds)), rate=args.rate / n)
                    row.update(p50_ms=lat["p50_ms"], p99_ms=lat["p99_ms"])
                    runs.append(row)
                    print(f"  {kind:<12} N={n:<5} {row['per_cpu_s']:>10,.0f} deliveries/CPU-s"
                          f" {row['per_s']:>10,.0f}/s  p50 {row['p50_ms']:.1f} ms"
                          f"  p99 {row['p99_ms']:.1f} ms  {row['rss_per_conn_kb']:.1f} KB/conn",
                          flush=True)
        slow = [] if args.no_slow or "server" not in kinds else slow_rows(exe, auth.base_url,
                                                                          repeats)
    summary(runs, kinds, sizes, slow)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(
            {"machine": machine(), "runs": runs, "slow": slow}, indent=2))
    return 0


def slow_rows(exe: str, auth: str, repeats: int) -> list[dict]:
    """The server with and without one client that never reads, 100 clients, 2.2 KB events."""
    rows = []
    for _ in range(repeats):
        for stalled in (0, 1):
            burst = one_run(exe, auth, "server", 100, 3000, note=LARGE_NOTE, stalled=stalled)
            lat = one_run(exe, auth, "server", 100, 60, rate=20.0, note=LARGE_NOTE,
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


def summary(runs: list[dict], kinds: list[str], sizes: list[int], slow: list[dict]) -> None:
    def med(kind, n, key):
        values = [r[key] for r in runs if r["kind"] == kind and r["clients"] == n]
        return statistics.median(values) if values else None

    print()
    print("medians: deliveries per host CPU-second (ratio to broadcast / to loop), "
          "p50 / p99 ms at a fixed rate, KB per connection")
    for n in sizes:
        print(f"N = {n}")
        base, loop = med("broadcast", n, "per_cpu_s"), med("loop", n, "per_cpu_s")
        for kind in kinds:
            v = med(kind, n, "per_cpu_s")
            ratios = "  ".join(f"{v / b:.2f}x {name}" for name, b in
                               (("broadcast", base), ("loop", loop)) if b)
            print(f"  {kind:<12} {v:>10,.0f}  {ratios:<28} {med(kind, n, 'p50_ms'):>6.1f}"
                  f" {med(kind, n, 'p99_ms'):>7.1f}  {med(kind, n, 'rss_per_conn_kb'):>6.1f}")
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
