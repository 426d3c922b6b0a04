#include "state_store.hpp"

#include "log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace ledboardd {

namespace {

// A descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

StateStore::StateStore(Hub& hub, std::string directory)
    : hub_(hub), directory_(std::move(directory))
{
}

StateStore::~StateStore()
{
    stop();
}

std::vector<SavedBoard> StateStore::load()
{
    if (directory_.empty()) {
        return {};
    }
    const std::string path = directory_ + "/" + STATE_FILE;
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno != ENOENT) {
            logf(LogLevel::Warning, "cannot read %s: %s; starting without it", path.c_str(),
                 std::strerror(errno));
        }
        return {};
    }
    std::string text;
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = read(file.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || text.size() > MAX_STATE_FILE) {
            break;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    StateText parsed = parseStateText(text);
    if (!parsed.error.empty()) {
        const std::string aside = path + ".bad";
        const bool moved = std::rename(path.c_str(), aside.c_str()) == 0;
        logf(LogLevel::Warning, "%s is not a state file (%s); %s", path.c_str(),
             parsed.error.c_str(),
             moved ? ("set aside as " + aside + ", starting without it").c_str()
                   : "starting without it");
        return {};
    }
    logf(LogLevel::Debug, "%zu boards read back from %s", parsed.boards.size(), path.c_str());
    return std::move(parsed.boards);
}

void StateStore::start()
{
    if (!directory_.empty()) {
        thread_ = std::thread([this] { run(); });
    }
}

void StateStore::changed()
{
    const std::lock_guard lock(mutex_);
    dirty_ = true;
    wake_.notify_all();
}

void StateStore::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void StateStore::run()
{
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return dirty_ || stopping_; });
            if (!dirty_) {
                return;
            }
            dirty_ = false;
        }
        // Taken now, so that a burst of changes while the last write was under way becomes one
        // write of the latest state.
        const bool written = write(stateText(hub_.snapshot()));
        if (!written) {
            // Tried again at the next change; a stop does not wait for a disk that fails.
            const std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
    }
}

bool StateStore::write(const std::string& text)
{
    const std::string path = directory_ + "/" + STATE_FILE;
    const std::string temporary = path + ".new";
    const auto fail = [&](const char* what) {
        const int error = errno;
        if (!std::exchange(failing_, true)) {
            logf(LogLevel::Error, "cannot keep the boards' state: %s %s: %s", what,
                 temporary.c_str(), std::strerror(error));
        }
        unlink(temporary.c_str());
        return false;
    };
    {
        const Descriptor file(
            open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR));
        if (file.get() < 0) {
            return fail("creating");
        }
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                return fail("writing");
            }
            done += static_cast<std::size_t>(wrote);
        }
        if (fsync(file.get()) != 0) {
            return fail("flushing");
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        return fail("renaming");
    }
    // The rename itself lasts only once the folder is on disk too.
    const Descriptor folder(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) {
        fsync(folder.get());
    }
    if (std::exchange(failing_, false)) {
        logf(LogLevel::Info, "the boards' state is kept again in %s", path.c_str());
    }
    return true;
}

} // namespace ledboardd
