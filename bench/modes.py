#!/usr/bin/python3
"""Measures ledboard's options on the simulated bus; bench/modes drives it.

    modes.py choose --ledboard L --log LOG --board DEV --out JSON   (inside ledboard-sim --log LOG)
    modes.py list --ledboard L --log LOG --out JSON
    modes.py watch --ledboard L --log LOG --changes N --out JSON    (with --log-time and --at)
    modes.py report JSON...
"""
import argparse
import ctypes
import fcntl
import json
import os
import re
import signal
import statistics
import subprocess
import time

RUNS = 30


def log_lines(log):
    with open(log) as lines:
        return lines.read().splitlines()


def transfers_of(command, log):
    """The control transfers one run of the command causes, as the simulator logged them."""
    before = len(log_lines(log))
    subprocess.run(command, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return [line for line in log_lines(log)[before:] if " CONTROL " in line]


def wall_times(command, runs=RUNS):
    """Median and minimum wall time of the command, in seconds, after two warm-up runs."""
    times = []
    for run in range(runs + 2):
        started = time.perf_counter()
        subprocess.run(command, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if run >= 2:
            times.append(time.perf_counter() - started)
    return {"median": statistics.median(times), "min": min(times)}


def choose(options):
    plain = [options.ledboard, "5"]
    chosen = [options.ledboard, "--device", options.board, "5"]
    rescan_only = [options.ledboard, "--device", "999/127", "5"]  # nothing there: rescan, no I/O
    result = {
        "plain_transfers": len(transfers_of(plain, options.log)),
        "device_transfers": transfers_of(chosen, options.log),
        "plain": wall_times(plain),
        "device": wall_times(chosen),
        "rescan_only": wall_times(rescan_only),
    }
    json.dump(result, open(options.out, "w"), indent=1)


def list_boards(options):
    lines = transfers_of([options.ledboard, "--list"], options.log)
    devices = sorted({line.split()[0] for line in lines})
    json.dump({"devices_reached": devices, "transfers": len(lines)}, open(options.out, "w"))


class ControlTransfer(ctypes.Structure):
    """struct usbdevfs_ctrltransfer (linux/usbdevice_fs.h)."""
    _fields_ = [("bRequestType", ctypes.c_uint8), ("bRequest", ctypes.c_uint8),
                ("wValue", ctypes.c_uint16), ("wIndex", ctypes.c_uint16),
                ("wLength", ctypes.c_uint16), ("timeout", ctypes.c_uint32),
                ("data", ctypes.c_void_p)]


USBDEVFS_CONTROL = 0xC0000000 | (ctypes.sizeof(ControlTransfer) << 16) | (ord("U") << 8)


def transfer_time(node, count=200):
    """Median time of one status request to the board, made the way libusb 0.1 makes it."""
    reply = ctypes.create_string_buffer(7)
    request = ControlTransfer(0xC0, 0, 0, 0, 7, 5000, ctypes.cast(reply, ctypes.c_void_p))
    fd = os.open(node, os.O_RDWR)
    times = []
    for _ in range(count):
        started = time.perf_counter()
        fcntl.ioctl(fd, USBDEVFS_CONTROL, request)
        times.append(time.perf_counter() - started)
    os.close(fd)
    return statistics.median(times)


def watch(options):
    """Latency of each change, and the CPU time of an idle watch over `--seconds`."""
    reader = subprocess.Popen([options.ledboard, "--watch"], stdout=subprocess.PIPE, text=True)
    arrivals = []
    for _ in range(options.changes + 1):
        line = reader.stdout.readline()
        arrivals.append((time.monotonic(), line.strip()))
    reader.send_signal(signal.SIGTERM)
    reader.wait()

    # The log's status reads with their CLOCK_MONOTONIC times, in order.
    reads = [float(line.split()[0]) for line in log_lines(options.log)
             if "type=0xc0 request=0 " in line]
    interval = 0.050
    latencies = []
    periods = []
    for (arrived, _), order in zip(arrivals[1:], options.at):
        # The worst case: the input changed right after the read before the one that saw it.
        latencies.append(arrived - reads[order - 2])
        periods.append(reads[order - 1] - reads[order - 2])

    # After the last change, so that these requests do not move the changes.
    transfer = transfer_time("/dev/bus/usb/001/002")

    idle = subprocess.Popen([options.ledboard, "--watch"], stdout=subprocess.DEVNULL)
    time.sleep(options.seconds)
    idle.send_signal(signal.SIGTERM)
    _, status, usage = os.wait4(idle.pid, 0)
    cpu = usage.ru_utime + usage.ru_stime
    json.dump({"interval": interval, "latencies": latencies, "periods": periods,
               "transfer": transfer,
               "lines": [text for _, text in arrivals], "cpu_seconds": cpu,
               "seconds": options.seconds, "status": os.waitstatus_to_exitcode(status)},
              open(options.out, "w"), indent=1)


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def report(files):
    results = {re.sub(r".*/|\.json$", "", name): json.load(open(name)) for name in files}
    c = results["choose"]
    print("| --device on 50 other devices ahead of the board | plain `ledboard 5` "
          "| `ledboard --device 001/052 5` | plain / --device |")
    print("|---|---|---|---|")
    def unnamed(lines):  # the transfers without the device's name
        return [line.split(" ", 1)[1] for line in lines]
    same = unnamed(c["device_transfers"]) == unnamed(results["empty"]["device_transfers"])
    print(f"| control transfers | {c['plain_transfers']} | {len(c['device_transfers'])}, "
          f"{'the same as' if same else 'NOT the same as'} on a bus with only the board "
          f"| {c['plain_transfers'] / len(c['device_transfers']):.1f} |")
    for key in ("median", "min"):
        print(f"| wall time, {key} | {ms(c['plain'][key])} | {ms(c['device'][key])} "
              f"| {c['plain'][key] / c['device'][key]:.2f} |")
    # The fastest runs, where the machine's noise is least: what each run adds to the rescan
    # that libusb 0.1 makes of every node, choice or not.
    rescan = c["rescan_only"]["min"]
    print(f"| wall time beyond libusb's rescan ({ms(rescan)}), fastest run "
          f"| {ms(c['plain']['min'] - rescan)} | {ms(c['device']['min'] - rescan)} "
          f"| {(c['plain']['min'] - rescan) / max(c['device']['min'] - rescan, 1e-4):.1f} |")
    print()
    lst = results["list"]
    print(f"--list on 50 other devices and 2 boards: {lst['transfers']} control transfers, "
          f"to {', '.join(lst['devices_reached'])} only.")
    print()
    w = results["watch"]
    print("| --watch, default interval (50 ms) | measured | goal |")
    print("|---|---|---|")
    print(f"| CPU time over {w['seconds']:.0f} s idle | {w['cpu_seconds'] * 1000:.0f} ms = "
          f"{100 * w['cpu_seconds'] / w['seconds']:.2f} % of one core | under 1 % |")
    print(f"| change to stdout, worst case over {len(w['latencies'])} changes (from the read "
          f"before the change) | {ms(max(w['latencies']))} | within {ms(w['interval'])} + one "
          f"transfer ({ms(w['transfer'])}, median of 200) = "
          f"{ms(w['interval'] + w['transfer'])} |")
    print(f"| of which the watch's own: from the read before the change to the read that saw "
          f"it, worst case | {ms(max(w['periods']))} | |")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("choose", "list", "watch"):
        sub = commands.add_parser(name)
        sub.add_argument("--ledboard", required=True)
        sub.add_argument("--log", required=True)
        sub.add_argument("--out", required=True)
        if name == "choose":
            sub.add_argument("--board", required=True)
        if name == "watch":
            sub.add_argument("--at", type=int, nargs="+", required=True)
            sub.add_argument("--changes", type=int, required=True)
            sub.add_argument("--seconds", type=float, default=10)
    summary = commands.add_parser("report")
    summary.add_argument("files", nargs="+")
    options = parser.parse_args()
    {"choose": choose, "list": list_boards, "watch": watch,
     "report": lambda o: report(o.files)}[options.command](options)


if __name__ == "__main__":
    main()
