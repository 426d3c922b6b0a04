// What the tool does with a board, one function per action. Each receives what it needs, prints
// its results on `out` and its diagnostics on `err`, and returns the exit status.
#pragma once

#include "ledboard_device.hpp"

#include <cstdio>

// The LED request and two status reads, then the three status lines.
int setLeds(usb_dev_handle* board, int number, std::FILE* out, std::FILE* err);

// One status read, then the three status lines; the LEDs stay as they are.
int printStatus(usb_dev_handle* board, std::FILE* out, std::FILE* err);

// One line per board on the bus, in bus and device number order.
int listBoards(std::FILE* out, std::FILE* err);

// Reads the status every `intervalMs` and prints "LED PUSH JUMP" at the start and on each change,
// until SIGINT or SIGTERM, or until the reader of `out` goes away.
int watchBoard(usb_dev_handle* board, unsigned intervalMs, std::FILE* out, std::FILE* err);

// Says on `err` why a status read brought no status; true when it did.
bool statusArrived(int received, std::FILE* err);
