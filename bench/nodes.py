#!/usr/bin/env python3
"""Benchmark of the multi-node host: document events through Redis to websocket clients.

Everything runs on this machine: a redis-server (a throw-away one, on a free loopback port), one
or two nodes (broadcast_server nodes, each a process), the publisher (this process) and the
clients (two worker processes of their own, so that reading frames does not slow the publisher).
Every client subscribes to every event. Measured, per number of nodes, for the installed module
("native") and, side by side, its pure-Python reading bench/reference/broadcast.py ("python",
put first on the nodes' import path):

  throughput  EVENTS events appended as fast as the publisher can; from the first append to the
              last client's receipt of the last event: events/s and deliveries/s (events x
              clients / s);
  latency     events appended at a fixed RATE for SECONDS; for every delivery, the time from
              just before the append to the client's receipt (the clock is the machine's
              monotonic one, shared by the processes): p50 and p99.

With ``--appends``, it measures instead how many events Redis takes a second: publisher
processes (APPENDERS of them, each with CONCURRENCY appends in flight) append to one
redis-server, then to a Redis Cluster of three primaries (on this machine too), where the events
of each of nine document classes go to their class's stream, spread over the three shards. Both
keep an append-only file synced each second.

Usage, from the repository root with the engine stand-in on the path (PYTHONPATH=engine_standin),
which the nodes inherit:
  python3 bench/nodes.py                 (about 3 minutes)
  python3 bench/nodes.py --quick         (fewer clients and events)
  python3 bench/nodes.py --impl native --nodes 1,2 --json out.json
  python3 bench/nodes.py --appends       (one Redis and a three-shard cluster, side by side)
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

from machine import describe

HERE = pathlib.Path(__file__).resolve().parent

ACL = {"read": ["*"]}


# -- the clients, in worker processes ---------------------------------------------------------------
async def client_worker(urls, count, first) -> None:
    """``count`` clients spread over ``urls``; reports when subscribed, then each one's results."""
    from websockets.asyncio.client import connect

    async def one(i):
        ws = await connect(urls[(first + i) % len(urls)], max_queue=None)
        await ws.recv()  # welcome
        await ws.send(json.dumps({"api_key": "k-bench", "subscribe": [{"doc_class": "Order"}]}))
        while json.loads(await ws.recv()).get("type") != "subscribed":
            pass
        return ws

    gate = asyncio.Semaphore(25)

    async def gated(i):
        async with gate:
            return await one(i)

    sockets = await asyncio.gather(*(gated(i) for i in range(count)))
    print(json.dumps({"ready": count}), flush=True)
    clock = time.monotonic

    async def read(ws):
        received, delays = 0, []
        async for raw in ws:
            now = clock()
            # Only frames that carry a send time are decoded: the clients must not be the
            # bottleneck of the throughput run.
            if '"t":' in raw:
                delays.append(now - json.loads(raw)["message"]["t"])
            elif '"end":' in raw:
                return received, delays, now
            received += 1
        raise RuntimeError("connection closed before the end")

    results = await asyncio.gather(*(read(ws) for ws in sockets))
    print(json.dumps({"received": [r for r, _, _ in results],
                      "delays": [d for _, ds, _ in results for d in ds],
                      "last": max(t for _, _, t in results)}), flush=True)
    await asyncio.gather(*(ws.close() for ws in sockets))


# -- the run -------------------------------------------------------------------------------------
class Setup:
    """redis-server, the auth service and the nodes for one measurement."""

    def __init__(self, nodes: int, impl: str):
        from broadcast_demo.auth_service import AuthService
        from broadcast_demo.local_redis import LocalRedis

        self.redis = LocalRedis().start()
        self.auth = AuthService()
        self.auth.add_account("k-bench", ACL, id="bench")
        auth_root = self.auth.start()
        env = dict(os.environ)
        if impl == "python":
            env["PYTHONPATH"] = os.pathsep.join(
                [str(HERE / "reference"), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
        self.nodes = [subprocess.Popen(
            [sys.executable, "-m", "broadcast_server", "node", "--redis", self.redis.url,
             "--auth", auth_root, "--name", f"n{i + 1}", "--documents", "broadcast_demo.shop"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=env)
            for i in range(nodes)]
        self.urls = [json.loads(p.stdout.readline())["url"] for p in self.nodes]
        self.workers = []

    async def clients(self, count: int, workers: int = 2) -> None:
        share = [count // workers + (i < count % workers) for i in range(workers)]
        for i, n in enumerate(share):
            self.workers.append(await asyncio.create_subprocess_exec(
                sys.executable, __file__, "--client-worker", json.dumps(self.urls), str(n),
                str(i), stdout=asyncio.subprocess.PIPE, limit=1 << 26))
        for w in self.workers:
            json.loads(await w.stdout.readline())  # ready

    async def results(self) -> list[dict]:
        out = [json.loads(await w.stdout.readline()) for w in self.workers]
        for w in self.workers:
            await w.wait()
        return out

    def close(self) -> None:
        for p in self.nodes:
            p.terminate()
        for p in self.nodes:
            p.wait(10)
            p.stdout.close()
        self.redis.close()
        self.auth.stop()


async def measure(nodes: int, impl: str, clients: int, events: int, rate: float,
                  seconds: float) -> dict:
    from broadcast_demo.shop import Order
    from broadcast_server.stream import Publisher

    row = {"impl": impl, "nodes": nodes, "clients": clients}
    # Throughput.
    setup = Setup(nodes, impl)
    try:
        await setup.clients(clients)
        publisher = Publisher(setup.redis.url)
        docs = [Order(id=f"A-{i}", region="eu", n=i, status="paid") for i in range(events)]
        start = time.monotonic()
        for doc in docs:
            await publisher.publish(doc, "update")
        await publisher.publish(Order(end=True), "update")
        appended = time.monotonic()
        results = await setup.results()
        await publisher.close()
        received = sum(sum(r["received"]) for r in results)
        assert received == events * clients, (received, events * clients)
        elapsed = max(r["last"] for r in results) - start
        row.update(events=events, seconds=round(elapsed, 3),
                   append_per_s=round(events / (appended - start)),
                   events_per_s=round(events / elapsed),
                   deliveries_per_s=round(received / elapsed))
    finally:
        setup.close()
    # Latency at a fixed rate.
    setup = Setup(nodes, impl)
    try:
        await setup.clients(clients)
        publisher = Publisher(setup.redis.url)
        count = int(rate * seconds)
        start = time.monotonic()
        for i in range(count):
            due = start + i / rate
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            await publisher.publish(Order(id=f"A-{i}", region="eu", n=i, t=time.monotonic()),
                                    "update")
        await publisher.publish(Order(end=True), "update")
        results = await setup.results()
        await publisher.close()
        delays = sorted(d for r in results for d in r["delays"])
        assert len(delays) == count * clients
        q = statistics.quantiles(delays, n=100)
        row.update(rate=rate, latency_p50_ms=round(q[49] * 1000, 2),
                   latency_p99_ms=round(q[98] * 1000, 2))
    finally:
        setup.close()
    return row


# -- appends: one Redis and a sharded cluster ------------------------------------------------------
APPEND_CLASSES = [f"Class{i}" for i in range(9)]  # spread over the shards of a cluster


async def append_worker(target: dict, count: int, concurrency: int, first: int) -> None:
    """Append ``count`` events, ``concurrency`` at a time, once told to start (a line on stdin);
    reports the seconds it took."""
    from broadcast_server.stream import Publisher
    from broadcast_server.stream.connection import RedisTarget

    where = RedisTarget(url=target.get("url"),
                        cluster=tuple(tuple(a) for a in target.get("cluster", ())))
    publisher = Publisher(where)
    for name in APPEND_CLASSES:  # the connections and scripts ready before the clock starts
        await publisher.append(name, {"warm": True}, "update")
    print(json.dumps({"ready": True}), flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
    todo = iter(range(count))
    start = time.monotonic()

    async def appender():
        for i in todo:
            name = APPEND_CLASSES[(first + i) % len(APPEND_CLASSES)]
            await publisher.append(name, {"id": f"A-{i}", "n": i, "region": "eu"}, "update")

    await asyncio.gather(*(appender() for _ in range(concurrency)))
    print(json.dumps({"seconds": time.monotonic() - start}), flush=True)
    await publisher.close()


async def measure_appends(target: dict, appenders: int, count: int, concurrency: int) -> int:
    """Appends per second of ``appenders`` processes appending ``count`` events each."""
    workers = [await asyncio.create_subprocess_exec(
        sys.executable, __file__, "--append-worker", json.dumps(target), str(count),
        str(concurrency), str(i), stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE)
        for i in range(appenders)]
    for w in workers:
        json.loads(await w.stdout.readline())  # ready
    start = time.monotonic()
    for w in workers:
        w.stdin.write(b"go\n")
        await w.stdin.drain()
    for w in workers:
        json.loads(await w.stdout.readline())
        await w.wait()
    return round(appenders * count / (time.monotonic() - start))


def appends(args) -> int:
    from broadcast_demo.local_redis import LocalCluster, LocalRedis

    appenders, concurrency = args.appenders, args.concurrency
    count = args.events or (2000 if args.quick else 10000)
    print(f"machine: {machine()}")
    print(f"{appenders} publisher processes, {concurrency} appends in flight each, {count} "
          f"events each, over {len(APPEND_CLASSES)} classes")
    rows = []
    with LocalRedis() as one:
        rows.append(("one Redis", asyncio.run(measure_appends(
            {"url": one.url}, appenders, count, concurrency))))
    with LocalCluster(appendfsync="everysec") as cluster:
        seeds = [[s.host, s.port] for s in cluster.shards]
        rows.append(("cluster of 3", asyncio.run(measure_appends(
            {"cluster": seeds}, appenders, count, concurrency))))
    for name, rate in rows:
        print(f"{name:<13} {rate:>9} appends/s")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(
            {"machine": machine(), "appends_per_s": dict(rows)}, indent=2))
    return 0


def machine() -> str:
    out = subprocess.run(["redis-server", "--version"], capture_output=True, text=True).stdout
    redis_version = next((w.split("=")[1] for w in out.split() if w.startswith("v=")), "?")
    return describe(f"redis-server {redis_version}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--client-worker", nargs=3, metavar=("URLS", "COUNT", "FIRST"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--nodes", default="1,2", help="node counts to measure (default 1,2)")
    parser.add_argument("--impl", default="native,python", help="native, python or both")
    parser.add_argument("--clients", type=int, default=None)
    parser.add_argument("--events", type=int, default=None)
    parser.add_argument("--rate", type=float, default=20.0, help="events/s for the latency")
    parser.add_argument("--seconds", type=float, default=None)
    parser.add_argument("--json", default=None, help="write every figure to this file")
    parser.add_argument("--appends", action="store_true",
                        help="appends per second on one Redis and on a three-shard cluster")
    parser.add_argument("--appenders", type=int, default=4,
                        help="publisher processes for --appends (default 4)")
    parser.add_argument("--concurrency", type=int, default=16,
                        help="appends in flight per publisher for --appends (default 16)")
    parser.add_argument("--append-worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.client_worker:
        urls, count, first = args.client_worker
        asyncio.run(client_worker(json.loads(urls), int(count), int(first)))
        return 0
    if args.append_worker:
        target, count, concurrency, first = args.append_worker
        asyncio.run(append_worker(json.loads(target), int(count), int(concurrency), int(first)))
        return 0
    if args.appends:
        return appends(args)
    # Kept small enough that no client falls more than a few seconds behind: past 20 s the
    # node's keepalive pings time out and it drops the connection.
    clients = args.clients or (50 if args.quick else 100)
    events = args.events or (300 if args.quick else 600)
    seconds = args.seconds or (3.0 if args.quick else 10.0)
    print(f"machine: {machine()}")
    print(f"{clients} clients subscribed to every event; latency at {args.rate:g} events/s for"
          f" {seconds:g} s")
    print(f"{'impl':<7} {'nodes':>5} {'append/s':>9} {'events/s':>9} {'deliveries/s':>13}"
          f" {'p50 ms':>8} {'p99 ms':>8}")
    rows = []
    for nodes in [int(n) for n in args.nodes.split(",")]:
        for impl in args.impl.split(","):
            row = asyncio.run(measure(nodes, impl, clients, events, args.rate, seconds))
            rows.append(row)
            print(f"{impl:<7} {nodes:>5} {row['append_per_s']:>9} {row['events_per_s']:>9}"
                  f" {row['deliveries_per_s']:>13} {row['latency_p50_ms']:>8}"
                  f" {row['latency_p99_ms']:>8}", flush=True)
    by = {(r["impl"], r["nodes"]): r for r in rows}
    for nodes in sorted({r["nodes"] for r in rows}):
        if ("native", nodes) in by and ("python", nodes) in by:
            ratio = by["native", nodes]["deliveries_per_s"] / by["python", nodes]["deliveries_per_s"]
            print(f"deliveries/s, native / python, {nodes} node(s): {ratio:.2f}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"machine": machine(), "rows": rows},
                                                      indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
