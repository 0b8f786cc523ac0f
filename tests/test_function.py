"""The module's function objects behave like Python functions: attributes, binding, repr, call errors.

Every expectation is taken from a real Python function given the same treatment, so a difference in
exception type or message is a fault of the module's function type.
"""
import functools
import gc
import inspect
import pydoc
import re
import subprocess
import sys
import traceback
import types
from unittest import mock

import pytest

import broadcast
from support.expected_surface import (
    BROADCASTER_METHODS, IS_REFERENCE, SYNC_WRAPPER_FIRST_LINE, make_twins, native_only)

Broadcaster = broadcast.Broadcaster
AuthClient = broadcast.AuthClient
TWINS = make_twins(broadcast)
TwinBroadcaster = TWINS["Broadcaster"]
TwinAuthClient = TWINS["AuthClient"]

SNAPSHOT_ATTRS = ("__dict__", "__name__", "__qualname__", "__module__", "__doc__", "__defaults__", "__kwdefaults__",
                  "__annotations__")


def outcome(action):
    try:
        action()
    except Exception as exc:  # noqa: BLE001 - the exception is the observation
        return type(exc), str(exc)
    return None


def _snapshot(func):
    return {attr: getattr(func, attr) for attr in SNAPSHOT_ATTRS}


def _restore(func, saved):
    for attr, value in saved.items():
        setattr(func, attr, value)


def _fresh_python_function():
    def need_auth(*args, **kwargs):
        return None
    return need_auth


def _target():
    """Decorated target."""


# Native function objects to put through attribute tests: fresh wrappers and the module's own functions
# (the latter are restored afterwards).
TARGETS = {
    "auth_required wrapper": lambda: broadcast.auth_required(_target),
    "auth_required_async wrapper": lambda: broadcast.auth_required_async(_target),
    "AuthClient.get_api_acl": lambda: vars(AuthClient)["get_api_acl"],
    "Broadcaster.disconnect": lambda: vars(Broadcaster)["disconnect"].__func__,
    "Broadcaster.accept": lambda: vars(Broadcaster)["accept"].__func__,
    "Broadcaster.document_sent_async": lambda: vars(Broadcaster)["document_sent_async"].__func__,
}


@pytest.fixture(params=list(TARGETS))
def native_func(request):
    func = TARGETS[request.param]()
    saved = _snapshot(func)
    yield func
    _restore(func, saved)


# ------------------------------------------------------------------------------------- attributes

BAD_SETS = [
    ("__name__", 1), ("__name__", None), ("__qualname__", 1), ("__qualname__", b"x"),
    ("__defaults__", 1), ("__defaults__", [1]), ("__kwdefaults__", 1), ("__kwdefaults__", ()),
    ("__annotations__", 1), ("__annotations__", [("a", int)]), ("__dict__", 1), ("__dict__", None),
]
GOOD_SETS = [
    ("__name__", "renamed"), ("__qualname__", "Some.where"), ("__defaults__", (1, 2)), ("__defaults__", None),
    ("__kwdefaults__", {"k": 1}), ("__kwdefaults__", None), ("__annotations__", {"x": int}),
    ("__annotations__", None), ("__doc__", "new doc"), ("__doc__", None), ("__doc__", 5),
    ("__module__", "elsewhere"), ("__module__", None), ("__dict__", {"a": 1}),
]
DELETES = ["__name__", "__qualname__", "__defaults__", "__kwdefaults__", "__annotations__", "__dict__", "__doc__",
           "__module__"]


@native_only
@pytest.mark.parametrize("attr, value", BAD_SETS, ids=lambda v: repr(v))
def test_bad_assignment_fails_like_a_python_function(native_func, attr, value):
    before = getattr(native_func, attr)
    expected = outcome(lambda: setattr(_fresh_python_function(), attr, value))
    assert expected is not None
    assert outcome(lambda: setattr(native_func, attr, value)) == expected
    assert getattr(native_func, attr) == before


@pytest.mark.parametrize("attr, value", GOOD_SETS, ids=lambda v: repr(v))
def test_good_assignment_reads_back_like_a_python_function(native_func, attr, value):
    twin = _fresh_python_function()
    setattr(twin, attr, value)
    setattr(native_func, attr, value)
    assert getattr(native_func, attr) == getattr(twin, attr)
    if attr == "__dict__":
        assert native_func.__dict__ is value
        assert native_func.a == 1


@native_only
@pytest.mark.parametrize("attr", DELETES)
def test_deletion_behaves_like_a_python_function(native_func, attr):
    twin = _fresh_python_function()
    expected = outcome(lambda: delattr(twin, attr))
    assert outcome(lambda: delattr(native_func, attr)) == expected
    if expected is None:
        assert getattr(native_func, attr) == getattr(twin, attr)


@native_only
@pytest.mark.parametrize("attr, value", [("__globals__", {}), ("__closure__", None),
                                         ("__code__", _target.__code__)])
def test_read_only_attributes(native_func, attr, value):
    with pytest.raises(AttributeError):
        setattr(native_func, attr, value)
    with pytest.raises(AttributeError):
        delattr(native_func, attr)


@native_only
def test_code_is_read_only_and_unchanged(native_func):
    code = native_func.__code__
    with pytest.raises(AttributeError):
        native_func.__code__ = _target.__code__
    assert native_func.__code__ is code


def test_instance_dict(native_func):
    assert isinstance(native_func.__dict__, dict)
    native_func.custom = [1]
    assert native_func.__dict__["custom"] == [1]
    assert vars(native_func) is native_func.__dict__
    del native_func.custom
    assert not hasattr(native_func, "custom")
    with pytest.raises(AttributeError):
        del native_func.custom
    with pytest.raises(AttributeError):
        native_func.not_there


def test_setting_qualname_changes_repr_and_error_messages():
    func = vars(Broadcaster)["disconnect"].__func__
    twin = vars(TwinBroadcaster)["disconnect"].__func__
    saved, saved_twin = _snapshot(func), _snapshot(twin)
    try:
        func.__qualname__ = twin.__qualname__ = "Elsewhere.renamed"
        assert repr(func) == f"<function Elsewhere.renamed at {id(func):#x}>"
        assert outcome(func) == outcome(twin)
        assert "Elsewhere.renamed()" in outcome(func)[1]
    finally:
        _restore(func, saved)
        _restore(twin, saved_twin)


# ------------------------------------------------------------------------------------------- repr


def test_repr_matches_python_functions():
    for name in BROADCASTER_METHODS:
        func = vars(Broadcaster)[name].__func__
        assert repr(func) == f"<function Broadcaster.{name} at {id(func):#x}>"
        assert repr(getattr(Broadcaster, name)) == f"<bound method Broadcaster.{name} of {Broadcaster!r}>"
    for func in (broadcast.auth_required, broadcast.auth_required_async, vars(AuthClient)["__init__"]):
        assert repr(func) == f"<function {func.__qualname__} at {id(func):#x}>"
    inner = Broadcaster.document_sent_async.__wrapped__
    assert re.fullmatch(r"<function Broadcaster\.document_sent_async at 0x[0-9a-f]+>", repr(inner))


# --------------------------------------------------------------------------------------- functools


def test_wraps_a_python_function_over_a_module_function():
    source = vars(Broadcaster)["subscribe"].__func__

    @functools.wraps(source)
    def wrapper(*args, **kwargs):
        return source(*args, **kwargs)

    for attr in ("__module__", "__name__", "__qualname__", "__doc__"):
        assert getattr(wrapper, attr) == getattr(source, attr)
    assert wrapper.__annotations__ is source.__annotations__
    assert wrapper.__wrapped__ is source
    assert inspect.signature(wrapper) == inspect.signature(source)
    assert inspect.iscoroutinefunction(source) and not inspect.iscoroutinefunction(wrapper)


def test_update_wrapper_between_module_functions():
    source = vars(Broadcaster)["send_json_async"].__func__
    wrapper = broadcast.auth_required_async(_target)
    functools.update_wrapper(wrapper, source)
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == (
        "send_json_async", "Broadcaster.send_json_async", source.__doc__)
    assert wrapper.__wrapped__ is source
    assert repr(wrapper) == f"<function Broadcaster.send_json_async at {id(wrapper):#x}>"
    assert str(inspect.signature(wrapper)) == "(cls, websocket, content: dict)"


def test_python_decorator_over_a_module_method_in_a_subclass():
    calls = []

    def logged(func):
        @functools.wraps(func)
        def inner(*args, **kwargs):
            calls.append(args)
            return func(*args, **kwargs)
        return inner

    class Host(Broadcaster):
        subscriber_is_connected = classmethod(logged(vars(Broadcaster)["subscriber_is_connected"].__func__))

    ws = object()
    assert Host.subscriber_is_connected(ws) is True
    assert calls == [(Host, ws)]
    assert Host.subscriber_is_connected.__qualname__ == "Broadcaster.subscriber_is_connected"


def test_module_decorator_over_a_module_function():
    raw = vars(Broadcaster)["subscriber_is_connected"].__func__
    wrapped = broadcast.auth_required(raw)
    assert wrapped.__wrapped__ is raw
    assert wrapped.__qualname__ == "Broadcaster.subscriber_is_connected"
    assert wrapped(Broadcaster, object()) is True
    assert classmethod(wrapped).__get__(None, Broadcaster)(object()) is True


# ------------------------------------------------------------------------------ introspection tools


def test_inspect_finds_methods_and_inherited_docs():
    assert [n for n, _ in inspect.getmembers(AuthClient, inspect.isfunction)] == ["__init__", "get_api_acl"]
    assert inspect.getdoc(AuthClient.__init__) == inspect.getdoc(object.__init__)
    assert pydoc.render_doc(AuthClient.get_api_acl).splitlines()[0] == (
        "Python Library Documentation: function get_api_acl in module " + broadcast.__name__)


def test_autospec_mocks_check_arguments_and_keep_self():
    for cls in (AuthClient, TwinAuthClient):
        with mock.patch.object(cls, "get_api_acl", autospec=True) as patched:
            client = cls()
            client.get_api_acl("key", "app")
            assert patched.call_args == mock.call(client, "key", "app")
            with pytest.raises(TypeError):
                client.get_api_acl()
    for decorator in (broadcast.auth_required, TWINS["auth_required"]):
        spec = mock.create_autospec(decorator)
        assert outcome(spec) == (TypeError, "missing a required argument: 'func'")
        assert outcome(lambda: spec(1, 2)) == (TypeError, "too many positional arguments")
        spec(_target)
        spec.assert_called_once_with(_target)


@native_only
def test_calls_from_hot_loops_run_the_native_body():
    # The interpreter specialises calls of exact functions only; the native body must still run.
    raw = vars(Broadcaster)["subscriber_is_connected"].__func__
    client = object.__new__(AuthClient)
    for _ in range(2000):
        assert raw(Broadcaster, 1) is True
        assert Broadcaster.subscriber_is_connected(1) is True
        client.__init__("https://h/")
    assert client.user_root == "https://h/user"


@native_only
def test_the_interpreters_own_descriptors_share_the_head():
    func = broadcast.auth_required(_target)
    base = vars(types.FunctionType)
    for attr in ("__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__",
                 "__annotations__", "__dict__", "__globals__", "__builtins__", "__closure__", "__code__"):
        assert base[attr].__get__(func) is getattr(func, attr), attr
    base["__qualname__"].__set__(func, "Q.renamed")
    assert repr(func) == f"<function Q.renamed at {id(func):#x}>"
    init = vars(AuthClient)["__init__"]
    saved = init.__defaults__
    try:
        base["__defaults__"].__set__(init, ("https://other/",))
        assert init.__defaults__ == ("https://other/",)
        assert AuthClient().role_root == "https://other/role"
    finally:
        init.__defaults__ = saved


@native_only
def test_made_only_by_the_module():
    func = vars(AuthClient)["get_api_acl"]
    with pytest.raises(TypeError):
        type(func)(func.__code__, {})
    with pytest.raises(TypeError):
        types.FunctionType.__new__(type(func), func.__code__, {})


# ---------------------------------------------------------------------------------------- binding


def test_classmethod_binds_the_class_and_subclasses():
    class Sub(Broadcaster):
        pass

    for name in BROADCASTER_METHODS:
        assert getattr(Sub, name).__self__ is Sub
        assert getattr(Sub, name).__func__ is vars(Broadcaster)[name].__func__
        assert getattr(Sub(), name).__self__ is Sub
    assert Sub.subscriber_is_connected(websocket=1) is True


def test_plain_function_binding():
    raw = vars(AuthClient)["get_api_acl"]
    assert AuthClient.get_api_acl is raw
    assert raw.__get__(None, AuthClient) is raw
    client = object.__new__(AuthClient)
    bound = client.get_api_acl
    assert type(bound) is types.MethodType
    assert bound.__self__ is client and bound.__func__ is raw
    assert bound == client.get_api_acl
    assert str(inspect.signature(bound)) == "(api_key: str, app_name: str, api_id: str = '')"
    assert raw.__get__(client).__self__ is client


def test_module_function_stored_on_a_user_class():
    raw = vars(Broadcaster)["subscriber_is_connected"].__func__

    class K:
        ping = raw
        still = staticmethod(raw)

    assert K().ping("ws") is True
    assert K.still(1, 2) is True
    assert outcome(K.ping) == (TypeError, "Broadcaster.subscriber_is_connected() missing 2 required positional "
                                          "arguments: 'cls' and 'websocket'")


# ----------------------------------------------------------------------------- argument binding errors

P = inspect.Parameter


def _binding_cases(signature):
    params = list(signature.parameters.values())
    positional = [p for p in params if p.kind in (P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD)]
    required = [p for p in positional if p.default is P.empty]
    req_values = tuple(range(len(required)))
    cases = [((), {}), ((0,), {}), (tuple(range(len(positional) + 1)), {}), (tuple(range(len(positional) + 3)), {}),
             (req_values, {"zzz": 1}), (req_values, {"zzz": 1, "yyy": 2})]
    if positional:
        cases.append(((0,) + req_values[1:], {positional[0].name: 1}))
        cases.append(((), {p.name: 0 for p in positional}))
    if len(required) > 1:
        cases.append(((), {p.name: 0 for p in required[1:]}))
        cases.append(((), {p.name: 0 for p in required[:-1]}))
    cases.append((req_values, {1: 2}))
    return cases


def _call_star(func, args, kwargs):
    return func(*args, **kwargs)


def _call_literal(func, args, kwargs):
    text = ", ".join([repr(a) for a in args] + [f"{k}={v!r}" for k, v in kwargs.items()])
    return eval(f"func({text})", {"func": func})


def _call_outcome(caller, func, args, kwargs):
    try:
        result = caller(func, args, kwargs)
    except TypeError as exc:
        return "raise", str(exc)
    if inspect.iscoroutine(result) or hasattr(result, "close"):
        result.close()
    return "ok", None


def _binding_targets():
    client, twin_client = object.__new__(AuthClient), TwinAuthClient()
    targets = [
        ("auth_required", broadcast.auth_required, TWINS["auth_required"]),
        ("auth_required_async", broadcast.auth_required_async, TWINS["auth_required_async"]),
        ("AuthClient()", AuthClient, TwinAuthClient),
        ("AuthClient.get_api_acl", AuthClient.get_api_acl, TwinAuthClient.get_api_acl),
        ("client.get_api_acl", client.get_api_acl, twin_client.get_api_acl),
        ("Broadcaster.document_sent_async.__wrapped__", Broadcaster.document_sent_async.__wrapped__,
         TwinBroadcaster.document_sent_async.__wrapped__),
    ]
    for name in BROADCASTER_METHODS:
        targets.append(("Broadcaster." + name, getattr(Broadcaster, name), getattr(TwinBroadcaster, name)))
        if name != "document_sent_async":
            targets.append(("raw Broadcaster." + name, vars(Broadcaster)[name].__func__,
                            vars(TwinBroadcaster)[name].__func__))
    return targets


BINDING_TARGETS = _binding_targets()


@pytest.mark.parametrize("name, func, twin", BINDING_TARGETS, ids=[t[0] for t in BINDING_TARGETS])
def test_argument_binding_errors_match_python(name, func, twin):
    mismatches = []
    for args, kwargs in _binding_cases(inspect.signature(twin)):
        callers = [_call_star] if any(not isinstance(k, str) for k in kwargs) else [_call_star, _call_literal]
        for caller in callers:
            expected = _call_outcome(caller, twin, args, kwargs)
            if expected[0] == "ok" and not inspect.iscoroutinefunction(twin):
                continue  # a successful call would run the real body
            got = _call_outcome(caller, func, args, kwargs)
            if got != expected:
                mismatches.append((caller.__name__, args, kwargs, expected, got))
    assert mismatches == []


def test_some_messages_verbatim():
    assert outcome(Broadcaster.subscribe) == (
        TypeError, "Broadcaster.subscribe() missing 2 required positional arguments: 'websocket' and 'class_name'")
    assert outcome(lambda: Broadcaster.subscribe(*range(8))) == (
        TypeError, "Broadcaster.subscribe() takes from 3 to 8 positional arguments but 9 were given")
    assert outcome(lambda: Broadcaster.disconnect(1, websocket=2)) == (
        TypeError, "Broadcaster.disconnect() got multiple values for argument 'websocket'")
    assert outcome(lambda: Broadcaster.accept(1, bogus=2)) == (
        TypeError, "Broadcaster.accept() got an unexpected keyword argument 'bogus'")
    assert outcome(lambda: AuthClient(1, 2)) == (
        TypeError, "AuthClient.__init__() takes from 1 to 2 positional arguments but 3 were given")
    coro = Broadcaster.subscribe(object(), "Doc", extra=1)
    coro.close()


def test_failed_calls_release_their_arguments():
    args = [object() for _ in range(3)]
    kw_value = object()
    before = [sys.getrefcount(a) for a in args] + [sys.getrefcount(kw_value)]
    for _ in range(200):
        for call in (lambda: Broadcaster.disconnect(*args),
                     lambda: Broadcaster.send_json_async(*args, bogus=kw_value),
                     lambda: Broadcaster.subscribe(args[0], class_name=args[1], websocket=kw_value),
                     lambda: Broadcaster.document_sent_async.__wrapped__(cls=args[0], doc=args[1], op=kw_value,
                                                                          seq=args[2])):
            try:
                call()
            except TypeError:
                pass
    gc.collect()
    assert [sys.getrefcount(a) for a in args] + [sys.getrefcount(kw_value)] == before


def test_defaults_read_after_keywords_are_matched():
    # A keyword whose comparison replaces __defaults__: the interpreter binds the new defaults.
    init = vars(AuthClient)["__init__"]

    def twin(self, api_root="kept"):
        self.api_root = api_root

    def key_for(func):
        class Key(str):
            def __eq__(self, other):
                func.__defaults__ = ("replaced/",)
                return str.__eq__(self, other)
            __hash__ = str.__hash__
        return Key("self")

    saved = init.__defaults__
    try:
        client, twin_client = object.__new__(AuthClient), object.__new__(AuthClient)
        init(**{key_for(init): client})
        twin(**{key_for(twin): twin_client})
        assert client.api_root == twin_client.api_root == "replaced/"
    finally:
        init.__defaults__ = saved


@native_only
def test_a_long_chain_of_functions_is_freed():
    # Each wrapper holds the previous one; freeing the last frees them all without exhausting the C stack.
    script = (
        "import broadcast\n"
        "def target(): pass\n"
        "prev = None\n"
        "for _ in range(200_000):\n"
        "    f = broadcast.auth_required(target)\n"
        "    f.__doc__ = prev\n"
        "    prev = f\n"
        "del f, prev\n"
        "print('freed')\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "freed\n"), done.stderr[-2000:]


# --------------------------------------------------------------------------- tracebacks and recursion


class _Registry(dict):
    def items(self):
        raise LookupError("items")


class _Doc:
    def __init__(self, fail):
        self.fail = fail

    def check_scope(self, data_scope):
        if self.fail == "check_scope":
            raise LookupError("scope")

    def get_display_data(self, catalog, show_hidden):
        return {}

    def check_acl(self, *args):
        raise LookupError("acl")


def _failing(*args, **kwargs):
    raise LookupError("inner")


class _Requests:
    @staticmethod
    def post(*args, **kwargs):
        raise LookupError("post")


def _empty_acl():
    return types.SimpleNamespace(content=[])


# (call, the entries the exception's traceback ends with: the module function's, then those of the host
# code it was in, by name)
TRACEBACK_CASES = {
    "get_message_body": (lambda: Broadcaster.get_message_body(_Doc("check_scope"), [], {}, False),
                         ["get_message_body", "check_scope"]),
    "check_subscriber_acl": (lambda: Broadcaster.check_subscriber_acl(_Doc("check_acl"), None),
                             ["check_subscriber_acl", "check_acl"]),
    "disconnect": (lambda: type("Host", (Broadcaster,), {"active_connections": _Registry()}).disconnect(1),
                   ["disconnect", "items"]),
    "sync need_auth": (lambda: broadcast.auth_required(_failing)(1, k=2), ["need_auth", "_failing"]),
    "sync need_auth refusing": (lambda: broadcast.auth_required(_failing)(acl=_empty_acl()), ["need_auth"]),
    "AuthClient.__init__": (lambda: AuthClient(1), ["__init__"]),
    "AuthClient.get_api_acl": (lambda: AuthClient().get_api_acl("k", "app"), ["get_api_acl", "post"]),
}


@pytest.mark.parametrize("case", TRACEBACK_CASES)
def test_exceptions_leaving_a_module_function_get_its_entry(case, monkeypatch):
    call, expected = TRACEBACK_CASES[case]
    monkeypatch.setattr(broadcast, "requests", _Requests)
    with pytest.raises(Exception) as info:
        call()
    entries = traceback.extract_tb(info.value.__traceback__)
    tail = entries[-len(expected):]
    assert [entry.name for entry in tail] == expected
    assert entries[-len(expected) - 1].name == "<lambda>"
    own = tail[0]
    assert own.filename == broadcast.__file__
    first_line = {"need_auth": SYNC_WRAPPER_FIRST_LINE}.get(own.name) or next(
        func.__code__.co_firstlineno for func in _module_functions() if func.__code__.co_name == own.name)
    # The line of the body's statement that failed, in the function's body.
    assert own.lineno > first_line


def _module_functions():
    yield from (vars(AuthClient)["__init__"], vars(AuthClient)["get_api_acl"])
    yield from (vars(Broadcaster)[name].__func__ for name in BROADCASTER_METHODS)


def test_successful_and_argument_errors_add_no_entry():
    # Binding fails before the function's frame would start: the interpreter adds no entry for it.
    with pytest.raises(TypeError) as info:
        Broadcaster.get_message_body()
    assert [entry.name for entry in traceback.extract_tb(info.value.__traceback__)] == [
        "test_successful_and_argument_errors_add_no_entry"]


def _recursion_depth(decorator):
    depth = 0

    @decorator
    def recurse():
        nonlocal depth
        depth += 1
        recurse()

    with pytest.raises(RecursionError) as info:
        recurse()
    return depth, str(info.value)


def test_guarded_recursion_stops_at_pythons_depth():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(400)
    try:
        native = _recursion_depth(broadcast.auth_required)
        twin = _recursion_depth(TWINS["auth_required"])
    finally:
        sys.setrecursionlimit(limit)
    assert native == twin
