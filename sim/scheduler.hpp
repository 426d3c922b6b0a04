// Changes at given times after the command started (--at 500ms:...), carried out by a thread of
// their own.
#pragma once

#include "config.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

class Scheduler {
public:
    using Apply = std::function<void(const TimedChange&)>;

    // Applies each change with `apply` once its time after `start` has come, in order of time
    // (changes at the same time in the order given). Does nothing without changes.
    Scheduler(std::vector<TimedChange> changes, std::chrono::steady_clock::time_point start,
              Apply apply);
    // Stops at once: changes whose time has not come are dropped.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

private:
    void run();

    std::vector<TimedChange> changes_;
    std::chrono::steady_clock::time_point start_;
    Apply apply_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace sim
