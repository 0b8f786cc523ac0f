#!/usr/bin/env python3
"""Live demo: document events pushed to real websocket clients, each seeing its own view.

It starts a small authentication service and the example websocket host on 127.0.0.1, connects
several clients with different API keys and subscriptions (one with an unknown key, one whose ACL
is empty, one with a start sequence, one that hangs up half-way), publishes a stream of
create/update/delete events and prints, event by event, what each client received or why it got
nothing. It ends with a summary; the exit code is 0 when every client got exactly what its
subscription allows.

    ./run-demo              # the scripted run, then exit
    ./run-demo --serve      # then keep serving, for clients of your own
"""
from __future__ import annotations

import argparse
import asyncio
import dataclasses
import errno
import importlib.util
import itertools
import json
import os
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# The engine stand-in plays the engine package that a real application would have installed.
for _path in (ROOT / "engine_standin", HERE):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

from websockets.asyncio.client import connect  # noqa: E402
from websockets.exceptions import ConnectionClosed  # noqa: E402

from documents import DOCUMENT_CLASSES, Acl, expected_view, sample_events  # noqa: E402
from host import BroadcastServer, bound_acl_lookups  # noqa: E402

WAIT = 5.0  # seconds the demo waits for anything to arrive before calling it missing
PROG = "run-demo"  # what --help and the errors call this program: it is started through that script



def client_lines(style, client, status: str) -> list[str]:
    """A client's lines in the Clients table: its key, what it subscribes to and `status`, then
    its note if it has one."""
    what = ", ".join(sub["doc_class"] + (f"{sub['data_scope']}" if sub.get("data_scope") else "")
                     for sub in client.subscriptions)
    lines = [f"  {client.name:<10} {client.api_key:<14} {what:<28} {status}"]
    if client.note:
        lines.append(style.dim(f"  {'':<10} {client.note}"))
    return lines


def expected_outcome(client, closed_after, doc, seq):
    """What `client`, gone after `closed_after` (or never), should see of event `seq`:
    ("got", view), ("acl", None), ("closed", None) or ("skip", why)."""
    sub = client.subscription_for(type(doc).__name__)
    if sub is None:
        return "skip", ""
    if closed_after is not None and seq > closed_after:
        return "closed", None
    verdict, detail = expected_view(doc, seq, sub)
    if verdict == "sent":
        return "got", detail
    return ("acl", None) if detail == "ACL" else ("skip", detail)

class CannotListen(Exception):
    """The websocket server could not bind its port; the text says why, in one line."""


def load_auth_service():
    """The authentication service that the test suite also uses."""
    path = ROOT / "tests" / "support" / "auth_service.py"
    spec = importlib.util.spec_from_file_location("demo_auth_service", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module.AuthService


# -- who is who ---------------------------------------------------------------------------------
# API key -> (account id, ACL content). The ACL content maps an action to document classes.
ACCOUNTS = {
    "key-ops-eu": ("ops-eu", {"read": ["Order", "Shipment"], "read_restricted": ["Order"]}),
    "key-finance": ("finance", {"read": ["Order"]}),
    "key-us-desk": ("us-desk", {"read": ["Order", "Shipment"]}),
    "key-courier": ("courier", {"read": ["Shipment"]}),
    "key-wallboard": ("wallboard", {"read": ["*"]}),
    "key-trainee": ("trainee", {}),  # known, but grants nothing
}


def sub(doc_class, **options):
    return {"doc_class": doc_class, **options}


def fields(*names):
    return dict.fromkeys(names, True)


@dataclasses.dataclass
class Client:
    name: str
    api_key: str
    subscriptions: list
    close_after: str | None = None  # hang up after receiving this seq
    note: str = ""
    # filled in while running
    refused: str | None = None
    subscribed: bool = False
    closed_after: str | None = None
    frames: dict = dataclasses.field(default_factory=dict)  # seq -> raw JSON text
    duplicates: int = 0
    ws: object = None

    def acl(self):
        return Acl(ACCOUNTS.get(self.api_key, (None, ()))[1])

    def subscription_for(self, doc_class):
        for s in self.subscriptions:
            if s["doc_class"] == doc_class:
                return dict(s, acl=self.acl())
        return None


def demo_clients():
    return [
        Client("ops-eu", "key-ops-eu",
               [sub("Order", data_scope=["eu"], show_hidden=True),
                sub("Shipment", data_scope=["eu"], show_hidden=True)],
               note="EU only, hidden fields, may read restricted orders"),
        Client("finance", "key-finance",
               [sub("Order", catalog=fields("id", "customer", "status", "total", "currency"))],
               note="all regions, five fields of each order"),
        Client("us-desk", "key-us-desk",
               [sub("Order", data_scope=["us"], start_seq="0005"),
                sub("Shipment", data_scope=["us"], start_seq="0005")],
               note="US only, nothing before seq 0005"),
        Client("courier", "key-courier",
               [sub("Order"),
                sub("Shipment", catalog=fields("id", "order", "status", "eta", "driver_phone"),
                    show_hidden=True)],
               note="asks for orders too, but its ACL reads shipments only"),
        Client("wallboard", "key-wallboard",
               [sub("Order", catalog=fields("id", "status")),
                sub("Shipment", catalog=fields("id", "status"))],
               close_after="0006", note="id and status of everything; hangs up after 0006"),
        Client("intruder", "key-stolen", [sub("Order")], note="a key nobody issued"),
        Client("trainee", "key-trainee", [sub("Order")], note="a known key with an empty ACL"),
    ]


# -- terminal output ----------------------------------------------------------------------------
class Style:
    def __init__(self, color: bool, unicode: bool):
        self.color = color
        self.ok, self.no, self.dash = ("✓", "✗", "·") if unicode else ("+", "x", ".")

    def __call__(self, text, code):
        return f"\033[{code}m{text}\033[0m" if self.color else text

    def green(self, t): return self(t, "32")
    def red(self, t): return self(t, "31")
    def yellow(self, t): return self(t, "33")
    def dim(self, t): return self(t, "2")
    def bold(self, t): return self(t, "1")


def pad(text, plain, width):
    """Left-justify styled ``text`` whose visible form is ``plain``."""
    return text + " " * max(0, width - len(plain))


COL = 12


class Reporter:
    def __init__(self, style: Style, clients):
        self.s = style
        self.clients = clients

    def line(self, text=""):
        print(text.rstrip(), flush=True)

    def header(self):
        names = "".join(f"  {c.name:<{COL}}" for c in self.clients)
        self.line(self.s.bold(f"{'seq':<4}  {'event':<22} {'subs':>4}{names}"))
        self.line(self.s.dim("-" * (4 + 2 + 22 + 1 + 4 + len(self.clients) * (COL + 2))))

    def cell(self, outcome):
        kind, detail = outcome
        s = self.s
        if kind == "got":
            plain = f"{s.ok} {detail}"
            return pad(s.green(plain), plain, COL)
        if kind == "skip":
            detail = {"before start": "pre-start"}.get(detail, detail)
            plain = f"{s.dash} {detail}" if detail else s.dash
            return pad(s.dim(plain), plain, COL)
        if kind == "acl":
            plain = f"{s.no} ACL"
            return pad(s.red(plain), plain, COL)
        if kind == "closed":
            return pad(s.yellow("closed"), "closed", COL)
        plain = f"!! {detail}"
        return pad(s.red(s.bold(plain)), plain, COL)

    def row(self, seq, doc, op, subs, outcomes):
        event = f"{op} {doc.label}"
        cells = "".join(f"  {self.cell(o)}" for o in outcomes)
        self.line(f"{seq:<4}  {event:<22} {subs:>4}{cells}")


def describe_body(body, doc):
    hidden = any(k in doc.hidden for k in body)
    return f"{len(body)} field{'s' if len(body) != 1 else ''}{'*' if hidden else ''}"


# -- the run ------------------------------------------------------------------------------------
class Demo:
    def __init__(self, args):
        self.args = args
        self.clients = demo_clients()
        color = sys.stdout.isatty() and not os.environ.get("NO_COLOR") and not args.no_color
        try:
            "✓✗·".encode(sys.stdout.encoding or "ascii")
            uni = True
        except (UnicodeEncodeError, LookupError):
            uni = False
        self.style = Style(bool(color), uni)
        self.out = Reporter(self.style, [])
        self.arrived = asyncio.Condition()
        self.unexpected: list[str] = []
        self.missing: list[str] = []
        self.tasks: list[asyncio.Task] = []

    async def wait_for(self, predicate, timeout=WAIT):
        async def waiter():
            async with self.arrived:
                await self.arrived.wait_for(predicate)
        try:
            await asyncio.wait_for(waiter(), timeout)
            return True
        except asyncio.TimeoutError:
            return False

    async def notify(self):
        async with self.arrived:
            self.arrived.notify_all()

    async def run_client(self, client: Client, url: str):
        try:
            async with connect(url) as ws:
                client.ws = ws
                await ws.recv()  # welcome
                await ws.send(json.dumps({"api_key": client.api_key,
                                          "subscribe": client.subscriptions}))
                reply = json.loads(await ws.recv())
                if reply.get("type") != "subscribed":
                    client.refused = reply.get("reason") or json.dumps(reply)
                    return
                client.subscribed = True
                await self.notify()
                async for raw in ws:
                    seq = json.loads(raw)["seq"]
                    if seq in client.frames:
                        client.duplicates += 1
                    client.frames[seq] = raw
                    await self.notify()
                    if client.close_after is not None and seq >= client.close_after:
                        client.closed_after = seq
                        break
        except ConnectionClosed:
            pass
        finally:
            client.ws = None
            if not client.subscribed and client.refused is None:
                client.refused = "connection closed before the server answered"
            await self.notify()

    def expectation(self, client, doc, seq):
        return expected_outcome(client, client.closed_after, doc, seq)

    async def run(self) -> int:
        s, out = self.style, self.out
        started = time.perf_counter()
        AuthService = load_auth_service()
        auth = AuthService()
        for key, (ident, acl) in ACCOUNTS.items():
            auth.add_account(key, acl, id=ident)
        auth_root = auth.start()
        port = self.args.port if self.args.port is not None else (8765 if self.args.serve else 0)
        server = BroadcastServer(auth_root, doc_classes=DOCUMENT_CLASSES, port=port)
        try:
            await server.start()
        except OSError as exc:
            auth.stop()
            why = ("is already in use" if exc.errno == errno.EADDRINUSE
                   else f"cannot be listened on ({exc.strerror or exc})")
            raise CannotListen(f"port {port} on {server.host} {why}; choose another with"
                               " --port PORT (--port 0 takes any free port)") from None
        try:
            out.line(s.bold("broadcast live demo"))
            out.line(f"  authentication service  {auth_root}")
            out.line(f"  websocket server        {server.url}")
            out.line()
            status = await self.scripted(server, started)
            if self.args.serve:
                await self.close_clients()
                await self.serve(server)
            return status
        finally:
            await self.close_clients()
            await server.stop()
            auth.stop()

    async def close_clients(self):
        for client in self.clients:
            if client.ws is not None:
                await client.ws.close()
        if self.tasks:
            await asyncio.wait(self.tasks, timeout=WAIT)
            self.tasks = []

    async def connect_clients(self, server):
        s, out = self.style, self.out
        out.line(s.bold("Clients"))
        tasks = []
        for client in self.clients:
            tasks.append(asyncio.create_task(self.run_client(client, server.url)))
            await self.wait_for(lambda c=client: c.subscribed or c.refused is not None)
            if client.subscribed:
                status = s.green(f"{s.ok} subscribed")
            else:
                status = s.red(f"{s.no} refused: {client.refused}")
            for line in client_lines(s, client, status):
                out.line(line)
        out.line()
        return tasks

    async def scripted(self, server, started) -> int:
        s, out = self.style, self.out
        self.tasks = await self.connect_clients(server)
        admitted = [c for c in self.clients if c.subscribed]
        out.clients = admitted
        events = sample_events()
        out.line(s.bold("Events") + s.dim(f"   ({s.ok} n fields: received, * with hidden fields;"
                                        f" {s.dash} nothing, and why; {s.no} ACL: refused by its"
                                        " ACL; subs: connections registered)"))
        out.header()
        for doc, op, seq in events:
            expected = {c.name: self.expectation(c, doc, seq) for c in admitted}
            await server.publish(doc, op, seq)
            waiting_for = [c for c in admitted if expected[c.name][0] == "got"]
            await self.wait_for(lambda seq=seq, waiting_for=waiting_for: all(
                seq in c.frames for c in waiting_for))
            outcomes = []
            for c in admitted:
                kind, body = expected[c.name]
                raw = c.frames.get(seq)
                if kind == "got" and raw is None:
                    outcomes.append(("bad", "missing"))
                    self.missing.append(f"{c.name} {seq}")
                elif kind != "got" and raw is not None:
                    outcomes.append(("bad", "unexpected"))
                    self.unexpected.append(f"{c.name} {seq}")
                elif kind == "got":
                    got = json.loads(raw)
                    if got != {"doc_class": type(doc).__name__, "op": op, "seq": seq,
                               "message": body}:
                        outcomes.append(("bad", "wrong view"))
                        self.unexpected.append(f"{c.name} {seq} (content)")
                    else:
                        outcomes.append(("got", describe_body(body, doc)))
                else:
                    outcomes.append((kind, body))
            out.row(seq, doc, op, server.subscriber_count(), outcomes)
            # A client that hangs up does so right after its last event; let the server see it
            # before the next event so the table shows a settled registry.
            for c in admitted:
                if c.closed_after == seq:
                    await self.wait_for(lambda c=c: c.ws is None)
                    await wait_until(lambda: server.subscriber_count()
                                     <= sum(x.ws is not None for x in admitted))
            if self.args.delay:
                await asyncio.sleep(self.args.delay)
        out.line()
        self.show_views(events, admitted)
        # Let late or duplicate frames show up before the final count.
        await asyncio.sleep(0.2)
        return self.summary(server, events, admitted, started)

    def show_views(self, events, admitted):
        s, out = self.style, self.out
        doc, op, seq = next(e for e in events if e[2] == self.args.show_seq)
        out.line(s.bold(f"One event, several views: seq {seq}, {op} {doc.label}"))
        out.line(s.dim(f"  the document: {json.dumps(doc.data, ensure_ascii=False)}"))
        first = True
        for c in admitted:
            raw = c.frames.get(seq)
            if raw is not None:
                if first:  # the whole text frame once, then only what differs: the message
                    out.line(f"  {c.name:<10} {s.green(s.ok)} {raw}")
                    first = False
                else:
                    body = json.dumps(json.loads(raw)["message"], ensure_ascii=False)
                    out.line(f"  {c.name:<10} {s.green(s.ok)} ... \"message\": {body}")
            else:
                kind, detail = self.expectation(c, doc, seq)
                why = {"acl": "its ACL does not allow reading it", "closed": "it has hung up",
                       "skip": {"scope": "outside its data scope",
                                "before start": "before its start sequence",
                                "": "not subscribed to this class"}.get(detail, detail)}.get(kind)
                out.line(f"  {c.name:<10} {s.dim(s.dash + ' nothing: ' + str(why))}")
        out.line()

    def summary(self, server, events, admitted, started) -> int:
        s, out = self.style, self.out
        out.line(s.bold("Summary"))
        deliveries = expected_total = 0
        for c in self.clients:
            if not c.subscribed:
                out.line(f"  {c.name:<10} {s.red('refused')}  {c.refused}")
                continue
            outcomes = [self.expectation(c, d, q) for d, _, q in events]
            wanted = sum(1 for k, _ in outcomes if k == "got")
            reasons = {}
            for kind, detail in outcomes:
                if kind in ("acl", "closed") or (kind == "skip" and detail):
                    label = {"acl": "ACL", "closed": "closed"}.get(kind, detail)
                    reasons[label] = reasons.get(label, 0) + 1
            deliveries += len(c.frames)
            expected_total += wanted
            why = ", ".join(f"{n} {label}" for label, n in reasons.items()) or "none"
            end = f"hung up after {c.closed_after}" if c.closed_after else "connected"
            dup = f", {c.duplicates} duplicates" if c.duplicates else ""
            out.line(f"  {c.name:<10} received {len(c.frames):>2} of {wanted:>2} expected"
                     f"{dup}; withheld: {why}; {end}")
        elapsed = time.perf_counter() - started
        refused = [c for c in self.clients if not c.subscribed]
        registered = server.subscriber_count()
        still_open = sum(1 for c in admitted if c.ws is not None)
        duplicates = sum(c.duplicates for c in admitted)
        out.line()
        out.line(f"  clients {len(self.clients)} ({len(admitted)} subscribed,"
                 f" {len(refused)} refused)"
                 f"; events {len(events)}; deliveries {deliveries} of {expected_total} expected"
                 f"; {elapsed:.1f} s")
        out.line(f"  registry: {registered} connection(s) registered, {still_open} client(s)"
                 f" still connected; sends that met a closed connection:"
                 f" {server.broadcaster.dropped_sends}")
        ok = (not self.missing and not self.unexpected and not duplicates
              and deliveries == expected_total and registered == still_open)
        if ok:
            out.line(s.green(s.bold(f"  {s.ok} every client got exactly what its subscription"
                                    " allows")))
            return 0
        problems = self.missing + self.unexpected
        out.line(s.red(s.bold(f"  {s.no} mismatch: {', '.join(problems) or 'see above'}")))
        return 1

    async def serve(self, server):
        s, out = self.style, self.out
        out.line()
        out.line(s.bold(f"Serving on {server.url}") + "  (Ctrl-C to stop)")
        out.line(f"  connect:  {sys.executable} -m websockets {server.url}")
        out.line('  then type: {"api_key": "key-ops-eu", "subscribe": [{"doc_class": "Order", '
                 '"data_scope": ["eu"], "show_hidden": true}]}')
        out.line("  keys: " + ", ".join(f"{k} ({json.dumps(v[1])})" for k, v in ACCOUNTS.items()))
        out.line(f"  an event is published every {self.args.interval:g} s; classes: "
                 + ", ".join(DOCUMENT_CLASSES) + "; the scripted clients have left")
        out.line("  connections, subscriptions, refusals and bad requests are logged as they come")
        out.line()
        server.log = lambda text: out.line(s.dim(f"  {time.strftime('%H:%M:%S')} {text}"))
        events = sample_events()
        for n in itertools.count(len(events) + 1):
            doc, op, _ = events[(n - 1) % len(events)]
            seq = f"{n:04d}"
            before = server.broadcaster.sent
            await server.publish(doc, op, seq)
            sent = server.broadcaster.sent - before
            out.line(f"  {seq}  {op} {doc.label:<16} -> {sent} client(s)")
            await asyncio.sleep(self.args.interval)


async def wait_until(predicate, timeout=WAIT, step=0.01):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        await asyncio.sleep(step)
    return predicate()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--serve", action="store_true",
                        help="after the scripted run keep the server running (Ctrl-C stops it)")
    parser.add_argument("--port", type=int, default=None,
                        help="websocket port (default: a free one; 8765 with --serve)")
    parser.add_argument("--delay", type=float, default=0.25,
                        help="pause between events of the scripted run, in seconds")
    parser.add_argument("--interval", type=float, default=3.0,
                        help="with --serve: seconds between published events")
    parser.add_argument("--show-seq", default="0004",
                        help="the event whose views are printed side by side")
    parser.add_argument("--no-color", action="store_true", help="plain text output")
    parser.add_argument("--nodes", type=int, default=0, metavar="N",
                        help="run across N host nodes fed by a Redis stream (nodes_demo.py)")
    args = parser.parse_args(argv)
    if args.nodes and args.serve:
        parser.error("--serve runs one node; it does not go with --nodes")
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="replace")  # a terminal that can't show "é" gets "?"
    bound_acl_lookups()
    try:
        if args.nodes:
            import nodes_demo
            return nodes_demo.run(args)
        return asyncio.run(Demo(args).run())
    except CannotListen as exc:
        parser.exit(2, f"{parser.prog}: {exc}\n")
    except KeyboardInterrupt:
        return 0
    except BrokenPipeError:  # piped into head, say
        sys.stdout = None
        return 0


if __name__ == "__main__":
    sys.exit(main())
