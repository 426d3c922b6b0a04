// The LED effects the daemon runs for a board: a blink between two LED numbers, and a number shown
// for a while before another. Pure: every time is a parameter, so that the hub asks what to show
// now and when to ask again, and the tests need no clock.
//
// Effects survive a restart, so their times are wall-clock times, and the LED number is worked out
// from them rather than counted: a blink restarted a week later is still in phase, and a For that
// ended while the daemon was down reports that it is over. When the wall clock is set back before
// an effect's `start`, a blink keeps its phases (they run backwards from the origin as well) and a
// For keeps showing its number until its `end`.
#pragma once

#include <chrono>
#include <optional>

#include <nlohmann/json.hpp>

namespace ledboardd {

using SystemClock = std::chrono::system_clock;

struct Effect {
    enum class Kind { Blink, For };
    Kind kind;
    int onValue;  // Blink: the LED number in the on phase; For: the number while it lasts
    int offValue; // Blink: the number in the off phase; For: the number once it is over
    std::chrono::milliseconds on{}; // Blink: the phases (a For leaves them 0)
    std::chrono::milliseconds off{};
    // Blink: the phase origin (an on phase starts here); For: when it began.
    SystemClock::time_point start{};
    SystemClock::time_point end{}; // For: when it ends (a Blink leaves it at the epoch)

    bool operator==(const Effect&) const = default;
};

struct EffectStep {
    int value;                                   // what the LEDs show at `now`
    std::optional<SystemClock::time_point> next; // when that changes next; none: it does not
    bool over;                                   // For: it has ended (value is offValue)
};

// What `effect` shows at `now`. A blink's phases are half open: at exactly `start` + `on` the off
// phase has begun; a For is over from exactly `end`. A blink with a phase that is not positive
// (which effectRefusal refuses) shows a steady number rather than dividing by zero. Its times are
// to be within the years parseEffectState takes, so that their differences cannot overflow.
EffectStep effectAt(const Effect& effect, SystemClock::time_point now);

// The bounds of a blink phase and of a For: each blink phase at least MIN_READS_A_PHASE reads (a
// shorter one could fall between two reads and never show) and at most a day; a For from 1 s to a
// day. Longer than a day is a mistake in a request, not a wish.
inline constexpr int MIN_READS_A_PHASE = 2;
inline constexpr std::chrono::milliseconds MAX_EFFECT_SPAN = std::chrono::hours(24);
inline constexpr std::chrono::milliseconds MIN_FOR_SPAN = std::chrono::seconds(1);

// Why an effect cannot run with reads every `interval` (a short phrase for the error topic and an
// HTTP 400), or null.
const char* effectRefusal(const Effect& effect, std::chrono::milliseconds interval) noexcept;

// The effect as JSON for the state messages and the API: {"blink":{"on_ms":500,"off_ms":500}} or
// {"for_s":30,"until":"2026-12-08T22:04:21Z","then":3}, `until` in ISO 8601 UTC to the whole
// second (the fraction dropped) and `for_s` the For's whole seconds.
nlohmann::ordered_json effectJson(const Effect& effect);

// The effect as the state file keeps it, times to the millisecond since the epoch (the fraction
// of a millisecond dropped): {"kind":"blink","on":5,"off":0,"on_ms":500,"off_ms":500,
// "start_ms":N} or {"kind":"for","on":5,"off":3,"start_ms":N,"end_ms":N}.
nlohmann::ordered_json effectStateJson(const Effect& effect);

// An effect read back from the state file, or none when it is not one: a kind it does not know,
// an LED number out of range, a blink phase outside 1 ms to a day, a For outside 1 s to a day, or
// a time outside 1970 to 2200. The bounds that depend on the read interval, which may have changed
// since the file was written, are effectRefusal's. Keys it does not know are ignored.
std::optional<Effect> parseEffectState(const nlohmann::json& json);

} // namespace ledboardd
