// ledboardd's live page: one card per board, kept current from the daemon's event stream
// (api/events), and LED values sent with PUT api/boards/ID/led. Plain DOM and nothing fetched from
// elsewhere: the daemon serves this file under a Content-Security-Policy of default-src 'self', so
// there is no inline script or style anywhere, and state reaches CSS through classes and attributes.
"use strict";

// The board takes a five-bit LED value (0 to 31) and lights and reports its low three bits, one
// per lamp: LED 1 is bit 0, LED 2 bit 1, LED 3 bit 2. Bits 3 and 4 are sent but neither shown nor
// reported, so a board set to 13 reports 5.
const LAMPS = 3;
const REPORTED_BITS = (1 << LAMPS) - 1;
const LED_MAX = 31;
// `jump` has one bit per fitted jumper: bit 0 is jumper 1, bit 3 jumper 4.
const JUMPERS = 4;

const TOKEN_COOKIE = "ledboardd_token";
// A year: the token is asked for once per browser, not once per visit.
const TOKEN_COOKIE_SECONDS = 365 * 24 * 3600;
// What a cookie value may hold unquoted (RFC 6265's cookie-octet), so the token arrives unchanged.
const COOKIE_VALUE = /^[\x21\x23-\x2b\x2d-\x3a\x3c-\x5b\x5d-\x7e]+$/;

// EventSource retries a dropped connection by itself (the daemon asks for 1 s), but gives up for
// good on an answer that is not a stream (401, 503): the page then tries again after this long.
const REOPEN_DELAY_MS = 1000;

const boards = new Map(); // id -> {board, card, parts, sent}
let events = null;
let reopenTimer = 0;
let tokenGiven = false; // a token was typed in: a 401 now means it was refused
let cardCount = 0; // for ids that tie labels to their inputs

// A new element with a class and, optionally, text.
function make(tag, className, text) {
  const element = document.createElement(tag);
  if (className) {
    element.className = className;
  }
  if (text !== undefined) {
    element.textContent = text;
  }
  return element;
}

// --- The connection ---------------------------------------------------------------------------

const CONNECTION_TEXT = {
  connecting: "connecting…",
  live: "live",
  reconnecting: "reconnecting… the daemon does not answer; the page catches up when it is back",
  token: "waiting for a token",
};

function showConnection(state) {
  document.body.dataset.connection = state;
  document.getElementById("connection").textContent = CONNECTION_TEXT[state];
  refreshEmpty();
}

function connect() {
  clearTimeout(reopenTimer);
  if (events) {
    events.close();
  }
  events = new EventSource("api/events");
  events.addEventListener("open", () => showConnection("live"));
  events.addEventListener("error", streamFailed);
  events.addEventListener("snapshot", (event) => withData(event, takeSnapshot));
  for (const name of ["arrived", "state", "left"]) {
    events.addEventListener(name, (event) => withData(event, update));
  }
  events.addEventListener("button", (event) => withData(event, buttonChanged));
}

function streamFailed() {
  if (document.body.dataset.connection === "token") {
    return;
  }
  showConnection("reconnecting");
  if (events.readyState === EventSource.CLOSED) {
    findOutWhy();
  }
}

// The stream was refused rather than dropped: EventSource does not say with what status, so ask
// the API once. A 401 needs a token; anything else is tried again shortly.
async function findOutWhy() {
  let status = 0;
  try {
    status = (await fetch("api/boards", {cache: "no-store"})).status;
  } catch {
    status = 0; // the daemon went away again
  }
  if (status === 401) {
    askForToken();
  } else {
    reopenTimer = setTimeout(connect, REOPEN_DELAY_MS);
  }
}

function withData(event, use) {
  let data;
  try {
    data = JSON.parse(event.data);
  } catch {
    console.warn("ledboardd: an event that is not JSON:", event.type, event.data);
    return;
  }
  use(data);
}

// --- The token --------------------------------------------------------------------------------

function askForToken() {
  if (events) {
    events.close();
  }
  showConnection("token");
  const form = document.getElementById("token");
  document.getElementById("token-problem").textContent =
      tokenGiven ? "The daemon refused that token. Check it and try again." : "";
  if (form.hidden) {
    form.hidden = false;
    document.getElementById("token-input").focus();
  }
}

function tokenEntered(event) {
  event.preventDefault();
  const input = document.getElementById("token-input");
  const token = input.value.trim();
  if (!COOKIE_VALUE.test(token)) {
    document.getElementById("token-problem").textContent =
        "A token has no spaces, quotes, commas, semicolons or backslashes.";
    return;
  }
  const secure = location.protocol === "https:" ? "; Secure" : "";
  document.cookie = `${TOKEN_COOKIE}=${token}; Path=/; Max-Age=${TOKEN_COOKIE_SECONDS}; ` +
                    `SameSite=Strict${secure}`;
  input.value = "";
  tokenGiven = true;
  document.getElementById("token").hidden = true;
  showConnection("connecting");
  connect();
}

// --- The boards -------------------------------------------------------------------------------

function isBoard(data) {
  return data !== null && typeof data === "object" && typeof data.id === "string";
}

// The daemon's list after a (re)connection is the whole truth: boards it no longer knows go.
function takeSnapshot(data) {
  const list = Array.isArray(data?.boards) ? data.boards.filter(isBoard) : [];
  const ids = new Set(list.map((board) => board.id));
  for (const [id, entry] of boards) {
    if (!ids.has(id)) {
      entry.card.remove();
      boards.delete(id);
    }
  }
  for (const board of list) {
    update(board);
  }
  showConnection("live");
}

function update(board) {
  if (!isBoard(board)) {
    return;
  }
  let entry = boards.get(board.id);
  if (!entry) {
    entry = createCard(board.id);
    boards.set(board.id, entry);
    placeCard(entry.card, board.id);
    refreshEmpty();
  }
  entry.board = board;
  render(entry);
}

function buttonChanged(data) {
  const entry = boards.get(data?.id);
  if (entry) {
    entry.board = {...entry.board, push: data.pressed === true ? 1 : 0};
    render(entry);
  }
}

// Cards stay in id order, whatever order the boards arrive in.
function placeCard(card, id) {
  const list = document.getElementById("boards");
  const next = [...list.children].find((other) => other.dataset.id > id);
  list.insertBefore(card, next ?? null);
}

function refreshEmpty() {
  document.getElementById("empty").hidden =
      boards.size > 0 || document.body.dataset.connection !== "live";
}

function createCard(id) {
  const number = ++cardCount;
  const card = make("article", "board");
  card.dataset.id = id;
  const head = make("header", "board-head");
  const name = make("h2", "", id);
  name.id = `board-${number}-name`;
  card.setAttribute("aria-labelledby", name.id);
  const presence = make("span", "presence");
  head.append(name, presence);

  const details = make("p", "details");

  const lampGroup = make("fieldset", "lamps");
  lampGroup.append(make("legend", "", "LEDs"));
  const lamps = [];
  for (let bit = 0; bit < LAMPS; ++bit) {
    const lamp = make("button", "lamp", `LED ${bit + 1}`);
    lamp.type = "button";
    lamp.dataset.bit = String(bit);
    lamp.setAttribute("aria-pressed", "false");
    lamp.addEventListener("click", () => toggleLamp(entry, bit));
    lamps.push(lamp);
    lampGroup.append(lamp);
  }

  const form = make("form", "set");
  form.noValidate = true; // out-of-range values are reported on the card, like the daemon's errors
  const label = make("label", "", "LED value (0–31)");
  const input = make("input");
  input.id = `board-${number}-led`;
  label.htmlFor = input.id;
  Object.assign(input, {type: "number", min: "0", max: String(LED_MAX), step: "1"});
  input.inputMode = "numeric";
  const setButton = make("button", "", "Set");
  setButton.type = "submit";
  const row = make("div", "row");
  row.append(input, setButton);
  form.append(label, row);
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    setTyped(entry);
  });

  const inputs = make("div", "inputs");
  const push = make("p", "push");
  const pushText = make("span", "push-text");
  push.append(make("span", "dot"), pushText);
  const jumpers = make("ul", "jumpers");
  jumpers.setAttribute("aria-label", "Jumpers");
  const jumperItems = [];
  for (let bit = 0; bit < JUMPERS; ++bit) {
    const item = make("li", "jumper");
    const state = make("span", "jumper-state");
    item.append(make("span", "jumper-name", `J${bit + 1}`), state);
    jumperItems.push({item, state});
    jumpers.append(item);
  }
  inputs.append(push, jumpers);

  const pending = make("p", "pending");
  const problem = make("p", "problem");
  problem.setAttribute("role", "alert");

  card.append(head, details, lampGroup, form, inputs, pending, problem);
  const entry = {
    board: null,
    card,
    sent: null, // the last value this page set, for the two bits the board does not report
    awaiting: null, // a value set that the board had not reported when the daemon answered
    parts: {presence, details, lamps, input, push, pushText, jumperItems, pending, problem},
  };
  return entry;
}

function describeBoard(board) {
  const words = [];
  if (board.product) {
    words.push(board.product);
  }
  if (board.manufacturer) {
    words.push(board.manufacturer);
  }
  if (board.serial) {
    words.push(`serial ${board.serial}`);
  }
  if (board.path) {
    words.push(`port ${board.path}`);
  }
  return words.join(" · ");
}

function render(entry) {
  const {board, card, parts} = entry;
  const led = Number(board.led) >>> 0;
  const push = board.push === 1;
  const jump = Number(board.jump) >>> 0;
  card.classList.toggle("away", board.available !== true);
  card.dataset.available = String(board.available === true);
  card.dataset.led = String(led);
  card.dataset.push = String(push ? 1 : 0);
  card.dataset.jump = String(jump);
  parts.presence.textContent = board.available === true ? "here" : "away";
  parts.details.textContent = describeBoard(board);
  parts.lamps.forEach((lamp, bit) => {
    lamp.setAttribute("aria-pressed", String(((led >> bit) & 1) === 1));
  });
  // A value being typed is left alone.
  if (document.activeElement !== parts.input) {
    parts.input.value = String(wanted(entry));
  }
  parts.push.classList.toggle("down", push);
  parts.pushText.textContent = push ? "Button pressed" : "Button released";
  parts.jumperItems.forEach(({item, state}, bit) => {
    const fitted = ((jump >> bit) & 1) === 1;
    item.classList.toggle("fitted", fitted);
    state.textContent = fitted ? "fitted" : "open";
  });
  if (entry.awaiting !== null && (entry.awaiting & REPORTED_BITS) === led) {
    entry.awaiting = null; // reported after all
    showProblem(entry, "");
  }
  const hasPending = board.pending !== null && board.pending !== undefined;
  parts.pending.hidden = !hasPending;
  parts.pending.textContent =
      hasPending ? `LED value ${board.pending} is kept until the board is back` : "";
}

// The value the board has, or is going to get: a pending value first; else what it reports, with
// bits 3 and 4 from the last value this page set when that value's low bits are still what the
// board shows.
function wanted(entry) {
  const {board, sent} = entry;
  if (board.pending !== null && board.pending !== undefined) {
    return Number(board.pending);
  }
  const led = Number(board.led) >>> 0;
  return sent !== null && (sent & REPORTED_BITS) === led ? sent : led;
}

function toggleLamp(entry, bit) {
  sendLed(entry, wanted(entry) ^ (1 << bit));
}

function setTyped(entry) {
  const text = entry.parts.input.value.trim();
  const value = /^\d{1,2}$/.test(text) ? Number(text) : NaN;
  if (!(value >= 0 && value <= LED_MAX)) {
    showProblem(entry, "Type a whole number from 0 to 31.");
    entry.parts.input.focus();
    return;
  }
  sendLed(entry, value);
}

function showProblem(entry, text) {
  entry.parts.problem.textContent = text;
  entry.card.classList.toggle("failed", text !== "");
}

async function sendLed(entry, value) {
  const id = entry.board.id;
  entry.awaiting = null;
  showProblem(entry, "");
  entry.card.setAttribute("aria-busy", "true");
  try {
    const response = await fetch(`api/boards/${encodeURIComponent(id)}/led`, {
      method: "PUT",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({led: value}),
      cache: "no-store",
    });
    const body = await response.json().catch(() => null);
    if (response.ok && isBoard(body)) {
      entry.sent = value;
      update(body);
      // 202 for a board that is here: the daemon stopped waiting (a second) before the board
      // reported the value; its state events show it if it does.
      if (response.status === 202 && body.available === true &&
          (Number(body.led) & REPORTED_BITS) !== (value & REPORTED_BITS)) {
        entry.awaiting = value;
        showProblem(entry, `LED value ${value} sent; the board has not reported it yet`);
      }
      return;
    }
    if (response.status === 401) {
      askForToken();
    }
    const reason = typeof body?.error === "string" ? body.error : response.statusText;
    showProblem(entry, `LED value ${value} not set: ${reason} (HTTP ${response.status})`);
  } catch {
    showProblem(entry, `LED value ${value} not set: the daemon does not answer`);
  } finally {
    entry.card.removeAttribute("aria-busy");
  }
}

document.getElementById("token").addEventListener("submit", tokenEntered);
showConnection("connecting");
connect();
