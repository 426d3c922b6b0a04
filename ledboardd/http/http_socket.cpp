#include "http_socket.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace ledboardd {

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

UniqueFd listenOn(const std::string& host, int port, int backlog)
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
        listen(socket.get(), backlog) != 0) {
        const int error = errno;
        socket.reset();
        errno = error;
    }
    return socket;
}

void raiseDescriptorLimit(rlim_t wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

UniqueFd moveAbove(UniqueFd fd, int floor)
{
    const int high = fcntl(fd.get(), F_DUPFD_CLOEXEC, floor);
    return high >= 0 ? UniqueFd{high} : std::move(fd);
}

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

} // namespace ledboardd
