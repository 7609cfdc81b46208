#include "Commands.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>

#include <nlohmann/json.hpp>

#include "Burst.h"
#include "Exchange.h"
#include "HartIpClient.h"
#include "Output.h"
#include "Poll.h"
#include "Session.h"
#include "app/Addressing.h"
#include "app/Frame.h"
#include "app/Transaction.h"
#include "app/Universal.h"
#include "port/HartIoctl.h"

namespace hartctl {

namespace {

using hart::Bytes;
using hart::Frame;
using hart::FrameKind;
using hart::Hex;
using hart::Request;
using nlohmann::json;
using platform::File;
using platform::Ticks;

/* How long a passed-on rate change may take to reach the serial port, and how often to look. */
constexpr Ticks kSettleTime = std::chrono::milliseconds(200);
constexpr Ticks kSettleStep = std::chrono::milliseconds(10);

std::atomic<bool> g_stop{false};

/* "device is busy, delayed response running": the answers that made the request go out again. */
std::string RepeatedBecause(const hart::TransactionResult& result)
{
    std::string text;
    for (const hart::Interim& interim : result.interim) {
        if (interim.attempt < result.attempts) {
            text += (text.empty() ? "" : ", ") + interim.name;
        }
    }
    return text;
}

Request RequestTo(const hart::Address& address, const hart::Command& command, const Options& options)
{
    Request request;
    request.address = address;
    request.command = command.number;
    request.data = command.data;
    request.primaryMaster = !options.secondary;
    return request;
}


/* The data given, or for identify-by-tag without any, the tag asked for. */
Bytes DataFor(const Options& options, const hart::Target& target)
{
    Bytes data;
    for (const std::string& bytes : options.data) {
        Bytes more = *hart::ParseHex(bytes);
        data.insert(data.end(), more.begin(), more.end());
    }
    if (data.empty() && options.hartCommand == 11 && target.kind == hart::Target::Kind::Tag) {
        data = hart::ReadUniqueIdentifierByTag(target.tag).value_or(hart::Command{}).data;
    }
    if (data.empty() && options.hartCommand == 21 && target.kind == hart::Target::Kind::LongTag) {
        data = hart::ReadUniqueIdentifierByLongTag(target.tag).value_or(hart::Command{}).data;
    }
    return data;
}

/* comName: where the device was reached, a COM name or the HART-IP server. */
int SendThrough(DeviceLink& device, const std::string& comName, const Options& options, std::ostream& out,
                std::ostream& err)
{
    const std::uint16_t number = static_cast<std::uint16_t>(options.hartCommand);
    Reply reply = device.Ask(number, DataFor(options, device.Target()), options.preambles);
    if (!reply.exchange) {
        PrintFailure(*reply.failure, options.json, out, err);
        return kFailed;
    }
    const std::optional<Failure>& failure = reply.failure;
    const hart::TransactionResult& exchange = *reply.exchange;
    const bool answered = exchange.answer.has_value();
    /* Busy to the end, or a delayed response that did not end well: the device answered, but not the command. */
    const bool unfinished = exchange.outcome != hart::Outcome::Answered && !failure;
    const std::string repeatedBecause = RepeatedBecause(exchange);
    if (options.json) {
        json result{{"port", comName},
                    {"request", Hex(exchange.request)},
                    {"outcome", hart::OutcomeName(exchange.outcome)},
                    {"attempts", exchange.attempts}};
        if (answered) {
            result["answer"] = Hex(exchange.answerBytes);
            result["address"] = exchange.answer->AddressText();
            result["command"] = exchange.answer->command;
            result["check_byte_ok"] = exchange.answer->checkByteOk;
            result.update(AnswerJson(*exchange.answer));
        }
        if (!exchange.interim.empty()) {
            json interim = json::array();
            for (const hart::Interim& seen : exchange.interim) {
                interim.push_back(json{{"attempt", seen.attempt}, {"response_code", seen.code}, {"response", seen.name}});
            }
            result["busy"] = interim;
        }
        if (!exchange.setAside.empty()) {
            json ignored = json::array();
            for (const Bytes& frame : exchange.setAside) {
                ignored.push_back(Hex(frame));
            }
            result["ignored"] = ignored;
        }
        if (failure) {
            PrintFailure(*failure, false, out, err);
            result["error"] = failure->sentence;
            result["status"] = StatusName(failure->status);
        } else if (unfinished) {
            result["error"] = exchange.why;
        }
        out << result.dump(2) << "\n";
    } else {
        out << "request  " << Hex(exchange.request) << "\n";
        for (const Bytes& frame : exchange.setAside) {
            out << "ignored  " << Hex(frame) << " (not the answer to this request)\n";
        }
        if (!repeatedBecause.empty()) {
            out << "busy     repeated " << exchange.Repeats() << (exchange.Repeats() == 1 ? " time" : " times")
                << " after: " << repeatedBecause << "\n";
        }
        if (answered) {
            out << "answer   " << Hex(exchange.answerBytes) << "\n";
            out << hart::KindName(exchange.answer->Kind()) << " from " << exchange.answer->AddressText() << ", "
                << DescribeAnswer(*exchange.answer) << "\n";
        }
        if (failure) {
            PrintFailure(*failure, false, out, err);
        }
    }
    if (failure) {
        return kFailed;
    }
    if (unfinished) {
        if (!options.json) {
            err << "hartctl: " << exchange.why << "\n";
        }
        return kRefused;
    }
    if (exchange.answer->data.empty() || exchange.answer->data[0] != 0) {
        if (!options.json) {
            err << "hartctl: the device refused the command: "
                << (exchange.answer->data.empty() ? std::string("no response code")
                                                  : ResponseText(exchange.answer->command, exchange.answer->data[0]))
                << "\n";
        }
        return kRefused;
    }
    return 0;
}

int IdentifyWith(const TransactFn& transact, const std::string& comName, const Options& options, std::ostream& out,
                 std::ostream& err)
{
    json devices = json::array();
    int found = 0;
    if (!options.json) {
        out << "ADDR  MANUF  TYPE  DEVICE ID  LONG ADDRESS    REV  TAG\n";
    }
    /* A scan of 64 addresses takes a minute: on a terminal, tell how far it is, on one line written over. */
    bool progressShown = false;
    auto clearProgress = [&] {
        if (progressShown) {
            err << "\r\033[K" << std::flush;
            progressShown = false;
        }
    };
    /* Ctrl-C sets the stop flag rather than ending the program: the scan ends with what it found so far. */
    int interruptedAt = -1;
    for (int address = 0; address <= options.lastAddress; address++) {
        if (g_stop) {
            interruptedAt = address;
            break;
        }
        if (options.progress) {
            err << "\r\033[Kscanning polling address " << address << " of 0-" << options.lastAddress << ", " << found
                << (found == 1 ? " device" : " devices") << " found" << std::flush;
            progressShown = true;
        }
        Request request = RequestTo(hart::Address::Polling(static_cast<std::uint8_t>(address)),
                                    hart::ReadUniqueIdentifier(), options);
        std::optional<Failure> failure;
        const hart::TransactionResult exchange = transact(request, failure);
        if (failure && failure->status != STATUS_TRANSACTION_TIMED_OUT && failure->status != STATUS_CRC_ERROR) {
            clearProgress();
            PrintFailure(*failure, options.json, out, err);
            return kFailed;
        }
        if (!Succeeded(exchange)) {
            continue;
        }
        std::optional<hart::Identity> identity = hart::DecodeIdentity(exchange.answer->Payload());
        if (!identity) {
            continue;
        }
        /* The tag needs the long address: command 13 is not answered at a polling address by every revision. */
        Request tagRequest = RequestTo(identity->LongAddress(), hart::ReadTagDescriptorDate(), options);
        std::optional<Failure> tagFailure;
        const hart::TransactionResult tagExchange = transact(tagRequest, tagFailure);
        std::string tag;
        if (Succeeded(tagExchange)) {
            if (auto tdd = hart::DecodeTagDescriptorDate(tagExchange.answer->Payload())) {
                tag = tdd->tag;
            }
        }
        found++;
        clearProgress();
        const std::string longAddress = identity->LongAddress().Text();
        if (options.json) {
            devices.push_back(json{{"address", address},
                                   {"manufacturer", identity->manufacturer},
                                   {"device_type", identity->deviceType},
                                   {"device_id", identity->deviceId},
                                   {"long_address", longAddress},
                                   {"universal_revision", identity->universalRevision},
                                   {"tag", tag}});
            continue;
        }
        char line[128];
        std::snprintf(line, sizeof(line), "%4d  0x%02X   0x%02X  0x%06X   %s  %3u  %s\n", address,
                      identity->manufacturer, identity->deviceType, identity->deviceId, longAddress.c_str(),
                      identity->universalRevision, tag.c_str());
        out << line << std::flush;
    }
    clearProgress();
    if (options.json) {
        out << json{{"port", comName}, {"devices", devices}}.dump(2) << "\n";
    }
    if (interruptedAt >= 0) {
        PrintFailure(Failure{STATUS_CANCELLED, "interrupted before polling address " + std::to_string(interruptedAt)},
                     false, out, err);
        return kFailed;
    }
    if (found == 0) {
        PrintFailure(Failure{STATUS_TRANSACTION_TIMED_OUT, "no device answered at polling addresses 0 to " +
                                                               std::to_string(options.lastAddress)},
                     false, out, err);
        return kFailed;
    }
    return 0;
}

int Send(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    std::optional<TransactionPort> port = OpenForTransactions(session, options, 2, out, err);
    if (!port) {
        return kFailed;
    }
    DeviceLink device(session, port->file, options, port->settings.RetryCount + 1);
    return SendThrough(device, port->comName, options, out, err);
}

int Identify(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    std::optional<TransactionPort> port = OpenForTransactions(session, options, 0, out, err);
    if (!port) {
        return kFailed;
    }
    const int attempts = port->settings.RetryCount + 1;
    const hart::RepeatLimits limits = RepeatLimitsFor(options);
    return IdentifyWith(
        [&](const Request& request, std::optional<Failure>& failure) {
            return Transact(session, port->file, request, attempts, limits, failure);
        },
        port->comName, options, out, err);
}

std::string FrameClass(const Frame& frame, bool thisIsPrimary)
{
    std::string text = hart::KindName(frame.Kind());
    text += frame.FromPrimaryMaster() == thisIsPrimary ? " this master" : " other master";
    if (frame.Kind() == FrameKind::Back || frame.BurstBit()) {
        text += " burst";
    }
    return text;
}

void ShowFrame(const HeardFrame& heard, const std::string& portName, bool thisIsPrimary, const Options& options,
               std::ostream& out)
{
    if (options.json) {
        json line{{"time", heard.time}, {"port", portName}, {"frame", Hex(heard.bytes)},
                  {"check_byte_ok", heard.checkByteOk}};
        if (heard.frame) {
            line["class"] = FrameClass(*heard.frame, thisIsPrimary);
            line["address"] = heard.frame->AddressText();
            line["command"] = heard.frame->command;
            line.update(AnswerJson(*heard.frame));
        }
        out << line.dump() << std::endl;
        return;
    }
    out << heard.time << "  ";
    if (heard.frame) {
        char head[64];
        std::snprintf(head, sizeof(head), "%-24s %-4s ", FrameClass(*heard.frame, thisIsPrimary).c_str(),
                      heard.frame->AddressText().c_str());
        out << head << DescribeAnswer(*heard.frame);
    } else {
        out << "unreadable frame";
    }
    if (!heard.checkByteOk) {
        out << " (wrong check byte)";
    }
    out << "\n    " << Hex(heard.bytes) << std::endl;
}

int Monitor(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    File port;
    std::string comName;
    if (auto failure = session.OpenPort(options.port, port, comName)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    HART_PROTOCOL_SETTINGS settings{};
    if (auto failure = GetProtocol(port, settings)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    if (auto failure = SetReadMask(port, 0x77)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    /* With neither a burst device nor the scripted masters the simulated line would be silent. */
    if (!options.simBurst && !options.simSecondMaster) {
        session.StartOtherMaster();
    }
    const bool thisIsPrimary = (settings.MasterType & 0x80) != 0;
    return WatchFrames(
        session, port, options,
        [&](const HeardFrame& heard) { ShowFrame(heard, comName, thisIsPrimary, options, out); }, out, err);
}

/* Over HART-IP monitor shows what the server publishes: the burst frames heard on its line. */
int MonitorOverHartIp(HartIpClient& client, const Options& options, std::ostream& out, std::ostream& err)
{
    using namespace std::chrono;
    const auto end = options.duration > 0 ? steady_clock::now() + duration_cast<steady_clock::duration>(
                                                                      duration<double>(options.duration))
                                          : steady_clock::time_point::max();
    int frames = 0;
    while (!g_stop && steady_clock::now() < end && (options.count == 0 || frames < options.count)) {
        const auto step = std::min<steady_clock::duration>(milliseconds(100), end - steady_clock::now());
        std::optional<Failure> failure;
        std::optional<Bytes> published = client.NextPublished(duration_cast<milliseconds>(step), failure);
        if (failure) {
            PrintFailure(*failure, options.json, out, err);
            return kFailed;
        }
        if (!published) {
            continue;
        }
        frames++;
        const auto now = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
        /* 100 ns units since 1601, as the host's system time counts. */
        const long long systemTime = now / 100 + 116444736000000000LL;
        HeardFrame heard{TimeOfDay(systemTime), std::move(*published), true, {}};
        heard.frame = hart::ParseFrame(heard.bytes);
        heard.checkByteOk = heard.frame && heard.frame->checkByteOk;
        if (heard.frame && heard.frame->Kind() != FrameKind::Stx) {
            hart::Unwrap(*heard.frame);
        }
        ShowFrame(heard, client.Where(), !options.secondary, options, out);
    }
    return 0;
}

/* send, identify and monitor through a HART-IP server rather than the driver. */
int RunOverHartIp(const Options& options, std::ostream& out, std::ostream& err)
{
    HartIpClient client;
    if (auto failure = client.Open(options.hartIp, options.tcp, !options.secondary)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    const hart::RepeatLimits limits = RepeatLimitsFor(options);
    const TransactFn transact = [&](const Request& request, std::optional<Failure>& failure) {
        HartIpTransport transport(client);
        /* Shown as it went: without preambles, which the server adds. */
        Request bare = request;
        bare.preambles = 0;
        return Transact(transport.Transport(), transport.TransportFailure(), bare, limits, failure);
    };
    if (options.command == "send") {
        DeviceLink device(transact, options);
        return SendThrough(device, client.Where(), options, out, err);
    }
    if (options.command == "identify") {
        return IdentifyWith(transact, client.Where(), options, out, err);
    }
    return MonitorOverHartIp(client, options, out, err);
}

std::string MaskText(std::uint8_t mask)
{
    static constexpr std::pair<std::uint8_t, const char*> kBits[] = {
        {HART_RCV_MASK_BACK, "BACK"},       {HART_RCV_MASK_ACK, "ACK"},
        {HART_RCV_MASK_STX, "STX"},         {HART_RCV_MASK_OTHER_BACK, "other BACK"},
        {HART_RCV_MASK_OTHER_ACK, "other ACK"}, {HART_RCV_MASK_OTHER_STX, "other STX"},
    };
    std::string text;
    for (const auto& [bit, name] : kBits) {
        if (mask & bit) {
            text += text.empty() ? "" : ", ";
            text += name;
        }
    }
    return text.empty() ? std::string("nothing") : text;
}

/*
 * The driver completes a rate change at once and passes it on to the serial
 * port afterwards, so its success says only that the request was taken. What
 * counts is the rate the port runs at once the request has reached it: a
 * rate the terminal refused leaves the old one, and that is a failure.
 */
std::optional<Failure> CheckBaudRate(Session& session, const std::string& comName, std::uint32_t wanted)
{
    std::optional<ULONG> rate = session.SerialBaudRate(comName);
    for (Ticks waited{0}; rate && *rate != wanted && waited < kSettleTime; waited += kSettleStep) {
        session.Host().RunFor(kSettleStep);
        rate = session.SerialBaudRate(comName);
    }
    if (!rate) {
        return Failure{STATUS_UNSUCCESSFUL, "the rate was passed on, but the serial port cannot be asked whether it "
                                            "took it"};
    }
    if (*rate != wanted) {
        return Failure{STATUS_INVALID_PARAMETER, "the serial port did not take " + std::to_string(wanted) +
                                                     " bit/s; it still runs at " + std::to_string(*rate) + " bit/s"};
    }
    return std::nullopt;
}

int Config(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    File port;
    std::string comName;
    auto fail = [&](const Failure& failure) {
        PrintFailure(failure, options.json, out, err);
        return kFailed;
    };
    if (auto failure = session.OpenPort(options.port, port, comName)) {
        return fail(*failure);
    }
    HART_PROTOCOL_SETTINGS settings{};
    if (auto failure = GetProtocol(port, settings)) {
        return fail(*failure);
    }
    const bool changeProtocol = !options.mode.empty() || !options.masterType.empty() || options.retries.has_value();
    if (changeProtocol) {
        HART_PROTOCOL_SETTINGS wanted = settings;
        wanted.StateMachineMode = options.mode == "slave" ? 1 : 0;
        if (!options.masterType.empty()) {
            wanted.MasterType = options.masterType == "primary" ? 0x80 : 0x00;
        }
        if (options.retries) {
            wanted.RetryCount = static_cast<std::uint8_t>(*options.retries);
        }
        if (auto failure = SetProtocol(port, wanted)) {
            return fail(*failure);
        }
    }
    if (!options.readMask.empty()) {
        if (auto failure = SetReadMask(port, (*hart::ParseHex(options.readMask))[0])) {
            return fail(*failure);
        }
    }
    if (options.baudRate) {
        Bytes rate(4);
        std::memcpy(rate.data(), &*options.baudRate, 4);
        if (auto failure = Control(port, IOCTL_HART_SET_BAUD_RATE, rate, 0, nullptr, "set the baud rate")) {
            return fail(*failure);
        }
        if (auto failure = CheckBaudRate(session, comName, *options.baudRate)) {
            return fail(*failure);
        }
    }
    if (auto failure = GetProtocol(port, settings)) {
        return fail(*failure);
    }
    Bytes mask;
    if (auto failure = Control(port, IOCTL_HART_GET_READ_MASK, Bytes(1), 1, &mask, "read the read mask")) {
        return fail(*failure);
    }
    const char* mode = settings.StateMachineMode == 0 ? "master" : "slave";
    const char* type = (settings.MasterType & 0x80) != 0 ? "primary" : "secondary";
    if (options.json) {
        json result{{"port", comName},     {"mode", mode}, {"master_type", type}, {"retries", settings.RetryCount},
                    {"read_mask", mask.empty() ? 0 : mask[0]}};
        if (options.baudRate) {
            result["baud_rate"] = *options.baudRate;
        }
        out << result.dump(2) << "\n";
    } else {
        char line[160];
        std::snprintf(line, sizeof(line), "port         %s\nmode         %s\nmaster type  %s\nretries      %u\n"
                                          "read mask    0x%02X (%s)\n",
                      comName.c_str(), mode, type, settings.RetryCount, mask.empty() ? 0u : mask[0],
                      MaskText(mask.empty() ? 0 : mask[0]).c_str());
        out << line;
        if (options.baudRate) {
            out << "baud rate    " << *options.baudRate << "\n";
        }
    }
    if (options.mode == "master" && settings.StateMachineMode != 0) {
        return fail(Failure{STATUS_INVALID_DEVICE_STATE, "a port in slave mode returns to master only when it is opened anew"});
    }
    return 0;
}

int Ports(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    std::vector<MapEntry> map = session.SerialMap();
    if (!map.empty()) {
        if (auto failure = session.OpenMain()) {
            PrintFailure(*failure, options.json, out, err);
            return kFailed;
        }
    }
    json ports = json::array();
    if (!options.json) {
        out << (map.empty() ? "no serial ports\n" : "COM      SERIAL DEVICE          TERMINAL         PORT DEVICE\n");
    }
    for (const MapEntry& entry : map) {
        const bool portDevice = session.PortDeviceExists(entry.comName);
        if (options.json) {
            ports.push_back(json{{"com", entry.comName},
                                 {"device", entry.deviceName},
                                 {"path", entry.path},
                                 {"port_device", portDevice}});
            continue;
        }
        char line[256];
        std::snprintf(line, sizeof(line), "%-8s %-22s %-16s %s\n", entry.comName.c_str(), entry.deviceName.c_str(),
                      entry.path.empty() ? (session.Simulated() ? "(simulated)" : "-") : entry.path.c_str(),
                      portDevice ? "yes" : "no");
        out << line;
    }
    if (options.json) {
        out << json{{"ports", ports}}.dump(2) << "\n";
    }
    return 0;
}

} // namespace

void RequestStop()
{
    g_stop = true;
}

void ClearStop()
{
    g_stop = false;
}

bool StopRequested()
{
    return g_stop;
}

int RunCommand(const Options& options, std::ostream& out, std::ostream& err)
{
    g_stop = false;
    if (!options.hartIp.empty()) {
        return RunOverHartIp(options, out, err);
    }
    /* A monitor with no end on the simulated line follows the wall clock, else it would race through virtual time;
       so does a poll, whose interval is the point, and a burst show with no end. */
    const bool unbounded = options.duration == 0 && options.count == 0;
    const bool realTime = (options.command == "monitor" && unbounded) || options.command == "poll" ||
                          (options.command == "burst" && options.burstAction == "show" && unbounded);
    Session session(options, realTime);
    return RunCommand(session, options, out, err);
}

int RunCommand(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    if (session.LoadFailure()) {
        PrintFailure(*session.LoadFailure(), options.json, out, err);
        return kFailed;
    }
    if (options.command == "ports") {
        return Ports(session, options, out, err);
    }
    if (options.command == "send") {
        return Send(session, options, out, err);
    }
    if (options.command == "poll") {
        return Poll(session, options, out, err);
    }
    if (options.command == "burst") {
        return Burst(session, options, out, err);
    }
    if (options.command == "identify") {
        return Identify(session, options, out, err);
    }
    if (options.command == "monitor") {
        return Monitor(session, options, out, err);
    }
    return Config(session, options, out, err);
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool errIsTerminal)
{
    ParseOutcome parsed = ParseArguments(args, out, err);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    parsed.options->progress = errIsTerminal;
    return RunCommand(*parsed.options, out, err);
}

} // namespace hartctl
