// The MQTT front end: the core's events as retained state and availability messages, and `set`
// commands as calls on the core. Topics, under PREFIX:
//   PREFIX/ID/state         retained JSON {"led":L,"push":P,"jump":J}, QoS 1
//   PREFIX/ID/availability  retained "online" / "offline"
//   PREFIX/ID/button        "pressed" / "released" at each change, not retained
//   PREFIX/ID/set           (subscribed) the LED number 0 to 31
//   PREFIX/ID/error         why a `set` was refused, not retained
//   PREFIX/bridge/HOSTNAME/availability  retained "online"; "offline" as the last will
//   PREFIX/bridge/HOSTNAME/boards        retained JSON array of the ids served now
// and, unless turned off, Home Assistant's discovery configs (discovery.hpp).
//
// A consumer should take every board of a host as offline while that host's bridge availability
// is `offline`: a bridge killed outright cannot say `offline` for its boards, only its last will
// does. Home Assistant does so through the configs' availability_mode "all". After a restart the
// bridge reads its previous list of boards back and marks those that are not here offline.
#pragma once

#include "boards.hpp"
#include "discovery.hpp"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

struct mosquitto;
struct mosquitto_message;

namespace ledboardd {

struct MqttOptions {
    std::string host = "localhost";
    int port = 1883;
    std::string prefix = "ledboard";
    std::string clientId; // empty: one made of the host name and the process id
    std::string username;
    std::optional<std::string> password;
    std::string hostName;
    bool discovery = true;
    std::string discoveryPrefix = DEFAULT_DISCOVERY_PREFIX;
    // TLS when cafile is set; certFile and keyFile (both or neither) for a client certificate.
    std::string cafile;
    std::string certFile;
    std::string keyFile;
};

class MqttBridge final : public BoardEvents {
public:
    explicit MqttBridge(MqttOptions options);
    ~MqttBridge() override;
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Where `set` commands go. Set before start().
    void attach(Boards& boards) { boards_ = &boards; }

    // Connects in the background (retrying with growing delays) and returns. False, with a log
    // line, when libmosquitto cannot even be set up.
    bool start();

    // Publishes `offline` for every board and the bridge, waits at most `limit` for the broker to
    // acknowledge them, and disconnects.
    void shutDown(std::chrono::milliseconds limit);

    void boardArrived(const BoardInfo& board, const BoardStatus& status) override;
    void boardLeft(const std::string& id) override;
    void stateChanged(const std::string& id, const BoardStatus& status) override;
    void buttonChanged(const std::string& id, bool pressed) override;

private:
    static void onConnect(mosquitto* client, void* self, int result);
    static void onDisconnect(mosquitto* client, void* self, int result);
    static void onMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void onPublish(mosquitto* client, void* self, int messageId);
    static void onLog(mosquitto* client, void* self, int level, const char* text);

    void handleCommand(const std::string& topic, const char* payload, std::size_t length);
    // Whether a refused command is to be said (logged and answered on the error topic), or only
    // counted: a flood of bad commands must not become a flood of log lines and of messages
    // queued for the broker. Called on the client's thread only.
    bool reportRefusal();
    // Returns the message id when the message was queued.
    std::optional<int> publish(const std::string& topic, const std::string& payload, bool retain);
    std::string topic(const std::string& id, const char* leaf) const;
    // With the mutex held.
    void publishDiscovery(const DiscoveredBoard& board);
    void publishBoardList();
    void publishState(const std::string& id); // with mutex_ held
    void markPreviousBoardsOffline(const char* payload, std::size_t length);

    MqttOptions options_;
    std::string bridgeTopic_;
    std::string boardListTopic_;
    Boards* boards_ = nullptr;
    mosquitto* client_ = nullptr;
    bool loopRunning_ = false;

    // Refusals said in the current second, and those only counted (the client's thread's own).
    std::chrono::steady_clock::time_point refusalSecond_{};
    int refusalsSaid_ = 0;
    std::size_t refusalsUnsaid_ = 0;

    // What is republished after a reconnect: the boards here and their last state.
    std::mutex mutex_;
    std::map<std::string, BoardStatus> present_;
    // Every board seen since start, for its discovery configs after a reconnect: a board that
    // left keeps its entities, shown unavailable.
    std::map<std::string, DiscoveredBoard> seen_;
    // Until the previous run's list of boards has been read after a connect.
    bool awaitingBoardList_ = false;
    bool connected_ = false;
    bool closing_ = false; // offline published: nothing more goes out
    // A board's state publication awaiting the broker's acknowledgement (its message id), and
    // the boards whose state changed meanwhile: at most one state per board is in flight, and
    // the latest follows the acknowledgement. Under a flood of commands the board's state
    // changes far faster than a slow host publishes; each change queued would delay the button
    // events behind them by seconds and grow the client's queue without bound.
    std::map<std::string, int> stateInFlight_;
    std::set<std::string> stateBehind_;
    // Shutdown's messages not yet acknowledged.
    std::set<int> unacknowledged_;
    std::condition_variable acknowledged_;
};

// {"led":L,"push":P,"jump":J}
std::string stateJson(const BoardStatus& status);

} // namespace ledboardd
