// The HTTP front end: the JSON API, the event stream and the web page, on cpp-httplib. It reads
// the boards from the registry and sets them through Boards::setLed; it never waits on a board.
//   GET /api/boards            {"boards":[BOARD,…]}
//   GET /api/boards/ID         BOARD
//   PUT /api/boards/ID/led     body `5` or {"led":5}: 200 BOARD once applied, 202 when kept
//   GET /api/events            text/event-stream: snapshot, then arrived/state/left/button
//   GET / and its files        the page, built into the binary
#pragma once

#include "boards.hpp"
#include "http_rules.hpp"
#include "registry.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace ledboardd {

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0;
    std::optional<std::string> token; // when set, /api/ needs it
    std::string hostName;             // a name the Host header may give besides IP literals
};

class HttpServer {
public:
    HttpServer(HttpOptions options, Registry& registry, Boards& boards);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address and serves in the background. False, with a log line, when the address
    // cannot be bound.
    bool start();

    // Ends every event stream and stops serving. False when some request was still running
    // after `limit`: the caller then exits without destroying this.
    bool stop(std::chrono::milliseconds limit);

private:
    class ConnectionQueue;

    void route();
    // Checks made before any route, before the body is read: connection limit, header size,
    // the headers that frame the body, Host, token. True when `response` is the answer.
    bool refused(const httplib::Request& request, const RequestFraming& framing,
                 httplib::Response& response);
    // Answers a request that carries no body with a method the library would wait for one
    // for. True when `response` is the answer.
    bool answeredWithoutBody(const httplib::Request& request, const RequestFraming& framing,
                             httplib::Response& response);
    // The method a path is served with, or nullptr for a path that is not served.
    const char* allowedMethod(const std::string& path) const;
    void putLed(const httplib::Request& request, httplib::Response& response);
    void events(httplib::Response& response);

    HttpOptions options_;
    Registry& registry_;
    Boards& boards_;
    std::unique_ptr<httplib::Server> server_;
    // Every path pattern with the one method it takes; fixed once route() has run.
    struct Route {
        std::regex pattern;
        const char* method;
    };
    std::vector<Route> routes_;
    ConnectionQueue* connections_ = nullptr; // owned by server_ once serving

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool serving_ = false;
};

} // namespace ledboardd
