/*
 * Client request sequences against the driver on the simulated line: the
 * input is a script of what clients and the world around them do. Clients
 * open and close the main device and the ports, write requests, read, cancel
 * and send control requests; the line gets noise, lost characters, a silent
 * device, a second master, a burst device that starts and stops; serial
 * ports hang up, the main device is suspended and resumed or removed, and a
 * client process exits with its requests pending. Time runs on the virtual
 * clock, at most kScriptTime of it for the script.
 *
 * What must hold after any script:
 * - every request completes exactly once, with a status its kind can have,
 *   and never returns more bytes than its buffer holds;
 * - a write reported as a success was answered: an answer to its address
 *   and command, to its master, ended on the line before the write completed;
 * - a read that succeeds returned something, and one that returns a whole
 *   frame reports STATUS_SUCCESS exactly when that frame's check byte is right;
 * - once the faults stop, every write completes, an open port serves its
 *   control requests, and a master port carries a clean transaction
 *   (skipped where the script left no way to: absurd timing, a refused
 *   serial request, the main device removed);
 * - an open port whose serial port went away leaves no port device behind;
 * - no framework object is left after the driver unloads.
 */
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <platform/Host.h>
#include <platform/IoManager.h>
#include <platform/Registry.h>

#include "FuzzInput.h"
#include "link/HartTrace.h"
#include "port/HartIoctl.h"
#include "serial/HartSerial.h"
#include "sim/HartFrame.h"
#include "sim/LineFaults.h"
#include "sim/SimulatedSystem.h"

namespace {

using platform::Ticks;
using sim::Bytes;
using namespace std::chrono_literals;

constexpr Ticks kScriptTime = std::chrono::duration_cast<Ticks>(60s);
constexpr std::size_t kMaxSteps = 48;
/* Once the faults stop: time for every outstanding write to end, and for a clean transaction. */
constexpr Ticks kSettleTime = std::chrono::duration_cast<Ticks>(120s);
constexpr Ticks kCleanTransactionTime = std::chrono::duration_cast<Ticks>(30s);
constexpr Ticks kRestartDelay = std::chrono::duration_cast<Ticks>(2500ms);
constexpr std::size_t kMaxOutstandingPerHandle = 4;
/* Characters kept per port for the answer check: more than the line carries in a script's longest write. */
constexpr std::size_t kHeardKept = 16384;

/* HART_FUZZ_TRACE=1 prints what a script does, =2 the driver's own trace
   besides: how to read a reproducer. */
const char* const kTraceSetting = std::getenv("HART_FUZZ_TRACE");
const bool kTrace = kTraceSetting != nullptr;
const bool kDriverTrace = kTrace && std::string(kTraceSetting) == "2";

template <typename... Args>
void Trace(const char* format, Args... args)
{
    if (kTrace) {
        std::fprintf(stderr, format, args...);
    }
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

double Seconds(Ticks t)
{
    return std::chrono::duration<double>(t).count();
}

Ticks Ms(std::int64_t ms)
{
    return std::chrono::duration_cast<Ticks>(std::chrono::milliseconds(ms));
}

enum class Kind { Write, Read, PortControl, MainControl };

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Write: return "write";
    case Kind::Read: return "read";
    case Kind::PortControl: return "port control request";
    default: return "main control request";
    }
}

/* What a request's answer on the line looks like: its master, address and command. */
struct AnswerKey {
    std::uint8_t masterBit = 0;
    Bytes address; /* without master and burst bits */
    std::uint8_t command = 0;
    bool operator==(const AnswerKey&) const = default;
};

struct Tracked {
    Kind kind;
    platform::PendingIo io;
    int handle;
    std::string port;
    ULONG code = 0;
    std::size_t capacity = 0; /* bytes written, or room for the answer */
    Ticks issued{};
    std::optional<AnswerKey> answer;
    bool settled = false;
};

struct Handle {
    int id;
    std::string port; /* "" for the main device */
    platform::File file;
    /* The last read filled its buffer: the next may continue the same frame. */
    bool mayContinue = false;
};

/* A character as a port's UART received it. */
struct Heard {
    std::uint8_t byte;
    Ticks end;
};

bool Allowed(Kind kind, ULONG code, NTSTATUS status)
{
    auto any = [status](std::initializer_list<NTSTATUS> statuses) {
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    };
    /* A handle whose device is gone, or that is closing, ends whatever it is sent. */
    if (any({STATUS_CANCELLED, STATUS_DELETE_PENDING})) {
        return true;
    }
    switch (kind) {
    case Kind::Write:
        return any({STATUS_SUCCESS, STATUS_TRANSACTION_TIMED_OUT, STATUS_INVALID_DEVICE_STATE,
                    STATUS_INVALID_PARAMETER});
    case Kind::Read:
        return any({STATUS_SUCCESS, STATUS_CRC_ERROR, STATUS_INVALID_DEVICE_STATE});
    case Kind::PortControl:
        if (any({STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_DEVICE_STATE, STATUS_NOT_SUPPORTED})) {
            return true;
        }
        switch (code) {
        case IOCTL_HART_SET_BAUD_RATE:
            return any({STATUS_DEVICE_NOT_READY, STATUS_INSUFFICIENT_RESOURCES, STATUS_INVALID_PARAMETER});
        case IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE:
            return any({STATUS_INVALID_PARAMETER, STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH});
        case IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE:
            return status == STATUS_UNSUCCESSFUL;
        default:
            return false;
        }
    default:
        return any({STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER, STATUS_NOT_SUPPORTED,
                    STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INVALID_DEVICE_STATE});
    }
}

/*
 * Every read of the input is a statement of its own, never two in one
 * expression: compilers order the arguments of a call differently, and the
 * corpus replayed by make test (built with g++) must take the road the fuzzer
 * (built with clang) took.
 */
class ClientRun {
public:
    explicit ClientRun(fuzz::FuzzInput& input) : input_(input) {}

    void Run()
    {
        Boot();
        for (std::size_t step = 0; step < kMaxSteps && !input_.Empty() && !exited_; step++) {
            Step();
            Collect();
        }
        if (exited_) {
            ExitWithRequestsPending();
        } else {
            Settle();
            CheckHealth();
            Shutdown();
        }
    }

private:
    /* ---- The system the script runs on ---- */

    void Boot()
    {
        const std::uint8_t setup = input_.Byte();
        sim::SystemOptions options;
        options.serialPorts = (setup & 1) ? 2 : 1;
        options.fieldDevices = 1 + (setup >> 1) % 3;
        options.burstDevice = (setup & 0x08) != 0;
        options.universalRevision = (setup & 0x10) ? 7 : 5;
        options.registry = ServiceKey((setup & 0x20) != 0);
        system_ = std::make_unique<sim::SimulatedSystem>(options);
        if (!kDriverTrace) {
            system_->Host().SetDebugSink([](ULONG, ULONG, std::string_view) {});
        }
        if (setup & 0x40) {
            AddDeviceMapEntries();
        }
        if (!NT_SUCCESS(system_->Load())) {
            fuzz::Fail("the driver did not load");
        }
        if (kDriverTrace) {
            HartSetDebugLevel(0xFF);
        }
        heard_.resize(static_cast<std::size_t>(options.serialPorts));
        for (int i = 0; i < options.serialPorts; i++) {
            system_->SerialPort(i).Tap([this, i](const sim::LineCharacter& c) {
                auto& heard = heard_[static_cast<std::size_t>(i)];
                heard.push_back({c.byte, c.end});
                if (heard.size() > kHeardKept) {
                    heard.pop_front();
                }
            });
        }
        removed_.assign(static_cast<std::size_t>(options.serialPorts), false);
        openAtRemoval_.assign(static_cast<std::size_t>(options.serialPorts), nullptr);
        refusedControls_.assign(static_cast<std::size_t>(options.serialPorts), false);
        OpenMain();
    }

    /* Timing values in the service key: the defaults, or what the input picks. */
    std::string ServiceKey(bool fromInput)
    {
        if (!fromInput) {
            return {};
        }
        static const char* const names[] = {"HOLD", "GAP", "RT1PRIMARY", "RT1SECONDARY", "RT2", "STO", "QUIETTIME",
                                            "BGTIMESTART", "BGTIMEERROR", "RT1DIFF", "PRE2",
                                            "MISSEDTRANSMITWINDOW"};
        static const std::uint32_t defaults[] = {3, 3, 34, 42, 8, 28, 34, 298, 296, 0, 3, 77};
        std::string text = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\HartDriver]\n";
        for (std::size_t i = 0; i < std::size(names); i++) {
            const std::uint8_t choice = input_.Byte();
            if (choice < 0xC0) {
                continue;
            }
            std::uint32_t value = defaults[i];
            switch (choice & 7) {
            case 0: value = 0; break;
            case 1: value = 0xFFFF; break;
            case 2: value = 0xFFFFFFFFu; break;
            case 3: value = defaults[i] + 1; break;
            case 4: value = defaults[i] > 1 ? defaults[i] - 1 : 1; break;
            default: value = defaults[i] + input_.Byte() % 8; break;
            }
            /* Liveness is only asked of the default timing: a longer hold, say, can leave a
               master no way into a burst device's pauses, and then never sending is right. */
            if (value != defaults[i]) {
                saneTiming_ = false;
            }
            char line[64];
            std::snprintf(line, sizeof(line), "\"%s\"=dword:%08x\n", names[i], value);
            text += line;
        }
        return text;
    }

    /* More device-map entries, well formed or not; their COM names stay clear of the simulated ports'. */
    void AddDeviceMapEntries()
    {
        platform::Registry& registry = system_->Host().GetRegistry();
        const std::uint32_t count = input_.Range(1, 3);
        for (std::uint32_t i = 0; i < count; i++) {
            static const char* const names[] = {"\\Device\\Serial7", "VCP0", "\\Device\\Nowhere", "\\"};
            static const ULONG types[] = {REG_SZ, REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};
            Bytes data = {'C', 0, 'O', 0, 'M', 0, '9', 0};
            const Bytes tail = input_.Chunk(12);
            data.insert(data.end(), tail.begin(), tail.end());
            if (input_.Bool()) {
                data.resize(input_.Range(0, static_cast<std::uint32_t>(data.size())));
            }
            const auto name = input_.Pick(names);
            const auto type = input_.Pick(types);
            registry.SetValue(platform::kSerialCommKey, name, type, data);
        }
    }

    /* ---- Script steps ---- */

    void Step()
    {
        static const char* const names[] = {"open main", "close main", "open port", "close port", "write", "write",
                                            "read", "cancel", "port control", "main control", "run", "run",
                                            "line fault", "second master", "burst mode", "serial port fault",
                                            "remove serial port", "suspend or resume", "close everything", "rare"};
        const std::uint8_t op = input_.Byte() % 20;
        Trace("%10.3f s: %s\n", Seconds(Host().Now()), names[op]);
        switch (op) {
        case 0: OpenMain(); break;
        case 1: CloseHandle(true); break;
        case 2: OpenPort(); break;
        case 3: CloseHandle(false); break;
        case 4:
        case 5: Write(); break;
        case 6: Read(); break;
        case 7: Cancel(); break;
        case 8: PortControl(); break;
        case 9: MainControl(); break;
        case 10:
        case 11: RunScript(); break;
        case 12: LineFault(); break;
        case 13: SecondMaster(); break;
        case 14: BurstMode(); break;
        case 15: SerialPortFault(); break;
        case 16: RemoveSerialPort(); break;
        case 17: Power(); break;
        case 18: CloseEverything(); break;
        default: Rare(); break;
        }
    }

    platform::Host& Host() { return system_->Host(); }

    std::string Suffix() { return input_.Range(1, 2) == 1 || removed_.size() < 2 ? "1" : "2"; }

    Handle* PickHandle(bool main)
    {
        std::vector<Handle*> matching;
        for (Handle& handle : handles_) {
            if (handle.port.empty() == main) {
                matching.push_back(&handle);
            }
        }
        if (matching.empty()) {
            return nullptr;
        }
        return matching[input_.Range(0, static_cast<std::uint32_t>(matching.size() - 1))];
    }

    std::size_t Outstanding(int handle) const
    {
        return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(), [handle](const Tracked& t) {
            return t.handle == handle && !t.settled;
        }));
    }

    void OpenMain()
    {
        auto opened = system_->OpenMain();
        if (NT_SUCCESS(opened.status)) {
            handles_.push_back({nextHandle_++, "", std::move(opened.file)});
        }
    }

    void OpenPort()
    {
        const std::string suffix = Suffix();
        auto opened = system_->OpenPort(suffix);
        if (NT_SUCCESS(opened.status)) {
            handles_.push_back({nextHandle_++, suffix, std::move(opened.file)});
        }
    }

    void CloseHandle(bool main)
    {
        Handle* handle = PickHandle(main);
        if (handle == nullptr) {
            return;
        }
        handle->file.Close();
        const int id = handle->id;
        handles_.erase(std::remove_if(handles_.begin(), handles_.end(), [id](const Handle& h) { return h.id == id; }),
                       handles_.end());
    }

    /* The client process ends: its handles close with their requests pending. */
    void CloseEverything()
    {
        for (Handle& handle : handles_) {
            handle.file.Close();
        }
        handles_.clear();
    }

    std::uint8_t PortMasterBit(const std::string& suffix)
    {
        PHARTDEVICE_CONTEXT record = system_->PortRecord(suffix);
        return record != nullptr ? record->HartProtocolInfo.MasterType & 0x80 : 0x80;
    }

    AnswerKey KeyOf(const Bytes& address, std::uint8_t command)
    {
        AnswerKey key;
        key.masterBit = address[0] & sim::kMasterBit;
        key.address = address;
        key.address[0] &= 0x3F;
        key.command = command;
        return key;
    }

    void Write()
    {
        Handle* handle = PickHandle(false);
        if (handle == nullptr || Outstanding(handle->id) >= kMaxOutstandingPerHandle) {
            return;
        }
        Bytes bytes;
        std::optional<AnswerKey> answer;
        const std::uint8_t form = input_.Byte();
        switch (form % 8) {
        case 0:
            bytes = input_.Chunk(40);
            break;
        case 1:
            /* Longer than any frame, up to the length whose line time would wrap a 16-bit wait. */
            bytes.assign(input_.Bool() ? 72780 : 268 + input_.Byte(), sim::kPreamble);
            break;
        default: {
            static const std::uint8_t commands[] = {0, 1, 2, 3, 11, 12, 13, 38, 48, 109, 200};
            sim::HartFrame frame;
            std::uint8_t master = (form & 0x80) ? PortMasterBit(handle->port) : (form & 0x40);
            const int device = static_cast<int>(input_.Range(0, 3));
            if ((form & 0x20) && device < system_->DeviceCount()) {
                frame.delimiter = sim::kDelimiterStx | sim::kLongAddressBit;
                frame.address = system_->Device(device).LongAddress();
                frame.address[0] |= master;
            } else {
                frame.delimiter = sim::kDelimiterStx;
                frame.address = {static_cast<std::uint8_t>(master | device)};
            }
            frame.command = input_.Pick(commands);
            frame.data = input_.Chunk((form & 0x10) ? 255 : 4);
            bytes = sim::OnLine(frame, static_cast<int>(input_.Range(2, 20)));
            answer = KeyOf(frame.address, frame.command);
            break;
        }
        }
        Track(Kind::Write, handle->file.WriteAsync(bytes), *handle, 0, bytes.size()).answer = answer;
    }

    void Read()
    {
        Handle* handle = PickHandle(false);
        if (handle == nullptr || Outstanding(handle->id) >= kMaxOutstandingPerHandle) {
            return;
        }
        static const std::size_t lengths[] = {0, 1, 4, 5, 19, 64, 300, 300, 300, 4096};
        const std::size_t length = input_.Pick(lengths);
        Track(Kind::Read, handle->file.ReadAsync(length), *handle, 0, length);
    }

    void Cancel()
    {
        std::vector<Tracked*> open;
        for (Tracked& tracked : requests_) {
            if (!tracked.settled) {
                open.push_back(&tracked);
            }
        }
        if (!open.empty()) {
            open[input_.Range(0, static_cast<std::uint32_t>(open.size() - 1))]->io.Cancel();
        }
    }

    void PortControl()
    {
        Handle* handle = PickHandle(false);
        if (handle == nullptr || Outstanding(handle->id) >= kMaxOutstandingPerHandle) {
            return;
        }
        static const ULONG codes[] = {IOCTL_HART_SET_BAUD_RATE, IOCTL_HART_GET_PROTOCOL, IOCTL_HART_SET_PROTOCOL,
                                      IOCTL_HART_SET_PROTOCOL,  IOCTL_HART_GET_READ_MASK, IOCTL_HART_SET_READ_MASK,
                                      IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE,
                                      IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, IOCTL_HART_ENUMERATE_DEVICES,
                                      0x9C400FFC};
        const ULONG code = input_.Pick(codes);
        Bytes data = input_.Chunk(6);
        if (code == IOCTL_HART_SET_PROTOCOL && data.size() >= 4) {
            /* Few repeats: a script's writes must be able to end within its time. */
            data[3] &= 3;
        }
        if (code == IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE && input_.Bool()) {
            events_.push_back(Host().Io().CreateEvent());
            const std::uint32_t value = events_.back().Handle();
            data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
            if (input_.Bool()) {
                events_.back().Close();
            }
        }
        const std::size_t output = input_.Range(0, 6);
        std::string bytes;
        for (std::uint8_t b : data) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02X", b);
            bytes += hex;
        }
        Trace("%10.3f s:   COM%s control %s, input%s\n", Seconds(Host().Now()), handle->port.c_str(),
              Hex(static_cast<NTSTATUS>(code)).c_str(), bytes.c_str());
        Track(Kind::PortControl, handle->file.DeviceControlAsync(code, data, output), *handle, code, output);
    }

    void MainControl()
    {
        Handle* handle = PickHandle(true);
        if (handle == nullptr || Outstanding(handle->id) >= kMaxOutstandingPerHandle) {
            return;
        }
        static const ULONG codes[] = {IOCTL_HART_ENUMERATE_DEVICES, IOCTL_HART_MODEM_INIT, IOCTL_HART_MODEM_INIT,
                                      IOCTL_HART_GET_PROTOCOL};
        const ULONG code = input_.Pick(codes);
        Bytes data;
        if (code == IOCTL_HART_MODEM_INIT) {
            HART_MODEM_INIT init{};
            static const std::u16string serials[] = {u"\\Device\\Serial0", u"\\Device\\Serial1", u"\\Device\\None"};
            const std::u16string serial = input_.Pick(serials);
            std::copy(serial.begin(), serial.end(), init.SerialDeviceName.Name);
            init.SerialDeviceName.Length = input_.Bool() ? static_cast<std::uint32_t>(serial.size() * 2)
                                                         : input_.Range(0, 300);
            const std::u16string com = u"COM" + std::u16string(1, static_cast<char16_t>(u'1' + input_.Range(0, 9)));
            std::copy(com.begin(), com.end(), init.ComName.Name);
            init.ComName.Length = input_.Bool() ? static_cast<std::uint32_t>(com.size() * 2 + 2) : input_.Range(0, 200);
            const auto* raw = reinterpret_cast<const std::uint8_t*>(&init);
            data.assign(raw, raw + sizeof(init));
            data.resize(input_.Bool() ? data.size() : input_.Range(0, static_cast<std::uint32_t>(data.size())));
        } else {
            data = input_.Chunk(2);
        }
        Track(Kind::MainControl, handle->file.DeviceControlAsync(code, data, 0), *handle, code, 0);
    }

    Tracked& Track(Kind kind, platform::PendingIo io, const Handle& handle, ULONG code, std::size_t capacity)
    {
        requests_.push_back({kind, std::move(io), handle.id, handle.port, code, capacity, Host().Now(), {}, false});
        return requests_.back();
    }

    void RunScript()
    {
        static const std::int64_t steps[] = {0, 5, 10, 30, 100, 300, 1000, 3000};
        const std::int64_t step = input_.Pick(steps);
        Ticks duration = Ms(step + input_.Byte());
        duration = std::min(duration, kScriptTime - scriptTime_);
        scriptTime_ += duration;
        Advance(duration);
    }

    sim::LineFaults& Faults()
    {
        if (!faults_) {
            faults_ = std::make_unique<sim::LineFaults>(system_->Line());
        }
        return *faults_;
    }

    void LineFault()
    {
        const Ticks now = Host().Now();
        const std::uint8_t kind = input_.Byte();
        const Ticks after = Ms(input_.Byte() * 4);
        const Ticks length = Ms(input_.Byte() * 8);
        switch (kind % 7) {
        case 0: Faults().NoiseBurstAt(now + after, input_.Range(1, 40)); break;
        case 1: Faults().PreambleFloodAt(now + after, input_.Range(1, 300)); break;
        case 2: Faults().GarbleBetween(now + after, now + after + length); break;
        case 3: Faults().DropBetween(now + after, now + after + length); break;
        case 4: {
            const int device = static_cast<int>(input_.Range(0, static_cast<std::uint32_t>(system_->DeviceCount() - 1)));
            const sim::StationId station = input_.Bool() ? system_->Device(device).Id() : system_->SerialPort(0).Station();
            const std::uint32_t characters = input_.Range(1, 20);
            Faults().GapInFrame(station, now + after, characters, Ms(input_.Range(5, 200)));
            break;
        }
        case 5: {
            sim::LineFaults::Random random;
            random.seed = input_.Dword();
            random.garbleRate = input_.Byte() / 2048.0;
            random.dropRate = input_.Byte() / 2048.0;
            const std::uint32_t noisy = input_.Range(0, 1);
            random.meanNoiseInterval = Ms(noisy * (50 + input_.Byte() * 20));
            random.until = now + length * 4;
            Faults().StartRandom(random);
            break;
        }
        default: {
            const int device = static_cast<int>(input_.Range(0, static_cast<std::uint32_t>(system_->DeviceCount() - 1)));
            Faults().SilenceBetween(system_->Device(device), now + after, now + after + length * 8);
            break;
        }
        }
    }

    void SecondMaster()
    {
        const std::uint8_t choice = input_.Byte();
        if (other_ && (choice & 1)) {
            other_->Stop();
            return;
        }
        if (other_ && (choice & 2)) {
            Host().RunUntilIdle();
            other_.reset();
            return;
        }
        sim::ScriptedMasterConfig config;
        config.primary = false;
        config.timing = (choice & 4) ? sim::ScriptedMasterConfig::Timing::Rude : sim::ScriptedMasterConfig::Timing::Polite;
        config.quietTime += Ticks{800'000};
        config.afterNoAnswer += Ticks{800'000};
        config.period = Ms(200 + input_.Byte() * 10);
        for (int device = 0; device < system_->DeviceCount(); device++) {
            sim::HartFrame request;
            request.delimiter = sim::kDelimiterStx;
            request.address = {static_cast<std::uint8_t>(device)};
            request.command = static_cast<std::uint8_t>(choice >> 4);
            config.requests.push_back(request);
        }
        other_ = std::make_unique<sim::ScriptedMaster>(system_->Line(), config);
    }

    void BurstMode() { system_->Device(0).SetBurstMode(input_.Bool()); }

    void SerialPortFault()
    {
        const std::size_t index = input_.Range(0, static_cast<std::uint32_t>(removed_.size() - 1));
        sim::SimulatedSerialPort& port = system_->SerialPort(static_cast<int>(index));
        static const NTSTATUS statuses[] = {STATUS_CANCELLED, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_READY,
                                            static_cast<NTSTATUS>(0xC000002BL), STATUS_TIMEOUT, STATUS_SUCCESS};
        switch (input_.Byte() % 6) {
        case 0: {
            const NTSTATUS status = input_.Pick(statuses);
            port.InjectReadStatus(status, input_.Bool());
            break;
        }
        case 1: port.RejectWrites(input_.Bool() ? std::optional<NTSTATUS>(input_.Pick(statuses)) : std::nullopt); break;
        case 2: port.DelayControls(Ms(input_.Byte())); break;
        case 3:
            port.writeCompletion = input_.Bool() ? sim::WriteCompletion::WhenQueued : sim::WriteCompletion::WhenSent;
            break;
        case 4: {
            static const ULONG codes[] = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL,
                                          IOCTL_SERIAL_PURGE, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_TIMEOUTS};
            const ULONG code = input_.Pick(codes);
            port.RejectIoControl(code, input_.Pick(statuses));
            refusedControls_[index] = true;
            break;
        }
        default:
            /* Characters from the line wait in the UART, so the next serial read completes at once. */
            system_->Line().Transmit(Faults().NoiseSource(), Bytes{0xFF, 0xFF, 0xFF});
            break;
        }
    }

    void RemoveSerialPort()
    {
        const std::size_t index = input_.Range(0, static_cast<std::uint32_t>(removed_.size() - 1));
        if (removed_[index]) {
            return;
        }
        removed_[index] = true;
        const std::string suffix = std::to_string(index + 1);
        /* Only an open target hears of the removal; a port device nobody opened stays. */
        PHARTDEVICE_CONTEXT record = system_->PortRecord(suffix);
        if (record != nullptr && record->IoTarget != nullptr &&
            WdfIoTargetGetState(record->IoTarget) != WdfIoTargetClosed) {
            openAtRemoval_[index] = record->Device;
        }
        system_->SerialPort(static_cast<int>(index)).RemoveAt(Host().Now());
    }

    void Power()
    {
        if (mainRemoved_) {
            return;
        }
        if (suspended_) {
            suspended_ = !NT_SUCCESS(Host().ResumeDevice());
        } else {
            suspended_ = NT_SUCCESS(Host().SuspendDevice());
        }
    }

    void Rare()
    {
        switch (input_.Byte() % 4) {
        case 0:
            if (!mainRemoved_) {
                Host().RemoveDevice();
                mainRemoved_ = true;
            }
            break;
        case 1:
            /* The process exits and the system tears the driver down under its open handles. */
            exited_ = true;
            break;
        default: {
            /* Two handles' requests at the same instant: a read and a write back to back. */
            Read();
            Write();
            break;
        }
        }
    }

    /* ---- Running and checking ---- */

    /* Runs the line, stopping at each completion so its time is known. */
    void Advance(Ticks duration)
    {
        const Ticks end = Host().Now() + duration;
        Host().RunUntilIdle();
        Collect();
        while (Host().Now() < end) {
            const bool completed = Host().GetDispatcher().RunUntil(
                [this] {
                    return std::any_of(requests_.begin(), requests_.end(),
                                       [](const Tracked& t) { return !t.settled && t.io.Done(); });
                },
                end - Host().Now());
            if (!completed) {
                Host().RunUntil(end);
            }
            Collect();
        }
    }

    void Collect()
    {
        for (Tracked& tracked : requests_) {
            if (!tracked.settled && tracked.io.Done()) {
                tracked.settled = true;
                Check(tracked);
            }
        }
    }

    void Check(const Tracked& tracked)
    {
        const platform::IoResult result = tracked.io.Result();
        const std::string what = std::string(KindName(tracked.kind)) + " on COM" + tracked.port;
        Trace("%10.3f s:   %s (code %s, %zu bytes, issued at %.3f s) completed with %s, %zu bytes\n",
              Seconds(Host().Now()), what.c_str(), Hex(static_cast<NTSTATUS>(tracked.code)).c_str(),
              tracked.capacity, Seconds(tracked.issued), Hex(result.status).c_str(),
              static_cast<std::size_t>(result.information));
        if (tracked.io.Completions() != 1) {
            fuzz::Fail(what + " completed " + std::to_string(tracked.io.Completions()) + " times");
        }
        if (!Allowed(tracked.kind, tracked.code, result.status)) {
            fuzz::Fail(what + " (code " + Hex(static_cast<NTSTATUS>(tracked.code)) + ") completed with " +
                       Hex(result.status));
        }
        if (result.information > tracked.capacity || result.data.size() > tracked.capacity) {
            fuzz::Fail(what + " reported " + std::to_string(result.information) + " bytes for a buffer of " +
                       std::to_string(tracked.capacity));
        }
        if (tracked.kind == Kind::Write && result.status == STATUS_SUCCESS && tracked.capacity != 0) {
            CheckAnswered(tracked, what);
        }
        if (tracked.kind == Kind::Read) {
            if (result.status == STATUS_SUCCESS && tracked.capacity != 0 && result.data.empty()) {
                fuzz::Fail(what + " reported success with nothing read");
            }
            CheckReadVerdict(tracked, result, what);
        }
        if (tracked.kind == Kind::PortControl && result.status == STATUS_SUCCESS &&
            tracked.code == IOCTL_HART_GET_PROTOCOL && (result.data.size() != 4 || result.data[1] != 0 ||
                                                        result.data[0] > 1 || (result.data[2] & 0x7F) != 0)) {
            fuzz::Fail("IOCTL_HART_GET_PROTOCOL returned settings a port cannot have");
        }
    }

    /* A confirmed write was answered: by its own device, to its own command, before it was confirmed. */
    void CheckAnswered(const Tracked& tracked, const std::string& what)
    {
        if (!tracked.answer) {
            return;
        }
        /* Two masters of one kind cannot tell their answers apart: the line is misconfigured, not the driver. */
        const bool otherMasterAlike =
            (other_ && tracked.answer->masterBit == 0) ||
            std::count_if(handles_.begin(), handles_.end(), [](const Handle& h) { return !h.port.empty(); }) > 1;
        if (otherMasterAlike) {
            return;
        }
        const Ticks now = Host().Now();
        std::string seen;
        if (!AnsweredOnPort(tracked, now, seen)) {
            fuzz::Fail(what + " (issued at " + std::to_string(Seconds(tracked.issued)) +
                       " s) reported success, but no answer to its command " + std::to_string(tracked.answer->command) +
                       " came before it completed" + seen);
        }
    }

    /*
     * Looks through what the port received for an answer frame that ended while
     * the write was outstanding: two preambles, an ACK delimiter, the header,
     * the data and a check byte, at any position, so that no parser's state can
     * make it miss one. An answer with a wrong check byte ends a transaction as
     * well (the read says STATUS_CRC_ERROR), and its address or command may be
     * what the noise made of them.
     */
    bool AnsweredOnPort(const Tracked& tracked, Ticks now, std::string& seen)
    {
        const std::size_t index = tracked.port == "2" ? 1 : 0;
        if (index >= heard_.size()) {
            return true;
        }
        const std::deque<Heard>& heard = heard_[index];
        for (std::size_t d = 2; d < heard.size(); d++) {
            const std::uint8_t delimiter = heard[d].byte;
            const std::size_t header = sim::HeaderLength(delimiter);
            if ((delimiter & 7) != sim::kDelimiterAck || header == 0 || heard[d - 1].byte != sim::kPreamble ||
                heard[d - 2].byte != sim::kPreamble || d + header >= heard.size()) {
                continue;
            }
            const std::size_t end = d + header + heard[d + header].byte + 1;
            if (end >= heard.size() || heard[end].end <= tracked.issued || heard[end].end > now) {
                continue;
            }
            Bytes address;
            std::uint8_t check = 0;
            for (std::size_t k = d; k <= end; k++) {
                check ^= heard[k].byte;
            }
            for (std::size_t k = 0; k < ((delimiter & 0x80) ? 5u : 1u); k++) {
                address.push_back(heard[d + 1 + k].byte);
            }
            const std::uint8_t command = heard[d + header - 1].byte;
            if (KeyOf(address, command) == *tracked.answer || check != 0) {
                return true;
            }
            char line[96];
            std::snprintf(line, sizeof(line), "; at %.3f s an answer to command %u, address %02X", Seconds(heard[end].end),
                          command, address[0]);
            seen += line;
        }
        return false;
    }

    void CheckReadVerdict(const Tracked& tracked, const platform::IoResult& result, const std::string& what)
    {
        auto handle = std::find_if(handles_.begin(), handles_.end(), [&](const Handle& h) { return h.id == tracked.handle; });
        const bool continuation = handle != handles_.end() && handle->mayContinue;
        if (handle != handles_.end() && (result.status == STATUS_SUCCESS || result.status == STATUS_CRC_ERROR)) {
            handle->mayContinue = !result.data.empty() && result.data.size() == tracked.capacity;
        }
        if (continuation || result.data.empty() || (result.status != STATUS_SUCCESS && result.status != STATUS_CRC_ERROR)) {
            return;
        }
        const Bytes& frame = result.data;
        const std::size_t header = sim::HeaderLength(frame[0]);
        if (header == 0 || frame.size() < header + 2 || frame.size() != header + 2 + frame[header]) {
            return;
        }
        std::uint8_t check = 0;
        for (std::uint8_t b : frame) {
            check ^= b;
        }
        if ((check == 0) != (result.status == STATUS_SUCCESS)) {
            fuzz::Fail(what + " returned a whole frame whose check byte is " + (check == 0 ? "right" : "wrong") +
                       " with " + Hex(result.status));
        }
    }

    /* The faults stop: what was outstanding must end. */
    void Settle()
    {
        DropLineHelpers();
        for (int device = 0; device < system_->DeviceCount(); device++) {
            system_->Device(device).Config().silent = false;
        }
        for (std::size_t i = 0; i < removed_.size(); i++) {
            system_->SerialPort(static_cast<int>(i)).RejectWrites(std::nullopt);
            system_->SerialPort(static_cast<int>(i)).DelayControls(Ticks::zero());
        }
        if (suspended_) {
            suspended_ = !NT_SUCCESS(Host().ResumeDevice());
        }
        /* After a resume the ports stay quiet for their restart delay (two seconds). */
        Advance(kRestartDelay);
        const Ticks limit = Host().Now() + kSettleTime;
        auto writesDone = [this] {
            return std::none_of(requests_.begin(), requests_.end(), [](const Tracked& t) {
                return !t.settled && t.kind != Kind::Read && !t.io.Done();
            });
        };
        while (!writesDone() && Host().Now() < limit) {
            Advance(std::min(Ms(1000), limit - Host().Now()));
        }
        for (const Tracked& tracked : requests_) {
            if (!tracked.settled && tracked.kind != Kind::Read && !tracked.io.Done()) {
                fuzz::Fail(std::string(KindName(tracked.kind)) + " on COM" + tracked.port +
                           " never completed, though the line is quiet again");
            }
        }
        for (Tracked& tracked : requests_) {
            if (!tracked.settled) {
                tracked.io.Cancel();
            }
        }
        Advance(Ms(1000));
        for (const Tracked& tracked : requests_) {
            if (!tracked.settled) {
                fuzz::Fail("a cancelled read on COM" + tracked.port + " never completed");
            }
        }
    }

    /*
     * The line's helpers cancel their scheduled tasks when they go, but the
     * dispatcher cannot cancel a task that is already due and waiting to run
     * (a run that stopped at a completion can leave such tasks behind): they
     * run first.
     */
    void DropLineHelpers()
    {
        Host().RunUntilIdle();
        faults_.reset();
        other_.reset();
    }

    /* The device is still one of the driver's port devices (a name can be claimed by another). */
    bool PortDeviceLives(WDFDEVICE device)
    {
        WDFDRIVER driver = Host().Driver();
        PDRIVER_CONTEXT context = driver != nullptr ? HartGetDriverContext(driver) : nullptr;
        if (context == nullptr || context->Collection == nullptr) {
            return false;
        }
        for (ULONG i = 0; i < WdfCollectionGetCount(context->Collection); i++) {
            if (WdfCollectionGetItem(context->Collection, i) == device) {
                return true;
            }
        }
        return false;
    }

    /* Where nothing rules it out, an open port serves its control requests and carries a transaction. */
    void CheckHealth()
    {
        for (std::size_t index = 0; index < removed_.size(); index++) {
            const std::string suffix = std::to_string(index + 1);
            if (removed_[index]) {
                /* A close that came before the removal took effect leaves the port
                   device without a target, and it rightly stays until the main device's
                   last close; one that still holds the gone serial port must not. */
                if (openAtRemoval_[index] != nullptr && PortDeviceLives(openAtRemoval_[index]) &&
                    HartGetDeviceContext(openAtRemoval_[index])->IoTarget != nullptr) {
                    fuzz::Fail("the port device of COM" + suffix + " outlived its serial port");
                }
                continue;
            }
            if (mainRemoved_ || !saneTiming_ || refusedControls_[index]) {
                continue;
            }
            CheckPortHealth(suffix);
        }
    }

    void CheckPortHealth(const std::string& suffix)
    {
        if (std::none_of(handles_.begin(), handles_.end(), [](const Handle& h) { return h.port.empty(); })) {
            OpenMain();
            if (handles_.empty() || !handles_.back().port.empty()) {
                fuzz::Fail("the main device does not open again");
            }
        }
        /* One master on the line for the transaction: close the other port. */
        for (Handle& handle : handles_) {
            if (!handle.port.empty() && handle.port != suffix) {
                handle.file.Close();
            }
        }
        handles_.erase(std::remove_if(handles_.begin(), handles_.end(),
                                      [&](const Handle& h) { return !h.port.empty() && h.port != suffix; }),
                       handles_.end());
        /* A handle whose port device was deleted (the main device's last close) stays dead. */
        for (Handle& handle : handles_) {
            if (handle.port == suffix &&
                handle.file.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).status == STATUS_DELETE_PENDING) {
                handle.file.Close();
                handle.port = "dead";
            }
        }
        handles_.erase(std::remove_if(handles_.begin(), handles_.end(), [](const Handle& h) { return h.port == "dead"; }),
                       handles_.end());
        auto port = std::find_if(handles_.begin(), handles_.end(), [&](const Handle& h) { return h.port == suffix; });
        if (port == handles_.end()) {
            auto opened = system_->OpenPort(suffix);
            if (!NT_SUCCESS(opened.status)) {
                fuzz::Fail("COM" + suffix + " does not open again: " + Hex(opened.status));
            }
            handles_.push_back({nextHandle_++, suffix, std::move(opened.file)});
            port = handles_.end() - 1;
        }
        const platform::IoResult protocol = port->file.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4);
        if (protocol.status != STATUS_SUCCESS || protocol.data.size() != 4) {
            fuzz::Fail("COM" + suffix + " is open but refuses IOCTL_HART_GET_PROTOCOL: " + Hex(protocol.status));
        }
        if (protocol.data[0] != HART_MODE_MASTER) {
            return;
        }
        sim::HartFrame frame;
        frame.delimiter = sim::kDelimiterStx;
        const int device = system_->DeviceCount() - 1;
        frame.address = {static_cast<std::uint8_t>((protocol.data[2] & 0x80) | device)};
        frame.command = 0;
        const Bytes request = sim::OnLine(frame, 5);
        const Ticks limit = Host().Now() + kCleanTransactionTime;
        while (Host().Now() < limit) {
            Tracked& write = Track(Kind::Write, port->file.WriteAsync(request), *port, 0, request.size());
            write.answer = KeyOf(frame.address, frame.command);
            while (!write.io.Done() && Host().Now() < limit) {
                Advance(Ms(100));
            }
            Collect();
            if (write.io.Result().status == STATUS_SUCCESS) {
                return;
            }
            if (!write.io.Done()) {
                break;
            }
        }
        fuzz::Fail("COM" + suffix + " carries no transaction on a quiet line");
    }

    void Shutdown()
    {
        for (Handle& handle : handles_) {
            handle.file.Close();
        }
        handles_.clear();
        Advance(Ms(100));
        events_.clear();
        system_->Unload();
        CheckAllEnded();
        system_.reset();
    }

    void ExitWithRequestsPending()
    {
        DropLineHelpers();
        system_->Unload();
        Host().RunUntilIdle();
        handles_.clear();
        Host().RunUntilIdle();
        events_.clear();
        CheckAllEnded();
        system_.reset();
    }

    void CheckAllEnded()
    {
        Collect();
        for (const Tracked& tracked : requests_) {
            if (!tracked.settled) {
                fuzz::Fail(std::string(KindName(tracked.kind)) + " on COM" + tracked.port +
                           " did not end when the driver unloaded");
            }
        }
        if (Host().LiveObjects() != 0) {
            std::string types;
            for (const auto& [type, count] : Host().LiveObjectsByType()) {
                types += " " + type + "=" + std::to_string(count);
            }
            fuzz::Fail("framework objects left after unload:" + types);
        }
    }

    fuzz::FuzzInput& input_;
    std::unique_ptr<sim::SimulatedSystem> system_;
    std::unique_ptr<sim::LineFaults> faults_;
    std::unique_ptr<sim::ScriptedMaster> other_;
    std::vector<Handle> handles_;
    std::vector<platform::ClientEvent> events_;
    std::vector<Tracked> requests_;
    std::vector<std::deque<Heard>> heard_;
    std::vector<bool> removed_;
    /* The port device whose target was open when its serial port went away. */
    std::vector<WDFDEVICE> openAtRemoval_;
    std::vector<bool> refusedControls_;
    int nextHandle_ = 1;
    Ticks scriptTime_{};
    bool saneTiming_ = true;
    bool suspended_ = false;
    bool mainRemoved_ = false;
    bool exited_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    HartSetDebugLevel(0);
    fuzz::FuzzInput input(data, size);
    ClientRun run(input);
    run.Run();
    return 0;
}
