#include "fake_usb.hpp"

#include <cerrno>

#include <usb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The library's handle type is opaque to its users; the fake gives it a body.
struct usb_dev_handle {
    std::string name;
    const fake::Device* script;
    struct usb_device* device;
    bool open;
};

namespace {

constexpr std::uint8_t SERIAL_INDEX = 3;

struct World {
    fake::State state;
    std::vector<fake::Bus> layout;
    std::deque<usb_bus> busses;
    std::deque<struct usb_device> devices;
    std::deque<usb_dev_handle> handles;
    std::vector<const fake::Device*> deviceScripts; // parallel to `devices`
    std::string lastError = "No error";
};

World& world()
{
    static World instance;
    return instance;
}

// libusb's names for busses and devices: "001", "002", ...
std::string number(std::size_t position)
{
    const std::string digits = std::to_string(position + 1);
    return std::string(3 - std::min<std::size_t>(3, digits.size()), '0') + digits;
}

template <std::size_t N>
void copyName(char (&field)[N], const std::string& name)
{
    std::snprintf(field, N, "%s", name.c_str());
}

void record(std::string call)
{
    world().state.calls.push_back(std::move(call));
}

const fake::Device& scriptOf(const struct usb_device* device)
{
    auto& w = world();
    for (std::size_t i = 0; i < w.devices.size(); ++i) {
        if (&w.devices[i] == device) {
            return *w.deviceScripts[i];
        }
    }
    std::abort();
}

} // namespace

namespace fake {

State& reset(std::vector<Bus> busses)
{
    auto& w = world();
    w = World{};
    w.layout = std::move(busses);
    usb_bus* previousBus = nullptr;
    for (std::size_t b = 0; b < w.layout.size(); ++b) {
        usb_bus& bus = w.busses.emplace_back();
        std::memset(&bus, 0, sizeof bus);
        copyName(bus.dirname, w.layout[b].name.empty() ? number(b) : w.layout[b].name);
        if (previousBus != nullptr) {
            previousBus->next = &bus;
        }
        previousBus = &bus;
        struct usb_device* previousDevice = nullptr;
        for (std::size_t d = 0; d < w.layout[b].devices.size(); ++d) {
            const Device& script = w.layout[b].devices[d];
            struct usb_device& device = w.devices.emplace_back();
            std::memset(&device, 0, sizeof device);
            copyName(device.filename, script.name.empty() ? number(d) : script.name);
            device.bus = &bus;
            device.descriptor.idVendor = script.vendor;
            device.descriptor.idProduct = script.product;
            device.descriptor.iProduct = script.iProduct;
            device.descriptor.iManufacturer = script.iManufacturer;
            device.descriptor.iSerialNumber = script.serial.empty() ? 0 : SERIAL_INDEX;
            w.deviceScripts.push_back(&script);
            if (previousDevice == nullptr) {
                bus.devices = &device;
            } else {
                previousDevice->next = &device;
            }
            previousDevice = &device;
        }
    }
    return w.state;
}

State& state()
{
    return world().state;
}

} // namespace fake

extern "C" {

void usb_init(void)
{
    record("usb_init");
}

int usb_find_busses(void)
{
    record("usb_find_busses");
    return world().state.findBussesResult;
}

int usb_find_devices(void)
{
    record("usb_find_devices");
    return world().state.findDevicesResult;
}

struct usb_bus* usb_get_busses(void)
{
    record("usb_get_busses");
    auto& w = world();
    return w.busses.empty() ? nullptr : &w.busses.front();
}

usb_dev_handle* usb_open(struct usb_device* dev)
{
    const std::string name = std::string(dev->bus->dirname) + "/" + dev->filename;
    record("usb_open " + name);
    const fake::Device& script = scriptOf(dev);
    if (!script.opens) {
        errno = script.openErrno;
        return nullptr;
    }
    auto& w = world();
    ++w.state.openHandles;
    // A deque's elements stay where they are as it grows.
    // cppcheck-suppress returnDanglingLifetime
    return &w.handles.emplace_back(usb_dev_handle{name, &script, dev, true});
}

int usb_close(usb_dev_handle* dev)
{
    record("usb_close " + dev->name);
    if (!dev->open) {
        std::fprintf(stderr, "fake libusb: %s closed twice\n", dev->name.c_str());
        std::abort();
    }
    dev->open = false;
    --world().state.openHandles;
    return 0;
}

int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, size_t buflen)
{
    record("usb_get_string_simple " + dev->name + " index=" + std::to_string(index) +
           " length=" + std::to_string(buflen));
    if (index == SERIAL_INDEX) {
        std::snprintf(buf, buflen, "%s", dev->script->serial.c_str());
        return static_cast<int>(dev->script->serial.size());
    }
    const int result =
        index == dev->script->iProduct ? dev->script->productRead : dev->script->manufacturerRead;
    if (result > 0) {
        const auto length = std::min(static_cast<std::size_t>(result), buflen - 1);
        std::memset(buf, 'x', length);
        buf[length] = '\0';
    }
    return result;
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index,
                    char* bytes, int size, int timeout)
{
    auto& w = world();
    record("usb_control_msg " + dev->name);
    w.state.controls.push_back(
        {dev->name, requesttype, request, value, index, size, timeout, bytes});
    if (w.state.transfers.empty()) {
        std::memcpy(
            bytes, w.state.idleReply.data(),
            std::min<std::size_t>(w.state.idleReply.size(), static_cast<std::size_t>(size)));
        return static_cast<int>(w.state.idleReply.size());
    }
    const fake::Transfer transfer = w.state.transfers.front();
    w.state.transfers.pop_front();
    if (!transfer.data.empty()) {
        std::memcpy(bytes, transfer.data.data(),
                    std::min(transfer.data.size(), static_cast<std::size_t>(size)));
    }
    if (transfer.result < 0) {
        w.lastError = transfer.error;
    }
    return transfer.result;
}

struct usb_device* usb_device(usb_dev_handle* dev)
{
    return dev->device;
}

char* usb_strerror(void)
{
    return world().lastError.data();
}

} // extern "C"
