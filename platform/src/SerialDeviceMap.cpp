#include <platform/SerialDeviceMap.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include <platform/Host.h>
#include <platform/PosixSerialPort.h>

namespace platform {

namespace {

namespace fs = std::filesystem;

struct Family {
    std::string_view prefix;
    unsigned firstCom;
};

/* Blocks of a hundred keep each family's numbers apart, so plugging in an
   adapter never renumbers the others. */
constexpr Family kFamilies[] = {
    {"ttyS", 1}, {"ttyUSB", 101}, {"ttyACM", 201}, {"ttyAMA", 301}, {"ttyXRUSB", 401},
};
constexpr unsigned kOtherFirstCom = 1001;

/* The number at the end of a kernel name after its letters; nullopt when there is none. */
std::optional<unsigned> TrailingNumber(std::string_view name, std::string_view prefix)
{
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::string_view digits = name.substr(prefix.size());
    unsigned value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value >= 100) {
        return std::nullopt;
    }
    return value;
}

std::string ReadLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

unsigned ComNumber(const std::string& comName)
{
    unsigned value = 0;
    std::from_chars(comName.data() + 3, comName.data() + comName.size(), value);
    return value;
}

std::u16string Wide(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

} // namespace

std::string StableComName(std::string_view kernelName)
{
    for (const Family& family : kFamilies) {
        if (auto number = TrailingNumber(kernelName, family.prefix)) {
            return "COM" + std::to_string(family.firstCom + *number);
        }
    }
    return {};
}

std::string StableTtyPath(const std::string& path, const std::string& byIdDirectory)
{
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    if (error) {
        return path;
    }
    std::vector<std::string> links;
    for (const fs::directory_entry& entry : fs::directory_iterator(byIdDirectory, error)) {
        std::error_code linkError;
        if (entry.is_symlink(linkError) && fs::canonical(entry.path(), linkError) == target && !linkError) {
            links.push_back(entry.path().string());
        }
    }
    return links.empty() ? path : *std::min_element(links.begin(), links.end());
}

std::vector<SystemSerialPort> ListSystemSerialPorts(const std::string& sysClassTty, const std::string& devDirectory)
{
    std::vector<SystemSerialPort> ports;
    std::error_code error;
    fs::directory_iterator entries(sysClassTty, error);
    if (error) {
        return ports;
    }
    for (const fs::directory_entry& entry : entries) {
        const fs::path& tty = entry.path();
        /* Virtual consoles and pseudo-terminals have no device, hence no driver. */
        fs::path driverLink = tty / "device" / "driver";
        if (!fs::exists(driverLink, error)) {
            continue;
        }
        fs::path typeFile = tty / "type";
        if (fs::exists(typeFile, error) && ReadLine(typeFile) == "0") {
            continue;
        }
        SystemSerialPort port;
        port.kernelName = tty.filename().string();
        port.path = (fs::path(devDirectory) / port.kernelName).string();
        port.driver = fs::read_symlink(driverLink, error).filename().string();
        port.comName = StableComName(port.kernelName);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const SystemSerialPort& a, const SystemSerialPort& b) { return a.kernelName < b.kernelName; });
    unsigned next = kOtherFirstCom;
    for (SystemSerialPort& port : ports) {
        if (port.comName.empty()) {
            port.comName = "COM" + std::to_string(next++);
        }
    }
    std::stable_sort(ports.begin(), ports.end(), [](const SystemSerialPort& a, const SystemSerialPort& b) {
        return ComNumber(a.comName) < ComNumber(b.comName);
    });
    return ports;
}

std::vector<SystemSerialPort> RegisterSystemSerialPorts(Host& host, const std::vector<SystemSerialPort>& ports)
{
    std::vector<SystemSerialPort> registered;
    Registry& registry = host.GetRegistry();
    for (const SystemSerialPort& port : ports) {
        std::string deviceName = "\\Device\\";
        deviceName += port.kernelName;
        std::optional<std::string> configured = registry.GetString(kSerialCommKey, deviceName);
        NTSTATUS status = STATUS_SUCCESS;
        if (!PosixSerialPort::Create(host, port.path, Wide(deviceName), configured.value_or(port.comName), &status)) {
            continue;
        }
        registered.push_back(port);
        if (configured) {
            registered.back().comName = *configured;
        }
    }
    return registered;
}

std::vector<SerialMapEntry> ReadSerialDeviceMap(Registry& registry)
{
    std::vector<SerialMapEntry> entries;
    if (!registry.KeyExists(kSerialCommKey)) {
        return entries;
    }
    for (const std::string& deviceName : registry.ValueNames(kSerialCommKey)) {
        entries.push_back({deviceName, registry.GetString(kSerialCommKey, deviceName).value_or("")});
    }
    return entries;
}

std::size_t RegisterMappedTtys(Host& host, const std::string& devDirectory)
{
    std::size_t count = 0;
    for (const SerialMapEntry& entry : ReadSerialDeviceMap(host.GetRegistry())) {
        const std::string& deviceName = entry.deviceName;
        constexpr std::string_view kPrefix = "\\Device\\";
        if (deviceName.size() <= kPrefix.size() || deviceName.compare(0, kPrefix.size(), kPrefix) != 0 ||
            host.ObjectNameExists(Wide(deviceName))) {
            continue;
        }
        std::string ttyName = deviceName.substr(kPrefix.size());
        if (ttyName.compare(0, 3, "tty") != 0 || ttyName.find('/') != std::string::npos) {
            continue;
        }
        if (entry.comName.empty()) {
            continue;
        }
        std::string path = (fs::path(devDirectory) / ttyName).string();
        if (PosixSerialPort::Create(host, path, Wide(deviceName), entry.comName)) {
            count++;
        }
    }
    return count;
}

} // namespace platform
