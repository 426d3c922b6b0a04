// ledboardd's live page: one card per board (cards.js), kept current from the daemon's list and
// event stream (connection.js), and LED values sent from here with PUT api/boards/ID/led. Plain DOM
// and nothing fetched from elsewhere: the daemon serves these files under a
// Content-Security-Policy of default-src 'self', so there is no inline script or style anywhere,
// and state reaches CSS through classes and attributes.
import {LED_MAX, REPORTED_BITS, render, showProblem, wanted} from "./cards.js";
import {askForToken, daemonAnswered, requestFailed, start, update} from "./connection.js";

// A lamp turns its LED on or off and keeps the other bits: those of a value kept for a board that
// is away, or those the board shows (with bits 3 and 4 from the last value set here).
function toggleLamp(entry, bit) {
  sendLed(entry, (wanted(entry) ?? 0) ^ (1 << bit));
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

async function sendLed(entry, value) {
  const id = entry.board.id;
  entry.asked = null;
  entry.editing = false;
  showProblem(entry, "");
  entry.card.setAttribute("aria-busy", "true");
  let response = null;
  let body = null;
  try {
    response = await fetch(`api/boards/${encodeURIComponent(id)}/led`, {
      method: "PUT",
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({led: value}),
      cache: "no-store",
    });
    body = await response.json().catch(() => null);
  } catch {
    response = null; // nothing answers
  } finally {
    entry.card.removeAttribute("aria-busy");
  }
  if (response === null || response.status === 503) {
    const why = response === null ? "the daemon does not answer" : "the daemon is stopping";
    showProblem(entry, `LED value ${value} not set: ${why}`, "unreachable");
    requestFailed();
    render(entry);
    return;
  }
  daemonAnswered();
  if (response.ok && body !== null && body.id === id) {
    entry.sent = value;
    // 202 for a board that is here: the daemon stopped waiting (a second) before the board
    // reported the value; its state events show it if it does.
    if (response.status === 202 && body.available === true &&
        (Number(body.led) & REPORTED_BITS) !== (value & REPORTED_BITS)) {
      entry.asked = value;
    }
    update(body);
    return;
  }
  if (response.status === 401) {
    askForToken();
  }
  const reason = typeof body?.error === "string" ? body.error : response.statusText;
  showProblem(entry, `LED value ${value} not set: ${reason} (HTTP ${response.status})`);
  render(entry);
}

start({toggleLamp, setTyped});
