// The discovery configs Home Assistant reads, and the bridge's list of boards read back after a
// restart: what they refer to must exist, and nothing a board or the network sends may break them.
#include "discovery.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

using namespace ledboardd;
using namespace std::string_literals;
using nlohmann::json;

namespace {

const std::regex DISCOVERY_ID{"[A-Za-z0-9_-]+"};

DiscoveryContext context(const std::string& prefix = "ledboard")
{
    return {.discoveryPrefix = "homeassistant",
            .prefix = prefix,
            .bridgeAvailability = prefix + "/bridge/myhost/availability",
            .version = "1.2.3"};
}

DiscoveredBoard board(const std::string& id)
{
    return {.id = id, .serial = id, .manufacturer = "Maker", .product = "Board"};
}

// The configs of one board by component, parsed; fails the test on a payload that is not JSON.
std::map<std::string, json> configs(const DiscoveryContext& where, const DiscoveredBoard& what)
{
    std::map<std::string, json> byComponent;
    for (const DiscoveryMessage& message : discoveryMessages(where, what)) {
        const json config = json::parse(message.payload, nullptr, false);
        EXPECT_FALSE(config.is_discarded()) << message.payload;
        const std::string component = message.topic.substr(where.discoveryPrefix.size() + 1);
        byComponent[component.substr(0, component.find('/'))] = config;
    }
    return byComponent;
}

} // namespace

TEST(DiscoveryId, KeepsWhatHomeAssistantTakesAndEscapesTheRestWithoutCollisions)
{
    EXPECT_EQ(discoveryIdPart("A17-x"), "A17-x");
    EXPECT_EQ(discoveryIdPart("host-1-1.4"), "host-1-1_2e4");
    // Texts that a plain '_' replacement would make equal stay apart.
    const std::set<std::string> texts{"a.b",     "a_b",    "a/b", "a_2eb", "a b",
                                      "a\xff-b", "a_ff-b", "_",   "__",    ""};
    std::set<std::string> parts;
    for (const std::string& text : texts) {
        const std::string part = discoveryIdPart(text);
        parts.insert(part);
        if (!text.empty()) {
            EXPECT_TRUE(std::regex_match(part, DISCOVERY_ID)) << part;
        }
        EXPECT_EQ(part.find("__"), std::string::npos) << part;
    }
    EXPECT_EQ(parts.size(), texts.size());
    // Where the prefix ends and the id starts is not lost in the node id.
    EXPECT_NE(discoveryNodeId("a", "b_c"), discoveryNodeId("a_b", "c"));
    EXPECT_NE(discoveryNodeId("a", "_b"), discoveryNodeId("a_", "b"));
    EXPECT_NE(discoveryNodeId("home/a", "b"), discoveryNodeId("home", "a_b"));
}

TEST(DiscoveryConfigs, ReferOnlyToTheBridgesTopicsAndNeedBothAvailabilities)
{
    const DiscoveryContext where = context("site/leds");
    const std::string id = "host-1-1.4";
    const std::string base = "site/leds/host-1-1.4/";
    const auto messages = discoveryMessages(where, board(id));
    ASSERT_EQ(messages.size(), 3U);
    std::set<std::string> uniqueIds;
    for (const DiscoveryMessage& message : messages) {
        // DISCOVERY/COMPONENT/NODE/OBJECT/config, the node and object in HA's characters.
        const std::regex shape{
            "homeassistant/(binary_sensor|sensor|number)/([^/]+)/([^/]+)/config"};
        std::smatch levels;
        ASSERT_TRUE(std::regex_match(message.topic, levels, shape)) << message.topic;
        EXPECT_TRUE(std::regex_match(levels[2].str(), DISCOVERY_ID)) << message.topic;
        EXPECT_TRUE(std::regex_match(levels[3].str(), DISCOVERY_ID)) << message.topic;

        const json config = json::parse(message.payload);
        EXPECT_EQ(config["state_topic"], base + "state");
        EXPECT_EQ(config["availability_mode"], "all");
        const json expectedAvailability =
            json::array({{{"topic", base + "availability"},
                          {"payload_available", "online"},
                          {"payload_not_available", "offline"}},
                         {{"topic", "site/leds/bridge/myhost/availability"},
                          {"payload_available", "online"},
                          {"payload_not_available", "offline"}}});
        EXPECT_EQ(config["availability"], expectedAvailability);
        EXPECT_EQ(config["device"]["serial_number"], id);
        EXPECT_EQ(config["device"]["manufacturer"], "Maker");
        EXPECT_EQ(config["origin"]["name"], "ledboardd");
        EXPECT_EQ(config["origin"]["sw_version"], "1.2.3");
        EXPECT_TRUE(std::regex_match(config["object_id"].get<std::string>(), DISCOVERY_ID));
        uniqueIds.insert(config["unique_id"].get<std::string>());
    }
    EXPECT_EQ(uniqueIds.size(), 3U);

    auto byComponent = configs(where, board(id));
    const json& leds = byComponent["number"];
    EXPECT_EQ(leds["command_topic"], base + "set");
    EXPECT_EQ(leds["min"], 0);
    EXPECT_EQ(leds["max"], 31);
    EXPECT_EQ(leds["step"], 1);
    EXPECT_NE(leds["value_template"].get<std::string>().find("value_json.led"), std::string::npos);
    EXPECT_NE(
        byComponent["binary_sensor"]["value_template"].get<std::string>().find("value_json.push"),
        std::string::npos);
    EXPECT_NE(byComponent["sensor"]["value_template"].get<std::string>().find("value_json.jump"),
              std::string::npos);
    // One device for the three entities.
    EXPECT_EQ(byComponent["number"]["device"], byComponent["sensor"]["device"]);
    EXPECT_EQ(byComponent["number"]["device"], byComponent["binary_sensor"]["device"]);
}

TEST(DiscoveryConfigs, TwoBoardsAndTwoPrefixesNeverShareAnEntityOrATopic)
{
    std::set<std::string> topics;
    std::set<std::string> uniqueIds;
    std::set<json> devices;
    for (const std::string prefix : {"ledboard", "other"}) {
        for (const std::string id : {"A.1", "A_1", "A_2e1"}) {
            for (const DiscoveryMessage& message : discoveryMessages(context(prefix), board(id))) {
                EXPECT_TRUE(topics.insert(message.topic).second) << message.topic;
                const json config = json::parse(message.payload);
                uniqueIds.insert(config["unique_id"].get<std::string>());
                devices.insert(config["device"]["identifiers"]);
            }
        }
    }
    EXPECT_EQ(uniqueIds.size(), topics.size());
    EXPECT_EQ(devices.size(), 6U);
}

TEST(DiscoveryConfigs, HostileIdsAndStringsGiveValidJsonAndNoWildcardTopics)
{
    DiscoveredBoard hostile{.id = "a/b+#\"\\",
                            .serial = "q\"uote\\",
                            .manufacturer = "bad \xff\xfe utf-8",
                            .product = "nl\n\x01"};
    for (const DiscoveryMessage& message : discoveryMessages(context(), hostile)) {
        EXPECT_EQ(message.topic.find_first_of("+#"), std::string::npos) << message.topic;
        const json config = json::parse(message.payload, nullptr, false);
        ASSERT_FALSE(config.is_discarded()) << message.payload;
        // The id is one topic level wherever it is used.
        EXPECT_EQ(config["state_topic"], "ledboard/a_b__\"\\/state");
        EXPECT_EQ(config["device"]["serial_number"], "q\"uote\\");
        EXPECT_EQ(config["device"]["manufacturer"], "bad \xef\xbf\xbd\xef\xbf\xbd utf-8");
    }
    // A board without serial or strings: no empty fields, a model all the same.
    const auto plain = configs(
        context(),
        DiscoveredBoard{.id = "myhost-1-2", .serial = {}, .manufacturer = {}, .product = {}});
    const json& device = plain.at("sensor")["device"];
    EXPECT_FALSE(device.contains("serial_number"));
    EXPECT_FALSE(device.contains("manufacturer"));
    EXPECT_FALSE(device["model"].get<std::string>().empty());
}
