// The usbfs side of the simulated devices: the ioctls a program sends to a node under
// /dev/bus/usb, answered from the device model. libusb 0.1 sends control transfers as
// USBDEVFS_CONTROL, libusb-1.0 as URBs (see Urbs).
#pragma once

#include "device_model.hpp"
#include "event_log.hpp"
#include "held_requests.hpp"
#include "urbs.hpp"

#include <umockdev.h>

#include <functional>
#include <string>
#include <vector>

namespace sim {

class Usbfs {
public:
    // `devices` is the whole bus (a hub's port status lists its neighbours); `root` the testbed's
    // directory; `unplug` takes a device off the bus when a change at one of its requests says
    // so. All outlive this object.
    Usbfs(std::vector<SimulatedDevice>& devices, EventLog& log, const std::string& root,
          std::function<void(SimulatedDevice&)> unplug);

    // Answers one ioctl on `device`'s node. The caller serialises the calls.
    void handle(SimulatedDevice& device, UMockdevIoctlClient* client);

    // Answers an ioctl on a node named `name` whose device has left the bus since it was opened:
    // ENODEV, as usbfs answers after a disconnect.
    void refuse(const std::string& name, UMockdevIoctlClient* client);

    // Ends the requests `device` left waiting, once it answers again or leaves the bus (see
    // HeldRequests::settle). The caller serialises this with handle().
    bool settle(SimulatedDevice& device) { return held_.settle(device); }

private:
    void capabilities(const SimulatedDevice& device, UMockdevIoctlClient* client);
    void connectInfo(const SimulatedDevice& device, UMockdevIoctlClient* client);
    void control(SimulatedDevice& device, UMockdevIoctlClient* client);
    void hubIoctl(const SimulatedDevice& device, UMockdevIoctlClient* client);
    void complete(UMockdevIoctlClient* client, const std::string& line, long result, int error);

    std::vector<SimulatedDevice>& devices_;
    EventLog& log_;
    const std::string& root_;
    std::function<void(SimulatedDevice&)> unplug_;
    Urbs urbs_;
    HeldRequests held_;
};

} // namespace sim
