// What the system shows about a board beyond libusb's list: where to look for the cause when the
// tool cannot use a board. No libusb here; on systems without sysfs these find nothing.
#pragma once

#include "sysfs.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>

// A device with the given identity that sysfs shows attached (at `at`, when given), whether or not
// libusb could list it. With several, the one with the lowest bus and device number.
std::optional<BusAddress> findAttachedInSysfs(int vendor, int product,
                                              const BusAddress* at = nullptr,
                                              const char* devices = SYSFS_USB_DEVICES);

inline constexpr const char* UDEV_RULE_NAME = "60-ledboard.rules";

// Where udev reads rules from, in its order of precedence (udev(7)).
inline constexpr std::array<const char*, 4> UDEV_RULE_DIRECTORIES = {
    "/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

// The index of the first of `directories` that holds UDEV_RULE_NAME, if any.
std::optional<std::size_t> findInstalledRule(std::span<const char* const> directories);
