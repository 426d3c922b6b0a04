#include "mqtt_bridge.hpp"

#include "discovery.hpp"
#include "led_command.hpp"
#include "log.hpp"

#include <algorithm>
#include <vector>

namespace ledboardd {

namespace {

// Refused commands said per second at most; well above what a person or a script that got a
// payload wrong sends, far below a flood.
constexpr int REFUSALS_SAID_PER_SECOND = 50;

DiscoveredBoard describedBoard(const Board& board)
{
    return {.id = board.info.id,
            .serial = board.info.serial,
            .manufacturer = board.info.manufacturer,
            .product = board.info.product};
}

} // namespace

MqttBridge::MqttBridge(Hub& hub, MqttTransport& transport, BridgeOptions options)
    : hub_(hub), transport_(transport), options_(std::move(options)),
      topics_(options_.prefix, options_.hostName),
      refusals_("set commands refused", REFUSALS_SAID_PER_SECOND)
{
    hub_.addListener([this](const Change& change) { changed(change); });
}

std::optional<int> MqttBridge::send(const std::string& topic, std::string_view payload, bool retain)
{
    const std::optional<int> messageId = transport_.publish(topic, payload, retain);
    if (messageId) {
        unacknowledged_.insert(*messageId);
    }
    return messageId;
}

void MqttBridge::connected()
{
    for (const std::string& subscription : topics_.subscriptions()) {
        transport_.subscribe(subscription);
    }
    const std::lock_guard lock(mutex_);
    if (closing_) {
        return;
    }
    connected_ = true;
    fromBefore_ = unacknowledged_;
    // Acknowledgements of the last connection's states may never come: published anew below.
    stateInFlight_.clear();
    stateBehind_.clear();
    send(topics_.bridgeAvailability(), ONLINE, true);
    // A broker that restarted without persistence lost the retained messages: all again.
    replay(true);
}

void MqttBridge::disconnected()
{
    const std::lock_guard lock(mutex_);
    connected_ = false;
}

void MqttBridge::replay(bool discovery)
{
    for (const Board& board : hub_.boards()) {
        publishBoard(board, discovery);
    }
    publishBoardList();
}

void MqttBridge::publishBoard(const Board& board, bool discovery)
{
    const std::string& id = board.info.id;
    if (discovery && options_.discovery) {
        // The configs first: Home Assistant then finds the state and availability retained.
        const DiscoveryContext context{.discoveryPrefix = options_.discoveryPrefix,
                                       .prefix = options_.prefix,
                                       .bridgeAvailability = topics_.bridgeAvailability(),
                                       .version = options_.version};
        for (const DiscoveryMessage& config : discoveryMessages(context, describedBoard(board))) {
            send(config.topic, config.payload, true);
        }
    }
    send(topics_.board(id, "availability"), board.available() ? ONLINE : OFFLINE, true);
    if (board.status) {
        stateBehind_.erase(id);
        stateInFlight_.erase(id);
        publishState(board);
    }
}

void MqttBridge::publishState(const Board& board)
{
    const std::string& id = board.info.id;
    if (!board.status) {
        return;
    }
    if (stateInFlight_.contains(id)) {
        stateBehind_.insert(id);
        return;
    }
    if (const auto messageId = send(topics_.board(id, "state"), stateJson(*board.status), true)) {
        stateInFlight_[id] = *messageId;
    }
}

void MqttBridge::publishBoardList()
{
    std::vector<std::string> here;
    for (const Board& board : hub_.boards()) {
        if (board.present) {
            here.push_back(board.info.id);
        }
    }
    send(topics_.bridgeBoards(), boardListJson(here), true);
}

void MqttBridge::changed(const Change& change)
{
    const std::lock_guard lock(mutex_);
    if (!connected_ || closing_) {
        return; // the truth goes out in full at the next connect
    }
    const Board& board = change.board;
    const std::string& id = board.info.id;
    switch (change.kind) {
    case Change::Kind::Arrived:
        publishBoard(board, true);
        publishBoardList();
        break;
    case Change::Kind::Left:
        stateBehind_.erase(id);
        send(topics_.board(id, "availability"), OFFLINE, true);
        publishBoardList();
        break;
    case Change::Kind::Availability:
        send(topics_.board(id, "availability"), board.available() ? ONLINE : OFFLINE, true);
        break;
    case Change::Kind::State:
    case Change::Kind::Applied: // a set is confirmed by a state, also when nothing changed
        publishState(board);
        break;
    case Change::Kind::Button:
        send(topics_.board(id, "button"), change.pressed ? "pressed" : "released", false);
        break;
    case Change::Kind::Desired:
        break;
    }
}

void MqttBridge::published(int messageId)
{
    const std::lock_guard lock(mutex_);
    unacknowledged_.erase(messageId);
    if (goodbye_.erase(messageId) != 0) {
        acknowledged_.notify_all();
    }
    if (fromBefore_.erase(messageId) != 0 && fromBefore_.empty() && connected_ && !closing_) {
        replay(false);
        return;
    }
    const auto state = std::ranges::find_if(
        stateInFlight_, [messageId](const auto& entry) { return entry.second == messageId; });
    if (state == stateInFlight_.end()) {
        return;
    }
    const std::string id = state->first;
    stateInFlight_.erase(state);
    if (stateBehind_.erase(id) != 0 && connected_ && !closing_) {
        if (const auto board = hub_.board(id)) {
            publishState(*board);
        }
    }
}

void MqttBridge::message(const std::string& topic, std::string_view payload, bool retain)
{
    const std::optional<std::string> id = topics_.commandTarget(topic);
    if (!id) {
        return;
    }
    if (payload.empty()) {
        // Clearing a retained `set` (mosquitto_pub -r -n) reaches the subscribers as an empty
        // message: nothing to do, and nothing wrong.
        logf(LogLevel::Debug, "%s: an empty set ignored", id->c_str());
        return;
    }
    if (retain) {
        // Left on the broker, it would be applied again at every reconnect, over newer values.
        refuse(*id,
               "a retained set is not a command; clear it with mosquitto_pub -r -n -t " + topic);
        return;
    }
    const LedCommand command = parseLedRequest(payload);
    if (command.refusal != nullptr) {
        refuse(*id, command.refusal);
        return;
    }
    hub_.setLed(*id, command.value, [this, id = *id](const SetResult& result) {
        if (result.outcome == SetOutcome::Unknown) {
            refuse(id, "no board with this id has been seen");
        }
    });
}

void MqttBridge::refuse(const std::string& id, const std::string& why)
{
    if (!refusals_.sayNow()) {
        return;
    }
    logf(LogLevel::Warning, "%s: set refused: %s", id.c_str(), why.c_str());
    const std::lock_guard lock(mutex_);
    if (connected_ && !closing_) {
        send(topics_.board(id, "error"), "set refused: " + why, false);
    }
}

bool MqttBridge::goOffline(std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    const bool wasConnected = connected_;
    if (connected_ && !closing_) {
        std::vector<std::string> topics;
        for (const Board& board : hub_.boards()) {
            if (board.present) {
                topics.push_back(topics_.board(board.info.id, "availability"));
            }
        }
        topics.push_back(topics_.bridgeAvailability());
        for (const std::string& name : topics) {
            if (const auto messageId = send(name, OFFLINE, true)) {
                goodbye_.insert(*messageId);
            }
        }
        acknowledged_.wait_for(lock, limit, [this] { return goodbye_.empty(); });
    }
    closing_ = true;
    connected_ = false;
    return wasConnected;
}

} // namespace ledboardd
