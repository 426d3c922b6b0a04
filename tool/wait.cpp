#include "wait.hpp"

#include "board.hpp"
#include "bus_watch.hpp"
#include "exit_status.hpp"

#include <cstdlib>
#include <cstring>

namespace {

// The diagnostics of one attempt, kept so that the last one can be shown when the wait gives up:
// while waiting, a board that is not there yet is the normal case, not worth a line each time.
// (open_memstream rather than fmemopen: an older libc symbol, which costs every run less to bind.)
class AttemptNotes {
public:
    AttemptNotes() = default;
    ~AttemptNotes() { close(); }
    AttemptNotes(const AttemptNotes&) = delete;
    AttemptNotes& operator=(const AttemptNotes&) = delete;

    // A fresh stream for the next attempt; the one before is forgotten. Null when there is no
    // memory for one.
    std::FILE* reopen()
    {
        close();
        stream_ = open_memstream(&text_, &length_);
        return stream_;
    }
    const char* text()
    {
        if (stream_ != nullptr) {
            std::fflush(stream_);
        }
        return text_ != nullptr ? text_ : "";
    }

private:
    void close()
    {
        if (stream_ != nullptr) {
            std::fclose(stream_);
            stream_ = nullptr;
        }
        std::free(text_);
        text_ = nullptr;
        length_ = 0;
    }
    char* text_ = nullptr;
    std::size_t length_ = 0;
    std::FILE* stream_ = nullptr;
};

// Calls attempt(notes, hopeless) each time the bus changed, and every BOARD_RETRY_INTERVAL_MS,
// until it gives a board, says waiting cannot help (hopeless), `limitMs` runs out, or a stop signal
// comes. Giving up, it shows the last attempt's notes on `err`, when given.
template <typename Attempt>
Waited keepTrying(Attempt&& attempt, unsigned long limitMs, std::FILE* err,
                  const StopSignals* signals)
{
    const timespec start = monotonicNow();
    bool limited = limitMs != NO_TIME_LIMIT;
    timespec giveUp = later(start, limited ? limitMs : 0);
    AttemptNotes notes;
    std::uint64_t seen = 0;
    timespec retry = start;
    bool first = true;
    for (;;) {
        const timespec current = monotonicNow();
        const std::uint64_t fingerprint = usbBusFingerprint();
        if (first || fingerprint != seen || !before(current, retry)) {
            first = false;
            seen = fingerprint;
            retry = later(current, BOARD_RETRY_INTERVAL_MS);
            std::FILE* quiet = notes.reopen();
            bool hopeless = false;
            DeviceHandle board = attempt(quiet != nullptr ? quiet : stderr, hopeless);
            if (board) {
                return {std::move(board), EXIT_STATUS_OK};
            }
            if (hopeless) {
                limited = true;
                giveUp = current;
            }
        }
        if (limited && !before(monotonicNow(), giveUp)) {
            if (err != nullptr) {
                std::fputs(notes.text(), err);
            }
            return {nullptr, EXIT_STATUS_NO_BOARD};
        }
        timespec next = later(monotonicNow(), BUS_LOOK_INTERVAL_MS);
        if (limited && before(giveUp, next)) {
            next = giveUp;
        }
        if (sleepUntil(next, -1, signals) == Woken::Stopped) {
            return {nullptr, EXIT_STATUS_OK};
        }
    }
}

void sayLimit(std::FILE* err, unsigned long limitMs)
{
    if (limitMs == NO_TIME_LIMIT) {
        std::fputs("\n", err);
    } else {
        std::fprintf(err, " (at most %lu.%03lu s)\n", limitMs / 1000, limitMs % 1000);
    }
}

} // namespace

Waited waitForChoice(const Options& options, std::FILE* err, const StopSignals* signals)
{
    bool said = false;
    Waited waited = keepTrying(
        [&](std::FILE* notes, bool& hopeless) {
            DeviceHandle board = chooseBoard(options, notes, &hopeless);
            if (!board && !hopeless && !said) {
                said = true;
                std::fputs("ledboard: waiting for ", err);
                describeChoice(err, options);
                sayLimit(err, options.waitMs);
            }
            return board;
        },
        options.waitMs, err, signals);
    if (!waited.board && waited.status == EXIT_STATUS_NO_BOARD && said) {
        std::fprintf(err, "ledboard: gave up waiting after %lu.%03lu s\n", options.waitMs / 1000,
                     options.waitMs % 1000);
    }
    return waited;
}

Waited waitForReturn(const BoardIdentity& identity, unsigned long limitMs,
                     unsigned long quietLimitMs, std::FILE* err, const StopSignals* signals)
{
    std::fputs("ledboard: the board is gone; waiting for it to come back", err);
    sayLimit(err, limitMs);
    const bool quiet = quietLimitMs < limitMs;
    Waited waited = keepTrying(
        [&](std::FILE* notes, bool& /*hopeless*/) { return openBoardLike(identity, notes); },
        quiet ? quietLimitMs : limitMs, quiet ? nullptr : err, signals);
    if (!waited.board && waited.status == EXIT_STATUS_NO_BOARD && !quiet) {
        std::fputs("ledboard: the board did not come back in time\n", err);
    }
    return waited;
}
