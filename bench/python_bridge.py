#!/usr/bin/python3
"""The bridge a user would otherwise write instead of running ledboardd: pyusb (on libusb 0.1,
the library ledboardd uses) and paho-mqtt, one thread that reads every board each interval,
publishes its state when it changes and applies the `set` commands that came in meanwhile.

    python_bridge.py --broker HOST:PORT [--prefix ledboard] [--interval MS]

Boards are found once at start, by serial number (as ledboardd names them); no replugs, no
availability, no discovery: the least a bridge does. bench/daemon.py runs it beside ledboardd.
"""
import argparse
import json
import queue
import signal
import time

import paho.mqtt.client as mqtt
import usb.backend.libusb0
import usb.core
import usb.util

VENDOR, PRODUCT = 0x1384, 0x8888
VENDOR_IN = 0xC0  # IN, vendor, device
READ_STATUS, SET_LEDS = 0, 1
REPLY = 7
TIMEOUT_MS = 5000


def decode(reply):
    return {"led": (reply[0] >> 3) & 7, "push": 0 if reply[0] & 0x40 else 1,
            "jump": ~reply[1] & 0x0F}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--broker", required=True)
    parser.add_argument("--prefix", default="ledboard")
    parser.add_argument("--interval", type=int, default=50)
    options = parser.parse_args()
    host, port = options.broker.rsplit(":", 1)

    backend = usb.backend.libusb0.get_backend()
    boards = {}
    for device in usb.core.find(find_all=True, idVendor=VENDOR, idProduct=PRODUCT,
                                backend=backend):
        serial = usb.util.get_string(device, device.iSerialNumber) if device.iSerialNumber else None
        boards[serial or f"bus{device.bus}-dev{device.address}"] = device

    commands = queue.Queue()

    def received(_client, _userdata, message):
        board = message.topic.split("/")[-2]
        try:
            value = int(message.payload)
        except ValueError:
            return
        if board in boards and 0 <= value <= 31:
            commands.put((board, value))

    client = mqtt.Client(client_id=f"python-bridge-{time.monotonic_ns()}")
    client.on_connect = lambda c, *_: c.subscribe(f"{options.prefix}/+/set", qos=1)
    client.on_message = received
    client.connect(host, int(port))
    client.loop_start()

    running = [True]
    signal.signal(signal.SIGTERM, lambda *_: running.__setitem__(0, False))
    signal.signal(signal.SIGINT, lambda *_: running.__setitem__(0, False))
    last = {}
    interval = options.interval / 1000
    next_read = time.monotonic()
    while running[0]:
        while not commands.empty():
            board, value = commands.get()
            boards[board].ctrl_transfer(VENDOR_IN, SET_LEDS, value << 3, 0, REPLY, TIMEOUT_MS)
        for name, device in boards.items():
            try:
                state = decode(device.ctrl_transfer(VENDOR_IN, READ_STATUS, 0, 0, REPLY,
                                                    TIMEOUT_MS))
            except usb.core.USBError:
                continue
            if state != last.get(name):
                last[name] = state
                client.publish(f"{options.prefix}/{name}/state", json.dumps(state,
                               separators=(",", ":")), qos=1, retain=True)
        next_read += interval
        time.sleep(max(0.0, next_read - time.monotonic()))
    client.loop_stop()
    client.disconnect()


if __name__ == "__main__":
    main()
