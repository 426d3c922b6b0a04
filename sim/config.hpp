// What the simulated bus holds, as the command line describes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The board's identity, written out here rather than taken from the tool's headers, so that a
// wrong constant in the tool cannot hide behind the same constant in its simulator.
inline constexpr std::uint16_t BOARD_VENDOR = 0x1384;
inline constexpr std::uint16_t BOARD_PRODUCT = 0x8888;

struct DevicePlan {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool board = false; // answers the board's vendor requests
    std::optional<std::string> productName;
    std::optional<std::string> manufacturerName;
    std::optional<std::string> serialNumber;
    int bus = 1;
    std::optional<unsigned> mode; // the node's permission bits, when not umockdev's 0644
    bool stallStrings = false;    // every string descriptor request stalls
    bool denyAll = false;         // every transfer fails with EPERM, as on a node opened read-only
    bool vanish = false;          // the node disappears once the bus has been listed
    // Where it is plugged in: the port of the root hub, then of each hub below it (sysfs names
    // the device "BUS-1.4" for {1, 4}). Empty: the next free port of the root hub.
    std::vector<int> port;
    bool unplugged = false;    // off the bus until a change plugs it in
    int boardNumber = 0;       // for a board: its number in changes (see BoardChange::board)
    bool followsBoard = false; // added by --second-board or --boards: numbered right after it
};

enum class FaultKind { Stall, Timeout, Short, Unplug, Denied, Hang };

// A failure of the board's Nth vendor request (counted from 1 over the simulator's lifetime).
struct RequestFault {
    int order = 0;
    FaultKind kind = FaultKind::Stall;
    int shortLength = 0; // bytes delivered, for FaultKind::Short
};

// What one --at, or one line of the control FIFO, changes on one board.
struct BoardChange {
    std::optional<bool> pushed;
    std::optional<unsigned> jumpers;
    std::optional<bool> plugged; // plugged in (true) or unplugged (false)
    int board = 1;               // numbered as laid out: 1 the board, 2 the second board, ...
    std::optional<bool> hung;    // stops answering (true) or answers again (false)
};

// A change from the board's Nth vendor request on (counted as faults are).
struct InputChange {
    int order = 0;
    BoardChange change;
};

// A change at a time after the command started.
struct TimedChange {
    std::chrono::microseconds after{0};
    BoardChange change;
};

struct Config {
    std::vector<DevicePlan> before; // listed ahead of the board
    std::optional<DevicePlan> board;
    std::vector<DevicePlan> after; // listed behind the board
    bool pushed = false;           // the push button is held down
    unsigned jumpers = 0;          // fitted jumpers, bits 0..3
    std::vector<RequestFault> faults;
    std::vector<InputChange> changes;
    std::vector<TimedChange> timedChanges;
    std::string controlPath;    // a FIFO to create and read changes from, one per line
    std::string joinScriptPath; // a script to write that runs a command on this bus
    std::string logPath;
    bool logTimes = false; // each log line starts with the CLOCK_MONOTONIC time in seconds
    bool allUsers = false; // other users may use the bus (a command run through setpriv)
    std::vector<std::string> command;
};

DevicePlan defaultBoard();

// Parses the arguments after the program name. Throws std::invalid_argument with a message for
// the user; `help` is set instead when the user asked for it.
Config parseArguments(const std::vector<std::string>& arguments, bool& help);

// One list of changes: CHANGE[,CHANGE]...[@K], for one of `boards` boards. CHANGE is push,
// release, jumpers=HEX, plug, unplug, hang or answer. Throws std::invalid_argument with a message
// for the user.
BoardChange parseBoardChange(std::string_view text, int boards);

// How many boards `config` lays out.
int boardCount(const Config& config);

extern const char* const USAGE;

} // namespace sim
