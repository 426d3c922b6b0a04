// ledboard-sim: runs a command against a simulated USB bus that holds the LED board.
#include "command.hpp"
#include "config.hpp"
#include "control_fifo.hpp"
#include "join_script.hpp"
#include "scheduler.hpp"
#include "testbed.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Exit statuses of the simulator itself, as env(1) and timeout(1) use them.
constexpr int EXIT_SIMULATOR_FAILED = 125;

// Where the testbed goes: on tmpfs, readdir order can be controlled (see Testbed).
constexpr const char* TESTBED_PARENT = "/dev/shm";

// A testbed takes about 36 KiB of tmpfs per device (measured: 1872 KiB for 52 devices); this
// leaves room to spare. umockdev aborts when it runs out, leaving a partial testbed behind.
constexpr unsigned long long TESTBED_BYTES_PER_DEVICE = 64ULL * 1024;

bool isDirectory(const char* path)
{
    struct stat status {};
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// What keeps umockdev from building the testbed under `parent`, checked before it tries: it aborts
// on a failed write and leaves a partial testbed. Empty when there is nothing in the way.
std::string testbedObstacle(const char* parent, std::size_t devices)
{
    struct statvfs space {};
    if (statvfs(parent, &space) != 0) {
        return std::string("cannot examine ") + parent + ": " + std::strerror(errno);
    }
    if ((space.f_flag & ST_RDONLY) != 0) {
        return std::string(parent) + " is read-only";
    }
    const unsigned long long needed = (devices + 1) * TESTBED_BYTES_PER_DEVICE;
    const unsigned long long free =
        static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
    if (free < needed) {
        return std::string(parent) + " has " + std::to_string(free / 1024) +
               " KiB free; the simulated bus needs about " + std::to_string(needed / 1024) + " KiB";
    }
    return {};
}

constexpr long long MICROS_PER_MILLI = 1000;

// A change that could not be made: said on stderr, and the run goes on.
void report(const std::string& where, const std::string& problem)
{
    if (!problem.empty()) {
        std::fprintf(stderr, "ledboard-sim: %s: %s\n", where.c_str(), problem.c_str());
    }
}

std::size_t deviceCount(const sim::Config& config)
{
    return config.before.size() + config.after.size() + (config.board ? 1 : 0);
}

} // namespace

int main(int argc, char* argv[])
{
    // First of all: a socket umockdev opens later must not become the command's stdout.
    std::vector<int> closedDescriptors;
    try {
        closedDescriptors = sim::claimClosedStandardDescriptors();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ledboard-sim: %s\n", error.what());
        return EXIT_SIMULATOR_FAILED;
    }

    sim::Config config;
    try {
        bool help = false;
        config = sim::parseArguments({argv + 1, argv + argc}, help);
        if (help) {
            std::fputs(sim::USAGE, stdout);
            if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
                std::fprintf(stderr, "ledboard-sim: cannot write the help: %s\n",
                             std::strerror(errno));
                return EXIT_SIMULATOR_FAILED;
            }
            return EXIT_SUCCESS;
        }
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "ledboard-sim: %s\nTry 'ledboard-sim --help'.\n", error.what());
        return EXIT_SIMULATOR_FAILED;
    }

    if (access(LEDBOARD_SIM_PRELOAD, R_OK) != 0) {
        // Without the preload the command would run against the machine's real USB devices.
        std::fprintf(stderr,
                     "ledboard-sim: umockdev's preload library %s is missing (install umockdev)\n",
                     LEDBOARD_SIM_PRELOAD);
        return EXIT_SIMULATOR_FAILED;
    }
    if (access(LEDBOARD_SIM_DEVICE_FDS, R_OK) != 0) {
        // The loader would only warn, and a long run would end in umockdev's abort.
        std::fprintf(stderr, "ledboard-sim: its preload library %s is missing (build it again)\n",
                     LEDBOARD_SIM_DEVICE_FDS);
        return EXIT_SIMULATOR_FAILED;
    }

    // Block the signals we wait for before umockdev starts its threads, which inherit the mask.
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGCHLD);
    for (const int signal : sim::FORWARDED_SIGNALS) {
        sigaddset(&waited, signal);
    }
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);

    // umockdev makes its testbed under TMPDIR and sets UMOCKDEV_DIR for itself; the command
    // gets the caller's environment instead.
    const std::vector<std::string> caller = sim::currentEnvironment();
    if (isDirectory(TESTBED_PARENT)) {
        const std::string obstacle = testbedObstacle(TESTBED_PARENT, deviceCount(config));
        if (!obstacle.empty()) {
            std::fprintf(stderr, "ledboard-sim: cannot build the simulated bus: %s\n",
                         obstacle.c_str());
            return EXIT_SIMULATOR_FAILED;
        }
        setenv("TMPDIR", TESTBED_PARENT, 1);
    }

    try {
        sim::Testbed testbed(config);
        std::optional<sim::ControlFifo> control;
        if (!config.controlPath.empty()) {
            control.emplace(config.controlPath);
        }
        // Before the command starts: once it runs, the script is there to run.
        std::optional<sim::JoinScript> joinScript;
        if (!config.joinScriptPath.empty()) {
            joinScript.emplace(config.joinScriptPath,
                               sim::joinScriptText(testbed.root(), sim::simulatorPreloads()));
        }
        pid_t child = 0;
        if (const int failed =
                sim::startCommand(config.command, sim::childEnvironment(caller, testbed.root()),
                                  closedDescriptors, child);
            failed != 0) {
            return failed;
        }
        // Times count from here: the command has just started.
        const sim::Scheduler scheduler(
            config.timedChanges, std::chrono::steady_clock::now(),
            [&testbed](const sim::TimedChange& change) {
                const std::string when =
                    "at " + std::to_string(change.after.count() / MICROS_PER_MILLI) + "ms";
                try {
                    report(when, testbed.apply(change.change));
                } catch (const std::exception& error) { // on a thread of its own: said, not thrown
                    report(when, error.what());
                }
            });
        if (control) {
            control->start([&testbed, boards = sim::boardCount(config)](std::string_view line) {
                try {
                    report("--control", testbed.apply(sim::parseBoardChange(line, boards)));
                } catch (const std::exception& error) { // a bad line, or a failed plug
                    report("--control", error.what());
                }
            });
        }
        const int status = sim::waitForCommand(child, waited);
        if (const int error = testbed.logError(); error != 0) {
            std::fprintf(stderr, "ledboard-sim: cannot write the log %s: %s\n",
                         config.logPath.c_str(), std::strerror(error));
            return EXIT_SIMULATOR_FAILED;
        }
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ledboard-sim: %s\n", error.what());
        return EXIT_SIMULATOR_FAILED;
    }
}
