"""The authorization decorators auth_required and auth_required_async."""
import asyncio
import gc
import os
import sys
import types

import pytest

import broadcast
from tolva_engine import Acl, AuthorizationError, Document
from support.broadcasting import run

EMPTY = [[], 0, "", {}, False, None, set(), (), 0.0]
FULL = [["Document"], True, 1, "*", {"read": []}]


def make_target(kind):
    """A decorated function of the given kind, with the list of calls that reached it."""
    calls = []
    if kind == "sync":
        def target(*args, **kwargs):
            calls.append((args, kwargs))
            return ("result", args)
        return broadcast.auth_required(target), calls, (lambda value: value)

    async def target(*args, **kwargs):
        await asyncio.sleep(0)
        calls.append((args, kwargs))
        return ("result", args)
    return broadcast.auth_required_async(target), calls, run


KINDS = ["sync", "async"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("kwargs", [{}, {"acl": None}, {"other": 1, "acl": None}])
def test_calls_without_an_acl_pass_unchanged(kind, kwargs):
    wrapped, calls, finish = make_target(kind)
    assert finish(wrapped(1, "two", **kwargs)) == ("result", (1, "two"))
    assert calls == [((1, "two"), kwargs)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("content", EMPTY)
def test_empty_acl_is_refused(kind, content):
    wrapped, calls, finish = make_target(kind)
    with pytest.raises(AuthorizationError) as info:
        finish(wrapped("x", acl=Acl(content)))
    assert info.value.args == ("User has empty ACL",)
    assert calls == []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("content", FULL)
def test_non_empty_acl_is_forwarded(kind, content):
    wrapped, calls, finish = make_target(kind)
    acl = Acl(content)
    assert finish(wrapped("x", acl=acl, more=2)) == ("result", ("x",))
    assert calls == [(("x",), {"acl": acl, "more": 2})]
    assert calls[0][1]["acl"] is acl
    assert list(calls[0][1]) == ["acl", "more"]


@pytest.mark.parametrize("kind", KINDS)
def test_positional_acl_is_never_inspected(kind):
    wrapped, calls, finish = make_target(kind)
    empty = Acl([])
    finish(wrapped(empty, {}))
    assert calls[0][0][0] is empty


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class RaisingContent:
    @property
    def content(self):
        raise LookupError("no content")


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("acl, error", [
    ({"content": ["x"]}, AttributeError),
    (object(), AttributeError),
    (RaisingContent(), LookupError),
    (Acl(BadTruth()), ZeroDivisionError),
])
def test_errors_of_the_check_propagate_and_func_is_not_called(kind, acl, error):
    wrapped, calls, finish = make_target(kind)
    with pytest.raises(error):
        finish(wrapped(acl=acl))
    assert calls == []


@pytest.mark.parametrize("kind", KINDS)
def test_the_same_acl_is_tested_again_on_every_call(kind):
    wrapped, calls, finish = make_target(kind)
    acl = Acl(["x"])
    finish(wrapped(acl=acl))
    acl.content = []
    with pytest.raises(AuthorizationError):
        finish(wrapped(acl=acl))
    assert len(calls) == 1


@pytest.mark.parametrize("kind", KINDS)
def test_func_exceptions_propagate(kind):
    err = KeyError("inner")

    def sync(*a, **k):
        raise err

    async def coro(*a, **k):
        raise err

    wrapped = broadcast.auth_required(sync) if kind == "sync" else broadcast.auth_required_async(coro)
    with pytest.raises(KeyError) as info:
        wrapped(acl=Acl([1])) if kind == "sync" else run(wrapped(acl=Acl([1])))
    assert info.value is err


@pytest.mark.parametrize("kind", KINDS)
def test_authorization_error_is_read_from_the_module_at_each_use(kind, monkeypatch):
    class Refused(Exception):
        pass

    wrapped, calls, finish = make_target(kind)
    monkeypatch.setattr(broadcast, "AuthorizationError", Refused)
    with pytest.raises(Refused, match="User has empty ACL"):
        finish(wrapped(acl=Acl([])))
    monkeypatch.undo()
    with pytest.raises(AuthorizationError):
        finish(wrapped(acl=Acl([])))


@pytest.mark.parametrize("decorator", ["auth_required", "auth_required_async"])
def test_wraps_is_read_from_the_module_at_each_decoration(decorator, monkeypatch):
    seen = []

    def fake_wraps(func):
        seen.append(func)
        return lambda wrapper: ("decorated", wrapper)

    async def target():
        pass

    monkeypatch.setattr(broadcast, "wraps", fake_wraps)
    result = getattr(broadcast, decorator)(target)
    assert seen == [target]
    assert result[0] == "decorated" and result[1].__name__ == "need_auth"

    def failing(func):
        raise RuntimeError("wraps failed")

    monkeypatch.setattr(broadcast, "wraps", failing)
    with pytest.raises(RuntimeError, match="wraps failed"):
        getattr(broadcast, decorator)(target)


@pytest.mark.parametrize("kind", KINDS)
def test_wrapper_carries_the_metadata_of_func(kind):
    def target(a: int, *, b: str = "x") -> list:
        """Target docstring."""

    target.marker = 42
    decorate = broadcast.auth_required if kind == "sync" else broadcast.auth_required_async
    wrapped = decorate(target)
    assert wrapped.__wrapped__ is target
    for name in ("__name__", "__qualname__", "__doc__", "__module__"):
        assert getattr(wrapped, name) == getattr(target, name)
    assert wrapped.__annotations__ == target.__annotations__
    assert wrapped.marker == 42
    assert decorate(target) is not wrapped
    assert callable(wrapped)


def test_async_wrapper_checks_only_when_awaited():
    async def target(acl=None):
        return "body ran"

    wrapped = broadcast.auth_required_async(target)
    assert asyncio.iscoroutinefunction(wrapped)
    coro = wrapped(acl=Acl([]))  # creating the coroutine checks nothing
    with pytest.raises(AuthorizationError):
        coro.send(None)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


@pytest.mark.parametrize("kind", KINDS)
def test_func_is_read_from_the_closure_when_the_body_gets_there(kind):
    wrapped, calls, finish = make_target(kind)
    cell = wrapped.__closure__[0]
    original = cell.cell_contents
    del cell.cell_contents
    message = "cannot access free variable 'func' where it is not associated with a value in enclosing scope"
    if kind == "async":
        pending = wrapped(1)  # making the coroutine reads nothing yet
        cell.cell_contents = original
        assert finish(pending) == ("result", (1,))
        del cell.cell_contents
        pending = wrapped(2, acl=Acl([]))
        with pytest.raises(AuthorizationError):  # the check comes before func is read
            pending.send(None)
    else:
        with pytest.raises(AuthorizationError):
            wrapped(2, acl=Acl([]))
    with pytest.raises(NameError, match=message):
        finish(wrapped(3))
    assert calls == ([((1,), {})] if kind == "async" else [])


@pytest.mark.skipif(os.environ.get("BROADCAST_IMPL") == "reference",
                    reason="a Python coroutine takes its names from the function, after wraps")
def test_async_wrapper_coroutine_keeps_the_wrapper_names():
    async def target():
        pass

    coro = broadcast.auth_required_async(target)()
    try:
        assert coro.__name__ == "need_auth"
        assert coro.__qualname__ == "auth_required_async.<locals>.need_auth"
    finally:
        coro.close()


def test_sync_wrapper_is_not_a_coroutine_function():
    wrapped = broadcast.auth_required(lambda: 1)
    assert not asyncio.iscoroutinefunction(wrapped)
    assert wrapped() == 1


@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), (5, "int"), ([1], "list")])
def test_async_wrapper_of_non_awaitable_result(value, type_name):
    wrapped = broadcast.auth_required_async(lambda: value)
    with pytest.raises(TypeError) as info:
        run(wrapped())
    assert str(info.value) == f"object {type_name} can't be used in 'await' expression"


def test_async_wrapper_passes_send_and_throw_to_the_awaited_object():
    log = []

    @types.coroutine
    def conversation():
        got = yield "first"
        log.append(("got", got))
        try:
            yield "second"
        except ValueError as exc:
            log.append(("thrown", str(exc)))
        try:
            yield "third"
        finally:
            log.append("closed")

    wrapped = broadcast.auth_required_async(lambda: conversation())
    coro = wrapped()
    assert coro.send(None) == "first"
    assert coro.send("hello") == "second"
    assert coro.throw(ValueError("boom")) == "third"
    coro.close()
    assert log == [("got", "hello"), ("thrown", "boom"), "closed"]


def test_async_wrapper_result_through_stop_iteration():
    @types.coroutine
    def answer():
        yield
        return (1, 2)

    coro = broadcast.auth_required_async(lambda: answer())()
    coro.send(None)
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == (1, 2)


def _signatures():
    """Coroutine functions of the shapes a guarded function takes, with a closure for some."""
    outer = "outer"

    async def plain(a, b=2, acl=None):
        return ("plain", a, b)

    async def posonly(a, /, b=2, *, acl=None):
        return ("posonly", a, b)

    async def closure(a, acl=None):
        return ("closure", a, outer)

    async def cell(a, acl=None):
        return ("cell", (lambda: a)())

    async def star(*args, acl=None, **kwargs):
        return ("star", args, kwargs)

    def sync(a, b=2, acl=None):
        return ("sync", a, b, (lambda: a)())

    return [plain, posonly, closure, cell, star, sync]


@pytest.mark.parametrize("func", _signatures(), ids=lambda f: f.__name__)
@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}), ((1, 3), {}), ((), {"a": 1}), ((1,), {"b": 4}), ((1,), {"acl": None}),
    ((1,), {"".join(["a", "cl"]): None}),  # a keyword name that is not the parameter's own object
    ((), {}), ((1, 2, 3, 4), {}), ((1,), {"a": 2}), ((1,), {"c": 1}), ((), {"b": 1}),
])
def test_async_wrapper_binds_arguments_as_the_function_would(func, args, kwargs):
    finish = (lambda value: value) if func.__name__ == "sync" else run
    decorator = broadcast.auth_required if func.__name__ == "sync" else broadcast.auth_required_async

    def outcome(call):
        try:
            return finish(call())
        except TypeError as exc:
            return type(exc), str(exc).replace("need_auth", func.__name__)
    expected = outcome(lambda: func(*args, **kwargs))
    assert outcome(lambda: decorator(func)(*args, **kwargs)) == expected


def test_frames_of_a_guarded_call_outlive_it_as_the_interpreter_leaves_them():
    kept = []

    def target(a, b=2, acl=None):
        c = a + b
        kept.append(sys._getframe())
        if a < 0:
            raise ValueError(c)
        return c

    guarded = broadcast.auth_required(target)
    assert guarded(1) == 3
    with pytest.raises(ValueError) as info:
        guarded(-5, b=1)
    first = target.__code__.co_firstlineno
    for frame, values, line in ((kept[0], {"a": 1, "b": 2, "c": 3}, first + 5),
                                (info.traceback[-1].frame.raw, {"a": -5, "b": 1, "c": -4}, first + 4)):
        assert frame.f_code is target.__code__ and frame.f_lineno == line
        assert frame.f_locals == dict(values, acl=None, kept=kept)
        assert frame.f_back.f_code.co_name == "need_auth"
    assert kept[1] is info.traceback[-1].frame.raw


def test_async_wrapper_not_awaited_never_calls_func():
    calls = []
    wrapped = broadcast.auth_required_async(lambda **kw: calls.append(kw))
    coro = wrapped(acl=Acl([]))
    coro.close()
    assert calls == []


class TestDocumentSentAcl:
    """The fan-out reached through its guard with an `acl` keyword never starts."""

    @pytest.mark.parametrize("acl", [None, Acl(["Document"])])
    def test_passing_acl_is_an_unexpected_keyword(self, acl):
        with pytest.raises(TypeError, match="acl"):
            run(broadcast.Broadcaster.document_sent_async(Document(), "create", "1", acl=acl))

    def test_empty_acl_is_refused(self):
        with pytest.raises(AuthorizationError, match="User has empty ACL"):
            run(broadcast.Broadcaster.document_sent_async(Document(), "create", "1", acl=Acl([])))

    def test_calling_without_awaiting_does_nothing(self):
        doc = Document()
        coro = broadcast.Broadcaster.document_sent_async(doc, "create", "1", acl=Acl([]))
        coro.close()
        assert doc.calls == []

    def test_cls_cannot_be_passed_by_keyword(self):
        inner = broadcast.Broadcaster.document_sent_async.__wrapped__
        with pytest.raises(TypeError):
            inner(cls=broadcast.Broadcaster, doc=Document(), op="x", seq="1")


@pytest.mark.parametrize("kind", KINDS)
def test_reference_counts_return_after_many_calls(kind):
    wrapped, calls, finish = make_target(kind)
    acl, empty, arg = Acl(["x"]), Acl([]), object()
    gc.collect()
    before = [sys.getrefcount(o) for o in (acl, empty, arg)]

    async def many_async():
        for _ in range(200):
            await wrapped(arg, acl=acl)
            try:
                await wrapped(arg, acl=empty)
            except AuthorizationError:
                pass

    if kind == "async":
        run(many_async())
    else:
        for _ in range(200):
            wrapped(arg, acl=acl)
            try:
                wrapped(arg, acl=empty)
            except AuthorizationError:
                pass
    calls.clear()
    gc.collect()
    assert [sys.getrefcount(o) for o in (acl, empty, arg)] == before
