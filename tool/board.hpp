// Choosing the board to talk to, and saying why there is none.
#pragma once

#include "ledboard_device.hpp"
#include "options.hpp"

#include <cstdio>

struct BoardIdentity;

// Room for text the user typed, as one message quotes it, and for a message built up in pieces;
// what is longer is cut.
inline constexpr std::size_t USER_TEXT_LENGTH = 1024;
inline constexpr std::size_t MESSAGE_LENGTH = 1024;

// The plain lookup's failure, explained on `err`: the board it passed over and why, or one that
// sysfs shows but libusb could not list. Returns false when there is nothing to say.
bool explainLookupFailure(std::FILE* err, const RefusedBoard& refused);

// After the plain lookup found `used`: the board it passed over first, if any, and why.
void notePassedOver(std::FILE* err, const RefusedBoard& refused, usb_dev_handle* used);

// "no board found", when there is nothing more to say.
void sayNoBoard(std::FILE* err);

// Rescans the bus; on a library error says so on `err` and returns false.
bool rescanOrSay(std::FILE* err);

// Opens the board that `options` choose: the first usable one in the library's order, or the
// one at a location, with a serial number or at a port. Without one, says why on `err` in one line
// (and, for a permission problem, the fix) and returns null; no request has then been sent to a
// board.
// `hopeless`, when given, is set when waiting cannot make the choice match: several boards have
// the serial number asked for.
DeviceHandle chooseBoard(const Options& options, std::FILE* err, bool* hopeless = nullptr);

// Opens the board with this identity: the same serial number, or without one, the same port.
DeviceHandle openBoardLike(const BoardIdentity& identity, std::FILE* err);

// "a board (USB ID 1384:8888)", "the board at 001/004", "the board with serial 'A17'", ...
void describeChoice(std::FILE* err, const Options& options);
