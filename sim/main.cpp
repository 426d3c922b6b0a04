// ledboard-sim: runs a command against a simulated USB bus that holds the LED board.
#include "config.hpp"
#include "testbed.hpp"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Exit statuses of the simulator itself, as env(1) and timeout(1) use them.
constexpr int EXIT_SIMULATOR_FAILED = 125;
constexpr int EXIT_CANNOT_EXECUTE = 126;
constexpr int EXIT_NOT_FOUND = 127;
constexpr int EXIT_SIGNAL_BASE = 128;

// Where the testbed goes: on tmpfs, readdir order can be controlled (see Testbed).
constexpr const char* TESTBED_PARENT = "/dev/shm";

// A testbed takes about 36 KiB of tmpfs per device (measured: 1872 KiB for 52 devices); this
// leaves room to spare. umockdev aborts when it runs out, leaving a partial testbed behind.
constexpr unsigned long long TESTBED_BYTES_PER_DEVICE = 64ULL * 1024;

// Every signal that ends a process by default and that a user or a supervisor may send to stop
// this one; the synchronous ones (SIGSEGV, SIGFPE, ...) are the simulator's own, and SIGKILL cannot
// be caught. Each is passed on to the command, so that the simulator outlives it and removes its
// testbed.
constexpr int FORWARDED_SIGNALS[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                     SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR};

std::vector<std::string> currentEnvironment()
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        variables.emplace_back(*entry);
    }
    return variables;
}

// The environment of the program under test: the caller's, pointed at the testbed.
std::vector<std::string> childEnvironment(const std::vector<std::string>& caller,
                                          const std::string& testbedRoot)
{
    std::string preload;
    std::vector<std::string> variables;
    for (const std::string& variable : caller) {
        if (variable.starts_with("LD_PRELOAD=")) {
            // Keep what is there in front: a sanitizer runtime must come first.
            preload = variable.substr(std::strlen("LD_PRELOAD=")) + ":";
        } else if (variable.starts_with("USB_DEVFS_PATH=") ||
                   variable.starts_with("UMOCKDEV_DIR=")) {
            continue; // would point libusb or the preload elsewhere
        } else {
            variables.push_back(variable);
        }
    }
    variables.push_back("LD_PRELOAD=" + preload + LEDBOARD_SIM_PRELOAD);
    variables.push_back("UMOCKDEV_DIR=" + testbedRoot);
    return variables;
}

// The null-terminated array of C strings that exec-style calls take; valid while `strings` lives.
std::vector<char*> cStrings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const auto& text : strings) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

int exitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return EXIT_SIGNAL_BASE + WTERMSIG(waitStatus);
}

// Runs the command and waits for it, passing on any signal that would end the simulator, so that
// the simulator outlives the command and removes its testbed.
int runCommand(const std::vector<std::string>& command, const std::vector<std::string>& environment,
               const sigset_t& waited)
{
    const std::vector<char*> argv = cStrings(command);
    const std::vector<char*> envp = cStrings(environment);

    // The command starts as a shell would start it: every signal at its default action (GLib
    // leaves SIGPIPE ignored here) and none blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        std::fprintf(stderr, "ledboard-sim: cannot run %s: %s\n", argv[0], std::strerror(spawned));
        return spawned == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXECUTE;
    }

    for (;;) {
        siginfo_t info{};
        if (sigwaitinfo(&waited, &info) < 0) {
            continue; // EINTR
        }
        if (info.si_signo != SIGCHLD) {
            kill(child, info.si_signo);
            continue;
        }
        int waitStatus = 0;
        const pid_t ended = waitpid(child, &waitStatus, WNOHANG);
        if (ended == child) {
            return exitStatusOf(waitStatus);
        }
    }
}

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

std::size_t deviceCount(const sim::Config& config)
{
    return config.before.size() + config.after.size() + (config.board ? 1 : 0);
}

} // namespace

int main(int argc, char* argv[])
{
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

    // Block the signals we wait for before umockdev starts its threads, which inherit the mask.
    sigset_t waited;
    sigemptyset(&waited);
    sigaddset(&waited, SIGCHLD);
    for (const int signal : FORWARDED_SIGNALS) {
        sigaddset(&waited, signal);
    }
    pthread_sigmask(SIG_BLOCK, &waited, nullptr);

    // umockdev makes its testbed under TMPDIR and sets UMOCKDEV_DIR for itself; the command
    // gets the caller's environment instead.
    const std::vector<std::string> caller = currentEnvironment();
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
        const int status =
            runCommand(config.command, childEnvironment(caller, testbed.root()), waited);
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
