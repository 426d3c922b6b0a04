#include "command.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

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

std::string simulatorPreloads()
{
    // Ours ahead of umockdev's, whose open(), ioctl() and close() it wraps (see device_fds.c).
    return std::string(LEDBOARD_SIM_DEVICE_FDS) + ":" + LEDBOARD_SIM_PRELOAD;
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
    variables.push_back("LD_PRELOAD=" + preload + simulatorPreloads());
    variables.push_back("UMOCKDEV_DIR=" + testbedRoot);
    return variables;
}

std::vector<int> claimClosedStandardDescriptors()
{
    std::vector<int> closed;
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open() takes the lowest free number: this one, since those below it are open by now.
        // Held until the simulator exits.
        const int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (placeholder != descriptor) {
            throw std::runtime_error(std::string("cannot hold descriptor ") +
                                     std::to_string(descriptor) +
                                     " with /dev/null: " + std::strerror(errno));
        }
        closed.push_back(descriptor);
    }
    return closed;
}

int startCommand(const std::vector<std::string>& command,
                 const std::vector<std::string>& environment, const std::vector<int>& closed,
                 pid_t& child)
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
    // And with the standard descriptors it was given: those closed for the simulator are closed
    // for it too (the simulator's /dev/null placeholders are close-on-exec).
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    for (const int descriptor : closed) {
        posix_spawn_file_actions_addclose(&files, descriptor);
    }
    const int spawned =
        posix_spawnp(&child, argv[0], &files, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        std::fprintf(stderr, "ledboard-sim: cannot run %s: %s\n", argv[0], std::strerror(spawned));
        return spawned == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXECUTE;
    }
    return 0;
}

int waitForCommand(pid_t child, const sigset_t& waited)
{
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
