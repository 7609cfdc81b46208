#pragma once

#include <deque>
#include <functional>
#include <vector>

#include <platform/Dispatcher.h>

#include "Object.h"

namespace platform {

class DeviceObject;
class RequestObject;

/*
 * An I/O queue. Requests wait in arrival order; a sequential queue hands the
 * driver the next one only when the driver no longer owns the one before
 * (completed or forwarded), a parallel queue hands out all, a manual queue
 * none (the driver retrieves them). Handing out always goes through the
 * dispatcher under the queue's synchronisation scope, so a callback never
 * runs inside another callback of the same scope.
 */
class QueueObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Queue;

    QueueObject(HostCore& core, DeviceObject& device, const WDF_IO_QUEUE_CONFIG& config, bool powerManaged);

    DeviceObject& Device() const { return *device_; }
    const WDF_IO_QUEUE_CONFIG& Config() const { return config_; }
    bool PowerManaged() const { return powerManaged_; }
    /* Whether a callback exists for requests of this type. */
    bool Takes(WDF_REQUEST_TYPE type) const;
    bool Accepting() const { return accepting_; }

    /* A request arrives (from the device or forwarded); fails it when the queue does not accept. */
    void Insert(RequestObject* request);
    /* The driver no longer owns request (completed, forwarded, gone). */
    void DriverReleased(RequestObject* request);
    /* The request is gone while it waited here. */
    void Unqueue(RequestObject* request);
    /* The client asked for a waiting request to end. */
    void CancelWaiting(RequestObject* request);

    NTSTATUS RetrieveNext(RequestObject** request);
    WDF_IO_QUEUE_STATE State(ULONG* queued, ULONG* owned) const;
    void Start();
    void Stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    void StopSynchronously();
    void Purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    void PurgeSynchronously();
    /* Cancels the waiting requests that came through file (its cleanup). */
    void CancelForFile(const void* file);

    /* Something changed that may let requests be handed out. */
    void Kick();

protected:
    void Dispose() override;
    SyncScope* OwnScope() override;

private:
    bool CanDispatch() const;
    void DispatchOne();
    void Deliver(RequestObject* request);
    void DeliverCanceled(RequestObject* request);
    bool Idle() const { return waiting_.empty() && owned_.empty(); }
    void CheckIdle();
    void PostStateCallback(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    SyncScope* CallbackScope() { return OwnScope(); }

    DeviceObject* device_;
    WDF_IO_QUEUE_CONFIG config_;
    bool powerManaged_;
    bool accepting_ = true;
    bool dispatching_ = true;
    bool dispatchPosted_ = false;
    std::deque<RequestObject*> waiting_;
    std::vector<RequestObject*> owned_;
    struct StateCallback {
        PFN_WDF_IO_QUEUE_STATE callback;
        WDFCONTEXT context;
    };
    /* Stop: once the driver owns none; purge: once none waits either. */
    std::vector<StateCallback> stopCallbacks_;
    std::vector<StateCallback> purgeCallbacks_;
    SyncScope scope_;
};

} // namespace platform
