#include "http_api.hpp"

#include "api_json.hpp"
#include "led_command.hpp"
#include "ledboard_device.hpp"
#include "log.hpp"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace ledboardd {

namespace {

// What the library asks a stream for at most at a time.
constexpr std::size_t STREAM_BLOCK = 4096;
// What EventSource waits before reconnecting after the stream ends.
constexpr std::string_view RETRY = "retry: 1000\n\n";

constexpr unsigned OK = 200;
constexpr unsigned ACCEPTED = 202;
constexpr unsigned NOT_FOUND = 404;
constexpr unsigned UNAVAILABLE = 503;

} // namespace

Api::Api(const HttpOptions& options, Hub& hub, Plumbing& plumbing)
    : options_(options), hub_(hub), plumbing_(plumbing)
{
    // Serving is being up. Each value is there from the start, so that the metrics show a zero
    // rather than nothing.
    hub_.setFrontEnd(HTTP_FRONT_END, true);
    hub_.setFrontEndValue(HTTP_FRONT_END, "http_connections", 0);
    hub_.setFrontEndValue(HTTP_FRONT_END, "http_event_streams", 0);
    hub_.addToFrontEnd(HTTP_FRONT_END, "commands_refused_total", 0);
}

Api::~Api() = default;

MHD_Result Api::handle(MHD_Connection* connection, Request request, std::string_view method,
                       const char* upload, std::size_t* uploadSize, void** context)
{
    if (*context != nullptr) {
        const auto found = exchanges_.find(*context);
        return found == exchanges_.end() ? MHD_NO : takeLed(*found->second, upload, uploadSize);
    }
    switch (request.route) {
    case Route::Boards:
        plumbing_.received(connection);
        return respond(connection, OK, boardsJson(hub_.boards()));
    case Route::Board: {
        plumbing_.received(connection);
        const std::optional<Board> board = hub_.board(request.id);
        return board ? respond(connection, OK, boardJson(*board))
                     : refuse(connection, NOT_FOUND, "no board with this id");
    }
    case Route::Retire:
        plumbing_.received(connection);
        return retire(connection, request.id);
    case Route::Events:
        plumbing_.received(connection);
        return startStream(connection, method, context);
    case Route::Health:
        plumbing_.received(connection);
        return health(connection, request.authorized);
    case Route::Metrics:
        plumbing_.received(connection);
        return metrics(connection);
    case Route::Led:
    case Route::OneLed:
        break;
    case Route::Asset:
        return MHD_NO; // served by the server itself
    }
    // The body comes in the calls that follow.
    auto exchange = std::make_unique<Exchange>();
    exchange->connection = connection;
    exchange->id = std::move(request.id);
    exchange->led = request.route == Route::OneLed ? request.led : 0;
    Exchange* const added = exchange.get();
    *context = added;
    exchanges_.emplace(added, std::move(exchange));
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
    auto stream = std::make_unique<EventStream>(connection, since, std::move(first));
    const ResponsePtr response{MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, STREAM_BLOCK, &EventStream::read, stream.get(), nullptr)};
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
    EventStream* const added = stream.get();
    plumbing_.watchHangup(connection, [added] { added->leave(); });
    // The library keeps this as the request's context: completed() gets it.
    *context = added;
    streams_.add(added, std::move(stream));
    streamsCounted();
    return MHD_YES;
}

void Api::completed(void* context)
{
    if (MHD_Connection* stream = streams_.remove(context); stream != nullptr) {
        plumbing_.unwatch(stream);
        streamsCounted();
    }
    exchanges_.erase(context);
}

void Api::changed(const Change& change, std::uint64_t number)
{
    for (MHD_Connection* behind : streams_.changed(change, number)) {
        logLine(LogLevel::Info, "closing an event stream that fell too far behind");
        plumbing_.drop(behind);
    }
}

void Api::tick(Clock::time_point now)
{
    for (const auto& [context, exchange] : exchanges_) {
        if (exchange->deadline && *exchange->deadline <= now && exchange->suspended) {
            // Not reported within the wait: 202 with the board as it stands.
            const std::optional<Board> board = hub_.board(exchange->id);
            answerSuspended(*exchange, board ? ACCEPTED : NOT_FOUND,
                            board ? boardJson(*board) : errorJson("no board with this id"));
        }
    }
    streams_.tick(now);
}

std::optional<Clock::time_point> Api::nextDue() const
{
    std::optional<Clock::time_point> due = streams_.nextDue();
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
    streams_.end();
    for (const auto& [context, exchange] : exchanges_) {
        if (exchange->suspended) {
            answerSuspended(*exchange, UNAVAILABLE, errorJson("the daemon is stopping"));
        }
    }
}

void Api::streamsCounted()
{
    hub_.setFrontEndValue(HTTP_FRONT_END, "http_event_streams",
                          static_cast<double>(streams_.size()));
}

bool Api::idle() const
{
    return streams_.empty() && std::ranges::none_of(exchanges_, [](const auto& entry) {
               return entry.second->suspended;
           });
}

} // namespace ledboardd
