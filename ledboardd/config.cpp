#include "config.hpp"

#include "http_rules.hpp"
#include "parsing.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <map>

namespace ledboardd {

namespace {

constexpr int DEFAULT_MQTT_PORT = 1883;
// Reads faster than this gain nothing on a full-speed device and load the bus; slower than this
// and a press is noticed too late to be useful.
constexpr int MIN_INTERVAL_MS = 5;
constexpr int MAX_INTERVAL_MS = 60000;
// A password file is one line; anything much longer is not one.
constexpr std::size_t MAX_PASSWORD_LENGTH = 4096;

// A configuration error in the form the command line's errors take.
[[noreturn]] void refuse(const std::string& message)
{
    throw CLI::ValidationError(message);
}

std::string readPassword(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        refuse("--password-file: cannot read " + path);
    }
    std::string password;
    std::getline(file, password);
    if (password.size() > MAX_PASSWORD_LENGTH) {
        refuse("--password-file: " + path + " holds no password (its first line is too long)");
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return password;
}

// The HTTP token: the first line of its file, without the white space around it.
std::string readToken(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        refuse("--http-token-file: cannot read " + path);
    }
    std::string token;
    std::getline(file, token);
    const std::size_t first = token.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        refuse("--http-token-file: " + path + " holds no token (its first line is empty)");
    }
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, first);
    if (token.size() > MAX_PASSWORD_LENGTH) {
        refuse("--http-token-file: " + path + " holds no token (its first line is too long)");
    }
    return token;
}

} // namespace

ParsedSettings parseSettings(int argc, char** argv)
{
    ParsedSettings parsed;
    Settings& settings = parsed.settings;
    CLI::App app{"Bridges every LED board on this host to an MQTT broker.", "ledboardd"};
    app.set_config("--config", DEFAULT_CONFIG_FILE,
                   "Read settings from FILE (key = value, the long option names); the command "
                   "line wins. Read when present by default")
        ->type_name("FILE");
    app.set_version_flag("--version", LEDBOARD_VERSION);

    std::string broker = "localhost:1883";
    app.add_option("--broker", broker, "The MQTT broker, HOST[:PORT]")
        ->type_name("HOST[:PORT]")
        ->capture_default_str();
    app.add_option("--prefix", settings.prefix, "The first topic level(s) of every topic")
        ->type_name("TOPIC")
        ->capture_default_str();
    int interval = static_cast<int>(settings.interval.count());
    app.add_option("--interval", interval, "How often each board is read, in milliseconds")
        ->type_name("MS")
        ->check(CLI::Range(MIN_INTERVAL_MS, MAX_INTERVAL_MS))
        ->capture_default_str();
    app.add_option("--client-id", settings.clientId,
                   "The MQTT client id (default: ledboardd-HOSTNAME-PID)");
    app.add_option("--username", settings.username, "The MQTT user name");
    std::string passwordFile;
    app.add_option("--password-file", passwordFile,
                   "Read the MQTT password from the first line of FILE")
        ->type_name("FILE");
    const std::map<std::string, LogLevel> levels{{"error", LogLevel::Error},
                                                 {"warning", LogLevel::Warning},
                                                 {"info", LogLevel::Info},
                                                 {"debug", LogLevel::Debug}};
    app.add_option("--log-level", settings.logLevel, "Log up to this level")
        ->transform(CLI::CheckedTransformer(levels, CLI::ignore_case))
        ->type_name("error|warning|info|debug");
    std::string http;
    app.add_option("--http", http,
                   "Serve the HTTP API and page on ADDR:PORT ([IPV6]:PORT; a bare PORT means "
                   "127.0.0.1:PORT). Off unless given")
        ->type_name("ADDR:PORT");
    std::string httpTokenFile;
    app.add_option("--http-token-file", httpTokenFile,
                   "Require the token on the first line of FILE for the HTTP API; needed for "
                   "an address other hosts can reach")
        ->type_name("FILE");

    try {
        app.parse(argc, argv);
        const BrokerAddress address = parseBroker(broker, DEFAULT_MQTT_PORT);
        if (!address.ok) {
            refuse("--broker: not HOST[:PORT] with a port from 1 to 65535: " + broker);
        }
        settings.host = address.host;
        settings.port = address.port;
        if (!isValidPrefix(settings.prefix)) {
            refuse("--prefix: not a topic without wildcards or empty levels: " + settings.prefix);
        }
        settings.interval = std::chrono::milliseconds{interval};
        if (!passwordFile.empty()) {
            settings.password = readPassword(passwordFile);
        }
        if (settings.password && settings.username.empty()) {
            refuse("--password-file needs --username");
        }
        if (!http.empty()) {
            const HttpAddress listen = parseHttpAddress(http);
            if (!listen.ok) {
                refuse("--http: not ADDR:PORT, [IPV6]:PORT or PORT with a port from 1 to "
                       "65535: " +
                       http);
            }
            settings.httpHost = listen.host;
            settings.httpPort = listen.port;
        }
        if (!httpTokenFile.empty()) {
            settings.httpToken = readToken(httpTokenFile);
        }
        if (settings.httpPort != 0 && !settings.httpToken && !isLoopbackHost(settings.httpHost)) {
            refuse("--http: " + settings.httpHost +
                   " can be reached from other hosts; give --http-token-file as well");
        }
    } catch (const CLI::CallForHelp& help) {
        parsed.exitStatus = app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        parsed.exitStatus = app.exit(version);
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "<3>ledboardd: %s\n", error.what());
        parsed.exitStatus = EXIT_BAD_CONFIG;
    }
    return parsed;
}

} // namespace ledboardd
