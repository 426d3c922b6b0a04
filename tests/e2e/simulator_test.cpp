// The simulator itself: what the tests above rely on it to do.
#include "harness.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

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
        "$sim -- sh -c 'echo x >&1' >&- 2>/dev/null; echo \"echo: $?\"; rm \"$out\"";
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
