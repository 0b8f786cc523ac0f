"""A throw-away ``redis-server`` on a free loopback port, for the multi-node demo, tests and bench.

It runs in a temporary directory of its own (its append-only file and log live there) and is
stopped, and the directory removed, by :meth:`LocalRedis.close`. :meth:`stop` and :meth:`start`
in between restart it on the same port with the same data, as an operator's restart would;
:meth:`crash` kills it and starts it on what its files kept, :meth:`lose` without its data::

    with LocalRedis() as server:
        print(server.url)           # redis://127.0.0.1:41234/0
        server.stop(); server.start()

From a shell, for a session by hand (runs until Ctrl-C or SIGTERM, prints its URL, then removes
its directory)::

    python -m broadcast_demo.local_redis --port 6379
"""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from broadcast_server.config import port as port_number
from broadcast_server.errors import Unavailable

__all__ = ["LocalRedis", "free_port"]

PACKAGE_HINT = "install Debian's redis-server package (apt-get install redis-server)"
# Variables that load the AddressSanitizer runtime into the interpreter; redis-server is not ours.
_SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")


def free_port(host="127.0.0.1") -> int:
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _pong(host, port) -> bool:
    try:
        with socket.create_connection((host, port), timeout=0.5) as s:
            s.sendall(b"PING\r\n")
            return s.recv(64).startswith(b"+PONG")
    except OSError:
        return False


class LocalRedis:
    """One redis-server; :class:`Unavailable` when it is not installed or does not come up."""

    def __init__(self, *, host: str = "127.0.0.1", port: int | None = None,
                 executable: str = "redis-server", appendfsync: str = "everysec"):
        self.executable = shutil.which(executable)
        if self.executable is None:
            raise Unavailable(f"{executable} not found: {PACKAGE_HINT}")
        self.host = host
        self.port = port
        self.dir = tempfile.mkdtemp(prefix="broadcast-redis-")
        self.process: subprocess.Popen | None = None
        self.restarts = 0
        self.appendfsync = appendfsync  # "always": every write acknowledged survives a crash

    @property
    def url(self) -> str:
        return f"redis://{self.host}:{self.port}/0"

    def start(self, timeout: float = 10.0) -> "LocalRedis":
        """Start (or start again) the server; returns once it answers PING."""
        for _ in range(5):  # a free port can be taken by someone else before the server binds it
            port = self.port or free_port(self.host)
            if self._spawn(port, timeout):
                self.port = port
                return self
            if self.port is not None:
                break
        raise Unavailable(f"redis-server did not start; its log: {self.log_tail()}")

    def _spawn(self, port: int, timeout: float) -> bool:
        env = {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARS}
        # Persistence on (append-only file, synced each second, or at each write, and at
        # shutdown): a restart must keep the stream, as a production server's would.
        args = [self.executable, "--port", str(port), "--bind", self.host, "--dir", self.dir,
                "--save", "", "--appendonly", "yes", "--appendfsync", self.appendfsync,
                "--logfile", "redis.log", "--daemonize", "no", "--protected-mode", "yes"]
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                self.process = None
                return False
            if _pong(self.host, port):
                return True
            time.sleep(0.02)
        self._halt(signal.SIGKILL)
        return False

    def stop(self) -> None:
        """Shut the server down as an operator would (it writes its data first)."""
        self._halt(signal.SIGTERM)

    def restart(self, down_for: float = 0.0) -> None:
        self.stop()
        time.sleep(down_for)
        self.start()
        self.restarts += 1

    def crash(self, down_for: float = 0.0) -> None:
        """Kill the server (it writes nothing more), then start it again on its files."""
        self._halt(signal.SIGKILL)
        time.sleep(down_for)
        self.start()
        self.restarts += 1

    def lose(self, down_for: float = 0.0) -> None:
        """Kill the server and remove its data, then start it again, empty: what a server
        without persistence (or with its files lost) does after a crash."""
        self._halt(signal.SIGKILL)
        for name in os.listdir(self.dir):
            if name != "redis.log":
                path = os.path.join(self.dir, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        time.sleep(down_for)
        self.start()
        self.restarts += 1

    def _halt(self, sig) -> None:
        process, self.process = self.process, None
        if process is None or process.poll() is not None:
            return
        process.send_signal(sig)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()

    def close(self) -> None:
        self._halt(signal.SIGTERM)
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_tail(self, lines: int = 5) -> str:
        try:
            with open(os.path.join(self.dir, "redis.log"), encoding="utf-8",
                      errors="replace") as f:
                return " | ".join(f.read().splitlines()[-lines:])
        except OSError:
            return "(no log)"

    def __enter__(self) -> "LocalRedis":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()


def _main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m broadcast_demo.local_redis",
        description="Run a throw-away redis-server on 127.0.0.1, keeping its data in a temporary "
                    "directory of its own, until Ctrl-C or SIGTERM; it prints the Redis URL, and "
                    "removes the directory when it stops.")
    parser.add_argument("--port", type=port_number, default=6379,
                        help="0 picks a free port (default: %(default)s)")
    args = parser.parse_args(argv)
    server = None
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # ends as Ctrl-C does: cleaned up
    if args.port:
        try:  # another server there would answer for this one
            with socket.socket() as s:
                s.bind(("127.0.0.1", args.port))
        except OSError as exc:
            parser.exit(2, f"{parser.prog}: port {args.port} on 127.0.0.1 cannot be listened on "
                           f"({exc.strerror or exc}); choose another with --port PORT\n")
    try:
        server = LocalRedis(port=args.port or None).start()
        print(server.url, flush=True)
        server.process.wait()
        parser.exit(1, f"{parser.prog}: redis-server stopped: {server.log_tail()}\n")
    except Unavailable as exc:
        parser.exit(2, f"{parser.prog}: {exc}\n")
    except KeyboardInterrupt:
        return 0
    finally:
        if server is not None:
            server.close()
    return 0


if __name__ == "__main__":
    sys.exit(_main())
