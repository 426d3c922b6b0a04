// How the boards share libusb 0.1, whose state is global:
// - The bus list (usb_find_busses/usb_find_devices) is rebuilt by a rescan, which frees the
//   usb_device of every device that left. Only the scanner's thread rescans, walks the list and
//   opens devices, always holding usbMutex. No usb_device pointer is kept past that: everything a
//   board needs later (its id, its node for BoardLock) is taken while the mutex is held.
// - An open handle's transfers (usb_control_msg) use only the handle's file descriptor, so each
//   worker reads and sets its board without the mutex, and a board that stalls for the 5 s
//   timeout holds up nobody else. Handles are closed under the mutex all the same.
// - usb_strerror's text is one global buffer that any failing call overwrites; it is never read
//   here. A request's result is the negative errno value, which is what the log shows.
#include "scanner.hpp"

#include "board_id.hpp"
#include "bus_watch.hpp"
#include "log.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ledboardd {

namespace {

std::mutex usbMutex;

// How often the scanner's thread wakes with nothing on the bus changing: to notice a board whose
// read has hung (Hub::checkStalled) and to close the boards whose worker ended. A hung board is
// offline within about this much more than its three intervals.
constexpr std::chrono::milliseconds TICK{1000};
// A rescan even when the nodes look unchanged: for a change the watch cannot see.
constexpr std::chrono::seconds SAFETY_RESCAN{30};

std::uint32_t keyOf(BusAddress address)
{
    constexpr unsigned DEVICE_BITS = 8;
    return (address.bus << DEVICE_BITS) | address.device;
}

const char* errorText(int result)
{
    const char* text = result < 0 ? strerrordesc_np(-result) : nullptr;
    return text != nullptr ? text : "unknown error";
}

} // namespace

Scanner::Scanner(Hub& hub, ScannerOptions options)
    : hub_(hub), options_(std::move(options)), watch_(USB_DEVICE_NODES)
{
}

Scanner::~Scanner()
{
    stop(std::chrono::milliseconds::max());
}

void Scanner::start()
{
    thread_ = std::thread([this] { run(); });
}

bool Scanner::allSettled()
{
    return scanned_ && std::ranges::all_of(workers_, [](const auto& entry) {
               return entry.second->settled() || entry.second->ended();
           });
}

bool Scanner::waitUntilSettled(std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    std::unique_lock lock(mutex_);
    // A worker says nothing when its first read is done: looked at every few milliseconds.
    constexpr std::chrono::milliseconds LOOK{5};
    while (!stopping_ && !allSettled()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        settled_.wait_for(lock, LOOK);
    }
    return true;
}

bool Scanner::stop(std::chrono::milliseconds limit)
{
    {
        const std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable() && workers_.empty()) {
            return true;
        }
        stopping_ = true;
    }
    hub_.stop();
    watch_.wake();
    settled_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    const bool forever = limit == std::chrono::milliseconds::max();
    const auto deadline = forever ? Clock::time_point::max() : Clock::now() + limit;
    constexpr std::chrono::milliseconds LOOK{5};
    for (;;) {
        reapEnded();
        const std::lock_guard lock(mutex_);
        if (workers_.empty()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(LOOK);
    }
}

void Scanner::run()
{
    rescan();
    {
        const std::lock_guard lock(mutex_);
        scanned_ = true;
    }
    settled_.notify_all();
    auto lastRescan = Clock::now();
    for (;;) {
        const bool changed = watch_.wait(TICK);
        {
            const std::lock_guard lock(mutex_);
            if (stopping_) {
                break;
            }
        }
        const auto now = Clock::now();
        hub_.checkStalled(now);
        reapEnded();
        if (changed || std::exchange(rescanSoon_, false) || now - lastRescan >= SAFETY_RESCAN) {
            lastRescan = now;
            rescan();
        }
    }
}

// Workers whose board was unplugged are closed and forgotten; a replug makes a new one.
void Scanner::reapEnded()
{
    std::vector<std::unique_ptr<BoardWorker>> ended;
    {
        const std::lock_guard lock(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->second->ended()) {
                ended.push_back(std::move(it->second));
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& worker : ended) {
        DeviceHandle handle = worker->join();
        const std::lock_guard usb(usbMutex);
        handle.reset();
    }
}

void Scanner::rescan()
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
    BoardList boards;
    usbListInOrder(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, boards);
    std::set<std::uint32_t> listed;
    for (usb_device* device : boards) {
        listed.insert(keyOf(usbAddressOf(device)));
    }
    {
        // A board whose node went is gone, whatever its worker has noticed yet.
        const std::lock_guard lock(mutex_);
        for (const auto& [key, worker] : workers_) {
            if (!listed.contains(key)) {
                hub_.dismiss(worker->info().id);
            }
        }
    }
    for (usb_device* device : boards) {
        const std::uint32_t key = keyOf(usbAddressOf(device));
        {
            const std::lock_guard lock(mutex_);
            if (stopping_ || workers_.contains(key)) {
                continue;
            }
        }
        admit(device, key, listed);
    }
    // A refused device that left may come back usable.
    std::erase_if(refused_, [&](std::uint32_t key) { return !listed.contains(key); });
}

// Opens a device that has no worker yet and gives it one. With usbMutex held.
void Scanner::admit(usb_device* device, std::uint32_t key, const std::set<std::uint32_t>& listed)
{
    const BusAddress address = usbAddressOf(device);
    BoardStrings strings{};
    OpenedBoard opened = usbOpenBoard(device, &strings);
    if (!opened.handle) {
        // Tried again at every rescan (udev may grant access a moment later), said once.
        if (refused_.insert(key).second) {
            logf(LogLevel::Warning, "board at %03u/%03u not used: it cannot be opened or read (%s)",
                 address.bus, address.device, errorText(opened.why.error));
        }
        return;
    }
    refused_.erase(key);
    const PortPath path = sysfsPathOf(address);
    const std::string port = path.empty() ? std::string{} : std::string{path.text.data()};
    if (strings.serial[0] == '\0' && port.empty()) {
        logf(LogLevel::Warning, "board at %03u/%03u: no serial number and no port path",
             address.bus, address.device);
    }
    BoardIdentity identity;
    identity.serial = strings.serial;
    identity.path = path;
    std::string id =
        boardIdOf(strings.serial.data(), port, options_.hostName, address.bus, address.device);

    std::unique_lock lock(mutex_);
    for (const auto& [otherKey, other] : workers_) {
        const BoardInfo& known = other->info();
        BoardIdentity otherIdentity;
        std::strncpy(otherIdentity.serial.data(), known.serial.c_str(),
                     otherIdentity.serial.size() - 1);
        std::strncpy(otherIdentity.path.text.data(), known.path.c_str(),
                     otherIdentity.path.text.size() - 1);
        if (!isSameBoard(otherIdentity, identity.serial.data(), identity.path) && known.id != id) {
            continue;
        }
        if (other->ended() || !listed.contains(otherKey)) {
            // The same board on its way out, its worker not ended yet: taken up on the next
            // look, so that its "left" never follows this one's "arrived".
            rescanSoon_ = true;
            return; // the handle closes here, under usbMutex
        }
        logf(LogLevel::Warning,
             "two boards with serial number %s: the one at port %s is served as %s",
             strings.serial.data(), port.c_str(), secondBoardId(id, port).c_str());
        id = secondBoardId(id, port);
    }
    logf(LogLevel::Info, "%s: found at %03u/%03u, port %s", id.c_str(), address.bus, address.device,
         port.empty() ? "unknown" : port.c_str());
    BoardInfo info{.id = id,
                   .serial = strings.serial.data(),
                   .path = port,
                   .manufacturer = strings.manufacturer.data(),
                   .product = strings.product.data()};
    // BoardLock finds the board's node through the handle's usb_device, which lives only until
    // the next rescan: made now, under usbMutex, it keeps the node open.
    auto boardLock = std::make_unique<BoardLock>(opened.handle.get());
    auto worker = std::make_unique<BoardWorker>(hub_, std::move(info), std::move(opened.handle),
                                                std::move(boardLock), options_.interval);
    BoardWorker& started = *worker;
    workers_.emplace(key, std::move(worker));
    started.start();
}

} // namespace ledboardd
