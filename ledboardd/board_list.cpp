#include "board_list.hpp"

#include "parsing.hpp"

#include <nlohmann/json.hpp>

namespace ledboardd {

std::string boardListJson(const std::set<std::string>& ids)
{
    // The ids are topic levels: ASCII, so the dump cannot meet invalid UTF-8; replaced anyway
    // rather than thrown on.
    return nlohmann::json(ids).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<std::string>> parseBoardList(std::string_view payload)
{
    if (payload.size() > MAX_BOARD_LIST_PAYLOAD) {
        return std::nullopt;
    }
    // Without exceptions: a payload that is not JSON comes back discarded.
    const nlohmann::json list = nlohmann::json::parse(payload, nullptr, false);
    if (list.is_discarded() || !list.is_array() || list.size() > MAX_LISTED_BOARDS) {
        return std::nullopt;
    }
    std::vector<std::string> ids;
    for (const nlohmann::json& entry : list) {
        if (!entry.is_string()) {
            return std::nullopt;
        }
        const auto& id = entry.get_ref<const std::string&>();
        if (!id.empty() && topicLevel(id) == id) {
            ids.push_back(id);
        }
    }
    return ids;
}

} // namespace ledboardd
