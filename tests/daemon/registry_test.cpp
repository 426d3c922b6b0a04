// The registry the HTTP front end reads from: boards kept when they leave, the value kept for a
// board that is away, waiting for a board to report an LED value, and event streams that get
// every event in order without ever holding up the boards' threads.
#include "registry.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace ledboardd;
using namespace std::chrono_literals;

namespace {

BoardInfo infoOf(const std::string& id)
{
    return {id, id, "1-1", "Maker", "USB LED Board"};
}

} // namespace

TEST(Registry, KeepsBoardsThatLeftAndTheValueKeptForThem)
{
    Registry registry;
    EXPECT_FALSE(registry.setPending("A17", 3)); // never seen
    registry.boardArrived(infoOf("B2"), {1, 0, 0});
    registry.boardArrived(infoOf("A17"), {0, 0, 2});
    registry.stateChanged("A17", {4, 1, 2});
    registry.boardLeft("A17");
    ASSERT_TRUE(registry.setPending("A17", 6));

    const auto boards = registry.boards();
    ASSERT_EQ(boards.size(), 2U);
    EXPECT_EQ(boards[0].info.id, "A17"); // by id
    EXPECT_FALSE(boards[0].available);
    EXPECT_EQ(boards[0].status, (BoardStatus{4, 1, 2}));
    EXPECT_EQ(boards[0].pending, 6);
    EXPECT_TRUE(boards[1].available);

    // Back again: the core has applied the kept value, so nothing is pending any more.
    registry.boardArrived(infoOf("A17"), {6, 0, 2});
    const auto back = registry.board("A17");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->available);
    EXPECT_EQ(back->pending, std::nullopt);
    EXPECT_EQ(registry.board("C3"), std::nullopt);
}

TEST(Registry, WaitForLedEndsWhenTheCommandIsAppliedOrTheBoardLeaves)
{
    Registry registry;
    registry.boardArrived(infoOf("A17"), {5, 0, 0});
    EXPECT_EQ(registry.waitForLed("nope", 0, 1, 1, 10ms), std::nullopt);

    // The board already shows 5: a command for 13 (whose lamps read back 5) is reached only once
    // it has gone out, not at once.
    std::uint64_t since = registry.ledsApplied("A17");
    const auto early = registry.waitForLed("A17", since, 13, 5, 30ms);
    ASSERT_TRUE(early);
    EXPECT_FALSE(early->reached);

    std::thread board([&] {
        std::this_thread::sleep_for(50ms);
        registry.ledApplied("A17", 13);
    });
    const auto start = std::chrono::steady_clock::now();
    const auto reached = registry.waitForLed("A17", since, 13, 5, 5s);
    board.join();
    ASSERT_TRUE(reached);
    EXPECT_TRUE(reached->reached);
    EXPECT_EQ(reached->board.status.led, 5U);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds{4});

    // Replaced by a later command before it went out: applied, but not this one.
    since = registry.ledsApplied("A17");
    std::thread replaced([&] {
        std::this_thread::sleep_for(50ms);
        registry.stateChanged("A17", {2, 0, 0});
        registry.ledApplied("A17", 2);
    });
    const auto other = registry.waitForLed("A17", since, 3, 3, 5s);
    replaced.join();
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->reached);
    EXPECT_EQ(other->board.status.led, 2U);

    since = registry.ledsApplied("A17");
    std::thread leaving([&] {
        std::this_thread::sleep_for(50ms);
        registry.boardLeft("A17");
    });
    const auto left = registry.waitForLed("A17", since, 3, 3, 5s);
    leaving.join();
    ASSERT_TRUE(left);
    EXPECT_FALSE(left->reached);
    EXPECT_FALSE(left->board.available);
}

TEST(Registry, SubscribersGetASnapshotThenEveryEventInOrder)
{
    Registry registry;
    registry.boardArrived(infoOf("A17"), {0, 0, 0});
    auto subscribed = registry.subscribe(16, 4);
    ASSERT_TRUE(subscribed.subscription);
    ASSERT_EQ(subscribed.boards.size(), 1U);
    EXPECT_EQ(subscribed.boards[0].info.id, "A17");

    registry.buttonChanged("A17", true);
    registry.stateChanged("A17", {0, 1, 0});
    registry.boardLeft("A17");
    // A value kept for the away board is a change of its state; the same value again is not.
    registry.setPending("A17", 6);
    registry.setPending("A17", 6);
    registry.boardArrived(infoOf("B2"), {7, 0, 0});
    registry.stateChanged("unknown", {1, 1, 1}); // never arrived: no event

    const auto events = subscribed.subscription->take(1s);
    ASSERT_EQ(events.size(), 5U);
    EXPECT_EQ(events[0]->kind, RegistryEvent::Kind::Button);
    EXPECT_TRUE(events[0]->pressed);
    EXPECT_EQ(events[1]->kind, RegistryEvent::Kind::State);
    EXPECT_EQ(events[1]->board.status.push, 1U);
    EXPECT_EQ(events[2]->kind, RegistryEvent::Kind::Left);
    EXPECT_FALSE(events[2]->board.available);
    EXPECT_EQ(events[3]->kind, RegistryEvent::Kind::State);
    EXPECT_EQ(events[3]->board.info.id, "A17");
    EXPECT_FALSE(events[3]->board.available);
    EXPECT_EQ(events[3]->board.pending, 6);
    EXPECT_EQ(events[4]->kind, RegistryEvent::Kind::Arrived);
    EXPECT_EQ(events[4]->board.info.id, "B2");

    // Nothing new: take waits its time and returns nothing, the stream still open.
    EXPECT_TRUE(subscribed.subscription->take(20ms).empty());
    EXPECT_TRUE(subscribed.subscription->isOpen());
}

TEST(Registry, AStuckSubscriberIsDroppedNotWaitedFor)
{
    Registry registry;
    registry.boardArrived(infoOf("A17"), {0, 0, 0});
    auto slow = registry.subscribe(3, 4).subscription;
    auto fast = registry.subscribe(100, 4).subscription;
    for (unsigned led = 0; led < 8; ++led) {
        registry.stateChanged("A17", {led, 0, 0});
    }
    EXPECT_FALSE(slow->isOpen());
    EXPECT_TRUE(slow->take(1s).empty());
    EXPECT_TRUE(fast->isOpen());
    EXPECT_EQ(fast->take(1s).size(), 8U);
}

TEST(Registry, LimitsSubscribersAndClosesThemAll)
{
    Registry registry;
    auto first = registry.subscribe(4, 2).subscription;
    auto second = registry.subscribe(4, 2).subscription;
    ASSERT_TRUE(first && second);
    EXPECT_EQ(registry.subscribe(4, 2).subscription, nullptr);
    // A stream that ended makes room.
    registry.unsubscribe(first);
    EXPECT_FALSE(first->isOpen());
    auto third = registry.subscribe(4, 2).subscription;
    ASSERT_TRUE(third);

    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        registry.closeAll();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(third->take(10s).empty());
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds{5});
    EXPECT_FALSE(second->isOpen());
    EXPECT_FALSE(third->isOpen());
}
