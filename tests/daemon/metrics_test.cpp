// What the daemon tells its monitors: the health check's verdict and reasons, and the metrics
// text Prometheus scrapes.
#include "health.hpp"
#include "metrics_text.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

using namespace ledboardd;
using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

std::map<std::string, FrontEndStatus> frontEnds(bool mqttUp)
{
    return {{"http", FrontEndStatus{}},
            {"mqtt", FrontEndStatus{.up = mqttUp,
                                    .problem = mqttUp ? ""
                                                      : "not connected to the MQTT broker at "
                                                        "broker.lan:1883",
                                    .values = {}}}};
}

} // namespace

TEST(Health, EveryFrontEndUpAndEveryBoardReadIsOk)
{
    const Health health = judgeHealth(frontEnds(true), {}, 150ms, true);
    EXPECT_TRUE(health.ok);
    EXPECT_THAT(health.reasons, ElementsAre());
    EXPECT_EQ(healthJson(health), R"({"status":"ok"})");
    EXPECT_TRUE(judgeHealth({}, {}, 150ms, false).ok);
}

// The front ends first, then the boards; names and addresses only for a client that may read
// the API.
TEST(Health, SaysWhyAndNamesOnlyToThoseWhoMayReadTheApi)
{
    const std::vector<std::string> late{"A17", "B22"};
    const Health named = judgeHealth(frontEnds(false), late, 150ms, true);
    EXPECT_FALSE(named.ok);
    EXPECT_THAT(named.reasons, ElementsAre("not connected to the MQTT broker at broker.lan:1883",
                                           "board A17 not read within 150 ms",
                                           "board B22 not read within 150 ms"));
    EXPECT_EQ(healthJson(named),
              R"({"status":"unhealthy","reasons":["not connected to the MQTT broker at )"
              R"(broker.lan:1883","board A17 not read within 150 ms",)"
              R"("board B22 not read within 150 ms"]})");

    const Health counted = judgeHealth(frontEnds(false), late, 150ms, false);
    EXPECT_FALSE(counted.ok);
    EXPECT_THAT(counted.reasons,
                ElementsAre("the mqtt front end is down", "2 boards not read within 150 ms"));
    EXPECT_THAT(judgeHealth(frontEnds(true), {"A17"}, 3000ms, false).reasons,
                ElementsAre("1 board not read within 3000 ms"));
    // A front end down that says nothing of why.
    EXPECT_THAT(judgeHealth({{"mqtt", FrontEndStatus{.up = false, .problem = {}, .values = {}}}},
                            {}, 150ms, true)
                    .reasons,
                ElementsAre("the mqtt front end is down"));
}

// One table: a board here whose reads were timed, one away that was never timed, and the two
// front ends, with a value no family names.
TEST(Metrics, EveryFamilyWithItsHelpTypeAndSamples)
{
    BoardCounters here{.id = "A17", .reads = 6, .failures = 1, .presses = 2, .applied = 3};
    here.latency = {3, 1, 0, 0, 0, 0, 0, 0, 2};
    here.latencySum = 2.5;
    const BoardCounters away{.id = "B22", .reads = 0, .failures = 0, .presses = 0, .applied = 0};
    Board board;
    board.info.id = "A17";
    board.present = true;
    board.answering = true;
    const std::map<std::string, FrontEndStatus> frontEnds{
        {"http", FrontEndStatus{.up = true,
                                .problem = {},
                                .values = {{"http_connections", 2},
                                           {"http_event_streams", 1},
                                           {"commands_refused_total", 4},
                                           {"not_a_family", 9}}}},
        {"mqtt", FrontEndStatus{.up = false,
                                .problem = "down",
                                .values = {{"mqtt_connected", 0},
                                           {"mqtt_reconnects_total", 1},
                                           {"commands_refused_total", 0.5}}}}};
    EXPECT_EQ(metricsText({here, away}, {board}, frontEnds),
              "# HELP ledboardd_board_reads_total Exchanges with the board: status reads and LED "
              "commands.\n"
              "# TYPE ledboardd_board_reads_total counter\n"
              "ledboardd_board_reads_total{board=\"A17\"} 6\n"
              "ledboardd_board_reads_total{board=\"B22\"} 0\n"
              "# HELP ledboardd_board_read_failures_total Exchanges with the board that brought no "
              "status.\n"
              "# TYPE ledboardd_board_read_failures_total counter\n"
              "ledboardd_board_read_failures_total{board=\"A17\"} 1\n"
              "ledboardd_board_read_failures_total{board=\"B22\"} 0\n"
              "# HELP ledboardd_board_presses_total Presses of the board's button.\n"
              "# TYPE ledboardd_board_presses_total counter\n"
              "ledboardd_board_presses_total{board=\"A17\"} 2\n"
              "ledboardd_board_presses_total{board=\"B22\"} 0\n"
              "# HELP ledboardd_board_commands_applied_total LED commands sent to the board.\n"
              "# TYPE ledboardd_board_commands_applied_total counter\n"
              "ledboardd_board_commands_applied_total{board=\"A17\"} 3\n"
              "ledboardd_board_commands_applied_total{board=\"B22\"} 0\n"
              "# HELP ledboardd_board_read_seconds How long each exchange with the board took, in "
              "seconds.\n"
              "# TYPE ledboardd_board_read_seconds histogram\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.001\"} 3\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.002\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.005\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.01\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.02\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.05\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"0.1\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"1\"} 4\n"
              "ledboardd_board_read_seconds_bucket{board=\"A17\",le=\"+Inf\"} 6\n"
              "ledboardd_board_read_seconds_sum{board=\"A17\"} 2.5\n"
              "ledboardd_board_read_seconds_count{board=\"A17\"} 6\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.001\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.002\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.005\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.01\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.02\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.05\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"0.1\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"1\"} 0\n"
              "ledboardd_board_read_seconds_bucket{board=\"B22\",le=\"+Inf\"} 0\n"
              "ledboardd_board_read_seconds_sum{board=\"B22\"} 0\n"
              "ledboardd_board_read_seconds_count{board=\"B22\"} 0\n"
              "# HELP ledboardd_board_available Whether the board is plugged in and answers its "
              "reads.\n"
              "# TYPE ledboardd_board_available gauge\n"
              "ledboardd_board_available{board=\"A17\"} 1\n"
              "ledboardd_board_available{board=\"B22\"} 0\n"
              "# HELP ledboardd_mqtt_connected Whether the daemon is connected to its MQTT "
              "broker.\n"
              "# TYPE ledboardd_mqtt_connected gauge\n"
              "ledboardd_mqtt_connected 0\n"
              "# HELP ledboardd_mqtt_reconnects_total Connections to the MQTT broker made again "
              "after it was lost.\n"
              "# TYPE ledboardd_mqtt_reconnects_total counter\n"
              "ledboardd_mqtt_reconnects_total 1\n"
              "# HELP ledboardd_commands_refused_total LED and retire requests refused: bad "
              "payloads, unknown boards or LEDs.\n"
              "# TYPE ledboardd_commands_refused_total counter\n"
              "ledboardd_commands_refused_total{front_end=\"http\"} 4\n"
              "ledboardd_commands_refused_total{front_end=\"mqtt\"} 0.5\n"
              "# HELP ledboardd_http_connections HTTP connections open.\n"
              "# TYPE ledboardd_http_connections gauge\n"
              "ledboardd_http_connections 2\n"
              "# HELP ledboardd_http_event_streams HTTP event streams open.\n"
              "# TYPE ledboardd_http_event_streams gauge\n"
              "ledboardd_http_event_streams 1\n");
}

// Label values may hold anything: backslash, double quote and line feed are escaped wherever a
// board's id is a label, so that no value ends its sample early or starts another.
TEST(Metrics, LabelValuesAreEscaped)
{
    EXPECT_EQ(escapeLabelValue("plain-id_1.2~2F"), "plain-id_1.2~2F");
    EXPECT_EQ(escapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    const BoardCounters odd{
        .id = "x\"} 1\ny", .reads = 1, .failures = 0, .presses = 0, .applied = 0};
    const std::string text = metricsText({odd}, {}, {});
    EXPECT_THAT(text, HasSubstr("ledboardd_board_reads_total{board=\"x\\\"} 1\\ny\"} 1\n"));
    EXPECT_THAT(text, HasSubstr("{board=\"x\\\"} 1\\ny\",le=\"+Inf\"} 0\n"));
    // Every line is a comment or a sample of this one board: nothing was let out of the quotes.
    std::size_t samples = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        if (!line.starts_with("# ")) {
            EXPECT_THAT(line, HasSubstr("board=\"x\\\"} 1\\ny\"")) << line;
            ++samples;
        }
        start = end + 1;
    }
    // Four counters, nine buckets with _sum and _count, and available.
    EXPECT_EQ(samples, 4U + 11U + 1U);
}
