// Home Assistant's MQTT discovery: one retained device-based config per board, and the messages
// that move a board over from the three single-component configs of earlier versions. Pure (no
// I/O, no client), so the unit tests and the fuzzer take it on its own.
//
// Per board, under DISCOVERY (--discovery-prefix, default "homeassistant"), with NODE made of the
// prefix and the board id (discoveryNodeId), the config is DISCOVERY/device/NODE/config:
//   led1..led3  light    one lamp each: PREFIX/ID/led/N/set takes ON, OFF, blink, none; the state
//                        from `ledN` in PREFIX/ID/state
//   leds        number   the LED value 0 to 31 through PREFIX/ID/set (entity_category config)
//   button      binary_sensor  `push`
//   button_event event   PREFIX/ID/button: pressed, released, single, double, long
//   trigger_*   device_automation  one trigger a word of PREFIX/ID/button (below)
//   jumpers     sensor   `jump`, the mask
//   j1..j4      binary_sensor  one jumper each (entity_category diagnostic)
// Everything is available only while both the board and the bridge say `online`
// (availability_mode "all"): a bridge that died leaves its boards' `online` behind, and its last
// will alone then marks them all unavailable.
//
// Home Assistant's documentation followed (home-assistant.io, source/_integrations/):
// - mqtt.markdown, "Device discovery payload": `device` and `origin` at the root, with the shared
//   options (availability, qos); each component under `components` names its `platform`; entity
//   components need a `unique_id`. Keys are spelled in full throughout (no abbreviations).
// - mqtt.markdown, "Migration from single component to device-based discovery": the old node id
//   becomes the device topic's id and the old object ids the component keys, so each entity keeps
//   its discovery id ("NODE button") as well as its unique id; {"migrate_discovery": true} on every
//   old topic, then the device config, then the old topics cleared.
// - <platform>.mqtt.markdown, `default_entity_id` (Home Assistant 2025.10): the entity id with its
//   platform, in place of `object_id`, which 2026.4 ignores. A valid entity id is made here
//   (lower case, digits, single '_') rather than left to Home Assistant's rewriting.
// - event.mqtt.markdown: the payload must render to JSON with `event_type`; the bridge sends a
//   plain word, which value_template wraps.
// - device_trigger.mqtt.markdown: automation_type "trigger", and the frontend's types and subtypes
//   where one means the same. Subtype "button_1" for all; single -> button_short_press,
//   double -> button_double_press, long -> button_long_press (sent while held). The raw edges,
//   pressed and released, have no documented type that means them (button_short_release is the
//   release of a short press), so their type is the word itself, which the page says is shown as
//   "button_1 pressed".
// - light.mqtt.markdown, default schema; number.mqtt.markdown; binary_sensor.mqtt.markdown;
//   sensor.mqtt.markdown: only keys these pages list.
// - `configuration_url` and `support_url` must be http(s) URLs, or the whole config is refused
//   (Home Assistant validates both): anything else is left out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

inline constexpr const char* DEFAULT_DISCOVERY_PREFIX = "homeassistant";

// What the discovery messages are made of besides the board: where its topics live.
struct DiscoveryContext {
    std::string discoveryPrefix;    // "homeassistant"
    std::string prefix;             // the bridge's own, "ledboard"
    std::string bridgeAvailability; // PREFIX/bridge/HOSTNAME/availability
    std::string version;            // this program's, for `origin`
    // Optional, and so defaulted: a caller that has none need not name them.
    std::string supportUrl{};       // for `origin`; empty: none
    std::string configurationUrl{}; // the live page, for the device; empty: none
};

// The board as the discovery messages describe it.
struct DiscoveredBoard {
    std::string id;     // topic-safe (one topic level)
    std::string name{}; // the user's, "Kitchen"; empty: none (optional, so defaulted)
    std::string serial;
    std::string manufacturer;
    std::string product;
};

struct DiscoveryMessage {
    std::string topic;
    std::string payload; // published retained; empty clears the topic
};

// `text` in the characters Home Assistant takes in a discovery topic's node and object ids
// ([A-Za-z0-9_-]): letters, digits and '-' as they are, every other byte as '_' and two lower-case
// hex digits. Distinct texts give distinct results, and the result never holds "__".
std::string discoveryIdPart(std::string_view text);

// PREFIX and ID as one node id, unique to this board under this prefix: their escaped forms
// joined by "__", which neither contains. Unique ids are built on it: its output must not change.
std::string discoveryNodeId(std::string_view prefix, std::string_view id);

// DISCOVERY/device/NODE/config
std::string deviceConfigTopic(const DiscoveryContext& context, const DiscoveredBoard& board);

// The board's device-based config, on deviceConfigTopic.
DiscoveryMessage deviceConfig(const DiscoveryContext& context, const DiscoveredBoard& board);

// The single-component config topics earlier versions published for the board.
std::vector<std::string> oldConfigTopics(const DiscoveryContext& context,
                                         const DiscoveredBoard& board);

// The migration, in three steps sent in this order: these messages ({"migrate_discovery": true}
// on every old topic: Home Assistant unloads the entities and keeps their settings), then
// deviceConfig, then an empty retained payload on every oldConfigTopics.
std::vector<DiscoveryMessage> migrationStart(const DiscoveryContext& context,
                                             const DiscoveredBoard& board);

// The node a DISCOVERY/device/NODE/config topic names, when NODE is one of this prefix's
// (discoveryNodeId of the prefix and some id); nothing for any other topic. An empty retained
// payload there is Home Assistant clearing the config: the user deleted the device.
std::optional<std::string> nodeOfDeviceConfigTopic(const DiscoveryContext& context,
                                                   std::string_view topic);

// What the bridge publishes today: the device config alone.
std::vector<DiscoveryMessage> discoveryMessages(const DiscoveryContext& context,
                                                const DiscoveredBoard& board);

} // namespace ledboardd
