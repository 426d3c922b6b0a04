#include "causes.hpp"

#include <unistd.h>

#include <climits>
#include <cstdio>

std::optional<BusAddress> findAttachedInSysfs(int vendor, int product, const BusAddress* at,
                                              const char* devices)
{
    if (at != nullptr) {
        const auto device = sysfsDeviceAt(*at, devices);
        if (!device || device->vendor != vendor || device->product != product) {
            return std::nullopt;
        }
        return device->address;
    }
    std::array<SysfsDevice, 1> first{};
    if (listSysfsDevices(vendor, product, first, devices) == 0) {
        return std::nullopt;
    }
    return first[0].address;
}

std::optional<std::size_t> findInstalledRule(std::span<const char* const> directories)
{
    for (std::size_t i = 0; i < directories.size(); ++i) {
        std::array<char, PATH_MAX> path{};
        std::snprintf(path.data(), path.size(), "%s/%s", directories[i], UDEV_RULE_NAME);
        if (access(path.data(), F_OK) == 0) {
            return i;
        }
    }
    return std::nullopt;
}
