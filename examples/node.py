#!/usr/bin/env python3
"""One host node: the example websocket host plus a feed that reads document events from Redis.

Run several, on one machine or several, all pointing at the same Redis; put them behind a load
balancer. Each node delivers every event in the stream to its own clients::

    python examples/node.py --redis redis://127.0.0.1:6379/0 --auth http://127.0.0.1:8001/api/

It prints one JSON line once it serves (``{"node": ..., "url": ..., "pid": ...}``) and runs until
SIGTERM or SIGINT, which close its connections with code 1001 (going away).

The protocol is the example host's, plus catch-up. A client that comes back, to this node or
another, adds the last seq it saw to its request::

    {"api_key": "key-ops-eu", "subscribe": [...], "resume_after": "00000042"}

and first gets the events after that seq which the stream still holds (filtered by its
subscriptions like any event), then the live ones, with no gap and nothing twice. The reply::

    {"type": "subscribed", "doc_classes": [...], "api_id": ..., "after_seq": "00000050",
     "caught_up": 3}

says after which seq the live events start; a client keeps the larger of that and the last seq it
received, and resumes after it next time. When the stream no longer holds all the events it
missed, the client gets instead (and is not subscribed)::

    {"type": "too_old", "reason": "events after ... are no longer held ...; subscribe again
     without resume_after to get the events from now on", "oldest_seq": ..., "latest_seq": ...}
"""
from __future__ import annotations

import argparse
import asyncio
import importlib.util
import json
import logging
import os
import pathlib
import signal
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# The engine stand-in plays the engine package that a real application would have installed.
for _path in (ROOT / "engine_standin", HERE):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

from feed import STREAM, DOWN, Feed, TooOld, next_seq, rebuilder  # noqa: E402
from host import (BroadcastServer, Unavailable, bound_acl_lookups, parse_request,  # noqa: E402
                  subscribe_client)
from tolva_engine import AuthorizationError  # noqa: E402

__all__ = ["NodeServer", "parse_node_request", "main"]

log = logging.getLogger("broadcast.node")


def parse_node_request(raw, doc_classes):
    """The example host's request, plus an optional "resume_after" seq."""
    api_key, subscriptions = parse_request(raw, doc_classes)
    resume_after = json.loads(raw).get("resume_after")
    if resume_after is not None and (not isinstance(resume_after, str) or not resume_after.isdigit()
                                     or not resume_after.isascii()):
        raise ValueError('"resume_after" must be a seq: a string of decimal digits')
    return api_key, subscriptions, resume_after


def _register_now(coro) -> None:
    """Run a ``subscribe`` coroutine to its end without letting the event loop in.

    ``subscribe`` never waits on anything; driving it by hand makes sure that no event is
    handed over between reading the feed's position and registering the client.
    """
    try:
        coro.send(None)
    except StopIteration:
        return
    coro.close()
    raise RuntimeError("subscribe suspended")


class NodeServer(BroadcastServer):
    """The example host whose events come from a :class:`feed.Feed` over Redis."""

    def __init__(self, auth_root: str, redis_url: str, *, documents, stream: str = STREAM,
                 name: str = "node", from_start: bool = False, **kwargs):
        super().__init__(auth_root, doc_classes=documents, **kwargs)
        self.name = name
        self.feed = Feed(redis_url, self.publish, rebuilder(documents), stream=stream,
                         from_start=from_start)
        self.resumed = 0  # clients that came back with resume_after
        self.caught_up = 0  # events sent from the stream's backlog

    async def start(self) -> "NodeServer":
        await self.feed.start()
        return await super().start()

    async def stop(self) -> None:
        await super().stop()
        await self.feed.stop()

    async def handle_request(self, websocket, raw) -> dict:
        api_key, subscriptions, resume_after = parse_node_request(raw, self.broadcaster.doc_classes)
        acl, api_id = await self.lookup_acl(api_key)
        # Subscriptions replaced on the same connection start over from the catch-up.
        self.broadcaster.disconnect(websocket)
        # A registry of its own holding only this client: the backlog goes through the
        # module's own filtering, and to nobody else.
        catch_up = type("CatchUp", (self.broadcaster,), {"active_connections": {}})
        try:
            await subscribe_client(catch_up, websocket, subscriptions, acl=acl)
        except AuthorizationError as exc:
            self._refuse(api_key, f"API key {api_key!r} has an empty ACL ({exc})")
        after = resume_after
        sent = 0
        if resume_after is not None:
            self.resumed += 1
            try:
                after, sent = await self._catch_up(catch_up, resume_after)
            except TooOld as exc:
                return {"type": "too_old", "reason": str(exc), "oldest_seq": exc.oldest,
                        "latest_seq": exc.latest}
            except DOWN as exc:
                raise Unavailable(f"the event stream is unavailable ({type(exc).__name__}); "
                                  f"try again later") from exc
        # From here to the registration nothing waits: the feed cannot move in between.
        position = self.feed.position
        if after is None or (position is not None and int(position) > int(after)):
            after = position
        if after is None:
            # The feed has handed over nothing yet: every event it will is new to this client.
            after = "0"
        for sub in subscriptions:
            start_seq = sub.get("start_seq", "")
            if int(after):
                # Live events start right after ``after``: the client has everything up to it,
                # from this backlog or from its last node, even when this node is behind that one.
                start_seq = max(start_seq, next_seq(after))
            _register_now(self.broadcaster.subscribe(
                websocket, sub["doc_class"], data_scope=sub.get("data_scope"),
                catalog=sub.get("catalog"), show_hidden=bool(sub.get("show_hidden", False)),
                start_seq=start_seq, acl=acl))
        return {"type": "subscribed", "doc_classes": [s["doc_class"] for s in subscriptions],
                "api_id": api_id, "after_seq": after, "caught_up": sent}

    async def _catch_up(self, catch_up, after: str) -> tuple[str, int]:
        """Send the backlog after ``after`` up to the feed's position; returns (new after, sent).

        The feed goes on while the backlog is read and sent, so this repeats until it has
        reached the feed's position.
        """
        sent = 0
        while True:
            upto = self.feed.position
            if upto is None or int(upto) <= int(after):
                return after, sent
            for doc, op, seq in await self.feed.backlog(after, upto):
                await catch_up.document_sent_async(doc, op, seq)
                sent += 1
                self.caught_up += 1
            after = upto


def load_documents(path: str | None):
    """The ``DOCUMENT_CLASSES`` of a documents module (the shop's by default)."""
    path = pathlib.Path(path) if path else HERE / "documents.py"
    spec = importlib.util.spec_from_file_location(f"node_documents_{path.stem}", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module.DOCUMENT_CLASSES


async def serve(args) -> int:
    node = NodeServer(args.auth, args.redis, documents=load_documents(args.documents),
                      stream=args.stream, name=args.name, from_start=args.from_start,
                      host=args.host, port=args.port)
    bound_acl_lookups()
    stopping = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stopping.set)
    await node.start()
    print(json.dumps({"node": args.name, "url": node.url, "pid": os.getpid()}), flush=True)
    try:
        await stopping.wait()
    finally:
        await node.stop()
        log.info("%s stopped: %d events from the feed, %d clients resumed, %d caught-up events",
                 args.name, node.feed.delivered, node.resumed, node.caught_up)
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--redis", required=True, help="Redis URL, e.g. redis://127.0.0.1:6379/0")
    parser.add_argument("--auth", required=True, help="the authentication service's API root")
    parser.add_argument("--name", default=f"node-{os.getpid()}")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="websocket port (default: a free one)")
    parser.add_argument("--stream", default=STREAM, help="the Redis stream's key")
    parser.add_argument("--documents", default=None,
                        help="a Python file whose DOCUMENT_CLASSES rebuild the events "
                             "(default: examples/documents.py)")
    parser.add_argument("--from-start", action="store_true",
                        help="deliver the whole stream, not only what is appended from now on")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, stream=sys.stderr,
                        format=f"%(asctime)s {args.name} %(levelname)s %(message)s")
    try:
        return asyncio.run(serve(args))
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
