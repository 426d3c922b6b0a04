#include "http_rules.hpp"

#include "address_text.hpp"

#include <limits>

namespace ledboardd {

namespace {

constexpr int HTTP_DEFAULT_PORT = 80;

// A Content-Length: decimal digits only (no sign, no white space), within 64 bits.
std::optional<std::uint64_t> readLength(std::string_view text)
{
    constexpr std::uint64_t MAX_LENGTH = std::numeric_limits<std::uint64_t>::max();
    constexpr std::uint64_t DECIMAL = 10;
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (MAX_LENGTH - digit) / DECIMAL) {
            return std::nullopt;
        }
        value = value * DECIMAL + digit;
    }
    return value;
}

} // namespace

RequestFraming readFraming(std::span<const HeaderField> headers)
{
    RequestFraming framing;
    int hosts = 0;
    int lengths = 0;
    int encodings = 0;
    std::string_view length;
    std::string_view encoding;
    bool spaced = false;
    for (const HeaderField& header : headers) {
        spaced = spaced || header.name.find_first_of(" \t") != std::string_view::npos;
        if (equalsIgnoringCase(header.name, "Host")) {
            ++hosts;
        } else if (equalsIgnoringCase(header.name, "Content-Length")) {
            ++lengths;
            length = header.value;
        } else if (equalsIgnoringCase(header.name, "Transfer-Encoding")) {
            ++encodings;
            encoding = header.value;
        }
    }
    if (spaced) {
        framing.refusal = "white space in a header name";
    } else if (hosts > 1) {
        framing.refusal = "more than one Host header";
    } else if (lengths > 1) {
        framing.refusal = "more than one Content-Length header";
    } else if (encodings > 1) {
        framing.refusal = "more than one Transfer-Encoding header";
    } else if (lengths == 1 && encodings == 1) {
        framing.refusal = "both Content-Length and Transfer-Encoding";
    } else if (encodings == 1 && !equalsIgnoringCase(encoding, "chunked")) {
        framing.refusal = "Transfer-Encoding other than chunked";
    } else if (lengths == 1) {
        framing.contentLength = readLength(length);
        if (!framing.contentLength) {
            framing.refusal = "Content-Length is not a number of bytes";
        }
    } else {
        framing.chunked = encodings == 1;
    }
    return framing;
}

bool isAllowedHost(std::string_view hostHeader, int port, std::string_view hostName)
{
    std::string_view name = hostHeader;
    // After the name: nothing (port 80), or ':' and the port.
    std::string_view rest;
    const bool bracketed = hostHeader.starts_with('[');
    if (bracketed) {
        const std::size_t close = hostHeader.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        name = hostHeader.substr(1, close - 1);
        rest = hostHeader.substr(close + 1);
    } else if (const std::size_t colon = hostHeader.find(':'); colon != std::string_view::npos) {
        name = hostHeader.substr(0, colon);
        rest = hostHeader.substr(colon);
    }
    int given = HTTP_DEFAULT_PORT;
    if (!rest.empty()) {
        given = rest.front() == ':' ? readPort(rest.substr(1)) : -1;
    }
    if (given != port) {
        return false;
    }
    if (bracketed) {
        return isIpv6(name);
    }
    if (name.ends_with('.')) {
        name.remove_suffix(1); // the fully qualified form of the same name
    }
    if (name.empty()) {
        return false;
    }
    return isIpv4(name) || equalsIgnoringCase(name, "localhost") ||
           (!hostName.empty() && equalsIgnoringCase(name, hostName));
}

bool isSameOrigin(std::string_view origin, std::string_view hostHeader)
{
    constexpr std::string_view SCHEME = "http://";
    return origin.size() == SCHEME.size() + hostHeader.size() &&
           equalsIgnoringCase(origin.substr(0, SCHEME.size()), SCHEME) &&
           equalsIgnoringCase(origin.substr(SCHEME.size()), hostHeader);
}

bool tokensMatch(std::string_view given, std::string_view expected) noexcept
{
    // Every byte of `given` is looked at whatever the result; only its length shows.
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (std::size_t i = 0; i < given.size(); ++i) {
        const char wanted = expected.empty() ? '\0' : expected[i % expected.size()];
        difference |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(wanted);
    }
    return difference == 0 && !expected.empty();
}

std::optional<std::string> bearerToken(std::string_view authorization)
{
    constexpr std::string_view SCHEME = "Bearer ";
    if (authorization.size() <= SCHEME.size() ||
        !equalsIgnoringCase(authorization.substr(0, SCHEME.size()), SCHEME)) {
        return std::nullopt;
    }
    std::string_view token = authorization.substr(SCHEME.size());
    while (!token.empty() && token.front() == ' ') {
        token.remove_prefix(1);
    }
    while (!token.empty() && token.back() == ' ') {
        token.remove_suffix(1);
    }
    if (token.empty()) {
        return std::nullopt;
    }
    return std::string{token};
}

std::optional<std::string> cookieValue(std::string_view cookieHeader, std::string_view name)
{
    while (!cookieHeader.empty()) {
        const std::size_t end = cookieHeader.find(';');
        std::string_view pair = cookieHeader.substr(0, end);
        cookieHeader =
            end == std::string_view::npos ? std::string_view{} : cookieHeader.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || pair.substr(0, equals) != name) {
            continue;
        }
        std::string_view value = pair.substr(equals + 1);
        while (!value.empty() && value.back() == ' ') {
            value.remove_suffix(1);
        }
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        return std::string{value};
    }
    return std::nullopt;
}

} // namespace ledboardd
