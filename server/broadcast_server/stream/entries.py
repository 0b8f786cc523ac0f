"""Stream entries, sans I/O: entry ids and seqs, an event's fields, and what a stream still holds.

Each entry of the stream has the fields

* ``seq``: the event's sequence, a zero-padded decimal string; the entry's stream ID is
  ``<seq as a number>-0``, so Redis itself refuses an entry that is not after the last one, and
  a node can find any seq by its ID; seqs are consecutive (the publisher numbers events one
  after the other), which is how a node tells that the stream has trimmed events a client asks
  for;
* ``class``: the document's class name, ``data``: the document's data as JSON (enough for the
  engine to rebuild it), ``op``: create, update or delete.
"""
from __future__ import annotations

import json
from typing import Any, Callable, Mapping

from ..errors import TooOld
from ..protocol import seq_number

__all__ = ["FIRST_ID", "entry_id", "id_number", "encode", "decode", "rebuilder", "check_held"]

FIRST_ID = "0-0"
"""The ID before any entry: reading after it reads the whole stream."""

Rebuild = Callable[[str, dict], Any]


def entry_id(seq: str) -> str:
    """The stream ID of the entry of ``seq``."""
    return f"{seq_number(seq)}-0"


def id_number(entry_id: Any) -> int:
    """The seq number of a stream ID (Redis gives IDs as ``"<ms>-<n>"``)."""
    return int(str(entry_id).split("-")[0])


def encode(class_name: str, data: Any, op: str, seq: str) -> dict[str, str]:
    return {"seq": seq, "class": class_name, "op": op,
            "data": json.dumps(data, ensure_ascii=False)}


def rebuilder(classes: Mapping[str, Callable[..., Any]]) -> Rebuild:
    """Rebuild a document from its class name and data: ``classes[name](**data)``."""
    def rebuild(class_name: str, data: dict):
        try:
            cls = classes[class_name]
        except KeyError:
            raise ValueError(f"unknown document class {class_name!r}") from None
        return cls(**data)
    return rebuild


def decode(fields: Mapping[str, str], rebuild: Rebuild) -> tuple[Any, str, str]:
    """(document, op, seq) from one stream entry."""
    return rebuild(fields["class"], json.loads(fields["data"])), fields["op"], fields["seq"]


def check_held(after: str, upto: str | None, exists: Any, info: Any) -> None:
    """Raise :class:`TooOld` unless the stream holds every event after seq ``after`` (up to seq
    ``upto``, when given).

    ``exists`` and ``info`` are the stream's ``EXISTS`` and ``XINFO STREAM`` replies, read in
    the same transaction as the range; ``info`` may be the error Redis gave instead.
    """
    if not exists:
        # No stream at all: nothing after ``after`` is held, though the feed saw some.
        if upto is not None and seq_number(upto) > seq_number(after):
            raise TooOld(after, None, None)
        return
    if isinstance(info, Exception):
        raise info
    first, last = info.get("first-entry"), info.get("last-entry")
    # Trimming removes the oldest entries; seqs are consecutive, so the events after ``after``
    # are all held when the first entry held is the next one (or nothing was ever trimmed). An
    # entry deleted by hand is reported by its own mark.
    trimmed = int(info.get("entries-added", 0)) - int(info.get("length", 0))
    first_held = id_number(first[0]) if first else id_number(info["last-generated-id"]) + 1
    deleted = id_number(info.get("max-deleted-entry-id", FIRST_ID))
    if (trimmed > 0 and first_held > seq_number(after) + 1) or deleted > seq_number(after):
        raise TooOld(after, first[1].get("seq") if first else None,
                     last[1].get("seq") if last else None)
