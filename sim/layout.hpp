// Where each simulated device sits: its bus and its address.
#pragma once

#include "config.hpp"
#include "device_model.hpp"

#include <vector>

namespace sim {

// Every device of `config`, bus by bus, each bus starting with its root hub at address 1 and then
// the devices in the order they are listed; those that start unplugged get no address. Every
// board gets the inputs; the board of `config` gets the faults, and each board its changes. Devices
// without a port of their own are at port (address - 1) of their root hub. Throws
// std::invalid_argument when a bus would need more than 127 addresses, or when two devices' ports
// clash.
std::vector<SimulatedDevice> layOut(const Config& config);

// The address the kernel gives the next device plugged into `bus`, whose last new device got
// `last`: the one above it, or past 127 the lowest one free. 0 when all 127 are in use.
int nextAddress(const std::vector<SimulatedDevice>& devices, int bus, int last);

} // namespace sim
