#include "sysfs_record.hpp"

#include <array>
#include <cstdio>

namespace sim {

namespace {

// usbfs's character-device major number (Documentation/admin-guide/devices.txt), and the minor
// numbers the kernel gives its nodes: 128 per bus.
constexpr int USB_DEVICE_MAJOR = 189;
constexpr int ADDRESSES_PER_BUS = 128;
constexpr const char* HOST_CONTROLLER = "/devices/pci0000:00/0000:00:1d.0";

// The speed attribute in Mb/s; the board is a low-speed device (USB 2.0, 7.1.11).
constexpr const char* LOW_SPEED = "1.5";
constexpr const char* HIGH_SPEED = "480";

// Binary contents as umockdev records take them: hexadecimal, upper case only.
std::string hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (const std::uint8_t byte : bytes) {
        std::array<char, 3> digits{};
        std::snprintf(digits.data(), digits.size(), "%02X", byte);
        text += digits.data();
    }
    return text;
}

std::string hex4(unsigned value)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "%04x", value & 0xFFFFU);
    return text.data();
}

// "A: key=value\n" with umockdev's escapes, the value ending in a newline as the kernel's do.
std::string attribute(const std::string& key, const std::string& value)
{
    std::string escaped;
    for (const char c : value) {
        escaped += c == '\\' ? "\\\\" : std::string(1, c);
    }
    return "A: " + key + "=" + escaped + "\\n\n";
}

int minor(const SimulatedDevice& device)
{
    return (device.bus() - 1) * ADDRESSES_PER_BUS + device.address() - 1;
}

} // namespace

std::string sysfsPath(const SimulatedDevice& device)
{
    std::string path =
        std::string("/sys") + HOST_CONTROLLER + "/usb" + std::to_string(device.bus());
    std::string name = std::to_string(device.bus()) + "-";
    for (std::size_t level = 0; level < device.port().size(); ++level) {
        name += (level == 0 ? "" : ".") + std::to_string(device.port()[level]);
        path += "/" + name;
    }
    return path;
}

std::string sysfsDevAttribute(const SimulatedDevice& device)
{
    return std::to_string(USB_DEVICE_MAJOR) + ":" + std::to_string(minor(device)) + "\n";
}

std::string sysfsRecord(const SimulatedDevice& device)
{
    const DevicePlan& plan = device.plan();
    const std::vector<std::uint8_t> descriptors = device.descriptors();
    // Device descriptor fields (USB 2.0, table 9-8).
    const unsigned deviceClass = descriptors.at(4);
    const unsigned bcdDevice = static_cast<unsigned>(descriptors.at(12)) |
                               (static_cast<unsigned>(descriptors.at(13)) << 8U);
    const std::string name = device.name();
    std::string text = "P: " + sysfsPath(device).substr(4) + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    text += "E: DEVNAME=" + device.nodePath() + "\n";
    text += "E: BUSNUM=" + name.substr(0, 3) + "\nE: DEVNUM=" + name.substr(4) + "\n";
    text += "E: MAJOR=" + std::to_string(USB_DEVICE_MAJOR) +
            "\nE: MINOR=" + std::to_string(minor(device)) + "\n";
    // The kernel's PRODUCT has no leading zeros.
    std::array<char, 32> product{};
    std::snprintf(product.data(), product.size(), "%x/%x/%x", plan.vendor, plan.product, bcdDevice);
    text += "E: PRODUCT=" + std::string(product.data()) + "\n";
    text += attribute("busnum", std::to_string(device.bus()));
    text += attribute("devnum", std::to_string(device.address()));
    text += attribute("devpath", device.devpath());
    text += attribute("idVendor", hex4(plan.vendor));
    text += attribute("idProduct", hex4(plan.product));
    text += attribute("bcdDevice", hex4(bcdDevice));
    text += attribute("bDeviceClass", hex4(deviceClass).substr(2));
    text += attribute("bNumConfigurations", "1");
    text += attribute("bConfigurationValue", "1");
    text += attribute("speed", plan.board ? LOW_SPEED : HIGH_SPEED);
    if (plan.productName) {
        text += attribute("product", *plan.productName);
    }
    if (plan.manufacturerName) {
        text += attribute("manufacturer", *plan.manufacturerName);
    }
    if (plan.serialNumber) {
        text += attribute("serial", *plan.serialNumber);
    }
    std::string dev = sysfsDevAttribute(device);
    dev.pop_back();
    text += "A: dev=" + dev + "\n";
    // What libusb-1.0 reads instead of opening the node: the device descriptor, then every
    // configuration with its interfaces and endpoints.
    text += "H: descriptors=" + hex(descriptors) + "\n";
    return text + "\n";
}

} // namespace sim
