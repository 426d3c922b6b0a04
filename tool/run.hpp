// One run of the tool, from the command line to the printed report. main() hands it the real
// streams; the tests hand it files they can read back.
#pragma once

#include <cstdio>
#include <span>

// Exit statuses. OK: a report, or one of the two designed messages. FAILURE: a request to the board
// failed, no board could be used, or the output could not be written. USAGE: a bad command line.
inline constexpr int EXIT_STATUS_OK = 0;
inline constexpr int EXIT_STATUS_FAILURE = 1;
inline constexpr int EXIT_STATUS_USAGE = 2;

// `args` is argv without its terminating null. Results go to `out`, diagnostics to `err`.
int runLedboard(std::span<char* const> args, std::FILE* out, std::FILE* err);
