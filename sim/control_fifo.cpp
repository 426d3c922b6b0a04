#include "control_fifo.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// A line longer than this is cut there: no change list comes near it.
constexpr std::size_t MAX_LINE = 4096;

} // namespace

ControlFifo::ControlFifo(std::string path) : path_(std::move(path))
{
    if (mkfifo(path_.c_str(), 0600) != 0) {
        throw std::runtime_error("cannot create the FIFO " + path_ + ": " + std::strerror(errno));
    }
    // Read-write: the FIFO never reports an end when a writer closes it, and opening it does not
    // wait for one (Linux allows this on a FIFO).
    fifo_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    std::array<int, 2> stop{-1, -1};
    if (fifo_ < 0 || pipe2(stop.data(), O_CLOEXEC) != 0) {
        const int error = errno;
        if (fifo_ >= 0) {
            close(fifo_);
        }
        unlink(path_.c_str());
        throw std::runtime_error("cannot open the FIFO " + path_ + ": " + std::strerror(error));
    }
    stopRead_ = stop[0];
    stopWrite_ = stop[1];
}

ControlFifo::~ControlFifo()
{
    close(stopWrite_);
    if (thread_.joinable()) {
        thread_.join();
    }
    close(stopRead_);
    close(fifo_);
    unlink(path_.c_str());
}

void ControlFifo::start(Apply apply)
{
    apply_ = std::move(apply);
    thread_ = std::thread([this] { run(); });
}

void ControlFifo::run()
{
    std::string pending;
    std::array<char, MAX_LINE> buffer{};
    for (;;) {
        std::array<pollfd, 2> watched{{{fifo_, POLLIN, 0}, {stopRead_, POLLIN, 0}}};
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[1].revents != 0) {
            return; // the stop pipe's writing end is closed
        }
        const ssize_t got = read(fifo_, buffer.data(), buffer.size());
        if (got <= 0) {
            continue; // EAGAIN: another reader was quicker, or nothing after all
        }
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            apply_(std::string_view(pending).substr(0, end));
            pending.erase(0, end + 1);
        }
        if (pending.size() > MAX_LINE) {
            apply_(pending);
            pending.clear();
        }
    }
}

} // namespace sim
