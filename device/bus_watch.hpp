// Noticing that something changed on the USB bus without asking libusb, whose rescan opens every
// device: a run that waits for a board looks often and rescans only when this says so.
#pragma once

#include <cstdint>

// Where usbfs puts the device nodes, /dev/bus/usb/BUS/DEV: libusb 0.1.12 scans it, and the nodes
// of libusb-1.0's devices (libusb-compat) are there as well.
inline constexpr const char* USB_DEVICE_NODES = "/dev/bus/usb";

// A digest of every node under `root`: its bus and name, inode, mode, owner and change time. A
// board plugged in or out adds or removes a node; udev giving it the rule's mode, group or ACL
// changes its change time. Two equal digests mean, as far as the nodes tell, nothing changed.
std::uint64_t usbBusFingerprint(const char* root = USB_DEVICE_NODES);
