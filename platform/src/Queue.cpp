#include "Queue.h"

#include <algorithm>

#include "Device.h"
#include "Driver.h"
#include "HostCore.h"
#include "Irql.h"
#include "Request.h"

namespace platform {

QueueObject::QueueObject(HostCore& core, DeviceObject& device, const WDF_IO_QUEUE_CONFIG& config, bool powerManaged)
    : Object(core, kType), device_(&device), config_(config), powerManaged_(powerManaged)
{
}

bool QueueObject::Takes(WDF_REQUEST_TYPE type) const
{
    if (config_.EvtIoDefault != nullptr) {
        return true;
    }
    switch (type) {
    case WdfRequestTypeRead: return config_.EvtIoRead != nullptr;
    case WdfRequestTypeWrite: return config_.EvtIoWrite != nullptr;
    case WdfRequestTypeDeviceControl: return config_.EvtIoDeviceControl != nullptr;
    case WdfRequestTypeDeviceControlInternal: return config_.EvtIoInternalDeviceControl != nullptr;
    default: return false;
    }
}

SyncScope* QueueObject::OwnScope()
{
    WDF_SYNCHRONIZATION_SCOPE scope = SynchronizationScopeSetting();
    if (scope == WdfSynchronizationScopeInheritFromParent) {
        scope = device_->EffectiveScope();
    }
    switch (scope) {
    case WdfSynchronizationScopeQueue: return &scope_;
    case WdfSynchronizationScopeDevice: return device_->DeviceScope();
    default: return nullptr;
    }
}

void QueueObject::Insert(RequestObject* request)
{
    if (!accepting_ || !IsLive()) {
        request->FrameworkComplete(STATUS_INVALID_DEVICE_STATE, 0);
        return;
    }
    request->EnterQueue(this);
    waiting_.push_back(request);
    if (request->CancelRequested()) {
        /* Its client gave up while the driver held it. */
        CancelWaiting(request);
        return;
    }
    Kick();
}

bool QueueObject::CanDispatch() const
{
    if (config_.DispatchType == WdfIoQueueDispatchManual || !dispatching_ || waiting_.empty() || !IsLive()) {
        return false;
    }
    if (powerManaged_ && !device_->InWorkingState()) {
        return false;
    }
    return config_.DispatchType != WdfIoQueueDispatchSequential || owned_.empty();
}

void QueueObject::Kick()
{
    if (dispatchPosted_ || !CanDispatch()) {
        return;
    }
    dispatchPosted_ = true;
    HostCore& core = Core();
    const std::uint64_t serial = Serial();
    core.dispatcher.Post(
        [&core, self = this, serial] {
            if (core.objects.Find(self, serial) != nullptr) {
                self->dispatchPosted_ = false;
                self->DispatchOne();
            }
        },
        CallbackScope());
}

void QueueObject::DispatchOne()
{
    if (!CanDispatch()) {
        return;
    }
    RequestObject* request = waiting_.front();
    waiting_.pop_front();
    /* The callback may delete the queue; its memory stays until we are done. */
    AddRef();
    Deliver(request);
    Kick();
    Release();
}

void QueueObject::Deliver(RequestObject* request)
{
    request->GiveToDriver(this);
    owned_.push_back(request);
    const WDFQUEUE queue = HandleAs<WDFQUEUE>();
    const WDFREQUEST handle = request->HandleAs<WDFREQUEST>();
    WDF_REQUEST_PARAMETERS parameters;
    request->GetParameters(parameters);
    IrqlScope level(CallbackIrql());
    switch (parameters.Type) {
    case WdfRequestTypeRead:
        if (config_.EvtIoRead != nullptr) {
            config_.EvtIoRead(queue, handle, parameters.Parameters.Read.Length);
            return;
        }
        break;
    case WdfRequestTypeWrite:
        if (config_.EvtIoWrite != nullptr) {
            config_.EvtIoWrite(queue, handle, parameters.Parameters.Write.Length);
            return;
        }
        break;
    case WdfRequestTypeDeviceControl:
        if (config_.EvtIoDeviceControl != nullptr) {
            config_.EvtIoDeviceControl(queue, handle, parameters.Parameters.DeviceIoControl.OutputBufferLength,
                                       parameters.Parameters.DeviceIoControl.InputBufferLength,
                                       parameters.Parameters.DeviceIoControl.IoControlCode);
            return;
        }
        break;
    case WdfRequestTypeDeviceControlInternal:
        if (config_.EvtIoInternalDeviceControl != nullptr) {
            config_.EvtIoInternalDeviceControl(queue, handle,
                                               parameters.Parameters.DeviceIoControl.OutputBufferLength,
                                               parameters.Parameters.DeviceIoControl.InputBufferLength,
                                               parameters.Parameters.DeviceIoControl.IoControlCode);
            return;
        }
        break;
    default:
        break;
    }
    if (config_.EvtIoDefault != nullptr) {
        config_.EvtIoDefault(queue, handle);
        return;
    }
    request->FrameworkComplete(STATUS_INVALID_DEVICE_REQUEST, 0);
}

void QueueObject::DriverReleased(RequestObject* request)
{
    owned_.erase(std::remove(owned_.begin(), owned_.end(), request), owned_.end());
    CheckIdle();
    Kick();
}

void QueueObject::Unqueue(RequestObject* request)
{
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), request), waiting_.end());
    CheckIdle();
}

void QueueObject::CancelWaiting(RequestObject* request)
{
    auto it = std::find(waiting_.begin(), waiting_.end(), request);
    if (it == waiting_.end()) {
        return;
    }
    waiting_.erase(it);
    if (config_.EvtIoCanceledOnQueue == nullptr) {
        request->LeaveQueue();
        request->FrameworkComplete(STATUS_CANCELLED, 0);
        CheckIdle();
        return;
    }
    /* The driver owns it from now on and completes it in the callback. */
    request->GiveToDriver(this);
    request->NoteCancelling();
    owned_.push_back(request);
    HostCore& core = Core();
    const std::uint64_t serial = Serial();
    const std::uint64_t requestSerial = request->Serial();
    core.dispatcher.Post(
        [&core, self = this, serial, request, requestSerial] {
            if (core.objects.Find(request, requestSerial) == nullptr) {
                return;
            }
            if (core.objects.Find(self, serial) == nullptr) {
                request->FrameworkComplete(STATUS_CANCELLED, 0);
                return;
            }
            IrqlScope level(self->CallbackIrql());
            self->config_.EvtIoCanceledOnQueue(self->HandleAs<WDFQUEUE>(), request->HandleAs<WDFREQUEST>());
        },
        CallbackScope());
}

void QueueObject::CancelForFile(const void* file)
{
    std::vector<RequestObject*> matching;
    for (RequestObject* request : waiting_) {
        if (request->File() == file) {
            matching.push_back(request);
        }
    }
    for (RequestObject* request : matching) {
        CancelWaiting(request);
    }
}

NTSTATUS QueueObject::RetrieveNext(RequestObject** request)
{
    *request = nullptr;
    if (config_.DispatchType == WdfIoQueueDispatchParallel) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!dispatching_ || (powerManaged_ && !device_->InWorkingState())) {
        return STATUS_WDF_PAUSED;
    }
    if (waiting_.empty()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    RequestObject* next = waiting_.front();
    waiting_.pop_front();
    next->GiveToDriver(this);
    owned_.push_back(next);
    *request = next;
    return STATUS_SUCCESS;
}

WDF_IO_QUEUE_STATE QueueObject::State(ULONG* queued, ULONG* owned) const
{
    ULONG state = 0;
    if (accepting_) {
        state |= WdfIoQueueAcceptRequests;
    }
    const bool held = powerManaged_ && !device_->InWorkingState();
    if (dispatching_ && !held) {
        state |= WdfIoQueueDispatchRequests;
    }
    if (held) {
        state |= WdfIoQueuePnpHeld;
    }
    if (waiting_.empty()) {
        state |= WdfIoQueueNoRequests;
    }
    if (owned_.empty()) {
        state |= WdfIoQueueDriverNoRequests;
    }
    if (queued != nullptr) {
        *queued = static_cast<ULONG>(waiting_.size());
    }
    if (owned != nullptr) {
        *owned = static_cast<ULONG>(owned_.size());
    }
    return static_cast<WDF_IO_QUEUE_STATE>(state);
}

void QueueObject::Start()
{
    accepting_ = true;
    dispatching_ = true;
    Kick();
}

void QueueObject::Stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context)
{
    dispatching_ = false;
    if (callback != nullptr) {
        stopCallbacks_.push_back(StateCallback{callback, context});
    }
    CheckIdle();
}

void QueueObject::StopSynchronously()
{
    dispatching_ = false;
    AddRef();
    Core().WaitNested([this] { return owned_.empty() || !IsLive(); }, "WdfIoQueueStopSynchronously");
    Release();
}

void QueueObject::Purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context)
{
    accepting_ = false;
    dispatching_ = false;
    while (!waiting_.empty()) {
        CancelWaiting(waiting_.front());
    }
    if (callback != nullptr) {
        purgeCallbacks_.push_back(StateCallback{callback, context});
    }
    CheckIdle();
}

void QueueObject::PurgeSynchronously()
{
    Purge(nullptr, nullptr);
    AddRef();
    Core().WaitNested([this] { return Idle() || !IsLive(); }, "WdfIoQueuePurgeSynchronously");
    Release();
}

void QueueObject::CheckIdle()
{
    if (owned_.empty()) {
        for (const StateCallback& callback : stopCallbacks_) {
            PostStateCallback(callback.callback, callback.context);
        }
        stopCallbacks_.clear();
    }
    if (Idle()) {
        for (const StateCallback& callback : purgeCallbacks_) {
            PostStateCallback(callback.callback, callback.context);
        }
        purgeCallbacks_.clear();
    }
}

void QueueObject::PostStateCallback(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context)
{
    HostCore& core = Core();
    const std::uint64_t serial = Serial();
    core.dispatcher.Post(
        [&core, self = this, serial, callback, context] {
            if (core.objects.Find(self, serial) != nullptr) {
                IrqlScope level(self->CallbackIrql());
                callback(self->HandleAs<WDFQUEUE>(), context);
            }
        },
        CallbackScope());
}

void QueueObject::Dispose()
{
    accepting_ = false;
    dispatching_ = false;
    stopCallbacks_.clear();
    purgeCallbacks_.clear();
    /* Requests still waiting end with the queue; the driver never saw them. */
    while (!waiting_.empty()) {
        RequestObject* request = waiting_.front();
        waiting_.pop_front();
        request->LeaveQueue();
        request->FrameworkComplete(STATUS_CANCELLED, 0);
    }
    /* Those the driver owns stay the driver's. One nobody asked to cancel is
       one the driver forgot: its device is going, and nothing would ever
       complete it but the host's last resort. */
    for (RequestObject* request : owned_) {
        if (!request->CancelRequested()) {
            Core().Fault("WdfObjectDelete: queue %p deleted while the driver still holds request %p", Handle(),
                         request->Handle());
        }
        request->LeaveQueue();
    }
    owned_.clear();
    device_->RemoveQueue(this);
}

} // namespace platform

using namespace platform;

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                          WDFQUEUE* Queue)
{
    HostCore& core = CurrentCore();
    auto* device = Resolve<DeviceObject>(core.objects, Device, "WdfIoQueueCreate");
    if (device == nullptr || Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool powerManaged = device->IsPnp();
    if (Config->PowerManaged == WdfTrue) {
        if (!device->IsPnp()) {
            /* A control device has no power states to follow. */
            return STATUS_INVALID_PARAMETER;
        }
        powerManaged = true;
    } else if (Config->PowerManaged == WdfFalse) {
        powerManaged = false;
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<QueueObject>(core, *device, *Config, powerManaged), *device,
                                          QueueAttributes, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* queue = static_cast<QueueObject*>(created);
    if (Config->DefaultQueue) {
        status = device->SetDefaultQueue(queue);
        if (!NT_SUCCESS(status)) {
            core.objects.Delete(*queue);
            return status;
        }
    }
    device->AddQueue(queue);
    if (Queue != nullptr) {
        *Queue = queue->HandleAs<WDFQUEUE>();
    }
    return STATUS_SUCCESS;
}

WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests)
{
    auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueueGetState");
    return queue != nullptr ? queue->State(QueueRequests, DriverRequests) : static_cast<WDF_IO_QUEUE_STATE>(0);
}

VOID WdfIoQueueStart(WDFQUEUE Queue)
{
    if (auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueueStart")) {
        queue->Start();
    }
}

VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context)
{
    if (auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueueStop")) {
        queue->Stop(StopComplete, Context);
    }
}

VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue)
{
    if (auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueueStopSynchronously")) {
        queue->StopSynchronously();
    }
}

VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context)
{
    if (auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueuePurge")) {
        queue->Purge(PurgeComplete, Context);
    }
}

VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue)
{
    if (auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueuePurgeSynchronously")) {
        queue->PurgeSynchronously();
    }
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest)
{
    auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueueRetrieveNextRequest");
    if (queue == nullptr || OutRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    RequestObject* request = nullptr;
    NTSTATUS status = queue->RetrieveNext(&request);
    *OutRequest = request != nullptr ? request->HandleAs<WDFREQUEST>() : nullptr;
    return status;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    auto* queue = Resolve<QueueObject>(CurrentCore().objects, Queue, "WdfIoQueueGetDevice");
    return queue != nullptr ? queue->Device().HandleAs<WDFDEVICE>() : nullptr;
}
