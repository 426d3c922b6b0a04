// The HTTP API's handlers, on the server's one thread (http_server.cpp runs the library and calls
// in here for each request). Each handler is a call or two on the hub; what may take time (an LED
// request's outcome, an event stream between two events) suspends its connection, so that the
// thread never waits.
#pragma once

#include "event_stream.hpp"
#include "http_server.hpp"

#include <microhttpd.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ledboardd {

// What the handlers ask of the server's plumbing.
class Plumbing {
public:
    virtual ~Plumbing() = default;
    // The request on `connection` has arrived whole: the deadline for it no longer runs.
    virtual void received(MHD_Connection* connection) = 0;
    // Closes the connection from this side now, whatever the library is doing with it.
    virtual void drop(MHD_Connection* connection) = 0;
    // Calls `left` (on this thread) once the client of `connection` hangs up, suspended or not:
    // the library does not watch a suspended connection's socket.
    virtual void watchHangup(MHD_Connection* connection, std::function<void()> left) = 0;
    virtual void unwatch(MHD_Connection* connection) = 0;
    virtual Inbox& inbox() = 0;
    virtual std::shared_ptr<Inbox> sharedInbox() = 0;

protected:
    Plumbing() = default;
    Plumbing(const Plumbing&) = default;
    Plumbing& operator=(const Plumbing&) = default;
};

// What a request asks for: each route is one path with one method (and HEAD where it is GET).
enum class Route { Boards, Board, Retire, Led, OneLed, Events, Health, Metrics, Asset };

// A request as the routes found it.
struct Request {
    Route route = Route::Asset;
    std::string id; // the board's, in the path
    int led = 0;    // the LED in the path, 1 to LED_COUNT; 0 for a number that is not one
    // Whether the client may read the API: no token is needed, or it gave the right one.
    bool authorized = true;
};

// How an LED request (PUT) ends: its outcome, shared with the hub's done callback, which may come
// after the request has ended (answered at its deadline, or its client gone).
struct LedWait;

class Api {
public:
    Api(const HttpOptions& options, Hub& hub, Plumbing& plumbing);
    ~Api();
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    // The library's access handler, for a request its checks passed (http_server.cpp): called
    // once with the headers, then for each piece of the body, then once the body is whole.
    MHD_Result handle(MHD_Connection* connection, Request request, std::string_view method,
                      const char* upload, std::size_t* uploadSize, void** context);
    // The request with this context has ended (answered, or its connection closed).
    void completed(void* context);
    // A change of the hub, on this thread, numbered as the inbox posted it.
    void changed(const Change& change, std::uint64_t number);
    // Runs what is due by `now`; when something is due next.
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const;
    // Ends every event stream and answers every waiting request: the server stops.
    void stop();
    // No stream and no request waits any more.
    bool idle() const;
    // Refuses an LED or retire request for what it asked, counted for the metrics.
    MHD_Result refuseCommand(MHD_Connection* connection, unsigned status, std::string_view why);

private:
    // An LED request past its head, until it has ended.
    struct Exchange {
        MHD_Connection* connection;
        std::string id;
        int led = 0; // one LED (PUT …/leds/N), or 0 for the whole value (PUT …/led)
        std::string body;
        bool tooLarge = false;
        bool suspended = false;
        // The value whose lamps the board must show for a 200; -1: the one the hub asked for.
        int value = -1;
        std::shared_ptr<LedWait> wait;
        std::optional<Clock::time_point> deadline; // of the wait for the request's outcome
    };

    MHD_Result startStream(MHD_Connection* connection, std::string_view method, void** context);
    MHD_Result retire(MHD_Connection* connection, const std::string& id);
    MHD_Result health(MHD_Connection* connection, bool authorized);
    MHD_Result metrics(MHD_Connection* connection);
    // The count of event streams, for the metrics.
    void streamsCounted();
    MHD_Result takeLed(Exchange& exchange, const char* upload, std::size_t* uploadSize);
    // Hands the request to the hub; false when its body was refused (answered already).
    bool askHub(Exchange& exchange, const Hub::SetDone& done);
    void answerLed(Exchange& exchange, const SetResult& result);
    static void answerSuspended(Exchange& exchange, unsigned status, const std::string& body);

    const HttpOptions& options_;
    Hub& hub_;
    Plumbing& plumbing_;
    // Every PUT past its head, by the context the library keeps for it.
    std::map<void*, std::unique_ptr<Exchange>> exchanges_;
    EventStreams streams_;
    bool stopping_ = false;
};

// Answers `status` with `body` (JSON) on `connection`, with the headers every answer has; a
// refusal (4xx, 5xx) also closes the connection. For a handler, and for a suspended connection.
struct HeaderLine {
    const char* name;
    const char* value;
};
MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   std::initializer_list<HeaderLine> headers = {});
MHD_Result refuse(MHD_Connection* connection, unsigned status, std::string_view why);
// The headers every answer has.
void addCommonHeaders(MHD_Response* response);

// Destroys the library's response (it keeps its own reference while it is queued).
struct ResponseDeleter {
    void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};
using ResponsePtr = std::unique_ptr<MHD_Response, ResponseDeleter>;

} // namespace ledboardd
