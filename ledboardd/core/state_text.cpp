#include "state_text.hpp"

#include "board_id.hpp"
#include "effects.hpp"
#include "led_command.hpp"

#include <nlohmann/json.hpp>

namespace ledboardd {

namespace {

constexpr int STATE_VERSION = 1;
// More boards than the hub keeps rows for are not one host's.
constexpr std::size_t MAX_SAVED_BOARDS = 1024;

nlohmann::json optionalText(const std::string& text)
{
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

std::string textOf(const nlohmann::json& value)
{
    return value.is_string() ? value.get<std::string>() : std::string{};
}

} // namespace

std::string stateText(const std::vector<SavedBoard>& boards)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const SavedBoard& board : boards) {
        nlohmann::ordered_json entry;
        entry["id"] = board.info.id;
        entry["serial"] = optionalText(board.info.serial);
        entry["path"] = optionalText(board.info.path);
        entry["manufacturer"] = optionalText(board.info.manufacturer);
        entry["product"] = optionalText(board.info.product);
        entry["desired"] = board.desired ? nlohmann::json(*board.desired) : nullptr;
        entry["effect"] = board.effect ? nlohmann::json(effectStateJson(*board.effect)) : nullptr;
        if (board.discoveryWithdrawn) {
            entry["discovery"] = "withdrawn";
        }
        list.push_back(std::move(entry));
    }
    nlohmann::ordered_json state;
    state["version"] = STATE_VERSION;
    state["boards"] = std::move(list);
    // Board strings come from USB descriptors: what is not UTF-8 is replaced, not thrown on.
    return state.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

StateText parseStateText(std::string_view text)
{
    StateText parsed;
    if (text.size() > MAX_STATE_FILE) {
        parsed.error = "larger than 1 MiB";
        return parsed;
    }
    const auto state = nlohmann::json::parse(text, nullptr, false);
    if (state.is_discarded() || !state.is_object()) {
        parsed.error = "not JSON";
        return parsed;
    }
    const auto version = state.find("version");
    if (version == state.end() || *version != STATE_VERSION) {
        parsed.error = "not version 1";
        return parsed;
    }
    const auto boards = state.find("boards");
    if (boards == state.end() || !boards->is_array() || boards->size() > MAX_SAVED_BOARDS) {
        parsed.error = "no list of boards";
        return parsed;
    }
    for (const auto& entry : *boards) {
        if (!entry.is_object() || !entry.contains("id") || !entry["id"].is_string()) {
            continue;
        }
        SavedBoard board;
        board.info.id = entry["id"].get<std::string>();
        if (!isBoardId(board.info.id)) {
            continue;
        }
        board.info.serial = textOf(entry.value("serial", nlohmann::json{}));
        board.info.path = textOf(entry.value("path", nlohmann::json{}));
        board.info.manufacturer = textOf(entry.value("manufacturer", nlohmann::json{}));
        board.info.product = textOf(entry.value("product", nlohmann::json{}));
        const auto desired = entry.value("desired", nlohmann::json{});
        if (desired.is_number_integer() && desired.get<long long>() >= 0 &&
            desired.get<long long>() <= MAX_LED_NUMBER) {
            board.desired = desired.get<int>();
        }
        if (const auto effect = entry.find("effect"); effect != entry.end()) {
            board.effect = parseEffectState(*effect);
        }
        board.discoveryWithdrawn = entry.value("discovery", nlohmann::json{}) == "withdrawn";
        parsed.boards.push_back(std::move(board));
    }
    return parsed;
}

} // namespace ledboardd
