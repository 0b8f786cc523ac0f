"""The Redis side without Redis: entry ids, entries, the check of each catch-up page, the
publisher's retries and the backoff between them."""
import asyncio
import json
import pathlib
import statistics

import pytest
from broadcast_demo.shop import Order
from broadcast_server import config
from broadcast_server.documents import load_documents
from broadcast_server.errors import StreamMadeAnew, StreamMismatch, TooOld, Unavailable
from broadcast_server.stream import Feed, Publisher, decode, encode, rebuilder
from broadcast_server.stream.connection import Durability, backoff, retrying
from broadcast_server.stream.feed import Page
from broadcast_server.stream.entries import check_page, entry_id, id_number, rewound
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import ResponseError

ROOT = pathlib.Path(__file__).resolve().parent.parent


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
    fields = encode("Order", order.data, "update") | {"seq": "0007"}
    assert "Chloé" in fields["data"]  # the text as it is, not escaped
    doc, op, seq = decode(fields, rebuilder({"Order": Order}))
    assert (type(doc), doc.data, op, seq) == (Order, order.data, "update", "0007")
    with pytest.raises(ValueError, match="unknown document class 'Order'"):
        decode(fields, rebuilder({}))


def chain(first, last, epoch="e1", skip=(), prev=None):
    """Entries for seqs ``first`` to ``last`` (but ``skip``), each naming the one before it."""
    entries, before = [], first - 1 if prev is None else prev
    for n in range(first, last + 1):
        if n not in skip:
            entries.append((f"{n}-0", {"seq": f"{n:08d}", "prev": str(before), "epoch": epoch}))
        before = n
    return entries


# (after, upto, the stream's epoch, the page, last page?, the page follows this ID, None when
# the page is exactly what was asked for, else the (oldest, latest) a TooOld reports)
PAGES = {
    "no stream, nothing asked up to": ("00000005", None, "e1", [], True, None, None),
    "no stream, events asked for": ("00000005", "00000009", "e1", [], True, None, (None, None)),
    "no stream, nothing after": ("00000005", "00000005", "e1", [], True, None, None),
    "never trimmed": ("00000000", None, "e1", chain(1, 50), True, None, None),
    "trimmed up to the next one": ("00000040", None, "e1", chain(41, 90), True, None, None),
    "trimmed one too far": ("00000039", None, "e1", chain(41, 90), True, None,
                            ("00000041", "00000090")),
    "trimmed empty, nothing missed": ("00000090", None, "e1", [], True, None, None),
    "trimmed empty, some missed": ("00000089", "00000090", "e1", [], True, None, (None, None)),
    "an entry deleted after it": ("00000040", None, "e1", chain(41, 90, skip={45}), True, None,
                                  ("00000001", "00000090")),
    "an entry deleted before it": ("00000050", None, "e1", chain(51, 90), True, None, None),
    # A later page starts where the one before ended, or something was trimmed in between.
    "a page that follows the last": ("00000000", None, "e1", chain(41, 60), False, "40-0", None),
    "a page after a trim": ("00000000", None, "e1", chain(61, 90, prev=60), True, "40-0",
                            ("00000001", "00000090")),
    "a last page short of upto": ("00000040", "00000090", "e1", chain(41, 60), True, None,
                                  ("00000001", "00000090")),
    "a full page short of upto": ("00000040", "00000090", "e1", chain(41, 60), False, None, None),
    # Seqs of another epoch name other events, whatever their numbers.
    "the stream made anew": ("00000040", None, "e2", chain(41, 90, "e2"), True, None,
                             ("00000001", "00000090")),
    "an entry of another epoch": ("00000040", None, "e1", chain(41, 42) + chain(43, 44, "e0"),
                                  True, None, ("00000001", "00000090")),
}


@pytest.mark.parametrize("after, upto, current, page, last_page, follows, too_old",
                         PAGES.values(), ids=PAGES)
def test_each_page_holds_exactly_what_was_asked(after, upto, current, page, last_page, follows,
                                                 too_old):
    if too_old is None:
        check_page("e1", after, upto, current, page, last_page, (None, None), follows)
        return
    # What the stream holds now, read with the page, only goes into the client's reply.
    stream = tuple(chain(int(seq), int(seq))[0] if seq else None for seq in too_old)
    with pytest.raises(TooOld) as raised:
        check_page("e1", after, upto, current, page, last_page, stream, follows)
    got = raised.value
    assert (got.after, got.oldest, got.latest, got.epoch) == (after, *too_old, current)
    assert got.reset == (current != "e1")


def at(n, event_id):
    return [(f"{n}-0", {"id": event_id})]


# (the feed's last ID, the event it delivered there, the entry now there, the stream's last
# entry, whether the stream lost what the feed delivered)
REWOUND = {
    "nothing delivered yet": ("0-0", None, [], [], False),
    "still there": ("50-0", "x", at(50, "x"), at(60, "z"), False),
    "another event under its seq": ("50-0", "x", at(50, "y"), at(60, "z"), True),
    "lost, the stream ends before it": ("50-0", "x", [], at(45, "w"), True),
    "lost, the stream empty": ("50-0", "x", [], [], True),
    "trimmed, the stream went on": ("50-0", "x", [], at(200_000, "z"), False),
}


@pytest.mark.parametrize("last_id, event_id, at_last, top, lost", REWOUND.values(), ids=REWOUND)
def test_a_stream_that_came_back_with_less_than_the_feed_delivered(last_id, event_id, at_last,
                                                                  top, lost):
    assert rewound(last_id, event_id, at_last, top) is lost


def test_catch_ups_at_the_same_time_share_the_pages_they_read():
    entries = [(f"{n}-0", {"seq": f"{n:08d}", "prev": str(n - 1), "epoch": "e1",
                           **encode("Order", {"id": f"A-{n}"}, "update")}) for n in range(1, 2601)]
    end, reads = [2500], []  # the stream holds entries[:end[0]]

    async def main():
        feed = Feed("redis://127.0.0.1:1/0", None, rebuilder({"Order": Order}))
        feed.epoch = "e1"

        async def read_page(start, page):
            reads.append(start)
            held = [e for e in entries[:end[0]] if id_number(e[0]) > id_number(start)][:page]
            await asyncio.sleep(0.01)  # in flight a while: others may ask for it meanwhile
            return Page(held, "e1", (entries[0], entries[end[0] - 1]))

        async def catch_up(after, upto=2500, classes=None):
            return [int(seq) async for _, _, seq in feed.backlog(
                "e1", f"{after:08d}", f"{upto:08d}", classes=classes, page=1000)]

        feed._read_page = read_page
        together = await asyncio.gather(*(catch_up(after) for after in (10, 420, 1999)))
        later = await catch_up(500), await catch_up(0, classes={"Shipment"})
        # A catch-up that finds the stream's end being read since before its own end was
        # appended reads it again.
        mark = len(reads)
        first = asyncio.create_task(catch_up(2400))
        await asyncio.sleep(0.005)  # its read of the stream's end under way
        end[0] = 2600
        grown = await asyncio.gather(first, catch_up(2400, 2600))
        await feed.client.aclose()
        return together, later, grown, mark

    together, (later, none), grown, mark = asyncio.run(main())
    for after, got in zip((10, 420, 1999, 500), together + [later]):
        assert got == list(range(after + 1, 2501))
    assert none == [] and grown == [list(range(2401, 2501)), list(range(2401, 2601))]
    # Pages start at multiples of 1,000: read once, shared, and the full ones kept for later;
    # the stream's end (a page not full) is read again by the catch-ups that need more of it.
    assert reads.count("0-0") == reads.count("1000-0") == 1
    assert reads[mark:] == ["2000-0", "2000-0"]


# -- the publisher -------------------------------------------------------------------------------
class FakeScript:
    """The append script as the publisher sees it, numbering after ``top``. ``faults`` are
    raised by the next calls, in turn, ``before`` the event is kept or ``after`` (the entry is
    kept, the reply lost); ``other`` is another publisher's append made meanwhile."""

    def __init__(self, top=0, faults=()):
        self.top, self.entries, self.faults, self.ids = top, [], list(faults), {}

    async def __call__(self, keys, args):
        _, seq, width, _, _, event_id, *_ = args
        when, fault = self.faults.pop(0) if self.faults else (None, None)
        if when == "before":
            raise fault
        if event_id in self.ids:
            return [self.ids[event_id], "e1", 0]
        seq = seq or f"{self.top + 1:0{width}d}"
        if int(seq) <= self.top:
            raise ResponseError(f"seq {seq} is not after the stream's last ({self.top})")
        self.top = int(seq)
        self.entries.append(seq)
        self.ids[event_id] = seq
        if when in ("after", "other"):
            if when == "other":
                self.top += 1
            raise fault
        return [seq, "e1", 1]


def publish(script, seq=None, policy="noeviction", epoch=None, **options):
    publisher = Publisher("redis://127.0.0.1:1/0", width=8, retry=retrying(0, 0), **options)
    publisher.script = script
    publisher.epoch, publisher.last = epoch, epoch and 41

    async def read_durability(client):
        return Durability(policy=policy, appendonly=True, appendfsync="everysec")

    publisher.read_durability = read_durability
    order = Order(id="A-1", region="eu")
    return publisher, asyncio.run(publisher.publish(order, "update", seq))


LOST = RedisConnectionError("Connection reset by peer")


@pytest.mark.parametrize("top, seq, faults, appended, retries", [
    (0, None, [], "00000001", 0),  # numbered after the stream's last
    (41, None, [], "00000042", 0),
    (41, "00000050", [], "00000050", 0),
    (41, "00000042", [("before", LOST), ("before", LOST)], "00000042", 2),
    # The reply to the append was lost: the retry finds its own entry, and stops there.
    (41, "00000042", [("after", LOST)], "00000042", 1),
    (41, None, [("before", LOST), ("after", LOST)], "00000042", 2),
    # ... found by its id, not by being on top: another publisher appended after it meanwhile.
    (41, None, [("other", LOST)], "00000042", 1),
])
def test_appends_are_retried_and_never_doubled(top, seq, faults, appended, retries):
    script = FakeScript(top, faults)
    publisher, got = publish(script, seq)
    assert got == appended and script.entries == [appended]
    assert publisher.retries == retries and publisher.last == int(appended)


def test_a_seq_not_after_the_last_is_refused_even_on_the_first_attempt():
    script = FakeScript(42)
    with pytest.raises(ValueError, match=r"seq 00000042 is not after the stream's last \(42\)"):
        publish(script, "00000042")
    assert script.entries == []


@pytest.mark.parametrize("seq", ["42", "000000042", "0000004x", "0000004٢", "-0000042"])
def test_a_seq_not_of_the_streams_format_is_refused_before_redis_is_asked(seq):
    script = FakeScript(0)
    with pytest.raises(ValueError, match="is not 8 decimal digits"):
        publish(script, seq)
    assert script.entries == []


GOOD = encode("Order", {"id": "A-1", "region": "eu"}, "update") | {"seq": "00000009"}

# Entries no feed can hand over: each is skipped, told in one short line without the payload,
# and the feed hands over the next good one.
# (fields, the reason it is counted under)
POISON = {
    "deep JSON": (GOOD | {"data": "[" * 100_000 + "]" * 100_000}, "bad_entry"),
    "bad seq": (GOOD | {"seq": "abc"}, "bad_entry"),
    "seq of another width": (GOOD | {"seq": "42"}, "bad_entry"),
    "unknown class": (GOOD | {"class": "Nope" * 1000}, "unknown_class"),
    "missing field": ({k: v for k, v in GOOD.items() if k != "op"}, "bad_entry"),
    "data not an object": (GOOD | {"data": "[1, 2]"}, "not_an_object"),
    "data not JSON": (GOOD | {"data": "{" + "x" * 10_000}, "bad_entry"),
    # The example documents' invoice takes its fields by name, and no other.
    "a field the class does not take": (GOOD | {"class": "Invoice", "data": json.dumps(
        {"id": "F-1", "region": "eu", "total": 1.0, "colour": "red"})}, "refused_by_class"),
}


@pytest.mark.parametrize("fields, reason", POISON.values(), ids=POISON)
def test_a_poison_entry_is_skipped_and_counted_and_the_feed_goes_on(fields, reason, caplog):
    delivered = []

    async def deliver(doc, op, seq):
        delivered.append((type(doc), op, seq))

    async def main():
        classes = {"Order": Order, **load_documents(str(ROOT / "examples" / "documents.py"))}
        feed = Feed("redis://127.0.0.1:1/0", deliver, rebuilder(classes))
        await feed._hand_over("8-0", fields)
        await feed._hand_over("9-0", GOOD)
        await feed.client.aclose()
        return feed

    feed = asyncio.run(main())
    assert feed.skipped == 1 and delivered == [(Order, "update", "00000009")]
    assert feed.skipped_by == {reason: 1}
    assert feed.position == "00000009" and feed.last_id == "9-0"
    [record] = [r for r in caplog.records if r.name == "broadcast.feed"]
    assert record.getMessage().startswith("stream entry 8-0 skipped: ")
    assert len(record.getMessage()) < 300 and record.exc_info is None


def test_a_feed_that_fails_runs_again_after_a_backoff_and_is_down_meanwhile(caplog,
                                                                            monkeypatch):
    monkeypatch.setattr(config, "RETRY_FIRST", 0.01)
    seen = []  # whether the feed counted as connected as each run began

    async def main():
        feed = Feed("redis://127.0.0.1:1/0", None, None)

        async def run():
            seen.append(feed.connected)
            feed.connected = True
            feed.started.set()
            feed._tried.set()
            if len(seen) < 3:
                raise RuntimeError("x" * 1000)
            await asyncio.Event().wait()

        feed.run = run
        await feed.start()
        while len(seen) < 3:
            await asyncio.sleep(0.01)
        await feed.stop()
        return feed

    feed = asyncio.run(main())
    assert seen == [False, False, False] and feed.restarts == 2
    told = [r.getMessage() for r in caplog.records if r.name == "broadcast.feed"]
    # redis-py's backoff, as every Redis retry: up to 10 ms, then 20 ms, each with jitter.
    waits = [float(m.split("restarting in ")[1].split(" s")[0]) for m in told]
    assert 0.005 <= waits[0] <= 0.01 and 0.01 <= waits[1] <= 0.02, waits
    assert all(len(m) < 300 for m in told)


def test_a_feed_that_cannot_start_says_so_to_its_caller():
    async def main():
        feed = Feed("redis://127.0.0.1:1/0", None, None)

        async def run():
            raise RuntimeError("WRONGTYPE")

        feed.run = run
        try:
            await feed.start()
        finally:
            await feed.stop()

    with pytest.raises(RuntimeError, match="WRONGTYPE"):
        asyncio.run(main())


class Refusing:
    """An append script that answers with an error."""

    def __init__(self, text):
        self.text, self.calls = text, 0

    async def __call__(self, keys, args):
        self.calls += 1
        raise ResponseError(self.text)


# (what Redis answers, or its eviction policy; the exception; its text). Nothing is appended.
REFUSED_APPENDS = {
    "stream made anew": ("EPOCH e2", StreamMadeAnew, r"made anew \(epoch e2, was e1\): .* the "
                         r"last one was seq 00000041; nothing was appended"),
    "another width": ("MISMATCH the stream s has seqs of 10 digits, not 8: start with "
                      "--seq-width 10", StreamMismatch, "seqs of 10 digits, not 8"),
    "no seq left": ("FULL 99999999", OverflowError, "no seq of 8 digits is left after the "
                    "stream's last, 99999999: start a wider stream"),
    "evicting policy": ("allkeys-lru", StreamMismatch, "maxmemory-policy is allkeys-lru: .* "
                        "--allow-eviction"),
}


@pytest.mark.parametrize("answer, error, text", REFUSED_APPENDS.values(), ids=REFUSED_APPENDS)
def test_an_append_redis_refuses_raises_and_is_not_retried(answer, error, text):
    policy = answer if answer.startswith("allkeys") else "noeviction"
    script = Refusing(answer)
    with pytest.raises(error, match=text):
        publish(script, policy=policy, epoch="e1")
    assert script.calls == (0 if policy != "noeviction" else 1)


def test_an_unreachable_redis_ends_in_unavailable():
    script = FakeScript(41, [("before", LOST)] * 3)
    with pytest.raises(Unavailable, match="Redis unreachable for 0 s"):
        publish(script, "00000042", retry_for=0)


@pytest.mark.parametrize("failures, ceiling", [(1, 0.05), (2, 0.1), (3, 0.2), (6, 1.6), (7, 2.0),
                                               (40, 2.0)])
def test_the_waits_double_from_50_ms_to_2_s_with_jitter(failures, ceiling):
    waits = [backoff().compute(failures) for _ in range(200)]
    assert ceiling / 2 <= min(waits) and max(waits) <= ceiling
    assert statistics.pstdev(waits) > 0  # not all nodes wait the same
