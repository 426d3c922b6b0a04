// The HTTP front end's pure checks on what a client sends: the headers that frame a body, Host,
// Origin and the token. No I/O, so the unit tests and the fuzzer call them directly.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ledboardd {

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
// plain decimal number, a Transfer-Encoding other than chunked, a request with both, and a header
// name with white space in it: HTTP allows none before the colon, and a proxy may read
// "Content-Length : 5" as the length where this server sees another header. Header names are
// compared ignoring case.
RequestFraming readFraming(std::span<const HeaderField> headers);

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

// The value of cookie `name` in a Cookie header, as it stands: header values are never
// percent-decoded, so a token reads the same in a cookie as in Authorization (the page stores it
// unencoded, and takes only tokens a cookie can hold as they are).
std::optional<std::string> cookieValue(std::string_view cookieHeader, std::string_view name);

} // namespace ledboardd
