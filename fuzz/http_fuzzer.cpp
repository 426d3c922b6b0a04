// libFuzzer target: what an HTTP client sends ledboardd, through the pure checks that read it, and
// what ledboardd sends back. The input is split at its first NUL into a first text and a second,
// so that the token and origin checks get two free texts to compare.
//   - readFraming, on the input's lines read as "name: value" headers: accepted must mean one
//     Host, Content-Length and Transfer-Encoding at most, not both of the last two, no white space
//     in a name, a length of decimal digits that fits 64 bits, and chunked the only encoding.
//   - tokensMatch must agree with plain equality (and never match an empty expected token).
//   - isSameOrigin must hold exactly for "http://" + the Host, ignoring case.
//   - isAllowedHost must never accept a Host whose port is not the server's, nor a name it does
//     not know.
//   - cookieValue's and bearerToken's results are parts of the header: nothing is decoded.
//   - boardJson, with the texts as a board's strings, is one line of JSON that reads back.
//   - parseHttpAddress: accepted means a port of 1 to 65535 and a host with no white space.
// Sanitizers report the rest.
#include "address_text.hpp"
#include "api_json.hpp"
#include "http_rules.hpp"
#include "settings_text.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

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

std::string lower(std::string_view text)
{
    std::string result;
    for (const char c : text) {
        result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

bool equalNames(std::string_view a, std::string_view b)
{
    return lower(a) == lower(b);
}

// The input's lines as headers, split at their first colon.
std::vector<ledboardd::HeaderField> headerFields(std::string_view input)
{
    std::vector<ledboardd::HeaderField> fields;
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end);
        input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            fields.push_back({line.substr(0, colon), line.substr(colon + 1)});
        }
    }
    return fields;
}

void checkFraming(std::string_view input)
{
    const std::vector<ledboardd::HeaderField> fields = headerFields(input);
    const ledboardd::RequestFraming framing = ledboardd::readFraming(fields);
    if (framing.refusal != nullptr) {
        return;
    }
    int hosts = 0;
    int lengths = 0;
    int encodings = 0;
    for (const ledboardd::HeaderField& field : fields) {
        if (field.name.find_first_of(" \t") != std::string_view::npos) {
            fail("readFraming: accepted white space in a header name", input);
        }
        hosts += equalNames(field.name, "Host") ? 1 : 0;
        if (equalNames(field.name, "Transfer-Encoding")) {
            ++encodings;
            if (!equalNames(field.value, "chunked")) {
                fail("readFraming: accepted an encoding other than chunked", input);
            }
        }
        if (equalNames(field.name, "Content-Length")) {
            ++lengths;
            constexpr std::size_t MAX_DIGITS = 20; // 18446744073709551615
            if (field.value.empty() || field.value.size() > MAX_DIGITS ||
                field.value.find_first_not_of("0123456789") != std::string_view::npos ||
                std::to_string(framing.contentLength.value_or(0)) !=
                    field.value.substr(
                        std::min(field.value.find_first_not_of('0'), field.value.size() - 1))) {
                fail("readFraming: accepted a length that is not that number", input);
            }
        }
    }
    if (hosts > 1 || lengths > 1 || encodings > 1 || lengths + encodings > 1 ||
        framing.chunked != (encodings == 1) ||
        framing.contentLength.has_value() != (lengths == 1)) {
        fail("readFraming: accepted headers that frame a body two ways", input);
    }
}

void checkBoard(std::string_view first, std::string_view second)
{
    ledboardd::Board board;
    board.info = {std::string{first}, std::string{second}, std::string{first}, std::string{second},
                  std::string{first}};
    const std::string text = ledboardd::boardJson(board);
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (text.find('\n') != std::string::npos || json.is_discarded() || !json.is_object() ||
        !json["led"].is_null()) {
        fail("boardJson: not one line of JSON", text);
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

    checkFraming(input);
    checkHost(first);
    checkBoard(first, second);

    if (ledboardd::tokensMatch(first, second) != (!second.empty() && first == second)) {
        fail("tokensMatch differs from equality", input);
    }
    const bool sameOrigin = lower(first) == "http://" + lower(second);
    if (ledboardd::isSameOrigin(first, second) != sameOrigin) {
        fail("isSameOrigin differs from its definition", input);
    }
    if (const auto cookie = ledboardd::cookieValue(input, "ledboardd_token");
        cookie && input.find(*cookie) == std::string_view::npos) {
        fail("cookieValue is not part of the header", input);
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
