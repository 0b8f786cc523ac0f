"""Stream entries, sans I/O: entry ids and seqs, an event's fields, and the check that a page of
a catch-up holds exactly the events asked for.

Each entry of the stream has the fields

* ``seq``: the event's sequence, a zero-padded decimal string; the entry's stream ID is
  ``<seq as a number>-0``, so Redis itself refuses an entry that is not after the last one, and
  a node can find any seq by its ID;
* ``prev``: the number of the seq the append came after (0 for the first): the entries form a
  chain, so a node tells from the entries alone whether some were trimmed or deleted between
  two it reads;
* ``epoch``: the stream's epoch when the event was appended (see :mod:`.connection`);
* ``id``: the event's own id, which a retried append is recognised by;
* ``class``: the document's class name, ``data``: the document's data as JSON (enough for the
  engine to rebuild it), ``op``: create, update or delete.

Redis writes ``seq``, ``prev`` and ``epoch`` itself, in the append script: two publishers never
number an event alike.
"""
from __future__ import annotations

import functools
import json
from typing import Any, Callable, Mapping, Sequence

from ..documents import rebuild
from ..errors import TooOld
from ..protocol import seq_number

__all__ = ["FIRST_ID", "entry_id", "id_number", "encode", "decode", "rebuilder", "check_page",
           "rewound"]

FIRST_ID = "0-0"
"""The ID before any entry: reading after it reads the whole stream."""

Rebuild = Callable[[str, dict], Any]
Entry = tuple[str, Mapping[str, str]]


def entry_id(seq: str) -> str:
    """The stream ID of the entry of ``seq``."""
    return f"{seq_number(seq)}-0"


def id_number(entry_id: Any) -> int:
    """The seq number of a stream ID (Redis gives IDs as ``"<ms>-<n>"``)."""
    return int(str(entry_id).split("-")[0])


def encode(class_name: str, data: Any, op: str) -> dict[str, str]:
    """The fields of an event that the publisher gives; the append script adds the others."""
    return {"class": class_name, "op": op, "data": json.dumps(data, ensure_ascii=False)}


def rebuilder(classes: Mapping[str, Callable[..., Any]]) -> Rebuild:
    """Rebuild a document from its class name and data: ``classes[name](**data)`` (see
    :func:`broadcast_server.documents.rebuild`)."""
    return functools.partial(rebuild, classes)


def decode(fields: Mapping[str, str], rebuild: Rebuild) -> tuple[Any, str, str]:
    """(document, op, seq) from one stream entry."""
    return rebuild(fields["class"], json.loads(fields["data"])), fields["op"], fields["seq"]


def check_page(epoch: str, after: str, upto: str | None, current: str | None,
               entries: Sequence[Entry], last_page: bool,
               held: tuple[Entry | None, Entry | None] = (None, None),
               follows: str | None = None) -> None:
    """Raise :class:`TooOld` unless ``entries`` are exactly the events of ``epoch`` that follow
    seq ``after``, as far as they go (and, on the ``last_page``, up to seq ``upto``).

    ``current`` is the stream's epoch and ``held`` its first and last entries, read in the same
    transaction as the page; they only serve to tell the client what is held now. A page
    after the first ``follows`` the ID of the last entry of the page before.
    """
    oldest, latest = (e[1].get("seq") if e else None for e in held)
    if current != epoch:
        raise TooOld(after, oldest, latest, epoch=current, reset=True)
    prev = seq_number(after) if follows is None else id_number(follows)
    # Each entry names the seq it was appended after: one that does not follow the last one
    # read means the events between were trimmed or deleted.
    for id_, fields in entries:
        if fields.get("epoch") != epoch or fields.get("prev") != str(prev):
            raise TooOld(after, oldest, latest, epoch=current)
        prev = id_number(id_)
    if last_page and upto is not None and prev < seq_number(upto):
        raise TooOld(after, oldest, latest, epoch=current)



def rewound(last_id: str, event_id: str | None, at_last: Sequence[Entry],
            top: Sequence[Entry]) -> bool:
    """Whether the stream lost what a feed delivered up to ``last_id`` (the entry of event
    ``event_id``), given the entry now at ``last_id`` and the stream's last entry: a Redis that
    came back with less than it had (a crash losing the last writes, an older copy), maybe since
    refilled with other events under the same seqs."""
    if last_id == FIRST_ID or event_id is None:
        return False
    if at_last:
        return at_last[0][1].get("id") != event_id
    # Gone from its place: trimmed when the stream went on past it, lost when it ends before.
    return not top or id_number(top[0][0]) < id_number(last_id)
