#include "address_text.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace ledboardd {

namespace {

constexpr int DECIMAL_BASE = 10;
constexpr int MAX_PORT = 65535;
constexpr std::size_t MAX_PORT_DIGITS = 5;
// Enough for a DNS name (RFC 1035: 253 characters) or an IPv6 address with a zone.
constexpr std::size_t MAX_HOST_LENGTH = 253;

constexpr bool isForbiddenInHost(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || c == ' ' || c == '[' || c == ']' || c == '/';
}

} // namespace

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
        if (isForbiddenInHost(c)) {
            return bad;
        }
    }
    int number = defaultPort;
    if (!port.empty()) {
        number = readPort(port);
        if (number < 0) {
            return bad;
        }
    }
    return {std::string{host}, number, true};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

bool isIpv4(std::string_view text)
{
    std::array<unsigned char, sizeof(in_addr)> address{};
    return inet_pton(AF_INET, std::string{text}.c_str(), address.data()) == 1;
}

bool isIpv6(std::string_view text)
{
    std::array<unsigned char, sizeof(in6_addr)> address{};
    return inet_pton(AF_INET6, std::string{text}.c_str(), address.data()) == 1;
}

int readPort(std::string_view text)
{
    if (text.empty() || text.size() > MAX_PORT_DIGITS ||
        !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    int value = 0;
    for (const char c : text) {
        value = value * DECIMAL_BASE + (c - '0');
    }
    return value >= 1 && value <= MAX_PORT ? value : -1;
}

HttpAddress parseHttpAddress(std::string_view text)
{
    HttpAddress bad{{}, 0, false};
    if (const int port = readPort(text); port > 0) {
        return {DEFAULT_HTTP_HOST, port, true};
    }
    // Unlike the broker's address, the port is required: there is no usual one to assume.
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || readPort(text.substr(colon + 1)) < 0) {
        return bad;
    }
    const BrokerAddress address = parseBroker(text, 0);
    if (!address.ok) {
        return bad;
    }
    // A bare IPv6 address ("::1:8080") is ambiguous; it must come in brackets.
    if (!text.starts_with('[') && address.host.find(':') != std::string::npos) {
        return bad;
    }
    if (text.starts_with('[') && !isIpv6(address.host)) {
        return bad;
    }
    return {address.host, address.port, true};
}

bool isLoopbackHost(std::string_view host)
{
    if (equalsIgnoringCase(host, "localhost")) {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, std::string{host}.c_str(), &v4) == 1) {
        constexpr unsigned LOOPBACK_NET = 127;
        constexpr unsigned NET_SHIFT = 24;
        return (ntohl(v4.s_addr) >> NET_SHIFT) == LOOPBACK_NET;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, std::string{host}.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

} // namespace ledboardd
