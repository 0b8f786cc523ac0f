// A browser client for the broadcast host: it subscribes to document events over a WebSocket,
// follows the event stream across nodes and resumes where it left off. One ES module, no
// dependencies, no build step: copy it next to your page, or import it from a host (every host
// serves it at /broadcast-client.js).
//
//   import { connect } from "./broadcast-client.js";
//
//   const events = connect(["ws://127.0.0.1:8765"], {
//     apiKey: "key-ops-eu",
//     subscriptions: [{ doc_class: "Order", data_scope: ["eu"], show_hidden: true }],
//     onEvent: (event) => console.log(event.seq, event.doc_class, event.op, event.message),
//     onState: (state, { url }) => console.log(state, url),
//     onRefused: (reason) => console.log("refused:", reason),
//   });
//   ...
//   events.close();
//
// A subscription is {doc_class, data_scope, catalog, show_hidden, start_seq}; only doc_class is
// required (see the host's protocol). Each event {doc_class, op, seq, message} reaches onEvent
// once, in seq order, across reconnections: the client keeps the last seq it has (or the
// after_seq of the host's reply, when later) and the stream's epoch, and a node it reconnects to
// first sends what it missed ("catching up"), then the live events. When the connection drops,
// or the host closes it (1001 going away, 1013 fell behind), it tries the next URL, after a wait
// that doubles per failure (each drawn between half of it and all of it).
//
// What the host may answer, and what the client does:
//   refused  the key is unknown or its ACL empty: onRefused(reason), and it stops for good;
//   too_old  the stream no longer holds what it missed (or was made anew): onTooOld(reason),
//            then it subscribes again from now on; the events in between are lost to it;
//   ahead    it resumed after a seq the stream never had (the stream lost its last events):
//            onAhead(reason), then it subscribes again from now on;
//   error    the host cannot serve the request now (or cannot read it): onError(reason), and
//            it asks again after a wait.
// When the host's stream is made anew, the host closes the connection (4001) naming the new
// stream's epoch: onTooOld(reason), then the client resumes from the new stream's start, and gets
// every event it holds.
// The host's frames are Python's JSON, whose numbers may be NaN, Infinity and -Infinity: the
// client reads them as such (parseFrame). A frame it still cannot read is told to onError, and
// the client reconnects and resumes after the last seq it has: no event is skipped unnoticed.

/** The states of a subscription, as onState reports them. */
export const CONNECTING = "connecting"; // opening a connection, or subscribing from now on
export const CATCHING_UP = "catching up"; // reconnected: receiving what it missed
export const LIVE = "live"; // subscribed: events arrive as they happen
export const REFUSED = "refused"; // the host refused the key: no more tries
export const OFFLINE = "offline"; // not connected: waiting to try again, or closed

const REFUSED_CLOSE = 1008; // the host closes a refused connection with this
const RESET_CLOSE = 4001; // the host's stream was made anew: what the client had is gone

const DEFAULTS = {
  retryDelay: 100, // ms: the longest first wait before trying again; it doubles per failure
  retryMost: 2000, // ms: the longest wait between two tries
  openTimeout: 10000, // ms a connection may take to open before the next URL is tried
  start: 0, // index of the first URL to try
};

const isSeq = (value) => typeof value === "string" && /^[0-9]+$/.test(value);

// The reason of a 4001 close: the new stream's epoch, and the position before its first event.
const RESET_REASON = /^stream made anew: epoch (\S+) after ([0-9]+)$/;

/** The later of two seqs (strings of digits) by number; null stands for "none yet", and so does
 * anything that is not a seq. */
export function laterSeq(a, b) {
  if (!isSeq(a)) return isSeq(b) ? b : null;
  if (!isSeq(b) || BigInt(b) <= BigInt(a)) return a;
  return b;
}

// A JSON string, whole; and the bare words Python writes for the numbers JSON has no name for.
const STRING_OR_NON_FINITE = /"(?:[^"\\]|\\.)*"|-?Infinity|NaN/g;

/** The value of one of the host's frames: JSON, with NaN, Infinity and -Infinity as Python's
 * json.dumps writes them. Throws SyntaxError for any other text that is not JSON. */
export function parseFrame(text) {
  try {
    return JSON.parse(text);
  } catch (exc) {
    if (!/NaN|Infinity/.test(text)) throw exc;
  }
  // JSON reads 1e999 as Infinity; NaN, which no JSON number gives, comes back through a string
  // that no string of the text holds. Each word is set apart by spaces, so that it cannot run
  // into a neighbour and make a number of what was not one ("1Infinity").
  const strings = new Set((text.match(STRING_OR_NON_FINITE) ?? [])
    .filter((token) => token.startsWith('"')).map((token) => JSON.parse(token)));
  let nan = "NaN";
  while (strings.has(nan)) nan += "\u0000";
  const words = { NaN: ` ${JSON.stringify(nan)} `, Infinity: " 1e999 ", "-Infinity": " -1e999 " };
  const readable = text.replace(STRING_OR_NON_FINITE, (token) => words[token] ?? token);
  return JSON.parse(readable, (key, value) => (value === nan ? NaN : value));
}

/**
 * Subscribe through one of `urls` (the nodes' websocket URLs, tried in turn from `start`).
 *
 * Options: apiKey, subscriptions (required); the callbacks onEvent(event, {catchingUp, url}),
 * onState(state, {url, code, retryIn}), onRefused(reason), onTooOld(reason, reply),
 * onAhead(reason, reply), onError(reason), onWelcome(welcome); retryDelay, retryMost,
 * openTimeout (ms), start, and WebSocket (another implementation of the browser's class).
 *
 * Returns a Subscription: its state, url, after and epoch, and close().
 */
export function connect(urls, options) {
  return new Subscription(urls, options);
}

/** A connection to the host that follows the stream across nodes; made by connect(). */
export class Subscription {
  #urls;
  #options;
  #WebSocket;
  #index;
  #failures = 0;
  #after = null;
  #epoch = null;
  #ws = null;
  #state = OFFLINE;
  #url = null;
  #timer = null;
  #stopped = false;

  constructor(urls, options) {
    const list = typeof urls === "string" ? [urls] : Array.from(urls ?? []);
    if (list.length === 0) throw new TypeError("connect() needs at least one websocket URL");
    if (!options?.apiKey) throw new TypeError("connect() needs an apiKey");
    if (!Array.isArray(options.subscriptions) || options.subscriptions.length === 0) {
      throw new TypeError("connect() needs a non-empty list of subscriptions");
    }
    this.#urls = list;
    // An option given as undefined (`start: settings.start`) keeps its default: spread as it is,
    // it would make NaN of the waits (a reconnection loop without a pause) or of the first URL.
    const given = Object.entries(options).filter(([, value]) => value !== undefined);
    this.#options = { ...DEFAULTS, ...Object.fromEntries(given) };
    this.#WebSocket = this.#options.WebSocket ?? globalThis.WebSocket;
    this.#index = Math.abs(Math.trunc(this.#options.start)) % list.length;
    this.#open();
  }

  /** connecting, catching up, live, refused or offline. */
  get state() {
    return this.#state;
  }

  /** The URL of the node it is on (or trying), null once closed. */
  get url() {
    return this.#url;
  }

  /** The last seq it has: it resumes after it. */
  get after() {
    return this.#after;
  }

  /** The stream's epoch that `after` belongs to (null from a host without a stream). */
  get epoch() {
    return this.#epoch;
  }

  /** Hang up for good. */
  close() {
    if (this.#stopped) return;
    this.#stopped = true;
    clearTimeout(this.#timer);
    const ws = this.#ws;
    this.#ws = null;
    ws?.close(1000);
    this.#url = null;
    this.#setState(OFFLINE, {});
  }

  // -- one connection ---------------------------------------------------------------------------
  #open() {
    if (this.#stopped) return;
    const url = (this.#url = this.#urls[this.#index]);
    this.#setState(CONNECTING, { url });
    let ws;
    try {
      ws = new this.#WebSocket(url);
    } catch (exc) {
      // A malformed URL: reported, and the next one tried.
      this.#call("onError", `cannot connect to ${url}: ${exc.message}`);
      this.#retry(url, { code: 1006 }, true);
      return;
    }
    this.#ws = ws;
    const opening = setTimeout(() => ws.close(), this.#options.openTimeout);
    ws.onopen = () => {
      clearTimeout(opening);
      if (ws === this.#ws) this.#subscribe(ws);
    };
    ws.onmessage = (message) => {
      if (ws === this.#ws) this.#receive(ws, message.data);
    };
    ws.onclose = (closed) => {
      clearTimeout(opening);
      if (ws !== this.#ws) return;
      this.#ws = null;
      this.#closed(url, closed);
    };
    // An error is always followed by a close, which decides what comes next.
    ws.onerror = () => {};
  }

  #subscribe(ws) {
    const request = { api_key: this.#options.apiKey, subscribe: this.#options.subscriptions };
    // A host without a stream gives no epoch: it has nothing to resume from.
    const resuming = this.#after !== null && this.#epoch !== null;
    if (resuming) {
      request.resume_after = this.#after;
      request.epoch = this.#epoch;
    }
    ws.send(JSON.stringify(request));
    this.#setState(resuming ? CATCHING_UP : CONNECTING, { url: this.#url });
  }

  #receive(ws, data) {
    let message;
    try {
      message = parseFrame(data);
    } catch (exc) {
      // It may have been an event: what comes after it on this connection would hide the gap.
      this.#call("onError", `the host sent a frame the client cannot read (${exc.message})`);
      this.#ws = null;
      ws.close(1000, "unreadable frame");
      this.#retry(this.#url, { code: 1000 }, false);
      return;
    }
    switch (message.type) {
      case undefined: // a document event: from the backlog before the reply, live after it
        this.#after = laterSeq(this.#after, message.seq);
        this.#call("onEvent", message, { catchingUp: this.#state === CATCHING_UP, url: this.#url });
        break;
      case "welcome":
        this.#call("onWelcome", message);
        break;
      case "subscribed": {
        this.#failures = 0;
        const epoch = message.epoch ?? null;
        if (epoch !== this.#epoch) {
          this.#after = null;
          this.#epoch = epoch;
        }
        this.#after = laterSeq(this.#after, message.after_seq);
        this.#setState(LIVE, { url: this.#url, caughtUp: message.caught_up ?? 0 });
        break;
      }
      case "too_old": // not subscribed: from now on, then
        this.#after = this.#epoch = null;
        this.#call("onTooOld", message.reason, message);
        this.#subscribe(ws);
        break;
      case "ahead": // not subscribed: it cannot have had that seq, so from now on
        this.#after = this.#epoch = null;
        this.#call("onAhead", message.reason, message);
        this.#subscribe(ws);
        break;
      case "error": {
        // The host cannot serve the request now: the same request again, after a wait.
        this.#call("onError", message.reason);
        const wait = this.#wait();
        this.#timer = setTimeout(() => {
          if (ws === this.#ws && ws.readyState === ws.OPEN) this.#subscribe(ws);
        }, wait);
        break;
      }
      case "refused":
        this.#refuse(message.reason);
        ws.close(1000);
        break;
      default: // a reply of a later protocol: nothing this client needs
        break;
    }
  }

  #closed(url, closed) {
    if (this.#stopped) return;
    if (closed.code === REFUSED_CLOSE) {
      this.#refuse(closed.reason || "refused by the host");
      return;
    }
    if (closed.code === RESET_CLOSE) {
      // What it had is gone from the stream: from the new stream's start (from now on, when the
      // host names none), on the same node.
      const start = RESET_REASON.exec(closed.reason ?? "");
      this.#epoch = start ? start[1] : null;
      this.#after = start ? start[2] : null;
      this.#call("onTooOld", start
        ? "the host's event stream was made anew; resuming from its start"
        : "the host's event stream was made anew; subscribing again from now on",
        { type: "too_old", code: closed.code, epoch: this.#epoch });
      this.#retry(url, closed, false);
      return;
    }
    // Dropped, going away, fell behind, or never opened: the next node resumes it.
    this.#retry(url, closed, true);
  }

  #retry(url, closed, nextNode) {
    if (nextNode) this.#index = (this.#index + 1) % this.#urls.length;
    const wait = this.#wait();
    this.#setState(OFFLINE, { url, code: closed.code, retryIn: wait });
    this.#timer = setTimeout(() => this.#open(), wait);
  }

  #refuse(reason) {
    this.#stopped = true;
    clearTimeout(this.#timer);
    this.#ws = null;
    this.#setState(REFUSED, { url: this.#url, reason });
    this.#call("onRefused", reason);
  }

  /** The next wait, in ms: up to retryDelay, doubling per failure up to retryMost, jittered. */
  #wait() {
    this.#failures += 1;
    const { retryDelay, retryMost } = this.#options;
    const most = Math.min(retryMost, retryDelay * 2 ** Math.min(this.#failures - 1, 30));
    return most / 2 + (Math.random() * most) / 2;
  }

  #setState(state, detail) {
    this.#state = state;
    this.#call("onState", state, detail);
  }

  // The caller's callbacks: a fault in one is reported, and the stream goes on.
  #call(name, ...args) {
    const callback = this.#options[name];
    if (typeof callback !== "function") return;
    try {
      callback(...args);
    } catch (exc) {
      if (typeof globalThis.reportError === "function") globalThis.reportError(exc);
      else setTimeout(() => { throw exc; });
    }
  }
}

/** The host's welcome ({doc_classes, protocol}) from `url`, read on a connection of its own. */
export function welcome(url, { timeout = 5000, WebSocket = globalThis.WebSocket } = {}) {
  return new Promise((resolve, reject) => {
    let ws;
    try {
      ws = new WebSocket(url);
    } catch (exc) {
      reject(exc);
      return;
    }
    const timer = setTimeout(() => {
      reject(new Error(`no welcome from ${url} within ${timeout} ms`));
      ws.close();
    }, timeout);
    ws.onmessage = (message) => {
      clearTimeout(timer);
      ws.close(1000);
      try {
        const reply = parseFrame(message.data);
        if (reply.type !== "welcome") throw new Error(`${url} sent no welcome`);
        resolve(reply);
      } catch (exc) {
        reject(exc);
      }
    };
    ws.onclose = (closed) => {
      clearTimeout(timer);
      reject(new Error(`${url} closed the connection (${closed.code})`));
    };
    ws.onerror = () => {};
  });
}
