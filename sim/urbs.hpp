// Control transfers as libusb-1.0 sends them: URBs submitted to a node, then reaped from it
// (USBDEVFS_SUBMITURB, REAPURB, REAPURBNDELAY, DISCARDURB). The device answers at submission, as
// for USBDEVFS_CONTROL, and the log gets the same line; the answer reaches the program when it
// reaps the URB.
#pragma once

#include "device_model.hpp"
#include "event_log.hpp"

#include <umockdev.h>

#include <map>
#include <vector>

namespace sim {

class Urbs {
public:
    explicit Urbs(EventLog& log) : log_(log) {}
    ~Urbs();
    Urbs(const Urbs&) = delete;
    Urbs& operator=(const Urbs&) = delete;

    // Each answers one ioctl on `device`'s node. The caller serialises the calls. submit()
    // returns the device's reply, so that the caller can act on a device that leaves the bus.
    ControlReply submit(SimulatedDevice& device, UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    void discard(const SimulatedDevice& device, UMockdevIoctlClient* client);

private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;    // the program's struct usbdevfs_urb (a reference)
        UMockdevIoctlData* buffer = nullptr; // its buffer: the setup packet, then the data
        ControlReply reply;
    };
    // A program's open node: the URBs it may reap, and those that never complete (a request
    // that times out) until it discards them.
    struct Node {
        std::vector<Urb> done;
        std::vector<Urb> pending;
    };

    Node& nodeOf(UMockdevIoctlClient* client);

    EventLog& log_;
    std::map<UMockdevIoctlClient*, Node> nodes_; // each client referenced while it is a key
};

} // namespace sim
