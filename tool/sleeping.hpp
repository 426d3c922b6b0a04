// Long-running modes (--watch, --wait, --wait-press): the stop signals they end on, and sleeping
// on the monotonic clock until a deadline, a stop, or the reader of the output going away.
#pragma once

#include "ledboard_device.hpp"

#include <csignal>

#include <ctime>

// SIGINT and SIGTERM end a long-running mode with status 0. They are blocked except while it
// sleeps (unless its caller blocked them), so one that comes during a request ends it at the next
// sleep. A closed pipe ends it quietly too, so SIGPIPE is ignored. Everything is restored when
// the object goes.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Whether a stop signal came (the handler is the process's own, so this is too).
    static bool stopped();
    // Which signal that was, or 0.
    static int signal();
    // The mask to sleep with: the caller's, so that the stop signals come in.
    const sigset_t& waitMask() const { return original_; }
    // For a wait on the board's lock: it ends when a stop signal comes.
    LockWait lockWait() const;

private:
    sigset_t original_{};
    struct sigaction oldTerm_ {};
    struct sigaction oldInt_ {};
    struct sigaction oldPipe_ {};
};

inline constexpr long NANOSECONDS_PER_SECOND = 1000000000;
inline constexpr long NANOSECONDS_PER_MILLISECOND = 1000000;

timespec monotonicNow();
timespec later(timespec time, unsigned long milliseconds);
bool before(const timespec& a, const timespec& b);

enum class Woken { Deadline, Stopped, ReaderGone };

// Sleeps until `deadline`. With `signals`, a stop signal ends the sleep; with an output descriptor
// `out` (not -1), so does its reader going away (a pipe's write end reports POLLERR then; files and
// terminals report nothing). Without `signals`, signals keep their usual effect.
Woken sleepUntil(const timespec& deadline, int out, const StopSignals* signals);
