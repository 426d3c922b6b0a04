// What the daemon keeps across restarts: every board it has seen, and the LED value each was last
// asked for, so that a value set for an away board survives a restart (or a power cut) before the
// board comes back. One JSON file in the state directory, replaced atomically: written to a
// temporary file, flushed to disk, renamed over the old one, and the folder flushed too.
#pragma once

#include "hub.hpp"
#include "state_text.hpp"

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ledboardd {

class StateStore final : public StateSink {
public:
    // Keeps the state in `directory`; an empty one keeps nothing.
    StateStore(Hub& hub, std::string directory);
    ~StateStore() override;
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // The boards kept by the last run. A file that cannot be read is logged and set aside (renamed
    // to boards.json.bad), so that the next write does not destroy what a person may want back.
    std::vector<SavedBoard> load();

    // Starts writing in a thread of its own: after each change, the latest state, once.
    void start();
    void changed() override;
    // Writes what changed since the last write, and ends the thread.
    void stop();

private:
    void run();
    bool write(const std::string& text);

    Hub& hub_;
    std::string directory_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool dirty_ = false;
    bool stopping_ = false;
    bool failing_ = false; // the last write failed (said once until one succeeds)
    std::thread thread_;
};

} // namespace ledboardd
