// Values on the command line that are not the LED number.
#include "arguments.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

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

TEST(Typos, TheEditDistanceCountsASwapAsOneAndIgnoresCase)
{
    const std::string longWord = "status" + std::string(30, 'x');
    const std::tuple<std::string, std::string, std::size_t> cases[] = {
        {"status", "status", 0},
        {"stauts", "status", 1}, // two neighbours swapped
        {"Status", "status", 0},
        {"HELP", "help", 0},
        {"lsit", "list", 1},
        {"lst", "list", 1},
        {"lisst", "list", 1},
        {"lost", "list", 1},
        {"waitpress", "wait-press", 1},
        {"kitten", "sitting", 3},
        {"ca", "abc", 3}, // a swapped pair is not edited again
        {"", "json", 4},
        {"wait-press", "path", 8},
        {longWord, "status", 30}, // a long word against a short one is still counted
        {std::string(33, 'a'), std::string(34, 'a'), 34}, // beyond the table: an upper bound
    };
    for (const auto& [a, b, distance] : cases) {
        EXPECT_EQ(editDistance(a, b), distance) << a << " " << b;
        EXPECT_EQ(editDistance(b, a), distance) << b << " " << a;
    }
}

TEST(Typos, TheNearestNameIsOnlyOneThatIsNearEnough)
{
    constexpr std::string_view names[] = {"status", "watch", "path", "list", "json", "wait-press"};
    const std::pair<const char*, std::size_t> near[] = {
        {"stauts", 0}, {"STATUS", 0},    {"stat", 0},      {"wath", 1}, {"jsn", 4},
        {"list5", 3},  {"waitpress", 5}, {"wait-pres", 5}, {"lsit", 3}, {"paht", 2}};
    for (const auto& [word, nearest] : near) {
        EXPECT_EQ(nearestName(word, names), nearest) << word;
    }
    // Short words are near every short name: "at" is two edits from "path", but in four letters.
    for (const char* far : {"at", "js", "foo", "verbose", "watch-press", ""}) {
        EXPECT_EQ(nearestName(far, names), std::size(names)) << far;
    }
    // "wath" is as near "watch" as "path": the name that comes first wins.
    constexpr std::string_view reversed[] = {"path", "watch"};
    EXPECT_EQ(nearestName("wath", reversed), 0U);
}

} // namespace
