#include "board_worker.hpp"

#include "log.hpp"

#include <cstring>
#include <utility>

namespace ledboardd {

namespace {

const char* errorText(int result)
{
    const char* text = result < 0 ? strerrordesc_np(-result) : nullptr;
    return text != nullptr ? text : "short reply";
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

std::optional<BoardStatus> BoardWorker::exchange(const Hub::Turn& turn, bool& unplugged)
{
    StatusReply reply;
    // A read alone changes nothing on the board, and another program's exchange between its
    // requests cannot make it wrong: only a command is made under the lock the tool takes too.
    const int* command = turn.write ? &*turn.write : nullptr;
    const ExchangeResult result =
        usbExchange(handle_.get(), command != nullptr ? lock_.get() : nullptr, command, reply);
    const int failed = result.commandFailed() ? result.sent : result.received;
    unplugged = isUnplugged(failed);
    if (result.statusArrived()) {
        if (std::exchange(failing_, false)) {
            logf(LogLevel::Info, "%s: answering again", info_.id.c_str());
        }
        return decodeStatus(reply);
    }
    if (!unplugged && !std::exchange(failing_, true)) {
        logf(LogLevel::Warning, "%s: %s failed: %s", info_.id.c_str(),
             command != nullptr ? "setting the LEDs" : "reading the status", errorText(failed));
    }
    return std::nullopt;
}

void BoardWorker::run()
{
    bool unplugged = false;
    const std::optional<BoardStatus> first = exchange(Hub::Turn{}, unplugged);
    std::shared_ptr<Hub::Slot> slot;
    if (!unplugged) {
        slot = hub_.arrive(info_, first);
    }
    settled_ = true;
    auto readAt = Clock::now() + interval_;
    while (slot) {
        const Hub::Turn turn = hub_.waitForTurn(*slot, readAt);
        if (turn.stop) {
            break;
        }
        // Reads keep to the interval; a command goes out at once and counts as a read when due.
        const auto now = Clock::now();
        if (!turn.write || now >= readAt) {
            readAt = std::max(readAt + interval_, now);
        }
        const std::optional<BoardStatus> status = exchange(turn, unplugged);
        if (unplugged) {
            break;
        }
        hub_.report(*slot, turn, status);
    }
    if (slot) {
        hub_.leave(*slot, unplugged);
    }
    ended_ = true;
}

} // namespace ledboardd
