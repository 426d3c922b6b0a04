// The command line as one struct: what to do, with which board. Parsing touches no USB, so a bad
// command line costs no transfer.
#pragma once

#include "causes.hpp"

#include <array>
#include <span>

enum class Action { NeedData, Help, Version, List, SetLeds, Status, Watch };

// Which board: the first usable one in the library's order, or the one the user names.
enum class Choice { FirstBoard, Location, Serial };

// --watch's interval. The default sees a press of the button well within a human reaction time;
// below the minimum, reads would follow each other faster than a low-speed board answers.
inline constexpr unsigned WATCH_DEFAULT_MS = 50;
inline constexpr unsigned WATCH_MIN_MS = 10;
inline constexpr unsigned WATCH_MAX_MS = 60000;

struct Options {
    Action action = Action::NeedData;
    Choice choice = Choice::FirstBoard;
    const char* choiceText = nullptr; // the location or serial as written, for messages
    BusAddress location{};            // for Choice::Location
    int number = 0;                   // for Action::SetLeds
    unsigned intervalMs = WATCH_DEFAULT_MS;
};

struct ParsedCommandLine {
    Options options;
    std::array<char, 256> error{}; // what is wrong with the command line; empty when it is good

    bool ok() const { return error[0] == '\0'; }
};

// `args` is argv without its terminating null.
ParsedCommandLine parseCommandLine(std::span<char* const> args) noexcept;
