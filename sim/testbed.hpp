// The simulated bus on umockdev: a testbed whose /dev/bus/usb holds one node per simulated
// device, and an ioctl handler per node that passes usbfs requests to Usbfs.
#pragma once

#include "config.hpp"
#include "device_model.hpp"
#include "event_log.hpp"
#include "usbfs.hpp"

#include <umockdev.h>

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

private:
    struct Endpoint {
        Testbed* testbed;
        std::size_t device;
    };

    void addDevice(const SimulatedDevice& device);
    void checkListingOrder() const;
    void openToAllUsers() const;

    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                            gpointer endpoint);

    std::unique_ptr<UMockdevTestbed, GObjectUnref> testbed_;
    std::string root_;
    std::vector<SimulatedDevice> devices_;
    EventLog log_;
    Usbfs usbfs_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::vector<std::unique_ptr<UMockdevIoctlBase, GObjectUnref>> handlers_;
    std::mutex mutex_; // handlers run on umockdev's worker thread
};

} // namespace sim
