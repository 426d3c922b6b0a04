// What the daemon tells its monitors: the health check's verdict and reasons, and the metrics
// text Prometheus scrapes.
#include "health.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

using namespace ledboardd;
using namespace std::chrono_literals;
using testing::ElementsAre;

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
