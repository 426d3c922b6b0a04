// The changes of --at and of the control FIFO: what they say, for which board, and when.
#include "config.hpp"
#include "parsing.hpp"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr unsigned MAX_JUMPERS = 0xF;

// WHEN of --at as a time: "300ms", "2s", "1.5s", down to microseconds.
std::chrono::microseconds parseTime(std::string_view text)
{
    const bool millis = text.ends_with("ms");
    if (!millis && !text.ends_with("s")) {
        fail("a time ends in ms or s: '" + std::string(text) + "'");
    }
    const std::string_view number = text.substr(0, text.size() - (millis ? 2 : 1));
    const auto point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view{} : number.substr(point + 1);
    constexpr long long MICROS_PER_SECOND = 1000000;
    constexpr long long MAX_SECONDS = 1000000; // some eleven days: longer is a typo
    const long long unit = millis ? MICROS_PER_SECOND / 1000 : MICROS_PER_SECOND;
    const auto seconds = parseNumber<long long>(whole, 10, "time");
    if (seconds * unit / MICROS_PER_SECOND > MAX_SECONDS ||
        (point != std::string_view::npos && fraction.empty())) {
        fail("invalid time: '" + std::string(text) + "'");
    }
    long long micros = seconds * unit;
    long long scale = unit;
    for (const char digit : fraction) {
        scale /= 10;
        if (digit < '0' || digit > '9' || scale == 0) {
            fail("invalid time: '" + std::string(text) + "' (microseconds at most)");
        }
        micros += (digit - '0') * scale;
    }
    return std::chrono::microseconds{micros};
}

} // namespace

// WHEN is the board's Nth vendor request, or a time.
void parseAt(Config& config, std::string_view text, int boards)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        fail("a change is WHEN:CHANGE, not '" + std::string(text) + "'");
    }
    const std::string_view when = text.substr(0, colon);
    const BoardChange change = parseBoardChange(text.substr(colon + 1), boards);
    if (!when.empty() && when.find_first_not_of("0123456789") == std::string_view::npos) {
        InputChange ordered{parseNumber<int>(when, 10, "request number"), change};
        if (ordered.order < 1) {
            fail("requests are counted from 1: '" + std::string(text) + "'");
        }
        if (change.plugged == true) {
            fail("a board off the bus gets no requests: plug it in at a time (500ms:plug)");
        }
        config.changes.push_back(ordered);
    } else {
        config.timedChanges.push_back({parseTime(when), change});
    }
}

void numberBoards(Config& config)
{
    int next = 1;
    if (config.board) {
        config.board->boardNumber = next++;
    }
    std::vector<DevicePlan*> others;
    for (auto* list : {&config.before, &config.after}) {
        for (auto& device : *list) {
            if (device.followsBoard) {
                device.boardNumber = next++;
            } else if (device.board) {
                others.push_back(&device);
            }
        }
    }
    std::stable_sort(
        others.begin(), others.end(),
        [](const DevicePlan* one, const DevicePlan* other) { return one->bus < other->bus; });
    for (DevicePlan* device : others) {
        device->boardNumber = next++;
    }
}

unsigned parseJumpers(std::string_view mask)
{
    const auto jumpers = parseNumber<unsigned>(mask, 16, "jumper mask");
    if (jumpers > MAX_JUMPERS) {
        fail("the board has four jumpers: mask '" + std::string(mask) + "' is above f");
    }
    return jumpers;
}

BoardChange parseBoardChange(std::string_view text, int boards)
{
    BoardChange change;
    const auto at = text.rfind('@');
    if (at != std::string_view::npos) {
        change.board = parseNumber<int>(text.substr(at + 1), 10, "board number");
        if (change.board < 1 || change.board > boards) {
            fail("there is no board " + std::string(text.substr(at + 1)) +
                 " (boards: " + std::to_string(boards) + ")");
        }
        text = text.substr(0, at);
    } else if (boards < 1) {
        fail("there is no board to change");
    }
    std::string_view changes = text;
    do {
        const auto comma = changes.find(',');
        const std::string_view one = changes.substr(0, comma);
        if (one == "push" || one == "release") {
            change.pushed = one == "push";
        } else if (one.starts_with("jumpers=")) {
            change.jumpers = parseJumpers(one.substr(std::strlen("jumpers=")));
        } else if (one == "plug" || one == "unplug") {
            change.plugged = one == "plug";
        } else if (one == "hang" || one == "answer") {
            change.hung = one == "hang";
        } else {
            fail("unknown change: '" + std::string(one) + "'");
        }
        changes = comma == std::string_view::npos ? "" : changes.substr(comma + 1);
    } while (!changes.empty());
    return change;
}

int boardCount(const Config& config)
{
    int boards = config.board ? 1 : 0;
    for (const auto* list : {&config.before, &config.after}) {
        boards += static_cast<int>(
            std::count_if(list->begin(), list->end(), [](const DevicePlan& d) { return d.board; }));
    }
    return boards;
}

} // namespace sim
