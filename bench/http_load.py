#!/usr/bin/python3
"""Measures ledboardd's HTTP front end under load; bench/daemon drives it (bench/README.md has the
method and the results).

    http_load.py slow --slow N --seconds S --out JSON   (COMMON options below)
        N connections that each send one byte of a request head every 2 s (100 from each of
        127.0.0.2, 127.0.0.3, ..., kept at N: one the daemon drops is opened again), and for S
        seconds meanwhile GET /api/boards from 127.0.0.1, each on a connection of its own: its
        latency
    http_load.py streams --streams N --presses N --out JSON
        N event streams at once (100 from each of 127.0.1.1, 127.0.1.2, ...), read by one thread
        with epoll: how many are served, a button press to every stream's `button` event, the
        daemon's VmRSS, and its threads left alone before the streams
    http_load.py report JSON...
        the Markdown tables

COMMON: --sim LEDBOARD-SIM --daemon LEDBOARDD --broker MOSQUITTO --folder DIR [--label TEXT]

Each measurement starts a mosquitto of its own (daemon.py's Broker) and one daemon with one board
under the simulator. A benchmark never fails on its numbers.
"""
import argparse
import json
import math
import os
import select
import socket
import threading
import time

import daemon as bench  # bench/daemon.py: the broker, the simulated daemon, /proc readings

# A slow client sends one byte of its request head this often.
SLOW_BYTE_S = 2.0
# Connections from one loopback address, below the daemon's 128 per address.
PER_SOURCE = 100
# The longest a GET, a stream's first answer or a press at every stream is waited for.
WAIT_S = 10.0
# Between two GETs, and between a press's last event and the next press.
GET_SPACING_S = 0.02
PRESS_SPACING_S = 0.1


def source(base, index):
    """The loopback address of connection `index`: PER_SOURCE from each, from 127.0.`base`.1."""
    return f"127.0.{base}.{index // PER_SOURCE + 1}" if base else f"127.0.0.{index // PER_SOURCE + 2}"


def start(options, name):
    broker = bench.Broker(options.broker, options.folder)
    options.port = broker.port
    listener = bench.Listener(broker.port)
    http_port = bench.free_port()
    simulated = bench.Simulated(options, name, ["--board", "serial=A17"], options.interval,
                                extra=("--http", f"127.0.0.1:{http_port}"))
    bench.online_boards(listener, 1)
    return broker, listener, simulated, http_port


def stop(broker, listener, simulated):
    simulated.stop()
    listener.close()
    broker.close()


class Slow:
    """Connections that trickle a request head in, one byte every SLOW_BYTE_S, on a thread."""

    def __init__(self, port, count):
        self.port, self.count = port, count
        self.head = f"GET /api/boards HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode()
        self.sockets = {}  # index -> (socket, bytes sent)
        self.reopened = 0
        self.refused = 0
        self.running = True
        for index in range(count):
            self._open(index)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _open(self, index):
        sock = socket.socket()
        sock.settimeout(1.0)
        try:
            sock.bind((source(0, index), 0))
            sock.connect(("127.0.0.1", self.port))
            # The first byte at once: a server that waits a moment for a request to start must
            # not see an idle connection.
            sock.send(self.head[:1])
            sock.setblocking(False)
            self.sockets[index] = (sock, 1)
        except OSError:
            sock.close()
            self.refused += 1
            self.sockets.pop(index, None)

    def _run(self):
        while self.running:
            time.sleep(SLOW_BYTE_S)
            for index in range(self.count):
                entry = self.sockets.get(index)
                if entry is None:
                    self._open(index)
                    continue
                sock, sent = entry
                try:
                    if sock.recv(4096, socket.MSG_DONTWAIT) == b"":
                        raise ConnectionResetError  # closed by the daemon
                except BlockingIOError:
                    pass
                except OSError:
                    sock.close()
                    self.reopened += 1
                    self._open(index)
                    continue
                try:
                    sock.send(self.head[sent % (len(self.head) - 2):][:1])
                    self.sockets[index] = (sock, sent + 1)
                except OSError:
                    sock.close()
                    self.reopened += 1
                    self._open(index)

    def close(self):
        self.running = False
        self.thread.join()
        for sock, _ in self.sockets.values():
            sock.close()


def get_once(port):
    """Seconds from connect to the whole answer of GET /api/boards, or None when it failed."""
    started = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as sock:
            sock.sendall(f"GET /api/boards HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                         "Connection: close\r\n\r\n".encode())
            answer = b""
            while True:
                data = sock.recv(65536)
                if not data:
                    break
                answer += data
        return time.monotonic() - started if answer.startswith(b"HTTP/1.1 200") else None
    except OSError:
        return None


def slow(options):
    broker, listener, simulated, port = start(options, "slow")
    baseline = [get_once(port) for _ in range(50)]
    crowd = Slow(port, options.slow)
    time.sleep(SLOW_BYTE_S + 0.5)  # every slow connection has sent a byte
    latencies = []
    stop_at = time.monotonic() + options.seconds
    while time.monotonic() < stop_at:
        latencies.append(get_once(port))
        time.sleep(GET_SPACING_S)
    held = len(crowd.sockets)
    crowd.close()
    stop(broker, listener, simulated)
    result = {"kind": "slow", "label": options.label, "slow": options.slow,
              "held": held, "reopened": crowd.reopened, "refused": crowd.refused,
              "baseline": baseline, "latencies": latencies}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


def open_streams(port, count):
    """GET /api/events `count` times; the sockets answered 200, and how many were not."""
    streams, failed = [], 0
    for index in range(count):
        sock = socket.socket()
        sock.settimeout(WAIT_S)
        try:
            sock.bind((source(1, index), 0))
            sock.connect(("127.0.0.1", port))
            sock.sendall(f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
            streams.append(sock)
        except OSError:
            sock.close()
            failed += 1
    return streams, failed


class Reader:
    """Every stream read by one thread with epoll: per stream, when its n-th `button` event with
    "pressed":true came, and whether it was answered 200 with a snapshot."""

    def __init__(self, streams):
        self.poll = select.epoll()
        self.streams = {sock.fileno(): sock for sock in streams}
        self.buffers = {fd: b"" for fd in self.streams}
        self.presses = {fd: [] for fd in self.streams}
        self.served = set()
        self.ended = set()
        self.reached = {}  # press number -> how many streams have had it
        self.answered = set()  # 200 seen (this thread only)
        for fd in self.streams:
            self.poll.register(fd, select.EPOLLIN)
        self.changed = threading.Condition()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            ready = self.poll.poll(0.2)
            if not ready:
                continue
            # One pass over every ready stream, then one wake-up of the waiting thread: a wake-up
            # per stream would cost the reader more than the daemon's writes.
            ended, served, arrivals = [], [], []
            for fd, _ in ready:
                try:
                    data = self.streams[fd].recv(65536)
                except OSError:
                    data = b""
                arrived = time.monotonic()
                if not data:
                    self.poll.unregister(fd)
                    ended.append(fd)
                    continue
                text = self.buffers[fd] + data
                count = text.count(b'"pressed":true')
                if fd not in self.answered and text.startswith(b"HTTP/1.1 200"):
                    self.answered.add(fd)
                if fd in self.answered and b"event: snapshot" in text:
                    served.append(fd)
                if count:
                    arrivals.append((fd, arrived, count))
                # What a frame split across reads may need; the rest is counted already.
                self.buffers[fd] = text[-64:].split(b"\n")[-1] if count == 0 else b""
            with self.changed:
                self.ended.update(ended)
                self.served.update(served)
                for fd, arrived, count in arrivals:
                    for _ in range(count):
                        self.presses[fd].append(arrived)
                        number = len(self.presses[fd])
                        self.reached[number] = self.reached.get(number, 0) + 1
                self.changed.notify_all()

    def wait(self, check, limit):
        deadline = time.monotonic() + limit
        with self.changed:
            while not check():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.changed.wait(left)
        return True

    def close(self):
        self.running = False
        self.thread.join()
        for sock in self.streams.values():
            sock.close()


def streams(options):
    broker, listener, simulated, port = start(options, "streams")
    daemon = simulated.daemon
    time.sleep(bench.SETTLE_S)
    idle = bench.memory_kib(daemon)
    opened = time.monotonic()
    sockets, failed = open_streams(port, options.streams)
    reader = Reader(sockets)
    reader.wait(lambda: len(reader.served) + len(reader.ended) >= len(sockets), WAIT_S)
    open_seconds = time.monotonic() - opened
    served = len(reader.served)
    time.sleep(bench.SETTLE_S)
    connected = bench.memory_kib(daemon)
    latencies, spreads, missed = [], [], 0
    for number in range(1, options.presses + 1):
        time.sleep(PRESS_SPACING_S)
        written = time.monotonic()
        simulated.change("push")
        live = [fd for fd in reader.served if fd not in reader.ended]
        reader.wait(lambda: reader.reached.get(number, 0) >= len(live), WAIT_S)
        with reader.changed:
            arrivals = [reader.presses[fd][number - 1] for fd in live
                        if len(reader.presses[fd]) >= number]
        missed += len(live) - len(arrivals)
        latencies += [at - written for at in arrivals]
        if arrivals:
            # The daemon's read of the board sets the first; the fan-out, the last.
            spreads.append(max(arrivals) - min(arrivals))
        time.sleep(PRESS_SPACING_S)
        simulated.change("release")
    pressed = bench.memory_kib(daemon)
    reader.close()
    stop(broker, listener, simulated)
    result = {"kind": "streams", "label": options.label, "streams": options.streams,
              "served": served, "failed": failed, "ended": len(reader.ended),
              "open_seconds": open_seconds, "presses": options.presses, "latencies": latencies,
              "spreads": spreads,
              "missed": missed, "idle": idle, "connected": connected, "pressed": pressed}
    with open(options.out, "w") as out:
        json.dump(result, out, indent=1)


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def summary(values):
    """p50, p99 and max with a GET that failed (no answer within WAIT_S) ranked as slower than any
    answer, and the count of those."""
    ranked = [v if v is not None else math.inf for v in values]
    shown = [ms(v) if v != math.inf else f"none within {WAIT_S:g} s" for v in
             (bench.nearest_rank(ranked, 0.5), bench.nearest_rank(ranked, 0.99), max(ranked))]
    return (*shown, str(sum(1 for v in values if v is None)))


def report(paths):
    results = [json.load(open(path)) for path in paths]
    slow_runs = [r for r in results if r["kind"] == "slow"]
    if slow_runs:
        print("| `GET /api/boards`, each on a new connection | slow connections | GETs | p50 "
              "| p99 | max | not answered 200 within 10 s "
              "| slow ones reopened after the daemon dropped them |")
        print("|---|---|---|---|---|---|---|---|")
        for r in slow_runs:
            p50, p99, top, failed = summary(r["baseline"])
            print(f"| {r['label']}, alone | 0 | {len(r['baseline'])} | {p50} | {p99} | {top} "
                  f"| {failed} | |")
            p50, p99, top, failed = summary(r["latencies"])
            print(f"| {r['label']}, beside the slow ones | {r['slow']} | {len(r['latencies'])} "
                  f"| {p50} | {p99} | {top} | {failed} | {r['reopened']} |")
        print()
    for r in (r for r in results if r["kind"] == "streams"):
        print(f"| {r['label']}: {r['streams']} event streams at once | measured | goal |")
        print("|---|---|---|")
        print(f"| streams served (200 and a snapshot) | {r['served']} of {r['streams']} "
              f"(in {r['open_seconds']:.1f} s; {r['failed']} not connected, {r['ended']} "
              f"closed) | all |")
        if r["latencies"]:
            p99 = bench.nearest_rank(r["latencies"], 0.99)
            print(f"| a press to every stream's `button` event, {r['presses']} presses: p50, "
                  f"p99, max | {ms(bench.nearest_rank(r['latencies'], 0.5))}, {ms(p99)}, "
                  f"{ms(max(r['latencies']))} | p99 ≤ 100 ms |")
        if r["spreads"]:
            print(f"| of which from the first stream's event to the last one's, per press: p50, "
                  f"max | {ms(bench.nearest_rank(r['spreads'], 0.5))}, {ms(max(r['spreads']))} "
                  "| |")
        print(f"| press events missed | {r['missed']} | none |")
        print(f"| VmRSS with the streams connected; after the presses; VmHWM "
              f"| {r['connected']['VmRSS'] / 1024:.1f} MiB; {r['pressed']['VmRSS'] / 1024:.1f} "
              f"MiB; {r['pressed']['VmHWM'] / 1024:.1f} MiB | ≤ 32 MiB |")
        print(f"| threads left alone, one board, before the streams; with them "
              f"| {r['idle']['Threads']}; {r['connected']['Threads']} | ≤ 8 |")
        print(f"| VmRSS left alone before the streams | {r['idle']['VmRSS'] / 1024:.1f} MiB | |")
        print()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    for name in ("slow", "streams"):
        command = commands.add_parser(name)
        for option in ("--sim", "--daemon", "--broker", "--folder", "--out"):
            command.add_argument(option, required=True)
        command.add_argument("--label", default="ledboardd")
        command.add_argument("--interval", type=int, default=50)
        if name == "slow":
            command.add_argument("--slow", type=int, default=300)
            command.add_argument("--seconds", type=float, default=20)
        else:
            command.add_argument("--streams", type=int, default=1000)
            command.add_argument("--presses", type=int, default=20)
    commands.add_parser("report").add_argument("json", nargs="+")
    options = parser.parse_args()
    if options.command == "report":
        report(options.json)
        return
    os.makedirs(options.folder, exist_ok=True)
    {"slow": slow, "streams": streams}[options.command](options)


if __name__ == "__main__":
    main()
