// Logging to stderr with the priority prefixes journald reads (sd-daemon(3)): "<3>" error,
// "<4>" warning, "<6>" info, "<7>" debug. journald adds the time and the unit's name itself.
#pragma once

#include <string_view>

namespace ledboardd {

enum class LogLevel : int { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// Lines above this level are dropped. Set once at start, before any thread runs.
void setLogLevel(LogLevel level) noexcept;

// One line, written with one write(2), so that lines from several threads never interleave.
void logLine(LogLevel level, std::string_view text) noexcept;

// printf-style formatting into one line.
[[gnu::format(printf, 2, 3)]] void logf(LogLevel level, const char* format, ...) noexcept;

} // namespace ledboardd
