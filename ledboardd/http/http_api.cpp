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

// How long PUT waits for the board to report its new LEDs: a few of its reads.
constexpr std::chrono::milliseconds LED_WAIT{1000};
// What the library asks a stream for at most at a time.
constexpr std::size_t STREAM_BLOCK = 4096;
// What EventSource waits before reconnecting after the stream ends.
constexpr std::string_view RETRY = "retry: 1000\n\n";

constexpr unsigned OK = 200;
constexpr unsigned ACCEPTED = 202;
constexpr unsigned BAD_REQUEST = 400;
constexpr unsigned NOT_FOUND = 404;
constexpr unsigned PAYLOAD_TOO_LARGE = 413;
constexpr unsigned UNAVAILABLE = 503;

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
};

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
    return MHD_YES;
}

MHD_Result Api::takeLed(Exchange& exchange, const char* upload, std::size_t* uploadSize)
{
    if (*uploadSize != 0) {
        // A chunked body has no length to refuse it by before it comes, and libmicrohttpd
        // (0.9.75) queues no answer until the body has ended: past the limit the rest is read
        // and dropped as it comes, within the request's deadline (http_server.cpp).
        exchange.tooLarge =
            exchange.tooLarge || exchange.body.size() + *uploadSize > MAX_LED_REQUEST;
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
    hub_.setLed(exchange.id, command,
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
    case SetOutcome::Refused:
        status = BAD_REQUEST;
        break;
    }
    std::string body;
    if (status == BAD_REQUEST) {
        body = errorJson(std::string{"LED: "} + (result.refusal != nullptr ? result.refusal : ""));
    } else if (status == UNAVAILABLE) {
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
    if (MHD_Connection* stream = streams_.remove(context); stream != nullptr) {
        plumbing_.unwatch(stream);
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

bool Api::idle() const
{
    return streams_.empty() && std::ranges::none_of(exchanges_, [](const auto& entry) {
               return entry.second->suspended;
           });
}

} // namespace ledboardd
