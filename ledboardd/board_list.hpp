// The bridge's list of the boards it serves, PREFIX/bridge/HOSTNAME/boards: a retained JSON array
// of ids. Read back after a restart, it names the boards the previous run served, so that those
// that did not come back can be marked offline. Pure, for the unit tests and the fuzzer.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

// A list longer than this is not the bridge's own: one host does not serve this many boards.
inline constexpr std::size_t MAX_LISTED_BOARDS = 1024;
inline constexpr std::size_t MAX_BOARD_LIST_PAYLOAD = std::size_t{256} * 1024;

// ["A17","myhost-1-1.4"], in the set's order.
std::string boardListJson(const std::set<std::string>& ids);

// The ids of a list as boardListJson writes it. Nothing when the payload is not a JSON array of
// at most MAX_LISTED_BOARDS strings, or is longer than MAX_BOARD_LIST_PAYLOAD; a string that is
// not one safe topic level (as topicLevel makes them) is left out, since a topic is built of it.
std::optional<std::vector<std::string>> parseBoardList(std::string_view payload);

} // namespace ledboardd
