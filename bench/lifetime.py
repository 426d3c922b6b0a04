#!/usr/bin/python3
"""Measures how ledboard follows a board over time on the simulated bus; bench/lifetime drives it.

    lifetime.py arrive --ledboard L --log LOG --control FIFO --runs N --out JSON
        (inside ledboard-sim --board unplugged --log-time --log LOG --control FIFO)
    lifetime.py replug --ledboard L --log LOG --control FIFO --runs N --out JSON
        (inside ledboard-sim --log-time --log LOG --control FIFO)
    lifetime.py idle --ledboard L --log LOG --seconds S --out JSON
        (inside ledboard-sim --no-board --log LOG)
    lifetime.py report JSON...
    lifetime.py reactions LOG   (the reaction to each plug in a log, one line each)

The simulator stamps every line of its log with CLOCK_MONOTONIC, and so does time.monotonic() here
(Linux), so a plug in the log and a line on the tool's stdout are on one clock.
"""
import argparse
import json
import math
import os
import random
import re
import signal
import subprocess
import time

# The plug comes this long after the tool said it is waiting, drawn at random for each run: wider
# than the tool's look interval (100 ms), so the plugs fall at every point between two looks.
PLUG_DELAY_S = (0.05, 0.55)
# The unplug in a watch comes this long after the watch's line before it.
UNPLUG_DELAY_S = (0.05, 0.25)
# What the reaction is held to.
GOAL_S = 0.250
# The wait that tells the cost of a run's start and end apart from the cost of waiting.
SHORT_WAIT_S = 1
# The long wait must last this much longer than the short one to tell a rate per second.
MIN_STEADY_S = 0.5
# The same plug times on every run of the benchmark.
SEED = 8888

LOG_LINE = re.compile(r"^(?P<time>\d+\.\d+) (?P<device>\d{3}/\d{3}) (?P<what>\S+)(?P<rest>.*)$")
VENDOR_REQUEST = "type=0xc0 "


def parse_log(log):
    """The log's lines as (time, device, what, rest), skipping any without a time."""
    with open(log) as lines:
        return [(float(m["time"]), m["device"], m["what"], m["rest"])
                for m in map(LOG_LINE.match, lines) if m]


def reactions(entries):
    """For each PLUG in the log: its time, the device, and how long after it the first request
    of any kind and the first vendor request reached that device (None when none came before the
    device was unplugged again or the log ended)."""
    found = []
    for index, (plugged, device, what, _) in enumerate(entries):
        if what != "PLUG":
            continue
        first_request = first_vendor = None
        for at, other, kind, rest in entries[index + 1:]:
            if other != device:
                continue
            if kind == "UNPLUG":
                break
            if kind == "CONTROL":
                if first_request is None:
                    first_request = at - plugged
                if VENDOR_REQUEST in rest + " ":
                    first_vendor = at - plugged
                    break
        found.append({"plugged": plugged, "device": device, "first_request": first_request,
                      "first_vendor_request": first_vendor})
    return found


def log_has(log, what, count):
    """True once the log holds at least `count` lines of kind `what`."""
    return sum(1 for entry in parse_log(log) if entry[2] == what) >= count


def wait_for_log(log, what, count, limit=10.0):
    give_up = time.monotonic() + limit
    while not log_has(log, what, count):
        if time.monotonic() > give_up:
            raise SystemExit(f"lifetime.py: the simulator did not log {count} {what} lines")
        time.sleep(0.01)


def tell(control, change):
    """Makes the simulator apply `change` now, through its control FIFO."""
    with open(control, "w") as fifo:
        fifo.write(change + "\n")


def read_line(stream):
    """The next line of `stream` and when it arrived (CLOCK_MONOTONIC)."""
    line = stream.readline()
    if not line:
        raise SystemExit("lifetime.py: the tool closed its output early")
    return line.rstrip("\n"), time.monotonic()


def wait_for_words(stream, words):
    """Reads the tool's stderr until a line holding `words`."""
    while True:
        line, _ = read_line(stream)
        if words in line:
            return


def arrive(options):
    """A board plugged in while the tool waits for it, `runs` times for each waiting command."""
    draw = random.Random(SEED)
    commands = {"status": [options.ledboard, "--wait", "30", "--status"],
                "watch": [options.ledboard, "--wait", "--watch"]}
    runs = []
    plugs = 0
    for mode, command in commands.items():
        for _ in range(options.runs):
            tool = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
            wait_for_words(tool.stderr, "ledboard: waiting for")
            time.sleep(draw.uniform(*PLUG_DELAY_S))
            tell(options.control, "plug")
            plugs += 1
            if mode == "status":
                output, _ = tool.communicate(timeout=30)
                first_line = output.splitlines()[0] if output else ""
                arrived = None  # read after the run: its arrival says nothing
            else:
                first_line, arrived = read_line(tool.stdout)
                tool.send_signal(signal.SIGTERM)
                tool.communicate(timeout=30)
            runs.append({"mode": mode, "status": tool.returncode, "first_line": first_line,
                         "line_arrived": arrived})
            tell(options.control, "unplug")
            wait_for_log(options.log, "UNPLUG", plugs)
    for run, reaction in zip(runs, reactions(parse_log(options.log))):
        run.update(reaction)
    with open(options.out, "w") as out:
        json.dump({"runs": runs}, out, indent=1)


def replug(options):
    """One `--wait --watch` across `runs` unplugs and replugs of its board."""
    draw = random.Random(SEED)
    # The tool's messages go to a file: a pipe nobody reads could fill up and stop the watch.
    with open(options.out + ".stderr", "w") as errors:
        watch = subprocess.Popen([options.ledboard, "--wait", "--watch"], stdout=subprocess.PIPE,
                                 stderr=errors, text=True)
        read_line(watch.stdout)  # the status at the start
        cycles = []
        for _ in range(options.runs):
            time.sleep(draw.uniform(*UNPLUG_DELAY_S))
            tell(options.control, "unplug")
            gone, _ = read_line(watch.stdout)
            time.sleep(draw.uniform(*PLUG_DELAY_S))
            tell(options.control, "plug")
            back, back_arrived = read_line(watch.stdout)
            status, status_arrived = read_line(watch.stdout)
            cycles.append({"gone": gone, "back": back, "back_arrived": back_arrived,
                           "status": status, "status_arrived": status_arrived})
        watch.send_signal(signal.SIGTERM)
        watch.wait(timeout=30)
    for cycle, reaction in zip(cycles, reactions(parse_log(options.log))):
        cycle.update(reaction)
    with open(options.out, "w") as out:
        json.dump({"cycles": cycles, "status": watch.returncode}, out, indent=1)


def cpu_seconds(pid):
    """CPU time that process `pid` has used so far, all its threads together: the scheduler's
    nanosecond count (the first field of each thread's schedstat), finer than stat's 10 ms ticks."""
    total = 0
    for thread in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{thread}/schedstat") as schedstat:
                total += int(schedstat.read().split()[0])
        except FileNotFoundError:
            pass  # the thread ended meanwhile
    return total / 1e9


def waiting_run(ledboard, seconds):
    """Runs a wait that finds no board: its wall time, exit status and user and system CPU."""
    started = time.monotonic()
    tool = subprocess.Popen([ledboard, "--wait", f"{seconds:g}", "--status"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(tool.pid, 0)
    return {"wall": time.monotonic() - started, "status": os.waitstatus_to_exitcode(status),
            "user": usage.ru_utime, "system": usage.ru_stime}


def idle(options):
    """CPU time of a wait that finds no board and gives up, and of the simulator meanwhile."""
    simulator = os.getppid()
    # The simulator alone, with nothing asking it anything: its own cost at rest.
    started = cpu_seconds(simulator)
    time.sleep(options.seconds)
    simulator_alone = cpu_seconds(simulator) - started

    # A short wait first: what starting, the first lookup and giving up cost, to tell apart from
    # what waiting costs per second.
    short = waiting_run(options.ledboard, SHORT_WAIT_S)
    before = len(parse_log(options.log))
    started_sim = cpu_seconds(simulator)
    result = waiting_run(options.ledboard, options.seconds)
    simulator_waiting = cpu_seconds(simulator) - started_sim
    entries = parse_log(options.log)[before:]
    result.update({"seconds": options.seconds, "short": short,
                   "simulator_alone": simulator_alone, "simulator_waiting": simulator_waiting,
                   "rescans": sum(1 for entry in entries if entry[2] == "CONNECTINFO"),
                   "requests": len(entries)})
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


def rank(values, fraction):
    """The nearest-rank percentile: the smallest value with `fraction` of them at or below it."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def summary_row(name, values, goal=None):
    """One table row: p50, p95 and max of the values, and the goal; missing values are counted."""
    present = [value for value in values if value is not None]
    missing = len(values) - len(present)
    if not present:
        return f"| {name} | none of {len(values)} | | | |"
    worst = max(present)
    verdict = "" if goal is None else ("met" if worst <= goal and not missing else "NOT met")
    cells = f"{ms(rank(present, 0.5))} | {ms(rank(present, 0.95))} | {ms(worst)}"
    note = f" ({missing} of {len(values)} never came)" if missing else ""
    return f"| {name}{note} | {cells} | {verdict} |"


def report(files):
    results = {re.sub(r".*/|\.json$", "", name): json.load(open(name)) for name in files}
    arrived = results["arrive"]["runs"]
    count = len(arrived) // 2
    print(f"| board plugged in while waiting ({count} runs each) | p50 | p95 | max "
          f"| within {ms(GOAL_S)} |")
    print("|---|---|---|---|---|")
    for mode, command in (("status", "--wait 30 --status"), ("watch", "--wait --watch")):
        runs = [run for run in arrived if run["mode"] == mode]
        print(summary_row(f"`{command}`: plug to the first request",
                          [run["first_request"] for run in runs], GOAL_S))
        print(summary_row(f"`{command}`: plug to the first vendor request",
                          [run["first_vendor_request"] for run in runs]))
        if mode == "watch":
            print(summary_row(f"`{command}`: plug to the first line at the reader",
                              [run["line_arrived"] - run["plugged"] for run in runs]))
        wrong = [run for run in runs if run["status"] != 0 or not run["first_line"]]
        if wrong:
            print(f"| `{command}`: {len(wrong)} runs ended wrongly, e.g. status "
                  f"{wrong[0]['status']}, output '{wrong[0]['first_line']}' | | | | |")

    cycles = results["replug"]["cycles"]
    print()
    print(f"| one `--wait --watch`, board unplugged and plugged back ({len(cycles)} times) "
          f"| p50 | p95 | max | within {ms(GOAL_S)} |")
    print("|---|---|---|---|---|")
    print(summary_row("plug to the first vendor request",
                      [cycle["first_vendor_request"] for cycle in cycles], GOAL_S))
    print(summary_row("plug to the `back` line at the reader",
                      [cycle["back_arrived"] - cycle["plugged"] for cycle in cycles], GOAL_S))
    print(summary_row("plug to the status line after it",
                      [cycle["status_arrived"] - cycle["plugged"] for cycle in cycles]))
    odd = [cycle for cycle in cycles if (cycle["gone"], cycle["back"]) != ("gone", "back")]
    if odd:
        print(f"\n{len(odd)} cycles printed other lines, e.g. '{odd[0]['gone']}', "
              f"'{odd[0]['back']}'")

    waited = results["idle"]
    seconds = waited["wall"]
    tool = waited["user"] + waited["system"]
    short = waited["short"]
    short_cpu = short["user"] + short["system"]
    longer = seconds - short["wall"]
    steady = (tool - short_cpu) / longer if longer >= MIN_STEADY_S else None
    print()
    print(f"| `ledboard --wait {waited['seconds']:g} --status`, no board, until it gives up "
          f"({seconds:.1f} s, status {waited['status']}) | CPU time | % of one core | goal |")
    print("|---|---|---|---|")
    print(f"| the tool (user {waited['user'] * 1000:.0f} ms, system "
          f"{waited['system'] * 1000:.0f} ms) | {tool * 1000:.1f} ms "
          f"| {100 * tool / seconds:.2f} % | at most 0.5 % |")
    if steady is not None:
        print(f"| the tool beyond a {short['wall']:.1f} s wait ({short_cpu * 1000:.1f} ms: its "
              f"start, first lookup and end), per second | {steady * 1000:.2f} ms "
              f"| {100 * steady:.2f} % | |")
    print(f"| the simulator meanwhile "
          f"| {waited['simulator_waiting'] * 1000:.1f} ms "
          f"| {100 * waited['simulator_waiting'] / seconds:.2f} % | |")
    print(f"| the simulator alone, as long, with nothing asking it "
          f"| {waited['simulator_alone'] * 1000:.1f} ms "
          f"| {100 * waited['simulator_alone'] / waited['seconds']:.2f} % | |")
    print(f"\nThe simulator saw {waited['rescans']} rescans (one CONNECTINFO each for the root "
          f"hub) and {waited['requests']} requests in all.")


def print_reactions(log):
    for reaction in reactions(parse_log(log)):
        def shown(value):
            return "none" if value is None else f"{value * 1000:.3f}"
        print(f"{reaction['device']} {shown(reaction['first_request'])} "
              f"{shown(reaction['first_vendor_request'])}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("arrive", "replug", "idle"):
        sub = commands.add_parser(name)
        sub.add_argument("--ledboard", required=True)
        sub.add_argument("--log", required=True)
        sub.add_argument("--out", required=True)
        if name == "idle":
            sub.add_argument("--seconds", type=float, required=True)
        else:
            sub.add_argument("--control", required=True)
            sub.add_argument("--runs", type=int, required=True)
    summary = commands.add_parser("report")
    summary.add_argument("files", nargs="+")
    pairs = commands.add_parser("reactions")
    pairs.add_argument("log")
    options = parser.parse_args()
    {"arrive": arrive, "replug": replug, "idle": idle,
     "report": lambda o: report(o.files),
     "reactions": lambda o: print_reactions(o.log)}[options.command](options)


if __name__ == "__main__":
    main()
