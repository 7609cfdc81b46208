#include "sim/LinkHarness.h"

#include <algorithm>

#include "driver/HartDriver.h"
#include "serial/HartSerial.h"

namespace sim {

namespace {
/* The harness behind each port device, found from the write work item. */
struct HARNESS_CONTEXT {
    LinkHarness* Harness;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HARNESS_CONTEXT, HarnessGetContext)

const WCHAR kSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
} // namespace

Bytes Frame(int preambles, const Bytes& body)
{
    Bytes frame(preambles, PREAMBLE_CHARACTER);
    frame.insert(frame.end(), body.begin(), body.end());
    UCHAR check = 0;
    for (auto b : body) {
        check ^= b;
    }
    frame.push_back(check);
    return frame;
}

Bytes FrameBody(UCHAR delimiter, const Bytes& address, UCHAR command, const Bytes& data)
{
    Bytes body;
    body.reserve(3 + address.size() + data.size());
    body.push_back(delimiter);
    body.insert(body.end(), address.begin(), address.end());
    body.push_back(command);
    body.push_back(static_cast<UCHAR>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
    return body;
}

LinkHarness::LinkHarness(platform::Host& host) : host_(host)
{
    CreateDriver();
    CreatePortDevice();
}

LinkHarness::~LinkHarness()
{
    host_.UnloadDriver();
}

void LinkHarness::CreateDriver()
{
    /* The driver's own entry: with nothing in its service key it loads the default timing set. */
    DriverEntry(host_.DriverObject(), host_.RegistryPath());
    driver_ = host_.Driver();
}

WDFWORKITEM LinkHarness::CreateWorkItem(PFN_WDF_WORKITEM callback)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, callback);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORKITEM_CONTEXT);
    attributes.ParentObject = device_;
    WDFWORKITEM workItem = nullptr;
    if (!NT_SUCCESS(WdfWorkItemCreate(&config, &attributes, &workItem))) {
        return nullptr;
    }
    HartGetWorkItemContext(workItem)->Device = device_;
    return workItem;
}

void LinkHarness::CreatePortDevice()
{
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, kSddl);
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver_, &sddl);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, HARTDEVICE_CONTEXT);
    WdfDeviceCreate(&init, &attributes, &device_);
    WDF_OBJECT_ATTRIBUTES harnessAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&harnessAttributes, HARNESS_CONTEXT);
    PVOID harnessContext = nullptr;
    WdfObjectAllocateContext(device_, &harnessAttributes, &harnessContext);
    static_cast<HARNESS_CONTEXT*>(harnessContext)->Harness = this;

    context_ = HartGetDeviceContext(device_);
    context_->Device = device_;
    HartInitializeTimer(context_);
    context_->WorkItemRead = CreateWorkItem(HartEvtWorkItemRead);
    context_->WorkItemWrite = CreateWorkItem(HartEvtRecordSerialWrite);
    context_->WorkItemTriggerTx = CreateWorkItem(HartEvtWorkItemTriggerTx);
    HartInitializeStateMachines(device_);
    HartInitializeDeviceContext(device_);
    WdfControlFinishInitializing(device_);
    FsmMasterProcessEvent(device_, EVT_STARTUP);
}

VOID LinkHarness::HartEvtRecordSerialWrite(WDFWORKITEM workItem)
{
    WDFDEVICE device = HartGetWorkItemContext(workItem)->Device;
    LinkHarness* harness = HarnessGetContext(device)->Harness;
    PHARTDEVICE_CONTEXT context = HartGetDeviceContext(device);
    auto* data = static_cast<const std::uint8_t*>(context->WriteBuffer);
    Bytes frame = data ? Bytes(data, data + context->WriteBufferLength) : Bytes{};
    harness->serialWrites_.push_back(frame);
    if (harness->onSerialWrite_) {
        harness->onSerialWrite_(frame);
    }
}

UCHAR LinkHarness::Receive(const Bytes& characters, NTSTATUS status)
{
    UCHAR result = 0;
    for (auto c : characters) {
        UCHAR character = c;
        result = HartPortDataReceiverFsmProcessReceivedCharacter(device_, &character, status);
        RunPostedWork();
    }
    return result;
}

void LinkHarness::Post(UCHAR event)
{
    FsmMasterProcessEvent(device_, event);
    RunPostedWork();
}

void LinkHarness::RunPostedWork()
{
    /* From inside a dispatcher callback the loop that runs it carries on by itself. */
    if (host_.GetDispatcher().Depth() == 0) {
        host_.RunUntilIdle();
    }
}

void LinkHarness::StartLinkTimer()
{
    WdfTimerStart(context_->LinkTimer, HART_LINK_TIMER_DUE_TIME);
}

void LinkHarness::Tick(int ticks)
{
    host_.RunFor(ticks * kLinkTick);
}

std::shared_ptr<platform::ClientRequest> LinkHarness::ClientWrite(const Bytes& frame)
{
    auto request = host_.CreateWriteRequest(frame);
    context_->PendingWriteRequest = request->Handle();
    context_->WriteBuffer = const_cast<std::uint8_t*>(request->Input().data());
    context_->WriteBufferLength = request->Input().size();
    Post(EVT_XMIT_REQ);
    return request;
}

void LinkHarness::SerialWriteCompletes(NTSTATUS status, ULONG_PTR bytesWritten, bool withinThirtyMs)
{
    context_->WriteCompletionParams.IoStatus.Status = status;
    context_->WriteCompletionParams.IoStatus.Information = bytesWritten;
    context_->HartBusGrantTimeCounter = 3;
    context_->HartResposeWaitBufferTime = withinThirtyMs ? static_cast<USHORT>(bytesWritten * 9 / 10) : 0;
    Post(EVT_XMIT_DONE);
}

std::string LinkHarness::State() const
{
    return context_->CurrentState ? context_->CurrentState->Name : "(none)";
}

Bytes LinkHarness::PendingEvents() const
{
    const UCHAR* events = context_->FsmEventQueue.Events;
    return Bytes(events, std::find(events, events + HART_FSM_EVENT_QUEUE_SIZE, 0));
}

Bytes LinkHarness::ReadableFrame() const
{
    const UCHAR* start = context_->CommData.pReadBuffer;
    return Bytes(start, start + context_->CommData.ReadLength);
}

} // namespace sim
