#include "Commands.h"

#include <atomic>
#include <cstring>
#include <ostream>

#include <nlohmann/json.hpp>

#include "Output.h"
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

/*
 * The port device as the transactor's transport. The read goes up before the
 * write, since the driver may complete the answer's read along with the
 * write; the write itself ends once the driver's own retries are spent. An
 * answer may trail the write's completion by up to kAnswerGrace, and frames
 * that the transactor sets aside do not move that deadline.
 */
class PortTransport {
public:
    PortTransport(Session& session, File& port, int driverAttempts)
        : session_(session), port_(port), driverAttempts_(driverAttempts)
    {
    }
    ~PortTransport() { StopReading(); }
    PortTransport(const PortTransport&) = delete;
    PortTransport& operator=(const PortTransport&) = delete;

    hart::Transport Transport()
    {
        return {[this](const Bytes& frame) { return Send(frame); }, [this] { return Next(); },
                [this](std::chrono::milliseconds delay) { session_.Host().RunFor(delay); }};
    }
    /* Why the port could not send a request or read its answer, with the driver's status. */
    const std::optional<Failure>& PortFailure() const { return failure_; }

private:
    hart::Sent Send(const Bytes& frame)
    {
        StopReading();
        failure_.reset();
        read_ = port_.ReadAsync(kFrameBuffer);
        const platform::IoStatus written = port_.Write(frame);
        if (written.Succeeded()) {
            deadline_ = session_.Host().Now() + kAnswerGrace;
            return {};
        }
        StopReading();
        switch (written.status) {
        case STATUS_TRANSACTION_TIMED_OUT:
            failure_ = Failure{written.status, "no answer from the device after " + std::to_string(driverAttempts_) +
                                                   (driverAttempts_ == 1 ? " attempt" : " attempts")};
            return {hart::Sent::Status::NoAnswer, failure_->sentence};
        case STATUS_CANCELLED:
            failure_ = Failure{written.status, "the serial port went away"};
            break;
        case STATUS_INVALID_DEVICE_STATE:
            failure_ = Failure{written.status, "the port is in slave mode and sends nothing"};
            break;
        default:
            failure_ = Failure{written.status, "the request could not be sent"};
            break;
        }
        return {hart::Sent::Status::Failed, failure_->sentence};
    }

    hart::Heard Next()
    {
        if (!read_.Valid()) {
            read_ = port_.ReadAsync(kFrameBuffer);
        }
        while (!read_.Done() && session_.Host().Now() < deadline_) {
            session_.Host().RunFor(std::chrono::milliseconds(10));
        }
        if (!read_.Done()) {
            read_.Cancel();
        }
        platform::IoResult result = read_.Wait();
        read_ = {};
        if (result.status == STATUS_SUCCESS || result.status == STATUS_CRC_ERROR) {
            return {hart::Heard::Kind::Frame, std::move(result.data), result.status == STATUS_CRC_ERROR, {}};
        }
        if (result.status == STATUS_CANCELLED || result.status == STATUS_PENDING) {
            return {};
        }
        failure_ = Failure{result.status, "the answer could not be read"};
        return {hart::Heard::Kind::Failed, {}, false, failure_->sentence};
    }

    void StopReading()
    {
        if (read_.Valid()) {
            if (!read_.Done()) {
                read_.Cancel();
            }
            read_.Wait();
            read_ = {};
        }
    }

    Session& session_;
    File& port_;
    int driverAttempts_;
    platform::PendingIo read_;
    Ticks deadline_{0};
    std::optional<Failure> failure_;
};

/* The repeats after busy and delayed-response answers the user allows; conflicts get no more than that. */
hart::RepeatLimits RepeatLimitsFor(const Options& options)
{
    hart::RepeatLimits limits;
    limits.busy = options.busyRetries.value_or(limits.busy);
    limits.conflict = std::min(limits.conflict, limits.busy);
    return limits;
}

/*
 * One request and its answer, asked again while the device is busy. The
 * failure is set when no answer could be shown: the port's, or a damaged
 * answer, or only frames that were not the answer. A device that answered,
 * busy to the end or not, is no failure here; its response code tells.
 */
hart::TransactionResult Transact(Session& session, File& port, const Request& request, int driverAttempts,
                                 const hart::RepeatLimits& limits, std::optional<Failure>& failure)
{
    PortTransport transport(session, port, driverAttempts);
    hart::TransactionResult result = hart::Transactor(transport.Transport(), limits).Run(request);
    switch (result.outcome) {
    case hart::Outcome::DamagedAnswer:
        failure = Failure{STATUS_CRC_ERROR, result.why};
        break;
    case hart::Outcome::MismatchedOnly:
        failure = Failure{STATUS_TRANSACTION_TIMED_OUT, result.why};
        break;
    case hart::Outcome::NoAnswer:
        failure = transport.PortFailure().value_or(
            Failure{STATUS_TRANSACTION_TIMED_OUT, "the request went out but its answer never reached the reader"});
        break;
    case hart::Outcome::TransportFailed:
        failure = transport.PortFailure().value_or(Failure{STATUS_UNSUCCESSFUL, result.why});
        break;
    default:
        failure.reset();
        break;
    }
    return result;
}

/* The device answered the command with response code 0. */
bool Succeeded(const hart::TransactionResult& result)
{
    return result.outcome == hart::Outcome::Answered && result.answer->data.size() >= 2 && result.answer->data[0] == 0;
}

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
    const hart::RepeatLimits limits = RepeatLimitsFor(options);
    /* Finding the device's long address is a transaction of its own; a port
       failure on the way is reported as such, not as a device not found. */
    std::optional<Failure> lookupFailure;
    hart::Directory directory(
        [&](const Request& request) -> std::optional<Frame> {
            std::optional<Failure> failure;
            hart::TransactionResult lookup = Transact(session, port, request, attempts, limits, failure);
            if (failure && failure->status != STATUS_TRANSACTION_TIMED_OUT && failure->status != STATUS_CRC_ERROR) {
                lookupFailure = failure;
            }
            return Succeeded(lookup) ? lookup.answer : std::nullopt;
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
    std::optional<Failure> failure;
    const hart::TransactionResult exchange = Transact(session, port, request, attempts, limits, failure);
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

int Identify(Session& session, const Options& options, std::ostream& out, std::ostream& err)
{
    File port;
    std::string comName;
    HART_PROTOCOL_SETTINGS settings{};
    if (auto failure = OpenForTransactions(session, options, 0, port, comName, settings)) {
        PrintFailure(*failure, options.json, out, err);
        return kFailed;
    }
    const hart::RepeatLimits limits = RepeatLimitsFor(options);
    json devices = json::array();
    int found = 0;
    if (!options.json) {
        out << "ADDR  MANUF  TYPE  DEVICE ID  LONG ADDRESS    REV  TAG\n";
    }
    for (int address = 0; address <= options.lastAddress; address++) {
        Request request = RequestTo(hart::Address::Polling(static_cast<std::uint8_t>(address)),
                                    hart::ReadUniqueIdentifier(), options);
        std::optional<Failure> failure;
        const hart::TransactionResult exchange =
            Transact(session, port, request, settings.RetryCount + 1, limits, failure);
        if (failure && failure->status != STATUS_TRANSACTION_TIMED_OUT && failure->status != STATUS_CRC_ERROR) {
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
        const hart::TransactionResult tagExchange =
            Transact(session, port, tagRequest, settings.RetryCount + 1, limits, tagFailure);
        std::string tag;
        if (Succeeded(tagExchange)) {
            if (auto tdd = hart::DecodeTagDescriptorDate(tagExchange.answer->Payload())) {
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

std::string FrameClass(const Frame& frame, bool thisIsPrimary)
{
    std::string text = hart::KindName(frame.Kind());
    text += frame.FromPrimaryMaster() == thisIsPrimary ? " this master" : " other master";
    if (frame.Kind() == FrameKind::Back || frame.BurstBit()) {
        text += " burst";
    }
    return text;
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
        const std::string time = TimeOfDay(host.SystemTime());
        std::optional<Frame> frame = hart::ParseFrame(result.data);
        if (frame && frame->Kind() != FrameKind::Stx) {
            hart::Unwrap(*frame);
        }
        if (options.json) {
            json line{{"time", time}, {"port", comName}, {"frame", Hex(result.data)},
                      {"check_byte_ok", result.status == STATUS_SUCCESS}};
            if (frame) {
                line["class"] = FrameClass(*frame, thisIsPrimary);
                line["address"] = frame->AddressText();
                line["command"] = frame->command;
                line.update(AnswerJson(*frame));
            }
            out << line.dump() << std::endl;
            continue;
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
        if (result.status == STATUS_CRC_ERROR) {
            out << " (wrong check byte)";
        }
        out << "\n    " << Hex(result.data) << std::endl;
    }
    read.Cancel();
    read.Wait();
    return 0;
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
