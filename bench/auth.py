#!/usr/bin/env python3
"""Benchmark of the ACL lookups of a server: what clients that subscribe again and again cost, and
what a slow authentication service does to a node.

Everything runs on this machine, each part in a process of its own: the stand-in authentication
service, the server (a ``BroadcastServer``, or a node with a throw-away redis-server) and the
clients (this process). Measured:

  resubscribe  CLIENTS connections, their keys among KEYS, each subscribing again at the rate a
               connection is allowed (2 a second) for SECONDS: the HTTP calls the server makes
               per round (one round: every client once), the server's CPU (share of one core),
               and the subscribe latency of a new client, with a key of its own, meanwhile
               (p50 and max) and with nothing else going on;
  slow         a node whose authentication service answers some keys a byte every 3 s
               (``--drip``) or never (``--stall``): how long such a client waits for its reply,
               the subscribe latency of a client whose key is answered at once while STALLED
               such lookups are in flight, and the time from SIGTERM to the node's exit then.

Usage, from the repository root with the engine stand-in on the path (PYTHONPATH=engine_standin):
  python3 bench/auth.py                        (about a minute)
  python3 bench/auth.py --only resubscribe --clients 300 --keys 300 --seconds 10
  python3 bench/auth.py --only slow --stall --stalled 8
"""
from __future__ import annotations

import argparse
import asyncio
import json
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import time

from machine import describe

HERE = pathlib.Path(__file__).resolve().parent
ROUND = 0.5  # seconds between two requests of one connection: the rate a connection is allowed
ACL = {"read": ["*"]}


# -- the parts in processes of their own -----------------------------------------------------------
def auth_service_process(keys: int, slow: str | None) -> None:
    """The stand-in authentication service; answers "count" on stdin with the requests so far."""
    from broadcast_demo.auth_service import AuthService
    with AuthService() as service:
        for i in range(keys):
            service.add_account(f"k-{i}", ACL, id=str(i))
        for i in range(1000):
            service.add_account(f"k-new-{i}", ACL, id=f"new-{i}")
        for i in range(100):
            if slow == "stall":
                service.stall(f"k-slow-{i}")
            elif slow == "drip":
                service.drip(f"k-slow-{i}", 3.0)
        print(service.base_url, flush=True)
        for line in sys.stdin:
            if line.strip() == "count":
                print(len(service.requests), flush=True)


def server_process(auth_root: str) -> None:
    """A ``BroadcastServer`` set up as the demo sets it up; prints its URL, runs until stdin ends."""
    from broadcast_server import acl
    from broadcast_server.server import BroadcastServer

    async def serve():
        if hasattr(acl, "bound_acl_lookups"):
            acl.bound_acl_lookups()
        async with BroadcastServer(auth_root, doc_classes=("Order",)) as server:
            print(server.url, flush=True)
            await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

    asyncio.run(serve())


def spawn(*args: str, **options) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, **options)


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def requests_seen(service: subprocess.Popen) -> int:
    service.stdin.write("count\n")
    service.stdin.flush()
    return int(service.stdout.readline())


# -- clients -------------------------------------------------------------------------------------
async def open_client(url: str):
    from websockets.asyncio.client import connect
    ws = await connect(url, max_queue=None, open_timeout=60)
    await ws.recv()  # welcome
    return ws


async def subscribe(ws, key: str) -> tuple[dict, float]:
    """(reply, seconds from the request to the reply)."""
    started = time.perf_counter()
    await ws.send(json.dumps({"api_key": key, "subscribe": [{"doc_class": "Order"}]}))
    while True:
        reply = json.loads(await ws.recv())
        if reply.get("type") != "Order":
            return reply, time.perf_counter() - started


async def new_client_latency(url: str, key: str) -> float:
    ws = await open_client(url)
    try:
        reply, took = await subscribe(ws, key)
        assert reply["type"] == "subscribed", reply
        return took
    finally:
        await ws.close()


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


# -- resubscribe -----------------------------------------------------------------------------------
async def resubscribe(args) -> dict:
    service = spawn(__file__, "--role", "auth", "--keys", str(args.keys))
    root = service.stdout.readline().strip()
    server = spawn(__file__, "--role", "server", "--auth", root)
    url = server.stdout.readline().strip()
    try:
        idle = [await new_client_latency(url, f"k-new-{i}") for i in range(10)]
        gate = asyncio.Semaphore(50)

        async def opened():
            async with gate:
                return await open_client(url)

        clients = await asyncio.gather(*(opened() for _ in range(args.clients)))
        stop = asyncio.Event()
        errors = []

        async def again(i, ws):
            key = f"k-{i % args.keys}"
            await asyncio.sleep(ROUND * i / len(clients))  # spread over the round
            next_at = time.monotonic()
            while not stop.is_set():
                reply, _ = await subscribe(ws, key)
                if reply["type"] != "subscribed":
                    errors.append(reply)
                next_at += ROUND
                await asyncio.sleep(max(0.0, next_at - time.monotonic()))

        load = [asyncio.create_task(again(i, ws)) for i, ws in enumerate(clients)]
        await asyncio.sleep(2.0)  # every client going
        calls, cpu, started = requests_seen(service), cpu_seconds(server.pid), time.monotonic()
        latencies = []
        for i in range(10, 10 + int(args.seconds / ROUND)):
            latencies.append(await new_client_latency(url, f"k-new-{i}"))
            await asyncio.sleep(max(0.0, started + (i - 9) * ROUND - time.monotonic()))
        took = time.monotonic() - started
        calls, cpu = requests_seen(service) - calls, cpu_seconds(server.pid) - cpu
        stop.set()
        await asyncio.gather(*load)
        await asyncio.gather(*(ws.close() for ws in clients))
    finally:
        for process in (server, service):
            process.stdin.close()
            process.wait(30)
    rounds = took / ROUND
    return {"clients": args.clients, "keys": args.keys, "seconds": round(took, 1),
            "http_calls_per_round": round(calls / rounds, 1),
            "server_cpu_share": round(cpu / took, 2),
            "new_client_idle_p50": ms(statistics.median(idle)),
            "new_client_p50": ms(statistics.median(latencies)),
            "new_client_max": ms(max(latencies)), "error_replies": len(errors)}


# -- a slow authentication service -----------------------------------------------------------------
async def slow(args) -> dict:
    from broadcast_demo.local_redis import LocalRedis
    kind = "drip" if args.drip else "stall"
    redis = LocalRedis().start()
    service = spawn(__file__, "--role", "auth", "--keys", "1", "--slow", kind)
    root = service.stdout.readline().strip()
    node = spawn("-m", "broadcast_server", "node", "--redis", redis.url, "--auth", root,
                 "--documents", "broadcast_demo.shop", "--name", "bench")
    url = json.loads(node.stdout.readline())["url"]
    result = {"service": kind, "stalled": args.stalled}
    try:
        clients = [await open_client(url) for _ in range(args.stalled)]
        waits = [asyncio.create_task(subscribe(ws, f"k-slow-{i}"))
                 for i, ws in enumerate(clients)]
        await asyncio.sleep(1.0)  # every slow lookup in flight
        try:
            took = await asyncio.wait_for(new_client_latency(url, "k-new-1"), 20)
            result["other_client_subscribe"] = ms(took)
        except asyncio.TimeoutError:
            result["other_client_subscribe"] = "no reply within 20 s"
        done, _ = await asyncio.wait(waits, timeout=15)
        replies = [task.result() for task in done]
        result["slow_clients_replied"] = f"{len(replies)} of {len(waits)} within 16 s"
        if replies:
            result["slow_client_reply_after"] = f"{max(t for _, t in replies) :.1f} s"
            result["slow_client_reply"] = replies[0][0]
        # Lookups in flight again, then SIGTERM.
        for task in waits:
            task.cancel()
        more = [await open_client(url) for _ in range(args.stalled)]
        for i, ws in enumerate(more):
            await ws.send(json.dumps({"api_key": f"k-slow-{50 + i}",
                                      "subscribe": [{"doc_class": "Order"}]}))
        await asyncio.sleep(1.0)
        started = time.monotonic()
        node.send_signal(signal.SIGTERM)
        try:
            await asyncio.to_thread(node.wait, 30)
            result["exit_after_sigterm"] = f"{time.monotonic() - started:.2f} s"
        except subprocess.TimeoutExpired:
            result["exit_after_sigterm"] = "still running 30 s later"
        for ws in clients + more:
            ws.transport.abort()
    finally:
        if node.poll() is None:
            node.kill()
            node.wait()
        service.stdin.close()
        service.wait(30)
        redis.stop()
    return result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="resubscribe,slow")
    parser.add_argument("--clients", type=int, default=300)
    parser.add_argument("--keys", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--stalled", type=int, default=8)
    parser.add_argument("--drip", action="store_true", help="slow keys drip (the default)")
    parser.add_argument("--stall", action="store_true", help="slow keys are never answered")
    parser.add_argument("--json", help="write the results to this file too")
    parser.add_argument("--role", choices=["auth", "server"], help=argparse.SUPPRESS)
    parser.add_argument("--auth", help=argparse.SUPPRESS)
    parser.add_argument("--slow", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.role == "auth":
        auth_service_process(args.keys, args.slow)
        return 0
    if args.role == "server":
        server_process(args.auth)
        return 0
    args.drip = not args.stall
    print(describe(), flush=True)
    results = {}
    for part in args.only.split(","):
        results[part] = asyncio.run({"resubscribe": resubscribe, "slow": slow}[part](args))
        print(part, json.dumps(results[part]), flush=True)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
