// Choosing the board to talk to, and saying why there is none.
#pragma once

#include "ledboard_device.hpp"
#include "options.hpp"

#include <cstdio>

// The plain lookup's failure, explained on `err`: the board it passed over and why, or one that
// sysfs shows but libusb could not list. Returns false when there is nothing to say.
bool explainLookupFailure(std::FILE* err, const RefusedBoard& refused);

// "no board found", when there is nothing more to say.
void sayNoBoard(std::FILE* err);

// Rescans the bus; on a library error says so on `err` and returns false.
bool rescanOrSay(std::FILE* err);

// Opens the board that `options` choose: the first usable one in the library's order, or the
// one at a location or with a serial number. Without one, says why on `err` in one line (and,
// for a permission problem, the fix) and returns null; no request has then been sent to a board.
DeviceHandle chooseBoard(const Options& options, std::FILE* err);
