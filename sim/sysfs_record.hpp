// A simulated device as umockdev records it: its sysfs directory with its attributes and its udev
// properties. Its usbfs node, whose content libusb 0.1 reads as the device's descriptors, is the
// testbed's to write (see Testbed::addDevice).
#pragma once

#include "device_model.hpp"

#include <string>

namespace sim {

// The device's directory under the testbed's root: "/sys/devices/.../usb1/1-1/1-1.4" for the
// device at port 1.4 of bus 1, nested under the hubs' directories as the kernel nests them.
std::string sysfsPath(const SimulatedDevice& device);

// The record umockdev_testbed_add_from_string() takes. Its text attributes end in a newline, as
// the kernel's do (libusb-1.0 drops a device whose busnum or devnum does not), except `dev`:
// umockdev makes a link named after its value, so the testbed adds the newline afterwards.
std::string sysfsRecord(const SimulatedDevice& device);

// The kernel's text of the `dev` attribute, newline included.
std::string sysfsDevAttribute(const SimulatedDevice& device);

} // namespace sim
