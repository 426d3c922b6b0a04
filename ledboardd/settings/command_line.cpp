#include "command_line.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace ledboardd {

namespace {

// --help's layout: the option names in a column this wide, the descriptions after it, and no
// line wider than 79 columns. CLI11 does not wrap, so longer descriptions hold their own breaks.
constexpr std::size_t HELP_COLUMN = 28;

// The only section the configuration file has: one per board it names.
constexpr const char* BOARD_SECTION = "board";

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
constexpr std::array<ValueOption, 15> VALUE_OPTIONS{{
    {"broker", "HOST[:PORT]",
     "MQTT broker (default localhost:1883; the port is\n8883 with --cafile)"},
    {"prefix", "TOPIC", "First topic level(s) of every topic (ledboard)"},
    {"interval", "MS", "How often each board is read, in milliseconds,\n5 to 60000 (50)"},
    {"client-id", "ID", "MQTT client id (ledboardd-HOSTNAME)"},
    {"username", "NAME", "MQTT user name"},
    {"password-file", "FILE", "Read the MQTT password from FILE's first line"},
    {"cafile", "FILE", "Use TLS, trusting the CA certificates in FILE"},
    {"cert", "FILE", "Client certificate for TLS, with --key"},
    {"key", "FILE", "The client certificate's private key"},
    {"discovery-prefix", "TOPIC", "Home Assistant's discovery prefix (homeassistant)"},
    {"http", "ADDR:PORT",
     "Serve the HTTP API, the page and /healthz there\n(off by default; a bare PORT "
     "means\n127.0.0.1:PORT)"},
    {"http-token-file", "FILE",
     "Ask HTTP clients for the token in FILE (needed\nfor an address "
     "other hosts can reach)"},
    {"state-dir", "DIR",
     "Keep the boards' state in DIR across restarts\n(default: $STATE_DIRECTORY, else\n"
     "/var/lib/ledboardd)"},
    {"double-press", "MS",
     "Two presses within MS milliseconds are a double\npress, 100 to 5000 (400)"},
    {"long-press", "MS", "A press held MS milliseconds is a long press,\n100 to 10000 (800)"},
}};

// The settings that are on or off. Each has a --no- form when it is on by default.
struct Switch {
    const char* key;
    bool byDefault;
    const char* description;
    const char* after; // the value option it is listed after in --help
};
constexpr std::array<Switch, 2> SWITCHES{{
    {"discovery", true, "Publish Home Assistant discovery messages\n(on by default)",
     "discovery-prefix"},
    {"metrics", false,
     "Serve Prometheus metrics at /metrics (with --http;\nthe token as for the API)",
     "http-token-file"},
}};

} // namespace

CommandLine::CommandLine(int argc, const char* const* argv, const char* defaultConfigFile)
    : argc_(argc), argv_(argv), defaultConfigFile_(defaultConfigFile)
{
    app_.formatter(std::make_shared<HelpFormatter>());
    app_.set_help_flag("-h,--help", "Show this help and exit");
    app_.set_version_flag("--version", std::string{"ledboardd "} + LEDBOARD_VERSION,
                          "Show the version and exit");
    app_.footer("With --http: GET /api/boards, GET or DELETE /api/boards/ID (DELETE forgets a\n"
                "board that is away), PUT /api/boards/ID/led (0 to 31), PUT\n"
                "/api/boards/ID/leds/N (LED 1 to 3: true or false), GET /api/events; GET\n"
                "/healthz answers 200 when the broker is connected and every board read, else\n"
                "503 with the reasons, and needs no token. For example:\n"
                "  curl -s -X PUT -d true localhost:8080/api/boards/A17/leds/2\n"
                "  curl -s localhost:8080/healthz\n"
                "\n"
                "Each option can also be a key = value line in the configuration file, the\n"
                "key without its dashes; the command line wins. See ledboardd(8).");
    // Repeated options are counted, not refused by CLI11, so that the message is ours.
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.allow_extras();
    app_.add_option("--config", config_.text,
                    "Read settings from FILE (by default\n" + std::string{defaultConfigFile} +
                        ", when it exists)")
        ->type_name("FILE");
    for (const ValueOption& option : VALUE_OPTIONS) {
        const std::string name = std::string{"--"} + option.key;
        options_[option.key] = app_.add_option(name, values_[option.key].text, option.description)
                                   ->type_name(option.type);
        for (const Switch& flag : SWITCHES) {
            if (std::strcmp(flag.after, option.key) != 0) {
                continue;
            }
            switches_[flag.key] = flag.byDefault;
            std::string names = std::string{"--"} + flag.key;
            if (flag.byDefault) {
                names += std::string{",!--no-"} + flag.key;
            }
            switchOptions_[flag.key] = app_.add_flag(names, switches_[flag.key], flag.description);
        }
    }
    options_["log-level"] = app_.add_option("--log-level", values_["log-level"].text,
                                            "error, warning, info (default) or debug")
                                ->type_name("LEVEL");
}

void CommandLine::read()
{
    app_.parse(argc_, argv_);
    if (const std::vector<std::string> extras = app_.remaining(); !extras.empty()) {
        const std::string& extra = extras.front();
        if (extra.starts_with("-")) {
            refuse("unknown option " + extra.substr(0, extra.find('=')));
        }
        refuse("unexpected argument " + inQuotes(extra) + ": ledboardd takes options only");
    }
    for (const auto& [key, option] : switchOptions_) {
        if (option->count() > 1) {
            const bool both = key == std::string{"discovery"};
            refuse(both ? "--discovery or --no-discovery given twice"
                        : "--" + key + " given twice");
        }
    }
    for (auto& [key, given] : values_) {
        const CLI::Option* option = options_.at(key);
        if (option->count() > 1) {
            refuse(option->get_name() + " given twice");
        }
        if (option->count() == 1) {
            given.origin = "--" + key;
        }
    }
    if (app_.get_option("--config")->count() > 1) {
        refuse("--config given twice");
    }
    readConfigFile();
}

std::string CommandLine::missingValue(const CLI::ArgumentMismatch& error) const
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

// Values from the file fill only what the command line left out.
void CommandLine::readConfigFile()
{
    const bool chosen = app_.get_option("--config")->count() == 1;
    const std::string path = chosen ? config_.text : std::string{defaultConfigFile_};
    if (!chosen) {
        struct stat status {};
        if (stat(path.c_str(), &status) != 0 && errno == ENOENT) {
            return;
        }
    }
    const ConfigText config = parseConfigText(readFileStart("--config", path, MAX_SETTINGS_FILE));
    const auto at = [&path](int line) { return path + ":" + std::to_string(line); };
    if (config.errorLine != 0) {
        refuse(at(config.errorLine) + ": " + config.error);
    }
    for (const ConfigSection& section : config.sections) {
        if (section.name != BOARD_SECTION) {
            refuse(at(section.line) + ": unknown section [" + section.name +
                   "]; the only one is [board]");
        }
        boards_.push_back({{}, at(section.line)});
    }
    std::map<std::string, const ConfigEntry*> switchEntries;
    for (const ConfigEntry& entry : config.entries) {
        const std::string origin = at(entry.line) + ": " + entry.key;
        if (entry.section != 0) {
            boards_[static_cast<std::size_t>(entry.section - 1)].values[entry.key] =
                Given{entry.value, origin};
            continue;
        }
        readFileEntry(path, entry, switchEntries);
    }
}

void CommandLine::readFileEntry(const std::string& path, const ConfigEntry& entry,
                                std::map<std::string, const ConfigEntry*>& switchEntries)
{
    const std::string line = path + ":" + std::to_string(entry.line);
    const std::string origin = line + ": " + entry.key;
    for (const Switch& flag : SWITCHES) {
        const std::string key = flag.key;
        const bool negated = flag.byDefault && entry.key == "no-" + key;
        if (entry.key != key && !negated) {
            continue;
        }
        if (switchEntries.contains(key)) {
            refuse(std::string(line)
                       .append(": ")
                       .append(key)
                       .append(" and no-")
                       .append(key)
                       .append(": give one of them"));
        }
        switchEntries[key] = &entry;
        const bool on = readSwitch(origin, entry.value) != negated;
        if (switchOptions_.at(key)->count() == 0) {
            switches_[key] = on;
        }
        return;
    }
    const auto found = values_.find(entry.key);
    if (found == values_.end()) {
        refuse(line + ": unknown key " + inQuotes(entry.key));
    }
    if (!found->second.given()) {
        found->second = Given{entry.value, origin};
    }
}

} // namespace ledboardd
