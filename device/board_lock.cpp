// The lock that keeps one exchange with the board whole when several ledboard processes use it:
// the board answers every request with its current status, so a second run's LED request between
// a first run's LED request and its status reads makes the first run report the second's value.
#include "ledboard_device.hpp"

#include <usb.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

constexpr long NANOSECONDS_PER_MILLISECOND = 1000000;
constexpr long MILLISECONDS_PER_SECOND = 1000;

// The board's usbfs node, /dev/bus/usb/BUS/DEV, which every ledboard process finds alike. Reading
// it is allowed to anyone who can list the board, and the lock needs no more. The path is put
// together by hand: this runs on every plain run, which is held to the cost of a bare C program
// (bench/instructions), and snprintf alone took a tenth of the margin.
int openNode(const struct usb_device* device)
{
    std::array<char, PATH_MAX> path{};
    std::size_t used = 0;
    const std::array<const char*, 4> parts{"/dev/bus/usb/", device->bus->dirname, "/",
                                           device->filename};
    for (const char* part : parts) {
        const std::size_t length = std::strlen(part);
        if (used + length >= path.size()) {
            return -1;
        }
        std::memcpy(path.data() + used, part, length);
        used += length;
    }
    return open(path.data(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

long millisecondsSince(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * MILLISECONDS_PER_SECOND +
           (now.tv_nsec - start.tv_nsec) / NANOSECONDS_PER_MILLISECOND;
}

} // namespace

BoardLock::BoardLock(usb_dev_handle* handle) : fd_(openNode(::usb_device(handle))) {}

BoardLock::~BoardLock()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

// Not const: what it changes is the lock, which the kernel keeps.
// NOLINTNEXTLINE(readability-make-member-function-const)
LockResult BoardLock::lock(const LockWait& wait)
{
    if (fd_ < 0) {
        return LockResult::NoNode;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        return LockResult::Locked;
    }
    // flock cannot wait with a time limit, so a contended lock is polled every millisecond; the
    // sleep lets the caller's stop signals in, so that a stop ends the wait at once.
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    constexpr timespec RETRY{0, NANOSECONDS_PER_MILLISECOND};
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return LockResult::NoNode;
        }
        if (wait.stop != nullptr && *wait.stop != 0) {
            return LockResult::Interrupted;
        }
        if (millisecondsSince(start) >= EXCHANGE_TIMEOUT_MS) {
            return LockResult::Busy;
        }
        ppoll(nullptr, 0, &RETRY, wait.unblocked);
        if (wait.stop != nullptr && *wait.stop != 0) {
            return LockResult::Interrupted;
        }
    }
    return LockResult::Locked;
}

// NOLINTNEXTLINE(readability-make-member-function-const)
void BoardLock::unlock()
{
    flock(fd_, LOCK_UN);
}
