// The simulated bus on umockdev: a testbed whose /dev/bus/usb holds one node per simulated
// device, and an ioctl handler per node that answers usbfs requests from the device model.
#pragma once

#include "config.hpp"
#include "device_model.hpp"

#include <umockdev.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct GObjectUnref {
    void operator()(void* object) const noexcept;
};
struct FileCloser {
    void operator()(std::FILE* file) const noexcept;
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
    int logError();

private:
    struct Endpoint {
        Testbed* testbed;
        std::size_t device;
    };

    void addDevice(const SimulatedDevice& device);
    void checkListingOrder() const;
    void openToAllUsers() const;
    void checkOrder(const std::string& usb, const std::string& bus,
                    const std::vector<std::string>& wanted) const;
    bool handleIoctl(std::size_t index, UMockdevIoctlClient* client);
    void handleControl(SimulatedDevice& device, UMockdevIoctlClient* client);
    void handleHubIoctl(SimulatedDevice& device, UMockdevIoctlClient* client);
    void complete(UMockdevIoctlClient* client, const std::string& line, long result, int error);
    void log(const std::string& line);

    static gboolean onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                            gpointer endpoint);

    std::unique_ptr<UMockdevTestbed, GObjectUnref> testbed_;
    std::string root_;
    std::vector<SimulatedDevice> devices_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::vector<std::unique_ptr<UMockdevIoctlBase, GObjectUnref>> handlers_;
    std::unique_ptr<std::FILE, FileCloser> log_;
    bool logTimes_ = false;
    int logError_ = 0;
    std::mutex mutex_; // handlers run on umockdev's worker thread
};

} // namespace sim
