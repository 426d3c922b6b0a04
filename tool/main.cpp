#include "run.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Started with descriptor 0, 1 or 2 closed, the process would hand that number to the next file it
// opens: libusb's open() of the board, and stderr's messages would then be written into the board's
// device node. So each closed one is opened on /dev/null before anything else opens a file.
// `outClosed` tells whether standard output was one of them: a report written there reaches no one.
bool openStandardDescriptors(bool& outClosed)
{
    outClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            if (open("/dev/null", O_RDWR) != fd) {
                return false;
            }
            outClosed = outClosed || fd == STDOUT_FILENO;
        }
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    bool outClosed = false;
    if (!openStandardDescriptors(outClosed)) {
        return EXIT_STATUS_FAILURE; // nowhere safe to say so
    }
    int status = runLedboard({argv, static_cast<std::size_t>(argc)}, stdout, stderr, outClosed);
    // A report that never reached its reader (a full disk, a closed pipe, a closed descriptor) is
    // not a success. Other outcomes keep their status: they had no report to give.
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    if (status == EXIT_STATUS_OK && (!written || outClosed)) {
        std::fprintf(stderr, "ledboard: cannot write the output: %s\n",
                     std::strerror(outClosed ? EBADF : errno));
        status = EXIT_STATUS_FAILURE;
    }
    return status;
}
