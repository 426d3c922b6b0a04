#include "options.hpp"

#include "arguments.hpp"

#include <cstdio>
#include <string_view>

namespace {

class Parser {
public:
    explicit Parser(std::span<char* const> args) : args_(args) {}

    ParsedCommandLine parse() noexcept
    {
        if (args_.size() <= 1) {
            return result(Action::NeedData);
        }
        // Only these exact first arguments are options. Anything else is the LED number, read as
        // atoi reads it ("-5", "-v" and "abc" included), and what follows it is ignored: so
        // scripts have always called it, and so it stays.
        const std::string_view first = args_[1];
        at_ = 2;
        if (first == "--help" || first == "-h") {
            return result(Action::Help);
        }
        if (first == "--version") {
            return result(Action::Version);
        }
        if (first == "--list") {
            return finished(Action::List, first);
        }
        if (first == "--device" || first == "--serial") {
            return choice(first);
        }
        if (first == "--status" || first == "--watch") {
            at_ = 1;
            return action(first);
        }
        parsed_.options.number = parseLedNumber(first);
        return result(Action::SetLeds);
    }

private:
    ParsedCommandLine choice(std::string_view option) noexcept
    {
        Options& options = parsed_.options;
        if (at_ >= args_.size() || *args_[at_] == '\0') {
            return fail(
                option == "--device"
                    ? "--device needs the board's location, BUS/DEV or BUS:DEV (e.g. 001/004)"
                    : "--serial needs the board's serial number");
        }
        options.choiceText = args_[at_++];
        if (option == "--serial") {
            options.choice = Choice::Serial;
        } else if (const auto location = parseLocation(options.choiceText)) {
            options.choice = Choice::Location;
            options.location = *location;
        } else {
            return fail(
                "invalid location '%s' for --device: expected BUS/DEV or BUS:DEV with a bus "
                "from 1 to %u and a device from 1 to %u, e.g. 001/004",
                options.choiceText, MAX_BUS_NUMBER, MAX_DEVICE_NUMBER);
        }
        if (at_ >= args_.size()) {
            return fail("after %s %s, say what to do: NUMBER, --status or --watch", option.data(),
                        options.choiceText);
        }
        const std::string_view next = args_[at_];
        if (next == "--status" || next == "--watch") {
            return action(next);
        }
        // Here a mistyped option must not pass for the number 0 and clear the LEDs.
        if (!isPlainNumber(next)) {
            return fail("after %s %s, expected NUMBER, --status or --watch, not '%s'",
                        option.data(), options.choiceText, next.data());
        }
        options.number = parseLedNumber(next);
        ++at_;
        return finished(Action::SetLeds, next);
    }

    // --status or --watch [MILLISECONDS], at at_.
    ParsedCommandLine action(std::string_view option) noexcept
    {
        ++at_;
        if (option == "--status") {
            return finished(Action::Status, option);
        }
        if (at_ < args_.size()) {
            const auto interval = parseBounded(args_[at_], WATCH_MIN_MS, WATCH_MAX_MS);
            if (!interval) {
                return fail("invalid interval '%s' for --watch: milliseconds from %u to %u",
                            args_[at_], WATCH_MIN_MS, WATCH_MAX_MS);
            }
            parsed_.options.intervalMs = *interval;
            ++at_;
        }
        return finished(Action::Watch, option);
    }

    // An action that takes nothing more.
    ParsedCommandLine finished(Action action, std::string_view option) noexcept
    {
        if (at_ < args_.size()) {
            return fail("unexpected argument '%s' after %s", args_[at_], option.data());
        }
        return result(action);
    }

    ParsedCommandLine result(Action action) noexcept
    {
        parsed_.options.action = action;
        return parsed_;
    }

    ParsedCommandLine fail(const char* message) noexcept { return fail("%s", message); }

    template <typename... Values>
    ParsedCommandLine fail(const char* format, Values... values) noexcept
    {
        // The formats are literals of this file; the values, the user's own words.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
        std::snprintf(parsed_.error.data(), parsed_.error.size(), format, values...);
        return parsed_;
    }

    std::span<char* const> args_;
    std::size_t at_ = 1;
    ParsedCommandLine parsed_;
};

} // namespace

ParsedCommandLine parseCommandLine(std::span<char* const> args) noexcept
{
    return Parser(args).parse();
}
