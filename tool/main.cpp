#include "run.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    int status = runLedboard({argv, static_cast<std::size_t>(argc)}, stdout, stderr);
    // A report that never reached its reader (a full disk, a closed pipe) is not a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "ledboard: cannot write the output: %s\n", std::strerror(errno));
        status = EXIT_STATUS_FAILURE;
    }
    return status;
}
