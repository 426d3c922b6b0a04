// The command line as one struct: what to do, with which board. Parsing touches no USB, so a bad
// command line costs no transfer.
#pragma once

#include "causes.hpp"

#include <array>
#include <span>

enum class Action { NeedData, Help, Version, List, SetLeds, Status, Watch, WaitPress };

// Which board: the first usable one in the library's order, or the one the user names.
enum class Choice { FirstBoard, Location, Serial, Path };

// --watch's interval. The default sees a press of the button well within a human reaction time;
// below the minimum, reads would follow each other faster than a low-speed board answers.
inline constexpr unsigned WATCH_DEFAULT_MS = 50;
inline constexpr unsigned WATCH_MIN_MS = 10;
inline constexpr unsigned WATCH_MAX_MS = 60000;

// Time limits of --wait and --wait-press. A limit past a week is no limit a script means to set,
// and keeps every deadline far from overflowing.
inline constexpr unsigned long NO_TIME_LIMIT = ~0UL;
inline constexpr unsigned long MAX_TIME_LIMIT_MS = 7UL * 24 * 60 * 60 * 1000;

struct Options {
    Action action = Action::NeedData;
    Choice choice = Choice::FirstBoard;
    const char* choiceText = nullptr; // the location, serial or port path as written
    BusAddress location{};            // for Choice::Location
    int number = 0;                   // for Action::SetLeds
    unsigned intervalMs = WATCH_DEFAULT_MS;
    bool json = false;                     // JSON Lines on stdout instead of text
    bool wait = false;                     // wait for the board to be there (and to come back)
    unsigned long waitMs = NO_TIME_LIMIT;  // how long --wait waits at most
    unsigned long pressMs = NO_TIME_LIMIT; // how long --wait-press waits at most
    // The plain command line, `ledboard NUMBER [IGNORED...]`: the first word it ignored, if any.
    bool plain = false;
    const char* ignored = nullptr;
};

struct ParsedCommandLine {
    Options options;
    std::array<char, 256> error{}; // what is wrong with the command line; empty when it is good

    bool ok() const { return error[0] == '\0'; }
};

// `args` is argv without its terminating null.
ParsedCommandLine parseCommandLine(std::span<char* const> args) noexcept;
