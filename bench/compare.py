#!/usr/bin/env python3
"""Builds of the module side by side in one run: bench/run.py for each build in turn, the turns
interleaved over several rounds, and each row's best (minimum) native time per build, with its
ratio to the first build's.

Usage, from the repository root (PYTHONPATH=engine_standin):
  python3 bench/compare.py --build before=/tmp/base-build --build after=/tmp/build --rounds 3 --only a,b,c
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", action="append", required=True, metavar="NAME=DIR",
                    help="a build directory holding the module, named; repeatable, the first is the base")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--only", default="a,b,c")
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args(argv)
    builds = [b.split("=", 1) for b in args.build]
    best: dict[str, dict[tuple, float]] = {name: {} for name, _ in builds}
    with tempfile.TemporaryDirectory() as tmp:
        for round_ in range(args.rounds):
            for name, path in builds:
                out = os.path.join(tmp, f"{name}-{round_}.json")
                cmd = [sys.executable, str(HERE / "run.py"), "--native-path", path, "--only", args.only,
                       "--json", out] + (["--quick"] if args.quick else [])
                subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
                for row in json.load(open(out))["rows"]:
                    native = row["native"].split("/")[0].strip()
                    try:
                        value = float(native)
                    except ValueError:
                        continue
                    # a metric's label may carry a figure of its own run: "(bare fn: ...)"
                    key = (row["section"], row["metric"].split(" (")[0])
                    best[name][key] = min(best[name].get(key, value), value)
    base = builds[0][0]
    names = [name for name, _ in builds]
    print(f"{'row':62}" + "".join(f"{n:>12}" for n in names) + "".join(f"{n + '/' + base:>16}" for n in names[1:]))
    for key, value in best[base].items():
        cells = [best[n].get(key) for n in names]
        if any(c is None for c in cells):
            continue
        label = f"{key[0]} {key[1]}"[:61]
        print(f"{label:62}" + "".join(f"{c:12.3f}" for c in cells)
              + "".join(f"{(c / value if value else float('nan')):16.3f}" for c in cells[1:]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
