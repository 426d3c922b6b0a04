// The pure readers behind the daemon's settings: addresses, topic prefixes, MQTT strings, the
// configuration file's lines and PEM files. No I/O and no exceptions, so that the unit tests and
// the fuzzer (fuzz/) take them on their own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

// Why `prefix` cannot be a topic prefix the daemon publishes under and subscribes below, as a
// phrase that follows the option's name ("--prefix: has an empty level ..."); null when it can:
// not empty, no wildcard, no empty level, printable ASCII, and at most MAX_PREFIX_LENGTH bytes.
inline constexpr std::size_t MAX_PREFIX_LENGTH = 256;
const char* prefixRefusal(std::string_view prefix) noexcept;
bool isValidPrefix(std::string_view prefix) noexcept;

// MQTT sends the client id and the user name as strings with a two-byte length, and the library
// and brokers refuse malformed UTF-8, control characters (U+0000 to U+001F, U+007F to U+009F) and
// Unicode non-characters in them. Why `text` cannot be such a string, as a phrase like the one
// above, or null when it can.
inline constexpr std::size_t MAX_MQTT_STRING = 65535;
const char* mqttStringRefusal(std::string_view text) noexcept;

// The configuration file: one `key = value` a line. White space around keys and values is
// dropped, blank lines and lines starting with '#' or ';' are comments, and so is a '#' after
// white space in a value; a value in double or single quotes is taken as it is between them. A
// line `[NAME]` starts a section (its lines belong to it until the next one; `section` counts the
// sections from 1, 0 before the first); a section name is a word of letters. `entries` are in file
// order, each key once in its section; on the first line that is not well formed, `errorLine`
// (from 1) and `error` (a phrase) say what is wrong and `entries` stops before it.
struct ConfigEntry {
    std::string key;
    std::string value;
    int line;
    int section = 0;
};
struct ConfigSection {
    std::string name;
    int line;
};
struct ConfigText {
    std::vector<ConfigEntry> entries;
    std::vector<ConfigSection> sections; // section N is sections[N - 1]
    int errorLine = 0;
    std::string error;
};
ConfigText parseConfigText(std::string_view text);

// Whether `text` reads as a USB port path (BUS-PORT[.PORT]..., decimal), as sysfs names them.
bool isPortPathText(std::string_view text) noexcept;

// Why `name` cannot name a board (shown on the page, in Home Assistant and the JSON), as a phrase
// like the ones above, or null: 1 to 64 bytes of UTF-8 without control characters.
inline constexpr std::size_t MAX_BOARD_NAME = 64;
const char* boardNameRefusal(std::string_view name) noexcept;

// What a certificate or key option's file must hold for the TLS library to load it: a PEM block
// of that kind (a certificate, or a private key of any algorithm), from its BEGIN line to its END
// line. The library reads PEM only, so a file without one can never work.
enum class PemKind { Certificate, PrivateKey };
bool holdsPemBlock(std::string_view text, PemKind kind);

} // namespace ledboardd
