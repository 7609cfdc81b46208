/*
 * The host as the system around the driver: the client I/O manager, the
 * lower devices it registers, and the PnP manager's part for the one
 * function device (add, start, suspend, resume, remove).
 */
#include <platform/Host.h>

#include "Device.h"
#include "Driver.h"
#include "HostCore.h"
#include "IoCore.h"
#include "Irql.h"

namespace platform {

IoManager& Host::Io()
{
    return core_->io->manager;
}

NTSTATUS Host::RegisterLowerDevice(std::u16string_view name, std::shared_ptr<LowerDevice> device)
{
    if (device == nullptr || name.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (device->Registered() || device->Removed()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    IoCore& io = *core_->io;
    auto entry = std::make_shared<LowerDeviceEntry>(*core_, std::move(device), std::u16string(name));
    NTSTATUS status = io.names.AddLower(name, entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    entry->Attach();
    io.lowerDevices.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

bool Host::ObjectNameExists(std::u16string_view name) const
{
    return core_->io->names.Contains(name);
}

std::shared_ptr<LowerDevice> Host::FindLowerDevice(std::u16string_view name) const
{
    Namespace::Target target;
    if (!NT_SUCCESS(core_->io->names.Resolve(name, target)) || target.lower == nullptr) {
        return nullptr;
    }
    return target.lower->SharedDevice();
}

WDFDEVICE Host::PnpDevice() const
{
    DeviceObject* device = core_->io->pnpDevice;
    return device != nullptr ? device->HandleAs<WDFDEVICE>() : nullptr;
}

NTSTATUS Host::AddDevice()
{
    IoCore& io = *core_->io;
    platform::DriverObject* driver = core_->driver;
    if (io.pnpState != IoCore::PnpState::None || driver == nullptr || !driver->IsLive()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PFN_WDF_DRIVER_DEVICE_ADD add = driver->Config().EvtDriverDeviceAdd;
    if (add == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* init = new WDFDEVICE_INIT;
    init->driver = driver;
    init->pnp = true;
    core_->deviceInits.insert(init);
    NTSTATUS status;
    {
        IrqlScope passive(PASSIVE_LEVEL);
        status = add(driver->HandleAs<WDFDRIVER>(), init);
    }
    /* The framework's init block: freed here whether or not the driver used it. */
    if (core_->deviceInits.erase(init) != 0) {
        delete init;
    }
    if (!NT_SUCCESS(status)) {
        if (io.pnpDevice != nullptr) {
            core_->objects.Delete(*io.pnpDevice);
            io.pnpDevice = nullptr;
        }
        return status;
    }
    if (io.pnpDevice == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    io.pnpState = IoCore::PnpState::Added;
    return STATUS_SUCCESS;
}

NTSTATUS Host::StartDevice()
{
    IoCore& io = *core_->io;
    DeviceObject* device = io.pnpDevice;
    if (device == nullptr || io.pnpState != IoCore::PnpState::Added) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = device->PnpPower();
    const WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDevicePrepareHardware != nullptr) {
        status = callbacks.EvtDevicePrepareHardware(handle, nullptr, nullptr);
    }
    if (NT_SUCCESS(status) && callbacks.EvtDeviceD0Entry != nullptr) {
        status = callbacks.EvtDeviceD0Entry(handle, WdfPowerDeviceD3Final);
    }
    if (NT_SUCCESS(status) && callbacks.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        status = callbacks.EvtDeviceD0EntryPostInterruptsEnabled(handle, WdfPowerDeviceD3Final);
    }
    if (NT_SUCCESS(status) && callbacks.EvtDeviceSelfManagedIoInit != nullptr) {
        status = callbacks.EvtDeviceSelfManagedIoInit(handle);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    io.pnpState = IoCore::PnpState::Started;
    device->SetWorkingState(true);
    device->EnableInterfaces(true);
    return STATUS_SUCCESS;
}

NTSTATUS Host::SuspendDevice()
{
    IoCore& io = *core_->io;
    DeviceObject* device = io.pnpDevice;
    if (device == nullptr || io.pnpState != IoCore::PnpState::Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = device->PnpPower();
    const WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    IrqlScope passive(PASSIVE_LEVEL);
    /* The framework reports failures of these but powers down all the same. */
    if (callbacks.EvtDeviceSelfManagedIoSuspend != nullptr) {
        callbacks.EvtDeviceSelfManagedIoSuspend(handle);
    }
    device->SetWorkingState(false);
    if (callbacks.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        callbacks.EvtDeviceD0ExitPreInterruptsDisabled(handle, WdfPowerDeviceD3);
    }
    if (callbacks.EvtDeviceD0Exit != nullptr) {
        callbacks.EvtDeviceD0Exit(handle, WdfPowerDeviceD3);
    }
    io.pnpState = IoCore::PnpState::Suspended;
    return STATUS_SUCCESS;
}

NTSTATUS Host::ResumeDevice()
{
    IoCore& io = *core_->io;
    DeviceObject* device = io.pnpDevice;
    if (device == nullptr || io.pnpState != IoCore::PnpState::Suspended) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = device->PnpPower();
    const WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    IrqlScope passive(PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDeviceD0Entry != nullptr) {
        status = callbacks.EvtDeviceD0Entry(handle, WdfPowerDeviceD3);
    }
    if (NT_SUCCESS(status) && callbacks.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        status = callbacks.EvtDeviceD0EntryPostInterruptsEnabled(handle, WdfPowerDeviceD3);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    io.pnpState = IoCore::PnpState::Started;
    device->SetWorkingState(true);
    if (callbacks.EvtDeviceSelfManagedIoRestart != nullptr) {
        status = callbacks.EvtDeviceSelfManagedIoRestart(handle);
    }
    return status;
}

void Host::RemoveDevice()
{
    IoCore& io = *core_->io;
    DeviceObject* device = io.pnpDevice;
    if (device == nullptr) {
        return;
    }
    const WDF_PNPPOWER_EVENT_CALLBACKS callbacks = device->PnpPower();
    const WDFDEVICE handle = device->HandleAs<WDFDEVICE>();
    const IoCore::PnpState state = io.pnpState;
    {
        IrqlScope passive(PASSIVE_LEVEL);
        if (state == IoCore::PnpState::Started) {
            if (callbacks.EvtDeviceSelfManagedIoSuspend != nullptr) {
                callbacks.EvtDeviceSelfManagedIoSuspend(handle);
            }
            device->SetWorkingState(false);
            if (callbacks.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
                callbacks.EvtDeviceD0ExitPreInterruptsDisabled(handle, WdfPowerDeviceD3Final);
            }
            if (callbacks.EvtDeviceD0Exit != nullptr) {
                callbacks.EvtDeviceD0Exit(handle, WdfPowerDeviceD3Final);
            }
        }
        if (state == IoCore::PnpState::Started || state == IoCore::PnpState::Suspended) {
            if (callbacks.EvtDeviceReleaseHardware != nullptr) {
                callbacks.EvtDeviceReleaseHardware(handle, nullptr);
            }
            if (callbacks.EvtDeviceSelfManagedIoFlush != nullptr) {
                callbacks.EvtDeviceSelfManagedIoFlush(handle);
            }
            if (callbacks.EvtDeviceSelfManagedIoCleanup != nullptr) {
                callbacks.EvtDeviceSelfManagedIoCleanup(handle);
            }
        }
    }
    device->EnableInterfaces(false);
    if (io.pnpDevice == device) {
        core_->objects.Delete(*device);
    }
    io.pnpDevice = nullptr;
    io.pnpState = IoCore::PnpState::None;
}

} // namespace platform
