#include "sim/SimulatedSystem.h"

#include <stdexcept>

#include "driver/HartDriver.h"
#include "port/HartIoctl.h"

namespace sim {

SimulatedSystem::SimulatedSystem(const SystemOptions& options)
{
    platform::HostOptions hostOptions;
    hostOptions.clock = options.clock;
    host_ = std::make_unique<platform::Host>(hostOptions);
    line_ = std::make_unique<HartLine>(*host_);
    if (!options.registry.empty()) {
        auto loaded = host_->GetRegistry().LoadText(options.registry, "configuration");
        if (!loaded) {
            throw std::invalid_argument(loaded.message);
        }
    }
    for (int i = 0; i < options.serialPorts; i++) {
        std::u16string name = u"\\Device\\Serial" + std::u16string(1, static_cast<char16_t>(u'0' + i));
        serialPorts_.push_back(SimulatedSerialPort::Create(*host_, *line_, name, "COM" + std::to_string(i + 1)));
    }
    monitor_ = std::make_unique<LineMonitor>(*line_);
    for (int i = 0; i < options.fieldDevices; i++) {
        FieldDeviceConfig config = DemoDeviceConfig(i, options.universalRevision);
        config.burstMode = options.burstDevice && i == 0;
        devices_.push_back(std::make_unique<FieldDevice>(*line_, config));
    }
    auto scripted = [this](bool primary) {
        ScriptedMasterConfig master;
        master.primary = primary;
        if (!primary) {
            /* The secondary's longer waits keep two masters from starting together. */
            master.quietTime += Ticks{800'000};
            master.afterNoAnswer += Ticks{800'000};
        }
        for (const auto& device : devices_) {
            /* Long frames: a device of revision 6 or later answers only command 0 in a short one. */
            HartFrame request;
            request.delimiter = kLongAddressBit | kDelimiterStx;
            request.address = device->LongAddress();
            request.command = primary ? 1 : 2;
            master.requests.push_back(request);
        }
        return std::make_unique<ScriptedMaster>(*line_, master);
    };
    if (options.scriptedPrimaryMaster) {
        scriptedPrimary_ = scripted(true);
    }
    if (options.scriptedSecondMaster) {
        scriptedMaster_ = scripted(false);
    }
}

PHARTDEVICE_CONTEXT SimulatedSystem::PortRecord(const std::string& suffix)
{
    WDFDRIVER driver = host_->Driver();
    if (driver == nullptr) {
        return nullptr;
    }
    PDRIVER_CONTEXT driverContext = HartGetDriverContext(driver);
    if (driverContext == nullptr || driverContext->Collection == nullptr) {
        return nullptr;
    }
    const std::u16string link = PortLinkName(suffix);
    ULONG count = WdfCollectionGetCount(driverContext->Collection);
    for (ULONG i = 0; i < count; i++) {
        auto port = static_cast<WDFDEVICE>(WdfCollectionGetItem(driverContext->Collection, i));
        PHARTDEVICE_CONTEXT record = HartGetDeviceContext(port);
        if (record != nullptr && std::u16string(reinterpret_cast<const char16_t*>(record->SymbolicLinkName)) == link) {
            return record;
        }
    }
    return nullptr;
}

SimulatedSystem::~SimulatedSystem()
{
    Unload();
    scriptedMaster_.reset();
    scriptedPrimary_.reset();
    monitor_.reset();
    devices_.clear();
    for (auto& port : serialPorts_) {
        port->Disconnect();
    }
    serialPorts_.clear();
    line_.reset();
    host_.reset();
}

NTSTATUS SimulatedSystem::Load()
{
    NTSTATUS status = DriverEntry(host_->DriverObject(), host_->RegistryPath());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    loaded_ = true;
    status = host_->AddDevice();
    if (NT_SUCCESS(status)) {
        status = host_->StartDevice();
    }
    return status;
}

void SimulatedSystem::Unload()
{
    if (!loaded_) {
        return;
    }
    loaded_ = false;
    if (host_->PnpDevice() != nullptr) {
        host_->RemoveDevice();
    }
    host_->UnloadDriver();
}

bool SimulatedSystem::UseSecondInstanceTiming(const std::string& suffix)
{
    PHARTDEVICE_CONTEXT record = PortRecord(suffix);
    if (record == nullptr) {
        return false;
    }
    constexpr USHORT kSecondaryDiff = 8;
    record->Rt1Diff = kSecondaryDiff;
    record->QuietTime = static_cast<USHORT>(record->Rt1Primary + kSecondaryDiff);
    record->BgTimeStart = static_cast<USHORT>(record->BgTimeBase + record->QuietTime + 1);
    record->BgTimeError = static_cast<USHORT>(record->BgTimeBase + record->QuietTime - 1);
    return true;
}

platform::IoManager::OpenResult SimulatedSystem::OpenMain()
{
    return host_->Io().OpenInterface(GUID_DEVINTERFACE_HART_MAIN);
}

std::u16string SimulatedSystem::PortLinkName(const std::string& suffix)
{
    return std::u16string(HART_PORT_LINK_NAME_PREFIX) + std::u16string(suffix.begin(), suffix.end());
}

platform::IoManager::OpenResult SimulatedSystem::OpenPort(const std::string& suffix)
{
    return host_->Io().Open(PortLinkName(suffix));
}

platform::IoManager::OpenResult SimulatedSystem::OpenMaster(const std::string& suffix, bool primary,
                                                            std::uint8_t retryCount)
{
    if (!primary && !UseSecondInstanceTiming(suffix)) {
        return {STATUS_OBJECT_NAME_NOT_FOUND, {}};
    }
    platform::IoManager::OpenResult opened = OpenPort(suffix);
    if (NT_SUCCESS(opened.status)) {
        const std::uint8_t protocol[] = {0, 0, static_cast<std::uint8_t>(primary ? 0x80 : 0x00), retryCount};
        opened.status = opened.file.DeviceControl(IOCTL_HART_SET_PROTOCOL, protocol, 0).status;
    }
    return opened;
}

} // namespace sim
