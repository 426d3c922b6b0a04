#include "discovery.hpp"

#include "led_command.hpp"
#include "mqtt_topics.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <regex>

namespace ledboardd {

namespace {

using Json = nlohmann::ordered_json;

constexpr int QOS = 1; // as every other message of the bridge
constexpr const char* HEX_DIGITS = "0123456789abcdef";
constexpr unsigned NIBBLE_BITS = 4;
constexpr unsigned NIBBLE_MASK = 0x0f;
constexpr std::string_view NODE_JOINT = "__";
constexpr std::string_view DEVICE_LEVEL = "/device/";
constexpr std::string_view CONFIG_LEAF = "/config";
// Shown when the board gave no product string.
constexpr const char* DEFAULT_MODEL = "LED board";
constexpr int LAMPS = 3;   // LED 1 to 3: bits 0 to 2 of the LED value
constexpr int JUMPERS = 4; // J1 to J4: bits 0 to 3 of `jump`
// The words of PREFIX/ID/button, and the device trigger type of each (see the header).
constexpr std::array<std::pair<const char*, const char*>, 5> BUTTON_WORDS{{
    {"pressed", "pressed"},
    {"released", "released"},
    {"single", "button_short_press"},
    {"double", "button_double_press"},
    {"long", "button_long_press"},
}};
constexpr const char* TRIGGER_SUBTYPE = "button_1";
// What PREFIX/ID/led/N/set takes besides ON and OFF.
constexpr std::array<const char*, 2> LAMP_EFFECTS{"blink", "none"};
// The old single-component configs: platform and object id.
constexpr std::array<std::pair<const char*, const char*>, 3> OLD_CONFIGS{{
    {"binary_sensor", "button"},
    {"sensor", "jumpers"},
    {"number", "leds"},
}};

constexpr bool isKept(char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Whether `part` is something discoveryIdPart can return for a non-empty text.
bool isIdPart(std::string_view part)
{
    static const std::regex ID_PART{"([A-Za-z0-9-]|_[0-9a-f]{2})+"};
    return std::regex_match(part.begin(), part.end(), ID_PART);
}

// Home Assistant takes only http(s) (or its own) URLs there and refuses the whole config for
// anything else; no white space or control characters either, which no URL holds.
bool isWebUrl(std::string_view url)
{
    const bool scheme = url.starts_with("http://") || url.starts_with("https://");
    return scheme && url.size() > std::string_view{"https://"}.size() &&
           std::ranges::none_of(url, [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte <= ' ' || byte >= 0x7f;
           });
}

// An entity id's object part made of `text`: lower-case letters and digits, every run of other
// characters one '_', none at either end (the rule Home Assistant checks entity ids against).
std::string entityObjectId(std::string_view text)
{
    std::string slug;
    for (const char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            slug += c;
        } else if (c >= 'A' && c <= 'Z') {
            slug += static_cast<char>(c - 'A' + 'a');
        } else if (!slug.empty() && slug.back() != '_') {
            slug += '_';
        }
    }
    while (!slug.empty() && slug.back() == '_') {
        slug.pop_back();
    }
    return slug;
}

// Board strings come from USB descriptors and settings: invalid UTF-8 must not make the dump
// throw, and is replaced instead (the topics are ASCII already).
std::string dump(const Json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The id is one topic level already; made safe again so that no caller can break the topics
// below with a '/' or a wildcard.
std::string boardNode(const DiscoveryContext& context, const DiscoveredBoard& board)
{
    return discoveryNodeId(context.prefix, topicLevel(board.id));
}

Json deviceOf(const DiscoveryContext& context, const DiscoveredBoard& board,
              const std::string& node)
{
    Json device;
    device["identifiers"] = Json::array({"ledboard_" + node});
    const std::string model = board.product.empty() ? DEFAULT_MODEL : board.product;
    device["name"] = board.name.empty() ? model + " " + topicLevel(board.id) : board.name;
    if (!board.manufacturer.empty()) {
        device["manufacturer"] = board.manufacturer;
    }
    device["model"] = model;
    if (!board.serial.empty()) {
        device["serial_number"] = board.serial;
    }
    if (isWebUrl(context.configurationUrl)) {
        device["configuration_url"] = context.configurationUrl;
    }
    return device;
}

} // namespace

std::string discoveryIdPart(std::string_view text)
{
    std::string part;
    part.reserve(text.size());
    for (const char c : text) {
        if (isKept(c)) {
            part += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        part += '_';
        part += HEX_DIGITS[byte >> NIBBLE_BITS];
        part += HEX_DIGITS[byte & NIBBLE_MASK];
    }
    return part;
}

std::string discoveryNodeId(std::string_view prefix, std::string_view id)
{
    return discoveryIdPart(prefix) + std::string{NODE_JOINT} + discoveryIdPart(id);
}

std::string deviceConfigTopic(const DiscoveryContext& context, const DiscoveredBoard& board)
{
    return context.discoveryPrefix + std::string{DEVICE_LEVEL} + boardNode(context, board) +
           std::string{CONFIG_LEAF};
}

DiscoveryMessage deviceConfig(const DiscoveryContext& context, const DiscoveredBoard& board)
{
    const std::string node = boardNode(context, board);
    const std::string boardTopic = context.prefix + "/" + topicLevel(board.id) + "/";
    const std::string stateTopic = boardTopic + "state";
    const std::string buttonTopic = boardTopic + "button";

    Json config;
    config["device"] = deviceOf(context, board, node);
    Json origin{{"name", "ledboardd"}};
    if (!context.version.empty()) {
        origin["sw_version"] = context.version;
    }
    if (isWebUrl(context.supportUrl)) {
        origin["support_url"] = context.supportUrl;
    }
    config["origin"] = origin;
    config["availability"] = Json::array();
    for (const std::string& topic : {boardTopic + "availability", context.bridgeAvailability}) {
        config["availability"].push_back(
            {{"topic", topic}, {"payload_available", ONLINE}, {"payload_not_available", OFFLINE}});
    }
    config["availability_mode"] = "all";
    config["qos"] = QOS;
    Json& components = config["components"];

    // An entity: what every one has, then `fields`. Its `name` is shown after the device's. The
    // state templates render ON and OFF, the default payload_on and payload_off of lights and
    // binary sensors.
    const auto add = [&](const std::string& key, const char* platform, const std::string& name,
                         const Json& fields) {
        const std::string uniqueId = "ledboard_" + node + "_" + key;
        Json entity{{"platform", platform},
                    {"name", name},
                    {"unique_id", uniqueId},
                    {"default_entity_id", std::string{platform} + "." + entityObjectId(uniqueId)}};
        entity.update(fields);
        components[key] = std::move(entity);
    };

    for (int lamp = 1; lamp <= LAMPS; ++lamp) {
        const std::string number = std::to_string(lamp);
        const std::string commandTopic =
            std::string{boardTopic}.append("led/").append(number).append("/set");
        // ON goes first: the topic is one, and an ON after the effect must not end a blink just
        // asked. No effect state: the state says which lamps are lit, not which blink, so Home
        // Assistant keeps the effect it last sent.
        add("led" + number, "light", "LED " + number,
            {{"command_topic", commandTopic},
             {"state_topic", stateTopic},
             {"state_value_template", "{{ 'ON' if value_json.led" + number + " else 'OFF' }}"},
             {"on_command_type", "first"},
             {"effect_command_topic", commandTopic},
             {"effect_list", LAMP_EFFECTS}});
    }

    // The board takes 0 to 31 and shows the low three bits, which the state then reports.
    add("leds", "number", "LEDs",
        {{"entity_category", "config"},
         {"command_topic", boardTopic + "set"},
         {"command_template", "{{ value | int }}"}, // `set` refuses "5.0"
         {"state_topic", stateTopic},
         {"value_template", "{{ value_json.led }}"},
         {"min", 0},
         {"max", MAX_LED_NUMBER},
         {"step", 1},
         {"mode", "box"}});

    add("button", "binary_sensor", "Button",
        {{"state_topic", stateTopic},
         {"value_template", "{{ 'ON' if value_json.push else 'OFF' }}"}});

    Json words = Json::array();
    for (const auto& [word, triggerType] : BUTTON_WORDS) {
        words.push_back(word);
        components[std::string{"trigger_"} + word] = {{"platform", "device_automation"},
                                                      {"automation_type", "trigger"},
                                                      {"topic", buttonTopic},
                                                      {"payload", word},
                                                      {"type", triggerType},
                                                      {"subtype", TRIGGER_SUBTYPE}};
    }
    // The topic carries the bare word; the event wants {"event_type": WORD}.
    add("button_event", "event", "Button action",
        {{"state_topic", buttonTopic},
         {"event_types", words},
         {"value_template", "{{ {'event_type': value} | to_json }}"},
         {"device_class", "button"}});

    add("jumpers", "sensor", "Jumpers",
        {{"state_topic", stateTopic}, {"value_template", "{{ value_json.jump }}"}});
    for (int jumper = 1; jumper <= JUMPERS; ++jumper) {
        const std::string bit = std::to_string(1 << (jumper - 1));
        add("j" + std::to_string(jumper), "binary_sensor", "J" + std::to_string(jumper),
            {{"entity_category", "diagnostic"},
             {"state_topic", stateTopic},
             {"value_template",
              "{{ 'ON' if value_json.jump | bitwise_and(" + bit + ") else 'OFF' }}"}});
    }

    return {deviceConfigTopic(context, board), dump(config)};
}

std::vector<std::string> oldConfigTopics(const DiscoveryContext& context,
                                         const DiscoveredBoard& board)
{
    const std::string node = boardNode(context, board);
    std::vector<std::string> topics;
    topics.reserve(OLD_CONFIGS.size());
    for (const auto& [platform, objectId] : OLD_CONFIGS) {
        topics.push_back(context.discoveryPrefix + "/" + platform + "/" + node + "/" + objectId +
                         std::string{CONFIG_LEAF});
    }
    return topics;
}

std::vector<DiscoveryMessage> migrationStart(const DiscoveryContext& context,
                                             const DiscoveredBoard& board)
{
    std::vector<DiscoveryMessage> messages;
    for (std::string& topic : oldConfigTopics(context, board)) {
        messages.push_back({std::move(topic), dump(Json{{"migrate_discovery", true}})});
    }
    return messages;
}

std::optional<std::string> nodeOfDeviceConfigTopic(const DiscoveryContext& context,
                                                   std::string_view topic)
{
    const std::string head = context.discoveryPrefix + std::string{DEVICE_LEVEL};
    const std::string ours = discoveryIdPart(context.prefix) + std::string{NODE_JOINT};
    if (!topic.starts_with(head) || !topic.ends_with(CONFIG_LEAF) ||
        topic.size() < head.size() + CONFIG_LEAF.size()) {
        return std::nullopt;
    }
    const std::string_view node =
        topic.substr(head.size(), topic.size() - head.size() - CONFIG_LEAF.size());
    if (!node.starts_with(ours) || !isIdPart(node.substr(ours.size()))) {
        return std::nullopt;
    }
    return std::string{node};
}

std::vector<DiscoveryMessage> discoveryMessages(const DiscoveryContext& context,
                                                const DiscoveredBoard& board)
{
    return {deviceConfig(context, board)};
}

} // namespace ledboardd
