#pragma once

#include <memory>
#include <span>

#include <platform/ClientRequest.h>

#include "Object.h"

namespace platform {

/*
 * A request that a client sent. The buffers live in the ClientRequest (the
 * client's view, as the I/O manager's system buffer would); the request
 * object lives until the driver completes it, exactly once.
 */
class RequestObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Request;

    RequestObject(HostCore& core, std::shared_ptr<ClientRequest> client);

    static std::shared_ptr<ClientRequest> CreateClientRequest(HostCore& core, WDF_REQUEST_TYPE type,
                                                              ULONG ioControlCode,
                                                              std::span<const std::uint8_t> input,
                                                              std::size_t outputLength);

    void Complete(NTSTATUS status, ULONG_PTR information);
    /* Completion by the host, not the driver: STATUS_CANCELLED. */
    void Cancel(bool notifyClient);
    void SetInformation(ULONG_PTR information) { information_ = information; }
    ULONG_PTR Information() const { return information_; }
    void GetParameters(WDF_REQUEST_PARAMETERS& parameters) const;
    NTSTATUS RetrieveInputBuffer(std::size_t minimum, PVOID* buffer, size_t* length);
    NTSTATUS RetrieveOutputBuffer(std::size_t minimum, PVOID* buffer, size_t* length);
    const ClientRequest& Client() const { return *client_; }

protected:
    void Dispose() override;

private:
    void Finish(NTSTATUS status, ULONG_PTR information, bool notifyClient);

    std::shared_ptr<ClientRequest> client_;
    ULONG_PTR information_ = 0;
};

} // namespace platform
