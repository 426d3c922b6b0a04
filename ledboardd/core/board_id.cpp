#include "board_id.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace ledboardd {

namespace {

constexpr char ESCAPE = '~';
constexpr std::string_view HEX_DIGITS = "0123456789ABCDEF";
constexpr unsigned NIBBLE_BITS = 4;
constexpr unsigned NIBBLE_MASK = 0x0f;
// An id holds at most this much of a serial number or a host name (a string descriptor holds at
// most 126 characters); escaped, it is at most three times as long.
constexpr std::size_t MAX_TEXT = 128;

constexpr bool isKept(char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

constexpr bool isHexDigit(char c) noexcept
{
    return HEX_DIGITS.find(c) != std::string_view::npos;
}

void appendEscaped(std::string& out, char c)
{
    const auto byte = static_cast<unsigned char>(c);
    out += ESCAPE;
    out += HEX_DIGITS[byte >> NIBBLE_BITS];
    out += HEX_DIGITS[byte & NIBBLE_MASK];
}

} // namespace

std::string escapeIdText(std::string_view text)
{
    text = text.substr(0, MAX_TEXT);
    const bool dotsOnly = std::ranges::all_of(text, [](char c) { return c == '.'; });
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (isKept(c) && !(dotsOnly && c == '.')) {
            out += c;
        } else {
            appendEscaped(out, c);
        }
    }
    return out;
}

std::string boardIdOf(std::string_view serial, std::string_view portPath, std::string_view hostName,
                      unsigned bus, unsigned device)
{
    std::string id;
    if (!serial.empty()) {
        id = escapeIdText(serial);
    } else {
        std::string place{portPath};
        if (place.empty()) {
            std::array<char, 32> numbers{};
            std::snprintf(numbers.data(), numbers.size(), "bus%u-dev%u", bus, device);
            place = numbers.data();
        }
        id = escapeIdText(std::string{hostName.substr(0, MAX_TEXT)} + "-" + place);
    }
    if (id == BRIDGE_ID) {
        id.erase(0, 1);
        std::string escaped;
        appendEscaped(escaped, BRIDGE_ID.front());
        id.insert(0, escaped);
    }
    return id;
}

std::string secondBoardId(std::string_view firstId, std::string_view portPath)
{
    return std::string{firstId} + "-" + escapeIdText(portPath.empty() ? "unknown" : portPath);
}

bool isBoardId(std::string_view text) noexcept
{
    if (text.empty() || text.size() > MAX_TEXT * 3 + 1 + MAX_TEXT * 3) {
        return false;
    }
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == ESCAPE) {
            if (at + 2 >= text.size() + 0 || !isHexDigit(text[at + 1]) ||
                !isHexDigit(text[at + 2])) {
                return false;
            }
            at += 2;
        } else if (!isKept(text[at])) {
            return false;
        }
    }
    return text != "." && text != "..";
}

} // namespace ledboardd
