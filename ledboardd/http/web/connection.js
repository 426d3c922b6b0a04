// ledboardd's live page: what the page knows of the daemon. The boards come first from
// GET api/boards, then from the event stream (api/events), whose snapshot is the whole truth after
// each (re)connection. While the stream is down the list is read again every few seconds; when
// that fails too, the daemon does not answer and every card says that its state is not known.
import {createCard, render, showGesture, showProblem} from "./cards.js";

const TOKEN_COOKIE = "ledboardd_token";
// A year: the token is asked for once per browser, not once per visit.
const TOKEN_COOKIE_SECONDS = 365 * 24 * 3600;
// What a cookie value may hold unquoted (RFC 6265's cookie-octet), so the token arrives unchanged.
const COOKIE_VALUE = /^[\x21\x23-\x2b\x2d-\x3a\x3c-\x5b\x5d-\x7e]+$/;

// EventSource retries a dropped connection by itself (the daemon asks for 1 s), but gives up for
// good on an answer that is not a stream (401, 503): the page then opens it again after this long.
const REOPEN_DELAY_MS = 1000;
// How often the list is read while the stream is down.
const POLL_MS = 2000;

export const boards = new Map(); // id -> the card's entry (cards.js)
let actions = null; // what the cards' controls do (app.js)
let events = null;
let reopenTimer = 0;
let pollTimer = 0;
let polling = false;
let reachable = true; // false once a request found nothing answering, until one is answered
let tokenGiven = false; // a token was typed in: a 401 now means it was refused

const CONNECTION_TEXT = {
  connecting: "connecting…",
  live: "live",
  reconnecting: "reconnecting… live updates stopped; the boards are read again every few seconds",
  unreachable: "reconnecting… the daemon does not answer; the page catches up when it is back",
  token: "waiting for a token",
};

function connection() {
  return document.body.dataset.connection;
}

function showConnection(state) {
  document.body.dataset.connection = state;
  document.body.dataset.reachable = String(reachable);
  const text = state === "reconnecting" && !reachable ? "unreachable" : state;
  document.getElementById("connection").textContent = CONNECTION_TEXT[text];
  refreshEmpty();
}

function refreshEmpty() {
  document.getElementById("empty").hidden = boards.size > 0 || connection() !== "live";
}

export function start(cardActions) {
  actions = cardActions;
  document.getElementById("token").addEventListener("submit", tokenEntered);
  showConnection("connecting");
  connect();
}

// The stream, and the list at once: the cards need not wait for the stream to answer.
function connect() {
  clearTimeout(reopenTimer);
  if (events) {
    events.close();
  }
  events = new EventSource("api/events");
  events.addEventListener("error", streamFailed);
  events.addEventListener("snapshot", (event) => withData(event, takeSnapshot));
  for (const name of ["arrived", "state", "left"]) {
    events.addEventListener(name, (event) => withData(event, update));
  }
  events.addEventListener("button", (event) => withData(event, buttonChanged));
  events.addEventListener("gesture", (event) => withData(event, gestured));
  events.addEventListener("retired", (event) => withData(event, retired));
  poll();
}

function streamFailed() {
  if (connection() === "token") {
    return;
  }
  const wasLive = connection() === "live";
  showConnection("reconnecting");
  // A stream refused rather than dropped is closed for good; the list's answer says why.
  if (wasLive || events.readyState === EventSource.CLOSED) {
    poll();
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

// Reads the list: the cards while the stream has not answered, and whether the daemon does.
async function poll() {
  clearTimeout(pollTimer);
  if (polling || connection() === "live" || connection() === "token") {
    return;
  }
  polling = true;
  let status = 0;
  let list = null;
  try {
    const response = await fetch("api/boards", {cache: "no-store"});
    status = response.status;
    list = response.ok ? await response.json().catch(() => null) : null;
  } catch {
    status = 0; // nothing answers
  }
  polling = false;
  if (status === 401) {
    askForToken();
    return;
  }
  if (connection() === "live" || connection() === "token") {
    return; // the stream answered meanwhile, and is newer
  }
  if (list !== null) {
    takeList(list);
    daemonAnswered();
  } else if (status === 0 || status === 503) {
    requestFailed();
  }
  if (events.readyState === EventSource.CLOSED) {
    clearTimeout(reopenTimer);
    reopenTimer = setTimeout(connect, REOPEN_DELAY_MS);
  }
  pollTimer = setTimeout(poll, POLL_MS);
}

// A request found nothing answering. With the stream down too, nothing on the page is known to
// hold any more.
export function requestFailed() {
  if (connection() === "live" || !reachable) {
    return;
  }
  reachable = false;
  for (const entry of boards.values()) {
    entry.current = false;
    render(entry);
  }
  showConnection(connection());
  if (connection() !== "token") {
    clearTimeout(pollTimer);
    pollTimer = setTimeout(poll, POLL_MS);
  }
}

// The daemon answered: what it did not answer before is no longer the problem.
export function daemonAnswered() {
  reachable = true;
  for (const entry of boards.values()) {
    if (entry.problemKind === "unreachable") {
      showProblem(entry, "");
    }
  }
  showConnection(connection());
}

// --- The token --------------------------------------------------------------------------------

export function askForToken() {
  if (events) {
    events.close();
  }
  clearTimeout(pollTimer);
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

// A whole list, from the stream's snapshot or from GET api/boards: boards it does not hold go.
function takeList(data) {
  const list = Array.isArray(data?.boards) ? data.boards.filter(isBoard) : [];
  const ids = new Set(list.map((board) => board.id));
  for (const [id, entry] of boards) {
    if (!ids.has(id)) {
      removeCard(entry);
    }
  }
  for (const board of list) {
    update(board);
  }
}

function takeSnapshot(data) {
  clearTimeout(pollTimer);
  showConnection("live");
  takeList(data);
  daemonAnswered();
}

// A board as the daemon sent it: its card is current from now on.
export function update(board) {
  if (!isBoard(board)) {
    return;
  }
  let entry = boards.get(board.id);
  if (!entry) {
    entry = createCard(board.id, actions);
    boards.set(board.id, entry);
    placeCard(entry.card, board.id);
    refreshEmpty();
  }
  entry.board = board;
  entry.current = true;
  render(entry);
}

function removeCard(entry) {
  clearTimeout(entry.gestureTimer);
  entry.card.remove();
  boards.delete(entry.board.id);
  refreshEmpty();
}

function buttonChanged(data) {
  const entry = boards.get(data?.id);
  if (entry) {
    entry.board = {...entry.board, push: data.pressed === true ? 1 : 0};
    render(entry);
  }
}

function gestured(data) {
  const entry = boards.get(data?.id);
  if (entry) {
    showGesture(entry, data.gesture);
  }
}

// A board the daemon has forgotten.
function retired(data) {
  const entry = isBoard(data) ? boards.get(data.id) : undefined;
  if (entry) {
    removeCard(entry);
  }
}

// Cards stay in id order, whatever order the boards arrive in.
function placeCard(card, id) {
  const list = document.getElementById("boards");
  const next = [...list.children].find((other) => other.dataset.id > id);
  list.insertBefore(card, next ?? null);
}
