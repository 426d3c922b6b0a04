// libFuzzer target: any argument text through parseLedNumber and ledValue, and any command line
// through parseCommandLine.
//
// For every input the LED value keeps bits 0..2 and the high byte clear; for every input whose
// number fits an int it equals atoi's value times 8, modulo 256. The input split at its NULs is
// also a command line: one whose first argument is "--" and a letter but not exactly an option is
// refused; one whose first argument is otherwise not an option must parse as that LED number, as
// it always has; and a parsed choice or interval must be in range. Sanitizers report the rest.
#include "arguments.hpp"
#include "ledboard_device.hpp"
#include "options.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& text, unsigned got, unsigned expected)
{
    std::fprintf(stderr, "%s for \"%s\": got 0x%x, expected 0x%x\n", what, text.c_str(), got,
                 expected);
    std::abort();
}

[[noreturn]] void failLine(const char* what, const std::vector<std::string>& line)
{
    std::fprintf(stderr, "%s for the command line:", what);
    for (const auto& argument : line) {
        std::fprintf(stderr, " \"%s\"", argument.c_str());
    }
    std::fputc('\n', stderr);
    std::abort();
}

bool isOption(const std::string& text)
{
    for (const char* option :
         {"--help", "-h", "--version", "--list", "--device", "--serial", "--path", "--json",
          "--wait", "--status", "--watch", "--wait-press"}) {
        if (text == option) {
            return true;
        }
    }
    return false;
}

// "--" and a letter, not exactly an option: refused, never read as the number 0.
bool isMistypedOption(const std::string& text)
{
    if (text.size() < 3 || !text.starts_with("--") || isOption(text)) {
        return false;
    }
    return (text[2] >= 'a' && text[2] <= 'z') || (text[2] >= 'A' && text[2] <= 'Z');
}

void checkCommandLine(const std::string& input)
{
    std::vector<std::string> line{"ledboard"};
    for (std::size_t start = 0; start <= input.size() && line.size() < 8;) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        line.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (auto& argument : line) {
        argv.push_back(argument.data());
    }
    const ParsedCommandLine parsed = parseCommandLine(argv);
    const Options& options = parsed.options;
    if (isMistypedOption(line[1])) {
        if (parsed.ok()) {
            failLine("a mistyped option accepted", line);
        }
        return;
    }
    if (!isOption(line[1])) {
        if (!parsed.ok() || options.action != Action::SetLeds || !options.plain || options.json ||
            options.wait || options.choice != Choice::FirstBoard ||
            options.number != parseLedNumber(line[1])) {
            failLine("a plain number changed meaning", line);
        }
        return;
    }
    if (!parsed.ok()) {
        return;
    }
    if (options.choice == Choice::Location &&
        (options.location.bus < 1 || options.location.bus > MAX_BUS_NUMBER ||
         options.location.device < 1 || options.location.device > MAX_DEVICE_NUMBER)) {
        failLine("a location out of range", line);
    }
    if (options.action == Action::Watch &&
        (options.intervalMs < WATCH_MIN_MS || options.intervalMs > WATCH_MAX_MS)) {
        failLine("an interval out of range", line);
    }
    if (options.plain) {
        failLine("an option read as the plain command line", line);
    }
    // After an option, the LEDs are set only from a plain number, the last word.
    if (options.action == Action::SetLeds && !isPlainNumber(line.back())) {
        failLine("LEDs set from a word that is not a number", line);
    }
    if (options.choice == Choice::Path && !isPortPath(options.choiceText)) {
        failLine("a port path sysfs never names", line);
    }
    for (const unsigned long limit : {options.waitMs, options.pressMs}) {
        if (limit != NO_TIME_LIMIT && limit > MAX_TIME_LIMIT_MS) {
            failLine("a time limit out of range", line);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    checkCommandLine(input);

    // A command-line argument ends at its first NUL.
    const std::string text = input.substr(0, input.find('\0'));

    const unsigned value = ledValue(parseLedNumber(text));
    if ((value & 0xFF07U) != 0) {
        fail("bits outside 3..7", text, value, value & 0xF8U);
    }

    // strtol reads the same syntax as atoi and says when the number does not fit.
    errno = 0;
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (errno != ERANGE && number >= INT_MIN && number <= INT_MAX) {
        const unsigned expected = (static_cast<unsigned>(number) * 8U) % 256U;
        if (value != expected) {
            fail("LED value differs from atoi's times 8", text, value, expected);
        }
    }
    return 0;
}
