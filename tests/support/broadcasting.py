"""Helpers for the broadcasting tests: stand-in websockets and a recording host subclass."""
import asyncio
import json

import pytest

import broadcast


class Socket:
    """A stand-in websocket: hashable by identity, named so that failures read well."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"<Socket {self.name}>"


def sockets(*names):
    return [Socket(name) for name in names]


def run(coro):
    return asyncio.run(coro)


def subscribe_now(host, websocket, class_name="Document", **params):
    """Run ``host.subscribe`` to its end without an event loop (it never suspends)."""
    coro = host.subscribe(websocket, class_name, **params)
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError("subscribe suspended")


def make_host(*, on_send=None, base=None):
    """A Broadcaster subclass with a registry of its own that logs every hook it is asked.

    ``Host.log`` receives, in order: ("connected", name), ("acl", name-of-acl-or-None),
    ("body", data_scope), ("send", name), ("sent", name) and ("disconnect", name).
    ``Host.sent`` holds (websocket, json text) per delivered message.
    Websockets in ``Host.closed`` are reported as not connected.
    ``on_send(cls, websocket, text)``, when given, is awaited inside the send hook, between
    the "send" and "sent" entries; it is the place where other work can run meanwhile.
    """
    base = base or broadcast.Broadcaster

    class Host(base):
        active_connections = {}
        log = []
        sent = []
        closed = set()

        @classmethod
        def subscriber_is_connected(cls, websocket):
            cls.log.append(("connected", websocket.name))
            return websocket not in cls.closed

        @classmethod
        def check_subscriber_acl(cls, doc, acl):
            cls.log.append(("acl", getattr(acl, "content", acl)))
            return super().check_subscriber_acl(doc, acl)

        @classmethod
        def get_message_body(cls, doc, data_scope, catalog, show_hidden):
            cls.log.append(("body", data_scope))
            return super().get_message_body(doc, data_scope, catalog, show_hidden)

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.log.append(("send", websocket.name))
            if on_send is not None:
                await on_send(cls, websocket, message)
            cls.sent.append((websocket, message))
            cls.log.append(("sent", websocket.name))

        @classmethod
        def disconnect(cls, websocket):
            cls.log.append(("disconnect", websocket.name))
            return super().disconnect(websocket)

    return Host


def received(host):
    """Names of the websockets that were sent something, in order."""
    return [ws.name for ws, _ in host.sent]


def messages(host):
    return [(ws.name, json.loads(text)) for ws, text in host.sent]


def registered(host, class_name):
    return [ws.name for ws in host.active_connections.get(class_name, {})]


@pytest.fixture
def clean_registry():
    """Empty the shared Broadcaster registry around a test that writes into it."""
    shared = broadcast.Broadcaster.active_connections
    saved = dict(shared)
    shared.clear()
    yield shared
    shared.clear()
    shared.update(saved)
