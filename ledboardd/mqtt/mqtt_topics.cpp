#include "mqtt_topics.hpp"

#include "board_id.hpp"

#include <nlohmann/json.hpp>

namespace ledboardd {

namespace {

constexpr std::string_view COMMAND_LEAF = "/set";

constexpr bool isControl(char c) noexcept
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

std::string topicLevel(std::string_view text)
{
    std::string level;
    for (const char c : text.substr(0, MAX_TOPIC_LEVEL)) {
        const bool unsafe = c == '+' || c == '#' || c == '/' || isControl(c) ||
                            static_cast<unsigned char>(c) >= 0x80;
        level += unsafe ? '_' : c;
    }
    return level.empty() ? std::string{"_"} : level;
}

Topics::Topics(std::string prefix, std::string_view hostName)
    : prefix_(std::move(prefix)), bridgeAvailability_(prefix_ + "/" + std::string{BRIDGE_ID} + "/" +
                                                      topicLevel(hostName) + "/availability"),
      bridgeBoards_(prefix_ + "/" + std::string{BRIDGE_ID} + "/" + topicLevel(hostName) + "/boards")
{
}

std::string Topics::board(const std::string& id, const char* leaf) const
{
    return prefix_ + "/" + id + "/" + leaf;
}

std::vector<std::string> Topics::subscriptions() const
{
    return {prefix_ + "/+" + std::string{COMMAND_LEAF}};
}

std::optional<std::string> Topics::commandTarget(std::string_view topic) const
{
    if (!topic.starts_with(prefix_) || topic.size() <= prefix_.size() ||
        topic[prefix_.size()] != '/' || !topic.ends_with(COMMAND_LEAF)) {
        return std::nullopt;
    }
    const std::size_t start = prefix_.size() + 1;
    if (topic.size() < start + COMMAND_LEAF.size()) {
        return std::nullopt;
    }
    const std::string_view id = topic.substr(start, topic.size() - start - COMMAND_LEAF.size());
    if (id.empty() || id.find('/') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string{id};
}

std::string stateJson(const BoardStatus& status)
{
    // ordered_json keeps the keys in the order the tool prints them.
    nlohmann::ordered_json state;
    state["led"] = status.led;
    state["push"] = status.push;
    state["jump"] = status.jump;
    return state.dump();
}

std::string boardListJson(const std::vector<std::string>& ids)
{
    // The ids are ASCII, so the dump cannot meet invalid UTF-8; replaced anyway rather than
    // thrown on.
    return nlohmann::json(ids).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace ledboardd
