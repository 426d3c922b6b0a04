// One board's loop, in a thread of its own, so that a board that hangs (its requests wait for the
// 5 s USB timeout) holds up no other: wait for the next read or a turn the hub asks for, make the
// exchange through device/, tell the hub what came back when it is news. It holds no state of the
// board beyond its handle and the status it last reported.
#pragma once

#include "hub.hpp"

#include <atomic>
#include <memory>
#include <thread>

namespace ledboardd {

class BoardWorker {
public:
    // Takes the open board; its lock was made from the handle while the bus list was current.
    BoardWorker(Hub& hub, BoardInfo info, DeviceHandle handle, std::unique_ptr<BoardLock> lock,
                std::chrono::milliseconds interval);
    ~BoardWorker();
    BoardWorker(const BoardWorker&) = delete;
    BoardWorker& operator=(const BoardWorker&) = delete;

    void start();
    const BoardInfo& info() const { return info_; }

    // Whether its first read is done (whatever came of it), and whether its thread has ended
    // (the board was unplugged, or the hub stops).
    bool settled() const { return settled_; }
    bool ended() const { return ended_; }

    // Waits for the thread (which has ended, or is about to) and hands back the handle, to be
    // closed where the bus list is guarded.
    DeviceHandle join();

private:
    void run();
    void serve(Hub::Slot& slot);
    std::optional<BoardStatus> exchange(Hub::Slot* slot, const Hub::Turn& turn, bool& unplugged);

    Hub& hub_;
    BoardInfo info_;
    DeviceHandle handle_;
    std::unique_ptr<BoardLock> lock_;
    std::chrono::milliseconds interval_;
    bool failing_ = false; // the last exchange failed (logged once until it answers again)
    std::atomic<bool> settled_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

} // namespace ledboardd
