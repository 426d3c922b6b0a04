// One run of the tool, from the command line to the printed report. main() hands it the real
// streams; the tests hand it files they can read back.
#pragma once

#include "exit_status.hpp"

#include <cstdio>
#include <span>

// `args` is argv without its terminating null. Results go to `out`, diagnostics to `err`.
// `outClosed`: the process was started with its standard output closed (main() put /dev/null
// there), so nothing the run prints reaches anyone.
int runLedboard(std::span<char* const> args, std::FILE* out, std::FILE* err,
                bool outClosed = false);
