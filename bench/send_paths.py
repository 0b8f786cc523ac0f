#!/usr/bin/env python3
"""The ways of handing one text to many websocket connections, side by side, without sockets.

Each way writes the same event (about 230 bytes of JSON) to N real ``websockets`` connection
objects whose transport takes the bytes and does nothing with them, so what is timed is the
host's own work per delivery: what bench/e2e.py adds to the write() every way pays alike.

  send()       await connection.send(text): the library's send coroutine (the plain loop)
  broadcast()  websockets' broadcast() of the text: the protocol object makes each frame
  protocol     the protocol object makes each connection's frame and the connection writes it,
               with the sender's checks around it (no coroutine)
  shared       the server's sender: one frame per distinct text, written to every connection
  deflate      the server's sender with per-message deflate on every connection: each
               connection compresses the text in its own context

Usage, from the repository root, with the server package installed in .venv (as ./run-tests and
./run-demo install it):  .venv/bin/python bench/send_paths.py [--clients N]
"""
from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import time

from broadcast_server.sender import Sender
from websockets.asyncio.connection import Connection
from websockets.asyncio.server import broadcast
from websockets.extensions.permessage_deflate import PerMessageDeflate
from websockets.protocol import OPEN
from websockets.server import ServerProtocol

from e2e import SMALL_NOTE, event_data
from machine import describe


class Transport(asyncio.Transport):
    """Takes every write and keeps only the count of bytes."""

    def __init__(self):
        super().__init__()
        self.bytes = 0

    def write(self, data):
        self.bytes += len(data)

    def set_write_buffer_limits(self, high=None, low=None):
        pass

    def get_write_buffer_size(self):
        return 0

    def pause_reading(self):
        pass

    def resume_reading(self):
        pass

    def is_closing(self):
        return False


def connections(n: int, deflate: bool) -> list[Connection]:
    out = []
    for _ in range(n):
        conn = Connection(ServerProtocol(state=OPEN), ping_interval=None)
        conn.connection_made(Transport())
        if deflate:
            conn.protocol.extensions = [PerMessageDeflate(False, False, 15, 15)]
        out.append(conn)
    return out


class ProtocolSender(Sender):
    """The sender's checks, with each frame made by the connection's protocol object."""

    def send(self, websocket, text):
        if websocket.protocol.state is not OPEN:
            return
        if websocket.paused or websocket in self.outboxes:
            raise AssertionError("nothing waits here")
        websocket.protocol.send_text(text.encode())
        websocket.send_data()


async def fan_out(way: str, conns: list[Connection], texts: list[list[str]]) -> None:
    if way == "send()":
        for copies in texts:
            for conn, text in zip(conns, copies):
                await conn.send(text)
    elif way == "broadcast()":
        for copies in texts:
            broadcast(conns, copies[0])
    else:
        send = (ProtocolSender if way == "protocol" else Sender)().send
        for copies in texts:
            for conn, text in zip(conns, copies):
                send(conn, text)


async def measure(way: str, n: int, events: int) -> tuple[float, float]:
    """(CPU ns per delivery, bytes written per delivery)."""
    conns = connections(n, way == "deflate")
    # A string of its own per delivery, as the fan-out makes each subscriber's text anew
    # (broadcast() takes one text per event).
    texts = [[json.dumps({"doc_class": "Order", "op": "update", "seq": f"{i:08d}",
                          "message": event_data(i, SMALL_NOTE, False)}) for _ in conns]
             for i in range(events)]
    start = time.process_time()
    await fan_out(way, conns, texts)
    cpu = time.process_time() - start
    written = sum(conn.transport.bytes for conn in conns)
    return cpu / (n * events) * 1e9, written / (n * events)


WAYS = ("send()", "broadcast()", "protocol", "shared", "deflate")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=1000)
    parser.add_argument("--events", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args(argv)
    import websockets
    print(f"machine: {describe(f'websockets {websockets.__version__}')}")
    print(f"{args.clients} connections, {args.events} events, {args.repeats} interleaved repeats",
          flush=True)
    runs: dict[str, list[tuple[float, float]]] = {way: [] for way in WAYS}
    for _ in range(args.repeats):
        for way in WAYS:
            runs[way].append(asyncio.run(measure(way, args.clients, args.events)))
    print(f"\n{'way':<12} {'ns/delivery':>12} {'vs send()':>10} {'bytes/frame':>12}")
    base = statistics.median(ns for ns, _ in runs["send()"])
    for way in WAYS:
        ns = statistics.median(ns for ns, _ in runs[way])
        print(f"{way:<12} {ns:>12,.0f} {ns / base:>9.2f}x {runs[way][0][1]:>12,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
