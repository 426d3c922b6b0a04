// How changes leave the hub: queued under its lock, run outside it, in order; and what the front
// ends say of themselves.
#include "hub.hpp"

#include "hub_row.hpp"

namespace ledboardd {

namespace {

// Set while this thread runs the posted changes: a listener that asks the hub for something posts
// more, which the same loop then runs, rather than waiting for itself.
thread_local bool deliveringHere = false;

} // namespace

void Hub::setFrontEnd(const std::string& name, bool up, std::string problem)
{
    const std::lock_guard lock(mutex_);
    FrontEndStatus& status = frontEnds_[name];
    status.up = up;
    status.problem = std::move(problem);
}

void Hub::addToFrontEnd(const std::string& name, const std::string& metric, double delta)
{
    const std::lock_guard lock(mutex_);
    frontEnds_[name].values[metric] += delta;
}

void Hub::setFrontEndValue(const std::string& name, const std::string& metric, double value)
{
    const std::lock_guard lock(mutex_);
    frontEnds_[name].values[metric] = value;
}

std::map<std::string, FrontEndStatus> Hub::frontEnds() const
{
    const std::lock_guard lock(mutex_);
    return frontEnds_;
}

void Hub::post(Change::Kind kind, const Row& row, bool pressed, std::uint64_t command,
               Gesture gesture)
{
    if (listeners_.empty()) {
        return;
    }
    postTask([this, change = Change{kind, row.board, pressed, command, gesture}] {
        for (const Listener& listener : listeners_) {
            listener(change);
        }
    });
}

void Hub::postTask(std::function<void()> task)
{
    posted_.push_back(std::move(task));
}

void Hub::deliver()
{
    if (deliveringHere) {
        return; // the loop below, further up this thread's stack, runs it
    }
    for (;;) {
        // Another thread delivering runs what was posted here too: it looks again after it
        // lets go, and this thread posted before trying.
        std::unique_lock delivery(delivering_, std::try_to_lock);
        if (!delivery.owns_lock()) {
            return;
        }
        deliveringHere = true;
        for (;;) {
            std::function<void()> task;
            {
                const std::lock_guard lock(mutex_);
                if (posted_.empty()) {
                    break;
                }
                task = std::move(posted_.front());
                posted_.pop_front();
            }
            task();
        }
        deliveringHere = false;
        delivery.unlock();
        const std::lock_guard lock(mutex_);
        if (posted_.empty()) {
            return;
        }
    }
}

} // namespace ledboardd
