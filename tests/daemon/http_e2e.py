#!/usr/bin/env python3
"""ledboardd's HTTP front end end to end: the daemon under ledboard-sim with two boards, --http on
a free loopback port, and a mosquitto broker of the test's own (the daemon always has its MQTT
side), started as daemon_e2e.py does.

  http_e2e.py --daemon LEDBOARDD --sim LEDBOARD-SIM --broker MOSQUITTO

What is asserted is each status code, the JSON that comes back, and what reached the boards
(the simulator's request log).
"""
import http.client
import json
import os
import resource
import signal
import socket
import tempfile
import threading
import time
import unittest

import daemon_e2e
from daemon_e2e import WAIT, DaemonCase, free_port

WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "ledboardd", "http",
                   "web")
FIRST_BOARD = "001/002"  # where the simulator puts the board, then --second-board


def request(port, method, path, body=None, headers=None, host="127.0.0.1"):
    """(status, headers as a dict with lower-case names, body as JSON when it is JSON)"""
    connection = http.client.HTTPConnection(host, port, timeout=WAIT)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        data = response.read()
        names = {name.lower(): value for name, value in response.getheaders()}
        if names.get("content-type") == "application/json":
            data = json.loads(data)
        return response.status, names, data
    finally:
        connection.close()


def raw_request(port, head, body=b""):
    """Sends the request line and headers in `head` (lines without their CRLF) exactly as given,
    with no header of http.client's own; (status, headers, body, seconds to the answer), the body
    as JSON when it is JSON (libmicrohttpd's own refusals are HTML)."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as sock:
        start = time.monotonic()
        sock.sendall("".join(line + "\r\n" for line in head).encode() + b"\r\n" + body)
        response = http.client.HTTPResponse(sock)
        response.begin()
        data = response.read()
        took = time.monotonic() - start
        names = {name.lower(): value for name, value in response.getheaders()}
        if names.get("content-type") == "application/json":
            data = json.loads(data)
        return response.status, names, data, took


# Well under the 5 s the daemon gives a client to send what it announced.
AT_ONCE = 1.0


class EventStream:
    """GET /api/events, read on a thread of its own into (event, data) pairs."""

    def __init__(self, port, headers=None):
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
        self.connection.request("GET", "/api/events", headers=headers or {})
        self.response = self.connection.getresponse()
        self.status = self.response.status
        self.content_type = self.response.getheader("Content-Type")
        self.events = []
        self.lines = []  # every line, comments and fields included
        self.ended = False
        self.changed = threading.Condition()
        if self.status == 200:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        event, data = None, []
        try:
            while True:
                line = self.response.readline()
                if not line:
                    break
                line = line.decode().rstrip("\n")
                with self.changed:
                    self.lines.append(line)
                if line.startswith("event: "):
                    event = line[len("event: "):]
                elif line.startswith("data: "):
                    data.append(line[len("data: "):])
                elif line == "" and data:
                    with self.changed:
                        self.events.append((event, json.loads("\n".join(data))))
                        self.changed.notify_all()
                    event, data = None, []
        except (OSError, ValueError, http.client.HTTPException):
            pass
        with self.changed:
            self.ended = True
            self.changed.notify_all()

    def wait_for(self, match, after=0):
        """The index of the first event at or after `after` for which match(event, data)."""
        deadline = time.monotonic() + WAIT
        with self.changed:
            while True:
                for index in range(after, len(self.events)):
                    if match(*self.events[index]):
                        return index
                left = deadline - time.monotonic()
                if left <= 0 or self.ended:
                    raise AssertionError(f"no such event; got {self.events[after:]}")
                self.changed.wait(left)

    def wait_until_ended(self):
        with self.changed:
            return self.changed.wait_for(lambda: self.ended, WAIT)

    def count(self):
        with self.changed:
            return len(self.events)

    def close(self):
        self.connection.close()


class HttpCase(DaemonCase):
    """The daemon with two boards and --http on a port of the test's own."""

    def start_http(self, extra=(), listen="127.0.0.1:{port}"):
        for attempt in range(3):
            self.http_port = free_port()
            try:
                daemon = self.start(devices=("--second-board",),
                                    extra=("--http", listen.format(port=self.http_port), *extra))
            except RuntimeError as error:
                if "address already in use" not in str(error) or attempt == 2:
                    raise
                continue
            # free_port's port may have been taken again meanwhile, as a client's own end of a
            # connection (this suite opens a thousand): then another one.
            deadline = time.monotonic() + WAIT
            while True:
                log = daemon.log_text()
                if "serving HTTP on" in log:
                    return daemon
                if "address already in use" in log and attempt < 2:
                    daemon.close()
                    break
                if time.monotonic() > deadline or daemon.process.poll() is not None:
                    raise AssertionError("the daemon did not serve HTTP: " + log)
                time.sleep(0.02)
        raise AssertionError("no free port for HTTP")

    def get(self, path, **options):
        return request(self.http_port, "GET", path, **options)

    def put_led(self, board, body, **options):
        return request(self.http_port, "PUT", f"/api/boards/{board}/led", body=body, **options)

    def put_one(self, board, led, body, **options):
        return request(self.http_port, "PUT", f"/api/boards/{board}/leds/{led}", body=body,
                       **options)

    def delete(self, board, **options):
        return request(self.http_port, "DELETE", f"/api/boards/{board}", **options)

    def wait_for_boards(self, count=2, headers=None):
        deadline = time.monotonic() + WAIT
        while True:
            try:
                status, _, data = self.get("/api/boards", headers=headers)
                if status == 200 and sum(b["available"] for b in data["boards"]) == count:
                    return data["boards"]
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise AssertionError(f"{count} boards not served within {WAIT} s")
            time.sleep(0.05)

    def wait_for_board(self, board, predicate):
        deadline = time.monotonic() + WAIT
        while True:
            status, _, data = self.get(f"/api/boards/{board}")
            if status == 200 and predicate(data):
                return data
            if time.monotonic() > deadline:
                raise AssertionError(f"{board} never as expected; last {status} {data}")
            time.sleep(0.05)

    def stream(self, **options):
        events = EventStream(self.http_port, **options)
        self.addCleanup(events.close)
        return events


class ApiTest(HttpCase):
    def test_boards_are_listed_and_read_one_by_one(self):
        self.start_http()
        boards = self.wait_for_boards()
        host = socket.gethostname()
        self.assertEqual([b["id"] for b in boards], sorted(["A17", f"{host}-1-2"]))
        first = next(b for b in boards if b["id"] == "A17")
        self.assertEqual(list(first), ["id", "name", "available", "led", "led1", "led2", "led3",
                                       "push", "jump", "serial", "path", "manufacturer",
                                       "product", "pending", "effect"])
        self.assertEqual(first, {"id": "A17", "name": None, "available": True, "led": 0,
                                 "led1": False, "led2": False, "led3": False, "push": 0,
                                 "jump": 0, "serial": "A17", "path": "1-1",
                                 "manufacturer": "ledboard simulator",
                                 "product": "USB LED Board", "pending": None, "effect": None})
        status, headers, one = self.get("/api/boards/A17")
        self.assertEqual((status, headers["content-type"], one), (200, "application/json", first))
        second = self.get(f"/api/boards/{host}-1-2")[2]
        self.assertEqual((second["serial"], second["path"]), (None, "1-2"))

        # Unknown things: 404 with a JSON reason, never a file from disk.
        for path in ("/api/boards/B99", "/api/nothing", "/index.htm", "/appXjs", "/etc/passwd",
                     "/../CMakeLists.txt", "/api/boards/A17/led/x", "/metrics"):
            status, headers, data = self.get(path)
            self.assertEqual(status, 404, path)
            self.assertEqual(headers["content-type"], "application/json", path)
            self.assertIn("error", data, path)

    def test_wrong_methods_are_refused_with_allow(self):
        self.start_http()
        self.wait_for_boards()
        for method, path, allowed in (("POST", "/api/boards", "GET"),
                                      ("DELETE", "/api/boards", "GET"),
                                      ("PUT", "/api/boards/A17", "GET, DELETE"),
                                      ("GET", "/api/boards/A17/led", "PUT"),
                                      ("DELETE", "/api/boards/A17/leds/2", "PUT"),
                                      ("POST", "/api/boards/A17/led", "PUT"),
                                      ("PUT", "/api/events", "GET"),
                                      ("DELETE", "/", "GET")):
            status, headers, data = request(self.http_port, method, path, body="1")
            self.assertEqual((status, headers.get("allow")), (405, allowed), (method, path))
            self.assertIn("error", data)
        # Without Content-Length there is no body to wait for: answered at once.
        host = f"Host: 127.0.0.1:{self.http_port}"
        for method, path, expected, allowed in (("POST", "/api/events", 405, "GET"),
                                                ("POST", "/api/boards", 405, "GET"),
                                                ("PUT", "/api/boards/A17", 405, "GET, DELETE"),
                                                ("POST", "/api/boards/A17/led", 405, "PUT"),
                                                ("DELETE", "/", 405, "GET"),
                                                ("PATCH", "/app.js", 405, "GET"),
                                                ("POST", "/nothing", 404, None),
                                                ("PUT", "/api/boards/A17/led", 400, None)):
            status, headers, data, took = raw_request(self.http_port,
                                                      [f"{method} {path} HTTP/1.1", host])
            self.assertEqual((status, headers.get("allow")), (expected, allowed), (method, path))
            self.assertLess(took, AT_ONCE, (method, path))
            self.assertIn("error", data)

    def test_put_sets_the_leds_and_answers_with_what_the_board_reports(self):
        daemon = self.start_http()
        self.wait_for_boards()
        status, _, board = self.put_led("A17", "5")
        self.assertEqual((status, board["led"], board["available"]), (200, 5, True))
        self.assertEqual(daemon.led_requests(), [(FIRST_BOARD, 5)])
        # Five bits go out; the board shows the low three.
        status, _, board = self.put_led("A17", '{"led": 13}')
        self.assertEqual((status, board["led"]), (200, 5))
        status, _, board = self.put_led("A17", " 2\n")
        self.assertEqual((status, board["led"]), (200, 2))
        self.assertEqual(daemon.led_requests(), [(FIRST_BOARD, 5), (FIRST_BOARD, 13),
                                                 (FIRST_BOARD, 2)])

        for body in ("", "32", "-1", "0x5", "5 6", "abc", "{\"led\":\"5\"}", "{\"led\":5.5}",
                     "{\"led\":5,\"x\":1}", "{\"LED\":5}", "[5]", "{\"led\":5"):
            status, _, data = self.put_led("A17", body)
            self.assertEqual(status, 400, body)
            self.assertIn("error", data, body)
        status, _, data = self.put_led("A17", "1" * 2000)
        self.assertEqual(status, 413)
        self.assertIn("error", data)
        self.assertEqual(self.put_led("B99", "5")[0], 404)
        # None of the refused ones reached a board.
        self.assertEqual(len(daemon.led_requests()), 3)

    def test_one_led_at_a_time_keeps_the_others(self):
        daemon = self.start_http()
        self.wait_for_boards()
        self.assertEqual(self.put_led("A17", "5")[0], 200)
        status, _, board = self.put_one("A17", 2, "true")
        self.assertEqual((status, board["led"], board["led2"]), (200, 7, True))
        for led, body, value in ((1, ' "off"\n', 6), (3, "OFF", 2), (3, '"on"', 6),
                                 (2, "false", 4)):
            status, _, board = self.put_one("A17", led, body)
            self.assertEqual((status, board["led"]), (200, value), body)
        self.assertEqual(daemon.led_requests(),
                         [(FIRST_BOARD, v) for v in (5, 7, 6, 2, 6, 4)])

        for body in ("", "2", "maybe", '"tru"', "true false", '{"on":true}', "on" * 40):
            status, _, data = self.put_one("A17", 1, body)
            self.assertEqual(status, 400, body)
            self.assertIn("error", data, body)
        for led in ("0", "4", "x", "12"):
            self.assertEqual(self.put_one("A17", led, "on")[0], 404, led)
        status, _, data = self.put_one("B99", 1, "on")
        self.assertEqual((status, data), (404, {"error": "no board with this id"}))
        self.assertEqual(len(daemon.led_requests()), 6)

        # An effect on one LED; its end leaves the LED on, as Home Assistant's light expects.
        status, _, board = self.put_one("A17", 1, "blink")
        self.assertEqual((status, board["effect"]), (200, {"blink": {"on_ms": 500,
                                                                      "off_ms": 500}}))
        status, _, board = self.put_one("A17", 1, "none")
        self.assertEqual((status, board["effect"], board["led"]), (200, None, 5))

    def test_a_board_is_forgotten_only_once_it_is_away(self):
        daemon = self.start_http()
        self.wait_for_boards()
        events = self.stream()
        events.wait_for(lambda e, d: e == "snapshot")
        status, _, data = self.delete("A17")
        self.assertEqual((status, data), (409, {"error": "the board is here; unplug it first"}))
        self.assertEqual(self.get("/api/boards/A17")[0], 200)

        daemon.change("unplug")
        self.wait_for_board("A17", lambda b: not b["available"])
        own = f"http://127.0.0.1:{self.http_port}"
        self.assertEqual(self.delete("A17", headers={"Origin": "http://evil.example"})[0], 403)
        self.assertEqual(self.get("/api/boards/A17")[0], 200)
        status, headers, data = self.delete("A17", headers={"Origin": own})
        self.assertEqual((status, data), (204, b""))
        self.assertEqual(self.get("/api/boards/A17")[0], 404)
        retired = events.wait_for(lambda e, d: e == "retired")
        self.assertEqual(events.events[retired][1]["id"], "A17")
        status, _, data = self.delete("A17")
        self.assertEqual((status, data), (404, {"error": "no board with this id"}))
        # A body would mean nothing: refused, and the board stays.
        away = f"{socket.gethostname()}-1-2"
        daemon.change("unplug@2")
        self.wait_for_board(away, lambda b: not b["available"])
        self.assertEqual(request(self.http_port, "DELETE", f"/api/boards/{away}", body="x")[0],
                         400)
        self.assertEqual(self.get(f"/api/boards/{away}")[0], 200)

    def test_a_board_that_is_away_keeps_the_value_for_its_return(self):
        daemon = self.start_http()
        self.wait_for_boards()
        away = f"{socket.gethostname()}-1-2"
        daemon.change("unplug@2")
        self.wait_for_board(away, lambda b: not b["available"])
        # Another viewer's stream, open before the values are kept.
        events = self.stream()
        events.wait_for(lambda e, d: e == "snapshot")
        status, _, board = self.put_led(away, "7")
        self.assertEqual((status, board["available"], board["pending"]), (202, False, 7))
        self.assertEqual(self.get("/api/boards")[2]["boards"][1]["pending"], 7)
        kept = events.wait_for(lambda e, d: e == "state" and d["id"] == away)
        self.assertEqual(events.events[kept][1], board)
        # One core behind both front ends: a value kept through MQTT shows here too.
        self.watcher.publish(self.topic("set", away), "6")
        self.wait_for_board(away, lambda b: b["pending"] == 6)
        events.wait_for(lambda e, d: e == "state" and d["id"] == away and d["pending"] == 6,
                        kept + 1)
        daemon.change("plug@2")
        # Back, it is read once before the kept value goes out, and "pending" until that is sent;
        # the read after it shows the value.
        self.wait_for_board(away, lambda b: (b["available"], b["led"], b["pending"]) ==
                            (True, 6, None))
        self.assertEqual(daemon.led_requests()[-1][1], 6)


class HealthTest(HttpCase):
    """/healthz against a broker of the test's own, stopped and started again, with a token that
    /healthz does not need: without it the reasons name no board and no broker."""

    TOKEN = "h3alth"

    def setUp(self):
        self.broker_folder = tempfile.mkdtemp(prefix="ledboardd-health-")
        self.broker, self.port = daemon_e2e.start_broker(self.broker_folder)
        self.addCleanup(lambda: (self.broker.kill(), self.broker.wait()))
        super().setUp()

    def wait_for_health(self, status):
        """The answers without and with the token, once /healthz answers `status`."""
        right = {"Authorization": f"Bearer {self.TOKEN}"}
        deadline = time.monotonic() + WAIT
        while True:
            anonymous = self.get("/healthz")
            if anonymous[0] == status:
                named = self.get("/healthz", headers=right)
                if named[0] == status:
                    return anonymous[2], named[2]
            self.assertLess(time.monotonic(), deadline, f"/healthz never {status}: {anonymous}")
            time.sleep(0.05)

    def test_health_follows_the_broker_and_the_boards(self):
        token_file = os.path.join(self.folder, "token")
        with open(token_file, "w") as file:
            file.write(self.TOKEN + "\n")
        daemon = self.start_http(extra=("--http-token-file", token_file))
        self.wait_for_boards(headers={"Authorization": f"Bearer {self.TOKEN}"})
        self.assertEqual(self.wait_for_health(200), ({"status": "ok"}, {"status": "ok"}))

        self.broker.terminate()
        self.broker.wait()
        anonymous, named = self.wait_for_health(503)
        self.assertEqual(anonymous, {"status": "unhealthy",
                                     "reasons": ["the mqtt front end is down"]})
        self.assertEqual(named["reasons"],
                         [f"not connected to the MQTT broker at 127.0.0.1:{self.port}"])
        self.broker, _ = daemon_e2e.start_broker(self.broker_folder, self.port)
        self.wait_for_health(200)

        # A board whose read hangs, three intervals and more.
        daemon.change("hang")
        anonymous, named = self.wait_for_health(503)
        limit = 3 * daemon_e2e.INTERVAL_MS
        self.assertEqual(anonymous["reasons"], [f"1 board not read within {limit} ms"])
        self.assertEqual(named["reasons"], [f"board A17 not read within {limit} ms"])
        daemon.change("answer")
        self.wait_for_health(200)


class EventStreamTest(HttpCase):
    def test_snapshot_then_every_change(self):
        daemon = self.start_http()
        self.wait_for_boards()
        events = self.stream()
        self.assertEqual((events.status, events.content_type), (200, "text/event-stream"))
        self.assertEqual(events.wait_for(lambda e, d: True), 0)
        name, snapshot = events.events[0]
        self.assertEqual(name, "snapshot")
        self.assertEqual(snapshot, self.get("/api/boards")[2])
        self.assertIn("retry: 1000", events.lines)

        daemon.change("push")
        pressed = events.wait_for(lambda e, d: e == "button")
        self.assertEqual(events.events[pressed][1], {"id": "A17", "pressed": True})
        state = events.wait_for(lambda e, d: e == "state", pressed)
        self.assertEqual((events.events[state][1]["id"], events.events[state][1]["push"]),
                         ("A17", 1))
        daemon.change("release")
        released = events.wait_for(lambda e, d: e == "button", state)
        self.assertEqual(events.events[released][1], {"id": "A17", "pressed": False})
        events.wait_for(lambda e, d: e == "state" and d["push"] == 0, released)

        self.put_led("A17", "3")
        events.wait_for(lambda e, d: e == "state" and d["id"] == "A17" and d["led"] == 3)
        mark = events.count()
        daemon.change("unplug@2")
        left = events.wait_for(lambda e, d: e == "left", mark)
        self.assertFalse(events.events[left][1]["available"])
        daemon.change("plug@2")
        arrived = events.wait_for(lambda e, d: e == "arrived", left)
        self.assertEqual(events.events[arrived][1]["id"], events.events[left][1]["id"])
        self.assertTrue(events.events[arrived][1]["available"])

    def test_stop_ends_the_streams_and_the_daemon_in_time(self):
        daemon = self.start_http()
        self.wait_for_boards()
        streams = [self.stream() for _ in range(3)]
        for events in streams:
            events.wait_for(lambda e, d: e == "snapshot")
        status, seconds = daemon.stop()
        self.assertEqual(status, 0)
        self.assertLess(seconds, 1.0)
        for events in streams:
            self.assertTrue(events.wait_until_ended())


class SecurityTest(HttpCase):
    def test_writes_from_another_origin_never_reach_the_board(self):
        daemon = self.start_http()
        self.wait_for_boards()
        for origin in ("http://evil.example", "null", f"https://127.0.0.1:{self.http_port}",
                       f"http://127.0.0.1:{self.http_port + 1}"):
            status, _, data = self.put_led("A17", "5", headers={"Origin": origin})
            self.assertEqual(status, 403, origin)
            self.assertIn("error", data)
        # The page's own origin may write; once its value is in, every write before it has been
        # handled, and none reached the board.
        status, _, board = self.put_led(
            "A17", "6", headers={"Origin": f"http://127.0.0.1:{self.http_port}"})
        self.assertEqual((status, board["led"]), (200, 6))
        self.assertEqual(daemon.led_requests(), [(FIRST_BOARD, 6)])

    def test_host_must_name_this_server(self):
        daemon = self.start_http()
        self.wait_for_boards()
        port = self.http_port
        for host in ("evil.example", f"evil.example:{port}", f"127.0.0.1:{port + 1}",
                     f"localhost.evil.example:{port}", "127.0.0.1", ""):
            for method, path in (("GET", "/"), ("GET", "/api/boards"), ("GET", "/healthz"),
                                 ("PUT", "/api/boards/A17/led")):
                status, _, _ = request(port, method, path, body="4", headers={"Host": host})
                self.assertEqual(status, 403, (host, path))
        self.assertEqual(daemon.led_requests(), [])
        for host in (f"localhost:{port}", f"LOCALHOST:{port}", f"{socket.gethostname()}:{port}",
                     f"127.0.0.1:{port}"):
            self.assertEqual(self.get("/api/boards", headers={"Host": host})[0], 200, host)

    def test_oversized_headers_are_refused(self):
        self.start_http()
        self.wait_for_boards()
        status, _, data = self.get("/api/boards", headers={"X-A": "a" * 5000, "X-B": "b" * 5000})
        self.assertEqual(status, 431)
        self.assertIn("error", data)
        # The library's own refusal of a long path says what it is, as every error does.
        status, _, data = self.get("/api/boards/" + "x" * 9000)
        self.assertEqual((status, data), (414, {"error": "URI too long"}))

    def test_requests_read_two_ways_are_refused_at_once(self):
        daemon = self.start_http()
        self.wait_for_boards()
        port = self.http_port
        good, bad = f"Host: 127.0.0.1:{port}", "Host: evil.example"
        led = "PUT /api/boards/A17/led HTTP/1.1"
        for head in ([led, good, "Content-Length: 1", "Content-Length: 2"],
                     [led, good, "Content-Length: 1", "Content-Length: 1"],
                     [led, good, bad, "Content-Length: 2"],
                     [led, bad, good, "Content-Length: 2"],
                     [led, good, "Content-Length: 2", "Transfer-Encoding: chunked"],
                     [led, good, "Transfer-Encoding: gzip"],
                     [led, good, "Content-Length: -1"],
                     ["GET /api/boards HTTP/1.1", good, good]):
            status, headers, data, took = raw_request(port, head, b"2\n")
            self.assertEqual(status, 400, head)
            # libmicrohttpd refuses a length that is no number itself, in its own words.
            if "Content-Length: -1" not in head:
                self.assertIn("error", data)
            self.assertLess(took, AT_ONCE, head)
            # Its body was not read: the client is told not to send more on this connection.
            self.assertEqual(headers.get("connection"), "close", head)
        # One of each is fine; once it is applied, none of the refused ones reached the board.
        status, _, board, _ = raw_request(port, [led, good, "Content-Length: 2"], b"2\n")
        self.assertEqual((status, board["led"]), (200, 2))
        self.assertEqual(daemon.led_requests(), [(FIRST_BOARD, 2)])

    def test_token_by_header_or_cookie(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-http-")
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as file:
            file.write("  s3cr%t-token \nsecond line\n")
        # An address other hosts could reach: allowed, since there is a token.
        self.start_http(extra=("--http-token-file", token_file), listen="0.0.0.0:{port}")
        right = {"Authorization": "Bearer s3cr%t-token"}
        self.wait_for_boards(headers=right)
        for headers in ({}, {"Authorization": "Bearer s3cr%t-toke"},
                        {"Authorization": "Bearer s3cr%t-token2"},
                        {"Authorization": "Basic s3cr%t-token"},
                        {"Authorization": "s3cr%t-token"},
                        {"Cookie": "ledboardd_token=wrong"},
                        {"Cookie": "other=s3cr%25t-token"}):
            for path in ("/api/boards", "/api/boards/A17", "/api/events"):
                status, response, data = self.get(path, headers=headers)
                self.assertEqual(status, 401, (headers, path))
                self.assertEqual(response["www-authenticate"], "Bearer")
                self.assertIn("error", data)
            self.assertEqual(self.put_led("A17", "5", headers=headers)[0], 401, headers)
            self.assertEqual(self.put_one("A17", 1, "on", headers=headers)[0], 401, headers)
            self.assertEqual(self.delete("A17", headers=headers)[0], 401, headers)
        self.assertEqual(self.get("/api/boards/A17", headers=right)[0], 200)
        # The page's way: the cookie, as it is (never percent-decoded), also for the event
        # stream.
        encoded = {"Cookie": "ledboardd_token=s3cr%25t-token"}
        self.assertEqual(self.get("/api/boards/A17", headers=encoded)[0], 401)
        cookie = {"Cookie": "theme=dark; ledboardd_token=s3cr%t-token"}
        self.assertEqual(self.get("/api/boards/A17", headers=cookie)[0], 200)
        self.assertEqual(self.put_led("A17", "1", headers=cookie)[:1], (200,))
        events = self.stream(headers=cookie)
        self.assertEqual(events.status, 200)
        events.wait_for(lambda e, d: e == "snapshot")
        # The page itself is served without the token, so that it can ask for it.
        self.assertEqual(self.get("/")[0], 200)
        self.assertEqual(self.get("/app.js")[0], 200)

    def test_the_page_is_served_from_the_binary(self):
        self.start_http()
        self.wait_for_boards()
        for path, name, kind in (("/", "index.html", "text/html"),
                                 ("/index.html", "index.html", "text/html"),
                                 ("/app.js", "app.js", "text/javascript"),
                                 ("/style.css", "style.css", "text/css"),
                                 ("/cards.js", "cards.js", "text/javascript"),
                                 ("/connection.js", "connection.js", "text/javascript"),
                                 ("/favicon.svg", "favicon.svg", "image/svg+xml")):
            status, headers, data = self.get(path)
            self.assertEqual(status, 200, path)
            self.assertTrue(headers["content-type"].startswith(kind), headers)
            self.assertEqual(headers["content-security-policy"], "default-src 'self'")
            self.assertEqual(headers["x-content-type-options"], "nosniff")
            with open(os.path.join(WEB, name), "rb") as file:
                self.assertEqual(data, file.read(), path)


def daemon_pid(daemon):
    """The daemon's process id: the simulator's only child."""
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        children = daemon_e2e.subprocess.run(["pgrep", "-P", str(daemon.process.pid)],
                                             capture_output=True, text=True).stdout.split()
        if children:
            return int(children[0])
        time.sleep(0.02)
    raise AssertionError("the simulator started no daemon")


def proc_status(pid, key):
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise AssertionError(f"no {key} for {pid}")


def connect_from(source, port):
    """A connection to the daemon from loopback address `source` (127.x.y.z)."""
    sock = socket.socket()
    sock.settimeout(WAIT)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    return sock


def closed_at_once(sock):
    """Whether the daemon closed `sock` (EOF or reset) within AT_ONCE, having sent nothing."""
    sock.settimeout(AT_ONCE)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def open_stream(source, port, headers=()):
    """GET /api/events from `source`, read up to its snapshot; the socket, or the status line
    when it is not 200."""
    sock = connect_from(source, port)
    sock.sendall("".join(f"{line}\r\n" for line in
                         ["GET /api/events HTTP/1.1", f"Host: 127.0.0.1:{port}", *headers, ""])
                 .encode())
    received = b""
    while b"event: snapshot" not in received:
        try:
            data = sock.recv(4096)
        except ConnectionResetError:
            data = b""
        if not data:
            sock.close()
            return received.split(b"\r\n", 1)[0].decode() or "closed"
        received += data
        if not received.startswith(b"HTTP/1.1 200"):
            sock.close()
            return received.split(b"\r\n", 1)[0].decode()
    return sock


class LimitsTest(HttpCase):
    """What keeps one client from starving the others."""

    PER_ADDRESS = 128  # MAX_CONNECTIONS_PER_ADDRESS in ledboardd/http/http_server.cpp
    TOTAL = 1100  # MAX_CONNECTIONS
    REQUEST_LIMIT = 5.0  # REQUEST_LIMIT: seconds for a request to arrive whole

    def setUp(self):
        super().setUp()
        # The total limit takes more sockets than a default soft limit allows this process.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        wanted = min(hard, 4 * self.TOTAL)
        if soft < wanted:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
            self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))

    def sockets(self):
        opened = []
        self.addCleanup(lambda: [sock.close() for sock in opened])
        return opened

    def test_a_request_that_trickles_in_is_dropped_and_others_are_served_meanwhile(self):
        self.start_http()
        self.wait_for_boards()
        head = f"GET /api/boards HTTP/1.1\r\nHost: 127.0.0.1:{self.http_port}\r\n"
        with connect_from("127.0.0.2", self.http_port) as slow:
            started = time.monotonic()
            ended = None
            for byte in head.encode():
                slow.sendall(bytes([byte]))
                # One byte every 2 s; the daemon's answer to it is the connection's end.
                slow.settimeout(2.0)
                try:
                    if slow.recv(1) == b"":
                        ended = time.monotonic() - started
                        break
                except socket.timeout:
                    pass
                except ConnectionResetError:
                    ended = time.monotonic() - started
                    break
                # Meanwhile the daemon serves everyone else.
                self.assertEqual(self.get("/api/boards")[0], 200)
            self.assertIsNotNone(ended, "the slow request was never dropped")
            self.assertGreaterEqual(ended, self.REQUEST_LIMIT - 0.5)
            self.assertLess(ended, self.REQUEST_LIMIT + 4.0)

    def test_connections_over_the_limits_are_closed_at_once(self):
        self.start_http()
        self.wait_for_boards()
        port = self.http_port
        opened = self.sockets()
        # One address up to its limit: the next from it is closed at once, others are served.
        opened += [connect_from("127.0.0.3", port) for _ in range(self.PER_ADDRESS)]
        extra = connect_from("127.0.0.3", port)
        opened.append(extra)
        self.assertTrue(closed_at_once(extra))
        self.assertEqual(self.get("/api/boards")[0], 200)
        # Every address together up to the total: one more from a fresh address is closed.
        source = 4
        while len(opened) - 1 < self.TOTAL:
            count = min(self.PER_ADDRESS, self.TOTAL - (len(opened) - 1))
            opened += [connect_from(f"127.0.1.{source}", port) for _ in range(count)]
            source += 1
        extra = connect_from("127.0.2.1", port)
        opened.append(extra)
        self.assertTrue(closed_at_once(extra))
        # A place freed is taken again.
        for sock in opened:
            sock.close()
        deadline = time.monotonic() + WAIT
        while True:
            try:
                if request(port, "GET", "/api/boards")[0] == 200:
                    break
            except OSError:
                pass
            self.assertLess(time.monotonic(), deadline, "no connection served again")
            time.sleep(0.05)

    def test_a_stream_leaving_frees_its_place_within_a_second(self):
        self.start_http()
        self.wait_for_boards()
        port = self.http_port
        streams = self.sockets()
        for _ in range(self.PER_ADDRESS):
            stream = open_stream("127.0.0.5", port)
            self.assertIsInstance(stream, socket.socket, stream)
            streams.append(stream)
        extra = connect_from("127.0.0.5", port)
        self.assertTrue(closed_at_once(extra))
        extra.close()
        # A suspended stream whose client hangs up: its place is free again within 1 s.
        streams.pop().close()
        left = time.monotonic()
        while True:
            again = open_stream("127.0.0.5", port)
            if isinstance(again, socket.socket):
                streams.append(again)
                break
            self.assertLess(time.monotonic() - left, 1.0, "the stream's place was not freed")
        self.assertLess(time.monotonic() - left, 1.0)

    def test_a_port_in_use_is_an_error_and_never_shared(self):
        # A listener that would share its port with anyone else who asks (SO_REUSEPORT).
        taken = socket.socket()
        taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        taken.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        self.addCleanup(taken.close)
        port = taken.getsockname()[1]
        # HTTP starts before any board is looked for: no simulator is needed.
        result = daemon_e2e.subprocess.run(
            [daemon_e2e.ARGS.daemon, "--broker", f"127.0.0.1:{daemon_e2e.BROKER[1]}", "--http",
             f"127.0.0.1:{port}"], capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("address already in use", result.stderr)

    def test_the_listen_backlog_and_the_threads(self):
        daemon = self.start_http()
        self.wait_for_boards()
        listening = daemon_e2e.subprocess.run(
            ["ss", "-Hltn", f"sport = :{self.http_port}"], capture_output=True, text=True,
            check=True).stdout.split()
        # For a listening socket ss shows the backlog as Send-Q.
        self.assertGreaterEqual(int(listening[2]), 128, listening)
        pid = daemon_pid(daemon)
        # main, scanner, state writer, MQTT, HTTP, and one per board.
        self.assertLessEqual(proc_status(pid, "Threads"), 8)
        # The whole HTTP side is that one thread: streams and a waiting PUT add none.
        streams = self.sockets()
        streams += [open_stream("127.0.0.6", self.http_port) for _ in range(20)]
        self.assertTrue(all(isinstance(s, socket.socket) for s in streams), streams)
        self.assertEqual(self.put_led("A17", "3")[0], 200)
        self.assertLessEqual(proc_status(pid, "Threads"), 8)


class BodyTest(HttpCase):
    def test_the_token_is_checked_before_any_body_is_read(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-http-")
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as file:
            file.write("abc%41\n")
        daemon = self.start_http(extra=("--http-token-file", token_file))
        self.wait_for_boards(headers={"Authorization": "Bearer abc%41"})
        led = "PUT /api/boards/A17/led HTTP/1.1"
        host = f"Host: 127.0.0.1:{self.http_port}"
        # The body announced never comes: the answer does not wait for it.
        status, headers, data, took = raw_request(self.http_port,
                                                  [led, host, "Content-Length: 1000"])
        self.assertEqual((status, headers.get("connection")), (401, "close"))
        self.assertLess(took, AT_ONCE)
        # Header values are taken as they come: "abc%41" is not "abcA", in either place.
        for given in ({"Authorization": "Bearer abcA"}, {"Cookie": "ledboardd_token=abcA"}):
            self.assertEqual(self.put_led("A17", "1", headers=given)[0], 401, given)
        for given in ({"Authorization": "Bearer abc%41"}, {"Cookie": "ledboardd_token=abc%41"}):
            self.assertEqual(self.get("/api/boards/A17", headers=given)[0], 200, given)
        self.assertEqual(daemon.led_requests(), [])

    def test_white_space_before_a_colon_is_refused(self):
        daemon = self.start_http()
        self.wait_for_boards()
        port = self.http_port
        for head in (["GET /api/boards HTTP/1.1", f"Host : 127.0.0.1:{port}"],
                     ["PUT /api/boards/A17/led HTTP/1.1", f"Host: 127.0.0.1:{port}",
                      "Content-Length : 1"]):
            status, headers, data, took = raw_request(port, head, b"2")
            self.assertEqual((status, headers.get("connection")), (400, "close"), head)
            self.assertIn("white space", data["error"])
            self.assertLess(took, AT_ONCE)
        self.assertEqual(daemon.led_requests(), [])

    def test_a_huge_chunked_body_is_refused_unread(self):
        daemon = self.start_http()
        self.wait_for_boards()
        pid = daemon_pid(daemon)
        before = proc_status(pid, "VmHWM")
        with socket.create_connection(("127.0.0.1", self.http_port), timeout=WAIT) as sock:
            sock.sendall(("PUT /api/boards/A17/led HTTP/1.1\r\n"
                          f"Host: 127.0.0.1:{self.http_port}\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n").encode())
            chunk = b"%x\r\n%s\r\n" % (1 << 20, b" " * (1 << 20))
            answer = bytearray()

            def send():
                try:
                    for _ in range(64):  # 64 MiB, if the daemon took it all
                        sock.sendall(chunk)
                    sock.sendall(b"1\r\n5\r\n0\r\n\r\n")
                except OSError:
                    pass  # closed by the daemon once it has answered

            sender = threading.Thread(target=send, daemon=True)
            sender.start()
            while b"\r\n\r\n" not in answer:
                data = sock.recv(4096)
                if not data:
                    break
                answer += data
            sender.join(WAIT)
        self.assertTrue(answer.startswith(b"HTTP/1.1 413 "), bytes(answer[:100]))
        self.assertIn(b"Connection: close", answer)
        # A good request after it: once it is applied, every request before it has been handled.
        self.assertEqual(self.put_led("A17", "6")[0], 200)
        self.assertEqual(daemon.led_requests(), [(FIRST_BOARD, 6)])
        # Nothing of the body was kept, nor allocated and freed as it came (AddressSanitizer's
        # quarantine would show that): the daemon's peak grew by far less than 4 MiB.
        self.assertLess(proc_status(pid, "VmHWM") - before, 4096)

    def test_an_event_stream_from_another_origin_is_refused(self):
        self.start_http()
        self.wait_for_boards()
        port = self.http_port
        for origin in ("http://evil.example", "null", f"http://127.0.0.1:{port + 1}"):
            refused = open_stream("127.0.0.1", port, [f"Origin: {origin}"])
            self.assertEqual(refused, "HTTP/1.1 403 Forbidden", origin)
        own = open_stream("127.0.0.1", port, [f"Origin: http://127.0.0.1:{port}"])
        self.assertIsInstance(own, socket.socket)
        own.close()


class OptionsTest(unittest.TestCase):
    def run_daemon(self, *arguments):
        return daemon_e2e.subprocess.run([daemon_e2e.ARGS.daemon, *arguments],
                                         capture_output=True, text=True, timeout=WAIT)

    def test_bad_http_settings_exit_78_with_one_message(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-http-")
        empty = os.path.join(folder, "empty")
        open(empty, "w").close()
        for arguments in (["--http", "0.0.0.0:8080"], ["--http", "192.0.2.1:8080"],
                          ["--http", "[::]:8080"], ["--http", "example.org:8080"],
                          ["--http", "8080", "--http-token-file", empty],
                          ["--http", "8080", "--http-token-file", os.path.join(folder, "none")],
                          ["--http", "0"], ["--http", "65536"], ["--http", "host"],
                          ["--http", "::1:8080"], ["--http", "[::1]"]):
            result = self.run_daemon(*arguments)
            self.assertEqual(result.returncode, 78, arguments)
            lines = result.stderr.splitlines()
            self.assertEqual(len(lines), 1, (arguments, result.stderr))
            self.assertTrue(lines[0].startswith("<3>ledboardd: "), lines)


if __name__ == "__main__":
    daemon_e2e.run_suite()
