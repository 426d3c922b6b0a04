#include "settings_text.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace ledboardd {

namespace {

constexpr bool isSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

constexpr bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

constexpr bool isControl(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

std::string_view trim(std::string_view text) noexcept
{
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

const char* prefixRefusal(std::string_view prefix) noexcept
{
    constexpr const char* EMPTY_LEVEL =
        "has an empty level (a / at its start or end, or two in a row)";
    if (prefix.empty()) {
        return "is empty";
    }
    if (prefix.size() > MAX_PREFIX_LENGTH) {
        return "is longer than 256 bytes";
    }
    char previous = '/'; // an empty first level counts as empty
    for (const char c : prefix) {
        if (c == '+' || c == '#') {
            return "holds a wildcard (+ or #), which only subscriptions may use";
        }
        if (isControl(c)) {
            return "holds a control character";
        }
        // A topic must be well-formed UTF-8, and a broker drops the connection of a client that
        // sends one that is not; ASCII alone keeps every prefix well-formed and printable.
        if (static_cast<unsigned char>(c) >= 0x80) {
            return "holds a character outside ASCII";
        }
        if (c == '/' && previous == '/') {
            return EMPTY_LEVEL;
        }
        previous = c;
    }
    return previous == '/' ? EMPTY_LEVEL : nullptr;
}

bool isValidPrefix(std::string_view prefix) noexcept
{
    return prefixRefusal(prefix) == nullptr;
}

const char* mqttStringRefusal(std::string_view text) noexcept
{
    if (text.size() > MAX_MQTT_STRING) {
        return "is longer than 65535 bytes, the most MQTT allows";
    }
    // UTF-8 as RFC 3629 has it: the length from the lead byte, continuation bytes 10xxxxxx, the
    // shortest form only, no surrogate and nothing above U+10FFFF.
    constexpr char32_t LAST_CODE_POINT = 0x10FFFF;
    constexpr char32_t SURROGATES_FIRST = 0xD800;
    constexpr char32_t SURROGATES_LAST = 0xDFFF;
    constexpr char32_t NONCHARACTERS_FIRST = 0xFDD0;
    constexpr char32_t NONCHARACTERS_LAST = 0xFDEF;
    constexpr char32_t PLANE_MASK = 0xFFFF;
    constexpr char32_t PLANE_END = 0xFFFE; // and 0xFFFF: the last two of every plane
    constexpr char32_t C1_FIRST = 0x7F;
    constexpr char32_t C1_LAST = 0x9F;
    constexpr char32_t C0_LAST = 0x1F;
    struct Form {
        unsigned char mask, lead;
        std::size_t length;
        char32_t smallest;
    };
    constexpr std::array<Form, 4> forms{{{0x80, 0x00, 1, 0x0},
                                         {0xE0, 0xC0, 2, 0x80},
                                         {0xF0, 0xE0, 3, 0x800},
                                         {0xF8, 0xF0, 4, 0x10000}}};
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const Form* form = nullptr;
        for (const Form& candidate : forms) {
            if ((lead & candidate.mask) == candidate.lead) {
                form = &candidate;
                break;
            }
        }
        if (form == nullptr || text.size() - at < form->length) {
            return "is not valid UTF-8";
        }
        char32_t code = lead & static_cast<unsigned char>(~form->mask);
        for (std::size_t i = 1; i < form->length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) {
                return "is not valid UTF-8";
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < form->smallest || code > LAST_CODE_POINT ||
            (code >= SURROGATES_FIRST && code <= SURROGATES_LAST)) {
            return "is not valid UTF-8";
        }
        if (code <= C0_LAST || (code >= C1_FIRST && code <= C1_LAST)) {
            return "holds a control character";
        }
        if ((code >= NONCHARACTERS_FIRST && code <= NONCHARACTERS_LAST) ||
            (code & PLANE_MASK) >= PLANE_END) {
            return "holds a Unicode non-character";
        }
        at += form->length;
    }
    return nullptr;
}

namespace {

// A configuration value after its '=': the text in quotes, or up to a comment, trimmed. Null
// when a quote is not closed or something other than a comment follows it.
const char* readConfigValue(std::string_view text, std::string& value)
{
    text = trim(text);
    if (!text.empty() && (text.front() == '"' || text.front() == '\'')) {
        const std::size_t close = text.find(text.front(), 1);
        if (close == std::string_view::npos) {
            return "a quote that is not closed";
        }
        value = text.substr(1, close - 1);
        const std::string_view rest = trim(text.substr(close + 1));
        if (!rest.empty() && rest.front() != '#') {
            return "text after the quoted value";
        }
        return nullptr;
    }
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '#' && (at == 0 || isSpace(text[at - 1]))) {
            text = text.substr(0, at);
            break;
        }
    }
    value = trim(text);
    return nullptr;
}

} // namespace

ConfigText parseConfigText(std::string_view text)
{
    constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
    if (text.starts_with(BYTE_ORDER_MARK)) {
        text.remove_prefix(BYTE_ORDER_MARK.size());
    }
    ConfigText config;
    const auto refuse = [&config](int line, std::string error) {
        config.errorLine = line;
        config.error = std::move(error);
        return config;
    };
    int number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const std::string_view name = line.substr(1, line.find(']') - 1);
            if (!line.ends_with(']') || name.empty() ||
                !std::ranges::all_of(name, [](char c) { return c >= 'a' && c <= 'z'; })) {
                return refuse(number, "a section is [name], in lower-case letters");
            }
            config.sections.push_back({std::string{name}, number});
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return refuse(number, "not a key = value line");
        }
        ConfigEntry entry{std::string{trim(line.substr(0, equals))},
                          {},
                          number,
                          static_cast<int>(config.sections.size())};
        if (entry.key.empty()) {
            return refuse(number, "a value without a key");
        }
        if (const char* error = readConfigValue(line.substr(equals + 1), entry.value)) {
            return refuse(number, error);
        }
        for (const ConfigEntry& earlier : config.entries) {
            if (earlier.key == entry.key && earlier.section == entry.section) {
                return refuse(number, '"' + entry.key + "\" given twice (also on line " +
                                          std::to_string(earlier.line) + ")");
            }
        }
        config.entries.push_back(std::move(entry));
    }
    return config;
}

bool isPortPathText(std::string_view text) noexcept
{
    const std::size_t dash = text.find('-');
    if (dash == 0 || dash == std::string_view::npos ||
        !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(dash), isDigit)) {
        return false;
    }
    bool digitBefore = false;
    for (const char c : text.substr(dash + 1)) {
        if (c == '.' && digitBefore) {
            digitBefore = false;
        } else if (isDigit(c)) {
            digitBefore = true;
        } else {
            return false;
        }
    }
    return digitBefore;
}

const char* boardNameRefusal(std::string_view name) noexcept
{
    if (name.empty()) {
        return "is empty";
    }
    if (name.size() > MAX_BOARD_NAME) {
        return "is longer than 64 bytes";
    }
    // The same rules as an MQTT string: it goes into discovery configs and JSON as it is.
    return mqttStringRefusal(name);
}

bool holdsPemBlock(std::string_view text, PemKind kind)
{
    constexpr std::string_view DASHES = "-----";
    constexpr std::string_view BEGIN = "-----BEGIN ";
    constexpr std::string_view END = "-----END ";
    // The labels OpenSSL reads a certificate from, and the ending every private key's label has
    // (PRIVATE KEY, RSA PRIVATE KEY, EC PRIVATE KEY, ENCRYPTED PRIVATE KEY, ...).
    constexpr std::array<std::string_view, 3> CERTIFICATE_LABELS{
        "CERTIFICATE", "TRUSTED CERTIFICATE", "X509 CERTIFICATE"};
    constexpr std::string_view KEY_LABEL_END = "PRIVATE KEY";
    const auto wanted = [kind, &CERTIFICATE_LABELS, KEY_LABEL_END](std::string_view label) {
        if (kind == PemKind::PrivateKey) {
            return label.ends_with(KEY_LABEL_END);
        }
        return std::find(CERTIFICATE_LABELS.begin(), CERTIFICATE_LABELS.end(), label) !=
               CERTIFICATE_LABELS.end();
    };
    std::string_view label; // of the block begun and not yet ended, else empty
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.ends_with(DASHES) || line.size() < BEGIN.size() + DASHES.size()) {
            continue;
        }
        if (line.starts_with(BEGIN)) {
            const std::string_view begun =
                line.substr(BEGIN.size(), line.size() - BEGIN.size() - DASHES.size());
            label = wanted(begun) ? begun : std::string_view{};
        } else if (line.starts_with(END) && !label.empty() &&
                   line.substr(END.size(), line.size() - END.size() - DASHES.size()) == label) {
            return true;
        }
    }
    return false;
}

} // namespace ledboardd
