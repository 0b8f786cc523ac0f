"""The live demo across several host nodes fed by one Redis stream (``demo.py --nodes N``).

It starts a real redis-server on a free loopback port (in a temporary directory of its own), the
authentication service and N node processes (``node.py``), spreads the demo's clients over the
nodes and publishes the demo's events through the stream. Mid-run it stops one node: its clients
resume on the others and catch up on what they missed. The table and the summary show each
client's node; the exit code is 0 only when every client got exactly what its subscription
allows, nothing missing, nothing twice, in order.
"""
from __future__ import annotations

import asyncio
import json
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import types

import demo
from documents import sample_events
from feed import Publisher
from local_redis import LocalRedis, RedisUnavailable
from node_client import GaveUp, ResumingClient

HERE = pathlib.Path(__file__).resolve().parent
RETRY = 0.5  # a client waits this long before trying another node


class NodeProcesses:
    def __init__(self, count, redis_url, auth_root, log_dir):
        self.names = [f"n{i + 1}" for i in range(count)]
        self.log_dir = pathlib.Path(log_dir)
        self.processes, self.urls = [], []
        for name in self.names:
            with open(self.log_dir / f"{name}.log", "wb") as log:
                self.processes.append(subprocess.Popen(
                    [sys.executable, str(HERE / "node.py"), "--redis", redis_url, "--auth",
                     auth_root, "--name", name],
                    stdout=subprocess.PIPE, stderr=log, stdin=subprocess.DEVNULL))
        for name, process in zip(self.names, self.processes):
            line = process.stdout.readline()
            if not line:
                raise RuntimeError(f"node {name} did not start: {self.log(name)}")
            self.urls.append(json.loads(line)["url"])

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


class NodesDemo:
    def __init__(self, args):
        self.args = args
        self.count = args.nodes
        self.stop_index = 1 if self.count > 1 else None  # the node stopped mid-run
        self.base = demo.Demo(args)  # its clients, styles and table
        self.style, self.clients = self.base.style, self.base.clients
        self.moving: dict[str, ResumingClient] = {}
        self.arrived = asyncio.Event()

    def line(self, text=""):
        print(text.rstrip(), flush=True)

    async def run(self) -> int:
        s = self.style
        if self.count < 2:
            self.line("--nodes needs at least 2 nodes (one is stopped mid-run)")
            return 2
        started = time.perf_counter()
        auth = demo.load_auth_service()()
        for key, (ident, acl) in demo.ACCOUNTS.items():
            auth.add_account(key, acl, id=ident)
        auth_root = auth.start()
        try:
            redis_server = LocalRedis().start()
        except RedisUnavailable as exc:
            auth.stop()
            self.line(s.red(str(exc)))
            return 1
        with tempfile.TemporaryDirectory(prefix="broadcast-nodes-") as logs:
            nodes = None
            try:
                nodes = NodeProcesses(self.count, redis_server.url, auth_root, logs)
                self.line(s.bold(f"broadcast live demo: {self.count} nodes, one Redis stream"))
                self.line(f"  authentication service  {auth_root}")
                self.line(f"  redis-server            {redis_server.url}  (in {redis_server.dir})")
                for name, url, process in zip(nodes.names, nodes.urls, nodes.processes):
                    self.line(f"  node {name:<18} {url}  (pid {process.pid})")
                self.line()
                return await self.scripted(nodes, redis_server, started)
            finally:
                for client in self.moving.values():
                    client.leave()
                if nodes is not None:
                    await nodes.close()
                redis_server.close()
                auth.stop()

    def follow(self, client: demo.Client, index: int, urls) -> ResumingClient:
        close_after = client.close_after

        def stop_when(event):
            return close_after is not None and event["seq"] >= close_after

        def on_event(rc, seq, event):
            client.frames[seq] = json.dumps(event, ensure_ascii=False)
            self.arrived.set()

        return ResumingClient(client.name, client.api_key, client.subscriptions, urls,
                              node=index % len(urls), stop_when=stop_when, on_event=on_event,
                              retry_delay=RETRY, give_up_after=20.0)

    async def wait_until(self, predicate, timeout=demo.WAIT):
        deadline = time.monotonic() + timeout
        while not predicate():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.arrived.clear()
            try:
                await asyncio.wait_for(self.arrived.wait(), min(left, 0.05))
            except asyncio.TimeoutError:
                pass
        return True

    async def connect(self, urls, names):
        s = self.style
        self.line(s.bold("Clients"))
        tasks = {}
        for i, client in enumerate(self.clients):
            rc = self.follow(client, i, urls)
            self.moving[client.name] = rc
            tasks[client.name] = task = asyncio.create_task(rc.run())
            await self.wait_until(lambda: rc.subscribed.is_set() or task.done())
            if rc.subscribed.is_set():
                client.subscribed = True
                status = s.green(f"{s.ok} subscribed on {names[rc.node]}")
            else:
                try:
                    task.result()
                except GaveUp:
                    pass
                client.refused = rc.refused or "no node answered"
                status = s.red(f"{s.no} refused: {client.refused}")
            for line in demo.client_lines(s, client, status):
                self.line(line)
        self.line()
        return tasks

    def expectation(self, client, doc, seq):
        return demo.expected_outcome(client, client.close_after, doc, seq)

    async def scripted(self, nodes, redis_server, started) -> int:
        s = self.style
        names = nodes.names
        tasks = await self.connect(nodes.urls, names)
        admitted = [c for c in self.clients if c.subscribed]
        first_node = {c.name: self.moving[c.name].node for c in admitted}
        table = demo.Reporter(s, [types.SimpleNamespace(name=f"{c.name}@{names[first_node[c.name]]}")
                                  for c in admitted])
        publisher = Publisher(redis_server.url, width=4)
        events = sample_events()
        stop_before = events[len(events) // 2][2]  # the node stops before this event
        self.line(s.bold("Events") + s.dim(
            f"   ({s.ok} n fields: received, * with hidden fields; ~ caught up after moving"
            f" node; {s.dash} nothing, and why; {s.no} ACL: refused by its ACL; subs: clients"
            " connected)"))
        table.header()
        problems = []
        for doc, op, seq in events:
            if seq == stop_before and self.stop_index is not None:
                await self.stop_node(nodes, admitted)
            expected = {c.name: self.expectation(c, doc, seq) for c in admitted}
            await publisher.publish(doc, op, seq)
            waiting = [c for c in admitted if expected[c.name][0] == "got"]
            await self.wait_until(lambda: all(seq in c.frames for c in waiting))
            outcomes = []
            for c in admitted:
                kind, body = expected[c.name]
                raw = c.frames.get(seq)
                if kind == "got" and raw is None:
                    outcomes.append(("bad", "missing"))
                    problems.append(f"{c.name} {seq} missing")
                elif kind != "got" and raw is not None:
                    outcomes.append(("bad", "unexpected"))
                    problems.append(f"{c.name} {seq} unexpected")
                elif kind == "got":
                    got = json.loads(raw)
                    if got != {"doc_class": type(doc).__name__, "op": op, "seq": seq,
                               "message": body}:
                        outcomes.append(("bad", "wrong view"))
                        problems.append(f"{c.name} {seq} wrong view")
                    else:
                        text = demo.describe_body(body, doc)
                        if seq in self.moving[c.name].caught_up:
                            text = f"{text} ~"
                        outcomes.append(("got", text))
                else:
                    outcomes.append((kind, body))
            connected = sum(1 for c in admitted if self.moving[c.name].ws is not None)
            table.row(seq, doc, op, connected, outcomes)
            for c in admitted:
                if c.close_after == seq:
                    c.closed_after = seq
                    await asyncio.wait_for(tasks[c.name], demo.WAIT)
            if self.args.delay:
                await asyncio.sleep(self.args.delay)
        await publisher.close()
        await asyncio.sleep(0.2)  # late or duplicate frames show up before the count
        self.line()
        return self.summary(events, admitted, names, first_node, problems, publisher, started)

    async def stop_node(self, nodes, admitted):
        s = self.style
        name = nodes.names[self.stop_index]
        leaving = [c.name for c in admitted
                   if self.moving[c.name].node == self.stop_index and c.closed_after is None]
        await nodes.stop(self.stop_index)
        self.line(s.yellow(f"---- node {name} stopped; its clients "
                           f"({', '.join(leaving) or 'none'}) move to the other nodes and catch"
                           " up"))

    def summary(self, events, admitted, names, first_node, problems, publisher, started) -> int:
        s = self.style
        self.line(s.bold("Summary"))
        deliveries = expected_total = 0
        exact = True
        for c in self.clients:
            if not c.subscribed:
                self.line(f"  {c.name:<10} {s.red('refused')}  {c.refused}")
                continue
            rc = self.moving[c.name]
            wanted = [q for d, _, q in events if self.expectation(c, d, q)[0] == "got"]
            got = rc.seqs
            exact = exact and got == wanted and not rc.duplicates
            deliveries += len(got)
            expected_total += len(wanted)
            path = " -> ".join(names[node] for node, _, _ in rc.stints)
            moved = [f"resumed after {after} on {names[node]}, {caught} caught up"
                     for node, after, caught in rc.stints[1:]]
            end = f"hung up after {c.closed_after}" if c.closed_after else "connected"
            dup = f", {rc.duplicates} twice" if rc.duplicates else ""
            order = "in order" if got == sorted(got) else s.red("OUT OF ORDER")
            self.line(f"  {c.name:<10} {path:<9} received {len(got):>2} of {len(wanted):>2}"
                      f" expected{dup}, {order}; {end}"
                      + (f"; {'; '.join(moved)}" if moved else ""))
        elapsed = time.perf_counter() - started
        self.line()
        self.line(f"  nodes {len(names)} (one stopped mid-run); clients {len(self.clients)}"
                  f" ({len(admitted)} subscribed); events {len(events)} through Redis"
                  f" ({publisher.retries} append retries); deliveries {deliveries} of"
                  f" {expected_total} expected; {elapsed:.1f} s")
        if exact and not problems and deliveries == expected_total:
            self.line(s.green(s.bold(f"  {s.ok} every client got exactly what its subscription"
                                     " allows: nothing missing, nothing twice, in order")))
            return 0
        self.line(s.red(s.bold(f"  {s.no} mismatch: {', '.join(problems) or 'see above'}")))
        return 1


def run(args) -> int:
    """Entry point for ``demo.py --nodes N``."""
    return asyncio.run(NodesDemo(args).run())
