#include "Session.h"

#include <platform/PosixSerialPort.h>
#include <platform/SerialDeviceMap.h>

#include "app/Frame.h"
#include "driver/HartDriver.h"
#include "port/HartIoctl.h"
#include "sim/ScriptedStation.h"
#include "ProgramHost.h"
#include "sim/SimulatedSystem.h"

namespace hartctl {

namespace {

constexpr const char* kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver";
/* How often the simulated secondary master polls. */
constexpr platform::Ticks kOtherMasterPeriod = std::chrono::seconds(2);

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::u16string PortLink(const std::string& comName)
{
    std::u16string link(HART_PORT_LINK_NAME_PREFIX);
    link += Wide(comName.size() > 3 ? comName.substr(3) : std::string());
    return link;
}

} // namespace

const char* StatusName(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return "STATUS_SUCCESS";
    case STATUS_PENDING:
        return "STATUS_PENDING";
    case STATUS_UNSUCCESSFUL:
        return "STATUS_UNSUCCESSFUL";
    case STATUS_INVALID_PARAMETER:
        return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE:
        return "STATUS_NO_SUCH_DEVICE";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_NO_MEMORY:
        return "STATUS_NO_MEMORY";
    case STATUS_ACCESS_DENIED:
        return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL:
        return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_NAME_COLLISION:
        return "STATUS_OBJECT_NAME_COLLISION";
    case STATUS_CRC_ERROR:
        return "STATUS_CRC_ERROR";
    case STATUS_SHARING_VIOLATION:
        return "STATUS_SHARING_VIOLATION";
    case STATUS_DELETE_PENDING:
        return "STATUS_DELETE_PENDING";
    case STATUS_INSUFFICIENT_RESOURCES:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_DEVICE_NOT_READY:
        return "STATUS_DEVICE_NOT_READY";
    case STATUS_NOT_SUPPORTED:
        return "STATUS_NOT_SUPPORTED";
    case STATUS_CANCELLED:
        return "STATUS_CANCELLED";
    case STATUS_OPEN_FAILED:
        return "STATUS_OPEN_FAILED";
    case STATUS_INVALID_DEVICE_STATE:
        return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_TRANSACTION_TIMED_OUT:
        return "STATUS_TRANSACTION_TIMED_OUT";
    default:
        return "an unknown status";
    }
}

Session::Session(const Options& options, bool realTime)
{
    std::optional<sim::SystemOptions> simulated;
    if (options.sim) {
        simulated.emplace();
        simulated->clock = realTime ? platform::Clock::Real : platform::Clock::Virtual;
        simulated->fieldDevices = options.simDevices;
        simulated->burstDevice = options.simBurst;
        simulated->scriptedSecondMaster = options.simSecondMaster;
        simulated->scriptedPrimaryMaster = options.simSecondMaster;
    }
    hosting_ = std::make_unique<tools::ProgramHost>(options.regFile, simulated);
    if (!hosting_->Failure().empty()) {
        loadFailure_ = Failure{STATUS_INVALID_PARAMETER, hosting_->Failure()};
        return;
    }
    host_ = hosting_->Host();
    system_ = hosting_->System();
    try {
        if (system_ == nullptr) {
            if (!options.tty.empty()) {
                platform::PosixSerialPort::Create(*host_, options.tty, u"\\Device\\Serial0", "COM1");
                ttyPaths_["\\Device\\Serial0"] = options.tty;
            } else {
                for (const auto& port : platform::RegisterSystemSerialPorts(
                         *host_, platform::ListSystemSerialPorts())) {
                    ttyPaths_["\\Device\\" + port.kernelName] = port.path;
                }
                platform::RegisterMappedTtys(*host_);
                for (const std::string& device : host_->GetRegistry().ValueNames(platform::kSerialCommKey)) {
                    if (device.rfind("\\Device\\tty", 0) == 0 && ttyPaths_.count(device) == 0) {
                        ttyPaths_[device] = "/dev/" + device.substr(8);
                    }
                }
            }
        }
    } catch (const std::exception& e) {
        loadFailure_ = Failure{STATUS_INVALID_PARAMETER, e.what()};
        return;
    }
    if (options.debugLevel) {
        host_->GetRegistry().SetDword(kServiceKey, "DebugLevel", *options.debugLevel);
    }
    NTSTATUS status = DriverEntry(host_->DriverObject(), host_->RegistryPath());
    if (NT_SUCCESS(status)) {
        loaded_ = true;
        status = host_->AddDevice();
    }
    if (NT_SUCCESS(status)) {
        status = host_->StartDevice();
    }
    if (!NT_SUCCESS(status)) {
        loadFailure_ = Failure{status, "the driver did not start"};
    }
}

Session::~Session()
{
    main_.Close();
    otherMaster_.reset();
    if (system_ != nullptr) {
        hosting_.reset();
        return;
    }
    if (loaded_) {
        if (host_->PnpDevice() != nullptr) {
            host_->RemoveDevice();
        }
        host_->UnloadDriver();
    }
    hosting_.reset();
}

std::vector<MapEntry> Session::SerialMap()
{
    std::vector<MapEntry> entries;
    for (platform::SerialMapEntry& mapped : platform::ReadSerialDeviceMap(host_->GetRegistry())) {
        MapEntry entry;
        if (auto path = ttyPaths_.find(mapped.deviceName); path != ttyPaths_.end()) {
            entry.path = path->second;
        }
        entry.deviceName = std::move(mapped.deviceName);
        entry.comName = std::move(mapped.comName);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<Failure> Session::OpenMain()
{
    if (main_.IsOpen()) {
        return std::nullopt;
    }
    auto opened = host_->Io().OpenInterface(GUID_DEVINTERFACE_HART_MAIN);
    if (!NT_SUCCESS(opened.status)) {
        return Failure{opened.status, "could not open the driver's main device"};
    }
    main_ = std::move(opened.file);
    return std::nullopt;
}

bool Session::PortDeviceExists(const std::string& comName)
{
    return host_->ObjectNameExists(PortLink(comName));
}

std::optional<ULONG> Session::SerialBaudRate(const std::string& comName)
{
    for (const MapEntry& entry : SerialMap()) {
        if (entry.comName != comName) {
            continue;
        }
        std::shared_ptr<platform::LowerDevice> device = host_->FindLowerDevice(Wide(entry.deviceName));
        if (auto* tty = dynamic_cast<platform::PosixSerialPort*>(device.get())) {
            return tty->State().baudRate;
        }
        if (auto* uart = dynamic_cast<sim::SimulatedSerialPort*>(device.get())) {
            return uart->Settings().baudRate;
        }
    }
    return std::nullopt;
}

std::optional<Failure> Session::OpenPort(const std::string& comName, platform::File& port, std::string& opened)
{
    std::vector<MapEntry> map = SerialMap();
    if (map.empty()) {
        return Failure{STATUS_OBJECT_NAME_NOT_FOUND,
                       "there is no serial port to use: give one with --tty PATH, or try --sim"};
    }
    if (auto failure = OpenMain()) {
        return failure;
    }
    const MapEntry* entry = nullptr;
    for (const MapEntry& candidate : map) {
        if (comName.empty() || candidate.comName == comName) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) {
        return Failure{STATUS_OBJECT_NAME_NOT_FOUND,
                       "there is no port " + comName + " (hartctl ports lists them)"};
    }
    opened = entry->comName;
    auto result = host_->Io().Open(PortLink(entry->comName));
    if (NT_SUCCESS(result.status)) {
        port = std::move(result.file);
        return std::nullopt;
    }
    std::string where = entry->path.empty() ? entry->comName : entry->comName + " (" + entry->path + ")";
    switch (result.status) {
    case STATUS_SHARING_VIOLATION:
    case STATUS_ACCESS_DENIED:
        return Failure{result.status, "the serial port " + where + " is in use by another program or not open to you"};
    case STATUS_NO_SUCH_DEVICE:
        return Failure{result.status, "the serial port " + where + " does not exist"};
    case STATUS_INVALID_DEVICE_REQUEST:
        return Failure{result.status, where + " is not a terminal"};
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return Failure{result.status, "the driver made no port device for " + where};
    default:
        return Failure{result.status, "could not open the serial port " + where};
    }
}

void Session::StartOtherMaster()
{
    if (system_ == nullptr || otherMaster_ != nullptr) {
        return;
    }
    otherMaster_ = std::make_unique<sim::ScriptedStation>(system_->Line(), "secondary master");
    PollAsOtherMaster();
}

void Session::PollAsOtherMaster()
{
    /* At the long address: device 0 answers nothing else in a short frame. */
    const sim::Bytes id = system_->Device(0).LongAddress();
    hart::Request request;
    request.address = hart::Address::Long({id[0], id[1], id[2], id[3], id[4]});
    request.command = 1;
    request.primaryMaster = false;
    otherMaster_->SendAfter(kOtherMasterPeriod, hart::BuildRequest(request));
    host_->GetDispatcher().Schedule(host_->Now() + kOtherMasterPeriod, [this] {
        if (otherMaster_ != nullptr) {
            PollAsOtherMaster();
        }
    });
}

} // namespace hartctl
