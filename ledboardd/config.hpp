// The daemon's settings, from its command line and its configuration file (same keys; the
// command line wins).
#pragma once

#include "log.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace ledboardd {

// Exit statuses. A bad configuration has its own (sysexits.h's EX_CONFIG), which the systemd unit
// does not restart on: starting again cannot fix it.
inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILURE_OTHER = 1;
inline constexpr int EXIT_BAD_CONFIG = 78;

inline constexpr const char* DEFAULT_CONFIG_FILE = "/etc/ledboard/ledboardd.conf";

struct Settings {
    std::string host = "localhost";
    int port = 1883;
    std::string prefix = "ledboard";
    std::chrono::milliseconds interval{50};
    std::string clientId;
    std::string username;
    std::optional<std::string> password; // read from --password-file
    LogLevel logLevel = LogLevel::Info;
    // The HTTP front end: off while httpPort is 0.
    std::string httpHost;
    int httpPort = 0;
    std::optional<std::string> httpToken; // read from --http-token-file
};

struct ParsedSettings {
    Settings settings;
    // When set, the program ends at once with this status (after --help, --version or an error,
    // whose message has been printed).
    std::optional<int> exitStatus;
};

ParsedSettings parseSettings(int argc, char** argv);

} // namespace ledboardd
