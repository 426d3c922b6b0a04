#!/usr/bin/python3
"""What one GET /metrics costs ledboardd end to end: the daemon under the simulator with BOARDS
boards, --metrics, a mosquitto of its own; SCRAPES scrapes one after another on one keep-alive
connection, then an idle window as long. The daemon's CPU per scrape is what the scrapes took
beyond the idle window (both from /proc/PID/stat, in clock ticks), divided by SCRAPES.

    metrics_scrape.py --sim LEDBOARD-SIM --daemon LEDBOARDD --broker MOSQUITTO
                      [--boards N] [--scrapes N] [--interval MS]

bench/README.md has the figures and ledboard-bench-metrics the same work without HTTP.
"""
import argparse
import http.client
import json
import statistics
import tempfile
import time

import daemon as bench


def main():
    parser = argparse.ArgumentParser()
    for name in ("--sim", "--daemon", "--broker"):
        parser.add_argument(name, required=True)
    parser.add_argument("--boards", type=int, default=100)
    parser.add_argument("--scrapes", type=int, default=2000)
    # Reads far apart, so that the idle window is nearly idle and the difference is the scrapes'.
    parser.add_argument("--interval", type=int, default=1000)
    options = parser.parse_args()
    options.folder = tempfile.mkdtemp(prefix="ledboardd-metrics-")
    broker = bench.Broker(options.broker, options.folder)
    options.port = broker.port
    boards = ["--board", "serial=B1"]
    for number in range(2, options.boards + 1):
        boards += ["--after", f"board,serial=B{number}"]
    http_port = bench.free_port()
    simulated = bench.Simulated(options, "metrics", boards, options.interval,
                                extra=("--http", str(http_port), "--metrics"))
    connection = http.client.HTTPConnection("127.0.0.1", http_port, timeout=bench.WAIT_S)

    def get(path):
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.read()

    deadline = time.monotonic() + bench.WAIT_S * 6
    while True:
        try:
            status, data = get("/api/boards")
            if status == 200 and sum(b["available"] for b in
                                     json.loads(data)["boards"]) == options.boards:
                break
        except OSError:
            connection.close()
        if time.monotonic() > deadline:
            raise SystemExit(f"metrics_scrape.py: {options.boards} boards not up")
        time.sleep(0.1)
    time.sleep(bench.SETTLE_S)

    times, size = [], 0
    before = bench.cpu_ticks(simulated.daemon)
    started = time.monotonic()
    for _ in range(options.scrapes):
        start = time.monotonic()
        status, data = get("/metrics")
        times.append(time.monotonic() - start)
        if status != 200:
            raise SystemExit(f"metrics_scrape.py: /metrics answered {status}")
        size = len(data)
    window = time.monotonic() - started
    busy = bench.cpu_ticks(simulated.daemon) - before
    before = bench.cpu_ticks(simulated.daemon)
    time.sleep(window)
    idle = bench.cpu_ticks(simulated.daemon) - before
    connection.close()
    simulated.stop()
    broker.close()
    per_scrape = (busy - idle) / bench.CLOCK_TICKS / options.scrapes
    print(f"| {options.boards} | {size} | {options.scrapes} in {window:.1f} s | "
          f"{statistics.median(times) * 1e3:.2f} ms | {busy / bench.CLOCK_TICKS:.2f} s, "
          f"idle {idle / bench.CLOCK_TICKS:.2f} s | {per_scrape * 1e6:.0f} µs |")


if __name__ == "__main__":
    main()
