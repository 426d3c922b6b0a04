#include "http_connections.hpp"

#include "http_server.hpp"
#include "http_socket.hpp"
#include "log.hpp"

#include <cerrno>
#include <cstring>

namespace ledboardd {

namespace {

// From its connection's start, or the answer before it, a request has this long to arrive
// whole, however it trickles in: a client that sends a byte every 2 s holds a connection 5 s.
constexpr std::chrono::seconds REQUEST_LIMIT{5};

} // namespace

bool Connections::admits(const sockaddr* address) const
{
    const auto same = perAddress_.find(addressKey(address));
    return peers_.size() < MAX_CONNECTIONS &&
           (same == perAddress_.end() || same->second < MAX_CONNECTIONS_PER_ADDRESS);
}

bool Connections::acceptAll(int listener, MHD_Daemon* daemon, int floor) const
{
    while (true) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        UniqueFd client{accept4(listener, generic, &length, SOCK_NONBLOCK | SOCK_CLOEXEC)};
        if (client.get() < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                logf(LogLevel::Warning, "HTTP: cannot accept a connection: %s",
                     std::strerror(errno));
                return false;
            }
            return true;
        }
        if (!admits(generic)) {
            // Closed at once: a client over the limit is never left waiting.
            logLine(LogLevel::Debug, "HTTP: too many connections; one closed at once");
            continue;
        }
        client = moveAbove(std::move(client), floor);
        // The library takes the socket, and closes it also when this fails; started() follows.
        MHD_add_connection(daemon, client.release(), generic, length);
    }
}

void Connections::started(MHD_Connection* connection, Clock::time_point now)
{
    const MHD_ConnectionInfo* socket =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* client =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    Peer peer{socket == nullptr ? -1 : socket->connect_fd,
              addressKey(client == nullptr ? nullptr : client->client_addr), now + REQUEST_LIMIT};
    ++perAddress_[peer.address];
    due(*peer.deadline);
    peers_.emplace(connection, std::move(peer));
    counted();
}

void Connections::closed(MHD_Connection* connection)
{
    const auto found = peers_.find(connection);
    if (found == peers_.end()) {
        return;
    }
    const auto same = perAddress_.find(found->second.address);
    if (same != perAddress_.end() && --same->second == 0) {
        perAddress_.erase(same);
    }
    peers_.erase(found);
    counted();
}

void Connections::counted() const
{
    hub_.setFrontEndValue(HTTP_FRONT_END, "http_connections", static_cast<double>(peers_.size()));
}

void Connections::received(MHD_Connection* connection)
{
    if (const auto found = peers_.find(connection); found != peers_.end()) {
        found->second.deadline.reset();
    }
}

void Connections::answered(MHD_Connection* connection, Clock::time_point now)
{
    if (const auto found = peers_.find(connection); found != peers_.end()) {
        found->second.deadline = now + REQUEST_LIMIT;
        due(*found->second.deadline);
    }
}

int Connections::fd(MHD_Connection* connection) const
{
    const auto found = peers_.find(connection);
    return found == peers_.end() ? -1 : found->second.fd;
}

void Connections::drop(MHD_Connection* connection) const
{
    if (const int socket = fd(connection); socket >= 0) {
        shutdown(socket, SHUT_RDWR);
    }
}

void Connections::sweep(Clock::time_point now)
{
    if (!nextSweep_ || now < *nextSweep_) {
        return;
    }
    nextSweep_.reset();
    for (auto& [connection, peer] : peers_) {
        if (!peer.deadline) {
            continue;
        }
        if (*peer.deadline <= now) {
            logLine(LogLevel::Debug, "HTTP: a request did not arrive in time; connection closed");
            peer.deadline.reset();
            shutdown(peer.fd, SHUT_RDWR);
        } else {
            due(*peer.deadline);
        }
    }
}

void Connections::due(Clock::time_point deadline)
{
    if (!nextSweep_ || deadline < *nextSweep_) {
        nextSweep_ = deadline;
    }
}

} // namespace ledboardd
