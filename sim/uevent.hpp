// uevents for the command's libudev monitors. umockdev_testbed_uevent() looks the device up
// through libudev in the calling process, which works only under umockdev's preload; the
// simulator has none, so it builds the message itself, as umockdev's sender does (the
// libudev-to-libudev format of systemd's device monitor), and sends it to every monitor the
// preload has opened in the testbed.
#pragma once

#include "device_model.hpp"

#include <string>

namespace sim {

// Sends `action` ("add", "remove") for `device` to every monitor listening in the testbed at
// `root`. A monitor that has gone away is skipped.
void sendUevent(const std::string& root, const SimulatedDevice& device, const std::string& action);

} // namespace sim
