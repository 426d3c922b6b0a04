// The HTTP front end's pure parts: the JSON and event frames it sends, and the checks that keep
// other web pages and other hosts out (framing, Host, Origin, the token).
#include "api_json.hpp"
#include "http_rules.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace ledboardd;
using namespace std::string_view_literals;

namespace {

Board sampleBoard()
{
    Board board;
    board.info = {"A17", "A17", "1-1.4", "Maker", "USB LED Board"};
    board.status = BoardStatus{5, 1, 3};
    board.present = true;
    board.answering = true;
    return board;
}

} // namespace

TEST(BoardJson, HasEveryFieldInOrderAndPendingAsNullOrNumber)
{
    Board board = sampleBoard();
    EXPECT_EQ(boardJson(board),
              R"({"id":"A17","name":null,"available":true,"led":5,"led1":true,"led2":false,)"
              R"("led3":true,"push":1,"jump":3,"serial":"A17","path":"1-1.4",)"
              R"("manufacturer":"Maker","product":"USB LED Board","pending":null,"effect":null})");
    // A name from the configuration, and an effect under way.
    board.name = "Kitchen";
    board.effect = Effect{.kind = Effect::Kind::Blink,
                          .onValue = 5,
                          .offValue = 0,
                          .on = std::chrono::milliseconds{500},
                          .off = std::chrono::milliseconds{500}};
    const auto named = nlohmann::json::parse(boardJson(board));
    EXPECT_EQ(named["name"], "Kitchen");
    EXPECT_EQ(named["effect"], nlohmann::json::parse(R"({"blink":{"on_ms":500,"off_ms":500}})"));
    board.name.clear();
    board.effect.reset();
    // Away, with a value kept for its return.
    board.present = false;
    board.desired = 7;
    board.applied = false;
    const auto json = nlohmann::json::parse(boardJson(board));
    EXPECT_EQ(json["available"], false);
    EXPECT_EQ(json["pending"], 7);
    // Here but not answering is not available either; a value sent is not pending.
    board.present = true;
    board.answering = false;
    board.applied = true;
    EXPECT_EQ(nlohmann::json::parse(boardJson(board))["available"], false);
    EXPECT_EQ(nlohmann::json::parse(boardJson(board))["pending"], nullptr);

    EXPECT_EQ(boardsJson({}), R"({"boards":[]})");
    board.applied = false;
    const auto list = nlohmann::json::parse(boardsJson({sampleBoard(), board}));
    ASSERT_EQ(list["boards"].size(), 2U);
    EXPECT_EQ(list["boards"][1]["pending"], 7);
    EXPECT_EQ(buttonJson("A17", true), R"({"id":"A17","pressed":true})");
    EXPECT_EQ(buttonJson("B", false), R"({"id":"B","pressed":false})");
    EXPECT_EQ(gestureJson("A17", Gesture::Double), R"({"id":"A17","gesture":"double"})");
}

TEST(BoardJson, AStatusNotKnownYetIsNullAndSoAreMissingStrings)
{
    // Known only from the state file: no status read since the daemon started.
    Board board;
    board.info = {"host-1-2", "", "", "", ""};
    board.desired = 4;
    board.applied = false;
    EXPECT_EQ(boardJson(board),
              R"({"id":"host-1-2","name":null,"available":false,"led":null,"led1":null,)"
              R"("led2":null,"led3":null,"push":null,"jump":null,"serial":null,"path":null,)"
              R"("manufacturer":null,"product":null,"pending":4,"effect":null})");
}

TEST(BoardJson, QuotesWhatABoardSaysAndReplacesBytesThatAreNotUtf8)
{
    Board board = sampleBoard();
    board.info.product = "say \"hi\"\n\\";
    board.info.manufacturer = "bad \xff byte";
    const std::string text = boardJson(board);
    // One line: an event stream's data field ends at a line break.
    EXPECT_EQ(text.find('\n'), std::string::npos);
    const auto json = nlohmann::json::parse(text);
    EXPECT_EQ(json["product"], "say \"hi\"\n\\");
    EXPECT_EQ(json["manufacturer"], "bad \xef\xbf\xbd byte");
    EXPECT_EQ(nlohmann::json::parse(errorJson("no \"x\""))["error"], "no \"x\"");
}

TEST(EventFrames, EachChangeGoesOutUnderItsEventName)
{
    const Board board = sampleBoard();
    const std::string state = "data: " + boardJson(board) + "\n\n";
    const std::pair<Change::Kind, std::string> cases[] = {
        {Change::Kind::Arrived, "event: arrived\n" + state},
        {Change::Kind::Left, "event: left\n" + state},
        {Change::Kind::State, "event: state\n" + state},
        {Change::Kind::Availability, "event: state\n" + state},
        {Change::Kind::Desired, "event: state\n" + state},
        {Change::Kind::Applied, "event: state\n" + state},
        {Change::Kind::Button, "event: button\ndata: {\"id\":\"A17\",\"pressed\":true}\n\n"},
    };
    for (const auto& [kind, frame] : cases) {
        EXPECT_EQ(changeFrame(Change{.kind = kind, .board = board, .pressed = true}), frame)
            << static_cast<int>(kind);
    }
}

TEST(Framing, ReadsTheOneLengthOrChunked)
{
    const HeaderField host{"Host", "127.0.0.1:8080"};
    const HeaderField plain[] = {host, {"content-length", "12"}};
    RequestFraming framing = readFraming(plain);
    EXPECT_EQ(framing.refusal, nullptr);
    EXPECT_EQ(framing.contentLength, 12U);
    EXPECT_TRUE(framing.hasBody());

    const HeaderField biggest[] = {host, {"Content-Length", "18446744073709551615"}};
    EXPECT_EQ(readFraming(biggest).contentLength, 18446744073709551615U);
    const HeaderField empty[] = {host, {"Content-Length", "0"}};
    framing = readFraming(empty);
    EXPECT_EQ(framing.contentLength, 0U);
    EXPECT_FALSE(framing.hasBody());

    const HeaderField chunked[] = {host, {"Transfer-Encoding", "Chunked"}};
    framing = readFraming(chunked);
    EXPECT_EQ(framing.refusal, nullptr);
    EXPECT_TRUE(framing.chunked);
    EXPECT_EQ(framing.contentLength, std::nullopt);
    EXPECT_TRUE(framing.hasBody());

    // Neither: no body. A missing Host is for the Host check to refuse.
    framing = readFraming(std::span<const HeaderField>{});
    EXPECT_EQ(framing.refusal, nullptr);
    EXPECT_FALSE(framing.hasBody());
}

TEST(Framing, RefusesRepeatsAndLengthsThatAreNotNumbers)
{
    const HeaderField host{"Host", "127.0.0.1:8080"};
    const std::vector<std::vector<HeaderField>> refused = {
        {host, {"HOST", "evil.example:8080"}},
        {host, {"Content-Length", "1"}, {"Content-Length", "2"}},
        {host, {"Content-Length", "1"}, {"content-length", "1"}},
        {host, {"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}},
        {host, {"Content-Length", "1"}, {"Transfer-Encoding", "chunked"}},
        {host, {"Transfer-Encoding", "gzip"}},
        {host, {"Transfer-Encoding", "gzip, chunked"}},
        {host, {"Content-Length", "-1"}},
        {host, {"Content-Length", "+1"}},
        {host, {"Content-Length", ""}},
        {host, {"Content-Length", "1 2"}},
        {host, {"Content-Length", "0x10"}},
        {host, {"Content-Length", "5a"}},
        {host, {"Content-Length", "18446744073709551616"}},
        {host, {"Content-Length", "99999999999999999999999"}},
        // White space before the colon: another reader may take "Content-Length " as the length.
        {host, {"Content-Length ", "5"}},
        {host, {"X\tY", "1"}},
        {{"Host ", "127.0.0.1:8080"}},
    };
    for (const auto& headers : refused) {
        const RequestFraming framing = readFraming(headers);
        EXPECT_NE(framing.refusal, nullptr) << headers.back().name << ": " << headers.back().value;
    }
}

TEST(HostHeader, NamesThisServerWithItsPort)
{
    for (const std::string_view host :
         {"127.0.0.1:8080"sv, "localhost:8080"sv, "LOCALHOST:8080"sv, "myhost:8080"sv,
          "MyHost.:8080"sv, "[::1]:8080"sv, "192.0.2.9:8080"sv, "[2001:db8::1]:8080"sv}) {
        EXPECT_TRUE(isAllowedHost(host, 8080, "myhost")) << host;
    }
    for (const std::string_view host :
         {""sv, "evil.example:8080"sv, "localhost.evil.example:8080"sv, "127.0.0.1"sv,
          "127.0.0.1:8081"sv, "127.0.0.1:"sv, "127.0.0.1:08080x"sv, "[::1]"sv, "[::1]8080"sv,
          "[evil]:8080"sv, "myhost2:8080"sv, ".:8080"sv, "127.0.0.1:8080:8080"sv, "1.2.3:8080"sv}) {
        EXPECT_FALSE(isAllowedHost(host, 8080, "myhost")) << host;
    }
    // Port 80 is the one a browser leaves out.
    EXPECT_TRUE(isAllowedHost("localhost", 80, "myhost"));
    EXPECT_TRUE(isAllowedHost("[::1]", 80, "myhost"));
    EXPECT_FALSE(isAllowedHost("localhost", 8080, "myhost"));
}

TEST(Origin, OnlyThePagesOwn)
{
    EXPECT_TRUE(isSameOrigin("http://127.0.0.1:8080", "127.0.0.1:8080"));
    EXPECT_TRUE(isSameOrigin("http://LocalHost:8080", "localhost:8080"));
    for (const std::string_view origin :
         {"http://evil.example"sv, "null"sv, ""sv, "https://127.0.0.1:8080"sv,
          "http://127.0.0.1:8081"sv, "http://127.0.0.1:8080/"sv, "http://127.0.0.1"sv,
          "127.0.0.1:8080"sv, "http://x127.0.0.1:8080"sv}) {
        EXPECT_FALSE(isSameOrigin(origin, "127.0.0.1:8080")) << origin;
    }
}

TEST(Token, MatchesOnlyTheWholeToken)
{
    EXPECT_TRUE(tokensMatch("s3cret", "s3cret"));
    for (const std::string_view given : {""sv, "s3cre"sv, "s3cret!"sv, "S3cret"sv, "t3cret"sv,
                                         "s3crex"sv, "s3cret\0"sv, "s3crets3cret"sv}) {
        EXPECT_FALSE(tokensMatch(given, "s3cret")) << given;
    }
    // No token configured matches nothing, not even an empty one.
    EXPECT_FALSE(tokensMatch("", ""));

    EXPECT_EQ(bearerToken("Bearer abc"), "abc");
    EXPECT_EQ(bearerToken("bearer  abc "), "abc");
    for (const std::string_view header :
         {""sv, "Bearer"sv, "Bearer "sv, "Bearer   "sv, "Basic abc"sv, "abc"sv, "Bearerabc"sv}) {
        EXPECT_EQ(bearerToken(header), std::nullopt) << header;
    }
}

TEST(Token, CookieIsFoundAmongOthersAndNeverDecoded)
{
    EXPECT_EQ(cookieValue("ledboardd_token=abc", "ledboardd_token"), "abc");
    // Header values are taken as they come: "abc%41" is that, never "abcA".
    EXPECT_EQ(cookieValue("a=1; ledboardd_token=s3cr%25t%2Dx; b=2", "ledboardd_token"),
              "s3cr%25t%2Dx");
    EXPECT_EQ(cookieValue("ledboardd_token=abc%41", "ledboardd_token"), "abc%41");
    EXPECT_EQ(cookieValue("a=1;ledboardd_token=\"q\"", "ledboardd_token"), "q");
    EXPECT_EQ(cookieValue("ledboardd_token=50%;", "ledboardd_token"), "50%");
    for (const std::string_view header :
         {""sv, "a=1"sv, "xledboardd_token=abc"sv, "ledboardd_tokenx=abc"sv, "ledboardd_token"sv,
          "a=ledboardd_token=abc"sv}) {
        EXPECT_EQ(cookieValue(header, "ledboardd_token"), std::nullopt) << header;
    }
    EXPECT_EQ(bearerToken("Bearer abc%41"), "abc%41");
    EXPECT_FALSE(tokensMatch("abcA", "abc%41"));
}
