#include "http_api.hpp"

#include "api_json.hpp"
#include "led_command.hpp"
#include "ledboard_device.hpp"
#include "log.hpp"

#include <unistd.h>

#include <algorithm>
#include <utility>
#include <cstring>

namespace ledboardd {

namespace {

// How long PUT waits for the board to report its new LEDs: a few of its reads.
constexpr std::chrono::milliseconds LED_WAIT{1000};
// An event stream's comment line at least this often, so that proxies and the browser keep it
// open.
constexpr std::chrono::milliseconds KEEP_ALIVE{15000};
// Bytes queued for one stream before it counts as stuck and is closed: about 250 events, several
// seconds of a busy board's changes. Its client reconnects and starts over from a snapshot.
constexpr std::size_t STREAM_BACKLOG = 64 * 1024;
// What the library asks a stream for at most at a time.
constexpr std::size_t STREAM_BLOCK = 4096;
// What EventSource waits before reconnecting after the stream ends.
constexpr std::string_view RETRY = "retry: 1000\n\n";
constexpr std::string_view KEEP_ALIVE_COMMENT = ": keep-alive\n\n";

constexpr unsigned OK = 200;
constexpr unsigned ACCEPTED = 202;
constexpr unsigned BAD_REQUEST = 400;
constexpr unsigned NOT_FOUND = 404;
constexpr unsigned PAYLOAD_TOO_LARGE = 413;
constexpr unsigned UNAVAILABLE = 503;
constexpr unsigned FIRST_REFUSAL = 400;

} // namespace

// An LED request's outcome, shared with the hub's done callback, which may come after the request
// has ended (answered at its deadline, or its client gone).
struct LedWait {
    std::mutex mutex;
    std::optional<SetResult> result;
};

struct Api::Exchange {
    MHD_Connection* connection;
    std::string id;
    std::string body;
    bool tooLarge = false;
    bool suspended = false;
    int value = -1;
    std::shared_ptr<LedWait> wait;
    std::optional<Clock::time_point> deadline; // of the wait for the LED request's outcome
    std::unique_ptr<Stream> stream;
};

// One event stream: the frames its client has yet to be sent. Between frames its connection is
// suspended, so that it costs the thread nothing.
class Api::Stream {
public:
    Stream(MHD_Connection* connection, std::uint64_t since, std::string first)
        : connection_(connection), since_(since)
    {
        queued_ = first.size();
        frames_.push_back(std::make_shared<const std::string>(std::move(first)));
    }

    // The library's content reader.
    static ssize_t read(void* self, std::uint64_t /*position*/, char* buffer, std::size_t max)
    {
        return static_cast<Stream*>(self)->fill(buffer, max);
    }

    // Changes numbered below this one are in the stream's snapshot already.
    std::uint64_t since() const { return since_; }

    // Queues a frame; false when the stream has fallen too far behind to take it.
    bool push(const std::shared_ptr<const std::string>& frame)
    {
        if (queued_ + frame->size() > STREAM_BACKLOG) {
            return false;
        }
        queued_ += frame->size();
        frames_.push_back(frame);
        wake();
        return true;
    }
    // Ends the stream cleanly: the daemon stops.
    void end()
    {
        ended_ = true;
        wake();
    }
    // Its client left, or it is closed for falling behind.
    void leave()
    {
        gone_ = true;
        wake();
    }

private:
    ssize_t fill(char* buffer, std::size_t max)
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
            std::memcpy(buffer + filled, frame.data() + offset_, part);
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

    void wake()
    {
        if (suspended_) {
            suspended_ = false;
            MHD_resume_connection(connection_);
        }
    }

    MHD_Connection* connection_;
    std::uint64_t since_;
    std::deque<std::shared_ptr<const std::string>> frames_;
    std::size_t offset_ = 0; // into frames_.front()
    std::size_t queued_ = 0;
    bool suspended_ = false;
    bool ended_ = false;
    bool gone_ = false;
};

void addCommonHeaders(MHD_Response* response)
{
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(response, "Cache-Control", "no-store");
}

MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   std::initializer_list<HeaderLine> headers)
{
    const ResponsePtr response{MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY)};
    if (!response) {
        return MHD_NO;
    }
    addCommonHeaders(response.get());
    MHD_add_response_header(response.get(), "Content-Type", "application/json");
    for (const HeaderLine& header : headers) {
        MHD_add_response_header(response.get(), header.name, header.value);
    }
    if (status >= FIRST_REFUSAL) {
        // Answered with the rest of the request, if any, unread: nothing more is taken on this
        // connection, where that rest would be read as the next request.
        MHD_add_response_header(response.get(), "Connection", "close");
    }
    return MHD_queue_response(connection, status, response.get());
}

MHD_Result refuse(MHD_Connection* connection, unsigned status, std::string_view why)
{
    return respond(connection, status, errorJson(why));
}

Api::Api(const HttpOptions& options, Hub& hub, Plumbing& plumbing)
    : options_(options), hub_(hub), plumbing_(plumbing)
{
}

Api::~Api() = default;

MHD_Result Api::handle(MHD_Connection* connection, Route route, std::string id,
                       std::string_view method, const char* upload, std::size_t* uploadSize,
                       void** context)
{
    if (*context != nullptr) {
        const auto found = exchanges_.find(*context);
        return found == exchanges_.end() ? MHD_NO : takeLed(*found->second, upload, uploadSize);
    }
    switch (route) {
    case Route::Boards:
        plumbing_.received(connection);
        return respond(connection, OK, boardsJson(hub_.boards()));
    case Route::Board: {
        plumbing_.received(connection);
        const std::optional<Board> board = hub_.board(id);
        return board ? respond(connection, OK, boardJson(*board))
                     : refuse(connection, NOT_FOUND, "no board with this id");
    }
    case Route::Events:
        plumbing_.received(connection);
        return startStream(connection, method, context);
    case Route::Led:
        break;
    case Route::Asset:
        return MHD_NO; // served by the server itself
    }
    // The body comes in the calls that follow.
    auto exchange = std::make_unique<Exchange>();
    exchange->connection = connection;
    exchange->id = std::move(id);
    *context = exchange.get();
    exchanges_.emplace(exchange.get(), std::move(exchange));
    return MHD_YES;
}

MHD_Result Api::startStream(MHD_Connection* connection, std::string_view method, void** context)
{
    if (stopping_) {
        return refuse(connection, UNAVAILABLE, "the daemon is stopping");
    }
    if (method == MHD_HTTP_METHOD_HEAD) {
        const ResponsePtr response{
            MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT)};
        addCommonHeaders(response.get());
        MHD_add_response_header(response.get(), "Content-Type", "text/event-stream");
        return MHD_queue_response(connection, OK, response.get());
    }
    // Numbered before the snapshot is read: a change numbered from here on may be in it already
    // (then it comes twice, the later copy as it stands), none before it is missing from it.
    const std::uint64_t since = plumbing_.inbox().changesPosted();
    std::string first{RETRY};
    first += eventFrame("snapshot", boardsJson(hub_.boards()));
    auto exchange = std::make_unique<Exchange>();
    exchange->connection = connection;
    exchange->stream = std::make_unique<Stream>(connection, since, std::move(first));
    Stream* stream = exchange->stream.get();
    const ResponsePtr response{MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, STREAM_BLOCK, &Stream::read, stream, nullptr)};
    if (!response) {
        return MHD_NO;
    }
    addCommonHeaders(response.get());
    MHD_add_response_header(response.get(), "Content-Type", "text/event-stream");
    MHD_add_response_header(response.get(), "X-Accel-Buffering", "no");
    // The stream ends with its connection; a request behind it would wait for ever.
    MHD_add_response_header(response.get(), "Connection", "close");
    if (MHD_queue_response(connection, OK, response.get()) != MHD_YES) {
        return MHD_NO;
    }
    plumbing_.watchHangup(connection, [stream] { stream->leave(); });
    // The library keeps this as the request's context: completed() gets it.
    *context = exchange.get();
    exchanges_.emplace(exchange.get(), std::move(exchange));
    return MHD_YES;
}

MHD_Result Api::takeLed(Exchange& exchange, const char* upload, std::size_t* uploadSize)
{
    if (*uploadSize != 0) {
        // A chunked body has no length to refuse it by before it comes, and libmicrohttpd
        // (0.9.75) queues no answer until the body has ended: past the limit the rest is read
        // and dropped as it comes, within the request's deadline (http_server.cpp).
        exchange.tooLarge = exchange.tooLarge || exchange.body.size() + *uploadSize > MAX_LED_REQUEST;
        if (exchange.tooLarge) {
            exchange.body.clear();
        } else {
            exchange.body.append(upload, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Connection* connection = exchange.connection;
    plumbing_.received(connection);
    if (exchange.tooLarge) {
        return refuse(connection, PAYLOAD_TOO_LARGE, "body too large (at most 1 KiB)");
    }
    const LedCommand command = parseLedRequest(exchange.body);
    if (command.refusal != nullptr) {
        return refuse(connection, BAD_REQUEST, std::string{"LED: "} + command.refusal);
    }
    if (stopping_) {
        return refuse(connection, UNAVAILABLE, "the daemon is stopping");
    }
    exchange.value = command.value;
    auto wait = std::make_shared<LedWait>();
    exchange.wait = wait;
    void* context = &exchange;
    hub_.setLed(exchange.id, command.value,
                [this, wait, context, inbox = plumbing_.sharedInbox()](const SetResult& result) {
                    {
                        const std::lock_guard lock(wait->mutex);
                        wait->result = result;
                    }
                    // Runs on the server's thread, where the exchange may have ended meanwhile:
                    // its context then names another exchange, or none.
                    inbox->post([this, wait, context] {
                        const auto found = exchanges_.find(context);
                        if (found != exchanges_.end() && found->second->wait == wait &&
                            found->second->suspended) {
                            answerLed(*found->second, *wait->result);
                        }
                    });
                });
    {
        // An away or unknown board's outcome comes from setLed itself.
        const std::lock_guard lock(wait->mutex);
        if (wait->result) {
            answerLed(exchange, *wait->result);
            return MHD_YES;
        }
    }
    MHD_suspend_connection(connection);
    exchange.suspended = true;
    exchange.deadline = Clock::now() + LED_WAIT;
    return MHD_YES;
}

void Api::answerLed(Exchange& exchange, const SetResult& result)
{
    std::optional<Board> board = result.board;
    unsigned status = ACCEPTED;
    switch (result.outcome) {
    case SetOutcome::Applied:
        // Sent, and read back: 200 once its status shows the lamps the value lights.
        if (board && board->status && board->status->led == reportedLed(exchange.value)) {
            status = OK;
        }
        break;
    case SetOutcome::Kept:
    case SetOutcome::Superseded:
    case SetOutcome::Left:
        break;
    case SetOutcome::Unknown:
        board.reset();
        break;
    case SetOutcome::Stopping:
        status = UNAVAILABLE;
        break;
    }
    std::string body;
    if (status == UNAVAILABLE) {
        body = errorJson("the daemon is stopping");
    } else if (!board) {
        status = NOT_FOUND;
        body = errorJson("no board with this id");
    } else {
        body = boardJson(*board);
    }
    if (exchange.suspended) {
        answerSuspended(exchange, status, body);
    } else {
        respond(exchange.connection, status, body);
    }
}

void Api::answerSuspended(Exchange& exchange, unsigned status, const std::string& body)
{
    exchange.deadline.reset();
    // A suspended connection may be given its answer at any time; it goes out once resumed.
    respond(exchange.connection, status, body);
    exchange.suspended = false;
    MHD_resume_connection(exchange.connection);
}

void Api::completed(void* context)
{
    const auto found = exchanges_.find(context);
    if (found == exchanges_.end()) {
        return;
    }
    if (found->second->stream) {
        plumbing_.unwatch(found->second->connection);
    }
    exchanges_.erase(found);
}

void Api::changed(const Change& change, std::uint64_t number)
{
    std::shared_ptr<const std::string> frame;
    for (const auto& [context, exchange] : exchanges_) {
        Stream* stream = exchange->stream.get();
        if (stream == nullptr || number < stream->since()) {
            continue;
        }
        if (!frame) {
            frame = std::make_shared<const std::string>(changeFrame(change));
        }
        if (!stream->push(frame)) {
            logLine(LogLevel::Info, "closing an event stream that fell too far behind");
            plumbing_.drop(exchange->connection);
            stream->leave();
        }
    }
}

void Api::tick(Clock::time_point now)
{
    bool streams = false;
    for (const auto& [context, exchange] : exchanges_) {
        streams = streams || exchange->stream;
        if (exchange->deadline && *exchange->deadline <= now && exchange->suspended) {
            // Not reported within the wait: 202 with the board as it stands.
            const std::optional<Board> board = hub_.board(exchange->id);
            answerSuspended(*exchange, board ? ACCEPTED : NOT_FOUND,
                            board ? boardJson(*board) : errorJson("no board with this id"));
        }
    }
    if (!streams) {
        nextKeepAlive_.reset();
        return;
    }
    if (!nextKeepAlive_) {
        nextKeepAlive_ = now + KEEP_ALIVE;
    } else if (*nextKeepAlive_ <= now) {
        nextKeepAlive_ = now + KEEP_ALIVE;
        const auto comment = std::make_shared<const std::string>(KEEP_ALIVE_COMMENT);
        for (const auto& [context, exchange] : exchanges_) {
            if (exchange->stream) {
                exchange->stream->push(comment);
            }
        }
    }
}

std::optional<Clock::time_point> Api::nextDue() const
{
    std::optional<Clock::time_point> due = nextKeepAlive_;
    for (const auto& [context, exchange] : exchanges_) {
        if (exchange->deadline && (!due || *exchange->deadline < *due)) {
            due = exchange->deadline;
        }
    }
    return due;
}

void Api::stop()
{
    stopping_ = true;
    for (const auto& [context, exchange] : exchanges_) {
        if (exchange->stream) {
            exchange->stream->end();
        } else if (exchange->suspended) {
            answerSuspended(*exchange, UNAVAILABLE, errorJson("the daemon is stopping"));
        }
    }
}

bool Api::idle() const
{
    return std::ranges::none_of(exchanges_, [](const auto& entry) {
        return entry.second->stream || entry.second->suspended;
    });
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

std::deque<Inbox::Task> Inbox::take()
{
    const std::lock_guard lock(mutex_);
    return std::exchange(tasks_, {});
}

void Inbox::close()
{
    const std::lock_guard lock(mutex_);
    closed_ = true;
    tasks_.clear();
}

} // namespace ledboardd
