// The connections the HTTP server holds: how many, from which address, and the deadline of the
// request each is receiving. On the server's thread only.
#pragma once

#include "hub.hpp"

#include <microhttpd.h>

#include <sys/socket.h>

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace ledboardd {

// Connections served at once, in all and from one address. Each costs a descriptor and about
// 10 KiB (bench/README.md): 1,100 leave room for a thousand event streams and the requests beside
// them within the 32 MiB the daemon is allowed; one address cannot take them all.
inline constexpr std::size_t MAX_CONNECTIONS = 1100;
inline constexpr std::size_t MAX_CONNECTIONS_PER_ADDRESS = 128;

class Connections {
public:
    // Keeps the count of connections current in `hub`, for the metrics.
    explicit Connections(Hub& hub) : hub_(hub) {}

    // Accepts every pending connection on `listener` for the library, each moved to a descriptor
    // from `floor` on; one over the limits is closed at once. False when accept() ran out of
    // descriptors or memory, and the listener should rest.
    bool acceptAll(int listener, MHD_Daemon* daemon, int floor) const;
    // Whether a connection from `address` may be served now.
    bool admits(const sockaddr* address) const;
    // The library took a connection on, or closed it.
    void started(MHD_Connection* connection, Clock::time_point now);
    void closed(MHD_Connection* connection);
    // The request on `connection` has arrived whole; its answer has ended, and the next request
    // on the connection has its own time to arrive.
    void received(MHD_Connection* connection);
    void answered(MHD_Connection* connection, Clock::time_point now);
    // The connection's socket, or -1.
    int fd(MHD_Connection* connection) const;
    // Ends the connection from this side now: the library sees the end at its next read or
    // write and closes it.
    void drop(MHD_Connection* connection) const;
    // Drops every connection whose request is late.
    void sweep(Clock::time_point now);
    std::optional<Clock::time_point> nextDue() const { return nextSweep_; }

private:
    struct Peer {
        int fd;
        std::string address;
        std::optional<Clock::time_point> deadline; // of the request it is receiving
    };
    void due(Clock::time_point deadline);
    void counted() const;

    Hub& hub_;

    std::unordered_map<MHD_Connection*, Peer> peers_;
    std::unordered_map<std::string, std::size_t> perAddress_;
    std::optional<Clock::time_point> nextSweep_; // no later than the earliest deadline
};

} // namespace ledboardd
