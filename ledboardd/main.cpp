// ledboardd: every LED board on this host, bridged to an MQTT broker and, when asked, to HTTP.
// Runs in the foreground and logs to stderr, as systemd expects of a service.
#include "boards.hpp"
#include "config.hpp"
#include "http_server.hpp"
#include "log.hpp"
#include "mqtt_bridge.hpp"
#include "registry.hpp"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// At start, how long the boards' first reads are waited for before the broker is told what is
// here: each takes milliseconds, but a stalled board holds its read for the 5 s USB timeout.
constexpr std::chrono::milliseconds SETTLE_LIMIT{2000};
// From a stop signal to exit: the offline messages' acknowledgements, then the boards' threads.
constexpr std::chrono::milliseconds ACKNOWLEDGE_LIMIT{400};
constexpr std::chrono::milliseconds THREADS_LIMIT{400};
// The event streams end at once; a request inside its body or a slow client's write may not.
constexpr std::chrono::milliseconds HTTP_LIMIT{150};

std::string hostName()
{
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name.data();
}

} // namespace

int main(int argc, char** argv)
{
    using namespace ledboardd;
    const ParsedSettings parsed = parseSettings(argc, argv);
    if (parsed.exitStatus) {
        std::fputs(parsed.output.c_str(), stdout);
        if (!parsed.error.empty()) {
            std::fprintf(stderr, "<3>ledboardd: %s\n", parsed.error.c_str());
        }
        return *parsed.exitStatus;
    }
    const Settings& settings = parsed.settings;
    setLogLevel(settings.logLevel);
    for (const std::string& warning : parsed.warnings) {
        logLine(LogLevel::Warning, warning);
    }

    // Every thread started from here on inherits the mask: the stop signals are taken only by
    // sigwait below, never delivered in the middle of a board request or a library call.
    // SIGHUP (a closed terminal, or a "reload" out of habit) stops it the same clean way: the
    // settings are not read again in place, and dying of it would leave the boards online on the
    // broker.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A broker that closes the socket must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const std::string host = hostName();
    MqttBridge bridge(MqttOptions{
        .host = settings.host,
        .port = settings.port,
        .prefix = settings.prefix,
        .clientId = settings.clientId,
        .username = settings.username,
        .password = settings.password,
        .hostName = host,
        .discovery = settings.discovery,
        .discoveryPrefix = settings.discoveryPrefix,
        .cafile = settings.cafile,
        .certFile = settings.certFile,
        .keyFile = settings.keyFile,
    });
    // One core for the boards; each front end gets its events.
    Registry registry;
    BoardEventsFanout frontEnds;
    frontEnds.add(bridge);
    frontEnds.add(registry);
    Boards boards(BoardsOptions{.interval = settings.interval, .hostName = host}, frontEnds);
    bridge.attach(boards);
    std::optional<HttpServer> http;
    if (settings.httpPort != 0) {
        http.emplace(HttpOptions{.host = settings.httpHost,
                                 .port = settings.httpPort,
                                 .token = settings.httpToken,
                                 .hostName = host},
                     registry, boards);
        if (!http->start()) {
            return EXIT_FAILURE_OTHER;
        }
    }
    // The boards first: connected, the bridge tells the broker which boards are here and marks
    // the previous run's others offline, and a board still being found would be one of those.
    boards.start();
    if (!boards.waitUntilSettled(SETTLE_LIMIT)) {
        logLine(LogLevel::Warning, "a board has not answered yet; connecting without it");
    }
    if (!bridge.start()) {
        return EXIT_FAILURE_OTHER;
    }
    logf(LogLevel::Info, "serving the boards of %s under %s/, broker %s:%d", host.c_str(),
         settings.prefix.c_str(), settings.host.c_str(), settings.port);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    logf(LogLevel::Info, "stopping (signal %d)", signal);
    if (http && !http->stop(HTTP_LIMIT)) {
        logLine(LogLevel::Warning, "an HTTP client did not let go in time; exiting without it");
        bridge.shutDown(ACKNOWLEDGE_LIMIT);
        std::_Exit(EXIT_OK);
    }
    bridge.shutDown(ACKNOWLEDGE_LIMIT);
    if (!boards.stop(THREADS_LIMIT)) {
        // A board inside its 5 s request timeout: its thread cannot be waited for, and the
        // broker has been told already.
        logLine(LogLevel::Warning, "a board did not answer in time; exiting without it");
        std::_Exit(EXIT_OK);
    }
    return EXIT_OK;
}
