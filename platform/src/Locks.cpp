/*
 * Wait locks and spin locks are real mutexes, so client threads may share
 * them with driver code. Taking a lock that the same thread already holds
 * would hang a real system; here it is reported as a fault instead.
 */
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "HostCore.h"
#include "Irql.h"
#include "Object.h"

namespace platform {

namespace {

/* What a real lock tells about its holder: enough to catch self-deadlock and
   a release by the wrong thread. */
class Ownership {
public:
    bool HeldByMe() const { return owner_.load() == std::this_thread::get_id(); }
    bool Held() const { return owner_.load() != std::thread::id(); }
    void Take() { owner_.store(std::this_thread::get_id()); }
    void Drop() { owner_.store(std::thread::id()); }

private:
    std::atomic<std::thread::id> owner_{};
};

} // namespace

class WaitLockObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::WaitLock;

    explicit WaitLockObject(HostCore& core) : Object(core, kType) {}

    NTSTATUS Acquire(PLONGLONG timeout)
    {
        HostCore& core = Core();
        const bool waits = timeout == nullptr || *timeout != 0;
        if (waits && CurrentIrql() > PASSIVE_LEVEL) {
            core.Fault("WdfWaitLockAcquire: a wait at DISPATCH_LEVEL (use a zero timeout or a spin lock)");
        }
        if (ownership_.HeldByMe()) {
            if (timeout != nullptr) {
                /* Nothing on this thread can release it before the timeout. */
                return STATUS_TIMEOUT;
            }
            core.Fault("WdfWaitLockAcquire: the lock is already held by this thread (deadlock)");
            return STATUS_UNSUCCESSFUL;
        }
        if (timeout == nullptr) {
            mutex_.lock();
        } else if (*timeout == 0) {
            if (!mutex_.try_lock()) {
                return STATUS_TIMEOUT;
            }
        } else {
            /* Negative is relative, positive an absolute system time. A year
               stands for "very long" so the deadline cannot overflow. */
            constexpr LONGLONG kLongest = 10'000'000LL * 3600 * 24 * 365;
            LONGLONG relative = *timeout < 0 ? (*timeout < -kLongest ? kLongest : -*timeout)
                                             : *timeout - core.SystemTime();
            if (!mutex_.try_lock_for(Ticks{std::clamp<LONGLONG>(relative, 0, kLongest)})) {
                return STATUS_TIMEOUT;
            }
        }
        ownership_.Take();
        return STATUS_SUCCESS;
    }

    void ReleaseLock()
    {
        if (!ownership_.HeldByMe()) {
            Core().Fault("WdfWaitLockRelease: the lock is not held by this thread");
            return;
        }
        ownership_.Drop();
        mutex_.unlock();
    }

protected:
    void Dispose() override
    {
        if (ownership_.Held()) {
            Core().Fault("WDFWAITLOCK %p deleted while held", Handle());
            if (ownership_.HeldByMe()) {
                ownership_.Drop();
                mutex_.unlock();
            }
        }
    }

private:
    std::timed_mutex mutex_;
    Ownership ownership_;
};

class SpinLockObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::SpinLock;

    explicit SpinLockObject(HostCore& core) : Object(core, kType) {}

    void Acquire()
    {
        if (ownership_.HeldByMe()) {
            Core().Fault("WdfSpinLockAcquire: the lock is already held by this thread (deadlock)");
            return;
        }
        mutex_.lock();
        ownership_.Take();
        savedIrql_ = CurrentIrql();
        CurrentIrql() = DISPATCH_LEVEL;
    }

    void ReleaseLock()
    {
        if (!ownership_.HeldByMe()) {
            Core().Fault("WdfSpinLockRelease: the lock is not held by this thread");
            return;
        }
        CurrentIrql() = savedIrql_;
        ownership_.Drop();
        mutex_.unlock();
    }

protected:
    void Dispose() override
    {
        if (ownership_.Held()) {
            Core().Fault("WDFSPINLOCK %p deleted while held", Handle());
            if (ownership_.HeldByMe()) {
                CurrentIrql() = savedIrql_;
                ownership_.Drop();
                mutex_.unlock();
            }
        }
    }

private:
    std::mutex mutex_;
    Ownership ownership_;
    KIRQL savedIrql_ = PASSIVE_LEVEL;
};

} // namespace platform

using namespace platform;

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    HostCore& core = CurrentCore();
    if (Lock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.ParentFor(LockAttributes, core.DefaultParent(), "WdfWaitLockCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<WaitLockObject>(core), *parent, LockAttributes, &created);
    if (NT_SUCCESS(status)) {
        *Lock = created->HandleAs<WDFWAITLOCK>();
    }
    return status;
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    auto* lock = Resolve<WaitLockObject>(CurrentCore().objects, Lock, "WdfWaitLockAcquire");
    return lock != nullptr ? lock->Acquire(Timeout) : STATUS_INVALID_PARAMETER;
}

VOID WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    if (auto* lock = Resolve<WaitLockObject>(CurrentCore().objects, Lock, "WdfWaitLockRelease")) {
        lock->ReleaseLock();
    }
}

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    HostCore& core = CurrentCore();
    if (SpinLock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.ParentFor(SpinLockAttributes, core.DefaultParent(), "WdfSpinLockCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<SpinLockObject>(core), *parent, SpinLockAttributes, &created);
    if (NT_SUCCESS(status)) {
        *SpinLock = created->HandleAs<WDFSPINLOCK>();
    }
    return status;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    if (auto* lock = Resolve<SpinLockObject>(CurrentCore().objects, SpinLock, "WdfSpinLockAcquire")) {
        lock->Acquire();
    }
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    if (auto* lock = Resolve<SpinLockObject>(CurrentCore().objects, SpinLock, "WdfSpinLockRelease")) {
        lock->ReleaseLock();
    }
}
