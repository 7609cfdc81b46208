#include <vector>

#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace {

std::vector<platform::Ticks> firings;
std::vector<KIRQL> levels;
/* What the callback does besides recording: 0 nothing, 1 stop without wait,
   2 stop with wait, 3 delete its own timer. */
int callbackAction;

VOID RecordFiring(WDFTIMER timer)
{
    firings.push_back(platform::Host::Current().Now());
    levels.push_back(KeGetCurrentIrql());
    switch (callbackAction) {
    case 1: WdfTimerStop(timer, FALSE); break;
    case 2: WdfTimerStop(timer, TRUE); break;
    case 3: WdfObjectDelete(timer); break;
    default: break;
    }
}

class TimerTest : public PlatformTest {
protected:
    TimerTest() = default;
    explicit TimerTest(const platform::HostOptions& options) : PlatformTest(options) {}

    void SetUp() override
    {
        PlatformTest::SetUp();
        firings.clear();
        levels.clear();
        callbackAction = 0;
    }

    WDFTIMER CreateTimer(ULONG periodMs, WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent)
    {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT_PERIODIC(&config, RecordFiring, static_cast<LONG>(periodMs));
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        attributes.ExecutionLevel = level;
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        return timer;
    }
};

TEST_F(TimerTest, PeriodicTimerFiresAtExactVirtualInstants)
{
    WDFTIMER timer = CreateTimer(10);
    host.RunFor(3ms);
    EXPECT_FALSE(WdfTimerStart(timer, -100000));

    host.RunFor(50ms);

    EXPECT_THAT(firings, ElementsAre(13ms, 23ms, 33ms, 43ms, 53ms));
    EXPECT_THAT(levels, ::testing::Each(DISPATCH_LEVEL));
    EXPECT_EQ(WdfTimerGetParentObject(timer), static_cast<WDFOBJECT>(device));
}

/* As on the real clock, where each expiry instant is a wake-up of the loop. */
class SharedPhaseTimerTest : public TimerTest {
protected:
    SharedPhaseTimerTest() : TimerTest(SharingPhases()) {}

    static platform::HostOptions SharingPhases()
    {
        platform::HostOptions options;
        options.sharedTimerPhase = true;
        return options;
    }
};

TEST_F(SharedPhaseTimerTest, PeriodicTimersStartOnTheirPeriodsGridAndOneShotsKeepTheirInstant)
{
    WDFTIMER first = CreateTimer(10);
    WDFTIMER second = CreateTimer(10);
    WDFTIMER oneShot = CreateTimer(0);
    host.RunFor(3ms);
    WdfTimerStart(first, -100000);
    host.RunFor(4ms);
    WdfTimerStart(second, -100000);
    WdfTimerStart(oneShot, -50000);

    host.RunFor(25ms);

    EXPECT_THAT(firings, ElementsAre(12ms, 20ms, 20ms, 30ms, 30ms))
        << "never early, never drifting, and the two periodic timers expire together";
}

TEST_F(TimerTest, OneShotFiresOnceAtRelativeOrAbsoluteDueTimeAndARestartMovesIt)
{
    WDFTIMER timer = CreateTimer(0);
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10)));
    host.RunFor(5ms);
    EXPECT_TRUE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(20))) << "it was queued";
    host.RunFor(100ms);
    EXPECT_THAT(firings, ElementsAre(25ms));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_FALSE(WdfTimerStart(timer, now.QuadPart + 70 * WDF_TIMEOUT_TO_MS));
    host.RunFor(100ms);
    EXPECT_THAT(firings, ElementsAre(25ms, 175ms));
}

TEST_F(TimerTest, StopWithoutWaitCancelsAndTimerCanBeRestarted)
{
    WDFTIMER timer = CreateTimer(10);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    host.RunFor(25ms);
    EXPECT_TRUE(WdfTimerStop(timer, FALSE));
    EXPECT_FALSE(WdfTimerStop(timer, FALSE));
    host.RunFor(50ms);
    EXPECT_THAT(firings, ElementsAre(10ms, 20ms));

    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    host.RunFor(25ms);
    EXPECT_THAT(firings, ElementsAre(10ms, 20ms, 85ms, 95ms));
}

TEST_F(TimerTest, StopWithWaitAtPassiveLevelOutsideTheCallback)
{
    WDFTIMER timer = CreateTimer(10);
    WdfTimerStart(timer, 0);
    host.RunUntilIdle();
    EXPECT_TRUE(WdfTimerStop(timer, TRUE));
    host.RunFor(100ms);
    EXPECT_THAT(firings, ElementsAre(0ms));
}

TEST_F(TimerTest, StopWithWaitFromItsOwnCallbackIsADeadlock)
{
    platform::VerifierCapture faults(host);
    callbackAction = 2;
    WdfTimerStart(CreateTimer(0), 0);
    WdfTimerStart(CreateTimer(0, WdfExecutionLevelPassive), 0);
    host.RunUntilIdle();

    ASSERT_EQ(faults.Messages().size(), 2u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("DISPATCH_LEVEL"));
    EXPECT_THAT(faults.Messages()[1], HasSubstr("wait for itself"));
    EXPECT_THAT(levels, ElementsAre(DISPATCH_LEVEL, PASSIVE_LEVEL));
}

TEST_F(TimerTest, TimerThatStopsOrDeletesItselfOrDiesWithItsDeviceNeverFiresAgain)
{
    callbackAction = 1;
    WdfTimerStart(CreateTimer(10), WDF_REL_TIMEOUT_IN_MS(10));
    host.RunFor(100ms);
    EXPECT_THAT(firings, ElementsAre(10ms)) << "a periodic timer stopped from its own callback";

    callbackAction = 3;
    WdfTimerStart(CreateTimer(10), 0);
    host.RunFor(50ms);
    EXPECT_THAT(firings, ElementsAre(10ms, 100ms));

    callbackAction = 0;
    WdfTimerStart(CreateTimer(10), 0);
    WdfObjectDelete(device);
    host.RunFor(50ms);
    EXPECT_THAT(firings, ElementsAre(10ms, 100ms));
    EXPECT_EQ(host.LiveObjects("WDFTIMER"), 0u);
}

TEST_F(TimerTest, CreateNeedsAParentUnderADevice)
{
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, RecordFiring);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFTIMER timer = nullptr;
    EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_INVALID_PARAMETER);
    attributes.ParentObject = driver;
    EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_INVALID_PARAMETER);
    attributes.ParentObject = CreateTaggedLock(device, 1);
    EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
}

} // namespace
