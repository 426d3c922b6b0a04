// Home Assistant's MQTT discovery: the retained config messages that make each board a device
// with three entities, built from what the bridge knows of it. Pure (no I/O, no client), so the
// unit tests and the fuzzer take it on its own.
//
// Per board, under DISCOVERY (--discovery-prefix, default "homeassistant"), with NODE made of the
// prefix and the board id (see discoveryNodeId):
//   DISCOVERY/binary_sensor/NODE/button/config  the button, from `push` in PREFIX/ID/state
//   DISCOVERY/sensor/NODE/jumpers/config        the jumpers, from `jump`
//   DISCOVERY/number/NODE/leds/config           the LEDs, 0 to 31, set through PREFIX/ID/set
// Each entity is available only while both the board and the bridge say `online`
// (availability_mode "all"): a bridge that died leaves its boards' `online` behind, and its last
// will alone then marks them all unavailable.
#pragma once

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
};

// The board as the discovery messages describe it.
struct DiscoveredBoard {
    std::string id; // topic-safe (one topic level)
    std::string serial;
    std::string manufacturer;
    std::string product;
};

struct DiscoveryMessage {
    std::string topic;
    std::string payload; // JSON, published retained
};

// `text` in the characters Home Assistant takes in a discovery topic's node and object ids
// ([A-Za-z0-9_-]): letters, digits and '-' as they are, every other byte as '_' and two lower-case
// hex digits. Distinct texts give distinct results, and the result never holds "__".
std::string discoveryIdPart(std::string_view text);

// PREFIX and ID as one node id, unique to this board under this prefix: their escaped forms
// joined by "__", which neither contains.
std::string discoveryNodeId(std::string_view prefix, std::string_view id);

// The three config messages of a board.
std::vector<DiscoveryMessage> discoveryMessages(const DiscoveryContext& context,
                                                const DiscoveredBoard& board);

} // namespace ledboardd
