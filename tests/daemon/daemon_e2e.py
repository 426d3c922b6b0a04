#!/usr/bin/env python3
"""ledboardd end to end: a mosquitto broker of the test's own on a free loopback port, the daemon
under ledboard-sim (driven through its control FIFO), and a paho-mqtt client watching every topic.

  daemon_e2e.py --daemon LEDBOARDD --sim LEDBOARD-SIM --broker MOSQUITTO

Waits are generous (a loaded 2-core machine); what is asserted is what arrived, and in what order.
"""
import argparse
import errno
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import paho.mqtt.client as mqtt

ARGS = None
BROKER = None  # (process, port)
INTERVAL_MS = 50
WAIT = 15.0  # seconds: the longest any single expected event is waited for

# The board's LED request as the simulator logs it: wValue is the number in bits 3..7.
LED_REQUEST = re.compile(r"^(\d{3}/\d{3}) CONTROL type=0xc0 request=1 value=0x([0-9a-f]{4})", re.M)
# A status read, which the daemon makes every interval.
STATUS_READ = re.compile(r"^\d{3}/\d{3} CONTROL type=0xc0 request=0 ", re.M)


def state(led, push=0, jump=0, name=None, effect=None):
    """A board's state message as the daemon publishes it: the LED state, each lamp on its own,
    the button, the jumpers, the board's name and the effect it runs."""
    lamps = {f"led{n}": bool(led & (1 << (n - 1))) for n in (1, 2, 3)}
    return json.dumps({"led": led, **lamps, "push": push, "jump": jump, "name": name,
                       "effect": effect}, separators=(",", ":"))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_broker(folder, port=None, settings="allow_anonymous true\n"):
    """A mosquitto of the test's own on `port` (a free one by default), with `settings` in its
    configuration file beside the listener; returns (process, port) once it takes connections."""
    port = port or free_port()
    config = os.path.join(folder, "mosquitto.conf")
    with open(config, "w") as file:
        file.write(f"listener {port} 127.0.0.1\n{settings}persistence false\n")
    with open(os.path.join(folder, "broker.log"), "a") as log:
        broker = subprocess.Popen([ARGS.broker, "-c", config], stdout=subprocess.DEVNULL,
                                  stderr=log)
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return broker, port
        except OSError:
            time.sleep(0.05)
    broker.kill()
    raise RuntimeError("the broker did not start")


class Watcher:
    """Every message under the prefix (or only on the given leaves, `+` and `#` allowed), in
    arrival order, as (topic, payload bytes, retain)."""

    def __init__(self, port, prefix, leaves=("#",)):
        self.messages = []
        self.arrived = []  # time.monotonic() of each message's arrival
        self.changed = threading.Condition()
        self.client = mqtt.Client(client_id=f"watcher-{os.getpid()}-{time.monotonic_ns()}")
        self.client.on_message = self._received
        subscribed = threading.Event()
        self.client.on_subscribe = lambda *_: subscribed.set()
        self.client.on_connect = lambda client, *_: client.subscribe(
            [(f"{prefix}/{leaf}", 1) for leaf in leaves])
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()
        if not subscribed.wait(WAIT):
            raise RuntimeError("the watcher did not subscribe")

    def _received(self, _client, _userdata, message):
        with self.changed:
            self.messages.append((message.topic, bytes(message.payload), message.retain))
            self.arrived.append(time.monotonic())
            self.changed.notify_all()

    def wait_for(self, topic, payload, after=0, accept=None):
        """The index of the first message on `topic` with `payload` (or that `accept` takes) at or
        after index `after`."""
        payload = payload.encode() if isinstance(payload, str) else payload
        deadline = time.monotonic() + WAIT
        with self.changed:
            while True:
                for index in range(after, len(self.messages)):
                    if self.messages[index][0] == topic and (
                            self.messages[index][1] == payload if accept is None
                            else accept(self.messages[index][1])):
                        return index
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no {payload!r} on {topic} within {WAIT} s; got "
                                         f"{self.messages[after:]}")
                self.changed.wait(left)

    def on(self, topic, after=0):
        with self.changed:
            return [m[1].decode(errors="replace") for m in self.messages[after:] if m[0] == topic]

    def count(self):
        with self.changed:
            return len(self.messages)

    def publish(self, topic, payload, retain=False):
        """Once connected (after a broker's restart paho takes a moment to reconnect)."""
        deadline = time.monotonic() + WAIT
        while not self.client.is_connected():
            if time.monotonic() > deadline:
                raise AssertionError(f"the watcher did not reconnect within {WAIT} s")
            time.sleep(0.02)
        self.client.publish(topic, payload, qos=1, retain=retain).wait_for_publish()

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Daemon:
    """ledboardd under ledboard-sim, with a control FIFO and the simulator's request log."""

    def __init__(self, folder, board="serial=A17", extra=(), devices=(), port=None, state=None):
        """`state`: the daemon's state directory, by default one in `folder`; a test that restarts
        the daemon passes the same one again."""
        self.folder = folder
        # Each start in a folder has files of its own: one killed here before (a port taken, a
        # restart) may have left its FIFO, and its last writes must not land in the next log.
        starts = sum(name.startswith("daemon") for name in os.listdir(folder))
        suffix = f"-{starts + 1}" if starts else ""
        self.fifo = os.path.join(folder, f"control{suffix}")
        self.log = os.path.join(folder, f"sim{suffix}.log")
        self.state = state or os.path.join(folder, "state")
        os.makedirs(self.state, exist_ok=True)
        # Appended to by the daemon and the simulator, and read here through a file of its own:
        # a seek on the descriptor they share would move where they write.
        self.stderr_path = os.path.join(folder, f"daemon{suffix}.log")
        self.stderr = open(self.stderr_path, "a")
        command = [ARGS.sim, "--board", board, *devices, "--log", self.log, "--control", self.fifo,
                   "--", ARGS.daemon, "--broker", f"127.0.0.1:{port or BROKER[1]}",
                   "--interval", str(INTERVAL_MS), "--log-level", "debug",
                   "--state-dir", self.state, *extra]
        # A session of its own: closing it ends the daemon too, never left running without its
        # simulator (where it would keep the suite waiting).
        self.process = subprocess.Popen(command, stderr=self.stderr, start_new_session=True)
        # Held open, so that each line is taken as it is written. Opened without blocking: a
        # blocking open of a FIFO nobody reads would wait for ever on a simulator that ended.
        deadline = time.monotonic() + WAIT
        while True:
            try:
                descriptor = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:  # no FIFO yet, or not yet read (ENXIO)
                if error.errno not in (errno.ENOENT, errno.ENXIO):
                    raise
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("the simulator did not start: " + self.log_text())
            time.sleep(0.02)
        os.set_blocking(descriptor, True)
        self.control = os.fdopen(descriptor, "w", buffering=1)

    def change(self, line):
        self.control.write(line + "\n")

    def led_requests(self):
        with open(self.log) as file:
            return [(place, int(value, 16) >> 3) for place, value in
                    LED_REQUEST.findall(file.read())]

    def status_reads(self):
        with open(self.log) as file:
            return len(STATUS_READ.findall(file.read()))

    def wait_for_reads(self, count):
        """Until the boards have been read `count` more times than now: time has passed for the
        daemon, counted in its own reads rather than in seconds."""
        target = self.status_reads() + count
        deadline = time.monotonic() + WAIT
        while self.status_reads() < target:
            if time.monotonic() > deadline:
                raise AssertionError(f"fewer than {count} reads within {WAIT} s")
            time.sleep(0.01)

    def log_text(self):
        with open(self.stderr_path) as log:
            return log.read()

    def stop(self, stop_signal=signal.SIGTERM):
        """SIGTERM (or another signal, which the simulator forwards); returns the exit status and
        the seconds it took."""
        start = time.monotonic()
        self.process.send_signal(stop_signal)
        status = self.process.wait(WAIT)
        return status, time.monotonic() - start

    def close(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()
        self.control.close()
        self.stderr.close()


class DaemonCase(unittest.TestCase):
    """A watcher on a prefix of the test's own, and the daemon started on demand."""

    port = None  # the shared broker's
    watched = ("#",)  # the leaves under the prefix that the watcher subscribes to

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        # Each test its own prefix, so that no retained message of another test is seen.
        self.prefix = f"t{time.monotonic_ns()}"
        self.watcher = Watcher(self.port or BROKER[1], self.prefix, self.watched)

    def tearDown(self):
        self.watcher.close()

    def start(self, **options):
        extra = ("--prefix", self.prefix, *options.pop("extra", ()))
        daemon = Daemon(self.folder, extra=extra, port=self.port, **options)
        self.addCleanup(daemon.close)
        self.addCleanup(lambda: sys.stderr.write("" if self._outcome.success else
                                                 "daemon log:\n" + daemon.log_text()))
        return daemon

    def topic(self, leaf, board="A17"):
        return f"{self.prefix}/{board}/{leaf}"

    def wait_for_log(self, daemon, text):
        deadline = time.monotonic() + WAIT
        while text not in daemon.log_text():
            self.assertLess(time.monotonic(), deadline, f"no {text!r} in the log")
            time.sleep(0.01)

    def barrier(self):
        """A set for an id no board has: once its refusal is in, every command sent before it
        has been handled."""
        mark = self.watcher.count()
        self.watcher.publish(f"{self.prefix}/no-such-board/set", "1")
        self.watcher.wait_for(f"{self.prefix}/no-such-board/error",
                              "set refused: no board with this id has been seen", mark)


class DaemonTest(DaemonCase):
    def test_press_set_and_state(self):
        daemon = self.start()
        online = self.watcher.wait_for(self.topic("availability"), "online")
        self.watcher.wait_for(self.topic("state"), state(0, 0, 0))
        mark = self.watcher.count()
        daemon.change("push")
        self.watcher.wait_for(self.topic("state"), state(0, 1, 0), mark)
        daemon.change("release")
        released = self.watcher.wait_for(self.topic("button"), "released", mark)
        self.watcher.wait_for(self.topic("state"), state(0, 0, 0), mark)
        self.assertEqual(self.watcher.on(self.topic("button"), online), ["pressed", "released"])
        # Reads that change nothing publish nothing.
        quiet = self.watcher.count()
        daemon.wait_for_reads(10)
        self.assertEqual(self.watcher.on(self.topic("state"), quiet), [])

        mark = self.watcher.count()
        self.watcher.publish(self.topic("set"), " 7\n")
        self.watcher.wait_for(self.topic("state"), state(7, 0, 0), mark)
        self.assertEqual(daemon.led_requests(), [("001/002", 7)])
        # A number above 7 still reaches the board whole; the board shows its low three bits.
        self.watcher.publish(self.topic("set"), "13")
        self.watcher.wait_for(self.topic("state"), state(5, 0, 0), mark)
        self.assertEqual(daemon.led_requests(), [("001/002", 7), ("001/002", 13)])
        self.assertLess(released, self.watcher.count())

    def test_unplug_replug_and_the_remembered_value(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("availability"), "online")
        self.watcher.publish(self.topic("set"), "5")
        mark = self.watcher.wait_for(self.topic("state"), state(5, 0, 0))

        unplugged = time.monotonic()
        daemon.change("unplug")
        self.watcher.wait_for(self.topic("availability"), "offline", mark)
        took = time.monotonic() - unplugged
        # One interval plus a second, and a second more for a loaded machine.
        self.assertLess(took, INTERVAL_MS / 1000 + 2.0)

        # Set while it is away: kept, and the latest wins.
        self.watcher.publish(self.topic("set"), "3")
        self.watcher.publish(self.topic("set"), "6")
        self.wait_for_log(daemon, "LED 6 will be set when it comes back")
        self.assertEqual(daemon.led_requests(), [("001/002", 5)])
        mark = self.watcher.count()
        daemon.change("plug")
        self.watcher.wait_for(self.topic("availability"), "online", mark)
        self.watcher.wait_for(self.topic("state"), state(6, 0, 0), mark)
        # The board came back at a new address with its LEDs off; the value was set again.
        self.assertEqual(daemon.led_requests(), [("001/002", 5), ("001/003", 6)])
        self.assertIn("A17: setting LED 6 again", daemon.log_text())

    def test_stop_signal_says_offline_for_the_board_and_the_bridge(self):
        bridge = f"{self.prefix}/bridge/{socket.gethostname()}/availability"
        # SIGHUP too: a closed terminal, or a "reload" out of habit, must not kill it silently.
        for stop_signal in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=stop_signal.name):
                self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
                daemon = self.start()
                mark = self.watcher.count()
                self.watcher.wait_for(self.topic("availability"), "online", mark)
                self.watcher.wait_for(bridge, "online", mark)
                status, took = daemon.stop(stop_signal)
                self.assertEqual(status, 0)
                self.assertLess(took, 3.0)  # it aims at 1 s; slack for a loaded machine
                self.watcher.wait_for(self.topic("availability"), "offline", mark)
                self.watcher.wait_for(bridge, "offline", mark)
                self.assertIn(f"stopping (signal {int(stop_signal)})", daemon.log_text())

    def test_nasty_payloads_are_refused_and_never_reach_the_board(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), state(0, 0, 0))
        mark = self.watcher.count()
        # (An empty payload is what clearing a retained set sends: ignored, not refused.)
        nasty = [b" ", b"32", b"-1", b"+5", b"5.0", b"0x5", b"5 5", b"1e1", b"0032",
                 b"\x00", b"5\x00", b"\xff\xfe", "\u0663".encode(), b"9" * 30, b"5" * 70000,
                 bytes(range(256)), b'{"led":5,"x":1}', b'{"led":"5"}', b"4294967301"]
        self.watcher.publish(self.topic("set"), b"")
        for payload in nasty:
            self.watcher.publish(self.topic("set"), payload)
        # A good one last: once its state is in, every refusal before it has been handled.
        self.watcher.publish(self.topic("set"), "\t2 ")
        self.watcher.wait_for(self.topic("state"), state(2, 0, 0), mark)
        errors = self.watcher.on(self.topic("error"), mark)
        self.assertEqual(len(errors), len(nasty), errors)
        self.assertTrue(all(e.startswith("set refused: ") for e in errors), errors)
        self.assertEqual(daemon.led_requests(), [("001/002", 2)])
        self.assertEqual(self.watcher.on(self.topic("state"), mark),
                         [state(2, 0, 0)])
        self.assertEqual(daemon.process.poll(), None)

    def test_a_killed_daemon_leaves_its_last_will(self):
        daemon = self.start()
        bridge = f"{self.prefix}/bridge/{socket.gethostname()}/availability"
        mark = self.watcher.wait_for(bridge, "online")
        # The simulator forwards SIGTERM; SIGKILL goes to the daemon, its child, directly.
        children = subprocess.run(["pgrep", "-P", str(daemon.process.pid)], capture_output=True,
                                  text=True, check=True).stdout.split()
        self.assertEqual(len(children), 1, children)
        os.kill(int(children[0]), signal.SIGKILL)
        self.watcher.wait_for(bridge, "offline", mark)
        self.assertEqual(daemon.process.wait(WAIT), 128 + signal.SIGKILL)

    def test_boards_with_and_without_serial_and_a_shared_serial(self):
        host = socket.gethostname()
        daemon = self.start(board="port=1.4", devices=("--after", "board,serial=A17,port=2",
                                                       "--after", "board,serial=A17,port=3"))
        for board in (f"{host}-1-1.4", "A17", "A17-1-3"):
            self.watcher.wait_for(self.topic("availability", board), "online")
            # Published right after it: the mark below must come after every arrival's state.
            self.watcher.wait_for(self.topic("state", board), state(0, 0, 0))
        self.assertIn("two boards with serial number A17", daemon.log_text())
        # Each is its own board: a set reaches that one only.
        mark = self.watcher.count()
        self.watcher.publish(self.topic("set", "A17-1-3"), "4")
        self.watcher.wait_for(self.topic("state", "A17-1-3"), state(4, 0, 0), mark)
        self.assertEqual([r[1] for r in daemon.led_requests()], [4])
        self.assertEqual(self.watcher.on(self.topic("state", "A17"), mark), [])


class BrokerRestart(DaemonCase):
    """A broker of this test's own, stopped and started again on the same port."""

    def setUp(self):
        self.broker_folder = tempfile.mkdtemp(prefix="ledboardd-restart-")
        self.broker, self.port = start_broker(self.broker_folder)
        self.addCleanup(lambda: (self.broker.kill(), self.broker.wait()))
        super().setUp()

    def test_reconnects_and_publishes_its_retained_messages_again(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), state(0, 0, 0))
        self.broker.terminate()
        self.broker.wait()
        daemon.change("push")  # while no broker: the state it publishes later has it
        time.sleep(0.5)
        # Without persistence the new broker starts empty: whatever arrives is republished.
        mark = self.watcher.count()
        self.broker, _ = start_broker(self.broker_folder, self.port)
        self.watcher.wait_for(self.topic("availability"), "online", mark)
        self.watcher.wait_for(self.topic("state"), state(0, 1, 0), mark)
        self.watcher.wait_for(f"{self.prefix}/bridge/{socket.gethostname()}/availability",
                              "online", mark)
        self.assertIn("lost the MQTT broker", daemon.log_text())
        # And commands work again.
        self.watcher.publish(self.topic("set"), "3")
        self.watcher.wait_for(self.topic("state"), state(3, 1, 0), mark)


class WrongPassword(DaemonCase):
    """A broker that refuses the daemon's password: one error, and no hurry to ask again."""

    def setUp(self):
        self.broker_folder = tempfile.mkdtemp(prefix="ledboardd-password-")
        passwords = os.path.join(self.broker_folder, "passwords")
        subprocess.run(["mosquitto_passwd", "-b", "-c", passwords, "ledboard", "right"],
                       check=True, capture_output=True)
        # Started as root, mosquitto reads the file as its own user.
        os.chmod(self.broker_folder, 0o755)
        os.chmod(passwords, 0o644)
        self.broker, self.port = start_broker(
            self.broker_folder, settings=f"allow_anonymous false\npassword_file {passwords}\n")
        self.addCleanup(lambda: (self.broker.kill(), self.broker.wait()))
        self.prefix = f"t{time.monotonic_ns()}"
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        self.watcher = None

    def tearDown(self):
        pass

    def test_a_refused_password_is_one_error_and_the_retries_wait(self):
        wrong = os.path.join(self.folder, "password")
        with open(wrong, "w") as file:
            file.write("wrong\n")
        daemon = self.start(extra=("--username", "ledboard", "--password-file", wrong))
        self.wait_for_log(daemon, "refused the connection")
        daemon.wait_for_reads(20)  # time passes for the daemon, counted in its reads
        refusals = [line for line in daemon.log_text().splitlines() if "refused" in line]
        self.assertEqual(len(refusals), 1, refusals)
        self.assertTrue(refusals[0].startswith("<3>"), refusals)
        self.assertIn("trying again every 30 s", refusals[0])
        self.assertNotIn("lost the MQTT broker", daemon.log_text())


class Configuration(unittest.TestCase):
    def run_daemon(self, *arguments):
        return subprocess.run([ARGS.daemon, *arguments], capture_output=True, text=True,
                              timeout=WAIT)

    def test_a_bad_configuration_exits_78_with_one_message(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-config-")
        config = os.path.join(folder, "ledboardd.conf")
        with open(config, "w") as file:
            file.write("interval = 2\n")
        for arguments in (["--broker", "host:0"], ["--broker", "host:"], ["--interval", "x"],
                          ["--prefix", "a/#"], ["--log-level", "loud"], ["--bogus"],
                          ["--config", os.path.join(folder, "missing.conf")],
                          ["--config", config],
                          ["--username", "u", "--password-file", os.path.join(folder, "none")],
                          ["--http", ""], ["--client-id", "x" * 70000], ["--cafile", folder],
                          ["--interval", "5", "--interval", "6"]):
            result = self.run_daemon(*arguments)
            self.assertEqual(result.returncode, 78, arguments)
            self.assertEqual(result.stdout, "", arguments)
            lines = result.stderr.splitlines()
            self.assertEqual(len(lines), 1, (arguments, result.stderr))
            self.assertTrue(lines[0].startswith("<3>ledboardd: "), lines)

    def test_settings_without_effect_start_with_one_warning_each(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-config-")
        empty = os.path.join(folder, "password")
        token = os.path.join(folder, "token")
        for path, text in ((empty, ""), (token, "secret\n")):
            with open(path, "w") as file:
                file.write(text)
        daemon = subprocess.Popen(
            [ARGS.sim, "--no-board", "--", ARGS.daemon, "--broker", f"127.0.0.1:{free_port()}",
             "--username", "u", "--password-file", empty, "--http-token-file", token],
            stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)
        daemon.terminate()
        _, log = daemon.communicate(timeout=WAIT)
        self.assertEqual(daemon.returncode, 0, log)
        warnings = [line for line in log.splitlines() if line.startswith("<4>--")]
        self.assertEqual(warnings, [
            f"<4>--password-file: {empty} is empty: the broker is given an empty password",
            "<4>--http-token-file has no effect without --http: HTTP is off"])

    def test_the_command_line_wins_over_the_file(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-config-")
        config = os.path.join(folder, "ledboardd.conf")
        with open(config, "w") as file:
            file.write("broker = host:0\n")
        # The file's bad broker is overridden, and a bad interval on the line is still seen.
        result = self.run_daemon("--config", config, "--broker", "host:1", "--interval", "1")
        self.assertEqual(result.returncode, 78)
        self.assertIn("--interval", result.stderr)
        self.assertNotIn("broker", result.stderr)


class UsbListing(unittest.TestCase):
    def test_a_bus_that_cannot_be_listed_is_named_once(self):
        # Outside the simulator, on a host without USB.
        if os.path.exists("/dev/bus/usb"):
            self.skipTest("this host has /dev/bus/usb")
        daemon = subprocess.Popen([ARGS.daemon, "--broker", f"127.0.0.1:{free_port()}"],
                                  stderr=subprocess.PIPE, text=True)
        # Past the first rescan and the periodic one 5 s later.
        time.sleep(6.0)
        daemon.terminate()
        _, log = daemon.communicate(timeout=WAIT)
        self.assertEqual([line for line in log.splitlines() if "USB" in line],
                         ["<4>cannot list USB devices in /dev/bus/usb: No such file or directory"])


class Discovery(DaemonCase):
    """Home Assistant's discovery configs, under a discovery prefix inside the test's own, as Home
    Assistant's own client would see and use them."""

    def setUp(self):
        self.broker_folder = tempfile.mkdtemp(prefix="ledboardd-discovery-")
        self.broker, self.port = start_broker(self.broker_folder)
        self.addCleanup(lambda: (self.broker.kill(), self.broker.wait()))
        super().setUp()
        self.discovery = f"{self.prefix}/ha"
        self.device = f"{self.discovery}/device/{self.prefix}__A17/config"

    def start_discovering(self, **options):
        return self.start(extra=("--discovery-prefix", self.discovery, *options.pop("extra", ())),
                          **options)

    def config(self, after=0):
        """The board's device config, the latest from message `after` on."""
        with self.watcher.changed:
            found = self.watcher.changed.wait_for(lambda: any(
                m[0] == self.device and m[1] for m in self.watcher.messages[after:]), WAIT)
            payloads = [m[1] for m in self.watcher.messages[after:] if m[0] == self.device]
        self.assertTrue(found, f"no config on {self.device} within {WAIT} s")
        return json.loads(payloads[-1])

    def test_a_device_whose_entities_work_on_the_boards_own_topics(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-names-")
        config_file = os.path.join(folder, "ledboardd.conf")
        with open(config_file, "w") as file:
            file.write("[board]\nserial = A17\nname = Kitchen\n")
        daemon = self.start_discovering(extra=("--config", config_file))
        config = self.config()
        self.assertEqual(config["device"]["name"], "Kitchen")
        self.assertEqual(config["availability_mode"], "all")
        bridge = f"{self.prefix}/bridge/{socket.gethostname()}/availability"
        self.assertEqual([a["topic"] for a in config["availability"]],
                         [self.topic("availability"), bridge])
        components = config["components"]
        self.assertEqual({c["platform"] for c in components.values()},
                         {"light", "number", "binary_sensor", "sensor", "event",
                          "device_automation"})
        # Today's three entities keep their ids, so that their history stays.
        for key in ("button", "jumpers", "leds"):
            self.assertEqual(components[key]["unique_id"], f"ledboard_{self.prefix}__A17_{key}")
        self.watcher.wait_for(self.topic("state"), state(0, name="Kitchen"))
        # The configs are retained: a Home Assistant that starts later gets them.
        late = Watcher(self.port, self.discovery)
        self.addCleanup(late.close)
        late.wait_for(self.device, self.watcher.on(self.device)[-1])

        # What Home Assistant sends for the lights and the number, on the topics it was given.
        mark = self.watcher.count()
        self.watcher.publish(components["led2"]["command_topic"], "ON")
        self.watcher.wait_for(self.topic("state"), state(2, name="Kitchen"), mark)
        self.watcher.publish(components["leds"]["command_topic"], "5")
        self.watcher.wait_for(self.topic("state"), state(5, name="Kitchen"), mark)
        self.watcher.publish(components["led1"]["command_topic"], "OFF")
        self.watcher.wait_for(self.topic("state"), state(4, name="Kitchen"), mark)
        self.assertEqual([value for _, value in daemon.led_requests()], [2, 5, 4])
        # The button's words reach its event entity and its triggers' topic.
        self.assertEqual(components["button_event"]["state_topic"], self.topic("button"))
        daemon.change("push")
        self.watcher.wait_for(self.topic("button"), "pressed", mark)

    def test_the_configs_of_an_earlier_version_are_handed_over(self):
        node = f"{self.prefix}__A17"
        old = [f"{self.discovery}/binary_sensor/{node}/button/config",
               f"{self.discovery}/sensor/{node}/jumpers/config",
               f"{self.discovery}/number/{node}/leds/config"]
        for topic in old:
            self.watcher.client.publish(topic, json.dumps({"name": "old"}), qos=1,
                                        retain=True).wait_for_publish()
        mark = self.watcher.count()
        self.start_discovering()
        self.config(mark)
        for topic in old:
            self.watcher.wait_for(topic, "", mark)
        # In the documented order: each old config says it moves, then the device, then the old
        # ones go.
        handed = [(m[0], m[1]) for m in self.watcher.messages[mark:] if m[0] in old or
                  (m[0] == self.device and m[1])]
        self.assertEqual([t for t, p in handed[:3]], old)
        self.assertTrue(all(json.loads(p) == {"migrate_discovery": True} for _, p in handed[:3]))
        self.assertEqual(handed[3][0], self.device)
        self.assertEqual([(t, p) for t, p in handed[-3:]], [(t, b"") for t in old])

    def test_assistant_online_deletion_and_a_new_plug_in(self):
        daemon = self.start_discovering()
        self.config()
        # Home Assistant restarted: its "online" gets the config again, after a short delay.
        mark = self.watcher.count()
        self.watcher.publish(f"{self.discovery}/status", "online")
        self.config(mark)
        # Its user deleted the device: not announced again, neither at its "online" nor at a
        # reconnect...
        self.watcher.client.publish(self.device, b"", qos=1, retain=True).wait_for_publish()
        self.wait_for_log(daemon, "A17: deleted in Home Assistant")
        mark = self.watcher.count()
        self.watcher.publish(f"{self.discovery}/status", "online")
        self.broker.terminate()
        self.broker.wait()
        self.broker, _ = start_broker(self.broker_folder, self.port)
        self.watcher.wait_for(self.topic("availability"), "online", mark)
        self.barrier()
        self.assertEqual([m for m in self.watcher.messages[mark:] if m[0] == self.device], [])
        # ...until the board is plugged in anew.
        daemon.change("unplug")
        self.watcher.wait_for(self.topic("availability"), "offline", mark)
        daemon.change("plug")
        self.config(mark)

    def test_off_with_no_discovery_and_a_retired_board_leaves_nothing(self):
        daemon = self.start_discovering()
        self.config()
        mark = self.watcher.count()
        daemon.change("unplug")
        self.watcher.wait_for(self.topic("availability"), "offline", mark)
        self.watcher.publish(f"{self.prefix}/bridge/{socket.gethostname()}/retire", "A17")
        for topic in (self.device, self.topic("state"), self.topic("availability")):
            self.watcher.wait_for(topic, "", mark)
        self.assertEqual(daemon.stop()[0], 0)

        self.prefix = self.prefix + "b"
        self.watcher.close()
        self.watcher = Watcher(self.port, self.prefix)
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        again = self.start_discovering(extra=("--no-discovery",))
        self.watcher.wait_for(self.topic("state"), state(0))
        again.wait_for_reads(10)
        self.barrier()
        self.assertEqual([m for m in self.watcher.messages if "/config" in m[0]], [])


class GesturesAndEffects(DaemonCase):
    """The button's gestures and the effects the daemon runs, on the MQTT topics."""

    def test_single_double_and_long_presses(self):
        # Windows wide enough that the test's own round trips fit in them on a loaded machine.
        daemon = self.start(extra=("--double-press", "1500", "--long-press", "600"))
        self.watcher.wait_for(self.topic("state"), state(0))

        def press(push):
            mark = self.watcher.count()
            daemon.change("push" if push else "release")
            self.watcher.wait_for(self.topic("state"), state(0, int(push)), mark)

        mark = self.watcher.count()
        press(True)
        press(False)
        press(True)  # a second press within the window
        press(False)
        self.watcher.wait_for(self.topic("button"), "double", mark)
        mark = self.watcher.count()
        press(True)
        self.watcher.wait_for(self.topic("button"), "long", mark)  # while it is held
        press(False)
        mark = self.watcher.count()
        press(True)
        press(False)
        self.watcher.wait_for(self.topic("button"), "single", mark)
        words = self.watcher.on(self.topic("button"))
        self.assertEqual([w for w in words if w in ("single", "double", "long")],
                         ["double", "long", "single"])

    def test_a_blink_a_while_and_a_new_value_that_ends_them(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), state(0))
        mark = self.watcher.count()
        self.watcher.publish(self.topic("set"), '{"led":3,"blink":{"on_ms":200,"off_ms":200}}')
        blink = {"blink": {"on_ms": 200, "off_ms": 200}}
        on = self.watcher.wait_for(self.topic("state"), state(3, effect=blink), mark)
        off = self.watcher.wait_for(self.topic("state"), state(0, effect=blink), on)
        self.watcher.wait_for(self.topic("state"), state(3, effect=blink), off)
        # A period the reads could miss is refused, and changes nothing.
        self.watcher.publish(self.topic("set"), '{"led":3,"blink":{"on_ms":60,"off_ms":60}}')
        self.watcher.wait_for(self.topic("error"), 'set refused: "on_ms" or "off_ms" is under two '
                              "read intervals", mark)
        self.watcher.publish(self.topic("set"), "5")
        mark = self.watcher.wait_for(self.topic("state"), state(5), mark)
        self.watcher.publish(self.topic("set"), '{"led":6,"for_s":1}')
        lasting = self.watcher.wait_for(self.topic("state"), None, mark, lambda p: (
            json.loads(p)["led"] == 6 and "for_s" in (json.loads(p)["effect"] or {})))
        self.watcher.wait_for(self.topic("state"), state(5), lasting)  # back to the value before
        requests = [value for _, value in daemon.led_requests()]
        self.assertEqual(requests[-2:], [6, 5])


ZERO = state(0)


class BoardsOfAPreviousRun(DaemonCase):
    def kill_daemon(self, daemon):
        """SIGKILL, so that only its last will speaks; back when the broker has published that."""
        bridge = f"{self.prefix}/bridge/{socket.gethostname()}/availability"
        mark = self.watcher.count()
        children = subprocess.run(["pgrep", "-P", str(daemon.process.pid)], capture_output=True,
                                  text=True, check=True).stdout.split()
        os.kill(int(children[0]), signal.SIGKILL)
        self.watcher.wait_for(bridge, "offline", mark)
        daemon.process.wait(WAIT)

    def test_a_board_gone_while_the_daemon_was_dead_is_marked_offline_on_restart(self):
        host = socket.gethostname()
        boards = f"{self.prefix}/bridge/{host}/boards"
        bridge = f"{self.prefix}/bridge/{host}/availability"
        daemon = self.start()
        self.watcher.wait_for(boards, '["A17"]')
        mark = self.watcher.wait_for(self.topic("availability"), "online")
        self.kill_daemon(daemon)
        # Killed, it said nothing for the board: only the bridge's availability tells.
        self.assertEqual(self.watcher.on(self.topic("availability"), mark + 1), [])

        # The boards it served are in its state directory: one not here now is offline.
        mark = self.watcher.count()
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        again = self.start(board="serial=A17,unplugged", state=daemon.state)
        self.watcher.wait_for(bridge, "online", mark)
        self.watcher.wait_for(self.topic("availability"), "offline", mark)
        self.watcher.wait_for(boards, "[]", mark)
        mark = self.watcher.count()
        again.change("plug")
        self.watcher.wait_for(self.topic("availability"), "online", mark)
        self.watcher.wait_for(boards, '["A17"]', mark)
        again.wait_for_reads(10)
        self.barrier()
        self.assertEqual(self.watcher.on(self.topic("availability"), mark), ["online"])

        # Killed again and restarted with the board still there: it is never taken for gone,
        # not even for the moment before it is found.
        self.kill_daemon(again)
        mark = self.watcher.count()
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        third = self.start(state=daemon.state)
        self.watcher.wait_for(bridge, "online", mark)
        self.watcher.wait_for(self.topic("state"), ZERO, mark)
        third.wait_for_reads(10)
        self.barrier()
        self.assertEqual(self.watcher.on(self.topic("availability"), mark), ["online"])
        self.assertEqual(self.watcher.on(boards, mark), ['["A17"]'])


class ReservedId(DaemonCase):
    def test_a_board_with_the_serial_bridge_never_takes_the_bridges_topics(self):
        self.start(board="serial=bridge")
        served = "~62ridge"
        self.watcher.wait_for(self.topic("availability", served), "online")
        self.watcher.wait_for(f"{self.prefix}/bridge/{socket.gethostname()}/boards",
                              f'["{served}"]')
        mark = self.watcher.count()
        self.watcher.publish(self.topic("set", served), "3")
        self.watcher.wait_for(self.topic("state", served), state(3, 0, 0), mark)
        self.assertEqual([m for m in self.watcher.messages if m[0].startswith(
            f"{self.prefix}/bridge/") and m[0].count("/") == 2], [])


class NothingLost(DaemonCase):
    """What the daemon accepted survives a broker that goes away, a restart of the daemon and a
    board that stops answering; what it cannot use it says so once."""

    def setUp(self):
        self.broker_folder = tempfile.mkdtemp(prefix="ledboardd-lost-")
        self.broker, self.port = start_broker(self.broker_folder)
        self.addCleanup(lambda: (self.broker.kill(), self.broker.wait()))
        super().setUp()

    def retained(self, topic):
        """The retained message a new subscriber gets on `topic`."""
        late = Watcher(self.port, self.prefix, (topic[len(self.prefix) + 1:],))
        try:
            with late.changed:
                late.changed.wait_for(lambda: late.messages, WAIT)
                return late.messages[0][1].decode()
        finally:
            late.close()

    def test_a_board_replugged_while_the_broker_was_down_ends_online(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), ZERO)
        self.broker.terminate()
        self.broker.wait()
        daemon.change("unplug")
        self.wait_for_log(daemon, "A17: unplugged")
        daemon.change("plug")
        self.wait_for_log(daemon, "A17: found at 001/003")
        mark = self.watcher.count()
        self.broker, _ = start_broker(self.broker_folder, self.port)
        self.watcher.wait_for(self.topic("availability"), "online", mark)
        self.watcher.publish(self.topic("set"), "2")
        self.watcher.wait_for(self.topic("state"), state(2, 0, 0), mark)
        self.barrier()
        # The "offline" of the unplug, queued by the client library while the broker was away, may
        # go out after the reconnect's "online" (seen under AddressSanitizer); the daemon then says
        # "online" again, so that is the last word and what the broker keeps.
        availability = self.topic("availability")
        offline = [index for index in range(mark, self.watcher.count())
                   if self.watcher.messages[index][:2] == (availability, b"offline")]
        if offline:
            self.watcher.wait_for(availability, "online", offline[-1] + 1)
        self.assertEqual(self.retained(availability), "online")

    def test_a_value_for_an_away_board_survives_a_killed_daemon(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("availability"), "online")
        daemon.change("unplug")
        self.watcher.wait_for(self.topic("availability"), "offline")
        self.watcher.publish(self.topic("set"), "6")
        self.barrier()  # also a set for an id never seen: not kept
        path = os.path.join(daemon.state, "boards.json")
        deadline = time.monotonic() + WAIT
        while '"desired": 6' not in open(path).read():
            self.assertLess(time.monotonic(), deadline, open(path).read())
            time.sleep(0.01)
        self.assertNotIn("no-such-board", open(path).read())
        # No orderly stop: what was on disk is all the next run has.
        os.killpg(daemon.process.pid, signal.SIGKILL)
        daemon.process.wait(WAIT)

        mark = self.watcher.count()
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        again = self.start(board="serial=A17,unplugged", state=daemon.state)
        self.wait_for_log(again, "serving the boards")
        again.change("plug")
        self.watcher.wait_for(self.topic("state"), state(6, 0, 0), mark)
        self.assertEqual([value for _, value in again.led_requests()], [6])

    def test_a_set_sent_while_the_daemon_is_down_is_applied_when_it_is_back(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), ZERO)
        mark = self.watcher.count()
        self.assertEqual(daemon.stop()[0], 0)
        self.watcher.wait_for(self.topic("availability"), "offline", mark)
        # The broker keeps it for the daemon's session.
        self.watcher.publish(self.topic("set"), "4")
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        again = self.start(state=daemon.state)
        self.watcher.wait_for(self.topic("state"), state(4, 0, 0), mark)
        self.assertEqual([value for _, value in again.led_requests()], [4])

    def test_a_retained_set_is_never_applied_again_and_clearing_it_is_no_error(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), ZERO)
        mark = self.watcher.count()
        # MQTT 3.1.1 does not tell a subscriber that a live message was retained: it is applied
        # once, as it arrives. Sent again by the broker (a restart, a new subscription), it is not.
        self.watcher.client.publish(self.topic("set"), "5", qos=1, retain=True).wait_for_publish()
        self.watcher.wait_for(self.topic("state"), state(5, 0, 0), mark)
        self.watcher.publish(self.topic("set"), "2")
        self.watcher.wait_for(self.topic("state"), state(2, 0, 0), mark)
        self.assertEqual(daemon.stop()[0], 0)

        mark = self.watcher.count()
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        again = self.start(state=daemon.state)
        self.watcher.wait_for(self.topic("error"), "set refused: a retained set is not a "
                              f"command; clear it with mosquitto_pub -r -n -t {self.topic('set')}",
                              mark)
        self.watcher.client.publish(self.topic("set"), b"", qos=1, retain=True).wait_for_publish()
        self.barrier()
        self.assertEqual(len(self.watcher.on(self.topic("error"), mark)), 1)
        # The value set after it is what the board has: 5 never went out again.
        self.assertEqual([value for _, value in again.led_requests()], [2])

    def test_a_board_that_stops_answering_is_offline_until_it_answers(self):
        daemon = self.start()
        self.watcher.wait_for(self.topic("state"), ZERO)
        mark = self.watcher.count()
        daemon.change("hang")
        self.watcher.wait_for(self.topic("availability"), "offline", mark)
        self.watcher.publish(self.topic("set"), "3")
        daemon.change("answer")
        self.watcher.wait_for(self.topic("availability"), "online", mark)
        self.watcher.wait_for(self.topic("state"), state(3, 0, 0), mark)
        self.assertIn("A17: not answering", daemon.log_text())

    def test_distinct_serials_are_distinct_boards(self):
        daemon = self.start(board="serial=a/b", devices=("--after", "board,serial=a_b",
                                                         "--after", "board,serial=a+b"))
        for served in ("a~2Fb", "a_b", "a~2Bb"):
            self.watcher.wait_for(self.topic("state", served), ZERO)
        mark = self.watcher.count()
        self.watcher.publish(self.topic("set", "a_b"), "1")
        self.watcher.wait_for(self.topic("state", "a_b"), state(1, 0, 0), mark)
        self.assertEqual(daemon.led_requests(), [("001/003", 1)])


def openssl(folder, *arguments):
    subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)


def make_certificates(folder):
    """A CA, a server certificate for 127.0.0.1 and localhost, a client certificate, and a
    second CA that signed none of them."""
    key = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")
    for ca in ("ca", "wrong-ca"):
        openssl(folder, "req", "-x509", *key, "-keyout", f"{ca}.key", "-out", f"{ca}.crt",
                "-subj", f"/CN={ca}", "-days", "2")
    with open(os.path.join(folder, "server.ext"), "w") as file:
        file.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for name, extra in (("server", ("-extfile", "server.ext")), ("client", ())):
        openssl(folder, "req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN={name}")
        openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey",
                "ca.key", "-CAcreateserial", "-out", f"{name}.crt", "-days", "2", *extra)
    # The broker may read them as another user.
    os.chmod(folder, 0o755)
    for name in os.listdir(folder):
        os.chmod(os.path.join(folder, name), 0o644)


class Tls(DaemonCase):
    """A broker of the test's own: plain for the watcher, TLS, and TLS with client certificates."""

    def setUp(self):
        self.certs = tempfile.mkdtemp(prefix="ledboardd-tls-")
        make_certificates(self.certs)
        self.port, self.tls_port, self.client_port = free_port(), free_port(), free_port()
        tls = "".join(f"{key} {os.path.join(self.certs, value)}\n" for key, value in
                      (("cafile", "ca.crt"), ("certfile", "server.crt"),
                       ("keyfile", "server.key")))
        config = os.path.join(self.certs, "mosquitto.conf")
        with open(config, "w") as file:
            file.write(f"per_listener_settings true\n"
                       f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                       f"listener {self.tls_port} 127.0.0.1\nallow_anonymous true\n{tls}"
                       f"listener {self.client_port} 127.0.0.1\nallow_anonymous true\n{tls}"
                       f"require_certificate true\n")
        self.broker_log = open(os.path.join(self.certs, "broker.log"), "w+")
        self.addCleanup(self.broker_log.close)
        broker = subprocess.Popen([ARGS.broker, "-c", config], stderr=self.broker_log)
        self.addCleanup(lambda: (broker.kill(), broker.wait()))
        deadline = time.monotonic() + WAIT
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.client_port), timeout=1).close()
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline, "the TLS broker did not start")
                time.sleep(0.05)
        super().setUp()
        self.bridge = f"{self.prefix}/bridge/{socket.gethostname()}/availability"

    def cert(self, name):
        return os.path.join(self.certs, name)

    def start_tls(self, port, *options):
        daemon = Daemon(self.folder, extra=("--prefix", self.prefix, *options), port=port)
        self.addCleanup(daemon.close)
        self.addCleanup(lambda: sys.stderr.write("" if self._outcome.success else
                                                 "daemon log:\n" + daemon.log_text()))
        return daemon

    def test_connects_with_the_ca_and_with_a_client_certificate(self):
        self.start_tls(self.tls_port, "--cafile", self.cert("ca.crt"))
        self.watcher.wait_for(self.topic("state"), state(0, 0, 0))
        self.watcher.wait_for(self.bridge, "online")
        # A second daemon through the listener that wants a client certificate.
        self.prefix += "c"
        self.watcher.close()
        self.watcher = Watcher(self.port, self.prefix)
        self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
        self.start_tls(self.client_port, "--cafile", self.cert("ca.crt"), "--cert",
                       self.cert("client.crt"), "--key", self.cert("client.key"))
        self.watcher.wait_for(self.topic("state"), state(0, 0, 0))

    def test_a_wrong_ca_or_a_missing_client_certificate_fails_logged_without_a_crash(self):
        for port, options in ((self.tls_port, ("--cafile", self.cert("wrong-ca.crt"))),
                              (self.client_port, ("--cafile", self.cert("ca.crt")))):
            with self.subTest(options=options):
                self.folder = tempfile.mkdtemp(prefix="ledboardd-e2e-")
                daemon = self.start_tls(port, *options)
                # Long enough for a first attempt and a retry.
                time.sleep(2.5)
                self.assertEqual(self.watcher.on(self.bridge), [])
                self.assertIsNone(daemon.process.poll())
                self.assertRegex(daemon.log_text(), r"<4>(MQTT: |cannot reach the MQTT broker|"
                                                    r"lost the MQTT broker)")
                status, _ = daemon.stop()
                self.assertEqual(status, 0)


    def test_a_stop_while_no_broker_answers_is_prompt(self):
        # Nothing listens there: the connection attempts fail again and again.
        daemon = self.start_tls(free_port(), "--cafile", self.cert("ca.crt"))
        time.sleep(1.5)
        status, took = daemon.stop()
        self.assertEqual(status, 0)
        self.assertLess(took, 3.0)

class TlsAndDiscoveryConfiguration(unittest.TestCase):
    def test_bad_tls_and_discovery_settings_exit_78_with_one_message(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-config-")
        readable = os.path.join(folder, "ca.crt")
        with open(readable, "w") as file:
            file.write("not checked here\n")
        missing = os.path.join(folder, "missing.crt")
        config = os.path.join(folder, "ledboardd.conf")
        with open(config, "w") as file:
            file.write(f"cafile = {missing}\n")
        for arguments, says in ((["--cafile", missing], "--cafile: cannot read"),
                                (["--config", config], f"{config}:1: cafile: cannot read"),
                                (["--cafile", readable], "holds no PEM certificate"),
                                (["--cafile", folder], "is a directory"),
                                (["--cafile", readable, "--cert", readable], "go together"),
                                (["--cafile", readable, "--key", readable], "go together"),
                                (["--cert", readable, "--key", readable], "--cert needs --cafile"),
                                (["--cafile", readable, "--cert", readable, "--key", missing],
                                 "--key: cannot read"),
                                (["--discovery-prefix", "ha/+"], "--discovery-prefix"),
                                (["--discovery-prefix", ""], "--discovery-prefix")):
            result = subprocess.run([ARGS.daemon, *arguments], capture_output=True, text=True,
                                    timeout=WAIT)
            self.assertEqual(result.returncode, 78, arguments)
            lines = result.stderr.splitlines()
            self.assertEqual(len(lines), 1, (arguments, result.stderr))
            self.assertTrue(lines[0].startswith("<3>ledboardd: "), lines)
            self.assertIn(says, lines[0])

    def test_tls_takes_port_8883_unless_given_and_discovery_can_be_off_in_the_file(self):
        folder = tempfile.mkdtemp(prefix="ledboardd-config-")
        ca = os.path.join(folder, "ca.crt")
        make_certificates(folder)
        config = os.path.join(folder, "ledboardd.conf")
        with open(config, "w") as file:
            file.write(f"cafile = {ca}\ndiscovery = false\nbroker = 127.0.0.1\n")
        daemon = subprocess.Popen([ARGS.sim, "--no-board", "--", ARGS.daemon, "--config", config,
                                   "--log-level", "debug", "--state-dir", folder],
                                  stderr=subprocess.PIPE, text=True)
        try:
            line = daemon.stderr.readline()
        finally:
            daemon.terminate()
            daemon.wait(WAIT)
            daemon.stderr.close()
        self.assertIn("127.0.0.1:8883", line)


def run_suite(extra=(), prepare=None):
    """Runs the running script's tests against a broker of their own, with --daemon, --sim,
    --broker and the `extra` options ((name, add_argument's keywords), ...) read first; unittest
    gets the rest. `prepare` sees the options before the broker starts."""
    global ARGS, BROKER
    parser = argparse.ArgumentParser()
    for name in ("--daemon", "--sim", "--broker"):
        parser.add_argument(name, required=True)
    for name, settings in extra:
        parser.add_argument(name, **settings)
    ARGS, rest = parser.parse_known_args()
    if prepare:
        prepare(ARGS)
    with tempfile.TemporaryDirectory(prefix="ledboardd-broker-") as folder:
        BROKER = start_broker(folder)
        try:
            program = unittest.main(module="__main__", argv=[sys.argv[0], "-v", *rest],
                                    exit=False)
        finally:
            BROKER[0].terminate()
            BROKER[0].wait()
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    run_suite()
