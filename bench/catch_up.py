#!/usr/bin/env python3
"""Benchmark of catch-up: what resuming clients cost a node and the clients that stay live.

Everything runs on this machine: a redis-server (a throw-away one, on a free loopback port), the
stand-in authentication service, one node (a process of its own), this process (the publisher
and one live client) and a worker process holding the resuming clients. The stream is filled
with EVENTS orders first; then RESUMES clients resume at once after seq 0 of the stream's epoch
(so each asks for the whole stream), while events are appended at RATE a second for the live
client. Measured:

  per resume   seconds from its request to its ``subscribed`` reply, and the events it got;
  live client  the time from just before each append to its receipt (the clock is the machine's
               monotonic one, shared by the processes): p50 and max, while the resumes run;
  node RSS     the node's resident memory before the resumes, and its peak while they run.

The resuming clients' scope matches nothing by default (``--scope none``), so their cost is the
node's reading and filtering alone; ``--scope all`` sends them every event too.

Usage, from the repository root with the package installed and the engine stand-in on the path
(PYTHONPATH=engine_standin), which the node inherits:
  python3 bench/catch_up.py                  (about a minute)
  python3 bench/catch_up.py --events 50000 --resumes 5 --catch-ups 5 --json out.json
"""
from __future__ import annotations

import argparse
import asyncio
import json
import pathlib
import statistics
import subprocess
import sys
import threading
import time

from machine import describe

ACL = {"read": ["*"]}
SCOPES = {"none": ["nowhere"], "all": None}


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


class PeakRss(threading.Thread):
    """Samples a process's resident memory every 10 ms, keeping the peak."""

    def __init__(self, pid: int):
        super().__init__(daemon=True)
        self.pid, self.peak, self.running = pid, rss_kib(pid), True

    def run(self) -> None:
        while self.running:
            self.peak = max(self.peak, rss_kib(self.pid))
            time.sleep(0.01)


# -- the resuming clients, in a worker process ----------------------------------------------------
async def resumer_worker(url: str, count: int, epoch: str, scope) -> None:
    from websockets.asyncio.client import connect

    sockets = []
    for _ in range(count):
        ws = await connect(url, max_queue=None, max_size=None)
        await ws.recv()  # welcome
        sockets.append(ws)
    print(json.dumps({"ready": count}), flush=True)
    sys.stdin.readline()  # go

    async def one(ws):
        started = time.monotonic()
        await ws.send(json.dumps({"api_key": "k-bench", "resume_after": "00000000",
                                  "epoch": epoch,
                                  "subscribe": [{"doc_class": "Order", "data_scope": scope}]}))
        events = 0
        async for raw in ws:
            if raw.startswith('{"type"'):
                reply = json.loads(raw)
                return {"seconds": time.monotonic() - started, "events": events,
                        "reply": reply["type"], "caught_up": reply.get("caught_up")}
            events += 1
        raise RuntimeError("connection closed before the reply")

    results = await asyncio.gather(*(one(ws) for ws in sockets))
    print(json.dumps(results), flush=True)
    await asyncio.gather(*(ws.close() for ws in sockets))


# -- the run -------------------------------------------------------------------------------------
async def fill(publisher, events: int, at_once: int = 64) -> None:
    from broadcast_demo.shop import Order

    queue = iter(range(events))

    async def appender():
        for n in queue:
            await publisher.publish(Order(id=f"A-{n % 1000}", region="eu", customer="Ana Ortiz",
                                          status="paid", total=float(n), margin=n / 10,
                                          internal_note="bench"), "update")

    await asyncio.gather(*(appender() for _ in range(at_once)))


async def measure(events: int, resumes: int, rate: float, scope: str, node_args: list[str]) -> dict:
    from broadcast_demo.auth_service import AuthService
    from broadcast_demo.local_redis import LocalRedis
    from broadcast_demo.shop import Order
    from broadcast_server.stream import Publisher
    from websockets.asyncio.client import connect

    redis = LocalRedis().start()
    auth = AuthService()
    auth.add_account("k-bench", ACL, id="bench")
    auth_root = auth.start()
    node = subprocess.Popen(
        [sys.executable, "-m", "broadcast_server", "node", "--redis", redis.url, "--auth",
         auth_root, "--name", "n1", "--documents", "broadcast_demo.shop", *node_args],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    worker = None
    try:
        url = json.loads(node.stdout.readline())["url"]
        publisher = Publisher(redis.url)
        began = time.monotonic()
        await fill(publisher, events)
        filled = time.monotonic() - began
        live = await connect(url)
        await live.recv()  # welcome
        await live.send(json.dumps({"api_key": "k-bench", "subscribe": [{"doc_class": "Order"}]}))
        while json.loads(await live.recv()).get("type") != "subscribed":
            pass
        worker = await asyncio.create_subprocess_exec(
            sys.executable, __file__, "--resumer-worker", url, str(resumes), publisher.epoch,
            json.dumps(SCOPES[scope]), stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE, limit=1 << 24)
        json.loads(await worker.stdout.readline())  # ready
        await asyncio.sleep(0.5)
        baseline = rss_kib(node.pid)
        sampler = PeakRss(node.pid)
        sampler.start()
        delays: list[float] = []

        async def read_live():
            async for raw in live:
                message = json.loads(raw)
                if "t" in message.get("message", {}):
                    delays.append(time.monotonic() - message["message"]["t"])

        reading = asyncio.create_task(read_live())
        worker.stdin.write(b"go\n")
        await worker.stdin.drain()
        started = time.monotonic()
        results_line = asyncio.create_task(worker.stdout.readline())
        sent, tail = 0, None
        while tail is None or time.monotonic() < tail:
            due = started + sent / rate
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            await publisher.publish(Order(id="probe", region="eu", t=time.monotonic()), "update")
            sent += 1
            if tail is None and results_line.done():
                tail = time.monotonic() + 1.0  # a second of live events after the last resume
        results = json.loads(await results_line)
        elapsed = time.monotonic() - started
        for _ in range(100):
            if len(delays) >= sent:
                break
            await asyncio.sleep(0.05)
        sampler.running = False
        sampler.join()
        reading.cancel()
        await live.close()
        await worker.wait()
        await publisher.close()
        assert len(delays) == sent, (len(delays), sent)
        return {"events": events, "resumes": resumes, "scope": scope, "fill_s": round(filled, 1),
                "resume_s": [round(r["seconds"], 2) for r in results],
                "replies": sorted({r["reply"] for r in results}),
                "caught_up": [r["caught_up"] for r in results],
                "received": [r["events"] for r in results],
                "seconds": round(elapsed, 2), "live_events": sent,
                "live_p50_ms": round(statistics.median(delays) * 1000, 1),
                "live_max_ms": round(max(delays) * 1000, 1),
                "rss_before_mb": round(baseline / 1024, 1),
                "rss_growth_mb": round((sampler.peak - baseline) / 1024, 1)}
    finally:
        if worker is not None and worker.returncode is None:
            worker.kill()
        node.terminate()
        node.wait(10)
        node.stdout.close()
        redis.close()
        auth.stop()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--resumer-worker", nargs=4, help=argparse.SUPPRESS)
    parser.add_argument("--events", type=int, default=50_000)
    parser.add_argument("--resumes", type=int, default=5)
    parser.add_argument("--rate", type=float, default=50.0, help="live events/s meanwhile")
    parser.add_argument("--scope", choices=sorted(SCOPES), default="none",
                        help="what the resuming clients' scope lets through")
    parser.add_argument("--catch-ups", type=int, default=None,
                        help="the node's --catch-ups (default: the node's own)")
    parser.add_argument("--json", default=None, help="write every figure to this file")
    args = parser.parse_args(argv)
    if args.resumer_worker:
        url, count, epoch, scope = args.resumer_worker
        asyncio.run(resumer_worker(url, int(count), epoch, json.loads(scope)))
        return 0
    out = subprocess.run(["redis-server", "--version"], capture_output=True, text=True).stdout
    version = next((w.split("=")[1] for w in out.split() if w.startswith("v=")), "?")
    machine = describe(f"redis-server {version}")
    print(f"machine: {machine}")
    node_args = [] if args.catch_ups is None else ["--catch-ups", str(args.catch_ups)]
    row = asyncio.run(measure(args.events, args.resumes, args.rate, args.scope, node_args))
    row["catch_ups"] = args.catch_ups
    for key, value in row.items():
        print(f"{key:>15}: {value}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"machine": machine, "row": row},
                                                      indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
