#!/usr/bin/env python3
"""ledboardd's GET /metrics end to end, checked by Debian's own Prometheus: promtool checks a
scrape, and a prometheus server of the test's own scrapes the daemon every second until its query
API has the board's reads. The daemon runs as http_e2e.py runs it, with --metrics and a token.

  metrics_e2e.py --daemon LEDBOARDD --sim LEDBOARD-SIM --broker MOSQUITTO

Exits 77, which CTest counts as skipped, where prometheus and promtool are not installed.
"""
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.parse

import daemon_e2e
from daemon_e2e import WAIT, free_port
from http_e2e import HttpCase, open_stream, request

SKIPPED = 77
PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")
# A prometheus server starts, opens its database and scrapes once a second: on a loaded 2-core
# machine its first sample may take a while.
PROMETHEUS_WAIT = 120.0
TOKEN = "m3trics"
RIGHT = {"Authorization": f"Bearer {TOKEN}"}
CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"


def samples(text):
    """{'name{labels}': value} of every sample in a scrape."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            key, _, value = line.rpartition(" ")
            found[key] = float(value)
    return found


class MetricsTest(HttpCase):
    def start_metrics(self):
        token_file = os.path.join(self.folder, "token")
        with open(token_file, "w") as file:
            file.write(TOKEN + "\n")
        daemon = self.start_http(extra=("--metrics", "--http-token-file", token_file))
        self.wait_for_boards(headers=RIGHT)
        return daemon, token_file

    def scrape(self):
        status, headers, data = self.get("/metrics", headers=RIGHT)
        self.assertEqual((status, headers["content-type"]), (200, CONTENT_TYPE))
        return data.decode()

    def wait_for_sample(self, name, value):
        deadline = time.monotonic() + WAIT
        while True:
            got = samples(self.scrape()).get(name)
            if got == value:
                return
            self.assertLess(time.monotonic(), deadline, f"{name} stayed {got}, not {value}")
            time.sleep(0.05)

    def test_a_scrape_passes_promtool_and_follows_the_daemon(self):
        daemon, _ = self.start_metrics()
        status, headers, _ = self.get("/metrics")
        self.assertEqual((status, headers["www-authenticate"]), (401, "Bearer"))
        host = socket.gethostname()
        # One LED command applied; three refused here, one over MQTT; a stream open.
        self.assertEqual(self.put_one("A17", 2, "true", headers=RIGHT)[0], 200)
        self.assertEqual(self.put_one("A17", 2, "maybe", headers=RIGHT)[0], 400)
        self.assertEqual(self.put_led("B99", "1", headers=RIGHT)[0], 404)
        self.assertEqual(self.delete("A17", headers=RIGHT)[0], 409)
        # Online once it has subscribed: the set is not lost.
        self.watcher.wait_for(self.topic("availability"), "online")
        self.watcher.publish(self.topic("set"), "x")
        self.wait_for_sample('ledboardd_commands_refused_total{front_end="mqtt"}', 1)
        stream = open_stream("127.0.0.1", self.http_port, [f"Authorization: Bearer {TOKEN}"])
        self.assertIsInstance(stream, socket.socket, stream)
        self.addCleanup(stream.close)

        text = self.scrape()
        check = subprocess.run([PROMTOOL, "check", "metrics"], input=text, capture_output=True,
                               text=True, timeout=WAIT)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""), text)
        got = samples(text)
        for name, value in (('ledboardd_board_commands_applied_total{board="A17"}', 1),
                            (f'ledboardd_board_commands_applied_total{{board="{host}-1-2"}}', 0),
                            ('ledboardd_board_presses_total{board="A17"}', 0),
                            ('ledboardd_board_read_failures_total{board="A17"}', 0),
                            ('ledboardd_board_available{board="A17"}', 1),
                            ('ledboardd_commands_refused_total{front_end="http"}', 3),
                            ('ledboardd_mqtt_connected', 1),
                            ('ledboardd_mqtt_reconnects_total', 0),
                            ('ledboardd_http_event_streams', 1)):
            self.assertEqual(got.get(name), value, name)
        reads = got['ledboardd_board_reads_total{board="A17"}']
        timed = got['ledboardd_board_read_seconds_count{board="A17"}']
        self.assertGreater(reads, 0)
        # Every exchange is timed with --metrics; the count is the +Inf bucket's.
        self.assertGreater(timed, 0)
        self.assertEqual(got['ledboardd_board_read_seconds_bucket{board="A17",le="+Inf"}'], timed)
        # This scrape's connection and the stream's, at least.
        self.assertGreaterEqual(got["ledboardd_http_connections"], 2)

        # The gauges follow: the stream ends, a board leaves and comes back.
        stream.close()
        self.wait_for_sample("ledboardd_http_event_streams", 0)
        daemon.change("push")
        self.wait_for_sample('ledboardd_board_presses_total{board="A17"}', 1)
        daemon.change("unplug@2")
        self.wait_for_sample(f'ledboardd_board_available{{board="{host}-1-2"}}', 0)
        daemon.change("plug@2")
        self.wait_for_sample(f'ledboardd_board_available{{board="{host}-1-2"}}', 1)

    def test_prometheus_scrapes_the_daemon_with_its_token(self):
        _, token_file = self.start_metrics()
        port = free_port()
        config = os.path.join(self.folder, "prometheus.yml")
        with open(config, "w") as file:
            file.write(f"""global:
  scrape_interval: 1s
scrape_configs:
  - job_name: ledboardd
    scrape_interval: 1s
    authorization:
      type: Bearer
      credentials_file: {token_file}
    static_configs:
      - targets: ["127.0.0.1:{self.http_port}"]
""")
        log_path = os.path.join(self.folder, "prometheus.log")
        with open(log_path, "w") as log:
            server = subprocess.Popen(
                [PROMETHEUS, f"--config.file={config}",
                 f"--storage.tsdb.path={os.path.join(self.folder, 'prometheus-data')}",
                 f"--web.listen-address=127.0.0.1:{port}"],
                stdout=log, stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (server.terminate(), server.wait()))
        query = "/api/v1/query?" + urllib.parse.urlencode(
            {"query": 'ledboardd_board_reads_total{board="A17"}'})
        deadline = time.monotonic() + PROMETHEUS_WAIT
        while True:
            try:
                status, _, answer = request(port, "GET", query)
                result = answer["data"]["result"] if status == 200 else []
                if result and float(result[0]["value"][1]) > 0:
                    break
            except OSError:
                pass  # not listening yet
            if server.poll() is not None or time.monotonic() > deadline:
                with open(log_path) as log:
                    self.fail(f"no reads of A17 in prometheus within {PROMETHEUS_WAIT} s:\n"
                              + log.read())
            time.sleep(0.2)
        # It scraped with the token: its target is up.
        status, _, answer = request(port, "GET", "/api/v1/query?query=up")
        self.assertEqual([r["value"][1] for r in answer["data"]["result"]], ["1"])


def prepare(_args):
    if not PROMETHEUS or not PROMTOOL:
        print("metrics_e2e: skipped: prometheus and promtool are not installed "
              "(sudo apt-get install prometheus)", file=sys.stderr)
        sys.exit(SKIPPED)


if __name__ == "__main__":
    daemon_e2e.run_suite(prepare=prepare)
