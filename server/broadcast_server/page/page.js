// The host's page: a form for one subscription, its connection's state, and a live table of the
// events it receives. The settings also come from the query string, so that a link opens a
// ready subscription:
//   /?api_key=key-ops-eu&doc_class=Order,Shipment&data_scope=eu&catalog=id,status&show_hidden=true
//   &nodes=ws://127.0.0.1:8765,ws://127.0.0.1:8766   (default: every node the host names)
// The page connects, and sends the API key, only to the nodes its host names (in the page's
// broadcast-nodes meta tag; none: its own host): `nodes` may pick among them, and the rest of it
// is left out, so that a link cannot send the key its user types to a host of the link's choice.
import { connect, welcome, CATCHING_UP, LIVE, OFFLINE } from "./broadcast-client.js";

const MAX_ROWS = 500; // the oldest rows go beyond this
const TRUE = new Set(["1", "true", "yes", "on"]);
const OWN_NODE = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}`;
const HOST_NODES = document.querySelector("meta[name=broadcast-nodes]")
  ?.content.split(" ").filter(Boolean) ?? [];
if (!HOST_NODES.length) HOST_NODES.push(OWN_NODE);

const $ = (id) => document.getElementById(id);
const form = $("settings");
const rows = $("events").tBodies[0];
let subscription = null;
let received = 0;
let reconnections = 0;

function list(text) {
  return text.split(",").map((item) => item.trim()).filter(Boolean);
}

function sameUrl(a, b) {
  try {
    return new URL(a).href === new URL(b).href;
  } catch {
    return false;
  }
}

/** {nodes: those of `wanted` the host names, as it writes them (all of them when none is),
 * leftOut: the others}. */
function pickNodes(wanted) {
  const nodes = [];
  const leftOut = [];
  for (const url of wanted) {
    const named = HOST_NODES.find((node) => sameUrl(node, url));
    if (named === undefined) leftOut.push(url);
    else if (!nodes.includes(named)) nodes.push(named);
  }
  return { nodes: nodes.length ? nodes : HOST_NODES, leftOut };
}

function fromQuery(params) {
  const all = (name) => params.getAll(name).flatMap(list);
  return {
    apiKey: params.get("api_key") ?? "",
    docClasses: all("doc_class"),
    dataScope: all("data_scope"),
    catalog: all("catalog"),
    showHidden: TRUE.has((params.get("show_hidden") ?? "").toLowerCase()),
    ...pickNodes(all("nodes")),
  };
}

function fromForm() {
  return {
    apiKey: form.elements.api_key.value.trim(),
    docClasses: [...form.querySelectorAll("input[name=doc_class]:checked")].map((box) => box.value),
    dataScope: list(form.elements.data_scope.value),
    catalog: list(form.elements.catalog.value),
    showHidden: form.elements.show_hidden.checked,
    ...pickNodes(list(form.elements.nodes.value)),
  };
}

function tellLeftOut(settings) {
  if (settings.leftOut.length) {
    tell("notice", `Not a node of this host, left out: ${settings.leftOut.join(", ")}`);
  }
}

function fill(settings) {
  form.elements.api_key.value = settings.apiKey;
  form.elements.data_scope.value = settings.dataScope.join(", ");
  form.elements.catalog.value = settings.catalog.join(", ");
  form.elements.show_hidden.checked = settings.showHidden;
  form.elements.nodes.value = settings.nodes.join(", ");
  showClasses(settings.docClasses, settings.docClasses);
}

/** The query string that opens the page with these settings. */
function query(settings) {
  const params = new URLSearchParams({ api_key: settings.apiKey });
  params.set("doc_class", settings.docClasses.join(","));
  if (settings.dataScope.length) params.set("data_scope", settings.dataScope.join(","));
  if (settings.catalog.length) params.set("catalog", settings.catalog.join(","));
  if (settings.showHidden) params.set("show_hidden", "true");
  if (settings.nodes.join() !== HOST_NODES.join()) params.set("nodes", settings.nodes.join(","));
  return params.toString().replaceAll("%2C", ",");
}

/** A checkbox for each of `names` that has none yet, ticked when in `checked`. */
function showClasses(names, checked = []) {
  const box = $("classes");
  const shown = new Set([...box.querySelectorAll("input[name=doc_class]")].map((input) => input.value));
  for (const name of names) {
    if (shown.has(name)) continue;
    shown.add(name);
    const label = document.createElement("label");
    label.className = "check";
    const input = document.createElement("input");
    Object.assign(input, { type: "checkbox", name: "doc_class", value: name });
    input.checked = checked.includes(name);
    label.append(input, ` ${name}`);
    box.append(label);
  }
  $("classes-hint").hidden = shown.size > 0;
}

// -- what the connection tells ----------------------------------------------------------------
function tell(kind, text) {
  const message = $("message");
  message.className = kind;
  message.textContent = text;
  message.hidden = !text;
}

function showState(state, detail) {
  const badge = $("state");
  badge.dataset.state = state;
  badge.textContent = state;
  if (state === OFFLINE && detail.retryIn !== undefined) {
    badge.textContent += `, trying again in ${(detail.retryIn / 1000).toFixed(1)} s`;
    reconnections += 1;
    $("moves").textContent = reconnections;
  }
  $("node").textContent = detail.url ?? "\u2013";
  if (state === LIVE && $("message").className === "error") tell("", "");
}

/** `value` as the host's JSON writes it: NaN, Infinity and -Infinity too (JSON.stringify would
 * make null of them). */
function jsonText(value) {
  if (typeof value === "number") return String(value);
  if (Array.isArray(value)) return `[${value.map(jsonText).join(",")}]`;
  if (value === null || typeof value !== "object") return JSON.stringify(value);
  const items = Object.entries(value).map(([key, item]) => [JSON.stringify(key), jsonText(item)]);
  return `{${items.map((pair) => pair.join(":")).join(",")}}`;
}

function formatValue(value) {
  return typeof value === "string" ? value : jsonText(value);
}

function showEvent(event, { catchingUp }) {
  const row = document.createElement("tr");
  row.dataset.seq = event.seq;
  if (catchingUp) {
    row.className = "caught-up";
    row.title = "caught up after a reconnection";
  }
  for (const text of [event.seq, event.doc_class, event.op]) {
    const cell = document.createElement("td");
    cell.textContent = text;
    row.append(cell);
  }
  const fields = document.createElement("td");
  for (const [key, value] of Object.entries(event.message ?? {})) {
    const field = document.createElement("span");
    field.className = "field";
    field.dataset.key = key;
    field.dataset.value = jsonText(value);
    const name = document.createElement("span");
    name.className = "key";
    name.textContent = key;
    field.append(name, " ", formatValue(value));
    fields.append(field, " ");
  }
  row.append(fields);
  rows.prepend(row);
  while (rows.rows.length > MAX_ROWS) rows.lastElementChild.remove();
  received += 1;
  $("count").textContent = received;
  $("after").textContent = subscription?.after ?? event.seq;
}

// -- one subscription at a time ---------------------------------------------------------------
function start(settings) {
  stop();
  rows.replaceChildren();
  received = reconnections = 0;
  $("count").textContent = $("moves").textContent = "0";
  $("after").textContent = "\u2013";
  tell("", "");
  tellLeftOut(settings);
  const link = $("link");
  link.href = `?${query(settings)}`;
  link.hidden = false;
  const sub = {};
  if (settings.dataScope.length) sub.data_scope = settings.dataScope;
  if (settings.catalog.length) sub.catalog = Object.fromEntries(settings.catalog.map((f) => [f, true]));
  sub.show_hidden = settings.showHidden;
  subscription = connect(settings.nodes, {
    apiKey: settings.apiKey,
    subscriptions: settings.docClasses.map((doc_class) => ({ doc_class, ...sub })),
    onEvent: showEvent,
    onState: showState,
    onWelcome: (reply) => showClasses(reply.doc_classes),
    onRefused: (reason) => {
      tell("refused", `Refused: ${reason}`);
      $("stop").disabled = true;
    },
    onTooOld: (reason) => tell("notice", `Events missed: ${reason}.`),
    onAhead: (reason) => tell("notice", `${reason}. Subscribed again from now on.`),
    onError: (reason) => tell("error", `Error: ${reason}. Asking again shortly.`),
  });
  $("stop").disabled = false;
}

function stop() {
  subscription?.close();
  subscription = null;
  $("stop").disabled = true;
}

form.addEventListener("submit", (submitted) => {
  submitted.preventDefault();
  const settings = fromForm();
  if (!settings.docClasses.length) {
    tell("error", "Choose at least one document class.");
    return;
  }
  start(settings);
});
$("stop").addEventListener("click", stop);

const settings = fromQuery(new URLSearchParams(location.search));
fill(settings);
tellLeftOut(settings);
welcome(settings.nodes[0]).then(
  (reply) => showClasses(reply.doc_classes),
  (exc) => {
    const hint = $("classes-hint");
    hint.textContent = `the host did not list its classes (${exc.message})`;
    hint.hidden = false;
  },
);
if (settings.apiKey && settings.docClasses.length) start(settings);
