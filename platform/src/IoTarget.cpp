#include "IoTarget.h"

#include <algorithm>

#include "Device.h"
#include "HostCore.h"
#include "IoCore.h"
#include "Irql.h"
#include "Memory.h"
#include "Request.h"

namespace platform {

IoTargetObject::IoTargetObject(HostCore& core, DeviceObject& device) : Object(core, kType), device_(&device)
{
}

NTSTATUS IoTargetObject::Open(const WDF_IO_TARGET_OPEN_PARAMS& params)
{
    HostCore& core = Core();
    if (state_ != WdfIoTargetClosed && state_ != WdfIoTargetClosedForQueryRemove) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (params.Type != WdfIoTargetOpenByName) {
        return STATUS_NOT_SUPPORTED;
    }
    Namespace::Target found;
    NTSTATUS status = core.io->names.Resolve(ToU16(&params.TargetDeviceName), found);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (found.lower == nullptr) {
        /* The driver's own devices are reached through the client side only. */
        return STATUS_NOT_SUPPORTED;
    }
    LowerOpenParameters open;
    open.desiredAccess = params.DesiredAccess;
    open.shareAccess = params.ShareAccess;
    open.createDisposition = params.CreateDisposition;
    open.createOptions = params.CreateOptions;
    status = found.lower->Open(this, open);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    lower_ = found.lower;
    removeComplete_ = params.EvtIoTargetRemoveComplete;
    ++openGeneration_;
    state_ = WdfIoTargetStarted;
    return STATUS_SUCCESS;
}

bool IoTargetObject::Accept(RequestObject* request, bool ignoreState, NTSTATUS* status)
{
    if (lower_ != nullptr && (state_ == WdfIoTargetStarted || ignoreState)) {
        sent_.push_back(request);
        request->PassDown();
        return true;
    }
    if (lower_ != nullptr && state_ == WdfIoTargetStopped) {
        held_.push_back(request);
        return true;
    }
    *status = STATUS_INVALID_DEVICE_STATE;
    return false;
}

void IoTargetObject::Finished(RequestObject* request)
{
    sent_.erase(std::remove(sent_.begin(), sent_.end(), request), sent_.end());
}

bool IoTargetObject::CancelHeld(RequestObject* request)
{
    auto it = std::find(held_.begin(), held_.end(), request);
    if (it == held_.end()) {
        return false;
    }
    held_.erase(it);
    request->FinishUnsent(STATUS_CANCELLED);
    return true;
}

void IoTargetObject::ReleaseHeld(NTSTATUS status)
{
    while (!held_.empty()) {
        RequestObject* request = held_.front();
        held_.pop_front();
        request->FinishUnsent(status);
    }
}

void IoTargetObject::CancelSent()
{
    for (RequestObject* request : std::vector<RequestObject*>(sent_)) {
        if (std::find(sent_.begin(), sent_.end(), request) != sent_.end()) {
            request->CancelSent();
        }
    }
}

void IoTargetObject::WaitSent(const char* caller)
{
    if (sent_.empty()) {
        return;
    }
    AddRef();
    Core().WaitNested([this] { return sent_.empty(); }, caller);
    Release();
}

NTSTATUS IoTargetObject::Start()
{
    if (lower_ == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    state_ = WdfIoTargetStarted;
    while (!held_.empty() && state_ == WdfIoTargetStarted) {
        RequestObject* request = held_.front();
        held_.pop_front();
        sent_.push_back(request);
        request->PassDown();
    }
    return STATUS_SUCCESS;
}

void IoTargetObject::Stop(WDF_IO_TARGET_SENT_IO_ACTION action)
{
    if (lower_ == nullptr) {
        return;
    }
    state_ = WdfIoTargetStopped;
    switch (action) {
    case WdfIoTargetCancelSentIo:
        CancelSent();
        WaitSent("WdfIoTargetStop");
        break;
    case WdfIoTargetWaitForSentIoToComplete:
        WaitSent("WdfIoTargetStop");
        break;
    default:
        break;
    }
}

void IoTargetObject::Close()
{
    if (lower_ == nullptr) {
        state_ = WdfIoTargetClosed;
        return;
    }
    /* Nothing new goes down while what was sent drains. */
    state_ = WdfIoTargetClosed;
    ReleaseHeld(STATUS_CANCELLED);
    CancelSent();
    WaitSent("WdfIoTargetClose");
    Disconnect();
}

void IoTargetObject::Disconnect()
{
    if (std::shared_ptr<LowerDeviceEntry> lower = std::move(lower_)) {
        lower_.reset();
        lower->Close(this);
    }
    removeComplete_ = nullptr;
}

void IoTargetObject::RemoveComplete(std::uint64_t openGeneration)
{
    if (openGeneration != openGeneration_ || lower_ == nullptr) {
        return;
    }
    /* Once per open: a later open of a new device gets its own. */
    ++openGeneration_;
    if (PFN_WDF_IO_TARGET_REMOVE_COMPLETE callback = removeComplete_) {
        removeComplete_ = nullptr;
        AddRef();
        {
            IrqlScope passive(PASSIVE_LEVEL);
            callback(HandleAs<WDFIOTARGET>());
        }
        const bool live = IsLive();
        Release();
        if (!live) {
            return;
        }
    }
    if (lower_ != nullptr) {
        Close();
    }
}

void IoTargetObject::Dispose()
{
    state_ = WdfIoTargetDeleted;
    ReleaseHeld(STATUS_CANCELLED);
    /* What is still on its way is asked to end; its completion finds the
       target gone. Deleting cannot wait for it. */
    CancelSent();
    sent_.clear();
    Disconnect();
}

} // namespace platform

using namespace platform;

NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes, WDFIOTARGET* IoTarget)
{
    HostCore& core = CurrentCore();
    auto* device = Resolve<DeviceObject>(core.objects, Device, "WdfIoTargetCreate");
    if (device == nullptr || IoTarget == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *IoTarget = nullptr;
    Object* parent = core.ParentFor(IoTargetAttributes, *device, "WdfIoTargetCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<IoTargetObject>(core, *device), *parent,
                                          IoTargetAttributes, &created);
    if (NT_SUCCESS(status)) {
        *IoTarget = created->HandleAs<WDFIOTARGET>();
    }
    return status;
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams)
{
    HostCore& core = CurrentCore();
    auto* target = Resolve<IoTargetObject>(core.objects, IoTarget, "WdfIoTargetOpen");
    if (target == nullptr || OpenParams == nullptr || OpenParams->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    return target->Open(*OpenParams);
}

VOID WdfIoTargetClose(WDFIOTARGET IoTarget)
{
    if (auto* target = Resolve<IoTargetObject>(CurrentCore().objects, IoTarget, "WdfIoTargetClose")) {
        target->Close();
    }
}

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget)
{
    auto* target = Resolve<IoTargetObject>(CurrentCore().objects, IoTarget, "WdfIoTargetStart");
    return target != nullptr ? target->Start() : STATUS_INVALID_PARAMETER;
}

VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    if (auto* target = Resolve<IoTargetObject>(CurrentCore().objects, IoTarget, "WdfIoTargetStop")) {
        target->Stop(Action);
    }
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget)
{
    auto* target = Resolve<IoTargetObject>(CurrentCore().objects, IoTarget, "WdfIoTargetGetState");
    return target != nullptr ? target->State() : WdfIoTargetStateUndefined;
}

WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget)
{
    auto* target = Resolve<IoTargetObject>(CurrentCore().objects, IoTarget, "WdfIoTargetGetDevice");
    return target != nullptr && target->Device() != nullptr ? target->Device()->HandleAs<WDFDEVICE>() : nullptr;
}

PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget)
{
    auto* target = Resolve<IoTargetObject>(CurrentCore().objects, IoTarget, "WdfIoTargetWdmGetTargetDeviceObject");
    return target != nullptr && target->Lower() != nullptr ? target->Lower()->WdmDevice() : nullptr;
}

namespace {

NTSTATUS Format(WDFIOTARGET IoTarget, WDFREQUEST Request, WDF_REQUEST_TYPE type, ULONG code, WDFMEMORY input,
                PWDFMEMORY_OFFSET inputOffset, WDFMEMORY output, PWDFMEMORY_OFFSET outputOffset, const char* caller)
{
    HostCore& core = CurrentCore();
    auto* target = Resolve<IoTargetObject>(core.objects, IoTarget, caller);
    auto* request = Resolve<RequestObject>(core.objects, Request, caller);
    if (target == nullptr || request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    MemoryObject* in = nullptr;
    MemoryObject* out = nullptr;
    if (input != nullptr && (in = Resolve<MemoryObject>(core.objects, input, caller)) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (output != nullptr && (out = Resolve<MemoryObject>(core.objects, output, caller)) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return request->Format(target, type, code, in, inputOffset, out, outputOffset);
}

} // namespace

NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset, PLONGLONG)
{
    return Format(IoTarget, Request, WdfRequestTypeRead, 0, nullptr, nullptr, OutputBuffer, OutputBufferOffset,
                  "WdfIoTargetFormatRequestForRead");
}

NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset, PLONGLONG)
{
    return Format(IoTarget, Request, WdfRequestTypeWrite, 0, InputBuffer, InputBufferOffset, nullptr, nullptr,
                  "WdfIoTargetFormatRequestForWrite");
}

NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset)
{
    return Format(IoTarget, Request, WdfRequestTypeDeviceControl, IoctlCode, InputBuffer, InputBufferOffset,
                  OutputBuffer, OutputBufferOffset, "WdfIoTargetFormatRequestForIoctl");
}
