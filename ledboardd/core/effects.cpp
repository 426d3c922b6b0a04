#include "effects.hpp"

#include "led_command.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace ledboardd {

namespace {

using std::chrono::milliseconds;

constexpr const char* BLINK = "blink";
constexpr const char* FOR = "for";
// Later than any clock this daemon will read, and early enough that the difference of two times
// in range fits the system clock's nanoseconds (about 292 years) without overflow.
constexpr SystemClock::time_point LATEST_TIME{
    std::chrono::sys_days{std::chrono::year{2200} / std::chrono::January / 1}};

bool isLedNumber(int value) noexcept
{
    return value >= 0 && value <= MAX_LED_NUMBER;
}

std::int64_t msSinceEpoch(SystemClock::time_point time)
{
    return std::chrono::floor<milliseconds>(time.time_since_epoch()).count();
}

// "2026-12-08T22:04:21Z": the fraction of a second dropped.
std::string isoUtc(SystemClock::time_point time)
{
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(seconds);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss clock(seconds - day);
    // Room for any int the fields could hold, as the compiler cannot tell they are a date's.
    constexpr std::size_t ROOM = 64;
    std::array<char, ROOM> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text.data();
}

// The whole number under `key` from `least` to `most`, or none.
std::optional<std::int64_t> wholeIn(const nlohmann::json& object, const char* key,
                                    std::int64_t least, std::int64_t most)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    if (found->is_number_unsigned()) {
        const auto unsignedValue = found->get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        value = static_cast<std::int64_t>(unsignedValue);
    } else {
        value = found->get<std::int64_t>();
    }
    if (value < least || value > most) {
        return std::nullopt;
    }
    return value;
}

std::optional<SystemClock::time_point> timeIn(const nlohmann::json& object, const char* key)
{
    const auto ms = wholeIn(object, key, 0, msSinceEpoch(LATEST_TIME));
    if (!ms) {
        return std::nullopt;
    }
    return SystemClock::time_point{milliseconds(*ms)};
}

} // namespace

EffectStep effectAt(const Effect& effect, SystemClock::time_point now)
{
    if (effect.kind == Effect::Kind::For) {
        if (now >= effect.end) {
            return {effect.offValue, std::nullopt, true};
        }
        return {effect.onValue, effect.end, false};
    }
    if (effect.on <= milliseconds::zero() || effect.off <= milliseconds::zero()) {
        const bool on = effect.on > milliseconds::zero();
        return {on ? effect.onValue : effect.offValue, std::nullopt, false};
    }
    const SystemClock::duration period = effect.on + effect.off;
    // Floored, so that a clock set back before `start` keeps the phases in step.
    SystemClock::duration phase = (now - effect.start) % period;
    if (phase < SystemClock::duration::zero()) {
        phase += period;
    }
    if (phase < effect.on) {
        return {effect.onValue, now + (effect.on - phase), false};
    }
    return {effect.offValue, now + (period - phase), false};
}

const char* effectRefusal(const Effect& effect, milliseconds interval) noexcept
{
    if (!isLedNumber(effect.onValue) || !isLedNumber(effect.offValue)) {
        return "out of range (0 to 31)";
    }
    if (effect.kind == Effect::Kind::Blink) {
        const milliseconds shortest = interval * MIN_READS_A_PHASE;
        if (effect.on < shortest || effect.off < shortest) {
            return R"("on_ms" or "off_ms" is under two read intervals)";
        }
        if (effect.on > MAX_EFFECT_SPAN || effect.off > MAX_EFFECT_SPAN) {
            return R"("on_ms" or "off_ms" is over a day)";
        }
        return nullptr;
    }
    const SystemClock::duration span = effect.end - effect.start;
    if (span < MIN_FOR_SPAN) {
        return "\"for_s\" is under 1";
    }
    if (span > MAX_EFFECT_SPAN) {
        return "\"for_s\" is over a day";
    }
    return nullptr;
}

nlohmann::ordered_json effectJson(const Effect& effect)
{
    nlohmann::ordered_json json;
    if (effect.kind == Effect::Kind::Blink) {
        json["blink"]["on_ms"] = effect.on.count();
        json["blink"]["off_ms"] = effect.off.count();
        return json;
    }
    json["for_s"] = std::chrono::floor<std::chrono::seconds>(effect.end - effect.start).count();
    json["until"] = isoUtc(effect.end);
    json["then"] = effect.offValue;
    return json;
}

nlohmann::ordered_json effectStateJson(const Effect& effect)
{
    const bool blink = effect.kind == Effect::Kind::Blink;
    nlohmann::ordered_json json;
    json["kind"] = blink ? BLINK : FOR;
    json["on"] = effect.onValue;
    json["off"] = effect.offValue;
    if (blink) {
        json["on_ms"] = effect.on.count();
        json["off_ms"] = effect.off.count();
    }
    json["start_ms"] = msSinceEpoch(effect.start);
    if (!blink) {
        json["end_ms"] = msSinceEpoch(effect.end);
    }
    return json;
}

std::optional<Effect> parseEffectState(const nlohmann::json& json)
{
    if (!json.is_object() || !json.contains("kind") || !json["kind"].is_string()) {
        return std::nullopt;
    }
    const auto kind = json["kind"].get<std::string>();
    const auto onValue = wholeIn(json, "on", 0, MAX_LED_NUMBER);
    const auto offValue = wholeIn(json, "off", 0, MAX_LED_NUMBER);
    const auto start = timeIn(json, "start_ms");
    if ((kind != BLINK && kind != FOR) || !onValue || !offValue || !start) {
        return std::nullopt;
    }
    Effect effect{.kind = kind == BLINK ? Effect::Kind::Blink : Effect::Kind::For,
                  .onValue = static_cast<int>(*onValue),
                  .offValue = static_cast<int>(*offValue),
                  .start = *start};
    if (effect.kind == Effect::Kind::Blink) {
        const auto on = wholeIn(json, "on_ms", 1, MAX_EFFECT_SPAN.count());
        const auto off = wholeIn(json, "off_ms", 1, MAX_EFFECT_SPAN.count());
        if (!on || !off) {
            return std::nullopt;
        }
        effect.on = milliseconds(*on);
        effect.off = milliseconds(*off);
        return effect;
    }
    const auto end = timeIn(json, "end_ms");
    if (!end || *end - *start < MIN_FOR_SPAN || *end - *start > MAX_EFFECT_SPAN) {
        return std::nullopt;
    }
    effect.end = *end;
    return effect;
}

} // namespace ledboardd
