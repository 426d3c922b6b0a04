#include "mqtt_bridge.hpp"

#include "board_list.hpp"
#include "log.hpp"
#include "parsing.hpp"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace ledboardd {

namespace {

constexpr int QOS = 1; // commands and state: at least once
constexpr int KEEPALIVE_SECONDS = 30;
// Reconnecting: 1 s, then doubling up to 30 s.
constexpr unsigned RECONNECT_FIRST_SECONDS = 1;
constexpr unsigned RECONNECT_MAX_SECONDS = 30;

// Refused commands said per second at most; well above what a person or a script that got a
// payload wrong sends, far below a flood.
constexpr int REFUSALS_SAID_PER_SECOND = 50;

constexpr const char* ONLINE = "online";
constexpr const char* OFFLINE = "offline";

} // namespace

std::string stateJson(const BoardStatus& status)
{
    // ordered_json keeps the keys in the order the CLI prints them.
    nlohmann::ordered_json state;
    state["led"] = status.led;
    state["push"] = status.push;
    state["jump"] = status.jump;
    return state.dump();
}

MqttBridge::MqttBridge(MqttOptions options)
    : options_(std::move(options)), bridgeTopic_(options_.prefix + "/" + BRIDGE_TOPIC_LEVEL + "/" +
                                                 topicLevel(options_.hostName) + "/availability"),
      boardListTopic_(options_.prefix + "/" + BRIDGE_TOPIC_LEVEL + "/" +
                      topicLevel(options_.hostName) + "/boards")
{
}

MqttBridge::~MqttBridge()
{
    if (client_ != nullptr) {
        if (loopRunning_) {
            mosquitto_disconnect(client_);
            mosquitto_loop_stop(client_, true);
        }
        mosquitto_destroy(client_);
        mosquitto_lib_cleanup();
    }
}

std::string MqttBridge::topic(const std::string& id, const char* leaf) const
{
    return options_.prefix + "/" + id + "/" + leaf;
}

bool MqttBridge::start()
{
    mosquitto_lib_init();
    std::string clientId = options_.clientId;
    if (clientId.empty()) {
        clientId = "ledboardd-" + topicLevel(options_.hostName) + "-" + std::to_string(getpid());
    }
    // A clean session: subscriptions are made again in the connect callback.
    client_ = mosquitto_new(clientId.c_str(), true, this);
    if (client_ == nullptr) {
        logLine(LogLevel::Error, "cannot set up the MQTT client");
        return false;
    }
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_message_callback_set(client_, onMessage);
    mosquitto_publish_callback_set(client_, onPublish);
    mosquitto_log_callback_set(client_, onLog);
    mosquitto_reconnect_delay_set(client_, RECONNECT_FIRST_SECONDS, RECONNECT_MAX_SECONDS, true);
    // Every packet is small and answers or follows another: with Nagle's algorithm a state
    // published right after the PUBACK of the command that caused it waits for the broker's
    // delayed ACK (40 ms on Linux) first. Failing to set it costs only that delay.
    if (mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1) != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Debug, "cannot turn off Nagle's algorithm for MQTT");
    }
    if (!options_.username.empty() &&
        mosquitto_username_pw_set(client_, options_.username.c_str(),
                                  options_.password ? options_.password->c_str() : nullptr) !=
            MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Error, "cannot set the MQTT user name and password");
        return false;
    }
    if (!options_.cafile.empty()) {
        // The files were found readable when the configuration was read; this fails only when
        // one is not what it should be (not PEM, a key that does not match).
        const int tls = mosquitto_tls_set(
            client_, options_.cafile.c_str(), nullptr,
            options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
            options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
        if (tls != MOSQ_ERR_SUCCESS) {
            logf(LogLevel::Error, "cannot set up TLS with %s: %s", options_.cafile.c_str(),
                 mosquitto_strerror(tls));
            return false;
        }
    }
    // Set before connecting: if the daemon dies, the broker says so for it.
    if (mosquitto_will_set(client_, bridgeTopic_.c_str(), static_cast<int>(std::strlen(OFFLINE)),
                           OFFLINE, QOS, true) != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Error, "cannot set the MQTT last will");
        return false;
    }
    const int connected =
        mosquitto_connect_async(client_, options_.host.c_str(), options_.port, KEEPALIVE_SECONDS);
    if (connected != MOSQ_ERR_SUCCESS) {
        // The loop's thread keeps trying with growing delays.
        logf(LogLevel::Warning, "cannot reach the MQTT broker at %s:%d yet: %s",
             options_.host.c_str(), options_.port, mosquitto_strerror(connected));
    }
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Error, "cannot start the MQTT client's thread");
        return false;
    }
    loopRunning_ = true;
    return true;
}

std::optional<int> MqttBridge::publish(const std::string& topicName, const std::string& payload,
                                       bool retain)
{
    int messageId = 0;
    const int result =
        mosquitto_publish(client_, &messageId, topicName.c_str(), static_cast<int>(payload.size()),
                          payload.data(), QOS, retain);
    if (result != MOSQ_ERR_SUCCESS) {
        logf(LogLevel::Debug, "not published to %s: %s", topicName.c_str(),
             mosquitto_strerror(result));
        return std::nullopt;
    }
    return messageId;
}

void MqttBridge::onConnect(mosquitto* client, void* self, int result)
{
    auto& bridge = *static_cast<MqttBridge*>(self);
    if (result != 0) {
        logf(LogLevel::Warning, "the MQTT broker refused the connection: %s",
             mosquitto_connack_string(result));
        return;
    }
    logf(LogLevel::Info, "connected to the MQTT broker at %s:%d", bridge.options_.host.c_str(),
         bridge.options_.port);
    const std::string commands = bridge.options_.prefix + "/+/set";
    // The previous run's list of boards comes as the retained message of this subscription. It
    // is made before the new list is published below, and the broker handles one client's
    // packets in order: what it sends is the list as it was before this connection.
    for (const std::string& subscription : {commands, bridge.boardListTopic_}) {
        if (mosquitto_subscribe(client, nullptr, subscription.c_str(), QOS) != MOSQ_ERR_SUCCESS) {
            logf(LogLevel::Error, "cannot subscribe to %s", subscription.c_str());
        }
    }
    // A broker that restarted without persistence lost the retained messages: all again.
    const std::lock_guard lock(bridge.mutex_);
    if (bridge.closing_) {
        return;
    }
    bridge.connected_ = true;
    bridge.awaitingBoardList_ = true;
    // Acknowledgements of the previous connection's states may never come: published anew below.
    bridge.stateInFlight_.clear();
    bridge.stateBehind_.clear();
    bridge.publish(bridge.bridgeTopic_, ONLINE, true);
    for (const auto& [id, board] : bridge.seen_) {
        bridge.publishDiscovery(board);
    }
    for (const auto& [id, status] : bridge.present_) {
        bridge.publish(bridge.topic(id, "availability"), ONLINE, true);
        bridge.publishState(id);
    }
    bridge.publishBoardList();
}

void MqttBridge::onLog(mosquitto* /*client*/, void* /*self*/, int level, const char* text)
{
    // Only the library's errors: a failed TLS handshake (a wrong CA, a refused client
    // certificate) is told nowhere else.
    if ((level & MOSQ_LOG_ERR) != 0) {
        logf(LogLevel::Warning, "MQTT: %s", text);
    }
}

void MqttBridge::publishDiscovery(const DiscoveredBoard& board)
{
    if (!options_.discovery) {
        return;
    }
    const DiscoveryContext context{.discoveryPrefix = options_.discoveryPrefix,
                                   .prefix = options_.prefix,
                                   .bridgeAvailability = bridgeTopic_,
                                   .version = LEDBOARD_VERSION};
    for (const DiscoveryMessage& message : discoveryMessages(context, board)) {
        publish(message.topic, message.payload, true);
    }
}

void MqttBridge::publishBoardList()
{
    std::set<std::string> ids;
    for (const auto& [id, status] : present_) {
        ids.insert(id);
    }
    publish(boardListTopic_, boardListJson(ids), true);
}

void MqttBridge::markPreviousBoardsOffline(const char* payload, std::size_t length)
{
    const auto previous =
        parseBoardList(std::string_view{payload != nullptr ? payload : "", length});
    if (!previous) {
        logf(LogLevel::Warning, "%s holds no list of boards; ignored", boardListTopic_.c_str());
        return;
    }
    for (const std::string& id : *previous) {
        if (!present_.contains(id)) {
            logf(LogLevel::Info, "%s: served before the restart and not here now: offline",
                 id.c_str());
            publish(topic(id, "availability"), OFFLINE, true);
        }
    }
}

void MqttBridge::onDisconnect(mosquitto* /*client*/, void* self, int result)
{
    {
        auto& bridge = *static_cast<MqttBridge*>(self);
        const std::lock_guard lock(bridge.mutex_);
        bridge.connected_ = false;
    }
    if (result != 0) {
        logf(LogLevel::Warning, "lost the MQTT broker (%s); reconnecting",
             mosquitto_strerror(result));
    }
}

void MqttBridge::onPublish(mosquitto* /*client*/, void* self, int messageId)
{
    auto& bridge = *static_cast<MqttBridge*>(self);
    const std::lock_guard lock(bridge.mutex_);
    if (bridge.unacknowledged_.erase(messageId) != 0) {
        bridge.acknowledged_.notify_all();
    }
    const auto state = std::ranges::find_if(bridge.stateInFlight_, [messageId](const auto& entry) {
        return entry.second == messageId;
    });
    if (state != bridge.stateInFlight_.end()) {
        const std::string id = state->first;
        bridge.stateInFlight_.erase(state);
        if (bridge.stateBehind_.erase(id) != 0 && bridge.connected_) {
            bridge.publishState(id);
        }
    }
}

void MqttBridge::onMessage(mosquitto* /*client*/, void* self, const mosquitto_message* message)
{
    auto& bridge = *static_cast<MqttBridge*>(self);
    const auto length = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
    const auto* payload = static_cast<const char*>(message->payload);
    if (message->topic == bridge.boardListTopic_) {
        const std::lock_guard lock(bridge.mutex_);
        if (!bridge.awaitingBoardList_) {
            return;
        }
        // The first message after subscribing: the retained list, or else the echo of the one
        // just published (there was none). Either way the subscription has done its work.
        bridge.awaitingBoardList_ = false;
        mosquitto_unsubscribe(bridge.client_, nullptr, bridge.boardListTopic_.c_str());
        if (message->retain) {
            bridge.markPreviousBoardsOffline(payload, length);
        }
        return;
    }
    bridge.handleCommand(message->topic, payload, length);
}

void MqttBridge::handleCommand(const std::string& topicName, const char* payload,
                               std::size_t length)
{
    // PREFIX/ID/set, which the subscription guarantees; the id is one level.
    const std::string_view suffix = "/set";
    const std::size_t idStart = options_.prefix.size() + 1;
    if (topicName.size() <= idStart + suffix.size() || !topicName.ends_with(suffix)) {
        return;
    }
    const std::string id = topicName.substr(idStart, topicName.size() - idStart - suffix.size());
    const LedCommand command =
        parseLedCommand(std::string_view{payload != nullptr ? payload : "", length});
    if (command.refusal != nullptr) {
        if (reportRefusal()) {
            logf(LogLevel::Warning, "%s: refused a set command of %zu bytes: %s", id.c_str(),
                 length, command.refusal);
            publish(topic(id, "error"), std::string{"set refused: "} + command.refusal, false);
        }
        return;
    }
    if (boards_ != nullptr) {
        boards_->setLed(id, command.value);
    }
}

bool MqttBridge::reportRefusal()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - refusalSecond_ >= std::chrono::seconds{1}) {
        if (refusalsUnsaid_ > 0) {
            logf(LogLevel::Warning, "%zu more set commands refused in a second, not answered",
                 refusalsUnsaid_);
        }
        refusalSecond_ = now;
        refusalsSaid_ = 0;
        refusalsUnsaid_ = 0;
    }
    if (refusalsSaid_ < REFUSALS_SAID_PER_SECOND) {
        ++refusalsSaid_;
        return true;
    }
    ++refusalsUnsaid_;
    return false;
}

void MqttBridge::boardArrived(const BoardInfo& board, const BoardStatus& status)
{
    const std::string& id = board.id;
    const std::lock_guard lock(mutex_);
    present_[id] = status;
    const DiscoveredBoard& described = seen_[id] =
        DiscoveredBoard{.id = id,
                        .serial = board.serial,
                        .manufacturer = board.manufacturer,
                        .product = board.product};
    if (connected_) {
        // The configs first: Home Assistant then finds the state and availability retained.
        publishDiscovery(described);
        publish(topic(id, "availability"), ONLINE, true);
        publishState(id);
        publishBoardList();
    }
}

void MqttBridge::boardLeft(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    present_.erase(id);
    stateBehind_.erase(id);
    // Queued while disconnected too: a board that left must not stay online in the broker.
    if (!closing_) {
        publish(topic(id, "availability"), OFFLINE, true);
        publishBoardList();
    }
}

void MqttBridge::stateChanged(const std::string& id, const BoardStatus& status)
{
    const std::lock_guard lock(mutex_);
    present_[id] = status;
    if (connected_) {
        publishState(id);
    }
}

void MqttBridge::publishState(const std::string& id)
{
    const auto status = present_.find(id);
    if (status == present_.end()) {
        return;
    }
    if (stateInFlight_.contains(id)) {
        stateBehind_.insert(id);
        return;
    }
    if (const auto messageId = publish(topic(id, "state"), stateJson(status->second), true)) {
        stateInFlight_[id] = *messageId;
    }
}

void MqttBridge::buttonChanged(const std::string& id, bool pressed)
{
    const std::lock_guard lock(mutex_);
    if (connected_) {
        publish(topic(id, "button"), pressed ? "pressed" : "released", false);
    }
}

void MqttBridge::shutDown(std::chrono::milliseconds limit)
{
    if (client_ == nullptr || !loopRunning_) {
        return;
    }
    std::unique_lock lock(mutex_);
    if (connected_) {
        std::vector<std::string> topics;
        for (const auto& [id, status] : present_) {
            topics.push_back(topic(id, "availability"));
        }
        topics.push_back(bridgeTopic_);
        for (const std::string& name : topics) {
            if (const auto messageId = publish(name, OFFLINE, true)) {
                unacknowledged_.insert(*messageId);
            }
        }
        acknowledged_.wait_for(lock, limit, [this] { return unacknowledged_.empty(); });
    }
    const bool wasConnected = connected_;
    connected_ = false;
    closing_ = true;
    lock.unlock();
    mosquitto_disconnect(client_);
    // Without a connection the loop's thread may be inside a connection attempt that a TLS
    // handshake keeps blocked (seen with nothing listening at the TLS port) and that the
    // disconnect does not interrupt: cancelled, rather than waited for.
    mosquitto_loop_stop(client_, !wasConnected);
    loopRunning_ = false;
}

} // namespace ledboardd
