#!/usr/bin/env python3
"""The daemon at work stays inside the unit's sandbox.

systemd does not run here, so the unit's SystemCallFilter= and RestrictAddressFamilies= are never
applied by a test; a daemon that needed a system call or a socket family they refuse would fail
only on a user's machine. This runs ledboardd under strace on the simulated bus, against a
mosquitto broker of its own, through the things it does (a board found, a set, a press, an unplug
and a replug, SIGTERM), and checks every system call it made against the unit's filter as
systemd-analyze expands it, and every socket family against the unit's list.

Under the simulator, usbfs ioctls are answered inside the process (umockdev's preload library),
so those calls do not show here; ioctl itself is checked to be allowed.

Exits 77 (skipped) without strace or systemd-analyze.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# Calls the daemon makes on real hardware that the simulator answers for it.
REAL_HARDWARE_CALLS = {"ioctl"}
RUN_SECONDS = 4.0


def unit_settings(unit, key):
    """The values of every KEY= line of the unit, in order."""
    values = []
    with open(unit, encoding="utf-8") as file:
        for line in file:
            if line.startswith(key + "="):
                values.append(line.split("=", 1)[1].strip())
    return values


def syscall_groups():
    out = subprocess.run(["systemd-analyze", "syscall-filter"], check=True,
                         capture_output=True, text=True).stdout
    groups, current = {}, None
    for line in out.splitlines():
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        if not line.startswith(" ") and text.startswith("@"):
            current = groups.setdefault(text, [])
        elif current is not None:
            current.append(text)
    return groups


def expand(names, groups):
    calls = set()
    for name in names:
        if name.startswith("@"):
            calls |= expand(groups.get(name, []), groups)
        else:
            calls.add(name)
    return calls


def allowed_calls(unit):
    """An allow list followed by deny lists (~), as systemd reads them in order."""
    groups = syscall_groups()
    allowed = None
    for value in unit_settings(unit, "SystemCallFilter"):
        deny = value.startswith("~")
        names = expand(value.lstrip("~").split(), groups)
        if deny:
            allowed = (allowed if allowed is not None else set()) - names
        else:
            allowed = (allowed or set()) | names
    if allowed is None:
        raise SystemExit(f"FAIL: {unit} has no SystemCallFilter=")
    return allowed


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    for name in ("--unit", "--daemon", "--sim", "--broker", "--scratch"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    for tool in ("strace", "systemd-analyze"):
        if not shutil.which(tool):
            print(f"SKIPPED: {tool} is not installed")
            return 77

    allowed = allowed_calls(args.unit)
    families = set(" ".join(unit_settings(args.unit, "RestrictAddressFamilies")).split())
    os.makedirs(args.scratch, exist_ok=True)
    trace = os.path.join(args.scratch, "strace.txt")
    port = free_port()
    with tempfile.NamedTemporaryFile("w", suffix=".conf", dir=args.scratch,
                                     delete=False) as conf:
        conf.write(f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    broker = subprocess.Popen([args.broker, "-c", conf.name], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        # The daemon's command line inside the simulator: started under strace, a set sent
        # through the broker once it is up, stopped with SIGTERM. strace given a program to run
        # blocks the stop signals itself, so the signal goes to the daemon, whose process id
        # the shell in front of it writes down before it becomes the daemon (exec).
        pidfile = os.path.join(args.scratch, "daemon.pid")
        script = (
            f"strace -f -qq -o {trace} sh -c 'echo $$ >{pidfile}; exec \"$0\" \"$@\"' "
            f"{args.daemon} --broker 127.0.0.1:{port} --log-level debug & strace=$!; "
            f"sleep 1.5; mosquitto_pub -p {port} -q 1 -t ledboard/A17/set -m 5; "
            f"sleep {RUN_SECONDS - 1.5}; kill -TERM $(cat {pidfile}); wait $strace")
        run = subprocess.run(
            [args.sim, "--board", "serial=A17", "--at", "1s:push", "--at", "2s:release",
             "--at", "2500ms:unplug", "--at", "3s:plug", "--", "sh", "-c", script],
            capture_output=True, text=True, timeout=60)
    finally:
        broker.send_signal(signal.SIGTERM)
        broker.wait(timeout=10)
    if "LED 5 set" not in run.stderr or run.returncode != 0:
        print(f"FAIL: the daemon did not do its work (status {run.returncode}):\n{run.stderr}",
              file=sys.stderr)
        return 1

    with open(trace, encoding="utf-8") as file:
        lines = file.read().splitlines()
    # From the daemon's start on; the shell's calls before it are not the daemon's.
    start = next(n for n, line in enumerate(lines) if f'execve("{args.daemon}"' in line)
    lines = lines[start:]
    used = {m.group(1) for m in (re.match(r"\d+\s+([a-z_0-9]+)\(", line) for line in lines) if m}
    used_families = {m.group(1) for m in (re.search(r"\bsocket\((AF_[A-Z0-9]+)", line)
                                          for line in lines) if m}
    failures = []
    refused = sorted((used | REAL_HARDWARE_CALLS) - allowed)
    if refused:
        failures.append(f"system calls the unit's SystemCallFilter= refuses: {refused}")
    if not used_families <= families:
        failures.append(f"socket families outside RestrictAddressFamilies={sorted(families)}: "
                        f"{sorted(used_families - families)}")
    for failure in failures:
        print("FAIL:", failure, file=sys.stderr)
    if not failures:
        print(f"{len(used)} system calls and families {sorted(used_families)}, all allowed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
