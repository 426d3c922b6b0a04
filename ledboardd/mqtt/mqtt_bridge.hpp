// The MQTT front end's policy: the hub's changes as retained state and availability messages, and
// `set` commands as calls on the hub. It keeps no board state: after a (re)connect it publishes
// the truth from the hub's table. The topics are in mqtt_topics.hpp; Home Assistant's discovery
// configs in discovery.hpp.
//
// A consumer should take every board of a host as offline while that host's bridge availability
// is `offline`: a bridge killed outright cannot say `offline` for its boards, only its last will
// does. Home Assistant does so through the configs' availability_mode "all".
#pragma once

#include "discovery.hpp"
#include "hub.hpp"
#include "mqtt_topics.hpp"
#include "mqtt_transport.hpp"
#include "repeats.hpp"
#include "timers.hpp"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace ledboardd {

struct BridgeOptions {
    std::string prefix = "ledboard";
    std::string hostName;
    bool discovery = true;
    std::string discoveryPrefix = "homeassistant";
    std::string version;    // this program's, for the discovery configs' `origin`
    std::string brokerName; // "HOST:PORT", for the health check's reason
    // For the discovery configs: the live page (empty: HTTP is off) and where to ask for help.
    std::string configurationUrl;
    std::string supportUrl;
};

class MqttBridge final : public MqttEvents {
public:
    // Listens to the hub from here on. `timers` delays the answer to Home Assistant's "online".
    MqttBridge(Hub& hub, MqttTransport& transport, Timers& timers, BridgeOptions options);

    void connected() override;
    void disconnected() override;
    void message(const std::string& topic, std::string_view payload, bool retain) override;
    void published(int messageId) override;
    void subscribed(int messageId) override;

    // Publishes `offline` for every board here and for the bridge, and waits at most `limit` for
    // the broker to acknowledge them. Nothing is published after this. Returns whether the
    // client was connected.
    bool goOffline(std::chrono::milliseconds limit);

private:
    void changed(const Change& change);
    // With mutex_ held.
    std::optional<int> send(const std::string& topic, std::string_view payload, bool retain);
    void publishBoard(const Board& board, bool discovery);
    void publishState(const Board& board);
    void publishBoardList();
    void replay(bool discovery);
    void clearBoard(const Board& board);
    // Says why a command was refused on the board's error topic ("set refused: …").
    void refuse(const std::string& id, const std::string& why, const char* what = "set");
    void command(const Inbound& inbound, std::string_view payload, const std::string& topic);
    void assistantState(std::string_view payload);
    void migrate(const std::string& node);
    DiscoveryContext discoveryContext() const;
    void retire(std::string_view payload);

    Hub& hub_;
    MqttTransport& transport_;
    Timers& timers_;
    BridgeOptions options_;
    Topics topics_;
    RepeatLimiter refusals_;

    std::mutex mutex_;
    bool connected_ = false;
    bool everConnected_ = false;
    bool closing_ = false;
    // Every publication the broker has not acknowledged yet, and of those the ones made before
    // the last connect: the client may send those again after the fresh ones, and once they are
    // all acknowledged the truth is published once more, so that it lands last whatever order
    // the broker applied them in.
    std::set<int> unacknowledged_;
    std::set<int> fromBefore_;
    // A board's state publication awaiting its acknowledgement, and the boards whose state
    // changed meanwhile: at most one state per board in flight, the latest after the
    // acknowledgement. Under a flood of commands a board's state changes far faster than a slow
    // host publishes; each change queued would hold the button events behind it by seconds.
    std::map<std::string, int> stateInFlight_;
    std::set<std::string> stateBehind_;
    // Nodes whose old single-component configs were handed over to the device config in this
    // connection (each of their three old topics comes back retained).
    std::set<std::string> migrated_;
    // The last subscription request of a connect: once granted, the earlier version's retained
    // configs have come (the broker answers in order), and the device configs can follow them.
    std::optional<int> lastSubscription_;
    bool discoveryReady_ = false;
    // goOffline's messages not yet acknowledged.
    std::set<int> goodbye_;
    std::condition_variable acknowledged_;
};

} // namespace ledboardd
