#include "IoFixture.h"

namespace iotest {
namespace {

class TargetTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        device = CreateDevice(u"\\Device\\Port");
        loop = RegisterLoopback();
    }

    /* A one-byte read sent on target as the receive path sends one; byte, when asked for, is its memory. */
    WDFREQUEST SendRead(WDFIOTARGET target, Completion& completion, WDFMEMORY* byte = nullptr)
    {
        WDFREQUEST read = NewRequest(device);
        WDFMEMORY memory = Memory(read, Bytes({0}));
        EXPECT_EQ(WdfIoTargetFormatRequestForRead(target, read, memory, nullptr, nullptr), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(read, Completed, &completion);
        EXPECT_TRUE(WdfRequestSend(read, target, WDF_NO_SEND_OPTIONS));
        if (byte != nullptr) {
            *byte = memory;
        }
        return read;
    }

    WDFDEVICE device = nullptr;
    std::shared_ptr<Loopback> loop;
};

TEST_F(TargetTest, OpensByNameWithTheOpenersParametersAndSharing)
{
    WDFIOTARGET target = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetClosed);
    EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(target), nullptr);
    DECLARE_CONST_UNICODE_STRING(missing, u"\\Device\\Serial9");
    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &missing, STANDARD_RIGHTS_ALL);
    EXPECT_EQ(WdfIoTargetOpen(target, &params), STATUS_OBJECT_NAME_NOT_FOUND);

    WdfObjectDelete(target);
    target = OpenTarget(device);
    ASSERT_EQ(lastOpenStatus, STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStarted);
    EXPECT_EQ(WdfIoTargetGetDevice(target), device);
    EXPECT_NE(WdfIoTargetWdmGetTargetDeviceObject(target), nullptr);
    EXPECT_EQ(loop->lastOpen.desiredAccess, static_cast<ACCESS_MASK>(STANDARD_RIGHTS_ALL));
    EXPECT_EQ(loop->lastOpen.createDisposition, static_cast<ULONG>(FILE_OPEN));
    EXPECT_EQ(loop->lastOpen.createOptions, static_cast<ULONG>(FILE_NON_DIRECTORY_FILE));

    /* Opened without sharing: nobody else gets in. */
    OpenTarget(device);
    EXPECT_EQ(lastOpenStatus, STATUS_SHARING_VIOLATION);
    WdfIoTargetClose(target);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetClosed);
    EXPECT_EQ(loop->opens, 1);
    EXPECT_EQ(loop->closes, 1);

    loop->openStatus = STATUS_DEVICE_NOT_READY;
    OpenTarget(device);
    EXPECT_EQ(lastOpenStatus, STATUS_DEVICE_NOT_READY);
}

TEST_F(TargetTest, RefusedSendReturnsFalseAndLeavesItsStatus)
{
    WDFIOTARGET target = OpenTarget(device);
    WDFREQUEST request = NewRequest(device);
    Completion completion;
    WdfRequestSetCompletionRoutine(request, Completed, &completion);
    EXPECT_FALSE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS)); /* not formatted */
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_REQUEST);

    WDFMEMORY memory = Memory(request, Bytes({0x11}));
    ASSERT_EQ(WdfIoTargetFormatRequestForWrite(target, request, memory, nullptr, nullptr), STATUS_SUCCESS);
    WdfIoTargetClose(target);
    EXPECT_FALSE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
    host.RunUntilIdle();
    EXPECT_EQ(completion.runs, 0);
    EXPECT_TRUE(loop->data.empty());
}

TEST_F(TargetTest, CompletionRoutineRunsOnceWhetherTheDeviceAnswersAtOnceOrLater)
{
    WDFIOTARGET target = OpenTarget(device);
    WDFREQUEST write = NewRequest(target);
    Completion written;
    WDFMEMORY frame = Memory(write, Bytes({0x82, 0x01, 0x02}));
    ASSERT_EQ(WdfIoTargetFormatRequestForWrite(target, write, frame, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(write, Completed, &written);
    ASSERT_TRUE(WdfRequestSend(write, target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(written.runs, 1); /* inside the send */
    EXPECT_EQ(written.information, 3u);
    EXPECT_EQ(written.type, WdfRequestTypeWrite);

    /* The same request goes again, this time answered later. */
    loop->delay = 20ms;
    ASSERT_EQ(WdfIoTargetFormatRequestForWrite(target, write, frame, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(WdfRequestSend(write, target, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(write), STATUS_PENDING);
    host.RunFor(1s);
    EXPECT_EQ(written.runs, 2);

    /* A one-byte read as the receive path sends it: data copied into its memory. */
    Completion got{.deleteRequest = true};
    SendRead(target, got);
    /* Deleted by its completion routine, the request takes its memory with it. */
    host.RunFor(1s);
    EXPECT_EQ(got.runs, 1);
    EXPECT_EQ(got.information, 1u);
    EXPECT_EQ(host.LiveObjects("WDFMEMORY"), 1u); /* the frame */
    EXPECT_EQ(loop->data.size(), 5u);
}

TEST_F(TargetTest, CancelledAndStoppedRequestsEndThroughTheirRoutine)
{
    WDFIOTARGET target = OpenTarget(device);
    Completion got;
    WDFMEMORY byte = nullptr;
    WDFREQUEST read = SendRead(target, got, &byte);
    EXPECT_EQ(got.runs, 0);
    EXPECT_TRUE(WdfRequestCancelSentRequest(read));
    EXPECT_EQ(got.runs, 1);
    EXPECT_EQ(got.status, STATUS_CANCELLED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(read));

    /* Stop cancels what was sent and waits; sends while stopped wait in the target. */
    WdfIoTargetFormatRequestForRead(target, read, byte, nullptr, nullptr);
    ASSERT_TRUE(WdfRequestSend(read, target, WDF_NO_SEND_OPTIONS));
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(got.runs, 2);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStopped);
    WdfIoTargetFormatRequestForRead(target, read, byte, nullptr, nullptr);
    ASSERT_TRUE(WdfRequestSend(read, target, WDF_NO_SEND_OPTIONS));
    EXPECT_TRUE(loop->reads.empty());
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    EXPECT_EQ(loop->reads.size(), 1u);
    loop->data.push_back(0x42);
    loop->ServeReads();
    EXPECT_EQ(got.runs, 3);
    std::uint8_t value = 0;
    EXPECT_EQ(WdfMemoryCopyToBuffer(byte, 0, &value, 1), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x42);

    /* Reuse clears the routine: the next send completes silently. */
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestReuse(read, &reuse), STATUS_SUCCESS);
    EXPECT_FALSE(WdfRequestSend(read, target, WDF_NO_SEND_OPTIONS)); /* formatting went too */
}

int removeCompleteRuns;
VOID RemoveComplete(WDFIOTARGET target)
{
    ++removeCompleteRuns;
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStarted);
}

TEST_F(TargetTest, RemovalWhileRequestsAreSentRunsTheRemoveCallbackOnce)
{
    removeCompleteRuns = 0;
    WDFIOTARGET target = OpenTarget(device, RemoveComplete);
    Completion got;
    SendRead(target, got);

    loop->ReportRemoved();
    loop->ReportRemoved();
    EXPECT_FALSE(host.ObjectNameExists(u"\\Device\\Loop0"));
    EXPECT_EQ(removeCompleteRuns, 0); /* later, from the PnP manager */
    host.RunUntilIdle();
    EXPECT_EQ(removeCompleteRuns, 1);
    /* The callback left the target open: the framework closed it, ending the read. */
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetClosed);
    EXPECT_EQ(got.runs, 1);
    EXPECT_EQ(got.status, STATUS_CANCELLED);
    OpenTarget(device, RemoveComplete);
    EXPECT_EQ(lastOpenStatus, STATUS_OBJECT_NAME_NOT_FOUND);
    host.RunUntilIdle();
    EXPECT_EQ(removeCompleteRuns, 1);
}

TEST_F(TargetTest, SynchronousDeviceControlWaitsForALateAnswer)
{
    WDFIOTARGET target = OpenTarget(device);
    loop->delay = 30ms;
    loop->ioctlStatus = STATUS_NOT_SUPPORTED;
    PDEVICE_OBJECT lower = WdfIoTargetWdmGetTargetDeviceObject(target);
    ULONG baud = 1200;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x1B0004, lower, &baud, sizeof(baud), nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host.Now(), Ticks{30ms});

    /* Answered at once: the status comes back from the call, and the block is filled too. */
    loop->delay = Ticks{0};
    loop->ioctlStatus = STATUS_SUCCESS;
    std::uint8_t answer[4] = {};
    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(0x1B004C, lower, &baud, sizeof(baud), answer, sizeof(answer), FALSE, &event,
                                        &iosb);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(std::memcmp(answer, &baud, 4), 0);
    EXPECT_THAT(loop->ioctls, ElementsAre(0x1B0004u, 0x1B004Cu));
}

TEST_F(TargetTest, ClientEventsAreReferencedByHandleAndSignalTheClient)
{
    platform::VerifierCapture faults(host);
    platform::ClientEvent event = host.Io().CreateEvent();
    PVOID object = nullptr;
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(event.Handle()));
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(ULONG_PTR{0x4242}), SYNCHRONIZE | EVENT_MODIFY_STATE,
                                        *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE | EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                        &object, nullptr),
              STATUS_SUCCESS);
    /* The client may close its handle; the driver's reference keeps the event. */
    event.Close();
    PVOID none = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode, &none, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_NE(object, nullptr);
    KeSetEvent(static_cast<PRKEVENT>(object), IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(object);
    ObDereferenceObject(object);
    ASSERT_EQ(faults.Messages().size(), 1u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("released twice"));

    platform::ClientEvent other = host.Io().CreateEvent();
    EXPECT_NE(other.Handle(), event.Handle());
    _OBJECT_TYPE* notAnEvent = reinterpret_cast<_OBJECT_TYPE*>(&other);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(other.Handle())), SYNCHRONIZE,
                                        notAnEvent, UserMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
}

TEST_F(TargetTest, AReferenceNeverReleasedIsReportedAtTeardown)
{
    std::vector<std::string> messages;
    {
        platform::Host local;
        local.SetVerifierHandler([&](std::string_view message) { messages.emplace_back(message); });
        platform::ClientEvent event = local.Io().CreateEvent();
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(event.Handle())),
                                            SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr),
                  STATUS_SUCCESS);
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_THAT(messages[0], HasSubstr("never released"));
}

} // namespace
} // namespace iotest
