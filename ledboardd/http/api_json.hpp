// The JSON the HTTP API sends and the event stream's frames. Pure, with no I/O, so that the unit
// tests and the fuzzer take it on its own.
#pragma once

#include "hub.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

// {"id":…,"name":…,"available":…,"led":…,"led1":…,"led2":…,"led3":…,"push":…,"jump":…,
//  "serial":…,"path":…,"manufacturer":…,"product":…,"pending":N|null,"effect":EFFECT|null}: the
// LED state and each lamp, push and jump are null while the board's status is not known (a board
// known only from the state file); a string the board does not have, or a name not given, is null.
std::string boardJson(const Board& board);
// {"boards":[BOARD,…]}
std::string boardsJson(const std::vector<Board>& boards);
// {"id":…,"pressed":true|false}
std::string buttonJson(const std::string& id, bool pressed);
// {"id":…,"gesture":"single"|"double"|"long"}
std::string gestureJson(const std::string& id, Gesture gesture);
// {"error":"text"}
std::string errorJson(std::string_view text);

// One Server-Sent Events frame: "event: NAME", "data: DATA" and a blank line. `data` is JSON
// from the functions above, which never holds a line break.
std::string eventFrame(std::string_view name, std::string_view data);
// The frame a change of the hub goes out as: `arrived` and `left` with the board, `button` with
// buttonJson, `gesture` with gestureJson, `retired` with the board's last, and `state` with the
// board for every other change.
std::string changeFrame(const Change& change);

} // namespace ledboardd
