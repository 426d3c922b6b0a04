#!/usr/bin/env python3
"""ledboardd's live page in a real headless Chromium: the daemon serves it over --http under
ledboard-sim with two boards (driven through the simulator's control FIFO, every request in its log),
with a mosquitto broker of the test's own as daemon_e2e.py starts it.

  page_e2e.py --daemon LEDBOARDD --sim LEDBOARD-SIM --broker MOSQUITTO [--outputs DIR]

The page's screenshot goes to DIR/page.png (the path is printed). Exits 77, which CTest counts as
skipped, when Chromium or its driver is not installed.
"""
import base64
import json
import os
import shutil
import struct
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_e2e as e2e  # noqa: E402  (the broker, the daemon under the simulator, free ports)

SKIPPED = 77
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver") or shutil.which("chromedriver", path="/usr/lib/chromium")
OUTPUTS = None
WAIT = e2e.WAIT
VIEWPORT = (900, 600)  # room for two cards side by side, as on a laptop
PHONE = (360, 740)  # a small phone's viewport in CSS pixels
PRESS_LIMIT = 0.5  # seconds from the FIFO write to the page showing the press

# Nothing: the page names its icon (favicon.svg), so that Chromium asks for no /favicon.ico.
EXPECTED_CONSOLE = ()


def png_pixels(data):
    """(width, height, rows of (r, g, b)) of an 8-bit, non-interlaced RGB or RGBA PNG, such as
    Chromium's screenshots."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    position, compressed = 8, b""
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour, interlace)
        elif kind == b"IDAT":
            compressed += body
        position += 12 + length
    size = 3 if colour == 2 else 4
    raw, stride, rows, previous = zlib.decompress(compressed), width * size, [], [0] * width * size
    for y in range(height):
        kind, line = raw[y * (stride + 1)], list(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - size] if x >= size else 0
            up, corner = previous[x], previous[x - size] if x >= size else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + up) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                guess = left + up - corner
                best = min((abs(guess - left), 0, left), (abs(guess - up), 1, up),
                           (abs(guess - corner), 2, corner))[2]
                line[x] = (line[x] + best) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, size)])
        previous = line
    return width, height, rows


class Page:
    """A headless Chromium on the daemon's page, with small waits on what the page shows."""

    def __init__(self, url, folder, hold_stream=False):
        # Imported here so that a machine without Chromium skips before needing selenium.
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        self.by = By
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--disable-extensions",
                         "--user-data-dir=" + os.path.join(folder, "chromium")):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        # The viewport itself, not the window around it: the screenshot is exactly this size.
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": VIEWPORT[0], "height": VIEWPORT[1], "deviceScaleFactor": 1, "mobile": False})
        if hold_stream:
            self.hold_stream()
        self.driver.get(url)

    def hold_stream(self):
        """From now on the page's requests for the event stream wait, unanswered, until
        release_stream(): the browser holds them before they leave."""
        self.driver.execute_cdp_cmd("Fetch.enable", {"patterns": [{"urlPattern": "*/api/events*"}]})

    def release_stream(self):
        self.driver.execute_cdp_cmd("Fetch.disable", {})

    def close(self):
        self.driver.quit()

    def script(self, text, *arguments):
        return self.driver.execute_script(text, *arguments)

    def card(self, board):
        return self.driver.find_element(self.by.CSS_SELECTOR, f'article.board[data-id="{board}"]')

    def cards(self):
        """{id: (available, led, push, jump)} of every card, read in one round trip."""
        rows = self.script("""return [...document.querySelectorAll('article.board')].map(c =>
            [c.dataset.id, c.dataset.available, c.dataset.led, c.dataset.push, c.dataset.jump]);""")
        return {row[0]: tuple(row[1:]) for row in rows}

    def connection(self):
        return self.script("return document.body.dataset.connection;")

    def presences(self):
        """{id: "here" | "away" | "unknown"} as each card says it."""
        rows = self.script("""return [...document.querySelectorAll('article.board')].map(c =>
            [c.dataset.id, c.dataset.presence, c.querySelector('.presence').textContent]);""")
        for board, presence, text in rows:
            assert presence == text, (board, presence, text)
        return {board: presence for board, presence, _ in rows}

    def lamp_states(self, board):
        """Each lamp, LED 1 first: (data-state, aria-pressed, kept for the board's return)."""
        return [tuple(row) for row in self.script("""return [...document.querySelectorAll(
            `article.board[data-id="${arguments[0]}"] .lamp`)].map(l =>
            [l.dataset.state, l.getAttribute('aria-pressed'), l.hasAttribute('data-kept')]);""",
                                                  board)]

    def lamp_colour(self, board, number):
        """The colour at the centre of a lamp's disc, as drawn on the screen."""
        box = self.script("""const lamp = document.querySelectorAll(
                `article.board[data-id="${arguments[0]}"] .lamp`)[arguments[1] - 1];
            const r = lamp.getBoundingClientRect(), s = getComputedStyle(lamp),
                disc = getComputedStyle(lamp, '::before');
            return [r.left + r.width / 2, r.top + parseFloat(s.borderTopWidth) +
                    parseFloat(s.paddingTop) + parseFloat(disc.height) / 2];""", board, number)
        shot = self.driver.execute_cdp_cmd("Page.captureScreenshot", {"format": "png", "clip": {
            "x": box[0] - 1, "y": box[1] - 1, "width": 3, "height": 3, "scale": 1}})
        _, _, rows = png_pixels(base64.b64decode(shot["data"]))
        return rows[1][1]

    def until(self, what, check, limit=WAIT, step=0.01):
        """Polls check() until it returns something true; returns it and the seconds it took."""
        start = time.monotonic()
        while True:
            found = check()
            if found:
                return found, time.monotonic() - start
            if time.monotonic() - start > limit:
                raise AssertionError(f"the page did not show {what} within {limit} s; it shows "
                                     f"{self.cards()} ({self.connection()})")
            time.sleep(step)

    def lamps(self, board):
        """The three lamps' aria-pressed, LED 1 first."""
        return self.script("""return [...document.querySelectorAll(
            `article.board[data-id="${arguments[0]}"] .lamp`)].map(l =>
            [l.textContent, l.getAttribute('aria-pressed')]);""", board)

    def lamp(self, board, number):
        return self.card(board).find_element(self.by.XPATH, f'.//button[text()="LED {number}"]')

    def value_input(self, board):
        card = self.card(board)
        # Found through its label, as a screen reader finds it.
        label = card.find_element(self.by.XPATH, './/label[starts-with(text(), "LED value")]')
        return card.find_element(self.by.ID, label.get_attribute("for"))

    def set_value(self, board, text):
        field = self.value_input(board)
        field.clear()
        field.send_keys(text)
        self.card(board).find_element(self.by.XPATH, './/button[text()="Set"]').click()

    def text(self, board, selector):
        """The text as written, whatever case CSS shows it in."""
        element = self.card(board).find_element(self.by.CSS_SELECTOR, selector)
        return element.get_attribute("textContent")

    def problems(self):
        """Browser console entries other than the expected ones (a CSP refusal shows there)."""
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE"
                and not any(known in entry["message"] for known in EXPECTED_CONSOLE)]

    def screenshot(self, path):
        self.driver.save_screenshot(path)
        print(f"page screenshot: {path}", file=sys.stderr)


class PageCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="ledboardd-page-")
        self.http_port = e2e.free_port()
        self.url = f"http://127.0.0.1:{self.http_port}/"

    def start(self, name, extra=(), names=None):
        """The daemon with two boards, A17 and B22, in a folder of its own under the test's;
        `names`: {serial: name} for its configuration file. Its MQTT prefix is self.prefix."""
        folder = os.path.join(self.folder, name)
        os.mkdir(folder)
        if names:
            config = os.path.join(folder, "ledboardd.conf")
            with open(config, "w") as file:
                file.writelines(f"[board]\nserial = {serial}\nname = {board_name}\n"
                                for serial, board_name in names.items())
            extra = ("--config", config, *extra)
        self.prefix = f"page{time.monotonic_ns()}"
        daemon = e2e.Daemon(folder, board="serial=A17",
                            devices=("--after", "board,serial=B22"),
                            extra=("--prefix", self.prefix, "--discovery-prefix",
                                   f"{self.prefix}/ha", "--http", f"127.0.0.1:{self.http_port}",
                                   *extra))
        self.addCleanup(daemon.close)
        self.addCleanup(lambda: sys.stderr.write(
            "" if self._outcome.success else f"daemon log ({name}):\n" + daemon.log_text()))
        self.wait_for_http(daemon)
        return daemon

    def wait_for_http(self, daemon):
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if daemon.process.poll() is not None:
                raise AssertionError("the daemon ended: " + daemon.log_text())
            try:
                with urllib.request.urlopen(self.url, timeout=1):
                    return
            except (urllib.error.URLError, ConnectionError):
                time.sleep(0.05)
        raise AssertionError("the daemon's page did not answer: " + daemon.log_text())

    def open_page(self, hold_stream=False):
        page = Page(self.url, self.folder, hold_stream)
        self.addCleanup(page.close)
        self.addCleanup(lambda: self._outcome.success or page.screenshot(
            os.path.join(OUTPUTS, f"page-failed-{self._testMethodName}.png")))
        return page

    def both_here(self, page):
        cards = page.cards()
        return (sorted(cards) == ["A17", "B22"]
                and all(card[0] == "true" for card in cards.values()))

    def api(self, path, body=None):
        """The daemon's answer to GET (or PUT with `body`) /api/PATH: (status, JSON)."""
        request = urllib.request.Request(self.url + "api/" + path, method="GET" if body is None
                                         else "PUT", data=None if body is None else body.encode())
        try:
            with urllib.request.urlopen(request, timeout=WAIT) as response:
                return response.status, json.loads(response.read())
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")

    def wait_for_boards(self):
        """Until the daemon has found both boards (it answers HTTP before)."""
        deadline = time.monotonic() + WAIT
        while True:
            listed = self.api("boards")[1]["boards"]
            if sorted(board["id"] for board in listed if board["available"]) == ["A17", "B22"]:
                return
            self.assertLess(time.monotonic(), deadline, f"the daemon lists {listed}")
            time.sleep(0.02)

    def publish_set(self, board, value):
        """An LED value sent the MQTT way, as another program would, once the daemon listens:
        it publishes the board's device config (retained) when its subscriptions are in place."""
        config = f"ha/device/{self.prefix}__{board}/config"
        publisher = e2e.Watcher(e2e.BROKER[1], self.prefix, leaves=(config,))
        try:
            publisher.wait_for(f"{self.prefix}/{config}", b"", accept=lambda payload: payload)
            publisher.publish(f"{self.prefix}/{board}/set", str(value))
        finally:
            publisher.close()

    def screenshot(self, page, name):
        page.script("document.activeElement.blur();")  # no focus ring in the picture
        page.screenshot(os.path.join(OUTPUTS, name))


class LivePage(PageCase):
    def test_sets_follows_a_press_and_survives_a_restart(self):
        daemon = self.start("first", names={"A17": "Kitchen"})
        page = self.open_page()
        page.until("two boards that are here", lambda: self.both_here(page))
        self.assertEqual(page.connection(), "live")
        self.assertIn("serial A17", page.text("A17", ".details"))
        self.assertIn("USB LED Board", page.text("B22", ".details"))
        self.assertEqual(page.lamps("A17"), [["LED 1", "false"], ["LED 2", "false"],
                                             ["LED 3", "false"]])

        # Out of range: said on the card, nothing sent.
        for bad in ("32", "-1", "abc"):
            page.set_value("A17", bad)
            self.assertIn("0 to 31", page.text("A17", ".problem"))
        time.sleep(0.2)
        self.assertEqual(daemon.led_requests(), [])

        # A typed value goes whole to that board only; the lamps follow its bits.
        page.set_value("A17", "5")
        page.until("A17 at 5", lambda: page.cards()["A17"][1] == "5")
        self.assertEqual([value for _, value in daemon.led_requests()], [5])
        self.assertEqual(page.lamps("A17"), [["LED 1", "true"], ["LED 2", "false"],
                                             ["LED 3", "true"]])
        self.assertEqual(page.cards()["B22"][1], "0")

        # A lamp toggles one bit of what the board has, from the keyboard too; B22 is the other
        # board in the log.
        page.lamp("B22", 2).send_keys(" ")
        page.until("B22 at 2", lambda: page.cards()["B22"][1] == "2")
        page.lamp("A17", 1).click()
        page.until("A17 at 4", lambda: page.cards()["A17"][1] == "4")
        requests = daemon.led_requests()
        self.assertEqual([value for _, value in requests], [5, 2, 4])
        self.assertEqual(requests[0][0], requests[2][0])
        self.assertNotEqual(requests[0][0], requests[1][0])

        # The two bits the board does not report stay with the value the page sent.
        page.set_value("A17", "29")  # 0b11101: the board shows 5
        page.until("A17 at 5", lambda: page.cards()["A17"][1] == "5")
        page.lamp("A17", 3).click()  # 29 without bit 2: 25
        page.until("A17 at 1", lambda: page.cards()["A17"][1] == "1")
        page.lamp("A17", 3).click()  # and back: 29 again, not 5
        page.until("A17 at 5", lambda: page.cards()["A17"][1] == "5")
        self.assertEqual([value for _, value in daemon.led_requests()][-3:], [29, 25, 29])
        self.assertEqual(page.text("A17", ".problem"), "")
        # A lamp switches its one LED (PUT …/leds/N): the daemon keeps bits 3 and 4 of a value
        # set elsewhere, which this page never saw.
        self.publish_set("A17", 27)  # 0b11011: the board shows 3
        page.until("A17 at 3", lambda: page.cards()["A17"][1] == "3")
        page.lamp("A17", 2).click()  # 27 without bit 1: 25
        page.until("A17 at 1", lambda: page.cards()["A17"][1] == "1")
        page.lamp("A17", 3).click()  # and bit 2: 29
        page.until("A17 at 5", lambda: page.cards()["A17"][1] == "5")
        self.assertEqual([value for _, value in daemon.led_requests()][-3:], [27, 25, 29])
        sent = page.script("""return performance.getEntriesByType('resource')
            .map(e => e.name).filter(n => n.includes('/api/boards/'));""")
        self.assertEqual([path.removeprefix(self.url + "api/boards/") for path in sent],
                         ["A17/led", "B22/leds/2", "A17/leds/1", "A17/led", "A17/leds/3",
                          "A17/leds/3", "A17/leds/2", "A17/leds/3"])

        # A press and a release, each on the page within PRESS_LIMIT of the FIFO write.
        for line, shown, words in (("push", "1", "Button pressed"),
                                   ("release", "0", "Button released")):
            written = time.monotonic()
            daemon.change(line)
            page.until(f"the button {line}", lambda: page.cards()["A17"][2] == shown)
            took = time.monotonic() - written
            self.assertLess(took, PRESS_LIMIT, f"{line} took {took:.3f} s")
            self.assertEqual(page.text("A17", ".push-text"), words)
            print(f"{line}: on the page {took * 1000:.0f} ms after the FIFO write",
                  file=sys.stderr)
        daemon.change("push")  # held down for the screenshot
        page.until("the button held", lambda: page.cards()["A17"][2] == "1")

        # Jumpers 1 and 3 of board 1 fitted; board 2 unplugged: greyed, its set value kept.
        daemon.change("jumpers=5")
        page.until("A17's jumpers", lambda: page.cards()["A17"][3] == "5")
        fitted = page.script("""return [...document.querySelectorAll(
            'article.board[data-id="A17"] .jumper')].map(j => j.classList.contains('fitted'));""")
        self.assertEqual(fitted, [True, False, True, False])
        daemon.change("unplug@2")
        page.until("B22 away", lambda: page.cards()["B22"][0] == "false")
        self.assertEqual(page.text("B22", ".presence"), "away")
        self.assertIn("away", page.card("B22").get_attribute("class").split())
        sent = len(daemon.led_requests())
        page.set_value("B22", "6")
        page.until("B22's pending value", lambda: "LED value 6" in page.text("B22", ".pending"))
        self.assertEqual(page.text("B22", ".problem"), "")
        # A value kept by another client reaches this page through its event stream.
        other = urllib.request.Request(self.url + "api/boards/B22/led", data=b"5", method="PUT")
        with urllib.request.urlopen(other, timeout=WAIT) as response:
            self.assertEqual(response.status, 202)
        page.until("B22's value kept elsewhere",
                   lambda: "LED value 5" in page.text("B22", ".pending"))
        self.assertEqual(len(daemon.led_requests()), sent)
        self.assertEqual(page.problems(), [])
        page.script("document.activeElement.blur();")  # no focus ring in the picture
        page.screenshot(os.path.join(OUTPUTS, "page.png"))

        # Restarted on the same port: a banner while it is down, a failed set said on the card,
        # then the new daemon's boards, live, without a reload of the page.
        page.script("window.notReloaded = true;")
        status, _ = daemon.stop()
        self.assertEqual(status, 0)
        page.until("the reconnecting banner", lambda: page.connection() == "reconnecting")
        self.assertIn("reconnecting", page.driver.find_element(page.by.ID, "connection").text)
        page.lamp("A17", 2).click()
        page.until("the failed set", lambda: "does not answer" in page.text("A17", ".problem"))
        # The console has the refused PUT. The stream's retries are not errors to it, but a
        # stream the page opens anew while nothing listens (the browser gave up retrying on a
        # slow machine) is logged as refused, and so is each reading of the list while the
        # stream is down: those, and nothing else, while the daemon is down.
        def besides_reopened_streams(problems):
            return [problem.split(" - ")[0] for problem in problems
                    if not (problem.startswith((self.url + "api/events ",
                                                self.url + "api/boards "))
                            and "ERR_CONNECTION_REFUSED" in problem)]
        self.assertEqual(besides_reopened_streams(page.problems()),
                         [self.url + "api/boards/A17/leds/2"])

        daemon = self.start("second")
        page.until("the boards again", lambda: self.both_here(page) and
                   page.connection() == "live")
        self.assertTrue(page.script("return window.notReloaded === true;"))
        self.assertEqual(besides_reopened_streams(page.problems()), [])
        # The daemon answers again: the error of the set it did not answer has gone.
        page.until("the failed set's error gone", lambda: page.text("A17", ".problem") == "")
        written = time.monotonic()
        daemon.change("push@2")
        page.until("the press after the restart", lambda: page.cards()["B22"][2] == "1")
        self.assertLess(time.monotonic() - written, PRESS_LIMIT)
        self.assertEqual(page.problems(), [])


class FirstPaint(PageCase):
    def test_the_list_shows_before_the_stream_answers_and_the_snapshot_then_rules(self):
        daemon = self.start("first-paint")
        self.wait_for_boards()
        self.assertEqual(self.api("boards/A17/led", "5")[0], 200)
        page = self.open_page(hold_stream=True)
        # The stream is held back in the browser: the cards come from GET api/boards alone.
        page.until("the listed boards", lambda: self.both_here(page))
        self.assertEqual(page.connection(), "connecting")
        self.assertEqual(page.cards()["A17"][1], "5")
        self.assertEqual(page.presences(), {"A17": "here", "B22": "here"})
        self.assertEqual(page.lamp_states("A17"), [("on", "true", False), ("off", "false", False),
                                                   ("on", "true", False)])
        self.screenshot(page, "page-first-paint.png")
        self.assertEqual(page.connection(), "connecting")

        # B22 goes while the stream is held: the snapshot (or the list read again) says so,
        # and from then on the stream's events arrive.
        daemon.change("unplug@2")
        page.release_stream()
        page.until("the stream live", lambda: page.connection() == "live")
        page.until("B22 away", lambda: page.presences()["B22"] == "away")
        daemon.change("push")
        page.until("the press, through the stream", lambda: page.cards()["A17"][2] == "1")
        self.assertEqual(page.problems(), [])


class Outage(PageCase):
    def test_cards_unknown_while_the_daemon_is_down_and_current_with_the_field_when_back(self):
        daemon = self.start("before")
        page = self.open_page()
        page.until("two boards that are here", lambda: self.both_here(page))

        # Typed and entered: the field keeps the focus. A value set elsewhere (MQTT) then
        # reaches the lamps and the field alike.
        field = page.value_input("A17")
        field.clear()
        field.send_keys("3\n")
        page.until("A17 at 3", lambda: page.cards()["A17"][1] == "3")
        self.assertTrue(page.script("return document.activeElement === arguments[0];", field))
        self.publish_set("A17", 4)
        page.until("A17 at 4", lambda: page.cards()["A17"][1] == "4")
        page.until("the field at 4", lambda: field.get_attribute("value") == "4")
        self.assertEqual(page.text("A17", ".note"), "")
        # Typed and not sent: the card says that the field is not what the board has, until
        # Escape puts the board's value back.
        field.send_keys("\b6")
        page.until("the typed note", lambda: page.text("A17", ".note") ==
                   "6 typed, not sent yet (Set sends it); the board shows 4")
        from selenium.webdriver.common.keys import Keys
        field.send_keys(Keys.ESCAPE)
        page.until("the field back at 4", lambda: field.get_attribute("value") == "4")
        self.assertEqual(page.text("A17", ".note"), "")

        # The daemon stops: the banner, and no card says what it cannot know.
        page.script("window.notReloaded = true;")
        self.assertEqual(daemon.stop()[0], 0)
        page.until("every card unknown", lambda: page.presences() ==
                   {"A17": "unknown", "B22": "unknown"})
        self.assertEqual(page.connection(), "reconnecting")
        self.assertIn("does not answer", page.driver.find_element(page.by.ID, "connection").text)
        for board in ("A17", "B22"):
            self.assertEqual(page.lamp_states(board), [("unknown", None, False)] * 3)
            self.assertEqual(page.text(board, ".push-text"), "Button not known")
            self.assertEqual(page.script("""return [...document.querySelectorAll(
                `article.board[data-id="${arguments[0]}"] .jumper-state`)].map(j =>
                j.textContent);""", board), ["?"] * 4)
        self.assertNotIn("HERE", page.driver.find_element(page.by.ID, "boards").text)
        page.lamp("A17", 2).click()
        page.until("the failed set", lambda: page.text("A17", ".problem") ==
                   "LED 2 not turned on: the daemon does not answer")
        self.screenshot(page, "page-unreachable.png")

        # Back, with its stream held in the browser: the list read again makes the cards
        # current and clears the error, though the stream has not answered. Meanwhile A17 was
        # set over MQTT: the lamps and the field show that value, not the one this page asked.
        page.hold_stream()
        daemon = self.start("after")
        self.publish_set("A17", 1)
        deadline = time.monotonic() + WAIT
        while self.api("boards/A17")[1].get("led") != 1:
            self.assertLess(time.monotonic(), deadline, "the daemon did not set A17 to 1")
            time.sleep(0.02)
        page.until("the cards current again", lambda: page.presences() ==
                   {"A17": "here", "B22": "here"} and page.cards()["A17"][1] == "1")
        self.assertNotEqual(page.connection(), "live")
        self.assertEqual(page.text("A17", ".problem"), "")
        self.assertEqual(field.get_attribute("value"), "1")
        self.assertEqual(page.lamp_states("A17"), [("on", "true", False), ("off", "false", False),
                                                   ("off", "false", False)])
        self.assertEqual(page.text("A17", ".push-text"), "Button released")
        self.screenshot(page, "page-back.png")
        page.release_stream()
        page.until("the stream live", lambda: page.connection() == "live")
        daemon.change("push@2")
        page.until("the press after the restart", lambda: page.cards()["B22"][2] == "1")
        self.assertTrue(page.script("return window.notReloaded === true;"))


class AwayBoard(PageCase):
    def assert_lamps_differ(self, page, board, on, off):
        """LED `on` and LED `off` of the board are told apart at a glance: their discs' colours
        are far apart on the screen."""
        lit, unlit = page.lamp_colour(board, on), page.lamp_colour(board, off)
        distance = sum((a - b) ** 2 for a, b in zip(lit, unlit)) ** 0.5
        self.assertGreater(distance, 120, f"LED {on} {lit} and LED {off} {unlit}")

    def test_lamps_readable_and_a_click_keeps_a_value_for_the_return(self):
        daemon = self.start("away")
        page = self.open_page()
        page.until("two boards that are here", lambda: self.both_here(page))
        page.lamp("B22", 2).click()
        page.until("B22 at 2", lambda: page.cards()["B22"][1] == "2")
        daemon.change("unplug@2")
        page.until("B22 away", lambda: page.presences()["B22"] == "away")
        self.assertEqual(page.lamp_states("B22"), [("off", "false", False), ("on", "true", False),
                                                   ("off", "false", False)])
        self.assert_lamps_differ(page, "B22", 2, 1)
        sent = len(daemon.led_requests())

        # A lamp of the away board sets its LED: kept by the daemon, drawn on the lamps.
        page.lamp("B22", 1).click()
        page.until("B22's kept lamps", lambda: page.lamp_states("B22") == [
            ("on", "true", True), ("on", "true", True), ("off", "false", True)])
        self.assertEqual(self.api("boards/B22")[1]["pending"], 3)
        self.assertIn("LED value 3 is kept until the board is back", page.text("B22", ".pending"))
        self.assert_lamps_differ(page, "B22", 1, 3)
        self.assertEqual(len(daemon.led_requests()), sent)
        self.screenshot(page, "page-away.png")

        # Plugged in again, at a new address: the value reaches it.
        daemon.change("plug@2")
        page.until("B22 back at 3", lambda: page.presences()["B22"] == "here"
                   and page.cards()["B22"][1] == "3")
        self.assertEqual(daemon.led_requests()[-1][1], 3)
        self.assertEqual(len(daemon.led_requests()), sent + 1)
        self.assertEqual(self.api("boards/B22")[1]["pending"], None)
        self.assertEqual(page.lamp_states("B22"), [("on", "true", False), ("on", "true", False),
                                                   ("off", "false", False)])
        self.assertTrue(page.driver.find_element(
            page.by.CSS_SELECTOR, 'article[data-id="B22"] .pending').get_attribute("hidden"))
        self.assertEqual(page.problems(), [])


class NamesEffectsGestures(PageCase):
    def test_a_named_board_its_effect_and_its_gestures(self):
        # A long press takes 3 s here, so that a short press stays short on a loaded machine.
        daemon = self.start("names", names={"A17": "Kitchen"}, extra=("--long-press", "3000"))
        page = self.open_page()
        page.until("two boards that are here", lambda: self.both_here(page))
        self.assertEqual((page.text("A17", ".name"), page.text("A17", ".board-id")),
                         ("Kitchen", "A17"))
        self.assertEqual((page.text("B22", ".name"), page.text("B22", ".board-id")), ("B22", ""))
        # A screen reader names the card by both.
        self.assertEqual(page.script("""const card = arguments[0];
            return document.getElementById(card.getAttribute('aria-labelledby')).textContent;""",
                                     page.card("A17")), "KitchenA17")

        self.assertIn(self.api("boards/A17/led", '{"led":5,"blink":{"on_ms":400,"off_ms":600}}')[0],
                      (200, 202))
        page.until("the blink", lambda: page.text("A17", ".effect") ==
                   "Blinking: 400 ms on, 600 ms off")
        self.assertIn(self.api("boards/A17/led", '{"led":6,"for_s":90}')[0], (200, 202))
        page.until("the timed value", lambda: page.text("A17", ".effect").startswith(
            "Shown for 90 s, until "))
        self.assertRegex(page.text("A17", ".effect"), r", then LED value \d+$")
        self.assertEqual(page.text("B22", ".effect"), "")

        # A long press, on the card while the button is held; then gone again.
        daemon.change("push")
        page.until("the long press", lambda: page.text("A17", ".gesture") == "long press")
        self.assertEqual(page.text("B22", ".gesture"), "")
        self.screenshot(page, "page-names.png")
        daemon.change("release")
        page.until("the gesture gone", lambda: page.text("A17", ".gesture") == "")
        # A short press on B22: a single press once the double press's window has passed.
        daemon.change("push@2")
        page.until("B22 pressed", lambda: page.cards()["B22"][2] == "1")
        daemon.wait_for_reads(2)
        daemon.change("release@2")
        page.until("the single press", lambda: page.text("B22", ".gesture") == "single press")
        self.assertEqual(page.problems(), [])


class PhoneAndKeyboard(PageCase):
    def test_one_column_on_a_phone_keyboard_focus_and_dark(self):
        daemon = self.start("phone")
        page = self.open_page()
        page.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": PHONE[0], "height": PHONE[1], "deviceScaleFactor": 2, "mobile": True})
        page.until("two boards that are here", lambda: self.both_here(page))
        layout = page.script("""const cards = [...document.querySelectorAll('article.board')]
                .map(c => c.getBoundingClientRect());
            return {lefts: cards.map(r => Math.round(r.left)), tops: cards.map(r => r.top),
                    wide: document.documentElement.scrollWidth};""")
        self.assertEqual(len(set(layout["lefts"])), 1, layout)  # one column
        self.assertLess(layout["tops"][0], layout["tops"][1], layout)
        # No sideways scrolling (a mobile viewport would grow to fit, and zoom out).
        self.assertLessEqual(layout["wide"], PHONE[0], layout)
        # Lamps big enough for a finger (44 px is the usual minimum).
        heights = page.script("""return [...document.querySelectorAll('.lamp, .set button')]
            .map(b => b.getBoundingClientRect().height);""")
        self.assertGreaterEqual(min(heights), 44, heights)

        # From the top of the page, Tab reaches the first board's first lamp, shown with an
        # outline, and Space sets it.
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys
        ActionChains(page.driver).send_keys(Keys.TAB).perform()
        focused = page.script("""const e = document.activeElement;
            return [e.closest('article')?.dataset.id, e.textContent,
                    getComputedStyle(e).outlineStyle];""")
        self.assertEqual(focused[:2], ["A17", "LED 1"])
        self.assertNotEqual(focused[2], "none")
        ActionChains(page.driver).send_keys(Keys.SPACE).perform()
        page.until("A17 at 1", lambda: page.cards()["A17"][1] == "1")
        # Tab on to the value field, a value and Enter.
        ActionChains(page.driver).send_keys(Keys.TAB * 3, "6", Keys.ENTER).perform()
        page.until("A17 at 6", lambda: page.cards()["A17"][1] == "6")
        self.assertEqual([value for _, value in daemon.led_requests()], [1, 6])

        def colours():
            return page.script("""const s = getComputedStyle(document.body);
                return [s.backgroundColor, s.color];""")
        light = colours()
        page.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        dark = colours()
        self.assertNotEqual(light[0], dark[0])
        self.assertNotEqual(light[1], dark[1])
        self.assertEqual(page.problems(), [])
        self.screenshot(page, "page-phone-dark.png")


class TokenPage(PageCase):
    def test_asks_for_the_token_and_uses_it(self):
        token_file = os.path.join(self.folder, "token.txt")
        with open(token_file, "w") as file:
            file.write("s3cret-Token\n")
        daemon = self.start("token", extra=("--http-token-file", token_file))
        page = self.open_page()
        form = page.driver.find_element(page.by.ID, "token")
        page.until("the token form", form.is_displayed)
        self.assertEqual(page.cards(), {})
        field = page.driver.find_element(page.by.ID, "token-input")

        field.send_keys("wrong\n")
        page.until("the refusal", lambda: "refused" in page.driver.find_element(
            page.by.ID, "token-problem").text)
        self.assertEqual(page.cards(), {})

        field.send_keys("s3cret-Token\n")
        page.until("two boards that are here", lambda: self.both_here(page))
        self.assertFalse(form.is_displayed())
        # The cookie carries the token for writes as well.
        page.set_value("A17", "3")
        page.until("A17 at 3", lambda: page.cards()["A17"][1] == "3")
        self.assertEqual([value for _, value in daemon.led_requests()], [3])
        # The console has the two refused requests of the wrong token; nothing else.
        self.assertTrue(all("401" in problem for problem in page.problems()), page.problems())


def prepare(args):
    global OUTPUTS
    if not CHROMIUM or not DRIVER:
        print("page_e2e: skipped: Chromium and its driver are not installed "
              "(sudo apt-get install chromium chromium-driver)", file=sys.stderr)
        sys.exit(SKIPPED)
    OUTPUTS = args.outputs or tempfile.mkdtemp(prefix="ledboardd-page-out-")
    os.makedirs(OUTPUTS, exist_ok=True)


if __name__ == "__main__":
    e2e.run_suite(extra=[("--outputs", {"default": None})], prepare=prepare)
