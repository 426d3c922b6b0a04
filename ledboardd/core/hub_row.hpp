// The hub's rows and the slots its workers hold: inside the core only (hub.cpp, hub_workers.cpp,
// board_worker.cpp).
#pragma once

#include "hub.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ledboardd {

// Between a board's worker and the hub. Most reads find the board as it was: the worker then
// tells the hub nothing, and takes no lock. It asks the hub for a turn only when the slot asks for
// attention (a command, a stop), and reports a read only when its status differs from the last one
// reported, when it failed, or while the hub wants every read.
class Hub::Slot {
public:
    Slot(std::string id, GestureTimings gestures);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    const std::string& id() const { return id_; }
    // Set by the hub when the worker must take a turn; the worker clears it before it does.
    std::atomic<bool> attention{true};
    // An eventfd the hub writes to, to end the worker's wait at once (see board_worker.cpp).
    int wakeFd() const { return wakeFd_; }
    void wake() const;

    // Counted by the worker, read by the hub.
    std::atomic<std::uint64_t> reads{0};
    std::atomic<std::uint64_t> failures{0};
    std::array<std::atomic<std::uint64_t>, BoardCounters::LATENCY_BOUNDS.size() + 1> latency{};
    std::atomic<std::uint64_t> latencyNanoseconds{0};

private:
    friend class Hub;
    std::string id_;
    int wakeFd_;
    // The hub's own, under its lock.
    bool stop_ = false;
    bool gone_ = false; // its node left the bus
    unsigned misses_ = 0;
    int written_ = -1; // the LED number last sent in this arrival; -1: none
    GestureRecognizer gestures_;
    std::uint64_t readsSeen_ = 0;      // `reads` at the last checkStalled
    Clock::time_point lastProgress_{}; // when checkStalled last saw `reads` move on
};

struct Hub::Row {
    Board board;
    std::shared_ptr<Slot> slot; // while the board is here
    std::uint64_t asked = 0;    // the command number of board.desired
    // Requests whose outcome is not known yet, by command number.
    std::vector<std::pair<std::uint64_t, SetDone>> waiting;
    // What earlier slots of this run counted (a replug starts a new slot).
    BoardCounters counted;
    std::uint64_t presses = 0;
    std::uint64_t applied = 0;

    bool commandDue() const { return board.desired && !board.applied; }
};

} // namespace ledboardd
