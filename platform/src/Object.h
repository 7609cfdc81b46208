/*
 * The object tree behind every framework handle.
 *
 * A handle is the address of its Object. Every object has a parent (the
 * root for objects the host owns), zero or more typed contexts, cleanup and
 * destroy callbacks, and a reference count: the tree holds one reference
 * until the object is deleted, collections and running callbacks hold more.
 * Memory is freed, and the destroy callbacks run, when the last reference
 * goes.
 */
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include <wdf.h>

#include <platform/NodeReuse.h>

namespace platform {

class HostCore;
class SyncScope;

enum class ObjectType : std::uint8_t {
    Root,
    Driver,
    Device,
    Queue,
    Request,
    Timer,
    WorkItem,
    WaitLock,
    SpinLock,
    Collection,
    IoTarget,
    Memory,
    FileObject,
    Key,
    String,
    Count,
};

inline constexpr std::size_t kObjectTypeCount = static_cast<std::size_t>(ObjectType::Count);

/* The handle type's name: "WDFTIMER", ... */
const char* ObjectTypeName(ObjectType type);

class Object {
public:
    Object(HostCore& core, ObjectType type);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    HostCore& Core() const { return core_; }
    ObjectType Type() const { return type_; }
    /* Never reused, unlike addresses: tasks queued for an object compare it. */
    std::uint64_t Serial() const { return serial_; }
    Object* Parent() const { return parent_; }
    WDFOBJECT Handle() { return static_cast<WDFOBJECT>(this); }
    template <typename HandleType>
    HandleType HandleAs()
    {
        return static_cast<HandleType>(Handle());
    }

    /* False from the moment WdfObjectDelete (or a parent's) starts on it. */
    bool IsLive() const { return state_ == State::Live; }
    bool IsDeleted() const { return state_ == State::Deleted; }

    /* Inline for the first context, the one callbacks ask for. */
    void* FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const
    {
        return type != nullptr && type == firstContextType_ ? firstContext_ : FindLaterContext(type);
    }
    NTSTATUS AddContext(const WDF_OBJECT_ATTRIBUTES& attributes, void** context);
    static Object* FromContext(void* context);

    void AddRef();
    void Release();

    /* Effective level: the object's own setting or, when it inherits, its parent's. */
    WDF_EXECUTION_LEVEL ExecutionLevel() const;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScopeSetting() const { return synchronizationScope_; }
    WDF_EXECUTION_LEVEL ExecutionLevelSetting() const { return executionLevel_; }
    /* The level callbacks that run "at whatever level the caller has" get:
       DISPATCH_LEVEL only when the object or an ancestor asks for it. */
    KIRQL CallbackIrql() const;
    /* The scope that serialises this object's callbacks when it asks for
       automatic serialisation: that of the nearest device or queue above it. */
    SyncScope* ScopeForCallbacks() const;

protected:
    /* Stops what the object has going (timers, queued work) before the
       driver's cleanup callbacks run. */
    virtual void Dispose() {}
    /* Runs once the cleanup callbacks of the whole subtree have run, while
       every handle of it is still valid: what the driver left undone. */
    virtual void Deleted() {}
    /* The scope this object offers to its children, if it has one. */
    virtual SyncScope* OwnScope() { return nullptr; }

private:
    friend class ObjectTable;

    enum class State { Live, Deleting, Deleted };

    struct ContextHeader;
    struct ContextFree {
        void operator()(ContextHeader* header) const;
    };
    struct Attachment {
        std::unique_ptr<ContextHeader, ContextFree> context;
        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    };

    void RunCleanupCallbacks();
    void RunDestroyCallbacks();
    void* FindLaterContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const;

    HostCore& core_;
    const ObjectType type_;
    const std::uint64_t serial_;
    State state_ = State::Live;
    std::atomic<long> references_{1};
    Object* parent_ = nullptr;
    std::vector<Object*> children_;
    std::vector<Attachment> attachments_;
    /* The first context, looked up on every callback, without walking attachments_. */
    PCWDF_OBJECT_CONTEXT_TYPE_INFO firstContextType_ = nullptr;
    void* firstContext_ = nullptr;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope_ = WdfSynchronizationScopeInheritFromParent;
};

/* Owns the tree, the register of live objects and their counts. */
class ObjectTable {
public:
    explicit ObjectTable(HostCore& core);
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    Object& Root() { return *root_; }

    /* Hangs object under parent and applies the attributes (contexts,
       callbacks, levels). On failure the object is freed and *result stays. */
    NTSTATUS Insert(std::unique_ptr<Object> object, Object& parent, const WDF_OBJECT_ATTRIBUTES* attributes,
                    Object** result);

    /* Deletes object and its descendants: cleanup callbacks run children
       first while every handle of the subtree is still valid, then each
       object drops the tree's reference. */
    void Delete(Object& object);

    /*
     * Every framework call resolves its handles, a dozen times per received
     * character, so the answer from the cache of live addresses is inline and
     * only a miss or a fault leaves it.
     */

    /* The object behind a handle, or nullptr when it is not a live handle. */
    Object* Find(const void* handle) const
    {
        const Object* cached = Cached(handle);
        return cached != nullptr ? const_cast<Object*>(cached) : FindRegistered(handle);
    }
    /* Same, but also checks that it is still the object a task was queued for. */
    Object* Find(const void* handle, std::uint64_t serial) const
    {
        Object* object = Find(handle);
        return object != nullptr && object->serial_ == serial ? object : nullptr;
    }
    /* For framework calls: the object of the expected type (Root = any type),
       or nullptr after reporting a fault that names caller. */
    Object* Resolve(const void* handle, ObjectType expected, const char* caller) const
    {
        const Object* cached = Cached(handle);
        if (cached != nullptr && (expected == ObjectType::Root || cached->type_ == expected)) {
            return const_cast<Object*>(cached);
        }
        return ResolveRegistered(handle, expected, caller);
    }
    /* The object's context of that type (nullptr when it has none), as Resolve reports. */
    void* TypedContext(const void* handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO type, const char* caller) const
    {
        const Object* object = Resolve(handle, ObjectType::Root, caller);
        return object != nullptr ? object->FindContext(type) : nullptr;
    }

    std::size_t Live() const;
    std::size_t Live(ObjectType type) const;

    /* Host teardown: deletes everything, then frees what leaked references keep. */
    void Teardown();

private:
    friend class Object;

    void Destroy(Object* object);
    /* The ways past a cache miss: the register under the mutex, and the fault reports. */
    Object* FindRegistered(const void* handle) const;
    Object* ResolveRegistered(const void* handle, ObjectType expected, const char* caller) const;
    /* A direct-mapped cache of live addresses in front of live_: a hit answers
       Find without the mutex or the hash set. Filled and emptied under the mutex. */
    std::atomic<const Object*>& HotSlot(const void* handle) const { return hot_[SlotOf(handle)]; }
    /* The live object at handle when the cache knows it, else nullptr. */
    const Object* Cached(const void* handle) const
    {
        return handle != nullptr && HotSlot(handle).load(std::memory_order_acquire) == handle
                   ? static_cast<const Object*>(handle)
                   : nullptr;
    }
    void RememberLive(const Object* object) const;
    void ForgetLive(const Object* object) const;
    static void CollectSubtree(Object& object, std::vector<Object*>& order);

    static constexpr unsigned kHotBits = 12;
    static std::size_t SlotOf(const void* handle)
    {
        /* Fibonacci hashing of the address without its alignment bits. */
        const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle)) >> 4;
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - kHotBits));
    }

    HostCore& core_;
    mutable std::mutex mutex_;
    std::unordered_set<const Object*> live_;
    NodeReuse<std::unordered_set<const Object*>> liveNodes_;
    std::size_t counts_[kObjectTypeCount] = {};
    /* Recently freed addresses, to tell a stale handle from garbage: direct-mapped
       like hot_, so that a free costs one slot and no allocation. */
    struct Tombstone {
        const void* address = nullptr;
        ObjectType type = ObjectType::Count;
    };
    std::array<Tombstone, std::size_t{1} << kHotBits> tombstones_{};
    std::uint64_t nextSerial_ = 1;
    mutable std::array<std::atomic<const Object*>, std::size_t{1} << kHotBits> hot_{};
    std::unique_ptr<Object> root_;
};

/* Resolves to the concrete class; T must declare kType. */
template <typename T>
T* Resolve(const ObjectTable& table, const void* handle, const char* caller)
{
    return static_cast<T*>(table.Resolve(handle, T::kType, caller));
}

} // namespace platform

namespace platform {

/* Timers and work items must belong to a device, directly or through a child. */
inline bool IsDeviceOrBelow(const Object* object)
{
    for (; object != nullptr; object = object->Parent()) {
        if (object->Type() == ObjectType::Device) {
            return true;
        }
    }
    return false;
}

} // namespace platform
