// The bus watch: finds the boards as they are plugged in, opens each, gives it an id and a worker
// (board_worker.hpp), and closes it once its worker has ended. The only thread that rescans
// libusb's bus list, walks it or opens devices.
#pragma once

#include "board_worker.hpp"
#include "hub.hpp"
#include "usb_watch.hpp"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace ledboardd {

struct ScannerOptions {
    std::chrono::milliseconds interval{50};
    std::string hostName; // for the ids of boards without a serial number
};

class Scanner {
public:
    Scanner(Hub& hub, ScannerOptions options);
    ~Scanner();
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Looks at the bus at once, then watches it in a thread of its own.
    void start();

    // Waits until the first look at the bus is done and each board found has answered (or
    // failed) its first read, at most `limit`. False when it was the limit. A front end started
    // after this sees the boards that are here from its first moment.
    bool waitUntilSettled(std::chrono::milliseconds limit);

    // Stops the hub's workers and this thread. False when some board was still inside a request
    // after `limit` (a stalled board takes up to 5 s): the caller then exits without destroying
    // this.
    bool stop(std::chrono::milliseconds limit);

private:
    void run();
    void rescan();
    void admit(usb_device* device, std::uint32_t key, const std::set<std::uint32_t>& listed);
    void reapEnded();
    bool allSettled();

    Hub& hub_;
    ScannerOptions options_;
    UsbWatch watch_;

    std::mutex mutex_; // guards workers_, scanned_ and stopping_
    std::condition_variable settled_;
    bool scanned_ = false;
    bool stopping_ = false;
    // By bus and device number, which a replug changes: a replugged board gets a new worker.
    std::map<std::uint32_t, std::unique_ptr<BoardWorker>> workers_;
    // Devices with the board's identity that could not be used, so that each is logged once; they
    // are tried again at every rescan. Scanner thread only.
    std::set<std::uint32_t> refused_;
    bool rescanSoon_ = false;
    // Why the last rescan could not list the devices (libusb's negative error), 0 when it could.
    int listError_ = 0;
    std::thread thread_;
};

} // namespace ledboardd
