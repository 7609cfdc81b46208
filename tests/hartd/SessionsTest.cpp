/* Sessions on a clock moved by hand, and the round-robin line queue. */
#include <gtest/gtest.h>

#include "RoundRobin.h"
#include "Sessions.h"

namespace {

using namespace std::chrono_literals;
using hartd::InitiateOutcome;
using hartd::SessionTable;
using hartd::Time;

constexpr hartip::InactivityBounds kBounds{1000ms, 60000ms};

TEST(SessionTableTest, CloseTimesOutsideTheBoundsAreClampedWithStatus8)
{
    SessionTable table(8, kBounds);
    const InitiateOutcome inside = table.Initiate("udp a:1", {1, 5000}, Time{0});
    EXPECT_EQ(inside.status, 0);
    EXPECT_EQ(inside.granted.inactivityMs, 5000u);
    const InitiateOutcome zero = table.Initiate("udp a:2", {0, 0}, Time{0});
    EXPECT_EQ(zero.status, 8);
    EXPECT_EQ(zero.granted.inactivityMs, 1000u);
    EXPECT_EQ(zero.granted.masterType, 0);
    const InitiateOutcome huge = table.Initiate("udp a:3", {1, 0xFFFFFFFF}, Time{0});
    EXPECT_EQ(huge.status, 8);
    EXPECT_EQ(huge.granted.inactivityMs, 60000u);
    EXPECT_TRUE(table.Find(*huge.session)->primary);

    const InitiateOutcome badMaster = table.Initiate("udp a:4", {7, 5000}, Time{0});
    EXPECT_EQ(badMaster.status, 2);
    EXPECT_FALSE(badMaster.session);
    EXPECT_EQ(table.Size(), 3u);
}

TEST(SessionTableTest, TheLimitRefusesNewPeersButRenewsKnownOnes)
{
    SessionTable table(2, kBounds);
    const auto first = table.Initiate("udp a:1", {1, 5000}, Time{0});
    table.Initiate("tcp a:1", {1, 5000}, Time{0});
    const InitiateOutcome third = table.Initiate("udp a:3", {1, 5000}, Time{0});
    EXPECT_EQ(third.status, 15);
    EXPECT_FALSE(third.session);

    /* The same peer again is the same session, with its new settings. */
    const InitiateOutcome again = table.Initiate("udp a:1", {0, 2000}, Time{0});
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(again.renewed);
    EXPECT_EQ(again.session, first.session);
    EXPECT_FALSE(table.Find(*first.session)->primary);

    table.Close(*first.session);
    EXPECT_EQ(table.FindByPeer("udp a:1"), nullptr);
    EXPECT_EQ(table.Initiate("udp a:3", {1, 5000}, Time{0}).status, 0);
}

TEST(SessionTableTest, SessionsExpireByTheirOwnTimersUnlessTheLineWorksForThem)
{
    SessionTable table(8, kBounds);
    const auto quick = *table.Initiate("udp a:1", {1, 1000}, Time{0}).session;
    const auto slow = *table.Initiate("udp a:2", {1, 3000}, Time{0}).session;
    const auto busy = *table.Initiate("udp a:3", {1, 1000}, Time{0}).session;
    table.Find(busy)->pending = 1;
    EXPECT_EQ(table.NextDeadline(), Time{1000ms});

    EXPECT_TRUE(table.Expire(Time{999ms}).empty());
    table.Touch(slow, Time{500ms});
    const auto expired = table.Expire(Time{1000ms});
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].id, quick);
    EXPECT_NE(table.Find(busy), nullptr) << "a session waiting for the line is not idle";

    table.Find(busy)->pending = 0;
    EXPECT_TRUE(table.Expire(Time{1999ms}).empty());
    const auto later = table.Expire(Time{3500ms});
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_FALSE(table.NextDeadline());
}

TEST(SessionTableTest, TablesSharingACounterNeverReuseAnId)
{
    hartd::SessionId counter = 1;
    SessionTable a(8, kBounds, &counter);
    SessionTable b(8, kBounds, &counter);
    const auto first = *a.Initiate("udp x:1", {1, 5000}, Time{0}).session;
    const auto second = *b.Initiate("udp x:1", {1, 5000}, Time{0}).session;
    EXPECT_NE(first, second);
}

TEST(RoundRobinTest, SessionsTakeTurnsWhateverEachHasQueued)
{
    hartd::RoundRobin<int> queue(16);
    for (int i = 0; i < 5; i++) {
        queue.Push(1, 100 + i);
    }
    queue.Push(2, 200);
    queue.Push(3, 300);
    queue.Push(3, 301);
    std::vector<int> order;
    while (auto next = queue.Pop()) {
        order.push_back(next->second);
    }
    EXPECT_EQ(order, (std::vector<int>{100, 200, 300, 101, 301, 102, 103, 104}));
    EXPECT_TRUE(queue.Empty());
}

TEST(RoundRobinTest, AFullSessionIsRefusedAndADroppedOneLeavesTheOthers)
{
    hartd::RoundRobin<int> queue(2);
    EXPECT_TRUE(queue.Push(1, 10));
    EXPECT_TRUE(queue.Push(1, 11));
    EXPECT_FALSE(queue.Push(1, 12));
    EXPECT_TRUE(queue.Push(2, 20));
    EXPECT_EQ(queue.Drop(1), (std::vector<int>{10, 11}));
    EXPECT_EQ(queue.Size(), 1u);
    EXPECT_TRUE(queue.Push(1, 13)) << "a dropped session starts afresh";
    EXPECT_EQ(queue.Pop()->second, 20);
    EXPECT_EQ(queue.Pop()->second, 13);
    EXPECT_FALSE(queue.Pop());
}

TEST(RoundRobinTest, EightBusySessionsGetEqualShares)
{
    hartd::RoundRobin<int> queue(16);
    std::vector<int> served(8, 0);
    /* Each session keeps its queue topped up, as a client with requests in flight does. */
    for (int round = 0; round < 1000; round++) {
        for (std::uint32_t s = 0; s < 8; s++) {
            while (queue.Queued(s) < (s + 1)) {
                queue.Push(s, 0);
            }
        }
        served[queue.Pop()->first]++;
    }
    for (int count : served) {
        EXPECT_EQ(count, 125);
    }
}

} // namespace
