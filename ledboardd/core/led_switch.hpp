// One LED at a time: what turns LED N on or off, from Home Assistant's light (ON, OFF, an effect's
// name) or from the HTTP API (true, false, on, off). Pure, for the unit tests and the fuzzer.
#pragma once

#include <string_view>

namespace ledboardd {

// The LEDs a board shows: LED 1 to 3 are bits 0 to 2 of the value.
inline constexpr int LED_COUNT = 3;

struct LedSwitch {
    enum class Kind { On, Off, Blink, NoEffect, Refused };
    Kind kind;
    const char* refusal; // why, for Refused
};

// ON or OFF in any case, true or false, on or off (also as the JSON literals and strings), the
// effect names "blink" and "none", with white space around; anything else is refused.
LedSwitch parseLedSwitch(std::string_view text) noexcept;

// The LED number N (1 to LED_COUNT) of a topic level or a URL segment; 0 for anything else.
int parseLedIndex(std::string_view text) noexcept;

} // namespace ledboardd
