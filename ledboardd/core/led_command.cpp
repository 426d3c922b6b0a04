#include "led_command.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace ledboardd {

namespace {

constexpr int DECIMAL_BASE = 10;
constexpr std::string_view WHITE_SPACE = " \t\r\n";
constexpr const char* OUT_OF_RANGE = "out of range (0 to 31)";

std::string_view trim(std::string_view text) noexcept
{
    const std::size_t start = text.find_first_not_of(WHITE_SPACE);
    if (start == std::string_view::npos) {
        return {};
    }
    return text.substr(start, text.find_last_not_of(WHITE_SPACE) - start + 1);
}

LedCommand readNumber(std::string_view number) noexcept
{
    constexpr std::size_t MAX_DIGITS = 2;
    if (number.empty()) {
        return {-1, "empty payload"};
    }
    if (!std::ranges::all_of(number, [](char c) { return c >= '0' && c <= '9'; })) {
        return {-1, "not a decimal number"};
    }
    // Leading zeros do not change a decimal number; the last digit stays.
    number.remove_prefix(std::min(number.find_first_not_of('0'), number.size() - 1));
    if (number.size() > MAX_DIGITS) {
        return {-1, OUT_OF_RANGE};
    }
    int value = 0;
    for (const char c : number) {
        value = value * DECIMAL_BASE + (c - '0');
    }
    return value > MAX_LED_NUMBER ? LedCommand{-1, OUT_OF_RANGE} : LedCommand{value, nullptr};
}

// A duration in the object: its key, the most it may be, and what is wrong with it when it is not.
struct DurationKey {
    const char* key;
    long long most;
    const char* notWhole;
    const char* negative;
    const char* overADay;
};
constexpr long long MS_A_SECOND = 1000;
constexpr DurationKey ON_MS{"on_ms", MAX_EFFECT_REQUEST.count() * MS_A_SECOND,
                            "\"on_ms\" is not a whole number", "\"on_ms\" is negative",
                            "\"on_ms\" is over a day"};
constexpr DurationKey OFF_MS{"off_ms", MAX_EFFECT_REQUEST.count() * MS_A_SECOND,
                             "\"off_ms\" is not a whole number", "\"off_ms\" is negative",
                             "\"off_ms\" is over a day"};
constexpr DurationKey FOR_S{"for_s", MAX_EFFECT_REQUEST.count(), "\"for_s\" is not a whole number",
                            "\"for_s\" is negative", "\"for_s\" is over a day"};

// The duration under `what.key` (which `object` holds) into `count`, or why it is not one.
const char* readDuration(const nlohmann::json& object, const DurationKey& what,
                         long long& count) noexcept
{
    const auto& number = object[what.key];
    if (!number.is_number_integer()) {
        return what.notWhole;
    }
    // Read as unsigned when the parser kept it so: it may be beyond any long long.
    if (number.is_number_unsigned()) {
        if (number.get<unsigned long long>() > static_cast<unsigned long long>(what.most)) {
            return what.overADay;
        }
        count = number.get<long long>();
        return nullptr;
    }
    count = number.get<long long>();
    if (count < 0) {
        return what.negative;
    }
    return count > what.most ? what.overADay : nullptr;
}

LedCommand readObject(std::string_view text) noexcept
{
    // Without exceptions: text that is not JSON gives a discarded value.
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return {-1, "not JSON"};
    }
    if (!json.contains("led")) {
        return {-1, "expected {\"led\":N}"};
    }
    for (const auto& entry : json.items()) {
        if (entry.key() != "led" && entry.key() != "blink" && entry.key() != "for_s") {
            return {-1, R"(unknown key (only "led", "blink" and "for_s"))"};
        }
    }
    if (json.contains("blink") && json.contains("for_s")) {
        return {-1, R"(both "blink" and "for_s")"};
    }
    const auto& led = json["led"];
    if (!led.is_number_integer()) {
        return {-1, "\"led\" is not a whole number"};
    }
    const auto value = led.get<long long>();
    if (value < 0 || value > MAX_LED_NUMBER) {
        return {-1, OUT_OF_RANGE};
    }
    LedCommand command{static_cast<int>(value), nullptr};
    if (json.contains("blink")) {
        const auto& blink = json["blink"];
        if (!blink.is_object() || blink.size() != 2 || !blink.contains("on_ms") ||
            !blink.contains("off_ms")) {
            return {-1, R"(expected "blink":{"on_ms":N,"off_ms":N})"};
        }
        long long on = 0;
        long long off = 0;
        const char* refusal = readDuration(blink, ON_MS, on);
        if (refusal == nullptr) {
            refusal = readDuration(blink, OFF_MS, off);
        }
        if (refusal != nullptr) {
            return {-1, refusal};
        }
        command.blink = BlinkRequest{std::chrono::milliseconds(on), std::chrono::milliseconds(off)};
    } else if (json.contains("for_s")) {
        long long seconds = 0;
        if (const char* refusal = readDuration(json, FOR_S, seconds)) {
            return {-1, refusal};
        }
        command.forSeconds = std::chrono::seconds(seconds);
    }
    return command;
}

} // namespace

LedCommand parseLedRequest(std::string_view text) noexcept
{
    if (text.size() > MAX_LED_REQUEST) {
        return {-1, "payload too long"};
    }
    const std::string_view trimmed = trim(text);
    return trimmed.starts_with('{') ? readObject(trimmed) : readNumber(trimmed);
}

} // namespace ledboardd
