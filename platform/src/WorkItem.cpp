#include "HostCore.h"
#include "Irql.h"
#include "Object.h"

namespace platform {

/*
 * A work item is queued at most once at a time: enqueueing it again before
 * its callback starts changes nothing, enqueueing it from (or during) its
 * callback queues one more run. Deleting it drops a queued run.
 */
class WorkItemObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::WorkItem;

    WorkItemObject(HostCore& core, const WDF_WORKITEM_CONFIG& config)
        : Object(core, kType),
          callback_(config.EvtWorkItemFunc),
          automaticSerialization_(config.AutomaticSerialization != FALSE)
    {
    }

    void Enqueue()
    {
        if (queued_ || !IsLive()) {
            return;
        }
        queued_ = true;
        HostCore& core = Core();
        const std::uint64_t serial = Serial();
        const std::uint64_t generation = generation_;
        core.dispatcher.Post(
            [&core, self = this, serial, generation] {
                if (Object* object = core.objects.Find(self, serial)) {
                    static_cast<WorkItemObject*>(object)->Run(generation);
                }
            },
            Scope());
    }

    void Flush()
    {
        HostCore& core = Core();
        if (CurrentIrql() > PASSIVE_LEVEL) {
            core.Fault("WdfWorkItemFlush: waits, and must not be called at DISPATCH_LEVEL");
            return;
        }
        if (running_ > 0) {
            core.Fault("WdfWorkItemFlush: called while the work item's own callback is running "
                       "would wait for itself (deadlock)");
            return;
        }
        if (!queued_) {
            return;
        }
        if (SyncScope* scope = Scope(); scope != nullptr && scope->Busy()) {
            core.Fault("WdfWorkItemFlush: the work item is serialised with a callback that is "
                       "waiting for it (deadlock)");
            return;
        }
        AddRef();
        core.WaitNested([this] { return !queued_ && running_ == 0; }, "WdfWorkItemFlush");
        Release();
    }

protected:
    void Dispose() override
    {
        queued_ = false;
        ++generation_;
    }

private:
    SyncScope* Scope() const { return automaticSerialization_ ? ScopeForCallbacks() : nullptr; }

    void Run(std::uint64_t generation)
    {
        if (generation != generation_ || !queued_ || !IsLive()) {
            return;
        }
        queued_ = false;
        AddRef();
        ++running_;
        {
            IrqlScope passive(PASSIVE_LEVEL);
            callback_(HandleAs<WDFWORKITEM>());
        }
        --running_;
        Release();
    }

    PFN_WDF_WORKITEM callback_;
    bool automaticSerialization_;
    bool queued_ = false;
    unsigned running_ = 0;
    std::uint64_t generation_ = 0;
};

} // namespace platform

using namespace platform;

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem)
{
    HostCore& core = CurrentCore();
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) || Config->EvtWorkItemFunc == nullptr ||
        Attributes == nullptr || Attributes->ParentObject == nullptr || WorkItem == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.objects.Resolve(Attributes->ParentObject, ObjectType::Root, "WdfWorkItemCreate");
    if (parent == nullptr || !IsDeviceOrBelow(parent)) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<WorkItemObject>(core, *Config), *parent, Attributes, &created);
    if (NT_SUCCESS(status)) {
        *WorkItem = created->HandleAs<WDFWORKITEM>();
    }
    return status;
}

VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    if (auto* item = Resolve<WorkItemObject>(CurrentCore().objects, WorkItem, "WdfWorkItemEnqueue")) {
        item->Enqueue();
    }
}

VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    if (auto* item = Resolve<WorkItemObject>(CurrentCore().objects, WorkItem, "WdfWorkItemFlush")) {
        item->Flush();
    }
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    auto* item = Resolve<WorkItemObject>(CurrentCore().objects, WorkItem, "WdfWorkItemGetParentObject");
    return item != nullptr && item->Parent() != nullptr ? item->Parent()->Handle() : nullptr;
}
