// Work to do later, on a thread of its own: Home Assistant's "online" is answered with the
// discovery configs after a short random delay, so that every bridge does not answer at once.
#pragma once

#include "hub.hpp"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace ledboardd {

class Timers {
public:
    Timers();
    ~Timers(); // ends the thread; what is not due yet is dropped
    Timers(const Timers&) = delete;
    Timers& operator=(const Timers&) = delete;

    // Runs `task` on the timers' thread once `delay` has passed.
    void after(std::chrono::milliseconds delay, std::function<void()> task);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<Clock::time_point, std::function<void()>> due_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace ledboardd
