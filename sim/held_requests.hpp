// Requests a device does not answer: USBDEVFS_CONTROL calls kept waiting, as the kernel keeps them
// while the host controller retries, until the caller's timeout has passed or the device answers.
// umockdev lets an ioctl be completed later from any thread, and only the program waiting on it
// waits: every other node, and every other open descriptor, is answered meanwhile.
#pragma once

#include "device_model.hpp"
#include "event_log.hpp"

#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class HeldRequests {
public:
    explicit HeldRequests(EventLog& log);
    // Ends whatever still waits with ETIMEDOUT: the program it belongs to has ended by now.
    ~HeldRequests();
    HeldRequests(const HeldRequests&) = delete;
    HeldRequests& operator=(const HeldRequests&) = delete;

    // Keeps `client`'s control transfer on `device` waiting. `buffer` is its data stage (null
    // without one); `timeout` is the caller's, none for a caller who waits for ever (usbfs takes
    // a timeout of 0 so). Once it has passed the request fails with ETIMEDOUT, as usbfs fails it.
    void hold(const SimulatedDevice& device, UMockdevIoctlClient* client, UMockdevIoctlData* buffer,
              const ControlSetup& setup, Hold hold,
              std::optional<std::chrono::milliseconds> timeout);

    // Asks `device` again for each request it left waiting until it answers, if it answers now
    // or has left the bus, and completes them. Called with the device's state locked. Returns
    // true when one of the answers took the device off the bus (a change at that request).
    bool settle(SimulatedDevice& device);

private:
    struct Request {
        const SimulatedDevice* device;
        std::string name;            // the device's, when the request came: a replug renames it
        UMockdevIoctlClient* client; // referenced while held
        UMockdevIoctlData* buffer;
        ControlSetup setup;
        Hold hold;
        std::optional<std::chrono::steady_clock::time_point> deadline;
    };

    void run();
    void finish(const Request& request, const ControlReply& reply);

    EventLog& log_;
    std::mutex mutex_; // guards requests_ and stopping_
    std::condition_variable wake_;
    std::vector<Request> requests_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace sim
