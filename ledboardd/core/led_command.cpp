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

LedCommand readObject(std::string_view text) noexcept
{
    // Without exceptions: text that is not JSON gives a discarded value.
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return {-1, "not JSON"};
    }
    if (json.size() != 1 || !json.contains("led")) {
        return {-1, "expected {\"led\":N}"};
    }
    const auto& led = json["led"];
    if (!led.is_number_integer()) {
        return {-1, "\"led\" is not a whole number"};
    }
    const auto value = led.get<long long>();
    if (value < 0 || value > MAX_LED_NUMBER) {
        return {-1, OUT_OF_RANGE};
    }
    return {static_cast<int>(value), nullptr};
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
