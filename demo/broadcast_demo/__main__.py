"""Live demo: document events pushed to real websocket clients, each seeing its own view.

It starts a small authentication service and the websocket server on 127.0.0.1, connects several
clients with different API keys and subscriptions (one with an unknown key, one whose ACL is
empty, one with a start sequence, one that hangs up half-way), publishes a stream of
create/update/delete events and prints, event by event, what each client received or why it got
nothing. It ends with a summary; the exit code is 0 when every client got exactly what its
subscription allows.

    ./run-demo              # the scripted run, then exit
    ./run-demo --serve      # then keep serving, for clients of your own
    ./run-demo --nodes 3    # across three nodes fed by one Redis stream

Every option may also come from an environment variable: BROADCAST_PORT for --port,
BROADCAST_INTERVAL for --interval, and so on (an option on the command line wins).
"""
from __future__ import annotations

import argparse
import asyncio
import signal
import sys

from broadcast_server import config, logs
from broadcast_server.acl import bound_acl_lookups
from broadcast_server.errors import CannotListen

PROG = "run-demo"  # what --help and the errors call this program: it is started through that script


async def until_terminated(run) -> int:
    """Run the demo; SIGTERM ends it as Ctrl-C does, through its clean-up: the server closes
    its clients' connections with 1001 (going away)."""
    main = asyncio.current_task()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, main.cancel)
    try:
        return await run
    except asyncio.CancelledError:
        return 0


def main(argv=None) -> int:
    parser = config.Parser(prog=PROG, description=__doc__.split("\n\n")[0],
                           epilog=__doc__.split("\n\n", 1)[1],
                           formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--serve", action="store_true",
                        help="after the scripted run keep the server running (Ctrl-C stops it)")
    parser.add_argument("--port", type=config.port, default=None,
                        help="websocket port (default: a free one; 8765 with --serve)")
    parser.add_argument("--delay", type=float, default=0.25,
                        help="pause between events of the scripted run, in seconds")
    parser.add_argument("--interval", type=float, default=3.0,
                        help="with --serve: seconds between published events")
    parser.add_argument("--show-seq", default="0004",
                        help="the event whose views are printed side by side")
    parser.add_argument("--no-color", action="store_true", help="plain text output")
    parser.add_argument("--nodes", type=int, default=0, metavar="N",
                        help="run across N nodes fed by a Redis stream")
    config.add_log_arguments(parser)
    args = parser.parse_args(argv)
    if args.nodes and args.serve:
        parser.error("--serve runs one node; it does not go with --nodes")
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="replace")  # a terminal that can't show "é" gets "?"
    logs.configure(args.log_level, args.log_format)
    bound_acl_lookups()
    try:
        if args.nodes:
            from .nodes import AcrossNodes
            return asyncio.run(until_terminated(AcrossNodes(args).run()))
        from .single import SingleNode
        return asyncio.run(until_terminated(SingleNode(args).run()))
    except CannotListen as exc:
        parser.exit(2, f"{parser.prog}: {exc}; {exc.HINT}\n")
    except KeyboardInterrupt:
        return 0
    except BrokenPipeError:  # piped into head, say
        sys.stdout = None
        return 0


if __name__ == "__main__":
    sys.exit(main())
