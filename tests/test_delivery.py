"""Message delivery: send_json_async turns a dict into JSON text for the send hook."""
import asyncio
import json

import pytest

import broadcast
from support.broadcasting import Socket, run


def recording_host():
    class Host(broadcast.Broadcaster):
        active_connections = {}
        calls = []

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.calls.append((websocket, message))
            return "ignored"

    return Host


def test_base_hooks_deliver_nothing_and_return_none():
    ws = Socket("a")
    assert run(broadcast.Broadcaster.send_message_async(ws, "text")) is None
    assert run(broadcast.Broadcaster.send_json_async(ws, {"a": 1})) is None


@pytest.mark.parametrize("content", [
    {"doc_class": "Document", "op": "update", "seq": "0007", "message": {"id": 1}},
    {"z": 1, "a": 2, "m": [1, 2.5, None, True]},
    {"name": "Zoë", "city": "Κέρκυρα", "emoji": "\U0001f600", "quote": "\"\\"},
    {1: "int key", None: "null key"},
    {},
    [1, "two"],
    "just text",
    12.5,
    None,
])
def test_hook_receives_the_websocket_and_dumps_text(content):
    host = recording_host()
    ws = Socket("a")
    assert run(host.send_json_async(ws, content)) is None
    assert len(host.calls) == 1
    got_ws, text = host.calls[0]
    assert got_ws is ws
    assert type(text) is str
    assert text == json.dumps(content, ensure_ascii=False)


def test_text_keeps_key_order_and_unescaped_characters():
    host = recording_host()
    run(host.send_json_async(Socket("a"), {"b": "é", "a": {"y": 1, "x": 2}}))
    assert host.calls[0][1] == '{"b": "é", "a": {"y": 1, "x": 2}}'


@pytest.mark.parametrize("content, error", [
    ({"a": object()}, TypeError),
    ({"a": {1, 2}}, TypeError),
    ({("tuple", "key"): 1}, TypeError),
])
def test_content_that_json_refuses_never_reaches_the_hook(content, error):
    host = recording_host()
    with pytest.raises(error):
        run(host.send_json_async(Socket("a"), content))
    assert host.calls == []


def test_circular_content_raises_value_error():
    host = recording_host()
    content = {}
    content["self"] = content
    with pytest.raises(ValueError, match="Circular reference"):
        run(host.send_json_async(Socket("a"), content))
    assert host.calls == []


@pytest.mark.parametrize("returned, type_name", [(None, "NoneType"), (3, "int"), ("x", "str")])
def test_non_awaitable_hook_result_gives_the_await_type_error(returned, type_name):
    class Host(broadcast.Broadcaster):
        calls = []

        @classmethod
        def send_message_async(cls, websocket, message):
            cls.calls.append(message)
            return returned

    with pytest.raises(TypeError) as info:
        run(Host.send_json_async(Socket("a"), {"k": "v"}))
    assert str(info.value) == f"object {type_name} can't be used in 'await' expression"
    assert Host.calls == ['{"k": "v"}']  # the hook ran before the await failed


class Boom(Exception):
    pass


@pytest.mark.parametrize("where", ["call", "await"])
def test_hook_exceptions_propagate(where):
    class Host(broadcast.Broadcaster):
        @classmethod
        def send_message_async(cls, websocket, message):
            if where == "call":
                raise Boom("on call")

            async def later():
                await asyncio.sleep(0)
                raise Boom("on await")
            return later()

    with pytest.raises(Boom, match=f"on {where}"):
        run(Host.send_json_async(Socket("a"), {}))


def test_hook_awaitable_object_and_real_suspension():
    """The hook may return any awaitable; the send waits for it to finish."""
    order = []

    class Host(broadcast.Broadcaster):
        @classmethod
        def send_message_async(cls, websocket, message):
            fut = asyncio.get_running_loop().create_future()
            asyncio.get_running_loop().call_soon(lambda: (order.append("resolved"), fut.set_result(9)))
            return fut

    async def main():
        result = await Host.send_json_async(Socket("a"), {"x": 1})
        order.append(("done", result))

    run(main())
    assert order == ["resolved", ("done", None)]


def test_json_is_read_from_the_module_at_each_call(monkeypatch):
    seen = []

    class FakeJson:
        @staticmethod
        def dumps(obj, **kwargs):
            seen.append((obj, kwargs))
            return "<fake>"

    host = recording_host()
    content = {"a": 1}
    monkeypatch.setattr(broadcast, "json", FakeJson)
    run(host.send_json_async(Socket("a"), content))
    assert seen == [(content, {"ensure_ascii": False})] and seen[0][0] is content
    assert host.calls[0][1] == "<fake>"
    monkeypatch.undo()
    run(host.send_json_async(Socket("a"), content))
    assert host.calls[1][1] == '{"a": 1}'


def test_send_hook_is_looked_up_on_cls_at_each_call():
    host = recording_host()
    run(host.send_json_async(Socket("a"), {"n": 1}))
    later = []

    async def replaced(cls, websocket, message):
        later.append(message)

    host.send_message_async = classmethod(replaced)
    run(host.send_json_async(Socket("a"), {"n": 2}))
    assert [m for _, m in host.calls] == ['{"n": 1}']
    assert later == ['{"n": 2}']
