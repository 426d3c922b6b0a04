// Reading the values on the command line. Pure functions: no I/O.
#pragma once

#include "causes.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

// The LED number as atoi reads it: C-locale white space skipped, an optional sign, then decimal
// digits up to the first other character; no digits gives 0 and nothing is reported. Unlike atoi
// the result is defined for any length: the number as written, modulo 2^32, so every number that
// fits an int comes back unchanged and longer ones keep their low bits.
int parseLedNumber(std::string_view text) noexcept;

// True for an optional sign and one or more decimal digits, nothing else: what may follow a choice
// of board as the LED number, where a mistyped option must not be read as 0.
bool isPlainNumber(std::string_view text) noexcept;

// Bus and device numbers as libusb names them, "001/004", or as lsusb -s writes them, "001:004",
// leading zeros optional, each up to MAX_BUS_NUMBER and MAX_DEVICE_NUMBER (sysfs.hpp).
std::optional<BusAddress> parseLocation(std::string_view text) noexcept;

// A decimal number from `low` to `high`, nothing else around it.
std::optional<unsigned> parseBounded(std::string_view text, unsigned low, unsigned high) noexcept;

// Seconds as a user writes them, "5", "0.25", ".5", "1.5", in milliseconds: decimal digits, then
// optionally a '.' and one to three digits; or only the '.' and its digits (".5" is 0.5). No sign,
// no white space, no exponent. 0 means "do not wait at all", which scripts want. Nothing when the
// text is not such a number or means more than maxMs.
std::optional<unsigned long> parseSecondsAsMs(std::string_view text, unsigned long maxMs) noexcept;

// How long the shorter of editDistance()'s two words may be: far longer than any option name.
inline constexpr std::size_t EDIT_WORD_MAX = 32;

// The fewest single-letter insertions, deletions, substitutions and swaps of two neighbouring
// letters that turn one word into the other, a swapped pair not being edited again (the optimal
// string alignment distance; a swap is the commonest typo: --lsit). ASCII letters are compared
// without regard to case (--Status). When both words are longer than EDIT_WORD_MAX, the length of
// the longer one, which is never less than the distance.
std::size_t editDistance(std::string_view a, std::string_view b) noexcept;

// The index of the name in `names` nearest to `word`, or names.size() when none is near enough
// to be what the user meant: at most two edits, and at most one per three letters of the longer
// of the two words, so that a short word is not taken for any other short one. Of two names
// equally near, the first.
std::size_t nearestName(std::string_view word, std::span<const std::string_view> names) noexcept;
