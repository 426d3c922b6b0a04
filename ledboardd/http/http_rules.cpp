#include "http_rules.hpp"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

namespace ledboardd {

namespace {

constexpr int HTTP_DEFAULT_PORT = 80;
constexpr std::size_t MAX_PORT_DIGITS = 5;
constexpr int MAX_PORT = 65535;
constexpr int HEX_BASE = 16;

nlohmann::ordered_json boardObject(const BoardView& board)
{
    // ordered_json: the keys in the order the API documents them.
    nlohmann::ordered_json object;
    object["id"] = board.info.id;
    object["available"] = board.available;
    object["led"] = board.status.led;
    object["push"] = board.status.push;
    object["jump"] = board.status.jump;
    // A string the board does not have is null, as in `ledboard --json --list`.
    const auto optional = [](const std::string& text) {
        return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
    };
    object["serial"] = optional(board.info.serial);
    object["path"] = optional(board.info.path);
    object["manufacturer"] = optional(board.info.manufacturer);
    object["product"] = optional(board.info.product);
    object["pending"] = board.pending ? nlohmann::ordered_json(*board.pending) : nullptr;
    return object;
}

// Strings from a board's descriptors are not guaranteed to be UTF-8; replace what is not.
std::string dump(const nlohmann::ordered_json& json)
{
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

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

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

} // namespace

std::string boardJson(const BoardView& board)
{
    return dump(boardObject(board));
}

std::string boardsJson(const std::vector<BoardView>& boards)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const BoardView& board : boards) {
        list.push_back(boardObject(board));
    }
    nlohmann::ordered_json object;
    object["boards"] = std::move(list);
    return dump(object);
}

std::string buttonJson(const std::string& id, bool pressed)
{
    nlohmann::ordered_json object;
    object["id"] = id;
    object["pressed"] = pressed;
    return dump(object);
}

std::string errorJson(std::string_view text)
{
    nlohmann::ordered_json object;
    object["error"] = text;
    return dump(object);
}

LedCommand parseLedBody(std::string_view body)
{
    const std::size_t start = body.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos || body[start] != '{') {
        // The white space a client may send around the number (up to the body's limit) is not
        // held against the command's own shorter limit.
        const std::size_t end = body.find_last_not_of(" \t\r\n");
        return parseLedCommand(start == std::string_view::npos
                                   ? std::string_view{}
                                   : body.substr(start, end - start + 1));
    }
    // No exceptions: a body that is not JSON gives a discarded value.
    const auto json = nlohmann::json::parse(body, nullptr, false);
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
    if (value < 0 || value > MAX_LED_COMMAND) {
        return {-1, "out of range (0 to 31)"};
    }
    return {static_cast<int>(value), nullptr};
}

RequestFraming readFraming(std::span<const HeaderField> headers)
{
    RequestFraming framing;
    int hosts = 0;
    int lengths = 0;
    int encodings = 0;
    std::string_view length;
    std::string_view encoding;
    for (const HeaderField& header : headers) {
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
    if (hosts > 1) {
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
        std::string_view encoded = pair.substr(equals + 1);
        while (!encoded.empty() && encoded.back() == ' ') {
            encoded.remove_suffix(1);
        }
        if (encoded.size() >= 2 && encoded.front() == '"' && encoded.back() == '"') {
            encoded = encoded.substr(1, encoded.size() - 2);
        }
        std::string value;
        for (std::size_t i = 0; i < encoded.size(); ++i) {
            if (encoded[i] == '%' && i + 2 < encoded.size() && hexDigit(encoded[i + 1]) >= 0 &&
                hexDigit(encoded[i + 2]) >= 0) {
                value += static_cast<char>(hexDigit(encoded[i + 1]) * HEX_BASE +
                                           hexDigit(encoded[i + 2]));
                i += 2;
            } else {
                value += encoded[i];
            }
        }
        return value;
    }
    return std::nullopt;
}

} // namespace ledboardd
