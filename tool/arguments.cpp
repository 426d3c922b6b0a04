#include "arguments.hpp"

namespace {

constexpr unsigned DECIMAL_BASE = 10;

// isspace() in the C locale, without its dependence on the current locale.
constexpr bool isCSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

} // namespace

int parseLedNumber(std::string_view text) noexcept
{
    std::size_t at = 0;
    while (at < text.size() && isCSpace(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Unsigned arithmetic wraps instead of overflowing, which keeps the low bits exact.
    unsigned magnitude = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        magnitude = magnitude * DECIMAL_BASE + static_cast<unsigned>(text[at] - '0');
    }
    const unsigned value = negative ? 0U - magnitude : magnitude;
    return static_cast<int>(value); // modulo 2^32, as C++20 defines it
}
