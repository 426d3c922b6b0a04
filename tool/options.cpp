#include "options.hpp"

#include "arguments.hpp"
#include "sysfs.hpp"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string_view>

namespace {

constexpr std::string_view LONG_PREFIX = "--";

// The long options, without their "--". With "-h", they are the words that make a command line
// one of options rather than the plain `ledboard NUMBER`. Their order settles a tie between two
// equally near a mistyped word: the actions, the likelier to be mistyped, first.
constexpr std::string_view LONG_OPTIONS[] = {"status", "watch", "wait-press", "list",
                                             "json",   "wait",  "device",     "serial",
                                             "path",   "help",  "version"};
// Those that take a value: always as the next word, never after '='.
constexpr std::string_view VALUE_OPTIONS[] = {"watch",  "wait-press", "wait",
                                              "device", "serial",     "path"};

bool contains(std::span<const std::string_view> names, std::string_view name) noexcept
{
    return std::ranges::find(names, name) != names.end();
}

// The word without its leading "--"; only for a word that has it.
std::string_view longName(std::string_view word) noexcept
{
    word.remove_prefix(LONG_PREFIX.size());
    return word;
}

bool isOptionWord(std::string_view word) noexcept
{
    return word == "-h" ||
           (word.starts_with(LONG_PREFIX) && contains(LONG_OPTIONS, longName(word)));
}

// "--" and a letter, yet no option: a misspelt one, one in another case, or one with its value
// after '='. Never the LED number: that would set the LEDs to 0 for a slip of the fingers. "-j",
// "--" and "--5" are not such words: as the first word they stay numbers, as documented.
bool isMistypedOption(std::string_view word) noexcept
{
    if (!word.starts_with(LONG_PREFIX) || word.size() == LONG_PREFIX.size()) {
        return false;
    }
    const char letter = word[LONG_PREFIX.size()];
    return ((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z')) &&
           !isOptionWord(word);
}

bool isChoiceWord(std::string_view word) noexcept
{
    return word == "--device" || word == "--serial" || word == "--path";
}

constexpr const char* WHAT_TO_DO = "NUMBER, --status, --watch, --wait-press or --list";
constexpr const char* SECONDS_RULE =
    "seconds up to a week (604800), with at most three decimals, e.g. 10, 2.5 or .5";

// A word that can only have been meant as a time limit: one that starts as a number does, with a
// digit or with a '.' and a digit. So a bad limit ("1,5", "1e3") is named as --wait's, rather than
// taken for the action and refused as one.
bool looksLikeSeconds(std::string_view word) noexcept
{
    if (!word.empty() && (word.front() == '-' || word.front() == '+')) {
        word.remove_prefix(1); // no time limit, but no doubt what it was meant as
    }
    if (!word.empty() && word.front() == '.') {
        word.remove_prefix(1);
    }
    return !word.empty() && word.front() >= '0' && word.front() <= '9';
}

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
        if (first == "--help" || first == "-h") {
            return result(Action::Help);
        }
        if (first == "--version") {
            return result(Action::Version);
        }
        if (isMistypedOption(first)) {
            return unknownOption(first);
        }
        if (!isOptionWord(first)) {
            Options& options = parsed_.options;
            options.plain = true;
            options.number = parseLedNumber(first);
            options.ignored = args_.size() > 2 ? args_[2] : nullptr;
            return result(Action::SetLeds);
        }
        return optionSequence();
    }

private:
    // [--json] [--wait [SECONDS]] [--device L | --serial S | --path P] ACTION, in any order before
    // the action, each at most once.
    ParsedCommandLine optionSequence() noexcept
    {
        Options& options = parsed_.options;
        while (at_ < args_.size()) {
            const std::string_view word = args_[at_];
            if (word == "--json") {
                if (options.json) {
                    return fail("--json is given twice");
                }
                options.json = true;
                ++at_;
            } else if (word == "--wait") {
                if (options.wait) {
                    return fail("--wait is given twice");
                }
                options.wait = true;
                ++at_;
                // A number here is the time limit unless it is the last word: then it is the LED
                // number (`ledboard --wait 5` waits for the board and sets 5).
                if (at_ + 1 < args_.size() && looksLikeSeconds(args_[at_])) {
                    const auto limit = parseSecondsAsMs(args_[at_], MAX_TIME_LIMIT_MS);
                    if (!limit) {
                        return fail("invalid time limit '%s' for --wait: %s", args_[at_],
                                    SECONDS_RULE);
                    }
                    options.waitMs = *limit;
                    ++at_;
                }
            } else if (isChoiceWord(word)) {
                if (options.choice != Choice::FirstBoard) {
                    return fail("choose the board once: --device, --serial or --path");
                }
                if (!choice(word)) {
                    return parsed_;
                }
            } else {
                return action(word);
            }
        }
        return fail("say what to do: %s", WHAT_TO_DO);
    }

    // --device BUS/DEV, --serial TEXT or --path PORTS, at at_. False after a failure.
    bool choice(std::string_view option) noexcept
    {
        Options& options = parsed_.options;
        ++at_;
        if (at_ >= args_.size() || *args_[at_] == '\0') {
            if (option == "--device") {
                fail("--device needs the board's location, BUS/DEV or BUS:DEV (e.g. 001/004)");
            } else if (option == "--serial") {
                fail("--serial needs the board's serial number");
            } else {
                fail("--path needs the board's port path, e.g. 1-1.4");
            }
            return false;
        }
        options.choiceText = args_[at_++];
        if (option == "--serial") {
            options.choice = Choice::Serial;
        } else if (option == "--path") {
            if (!isPortPath(options.choiceText)) {
                fail("invalid port path '%s' for --path: expected BUS-PORT[.PORT]... as sysfs "
                     "names it, e.g. 1-1.4 (see ledboard --list)",
                     options.choiceText);
                return false;
            }
            options.choice = Choice::Path;
        } else if (const auto location = parseLocation(options.choiceText)) {
            options.choice = Choice::Location;
            options.location = *location;
        } else {
            fail("invalid location '%s' for --device: expected BUS/DEV or BUS:DEV with a bus "
                 "from 1 to %u and a device from 1 to %u, e.g. 001/004",
                 options.choiceText, MAX_BUS_NUMBER, MAX_DEVICE_NUMBER);
            return false;
        }
        return true;
    }

    // The action at at_: the LED number, --status, --watch [MS], --wait-press [SECONDS] or --list.
    ParsedCommandLine action(std::string_view word) noexcept
    {
        Options& options = parsed_.options;
        ++at_;
        if (word == "--status") {
            return finished(Action::Status, word);
        }
        if (word == "--list") {
            if (options.choice != Choice::FirstBoard || options.wait) {
                return fail("--list lists every board: it takes no choice of board and no --wait");
            }
            return finished(Action::List, word);
        }
        if (word == "--watch") {
            if (at_ < args_.size()) {
                const auto interval = parseBounded(args_[at_], WATCH_MIN_MS, WATCH_MAX_MS);
                if (!interval) {
                    return fail("invalid interval '%s' for --watch: milliseconds from %u to %u",
                                args_[at_], WATCH_MIN_MS, WATCH_MAX_MS);
                }
                options.intervalMs = *interval;
                ++at_;
            }
            return finished(Action::Watch, word);
        }
        if (word == "--wait-press") {
            if (at_ < args_.size()) {
                const auto limit = parseSecondsAsMs(args_[at_], MAX_TIME_LIMIT_MS);
                if (!limit) {
                    return fail("invalid time limit '%s' for --wait-press: %s", args_[at_],
                                SECONDS_RULE);
                }
                options.pressMs = *limit;
                ++at_;
            }
            return finished(Action::WaitPress, word);
        }
        if (word == "--help" || word == "-h" || word == "--version") {
            return fail("%s comes on its own: ledboard %s", word.data(), word.data());
        }
        // Here a mistyped option must not pass for the number 0 and clear the LEDs.
        if (isMistypedOption(word)) {
            return unknownOption(word);
        }
        if (!isPlainNumber(word)) {
            if (word.starts_with("-") && !isOptionWord(word)) {
                return fail("unknown option '%s'; expected %s", word.data(), WHAT_TO_DO);
            }
            return fail("expected %s, not '%s'", WHAT_TO_DO, word.data());
        }
        options.number = parseLedNumber(word);
        return finished(Action::SetLeds, word);
    }

    // A mistyped option (isMistypedOption), named with the option it is nearest to, if any: with
    // its value as the next word when it was given after '='.
    ParsedCommandLine unknownOption(std::string_view word) noexcept
    {
        std::string_view name = longName(word);
        const char* value = "";
        if (const auto equals = name.find('='); equals != std::string_view::npos) {
            value = name.data() + equals + 1; // the rest of the argument, NUL-terminated
            name = std::string_view(name.data(), equals);
        }
        const std::size_t nearest = nearestName(name, LONG_OPTIONS);
        if (nearest == std::size(LONG_OPTIONS)) {
            return fail("unknown option %s", word.data());
        }
        const std::string_view meant = LONG_OPTIONS[nearest];
        const int meantLength = static_cast<int>(meant.size());
        if (*value != '\0' && contains(VALUE_OPTIONS, meant)) {
            return fail("unknown option %s; did you mean --%.*s %s?", word.data(), meantLength,
                        meant.data(), value);
        }
        return fail("unknown option %s; did you mean --%.*s?", word.data(), meantLength,
                    meant.data());
    }

    // An action that takes nothing more.
    ParsedCommandLine finished(Action action, std::string_view word) noexcept
    {
        if (at_ < args_.size()) {
            return fail("unexpected argument '%s' after %s", args_[at_], word.data());
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
