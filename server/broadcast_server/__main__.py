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

``publish`` only writes to Redis: it needs neither the ``broadcast`` module nor the engine
package (but to load the documents module given with ``--documents``, which checks the event as
every node would rebuild it). A node imports both once its command line has been read.
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
import uuid

from . import config, logs, web
from .documents import json_kind, load_documents, read_data, rebuild
from .errors import (CannotListen, RedisFull, StreamMadeAnew, StreamMismatch, Unavailable,
                     Unfit)
from .protocol import is_stream_seq, quote, seq_format
from .stream import OPS, Publisher
from .stream.connection import RedisTarget

log = logging.getLogger("broadcast.node")

ENGINE = "tolva_engine"
"""The engine package's import name: the host application's own, which a node needs."""


FILES_SPARE = 256
"""Open files a node needs besides its client connections: Redis, the authentication service,
its listening socket, its own files."""


def files_for(connections: int) -> None:
    """Raise the process's open-file limit so that ``connections`` clients fit (up to the hard
    limit), and warn when they still do not: past it every handshake fails, not only the extra
    ones, and the node is locked to everyone."""
    try:
        import resource
    except ImportError:  # not on this system
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = connections + FILES_SPARE
    if soft == resource.RLIM_INFINITY or soft >= want:
        return
    raised = want if hard == resource.RLIM_INFINITY else min(want, hard)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
    except (ValueError, OSError):
        raised = soft
    if raised < want:
        log.warning("the open-file limit (%d) leaves room for %d connections, fewer than "
                    "--max-connections (%d): lower it, or raise the limit", raised,
                    max(0, raised - FILES_SPARE), connections)


def redis_target(args) -> RedisTarget:
    """Where the stream is, as the Redis options say (ValueError for options that do not go
    together, or a URL that cannot be read)."""
    return RedisTarget(url=args.redis, sentinels=tuple(args.sentinel or ()),
                       master=args.sentinel_master, cluster=tuple(args.redis_cluster or ()))


async def serve(cfg: config.NodeConfig, documents) -> int:
    from .acl import bound_acl_lookups
    from .node import NodeServer
    files_for(cfg.max_connections)
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


async def publish(args: argparse.Namespace, data, event_id: str) -> int:
    publisher = Publisher(redis_target(args), args.stream, width=args.seq_width,
                          retry_for=config.PUBLISH_RETRY_FOR, allow_eviction=args.allow_eviction,
                          min_replicas=args.min_replicas)
    publisher.epoch = args.epoch
    try:
        print(await publisher.append(args.doc_class, data, args.op, args.seq,
                                     event_id=event_id))
    finally:
        await publisher.close()
    return 0


def event_data(parser: config.Parser, args: argparse.Namespace):
    """The event's data, refused (one line, status 2) when no node could rebuild the document
    from it: not a JSON object, or, with ``--documents``, a class the documents do not have or
    fields its class does not take."""
    prog = f"{parser.prog} publish"
    if args.seq is not None and not is_stream_seq(args.seq, args.seq_width):
        parser.exit(2, f"{prog}: --seq: {quote(args.seq)} is not a seq of the stream: "
                       f"{seq_format(args.seq_width)}\n")
    try:
        data = read_data(args.data)
    except ValueError as exc:
        parser.exit(2, f"{prog}: --data: {exc}\n")
    if not isinstance(data, dict):  # what every node finds first; the rest needs the documents
        parser.exit(2, f"{prog}: --data: {json_kind(data)} is not a JSON object: every node "
                       f"rebuilds the document as {args.doc_class}(**data)\n")
    if args.documents is None:
        return data
    try:
        documents = load_documents(args.documents)
    except (ImportError, OSError, AttributeError) as exc:
        parser.exit(2, f"{prog}: --documents {args.documents}: {exc}\n")
    try:
        rebuild(documents, args.doc_class, data)
    except Unfit as exc:
        flag = "--class" if args.doc_class not in documents else "--data"
        parser.exit(2, f"{prog}: {flag}: {exc}; every node would skip this event\n")
    return data


def import_node(parser: config.Parser) -> None:
    """Import what a node runs on, the module and the engine package, or say in one line which
    of them to install."""
    try:
        from . import node  # noqa: F401  (imports the module, which imports the engine)
    except ModuleNotFoundError as exc:
        if exc.name == ENGINE:
            missing = (f"the engine package {ENGINE} is not installed in {sys.prefix}: install "
                       f"your application's engine package there")
        elif exc.name == "broadcast":
            missing = (f"the broadcast module is not installed in {sys.prefix}: install the "
                       f"acl-broadcast wheel there (scripts/build-wheels makes it)")
        else:
            missing = f"{exc}: install it in {sys.prefix}"
        parser.exit(2, f"{parser.prog} node: {missing}\n")


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
    one.add_argument("--op", default="update", choices=OPS, help="create, update or delete")
    one.add_argument("--documents", default=None,
                     help="the nodes' documents module (or Python file): the event is refused "
                          "here, not skipped by every node, when its class cannot be rebuilt "
                          "from the data")
    # Never from the environment: a variable left set would give every later event the same
    # seq, or the same id, and an event whose id was already appended is not added at all.
    one.add_argument("--seq", default=None, from_env=False,
                     help="default: the one after the stream's last")
    one.add_argument("--event-id", default=None, from_env=False,
                     help="the event's own id (default: a new one); an event appended again "
                          "with the same id is not added twice")
    one.add_argument("--epoch", default=None, from_env=False,
                     help="the stream's epoch as the caller last knew it: nothing is appended, "
                          "and the command fails, when the stream was made anew since")
    one.add_argument("--allow-eviction", action="store_true", default=config.ALLOW_EVICTION,
                     help="append even when Redis's maxmemory-policy may evict the stream "
                          "(default: refuse)")
    return parser


def main(argv=None, environ=None) -> int:
    parser = command_line(environ)
    args = parser.parse_args(argv)
    if args.command == "publish":
        data = event_data(parser, args)
        event_id = args.event_id or uuid.uuid4().hex
        try:
            return asyncio.run(publish(args, data, event_id))
        except (RedisFull, OverflowError, StreamMadeAnew) as exc:
            parser.exit(1, f"{parser.prog} publish: {exc}\n")
        except Unavailable:
            parser.exit(1, f"{parser.prog} publish: Redis did not take the event within "
                           f"{config.PUBLISH_RETRY_FOR:g} s; it may or may not be in the stream: "
                           f"publish it again with --event-id {event_id} to know (an event is "
                           f"never added twice)\n")
        except ValueError as exc:
            parser.exit(1, f"{parser.prog} publish: {exc}\n")
    import_node(parser)
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
    except StreamMismatch as exc:
        parser.exit(2, f"{parser.prog} node: {exc}\n")
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
