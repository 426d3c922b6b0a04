// The API's writes: an LED request (the whole value, or one LED) and forgetting a board. An LED
// request's connection is suspended until the hub tells its outcome, or its wait ends.
#include "http_api.hpp"

#include "api_json.hpp"
#include "led_command.hpp"
#include "led_switch.hpp"
#include "ledboard_device.hpp"

#include <utility>

namespace ledboardd {

namespace {

// How long PUT waits for the board to report its new LEDs: a few of its reads.
constexpr std::chrono::milliseconds LED_WAIT{1000};

constexpr unsigned OK = 200;
constexpr unsigned ACCEPTED = 202;
constexpr unsigned NO_CONTENT = 204;
constexpr unsigned BAD_REQUEST = 400;
constexpr unsigned NOT_FOUND = 404;
constexpr unsigned CONFLICT = 409;
constexpr unsigned PAYLOAD_TOO_LARGE = 413;
constexpr unsigned UNAVAILABLE = 503;

} // namespace

struct LedWait {
    std::mutex mutex;
    std::optional<SetResult> result;
};

MHD_Result Api::retire(MHD_Connection* connection, const std::string& id)
{
    switch (hub_.retire(id)) {
    case RetireOutcome::Retired: {
        const ResponsePtr response{
            MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT)};
        if (!response) {
            return MHD_NO;
        }
        addCommonHeaders(response.get());
        return MHD_queue_response(connection, NO_CONTENT, response.get());
    }
    case RetireOutcome::Present:
        return refuseCommand(connection, CONFLICT, "the board is here; unplug it first");
    case RetireOutcome::Unknown:
        break;
    }
    return refuseCommand(connection, NOT_FOUND, "no board with this id");
}

MHD_Result Api::refuseCommand(MHD_Connection* connection, unsigned status, std::string_view why)
{
    hub_.addToFrontEnd(HTTP_FRONT_END, "commands_refused_total", 1);
    return refuse(connection, status, why);
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
        return refuseCommand(connection, PAYLOAD_TOO_LARGE, "body too large (at most 1 KiB)");
    }
    auto wait = std::make_shared<LedWait>();
    void* context = &exchange;
    const Hub::SetDone done = [this, wait, context,
                               inbox = plumbing_.sharedInbox()](const SetResult& result) {
        {
            const std::lock_guard lock(wait->mutex);
            wait->result = result;
        }
        // Runs on the server's thread, where the exchange may have ended meanwhile: its
        // context then names another exchange, or none.
        inbox->post([this, wait, context] {
            const auto found = exchanges_.find(context);
            if (found != exchanges_.end() && found->second->wait == wait &&
                found->second->suspended) {
                answerLed(*found->second, *wait->result);
            }
        });
    };
    exchange.wait = wait;
    if (!askHub(exchange, done)) {
        return MHD_YES;
    }
    {
        // An away or unknown board's outcome comes from the hub's call itself.
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

bool Api::askHub(Exchange& exchange, const Hub::SetDone& done)
{
    MHD_Connection* connection = exchange.connection;
    const std::string what =
        exchange.led == 0 ? std::string{"LED"} : "LED " + std::to_string(exchange.led);
    const char* refusal = nullptr;
    LedCommand command{};
    LedSwitch change{};
    if (exchange.led == 0) {
        command = parseLedRequest(exchange.body);
        refusal = command.refusal;
    } else {
        change = parseLedSwitch(exchange.body);
        refusal = change.kind == LedSwitch::Kind::Refused ? change.refusal : nullptr;
    }
    if (refusal != nullptr) {
        refuseCommand(connection, BAD_REQUEST, what + ": " + refusal);
        return false;
    }
    if (stopping_) {
        refuse(connection, UNAVAILABLE, "the daemon is stopping");
        return false;
    }
    if (exchange.led == 0) {
        exchange.value = command.value;
        hub_.setLed(exchange.id, command, done);
    } else if (change.kind == LedSwitch::Kind::On || change.kind == LedSwitch::Kind::Off) {
        hub_.setLedBit(exchange.id, exchange.led, change.kind == LedSwitch::Kind::On, done);
    } else {
        hub_.setLedBlink(exchange.id, exchange.led, change.kind == LedSwitch::Kind::Blink, done);
    }
    return true;
}

void Api::answerLed(Exchange& exchange, const SetResult& result)
{
    std::optional<Board> board = result.board;
    unsigned status = ACCEPTED;
    switch (result.outcome) {
    case SetOutcome::Applied: {
        // Sent, and read back: 200 once its status shows the lamps the value lights. One LED's
        // value is the hub's to make, from the others as they were.
        std::optional<int> value = board ? board->desired : std::nullopt;
        if (exchange.value >= 0) {
            value = exchange.value;
        }
        if (board && board->status && value && board->status->led == reportedLed(*value)) {
            status = OK;
        }
        break;
    }
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
    if (status == BAD_REQUEST || !board) {
        hub_.addToFrontEnd(HTTP_FRONT_END, "commands_refused_total", 1);
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

} // namespace ledboardd
