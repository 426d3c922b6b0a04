// The core without USB: the LED request grammar, board ids, the state file's text, and the hub's
// table driven as the board workers drive it.
#include "board_id.hpp"
#include "hub.hpp"
#include "hub_row.hpp"
#include "led_command.hpp"
#include "state_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace ledboardd;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using testing::ElementsAre;

TEST(SetPayload, TakesEveryLedNumberWithWhiteSpaceAround)
{
    for (int value = 0; value <= MAX_LED_NUMBER; ++value) {
        const std::string text = std::to_string(value);
        EXPECT_EQ(parseLedRequest(text).value, value) << text;
        EXPECT_EQ(parseLedRequest(" \t" + text + "\r\n").value, value) << text;
        EXPECT_EQ(parseLedRequest(text).refusal, nullptr);
    }
    EXPECT_EQ(parseLedRequest("07").value, 7);
    EXPECT_EQ(parseLedRequest("007").value, 7);
    EXPECT_EQ(parseLedRequest("000").value, 0);
    EXPECT_EQ(parseLedRequest("0000000031").value, 31);
    // The JSON form, as HTTP has always taken it and MQTT now does too.
    EXPECT_EQ(parseLedRequest(R"({"led":5})").value, 5);
    EXPECT_EQ(parseLedRequest(" { \"led\" : 31 }\n").value, 31);
    // With an effect: its numbers are read here, whether the reads can show them is the hub's.
    struct Effect {
        std::string_view payload;
        int value;
        std::optional<BlinkRequest> blink;
        std::optional<std::chrono::seconds> forSeconds;
    };
    for (const Effect& effect : {
             Effect{R"({"led":5,"blink":{"on_ms":500,"off_ms":250}})", 5, {{500ms, 250ms}}, {}},
             Effect{R"({"blink":{"off_ms":86400000,"on_ms":0},"led":31})",
                    31,
                    {{0ms, 86400000ms}},
                    {}},
             Effect{R"({"led":0,"for_s":30})", 0, {}, 30s},
             Effect{R"({"for_s":86400,"led":7})", 7, {}, 86400s},
             Effect{R"({"led":7,"for_s":-0})", 7, {}, 0s},
             Effect{R"({"led":5})", 5, {}, {}},
         }) {
        const LedCommand command = parseLedRequest(effect.payload);
        EXPECT_EQ(command.value, effect.value) << effect.payload;
        EXPECT_EQ(command.refusal, nullptr) << effect.payload;
        EXPECT_EQ(command.blink, effect.blink) << effect.payload;
        EXPECT_EQ(command.forSeconds, effect.forSeconds) << effect.payload;
    }
}

TEST(SetPayload, RefusesAnythingElse)
{
    for (const std::string_view payload : {""sv,
                                           " \n"sv,
                                           "32"sv,
                                           "99"sv,
                                           "-1"sv,
                                           "+5"sv,
                                           "-0"sv,
                                           "5.0"sv,
                                           "0x5"sv,
                                           "5 5"sv,
                                           "5a"sv,
                                           "a5"sv,
                                           "0032"sv,
                                           "1e1"sv,
                                           "\v5"sv,
                                           "5\f"sv,
                                           "\0"sv,
                                           "5\0"sv,
                                           "\x35\xc2\xa0"sv,
                                           "\xd9\xa3"sv /* an Arabic-Indic digit */,
                                           "4294967301"sv,
                                           "on"sv,
                                           R"({"led":5,"x":1})"sv,
                                           R"({"led":"5"})"sv,
                                           R"({"led":5.5})"sv,
                                           R"({"led":32})"sv,
                                           R"([5])"sv,
                                           R"({"led":5)"sv,
                                           R"({"blink":{"on_ms":1,"off_ms":1}})"sv,
                                           R"({"led":5,"blink":{"on_ms":1,"off_ms":1},"x":1})"sv,
                                           R"({"led":5,"blink":{"on_ms":1}})"sv,
                                           R"({"led":5,"blink":{"on_ms":1,"off_ms":1,"x":1}})"sv,
                                           R"({"led":5,"blink":[1,1]})"sv,
                                           R"({"led":5,"blink":{"on_ms":1.5,"off_ms":1}})"sv,
                                           R"({"led":5,"blink":{"on_ms":1,"off_ms":"1"}})"sv,
                                           R"({"led":5,"blink":{"on_ms":1,"off_ms":-1}})"sv,
                                           R"({"led":5,"blink":{"on_ms":86400001,"off_ms":1}})"sv,
                                           R"({"led":5,"blink":{"on_ms":1,"off_ms":1e3}})"sv,
                                           R"({"led":32,"blink":{"on_ms":1,"off_ms":1}})"sv,
                                           R"({"led":5,"for_s":86401})"sv,
                                           R"({"led":5,"for_s":18446744073709551615})"sv,
                                           R"({"led":5,"for_s":-9223372036854775808})"sv,
                                           R"({"led":5,"for_s":30.0})"sv,
                                           R"({"led":5,"for_s":null})"sv,
                                           R"({"led":5,"FOR_S":30})"sv}) {
        const LedCommand command = parseLedRequest(payload);
        EXPECT_EQ(command.value, -1) << '"' << payload << '"';
        EXPECT_NE(command.refusal, nullptr) << '"' << payload << '"';
        EXPECT_FALSE(command.blink || command.forSeconds) << '"' << payload << '"';
    }
}

TEST(SetPayload, SaysWhyAndRefusesOversizedPayloadsUnread)
{
    EXPECT_STREQ(parseLedRequest("").refusal, "empty payload");
    EXPECT_STREQ(parseLedRequest("x").refusal, "not a decimal number");
    EXPECT_STREQ(parseLedRequest("32").refusal, "out of range (0 to 31)");
    EXPECT_STREQ(parseLedRequest("00100").refusal, "out of range (0 to 31)");
    EXPECT_STREQ(parseLedRequest(R"({"led":true})").refusal, "\"led\" is not a whole number");
    EXPECT_STREQ(parseLedRequest(R"({"on":1})").refusal, "expected {\"led\":N}");
    EXPECT_STREQ(parseLedRequest(R"({"led":1,"on":1})").refusal,
                 R"(unknown key (only "led", "blink" and "for_s"))");
    EXPECT_STREQ(parseLedRequest(R"({"led":1,"for_s":1,"blink":{"on_ms":1,"off_ms":1}})").refusal,
                 R"(both "blink" and "for_s")");
    EXPECT_STREQ(parseLedRequest(R"({"led":1,"blink":{"on_ms":1}})").refusal,
                 R"(expected "blink":{"on_ms":N,"off_ms":N})");
    EXPECT_STREQ(parseLedRequest(R"({"led":1,"blink":{"on_ms":-1,"off_ms":1.5}})").refusal,
                 "\"on_ms\" is negative");
    EXPECT_STREQ(parseLedRequest(R"({"led":1,"blink":{"on_ms":1,"off_ms":1.5}})").refusal,
                 "\"off_ms\" is not a whole number");
    EXPECT_STREQ(parseLedRequest(R"({"led":1,"for_s":86401})").refusal, "\"for_s\" is over a day");
    // White space alone past the bound: still too long, however harmless.
    const std::string padded = std::string(MAX_LED_REQUEST, ' ') + "5";
    EXPECT_STREQ(parseLedRequest(padded).refusal, "payload too long");
    EXPECT_EQ(parseLedRequest(padded.substr(1)).value, 5);
}

// Ids name topics, URLs and the kept state: distinct serial numbers must never meet in one id,
// whatever characters they hold, and no id may leave its topic level or URL segment.
TEST(BoardId, DistinctSerialsGiveDistinctSafeIds)
{
    const std::vector<std::pair<std::string_view, std::string>> cases{
        {"A17", "A17"},   {"a/b", "a~2Fb"},       {"a_b", "a_b"},   {"a+b", "a~2Bb"},
        {"a#b", "a~23b"}, {"a~2Fb", "a~7E2Fb"},   {"a b", "a~20b"}, {"caf\xc3\xa9", "caf~C3~A9"},
        {"..", "~2E~2E"}, {"bridge", "~62ridge"}, {"1.0", "1.0"},
    };
    for (const auto& [serial, id] : cases) {
        EXPECT_EQ(boardIdOf(serial, "1-1", "host", 1, 2), id) << serial;
        EXPECT_TRUE(isBoardId(id)) << id;
    }
    EXPECT_EQ(boardIdOf("", "1-1.4", "myhost", 1, 2), "myhost-1-1.4");
    EXPECT_EQ(boardIdOf("", "", "myhost", 1, 2), "myhost-bus1-dev2");
    EXPECT_EQ(secondBoardId("A17", "1-2"), "A17-1-2");
    for (const std::string_view bad : {""sv, "a/b"sv, "a+b"sv, "~2"sv, "~zz"sv, ".."sv, "a b"sv}) {
        EXPECT_FALSE(isBoardId(bad)) << bad;
    }
}

TEST(StateText, ReadsBackWhatItWritesAndLeavesOutWhatIsNotOurs)
{
    const auto start = SystemClock::time_point{std::chrono::milliseconds{1'765'000'000'000}};
    const Effect blink{.kind = Effect::Kind::Blink,
                       .onValue = 5,
                       .offValue = 0,
                       .on = std::chrono::milliseconds{500},
                       .off = std::chrono::milliseconds{250},
                       .start = start};
    const std::vector<SavedBoard> boards{
        {{.id = "A17", .serial = "A17", .path = "1-1", .manufacturer = "M", .product = "P"},
         5,
         false,
         blink},
        {{.id = "host-1-2", .serial = "", .path = "1-2", .manufacturer = "", .product = ""},
         std::nullopt,
         true,
         std::nullopt},
    };
    const StateText read = parseStateText(stateText(boards));
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.boards, boards);

    const StateText mixed = parseStateText(
        R"({"version":1,"boards":[{"id":"a/b","desired":1},{"id":"ok","desired":99},
            {"id":"B2","desired":31},"junk"]})");
    ASSERT_EQ(mixed.boards.size(), 2U);
    EXPECT_EQ(mixed.boards[0].info.id, "ok");
    EXPECT_EQ(mixed.boards[0].desired, std::nullopt); // out of range: not kept
    EXPECT_EQ(mixed.boards[1].desired, 31);
    for (const std::string_view bad :
         {"{"sv, R"({"version":2,"boards":[]})"sv, "[]"sv, R"({"version":1})"sv}) {
        EXPECT_NE(parseStateText(bad).error, "") << bad;
    }
}

namespace {

constexpr BoardStatus ZERO{0, 0, 0};

BoardInfo infoOf(const std::string& id)
{
    return {.id = id, .serial = id, .path = "1-1", .manufacturer = "M", .product = "P"};
}

// Every change as "Kind id" (with the detail that matters for the kind), in delivery order.
class Recorder {
public:
    explicit Recorder(Hub& hub)
    {
        hub.addListener([this](const Change& change) { record(change); });
    }
    std::vector<std::string> take() { return std::exchange(seen_, {}); }

private:
    void record(const Change& change)
    {
        static constexpr std::array<const char*, 7> NAMES{
            "Arrived", "Left", "Availability", "State", "Button", "Desired", "Applied"};
        std::string line = std::string{NAMES.at(static_cast<std::size_t>(change.kind))} + " " +
                           change.board.info.id;
        if (change.kind == Change::Kind::State && change.board.status) {
            line += " led=" + std::to_string(change.board.status->led);
        }
        if (change.kind == Change::Kind::Availability) {
            line += change.board.available() ? " available" : " unavailable";
        }
        if (const auto pending = change.board.pending()) {
            line += " pending=" + std::to_string(*pending);
        }
        seen_.push_back(line);
    }
    std::vector<std::string> seen_;
};

// One turn of a worker that is due at once, answered with `status` (nothing: a missed read).
Hub::Turn turnOf(Hub& hub, Hub::Slot& slot, std::optional<BoardStatus> status)
{
    const Hub::Turn turn = hub.takeTurn(slot);
    if (turn.write && status) {
        status->led = reportedLed(*turn.write);
    }
    hub.report(slot, turn, status);
    return turn;
}

} // namespace

// A value set for a board that is away (known from before a restart) waits, is sent first thing
// when the board comes back, and each request hears how it ended.
TEST(Hub, AValueForAnAwayBoardIsKeptAndSentOnItsReturn)
{
    Hub hub(HubOptions{});
    Recorder changes(hub);
    hub.restore({{infoOf("A17"), std::nullopt, false, std::nullopt}});
    std::vector<std::string> outcomes;
    const auto note = [&outcomes](const char* name) {
        return [&outcomes, name](const SetResult& result) {
            outcomes.push_back(std::string{name} + " " +
                               std::to_string(static_cast<int>(result.outcome)));
        };
    };

    hub.setLed("nowhere", 3, note("nowhere"));
    hub.setLed("A17", 6, note("away"));
    EXPECT_THAT(outcomes, ElementsAre("nowhere 4", "away 1")); // Unknown, Kept
    EXPECT_THAT(changes.take(), ElementsAre("Desired A17 pending=6"));

    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    hub.setLed("A17", 6, note("here"));
    const Hub::Turn turn = turnOf(hub, *slot, ZERO);
    EXPECT_EQ(turn.write, 6);
    EXPECT_THAT(outcomes.back(), "here 0"); // Applied
    EXPECT_THAT(changes.take(), ElementsAre("Arrived A17 pending=6", "State A17 led=6"));
    EXPECT_EQ(hub.board("A17")->pending(), std::nullopt);

    // Nothing waits any more: the next turn is a read.
    EXPECT_EQ(turnOf(hub, *slot, BoardStatus{6, 0, 0}).write, std::nullopt);
    hub.leave(*slot, true);
    EXPECT_THAT(changes.take(), ElementsAre("Left A17"));
    ASSERT_EQ(hub.snapshot().size(), 1U);
    EXPECT_EQ(hub.snapshot()[0].desired, 6);
}

// The latest value wins: one replaced before it went out says so; one that changes nothing the
// board reports is still confirmed; a board that left takes the value with it.
TEST(Hub, TheLatestValueWinsAndEveryRequestEnds)
{
    Hub hub(HubOptions{});
    Recorder changes(hub);
    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    std::vector<SetOutcome> outcomes;
    const auto note = [&outcomes](const SetResult& result) { outcomes.push_back(result.outcome); };

    hub.setLed("A17", 1, note);
    hub.setLed("A17", 2, note);
    EXPECT_EQ(turnOf(hub, *slot, ZERO).write, 2);
    EXPECT_THAT(outcomes, ElementsAre(SetOutcome::Superseded, SetOutcome::Applied));

    // Bits 3 and 4 reach the board, which reports only the low three: nothing changes.
    hub.setLed("A17", 2 + 8, note);
    turnOf(hub, *slot, ZERO);
    EXPECT_EQ(outcomes.back(), SetOutcome::Applied);

    hub.setLed("A17", 4, note);
    hub.leave(*slot, true);
    EXPECT_EQ(outcomes.back(), SetOutcome::Left);
    EXPECT_EQ(hub.board("A17")->pending(), 4);
    EXPECT_THAT(changes.take(),
                ElementsAre("Arrived A17", "State A17 led=2", "Applied A17", "Left A17 pending=4"));
}

// Three missed reads make a board unavailable; a command that failed waits for the next read's
// turn (a board that fails at once is not asked again and again) and goes out once it answers.
TEST(Hub, MissedReadsMakeABoardUnavailableUntilItAnswers)
{
    Hub hub(HubOptions{.interval = std::chrono::milliseconds{50},
                       .missesAllowed = 3,
                       .names = {},
                       .timeReads = false});
    Recorder changes(hub);
    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    hub.setLed("A17", 5);
    EXPECT_EQ(turnOf(hub, *slot, std::nullopt).write, 5); // sent, no status back
    EXPECT_EQ(turnOf(hub, *slot, std::nullopt).write, 5); // at the next read's turn
    EXPECT_TRUE(hub.board("A17")->available());
    turnOf(hub, *slot, std::nullopt);
    EXPECT_FALSE(hub.board("A17")->available());
    EXPECT_EQ(hub.board("A17")->pending(), 5);
    turnOf(hub, *slot, ZERO);
    EXPECT_THAT(changes.take(),
                ElementsAre("Arrived A17", "Availability A17 unavailable pending=5",
                            "Availability A17 available pending=5", "State A17 led=5"));
    hub.leave(*slot, true);
}

// A read that hangs (a board holds its request for the 5 s USB timeout) counts as missed reads
// while it lasts: the worker's count of reads stops moving on.
TEST(Hub, AReadThatHangsMakesTheBoardUnavailable)
{
    const auto interval = std::chrono::milliseconds{50};
    Hub hub(HubOptions{.interval = interval, .missesAllowed = 3, .names = {}, .timeReads = false});
    const auto start = Clock::now();
    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    slot->reads = 1;
    hub.checkStalled(start + interval * 2); // moved on: read just now
    EXPECT_TRUE(hub.board("A17")->available());
    hub.checkStalled(start + interval * 4); // not since two intervals ago
    EXPECT_TRUE(hub.board("A17")->available());
    EXPECT_EQ(hub.unread(interval * 3), std::vector<std::string>{});
    hub.checkStalled(start + interval * 5);
    EXPECT_FALSE(hub.board("A17")->available());
    hub.report(*slot, Hub::Turn{}, ZERO); // it answers at last
    EXPECT_TRUE(hub.board("A17")->available());
    hub.leave(*slot, true);
}

// Listeners run outside the table's lock and may ask the hub anything, even for a change, which
// then reaches them after the one they are handling.
TEST(Hub, ListenersMayCallTheHubAndHearEveryChangeInOrder)
{
    Hub hub(HubOptions{});
    std::vector<std::string> seen;
    hub.addListener([&](const Change& change) {
        seen.push_back(std::to_string(static_cast<int>(change.kind)) + ":" +
                       std::to_string(hub.boards().size()));
        if (change.kind == Change::Kind::Left) {
            hub.setLed("A17", 7); // from inside a listener: queued, not deadlocked
        }
    });
    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    hub.leave(*slot, true);
    EXPECT_THAT(seen, ElementsAre("0:1", "1:1", "5:1")); // Arrived, Left, Desired
    EXPECT_EQ(hub.board("A17")->pending(), 7);
}

// Effects run by the hub: a blink's steps go out at the times the hub gives the worker, a request
// whose effect the reads cannot show is refused, and a new request ends the effect.
TEST(Hub, ABlinkAlternatesAtItsStepsAndANewValueEndsIt)
{
    const auto interval = std::chrono::milliseconds{50};
    Hub hub(HubOptions{.interval = interval, .missesAllowed = 3, .names = {}, .timeReads = false});
    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    std::vector<SetResult> results;
    const auto note = [&results](const SetResult& result) { results.push_back(result); };

    LedCommand tooFast{5, nullptr};
    tooFast.blink = BlinkRequest{std::chrono::milliseconds{60}, std::chrono::milliseconds{500}};
    hub.setLed("A17", tooFast, note);
    ASSERT_EQ(results.size(), 1U);
    EXPECT_EQ(results[0].outcome, SetOutcome::Refused);
    EXPECT_NE(results[0].refusal, nullptr);
    EXPECT_EQ(hub.board("A17")->desired, std::nullopt);

    LedCommand blink{5, nullptr};
    blink.blink = BlinkRequest{std::chrono::milliseconds{300}, std::chrono::milliseconds{300}};
    hub.setLed("A17", blink, note);
    Hub::Turn turn = hub.takeTurn(*slot);
    EXPECT_EQ(turn.write, 5); // the on phase, first
    ASSERT_TRUE(turn.stepAt);
    const auto untilStep = *turn.stepAt - Clock::now();
    EXPECT_GT(untilStep, std::chrono::milliseconds{200});
    EXPECT_LE(untilStep, std::chrono::milliseconds{300});
    hub.report(*slot, turn, BoardStatus{5, 0, 0});
    EXPECT_EQ(results.back().outcome, SetOutcome::Applied);
    EXPECT_EQ(hub.takeTurn(*slot).write, std::nullopt); // still on: nothing to send
    ASSERT_TRUE(hub.board("A17")->effect);

    hub.setLedBit("A17", 2, true);
    EXPECT_EQ(hub.board("A17")->effect, std::nullopt);
    EXPECT_EQ(hub.board("A17")->desired, 7);
    hub.leave(*slot, true);
}

// The hub sees the button's gestures in the reads the worker reports, and asks for every read
// while one may still come: a press and a release make a single only once the window has passed.
TEST(Hub, GesturesComeFromTheReadsAndAskForEveryReadMeanwhile)
{
    static Clock::time_point now{};
    Hub hub(HubOptions{.interval = std::chrono::milliseconds{10},
                       .missesAllowed = 3,
                       .names = {},
                       .timeReads = false,
                       .gestures = {.doublePress = std::chrono::milliseconds{100},
                                    .longPress = std::chrono::milliseconds{400}},
                       .now = [] { return now; }});
    std::vector<std::string> gestures;
    hub.addListener([&gestures](const Change& change) {
        if (change.kind == Change::Kind::Gesture) {
            gestures.emplace_back(gestureName(change.gesture));
        }
    });
    const auto slot = hub.arrive(infoOf("A17"), ZERO);
    const auto read = [&](unsigned push) {
        now += std::chrono::milliseconds{10};
        return hub.report(*slot, {}, BoardStatus{0, push, 0});
    };
    EXPECT_FALSE(read(0)); // seen up: presses count from here
    EXPECT_TRUE(read(1));
    EXPECT_TRUE(read(0));                     // released: a second press may still come
    for (int reads = 0; reads < 8; ++reads) { // 40 to 110 ms: the window began at 20
        EXPECT_TRUE(read(0));
    }
    EXPECT_TRUE(gestures.empty());
    EXPECT_FALSE(read(0)); // the window has run out
    EXPECT_EQ(gestures, std::vector<std::string>{"single"});
    EXPECT_EQ(gestures, std::vector<std::string>{"single"});
    hub.leave(*slot, true);
}
