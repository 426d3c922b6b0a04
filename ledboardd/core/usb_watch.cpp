#include "usb_watch.hpp"

#include "bus_watch.hpp"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace ledboardd {

namespace {

// What a bus folder and the root are watched for: nodes and busses that come and go, and a
// node's mode, owner or ACL that udev sets after it appears.
constexpr std::uint32_t NODE_EVENTS =
    IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF;
// Where nothing can be watched, how often the nodes are looked at.
constexpr std::chrono::milliseconds LOOK_WITHOUT_INOTIFY{1000};

} // namespace

UsbWatch::UsbWatch(std::string root)
    : root_(std::move(root)), inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    watchTree();
    fingerprint_ = usbBusFingerprint(root_.c_str());
}

UsbWatch::~UsbWatch()
{
    if (inotify_ >= 0) {
        close(inotify_);
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

// Watches the root and every bus folder in it that is not watched yet.
void UsbWatch::watchTree()
{
    if (inotify_ < 0) {
        return;
    }
    if (rootWatch_ < 0) {
        rootWatch_ = inotify_add_watch(inotify_, root_.c_str(), NODE_EVENTS);
        if (rootWatch_ < 0) {
            return;
        }
    }
    DIR* folder = opendir(root_.c_str());
    if (folder == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string bus = root_ + "/" + entry->d_name;
        const int watch = inotify_add_watch(inotify_, bus.c_str(), NODE_EVENTS);
        if (watch >= 0) {
            busWatches_[watch] = bus; // the same descriptor again when watched already
        }
    }
    closedir(folder);
}

// Reads every pending event. True when any says the nodes changed.
bool UsbWatch::drainEvents()
{
    alignas(inotify_event) std::array<char, 4096> buffer{};
    bool changed = false;
    for (;;) {
        const ssize_t got = read(inotify_, buffer.data(), buffer.size());
        if (got <= 0) {
            return changed;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += sizeof(inotify_event) + event->len;
            changed = true;
            if ((event->mask & IN_IGNORED) != 0) {
                if (event->wd == rootWatch_) {
                    rootWatch_ = -1; // the root went: watched again once it is back
                }
                busWatches_.erase(event->wd);
            }
        }
    }
}

bool UsbWatch::wait(std::chrono::milliseconds limit)
{
    if (rootWatch_ < 0) {
        watchTree();
    }
    std::array<pollfd, 2> fds{{{wakeFd_, POLLIN, 0}, {inotify_, POLLIN, 0}}};
    const nfds_t count = rootWatch_ >= 0 ? 2 : 1;
    const auto timeout = rootWatch_ >= 0 ? limit : std::min(limit, LOOK_WITHOUT_INOTIFY);
    const int ready = poll(fds.data(), count, static_cast<int>(timeout.count()));
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
        std::uint64_t ignored = 0;
        [[maybe_unused]] const ssize_t got = read(wakeFd_, &ignored, sizeof ignored);
    }
    if (rootWatch_ >= 0) {
        if (ready <= 0 || (fds[1].revents & POLLIN) == 0 || !drainEvents()) {
            return false;
        }
        watchTree(); // a new bus folder, or the root back
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLook_ < LOOK_WITHOUT_INOTIFY) {
        return false;
    }
    lastLook_ = now;
    const std::uint64_t fingerprint = usbBusFingerprint(root_.c_str());
    return std::exchange(fingerprint_, fingerprint) != fingerprint;
}

void UsbWatch::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
}

} // namespace ledboardd
