// The daemon's settings, from its command line and its configuration file (same keys; the
// command line wins).
#pragma once

#include "discovery.hpp"
#include "log.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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
    bool discovery = true;
    std::string discoveryPrefix = DEFAULT_DISCOVERY_PREFIX;
    // TLS when cafile is set (checked to be readable PEM files, as are the other two).
    std::string cafile;
    std::string certFile;
    std::string keyFile;
    // The HTTP front end: off while httpPort is 0.
    std::string httpHost;
    int httpPort = 0;
    std::optional<std::string> httpToken; // read from --http-token-file
};

struct ParsedSettings {
    Settings settings;
    // When set, the program ends at once with this status: after --help or --version, whose text
    // is in `output` for standard output, or after a bad configuration, which `error` explains
    // in one line for standard error.
    std::optional<int> exitStatus;
    std::string output;
    std::string error;
    // Settings taken although they are probably not what was meant (one has no effect without
    // another): logged as warnings once the log is set up.
    std::vector<std::string> warnings;
};

// Reads the command line and then the configuration file (--config's, else DEFAULT_CONFIG_FILE
// when it exists) and every file the settings name. Prints nothing.
ParsedSettings parseSettings(int argc, const char* const* argv,
                             const char* defaultConfigFile = DEFAULT_CONFIG_FILE);

} // namespace ledboardd
