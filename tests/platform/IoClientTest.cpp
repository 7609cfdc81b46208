/*
 * The whole road: clients, a small echo driver with a sequential and a
 * manual queue, and the loopback device below it.
 */
#include <atomic>
#include <random>
#include <thread>

#include "IoFixture.h"

namespace iotest {
namespace {

constexpr ULONG IOCTL_ECHO = CTL_CODE(0x9C40, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_SIGNAL_LATER = CTL_CODE(0x9C40, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);

/* The echo driver: writes go down to the loopback; reads wait in a manual
   queue and are completed by the one read the driver keeps outstanding on
   the loopback, as the port's receive path does. */
struct EchoDriver {
    WDFDEVICE device = nullptr;
    WDFQUEUE pending = nullptr;
    WDFIOTARGET target = nullptr;
    WDFREQUEST lowerRead = nullptr;
    std::vector<std::string> log;
};
EchoDriver* echo;

VOID LowerReadDone(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT);

void SendLowerRead()
{
    if (echo->lowerRead != nullptr || WdfIoTargetGetState(echo->target) != WdfIoTargetStarted) {
        return;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = echo->device;
    WDFREQUEST request;
    ASSERT_EQ(WdfRequestCreate(&attributes, echo->target, &request), STATUS_SUCCESS);
    attributes.ParentObject = request;
    WDFMEMORY memory;
    ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPool, 0x54524148, 8, &memory, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoTargetFormatRequestForRead(echo->target, request, memory, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, LowerReadDone, nullptr);
    echo->lowerRead = request;
    if (!WdfRequestSend(request, echo->target, WDF_NO_SEND_OPTIONS)) {
        echo->lowerRead = nullptr;
        WdfObjectDelete(request);
    }
}

VOID LowerReadDone(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT)
{
    echo->lowerRead = nullptr;
    WDFREQUEST client = nullptr;
    if (NT_SUCCESS(params->IoStatus.Status) && NT_SUCCESS(WdfIoQueueRetrieveNextRequest(echo->pending, &client))) {
        PVOID buffer = nullptr;
        size_t length = 0;
        WdfRequestRetrieveOutputBuffer(client, 1, &buffer, &length);
        const size_t n = std::min<size_t>(length, params->IoStatus.Information);
        WdfMemoryCopyToBuffer(params->Parameters.Read.Buffer, 0, buffer, n);
        echo->log.push_back("read " + std::to_string(n));
        WdfRequestCompleteWithInformation(client, STATUS_SUCCESS, n);
    }
    WdfObjectDelete(request);
    if (!(WdfIoQueueGetState(echo->pending, nullptr, nullptr) & WdfIoQueueNoRequests)) {
        SendLowerRead();
    }
}

VOID EchoRead(WDFQUEUE, WDFREQUEST request, size_t)
{
    NTSTATUS status = WdfRequestForwardToIoQueue(request, echo->pending);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(request, status);
        return;
    }
    SendLowerRead();
}

VOID LowerWriteDone(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context)
{
    echo->log.push_back("write " + std::to_string(params->IoStatus.Information) + " at " +
                        std::to_string(platform::Host::Current().Now() / 1ms));
    WdfRequestCompleteWithInformation(static_cast<WDFREQUEST>(context), params->IoStatus.Status,
                                      params->IoStatus.Information);
    WdfObjectDelete(request);
}

VOID EchoWrite(WDFQUEUE, WDFREQUEST request, size_t length)
{
    WDFMEMORY input;
    NTSTATUS status = WdfRequestRetrieveInputMemory(request, &input);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = echo->target;
    WDFREQUEST lower = nullptr;
    if (NT_SUCCESS(status)) {
        status = WdfRequestCreate(&attributes, echo->target, &lower);
    }
    if (NT_SUCCESS(status)) {
        WDFMEMORY copy;
        attributes.ParentObject = lower;
        PVOID buffer;
        status = WdfMemoryCreate(&attributes, NonPagedPool, 0x54524148, length, &copy, &buffer);
        if (NT_SUCCESS(status)) {
            WdfMemoryCopyToBuffer(input, 0, buffer, length);
            status = WdfIoTargetFormatRequestForWrite(echo->target, lower, copy, nullptr, nullptr);
        }
    }
    if (NT_SUCCESS(status)) {
        WdfRequestSetCompletionRoutine(lower, LowerWriteDone, request);
        if (WdfRequestSend(lower, echo->target, WDF_NO_SEND_OPTIONS)) {
            return;
        }
        status = WdfRequestGetStatus(lower);
    }
    if (lower != nullptr) {
        WdfObjectDelete(lower);
    }
    WdfRequestComplete(request, status);
}

VOID EchoIoctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code)
{
    PVOID input = nullptr;
    size_t inputLength = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(request, 1, &input, &inputLength);
    if (NT_SUCCESS(status) && code == IOCTL_SIGNAL_LATER) {
        /* The client's event, by the handle in its buffer; signalled 20 ms on. */
        ULONG handle = 0;
        std::memcpy(&handle, input, std::min<size_t>(inputLength, 4));
        PVOID event = nullptr;
        status = ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle)),
                                           SYNCHRONIZE | EVENT_MODIFY_STATE, *ExEventObjectType,
                                           WdfRequestWdmGetIrp(request)->RequestorMode, &event, nullptr);
        if (NT_SUCCESS(status)) {
            auto& dispatcher = platform::Host::Current().GetDispatcher();
            dispatcher.Schedule(dispatcher.Now() + 20ms, [event] {
                echo->log.push_back("signal at " + std::to_string(platform::Host::Current().Now() / 1ms));
                KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
                ObDereferenceObject(event);
            });
        }
        WdfRequestComplete(request, status);
        return;
    }
    PVOID output = nullptr;
    size_t outputLength = 0;
    if (NT_SUCCESS(status)) {
        status = WdfRequestRetrieveOutputBuffer(request, inputLength, &output, &outputLength);
    }
    if (NT_SUCCESS(status)) {
        std::memcpy(output, input, inputLength);
    }
    WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? inputLength : 0);
}

VOID EchoCanceled(WDFQUEUE, WDFREQUEST request)
{
    WdfRequestComplete(request, STATUS_CANCELLED);
}

class EchoTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        echo = &state;
        loop = RegisterLoopback();
        state.device = CreateDevice(u"\\Device\\Echo", {.scope = WdfSynchronizationScopeQueue,
                                                        .link = u"\\DosDevices\\ECHO"});
        /* The fixture's queues call the echo driver's routines through the hooks. */
        driverHooks.read = EchoRead;
        driverHooks.write = EchoWrite;
        driverHooks.ioctl = EchoIoctl;
        driverHooks.canceled = EchoCanceled;
        CreateQueue(state.device, WdfIoQueueDispatchSequential, WdfRequestTypeRead);
        CreateQueue(state.device, WdfIoQueueDispatchSequential, WdfRequestTypeWrite);
        CreateQueue(state.device, WdfIoQueueDispatchParallel, WdfRequestTypeDeviceControl);
        state.pending = CreateQueue(state.device, WdfIoQueueDispatchManual);
        state.target = OpenTarget(state.device);
        ASSERT_EQ(lastOpenStatus, STATUS_SUCCESS);
    }
    void TearDown() override
    {
        echo = nullptr;
        IoTest::TearDown();
    }

    /* Everything gone once the driver unloads. */
    void ExpectNothingLeft()
    {
        host.UnloadDriver();
        EXPECT_EQ(host.LiveObjects(), 0u);
        EXPECT_EQ(host.PoolAllocations(), 0u);
    }

    EchoDriver state;
    std::shared_ptr<Loopback> loop;
};

TEST_F(EchoTest, AClientReadPassesTheQueuesAndIsCompletedByTheLowerDevicesAnswer)
{
    platform::VerifierCapture faults(host);
    auto opened = host.Io().Open(u"\\\\.\\ECHO");
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    /* The read waits in the manual queue; the loopback has nothing yet. */
    auto read = opened.file.ReadAsync(16);
    host.RunUntilIdle();
    EXPECT_FALSE(read.Done());
    IoStatus written = opened.file.Write(Bytes({'H', 'A', 'R', 'T'}));
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 4u);
    IoResult got = read.Wait();
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_THAT(got.data, ElementsAre('H', 'A', 'R', 'T'));
    EXPECT_EQ(read.Completions(), 1u);
    EXPECT_THAT(state.log, ElementsAre("write 4 at 0", "read 4"));
    opened.file.Close();
    EXPECT_TRUE(faults.Messages().empty());
    ExpectNothingLeft();
}

TEST_F(EchoTest, AClientThreadRunsOnTheVirtualClockAsItWouldAlone)
{
    loop->delay = 5ms;
    std::atomic<bool> done{false};
    std::thread client = host.Io().StartClientThread([&] {
        auto opened = host.Io().Open(u"\\DosDevices\\Echo");
        for (std::uint8_t i = 0; i < 4; ++i) {
            opened.file.Write(Bytes({i}));
            host.Io().Sleep(10ms);
        }
        platform::ClientEvent event = host.Io().CreateEvent();
        const ULONG handle = event.Handle();
        auto* bytes = reinterpret_cast<const std::uint8_t*>(&handle);
        opened.file.DeviceControl(IOCTL_SIGNAL_LATER, std::vector<std::uint8_t>(bytes, bytes + 4), 0);
        EXPECT_FALSE(event.IsSignaled());
        event.Wait();
        EXPECT_TRUE(event.WaitFor(0ms));
        opened.file.Close();
        done = true;
    });
    /* The loop waits for the client whenever it runs; time moves only while it waits. */
    host.GetDispatcher().RunUntil([&] { return done.load(); }, std::chrono::hours(1));
    client.join();
    EXPECT_THAT(state.log,
                ElementsAre("write 1 at 5", "write 1 at 20", "write 1 at 35", "write 1 at 50", "signal at 80"));
}

TEST_F(EchoTest, RandomOperationsCompleteEveryRequestExactlyOnce)
{
    platform::VerifierCapture faults(host);
    std::mt19937 random(20250101);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::vector<platform::File> files;
    std::vector<PendingIo> requests;
    const std::size_t objectsAtStart = host.LiveObjects();
    for (int step = 0; step < 4000; ++step) {
        switch (pick(10)) {
        case 0:
            if (files.size() < 3) {
                auto opened = host.Io().Open(u"\\\\.\\ECHO");
                ASSERT_EQ(opened.status, STATUS_SUCCESS);
                files.push_back(std::move(opened.file));
            }
            break;
        case 1:
            if (!files.empty()) {
                files.erase(files.begin() + pick(static_cast<int>(files.size())));
            }
            break;
        case 2:
        case 3:
            if (!files.empty()) {
                requests.push_back(files[pick(static_cast<int>(files.size()))].ReadAsync(pick(4)));
            }
            break;
        case 4:
        case 5:
            if (!files.empty()) {
                std::vector<std::uint8_t> bytes(pick(5), static_cast<std::uint8_t>(step));
                requests.push_back(files[pick(static_cast<int>(files.size()))].WriteAsync(bytes));
            }
            break;
        case 6:
            if (!files.empty()) {
                requests.push_back(files[pick(static_cast<int>(files.size()))].DeviceControlAsync(
                    IOCTL_ECHO, Bytes({1, 2}), pick(3)));
            }
            break;
        case 7:
            if (!requests.empty()) {
                requests[pick(static_cast<int>(requests.size()))].Cancel();
            }
            break;
        case 8:
            loop->delay = Ticks{std::chrono::milliseconds(pick(3))};
            break;
        default:
            host.RunFor(std::chrono::milliseconds(pick(4)));
            break;
        }
    }
    files.clear();
    host.RunFor(1s);
    for (const PendingIo& request : requests) {
        ASSERT_TRUE(request.Done());
        EXPECT_EQ(request.Completions(), 1u);
    }
    EXPECT_TRUE(faults.Messages().empty());
    /* At most the one lower read is left, waiting for data. */
    EXPECT_LE(host.LiveObjects(), objectsAtStart + 2);
    ExpectNothingLeft();
}

} // namespace
} // namespace iotest
