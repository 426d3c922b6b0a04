// What the daemon reads from the network and its configuration: `set` payloads, topic levels made
// of board ids, topic prefixes and broker addresses.
#include "parsing.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace ledboardd;
using namespace std::string_view_literals;

TEST(SetPayload, TakesEveryLedNumberWithWhiteSpaceAround)
{
    for (int value = 0; value <= MAX_LED_COMMAND; ++value) {
        const std::string text = std::to_string(value);
        EXPECT_EQ(parseLedCommand(text).value, value) << text;
        EXPECT_EQ(parseLedCommand(" \t" + text + "\r\n").value, value) << text;
        EXPECT_EQ(parseLedCommand(text).refusal, nullptr);
    }
    EXPECT_EQ(parseLedCommand("07").value, 7);
    EXPECT_EQ(parseLedCommand("007").value, 7);
    EXPECT_EQ(parseLedCommand("000").value, 0);
    EXPECT_EQ(parseLedCommand("0000000031").value, 31);
}

TEST(SetPayload, RefusesAnythingElse)
{
    for (const std::string_view payload :
         {""sv,           " \n"sv, "32"sv,           "99"sv,
          "-1"sv,         "+5"sv,  "-0"sv,           "5.0"sv,
          "0x5"sv,        "5 5"sv, "5a"sv,           "a5"sv,
          "0032"sv,       "1e1"sv, "\v5"sv,          "5\f"sv,
          "\0"sv,         "5\0"sv, "\x35\xc2\xa0"sv, "\xd9\xa3"sv /* an Arabic-Indic digit */,
          "4294967301"sv, "on"sv,  R"({"led":5})"sv}) {
        const LedCommand command = parseLedCommand(payload);
        EXPECT_EQ(command.value, -1) << '"' << payload << '"';
        EXPECT_NE(command.refusal, nullptr) << '"' << payload << '"';
    }
}

TEST(SetPayload, SaysWhyAndRefusesOversizedPayloadsUnread)
{
    EXPECT_STREQ(parseLedCommand("").refusal, "empty payload");
    EXPECT_STREQ(parseLedCommand("x").refusal, "not a decimal number");
    EXPECT_STREQ(parseLedCommand("32").refusal, "out of range (0 to 31)");
    EXPECT_STREQ(parseLedCommand("00100").refusal, "out of range (0 to 31)");
    // White space alone past the bound: still too long, however harmless.
    const std::string padded = std::string(MAX_COMMAND_PAYLOAD, ' ') + "5";
    EXPECT_STREQ(parseLedCommand(padded).refusal, "payload too long");
    EXPECT_EQ(parseLedCommand(padded.substr(1)).value, 5);
}

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

TEST(Prefix, RefusesWildcardsAndEmptyLevels)
{
    EXPECT_TRUE(isValidPrefix("ledboard"));
    EXPECT_TRUE(isValidPrefix("home/lights"));
    for (const std::string_view prefix : {""sv, "/"sv, "/ledboard"sv, "ledboard/"sv, "a//b"sv,
                                          "led+"sv, "#"sv, "a\nb"sv, "caf\xc3\xa9"sv}) {
        EXPECT_FALSE(isValidPrefix(prefix)) << prefix;
    }
}

TEST(Broker, ReadsHostAndOptionalPort)
{
    constexpr int DEFAULT = 1883;
    const BrokerAddress plain = parseBroker("localhost", DEFAULT);
    EXPECT_TRUE(plain.ok);
    EXPECT_EQ(plain.host, "localhost");
    EXPECT_EQ(plain.port, DEFAULT);
    const BrokerAddress withPort = parseBroker("10.0.0.2:8883", DEFAULT);
    EXPECT_TRUE(withPort.ok);
    EXPECT_EQ(withPort.host, "10.0.0.2");
    EXPECT_EQ(withPort.port, 8883);
    const BrokerAddress v6 = parseBroker("[::1]:65535", DEFAULT);
    EXPECT_TRUE(v6.ok);
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 65535);
    EXPECT_EQ(parseBroker("[fe80::1]", DEFAULT).port, DEFAULT);
    for (const std::string_view bad :
         {""sv, ":1883"sv, "host:"sv, "host:0"sv, "host:65536"sv, "host:123456"sv, "host:-1"sv,
          "host:1x"sv, "::1"sv, "[::1"sv, "[::1]x"sv, "[]:1"sv, "a b"sv, "host/x"sv}) {
        EXPECT_FALSE(parseBroker(bad, DEFAULT).ok) << bad;
    }
}
