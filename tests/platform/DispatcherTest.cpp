#include <sys/epoll.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include <platform/Host.h>

using ::testing::ElementsAre;
using namespace std::chrono_literals;

namespace {

/* A loop on the virtual clock; on the real one for descriptors and other threads. */
template <platform::Clock kClock>
class LoopTest : public ::testing::Test {
protected:
    platform::Host host{kClock};
    platform::Dispatcher& loop = host.GetDispatcher();
};
using Dispatcher = LoopTest<platform::Clock::Virtual>;
using RealClockDispatcher = LoopTest<platform::Clock::Real>;

TEST_F(Dispatcher, VirtualClockRunsInOrderAndOnlyJumpsWhenIdle)
{
    std::vector<std::string> order;
    auto at = [&](const char* what) { return [&order, this, what] {
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
    EXPECT_FALSE(loop.WatchFd(0, EPOLLIN, [](std::uint32_t) {})) << "the virtual clock has no descriptors";
}

TEST_F(Dispatcher, TasksOfAScopeThatGoesStillRunOnceAndNeverTouchIt)
{
    auto scope = std::make_unique<platform::SyncScope>();
    std::vector<std::string> order;
    /* Queued, due later, and held back while the scope's own task is running. */
    loop.Post([&] { order.push_back("queued"); }, scope.get());
    loop.Schedule(1ms, [&] { order.push_back("timer"); }, scope.get());
    loop.Post(
        [&] {
            loop.Post([&] { order.push_back("held"); }, scope.get());
            loop.RunUntilIdle();
            scope.reset(); /* its owner is deleted from inside its own callback */
            order.push_back("owner");
        },
        scope.get());
    host.RunFor(2ms);
    EXPECT_THAT(order, ElementsAre("queued", "owner", "held", "timer"));

    auto gone = std::make_unique<platform::SyncScope>();
    loop.Post([&] { order.push_back("orphan"); }, gone.get());
    gone.reset();
    host.RunUntilIdle();
    EXPECT_EQ(order.back(), "orphan");
}

TEST_F(Dispatcher, ATaskDueButNotRunCanStillBeCancelled)
{
    std::vector<std::string> order;
    platform::Dispatcher::TimerKey second{};
    loop.Schedule(1ms, [&] {
        order.push_back("first");
        EXPECT_TRUE(loop.Cancel(second)) << "due at the same instant, not run yet";
    });
    second = loop.Schedule(1ms, [&] { order.push_back("second"); });
    loop.Schedule(1ms, [&] { order.push_back("third"); });
    host.RunFor(2ms);
    EXPECT_THAT(order, ElementsAre("first", "third"));
    EXPECT_FALSE(loop.Cancel(second));
}

TEST_F(Dispatcher, NestedWaitReportsWhenNothingCanEverHappen)
{
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

TEST_F(Dispatcher, NestedWaitGivesUpAtItsLimitDespitePeriodicEvents)
{
    std::function<void()> tick = [&] { loop.Schedule(host.Now() + 10ms, tick); };
    tick();
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 1s));
    EXPECT_LE(host.Now(), 1s);
}

/* Pipes watched by a real-clock loop; each records what it read and when. */
class WatchedPipes {
public:
    WatchedPipes(platform::Host& host, int count) : host_(host)
    {
        for (int i = 0; i < count; ++i) {
            int ends[2];
            EXPECT_EQ(pipe(ends), 0);
            ends_.push_back({ends[0], ends[1]});
            EXPECT_TRUE(host.GetDispatcher().WatchFd(ends[0], EPOLLIN, [this, fd = ends[0]](std::uint32_t) {
                char c;
                if (read(fd, &c, 1) == 1) {
                    received += c;
                    lastTaken = host_.Now();
                }
            }));
        }
    }
    ~WatchedPipes()
    {
        for (auto [in, out] : ends_) {
            host_.GetDispatcher().UnwatchFd(in);
            close(in);
            close(out);
        }
    }
    void Write(int pipe, char c) { EXPECT_EQ(write(ends_.at(pipe).second, &c, 1), 1); }
    bool RunUntilReceived(const std::string& expected)
    {
        return host_.GetDispatcher().RunUntil([&] { return received == expected; }, 60s);
    }

    std::string received;
    platform::Ticks lastTaken{};

private:
    platform::Host& host_;
    std::vector<std::pair<int, int>> ends_;
};

TEST_F(RealClockDispatcher, RealClockWakesForOtherThreadsTimersAndDescriptors)
{
    WatchedPipes pipes(host, 1);

    bool posted = false;
    std::thread client([&] { host.Post([&] { posted = true; }); });
    EXPECT_TRUE(loop.RunUntil([&] { return posted; }, 60s));
    client.join();

    bool fired = false;
    const platform::Ticks start = host.Now();
    loop.Schedule(start + 1ms, [&] { fired = true; });
    EXPECT_TRUE(loop.RunUntil([&] { return fired; }, 60s));
    EXPECT_GE(host.Now() - start, 1ms);

    pipes.Write(0, 'h');
    EXPECT_TRUE(pipes.RunUntilReceived("h"));
}

platform::Ticks NextMultiple(platform::Ticks instant, platform::Ticks period)
{
    return (instant / period + 1) * period;
}

TEST_F(RealClockDispatcher, AfterAWakeUpForInputMoreInputWaitsForHalfAPeriodOrATimerAndGoesAheadOfIt)
{
    const platform::Ticks period = 1s;
    loop.SetWakeCoalescing(period);
    WatchedPipes pipes(host, 1);

    const platform::Ticks before = host.Now();
    pipes.Write(0, 'a');
    ASSERT_TRUE(pipes.RunUntilReceived("a"));
    /* The wake-up that took "a" came after `before`: the loop is deaf until the half period after it ends. */
    const platform::Ticks quietEnd = NextMultiple(before, period / 2);

    pipes.Write(0, 'b');
    const platform::Ticks timerDue = host.Now() + 100ms;
    platform::Ticks timerFired{};
    std::string receivedAtTimer;
    loop.Schedule(timerDue, [&] {
        timerFired = host.Now();
        receivedAtTimer = pipes.received;
    });
    ASSERT_TRUE(loop.RunUntil([&] { return timerFired > platform::Ticks{0} && pipes.received == "ab"; }, 60s));
    EXPECT_GE(timerFired, timerDue);
    /* Unless the period was about to end anyway, with room for a slow machine. */
    if (timerDue + 300ms < quietEnd) {
        EXPECT_GE(pipes.lastTaken, timerDue) << "input inside the quiet period waits";
        EXPECT_EQ(receivedAtTimer, "ab") << "the timer's wake-up takes the input that came before it first";
    }

    /* One thing found is light traffic: the next quiet period is half a period again. */
    pipes.Write(0, 'c');
    ASSERT_TRUE(pipes.RunUntilReceived("abc"));
    EXPECT_GE(pipes.lastTaken, NextMultiple(timerDue, period / 2));
}

TEST_F(RealClockDispatcher, OnceAWakeUpFindsTheLoopBusyEvenATimersWakeUpKeepsInputToTheWholePeriod)
{
    const platform::Ticks period = 1s;
    loop.SetWakeCoalescing(period);
    WatchedPipes pipes(host, platform::Dispatcher::kBusyWake);
    std::string all;
    for (int i = 0; i < platform::Dispatcher::kBusyWake; ++i) {
        pipes.Write(i, static_cast<char>('a' + i));
        all += static_cast<char>('a' + i);
    }
    ASSERT_TRUE(pipes.RunUntilReceived(all));

    /* A timer that finds nothing to read still ends the busy loop's only wake-up of its period. */
    platform::Ticks timerFired{};
    loop.Schedule(NextMultiple(host.Now(), period) + 100ms, [&] { timerFired = host.Now(); });
    ASSERT_TRUE(loop.RunUntil([&] { return timerFired > platform::Ticks{0}; }, 60s));
    pipes.Write(0, 'z');
    ASSERT_TRUE(pipes.RunUntilReceived(all + "z"));
    EXPECT_GE(pipes.lastTaken, NextMultiple(timerFired, period));
}

TEST_F(RealClockDispatcher, AReportForADescriptorWatchedAgainSinceReachesNeitherTheOldNorTheNewCallback)
{
    int first[2];
    int second[2];
    ASSERT_EQ(pipe(first), 0);
    ASSERT_EQ(pipe(second), 0);
    const int ends[2] = {first[0], second[0]};
    int oldCalls = 0;
    int freshCalls = 0;
    /* Both are ready in one wake-up; whichever runs first watches the other anew. */
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(loop.WatchFd(ends[i], EPOLLIN, [&, own = ends[i], other = ends[1 - i]](std::uint32_t) {
            char c;
            EXPECT_EQ(read(own, &c, 1), 1);
            ++oldCalls;
            loop.UnwatchFd(other);
            /* Edge-triggered: one report for the byte already waiting, the fresh one. */
            EXPECT_TRUE(loop.WatchFd(other, EPOLLIN | EPOLLET, [&](std::uint32_t) { ++freshCalls; }));
        }));
    }
    ASSERT_EQ(write(first[1], "a", 1), 1);
    ASSERT_EQ(write(second[1], "b", 1), 1);
    ASSERT_TRUE(loop.RunUntil([&] { return freshCalls > 0; }, 10s));
    host.RunFor(20ms);

    EXPECT_EQ(oldCalls, 1);
    EXPECT_EQ(freshCalls, 1);
    for (int fd : {first[0], first[1], second[0], second[1]}) {
        loop.UnwatchFd(fd);
        close(fd);
    }
}

} // namespace
