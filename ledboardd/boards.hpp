// The core of the daemon: the one object that owns the boards. It finds them, reads each in a
// thread of its own, applies LED commands, and remembers the value each board was last asked for.
// Front ends (MQTT) turn its events into messages and messages into setLed calls; they never see
// libusb.
#pragma once

#include "ledboard_device.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ledboardd {

// What is known of a board besides its status, fixed while it stays plugged in.
struct BoardInfo {
    std::string id;     // its topic-safe id: the serial number, or HOSTNAME-PORTPATH
    std::string serial; // empty when it has none
    std::string path;   // its port path in sysfs ("1-1.4"); empty when unknown
    std::string manufacturer;
    std::string product;
};

// What the core tells a front end. Called from the boards' threads, one board's events in order;
// an implementation must not wait on anything slow (it never waits on a board).
class BoardEvents {
public:
    virtual ~BoardEvents() = default;
    // The board answered its first read; `status` is what it reported.
    virtual void boardArrived(const BoardInfo& board, const BoardStatus& status) = 0;
    virtual void boardLeft(const std::string& id) = 0;
    // The status differs from the last one reported (also right after an LED command).
    virtual void stateChanged(const std::string& id, const BoardStatus& status) = 0;
    // The button went down or up; comes before the stateChanged of the same read.
    virtual void buttonChanged(const std::string& id, bool pressed) = 0;
    // An LED value was set for a board that is away, and is kept for its return (whichever front
    // end asked: each may want to show it).
    virtual void ledKept(const std::string& /*id*/, int /*value*/) {}
    // An LED command went out to the board and the status read after it came back (it follows
    // that read's stateChanged, if the status changed). Tells a front end that a command it
    // passed on has been applied, even when it changed nothing the board reports.
    virtual void ledApplied(const std::string& /*id*/, int /*value*/) {}

protected:
    BoardEvents() = default;
    BoardEvents(const BoardEvents&) = default;
    BoardEvents& operator=(const BoardEvents&) = default;
};

// Hands every event to each of several front ends, in the order they were added. Add them all
// before Boards::start.
class BoardEventsFanout final : public BoardEvents {
public:
    void add(BoardEvents& events) { targets_.push_back(&events); }

    void boardArrived(const BoardInfo& board, const BoardStatus& status) override
    {
        for (BoardEvents* target : targets_) {
            target->boardArrived(board, status);
        }
    }
    void boardLeft(const std::string& id) override
    {
        for (BoardEvents* target : targets_) {
            target->boardLeft(id);
        }
    }
    void stateChanged(const std::string& id, const BoardStatus& status) override
    {
        for (BoardEvents* target : targets_) {
            target->stateChanged(id, status);
        }
    }
    void buttonChanged(const std::string& id, bool pressed) override
    {
        for (BoardEvents* target : targets_) {
            target->buttonChanged(id, pressed);
        }
    }
    void ledKept(const std::string& id, int value) override
    {
        for (BoardEvents* target : targets_) {
            target->ledKept(id, value);
        }
    }
    void ledApplied(const std::string& id, int value) override
    {
        for (BoardEvents* target : targets_) {
            target->ledApplied(id, value);
        }
    }

private:
    std::vector<BoardEvents*> targets_;
};

struct BoardsOptions {
    std::chrono::milliseconds interval{50};
    std::string hostName; // for the ids of boards without a serial number
};

class Boards {
public:
    Boards(BoardsOptions options, BoardEvents& events);
    ~Boards();
    Boards(const Boards&) = delete;
    Boards& operator=(const Boards&) = delete;

    // Starts watching the bus; boards found are announced through the events.
    void start();

    // Waits until the first look at the bus is done and each board found has answered (or
    // failed) its first read, at most `limit`. Returns false when it was the limit. A front end
    // started after this sees the boards that are here from its first moment, rather than
    // taking them for gone.
    bool waitUntilSettled(std::chrono::milliseconds limit);

    // Sets a board's LEDs to `value` (0..31) as soon as its thread is free, and remembers the
    // value for when it comes back. A board that is away gets it on its return; only the latest
    // value is kept. Never waits on a board. Returns true when the board is here (the value goes
    // out at once), false when it is kept for the board's return or could not be kept.
    bool setLed(const std::string& id, int value);

    // Ends every thread. Returns false when some thread was still inside a board request after
    // `limit` (a stalled board takes up to 5 s): the caller then exits without destroying this.
    bool stop(std::chrono::milliseconds limit);

private:
    struct Board;

    void scanLoop();
    void rescan();
    void reapEnded();
    void readLoop(Board& board);
    void threadEnded();
    void firstReadDone(Board& board);

    BoardsOptions options_;
    BoardEvents& events_;

    // Guards boards_, desired_, refused_, stopping_, scanned_ and each Board's firstRead.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool scanned_ = false; // the first look at the bus is done
    std::condition_variable settled_;
    // By bus and device number, which a replug changes: a replugged board is a new Board.
    std::map<std::uint32_t, std::unique_ptr<Board>> boards_;
    // The last value set for each id through setLed, kept across unplugs.
    std::map<std::string, int> desired_;
    // Devices with the board's identity that could not be used, so that each is logged once;
    // they are tried again at every rescan.
    std::set<std::uint32_t> refused_;
    std::atomic<bool> rescanSoon_{false};
    // Why the last rescan could not list the devices (libusb's negative error), 0 when it could:
    // a failure is logged when it starts or changes, not at every rescan. Scanner thread only.
    int listError_ = 0;

    std::atomic<int> running_{0};
    std::mutex endedMutex_;
    std::condition_variable ended_;
    std::thread scanner_;
};

} // namespace ledboardd
