// Values on the command line that are not the LED number.
#include "arguments.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

namespace {

constexpr unsigned long MINUTE_MS = 60000;

TEST(Seconds, DecimalWithUpToMilliseconds)
{
    const std::pair<const char*, unsigned long> valid[] = {
        {"0", 0},          {"5", 5000},         {"0.25", 250},
        {".25", 250},      {"0.5", 500},        {".5", 500},
        {".001", 1},       {".000", 0},         {"1.5", 1500},
        {"0.001", 1},      {"2.050", 2050},     {"007", 7000},
        {"0.0", 0},        {"0.000", 0},        {"60", MINUTE_MS},
        {"59.999", 59999}, {"60.0", MINUTE_MS}, {"0000000000000000000000001", 1000}};
    for (const auto& [text, ms] : valid) {
        EXPECT_EQ(parseSecondsAsMs(text, MINUTE_MS), std::optional(ms)) << text;
    }
    for (const char* text : {"",
                             ".",
                             "..5",
                             ".5.",
                             ".1234",
                             "-.5",
                             "+.5",
                             ". 5",
                             "5.",
                             "1.2345",
                             "-1",
                             "+1",
                             " 1",
                             "1 ",
                             "1\n",
                             "1e3",
                             "1,5",
                             "1..5",
                             "1.5.",
                             "1.-5",
                             "1.+5",
                             "0x10",
                             "inf",
                             "nan",
                             "60.001",
                             "61",
                             "99999999999999999999999",
                             "99999999999999999999999.5",
                             "\xd9\xa1"}) {
        EXPECT_EQ(parseSecondsAsMs(text, MINUTE_MS), std::nullopt) << '"' << text << '"';
    }
}

TEST(Seconds, TheLimitHoldsToTheMillisecond)
{
    EXPECT_EQ(parseSecondsAsMs("0", 0), 0UL);
    EXPECT_EQ(parseSecondsAsMs("0.000", 0), 0UL);
    EXPECT_EQ(parseSecondsAsMs("0.001", 0), std::nullopt);
    EXPECT_EQ(parseSecondsAsMs("1.5", 1500), 1500UL);
    EXPECT_EQ(parseSecondsAsMs("1.501", 1500), std::nullopt);
    EXPECT_EQ(parseSecondsAsMs("2", 1999), std::nullopt);

    // At the top of the type, where seconds times 1000 plus the fraction could wrap.
    const std::string whole = std::to_string(ULONG_MAX / 1000);
    const unsigned long lastMs = ULONG_MAX % 1000;
    const std::string largest = whole + "." + std::to_string(lastMs);
    EXPECT_EQ(parseSecondsAsMs(largest, ULONG_MAX), ULONG_MAX) << largest;
    const std::string beyond = whole + "." + std::to_string(lastMs + 1);
    EXPECT_EQ(parseSecondsAsMs(beyond, ULONG_MAX), std::nullopt) << beyond;
    const std::string nextSecond = std::to_string(ULONG_MAX / 1000 + 1);
    EXPECT_EQ(parseSecondsAsMs(nextSecond, ULONG_MAX), std::nullopt) << nextSecond;
}

} // namespace
