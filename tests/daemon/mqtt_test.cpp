// The MQTT front end without a broker: the topic layout, and the bridge's publications in their
// exact order against a fake client, as the hub's changes and the broker's messages come.
#include "hub.hpp"
#include "mqtt_bridge.hpp"
#include "mqtt_topics.hpp"
#include "timers.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

using namespace ledboardd;
using testing::ElementsAre;
using testing::IsEmpty;

TEST(TopicLevel, ReplacesWhatMqttGivesAMeaningAndKeepsTheRest)
{
    EXPECT_EQ(topicLevel("A17"), "A17");
    EXPECT_EQ(topicLevel("host-1-1.4"), "host-1-1.4");
    EXPECT_EQ(topicLevel("a/b+c#d"), "a_b_c_d");
    EXPECT_EQ(topicLevel("tab\there\x7f"), "tab_here_");
    EXPECT_EQ(topicLevel(std::string_view{"nul\0x", 5}), "nul_x");
    EXPECT_EQ(topicLevel("caf\xc3\xa9"), "caf__");
    EXPECT_EQ(topicLevel(""), "_");
    EXPECT_EQ(topicLevel(std::string(300, 'x')).size(), MAX_TOPIC_LEVEL);
}

TEST(Topics, EachInboundTopicNamesWhatItIsFor)
{
    const Topics topics("home/leds", "myhost", "ha");
    using Kind = Inbound::Kind;
    const std::vector<std::tuple<std::string, Kind, std::string, int>> cases{
        {"home/leds/A17/set", Kind::Set, "A17", 0},
        {"home/leds/a~2Fb/set", Kind::Set, "a~2Fb", 0},
        {"home/leds/A17/led/3/set", Kind::LedSet, "A17", 3},
        {"home/leds/A17/led/4/set", Kind::Other, "", 0},
        {"home/leds/A17/led/0/set", Kind::Other, "", 0},
        {"home/leds/bridge/myhost/retire", Kind::Retire, "", 0},
        {"home/leds/bridge/other/retire", Kind::Other, "", 0},
        {"ha/status", Kind::AssistantState, "", 0},
        {"ha/device/home_2fleds__A17/config", Kind::DeviceConfig, "home_2fleds__A17", 0},
        {"ha/sensor/x/y/config", Kind::Other, "", 0},
        {"home/leds/set", Kind::Other, "", 0},
        {"home/leds//set", Kind::Other, "", 0},
        {"home/leds/A/B/set", Kind::Other, "", 0},
        {"home/ledsX/A17/set", Kind::Other, "", 0},
        {"home/leds/A17/state", Kind::Other, "", 0},
        {"other/A17/set", Kind::Other, "", 0},
    };
    for (const auto& [topic, kind, id, led] : cases) {
        const Inbound inbound = topics.inbound(topic);
        EXPECT_EQ(inbound.kind, kind) << topic;
        EXPECT_EQ(inbound.id, id) << topic;
        EXPECT_EQ(inbound.led, led) << topic;
    }
    EXPECT_EQ(topics.bridgeAvailability(), "home/leds/bridge/myhost/availability");
    EXPECT_THAT(topics.subscriptions(false), ElementsAre("home/leds/+/set", "home/leds/+/led/+/set",
                                                         "home/leds/bridge/myhost/retire"));
}

namespace {

constexpr BoardStatus ZERO{0, 0, 0};

// A client that records what the bridge publishes, as "topic payload" (with " (retained)"), and
// acknowledges only when told.
class FakeClient final : public MqttTransport {
public:
    std::optional<int> publish(const std::string& topic, std::string_view payload,
                               bool retain) override
    {
        sent.push_back(topic + " " + std::string{payload} + (retain ? " (retained)" : ""));
        return nextId++;
    }
    std::optional<int> subscribe(const std::string& pattern) override
    {
        subscribed.push_back(pattern);
        lastSubscription = nextId;
        return nextId++;
    }

    std::vector<std::string> take() { return std::exchange(sent, {}); }

    std::vector<std::string> sent;
    std::vector<std::string> subscribed;
    int lastSubscription = 0;
    int nextId = 1;
};

struct Bridged {
    explicit Bridged(bool discovery = false)
        : bridge{hub, client, timers,
                 BridgeOptions{.prefix = "p",
                               .hostName = "h",
                               .discovery = discovery,
                               .discoveryPrefix = "ha",
                               .version = "1",
                               .brokerName = "broker:1883",
                               .configurationUrl = "",
                               .supportUrl = ""}}
    {
    }

    Hub hub{HubOptions{.interval = std::chrono::milliseconds{50},
                       .missesAllowed = 3,
                       .names = {{.serial = "A17", .port = "", .name = "Desk"}},
                       .timeReads = false}};
    FakeClient client;
    Timers timers;
    MqttBridge bridge;

    std::shared_ptr<Hub::Slot> plugIn(const std::string& id)
    {
        return hub.arrive(
            {.id = id, .serial = id, .path = "1-1", .manufacturer = "", .product = ""}, ZERO);
    }
    // One worker turn that answers with `status` (the LEDs it was sent, if any).
    void read(Hub::Slot& slot, BoardStatus status = ZERO)
    {
        const Hub::Turn turn = hub.takeTurn(slot);
        if (turn.write) {
            status.led = reportedLed(*turn.write);
        }
        hub.report(slot, turn, status);
        ackAll();
    }
    // The broker acknowledges everything sent so far, and what that lets out.
    void ackAll()
    {
        for (int id = acknowledged + 1; id < client.nextId; ++id) {
            bridge.published(id);
            acknowledged = id;
        }
    }
    int acknowledged = 0;
};

} // namespace

TEST(Bridge, AConnectPublishesTheWholeTruthInOrder)
{
    Bridged b;
    const auto slot = b.plugIn("A17");
    // Known from before a restart, away.
    b.hub.restore({{{.id = "B2", .serial = "B2", .path = "", .manufacturer = "", .product = ""},
                    3,
                    false,
                    std::nullopt}});
    EXPECT_THAT(b.client.take(), IsEmpty()); // nothing goes out before a connection

    b.bridge.connected();
    EXPECT_THAT(b.client.subscribed, ElementsAre("p/+/set", "p/+/led/+/set", "p/bridge/h/retire"));
    EXPECT_THAT(
        b.client.take(),
        ElementsAre(
            "p/bridge/h/availability online (retained)", "p/A17/availability online (retained)",
            R"(p/A17/state {"led":0,"led1":false,"led2":false,"led3":false,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            "p/B2/availability offline (retained)", R"(p/bridge/h/boards ["A17"] (retained))"));
    b.hub.leave(*slot, true);
}

// Broker down, board unplugged and plugged in again, broker up: the client sends again what was
// not acknowledged before, possibly after the fresh messages. Once those are acknowledged the
// truth goes out once more, so that `offline` never has the last word over a board that is here.
TEST(Bridge, OfflineNeverLandsAfterAFreshOnline)
{
    Bridged b;
    auto slot = b.plugIn("A17");
    b.bridge.connected();
    b.client.take();
    b.hub.leave(*slot, true); // its `offline` is sent, and not acknowledged
    EXPECT_THAT(b.client.take(), ElementsAre("p/A17/availability offline (retained)",
                                             "p/bridge/h/boards [] (retained)"));
    b.bridge.disconnected();
    slot = b.plugIn("A17");
    EXPECT_THAT(b.client.take(), IsEmpty());

    b.bridge.connected();
    auto sent = b.client.take();
    EXPECT_THAT(sent[1], "p/A17/availability online (retained)");
    // The old `offline` lands now, after the fresh `online`, and the truth follows it.
    b.ackAll();
    EXPECT_THAT(
        b.client.take(),
        ElementsAre(
            "p/A17/availability online (retained)",
            R"(p/A17/state {"led":0,"led1":false,"led2":false,"led3":false,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            R"(p/bridge/h/boards ["A17"] (retained))"));
    b.hub.leave(*slot, true);
}

// What arrives on a `set` topic: a command is applied and confirmed by a state, also when the
// state does not change; a retained one is not a command; clearing it is no error; an id never
// seen is not kept; a flood of refusals is answered only so far.
TEST(Bridge, SetCommandsAreAppliedConfirmedOrRefusedWithAReason)
{
    Bridged b;
    const auto slot = b.plugIn("A17");
    b.bridge.connected();
    b.client.take();

    b.bridge.message("p/A17/set", "5", false);
    b.read(*slot);
    b.bridge.message("p/A17/set", "13", false); // reads back as 5 again
    b.read(*slot);
    b.bridge.message("p/A17/set", "7", true);
    b.bridge.message("p/A17/set", "", true);
    b.bridge.message("p/A17/set", "", false);
    b.bridge.message("p/A17/set", "x", false);
    b.bridge.message("p/ZZ/set", "1", false);
    b.bridge.message("p/A17/state", "1", false); // not a command topic
    EXPECT_THAT(
        b.client.take(),
        ElementsAre(
            R"(p/A17/state {"led":5,"led1":true,"led2":false,"led3":true,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            R"(p/A17/state {"led":5,"led1":true,"led2":false,"led3":true,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            "p/A17/error set refused: a retained set is not a command; clear it "
            "with mosquitto_pub -r -n -t p/A17/set",
            "p/A17/error set refused: not a decimal number",
            "p/ZZ/error set refused: no board with this id has been seen"));
    EXPECT_EQ(b.hub.board("A17")->desired, 13);
    EXPECT_FALSE(b.hub.board("ZZ"));
    const auto refused = [&b] {
        return b.hub.frontEnds().at("mqtt").values.at("commands_refused_total");
    };
    EXPECT_EQ(refused(), 3);
    // Said only so far, yet every one is counted.
    constexpr int FLOOD = 200;
    for (int i = 0; i < FLOOD; ++i) {
        b.bridge.message("p/A17/set", "x", false);
    }
    EXPECT_LT(b.client.take().size(), static_cast<std::size_t>(FLOOD));
    EXPECT_EQ(refused(), 3 + FLOOD);
    b.hub.leave(*slot, true);
}

// One LED at a time changes one bit of what was asked (bits 3 and 4 kept); a board is retired only
// while it is away, and then nothing of it is left retained.
TEST(Bridge, OneLedAtATimeAndRetiringAnAwayBoard)
{
    Bridged b;
    const auto slot = b.plugIn("A17");
    b.bridge.connected();
    b.ackAll();
    b.client.take();

    b.bridge.message("p/A17/set", "13", false); // 0b01101
    b.read(*slot);
    b.bridge.message("p/A17/led/2/set", "ON", false);
    b.read(*slot);
    EXPECT_EQ(b.hub.board("A17")->desired, 15);
    b.bridge.message("p/A17/led/1/set", "off", false);
    b.read(*slot);
    EXPECT_EQ(b.hub.board("A17")->desired, 14);
    b.bridge.message("p/A17/led/3/set", "dim", false);
    b.bridge.message("p/bridge/h/retire", "A17", false);
    EXPECT_THAT(
        b.client.take(),
        ElementsAre(
            R"(p/A17/state {"led":5,"led1":true,"led2":false,"led3":true,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            R"(p/A17/state {"led":7,"led1":true,"led2":true,"led3":true,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            R"(p/A17/state {"led":6,"led1":false,"led2":true,"led3":true,"push":0,"jump":0,"name":"Desk","effect":null} (retained))",
            "p/A17/error set refused: not ON, OFF, true, false, blink or none",
            "p/A17/error retire refused: the board is here; unplug it first"));

    b.hub.leave(*slot, true);
    b.client.take();
    b.bridge.message("p/bridge/h/retire", "A17\n", false);
    EXPECT_THAT(b.client.take(),
                ElementsAre("p/A17/state  (retained)", "p/A17/availability  (retained)",
                            "p/bridge/h/boards [] (retained)"));
    EXPECT_FALSE(b.hub.board("A17"));
    b.bridge.message("p/bridge/h/retire", "A17", false);
    EXPECT_THAT(b.client.take(),
                ElementsAre("p/A17/error retire refused: no board with this id has been seen"));
}

// Home Assistant: an earlier version's three configs, found retained, are handed over to the
// device config the way its documentation asks; a device its user deleted is not announced again,
// not even after a reconnect, until the board is plugged in anew.
TEST(Bridge, AssistantConfigsAreHandedOverAndADeletedDeviceStaysDeleted)
{
    Bridged b(true);
    b.hub.markStarted();
    auto slot = b.plugIn("A17");
    b.bridge.connected();
    const char* const device = "ha/device/p__A17/config";
    // No config before the broker has sent what an earlier version left retained.
    for (const std::string& message : b.client.sent) {
        EXPECT_EQ(message.find("ha/device"), std::string::npos) << message;
    }
    b.bridge.subscribed(b.client.lastSubscription);
    const auto startsWith = [](const std::string& text, const std::string& start) {
        return text.rfind(start, 0) == 0;
    };
    const std::vector<std::string> first = b.client.take();
    EXPECT_TRUE(startsWith(first.back(), device)) << first.back();

    const std::vector<std::string> old{"ha/binary_sensor/p__A17/button/config",
                                       "ha/sensor/p__A17/jumpers/config",
                                       "ha/number/p__A17/leds/config"};
    b.bridge.message(old[0], R"({"name":"Button"})", true);
    b.bridge.message(old[1], R"({"name":"Jumpers"})", true); // the same board: once is enough
    const std::vector<std::string> sent = b.client.take();
    ASSERT_EQ(sent.size(), 7U);
    for (std::size_t i = 0; i < old.size(); ++i) {
        EXPECT_EQ(sent[i], old[i] + R"( {"migrate_discovery":true} (retained))");
        EXPECT_EQ(sent[4 + i], old[i] + "  (retained)");
    }
    EXPECT_TRUE(startsWith(sent[3], device));

    b.bridge.message(device, "", true); // the user deleted the device
    EXPECT_TRUE(b.hub.board("A17")->discoveryWithdrawn);
    b.bridge.disconnected();
    b.bridge.connected();
    b.bridge.subscribed(b.client.lastSubscription);
    for (const std::string& message : b.client.take()) {
        EXPECT_FALSE(startsWith(message, device)) << message;
    }
    b.hub.leave(*slot, true);
    b.client.take();
    slot = b.plugIn("A17"); // plugged in anew
    EXPECT_FALSE(b.hub.board("A17")->discoveryWithdrawn);
    EXPECT_TRUE(startsWith(b.client.take().at(0), device));
    b.hub.leave(*slot, true);
}
