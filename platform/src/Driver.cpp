#include "Driver.h"

#include "HostCore.h"

namespace platform {

DriverObject::DriverObject(HostCore& core, const WDF_DRIVER_CONFIG& config, std::u16string registryPath)
    : Object(core, kType), config_(config), registryPath_(std::move(registryPath))
{
}

DriverObject::~DriverObject()
{
    if (Core().driver == this) {
        Core().driver = nullptr;
    }
}

} // namespace platform

using namespace platform;

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
{
    HostCore& core = CurrentCore();
    if (DriverObject != &core.driverObject || DriverConfig == nullptr ||
        DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (core.driver != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::u16string path;
    if (RegistryPath != nullptr && RegistryPath->Buffer != nullptr) {
        path.assign(RegistryPath->Buffer, RegistryPath->Length / sizeof(WCHAR));
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<platform::DriverObject>(core, *DriverConfig, path),
                                          core.objects.Root(), DriverAttributes, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    core.driver = static_cast<platform::DriverObject*>(created);
    if (Driver != nullptr) {
        *Driver = created->HandleAs<WDFDRIVER>();
    }
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver(VOID)
{
    HostCore& core = CurrentCore();
    return core.driver != nullptr ? core.driver->HandleAs<WDFDRIVER>() : nullptr;
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
{
    auto* driver = Resolve<platform::DriverObject>(CurrentCore().objects, Driver, "WdfDriverGetRegistryPath");
    return driver != nullptr ? driver->RegistryPath() : nullptr;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    HostCore& core = CurrentCore();
    return Resolve<platform::DriverObject>(core.objects, Driver, "WdfDriverWdmGetDriverObject") != nullptr
               ? &core.driverObject
               : nullptr;
}
