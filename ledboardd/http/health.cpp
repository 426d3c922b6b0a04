#include "health.hpp"

#include <nlohmann/json.hpp>

#include <utility>

namespace ledboardd {

Health judgeHealth(const std::map<std::string, FrontEndStatus>& frontEnds,
                   const std::vector<std::string>& unread, std::chrono::milliseconds limit,
                   bool named)
{
    Health health;
    for (const auto& [name, status] : frontEnds) {
        if (!status.up) {
            health.reasons.push_back(named && !status.problem.empty()
                                         ? status.problem
                                         : "the " + name + " front end is down");
        }
    }
    const std::string within = " not read within " + std::to_string(limit.count()) + " ms";
    if (named) {
        for (const std::string& id : unread) {
            std::string reason = "board " + id;
            reason += within;
            health.reasons.push_back(std::move(reason));
        }
    } else if (!unread.empty()) {
        std::string reason = std::to_string(unread.size());
        reason += unread.size() == 1 ? " board" : " boards";
        reason += within;
        health.reasons.push_back(std::move(reason));
    }
    health.ok = health.reasons.empty();
    return health;
}

std::string healthJson(const Health& health)
{
    nlohmann::ordered_json json;
    json["status"] = health.ok ? "ok" : "unhealthy";
    if (!health.ok) {
        json["reasons"] = health.reasons;
    }
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace ledboardd
