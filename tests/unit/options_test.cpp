// The command line's grammar. The plain forms are a contract with scripts: only exact first
// arguments are options, and everything else is the LED number as it always was.
#include "options.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ParsedCommandLine parse(std::vector<std::string> arguments)
{
    static std::vector<std::string> kept; // argv's strings outlive the parse, as in main()
    kept = std::move(arguments);
    kept.insert(kept.begin(), "ledboard");
    std::vector<char*> argv;
    argv.reserve(kept.size());
    for (auto& argument : kept) {
        argv.push_back(argument.data());
    }
    return parseCommandLine(argv);
}

TEST(Options, AnythingButAnExactOptionOrAMistypedOneIsTheNumber)
{
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"5"}, 5},   {{"-5"}, -5},         {{"-v"}, 0},          {{"-j"}, 0},
        {{"abc"}, 0}, {{"5abc"}, 5},        {{" --list"}, 0},     {{"-"}, 0},
        {{"--"}, 0},  {{"--", "5"}, 0},     {{"--5"}, 0},         {{"---status"}, 0},
        {{".5"}, 0},  {{"5", "--list"}, 5}, {{"7", "x", "y"}, 7}, {{"5", "--stauts"}, 5}};
    for (const auto& [arguments, number] : cases) {
        const ParsedCommandLine parsed = parse(arguments);
        const std::string shown = testing::PrintToString(arguments);
        ASSERT_TRUE(parsed.ok()) << shown;
        EXPECT_EQ(parsed.options.action, Action::SetLeds) << shown;
        EXPECT_TRUE(parsed.options.plain) << shown;
        EXPECT_EQ(parsed.options.choice, Choice::FirstBoard) << shown;
        EXPECT_EQ(parsed.options.number, number) << shown;
    }
    EXPECT_EQ(parse({}).options.action, Action::NeedData);
}

TEST(Options, AMistypedOptionIsAUsageErrorThatNamesTheNearestOption)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--stauts"}, "unknown option --stauts; did you mean --status?"},
        {{"--lsit"}, "unknown option --lsit; did you mean --list?"},
        {{"--Status"}, "unknown option --Status; did you mean --status?"},
        {{"--list5"}, "unknown option --list5; did you mean --list?"},
        {{"--foo"}, "unknown option --foo"},
        // No option takes its value after '='.
        {{"--watch=100"}, "unknown option --watch=100; did you mean --watch 100?"},
        {{"--wach=20"}, "unknown option --wach=20; did you mean --watch 20?"},
        {{"--watch="}, "unknown option --watch=; did you mean --watch?"},
        {{"--json=yes", "--list"}, "unknown option --json=yes; did you mean --json?"},
        // Where the action goes, after other options.
        {{"--json", "--lsit"}, "unknown option --lsit; did you mean --list?"},
        {{"--wait", "5", "--stauts"}, "unknown option --stauts; did you mean --status?"},
        {{"--json", "--wait-press=.5"},
         "unknown option --wait-press=.5; did you mean --wait-press .5?"},
    };
    for (const auto& [arguments, message] : cases) {
        const ParsedCommandLine parsed = parse(arguments);
        EXPECT_STREQ(parsed.error.data(), message) << testing::PrintToString(arguments);
    }
}

TEST(Options, ChoicesAndActions)
{
    const ParsedCommandLine byLocation = parse({"--device", "001:004", "-3"});
    ASSERT_TRUE(byLocation.ok());
    EXPECT_EQ(byLocation.options.choice, Choice::Location);
    EXPECT_EQ(byLocation.options.location, (BusAddress{1, 4}));
    EXPECT_EQ(byLocation.options.action, Action::SetLeds);
    EXPECT_EQ(byLocation.options.number, -3);

    const ParsedCommandLine bySerial = parse({"--serial", "A 17", "--watch", "250"});
    ASSERT_TRUE(bySerial.ok());
    EXPECT_EQ(bySerial.options.choice, Choice::Serial);
    EXPECT_STREQ(bySerial.options.choiceText, "A 17");
    EXPECT_EQ(bySerial.options.action, Action::Watch);
    EXPECT_EQ(bySerial.options.intervalMs, 250U);

    const ParsedCommandLine watch = parse({"--watch"});
    EXPECT_EQ(watch.options.intervalMs, WATCH_DEFAULT_MS);
    EXPECT_EQ(parse({"--device", "12/127", "--status"}).options.location, (BusAddress{12, 127}));
    EXPECT_EQ(parse({"--status"}).options.action, Action::Status);
    EXPECT_EQ(parse({"--list"}).options.action, Action::List);
}

TEST(Options, BadValuesAreUsageErrors)
{
    const std::vector<std::string> cases[] = {{"--device"},
                                              {"--device", "1/"},
                                              {"--device", "/4"},
                                              {"--device", "1-4"},
                                              {"--device", "0/4"},
                                              {"--device", "1/0"},
                                              {"--device", "1/128"},
                                              {"--device", "1000/1"},
                                              {"--device", "1/4/5"},
                                              {"--device", "+1/4"},
                                              {"--device", "1/4"},
                                              {"--device", "1/4", "abc"},
                                              {"--device", "1/4", "5x"},
                                              {"--device", "1/4", "5", "x"},
                                              {"--serial"},
                                              {"--serial", ""},
                                              {"--serial", "A", "--list"},
                                              {"--watch", "9"},
                                              {"--watch", "60001"},
                                              {"--watch", "-50"},
                                              {"--watch", "50", "5"},
                                              {"--status", "5"},
                                              {"--list", "-v"}};
    for (const auto& arguments : cases) {
        const ParsedCommandLine parsed = parse(arguments);
        EXPECT_FALSE(parsed.ok()) << testing::PrintToString(arguments);
    }
    EXPECT_TRUE(parse({"--watch", "10"}).ok());
    EXPECT_TRUE(parse({"--watch", "60000"}).ok());
}

TEST(Options, ModifiersAndChoicesComeInAnyOrderBeforeTheAction)
{
    const ParsedCommandLine all = parse({"--json", "--path", "1-1.4", "--wait", "2.5", "--watch"});
    ASSERT_TRUE(all.ok()) << all.error.data();
    EXPECT_TRUE(all.options.json);
    EXPECT_TRUE(all.options.wait);
    EXPECT_EQ(all.options.waitMs, 2500UL);
    EXPECT_EQ(all.options.choice, Choice::Path);
    EXPECT_STREQ(all.options.choiceText, "1-1.4");
    EXPECT_EQ(all.options.action, Action::Watch);
    EXPECT_FALSE(all.options.plain);

    // A number after --wait is its limit, unless it is the last word: then it is the LED number.
    const ParsedCommandLine last = parse({"--wait", "5"});
    ASSERT_TRUE(last.ok());
    EXPECT_EQ(last.options.waitMs, NO_TIME_LIMIT);
    EXPECT_EQ(last.options.action, Action::SetLeds);
    EXPECT_EQ(last.options.number, 5);
    const ParsedCommandLine limited = parse({"--serial", "A", "--wait", "10", "7"});
    ASSERT_TRUE(limited.ok());
    EXPECT_EQ(limited.options.waitMs, 10000UL);
    EXPECT_EQ(limited.options.number, 7);

    const ParsedCommandLine press = parse({"--wait-press", "0.25"});
    ASSERT_TRUE(press.ok());
    EXPECT_EQ(press.options.action, Action::WaitPress);
    EXPECT_EQ(press.options.pressMs, 250UL);
    EXPECT_EQ(parse({"--wait-press"}).options.pressMs, NO_TIME_LIMIT);
    EXPECT_TRUE(parse({"--json", "--list"}).ok());

    // The plain command line remembers what it ignores, for the note on stderr.
    const ParsedCommandLine plain = parse({"6", "--serial", "B22"});
    EXPECT_TRUE(plain.options.plain);
    EXPECT_STREQ(plain.options.ignored, "--serial");
    EXPECT_EQ(parse({"6"}).options.ignored, nullptr);
}

TEST(Options, DurationsInSecondsMayStartWithThePointAndABadOneNamesItsOption)
{
    struct Case {
        std::vector<std::string> arguments;
        unsigned long waitMs;
        unsigned long pressMs;
        const char* error; // what the message starts with; nullptr for a good command line
    };
    const unsigned long none = NO_TIME_LIMIT;
    const Case cases[] = {
        {{"--wait", ".5", "--status"}, 500, none, nullptr},
        {{"--wait", "0.5", "--status"}, 500, none, nullptr},
        {{"--wait", "604800", "--status"}, MAX_TIME_LIMIT_MS, none, nullptr},
        {{"--wait", ".25", "--wait-press", ".75"}, 250, 750, nullptr},
        {{"--wait-press", ".5"}, none, 500, nullptr},
        {{"--wait-press", "2.5"}, none, 2500, nullptr},
        {{"--wait", ".5.", "--status"}, none, none, "invalid time limit '.5.' for --wait: "},
        {{"--wait", "1,5", "--status"}, none, none, "invalid time limit '1,5' for --wait: "},
        {{"--wait", "1e3", "5"}, none, none, "invalid time limit '1e3' for --wait: "},
        {{"--wait", "-.5", "--status"}, none, none, "invalid time limit '-.5' for --wait: "},
        {{"--wait", "604800.001", "--list"}, none, none, "invalid time limit '604800.001' for "},
        {{"--wait-press", "."}, none, none, "invalid time limit '.' for --wait-press: "},
        {{"--wait-press", ".5s"}, none, none, "invalid time limit '.5s' for --wait-press: "},
        {{"--wait-press", "604801"}, none, none, "invalid time limit '604801' for --wait-press"},
        // The last word after --wait is the action, as documented, and no number here.
        {{"--wait", ".5"}, none, none, "expected NUMBER, --status, --watch, --wait-press or "},
    };
    for (const Case& c : cases) {
        const ParsedCommandLine parsed = parse(c.arguments);
        const std::string shown = testing::PrintToString(c.arguments);
        if (c.error != nullptr) {
            EXPECT_THAT(parsed.error.data(), testing::StartsWith(c.error)) << shown;
            continue;
        }
        EXPECT_TRUE(parsed.ok()) << shown << ": " << parsed.error.data();
        EXPECT_EQ(parsed.options.waitMs, c.waitMs) << shown;
        EXPECT_EQ(parsed.options.pressMs, c.pressMs) << shown;
    }
}

TEST(Options, NewBadCombinationsAreUsageErrors)
{
    const std::vector<std::string> cases[] = {{"--json"},
                                              {"--json", "--json", "5"},
                                              {"--wait", "--wait", "5"},
                                              {"--path", "1-1", "--device", "1/2", "5"},
                                              {"--serial", "A", "--serial", "B", "5"},
                                              {"--path"},
                                              {"--path", "usb1", "5"},
                                              {"--path", "1-1:1.0", "5"},
                                              {"--path", "1-0", "5"},
                                              {"--path", "1-01", "5"},
                                              {"--wait", "--list"},
                                              {"--path", "1-1", "--list"},
                                              {"--wait-press", "-1"},
                                              {"--wait-press", "1e3"},
                                              {"--wait-press", "5", "6"},
                                              {"--status", "--json"},
                                              {"--wait", "--Status"},
                                              {"--json", "abc"}};
    for (const auto& arguments : cases) {
        const ParsedCommandLine parsed = parse(arguments);
        EXPECT_FALSE(parsed.ok()) << testing::PrintToString(arguments);
    }
}

} // namespace
