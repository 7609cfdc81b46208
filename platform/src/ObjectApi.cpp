/* The framework's generic object calls. */
#include "Device.h"
#include "HostCore.h"
#include "Memory.h"
#include "Request.h"
#include "Object.h"

using namespace platform;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    if (TypeInfo == nullptr) {
        return nullptr;
    }
    return CurrentCore().objects.TypedContext(Handle, TypeInfo->UniqueType != nullptr ? TypeInfo->UniqueType : TypeInfo,
                                              "WdfObjectGetTypedContextWorker");
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context)
{
    HostCore& core = CurrentCore();
    Object* object = core.objects.Resolve(Handle, ObjectType::Root, "WdfObjectAllocateContext");
    if (object == nullptr || ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr ||
        ContextAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!object->IsLive()) {
        return STATUS_DELETE_PENDING;
    }
    return object->AddContext(*ContextAttributes, Context);
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    Object* object = Object::FromContext(ContextPointer);
    if (object == nullptr) {
        CurrentCore().Fault("WdfObjectContextGetObject: %p is not an object context", ContextPointer);
        return nullptr;
    }
    return object->Handle();
}

VOID WdfObjectDelete(WDFOBJECT Object)
{
    HostCore& core = CurrentCore();
    platform::Object* object = core.objects.Resolve(Object, ObjectType::Root, "WdfObjectDelete");
    if (object == nullptr) {
        return;
    }
    switch (object->Type()) {
    case ObjectType::Driver:
        core.Fault("WdfObjectDelete: the driver object is deleted by the framework when the driver unloads");
        return;
    case ObjectType::Request:
        if (static_cast<RequestObject*>(object)->FromClient()) {
            core.Fault("WdfObjectDelete: request %p came from a client and must be completed, not deleted", Object);
            return;
        }
        core.objects.Delete(*object);
        return;
    case ObjectType::FileObject:
        core.Fault("WdfObjectDelete: file object %p belongs to the framework", Object);
        return;
    case ObjectType::Memory:
        if (static_cast<MemoryObject*>(object)->OwnedByFramework()) {
            core.Fault("WdfObjectDelete: memory %p is a request's own buffer", Object);
            return;
        }
        core.objects.Delete(*object);
        return;
    case ObjectType::Device:
        if (static_cast<DeviceObject*>(object)->IsPnp()) {
            core.Fault("WdfObjectDelete: the function device %p is deleted by the framework when it is removed",
                       Object);
            return;
        }
        core.objects.Delete(*object);
        return;
    default:
        core.objects.Delete(*object);
    }
}

VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID, LONG, PCSTR)
{
    if (platform::Object* object = CurrentCore().objects.Resolve(Handle, ObjectType::Root, "WdfObjectReference")) {
        object->AddRef();
    }
}

VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID, LONG, PCSTR)
{
    if (platform::Object* object =
            CurrentCore().objects.Resolve(Handle, ObjectType::Root, "WdfObjectDereference")) {
        object->Release();
    }
}
