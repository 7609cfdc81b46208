#include <algorithm>
#include <vector>

#include "HostCore.h"
#include "Object.h"

namespace platform {

/* Holds a reference on each item, so an item deleted while still in the
   collection keeps its memory (and handle) until it is removed. */
class CollectionObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Collection;

    explicit CollectionObject(HostCore& core) : Object(core, kType) {}

    NTSTATUS Add(Object& item)
    {
        if (&item == this) {
            return STATUS_INVALID_PARAMETER;
        }
        items_.push_back(&item);
        item.AddRef();
        return STATUS_SUCCESS;
    }

    bool Remove(const Object& item)
    {
        auto it = std::find(items_.begin(), items_.end(), &item);
        if (it == items_.end()) {
            return false;
        }
        RemoveAt(static_cast<std::size_t>(it - items_.begin()));
        return true;
    }

    bool RemoveAt(std::size_t index)
    {
        if (index >= items_.size()) {
            return false;
        }
        Object* item = items_[index];
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
        item->Release();
        return true;
    }

    ULONG Count() const { return static_cast<ULONG>(items_.size()); }
    WDFOBJECT At(std::size_t index) const { return index < items_.size() ? items_[index]->Handle() : nullptr; }
    WDFOBJECT Last() const { return items_.empty() ? nullptr : items_.back()->Handle(); }

protected:
    void Dispose() override
    {
        std::vector<Object*> items;
        items.swap(items_);
        for (Object* item : items) {
            item->Release();
        }
    }

private:
    std::vector<Object*> items_;
};

} // namespace platform

using namespace platform;

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection)
{
    HostCore& core = CurrentCore();
    if (Collection == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.ParentFor(CollectionAttributes, core.DefaultParent(), "WdfCollectionCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* created = nullptr;
    NTSTATUS status =
        core.objects.Insert(std::make_unique<CollectionObject>(core), *parent, CollectionAttributes, &created);
    if (NT_SUCCESS(status)) {
        *Collection = created->HandleAs<WDFCOLLECTION>();
    }
    return status;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection)
{
    auto* collection = Resolve<CollectionObject>(CurrentCore().objects, Collection, "WdfCollectionGetCount");
    return collection != nullptr ? collection->Count() : 0;
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object)
{
    HostCore& core = CurrentCore();
    auto* collection = Resolve<CollectionObject>(core.objects, Collection, "WdfCollectionAdd");
    platform::Object* item = core.objects.Resolve(Object, ObjectType::Root, "WdfCollectionAdd");
    if (collection == nullptr || item == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return collection->Add(*item);
}

VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item)
{
    HostCore& core = CurrentCore();
    auto* collection = Resolve<CollectionObject>(core.objects, Collection, "WdfCollectionRemove");
    platform::Object* item = core.objects.Resolve(Item, ObjectType::Root, "WdfCollectionRemove");
    if (collection != nullptr && item != nullptr && !collection->Remove(*item)) {
        core.Fault("WdfCollectionRemove: %s %p is not in collection %p", ObjectTypeName(item->Type()), Item,
                   static_cast<void*>(Collection));
    }
}

VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index)
{
    HostCore& core = CurrentCore();
    auto* collection = Resolve<CollectionObject>(core.objects, Collection, "WdfCollectionRemoveItem");
    if (collection != nullptr && !collection->RemoveAt(Index)) {
        core.Fault("WdfCollectionRemoveItem: index %lu is past the end of a collection of %lu",
                   static_cast<unsigned long>(Index), static_cast<unsigned long>(collection->Count()));
    }
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index)
{
    auto* collection = Resolve<CollectionObject>(CurrentCore().objects, Collection, "WdfCollectionGetItem");
    return collection != nullptr ? collection->At(Index) : nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection)
{
    auto* collection = Resolve<CollectionObject>(CurrentCore().objects, Collection, "WdfCollectionGetFirstItem");
    return collection != nullptr ? collection->At(0) : nullptr;
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection)
{
    auto* collection = Resolve<CollectionObject>(CurrentCore().objects, Collection, "WdfCollectionGetLastItem");
    return collection != nullptr ? collection->Last() : nullptr;
}
