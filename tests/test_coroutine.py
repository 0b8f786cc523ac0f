"""The coroutine objects the module hands out, driven by asyncio and by hand.

Where CPython defines the behaviour (the send/throw/close protocol, `await` delegation, the standard
errors), the expectation is what a Python `async def` with the same structure does with the same inputs.
"""
import asyncio
import collections.abc
import gc
import inspect
import json
import os
import sys
import traceback
import types
import warnings
import weakref

import pytest

import broadcast
from support.expected_surface import IS_REFERENCE, make_twins

Broadcaster = broadcast.Broadcaster
TWINS = make_twins(broadcast)
py_auth_required_async = TWINS["auth_required_async"]


class Holder:
    """A hashable, weak-referenceable stand-in for a websocket or a document."""


class Gate:
    """An awaitable whose iterator suspends once; `mode` decides what it does with what is thrown in."""

    def __init__(self, mode="plain"):
        self.mode = mode
        self.log = []

    def __await__(self):
        try:
            got = yield "ping"
        except GeneratorExit:
            self.log.append("closing")
            if self.mode == "stubborn":
                yield "still here"
            raise
        except Exception as exc:
            self.log.append(("caught", type(exc).__name__, str(exc)))
            if self.mode != "catching":
                raise
            got = yield ("recovered", type(exc).__name__)
        self.log.append(("got", got))
        if self.mode == "raising":
            raise ValueError("gate failed")
        return ("done", got)


class IterAwaitable:
    """__await__ hands out a plain iterator (no send/throw/close)."""

    def __await__(self):
        return iter(["a", "b"])


@types.coroutine
def _legacy(log):
    got = yield "legacy"
    log.append(("got", got))
    return ("legacy done", got)


def _awaited(kind):
    """A factory for a fresh awaited object (made only when the wrapper calls it), and its event log."""
    if kind.startswith("gate-"):
        gate = Gate(kind[5:])
        return (lambda: gate), gate.log
    if kind == "iterator":
        return IterAwaitable, []
    if kind == "legacy-generator":
        log = []
        return (lambda: _legacy(log)), log
    if kind == "python-coroutine":
        gate = Gate()

        async def run():
            return await gate
        return run, gate.log
    raise AssertionError(kind)


def make_host(gate_factory=None, plain_hook=False):
    """A fresh host subclass with its own registry; its send hook optionally awaits a gate."""

    class Host(Broadcaster):
        active_connections = {}
        sent = []
        gate = None

        @classmethod
        async def send_message_async(cls, websocket, message):
            cls.sent.append((websocket, message))
            if cls.gate is not None:
                return await cls.gate
            return "ignored by the caller"

    if plain_hook:
        Host.send_message_async = classmethod(lambda cls, websocket, message: cls.sent.append(message))
    if gate_factory is not None:
        Host.gate = gate_factory()
    return Host


def twin_send_json(host, websocket, content):
    """What send_json_async is, written as Python."""
    async def send_json_async():
        message = json.dumps(content, ensure_ascii=False)
        await host.send_message_async(websocket, message)
    return send_json_async()


def drive(coro):
    """Run a coroutine that never really suspends to its end by hand; return its value."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


# --------------------------------------------------------------------------------- hand-driven protocol

SCRIPTS = {
    "send-send": [("send", None), ("send", "v"), ("send", None)],
    "non-None-first": [("send", 1), ("send", None), ("send", "v")],
    "throw-suspended": [("send", None), ("throw", lambda: (ValueError("x"),)), ("send", None)],
    "throw-before-start": [("throw", lambda: (ValueError("x"),)), ("send", None)],
    "throw-type-only": [("send", None), ("throw", lambda: (KeyError,)), ("send", None)],
    "throw-three-args": [("send", None), ("throw", lambda: (KeyError, KeyError("k"), None))],
    "throw-GeneratorExit": [("send", None), ("throw", lambda: (GeneratorExit(),)), ("send", None)],
    "close-suspended": [("send", None), ("close",), ("send", None), ("close",)],
    "close-before-start": [("close",), ("send", None), ("throw", lambda: (ValueError("y"),))],
    "after-finish": [("send", None), ("send", "v"), ("send", None), ("throw", lambda: (ValueError("late"),)),
                     ("close",)],
}


def run_script(coro, script):
    record = []
    for step in script:
        try:
            if step[0] == "send":
                record.append(("yield", coro.send(step[1])))
            elif step[0] == "throw":
                record.append(("yield", coro.throw(*step[1]())))
            else:
                record.append(("closed", coro.close()))
        except StopIteration as stop:
            record.append(("return", stop.value))
        except BaseException as exc:  # noqa: BLE001 - the exception is the observation
            record.append(("raise", type(exc).__name__, str(exc)))
    for _ in range(3):  # leave nothing suspended behind (a stubborn gate needs a second close)
        try:
            coro.close()
            break
        except RuntimeError:
            pass
    return record


def _need_auth_pair(kind):
    """(native coroutine, its log), (Python coroutine, its log): need_auth awaiting `kind`."""
    native_factory, native_log = _awaited(kind)
    twin_factory, twin_log = _awaited(kind)
    return ((broadcast.auth_required_async(native_factory)(), native_log),
            (py_auth_required_async(twin_factory)(), twin_log))


AWAITED_KINDS = ["gate-plain", "gate-catching", "gate-stubborn", "gate-raising", "iterator", "legacy-generator",
                 "python-coroutine"]


@pytest.mark.parametrize("script", list(SCRIPTS))
@pytest.mark.parametrize("kind", AWAITED_KINDS)
def test_wrapper_coroutine_protocol_matches_python(kind, script):
    (native, native_log), (twin, twin_log) = _need_auth_pair(kind)
    expected = run_script(twin, SCRIPTS[script])
    assert run_script(native, SCRIPTS[script]) == expected
    assert native_log == twin_log


@pytest.mark.parametrize("script", list(SCRIPTS))
@pytest.mark.parametrize("mode", ["plain", "catching", "stubborn", "raising"])
def test_send_json_coroutine_protocol_matches_python(mode, script):
    ws, content = Holder(), {"k": "välue", "n": [1, 2]}
    native_host, twin_host = make_host(lambda: Gate(mode)), make_host(lambda: Gate(mode))
    expected = run_script(twin_send_json(twin_host, ws, content), SCRIPTS[script])
    assert run_script(native_host.send_json_async(ws, content), SCRIPTS[script]) == expected
    assert native_host.gate.log == twin_host.gate.log
    assert native_host.sent == twin_host.sent


class AwaitReturnsInt:
    def __await__(self):
        return 1


class AwaitReturnsCoroutine:
    def __await__(self):
        async def inner():
            pass
        coro = inner()
        coro.close()
        return coro


def _plain_generator():
    yield 1


def _raises_stop_iteration():
    raise StopIteration("escaped")


BAD_AWAITS = {
    "int": lambda: 5,
    "None": lambda: None,
    "plain generator": _plain_generator,
    "__await__ returns int": AwaitReturnsInt,
    "__await__ returns coroutine": AwaitReturnsCoroutine,
    "StopIteration from the callee": _raises_stop_iteration,
}


@pytest.mark.parametrize("case", list(BAD_AWAITS))
def test_awaiting_what_cannot_be_awaited(case):
    func = BAD_AWAITS[case]
    native = broadcast.auth_required_async(func)()
    twin = py_auth_required_async(func)()
    script = [("send", None), ("send", None)]
    expected = run_script(twin, script)
    assert expected[0][0] == "raise"
    assert run_script(native, script) == expected


def test_await_error_message_for_a_plain_send_hook():
    host = make_host(plain_hook=True)
    coro = host.send_json_async(Holder(), {"a": 1})
    with pytest.raises(TypeError) as info:
        coro.send(None)
    assert str(info.value) == "object NoneType can't be used in 'await' expression"
    assert host.sent == ['{"a": 1}']  # the hook ran before the await failed
    assert str(pytest.raises(TypeError, drive, broadcast.auth_required_async(lambda: 7)()).value) == (
        "object int can't be used in 'await' expression")


def test_tuple_and_exception_results_are_not_unpacked():
    async def gives(value):
        return value

    for value in [(1, 2), (), StopIteration("inner"), None, [3]]:
        assert drive(broadcast.auth_required_async(gives)(value)) == value


# --------------------------------------------------------------------------------------- object facts

COROUTINE_MAKERS = {
    "accept": (lambda: Broadcaster.accept(Holder()), "accept", "Broadcaster.accept"),
    "subscribe": (lambda: Broadcaster.subscribe(Holder(), "Doc"), "subscribe", "Broadcaster.subscribe"),
    "send_message_async": (lambda: Broadcaster.send_message_async(Holder(), "m"), "send_message_async",
                           "Broadcaster.send_message_async"),
    "send_json_async": (lambda: Broadcaster.send_json_async(Holder(), {}), "send_json_async",
                        "Broadcaster.send_json_async"),
    # The wrapper's coroutine keeps the wrapper's own names, whatever functools.wraps copied onto the
    # function. (A Python coroutine function would name its coroutine after the copied names instead.)
    "document_sent_async": (lambda: Broadcaster.document_sent_async(Holder(), "update", "1"), "need_auth",
                            "auth_required_async.<locals>.need_auth"),
}
WRAPPER_NAMES_DIFFER_FROM_PYTHON = {"document_sent_async"}


def _skip_wrapper_names_on_reference(method):
    if IS_REFERENCE and method in WRAPPER_NAMES_DIFFER_FROM_PYTHON:
        pytest.skip("the pure-Python reading names the wrapper's coroutine after the copied names")


@pytest.mark.parametrize("method", list(COROUTINE_MAKERS))
def test_coroutine_object_facts(method):
    _skip_wrapper_names_on_reference(method)
    make, name, qualname = COROUTINE_MAKERS[method]
    coro = make()
    try:
        assert (coro.__name__, coro.__qualname__) == (name, qualname)
        assert coro.cr_code is vars(Broadcaster)[method].__func__.__code__
        assert coro.cr_running is False
        assert coro.cr_await is None
        assert isinstance(coro, collections.abc.Coroutine)
        assert isinstance(coro, collections.abc.Awaitable)
        assert isinstance(coro, types.CoroutineType)
        assert asyncio.iscoroutine(coro) and inspect.iscoroutine(coro)
        assert inspect.isawaitable(coro)
        assert not hasattr(coro, "__iter__")
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
        frame = coro.cr_frame
        assert frame is coro.cr_frame and frame.f_code is coro.cr_code
        assert frame.f_code.co_filename.endswith("broadcast.py")
        with pytest.raises(TypeError, match="^'coroutine' object is not an iterator$"):
            next(coro)
        assert not hasattr(coro, "__next__") and not isinstance(coro, collections.abc.Iterator)
        awaiting = coro.__await__()
        assert awaiting is not coro and iter(awaiting) is awaiting
        assert coro.cr_origin is None
    finally:
        coro.close()
    assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None


def test_coroutine_names_are_writable_like_python_coroutines():
    async def twin():
        pass

    native, python = Broadcaster.accept(Holder()), twin()
    try:
        for value in ("renamed", 1, None):
            for attr in ("__name__", "__qualname__"):
                results = []
                for coro in (native, python):
                    try:
                        setattr(coro, attr, value)
                        results.append(("ok", getattr(coro, attr)))
                    except Exception as exc:  # noqa: BLE001
                        results.append((type(exc), str(exc)))
                assert results[0] == results[1], (attr, value)
    finally:
        native.close()
        python.close()


def test_cr_await_and_cr_running_while_suspended():
    host = make_host(lambda: Gate())
    coro = host.send_json_async(Holder(), {"x": 1})
    assert coro.send(None) == "ping"
    hook = coro.cr_await
    assert inspect.iscoroutine(hook) and hook.cr_code.co_name == "send_message_async"
    assert coro.cr_running is False
    with pytest.raises(StopIteration) as stop:
        coro.send("go")
    assert stop.value.value is None
    assert coro.cr_await is None

    gate = Gate()
    wrapper = broadcast.auth_required_async(lambda: gate)()
    assert wrapper.send(None) == "ping"
    assert inspect.isgenerator(wrapper.cr_await) and wrapper.cr_await.gi_code.co_name == "__await__"
    wrapper.close()
    assert wrapper.cr_await is None and gate.log == ["closing"]


@pytest.mark.parametrize("traced", [False, True], ids=["untraced", "traced"])
def test_awaited_from_python_code(traced):
    """`await` in an async def holds the coroutine itself (its cr_await), and steps it in another
    way while a trace function (a debugger, coverage) is set."""
    async def one():
        return 1

    def run(decorate):
        gate, seen = Gate(), []

        async def outer():
            inner = decorate(lambda: gate)()
            seen.append(inner)
            with pytest.raises(TypeError, match="^'coroutine' object is not an iterator$"):
                next(inner)
            return await inner, await decorate(one)()

        coro = outer()
        previous = sys.gettrace()
        if traced:
            sys.settrace(lambda frame, event, arg: None)
        try:
            record = [coro.send(None), coro.cr_await is seen[0]]
            try:
                coro.send("go")
            except StopIteration as stop:
                record.append(stop.value)
        finally:
            sys.settrace(previous)
        return record + gate.log

    assert run(broadcast.auth_required_async) == run(py_auth_required_async) == [
        "ping", True, (("done", "go"), 1), ("got", "go")]


@pytest.mark.parametrize("flavour", ["native", "python"])
def test_reentry_is_refused(flavour):
    seen = {}

    class Host(Broadcaster):
        active_connections = {}

        @classmethod
        async def send_message_async(cls, websocket, message):
            coro = seen["coro"]
            seen["running"] = coro.cr_running
            for name, poke in (("send", lambda: coro.send(None)), ("throw", lambda: coro.throw(KeyError("k")))):
                try:
                    poke()
                except ValueError as exc:
                    seen[name] = str(exc)

    ws = Holder()
    seen["coro"] = Host.send_json_async(ws, {}) if flavour == "native" else twin_send_json(Host, ws, {})
    assert drive(seen["coro"]) is None
    assert seen["running"] is True
    assert seen["send"] == seen["throw"] == "coroutine already executing"
    assert seen["coro"].cr_running is False


# ---------------------------------------------------------------------------------------------- asyncio


def test_asyncio_run_results():
    host = make_host()
    ws, scope, extra = Holder(), ["a"], object()
    assert asyncio.run(host.accept(ws)) is None
    params = asyncio.run(host.subscribe(ws, "Doc", scope, extra=extra))
    assert params is host.active_connections["Doc"][ws]
    assert params["data_scope"] is scope and params["extra"] is extra
    assert asyncio.run(Broadcaster.send_message_async(ws, "text")) is None
    assert asyncio.run(host.send_json_async(ws, {"ü": 1})) is None
    assert host.sent == [(ws, '{"ü": 1}')]
    assert asyncio.run(host.document_sent_async(Holder(), "update", "1")) is None

    async def gives_tuple():
        await asyncio.sleep(0)
        return (1, 2)
    assert asyncio.run(broadcast.auth_required_async(gives_tuple)()) == (1, 2)


def test_create_task_suspends_on_the_send_hook_and_resumes():
    async def main():
        loop = asyncio.get_running_loop()
        host = make_host(loop.create_future)
        ws = Holder()
        task = asyncio.create_task(host.send_json_async(ws, {"n": 1}))
        await asyncio.sleep(0)
        assert not task.done()
        assert "running at " in repr(task) and "broadcast.py:" in repr(task)
        assert [frame.f_code.co_name for frame in task.get_stack()] == ["send_json_async"]
        assert host.sent == [(ws, '{"n": 1}')]
        host.gate.set_result("ignored")
        assert await task is None

    asyncio.run(main())


def test_gather_runs_coroutines_side_by_side():
    async def main():
        loop = asyncio.get_running_loop()
        hosts = [make_host(loop.create_future) for _ in range(3)]
        sockets = [Holder() for _ in hosts]
        gathered = asyncio.gather(*(h.send_json_async(ws, {"i": i}) for i, (h, ws) in enumerate(zip(hosts, sockets))),
                                  Broadcaster.accept(Holder()), hosts[0].subscribe(sockets[0], "Doc"))
        await asyncio.sleep(0)
        assert [h.sent for h in hosts] == [[(ws, json.dumps({"i": i}))] for i, ws in enumerate(sockets)]
        for host in reversed(hosts):
            host.gate.set_result(None)
        results = await gathered
        assert results[:4] == [None, None, None, None]
        assert results[4] is hosts[0].active_connections["Doc"][sockets[0]]

    asyncio.run(main())


@pytest.mark.parametrize("hook_reaction", ["propagate", "cleanup-then-propagate", "swallow"])
def test_cancellation_reaches_the_awaited_hook(hook_reaction):
    log = []

    async def main():
        loop = asyncio.get_running_loop()
        gate = loop.create_future()

        class Host(Broadcaster):
            active_connections = {}

            @classmethod
            async def send_message_async(cls, websocket, message):
                try:
                    await gate
                except asyncio.CancelledError:
                    log.append("cancelled in hook")
                    if hook_reaction == "swallow":
                        return "swallowed"
                    raise
                finally:
                    log.append("hook left")

        task = asyncio.create_task(Host.send_json_async(Holder(), {}))
        await asyncio.sleep(0)
        task.cancel()
        if hook_reaction == "swallow":
            assert await task is None
            assert not task.cancelled()
        else:
            with pytest.raises(asyncio.CancelledError):
                await task
            assert task.cancelled()
        assert gate.cancelled()

    asyncio.run(main())
    assert log == ["cancelled in hook", "hook left"]


def test_cancelling_the_wrapper_of_document_sent_async():
    async def main():
        gate = asyncio.get_running_loop().create_future()

        async def body():
            await gate

        task = asyncio.create_task(broadcast.auth_required_async(body)())
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert gate.cancelled()

    asyncio.run(main())


def test_awaited_coroutine_cannot_be_reused():
    coro = Broadcaster.accept(Holder())
    assert asyncio.run(coro) is None
    with pytest.raises(RuntimeError) as info:
        asyncio.run(coro)
    assert str(info.value) == "cannot reuse already awaited coroutine"


@pytest.mark.parametrize("flavour", ["native", "python"])
def test_second_awaiter_is_refused(flavour):
    async def main():
        host = make_host(asyncio.get_running_loop().create_future)
        ws = Holder()
        coro = host.send_json_async(ws, {}) if flavour == "native" else twin_send_json(host, ws, {})

        async def awaiter():
            return await coro

        first = asyncio.create_task(awaiter())
        await asyncio.sleep(0)
        second = asyncio.create_task(awaiter())
        await asyncio.sleep(0)
        host.gate.set_result(None)
        await asyncio.wait([first, second])  # both end, whether the second await was refused or not
        return first, second

    first, second = asyncio.run(main())
    assert first.result() is None
    assert type(second.exception()) is RuntimeError
    assert str(second.exception()) == "coroutine is being awaited already"


# ------------------------------------------------------------------------------------------ tracebacks


def _raising_send_host():
    host = make_host()

    async def send_message_async(cls, websocket, message):
        raise LookupError("from the host")
    host.send_message_async = classmethod(send_message_async)
    return host


def _fan_out(host, doc_data=None):
    from tolva_engine import Document

    drive(host.subscribe(Holder(), "Document"))
    return host.document_sent_async(Document(doc_data or {"id": 1}), "update", "1")


def _host_with_a_failing_body_hook():
    host = make_host()
    host.get_message_body = classmethod(lambda cls, *args: {}["missing"])
    return _fan_out(host)


def _refused_guard():
    async def body(acl=None):
        pass

    class EmptyAcl:
        content = []
    return broadcast.auth_required_async(body)(acl=EmptyAcl())


async def _raising_body():
    raise ValueError("from the body")


def _module_entries(error):
    return [entry for entry in traceback.extract_tb(error.__traceback__) if os.path.basename(entry.filename) == "broadcast.py"]


def _codes(error):
    return [tb.tb_frame.f_code for tb in _walk(error.__traceback__)]


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


# What each coroutine is, and the entries in broadcast.py an exception leaving it carries.
TRACEBACK_CASES = {
    "send_json_async": (lambda: _raising_send_host().send_json_async(Holder(), {}), ["send_json_async"]),
    "subscribe": (lambda: type("Host", (Broadcaster,), {"active_connections": None}).subscribe(Holder(), "Doc"),
                  ["subscribe"]),
    "need_auth, awaited body raising": (lambda: broadcast.auth_required_async(_raising_body)(), ["need_auth"]),
    "need_auth refusing": (_refused_guard, ["need_auth"]),
    "document_sent_async": (_host_with_a_failing_body_hook, ["need_auth", "document_sent_async"]),
    "document_sent_async, sending": (lambda: _fan_out(_raising_send_host()),
                                     ["need_auth", "document_sent_async", "send_json_async"]),
    "document_sent_async, the text failing": (lambda: _fan_out(make_host(), doc_data={"id": object()}),
                                              ["need_auth", "document_sent_async", "send_json_async"]),
}


@pytest.mark.parametrize("case", list(TRACEBACK_CASES))
def test_exception_leaving_a_coroutine_has_its_entry(case):
    make, expected = TRACEBACK_CASES[case]
    with pytest.raises(Exception) as info:
        drive(make())
    entries = _module_entries(info.value)
    assert [entry.name for entry in entries] == expected
    for entry in entries:
        code = next(c for c in _codes(info.value) if c.co_name == entry.name)
        assert code.co_firstlineno <= entry.lineno <= code.co_firstlineno + 40


def test_no_entry_for_errors_raised_before_the_body_runs():
    coro = Broadcaster.accept(Holder())
    drive(coro)
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert not _module_entries(info.value)


# ---------------------------------------------------------------------------------- warnings and gc


def _runtime_warnings(action):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        action()
        gc.collect()
    return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


@pytest.mark.parametrize("method", list(COROUTINE_MAKERS))
def test_never_awaited_warning(method):
    _skip_wrapper_names_on_reference(method)
    make, _, qualname = COROUTINE_MAKERS[method]

    def forget():
        make()

    assert _runtime_warnings(forget) == [f"coroutine '{qualname}' was never awaited"]


def test_never_awaited_warning_tells_where_the_coroutine_was_made():
    def make_it():
        return Broadcaster.accept(Holder())

    sys.set_coroutine_origin_tracking_depth(2)
    try:
        coro = make_it()
    finally:
        sys.set_coroutine_origin_tracking_depth(0)
    assert [(name, file == __file__) for file, _, name in coro.cr_origin] == [
        ("make_it", True), ("test_never_awaited_warning_tells_where_the_coroutine_was_made", True)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    [warning] = caught
    assert str(warning.message).splitlines()[:2] == [
        "coroutine 'Broadcaster.accept' was never awaited", "Coroutine created at (most recent call last)"]
    assert type(warning.source).__name__ == "coroutine"


@pytest.mark.parametrize("ending", ["closed", "finished", "thrown-into", "suspended-then-dropped"])
def test_no_warning_once_started_or_closed(ending):
    def act():
        if ending == "closed":
            Broadcaster.accept(Holder()).close()
        elif ending == "finished":
            drive(Broadcaster.accept(Holder()))
        elif ending == "thrown-into":
            coro = Broadcaster.accept(Holder())
            with pytest.raises(KeyError):
                coro.throw(KeyError("k"))
        else:
            coro = make_host(Gate).send_json_async(Holder(), {})
            coro.send(None)

    assert _runtime_warnings(act) == []


def _cycle_through_websocket():
    ws = Holder()
    host = make_host(Gate)
    coro = host.send_json_async(ws, {})
    coro.send(None)
    ws.coro = coro
    return weakref.ref(ws), host.gate.log


def _cycle_through_content():
    marker, content = Holder(), {}
    host = make_host(Gate)
    coro = host.send_json_async(Holder(), content)
    coro.send(None)
    content["coro"], content["marker"] = coro, marker
    return weakref.ref(marker), host.gate.log


def _cycle_through_awaited_object():
    gate = Gate()
    coro = broadcast.auth_required_async(lambda: gate)()
    coro.send(None)
    gate.owner = coro
    return weakref.ref(gate), gate.log


def _cycle_through_wrapper_arguments():
    gate, arg = Gate(), Holder()

    async def body(x, *, key):
        return await gate

    coro = broadcast.auth_required_async(body)(arg, key=arg)
    coro.send(None)
    arg.coro = coro
    return weakref.ref(arg), gate.log


def _cycle_through_an_awaiting_python_coroutine():
    gate, arg = Gate(), Holder()

    async def body(x):
        return await gate

    async def outer():
        return await broadcast.auth_required_async(body)(arg)

    coro = outer()
    coro.send(None)
    arg.coro = coro
    return weakref.ref(arg), gate.log


def _cycle_through_unstarted_coroutine():
    arg = Holder()
    arg.coro = Broadcaster.subscribe(Holder(), "Doc", extra=arg)
    return weakref.ref(arg), None


CYCLES = {
    "websocket": _cycle_through_websocket,
    "content": _cycle_through_content,
    "awaited object": _cycle_through_awaited_object,
    "wrapper arguments": _cycle_through_wrapper_arguments,
    "awaited from Python": _cycle_through_an_awaiting_python_coroutine,
    "unstarted": _cycle_through_unstarted_coroutine,
}


@pytest.mark.parametrize("shape", list(CYCLES))
def test_cycle_through_a_coroutine_is_collected(shape):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ref, log = CYCLES[shape]()
        gc.collect()
    assert ref() is None, "the cycle through the coroutine was not collected"
    if log is not None:
        assert log == ["closing"], "the suspended await was not closed when the coroutine went away"


def test_reference_counts_return_after_many_calls():
    ws, doc, content, extra, scope = Holder(), Holder(), {"k": "v"}, Holder(), ["s"]
    host = make_host()
    suspending = make_host(Gate)

    async def body(*args, **kwargs):
        return args

    wrapped = broadcast.auth_required_async(body)
    tracked = [ws, doc, content, extra, scope, host, suspending]

    def one_round():
        drive(host.accept(ws))
        drive(host.subscribe(ws, "Doc", scope, None, False, "", None, extra=extra))
        host.active_connections.clear()
        drive(host.send_message_async(ws, "m"))
        drive(host.send_json_async(ws, content))
        host.sent.clear()
        drive(host.document_sent_async(doc, "update", "1"))
        drive(wrapped(ws, doc, key=extra))
        coro = suspending.send_json_async(ws, content)
        coro.send(None)
        coro.close()
        coro = suspending.send_json_async(ws, content)
        coro.send(None)
        try:
            coro.throw(ValueError("stop"))
        except ValueError:
            pass
        suspending.sent.clear()
        suspending.gate = Gate()
        host.accept(ws).close()
        try:
            drive(host.send_json_async(ws, {"bad": object()}))
        except TypeError:
            pass

    one_round()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    for _ in range(100):
        one_round()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before
