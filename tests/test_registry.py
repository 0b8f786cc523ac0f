"""The subscriber registry: subscribe, disconnect and the connection hooks."""
import pytest

import broadcast
from support.broadcasting import Socket, clean_registry, make_host, registered, run, sockets  # noqa: F401

FIXED_KEYS = ["data_scope", "catalog", "show_hidden", "start_seq", "acl"]


@pytest.fixture
def host():
    class Host(broadcast.Broadcaster):
        active_connections = {}
    return Host


def test_subscribe_defaults_and_returns_the_stored_dict(host):
    ws = Socket("a")
    params = run(host.subscribe(ws, "Document"))
    assert list(host.active_connections) == ["Document"]
    stored = host.active_connections["Document"][ws]
    assert stored is params
    assert list(params.items()) == [("data_scope", None), ("catalog", None), ("show_hidden", False),
                                    ("start_seq", ""), ("acl", None)]
    params["catalog"] = {"x": 1}
    assert host.active_connections["Document"][ws]["catalog"] == {"x": 1}


def test_values_are_stored_as_passed_without_copies(host):
    ws, scope, catalog, acl = Socket("a"), ["eu"], {"id": 1}, object()
    run(host.subscribe(ws, "Document", data_scope=scope, catalog=catalog, show_hidden=1,
                       start_seq=7, acl=acl))
    params = host.active_connections["Document"][ws]
    assert params["data_scope"] is scope and params["catalog"] is catalog and params["acl"] is acl
    assert params["show_hidden"] == 1 and params["start_seq"] == 7
    scope.append("us")
    assert params["data_scope"] == ["eu", "us"]


@pytest.mark.parametrize("extra", [{}, {"x": 1, "y": 2}, {"y": 2, "x": 1}, {"kwargs": 3, "cls_": 4}])
def test_extra_keywords_follow_the_fixed_keys_in_call_order(host, extra):
    params = run(host.subscribe(Socket("a"), "Document", start_seq="3", **extra))
    assert list(params) == FIXED_KEYS + list(extra)
    assert [params[k] for k in extra] == list(extra.values())
    assert params["start_seq"] == "3"


def test_seven_positional_arguments_bind_in_order(host):
    ws, acl = Socket("a"), object()
    params = run(host.subscribe(ws, "Doc", ["s"], {"c": 1}, True, "9", acl))
    assert list(params.values()) == [["s"], {"c": 1}, True, "9", acl]
    assert host.active_connections == {"Doc": {ws: params}}


@pytest.mark.parametrize("args, kwargs", [
    ((Socket("a"), "Doc", None, None, False, "", None, "eighth"), {}),
    ((Socket("a"),), {}),
    ((), {"class_name": "Doc"}),
    ((Socket("a"), "Doc"), {"class_name": "Other"}),
    ((Socket("a"), "Doc", None), {"data_scope": None}),
    ((Socket("a"), "Doc"), {"cls": object}),
])
def test_binding_errors_are_raised_by_the_call(host, args, kwargs):
    with pytest.raises(TypeError):
        host.subscribe(*args, **kwargs)
    assert host.active_connections == {}


def test_resubscribe_replaces_parameters_and_keeps_position(host):
    a, b, c = sockets("a", "b", "c")
    for ws in (a, b, c):
        run(host.subscribe(ws, "Doc"))
    first = host.active_connections["Doc"][b]
    second = run(host.subscribe(b, "Doc", start_seq="5", note="x"))
    assert second is not first
    assert registered(host, "Doc") == ["a", "b", "c"]
    assert host.active_connections["Doc"][b] is second
    assert second["start_seq"] == "5" and second["note"] == "x"


def test_registry_keeps_insertion_order_of_classes_and_subscribers(host):
    a, b, c = sockets("a", "b", "c")
    run(host.subscribe(b, "Invoice"))
    run(host.subscribe(a, "Document"))
    run(host.subscribe(c, "Invoice"))
    run(host.subscribe(a, "Invoice"))
    assert list(host.active_connections) == ["Invoice", "Document"]
    assert registered(host, "Invoice") == ["b", "c", "a"]


def test_one_websocket_under_two_classes_then_disconnect(host):
    a, b = sockets("a", "b")
    pa = run(host.subscribe(a, "A"))
    pb = run(host.subscribe(a, "B"))
    run(host.subscribe(b, "B"))
    assert pa is not pb and pa == pb
    assert host.disconnect(a) is None
    assert host.active_connections == {"A": {}, "B": {b: host.active_connections["B"][b]}}
    host.disconnect(b)
    assert host.active_connections == {"A": {}, "B": {}}


def test_disconnect_of_unknown_websocket_changes_nothing(host):
    assert host.disconnect(Socket("never")) is None
    assert host.active_connections == {}
    a = Socket("a")
    params = run(host.subscribe(a, "Doc"))
    assert host.disconnect(Socket("other")) is None
    assert host.active_connections == {"Doc": {a: params}}


def test_websocket_identity_follows_its_own_equality(host):
    # Two equal keys are one connection: the second subscription replaces the first.
    run(host.subscribe("conn-1", "Doc", start_seq="1"))
    run(host.subscribe("conn-" + "1", "Doc", start_seq="2"))
    assert list(host.active_connections["Doc"].values())[0]["start_seq"] == "2"
    host.disconnect("conn-1")
    assert host.active_connections == {"Doc": {}}


def test_disconnect_finds_each_websocket_among_many_and_after_removals(host):
    class Twin:
        """Equal to every other Twin and hashed alike: finding one runs its comparison."""
        def __eq__(self, other):
            return isinstance(other, Twin)

        def __hash__(self):
            return 12345

    many = sockets(*(f"s{i}" for i in range(3000)))
    for i, ws in enumerate(many):
        run(host.subscribe(ws, f"Doc{i % 3}"))
    for ws in many[::2]:  # leaves removed slots behind in every table
        host.disconnect(ws)
    assert sum(map(len, host.active_connections.values())) == 1500
    for ws in many[1::2]:
        host.disconnect(ws)
    assert host.active_connections == {"Doc0": {}, "Doc1": {}, "Doc2": {}}
    twin = Twin()
    run(host.subscribe(twin, "Doc1"))
    host.disconnect(Twin())  # an equal websocket is the same connection
    assert host.active_connections["Doc1"] == {}


def test_unhashable_class_name_leaves_registry_unchanged(host):
    run(host.subscribe(Socket("a"), "Doc"))
    before = {k: dict(v) for k, v in host.active_connections.items()}
    with pytest.raises(TypeError):
        run(host.subscribe(Socket("b"), ["Doc"]))
    assert host.active_connections == before


def test_unhashable_websocket_leaves_an_empty_class_entry(host):
    with pytest.raises(TypeError):
        run(host.subscribe([], "Doc"))
    assert host.active_connections == {"Doc": {}}


def test_disconnect_with_unhashable_websocket(host):
    assert host.disconnect([]) is None  # empty registry: nothing is looked up
    a = Socket("a")
    run(host.subscribe(a, "Doc"))
    with pytest.raises(TypeError):
        host.disconnect({})
    assert registered(host, "Doc") == ["a"]


def test_subscribe_not_awaited_changes_nothing(host):
    coro = host.subscribe(Socket("a"), "Doc")
    assert host.active_connections == {}
    coro.close()
    assert host.active_connections == {}


def test_connection_hooks_of_the_base_class(host):
    ws = Socket("a")
    for value in (ws, None, 0, []):
        assert host.subscriber_is_connected(value) is True
        assert broadcast.Broadcaster.subscriber_is_connected(value) is True
    assert run(host.accept(ws)) is None
    assert host.active_connections == {}


def test_subclass_without_own_registry_shares_the_base_one(clean_registry):
    class Shared(broadcast.Broadcaster):
        pass

    class Own(broadcast.Broadcaster):
        active_connections = {}

    a, b = sockets("a", "b")
    run(Shared.subscribe(a, "Doc"))
    run(Own.subscribe(b, "Doc"))
    assert broadcast.Broadcaster.active_connections is clean_registry
    assert list(clean_registry) == ["Doc"] and list(clean_registry["Doc"]) == [a]
    assert list(Own.active_connections["Doc"]) == [b]
    broadcast.Broadcaster.disconnect(a)
    assert clean_registry == {"Doc": {}}
    assert list(Own.active_connections["Doc"]) == [b]


def test_registry_is_reached_through_cls_at_each_step():
    """A registry that is swapped on the class between calls is the one written."""
    class Host(broadcast.Broadcaster):
        active_connections = {}

    first = Host.active_connections
    run(Host.subscribe(Socket("a"), "Doc"))
    Host.active_connections = second = {}
    run(Host.subscribe(Socket("b"), "Doc"))
    assert registered(Host, "Doc") == ["b"]
    assert [ws.name for ws in first["Doc"]] == ["a"]
    assert second is Host.active_connections


def test_hooks_are_looked_up_on_the_subclass():
    host = make_host()
    a = Socket("a")
    run(host.subscribe(a, "Doc"))
    host.disconnect(a)
    assert host.log == [("disconnect", "a")]
    assert host.active_connections == {"Doc": {}}
