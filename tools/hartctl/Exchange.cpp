#include "Exchange.h"

#include <cstring>

#include "Output.h"
#include "app/Status.h"

namespace hartctl {

namespace {

using hart::Bytes;
using hart::Request;
using platform::File;
using platform::Ticks;

/* How long an answer may trail its write's completion before it counts as lost. */
constexpr Ticks kAnswerGrace = std::chrono::seconds(1);

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

} // namespace

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

namespace {

std::optional<Failure> SetUpForTransactions(Session& session, const Options& options, int defaultRetries, File& port,
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

} // namespace

std::optional<TransactionPort> OpenForTransactions(Session& session, const Options& options, int defaultRetries,
                                                   std::ostream& out, std::ostream& err)
{
    TransactionPort port;
    if (auto failure = SetUpForTransactions(session, options, defaultRetries, port.file, port.comName, port.settings)) {
        PrintFailure(*failure, options.json, out, err);
        return std::nullopt;
    }
    return port;
}

/* The repeats after busy and delayed-response answers the user allows; conflicts get no more than that. */
hart::RepeatLimits RepeatLimitsFor(const Options& options)
{
    hart::RepeatLimits limits;
    limits.busy = options.busyRetries.value_or(limits.busy);
    limits.conflict = std::min(limits.conflict, limits.busy);
    return limits;
}

hart::TransactionResult Transact(Session& session, File& port, const Request& request, int driverAttempts,
                                 const hart::RepeatLimits& limits, std::optional<Failure>& failure)
{
    PortTransport transport(session, port, driverAttempts);
    return Transact(transport.Transport(), transport.PortFailure(), request, limits, failure);
}

hart::TransactionResult Transact(hart::Transport transport, const std::optional<Failure>& transportFailure,
                                 const Request& request, const hart::RepeatLimits& limits,
                                 std::optional<Failure>& failure)
{
    hart::TransactionResult result = hart::Transactor(std::move(transport), limits).Run(request);
    switch (result.outcome) {
    case hart::Outcome::DamagedAnswer:
        failure = Failure{STATUS_CRC_ERROR, result.why};
        break;
    case hart::Outcome::MismatchedOnly:
        failure = Failure{STATUS_TRANSACTION_TIMED_OUT, result.why};
        break;
    case hart::Outcome::NoAnswer:
        failure = transportFailure.value_or(
            Failure{STATUS_TRANSACTION_TIMED_OUT, "the request went out but its answer never reached the reader"});
        break;
    case hart::Outcome::TransportFailed:
        failure = transportFailure.value_or(Failure{STATUS_UNSUCCESSFUL, result.why});
        break;
    default:
        failure.reset();
        break;
    }
    return result;
}

bool Succeeded(const hart::TransactionResult& result)
{
    return result.outcome == hart::Outcome::Answered && result.answer->data.size() >= 2 && result.answer->data[0] == 0;
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

bool Reply::CarriedOut() const
{
    return !failure && exchange && exchange->outcome == hart::Outcome::Answered && exchange->answer->data.size() >= 2 &&
           hart::DecodeResponse(exchange->answer->command, exchange->answer->data[0]).CarriedOut();
}

std::string Reply::Why() const
{
    if (failure) {
        return failure->sentence;
    }
    if (!exchange || CarriedOut()) {
        return {};
    }
    if (exchange->outcome != hart::Outcome::Answered) {
        return exchange->why;
    }
    if (exchange->answer->data.size() < 2) {
        return "the answer has no response code";
    }
    return "the device refused the command: " + ResponseText(exchange->answer->command, exchange->answer->data[0]);
}

DeviceLink::DeviceLink(Session& session, File& port, const Options& options, int driverAttempts)
    : DeviceLink(
          [&session, &port, driverAttempts, limits = RepeatLimitsFor(options)](const Request& request,
                                                                              std::optional<Failure>& failure) {
              return Transact(session, port, request, driverAttempts, limits, failure);
          },
          options)
{
}

DeviceLink::DeviceLink(TransactFn transact, const Options& options)
    : transact_(std::move(transact)),
      primary_(!options.secondary),
      target_(TargetFor(options)),
      directory_(
          [this](const Request& request) -> std::optional<hart::Frame> {
              /* A port failure on the way is reported as such, not as a device not found. */
              std::optional<Failure> failure;
              hart::TransactionResult lookup = transact_(request, failure);
              if (failure && failure->status != STATUS_TRANSACTION_TIMED_OUT && failure->status != STATUS_CRC_ERROR) {
                  lookupFailure_ = failure;
              }
              return Succeeded(lookup) ? lookup.answer : std::nullopt;
          },
          !options.secondary)
{
}

std::optional<hart::Identity> DeviceLink::Find(std::optional<Failure>& failure)
{
    lookupFailure_.reset();
    std::string why;
    /* Any command but 0, 11 and 21 needs the long address, and so the device found. */
    if (!directory_.Route(target_, 1, why)) {
        failure = lookupFailure_.value_or(Failure{STATUS_TRANSACTION_TIMED_OUT, why});
        return std::nullopt;
    }
    return directory_.Known(target_);
}

Reply DeviceLink::Ask(std::uint16_t command, const Bytes& data, int preambles)
{
    Reply reply;
    lookupFailure_.reset();
    std::string why;
    std::optional<hart::Address> address = directory_.Route(target_, command, why);
    if (!address) {
        reply.failure = lookupFailure_.value_or(Failure{STATUS_TRANSACTION_TIMED_OUT, why});
        return reply;
    }
    Request request;
    request.address = *address;
    request.primaryMaster = primary_;
    request.preambles = preambles;
    request = hart::Expanded(request, command, data);
    reply.exchange = transact_(request, reply.failure);
    ForgetIfGone(*address, *reply.exchange);
    return reply;
}

void DeviceLink::ForgetIfGone(const hart::Address& address, const hart::TransactionResult& exchange)
{
    /* Silence at a long address the session learned may mean another device
       now sits at the polling address or carries the tag: the next request
       asks who is there instead of asking the gone device for ever. */
    const bool learned = target_.kind != hart::Target::Kind::LongAddress && address.isLong && !address.IsBroadcast();
    if (learned && exchange.outcome == hart::Outcome::NoAnswer) {
        directory_.Forget(target_);
    }
}

int WatchFrames(Session& session, File& port, const Options& options,
                const std::function<void(const HeardFrame&)>& shown, std::ostream& out, std::ostream& err)
{
    constexpr Ticks kStep = std::chrono::milliseconds(100);
    platform::Host& host = session.Host();
    const Ticks end = options.duration > 0
                          ? host.Now() + std::chrono::duration_cast<Ticks>(std::chrono::duration<double>(options.duration))
                          : Ticks::max();
    int frames = 0;
    platform::PendingIo read = port.ReadAsync(kFrameBuffer);
    while (!StopRequested() && host.Now() < end && (options.count == 0 || frames < options.count)) {
        if (!read.Done()) {
            host.RunFor(std::min(kStep, end - host.Now()));
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
        HeardFrame heard{TimeOfDay(host.SystemTime()), std::move(result.data), result.status == STATUS_SUCCESS, {}};
        heard.frame = hart::ParseFrame(heard.bytes);
        if (heard.frame && heard.frame->Kind() != hart::FrameKind::Stx) {
            hart::Unwrap(*heard.frame);
        }
        shown(heard);
    }
    read.Cancel();
    read.Wait();
    return 0;
}

} // namespace hartctl
