"""Hosts that do their worst: hooks that raise or re-enter, keys whose comparisons run code, odd
registries, cycles and deep chains. Each case runs in a fresh interpreter, so a crash fails only
its row, and prints what it saw; the row holds what the same code prints as plain Python
(BROADCAST_IMPL=reference runs the rows against the pure-Python reading).
"""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

PRELUDE = f"""
import asyncio, functools, gc, os, sys, warnings, weakref
if os.environ.get("BROADCAST_IMPL") == "reference":
    import importlib.util
    _spec = importlib.util.spec_from_file_location("broadcast", {str(ROOT / "bench" / "reference" / "broadcast.py")!r})
    broadcast = importlib.util.module_from_spec(_spec)
    sys.modules["broadcast"] = broadcast
    _spec.loader.exec_module(broadcast)
import broadcast
from tolva_engine import Acl, Document


def outcome(call, *args, **kwargs):
    try:
        return repr(call(*args, **kwargs))
    except BaseException as error:
        return f"{{type(error).__name__}}: {{error}}"


def drive(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


class Socket:
    pass


def host(**hooks):
    return type("Host", (broadcast.Broadcaster,), {{"active_connections": {{}}, **hooks}})
"""

CASES = {
    # A send whose `throw`, when looked up, runs the coroutine awaiting it to its end.
    "reentrant throw finishes the coroutine": ("""
        class Step:
            done = False
            def __iter__(self): return self
            def __next__(self):
                if self.done: raise StopIteration
                return "waiting"
            def __getattr__(self, name):
                if name == "throw":
                    self.done = True
                    print("inner", outcome(drive, coro))
                    return lambda *args: "thrown"
                raise AttributeError(name)
        step = Step()
        class Awaitable:
            def __await__(self): return step
        Host = host(send_message_async=classmethod(lambda cls, ws, message: Awaitable()))
        coro = Host.send_json_async(Socket(), {"a": 1})
        print(coro.send(None))
        print("throw", outcome(coro.throw, ValueError))
        print("suspended", coro.cr_suspended)
        print("send", outcome(coro.send, None))
    """, """
        waiting
        inner None
        throw 'thrown'
        suspended False
        send RuntimeError: cannot reuse already awaited coroutine
    """),
    # Freeing 200,000 coroutines, each held by the next as its argument, and 200,000 guards,
    # each wrapping the next.
    "deep chains of guards and coroutines": ("""
        warnings.simplefilter("ignore")
        @broadcast.auth_required_async
        async def step(previous): return previous
        chain = None
        for _ in range(200_000):
            chain = step(chain)
        del chain
        Host = host()
        chain = None
        for _ in range(200_000):
            chain = Host.document_sent_async(chain, "op", "1")
        del chain
        guarded = lambda previous: previous
        for _ in range(200_000):
            guarded = broadcast.auth_required(guarded)
        del guarded
        print("freed")
    """, "freed"),
    # A key of the document's own dict that collides with the operations' names and, when
    # compared, changes the document's class, its dict, or raises.
    "document key whose comparison changes the class": ("""
        calls = []
        class Key:
            def __hash__(self): return hash("check_acl")
            def __eq__(self, other):
                calls.append(other)
                doc.__class__ = Document
                gc.collect()
                return False
        Temporary = type("Temporary", (Document,), {})
        doc = Temporary({"id": 1})
        doc.__dict__[Key()] = 1
        del Temporary
        sent = []
        Host = host(send_message_async=classmethod(lambda cls, ws, message: asyncio.sleep(0, sent.append(message))))
        drive(Host.subscribe(Socket(), "Temporary", acl=Acl(["*"])))
        drive(Host.subscribe(Socket(), "Temporary", acl=Acl(["*"])))
        asyncio.run(Host.document_sent_async(doc, "update", "1"))
        print(len(sent), calls)
    """, "2 ['check_acl', 'check_acl']"),
    "document key whose comparison replaces the dict": ("""
        calls = []
        class Key:
            def __hash__(self): return hash("check_scope")
            def __eq__(self, other):
                calls.append(other)
                doc.__dict__ = {Key(): 1, **{k: v for k, v in doc.__dict__.items() if type(k) is str}}
                gc.collect()
                return False
        doc = Document({"id": 1})
        doc.__dict__[Key()] = 1
        Host = host()
        for _ in range(3):
            drive(Host.subscribe(Socket(), "Document", acl=Acl(["*"])))
        asyncio.run(Host.document_sent_async(doc, "update", "1"))
        print(calls)
    """, "['check_scope', 'check_scope', 'check_scope']"),
    "document key whose comparison raises": ("""
        calls = []
        class Key:
            def __hash__(self): return hash("check_acl")
            def __eq__(self, other):
                calls.append(other)
                raise LookupError("compared")
        doc = Document({"id": 1})
        doc.__dict__[Key()] = 1
        Host = host()
        drive(Host.subscribe(Socket(), "Document", acl=Acl(["*"])))
        print(outcome(asyncio.run, Host.document_sent_async(doc, "update", "1")), calls)
    """, "LookupError: compared ['check_acl']"),
    # Suspended fan-outs in a cycle through their websocket, for hosts whose hooks are asked
    # at each use.
    "suspended fan-out in a cycle is collected": ("""
        class Meta(type):
            pass
        class Pending:
            def __await__(self):
                yield
        async def send(cls, ws, message):
            await Pending()
        alive = []
        for kind in ("metaclass", "partial"):
            for _ in range(25):
                if kind == "metaclass":
                    Host = Meta("Host", (broadcast.Broadcaster,), {"active_connections": {}, "send_message_async": classmethod(send)})
                else:
                    Host = host(send_message_async=classmethod(functools.partial(send)))
                ws = Socket()
                drive(Host.subscribe(ws, "Document"))
                ws.coro = Host.document_sent_async(Document({"id": 1}, record=False), "op", "1")
                ws.coro.send(None)
                alive.append(weakref.ref(Host))
                del Host, ws
        gc.collect()
        print(sum(ref() is not None for ref in alive))
    """, "0"),
    # A hook that empties what the cycle collector shows of a running fan-out, and frees the
    # websocket being served.
    "fan-out's own lists emptied by a hook": ("""
        disconnected = []
        class Host(broadcast.Broadcaster):
            active_connections = {}
            @classmethod
            def subscriber_is_connected(cls, websocket):
                inner = [held for held in gc.get_referents(coro) if type(held) is type(coro)]
                for held in gc.get_referents(coro, *inner):
                    if type(held) is list and held and isinstance(held[0], Socket):
                        held.clear()
                cls.active_connections["Document"].clear()
                gc.collect()
                return False
            @classmethod
            def disconnect(cls, websocket):
                disconnected.append(type(websocket).__name__)
        for _ in range(3):
            drive(Host.subscribe(Socket(), "Document"))
        coro = Host.document_sent_async(Document({"id": 1}), "op", "1")
        print(outcome(drive, coro), disconnected)
    """, "None ['Socket']"),
    # The interpreter's own coroutine methods, reached through the base type.
    "base coroutine methods on a module coroutine": ("""
        import types
        warnings.simplefilter("ignore")
        Host = host()
        for method, args in ((types.CoroutineType.send, (None,)), (types.CoroutineType.throw, (ValueError,)),
                             (types.CoroutineType.close, ()), (types.CoroutineType.__await__, ())):
            for started in (False, True):
                coro = broadcast.auth_required_async(asyncio.sleep)(0)
                if started:
                    coro.send(None)
                outcome(method, coro, *args)
                outcome(coro.close)
        print("alive")
    """, "alive"),
    # A hook's class method given another function in place.
    "hook changed in place": ("""
        Host = host()
        ws = Socket()
        drive(Host.subscribe(ws, "Document"))
        doc = Document({"id": 1})
        seen = []
        asyncio.run(Host.document_sent_async(doc, "op", "1"))
        for name in ("check_subscriber_acl", "get_message_body", "subscriber_is_connected", "send_json_async"):
            original = broadcast.Broadcaster.__dict__[name].__func__
            def replacement(cls, *args, name=name):
                seen.append(name)
                return original(cls, *args)
            broadcast.Broadcaster.__dict__[name].__init__(replacement)
            asyncio.run(Host.document_sent_async(doc, "op", "1"))
            broadcast.Broadcaster.__dict__[name].__init__(original)
        asyncio.run(Host.document_sent_async(doc, "op", "1"))
        print(seen)
    """, "['check_subscriber_acl', 'get_message_body', 'subscriber_is_connected', 'send_json_async']"),
    # disconnect pops once per class name: a key equal only once is removed, compared once.
    "disconnect compares once": ("""
        compared = []
        ws = Socket()
        class Once:
            def __hash__(self): return hash(ws)
            def __eq__(self, other):
                compared.append(1)
                return len(compared) == 1
        Host = host()
        drive(Host.subscribe(Once(), "Document"))
        print(outcome(Host.disconnect, ws), len(compared), len(Host.active_connections["Document"]))
    """, "None 1 0"),
    # A registry whose items() does not give pairs, and one changed while it is walked.
    "disconnect unpacks as Python does": ("""
        import itertools
        class Registry(dict):
            def __init__(self, item): self.item = item
            def items(self): return [self.item]
        for item in (1, ({},), ({}, {}, {}), [{}, {}, {}], itertools.repeat({}), "ab", iter([{}, {}])):
            Host = host(active_connections=Registry(item))
            print(outcome(Host.disconnect, Socket()))
        class Grows:
            def __hash__(self): return 5
            def __eq__(self, other):
                Host.active_connections.pop("A", None)
                Host.active_connections["C"] = {}
                return False
        Host = host()
        drive(Host.subscribe(Grows(), "A"))
        Host.active_connections["B"] = {}
        class Probe:
            def __hash__(self): return 5
        print(outcome(Host.disconnect, Probe()))
    """, """
        TypeError: cannot unpack non-iterable int object
        ValueError: not enough values to unpack (expected 2, got 1)
        ValueError: too many values to unpack (expected 2)
        ValueError: too many values to unpack (expected 2)
        ValueError: too many values to unpack (expected 2)
        AttributeError: 'str' object has no attribute 'pop'
        None
        RuntimeError: dictionary keys changed during iteration
    """),
    # What tools read of a failure's frames (pytest, capture_locals, pdb, getcoroutinelocals):
    # every frame of the module holds its parameters and closure, also once cleared.
    "tools read every frame": ("""
        import inspect, io, pdb, traceback
        def shown(frame):
            code = frame.f_code
            names = code.co_varnames[:code.co_argcount + bool(code.co_flags & 4) + bool(code.co_flags & 8)]
            return f"{code.co_name}{sorted(set(frame.f_locals) & set(names + code.co_freevars))}"
        def failure(run):
            try:
                run()
            except Exception as error:
                return error
        async def refuse(cls, ws, message):
            raise ConnectionError("gone")
        Host = host(send_message_async=classmethod(refuse))
        drive(Host.subscribe(Socket(), "Document"))
        guarded = broadcast.auth_required(lambda x: 1 / x)
        @broadcast.auth_required_async
        async def guarded_async(x):
            return 1 / x
        doc = Document({"id": 1})
        for error in [failure(lambda: asyncio.run(Host.document_sent_async(doc, "op", "1"))), failure(lambda: guarded(0)),
                      failure(lambda: asyncio.run(guarded_async(0))), failure(lambda: guarded(0, acl=Acl()))]:
            frames = [frame for frame, _ in traceback.walk_tb(error.__traceback__)]
            print(type(error).__name__, [shown(f) for f in frames if f.f_code.co_filename.endswith("broadcast.py")])
            traceback.TracebackException.from_exception(error, capture_locals=True).format()
            debugger = pdb.Pdb(stdin=io.StringIO("where;;up;;up;;args;;down;;args;;quit"), stdout=io.StringIO())
            debugger.reset()
            debugger.interaction(None, error.__traceback__)
            for frame in frames:
                frame.f_globals, frame.f_back, frame.f_lineno, frame.clear(), frame.f_locals
        for coro in (Host.document_sent_async(doc, "op", "1"), guarded_async(2), Host.send_json_async(Socket(), {})):
            print(sorted(inspect.getcoroutinelocals(coro)), end=" ")
            coro.close()
            print(inspect.getcoroutinelocals(coro))
    """, """
        ConnectionError ["need_auth['args', 'func', 'kwargs']", "document_sent_async['cls', 'doc', 'op', 'seq']", "send_json_async['cls', 'content', 'websocket']"]
        ZeroDivisionError ["need_auth['args', 'func', 'kwargs']"]
        ZeroDivisionError ["need_auth['args', 'func', 'kwargs']"]
        AuthorizationError ["need_auth['args', 'func', 'kwargs']"]
        ['args', 'func', 'kwargs'] {}
        ['args', 'func', 'kwargs'] {}
        ['cls', 'content', 'websocket'] {}
    """),
    # An engine call failing in the module's own methods, which the fan-out runs in place, and a
    # reply the ACL client cannot report on, get the entries Python gives them; content nested
    # up to the limit is sent or refused at the depth json.dumps is in Python.
    "traceback entries where Python has them": ("""
        import traceback
        def own(error):
            return [f.f_code.co_name for f, _ in traceback.walk_tb(error.__traceback__) if f.f_code.co_filename.endswith("broadcast.py")]
        async def deliver(cls, ws, message):
            pass
        for op in ("check_acl", "get_display_data"):
            doc = Document({"id": 1})
            doc.override(op, raises=LookupError("engine"))
            Host = host(send_message_async=classmethod(deliver))
            drive(Host.subscribe(Socket(), "Document"))
            try:
                asyncio.run(Host.document_sent_async(doc, "op", "1"))
            except LookupError as error:
                print(op, own(error))
        class Reply:
            status_code, content = 500, b"oops"
            def json(self):
                raise ValueError()
        broadcast.requests = type("Requests", (), {"post": staticmethod(lambda url, json: Reply())})
        try:
            broadcast.AuthClient("http://127.0.0.1/").get_api_acl("key", "app")
        except IndexError as error:
            print("get_api_acl", own(error), own(error.__context__))
        def nested(depth):
            value = 1
            for _ in range(depth):
                value = [value]
            return {"a": value}
        Host = host(send_message_async=classmethod(deliver))
        print([outcome(asyncio.run, Host.send_json_async(Socket(), nested(depth))).split(":")[0] for depth in range(982, 986)])
    """, """
        check_acl ['need_auth', 'document_sent_async', 'check_subscriber_acl']
        get_display_data ['need_auth', 'document_sent_async', 'get_message_body']
        get_api_acl ['get_api_acl'] ['get_api_acl']
        ['None', 'None', 'RecursionError', 'RecursionError']
    """),
    # Recursion through the guards and the fan-out ends in RecursionError where plain Python's
    # does, counting a guarded coroutine and the one it awaits as two levels, and never in a
    # crash, whatever limit the host sets.
    "recursion ends where Python's does": ("""
        depth = 0
        @broadcast.auth_required
        def down(n):
            global depth
            depth = n
            return down(n + 1)
        @broadcast.auth_required_async
        async def down_async(n):
            global depth
            depth = n
            return await down_async(n + 1)
        async def again(cls, ws, message):
            await cls.document_sent_async(Document({"id": 1}), "op", "1")
        Host = host(send_message_async=classmethod(again))
        drive(Host.subscribe(Socket(), "Document"))
        runs = {"sync": lambda: down(0), "async": lambda: asyncio.run(down_async(0)),
                "send hook": lambda: asyncio.run(Host.document_sent_async(Document({"id": 1}), "op", "1"))}
        for limit in (1000, 20000):
            sys.setrecursionlimit(limit)
            for name, run in runs.items():
                print(limit, name, outcome(run).split(":")[0], *([depth] if limit == 1000 and name != "send hook" else []))
        sys.setrecursionlimit(1000)
        async def leaf():
            return 1
        for levels in (5000, 200000):
            guarded = leaf
            for _ in range(levels):
                guarded = broadcast.auth_required_async(guarded)
            print(levels, outcome(asyncio.run, guarded()).split(":")[0])
    """, """
        1000 sync RecursionError 497
        1000 async RecursionError 493
        1000 send hook RecursionError
        20000 sync RecursionError
        20000 async RecursionError
        20000 send hook RecursionError
        5000 RecursionError
        200000 RecursionError
    """),
    # The lowest recursion limit each run needs, beside a plain function's: the module's calls
    # and the steps of what the fan-out runs in place take the levels Python's frames take.
    "levels each call takes at the limit": ("""
        import json
        async def deliver(cls, ws, message):
            pass
        Host = host(send_message_async=classmethod(deliver))
        drive(Host.subscribe(Socket(), "Document"))
        def lowest(run):
            for limit in range(10, 300):
                sys.setrecursionlimit(limit)
                try:
                    done = run() is not None
                except RecursionError:
                    done = False
                finally:
                    sys.setrecursionlimit(1000)
                if done:
                    return limit
        base = lowest(lambda: 1)
        runs = {
            "fan-out": lambda: drive(Host.document_sent_async(Document({"id": 1}), "op", "1")) or 1,
            "send_json_async": lambda: drive(Host.send_json_async(Socket(), {"a": [1]})) or 1,
            "guard": lambda: broadcast.auth_required(lambda: 1)(),
            "async guard": lambda: drive(broadcast.auth_required_async(deliver)(None, None, None)) or 1,
            "subscribe": lambda: drive(Host.subscribe(Socket(), "Document")) or 1,
        }
        print({name: lowest(run) - base for name, run in runs.items()})
    """, "{'fan-out': 5, 'send_json_async': 3, 'guard': 0, 'async guard': 0, 'subscribe': 0}"),
    # A profiler counts the module's calls as it counts Python functions' (the fan-out's calls of
    # the module's own methods included); a tracer sees each call return.
    "profilers and tracers see the calls": ("""
        import cProfile, pstats
        async def deliver(cls, ws, message):
            pass
        Host = host(send_message_async=classmethod(deliver))
        guarded = broadcast.auth_required(lambda x: x)
        @broadcast.auth_required_async
        async def guarded_async(x):
            return x
        async def main():
            for _ in range(3):
                await Host.subscribe(Socket(), "Document")
            for seq in ("1", "2"):
                await Host.document_sent_async(Document({"id": 1}), "op", seq)
            for i in range(4):
                guarded(i)
            for i in range(5):
                await guarded_async(i)
            Host.disconnect(Socket())
        profile = cProfile.Profile()
        profile.runcall(asyncio.run, main())
        calls = sorted((name, "async" if line == 20 else "", total) for (file, line, name), (_, total, *_) in
                       pstats.Stats(profile).stats.items() if file.endswith("broadcast.py"))
        print(calls)
        # json.dumps called by each send, and nothing else of the standard library's on the way.
        seen = pstats.Stats(profile).stats
        print(sum(total for (file, _, name), (_, total, *_) in seen.items() if name == "dumps" and "json" in file),
              [name for (file, _, name) in seen if file.endswith("posixpath.py")])
        events = []
        def tracer(frame, event, arg):
            if frame.f_code.co_filename.endswith("broadcast.py") and event in ("call", "return"):
                events.append((event, frame.f_code.co_name, arg if event == "return" else None))
            return tracer
        sys.settrace(tracer)
        outcome(guarded, 1, acl=Acl())
        asyncio.run(guarded_async(2))
        sys.settrace(None)
        print(events)
    """, """
        [('check_subscriber_acl', '', 6), ('disconnect', '', 1), ('document_sent_async', '', 2), ('get_message_body', '', 6), ('need_auth', '', 4), ('need_auth', 'async', 7), ('send_json_async', '', 6), ('subscribe', '', 3), ('subscriber_is_connected', '', 6)]
        6 []
        [('call', 'need_auth', None), ('return', 'need_auth', None), ('call', 'need_auth', None), ('return', 'need_auth', 2)]
    """),
    # A coroutine thrown into or closed while a profiler is set, before anything read its frame,
    # ends with the exception it was given; one whose step a profiler's return event failed is
    # over, as a Python coroutine whose frame that event left.
    "coroutines thrown into or closed under a profiler": ("""
        import cProfile
        class Twice:
            def __await__(self):
                yield 1
                yield 2
        Host = host(send_message_async=classmethod(lambda cls, ws, message: Twice()))
        coro = Host.send_json_async(Socket(), {})
        coro.send(None)
        sys.setprofile(lambda *args: None)
        print(outcome(Host.send_json_async(Socket(), {}).close))
        print(outcome(Host.send_json_async(Socket(), {}).throw, ValueError("unstarted")))
        print(outcome(coro.throw, ValueError("suspended")))
        sys.setprofile(None)
        async def cancel():
            task = asyncio.ensure_future(Host.send_json_async(Socket(), {}))
            task.cancel()
            return await task
        profile = cProfile.Profile()
        print(outcome(profile.runcall, asyncio.run, cancel()).strip())
        def refuse_return(frame, event, arg):
            if event == "return" and frame.f_code.co_name == "send_json_async":
                raise KeyError("hook")
        coro = Host.send_json_async(Socket(), {})
        sys.setprofile(refuse_return)
        print(outcome(coro.send, None))
        sys.setprofile(None)
        print(outcome(coro.send, None), coro.cr_frame)
    """, """
        None
        ValueError: unstarted
        ValueError: suspended
        CancelledError:
        KeyError: 'hook'
        RuntimeError: cannot reuse already awaited coroutine None
    """),
    # Threads with small stacks run guards some levels deep, as plain Python does there (the
    # stack each level takes is larger, so the module refuses deep recursion sooner).
    "guards in threads with small stacks": ("""
        import threading
        @broadcast.auth_required
        def down(n):
            return down(n - 1) + 1 if n else 0
        for size, levels in ((64, 20), (72, 10), (96, 20)):
            threading.stack_size(size * 1024)
            results = []
            thread = threading.Thread(target=lambda: results.append(outcome(down, levels)))
            thread.start()
            thread.join()
            print(size, results)
    """, """
        64 ['20']
        72 ['10']
        96 ['20']
    """),
    # Under a profiler, the entries an exception gets are those of the frames it leaves: the
    # module function's own when a profile function fails at its call, and, for the reply
    # get_api_acl could not decode, the running get_api_acl's frame. A function's frame kept by
    # the profiler still leads back to its caller once it has returned.
    "frames under a profiler": ("""
        import traceback
        def entries(error):
            return [(frame.f_code.co_name, frame.f_back and frame.f_back.f_code.co_name)
                    for frame, _ in traceback.walk_tb(error.__traceback__)
                    if frame.f_code.co_filename.endswith("broadcast.py")]
        def refuse_call(frame, event, arg):
            if event == "call" and frame.f_code.co_filename.endswith("broadcast.py"):
                raise KeyError("hook")
        guarded = broadcast.auth_required(print)
        sys.setprofile(refuse_call)
        try:
            guarded(1)
        except KeyError as error:
            print(entries(error))
        class Reply:
            status_code, content = 500, b"?"
            def json(self):
                raise ValueError()
        class Requests:
            def post(self, url, json):
                return Reply()
        broadcast.requests = Requests()
        sys.setprofile(lambda *args: None)
        try:
            broadcast.AuthClient().get_api_acl("key", "app")
        except IndexError as error:
            sys.setprofile(None)
            print(entries(error), entries(error.__context__))
            print(error.__traceback__.tb_next.tb_frame is error.__context__.__traceback__.tb_frame)
        kept = []
        def keep(frame, event, arg):
            if event == "call" and frame.f_code.co_filename.endswith("broadcast.py"):
                kept.append(frame)
        def caller():
            guarded(1)
        sys.setprofile(keep)
        caller()
        sys.setprofile(None)
        print([(frame.f_code.co_name, frame.f_back and frame.f_back.f_code.co_name) for frame in kept])
    """, """
        [('need_auth', '<module>')]
        [('get_api_acl', '<module>')] [('get_api_acl', '<module>')]
        True
        1
        [('need_auth', 'caller')]
    """),
    # While the module runs, its frames are on the thread's stack in Python's order: a stack walk
    # from a send hook and from an ACL check, a warning and a log line made a level up, and what
    # subscribe allocates, all find the module's functions.
    "tools see the running module's frames": ("""
        import inspect, io, logging, tracemalloc
        seen = []
        def module_stack():
            return [f.function for f in inspect.stack()[1:] if f.filename.endswith("broadcast.py")]
        log = io.StringIO()
        handler = logging.StreamHandler(log)
        handler.setFormatter(logging.Formatter("%(funcName)s %(filename)s"))
        logging.getLogger("probe").addHandler(handler)
        async def send(cls, ws, message):
            seen.append(module_stack())
            warnings.warn("sent", UserWarning, stacklevel=2)
            logging.getLogger("probe").warning("sent", stacklevel=2)
        class Checked(Document):
            def check_acl(self, *args):
                seen.append(module_stack())
                return True
        Host = host(send_message_async=classmethod(send))
        drive(Host.subscribe(Socket(), "Checked", acl=Acl(["Checked"])))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("ignore")
            warnings.filterwarnings("always", module="broadcast")
            asyncio.run(Host.document_sent_async(Checked({"id": 1}), "op", "1"))
        print(seen)
        print([(os.path.basename(w.filename), str(w.message)) for w in caught], log.getvalue().split())
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        kept = [drive(Host.subscribe(Socket(), f"C{i}", acl=Acl(["x"]))) for i in range(200)]
        grown = tracemalloc.take_snapshot().compare_to(before, "lineno")[:4]
        tracemalloc.stop()
        print([os.path.basename(stat.traceback[0].filename) for stat in grown])
    """, """
        [['check_subscriber_acl', 'document_sent_async', 'need_auth'], ['send_json_async', 'document_sent_async', 'need_auth']]
        [('broadcast.py', 'sent')] ['send_json_async', 'broadcast.py']
        ['<string>', 'broadcast.py', 'broadcast.py', 'broadcast.py']
    """),
    # A failure reports the line of the step it happened at, in the body and in the order the
    # steps run: the fan-out's connected check, start-sequence comparison, ACL check, body, send
    # and sweep; the guard's content read, refusal and call.
    "failure lines follow the body's steps": ("""
        import traceback
        def fail(*args):
            raise KeyError("hook")
        class Failing(Document):
            check_acl = fail
        def line_of(name, run):
            try:
                run()
            except Exception as error:
                return [f.lineno for f in traceback.extract_tb(error.__traceback__) if f.name == name][-1]
        steps = [({"subscriber_is_connected": classmethod(fail)}, {}, Document),
                 ({}, {"start_seq": 5}, Document),
                 ({}, {}, Failing),
                 ({"get_message_body": classmethod(fail)}, {}, Document),
                 ({"send_json_async": classmethod(fail)}, {}, Document),
                 ({"subscriber_is_connected": classmethod(lambda cls, ws: False), "disconnect": classmethod(fail)}, {}, Document)]
        lines = []
        for hooks, params, kind in steps:
            Host = host(**hooks)
            drive(Host.subscribe(Socket(), kind.__name__, acl=Acl([kind.__name__]), **params))
            lines.append(line_of("document_sent_async", lambda: drive(Host.document_sent_async(kind({"id": 1}), "op", "1"))))
        first = broadcast.Broadcaster.document_sent_async.__wrapped__.__code__.co_firstlineno
        print(lines == sorted(set(lines)), lines[0] > first)
        class Unreadable:
            @property
            def content(self):
                raise KeyError("content")
        guarded = broadcast.auth_required(fail)
        lines = [line_of("need_auth", lambda: guarded(acl=acl)) for acl in (Unreadable(), Acl(), Acl(["x"]))]
        print(lines == sorted(set(lines)))
    """, "True True\nTrue"),
    # Every local the body has bound by then is in the frames of a failing fan-out, and in the
    # frame of one suspended in a send, which leads back to its coroutine.
    "locals of a failing and of a suspended fan-out": ("""
        import ctypes, inspect, traceback
        async def refuse(cls, ws, message):
            raise ConnectionError("gone")
        class Gate:
            def __await__(self):
                yield "waiting"
        async def wait(cls, ws, message):
            await Gate()
        for send in (refuse, wait):
            Host = host(send_message_async=classmethod(send))
            drive(Host.subscribe(Socket(), "Document"))
            coro = Host.document_sent_async(Document({"id": 1}), "op", "1")
            try:
                coro.send(None)
            except ConnectionError as error:
                print([(f.f_code.co_name, sorted(f.f_locals)) for f, _ in traceback.walk_tb(error.__traceback__)
                       if f.f_code.co_filename.endswith("broadcast.py")])
                continue
            fan_out = coro.cr_await
            while fan_out.cr_code.co_name != "document_sent_async":
                fan_out = fan_out.cr_await
            get_generator = ctypes.pythonapi.PyFrame_GetGenerator
            get_generator.restype, get_generator.argtypes = ctypes.c_void_p, [ctypes.py_object]
            frame = fan_out.cr_frame
            print(sorted(inspect.getcoroutinelocals(fan_out)), frame.f_lineno > frame.f_code.co_firstlineno,
                  get_generator(frame) == id(fan_out))
            coro.close()
    """, """
        [('need_auth', ['acl', 'args', 'func', 'kwargs']), ('document_sent_async', ['closed_subscribers', 'cls', 'doc', 'doc_class', 'doc_class_subscriber', 'message', 'op', 'param', 'seq', 'websocket']), ('send_json_async', ['cls', 'content', 'message', 'websocket'])]
        ['closed_subscribers', 'cls', 'doc', 'doc_class', 'doc_class_subscriber', 'message', 'op', 'param', 'seq', 'websocket'] True True
    """),
    # pdb keeps control through the module's coroutines: after `step` into the fan-out, `return`
    # stops in the awaiting frame (at the StopIteration that ends its await), and `next` goes on.
    "pdb step then return": ("""
        import io, pdb
        Host = host()
        drive(Host.subscribe(Socket(), "Document"))
        doc = Document({"id": 1})
        out = io.StringIO()
        async def main():
            pdb.Pdb(stdin=io.StringIO("step\\nreturn\\nnext\\ncontinue\\n"), stdout=out, nosigint=True).set_trace()
            await Host.document_sent_async(doc, "op", "1")
            print("after", file=out)
        asyncio.run(main())
        sys.settrace(None)
        for line in out.getvalue().replace("(Pdb) ", "").splitlines():
            if "<string>" in line or "--Call--" in line or "StopIteration" in line or line == "after":
                print(line.strip())
    """, """
        > <string>(42)main()
        --Call--
        Internal StopIteration
        > <string>(42)main()
        > <string>(43)main()
        after
    """),
    # frame.clear() refuses a module frame that is running, as it refuses a Python one.
    "clearing a running module frame": ("""
        def clear_caller():
            return outcome(sys._getframe(1).clear)
        sys.setprofile(lambda *args: None)
        print("running", broadcast.auth_required(clear_caller)())
        sys.setprofile(None)
    """, "running RuntimeError: cannot clear an executing frame"),
    # frame.clear() on a module coroutine's frame: a suspended one closes (what it awaits is
    # closed) and stays closed, a fresh one warns, a running one refuses; the base type's own
    # methods on a coroutine whose frame object exists do no harm.
    "clearing a module coroutine's frame": ("""
        import inspect, types
        seen = []
        async def inner(tag):
            if tag == "running":
                seen.append(outcome(sys._getframe(1).clear))
            try:
                await asyncio.sleep(0)
            finally:
                seen.append(tag)
        Host = host(send_message_async=classmethod(lambda cls, ws, message: inner("send")))
        drive(Host.subscribe(Socket(), "Document"))
        guarded = broadcast.auth_required_async(inner)
        for coro in (guarded("guard"), Host.document_sent_async(Document({"id": 1}), "op", "1"), guarded("running")):
            coro.send(None)
            frame = coro.cr_frame
            coro.cr_running, coro.cr_await
            print(outcome(frame.clear), inspect.getcoroutinestate(coro), seen, outcome(coro.send, None), frame.f_locals != {})
            coro.close()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            fresh = guarded("fresh")
            fresh.cr_frame.clear()
            print(len(caught), caught[0].category.__name__, inspect.getcoroutinestate(fresh))
            fresh.close()
        for method, args in ((types.CoroutineType.send, (None,)), (types.CoroutineType.throw, (ValueError,)),
                             (types.CoroutineType.close, ()), (types.CoroutineType.throw, (GeneratorExit,))):
            for started in (False, True):
                coro = guarded("base")
                if started:
                    coro.send(None)
                coro.cr_frame
                outcome(method, coro, *args)
                outcome(coro.send, None), outcome(coro.close), coro.cr_frame, inspect.getcoroutinestate(coro)
        gc.collect()
        print("alive")
    """, """
        None CORO_CLOSED ['guard'] RuntimeError: cannot reuse already awaited coroutine True
        None CORO_CLOSED ['guard', 'send'] RuntimeError: cannot reuse already awaited coroutine True
        None CORO_CLOSED ['guard', 'send', 'RuntimeError: cannot clear an executing frame', 'running'] RuntimeError: cannot reuse already awaited coroutine True
        1 RuntimeWarning CORO_CREATED
        alive
    """),
    # A guard finds `acl` as need_auth's kwargs dict would, by the names' own __hash__ and
    # __eq__; get_api_acl compares the reply's id with api_id even when they are one object.
    "keyword names and ids compared as Python compares them": ("""
        class Named(str):
            def __hash__(self):
                return hash("acl")
            def __eq__(self, other):
                return other == "acl" or str.__eq__(self, other)
        guarded = broadcast.auth_required(lambda **kwargs: sorted(kwargs))
        for kwargs in ({Named("acl"): Acl()}, {Named("other"): Acl()}, {"x": 1, Named("q"): 2}, {"acl": Acl(["a"])}):
            print(outcome(guarded, **kwargs))
        nan = float("nan")
        class Reply:
            status_code, content = 200, b"{}"
            def json(self):
                return {"id": nan, "acl": {}}
        broadcast.requests = type("Requests", (), {"post": staticmethod(lambda url, json: Reply())})
        print(outcome(broadcast.AuthClient("http://127.0.0.1/").get_api_acl, "key", "app", nan))
    """, """
        AuthorizationError: User has empty ACL
        AuthorizationError: User has empty ACL
        AttributeError: 'int' object has no attribute 'content'
        ['acl']
        ({'message': "API ID nan and nan don't match"}, 401)
    """),
    # Daemon threads inside the module's calls when the interpreter exits: it ends them where they
    # wait for the GIL, and nothing of theirs is released then.
    "daemon threads in the module at exit": ("""
        import threading, time
        class Slow:
            def post(self, url, json):
                time.sleep(0.01)
        broadcast.requests = Slow()
        client = broadcast.AuthClient("http://127.0.0.1/")
        def ask():
            while True:
                outcome(client.get_api_acl, "key", "app")
        for _ in range(32):
            threading.Thread(target=ask, daemon=True).start()
        time.sleep(0.2)
        print("exiting")
    """, "exiting"),
    # The check of json.dumps compares names in json.encoder's namespace: a key there whose
    # comparison rebinds json.dumps and sends gets, inside and after, what json.dumps gives.
    "json.dumps rebound and sent from inside its own check": ("""
        import json, json.encoder
        async def deliver(cls, ws, message):
            print("sent", message)
        Host = host(send_message_async=classmethod(deliver))
        real = json.dumps
        class Sneaky:
            armed = True
            def __hash__(self):
                return hash("isinstance")
            def __eq__(self, other):
                if Sneaky.armed:
                    Sneaky.armed = False
                    json.dumps = lambda obj, **kw: "patched " + real(obj)
                    drive(Host.send_json_async(Socket(), {"inner": 1}))
                return False
        drive(Host.send_json_async(Socket(), {"before": 1}))
        vars(json.encoder)[Sneaky()] = 1
        drive(Host.send_json_async(Socket(), {"outer": 1}))
        drive(Host.send_json_async(Socket(), {"after": 1}))
    """, """
        sent {"before": 1}
        sent patched {"inner": 1}
        sent {"outer": 1}
        sent patched {"after": 1}
    """),
    # Threads that send from their first use on while the other rebinds json.dumps, with a
    # collection (which switches threads) at every allocation it can happen at.
    "json.dumps rebound by another thread during sends": ("""
        import json, threading, time
        sent = []
        async def deliver(cls, ws, message):
            sent.append(message)
        Host = host(send_message_async=classmethod(deliver))
        real = json.dumps
        gc.callbacks.append(lambda phase, info: time.sleep(0))
        gc.set_threshold(1)
        done = False
        start = threading.Barrier(3)
        def send_many():
            start.wait()
            while not done:
                drive(Host.send_json_async(Socket(), {"a": [1, 2]}))
        threads = [threading.Thread(target=send_many) for _ in range(2)]
        for thread in threads:
            thread.start()
        start.wait()
        for i in range(300):
            json.dumps = (lambda obj, **kw: "patched") if i % 2 == 0 else real
            time.sleep(0.0005)
        json.dumps = lambda obj, **kw: "patched"
        done = True
        for thread in threads:
            thread.join()
        sent.clear()
        drive(Host.send_json_async(Socket(), {"a": 1}))
        print(sent)
    """, "['patched']"),
    # A profiler a hook starts in the middle of a subscriber's turn sees the rest of that turn's
    # calls of the module's own methods.
    "profiler started by a hook during a turn": ("""
        calls = []
        def profiler(frame, event, arg):
            if frame.f_code.co_filename.endswith("broadcast.py") and event == "call":
                calls.append(frame.f_code.co_name)
        def connected(cls, ws):
            sys.setprofile(profiler)
            return True
        Host = host(subscriber_is_connected=classmethod(connected))
        drive(Host.subscribe(Socket(), "Document"))
        drive(Host.document_sent_async(Document({"id": 1}), "op", "1"))
        sys.setprofile(None)
        print(calls)
    """, "['check_subscriber_acl', 'get_message_body', 'send_json_async', 'send_message_async']"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_host(name):
    body, expected = CASES[name]
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], cwd=str(ROOT),
                          env={**os.environ, "PYTHONHASHSEED": "0"},
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == textwrap.dedent(expected).strip()


def test_pytest_reports_failures_through_the_module(tmp_path):
    """pytest reads f_locals of every frame of a failure: failing through the module is a failure."""
    test_file = tmp_path / "test_through_the_module.py"
    test_file.write_text(PRELUDE + textwrap.dedent("""
        async def refuse(cls, ws, message):
            raise ConnectionError("gone")

        def test_fan_out():
            Host = host(send_message_async=classmethod(refuse))
            drive(Host.subscribe(Socket(), "Document"))
            asyncio.run(Host.document_sent_async(Document({"id": 1}), "op", "1"))

        def test_guards():
            @broadcast.auth_required_async
            async def guarded(x):
                return broadcast.auth_required(lambda: 1 / x)()
            asyncio.run(guarded(0))
    """))
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-l", str(test_file)],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=300)
    assert proc.returncode == 1, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert "2 failed" in proc.stdout
