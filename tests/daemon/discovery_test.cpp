// The discovery config Home Assistant reads, checked against its MQTT documentation
// (home-assistant.io, source/_integrations/*.mqtt.markdown and mqtt.markdown): only keys a
// platform documents, the required ones present, topics the bridge has, the entities of earlier
// versions kept, the migration as documented, and nothing a board sends able to break any of it.
#include "discovery.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace ledboardd;
using nlohmann::json;
using Keys = std::set<std::string>;

namespace {

const std::regex DISCOVERY_ID{"[A-Za-z0-9_-]+"};
// An entity id as Home Assistant checks it: no '_' at either end of the object id, none doubled.
const std::regex ENTITY_ID{"([a-z_]+)\\.[a-z0-9]+(_[a-z0-9]+)*"};

// The words of `text`, split at spaces.
Keys words(const std::string& text)
{
    Keys keys;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        keys.insert(word);
    }
    return keys;
}

// The configuration variables each platform's page lists (a subset: what could fit these boards),
// the required ones marked '*'.
const Keys ENTITY_KEYS = words("availability availability_mode default_entity_id device "
                               "enabled_by_default encoding entity_category icon name platform "
                               "qos unique_id");
const std::map<std::string, std::string> PLATFORMS{
    {"light", "*command_topic state_topic state_value_template payload_on payload_off optimistic "
              "on_command_type retain schema effect_command_topic effect_command_template "
              "effect_list effect_state_topic effect_value_template"},
    {"number", "*command_topic command_template state_topic value_template min max step mode "
               "device_class optimistic retain unit_of_measurement"},
    {"binary_sensor",
     "*state_topic value_template payload_on payload_off device_class expire_after off_delay"},
    {"sensor", "*state_topic value_template device_class state_class expire_after"},
    {"event", "*state_topic value_template *event_types device_class"},
    {"device_automation",
     "platform *automation_type payload qos *topic *type *subtype value_template"},
};
const Keys ROOT_KEYS = words("device origin availability availability_mode qos components");
const Keys DEVICE_KEYS = words("identifiers name manufacturer model serial_number "
                               "configuration_url sw_version hw_version");
const Keys ORIGIN_KEYS = words("name sw_version support_url");
// device_trigger.mqtt.markdown: the types the frontend shows in words.
const Keys TRIGGER_TYPES = words("button_short_press button_short_release button_long_press "
                                 "button_long_release button_double_press button_triple_press "
                                 "button_quadruple_press button_quintuple_press");
const Keys BUTTON_WORDS = words("pressed released single double long");

DiscoveryContext context(const std::string& prefix = "ledboard")
{
    return {.discoveryPrefix = "homeassistant",
            .prefix = prefix,
            .bridgeAvailability = prefix + "/bridge/myhost/availability",
            .version = "1.2.3",
            .supportUrl = "https://example.org/support",
            .configurationUrl = "http://myhost:8080/"};
}

DiscoveredBoard board(const std::string& id, const std::string& name = {})
{
    return {.id = id, .name = name, .serial = id, .manufacturer = "Maker", .product = "Board"};
}

json config(const DiscoveryContext& where, const DiscoveredBoard& what)
{
    const DiscoveryMessage message = deviceConfig(where, what);
    EXPECT_EQ(message.topic, deviceConfigTopic(where, what));
    const json parsed = json::parse(message.payload, nullptr, false);
    EXPECT_TRUE(parsed.is_object()) << message.payload;
    return parsed.is_object() ? parsed : json::object();
}

void expectWithin(const json& object, const Keys& allowed, const std::string& where)
{
    for (const auto& [key, value] : object.items()) {
        EXPECT_TRUE(allowed.contains(key)) << where << " has undocumented key " << key;
    }
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

TEST(DiscoveryConfig, UsesOnlyDocumentedKeysAndTheBridgesTopicsAndKeepsTheOldEntities)
{
    const DiscoveryContext where = context("site/leds");
    const std::string id = "host-1-1.4";
    const std::string base = "site/leds/host-1-1.4/";
    const std::string uniqueIdStem = "ledboard_" + discoveryNodeId("site/leds", id) + "_";
    const Keys bridgeTopics{base + "state",     base + "availability",   base + "button",
                            base + "set",       base + "led/1/set",      base + "led/2/set",
                            base + "led/3/set", where.bridgeAvailability};
    const json device = config(where, board(id, "Kitchen"));

    expectWithin(device, ROOT_KEYS, "the root");
    expectWithin(device["device"], DEVICE_KEYS, "device");
    expectWithin(device["origin"], ORIGIN_KEYS, "origin");
    EXPECT_EQ(device["device"]["name"], "Kitchen");
    EXPECT_EQ(device["device"]["configuration_url"], "http://myhost:8080/");
    EXPECT_EQ(device["origin"]["support_url"], "https://example.org/support");
    EXPECT_EQ(device["availability_mode"], "all");
    Keys availability;
    for (const json& entry : device["availability"]) {
        expectWithin(entry, words("topic payload_available payload_not_available"), "availability");
        availability.insert(entry["topic"].get<std::string>());
    }
    EXPECT_EQ(availability, (Keys{base + "availability", where.bridgeAvailability}));

    std::multiset<std::string> platforms;
    std::set<std::pair<std::string, std::string>> triggers;
    Keys triggerWords;
    for (const auto& [key, component] : device["components"].items()) {
        const std::string platform = component.value("platform", "");
        ASSERT_TRUE(PLATFORMS.contains(platform)) << key;
        Keys allowed;
        for (const std::string& word : words(PLATFORMS.at(platform))) {
            const bool required = word.starts_with('*');
            allowed.insert(word.substr(required ? 1 : 0));
            EXPECT_TRUE(!required || component.contains(word.substr(1)))
                << key << " lacks " << word;
        }
        if (platform != "device_automation") {
            platforms.insert(platform);
            allowed.insert(ENTITY_KEYS.begin(), ENTITY_KEYS.end());
            // Required of entities in a device-based config; default_entity_id with its platform,
            // in place of object_id, which is not allowed here.
            EXPECT_EQ(component["unique_id"], uniqueIdStem + key);
            std::smatch entityId;
            const std::string defaultId = component.value("default_entity_id", "");
            EXPECT_TRUE(std::regex_match(defaultId, entityId, ENTITY_ID)) << defaultId;
            EXPECT_EQ(entityId[1].str(), platform) << defaultId;
        } else {
            // The combination of type and subtype must be unique for a device.
            const std::string type = component["type"];
            EXPECT_TRUE(triggers.emplace(type, component["subtype"]).second) << key;
            const std::string word = component["payload"];
            triggerWords.insert(word);
            EXPECT_TRUE(TRIGGER_TYPES.contains(type) || type == word) << key;
        }
        expectWithin(component, allowed, key);
        for (const auto& [option, value] : component.items()) {
            if (option.ends_with("topic")) {
                EXPECT_TRUE(bridgeTopics.contains(value.get<std::string>())) << key << ' ' << value;
            }
        }
    }
    EXPECT_EQ(platforms,
              (std::multiset<std::string>{"light", "light", "light", "number", "sensor", "event",
                                          "binary_sensor", "binary_sensor", "binary_sensor",
                                          "binary_sensor", "binary_sensor"}));
    EXPECT_EQ(triggerWords, BUTTON_WORDS);
    const json& components = device["components"];
    EXPECT_EQ(components["button_event"]["event_types"].get<Keys>(), BUTTON_WORDS);
    EXPECT_EQ(components["leds"]["entity_category"], "config");
    EXPECT_EQ(components["leds"]["max"], 31);
    for (const int n : {1, 2, 3, 4}) {
        const json& jumper = components["j" + std::to_string(n)];
        EXPECT_EQ(jumper["entity_category"], "diagnostic");
        const std::string bit = "bitwise_and(" + std::to_string(1 << (n - 1)) + ")";
        EXPECT_NE(jumper["value_template"].get<std::string>().find(bit), std::string::npos) << n;
    }
    for (const std::string n : {"1", "2", "3"}) {
        const json& light = components["led" + n];
        EXPECT_EQ(light["command_topic"],
                  std::string{base}.append("led/").append(n).append("/set"));
        EXPECT_NE(light["state_value_template"].get<std::string>().find("value_json.led" + n + " "),
                  std::string::npos);
        EXPECT_TRUE(light["effect_list"].get<Keys>().contains("blink"));
    }
}

TEST(DiscoveryConfig, TwoBoardsAndTwoPrefixesNeverShareADeviceAnEntityOrATopic)
{
    Keys topics;
    Keys uniqueIds;
    std::set<json> devices;
    for (const std::string prefix : {"ledboard", "other"}) {
        for (const std::string id : {"A.1", "A_1", "A_2e1"}) {
            const json device = config(context(prefix), board(id));
            EXPECT_TRUE(topics.insert(deviceConfigTopic(context(prefix), board(id))).second);
            devices.insert(device["device"]["identifiers"]);
            for (const auto& [key, component] : device["components"].items()) {
                if (component.contains("unique_id")) {
                    EXPECT_TRUE(uniqueIds.insert(component["unique_id"].get<std::string>()).second)
                        << key;
                }
            }
        }
    }
    EXPECT_EQ(devices.size(), 6U);
}

TEST(DiscoveryConfig, HostileIdsAndStringsGiveValidJsonAndNoWildcardTopics)
{
    DiscoveryContext where = context();
    where.supportUrl = "javascript:alert(1)";
    where.configurationUrl = "http://host/\npage";
    const DiscoveredBoard hostile{.id = "a/b+#\"\\",
                                  .name = "K\"itchen\xff",
                                  .serial = "q\"uote\\",
                                  .manufacturer = "bad \xff\xfe utf-8",
                                  .product = "nl\n\x01"};
    const DiscoveryMessage message = deviceConfig(where, hostile);
    EXPECT_EQ(message.topic.find_first_of("+#"), std::string::npos) << message.topic;
    const json device = json::parse(message.payload, nullptr, false);
    ASSERT_TRUE(device.is_object()) << message.payload;
    // The id is one topic level wherever it is used.
    EXPECT_EQ(device["components"]["button"]["state_topic"], "ledboard/a_b__\"\\/state");
    EXPECT_EQ(device["device"]["name"], "K\"itchen\xef\xbf\xbd");
    EXPECT_EQ(device["device"]["manufacturer"], "bad \xef\xbf\xbd\xef\xbf\xbd utf-8");
    // Home Assistant would refuse the whole config for either URL.
    EXPECT_FALSE(device["device"].contains("configuration_url"));
    EXPECT_FALSE(device["origin"].contains("support_url"));

    // A board without a name, serial or strings: no empty fields, a name and model all the same.
    const json plain = config(
        context(),
        DiscoveredBoard{
            .id = "myhost-1-2", .name = {}, .serial = {}, .manufacturer = {}, .product = {}});
    EXPECT_FALSE(plain["device"].contains("serial_number"));
    EXPECT_FALSE(plain["device"].contains("manufacturer"));
    EXPECT_EQ(plain["device"]["name"], "LED board myhost-1-2");
    EXPECT_FALSE(plain["device"]["model"].get<std::string>().empty());
}

TEST(DiscoveryMigration, HandsTheOldConfigsOverAsDocumented)
{
    // What earlier versions published: their topics, and the unique ids the entities' history
    // hangs on. Each old DISCOVERY/PLATFORM/NODE/KEY/config is taken over by the component KEY of
    // that platform in DISCOVERY/device/NODE/config: the same discovery id, the same unique id.
    const std::vector<std::pair<std::string, std::string>> earlier{
        {"binary_sensor", "button"}, {"sensor", "jumpers"}, {"number", "leds"}};
    const std::vector<std::string> old = oldConfigTopics(context(), board("A17"));
    const std::vector<DiscoveryMessage> start = migrationStart(context(), board("A17"));
    ASSERT_EQ(old.size(), earlier.size());
    ASSERT_EQ(start.size(), earlier.size());
    EXPECT_EQ(deviceConfigTopic(context(), board("A17")),
              "homeassistant/device/ledboard__A17/config");
    const json components = config(context(), board("A17"))["components"];
    for (std::size_t at = 0; at < earlier.size(); ++at) {
        const auto& [platform, key] = earlier[at];
        EXPECT_EQ(old[at], std::string{"homeassistant/"}
                               .append(platform)
                               .append("/ledboard__A17/")
                               .append(key)
                               .append("/config"));
        EXPECT_EQ(start[at].topic, old[at]);
        EXPECT_EQ(json::parse(start[at].payload), (json{{"migrate_discovery", true}}));
        EXPECT_EQ(components[key]["platform"], platform);
        EXPECT_EQ(components[key]["unique_id"], "ledboard_ledboard__A17_" + key);
    }
}

TEST(DiscoveryTopic, NamesOnlyThisPrefixsBoardsInADeviceConfigTopic)
{
    const DiscoveryContext where = context();
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"homeassistant/device/ledboard__A17/config", "ledboard__A17"},
        {"homeassistant/device/ledboard__host-1-1_2e4/config", "ledboard__host-1-1_2e4"},
        {"homeassistant/device/ledboard___2ex/config", "ledboard___2ex"},
        {"homeassistant/device/other__A17/config", std::nullopt},
        {"homeassistant/device/ledboard__/config", std::nullopt},
        {"homeassistant/device/ledboard_A17/config", std::nullopt},
        {"homeassistant/device/ledboard__A17/x/config", std::nullopt},
        {"homeassistant/device/ledboard__A+7/config", std::nullopt},
        {"homeassistant/device/ledboard__A_zz/config", std::nullopt},
        {"homeassistant/device/ledboard__A_2E/config", std::nullopt},
        {"homeassistant/device/ledboard__A17/config/", std::nullopt},
        {"homeassistant/device/ledboard__A17", std::nullopt},
        {"homeassistant/light/ledboard__A17/config", std::nullopt},
        {"homeassistant2/device/ledboard__A17/config", std::nullopt},
        {"homeassistant/device/config", std::nullopt},
    };
    for (const auto& [topic, node] : cases) {
        EXPECT_EQ(nodeOfDeviceConfigTopic(where, topic), node) << topic;
    }
    // Every board's own topic reads back as its node, whatever the prefixes hold.
    DiscoveryContext nested = context("site/leds");
    nested.discoveryPrefix = "home/assistant";
    for (const std::string id : {"A17", ".x", "a b", "-", "a__b"}) {
        EXPECT_EQ(nodeOfDeviceConfigTopic(nested, deviceConfigTopic(nested, board(id))),
                  discoveryNodeId("site/leds", id))
            << id;
    }
}
