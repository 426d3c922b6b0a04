// ledboardd's live page: one board's card, drawn from what the daemon last said of the board and
// from what this page asked of it. No request is made here; app.js sends, connection.js listens.

// The board takes a five-bit LED value (0 to 31) and lights and reports its low three bits, one
// per lamp: LED 1 is bit 0, LED 2 bit 1, LED 3 bit 2. Bits 3 and 4 are sent but neither shown nor
// reported, so a board set to 13 reports 5.
export const LAMPS = 3;
export const REPORTED_BITS = (1 << LAMPS) - 1;
export const LED_MAX = 31;
// `jump` has one bit per fitted jumper: bit 0 is jumper 1, bit 3 jumper 4.
const JUMPERS = 4;
// How long a gesture of the button stays on its card.
const GESTURE_SHOWN_MS = 3000;
const GESTURE_TEXT = {single: "single press", double: "double press", long: "long press"};

let cardCount = 0; // for ids that tie labels to their inputs

// A new element with a class and, optionally, text.
export function make(tag, className, text) {
  const element = document.createElement(tag);
  if (className) {
    element.className = className;
  }
  if (text !== undefined) {
    element.textContent = text;
  }
  return element;
}

const isNumber = (value) => typeof value === "number" && Number.isInteger(value);

// What the board last reported: its LED state, or null while the daemon has had no status from it.
export function shownLed(board) {
  return isNumber(board?.led) ? board.led : null;
}

export function pendingLed(board) {
  return isNumber(board?.pending) ? board.pending : null;
}

// The value the board has, or is going to get: a value kept for it first; else what it reports,
// with bits 3 and 4 from the last value this page set when that value's low bits are still what
// the board shows. Null when nothing is known.
export function wanted(entry) {
  const pending = pendingLed(entry.board);
  if (pending !== null) {
    return pending;
  }
  const led = shownLed(entry.board);
  if (led === null) {
    return null;
  }
  const {sent} = entry;
  return sent !== null && (sent & REPORTED_BITS) === led ? sent : led;
}

// `actions`: {toggleLamp(entry, bit), setTyped(entry)}, what the card's controls do.
export function createCard(id, actions) {
  const number = ++cardCount;
  const card = make("article", "board");
  card.dataset.id = id;
  const head = make("header", "board-head");
  const title = make("h2");
  title.id = `board-${number}-name`;
  const name = make("span", "name", id);
  const idLabel = make("span", "board-id");
  title.append(name, idLabel);
  card.setAttribute("aria-labelledby", title.id);
  const presence = make("span", "presence");
  head.append(title, presence);

  const details = make("p", "details");

  const lampGroup = make("fieldset", "lamps");
  const legend = make("legend", "", "LEDs");
  lampGroup.append(legend);
  const lamps = [];
  for (let bit = 0; bit < LAMPS; ++bit) {
    const lamp = make("button", "lamp", `LED ${bit + 1}`);
    lamp.type = "button";
    lamp.dataset.bit = String(bit);
    lamp.addEventListener("click", () => actions.toggleLamp(entry, bit));
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
    actions.setTyped(entry);
  });
  // Typed and not sent: the field is left alone, and the card says that it differs.
  input.addEventListener("input", () => {
    entry.editing = true;
    render(entry);
  });
  input.addEventListener("keydown", (event) => {
    if (event.key === "Escape" && typing(entry)) {
      doneTyping(entry);
      showProblem(entry, "");
      render(entry);
    }
  });

  const effect = make("p", "effect");
  const gesture = make("p", "gesture");
  gesture.setAttribute("role", "status");

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

  const note = make("p", "note");
  const pending = make("p", "pending");
  const problem = make("p", "problem");
  problem.setAttribute("role", "alert");

  card.append(head, details, lampGroup, form, note, pending, effect, gesture, inputs, problem);
  const entry = {
    board: null,
    card,
    current: true, // false while the daemon does not answer: nothing shown is known to hold
    sent: null, // the last value this page set, for the two bits the board does not report
    asked: null, // a value set that the board had not reported when the daemon answered
    editing: false, // a value typed in the field and not sent
    written: "", // what the page last wrote into the field: anything else there was typed
    problemKind: "", // "unreachable" for a request the daemon did not answer
    gestureTimer: 0,
    parts: {name, idLabel, presence, details, legend, lamps, input, note, pending, effect,
            gesture, push, pushText, jumperItems, problem},
  };
  return entry;
}

// The field holds something typed and not sent, which the page leaves alone.
export function typing(entry) {
  return entry.editing || entry.parts.input.value !== entry.written;
}

// What is in the field has been sent (or given up): the page may write there again.
export function doneTyping(entry) {
  entry.editing = false;
  entry.written = entry.parts.input.value;
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

// {"blink":{"on_ms":500,"off_ms":500}} or {"for_s":30,"until":"…Z","then":3}, as words.
export function describeEffect(effect) {
  if (effect === null || typeof effect !== "object") {
    return "";
  }
  if (effect.blink && typeof effect.blink === "object") {
    return `Blinking: ${effect.blink.on_ms} ms on, ${effect.blink.off_ms} ms off`;
  }
  if (isNumber(effect.for_s)) {
    const until = new Date(effect.until);
    const time = Number.isNaN(until.getTime()) ? "" : `, until ${until.toLocaleTimeString()}`;
    const then = isNumber(effect.then) ? `, then LED value ${effect.then}` : "";
    return `Shown for ${effect.for_s} s${time}${then}`;
  }
  return "";
}

// Whether a lamp is drawn lit.
export function lampOn(entry, bit) {
  return lampStates(entry)[bit].state === "on";
}

// What each lamp shows: "on", "off" or "unknown", and whether that is a value kept for the board's
// return rather than what it showed.
function lampStates(entry) {
  const {board} = entry;
  const pending = pendingLed(board);
  const led = shownLed(board);
  const kept = board.available !== true && pending !== null;
  const value = kept ? pending : led;
  return Array.from({length: LAMPS}, (_, bit) => ({
    state: !entry.current || value === null ? "unknown" : ((value >> bit) & 1) === 1 ? "on" : "off",
    kept: entry.current && kept,
  }));
}

// The line that says why the field and the lamps differ, when they do.
function noteText(entry) {
  const {board, parts} = entry;
  const led = shownLed(board);
  if (!entry.current || led === null) {
    return "";
  }
  if (typing(entry)) {
    const typed = parts.input.value.trim();
    return typed === "" || Number(typed) === wanted(entry) ? ""
        : `${typed} typed, not sent yet (Set sends it); the board shows ${led}`;
  }
  if (pendingLed(board) !== null) {
    return ""; // the pending line says it
  }
  if (entry.asked !== null) {
    return `Asked ${entry.asked}, the board shows ${led}: it has not reported the new value yet`;
  }
  const value = wanted(entry);
  if (value !== led) {
    return `${value} set; the lamps show ${led} (bits 3 and 4 reach the board but are not shown)`;
  }
  return "";
}

export function render(entry) {
  const {board, card, parts} = entry;
  const led = shownLed(board);
  const known = entry.current && led !== null; // lamps, button and jumpers as they are now
  if (entry.asked !== null && led !== null && (entry.asked & REPORTED_BITS) === led) {
    entry.asked = null; // reported after all
  }
  const push = board.push === 1;
  const jump = Number(board.jump) >>> 0;
  const presence = !entry.current ? "unknown" : board.available === true ? "here" : "away";
  card.classList.toggle("away", presence === "away");
  card.classList.toggle("unknown", !entry.current);
  card.dataset.presence = presence;
  card.dataset.available = String(board.available === true);
  card.dataset.led = led === null ? "" : String(led);
  card.dataset.push = led === null ? "" : String(push ? 1 : 0);
  card.dataset.jump = led === null ? "" : String(jump);
  parts.name.textContent = board.name || board.id;
  parts.idLabel.textContent = board.name ? board.id : "";
  parts.presence.textContent = presence;
  parts.details.textContent = describeBoard(board);

  parts.legend.textContent = entry.current ? "LEDs" : "LEDs (not known: the daemon does not answer)";
  lampStates(entry).forEach(({state, kept}, bit) => {
    const lamp = parts.lamps[bit];
    lamp.dataset.state = state;
    lamp.toggleAttribute("data-kept", kept);
    if (state === "unknown") {
      // Neither on nor off, for a screen reader too.
      lamp.removeAttribute("aria-pressed");
      lamp.setAttribute("aria-label", `LED ${bit + 1}, not known`);
    } else {
      lamp.setAttribute("aria-pressed", String(state === "on"));
      if (kept) {
        lamp.setAttribute("aria-label", `LED ${bit + 1}, kept for the board's return`);
      } else {
        lamp.removeAttribute("aria-label");
      }
    }
  });
  // A value being typed is left alone; otherwise the field follows the board.
  if (!typing(entry) && entry.current) {
    const value = wanted(entry);
    parts.input.value = value === null ? "" : String(value);
    entry.written = parts.input.value;
  }
  parts.note.textContent = noteText(entry);

  parts.push.classList.toggle("down", known && push);
  parts.push.classList.toggle("unknown", !known);
  parts.pushText.textContent =
      !known ? "Button not known" : push ? "Button pressed" : "Button released";
  parts.jumperItems.forEach(({item, state}, bit) => {
    const fitted = ((jump >> bit) & 1) === 1;
    item.classList.toggle("fitted", known && fitted);
    item.classList.toggle("unknown", !known);
    state.textContent = !known ? "?" : fitted ? "fitted" : "open";
  });

  const pending = pendingLed(board);
  const hasPending = entry.current && pending !== null;
  parts.pending.hidden = !hasPending;
  parts.pending.textContent = !hasPending ? ""
      : board.available === true ? `LED value ${pending} is being set`
      : `LED value ${pending} is kept until the board is back` +
        (led === null ? "" : `; it showed ${led} when it left`);
  const effect = entry.current ? describeEffect(board.effect) : "";
  parts.effect.textContent = effect;
  parts.effect.hidden = effect === "";
}

// `kind`: "unreachable" for a request the daemon did not answer, which its next answer clears.
export function showProblem(entry, text, kind = "") {
  entry.parts.problem.textContent = text;
  entry.problemKind = text === "" ? "" : kind;
  entry.card.classList.toggle("failed", text !== "");
}

// A gesture of the button, on the card for a few seconds.
export function showGesture(entry, gesture) {
  const text = GESTURE_TEXT[gesture];
  if (!text) {
    return;
  }
  const {parts} = entry;
  parts.gesture.textContent = text;
  parts.gesture.dataset.gesture = gesture;
  clearTimeout(entry.gestureTimer);
  entry.gestureTimer = setTimeout(() => {
    parts.gesture.textContent = "";
    delete parts.gesture.dataset.gesture;
  }, GESTURE_SHOWN_MS);
}
