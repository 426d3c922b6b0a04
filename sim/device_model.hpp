// The simulated devices' behaviour, free of umockdev: their descriptors and their answers to
// control requests. The testbed glue (testbed.cpp) feeds requests in and writes answers back.
#pragma once

#include "config.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The setup packet of a control transfer (USB 2.0, 9.3).
struct ControlSetup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

// Whether a request gets its answer now. A device that does not answer leaves the request
// waiting, as the host controller retries it, until the caller's timeout.
enum class Hold {
    No,
    UntilAnswered, // the device hangs: answered when it answers again (see control())
    UntilTimeout,  // this one request is lost: only the timeout ends it
};

// A device's answer: an errno value (the transfer fails), or the bytes of the data stage.
struct ControlReply {
    int error = 0;
    std::vector<std::uint8_t> data;
    bool leftBus = false; // a change unplugged the device at this request
    Hold hold = Hold::No; // no answer yet; `error` is ETIMEDOUT, what the wait ends with
};

class SimulatedDevice {
public:
    SimulatedDevice(DevicePlan plan, int bus, int address, bool hub);

    // The board's inputs and its faults; only boards use them.
    void setInputs(bool pushed, unsigned jumpers);
    void setFaults(std::vector<RequestFault> faults);
    void setChanges(std::vector<InputChange> changes);
    // A change's button and jumpers; its plug or unplug is the testbed's to carry out.
    void applyInputs(const BoardChange& change);

    // Not answering at all (the change `hang`) until the change `answer`.
    bool hung() const { return hung_; }

    // On the bus or off it. Off it, every request fails with ENODEV. Plugged in again, it has a
    // new address and, having lost power, its LEDs off; its button and jumpers stay as they are.
    bool present() const { return present_; }
    void leaveBus() { present_ = false; }
    void joinBus(int address);

    const DevicePlan& plan() const { return plan_; }
    int bus() const { return bus_; }
    int address() const { return address_; }
    bool isHub() const { return hub_; }
    // Where it is plugged in (see DevicePlan::port); empty for a root hub.
    const std::vector<int>& port() const { return port_; }
    void setPort(std::vector<int> port) { port_ = std::move(port); }
    // As sysfs names it: "usb1" for a root hub, "1-1.4" for the device at port 1.4 of bus 1.
    std::string sysfsName() const;
    // sysfs's devpath attribute: "1.4", and "0" for a root hub.
    std::string devpath() const;
    std::string name() const;     // "001/002", as libusb names it (see nodeName)
    std::string nodePath() const; // "/dev/bus/usb/001/002"

    // The device descriptor followed by the configuration: what reading usbfs's node returns.
    std::vector<std::uint8_t> descriptors() const;

    // Answers one control transfer, changing the device's state as the device would. A hung
    // device answers nothing (Hold::UntilAnswered) and counts no request (but the one at which an
    // ordered change hangs it); asked again once it answers, it answers then.
    ControlReply control(const ControlSetup& setup);

private:
    ControlReply standardRequest(const ControlSetup& setup) const;
    ControlReply boardRequest(const ControlSetup& setup);
    std::vector<std::uint8_t> statusBytes() const;
    std::string stringAt(int index) const;

    DevicePlan plan_;
    int bus_;
    int address_;
    bool hub_;
    std::vector<int> port_;
    bool pushed_ = false;
    unsigned jumpers_ = 0;
    std::vector<RequestFault> faults_;
    std::vector<InputChange> changes_;
    int vendorRequests_ = 0;
    bool unplugged_ = false; // the unplug fault: requests fail, the node stays
    bool hung_ = false;
    bool present_ = true;
    std::uint8_t leds_ = 0;      // bits 3..5 of the last LED value
    std::uint8_t lastValue_ = 0; // low byte of the last LED request's wValue
};

// "001/002" for address 2 on bus 1: the name of its node under /dev/bus/usb, as libusb names it.
std::string nodeName(int bus, int address);

// One log line for a control transfer to the device named `name` ("001/002").
std::string describeControl(const std::string& name, const ControlSetup& setup,
                            const ControlReply& reply);

// "-EPIPE" for EPIPE and so on; the byte count for a success.
std::string describeResult(long result, int error);

} // namespace sim
