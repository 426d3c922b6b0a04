#include "command.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// Exit statuses of the simulator when the command cannot run, as env(1) uses them.
constexpr int EXIT_CANNOT_EXECUTE = 126;
constexpr int EXIT_NOT_FOUND = 127;
constexpr int EXIT_SIGNAL_BASE = 128;

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

} // namespace

std::vector<std::string> currentEnvironment()
{
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        variables.emplace_back(*entry);
    }
    return variables;
}

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

} // namespace sim
