// The sockets under the HTTP server: its listening socket, the descriptors of its connections and
// the client addresses it counts them by.
#pragma once

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace ledboardd {

// Owns a file descriptor.
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

// A listening socket on `host` (an IP literal or "localhost") and `port`, never shared with
// another listener; an empty one with errno set when it cannot be had.
UniqueFd listenOn(const std::string& host, int port, int backlog);
// Why a bind failed, in the words of the log line ("address already in use").
const char* bindError(int error);
// Raises the soft limit on descriptors to `wanted`, as far as the hard limit allows (systemd's
// soft limit is 1024).
void raiseDescriptorLimit(rlim_t wanted);
// `fd` moved to a descriptor at or above `floor` when the limit allows, else as it is.
UniqueFd moveAbove(UniqueFd fd, int floor);
// A client's address as a key to count its connections by: an IPv4-mapped IPv6 address counts as
// its IPv4 address.
std::string addressKey(const sockaddr* address);

} // namespace ledboardd
