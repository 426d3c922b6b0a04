// The join script (--join-script): a small shell script that runs a command on this simulator's
// bus from outside it, e.g. ledboard in another terminal while a daemon runs as the simulator's
// command. It holds what the simulator gives its own command: UMOCKDEV_DIR and the preloads.
#pragma once

#include <string>

namespace sim {

// The script's text: `FILE COMMAND [ARG]...` runs COMMAND with UMOCKDEV_DIR set to
// `testbedRoot` and `preloads` added to LD_PRELOAD (behind the caller's, unless already there),
// and refuses (status 125) once the testbed is gone, so that it never reaches the real bus.
std::string joinScriptText(const std::string& testbedRoot, const std::string& preloads);

class JoinScript {
public:
    // Writes the script to `path`, executable, whole or not at all; refuses a path that exists.
    // Throws std::runtime_error.
    JoinScript(std::string path, const std::string& text);
    // Removes it.
    ~JoinScript();
    JoinScript(const JoinScript&) = delete;
    JoinScript& operator=(const JoinScript&) = delete;

private:
    std::string path_;
};

} // namespace sim
