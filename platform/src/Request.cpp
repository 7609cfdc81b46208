#include "Request.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "Device.h"
#include "HostCore.h"
#include "IoCore.h"
#include "IoTarget.h"
#include "Irql.h"
#include "Memory.h"
#include "Queue.h"

namespace platform {

namespace {

UCHAR MajorFunctionOf(WDF_REQUEST_TYPE type)
{
    switch (type) {
    case WdfRequestTypeCreate: return IRP_MJ_CREATE;
    case WdfRequestTypeRead: return IRP_MJ_READ;
    case WdfRequestTypeWrite: return IRP_MJ_WRITE;
    case WdfRequestTypeDeviceControl: return IRP_MJ_DEVICE_CONTROL;
    case WdfRequestTypeDeviceControlInternal: return IRP_MJ_INTERNAL_DEVICE_CONTROL;
    default: return IRP_MJ_CLOSE;
    }
}

void InitIrp(IRP& irp, KPROCESSOR_MODE mode)
{
    irp.Type = 6; /* IO_TYPE_IRP */
    irp.Size = sizeof(IRP);
    irp.RequestorMode = mode;
    irp.IoStatus.Status = STATUS_PENDING;
}

bool CopiesBack(WDF_REQUEST_TYPE type)
{
    return type == WdfRequestTypeRead || type == WdfRequestTypeDeviceControl ||
           type == WdfRequestTypeDeviceControlInternal;
}

} // namespace

RequestObject::RequestObject(HostCore& core, std::shared_ptr<ClientRequest> client)
    : Object(core, kType), client_(std::move(client))
{
    InitIrp(irp_, UserMode);
    irp_.MajorFunction = MajorFunctionOf(client_->type_);
    irp_.AssociatedIrp.SystemBuffer =
        !client_->input_.empty() ? client_->input_.data() : (client_->output_.empty() ? nullptr : client_->output_.data());
}

RequestObject::RequestObject(HostCore& core) : Object(core, kType)
{
    InitIrp(irp_, KernelMode);
}

std::shared_ptr<ClientRequest> RequestObject::NewClient(WDF_REQUEST_TYPE type, ULONG ioControlCode,
                                                        std::span<const std::uint8_t> input, std::size_t outputLength)
{
    auto client = std::make_shared<ClientRequest>();
    client->type_ = type;
    client->ioControlCode_ = ioControlCode;
    client->input_.assign(input.begin(), input.end());
    client->output_.assign(outputLength, 0);
    return client;
}

std::shared_ptr<ClientRequest> RequestObject::CreateClientRequest(HostCore& core, WDF_REQUEST_TYPE type,
                                                                  ULONG ioControlCode,
                                                                  std::span<const std::uint8_t> input,
                                                                  std::size_t outputLength)
{
    auto client = NewClient(type, ioControlCode, input, outputLength);
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<RequestObject>(core, client), core.objects.Root(), nullptr, &created);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    client->handle_ = created->HandleAs<WDFREQUEST>();
    core.clientRequests.push_back(static_cast<RequestObject*>(created));
    return client;
}

RequestObject* RequestObject::CreateForDevice(HostCore& core, const std::shared_ptr<ClientRequest>& client,
                                              DeviceObject& device, FileObject* file)
{
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<RequestObject>(core, client), core.objects.Root(), nullptr, &created);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    auto* request = static_cast<RequestObject*>(created);
    client->handle_ = request->HandleAs<WDFREQUEST>();
    core.clientRequests.push_back(request);
    request->device_ = &device;
    device.Track(request);
    if (file != nullptr) {
        request->file_ = file;
        file->Track(request);
    }
    return request;
}

WDF_REQUEST_TYPE RequestObject::Type() const
{
    return client_ != nullptr ? client_->type_ : formatType_;
}

std::size_t RequestObject::Length() const
{
    if (client_ == nullptr) {
        return 0;
    }
    switch (client_->type_) {
    case WdfRequestTypeRead: return client_->output_.size();
    case WdfRequestTypeWrite: return client_->input_.size();
    default: return 0;
    }
}

NTSTATUS RequestObject::Status() const
{
    return client_ != nullptr ? client_->status_ : status_;
}

void RequestObject::Complete(NTSTATUS status, ULONG_PTR information, const char* caller)
{
    HostCore& core = Core();
    if (status == STATUS_PENDING) {
        core.Fault("%s: request %p completed with STATUS_PENDING", caller, Handle());
        return;
    }
    if (client_ == nullptr) {
        /* A request the driver created and did not send (or whose completion
           routine is running): the driver is done with it. Its completion
           routine runs, once, unless it is the one calling. */
        if (sendState_ == SendState::Sent) {
            core.Fault("%s: request %p was sent to a target, which completes it", caller, Handle());
            return;
        }
        status_ = status;
        information_ = information;
        params_.IoStatus.Status = status;
        params_.IoStatus.Information = information;
        if (inRoutine_ || sendState_ == SendState::Completed) {
            return;
        }
        sendState_ = SendState::Completed;
        WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
        params_.Type = formatType_;
        params_.IoStatus.Status = status;
        params_.IoStatus.Information = information;
        if (routine_ != nullptr) {
            AddRef();
            inRoutine_ = true;
            routine_(HandleAs<WDFREQUEST>(), nullptr, &params_, routineContext_);
            inRoutine_ = false;
            Release();
        }
        return;
    }
    if (!IsLive()) {
        core.Fault("%s: request %p was already completed", caller, Handle());
        return;
    }
    if (place_ == Place::Queued) {
        core.Fault("%s: request %p is waiting in a queue; the driver does not own it", caller, Handle());
        return;
    }
    if (CopiesBack(client_->type_) && NT_SUCCESS(status) && information > client_->output_.size()) {
        /* The I/O manager copies Information bytes back: more than the
           buffer holds would overrun the client's memory. */
        core.Fault("%s: request %p reports %zu bytes for a %zu-byte output buffer", caller, Handle(),
                   static_cast<std::size_t>(information), client_->output_.size());
        information = client_->output_.size();
    }
    Finish(status, information, true);
}

void RequestObject::Cancel(bool notifyClient)
{
    Finish(STATUS_CANCELLED, 0, notifyClient);
}

void RequestObject::FrameworkComplete(NTSTATUS status, ULONG_PTR information)
{
    Finish(status, information, true);
}

void RequestObject::Finish(NTSTATUS status, ULONG_PTR information, bool notifyClient)
{
    std::shared_ptr<ClientRequest> client = client_;
    client->status_ = status;
    client->information_ = information;
    ++client->completions_;
    client->handle_ = nullptr;
    irp_.IoStatus.Status = status;
    irp_.IoStatus.Information = information;
    Core().objects.Delete(*this); /* may free this */
    if (notifyClient && client->onCompleted_) {
        client->onCompleted_(*client);
    }
}

void RequestObject::Detach()
{
    QueueObject* queue = queue_;
    const Place place = place_;
    queue_ = nullptr;
    place_ = Place::Nowhere;
    if (queue != nullptr && place == Place::Queued) {
        queue->Unqueue(this);
    } else if (queue != nullptr && place == Place::Driver) {
        queue->DriverReleased(this);
    }
    if (FileObject* file = file_) {
        file_ = nullptr;
        file->Untrack(this);
    }
    if (DeviceObject* device = device_) {
        device_ = nullptr;
        device->Untrack(this);
    }
    auto& pending = Core().clientRequests;
    pending.erase(std::remove(pending.begin(), pending.end(), this), pending.end());
}

void RequestObject::Dispose()
{
    if (client_ != nullptr) {
        Detach();
        return;
    }
    if (sendState_ == SendState::Sent) {
        /* Deleted on its way: the target is told to let it go, and its
           completion, when it comes, finds no routine to run. */
        if (lower_ != nullptr) {
            if (auto entry = LowerRequestAccess::Device(*lower_)) {
                entry->Cancel(lower_);
            }
        } else if (target_ != nullptr && Core().objects.Find(target_, targetSerial_) != nullptr) {
            target_->CancelHeld(this);
        }
    }
    ClearFormat();
}

void RequestObject::RequestCancel()
{
    cancelRequested_ = true;
    irp_.Cancel = TRUE;
    if (place_ == Place::Queued && queue_ != nullptr) {
        queue_->CancelWaiting(this);
    }
}

NTSTATUS RequestObject::ForwardTo(QueueObject* destination)
{
    HostCore& core = Core();
    if (client_ == nullptr || device_ == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (place_ != Place::Driver) {
        core.Fault("WdfRequestForwardToIoQueue: request %p is not owned by the driver", Handle());
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (&destination->Device() != device_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!destination->Accepting()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    QueueObject* from = queue_;
    queue_ = nullptr;
    place_ = Place::Nowhere;
    if (from != nullptr) {
        from->DriverReleased(this);
    }
    destination->Insert(this);
    return STATUS_SUCCESS;
}

void RequestObject::GetParameters(WDF_REQUEST_PARAMETERS& parameters) const
{
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    if (client_ == nullptr) {
        parameters.Type = formatType_;
        switch (formatType_) {
        case WdfRequestTypeRead: parameters.Parameters.Read.Length = formatOutput_.length; break;
        case WdfRequestTypeWrite: parameters.Parameters.Write.Length = formatInput_.length; break;
        case WdfRequestTypeDeviceControl:
        case WdfRequestTypeDeviceControlInternal:
            parameters.Parameters.DeviceIoControl.IoControlCode = formatCode_;
            parameters.Parameters.DeviceIoControl.InputBufferLength = formatInput_.length;
            parameters.Parameters.DeviceIoControl.OutputBufferLength = formatOutput_.length;
            break;
        default: break;
        }
        return;
    }
    parameters.Type = client_->type_;
    switch (client_->type_) {
    case WdfRequestTypeRead:
        parameters.Parameters.Read.Length = client_->output_.size();
        break;
    case WdfRequestTypeWrite:
        parameters.Parameters.Write.Length = client_->input_.size();
        break;
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal:
        parameters.Parameters.DeviceIoControl.IoControlCode = client_->ioControlCode_;
        parameters.Parameters.DeviceIoControl.InputBufferLength = client_->input_.size();
        parameters.Parameters.DeviceIoControl.OutputBufferLength = client_->output_.size();
        break;
    default:
        break;
    }
}

void RequestObject::GetCompletionParams(WDF_REQUEST_COMPLETION_PARAMS& params) const
{
    if (client_ == nullptr) {
        params = params_;
        params.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
        return;
    }
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.Type = client_->type_;
    params.IoStatus.Status = client_->status_;
    params.IoStatus.Information = client_->information_;
}

namespace {

NTSTATUS Retrieve(std::vector<std::uint8_t>& data, std::size_t minimum, PVOID* buffer, size_t* length)
{
    if (buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *buffer = nullptr;
    if (length != nullptr) {
        *length = 0;
    }
    if (data.empty() || data.size() < minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = data.data();
    if (length != nullptr) {
        *length = data.size();
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS RequestObject::RetrieveInputBuffer(std::size_t minimum, PVOID* buffer, size_t* length)
{
    if (client_ == nullptr || client_->type_ == WdfRequestTypeRead || client_->type_ == WdfRequestTypeCreate) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Retrieve(client_->input_, minimum, buffer, length);
}

NTSTATUS RequestObject::RetrieveOutputBuffer(std::size_t minimum, PVOID* buffer, size_t* length)
{
    if (client_ == nullptr || client_->type_ == WdfRequestTypeWrite || client_->type_ == WdfRequestTypeCreate) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Retrieve(client_->output_, minimum, buffer, length);
}

NTSTATUS RequestObject::RetrieveMemory(bool input, WDFMEMORY* memory)
{
    if (memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *memory = nullptr;
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status = input ? RetrieveInputBuffer(1, &buffer, &length) : RetrieveOutputBuffer(1, &buffer, &length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    MemoryObject*& view = input ? inputMemory_ : outputMemory_;
    if (view == nullptr) {
        HostCore& core = Core();
        Object* created = nullptr;
        status = core.objects.Insert(std::make_unique<MemoryObject>(core, buffer, length), *this, nullptr, &created);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        view = static_cast<MemoryObject*>(created);
    }
    *memory = view->HandleAs<WDFMEMORY>();
    return STATUS_SUCCESS;
}

/* ---- Driver-created requests ---- */

void RequestObject::ClearFormat()
{
    for (Range* range : {&formatInput_, &formatOutput_}) {
        if (range->memory != nullptr) {
            range->memory->Release();
        }
        *range = Range{};
    }
    formatType_ = WdfRequestTypeNoFormat;
    formatCode_ = 0;
}

NTSTATUS RequestObject::Format(IoTargetObject* target, WDF_REQUEST_TYPE type, ULONG ioControlCode,
                               MemoryObject* input, const WDFMEMORY_OFFSET* inputOffset, MemoryObject* output,
                               const WDFMEMORY_OFFSET* outputOffset)
{
    if (client_ != nullptr) {
        /* The host sends only what the driver created. */
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (sendState_ == SendState::Sent) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto range = [](MemoryObject* memory, const WDFMEMORY_OFFSET* offset, Range& result) {
        if (memory == nullptr) {
            return true;
        }
        std::size_t start = offset != nullptr ? offset->BufferOffset : 0;
        std::size_t length = offset != nullptr && offset->BufferLength != 0 ? offset->BufferLength
                                                                             : memory->Size() - std::min(start, memory->Size());
        if (start > memory->Size() || length > memory->Size() - start) {
            return false;
        }
        result = Range{memory, start, length};
        return true;
    };
    Range in;
    Range out;
    if (!range(input, inputOffset, in) || !range(output, outputOffset, out)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    ClearFormat();
    formatType_ = type;
    formatCode_ = ioControlCode;
    formatInput_ = in;
    formatOutput_ = out;
    /* The memory stays valid while the request may still move data into it. */
    for (Range* r : {&formatInput_, &formatOutput_}) {
        if (r->memory != nullptr) {
            r->memory->AddRef();
        }
    }
    target_ = target;
    targetSerial_ = target->Serial();
    sendState_ = SendState::Idle;
    status_ = STATUS_SUCCESS;
    information_ = 0;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
    return STATUS_SUCCESS;
}

void RequestObject::SetCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context)
{
    routine_ = routine;
    routineContext_ = context;
}

BOOLEAN RequestObject::Send(IoTargetObject* target, const WDF_REQUEST_SEND_OPTIONS* options)
{
    HostCore& core = Core();
    if (client_ != nullptr) {
        core.Fault("WdfRequestSend: the host sends only requests the driver created (WdfRequestCreate)");
        return FALSE;
    }
    if (sendState_ == SendState::Sent) {
        core.Fault("WdfRequestSend: request %p is already on its way", Handle());
        return FALSE;
    }
    if (options != nullptr && options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        status_ = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    const ULONG flags = options != nullptr ? options->Flags : 0;
    if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0) {
        status_ = STATUS_NOT_SUPPORTED;
        return FALSE;
    }
    if (formatType_ == WdfRequestTypeNoFormat) {
        status_ = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }
    const bool synchronous = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    if (synchronous && CurrentIrql() > PASSIVE_LEVEL) {
        core.Fault("WdfRequestSend: a synchronous send waits, and must not be made at DISPATCH_LEVEL");
        status_ = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    status_ = STATUS_PENDING;
    information_ = 0;
    sendState_ = SendState::Sent;
    target_ = target;
    targetSerial_ = target->Serial();
    /* The trip holds a reference: the driver may delete the request on the way. */
    AddRef();
    NTSTATUS refused = STATUS_SUCCESS;
    if (!target->Accept(this, (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0, &refused)) {
        sendState_ = SendState::Idle;
        status_ = refused;
        Release();
        return FALSE;
    }
    if (synchronous) {
        AddRef();
        std::optional<Dispatcher::TimerKey> expiry;
        if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && options->Timeout != 0) {
            const LONGLONG timeout = options->Timeout;
            const Ticks due = timeout < 0 ? core.dispatcher.Now() + Ticks{-timeout}
                                          : core.dispatcher.Now() + Ticks{std::max<LONGLONG>(0, timeout - core.SystemTime())};
            const std::uint64_t serial = Serial();
            expiry = core.dispatcher.Schedule(due, [&core, self = this, serial] {
                if (core.objects.Find(self, serial) != nullptr) {
                    self->CancelSent();
                }
            });
        }
        core.WaitNested([this] { return sendState_ != SendState::Sent; }, "WdfRequestSend");
        if (expiry) {
            core.dispatcher.Cancel(*expiry);
        }
        Release();
    }
    return TRUE;
}

void RequestObject::PassDown()
{
    HostCore& core = Core();
    LowerDeviceEntry* entry = target_ != nullptr ? target_->Lower() : nullptr;
    if (entry == nullptr) {
        OnLowerCompleted(STATUS_INVALID_DEVICE_STATE, 0);
        return;
    }
    IoMajor major = IoMajor::DeviceControl;
    switch (formatType_) {
    case WdfRequestTypeRead: major = IoMajor::Read; break;
    case WdfRequestTypeWrite: major = IoMajor::Write; break;
    case WdfRequestTypeDeviceControlInternal: major = IoMajor::InternalDeviceControl; break;
    default: break;
    }
    std::span<const std::uint8_t> input;
    if (formatInput_.memory != nullptr && formatType_ != WdfRequestTypeRead) {
        input = std::span<const std::uint8_t>(
            static_cast<const std::uint8_t*>(formatInput_.memory->Buffer()) + formatInput_.offset, formatInput_.length);
    }
    auto lower = std::make_shared<LowerRequest>();
    LowerRequestAccess::Prepare(*lower, core, major, formatCode_, input,
                                formatType_ != WdfRequestTypeWrite ? formatOutput_.length : 0);
    LowerRequestAccess::OnCompleted(*lower, [this](LowerRequest&, NTSTATUS status, ULONG_PTR information) {
        OnLowerCompleted(status, information);
    });
    lower_ = lower;
    entry->Start(lower);
}

void RequestObject::FinishUnsent(NTSTATUS status)
{
    OnLowerCompleted(status, 0);
}

void RequestObject::OnLowerCompleted(NTSTATUS status, ULONG_PTR information)
{
    HostCore& core = Core();
    LowerRequestPtr lower = std::move(lower_);
    lower_.reset();
    IoTargetObject* target = target_ != nullptr && core.objects.Find(target_, targetSerial_) != nullptr ? target_ : nullptr;
    if (target != nullptr) {
        target->Finished(this);
    }
    if (lower != nullptr && formatOutput_.memory != nullptr && formatType_ != WdfRequestTypeWrite) {
        const std::vector<std::uint8_t>& output = LowerRequestAccess::Output(*lower);
        const std::size_t count =
            std::min({static_cast<std::size_t>(information), output.size(), formatOutput_.length});
        std::memcpy(static_cast<std::uint8_t*>(formatOutput_.memory->Buffer()) + formatOutput_.offset, output.data(),
                    count);
    }
    status_ = status;
    information_ = information;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
    params_.Type = formatType_;
    params_.IoStatus.Status = status;
    params_.IoStatus.Information = information;
    auto handleOf = [](const Range& range) {
        return range.memory != nullptr ? range.memory->HandleAs<WDFMEMORY>() : nullptr;
    };
    switch (formatType_) {
    case WdfRequestTypeRead:
        params_.Parameters.Read.Buffer = handleOf(formatOutput_);
        params_.Parameters.Read.Length = information;
        params_.Parameters.Read.Offset = formatOutput_.offset;
        break;
    case WdfRequestTypeWrite:
        params_.Parameters.Write.Buffer = handleOf(formatInput_);
        params_.Parameters.Write.Length = information;
        params_.Parameters.Write.Offset = formatInput_.offset;
        break;
    default:
        params_.Parameters.Ioctl.IoControlCode = formatCode_;
        params_.Parameters.Ioctl.Input.Buffer = handleOf(formatInput_);
        params_.Parameters.Ioctl.Input.Offset = formatInput_.offset;
        params_.Parameters.Ioctl.Output.Buffer = handleOf(formatOutput_);
        params_.Parameters.Ioctl.Output.Offset = formatOutput_.offset;
        params_.Parameters.Ioctl.Output.Length = information;
        break;
    }
    sendState_ = SendState::Completed;
    if (IsLive() && routine_ != nullptr) {
        inRoutine_ = true;
        routine_(HandleAs<WDFREQUEST>(), target != nullptr ? target->HandleAs<WDFIOTARGET>() : nullptr, &params_,
                 routineContext_);
        inRoutine_ = false;
    }
    Release(); /* the trip's reference; may free this */
}

BOOLEAN RequestObject::CancelSent()
{
    if (client_ != nullptr || sendState_ != SendState::Sent) {
        return FALSE;
    }
    if (lower_ != nullptr) {
        if (auto entry = LowerRequestAccess::Device(*lower_)) {
            LowerRequestPtr lower = lower_;
            entry->Cancel(lower);
            return TRUE;
        }
        return FALSE;
    }
    if (target_ != nullptr && Core().objects.Find(target_, targetSerial_) != nullptr) {
        return target_->CancelHeld(this) ? TRUE : FALSE;
    }
    return FALSE;
}

NTSTATUS RequestObject::Reuse(NTSTATUS status)
{
    if (client_ != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (sendState_ == SendState::Sent) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    ClearFormat();
    routine_ = nullptr;
    routineContext_ = nullptr;
    status_ = status;
    information_ = 0;
    sendState_ = SendState::Idle;
    target_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
    return STATUS_SUCCESS;
}

} // namespace platform

using namespace platform;

namespace {

RequestObject* ResolveRequest(WDFREQUEST Request, const char* caller)
{
    return Resolve<RequestObject>(CurrentCore().objects, Request, caller);
}

} // namespace

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    if (auto* request = ResolveRequest(Request, "WdfRequestComplete")) {
        request->Complete(Status, request->Information(), "WdfRequestComplete");
    }
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    if (auto* request = ResolveRequest(Request, "WdfRequestCompleteWithInformation")) {
        request->Complete(Status, Information, "WdfRequestCompleteWithInformation");
    }
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    if (auto* request = ResolveRequest(Request, "WdfRequestSetInformation")) {
        request->SetInformation(Information);
    }
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetInformation");
    return request != nullptr ? request->Information() : 0;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetStatus");
    return request != nullptr ? request->Status() : STATUS_INVALID_PARAMETER;
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetParameters");
    if (request != nullptr && Parameters != nullptr) {
        request->GetParameters(*Parameters);
    }
}

VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetCompletionParams");
    if (request != nullptr && Params != nullptr) {
        request->GetCompletionParams(*Params);
    }
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length)
{
    auto* request = ResolveRequest(Request, "WdfRequestRetrieveInputBuffer");
    return request != nullptr ? request->RetrieveInputBuffer(MinimumRequiredLength, Buffer, Length)
                              : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length)
{
    auto* request = ResolveRequest(Request, "WdfRequestRetrieveOutputBuffer");
    return request != nullptr ? request->RetrieveOutputBuffer(MinimumRequiredSize, Buffer, Length)
                              : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    auto* request = ResolveRequest(Request, "WdfRequestRetrieveInputMemory");
    return request != nullptr ? request->RetrieveMemory(true, Memory) : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    auto* request = ResolveRequest(Request, "WdfRequestRetrieveOutputMemory");
    return request != nullptr ? request->RetrieveMemory(false, Memory) : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST* Request)
{
    HostCore& core = CurrentCore();
    if (Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    if (IoTarget != nullptr && Resolve<IoTargetObject>(core.objects, IoTarget, "WdfRequestCreate") == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.ParentFor(RequestAttributes, core.DefaultParent(), "WdfRequestCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<RequestObject>(core), *parent, RequestAttributes, &created);
    if (NT_SUCCESS(status)) {
        *Request = created->HandleAs<WDFREQUEST>();
    }
    return status;
}

NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams)
{
    auto* request = ResolveRequest(Request, "WdfRequestReuse");
    if (request == nullptr || ReuseParams == nullptr || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((ReuseParams->Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    return request->Reuse(ReuseParams->Status);
}

VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext)
{
    if (auto* request = ResolveRequest(Request, "WdfRequestSetCompletionRoutine")) {
        request->SetCompletionRoutine(CompletionRoutine, CompletionContext);
    }
}

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options)
{
    HostCore& core = CurrentCore();
    auto* request = ResolveRequest(Request, "WdfRequestSend");
    auto* target = Resolve<IoTargetObject>(core.objects, Target, "WdfRequestSend");
    if (request == nullptr || target == nullptr) {
        return FALSE;
    }
    return request->Send(target, Options);
}

BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestCancelSentRequest");
    return request != nullptr ? request->CancelSent() : FALSE;
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    HostCore& core = CurrentCore();
    auto* request = ResolveRequest(Request, "WdfRequestForwardToIoQueue");
    auto* queue = Resolve<QueueObject>(core.objects, DestinationQueue, "WdfRequestForwardToIoQueue");
    if (request == nullptr || queue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return request->ForwardTo(queue);
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetIoQueue");
    return request != nullptr && request->Queue() != nullptr ? request->Queue()->HandleAs<WDFQUEUE>() : nullptr;
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetFileObject");
    return request != nullptr && request->File() != nullptr ? request->File()->HandleAs<WDFFILEOBJECT>() : nullptr;
}

BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestIsCanceled");
    return request != nullptr && request->CancelRequested() ? TRUE : FALSE;
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestGetRequestorMode");
    return request != nullptr ? request->Irp()->RequestorMode : static_cast<KPROCESSOR_MODE>(KernelMode);
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request)
{
    auto* request = ResolveRequest(Request, "WdfRequestWdmGetIrp");
    return request != nullptr ? request->Irp() : nullptr;
}
