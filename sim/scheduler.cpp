#include "scheduler.hpp"

#include <algorithm>

namespace sim {

Scheduler::Scheduler(std::vector<TimedChange> changes, std::chrono::steady_clock::time_point start,
                     Apply apply)
    : changes_(std::move(changes)), start_(start), apply_(std::move(apply))
{
    std::stable_sort(
        changes_.begin(), changes_.end(),
        [](const TimedChange& one, const TimedChange& other) { return one.after < other.after; });
    if (!changes_.empty()) {
        thread_ = std::thread([this] { run(); });
    }
}

Scheduler::~Scheduler()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Scheduler::run()
{
    for (const TimedChange& change : changes_) {
        {
            std::unique_lock lock(mutex_);
            // A steady clock: a change of the wall clock moves no change.
            if (wake_.wait_until(lock, start_ + change.after, [this] { return stopping_; })) {
                return;
            }
        }
        apply_(change);
    }
}

} // namespace sim
