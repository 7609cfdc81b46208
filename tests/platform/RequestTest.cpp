#include <cstring>
#include <vector>

#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace {

using RequestTest = PlatformTest;

const std::vector<std::uint8_t> kFrame = {0xFF, 0xFF, 0x82, 0x00, 0x01};

TEST_F(RequestTest, WriteIsCompletedOnceWithStatusAndInformation)
{
    auto write = host.CreateWriteRequest(kFrame);
    WDFREQUEST request = write->Handle();
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(write->Completed());
    EXPECT_EQ(write->Status(), STATUS_PENDING);

    WDF_REQUEST_PARAMETERS parameters;
    WdfRequestGetParameters(request, &parameters);
    EXPECT_EQ(parameters.Type, WdfRequestTypeWrite);
    EXPECT_EQ(parameters.Parameters.Write.Length, kFrame.size());
    PVOID buffer = nullptr;
    size_t length = 0;
    ASSERT_EQ(WdfRequestRetrieveInputBuffer(request, kFrame.size(), &buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(buffer, kFrame.data(), length), 0);
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(request, kFrame.size() + 1, &buffer, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 0, &buffer, &length), STATUS_INVALID_DEVICE_REQUEST);

    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, kFrame.size());

    EXPECT_TRUE(write->Completed());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), kFrame.size());
    EXPECT_EQ(write->Completions(), 1u);
    EXPECT_EQ(write->Handle(), nullptr);
    EXPECT_EQ(host.LiveObjects("WDFREQUEST"), 0u);
}

TEST_F(RequestTest, SecondCompletionIsCaughtWhetherOrNotTheRequestIsReferenced)
{
    for (bool referenced : {false, true}) {
        SCOPED_TRACE(referenced ? "referenced" : "not referenced");
        platform::VerifierCapture faults(host);
        auto write = host.CreateWriteRequest(kFrame);
        WDFREQUEST request = write->Handle();
        if (referenced) {
            WdfObjectReference(request);
        }
        WdfRequestComplete(request, STATUS_TRANSACTION_TIMED_OUT);
        WdfRequestComplete(request, STATUS_SUCCESS);
        if (referenced) {
            WdfObjectDereference(request);
        }
        ASSERT_EQ(faults.Messages().size(), 1u);
        EXPECT_THAT(faults.Messages()[0], HasSubstr("already completed"));
        EXPECT_EQ(write->Completions(), 1u);
        EXPECT_EQ(write->Status(), STATUS_TRANSACTION_TIMED_OUT);
        EXPECT_EQ(host.LiveObjects(), 2u); /* driver and device */
    }
}

TEST_F(RequestTest, ReadReturnsWhatTheDriverWroteAndNoMore)
{
    platform::VerifierCapture faults(host);
    auto read = host.CreateReadRequest(4);
    std::vector<NTSTATUS> seen;
    read->OnCompleted([&](const platform::ClientRequest& done) { seen.push_back(done.Status()); });
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfRequestRetrieveOutputBuffer(read->Handle(), 2, &buffer, nullptr), STATUS_SUCCESS);
    static_cast<UCHAR*>(buffer)[0] = 0x06;
    static_cast<UCHAR*>(buffer)[1] = 0x80;
    WdfRequestCompleteWithInformation(read->Handle(), STATUS_SUCCESS, 2);
    EXPECT_THAT(read->Output(), ElementsAre(0x06, 0x80, 0x00, 0x00));
    EXPECT_THAT(seen, ElementsAre(STATUS_SUCCESS));

    auto overrun = host.CreateReadRequest(4);
    WdfRequestCompleteWithInformation(overrun->Handle(), STATUS_SUCCESS, 5);
    ASSERT_EQ(faults.Messages().size(), 1u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("5 bytes for a 4-byte output buffer"));
    EXPECT_EQ(overrun->Information(), 4u);
}

TEST_F(RequestTest, DeviceControlCarriesItsCode)
{
    const std::vector<std::uint8_t> input = {1, 2};
    auto control = host.CreateDeviceControlRequest(0x9C400E60, input, 520);
    WDF_REQUEST_PARAMETERS parameters;
    WdfRequestGetParameters(control->Handle(), &parameters);
    EXPECT_EQ(parameters.Parameters.DeviceIoControl.IoControlCode, 0x9C400E60u);
    EXPECT_EQ(parameters.Parameters.DeviceIoControl.InputBufferLength, 2u);
    EXPECT_EQ(parameters.Parameters.DeviceIoControl.OutputBufferLength, 520u);
    WdfRequestSetInformation(control->Handle(), 520);
    WdfRequestComplete(control->Handle(), STATUS_SUCCESS);
    EXPECT_EQ(control->Information(), 520u);
}

WDFREQUEST heldByDevice;
VOID CompleteHeldRequest(WDFOBJECT)
{
    WdfRequestComplete(heldByDevice, STATUS_DEVICE_NOT_READY);
}

TEST_F(RequestTest, RequestsStillHeldAfterUnloadAreCancelled)
{
    auto completedByCleanup = host.CreateWriteRequest(kFrame);
    auto forgotten = host.CreateWriteRequest(kFrame);
    heldByDevice = completedByCleanup->Handle();
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = CompleteHeldRequest;
    PVOID unused;
    ASSERT_EQ(WdfObjectAllocateContext(device, &attributes, &unused), STATUS_INVALID_PARAMETER); /* no type */
    attributes.ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(OTHER_CONTEXT);
    ASSERT_EQ(WdfObjectAllocateContext(device, &attributes, &unused), STATUS_SUCCESS);

    host.UnloadDriver();

    EXPECT_EQ(completedByCleanup->Status(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(forgotten->Status(), STATUS_CANCELLED);
    EXPECT_EQ(forgotten->Completions(), 1u);
    EXPECT_EQ(host.LiveObjects(), 0u);
}

using RequestDeathTest = PlatformTest;

TEST_F(RequestDeathTest, WithoutAHandlerAFaultStopsTheProcess)
{
    auto write = host.CreateWriteRequest(kFrame);
    WDFREQUEST request = write->Handle();
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_DEATH(WdfRequestComplete(request, STATUS_SUCCESS), "driver fault: .*already completed");
}

} // namespace
