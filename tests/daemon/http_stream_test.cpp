// An event stream's queue on its own (no library calls while it holds frames): frames go out in
// order across reads of any size, a change already in a stream's snapshot is not sent again, a
// stream that falls too far behind is given up, and every stream gets its keep-alive comment.
#include "api_json.hpp"
#include "event_stream.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace ledboardd;

namespace {

// Never called through: a stream touches its connection only to suspend or resume it, and these
// tests read only while it has frames. Distinct addresses stand for distinct connections.
std::array<char, 3> connections{};
MHD_Connection* fakeConnection(std::size_t n)
{
    return reinterpret_cast<MHD_Connection*>(&connections.at(n));
}

std::string readAll(EventStream& stream, std::size_t bytes, std::size_t step)
{
    std::string text;
    std::string buffer(step, '\0');
    while (text.size() < bytes) {
        const ssize_t got = EventStream::read(&stream, text.size(), buffer.data(), step);
        EXPECT_GT(got, 0);
        if (got <= 0) {
            break;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return text;
}

Change buttonChange(bool pressed)
{
    Change change{.kind = Change::Kind::Button, .board = {}, .pressed = pressed};
    change.board.info.id = "A17";
    return change;
}

} // namespace

TEST(EventStream, SendsItsFramesInOrderAcrossReadsOfAnySize)
{
    for (const std::size_t step : {1U, 7U, 4096U}) {
        EventStreams streams;
        auto owned = std::make_unique<EventStream>(fakeConnection(1), 3, "retry: 1000\n\n");
        EventStream& stream = *owned;
        streams.add(&stream, std::move(owned));
        // Change 2 is in the snapshot already; 3 and 4 are not.
        for (const std::uint64_t number : {2U, 3U, 4U}) {
            EXPECT_TRUE(streams.changed(buttonChange(number == 3), number).empty());
        }
        const std::string expected =
            "retry: 1000\n\n" + changeFrame(buttonChange(true)) + changeFrame(buttonChange(false));
        EXPECT_EQ(readAll(stream, expected.size(), step), expected) << step;
        EXPECT_EQ(streams.remove(&stream), fakeConnection(1));
        EXPECT_EQ(streams.remove(&stream), nullptr);
    }
}

TEST(EventStream, OneThatFallsTooFarBehindIsGivenUpAndTheOthersKeepGoing)
{
    EventStreams streams;
    auto slowOwned = std::make_unique<EventStream>(fakeConnection(1), 0, "");
    auto fastOwned = std::make_unique<EventStream>(fakeConnection(2), 0, "");
    EventStream& slow = *slowOwned;
    EventStream& fast = *fastOwned;
    streams.add(&fast, std::move(fastOwned));
    streams.add(&slow, std::move(slowOwned));
    const std::size_t frame = changeFrame(buttonChange(true)).size();
    std::uint64_t number = 0;
    std::vector<MHD_Connection*> behind;
    // The fast one reads each frame as it comes; the slow one reads nothing.
    while (behind.empty() && number < 10000) {
        behind = streams.changed(buttonChange(true), number++);
        EXPECT_EQ(readAll(fast, frame, frame), changeFrame(buttonChange(true)));
    }
    ASSERT_EQ(behind, std::vector<MHD_Connection*>{fakeConnection(1)});
    // 64 KiB of frames were held for it, and not one more.
    EXPECT_EQ(number - 1, std::size_t{64} * 1024 / frame);
    // Given up, it ends in error: the library closes its connection, the client reconnects.
    std::string buffer(frame, '\0');
    EXPECT_EQ(EventStream::read(&slow, 0, buffer.data(), buffer.size()),
              MHD_CONTENT_READER_END_WITH_ERROR);
    // The other one goes on.
    EXPECT_TRUE(streams.changed(buttonChange(false), number).empty());
    EXPECT_EQ(readAll(fast, frame + 1, frame + 1), changeFrame(buttonChange(false)));
}

TEST(EventStream, EveryStreamGetsAKeepAliveEveryFifteenSecondsAndAnEndAtStop)
{
    EventStreams streams;
    EXPECT_EQ(streams.nextDue(), std::nullopt);
    const Clock::time_point start = Clock::now();
    auto owned = std::make_unique<EventStream>(fakeConnection(1), 0, "");
    EventStream& stream = *owned;
    streams.add(&stream, std::move(owned));
    ASSERT_TRUE(streams.nextDue());
    const Clock::time_point due = *streams.nextDue();
    EXPECT_GE(due - start, std::chrono::seconds(15));
    EXPECT_LE(due - start, std::chrono::seconds(16));
    streams.tick(due - std::chrono::milliseconds(1));
    EXPECT_EQ(streams.nextDue(), due);
    streams.tick(due);
    EXPECT_EQ(readAll(stream, 14, 100), ": keep-alive\n\n");
    EXPECT_EQ(streams.nextDue(), due + std::chrono::seconds(15));
    streams.end();
    std::string buffer(16, '\0');
    EXPECT_EQ(EventStream::read(&stream, 0, buffer.data(), buffer.size()),
              MHD_CONTENT_READER_END_OF_STREAM);
    streams.remove(&stream);
    EXPECT_TRUE(streams.empty());
    EXPECT_EQ(streams.nextDue(), std::nullopt);
}
