#include <string>
#include <vector>

#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace {

std::vector<std::string> trace;
WDFWORKITEM otherItem;

/* Each work item's TEST_CONTEXT.Tag says what its callback does. */
enum : ULONG { Record, RequeueOnce, FlushOther, FlushSelf, WaitInsideScope };

VOID WorkItemCallback(WDFWORKITEM item)
{
    PTEST_CONTEXT context = GetTestContext(item);
    ++context->Count;
    trace.push_back("item " + std::to_string(context->Tag) + " run " + std::to_string(context->Count));
    switch (context->Tag) {
    case RequeueOnce:
        if (context->Count == 1) {
            WdfWorkItemEnqueue(item);
            WdfWorkItemEnqueue(item);
        }
        break;
    case FlushOther:
        WdfWorkItemEnqueue(otherItem);
        WdfWorkItemFlush(otherItem);
        trace.push_back("flushed");
        break;
    case FlushSelf:
        WdfWorkItemFlush(item);
        break;
    case WaitInsideScope:
        /* Blocks (nested) while holding the device's scope, as a driver
           waiting on an event would. */
        platform::Host::Current().GetDispatcher().RunUntil(
            [] { return platform::Host::Current().Now() >= 20ms; }, 1s);
        trace.push_back("wait over");
        break;
    default: break;
    }
}

VOID TimerCallback(WDFTIMER)
{
    trace.push_back("timer at " + std::to_string(platform::Host::Current().Now() / 1ms));
}

class WorkItemTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        trace.clear();
        otherItem = nullptr;
    }

    WDFWORKITEM CreateItem(ULONG tag, WDFOBJECT parent = nullptr, BOOLEAN serialised = TRUE)
    {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, WorkItemCallback);
        config.AutomaticSerialization = serialised;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
        attributes.ParentObject = parent != nullptr ? parent : device;
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        GetTestContext(item)->Tag = tag;
        return item;
    }
};

TEST_F(WorkItemTest, EnqueuedTwiceBeforeItStartsRunsOnceAndWhileRunningOnceMore)
{
    WDFWORKITEM item = CreateItem(Record);
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);
    host.RunUntilIdle();
    EXPECT_THAT(trace, ElementsAre("item 0 run 1"));
    EXPECT_EQ(WdfWorkItemGetParentObject(item), static_cast<WDFOBJECT>(device));

    WdfWorkItemEnqueue(CreateItem(RequeueOnce));
    host.RunUntilIdle();
    EXPECT_THAT(trace, ElementsAre("item 0 run 1", "item 1 run 1", "item 1 run 2"));
}

TEST_F(WorkItemTest, FlushRunsTheDispatcherUntilTheItemHasRun)
{
    WDFWORKITEM item = CreateItem(Record);
    WdfWorkItemFlush(item); /* not queued: returns at once */
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_THAT(trace, ElementsAre("item 0 run 1"));

    otherItem = CreateItem(Record, nullptr, FALSE);
    WdfWorkItemEnqueue(CreateItem(FlushOther));
    host.RunUntilIdle();
    EXPECT_THAT(trace, ElementsAre("item 0 run 1", "item 2 run 1", "item 0 run 1", "flushed"));
}

TEST_F(WorkItemTest, FlushThatCanNeverFinishIsADeadlock)
{
    platform::VerifierCapture faults(host);
    WdfWorkItemEnqueue(CreateItem(FlushSelf));
    host.RunUntilIdle();

    /* The other item shares the device's scope with the flushing callback. */
    WDFDEVICE serialised = CreateControlDevice(u"\\Device\\Serialised", WdfSynchronizationScopeDevice);
    otherItem = CreateItem(Record, serialised);
    WdfWorkItemEnqueue(CreateItem(FlushOther, serialised));
    host.RunUntilIdle();

    ASSERT_EQ(faults.Messages().size(), 2u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("wait for itself"));
    EXPECT_THAT(faults.Messages()[1], HasSubstr("serialised with a callback that is waiting for it"));
}

TEST_F(WorkItemTest, CallbacksOfABusyScopeWaitUntilItIsFree)
{
    WDFDEVICE serialised = CreateControlDevice(u"\\Device\\Serialised", WdfSynchronizationScopeDevice);
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, TimerCallback);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = serialised;
    WDFTIMER timer;
    ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));

    WdfWorkItemEnqueue(CreateItem(WaitInsideScope, serialised));
    host.GetDispatcher().Schedule(20ms, [] {}); /* what the nested wait waits for */
    host.RunFor(50ms);

    EXPECT_THAT(trace, ElementsAre("item 4 run 1", "wait over", "timer at 20"));
}

TEST_F(WorkItemTest, DeletedItemDoesNotRun)
{
    WDFWORKITEM item = CreateItem(Record);
    WdfWorkItemEnqueue(item);
    WdfObjectDelete(item);
    host.RunUntilIdle();
    EXPECT_TRUE(trace.empty());
    EXPECT_EQ(host.LiveObjects("WDFWORKITEM"), 0u);
}

} // namespace
