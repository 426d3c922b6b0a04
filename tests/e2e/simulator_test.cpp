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
    const e2e::Run badOption = underSimulator({"--jumpers", "10"}, {"true"});
    EXPECT_EQ(badOption.status, 125);
    EXPECT_THAT(badOption.err, HasSubstr("ledboard-sim: the board has four jumpers"));

    const e2e::Run missing = underSimulator({}, {"/nonexistent/command"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_THAT(missing.err, HasSubstr("cannot run /nonexistent/command"));
}

TEST(Simulator, RemovesItsTestbedWhenInterrupted)
{
    const std::string dirFile = ::testing::TempDir() + "ledboard-sim-dir";
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

    kill(simulator, SIGTERM);
    int waitStatus = 0;
    waitpid(simulator, &waitStatus, 0);

    EXPECT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(WEXITSTATUS(waitStatus), 128 + SIGTERM); // the command died of the signal
    EXPECT_NE(stat(testbed.c_str(), &status), 0) << testbed << " is still there";
    unlink(dirFile.c_str());
}

} // namespace
