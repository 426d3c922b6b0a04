// The simulator's log (--log): one line per ioctl and per change of the bus, in the order they
// happen. Written from umockdev's worker thread and from the simulator's own threads alike.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

struct FileCloser {
    void operator()(std::FILE* file) const noexcept;
};

class EventLog {
public:
    // No file: every line is dropped. Throws std::runtime_error when the file cannot be written.
    EventLog(const std::string& path, bool withTimes);

    void write(const std::string& line);

    // The errno of the first failed write, or 0.
    int error();

private:
    std::unique_ptr<std::FILE, FileCloser> file_;
    bool withTimes_;
    int error_ = 0;
    std::mutex mutex_;
};

} // namespace sim
