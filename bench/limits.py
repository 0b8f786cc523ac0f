#!/usr/bin/env python3
"""What the limits on one client's requests save the others: a server in a process of its own,
publishing an Order every 20 ms, one client measuring each event's latency (publish to receipt),
and --greedy more connections asking for a long data scope that matches nothing.

Rows: the measuring client's median and max latency while the other one is subscribed, with the
scope limit off (--max-scope-items past the request's size) and the engine stand-in's
out-of-scope message built at once (as it was) or only when read, then with the limit on (the
default); and the time a connection that never subscribes is kept (--subscribe-within).

Usage, from the repository root:
  PYTHONPATH=engine_standin .venv/bin/python bench/limits.py [--items 21000] [--greedy 5]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import multiprocessing
import statistics
import time

from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed

RATE = 0.02  # seconds between two events


def host(port_out, max_scope_items: int, subscribe_within: float, events: int,
         eager: bool = False) -> None:
    """The server's process: an authentication service, a server, events at a fixed rate."""
    from broadcast_demo.auth_service import AuthService
    from broadcast_demo.shop import Order
    from broadcast_server.acl import bound_acl_lookups
    from broadcast_server.server import BroadcastServer
    from tolva_engine import Document, OutOfScopeError

    if eager:  # the message written out for every out-of-scope event, read or not
        lazy = Document.check_scope

        def check_scope(self, data_scope, *args, **kwargs):
            try:
                return lazy(self, data_scope, *args, **kwargs)
            except OutOfScopeError as exc:
                raise OutOfScopeError(str(exc)) from None

        Document.check_scope = check_scope

    async def main():
        bound_acl_lookups()
        with AuthService() as auth:
            auth.add_account("k-all", {"read": ["*"]}, id="all")
            async with BroadcastServer(auth.base_url, doc_classes=("Order",),
                                       max_scope_items=max_scope_items,
                                       subscribe_within=subscribe_within) as server:
                port_out.send(server.port)
                await asyncio.to_thread(port_out.recv)  # the clients are subscribed
                for i in range(events):
                    await server.publish(Order(id=f"A-{i}", region="eu", sent=time.time()),
                                         "update", f"{i:08d}")
                    await asyncio.sleep(RATE)
                await asyncio.to_thread(port_out.recv)

    asyncio.run(main())


async def subscribe(url: str, scope: list) -> tuple:
    ws = await connect(url, max_size=None)
    await ws.recv()  # welcome
    await ws.send(json.dumps({"api_key": "k-all",
                              "subscribe": [{"doc_class": "Order", "data_scope": scope}]},
                             separators=(",", ":")))
    return ws, json.loads(await ws.recv())


def latency_row(items: int, limit: int, events: int, eager: bool, greedy: int) -> dict:
    ours, theirs = multiprocessing.Pipe()
    child = multiprocessing.Process(target=host, args=(theirs, limit, 60.0, events, eager))
    child.start()
    port = ours.recv()

    async def measure():
        url = f"ws://127.0.0.1:{port}"
        # Within the 64 KB a request may have: one-digit numbers, no region's name. The greedy
        # connections subscribe first, so each event is checked against them first.
        asked = [await subscribe(url, [i % 10 for i in range(items)]) for _ in range(greedy)]
        reader, _ = await subscribe(url, ["eu"])
        ours.send("go")
        got = []
        for _ in range(events):
            event = json.loads(await reader.recv())
            got.append(time.time() - event["message"]["sent"])
        ours.send("done")
        for ws in [reader] + [ws for ws, _ in asked]:
            await ws.close()
        return asked[0][1], got

    reply, got = asyncio.run(measure())
    child.join()
    return {"scope_limit": limit, "eager_message": eager, "greedy_reply": reply["type"],
            "p50_ms": round(statistics.median(got) * 1000, 1),
            "max_ms": round(max(got) * 1000, 1)}


def idle_row(within: float) -> dict:
    ours, theirs = multiprocessing.Pipe()
    child = multiprocessing.Process(target=host, args=(theirs, 1000, within, 0))
    child.start()
    port = ours.recv()

    async def idle():
        started = time.monotonic()
        async with connect(f"ws://127.0.0.1:{port}") as ws:
            await ws.recv()  # welcome
            reply = None
            try:
                while True:
                    reply = json.loads(await asyncio.wait_for(ws.recv(), within + 10))
            except ConnectionClosed as exc:
                return reply, exc.rcvd.code, time.monotonic() - started
            except TimeoutError:
                return reply, None, time.monotonic() - started

    reply, code, kept = asyncio.run(idle())
    ours.send("go")
    ours.send("done")
    child.join()
    return {"subscribe_within": within, "closed_with": code, "kept_s": round(kept, 2),
            "reply": reply}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--items", type=int, default=21_000)
    parser.add_argument("--events", type=int, default=150)
    parser.add_argument("--greedy", type=int, default=5, help="connections asking for the scope")
    parser.add_argument("--within", type=float, default=2.0)
    args = parser.parse_args()
    for limit, eager in ((args.items + 1, True), (args.items + 1, False), (1000, False)):
        row = latency_row(args.items, limit, args.events, eager, args.greedy)
        print(json.dumps({"items": args.items, "greedy": args.greedy, **row}), flush=True)
    print(json.dumps(idle_row(args.within)), flush=True)


if __name__ == "__main__":
    main()
