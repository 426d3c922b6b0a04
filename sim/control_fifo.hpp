// The control FIFO (--control): a test writes changes into it, one line each
// (CHANGE[,CHANGE]...[@K]), and the simulator carries each out as it arrives.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace sim {

class ControlFifo {
public:
    using Apply = std::function<void(std::string_view line)>;

    // Creates the FIFO at `path`; refuses a path that exists. Throws std::runtime_error.
    explicit ControlFifo(std::string path);
    // Stops reading and removes the FIFO.
    ~ControlFifo();
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;

    // Reads lines on a thread of its own and hands each, without its newline, to `apply`.
    void start(Apply apply);

private:
    void run();

    std::string path_;
    int fifo_ = -1;
    int stopRead_ = -1; // a pipe whose closing ends the reading thread
    int stopWrite_ = -1;
    Apply apply_;
    std::thread thread_;
};

} // namespace sim
