"""The demo's scenario, written once for the single-node run and the run across nodes: who
connects with which key and subscriptions, what each client should see of each event, and the
verdict on what it did see."""
from __future__ import annotations

import asyncio
import dataclasses
import json
import os
import sys
import time
from typing import Any

from .accounts import ACCOUNTS
from .auth_service import AuthService
from .shop import Acl, expected_view
from .table import (Region, Reporter, Style, client_lines, describe_body, terminal_width,
                    wrap)

__all__ = ["WAIT", "Client", "demo_clients", "start_auth_service",
           "expected_outcome", "Run"]

WAIT = 5.0
"""Seconds the demo waits for anything to arrive before calling it missing."""


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
    arrived: list = dataclasses.field(default_factory=list)  # the seqs, in the order received
    duplicates: int = 0
    ws: object = None

    def receive(self, seq: str, raw: str) -> None:
        """Note one event that arrived (its JSON text)."""
        if seq in self.frames:
            self.duplicates += 1
        self.frames[seq] = raw
        self.arrived.append(seq)

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


def start_auth_service() -> tuple[AuthService, str]:
    """The stand-in authentication service, knowing the demo's accounts; (service, API root)."""
    auth = AuthService()
    for key, (ident, acl) in ACCOUNTS.items():
        auth.add_account(key, acl, id=ident)
    return auth, auth.start()


def expected_outcome(client: Client, doc, seq: str) -> tuple[str, Any]:
    """What ``client`` should see of event ``seq``: ("got", view), ("acl", None), ("closed",
    None) once it has hung up as its scenario says, or ("skip", why)."""
    sub_ = client.subscription_for(type(doc).__name__)
    if sub_ is None:
        return "skip", ""
    if client.close_after is not None and seq > client.close_after:
        return "closed", None
    verdict, detail = expected_view(doc, seq, sub_)
    if verdict == "sent":
        return "got", detail
    return ("acl", None) if detail == "ACL" else ("skip", detail)


class Run:
    """One run of the scenario; a subclass connects the clients and publishes the events its way.

    Whoever sees something arrive (a frame, a subscription, a hang-up) calls :meth:`arrival`;
    :meth:`wait_until` waits for a condition on what arrived.
    """

    legend = ""  # what the table's marks mean, for this kind of run

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
        self.width = terminal_width()
        self.problems: list[str] = []
        self.region: Region | None = None  # the events table's lines, while it is played
        self._arrived = asyncio.Event()

    def line(self, text=""):
        if self.region is not None:  # within the events table, as its rows are
            self.region.add(text)
        else:
            print(text.rstrip(), flush=True)

    def lines(self, text: str, indent: int = 4, paint=None) -> None:
        """Plain ``text`` wrapped to the terminal's width, each line painted by ``paint``."""
        for line in wrap(text, self.width, indent):
            self.line(paint(line) if paint else line)

    def arrival(self) -> None:
        self._arrived.set()

    async def wait_until(self, predicate, timeout=WAIT) -> bool:
        deadline = time.monotonic() + timeout
        while not predicate():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self._arrived.clear()
            try:
                await asyncio.wait_for(self._arrived.wait(), min(left, 0.05))
            except asyncio.TimeoutError:
                pass
        return True

    # -- the clients ---------------------------------------------------------------------------
    async def connect_clients(self, *where) -> list:
        """Connect the clients one after the other, printing each one's line; returns admitted."""
        s = self.style
        self.line(s.bold("Clients"))
        for i, client in enumerate(self.clients):
            suffix = await self.connect_client(client, i, *where)
            if client.subscribed:
                plain, detail = f"{s.ok} subscribed{suffix}", ""
                status = s.green(plain)
            else:
                plain, detail = f"{s.no} refused", str(client.refused)
                status = s.red(plain)
            for line in client_lines(s, client, status, plain, detail, self.width):
                self.line(line)
        self.line()
        return [c for c in self.clients if c.subscribed]

    async def connect_client(self, client: Client, index: int, *where) -> str:
        """Start one client and wait until it is subscribed or refused; returns what to add to
        its "subscribed" status."""
        raise NotImplementedError

    # -- the events ----------------------------------------------------------------------------
    async def play(self, events, admitted, table: Reporter) -> None:
        """Publish each event, wait for what should arrive, print the row with the verdict."""
        s = self.style
        table.fit(events)
        self.line(s.bold("Events"))
        for line in table.legend(self.legend.format(s=s)):
            self.line(line)
        # On a terminal the table is redrawn in place, its header kept in sight; elsewhere
        # (a pipe, a file, the tests) it is plain lines.
        self.region = table.region = Region(live=sys.stdout.isatty())
        try:
            await self._play(events, admitted, table)
        finally:
            self.region.close()
            self.region = None

    async def _play(self, events, admitted, table: Reporter) -> None:
        table.header()
        for doc, op, seq in events:
            await self.before_event(seq)
            expected = {c.name: expected_outcome(c, doc, seq) for c in admitted}
            await self.publish(doc, op, seq)
            waiting = [c for c in admitted if expected[c.name][0] == "got"]
            await self.wait_until(lambda: all(seq in c.frames for c in waiting))
            outcomes = [self.judge(c, expected[c.name], doc, op, seq) for c in admitted]
            table.row(seq, doc, op, await self.subscribers(), outcomes)
            await self.after_event(seq, admitted)
            if self.args.delay:
                await asyncio.sleep(self.args.delay)

    def judge(self, client: Client, expected, doc, op, seq) -> tuple[str, Any]:
        """The table cell for what ``client`` got of one event; a mismatch is noted."""
        kind, body = expected
        raw = client.frames.get(seq)
        if kind == "got" and raw is None:
            return self._problem(client, seq, "missing")
        if kind != "got":
            return self._problem(client, seq, "unexpected") if raw is not None else expected
        if json.loads(raw) != {"doc_class": type(doc).__name__, "op": op, "seq": seq,
                               "message": body}:
            return self._problem(client, seq, "wrong view")
        return "got", dataclasses.replace(describe_body(body, doc),
                                          caught_up=self.caught_up_on(client, seq))

    def _problem(self, client: Client, seq: str, what: str) -> tuple[str, str]:
        self.problems.append(f"{client.name} {seq} {what}")
        return "bad", what

    def caught_up_on(self, client: Client, seq: str) -> bool:
        """Whether ``client`` got event ``seq`` from a node's backlog (marked in its cell)."""
        return False

    async def before_event(self, seq: str) -> None:
        pass

    async def after_event(self, seq: str, admitted) -> None:
        pass

    async def publish(self, doc, op: str, seq: str) -> None:
        raise NotImplementedError

    async def subscribers(self) -> int:
        """Connections registered to receive events, as the server (or the nodes) count them."""
        raise NotImplementedError

    # -- the verdict ---------------------------------------------------------------------------
    def summary(self, events, started: float) -> int:
        """A line per client, the totals and the verdict: 0 when every client got exactly what
        its subscription allows, nothing missing, nothing twice, in order."""
        s = self.style
        self.line(s.bold("Summary"))
        deliveries = expected_total = 0
        for c in self.clients:
            if not c.subscribed:
                head, *rest = wrap(f"  {c.name:<10} refused  {c.refused}", self.width, 13)
                self.line(head.replace("refused", s.red("refused"), 1))
                for line in rest:
                    self.line(line)
                continue
            outcomes = [(seq, expected_outcome(c, doc, seq)) for doc, _, seq in events]
            wanted = [seq for seq, (kind, _) in outcomes if kind == "got"]
            withheld: dict[str, int] = {}
            for _, (kind, detail) in outcomes:
                if kind in ("acl", "closed") or (kind == "skip" and detail):
                    label = {"acl": "ACL", "closed": "closed"}.get(kind, detail)
                    withheld[label] = withheld.get(label, 0) + 1
            if c.arrived != wanted or c.duplicates:
                self.problems.append(f"{c.name} received {', '.join(c.arrived) or 'nothing'}")
            deliveries += len(c.arrived)
            expected_total += len(wanted)
            why = ", ".join(f"{n} {label}" for label, n in withheld.items()) or "none"
            end = f"hung up after {c.closed_after}" if c.closed_after else "connected"
            dup = f", {c.duplicates} twice" if c.duplicates else ""
            order = "" if c.arrived == sorted(c.arrived) else ", OUT OF ORDER"
            self.lines(f"  {c.name:<10} {self.route(c)}received {len(c.arrived):>2} of"
                       f" {len(wanted):>2} expected{dup}{order}; withheld: {why}; {end}", 13)
            for note in self.moves(c):
                self.lines(f"{'':<12} {note}", 13)
        subscribed = sum(c.subscribed for c in self.clients)
        self.line()
        self.lines(f"  clients {len(self.clients)} ({subscribed} subscribed,"
                   f" {len(self.clients) - subscribed} refused); events {len(events)};"
                   f" deliveries {deliveries} of {expected_total} expected;"
                   f" {time.perf_counter() - started:.1f} s")
        for note in self.totals():
            self.lines(f"  {note}")
        if self.problems or deliveries != expected_total:
            self.lines(f"  {s.no} mismatch: {', '.join(self.problems) or 'see above'}", 4,
                       lambda line: s.red(s.bold(line)))
            return 1
        self.line(s.green(s.bold(f"  {s.ok} every client got exactly what its subscription"
                                 " allows:")))
        self.line(s.green(s.bold("    nothing missing, nothing twice, in order")))
        return 0

    def route(self, client: Client) -> str:
        """What goes before "received" in a client's line of the summary: the node(s) it was on."""
        return ""

    def moves(self, client: Client) -> list[str]:
        """The summary's notes under a client's line: how it moved between nodes."""
        return []

    def totals(self) -> list[str]:
        """The summary's lines after the counts; a subclass notes a problem it finds there."""
        return []
