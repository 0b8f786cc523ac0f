"""The page every host serves on ``GET /``, in a real browser: headless chromium driven by
selenium, on the demo's ``--serve`` server and on nodes fed by a Redis stream.

One browser session serves the whole module. Each test reads what the page shows (its table, its
state, its message) and ends by checking that the browser's console holds no error. Screenshots
go to ``test-artifacts/`` (not kept in git).
"""
import asyncio
import base64
import concurrent.futures
import hashlib
import functools
import json
import math
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
import trustme
from broadcast_demo.accounts import ACCOUNTS
from broadcast_demo.auth_service import AuthService
from broadcast_demo.local_redis import LocalRedis
from broadcast_demo.nodes import NodeProcesses
from broadcast_demo.shop import Acl, Order, expected_view, sample_events
from broadcast_demo.single import PAGE_SETTINGS
from broadcast_server import protocol, web
from broadcast_server.client import ResumingClient
from broadcast_server.errors import Refusal, Unavailable
from broadcast_server.server import BroadcastServer
from broadcast_server.stream import Publisher
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ROOT = pathlib.Path(__file__).resolve().parent.parent
ARTIFACTS = ROOT / "test-artifacts"
WAIT = 30  # seconds any one wait may take before the test fails
# The AddressSanitizer run preloads its runtime into Python; chromium would crash with it.
SANITIZER_VARS = ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")

pytestmark = pytest.mark.browser


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    """A node's certificate (and key) from a throwaway authority, as PEM files, and the
    fingerprint of its public key, which the browser is told to trust."""
    issued = trustme.CA().issue_cert("127.0.0.1")
    folder = tmp_path_factory.mktemp("tls")
    files = {"tls_cert": str(folder / "node.pem"), "tls_key": str(folder / "node.key")}
    issued.cert_chain_pems[0].write_to_path(files["tls_cert"])
    issued.private_key_pem.write_to_path(files["tls_key"])
    public_key = x509.load_pem_x509_certificate(issued.cert_chain_pems[0].bytes()).public_key()
    spki = public_key.public_bytes(serialization.Encoding.DER,
                                   serialization.PublicFormat.SubjectPublicKeyInfo)
    return files, base64.b64encode(hashlib.sha256(spki).digest()).decode()


@pytest.fixture(scope="module")
def chromium(tmp_path_factory, tls):
    binary, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if binary is None or driver is None:
        # The scripts install them; missing, they are a real failure.
        pytest.fail("chromium or chromedriver not found: install Debian's chromium and "
                    "chromium-driver packages (apt-get install chromium chromium-driver)")
    options = Options()
    options.binary_location = binary
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                "--window-size=1280,900", f"--user-data-dir={tmp_path_factory.mktemp('chromium')}",
                # https:// and wss:// of the test's node, whose authority only the test knows
                f"--ignore-certificate-errors-spki-list={tls[1]}"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_VARS}
    session = webdriver.Chrome(options=options, service=Service(driver, env=env))
    session.set_page_load_timeout(WAIT)
    session.set_script_timeout(WAIT)
    ARTIFACTS.mkdir(exist_ok=True)
    yield session
    session.quit()


@pytest.fixture
def browser(chromium):
    chromium.get_log("browser")  # what earlier tests left there
    yield chromium
    chromium.get("about:blank")  # the page stops trying its nodes


def wait_until(browser, predicate, what, timeout=WAIT):
    return WebDriverWait(browser, timeout, poll_frequency=0.05).until(
        lambda _: predicate(), message=f"timed out waiting for {what}")


def state(browser):
    return browser.find_element(By.ID, "state").get_attribute("data-state")


def text(browser, element_id):
    return browser.find_element(By.ID, element_id).text


ROWS = """
return [...document.querySelectorAll("#events tbody tr")].reverse().map((row) => ({
  seq: row.cells[0].textContent, doc_class: row.cells[1].textContent, op: row.cells[2].textContent,
  fields: [...row.cells[3].querySelectorAll(".field")].map((f) => [f.dataset.key, f.dataset.value]),
  caught_up: row.classList.contains("caught-up"),
}));
"""


def shown_events(browser):
    """The page's table, oldest first: (events as the host sent them, seqs marked caught up)."""
    rows = browser.execute_script(ROWS)
    # math.nan itself, which compares equal to itself inside a list or a dict: to math.nan sent.
    read = functools.partial(json.loads, parse_constant={
        "NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}.get)
    events = [{"doc_class": r["doc_class"], "op": r["op"], "seq": r["seq"],
               "message": {key: read(value) for key, value in r["fields"]}} for r in rows]
    return events, [r["seq"] for r in rows if r["caught_up"]]


def console_errors(browser):
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


# -- the demo's server ----------------------------------------------------------------------------
class ServingDemo:
    """``run-demo --serve`` in a process of its own, its output kept line by line."""

    def __init__(self):
        self.lines: list[str] = []
        self.process = subprocess.Popen(
            [sys.executable, "-m", "broadcast_demo", "--serve", "--port", "0", "--delay", "0",
             "--interval", "0.25", "--no-color"],
            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            stdin=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line.rstrip("\n"))

    def line_after(self, prefix, timeout=120):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            for line in self.lines:
                if line.strip().startswith(prefix):
                    return line.strip()[len(prefix):].split()[0]
            time.sleep(0.05)
        raise AssertionError(f"run-demo --serve printed no {prefix!r} line:\n"
                             + "\n".join(self.lines[-20:]))

    def close(self):
        self.process.send_signal(signal.SIGINT)  # Ctrl-C
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reader.join(5)


@pytest.fixture(scope="module")
def demo():
    serving = ServingDemo()
    try:
        serving.ws_url = serving.line_after("Serving on")
        serving.page_url = "http://" + serving.line_after("http://")  # on a line of its own
        yield serving
    finally:
        serving.close()


class PythonClient:
    """The host's Python client (:class:`ResumingClient`), on an event loop of its own."""

    def __init__(self, url, api_key, subscriptions):
        self.events = []
        self.client = ResumingClient("python", api_key, subscriptions, [url],
                                     on_event=lambda _, seq, event: self.events.append(event))
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_until_complete,
                                       args=(self.client.run(),), daemon=True)

    def __enter__(self):
        self.thread.start()
        asyncio.run_coroutine_threadsafe(self.client.subscribed.wait(), self.loop).result(WAIT)
        return self

    def __exit__(self, *exc):
        self.loop.call_soon_threadsafe(self.client.leave)
        self.thread.join(WAIT)
        self.loop.close()


def test_the_page_connects_only_to_the_nodes_its_host_names(browser, demo):
    # A port that takes connections and never answers: a key sent there would be stolen.
    with socket.create_server(("127.0.0.1", 0)) as elsewhere:
        foreign = f"ws://127.0.0.1:{elsewhere.getsockname()[1]}"
        host, port = demo.ws_url[5:].split(":")
        browser.get(web.page_url(host, port, api_key="key-ops-eu", doc_class="Order",
                                 nodes=foreign))
        wait_until(browser, lambda: state(browser) == "live", "the page to subscribe")
        assert text(browser, "node") == demo.ws_url
        assert text(browser, "message") == f"Not a node of this host, left out: {foreign}"
        # Past the page's own check, its policy holds: the browser connects nowhere else.
        browser.execute_script("try { new WebSocket(arguments[0]); } catch {}", foreign)
        wait_until(browser, lambda: console_errors(browser), "the policy's refusal")
        time.sleep(0.3)
        elsewhere.setblocking(False)
        with pytest.raises(BlockingIOError):
            elsewhere.accept()


def test_the_page_shows_the_events_and_fields_the_python_client_gets(browser, demo):
    subscriptions = [{"doc_class": name, "data_scope": [PAGE_SETTINGS["data_scope"]],
                      "show_hidden": True} for name in PAGE_SETTINGS["doc_class"].split(",")]
    with PythonClient(demo.ws_url, PAGE_SETTINGS["api_key"], subscriptions) as python:
        browser.get(demo.page_url)
        wait_until(browser, lambda: state(browser) == "live", "the page to subscribe")
        assert text(browser, "node") == demo.ws_url
        # Long enough for both classes, and events of the other region, to have come by.
        wait_until(browser, lambda: len(shown_events(browser)[0]) >= 8, "eight events")
        shown, _ = shown_events(browser)
        wait_until(browser, lambda: shown[-1] in python.events, "the Python client")
        browser.save_screenshot(str(ARTIFACTS / "browser-page-live.png"))
    first = python.events.index(shown[0])
    assert shown == python.events[first:first + len(shown)]
    assert {e["doc_class"] for e in shown} == {"Order", "Shipment"}
    assert any("margin" in e["message"] for e in shown)  # a hidden field, asked for
    assert console_errors(browser) == []


def test_an_unknown_key_shows_the_refusal_and_is_not_tried_again(browser, demo):
    before = len(demo.lines)
    host, port = demo.ws_url[5:].split(":")
    browser.get(web.page_url(host, port, api_key="key-stolen", doc_class="Order"))
    wait_until(browser, lambda: state(browser) == "refused", "the refusal")
    assert text(browser, "message") == f"Refused: {protocol.unknown_key('key-stolen')}"
    time.sleep(1.5)  # a client that tried again would have done so several times by now
    refusals = [line for line in demo.lines[before:] if "refused: unknown API key" in line]
    assert len(refusals) == 1 and state(browser) == "refused"
    assert console_errors(browser) == []


# broadcast-client.js with a WebSocket whose every connection fails at once, and its options
# given as undefined (as JSON cannot): the URLs it tried within 300 ms.
UNDEFINED_OPTIONS = """
const done = arguments[0];
import("/broadcast-client.js").then(({ connect }) => {
  const tried = [];
  class Failing {
    constructor(url) {
      tried.push(String(url));
      setTimeout(() => this.onclose?.({ code: 1006, reason: "" }), 0);
    }
    send() {}
    close() {}
  }
  const events = connect(["ws://first", "ws://second"], {
    apiKey: "k", subscriptions: [{ doc_class: "Order" }], WebSocket: Failing,
    start: undefined, retryDelay: undefined, retryMost: undefined, openTimeout: undefined });
  setTimeout(() => { events.close(); done(tried); }, 300);
});
"""


def test_the_client_keeps_its_defaults_for_options_given_as_undefined(browser, demo):
    browser.get(demo.page_url.split("?")[0])
    tried = browser.execute_async_script(UNDEFINED_OPTIONS)
    # From the first URL, then the next, the waits doubling from the default 100 ms.
    assert tried[:2] == ["ws://first", "ws://second"] and len(tried) <= 3, tried


# -- over TLS ---------------------------------------------------------------------------------
# Opens a websocket from whatever page the browser shows: "open", or "failed" when refused.
OPEN_WEBSOCKET = """
const done = arguments[arguments.length - 1];
const ws = new WebSocket(arguments[0]);
ws.onopen = () => { ws.close(); done("open"); };
ws.onerror = () => done("failed");
"""


def test_over_https_the_page_follows_the_events_over_wss_and_a_page_elsewhere_is_refused(
        browser, tls):
    key = "key-ops-eu"
    events = [(doc, op, f"{n:04d}") for n, (doc, op, _) in enumerate(sample_events(), 1)]
    acl = Acl(ACCOUNTS[key][1])
    expected = [e for doc, op, seq in events
                for verdict, body in [expected_view(doc, seq, {"acl": acl})] if verdict == "sent"
                for e in [{"doc_class": type(doc).__name__, "op": op, "seq": seq,
                           "message": body}]]
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    def on_loop(coro):
        return asyncio.run_coroutine_threadsafe(coro, loop).result(WAIT)

    with AuthService() as auth:
        for api_key, (ident, content) in ACCOUNTS.items():
            auth.add_account(api_key, content, id=ident)
        server = BroadcastServer(auth.base_url, doc_classes=("Order", "Shipment"), **tls[0])
        on_loop(server.start())
        try:
            browser.get(web.page_url(server.host, server.port, tls=True, api_key=key,
                                     doc_class="Order,Shipment"))
            wait_until(browser, lambda: state(browser) == "live", "the page to subscribe")
            assert text(browser, "node") == server.url and server.url.startswith("wss://")
            for doc, op, seq in events:
                on_loop(server.publish(doc, op, seq))
            wait_until(browser, lambda: len(shown_events(browser)[0]) >= len(expected),
                       f"{len(expected)} events")
            assert shown_events(browser)[0] == expected
            assert console_errors(browser) == []
            # The page's own origin may open one; a page of another host may not.
            assert browser.execute_async_script(OPEN_WEBSOCKET, server.url) == "open"
            browser.get(auth.base_url.replace("127.0.0.1", "localhost"))
            assert browser.execute_async_script(OPEN_WEBSOCKET, server.url) == "failed"
            assert server.turned_down[Refusal.FOREIGN_ORIGIN] == 1
        finally:
            on_loop(server.stop())
            loop.call_soon_threadsafe(loop.stop)
            thread.join(WAIT)
            loop.close()


# broadcast-client.js against a scripted host, one step per request it sends: a node ahead of
# the stream hands out a position, the next refuses it as ahead, then the stream is made anew.
SCRIPTED_HOST = """
const done = arguments[0];
import("/broadcast-client.js").then(({ connect }) => {
  const sent = [], told = [];
  const steps = [
    (ws) => { ws.reply({ type: "subscribed", after_seq: "00000070", epoch: "e1" });
              ws.closeWith(1001, ""); },
    (ws) => ws.reply({ type: "ahead", reason: "resume_after 00000070 is ahead of the stream",
                       latest_seq: "00000020", epoch: "e1" }),
    (ws) => { ws.reply({ type: "subscribed", after_seq: "00000020", epoch: "e1" });
              ws.closeWith(4001, "stream made anew: epoch e2 after 00000007"); },
    (ws) => ws.reply({ type: "subscribed", after_seq: "00000009", epoch: "e2" }),
  ];
  class Scripted {
    OPEN = 1;
    readyState = 1;
    constructor() { setTimeout(() => this.onopen?.(), 0); }
    send(text) {
      const request = JSON.parse(text);
      sent.push([request.resume_after ?? null, request.epoch ?? null]);
      steps.shift()?.(this);
    }
    reply(message) { setTimeout(() => this.onmessage?.({ data: JSON.stringify(message) }), 0); }
    closeWith(code, reason) { setTimeout(() => this.onclose?.({ code, reason }), 5); }
    close() {}
  }
  const events = connect(["ws://a"], {
    apiKey: "k", subscriptions: [{ doc_class: "Order" }], WebSocket: Scripted, retryDelay: 1,
    onAhead: (reason) => told.push(["ahead", reason]),
    onTooOld: (reason) => told.push(["too_old", reason]) });
  setTimeout(() => { const at = [events.after, events.epoch]; events.close();
                     done({ sent, told, at }); }, 500);
});
"""


# Python's JSON texts, some with the words it writes for NaN and the infinities, some that are
# not JSON at all: the client reads each as Python's json.loads does.
FRAMES = [
    '{"total": NaN, "range": [Infinity, -Infinity], "note": "NaN, Infinity", "NaN": -1e999}',
    '["NaN", NaN, "say \\"NaN\\"\\\\", {"NaN": NaN}, "NaN\\u0000"]',
    "[1Infinity]", "[Infinity1]", "[-NaN]", "[nan]", "[NaN", '{"seq": "0002", "op"',
]
PARSE_FRAMES = """
const [texts, done] = arguments;
import("/broadcast-client.js").then(({ parseFrame }) => {
  const tag = (key, value) => (Number.isFinite(value) || typeof value !== "number" ? value
    : { $: String(value) });
  done(texts.map((text) => {
    try { return JSON.parse(JSON.stringify(parseFrame(text), tag)); } catch { return "unreadable"; }
  }));
});
"""


def test_the_client_starts_over_when_ahead_and_resumes_a_new_stream_from_its_start(browser,
                                                                                   demo):
    browser.get(demo.page_url.split("?")[0])
    got = browser.execute_async_script(SCRIPTED_HOST)
    assert got["sent"] == [[None, None], ["00000070", "e1"], [None, None], ["00000007", "e2"]]
    assert got["told"] == [["ahead", "resume_after 00000070 is ahead of the stream"],
                           ["too_old", "the host's event stream was made anew; resuming from "
                                       "its start"]]
    assert got["at"] == ["00000009", "e2"]


def tagged(value):
    """``value`` with each number JSON has no name for as {"$": its word}."""
    if isinstance(value, float) and not math.isfinite(value):
        return {"$": json.dumps(value)}
    if isinstance(value, dict):
        return {key: tagged(item) for key, item in value.items()}
    return [tagged(item) for item in value] if isinstance(value, list) else value


def test_the_client_reads_the_host_s_json_as_python_does(browser, demo):
    def python(text):
        try:
            return tagged(json.loads(text))
        except ValueError:
            return "unreadable"
    browser.get(demo.page_url.split("?")[0])
    assert browser.execute_async_script(PARSE_FRAMES, FRAMES) == [python(t) for t in FRAMES]


# broadcast-client.js on a WebSocket whose connections each get the frames of their turn, the
# first one a frame nothing can read: what each connection was sent, the errors, the events.
UNREADABLE_FRAME = """
const done = arguments[0];
import("/broadcast-client.js").then(({ connect }) => {
  const event = (seq) => `{"doc_class": "Order", "op": "create", "seq": "${seq}", "message": {}}`;
  const turns = [['{"type": "subscribed", "epoch": "e1"}', event("0001"), '{"seq": "0002", "op',
                  event("0003")], ['{"type": "subscribed", "epoch": "e1", "after_seq": "0001"}']];
  const sent = [], errors = [], seqs = [];
  class Scripted {
    constructor() {
      const frames = turns.shift() ?? [];
      sent.push(this.sent = []);
      this.readyState = this.OPEN = 1;
      setTimeout(() => { this.onopen(); for (const data of frames) this.onmessage?.({ data }); });
    }
    send(text) { this.sent.push(JSON.parse(text)); }
    close() {}
  }
  const events = connect(["ws://only"], { apiKey: "k", subscriptions: [{ doc_class: "Order" }],
    WebSocket: Scripted, onError: (reason) => errors.push(reason),
    onEvent: (event) => seqs.push(event.seq) });
  setTimeout(() => { events.close(); done({ sent, errors, seqs }); }, 500);
});
"""


def test_a_frame_the_client_cannot_read_is_told_and_it_resumes_after_its_last_seq(browser, demo):
    browser.get(demo.page_url.split("?")[0])
    got = browser.execute_async_script(UNREADABLE_FRAME)
    request = {"api_key": "k", "subscribe": [{"doc_class": "Order"}]}
    assert got["sent"] == [[request], [request | {"resume_after": "0001", "epoch": "e1"}]]
    assert got["seqs"] == ["0001"] and len(got["errors"]) == 1
    assert got["errors"][0].startswith("the host sent a frame the client cannot read")


# -- across nodes -------------------------------------------------------------------------------
@pytest.fixture
def redis_server():
    try:
        server = LocalRedis()
    except Unavailable as exc:
        pytest.fail(str(exc))
    with server:
        yield server


@pytest.mark.nodes
def test_the_page_moves_to_another_node_and_catches_up_missing_nothing(browser, redis_server,
                                                                        tmp_path):
    key = "key-ops-eu"
    steps = [(doc, op) for doc, op, _ in sample_events() * 5]
    # Python's JSON writes these as NaN, Infinity and -Infinity; JSON.parse refuses them.
    steps.insert(len(steps) // 3 + 1, (Order(id="A-NaN", region="eu", total=math.nan,
                                             margin=math.inf, rate=-math.inf), "create"))
    events = [(doc, op, f"{n:04d}") for n, (doc, op) in enumerate(steps, 1)]
    acl = Acl(ACCOUNTS[key][1])
    expected = [{"doc_class": type(doc).__name__, "op": op, "seq": seq, "message": body}
                for doc, op, seq in events
                for verdict, body in [expected_view(doc, seq, {"show_hidden": True, "acl": acl})]
                if verdict == "sent"]
    with AuthService() as auth:
        for api_key, (ident, content) in ACCOUNTS.items():
            auth.add_account(api_key, content, id=ident)
        ports = free_ports(3)
        urls = ",".join(f"ws://127.0.0.1:{port}" for port in ports)
        nodes = NodeProcesses(3, redis_server.url, auth.base_url, tmp_path, ports=ports,
                              args=["--public-nodes", urls])
        try:
            host, port = nodes.urls[0][5:].split(":")
            browser.get(web.page_url(host, port, api_key=key, doc_class="Order,Shipment",
                                     show_hidden="true", nodes=",".join(nodes.urls)))
            wait_until(browser, lambda: state(browser) == "live", "the page to subscribe")
            assert text(browser, "node") == nodes.urls[0]
            with concurrent.futures.ThreadPoolExecutor(1) as publishing:
                publishing.submit(asyncio.run, publish(
                    redis_server.url, events, stop_node=(len(events) // 3, nodes.processes[0]))
                ).result(WAIT * 2)
            wait_until(browser, lambda: len(shown_events(browser)[0]) >= len(expected),
                       f"{len(expected)} events")
            time.sleep(0.3)  # anything twice would show up now
            browser.save_screenshot(str(ARTIFACTS / "browser-page-moved.png"))
            shown, caught_up = shown_events(browser)
            on, moves = text(browser, "node"), text(browser, "moves")
            errors = console_errors(browser)  # before the nodes go: the page would try them
        finally:
            asyncio.run(nodes.close())
    assert shown == expected
    # It moved to the next node, resumed and caught up there.
    assert (on, moves) == (nodes.urls[1], "1")
    assert caught_up and set(caught_up) < {e["seq"] for e in shown}
    assert errors == []


def free_ports(count):
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(count)]
    ports = [sock.getsockname()[1] for sock in sockets]
    for sock in sockets:
        sock.close()
    return ports


async def publish(redis_url, events, stop_node):
    """Append the events, a few milliseconds apart; kill a node at ``stop_node[0]``."""
    publisher = Publisher(redis_url, width=4)
    try:
        for i, (doc, op, seq) in enumerate(events):
            if i == stop_node[0]:
                stop_node[1].kill()
            await publisher.publish(doc, op, seq)
            await asyncio.sleep(0.02)
    finally:
        await publisher.close()
