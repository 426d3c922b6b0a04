// A simulated device as umockdev records it: its sysfs directory with its attributes, its udev
// properties, and its usbfs node, whose content libusb 0.1 reads as the device's descriptors.
#pragma once

#include "device_model.hpp"

#include <string>

namespace sim {

// The record umockdev_testbed_add_from_string() takes.
std::string sysfsRecord(const SimulatedDevice& device);

} // namespace sim
