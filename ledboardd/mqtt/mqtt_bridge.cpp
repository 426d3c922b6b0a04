#include "mqtt_bridge.hpp"

#include "board_id.hpp"
#include "led_command.hpp"
#include "led_switch.hpp"
#include "log.hpp"

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace ledboardd {

namespace {

// Refused commands said per second at most; well above what a person or a script that got a
// payload wrong sends, far below a flood.
constexpr int REFUSALS_SAID_PER_SECOND = 50;

// Home Assistant's "online" is answered after a random delay up to this, so that the bridges of a
// site do not all answer it in the same instant (its documentation asks for a short delay).
constexpr int ASSISTANT_DELAY_MAX_MS = 3000;

constexpr const char* FRONT_END = "mqtt";

DiscoveredBoard describedBoard(const Board& board)
{
    return {.id = board.info.id,
            .name = board.name,
            .serial = board.info.serial,
            .manufacturer = board.info.manufacturer,
            .product = board.info.product};
}

} // namespace

DiscoveryContext MqttBridge::discoveryContext() const
{
    return {.discoveryPrefix = options_.discoveryPrefix,
            .prefix = options_.prefix,
            .bridgeAvailability = topics_.bridgeAvailability(),
            .version = options_.version,
            .supportUrl = options_.supportUrl,
            .configurationUrl = options_.configurationUrl};
}

MqttBridge::MqttBridge(Hub& hub, MqttTransport& transport, Timers& timers, BridgeOptions options)
    : hub_(hub), transport_(transport), timers_(timers), options_(std::move(options)),
      topics_(options_.prefix, options_.hostName, options_.discoveryPrefix),
      refusals_("commands refused", REFUSALS_SAID_PER_SECOND)
{
    hub_.addListener([this](const Change& change) { changed(change); });
    hub_.setFrontEnd(FRONT_END, false, "not connected to the MQTT broker yet");
    hub_.setFrontEndValue(FRONT_END, "mqtt_connected", 0);
    hub_.addToFrontEnd(FRONT_END, "mqtt_reconnects_total", 0);
    hub_.addToFrontEnd(FRONT_END, "commands_refused_total", 0);
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
    std::optional<int> last;
    for (const std::string& subscription : topics_.subscriptions(options_.discovery)) {
        last = transport_.subscribe(subscription);
    }
    hub_.setFrontEnd(FRONT_END, true);
    hub_.setFrontEndValue(FRONT_END, "mqtt_connected", 1);
    const std::lock_guard lock(mutex_);
    if (closing_) {
        return;
    }
    if (std::exchange(everConnected_, true)) {
        hub_.addToFrontEnd(FRONT_END, "mqtt_reconnects_total", 1);
    }
    connected_ = true;
    migrated_.clear();
    lastSubscription_ = last;
    discoveryReady_ = !options_.discovery || !last;
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
    hub_.setFrontEnd(FRONT_END, false,
                     "not connected to the MQTT broker at " + options_.brokerName);
    hub_.setFrontEndValue(FRONT_END, "mqtt_connected", 0);
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
    if (discovery && discoveryReady_ && options_.discovery && !board.discoveryWithdrawn) {
        // The config first: Home Assistant then finds the state and availability retained.
        const DiscoveryMessage config = deviceConfig(discoveryContext(), describedBoard(board));
        send(config.topic, config.payload, true);
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
    if (const auto messageId = send(topics_.board(id, "state"), stateJson(board), true)) {
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
    case Change::Kind::Gesture:
        send(topics_.board(id, "button"), gestureName(change.gesture), false);
        break;
    case Change::Kind::Retired:
        clearBoard(board);
        publishBoardList();
        break;
    case Change::Kind::Discovery:
        if (!board.discoveryWithdrawn) {
            publishBoard(board, true);
        }
        break;
    case Change::Kind::Desired:
        if (board.present) {
            publishState(board); // a while ended: its effect is gone from the state
        }
        break;
    }
}

void MqttBridge::subscribed(int messageId)
{
    const std::lock_guard lock(mutex_);
    if (!connected_ || closing_ || lastSubscription_ != messageId) {
        return;
    }
    lastSubscription_.reset();
    discoveryReady_ = true;
    for (const Board& board : hub_.boards()) {
        const std::string node = discoveryNodeId(options_.prefix, board.info.id);
        if (!board.discoveryWithdrawn && !migrated_.contains(node)) {
            const DiscoveryMessage config = deviceConfig(discoveryContext(), describedBoard(board));
            send(config.topic, config.payload, true);
        }
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
    const Inbound inbound = topics_.inbound(topic);
    switch (inbound.kind) {
    case Inbound::Kind::Other:
        return;
    case Inbound::Kind::AssistantState:
        assistantState(payload);
        return;
    case Inbound::Kind::DeviceConfig:
        // An empty config is Home Assistant's deletion of the device (or our own retiring).
        if (payload.empty()) {
            for (const Board& board : hub_.boards()) {
                if (discoveryNodeId(options_.prefix, board.info.id) == inbound.id) {
                    hub_.withdrawDiscovery(board.info.id);
                }
            }
        }
        return;
    case Inbound::Kind::OldConfig:
        // A config of an earlier version, left retained: handed over to the device config.
        if (!payload.empty()) {
            migrate(inbound.id);
        }
        return;
    case Inbound::Kind::Retire:
    case Inbound::Kind::Set:
    case Inbound::Kind::LedSet:
        break;
    }
    const std::string& id = inbound.id;
    if (payload.empty()) {
        // Clearing a retained command (mosquitto_pub -r -n) reaches the subscribers as an empty
        // message: nothing to do, and nothing wrong.
        logf(LogLevel::Debug, "%s: an empty command ignored", topic.c_str());
        return;
    }
    if (retain) {
        // Left on the broker, it would be applied again at every reconnect, over newer values.
        const bool retiring = inbound.kind == Inbound::Kind::Retire;
        refuse(retiring ? std::string{BRIDGE_ID} : id,
               std::string{"a retained "} + (retiring ? "retire" : "set") +
                   " is not a command; clear it with mosquitto_pub -r -n -t " + topic,
               retiring ? "retire" : "set");
        return;
    }
    command(inbound, payload, topic);
}

void MqttBridge::command(const Inbound& inbound, std::string_view payload,
                         const std::string& /*topic*/)
{
    const std::string& id = inbound.id;
    const auto answer = [this, id](const SetResult& result) {
        if (result.outcome == SetOutcome::Unknown) {
            refuse(id, "no board with this id has been seen");
        } else if (result.outcome == SetOutcome::Refused) {
            refuse(id, result.refusal);
        }
    };
    if (inbound.kind == Inbound::Kind::Retire) {
        retire(payload);
        return;
    }
    if (inbound.kind == Inbound::Kind::LedSet) {
        const LedSwitch change = parseLedSwitch(payload);
        switch (change.kind) {
        case LedSwitch::Kind::On:
        case LedSwitch::Kind::Off:
            hub_.setLedBit(id, inbound.led, change.kind == LedSwitch::Kind::On, answer);
            return;
        case LedSwitch::Kind::Blink:
        case LedSwitch::Kind::NoEffect:
            hub_.setLedBlink(id, inbound.led, change.kind == LedSwitch::Kind::Blink, answer);
            return;
        case LedSwitch::Kind::Refused:
            refuse(id, change.refusal);
            return;
        }
    }
    const LedCommand command = parseLedRequest(payload);
    if (command.refusal != nullptr) {
        refuse(id, command.refusal);
        return;
    }
    hub_.setLed(id, command, answer);
}

// Home Assistant came (back) online and lost what it knew: the configs again, after a short
// random delay.
void MqttBridge::assistantState(std::string_view payload)
{
    if (payload != ONLINE || !options_.discovery) {
        return;
    }
    static thread_local std::minstd_rand draw{std::random_device{}()};
    const std::chrono::milliseconds delay{
        std::uniform_int_distribution<int>{0, ASSISTANT_DELAY_MAX_MS}(draw)};
    timers_.after(delay, [this] {
        const std::lock_guard lock(mutex_);
        if (connected_ && !closing_) {
            for (const Board& board : hub_.boards()) {
                publishBoard(board, true);
            }
        }
    });
}

// Home Assistant's documented way from single-component configs to a device config: each old
// config says migrate_discovery, then the device config comes, then the old ones are cleared;
// the entities keep their unique ids and their history.
void MqttBridge::migrate(const std::string& node)
{
    for (const Board& board : hub_.boards()) {
        if (discoveryNodeId(options_.prefix, board.info.id) != node) {
            continue;
        }
        const std::lock_guard lock(mutex_);
        if (!connected_ || closing_ || !migrated_.insert(node).second) {
            return;
        }
        logf(LogLevel::Info, "%s: Home Assistant's configs of an earlier version handed over",
             board.info.id.c_str());
        const DiscoveryContext context = discoveryContext();
        const DiscoveredBoard described = describedBoard(board);
        for (const DiscoveryMessage& message : migrationStart(context, described)) {
            send(message.topic, message.payload, true);
        }
        if (!board.discoveryWithdrawn) {
            const DiscoveryMessage config = deviceConfig(context, described);
            send(config.topic, config.payload, true);
        }
        for (const std::string& old : oldConfigTopics(context, described)) {
            send(old, "", true);
        }
        return;
    }
}

void MqttBridge::retire(std::string_view payload)
{
    std::string_view id = payload;
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r' || id.back() == ' ')) {
        id.remove_suffix(1);
    }
    const std::string board{id};
    if (!isBoardId(board)) {
        refuse(std::string{BRIDGE_ID}, "not a board id", "retire");
        return;
    }
    switch (hub_.retire(board)) {
    case RetireOutcome::Retired:
        return;
    case RetireOutcome::Present:
        refuse(board, "the board is here; unplug it first", "retire");
        return;
    case RetireOutcome::Unknown:
        refuse(board, "no board with this id has been seen", "retire");
        return;
    }
}

// A retired board's retained messages and discovery configs go: a new subscriber finds nothing of
// it. With mutex_ held.
void MqttBridge::clearBoard(const Board& board)
{
    const std::string& id = board.info.id;
    send(topics_.board(id, "state"), "", true);
    send(topics_.board(id, "availability"), "", true);
    if (options_.discovery) {
        const DiscoveryContext context = discoveryContext();
        const DiscoveredBoard described = describedBoard(board);
        send(deviceConfigTopic(context, described), "", true);
        for (const std::string& old : oldConfigTopics(context, described)) {
            send(old, "", true);
        }
    }
}

void MqttBridge::refuse(const std::string& id, const std::string& why, const char* what)
{
    // Counted whether or not it is said: the metrics show a flood the log and the broker are
    // spared.
    hub_.addToFrontEnd(FRONT_END, "commands_refused_total", 1);
    if (!refusals_.sayNow()) {
        return;
    }
    logf(LogLevel::Warning, "%s: %s refused: %s", id.c_str(), what, why.c_str());
    const std::lock_guard lock(mutex_);
    if (connected_ && !closing_) {
        send(topics_.board(id, "error"), std::string{what} + " refused: " + why, false);
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
