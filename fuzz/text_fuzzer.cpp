// libFuzzer target: any bytes through the JSON string writer, and the input up to its first NUL,
// as a command-line argument would be, through isPortPath and parseSecondsAsMs. The whole input,
// as an MQTT payload or a configuration value would be, through ledboardd's parsing: the `set`
// payload against a plain reading of its grammar, topic levels, prefixes and broker addresses
// against the properties their users rely on. The whole input also as a board id and board strings
// through the Home Assistant discovery config and migration (valid JSON, no wildcard or other
// board's topic, the id escaped reversibly, a device config topic read back as its board's node),
// as a serial number made a board id (reversible, never the bridge's) and as the daemon's state
// file (read back as written).
//
// The writer's output is read back by a strict JSON string decoder written here, which shares no
// code with the writer: it must accept the output (quotes and escapes well-formed, no raw control
// character or DEL, raw bytes well-formed UTF-8), and the decoded text must be the input with each
// byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD; so input that is
// well-formed UTF-8 comes back exactly. The output must fit the writer's worst case of six bytes a
// byte, which the JSON line's size relies on. isPortPath and parseSecondsAsMs are checked against
// plain reference readings of their grammars. Sanitizers report the rest.
#include "address_text.hpp"
#include "arguments.hpp"
#include "board_id.hpp"
#include "discovery.hpp"
#include "json.hpp"
#include "led_command.hpp"
#include "mqtt_topics.hpp"
#include "settings_text.hpp"
#include "state_text.hpp"
#include "sysfs.hpp"
#include "text.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Longer inputs are cut to this, which bounds the output buffer.
constexpr std::size_t LONGEST_INPUT = 4096;

// Holds any 20-digit decimal number times 1000.
__extension__ typedef unsigned __int128 Wide; // NOLINT(modernize-use-using): __extension__ needs it

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view output = {})
{
    std::fprintf(stderr, "%s\ninput (%zu bytes):", what, input.size());
    for (const char c : input) {
        std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\noutput: %.*s\n", static_cast<int>(output.size()), output.data());
    std::abort();
}

// The code point of the UTF-8 sequence at text[at] and its length, worked out from the bit
// patterns (RFC 3629): the length from the lead byte, then the shortest form, no surrogate, and
// nothing above U+10FFFF. Length 0 when no well-formed sequence starts there.
struct CodePoint {
    char32_t value;
    std::size_t length;
};
CodePoint decodeUtf8(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t shortest = 0;
    if (lead < 0x80) {
        return {lead, 1};
    }
    if ((lead & 0xe0U) == 0xc0) {
        length = 2;
        value = lead & 0x1fU;
        shortest = 0x80;
    } else if ((lead & 0xf0U) == 0xe0) {
        length = 3;
        value = lead & 0x0fU;
        shortest = 0x800;
    } else if ((lead & 0xf8U) == 0xf0) {
        length = 4;
        value = lead & 0x07U;
        shortest = 0x10000;
    } else {
        return {0, 0};
    }
    if (text.size() - at < length) {
        return {0, 0};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0U) != 0x80) {
            return {0, 0};
        }
        value = (value << 6U) | (next & 0x3fU);
    }
    if (value < shortest || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
        return {0, 0};
    }
    return {value, length};
}

void encodeUtf8(char32_t value, std::string& out)
{
    const auto put = [&out](char32_t byte) { out.push_back(static_cast<char>(byte)); };
    if (value < 0x80) {
        put(value);
    } else if (value < 0x800) {
        put(0xc0 | (value >> 6U));
        put(0x80 | (value & 0x3fU));
    } else if (value < 0x10000) {
        put(0xe0 | (value >> 12U));
        put(0x80 | ((value >> 6U) & 0x3fU));
        put(0x80 | (value & 0x3fU));
    } else {
        put(0xf0 | (value >> 18U));
        put(0x80 | ((value >> 12U) & 0x3fU));
        put(0x80 | ((value >> 6U) & 0x3fU));
        put(0x80 | (value & 0x3fU));
    }
}

std::optional<char32_t> hex4(std::string_view json, std::size_t at)
{
    if (json.size() - at < 4) {
        return std::nullopt;
    }
    char32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = json[i];
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

// Decodes `json`, which must be exactly one JSON string (RFC 8259, section 7), to UTF-8. Stricter
// than the grammar where the writer promises more: no raw DEL, no lone surrogate escapes.
std::optional<std::string> decodeJsonString(std::string_view json)
{
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') {
        return std::nullopt;
    }
    std::string text;
    const std::size_t end = json.size() - 1;
    for (std::size_t at = 1; at < end;) {
        const auto c = static_cast<unsigned char>(json[at]);
        if (c < 0x20 || c == 0x7f || c == '"') {
            return std::nullopt;
        }
        if (c != '\\') {
            const CodePoint point = decodeUtf8(json.substr(0, end), at);
            if (point.length == 0) {
                return std::nullopt;
            }
            text.append(json.substr(at, point.length));
            at += point.length;
            continue;
        }
        if (at + 1 >= end) {
            return std::nullopt;
        }
        const char escape = json[at + 1];
        at += 2;
        const std::string_view simple = "\"\\/bfnrt";
        const std::string_view meaning = "\"\\/\b\f\n\r\t";
        if (const auto which = simple.find(escape); which != std::string_view::npos) {
            text.push_back(meaning[which]);
            continue;
        }
        if (escape != 'u') {
            return std::nullopt;
        }
        auto unit = hex4(json.substr(0, end), at);
        if (!unit) {
            return std::nullopt;
        }
        at += 4;
        char32_t value = *unit;
        if (value >= 0xdc00 && value <= 0xdfff) {
            return std::nullopt; // a low surrogate without its high one
        }
        if (value >= 0xd800 && value <= 0xdbff) {
            if (json.substr(at, 2) != "\\u") {
                return std::nullopt;
            }
            const auto low = hex4(json.substr(0, end), at + 2);
            if (!low || *low < 0xdc00 || *low > 0xdfff) {
                return std::nullopt;
            }
            at += 6;
            value = 0x10000 + ((value - 0xd800) << 10U) + (*low - 0xdc00);
        }
        encodeUtf8(value, text);
    }
    return text;
}

// What the writer must give back: the input, each byte outside a well-formed sequence replaced.
std::string withReplacements(std::string_view input, bool& wellFormed)
{
    std::string text;
    wellFormed = true;
    for (std::size_t at = 0; at < input.size();) {
        const CodePoint point = decodeUtf8(input, at);
        if (point.length == 0) {
            encodeUtf8(0xfffd, text);
            wellFormed = false;
            ++at;
        } else {
            text.append(input.substr(at, point.length));
            at += point.length;
        }
    }
    return text;
}

void checkJsonString(std::string_view input)
{
    static FixedTextBuffer<2 + JSON_ESCAPED_BYTE_LENGTH * LONGEST_INPUT> json;
    json.clear();
    appendJsonString(json, input);
    if (json.overflowed() || json.size() > 2 + JSON_ESCAPED_BYTE_LENGTH * input.size()) {
        fail("the JSON string is longer than six bytes a byte", input, json.view());
    }
    const auto decoded = decodeJsonString(json.view());
    if (!decoded) {
        fail("the JSON string is not valid", input, json.view());
    }
    bool wellFormed = false;
    const std::string expected = withReplacements(input, wellFormed);
    if (wellFormed && *decoded != input) {
        fail("well-formed UTF-8 did not come back as it was", input, json.view());
    }
    if (*decoded != expected) {
        fail("the JSON string does not decode to the input with its bad bytes replaced", input,
             json.view());
    }

    // A field takes the string up to its NUL, as a C string.
    static JsonLine line;
    line.clear();
    const std::string cString(input.substr(0, input.find('\0')));
    JsonObject(line).string("s", cString.c_str()).end();
    json.clear();
    appendJsonString(json, cString);
    const std::string expectedLine = "{\"s\":" + std::string(json.view()) + "}\n";
    if (!line.overflowed() && line.view() != expectedLine) {
        fail("a string field differs from the string", input, line.view());
    }
}

// A port path read plainly: split at the one '-' and at each '.', each number 1 to its limit
// without a leading zero, reprinted the same.
bool referencePortPath(const std::string& text)
{
    const auto dash = text.find('-');
    if (dash == std::string::npos || text.find('-', dash + 1) != std::string::npos) {
        return false;
    }
    std::vector<std::string> parts{text.substr(0, dash)};
    for (std::size_t start = dash + 1;;) {
        const auto dot = text.find('.', start);
        parts.push_back(text.substr(start, dot - start));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    if (parts.size() < 2 || parts.size() > 1 + MAX_PORT_PATH_PORTS) {
        return false;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (part.empty() || part.size() > 3 || part[0] == '0' ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        const unsigned long value = std::strtoul(part.c_str(), nullptr, 10);
        if (value > (i == 0 ? MAX_BUS_NUMBER : MAX_PORT_NUMBER)) {
            return false;
        }
    }
    return true;
}

// Seconds read plainly: digits, then maybe a point and one to three digits, or the point and its
// digits alone, in milliseconds in a type too wide to wrap; nothing when it is not that or exceeds
// maxMs.
std::optional<unsigned long> referenceSeconds(const std::string& text, unsigned long maxMs)
{
    const auto point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    const auto digitsOnly = [](const std::string& s) {
        return s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digitsOnly(whole) || !digitsOnly(fraction) ||
        (whole.empty() && point == std::string::npos) ||
        (point != std::string::npos && (fraction.empty() || fraction.size() > 3))) {
        return std::nullopt;
    }
    const auto significant = whole.find_first_not_of('0');
    if (significant != std::string::npos && whole.size() - significant > 20) {
        return std::nullopt; // more than 10^20 seconds, beyond any unsigned long in ms
    }
    Wide ms = 0;
    for (const char c : whole) {
        ms = ms * 10 + static_cast<unsigned>(c - '0');
    }
    ms *= 1000;
    std::string padded = fraction;
    padded.resize(3, '0');
    ms += std::strtoul(padded.c_str(), nullptr, 10);
    if (ms > maxMs) {
        return std::nullopt;
    }
    return static_cast<unsigned long>(ms);
}

void checkArgument(const std::string& text)
{
    const bool portPath = isPortPath(text);
    if (portPath != referencePortPath(text)) {
        fail(portPath ? "isPortPath accepts a path it must not" : "isPortPath refuses a port path",
             text);
    }
    if (portPath && text.size() >= PORT_PATH_LENGTH) {
        fail("a port path longer than PortPath holds", text);
    }
    for (const unsigned long maxMs : {0UL, 1500UL, 60000UL, ULONG_MAX}) {
        if (parseSecondsAsMs(text, maxMs) != referenceSeconds(text, maxMs)) {
            fail("parseSecondsAsMs differs from the plain reading", text);
        }
    }
}

} // namespace

// A whole number from 0 to `most` read plainly from the JSON it writes back: digits only.
std::optional<long long> referenceWhole(const nlohmann::json& number, long long most)
{
    constexpr std::size_t LONGEST = 18; // fits a long long
    if (!number.is_number_integer()) {
        return std::nullopt;
    }
    const std::string text = number.dump();
    if (text.size() > LONGEST || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const long long value = std::stoll(text);
    return value <= most ? std::optional(value) : std::nullopt;
}

struct ReferenceCommand {
    int value = -1;
    std::optional<std::pair<long long, long long>> blinkMs;
    std::optional<long long> forSeconds;
};

// The LED request grammar read plainly: at most MAX_LED_REQUEST bytes; white space, decimal digits,
// white space, the number (leading zeros aside, at most two digits) at most 31; or a JSON object
// whose key "led" is a whole number from 0 to 31, beside which it holds nothing or one of "blink",
// an object of the two keys "on_ms" and "off_ms" each 0 to a day in milliseconds, and "for_s", 0 to
// a day in seconds. Refused: value -1 and no effect.
ReferenceCommand referenceLedCommand(std::string_view payload)
{
    constexpr long long DAY_S = 86400;
    constexpr long long DAY_MS = DAY_S * 1000;
    if (payload.size() > ledboardd::MAX_LED_REQUEST) {
        return {};
    }
    const std::string_view space = " \t\r\n";
    const std::size_t first = payload.find_first_not_of(space);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = payload.find_last_not_of(space);
    std::string_view digits = payload.substr(first, last - first + 1);
    if (digits.front() == '{') {
        const auto json = nlohmann::json::parse(digits, nullptr, false);
        if (json.is_discarded() || !json.is_object() || !json.contains("led") ||
            !json["led"].is_number_integer()) {
            return {};
        }
        const std::size_t effects = json.count("blink") + json.count("for_s");
        if (effects > 1 || json.size() != 1 + effects) {
            return {};
        }
        const auto value = json["led"].get<long long>();
        if (value < 0 || value > ledboardd::MAX_LED_NUMBER) {
            return {};
        }
        ReferenceCommand command{.value = static_cast<int>(value)};
        if (json.contains("blink")) {
            const auto& blink = json["blink"];
            if (!blink.is_object() || blink.size() != 2 || !blink.contains("on_ms") ||
                !blink.contains("off_ms")) {
                return {};
            }
            const auto on = referenceWhole(blink["on_ms"], DAY_MS);
            const auto off = referenceWhole(blink["off_ms"], DAY_MS);
            if (!on || !off) {
                return {};
            }
            command.blinkMs = std::pair(*on, *off);
        }
        if (json.contains("for_s")) {
            command.forSeconds = referenceWhole(json["for_s"], DAY_S);
            if (!command.forSeconds) {
                return {};
            }
        }
        return command;
    }
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return {};
    }
    while (digits.size() > 1 && digits.front() == '0') {
        digits.remove_prefix(1);
    }
    if (digits.size() > 2) {
        return {};
    }
    const int value = std::stoi(std::string(digits));
    return {.value = value <= ledboardd::MAX_LED_NUMBER ? value : -1};
}

// An escaped text read back: the characters `kept` takes as they are, `marker` and two hex digits
// (`hexDigits`, "0123456789ABCDEF" or lower case) as the byte they name. Nothing when the text
// holds anything else.
std::optional<std::string> unescape(std::string_view escaped, char marker, bool (*kept)(char),
                                    std::string_view hexDigits)
{
    std::string text;
    for (std::size_t at = 0; at < escaped.size(); ++at) {
        const char c = escaped[at];
        if (c != marker) {
            if (!kept(c)) {
                return std::nullopt;
            }
            text.push_back(c);
            continue;
        }
        if (escaped.size() - at < 3) {
            return std::nullopt;
        }
        const std::size_t high = hexDigits.find(escaped[at + 1]);
        const std::size_t low = hexDigits.find(escaped[at + 2]);
        if (high == std::string_view::npos || low == std::string_view::npos) {
            return std::nullopt;
        }
        text.push_back(static_cast<char>(high * 16 + low));
        at += 2;
    }
    return text;
}

// escapeIdText's output read back ('~' and two upper-case hex digits).
std::optional<std::string> undoIdText(std::string_view id)
{
    return unescape(
        id, '~',
        [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ||
                   c == '-';
        },
        "0123456789ABCDEF");
}

// Board ids: reversible (so distinct serials never share one), always a valid id, never the
// bridge's; and the state file read back as it was written.
void checkBoardIds(std::string_view input)
{
    constexpr std::size_t MAX_SERIAL = 126; // a string descriptor's characters
    const std::string_view serial = input.substr(0, MAX_SERIAL);
    const std::string id = ledboardd::escapeIdText(serial);
    if (undoIdText(id) != std::string(serial) || (!serial.empty() && !ledboardd::isBoardId(id))) {
        fail("escapeIdText is not reversible or not an id", input, id);
    }
    if (ledboardd::boardIdOf(serial, "1-1", "host", 1, 2) == ledboardd::BRIDGE_ID) {
        fail("a board took the bridge's id", input);
    }
    const ledboardd::StateText state = ledboardd::parseStateText(input);
    if (!state.error.empty()) {
        return;
    }
    for (const ledboardd::SavedBoard& board : state.boards) {
        if (!ledboardd::isBoardId(board.info.id) ||
            (board.desired && (*board.desired < 0 || *board.desired > ledboardd::MAX_LED_NUMBER))) {
            fail("parseStateText kept a board the daemon would not have", input, board.info.id);
        }
    }
    if (ledboardd::parseStateText(ledboardd::stateText(state.boards)).boards != state.boards) {
        fail("the state file does not read back as written", input);
    }
}

bool isTopicSafe(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7f && c != '+' && c != '#' && c != '/';
}

void checkDaemonParsing(std::string_view input)
{
    const ledboardd::LedCommand command = ledboardd::parseLedRequest(input);
    const ReferenceCommand reference = referenceLedCommand(input);
    std::optional<std::pair<long long, long long>> blinkMs;
    if (command.blink) {
        blinkMs = {command.blink->on.count(), command.blink->off.count()};
    }
    std::optional<long long> forSeconds;
    if (command.forSeconds) {
        forSeconds = command.forSeconds->count();
    }
    if (command.value != reference.value || blinkMs != reference.blinkMs ||
        forSeconds != reference.forSeconds || (command.value < 0) != (command.refusal != nullptr)) {
        fail("parseLedRequest differs from the grammar", input);
    }
    const std::string level = ledboardd::topicLevel(input);
    if (level.empty() || level.size() > ledboardd::MAX_TOPIC_LEVEL ||
        !std::all_of(level.begin(), level.end(), isTopicSafe)) {
        fail("topicLevel let an unsafe character through", input, level);
    }
    for (std::size_t i = 0; i < std::min(input.size(), level.size()); ++i) {
        if (isTopicSafe(input[i]) && input[i] != level[i]) {
            fail("topicLevel changed a safe character", input, level);
        }
    }
    if (ledboardd::isValidPrefix(input) && (input.front() == '/' || input.back() == '/' ||
                                            input.find("//") != std::string_view::npos ||
                                            !std::all_of(input.begin(), input.end(), [](char c) {
                                                return c == '/' || isTopicSafe(c);
                                            }))) {
        fail("isValidPrefix took a prefix with an empty level or a wildcard", input);
    }
    constexpr int MAX_PORT = 65535;
    const ledboardd::BrokerAddress broker = ledboardd::parseBroker(input, 1);
    if (broker.ok && (broker.host.empty() || broker.port < 1 || broker.port > MAX_PORT ||
                      (input.front() != '[' && broker.host.find(':') != std::string::npos))) {
        fail("parseBroker took an address without a host or with a bad port", input, broker.host);
    }
    // The configuration file: each key once and named, each entry on a line of the text, and an
    // error always with its line.
    const ledboardd::ConfigText config = ledboardd::parseConfigText(input);
    const auto lines = static_cast<int>(std::count(input.begin(), input.end(), '\n')) + 1;
    std::set<std::pair<int, std::string>> keys;
    for (const ledboardd::ConfigEntry& entry : config.entries) {
        if (entry.key.empty() || !keys.insert({entry.section, entry.key}).second ||
            entry.section > static_cast<int>(config.sections.size()) || entry.line < 1 ||
            entry.line > lines || (config.errorLine > 0 && entry.line >= config.errorLine)) {
            fail("parseConfigText gave an entry without a key, twice or on no line", input,
                 entry.key);
        }
    }
    if ((config.errorLine > 0) != !config.error.empty() || config.errorLine > lines) {
        fail("parseConfigText gave an error without its line", input, config.error);
    }
}

// discoveryIdPart's output read back ('_' and two lower-case hex digits).
std::optional<std::string> undoIdPart(std::string_view part)
{
    return unescape(
        part, '_',
        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-'; },
        "0123456789abcdef");
}

// Every topic a discovery config names: the string values of keys ending in "topic", at any depth
// (the components, the availability list).
void collectTopics(const nlohmann::json& json, std::vector<std::string>& topics)
{
    for (const auto& [key, value] : json.items()) {
        if (value.is_structured()) {
            collectTopics(value, topics);
        } else if (json.is_object() && key.ends_with("topic") && value.is_string()) {
            topics.push_back(value.get<std::string>());
        }
    }
}

void checkDiscovery(std::string_view input)
{
    const std::string part = ledboardd::discoveryIdPart(input);
    if (undoIdPart(part) != std::string(input) || part.find("__") != std::string::npos) {
        fail("discoveryIdPart is not reversible or holds \"__\"", input, part);
    }
    // The input split at its first three NULs: the id (and serial), the name (and both URLs),
    // the manufacturer, the product.
    std::vector<std::string> fields;
    std::size_t from = 0;
    while (fields.size() < 3 && input.find('\0', from) != std::string_view::npos) {
        fields.emplace_back(input.substr(from, input.find('\0', from) - from));
        from = input.find('\0', from) + 1;
    }
    fields.emplace_back(input.substr(from));
    fields.resize(4);
    const ledboardd::DiscoveredBoard board{.id = fields[0],
                                           .name = fields[1],
                                           .serial = fields[0],
                                           .manufacturer = fields[2],
                                           .product = fields[3]};
    const ledboardd::DiscoveryContext context{.discoveryPrefix = "homeassistant",
                                              .prefix = "ledboard",
                                              .bridgeAvailability =
                                                  "ledboard/bridge/h/availability",
                                              .version = "1",
                                              .supportUrl = fields[1],
                                              .configurationUrl = fields[1]};
    // The migration in its order: the old topics handed over, the device config, the old topics
    // cleared.
    std::vector<ledboardd::DiscoveryMessage> messages = ledboardd::migrationStart(context, board);
    messages.push_back(ledboardd::deviceConfig(context, board));
    for (const std::string& topic : ledboardd::oldConfigTopics(context, board)) {
        messages.push_back({topic, ""});
    }
    const std::string boardTopics = "ledboard/" + ledboardd::topicLevel(board.id) + "/";
    for (const ledboardd::DiscoveryMessage& message : messages) {
        std::vector<std::string> topics{message.topic};
        if (!message.payload.empty()) {
            const auto config = nlohmann::json::parse(message.payload, nullptr, false);
            if (config.is_discarded() || !config.is_object()) {
                fail("a discovery config is not a JSON object", input, message.payload);
            }
            collectTopics(config, topics);
        }
        for (const std::string& topic : topics) {
            if (topic.empty() || topic.find_first_of("+#") != std::string::npos) {
                fail("a discovery message names an empty or wildcard topic", input, topic);
            }
            if (&topic != &topics.front() && !topic.starts_with(boardTopics) &&
                topic != context.bridgeAvailability) {
                fail("a discovery config names a topic of another board", input, topic);
            }
        }
    }
    // The board's device config topic names its node; any other topic names one of ours or none.
    const std::string node =
        ledboardd::discoveryNodeId("ledboard", ledboardd::topicLevel(board.id));
    if (ledboardd::nodeOfDeviceConfigTopic(context, ledboardd::deviceConfigTopic(context, board)) !=
        node) {
        fail("a device config topic does not name its board", input, node);
    }
    if (const auto named = ledboardd::nodeOfDeviceConfigTopic(context, input)) {
        const std::string_view id =
            std::string_view{*named}.substr(std::string_view{"ledboard__"}.size());
        if (std::string(input) != "homeassistant/device/" + *named + "/config" || id.empty() ||
            !undoIdPart(id)) {
            fail("a topic names a node it does not hold", input, *named);
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data),
                                 std::min(size, LONGEST_INPUT));
    checkJsonString(input);
    checkArgument(std::string(input.substr(0, input.find('\0'))));
    checkDaemonParsing(input);
    checkDiscovery(input);
    checkBoardIds(input);
    return 0;
}
