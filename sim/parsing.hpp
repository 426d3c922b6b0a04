// Helpers the option parsing and the changes' parsing share. Internal to the simulator.
#pragma once

#include "config.hpp"

#include <charconv>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sim {

// Throws std::invalid_argument with a message for the user.
[[noreturn]] inline void fail(const std::string& message)
{
    throw std::invalid_argument(message);
}

// The whole of `text` as a number, or fail() naming `what`.

template <typename T>
T parseNumber(std::string_view text, int base, std::string_view what)
{
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        fail("invalid " + std::string(what) + ": '" + std::string(text) + "'");
    }
    return value;
}

// A jumper mask: hexadecimal, 0 to f.
unsigned parseJumpers(std::string_view mask);

// --at WHEN:CHANGE[,CHANGE]...[@K] for a bus of `boards` boards, added to `config`.
void parseAt(Config& config, std::string_view text, int boards);

// Numbers the boards for changes: the board 1, then those --second-board or --boards added, in
// order, then every other board in the order the bus lists it.
void numberBoards(Config& config);

} // namespace sim
