// The daemon's pure parsing: what arrives from the network and from its configuration. No I/O and
// no exceptions here, so the fuzzer (fuzz/) compiles it on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// True for a topic prefix the daemon can publish under and subscribe below: not empty, no
// wildcard, no empty level, printable ASCII, and short enough.
bool isValidPrefix(std::string_view prefix) noexcept;

// A broker address as given to --broker: HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; the port 1 to
// 65535, defaulting to `defaultPort`. `ok` is false for anything else.
struct BrokerAddress {
    std::string host;
    int port;
    bool ok;
};
BrokerAddress parseBroker(std::string_view text, int defaultPort);

} // namespace ledboardd
