// Noticing that the USB device nodes changed without asking libusb, whose rescan opens every
// device: inotify on /dev/bus/usb and on each bus's folder there. A board plugged in or out adds or
// removes a node; udev applying its rule (mode, group, ACL) changes a node's attributes. Where the
// folder cannot be watched (no USB at all yet), the nodes are looked at once a second instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace ledboardd {

class UsbWatch {
public:
    explicit UsbWatch(std::string root);
    ~UsbWatch();
    UsbWatch(const UsbWatch&) = delete;
    UsbWatch& operator=(const UsbWatch&) = delete;

    // Waits at most `limit` for a change or a wake(). True when the nodes may have changed.
    bool wait(std::chrono::milliseconds limit);
    // Ends a wait at once, from any thread.
    void wake() const;

private:
    void watchTree();
    bool drainEvents();

    std::string root_;
    int inotify_ = -1;
    int wakeFd_ = -1;
    int rootWatch_ = -1;
    std::map<int, std::string> busWatches_; // watch descriptor -> bus folder
    // Without inotify: the last digest of the nodes, and when it was taken.
    std::uint64_t fingerprint_ = 0;
    std::chrono::steady_clock::time_point lastLook_{};
};

} // namespace ledboardd
