#!/usr/bin/python3
"""Measures ledboardd, the MQTT bridge, on the simulated bus; bench/daemon drives it.

    daemon.py latency --interval MS --presses N --sets N --out JSON   (COMMON options below)
        one daemon under one simulator: button presses through the control FIFO to the `pressed`
        message, then `set` commands to the LED request in the simulator's log and to the state
    daemon.py load --boards N --seconds S --out JSON
        one daemon serving N boards, left alone: its CPU time and memory, and the simulator's
    daemon.py fleet --daemons N --bursts N --out JSON
        N daemons, each under its own simulator (two boards) with its own host name, one broker:
        bursts of `set` commands, one per daemon, each confirmed by its state message
    daemon.py report JSON...
        the Markdown tables

COMMON: --sim LEDBOARD-SIM --daemon LEDBOARDD --broker MOSQUITTO --folder DIR

Each measurement starts a mosquitto of its own on a free loopback port (its own configuration, no
persistence) and stops it at the end. Times are CLOCK_MONOTONIC, which time.monotonic() reads and
the simulator's --log-time stamps, so a log line and a message compare directly.
"""
import argparse
import atexit
import http.client
import json
import math
import os
import random
import re
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time

import paho.mqtt.client as mqtt

# The same draws on every run of the benchmark.
SEED = 8888
# A press comes this long after the message of the change before it: wider than the longest
# interval measured, so that presses fall at every point between two of the daemon's reads.
PRESS_SPACING_S = (0.02, 0.17)
# A set comes this long after the state that confirmed the one before it.
SET_SPACING_S = (0.02, 0.12)
# Between two bursts of the fleet.
BURST_SPACING_S = (0.05, 0.15)
# The longest a message is waited for before the command counts as lost.
WAIT_S = 10.0
# How long all event streams together get to deliver a press.
STREAM_WAIT_S = 3.0
# How long after the boards are up the CPU window starts: the start's own work is over by then.
SETTLE_S = 2.0
PREFIX = "bench"
QOS = 1  # as the daemon subscribes and publishes

LED_REQUEST = re.compile(r"^(?P<time>\d+\.\d+) (?P<device>\d{3}/\d{3}) CONTROL type=0xc0 "
                         r"request=1 value=0x(?P<value>[0-9a-f]{4})", re.M)
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


# Every process started, stopped at exit if a measurement ends early.
STARTED = []


@atexit.register
def stop_all():
    for process in reversed(STARTED):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(WAIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    """A mosquitto of the measurement's own on loopback, never the system's."""

    def __init__(self, program, folder, nodelay=False):
        self.port = free_port()
        config = os.path.join(folder, "mosquitto.conf")
        with open(config, "w") as file:
            file.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                       "persistence false\n")
            if nodelay:
                # mosquitto's default leaves Nagle's algorithm on for its clients' sockets.
                file.write("set_tcp_nodelay true\n")
        self.log = open(os.path.join(folder, "broker.log"), "w")
        self.process = subprocess.Popen([program, "-c", config], stdout=subprocess.DEVNULL,
                                        stderr=self.log)
        STARTED.append(self.process)
        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline:
                    self.close()
                    raise SystemExit("daemon.py: the broker did not start")
                time.sleep(0.05)

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


class Listener:
    """Every message under the prefix, with the time it arrived, in arrival order."""

    def __init__(self, port):
        self.messages = []  # (arrival, topic, payload text)
        self.changed = threading.Condition()
        self.client = mqtt.Client(client_id=f"bench-{os.getpid()}-{time.monotonic_ns()}")
        self.client.on_message = self._received
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *_: subscribed.set()
        self.client.on_connect = lambda client, *_: client.subscribe(PREFIX + "/#", qos=QOS)
        self.client.connect("127.0.0.1", port)
        # paho leaves Nagle's algorithm on: a command published within 40 ms of the PUBACK this
        # client sent for a message would wait for the broker's delayed ACK, which is this
        # client's cost, not the daemon's.
        self.client.socket().setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.client.loop_start()
        if not subscribed.wait(WAIT_S):
            raise SystemExit("daemon.py: the listener did not subscribe")

    def _received(self, _client, _userdata, message):
        arrived = time.monotonic()
        with self.changed:
            self.messages.append((arrived, message.topic, message.payload.decode(errors="replace")))
            self.changed.notify_all()

    def count(self):
        with self.changed:
            return len(self.messages)

    def wait_for(self, accept, after, limit=WAIT_S):
        """The first message at or after index `after` that `accept(topic, payload)` takes, as
        (index, arrival), or None when none came within `limit` seconds."""
        deadline = time.monotonic() + limit
        with self.changed:
            while True:
                for index in range(after, len(self.messages)):
                    arrived, topic, payload = self.messages[index]
                    if accept(topic, payload):
                        return index, arrived
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def publish(self, topic, payload):
        return self.client.publish(topic, payload, qos=QOS)

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def state_led(payload):
    try:
        return json.loads(payload)["led"]
    except (ValueError, KeyError, TypeError):
        return None


def children(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/children") as file:
                found += [int(child) for child in file.read().split()]
        except FileNotFoundError:
            pass
    return found


def daemon_of(simulator):
    """The daemon's process id: the simulator's only child."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        found = children(simulator)
        if found:
            return found[0]
        time.sleep(0.02)
    raise SystemExit("daemon.py: the simulator started no daemon")


def cpu_ticks(pid):
    """utime + stime of the whole process (all its threads), in clock ticks (/proc/PID/stat)."""
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # fields 14 and 15 of stat(5)


def memory_kib(pid):
    values = {}
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                values[key] = int(rest.split()[0])
    return values


class Simulated:
    """ledboardd under ledboard-sim, with the simulator's request log and its control FIFO."""

    def __init__(self, options, name, sim_options, interval, host=None, extra=(), program=None):
        """`program`: what runs on the bus in place of ledboardd (the Python bridge)."""
        self.log = os.path.join(options.folder, name + ".log")
        self.fifo = os.path.join(options.folder, name + ".fifo")
        self.stderr = open(os.path.join(options.folder, name + ".stderr"), "w")
        program = program or [options.daemon, "--broker", f"127.0.0.1:{options.port}",
                              "--interval", str(interval), "--prefix", PREFIX,
                              "--log-level", "warning", *extra]
        command = [options.sim, *sim_options, "--log", self.log, "--log-time", "--control",
                   self.fifo, "--", *program]
        if host is not None:
            # Its own UTS namespace: the daemon's host name names its boards and its bridge topic.
            command = ["unshare", "--uts", "sh", "-c",
                       f"hostname {host} && exec {shlex.join(command)}"]
        if os.path.exists(self.fifo):
            os.unlink(self.fifo)  # left by a run that was killed
        self.process = subprocess.Popen(command, stderr=self.stderr)
        STARTED.append(self.process)
        deadline = time.monotonic() + WAIT_S
        while not os.path.exists(self.fifo):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise SystemExit(f"daemon.py: the simulator {name} did not start")
            time.sleep(0.02)
        self.control = None
        self.daemon = daemon_of(self.process.pid)

    def change(self, line):
        if self.control is None:
            # Held open, so that each line is taken as it is written.
            self.control = open(self.fifo, "w", buffering=1)
        self.control.write(line + "\n")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.control is not None:
            self.control.close()
        self.stderr.close()


def online_boards(listener, count, after=0):
    """Waits until `count` boards have said online; their ids."""
    seen = set()

    def accept(topic, payload):
        parts = topic.split("/")
        if len(parts) == 3 and parts[2] == "availability" and payload == "online":
            seen.add(parts[1])
        return len(seen) >= count

    if listener.wait_for(accept, after, limit=3 * WAIT_S) is None:
        raise SystemExit(f"daemon.py: only {len(seen)} of {count} boards came online")
    return sorted(seen)


def latency(options):
    draw = random.Random(SEED)
    broker = Broker(options.broker, options.folder, options.nodelay_broker)
    options.port = broker.port
    listener = Listener(broker.port)
    simulated = Simulated(options, f"latency-{options.interval}", ["--board", "serial=A17"],
                          options.interval)
    online_boards(listener, 1)
    button = f"{PREFIX}/A17/button"
    state = f"{PREFIX}/A17/state"
    listener.wait_for(lambda topic, _: topic == state, 0)

    presses, releases, missing = [], [], 0
    for _ in range(options.presses):
        for change, word, found in (("push", "pressed", presses),
                                    ("release", "released", releases)):
            time.sleep(draw.uniform(*PRESS_SPACING_S))
            mark = listener.count()
            written = time.monotonic()
            simulated.change(change)
            seen = listener.wait_for(lambda t, p, w=word: t == button and p == w, mark)
            if seen is None:
                missing += 1
            else:
                found.append(seen[1] - written)

    sets = []
    current = 0
    for _ in range(options.sets):
        value = draw.choice([v for v in range(8) if v != current])
        time.sleep(draw.uniform(*SET_SPACING_S))
        mark = listener.count()
        published = time.monotonic()
        listener.publish(f"{PREFIX}/A17/set", str(value))
        seen = listener.wait_for(lambda t, p, v=value: t == state and state_led(p) == v, mark)
        sets.append({"value": value, "published": published,
                     "state": None if seen is None else seen[1]})
        current = value

    simulated.stop()
    listener.close()
    broker.close()
    # The LED requests as the board received them, in order; the daemon makes none of its own.
    with open(simulated.log) as file:
        requests = [(float(m["time"]), int(m["value"], 16) >> 3)
                    for m in LED_REQUEST.finditer(file.read())]
    matched = len(requests) == len(sets) and all(
        value == command["value"] for (_, value), command in zip(requests, sets))
    for (at, _), command in zip(requests, sets):
        command["request"] = at
    result = {"kind": "latency", "interval": options.interval,
              "nodelay_broker": options.nodelay_broker, "pressed": presses,
              "released": releases, "missing_button": missing, "sets": sets,
              "led_requests": len(requests), "requests_match": matched}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


def load(options):
    broker = Broker(options.broker, options.folder, options.nodelay_broker)
    options.port = broker.port
    listener = Listener(broker.port)
    boards = ["--board", "serial=B1"]
    for number in range(2, options.boards + 1):
        boards += ["--after", f"board,serial=B{number}"]
    simulated = Simulated(options, "load", boards, options.interval)
    ids = online_boards(listener, options.boards)
    pids = {"daemon": simulated.daemon, "simulator": simulated.process.pid,
            "broker": broker.process.pid}
    # The Python bridge a user would write instead, on a bus of its own with the same boards, in
    # the same window (it says nothing when it starts: its first states show it has found them).
    bridge = None
    if options.python_bridge:
        mark = listener.count()
        bridge = Simulated(options, "load-bridge", boards, options.interval, program=[
            sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                         "python_bridge.py"),
            "--broker", f"127.0.0.1:{options.port}", "--prefix", f"{PREFIX}/py",
            "--interval", str(options.interval)])
        deadline = time.monotonic() + WAIT_S
        while len({topic for _, topic, _ in listener.messages[mark:]
                   if topic.startswith(f"{PREFIX}/py/") and topic.endswith("/state")}) < \
                options.boards:
            if time.monotonic() > deadline or bridge.process.poll() is not None:
                raise SystemExit("daemon.py: the Python bridge did not report every board")
            time.sleep(0.05)
        pids.update({"Python bridge": bridge.daemon, "its simulator": bridge.process.pid})
    time.sleep(SETTLE_S)
    before = {name: cpu_ticks(pid) for name, pid in pids.items()}
    started = time.monotonic()
    mark = listener.count()
    time.sleep(options.seconds)
    after = {name: cpu_ticks(pid) for name, pid in pids.items()}
    window = time.monotonic() - started
    messages = listener.count() - mark
    memory = {name: memory_kib(pid) for name, pid in pids.items()}
    simulated.stop()
    if bridge is not None:
        bridge.stop()
    listener.close()
    broker.close()
    result = {"kind": "load", "interval": options.interval, "boards": ids, "window": window,
              "cpu": {name: (after[name] - before[name]) / CLOCK_TICKS for name in pids},
              "memory": memory, "messages": messages}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


def fleet(options):
    draw = random.Random(SEED)
    broker = Broker(options.broker, options.folder, options.nodelay_broker)
    options.port = broker.port
    listener = Listener(broker.port)
    members = []
    for number in range(1, options.daemons + 1):
        host = f"host{number:02d}"
        members.append(Simulated(options, host, ["--second-board"], options.interval, host))
    ids = online_boards(listener, 2 * options.daemons)
    by_host = [[board for board in ids if board.startswith(f"host{n:02d}-")]
               for n in range(1, options.daemons + 1)]
    if any(len(boards) != 2 for boards in by_host):
        raise SystemExit(f"daemon.py: boards not two per host: {ids}")
    time.sleep(SETTLE_S)
    pids = {"daemons": [member.daemon for member in members],
            "simulators": [member.process.pid for member in members],
            "broker": [broker.process.pid]}
    # First left alone, to tell the cost of serving the boards from that of the commands.
    before = {name: sum(map(cpu_ticks, group)) for name, group in pids.items()}
    started = time.monotonic()
    time.sleep(options.idle_seconds)
    idle_window = time.monotonic() - started
    idle = {name: (sum(map(cpu_ticks, group)) - before[name]) / CLOCK_TICKS
            for name, group in pids.items()}
    before = {name: sum(map(cpu_ticks, group)) for name, group in pids.items()}
    started = time.monotonic()
    current = {board: 0 for board in ids}
    commands = []
    for burst in range(options.bursts):
        mark = listener.count()
        sent = []
        for boards in by_host:
            board = boards[burst % 2]
            value = draw.choice([v for v in range(8) if v != current[board]])
            current[board] = value
            sent.append({"board": board, "value": value, "published": time.monotonic()})
            listener.publish(f"{PREFIX}/{board}/set", str(value))
        for command in sent:
            topic = f"{PREFIX}/{command['board']}/state"
            seen = listener.wait_for(lambda t, p, c=command, s=topic: t == s and
                                     state_led(p) == c["value"], mark)
            command["state"] = None if seen is None else seen[1]
        commands += sent
        time.sleep(draw.uniform(*BURST_SPACING_S))
    window = time.monotonic() - started
    after = {name: sum(map(cpu_ticks, group)) for name, group in pids.items()}
    memory = [memory_kib(pid)["VmHWM"] for pid in pids["daemons"]]
    for member in members:
        member.stop()
    listener.close()
    broker.close()
    # Each host's LED requests in its simulator's log, in the order of its commands: a burst has
    # one command per host and waits for all of them, so the orders agree.
    matched = True
    for number, member in enumerate(members, 1):
        own = [c for c in commands if c["board"].startswith(f"host{number:02d}-")]
        with open(member.log) as file:
            requests = [(float(m["time"]), int(m["value"], 16) >> 3)
                        for m in LED_REQUEST.finditer(file.read())]
        if len(requests) != len(own) or any(v != c["value"] for (_, v), c in zip(requests, own)):
            matched = False
        for (at, _), command in zip(requests, own):
            command["request"] = at
    result = {"kind": "fleet", "daemons": options.daemons, "interval": options.interval,
              "nodelay_broker": options.nodelay_broker,
              "window": window, "commands": commands,
              "cpu": {name: (after[name] - before[name]) / CLOCK_TICKS for name in pids},
              "idle_window": idle_window, "idle_cpu": idle,
              "daemon_hwm_kib": memory, "requests_match": matched}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


class EventStream:
    """GET /api/events, read on a thread of its own: (arrival, event, data) for each event."""

    def __init__(self, port):
        self.events = []
        self.changed = threading.Condition()
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=3 * WAIT_S)
        self.connection.request("GET", "/api/events")
        self.socket = self.connection.sock  # the response takes it over
        self.response = self.connection.getresponse()
        if self.response.status != 200:
            raise SystemExit(f"daemon.py: GET /api/events answered {self.response.status}")
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        event, data = None, []
        try:
            for raw in self.response:
                line = raw.decode().rstrip("\r\n")
                if line.startswith("event: "):
                    event = line[len("event: "):]
                elif line.startswith("data: "):
                    data.append(line[len("data: "):])
                elif not line and event is not None:
                    arrived = time.monotonic()
                    with self.changed:
                        self.events.append((arrived, event, json.loads("\n".join(data))))
                        self.changed.notify_all()
                    event, data = None, []
        except (OSError, ValueError, http.client.HTTPException):
            pass  # closed at the end

    def presses(self):
        with self.changed:
            return [arrived for arrived, event, data in self.events
                    if event == "button" and data.get("pressed") is True]

    def wait_for_changes(self, pressed, count, deadline):
        """Waits until `count` button events with `pressed` came, or the deadline passed."""
        with self.changed:
            while len([1 for _, e, d in self.events
                       if e == "button" and d.get("pressed") is pressed]) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.changed.wait(left)
        return True

    def close(self):
        self.socket.shutdown(socket.SHUT_RDWR)
        self.connection.close()


def get_rate(port, clients, seconds):
    """GET /api/boards from `clients` threads on keep-alive connections: answers per second."""
    counts = [0] * clients
    failures = [0] * clients
    stop = time.monotonic() + seconds

    def run(index):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT_S)
        while time.monotonic() < stop:
            try:
                connection.request("GET", "/api/boards")
                response = connection.getresponse()
                response.read()
                if response.status == 200:
                    counts[index] += 1
                else:
                    failures[index] += 1
            except (OSError, http.client.HTTPException):
                # The server closes a connection after its keep-alive limit: open another.
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT_S)
        connection.close()

    threads = [threading.Thread(target=run, args=(index,)) for index in range(clients)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return {"answers": sum(counts), "failures": sum(failures),
            "seconds": time.monotonic() - started, "clients": clients}


def press_times(simulated, streams, presses, draw):
    """Presses and releases the button `presses` times; when each push was written."""
    written = []
    for number in range(1, presses + 1):
        time.sleep(draw.uniform(*PRESS_SPACING_S))
        written.append(time.monotonic())
        simulated.change("push")
        # One deadline for all streams: a stream that misses events costs one wait, not one each.
        deadline = time.monotonic() + STREAM_WAIT_S
        for stream in streams:
            stream.wait_for_changes(True, number, deadline)
        time.sleep(draw.uniform(*PRESS_SPACING_S))
        simulated.change("release")
        # A push before the daemon has read the release would be no change at all.
        deadline = time.monotonic() + STREAM_WAIT_S
        for stream in streams:
            stream.wait_for_changes(False, number, deadline)
    return written


def http_bench(options):
    draw = random.Random(SEED)
    broker = Broker(options.broker, options.folder)
    options.port = broker.port
    listener = Listener(broker.port)
    http_port = free_port()
    simulated = Simulated(options, f"http-{options.interval}", ["--board", "serial=A17"],
                          options.interval, extra=("--http", f"127.0.0.1:{http_port}"))
    online_boards(listener, 1)
    daemon = simulated.daemon

    one = EventStream(http_port)
    written = press_times(simulated, [one], options.presses, draw)
    single = [at - start for at, start in zip(one.presses(), written)]
    one.close()

    memory_before = memory_kib(daemon)
    streams = [EventStream(http_port) for _ in range(options.streams)]
    time.sleep(SETTLE_S)
    memory_connected = memory_kib(daemon)
    before = cpu_ticks(daemon)
    started = time.monotonic()
    written = press_times(simulated, streams, options.stream_presses, draw)
    window = time.monotonic() - started
    cpu = (cpu_ticks(daemon) - before) / CLOCK_TICKS
    memory_streams = memory_kib(daemon)
    received = [stream.presses() for stream in streams]
    many = [at - start for stream in received for at, start in zip(stream, written)]
    missed = sum(max(0, len(written) - len(stream)) for stream in received)
    silent = sum(1 for stream in received if not stream)
    for stream in streams:
        stream.close()

    time.sleep(SETTLE_S)
    before = cpu_ticks(daemon)
    rate = get_rate(http_port, options.clients, options.seconds)
    rate["daemon_cpu"] = (cpu_ticks(daemon) - before) / CLOCK_TICKS
    simulated.stop()
    listener.close()
    broker.close()
    result = {"kind": "http", "interval": options.interval, "single": single,
              "presses": options.presses, "streams": options.streams, "many": many,
              "stream_presses": len(written), "missed": missed, "silent": silent, "window": window, "cpu": cpu,
              "memory_before": memory_before, "memory_connected": memory_connected,
              "memory_streams": memory_streams, "rate": rate}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


# The report.

def nearest_rank(values, fraction):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def verdict(value, goal):
    return "met" if value <= goal else "not met"


def broker_kind(result):
    return "broker `set_tcp_nodelay true`" if result["nodelay_broker"] else "broker as shipped"


def percent(cpu, window):
    return 100 * cpu / window


def report(paths):
    results = [json.load(open(path)) for path in paths]
    latencies = [r for r in results if r["kind"] == "latency"]
    if latencies:
        print("| button, through the control FIFO, to the message at a subscriber | changes "
              "| p50 | p99 | max | goal (p99) | |")
        print("|---|---|---|---|---|---|---|")
        for result in latencies:
            interval = result["interval"]
            goal = (interval + 5) / 1000
            for word in ("pressed", "released"):
                values = result[word]
                if not values:
                    continue
                p99 = nearest_rank(values, 0.99)
                print(f"| `--interval {interval}`: push to `{word}` | {len(values)} "
                      f"| {ms(nearest_rank(values, 0.5))} | {ms(p99)} | {ms(max(values))} "
                      f"| {ms(goal)} | {verdict(p99, goal)} |")
        print()
        missing = sum(r["missing_button"] for r in latencies)
        print(f"Button changes with no message within {WAIT_S:g} s: {missing}.")
        print()
        for result in latencies:
            sets = result["sets"]
            if not sets:
                continue
            print(f"| `set` (QoS {QOS}) at `--interval {result['interval']}`, "
                  f"{broker_kind(result)} | commands | p50 "
                  "| p99 | max | goal (p99) | |")
            print("|---|---|---|---|---|---|---|")
            if result["requests_match"]:
                to_request = [s["request"] - s["published"] for s in sets]
                p99 = nearest_rank(to_request, 0.99)
                print(f"| publish to the LED request at the board | {len(to_request)} "
                      f"| {ms(nearest_rank(to_request, 0.5))} | {ms(p99)} "
                      f"| {ms(max(to_request))} | 10.0 ms | {verdict(p99, 0.010)} |")
            to_state = [s["state"] - s["published"] for s in sets if s["state"] is not None]
            print(f"| publish to the state message at the subscriber | {len(to_state)} "
                  f"| {ms(nearest_rank(to_state, 0.5))} | {ms(nearest_rank(to_state, 0.99))} "
                  f"| {ms(max(to_state))} | | |")
            print()
            lost = sum(1 for s in sets if s["state"] is None)
            print(f"{len(sets)} commands, {result['led_requests']} LED requests in the "
                  f"simulator's log, each with its command's value and in order: "
                  f"{'yes' if result['requests_match'] else 'NO'}; no state within "
                  f"{WAIT_S:g} s: {lost}.")
            print()
    for result in (r for r in results if r["kind"] == "load"):
        window = result["window"]
        boards = len(result["boards"])
        cpu, memory = result["cpu"], result["memory"]
        print(f"| {boards} boards at `--interval {result['interval']}`, {window:.1f} s "
              "| CPU (utime + stime) | % of one core | VmRSS | VmHWM | threads | goal |")
        print("|---|---|---|---|---|---|---|")
        goals = {"daemon": "≤ 4 % and ≤ 10 MiB", "simulator": "", "broker": ""}
        for name in cpu:
            share = percent(cpu[name], window)
            line = (f"| {name} | {cpu[name] * 1000:.0f} ms | {share:.2f} % "
                    f"| {memory[name]['VmRSS'] / 1024:.1f} MiB "
                    f"| {memory[name]['VmHWM'] / 1024:.1f} MiB | {memory[name]['Threads']} ")
            if name == "daemon":
                met = share <= 4 and memory[name]["VmHWM"] <= 10 * 1024
                line += f"| {goals[name]}: {'met' if met else 'not met'} |"
            else:
                line += "| |"
            print(line)
        print()
        if "Python bridge" in cpu:
            ratio = cpu["daemon"] / cpu["Python bridge"] if cpu["Python bridge"] else math.inf
            print(f"The daemon's CPU / the Python bridge's: {ratio:.2f} (goal ≤ 0.5: "
                  f"{'met' if ratio <= 0.5 else 'not met'}); each simulator's CPU is its own.")
            print()
        print(f"Messages at the subscriber in the window (boards left alone): "
              f"{result['messages']}.")
        print()
    for result in (r for r in results if r["kind"] == "http"):
        interval = result["interval"]
        goal = (interval + 10) / 1000
        print(f"| HTTP at `--interval {interval}`: push to the `button` event | events | p50 "
              "| p99 | max | goal (p99) | |")
        print("|---|---|---|---|---|---|---|")
        for name, values in ((f"one event stream, {result['presses']} presses", result["single"]),
                             (f"{result['streams']} event streams at once, "
                              f"{result['stream_presses']} presses", result["many"])):
            p99 = nearest_rank(values, 0.99)
            print(f"| {name} | {len(values)} | {ms(nearest_rank(values, 0.5))} | {ms(p99)} "
                  f"| {ms(max(values))} | {ms(goal)} | {verdict(p99, goal)} |")
        print()
        missed = result["missed"]
        print(f"| the daemon with {result['streams']} event streams | measured | goal |")
        print("|---|---|---|")
        print(f"| press events missed, of {result['streams'] * result['stream_presses']} | "
              f"{missed} | none: {'met' if missed == 0 else 'not met'} |")
        print(f"| streams that received no press at all | {result['silent']} | |")
        print(f"| CPU over the {result['window']:.1f} s of presses | "
              f"{percent(result['cpu'], result['window']):.2f} % of one core "
              f"({result['cpu'] * 1000:.0f} ms) | |")
        for name, key in (("before the streams", "memory_before"),
                          ("with the streams connected", "memory_connected"),
                          ("after the presses", "memory_streams")):
            memory = result[key]
            print(f"| VmRSS and threads {name} | {memory['VmRSS'] / 1024:.1f} MiB, "
                  f"{memory['Threads']} threads | |")
        print()
        rate = result["rate"]
        print(f"GET /api/boards with {rate['clients']} Python threads (http.client, keep-alive, "
              f"loopback) for {rate['seconds']:.1f} s: {rate['answers']} answers, "
              f"{rate['answers'] / rate['seconds']:.0f} per second, {rate['failures']} not 200; "
              f"the daemon's CPU meanwhile {percent(rate['daemon_cpu'], rate['seconds']):.0f} % "
              "of one core.")
        print()
    for result in (r for r in results if r["kind"] == "fleet"):
        commands = result["commands"]
        window = result["window"]
        confirmed = [c["state"] - c["published"] for c in commands if c["state"] is not None]
        lost = len(commands) - len(confirmed)
        p99 = nearest_rank(confirmed, 0.99)
        cpu = result["cpu"]
        print(f"| fleet: {result['daemons']} daemons × 2 boards, one broker, "
              f"{len(commands)} `set` commands in {window:.1f} s, {broker_kind(result)} "
              "| measured | goal | |")
        print("|---|---|---|---|")
        print(f"| commands without their state message within {WAIT_S:g} s | {lost} | none "
              f"| {'met' if lost == 0 else 'not met'} |")
        print(f"| command to state, p50 | {ms(nearest_rank(confirmed, 0.5))} | | |")
        print(f"| command to state, p99 | {ms(p99)} | 50.0 ms | {verdict(p99, 0.050)} |")
        print(f"| command to state, max | {ms(max(confirmed))} | | |")
        if result["requests_match"]:
            for name, start, end in (("command to LED request", "published", "request"),
                                     ("LED request to state", "request", "state")):
                part = [c[end] - c[start] for c in commands if c["state"] is not None]
                print(f"| {name}, p50 and p99 | {ms(nearest_rank(part, 0.5))}, "
                      f"{ms(nearest_rank(part, 0.99))} | | |")
        else:
            print("| LED requests in the simulators' logs | not one per command, in order | | |")
        share = percent(cpu["daemons"], window)
        print(f"| CPU of all daemons together | {share:.2f} % of one core "
              f"({cpu['daemons'] * 1000:.0f} ms) | ≤ 10 % | {verdict(share, 10)} |")
        print(f"| CPU of the broker | {percent(cpu['broker'], window):.2f} % "
              f"({cpu['broker'] * 1000:.0f} ms) | | |")
        print(f"| CPU of the simulators together | {percent(cpu['simulators'], window):.2f} % "
              f"({cpu['simulators'] * 1000:.0f} ms) | | |")
        idle, idle_window = result["idle_cpu"], result["idle_window"]
        print(f"| the same, left alone for {idle_window:.1f} s before the commands: daemons, "
              f"broker, simulators | {percent(idle['daemons'], idle_window):.2f} %, "
              f"{percent(idle['broker'], idle_window):.2f} %, "
              f"{percent(idle['simulators'], idle_window):.2f} % | | |")
        hwm = result["daemon_hwm_kib"]
        print(f"| VmHWM of a daemon, median and max | {nearest_rank(hwm, 0.5) / 1024:.1f} MiB, "
              f"{max(hwm) / 1024:.1f} MiB | | |")
        print()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("latency", "load", "fleet", "http"):
        command = commands.add_parser(name)
        for option in ("--sim", "--daemon", "--broker", "--folder", "--out"):
            command.add_argument(option, required=True)
        command.add_argument("--interval", type=int, default=50)
        command.add_argument("--nodelay-broker", action="store_true",
                             help="the broker with set_tcp_nodelay true")
        if name == "latency":
            command.add_argument("--presses", type=int, default=200)
            command.add_argument("--sets", type=int, default=200)
        elif name == "load":
            command.add_argument("--boards", type=int, default=8)
            command.add_argument("--seconds", type=float, default=30)
            command.add_argument("--python-bridge", action="store_true",
                                 help="bench/python_bridge.py on the same boards, measured beside")
        elif name == "http":
            command.add_argument("--presses", type=int, default=200)
            command.add_argument("--streams", type=int, default=100)
            command.add_argument("--stream-presses", type=int, default=30)
            command.add_argument("--clients", type=int, default=4)
            command.add_argument("--seconds", type=float, default=5)
        else:
            command.add_argument("--daemons", type=int, default=20)
            command.add_argument("--bursts", type=int, default=100)
            command.add_argument("--idle-seconds", type=float, default=10)
    commands.add_parser("report").add_argument("json", nargs="+")
    options = parser.parse_args()
    if options.command == "report":
        report(options.json)
    else:
        os.makedirs(options.folder, exist_ok=True)
        {"latency": latency, "load": load, "fleet": fleet,
         "http": http_bench}[options.command](options)


if __name__ == "__main__":
    main()
