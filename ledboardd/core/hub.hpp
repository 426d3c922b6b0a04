// The core of the daemon: the one table of boards, here or away, and the one lock over it. Each row
// holds what is known of a board (its strings and name, its last status, whether it answers), the
// LED value it was last asked for and whether that value has reached it. The front ends read rows
// and ask for LED values through this object only; the board workers (board_worker.hpp) report
// what they read. A change reaches the listeners after the table changed, outside the lock, in the
// order the table changed.
#pragma once

#include "clock.hpp"
#include "effects.hpp"
#include "gestures.hpp"
#include "led_command.hpp"
#include "ledboard_device.hpp"

#include <array>
#include <atomic>
#include <chrono>
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

// What a board is besides its status, fixed while it stays plugged in.
struct BoardInfo {
    std::string id;     // see board_id.hpp
    std::string serial; // empty when it has none
    std::string path;   // its port path in sysfs ("1-1.4"); empty when unknown
    std::string manufacturer;
    std::string product;

    bool operator==(const BoardInfo&) const = default;
};

// A name for a board, by its serial number, or by its port for a board without one.
struct BoardNaming {
    std::string serial;
    std::string port;
    std::string name;
};

// One row of the table, as a copy for a front end.
struct Board {
    BoardInfo info;
    std::string name;       // from the configuration; empty when it has none
    bool present = false;   // plugged in, and served
    bool answering = false; // its last reads answered (three misses in a row make it false)
    std::optional<BoardStatus> status; // the last one it reported, kept while it is away
    std::optional<int> desired;        // the LED number it was last asked for, 0 to 31
    bool applied = true;               // `desired` has been sent to it since it was asked for
    std::optional<Effect> effect;      // what the daemon runs on its LEDs (a blink, a while)
    // Home Assistant's user deleted the board's device: no discovery config until it is plugged
    // in anew.
    bool discoveryWithdrawn = false;

    bool available() const { return present && answering; }
    // The LED number asked for and not yet sent: the board is away, or has not answered since.
    std::optional<int> pending() const { return applied ? std::nullopt : desired; }
};

// What changed, with the row as it stands after the change.
struct Change {
    enum class Kind {
        Arrived,      // plugged in and answered its first read (or failed it)
        Left,         // unplugged, or the daemon stops serving it
        Availability, // started or stopped answering (answering)
        State,        // its status changed (after LED command `command`, when not 0)
        Button,       // its button went down or up (pressed); comes before that read's State
        Desired,      // its desired value changed while it is away
        Applied,      // LED command `command` went out and changed nothing the board reports
        Retired,      // forgotten: the row is gone (`board` is the last of it)
        Discovery,    // discoveryWithdrawn changed
        Gesture,      // the button made `gesture`
    };
    Kind kind;
    Board board;
    bool pressed = false;
    std::uint64_t command = 0;
    Gesture gesture = Gesture::Single;
};

// How an LED request ended.
enum class SetOutcome {
    Applied,    // sent, and the status after it read back
    Kept,       // the board is away: kept (on disk, when there is a state directory) for its return
    Superseded, // a newer value replaced it before it went out
    Left,       // the board left before it went out: kept for its return
    Unknown,    // no board with that id has been seen, now or before a restart: not kept
    Refused,    // the effect asked for cannot run (see `refusal`)
    Stopping,   // the daemon is stopping
};

struct SetResult {
    SetOutcome outcome;
    std::optional<Board> board; // as it stands, but for Unknown
    const char* refusal = nullptr;
};

enum class RetireOutcome { Retired, Present, Unknown };

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
    bool discoveryWithdrawn = false;
    std::optional<Effect> effect;

    bool operator==(const SavedBoard&) const = default;
};

// What /metrics shows of a board.
struct BoardCounters {
    std::string id;
    std::uint64_t reads = 0;    // exchanges made
    std::uint64_t failures = 0; // exchanges that brought no status
    std::uint64_t presses = 0;
    std::uint64_t applied = 0; // LED commands sent
    // Exchanges by how long they took, counted into the first bound they are within (the last
    // bucket is everything slower); only with HubOptions::timeReads.
    static constexpr std::array<double, 8> LATENCY_BOUNDS{0.001, 0.002, 0.005, 0.01,
                                                          0.02,  0.05,  0.1,   1.0};
    std::array<std::uint64_t, LATENCY_BOUNDS.size() + 1> latency{};
    double latencySum = 0;
};

// What a front end says of itself, for the health check and the metrics.
struct FrontEndStatus {
    bool up = true;
    std::string problem;                  // why it is not up, for the health check
    std::map<std::string, double> values; // metric name (without the program's prefix) -> value
};

struct HubOptions {
    std::chrono::milliseconds interval{50};
    // Reads missed in a row before a board counts as not answering.
    unsigned missesAllowed = 3;
    std::vector<BoardNaming> names;
    // Whether each exchange is timed, for the read latency histogram (two clock reads a read).
    bool timeReads = false;
    GestureTimings gestures{};
    // When a reported read was made, for the gestures: the clock, or a test's own.
    Clock::time_point (*now)() = &Clock::now;
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
    // The first look at the bus is done: a board that arrives from now on is plugged in anew.
    void markStarted();

    // A front end's own state: whether it is up (or why not), and its counters and gauges.
    void setFrontEnd(const std::string& name, bool up, std::string problem = {});
    void addToFrontEnd(const std::string& name, const std::string& metric, double delta);
    void setFrontEndValue(const std::string& name, const std::string& metric, double value);
    std::map<std::string, FrontEndStatus> frontEnds() const;

    // Every row, by id; one row.
    std::vector<Board> boards() const;
    std::optional<Board> board(const std::string& id) const;
    // The lasting part of every row, for the state store.
    std::vector<SavedBoard> snapshot() const;
    std::vector<BoardCounters> counters() const;
    // Ids of boards here that have not been read within `limit` (health).
    std::vector<std::string> unread(std::chrono::milliseconds limit) const;

    // Asks for LED number `value` (0 to 31) on board `id`. Never waits on the board: `done`, when
    // given, is called once with the outcome, from this call for an away or unknown board, else
    // later from the board's worker (outside the lock, after the listeners heard of it). Only the
    // latest value is kept.
    void setLed(const std::string& id, int value, SetDone done = {});
    // The same with the effect the request asks for, if any (a blink, or the value for a while
    // and then the one before): refused when the reads cannot show it.
    void setLed(const std::string& id, const LedCommand& request, SetDone done = {});
    // LED `led` (1 to 3) on or off: one bit of the desired value (of the last status when nothing
    // was asked yet), the rest as it was.
    void setLedBit(const std::string& id, int led, bool on, SetDone done = {});
    // LED `led` blinking (500 ms on, 500 ms off) while the others stay as they are, or no effect.
    void setLedBlink(const std::string& id, int led, bool blink, SetDone done = {});
    // Forgets a board that is away: its row and its kept value.
    RetireOutcome retire(const std::string& id);
    // Home Assistant's user deleted the board's device (see Board::discoveryWithdrawn).
    void withdrawDiscovery(const std::string& id);

    // Stops every board worker and ends every waiting `done` with Stopping.
    void stop();

    // --- For the board workers (board_worker.hpp) and the scanner (scanner.hpp) ---

    // A worker's place in the table while its board is here (hub_row.hpp).
    class Slot;
    // The board answered its first read with `status` (or failed it: nullopt): it is here.
    std::shared_ptr<Slot> arrive(const BoardInfo& info, const std::optional<BoardStatus>& status);

    // What a worker does at its next exchange.
    struct Turn {
        bool stop = false;
        std::optional<int> write; // an LED number to send first
        std::uint64_t command = 0;
        // When an effect changes the LEDs next: the worker takes a turn then.
        std::optional<Clock::time_point> stepAt;
    };
    bool timesReads() const { return options_.timeReads; }
    // Taken when the slot asks for attention (see Slot), else the turn is a plain read.
    Turn takeTurn(Slot& slot);
    // The exchange of a turn: its status, or nothing when it brought none. Returns whether the
    // hub wants every read reported from now on (it judges each, e.g. while the button is down),
    // rather than only those whose status differs from the last reported.
    bool report(Slot& slot, const Turn& turn, const std::optional<BoardStatus>& status);
    // The worker ends, its board `unplugged` or the daemon stopping: its row stays, away.
    void leave(Slot& slot, bool unplugged);
    // Asks the worker serving board `id` to end: its node is gone from the bus.
    void dismiss(const std::string& id);
    // Marks not answering every board whose reads have not moved on for `missesAllowed`
    // intervals (a board that hangs holds its request for the 5 s USB timeout), and notes when
    // each was last read. Called now and then by the scanner.
    void checkStalled(Clock::time_point now);

private:
    struct Row;

    Row* rowOf(const std::string& id);
    const Row* rowOf(const std::string& id) const;
    Row& newRow(const std::string& id);
    std::string nameOf(const BoardInfo& info) const;
    void ask(Row& row, int value, std::optional<Effect> effect, SetDone done);
    // The LED number an effect or a command wants on the board now, with mutex_ held.
    std::optional<int> wanted(Row& row, Turn& turn);
    void refuseNow(const std::string& id, SetDone done, const char* refusal = nullptr);
    static int shownValue(const Board& board);
    // Queues a change for the listeners (with mutex_ held).
    void post(Change::Kind kind, const Row& row, bool pressed = false, std::uint64_t command = 0,
              Gesture gesture = Gesture::Single);
    void postTask(std::function<void()> task);
    void finish(Row& row, std::uint64_t upTo, SetOutcome outcome);
    void lastingChanged();
    void noMoreAnswers(Row& row, const char* why);
    // Runs what was posted, in order, outside mutex_.
    void deliver();

    HubOptions options_;
    std::vector<Listener> listeners_;
    StateSink* sink_ = nullptr;

    mutable std::mutex mutex_;
    std::map<std::string, Row> rows_;
    std::map<std::string, FrontEndStatus> frontEnds_;
    std::uint64_t nextCommand_ = 1;
    bool stopping_ = false;
    bool started_ = false;
    // Posted and not yet delivered; delivered by whichever thread finds delivery free.
    std::deque<std::function<void()>> posted_;
    std::mutex delivering_;
};

} // namespace ledboardd
