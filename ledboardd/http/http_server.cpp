// The HTTP front end's plumbing: libmicrohttpd in its external epoll mode on one thread of ours,
// which accepts the connections itself (to hold each address and the whole to a limit), gives
// each request a deadline, watches the suspended event streams' sockets, and routes requests
// (http_routes.cpp) to the API's handlers (http_api.cpp).
#include "http_server.hpp"

#include "http_api.hpp"
#include "http_connections.hpp"
#include "http_routes.hpp"
#include "http_socket.hpp"
#include "log.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ledboardd {

namespace {

// Connections waiting to be accepted; the kernel caps it at net.core.somaxconn (4096).
constexpr int LISTEN_BACKLOG = 1024;
// The library closes a connection that sends or takes nothing this long (a slow reader).
constexpr unsigned IDLE_SECONDS = 5;
// Each connection's memory pool in the library, the most of what a connection costs (half the
// library's default of 32 KiB: 27 MiB instead of 35 MiB with a thousand streams, bench/README.md).
// It holds the request's head, up to the 8 KiB the routes take, and the answer's buffer.
constexpr std::size_t CONNECTION_MEMORY = std::size_t{16} * 1024;
// libmosquitto waits with pselect(), which takes descriptors below FD_SETSIZE only: the HTTP
// connections go above it, so that a reconnect to the broker never gets one out of its reach.
constexpr int FIRST_HIGH_DESCRIPTOR = FD_SETSIZE;
constexpr rlim_t SPARE_DESCRIPTORS = 64;
// After accept() ran out of descriptors or memory, the listening socket rests this long.
constexpr std::chrono::milliseconds ACCEPT_PAUSE{100};
constexpr int MAX_EVENTS = 64;
constexpr std::size_t LOG_LINE = 512;
// What the epoll events carry: a hung-up connection's descriptor, or one of these.
constexpr std::uint64_t LISTEN_TAG = 1ULL << 40;
constexpr std::uint64_t WAKE_TAG = 2ULL << 40;
constexpr std::uint64_t LIBRARY_TAG = 3ULL << 40;

struct DaemonStopper {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
};

} // namespace

class HttpServer::Impl final : public Plumbing {
public:
    Impl(HttpOptions options, Hub& hub)
        : options_(std::move(options)), hub_(hub), api_(options_, hub_, *this),
          routes_(options_, api_, *this)
    {
    }
    ~Impl() override
    {
        if (inbox_) {
            inbox_->close();
        }
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    bool start();
    bool stop(std::chrono::milliseconds limit);

    void received(MHD_Connection* connection) override { connections_.received(connection); }
    void drop(MHD_Connection* connection) override { connections_.drop(connection); }
    void watchHangup(MHD_Connection* connection, std::function<void()> left) override;
    void unwatch(MHD_Connection* connection) override;
    Inbox& inbox() override { return *inbox_; }
    std::shared_ptr<Inbox> sharedInbox() override { return inbox_; }

private:
    static MHD_Result access(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char* /*version*/, const char* upload,
                             std::size_t* uploadSize, void** context)
    {
        return static_cast<Impl*>(self)->routes_.handle(connection, url, method, upload, uploadSize,
                                                        context);
    }
    static void completed(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode /*code*/);
    static void connectionChanged(void* self, MHD_Connection* connection, void** socketContext,
                                  MHD_ConnectionNotificationCode code);
    static void log(void* /*self*/, const char* format, va_list arguments);

    void run();
    void acceptAll(Clock::time_point now);
    int timeout(Clock::time_point now);
    void beginStop(std::chrono::milliseconds limit);
    void watchListener(bool on);

    HttpOptions options_;
    Hub& hub_;
    Api api_;
    Routes routes_;
    UniqueFd listener_;
    UniqueFd epoll_;
    UniqueFd wake_;
    std::shared_ptr<Inbox> inbox_;
    std::unique_ptr<MHD_Daemon, DaemonStopper> daemon_;
    Connections connections_{hub_};
    // The watched streams' descriptors, with what to call when their client hangs up.
    std::unordered_map<int, std::function<void()>> hangups_;
    std::optional<Clock::time_point> acceptPaused_;
    std::optional<Clock::time_point> stopBy_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

HttpServer::HttpServer(HttpOptions options, Hub& hub)
    : impl_(std::make_unique<Impl>(std::move(options), hub))
{
}

HttpServer::~HttpServer()
{
    stop(std::chrono::milliseconds::max());
}

bool HttpServer::start()
{
    return impl_->start();
}

bool HttpServer::stop(std::chrono::milliseconds limit)
{
    return impl_->stop(limit);
}

bool HttpServer::Impl::start()
{
    raiseDescriptorLimit(FIRST_HIGH_DESCRIPTOR + MAX_CONNECTIONS + SPARE_DESCRIPTORS);
    listener_ = listenOn(options_.host, options_.port, LISTEN_BACKLOG);
    if (listener_.get() < 0) {
        logf(LogLevel::Error, "cannot listen for HTTP on %s port %d: %s", options_.host.c_str(),
             options_.port, bindError(errno));
        return false;
    }
    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (epoll_.get() < 0 || wake_.get() < 0) {
        logf(LogLevel::Error, "cannot serve HTTP: %s", std::strerror(errno));
        return false;
    }
    inbox_ = std::make_shared<Inbox>(wake_.get());
    // External epoll mode: no thread of the library's; its descriptor goes into our epoll.
    daemon_.reset(MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0,
        nullptr, nullptr, &Impl::access, this,
        // First, so that the library's messages about the options go to the log too.
        MHD_OPTION_EXTERNAL_LOGGER, &Impl::log, this, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(MAX_CONNECTIONS), MHD_OPTION_CONNECTION_TIMEOUT, IDLE_SECONDS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, MHD_OPTION_NOTIFY_COMPLETED,
        &Impl::completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Impl::connectionChanged, this,
        // Header names with white space reach the routes, which refuse them in JSON.
        MHD_OPTION_STRICT_FOR_CLIENT, 0, MHD_OPTION_END));
    const MHD_DaemonInfo* info =
        daemon_ ? MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (info == nullptr) {
        logLine(LogLevel::Error, "cannot serve HTTP: libmicrohttpd did not start");
        return false;
    }
    for (const auto& [fd, tag] :
         {std::pair{wake_.get(), WAKE_TAG}, std::pair{info->epoll_fd, LIBRARY_TAG}}) {
        epoll_event event{.events = EPOLLIN, .data = {.u64 = tag}};
        epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event);
    }
    watchListener(true);
    hub_.addListener([inbox = inbox_, api = &api_](const Change& change) {
        // On the server's thread, which alone touches the streams.
        inbox->postChange([api, change](std::uint64_t number) { api->changed(change, number); });
    });
    thread_ = std::thread([this] { run(); });
    logf(LogLevel::Info, "serving HTTP on %s port %d%s", options_.host.c_str(), options_.port,
         options_.token ? " (with a token)" : "");
    return true;
}

bool HttpServer::Impl::stop(std::chrono::milliseconds limit)
{
    if (!thread_.joinable()) {
        return true;
    }
    inbox_->post([this, limit] { beginStop(limit); });
    {
        std::unique_lock lock(mutex_);
        if (limit == std::chrono::milliseconds::max()) {
            finished_.wait(lock, [this] { return done_; });
        } else if (!finished_.wait_for(lock, limit, [this] { return done_; })) {
            return false;
        }
    }
    thread_.join();
    return true;
}

void HttpServer::Impl::beginStop(std::chrono::milliseconds limit)
{
    watchListener(false);
    listener_.reset();
    const Clock::time_point now = Clock::now();
    stopBy_ = limit > std::chrono::hours(1) ? now + std::chrono::hours(1) : now + limit;
    api_.stop();
}

void HttpServer::Impl::watchListener(bool on)
{
    epoll_event event{.events = EPOLLIN, .data = {.u64 = LISTEN_TAG}};
    epoll_ctl(epoll_.get(), on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listener_.get(), &event);
}

void HttpServer::Impl::run()
{
    std::array<epoll_event, MAX_EVENTS> events{};
    std::vector<Inbox::Task> tasks;
    while (true) {
        const int ready =
            epoll_wait(epoll_.get(), events.data(), MAX_EVENTS, timeout(Clock::now()));
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < static_cast<std::size_t>(std::max(ready, 0)); ++i) {
            const std::uint64_t tag = events.at(i).data.u64;
            if (tag == LISTEN_TAG) {
                acceptAll(now);
            } else if (tag == WAKE_TAG) {
                std::uint64_t count = 0;
                static_cast<void>(::read(wake_.get(), &count, sizeof count));
            } else if (tag != LIBRARY_TAG) {
                const auto found = hangups_.find(static_cast<int>(tag));
                if (found != hangups_.end()) {
                    const std::function<void()> left = std::move(found->second);
                    hangups_.erase(found);
                    left();
                }
            }
        }
        inbox_->take(tasks);
        for (const Inbox::Task& task : tasks) {
            task();
        }
        if (acceptPaused_ && *acceptPaused_ <= now && listener_.get() >= 0) {
            acceptPaused_.reset();
            watchListener(true);
        }
        connections_.sweep(now);
        api_.tick(now);
        MHD_run(daemon_.get());
        if (stopBy_ && (api_.idle() || *stopBy_ <= now)) {
            break;
        }
    }
    // Every connection is resumed by now; the library closes what is left (idle keep-alives,
    // requests still arriving).
    inbox_->close();
    daemon_.reset();
    const std::lock_guard lock(mutex_);
    done_ = true;
    finished_.notify_all();
}

int HttpServer::Impl::timeout(Clock::time_point now)
{
    std::optional<Clock::time_point> due;
    const auto consider = [&due](const std::optional<Clock::time_point>& at) {
        if (at && (!due || *at < *due)) {
            due = at;
        }
    };
    MHD_UNSIGNED_LONG_LONG library = 0;
    if (MHD_get_timeout(daemon_.get(), &library) == MHD_YES) {
        consider(now +
                 std::chrono::milliseconds(std::min<MHD_UNSIGNED_LONG_LONG>(library, INT_MAX)));
    }
    consider(connections_.nextDue());
    consider(api_.nextDue());
    consider(acceptPaused_);
    consider(stopBy_);
    if (!due) {
        return -1;
    }
    if (*due <= now) {
        return 0;
    }
    // Rounded up: woken before it is due, the loop would only wait again.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
    return static_cast<int>(std::min<decltype(wait)>(wait, INT_MAX));
}

void HttpServer::Impl::acceptAll(Clock::time_point now)
{
    if (!connections_.acceptAll(listener_.get(), daemon_.get(), FIRST_HIGH_DESCRIPTOR)) {
        // The pending connection stays pending: rest rather than spin on it.
        watchListener(false);
        acceptPaused_ = now + ACCEPT_PAUSE;
    }
}

void HttpServer::Impl::completed(void* self, MHD_Connection* connection, void** context,
                                 MHD_RequestTerminationCode /*code*/)
{
    auto* impl = static_cast<Impl*>(self);
    impl->api_.completed(*context);
    *context = nullptr;
    impl->connections_.answered(connection, Clock::now());
}

void HttpServer::Impl::connectionChanged(void* self, MHD_Connection* connection,
                                         void** /*socketContext*/,
                                         MHD_ConnectionNotificationCode code)
{
    auto* impl = static_cast<Impl*>(self);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        impl->connections_.closed(connection);
    } else {
        impl->connections_.started(connection, Clock::now());
    }
}

void HttpServer::Impl::watchHangup(MHD_Connection* connection, std::function<void()> left)
{
    const int fd = connections_.fd(connection);
    // Edge-triggered: one report of the hang-up, whether the library is writing to it or not.
    epoll_event event{.events = EPOLLRDHUP | EPOLLET,
                      .data = {.u64 = static_cast<std::uint64_t>(fd)}};
    if (fd >= 0 && epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0) {
        hangups_[fd] = std::move(left);
    }
}

void HttpServer::Impl::unwatch(MHD_Connection* connection)
{
    const int fd = connections_.fd(connection);
    if (hangups_.erase(fd) > 0 || fd >= 0) {
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    }
}

void HttpServer::Impl::log(void* /*self*/, const char* format, va_list arguments)
{
    std::array<char, LOG_LINE> line{};
    std::vsnprintf(line.data(), line.size(), format, arguments);
    std::string_view text = line.data();
    while (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    logf(LogLevel::Debug, "libmicrohttpd: %.*s", static_cast<int>(text.size()), text.data());
}

} // namespace ledboardd
