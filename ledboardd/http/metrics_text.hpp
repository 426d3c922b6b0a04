// GET /metrics: the hub's counters and the front ends' own values in Prometheus's text exposition
// format (version 0.0.4). Pure, for the unit tests and the benchmark.
#pragma once

#include "hub.hpp"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ledboardd {

inline constexpr const char* METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// A label's value as the format quotes it: backslash, double quote and line feed escaped.
std::string escapeLabelValue(std::string_view value);

// Every family, each with its HELP and TYPE lines, in a fixed order: per board (label `board`,
// from `counters`, `available` from `boards`, which may miss a board that arrived meanwhile), then
// from the front ends' values (`commands_refused_total` by label `front_end`, the rest as the one
// front end that keeps it says). A front end's value that no family names is left out.
std::string metricsText(const std::vector<BoardCounters>& counters,
                        const std::vector<Board>& boards,
                        const std::map<std::string, FrontEndStatus>& frontEnds);

} // namespace ledboardd
