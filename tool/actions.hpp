// What the tool does with a board, one function per action. Each receives what it needs, prints
// its results on `out` and its diagnostics on `err`, and returns the exit status.
#pragma once

#include "ledboard_device.hpp"
#include "options.hpp"
#include "sleeping.hpp"

#include <cstdio>

// The LED request and two status reads, then the status.
int setLeds(usb_dev_handle* board, int number, bool json, std::FILE* out, std::FILE* err);

// One status read, then the status; the LEDs stay as they are.
int printStatus(usb_dev_handle* board, bool json, std::FILE* out, std::FILE* err);

// One line per board on the bus, in bus and device number order, with the boards that sysfs shows
// but libusb cannot list.
int listBoards(bool json, std::FILE* out, std::FILE* err);

// --watch and --wait-press: reads the status every options.intervalMs. A watch prints a line at
// the start and on each change until SIGINT or SIGTERM, or until the reader of `out` goes away; a
// wait for a press prints the status at the first press and ends. With --wait, both outlive an
// unplug. `board` may be replaced by the board that came back.
int followBoard(DeviceHandle& board, const Options& options, const StopSignals& signals,
                std::FILE* out, std::FILE* err);

// Says on `err` why a status read brought no status; true when it did.
bool statusArrived(int received, std::FILE* err);
