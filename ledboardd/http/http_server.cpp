// The HTTP front end's plumbing: libmicrohttpd in its external epoll mode on one thread of ours,
// which accepts the connections itself (to hold each address and the whole to a limit), gives
// each request a deadline, watches the suspended event streams' sockets, and routes requests
// (http_routes.cpp) to the API's handlers (http_api.cpp).
#include "http_server.hpp"

#include "http_api.hpp"
#include "http_routes.hpp"
#include "log.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <thread>
#include <unordered_map>
#include <utility>

namespace ledboardd {

namespace {

// Connections served at once, in all and from one address. Each costs a descriptor and about
// 10 KiB (bench/README.md): 1,100 leave room for a thousand event streams and the requests beside
// them within the 32 MiB the daemon is allowed; one address cannot take them all.
constexpr std::size_t MAX_CONNECTIONS = 1100;
constexpr std::size_t MAX_CONNECTIONS_PER_ADDRESS = 128;
// Connections waiting to be accepted; the kernel caps it at net.core.somaxconn (4096).
constexpr int LISTEN_BACKLOG = 1024;
// From its connection's start, or the answer before it, a request has this long to arrive
// whole, however it trickles in: a client that sends a byte every 2 s holds a connection 5 s.
constexpr std::chrono::seconds REQUEST_LIMIT{5};
// The library closes a connection that sends or takes nothing this long (a slow reader).
constexpr unsigned IDLE_SECONDS = 5;
// Each connection's memory pool in the library (its default): the request's head, up to the
// 8 KiB the routes allow plus the rest of the request line, and the answer's buffer.
constexpr std::size_t CONNECTION_MEMORY = 32 * 1024;
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

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct DaemonStopper {
    void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
};

const char* bindError(int error)
{
    switch (error) {
    case EADDRINUSE:
        return "address already in use";
    case EADDRNOTAVAIL:
        return "not an address of this host";
    case EACCES:
        return "permission denied";
    default:
        return std::strerror(error);
    }
}

// A listening socket on `host` (an IP literal or "localhost") and `port`; errno when it fails.
UniqueFd listenOn(const std::string& host, int port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        errno = EADDRNOTAVAIL;
        return UniqueFd{};
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses{found, &freeaddrinfo};
    UniqueFd socket{::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    const int on = 1;
    // SO_REUSEADDR lets a restart bind past its old connections' TIME_WAIT; unlike
    // SO_REUSEPORT (never set) it does not let two listeners share the port.
    if (socket.get() < 0 ||
        setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (found->ai_family == AF_INET6 &&
         setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        bind(socket.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        listen(socket.get(), LISTEN_BACKLOG) != 0) {
        const int error = errno;
        socket.reset();
        errno = error;
    }
    return socket;
}

// Enough descriptors for every connection above FIRST_HIGH_DESCRIPTOR, as far as the hard limit
// allows (systemd's soft limit is 1024).
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const rlim_t wanted = FIRST_HIGH_DESCRIPTOR + MAX_CONNECTIONS + SPARE_DESCRIPTORS;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

UniqueFd moveHigh(UniqueFd fd)
{
    const int high = fcntl(fd.get(), F_DUPFD_CLOEXEC, FIRST_HIGH_DESCRIPTOR);
    return high >= 0 ? UniqueFd{high} : std::move(fd);
}

// The client's address as a key: the IPv4 address of an IPv4-mapped one, so that it counts once.
std::string addressKey(const sockaddr* address)
{
    if (address == nullptr) {
        return {};
    }
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return {reinterpret_cast<const char*>(&v4->sin_addr), sizeof v4->sin_addr};
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        const auto* bytes = reinterpret_cast<const char*>(&v6->sin6_addr);
        constexpr std::size_t V4_MAPPED_PREFIX = 12;
        return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)
                   ? std::string{bytes + V4_MAPPED_PREFIX, sizeof v6->sin6_addr - V4_MAPPED_PREFIX}
                   : std::string{bytes, sizeof v6->sin6_addr};
    }
    return {};
}

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

    void received(MHD_Connection* connection) override
    {
        if (const auto found = peers_.find(connection); found != peers_.end()) {
            found->second.deadline.reset();
        }
    }
    void drop(MHD_Connection* connection) override
    {
        if (const auto found = peers_.find(connection); found != peers_.end()) {
            // The library sees the end of the connection at its next read or write and closes it.
            shutdown(found->second.fd, SHUT_RDWR);
        }
    }
    void watchHangup(MHD_Connection* connection, std::function<void()> left) override;
    void unwatch(MHD_Connection* connection) override;
    Inbox& inbox() override { return *inbox_; }
    std::shared_ptr<Inbox> sharedInbox() override { return inbox_; }

private:
    // One connection, from its start to its close.
    struct Peer {
        int fd;
        std::string address;
        std::optional<Clock::time_point> deadline; // of the request it is receiving
    };

    static MHD_Result access(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char* /*version*/, const char* upload,
                             std::size_t* uploadSize, void** context)
    {
        return static_cast<Impl*>(self)->routes_.handle(connection, url, method, upload,
                                                        uploadSize, context);
    }
    static void completed(void* self, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode /*code*/);
    static void connectionChanged(void* self, MHD_Connection* connection, void** socketContext,
                                  MHD_ConnectionNotificationCode code);
    static void log(void* /*self*/, const char* format, va_list arguments);

    void run();
    void acceptAll(Clock::time_point now);
    void sweep(Clock::time_point now);
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
    std::unordered_map<MHD_Connection*, Peer> peers_;
    std::unordered_map<std::string, std::size_t> perAddress_;
    // The watched streams' descriptors, with what to call when their client hangs up.
    std::unordered_map<int, std::function<void()>> hangups_;
    std::optional<Clock::time_point> nextSweep_;
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
    raiseDescriptorLimit();
    listener_ = listenOn(options_.host, options_.port);
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
        MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG,
        0, nullptr, nullptr, &Impl::access, this, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(MAX_CONNECTIONS), MHD_OPTION_CONNECTION_TIMEOUT, IDLE_SECONDS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, MHD_OPTION_NOTIFY_COMPLETED,
        &Impl::completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Impl::connectionChanged, this,
        MHD_OPTION_EXTERNAL_LOGGER, &Impl::log, this,
        // Header names with white space reach the routes, which refuse them in JSON.
        MHD_OPTION_STRICT_FOR_CLIENT, 0, MHD_OPTION_END));
    const MHD_DaemonInfo* info =
        daemon_ ? MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (info == nullptr) {
        logLine(LogLevel::Error, "cannot serve HTTP: libmicrohttpd did not start");
        return false;
    }
    for (const auto& [fd, tag] : {std::pair{wake_.get(), WAKE_TAG},
                                 std::pair{info->epoll_fd, LIBRARY_TAG}}) {
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
    while (true) {
        const int ready = epoll_wait(epoll_.get(), events.data(), MAX_EVENTS, timeout(Clock::now()));
        const Clock::time_point now = Clock::now();
        for (int i = 0; i < ready; ++i) {
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
        for (const Inbox::Task& task : inbox_->take()) {
            task();
        }
        if (acceptPaused_ && *acceptPaused_ <= now && listener_.get() >= 0) {
            acceptPaused_.reset();
            watchListener(true);
        }
        if (nextSweep_ && *nextSweep_ <= now) {
            sweep(now);
        }
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
        consider(now + std::chrono::milliseconds(std::min<MHD_UNSIGNED_LONG_LONG>(library, INT_MAX)));
    }
    consider(nextSweep_);
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
    while (true) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        UniqueFd client{accept4(listener_.get(), generic, &length, SOCK_NONBLOCK | SOCK_CLOEXEC)};
        if (client.get() < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays pending: rest rather than spin on it.
                logf(LogLevel::Warning, "HTTP: cannot accept a connection: %s",
                     std::strerror(errno));
                watchListener(false);
                acceptPaused_ = now + ACCEPT_PAUSE;
            }
            return;
        }
        const auto same = perAddress_.find(addressKey(generic));
        if (peers_.size() >= MAX_CONNECTIONS ||
            (same != perAddress_.end() && same->second >= MAX_CONNECTIONS_PER_ADDRESS)) {
            // Closed at once: a client over the limit is never left waiting.
            logLine(LogLevel::Debug, "HTTP: too many connections; one closed at once");
            continue;
        }
        client = moveHigh(std::move(client));
        // The library takes the socket, and closes it also when this fails.
        MHD_add_connection(daemon_.get(), client.release(), generic, length);
    }
}

void HttpServer::Impl::sweep(Clock::time_point now)
{
    nextSweep_.reset();
    for (auto& [connection, peer] : peers_) {
        if (!peer.deadline) {
            continue;
        }
        if (*peer.deadline <= now) {
            logLine(LogLevel::Debug, "HTTP: a request did not arrive in time; connection closed");
            peer.deadline.reset();
            shutdown(peer.fd, SHUT_RDWR);
        } else if (!nextSweep_ || *peer.deadline < *nextSweep_) {
            nextSweep_ = peer.deadline;
        }
    }
}

void HttpServer::Impl::completed(void* self, MHD_Connection* connection, void** context,
                                 MHD_RequestTerminationCode /*code*/)
{
    auto* impl = static_cast<Impl*>(self);
    impl->api_.completed(*context);
    *context = nullptr;
    // The next request on a kept-alive connection has its own time to arrive.
    if (const auto found = impl->peers_.find(connection); found != impl->peers_.end()) {
        const Clock::time_point deadline = Clock::now() + REQUEST_LIMIT;
        found->second.deadline = deadline;
        if (!impl->nextSweep_ || deadline < *impl->nextSweep_) {
            impl->nextSweep_ = deadline;
        }
    }
}

void HttpServer::Impl::connectionChanged(void* self, MHD_Connection* connection,
                                         void** /*socketContext*/,
                                         MHD_ConnectionNotificationCode code)
{
    auto* impl = static_cast<Impl*>(self);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        const auto found = impl->peers_.find(connection);
        if (found != impl->peers_.end()) {
            const auto same = impl->perAddress_.find(found->second.address);
            if (same != impl->perAddress_.end() && --same->second == 0) {
                impl->perAddress_.erase(same);
            }
            impl->peers_.erase(found);
        }
        return;
    }
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* address =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const Clock::time_point deadline = Clock::now() + REQUEST_LIMIT;
    Peer peer{fd == nullptr ? -1 : fd->connect_fd,
              addressKey(address == nullptr ? nullptr : address->client_addr), deadline};
    ++impl->perAddress_[peer.address];
    impl->peers_.emplace(connection, std::move(peer));
    if (!impl->nextSweep_ || deadline < *impl->nextSweep_) {
        impl->nextSweep_ = deadline;
    }
}

void HttpServer::Impl::watchHangup(MHD_Connection* connection, std::function<void()> left)
{
    const auto found = peers_.find(connection);
    if (found == peers_.end()) {
        return;
    }
    // Edge-triggered: one report of the hang-up, whether the library is writing to it or not.
    epoll_event event{.events = EPOLLRDHUP | EPOLLET,
                      .data = {.u64 = static_cast<std::uint64_t>(found->second.fd)}};
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, found->second.fd, &event) == 0) {
        hangups_[found->second.fd] = std::move(left);
    }
}

void HttpServer::Impl::unwatch(MHD_Connection* connection)
{
    const auto found = peers_.find(connection);
    if (found != peers_.end()) {
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, found->second.fd, nullptr);
        hangups_.erase(found->second.fd);
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
