// The tool's exit statuses, so that a script can tell the outcomes apart. The plain command line
// (`ledboard NUMBER`, or nothing) keeps its own: 0 for its two messages, 1 for a failed exchange.
#pragma once

// A report, or one of the plain command line's two designed messages.
inline constexpr int EXIT_STATUS_OK = 0;
// The board failed: a request failed or its reply was too short; or the output could not be
// written.
inline constexpr int EXIT_STATUS_FAILURE = 1;
// The command line is wrong.
inline constexpr int EXIT_STATUS_USAGE = 2;
// No such board: nothing matched the choice, or --wait gave up waiting for it.
inline constexpr int EXIT_STATUS_NO_BOARD = 3;
// --wait-press reached its time limit without a press.
inline constexpr int EXIT_STATUS_NO_PRESS = 4;
// --wait-press ended by SIGINT or SIGTERM saw no press: it ends with the status of a process that
// signal ended, as a shell reports one, this plus the signal's number (130, 143).
inline constexpr int EXIT_STATUS_SIGNAL_BASE = 128;
