"""The server's command line: run a node, or publish one event to the stream.

    python -m broadcast_server node --redis redis://127.0.0.1:6379/0 \\
        --auth http://127.0.0.1:8001/api/ --documents broadcast_demo.shop
    python -m broadcast_server publish --redis redis://127.0.0.1:6379/0 \\
        --class Order --op update --data '{"id": "A-1", "region": "eu"}'

A node prints one JSON line once it serves (``{"node": ..., "url": ..., "pid": ...}``, and
``"metrics"``, its URL, with ``--metrics-port``) and runs
until SIGTERM or SIGINT, which close its connections with code 1001 (going away). ``publish``
prints the seq it appended. Every option may also come from an environment variable
(``BROADCAST_PORT``, ``BROADCAST_REDIS_URL`` for ``--redis``, ``BROADCAST_AUTH_URL`` for
``--auth``, ...: ``--help`` names each); an option given on the command line wins.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import signal
import sys
import threading
import urllib.parse

from . import config, logs, web
from .acl import bound_acl_lookups
from .errors import CannotListen, Unavailable
from .node import NodeServer, load_documents
from .stream import Publisher
from .stream.connection import RedisTarget

log = logging.getLogger("broadcast.node")


def redis_target(args) -> RedisTarget:
    """Where the stream is, as the Redis options say (ValueError for options that do not go
    together, or a URL that cannot be read)."""
    return RedisTarget(url=args.redis, sentinels=tuple(args.sentinel or ()),
                       master=args.sentinel_master, cluster=tuple(args.redis_cluster or ()))


async def serve(cfg: config.NodeConfig, documents) -> int:
    node = NodeServer(cfg.auth, redis_target(cfg), documents=documents, **cfg.server_options(),
                      # a line per connection, subscription, refusal and bad request
                      log=logging.getLogger("broadcast.connections").debug)
    bound_acl_lookups(cfg.auth_timeout)
    stopping = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stopping.set)
    await node.start()
    started = {"node": cfg.name, "url": node.url, "pid": os.getpid()}
    if node.metrics_port is not None:
        started["metrics"] = f"http://{web.url_host(node.host)}:{node.metrics_port}/metrics"
    print(json.dumps(started), flush=True)
    probe = asyncio.create_task(node.lookup_acl.probe())  # logs what it finds
    try:
        await stopping.wait()
    finally:
        exit_anyway(EXIT_AFTER)
        probe.cancel()
        await node.stop()
        feeds = node.feeds.values()  # one, or one per document class on a cluster
        log.info("%s stopped: %d events from the feed, %d stream entries skipped, %d feed "
                 "restarts, %d clients resumed, %d caught-up events, %d clients closed for "
                 "falling behind", cfg.name, sum(feed.delivered for feed in feeds),
                 sum(feed.skipped for feed in feeds), sum(feed.restarts for feed in feeds),
                 node.resumed, node.caught_up,
                 node.broadcaster.sender.fell_behind)
    return 0


EXIT_AFTER = 1.9
"""Seconds after SIGTERM by which a node's process ends, stopped or not: stopping is bounded well
within that (``config.STOP_TIMEOUT``), and nothing else may keep it."""


def exit_anyway(after: float) -> None:
    """End the process in ``after`` seconds, whatever is still running then."""
    def end() -> None:
        log.warning("still stopping after %g s: exiting now", after)
        logging.shutdown()
        os._exit(1)

    timer = threading.Timer(after, end)
    timer.daemon = True
    timer.start()


async def publish(args: argparse.Namespace) -> int:
    publisher = Publisher(redis_target(args), args.stream, width=args.seq_width,
                          min_replicas=args.min_replicas)
    try:
        print(await publisher.append(args.doc_class, json.loads(args.data), args.op, args.seq,
                                     event_id=args.event_id))
    finally:
        await publisher.close()
    return 0


def event_loop_factory():
    """uvloop's event loop where it is installed (its transports write with less overhead),
    else the standard one."""
    try:
        import uvloop
    except ImportError:
        return None
    return uvloop.new_event_loop


def command_line(environ=None) -> config.Parser:
    """The parser of both commands; ``environ`` (the process's environment by default) gives
    the options the command line leaves out."""
    parser = config.Parser(prog="broadcast_server", description=__doc__.split("\n\n")[0],
                           environ=environ)
    commands = parser.add_subparsers(dest="command", required=True)
    node = commands.add_parser("node", help="serve websocket clients, fed by the stream")
    config.add_node_arguments(node)
    node.checks.append(redis_target)
    one = commands.add_parser("publish", help="append one document event to the stream")
    config.add_redis_argument(one)
    one.checks.append(redis_target)
    one.add_argument("--class", dest="doc_class", required=True, help="the document's class")
    one.add_argument("--data", required=True, help="the document's data, a JSON object")
    one.add_argument("--min-replicas", type=config.count, default=config.MIN_REPLICAS,
                     metavar="N", help="succeed only once N replicas hold the event (Redis's "
                     "WAIT), so that a failover cannot lose it (default: %(default)s)")
    one.add_argument("--op", default="update", help="create, update or delete")
    # Never from the environment: a variable left set would give every later event the same
    # seq, or the same id, and an event whose id was already appended is not added at all.
    one.add_argument("--seq", default=None, from_env=False,
                     help="default: the one after the stream's last")
    one.add_argument("--event-id", default=None, from_env=False,
                     help="the event's own id (default: a new one); an event appended again "
                          "with the same id is not added twice")
    return parser


def main(argv=None, environ=None) -> int:
    parser = command_line(environ)
    args = parser.parse_args(argv)
    if args.command == "publish":
        try:
            return asyncio.run(publish(args))
        except (Unavailable, ValueError) as exc:
            parser.exit(1, f"{parser.prog} publish: {exc}\n")
    cfg = config.NodeConfig.from_args(args)
    # A setting that cannot work is told in one line, before anything starts.
    try:
        documents = load_documents(cfg.documents)
    except (ImportError, OSError, AttributeError) as exc:
        parser.exit(2, f"{parser.prog} node: --documents {cfg.documents}: {exc}\n")
    try:
        web.tls_context(cfg.tls_cert, cfg.tls_key)
    except ValueError as exc:
        parser.exit(2, f"{parser.prog} node: {exc}\n")
    auth = urllib.parse.urlsplit(cfg.auth)
    if auth.scheme not in ("http", "https") or not auth.hostname:
        parser.exit(2, f"{parser.prog} node: --auth: expected the authentication service's API "
                       f"root, an http:// or https:// URL such as http://127.0.0.1:8001/api/\n")
    logs.configure(cfg.log_level, cfg.log_format, node=cfg.name)
    try:
        with asyncio.Runner(loop_factory=event_loop_factory()) as runner:
            return runner.run(serve(cfg, documents))
    except CannotListen as exc:
        parser.exit(2, f"{parser.prog} node: {exc}; {exc.hint}\n")
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
