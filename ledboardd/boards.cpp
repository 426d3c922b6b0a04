// How the boards share libusb 0.1, whose state is global:
// - The bus list (usb_find_busses/usb_find_devices) is rebuilt by a rescan, which frees the
//   usb_device of every device that left. Only the scanner thread rescans, walks the list and
//   opens devices, always holding usbMutex. No usb_device pointer is kept past that: everything a
//   board needs later (its id, its node for BoardLock) is taken while the mutex is held.
// - An open handle's transfers (usb_control_msg) use only the handle's file descriptor, so each
//   board's thread reads and sets its board without the mutex, and a board that stalls for the 5 s
//   timeout holds up nobody else. Handles are closed under the mutex all the same.
// - usb_strerror's text is one global buffer that any failing call overwrites; it is never read
//   here. A request's result is the negative errno value, which is what the log shows.
#include "boards.hpp"

#include "bus_watch.hpp"
#include "log.hpp"
#include "parsing.hpp"
#include "sysfs.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace ledboardd {

namespace {

std::mutex usbMutex;

// How often the bus is looked at without libusb (a digest of /dev/bus/usb), so that a board
// plugged in is found well within a second, and how often it is rescanned regardless, for a
// change the digest cannot see.
constexpr std::chrono::milliseconds BUS_POLL{250};
constexpr std::chrono::milliseconds PERIODIC_RESCAN{5000};

// Bounds what a flood of commands for made-up ids can make the core remember.
constexpr std::size_t MAX_REMEMBERED_IDS = 1024;

std::uint32_t keyOf(BusAddress address)
{
    constexpr unsigned DEVICE_BITS = 8;
    return (address.bus << DEVICE_BITS) | address.device;
}

const char* errorText(int result)
{
    const char* text = result < 0 ? strerrordesc_np(-result) : nullptr;
    return text != nullptr ? text : "short reply";
}

} // namespace

struct Boards::Board {
    BoardInfo info;
    DeviceHandle handle;
    std::unique_ptr<BoardLock> lock;

    std::mutex mutex; // guards pending and stop
    std::condition_variable wake;
    std::optional<int> pending;
    bool stop = false;

    bool firstRead = false; // guarded by Boards::mutex_

    std::atomic<bool> ended{false};
    std::thread thread;
};

Boards::Boards(BoardsOptions options, BoardEvents& events)
    : options_(std::move(options)), events_(events)
{
}

Boards::~Boards()
{
    stop(std::chrono::milliseconds::max());
}

void Boards::start()
{
    ++running_;
    scanner_ = std::thread([this] { scanLoop(); });
}

bool Boards::waitUntilSettled(std::chrono::milliseconds limit)
{
    std::unique_lock lock(mutex_);
    return settled_.wait_for(lock, limit, [this] {
        return stopping_ || (scanned_ && std::ranges::all_of(boards_, [](const auto& entry) {
                                 return entry.second->firstRead || entry.second->ended;
                             }));
    });
}

void Boards::firstReadDone(Board& board)
{
    const std::lock_guard lock(mutex_);
    board.firstRead = true;
    settled_.notify_all();
}

void Boards::threadEnded()
{
    const std::lock_guard lock(endedMutex_);
    --running_;
    ended_.notify_all();
}

bool Boards::stop(std::chrono::milliseconds limit)
{
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ && !scanner_.joinable()) {
            return true;
        }
        stopping_ = true;
        for (auto& [key, board] : boards_) {
            const std::lock_guard boardLock(board->mutex);
            board->stop = true;
            board->wake.notify_all();
        }
    }
    wake_.notify_all();
    {
        std::unique_lock lock(endedMutex_);
        const bool forever = limit == std::chrono::milliseconds::max();
        if (forever) {
            ended_.wait(lock, [this] { return running_ == 0; });
        } else if (!ended_.wait_for(lock, limit, [this] { return running_ == 0; })) {
            return false;
        }
    }
    if (scanner_.joinable()) {
        scanner_.join();
    }
    const std::lock_guard lock(mutex_);
    for (auto& [key, board] : boards_) {
        board->thread.join();
        const std::lock_guard usb(usbMutex);
        board->handle.reset();
    }
    boards_.clear();
    return true;
}

bool Boards::setLed(const std::string& id, int value)
{
    const std::lock_guard lock(mutex_);
    if (desired_.size() >= MAX_REMEMBERED_IDS && !desired_.contains(id)) {
        logf(LogLevel::Warning, "%s: LED %d not kept: already remembering %zu boards", id.c_str(),
             value, desired_.size());
        return false;
    }
    desired_[id] = value;
    for (auto& [key, board] : boards_) {
        if (board->info.id == id && !board->ended) {
            const std::lock_guard boardLock(board->mutex);
            board->pending = value; // the latest command wins
            board->wake.notify_all();
            return true;
        }
    }
    logf(LogLevel::Info, "%s: not here; LED %d will be set when it comes back", id.c_str(), value);
    events_.ledKept(id, value);
    return false;
}

void Boards::scanLoop()
{
    std::uint64_t fingerprint = 0;
    auto lastRescan = std::chrono::steady_clock::time_point{};
    for (bool first = true;; first = false) {
        if (!first) {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, BUS_POLL, [this] { return stopping_; });
            if (stopping_) {
                break;
            }
        }
        reapEnded();
        const std::uint64_t now = usbBusFingerprint();
        const auto time = std::chrono::steady_clock::now();
        if (now != fingerprint || rescanSoon_.exchange(false) ||
            time - lastRescan >= PERIODIC_RESCAN) {
            fingerprint = now;
            lastRescan = time;
            rescan();
        }
        if (first) {
            const std::lock_guard lock(mutex_);
            scanned_ = true;
            settled_.notify_all();
        }
    }
    threadEnded();
}

// Boards whose thread ended (unplugged) are closed and forgotten; a replug makes a new one.
void Boards::reapEnded()
{
    std::vector<std::unique_ptr<Board>> ended;
    {
        const std::lock_guard lock(mutex_);
        for (auto it = boards_.begin(); it != boards_.end();) {
            if (it->second->ended) {
                ended.push_back(std::move(it->second));
                it = boards_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& board : ended) {
        board->thread.join();
        const std::lock_guard usb(usbMutex);
        board->handle.reset();
    }
}

void Boards::rescan()
{
    const std::lock_guard usb(usbMutex);
    const int rescanned = usbRescan();
    if (rescanned < 0) {
        if (rescanned != listError_) {
            logf(LogLevel::Warning, "cannot list USB devices in %s: %s", USB_DEVICE_NODES,
                 errorText(rescanned));
        }
        listError_ = rescanned;
        return;
    }
    if (listError_ != 0) {
        logf(LogLevel::Info, "USB devices listed again in %s", USB_DEVICE_NODES);
        listError_ = 0;
    }
    std::set<std::uint32_t> seen;
    BoardList listed;
    usbListInOrder(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, listed);
    for (usb_device* device : listed) {
        const BusAddress address = usbAddressOf(device);
        const std::uint32_t key = keyOf(address);
        seen.insert(key);
        {
            const std::lock_guard lock(mutex_);
            if (stopping_ || boards_.contains(key)) {
                continue;
            }
        }
        BoardStrings strings{};
        OpenedBoard opened = usbOpenBoard(device, &strings);
        if (!opened.handle) {
            // Tried again at every rescan (udev may grant access a moment later), said once.
            const std::lock_guard lock(mutex_);
            if (refused_.insert(key).second) {
                logf(LogLevel::Warning,
                     "board at %03u/%03u not used: it cannot be opened or read (%s)", address.bus,
                     address.device, errorText(opened.why.error));
            }
            continue;
        }
        const PortPath path = sysfsPathOf(address);
        const std::string port = path.empty() ? std::string{} : std::string{path.text.data()};
        std::string id;
        if (strings.serial[0] != '\0') {
            id = strings.serial.data();
        } else if (!port.empty()) {
            id = options_.hostName + "-" + port;
        } else {
            // Without sysfs there is no port path; this id does not survive a replug.
            std::array<char, 32> place{};
            std::snprintf(place.data(), place.size(), "bus%u-dev%u", address.bus, address.device);
            id = options_.hostName + "-" + place.data();
            logf(LogLevel::Warning, "board at %03u/%03u: no serial number and no port path",
                 address.bus, address.device);
        }
        id = topicLevel(id);
        if (id == BRIDGE_TOPIC_LEVEL) {
            // Its topics would sit among the bridge's own, and a consumer of those would take
            // the board's for the bridge's.
            logf(LogLevel::Warning,
                 "board at %03u/%03u: its id %s is the bridge's topic; served as %s_", address.bus,
                 address.device, id.c_str(), id.c_str());
            id += '_';
        }

        auto board = std::make_unique<Board>();
        board->info.serial = strings.serial.data();
        board->info.path = port;
        board->info.manufacturer = strings.manufacturer.data();
        board->info.product = strings.product.data();
        // BoardLock finds the board's node through the handle's usb_device, which only lives
        // until the next rescan: it is made now, under the mutex, and keeps the node open.
        board->lock = std::make_unique<BoardLock>(opened.handle.get());
        board->handle = std::move(opened.handle);

        const std::lock_guard lock(mutex_);
        refused_.erase(key);
        bool sameIdLeaving = false;
        bool sameIdHere = false;
        for (const auto& [otherKey, other] : boards_) {
            if (other->info.id == id) {
                (other->ended || other->stop ? sameIdLeaving : sameIdHere) = true;
            }
        }
        if (sameIdLeaving) {
            // The same board on its way out (its thread has not ended yet): take it up on the
            // next scan, so that its "left" never follows this one's "arrived".
            rescanSoon_ = true;
            board->lock.reset();
            board->handle.reset(); // under usbMutex
            continue;
        }
        if (sameIdHere) {
            logf(LogLevel::Warning,
                 "two boards with serial number %s: the one at port %s is served as %s-%s",
                 id.c_str(), port.c_str(), id.c_str(), topicLevel(port).c_str());
            id += '-';
            id = topicLevel(id.append(port));
        }
        board->info.id = id;
        if (const auto wanted = desired_.find(id); wanted != desired_.end()) {
            board->pending = wanted->second;
            logf(LogLevel::Info, "%s: setting LED %d again, as last asked", id.c_str(),
                 wanted->second);
        }
        logf(LogLevel::Info, "%s: found at %03u/%03u, port %s", id.c_str(), address.bus,
             address.device, port.empty() ? "unknown" : port.c_str());
        Board& started = *board;
        boards_.emplace(key, std::move(board));
        ++running_;
        started.thread = std::thread([this, &started] { readLoop(started); });
    }
    // A refused device that left may come back usable.
    const std::lock_guard lock(mutex_);
    std::erase_if(refused_, [&](std::uint32_t key) { return !seen.contains(key); });
}

void Boards::readLoop(Board& board)
{
    std::optional<BoardStatus> last;
    bool failing = false;
    bool answered = false; // its first read, whatever came of it, is told to waitUntilSettled
    auto nextRead = std::chrono::steady_clock::now();
    for (;;) {
        std::optional<int> command;
        {
            std::unique_lock lock(board.mutex);
            board.wake.wait_until(lock, nextRead,
                                  [&] { return board.stop || board.pending.has_value(); });
            if (board.stop) {
                break;
            }
            command = std::exchange(board.pending, std::nullopt);
        }
        const auto now = std::chrono::steady_clock::now();
        if (!command || now >= nextRead) {
            nextRead = std::max(nextRead + options_.interval, now);
        }

        StatusReply reply;
        int result = 0;
        {
            // Taken as the CLI takes it, so that the daemon's requests never fall between a
            // command's LED request and its status reads.
            const BoardLock::Held held(*board.lock);
            if (command) {
                result = usbSetLeds(board.handle.get(), *command, reply);
            }
            if (result >= 0) {
                result = usbReadStatus(board.handle.get(), reply);
            }
        }
        if (isUnplugged(result)) {
            logf(LogLevel::Info, "%s: unplugged", board.info.id.c_str());
            break;
        }
        if (result < STATUS_DECODED_LENGTH) {
            if (!std::exchange(answered, true)) {
                firstReadDone(board);
            }
            if (!failing) {
                logf(LogLevel::Warning, "%s: %s failed: %s", board.info.id.c_str(),
                     command ? "setting the LEDs" : "reading the status", errorText(result));
            }
            failing = true;
            if (command) {
                // Tried again at the next turn, unless a newer command came meanwhile.
                const std::lock_guard lock(board.mutex);
                if (!board.pending) {
                    board.pending = command;
                }
            }
            continue;
        }
        if (failing) {
            logf(LogLevel::Info, "%s: answering again", board.info.id.c_str());
            failing = false;
        }
        if (command) {
            logf(LogLevel::Debug, "%s: LED %d set", board.info.id.c_str(), *command);
        }
        const BoardStatus status = decodeStatus(reply);
        if (!last) {
            events_.boardArrived(board.info, status);
            if (!std::exchange(answered, true)) {
                firstReadDone(board);
            }
        } else if (status != *last) {
            if (status.push != last->push) {
                events_.buttonChanged(board.info.id, status.push != 0);
            }
            events_.stateChanged(board.info.id, status);
        }
        last = status;
        if (command) {
            events_.ledApplied(board.info.id, *command);
        }
    }
    if (last) {
        events_.boardLeft(board.info.id);
    }
    if (!answered) {
        firstReadDone(board); // unplugged or stopped before it answered
    }
    board.ended = true;
    threadEnded();
}

} // namespace ledboardd
