#include "usbfs.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

namespace sim {

namespace {

// The hub driver's answer to USBDEVFS_HUB_PORTINFO: the port count, then the address of the
// device on each port (0 for none). The kernel defines it privately (drivers/usb/core/hub.c);
// its size is part of the ioctl number.
struct HubPortInfo {
    char ports;
    std::array<char, 127> port;
};
constexpr unsigned HUB_PORTINFO = _IOR('U', 19, HubPortInfo);

// The setup packet of a USBDEVFS_CONTROL request, or nothing when its argument cannot be read.
// `timeout` gets the caller's timeout in milliseconds.
std::optional<ControlSetup> readSetup(UMockdevIoctlClient* client, UMockdevIoctlData*& transfer,
                                      unsigned* timeout = nullptr)
{
    transfer = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                           sizeof(usbdevfs_ctrltransfer), nullptr);
    if (transfer == nullptr) {
        return std::nullopt;
    }
    usbdevfs_ctrltransfer raw{};
    std::memcpy(&raw, transfer->data, sizeof raw);
    if (timeout != nullptr) {
        *timeout = raw.timeout;
    }
    return ControlSetup{raw.bRequestType, raw.bRequest, raw.wValue, raw.wIndex, raw.wLength};
}

std::string requestCode(gulong request)
{
    std::array<char, 32> code{};
    std::snprintf(code.data(), code.size(), "0x%08lx", request);
    return code.data();
}

} // namespace

Usbfs::Usbfs(std::vector<SimulatedDevice>& devices, EventLog& log, const std::string& root,
             std::function<void(SimulatedDevice&)> unplug)
    : devices_(devices), log_(log), root_(root), unplug_(std::move(unplug)), urbs_(log), held_(log)
{
}

void Usbfs::refuse(const std::string& name, UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* transfer = nullptr;
    if (request == USBDEVFS_CONTROL) {
        if (const auto setup = readSetup(client, transfer)) {
            log_.write(describeControl(name, *setup, ControlReply{ENODEV, {}}));
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    complete(client, name + " IOCTL request=" + requestCode(request) + " result=", -1, ENODEV);
}

void Usbfs::handle(SimulatedDevice& device, UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
    case USBDEVFS_CONNECTINFO:
        connectInfo(device, client);
        return;
    case USBDEVFS_CONTROL:
        control(device, client);
        return;
    case USBDEVFS_IOCTL:
        hubIoctl(device, client);
        return;
    case USBDEVFS_GET_CAPABILITIES:
        capabilities(device, client);
        return;
    case USBDEVFS_SUBMITURB:
        if (urbs_.submit(device, client).leftBus) {
            unplug_(device);
        }
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        urbs_.reap(client); // not logged: libusb-1.0 asks again and again until one is there
        return;
    case USBDEVFS_DISCARDURB:
        urbs_.discard(device, client);
        return;
    default:
        complete(client, device.name() + " IOCTL request=" + requestCode(request) + " result=", -1,
                 ENOTTY);
        return;
    }
}

void Usbfs::capabilities(const SimulatedDevice& device, UMockdevIoctlClient* client)
{
    const std::string line = device.name() + " IOCTL GET_CAPABILITIES result=";
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(std::uint32_t), nullptr);
    if (data == nullptr) {
        complete(client, line, -1, EFAULT);
        return;
    }
    // What any recent kernel offers, short of what the simulator does not do: no mmap()ed
    // buffers, no reaping after a disconnect.
    const std::uint32_t offered = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
    std::memcpy(data->data, &offered, sizeof offered);
    complete(client, line, 0, 0);
}

void Usbfs::connectInfo(const SimulatedDevice& device, UMockdevIoctlClient* client)
{
    const std::string line = device.name() + " CONNECTINFO result=";
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                          sizeof(usbdevfs_connectinfo), nullptr);
    if (data == nullptr) {
        complete(client, line, -1, EFAULT);
        return;
    }
    usbdevfs_connectinfo info{};
    info.devnum = static_cast<unsigned>(device.address());
    info.slow = device.plan().board ? 1 : 0; // the board is a low-speed device
    std::memcpy(data->data, &info, sizeof info);
    complete(client, line, 0, 0);
}

void Usbfs::control(SimulatedDevice& device, UMockdevIoctlClient* client)
{
    UMockdevIoctlData* transfer = nullptr;
    unsigned timeout = 0;
    const auto request = readSetup(client, transfer, &timeout);
    if (!request) {
        complete(client, device.name() + " CONTROL result=", -1, EFAULT);
        return;
    }
    const ControlSetup& setup = *request;
    const ControlReply reply = device.control(setup);
    if (reply.hold != Hold::No) {
        // Not answered here: umockdev's worker serves every node, and must go on doing so.
        UMockdevIoctlData* buffer =
            setup.length == 0
                ? nullptr
                : umockdev_ioctl_data_resolve(transfer, offsetof(usbdevfs_ctrltransfer, data),
                                              setup.length, nullptr);
        // usbfs waits for ever on a timeout of 0.
        const auto wait =
            timeout == 0 ? std::nullopt : std::optional{std::chrono::milliseconds{timeout}};
        held_.hold(device, client, buffer, setup, reply.hold, wait);
        return;
    }
    const std::string line = describeControl(device.name(), setup, reply);
    // The line carries its own result; complete() must not append another.
    const auto logAndComplete = [&](long result, int error) {
        log_.write(line);
        umockdev_ioctl_client_complete(client, result, error);
    };
    if (reply.leftBus) {
        logAndComplete(-1, reply.error);
        unplug_(device);
        return;
    }
    if (reply.error != 0) {
        logAndComplete(-1, reply.error);
        return;
    }
    if (!reply.data.empty()) {
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            transfer, offsetof(usbdevfs_ctrltransfer, data), setup.length, nullptr);
        if (buffer == nullptr) {
            logAndComplete(-1, EFAULT);
            return;
        }
        std::memcpy(buffer->data, reply.data.data(), reply.data.size());
    }
    logAndComplete(static_cast<long>(reply.data.size()), 0);
}

void Usbfs::hubIoctl(const SimulatedDevice& device, UMockdevIoctlClient* client)
{
    const std::string line = device.name() + " IOCTL HUB_PORTINFO result=";
    // libusb 0.1 sends this to every device at the end of its rescan: the last moment before the
    // tool opens anything, so a vanishing node goes now.
    if (device.plan().vanish) {
        unlink((root_ + device.nodePath()).c_str());
    }
    if (device.plan().denyAll) {
        complete(client, line, -1, EPERM);
        return;
    }
    UMockdevIoctlData* command = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                             0, sizeof(usbdevfs_ioctl), nullptr);
    if (command == nullptr) {
        complete(client, line, -1, EFAULT);
        return;
    }
    usbdevfs_ioctl raw{};
    std::memcpy(&raw, command->data, sizeof raw);
    if (!device.isHub() || static_cast<unsigned>(raw.ioctl_code) != HUB_PORTINFO) {
        // What usbfs answers when no driver with an ioctl is bound to the interface.
        complete(client, line, -1, ENOTTY);
        return;
    }
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(command, offsetof(usbdevfs_ioctl, data),
                                                          sizeof(HubPortInfo), nullptr);
    if (data == nullptr) {
        complete(client, line, -1, EFAULT);
        return;
    }
    // The root hub has as many ports as the highest one in use; a device further down sits
    // behind a hub that is not simulated, so its port shows nothing here.
    HubPortInfo info{};
    for (const SimulatedDevice& other : devices_) {
        if (other.bus() == device.bus() && !other.isHub()) {
            const int port = other.port().front();
            if (port > static_cast<int>(info.port.size())) {
                continue; // beyond what the kernel's structure can tell
            }
            info.ports = static_cast<char>(std::max<int>(info.ports, port));
            if (other.port().size() == 1) {
                info.port.at(static_cast<std::size_t>(port - 1)) =
                    static_cast<char>(other.address());
            }
        }
    }
    std::memcpy(data->data, &info, sizeof info);
    complete(client, line, info.ports + 1, 0); // the hub driver returns the port count plus one
}

void Usbfs::complete(UMockdevIoctlClient* client, const std::string& line, long result, int error)
{
    log_.write(line + describeResult(result, error));
    umockdev_ioctl_client_complete(client, result, error);
}

} // namespace sim
