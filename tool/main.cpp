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
bool openStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!openStandardDescriptors()) {
        return EXIT_STATUS_FAILURE; // nowhere safe to say so
    }
    int status = runLedboard({argv, static_cast<std::size_t>(argc)}, stdout, stderr);
    // A report that never reached its reader (a full disk, a closed pipe) is not a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "ledboard: cannot write the output: %s\n", std::strerror(errno));
        status = EXIT_STATUS_FAILURE;
    }
    return status;
}
