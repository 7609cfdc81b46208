#include "Request.h"

#include <algorithm>

#include "HostCore.h"

namespace platform {

RequestObject::RequestObject(HostCore& core, std::shared_ptr<ClientRequest> client)
    : Object(core, kType), client_(std::move(client))
{
}

std::shared_ptr<ClientRequest> RequestObject::CreateClientRequest(HostCore& core, WDF_REQUEST_TYPE type,
                                                                  ULONG ioControlCode,
                                                                  std::span<const std::uint8_t> input,
                                                                  std::size_t outputLength)
{
    auto client = std::make_shared<ClientRequest>();
    client->type_ = type;
    client->ioControlCode_ = ioControlCode;
    client->input_.assign(input.begin(), input.end());
    client->output_.assign(outputLength, 0);
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

void RequestObject::Complete(NTSTATUS status, ULONG_PTR information)
{
    HostCore& core = Core();
    if (!IsLive()) {
        core.Fault("WdfRequestComplete: request %p was already completed", Handle());
        return;
    }
    if (status == STATUS_PENDING) {
        core.Fault("WdfRequestComplete: request %p completed with STATUS_PENDING", Handle());
        return;
    }
    const bool copiesBack = client_->type_ == WdfRequestTypeRead || client_->type_ == WdfRequestTypeDeviceControl ||
                            client_->type_ == WdfRequestTypeDeviceControlInternal;
    if (copiesBack && NT_SUCCESS(status) && information > client_->output_.size()) {
        /* The I/O manager copies Information bytes back: more than the
           buffer holds would overrun the client's memory. */
        core.Fault("WdfRequestComplete: request %p reports %zu bytes for a %zu-byte output buffer", Handle(),
                   static_cast<std::size_t>(information), client_->output_.size());
        information = client_->output_.size();
    }
    Finish(status, information, true);
}

void RequestObject::Cancel(bool notifyClient)
{
    Finish(STATUS_CANCELLED, 0, notifyClient);
}

void RequestObject::Finish(NTSTATUS status, ULONG_PTR information, bool notifyClient)
{
    std::shared_ptr<ClientRequest> client = client_;
    client->status_ = status;
    client->information_ = information;
    ++client->completions_;
    client->handle_ = nullptr;
    Core().objects.Delete(*this); /* may free this */
    if (notifyClient && client->onCompleted_) {
        client->onCompleted_(*client);
    }
}

void RequestObject::Dispose()
{
    auto& pending = Core().clientRequests;
    pending.erase(std::remove(pending.begin(), pending.end(), this), pending.end());
}

void RequestObject::GetParameters(WDF_REQUEST_PARAMETERS& parameters) const
{
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
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
    if (data.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (data.size() < minimum) {
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
    if (client_->type_ == WdfRequestTypeRead) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Retrieve(client_->input_, minimum, buffer, length);
}

NTSTATUS RequestObject::RetrieveOutputBuffer(std::size_t minimum, PVOID* buffer, size_t* length)
{
    if (client_->type_ == WdfRequestTypeWrite) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Retrieve(client_->output_, minimum, buffer, length);
}

} // namespace platform

using namespace platform;

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    if (auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestComplete")) {
        request->Complete(Status, request->Information());
    }
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    if (auto* request =
            Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestCompleteWithInformation")) {
        request->Complete(Status, Information);
    }
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    if (auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestSetInformation")) {
        request->SetInformation(Information);
    }
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestGetInformation");
    return request != nullptr ? request->Information() : 0;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestGetStatus");
    return request != nullptr ? request->Client().Status() : STATUS_INVALID_PARAMETER;
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestGetParameters");
    if (request != nullptr && Parameters != nullptr) {
        request->GetParameters(*Parameters);
    }
}

VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestGetCompletionParams");
    if (request == nullptr || Params == nullptr) {
        return;
    }
    WDF_REQUEST_COMPLETION_PARAMS_INIT(Params);
    Params->Type = request->Client().Type();
    Params->IoStatus.Status = request->Client().Status();
    Params->IoStatus.Information = request->Client().Information();
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length)
{
    auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestRetrieveInputBuffer");
    return request != nullptr ? request->RetrieveInputBuffer(MinimumRequiredLength, Buffer, Length)
                              : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length)
{
    auto* request = Resolve<RequestObject>(CurrentCore().objects, Request, "WdfRequestRetrieveOutputBuffer");
    return request != nullptr ? request->RetrieveOutputBuffer(MinimumRequiredSize, Buffer, Length)
                              : STATUS_INVALID_PARAMETER;
}

