"""The live demo across several nodes fed by one Redis stream (``run-demo --nodes N``).

It starts a real redis-server on a free loopback port (in a temporary directory of its own), the
authentication service and N node processes (``python -m broadcast_server node``), spreads the
demo's clients over the nodes and publishes the demo's events through the stream. Mid-run it
stops one node: its clients resume on the others and catch up on what they missed. The table and
the summary show each client's node; the exit code is 0 only when every client got exactly what
its subscription allows, nothing missing, nothing twice, in order.
"""
from __future__ import annotations

import asyncio
import json
import pathlib
import select
import signal
import subprocess
import sys
import tempfile
import time

from broadcast_server.client import ResumingClient
from broadcast_server.errors import Refused, Unavailable
from broadcast_server.stream import Publisher

from .local_redis import LocalRedis
from .scenario import WAIT, Client, Run, start_auth_service
from .shop import SEQ_WIDTH, sample_events
from .table import Reporter

__all__ = ["AcrossNodes", "NodeProcesses"]

RETRY = 0.5  # a client waits this long before trying another node


async def registered(url: str) -> int:
    """How many connections the node at ``url`` (ws://host:port) has registered, from its
    ``GET /healthz``; 0 when it does not answer."""
    host, _, port = url.removeprefix("ws://").partition(":")
    try:
        reader, writer = await asyncio.open_connection(host, int(port))
        writer.write(f"GET /healthz HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        reply = await asyncio.wait_for(reader.read(), WAIT)  # the node closes after its answer
        writer.close()
    except (OSError, asyncio.TimeoutError):
        return 0
    return json.loads(reply.partition(b"\r\n\r\n")[2])["subscribed"]


NODE_START_TIMEOUT = 30.0
"""Seconds a node may take to say it serves."""


class NodeProcesses:
    """``count`` node processes serving the shop's documents, each logging to a file of its own:
    on ``ports`` (by default a free port each, whatever BROADCAST_PORT says), with ``args`` added
    to each one's command line."""

    def __init__(self, count, redis_url, auth_root, log_dir, *, ports=None, args=()):
        self.names = [f"n{i + 1}" for i in range(count)]
        self.log_dir = pathlib.Path(log_dir)
        self.processes, self.urls = [], []
        for name, port in zip(self.names, ports or [0] * count):
            with open(self.log_dir / f"{name}.log", "wb") as log:
                self.processes.append(subprocess.Popen(
                    [sys.executable, "-m", "broadcast_server", "node", "--redis", redis_url,
                     "--auth", auth_root, "--name", name, "--documents", "broadcast_demo.shop",
                     "--seq-width", str(SEQ_WIDTH), "--port", str(port), *args],
                    stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL))
        try:
            for name, process in zip(self.names, self.processes):
                # A node that neither serves nor exits must not hold the demo up for ever.
                ready, _, _ = select.select([process.stdout], [], [], NODE_START_TIMEOUT)
                line = process.stdout.readline() if ready else b""
                if not line:
                    raise RuntimeError(f"node {name} did not start: {self.log(name)}")
                self.urls.append(json.loads(line)["url"])
        except BaseException:
            # The nodes started so far are no use without the others: none is left running.
            for process in self.processes:
                process.kill()
                process.wait()
                process.stdout.close()
            raise

    def log(self, name, lines=5):
        text = (self.log_dir / f"{name}.log").read_text(errors="replace").splitlines()
        return " | ".join(text[-lines:])

    async def stop(self, i):
        """SIGTERM: the node closes its connections (going away) and exits."""
        process = self.processes[i]
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        # Waited for off the event loop: the clients answer the node's closing handshakes.
        try:
            await asyncio.to_thread(process.wait, 10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        process.stdout.close()

    async def close(self):
        await asyncio.gather(*(self.stop(i) for i, process in enumerate(self.processes)
                               if not process.stdout.closed))


class AcrossNodes(Run):
    legend = ("~ caught up after moving node; {s.dash} nothing, and why; {s.no} ACL: refused by"
              " its ACL; subs: connections registered on the nodes")

    def __init__(self, args):
        super().__init__(args)
        self.count = args.nodes
        self.stop_index = 1 if self.count > 1 else None  # the node stopped mid-run
        self.moving: dict[str, ResumingClient] = {}
        self.caught_up: dict[str, set[str]] = {}  # the seqs it got from a node's backlog
        self.tasks: dict[str, asyncio.Task] = {}
        self.nodes: NodeProcesses | None = None
        self.publisher: Publisher | None = None
        self.stop_before: str | None = None

    async def run(self) -> int:
        s = self.style
        if self.count < 2:
            self.line("--nodes needs at least 2 nodes (one is stopped mid-run)")
            return 2
        started = time.perf_counter()
        auth, auth_root = start_auth_service()
        try:
            redis_server = LocalRedis().start()
        except Unavailable as exc:
            auth.stop()
            self.line(s.red(str(exc)))
            return 1
        with tempfile.TemporaryDirectory(prefix="broadcast-nodes-") as logs:
            try:
                nodes = self.nodes = NodeProcesses(self.count, redis_server.url, auth_root, logs)
                self.line(s.bold(f"broadcast live demo: {self.count} nodes, one Redis stream"))
                self.line(f"  authentication service  {auth_root}")
                self.lines(f"  redis-server            {redis_server.url}  (in {redis_server.dir})",
                           26)
                for name, url, process in zip(nodes.names, nodes.urls, nodes.processes):
                    self.line(f"  node {name:<18} {url}  (pid {process.pid})")
                self.line()
                return await self.scripted(redis_server, started)
            finally:
                for client in self.moving.values():
                    client.leave()
                if self.nodes is not None:
                    await self.nodes.close()
                redis_server.close()
                auth.stop()

    # -- the clients ---------------------------------------------------------------------------
    def follow(self, client: Client, index: int, urls) -> ResumingClient:
        close_after = client.close_after

        def stop_when(event):
            return close_after is not None and event["seq"] >= close_after

        caught_up = self.caught_up.setdefault(client.name, set())

        def on_event(rc, seq, event):
            client.receive(seq, json.dumps(event, ensure_ascii=False))
            if rc.catching_up:
                caught_up.add(seq)
            self.arrival()

        return ResumingClient(client.name, client.api_key, client.subscriptions, urls,
                              node=index % len(urls), stop_when=stop_when, on_event=on_event,
                              retry_delay=RETRY, give_up_after=20.0)

    async def connect_client(self, client: Client, index: int) -> str:
        rc = self.moving[client.name] = self.follow(client, index, self.nodes.urls)
        task = self.tasks[client.name] = asyncio.create_task(rc.run())
        await self.wait_until(lambda: rc.subscribed.is_set() or task.done())
        if rc.subscribed.is_set():
            client.subscribed = True
            return f" on {self.nodes.names[rc.node]}"
        try:
            task.result()
        except (Refused, Unavailable):
            pass
        client.refused = rc.refused or "no node answered"
        return ""

    # -- the events ----------------------------------------------------------------------------
    async def before_event(self, seq):
        if seq == self.stop_before and self.stop_index is not None:
            await self.stop_node()

    async def publish(self, doc, op, seq):
        await self.publisher.publish(doc, op, seq)

    async def subscribers(self) -> int:
        """The connections the live nodes have registered, as their GET /healthz tells."""
        live = [url for url, process in zip(self.nodes.urls, self.nodes.processes)
                if process.poll() is None]
        return sum(await asyncio.gather(*(registered(url) for url in live)))

    def caught_up_on(self, client, seq):
        return seq in self.caught_up[client.name]

    async def after_event(self, seq, admitted):
        for c in admitted:
            if c.close_after == seq:
                c.closed_after = seq
                await asyncio.wait_for(self.tasks[c.name], WAIT)
                # Let the node see it leave, so the table shows a settled registry.
                connected = sum(1 for rc in self.moving.values() if rc.ws is not None)
                deadline = time.monotonic() + WAIT
                while await self.subscribers() > connected and time.monotonic() < deadline:
                    await asyncio.sleep(0.02)

    async def scripted(self, redis_server, started) -> int:
        names = self.nodes.names
        admitted = await self.connect_clients()
        first_node = {c.name: self.moving[c.name].node for c in admitted}
        table = Reporter(self.style, [f"{c.name}@{names[first_node[c.name]]}" for c in admitted])
        self.publisher = Publisher(redis_server.url, width=SEQ_WIDTH)
        events = sample_events()
        self.stop_before = events[len(events) // 2][2]  # the node stops before this event
        await self.play(events, admitted, table)
        await self.publisher.close()
        await asyncio.sleep(0.2)  # late or duplicate frames show up before the count
        self.line()
        return self.summary(events, started)

    async def stop_node(self):
        s, nodes = self.style, self.nodes
        name = nodes.names[self.stop_index]
        leaving = [c.name for c in self.clients if c.subscribed
                   and self.moving[c.name].node == self.stop_index and c.closed_after is None]
        await nodes.stop(self.stop_index)
        self.lines(f"---- node {name} stopped; its clients ({', '.join(leaving) or 'none'})"
                   " move to the other nodes and catch up", 5, s.yellow)

    def route(self, client: Client) -> str:
        path = " -> ".join(self.nodes.names[node] for node, _, _ in self.moving[client.name].stints)
        return f"{path:<9} "

    def moves(self, client: Client) -> list[str]:
        names = self.nodes.names
        return [f"resumed after {after} on {names[node]}, {caught} caught up"
                for node, after, caught in self.moving[client.name].stints[1:]]

    def totals(self) -> list[str]:
        return [f"nodes {len(self.nodes.names)} (one stopped mid-run); events through Redis"
                f" ({self.publisher.retries} append retries)"]
