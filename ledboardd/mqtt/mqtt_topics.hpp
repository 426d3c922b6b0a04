// The bridge's topic layout and payloads. Pure, for the unit tests and the fuzzer.
//   PREFIX/ID/state         retained JSON {"led":L,"led1":…,"led2":…,"led3":…,"push":P,"jump":J,
//                           "name":…}
//   PREFIX/ID/availability  retained "online" / "offline"
//   PREFIX/ID/button        "pressed" / "released" at each change, not retained
//   PREFIX/ID/set           (subscribed) an LED request (core/led_command.hpp)
//   PREFIX/ID/led/N/set     (subscribed) LED N (1 to 3) on or off (core/led_switch.hpp)
//   PREFIX/ID/error         why a command was refused, not retained
//   PREFIX/bridge/HOSTNAME/availability  retained "online"; "offline" as the last will
//   PREFIX/bridge/HOSTNAME/boards        retained JSON array of the ids served now
//   PREFIX/bridge/HOSTNAME/retire        (subscribed) the id of an away board to forget
// and, with discovery, Home Assistant's DISCOVERY/status (subscribed: its "online" asks for the
// configs again), its DISCOVERY/device/NODE/config (subscribed: an empty one is a deletion) and the
// three single-component configs earlier versions published (subscribed: to hand them over).
#pragma once

#include "hub.hpp"
#include "ledboard_device.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

inline constexpr const char* ONLINE = "online";
inline constexpr const char* OFFLINE = "offline";

// `text` made safe as one MQTT topic level: '+', '#', '/', control characters, DEL and bytes
// outside ASCII become '_'; an empty text becomes "_". At most MAX_TOPIC_LEVEL bytes. For the host
// name in the bridge's own topics.
inline constexpr std::size_t MAX_TOPIC_LEVEL = 128;
std::string topicLevel(std::string_view text);

// A message that came in, by its topic.
struct Inbound {
    enum class Kind {
        Other,          // none of the bridge's
        Set,            // PREFIX/ID/set
        LedSet,         // PREFIX/ID/led/N/set
        Retire,         // PREFIX/bridge/HOSTNAME/retire
        AssistantState, // DISCOVERY/status
        DeviceConfig,   // DISCOVERY/device/NODE/config
        OldConfig,      // an earlier version's single-component config of NODE
    };
    Kind kind = Kind::Other;
    std::string id; // Set, LedSet: the board; DeviceConfig, OldConfig: the node
    int led = 0;    // LedSet: 1 to 3
};

class Topics {
public:
    Topics(std::string prefix, std::string_view hostName, std::string discoveryPrefix = {});

    std::string board(const std::string& id, const char* leaf) const;
    const std::string& bridgeAvailability() const { return bridgeAvailability_; }
    const std::string& bridgeBoards() const { return bridgeBoards_; }
    // What the bridge subscribes to; Home Assistant's topics only with `discovery`.
    std::vector<std::string> subscriptions(bool discovery) const;

    Inbound inbound(std::string_view topic) const;

private:
    std::string prefix_;
    std::string discoveryPrefix_;
    std::string bridgeAvailability_;
    std::string bridgeBoards_;
    std::string bridgeRetire_;
};

// {"led":L,"led1":…,"led2":…,"led3":…,"push":P,"jump":J,"name":N|null}; for a board with a
// status.
std::string stateJson(const Board& board);
// ["A17","myhost-1-1.4"]
std::string boardListJson(const std::vector<std::string>& ids);

} // namespace ledboardd
