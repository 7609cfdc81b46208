#include "Station.h"

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include <platform/PosixSerialPort.h>
#include <platform/SerialDeviceMap.h>

#include "driver/HartDriver.h"
#include "port/HartIoctl.h"
#include "ProgramHost.h"
#include "sim/SimulatedSystem.h"

namespace hartd {

namespace {

constexpr const char* kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver";

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

Station::Station(const Options& options)
{
    std::optional<sim::SystemOptions> simulated;
    if (options.sim) {
        simulated.emplace();
        simulated->clock = platform::Clock::Real;
        simulated->fieldDevices = options.simDevices;
        simulated->burstDevice = options.simBurst;
    }
    hosting_ = std::make_unique<tools::ProgramHost>(options.regFile, simulated);
    if (!hosting_->Failure().empty()) {
        failure_ = hosting_->Failure();
        return;
    }
    host_ = hosting_->Host();
    system_ = hosting_->System();
    try {
        if (system_ == nullptr && !options.ttys.empty()) {
            for (std::size_t i = 0; i < options.ttys.size(); i++) {
                const std::string device = "\\Device\\Serial" + std::to_string(i);
                NTSTATUS status = STATUS_SUCCESS;
                if (!platform::PosixSerialPort::Create(*host_, options.ttys[i], Wide(device),
                                                       "COM" + std::to_string(i + 1), &status)) {
                    failure_ = "could not register " + options.ttys[i] + " (" + StatusText(status) + ")";
                    return;
                }
                ttyPaths_[device] = options.ttys[i];
            }
        } else if (system_ == nullptr) {
            for (const auto& port : platform::RegisterSystemSerialPorts(*host_, platform::ListSystemSerialPorts())) {
                /* Looked for there again after a removal: a returning adapter may get another name. */
                ttyPaths_["\\Device\\" + port.kernelName] = platform::StableTtyPath(port.path);
            }
            platform::RegisterMappedTtys(*host_);
        }
    } catch (const std::exception& e) {
        failure_ = e.what();
        return;
    }
    if (options.debugLevel) {
        host_->GetRegistry().SetDword(kServiceKey, "DebugLevel", *options.debugLevel);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (system_ != nullptr) {
        loaded_ = true;
        status = system_->Load();
    } else {
        status = DriverEntry(host_->DriverObject(), host_->RegistryPath());
        if (NT_SUCCESS(status)) {
            loaded_ = true;
            status = host_->AddDevice();
        }
        if (NT_SUCCESS(status)) {
            status = host_->StartDevice();
        }
    }
    if (!NT_SUCCESS(status)) {
        failure_ = "the driver did not start (" + StatusText(status) + ")";
        return;
    }
    for (const std::string& device : host_->GetRegistry().ValueNames(platform::kSerialCommKey)) {
        if (auto path = ttyPaths_.find(device); path != ttyPaths_.end()) {
            const std::string comName = host_->GetRegistry().GetString(platform::kSerialCommKey, device).value_or("");
            terminals_[comName] = Terminal{device, path->second};
        }
    }
    auto opened = host_->Io().OpenInterface(GUID_DEVINTERFACE_HART_MAIN);
    if (!NT_SUCCESS(opened.status)) {
        failure_ = "could not open the driver's main device (" + StatusText(opened.status) + ")";
        return;
    }
    main_ = std::move(opened.file);
}

Station::~Station()
{
    Unload();
    hosting_.reset();
}

std::vector<PortEntry> Station::Ports()
{
    std::vector<PortEntry> ports;
    for (const platform::SerialMapEntry& mapped : platform::ReadSerialDeviceMap(host_->GetRegistry())) {
        PortEntry entry;
        entry.comName = mapped.comName;
        if (auto path = ttyPaths_.find(mapped.deviceName); path != ttyPaths_.end()) {
            entry.path = path->second;
        }
        ports.push_back(entry);
    }
    return ports;
}

std::optional<std::string> Station::OpenPort(const std::string& comName, platform::File& port)
{
    std::u16string link(HART_PORT_LINK_NAME_PREFIX);
    link += Wide(comName.size() > 3 ? comName.substr(3) : std::string());
    auto opened = host_->Io().Open(link);
    if (NT_SUCCESS(opened.status)) {
        port = std::move(opened.file);
        return std::nullopt;
    }
    switch (opened.status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return "the driver has no port device for " + comName;
    case STATUS_SHARING_VIOLATION:
    case STATUS_ACCESS_DENIED:
        return comName + " is in use by another program or not open to this user (is it in the dialout group?)";
    case STATUS_NO_SUCH_DEVICE:
        return "the serial port of " + comName + " does not exist";
    default:
        return "could not open " + comName + " (" + StatusText(opened.status) + ")";
    }
}

bool Station::Replug(const std::string& comName)
{
    auto terminal = terminals_.find(comName);
    if (terminal == terminals_.end() || !main_.IsOpen() || access(terminal->second.path.c_str(), R_OK | W_OK) != 0) {
        return false;
    }
    const std::u16string deviceName = Wide(terminal->second.deviceName);
    /* Still registered: the old port has not gone yet, or it is back already. */
    if (host_->ObjectNameExists(deviceName)) {
        return false;
    }
    if (!platform::PosixSerialPort::Create(*host_, terminal->second.path, deviceName, comName)) {
        return false;
    }
    HART_MODEM_INIT init{};
    const std::u16string com = Wide(comName) + u'\0';
    std::copy(deviceName.begin(), deviceName.end(), init.SerialDeviceName.Name);
    init.SerialDeviceName.Length = static_cast<uint32_t>(deviceName.size() * sizeof(char16_t));
    std::copy(com.begin(), com.end(), init.ComName.Name);
    init.ComName.Length = static_cast<uint32_t>(com.size() * sizeof(char16_t));
    std::vector<std::uint8_t> input(sizeof(init));
    std::memcpy(input.data(), &init, sizeof(init));
    return main_.DeviceControl(IOCTL_HART_MODEM_INIT, input, 0).Succeeded();
}

std::size_t Station::Unload()
{
    if (host_ == nullptr) {
        return 0;
    }
    main_.Close();
    if (system_ != nullptr) {
        system_->Unload();
    } else if (loaded_) {
        if (host_->PnpDevice() != nullptr) {
            host_->RemoveDevice();
        }
        host_->UnloadDriver();
    }
    loaded_ = false;
    return host_->LiveObjects();
}

} // namespace hartd
