// The options beyond the plain command line: listing, choosing a board, reading, watching.
#include "harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

namespace {

using e2e::controls;
using e2e::ledboard;
using e2e::vendorRequests;
using testing::ElementsAre;
using testing::IsEmpty;

// An unrelated device, then boards of every kind, then another unrelated device and a second bus.
const std::vector<std::string> CROWDED_BUS = {
    "--before", "046d:c52b,product=Receiver,manufacturer=Logi",
    "--board",  "serial=A17",
    "--after",  "board,eperm",
    "--after",  "board,product=Other Board,manufacturer=Maker",
    "--after",  "8087:0aaa,product=Bluetooth,manufacturer=Intel",
    "--after",  "board,bus=2,serial=B2"};

TEST(List, ShowsEveryBoardInBusOrderAndTouchesNothingElse)
{
    const e2e::Run run = ledboard(CROWDED_BUS, {"--list"});

    EXPECT_EQ(run.out, "001/003\tusable\tledboard simulator\tUSB LED Board\tA17\t1-2\n"
                       "001/004\tunusable\tno permission\t1-3\n"
                       "001/005\tusable\tMaker\tOther Board\t\t1-4\n"
                       "002/002\tusable\tledboard simulator\tUSB LED Board\tB2\t2-1\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    for (const char* other : {"001/001", "001/002", "001/006", "002/001"}) {
        EXPECT_THAT(controls(run, other), IsEmpty()) << other;
    }
    EXPECT_THAT(vendorRequests(run), IsEmpty());

    const e2e::Run none = ledboard({"--no-board"}, {"--list"});
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.status, 3);
}

TEST(Choice, OpensOnlyTheChosenBoard)
{
    for (const char* location : {"001/005", "1:5"}) {
        const e2e::Run run = ledboard(CROWDED_BUS, {"--device", location, "5"});
        EXPECT_EQ(run.out, "LED  d  5\nPUSH d  0\nJUMP b  0\n") << location;
        EXPECT_EQ(run.status, 0);
        // The same transfers as on a bus with nothing but this board: its two strings, then the
        // exchange.
        EXPECT_EQ(controls(run).size(), 7U) << location;
        EXPECT_EQ(controls(run, "001/005").size(), 7U) << location;
    }

    const e2e::Run bySerial = ledboard(CROWDED_BUS, {"--serial", "B2", "--status"});
    EXPECT_EQ(bySerial.out, "LED  d  0\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(bySerial.status, 0);
    EXPECT_THAT(vendorRequests(bySerial), ElementsAre("002/002 request=0 value=0x0000 result=7"));
    for (const char* other : {"001/001", "001/002", "001/006", "002/001"}) {
        EXPECT_THAT(controls(bySerial, other), IsEmpty()) << other;
    }
}

TEST(Choice, WithoutAMatchSaysWhatIsThere)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--device", "1/9", "5"}, "ledboard: no board at 001/009: there is no device there\n"},
        {{"--device", "001/002", "5"},
         "ledboard: no board at 001/002: the device there is 046d:c52b\n"},
        {{"--device", "1/4", "--status"},
         "ledboard: the board at 001/004 cannot be used: no permission to write its device node\n"},
        {{"--serial", "Z9", "5"},
         "ledboard: no board with serial 'Z9': found 001/003 (serial "
         "A17), 001/004 (no permission), 001/005 (no serial), 002/002 "
         "(serial B2)\n"},
    };
    for (const auto& [arguments, message] : cases) {
        const e2e::Run run = ledboard(CROWDED_BUS, arguments);
        EXPECT_EQ(run.out, "") << message;
        EXPECT_THAT(run.err, testing::StartsWith(message));
        EXPECT_EQ(run.status, 3) << message;
        EXPECT_THAT(vendorRequests(run), IsEmpty()) << message;
    }
}

TEST(Choice, BadValuesAreRefusedBeforeAnyUsbActivity)
{
    const std::vector<std::string> cases[] = {{"--device", "1/", "5"},
                                              {"--device", "001/999", "5"},
                                              {"--serial", ""},
                                              {"--device", "1/2"},
                                              {"--serial", "A17", "--stats"},
                                              {"--watch", "5"},
                                              {"--status", "now"},
                                              {"--list", "all"}};
    for (const auto& arguments : cases) {
        const e2e::Run run = ledboard({}, arguments);
        EXPECT_EQ(run.status, 2) << testing::PrintToString(arguments);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err, testing::MatchesRegex("ledboard: [^\n]+\nTry 'ledboard --help' for "
                                                   "more information.\n"));
        EXPECT_THAT(run.log, IsEmpty());
    }
}

TEST(Status, ReadsTheBoardWithoutSettingItsLeds)
{
    const e2e::Run run = ledboard({"--push", "--jumpers", "3"}, {"--status"});
    EXPECT_EQ(run.out, "LED  d  0\nPUSH d  1\nJUMP b  3\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(vendorRequests(run), ElementsAre("001/002 request=0 value=0x0000 result=7"));

    const e2e::Run noBoard = ledboard({"--no-board"}, {"--status"});
    EXPECT_EQ(noBoard.out, "");
    EXPECT_EQ(noBoard.err, "ledboard: no board (USB ID 1384:8888) found\n");
    EXPECT_EQ(noBoard.status, 3);

    const e2e::Run shortReply = ledboard({"--fault", "1:short=1"}, {"--status"});
    EXPECT_EQ(shortReply.out, "");
    EXPECT_EQ(shortReply.err, "ledboard: cannot read the status: the board sent 1 of 2 bytes "
                              "needed\n");
    EXPECT_EQ(shortReply.status, 1);
}

TEST(Watch, PrintsAPressAndAReleaseThenEndsWhenTheBoardIsUnplugged)
{
    const e2e::Run run =
        ledboard({"--at", "3:push", "--at", "5:release,jumpers=a", "--fault", "7:unplug"},
                 {"--watch", "10"});

    EXPECT_EQ(run.out, "0 0 0\n0 1 0\n0 0 a\n");
    EXPECT_EQ(run.err, "ledboard: cannot read the status: error sending control message: No such "
                       "device\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(vendorRequests(run).size(), 7U);
}

TEST(Watch, EndsWithZeroOnSigtermAndQuietlyWhenItsReaderGoesAway)
{
    const e2e::Run run = e2e::script({}, R"sh(
        out=$(mktemp)
        $tool --watch 10 > "$out" & watch=$!
        until [ -s "$out" ]; do sleep 0.01; done
        kill -TERM $watch; wait $watch; echo "SIGTERM: $?"
        set -o pipefail
        timeout 10 $tool --watch 10 | head -n 1
        echo "reader gone: $?"
        rm "$out")sh");

    EXPECT_EQ(run.out, "SIGTERM: 0\n0 0 0\nreader gone: 0\n");
    EXPECT_EQ(run.err, "");
}

TEST(Watch, AStopSignalThatComesTwiceStillEndsItWithZero)
{
    // Once the watch has printed the board's state it is ready for a stop signal. SIGINT to the
    // simulator's process group then reaches it twice: once directly, and once passed on by the
    // simulator a little later, while the first one is ending the watch.
    std::vector<std::string> watch = e2e::toolCommand();
    watch.insert(watch.end(), {"--watch", "10"});
    for (int run = 0; run < 5; ++run) {
        const e2e::Run stopped =
            e2e::underSimulatorAtFirstLine({}, watch, [](pid_t group) { kill(-group, SIGINT); });
        EXPECT_EQ(stopped.status, 0) << "run " << run;
        EXPECT_EQ(stopped.out, "0 0 0\n") << "run " << run;
        EXPECT_EQ(stopped.err, "") << "run " << run;
    }
}

TEST(Watch, SeesTheLedChangesOfOtherRuns)
{
    const e2e::Run run = e2e::script({}, R"sh(
        out=$(mktemp)
        $tool --watch 10 > "$out" & watch=$!
        shows() { until grep -qx "$1" "$out"; do sleep 0.01; done; }
        shows '0 0 0'; ledboard 3 && shows '3 0 0' && ledboard 6 && shows '6 0 0'
        kill -TERM $watch; wait $watch; echo "watch: $?"; cat "$out"; rm "$out")sh");

    EXPECT_EQ(run.out, "LED  d  3\nPUSH d  0\nJUMP b  0\nLED  d  6\nPUSH d  0\nJUMP b  0\n"
                       "watch: 0\n0 0 0\n3 0 0\n6 0 0\n");
    EXPECT_EQ(run.err, "");
}

} // namespace
