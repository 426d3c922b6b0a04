#include "join_script.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// Quoted for sh: every character stands for itself.
std::string quoted(const std::string& text)
{
    std::string result = "'";
    for (const char character : text) {
        result += character == '\'' ? std::string("'\\''") : std::string(1, character);
    }
    return result + "'";
}

[[noreturn]] void failOn(const std::string& path, int error)
{
    throw std::runtime_error("cannot write the join script " + path + ": " + std::strerror(error));
}

} // namespace

std::string joinScriptText(const std::string& testbedRoot, const std::string& preloads)
{
    return "#!/bin/sh\n"
           "# Runs a command on the simulated bus of ledboard-sim (process " +
           std::to_string(getpid()) +
           ") while it runs:\n"
           "#   \"$0\" COMMAND [ARG]...\n"
           "# Written by ledboard-sim --join-script, and removed when it exits.\n"
           "bus=" +
           quoted(testbedRoot) + "\npreloads=" + quoted(preloads) +
           "\n"
           "if [ $# -eq 0 ]; then\n"
           "    echo \"usage: $0 COMMAND [ARG]...\" >&2\n"
           "    exit 125\n"
           "fi\n"
           "# Without the testbed the command would reach the machine's own USB devices.\n"
           "if [ ! -d \"$bus\" ]; then\n"
           "    echo \"$0: the simulated bus has gone (ledboard-sim has exited)\" >&2\n"
           "    exit 125\n"
           "fi\n"
           "case \":${LD_PRELOAD-}:\" in\n"
           "    *\":$preloads:\"*) ;;\n"
           "    *) LD_PRELOAD=${LD_PRELOAD:+$LD_PRELOAD:}$preloads ;;\n"
           "esac\n"
           "UMOCKDEV_DIR=$bus\n"
           "export LD_PRELOAD UMOCKDEV_DIR\n"
           "unset USB_DEVFS_PATH\n"
           "exec \"$@\"\n";
}

JoinScript::JoinScript(std::string path, const std::string& text) : path_(std::move(path))
{
    // Written beside its name and linked there once whole: a reader never runs half of it, and
    // link() refuses a name that is taken.
    std::string draft = path_ + ".XXXXXX";
    const int file = mkstemp(draft.data());
    if (file < 0) {
        failOn(path_, errno);
    }
    int error = 0;
    std::size_t written = 0;
    while (error == 0 && written < text.size()) {
        const ssize_t step = write(file, text.data() + written, text.size() - written);
        if (step < 0 && errno != EINTR) {
            error = errno;
        }
        written += step > 0 ? static_cast<std::size_t>(step) : 0;
    }
    constexpr mode_t EXECUTABLE = 0755;
    if (error == 0 && fchmod(file, EXECUTABLE) != 0) {
        error = errno;
    }
    if (close(file) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && link(draft.c_str(), path_.c_str()) != 0) {
        error = errno;
    }
    unlink(draft.c_str());
    if (error != 0) {
        failOn(path_, error);
    }
}

JoinScript::~JoinScript()
{
    unlink(path_.c_str());
}

} // namespace sim
