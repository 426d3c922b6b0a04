#include "registry.hpp"

#include "log.hpp"

#include <algorithm>

namespace ledboardd {

std::vector<std::shared_ptr<const RegistryEvent>>
Subscription::take(std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    ready_.wait_for(lock, limit, [this] { return !queue_.empty() || !open_; });
    std::vector<std::shared_ptr<const RegistryEvent>> events;
    if (!open_) {
        return events;
    }
    events.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    return events;
}

bool Subscription::isOpen()
{
    const std::lock_guard lock(mutex_);
    return open_;
}

void Subscription::close()
{
    const std::lock_guard lock(mutex_);
    open_ = false;
    queue_.clear();
    ready_.notify_all();
}

void Subscription::push(const std::shared_ptr<const RegistryEvent>& event)
{
    const std::lock_guard lock(mutex_);
    if (!open_) {
        return;
    }
    if (queue_.size() >= capacity_) {
        // A client that cannot keep up would otherwise miss events silently: it is dropped
        // instead, and reconnects with a fresh snapshot.
        open_ = false;
        queue_.clear();
    } else {
        queue_.push_back(event);
    }
    ready_.notify_all();
}

void Registry::boardArrived(const BoardInfo& board, const BoardStatus& status)
{
    const std::lock_guard lock(mutex_);
    auto found = boards_.find(board.id);
    if (found == boards_.end()) {
        if (boards_.size() >= MAX_BOARDS) {
            // Forget a board that is away rather than refuse one that is here.
            const auto away = std::ranges::find_if(
                boards_, [](const auto& entry) { return !entry.second.available; });
            if (away == boards_.end()) {
                logf(LogLevel::Warning, "%s: not shown over HTTP: %zu boards already",
                     board.id.c_str(), boards_.size());
                return;
            }
            applied_.erase(away->first);
            boards_.erase(away);
        }
        found = boards_.emplace(board.id, BoardView{}).first;
    }
    BoardView& view = found->second;
    view.info = board;
    view.status = status;
    view.available = true;
    // The core applies the kept value on arrival, before this first status.
    view.pending.reset();
    publishLocked(RegistryEvent::Kind::Arrived, view);
    changed_.notify_all();
}

void Registry::boardLeft(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    const auto found = boards_.find(id);
    if (found == boards_.end()) {
        return;
    }
    found->second.available = false;
    publishLocked(RegistryEvent::Kind::Left, found->second);
    changed_.notify_all();
}

void Registry::stateChanged(const std::string& id, const BoardStatus& status)
{
    const std::lock_guard lock(mutex_);
    const auto found = boards_.find(id);
    if (found == boards_.end()) {
        return;
    }
    found->second.status = status;
    publishLocked(RegistryEvent::Kind::State, found->second);
    changed_.notify_all();
}

void Registry::buttonChanged(const std::string& id, bool pressed)
{
    const std::lock_guard lock(mutex_);
    const auto found = boards_.find(id);
    if (found == boards_.end()) {
        return;
    }
    publishLocked(RegistryEvent::Kind::Button, found->second, pressed);
}

std::vector<BoardView> Registry::boardsLocked() const
{
    std::vector<BoardView> all;
    all.reserve(boards_.size());
    for (const auto& [id, view] : boards_) {
        all.push_back(view);
    }
    return all;
}

std::vector<BoardView> Registry::boards()
{
    const std::lock_guard lock(mutex_);
    return boardsLocked();
}

std::optional<BoardView> Registry::board(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    const auto found = boards_.find(id);
    if (found == boards_.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool Registry::setPending(const std::string& id, int value)
{
    const std::lock_guard lock(mutex_);
    const auto found = boards_.find(id);
    if (found == boards_.end()) {
        return false;
    }
    if (found->second.pending != value) {
        found->second.pending = value;
        // Streams carry it as a state change, so that every open page shows the kept value,
        // not only the one that set it.
        publishLocked(RegistryEvent::Kind::State, found->second);
    }
    return true;
}

void Registry::ledApplied(const std::string& id, int value)
{
    const std::lock_guard lock(mutex_);
    if (!boards_.contains(id)) {
        return;
    }
    Applied& applied = applied_[id];
    ++applied.count;
    applied.value = value;
    changed_.notify_all();
}

std::uint64_t Registry::ledsApplied(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    const auto found = applied_.find(id);
    return found == applied_.end() ? 0 : found->second.count;
}

std::optional<Registry::Outcome> Registry::waitForLed(const std::string& id, std::uint64_t since,
                                                      int value, unsigned reported,
                                                      std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    const auto appliedSince = [&] {
        const auto found = applied_.find(id);
        return found != applied_.end() && found->second.count > since;
    };
    const auto settled = [&] {
        const auto found = boards_.find(id);
        return found == boards_.end() || !found->second.available || appliedSince();
    };
    changed_.wait_for(lock, limit, settled);
    const auto found = boards_.find(id);
    if (found == boards_.end()) {
        return std::nullopt;
    }
    const BoardView& view = found->second;
    // A later command may have replaced this one before it went out (the latest wins).
    const bool reached = view.available && appliedSince() && applied_[id].value == value &&
                         view.status.led == reported;
    return Outcome{view, reached};
}

Registry::Subscribed Registry::subscribe(std::size_t capacity, std::size_t maxSubscribers)
{
    const std::lock_guard lock(mutex_);
    // Streams that were dropped or whose client went away are no longer counted.
    std::erase_if(subscribers_, [](const auto& subscriber) { return !subscriber->isOpen(); });
    if (subscribers_.size() >= maxSubscribers) {
        return {};
    }
    auto subscription = std::make_shared<Subscription>(capacity);
    subscribers_.push_back(subscription);
    return {subscription, boardsLocked()};
}

void Registry::unsubscribe(const std::shared_ptr<Subscription>& subscription)
{
    subscription->close();
    const std::lock_guard lock(mutex_);
    std::erase(subscribers_, subscription);
}

void Registry::closeAll()
{
    const std::lock_guard lock(mutex_);
    for (const auto& subscriber : subscribers_) {
        subscriber->close();
    }
    subscribers_.clear();
}

void Registry::publishLocked(RegistryEvent::Kind kind, const BoardView& board, bool pressed)
{
    if (subscribers_.empty()) {
        return;
    }
    // One copy of the event, shared by every stream.
    const auto event = std::make_shared<const RegistryEvent>(RegistryEvent{kind, board, pressed});
    for (const auto& subscriber : subscribers_) {
        subscriber->push(event);
    }
}

} // namespace ledboardd
