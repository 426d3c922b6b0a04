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
#include <fstream>
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
