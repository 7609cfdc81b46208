#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "Object.h"

namespace platform {

class DeviceObject;
class LowerDeviceEntry;
class RequestObject;

class IoTargetObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::IoTarget;

    IoTargetObject(HostCore& core, DeviceObject& device);

    DeviceObject* Device() const { return device_; }
    WDF_IO_TARGET_STATE State() const { return state_; }
    LowerDeviceEntry* Lower() const { return lower_.get(); }

    NTSTATUS Open(const WDF_IO_TARGET_OPEN_PARAMS& params);
    void Close();
    NTSTATUS Start();
    void Stop(WDF_IO_TARGET_SENT_IO_ACTION action);

    /* A request is on its way: false (and status) when the target refuses it. */
    bool Accept(RequestObject* request, bool ignoreState, NTSTATUS* status);
    void Sent(RequestObject* request) { sent_.push_back(request); }
    void Finished(RequestObject* request);
    /* A request waiting in the stopped target is cancelled. */
    bool CancelHeld(RequestObject* request);

    /* The lower device went away; called on the dispatcher after it reported so. */
    void RemoveComplete(std::uint64_t openGeneration);
    std::uint64_t OpenGeneration() const { return openGeneration_; }

protected:
    void Dispose() override;

private:
    void CancelSent();
    void WaitSent(const char* caller);
    void ReleaseHeld(NTSTATUS status);
    void Disconnect();

    DeviceObject* device_;
    WDF_IO_TARGET_STATE state_ = WdfIoTargetClosed;
    std::shared_ptr<LowerDeviceEntry> lower_;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE removeComplete_ = nullptr;
    std::uint64_t openGeneration_ = 0;
    std::vector<RequestObject*> sent_;
    std::deque<RequestObject*> held_;
};

} // namespace platform
