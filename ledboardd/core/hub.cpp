#include "hub.hpp"

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

class Hub::Slot {
public:
    explicit Slot(std::string id) : id_(std::move(id)) {}
    const std::string& id() const { return id_; }

private:
    friend class Hub;
    std::string id_;
    std::condition_variable wake;
    bool stop = false;
    bool gone = false; // its node left the bus
    unsigned misses = 0;
    std::optional<Clock::time_point> busySince; // an exchange is under way
};

struct Hub::Row {
    Board board;
    std::shared_ptr<Slot> slot; // while the board is here
    std::uint64_t asked = 0;    // the command number of board.desired
    std::uint64_t sent = 0;     // the last command that went out
    // Requests whose outcome is not known yet, by command number.
    std::vector<std::pair<std::uint64_t, SetDone>> waiting;

    bool commandDue() const { return board.desired && !board.applied; }
};

Hub::Hub(HubOptions options) : options_(options) {}

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

void Hub::restore(const std::vector<SavedBoard>& boards)
{
    const std::lock_guard lock(mutex_);
    for (const SavedBoard& saved : boards) {
        if (rows_.size() >= MAX_ROWS || saved.info.id.empty()) {
            break;
        }
        Row& row = rows_[saved.info.id];
        row.board.info = saved.info;
        row.board.desired = saved.desired;
        row.board.applied = !saved.desired;
        row.asked = saved.desired ? nextCommand_++ : 0;
    }
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
    const auto found = rows_.find(id);
    if (found == rows_.end()) {
        return std::nullopt;
    }
    return found->second.board;
}

std::vector<SavedBoard> Hub::snapshot() const
{
    const std::lock_guard lock(mutex_);
    std::vector<SavedBoard> saved;
    saved.reserve(rows_.size());
    for (const auto& [id, row] : rows_) {
        saved.push_back({row.board.info, row.board.desired});
    }
    return saved;
}

Hub::Row* Hub::rowOf(const std::string& id)
{
    const auto found = rows_.find(id);
    return found == rows_.end() ? nullptr : &found->second;
}

void Hub::setLed(const std::string& id, int value, SetDone done)
{
    {
        std::unique_lock lock(mutex_);
        Row* row = rowOf(id);
        if (stopping_ || row == nullptr) {
            const SetOutcome outcome = stopping_ ? SetOutcome::Stopping : SetOutcome::Unknown;
            std::optional<Board> board;
            if (row != nullptr) {
                board = row->board;
            }
            if (done) {
                postTask([done = std::move(done), outcome, board = std::move(board)] {
                    done({outcome, board});
                });
            }
        } else {
            row->board.desired = value;
            row->board.applied = false;
            row->asked = nextCommand_++;
            if (row->slot) {
                if (done) {
                    row->waiting.emplace_back(row->asked, std::move(done));
                }
                row->slot->wake.notify_all();
            } else {
                logf(LogLevel::Info, "%s: not here; LED %d will be set when it comes back",
                     id.c_str(), value);
                post(Change::Kind::Desired, *row);
                if (done) {
                    postTask([done = std::move(done), board = row->board] {
                        done({SetOutcome::Kept, board});
                    });
                }
            }
            lastingChanged();
        }
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
                row.slot->stop = true;
                row.slot->wake.notify_all();
            }
            finish(row, std::numeric_limits<std::uint64_t>::max(), SetOutcome::Stopping);
        }
    }
    deliver();
}

std::shared_ptr<Hub::Slot> Hub::arrive(const BoardInfo& info,
                                       const std::optional<BoardStatus>& status)
{
    auto slot = std::make_shared<Slot>(info.id);
    {
        const std::lock_guard lock(mutex_);
        if (!rows_.contains(info.id) && rows_.size() >= MAX_ROWS) {
            const auto away = std::ranges::find_if(rows_, [](const auto& entry) {
                return !entry.second.slot && !entry.second.board.desired;
            });
            rows_.erase(away != rows_.end() ? away
                                            : std::ranges::find_if(rows_, [](const auto& entry) {
                                                  return !entry.second.slot;
                                              }));
        }
        Row& row = rows_[info.id];
        const bool known = row.board.info == info;
        row.board.info = info;
        row.board.present = true;
        row.board.answering = status.has_value();
        if (status) {
            row.board.status = status;
        }
        if (row.board.desired) {
            row.board.applied = false; // a board that was away, or replugged, starts at 0
            logf(LogLevel::Info, "%s: setting LED %d again, as last asked", info.id.c_str(),
                 *row.board.desired);
        }
        slot->stop = stopping_;
        slot->misses = status ? 0 : 1;
        row.slot = slot;
        post(Change::Kind::Arrived, row);
        if (!known) {
            lastingChanged();
        }
    }
    deliver();
    return slot;
}

Hub::Turn Hub::waitForTurn(Slot& slot, Clock::time_point readAt)
{
    std::unique_lock lock(mutex_);
    slot.busySince.reset();
    Row* row = rowOf(slot.id_);
    if (row == nullptr || row->slot.get() != &slot) {
        return {.stop = true, .write = std::nullopt, .command = 0};
    }
    // After a missed read a command waits for the next read's turn, so that a board that fails
    // at once is not asked again and again.
    slot.wake.wait_until(lock, readAt, [&] {
        return slot.stop || stopping_ || (row->commandDue() && slot.misses == 0);
    });
    if (slot.stop || stopping_) {
        return {.stop = true, .write = std::nullopt, .command = 0};
    }
    slot.busySince = Clock::now();
    if (row->commandDue()) {
        return {.stop = false, .write = row->board.desired, .command = row->asked};
    }
    return {};
}

void Hub::report(Slot& slot, const Turn& turn, const std::optional<BoardStatus>& status)
{
    {
        const std::lock_guard lock(mutex_);
        slot.busySince.reset();
        Row* row = rowOf(slot.id_);
        if (row == nullptr || row->slot.get() != &slot) {
            return;
        }
        Board& board = row->board;
        if (!status) {
            // A command whose status did not come back is sent again.
            if (++slot.misses >= options_.missesAllowed && board.answering) {
                board.answering = false;
                logf(LogLevel::Warning, "%s: not answering (%u reads missed)",
                     board.info.id.c_str(), slot.misses);
                post(Change::Kind::Availability, *row);
            }
        } else {
            slot.misses = 0;
            if (!board.answering) {
                board.answering = true;
                post(Change::Kind::Availability, *row);
            }
            const std::optional<BoardStatus> before = std::exchange(board.status, status);
            if (before && before->push != status->push) {
                post(Change::Kind::Button, *row, status->push != 0);
            }
            if (turn.write) {
                row->sent = turn.command;
                board.applied = board.applied || row->asked == turn.command;
                logf(LogLevel::Debug, "%s: LED %d set", board.info.id.c_str(), *turn.write);
            }
            // One change for the read: its new state, or that a command went out and changed
            // nothing the board reports.
            if (before != status) {
                post(Change::Kind::State, *row, false, turn.write ? turn.command : 0);
            } else if (turn.write) {
                post(Change::Kind::Applied, *row, false, turn.command);
            }
            if (turn.write) {
                finish(*row, turn.command, SetOutcome::Applied);
            }
        }
    }
    deliver();
}

void Hub::leave(Slot& slot, bool unplugged)
{
    {
        const std::lock_guard lock(mutex_);
        Row* row = rowOf(slot.id_);
        if (row == nullptr || row->slot.get() != &slot) {
            return;
        }
        if (unplugged || slot.gone) {
            logf(LogLevel::Info, "%s: unplugged", slot.id_.c_str());
        }
        row->slot.reset();
        row->board.present = false;
        row->board.answering = false;
        post(Change::Kind::Left, *row);
        finish(*row, std::numeric_limits<std::uint64_t>::max(), SetOutcome::Left);
    }
    deliver();
}

void Hub::dismiss(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    Row* row = rowOf(id);
    if (row != nullptr && row->slot) {
        row->slot->gone = true;
        row->slot->stop = true;
        row->slot->wake.notify_all();
    }
}

void Hub::checkStalled(Clock::time_point now)
{
    {
        const std::lock_guard lock(mutex_);
        const auto limit = options_.interval * options_.missesAllowed;
        for (auto& [id, row] : rows_) {
            const Slot* slot = row.slot.get();
            if (slot != nullptr && slot->busySince && now - *slot->busySince >= limit &&
                row.board.answering) {
                row.board.answering = false;
                logf(LogLevel::Warning, "%s: not answering (a read has taken %lld ms)", id.c_str(),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                now - *slot->busySince)
                                                .count()));
                post(Change::Kind::Availability, row);
            }
        }
    }
    deliver();
}

// Ends the waiting requests up to command `upTo`: that one with `outcome`, the older ones as
// replaced by a newer value (the latest wins). With mutex_ held.
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
