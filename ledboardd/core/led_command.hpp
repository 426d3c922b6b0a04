// The one grammar every front end reads an LED request in: an MQTT `set` payload and an HTTP body
// alike. Pure, with no exceptions, so that the unit tests and the fuzzer take it on its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

namespace ledboardd {

// The LED numbers a request may carry: five bits, as the board's LED request takes them.
inline constexpr int MAX_LED_NUMBER = 31;

// A request longer than this is refused unread: the longest valid one is a short JSON object,
// and nothing from the network is read without a bound. The HTTP body limit is the same.
inline constexpr std::size_t MAX_LED_REQUEST = 1024;

// The longest an effect may ask for, in a blink phase or a For: longer is a mistake, not a wish.
inline constexpr std::chrono::seconds MAX_EFFECT_REQUEST = std::chrono::hours(24);

// A blink asked for, by the length of its phases.
struct BlinkRequest {
    std::chrono::milliseconds on;
    std::chrono::milliseconds off;

    bool operator==(const BlinkRequest&) const = default;
};

// The result of reading a request: the LED number, with the effect asked for if any, or why it was
// refused (a short English phrase for the log and the error topic; `value` is then -1 and there is
// no effect). The effect's numbers are durations of 0 to a day; whether the reads can show them
// (effects.hpp, effectRefusal) is for the hub to say.
struct LedCommand {
    int value;
    const char* refusal; // null when accepted
    std::optional<BlinkRequest> blink{};
    std::optional<std::chrono::seconds> forSeconds{}; // how long `value` is to last
};

// The LED number 0 to 31 in decimal (leading zeros allowed: "007" is 7), with white space (space,
// tab, CR, LF) around it and nothing else: no sign, no "0x", no second number, no NUL. Or a JSON
// object with the key "led", a whole number, and besides it at most one of
// "blink":{"on_ms":N,"off_ms":N} (whole milliseconds, those two keys only) and "for_s":N (whole
// seconds); any other key is refused.
LedCommand parseLedRequest(std::string_view text) noexcept;

} // namespace ledboardd
