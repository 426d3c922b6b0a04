// The USB devices as the kernel shows them in sysfs: their bus and device numbers, their identity,
// and their port path, the one name of a device that stays the same when it is replugged into the
// same socket. No libusb here; on systems without sysfs these find nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// A USB device's place as the kernel numbers it.
struct BusAddress {
    unsigned bus;
    unsigned device;
    bool operator==(const BusAddress&) const = default;
};

// Bus numbers as libusb 0.1 names them, with three digits; device numbers are USB addresses, 1 to
// 127 (USB 2.0, 9.4.6).
inline constexpr unsigned MAX_BUS_NUMBER = 999;
inline constexpr unsigned MAX_DEVICE_NUMBER = 127;

inline constexpr const char* SYSFS_USB_DEVICES = "/sys/bus/usb/devices";

// A port path as sysfs names a device: "1-1.4" is bus 1, port 1 of its root hub, then port 4 of
// the hub plugged in there. A hub has at most 255 ports (bNbrPorts is one byte), and a chain at
// most seven ports.
inline constexpr unsigned MAX_PORT_NUMBER = 255;
inline constexpr std::size_t MAX_PORT_PATH_PORTS = 7;
inline constexpr std::size_t PORT_PATH_LENGTH = 32; // "999-255.255.255.255.255.255.255" and a NUL

struct PortPath {
    std::array<char, PORT_PATH_LENGTH> text{}; // NUL-terminated; all NULs when empty
    bool empty() const noexcept { return text[0] == '\0'; }
};

// True for BUS-PORT[.PORT]... and nothing else: bus 1 to MAX_BUS_NUMBER, ports 1 to
// MAX_PORT_NUMBER, 1 to MAX_PORT_PATH_PORTS ports, decimal without leading zeros (sysfs never
// writes them, so each path has one spelling). Root hubs ("usb1") and interfaces ("1-1:1.0") are
// not port paths.
bool isPortPath(std::string_view text) noexcept;

// A device sysfs shows at a port path.
struct SysfsDevice {
    BusAddress address;
    PortPath path;
    std::uint16_t vendor;
    std::uint16_t product;
};

// Every device in `devices` with this identity, in bus and device number order: writes the first
// out.size() of them and returns how many it wrote. Entries that are not port paths, or whose
// busnum, devnum, idVendor or idProduct cannot be read, are left out.
std::size_t listSysfsDevices(int vendor, int product, std::span<SysfsDevice> out,
                             const char* devices = SYSFS_USB_DEVICES);

// The device at `address`, whatever its identity, when sysfs shows one there with a port path (a
// root hub has none).
std::optional<SysfsDevice> sysfsDeviceAt(BusAddress address,
                                         const char* devices = SYSFS_USB_DEVICES);

// The port path of the device at `address`; empty when sysfs shows none there.
PortPath sysfsPathOf(BusAddress address, const char* devices = SYSFS_USB_DEVICES);

// The device at a port path, whatever its identity, when sysfs shows one there. Anything that is
// not a port path finds nothing, so `path` never leaves `devices`.
std::optional<SysfsDevice> sysfsDeviceAt(std::string_view path,
                                         const char* devices = SYSFS_USB_DEVICES);
