// The hub as the board workers and the scanner see it: boards arriving and leaving, the turns of
// their workers, and what their reads bring.
#include "hub.hpp"

#include "hub_row.hpp"
#include "log.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <limits>

namespace ledboardd {

Hub::Slot::Slot(std::string id, GestureTimings gestures)
    : id_(std::move(id)), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), gestures_(gestures)
{
}

Hub::Slot::~Slot()
{
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void Hub::Slot::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

std::shared_ptr<Hub::Slot> Hub::arrive(const BoardInfo& info,
                                       const std::optional<BoardStatus>& status)
{
    auto slot = std::make_shared<Slot>(info.id, options_.gestures);
    {
        const std::lock_guard lock(mutex_);
        Row& row = newRow(info.id);
        const bool known = row.board.info == info;
        row.board.info = info;
        row.board.name = nameOf(info);
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
        bool lasting = !known;
        if (started_ && row.board.discoveryWithdrawn) {
            // Plugged in anew: announced again.
            row.board.discoveryWithdrawn = false;
            lasting = true;
        }
        slot->stop_ = stopping_;
        slot->misses_ = status ? 0 : 1;
        if (status) {
            // The first read counts for the gestures too: a button up now makes the next read
            // that sees it down a press.
            slot->gestures_.observe(status->push != 0, options_.now());
        }
        slot->lastProgress_ = Clock::now();
        row.slot = slot;
        post(Change::Kind::Arrived, row);
        if (lasting) {
            lastingChanged();
        }
    }
    deliver();
    return slot;
}

Hub::Turn Hub::takeTurn(Slot& slot)
{
    Turn turn;
    {
        const std::lock_guard lock(mutex_);
        Row* row = rowOf(slot.id_);
        if (row == nullptr || row->slot.get() != &slot || slot.stop_ || stopping_) {
            return {.stop = true, .write = std::nullopt, .command = 0, .stepAt = std::nullopt};
        }
        turn.write = wanted(*row, turn);
    }
    deliver();
    return turn;
}

// With mutex_ held: the LED number to send now, if any; `turn` gets the command it answers and
// when an effect changes the LEDs next.
std::optional<int> Hub::wanted(Row& row, Turn& turn)
{
    Board& board = row.board;
    if (board.effect) {
        const auto now = SystemClock::now();
        const EffectStep step = effectAt(*board.effect, now);
        if (step.over) {
            // A while is over: back to the value before, as if asked for it.
            board.desired = board.effect->offValue;
            board.effect.reset();
            board.applied = false;
            row.asked = nextCommand_++;
            post(Change::Kind::Desired, row);
            lastingChanged();
        } else {
            if (step.next) {
                turn.stepAt =
                    Clock::now() + std::chrono::duration_cast<Clock::duration>(*step.next - now);
            }
            if (row.commandDue()) {
                turn.command = row.asked;
                return step.value;
            }
            return step.value != row.slot->written_ ? std::optional<int>{step.value} : std::nullopt;
        }
    }
    if (row.commandDue()) {
        turn.command = row.asked;
        return board.desired;
    }
    return std::nullopt;
}

bool Hub::report(Slot& slot, const Turn& turn, const std::optional<BoardStatus>& status)
{
    bool everyRead = false;
    {
        const std::lock_guard lock(mutex_);
        Row* row = rowOf(slot.id_);
        if (row == nullptr || row->slot.get() != &slot) {
            return false;
        }
        Board& board = row->board;
        if (!status) {
            if (turn.write) {
                // Sent again, at the next read's turn: a board that fails at once is not asked
                // again and again.
                slot.attention = true;
            }
            if (++slot.misses_ >= options_.missesAllowed && board.answering) {
                noMoreAnswers(*row, "reads missed");
            }
            everyRead = true; // until it answers again
        } else {
            slot.misses_ = 0;
            if (!board.answering) {
                board.answering = true;
                logf(LogLevel::Info, "%s: answering again", board.info.id.c_str());
                post(Change::Kind::Availability, *row);
                if (row->commandDue() && !turn.write) {
                    slot.attention = true;
                    slot.wake();
                }
            }
            const std::optional<BoardStatus> before = std::exchange(board.status, status);
            if (before && before->push != status->push) {
                row->presses += status->push != 0 ? 1 : 0;
                post(Change::Kind::Button, *row, status->push != 0);
            }
            if (turn.write) {
                board.applied = board.applied || row->asked == turn.command;
                slot.written_ = *turn.write;
                ++row->applied;
                logf(LogLevel::Debug, "%s: LED %d set", board.info.id.c_str(), *turn.write);
            }
            // One change for the read: its new state, or that a command went out and changed
            // nothing the board reports.
            if (before != status) {
                post(Change::Kind::State, *row, false, turn.write ? turn.command : 0);
            } else if (turn.write) {
                post(Change::Kind::Applied, *row, false, turn.command);
            }
            if (turn.write && turn.command != 0) {
                finish(*row, turn.command, SetOutcome::Applied);
            }
            for (const Gesture gesture :
                 slot.gestures_.observe(status->push != 0, options_.now())) {
                post(Change::Kind::Gesture, *row, false, 0, gesture);
            }
            everyRead = slot.gestures_.waiting();
        }
    }
    deliver();
    return everyRead;
}

// With mutex_ held.
void Hub::noMoreAnswers(Row& row, const char* why)
{
    row.board.answering = false;
    logf(LogLevel::Warning, "%s: not answering (%s)", row.board.info.id.c_str(), why);
    post(Change::Kind::Availability, row);
}

void Hub::leave(Slot& slot, bool unplugged)
{
    {
        const std::lock_guard lock(mutex_);
        Row* row = rowOf(slot.id_);
        if (row == nullptr || row->slot.get() != &slot) {
            return;
        }
        if (unplugged || slot.gone_) {
            logf(LogLevel::Info, "%s: unplugged", slot.id_.c_str());
        }
        BoardCounters& counted = row->counted;
        counted.reads += slot.reads;
        counted.failures += slot.failures;
        for (std::size_t bucket = 0; bucket < counted.latency.size(); ++bucket) {
            counted.latency[bucket] += slot.latency[bucket];
        }
        counted.latencySum += static_cast<double>(slot.latencyNanoseconds) / 1e9;
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
        row->slot->gone_ = true;
        row->slot->stop_ = true;
        row->slot->attention = true;
        row->slot->wake();
    }
}

void Hub::checkStalled(Clock::time_point now)
{
    {
        const std::lock_guard lock(mutex_);
        const auto limit = options_.interval * options_.missesAllowed;
        for (auto& [id, row] : rows_) {
            Slot* slot = row.slot.get();
            if (slot == nullptr) {
                // A while that ends while its board is away: the value before is what it gets.
                Board& board = row.board;
                if (board.effect && effectAt(*board.effect, SystemClock::now()).over) {
                    board.desired = board.effect->offValue;
                    board.effect.reset();
                    post(Change::Kind::Desired, row);
                    lastingChanged();
                }
                continue;
            }
            const std::uint64_t reads = slot->reads;
            if (reads != slot->readsSeen_) {
                slot->readsSeen_ = reads;
                slot->lastProgress_ = now;
            } else if (row.board.answering && now - slot->lastProgress_ >= limit) {
                noMoreAnswers(row, "a read has not come back");
            }
        }
    }
    deliver();
}

std::vector<std::string> Hub::unread(std::chrono::milliseconds limit) const
{
    const auto now = Clock::now();
    const std::lock_guard lock(mutex_);
    std::vector<std::string> late;
    for (const auto& [id, row] : rows_) {
        Slot* slot = row.slot.get();
        if (slot == nullptr) {
            continue;
        }
        // Moved on since the scanner last looked: read just now, as far as a look can tell.
        if (slot->reads != slot->readsSeen_) {
            slot->readsSeen_ = slot->reads;
            slot->lastProgress_ = now;
        }
        if (now - slot->lastProgress_ > limit) {
            late.push_back(id);
        }
    }
    return late;
}

std::vector<BoardCounters> Hub::counters() const
{
    const std::lock_guard lock(mutex_);
    std::vector<BoardCounters> all;
    all.reserve(rows_.size());
    for (const auto& [id, row] : rows_) {
        BoardCounters counters = row.counted;
        counters.presses = row.presses;
        counters.applied = row.applied;
        if (const Slot* slot = row.slot.get()) {
            counters.reads += slot->reads;
            counters.failures += slot->failures;
            for (std::size_t bucket = 0; bucket < counters.latency.size(); ++bucket) {
                counters.latency[bucket] += slot->latency[bucket];
            }
            counters.latencySum += static_cast<double>(slot->latencyNanoseconds) / 1e9;
        }
        all.push_back(counters);
    }
    return all;
}

} // namespace ledboardd
