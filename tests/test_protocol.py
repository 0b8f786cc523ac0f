"""The server's protocol without I/O: requests read, replies built, seqs compared."""
import io
import json
import logging
import pathlib

import pytest
from broadcast_server import config, protocol
from broadcast_server.errors import Ahead, BadRequest, Refused, TooOld, Unavailable
from broadcast_server.protocol import Subscription

ROOT = pathlib.Path(__file__).resolve().parent.parent

CLASSES = ("Order", "Shipment")


def req(subscribe, api_key="k", **extra):
    return json.dumps({"api_key": api_key, "subscribe": subscribe, **extra})


# (frame, the error's text), in the order the checks run: the first fault found is the one told.
BAD_REQUESTS = [
    (b'{"api_key": "k"}', "send JSON text frames, not binary ones"),
    ("not json", "the request is not JSON"),
    ('["a list"]', "the request must be a JSON object"),
    ('{"subscribe": [{"doc_class": "Order"}]}', '"api_key" must be a non-empty string'),
    (req([{"doc_class": "Order"}], api_key=""), '"api_key" must be a non-empty string'),
    (req([{"doc_class": "Order"}], api_key=7), '"api_key" must be a non-empty string'),
    (req([]), '"subscribe" must be a non-empty list of subscriptions'),
    (req("Order"), '"subscribe" must be a non-empty list of subscriptions'),
    (req(["Order"]), "each subscription must be a JSON object"),
    (req([{"doc_class": "Order", "scope": 1, "Catalog": 2}]),
     "unknown subscription field(s): Catalog, scope"),
    (req([{"doc_class": "Invoice"}]), "unknown doc_class 'Invoice'; known: Order, Shipment"),
    (req([{"data_scope": ["eu"]}]), "doc_class is required"),
    (req([{"doc_class": ["Order"]}]), '"doc_class" must be a string'),
    (req([{"doc_class": "Order", "data_scope": "eu"}]), '"data_scope" must be a list or null'),
    (req([{"doc_class": "Order", "catalog": ["id"]}]), '"catalog" must be an object or null'),
    (req([{"doc_class": "Order", "show_hidden": 1}]), '"show_hidden" must be true or false'),
    (req([{"doc_class": "Order", "start_seq": 5}]), '"start_seq" must be a string'),
    # Every field of the first subscription is checked before the second is looked at.
    (req([{"doc_class": "Order", "start_seq": 5}, {"doc_class": "Invoice"}]), "start_seq"),
]


# Hostile requests: (frame, the error's text). Each is refused in the reply, never raised past
# the parser, and quotes at most a short prefix of what was sent.
HOSTILE_REQUESTS = [
    ("[" * 200_000, "the request is longer than 65536 characters"),
    ("[" * 60_000, "the request is nested too deeply"),
    ('{"a": ' * 5_000 + "1" + "}" * 5_000, "the request is nested too deeply"),
    (req([{"doc_class": "Order"}], api_key="k" * 70_000), "longer than 65536 characters"),
    (req([{"doc_class": "Order" * 1000}]), "unknown doc_class '" + "Order" * 8 + "...'"),
    (req([{"doc_class": "Order", "x" * 5000: 1}]), "unknown subscription field(s): " + "x" * 40),
    (req([{"doc_class": "Order", "a\n12:00 ERROR forged": 1}]),
     "unknown subscription field(s): 'a\\n12:00 ERROR forged'"),
    (req([{"doc_class": "Order", "start_seq": "zzz"}]), '"start_seq" must be a string of decimal'),
    (req([{"doc_class": "Order", "start_seq": "0" * 5000 + "z"}]), "'" + "0" * 40 + "...'"),
    # A key in a request turned down is neither told nor logged.
    (req([{"data_scope": ["eu"]}], api_key="k-secret"), "doc_class is required"),
    (req([], api_key="k-secret-" + "x" * 900_000), "longer than 65536 characters"),
]


@pytest.mark.parametrize("raw, reason", BAD_REQUESTS + HOSTILE_REQUESTS)
def test_unreadable_requests_say_what_is_wrong_and_the_connection_stays(raw, reason):
    with pytest.raises(BadRequest) as info:
        protocol.parse_request(raw, CLASSES)
    told = str(info.value)
    assert reason in told and len(told) < 200
    # A connection's session answers with an error reply and a log line, asks nothing of the
    # authentication service, and serves the next request.
    session = protocol.Session(CLASSES)
    session.connected(0)
    actions = serve(session, raw)
    assert sent(actions) == [protocol.error(told)] and logged(actions) == [f"bad request: {told}"]
    assert turned_down(actions) == ["bad_request"] and "k-secret" not in repr(actions)
    assert sent(serve(session, req([{"doc_class": "Order"}])))[0]["type"] == "subscribed"


# A node's seqs are all 8 digits wide: another width compares wrongly as text, and the client
# would silently get nothing. (start_seq, resume_after, accepted)
@pytest.mark.parametrize("start_seq, resume_after, accepted", [
    ("00000042", "00000042", True),
    ("", None, True),
    ("42", None, False),
    ("000000042", None, False),
    (None, "42", False),
    (None, "zzz", False),
    (None, "0000004٢", False),  # a digit, but not an ASCII one
    (None, "0", True),  # what nodes once replied on an empty stream: seq 0 of any width
])
def test_a_node_takes_only_seqs_of_its_streams_width(start_seq, resume_after, accepted):
    sub = {"doc_class": "Order"} if start_seq is None else {"doc_class": "Order",
                                                             "start_seq": start_seq}
    extra = {} if resume_after is None else {"resume_after": resume_after, "epoch": "e1"}
    raw = req([sub], **extra)
    if accepted:
        resume = protocol.parse_resume(protocol.parse_request(raw, CLASSES, 8), 8)
        assert resume is None or int(resume.seq) == int(resume_after) and len(resume.seq) == 8
        return
    with pytest.raises(BadRequest, match='must be (a seq: )?a string of 8 decimal digits, '
                                         'zero-padded, such as "00000042"'):
        protocol.parse_resume(protocol.parse_request(raw, CLASSES, 8), 8)


@pytest.mark.parametrize("key", ["k-secret-1", "key-ops-eu", "x" * 900_000, "é\udc80"])
def test_an_api_key_is_told_by_its_fingerprint_only(key):
    reasons = [protocol.unknown_key(key), protocol.empty_acl(key, ValueError("empty")),
               protocol.not_accepted(key, 500, "m" * 10_000)]
    for reason in reasons:
        assert protocol.fingerprint(key) in reason and key not in reason and len(reason) < 300
    assert protocol.fingerprint(key) != protocol.fingerprint(key + "1")


# (seconds between requests, which of them go now; the others' wait in whole seconds)
@pytest.mark.parametrize("gaps, allowed", [
    ([0] * 7, [0, 0, 0, 0, 0, 1, 1]),  # a burst of 5, then one every half second
    ([0] * 5 + [0.5, 0], [0, 0, 0, 0, 0, 0, 1]),
    ([0] * 5 + [10] + [0] * 5, [0] * 10 + [1]),  # the bucket holds no more than the burst
])
def test_subscribe_requests_are_rate_limited_per_connection(gaps, allowed):
    now = [0.0]
    limit = protocol.RateLimit(2.0, 5, clock=lambda: now[0])
    got = []
    for gap in gaps:
        now[0] += gap
        got.append(protocol.too_many_requests(wait) if (wait := limit.take()) else 0)
    assert got == [0 if a == 0 else "too many requests, retry in 1 s" for a in allowed]


def test_a_request_keeps_the_values_as_sent_and_fills_the_defaults():
    full = {"doc_class": "Order", "data_scope": ["eu"], "catalog": {"id": 1},
            "show_hidden": True, "start_seq": "0005"}
    request = protocol.parse_request(req([full, {"doc_class": "Shipment"}]), CLASSES)
    assert request.api_key == "k" and request.doc_classes == ["Order", "Shipment"]
    assert request.subscriptions == (Subscription("Order", ["eu"], {"id": 1}, True, "0005"),
                                      Subscription("Shipment", None, None, False, ""))
    assert request.subscriptions[0].subscribe_args("ACL") == {
        "data_scope": ["eu"], "catalog": {"id": 1}, "show_hidden": True, "start_seq": "0005",
        "acl": "ACL"}
    assert [s.describe() for s in request.subscriptions] == ["Order ['eu']", "Shipment"]
    # One subscription on its own needs no list; with no classes served, any class goes.
    single = protocol.parse_request(req({"doc_class": "Invoice"}), ())
    assert single.subscriptions == (Subscription("Invoice"),)


NEEDS_EPOCH = '"resume_after" needs the "epoch"'


@pytest.mark.parametrize("extra, resume_after", [
    ({}, None),
    ({"resume_after": None}, None),
    ({"resume_after": "00000042", "epoch": "e1"}, ("e1", "00000042")),
    ({"resume_after": 42, "epoch": "e1"}, BadRequest),
    ({"resume_after": "", "epoch": "e1"}, BadRequest),
    ({"resume_after": "-1", "epoch": "e1"}, BadRequest),
    ({"resume_after": "４２", "epoch": "e1"}, BadRequest),  # digits, but not ASCII ones
    # A seq alone names no position: the stream may have been made anew since.
    ({"resume_after": "00000042"}, NEEDS_EPOCH),
    ({"resume_after": "00000042", "epoch": ""}, NEEDS_EPOCH),
    ({"resume_after": "00000042", "epoch": 7}, NEEDS_EPOCH),
])
def test_resume_after_is_a_seq_or_absent(extra, resume_after):
    request = protocol.parse_request(req([{"doc_class": "Order"}], **extra), CLASSES)
    if resume_after in (BadRequest, NEEDS_EPOCH):
        reason = '"resume_after" must be a seq' if resume_after is BadRequest else NEEDS_EPOCH
        with pytest.raises(BadRequest, match=reason):
            protocol.parse_resume(request)
    else:
        assert protocol.parse_resume(request) == resume_after


def test_a_client_request_reads_back_as_sent():
    subs = [{"doc_class": "Order", "data_scope": ["eu"]}]
    for resume_after in (None, "00000007"):
        raw = protocol.frame(protocol.request("k", subs, resume_after, "e1"))
        request = protocol.parse_request(raw, CLASSES)
        assert request.subscriptions == (Subscription("Order", ["eu"]),)
        assert protocol.parse_resume(request) == (resume_after and ("e1", resume_after))
        assert ("resume_after" in json.loads(raw)) == (resume_after is not None)


# -- seqs -----------------------------------------------------------------------------------------
@pytest.mark.parametrize("fn, args, expected", [
    (protocol.next_seq, ("0009",), "0010"),
    (protocol.next_seq, ("00000000",), "00000001"),
    (protocol.next_seq, ("9999",), "10000"),  # outgrows its width rather than wrapping
    (protocol.format_seq, (42, 8), "00000042"),
    (protocol.seq_number, ("00000042",), 42),
    (protocol.later_seq, (None, None), None),
    (protocol.later_seq, ("0005", None), "0005"),
    (protocol.later_seq, (None, "0005"), "0005"),
    (protocol.later_seq, ("0009", "0010"), "0010"),  # by number, not as text
    (protocol.later_seq, ("0010", "0009"), "0010"),
    (protocol.later_seq, ("0007", "00007"), "0007"),  # a tie keeps the first
    (protocol.later_seq, ("9", "10"), "10"),
    # Where live events start: after what the client has or the feed handed over, whichever
    # comes later; seq 0 of the stream's width (a position every node takes back) when neither
    # has anything yet.
    (protocol.live_after, (None, None, 8), "00000000"),
    (protocol.live_after, ("00000005", None, 8), "00000005"),
    (protocol.live_after, (None, "00000007", 8), "00000007"),
    (protocol.live_after, ("00000009", "00000007", 8), "00000009"),
    (protocol.live_after, ("00000007", "00000009", 8), "00000009"),
    # A 4001 close names where the new stream's events start; another reason names nothing.
    (protocol.parse_reset_reason, (protocol.reset_reason("9f0c", "00000030"),),
     ("9f0c", "00000030")),
    (protocol.parse_reset_reason, ("stream reset",), None),
    (protocol.parse_reset_reason, ("stream made anew: epoch e after 3x",), None),
])
def test_seq_arithmetic(fn, args, expected):
    assert fn(*args) == expected


@pytest.mark.parametrize("value", ["", "-1", "1.5", " 1", "４", 5, None])
def test_what_is_not_a_seq(value):
    assert not protocol.is_seq(value)
    with pytest.raises(ValueError, match="a seq is a string of decimal digits"):
        protocol.seq_number(value)


@pytest.mark.parametrize("start_seq, after, expected", [
    ("", "0", ""),  # nothing received yet: the client's own start sequence
    ("0005", "0", "0005"),
    ("", "00000042", "00000043"),
    ("00000050", "00000042", "00000050"),  # its own start lies further on
    ("00000010", "00000042", "00000043"),
])
def test_live_events_start_after_what_the_client_has(start_seq, after, expected):
    sub = Subscription("Order", start_seq=start_seq)
    assert sub.start_after(after) == expected
    assert sub.subscribe_args(None, sub.start_after(after))["start_seq"] == expected


# -- replies --------------------------------------------------------------------------------------
def test_replies():
    request = protocol.parse_request(req([{"doc_class": "Shipment"}, {"doc_class": "Order"}]),
                                     CLASSES)
    too_old = TooOld("00000042", "00000990", "00101000", epoch="e1")
    assert protocol.welcome(["Shipment", "Order"]) == {
        "type": "welcome", "doc_classes": ["Order", "Shipment"], "protocol": protocol.PROTOCOL}
    # the reminder's start_seq is one the server takes: as wide as its seqs
    assert '"start_seq": "00000005"' in protocol.welcome(CLASSES, seq_width=8)["protocol"]
    assert protocol.subscribed(request, "ops") == {
        "type": "subscribed", "doc_classes": ["Shipment", "Order"], "api_id": "ops"}
    assert list(protocol.subscribed(request, "ops", "00000050", 8, "e1").items()) == [
        ("type", "subscribed"), ("doc_classes", ["Shipment", "Order"]), ("api_id", "ops"),
        ("after_seq", "00000050"), ("caught_up", 8), ("epoch", "e1")]
    assert protocol.refused("no") == {"type": "refused", "reason": "no"}
    assert protocol.error("later") == {"type": "error", "reason": "later"}
    assert protocol.too_old(too_old) == {
        "type": "too_old",
        "reason": "events after 00000042 are no longer held (it now holds 00000990 to 00101000);"
                  " subscribe again without resume_after to get the events from now on",
        "oldest_seq": "00000990", "latest_seq": "00101000", "epoch": "e1"}
    assert "it now holds nothing" in str(TooOld("00000042", None, None))
    assert str(TooOld("00000042", None, None, epoch="e2", reset=True)).startswith(
        "the stream was made anew (epoch e2): events after 00000042 of the epoch resumed from"
        " are gone")
    assert json.loads(protocol.frame(protocol.refused("é"))) == {"type": "refused", "reason": "é"}
    # Without a timeout of its own (the module's plain requests), the reason names none.
    assert protocol.auth_timed_out(None) == ("the authentication service did not answer;"
                                             " try again later")


# -- a connection's session: frames in, actions out, time in milliseconds ------------------------
class Stream:
    """What a node's session reads of its feed."""

    def __init__(self, connected=True, epoch="e1", position="00000007", width=8):
        self.connected, self.epoch, self.position, self.width = connected, epoch, position, width


def serve(session, raw, now=0.0, *, acl=("ACL", "ops"), outcomes=None):
    """The actions one frame leads to, the waiting ones ended as a driver would: the ACL found
    (or ``acl`` raised), admitted, and ``outcomes`` (action type -> a callable of the session and
    the action) for the node's own."""
    outcomes = {protocol.CatchUp: lambda s, a: s.caught_up("00000009", 2),
                protocol.CheckHeld: lambda s, a: s.held()} | (outcomes or {})
    done, pending = [], session.received(raw, now)
    while pending:
        action = pending.pop(0)
        done.append(action)
        if isinstance(action, protocol.LookUp):
            more = (session.failed(acl) if isinstance(acl, Exception)
                    else session.looked_up(*acl))
        elif isinstance(action, protocol.Admit):
            more = session.admitted()
        else:
            more = outcomes.get(type(action), lambda s, a: [])(session, action)
        pending[:0] = more
    return done


def sent(actions):
    return [a.reply for a in actions if isinstance(a, protocol.Send)]


def logged(actions):
    return [a.text for a in actions if isinstance(a, protocol.Log)]


def turned_down(actions):
    return [a.reason for a in actions if isinstance(a, protocol.TurnDown)]


def test_a_session_welcomes_then_serves_a_request():
    session = protocol.Session(CLASSES)
    assert session.connected(0) == [protocol.Log("connected"), protocol.Greet()]
    actions = serve(session, req([{"doc_class": "Order", "data_scope": ["eu"]}], api_key="k-1"))
    request = actions[1].request
    assert actions == [protocol.LookUp("k-1"), protocol.Admit(request, "ACL"),
                       protocol.Log(f"subscribed with {protocol.fingerprint('k-1')} to "
                                    "Order ['eu']"),
                       protocol.Send(protocol.subscribed(request, "ops"))]
    assert not session.closed


# A server takes a client's start_seq only as wide as the seqs it publishes, as a node does: "5"
# comes after "0009" as text. (The other unreadable requests are the parser's table above.)
@pytest.mark.parametrize("request_text, reason", [
    ('{"api_key": "k-secret", "subscribe": [{"doc_class": "Order", "start_seq": "zzz"}]}',
     '"start_seq" must be a string of 4 decimal digits'),
    ('{"api_key": "k-all", "subscribe": [{"doc_class": "Order", "start_seq": "5"}]}',
     '"start_seq" must be a string of 4 decimal digits, zero-padded, such as "0042", not \'5\''),
])
def test_unreadable_requests_get_an_error_and_the_connection_stays(request_text, reason):
    session = protocol.Session(CLASSES, seq_width=4)
    session.connected(0)
    actions = serve(session, request_text)
    (reply,) = sent(actions)
    assert reply["type"] == "error" and reason in reply["reason"] and len(reply["reason"]) < 200
    assert turned_down(actions) == ["bad_request"]
    assert logged(actions) == [f"bad request: {reply['reason']}"]
    assert "k-secret" not in repr(actions) and not session.closed
    assert sent(serve(session, req([{"doc_class": "Order"}])))[0]["type"] == "subscribed"


def test_subscribe_requests_beyond_the_burst_wait_their_turn():
    session = protocol.Session(CLASSES, rate=2.0, burst=5)
    session.connected(1_000)
    frame = req([{"doc_class": "Order"}])
    replies = [sent(serve(session, frame, 1_000))[0] for _ in range(7)]
    assert [r["type"] for r in replies] == ["subscribed"] * 5 + ["error"] * 2
    assert replies[-1]["reason"] == "too many requests, retry in 1 s"
    assert turned_down(serve(session, frame, 1_499)) == ["rate_limited"]
    assert sent(serve(session, frame, 1_600))[0]["type"] == "subscribed"


SMALL = protocol.Limits(scope_items=3, catalog_keys=2, subscriptions=2, subscribe_within=10)


# What one client may ask: (the requests' subscriptions, one list per frame, to a server or a
# node; the last frame's label and the start of its error reply). Those before the last are granted.
@pytest.mark.parametrize("frames, node, label, reason", [
    ([[{"doc_class": "Order", "data_scope": [0] * 21_000}]], False,
     "data_scope_too_long", '"data_scope" lists 21000 values; at most 3'),
    ([[{"doc_class": "Order", "catalog": {"id": 1, "total": 1, "margin": 1}}]], True,
     "catalog_too_long", '"catalog" names 3 fields; at most 2'),
    ([[{"doc_class": "Order"}] * 3], True,
     "too_many_subscriptions", "3 subscriptions on one connection; at most 2"),
    # A server keeps adding classes to a connection: the one too many is turned down ...
    ([[{"doc_class": "Order"}], [{"doc_class": "Shipment"}], [{"doc_class": "Invoice"}]], False,
     "too_many_subscriptions", "3 subscriptions on one connection; at most 2"),
    # ... a node starts over at each request, and subscribing again to a class replaces it.
    ([[{"doc_class": "Order"}], [{"doc_class": "Shipment"}], [{"doc_class": "Invoice"}]], True,
     None, None),
    ([[{"doc_class": "Order"}], [{"doc_class": "Order"}], [{"doc_class": "Shipment"}]], False,
     None, None),
    ([[{"doc_class": "Order", "data_scope": list(range(3)), "catalog": {"id": 1, "x": 1}}]],
     False, None, None),
])
def test_what_one_client_may_ask_is_bounded(frames, node, label, reason):
    session = protocol.Session((), Stream() if node else None, limits=SMALL)
    session.connected(0)
    for subscriptions in frames:
        actions = serve(session, req(subscriptions))
    if label is None:
        assert sent(actions)[0]["type"] == "subscribed"
        return
    (reply,) = sent(actions)
    assert reply == {"type": "error", "reason": reply["reason"]}
    assert reply["reason"].startswith(reason) and turned_down(actions) == [label]
    assert not any(isinstance(a, protocol.LookUp) for a in actions) and not session.closed


@pytest.mark.parametrize("node", [False, True])
def test_a_connection_not_subscribed_in_time_is_closed(node):
    stream = Stream() if node else None
    idle = protocol.Session(CLASSES, stream, limits=SMALL)
    idle.connected(5_000)
    assert idle.wake_at == 15_000 and idle.timed_out(14_999) == []
    # A request turned down does not count: the deadline stands.
    serve(idle, req([{"doc_class": "Invoice"}]), 6_000)
    assert idle.wake_at == 15_000
    reason = "no subscription within 10 s of connecting; connect again to subscribe"
    assert idle.timed_out(15_000) == [
        protocol.TurnDown("not_subscribed_in_time", reason),
        protocol.Log(f"not subscribed: {reason}"), protocol.Send(protocol.error(reason)),
        protocol.Close(protocol.REFUSED_CLOSE_CODE, "not subscribed")]
    assert idle.closed and idle.wake_at is None and idle.timed_out(99_000) == []
    busy = protocol.Session(CLASSES, stream, limits=SMALL)
    busy.connected(5_000)
    serve(busy, req([{"doc_class": "Order"}]), 6_000)
    assert busy.wake_at is None and busy.timed_out(99_000) == [] and not busy.closed


def test_handshakes_past_the_connection_limit_are_turned_away_and_filling_up_is_told_once():
    door = protocol.Door(2)
    got = [[type(a).__name__ for a in door.knock(live)] for live in (0, 1, 2, 3, 1, 2)]
    away = ["TurnDown", "Log", "TurnAway"]
    assert got == [[], [], ["Warn"] + away, away, [], ["Warn"] + away]
    assert door.knock(2)[0] == protocol.TurnDown("too_many_connections",
                                                 "2 connections open already")


def test_a_subscription_is_logged_with_the_clients_values_cut_short():
    session = protocol.Session()
    actions = serve(session, req([{"doc_class": "C" * 5000, "data_scope": ["x" * 60_000]}]))
    (line,) = logged(actions)
    assert len(line) < 150 and line.endswith("...")


@pytest.mark.parametrize("failure, reply, counted", [
    (Unavailable("the authentication service is unavailable (ConnectionError); try again"),
     {"type": "error", "reason": "the authentication service is unavailable (ConnectionError);"
                                 " try again"}, "unavailable"),
    (KeyError("x"), {"type": "error", "reason": "the request failed (KeyError); try again later"},
     "failed"),
    # the module's own ValueError for a subscription's values, cut short
    (ValueError("bad scope " + "x" * 1000), {"type": "error", "reason": "bad scope " + "x" * 290
                                              + "..."}, "bad_request"),
])
def test_a_failed_lookup_gets_an_error_and_the_connection_stays(failure, reply, counted):
    session = protocol.Session(CLASSES)
    actions = serve(session, req([{"doc_class": "Order"}]), acl=failure)
    assert sent(actions) == [reply] and turned_down(actions) == [counted]
    assert any(isinstance(a, protocol.Fault) for a in actions) == (counted == "failed")
    assert not session.closed


@pytest.mark.parametrize("refusal, kind", [
    (Refused("unknown API key key#1", "k-1", kind="unknown_key"), "unknown_key"),
    (Refused("disabled", "k-1", kind="disabled"), "not_accepted"),  # a word the enum lacks
    ("empty", "empty_acl"),  # the module found the ACL empty
])
def test_a_refused_key_is_told_why_then_the_connection_closes(refusal, kind):
    session = protocol.Session(CLASSES)
    if refusal == "empty":
        session.received(req([{"doc_class": "Order"}], api_key="k-1"), 0)
        actions = session.acl_refused(ValueError("User has empty ACL"))
        reason = f"API key {protocol.fingerprint('k-1')} has an empty ACL (User has empty ACL)"
    else:
        actions = serve(session, req([{"doc_class": "Order"}], api_key="k-1"), acl=refusal)
        reason = str(refusal)
    assert actions[-4:] == [protocol.TurnDown(kind, reason, "k-1"),
                            protocol.Log(f"refused: {reason}"),
                            protocol.Send(protocol.refused(reason)),
                            protocol.Close(protocol.REFUSED_CLOSE_CODE, "refused")]
    assert session.closed


def too_old(session, action):
    return session.failed(TooOld("00000003", "00000005", "00000009", epoch="e1"))


def ahead(session, action):
    return session.failed(Ahead("00000003", "00000001", epoch="e1"))


RESUME = {"resume_after": "00000003", "epoch": "e1"}


# A node's session: (the stream, the request's extra fields, how its waits end, the actions of
# interest: Send, Count, CatchUp, CheckHeld, Register and LookUp, reduced to what tells them apart)
@pytest.mark.parametrize("stream, extra, outcomes, expected", [
    # a new client: its live events start after the feed's position
    (Stream(), {}, {}, ["LookUp", "Register 00000007", "subscribed 00000007 0"]),
    # ... nothing yet: seq 0 of the stream's width, which every node takes back
    (Stream(position=None), {}, {}, ["LookUp", "Register 00000000", "subscribed 00000000 0"]),
    # one coming back: the backlog first, then live events after what it was sent
    (Stream(), RESUME, {}, ["LookUp", "resumed", "CatchUp 00000003", "Register 00000009",
                            "subscribed 00000009 2"]),
    (Stream(), RESUME, {protocol.CatchUp: too_old}, ["LookUp", "resumed", "CatchUp 00000003",
                                                     "too_old", "too_old"]),
    (Stream(), RESUME, {protocol.CatchUp: lambda s, a: s.stream_failed(OSError())},
     ["LookUp", "resumed", "CatchUp 00000003",
      "error the event stream is unavailable (OSError); try again later"]),
    # another epoch: too old, or the stream's own that this node has yet to read
    (Stream(epoch="e2"), RESUME, {}, ["LookUp", "resumed", "CheckHeld", "error this node is"
                                      " still reading the stream's previous epoch; try again"
                                      " shortly"]),
    (Stream(epoch="e2"), RESUME, {protocol.CheckHeld: too_old},
     ["LookUp", "resumed", "CheckHeld", "too_old", "too_old"]),
    # the stream made anew while the backlog went out: nothing registered
    (Stream(), RESUME, {protocol.CatchUp: lambda s, a: (setattr(s.stream, "epoch", "e2"),
                                                        s.caught_up("00000009", 2))[1]},
     ["LookUp", "resumed", "CatchUp 00000003", "error the event stream was made anew meanwhile;"
                                               " subscribe again without resume_after"]),
    # a position past the stream's last seq, in this node's epoch or the stream's newer one
    (Stream(), RESUME, {protocol.CatchUp: ahead}, ["LookUp", "resumed", "CatchUp 00000003",
                                                   "ahead", "ahead"]),
    (Stream(epoch="e2"), RESUME, {protocol.CheckHeld: ahead},
     ["LookUp", "resumed", "CheckHeld", "ahead", "ahead"]),
    # no stream: the authentication service is not even asked
    (Stream(connected=False), {}, {}, ["error the event stream is unavailable (Redis cannot be"
                                       " reached); try again later"]),
    (Stream(epoch=None), RESUME, {}, ["error the event stream is unavailable (Redis cannot be"
                                      " reached); try again later"]),
])
def test_a_node_session_catches_up_then_registers(stream, extra, outcomes, expected):
    session = protocol.Session(CLASSES, stream)
    got = []
    for action in serve(session, req([{"doc_class": "Order"}], **extra), outcomes=outcomes):
        match action:
            case protocol.Send({"type": "subscribed", **reply}):
                got.append(f"subscribed {reply['after_seq']} {reply['caught_up']}")
                assert reply["epoch"] == stream.epoch
            case protocol.Send({"type": kind, **reply}):
                got.append(f"{kind} {reply['reason']}" if kind == "error" else kind)
            case protocol.Count(name):
                got.append(name)
            case protocol.CatchUp(_, after):
                got.append(f"CatchUp {after}")
            case protocol.Register(_, acl, after):
                got.append(f"Register {after}")
                assert acl == "ACL"  # registered under the ACL looked up
            case protocol.LookUp() | protocol.CheckHeld():
                got.append(type(action).__name__)
    assert got == expected


def test_a_stream_made_anew_during_the_catch_up_registers_nothing():
    stream = Stream()

    def renewed(session, action):
        stream.epoch = "e2"
        return session.caught_up("00000009", 2)

    actions = serve(protocol.Session(CLASSES, stream), req([{"doc_class": "Order"}], **RESUME),
                    outcomes={protocol.CatchUp: renewed})
    assert not any(isinstance(a, protocol.Register) for a in actions)
    assert sent(actions) == [protocol.error(protocol.stream_made_anew())]


def test_on_a_sharded_redis_a_request_takes_the_stream_of_its_one_class():
    orders, shipments = Stream(epoch="e-orders"), Stream(epoch="e-shipments", position="00000002")
    session = protocol.Session(CLASSES, {"Order": orders, "Shipment": shipments})
    both = serve(session, req([{"doc_class": "Order"}, {"doc_class": "Shipment"}]))
    assert turned_down(both) == ["bad_request"] and "one class per connection" in \
        sent(both)[0]["reason"]
    actions = serve(session, req([{"doc_class": "Shipment"}], resume_after="00000001",
                                 epoch="e-shipments"))
    assert session.stream is shipments
    assert any(a == protocol.CatchUp("e-shipments", "00000001") for a in actions)


# -- the node's command line ----------------------------------------------------------------------
NODE_ENV = {"BROADCAST_REDIS_URL": "redis://r:6379/0", "BROADCAST_AUTH_URL": "http://a/api/",
            "BROADCAST_DOCUMENTS": "shop"}

# (environment, arguments after "node", the settings read, or the error's text)
COMMAND_LINES = [
    (NODE_ENV | {"BROADCAST_PORT": "8766", "BROADCAST_COMPRESSION": "yes",
                 "BROADCAST_LOG_FORMAT": "JSON", "BROADCAST_UNHEALTHY_AFTER": "1.5"}, ["node"],
     {"redis": "redis://r:6379/0", "auth": "http://a/api/", "documents": "shop", "port": 8766,
      "compression": True, "log_format": "json", "unhealthy_after": 1.5}),
    (NODE_ENV | {"BROADCAST_APP_NAME": "invoicing"}, ["node"], {"app_name": "invoicing"}),
    (NODE_ENV | {"BROADCAST_PORT": "8766", "BROADCAST_COMPRESSION": "0"},
     ["node", "--port", "9000", "--redis", "redis://other/1"],
     {"port": 9000, "redis": "redis://other/1", "compression": False}),
    (NODE_ENV | {"BROADCAST_PORT": "eighty"}, ["node"],
     "BROADCAST_PORT='eighty': invalid int value (for --port)"),
    (NODE_ENV | {"BROADCAST_LOG_LEVEL": "loud"}, ["node"],
     "BROADCAST_LOG_LEVEL='loud': expected one of debug, info, warning, error"),
    (NODE_ENV | {"BROADCAST_FROM_START": "maybe"}, ["node"],
     "BROADCAST_FROM_START='maybe': expected"),
    ({"BROADCAST_AUTH_URL": "http://a/api/"}, ["node", "--documents", "shop"],
     "the following arguments are required: --redis"),
    (NODE_ENV | {"BROADCAST_REDIS_CLUSTER": "r1:7000,[::1]:7001"}, ["node"],
     {"redis_cluster": (("r1", 7000), ("::1", 7001))}),
    (NODE_ENV | {"BROADCAST_SENTINEL": "s1:26379"}, ["node", "--redis-cluster", "r1:7000"],
     "--redis-cluster and --sentinel do not go together"),
    # An empty --host listens on every interface; an empty variable is a mistake, not a value.
    (NODE_ENV | {"BROADCAST_HOST": ""}, ["node"],
     "BROADCAST_HOST='': empty; give a value or unset it"),
    # The system wraps a port past 65535 round to another one.
    (NODE_ENV | {"BROADCAST_PORT": "70000"}, ["node"],
     "BROADCAST_PORT='70000': port 70000 is out of range (0 to 65535)"),
    (NODE_ENV | {"BROADCAST_UNHEALTHY_AFTER": "nan"}, ["node"], "nan is not a number of seconds"),
    (NODE_ENV | {"BROADCAST_SEQ_WIDTH": "0"}, ["node"], "0 digits: from 1 to 15 (for --seq-width)"),
    (NODE_ENV | {"BROADCAST_SEND_QUEUE": "0"}, ["node"],
     "0 bytes: at least 1 (no outbox is unbounded)"),
    (NODE_ENV, ["node", "--max-lag", "-1"], "argument --max-lag: -1 is negative"),
    # What one client may ask: every bound at least 1; a deadline of 0 would close everyone.
    (NODE_ENV | {"BROADCAST_MAX_SCOPE_ITEMS": "50", "BROADCAST_SUBSCRIBE_WITHIN": "2.5"}, ["node"],
     {"max_scope_items": 50, "subscribe_within": 2.5, "max_connections": 10_000}),
    (NODE_ENV | {"BROADCAST_SUBSCRIBE_WITHIN": "0"}, ["node"], "0.0 is not a number of seconds"),
    (NODE_ENV, ["node", "--max-subscriptions", "0"], "argument --max-subscriptions: 0: at least 1"),
    # A lookup with no time at all would fail before it is sent; no reuse is a choice.
    (NODE_ENV | {"BROADCAST_AUTH_CACHE": "0"}, ["node", "--auth-timeout", "0"],
     "argument --auth-timeout: 0.0 is not a number of seconds (more than 0)"),
    (NODE_ENV | {"BROADCAST_AUTH_CACHE": "0", "BROADCAST_AUTH_TIMEOUT": "0.5"}, ["node"],
     {"auth_cache": 0.0, "auth_timeout": 0.5}),
    (NODE_ENV | {"BROADCAST_PUBLIC_NODES": "ws://n1:8765, wss://lb.example/ws"}, ["node"],
     {"public_nodes": ("ws://n1:8765", "wss://lb.example/ws")}),
    # Each URL goes into the page's policy: nothing in it may end one and begin another.
    (NODE_ENV, ["node", "--public-nodes", "ws://n1:8765; script-src *"],
     "'ws://n1:8765; script-src *' is not a websocket URL"),
    # An event's own seq and id: a variable left set from one publish would give every later
    # event the same id, and an event whose id was appended already is not added, lost unsaid.
    ({"BROADCAST_REDIS_URL": "redis://r/0", "BROADCAST_DOC_CLASS": "Order",
      "BROADCAST_EVENT_ID": "e-1", "BROADCAST_SEQ": "00000007"}, ["publish", "--data", "{}"],
     {"doc_class": "Order", "event_id": None, "seq": None}),
    # The op goes to every client as it is: one they do not know is refused here.
    ({"BROADCAST_OP": "remove"}, ["publish", "--redis", "redis://r/0", "--class", "Order",
                                  "--data", "{}"],
     "BROADCAST_OP='remove': expected one of create, update, delete (for --op)"),
]


@pytest.mark.parametrize("environ, argv, expected", COMMAND_LINES)
def test_commands_read_their_options_from_flags_then_the_environment(environ, argv, expected,
                                                                     capsys):
    from broadcast_server.__main__ import command_line
    if isinstance(expected, str):
        with pytest.raises(SystemExit) as info:
            command_line(environ).parse_args(argv)
        assert info.value.code == 2 and expected in capsys.readouterr().err
        return
    args = command_line(environ).parse_args(argv)
    assert {name: getattr(args, name) for name in expected} == expected


def test_every_setting_a_node_hands_its_server_is_a_keyword_of_it():
    import inspect
    from broadcast_server import config
    from broadcast_server.node import NodeServer
    from broadcast_server.server import BroadcastServer
    taken = {*inspect.signature(NodeServer).parameters,
             *inspect.signature(BroadcastServer).parameters}
    options = config.NodeConfig(redis="r", auth="a", documents="d").server_options()
    assert set(options) <= taken and "max_scope_items" in options


PUBLISH = ["publish", "--redis", "redis://127.0.0.1:9/0", "--class", "Invoice"]
INVOICE = '{"id": "F-1", "region": "eu", "total": 1.5}'


@pytest.mark.parametrize("argv, status, error", [
    (["node", "--documents", "no_such_documents"], 2,
     "node: --documents no_such_documents: No module named 'no_such_documents'"),
    (["node", "--redis", "localhost:6379"], 2,
     "node: --redis: Redis URL must specify one of the following"),
    (["node", "--auth", "127.0.0.1:8001/api/"], 2,
     "node: --auth: expected the authentication service's API"),
    # What every node would skip is refused before it reaches the stream.
    ([*PUBLISH, "--data", '{"id": "F-1"'], 2, "publish: --data: not JSON (Expecting"),
    ([*PUBLISH, "--data", '["F-1"]'], 2, "publish: --data: a list is not a JSON object: every "
                                         "node rebuilds the document as Invoice(**data)"),
    ([*PUBLISH, "--data", INVOICE, "--class", "Order", "--documents", "examples/documents.py"],
     2, "publish: --class: unknown document class 'Order' (the documents have Invoice); every "
        "node would skip this event"),
    ([*PUBLISH, "--data", '{"id": "F-1", "region": "eu", "total": 1, "colour": "red"}',
      "--documents", "examples/documents.py"], 2,
     "publish: --data: Invoice(**data) raised TypeError: Invoice.__init__() got an unexpected "
     "keyword argument 'colour'; every node would skip this event"),
    # Redis away for longer than a publish may take: the flag to know whether it is in.
    ([*PUBLISH, "--data", INVOICE, "--event-id", "ev-7"], 1,
     "Redis did not take the event within 0.2 s; it may or may not be in the stream: publish it "
     "again with --event-id ev-7 to know"),
])
def test_a_command_whose_settings_cannot_work_says_why_in_one_line(argv, status, error, capsys,
                                                                   monkeypatch):
    from broadcast_server.__main__ import main
    monkeypatch.setattr(config, "PUBLISH_RETRY_FOR", 0.2)
    monkeypatch.chdir(ROOT)
    with pytest.raises(SystemExit) as info:
        main(argv, environ=NODE_ENV | {"BROADCAST_DOCUMENTS": "broadcast_demo.shop"}
             if argv[0] == "node" else {})
    err = capsys.readouterr().err
    assert info.value.code == status and error in err and len(err.splitlines()) == 1, err


def test_a_node_name_with_a_percent_sign_is_logged_as_it_is():
    from broadcast_server import logs
    root, ours = logging.getLogger(), logging.getLogger("broadcast")
    handlers, levels = root.handlers[:], (root.level, ours.level)
    stream = io.StringIO()
    try:
        logs.configure("info", "text", node="eu-50%", stream=stream)
        logging.getLogger("broadcast.node").warning("Redis unreachable")
    finally:
        root.handlers[:] = handlers
        root.setLevel(levels[0])
        ours.setLevel(levels[1])
    assert stream.getvalue().endswith(" eu-50% WARNING Redis unreachable\n")
