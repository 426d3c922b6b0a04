// Running the command under test: its environment, its start and the wait for its end.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

namespace sim {

// Every signal that ends a process by default and that a user or a supervisor may send to stop
// this one; the synchronous ones (SIGSEGV, SIGFPE, ...) are the simulator's own, and SIGKILL cannot
// be caught. Each is passed on to the command, so that the simulator outlives it and removes its
// testbed.
constexpr int FORWARDED_SIGNALS[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                     SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPWR};

// The simulator's own environment.
std::vector<std::string> currentEnvironment();

// The libraries preloaded into the program under test, as LD_PRELOAD lists them.
std::string simulatorPreloads();

// The environment of the program under test: the caller's, pointed at the testbed.
std::vector<std::string> childEnvironment(const std::vector<std::string>& caller,
                                          const std::string& testbedRoot);

// Opens /dev/null on each of descriptors 0 to 2 that is closed, so that no socket or file the
// simulator opens later takes its place (and is inherited by the command), and returns their
// numbers. Throws std::runtime_error.
std::vector<int> claimClosedStandardDescriptors();

// Starts the command with `environment` and with the descriptors in `closed` closed. Returns 0
// and sets `child`, or prints why it cannot and returns 126 or 127 (as env(1) does).
int startCommand(const std::vector<std::string>& command,
                 const std::vector<std::string>& environment, const std::vector<int>& closed,
                 pid_t& child);

// Waits for the command to end, passing on any signal that would end the simulator, so that the
// simulator outlives the command and removes its testbed. `waited` holds SIGCHLD and the
// forwarded signals, blocked in every thread. Returns the command's exit status, or 128 + the
// signal that ended it.
int waitForCommand(pid_t child, const sigset_t& waited);

} // namespace sim
