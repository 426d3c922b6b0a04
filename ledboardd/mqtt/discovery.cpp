#include "discovery.hpp"

#include "led_command.hpp"
#include "mqtt_topics.hpp"

#include <nlohmann/json.hpp>

namespace ledboardd {

namespace {

constexpr int QOS = 1; // as every other message of the bridge
constexpr const char* HEX_DIGITS = "0123456789abcdef";
constexpr unsigned NIBBLE_BITS = 4;
constexpr unsigned NIBBLE_MASK = 0x0f;
// Shown when the board gave no product string.
constexpr const char* DEFAULT_MODEL = "LED board";

constexpr bool isKept(char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

// Board strings come from USB descriptors: invalid UTF-8 must not make the dump throw, and is
// replaced instead (the topics are ASCII already).
std::string dump(const nlohmann::ordered_json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    return discoveryIdPart(prefix) + "__" + discoveryIdPart(id);
}

std::vector<DiscoveryMessage> discoveryMessages(const DiscoveryContext& context,
                                                const DiscoveredBoard& board)
{
    // The id is one topic level already; made safe again so that no caller can break the
    // topics below with a '/' or a wildcard.
    const std::string id = topicLevel(board.id);
    const std::string boardTopic = context.prefix + "/" + id + "/";
    const std::string stateTopic = boardTopic + "state";
    const std::string node = discoveryNodeId(context.prefix, id);

    nlohmann::ordered_json device;
    device["identifiers"] = nlohmann::ordered_json::array({"ledboard_" + node});
    const std::string model = board.product.empty() ? DEFAULT_MODEL : board.product;
    device["name"] = model + " " + id;
    if (!board.manufacturer.empty()) {
        device["manufacturer"] = board.manufacturer;
    }
    device["model"] = model;
    if (!board.serial.empty()) {
        device["serial_number"] = board.serial;
    }

    nlohmann::ordered_json availability = nlohmann::ordered_json::array();
    for (const std::string& topic : {boardTopic + "availability", context.bridgeAvailability}) {
        availability.push_back(
            {{"topic", topic}, {"payload_available", ONLINE}, {"payload_not_available", OFFLINE}});
    }

    // What every entity of the board shares; `name` is the entity's, shown after the device's.
    const auto entity = [&](const char* key, const char* name) {
        nlohmann::ordered_json config;
        config["name"] = name;
        config["unique_id"] = "ledboard_" + node + "_" + key;
        config["object_id"] = "ledboard_" + node + "_" + key;
        config["state_topic"] = stateTopic;
        config["availability"] = availability;
        config["availability_mode"] = "all";
        config["qos"] = QOS;
        config["device"] = device;
        config["origin"] = {{"name", "ledboardd"}, {"sw_version", context.version}};
        return config;
    };

    nlohmann::ordered_json button = entity("button", "Button");
    button["value_template"] = "{{ 'ON' if value_json.push else 'OFF' }}";
    button["payload_on"] = "ON";
    button["payload_off"] = "OFF";

    nlohmann::ordered_json jumpers = entity("jumpers", "Jumpers");
    jumpers["value_template"] = "{{ value_json.jump }}";

    // The board takes 0 to 31 and shows the low three bits, which the state then reports.
    nlohmann::ordered_json leds = entity("leds", "LEDs");
    leds["value_template"] = "{{ value_json.led }}";
    leds["command_topic"] = boardTopic + "set";
    // A whole number: `set` refuses "5.0".
    leds["command_template"] = "{{ value | int }}";
    leds["min"] = 0;
    leds["max"] = MAX_LED_NUMBER;
    leds["step"] = 1;
    leds["mode"] = "box";

    const std::string base = context.discoveryPrefix + "/";
    return {
        {base + "binary_sensor/" + node + "/button/config", dump(button)},
        {base + "sensor/" + node + "/jumpers/config", dump(jumpers)},
        {base + "number/" + node + "/leds/config", dump(leds)},
    };
}

} // namespace ledboardd
