// JSON Lines output (one JSON object a line, RFC 8259 text) for scripts that read the tool's
// results. Built in a fixed buffer: a line that did not fit is refused by the caller, never
// printed cut.
#pragma once

#include "ledboard_device.hpp"
#include "text.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

// The most one input byte can become in a JSON string: a control character is "\u001f", a byte
// that is not UTF-8 "\ufffd". Everything else takes one or two bytes.
inline constexpr std::size_t JSON_ESCAPED_BYTE_LENGTH = 6;
// The longest string a line is sized for: a board's string, as libusb 0.1 reads it into a buffer
// of STRING_BUFFER_LENGTH. Longer text (a --serial argument) may not fit; the line then overflows.
inline constexpr std::size_t JSON_STRING_MAX_BYTES = STRING_BUFFER_LENGTH - 1;
// Room on a line for everything but three such strings: keys, quotes, numbers, true, false, null.
inline constexpr std::size_t JSON_LINE_OTHER_FIELDS = 512;
// Three strings of JSON_STRING_MAX_BYTES (manufacturer, product and serial number) at their worst
// expansion, each with its two quotes, and the rest of the line: 3 * (2 + 6 * 255) + 512 = 5108.
inline constexpr std::size_t JSON_LINE_LENGTH =
    3 * (2 + JSON_ESCAPED_BYTE_LENGTH * JSON_STRING_MAX_BYTES) + JSON_LINE_OTHER_FIELDS;

using JsonLine = FixedTextBuffer<JSON_LINE_LENGTH>;

// Appends `bytes` as a JSON string, in quotes, that is valid whatever the bytes: '"' and '\'
// escaped; the control characters U+0000..U+001F as \b, \f, \n, \r, \t or \u00XX, DEL as \u007f;
// well-formed UTF-8 (Unicode 15.0, table 3-7) as it is; and each byte that is not part of a
// well-formed sequence (a stray continuation byte, an overlong form, a surrogate, a code point
// above U+10FFFF, a cut-off sequence) as \ufffd, one for each such byte.
void appendJsonString(TextBuffer& out, std::string_view bytes) noexcept;

// One JSON object written field by field, keys in call order, no white space:
//
//     JsonLine line;
//     JsonObject object(line);
//     object.number("bus", 1);
//     object.string("serial", serial);
//     object.end(); // line.text() is now {"bus":1,"serial":"A17"} and a newline
//     if (line.overflowed()) { /* refuse it */ }
//
// Keys are written as JSON strings too, so any key gives valid JSON.
class JsonObject {
public:
    // Starts the object: '{'.
    explicit JsonObject(TextBuffer& out) noexcept;

    template <std::integral Number>
    requires(!std::same_as<Number, bool>) JsonObject& number(const char* key, Number value) noexcept
    {
        if constexpr (std::is_signed_v<Number>) {
            return signedNumber(key, value);
        } else {
            return unsignedNumber(key, value);
        }
    }
    // A NUL-terminated string of any bytes, as appendJsonString writes it; null for a null pointer.
    JsonObject& string(const char* key, const char* bytes) noexcept;
    JsonObject& boolean(const char* key, bool value) noexcept;
    JsonObject& null(const char* key) noexcept;
    // Ends the object and the line: '}' and '\n'.
    void end() noexcept;

private:
    JsonObject& signedNumber(const char* key, std::intmax_t value) noexcept;
    JsonObject& unsignedNumber(const char* key, std::uintmax_t value) noexcept;
    void writeKey(const char* name) noexcept;

    TextBuffer& out_;
    bool first_ = true;
};
