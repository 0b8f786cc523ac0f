"""Changes made while an event is being broadcast are seen from the next subscriber's turn on.

Each test changes something from inside the first subscriber's send (a hook, the document, the
module's json, the event given to a host's hook) and checks what the later subscribers get.
"""
import json
import sys
import types
import warnings

import pytest

import broadcast
from tolva_engine import Acl, Document, OutOfScopeError
from support.broadcasting import Socket, run, subscribe_now


def plain_host(on_send=None, base=None):
    """A host that overrides only the send hook: everything else is the module's own."""

    class Host(base or broadcast.Broadcaster):
        active_connections = {}
        sent = []

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.sent.append((websocket.name, json.loads(message)))
            if on_send is not None and len(cls.sent) == 1:
                on_send(cls)

    return Host


def broadcast_to(host, names, doc, **params):
    for name in names:
        subscribe_now(host, Socket(name), type(doc).__name__, **params)
    run(host.document_sent_async(doc, "update", "0005"))
    return [(name, event["message"]) for name, event in host.sent]


class Note(Document):
    pass


def refuse(cls, doc, acl):
    return False


def no_body(cls, doc, data_scope, catalog, show_hidden):
    return None


def closed(cls, websocket):
    return False


@pytest.mark.parametrize("hook, replacement", [
    ("check_subscriber_acl", refuse),
    ("get_message_body", no_body),
    ("subscriber_is_connected", closed),
])
def test_a_hook_set_on_the_class_meanwhile(hook, replacement):
    def change(cls):
        setattr(cls, hook, classmethod(replacement))
        getattr(cls, hook)  # the class is looked up again before the fan-out goes on

    host = plain_host(change)
    assert [name for name, _ in broadcast_to(host, "abc", Note({"id": 1}))] == ["a"]
    if hook == "subscriber_is_connected":
        assert [ws.name for ws in host.active_connections["Note"]] == ["a"]


def test_a_hook_changed_on_a_base_class_meanwhile():
    class Middle(broadcast.Broadcaster):
        pass

    host = plain_host(lambda cls: setattr(Middle, "get_message_body", classmethod(
        lambda cls, doc, *rest: {"from": "middle"})), base=Middle)
    assert broadcast_to(host, "ab", Note({"id": 1})) == [("a", {"id": 1}), ("b", {"from": "middle"})]


def test_an_override_removed_meanwhile_gives_back_the_modules_own():
    def drop(cls):
        del cls.check_subscriber_acl

    host = plain_host(drop)
    host.check_subscriber_acl = classmethod(lambda cls, doc, acl: True)
    doc = Note({"id": 1}, public=False)
    assert [name for name, _ in broadcast_to(host, "ab", doc)] == ["a"]


def test_send_json_async_set_meanwhile():
    seen = []

    async def send_json_async(cls, websocket, content):
        seen.append((websocket.name, content["message"]))

    host = plain_host(lambda cls: setattr(cls, "send_json_async", classmethod(send_json_async)))
    assert broadcast_to(host, "abc", Note({"id": 1})) == [("a", {"id": 1})]
    assert seen == [("b", {"id": 1}), ("c", {"id": 1})]


def out_of_scope(*args, **kwargs):
    raise OutOfScopeError("not here")


@pytest.mark.parametrize("change", [
    lambda doc: setattr(doc, "check_scope", out_of_scope),
    lambda doc: doc.__dict__.__setitem__("get_display_data", lambda **kw: None),
    lambda doc: setattr(type(doc), "check_scope", out_of_scope),
    lambda doc: setattr(doc, "__class__", type("Other", (type(doc),), {"check_scope": out_of_scope})),
])
def test_a_document_operation_changed_meanwhile(change):
    # A class of its own: what one test's documents do to their class stays out of the others.
    doc = type("Fresh", (Document,), {})({"id": 1})
    host = plain_host(lambda cls: change(doc))
    assert broadcast_to(host, "abc", doc) == [("a", {"id": 1})]


def test_the_acl_check_changed_on_a_document_with_its_own_dict():
    doc = type("Fresh", (Document,), {})({"id": 1})
    vars(doc)  # the instance keeps its attributes in a dict of its own from here on
    host = plain_host(lambda cls: setattr(doc, "check_acl", lambda *args: False))
    assert [name for name, _ in broadcast_to(host, "abc", doc)] == ["a"]


class Slotted:
    __slots__ = ("body",)

    def __init__(self):
        self.body = {"n": 0}

    def check_scope(self, data_scope):
        return True

    def get_display_data(self, catalog=None, show_hidden=False):
        self.body = {"n": self.body["n"] + 1}
        return self.body

    def check_acl(self, acl, action, doc, flag):
        return True


class Dynamic(Slotted):
    __slots__ = ()

    def __getattr__(self, name):
        raise AttributeError(name)


@pytest.mark.parametrize("doc_class", [Slotted, Dynamic])
def test_documents_of_any_layout(doc_class):
    host = plain_host()
    assert broadcast_to(host, "abc", doc_class()) == [("a", {"n": 1}), ("b", {"n": 2}), ("c", {"n": 3})]


def test_the_modules_json_rebound_meanwhile(monkeypatch):
    texts = types.SimpleNamespace(dumps=lambda content, ensure_ascii: json.dumps({"message": "rebound"}))
    host = plain_host(lambda cls: monkeypatch.setattr(broadcast, "json", texts))
    assert broadcast_to(host, "ab", Note({"id": 1})) == [("a", {"id": 1}), ("b", "rebound")]


def test_json_dumps_replaced_meanwhile(monkeypatch):
    real = json.dumps
    host = plain_host(lambda cls: monkeypatch.setattr(json, "dumps", lambda content, ensure_ascii: real(
        {"message": [ensure_ascii, sorted(content)]})))
    assert broadcast_to(host, "ab", Note({"id": 1})) == [
        ("a", {"id": 1}), ("b", [False, ["doc_class", "message", "op", "seq"]])]


def test_each_event_given_to_a_host_is_its_own():
    kept = []

    class Host(broadcast.Broadcaster):
        active_connections = {}

        @classmethod
        async def send_json_async(cls, websocket, content):
            kept.append(content)
            if len(kept) == 1:
                content["op"] = "changed"
                del content["seq"]

    doc = Note({"id": 1})
    for name in "abc":
        subscribe_now(Host, Socket(name), "Note")
    run(Host.document_sent_async(doc, "update", "0005"))
    assert len({id(event) for event in kept}) == 3
    assert kept[1:] == [{"doc_class": "Note", "op": "update", "seq": "0005", "message": {"id": 1}}] * 2
    assert list(kept[1]) == ["doc_class", "op", "seq", "message"]


def test_events_dropped_by_the_host_keep_nothing_alive():
    host = plain_host()
    doc = Note({"id": 1})
    body = {"id": 1}
    doc.get_display_data = lambda **kwargs: body
    before = sys.getrefcount(body)
    broadcast_to(host, "abcd", doc)
    assert sys.getrefcount(body) == before


def test_subscription_dict_is_a_plain_dict_in_the_written_order():
    host = plain_host()
    params = subscribe_now(host, Socket("a"), data_scope=["x"], extra=1, acl=Acl(["*"]))
    assert list(params) == ["data_scope", "catalog", "show_hidden", "start_seq", "acl", "extra"]
    shown = {"data_scope": 1, "catalog": 2, "show_hidden": 3, "start_seq": 4, "acl": 5}
    plain = subscribe_now(host, Socket("b"))
    assert sys.getsizeof(plain) == sys.getsizeof(shown)
    plain["catalog"] = ["only"]
    assert plain["catalog"] == ["only"] and list(plain)[1] == "catalog"


def test_parameters_rearranged_by_the_host_are_read_by_name():
    host = plain_host()
    ws = Socket("a")
    params = subscribe_now(host, ws, "Note")
    acl = params.pop("acl")
    params["acl"] = Acl([])  # now last, and refusing
    del params["data_scope"]
    params["data_scope"] = None
    assert broadcast_to(host, "", Note({"id": 1})) == []
    params["acl"] = acl
    assert broadcast_to(host, "", Note({"id": 1})) == [("a", {"id": 1})]


def test_disconnect_hashes_a_python_hashed_websocket_per_class_name():
    class Counted:
        hashes = 0

        def __hash__(self):
            Counted.hashes += 1
            return 7

    host = plain_host()
    ws = Counted()
    for name in ("A", "B", "C"):
        subscribe_now(host, Socket(name), name)
    subscribe_now(host, ws, "B")
    Counted.hashes = 0
    host.disconnect(ws)
    assert Counted.hashes == 3
    assert all(ws not in subscribers for subscribers in host.active_connections.values())


def test_coroutine_objects_report_their_size_and_warn_when_never_awaited():
    async def target(*args, **kwargs):
        return len(args)

    wrapped = broadcast.auth_required_async(target)
    finished = wrapped(1)
    with pytest.raises(StopIteration):
        finished.send(None)
    assert 0 < sys.getsizeof(finished) < 1024
    del finished
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wrapped(2)
        import gc
        gc.collect()
    assert [str(w.message).endswith("' was never awaited") for w in caught] == [True]


def test_many_arguments_pass_through_the_async_wrapper():
    async def target(*args, **kwargs):
        return args, kwargs

    wrapped = broadcast.auth_required_async(target)
    args = tuple(range(9))
    coro = wrapped(*args, key=1, acl=None)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.value == (args, {"key": 1, "acl": None})


def test_a_host_class_with_its_own_attribute_lookup_is_asked_at_each_use():
    hooks = ("subscriber_is_connected", "check_subscriber_acl", "get_message_body", "send_json_async",
             "send_message_async")
    asked = []

    class Meta(type):
        def __getattribute__(cls, name):
            if name in hooks:
                asked.append(name)
            return super().__getattribute__(name)

    class Host(broadcast.Broadcaster, metaclass=Meta):
        active_connections = {}
        sent = []

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.sent.append((websocket.name, json.loads(message)))

    assert broadcast_to(Host, "ab", Note({"id": 1})) == [("a", {"id": 1}), ("b", {"id": 1})]
    assert {name: asked.count(name) for name in hooks} == dict.fromkeys(hooks, 2)
