#!/usr/bin/env python3
"""Side-by-side benchmark of the `broadcast` extension module and its pure-Python reading.

Both run in this one process against the engine stand-in (engine_standin/tolva_engine):

  native  `import broadcast` (the compiled module; see --native-module / --native-path)
  python  bench/reference/broadcast.py, loaded under the module name "broadcast_py"

Measured, each with several interleaved repeats (time.perf_counter_ns, gc disabled while timing),
reported as min / median:

  (a) fan-out of one document event to N = 10, 1,000 and 100,000 subscribers of a host subclass
      with its own registry and a no-op async send hook, per subscriber; beside it the floor: the
      Python-level calls a fan-out cannot avoid, made in a tight loop, and what the module itself
      adds ("own cost" = fan-out - floor; shown while both fan-outs are above the floor, which
      the module's own no longer is: it makes no json.dumps call, which the floor does);
  (b) subscribe and disconnect with 1 to 10,000 class names registered;
  (c) calls through auth_required / auth_required_async wrappers against the bare function;
  (d) memory per subscription for 100,000 subscriptions (tracemalloc, plus the resident-size
      growth of a fresh interpreter), and the peak while one event of the 2 KB document view
      goes to 10,000 subscribers, measured in a child process per implementation;
  (e) send_json_async awaited on its own with the small and the 2 KB event.

The fan-out of (a) runs with the small document ({"id": 1}) and with a realistic document view of
about 2 KB of JSON (nested line items, non-ASCII text, escapes, floats, booleans, nulls) at
N = 1,000 and 10,000.

Verdicts against the performance targets are taken from the minimum of the repeats (the least
disturbed sample on a shared machine); medians are printed beside them.

Usage, from the repository root with the engine stand-in on the path (PYTHONPATH=engine_standin):
  python3 bench/run.py                      full run (about 30 s on 2 cores)
  python3 bench/run.py --quick              fewer repeats and shorter samples (about 10 s)
  python3 bench/run.py --native-path /tmp/build --json out.json
  python3 bench/run.py --native-module reference   both sides pure Python (checks the bench itself)
  python3 bench/run.py --only a,c           a subset of the sections
"""
from __future__ import annotations

import argparse
import gc
import importlib
import importlib.machinery
import importlib.util
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
REFERENCE_FILE = HERE / "reference" / "broadcast.py"

try:
    from tolva_engine import Acl, AuthorizationError, Document
except ImportError:
    raise SystemExit("the engine stand-in is not on the path; from the repository root run: "
                     "PYTHONPATH=engine_standin .venv/bin/python bench/run.py") from None

perf_ns = time.perf_counter_ns

DOC_CLASS = "MinimalDoc"
OP = "update"
SEQ = "0001"
BODY = {"id": 1}


def document_view() -> dict:
    """A realistic document view of about 2 KB of JSON: an order with nested line items, non-ASCII
    text, characters JSON escapes, floats, booleans and nulls."""
    names = ["Crème brûlée – 6 pièces", "Smørrebrød \"Classic\"", "Straße & Co. Ölfarbe", "東京 tea set",
             "Café au lait\tlarge", "Žluťoučký kůň", "Ελληνικό μέλι", "Sushi 🍣 box"]
    lines = [{"line": i + 1, "sku": f"SKU-{1000 + 37 * i}", "title": names[i],
              "quantity": i % 3 + 1, "unit_price": round(3.2 + 7.85 * i, 2), "discount": None if i % 2 else 0.15,
              "taxable": i % 4 != 3, "attributes": {"colour": ["rouge", "grün", "azul"][i % 3], "gift": i == 5}}
             for i in range(len(names))]
    return {"id": "ORD-2024-000817", "status": "confirmed", "paid": True, "cancelled": False,
            "created": "2024-03-18T09:41:07.512+01:00", "customer": {
                "name": "Zoë Øvergård-Müller", "email": "zoe@example.org", "vip": True, "phone": None,
                "address": {"street": "Hauptstraße 12", "city": "Köln", "zip": "50667", "country": "DE"}},
            "lines": lines, "totals": {"net": 187.37, "tax": 35.6, "gross": 222.97, "rate": 0.19, "currency": "EUR"},
            "notes": "Leave at the door.\nRing twice — \"fragile\" \\ handle with care.", "tags": ["priority", "gift", None],
            "weight_kg": 3.875, "score": 1e-7, "version": 12}


BODY_2K = document_view()


# --------------------------------------------------------------------------------------------
# The two implementations
# --------------------------------------------------------------------------------------------

def _load_file_as(name: str, path: pathlib.Path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def _is_extension(module) -> bool:
    spec = getattr(module, "__spec__", None)
    origin = getattr(spec, "origin", None) or ""
    return isinstance(getattr(spec, "loader", None), importlib.machinery.ExtensionFileLoader) or \
        origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


class Impl:
    """One implementation of the module, and the host subclasses the workloads use."""

    def __init__(self, key: str, module, description: str):
        self.key = key
        self.module = module
        self.description = description

    def host(self):
        """A fresh host subclass with its own registry and the cheapest Python connection hooks.

        A real host overrides both hooks (the base connectedness test answers True blindly), so
        both are Python-level calls of the host here, the same code for either implementation.
        """

        class Host(self.module.Broadcaster):
            active_connections = {}

            @classmethod
            def subscriber_is_connected(cls, websocket):
                return True

            @classmethod
            async def send_message_async(cls, websocket, message):
                pass

            # harness baselines for (b): empty methods called the way subscribe/disconnect are
            @classmethod
            async def empty_async(cls, websocket, class_name, acl=None):
                pass

            @classmethod
            def empty_sync(cls, websocket):
                pass

        return Host

    def recording_host(self, sent: list):
        class RecordingHost(self.module.Broadcaster):
            active_connections = {}

            @classmethod
            async def send_message_async(cls, websocket, message):
                sent.append((websocket, message))

        return RecordingHost


def _import_from(name: str, paths: list[str]):
    """Import ``name`` from the first of ``paths`` that holds it, else from the usual path."""
    found = paths and importlib.machinery.PathFinder.find_spec(name, [os.path.abspath(p)
                                                                       for p in paths])
    if not found:
        return importlib.import_module(name)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


def load_impls(native_name: str, native_paths: list[str]) -> tuple[Impl, Impl]:
    if native_name == "reference":
        native_module = _load_file_as("broadcast_ref_as_native", REFERENCE_FILE)
        native_desc = f"{REFERENCE_FILE} (pure Python standing in for the native build)"
    else:
        try:
            native_module = _import_from(native_name, native_paths)
        except ImportError as exc:
            raise SystemExit(f"cannot import {native_name!r} ({exc}); build it and pass its "
                             "directory with --native-path, or run with --native-module reference")
        origin = getattr(getattr(native_module, "__spec__", None), "origin", None)
        native_desc = f"{origin}"
        if not _is_extension(native_module):
            native_desc += "  [WARNING: not an extension module]"
    python_module = _load_file_as("broadcast_py", REFERENCE_FILE)
    return (Impl("native", native_module, native_desc),
            Impl("python", python_module, f"{REFERENCE_FILE}"))


# --------------------------------------------------------------------------------------------
# Workload objects
# --------------------------------------------------------------------------------------------

class Socket:
    """Stands for a host's websocket: hashable by identity, nothing else."""
    __slots__ = ()


class MinimalDoc(Document):
    """A document whose three engine operations cost as little as a Python method can."""

    def __init__(self):
        pass

    def check_scope(self, data_scope):
        pass

    def get_display_data(self, catalog=None, show_hidden=False):
        return BODY

    def check_acl(self, acl, action, doc, flag):
        return True


class DocView(MinimalDoc):
    """The same, with the 2 KB document view as its display data."""

    def get_display_data(self, catalog=None, show_hidden=False):
        return BODY_2K


def event_of(doc_cls) -> dict:
    return {"doc_class": doc_cls.__name__, "op": OP, "seq": SEQ, "message": doc_cls().get_display_data()}


def run_coro(coro):
    """Run a coroutine that never suspends to its end and return its result."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise RuntimeError("a benchmark coroutine suspended; none of the hooks used here should")


def subscribe_all(host, websockets, class_name=DOC_CLASS):
    sub = host.subscribe

    async def body():
        for ws in websockets:
            await sub(ws, class_name)

    run_coro(body())


# --------------------------------------------------------------------------------------------
# Measurement
# --------------------------------------------------------------------------------------------

class Stat:
    __slots__ = ("samples",)

    def __init__(self, samples):
        self.samples = list(samples)

    @property
    def min(self):
        return min(self.samples)

    @property
    def med(self):
        return statistics.median(self.samples)

    def scaled(self, factor):
        return Stat(s * factor for s in self.samples)

    def as_json(self):
        return {"min": self.min, "median": self.med, "samples": self.samples}


def measure(cases: dict, repeats: int, warmup: int = 1) -> dict:
    """Time every case `repeats` times, interleaved (alternating order), and return Stats.

    cases: key -> (run, ops, prepare). `run()` performs `ops` operations; `prepare()` (or None)
    runs untimed before each sample. Each Stat holds nanoseconds per operation.
    """
    keys = list(cases)
    results = {k: [] for k in keys}
    for _ in range(warmup):
        for k in keys:
            run, _ops, prepare = cases[k]
            if prepare is not None:
                prepare()
            run()
    for rep in range(repeats):
        order = keys if rep % 2 == 0 else keys[::-1]
        for k in order:
            run, ops, prepare = cases[k]
            if prepare is not None:
                prepare()
            t0 = perf_ns()
            run()
            t1 = perf_ns()
            results[k].append((t1 - t0) / ops)
    return {k: Stat(v) for k, v in results.items()}


class Settings:
    """Sample sizes. Many short samples: on a shared machine the least disturbed one counts."""

    def __init__(self, quick: bool, repeats: int | None):
        self.quick = quick
        self.repeats = repeats or (5 if quick else 15)
        # subscriber visits per fan-out sample (at N = 100,000 a sample is one whole fan-out)
        # (a fan-out sample is short next to the floor's noise here: more of them, so that both
        # sides get some undisturbed ones)
        self.fanout_visits = 10_000
        self.fanout_visits_2k = 10_000
        self.send_calls = 2_000 if quick else 5_000
        self.peak_subs = 10_000
        self.fanout_repeats = 2 * self.repeats
        self.fanout_repeats_big = self.repeats
        self.sub_calls = 5_000 if quick else 10_000
        self.disc_name_visits = 100_000 if quick else 200_000
        self.deco_calls = 20_000 if quick else 50_000
        self.memory_subs = 100_000


# --------------------------------------------------------------------------------------------
# (a) fan-out
# --------------------------------------------------------------------------------------------

def check_fanout(impl: Impl, doc_cls=MinimalDoc):
    """Make sure the fan-out measured is the real thing: every subscriber gets the event."""
    sent = []
    host = impl.recording_host(sent)
    sockets = [Socket() for _ in range(5)]
    subscribe_all(host, sockets, doc_cls.__name__)
    run_coro(host.document_sent_async(doc_cls(), OP, SEQ))
    expected = json.dumps(event_of(doc_cls), ensure_ascii=False)
    if sent != [(ws, expected) for ws in sockets]:
        raise RuntimeError(f"{impl.key}: the fan-out did not deliver the expected messages")


def fanout_case(impl: Impl, n: int, k: int, doc_cls=MinimalDoc):
    host = impl.host()
    sockets = [Socket() for _ in range(n)]
    subscribe_all(host, sockets, doc_cls.__name__)
    doc = doc_cls()
    fan = host.document_sent_async

    async def fan_loop():
        for _ in range(k):
            await fan(doc, OP, SEQ)

    return (lambda: run_coro(fan_loop()), k * n, None), host


def floor_cases(host, n: int, k: int, doc_cls=MinimalDoc):
    """The floor: what any fan-out must call for each subscriber, in a tight Python loop.

    The host's two hooks, the engine's three operations, json.dumps of the event and the host's
    send coroutine run to its end (awaited, as a coroutine awaits it). Everything here is Python
    code shared by both implementations, so one floor serves both.
    """
    sockets = [Socket() for _ in range(n)]
    doc = doc_cls()
    is_connected = host.subscriber_is_connected
    send = host.send_message_async
    dumps = json.dumps
    event = event_of(doc_cls)

    async def floor_loop():
        for _ in range(k):
            for ws in sockets:
                is_connected(ws)
                doc.check_acl(None, "read", doc, False)
                doc.check_scope(None)
                doc.get_display_data(catalog=None, show_hidden=False)
                await send(ws, dumps(event, ensure_ascii=False))

    def dumps_loop():
        for _ in range(k):
            for _ws in sockets:
                dumps(event, ensure_ascii=False)

    return {
        ("floor",): (lambda: run_coro(floor_loop()), k * n, None),
        ("dumps",): (dumps_loop, k * n, None),
    }


def bench_fanout(impls, settings: Settings, ns=(10, 1_000, 100_000), doc_cls=MinimalDoc):
    for impl in impls:
        check_fanout(impl, doc_cls)
    big_doc = doc_cls is not MinimalDoc
    out = {}
    for n in ns:
        k = max(1, (settings.fanout_visits_2k if big_doc else settings.fanout_visits) // n)
        cases, hosts = {}, []
        for impl in impls:
            cases[(impl.key, "fanout")], host = fanout_case(impl, n, k, doc_cls)
            hosts.append(host)
        cases.update(floor_cases(hosts[-1], n, k, doc_cls))
        gc.collect()
        reps = settings.fanout_repeats_big if n >= 100_000 or big_doc else settings.fanout_repeats
        out[n] = measure(cases, reps)
        for host in hosts:
            host.active_connections.clear()
        del cases, hosts
        gc.collect()
    return out


def bench_fanouts(impls, settings: Settings):
    return {"small": bench_fanout(impls, settings),
            "2 KB": bench_fanout(impls, settings, (1_000, 10_000), DocView)}


# --------------------------------------------------------------------------------------------
# (e) send_json_async of one event
# --------------------------------------------------------------------------------------------

def bench_send_json(impls, settings: Settings):
    """send_json_async awaited on its own, with the small and the 2 KB event; beside it
    json.dumps of the same event, which the pure-Python reading calls."""
    cases = {}
    calls = settings.send_calls
    ws = Socket()
    for label, doc_cls in (("small", MinimalDoc), ("2 KB", DocView)):
        event = event_of(doc_cls)
        for impl in impls:
            sent = []
            run_coro(impl.recording_host(sent).send_json_async(ws, event))
            if sent != [(ws, json.dumps(event, ensure_ascii=False))]:
                raise RuntimeError(f"{impl.key}: send_json_async did not send the expected text")
            send = impl.host().send_json_async

            async def loop(send=send, event=event):
                for _ in range(calls):
                    await send(ws, event)

            cases[(impl.key, label)] = (lambda loop=loop: run_coro(loop()), calls, None)

        def dumps_loop(event=event):
            for _ in range(calls):
                json.dumps(event, ensure_ascii=False)

        cases[("dumps", label)] = (dumps_loop, calls, None)
    gc.collect()
    return measure(cases, settings.repeats)


# --------------------------------------------------------------------------------------------
# (b) subscribe / disconnect against the registry size
# --------------------------------------------------------------------------------------------

def registry_cases(impl: Impl, names: int, settings: Settings):
    host = impl.host()
    registry = host.active_connections
    class_names = [f"Doc{i}" for i in range(names)]
    # every class name holds two other subscribers, so no per-class dict is trivially empty
    for name in class_names:
        subscribe_all(host, [Socket(), Socket()], name)
    target = class_names[0]
    acl = Acl([DOC_CLASS])
    # Each sample starts from a fresh copy of the target's per-class dict, so that no sample
    # inherits the deleted slots or the grown table of the one before it.
    pristine = dict(registry[target])

    sub_sockets = [Socket() for _ in range(settings.sub_calls)]
    sub = host.subscribe

    async def sub_loop():
        for ws in sub_sockets:
            await sub(ws, target, acl=acl)

    def fresh_target():
        registry[target] = dict(pristine)

    disc_calls = max(20, min(settings.sub_calls, settings.disc_name_visits // names))
    disc_sockets = [Socket() for _ in range(disc_calls)]
    disc = host.disconnect
    subscribe_all(host, disc_sockets, target)
    with_disc = dict(registry[target])

    def disc_prepare():
        registry[target] = dict(with_disc)

    def disc_loop():
        for ws in disc_sockets:
            disc(ws)

    empty_async, empty_sync = host.empty_async, host.empty_sync

    async def empty_async_loop():
        for ws in sub_sockets:
            await empty_async(ws, target, acl=acl)

    def empty_sync_loop():
        for ws in disc_sockets:
            empty_sync(ws)

    cases = {
        ("harness", "subscribe"): (lambda: run_coro(empty_async_loop()), len(sub_sockets), None),
        ("harness", "disconnect"): (empty_sync_loop, disc_calls, None),
        (impl.key, "subscribe"): (lambda: run_coro(sub_loop()), len(sub_sockets), fresh_target),
        (impl.key, "disconnect"): (disc_loop, disc_calls, disc_prepare),
    }
    return cases, host


def bench_registry(impls, settings: Settings, sizes=(1, 10, 100, 1_000, 10_000)):
    out = {}
    for m in sizes:
        cases, hosts = {}, []
        for impl in impls:
            c, host = registry_cases(impl, m, settings)
            cases.update(c)
            hosts.append(host)
        gc.collect()
        out[m] = measure(cases, settings.repeats)
        for host in hosts:
            host.active_connections.clear()
        del cases, hosts
        gc.collect()
    return out


# --------------------------------------------------------------------------------------------
# (c) decorator wrappers
# --------------------------------------------------------------------------------------------

def bench_decorators(impls, settings: Settings):
    n = settings.deco_calls
    acl = Acl([DOC_CLASS])

    def plain(x, acl=None):
        return x

    async def coro_fn(x, acl=None):
        return x

    def sync_loop(fn):
        def run():
            for _ in range(n):
                fn(1)
        return run

    def sync_loop_acl(fn):
        def run():
            for _ in range(n):
                fn(1, acl=acl)
        return run

    def async_loop(fn):
        async def body():
            for _ in range(n):
                await fn(1)
        return lambda: run_coro(body())

    def async_loop_acl(fn):
        async def body():
            for _ in range(n):
                await fn(1, acl=acl)
        return lambda: run_coro(body())

    targets = {"bare": (plain, coro_fn)}
    for impl in impls:
        targets[impl.key] = (impl.module.auth_required(plain),
                             impl.module.auth_required_async(coro_fn))
    # sanity: the wrappers pass calls through and refuse an empty ACL
    for key, (fn, afn) in targets.items():
        if fn(7, acl=acl) != 7 or run_coro(afn(7)) != 7:
            raise RuntimeError(f"{key}: a wrapper did not pass the call through")
        if key != "bare":
            for call in (lambda: fn(1, acl=Acl([])), lambda: run_coro(afn(1, acl=Acl([])))):
                try:
                    call()
                except AuthorizationError:
                    pass
                else:
                    raise RuntimeError(f"{key}: an empty ACL went through the wrapper")

    cases = {}
    for key, (fn, afn) in targets.items():
        cases[(key, "sync")] = (sync_loop(fn), n, None)
        cases[(key, "sync+acl")] = (sync_loop_acl(fn), n, None)
        cases[(key, "async")] = (async_loop(afn), n, None)
        cases[(key, "async+acl")] = (async_loop_acl(afn), n, None)
    gc.collect()
    return measure(cases, settings.repeats)


# --------------------------------------------------------------------------------------------
# (d) memory per subscription, in a fresh child interpreter per implementation
# --------------------------------------------------------------------------------------------

def _rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(impl: Impl, count: int, peak_subs: int) -> dict:
    gc.collect()
    # resident-size growth first, before tracemalloc adds its own bookkeeping
    host = impl.host()
    sockets = [Socket() for _ in range(count)]
    subscribe_all(host, sockets[:10])  # first-use costs out of the way
    host.active_connections.clear()
    gc.collect()
    rss0 = _rss_bytes()
    subscribe_all(host, sockets)
    gc.collect()
    rss1 = _rss_bytes()
    if len(host.active_connections[DOC_CLASS]) != count:
        raise RuntimeError("subscriptions went missing")
    host.active_connections.clear()
    gc.collect()

    host = impl.host()
    subscribe_all(host, sockets[:10])
    host.active_connections.clear()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    subscribe_all(host, sockets)
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    host.active_connections.clear()
    gc.collect()

    # the peak while one event of the 2 KB document view is sent to every subscriber
    host = impl.host()
    subscribe_all(host, sockets[:peak_subs], DocView.__name__)
    run_coro(host.document_sent_async(DocView(), OP, SEQ))  # first-use costs out of the way
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    run_coro(host.document_sent_async(DocView(), OP, SEQ))
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    return {"tracemalloc": (after - before) / count, "rss": (rss1 - rss0) / count, "count": count,
            "fanout_peak": peak, "peak_subs": peak_subs}


def bench_memory(args, settings: Settings) -> dict:
    out = {}
    for key in ("native", "python"):
        cmd = [sys.executable, str(pathlib.Path(__file__).resolve()), "--memory-child", key,
               "--native-module", args.native_module]
        for path in args.native_path:
            cmd += ["--native-path", path]
        done = subprocess.run(cmd, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise RuntimeError(f"memory child ({key}) failed: {done.stderr.strip()[-300:]}")
        out[key] = json.loads(done.stdout.strip().splitlines()[-1])
    return out


# --------------------------------------------------------------------------------------------
# Report
# --------------------------------------------------------------------------------------------

class Row:
    def __init__(self, section, metric, native="", python="", ratio="", target="", verdict="",
                 data=None):
        self.section, self.metric = section, metric
        self.native, self.python, self.ratio = native, python, ratio
        self.target, self.verdict, self.data = target, verdict, data or {}


def us(stat: Stat) -> str:
    return f"{stat.min / 1000:8.3f} /{stat.med / 1000:8.3f}"


def num(value: float, unit: str = "", width: int = 8, prec: int = 3) -> str:
    return f"{value:{width}.{prec}f}{unit}"


def verdict(ok: bool) -> str:
    return "PASS" if ok else "FAIL"


# native / python per subscriber, at N >= 1,000, for each document
FANOUT_RATIO_TARGETS = {"small": 0.35, "2 KB": 0.25}


def fanout_rows(by_doc) -> list[Row]:
    rows = []
    for doc, results in by_doc.items():
        rows += fanout_doc_rows(doc, results)
    return rows


def fanout_doc_rows(doc, results) -> list[Row]:
    rows = []
    for n, r in results.items():
        sec = f"(a) N={n:,}" if doc == "small" else f"(a) {doc} N={n:,}"
        fan = {k: r[(k, "fanout")] for k in ("native", "python")}
        flo, dmp = r[("floor",)], r[("dumps",)]
        judged = n >= 1_000
        # the floor's targets are those of the small document's rows; with 2 KB they are information
        floor_judged = judged and doc == "small"
        ratio = fan["native"].min / fan["python"].min
        target = FANOUT_RATIO_TARGETS[doc]
        rows.append(Row(sec, "fan-out per subscriber, us", us(fan["native"]), us(fan["python"]),
                        num(ratio, "x", 6, 2), f"ratio <= {target}" if judged else "",
                        verdict(ratio <= target) if judged else "",
                        data={"fanout": {k: v.as_json() for k, v in fan.items()}}))
        rows.append(Row(sec, "floor per subscriber, us (shared)", us(flo), us(flo),
                        data={"floor": flo.as_json()}))
        rows.append(Row(sec, "  of which json.dumps, us", us(dmp), us(dmp),
                        target=f"(info: {dmp.min / flo.min:.0%} of floor)",
                        data={"dumps": dmp.as_json()}))
        ratio = {k: fan[k].min / flo.min for k in fan}
        ratio_med = {k: fan[k].med / flo.med for k in fan}
        rows.append(Row(sec, "fan-out / floor",
                        f"{ratio['native']:8.3f} /{ratio_med['native']:8.3f}",
                        f"{ratio['python']:8.3f} /{ratio_med['python']:8.3f}",
                        target="native <= 1.05" if floor_judged else "(info)",
                        verdict=verdict(ratio["native"] <= 1.05) if floor_judged else "",
                        data={"fanout_over_floor_min": ratio, "fanout_over_floor_median": ratio_med}))
        own = {k: fan[k].min - flo.min for k in fan}
        own_med = {k: fan[k].med - flo.med for k in fan}
        if min(own.values()) <= 0:
            # Below the floor an "own cost" and its ratio say nothing (a negative ratio would
            # pass any bound): the fan-out / floor row above tells it.
            rows[-1].data.update(own_ns_min=own, own_ns_median=own_med)
            continue
        own_ratio = own["native"] / own["python"]
        rows.append(Row(sec, "own cost (fan-out - floor), us",
                        f"{own['native'] / 1000:8.3f} /{own_med['native'] / 1000:8.3f}",
                        f"{own['python'] / 1000:8.3f} /{own_med['python'] / 1000:8.3f}",
                        num(own_ratio, "x", 6, 2),
                        target="ratio <= 0.25" if floor_judged else "(info)",
                        verdict=verdict(own_ratio <= 0.25) if floor_judged else "",
                        data={"own_ns_min": own, "own_ns_median": own_med,
                              "own_ratio_native_over_python": own_ratio}))
    return rows


def send_json_rows(results) -> list[Row]:
    rows = []
    for label in ("small", "2 KB"):
        nat, py, dmp = results[("native", label)], results[("python", label)], results[("dumps", label)]
        r = nat.min / py.min
        judged = label == "2 KB"
        rows.append(Row(f"(e) {label} event", "send_json_async per call, us", us(nat), us(py), num(r, "x", 6, 2),
                        "ratio <= 0.2" if judged else "(info)", verdict(r <= 0.2) if judged else "",
                        data={"send_json": {"native": nat.as_json(), "python": py.as_json()}}))
        rows.append(Row(f"(e) {label} event", "  of which json.dumps in python, us", "", us(dmp),
                        target=f"(info: {dmp.min / py.min:.0%})", data={"dumps": dmp.as_json()}))
    return rows


def registry_rows(results) -> list[Row]:
    rows = []
    sizes = list(results)
    sub = {k: [results[m][(k, "subscribe")] for m in sizes] for k in ("native", "python")}
    disc = {k: [results[m][(k, "disconnect")] for m in sizes] for k in ("native", "python")}
    for i, m in enumerate(sizes):
        sn, sp = sub["native"][i], sub["python"][i]
        r = sn.min / sp.min
        rows.append(Row(f"(b) names={m:,}", "subscribe per call, us", us(sn), us(sp),
                        num(r, "x", 6, 2), "ratio <= 0.667", verdict(r <= 1 / 1.5),
                        data={"subscribe": {"native": sn.as_json(), "python": sp.as_json()}}))
    h = results[sizes[0]][("harness", "subscribe")]
    rows.append(Row("(b) subscribe", "  harness: await of an empty classmethod", us(h), us(h),
                    target="(info, in both)", data={"harness_subscribe": h.as_json()}))
    flat = {k: max(s.min for s in sub[k]) / min(s.min for s in sub[k]) for k in sub}
    rows.append(Row("(b) subscribe", "flatness: slowest / fastest size",
                    num(flat["native"], "x"), num(flat["python"], "x"),
                    target="native <= 1.5x", verdict=verdict(flat["native"] <= 1.5),
                    data={"subscribe_flatness": flat}))
    for i, m in enumerate(sizes):
        dn, dp = disc["native"][i], disc["python"][i]
        rows.append(Row(f"(b) names={m:,}", "disconnect per call, us", us(dn), us(dp),
                        num(dn.min / dp.min, "x", 6, 2),
                        data={"disconnect": {"native": dn.as_json(), "python": dp.as_json()}}))
        pn, pp = dn.scaled(1 / m), dp.scaled(1 / m)
        r = pn.min / pp.min
        judged = m >= 1_000
        rows.append(Row(f"(b) names={m:,}", "  per class name, ns",
                        f"{pn.min:8.1f} /{pn.med:8.1f}", f"{pp.min:8.1f} /{pp.med:8.1f}",
                        num(r, "x", 6, 2), "ratio <= 0.333" if judged else "(info)",
                        verdict(r <= 1 / 3) if judged else ""))
    h = results[sizes[0]][("harness", "disconnect")]
    rows.append(Row("(b) disconnect", "  harness: call of an empty classmethod", us(h), us(h),
                    target="(info, in both)", data={"harness_disconnect": h.as_json()}))
    if 1_000 in sizes and 10_000 in sizes:
        i, j = sizes.index(1_000), sizes.index(10_000)
        growth = {k: disc[k][j].min / disc[k][i].min for k in disc}
        rows.append(Row("(b) disconnect", "linearity: t(10,000) / t(1,000)",
                        num(growth["native"], "x"), num(growth["python"], "x"),
                        target="native 5x..20x", verdict=verdict(5 <= growth["native"] <= 20),
                        data={"disconnect_growth_1k_to_10k": growth}))
    return rows


def decorator_rows(results) -> list[Row]:
    rows = []
    for case in ("sync", "sync+acl", "async", "async+acl"):
        bare = results[("bare", case)]
        nat, py = results[("native", case)], results[("python", case)]
        rows.append(Row(f"(c) {case}", "call, us (bare fn: "
                        f"{bare.min / 1000:.3f} / {bare.med / 1000:.3f})", us(nat), us(py),
                        data={case: {"bare": bare.as_json(), "native": nat.as_json(),
                                     "python": py.as_json()}}))
        over = {"native": nat.min - bare.min, "python": py.min - bare.min}
        over_med = {"native": nat.med - bare.med, "python": py.med - bare.med}
        r = over["native"] / over["python"] if over["python"] > 0 else float("nan")
        rows.append(Row(f"(c) {case}", "  wrapper overhead, us",
                        f"{over['native'] / 1000:8.3f} /{over_med['native'] / 1000:8.3f}",
                        f"{over['python'] / 1000:8.3f} /{over_med['python'] / 1000:8.3f}",
                        num(r, "x", 6, 2), "ratio <= 0.333", verdict(r <= 1 / 3),
                        data={"overhead_ns_min": over, "overhead_ns_median": over_med}))
    return rows


def memory_rows(results) -> list[Row]:
    n, p = results["native"], results["python"]
    r = n["tracemalloc"] / p["tracemalloc"]
    rr = n["rss"] / p["rss"] if p["rss"] > 0 else float("nan")
    return [
        Row(f"(d) {n['count']:,} subs", "bytes per subscription (tracemalloc)",
            num(n["tracemalloc"], "", 8, 1), num(p["tracemalloc"], "", 8, 1), num(r, "x", 6, 2),
            "ratio <= 1.0", verdict(r <= 1.0), data={"memory": results}),
        Row(f"(d) {n['count']:,} subs", "bytes per subscription (RSS growth)",
            num(n["rss"], "", 8, 1), num(p["rss"], "", 8, 1), num(rr, "x", 6, 2),
            "ratio <= 1.05", verdict(rr <= 1.05)),
        Row(f"(d) 2 KB fan-out", f"peak bytes, one event to {n['peak_subs']:,} (tracemalloc)",
            num(n["fanout_peak"], "", 8, 0), num(p["fanout_peak"], "", 8, 0),
            num(n["fanout_peak"] / p["fanout_peak"], "x", 6, 2), "(info)"),
    ]


def print_table(rows: list[Row]):
    head = ("", "measure", "native min / med", "python min / med", "nat/py", "target", "")
    widths = [18, 40, 19, 19, 8, 22, 4]
    line = lambda cells: "  ".join(f"{c:<{w}}" if i < 2 or i >= 5 else f"{c:>{w}}"
                                  for i, (c, w) in enumerate(zip(cells, widths)))
    print(line(head))
    print("-" * (sum(widths) + 2 * (len(widths) - 1)))
    last = None
    for row in rows:
        sec = row.section if row.section != last else ""
        if row.section.split(" ")[0] != (last or "").split(" ")[0] and last is not None:
            print()
        last = row.section
        print(line((sec, row.metric, row.native, row.python, row.ratio, row.target, row.verdict)))


def machine_line() -> str:
    try:
        load = os.getloadavg()
        load_s = f"load avg {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}"
    except OSError:
        load_s = "load avg n/a"
    return (f"{platform.python_implementation()} {platform.python_version()}, "
            f"{os.cpu_count()} CPUs, {platform.machine()}, {load_s}")


# --------------------------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats and shorter samples")
    ap.add_argument("--repeats", type=int, help="repeats per measurement (default 15, quick 5)")
    ap.add_argument("--native-module", default="broadcast",
                    help='module name to import as the native side, or "reference" to load the '
                         "pure-Python reading there too (default: broadcast)")
    ap.add_argument("--native-path", action="append", default=[],
                    help="a directory holding the built module, searched before the installed one; repeatable")
    ap.add_argument("--only", default="a,b,c,d,e", help="sections to run, e.g. a,c (default all)")
    ap.add_argument("--json", metavar="FILE", help="also write every figure to FILE")
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    settings = Settings(args.quick, args.repeats)
    native, python = load_impls(args.native_module, args.native_path)
    impls = (native, python)

    if args.memory_child:
        impl = native if args.memory_child == "native" else python
        print(json.dumps(memory_child(impl, settings.memory_subs, settings.peak_subs)))
        return 0

    sections = {s.strip() for s in args.only.split(",") if s.strip()}
    print(f"native: {native.description}")
    print(f"python: {python.description}")
    print(f"machine: {machine_line()}")
    print(f"mode: {'quick' if args.quick else 'full'}, repeats {settings.repeats}; "
          "times are min / median over the repeats; verdicts use the min")
    print()

    started = time.perf_counter()
    rows: list[Row] = []
    raw: dict = {}
    sections_run = [
        ("a", "(a) fan-out", lambda: bench_fanouts(impls, settings), fanout_rows,
         lambda res: {doc: {str(n): {"/".join(k): v.as_json() for k, v in r.items()}
                            for n, r in by_n.items()} for doc, by_n in res.items()}),
        ("b", "(b) registry", lambda: bench_registry(impls, settings), registry_rows,
         lambda res: {str(m): {"/".join(k): v.as_json() for k, v in r.items()}
                      for m, r in res.items()}),
        ("c", "(c) decorators", lambda: bench_decorators(impls, settings), decorator_rows,
         lambda res: {"/".join(k): v.as_json() for k, v in res.items()}),
        ("d", "(d) memory", lambda: bench_memory(args, settings), memory_rows, lambda res: res),
        ("e", "(e) send_json_async", lambda: bench_send_json(impls, settings), send_json_rows,
         lambda res: {"/".join(k): v.as_json() for k, v in res.items()}),
    ]
    for key, title, run, to_rows, to_raw in sections_run:
        if key not in sections:
            continue
        gc.collect()
        if key != "d":
            gc.disable()
        try:
            res = run()
        except Exception as exc:  # one broken section must not hide the others
            rows.append(Row(title, f"ERROR {type(exc).__name__}: {exc}"[:120], verdict="ERR"))
            raw[title] = {"error": repr(exc)}
            continue
        finally:
            gc.enable()
        rows += to_rows(res)
        raw[title] = to_raw(res)

    print_table(rows)
    elapsed = time.perf_counter() - started
    verdicts = [r.verdict for r in rows if r.verdict]
    print()
    print(f"{verdicts.count('PASS')} PASS, {verdicts.count('FAIL')} FAIL; "
          f"{elapsed:.0f} s; machine after the run: {machine_line()}")

    if args.json:
        doc = {
            "native": native.description,
            "python": python.description,
            "machine": machine_line(),
            "mode": "quick" if args.quick else "full",
            "repeats": settings.repeats,
            "elapsed_s": elapsed,
            "rows": [{"section": r.section, "metric": r.metric, "native": r.native.strip(),
                      "python": r.python.strip(), "ratio": r.ratio.strip(),
                      "target": r.target, "verdict": r.verdict, "data": r.data} for r in rows],
            "raw_ns_per_op": raw,
        }
        pathlib.Path(args.json).write_text(json.dumps(doc, indent=1, default=str))
        print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
