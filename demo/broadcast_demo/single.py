"""The demo on one websocket server: the scripted run in-process, then, with ``--serve``, the
server kept running for clients of your own."""
from __future__ import annotations

import asyncio
import itertools
import json
import logging
import sys
import time

from broadcast_server import protocol, web
from broadcast_server.server import BroadcastServer
from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed

from .accounts import ACCOUNTS
from .scenario import WAIT, Client, Run, expected_outcome, start_auth_service
from .shop import DOCUMENT_CLASSES, SEQ_WIDTH, sample_events
from .table import Reporter, wrap

__all__ = ["SingleNode", "PAGE_SETTINGS"]

PAGE_SETTINGS = {"api_key": "key-ops-eu", "doc_class": "Order,Shipment", "data_scope": "eu",
                 "show_hidden": "true"}
"""The subscription that the page's URL printed by ``--serve`` opens."""


class SingleNode(Run):
    legend = ("{s.dash} nothing, and why; {s.no} ACL: refused by its ACL; subs: connections"
              " registered on the server")

    def __init__(self, args):
        super().__init__(args)
        self.server: BroadcastServer | None = None
        self.tasks: list[asyncio.Task] = []

    async def run(self) -> int:
        s = self.style
        started = time.perf_counter()
        auth, auth_root = start_auth_service()
        port = self.args.port if self.args.port is not None else (8765 if self.args.serve else 0)
        server = self.server = BroadcastServer(auth_root, doc_classes=DOCUMENT_CLASSES, port=port,
                                                   seq_width=SEQ_WIDTH)
        try:
            await server.start()
        except BaseException:
            auth.stop()
            raise
        try:
            self.line(s.bold("broadcast live demo"))
            self.line(f"  authentication service  {auth_root}")
            self.line(f"  websocket server        {server.url}")
            self.line()
            status = await self.scripted(started)
            if self.args.serve:
                await self.close_clients()
                await self.serve()
            return status
        finally:
            await self.close_clients()
            await server.stop()
            auth.stop()

    # -- the clients ---------------------------------------------------------------------------
    async def run_client(self, client: Client, url: str):
        try:
            async with connect(url) as ws:
                client.ws = ws
                await ws.recv()  # welcome
                await ws.send(protocol.frame(protocol.request(client.api_key,
                                                              client.subscriptions)))
                reply = json.loads(await ws.recv())
                if reply.get("type") != "subscribed":
                    client.refused = reply.get("reason") or json.dumps(reply)
                    return
                client.subscribed = True
                self.arrival()
                async for raw in ws:
                    seq = json.loads(raw)["seq"]
                    client.receive(seq, raw)
                    self.arrival()
                    if client.close_after is not None and seq >= client.close_after:
                        client.closed_after = seq
                        break
        except ConnectionClosed:
            pass
        finally:
            client.ws = None
            if not client.subscribed and client.refused is None:
                client.refused = "connection closed before the server answered"
            self.arrival()

    async def connect_client(self, client: Client, index: int) -> str:
        self.tasks.append(asyncio.create_task(self.run_client(client, self.server.url)))
        await self.wait_until(lambda: client.subscribed or client.refused is not None)
        return ""

    async def close_clients(self):
        for client in self.clients:
            if client.ws is not None:
                await client.ws.close()
        if self.tasks:
            await asyncio.wait(self.tasks, timeout=WAIT)
            self.tasks = []

    # -- the events ----------------------------------------------------------------------------
    async def publish(self, doc, op, seq):
        await self.server.publish(doc, op, seq)

    async def subscribers(self) -> int:
        return self.server.subscriber_count()

    async def after_event(self, seq, admitted):
        # A client that hangs up does so right after its last event; let the server see it
        # before the next event so the table shows a settled registry.
        for c in admitted:
            if c.closed_after == seq:
                await self.wait_until(lambda: c.ws is None)
                await self.wait_until(lambda: self.server.subscriber_count()
                                      <= sum(x.ws is not None for x in admitted))

    async def scripted(self, started) -> int:
        admitted = await self.connect_clients()
        events = sample_events()
        await self.play(events, admitted, Reporter(self.style, [c.name for c in admitted]))
        self.line()
        self.show_views(events, admitted)
        # Let late or duplicate frames show up before the final count.
        await asyncio.sleep(0.2)
        return self.summary(events, started)

    def show_views(self, events, admitted):
        s = self.style
        doc, op, seq = next(e for e in events if e[2] == self.args.show_seq)
        self.line(s.bold(f"One event, several views: seq {seq}, {op} {doc.label}"))
        self.lines(f"  the document: {json.dumps(doc.data, ensure_ascii=False)}", 16, s.dim)
        first = True
        for c in admitted:
            raw = c.frames.get(seq)
            if raw is not None:
                if first:  # the whole text frame once, then only what differs: the message
                    shown = raw
                    first = False
                else:
                    body = json.dumps(json.loads(raw)["message"], ensure_ascii=False)
                    shown = f'... "message": {body}'
                head, *rest = wrap(f"  {c.name:<10} {s.ok} {shown}", self.width, 15)
                self.line(head.replace(s.ok, s.green(s.ok), 1))
                for line in rest:
                    self.line(line)
            else:
                kind, detail = expected_outcome(c, doc, seq)
                why = {"acl": "its ACL does not allow reading it", "closed": "it has hung up",
                       "skip": {"scope": "outside its data scope",
                                "before start": "before its start sequence",
                                "": "not subscribed to this class"}.get(detail, detail)}.get(kind)
                self.line(f"  {c.name:<10} {s.dim(s.dash + ' nothing: ' + str(why))}")
        self.line()

    def totals(self) -> list[str]:
        # A client that left and is still registered would be sent events for nothing.
        registered = self.server.subscriber_count()
        connected = sum(1 for c in self.clients if c.ws is not None)
        if registered != connected:
            self.problems.append(f"{registered} registered, {connected} connected")
        return [f"registry: {registered} connection(s) registered, {connected} client(s) still"
                f" connected; sends that met a closed connection:"
                f" {self.server.broadcaster.sender.dropped}"]

    # -- serving on ----------------------------------------------------------------------------
    async def serve(self):
        s, server = self.style, self.server
        self.line()
        http_url = server.url.replace("ws://", "http://", 1)
        self.line(s.bold(f"Serving on {server.url}") + "  (Ctrl-C to stop)")
        page = web.page_url(server.host, server.port, **PAGE_SETTINGS)
        # What is to be copied (a URL, a command, a request) alone on its line: a terminal that
        # wraps it still takes it for one; the prose around it is wrapped to the width.
        self.line("  page, to open in a browser:")
        self.line(page)
        self.line("  a client of your own: connect, then type the request")
        self.line(f"{sys.executable} -m websockets {server.url}")
        self.line('{"api_key": "key-ops-eu", "subscribe": [{"doc_class": "Order", '
                  '"data_scope": ["eu"], "show_hidden": true}]}')
        self.line(f"  health:   {http_url}/healthz")
        self.line(f"  metrics:  {http_url}/metrics")
        self.lines("  keys: " + ", ".join(f"{k} ({json.dumps(v[1])})" for k, v in ACCOUNTS.items()))
        self.lines(f"  an event is published every {self.args.interval:g} s; classes: "
                   + ", ".join(DOCUMENT_CLASSES) + "; the scripted clients have left")
        self.line("  connections, subscriptions, refusals and bad requests are logged as they come")
        self.line()
        if self.args.log_format == "json":
            server.log = logging.getLogger("broadcast.connections").info
        else:
            server.log = lambda text: self.line(s.dim(f"  {time.strftime('%H:%M:%S')} {text}"))
        events = sample_events()
        for n in itertools.count(len(events) + 1):
            doc, op, _ = events[(n - 1) % len(events)]
            seq = protocol.format_seq(n, SEQ_WIDTH)
            before = server.broadcaster.sender.written
            await server.publish(doc, op, seq)
            sent = server.broadcaster.sender.written - before
            self.line(f"  {seq}  {op} {doc.label:<16} -> {sent} client(s)")
            await asyncio.sleep(self.args.interval)
