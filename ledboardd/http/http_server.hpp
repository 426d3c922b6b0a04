// The HTTP front end on GNU libmicrohttpd: the JSON API, the event stream and the web page, all on
// one thread of its own that never waits on a client or a board.
//   GET /api/boards            {"boards":[BOARD,…]}
//   GET /api/boards/ID         BOARD
//   DELETE /api/boards/ID      forgets a board that is away: 204, 409 while it is here
//   PUT /api/boards/ID/led     body `5` or {"led":5}: 200 BOARD once applied, 202 when kept
//   PUT /api/boards/ID/leds/N  body `true`/`false` (on, off, blink, none): LED N, 1 to 3, alone
//   GET /api/events            text/event-stream: snapshot, then arrived/state/left/button
//   GET /healthz               {"status":"ok"}, or 503 with the reasons (no token needed)
//   GET /metrics               Prometheus's text format, with --metrics
//   GET / and its files        the page, built into the binary
#pragma once

#include "hub.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace ledboardd {

// The HTTP front end's name in the hub (Hub::setFrontEnd), and the label of its metrics.
inline constexpr const char* HTTP_FRONT_END = "http";

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    std::optional<std::string> token;       // when set, /api/ needs it
    std::string hostName;                   // a name the Host header may give besides IP literals
    std::chrono::milliseconds interval{50}; // how often each board is read (for /healthz)
    bool metrics = false;                   // GET /metrics is served
};

class HttpServer {
public:
    HttpServer(HttpOptions options, Hub& hub);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address and serves in the background. False, with a log line, when the address
    // cannot be bound (in use: never shared).
    bool start();

    // Ends every event stream and stops serving. False when some request was still running
    // after `limit`: the caller then exits without destroying this.
    bool stop(std::chrono::milliseconds limit);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace ledboardd
