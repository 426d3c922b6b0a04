#include "event_stream.hpp"

#include "api_json.hpp"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace ledboardd {

namespace {

// Bytes queued for one stream before it counts as stuck and is closed: about 250 events, several
// seconds of a busy board's changes. Its client reconnects and starts over from a snapshot.
constexpr std::size_t STREAM_BACKLOG = std::size_t{64} * 1024;

// A comment line at least this often, so that proxies and the browser keep a stream open.
constexpr std::chrono::milliseconds KEEP_ALIVE{15000};
constexpr std::string_view KEEP_ALIVE_COMMENT = ": keep-alive\n\n";

} // namespace

EventStream::EventStream(MHD_Connection* connection, std::uint64_t since, std::string first)
    : connection_(connection), since_(since), queued_(first.size())
{
    frames_.push_back(std::make_shared<const std::string>(std::move(first)));
}

ssize_t EventStream::read(void* self, std::uint64_t /*position*/, char* buffer, std::size_t max)
{
    return static_cast<EventStream*>(self)->fill(buffer, max);
}

bool EventStream::push(const std::shared_ptr<const std::string>& frame)
{
    if (queued_ + frame->size() > STREAM_BACKLOG) {
        return false;
    }
    queued_ += frame->size();
    frames_.push_back(frame);
    wake();
    return true;
}

void EventStream::end()
{
    ended_ = true;
    wake();
}

void EventStream::leave()
{
    gone_ = true;
    wake();
}

ssize_t EventStream::fill(char* buffer, std::size_t max)
{
    if (gone_) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    if (ended_) {
        return MHD_CONTENT_READER_END_OF_STREAM;
    }
    std::size_t filled = 0;
    while (filled < max && !frames_.empty()) {
        const std::string& frame = *frames_.front();
        const std::size_t part = std::min(frame.size() - offset_, max - filled);
        std::copy_n(frame.data() + offset_, part, buffer + filled);
        filled += part;
        offset_ += part;
        if (offset_ == frame.size()) {
            frames_.pop_front();
            offset_ = 0;
        }
    }
    queued_ -= filled;
    if (filled > 0) {
        return static_cast<ssize_t>(filled);
    }
    // Nothing to send: asked again once resumed (the library's documented way to wait).
    MHD_suspend_connection(connection_);
    suspended_ = true;
    return 0;
}

void EventStream::wake()
{
    if (suspended_) {
        suspended_ = false;
        MHD_resume_connection(connection_);
    }
}

void EventStreams::add(void* context, std::unique_ptr<EventStream> stream)
{
    streams_.emplace(context, std::move(stream));
    if (!nextKeepAlive_) {
        nextKeepAlive_ = Clock::now() + KEEP_ALIVE;
    }
}

MHD_Connection* EventStreams::remove(void* context)
{
    const auto found = streams_.find(context);
    if (found == streams_.end()) {
        return nullptr;
    }
    MHD_Connection* connection = found->second->connection();
    streams_.erase(found);
    if (streams_.empty()) {
        nextKeepAlive_.reset();
    }
    return connection;
}

std::vector<MHD_Connection*> EventStreams::changed(const Change& change, std::uint64_t number)
{
    std::vector<MHD_Connection*> behind;
    std::shared_ptr<const std::string> frame;
    for (const auto& [context, stream] : streams_) {
        // Left streams wait for the library to close them; one behind is given up once.
        if (number < stream->since() || stream->left()) {
            continue;
        }
        if (!frame) {
            frame = std::make_shared<const std::string>(changeFrame(change));
        }
        if (!stream->push(frame)) {
            stream->leave();
            behind.push_back(stream->connection());
        }
    }
    return behind;
}

void EventStreams::tick(Clock::time_point now)
{
    if (!nextKeepAlive_ || now < *nextKeepAlive_) {
        return;
    }
    nextKeepAlive_ = now + KEEP_ALIVE;
    const auto comment = std::make_shared<const std::string>(KEEP_ALIVE_COMMENT);
    for (const auto& [context, stream] : streams_) {
        stream->push(comment);
    }
}

void EventStreams::end()
{
    for (const auto& [context, stream] : streams_) {
        stream->end();
    }
}

void Inbox::post(Task task)
{
    const std::lock_guard lock(mutex_);
    if (closed_) {
        return;
    }
    tasks_.push_back(std::move(task));
    // Under the lock: once closed, the descriptor may be gone.
    const std::uint64_t one = 1;
    static_cast<void>(::write(wakeFd_, &one, sizeof one));
}

void Inbox::postChange(std::function<void(std::uint64_t number)> task)
{
    const std::lock_guard lock(mutex_);
    if (closed_) {
        return;
    }
    tasks_.emplace_back([task = std::move(task), number = changes_++] { task(number); });
    const std::uint64_t one = 1;
    static_cast<void>(::write(wakeFd_, &one, sizeof one));
}

std::uint64_t Inbox::changesPosted()
{
    const std::lock_guard lock(mutex_);
    return changes_;
}

void Inbox::take(std::vector<Task>& tasks)
{
    tasks.clear();
    const std::lock_guard lock(mutex_);
    tasks.swap(tasks_);
}

void Inbox::close()
{
    const std::lock_guard lock(mutex_);
    closed_ = true;
    tasks_.clear();
}

} // namespace ledboardd
