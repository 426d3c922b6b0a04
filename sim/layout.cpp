#include "layout.hpp"

#include <algorithm>
#include <stdexcept>

namespace sim {

namespace {

// USB addresses are 1 to 127 (USB 2.0, 9.4.6), the root hub's included.
constexpr int MAX_ADDRESS = 127;

// A Linux root hub's identity (the kernel's own vendor ID).
constexpr std::uint16_t ROOT_HUB_VENDOR = 0x1d6b;
constexpr std::uint16_t ROOT_HUB_PRODUCT = 0x0002;

DevicePlan rootHub(int bus)
{
    DevicePlan hub;
    hub.vendor = ROOT_HUB_VENDOR;
    hub.product = ROOT_HUB_PRODUCT;
    hub.productName = "EHCI Host Controller";
    hub.manufacturerName = "Linux 6.1.0-28-amd64 ehci_hcd";
    hub.bus = bus;
    return hub;
}

std::string portText(int bus, const std::vector<int>& port)
{
    std::string text;
    for (const int number : port) {
        text += (text.empty() ? "" : ".") + std::to_string(number);
    }
    return "port " + text + " of bus " + std::to_string(bus);
}

// Every board gets the inputs; each board the faults and changes meant for it.
void setUp(SimulatedDevice& device, const Config& config)
{
    if (!device.plan().board) {
        return;
    }
    device.setInputs(config.pushed, config.jumpers);
    if (device.plan().boardNumber == 1) {
        device.setFaults(config.faults);
    }
    std::vector<InputChange> changes;
    for (const InputChange& change : config.changes) {
        if (change.change.board == device.plan().boardNumber) {
            changes.push_back(change);
        }
    }
    device.setChanges(changes);
}

// Each device gets the port it asked for, or port (address - 1) of the root hub: 1-1 for the
// first device after the root hub at address 1. One that starts off the bus takes the lowest port
// of the root hub left free. No two may share a port, and none may sit behind another one's port:
// the devices simulated are no hubs.
void assignPorts(std::vector<SimulatedDevice>& devices)
{
    for (SimulatedDevice& device : devices) {
        if (!device.isHub() && (!device.plan().port.empty() || device.present())) {
            device.setPort(device.plan().port.empty() ? std::vector<int>{device.address() - 1}
                                                      : device.plan().port);
        }
    }
    for (SimulatedDevice& device : devices) {
        if (device.isHub() || !device.port().empty()) {
            continue;
        }
        int port = 1;
        const auto taken = [&](int number) {
            return std::any_of(devices.begin(), devices.end(), [&](const SimulatedDevice& other) {
                return other.bus() == device.bus() && !other.port().empty() &&
                       other.port().front() == number;
            });
        };
        while (taken(port)) {
            ++port;
        }
        device.setPort({port});
    }
    for (auto one = devices.begin(); one != devices.end(); ++one) {
        for (auto other = one + 1; other != devices.end(); ++other) {
            if (one->isHub() || other->isHub() || one->bus() != other->bus()) {
                continue;
            }
            const auto& first = one->port().size() <= other->port().size() ? *one : *other;
            const auto& second = &first == &*one ? *other : *one;
            if (!std::equal(first.port().begin(), first.port().end(), second.port().begin())) {
                continue;
            }
            if (first.port().size() == second.port().size()) {
                throw std::invalid_argument("two devices share " +
                                            portText(first.bus(), first.port()));
            }
            throw std::invalid_argument(portText(second.bus(), second.port()) + " lies behind " +
                                        portText(first.bus(), first.port()) +
                                        ", which holds a device that is not a hub");
        }
    }
}

} // namespace

std::vector<SimulatedDevice> layOut(const Config& config)
{
    std::vector<const DevicePlan*> listed;
    for (const auto& device : config.before) {
        listed.push_back(&device);
    }
    if (config.board) {
        listed.push_back(&*config.board);
    }
    for (const auto& device : config.after) {
        listed.push_back(&device);
    }
    int lastBus = 1;
    for (const DevicePlan* device : listed) {
        lastBus = std::max(lastBus, device->bus);
    }

    std::vector<SimulatedDevice> devices;
    for (int bus = 1; bus <= lastBus; ++bus) {
        int address = 1;
        devices.emplace_back(rootHub(bus), bus, address++, true);
        for (const DevicePlan* plan : listed) {
            if (plan->bus != bus) {
                continue;
            }
            if (plan->unplugged) {
                // Off the bus: it gets an address when it is plugged in.
                SimulatedDevice& device = devices.emplace_back(*plan, bus, 0, false);
                device.leaveBus();
                setUp(device, config);
                continue;
            }
            if (address > MAX_ADDRESS) {
                throw std::invalid_argument("bus " + std::to_string(bus) +
                                            " cannot hold more than " +
                                            std::to_string(MAX_ADDRESS) + " devices");
            }
            setUp(devices.emplace_back(*plan, bus, address++, false), config);
        }
    }
    assignPorts(devices);
    return devices;
}

int nextAddress(const std::vector<SimulatedDevice>& devices, int bus, int last)
{
    const auto inUse = [&](int address) {
        return std::any_of(devices.begin(), devices.end(), [&](const SimulatedDevice& device) {
            return device.bus() == bus && device.present() && device.address() == address;
        });
    };
    // Like the kernel's devnum_next: the one after the last given, round the bus, skipping those
    // in use.
    for (int step = 1; step <= MAX_ADDRESS; ++step) {
        const int address = (last - 1 + step) % MAX_ADDRESS + 1;
        if (!inUse(address)) {
            return address;
        }
    }
    return 0;
}

} // namespace sim
