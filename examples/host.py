"""A minimal websocket host for ``broadcast``: the module's three hooks bound to ``websockets``.

Every client that connects gets a welcome and is subscribed to the invoices (two fields of
each); an invoice event goes out every second. From the repository root, after ./run-tests or
./run-demo has built the module into .venv:

    PYTHONPATH=engine_standin .venv/bin/python examples/host.py      # then, in another terminal:
    .venv/bin/python -m websockets ws://127.0.0.1:8765

The whole server (API keys and ACLs, the request protocol, nodes fed by Redis) is the
``broadcast_server`` package in server/.
"""
import argparse
import asyncio
import itertools
import json

import broadcast
from tolva_engine import Document
from websockets.asyncio.server import broadcast as write_now
from websockets.asyncio.server import serve
from websockets.protocol import State


class Host(broadcast.Broadcaster):
    active_connections = {}  # this host's own registry

    @classmethod
    async def accept(cls, websocket):
        await websocket.send(json.dumps({"type": "welcome"}))

    @classmethod
    def subscriber_is_connected(cls, websocket):
        return websocket.state is State.OPEN

    @classmethod
    async def send_message_async(cls, websocket, message):
        # Written now or not at all: awaiting one client's socket would stop the fan-out there
        # (the broadcast_server package also bounds what waits for a slow client).
        write_now([websocket], message)


class Invoice(Document):
    """Your engine's document class; here the engine stand-in's plain document."""


async def on_client(websocket):
    await Host.accept(websocket)
    await Host.subscribe(websocket, "Invoice", catalog={"id": 1, "total": 1})
    try:
        await websocket.wait_closed()
    finally:
        Host.disconnect(websocket)


async def main(port: int, interval: float) -> None:
    async with serve(on_client, "127.0.0.1", port) as server:
        print(f"serving on ws://127.0.0.1:{server.sockets[0].getsockname()[1]}", flush=True)
        for n in itertools.count(1):
            await asyncio.sleep(interval)
            invoice = Invoice({"id": n, "total": 12.5 * n, "note": "paid by card"})
            await Host.document_sent_async(invoice, "create", f"{n:04d}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="A minimal websocket host for broadcast.")
    parser.add_argument("--port", type=int, default=8765, help="0 takes any free port")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between events")
    args = parser.parse_args()
    try:
        asyncio.run(main(args.port, args.interval))
    except KeyboardInterrupt:
        pass
