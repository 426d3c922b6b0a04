// The daemon's settings, from its command line and its configuration file (same keys; the
// command line wins).
#pragma once

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
// Without --state-dir: systemd's StateDirectory= (its $STATE_DIRECTORY), else this.
inline constexpr const char* DEFAULT_STATE_DIRECTORY = "/var/lib/ledboardd";

inline constexpr int LOG_LEVEL_ERROR = 3;
inline constexpr int LOG_LEVEL_WARNING = 4;
inline constexpr int LOG_LEVEL_INFO = 6;
inline constexpr int LOG_LEVEL_DEBUG = 7;

// A name the configuration file gives a board, which it knows by its serial number or (for a board
// without one) by the port it is plugged into.
struct BoardName {
    std::string serial; // one of these two
    std::string port;
    std::string name;

    bool operator==(const BoardName&) const = default;
};

struct Settings {
    std::string host = "localhost";
    int port = 1883;
    std::string prefix = "ledboard";
    std::chrono::milliseconds interval{50};
    std::string clientId;
    std::string username;
    std::optional<std::string> password; // read from --password-file
    // journald's priorities (sd-daemon(3)): 3 error, 4 warning, 6 info, 7 debug.
    int logLevel = LOG_LEVEL_INFO;
    bool discovery = true;
    std::string discoveryPrefix = "homeassistant";
    // TLS when cafile is set (checked to be readable PEM files, as are the other two).
    std::string cafile;
    std::string certFile;
    std::string keyFile;
    // The HTTP front end: off while httpPort is 0.
    std::string httpHost;
    int httpPort = 0;
    std::optional<std::string> httpToken; // read from --http-token-file
    // Where the boards' state is kept across restarts; empty: nowhere (said in `warnings`).
    std::string stateDirectory;
    bool metrics = false; // GET /metrics, with --http
    // Button gestures: a second press within `doublePress` of the first makes a double press; a
    // press held `longPress` makes a long one.
    std::chrono::milliseconds doublePress{400};
    std::chrono::milliseconds longPress{800};
    std::vector<BoardName> names;
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
// when it exists) and every file the settings name. `stateDirectoryFromSystemd` is
// $STATE_DIRECTORY, or null. Prints nothing.
ParsedSettings parseSettings(int argc, const char* const* argv,
                             const char* defaultConfigFile = DEFAULT_CONFIG_FILE,
                             const char* stateDirectoryFromSystemd = nullptr,
                             const char* defaultStateDirectory = DEFAULT_STATE_DIRECTORY);

} // namespace ledboardd
