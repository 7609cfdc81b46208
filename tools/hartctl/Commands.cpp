#include "Commands.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <ostream>

#include <nlohmann/json.hpp>

#include "HartIpClient.h"
#include "Output.h"
#include "Session.h"
#include "app/Addressing.h"
#include "app/Frame.h"
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

constexpr int kFailed = 1;
/* The device answered, but with an error response code. */
constexpr int kRefused = 3;
/* Room for the longest frame a client can read. */
constexpr std::size_t kFrameBuffer = 300;
/* How long an answer may trail its write's completion before it counts as lost. */
constexpr Ticks kAnswerGrace = std::chrono::seconds(1);
/* How long a passed-on rate change may take to reach the serial port. */
constexpr Ticks kSettleTime = std::chrono::milliseconds(200);
/* How often a waiting monitor looks at the stop flag. */
constexpr Ticks kMonitorStep = std::chrono::milliseconds(100);

std::atomic<bool> g_stop{false};

std::optional<Failure> Control(File& port, ULONG code, const Bytes& input, std::size_t outputLength, Bytes* output,
                               const char* what)
{
    platform::IoResult result = port.DeviceControl(code, input, outputLength);
    if (!result.Succeeded()) {
        return Failure{result.status, std::string("could not ") + what};
    }
    if (output != nullptr) {
        *output = result.data;
    }
    return std::nullopt;
}

std::optional<Failure> GetProtocol(File& port, HART_PROTOCOL_SETTINGS& settings)
{
    Bytes data;
    if (auto failure = Control(port, IOCTL_HART_GET_PROTOCOL, Bytes(4), 4, &data, "read the protocol settings")) {
        return failure;
    }
    if (data.size() < sizeof(settings)) {
        return Failure{STATUS_UNSUCCESSFUL, "the protocol settings came back short"};
    }
    std::memcpy(&settings, data.data(), sizeof(settings));
    return std::nullopt;
}

std::optional<Failure> SetProtocol(File& port, const HART_PROTOCOL_SETTINGS& settings)
{
    Bytes input(sizeof(settings));
    std::memcpy(input.data(), &settings, sizeof(settings));
    return Control(port, IOCTL_HART_SET_PROTOCOL, input, 0, nullptr, "set the protocol settings");
}

std::optional<Failure> SetReadMask(File& port, std::uint8_t mask)
{
    return Control(port, IOCTL_HART_SET_READ_MASK, Bytes{mask}, 0, nullptr, "set the read mask");
}

/* Opens the port and applies what every transaction command shares: master type and retries. */
std::optional<Failure> OpenForTransactions(Session& session, const Options& options, int defaultRetries, File& port,
                                           std::string& comName, HART_PROTOCOL_SETTINGS& settings)
{
    if (auto failure = session.OpenPort(options.port, port, comName)) {
        return failure;
    }
    if (auto failure = GetProtocol(port, settings)) {
        return failure;
    }
    settings.MasterType = options.secondary ? 0x00 : 0x80;
    settings.RetryCount = static_cast<std::uint8_t>(options.retries.value_or(defaultRetries));
    settings.StateMachineMode = 0;
    if (auto failure = SetProtocol(port, settings)) {
        return failure;
    }
    /* Answers to this master only: a burst or another master's traffic must not pass for ours. */
    return SetReadMask(port, HART_RCV_MASK_ACK);
}

struct Exchange {
    Bytes request;
    platform::IoResult answer;
    std::optional<Frame> frame;
    /* Frames read while waiting that were not the answer asked for: another
       device's, another command's, or one left over from an earlier request. */
    std::vector<Bytes> setAside;
};

std::string SetAsideText(const Exchange& exchange)
{
    std::string text;
    for (const Bytes& bytes : exchange.setAside) {
        std::optional<Frame> frame = hart::ParseFrame(bytes);
        text += text.empty() ? "" : "; ";
        text += frame ? std::string(hart::KindName(frame->Kind())) + " from " + frame->AddressText() + " for command " +
                            std::to_string(frame->command)
                      : std::string("an unreadable frame");
    }
    return text;
}

/*
 * One request and its answer. A frame that is not the answer to this request
 * is set aside and the reader waits on, up to the same deadline: showing it
 * would put one device's data under another's address. With nothing else in
 * time the request counts as unanswered.
 */
std::optional<Failure> Transact(Session& session, File& port, const Request& request, int attempts,
                                Exchange& exchange)
{
    exchange.request = hart::BuildRequest(request);
    platform::PendingIo read = port.ReadAsync(kFrameBuffer);
    platform::IoStatus written = port.Write(exchange.request);
    std::optional<platform::IoResult> answer;
    if (written.Succeeded()) {
        const Ticks deadline = session.Host().Now() + kAnswerGrace;
        while (!answer) {
            while (!read.Done() && session.Host().Now() < deadline) {
                session.Host().RunFor(std::chrono::milliseconds(10));
            }
            if (!read.Done()) {
                break;
            }
            platform::IoResult result = read.Wait();
            std::optional<Frame> frame = hart::ParseFrame(result.data);
            const bool readAFrame = result.status == STATUS_SUCCESS || result.status == STATUS_CRC_ERROR;
            if (readAFrame && frame && !hart::Answers(*frame, request)) {
                exchange.setAside.push_back(result.data);
                read = port.ReadAsync(kFrameBuffer);
                continue;
            }
            answer = std::move(result);
        }
    }
    if (!answer) {
        if (!read.Done()) {
            read.Cancel();
        }
        answer = read.Wait();
    }
    exchange.answer = std::move(*answer);
    if (!written.Succeeded()) {
        switch (written.status) {
        case STATUS_TRANSACTION_TIMED_OUT:
            return Failure{written.status, "no answer from the device after " + std::to_string(attempts) +
                                               (attempts == 1 ? " attempt" : " attempts")};
        case STATUS_CANCELLED:
            return Failure{written.status, "the serial port went away"};
        case STATUS_INVALID_DEVICE_STATE:
            return Failure{written.status, "the port is in slave mode and sends nothing"};
        default:
            return Failure{written.status, "the request could not be sent"};
        }
    }
    if (exchange.answer.status == STATUS_CANCELLED || exchange.answer.status == STATUS_PENDING) {
        if (!exchange.setAside.empty()) {
            return Failure{STATUS_TRANSACTION_TIMED_OUT,
                           "no answer from the device asked; set aside as not its answer: " + SetAsideText(exchange)};
        }
        return Failure{STATUS_TRANSACTION_TIMED_OUT, "the request went out but its answer never reached the reader"};
    }
    exchange.frame = hart::ParseFrame(exchange.answer.data);
    if (exchange.answer.status == STATUS_CRC_ERROR) {
        return Failure{exchange.answer.status, "the answer arrived with a wrong check byte"};
    }
    if (!exchange.answer.Succeeded() || !exchange.frame) {
        return Failure{exchange.answer.status, "the answer could not be read"};
    }
    return std::nullopt;
}

/* One request and its answer, through the driver's port or a HART-IP server. */
using TransactFn = std::function<std::optional<Failure>(const Request&, Exchange&)>;

/*
 * Through a HART-IP server, which adds the preambles and sends the frame. Its
 * answer must still be the answer to this request: a server that mixed up
 * its sessions' answers must not put one device's data under another's
 * address.
 */
std::optional<Failure> TransactOverHartIp(HartIpClient& client, const Request& request, Exchange& exchange)
{
    Request bare = request;
    bare.preambles = 0;
    exchange.request = hart::BuildRequest(bare);
    Bytes answer;
    if (auto failure = client.Transact(exchange.request, answer)) {
        return failure;
    }
    exchange.answer.status = STATUS_SUCCESS;
    exchange.answer.information = answer.size();
    exchange.answer.data = answer;
    exchange.frame = hart::ParseFrame(answer);
    if (!exchange.frame) {
        return Failure{STATUS_UNSUCCESSFUL, "the server's answer is not a frame"};
    }
    if (!exchange.frame->checkByteOk) {
        exchange.answer.status = STATUS_CRC_ERROR;
        return Failure{STATUS_CRC_ERROR, "the answer arrived with a wrong check byte"};
    }
    if (!hart::Answers(*exchange.frame, request)) {
        exchange.setAside.push_back(answer);
        exchange.frame.reset();
        return Failure{STATUS_TRANSACTION_TIMED_OUT,
                       "the server returned a frame that is not the answer asked for: " + SetAsideText(exchange)};
    }
    return std::nullopt;
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

hart::Target TargetFor(const Options& options)
{
    if (!options.longAddress.empty()) {
        Bytes id = *hart::ParseHex(options.longAddress);
        std::array<std::uint8_t, 5> longId{};
        std::copy(id.begin(), id.end(), longId.begin());
        return hart::Target::Long(hart::Address::Long(longId));
    }
    if (!options.tag.empty()) {
        return hart::Target::ByTag(options.tag);
    }
    if (!options.longTag.empty()) {
        return hart::Target::ByLongTag(options.longTag);
    }
    return hart::Target::Polling(static_cast<std::uint8_t>(options.address), options.shortFrame);
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

int SendWith(const TransactFn& transact, const std::string& comName, const Options& options, std::ostream& out,
             std::ostream& err)
{
    /* Finding the device's long address is a transaction of its own; a port
       failure on the way is reported as such, not as a device not found. */
    std::optional<Failure> lookupFailure;
    hart::Directory directory(
        [&](const Request& request) -> std::optional<Frame> {
            Exchange lookup;
            std::optional<Failure> failure = transact(request, lookup);
            if (failure && failure->status != STATUS_TRANSACTION_TIMED_OUT && failure->status != STATUS_CRC_ERROR) {
                lookupFailure = failure;
            }
            if (failure || lookup.frame->data.empty() || lookup.frame->data[0] != 0) {
                return std::nullopt;
            }
            return lookup.frame;
        },
        !options.secondary);
    const hart::Target target = TargetFor(options);
    std::string why;
    std::optional<hart::Address> address = directory.Route(target, static_cast<std::uint16_t>(options.hartCommand), why);
    if (!address) {
        PrintFailure(lookupFailure.value_or(Failure{STATUS_TRANSACTION_TIMED_OUT, why}), options.json, out, err);
        return kFailed;
    }
    Request request;
    request.address = *address;
    request.primaryMaster = !options.secondary;
    request.preambles = options.preambles;
    request = hart::Expanded(request, static_cast<std::uint16_t>(options.hartCommand), DataFor(options, target));
    Exchange exchange;
    std::optional<Failure> failure = transact(request, exchange);
    if (exchange.frame) {
        hart::Unwrap(*exchange.frame);
    }
    const bool answered = exchange.frame.has_value();
    if (options.json) {
        json result{{"port", comName}, {"request", Hex(exchange.request)}};
        if (answered) {
            result["answer"] = Hex(exchange.answer.data);
            result["address"] = exchange.frame->AddressText();
            result["command"] = exchange.frame->command;
            result["check_byte_ok"] = exchange.frame->checkByteOk;
            result.update(AnswerJson(*exchange.frame));
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
        }
        out << result.dump(2) << "\n";
    } else {
        out << "request  " << Hex(exchange.request) << "\n";
        for (const Bytes& frame : exchange.setAside) {
            out << "ignored  " << Hex(frame) << " (not the answer to this request)\n";
        }
        if (answered) {
            out << "answer   " << Hex(exchange.answer.data) << "\n";
            out << hart::KindName(exchange.frame->Kind()) << " from " << exchange.frame->AddressText() << ", "
                << DescribeAnswer(*exchange.frame) << "\n";
        }
        if (failure) {
            PrintFailure(*failure, false, out, err);
        }
    }
    if (failure) {
        return kFailed;
    }
    if (exchange.frame->data.empty() || exchange.frame->data[0] != 0) {
        if (!options.json) {
            err << "hartctl: the device refused the command: "
                << (exchange.frame->data.empty() ? std::string("no response code")
                                                 : ResponseText(exchange.frame->command, exchange.frame->data[0]))
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
    for (int address = 0; address <= options.lastAddress; address++) {
        Request request = RequestTo(hart::Address::Polling(static_cast<std::uint8_t>(address)),
                                    hart::ReadUniqueIdentifier(), options);
        Exchange exchange;
        std::optional<Failure> failure = transact(request, exchange);
        if (failure && failure->status != STATUS_TRANSACTION_TIMED_OUT && failure->status != STATUS_CRC_ERROR) {
            PrintFailure(*failure, options.json, out, err);
            return kFailed;
        }
        if (failure || exchange.frame->data.size() < 2 || exchange.frame->data[0] != 0) {
            continue;
        }
        std::optional<hart::Identity> identity = hart::DecodeIdentity(exchange.frame->Payload());
        if (!identity) {
            continue;
        }
        /* The tag needs the long address: command 13 is not answered at a polling address by every revision. */
        Request tagRequest = RequestTo(identity->LongAddress(), hart::ReadTagDescriptorDate(), options);
        Exchange tagExchange;
        std::string tag;
        if (!transact(tagRequest, tagExchange) &&
            tagExchange.frame->data.size() >= 2 && tagExchange.frame->data[0] == 0) {
            if (auto tdd = hart::DecodeTagDescriptorDate(tagExchange.frame->Payload())) {
                tag = tdd->tag;
            }
        }
        found++;
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
        out << line;
    }
    if (options.json) {
        out << json{{"port", comName}, {"devices", devices}}.dump(2) << "\n";
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
    File port;
    std::string comName;
    HART_PROTOCOL_SETTINGS settings{};
    if (auto failure = OpenForTransactions(session, options, 2, port, comName, settings)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    const int attempts = settings.RetryCount + 1;
    return SendWith([&](const Request& request, Exchange& exchange) {
        return Transact(session, port, request, attempts, exchange);
    }, comName, options, out, err);
}

int Identify(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    File port;
    std::string comName;
    HART_PROTOCOL_SETTINGS settings{};
    if (auto failure = OpenForTransactions(session, options, 0, port, comName, settings)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    const int attempts = settings.RetryCount + 1;
    return IdentifyWith([&](const Request& request, Exchange& exchange) {
        return Transact(session, port, request, attempts, exchange);
    }, comName, options, out, err);
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

void ShowFrame(const Bytes& data, bool checkByteOk, const std::string& time, const std::string& portName,
               bool thisIsPrimary, const Options& options, std::ostream& out)
{
    std::optional<Frame> frame = hart::ParseFrame(data);
    if (frame && frame->Kind() != FrameKind::Stx) {
        hart::Unwrap(*frame);
    }
    if (options.json) {
        json line{{"time", time}, {"port", portName}, {"frame", Hex(data)}, {"check_byte_ok", checkByteOk}};
        if (frame) {
            line["class"] = FrameClass(*frame, thisIsPrimary);
            line["address"] = frame->AddressText();
            line["command"] = frame->command;
            line.update(AnswerJson(*frame));
        }
        out << line.dump() << std::endl;
        return;
    }
    out << time << "  ";
    if (frame) {
        char head[64];
        std::snprintf(head, sizeof(head), "%-24s %-4s ", FrameClass(*frame, thisIsPrimary).c_str(),
                      frame->AddressText().c_str());
        out << head << DescribeAnswer(*frame);
    } else {
        out << "unreadable frame";
    }
    if (!checkByteOk) {
        out << " (wrong check byte)";
    }
    out << "\n    " << Hex(data) << std::endl;
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
    platform::Host& host = session.Host();
    const Ticks end = options.duration > 0
                          ? host.Now() + std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(options.duration))
                          : Ticks::max();
    int frames = 0;
    platform::PendingIo read = port.ReadAsync(kFrameBuffer);
    while (!g_stop && host.Now() < end && (options.count == 0 || frames < options.count)) {
        if (!read.Done()) {
            host.RunFor(std::min(kMonitorStep, end - host.Now()));
            continue;
        }
        platform::IoResult result = read.Wait();
        if (result.status != STATUS_SUCCESS && result.status != STATUS_CRC_ERROR) {
            PrintFailure(Failure{result.status, result.status == STATUS_CANCELLED ? "the serial port went away"
                                                                                   : "reading from the port failed"},
                         options.json, out, err);
            return kFailed;
        }
        read = port.ReadAsync(kFrameBuffer);
        frames++;
        ShowFrame(result.data, result.status == STATUS_SUCCESS, TimeOfDay(host.SystemTime()), comName, thisIsPrimary,
                  options, out);
    }
    read.Cancel();
    read.Wait();
    return 0;
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
        std::optional<Frame> frame = hart::ParseFrame(*published);
        ShowFrame(*published, frame && frame->checkByteOk, TimeOfDay(systemTime), client.Where(), !options.secondary,
                  options, out);
    }
    return 0;
}

int RunOverHartIp(const Options& options, std::ostream& out, std::ostream& err)
{
    HartIpClient client;
    if (auto failure = client.Open(options.hartIp, options.tcp, !options.secondary)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    const TransactFn transact = [&](const Request& request, Exchange& exchange) {
        return TransactOverHartIp(client, request, exchange);
    };
    if (options.command == "send") {
        return SendWith(transact, client.Where(), options, out, err);
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
    for (Ticks waited{0}; rate && *rate != wanted && waited < kSettleTime; waited += kMonitorStep / 10) {
        session.Host().RunFor(kMonitorStep / 10);
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

int RunCommand(const Options& options, std::ostream& out, std::ostream& err)
{
    g_stop = false;
    if (!options.hartIp.empty()) {
        return RunOverHartIp(options, out, err);
    }
    /* A monitor with no end on the simulated line follows the wall clock, else it would race through virtual time. */
    const bool realTime = options.command == "monitor" && options.duration == 0 && options.count == 0;
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
    if (options.command == "identify") {
        return Identify(session, options, out, err);
    }
    if (options.command == "monitor") {
        return Monitor(session, options, out, err);
    }
    return Config(session, options, out, err);
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    ParseOutcome parsed = ParseArguments(args, out, err);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    return RunCommand(*parsed.options, out, err);
}

} // namespace hartctl
