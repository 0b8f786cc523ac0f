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

__all__ = ["LocalCluster", "LocalRedis", "LocalSentinels", "free_port"]

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
                 executable: str = "redis-server", appendfsync: str = "everysec",
                 options: tuple[str, ...] = ()):
        self.executable = shutil.which(executable)
        if self.executable is None:
            raise Unavailable(f"{executable} not found: {PACKAGE_HINT}")
        self.host = host
        self.port = port
        self.dir = tempfile.mkdtemp(prefix="broadcast-redis-")
        self.process: subprocess.Popen | None = None
        self.restarts = 0
        self.appendfsync = appendfsync  # "always": every write acknowledged survives a crash
        self.options = tuple(options)  # more of redis-server's options ("--replicaof", ...)

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
                "--logfile", "redis.log", "--daemonize", "no", "--protected-mode", "yes",
                *self.options]
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

    def pause(self) -> None:
        """Stop the server's process (SIGSTOP) as a machine that hangs would: it answers nothing
        until :meth:`resume`."""
        if self.process is not None:
            self.process.send_signal(signal.SIGSTOP)

    def resume(self) -> None:
        if self.process is not None:
            self.process.send_signal(signal.SIGCONT)

    def kill(self) -> None:
        """Kill the server for good (it writes nothing more)."""
        self._halt(signal.SIGKILL)

    def __enter__(self) -> "LocalRedis":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()


SENTINEL_HINT = "install Debian's redis-sentinel package (apt-get install redis-sentinel)"


class LocalSentinels:
    """``count`` redis-sentinel processes on free loopback ports, watching ``primary`` under the
    name ``master``; each in a temporary directory of its own (its configuration, which it
    rewrites, and its log). The primary counts as down after ``down_after`` seconds without an
    answer; then a majority of sentinels promotes a replica."""

    def __init__(self, primary: LocalRedis, *, count: int = 3, master: str = "broadcast",
                 down_after: float = 1.0, executable: str = "redis-sentinel"):
        self.executable = shutil.which(executable)
        if self.executable is None:
            raise Unavailable(f"{executable} not found: {SENTINEL_HINT}")
        self.primary, self.count, self.master = primary, count, master
        self.down_after = down_after
        self.processes: list[subprocess.Popen] = []
        self.ports: list[int] = []
        self.dirs: list[str] = []

    @property
    def addresses(self) -> str:
        """``host:port,...``, as ``--sentinel`` takes them."""
        return ",".join(f"127.0.0.1:{port}" for port in self.ports)

    def start(self, timeout: float = 10.0) -> "LocalSentinels":
        env = {k: v for k, v in os.environ.items() if k not in _SANITIZER_VARS}
        quorum = self.count // 2 + 1
        for _ in range(self.count):
            folder = tempfile.mkdtemp(prefix="broadcast-sentinel-")
            port = free_port()
            with open(os.path.join(folder, "sentinel.conf"), "w", encoding="utf-8") as conf:
                conf.write(f"port {port}\nbind 127.0.0.1\ndaemonize no\ndir {folder}\n"
                           f"logfile sentinel.log\n"
                           f"sentinel monitor {self.master} {self.primary.host} "
                           f"{self.primary.port} {quorum}\n"
                           f"sentinel down-after-milliseconds {self.master} "
                           f"{int(self.down_after * 1000)}\n"
                           f"sentinel failover-timeout {self.master} 10000\n"
                           f"sentinel parallel-syncs {self.master} 1\n")
            self.dirs.append(folder)
            self.ports.append(port)
            self.processes.append(subprocess.Popen(
                [self.executable, os.path.join(folder, "sentinel.conf")], env=env, cwd=folder,
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + timeout
        for port, process in zip(self.ports, self.processes):
            while not _pong("127.0.0.1", port):
                if process.poll() is not None or time.monotonic() > deadline:
                    self.close()
                    raise Unavailable("redis-sentinel did not start")
                time.sleep(0.02)
        return self

    def wait_ready(self, replicas: int = 1, timeout: float = 60.0) -> None:
        """Wait until every sentinel knows the others and ``replicas`` replicas in sync: only
        then can they agree on a failover."""
        import redis

        deadline = time.monotonic() + timeout
        while True:
            ready = True
            for port in self.ports:
                with redis.Redis(port=port, decode_responses=True, socket_timeout=2) as client:
                    known = client.execute_command("SENTINEL", "REPLICAS", self.master)
                    peers = client.execute_command("SENTINEL", "SENTINELS", self.master)
                synced = [r for r in known if "s_down" not in _field(r, "flags")
                          and _field(r, "master-link-status") == "ok"]
                ready &= len(synced) >= replicas and len(peers) >= self.count - 1
            if ready:
                return
            if time.monotonic() > deadline:
                raise Unavailable("the sentinels did not come to know each other and the "
                                  "replicas in time")
            time.sleep(0.1)

    def primary_port(self) -> int:
        """The port of the primary, as the first sentinel names it now."""
        import redis

        with redis.Redis(port=self.ports[0], decode_responses=True, socket_timeout=2) as client:
            return int(client.execute_command("SENTINEL", "GET-MASTER-ADDR-BY-NAME",
                                              self.master)[1])

    def close(self) -> None:
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        self.processes = []
        for folder in self.dirs:
            shutil.rmtree(folder, ignore_errors=True)

    def __enter__(self) -> "LocalSentinels":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()


class LocalCluster:
    """A Redis Cluster of ``shards`` primaries (no replicas), each a :class:`LocalRedis` with its
    own append-only file and cluster state, on free loopback ports. A shard killed and started
    again (:meth:`LocalRedis.crash`) rejoins with what its files kept."""

    def __init__(self, shards: int = 3, *, appendfsync: str = "always"):
        self.shards = [LocalRedis(appendfsync=appendfsync, options=(
            "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
            "--cluster-node-timeout", "2000", "--cluster-require-full-coverage", "no"))
            for _ in range(shards)]

    @property
    def addresses(self) -> str:
        """``host:port,...``, as ``--redis-cluster`` takes them."""
        return ",".join(f"{s.host}:{s.port}" for s in self.shards)

    def start(self, timeout: float = 30.0) -> "LocalCluster":
        import redis

        try:
            for shard in self.shards:
                shard.start()
            # The slots split evenly, each shard told of the others.
            count = len(self.shards)
            for i, shard in enumerate(self.shards):
                first, last = 16384 * i // count, 16384 * (i + 1) // count - 1
                with redis.Redis(port=shard.port, socket_timeout=5) as client:
                    client.execute_command("CLUSTER", "ADDSLOTSRANGE", first, last)
                    for other in self.shards[:i]:
                        client.execute_command("CLUSTER", "MEET", other.host, other.port)
            self.wait_ok(timeout)
        except BaseException:
            self.close()
            raise
        return self

    def wait_ok(self, timeout: float = 30.0) -> None:
        """Wait until every shard finds the cluster whole (every slot served)."""
        import redis

        deadline = time.monotonic() + timeout
        while True:
            states = []
            for shard in self.shards:
                try:
                    with redis.Redis(port=shard.port, socket_timeout=2,
                                     decode_responses=True) as client:
                        info = client.execute_command("CLUSTER", "INFO")
                except (redis.RedisError, OSError):
                    info = ""
                states.append("cluster_state:ok" in str(info)
                              and "cluster_known_nodes:" + str(len(self.shards)) in str(info))
            if all(states):
                return
            if time.monotonic() > deadline:
                raise Unavailable("the cluster did not come together in time")
            time.sleep(0.1)

    def shard_of(self, key: str) -> LocalRedis:
        """The shard whose slots hold ``key``."""
        from redis.crc import key_slot

        slot = key_slot(key.encode())
        return self.shards[slot * len(self.shards) // 16384]

    def close(self) -> None:
        for shard in self.shards:
            shard.close()

    def __enter__(self) -> "LocalCluster":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()


def _field(reply, name: str) -> str:
    """A field of one entry of a SENTINEL REPLICAS reply (a flat list, or a dict)."""
    if isinstance(reply, dict):
        return str(reply.get(name, ""))
    pairs = dict(zip(reply[::2], reply[1::2]))
    return str(pairs.get(name, ""))


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
