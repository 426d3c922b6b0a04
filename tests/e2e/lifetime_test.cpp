// One board over time and for programs: port paths, waiting for a board and for its return, a wait
// for one press, JSON Lines, the exit statuses a script tells apart, and what the plain command
// line no longer does without a word.
#include "harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using e2e::ledboard;
using e2e::script;
using e2e::vendorRequests;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

// Each JSON line parsed by Python's json module and printed back in a fixed form, so that the
// test compares values, not the tool's spelling of them; a line that is not JSON fails the run.
constexpr const char* PARSE_JSON_LINES = R"sh(python3 -c '
import json, sys
for line in sys.stdin:
    record = json.loads(line)
    print(" ".join("%s=%s" % (key, json.dumps(record[key])) for key in record))
')sh";

// Waits until the background run $pid has the board's node open: past setting up its stop signals,
// and at the board (or waiting for its lock).
constexpr const char* BOARD_OPEN = "waitfor 'ls -l /proc/$pid/fd | grep -q bus/usb/001/002'\n";

// Waits until the board at DEVICE ("001/002") has answered a vendor request: the run is past its
// lookup, which opens the node too, and has the board's state to compare the next one with.
std::string boardRead(const char* device)
{
    return std::string("waitfor 'grep -q \"^") + device +
           " CONTROL type=0xc0\" \"$LEDBOARD_SIM_LOG\"'\n";
}

TEST(Path, ChoosesTheBoardAtItsPortAndTheListShowsIt)
{
    const std::vector<std::string> bus = {"--board", "port=1.4,serial=A17", "--after",
                                          "board,port=2"};
    const e2e::Run list = ledboard(bus, {"--list"});
    EXPECT_EQ(list.out, "001/002\tusable\tledboard simulator\tUSB LED Board\tA17\t1-1.4\n"
                        "001/003\tusable\tledboard simulator\tUSB LED Board\t\t1-2\n");
    EXPECT_EQ(list.status, 0);

    const e2e::Run chosen = ledboard(bus, {"--path", "1-2", "5"});
    EXPECT_EQ(chosen.out, "LED  d  5\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(chosen.status, 0);
    EXPECT_THAT(vendorRequests(chosen), ElementsAre("001/003 request=1 value=0x0028 result=7",
                                                    "001/003 request=0 value=0x0000 result=7",
                                                    "001/003 request=0 value=0x0000 result=7"));

    const e2e::Run nothing = ledboard(bus, {"--path", "1-3", "5"});
    EXPECT_EQ(nothing.err, "ledboard: no board at port 1-3: there is no device there\n");
    EXPECT_EQ(nothing.status, 3);
    EXPECT_THAT(vendorRequests(nothing), IsEmpty());

    const e2e::Run other = ledboard({"--before", "046d:c52b,port=3"}, {"--path", "1-3", "5"});
    EXPECT_EQ(other.err, "ledboard: no board at port 1-3: the device there is 046d:c52b\n");
    EXPECT_EQ(other.status, 3);

    const e2e::Run bad = ledboard({}, {"--path", "1-01", "5"});
    EXPECT_THAT(bad.err, testing::StartsWith("ledboard: invalid port path '1-01' for --path"));
    EXPECT_EQ(bad.status, 2);
}

TEST(Json, EveryLineParsesAndCarriesItsFields)
{
    const e2e::Run run =
        script({"--board", R"(serial=A"17\,product=Say "hi")", "--after", "board,eperm,port=5"},
               std::string("set -o pipefail\n") + "ledboard --json --list | " + PARSE_JSON_LINES +
                   "\nledboard --json --path 1-1 --status | " + PARSE_JSON_LINES +
                   "\nledboard --json --serial 'A\"17\\' 6 | " + PARSE_JSON_LINES);

    EXPECT_EQ(run.out,
              "bus=1 device=2 path=\"1-1\" usable=true manufacturer=\"ledboard simulator\" "
              "product=\"Say \\\"hi\\\"\" serial=\"A\\\"17\\\\\"\n"
              "bus=1 device=3 path=\"1-5\" usable=false reason=\"no permission\" "
              "manufacturer=null product=null serial=null\n"
              "led=0 push=0 jump=0\n"
              "led=6 push=0 jump=0\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(Json, AWatchAcrossAnUnplugSaysTheBoardWentAndCameBack)
{
    const std::string control = e2e::controlPath("json-replug");
    const e2e::Run run = script(
        {"--board", "serial=A17", "--control", control},
        "out=$(mktemp)\n$tool --json --wait --watch 20 > \"$out\" & pid=$!\n"
        "waitfor '[ -s \"$out\" ]'; echo unplug > " +
            control + "\n" + "waitfor 'grep -q gone \"$out\"'; echo plug > " + control + "\n" +
            "waitfor '[ $(grep -c led \"$out\") = 2 ]'\n"
            "kill -TERM $pid; wait $pid; echo \"status $?\"\n" +
            PARSE_JSON_LINES + R"( < "$out"; rm "$out")");

    EXPECT_EQ(run.out, "status 0\n"
                       "led=0 push=0 jump=0\n"
                       "event=\"gone\"\n"
                       "event=\"back\"\n"
                       "led=0 push=0 jump=0\n");
    EXPECT_THAT(run.err, HasSubstr("ledboard: the board is gone; waiting for it to come back\n"));
}

TEST(Wait, ARunWaitsForABoardPluggedInLater)
{
    // Plugged in once the run says it is waiting; well before the limit, which would end it with
    // status 3 and no output.
    const std::string control = e2e::controlPath("wait-plug");
    const e2e::Run run =
        script({"--board", "unplugged,serial=A17", "--control", control},
               "err=$(mktemp)\n$tool --wait 60 5 2>\"$err\" & pid=$!\n"
               "waitfor 'grep -q waiting \"$err\"'; echo plug > " +
                   control + "\nwait $pid; echo \"status $?\"; cat \"$err\" >&2; rm \"$err\"");

    EXPECT_EQ(run.out, "LED  d  5\nPUSH d  0\nJUMP b  0\nstatus 0\n");
    EXPECT_EQ(run.err, "ledboard: waiting for a board (USB ID 1384:8888) (at most 60.000 s)\n");
    EXPECT_THAT(vendorRequests(run), ElementsAre(HasSubstr(" request=1 value=0x0028 result=7"),
                                                 HasSubstr(" request=0 value=0x0000 result=7"),
                                                 HasSubstr(" request=0 value=0x0000 result=7")));
}

TEST(Wait, GivesUpAtItsLimitWithItsOwnStatus)
{
    const e2e::Run run = ledboard({"--no-board"}, {"--wait", "0.3", "--serial", "A17", "5"});

    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ledboard: waiting for the board with serial 'A17' (at most 0.300 s)\n"
                       "ledboard: no board with serial 'A17': found no board at all\n"
                       "ledboard: gave up waiting after 0.300 s\n");
    EXPECT_EQ(run.status, 3);

    // A number as the last word is the LED number, not the limit.
    const e2e::Run number = ledboard({}, {"--wait", "3"});
    EXPECT_EQ(number.out, "LED  d  3\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(number.err, "");
}

TEST(Watch, FollowsTheSameBoardAcrossAReplugOrEndsWithoutWait)
{
    // The board comes back with a new device number (and its LEDs off); another board with
    // another serial is there all along and is not taken for it.
    const std::string control = e2e::controlPath("follow");
    const e2e::Run run = script(
        {"--board", "serial=A17", "--after", "board,serial=B22", "--control", control},
        "ledboard --serial A17 3 >/dev/null\nout=$(mktemp)\n"
        "$tool --serial A17 --wait --watch 20 > \"$out\" & pid=$!\n"
        "waitfor '[ -s \"$out\" ]'; echo unplug > " +
            control + "\n" + "waitfor 'grep -q gone \"$out\"'; echo plug > " + control + "\n" +
            "waitfor 'grep -qx \"0 0 0\" \"$out\"'\n"
            "kill -TERM $pid; wait $pid; status=$?; cat \"$out\"; rm \"$out\"; echo \"status "
            "$status\"");
    EXPECT_EQ(run.out, "3 0 0\ngone\nback\n0 0 0\nstatus 0\n");
    EXPECT_THAT(vendorRequests(run), testing::Contains(testing::StartsWith("001/004 request=0")));

    const e2e::Run without = ledboard({"--at", "2:unplug"}, {"--watch", "20"});
    EXPECT_EQ(without.out, "0 0 0\n");
    EXPECT_THAT(without.err, testing::StartsWith("ledboard: cannot read the status: "));
    EXPECT_THAT(without.err, HasSubstr("No such device"));
    EXPECT_EQ(without.status, 1);
}

TEST(Watch, AFailedReadIsTriedAgainTwice)
{
    const e2e::Run glitch = script({"--fault", "2:stall", "--at", "3:push"}, R"sh(
        out=$(mktemp); $tool --watch 20 > "$out" & pid=$!
        waitfor '[ $(wc -l < "$out") = 2 ]'; kill -TERM $pid; wait $pid; status=$?
        cat "$out"; rm "$out"; echo "status $status")sh");
    EXPECT_EQ(glitch.out, "0 0 0\n0 1 0\nstatus 0\n");
    EXPECT_EQ(glitch.err, "ledboard: a status read failed: error sending control message: "
                          "Broken pipe; trying again\n");

    const e2e::Run stuck = ledboard(
        {"--fault", "2:stall", "--fault", "3:timeout", "--fault", "4:stall"}, {"--watch", "20"});
    EXPECT_EQ(stuck.out, "0 0 0\n");
    EXPECT_EQ(stuck.status, 1);
    EXPECT_THAT(stuck.err, HasSubstr("ledboard: cannot read the status: "));
}

TEST(WaitPress, TellsAPressFromTheTimeLimit)
{
    const e2e::Run pressed = ledboard({"--at", "4:push"}, {"--wait-press", "5"});
    EXPECT_EQ(pressed.out, "0 1 0\n");
    EXPECT_EQ(pressed.status, 0);
    EXPECT_THAT(vendorRequests(pressed), testing::Each(HasSubstr("request=0 ")));

    // Held down from the start: only a press after letting go counts.
    const e2e::Run held =
        ledboard({"--push", "--at", "3:release", "--at", "5:push"}, {"--json", "--wait-press"});
    EXPECT_EQ(held.out, "{\"led\":0,\"push\":1,\"jump\":0}\n");
    EXPECT_EQ(held.status, 0);
    EXPECT_EQ(vendorRequests(held).size(), 5U);

    // Stopped, it saw no press: it must not pass for one in `ledboard --wait-press && ledboard 7`.
    const e2e::Run stopped =
        script({}, "$tool --wait-press 30 & pid=$!\n" + std::string(BOARD_OPEN) +
                       "kill -TERM $pid; wait $pid; echo \"status $?\"");
    EXPECT_EQ(stopped.out, "status 143\n");

    const e2e::Run none = ledboard({}, {"--wait-press", "0.3"});
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "ledboard: no press of the button within 0.300 s\n");
    EXPECT_EQ(none.status, 4);
}

TEST(WaitPress, OutlivesAnUnplugWithinItsLimit)
{
    // Pressed only once the board is back and open again: a button already down when the wait
    // starts does not count.
    const std::string control = e2e::controlPath("press-replug");
    const e2e::Run pressed = script(
        {"--board", "serial=A17", "--control", control},
        "err=$(mktemp)\n$tool --wait --wait-press 60 2>\"$err\" & pid=$!\n" + boardRead("001/002") +
            "echo unplug > " + control + "\nwaitfor 'grep -q gone \"$err\"'; echo plug > " +
            control + "\n" + boardRead("001/003") + "echo push > " + control +
            "\nwait $pid; echo \"status $?\"; rm \"$err\"");
    EXPECT_EQ(pressed.out, "0 1 0\nstatus 0\n");

    // The limit holds while the board is away: it never comes back.
    const std::string gone = e2e::controlPath("press-gone");
    const e2e::Run away = script({"--control", gone}, "$tool --wait --wait-press 3 & pid=$!\n" +
                                                          boardRead("001/002") + "echo unplug > " +
                                                          gone + "\nwait $pid; echo \"status $?\"");
    EXPECT_EQ(away.out, "status 4\n");
    EXPECT_EQ(away.err, "ledboard: the board is gone; waiting for it to come back\n"
                        "ledboard: no press of the button within 3.000 s\n");
}

TEST(ExitStatus, NoSuchBoardIsToldFromAFailedBoardAndABadCommandLine)
{
    EXPECT_EQ(ledboard({"--no-board"}, {"--status"}).status, 3);
    EXPECT_EQ(ledboard({"--no-board"}, {"--list"}).status, 3);
    EXPECT_EQ(ledboard({"--fault", "1:stall"}, {"--status"}).status, 1);
    EXPECT_EQ(ledboard({}, {"--status", "--json"}).status, 2);
    // The plain command line keeps its statuses.
    EXPECT_EQ(ledboard({"--no-board"}, {"5"}).status, 0);
    EXPECT_EQ(ledboard({"--fault", "1:stall"}, {"5"}).status, 1);
}

TEST(ExitStatus, TwoBoardsWithOneSerialAreRefusedUntouched)
{
    const e2e::Run run = ledboard({"--board", "serial=A17", "--after", "board,serial=A17"},
                                  {"--serial", "A17", "5"});
    // Waiting cannot settle it: a wait without a limit says so at once instead of for ever.
    const e2e::Run waiting = ledboard({"--board", "serial=A17", "--after", "board,serial=A17"},
                                      {"--wait", "--serial", "A17", "5"});
    EXPECT_EQ(waiting.err, "ledboard: 2 boards have serial 'A17' (001/002, 001/003): choose one "
                           "with --device or --path\n");
    EXPECT_EQ(waiting.status, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "ledboard: 2 boards have serial 'A17' (001/002, 001/003): choose one "
                       "with --device or --path\n");
    EXPECT_EQ(run.status, 3);
    EXPECT_THAT(vendorRequests(run), IsEmpty());
}

TEST(NoSilentChoices, ThePlainCommandLineSaysWhatItDidWithoutAWord)
{
    const e2e::Run ignored = ledboard({"--after", "board,serial=B22"}, {"6", "--serial", "B22"});
    EXPECT_EQ(ignored.out, "LED  d  6\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(ignored.err, "ledboard: ignored what follows the LED number ('--serial B22'): "
                           "options go first (see ledboard --help)\n"
                           "ledboard: used the board at 001/002\n");
    EXPECT_EQ(ignored.status, 0);

    const auto sentZero = ElementsAre("001/002 request=1 value=0x0000 result=7",
                                      "001/002 request=0 value=0x0000 result=7",
                                      "001/002 request=0 value=0x0000 result=7");
    // A dash and letters, or "--" without one (which does not end the options here), is a number.
    for (const char* word : {"-v", "-", "-j", "--"}) {
        const e2e::Run zero = ledboard({}, {word});
        EXPECT_EQ(zero.out, "LED  d  0\nPUSH d  0\nJUMP b  0\n") << word;
        EXPECT_EQ(zero.err, std::string("ledboard: '") + word +
                                "' is not an option: read as the LED number 0 (see "
                                "ledboard --help)\n")
            << word;
        EXPECT_THAT(vendorRequests(zero), sentZero) << word;
    }
    const e2e::Run afterDashes = ledboard({}, {"--", "5"});
    EXPECT_EQ(afterDashes.out, "LED  d  0\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(afterDashes.err, "ledboard: '--' is not an option: read as the LED number 0 (see "
                               "ledboard --help)\n"
                               "ledboard: ignored what follows the LED number ('5'): options go "
                               "first (see ledboard --help)\n"
                               "ledboard: used the board at 001/002\n");
    EXPECT_EQ(afterDashes.status, 0);
    EXPECT_THAT(vendorRequests(afterDashes), sentZero);

    const e2e::Run passed = ledboard({"--board", "eperm", "--second-board"}, {"5"});
    EXPECT_EQ(passed.out, "LED  d  5\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(passed.err,
              "ledboard: passed over the board at 001/002 (no permission); using the one at "
              "001/003\n");
}

TEST(NoSilentChoices, ABoardLibusbCannotListIsListedFromSysfs)
{
    const e2e::Run run = script({"--all-users", "--board", "mode=0660", "--second-board"}, R"sh(
        tool=$(mktemp -d); chmod 755 "$tool"
        cp ")sh" LEDBOARD_TOOL R"sh(" "$tool/ledboard"
        setpriv --reuid=65534 --regid=65534 --clear-groups -- "$tool/ledboard" --list
        echo "status $?"; rm -r "$tool")sh");

    EXPECT_EQ(run.out, "001/002\tunusable\tnot readable\t1-1\n"
                       "001/003\tusable\tledboard simulator\tUSB LED Board\t\t1-2\n"
                       "status 0\n");
}

TEST(NoSilentChoices, AClosedStandardOutputIsAFailure)
{
    const e2e::Run run = script({}, R"sh(
        for words in --version --status "--list" "5" "--watch"; do
            timeout 5 $tool $words >&- 2>err; echo "$words: $? $(cat err)"
        done; rm err)sh");

    EXPECT_EQ(run.out, "--version: 1 ledboard: cannot write the output: Bad file descriptor\n"
                       "--status: 1 ledboard: cannot write the output: Bad file descriptor\n"
                       "--list: 1 ledboard: cannot write the output: Bad file descriptor\n"
                       "5: 1 ledboard: cannot write the output: Bad file descriptor\n"
                       "--watch: 1 ledboard: cannot write the output: Bad file descriptor\n");
}

TEST(NoSilentChoices, AWatchWaitingForTheLockEndsOnAStopSignal)
{
    // Another process holds the board's lock for longer than the watch may wait for it.
    const e2e::Run run = script({}, R"sh(
        held=$(mktemp -u); flock /dev/bus/usb/001/002 sh -c "touch $held; exec sleep 60" & holder=$!
        waitfor '[ -e $held ]'
        $tool --watch & pid=$!
        )sh" + std::string(BOARD_OPEN) + R"sh(
        kill -TERM $pid; wait $pid; echo "status $?"
        kill $holder; wait $holder; rm $held)sh");

    // Had it waited out the lock instead, it would say so, and print the board's state.
    EXPECT_EQ(run.out, "status 0\n");
    EXPECT_EQ(run.err, "");
}

TEST(NoSilentChoices, BoardsWithoutStringsAreListedWithEmptyNames)
{
    // A device with the board's identity and no string indexes at all: libusb 0.1.12 reads index 0
    // as the language table, which once showed as a name.
    const e2e::Run run = ledboard({"--no-board", "--after", "1384:8888"}, {"--list"});
    EXPECT_EQ(run.out, "001/002\tusable\t\t\t\t1-1\n");
}

} // namespace
