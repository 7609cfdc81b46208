#include "Device.h"

#include <algorithm>

#include "Driver.h"
#include "HostCore.h"

namespace platform {

bool SameObjectName(const std::u16string& a, const std::u16string& b)
{
    auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

DeviceObject::DeviceObject(HostCore& core, const WDFDEVICE_INIT& init)
    : Object(core, kType),
      driver_(init.driver),
      name_(init.name),
      sddl_(init.sddl),
      controlDevice_(init.controlDevice),
      exclusive_(init.exclusive),
      deviceType_(init.deviceType)
{
}

DeviceObject::~DeviceObject()
{
    Dispose();
}

void DeviceObject::Dispose()
{
    /* The name is free again as soon as deletion starts. */
    auto& devices = Core().devices;
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
}

SyncScope* DeviceObject::OwnScope()
{
    WDF_SYNCHRONIZATION_SCOPE scope = SynchronizationScopeSetting();
    if (scope == WdfSynchronizationScopeInheritFromParent && driver_ != nullptr) {
        scope = driver_->SynchronizationScopeSetting();
    }
    return scope == WdfSynchronizationScopeDevice ? &scope_ : nullptr;
}

} // namespace platform

using namespace platform;

namespace {

WDFDEVICE_INIT* FindInit(HostCore& core, PWDFDEVICE_INIT init, const char* caller)
{
    if (init == nullptr || core.deviceInits.count(init) == 0) {
        core.Fault("%s: %p is not a device init structure allocated and not yet used", caller,
                   static_cast<void*>(init));
        return nullptr;
    }
    return init;
}

std::u16string ToString(PCUNICODE_STRING string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return {};
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

} // namespace

PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER Driver, PCUNICODE_STRING SDDLString)
{
    HostCore& core = CurrentCore();
    auto* driver = Resolve<platform::DriverObject>(core.objects, Driver, "WdfControlDeviceInitAllocate");
    if (driver == nullptr || SDDLString == nullptr || SDDLString->Buffer == nullptr || SDDLString->Length == 0) {
        return nullptr;
    }
    auto* init = new WDFDEVICE_INIT;
    init->driver = driver;
    init->controlDevice = true;
    init->sddl = ToString(SDDLString);
    core.deviceInits.insert(init);
    return init;
}

VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit)
{
    HostCore& core = CurrentCore();
    if (WDFDEVICE_INIT* init = FindInit(core, DeviceInit, "WdfDeviceInitFree")) {
        core.deviceInits.erase(init);
        delete init;
    }
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitAssignName");
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    init->name = ToString(DeviceName);
    return STATUS_SUCCESS;
}

VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    if (WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitSetExclusive")) {
        init->exclusive = IsExclusive != FALSE;
    }
}

VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    if (WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitSetDeviceType")) {
        init->deviceType = DeviceType;
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    HostCore& core = CurrentCore();
    if (DeviceInit == nullptr || Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    WDFDEVICE_INIT* init = FindInit(core, *DeviceInit, "WdfDeviceCreate");
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    /* A device always hangs under its driver. */
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!init->driver->IsLive()) {
        return STATUS_DELETE_PENDING;
    }
    if (!init->name.empty()) {
        for (DeviceObject* device : core.devices) {
            if (SameObjectName(device->Name(), init->name)) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<DeviceObject>(core, *init), *init->driver,
                                          DeviceAttributes, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    core.devices.push_back(static_cast<DeviceObject*>(created));
    core.deviceInits.erase(init);
    delete init;
    *DeviceInit = nullptr;
    *Device = created->HandleAs<WDFDEVICE>();
    return STATUS_SUCCESS;
}

VOID WdfControlFinishInitializing(WDFDEVICE Device)
{
    if (auto* device = Resolve<DeviceObject>(CurrentCore().objects, Device, "WdfControlFinishInitializing")) {
        device->FinishInitializing();
    }
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    auto* device = Resolve<DeviceObject>(CurrentCore().objects, Device, "WdfDeviceGetDriver");
    return device != nullptr && device->Driver() != nullptr ? device->Driver()->HandleAs<WDFDRIVER>() : nullptr;
}
