// LED effects against a fake wall clock: what each shows and until when, across periods, before
// their start and long after a restart; their bounds at the edges; their JSON; the state file's
// form read back.
#include "effects.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace ledboardd;
using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

namespace {

// A whole second, so that the state file's milliseconds keep it as it is.
const SystemClock::time_point T0 =
    std::chrono::sys_days{2026y / std::chrono::December / 8} + 22h + 3min + 51s;

Effect blink(milliseconds on, milliseconds off, SystemClock::time_point start = T0)
{
    return {.kind = Effect::Kind::Blink,
            .onValue = 5,
            .offValue = 2,
            .on = on,
            .off = off,
            .start = start};
}

Effect forSpan(SystemClock::duration span, SystemClock::time_point start = T0)
{
    const auto end = start + span;
    return {.kind = Effect::Kind::For,
            .onValue = 5,
            .offValue = 3,
            .start = start,
            .end = std::chrono::time_point_cast<SystemClock::duration>(end)};
}

} // namespace

TEST(Effects, ShowTheNumberOfTheMomentAndWhenItChanges)
{
    constexpr auto ONE_THOUSAND_DAYS = std::chrono::days(1000);
    const Effect blinking = blink(300ms, 200ms);
    const Effect lasting = forSpan(30s);
    struct Case {
        const char* what;
        const Effect& effect;
        nanoseconds at; // since T0
        int value;
        std::optional<nanoseconds> next; // since T0
        bool over;
    };
    const std::vector<Case> cases{
        {"blink: on from the origin", blinking, 0ns, 5, 300ms, false},
        {"blink: the last moment on", blinking, 300ms - 1ns, 5, 300ms, false},
        {"blink: off at the end of on", blinking, 300ms, 2, 500ms, false},
        {"blink: the last moment off", blinking, 500ms - 1ns, 2, 500ms, false},
        {"blink: the next period", blinking, 500ms, 5, 800ms, false},
        {"blink: the third period, off", blinking, 1350ms, 2, 1500ms, false},
        {"blink: a clock set back, off", blinking, -1ms, 2, 0ms, false},
        {"blink: a clock set back, off at its start", blinking, -200ms, 2, 0ms, false},
        {"blink: a clock set back, on", blinking, -201ms, 5, -200ms, false},
        {"blink: restarted long after", blinking, ONE_THOUSAND_DAYS + 1ms, 5,
         ONE_THOUSAND_DAYS + 300ms, false},
        {"blink: restarted long after, off", blinking, ONE_THOUSAND_DAYS + 499ms, 2,
         ONE_THOUSAND_DAYS + 500ms, false},
        {"for: from its start", lasting, 0ns, 5, 30s, false},
        {"for: a clock set back", lasting, -1h, 5, 30s, false},
        {"for: the last moment", lasting, 30s - 1ns, 5, 30s, false},
        {"for: over at its end", lasting, 30s, 3, std::nullopt, true},
        {"for: ended while the daemon was down", lasting, ONE_THOUSAND_DAYS, 3, std::nullopt, true},
    };
    for (const Case& c : cases) {
        const EffectStep step = effectAt(c.effect, T0 + c.at);
        EXPECT_EQ(step.value, c.value) << c.what;
        EXPECT_EQ(step.next, c.next ? std::optional(T0 + *c.next) : std::nullopt) << c.what;
        EXPECT_EQ(step.over, c.over) << c.what;
    }
}

TEST(Effects, RefuseWhatReadsCannotShowOrNobodyMeant)
{
    constexpr auto DAY = milliseconds(24h);
    const char* const tooShort = R"("on_ms" or "off_ms" is under two read intervals)";
    struct Case {
        Effect effect;
        milliseconds interval;
        const char* refusal;
    };
    Effect outOfRange = blink(100ms, 100ms);
    outOfRange.onValue = 32;
    Effect negative = forSpan(1s);
    negative.offValue = -1;
    const std::vector<Case> cases{
        {blink(100ms, 100ms), 50ms, nullptr},
        {blink(99ms, 100ms), 50ms, tooShort},
        {blink(100ms, 99ms), 50ms, tooShort},
        {blink(20ms, 20ms), 10ms, nullptr},
        {blink(20ms, 19ms), 10ms, tooShort},
        {blink(DAY, 100ms), 50ms, nullptr},
        {blink(100ms, DAY + 1ms), 50ms, R"("on_ms" or "off_ms" is over a day)"},
        {forSpan(1s), 50ms, nullptr},
        {forSpan(999ms), 50ms, "\"for_s\" is under 1"},
        {forSpan(-1s), 50ms, "\"for_s\" is under 1"},
        {forSpan(DAY), 60s, nullptr},
        {forSpan(DAY + 1ms), 50ms, "\"for_s\" is over a day"},
        {outOfRange, 50ms, "out of range (0 to 31)"},
        {negative, 50ms, "out of range (0 to 31)"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_STREQ(effectRefusal(cases[i].effect, cases[i].interval), cases[i].refusal)
            << "case " << i;
    }
}

TEST(Effects, JsonForTheStateMessagesAndTheApi)
{
    EXPECT_EQ(effectJson(blink(500ms, 250ms)).dump(), R"({"blink":{"on_ms":500,"off_ms":250}})");
    EXPECT_EQ(effectJson(forSpan(30s)).dump(),
              R"({"for_s":30,"until":"2026-12-08T22:04:21Z","then":3})");
    // The fraction of a second dropped, the date through a leap day.
    const SystemClock::time_point leapDay = std::chrono::sys_days{2028y / 2 / 29};
    EXPECT_EQ(effectJson(forSpan(86399999ms, leapDay - 86399s)).dump(),
              R"({"for_s":86399,"until":"2028-02-29T00:00:00Z","then":3})");
}

TEST(Effects, TheStateFileKeepsThemAndRefusesWhatIsOutOfBounds)
{
    for (const Effect& effect : {blink(100ms, 86400000ms), blink(1ms, 7ms, T0 - 100h), forSpan(1s),
                                 forSpan(24h, T0 + 12345ms)}) {
        const std::string text = effectStateJson(effect).dump();
        EXPECT_EQ(parseEffectState(nlohmann::json::parse(text)), effect) << text;
    }
    // Kept to the millisecond.
    EXPECT_EQ(parseEffectState(effectStateJson(blink(100ms, 100ms, T0 + 999us)))->start, T0);
    EXPECT_EQ(effectStateJson(forSpan(30s)).dump(),
              R"({"kind":"for","on":5,"off":3,"start_ms":1796767431000,"end_ms":1796767461000})");

    for (const std::string_view rest :
         {R"("kind":"pulse","on":5,"off":2,"start_ms":1,"on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":32,"off":2,"start_ms":1,"on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":5,"off":-1,"start_ms":1,"on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":5.0,"off":2,"start_ms":1,"on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":5,"off":2,"start_ms":-1,"on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":5,"off":2,"start_ms":7258118400001,"on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":5,"off":2,"start_ms":"1","on_ms":1,"off_ms":1)",
          R"("kind":"blink","on":5,"off":2,"start_ms":1,"on_ms":0,"off_ms":1)",
          R"("kind":"blink","on":5,"off":2,"start_ms":1,"on_ms":1,"off_ms":86400001)",
          R"("kind":"blink","on":5,"off":2,"start_ms":1,"on_ms":1)",
          R"("kind":"for","on":5,"off":2,"start_ms":1000,"end_ms":1999)",
          R"("kind":"for","on":5,"off":2,"start_ms":1000,"end_ms":86401001)",
          R"("kind":"for","on":5,"off":2,"start_ms":1000,"end_ms":18446744073709551615)",
          R"("kind":"for","on":5,"off":2,"start_ms":1000)"}) {
        EXPECT_EQ(parseEffectState(nlohmann::json::parse("{" + std::string(rest) + "}")),
                  std::nullopt)
            << rest;
    }
    EXPECT_EQ(parseEffectState(nlohmann::json::array()), std::nullopt);
}
