"""A process's logging as its command line sets it: ``--log-level`` and ``--log-format``.

Text lines for a terminal, or one JSON object per line for a log collector. Either way a line
holds what the code logged and nothing more: no request bodies, no API keys (the server names a
key by its fingerprint only), no stream entries' data.
"""
from __future__ import annotations

import json
import logging
import sys
import time
from typing import TextIO

from . import config

__all__ = ["JsonFormatter", "configure"]


class JsonFormatter(logging.Formatter):
    """One JSON object per record: ``time`` (UTC, ISO 8601 with milliseconds), ``level``,
    ``logger``, ``message``, the process's ``node`` name when it has one, and ``exception`` (the
    formatted traceback) when the record carries one."""

    def __init__(self, node: str | None = None):
        super().__init__()
        self.node = node

    def format(self, record: logging.LogRecord) -> str:
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(record.created))
        line = {"time": f"{stamp}.{int(record.msecs):03d}Z", "level": record.levelname.lower(),
                "logger": record.name, "message": record.getMessage()}
        if self.node is not None:
            line["node"] = self.node
        if record.exc_info:
            line["exception"] = self.formatException(record.exc_info)
        return json.dumps(line, ensure_ascii=False)


def configure(level: str = "info", format: str = "text", *, node: str | None = None,
              stream: TextIO | None = None) -> None:
    """Send every log record of ``level`` and above to ``stream`` (stderr), as text lines or as
    JSON objects; replaces the handlers set before. ``level`` is that of this package's loggers
    (``broadcast.*``); the libraries' say only their warnings and errors."""
    handler = logging.StreamHandler(stream or sys.stderr)
    if format == "json":
        handler.setFormatter(JsonFormatter(node))
    else:
        who = f" {node}".replace("%", "%%") if node else ""  # a name is no format
        handler.setFormatter(logging.Formatter(f"%(asctime)s{who} %(levelname)s %(message)s"))
    chosen = config.log_level(level)
    # The libraries' own lines (a connection opened, a health check answered, a frame sent)
    # would drown the server's: only their warnings and errors are kept.
    logging.basicConfig(level=max(chosen, logging.WARNING), handlers=[handler], force=True)
    logging.getLogger("broadcast").setLevel(chosen)
