// Turns the command line's options into what the simulated bus holds.
#include "config.hpp"
#include "parsing.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace sim {

namespace {

constexpr int MAX_BUS = 127;
// USB addresses are 1 to 127 (USB 2.0, 9.4.6), and the root hub has one of them.
constexpr int MAX_BOARDS = 126;
constexpr int MAX_REPLY = 7;
// A string descriptor's length byte counts 2 bytes of header and 2 per character (USB 2.0, 9.6.7).
constexpr std::size_t MAX_STRING = 126;
// A hub has at most 255 ports (its descriptor's bNbrPorts is a byte); USB 2.0 allows five hubs
// between a device and its root hub, and Linux names up to seven tiers (USB 3.0, 10.1.3).
constexpr int MAX_PORT = 255;
constexpr std::size_t MAX_PORT_LEVELS = 7;

// Device strings end up in a descriptor and in umockdev's line-based device description.
std::string deviceString(std::string_view key, std::string_view value)
{
    if (value.size() > MAX_STRING) {
        fail(std::string(key) + " string has " + std::to_string(value.size()) +
             " characters; a string descriptor holds at most " + std::to_string(MAX_STRING));
    }
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) >= 0x7F) {
            fail(std::string(key) + " string holds a character that is not printable ASCII");
        }
    }
    return std::string(value);
}

std::uint16_t parseId(std::string_view text)
{
    if (text.size() > 4) {
        fail("invalid USB ID: '" + std::string(text) + "'");
    }
    return parseNumber<std::uint16_t>(text, 16, "USB ID");
}

// "1.4": port 1 of the root hub, then port 4 of the hub there.
std::vector<int> parsePort(std::string_view text)
{
    std::vector<int> port;
    std::string_view rest = text;
    do {
        const auto dot = rest.find('.');
        const int number = parseNumber<int>(rest.substr(0, dot), 10, "port");
        if (number < 1 || number > MAX_PORT) {
            fail("ports are numbered 1 to 255: '" + std::string(text) + "'");
        }
        port.push_back(number);
        rest = dot == std::string_view::npos ? "" : rest.substr(dot + 1);
        if (dot != std::string_view::npos && rest.empty()) {
            fail("invalid port: '" + std::string(text) + "'");
        }
    } while (!rest.empty());
    if (port.size() > MAX_PORT_LEVELS) {
        fail("a port path has at most 7 levels: '" + std::string(text) + "'");
    }
    return port;
}

void applyOption(DevicePlan& device, std::string_view option)
{
    const auto equals = option.find('=');
    const std::string_view key = option.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? "" : option.substr(equals + 1);
    if (key == "product" && equals != std::string_view::npos) {
        device.productName = deviceString(key, value);
    } else if (key == "manufacturer" && equals != std::string_view::npos) {
        device.manufacturerName = deviceString(key, value);
    } else if (key == "serial" && equals != std::string_view::npos) {
        device.serialNumber = deviceString(key, value);
    } else if (key == "mode" && equals != std::string_view::npos) {
        device.mode = parseNumber<unsigned>(value, 8, "mode");
        if (*device.mode > 0777) {
            fail("a mode has permission bits only: '" + std::string(value) + "'");
        }
    } else if (key == "bus" && equals != std::string_view::npos) {
        device.bus = parseNumber<int>(value, 10, "bus number");
        if (device.bus < 1 || device.bus > MAX_BUS) {
            fail("bus number out of range: '" + std::string(value) + "'");
        }
    } else if (key == "port" && equals != std::string_view::npos) {
        device.port = parsePort(value);
    } else if (option == "stall-strings") {
        device.stallStrings = true;
    } else if (option == "eperm") {
        device.denyAll = true;
    } else if (option == "vanish") {
        device.vanish = true;
    } else if (option == "unplugged") {
        device.unplugged = true;
    } else {
        fail("unknown device option: '" + std::string(option) + "'");
    }
}

void applyOptions(DevicePlan& device, std::string_view options)
{
    while (!options.empty()) {
        const auto comma = options.find(',');
        applyOption(device, options.substr(0, comma));
        options = comma == std::string_view::npos ? "" : options.substr(comma + 1);
    }
}

DevicePlan parseDevice(std::string_view plan)
{
    const auto comma = plan.find(',');
    const std::string_view identity = plan.substr(0, comma);
    DevicePlan device;
    if (identity == "board") {
        device = defaultBoard();
    } else {
        const auto colon = identity.find(':');
        if (colon == std::string_view::npos) {
            fail("a device is VID:PID or 'board', not '" + std::string(identity) + "'");
        }
        device.vendor = parseId(identity.substr(0, colon));
        device.product = parseId(identity.substr(colon + 1));
    }
    if (comma != std::string_view::npos) {
        applyOptions(device, plan.substr(comma + 1));
    }
    return device;
}

RequestFault parseFault(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        fail("a fault is N:KIND, not '" + std::string(text) + "'");
    }
    RequestFault fault;
    fault.order = parseNumber<int>(text.substr(0, colon), 10, "request number");
    if (fault.order < 1) {
        fail("requests are counted from 1: '" + std::string(text) + "'");
    }
    const std::string_view kind = text.substr(colon + 1);
    if (kind == "stall") {
        fault.kind = FaultKind::Stall;
    } else if (kind == "timeout") {
        fault.kind = FaultKind::Timeout;
    } else if (kind == "hang") {
        fault.kind = FaultKind::Hang;
    } else if (kind == "unplug") {
        fault.kind = FaultKind::Unplug;
    } else if (kind == "eperm") {
        fault.kind = FaultKind::Denied;
    } else if (kind.starts_with("short=")) {
        fault.kind = FaultKind::Short;
        fault.shortLength = parseNumber<int>(kind.substr(6), 10, "reply length");
        if (fault.shortLength < 0 || fault.shortLength >= MAX_REPLY) {
            fail("a short reply has 0 to 6 bytes: '" + std::string(text) + "'");
        }
    } else {
        fail("unknown fault: '" + std::string(kind) + "'");
    }
    return fault;
}

// --boards N: board K of 1 to N has the serial number BKKK (B001, B002, ...), unless the
// board was given one; boards 2 to N are added right behind the board, on its bus.
void addBoards(Config& config, int count)
{
    if (!config.board) {
        fail("--boards needs the first board");
    }
    const auto serial = [](int number) {
        std::array<char, 16> text{}; // room for any int, though 126 is the most
        std::snprintf(text.data(), text.size(), "B%03d", number);
        return std::string(text.data());
    };
    if (!config.board->serialNumber) {
        config.board->serialNumber = serial(1);
    }
    std::vector<DevicePlan> boards;
    for (int number = 2; number <= count; ++number) {
        DevicePlan board = defaultBoard();
        board.bus = config.board->bus;
        board.serialNumber = serial(number);
        board.followsBoard = true;
        boards.push_back(std::move(board));
    }
    config.after.insert(config.after.begin(), boards.begin(), boards.end());
}

} // namespace

DevicePlan defaultBoard()
{
    DevicePlan board;
    board.vendor = BOARD_VENDOR;
    board.product = BOARD_PRODUCT;
    board.board = true;
    board.productName = "USB LED Board";
    board.manufacturerName = "ledboard simulator";
    return board;
}

Config parseArguments(const std::vector<std::string>& arguments, bool& help)
{
    Config config;
    config.board = defaultBoard();
    help = false;
    bool secondBoard = false;
    int boards = 0; // --boards
    std::vector<std::string> atTexts;
    std::size_t at = 0;
    const auto value = [&](const std::string& option) -> const std::string& {
        if (at + 1 >= arguments.size()) {
            fail(option + " needs a value");
        }
        return arguments[++at];
    };
    for (; at < arguments.size(); ++at) {
        const std::string& option = arguments[at];
        if (option == "--") {
            ++at;
            break;
        }
        if (option == "-h" || option == "--help") {
            help = true;
            return config;
        }
        if (option == "--push") {
            config.pushed = true;
        } else if (option == "--jumpers") {
            config.jumpers = parseJumpers(value(option));
        } else if (option == "--board") {
            if (config.board) {
                applyOptions(*config.board, value(option));
            } else {
                fail("--board cannot change a board that --no-board removed");
            }
        } else if (option == "--no-board") {
            config.board.reset();
        } else if (option == "--second-board") {
            secondBoard = true;
        } else if (option == "--boards") {
            boards = parseNumber<int>(value(option), 10, "number of boards");
            if (boards < 1 || boards > MAX_BOARDS) {
                fail("--boards takes 1 to " + std::to_string(MAX_BOARDS) +
                     " boards (a bus has 127 addresses, one of them its root hub's)");
            }
        } else if (option == "--fault") {
            config.faults.push_back(parseFault(value(option)));
        } else if (option == "--before") {
            config.before.push_back(parseDevice(value(option)));
        } else if (option == "--after") {
            config.after.push_back(parseDevice(value(option)));
        } else if (option == "--at") {
            atTexts.push_back(value(option)); // once the boards are known
        } else if (option == "--log") {
            config.logPath = value(option);
            if (config.logPath.empty()) {
                fail("--log needs a file name");
            }
        } else if (option == "--control") {
            config.controlPath = value(option);
            if (config.controlPath.empty()) {
                fail("--control needs a file name");
            }
        } else if (option == "--join-script") {
            config.joinScriptPath = value(option);
            if (config.joinScriptPath.empty()) {
                fail("--join-script needs a file name");
            }
        } else if (option == "--all-users") {
            config.allUsers = true;
        } else if (option == "--log-time") {
            config.logTimes = true;
        } else {
            fail("unknown option '" + option + "' (the command follows '--')");
        }
    }
    if (secondBoard) {
        if (!config.board) {
            fail("--second-board needs the first board");
        }
        DevicePlan second = defaultBoard();
        second.bus = config.board->bus;
        second.followsBoard = true;
        config.after.insert(config.after.begin(), second);
    }
    if (boards != 0) {
        if (secondBoard) {
            fail("--boards and --second-board do not go together (--boards 2 is the board and a "
                 "second one)");
        }
        addBoards(config, boards);
    }
    numberBoards(config);
    for (const std::string& text : atTexts) {
        parseAt(config, text, boardCount(config));
    }
    config.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
    if (config.command.empty()) {
        fail("no command to run (put it after '--')");
    }
    return config;
}

} // namespace sim
