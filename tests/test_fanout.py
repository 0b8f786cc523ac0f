"""The fan-out of one document event to the subscribers of its class."""
import asyncio
import gc
import sys
import types

import pytest

import broadcast
from tolva_engine import Acl, Document, OutOfScopeError
from support.broadcasting import (Socket, make_host, messages, received, registered, run, sockets,
                                  subscribe_now)


class Invoice(Document):
    pass


class Boom(Exception):
    pass


def publish(host, doc=None, op="update", seq="0005"):
    return run(host.document_sent_async(doc if doc is not None else Document({"id": 1}), op, seq))


def host_with(*names, closed=(), on_send=None, **params):
    """A recording host with the named subscribers under "Document", in that order."""
    host = make_host(on_send=on_send)
    socks = {name: Socket(name) for name in names}
    for name in names:
        subscribe_now(host, socks[name], **params)
    host.closed.update(socks[name] for name in closed)
    host.log.clear()
    return host, socks


def per_subscriber(host, name):
    return [entry[0] for entry in host.log if entry[1:] == (name,)]


@pytest.mark.parametrize("empty_entry", [False, True])
def test_no_subscribers_for_the_class(empty_entry):
    host = make_host()
    ws = Socket("a")
    subscribe_now(host, ws, "Invoice")
    if empty_entry:
        subscribe_now(host, ws, "Document")
        host.disconnect(ws)
        assert host.active_connections["Document"] == {}
    host.log.clear()
    assert publish(host) is None
    assert host.log == [] and host.sent == []


def test_every_subscriber_in_order_each_send_completing_first():
    async def pause(cls, ws, text):
        await asyncio.sleep(0)

    host, _ = host_with("s1", "s2", "s3", on_send=pause)
    assert publish(host) is None
    expected = []
    for name in ("s1", "s2", "s3"):
        expected += [("connected", name), ("acl", None), ("body", None), ("send", name), ("sent", name)]
    assert host.log == expected


def test_event_message_and_its_json_text():
    host, _ = host_with("a")
    publish(host, Document({"id": 1}), "update", "0007")
    assert host.sent[0][1] == '{"doc_class": "Document", "op": "update", "seq": "0007", "message": {"id": 1}}'


def test_doc_class_is_the_bare_class_name():
    class Receipt(Invoice):  # defined locally: its qualified name has <locals> in it
        pass

    host = make_host()
    a, b, c = sockets("a", "b", "c")
    subscribe_now(host, a, "Receipt")
    subscribe_now(host, b, "Invoice")
    subscribe_now(host, c, "Document")
    publish(host, Receipt({"n": 1}), "create", "1")
    assert messages(host) == [("a", {"doc_class": "Receipt", "op": "create", "seq": "1", "message": {"n": 1}})]


def test_any_object_with_the_engine_operations_is_a_document():
    class Note:
        def check_acl(self, acl, action, doc, flag):
            return True

        def check_scope(self, scope):
            pass

        def get_display_data(self, catalog, show_hidden):
            return {"text": "hi"}

    host = make_host()
    subscribe_now(host, Socket("a"), "Note")
    publish(host, Note(), "delete", "2")
    assert messages(host) == [("a", {"doc_class": "Note", "op": "delete", "seq": "2", "message": {"text": "hi"}})]


@pytest.mark.parametrize("op, seq, start_seq", [
    (7, 5, 0),
    ({"kind": "merge"}, 1.5, 1.5),
    (None, "z", ""),
])
def test_op_and_seq_are_passed_as_they_come(op, seq, start_seq):
    host, _ = host_with("a", start_seq=start_seq)
    publish(host, Document({"id": 1}), op, seq)
    assert messages(host) == [("a", {"doc_class": "Document", "op": op, "seq": seq, "message": {"id": 1}})]


def test_acl_refusal_skips_only_that_subscriber():
    host = make_host()
    a, b, c = sockets("a", "b", "c")
    subscribe_now(host, a, acl=Acl(["Invoice"]))
    subscribe_now(host, b, acl=Acl(["Document"]))
    subscribe_now(host, c, acl=Acl({"read": "*"}))
    host.log.clear()
    publish(host)
    assert received(host) == ["b", "c"]
    assert per_subscriber(host, "a") == ["connected"]
    assert host.log[:3] == [("connected", "a"), ("acl", ["Invoice"]), ("connected", "b")]


@pytest.mark.parametrize("falsy", [None, {}, [], 0, "", False])
def test_falsy_body_sends_nothing_and_goes_on(falsy):
    host = make_host()
    a, b = sockets("a", "b")
    subscribe_now(host, a, catalog=falsy)
    subscribe_now(host, b, catalog={"ok": 1})
    doc = Document().override("get_display_data", func=lambda catalog, show_hidden: catalog)
    publish(host, doc)
    assert messages(host)[0][1]["message"] == {"ok": 1}
    assert received(host) == ["b"]


def test_engine_views_differ_per_subscription():
    host = make_host()
    a, b, c, d = sockets("a", "b", "c", "d")
    subscribe_now(host, a)
    subscribe_now(host, b, data_scope=["us"])
    subscribe_now(host, c, catalog=["id", "secret"], show_hidden=True)
    subscribe_now(host, d, data_scope=["eu"], catalog=["id", "secret"])
    doc = Document({"id": 3, "scope": "eu", "secret": "s"}, hidden=["secret"])
    publish(host, doc)
    assert [(name, body["message"]) for name, body in messages(host)] == [
        ("a", {"id": 3, "scope": "eu"}), ("c", {"id": 3, "secret": "s"}), ("d", {"id": 3})]


def test_later_start_sequence_skips_only_that_subscriber():
    host = make_host()
    s0, s1, s2, s3 = sockets("s0", "s1", "s2", "s3")
    subscribe_now(host, s0)
    subscribe_now(host, s1)
    subscribe_now(host, s2, start_seq="0010")
    subscribe_now(host, s3)
    host.closed.add(s0)
    host.log.clear()
    publish(host, seq="0005")
    assert received(host) == ["s1", "s3"]
    assert per_subscriber(host, "s2") == ["connected"]
    assert host.log[-1] == ("disconnect", "s0")  # the sweep still runs
    assert registered(host, "Document") == ["s1", "s2", "s3"]


@pytest.mark.parametrize("seq, start_seq, served", [
    ("9", "10", True),
    ("0005", "0010", False),
    ("0010", "0010", True),
    ("0011", "0010", True),
    ("", "", True),
    ("a", "b", False),
    ("Z", "a", False),
])
def test_start_sequence_uses_string_order(seq, start_seq, served):
    host, _ = host_with("a", start_seq=start_seq)
    publish(host, seq=seq)
    assert received(host) == (["a"] if served else [])


def test_closed_subscriber_gets_nothing_and_is_swept_after_the_loop():
    host = make_host()
    a, b, c = sockets("a", "b", "c")
    for ws in (a, b, c):
        subscribe_now(host, ws)
    subscribe_now(host, a, "Invoice")
    host.closed.update((a, c))
    host.log.clear()
    publish(host)
    assert received(host) == ["b"]
    assert per_subscriber(host, "a") == ["connected", "disconnect"]
    assert host.log[-2:] == [("disconnect", "a"), ("disconnect", "c")]
    assert host.log.index(("sent", "b")) < host.log.index(("disconnect", "a"))
    assert host.active_connections == {"Document": {b: host.active_connections["Document"][b]}, "Invoice": {}}


def test_base_connectedness_never_disconnects():
    class Host(broadcast.Broadcaster):
        active_connections = {}
        events = []

        @classmethod
        def disconnect(cls, websocket):
            cls.events.append(("disconnect", websocket))

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.events.append(("send", websocket))
            return "a value that is dropped"

    a, b = sockets("a", "b")
    subscribe_now(Host, a)
    subscribe_now(Host, b)
    assert publish(Host) is None
    assert Host.events == [("send", a), ("send", b)]


@pytest.mark.parametrize("key", ["start_seq", "acl", "data_scope", "catalog", "show_hidden"])
def test_missing_parameter_key_raises_and_stops_the_call(key):
    host, socks = host_with("z", "a", "b", "c", closed=["z"])
    del host.active_connections["Document"][socks["b"]][key]
    with pytest.raises(KeyError) as info:
        publish(host)
    assert info.value.args == (key,)
    assert received(host) == ["a"]
    assert registered(host, "Document") == ["z", "a", "b", "c"]  # no sweep


def test_unorderable_sequence_raises_the_comparison_error():
    host, _ = host_with("a")
    with pytest.raises(TypeError) as info:
        publish(host, seq=5)
    assert str(info.value) == "'<' not supported between instances of 'int' and 'str'"
    assert host.sent == []


def _fail_connected(host, socks, doc):
    def connected(cls, ws):
        if ws is socks["b"]:
            raise Boom("connected")
        return ws not in cls.closed
    host.subscriber_is_connected = classmethod(connected)


def _fail_acl(host, socks, doc):
    b_acl = host.active_connections["Document"][socks["b"]]["acl"] = Acl(["*"])

    def check(acl, action, d, flag):
        if acl is b_acl:
            raise Boom("acl")
        return True
    doc.override("check_acl", func=check)


def _fail_scope(host, socks, doc):
    scope = host.active_connections["Document"][socks["b"]]["data_scope"] = ["b-scope"]

    def check(data_scope):
        if data_scope is scope:
            raise Boom("scope")
    doc.override("check_scope", func=check)


def _fail_display(host, socks, doc):
    b_catalog = host.active_connections["Document"][socks["b"]]["catalog"] = {"b": 1}

    def display(catalog, show_hidden):
        if catalog is b_catalog:
            raise Boom("display")
        return {"id": 1}
    doc.override("get_display_data", func=display)


def _fail_json(host, socks, doc):
    b_catalog = host.active_connections["Document"][socks["b"]]["catalog"] = {"b": 1}
    doc.override("get_display_data",
                 func=lambda catalog, show_hidden: {"bad": object()} if catalog is b_catalog else {"id": 1})


def _fail_send_call(host, socks, doc):
    original = host.send_message_async

    def send(cls, ws, text):
        if ws is socks["b"]:
            raise Boom("send call")
        return original(ws, text)
    host.send_message_async = classmethod(send)


def _fail_send_await(host, socks, doc):
    original = host.send_message_async

    async def send(cls, ws, text):
        await original(ws, text)
        await asyncio.sleep(0)
        if ws is socks["b"]:
            raise Boom("send await")
    host.send_message_async = classmethod(send)


@pytest.mark.parametrize("arrange, error", [
    (_fail_connected, Boom), (_fail_acl, Boom), (_fail_scope, Boom), (_fail_display, Boom),
    (_fail_json, TypeError), (_fail_send_call, Boom), (_fail_send_await, Boom),
])
def test_exception_from_a_hook_ends_the_call(arrange, error):
    host, socks = host_with("z", "a", "b", "c", closed=["z"])
    doc = Document({"id": 1})
    arrange(host, socks, doc)
    with pytest.raises(error):
        publish(host, doc)
    sent_to = received(host)
    assert sent_to[0] == "a" and "c" not in sent_to
    assert registered(host, "Document") == ["z", "a", "b", "c"]
    assert ("disconnect", "z") not in host.log


def test_exception_from_disconnect_leaves_later_closed_subscribers():
    host, socks = host_with("y", "a", "z", closed=["y", "z"])

    def disconnect(cls, ws):
        if ws is socks["y"]:
            raise Boom("disconnect")
        broadcast.Broadcaster.disconnect.__func__(cls, ws)
    host.disconnect = classmethod(disconnect)
    with pytest.raises(Boom):
        publish(host)
    assert received(host) == ["a"]
    assert registered(host, "Document") == ["y", "a", "z"]


def test_out_of_scope_never_reaches_the_caller():
    host, _ = host_with("a", "b", data_scope=["us"])
    publish(host, Document({"scope": "eu"}).override("get_display_data", raises=OutOfScopeError("x")))
    assert host.sent == []


# -- registry changes while a send is suspended -------------------------------------------------

def on_first_send(action):
    """A send hook that runs ``action(cls)`` while the send to the first subscriber is suspended."""
    done = []

    async def hook(cls, ws, text):
        await asyncio.sleep(0)
        if not done:
            done.append(ws)
            action(cls)
            await asyncio.sleep(0)
    return hook


def test_subscriber_disconnected_before_its_turn_is_skipped():
    socks = {}
    host, socks = host_with("a", "b", "c", on_send=on_first_send(lambda cls: cls.disconnect(socks["b"])))
    publish(host)
    assert received(host) == ["a", "c"]
    assert "b" not in [entry[1] for entry in host.log if entry[0] == "connected"]


def test_subscriber_added_during_a_send_waits_for_the_next_event():
    newcomer = Socket("n")
    host, _ = host_with("a", "b", on_send=on_first_send(lambda cls: subscribe_now(cls, newcomer)))
    publish(host)
    assert received(host) == ["a", "b"]
    assert registered(host, "Document") == ["a", "b", "n"]
    host.sent.clear()
    publish(host)
    assert received(host) == ["a", "b", "n"]


def test_resubscribed_subscriber_is_served_with_its_new_parameters():
    socks = {}

    def change(cls):
        subscribe_now(cls, socks["b"], start_seq="9999")
        subscribe_now(cls, socks["c"], catalog=["id"])

    host, socks = host_with("a", "b", "c", on_send=on_first_send(change))
    publish(host, Document({"id": 1, "name": "x"}), seq="0005")
    assert [(name, body["message"]) for name, body in messages(host)] == [
        ("a", {"id": 1, "name": "x"}), ("c", {"id": 1})]


def test_moved_subscribers_are_visited_once_in_the_first_order():
    socks = {}

    def shuffle(cls):
        for name in ("a", "b"):  # both move to the end of the class's dictionary
            cls.disconnect(socks[name])
            subscribe_now(cls, socks[name])

    host, socks = host_with("a", "b", "c", on_send=on_first_send(shuffle))
    publish(host)
    assert received(host) == ["a", "b", "c"]
    assert registered(host, "Document") == ["c", "a", "b"]


def test_other_tasks_changing_the_registry_while_a_send_waits():
    gate = {}
    newcomer = Socket("n")

    async def send(cls, ws, text):
        if ws.name == "a":
            gate["reached"].set()
            await gate["release"].wait()

    host, socks = host_with("a", "b", "c", "d", on_send=send)

    async def meddle():
        await gate["reached"].wait()
        host.disconnect(socks["b"])
        subscribe_now(host, newcomer)
        host.disconnect(socks["d"])
        subscribe_now(host, socks["d"], catalog=["id"])
        gate["release"].set()

    async def main():
        gate["reached"], gate["release"] = asyncio.Event(), asyncio.Event()
        await asyncio.gather(host.document_sent_async(Document({"id": 1, "x": 2}), "update", "1"), meddle())

    run(main())
    assert [(name, body["message"]) for name, body in messages(host)] == [
        ("a", {"id": 1, "x": 2}), ("c", {"id": 1, "x": 2}), ("d", {"id": 1})]
    assert registered(host, "Document") == ["a", "c", "n", "d"]


def test_closed_subscriber_disconnected_meanwhile_is_swept_harmlessly():
    socks = {}
    host, socks = host_with("a", "z", "b", closed=["z"],
                            on_send=lambda cls, ws, text: _disconnect_later(cls, ws, socks))
    publish(host)
    assert received(host) == ["a", "b"]
    assert registered(host, "Document") == ["a", "b"]


async def _disconnect_later(cls, ws, socks):
    await asyncio.sleep(0)
    if ws.name == "b":
        cls.disconnect(socks["z"])


# -- cancellation, throw and close -------------------------------------------------------------

def test_cancelled_inside_a_send_leaves_the_registry_intact():
    async def stall(cls, ws, text):
        if ws.name == "b":
            await asyncio.get_running_loop().create_future()

    host, socks = host_with("z", "a", "b", "c", closed=["z"], on_send=stall)

    async def main():
        task = asyncio.ensure_future(host.document_sent_async(Document({"id": 1}), "update", "1"))
        while ("send", "b") not in host.log:
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    run(main())
    assert received(host) == ["a"]
    assert registered(host, "Document") == ["z", "a", "b", "c"]
    assert ("disconnect", "z") not in host.log


@types.coroutine
def suspend(tag):
    return (yield tag)


def manual_host():
    trail = []

    async def send(cls, ws, text):
        try:
            got = await suspend(ws.name)
            trail.append(("resumed", ws.name, got))
        except ValueError as exc:
            trail.append(("caught", ws.name, str(exc)))
        except BaseException as exc:
            trail.append((type(exc).__name__, ws.name))
            raise

    host, socks = host_with("a", "b", "c", on_send=send)
    return host, socks, trail


def test_send_and_throw_reach_the_hosts_send_coroutine():
    host, socks, trail = manual_host()
    coro = host.document_sent_async(Document({"id": 1}), "update", "1")
    assert coro.send(None) == "a"
    assert coro.send("reply") == "b"
    assert coro.throw(ValueError("bad frame")) == "c"
    with pytest.raises(KeyError):
        coro.throw(KeyError("fatal"))
    assert trail == [("resumed", "a", "reply"), ("caught", "b", "bad frame"), ("KeyError", "c")]
    assert received(host) == ["a", "b"]
    assert registered(host, "Document") == ["a", "b", "c"]
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_close_reaches_the_hosts_send_coroutine():
    host, socks, trail = manual_host()
    host.closed.add(socks["c"])
    coro = host.document_sent_async(Document({"id": 1}), "update", "1")
    assert coro.send(None) == "a"
    coro.close()
    assert trail == [("GeneratorExit", "a")]
    assert registered(host, "Document") == ["a", "b", "c"]
    coro.close()  # closing again is harmless
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


# -- reference counts --------------------------------------------------------------------------

def test_reference_counts_return_after_many_events():
    class Lean(broadcast.Broadcaster):
        active_connections = {}
        closed = set()
        raise_for = None
        count = 0

        @classmethod
        def subscriber_is_connected(cls, ws):
            return ws not in cls.closed

        @classmethod
        async def send_message_async(cls, ws, message):
            cls.count += 1
            await asyncio.sleep(0)
            if ws is cls.raise_for:
                raise Boom()

    socks = sockets("open", "late", "refused", "narrow", "empty", "closed")
    allow, refuse = Acl(["*"]), Acl(["Nothing"])
    scope_eu, scope_us, catalog, no_fields = ["eu"], ["us"], {"id": 0}, []
    late = "".join(["99", "99"])  # a fresh str, not an interned constant
    doc = Document({"id": 1, "scope": "eu", "name": "n"}, record=False)
    invoice = Invoice({"id": 2, "scope": "eu"}, record=False)
    op = "".join(["up", "date"])
    seqs = [str(1000 + i) for i in range(300)]
    watched = [*socks, allow, refuse, scope_eu, scope_us, catalog, no_fields, late, doc, invoice, op, *seqs]

    def subscribe_all():
        open_, late_, refused, narrow, empty, closed = socks
        for cls_name in ("Document", "Invoice"):
            subscribe_now(Lean, open_, cls_name, data_scope=scope_eu, catalog=catalog, acl=allow)
            subscribe_now(Lean, late_, cls_name, start_seq=late)
            subscribe_now(Lean, refused, cls_name, acl=refuse)
            subscribe_now(Lean, narrow, cls_name, data_scope=scope_us)
            subscribe_now(Lean, empty, cls_name, catalog=no_fields, extra=op)
            subscribe_now(Lean, closed, cls_name, acl=allow)

    gc.collect()
    before = [sys.getrefcount(o) for o in watched]

    async def events():
        for i, seq in enumerate(seqs):
            subscribe_all()
            Lean.closed = {socks[5]} if i % 2 else set()
            Lean.raise_for = socks[0] if i % 7 == 0 else None
            try:
                await Lean.document_sent_async(doc if i % 3 else invoice, op, seq)
            except Boom:
                pass
            try:
                await Lean.document_sent_async(doc, op, seq, acl=refuse)
            except TypeError:
                pass
        Lean.raise_for = None
        for seq in seqs[:50]:  # abandoned half-way through a send, and never started
            coro = Lean.document_sent_async(doc, op, seq)
            coro.send(None)
            coro.close()
            Lean.document_sent_async(invoice, op, seq).close()

    run(events())
    assert Lean.count > 300
    for ws in socks:
        Lean.disconnect(ws)
    del ws
    Lean.closed = set()
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before
