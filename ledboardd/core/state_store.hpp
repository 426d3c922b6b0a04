// What the daemon keeps across restarts: every board it has seen, and the LED value each was last
// asked for, so that a value set for an away board survives a restart (or a power cut) before the
// board comes back. One JSON file in the state directory, replaced atomically: written to a
// temporary file, flushed to disk, renamed over the old one, and the folder flushed too.
#pragma once

#include "hub.hpp"

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ledboardd {

inline constexpr const char* STATE_FILE = "boards.json";
// A state file larger than this is not one of ours.
inline constexpr std::size_t MAX_STATE_FILE = std::size_t{1024} * 1024;

// The file's text: {"version":1,"boards":[{"id":…,"serial":…,"path":…,"manufacturer":…,
// "product":…,"desired":N|null},…]}. Pure.
std::string stateText(const std::vector<SavedBoard>& boards);

// The boards of a state file's text, or why it cannot be read (`error` not empty). A board whose
// id is not one the daemon makes, or whose value is out of range, is left out. Pure.
struct StateText {
    std::vector<SavedBoard> boards;
    std::string error;
};
StateText parseStateText(std::string_view text);

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
