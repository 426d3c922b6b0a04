#include "repeats.hpp"

#include "log.hpp"

namespace ledboardd {

bool RepeatLimiter::sayNow(Clock::time_point now)
{
    const std::lock_guard lock(mutex_);
    if (now - second_ >= std::chrono::seconds{1}) {
        if (unsaid_ > 0) {
            logf(LogLevel::Warning, "%zu more %s in a second, not answered", unsaid_,
                 what_.c_str());
        }
        second_ = now;
        said_ = 0;
        unsaid_ = 0;
    }
    if (said_ < perSecond_) {
        ++said_;
        return true;
    }
    ++unsaid_;
    return false;
}

} // namespace ledboardd
