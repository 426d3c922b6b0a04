// GET /healthz: whether the daemon does its job, judged from what the hub knows (its front ends,
// and when each board here was last read). Pure, for the unit tests.
#pragma once

#include "hub.hpp"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace ledboardd {

// A board here that has not been read for this many intervals makes the daemon unhealthy: one
// late read is a busy bus, three are a board or a thread that hangs.
inline constexpr int UNREAD_INTERVALS = 3;

struct Health {
    bool ok = true;
    std::vector<std::string> reasons; // one for each front end down, then the boards not read
};

// Judges the front ends (each must be up) and the boards `unread` within `limit`. With `named`,
// the reasons say which board and what each front end said of itself (its broker's address);
// without it, for a client that has not shown the token, only which front end and how many boards.
Health judgeHealth(const std::map<std::string, FrontEndStatus>& frontEnds,
                   const std::vector<std::string>& unread, std::chrono::milliseconds limit,
                   bool named);

// {"status":"ok"} or {"status":"unhealthy","reasons":["…",…]}
std::string healthJson(const Health& health);

} // namespace ledboardd
