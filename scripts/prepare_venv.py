"""Bring a virtual environment up to date for ./run-tests or ./run-demo, doing only what changed.

    python3.11 scripts/prepare_venv.py VENV EXTRAS [--asan]

Four steps, each run only when its inputs changed since it last succeeded, each announced by
one line on stderr:

1. create the environment (when VENV/bin/python is missing);
2. install the build tools, the module's requirements, those of EXTRAS (a comma-separated list
   of pyproject.toml's optional dependencies) and those of this repository's pure-Python
   packages, when a pyproject.toml or EXTRAS changed;
3. build and install the module, when anything under src/, CMakeLists.txt, pyproject.toml or the
   build settings changed. The build directory (build/<venv name>) is kept, so a rebuild
   compiles only the files that changed;
4. install the pure-Python packages of this repository (the server, the demo) in editable mode,
   when their pyproject.toml changed: edits to their code need no step at all.
"""
from __future__ import annotations

import argparse
import fcntl
import hashlib
import json
import pathlib
import re
import subprocess
import sys
import time
import tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD_INPUTS = ("src", "CMakeLists.txt", "pyproject.toml")
STAMP = ".broadcast-stamps.json"
# Pure-Python distributions of this repository: directory -> import package.
LOCAL_PACKAGES = {"server": "broadcast_server", "demo": "broadcast_demo"}
# What these distributions were called before: names that other projects own on the public index.
FORMER_NAMES = ("broadcast", "broadcast-server", "broadcast-demo")


def say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def digest(*parts: object) -> str:
    h = hashlib.sha256()
    for part in parts:
        h.update(repr(part).encode())
    return h.hexdigest()


def tree_digest(paths) -> str:
    h = hashlib.sha256()
    for name in paths:
        path = ROOT / name
        files = sorted(p for p in path.rglob("*") if p.is_file()) if path.is_dir() else [path]
        for file in files:
            h.update(str(file.relative_to(ROOT)).encode() + b"\0")
            h.update(file.read_bytes() if file.exists() else b"<missing>")
            h.update(b"\0")
    return h.hexdigest()


def wheel_name(distribution: str) -> str:
    """How a distribution's name is spelled in its wheel's and its dist-info's file names."""
    return re.sub(r"[-_.]+", "_", distribution).lower()


def site_packages(venv: pathlib.Path) -> pathlib.Path:
    return next((venv / "lib").glob("python3*/site-packages"))


def forget_former_names(python: pathlib.Path, site: pathlib.Path) -> None:
    """Uninstall what this repository installed under its former distribution names, which
    other projects own on the public index: the same files are installed under the new names."""
    former = [name for name in FORMER_NAMES if list(site.glob(f"{wheel_name(name)}-*.dist-info"))]
    if former:
        say(f"      removing the former distributions {', '.join(former)} ...")
        subprocess.run([str(python), "-m", "pip", "uninstall", "-q", "-y", *former], check=True)


def pip(python: pathlib.Path, *args: str) -> None:
    subprocess.run([str(python), "-m", "pip", "install", "-q", *args], check=True)


def main(argv=None) -> int:
    args = parse(argv)
    # ./run-demo and ./run-tests started side by side must not build into one directory at once.
    lock_path = ROOT / "build" / f"{pathlib.Path(args.venv).name}.lock"
    lock_path.parent.mkdir(exist_ok=True)
    with open(lock_path, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return prepare(args)


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("venv")
    parser.add_argument("extras", help="comma-separated optional dependencies, e.g. tests")
    parser.add_argument("--asan", action="store_true", help="AddressSanitizer build")
    return parser.parse_args(argv)


def prepare(args) -> int:
    venv = (ROOT / args.venv).resolve()
    python = venv / "bin" / "python"
    extras = [e for e in args.extras.split(",") if e]
    settings = ["-Ccmake.define.BROADCAST_WERROR=ON"]
    if args.asan:
        settings += ["-Ccmake.define.BROADCAST_SANITIZE=address",
                     "-Ccmake.build-type=RelWithDebInfo"]
    stamp_file = venv / STAMP

    if not python.exists():
        say(f"[1/4] Creating the virtual environment {args.venv} with {sys.executable} ...")
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        pip(python, "--upgrade", "pip")
        stamp_file.unlink(missing_ok=True)
    try:
        stamps = json.loads(stamp_file.read_text())
    except (OSError, ValueError):
        stamps = {}

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    optional = project["project"].get("optional-dependencies", {})
    unknown = [e for e in extras if e not in optional]
    if unknown:
        say(f"unknown optional dependencies: {', '.join(unknown)}")
        return 2
    requirements = [*project["build-system"]["requires"], "cmake>=3.20", "ninja",
                    *project["project"].get("dependencies", [])]
    # The local packages build without isolation and install without their dependencies: their
    # build backend and their requirements (but this repository's own packages) come in here.
    local_projects = [(ROOT / d / "pyproject.toml").read_text() for d in LOCAL_PACKAGES]
    ours = {project["project"]["name"]} | {tomllib.loads(text)["project"]["name"]
                                           for text in local_projects}
    for text in local_projects:
        local = tomllib.loads(text)
        requirements += local["build-system"]["requires"]
        requirements += [req for req in local["project"].get("dependencies", [])
                         if re.split(r"[\s<>=!~;\[]", req, maxsplit=1)[0] not in ours]
    for extra in extras:
        requirements += optional[extra]
    # One key per set of extras: ./run-demo and ./run-tests share an environment.
    deps_key = "deps:" + ",".join(sorted(extras))
    deps_digest = digest(requirements)
    if stamps.get(deps_key) != deps_digest:
        say(f"[2/4] Installing the build tools and the requirements of {args.extras or 'the module'}"
            f" into {args.venv} ...")
        pip(python, *requirements)
        if "tests" in extras:
            # uvloop is optional: the end-to-end tests also run under it when it installs here.
            quiet = subprocess.run([str(python), "-m", "pip", "install", "-q", "uvloop"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if quiet.returncode != 0:
                say("      uvloop is not installable here; its runs are skipped")
        stamps[deps_key] = deps_digest
        stamp_file.write_text(json.dumps(stamps))

    forget_former_names(python, site_packages(venv))

    build_dir = ROOT / "build" / venv.name
    build_digest = digest(settings, tree_digest(BUILD_INPUTS))
    installed = list((venv / "lib").glob("python3*/site-packages/broadcast.*.so"))
    if stamps.get("build") != build_digest or not installed:
        fresh = not (build_dir / "CMakeCache.txt").exists()
        kind = "module with AddressSanitizer" if args.asan else "module"
        what = "from scratch, about half a minute" if fresh else "only what changed"
        say(f"[3/4] Building the {kind} ({what}) in {build_dir.relative_to(ROOT)} and installing"
            f" it into {args.venv} ...")
        started = time.monotonic()
        pip(python, "--no-deps", "--no-build-isolation", "--force-reinstall",
            f"-Cbuild-dir={build_dir}", *settings, str(ROOT))
        say(f"      built and installed in {time.monotonic() - started:.0f} s")
        stamps["build"] = build_digest
        stamp_file.write_text(json.dumps(stamps))

    # After the module: their requirement `acl-broadcast` is then the one just built, and pip is
    # not sent looking for it (--no-deps; step 2 brought the rest).
    local_digest = digest(local_projects)
    site = site_packages(venv)
    missing = [name for name in ours - {project["project"]["name"]}
               if not list(site.glob(f"{wheel_name(name)}-*.dist-info"))]
    if stamps.get("local") != local_digest or missing:
        say(f"[4/4] Installing {', '.join(LOCAL_PACKAGES)} (editable) into {args.venv} ...")
        editable = [arg for d in LOCAL_PACKAGES for arg in ("-e", str(ROOT / d))]
        # The build backend's notices on an editable install are noise here; shown on failure.
        done = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-deps",
                               "--no-build-isolation", *editable], capture_output=True, text=True)
        if done.returncode != 0:
            say(done.stdout + done.stderr)
            done.check_returncode()
        stamps["local"] = local_digest
        stamp_file.write_text(json.dumps(stamps))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except subprocess.CalledProcessError as exc:
        say(f"failed: {' '.join(map(str, exc.cmd))} (exit status {exc.returncode})")
        sys.exit(exc.returncode or 1)
