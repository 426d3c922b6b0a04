// How the testbed's directories list their entries. libusb 0.1 lists busses and devices in
// readdir order, so the simulator creates them in the order that lists them as wanted and checks.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Directory entries in readdir order, without the dot entries. Throws std::runtime_error.
std::vector<std::string> listing(const std::string& directory);

// Whether directories under `parent` list their entries newest first (tmpfs on the kernels seen
// so far) rather than oldest first. Throws std::runtime_error when it cannot find out.
bool listsNewestFirst(const std::string& parent);

// Throws std::runtime_error naming `what` when `directory` does not list `wanted`, in order.
void checkListing(const std::string& directory, const std::vector<std::string>& wanted,
                  const std::string& what);

} // namespace sim
