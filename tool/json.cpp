#include "json.hpp"

#include <cstring>

namespace {

constexpr unsigned char FIRST_NON_CONTROL = 0x20;
constexpr unsigned char DEL = 0x7f;
constexpr unsigned char FIRST_NON_ASCII = 0x80;
constexpr unsigned char CONTINUATION_LOW = 0x80;
constexpr unsigned char CONTINUATION_HIGH = 0xbf;
constexpr unsigned NIBBLE_BITS = 4;
constexpr unsigned NIBBLE_MASK = 0xf;

constexpr std::string_view REPLACEMENT = "\\ufffd"; // U+FFFD REPLACEMENT CHARACTER

// The length of the well-formed UTF-8 sequence that `bytes` starts with, or 0 when it starts with
// none. Unicode 15.0, table 3-7: the lead byte fixes the length and the range of the second byte,
// which excludes the overlong forms (after E0 and F0), the surrogates (after ED) and the code
// points above U+10FFFF (after F4); C0, C1 and F5..FF never lead.
std::size_t wellFormedLength(std::string_view bytes) noexcept
{
    const auto byte = [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char secondLow = CONTINUATION_LOW;
    unsigned char secondHigh = CONTINUATION_HIGH;
    if (lead < FIRST_NON_ASCII) {
        return 1;
    }
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead == 0xe0) {
        length = 3;
        secondLow = 0xa0;
    } else if (lead == 0xed) {
        length = 3;
        secondHigh = 0x9f;
    } else if (lead >= 0xe1 && lead <= 0xef) {
        length = 3;
    } else if (lead == 0xf0) {
        length = 4;
        secondLow = 0x90;
    } else if (lead == 0xf4) {
        length = 4;
        secondHigh = 0x8f;
    } else if (lead >= 0xf1 && lead <= 0xf3) {
        length = 4;
    } else {
        return 0;
    }
    if (bytes.size() < length || byte(1) < secondLow || byte(1) > secondHigh) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < CONTINUATION_LOW || byte(i) > CONTINUATION_HIGH) {
            return 0;
        }
    }
    return length;
}

// The short escape JSON has for a byte, or 0.
char shortEscape(unsigned char c) noexcept
{
    switch (c) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

} // namespace

void appendJsonString(TextBuffer& out, std::string_view bytes) noexcept
{
    static constexpr std::string_view HEX_DIGITS = "0123456789abcdef";
    out.append('"');
    while (!bytes.empty()) {
        const auto c = static_cast<unsigned char>(bytes.front());
        std::size_t taken = 1;
        if (const char escape = shortEscape(c); escape != 0) {
            out.append('\\');
            out.append(escape);
        } else if (c < FIRST_NON_CONTROL || c == DEL) {
            out.append("\\u00");
            out.append(HEX_DIGITS[static_cast<unsigned>(c) >> NIBBLE_BITS]);
            out.append(HEX_DIGITS[static_cast<unsigned>(c) & NIBBLE_MASK]);
        } else if (taken = wellFormedLength(bytes); taken != 0) {
            out.append(std::string_view(bytes.data(), taken)); // substr() could throw
        } else {
            out.append(REPLACEMENT);
            taken = 1;
        }
        bytes.remove_prefix(taken);
    }
    out.append('"');
}

JsonObject::JsonObject(TextBuffer& out) noexcept : out_(out)
{
    out_.append('{');
}

void JsonObject::writeKey(const char* name) noexcept
{
    if (!first_) {
        out_.append(',');
    }
    first_ = false;
    appendJsonString(out_, name);
    out_.append(':');
}

JsonObject& JsonObject::signedNumber(const char* key, std::intmax_t value) noexcept
{
    writeKey(key);
    out_.appendf("%jd", value);
    return *this;
}

JsonObject& JsonObject::unsignedNumber(const char* key, std::uintmax_t value) noexcept
{
    writeKey(key);
    out_.appendf("%ju", value);
    return *this;
}

JsonObject& JsonObject::string(const char* key, const char* bytes) noexcept
{
    if (bytes == nullptr) {
        return null(key);
    }
    writeKey(key);
    appendJsonString(out_, std::string_view(bytes, std::strlen(bytes)));
    return *this;
}

JsonObject& JsonObject::boolean(const char* key, bool value) noexcept
{
    writeKey(key);
    out_.append(value ? "true" : "false");
    return *this;
}

JsonObject& JsonObject::null(const char* key) noexcept
{
    writeKey(key);
    out_.append("null");
    return *this;
}

void JsonObject::end() noexcept
{
    out_.append("}\n");
}
