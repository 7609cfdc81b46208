#include "Object.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <span>
#include <string>

#include "HostCore.h"

namespace platform {

namespace {

constexpr std::uint32_t kContextMagic = 0x78746E43; /* "Cntx" */

/* The framework's own root object, never counted and never handed out. */
class RootObject final : public Object {
public:
    explicit RootObject(HostCore& core) : Object(core, ObjectType::Root) {}
};

} // namespace

const char* ObjectTypeName(ObjectType type)
{
    switch (type) {
    case ObjectType::Root: return "ROOT";
    case ObjectType::Driver: return "WDFDRIVER";
    case ObjectType::Device: return "WDFDEVICE";
    case ObjectType::Queue: return "WDFQUEUE";
    case ObjectType::Request: return "WDFREQUEST";
    case ObjectType::Timer: return "WDFTIMER";
    case ObjectType::WorkItem: return "WDFWORKITEM";
    case ObjectType::WaitLock: return "WDFWAITLOCK";
    case ObjectType::SpinLock: return "WDFSPINLOCK";
    case ObjectType::Collection: return "WDFCOLLECTION";
    case ObjectType::IoTarget: return "WDFIOTARGET";
    case ObjectType::Memory: return "WDFMEMORY";
    case ObjectType::FileObject: return "WDFFILEOBJECT";
    case ObjectType::Key: return "WDFKEY";
    case ObjectType::String: return "WDFSTRING";
    case ObjectType::Count: break;
    }
    return "?";
}

/* Sits in front of the context data so that WdfObjectContextGetObject can
   find the owner; aligned so that the data after it is maximally aligned. */
struct alignas(std::max_align_t) Object::ContextHeader {
    std::uint32_t magic;
    Object* owner;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;

    void* Data() { return this + 1; }
};

void Object::ContextFree::operator()(ContextHeader* header) const
{
    header->magic = 0;
    ::operator delete(header);
}

Object::Object(HostCore& core, ObjectType type)
    : core_(core), type_(type), serial_(core.objects.nextSerial_++)
{
}

Object::~Object() = default;

void* Object::FindLaterContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const
{
    if (type == nullptr) {
        return nullptr;
    }
    for (const Attachment& attachment : attachments_) {
        if (attachment.context && attachment.context->type == type) {
            return attachment.context->Data();
        }
    }
    return nullptr;
}

NTSTATUS Object::AddContext(const WDF_OBJECT_ATTRIBUTES& attributes, void** context)
{
    if (attributes.Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        return STATUS_INVALID_PARAMETER;
    }
    Attachment attachment;
    attachment.cleanup = attributes.EvtCleanupCallback;
    attachment.destroy = attributes.EvtDestroyCallback;
    if (attributes.ContextTypeInfo != nullptr) {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes.ContextTypeInfo->UniqueType != nullptr
                                                  ? attributes.ContextTypeInfo->UniqueType
                                                  : attributes.ContextTypeInfo;
        std::size_t size = type->ContextSize;
        if (attributes.ContextSizeOverride != 0) {
            if (attributes.ContextSizeOverride < size) {
                return STATUS_INVALID_PARAMETER;
            }
            size = attributes.ContextSizeOverride;
        }
        if (FindContext(type) != nullptr) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        void* memory = ::operator new(sizeof(ContextHeader) + size, std::nothrow);
        if (memory == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        auto* header = new (memory) ContextHeader{kContextMagic, this, type};
        std::memset(header->Data(), 0, size);
        attachment.context.reset(header);
    } else if (attributes.ContextSizeOverride != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (context != nullptr) {
        *context = attachment.context ? attachment.context->Data() : nullptr;
    }
    if (attachment.context && firstContextType_ == nullptr) {
        firstContextType_ = attachment.context->type;
        firstContext_ = attachment.context->Data();
    }
    /* Most objects come with attributes that only name a parent: nothing to keep. */
    if (attachment.context || attachment.cleanup != nullptr || attachment.destroy != nullptr) {
        attachments_.push_back(std::move(attachment));
    }
    return STATUS_SUCCESS;
}

Object* Object::FromContext(void* context)
{
    if (context == nullptr) {
        return nullptr;
    }
    auto* header = static_cast<ContextHeader*>(context) - 1;
    return header->magic == kContextMagic ? header->owner : nullptr;
}

void Object::AddRef()
{
    references_.fetch_add(1, std::memory_order_relaxed);
}

void Object::Release()
{
    long remaining = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (remaining > 0) {
        return;
    }
    if (state_ != State::Deleted) {
        /* The tree's own reference is gone but the object was never deleted. */
        references_.store(1);
        core_.Fault("%s %p: reference count dropped to zero before the object was deleted "
                    "(more dereferences than references)",
                    ObjectTypeName(type_), static_cast<void*>(this));
        return;
    }
    core_.objects.Destroy(this);
}

WDF_EXECUTION_LEVEL Object::ExecutionLevel() const
{
    for (const Object* object = this; object != nullptr; object = object->parent_) {
        if (object->executionLevel_ == WdfExecutionLevelPassive ||
            object->executionLevel_ == WdfExecutionLevelDispatch) {
            return object->executionLevel_;
        }
    }
    return WdfExecutionLevelDispatch;
}

KIRQL Object::CallbackIrql() const
{
    for (const Object* object = this; object != nullptr; object = object->parent_) {
        if (object->executionLevel_ == WdfExecutionLevelPassive) {
            return PASSIVE_LEVEL;
        }
        if (object->executionLevel_ == WdfExecutionLevelDispatch) {
            return DISPATCH_LEVEL;
        }
    }
    return PASSIVE_LEVEL;
}

SyncScope* Object::ScopeForCallbacks() const
{
    for (Object* object = parent_; object != nullptr; object = object->parent_) {
        if (object->type_ == ObjectType::Device || object->type_ == ObjectType::Queue) {
            return object->OwnScope();
        }
    }
    return nullptr;
}

void Object::RunCleanupCallbacks()
{
    for (std::size_t i = 0; i < attachments_.size(); ++i) {
        if (PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = attachments_[i].cleanup) {
            cleanup(Handle());
        }
    }
}

void Object::RunDestroyCallbacks()
{
    for (std::size_t i = 0; i < attachments_.size(); ++i) {
        if (PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = attachments_[i].destroy) {
            destroy(Handle());
        }
    }
}

/* ---------------------------------------------------------------------- */

ObjectTable::ObjectTable(HostCore& core) : core_(core)
{
    root_ = std::make_unique<RootObject>(core);
}

NTSTATUS ObjectTable::Insert(std::unique_ptr<Object> object, Object& parent,
                             const WDF_OBJECT_ATTRIBUTES* attributes, Object** result)
{
    if (!parent.IsLive()) {
        return STATUS_DELETE_PENDING;
    }
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES) ||
            attributes->ExecutionLevel == WdfExecutionLevelInvalid ||
            attributes->SynchronizationScope == WdfSynchronizationScopeInvalid) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS status = object->AddContext(*attributes, nullptr);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        object->executionLevel_ = attributes->ExecutionLevel;
        object->synchronizationScope_ = attributes->SynchronizationScope;
    }
    Object* raw = object.release();
    raw->parent_ = &parent;
    parent.children_.push_back(raw);
    {
        std::lock_guard lock(mutex_);
        liveNodes_.Insert(live_, raw);
        RememberLive(raw);
        ++counts_[static_cast<std::size_t>(raw->type_)];
        /* The address is a live handle again. */
        Tombstone& tombstone = tombstones_[SlotOf(raw)];
        if (tombstone.address == raw) {
            tombstone = Tombstone{};
        }
    }
    if (result != nullptr) {
        *result = raw;
    }
    return STATUS_SUCCESS;
}

void ObjectTable::CollectSubtree(Object& object, std::vector<Object*>& order)
{
    object.state_ = Object::State::Deleting;
    /* Youngest child first, as destructors run. */
    for (auto child = object.children_.rbegin(); child != object.children_.rend(); ++child) {
        if ((*child)->state_ == Object::State::Live) {
            CollectSubtree(**child, order);
        }
    }
    order.push_back(&object);
}

void ObjectTable::Delete(Object& object)
{
    if (object.state_ != Object::State::Live || &object == root_.get()) {
        return;
    }
    /* Most deletes are of a leaf (a request, a buffer): no list to build. */
    Object* leaf[] = {&object};
    std::span<Object* const> order = leaf;
    std::vector<Object*> subtree;
    const bool hasLiveChild = std::any_of(object.children_.begin(), object.children_.end(),
                                          [](const Object* child) { return child->state_ == Object::State::Live; });
    if (hasLiveChild) {
        CollectSubtree(object, subtree);
        order = subtree;
    } else {
        object.state_ = Object::State::Deleting;
    }
    /* Our own reference keeps every object of the subtree in memory until all
       cleanup callbacks have run, whatever they delete or dereference. */
    for (Object* member : order) {
        member->AddRef();
    }
    for (Object* member : order) {
        member->Dispose();
        member->RunCleanupCallbacks();
    }
    for (Object* member : order) {
        member->Deleted();
    }
    for (Object* member : order) {
        Object* parent = member->parent_;
        if (parent != nullptr && parent->state_ == Object::State::Live) {
            auto& siblings = parent->children_;
            siblings.erase(std::find(siblings.begin(), siblings.end(), member));
        }
        member->parent_ = nullptr;
        /* Children not in this subtree are being deleted by a Delete further
           up the stack (started from a cleanup callback); they must not
           point at a parent that may be freed before that Delete resumes. */
        for (Object* child : member->children_) {
            child->parent_ = nullptr;
        }
        member->children_.clear();
        member->state_ = Object::State::Deleted;
        member->Release();
    }
    for (Object* member : order) {
        member->Release();
    }
}

void ObjectTable::Destroy(Object* object)
{
    object->RunDestroyCallbacks();
    {
        std::lock_guard lock(mutex_);
        liveNodes_.Keep(live_.extract(object));
        ForgetLive(object);
        --counts_[static_cast<std::size_t>(object->type_)];
        tombstones_[SlotOf(object)] = Tombstone{object, object->type_};
    }
    delete object;
}

void ObjectTable::RememberLive(const Object* object) const
{
    HotSlot(object).store(object, std::memory_order_release);
}

void ObjectTable::ForgetLive(const Object* object) const
{
    std::atomic<const Object*>& slot = HotSlot(object);
    if (slot.load(std::memory_order_relaxed) == object) {
        slot.store(nullptr, std::memory_order_release);
    }
}

Object* ObjectTable::FindRegistered(const void* handle) const
{
    std::lock_guard lock(mutex_);
    auto it = live_.find(static_cast<const Object*>(handle));
    if (it == live_.end()) {
        return nullptr;
    }
    /* Under the mutex, so that it cannot put back an object Destroy has just forgotten. */
    RememberLive(*it);
    return const_cast<Object*>(*it);
}

Object* ObjectTable::ResolveRegistered(const void* handle, ObjectType expected, const char* caller) const
{
    if (handle == nullptr) {
        core_.Fault("%s: NULL handle", caller);
        return nullptr;
    }
    Object* object = FindRegistered(handle);
    if (object == nullptr) {
        ObjectType former = ObjectType::Count;
        {
            std::lock_guard lock(mutex_);
            const Tombstone& tombstone = tombstones_[SlotOf(handle)];
            if (tombstone.address == handle) {
                former = tombstone.type;
            }
        }
        if (former == ObjectType::Request) {
            core_.Fault("%s: request %p was already completed (or deleted)", caller, handle);
        } else if (former != ObjectType::Count) {
            core_.Fault("%s: %s %p was already deleted", caller, ObjectTypeName(former), handle);
        } else {
            core_.Fault("%s: %p is not a framework handle", caller, handle);
        }
        return nullptr;
    }
    if (expected != ObjectType::Root && object->type_ != expected) {
        core_.Fault("%s: handle %p is a %s, not a %s", caller, handle, ObjectTypeName(object->type_),
                    ObjectTypeName(expected));
        return nullptr;
    }
    return object;
}

std::size_t ObjectTable::Live() const
{
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::size_t ObjectTable::Live(ObjectType type) const
{
    std::lock_guard lock(mutex_);
    return counts_[static_cast<std::size_t>(type)];
}

void ObjectTable::Teardown()
{
    auto& children = root_->children_;
    while (!children.empty()) {
        Object* youngest = children.back();
        Delete(*youngest);
        if (!children.empty() && children.back() == youngest) {
            children.pop_back(); /* already being deleted further up the stack */
        }
    }
    std::vector<Object*> leaked;
    {
        std::lock_guard lock(mutex_);
        for (const Object* object : live_) {
            leaked.push_back(const_cast<Object*>(object));
        }
    }
    if (leaked.empty()) {
        return;
    }
    std::vector<std::string> types;
    for (Object* object : leaked) {
        types.emplace_back(ObjectTypeName(object->type_));
    }
    std::sort(types.begin(), types.end());
    std::string names;
    for (const std::string& type : types) {
        names += names.empty() ? "" : ", ";
        names += type;
    }
    core_.Fault("%zu object(s) still referenced when the host shut down: %s", leaked.size(), names.c_str());
    for (Object* object : leaked) {
        Destroy(object);
    }
}

} // namespace platform
