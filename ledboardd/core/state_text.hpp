// The state file's text: what the daemon keeps of its boards across restarts, and reading it back.
// Pure, for the unit tests and the fuzzer.
#pragma once

#include "hub.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

inline constexpr const char* STATE_FILE = "boards.json";
// A state file larger than this is not one of ours.
inline constexpr std::size_t MAX_STATE_FILE = std::size_t{1024} * 1024;

// The file's text: {"version":1,"boards":[{"id":…,"serial":…,"path":…,"manufacturer":…,
// "product":…,"desired":N|null,"effect":EFFECT|null[,"discovery":"withdrawn"]},…]}, EFFECT as
// effects.hpp keeps it. Pure.
std::string stateText(const std::vector<SavedBoard>& boards);

// The boards of a state file's text, or why it cannot be read (`error` not empty). A board whose
// id is not one the daemon makes, or whose value is out of range, is left out. Pure.
struct StateText {
    std::vector<SavedBoard> boards;
    std::string error;
};
StateText parseStateText(std::string_view text);

} // namespace ledboardd
