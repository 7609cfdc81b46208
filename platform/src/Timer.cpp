#include <algorithm>
#include <climits>
#include <optional>

#include "HostCore.h"
#include "Irql.h"
#include "Object.h"

namespace platform {

namespace {

Ticks SaturatingAdd(Ticks base, LONGLONG delta)
{
    if (delta > 0 && base.count() > LLONG_MAX - delta) {
        return Ticks{LLONG_MAX};
    }
    return base + Ticks{delta};
}

/*
 * The next multiple of period on the dispatcher's clock, where a periodic
 * timer starts when the host shares timer phases: the first expiry comes up
 * to one period late, never early, and every later one exactly a period
 * after the one before.
 */
Ticks AlignedUp(Ticks due, Ticks period)
{
    const std::int64_t remainder = due.count() % period.count();
    return remainder == 0 ? due : SaturatingAdd(due, period.count() - remainder);
}

bool SharesPhase(const HostCore& core)
{
    return core.options.sharedTimerPhase.value_or(core.dispatcher.GetClock() == Clock::Real);
}

} // namespace

/*
 * A timer expires on the dispatcher's clock and then queues its callback, as
 * a kernel timer queues its DPC: a callback that is still queued when the
 * next period expires is not queued twice. Start and Stop both discard an
 * expiry whose callback has not started yet, so that after WdfTimerStop no
 * callback begins until the timer is started again.
 */
class TimerObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Timer;

    TimerObject(HostCore& core, const WDF_TIMER_CONFIG& config)
        : Object(core, kType),
          callback_(config.EvtTimerFunc),
          period_(std::chrono::milliseconds(config.Period)),
          automaticSerialization_(config.AutomaticSerialization != FALSE)
    {
    }

    BOOLEAN Start(LONGLONG dueTime)
    {
        if (!IsLive()) {
            return FALSE;
        }
        const bool wasArmed = Disarm();
        HostCore& core = Core();
        const Ticks now = core.dispatcher.Now();
        Ticks due = now;
        if (dueTime < 0) {
            due = SaturatingAdd(now, dueTime == LLONG_MIN ? LLONG_MAX : -dueTime);
        } else if (dueTime > 0) {
            /* Absolute system time; one already past expires at once. */
            due = SaturatingAdd(now, std::max<LONGLONG>(0, dueTime - core.SystemTime()));
        }
        if (period_.count() > 0 && SharesPhase(core)) {
            due = AlignedUp(due, period_);
        }
        Arm(due);
        return wasArmed ? TRUE : FALSE;
    }

    BOOLEAN Stop(BOOLEAN wait)
    {
        const bool wasArmed = Disarm();
        if (wait) {
            if (CurrentIrql() > PASSIVE_LEVEL) {
                Core().Fault("WdfTimerStop: Wait=TRUE must not be used at DISPATCH_LEVEL");
            } else if (running_ > 0) {
                /* One thread runs every callback: the callback we would wait
                   for is below us on this very stack. */
                Core().Fault("WdfTimerStop: Wait=TRUE while the timer's own callback is running "
                             "would wait for itself (deadlock)");
            }
        }
        return wasArmed ? TRUE : FALSE;
    }

protected:
    void Dispose() override { Disarm(); }

private:
    void Arm(Ticks due)
    {
        HostCore& core = Core();
        const std::uint64_t generation = generation_;
        const std::uint64_t serial = Serial();
        armed_ = core.dispatcher.Schedule(due, [&core, self = this, serial, generation, due] {
            if (Object* object = core.objects.Find(self, serial)) {
                static_cast<TimerObject*>(object)->Expire(generation, due);
            }
        });
    }

    bool Disarm()
    {
        const bool wasArmed = armed_.has_value();
        if (armed_) {
            Core().dispatcher.Cancel(*armed_);
            armed_.reset();
        }
        ++generation_;
        callbackQueued_ = false;
        return wasArmed;
    }

    void Expire(std::uint64_t generation, Ticks due)
    {
        if (generation != generation_ || !IsLive()) {
            return;
        }
        armed_.reset();
        HostCore& core = Core();
        if (period_.count() > 0) {
            /* Periods are counted from the first due time, so firings do not
               drift; periods missed while the loop was busy are skipped. */
            Ticks next = due + period_;
            const Ticks now = core.dispatcher.Now();
            while (next < now) {
                next += period_;
            }
            Arm(next);
        }
        if (callbackQueued_) {
            return;
        }
        callbackQueued_ = true;
        const std::uint64_t serial = Serial();
        core.dispatcher.Post(
            [&core, self = this, serial, generation] {
                if (Object* object = core.objects.Find(self, serial)) {
                    static_cast<TimerObject*>(object)->RunCallback(generation);
                }
            },
            automaticSerialization_ ? ScopeForCallbacks() : nullptr);
    }

    void RunCallback(std::uint64_t generation)
    {
        if (generation != generation_ || !IsLive()) {
            return;
        }
        callbackQueued_ = false;
        /* The callback may delete its own timer; the memory stays until it returns. */
        AddRef();
        ++running_;
        {
            IrqlScope level(ExecutionLevel() == WdfExecutionLevelPassive ? PASSIVE_LEVEL : DISPATCH_LEVEL);
            callback_(HandleAs<WDFTIMER>());
        }
        --running_;
        Release();
    }

    PFN_WDF_TIMER callback_;
    Ticks period_;
    bool automaticSerialization_;
    std::optional<Dispatcher::TimerKey> armed_;
    std::uint64_t generation_ = 0;
    bool callbackQueued_ = false;
    unsigned running_ = 0;
};

} // namespace platform

using namespace platform;

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer)
{
    HostCore& core = CurrentCore();
    if (Config == nullptr || Config->Size != sizeof(WDF_TIMER_CONFIG) || Config->EvtTimerFunc == nullptr ||
        Attributes == nullptr || Attributes->ParentObject == nullptr || Timer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.objects.Resolve(Attributes->ParentObject, ObjectType::Root, "WdfTimerCreate");
    if (parent == nullptr || !IsDeviceOrBelow(parent)) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<TimerObject>(core, *Config), *parent, Attributes, &created);
    if (NT_SUCCESS(status)) {
        *Timer = created->HandleAs<WDFTIMER>();
    }
    return status;
}

BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
{
    auto* timer = Resolve<TimerObject>(CurrentCore().objects, Timer, "WdfTimerStart");
    return timer != nullptr ? timer->Start(DueTime) : FALSE;
}

BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
{
    auto* timer = Resolve<TimerObject>(CurrentCore().objects, Timer, "WdfTimerStop");
    return timer != nullptr ? timer->Stop(Wait) : FALSE;
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer)
{
    auto* timer = Resolve<TimerObject>(CurrentCore().objects, Timer, "WdfTimerGetParentObject");
    return timer != nullptr && timer->Parent() != nullptr ? timer->Parent()->Handle() : nullptr;
}
