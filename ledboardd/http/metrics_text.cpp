#include "metrics_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <functional>
#include <set>

namespace ledboardd {

namespace {

constexpr std::string_view PREFIX = "ledboardd_";
// Room for any double as std::to_chars writes it at its shortest.
constexpr std::size_t NUMBER_SPACE = 32;
// About what the text takes: a board's sixteen samples, and the rest (bench/README.md).
constexpr std::size_t BYTES_A_BOARD = 1024;
constexpr std::size_t BYTES_BESIDE = 3072;

// A board family: its name after the prefix, its type and help, and the value it takes from a
// board's counters.
struct BoardFamily {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    std::uint64_t BoardCounters::*value;
};
constexpr std::array<BoardFamily, 4> BOARD_COUNTERS{{
    {"board_reads_total", "counter", "Exchanges with the board: status reads and LED commands.",
     &BoardCounters::reads},
    {"board_read_failures_total", "counter", "Exchanges with the board that brought no status.",
     &BoardCounters::failures},
    {"board_presses_total", "counter", "Presses of the board's button.", &BoardCounters::presses},
    {"board_commands_applied_total", "counter", "LED commands sent to the board.",
     &BoardCounters::applied},
}};

// A front end's value, by the key it keeps it under (which is also its name after the prefix).
struct FrontEndFamily {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    bool byFrontEnd; // one sample for each front end that keeps it, labelled front_end
};
constexpr std::array<FrontEndFamily, 5> FRONT_END_FAMILIES{{
    {"mqtt_connected", "gauge", "Whether the daemon is connected to its MQTT broker.", false},
    {"mqtt_reconnects_total", "counter",
     "Connections to the MQTT broker made again after it was lost.", false},
    {"commands_refused_total", "counter",
     "LED and retire requests refused: bad payloads, unknown boards or LEDs.", true},
    {"http_connections", "gauge", "HTTP connections open.", false},
    {"http_event_streams", "gauge", "HTTP event streams open.", false},
}};

void appendNumber(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        std::array<char, NUMBER_SPACE> text{};
        const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
        out.append(text.data(), written.ptr);
    }
}

void appendNumber(std::string& out, std::uint64_t value)
{
    std::array<char, NUMBER_SPACE> text{};
    const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), written.ptr);
}

void appendHead(std::string& out, std::string_view name, std::string_view type,
                std::string_view help)
{
    out += "# HELP ";
    out += PREFIX;
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += PREFIX;
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// The start of a sample line, up to its value: NAME, `suffix` (_sum, _count), and `labels`
// (already escaped) when there are any.
void appendSample(std::string& out, std::string_view name, std::string_view suffix,
                  std::string_view labels)
{
    out += PREFIX;
    out += name;
    out += suffix;
    if (!labels.empty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
}

// The histogram's `le` values, written once: the same for every board and every scrape.
const std::array<std::string, BoardCounters::LATENCY_BOUNDS.size() + 1>& bucketBounds()
{
    static const auto bounds = [] {
        std::array<std::string, BoardCounters::LATENCY_BOUNDS.size() + 1> texts;
        for (std::size_t bucket = 0; bucket < BoardCounters::LATENCY_BOUNDS.size(); ++bucket) {
            appendNumber(texts.at(bucket), BoardCounters::LATENCY_BOUNDS.at(bucket));
        }
        texts.back() = "+Inf";
        return texts;
    }();
    return bounds;
}

void appendHistogram(std::string& out, const std::vector<BoardCounters>& counters,
                     const std::vector<std::string>& labels)
{
    constexpr std::string_view NAME = "board_read_seconds";
    appendHead(out, NAME, "histogram", "How long each exchange with the board took, in seconds.");
    const auto& bounds = bucketBounds();
    for (std::size_t index = 0; index < counters.size(); ++index) {
        const BoardCounters& board = counters[index];
        std::uint64_t cumulative = 0;
        for (std::size_t bucket = 0; bucket < board.latency.size(); ++bucket) {
            cumulative += board.latency.at(bucket);
            out += PREFIX;
            out += NAME;
            out += "_bucket{";
            out += labels[index];
            out += ",le=\"";
            out += bounds.at(bucket);
            out += "\"} ";
            appendNumber(out, cumulative);
            out += '\n';
        }
        appendSample(out, NAME, "_sum", labels[index]);
        appendNumber(out, board.latencySum);
        out += '\n';
        appendSample(out, NAME, "_count", labels[index]);
        appendNumber(out, cumulative);
        out += '\n';
    }
}

} // namespace

std::string escapeLabelValue(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string metricsText(const std::vector<BoardCounters>& counters,
                        const std::vector<Board>& boards,
                        const std::map<std::string, FrontEndStatus>& frontEnds)
{
    // Each board's label, escaped once for its sixteen samples.
    std::vector<std::string> labels;
    labels.reserve(counters.size());
    for (const BoardCounters& board : counters) {
        labels.push_back("board=\"" + escapeLabelValue(board.id) + '"');
    }
    std::string out;
    out.reserve(BYTES_A_BOARD * counters.size() + BYTES_BESIDE);
    for (const BoardFamily& family : BOARD_COUNTERS) {
        appendHead(out, family.name, family.type, family.help);
        for (std::size_t index = 0; index < counters.size(); ++index) {
            appendSample(out, family.name, "", labels[index]);
            appendNumber(out, counters[index].*family.value);
            out += '\n';
        }
    }
    appendHistogram(out, counters, labels);
    appendHead(out, "board_available", "gauge",
               "Whether the board is plugged in and answers its reads.");
    std::set<std::string_view, std::less<>> available;
    for (const Board& board : boards) {
        if (board.available()) {
            available.insert(board.info.id);
        }
    }
    for (std::size_t index = 0; index < counters.size(); ++index) {
        appendSample(out, "board_available", "", labels[index]);
        out += available.contains(counters[index].id) ? "1\n" : "0\n";
    }
    for (const FrontEndFamily& family : FRONT_END_FAMILIES) {
        appendHead(out, family.name, family.type, family.help);
        for (const auto& [name, status] : frontEnds) {
            const auto value = status.values.find(std::string{family.name});
            if (value == status.values.end()) {
                continue;
            }
            appendSample(out, family.name, "",
                         family.byFrontEnd ? "front_end=\"" + escapeLabelValue(name) + '"'
                                           : std::string{});
            appendNumber(out, value->second);
            out += '\n';
            if (!family.byFrontEnd) {
                break; // one sample of a family without labels
            }
        }
    }
    return out;
}

} // namespace ledboardd
