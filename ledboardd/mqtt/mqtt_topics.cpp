#include "mqtt_topics.hpp"

#include "board_id.hpp"
#include "led_switch.hpp"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

namespace ledboardd {

namespace {

constexpr std::string_view COMMAND_LEAF = "/set";

// The single-component configs versions before the device config published: component, object.
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> OLD_CONFIGS{{
    {"binary_sensor", "button"},
    {"sensor", "jumpers"},
    {"number", "leds"},
}};

constexpr bool isControl(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

std::string topicLevel(std::string_view text)
{
    std::string level;
    for (const char c : text.substr(0, MAX_TOPIC_LEVEL)) {
        const bool unsafe = c == '+' || c == '#' || c == '/' || isControl(c) ||
                            static_cast<unsigned char>(c) >= 0x80;
        level += unsafe ? '_' : c;
    }
    return level.empty() ? std::string{"_"} : level;
}

Topics::Topics(std::string prefix, std::string_view hostName, std::string discoveryPrefix)
    : prefix_(std::move(prefix)), discoveryPrefix_(std::move(discoveryPrefix)),
      bridgeAvailability_(prefix_ + "/" + std::string{BRIDGE_ID} + "/" + topicLevel(hostName) +
                          "/availability"),
      bridgeBoards_(prefix_ + "/" + std::string{BRIDGE_ID} + "/" + topicLevel(hostName) +
                    "/boards"),
      bridgeRetire_(prefix_ + "/" + std::string{BRIDGE_ID} + "/" + topicLevel(hostName) + "/retire")
{
}

std::string Topics::board(const std::string& id, const char* leaf) const
{
    return prefix_ + "/" + id + "/" + leaf;
}

std::vector<std::string> Topics::subscriptions(bool discovery) const
{
    std::vector<std::string> topics{prefix_ + "/+" + std::string{COMMAND_LEAF},
                                    prefix_ + "/+/led/+" + std::string{COMMAND_LEAF},
                                    bridgeRetire_};
    if (discovery) {
        topics.push_back(discoveryPrefix_ + "/device/+/config");
        for (const auto& [component, object] : OLD_CONFIGS) {
            topics.push_back(discoveryPrefix_ + "/" + std::string{component} + "/+/" +
                             std::string{object} + "/config");
        }
        // Last: its grant comes after the retained configs of the others (see MqttBridge).
        topics.push_back(discoveryPrefix_ + "/status");
    }
    return topics;
}

namespace {

// The levels of `topic` below `prefix`, or nothing when it is not below it.
std::optional<std::vector<std::string_view>> levelsBelow(std::string_view topic,
                                                         std::string_view prefix)
{
    if (prefix.empty() || !topic.starts_with(prefix) || topic.size() <= prefix.size() + 1 ||
        topic[prefix.size()] != '/') {
        return std::nullopt;
    }
    std::vector<std::string_view> levels;
    std::string_view rest = topic.substr(prefix.size() + 1);
    for (;;) {
        const std::size_t slash = rest.find('/');
        levels.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) {
            return levels;
        }
        rest.remove_prefix(slash + 1);
    }
}

} // namespace

Inbound Topics::inbound(std::string_view topic) const
{
    if (topic == bridgeRetire_) {
        return {Inbound::Kind::Retire, {}, 0};
    }
    if (const auto levels = levelsBelow(topic, prefix_)) {
        const auto& at = *levels;
        const bool named = !at.empty() && !at[0].empty();
        if (named && at.size() == 2 && at[1] == "set") {
            return {Inbound::Kind::Set, std::string{at[0]}, 0};
        }
        if (named && at.size() == 4 && at[1] == "led" && at[3] == "set") {
            const int led = parseLedIndex(at[2]);
            return led == 0 ? Inbound{} : Inbound{Inbound::Kind::LedSet, std::string{at[0]}, led};
        }
    }
    if (topic.size() == discoveryPrefix_.size() + std::string_view{"/status"}.size() &&
        topic.starts_with(discoveryPrefix_) && topic.ends_with("/status") &&
        !discoveryPrefix_.empty()) {
        return {Inbound::Kind::AssistantState, {}, 0};
    }
    if (const auto levels = levelsBelow(topic, discoveryPrefix_)) {
        const auto& at = *levels;
        if (at.size() == 3 && at[0] == "device" && !at[1].empty() && at[2] == "config") {
            return {Inbound::Kind::DeviceConfig, std::string{at[1]}, 0};
        }
        for (const auto& [component, object] : OLD_CONFIGS) {
            if (at.size() == 4 && at[0] == component && !at[1].empty() && at[2] == object &&
                at[3] == "config") {
                return {Inbound::Kind::OldConfig, std::string{at[1]}, 0};
            }
        }
    }
    return {};
}

std::string stateJson(const Board& board)
{
    // ordered_json keeps the keys in the order the tool prints them, the lamps beside `led`.
    const BoardStatus status = board.status.value_or(BoardStatus{0, 0, 0});
    nlohmann::ordered_json state;
    state["led"] = status.led;
    for (int led = 1; led <= LED_COUNT; ++led) {
        state["led" + std::to_string(led)] = (status.led & (1U << (led - 1))) != 0;
    }
    state["push"] = status.push;
    state["jump"] = status.jump;
    state["name"] =
        board.name.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(board.name);
    state["effect"] = board.effect ? effectJson(*board.effect) : nlohmann::ordered_json(nullptr);
    // A name from the configuration is UTF-8 (checked when read); replaced, not thrown on.
    return state.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string boardListJson(const std::vector<std::string>& ids)
{
    // The ids are ASCII, so the dump cannot meet invalid UTF-8; replaced anyway rather than
    // thrown on.
    return nlohmann::json(ids).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ledboardd
