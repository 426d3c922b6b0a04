// The button's gestures from the reads alone: each case presses the button over given spans of
// time, reads it every interval from time 0 and names each gesture with the read it came at.
#include "gestures.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace ledboardd;
using namespace std::chrono_literals;

namespace {

struct GestureCase {
    const char* what;
    int intervalMs;
    std::vector<std::pair<int, int>> presses; // [down, up) in ms
    std::vector<std::string> expected;        // "gesture@read ms"
    GestureTimings timings{};
};

constexpr int READ_UNTIL_MS = 3000;

std::vector<std::string> gesturesSeen(const GestureCase& c)
{
    const Clock::time_point origin = Clock::time_point{} + 1h;
    GestureRecognizer recognizer(c.timings);
    std::vector<std::string> seen;
    for (int t = 0; t <= READ_UNTIL_MS; t += c.intervalMs) {
        bool pressed = false;
        for (const auto& [down, up] : c.presses) {
            pressed = pressed || (t >= down && t < up);
        }
        for (const Gesture gesture :
             recognizer.observe(pressed, origin + std::chrono::milliseconds(t))) {
            seen.push_back(std::string(gestureName(gesture)) + "@" + std::to_string(t));
        }
    }
    return seen;
}

} // namespace

TEST(Gestures, EachPressPatternGivesItsGesturesAtTheReadsThatSeeThem)
{
    const GestureTimings longBeforeWindow{.doublePress = 1000ms, .longPress = 500ms};
    const std::vector<GestureCase> cases{
        // A single waits out the window; the read that first sees the press starts it.
        {"single", 10, {{105, 195}}, {"single@510"}},
        {"single", 50, {{105, 195}}, {"single@550"}},
        {"double at the second press", 10, {{100, 200}, {300, 400}}, {"double@300"}},
        {"double at the second press", 50, {{100, 200}, {300, 400}}, {"double@300"}},
        {"a double held long is only a double", 50, {{100, 200}, {300, 2000}}, {"double@300"}},
        {"a third quick press starts anew",
         50,
         {{100, 150}, {250, 300}, {400, 450}},
         {"double@250", "single@800"}},
        {"four quick presses",
         10,
         {{100, 150}, {250, 300}, {400, 450}, {550, 600}},
         {"double@250", "double@550"}},
        {"long once, without a single", 10, {{105, 2000}}, {"long@910"}},
        {"long once, without a single", 50, {{105, 2000}}, {"long@950"}},
        {"a long press opens no window",
         50,
         {{100, 1000}, {1050, 1100}},
         {"long@900", "single@1450"}},
        {"held past the window: single at release", 50, {{100, 700}}, {"single@700"}},
        // Released as the long press would have been seen: no read saw it down that long.
        {"released at the long threshold", 50, {{100, 900}}, {"single@900"}},
        // The window is half open: a second press seen at its end is a first press of its own.
        {"a second press just in the window", 10, {{100, 200}, {490, 600}}, {"double@490"}},
        {"the same press read at 50 ms is late",
         50,
         {{100, 200}, {490, 600}},
         {"single@500", "single@900"}},
        {"held when reading starts", 50, {{0, 2000}, {2100, 2200}}, {"single@2500"}},
        {"held when reading starts", 10, {{0, 300}}, {}},
        {"a press between two reads", 50, {{110, 140}}, {}},
        {"the same press seen at 10 ms", 10, {{110, 140}}, {"single@510"}},
        {"long before the window ends", 50, {{100, 300}}, {"single@1100"}, longBeforeWindow},
        {"long before the window ends", 50, {{100, 700}}, {"long@600"}, longBeforeWindow},
        {"long before the window ends",
         10,
         {{100, 300}, {1090, 1200}},
         {"double@1090"},
         longBeforeWindow},
    };
    for (const GestureCase& c : cases) {
        EXPECT_EQ(gesturesSeen(c), c.expected) << c.what << ", every " << c.intervalMs << " ms";
    }
}
