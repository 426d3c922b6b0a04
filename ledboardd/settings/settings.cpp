#include "settings.hpp"

#include "address_text.hpp"
#include "command_line.hpp"
#include "settings_text.hpp"

#include <array>
#include <charconv>
#include <cstring>

namespace ledboardd {

namespace {

constexpr int DEFAULT_MQTT_PORT = 1883;
constexpr int DEFAULT_MQTTS_PORT = 8883;
// Reads faster than this gain nothing on a full-speed device and load the bus; slower than this
// and a press is noticed too late to be useful.
constexpr int MIN_INTERVAL_MS = 5;
constexpr int MAX_INTERVAL_MS = 60000;
// Gesture windows: shorter than a finger can press twice, or longer than anyone waits.
constexpr int MIN_PRESS_MS = 100;
constexpr int MAX_DOUBLE_PRESS_MS = 5000;
constexpr int MAX_LONG_PRESS_MS = 10000;

// A whole number of milliseconds from `least` to `most`.
std::chrono::milliseconds readMilliseconds(const Given& given, int least, int most)
{
    const std::string& text = given.text;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool whole = error == std::errc{} && end == text.data() + text.size() && !text.empty() &&
                       text.front() != '-';
    if (!whole || value < least || value > most) {
        refuse(given.origin + ": " + inQuotes(text) + " is not a number of milliseconds from " +
               std::to_string(least) + " to " + std::to_string(most));
    }
    return std::chrono::milliseconds{value};
}

int readLogLevel(const Given& level)
{
    static constexpr std::array<std::pair<std::string_view, int>, 4> LEVELS{{
        {"error", LOG_LEVEL_ERROR},
        {"warning", LOG_LEVEL_WARNING},
        {"info", LOG_LEVEL_INFO},
        {"debug", LOG_LEVEL_DEBUG},
    }};
    const std::string lower = lowerCase(level.text);
    for (const auto& [name, value] : LEVELS) {
        if (lower == name) {
            return value;
        }
    }
    refuse(level.origin + ": " + inQuotes(level.text) +
           " is not one of error, warning, info, debug");
}

void checkMqttString(const Given& value)
{
    if (const char* why = mqttStringRefusal(value.text)) {
        refuse(value.origin + ": " + inQuotes(value.text) + " " + why);
    }
}

std::string readPrefix(const Given& prefix)
{
    if (const char* why = prefixRefusal(prefix.text)) {
        refuse(prefix.origin + ": " + inQuotes(prefix.text) + " " + why);
    }
    return prefix.text;
}

// The [board] sections: each names one board by its serial number or its port path.
std::vector<BoardName> readBoardNames(const std::vector<BoardSection>& sections)
{
    std::vector<BoardName> names;
    for (const BoardSection& section : sections) {
        BoardName named;
        for (const auto& [key, given] : section.values) {
            if (key == "serial") {
                named.serial = given.text;
            } else if (key == "port") {
                if (!isPortPathText(given.text)) {
                    refuse(given.origin + ": " + inQuotes(given.text) +
                           " is not a port path such as 1-1.4");
                }
                named.port = given.text;
            } else if (key == "name") {
                if (const char* why = boardNameRefusal(given.text)) {
                    refuse(given.origin + ": " + inQuotes(given.text) + " " + why);
                }
                named.name = given.text;
            } else {
                refuse(given.origin + ": unknown key in [board]; it takes serial or port, and "
                                      "name");
            }
        }
        if (named.serial.empty() == named.port.empty() || named.name.empty()) {
            refuse(section.origin + ": [board] needs serial or port (one of them) and name");
        }
        for (const BoardName& earlier : names) {
            if ((!named.serial.empty() && earlier.serial == named.serial) ||
                (!named.port.empty() && earlier.port == named.port)) {
                refuse(section.origin + ": [board] names a board named before");
            }
        }
        names.push_back(std::move(named));
    }
    return names;
}

// --state-dir when given (a folder that cannot be written is a bad configuration), else
// systemd's StateDirectory=, else the usual place; one that cannot be written then is said, and
// the state is not kept.
void settleStateDirectory(const Given& given, const char* fromSystemd, const char* usual,
                          ParsedSettings& parsed)
{
    if (given.given()) {
        if (given.text.empty()) {
            refuse(given.origin + ": an empty directory name");
        }
        if (const std::string problem = stateDirectoryProblem(given.text); !problem.empty()) {
            refuse(given.origin + ": cannot keep the state in " + given.text + ": " + problem);
        }
        parsed.settings.stateDirectory = given.text;
        return;
    }
    std::string directory = usual;
    if (fromSystemd != nullptr && *fromSystemd != '\0') {
        // systemd joins several directories with ':'; the unit names one.
        directory = std::string{fromSystemd}.substr(0, std::string_view{fromSystemd}.find(':'));
    }
    if (const std::string problem = stateDirectoryProblem(directory); !problem.empty()) {
        parsed.warnings.push_back("the boards' state is not kept across restarts: " + directory +
                                  ": " + problem + " (give --state-dir DIR)");
        return;
    }
    parsed.settings.stateDirectory = directory;
}

void settle(const CommandLine& reader, ParsedSettings& parsed, const char* stateFromSystemd,
            const char* usualState)
{
    Settings& settings = parsed.settings;
    const auto has = [&reader](const char* key) { return reader.value(key).given(); };
    const Given& cafile = reader.value("cafile");
    const Given& cert = reader.value("cert");
    const Given& key = reader.value("key");

    if (has("broker")) {
        const Given& broker = reader.value("broker");
        const BrokerAddress address =
            parseBroker(broker.text, has("cafile") ? DEFAULT_MQTTS_PORT : DEFAULT_MQTT_PORT);
        if (!address.ok) {
            refuse(broker.origin + ": " + inQuotes(broker.text) +
                   " is not HOST[:PORT] with a port from 1 to 65535");
        }
        settings.host = address.host;
        settings.port = address.port;
    } else {
        settings.port = has("cafile") ? DEFAULT_MQTTS_PORT : DEFAULT_MQTT_PORT;
    }
    if (has("prefix")) {
        settings.prefix = readPrefix(reader.value("prefix"));
    }
    if (has("discovery-prefix")) {
        settings.discoveryPrefix = readPrefix(reader.value("discovery-prefix"));
    }
    settings.discovery = reader.enabled("discovery");
    settings.metrics = reader.enabled("metrics");
    if (has("interval")) {
        settings.interval =
            readMilliseconds(reader.value("interval"), MIN_INTERVAL_MS, MAX_INTERVAL_MS);
    }
    if (has("double-press")) {
        settings.doublePress =
            readMilliseconds(reader.value("double-press"), MIN_PRESS_MS, MAX_DOUBLE_PRESS_MS);
    }
    if (has("long-press")) {
        settings.longPress =
            readMilliseconds(reader.value("long-press"), MIN_PRESS_MS, MAX_LONG_PRESS_MS);
    }
    if (has("log-level")) {
        settings.logLevel = readLogLevel(reader.value("log-level"));
    }
    if (has("client-id")) {
        checkMqttString(reader.value("client-id"));
        settings.clientId = reader.value("client-id").text;
    }
    if (has("username")) {
        checkMqttString(reader.value("username"));
        settings.username = reader.value("username").text;
    }

    if (cert.given() != key.given()) {
        refuse("--cert and --key go together: give both or neither");
    }
    if (cert.given() && !cafile.given()) {
        refuse("--cert needs --cafile: a client certificate is used over TLS only");
    }
    // Every file is looked at before any is read for its contents, so that a missing one is
    // named first.
    for (const Given* file : {&cafile, &cert, &key}) {
        if (file->given()) {
            readFileStart(file->origin, file->text, 0);
        }
    }
    if (cafile.given()) {
        checkPemFile(cafile, PemKind::Certificate);
        settings.cafile = cafile.text;
    }
    if (cert.given()) {
        checkPemFile(cert, PemKind::Certificate);
        checkPemFile(key, PemKind::PrivateKey);
        settings.certFile = cert.text;
        settings.keyFile = key.text;
    }

    if (has("password-file")) {
        const Given& file = reader.value("password-file");
        settings.password = readPassword(file);
        if (!has("username")) {
            refuse("--password-file needs --username");
        }
        if (settings.password->empty()) {
            parsed.warnings.push_back(file.origin + ": " + file.text +
                                      " is empty: the broker is given an empty password");
        }
    }

    const Given& http = reader.value("http");
    const Given& tokenFile = reader.value("http-token-file");
    if (http.given()) {
        if (http.text.empty()) {
            refuse(http.origin + ": an empty address; give ADDR:PORT or PORT, or leave it out "
                                 "for no HTTP");
        }
        const HttpAddress listen = parseHttpAddress(http.text);
        if (!listen.ok) {
            refuse(http.origin + ": " + inQuotes(http.text) +
                   " is not ADDR:PORT, [IPV6]:PORT or PORT with a port from 1 to 65535");
        }
        settings.httpHost = listen.host;
        settings.httpPort = listen.port;
        if (tokenFile.given()) {
            settings.httpToken = readToken(tokenFile);
        } else if (!isLoopbackHost(settings.httpHost)) {
            refuse(http.origin + ": " + settings.httpHost +
                   " can be reached from other hosts; give --http-token-file as well");
        }
    } else if (tokenFile.given()) {
        parsed.warnings.push_back(tokenFile.origin + " has no effect without --http: HTTP is off");
    }
    if (settings.metrics && !http.given()) {
        parsed.warnings.emplace_back("--metrics has no effect without --http: HTTP is off");
    }
    settleStateDirectory(reader.value("state-dir"), stateFromSystemd, usualState, parsed);
    settings.names = readBoardNames(reader.boards());
}

} // namespace

ParsedSettings parseSettings(int argc, const char* const* argv, const char* defaultConfigFile,
                             const char* stateDirectoryFromSystemd,
                             const char* defaultStateDirectory)
{
    ParsedSettings parsed;
    CommandLine reader(argc, argv, defaultConfigFile);
    try {
        reader.read();
        settle(reader, parsed, stateDirectoryFromSystemd, defaultStateDirectory);
    } catch (const CLI::CallForHelp&) {
        parsed.output = reader.help();
        parsed.exitStatus = EXIT_OK;
    } catch (const CLI::CallForVersion& version) {
        parsed.output = std::string{version.what()} + "\n";
        parsed.exitStatus = EXIT_OK;
    } catch (const CLI::ArgumentMismatch& error) {
        parsed.error = reader.missingValue(error);
        parsed.exitStatus = EXIT_BAD_CONFIG;
    } catch (const CLI::ConversionError&) {
        // The only option CLI11 converts: the others are read as text, and checked here.
        parsed.error = "--discovery, --no-discovery and --metrics take no value but true or false";
        parsed.exitStatus = EXIT_BAD_CONFIG;
    } catch (const CLI::ParseError& error) {
        parsed.error = error.what();
        parsed.exitStatus = EXIT_BAD_CONFIG;
    } catch (const Refused& refused) {
        parsed.error = refused.message;
        parsed.exitStatus = EXIT_BAD_CONFIG;
    }
    if (parsed.exitStatus) {
        parsed.warnings.clear();
    }
    return parsed;
}

} // namespace ledboardd
