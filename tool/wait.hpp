// --wait: waiting for a board to be there, at the start of a run and, for a watch, after an unplug.
#pragma once

#include "ledboard_device.hpp"
#include "options.hpp"
#include "sleeping.hpp"
#include "sysfs.hpp"

#include <cstdio>

// How often a waiting run looks at the bus. Arrival is noticed within this plus one rescan; a look
// is a listing of /dev/bus/usb, a few system calls, so ten a second cost next to nothing.
inline constexpr unsigned long BUS_LOOK_INTERVAL_MS = 100;
// A board can be there and not yet usable (udev may not have applied the rule yet, or its strings
// did not answer): it is tried again this often even when the nodes look unchanged.
inline constexpr unsigned long BOARD_RETRY_INTERVAL_MS = 2000;

// The outcome of a wait: the board, or the exit status of a run that ends without it (no such
// board within the limit, or interrupted by a stop signal: OK).
struct Waited {
    DeviceHandle board;
    int status;
};

// Waits for the board that `options` choose, for at most options.waitMs, saying so once on `err`.
Waited waitForChoice(const Options& options, std::FILE* err, const StopSignals* signals);

// Waits for the board with `identity` to come back, for at most `limitMs` (--wait's limit, which
// it names) or `quietLimitMs` (another's, such as --wait-press's, whose end its caller reports).
Waited waitForReturn(const BoardIdentity& identity, unsigned long limitMs,
                     unsigned long quietLimitMs, std::FILE* err, const StopSignals* signals);
