#pragma once

#include <memory>
#include <span>

#include <platform/ClientRequest.h>
#include <platform/LowerDevice.h>

#include "Object.h"

namespace platform {

class DeviceObject;
class FileObject;
class QueueObject;
class IoTargetObject;
class MemoryObject;

/*
 * A request, in one of two kinds:
 *  - from a client: its buffers live in the ClientRequest (the client's view,
 *    as the I/O manager's system buffer would); the object lives until the
 *    driver completes it, exactly once. It may wait in a queue, or be owned
 *    by the driver after a queue handed it out.
 *  - created by the driver (WdfRequestCreate): formatted for a target, sent,
 *    completed by the target through its completion routine, and formatted
 *    and sent again as often as the driver likes; deleted by the driver.
 */
class RequestObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Request;

    RequestObject(HostCore& core, std::shared_ptr<ClientRequest> client);
    explicit RequestObject(HostCore& core);

    static std::shared_ptr<ClientRequest> CreateClientRequest(HostCore& core, WDF_REQUEST_TYPE type,
                                                              ULONG ioControlCode,
                                                              std::span<const std::uint8_t> input,
                                                              std::size_t outputLength);
    /* The client's side of a new request, not yet handed to anyone. */
    static std::shared_ptr<ClientRequest> NewClient(WDF_REQUEST_TYPE type, ULONG ioControlCode,
                                                    std::span<const std::uint8_t> input, std::size_t outputLength);
    /* A client request of the I/O manager, for a device and (except the
       create) a file; the caller dispatches it. */
    static RequestObject* CreateForDevice(HostCore& core, const std::shared_ptr<ClientRequest>& client,
                                          DeviceObject& device, FileObject* file);

    bool FromClient() const { return client_ != nullptr; }

    void Complete(NTSTATUS status, ULONG_PTR information, const char* caller);
    /* Completion by the host, not the driver: STATUS_CANCELLED. */
    void Cancel(bool notifyClient);
    /* Completion by the framework on the driver's behalf (no queue takes it, zero length, ...). */
    void FrameworkComplete(NTSTATUS status, ULONG_PTR information);
    void SetInformation(ULONG_PTR information) { information_ = information; }
    ULONG_PTR Information() const { return information_; }
    NTSTATUS Status() const;
    void GetParameters(WDF_REQUEST_PARAMETERS& parameters) const;
    void GetCompletionParams(WDF_REQUEST_COMPLETION_PARAMS& params) const;
    NTSTATUS RetrieveInputBuffer(std::size_t minimum, PVOID* buffer, size_t* length);
    NTSTATUS RetrieveOutputBuffer(std::size_t minimum, PVOID* buffer, size_t* length);
    NTSTATUS RetrieveMemory(bool input, WDFMEMORY* memory);
    const ClientRequest& Client() const { return *client_; }
    PIRP Irp() { return &irp_; }

    /* ---- Queues (client requests) ---- */
    enum class Place { Nowhere, Queued, Driver };
    Place GetPlace() const { return place_; }
    QueueObject* Queue() const { return queue_; }
    DeviceObject* Device() const { return device_; }
    FileObject* File() const { return file_; }
    WDF_REQUEST_TYPE Type() const;
    std::size_t Length() const;
    void EnterQueue(QueueObject* queue) { queue_ = queue; place_ = Place::Queued; }
    void GiveToDriver(QueueObject* queue) { queue_ = queue; place_ = Place::Driver; }
    /* The queue it was in or came from is going: it no longer counts there. */
    void LeaveQueue() { queue_ = nullptr; place_ = Place::Nowhere; }
    /* Its file object is going. */
    void ForgetFile() { file_ = nullptr; }
    bool CancelRequested() const { return cancelRequested_; }
    /* A queue hands it to its cancel callback: it is on its way out, whoever asked. */
    void NoteCancelling() { cancelRequested_ = true; }
    /* The client asked for the request to end. */
    void RequestCancel();
    NTSTATUS ForwardTo(QueueObject* destination);

    /* ---- Sending (driver-created requests) ---- */
    NTSTATUS Format(IoTargetObject* target, WDF_REQUEST_TYPE type, ULONG ioControlCode, MemoryObject* input,
                    const WDFMEMORY_OFFSET* inputOffset, MemoryObject* output, const WDFMEMORY_OFFSET* outputOffset);
    void SetCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context);
    BOOLEAN Send(IoTargetObject* target, const WDF_REQUEST_SEND_OPTIONS* options);
    BOOLEAN CancelSent();
    NTSTATUS Reuse(NTSTATUS status);
    bool Outstanding() const { return sendState_ == SendState::Sent; }
    /* The target lets the request go down (at once, or when it is started). */
    void PassDown();
    /* The target ends a request that never reached its device. */
    void FinishUnsent(NTSTATUS status);

protected:
    void Dispose() override;

private:
    void Finish(NTSTATUS status, ULONG_PTR information, bool notifyClient);
    void Detach();
    void OnLowerCompleted(NTSTATUS status, ULONG_PTR information);
    void ClearFormat();

    /* Client requests. */
    std::shared_ptr<ClientRequest> client_;
    ULONG_PTR information_ = 0;
    DeviceObject* device_ = nullptr;
    FileObject* file_ = nullptr;
    QueueObject* queue_ = nullptr;
    Place place_ = Place::Nowhere;
    bool cancelRequested_ = false;
    IRP irp_{};
    MemoryObject* inputMemory_ = nullptr;
    MemoryObject* outputMemory_ = nullptr;

    /* Driver-created requests. */
    enum class SendState { Idle, Sent, Completed };
    SendState sendState_ = SendState::Idle;
    NTSTATUS status_ = STATUS_SUCCESS;
    WDF_REQUEST_TYPE formatType_ = WdfRequestTypeNoFormat;
    ULONG formatCode_ = 0;
    struct Range {
        MemoryObject* memory = nullptr;
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    Range formatInput_;
    Range formatOutput_;
    IoTargetObject* target_ = nullptr;
    std::uint64_t targetSerial_ = 0;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine_ = nullptr;
    WDFCONTEXT routineContext_ = nullptr;
    bool inRoutine_ = false;
    WDF_REQUEST_COMPLETION_PARAMS params_{};
    LowerRequestPtr lower_;
};

} // namespace platform
