#include "sysfs_record.hpp"

#include <array>
#include <cstdio>

namespace sim {

namespace {

// usbfs's character-device major number (Documentation/admin-guide/devices.txt).
constexpr int USB_DEVICE_MAJOR = 189;
constexpr int ADDRESSES_PER_BUS = 128;

// Node contents as umockdev records take them: hexadecimal, upper case only.
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

std::string idText(std::uint16_t id)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "%04x", id);
    return text.data();
}

} // namespace

std::string sysfsRecord(const SimulatedDevice& device)
{
    const int bus = device.bus();
    const int address = device.address();
    const std::string controller = "/devices/pci0000:00/0000:00:1d.0/usb" + std::to_string(bus);
    const std::string sysfs =
        device.isHub() ? controller
                       : controller + "/" + std::to_string(bus) + "-" + std::to_string(address - 1);
    const int minor = (bus - 1) * ADDRESSES_PER_BUS + address - 1;
    const DevicePlan& plan = device.plan();
    std::string text = "P: " + sysfs + "\n";
    text += "N: bus/usb/" + device.name() + "=" + hex(device.descriptors()) + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    text += "E: DEVNAME=" + device.nodePath() + "\n";
    text +=
        "E: BUSNUM=" + device.name().substr(0, 3) + "\nE: DEVNUM=" + device.name().substr(4) + "\n";
    text += "A: busnum=" + std::to_string(bus) + "\nA: devnum=" + std::to_string(address) + "\n";
    text += "A: idVendor=" + idText(plan.vendor) + "\nA: idProduct=" + idText(plan.product) + "\n";
    if (plan.productName) {
        text += "A: product=" + *plan.productName + "\n";
    }
    if (plan.manufacturerName) {
        text += "A: manufacturer=" + *plan.manufacturerName + "\n";
    }
    if (plan.serialNumber) {
        text += "A: serial=" + *plan.serialNumber + "\n";
    }
    text += "A: dev=" + std::to_string(USB_DEVICE_MAJOR) + ":" + std::to_string(minor) + "\n";
    return text + "\n";
}

} // namespace sim
