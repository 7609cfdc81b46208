/*
 * HartDriver on the simulated line, the road a client takes: the driver is
 * loaded from its service key, the main device is added and started, a
 * client opens it through its device interface (which creates a port device
 * for every COM port), opens the port device of COM1 through its link, asks
 * the field devices on the line for their identity and primary variable,
 * closes, and the driver unloads with nothing left behind. Times are the
 * simulated clock's.
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "link/HartTrace.h"
#include "port/HartIoctl.h"
#include "sim/SimulatedSystem.h"

namespace {

/* The driver's service key: tracing off at load, the link timing at its defaults. */
const char kConfiguration[] = R"([HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\HartDriver]
"DebugLevel"=dword:00000000
"RT1PRIMARY"=dword:00000022
"RT2"=dword:00000008
)";

/* Prints the driver's trace a line at a time, stamped with the simulated time. */
class TracePrinter {
public:
    explicit TracePrinter(platform::Host& host) : host_(host) {}
    void Take(std::string_view text)
    {
        for (char c : text) {
            if (c != '\n') {
                pending_ += c;
                continue;
            }
            std::printf("%9.2f ms    %s\n", static_cast<double>(host_.Now().count()) / 10000.0, pending_.c_str());
            pending_.clear();
        }
    }

private:
    platform::Host& host_;
    std::string pending_;
};

std::string Hex(const sim::Bytes& bytes)
{
    std::string text;
    char digits[4];
    for (auto b : bytes) {
        std::snprintf(digits, sizeof(digits), "%02X ", b);
        text += digits;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

double Milliseconds(platform::Host& host)
{
    return static_cast<double>(host.Now().count()) / 10000.0;
}

/* address: the polling address (one byte) or the long address (five). */
sim::Bytes Request(const sim::Bytes& address, std::uint8_t command)
{
    sim::HartFrame frame;
    frame.delimiter = address.size() == 5 ? sim::kLongAddressBit | sim::kDelimiterStx : sim::kDelimiterStx;
    frame.address = address;
    frame.address[0] |= sim::kMasterBit;
    frame.command = command;
    return sim::OnLine(frame, 5);
}

/* One transaction: the request written, the answer read; the answer's data, empty on failure. */
sim::Bytes Transact(sim::SimulatedSystem& system, platform::File& port, const sim::Bytes& address, std::uint8_t command)
{
    platform::Host& host = system.Host();
    sim::Bytes request = Request(address, command);
    auto read = port.ReadAsync(300);
    std::printf("%9.2f ms  write  %s\n", Milliseconds(host), Hex(request).c_str());
    platform::IoStatus written = port.Write(request);
    std::printf("%9.2f ms  write completed: status 0x%08X, %lu bytes\n", Milliseconds(host),
                static_cast<unsigned>(written.status), static_cast<unsigned long>(written.information));
    if (!written.Succeeded()) {
        read.Cancel();
        read.Wait();
        return {};
    }
    platform::IoResult answer = read.Wait();
    std::printf("%9.2f ms  read   %s\n", Milliseconds(host), Hex(answer.data).c_str());
    sim::FrameParser parser(platform::Ticks::max());
    sim::Bytes line = answer.data;
    line.insert(line.begin(), 2, sim::kPreamble);
    for (std::size_t i = 0; i < line.size(); i++) {
        if (auto frame = parser.Take(line[i], platform::Ticks(static_cast<long>(i)))) {
            return frame->data;
        }
    }
    return {};
}

void ShowIdentity(const sim::Bytes& data)
{
    if (data.size() < 14) {
        std::printf("           no identity\n");
        return;
    }
    std::printf("           response code %u, device status 0x%02X, manufacturer 0x%02X, device type 0x%02X, "
                "device id %02X%02X%02X\n",
                data[0], data[1], data[3], data[4], data[11], data[12], data[13]);
}

/* The long address command 0 answered, which every other command goes to. */
sim::Bytes LongAddress(const sim::Bytes& data)
{
    if (data.size() < 14) {
        return {};
    }
    return {static_cast<std::uint8_t>(data[3] & 0x3F), data[4], data[11], data[12], data[13]};
}

void ShowPrimaryVariable(const sim::Bytes& data)
{
    if (data.size() < 7) {
        std::printf("           no primary variable\n");
        return;
    }
    std::uint32_t bits = (std::uint32_t(data[3]) << 24) | (std::uint32_t(data[4]) << 16) |
                         (std::uint32_t(data[5]) << 8) | data[6];
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    std::printf("           primary variable %.2f (units code %u)\n", static_cast<double>(value), data[2]);
}

} // namespace

int main()
{
    std::printf("HartDriver demo: two field devices on a simulated HART line behind COM1\n\n");
    sim::SimulatedSystem system({.clock = platform::Clock::Virtual, .serialPorts = 1, .fieldDevices = 2,
                                 .registry = kConfiguration});
    platform::Host& host = system.Host();
    if (!NT_SUCCESS(system.Load())) {
        std::fprintf(stderr, "hartdemo: the driver did not load\n");
        return 1;
    }
    std::printf("%9.2f ms  driver loaded, main device started\n", Milliseconds(host));
    auto main = system.OpenMain();
    auto port = system.OpenPort("1");
    if (!NT_SUCCESS(main.status) || !NT_SUCCESS(port.status)) {
        std::fprintf(stderr, "hartdemo: could not open the main device (0x%08X) or COM1 (0x%08X)\n",
                     static_cast<unsigned>(main.status), static_cast<unsigned>(port.status));
        return 1;
    }
    std::printf("%9.2f ms  main device opened through its interface, COM1 opened through its link\n\n",
                Milliseconds(host));
    /* The master's states and the receiver's events of the first transaction, from the driver's trace. */
    TracePrinter printer(host);
    host.SetDebugSink([&](ULONG, ULONG, std::string_view text) { printer.Take(text); });
    for (std::uint8_t address = 0; address < 2; address++) {
        HartSetDebugLevel(address == 0 ? 0x20 : 0);
        std::printf("device at polling address %u: command 0, read unique identifier\n", address);
        sim::Bytes identity = Transact(system, port.file, {address}, 0);
        ShowIdentity(identity);
        sim::Bytes longAddress = LongAddress(identity);
        if (longAddress.empty()) {
            continue;
        }
        std::printf("device at its long address %s: command 1, read primary variable\n", Hex(longAddress).c_str());
        ShowPrimaryVariable(Transact(system, port.file, longAddress, 1));
        std::printf("\n");
    }
    port.file.Close();
    main.file.Close();
    system.Unload();
    std::printf("%9.2f ms  closed and unloaded; %zu framework objects left, %zu collisions on the line\n",
                Milliseconds(host), host.LiveObjects(), system.Line().Collisions());
    return host.LiveObjects() == 0 ? 0 : 1;
}
