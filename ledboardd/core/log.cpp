#include "log.hpp"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ledboardd {

namespace {

std::atomic<LogLevel> threshold{LogLevel::Info};

// Longer lines are cut; every text that reaches the log is bounded well below this.
constexpr std::size_t LINE_LENGTH = 1024;

} // namespace

void setLogLevel(LogLevel level) noexcept
{
    threshold.store(level);
}

void logLine(LogLevel level, std::string_view text) noexcept
{
    if (static_cast<int>(level) > static_cast<int>(threshold.load())) {
        return;
    }
    std::array<char, LINE_LENGTH> line{};
    const int prefix = std::snprintf(line.data(), line.size(), "<%d>", static_cast<int>(level));
    std::size_t used = prefix > 0 ? static_cast<std::size_t>(prefix) : 0;
    for (const char c : text) {
        if (used + 1 >= line.size()) {
            break;
        }
        // A newline would start a line without a priority; control characters from the network
        // or a board's strings must not reach the journal raw.
        const auto byte = static_cast<unsigned char>(c);
        line[used++] = byte < 0x20 || byte == 0x7f ? '?' : c;
    }
    line[used++] = '\n';
    // A log line that cannot be written has nowhere else to go.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), used);
}

// C varargs, so that the compiler checks each format against its arguments (the format
// attribute in log.hpp), which a parameter pack passed on to vsnprintf would lose.
void logf(LogLevel level, const char* format, ...) noexcept // NOLINT(cert-dcl50-cpp)
{
    if (static_cast<int>(level) > static_cast<int>(threshold.load())) {
        return;
    }
    std::array<char, LINE_LENGTH> text{};
    va_list arguments;
    va_start(arguments, format);
    // va_start above initialises it; the analyzer does not follow that through the macro.
    std::vsnprintf(text.data(), text.size(), format, // NOLINT(clang-analyzer-valist.Uninitialized)
                   arguments);
    va_end(arguments);
    logLine(level, text.data());
}

} // namespace ledboardd
