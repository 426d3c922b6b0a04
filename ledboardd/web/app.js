// The boards as the daemon reports them, refreshed from its event stream.
"use strict";

function show(boards) {
  const list = document.getElementById("boards");
  list.textContent = "";
  for (const board of boards) {
    const card = document.createElement("section");
    card.textContent = `${board.id}: LED ${board.led}, button ${board.push}, jumpers ${board.jump}`;
    list.append(card);
  }
}

const events = new EventSource("api/events");
events.addEventListener("snapshot", (event) => show(JSON.parse(event.data).boards));
