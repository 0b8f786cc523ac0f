"""The Redis side without Redis: entry ids, entries, the held-range check, the publisher's retries
and the backoff between them."""
import asyncio
import statistics

import pytest
from broadcast_demo.shop import Order
from broadcast_server.errors import TooOld, Unavailable
from broadcast_server.stream import Publisher, decode, encode, rebuilder
from broadcast_server.stream.connection import backoff, retrying
from broadcast_server.stream.entries import check_held, entry_id, id_number
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import ResponseError

TOP = "ERR The ID specified in XADD is equal or smaller than the target stream top item"


@pytest.mark.parametrize("fn, arg, expected", [
    (entry_id, "00000042", "42-0"),
    (entry_id, "0000", "0-0"),
    (id_number, "42-0", 42),
    (id_number, "1700000000000-3", 1700000000000),
    (id_number, 7, 7),  # XINFO may give a bare number
])
def test_entry_ids(fn, arg, expected):
    assert fn(arg) == expected


def test_an_entry_id_needs_a_seq():
    with pytest.raises(ValueError, match="a seq is a string of decimal digits"):
        entry_id("42-0")


def test_an_event_reads_back_as_written():
    order = Order(id="A-1", region="eu", customer="Chloé", total=10.0)
    fields = encode("Order", order.data, "update", "0007")
    assert "Chloé" in fields["data"]  # the text as it is, not escaped
    doc, op, seq = decode(fields, rebuilder({"Order": Order}))
    assert (type(doc), doc.data, op, seq) == (Order, order.data, "update", "0007")
    with pytest.raises(ValueError, match="unknown document class 'Order'"):
        decode(fields, rebuilder({}))


def info(first, last, added, length, deleted="0-0", generated=None):
    """An XINFO STREAM reply for seqs ``first`` to ``last`` (None: an empty stream)."""
    entry = (lambda n: (f"{n}-0", {"seq": f"{n:08d}"}) if n else None)
    return {"first-entry": entry(first), "last-entry": entry(last), "entries-added": added,
            "length": length, "max-deleted-entry-id": deleted,
            "last-generated-id": f"{generated if generated is not None else last}-0"}


# (after, upto, EXISTS, XINFO, None when every event after ``after`` is held, else the
# (oldest, latest) a TooOld reports)
HELD = {
    "no stream, nothing asked up to": ("00000005", None, 0, None, None),
    "no stream, events asked for": ("00000005", "00000009", 0, None, (None, None)),
    "no stream, nothing after": ("00000005", "00000005", 0, None, None),
    "never trimmed": ("00000000", None, 1, info(1, 50, 50, 50), None),
    "trimmed up to the next one": ("00000040", None, 1, info(41, 90, 90, 50), None),
    "trimmed one too far": ("00000039", None, 1, info(41, 90, 90, 50),
                            ("00000041", "00000090")),
    "trimmed empty, nothing missed": ("00000090", None, 1, info(None, None, 90, 0, "90-0", 90),
                                      None),
    "trimmed empty, some missed": ("00000089", None, 1, info(None, None, 90, 0, "90-0", 90),
                                   (None, None)),
    "an entry deleted after it": ("00000040", None, 1, info(1, 90, 90, 89, "45-0"),
                                  ("00000001", "00000090")),
    "an entry deleted before it": ("00000050", None, 1, info(1, 90, 90, 89, "45-0"), None),
}


@pytest.mark.parametrize("after, upto, exists, xinfo, too_old", HELD.values(), ids=HELD)
def test_what_the_stream_still_holds(after, upto, exists, xinfo, too_old):
    if too_old is None:
        check_held(after, upto, exists, xinfo)
        return
    with pytest.raises(TooOld) as raised:
        check_held(after, upto, exists, xinfo)
    assert (raised.value.after, raised.value.oldest, raised.value.latest) == (after, *too_old)


def test_an_unreadable_stream_is_not_taken_as_held():
    with pytest.raises(ResponseError):
        check_held("00000001", None, 1, ResponseError("WRONGTYPE"))


# -- the publisher -------------------------------------------------------------------------------
class FakeRedis:
    """The two commands the publisher sends; ``faults`` are raised by the next XADDs, in turn,
    ``after`` (the entry is kept, the reply lost) or ``before`` it is kept."""

    def __init__(self, top=0, faults=()):
        self.top, self.entries, self.faults = top, [], list(faults)

    async def xinfo_stream(self, stream):
        if not self.top:
            raise ResponseError("no such key")
        return {"last-generated-id": f"{self.top}-0"}

    async def xadd(self, stream, fields, id, maxlen, approximate):
        when, fault = self.faults.pop(0) if self.faults else (None, None)
        if when == "before":
            raise fault
        number = int(id.split("-")[0])
        if number <= self.top:
            raise ResponseError(TOP)
        self.top = number
        self.entries.append(fields["seq"])
        if when == "after":
            raise fault


def publish(client, seq=None, **options):
    publisher = Publisher("redis://127.0.0.1:1/0", width=8, retry=retrying(0, 0), **options)
    publisher.client = client
    order = Order(id="A-1", region="eu")
    return publisher, asyncio.run(publisher.publish(order, "update", seq))


LOST = RedisConnectionError("Connection reset by peer")


@pytest.mark.parametrize("top, seq, faults, appended, retries", [
    (0, None, [], "00000001", 0),  # numbered after the stream's last
    (41, None, [], "00000042", 0),
    (41, "00000050", [], "00000050", 0),
    (41, "00000042", [("before", LOST), ("before", LOST)], "00000042", 2),
    # The reply to the append was lost: the retry finds its own entry on top, and stops there.
    (41, "00000042", [("after", LOST)], "00000042", 1),
    (41, None, [("before", LOST), ("after", LOST)], "00000042", 2),
])
def test_appends_are_retried_and_never_doubled(top, seq, faults, appended, retries):
    client = FakeRedis(top, faults)
    publisher, got = publish(client, seq)
    assert got == appended and client.entries == [appended]
    assert publisher.retries == retries and publisher.last == int(appended)


def test_a_seq_not_after_the_last_is_refused_even_on_the_first_attempt():
    client = FakeRedis(42)
    with pytest.raises(ValueError, match=r"seq 00000042 is not after the stream's last \(42\)"):
        publish(client, "00000042")
    assert client.entries == []


def test_an_unreachable_redis_ends_in_unavailable():
    client = FakeRedis(41, [("before", LOST)] * 3)
    with pytest.raises(Unavailable, match="Redis unreachable for 0 s"):
        publish(client, "00000042", retry_for=0)


@pytest.mark.parametrize("failures, ceiling", [(1, 0.05), (2, 0.1), (3, 0.2), (6, 1.6), (7, 2.0),
                                               (40, 2.0)])
def test_the_waits_double_from_50_ms_to_2_s_with_jitter(failures, ceiling):
    waits = [backoff().compute(failures) for _ in range(200)]
    assert ceiling / 2 <= min(waits) and max(waits) <= ceiling
    assert statistics.pstdev(waits) > 0  # not all nodes wait the same
