#!/usr/bin/python3
"""ledboardd's instructions per read of a board, against the floor (daemon_floor.c: the same libusb
calls for one board at the same interval, nothing else), all counted by callgrind on the simulated
bus. Instruction counts do not depend on the machine's load, so CI can hold the ratio.

    daemon_instructions.py BUILD_DIR [LIMIT]      default limit 1.2

Two floors: the plain one, a single thread; and the threaded one, whose reads run in a second
thread as a daemon's do. In a process with two threads every socket call of the simulator's
preload (several per read) is a cancellation point, which glibc pays for: that share is the
simulator's and the threads', not the daemon's. The limit holds against the threaded floor; the
plain ratio is printed beside it.

Each program runs twice, under valgrind, until the simulator's log shows SHORT and then LONG
status reads; the difference of the two counts over the difference of the reads is what one
more read costs, start and stop taken out. The daemon has its broker (a mosquitto of this
script's own) and its state directory; its other work per second (the scanner's tick, keepalives)
is counted into its reads, as it would be in service. Exits 1 when the ratio is above LIMIT.
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

SHORT, LONG = 20, 120
INTERVAL_MS = 50
WAIT_S = 300  # valgrind makes the start slow; a loaded CI machine slower still
STATUS_READ = re.compile(r"^\d{3}/\d{3} CONTROL type=0xc0 request=0 ", re.M)
SUMMARY = re.compile(r"^summary: (\d+)$", re.M)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def reads(log):
    try:
        with open(log) as file:
            return len(STATUS_READ.findall(file.read()))
    except FileNotFoundError:
        return 0


def count(build, folder, name, command, target):
    """Runs `command` under callgrind on a simulated board until `target` status reads; returns
    (instructions, reads). STATE in the command is a folder of the run's own."""
    state = os.path.join(folder, f"{name}-{target}.state")
    os.makedirs(state)
    command = [state if word == "STATE" else word for word in command]
    log = os.path.join(folder, f"{name}-{target}.log")
    out = os.path.join(folder, f"{name}-{target}.callgrind")
    process = subprocess.Popen(
        [os.path.join(build, "sim", "ledboard-sim"), "--board", "serial=A17", "--log", log, "--",
         "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + WAIT_S
    while reads(log) < target:
        if time.monotonic() > deadline or process.poll() is not None:
            os.killpg(process.pid, signal.SIGKILL)
            sys.exit(f"daemon_instructions.py: {name} did not read the board {target} times")
        time.sleep(0.05)
    process.send_signal(signal.SIGTERM)  # the simulator passes it on
    process.wait(WAIT_S)
    with open(out) as file:
        instructions = int(SUMMARY.search(file.read()).group(1))
    return instructions, reads(log)


def per_read(build, folder, name, command):
    short = count(build, folder, name, command, SHORT)
    long = count(build, folder, name, command, LONG)
    return (long[0] - short[0]) / (long[1] - short[1])


def main():
    if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    limit = float(sys.argv[2]) if len(sys.argv) > 2 else 1.2
    folder = tempfile.mkdtemp(prefix="ledboardd-instructions-")
    port = free_port()
    config = os.path.join(folder, "mosquitto.conf")
    with open(config, "w") as file:
        file.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", config],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        daemon = per_read(build, folder, "daemon", [
            os.path.join(build, "ledboardd", "ledboardd"), "--broker", f"127.0.0.1:{port}",
            "--interval", str(INTERVAL_MS), "--no-discovery", "--log-level", "warning",
            "--state-dir", "STATE"])
        floor_program = os.path.join(build, "bench", "ledboard-bench-daemon-floor")
        floor = per_read(build, folder, "floor", [floor_program, str(INTERVAL_MS)])
        threaded = per_read(build, folder, "threaded", [floor_program, str(INTERVAL_MS),
                                                        "threaded"])
    finally:
        broker.terminate()
        broker.wait()
    ratio = daemon / threaded
    print(f"instructions per read: ledboardd {daemon:.0f}, threaded floor {threaded:.0f}, "
          f"ratio {ratio:.3f} (limit {limit}); single-threaded floor {floor:.0f}, "
          f"ratio {daemon / floor:.3f}")
    if ratio > limit:
        print(f"daemon_instructions.py: a read costs ledboardd more than {limit} times the floor",
              file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
