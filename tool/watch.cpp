// --watch and --wait-press: the board's inputs as they change, for a shell loop or a program to
// read, or the one change a script waits for.
#include "actions.hpp"
#include "exit_status.hpp"
#include "json.hpp"
#include "report.hpp"
#include "sleeping.hpp"
#include "wait.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// Writes the whole line now, past the stdio buffer. Returns 0, or the errno of the failed write.
int writeLine(int out, const TextBuffer& line)
{
    const char* text = line.text();
    std::size_t length = std::strlen(text);
    while (length > 0) {
        const ssize_t written = write(out, text, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
    return 0;
}

// How a follow ends, or that it goes on.
enum class Next { GoOn, Done };

class Follower {
public:
    Follower(DeviceHandle& board, const Options& options, const StopSignals& signals,
             std::FILE* out, std::FILE* err)
        : signals_(signals), board_(board), options_(options), out_(fileno(out)), err_(err)
    {
        if (options.wait) {
            identity_ = usbIdentityOf(board.get());
        }
        lock_.emplace(board.get());
    }

    int run()
    {
        timespec deadline = monotonicNow();
        pressLimited_ = options_.action == Action::WaitPress && options_.pressMs != NO_TIME_LIMIT;
        giveUp_ = later(deadline, pressLimited_ ? options_.pressMs : 0);
        for (;;) {
            if (read() == Next::Done) {
                return status_;
            }
            if (pressTimeIsUp()) {
                return noPress();
            }
            // Reads keep to the interval; after a slow read the next one comes at once.
            deadline = later(deadline, options_.intervalMs);
            if (before(deadline, monotonicNow())) {
                deadline = monotonicNow();
            }
            if (pressLimited_ && before(giveUp_, deadline)) {
                deadline = giveUp_;
            }
            // A wait for a press answers with its status: it does not watch its reader.
            const bool press = options_.action == Action::WaitPress;
            switch (sleepUntil(deadline, press ? -1 : out_, &signals_)) {
            case Woken::Deadline:
                break;
            case Woken::Stopped:
                return stopped();
            case Woken::ReaderGone:
                return EXIT_STATUS_OK;
            }
        }
    }

private:
    // One status read, and what follows from it.
    Next read()
    {
        StatusReply reply;
        const ExchangeResult exchange =
            usbExchange(board_.get(), &*lock_, nullptr, reply, signals_.lockWait());
        if (exchange.lock == LockResult::Interrupted) {
            return done(stopped());
        }
        const int received = exchange.received;
        if (received >= STATUS_DECODED_LENGTH) {
            failures_ = 0;
            return show(decodeStatus(reply));
        }
        if (isUnplugged(received) && options_.wait) {
            return comeBack();
        }
        // A stall or a timeout can be a glitch: the next read is a try again, and only
        // WATCH_READ_ATTEMPTS failures in a row end the watch.
        if (++failures_ < WATCH_READ_ATTEMPTS && !isUnplugged(received)) {
            std::array<char, 64> shortReply{};
            std::snprintf(shortReply.data(), shortReply.size(),
                          "the board sent %d of %d bytes needed", received, STATUS_DECODED_LENGTH);
            std::fprintf(err_, "ledboard: a status read failed: %s; trying again\n",
                         received < 0 ? usbLastError() : shortReply.data());
            return Next::GoOn;
        }
        statusArrived(received, err_);
        return done(EXIT_STATUS_FAILURE);
    }

    Next show(const BoardStatus& status)
    {
        if (options_.action == Action::WaitPress) {
            // A press is the button going down: one held down from the start must be let go first.
            const bool pressed = status.push != 0 && buttonWasUp_;
            buttonWasUp_ = buttonWasUp_ || status.push == 0;
            if (!pressed) {
                return Next::GoOn;
            }
            JsonLine line;
            formatWatchLine(line, status, options_.json);
            return write(line) ? done(EXIT_STATUS_OK) : Next::Done;
        }
        if (status == shown_) {
            return Next::GoOn;
        }
        shown_ = status;
        JsonLine line;
        formatWatchLine(line, status, options_.json);
        return write(line) ? Next::GoOn : Next::Done;
    }

    // The board is gone: say so, wait for the same board, say it is back, and go on with it.
    Next comeBack()
    {
        if (!event(WatchEvent::Gone)) {
            return Next::Done;
        }
        lock_.reset();
        board_.reset();
        // A wait for a press keeps to its own limit while the board is away; when that limit is
        // the nearer one, its end is no press, not a board that did not come back.
        unsigned long limitMs = options_.waitMs;
        bool pressBound = false;
        if (pressLimited_) {
            const unsigned long left = millisecondsUntil(giveUp_);
            pressBound = limitMs == NO_TIME_LIMIT || left < limitMs;
            limitMs = pressBound ? left : limitMs;
        }
        Waited waited = waitForReturn(identity_, pressBound ? NO_TIME_LIMIT : limitMs,
                                      pressBound ? limitMs : NO_TIME_LIMIT, err_, &signals_);
        if (!waited.board) {
            if (StopSignals::stopped()) {
                return done(stopped());
            }
            return pressBound ? done(noPress()) : done(waited.status);
        }
        board_ = std::move(waited.board);
        lock_.emplace(board_.get());
        failures_ = 0;
        shown_.reset(); // the first status after the return is always shown
        return event(WatchEvent::Back) ? Next::GoOn : Next::Done;
    }

    bool event(WatchEvent event)
    {
        if (options_.action == Action::WaitPress) {
            return true; // a wait for a press reports only the press
        }
        JsonLine line;
        formatWatchEvent(line, event, options_.json);
        return write(line);
    }

    // False when the follow must end: the reader went away (status 0) or the write failed (1).
    bool write(const TextBuffer& line)
    {
        const int failed = writeLine(out_, line);
        if (failed == 0) {
            return true;
        }
        if (failed == EPIPE) {
            status_ = EXIT_STATUS_OK; // the reader has all it wanted
        } else {
            std::fprintf(err_, "ledboard: cannot write the output: %s\n", std::strerror(failed));
            status_ = EXIT_STATUS_FAILURE;
        }
        return false;
    }

    Next done(int status)
    {
        status_ = status;
        return Next::Done;
    }

    // A watch that is stopped has done its job: status 0. A wait for a press that is stopped saw
    // no press, and must not pass for one: the status of a process the signal ended, as a shell
    // reports it (130 for SIGINT, 143 for SIGTERM).
    int stopped() const
    {
        return options_.action == Action::WaitPress
                   ? EXIT_STATUS_SIGNAL_BASE + StopSignals::signal()
                   : EXIT_STATUS_OK;
    }

    bool pressTimeIsUp() const { return pressLimited_ && !before(monotonicNow(), giveUp_); }

    int noPress() const
    {
        std::fprintf(err_, "ledboard: no press of the button within %lu.%03lu s\n",
                     options_.pressMs / 1000, options_.pressMs % 1000);
        return EXIT_STATUS_NO_PRESS;
    }

    static unsigned long millisecondsUntil(const timespec& deadline)
    {
        const timespec current = monotonicNow();
        if (!before(current, deadline)) {
            return 0;
        }
        return static_cast<unsigned long>((deadline.tv_sec - current.tv_sec) * 1000 +
                                          (deadline.tv_nsec - current.tv_nsec) /
                                              NANOSECONDS_PER_MILLISECOND);
    }

    // A read that fails is tried again at the next interval, twice: a stall or a timeout of the
    // board's firmware passes, a board that fails three reads in a row is stuck.
    static constexpr unsigned WATCH_READ_ATTEMPTS = 3;

    const StopSignals& signals_;
    DeviceHandle& board_;
    const Options& options_;
    int out_;
    std::FILE* err_;
    BoardIdentity identity_;
    std::optional<BoardLock> lock_;
    std::optional<BoardStatus> shown_;
    bool buttonWasUp_ = false;
    bool pressLimited_ = false; // --wait-press with a time limit, which ends at giveUp_
    timespec giveUp_{};
    unsigned failures_ = 0;
    int status_ = EXIT_STATUS_OK;
};

} // namespace

int followBoard(DeviceHandle& board, const Options& options, const StopSignals& signals,
                std::FILE* out, std::FILE* err)
{
    return Follower(board, options, signals, out, err).run();
}
