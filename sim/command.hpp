// Running the command under test: its environment, its start and the wait for its end.
#pragma once

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

// The environment of the program under test: the caller's, pointed at the testbed.
std::vector<std::string> childEnvironment(const std::vector<std::string>& caller,
                                          const std::string& testbedRoot);

// Runs the command and waits for it, passing on any signal that would end the simulator, so that
// the simulator outlives the command and removes its testbed. `waited` holds SIGCHLD and the
// forwarded signals, blocked in every thread. Returns the command's exit status, 128 + the signal
// that ended it, or 126/127 when it cannot run.
int runCommand(const std::vector<std::string>& command, const std::vector<std::string>& environment,
               const sigset_t& waited);

} // namespace sim
