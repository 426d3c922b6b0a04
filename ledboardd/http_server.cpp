#include "http_server.hpp"

#include "http_rules.hpp"
#include "ledboard_device.hpp"
#include "log.hpp"
#include "web_assets.hpp"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string_view>
#include <utility>
#include <vector>

namespace ledboardd {

namespace {

// Each connection holds a thread of the pool for as long as it lasts, and an event stream lasts
// as long as its page is open: the pool is sized for the streams and the requests beside them.
constexpr std::size_t MAX_EVENT_STREAMS = 120;
constexpr std::size_t MAX_CONNECTIONS = 150;
// Threads beyond the limit, so that connections over it are still answered (503), not queued.
constexpr std::size_t SPARE_THREADS = 8;

// An LED number, or {"led":31}, with room for white space: anything larger is not one.
constexpr std::size_t MAX_BODY = 1024;
// The request's headers together. cpp-httplib itself refuses any one line over 8 KiB.
constexpr std::size_t MAX_HEADER_BYTES = 8192;

// How long PUT waits for the board to report its new LEDs: a few of its reads.
constexpr std::chrono::milliseconds LED_WAIT{1000};

// An event stream's comment line at least this often, so that proxies and the browser keep it
// open, and so that a client that went away is noticed.
constexpr std::chrono::milliseconds KEEP_ALIVE{15000};
// Events queued for one stream before it counts as stuck and is dropped: several seconds of a
// busy board's changes.
constexpr std::size_t STREAM_QUEUE = 256;
// What EventSource waits before reconnecting after the stream ends.
constexpr const char* RETRY_MS = "1000";

// Idle keep-alive connections are closed after this; short, since a stop waits for them.
constexpr time_t KEEP_ALIVE_TIMEOUT_SECONDS = 1;
constexpr std::size_t KEEP_ALIVE_MAX_REQUESTS = 1000;
// A client that sends or reads nothing this long is dropped.
constexpr time_t READ_TIMEOUT_SECONDS = 5;
constexpr time_t WRITE_TIMEOUT_SECONDS = 5;

constexpr const char* JSON = "application/json";
constexpr const char* TOKEN_COOKIE = "ledboardd_token";

constexpr int OK = 200;
constexpr int ACCEPTED = 202;
constexpr int BAD_REQUEST = 400;
constexpr int UNAUTHORIZED = 401;
constexpr int FORBIDDEN = 403;
constexpr int NOT_FOUND = 404;
constexpr int METHOD_NOT_ALLOWED = 405;
constexpr int PAYLOAD_TOO_LARGE = 413;
constexpr int URI_TOO_LONG = 414;
constexpr int RANGE_NOT_SATISFIABLE = 416;
constexpr int HEADERS_TOO_LARGE = 431;
constexpr int INTERNAL_ERROR = 500;
constexpr int UNAVAILABLE = 503;
constexpr int FIRST_SERVER_ERROR = 500;

// cpp-httplib reads a body for these methods whatever the headers say: with neither
// Content-Length nor Transfer-Encoding it waits for the client to close (or the read timeout),
// where HTTP says such a request has no body at all.
constexpr std::array<std::string_view, 5> METHODS_READ_WITH_BODY = {"POST", "PUT", "PATCH",
                                                                    "DELETE", "PRI"};

void sendError(httplib::Response& response, int status, std::string_view text)
{
    response.status = status;
    response.set_content(errorJson(text), JSON);
}

const char* reasonOf(int status)
{
    switch (status) {
    case BAD_REQUEST:
        return "bad request";
    case UNAUTHORIZED:
        return "a token is needed";
    case FORBIDDEN:
        return "forbidden";
    case NOT_FOUND:
        return "not found";
    case METHOD_NOT_ALLOWED:
        return "method not allowed";
    case PAYLOAD_TOO_LARGE:
        return "body too large";
    case URI_TOO_LONG:
        return "URI too long";
    case RANGE_NOT_SATISFIABLE:
        return "range not satisfiable";
    case HEADERS_TOO_LARGE:
        return "headers too large";
    case INTERNAL_ERROR:
        return "internal error";
    case UNAVAILABLE:
        return "too many connections";
    default:
        // None of the library's own answers comes here; a status added later still says
        // which side failed.
        return status >= FIRST_SERVER_ERROR ? "server error" : "request refused";
    }
}

void refuseMethod(const httplib::Request& request, httplib::Response& response, const char* allowed)
{
    response.set_header("Allow", allowed);
    sendError(response, METHOD_NOT_ALLOWED, request.method + " not allowed here; use " + allowed);
}

std::string eventText(const char* name, const std::string& data)
{
    std::string text = "event: ";
    text += name;
    text += "\ndata: ";
    text += data; // JSON from dump() never holds a line break
    text += "\n\n";
    return text;
}

std::string eventText(const RegistryEvent& event)
{
    switch (event.kind) {
    case RegistryEvent::Kind::Arrived:
        return eventText("arrived", boardJson(event.board));
    case RegistryEvent::Kind::State:
        return eventText("state", boardJson(event.board));
    case RegistryEvent::Kind::Left:
        return eventText("left", boardJson(event.board));
    case RegistryEvent::Kind::Button:
        return eventText("button", buttonJson(event.board.info.id, event.pressed));
    }
    return {};
}

} // namespace

// The library's thread pool, counting the connections it serves.
class HttpServer::ConnectionQueue final : public httplib::TaskQueue {
public:
    explicit ConnectionQueue(std::size_t threads) : pool_(threads) {}

    void enqueue(std::function<void()> connection) override
    {
        pool_.enqueue([this, connection = std::move(connection)] {
            ++active_;
            connection();
            --active_;
        });
    }
    void shutdown() override { pool_.shutdown(); }

    std::size_t active() const { return active_; }

private:
    httplib::ThreadPool pool_;
    std::atomic<std::size_t> active_{0};
};

HttpServer::HttpServer(HttpOptions options, Registry& registry, Boards& boards)
    : options_(std::move(options)), registry_(registry), boards_(boards),
      server_(std::make_unique<httplib::Server>())
{
}

HttpServer::~HttpServer()
{
    stop(std::chrono::milliseconds::max());
}

bool HttpServer::start()
{
    server_->new_task_queue = [this] {
        auto* queue = new ConnectionQueue(MAX_CONNECTIONS + SPARE_THREADS);
        connections_ = queue;
        return queue;
    };
    server_->set_payload_max_length(MAX_BODY);
    server_->set_keep_alive_timeout(KEEP_ALIVE_TIMEOUT_SECONDS);
    server_->set_keep_alive_max_count(KEEP_ALIVE_MAX_REQUESTS);
    server_->set_read_timeout(READ_TIMEOUT_SECONDS);
    server_->set_write_timeout(WRITE_TIMEOUT_SECONDS);
    // Events are small and must not wait for a full segment.
    server_->set_tcp_nodelay(true);
    server_->set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                  {"Content-Security-Policy", "default-src 'self'"},
                                  {"Cache-Control", "no-store"}});
    route();
    if (!server_->bind_to_port(options_.host, options_.port)) {
        logf(LogLevel::Error,
             "cannot listen for HTTP on %s port %d (in use, or not an address "
             "of this host?)",
             options_.host.c_str(), options_.port);
        return false;
    }
    serving_ = true;
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        const std::lock_guard lock(mutex_);
        serving_ = false;
        finished_.notify_all();
    });
    logf(LogLevel::Info, "serving HTTP on %s port %d%s", options_.host.c_str(), options_.port,
         options_.token ? " (with a token)" : "");
    return true;
}

bool HttpServer::stop(std::chrono::milliseconds limit)
{
    if (!thread_.joinable()) {
        return true;
    }
    registry_.closeAll();
    server_->stop();
    {
        std::unique_lock lock(mutex_);
        const bool forever = limit == std::chrono::milliseconds::max();
        if (forever) {
            finished_.wait(lock, [this] { return !serving_; });
        } else if (!finished_.wait_for(lock, limit, [this] { return !serving_; })) {
            return false;
        }
    }
    thread_.join();
    return true;
}

bool HttpServer::refused(const httplib::Request& request, const RequestFraming& framing,
                         httplib::Response& response)
{
    if (connections_ != nullptr && connections_->active() > MAX_CONNECTIONS) {
        response.set_header("Connection", "close");
        sendError(response, UNAVAILABLE, "too many connections; try again later");
        return true;
    }
    std::size_t headerBytes = 0;
    for (const auto& [name, value] : request.headers) {
        headerBytes += name.size() + value.size();
    }
    if (headerBytes > MAX_HEADER_BYTES) {
        sendError(response, HEADERS_TOO_LARGE, "request headers too large");
        return true;
    }
    if (framing.refusal != nullptr) {
        sendError(response, BAD_REQUEST, framing.refusal);
        return true;
    }
    const std::string host = request.get_header_value("Host");
    if (!isAllowedHost(host, options_.port, options_.hostName)) {
        // A name this server does not know as its own: possibly a page that had its own name
        // point here (DNS rebinding).
        sendError(response, FORBIDDEN, "Host does not name this server");
        return true;
    }
    if (options_.token && request.path.starts_with("/api/")) {
        std::optional<std::string> given = bearerToken(request.get_header_value("Authorization"));
        if (!given) {
            given = cookieValue(request.get_header_value("Cookie"), TOKEN_COOKIE);
        }
        if (!given || !tokensMatch(*given, *options_.token)) {
            response.set_header("WWW-Authenticate", "Bearer");
            sendError(response, UNAUTHORIZED,
                      given ? "wrong token" : "a token is needed (Authorization: Bearer)");
            return true;
        }
    }
    return false;
}

bool HttpServer::answeredWithoutBody(const httplib::Request& request, const RequestFraming& framing,
                                     httplib::Response& response)
{
    if (framing.contentLength || framing.chunked ||
        std::ranges::find(METHODS_READ_WITH_BODY, request.method) == METHODS_READ_WITH_BODY.end()) {
        return false;
    }
    // What the route would answer to an empty body, without the library's wait for one.
    const char* allowed = allowedMethod(request.path);
    if (allowed == nullptr) {
        sendError(response, NOT_FOUND, reasonOf(NOT_FOUND));
    } else if (request.method != allowed) {
        refuseMethod(request, response, allowed);
    } else {
        sendError(response, BAD_REQUEST, "no body (send it with a Content-Length)");
    }
    return true;
}

const char* HttpServer::allowedMethod(const std::string& path) const
{
    const auto served = std::ranges::find_if(
        routes_, [&path](const Route& known) { return std::regex_match(path, known.pattern); });
    return served == routes_.end() ? nullptr : served->method;
}

void HttpServer::route()
{
    httplib::Server& server = *server_;
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            std::vector<HeaderField> fields;
            fields.reserve(request.headers.size());
            for (const auto& [name, value] : request.headers) {
                fields.push_back({name, value});
            }
            const RequestFraming framing = readFraming(fields);
            if (!refused(request, framing, response) &&
                !answeredWithoutBody(request, framing, response)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            if ((framing.refusal != nullptr || framing.hasBody()) &&
                !response.has_header("Connection")) {
                // Answered with the body unread: the client is not to send its next request
                // on this connection, where the rest of the body would be taken for it.
                response.set_header("Connection", "close");
            }
            return httplib::Server::HandlerResponse::Handled;
        });
    // Errors the library answers itself (unknown path, body too large) get a JSON body too.
    server.set_error_handler(httplib::Server::HandlerWithResponse{
        [](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty()) {
                sendError(response, response.status, reasonOf(response.status));
            }
            return httplib::Server::HandlerResponse::Handled;
        }});

    // Every other method on a known path: 405 with the one that is allowed.
    const auto onlyAllow = [this, &server](const std::string& pattern, const char* allowed) {
        routes_.push_back({std::regex{pattern}, allowed});
        const auto refuse = [allowed](const httplib::Request& request,
                                      httplib::Response& response) {
            refuseMethod(request, response, allowed);
        };
        const std::string_view allow = allowed;
        if (allow != "GET") {
            server.Get(pattern, refuse);
        }
        if (allow != "PUT") {
            server.Put(pattern, refuse);
        }
        server.Post(pattern, refuse);
        server.Patch(pattern, refuse);
        server.Delete(pattern, refuse);
        server.Options(pattern, refuse);
    };

    server.Get("/api/boards", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(boardsJson(registry_.boards()), JSON);
    });
    onlyAllow("/api/boards", "GET");

    server.Get("/api/boards/([^/]+)",
               [this](const httplib::Request& request, httplib::Response& response) {
                   const auto board = registry_.board(request.matches[1]);
                   if (!board) {
                       sendError(response, NOT_FOUND, "no board with this id");
                       return;
                   }
                   response.set_content(boardJson(*board), JSON);
               });
    onlyAllow("/api/boards/([^/]+)", "GET");

    server.Put("/api/boards/([^/]+)/led",
               [this](const httplib::Request& request, httplib::Response& response) {
                   putLed(request, response);
               });
    onlyAllow("/api/boards/([^/]+)/led", "PUT");

    server.Get("/api/events",
               [this](const httplib::Request&, httplib::Response& response) { events(response); });
    onlyAllow("/api/events", "GET");

    for (const WebAsset& asset : webAssets()) {
        const auto serve = [&asset](const httplib::Request&, httplib::Response& response) {
            response.set_content(reinterpret_cast<const char*>(asset.bytes.data()),
                                 asset.bytes.size(), std::string{asset.contentType});
        };
        // Routes are regular expressions: the dots of a file name must match only a dot.
        std::string pattern;
        for (const char c : asset.path) {
            pattern += c == '.' ? std::string{"\\."} : std::string(1, c);
        }
        server.Get(pattern, serve);
        onlyAllow(pattern, "GET");
        if (asset.path == "/index.html") {
            server.Get("/", serve);
            onlyAllow("/", "GET");
        }
    }
}

void HttpServer::putLed(const httplib::Request& request, httplib::Response& response)
{
    // A page elsewhere may send a write here through the user's browser: only the page served
    // from here may. Clients other than browsers send no Origin.
    if (request.has_header("Origin") &&
        !isSameOrigin(request.get_header_value("Origin"), request.get_header_value("Host"))) {
        sendError(response, FORBIDDEN, "writes only from this server's own page");
        return;
    }
    const std::string id = request.matches[1];
    const LedCommand command = parseLedBody(request.body);
    if (command.refusal != nullptr) {
        sendError(response, BAD_REQUEST, std::string{"LED: "} + command.refusal);
        return;
    }
    if (!registry_.board(id)) {
        sendError(response, NOT_FOUND, "no board with this id");
        return;
    }
    const std::uint64_t appliedBefore = registry_.ledsApplied(id);
    if (!boards_.setLed(id, command.value)) {
        // Away: the core keeps it for the board's return, and tells the registry (ledKept).
        const auto board = registry_.board(id);
        response.status = ACCEPTED;
        response.set_content(boardJson(*board), JSON);
        return;
    }
    const auto outcome = registry_.waitForLed(id, appliedBefore, command.value,
                                              reportedLed(command.value), LED_WAIT);
    if (!outcome) {
        sendError(response, NOT_FOUND, "no board with this id");
        return;
    }
    BoardView board = outcome->board;
    if (!outcome->reached && !board.available) {
        // It left before applying it; the core still has it for its return.
        registry_.setPending(id, command.value);
        board.pending = command.value;
    }
    response.status = outcome->reached ? OK : ACCEPTED;
    response.set_content(boardJson(board), JSON);
}

void HttpServer::events(httplib::Response& response)
{
    Registry::Subscribed subscribed = registry_.subscribe(STREAM_QUEUE, MAX_EVENT_STREAMS);
    if (!subscribed.subscription) {
        sendError(response, UNAVAILABLE, "too many event streams; try again later");
        return;
    }
    std::shared_ptr<Subscription> subscription = subscribed.subscription;
    std::string first = std::string{"retry: "} + RETRY_MS + "\n\n" +
                        eventText("snapshot", boardsJson(subscribed.boards));
    // The stream ends with its connection; the next request on it would wait behind it anyway.
    response.set_header("Connection", "close");
    response.set_header("X-Accel-Buffering", "no");
    response.set_chunked_content_provider(
        "text/event-stream",
        [subscription, first = std::move(first)](std::size_t offset, httplib::DataSink& sink) {
            if (offset == 0) {
                return sink.write(first.data(), first.size());
            }
            const auto events = subscription->take(KEEP_ALIVE);
            if (!subscription->isOpen()) {
                // Shut down, or fallen too far behind: the client reconnects and starts over
                // from a snapshot.
                sink.done();
                return true;
            }
            std::string text;
            for (const auto& event : events) {
                text += eventText(*event);
            }
            if (text.empty()) {
                text = ": keep-alive\n\n";
            }
            return sink.write(text.data(), text.size());
        },
        [this, subscription](bool) { registry_.unsubscribe(subscription); });
}

} // namespace ledboardd
