#include "event_log.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace sim {

void FileCloser::operator()(std::FILE* file) const noexcept
{
    std::fclose(file);
}

EventLog::EventLog(const std::string& path, bool withTimes) : withTimes_(withTimes)
{
    if (path.empty()) {
        return;
    }
    // Written in place: a path such as /dev/null must stay what it is.
    file_.reset(std::fopen(path.c_str(), "w"));
    if (!file_) {
        throw std::runtime_error("cannot write the log " + path + ": " + std::strerror(errno));
    }
}

void EventLog::write(const std::string& line)
{
    const std::lock_guard lock(mutex_);
    if (!file_ || error_ != 0) {
        return;
    }
    if (withTimes_) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(file_.get(), "%lld.%06ld ", static_cast<long long>(now.tv_sec),
                     now.tv_nsec / 1000);
    }
    std::fprintf(file_.get(), "%s\n", line.c_str());
    // Written at once, so that a test reading the log while the command runs sees every line.
    if (std::fflush(file_.get()) != 0 || std::ferror(file_.get()) != 0) {
        error_ = errno != 0 ? errno : EIO;
    }
}

int EventLog::error()
{
    const std::lock_guard lock(mutex_);
    return error_;
}

} // namespace sim
