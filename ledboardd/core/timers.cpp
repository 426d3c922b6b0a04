#include "timers.hpp"

namespace ledboardd {

Timers::Timers() : thread_([this] { run(); }) {}

Timers::~Timers()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Timers::after(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        const std::lock_guard lock(mutex_);
        due_.emplace(Clock::now() + delay, std::move(task));
    }
    changed_.notify_all();
}

void Timers::run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (due_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const auto next = due_.begin()->first;
        if (Clock::now() < next) {
            changed_.wait_until(lock, next);
            continue;
        }
        std::function<void()> task = std::move(due_.begin()->second);
        due_.erase(due_.begin());
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace ledboardd
