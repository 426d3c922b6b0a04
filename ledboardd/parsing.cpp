#include "parsing.hpp"

#include <algorithm>

namespace ledboardd {

namespace {

constexpr int DECIMAL_BASE = 10;
constexpr int MAX_PORT = 65535;
constexpr std::size_t MAX_PREFIX_LENGTH = 256;
constexpr std::size_t MAX_PORT_DIGITS = 5;
// Enough for a DNS name (RFC 1035: 253 characters) or an IPv6 address with a zone.
constexpr std::size_t MAX_HOST_LENGTH = 253;

constexpr bool isSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

constexpr bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

constexpr bool isControl(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

std::string_view trim(std::string_view text) noexcept
{
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal number of 1 to `digits` digits, or -1.
int readDecimal(std::string_view text, std::size_t digits) noexcept
{
    if (text.empty() || text.size() > digits) {
        return -1;
    }
    int value = 0;
    for (const char c : text) {
        if (!isDigit(c)) {
            return -1;
        }
        value = value * DECIMAL_BASE + (c - '0');
    }
    return value;
}

} // namespace

LedCommand parseLedCommand(std::string_view payload) noexcept
{
    constexpr std::size_t MAX_DIGITS = 2;
    if (payload.size() > MAX_COMMAND_PAYLOAD) {
        return {-1, "payload too long"};
    }
    std::string_view number = trim(payload);
    if (number.empty()) {
        return {-1, "empty payload"};
    }
    for (const char c : number) {
        if (!isDigit(c)) {
            return {-1, "not a decimal number"};
        }
    }
    // Leading zeros do not change a decimal number ("007" is 7); the last digit stays.
    number.remove_prefix(std::min(number.find_first_not_of('0'), number.size() - 1));
    const int value = readDecimal(number, MAX_DIGITS);
    if (value < 0 || value > MAX_LED_COMMAND) {
        return {-1, "out of range (0 to 31)"};
    }
    return {value, nullptr};
}

std::string topicLevel(std::string_view text)
{
    std::string level;
    for (const char c : text.substr(0, MAX_TOPIC_LEVEL)) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unsafe = c == '+' || c == '#' || c == '/' || isControl(c) || byte >= 0x80;
        level += unsafe ? '_' : c;
    }
    return level.empty() ? std::string{"_"} : level;
}

bool isValidPrefix(std::string_view prefix) noexcept
{
    if (prefix.empty() || prefix.size() > MAX_PREFIX_LENGTH) {
        return false;
    }
    char previous = '/'; // an empty first level counts as empty
    for (const char c : prefix) {
        // Bytes outside ASCII are refused as well: a topic must be well-formed UTF-8, and a
        // broker drops the connection of a client that sends one that is not.
        const bool ascii = static_cast<unsigned char>(c) < 0x80;
        if (c == '+' || c == '#' || isControl(c) || !ascii || (c == '/' && previous == '/')) {
            return false;
        }
        previous = c;
    }
    return previous != '/';
}

BrokerAddress parseBroker(std::string_view text, int defaultPort)
{
    BrokerAddress bad{{}, 0, false};
    std::string_view host = text;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return bad;
        }
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return bad;
            }
            port = rest.substr(1);
            if (port.empty()) {
                return bad;
            }
        }
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) {
                return bad;
            }
        }
    }
    if (host.empty() || host.size() > MAX_HOST_LENGTH) {
        return bad;
    }
    for (const char c : host) {
        if (isControl(c) || isSpace(c) || c == '[' || c == ']' || c == '/') {
            return bad;
        }
    }
    int number = defaultPort;
    if (!port.empty()) {
        number = readDecimal(port, MAX_PORT_DIGITS);
        if (number < 1 || number > MAX_PORT) {
            return bad;
        }
    }
    return {std::string{host}, number, true};
}

} // namespace ledboardd
