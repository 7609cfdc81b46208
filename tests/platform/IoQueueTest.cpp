#include "IoFixture.h"

namespace iotest {
namespace {

class QueueTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        device = CreateDevice(u"\\Device\\Queues", {.scope = WdfSynchronizationScopeQueue});
        sequential = CreateQueue(device, WdfIoQueueDispatchSequential, WdfRequestTypeWrite);
        manual = CreateQueue(device, WdfIoQueueDispatchManual, WdfRequestTypeRead);
        opened = host.Io().Open(u"\\Device\\Queues");
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
    }

    void TearDown() override
    {
        opened.file.Close();
        IoTest::TearDown();
    }

    /* The first byte of a write names it in the log. */
    static std::string Name(WDFREQUEST request)
    {
        PVOID buffer = nullptr;
        WdfRequestRetrieveInputBuffer(request, 1, &buffer, nullptr);
        return std::to_string(*static_cast<std::uint8_t*>(buffer));
    }

    WDFDEVICE device = nullptr;
    WDFQUEUE sequential = nullptr;
    WDFQUEUE manual = nullptr;
    platform::IoManager::OpenResult opened;
};

TEST_F(QueueTest, SequentialQueueHandsOutOneRequestAtATimeInOrder)
{
    std::vector<WDFREQUEST> owned;
    driverHooks.write = [&](WDFQUEUE queue, WDFREQUEST request, size_t) {
        EXPECT_EQ(queue, sequential);
        EXPECT_EQ(WdfIoQueueGetDevice(queue), device);
        driverHooks.log.push_back("write " + Name(request));
        owned.push_back(request);
    };
    std::vector<PendingIo> writes;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        writes.push_back(opened.file.WriteAsync(Bytes({i})));
    }
    host.RunUntilIdle();
    ASSERT_EQ(owned.size(), 1u);
    ULONG waiting = 0;
    ULONG driverOwned = 0;
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(sequential, &waiting, &driverOwned);
    EXPECT_EQ(waiting, 2u);
    EXPECT_EQ(driverOwned, 1u);
    EXPECT_EQ(state & (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests), 0);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(owned.size(), i + 1);
        WdfRequestCompleteWithInformation(owned[i], STATUS_SUCCESS, 1);
        host.RunUntilIdle();
    }
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "write 1", "write 2", "write 3"));
    EXPECT_TRUE(WDF_IO_QUEUE_IDLE(WdfIoQueueGetState(sequential, nullptr, nullptr)));
}

TEST_F(QueueTest, ForwardedRequestsAreRetrievedInOrderAndStateTracksTheDriver)
{
    driverHooks.write = [&](WDFQUEUE, WDFREQUEST request, size_t) {
        /* Forwarding frees the sequential queue for the next write. */
        EXPECT_EQ(WdfRequestForwardToIoQueue(request, manual), STATUS_SUCCESS);
    };
    std::vector<PendingIo> writes;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        writes.push_back(opened.file.WriteAsync(Bytes({i})));
    }
    host.RunUntilIdle();
    ULONG waiting = 0;
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(manual, &waiting, nullptr);
    EXPECT_EQ(waiting, 3u);
    EXPECT_EQ(state & WdfIoQueueNoRequests, 0);
    EXPECT_NE(state & WdfIoQueueDriverNoRequests, 0);

    WDFREQUEST request = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &request), STATUS_SUCCESS);
    EXPECT_EQ(Name(request), "1");
    EXPECT_EQ(WdfRequestGetIoQueue(request), manual);
    state = WdfIoQueueGetState(manual, nullptr, nullptr);
    EXPECT_EQ(state & WdfIoQueueDriverNoRequests, 0); /* retrieved and not yet completed */
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_NE(WdfIoQueueGetState(manual, nullptr, nullptr) & WdfIoQueueDriverNoRequests, 0);
    for (const char* expected : {"2", "3"}) {
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &request), STATUS_SUCCESS);
        EXPECT_EQ(Name(request), expected);
        WdfRequestComplete(request, STATUS_SUCCESS);
    }
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual, &request), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(request, nullptr);
    EXPECT_TRUE(WDF_IO_QUEUE_IDLE(WdfIoQueueGetState(manual, nullptr, nullptr)));
}

TEST_F(QueueTest, ClientCancelOfAWaitingRequestGoesThroughTheCancelCallback)
{
    auto first = opened.file.ReadAsync(4);
    auto second = opened.file.ReadAsync(4);
    host.RunUntilIdle();
    EXPECT_TRUE(first.Cancel());
    host.RunUntilIdle();
    EXPECT_EQ(first.Result().status, STATUS_CANCELLED);
    EXPECT_FALSE(first.Cancel()); /* done already */
    EXPECT_FALSE(second.Done());
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "canceled"));

    /* Cancelled while the driver holds it: ends when it reaches a queue again. */
    WDFREQUEST held = nullptr;
    driverHooks.write = [&](WDFQUEUE, WDFREQUEST request, size_t) { held = request; };
    auto write = opened.file.WriteAsync(Bytes({9}));
    host.RunUntilIdle();
    write.Cancel();
    host.RunUntilIdle();
    EXPECT_TRUE(WdfRequestIsCanceled(held));
    EXPECT_FALSE(write.Done());
    ASSERT_EQ(WdfRequestForwardToIoQueue(held, manual), STATUS_SUCCESS);
    host.RunUntilIdle();
    EXPECT_EQ(write.Result().status, STATUS_CANCELLED);
}

TEST_F(QueueTest, PurgeCancelsEveryWaitingRequestAndRefusesNewOnesUntilStarted)
{
    std::vector<PendingIo> reads;
    for (int i = 0; i < 3; ++i) {
        reads.push_back(opened.file.ReadAsync(2));
    }
    host.RunUntilIdle();
    WdfIoQueuePurge(manual, nullptr, nullptr);
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(manual, nullptr, nullptr);
    EXPECT_EQ(state & WdfIoQueueAcceptRequests, 0);
    EXPECT_NE(state & WdfIoQueueNoRequests, 0);
    EXPECT_EQ(state & WdfIoQueueDriverNoRequests, 0); /* the cancel callbacks have them now */
    host.RunUntilIdle();
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "canceled", "canceled", "canceled"));
    for (auto& read : reads) {
        EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
    }
    EXPECT_EQ(opened.file.Read(2).status, STATUS_INVALID_DEVICE_STATE);

    WdfIoQueueStart(manual);
    reads.assign(1, opened.file.ReadAsync(2));
    host.RunUntilIdle();
    /* Synchronously: the cancel callbacks have run, and completed, on return. */
    WdfIoQueuePurgeSynchronously(manual);
    EXPECT_EQ(reads[0].Result().status, STATUS_CANCELLED);
    EXPECT_TRUE(WDF_IO_QUEUE_PURGED(WdfIoQueueGetState(manual, nullptr, nullptr)));
}

TEST_F(QueueTest, PurgeSynchronouslyWaitsForTheRequestTheDriverOwns)
{
    WDFREQUEST held = nullptr;
    driverHooks.write = [&](WDFQUEUE, WDFREQUEST request, size_t) {
        held = request;
        WDFREQUEST copy = request;
        /* Something else completes it a little later. */
        auto& dispatcher = platform::Host::Current().GetDispatcher();
        dispatcher.Schedule(dispatcher.Now() + 50ms, [copy] { WdfRequestComplete(copy, STATUS_SUCCESS); });
    };
    auto write = opened.file.WriteAsync(Bytes({1}));
    auto queued = opened.file.WriteAsync(Bytes({2}));
    host.RunUntilIdle();
    ASSERT_NE(held, nullptr);
    WdfIoQueuePurgeSynchronously(sequential);
    EXPECT_EQ(host.Now(), Ticks{50ms});
    EXPECT_EQ(write.Result().status, STATUS_SUCCESS);
    EXPECT_EQ(queued.Result().status, STATUS_CANCELLED);
}

TEST_F(QueueTest, StoppedQueueHoldsRequestsUntilStarted)
{
    WdfIoQueueStop(sequential, nullptr, nullptr);
    auto write = opened.file.WriteAsync(Bytes({1}));
    host.RunFor(1s);
    EXPECT_FALSE(write.Done());
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(sequential, nullptr, nullptr);
    EXPECT_NE(state & WdfIoQueueAcceptRequests, 0);
    EXPECT_EQ(state & WdfIoQueueDispatchRequests, 0);
    WdfIoQueueStart(sequential);
    host.RunUntilIdle();
    EXPECT_EQ(write.Result().status, STATUS_SUCCESS);
}

TEST_F(QueueTest, ClosingAHandleCancelsItsWaitingRequestsOnly)
{
    auto other = host.Io().Open(u"\\Device\\Queues");
    auto mine = opened.file.ReadAsync(1);
    auto theirs = other.file.ReadAsync(1);
    host.RunUntilIdle();
    opened.file.Close();
    host.RunUntilIdle();
    EXPECT_EQ(mine.Result().status, STATUS_CANCELLED);
    EXPECT_FALSE(theirs.Done());
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "create", "cleanup", "canceled", "close"));
}

TEST_F(QueueTest, ANestedWaitDoesNotReenterABusyScope)
{
    /* A parallel queue would hand out every request at once; its scope still
       keeps a second callback out while the first blocks in a wait, as a
       synchronous serial request does. */
    CreateQueue(device, WdfIoQueueDispatchParallel, WdfRequestTypeDeviceControl);
    int inside = 0;
    int most = 0;
    driverHooks.ioctl = [&](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        most = std::max(most, ++inside);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        auto& dispatcher = platform::Host::Current().GetDispatcher();
        dispatcher.Schedule(dispatcher.Now() + 10ms, [&event] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        --inside;
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    std::vector<PendingIo> controls;
    for (int i = 0; i < 4; ++i) {
        controls.push_back(opened.file.DeviceControlAsync(0x1B0004, Bytes({1}), 0));
    }
    host.RunFor(1s);
    EXPECT_EQ(most, 1);
    for (auto& control : controls) {
        EXPECT_EQ(control.Result().status, STATUS_SUCCESS);
    }

    LARGE_INTEGER timeout;
    timeout.QuadPart = WDF_REL_TIMEOUT_IN_MS(5);
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(host.Now(), Ticks{1s + 5ms});
}

TEST_F(QueueTest, PurgingSynchronouslyFromTheQueuesOwnCallbackIsADeadlock)
{
    platform::VerifierCapture faults(host);
    driverHooks.write = [&](WDFQUEUE queue, WDFREQUEST request, size_t) {
        WdfIoQueuePurgeSynchronously(queue);
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    EXPECT_EQ(opened.file.Write(Bytes({1})).status, STATUS_SUCCESS);
    ASSERT_EQ(faults.Messages().size(), 1u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("deadlock"));
}

TEST_F(QueueTest, BuffersHonourTheirMinimums)
{
    driverHooks.write = [](WDFQUEUE, WDFREQUEST request, size_t) {
        PVOID buffer = nullptr;
        size_t length = 0;
        EXPECT_EQ(WdfRequestRetrieveInputBuffer(request, 5, &buffer, &length), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 1, &buffer, &length), STATUS_INVALID_DEVICE_REQUEST);
        WDFMEMORY memory = nullptr;
        ASSERT_EQ(WdfRequestRetrieveInputMemory(request, &memory), STATUS_SUCCESS);
        std::uint8_t copy[4] = {};
        EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 0, copy, 4), STATUS_SUCCESS);
        EXPECT_EQ(WdfMemoryCopyToBuffer(memory, 1, copy, 4), STATUS_INVALID_BUFFER_SIZE);
        EXPECT_EQ(copy[3], 4);
        EXPECT_EQ(WdfRequestWdmGetIrp(request)->RequestorMode, UserMode);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 4);
    };
    EXPECT_EQ(opened.file.Write(Bytes({1, 2, 3, 4})).information, 4u);
}

} // namespace
} // namespace iotest
