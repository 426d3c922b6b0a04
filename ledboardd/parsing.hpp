// The daemon's pure parsing: what arrives from the network and from its configuration. No I/O and
// no exceptions here, so the fuzzer (fuzz/) compiles it on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

// The LED numbers a `set` command may carry: five bits, as the board's LED request takes them.
inline constexpr int MAX_LED_COMMAND = 31;

// A command payload longer than this is refused unread: the longest valid one is two digits in
// some white space, and nothing from the network is copied without a bound.
inline constexpr std::size_t MAX_COMMAND_PAYLOAD = 64;

// The result of reading a `set` payload: the LED number, or why it was refused (a short English
// phrase for the log and the error topic; `value` is then -1).
struct LedCommand {
    int value;
    const char* refusal; // null when accepted
};

// The LED number 0 to 31 in decimal, one or two digits, with white space (space, tab, CR, LF)
// around it and nothing else: no sign, no leading "0x", no second number, no NUL.
LedCommand parseLedCommand(std::string_view payload) noexcept;

// The topic level under the prefix that holds the bridge's own topics (PREFIX/bridge/HOSTNAME/...):
// no board may have it as its id.
inline constexpr const char* BRIDGE_TOPIC_LEVEL = "bridge";

// `text` made safe as one MQTT topic level: '+', '#', '/', control characters, DEL and bytes
// outside ASCII become '_'; an empty text becomes "_". The result is never longer than
// MAX_TOPIC_LEVEL bytes.
inline constexpr std::size_t MAX_TOPIC_LEVEL = 128;
std::string topicLevel(std::string_view text);

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

// A broker address as given to --broker: HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; the port 1 to
// 65535, defaulting to `defaultPort`. `ok` is false for anything else.
struct BrokerAddress {
    std::string host;
    int port;
    bool ok;
};
BrokerAddress parseBroker(std::string_view text, int defaultPort);

// The configuration file: one `key = value` a line. White space around keys and values is
// dropped, blank lines and lines starting with '#' or ';' are comments, and so is a '#' after
// white space in a value; a value in double or single quotes is taken as it is between them.
// `entries` are in file order, each key once; on the first line that is not well formed,
// `errorLine` (from 1) and `error` (a phrase) say what is wrong and `entries` stops before it.
struct ConfigEntry {
    std::string key;
    std::string value;
    int line;
};
struct ConfigText {
    std::vector<ConfigEntry> entries;
    int errorLine = 0;
    std::string error;
};
ConfigText parseConfigText(std::string_view text);

// What a certificate or key option's file must hold for the TLS library to load it: a PEM block
// of that kind (a certificate, or a private key of any algorithm), from its BEGIN line to its END
// line. The library reads PEM only, so a file without one can never work.
enum class PemKind { Certificate, PrivateKey };
bool holdsPemBlock(std::string_view text, PemKind kind);

} // namespace ledboardd
