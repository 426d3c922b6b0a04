#!/usr/bin/python3
"""The script a user would otherwise write for `ledboard 5`: pyusb on libusb 0.1.

Finds the board by its ID, sends the LED value, reads the status twice and prints the same
three lines. pyusb's libusb0 backend uses the same library as ledboard, so both pay the same
USB costs.
"""
import sys

import usb.backend.libusb0
import usb.core


def main() -> int:
    if len(sys.argv) < 2:
        print("you need LED data")
        return 0
    try:
        number = int(sys.argv[1])
    except ValueError:
        number = 0
    board = usb.core.find(idVendor=0x1384, idProduct=0x8888,
                          backend=usb.backend.libusb0.get_backend())
    if board is None:
        print("Plugin your USB device1 ")
        return 0
    board.ctrl_transfer(0xC0, 1, (number & 0x1F) << 3, 0, 7)
    board.ctrl_transfer(0xC0, 0, 0, 0, 7)
    status = board.ctrl_transfer(0xC0, 0, 0, 0, 7)
    print(f"LED  d {(status[0] >> 3) & 7:2x}")
    print(f"PUSH d {1 if status[0] & 0x40 == 0 else 0:2x}")
    print(f"JUMP b {~status[1] & 0x0F:2x}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
