// What one GET /metrics costs the daemon beyond HTTP: the hub's three copies (counters, boards,
// front ends) and the text, with 1 or more boards whose reads were timed (bench/README.md).
//
//   ledboard-bench-metrics BOARDS SCRAPES
//
// Prints the scrape's size and the median time of a scrape over SCRAPES; callgrind counts its
// instructions with --toggle-collect='*scrapeOnce*'.
#include "hub.hpp"
#include "hub_row.hpp"
#include "log.hpp"
#include "metrics_text.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace ledboardd;

// Not inlined, so that callgrind can count exactly the scrapes.
[[gnu::noinline]] std::size_t scrapeOnce(const Hub& hub)
{
    const std::vector<BoardCounters> counters = hub.counters();
    return metricsText(counters, hub.boards(), hub.frontEnds()).size();
}

} // namespace

int main(int argc, char** argv)
{
    constexpr int MAX_BOARDS = 1000;
    constexpr int MAX_SCRAPES = 1000000;
    // A whole number from `text`, or 0 for anything else.
    const auto number = [](const char* text) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        return *text != '\0' && *end == '\0' && value > 0 && value <= MAX_SCRAPES
                   ? static_cast<int>(value)
                   : 0;
    };
    const int boards = argc == 3 ? number(argv[1]) : 0;
    const int scrapes = argc == 3 ? number(argv[2]) : 0;
    if (boards < 1 || boards > MAX_BOARDS || scrapes < 1 || scrapes > MAX_SCRAPES) {
        std::fputs("usage: ledboard-bench-metrics BOARDS SCRAPES (1 to 1000, 1 to 1000000)\n",
                   stderr);
        return 2;
    }
    // The boards' arrivals and departures are no part of the measurement.
    setLogLevel(LogLevel::Warning);
    Hub hub(HubOptions{.interval = std::chrono::milliseconds{50},
                       .missesAllowed = 3,
                       .names = {},
                       .timeReads = true});
    std::vector<std::shared_ptr<Hub::Slot>> slots;
    for (int board = 0; board < boards; ++board) {
        const std::string id = "B" + std::to_string(board + 1);
        slots.push_back(
            hub.arrive({.id = id, .serial = id, .path = "1-1", .manufacturer = "", .product = ""},
                       BoardStatus{0, 0, 0}));
        // A day of reads at 50 ms, most within a millisecond.
        constexpr std::uint64_t READS = 1728000;
        slots.back()->reads = READS;
        slots.back()->latency[0] = READS - 1000;
        slots.back()->latency[3] = 1000;
        slots.back()->latencyNanoseconds = READS * 700000;
    }
    // What the two front ends keep, as the daemon has them.
    hub.setFrontEnd("mqtt", true);
    hub.setFrontEndValue("mqtt", "mqtt_connected", 1);
    hub.addToFrontEnd("mqtt", "mqtt_reconnects_total", 2);
    hub.addToFrontEnd("mqtt", "commands_refused_total", 5);
    hub.setFrontEnd("http", true);
    hub.setFrontEndValue("http", "http_connections", 3);
    hub.setFrontEndValue("http", "http_event_streams", 1);
    hub.addToFrontEnd("http", "commands_refused_total", 1);

    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(scrapes));
    std::size_t bytes = 0;
    for (int scrape = 0; scrape < scrapes; ++scrape) {
        const auto start = std::chrono::steady_clock::now();
        bytes = scrapeOnce(hub);
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::ranges::sort(times);
    std::printf("boards %d: %zu bytes a scrape, median %.1f us over %d scrapes\n", boards, bytes,
                times[times.size() / 2], scrapes);
    for (const auto& slot : slots) {
        hub.leave(*slot, true);
    }
    return 0;
}
