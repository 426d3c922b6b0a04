// --watch: the board's inputs as they change, one line each, for a shell loop to read.
#include "actions.hpp"
#include "run.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <optional>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int /*signal*/)
{
    stopRequested = 1;
}

// SIGINT and SIGTERM end the watch with status 0. They are blocked except while it sleeps (unless
// its caller blocked them), so one that comes during a read ends it at the next sleep. A closed
// pipe ends it quietly too, so SIGPIPE is ignored. Everything is restored when the watch ends.
class StopSignals {
public:
    StopSignals()
    {
        stopRequested = 0;
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGTERM);
        sigprocmask(SIG_BLOCK, &stops, &original_);

        struct sigaction stop {};
        stop.sa_handler = requestStop;
        sigemptyset(&stop.sa_mask);
        sigaction(SIGTERM, &stop, &oldTerm_);
        // A shell starts background jobs with SIGINT ignored; a job keeps it so.
        sigaction(SIGINT, nullptr, &oldInt_);
        if (oldInt_.sa_handler != SIG_IGN) {
            sigaction(SIGINT, &stop, nullptr);
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &oldPipe_);
    }
    ~StopSignals()
    {
        // A stop signal often comes twice (a terminal's Ctrl-C reaches the whole process group,
        // and a supervisor may pass it on as well): one still pending is taken by the handler
        // when the mask is restored, and once stopping, the handler stays until the process ends,
        // so that a late second one cannot kill it with another status than 0.
        sigprocmask(SIG_SETMASK, &original_, nullptr);
        sigaction(SIGPIPE, &oldPipe_, nullptr);
        if (stopRequested == 0) {
            sigaction(SIGINT, &oldInt_, nullptr);
            sigaction(SIGTERM, &oldTerm_, nullptr);
        }
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    const sigset_t& waitMask() const { return original_; }

private:
    sigset_t original_{};
    struct sigaction oldTerm_ {};
    struct sigaction oldInt_ {};
    struct sigaction oldPipe_ {};
};

constexpr long NANOSECONDS_PER_SECOND = 1000000000;
constexpr long NANOSECONDS_PER_MILLISECOND = 1000000;

timespec now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

timespec later(timespec time, long nanoseconds)
{
    time.tv_nsec += nanoseconds;
    time.tv_sec += time.tv_nsec / NANOSECONDS_PER_SECOND;
    time.tv_nsec %= NANOSECONDS_PER_SECOND;
    return time;
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

enum class Woken { Deadline, Stopped, ReaderGone };

// Sleeps until `deadline`, watching for a stop signal and for the reader of `out` going away (a
// pipe's write end reports POLLERR then; files and terminals report nothing).
Woken sleepUntil(const timespec& deadline, int out, const StopSignals& signals)
{
    for (;;) {
        const timespec current = now();
        if (stopRequested != 0) {
            return Woken::Stopped;
        }
        if (!before(current, deadline)) {
            return Woken::Deadline;
        }
        long left = (deadline.tv_sec - current.tv_sec) * NANOSECONDS_PER_SECOND +
                    (deadline.tv_nsec - current.tv_nsec);
        const timespec timeout{left / NANOSECONDS_PER_SECOND, left % NANOSECONDS_PER_SECOND};
        pollfd reader{out, 0, 0};
        if (ppoll(&reader, 1, &timeout, &signals.waitMask()) > 0 &&
            (reader.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return Woken::ReaderGone;
        }
    }
}

// Writes the whole line now, past the stdio buffer. Returns 0, or the errno of the failed write.
int writeLine(int out, const char* line, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(out, line, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        line += written;
        length -= static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace

int watchBoard(usb_dev_handle* board, unsigned intervalMs, std::FILE* out, std::FILE* err)
{
    const StopSignals signals;
    const int outFd = fileno(out);
    BoardLock lock(board);
    std::optional<BoardStatus> shown;
    timespec deadline = now();
    for (;;) {
        StatusReply reply;
        {
            const BoardLock::Held held(lock);
            if (!statusArrived(usbReadStatus(board, reply), err)) {
                return EXIT_STATUS_FAILURE;
            }
        }
        const BoardStatus status = decodeStatus(reply);
        if (status != shown) {
            shown = status;
            std::array<char, 32> line{};
            const int length = std::snprintf(line.data(), line.size(), "%u %u %x\n", status.led,
                                             status.push, status.jump);
            const int failed = writeLine(outFd, line.data(), static_cast<std::size_t>(length));
            if (failed == EPIPE) {
                return EXIT_STATUS_OK; // the reader has all it wanted
            }
            if (failed != 0) {
                std::fprintf(err, "ledboard: cannot write the output: %s\n", std::strerror(failed));
                return EXIT_STATUS_FAILURE;
            }
        }
        // Reads keep to the interval; after a slow read the next one comes at once.
        deadline = later(deadline, static_cast<long>(intervalMs) * NANOSECONDS_PER_MILLISECOND);
        if (before(deadline, now())) {
            deadline = now();
        }
        switch (sleepUntil(deadline, outFd, signals)) {
        case Woken::Deadline:
            break;
        case Woken::Stopped:
        case Woken::ReaderGone:
            return EXIT_STATUS_OK;
        }
    }
}
