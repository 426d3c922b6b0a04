#include "board_worker.hpp"

#include "hub_row.hpp"
#include "log.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace ledboardd {

namespace {

const char* errorText(int result)
{
    const char* text = result < 0 ? strerrordesc_np(-result) : nullptr;
    return text != nullptr ? text : "short reply";
}

// Counts an exchange's time into the slot's latency histogram.
void countLatency(Hub::Slot& slot, Clock::duration took)
{
    const double seconds = std::chrono::duration<double>(took).count();
    std::size_t bucket = 0;
    while (bucket < BoardCounters::LATENCY_BOUNDS.size() &&
           seconds > BoardCounters::LATENCY_BOUNDS.at(bucket)) {
        ++bucket;
    }
    slot.latency.at(bucket).fetch_add(1, std::memory_order_relaxed);
    slot.latencyNanoseconds.fetch_add(
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()),
        std::memory_order_relaxed);
}

// Waits for the eventfd until `timeout`; true when it is readable. The system call itself rather
// than glibc's ppoll(): in a process with threads glibc makes that a cancellation point, whose
// bookkeeping costs each read more than the wait, and these threads are never cancelled.
bool waitForWake(int fd, const timespec& timeout)
{
    pollfd wake{fd, POLLIN, 0};
    return syscall(SYS_ppoll, &wake, 1, &timeout, nullptr, 0) > 0;
}

// Empties an eventfd that poll found readable.
void drain(int fd)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = read(fd, &count, sizeof count);
}

} // namespace

BoardWorker::BoardWorker(Hub& hub, BoardInfo info, DeviceHandle handle,
                         std::unique_ptr<BoardLock> lock, std::chrono::milliseconds interval)
    : hub_(hub), info_(std::move(info)), handle_(std::move(handle)), lock_(std::move(lock)),
      interval_(interval)
{
}

BoardWorker::~BoardWorker()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

void BoardWorker::start()
{
    thread_ = std::thread([this] { run(); });
}

DeviceHandle BoardWorker::join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
    lock_.reset();
    return std::move(handle_);
}

std::optional<BoardStatus> BoardWorker::exchange(Hub::Slot* slot, const Hub::Turn& turn,
                                                 bool& unplugged)
{
    StatusReply reply;
    int result = 0;
    const bool timed = slot != nullptr && hub_.timesReads();
    const auto started = timed ? Clock::now() : Clock::time_point{};
    if (turn.write) {
        // Another program's LED request between ours and our reads would be what we report: a
        // command is made under the lock the tool takes too.
        const ExchangeResult exchanged =
            usbExchange(handle_.get(), lock_.get(), &*turn.write, reply);
        result = exchanged.commandFailed() ? exchanged.sent : exchanged.received;
    } else {
        // A read alone changes nothing on the board, and another program's exchange between
        // its requests cannot make it wrong: one request, no lock.
        result = usbReadStatus(handle_.get(), reply);
    }
    if (slot != nullptr) {
        slot->reads.fetch_add(1, std::memory_order_relaxed);
        if (timed) {
            countLatency(*slot, Clock::now() - started);
        }
    }
    if (result >= STATUS_DECODED_LENGTH) {
        failing_ = false;
        return decodeStatus(reply);
    }
    unplugged = isUnplugged(result);
    if (slot != nullptr) {
        slot->failures.fetch_add(1, std::memory_order_relaxed);
    }
    if (!unplugged && !std::exchange(failing_, true)) {
        logf(LogLevel::Warning, "%s: %s failed: %s", info_.id.c_str(),
             turn.write ? "setting the LEDs" : "reading the status", errorText(result));
    }
    return std::nullopt;
}

void BoardWorker::run()
{
    bool unplugged = false;
    const std::optional<BoardStatus> first = exchange(nullptr, Hub::Turn{}, unplugged);
    std::shared_ptr<Hub::Slot> slot;
    if (!unplugged) {
        slot = hub_.arrive(info_, first);
    }
    settled_ = true;
    if (slot) {
        serve(*slot);
    }
    ended_ = true;
}

// Reads keep to the interval whatever each read takes; a turn the hub asks for (a command) is
// taken at once. The wait is a ppoll on the slot's eventfd until the next read's time: no read()
// of a timer at each read, which under a preloaded library (the simulator's) costs more than the
// read of the board itself.
void BoardWorker::serve(Hub::Slot& slot)
{
    const auto interval = std::chrono::duration_cast<std::chrono::nanoseconds>(interval_);
    auto readAt = Clock::now() + interval;
    std::optional<BoardStatus> reported;     // what the hub last heard
    std::optional<Clock::time_point> stepAt; // when an effect changes the LEDs next
    bool everyRead = true;
    bool unplugged = false;
    bool failed = false;
    for (;;) {
        // After a failed exchange even a turn the hub asks for waits for the next read's time:
        // a board that fails at once is not asked again and again.
        bool due = false;
        bool stepDue = false;
        if (failed || !slot.attention.load(std::memory_order_acquire)) {
            auto now = Clock::now();
            const auto wakeAt = stepAt && *stepAt < readAt ? *stepAt : readAt;
            const auto left = wakeAt - now;
            if (left > std::chrono::nanoseconds::zero()) {
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
                const timespec timeout{seconds.count(), (left - seconds).count()};
                if (waitForWake(slot.wakeFd(), timeout)) {
                    drain(slot.wakeFd());
                    now = Clock::now(); // woken early: is the read due as well?
                } else {
                    now = wakeAt; // the wait ran out (the clock is not read twice a read)
                }
            }
            stepDue = stepAt && now >= *stepAt;
            if (now >= readAt) {
                due = true;
                // The next read one interval on; after a read that overran, at once.
                readAt = std::max(readAt + interval, now);
            }
        }
        Hub::Turn turn;
        if (slot.attention.exchange(false, std::memory_order_acq_rel) || stepDue) {
            turn = hub_.takeTurn(slot);
            if (turn.stop) {
                break;
            }
            stepAt = turn.stepAt;
            if (!turn.write && !due) {
                continue; // woken for nothing to send: the read waits for its time
            }
        } else if (!due) {
            continue;
        }
        const std::optional<BoardStatus> status = exchange(&slot, turn, unplugged);
        if (unplugged) {
            break;
        }
        failed = !status;
        // Nothing new: the hub is not told, and no lock is taken.
        if (!everyRead && !turn.write && status && status == reported) {
            continue;
        }
        everyRead = hub_.report(slot, turn, status);
        if (status) {
            reported = status;
        }
    }
    hub_.leave(slot, unplugged);
}

} // namespace ledboardd
