#include "held_requests.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace sim {

HeldRequests::HeldRequests(EventLog& log) : log_(log), thread_([this] { run(); }) {}

HeldRequests::~HeldRequests()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    for (const Request& request : requests_) {
        finish(request, ControlReply{ETIMEDOUT, {}});
    }
}

void HeldRequests::hold(const SimulatedDevice& device, UMockdevIoctlClient* client,
                        UMockdevIoctlData* buffer, const ControlSetup& setup, Hold hold,
                        std::optional<std::chrono::milliseconds> timeout)
{
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (timeout) {
        deadline = std::chrono::steady_clock::now() + *timeout;
    }
    g_object_ref(client);
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back({&device, device.name(), client, buffer, setup, hold, deadline});
    }
    wake_.notify_all();
}

bool HeldRequests::settle(SimulatedDevice& device)
{
    if (device.present() && device.hung()) {
        return false;
    }
    std::vector<Request> settled;
    {
        // A device that left ends every request (usbfs fails them with ENODEV); one that answers
        // again ends those it left waiting, not those lost on the way.
        const std::lock_guard lock(mutex_);
        const auto ends = [&](const Request& request) {
            return request.device == &device &&
                   (request.hold == Hold::UntilAnswered || !device.present());
        };
        std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(settled), ends);
        std::erase_if(requests_, ends);
    }
    bool left = false;
    for (Request& request : settled) {
        const ControlReply reply = device.control(request.setup);
        left = left || reply.leftBus;
        if (reply.hold != Hold::No) {
            // Lost after all (a hang fault at this request): it waits for its own deadline.
            request.hold = reply.hold;
            const std::lock_guard lock(mutex_);
            requests_.push_back(request);
            continue;
        }
        finish(request, reply);
    }
    return left;
}

void HeldRequests::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        const auto due = [now](const Request& request) {
            return request.deadline && *request.deadline <= now;
        };
        std::vector<Request> expired;
        std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(expired), due);
        std::erase_if(requests_, due);
        if (!expired.empty()) {
            lock.unlock();
            for (const Request& request : expired) {
                finish(request, ControlReply{ETIMEDOUT, {}});
            }
            lock.lock();
            continue;
        }
        std::optional<std::chrono::steady_clock::time_point> next;
        for (const Request& request : requests_) {
            if (request.deadline && (!next || *request.deadline < *next)) {
                next = request.deadline;
            }
        }
        if (next) {
            wake_.wait_until(lock, *next);
        } else {
            wake_.wait(lock);
        }
    }
}

void HeldRequests::finish(const Request& request, const ControlReply& reply)
{
    ControlReply sent{reply.error, {}};
    if (reply.error == 0 && !reply.data.empty()) {
        if (request.buffer == nullptr ||
            static_cast<std::size_t>(request.buffer->data_len) < reply.data.size()) {
            sent.error = EFAULT;
        } else {
            std::memcpy(request.buffer->data, reply.data.data(), reply.data.size());
            sent.data = reply.data;
        }
    }
    // Logged as it ends: the line carries the result the program gets.
    log_.write(describeControl(request.name, request.setup, sent));
    umockdev_ioctl_client_complete(
        request.client, sent.error != 0 ? -1 : static_cast<long>(sent.data.size()), sent.error);
    g_object_unref(request.client);
}

} // namespace sim
