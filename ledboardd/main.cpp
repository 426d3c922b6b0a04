// ledboardd: every LED board on this host, bridged to an MQTT broker and, when asked, to HTTP.
// Runs in the foreground and logs to stderr, as systemd expects of a service. One core (core/hub)
// owns the boards; MQTT and HTTP are front ends around it.
#include "http_server.hpp"
#include "hub.hpp"
#include "log.hpp"
#include "mqtt_bridge.hpp"
#include "mqtt_client.hpp"
#include "mqtt_topics.hpp"
#include "scanner.hpp"
#include "settings.hpp"
#include "state_store.hpp"
#include "timers.hpp"

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
// Reads missed in a row before a board counts as not answering: one can be a glitch, three are not.
constexpr unsigned MISSES_ALLOWED = 3;
// The event streams end at once; a slow client's write may not.
constexpr std::chrono::milliseconds HTTP_LIMIT{150};

std::string hostName()
{
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name.data();
}

// Where Home Assistant's users find the live page: the address it serves on, or this host's name
// where it serves on every address.
std::string pageAddress(const std::string& listen, int port, const std::string& host)
{
    std::string name = listen;
    if (listen == "0.0.0.0" || listen == "::") {
        name = host;
    } else if (listen.find(':') != std::string::npos) {
        name = "[" + listen + "]";
    }
    return "http://" + name + ":" + std::to_string(port) + "/";
}

} // namespace

int main(int argc, char** argv)
{
    using namespace ledboardd;
    const ParsedSettings parsed =
        parseSettings(argc, argv, DEFAULT_CONFIG_FILE, std::getenv("STATE_DIRECTORY"));
    if (parsed.exitStatus) {
        std::fputs(parsed.output.c_str(), stdout);
        if (!parsed.error.empty()) {
            std::fprintf(stderr, "<3>ledboardd: %s\n", parsed.error.c_str());
        }
        return *parsed.exitStatus;
    }
    const Settings& settings = parsed.settings;
    setLogLevel(static_cast<LogLevel>(settings.logLevel));
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
    // A broker or an HTTP client that closes its socket must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const std::string host = hostName();
    std::vector<BoardNaming> names;
    for (const BoardName& named : settings.names) {
        names.push_back({.serial = named.serial, .port = named.port, .name = named.name});
    }
    Hub hub(HubOptions{
        .interval = settings.interval,
        .missesAllowed = MISSES_ALLOWED,
        .names = std::move(names),
        .timeReads = settings.metrics,
        .gestures = {.doublePress = settings.doublePress, .longPress = settings.longPress}});
    Timers timers;
    StateStore store(hub, settings.stateDirectory);
    hub.restore(store.load());
    hub.setStateSink(&store);
    store.start();

    const Topics topics(settings.prefix, host, settings.discoveryPrefix);
    const std::string pageUrl = settings.httpPort == 0
                                    ? std::string{}
                                    : pageAddress(settings.httpHost, settings.httpPort, host);
    std::optional<MqttClient> client;
    std::optional<MqttBridge> bridge;
    // The bridge is made before the client that calls it, and the client before the bridge
    // publishes through it: each needs the other's address only.
    struct Relay final : MqttEvents {
        explicit Relay(std::optional<MqttBridge>& made) : bridge(made) {}
        std::optional<MqttBridge>& bridge;
        void connected() override { bridge->connected(); }
        void disconnected() override { bridge->disconnected(); }
        void message(const std::string& topic, std::string_view payload, bool retain) override
        {
            bridge->message(topic, payload, retain);
        }
        void published(int messageId) override { bridge->published(messageId); }
        void subscribed(int messageId) override { bridge->subscribed(messageId); }
    } relay(bridge);
    client.emplace(
        MqttClientOptions{
            .host = settings.host,
            .port = settings.port,
            // Stable, so that the broker keeps the session (and the commands sent meanwhile)
            // across restarts.
            .clientId =
                settings.clientId.empty() ? "ledboardd-" + topicLevel(host) : settings.clientId,
            .username = settings.username,
            .password = settings.password,
            .cafile = settings.cafile,
            .certFile = settings.certFile,
            .keyFile = settings.keyFile,
            .willTopic = topics.bridgeAvailability(),
            .willPayload = OFFLINE,
        },
        relay);
    bridge.emplace(hub, *client, timers,
                   BridgeOptions{.prefix = settings.prefix,
                                 .hostName = host,
                                 .discovery = settings.discovery,
                                 .discoveryPrefix = settings.discoveryPrefix,
                                 .version = LEDBOARD_VERSION,
                                 .brokerName = settings.host + ":" + std::to_string(settings.port),
                                 .configurationUrl = pageUrl,
                                 .supportUrl = *LEDBOARD_SUPPORT_URL != '\0' ? LEDBOARD_SUPPORT_URL
                                                                             : pageUrl});

    std::optional<HttpServer> http;
    if (settings.httpPort != 0) {
        http.emplace(HttpOptions{.host = settings.httpHost,
                                 .port = settings.httpPort,
                                 .token = settings.httpToken,
                                 .hostName = host,
                                 .interval = settings.interval,
                                 .metrics = settings.metrics},
                     hub);
        if (!http->start()) {
            return EXIT_FAILURE_OTHER;
        }
    }
    // The boards first: connected, the bridge tells the broker which boards are here, and a board
    // still being found would be taken for one that is away.
    Scanner scanner(hub, ScannerOptions{.interval = settings.interval, .hostName = host});
    scanner.start();
    if (!scanner.waitUntilSettled(SETTLE_LIMIT)) {
        logLine(LogLevel::Warning, "a board has not answered yet; connecting without it");
    }
    hub.markStarted();
    if (!client->start()) {
        return EXIT_FAILURE_OTHER;
    }
    logf(LogLevel::Info, "serving the boards of %s under %s/, broker %s:%d", host.c_str(),
         settings.prefix.c_str(), settings.host.c_str(), settings.port);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    logf(LogLevel::Info, "stopping (signal %d)", signal);
    const bool httpStopped = !http || http->stop(HTTP_LIMIT);
    client->stop(bridge->goOffline(ACKNOWLEDGE_LIMIT));
    store.stop();
    if (!httpStopped) {
        logLine(LogLevel::Warning, "an HTTP client did not let go in time; exiting without it");
        std::_Exit(EXIT_OK);
    }
    if (!scanner.stop(THREADS_LIMIT)) {
        // A board inside its 5 s request timeout: its thread cannot be waited for, and the
        // broker has been told already.
        logLine(LogLevel::Warning, "a board did not answer in time; exiting without it");
        std::_Exit(EXIT_OK);
    }
    return EXIT_OK;
}
