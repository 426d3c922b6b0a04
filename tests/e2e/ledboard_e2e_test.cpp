// The real ledboard, linked against the real libusb, on a simulated bus.
#include "harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using e2e::controls;
using e2e::ledboard;
using e2e::vendorRequests;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

// The three vendor requests of one run against a healthy board.
std::vector<std::string> exchange(const std::string& device, const char* ledValue)
{
    return {device + " request=1 value=" + ledValue + " result=7",
            device + " request=0 value=0x0000 result=7",
            device + " request=0 value=0x0000 result=7"};
}

TEST(Report, APlainMachineWithARootHubAndTheBoard)
{
    const e2e::Run run = ledboard({"--push"}, {"5"});

    EXPECT_EQ(run.out, "LED  d  5\nPUSH d  1\nJUMP b  0\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    // Every device is asked for its product string (index 2), then its manufacturer string
    // (index 1), each read being libusb's two transfers; then the board gets its three requests.
    const std::string strings = " CONTROL type=0x80 request=6 value=0x030";
    EXPECT_THAT(
        controls(run),
        ElementsAre(
            "001/001" + strings + "0 index=0x0000 length=255 result=4",
            "001/001" + strings + "2 index=0x0409 length=255 result=42",
            "001/001" + strings + "0 index=0x0000 length=255 result=4",
            "001/001" + strings + "1 index=0x0409 length=255 result=60",
            "001/002" + strings + "0 index=0x0000 length=255 result=4",
            "001/002" + strings + "2 index=0x0409 length=255 result=28",
            "001/002" + strings + "0 index=0x0000 length=255 result=4",
            "001/002" + strings + "1 index=0x0409 length=255 result=38",
            "001/002 CONTROL type=0xc0 request=1 value=0x0028 index=0x0000 length=7 result=7",
            "001/002 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 length=7 result=7",
            "001/002 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 length=7 result=7"));
}

TEST(Report, ShowsTheButtonTheJumpersAndTheLedsAsTheBoardHasThem)
{
    struct Case {
        std::vector<std::string> board;
        const char* argument;
        const char* printed;
    };
    const Case cases[] = {
        {{"--push"}, "5", "LED  d  5\nPUSH d  1\nJUMP b  0\n"},
        {{"--jumpers", "f"}, "31", "LED  d  7\nPUSH d  0\nJUMP b  f\n"},
        {{"--jumpers", "a"}, "32", "LED  d  0\nPUSH d  0\nJUMP b  a\n"},
        {{"--push", "--jumpers", "5"}, "2", "LED  d  2\nPUSH d  1\nJUMP b  5\n"},
        // LED value bits 6 and 7 do not come back: the board has three LEDs.
        {{}, "8", "LED  d  0\nPUSH d  0\nJUMP b  0\n"},
    };
    for (const Case& c : cases) {
        const e2e::Run run = ledboard(c.board, {c.argument});
        EXPECT_EQ(run.out, c.printed) << c.argument;
        EXPECT_EQ(run.err, "") << c.argument;
        EXPECT_EQ(run.status, 0) << c.argument;
    }
}

TEST(Report, SendsTheLedValueOfTheArgument)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0", "0x0000"},    {"5", "0x0028"},
        {"31", "0x00f8"},   {"32", "0x0000"},
        {"255", "0x00f8"},  {"-1", "0x00f8"},
        {"abc", "0x0000"},  {"37", "0x0028"},
        {" +7x", "0x0038"}, {"99999999999999999999", "0x00f8"}};
    for (const auto& [argument, value] : cases) {
        const e2e::Run run = ledboard({}, {argument});
        EXPECT_THAT(vendorRequests(run), testing::ElementsAreArray(exchange("001/002", value)))
            << argument;
    }
}

TEST(Lookup, AsksUnrelatedDevicesForTheirStringsOnTheWay)
{
    const e2e::Run run =
        ledboard({"--before", "046d:c52b,product=Receiver,manufacturer=Logi", "--before",
                  "0bda:8153", "--after", "8087:0aaa,product=Bluetooth"},
                 {"5"});

    EXPECT_EQ(run.out, "LED  d  5\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(controls(run, "001/002").size(), 4U); // product and manufacturer, two transfers each
    EXPECT_EQ(controls(run, "001/003").size(), 4U);
    EXPECT_THAT(controls(run, "001/005"), IsEmpty()); // listed after the board: never opened
    EXPECT_THAT(vendorRequests(run), testing::ElementsAreArray(exchange("001/004", "0x0028")));
}

TEST(Lookup, TheFirstUsableBoardInBusOrderWins)
{
    struct Case {
        std::vector<std::string> bus;
        const char* board;
    };
    const Case cases[] = {
        {{"--second-board"}, "001/002"},
        {{"--before", "board,stall-strings"}, "001/003"},
        {{"--before", "board,vanish"}, "001/003"},
        {{"--before", "board,eperm"}, "001/003"},
        {{"--board", "bus=2", "--after", "board,bus=3"}, "002/002"},
        {{"--board", "bus=2", "--before", "board,bus=1"}, "001/002"},
    };
    for (const Case& c : cases) {
        const e2e::Run run = ledboard(c.bus, {"5"});
        EXPECT_EQ(run.out, "LED  d  5\nPUSH d  0\nJUMP b  0\n") << testing::PrintToString(c.bus);
        EXPECT_THAT(vendorRequests(run), testing::ElementsAreArray(exchange(c.board, "0x0028")))
            << testing::PrintToString(c.bus);
    }
}

TEST(Lookup, WithoutAUsableBoardAsksForOne)
{
    const std::vector<std::string> buses[] = {
        {"--no-board"},
        {"--no-board", "--before", "1384:8889,product=Other,manufacturer=Same vendor"},
        {"--board", "stall-strings"},
        {"--board", "vanish"},
    };
    for (const auto& bus : buses) {
        const e2e::Run run = ledboard(bus, {"5"});
        EXPECT_EQ(run.out, "Plugin your USB device1 \n") << testing::PrintToString(bus);
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(vendorRequests(run), IsEmpty());
    }
}

TEST(CommandLine, WithoutAnArgumentTouchesNoDevice)
{
    const e2e::Run run = ledboard({}, {});
    EXPECT_EQ(run.out, "you need LED data\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.log, IsEmpty());
}

TEST(Faults, AFailedLedRequestIsReportedAndEndsTheExchange)
{
    const std::pair<const char*, const char*> cases[] = {{"1:stall", "Broken pipe"},
                                                         {"1:timeout", "Connection timed out"},
                                                         {"1:unplug", "No such device"}};
    for (const auto& [fault, reason] : cases) {
        const e2e::Run run = ledboard({"--fault", fault}, {"5"});
        EXPECT_EQ(run.out, "") << fault;
        EXPECT_EQ(run.err, std::string("ledboard: cannot send the LED value: error sending control "
                                       "message: ") +
                               reason + "\n");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(vendorRequests(run).size(), 1U) << fault;
    }
}

TEST(Faults, TheFirstStatusReadMayFail)
{
    for (const char* fault : {"2:stall", "2:timeout", "2:short=0"}) {
        const e2e::Run run = ledboard({"--push", "--fault", fault}, {"5"});
        EXPECT_EQ(run.out, "LED  d  5\nPUSH d  1\nJUMP b  0\n") << fault;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 0);
    }
}

TEST(Faults, AFailedOrShortFinalStatusIsAnErrorNotAReport)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--fault", "3:stall"}, "error sending control message: Broken pipe"},
        {{"--fault", "3:timeout"}, "error sending control message: Connection timed out"},
        {{"--fault", "2:unplug"}, "error sending control message: No such device"},
        {{"--fault", "3:short=1"}, "the board sent 1 of 2 bytes needed"},
        {{"--fault", "3:short=0"}, "the board sent 0 of 2 bytes needed"},
    };
    for (const auto& [fault, reason] : cases) {
        const e2e::Run run = ledboard(fault, {"5"});
        EXPECT_EQ(run.out, "") << fault[1];
        EXPECT_EQ(run.err, std::string("ledboard: cannot read the status: ") + reason + "\n");
        EXPECT_EQ(run.status, 1);
    }
}

TEST(Faults, AShortFinalStatusWithBothBytesIsReported)
{
    const e2e::Run run = ledboard({"--jumpers", "3", "--fault", "3:short=2"}, {"6"});
    EXPECT_EQ(run.out, "LED  d  6\nPUSH d  0\nJUMP b  3\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Hints, NameTheCauseOfARefusedBoard)
{
    const std::string longName(70, 'n'); // libusb 0.1.12 reads 63 characters or more as empty
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--board", "stall-strings"},
         "ledboard: the board at 001/002 cannot be used: it does not answer its string requests "
         "(Broken pipe); replug it to try again\n"},
        {{"--board", "product=" + longName},
         "ledboard: the board at 001/002 cannot be used: its product or manufacturer string reads "
         "back empty (libusb 0.1.12 reads a string of 63 or more characters as empty)\n"},
        // As root, which the tests run as, permissions cannot be the fix.
        {{"--board", "eperm"},
         "ledboard: the board at 001/002 cannot be used: no permission to write its device node\n"
         "ledboard: even root may not write it here: is the device node read-only (a container, "
         "or /dev mounted read-only)?\n"},
    };
    for (const auto& [bus, hint] : cases) {
        const e2e::Run run = ledboard(bus, {"5"});
        EXPECT_EQ(run.out, "Plugin your USB device1 \n");
        EXPECT_EQ(run.err, hint);
        EXPECT_EQ(run.status, 0);
        EXPECT_THAT(vendorRequests(run), IsEmpty());
    }
}

TEST(Hints, ABoardLibusbCannotListIsFoundInSysfs)
{
    // A user outside the node's group: libusb 0.1 leaves out nodes it cannot read.
    const e2e::Run run = e2e::script({"--all-users", "--board", "mode=0660"}, R"sh(
        tool=$(mktemp -d); chmod 755 "$tool"
        cp ")sh" LEDBOARD_TOOL R"sh(" "$tool/ledboard"
        setpriv --reuid=65534 --regid=65534 --clear-groups -- "$tool/ledboard" 5
        echo "status $?"; rm -r "$tool")sh");

    EXPECT_EQ(run.out, "Plugin your USB device1 \nstatus 0\n");
    EXPECT_THAT(run.err, testing::StartsWith("ledboard: a board is attached at 001/002, but "
                                             "libusb cannot list it: its device node is not "
                                             "readable\n"));
    EXPECT_THAT(run.err, HasSubstr("sudo udevadm control --reload && sudo udevadm trigger\n"));
}

TEST(Permissions, ADeniedRequestAfterTheLookupIsExplained)
{
    const e2e::Run run = ledboard({"--fault", "1:eperm"}, {"5"});

    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "ledboard: cannot send the LED value: error sending control message: "
                       "Operation not permitted\n"
                       "ledboard: even root may not write it here: is the device node read-only "
                       "(a container, or /dev mounted read-only)?\n");
}

TEST(Trust, ConcurrentRunsEachReportTheirOwnValue)
{
    const e2e::Run run = e2e::script({}, R"sh(
        out=$(mktemp -d)
        for round in $(seq 20); do
            for value in 1 2 4; do ledboard $value > "$out/$value" & done
            wait
            for value in 1 2 4; do
                grep -qx "LED  d  $value" "$out/$value" || echo "round $round: $value read $(head -n 1 "$out/$value")"
            done
        done
        rm -r "$out"; echo done)sh");

    EXPECT_EQ(run.out, "done\n");
    EXPECT_EQ(run.err, "");
}

TEST(Trust, ClosedStandardDescriptorsNeverReachTheBoard)
{
    // The failed LED request's message would go to descriptor 2, which libusb's open() of the
    // board's node would otherwise have received.
    const e2e::Run run = e2e::script({"--fault", "1:stall"}, R"sh(
        ledboard 5 2>&-; echo "first: $?"; ledboard 5)sh");

    EXPECT_EQ(run.out, "first: 1\nLED  d  5\nPUSH d  0\nJUMP b  0\n");
}

TEST(Trust, AClosedPipeEndsTheRunAsItWouldWithoutTheSimulator)
{
    const e2e::Run run = e2e::script({}, R"sh(
        { sleep 0.2; ledboard --help; } | true; echo "${PIPESTATUS[0]}")sh");

    EXPECT_EQ(run.out, "141\n"); // SIGPIPE, as under any shell
    EXPECT_EQ(run.err, "");
}

TEST(CommandLine, OutputThatCannotBeWrittenIsAFailure)
{
    for (const char* argument : {"5", "--help"}) {
        std::vector<std::string> command{"sh", "-c", "exec \"$@\" >/dev/full", "sh"};
        const auto tool = e2e::toolCommand();
        command.insert(command.end(), tool.begin(), tool.end());
        command.emplace_back(argument);

        const e2e::Run run = e2e::underSimulator({}, command);

        EXPECT_EQ(run.status, 1) << argument;
        EXPECT_EQ(run.err, "ledboard: cannot write the output: No space left on device\n")
            << argument;
    }
}

TEST(CommandLine, AMistypedOptionNamesTheNearestOneAndTouchesNoDevice)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--stauts"}, "unknown option --stauts; did you mean --status?"},
        {{"--lsit"}, "unknown option --lsit; did you mean --list?"},
        {{"--Status"}, "unknown option --Status; did you mean --status?"},
        {{"--watch=100"}, "unknown option --watch=100; did you mean --watch 100?"},
        {{"--colour", "5"}, "unknown option --colour"},
        {{"--json", "--lsit"}, "unknown option --lsit; did you mean --list?"},
        {{"--wait", ".5", "--stauts"}, "unknown option --stauts; did you mean --status?"},
    };
    for (const auto& [arguments, message] : cases) {
        const e2e::Run run = ledboard({}, arguments);
        const std::string shown = testing::PrintToString(arguments);
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_EQ(run.err, std::string("ledboard: ") + message +
                               "\nTry 'ledboard --help' for more information.\n");
        // No USB access at all, so no LED request and no lookup either.
        EXPECT_THAT(run.log, IsEmpty()) << shown;
    }
}

TEST(CommandLine, HelpAndVersionTouchNoDevice)
{
    for (const char* option : {"--help", "-h", "--version"}) {
        const e2e::Run run = ledboard({}, {option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_FALSE(run.out.empty()) << option;
        EXPECT_EQ(run.err, "") << option;
        EXPECT_THAT(run.log, IsEmpty()) << option;
    }
}

} // namespace
