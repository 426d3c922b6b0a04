#!/usr/bin/python3
"""Benchmark of `ledboard 5` on the simulated bus; bench/run drives it.

    bench.py measure --devices N --log LOG --out JSON   (inside ledboard-sim --log LOG)
    bench.py report JSON...                             (prints the tables)

Every program measured in one `measure` call sees the same simulated bus, so the simulator's own
cost is shared by all of them.
"""
import argparse
import json
import re
import statistics
import subprocess
import sys
import tempfile

PYTHON = "/usr/bin/python3"  # Debian's, which has python3-usb
RSS_RUNS = 21


def hyperfine(commands, runs):
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        arguments = ["hyperfine", "--shell=none", "--warmup", "20", "--runs", str(runs),
                     "--style", "none", "--export-json", export.name]
        for name, command in commands.items():
            arguments += ["--command-name", name, " ".join(command)]
        subprocess.run(arguments, check=True, stdout=subprocess.DEVNULL)
        results = json.load(open(export.name))["results"]
    return {result["command"]: {key: result[key] for key in ("mean", "stddev", "median", "min")}
            for result in results}


def instructions(command):
    """Instructions executed by the whole process, as callgrind counts them (deterministic)."""
    with tempfile.NamedTemporaryFile(suffix=".callgrind") as out:
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}"]
                       + command, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        summary = re.search(rb"^summary: (\d+)$", open(out.name, "rb").read(), re.MULTILINE)
    return int(summary.group(1))


def max_rss_kib(command):
    """Median over several runs of the peak resident set size of one run.

    The kernel counts a child's size before its exec() too, so the child must come from a small
    parent: GNU time, not this Python process.
    """
    peaks = []
    for _ in range(RSS_RUNS):
        timed = subprocess.run(["/usr/bin/time", "--format=%M"] + command, check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        peaks.append(int(timed.stderr.strip().splitlines()[-1]))
    return statistics.median(peaks)


def control_transfers(command, log):
    """Control transfers the simulated devices receive during one run."""
    def count():
        with open(log) as lines:
            return sum(" CONTROL " in line for line in lines)
    before = count()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return count() - before


def measure(options):
    programs = {"ledboard": [options.ledboard, "5"], "floor": [options.floor, "5"]}
    if options.devices == 0:
        programs["pyusb"] = [PYTHON, options.peer, "5"]
    result = {
        "devices": options.devices,
        "transfers": control_transfers(programs["ledboard"], options.log),
        "floor_transfers": control_transfers(programs["floor"], options.log),
        "time": hyperfine(programs, options.runs),
    }
    if options.devices == 0:
        result["instructions"] = {name: instructions(programs[name])
                                  for name in ("ledboard", "floor")}
        result["max_rss_kib"] = {name: max_rss_kib(command) for name, command in programs.items()}
    json.dump(result, open(options.out, "w"), indent=1)


def milliseconds(seconds):
    return f"{seconds * 1000:.2f} ms"


def report(files):
    results = sorted((json.load(open(name)) for name in files), key=lambda r: r["devices"])
    base = results[0]
    assert base["devices"] == 0, "the report needs the run without extra devices"
    time, count, rss = base["time"], base["instructions"], base["max_rss_kib"]

    print("| measure | ledboard | floor (C) | ledboard / floor | goal |")
    print("|---|---|---|---|---|")
    print(f"| instructions (callgrind) | {count['ledboard']:,} | {count['floor']:,} "
          f"| {count['ledboard'] / count['floor']:.3f} | ≤ 1.05 |")
    for key in ("median", "mean"):
        print(f"| wall time, {key} | {milliseconds(time['ledboard'][key])} "
              f"| {milliseconds(time['floor'][key])} "
              f"| {time['ledboard'][key] / time['floor'][key]:.3f} | ≤ 1.10 |")
    print(f"| max RSS | {rss['ledboard']:.0f} KiB | {rss['floor']:.0f} KiB "
          f"| {rss['ledboard'] / rss['floor']:.3f} | |")
    print()
    print("| measure | pyusb script | ledboard | pyusb / ledboard | goal |")
    print("|---|---|---|---|---|")
    for key in ("median", "mean"):
        print(f"| wall time, {key} | {milliseconds(time['pyusb'][key])} "
              f"| {milliseconds(time['ledboard'][key])} "
              f"| {time['pyusb'][key] / time['ledboard'][key]:.1f} | ≥ 7 |")
    print(f"| max RSS | {rss['pyusb']:.0f} KiB | {rss['ledboard']:.0f} KiB "
          f"| {rss['pyusb'] / rss['ledboard']:.1f} | |")
    print()
    print("| unrelated devices before the board | ledboard, median | floor, median "
          "| control transfers per run | expected |")
    print("|---|---|---|---|---|")
    for result in results:
        # Every device up to the board is opened and asked for two strings (two transfers
        # each): the extra devices, the root hub and the board; then three vendor requests.
        expected = (result["devices"] + 2) * 4 + 3
        print(f"| {result['devices']} | {milliseconds(result['time']['ledboard']['median'])} "
              f"| {milliseconds(result['time']['floor']['median'])} "
              f"| {result['transfers']} (floor: {result['floor_transfers']}) | {expected} |")
    last = results[-1]
    if last["devices"] > 0:
        for name in ("ledboard", "floor"):
            slope = ((last["time"][name]["median"] - base["time"][name]["median"])
                     / last["devices"])
            print(f"\n{name}: {slope * 1e6:.0f} µs per extra device "
                  f"(0 to {last['devices']} devices, medians)", end="")
        print()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("measure")
    run.add_argument("--devices", type=int, required=True)
    run.add_argument("--log", required=True)
    run.add_argument("--out", required=True)
    run.add_argument("--ledboard", required=True)
    run.add_argument("--floor", required=True)
    run.add_argument("--peer", required=True)
    run.add_argument("--runs", type=int, default=200)
    summary = commands.add_parser("report")
    summary.add_argument("files", nargs="+")
    options = parser.parse_args()
    if options.command == "measure":
        measure(options)
    else:
        report(options.files)


if __name__ == "__main__":
    main()
