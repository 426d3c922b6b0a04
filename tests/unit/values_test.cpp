// The pure functions: what the LED request carries, and what the status reply means.
#include "arguments.hpp"
#include "ledboard_device.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace {

std::uint16_t sentFor(const char* argument)
{
    return ledValue(parseLedNumber(argument));
}

StatusReply replyOf(unsigned char first, unsigned char second)
{
    // The bytes the tool does not decode are set so that a decoder reading the wrong byte shows.
    return StatusReply{{first, second, 0xA5, 0x5A, 0xFF, 0x00, 0xC3}};
}

TEST(LedValue, LowFiveBitsMoveToBitsThreeToSeven)
{
    EXPECT_EQ(ledValue(0), 0x00);
    EXPECT_EQ(ledValue(5), 0x28);
    EXPECT_EQ(ledValue(31), 0xF8);
    EXPECT_EQ(ledValue(32), 0x00);
    EXPECT_EQ(ledValue(255), 0xF8);
    EXPECT_EQ(ledValue(-1), 0xF8);
    EXPECT_EQ(ledValue(INT_MIN), 0x00);
    EXPECT_EQ(ledValue(INT_MAX), 0xF8);
}

TEST(LedValue, TheBoardReportsTheLowThreeBits)
{
    EXPECT_EQ(reportedLed(5), 5U);
    EXPECT_EQ(reportedLed(8), 0U);
    EXPECT_EQ(reportedLed(13), 5U);
    EXPECT_EQ(reportedLed(31), 7U);
    EXPECT_EQ(reportedLed(-1), 7U);
}

TEST(Arguments, ReadLikeAtoi)
{
    // atoi is the reference here, not a conversion to trust.
    for (const char* text : {"0", "5", "-1", " \t\n\v\f\r+12xyz", "- 7", "0x1F", "3.9", "abc", "",
                             "2147483647", "-2147483648", "1e3", "-0"}) {
        EXPECT_EQ(parseLedNumber(text), std::atoi(text)) << text; // NOLINT(cert-err34-c)
    }
    EXPECT_EQ(sentFor("37"), sentFor("5"));
}

TEST(Arguments, NumbersOfAnyLengthKeepTheirLowBits)
{
    EXPECT_EQ(sentFor("99999999999999999999"), 0xF8);
    EXPECT_EQ(sentFor("-99999999999999999999"), 0x08); // ...11111 negated ends in 00001
    EXPECT_EQ(sentFor("4294967301"), sentFor("5"));    // 2^32 + 5
    EXPECT_EQ(sentFor("000000000000000000000000000037"), 0x28);
}

TEST(StatusDecoding, ReportsTheMaskedAndInvertedBits)
{
    const BoardStatus idle = decodeStatus(replyOf(0x28, 0x0F));
    EXPECT_EQ(idle.led, 5U);
    EXPECT_EQ(idle.push, 1U);
    EXPECT_EQ(idle.jump, 0U);

    const BoardStatus allSet = decodeStatus(replyOf(0xFF, 0x00));
    EXPECT_EQ(allSet.led, 7U);
    EXPECT_EQ(allSet.push, 0U);
    EXPECT_EQ(allSet.jump, 15U);

    const BoardStatus mixed = decodeStatus(replyOf(0x40, 0xF5));
    EXPECT_EQ(mixed.led, 0U);
    EXPECT_EQ(mixed.push, 0U);
    EXPECT_EQ(mixed.jump, 10U);
}

TEST(StatusDecoding, IgnoresTheBitsAroundEachField)
{
    // Bits 0..2 and 7 of byte 0 and the high nibble of byte 1 must not leak into any value.
    const BoardStatus status = decodeStatus(replyOf(0x87, 0xF0));
    EXPECT_EQ(status.led, 0U);
    EXPECT_EQ(status.push, 1U);
    EXPECT_EQ(status.jump, 15U);
}

} // namespace
