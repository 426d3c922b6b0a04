// The simulator itself: what the tests above rely on it to do.
#include "harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace {

using e2e::controlPath;
using e2e::underSimulator;
using testing::HasSubstr;

TEST(Simulator, PassesOnTheCommandsExitStatus)
{
    EXPECT_EQ(underSimulator({}, {"sh", "-c", "exit 3"}).status, 3);
    EXPECT_EQ(underSimulator({}, {"true"}).status, 0);
}

TEST(Simulator, GivesTheCommandOnlyTheSimulatedBus)
{
    const e2e::Run run = underSimulator(
        {"--before", "0bda:8153", "--board", "bus=2"},
        {"sh", "-c", "cd \"$UMOCKDEV_DIR/dev/bus/usb\" && ls -f . 001 002 | grep -v '^[.]'"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "001\n002\n\n001:\n001\n002\n\n002:\n001\n002\n");
}

TEST(Simulator, ShowsEachDeviceInSysfsAtItsPort)
{
    const e2e::Run run = underSimulator(
        {"--board", "port=1.4,serial=B-7", "--after", "0bda:8153"},
        {"sh", "-c",
         "cd /sys/bus/usb/devices && for d in usb1 1-1.4 1-2; do echo \"$d:\" $(cat $d/busnum "
         "$d/devnum $d/devpath $d/idVendor $d/idProduct $d/speed $d/serial 2>&-); done; "
         "cat 1-1.4/busnum | od -An -c; "
         "readlink -f 1-1.4 | sed 's|^'\"$UMOCKDEV_DIR\"'||'"});
    EXPECT_EQ(run.out, "usb1: 1 1 0 1d6b 0002 480\n"
                       "1-1.4: 1 2 1.4 1384 8888 1.5 B-7\n"
                       "1-2: 1 3 2 0bda 8153 480\n"
                       "   1  \\n\n"
                       "/sys/devices/pci0000:00/0000:00:1d.0/usb1/1-1/1-1.4\n");
    EXPECT_EQ(run.status, 0) << run.err;

    const e2e::Run clash = underSimulator({"--board", "port=2", "--after", "0bda:8153"}, {"true"});
    EXPECT_EQ(clash.status, 125);
    EXPECT_EQ(clash.err, "ledboard-sim: two devices share port 2 of bus 1\n");
}

// Log lines other than those of the rescans (descriptors, connection and hub status).
std::vector<std::string> changesAndVendorRequests(const e2e::Run& run)
{
    std::vector<std::string> selected;
    for (const auto& line : run.log) {
        if (line.find("PLUG") != std::string::npos || line.find("type=0xc0") != std::string::npos) {
            selected.push_back(line);
        }
    }
    return selected;
}

TEST(Simulator, AnUnpluggedBoardLeavesDevAndSysfsAndComesBackWithTheNextNumber)
{
    const std::string control = controlPath("replug");
    // Each step waits for what the command can see, never for a time.
    const e2e::Run run = e2e::script({"--control", control}, R"sh(
        waitfor() { n=0; until eval "$1"; do n=$((n+1)); [ $n -lt 500 ] || exit 9; sleep 0.01; done; }
        ledboard 5 >/dev/null; echo "before: $(ls /dev/bus/usb/001 | xargs) $(ls /sys/bus/usb/devices | xargs)"
        echo unplug > )sh" + control + R"sh(
        waitfor '[ ! -e /dev/bus/usb/001/002 ]'
        echo "unplugged: $(ls /dev/bus/usb/001 | xargs) $(ls /sys/bus/usb/devices | xargs)"
        ledboard --status; echo "status: $?"
        echo plug > )sh" + control + R"sh(
        waitfor '[ -e /dev/bus/usb/001/003 ]'
        echo "plugged: $(ls /dev/bus/usb/001 | xargs) $(ls /sys/bus/usb/devices | xargs)"
        echo "1-1: $(cat /sys/bus/usb/devices/1-1/busnum /sys/bus/usb/devices/1-1/devnum | xargs)"
        ledboard --status)sh");

    EXPECT_EQ(run.out, "before: 001 002 1-1 usb1\n"
                       "unplugged: 001 usb1\n"
                       "status: 3\n"
                       "plugged: 001 003 1-1 usb1\n"
                       "1-1: 1 3\n"
                       "LED  d  0\nPUSH d  0\nJUMP b  0\n"); // it lost power: its LEDs are off
    EXPECT_EQ(run.err, "ledboard: no board (USB ID 1384:8888) found\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(changesAndVendorRequests(run),
                testing::ElementsAre(testing::StartsWith("001/002 CONTROL type=0xc0 request=1"),
                                     testing::StartsWith("001/002 CONTROL type=0xc0 request=0"),
                                     testing::StartsWith("001/002 CONTROL type=0xc0 request=0"),
                                     "001/002 UNPLUG", "001/003 PLUG",
                                     testing::StartsWith("001/003 CONTROL type=0xc0 request=0")));
    struct stat status {};
    EXPECT_NE(stat(control.c_str(), &status), 0) << "the FIFO is still there";
}

TEST(Simulator, ANodeStillOpenFailsWithEnodevOnceItsBoardIsGone)
{
    const std::string control = controlPath("open");
    const e2e::Run run = e2e::script({"--control", control}, R"sh(
        out=$(mktemp)
        $tool --watch 10 > "$out" & watch=$!
        until [ -s "$out" ]; do sleep 0.01; done
        echo unplug > )sh" + control + R"sh(
        wait $watch; echo "watch: $?"; cat "$out"; rm "$out")sh");

    EXPECT_EQ(run.out, "watch: 1\n0 0 0\n");
    EXPECT_EQ(run.err, "ledboard: cannot read the status: error sending control message: No such "
                       "device\n");
    const auto lines = changesAndVendorRequests(run);
    ASSERT_GE(lines.size(), 3U);
    EXPECT_EQ(lines[lines.size() - 2], "001/002 UNPLUG");
    EXPECT_EQ(lines.back(), "001/002 CONTROL type=0xc0 request=0 value=0x0000 index=0x0000 "
                            "length=7 result=-ENODEV");
}

TEST(Simulator, BoardsPluggedInLaterAndChangesAtTimes)
{
    // The second board starts off the bus and is plugged in at 300 ms, its button held down.
    // Being the newest node, it is listed first. Generous waits: nothing here depends on a tight
    // timing.
    const e2e::Run run = e2e::script(
        {"--after", "board,unplugged,serial=LATE", "--at", "300ms:plug@2", "--at", "0.3s:push@2"},
        R"sh(
        echo "at start: $(ls /dev/bus/usb/001 | xargs)"; ledboard --status
        n=0; until [ -e /dev/bus/usb/001/003 ]; do n=$((n+1)); [ $n -lt 500 ] || exit 9; sleep 0.01; done
        echo "later: $(ls /dev/bus/usb/001 | xargs) $(cat /sys/bus/usb/devices/1-2/serial)"
        ledboard --status)sh");

    EXPECT_EQ(run.out, "at start: 001 002\nLED  d  0\nPUSH d  0\nJUMP b  0\n"
                       "later: 001 002 003 LATE\nLED  d  0\nPUSH d  1\nJUMP b  0\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(changesAndVendorRequests(run),
                testing::ElementsAre(testing::StartsWith("001/002 CONTROL type=0xc0 request=0"),
                                     "001/003 PLUG",
                                     testing::StartsWith("001/003 CONTROL type=0xc0 request=0")));
}

TEST(Simulator, TheControlFifoReportsABadLineAndGoesOn)
{
    const std::string control = controlPath("bad");
    const e2e::Run run = e2e::script({"--control", control}, R"sh(
        echo 'sparkle' > )sh" + control + R"sh(
        echo 'unplug@2' > )sh" + control + R"sh(
        echo 'jumpers=5' > )sh" + control + R"sh(
        n=0; until ledboard --status 2>&- | grep -q 'JUMP b  5'; do n=$((n+1)); [ $n -lt 500 ] || exit 9; sleep 0.01; done
        echo done)sh");
    EXPECT_EQ(run.out, "done\n");
    EXPECT_EQ(run.err, "ledboard-sim: --control: unknown change: 'sparkle'\n"
                       "ledboard-sim: --control: there is no board 2 (boards: 1)\n");

    // A file that is there already is not taken over.
    ASSERT_EQ(close(open(control.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    const e2e::Run refused = underSimulator({"--control", control}, {"true"});
    EXPECT_EQ(refused.status, 125);
    EXPECT_THAT(refused.err, HasSubstr("cannot create the FIFO " + control + ": File exists"));
    unlink(control.c_str());
}

TEST(Simulator, ServesLibusb1AsWellAsLibusb0)
{
    // libusb-1.0 lists devices from sysfs and udev and sends control transfers as URBs; the
    // log has the same lines as for libusb 0.1's USBDEVFS_CONTROL.
    const std::string probe = LIBUSB1_PROBE;
    const e2e::Run run = underSimulator({"--board", "serial=S-1,port=1.3"}, {probe, "5"});
    EXPECT_EQ(run.out, "board: 001/002\nmanufacturer: ledboard simulator\nproduct: USB LED Board\n"
                       "serial: S-1\nset: ef af 28 01 5a c3 3c\nstatus: ef af 28 02 5a c3 3c\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(e2e::vendorRequests(run),
                testing::ElementsAre("001/002 request=1 value=0x0028 result=7",
                                     "001/002 request=0 value=0x0000 result=7"));
    EXPECT_THAT(e2e::controls(run, "001/002"),
                testing::Contains("001/002 CONTROL type=0x80 request=6 value=0x0303 "
                                  "index=0x0409 length=255 result=8"));

    // A stall fails that request only.
    const e2e::Run stall = underSimulator({"--fault", "1:stall"}, {probe, "5"});
    EXPECT_THAT(stall.out, testing::EndsWith("set: LIBUSB_ERROR_PIPE\n"
                                             "status: c7 af 00 02 5a c3 3c\n"));
    EXPECT_THAT(e2e::vendorRequests(stall),
                testing::ElementsAre("001/002 request=1 value=0x0028 result=-EPIPE",
                                     "001/002 request=0 value=0x0000 result=7"));

    // Unplugged at its second request: that request and the next find no device, and libusb's
    // next listing no longer holds the board (the remove uevent reached its monitor).
    const e2e::Run unplug = underSimulator({"--at", "2:unplug"}, {probe, "5"});
    EXPECT_THAT(unplug.out, testing::EndsWith("set: ef af 28 01 5a c3 3c\n"
                                              "status: LIBUSB_ERROR_NO_DEVICE\n"
                                              "listed afterwards: no\n"));
    EXPECT_THAT(changesAndVendorRequests(unplug),
                testing::ElementsAre(testing::EndsWith("request=1 value=0x0028 index=0x0000 "
                                                       "length=7 result=7"),
                                     testing::EndsWith("request=0 value=0x0000 index=0x0000 "
                                                       "length=7 result=-ENODEV"),
                                     "001/002 UNPLUG"));

    // Plugged in later: found on a later listing, which the add uevent fed.
    const e2e::Run later =
        underSimulator({"--board", "unplugged", "--at", "200ms:plug"}, {probe, "3", "250"});
    EXPECT_THAT(later.out, testing::StartsWith("board: 001/002, on a later listing\n"));
    EXPECT_THAT(later.out, testing::EndsWith("status: df af 18 02 5a c3 3c\n"));
    EXPECT_EQ(later.status, 0) << later.err;
    EXPECT_EQ(later.log.front(), "001/002 PLUG");
}

TEST(Simulator, AFullBusListsEveryBoardInBusOrderAndServesTheLast)
{
    // USB gives a bus 127 addresses (USB 2.0, 9.4.6); the root hub has the first, so 126 boards.
    constexpr int BOARDS = 126;
    const e2e::Run run = e2e::script({"--boards", std::to_string(BOARDS)}, R"sh(
        ledboard --list; echo "list: $?"
        ledboard --serial B126 5; echo "set: $?")sh");

    std::string listed;
    for (int board = 1; board <= BOARDS; ++board) {
        std::array<char, 96> line{};
        std::snprintf(line.data(), line.size(),
                      "001/%03d\tusable\tledboard simulator\tUSB LED Board\tB%03d\t1-%d\n",
                      board + 1, board, board);
        listed += line.data();
    }
    EXPECT_EQ(run.out, listed + "list: 0\nLED  d  5\nPUSH d  0\nJUMP b  0\nset: 0\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    // Found by its serial number among all the others, and no other board was written to.
    EXPECT_THAT(e2e::vendorRequests(run),
                testing::ElementsAre("001/127 request=1 value=0x0028 result=7",
                                     "001/127 request=0 value=0x0000 result=7",
                                     "001/127 request=0 value=0x0000 result=7"));
}

TEST(Simulator, OneProcessHoldsEveryBoardOfAFullBusOpenTwiceAndAsksEach)
{
    // As ledboardd does: libusb 0.1's handle on each board's node and one more descriptor locked,
    // 252 at once, where umockdev's preload alone holds 50 and then aborts the program (see
    // sim/device_fds.c). The program checks each descriptor (a status request, the extra one's
    // flock, connection info and device descriptor) and closes them all, twice.
    constexpr int BOARDS = 126;
    const e2e::Run run = underSimulator({"--boards", std::to_string(BOARDS)}, {LIBUSB0_HOLD});

    std::vector<std::string> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 2U * (BOARDS + 1) + 1) << run.out << run.err;
    const std::regex status("001/([0-9]{3}) status [0-9a-f]{2}( [0-9a-f]{2}){6}");
    for (int round = 0; round < 2; ++round) {
        const auto first = std::next(lines.begin(), std::ptrdiff_t{round} * (BOARDS + 1));
        for (int board = 1; board <= BOARDS; ++board) {
            const std::string& line = first[board - 1];
            std::smatch address;
            ASSERT_TRUE(std::regex_match(line, address, status)) << line;
            EXPECT_EQ(std::stoi(address[1]), board + 1) << line;
        }
        EXPECT_EQ(first[BOARDS], "round " + std::to_string(round + 1) + ": boards " +
                                     std::to_string(BOARDS) + ", answered " +
                                     std::to_string(BOARDS));
    }
    EXPECT_EQ(lines.back(), "kept descriptors: 0");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);

    // Each board's own handler answered both its requests and its extra descriptor's.
    std::map<std::string, int> requests;
    std::map<std::string, int> connectInfos;
    for (const auto& line : e2e::vendorRequests(run)) {
        EXPECT_THAT(line, testing::EndsWith(" request=0 value=0x0000 result=7"));
        ++requests[line.substr(0, line.find(' '))];
    }
    for (const auto& line : run.log) {
        if (line.ends_with(" CONNECTINFO result=0")) {
            ++connectInfos[line.substr(0, line.find(' '))];
        }
    }
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(BOARDS));
    for (const auto& [board, count] : requests) {
        EXPECT_EQ(count, 2) << board;
        EXPECT_EQ(connectInfos[board], 3) << board << ": libusb's listing, then both rounds";
    }
}

TEST(Simulator, AThousandReplugsUnderAProgramThatKeepsRescanning)
{
    // Each rescan opens every node it has listed, and the board's node comes and goes meanwhile:
    // the failed opens once filled umockdev's map of descriptors in the rescanning process
    // until it aborted (see sim/device_fds.c). The changes are applied in the order they are
    // written, so the jumpers show once every replug is done.
    constexpr int REPLUGS = 1000;
    const std::string control = controlPath("replugs");
    const e2e::Run run =
        e2e::script({"--control", control}, std::string("rescan=") + LIBUSB0_RESCAN +
                                                "\nreplugs=" + std::to_string(REPLUGS) + R"sh(
        out=$(mktemp)
        $rescan > "$out" & rescanner=$!
        n=0; until [ -s "$out" ]; do n=$((n+1)); [ $n -lt 500 ] || exit 9; sleep 0.01; done
        for i in $(seq $replugs); do echo unplug; echo plug; done > )sh" +
                                                control + R"sh(
        echo jumpers=5 > )sh" + control + R"sh(
        n=0; until ledboard --status 2>&- | grep -q 'JUMP b  5'; do
            n=$((n+1)); [ $n -lt 1000 ] || exit 9; sleep 0.05
        done
        kill -TERM $rescanner; wait $rescanner; echo "rescanner: $?"; cat "$out"; rm "$out"
        ledboard 3)sh");

    std::smatch counts;
    ASSERT_TRUE(
        std::regex_match(run.out, counts,
                         std::regex("rescanner: 0\nready\nrescans: (\\d+)\nchanges: (\\d+)\n"
                                    "kept descriptors: 0\n"
                                    "status: c7 aa 00 [0-9a-f]{2} 5a c3 3c\n"
                                    "LED  d  3\nPUSH d  0\nJUMP b  5\n")))
        << run.out << run.err;
    // It saw the board go and come back while the replugs went on.
    EXPECT_GE(std::stol(counts[2]), 2) << "rescans: " << counts[1];
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);

    // Every unplug and plug, in turn; the addresses go round the bus's 126 past the root hub's.
    int unplugs = 0;
    int plugs = 0;
    std::string last;
    for (const auto& line : run.log) {
        if (line.ends_with(" UNPLUG")) {
            ASSERT_EQ(unplugs++, plugs) << line;
        } else if (line.ends_with(" PLUG")) {
            ASSERT_EQ(plugs++, unplugs - 1) << line;
            last = line;
        }
    }
    EXPECT_EQ(unplugs, REPLUGS);
    EXPECT_EQ(plugs, REPLUGS);
    constexpr int ADDRESSES = 126; // 2 to 127
    EXPECT_EQ(last, "001/" + std::to_string(2 + REPLUGS % ADDRESSES) + " PLUG");
    EXPECT_THAT(e2e::vendorRequests(run),
                testing::Contains("001/120 request=1 value=0x0018 result=7"));
}

// Under ctest's valgrind run (which wraps the tool, and here the probe): the preload forwards
// libusb-1.0's URB buffers as it does libusb 0.1's requests, and nothing else is reported.
TEST(Libusb1, RunsCleanlyUnderTheToolsWrapper)
{
    std::vector<std::string> command = e2e::toolCommand();
    if (command.size() == 1) {
        GTEST_SKIP() << "no wrapper: Simulator.ServesLibusb1AsWellAsLibusb0 covers the rest";
    }
    command.back() = LIBUSB1_PROBE;
    command.emplace_back("5");
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{}, {"--fault", "1:stall"}, {"--at", "2:unplug"}}) {
        const e2e::Run run = underSimulator(options, command);
        EXPECT_THAT(run.out, testing::StartsWith("board: 001/002\n")) << run.err;
        EXPECT_THAT(run.err, testing::Not(HasSubstr("=="))) << "a report of the wrapper";
        EXPECT_EQ(run.status, options.empty() ? 0 : 1) << run.err;
    }
}

// The log's lines for vendor requests to `device`, in the order they ended.
std::vector<std::string> vendorLines(const e2e::Run& run, const std::string& device)
{
    std::vector<std::string> selected;
    for (const auto& line : e2e::controls(run, device)) {
        if (line.find("type=0xc0") != std::string::npos) {
            selected.push_back(line);
        }
    }
    return selected;
}

// Milliseconds in the script's own words, for the waits that the tests below measure.
constexpr const char* MILLISECONDS = "ms() { echo $(( $(date +%s%N) / 1000000 )); }\n";

TEST(Simulator, AHungBoardHoldsItsCallerForTheTimeoutAndNobodyElse)
{
    // The board hangs at its first vendor request; the second board answers all along. The
    // second command starts while the first waits (tool start-up takes well under 2 s, even
    // under valgrind).
    const e2e::Run run =
        e2e::script({"--second-board", "--at", "1:hang"}, std::string(MILLISECONDS) + R"sh(
        err=$(mktemp); start=$(ms)
        { ledboard --device 001/002 5 2> "$err"; echo "hung: $? $(( $(ms) - start ))"; } &
        sleep 2; second=$(ms)
        ledboard --device 001/003 3; echo "second: $? $(( $(ms) - second ))"
        wait; cat "$err" >&2; rm "$err")sh");

    std::smatch times;
    ASSERT_TRUE(std::regex_match(
        run.out, times,
        std::regex("LED  d  3\nPUSH d  0\nJUMP b  0\nsecond: 0 (\\d+)\nhung: 1 (\\d+)\n")))
        << run.out << run.err;
    EXPECT_LT(std::stoi(times[1]), 1500) << "the second board waited";
    EXPECT_GE(std::stoi(times[2]), 5000) << "the hung request ended before its 5 s timeout";
    EXPECT_LT(std::stoi(times[2]), 9000);
    EXPECT_EQ(run.err, "ledboard: cannot send the LED value: error sending control message: "
                       "Connection timed out\n");
    EXPECT_EQ(run.status, 0);
    // Logged as it ended: after the second board's requests.
    const auto hung = vendorLines(run, "001/002");
    const auto answered = vendorLines(run, "001/003");
    ASSERT_THAT(hung, testing::ElementsAre("001/002 CONTROL type=0xc0 request=1 value=0x0028 "
                                           "index=0x0000 length=7 result=-ETIMEDOUT"));
    ASSERT_EQ(answered.size(), 3U); // the LED request, then two status reads
    const auto position = [&run](const std::string& line) {
        return std::find(run.log.begin(), run.log.end(), line) - run.log.begin();
    };
    EXPECT_LT(position(answered.back()), position(hung.front()));
}

TEST(Simulator, AHungBoardThatAnswersAgainOrLeavesEndsTheWaitThen)
{
    for (const char* change : {"answer", "unplug"}) {
        const e2e::Run run = e2e::script({"--at", "1:hang", "--at", std::string("1s:") + change},
                                         std::string(MILLISECONDS) + R"sh(
            start=$(ms); ledboard 5; echo "status $? $(( $(ms) - start ))")sh");
        std::smatch times;
        const bool answered = std::string(change) == "answer";
        ASSERT_TRUE(std::regex_search(run.out, times, std::regex("status (\\d) (\\d+)\n$")))
            << run.out;
        EXPECT_EQ(times[1], answered ? "0" : "1") << change;
        EXPECT_GE(std::stoi(times[2]), 900) << change;
        EXPECT_LT(std::stoi(times[2]), 4000) << change << ": waited for the timeout";
        // The LED request waited, then was answered whole, or failed as the board left.
        const auto lines = vendorLines(run, "001/002");
        ASSERT_FALSE(lines.empty()) << change;
        EXPECT_EQ(lines.front(), std::string("001/002 CONTROL type=0xc0 request=1 value=0x0028 "
                                             "index=0x0000 length=7 result=") +
                                     (answered ? "7" : "-ENODEV"));
        if (answered) {
            EXPECT_TRUE(run.out.starts_with("LED  d  5\nPUSH d  0\nJUMP b  0\n")) << run.out;
        } else {
            EXPECT_EQ(run.err, "ledboard: cannot send the LED value: error sending control "
                               "message: No such device\n");
        }
    }
}

TEST(Simulator, FailsLoudlyOnWhatItCannotDo)
{
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--jumpers", "10"}, "ledboard-sim: the board has four jumpers"},
        // A string descriptor's length byte cannot count more; umockdev's records are lines.
        {{"--board", "product=" + std::string(127, 'p')}, "product string has 127 characters"},
        {{"--board", "manufacturer=a\nb"}, "manufacturer string holds a character that is not"},
        {{"--log", ""}, "ledboard-sim: --log needs a file name"},
    };
    for (const auto& [options, message] : refused) {
        const e2e::Run run = underSimulator(options, {"true"});
        EXPECT_EQ(run.status, 125) << message;
        EXPECT_THAT(run.err, HasSubstr(message));
    }

    const e2e::Run missing = underSimulator({}, {"/nonexistent/command"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_THAT(missing.err, HasSubstr("cannot run /nonexistent/command"));

    // What it cannot write: the log (which the harness would otherwise name), and its help.
    const std::string sim = e2e::simulatorPath();
    const e2e::Run unwritable =
        underSimulator({}, {"sh", "-c",
                            sim + " --log /dev/full -- " + LEDBOARD_TOOL + " 5; echo \"log $?\"; " +
                                sim + " --help >/dev/full; echo \"help $?\""});
    EXPECT_THAT(unwritable.out, testing::EndsWith("log 125\nhelp 125\n"));
    EXPECT_THAT(unwritable.err, HasSubstr("cannot write the log /dev/full: No space left"));
    EXPECT_THAT(unwritable.err, HasSubstr("cannot write the help: No space left"));
}

TEST(Simulator, LeavesClosedStandardDescriptorsClosedForTheCommand)
{
    // umockdev's sockets would take a closed descriptor 0 to 2 in the simulator, and its messages
    // would go into them; the command must still see them closed. The probe duplicates each
    // descriptor without redirecting the one it probes. Run from a plain shell, not under the
    // simulator: a second preload in the command opens descriptors of its own.
    const std::string probe =
        R"(for fd in 0 1; do if (exec 3>&$fd) 2>&-; then echo "$fd open" >&4; )"
        R"(else echo "$fd closed" >&4; fi; done 4>"$out"; )"
        R"(if (exec 3>&2); then echo "2 open"; else echo "2 closed"; fi >>"$out"; )"
        R"(echo "simulator:" $(readlink /proc/$PPID/fd/0 /proc/$PPID/fd/1 /proc/$PPID/fd/2) >>"$out")";
    const std::string report = ::testing::TempDir() + "ledboard-sim-descriptors";
    const std::string script =
        "sim=" + e2e::simulatorPath() + "; export out=$(mktemp); exec >" + report + "\n" +
        "$sim -- sh -c '" + probe + "' <&- >&- 2>&-; echo \"all closed: $?\"; cat \"$out\"\n" +
        "$sim -- sh -c '" + probe + "' </dev/zero >&- 2>/dev/zero; echo \"stdout closed: $?\"; " +
        "cat \"$out\"\n" +
        R"($sim -- sh -c 'echo x >&1' >&- 2>/dev/null; echo "echo: $?"; rm "$out")";
    ASSERT_EQ(std::system(script.c_str()), 0);
    std::ifstream file(report);
    const std::string out{std::istreambuf_iterator<char>(file), {}};
    unlink(report.c_str());
    const std::string null = " /dev/null";
    EXPECT_EQ(out,
              "all closed: 0\n0 closed\n1 closed\n2 closed\nsimulator:" + null + null + null +
                  "\nstdout closed: 0\n0 open\n1 closed\n2 open\nsimulator: /dev/zero" + null +
                  " /dev/zero\n"
                  "echo: 1\n"); // the shell's own failure, not the simulator's abort
}

TEST(Simulator, ChecksItsTmpfsBeforeUmockdevDoes)
{
    // umockdev aborts on a full or read-only /dev/shm and leaves half a testbed behind.
    const std::string sim = e2e::simulatorPath();
    const e2e::Run run = underSimulator(
        {}, {"unshare", "--mount", "sh", "-c",
             "for options in size=64k ro; do mount -t tmpfs -o $options tmpfs /dev/shm || exit; " +
                 sim + " -- true; echo \"$options $? $(ls -A /dev/shm)\"; done"});
    if (run.status != 0) {
        GTEST_SKIP() << "no mount namespace here: " << run.err;
    }
    EXPECT_EQ(run.out, "size=64k 125 \nro 125 \n");
    EXPECT_THAT(run.err, HasSubstr("/dev/shm has 64 KiB free; the simulated bus needs about"));
    EXPECT_THAT(run.err, HasSubstr("/dev/shm is read-only"));
}

TEST(Simulator, RemovesItsTestbedWhateverSignalStopsIt)
{
    for (const int signal : {SIGTERM, SIGUSR1, SIGALRM}) {
        const std::string dirFile = ::testing::TempDir() + "ledboard-sim-dir";
        unlink(dirFile.c_str());
        std::string sim = e2e::simulatorPath();
        std::string script = "echo \"$UMOCKDEV_DIR\" > " + dirFile + "; exec sleep 30";
        std::vector<char*> argv{sim.data(),
                                const_cast<char*>("--"),
                                const_cast<char*>("sh"),
                                const_cast<char*>("-c"),
                                script.data(),
                                nullptr};
        pid_t simulator = 0;
        ASSERT_EQ(posix_spawn(&simulator, argv[0], nullptr, nullptr, argv.data(), environ), 0);

        std::string testbed;
        for (int attempt = 0; attempt < 500 && testbed.empty(); ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::ifstream(dirFile) >> testbed;
        }
        ASSERT_FALSE(testbed.empty()) << "the command never started";
        struct stat status {};
        EXPECT_EQ(stat(testbed.c_str(), &status), 0);

        kill(simulator, signal);
        int waitStatus = 0;
        waitpid(simulator, &waitStatus, 0);

        EXPECT_TRUE(WIFEXITED(waitStatus)) << signal;
        EXPECT_EQ(WEXITSTATUS(waitStatus), 128 + signal); // the command died of the signal
        EXPECT_NE(stat(testbed.c_str(), &status), 0) << testbed << " is still there";
        unlink(dirFile.c_str());
    }
}

} // namespace

namespace {

// What a shell command prints on standard output, run from this process: outside the simulator.
std::string outputOf(const std::string& command)
{
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return text;
    }
    std::array<char, 256> buffer{};
    for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        text.append(buffer.data(), got);
    }
    pclose(pipe);
    return text;
}

} // namespace

TEST(Simulator, AJoinScriptRunsCommandsOnTheBusFromOutsideUntilTheSimulatorEnds)
{
    const std::string join = ::testing::TempDir() + "ledboard-sim-join";
    const std::string kept = join + "-kept"; // a copy that outlives the simulator
    unlink(join.c_str());
    unlink(kept.c_str());
    std::string listed;
    std::string changed;
    std::string bare;
    const e2e::Run run = e2e::underSimulatorAtFirstLine(
        {"--boards", "2", "--join-script", join},
        // The command holds board 1 open while the outside runs: as a daemon would.
        {"sh", "-c", std::string("exec 3<>/dev/bus/usb/001/002; echo ready; exec sleep 60")},
        [&](pid_t group) {
            listed = outputOf(join + " " + LEDBOARD_TOOL + " --list | cut -f 1,2,5");
            changed = outputOf(join + " " + LEDBOARD_TOOL + " --serial B002 6 && " + join + " " +
                               LEDBOARD_TOOL + " --serial B002 --status");
            bare = outputOf(join + " 2>&1; echo \"status $?\"");
            outputOf("cp " + join + " " + kept);
            kill(-group, SIGTERM);
        });
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_EQ(listed, "001/002\tusable\tB001\n001/003\tusable\tB002\n");
    EXPECT_EQ(changed, "LED  d  6\nPUSH d  0\nJUMP b  0\nLED  d  6\nPUSH d  0\nJUMP b  0\n");
    EXPECT_EQ(bare, "usage: " + join + " COMMAND [ARG]...\nstatus 125\n");

    struct stat status {};
    EXPECT_NE(stat(join.c_str(), &status), 0) << join << " is still there";
    // A copy kept past the simulator's end refuses, rather than reach the machine's own USB.
    EXPECT_EQ(outputOf(kept + " " + LEDBOARD_TOOL + " --list 2>&1; echo \"status $?\""),
              kept + ": the simulated bus has gone (ledboard-sim has exited)\nstatus 125\n");
    unlink(kept.c_str());

    // A file that is there already is not taken over.
    ASSERT_EQ(close(open(join.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    const e2e::Run refused = underSimulator({"--join-script", join}, {"true"});
    EXPECT_EQ(refused.status, 125);
    EXPECT_THAT(refused.err, HasSubstr("cannot write the join script " + join + ": File exists"));
    EXPECT_EQ(stat(join.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 0);
    unlink(join.c_str());
}
