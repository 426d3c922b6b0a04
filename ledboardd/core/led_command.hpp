// The one grammar every front end reads an LED request in: an MQTT `set` payload and an HTTP body
// alike. Pure, with no exceptions, so that the unit tests and the fuzzer take it on its own.
#pragma once

#include <cstddef>
#include <string_view>

namespace ledboardd {

// The LED numbers a request may carry: five bits, as the board's LED request takes them.
inline constexpr int MAX_LED_NUMBER = 31;

// A request longer than this is refused unread: the longest valid one is a short JSON object,
// and nothing from the network is read without a bound. The HTTP body limit is the same.
inline constexpr std::size_t MAX_LED_REQUEST = 1024;

// The result of reading a request: the LED number, or why it was refused (a short English phrase
// for the log and the error topic; `value` is then -1).
struct LedCommand {
    int value;
    const char* refusal; // null when accepted
};

// The LED number 0 to 31 in decimal (leading zeros allowed: "007" is 7), with white space (space,
// tab, CR, LF) around it and nothing else: no sign, no "0x", no second number, no NUL. Or the JSON
// object {"led":N} with that one key and a whole number.
LedCommand parseLedRequest(std::string_view text) noexcept;

} // namespace ledboardd
