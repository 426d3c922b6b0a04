// ledboardd's live page: one card per board (cards.js), kept current from the daemon's list and
// event stream (connection.js); a lamp switches its LED with PUT api/boards/ID/leds/N, a typed
// value goes whole with PUT api/boards/ID/led. Plain DOM
// and nothing fetched from elsewhere: the daemon serves these files under a
// Content-Security-Policy of default-src 'self', so there is no inline script or style anywhere,
// and state reaches CSS through classes and attributes.
import {LED_MAX, REPORTED_BITS, doneTyping, lampOn, render, showProblem, wanted}
  from "./cards.js";
import {askForToken, daemonAnswered, requestFailed, start, update} from "./connection.js";

// A lamp turns its LED on or off as it is drawn (a lamp not known is turned on). The daemon keeps
// the other bits, 3 and 4 too, from the value it last set or keeps for the board; the page expects
// the same from the value it knows.
function toggleLamp(entry, bit) {
  const on = !lampOn(entry, bit);
  const base = wanted(entry) ?? 0;
  const value = on ? base | (1 << bit) : base & ~(1 << bit);
  send(entry, value, `LED ${bit + 1} not turned ${on ? "on" : "off"}`,
       `leds/${bit + 1}`, JSON.stringify(on));
}

function setTyped(entry) {
  const text = entry.parts.input.value.trim();
  const value = /^\d{1,2}$/.test(text) ? Number(text) : NaN;
  if (!(value >= 0 && value <= LED_MAX)) {
    showProblem(entry, "Type a whole number from 0 to 31.");
    entry.parts.input.focus();
    return;
  }
  send(entry, value, `LED value ${value} not set`, "led", JSON.stringify({led: value}));
}

// PUT api/boards/ID/WHAT with `body`, which is to make the board's value `value`; `failed` starts
// the card's error when it does not.
async function send(entry, value, failed, what, body) {
  const id = entry.board.id;
  entry.asked = null;
  doneTyping(entry);
  showProblem(entry, "");
  entry.card.setAttribute("aria-busy", "true");
  let response = null;
  let answer = null;
  try {
    response = await fetch(`api/boards/${encodeURIComponent(id)}/${what}`, {
      method: "PUT",
      headers: {"Content-Type": "application/json"},
      body,
      cache: "no-store",
    });
    answer = await response.json().catch(() => null);
  } catch {
    response = null; // nothing answers
  } finally {
    entry.card.removeAttribute("aria-busy");
  }
  if (response === null || response.status === 503) {
    const why = response === null ? "the daemon does not answer" : "the daemon is stopping";
    showProblem(entry, `${failed}: ${why}`, "unreachable");
    requestFailed();
    render(entry);
    return;
  }
  daemonAnswered();
  if (response.ok && answer !== null && answer.id === id) {
    entry.sent = value;
    // 202 for a board that is here: the daemon stopped waiting (a second) before the board
    // reported the value; its state events show it if it does.
    if (response.status === 202 && answer.available === true &&
        (Number(answer.led) & REPORTED_BITS) !== (value & REPORTED_BITS)) {
      entry.asked = value;
    }
    update(answer);
    return;
  }
  if (response.status === 401) {
    askForToken();
  }
  const reason = typeof answer?.error === "string" ? answer.error : response.statusText;
  showProblem(entry, `${failed}: ${reason} (HTTP ${response.status})`);
  render(entry);
}

start({toggleLamp, setTyped});
