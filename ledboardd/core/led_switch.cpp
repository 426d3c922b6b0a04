#include "led_switch.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace ledboardd {

namespace {

constexpr std::string_view WHITE_SPACE = " \t\r\n";
// A switch is a short word: anything longer is refused unread.
constexpr std::size_t MAX_SWITCH = 64;

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept
{
    return std::ranges::equal(a, b, [](char x, char y) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        };
        return lower(x) == lower(y);
    });
}

} // namespace

LedSwitch parseLedSwitch(std::string_view text) noexcept
{
    if (text.size() > MAX_SWITCH) {
        return {LedSwitch::Kind::Refused, "payload too long"};
    }
    const std::size_t first = text.find_first_not_of(WHITE_SPACE);
    if (first == std::string_view::npos) {
        return {LedSwitch::Kind::Refused, "empty payload"};
    }
    text = text.substr(first, text.find_last_not_of(WHITE_SPACE) - first + 1);
    // A JSON string is its word.
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    static constexpr std::array<std::pair<std::string_view, LedSwitch::Kind>, 8> WORDS{{
        {"on", LedSwitch::Kind::On},
        {"true", LedSwitch::Kind::On},
        {"off", LedSwitch::Kind::Off},
        {"false", LedSwitch::Kind::Off},
        {"blink", LedSwitch::Kind::Blink},
        {"none", LedSwitch::Kind::NoEffect},
        {"1", LedSwitch::Kind::On},
        {"0", LedSwitch::Kind::Off},
    }};
    for (const auto& [word, kind] : WORDS) {
        if (equalsIgnoringCase(text, word)) {
            return {kind, nullptr};
        }
    }
    return {LedSwitch::Kind::Refused, "not ON, OFF, true, false, blink or none"};
}

int parseLedIndex(std::string_view text) noexcept
{
    return text.size() == 1 && text[0] >= '1' && text[0] < '1' + LED_COUNT ? text[0] - '0' : 0;
}

} // namespace ledboardd
