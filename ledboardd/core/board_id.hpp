// A board's id: what its topics, URLs and kept state are named by. Pure, for the unit tests and
// the fuzzer.
#pragma once

#include <string>
#include <string_view>

namespace ledboardd {

// The id of the bridge's own topics (PREFIX/bridge/HOSTNAME/...): no board may have it.
inline constexpr std::string_view BRIDGE_ID = "bridge";

// `text` made safe for one MQTT topic level and one URL path segment: ASCII letters, digits, '.',
// '_' and '-' stay; every other byte becomes '~' and two upper-case hex digits ("a/b" is
// "a~2Fb"). Distinct texts give distinct results, since '~' itself is escaped, and a text of dots
// only ("..", which a URL would take for the folder above) has them escaped too.
std::string escapeIdText(std::string_view text);

// The id of a board: its serial number when it has one, else HOSTNAME-PORTPATH (the port is the
// one name that stays across a replug). Without either, bus and device numbers stand in, which a
// replug changes. The bridge's id is escaped, so that no board takes it.
std::string boardIdOf(std::string_view serial, std::string_view portPath, std::string_view hostName,
                      unsigned bus, unsigned device);

// The id of a second board that has the same serial number as one already served: the serial's id,
// '-', and its port.
std::string secondBoardId(std::string_view firstId, std::string_view portPath);

// Whether `text` could be an id: what escapeIdText writes, not empty. Ids from the network (topics,
// URLs) are checked with this before anything is looked up or kept.
bool isBoardId(std::string_view text) noexcept;

} // namespace ledboardd
