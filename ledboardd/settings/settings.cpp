#include "settings.hpp"

#include "settings_text.hpp"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace ledboardd {

namespace {

constexpr int DEFAULT_MQTT_PORT = 1883;
constexpr int DEFAULT_MQTTS_PORT = 8883;
// Reads faster than this gain nothing on a full-speed device and load the bus; slower than this
// and a press is noticed too late to be useful.
constexpr int MIN_INTERVAL_MS = 5;
constexpr int MAX_INTERVAL_MS = 60000;
// A password file is one line; anything much longer is not one.
constexpr std::size_t MAX_PASSWORD_LENGTH = 4096;
// A configuration file or a password or token file larger than this is not one.
constexpr std::size_t MAX_SETTINGS_FILE = std::size_t{1024} * 1024;
// The first PEM block of a certificate bundle is near its start; Debian's whole bundle of
// authorities is about 200 KiB.
constexpr std::size_t PEM_SEARCH_LIMIT = std::size_t{4} * 1024 * 1024;
// A value quoted in a message is cut after this many bytes.
constexpr std::size_t QUOTED_LIMIT = 60;

// --help's layout: the option names in a column this wide, the descriptions after it, and no
// line wider than 79 columns. CLI11 does not wrap, so longer descriptions hold their own breaks.
constexpr std::size_t HELP_COLUMN = 28;

// What ends the reading of the settings: one message, printed as the program's only line.
struct Refused {
    std::string message;
};

[[noreturn]] void refuse(std::string message)
{
    throw Refused{std::move(message)};
}

// A value as it was given, and where: "--interval" on the command line, "FILE:LINE: interval" in
// the configuration file (what a message about it starts with). No origin: not given.
struct Given {
    std::string text;
    std::string origin;

    bool given() const { return !origin.empty(); }
};

// `text` in double quotes for a message: control characters and bytes outside ASCII escaped,
// so that a message stays one printable line, and a long text cut short.
std::string inQuotes(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text.substr(0, QUOTED_LIMIT)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", byte);
            out += escaped.data();
        } else {
            out += c;
        }
    }
    out += text.size() > QUOTED_LIMIT ? "\"..." : "\"";
    return out;
}

// The descriptor of an open file, closed when it goes.
class OpenFile {
public:
    explicit OpenFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void refuseUnreadable(const std::string& origin, const std::string& path, int error)
{
    std::string message = origin;
    message.append(": cannot read ").append(path).append(": ").append(std::strerror(error));
    refuse(std::move(message));
}

// The first `limit` bytes of the regular file at `path`, read at start so that a file the
// daemon cannot use ends it with a bad configuration rather than failing later, at each
// connection attempt. Opened without blocking, so that a FIFO named by mistake is refused, not
// waited on.
std::string readFileStart(const std::string& origin, const std::string& path, std::size_t limit)
{
    if (path.empty()) {
        refuse(origin + ": an empty file name");
    }
    const OpenFile file(path);
    struct stat status {};
    if (file.fd() < 0 || fstat(file.fd(), &status) != 0) {
        refuseUnreadable(origin, path, errno);
    }
    if (S_ISDIR(status.st_mode)) {
        refuse(origin + ": " + path + " is a directory, not a file");
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(origin + ": " + path + " is not a regular file");
    }
    std::string text(std::min<std::size_t>(limit, static_cast<std::size_t>(status.st_size)), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got = ::read(file.fd(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            refuseUnreadable(origin, path, errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return text;
}

std::string firstLine(std::string_view text)
{
    return std::string{text.substr(0, text.find('\n'))};
}

std::string readPassword(const Given& file)
{
    std::string password = firstLine(readFileStart(file.origin, file.text, MAX_SETTINGS_FILE));
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (password.size() > MAX_PASSWORD_LENGTH) {
        refuse(file.origin + ": " + file.text + " holds no password (its first line is too long)");
    }
    return password;
}

// The HTTP token: the first line of its file, without the white space around it.
std::string readToken(const Given& file)
{
    std::string token = firstLine(readFileStart(file.origin, file.text, MAX_SETTINGS_FILE));
    const std::size_t first = token.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        refuse(file.origin + ": " + file.text + " holds no token (its first line is empty)");
    }
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, first);
    if (token.size() > MAX_PASSWORD_LENGTH) {
        refuse(file.origin + ": " + file.text + " holds no token (its first line is too long)");
    }
    return token;
}

// ASCII letters in lower case, whatever the locale.
std::string lowerCase(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

int readInterval(const Given& interval)
{
    const std::string& text = interval.text;
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool whole = error == std::errc{} && end == text.data() + text.size() && !text.empty() &&
                       text.front() != '-';
    if (!whole || value < MIN_INTERVAL_MS || value > MAX_INTERVAL_MS) {
        refuse(interval.origin + ": " + inQuotes(text) +
               " is not a number of milliseconds from 5 to 60000");
    }
    return value;
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

// A file's `discovery = VALUE` (or `no-discovery = VALUE`, the other way round): the words a
// boolean setting is commonly written with.
bool readSwitch(const std::string& origin, const std::string& text)
{
    const std::string lower = lowerCase(text);
    for (const char* yes : {"true", "yes", "on", "1"}) {
        if (lower == yes) {
            return true;
        }
    }
    for (const char* no : {"false", "no", "off", "0"}) {
        if (lower == no) {
            return false;
        }
    }
    refuse(origin + ": " + inQuotes(text) + " is not true or false");
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

// A certificate or key file: readable, regular, and holding a PEM block of its kind, which is
// all the TLS library reads. Whether the certificates are right (signed by the broker's
// authority, the key matching) only the connection shows.
void checkPemFile(const Given& file, PemKind kind)
{
    if (!holdsPemBlock(readFileStart(file.origin, file.text, PEM_SEARCH_LIMIT), kind)) {
        refuse(file.origin + ": " + file.text + " holds no PEM " +
               (kind == PemKind::Certificate ? "certificate" : "private key"));
    }
}

// --help as a daemon's usually reads: each option's names and the kind of value it takes, then
// what it does; no defaults or checks in CLI11's notation, which the descriptions say in words.
class HelpFormatter final : public CLI::Formatter {
public:
    HelpFormatter() { column_width(HELP_COLUMN); }

    std::string make_option_name(const CLI::Option* option, bool /*positional*/) const override
    {
        std::string names;
        for (const std::string& name : option->get_snames()) {
            names += (names.empty() ? "-" : ", -") + name;
        }
        for (const std::string& name : option->get_lnames()) {
            names += (names.empty() ? "--" : ", --") + name;
        }
        return names;
    }

    std::string make_option_opts(const CLI::Option* option) const override
    {
        const std::string type = option->get_type_name();
        return option->get_type_size() == 0 || type.empty() ? std::string{} : " " + type;
    }
};

// The settings that take a value, by key (the long option without its dashes), with the kind of
// value --help shows and what it says of them.
struct ValueOption {
    const char* key;
    const char* type;
    const char* description;
};
constexpr std::array<ValueOption, 13> VALUE_OPTIONS{{
    {"broker", "HOST[:PORT]",
     "MQTT broker (default localhost:1883; the port is\n8883 with --cafile)"},
    {"prefix", "TOPIC", "First topic level(s) of every topic (ledboard)"},
    {"interval", "MS", "How often each board is read, in milliseconds,\n5 to 60000 (50)"},
    {"client-id", "ID", "MQTT client id (ledboardd-HOSTNAME-PID)"},
    {"username", "NAME", "MQTT user name"},
    {"password-file", "FILE", "Read the MQTT password from FILE's first line"},
    {"cafile", "FILE", "Use TLS, trusting the CA certificates in FILE"},
    {"cert", "FILE", "Client certificate for TLS, with --key"},
    {"key", "FILE", "The client certificate's private key"},
    {"discovery-prefix", "TOPIC", "Home Assistant's discovery prefix (homeassistant)"},
    {"http", "ADDR:PORT",
     "Serve the HTTP API and page there (off by default;\na bare PORT "
     "means 127.0.0.1:PORT)"},
    {"http-token-file", "FILE",
     "Ask HTTP clients for the token in FILE (needed\nfor an address "
     "other hosts can reach)"},
    {"state-dir", "DIR",
     "Keep the boards' state in DIR across restarts\n(default: $STATE_DIRECTORY, else\n"
     "/var/lib/ledboardd)"},
}};

// The command line and the configuration file, read into the values as given.
class Reader {
public:
    Reader(int argc, const char* const* argv, const char* defaultConfigFile)
        : argc_(argc), argv_(argv), defaultConfigFile_(defaultConfigFile)
    {
        app_.formatter(std::make_shared<HelpFormatter>());
        app_.set_help_flag("-h,--help", "Show this help and exit");
        app_.set_version_flag("--version", std::string{"ledboardd "} + LEDBOARD_VERSION,
                              "Show the version and exit");
        app_.footer("Each option can also be a key = value line in the configuration file, the\n"
                    "key without its dashes; the command line wins. See ledboardd(8).");
        // Repeated options are counted, not refused by CLI11, so that the message is ours.
        app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        app_.allow_extras();
        app_.add_option("--config", config_.text,
                        "Read settings from FILE (by default\n" + std::string{defaultConfigFile} +
                            ", when it exists)")
            ->type_name("FILE");
        for (const ValueOption& option : VALUE_OPTIONS) {
            // The switch goes beside its prefix.
            if (std::strcmp(option.key, "discovery-prefix") == 0) {
                discoveryOption_ = app_.add_flag("--discovery,!--no-discovery", discovery_,
                                                 "Publish Home Assistant discovery messages\n"
                                                 "(on by default)");
            }
            const std::string name = std::string{"--"} + option.key;
            options_[option.key] =
                app_.add_option(name, values_[option.key].text, option.description)
                    ->type_name(option.type);
        }
        logLevelOption_ = app_.add_option("--log-level", logLevel_.text,
                                          "error, warning, info (default) or debug")
                              ->type_name("LEVEL");
    }

    // Returns the values as given, or throws: CLI11's help and version requests and parse
    // errors, or Refused.
    void read()
    {
        app_.parse(argc_, argv_);
        if (const std::vector<std::string> extras = app_.remaining(); !extras.empty()) {
            const std::string& extra = extras.front();
            if (extra.starts_with("-")) {
                refuse("unknown option " + extra.substr(0, extra.find('=')));
            }
            refuse("unexpected argument " + inQuotes(extra) + ": ledboardd takes options only");
        }
        for (const CLI::Option* option : app_.get_options()) {
            if (option->count() > 1) {
                refuse(option == discoveryOption_
                           ? std::string{"--discovery or --no-discovery given twice"}
                           : option->get_name() + " given twice");
            }
        }
        for (auto& [key, given] : values_) {
            if (options_.at(key)->count() == 1) {
                given.origin = "--" + key;
            }
        }
        if (logLevelOption_->count() == 1) {
            logLevel_.origin = "--log-level";
        }
        readConfigFile();
    }

    // CLI11's "--broker: 1 required HOST[:PORT] missing" in the program's words.
    std::string missingValue(const CLI::ArgumentMismatch& error) const
    {
        std::string text = error.what();
        for (const CLI::Option* option : app_.get_options()) {
            const std::string name = option->get_name();
            if (text.starts_with(name + ":")) {
                return name + " needs a value: " + option->get_type_name();
            }
        }
        return text;
    }

    Given& value(const std::string& key) { return values_.at(key); }
    const Given& logLevel() const { return logLevel_; }
    bool discovery() const { return discovery_; }
    std::string help() const { return app_.help(); }

private:
    // Values from the file fill only what the command line left out.
    void readConfigFile()
    {
        const bool chosen = app_.get_option("--config")->count() == 1;
        std::string path = chosen ? config_.text : std::string{defaultConfigFile_};
        if (!chosen) {
            struct stat status {};
            if (stat(path.c_str(), &status) != 0 && errno == ENOENT) {
                return;
            }
        }
        const std::string text = readFileStart("--config", path, MAX_SETTINGS_FILE);
        const ConfigText config = parseConfigText(text);
        const auto at = [&path](int line) { return path + ":" + std::to_string(line) + ": "; };
        if (config.errorLine != 0) {
            refuse(at(config.errorLine) + config.error);
        }
        const ConfigEntry* discoveryEntry = nullptr;
        for (const ConfigEntry& entry : config.entries) {
            const std::string origin = at(entry.line) + entry.key;
            if (entry.key == "discovery" || entry.key == "no-discovery") {
                if (discoveryEntry != nullptr) {
                    refuse(at(entry.line) + "discovery and no-discovery: give one of them");
                }
                discoveryEntry = &entry;
                const bool on = readSwitch(origin, entry.value) == (entry.key == "discovery");
                if (discoveryOption_->count() == 0) {
                    discovery_ = on;
                }
                continue;
            }
            Given* given = entry.key == "log-level" ? &logLevel_ : nullptr;
            if (const auto found = values_.find(entry.key); found != values_.end()) {
                given = &found->second;
            }
            if (given == nullptr) {
                refuse(at(entry.line) + "unknown key " + inQuotes(entry.key));
            }
            if (!given->given()) {
                *given = Given{entry.value, origin};
            }
        }
    }

    int argc_;
    const char* const* argv_;
    const char* defaultConfigFile_;
    CLI::App app_{"Bridges this host's LED boards to an MQTT broker and, with --http, to HTTP.",
                  "ledboardd"};
    Given config_;
    std::map<std::string, Given> values_;
    std::map<std::string, CLI::Option*> options_;
    Given logLevel_;
    CLI::Option* logLevelOption_ = nullptr;
    bool discovery_ = true;
    CLI::Option* discoveryOption_ = nullptr;
};

// The values as given turned into settings, each refused with a reason when it cannot be used.
// Why `directory` cannot hold the state file (not a folder, not writable), or an empty text.
std::string stateDirectoryProblem(const std::string& directory)
{
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return "not a directory";
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        return std::strerror(errno);
    }
    return {};
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

void settle(Reader& reader, ParsedSettings& parsed, const char* stateFromSystemd,
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
    settings.discovery = reader.discovery();
    if (has("interval")) {
        settings.interval = std::chrono::milliseconds{readInterval(reader.value("interval"))};
    }
    if (reader.logLevel().given()) {
        settings.logLevel = readLogLevel(reader.logLevel());
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
    settleStateDirectory(reader.value("state-dir"), stateFromSystemd, usualState, parsed);
}

} // namespace

ParsedSettings parseSettings(int argc, const char* const* argv, const char* defaultConfigFile,
                             const char* stateDirectoryFromSystemd,
                             const char* defaultStateDirectory)
{
    ParsedSettings parsed;
    Reader reader(argc, argv, defaultConfigFile);
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
        parsed.error = "--discovery and --no-discovery take no value but true or false";
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
