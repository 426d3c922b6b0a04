// The core of the daemon: the one table of boards, here or away, and the one lock over it. Each row
// holds what is known of a board (its strings, its last status, whether it answers), the LED value
// it was last asked for and whether that value has reached it. The front ends read rows and ask for
// LED values through this object only; the board workers (board_worker.hpp) report what they read.
// A change reaches the listeners after the table changed, outside the lock, in the order the table
// changed.
#pragma once

#include "ledboard_device.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ledboardd {

using Clock = std::chrono::steady_clock;

// What a board is besides its status, fixed while it stays plugged in.
struct BoardInfo {
    std::string id;     // see board_id.hpp
    std::string serial; // empty when it has none
    std::string path;   // its port path in sysfs ("1-1.4"); empty when unknown
    std::string manufacturer;
    std::string product;

    bool operator==(const BoardInfo&) const = default;
};

// One row of the table, as a copy for a front end.
struct Board {
    BoardInfo info;
    bool present = false;   // plugged in, and served
    bool answering = false; // its last reads answered (three misses in a row make it false)
    std::optional<BoardStatus> status; // the last one it reported, kept while it is away
    std::optional<int> desired;        // the LED number it was last asked for, 0 to 31
    bool applied = true;               // `desired` has been sent to it since it was asked for

    bool available() const { return present && answering; }
    // The LED number asked for and not yet sent: the board is away, or has not answered since.
    std::optional<int> pending() const { return applied ? std::nullopt : desired; }
};

// What changed, with the row as it stands after the change.
struct Change {
    enum class Kind {
        Arrived,      // plugged in and answered its first read
        Left,         // unplugged, or the daemon stops serving it
        Availability, // started or stopped answering (answering)
        State,        // its status changed (after LED command `command`, when not 0)
        Button,       // its button went down or up (pressed); comes before that read's State
        Desired,      // its desired value changed while it is away
        Applied,      // LED command `command` went out and changed nothing the board reports
    };
    Kind kind;
    Board board;
    bool pressed = false;
    std::uint64_t command = 0;
};

// How an LED request ended.
enum class SetOutcome {
    Applied,    // sent, and the status after it read back
    Kept,       // the board is away: kept (on disk, when there is a state directory) for its return
    Superseded, // a newer value replaced it before it went out
    Left,       // the board left before it went out: kept for its return
    Unknown,    // no board with that id has been seen, now or before a restart: not kept
    Stopping,   // the daemon is stopping
};

struct SetResult {
    SetOutcome outcome;
    std::optional<Board> board; // as it stands, but for Unknown
};

// Where the table's lasting part goes (state_store.hpp), told when it changed.
class StateSink {
public:
    virtual ~StateSink() = default;
    // The lasting part changed; the sink takes a snapshot() when it is ready to write it.
    virtual void changed() = 0;

protected:
    StateSink() = default;
    StateSink(const StateSink&) = default;
    StateSink& operator=(const StateSink&) = default;
};

// A board as it is kept across restarts.
struct SavedBoard {
    BoardInfo info;
    std::optional<int> desired;

    bool operator==(const SavedBoard&) const = default;
};

struct HubOptions {
    std::chrono::milliseconds interval{50};
    // Reads missed in a row before a board counts as not answering.
    unsigned missesAllowed = 3;
};

class Hub {
public:
    using Listener = std::function<void(const Change&)>;
    using SetDone = std::function<void(const SetResult&)>;

    explicit Hub(HubOptions options);
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Setting up, before any board is served.
    void addListener(Listener listener);
    void setStateSink(StateSink* sink);
    // Boards known from before a restart: away until they are plugged in.
    void restore(const std::vector<SavedBoard>& boards);

    // Every row, by id; one row.
    std::vector<Board> boards() const;
    std::optional<Board> board(const std::string& id) const;
    // The lasting part of every row, for the state store.
    std::vector<SavedBoard> snapshot() const;

    // Asks for LED number `value` (0 to 31) on board `id`. Never waits on the board: `done`, when
    // given, is called once with the outcome, from this call for an away or unknown board, else
    // later from the board's worker (outside the lock, after the listeners heard of it). Only the
    // latest value is kept.
    void setLed(const std::string& id, int value, SetDone done = {});

    // Stops every board worker's wait and ends every waiting `done` with Stopping.
    void stop();

    // --- For the board workers (board_worker.hpp) and the scanner (scanner.hpp) ---

    // A worker's place in the table while its board is here.
    class Slot;
    // The board answered its first read with `status` (or failed it: nullopt): it is here.
    std::shared_ptr<Slot> arrive(const BoardInfo& info, const std::optional<BoardStatus>& status);

    // What a worker does next: an LED number to send (with its command number) or a read.
    struct Turn {
        bool stop = false;
        std::optional<int> write;
        std::uint64_t command = 0;
    };
    // Waits until `readAt`, or until a command or a stop comes sooner.
    Turn waitForTurn(Slot& slot, Clock::time_point readAt);
    // The exchange of a turn: its status, or the request's negative errno (or 0 for a short reply).
    void report(Slot& slot, const Turn& turn, const std::optional<BoardStatus>& status);
    // The worker ends, its board `unplugged` or the daemon stopping: its row stays, away.
    void leave(Slot& slot, bool unplugged);
    // Asks the worker serving board `id` to end: its node is gone from the bus.
    void dismiss(const std::string& id);
    // Marks not answering every board whose exchange has taken `missesAllowed` intervals (a board
    // that hangs holds its request for the 5 s USB timeout). Called now and then by the scanner.
    void checkStalled(Clock::time_point now);

private:
    struct Row;

    Row* rowOf(const std::string& id);
    // Queues a change for the listeners (with mutex_ held).
    void post(Change::Kind kind, const Row& row, bool pressed = false, std::uint64_t command = 0);
    void postTask(std::function<void()> task);
    void finish(Row& row, std::uint64_t upTo, SetOutcome outcome);
    void lastingChanged();
    // Runs what was posted, in order, outside mutex_.
    void deliver();

    HubOptions options_;
    std::vector<Listener> listeners_;
    StateSink* sink_ = nullptr;

    mutable std::mutex mutex_;
    std::map<std::string, Row> rows_;
    std::uint64_t nextCommand_ = 1;
    bool stopping_ = false;
    // Posted and not yet delivered; delivered by whichever thread finds delivery free.
    std::deque<std::function<void()>> posted_;
    std::mutex delivering_;
};

} // namespace ledboardd
