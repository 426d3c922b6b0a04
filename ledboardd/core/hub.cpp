// The hub as the front ends see it: reading rows, asking for LED values and effects, retiring
// boards. The workers' side is in hub_workers.cpp, the delivery of changes in hub_changes.cpp.
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
        // The interval may have changed since the effect was asked for.
        if (saved.effect && effectRefusal(*saved.effect, options_.interval) == nullptr) {
            row.board.effect = saved.effect;
        } else if (saved.effect) {
            logf(LogLevel::Warning, "%s: its effect cannot run at this interval; dropped",
                 saved.info.id.c_str());
        }
    }
}

void Hub::markStarted()
{
    const std::lock_guard lock(mutex_);
    started_ = true;
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
        saved.push_back(
            {row.board.info, row.board.desired, row.board.discoveryWithdrawn, row.board.effect});
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
    setLed(id, LedCommand{value, nullptr}, std::move(done));
}

void Hub::setLed(const std::string& id, const LedCommand& request, SetDone done)
{
    {
        const std::lock_guard lock(mutex_);
        if (Row* row = stopping_ ? nullptr : rowOf(id)) {
            std::optional<Effect> effect;
            const auto now = SystemClock::now();
            if (request.blink) {
                effect = Effect{.kind = Effect::Kind::Blink,
                                .onValue = request.value,
                                .offValue = 0,
                                .on = request.blink->on,
                                .off = request.blink->off,
                                .start = now};
            } else if (request.forSeconds) {
                effect = Effect{.kind = Effect::Kind::For,
                                .onValue = request.value,
                                .offValue = shownValue(row->board),
                                .start = now,
                                .end = now + *request.forSeconds};
            }
            const char* refusal = effect ? effectRefusal(*effect, options_.interval) : nullptr;
            if (refusal != nullptr) {
                refuseNow(id, std::move(done), refusal);
            } else {
                ask(*row, request.value, effect, std::move(done));
            }
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
            const int base = shownValue(row->board);
            const int bit = 1 << (led - 1);
            ask(*row, on ? base | bit : base & ~bit, std::nullopt, std::move(done));
        } else {
            refuseNow(id, std::move(done));
        }
    }
    deliver();
}

void Hub::setLedBlink(const std::string& id, int led, bool blink, SetDone done)
{
    // Home Assistant's light asks for "blink" without a period: half a second on and off, or two
    // reads each where reads are further apart than that.
    constexpr std::chrono::milliseconds DEFAULT_PHASE{500};
    {
        const std::lock_guard lock(mutex_);
        if (Row* row = stopping_ ? nullptr : rowOf(id)) {
            const int base = shownValue(row->board);
            const int bit = 1 << (led - 1);
            std::optional<Effect> effect;
            if (blink) {
                const auto phase = std::max(DEFAULT_PHASE, options_.interval * MIN_READS_A_PHASE);
                effect = Effect{.kind = Effect::Kind::Blink,
                                .onValue = base | bit,
                                .offValue = base & ~bit,
                                .on = phase,
                                .off = phase,
                                .start = SystemClock::now()};
            }
            ask(*row, blink ? base | bit : base, effect, std::move(done));
        } else {
            refuseNow(id, std::move(done));
        }
    }
    deliver();
}

// What a board's LEDs are taken to be before a change to one of them: what was asked for, else
// what it reported.
int Hub::shownValue(const Board& board)
{
    return board.desired.value_or(board.status ? static_cast<int>(board.status->led) : 0);
}

// A request for a board never seen, or while stopping, or with an effect that cannot run, ends
// at once. With mutex_ held.
void Hub::refuseNow(const std::string& id, SetDone done, const char* refusal)
{
    if (!done) {
        return;
    }
    const Row* row = rowOf(id);
    std::optional<Board> board;
    if (row != nullptr) {
        board = row->board;
    }
    SetOutcome outcome = row == nullptr ? SetOutcome::Unknown : SetOutcome::Refused;
    if (stopping_) {
        outcome = SetOutcome::Stopping;
    }
    postTask([done = std::move(done), outcome, board = std::move(board), refusal] {
        done({outcome, board, refusal});
    });
}

// With mutex_ held, for a row that exists. A new request ends any effect it does not ask for.
void Hub::ask(Row& row, int value, std::optional<Effect> effect, SetDone done)
{
    row.board.desired = value;
    row.board.effect = effect;
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

} // namespace ledboardd
