// An event stream's frames on their way to its client, and the inbox that brings the hub's
// changes (and other work) to the server's thread. Both run on that thread but for Inbox::post.
#pragma once

#include "hub.hpp"

#include <microhttpd.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ledboardd {

// Work for the server's thread, posted from any thread (the hub's listener, an LED request's
// outcome), waking the thread through an eventfd. Once closed it takes nothing more.
class Inbox {
public:
    using Task = std::function<void()>;
    explicit Inbox(int wakeFd) : wakeFd_(wakeFd) {}

    void post(Task task);
    // A change of the hub, numbered in the order posted (see changesPosted).
    void postChange(std::function<void(std::uint64_t number)> task);
    // The number the next change posted will have: every change numbered below it is already in
    // the hub's table.
    std::uint64_t changesPosted();
    // Swaps what was posted into `tasks` (emptied first): two vectors taking turns, so that the
    // loop allocates nothing once they have grown.
    void take(std::vector<Task>& tasks);
    void close();

private:
    int wakeFd_; // owned by the server, which closes the inbox before it
    std::mutex mutex_;
    std::vector<Task> tasks_;
    std::uint64_t changes_ = 0;
    bool closed_ = false;
};

// One event stream: the frames its client has yet to be sent. Between frames its connection is
// suspended, so that it costs the thread nothing.
class EventStream {
public:
    // `first`: the retry line and the snapshot. Changes numbered below `since` are in it.
    EventStream(MHD_Connection* connection, std::uint64_t since, std::string first);

    // The library's content reader (MHD_ContentReaderCallback).
    static ssize_t read(void* self, std::uint64_t position, char* buffer, std::size_t max);

    MHD_Connection* connection() const { return connection_; }
    std::uint64_t since() const { return since_; }
    // Queues a frame; false when the stream has fallen too far behind to take it.
    bool push(const std::shared_ptr<const std::string>& frame);
    // Ends the stream cleanly: the daemon stops.
    void end();
    // Its client left, or it is closed for falling behind.
    void leave();
    bool left() const { return gone_; }

private:
    ssize_t fill(char* buffer, std::size_t max);
    void wake();

    MHD_Connection* connection_;
    std::uint64_t since_;
    std::deque<std::shared_ptr<const std::string>> frames_;
    std::size_t offset_ = 0; // into frames_.front()
    std::size_t queued_ = 0;
    bool suspended_ = false;
    bool ended_ = false;
    bool gone_ = false;
};

// Every event stream, by the context the library keeps for its request.
class EventStreams {
public:
    void add(void* context, std::unique_ptr<EventStream> stream);
    // The stream's connection, or nullptr when `context` is no stream's.
    MHD_Connection* remove(void* context);
    // Sends the change numbered `number` to every stream that does not have it in its snapshot;
    // the connections of the streams that fell too far behind to take it, left already.
    std::vector<MHD_Connection*> changed(const Change& change, std::uint64_t number);
    // A comment line to every stream when it is due.
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const { return nextKeepAlive_; }
    // Ends every stream cleanly.
    void end();
    bool empty() const { return streams_.empty(); }
    std::size_t size() const { return streams_.size(); }

private:
    std::map<void*, std::unique_ptr<EventStream>> streams_;
    std::optional<Clock::time_point> nextKeepAlive_;
};

} // namespace ledboardd
