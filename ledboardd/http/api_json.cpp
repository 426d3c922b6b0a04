#include "api_json.hpp"

#include "led_switch.hpp"

#include <nlohmann/json.hpp>

namespace ledboardd {

namespace {

using Json = nlohmann::ordered_json; // the keys in the order the API documents them

Json boardObject(const Board& board)
{
    Json object;
    object["id"] = board.info.id;
    object["name"] = board.name.empty() ? Json(nullptr) : Json(board.name);
    object["available"] = board.available();
    if (board.status) {
        object["led"] = board.status->led;
        for (int led = 1; led <= LED_COUNT; ++led) {
            object["led" + std::to_string(led)] = (board.status->led & (1U << (led - 1))) != 0;
        }
        object["push"] = board.status->push;
        object["jump"] = board.status->jump;
    } else {
        for (const char* key : {"led", "led1", "led2", "led3", "push", "jump"}) {
            object[key] = nullptr;
        }
    }
    // A string the board does not have is null, as in `ledboard --json --list`.
    const auto optional = [](const std::string& text) {
        return text.empty() ? Json(nullptr) : Json(text);
    };
    object["serial"] = optional(board.info.serial);
    object["path"] = optional(board.info.path);
    object["manufacturer"] = optional(board.info.manufacturer);
    object["product"] = optional(board.info.product);
    const std::optional<int> pending = board.pending();
    object["pending"] = pending ? Json(*pending) : Json(nullptr);
    object["effect"] = board.effect ? effectJson(*board.effect) : Json(nullptr);
    return object;
}

// Strings from a board's descriptors are not guaranteed to be UTF-8; replace what is not.
std::string dump(const Json& json)
{
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::string boardJson(const Board& board)
{
    return dump(boardObject(board));
}

std::string boardsJson(const std::vector<Board>& boards)
{
    Json list = Json::array();
    for (const Board& board : boards) {
        list.push_back(boardObject(board));
    }
    Json object;
    object["boards"] = std::move(list);
    return dump(object);
}

std::string buttonJson(const std::string& id, bool pressed)
{
    Json object;
    object["id"] = id;
    object["pressed"] = pressed;
    return dump(object);
}

std::string gestureJson(const std::string& id, Gesture gesture)
{
    Json object;
    object["id"] = id;
    object["gesture"] = gestureName(gesture);
    return dump(object);
}

std::string errorJson(std::string_view text)
{
    Json object;
    object["error"] = text;
    return dump(object);
}

std::string eventFrame(std::string_view name, std::string_view data)
{
    std::string frame = "event: ";
    frame += name;
    frame += "\ndata: ";
    frame += data;
    frame += "\n\n";
    return frame;
}

std::string changeFrame(const Change& change)
{
    switch (change.kind) {
    case Change::Kind::Arrived:
        return eventFrame("arrived", boardJson(change.board));
    case Change::Kind::Left:
        return eventFrame("left", boardJson(change.board));
    case Change::Kind::Button:
        return eventFrame("button", buttonJson(change.board.info.id, change.pressed));
    case Change::Kind::Gesture:
        return eventFrame("gesture", gestureJson(change.board.info.id, change.gesture));
    case Change::Kind::Retired:
        return eventFrame("retired", boardJson(change.board));
    case Change::Kind::Discovery:
    case Change::Kind::Availability:
    case Change::Kind::State:
    case Change::Kind::Desired:
    case Change::Kind::Applied:
        break;
    }
    return eventFrame("state", boardJson(change.board));
}

} // namespace ledboardd
