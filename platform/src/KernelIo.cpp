/*
 * Kernel event objects, handles and references, and the synchronous
 * device-control path (IoBuildDeviceIoControlRequest, IofCallDriver).
 */
#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

#include "HostCore.h"
#include "IoCore.h"
#include "Irql.h"

struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE eventObjectType{"Event"};
POBJECT_TYPE eventObjectTypePointer = &eventObjectType;
} // namespace

POBJECT_TYPE* ExEventObjectType = &eventObjectTypePointer;

using namespace platform;

namespace {

detail::ClientEventState* ClientStateOf(PRKEVENT event)
{
    return static_cast<detail::ClientEventState*>(event->Header.WaitListHead.Flink);
}

} // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::memset(Event, 0, sizeof(KEVENT));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait)
{
    HostCore& core = CurrentCore();
    if (Wait) {
        core.Fault("KeSetEvent: Wait=TRUE is not supported");
    }
    const LONG previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    if (detail::ClientEventState* client = ClientStateOf(Event)) {
        client->shared->Publish([] {});
    }
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

LONG KeResetEvent(PRKEVENT Event)
{
    return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    HostCore& core = CurrentCore();
    auto* event = static_cast<PRKEVENT>(Object);
    if (event == nullptr) {
        core.Fault("KeWaitForSingleObject: NULL object");
        return STATUS_INVALID_PARAMETER;
    }
    auto satisfied = [event] {
        if (event->Header.Type == SynchronizationEvent) {
            LONG expected = 1;
            return __atomic_compare_exchange_n(&event->Header.SignalState, &expected, 0, false, __ATOMIC_SEQ_CST,
                                               __ATOMIC_SEQ_CST);
        }
        return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST) != 0;
    };
    if (satisfied()) {
        return STATUS_SUCCESS;
    }
    if (Timeout != nullptr && Timeout->QuadPart == 0) {
        return STATUS_TIMEOUT;
    }
    if (CurrentIrql() > PASSIVE_LEVEL) {
        core.Fault("KeWaitForSingleObject: waits, and must not be called at DISPATCH_LEVEL");
        return STATUS_TIMEOUT;
    }
    std::optional<Ticks> deadline;
    std::optional<Dispatcher::TimerKey> alarm;
    if (Timeout != nullptr) {
        const LONGLONG value = Timeout->QuadPart;
        const Ticks now = core.dispatcher.Now();
        const LONGLONG relative = value < 0 ? (value == LLONG_MIN ? LLONG_MAX : -value)
                                            : std::max<LONGLONG>(0, value - core.SystemTime());
        deadline = now.count() > LLONG_MAX - relative ? Ticks{LLONG_MAX} : now + Ticks{relative};
        /* Something must be due then, or a virtual clock would never get there. */
        alarm = core.dispatcher.Schedule(*deadline, [] {});
    }
    bool signalled = false;
    const bool ended = core.WaitNested(
        [&] {
            signalled = satisfied();
            return signalled || (deadline && core.dispatcher.Now() >= *deadline);
        },
        "KeWaitForSingleObject");
    if (alarm) {
        core.dispatcher.Cancel(*alarm);
    }
    return ended && signalled ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType, KPROCESSOR_MODE,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    HostCore& core = CurrentCore();
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(Handle));
    auto& shared = *core.io->manager.Shared();
    std::lock_guard lock(shared.mutex);
    auto found = shared.handles.find(value);
    if (found == shared.handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    /* Every handle a client can hand over is an event's. */
    if (ObjectType != nullptr && ObjectType != *ExEventObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto& held = shared.references[&found->second->event];
    held.first = found->second;
    ++held.second;
    *Object = &found->second->event;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = EVENT_ALL_ACCESS;
    }
    return STATUS_SUCCESS;
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    HostCore& core = CurrentCore();
    auto& shared = *core.io->manager.Shared();
    std::lock_guard lock(shared.mutex);
    auto found = shared.references.find(Object);
    if (found == shared.references.end()) {
        core.Fault("ObfReferenceObject: %p is not an object the driver holds a reference to", Object);
        return 0;
    }
    return ++found->second.second;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    HostCore& core = CurrentCore();
    auto& shared = *core.io->manager.Shared();
    std::shared_ptr<detail::ClientEventState> last;
    std::unique_lock lock(shared.mutex);
    auto found = shared.references.find(Object);
    if (found == shared.references.end()) {
        lock.unlock();
        core.Fault("ObfDereferenceObject: %p is not an object the driver holds a reference to "
                   "(released twice?)",
                   Object);
        return 0;
    }
    const long remaining = --found->second.second;
    if (remaining == 0) {
        /* Freed outside the lock: the event may die with it. */
        last = std::move(found->second.first);
        shared.references.erase(found);
    }
    lock.unlock();
    return remaining;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    HostCore& core = CurrentCore();
    if (LowerDeviceEntry::FromWdm(DeviceObject) == nullptr) {
        core.Fault("IoBuildDeviceIoControlRequest: %p is not the device object of a lower device",
                   static_cast<void*>(DeviceObject));
        return nullptr;
    }
    if ((InputBuffer == nullptr && InputBufferLength != 0) || (OutputBuffer == nullptr && OutputBufferLength != 0)) {
        return nullptr;
    }
    auto block = std::make_unique<IrpBlock>();
    block->ioControlCode = IoControlCode;
    block->internal = InternalDeviceIoControl != FALSE;
    if (InputBufferLength != 0) {
        auto* start = static_cast<const std::uint8_t*>(InputBuffer);
        block->input.assign(start, start + InputBufferLength);
    }
    block->callerOutput = OutputBuffer;
    block->callerOutputLength = OutputBufferLength;
    IRP& irp = block->irp;
    irp.Type = 6; /* IO_TYPE_IRP */
    irp.Size = sizeof(IRP);
    irp.RequestorMode = KernelMode;
    irp.UserEvent = Event;
    irp.UserIosb = IoStatusBlock;
    irp.UserBuffer = OutputBuffer;
    irp.AssociatedIrp.SystemBuffer = block->input.empty() ? nullptr : block->input.data();
    irp.IoStatus.Status = STATUS_PENDING;
    irp.MajorFunction = block->internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    PIRP result = &block->irp;
    core.io->irps.emplace(result, std::move(block));
    return result;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HostCore& core = CurrentCore();
    IoCore& io = *core.io;
    auto found = io.irps.find(Irp);
    if (found == io.irps.end()) {
        core.Fault("IofCallDriver: %p is not an IRP the host built (or it has completed already)",
                   static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    IrpBlock& block = *found->second;
    if (block.sentTo != nullptr) {
        core.Fault("IofCallDriver: IRP %p was passed down already", static_cast<void*>(Irp));
        return STATUS_INVALID_PARAMETER;
    }
    LowerDeviceEntry* entry = LowerDeviceEntry::FromWdm(DeviceObject);
    if (entry == nullptr) {
        core.Fault("IofCallDriver: %p is not the device object of a lower device", static_cast<void*>(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    block.sentTo = entry;
    auto request = std::make_shared<LowerRequest>();
    LowerRequestAccess::Prepare(*request, core, block.internal ? IoMajor::InternalDeviceControl : IoMajor::DeviceControl,
                                block.ioControlCode, block.input, block.callerOutputLength);
    /* Completion may come inside the call, or later; either way the IRP ends
       the same: output copied back, status block filled, event set, IRP freed. */
    auto finished = std::make_shared<std::optional<NTSTATUS>>();
    LowerRequestAccess::OnCompleted(*request, [&core, Irp, finished](LowerRequest& completed, NTSTATUS status,
                                                                     ULONG_PTR information) {
        IoCore& current = *core.io;
        auto it = current.irps.find(Irp);
        if (it == current.irps.end()) {
            return;
        }
        std::unique_ptr<IrpBlock> done = std::move(it->second);
        current.irps.erase(it);
        if (done->callerOutput != nullptr && NT_SUCCESS(status)) {
            std::memcpy(done->callerOutput, completed.Output().data(),
                        std::min<std::size_t>(information, done->callerOutputLength));
        }
        done->irp.IoStatus.Status = status;
        done->irp.IoStatus.Information = information;
        if (done->irp.UserIosb != nullptr) {
            done->irp.UserIosb->Status = status;
            done->irp.UserIosb->Information = information;
        }
        *finished = status;
        if (done->irp.UserEvent != nullptr) {
            KeSetEvent(done->irp.UserEvent, IO_NO_INCREMENT, FALSE);
        }
    });
    entry->Start(request);
    if (finished->has_value()) {
        return **finished;
    }
    Irp->PendingReturned = TRUE;
    return STATUS_PENDING;
}
