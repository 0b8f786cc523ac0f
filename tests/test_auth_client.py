"""AuthClient: construction, the request it sends, and what it makes of each kind of reply.

Replies come from a real HTTP service on 127.0.0.1 (broadcast_demo.auth_service). The call
shape is checked by rebinding the module's `requests` to a recorder.
"""
import json
import socket
import threading
import time
import urllib.parse

import pytest
import requests

import broadcast
from broadcast_demo.auth_service import AuthService

KEY = "key-under-test"


@pytest.fixture(scope="session")
def auth_service():
    with AuthService() as service:
        yield service


@pytest.fixture
def service(auth_service):
    auth_service.reset()
    yield auth_service
    auth_service.reset()


@pytest.fixture
def client(service):
    return broadcast.AuthClient(service.base_url)


def ask(service, client, status, api_id="", **reply):
    service.reply(KEY, status, **reply)
    return client.get_api_acl(KEY, "app", api_id)


def error_pair(status, trace):
    return {"message": f"API Endpoint returns code {status}", "trace": trace}, status


def decoder_message(text):
    with pytest.raises(ValueError) as info:
        json.loads(text)
    return info.value.args[0]


# -- construction -------------------------------------------------------------------------------

@pytest.mark.parametrize("root, prefix", [
    ("https://auth.example.org/api/", "https://auth.example.org/api/"),
    ("http://h:1/api", "http://h:1/api"),  # no separator added: the segment runs into the suffix
    ("", ""),
])
def test_constructor_derives_roots_by_plain_concatenation(root, prefix):
    c = broadcast.AuthClient(root)
    assert list(vars(c).items()) == [
        ("api_root", root), ("user_root", prefix + "user"),
        ("role_root", prefix + "role"), ("matrix_root", prefix + "matrix")]


def test_default_root_is_https_api_path_on_a_documentation_host():
    default = broadcast.AuthClient.__init__.__defaults__[0]
    parts = urllib.parse.urlsplit(default)
    host = parts.hostname or ""
    assert (parts.scheme, parts.path, parts.query, parts.fragment) == ("https", "/api/", "", "")
    assert host.rsplit(".", 1)[-1] == "example" or any(
        host == d or host.endswith("." + d) for d in ("example.com", "example.net", "example.org"))
    c = broadcast.AuthClient()
    assert (c.api_root, c.role_root) == (default, default + "role")


def test_non_string_root_fails_at_second_step_after_storing_api_root():
    obj = broadcast.AuthClient.__new__(broadcast.AuthClient)
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \+: 'int' and 'str'"):
        broadcast.AuthClient.__init__(obj, 5)
    assert vars(obj) == {"api_root": 5}


def test_constructor_joins_the_argument_with_the_plus_operator():
    class Root:
        def __add__(self, other):
            return ("joined", other)

    class Sub(broadcast.AuthClient):
        # what reads back from the attribute differs from what was passed
        api_root = property(lambda self: "ignored/", lambda self, v: None)

    c = Sub(Root())
    assert (c.user_root, c.role_root, c.matrix_root) == (
        ("joined", "user"), ("joined", "role"), ("joined", "matrix"))


# -- the request on the wire --------------------------------------------------------------------

def test_request_wire_format(service, client):
    service.reply(KEY, 200, json={"id": "x"})
    client.get_api_acl(KEY, "my-app", "x")
    (req,) = service.requests
    assert (req.method, req.path) == ("POST", "/api/role/_/get_api_acl")
    assert req.headers["Content-Type"] == "application/json"
    assert req.headers["Authorization"] is None
    assert req.json_keys == ["api_key", "app_name"]  # api_id never sent
    assert req.json == {"api_key": KEY, "app_name": "my-app"}


def test_root_without_slash_reaches_a_different_path(service):
    c = broadcast.AuthClient(service.base_url.rstrip("/"))
    # answered as a web framework answers a path it does not serve: no "message" of its own
    assert c.get_api_acl(KEY, "app") == error_pair(404, '{"detail": "Not Found"}')
    assert service.last_request.path == "/apirole/_/get_api_acl"


# -- what each reply yields ---------------------------------------------------------------------

@pytest.mark.parametrize("status, body, api_id, expected", [
    # status 200: the identity check
    (200, {"id": "9", "acl": ["A"]}, "", None),
    (200, {"id": "9", "acl": ["A"]}, "9", None),
    (200, {"id": "9"}, "8", ({"message": "API ID 8 and 9 don't match"}, 401)),
    (200, {"id": 5}, "5", ({"message": "API ID 5 and 5 don't match"}, 401)),
    (200, {"id": "other"}, "", None),  # empty api_id skips the check
    (200, {"acl": []}, "", None),
    (200, [1, 2], "", None),
    # other 1xx/2xx: passed through, no identity check
    (201, {"id": "9"}, "8", None),
    (299, {"error": "no message key"}, "8", None),
    # 300 and above: error unless the body holds "message"
    (300, {"error": "x"}, "", error_pair(300, '{"error": "x"}')),
    (404, {"message": "nope", "code": 7}, "", None),
    (404, {"detail": "nope"}, "", error_pair(404, '{"detail": "nope"}')),
    (400, {"id": "x", "message": "bad"}, "y", None),
    (500, ["message", 1], "", None),  # list: element test
    (500, ["msg"], "", error_pair(500, '["msg"]')),
    (503, "a message here", "", None),  # string: substring test
    (503, "oops", "", error_pair(503, '"oops"')),
])
def test_json_reply_table(service, client, status, body, api_id, expected):
    result = ask(service, client, status, api_id, json=body)
    assert result == (expected or (body, status))
    if expected is not None and status != 401:
        assert list(result[0]) == list(expected[0])  # "message" before "trace"


@pytest.mark.parametrize("status, raw, content_type, trace", [
    (500, b"<html><body>Internal Server Error</body></html>", "text/html", None),
    (200, b"OK", "text/plain", None),
    (200, b"", "application/json", None),
    (502, b'{"id": ', "application/json", None),
    # a body that is not UTF-8 is reported with replacement characters, never raised
    (502, b"<p>Caf\xe9</p>", "text/html; charset=iso-8859-1", "<p>Caf\ufffd</p>"),
    (502, b"\xff\xfe<\x00", None, "\ufffd\ufffd<\x00"),
])
def test_body_that_is_not_json(service, client, status, raw, content_type, trace):
    result = ask(service, client, status, "id", body=raw, content_type=content_type)
    text = raw.decode("utf-8", "replace")
    message = result[0]["message"]
    if trace is None:
        assert message == decoder_message(text)
    assert isinstance(message, str) and message.startswith("Expecting value")
    assert result == ({"message": message, "trace": trace or text}, status)


@pytest.mark.parametrize("content_type", ["application/json; charset=iso-8859-1",
                                          "application/json"])
def test_error_trace_of_non_utf8_json_body_is_replaced(service, client, content_type):
    result = ask(service, client, 502, body=b'{"detail": "Caf\xe9"}', content_type=content_type)
    assert result == error_pair(502, '{"detail": "Caf\ufffd"}')


def test_error_body_with_message_passes_through_decoded(service, client):
    result = ask(service, client, 403, body=b'{"message": "Caf\xe9"}',
                 content_type="application/json; charset=iso-8859-1")
    assert result == ({"message": "Caf\xe9"}, 403)


@pytest.mark.parametrize("status, body, api_id, error", [
    (500, 42, "", TypeError),  # `in` on a number
    (500, None, "", TypeError),
    (400, True, "", TypeError),
    (200, {"acl": []}, "x", KeyError),  # no "id" to compare
    (200, ["id"], "x", TypeError),
    (200, "id", "x", TypeError),
    (200, None, "x", TypeError),
])
def test_unusable_reply_shape_propagates(service, client, status, body, api_id, error):
    with pytest.raises(error):
        ask(service, client, status, api_id, json=body)


def test_realistic_accounts(service, client):
    service.add_account("k-reader", ["Invoice", "Order"], id="7")
    assert client.get_api_acl("k-reader", "demo", "7") == (
        {"id": "7", "api_key": "k-reader", "app_name": "demo", "acl": ["Invoice", "Order"]}, 200)
    assert client.get_api_acl("k-reader", "demo", "8") == (
        {"message": "API ID 8 and 7 don't match"}, 401)
    assert client.get_api_acl("k-unknown", "demo") == ({"message": "Unknown API key"}, 404)


@pytest.fixture
def refused_root():
    with socket.socket() as s:  # bound, never listening: connections are refused
        s.bind(("127.0.0.1", 0))
        yield f"http://127.0.0.1:{s.getsockname()[1]}/api/"


@pytest.mark.parametrize("root, error", [
    ("refused", requests.exceptions.ConnectionError),
    ("no-scheme/api/", requests.exceptions.MissingSchema),
])
def test_request_failures_propagate(refused_root, root, error):
    c = broadcast.AuthClient(refused_root if root == "refused" else root)
    with pytest.raises(error):
        c.get_api_acl(KEY, "app")


def test_shared_client_from_several_threads(service, client):
    keys = [f"k{i}" for i in range(8)]
    for i, key in enumerate(keys):
        service.add_account(key, [f"C{i}"], id=str(i))
    results = {}
    barrier = threading.Barrier(len(keys))

    def work(i, key):
        barrier.wait()
        results[key] = [client.get_api_acl(key, "app", str(i)) for _ in range(3)]

    threads = [threading.Thread(target=work, args=item) for item in enumerate(keys)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, key in enumerate(keys):
        assert {r[0]["acl"][0] for r in results[key]} == {f"C{i}"}
    assert len(service.requests) == 3 * len(keys)


# -- call shape, with `requests` rebound to a recorder ---------------------------------------

class FakeReply:
    def __init__(self, status, payload=None, content=b"", error=None):
        self.status_code = status
        self.content = content
        self._payload, self._error = payload, error
        self.decoded = []  # one fresh object per json() call

    def json(self):
        if self._error is not None:
            raise self._error
        self.decoded.append(json.loads(json.dumps(self._payload)))
        return self.decoded[-1]


class Recorder:
    def __init__(self, reply):
        self.reply = reply
        self.calls = []

    def post(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.reply


@pytest.fixture
def recorder(monkeypatch):
    fake = Recorder(FakeReply(200, {"id": "1"}))
    monkeypatch.setattr(broadcast, "requests", fake)
    return fake


def test_call_shape(recorder):
    broadcast.AuthClient("http://h/api/").get_api_acl("k", "a", "1")
    assert recorder.calls == [(("http://h/api/role/_/get_api_acl",),
                               {"json": {"api_key": "k", "app_name": "a"}})]
    assert list(recorder.calls[0][1]["json"]) == ["api_key", "app_name"]


def test_role_root_read_at_call_time_and_body_built_per_call(recorder):
    c = broadcast.AuthClient("http://h/api/")
    c.role_root = "http://elsewhere/r"
    c.get_api_acl("k", "a")
    c.get_api_acl("k", "a")
    (a1, k1), (a2, k2) = recorder.calls
    assert a1 == a2 == ("http://elsewhere/r/_/get_api_acl",)
    assert k1["json"] is not k2["json"]


def test_requests_looked_up_at_each_call(monkeypatch):
    c = broadcast.AuthClient("http://h/api/")
    first, second = Recorder(FakeReply(200, {"n": 1})), Recorder(FakeReply(202, {"n": 2}))
    monkeypatch.setattr(broadcast, "requests", first)
    assert c.get_api_acl("k", "a") == ({"n": 1}, 200)
    monkeypatch.setattr(broadcast, "requests", second)
    assert c.get_api_acl("k", "a") == ({"n": 2}, 202)
    assert (len(first.calls), len(second.calls)) == (1, 1)


@pytest.mark.parametrize("status, payload, api_id, decodes", [
    (200, {"id": "1"}, "1", 2),  # success: the body is decoded a second time for the result
    (150, {"id": "1"}, "2", 2),  # below 200 (no body can travel with a real 1xx): no id check
    (200, {"id": "1"}, "2", 1),
    (500, {"detail": "x"}, "", 1),
])
def test_json_decoded_once_per_step_that_needs_it(recorder, status, payload, api_id, decodes):
    reply = recorder.reply = FakeReply(status, payload, b"raw")
    result = broadcast.AuthClient("http://h/api/").get_api_acl("k", "a", api_id)
    assert len(reply.decoded) == decodes
    if decodes == 2:
        assert result[0] is reply.decoded[1] and result[1] == status


def test_missing_role_root_fails_before_any_request(recorder):
    obj = broadcast.AuthClient.__new__(broadcast.AuthClient)
    with pytest.raises(AttributeError):
        obj.get_api_acl("k", "a")
    assert recorder.calls == []


class Stop(BaseException):
    pass


@pytest.mark.parametrize("error, raised", [
    (RuntimeError("boom", "more"), None),  # any Exception, not only decoding errors
    (LookupError(), IndexError),  # no args to take the message from
    (Stop("halt"), Stop),  # not an Exception: not caught
])
def test_errors_raised_by_decoding(recorder, error, raised):
    recorder.reply = FakeReply(500, error=error, content=b"\xe9t\xe9")
    c = broadcast.AuthClient("http://h/api/")
    if raised is None:
        assert c.get_api_acl("k", "a") == ({"message": "boom", "trace": "\ufffdt\ufffd"}, 500)
        return
    with pytest.raises(raised) as info:
        c.get_api_acl("k", "a")
    assert raised is Stop or info.value.__context__ is error


def test_the_service_command_keeps_no_request_however_long_it_runs():
    from broadcast_demo.auth_service import from_command_line
    _, service = from_command_line(["--account", "k-mine=7:Order"])
    with service:
        client = broadcast.AuthClient(service.base_url)
        for key in ("k-mine", "k-other-" + "x" * 60_000):
            client.get_api_acl(key, "app")
        assert service.requests == []


@pytest.mark.parametrize("argv, error", [
    (["--port", "70000"], "argument --port: port 70000 is out of range (0 to 65535)"),
    (["--root", "api"], "--root 'api': root must start and end with '/'"),
])
def test_the_service_command_refuses_bad_arguments_with_a_message(argv, error, capsys):
    from broadcast_demo.auth_service import from_command_line
    with pytest.raises(SystemExit) as info:
        from_command_line(argv)
    assert info.value.code == 2 and error in capsys.readouterr().err


@pytest.mark.parametrize("length, status", [("abc", 400), ("-5", 400), (str(10**12), 413)])
def test_the_service_answers_a_body_length_it_cannot_take_and_serves_on(service, client, length,
                                                                          status):
    host, port = urllib.parse.urlsplit(service.base_url).netloc.split(":")
    with socket.create_connection((host, int(port)), timeout=5) as sock:
        sock.sendall(f"POST /api/_/get_api_acl HTTP/1.1\r\nHost: x\r\n"
                     f"Content-Length: {length}\r\n\r\n".encode())
        assert sock.recv(100).startswith(f"HTTP/1.0 {status} ".encode())
    assert client.get_api_acl("k-nobody", "app")[1] == 404


# -- a server's lookups: what an answer means, how long it is kept, how long one may take --------

from broadcast_server.acl import Answers, BoundedRequests, Call, judge  # noqa: E402
from broadcast_server.errors import AuthServiceFault, Refused  # noqa: E402

NOT_JSON = {"message": "Expecting value", "trace": "<html>"}


@pytest.mark.parametrize("result, status, readable, outcome", [
    ({"id": "7", "acl": ["Order"]}, 200, True, "ok"),
    ({"message": "Unknown API key"}, 404, True, "unknown_key"),
    ({"message": "disabled"}, 403, True, "not_accepted"),
    ({"message": "API Endpoint returns code 404", "trace": '{"detail": "Not Found"}'}, 404, True,
     "without its own"),
    ({"message": "API Endpoint returns code 404", "trace": "<h1>Not Found</h1>"}, 404, None,
     "without its own"),  # a poster of the host's own: the module's report tells
    ({"message": "API Endpoint returns code 404", "trace": "<h1>Not Found</h1>"}, 404, False,
     "not JSON: is --auth its API root"),  # an HTML 404 page, as the server's poster reads it
    (NOT_JSON, 200, False, "not JSON"),
    (NOT_JSON, 200, None, "not JSON"),
    ({"message": "moved"}, 301, True, "redirect"),
    ({"message": "overloaded"}, 503, True, "503 (overloaded)"),
    ({"message": "slow down"}, 429, True, "429"),
    ({"message": "over\nloaded"}, 503, True, "503 (over\\nloaded)"),  # one log line
    ([1, 2], 200, True, "not an object"),
    ({"id": "7", "acl": 5}, 200, True, "\"acl\" that is a int"),
    ({"id": "7", "acl": ["Order"], "trace": "kept"}, 200, None, "ok"),  # its own field
])
def test_what_an_answer_means(result, status, readable, outcome):
    if outcome in ("ok", "unknown_key", "not_accepted"):
        answer = judge(KEY, result, status, readable)
        if outcome == "ok":
            assert answer.give(KEY)[1] == "7"
            return
        with pytest.raises(Refused) as refused:
            answer.give(KEY)
        assert refused.value.kind == outcome and KEY not in str(refused.value)
        return
    with pytest.raises(AuthServiceFault) as info:
        judge(KEY, result, status, readable)
    assert outcome in info.value.detail and "try again later" in str(info.value)


def test_answers_are_kept_for_their_time_and_the_oldest_go_first():
    now = [0.0]
    answers = Answers(ttl=5, entries=3, clock=lambda: now[0])
    keys = [Answers.digest(f"k{i}") for i in range(4)]
    for i, key in enumerate(keys[:3]):
        answers.put(key, judge(f"k{i}", {"id": str(i)}, 200, True))
        now[0] += 1
    answers.put(keys[3], judge("k3", {"message": "no"}, 404, True))  # full: k0 goes
    assert [answers.get(k) is not None for k in keys] == [False, True, True, True]
    now[0] = 6.0  # k1 put at 1.0 is gone, k2 at 2.0 not yet
    assert [answers.get(k) is not None for k in keys] == [False, False, True, True]
    assert len(Answers(ttl=0)) == 0 and Answers(ttl=0).put(keys[0], None) is None


@pytest.mark.parametrize("does, error", [
    (lambda s: s.drip(KEY, every=0.1), "within"),  # each byte in time, the whole reply never
    (lambda s: s.stall(KEY), "within"),
    (lambda s: s.reply(KEY, 200, body=b"x" * (1 << 20) + b"x"), "more than 1048576 bytes"),
])
def test_a_lookup_ends_by_its_deadline_and_reads_no_more_than_it_may(service, does, error):
    does(service)
    post = BoundedRequests(timeout=0.5)
    started = time.monotonic()
    with pytest.raises((TimeoutError, AuthServiceFault)) as info:
        post.post(service.base_url + "role/_/get_api_acl", json={"api_key": KEY})
    assert error in getattr(info.value, "detail", str(info.value))
    assert time.monotonic() - started < 2


def test_a_redirect_comes_back_as_it_came_and_an_abandoned_call_lets_go(service):
    service.reply(KEY, 307, json={}, headers={"Location": service.base_url + "moved"})
    reply = BoundedRequests().post(service.base_url + "role/_/get_api_acl", json={"api_key": KEY})
    assert reply.status_code == 307 and [r.path for r in service.requests] == [
        "/api/role/_/get_api_acl"]
    service.stall(KEY)
    call = Call(60)
    threading.Timer(0.3, call.abandon).start()
    started = time.monotonic()
    with pytest.raises(TimeoutError):  # waiting for a reply that never comes, as http.client does
        call.connect(urllib.parse.urlsplit(service.base_url).netloc.split(":")).makefile(
            "rb").read(1)
    assert time.monotonic() - started < 2
