#!/usr/bin/python3
"""Measures what ledboardd makes of the button and of its own effects, at the board itself;
bench/gestures drives it.

    gestures.py measure --interval MS --repeats N --out JSON   (COMMON options below)
        one daemon under one simulator, three measurements:
        - presses of known lengths, each pushed and released through the simulator's control
          FIFO at a random point between two of the daemon's reads: which ones it reported;
        - gestures played with known timings (single, double, long and their near misses): what
          the button topic said for each;
        - a blink: the LED requests the board received, their spacing against the period asked
    gestures.py report JSON...
        the Markdown tables

COMMON: --sim LEDBOARD-SIM --daemon LEDBOARDD --broker MOSQUITTO --folder DIR

A press's length is the time between its PUSH and RELEASE lines in the simulator's log
(--log-time, CLOCK_MONOTONIC), so the Python side's own scheduling does not count.
"""
import argparse
import json
import os
import random
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from daemon import PREFIX, Broker, Listener, Simulated, online_boards  # noqa: E402

SEED = 1384
# Press lengths in milliseconds, around the two intervals measured.
LENGTHS_MS = (2, 5, 8, 10, 15, 20, 25, 30, 40, 50, 60, 80)
# Between two presses: a random time, so that presses start at every phase of the read interval.
SPACING_S = (0.03, 0.12)
# The daemon's defaults (ledboardd(8)): a double press within 400 ms, a long press from 800 ms.
DOUBLE_MS = 400
LONG_MS = 800
# Each gesture as (press, gap, press, ...) in milliseconds, with what the button topic should say.
GESTURES = (
    ("single, 150 ms", (150,), ["single"]),
    ("double, 120 + 150 gap + 120", (120, 150, 120), ["double"]),
    ("double, quick: 60 + 80 gap + 60", (60, 80, 60), ["double"]),
    ("two singles: 120 + 600 gap + 120", (120, 600, 120), ["single", "single"]),
    ("long, 1200 ms", (1200,), ["long"]),
    ("not long: 600 ms", (600,), ["single"]),
)
# After a gesture: the double window and a margin, so that its single has come.
QUIET_S = (DOUBLE_MS + 300) / 1000
BLINK_MS = 200
BLINK_S = 10.0

LOG_LINE = re.compile(r"^(?P<time>\d+\.\d+) (?P<device>\d{3}/\d{3}) (?P<what>PUSH|RELEASE|"
                      r"CONTROL type=0xc0 request=1 value=0x(?P<value>[0-9a-f]{4}))", re.M)


def log_events(path):
    """(time, "PUSH" | "RELEASE" | LED value) from the simulator's log, in order."""
    with open(path) as file:
        text = file.read()
    events = []
    for match in LOG_LINE.finditer(text):
        what = match["what"]
        value = what if match["value"] is None else int(match["value"], 16) >> 3
        events.append((float(match["time"]), value))
    return events


def press(simulated, milliseconds):
    simulated.change("push")
    time.sleep(milliseconds / 1000)
    simulated.change("release")


def press_lengths(simulated, listener, button, repeats, draw):
    """For each press: its intended length and whether a "pressed" message followed."""
    results = []
    plan = [length for length in LENGTHS_MS for _ in range(repeats)]
    draw.shuffle(plan)
    for length in plan:
        time.sleep(draw.uniform(*SPACING_S))
        mark = listener.count()
        press(simulated, length)
        # A press that was seen is released at the read after it ended, and a released message
        # comes at once: wait a generous five intervals for it.
        seen = listener.wait_for(lambda t, p: t == button and p == "released", mark,
                                 limit=max(0.5, 5 * simulated.interval / 1000))
        results.append({"asked_ms": length, "seen": seen is not None})
        # Let a single press's report go by before the next press, so that two short presses
        # never make a double.
        if seen is not None:
            listener.wait_for(lambda t, p: t == button and p == "single", mark,
                              limit=2 * QUIET_S)
    return results


def gestures(simulated, listener, button, repeats):
    results = []
    for name, timings, expected in GESTURES:
        for _ in range(repeats):
            mark = listener.count()
            for index, milliseconds in enumerate(timings):
                if index % 2 == 0:
                    press(simulated, milliseconds)
                else:
                    time.sleep(milliseconds / 1000)
            time.sleep(QUIET_S)
            with listener.changed:
                said = [payload for _, topic, payload in listener.messages[mark:]
                        if topic == button and payload in ("single", "double", "long")]
            results.append({"gesture": name, "expected": expected, "said": said})
    return results


def blink(simulated, listener):
    mark = listener.count()
    listener.publish(f"{PREFIX}/A17/set", json.dumps(
        {"led": 7, "blink": {"on_ms": BLINK_MS, "off_ms": BLINK_MS}}))
    if listener.wait_for(lambda t, p: t == f"{PREFIX}/A17/state" and '"blink"' in p, mark) is None:
        raise SystemExit("gestures.py: the blink was not confirmed")
    time.sleep(BLINK_S)
    listener.publish(f"{PREFIX}/A17/set", "0")


def measure(options):
    draw = random.Random(SEED)
    broker = Broker(options.broker, options.folder)
    options.port = broker.port
    listener = Listener(broker.port)
    simulated = Simulated(options, f"gestures-{options.interval}", ["--board", "serial=A17"],
                          options.interval)
    simulated.interval = options.interval
    online_boards(listener, 1)
    button = f"{PREFIX}/A17/button"
    listener.wait_for(lambda topic, _: topic == f"{PREFIX}/A17/state", 0)

    started = time.monotonic()
    lengths = press_lengths(simulated, listener, button, options.repeats, draw)
    played = gestures(simulated, listener, button, max(1, options.repeats // 3))
    blink_started = time.monotonic()
    blink(simulated, listener)
    simulated.stop()
    listener.close()
    broker.close()

    events = log_events(simulated.log)
    # The presses' real lengths at the board, in order.
    pushes = [at for at, what in events if what == "PUSH" and at >= started]
    releases = [at for at, what in events if what == "RELEASE" and at >= started]
    for entry, down, up in zip(lengths, pushes, releases):
        entry["board_ms"] = (up - down) * 1000
    # The blink's LED requests: every change between 7 and 0 while it ran.
    writes = [(at, value) for at, value in events
              if isinstance(value, int) and at >= blink_started]
    result = {"kind": "gestures", "interval": options.interval, "lengths": lengths,
              "gestures": played, "blink_ms": BLINK_MS, "blink_writes": writes}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


def report(paths):
    results = sorted((json.load(open(path)) for path in paths), key=lambda r: -r["interval"])
    intervals = [r["interval"] for r in results]
    print("### How short a press is still seen\n")
    print("Presses pushed and released at a random point between two reads; the length is the "
          "one at the board (the simulator's PUSH and RELEASE lines), the expected share the "
          "chance that a read falls inside the press, length / interval.\n")
    header = " | ".join(f"seen at --interval {i} (expected)" for i in intervals)
    print(f"| press length | {header} |")
    print("|---|" + "---|" * len(intervals))
    for length in LENGTHS_MS:
        cells = []
        board = []
        for result in results:
            taken = [e for e in result["lengths"] if e["asked_ms"] == length]
            seen = sum(e["seen"] for e in taken)
            board += [e["board_ms"] for e in taken if "board_ms" in e]
            expected = min(1.0, length / result["interval"])
            cells.append(f"{seen}/{len(taken)} = {seen / len(taken):.0%} ({expected:.0%})")
        real = f"{length} ms (at the board {statistics.median(board):.1f} ms)" if board else \
            f"{length} ms"
        print(f"| {real} | " + " | ".join(cells) + " |")

    print("\n### Gestures played with known timings\n")
    print(f"Defaults: a double press within {DOUBLE_MS} ms, a long press from {LONG_MS} ms.\n")
    print("| gesture | expected | " + " | ".join(f"right at --interval {i}" for i in intervals)
          + " |")
    print("|---|---|" + "---|" * len(intervals))
    for name, _, expected in GESTURES:
        cells = []
        for result in results:
            taken = [g for g in result["gestures"] if g["gesture"] == name]
            right = sum(g["said"] == expected for g in taken)
            wrong = sorted({" ".join(g["said"]) or "nothing" for g in taken
                            if g["said"] != expected})
            cells.append(f"{right}/{len(taken)}" + (f" (else: {', '.join(wrong)})" if wrong
                                                      else ""))
        print(f"| {name} | {' '.join(expected)} | " + " | ".join(cells) + " |")

    print(f"\n### Blink period at the board ({BLINK_MS} ms on, {BLINK_MS} ms off, "
          f"{BLINK_S:.0f} s)\n")
    print("The spacing of the LED requests the simulator received, against the half period "
          "asked.\n")
    print("| --interval | requests | median spacing | min | max | worst deviation | "
          "drift over the run |")
    print("|---|---|---|---|---|---|---|")
    for result in results:
        times = [at for at, _ in result["blink_writes"]]
        # The last write is the set of 0 that ended the blink.
        times = times[:-1]
        gaps = [(b - a) * 1000 for a, b in zip(times, times[1:])]
        if not gaps:
            print(f"| {result['interval']} | {len(times)} | | | | | |")
            continue
        half = result["blink_ms"]
        worst = max(abs(g - half) for g in gaps)
        drift = (times[-1] - times[0]) * 1000 - half * len(gaps)
        print(f"| {result['interval']} | {len(times)} | {statistics.median(gaps):.2f} ms | "
              f"{min(gaps):.2f} ms | {max(gaps):.2f} ms | {worst:.2f} ms | {drift:+.2f} ms |")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("measure")
    for option in ("--sim", "--daemon", "--broker", "--folder", "--out"):
        run.add_argument(option, required=True)
    run.add_argument("--interval", type=int, default=50)
    run.add_argument("--repeats", type=int, default=30)
    commands.add_parser("report").add_argument("json", nargs="+")
    options = parser.parse_args()
    if options.command == "measure":
        os.makedirs(options.folder, exist_ok=True)
        measure(options)
    else:
        report(options.json)


if __name__ == "__main__":
    main()
