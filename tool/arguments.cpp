#include "arguments.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr unsigned DECIMAL_BASE = 10;
constexpr unsigned long MS_PER_SECOND = 1000;
constexpr std::size_t MS_DIGITS = 3; // a millisecond is the third digit after the point

// What nearestName() takes for a typo rather than another word.
constexpr std::size_t MAX_NEAR_EDITS = 2;
constexpr std::size_t LETTERS_PER_EDIT = 3;

// isspace() in the C locale, without its dependence on the current locale.
constexpr bool isCSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// tolower() in the C locale, as above.
constexpr char lowerCase(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
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

bool isPlainNumber(std::string_view text) noexcept
{
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    return !text.empty() && std::ranges::all_of(text, isDigit);
}

std::optional<unsigned> parseBounded(std::string_view text, unsigned low, unsigned high) noexcept
{
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (const char c : text) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        value = value * DECIMAL_BASE + static_cast<unsigned>(c - '0');
        if (value > high) {
            return std::nullopt; // also stops any overflow
        }
    }
    if (value < low) {
        return std::nullopt;
    }
    return value;
}

std::optional<BusAddress> parseLocation(std::string_view text) noexcept
{
    const auto separator = text.find_first_of("/:");
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    // Split by hand: substr() may throw, and the tool is built without exceptions.
    const std::string_view busText(text.data(), separator);
    const std::string_view deviceText(text.data() + separator + 1, text.size() - separator - 1);
    const auto bus = parseBounded(busText, 1, MAX_BUS_NUMBER);
    const auto device = parseBounded(deviceText, 1, MAX_DEVICE_NUMBER);
    if (!bus || !device) {
        return std::nullopt;
    }
    return BusAddress{*bus, *device};
}

std::optional<unsigned long> parseSecondsAsMs(std::string_view text, unsigned long maxMs) noexcept
{
    // Split by hand, as above: substr() may throw.
    const std::size_t point = std::min(text.find('.'), text.size());
    const std::string_view whole(text.data(), point);
    const bool hasPoint = point < text.size();
    const std::string_view fraction(text.data() + point + (hasPoint ? 1 : 0),
                                    text.size() - point - (hasPoint ? 1 : 0));
    if (!std::ranges::all_of(whole, isDigit) || (whole.empty() && !hasPoint) ||
        (hasPoint && (fraction.empty() || fraction.size() > MS_DIGITS ||
                      !std::ranges::all_of(fraction, isDigit)))) {
        return std::nullopt;
    }
    unsigned long seconds = 0;
    for (const char c : whole) {
        seconds = seconds * DECIMAL_BASE + static_cast<unsigned long>(c - '0');
        if (seconds > maxMs / MS_PER_SECOND) {
            return std::nullopt; // also stops any overflow
        }
    }
    unsigned long ms = 0;
    unsigned long unit = MS_PER_SECOND;
    for (const char c : fraction) {
        unit /= DECIMAL_BASE;
        ms += unit * static_cast<unsigned long>(c - '0');
    }
    // seconds * MS_PER_SECOND <= maxMs here, so neither side can overflow.
    if (ms > maxMs - seconds * MS_PER_SECOND) {
        return std::nullopt;
    }
    return seconds * MS_PER_SECOND + ms;
}

std::size_t editDistance(std::string_view a, std::string_view b) noexcept
{
    // One row of the table per letter of the longer word, one column per letter of the shorter:
    // the rows fit fixed arrays however long the user's word.
    if (a.size() < b.size()) {
        std::swap(a, b);
    }
    if (b.size() > EDIT_WORD_MAX) {
        return a.size();
    }
    // The distances from a's first i-2, i-1 and i letters to each start of b.
    std::array<std::size_t, EDIT_WORD_MAX + 1> beforeLast{};
    std::array<std::size_t, EDIT_WORD_MAX + 1> last{};
    std::array<std::size_t, EDIT_WORD_MAX + 1> row{};
    for (std::size_t j = 0; j <= b.size(); ++j) {
        last[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        const char letter = lowerCase(a[i - 1]);
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t substitution = lowerCase(b[j - 1]) == letter ? 0 : 1;
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + substitution});
            if (i > 1 && j > 1 && letter == lowerCase(b[j - 2]) &&
                lowerCase(a[i - 2]) == lowerCase(b[j - 1])) {
                row[j] = std::min(row[j], beforeLast[j - 2] + 1);
            }
        }
        beforeLast = last;
        last = row;
    }
    return last[b.size()];
}

std::size_t nearestName(std::string_view word, std::span<const std::string_view> names) noexcept
{
    std::size_t nearest = names.size();
    std::size_t fewest = MAX_NEAR_EDITS + 1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t distance = editDistance(word, names[i]);
        if (distance < fewest &&
            distance * LETTERS_PER_EDIT <= std::max(word.size(), names[i].size())) {
            nearest = i;
            fewest = distance;
        }
    }
    return nearest;
}
