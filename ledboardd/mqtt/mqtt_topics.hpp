// The bridge's topic layout and payloads. Pure, for the unit tests and the fuzzer.
//   PREFIX/ID/state         retained JSON {"led":L,"push":P,"jump":J}
//   PREFIX/ID/availability  retained "online" / "offline"
//   PREFIX/ID/button        "pressed" / "released" at each change, not retained
//   PREFIX/ID/set           (subscribed) an LED request (core/led_command.hpp)
//   PREFIX/ID/error         why a `set` was refused, not retained
//   PREFIX/bridge/HOSTNAME/availability  retained "online"; "offline" as the last will
//   PREFIX/bridge/HOSTNAME/boards        retained JSON array of the ids served now
#pragma once

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

class Topics {
public:
    Topics(std::string prefix, std::string_view hostName);

    std::string board(const std::string& id, const char* leaf) const;
    const std::string& bridgeAvailability() const { return bridgeAvailability_; }
    const std::string& bridgeBoards() const { return bridgeBoards_; }
    // What the bridge subscribes to.
    std::vector<std::string> subscriptions() const;

    // The board a command topic (PREFIX/ID/set) is for; nothing for any other topic.
    std::optional<std::string> commandTarget(std::string_view topic) const;

private:
    std::string prefix_;
    std::string bridgeAvailability_;
    std::string bridgeBoards_;
};

// {"led":L,"push":P,"jump":J}
std::string stateJson(const BoardStatus& status);
// ["A17","myhost-1-1.4"]
std::string boardListJson(const std::vector<std::string>& ids);

} // namespace ledboardd
