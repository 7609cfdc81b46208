#include <sys/epoll.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include <platform/Host.h>

using ::testing::ElementsAre;
using namespace std::chrono_literals;

namespace {

TEST(Dispatcher, VirtualClockRunsInOrderAndOnlyJumpsWhenIdle)
{
    platform::Host host;
    platform::Dispatcher& loop = host.GetDispatcher();
    std::vector<std::string> order;
    auto at = [&](const char* what) { return [&order, &host, what] {
        order.push_back(std::string(what) + "@" + std::to_string(host.Now() / 1ms));
    }; };
    loop.Schedule(5ms, at("b"));
    loop.Schedule(5ms, at("c"));
    loop.Schedule(2ms, at("a"));
    auto cancelled = loop.Schedule(3ms, at("never"));
    host.Post(at("first"));
    host.Post(at("second"));

    EXPECT_EQ(host.RunUntilIdle(), 2u);
    EXPECT_EQ(host.Now(), 0ms);
    EXPECT_TRUE(loop.Cancel(cancelled));
    EXPECT_FALSE(loop.Cancel(cancelled));
    host.RunFor(4ms);
    EXPECT_EQ(host.Now(), 4ms);
    host.RunUntil(10ms);
    EXPECT_EQ(host.Now(), 10ms);
    EXPECT_THAT(order, ElementsAre("first@0", "second@0", "a@2", "b@5", "c@5"));
}

TEST(Dispatcher, NestedWaitReportsWhenNothingCanEverHappen)
{
    platform::Host host;
    platform::Dispatcher& loop = host.GetDispatcher();
    bool done = false;
    loop.Schedule(7ms, [&] { done = true; });
    host.Post([&] {
        EXPECT_EQ(loop.Depth(), 1u);
        EXPECT_TRUE(loop.RunUntil([&] { return done; }, 1s));
        EXPECT_EQ(host.Now(), 7ms);
        EXPECT_FALSE(loop.RunUntil([] { return false; }, 1s));
    });
    host.RunUntilIdle();
    EXPECT_TRUE(done);
}

TEST(Dispatcher, NestedWaitGivesUpAtItsLimitDespitePeriodicEvents)
{
    platform::Host host;
    platform::Dispatcher& loop = host.GetDispatcher();
    std::function<void()> tick = [&] { loop.Schedule(host.Now() + 10ms, tick); };
    tick();
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 1s));
    EXPECT_LE(host.Now(), 1s);
}

TEST(Dispatcher, RealClockWakesForOtherThreadsTimersAndDescriptors)
{
    platform::Host host(platform::Clock::Real);
    platform::Dispatcher& loop = host.GetDispatcher();
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    std::string received;
    ASSERT_TRUE(loop.WatchFd(pipeFds[0], EPOLLIN, [&](std::uint32_t) {
        char c;
        if (read(pipeFds[0], &c, 1) == 1) {
            received += c;
        }
    }));

    bool posted = false;
    std::thread client([&] { host.Post([&] { posted = true; }); });
    EXPECT_TRUE(loop.RunUntil([&] { return posted; }, 60s));
    client.join();

    bool fired = false;
    const platform::Ticks start = host.Now();
    loop.Schedule(start + 1ms, [&] { fired = true; });
    EXPECT_TRUE(loop.RunUntil([&] { return fired; }, 60s));
    EXPECT_GE(host.Now() - start, 1ms);

    ASSERT_EQ(write(pipeFds[1], "h", 1), 1);
    EXPECT_TRUE(loop.RunUntil([&] { return received == "h"; }, 60s));
    loop.UnwatchFd(pipeFds[0]);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(Dispatcher, AfterAWakeUpForInputMoreInputWaitsForTheNextPeriodButTimersDoNot)
{
    platform::Host host(platform::Clock::Real);
    platform::Dispatcher& loop = host.GetDispatcher();
    const platform::Ticks period = 1s;
    loop.SetWakeCoalescing(period);
    int first[2];
    int second[2];
    ASSERT_EQ(pipe(first), 0);
    ASSERT_EQ(pipe(second), 0);
    std::string received;
    platform::Ticks secondTaken{};
    for (int fd : {first[0], second[0]}) {
        ASSERT_TRUE(loop.WatchFd(fd, EPOLLIN, [&, fd](std::uint32_t) {
            char c;
            if (read(fd, &c, 1) == 1) {
                received += c;
                secondTaken = host.Now();
            }
        }));
    }

    const platform::Ticks before = host.Now();
    ASSERT_EQ(write(first[1], "a", 1), 1);
    ASSERT_TRUE(loop.RunUntil([&] { return received == "a"; }, 60s));
    /* The wake-up that took "a" came after `before`: the loop is deaf until the period after it ends. */
    const platform::Ticks periodEnd = (before / period + 1) * period;

    ASSERT_EQ(write(second[1], "b", 1), 1);
    platform::Ticks timerFired{};
    const platform::Ticks timerDue = host.Now() + 1ms;
    loop.Schedule(timerDue, [&] { timerFired = host.Now(); });
    EXPECT_TRUE(loop.RunUntil([&] { return received == "ab"; }, 60s));

    EXPECT_GE(secondTaken, periodEnd);
    EXPECT_GE(timerFired, timerDue);
    /* Unless the period was about to end anyway, with room for a slow machine. */
    if (timerDue + 300ms < periodEnd) {
        EXPECT_LT(timerFired, secondTaken) << "a timer due inside the quiet period wakes the loop on time";
    }
    for (int fd : {first[0], first[1], second[0], second[1]}) {
        loop.UnwatchFd(fd);
        close(fd);
    }
}

TEST(Dispatcher, VirtualClockHasNoDescriptors)
{
    platform::Host host;
    EXPECT_FALSE(host.GetDispatcher().WatchFd(0, EPOLLIN, [](std::uint32_t) {}));
}

} // namespace
