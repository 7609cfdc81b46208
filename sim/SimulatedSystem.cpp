#include "sim/SimulatedSystem.h"

#include <stdexcept>

#include "driver/HartDriver.h"

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
    for (int i = 0; i < options.fieldDevices; i++) {
        FieldDeviceConfig config;
        config.pollingAddress = static_cast<std::uint8_t>(i);
        config.deviceId = 0x100000u + static_cast<std::uint32_t>(i);
        config.tag = "TT-10" + std::to_string(i);
        devices_.push_back(std::make_unique<FieldDevice>(*line_, config));
    }
}

SimulatedSystem::~SimulatedSystem()
{
    Unload();
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

} // namespace sim
