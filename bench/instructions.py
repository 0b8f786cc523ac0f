#!/usr/bin/env python3
"""Instructions per call through the auth_required / auth_required_async wrappers, counted by
valgrind's callgrind: the same four cases as section (c) of run.py, for the bare function, the
native module and its pure-Python reading, with the same overhead ratio
(native - bare) / (python - bare).

Wall-clock figures on a shared machine swing by 10% or more from run to run; these counts are
exact and repeatable, so a change of a few instructions on the wrapper path shows. Each figure is
the difference between a run of 21,000 calls and one of 1,000 (which cancels start-up), divided by
20,000, with PYTHONHASHSEED=0. With --cache, the simulated first-level instruction-cache misses
per call are shown too: code that the path spreads over sets the interpreter's own code also uses
shows up there, not in the instruction count.

It says on stderr what it is counting as it goes (six runs under valgrind per case, a few
seconds each, longer with --cache), then prints the table.

Usage:
  .venv/bin/python bench/instructions.py              the module installed in .venv (needs valgrind)
  .venv/bin/python bench/instructions.py --native-path /tmp/build --cache
"""
from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
CASES = ("sync", "sync+acl", "async", "async+acl")

# Run in the child: one case, `count` calls, gc off.
CHILD = r"""
import importlib.util, sys
impl, case, count, reference = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
from tolva_engine import Acl
acl = Acl(["MinimalDoc"])
def plain(x, acl=None): return x
async def coro_fn(x, acl=None): return x
if impl == "bare":
    fn, afn = plain, coro_fn
else:
    if impl == "native":
        import broadcast as m
    else:
        spec = importlib.util.spec_from_file_location("broadcast_py", reference)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
    fn, afn = m.auth_required(plain), m.auth_required_async(coro_fn)
def sync():
    for _ in range(count): fn(1)
def sync_acl():
    for _ in range(count): fn(1, acl=acl)
async def run_async():
    for _ in range(count): await afn(1)
async def run_async_acl():
    for _ in range(count): await afn(1, acl=acl)
def drive(coro):
    try:
        coro.send(None)
    except StopIteration:
        pass
import gc
gc.disable()
{"sync": sync, "sync+acl": sync_acl, "async": lambda: drive(run_async()),
 "async+acl": lambda: drive(run_async_acl())}[case]()
"""


def totals(impl: str, case: str, count: int, env: dict, cache: bool) -> dict[str, int]:
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
        if cache:
            cmd.append("--cache-sim=yes")
        cmd += [sys.executable, "-c", CHILD, impl, case, str(count), str(HERE / "reference" / "broadcast.py")]
        subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        events, values = [], []
        for line in out.read_text().splitlines():
            if line.startswith("events:"):
                events = line.split()[1:]
            elif re.match(r"(summary|totals):", line):
                values = [int(v) for v in line.split()[1:]]
        return dict(zip(events, values))


def per_call(impl: str, case: str, env: dict, cache: bool) -> dict[str, float]:
    low, high = totals(impl, case, 1_000, env, cache), totals(impl, case, 21_000, env, cache)
    return {k: (high[k] - low[k]) / 20_000 for k in high}


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--native-path", action="append", default=[],
                    help="a directory holding the built module, searched before the installed one")
    ap.add_argument("--cache", action="store_true", help="also simulate the caches (slower)")
    ap.add_argument("--only", default=",".join(CASES), help="a subset of: " + ", ".join(CASES))
    args = ap.parse_args(argv)
    if not shutil.which("valgrind"):
        print("valgrind is needed (apt-get install valgrind)", file=sys.stderr)
        return 2
    env = dict(os.environ, PYTHONHASHSEED="0",
               PYTHONPATH=os.pathsep.join([*args.native_path, str(ROOT / "engine_standin")]))
    cases = args.only.split(",")
    rows = []
    for n, case in enumerate(cases, 1):
        got = {}
        for impl in ("bare", "native", "python"):
            say(f"[{n}/{len(cases)}] {case}: {impl}, 1,000 and 21,000 calls under callgrind"
                + (" with the cache simulation" if args.cache else "") + " ...")
            started = time.monotonic()
            got[impl] = per_call(impl, case, env, args.cache)
            say(f"      {got[impl]['Ir']:.0f} instructions per call"
                f" ({time.monotonic() - started:.0f} s)")
        ir = {impl: got[impl]["Ir"] for impl in got}
        ratio = (ir["native"] - ir["bare"]) / (ir["python"] - ir["bare"])
        line = f"{case:<10} {ir['bare']:7.0f} {ir['native']:7.0f} {ir['python']:7.0f}  {ratio:6.3f}"
        if args.cache:
            line += f"   {got['native'].get('I1mr', 0):6.1f}"
        rows.append(line)
    print("Instructions per call through auth_required / auth_required_async (callgrind)")
    print("bare: the plain function; overhead ratio: (native - bare) / (python - bare)")
    print(f"{'case':<10} {'bare':>7} {'native':>7} {'python':>7}  overhead ratio" +
          ("   I1 misses (native)" if args.cache else ""))
    for line in rows:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
