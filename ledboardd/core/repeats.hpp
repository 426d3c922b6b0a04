// Saying a refusal that may come in a flood: the first few each second are said (logged, answered),
// the rest only counted, and the count is logged once the flood is over. A flood of bad commands
// must not become a flood of log lines and of answers queued for the network.
#pragma once

#include "hub.hpp"

#include <cstddef>
#include <mutex>
#include <string>

namespace ledboardd {

class RepeatLimiter {
public:
    // `what` names the refusals in the summary ("set commands refused").
    RepeatLimiter(std::string what, int perSecond) : what_(std::move(what)), perSecond_(perSecond)
    {
    }

    // Whether this one is to be said. Logs the count of the ones not said in the second before.
    bool sayNow(Clock::time_point now = Clock::now());

private:
    std::string what_;
    int perSecond_;
    std::mutex mutex_;
    Clock::time_point second_{};
    int said_ = 0;
    std::size_t unsaid_ = 0;
};

} // namespace ledboardd
