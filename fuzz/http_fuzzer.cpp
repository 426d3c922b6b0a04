// libFuzzer target: what an HTTP client sends ledboardd, through the checks that read it. The
// input is split at its first NUL into a request part and a second text, so that the token and
// origin checks get two free texts to compare.
//   - parseLedBody: accepted means 0 to 31 and no reason; refused means -1 and a reason. A body
//     that is a plain one- or two-digit number (white space around it) must be accepted with
//     that number; a JSON object it accepts must hold that number under "led" alone.
//   - tokensMatch must agree with plain equality (and never match an empty expected token).
//   - isSameOrigin must hold exactly for "http://" + the Host, ignoring case.
//   - isAllowedHost must never accept a Host whose port is not the server's, nor a name it does
//     not know.
//   - cookieValue's result can only shrink (percent escapes); bearerToken's is a substring.
//   - parseHttpAddress: accepted means a port of 1 to 65535 and a host with no white space.
// Sanitizers report the rest.
#include "http_rules.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr int SERVER_PORT = 8080;
constexpr std::string_view HOST_NAME = "myhost";

[[noreturn]] void fail(const char* what, std::string_view input)
{
    std::fprintf(stderr, "%s\ninput (%zu bytes):", what, input.size());
    for (const char c : input) {
        std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The number a plain body holds, by a reading of its own: digits only between white space, no
// more of them than a set payload may have, and leading zeros aside at most two.
int plainNumber(std::string_view body)
{
    while (!body.empty() && isWhite(body.front())) {
        body.remove_prefix(1);
    }
    while (!body.empty() && isWhite(body.back())) {
        body.remove_suffix(1);
    }
    if (body.empty() || body.size() > ledboardd::MAX_COMMAND_PAYLOAD ||
        !std::all_of(body.begin(), body.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    while (body.size() > 1 && body.front() == '0') {
        body.remove_prefix(1);
    }
    if (body.size() > 2) {
        return -1;
    }
    int value = 0;
    for (const char c : body) {
        value = value * 10 + (c - '0');
    }
    return value <= ledboardd::MAX_LED_COMMAND ? value : -1;
}

std::string lower(std::string_view text)
{
    std::string result;
    for (const char c : text) {
        result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

void checkBody(std::string_view body)
{
    const ledboardd::LedCommand command = ledboardd::parseLedBody(body);
    const bool accepted = command.refusal == nullptr;
    if (accepted != (command.value >= 0) || command.value > ledboardd::MAX_LED_COMMAND ||
        command.value < -1) {
        fail("parseLedBody: value and reason disagree", body);
    }
    const int plain = plainNumber(body);
    if (plain >= 0 && command.value != plain) {
        fail("parseLedBody: a plain number read differently", body);
    }
    if (accepted && plain < 0) {
        const auto json = nlohmann::json::parse(body, nullptr, false);
        if (json.is_discarded() || !json.is_object() || json.size() != 1 || !json.contains("led") ||
            !json["led"].is_number_integer() || json["led"].get<std::int64_t>() != command.value) {
            fail("parseLedBody: accepted what is not {\"led\":N}", body);
        }
    }
}

void checkHost(std::string_view host)
{
    if (!ledboardd::isAllowedHost(host, SERVER_PORT, HOST_NAME)) {
        return;
    }
    const std::string portSuffix = ":" + std::to_string(SERVER_PORT);
    if (!host.ends_with(portSuffix)) {
        fail("isAllowedHost: accepted another port", host);
    }
    std::string name{host.substr(0, host.size() - portSuffix.size())};
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    const std::string named = lower(name);
    const bool literal = named.find_first_not_of("0123456789.") == std::string::npos ||
                         (named.starts_with('[') && named.ends_with(']'));
    if (!literal && named != "localhost" && named != HOST_NAME) {
        fail("isAllowedHost: accepted a name that is not this server's", host);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view first = input.substr(0, split);
    const std::string_view second =
        split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);

    checkBody(input);
    checkHost(first);

    if (ledboardd::tokensMatch(first, second) != (!second.empty() && first == second)) {
        fail("tokensMatch differs from equality", input);
    }
    const bool sameOrigin = lower(first) == "http://" + lower(second);
    if (ledboardd::isSameOrigin(first, second) != sameOrigin) {
        fail("isSameOrigin differs from its definition", input);
    }
    if (const auto cookie = ledboardd::cookieValue(input, "ledboardd_token");
        cookie && cookie->size() > input.size()) {
        fail("cookieValue grew", input);
    }
    if (const auto token = ledboardd::bearerToken(first);
        token && (token->empty() || first.find(*token) == std::string_view::npos)) {
        fail("bearerToken is not part of the header", input);
    }
    if (const ledboardd::HttpAddress address = ledboardd::parseHttpAddress(first); address.ok) {
        if (address.port < 1 || address.port > 65535 || address.host.empty() ||
            address.host.find_first_of(" \t\r\n") != std::string::npos) {
            fail("parseHttpAddress accepted a bad address", input);
        }
    }
    return 0;
}
