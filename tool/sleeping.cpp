#include "sleeping.hpp"

#include <poll.h>

#include <csignal>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

// The signal that asked to stop; 0 until one did.
extern "C" void requestStop(int signal)
{
    stopRequested = signal;
}

} // namespace

StopSignals::StopSignals()
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

StopSignals::~StopSignals()
{
    // A stop signal often comes twice (a terminal's Ctrl-C reaches the whole process group, and a
    // supervisor may pass it on as well): one still pending is taken by the handler when the mask
    // is restored, and once stopping, the handler stays until the process ends, so that a late
    // second one cannot kill it with another status than 0.
    sigprocmask(SIG_SETMASK, &original_, nullptr);
    sigaction(SIGPIPE, &oldPipe_, nullptr);
    if (stopRequested == 0) {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
}

bool StopSignals::stopped()
{
    return stopRequested != 0;
}

int StopSignals::signal()
{
    return stopRequested;
}

LockWait StopSignals::lockWait() const
{
    return LockWait{&original_, &stopRequested};
}

timespec monotonicNow()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time;
}

timespec later(timespec time, unsigned long milliseconds)
{
    time.tv_sec += static_cast<time_t>(milliseconds / 1000);
    time.tv_nsec += static_cast<long>(milliseconds % 1000) * NANOSECONDS_PER_MILLISECOND;
    time.tv_sec += time.tv_nsec / NANOSECONDS_PER_SECOND;
    time.tv_nsec %= NANOSECONDS_PER_SECOND;
    return time;
}

bool before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

Woken sleepUntil(const timespec& deadline, int out, const StopSignals* signals)
{
    for (;;) {
        if (signals != nullptr && StopSignals::stopped()) {
            return Woken::Stopped;
        }
        const timespec current = monotonicNow();
        if (!before(current, deadline)) {
            return Woken::Deadline;
        }
        const long left = (deadline.tv_sec - current.tv_sec) * NANOSECONDS_PER_SECOND +
                          (deadline.tv_nsec - current.tv_nsec);
        const timespec timeout{left / NANOSECONDS_PER_SECOND, left % NANOSECONDS_PER_SECOND};
        pollfd reader{out, 0, 0};
        const int ready = ppoll(&reader, out >= 0 ? 1 : 0, &timeout,
                                signals != nullptr ? &signals->waitMask() : nullptr);
        if (ready > 0 && (reader.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return Woken::ReaderGone;
        }
    }
}
