// The hub as the front ends see it: reading rows, asking for LED values, retiring boards, and the
// delivery of changes. The workers' side is in hub_workers.cpp.
#include "hub.hpp"

#include "hub_row.hpp"
#include "log.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace ledboardd {

namespace {

// Rows are kept for boards that are away; this bounds them against a host that makes up serial
// numbers. A board that is here is never the one forgotten.
constexpr std::size_t MAX_ROWS = 1024;

// Set while this thread runs the posted changes: a listener that asks the hub for something posts
// more, which the same loop then runs, rather than waiting for itself.
thread_local bool deliveringHere = false;

} // namespace

Hub::Hub(HubOptions options) : options_(std::move(options)) {}

Hub::~Hub()
{
    stop();
}

void Hub::addListener(Listener listener)
{
    listeners_.push_back(std::move(listener));
}

void Hub::setStateSink(StateSink* sink)
{
    const std::lock_guard lock(mutex_);
    sink_ = sink;
}

std::string Hub::nameOf(const BoardInfo& info) const
{
    for (const BoardNaming& naming : options_.names) {
        if (info.serial.empty() ? !naming.port.empty() && naming.port == info.path
                                : naming.serial == info.serial) {
            return naming.name;
        }
    }
    return {};
}

Hub::Row& Hub::newRow(const std::string& id)
{
    if (!rows_.contains(id) && rows_.size() >= MAX_ROWS) {
        // Forget a board that is away, one with nothing kept for it first.
        auto away = std::ranges::find_if(rows_, [](const auto& entry) {
            return !entry.second.slot && !entry.second.board.desired;
        });
        if (away == rows_.end()) {
            away =
                std::ranges::find_if(rows_, [](const auto& entry) { return !entry.second.slot; });
        }
        if (away != rows_.end()) {
            rows_.erase(away);
        }
    }
    Row& row = rows_[id];
    row.counted.id = id;
    return row;
}

void Hub::restore(const std::vector<SavedBoard>& boards)
{
    const std::lock_guard lock(mutex_);
    for (const SavedBoard& saved : boards) {
        if (rows_.size() >= MAX_ROWS || saved.info.id.empty()) {
            break;
        }
        Row& row = newRow(saved.info.id);
        row.board.info = saved.info;
        row.board.name = nameOf(saved.info);
        row.board.desired = saved.desired;
        row.board.applied = !saved.desired;
        row.board.discoveryWithdrawn = saved.discoveryWithdrawn;
        row.asked = saved.desired ? nextCommand_++ : 0;
    }
}

void Hub::markStarted()
{
    const std::lock_guard lock(mutex_);
    started_ = true;
}

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

std::vector<Board> Hub::boards() const
{
    const std::lock_guard lock(mutex_);
    std::vector<Board> all;
    all.reserve(rows_.size());
    for (const auto& [id, row] : rows_) {
        all.push_back(row.board);
    }
    return all;
}

std::optional<Board> Hub::board(const std::string& id) const
{
    const std::lock_guard lock(mutex_);
    const Row* row = rowOf(id);
    return row == nullptr ? std::nullopt : std::optional<Board>{row->board};
}

std::vector<SavedBoard> Hub::snapshot() const
{
    const std::lock_guard lock(mutex_);
    std::vector<SavedBoard> saved;
    saved.reserve(rows_.size());
    for (const auto& [id, row] : rows_) {
        saved.push_back({row.board.info, row.board.desired, row.board.discoveryWithdrawn});
    }
    return saved;
}

Hub::Row* Hub::rowOf(const std::string& id)
{
    const auto found = rows_.find(id);
    return found == rows_.end() ? nullptr : &found->second;
}

const Hub::Row* Hub::rowOf(const std::string& id) const
{
    const auto found = rows_.find(id);
    return found == rows_.end() ? nullptr : &found->second;
}

void Hub::setLed(const std::string& id, int value, SetDone done)
{
    {
        const std::lock_guard lock(mutex_);
        if (Row* row = stopping_ ? nullptr : rowOf(id)) {
            ask(*row, value, std::move(done));
        } else {
            refuseNow(id, std::move(done));
        }
    }
    deliver();
}

void Hub::setLedBit(const std::string& id, int led, bool on, SetDone done)
{
    {
        const std::lock_guard lock(mutex_);
        if (Row* row = stopping_ ? nullptr : rowOf(id)) {
            const Board& board = row->board;
            const int base =
                board.desired.value_or(board.status ? static_cast<int>(board.status->led) : 0);
            const int bit = 1 << (led - 1);
            ask(*row, on ? base | bit : base & ~bit, std::move(done));
        } else {
            refuseNow(id, std::move(done));
        }
    }
    deliver();
}

// A request for a board never seen, or while stopping, ends at once. With mutex_ held.
void Hub::refuseNow(const std::string& id, SetDone done)
{
    if (!done) {
        return;
    }
    const Row* row = rowOf(id);
    std::optional<Board> board;
    if (row != nullptr) {
        board = row->board;
    }
    const SetOutcome outcome = stopping_ ? SetOutcome::Stopping : SetOutcome::Unknown;
    postTask([done = std::move(done), outcome, board = std::move(board)] {
        done({outcome, board});
    });
}

// With mutex_ held, for a row that exists.
void Hub::ask(Row& row, int value, SetDone done)
{
    row.board.desired = value;
    row.board.applied = false;
    row.asked = nextCommand_++;
    if (row.slot) {
        if (done) {
            row.waiting.emplace_back(row.asked, std::move(done));
        }
        row.slot->attention = true;
        row.slot->wake();
    } else {
        logf(LogLevel::Info, "%s: not here; LED %d will be set when it comes back",
             row.board.info.id.c_str(), value);
        post(Change::Kind::Desired, row);
        if (done) {
            postTask([done = std::move(done), board = row.board] {
                done({SetOutcome::Kept, board});
            });
        }
    }
    lastingChanged();
}

RetireOutcome Hub::retire(const std::string& id)
{
    RetireOutcome outcome = RetireOutcome::Unknown;
    {
        const std::lock_guard lock(mutex_);
        const auto found = rows_.find(id);
        if (found != rows_.end()) {
            outcome = found->second.slot ? RetireOutcome::Present : RetireOutcome::Retired;
        }
        if (outcome == RetireOutcome::Retired) {
            logf(LogLevel::Info, "%s: retired", id.c_str());
            post(Change::Kind::Retired, found->second);
            rows_.erase(found);
            lastingChanged();
        }
    }
    deliver();
    return outcome;
}

void Hub::withdrawDiscovery(const std::string& id)
{
    {
        const std::lock_guard lock(mutex_);
        Row* row = rowOf(id);
        if (row == nullptr || row->board.discoveryWithdrawn) {
            return;
        }
        logf(LogLevel::Info,
             "%s: deleted in Home Assistant; not announced again until it is "
             "plugged in anew",
             id.c_str());
        row->board.discoveryWithdrawn = true;
        post(Change::Kind::Discovery, *row);
        lastingChanged();
    }
    deliver();
}

void Hub::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto& [id, row] : rows_) {
            if (row.slot) {
                row.slot->stop_ = true;
                row.slot->attention = true;
                row.slot->wake();
            }
            finish(row, std::numeric_limits<std::uint64_t>::max(), SetOutcome::Stopping);
        }
    }
    deliver();
}

// Ends the waiting requests up to command `upTo`: that one with `outcome`, the older ones as
// replaced by a newer value (the latest wins); all of them with `outcome` for the largest `upTo`.
// With mutex_ held.
void Hub::finish(Row& row, std::uint64_t upTo, SetOutcome outcome)
{
    const bool all = upTo == std::numeric_limits<std::uint64_t>::max();
    std::erase_if(row.waiting, [&](auto& entry) {
        if (entry.first > upTo) {
            return false;
        }
        const SetOutcome ended = all || entry.first == upTo ? outcome : SetOutcome::Superseded;
        postTask([done = std::move(entry.second), ended, board = row.board] {
            done({ended, board});
        });
        return true;
    });
}

void Hub::lastingChanged()
{
    if (sink_ != nullptr) {
        sink_->changed();
    }
}

void Hub::post(Change::Kind kind, const Row& row, bool pressed, std::uint64_t command)
{
    if (listeners_.empty()) {
        return;
    }
    postTask([this, change = Change{kind, row.board, pressed, command}] {
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
