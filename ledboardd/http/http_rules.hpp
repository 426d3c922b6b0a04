// The HTTP front end's pure parts: the JSON it sends, the bodies it accepts, and the checks on
// Host, Origin and the token. No I/O, so the unit tests and the fuzzer call them directly.
#pragma once

#include "parsing.hpp"
#include "registry.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

// {"id":…,"available":…,"led":…,"push":…,"jump":…,"serial":…,"path":…,"manufacturer":…,
//  "product":…,"pending":N|null}
std::string boardJson(const BoardView& board);
// {"boards":[BOARD,…]}
std::string boardsJson(const std::vector<BoardView>& boards);
// {"id":…,"pressed":true|false}
std::string buttonJson(const std::string& id, bool pressed);
// {"error":"text"}
std::string errorJson(std::string_view text);

// The body of PUT …/led: the LED number alone (`5`, white space around it allowed) or the object
// {"led":5} with that one key. Anything else is refused with a reason.
LedCommand parseLedBody(std::string_view body);

// One header of a request, as it came.
struct HeaderField {
    std::string_view name;
    std::string_view value;
};

// What a request's headers say about its body, read before any of the body is.
struct RequestFraming {
    // Set when the request is refused (400) as it stands, with the reason.
    const char* refusal = nullptr;
    std::optional<std::uint64_t> contentLength;
    bool chunked = false;

    // Whether bytes of a body follow the headers.
    bool hasBody() const { return chunked || contentLength.value_or(0) > 0; }
};

// Refuses more than one Host, Content-Length or Transfer-Encoding (a proxy in front of this
// server could act on another copy than the one checked here), a Content-Length that is not a
// plain decimal number, a Transfer-Encoding other than chunked, and a request with both.
// Header names are compared ignoring case.
RequestFraming readFraming(std::span<const HeaderField> headers);

// Where --http listens: ADDR:PORT, [IPV6]:PORT, or a bare PORT meaning 127.0.0.1:PORT.
struct HttpAddress {
    std::string host;
    int port;
    bool ok;
};
inline constexpr const char* DEFAULT_HTTP_HOST = "127.0.0.1";
HttpAddress parseHttpAddress(std::string_view text);

// True for "localhost", 127.0.0.0/8 and ::1: addresses other hosts cannot reach.
bool isLoopbackHost(std::string_view host);

// Whether a request's Host header names this server, against DNS rebinding: an IP literal,
// "localhost" or `hostName`, followed by `port` (which may be left out only for port 80).
bool isAllowedHost(std::string_view hostHeader, int port, std::string_view hostName);

// Whether a write's Origin is the page's own: "http://" followed by the (already checked) Host.
bool isSameOrigin(std::string_view origin, std::string_view hostHeader);

// Compares a token given by a client with the expected one in time that does not depend on where
// they differ, so that a client cannot find the token a byte at a time.
bool tokensMatch(std::string_view given, std::string_view expected) noexcept;

// The token of an "Authorization: Bearer TOKEN" header.
std::optional<std::string> bearerToken(std::string_view authorization);

// The value of cookie `name` in a Cookie header, percent-decoded (the page encodes it).
std::optional<std::string> cookieValue(std::string_view cookieHeader, std::string_view name);

} // namespace ledboardd
