// Runs a program under ledboard-sim and collects what it printed, its exit status, and the
// simulator's log of the requests the simulated devices received.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

struct Run {
    std::string out;
    std::string err;
    int status = -1;
    std::vector<std::string> log; // one line per ioctl, in arrival order
};

// [OUTSIDE...] ledboard-sim SIM-OPTIONS --log FILE -- COMMAND..., where OUTSIDE runs the
// simulator (timeout, say).
Run underSimulator(const std::vector<std::string>& simOptions,
                   const std::vector<std::string>& command,
                   const std::vector<std::string>& outside = {});

// As underSimulator, for a command that runs until it is told to stop: the simulator leads a
// process group of its own, and the command's standard output is read as it comes. Once its first
// line is there, `atFirstLine` is called with the group's id (not at all when the output ends
// without one); then the run is waited for. A signal to the group reaches the command twice:
// directly, and passed on by the simulator.
Run underSimulatorAtFirstLine(const std::vector<std::string>& simOptions,
                              const std::vector<std::string>& command,
                              const std::function<void(pid_t group)>& atFirstLine);

// ledboard-sim SIM-OPTIONS -- ledboard ARGUMENTS...
Run ledboard(const std::vector<std::string>& simOptions, const std::vector<std::string>& arguments);

// ledboard-sim SIM-OPTIONS -- bash -c BODY, where BODY may call `ledboard` as a command, start
// it in the background as `$tool ... &`, and wait for a state with `waitfor 'SHELL TEST'` (no time
// limit of its own: ctest's ends a run that never gets there). The simulator's log, as it is
// written, is at $LEDBOARD_SIM_LOG.
Run script(const std::vector<std::string>& simOptions, const std::string& body);

// The log's control transfers, optionally only those to one device ("001/002").
std::vector<std::string> controls(const Run& run, const std::string& device = "");

// The log's vendor requests (type 0xc0), as "DEVICE request=R value=0xVVVV result=N".
std::vector<std::string> vendorRequests(const Run& run);

// A path for ledboard-sim's --control FIFO, of its own for each test and process, since ctest runs
// tests side by side.
std::string controlPath(const char* test);

std::string simulatorPath();

// The tool's command line before its arguments: the binary, behind a wrapper such as valgrind
// when ctest names one.
std::vector<std::string> toolCommand();

} // namespace e2e
