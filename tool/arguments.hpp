// Reading the command line. Pure functions: no I/O.
#pragma once

#include <string_view>

// The LED number as atoi reads it: C-locale white space skipped, an optional sign, then decimal
// digits up to the first other character; no digits gives 0 and nothing is reported. Unlike atoi
// the result is defined for any length: the number as written, modulo 2^32, so every number that
// fits an int comes back unchanged and longer ones keep their low bits.
int parseLedNumber(std::string_view text) noexcept;
