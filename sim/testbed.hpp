// The simulated bus on umockdev: a testbed whose /dev/bus/usb holds one node per simulated
// device on the bus, and an ioctl handler per node that passes usbfs requests to Usbfs. Devices
// leave the bus and come back while the command runs.
#pragma once

#include "config.hpp"
#include "device_model.hpp"
#include "event_log.hpp"
#include "usbfs.hpp"

#include <umockdev.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct GObjectUnref {
    void operator()(void* object) const noexcept;
};

class Testbed {
public:
    // Builds the bus. Throws std::runtime_error when umockdev cannot set it up.
    explicit Testbed(const Config& config);
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // The directory to hand to the program under test as UMOCKDEV_DIR.
    const std::string& root() const { return root_; }

    // The errno of the first failed write to the log, or 0.
    int logError() { return log_.error(); }

    // Carries out a change now: the board's inputs, then its plug or unplug. Safe from any
    // thread but umockdev's. Returns what kept it from doing so (the board already plugged in,
    // say), or an empty string.
    std::string apply(const BoardChange& change);

private:
    // One node's handler: the device, and the address it had when the node was made. A node
    // whose device has left the bus, or came back at another address, answers ENODEV for ever.
    struct Endpoint {
        Testbed* testbed;
        std::size_t device;
        int address;
    };

    // `device` is devices_[index] as the testbed is to show it.
    void addDevice(std::size_t index, const SimulatedDevice& device);
    void attachHandler(std::size_t index, const SimulatedDevice& device);
    void unplug(SimulatedDevice& device); // with mutex_ held
    std::string plug(SimulatedDevice& device);
    void checkListingOrder() const;
    void openToAllUsers() const;
    void openSocketToAllUsers(const SimulatedDevice& device) const;

    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                            gpointer endpoint);

    std::unique_ptr<UMockdevTestbed, GObjectUnref> testbed_;
    std::string root_;
    std::vector<SimulatedDevice> devices_; // never resized: endpoints hold indexes into it
    EventLog log_;
    Usbfs usbfs_;
    bool allUsers_;
    std::map<int, int> lastAddress_; // bus -> the address its last new device got
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::vector<std::string> attached_; // node paths with a handler
    std::vector<std::unique_ptr<UMockdevIoctlBase, GObjectUnref>> handlers_;
    std::mutex mutex_;    // the devices' state; handlers run on umockdev's worker thread
    std::mutex changing_; // one plug or unplug at a time, taken before mutex_
};

} // namespace sim
