#include "sim/FieldDevice.h"

#include <algorithm>

#include "sim/DeviceBytes.h"

namespace sim {

using namespace device_bytes;

namespace {
bool IsWriteCommand(std::uint16_t command)
{
    switch (command) {
    case 6:
    case 17:
    case 18:
    case 19:
    case 22:
    case 34:
    case 35:
    case 44:
    case 59:
    case 79:
    case 103:
    case 104:
    case 107:
    case 108:
    case 109:
        return true;
    default:
        return false;
    }
}

/* Fixing the loop current changes no configuration, but a lock keeps it from the other master all the same. */
bool ChangesTheDevice(std::uint16_t command)
{
    return IsWriteCommand(command) || command == 40;
}

/* The lowest universal revision that knows a command. */
std::uint8_t RevisionOf(std::uint8_t command)
{
    if ((command >= 20 && command <= 22) || command == 71 || command == 72 || command == 76 || command == 79) {
        return 6;
    }
    if ((command >= 103 && command <= 106) || command == kExpandedCommand) {
        return 7;
    }
    return 5;
}

/* Besides success, the codes this device sends with data: they warn, the request was carried out. */
bool CarriesData(std::uint16_t command, std::uint8_t responseCode)
{
    return responseCode == kResponseSuccess || (command == 103 && responseCode == 8) ||
           ((command == 35 || command == 48) && responseCode == 14);
}

int MasterIndex(const HartFrame& frame)
{
    return frame.FromPrimaryMaster() ? 1 : 0;
}
} // namespace

FieldDevice::FieldDevice(HartLine& line, FieldDeviceConfig config)
    : line_(line), config_(std::move(config)), parser_(3 * line.CharacterDuration())
{
    std::string name = "field device ";
    name += std::to_string(config_.pollingAddress);
    id_ = line_.Attach(std::move(name), [this](const LineCharacter& character) { Hear(character); });
    if (config_.burstMode) {
        SetBurstMode(true);
    }
}

FieldDevice::~FieldDevice()
{
    for (auto& [serial, key] : scheduled_) {
        line_.GetDispatcher().Cancel(key);
    }
    line_.Detach(id_);
}

Bytes FieldDevice::LongAddress() const
{
    return {static_cast<std::uint8_t>(config_.manufacturerId & 0x3F), config_.deviceType,
            static_cast<std::uint8_t>(config_.deviceId >> 16), static_cast<std::uint8_t>(config_.deviceId >> 8),
            static_cast<std::uint8_t>(config_.deviceId)};
}

std::uint8_t FieldDevice::DeviceStatusFor(bool primary) const
{
    const int master = primary ? 1 : 0;
    std::uint8_t status = config_.deviceStatus;
    if (configChanged_[master]) {
        status |= kStatusConfigurationChanged;
    }
    if (moreStatus_[master]) {
        status |= kStatusMoreStatusAvailable;
    }
    /* A multidrop device holds the loop at 4 mA, as a loop test holds it where the master put it. */
    if (fixedCurrent_ || loopCurrentMode_ == 0) {
        status |= kStatusLoopCurrentFixed;
    }
    return status;
}

void FieldDevice::MarkConfigurationChanged()
{
    configChanged_ = {true, true};
    ++configChangeCounter_;
}

void FieldDevice::SetAdditionalStatus(const std::array<std::uint8_t, 6>& status)
{
    additionalStatus_ = status;
    NoteAdditionalStatus();
}

void FieldDevice::NoteAdditionalStatus()
{
    const auto status = AdditionalStatus();
    if (status != reportedStatus_) {
        reportedStatus_ = status;
        moreStatus_ = {true, true};
    }
}

void FieldDevice::Later(Ticks at, std::function<void()> task, std::uint64_t* keyOut)
{
    const std::uint64_t serial = nextScheduled_++;
    scheduled_[serial] = line_.GetDispatcher().Schedule(std::max(at, line_.Now()), [this, serial, task = std::move(task)] {
        scheduled_.erase(serial);
        task();
    });
    if (keyOut != nullptr) {
        *keyOut = serial;
    }
}

void FieldDevice::CancelScheduled(std::uint64_t key)
{
    auto it = scheduled_.find(key);
    if (it != scheduled_.end()) {
        line_.GetDispatcher().Cancel(it->second);
        scheduled_.erase(it);
    }
}

void FieldDevice::Hear(const LineCharacter& character)
{
    /* Anything on the line puts the next burst frame off: the device
       leaves a whole pause of silence before it talks. */
    if (bursting_ && !answering_ && !sending_) {
        ScheduleBurst(character.end + config_.burstPause);
    }
    auto frame = parser_.Take(character.byte, character.end, character.status == CharacterStatus::Garbled);
    if (!frame || frame->FrameType() != kDelimiterStx || !frame->checkByteOk) {
        return;
    }
    /* Whoever a master talked to, that master has had its turn. */
    nextBurstMasterBit_ = frame->FromPrimaryMaster() ? kMasterBit : 0;
    if (!AddressedToMe(*frame)) {
        return;
    }
    requestsHeard_++;
    /* From revision 6 on a short frame reaches a device for command 0 only:
       it is how a host finds the long address it must use for the rest. */
    if (!frame->IsLong() && frame->command != 0 && config_.universalRevision >= 6) {
        return;
    }
    if (!config_.silent && !answering_ && !sending_) {
        Respond(*frame);
    }
}

FieldDeviceConfig DemoDeviceConfig(int index, std::uint8_t universalRevision)
{
    FieldDeviceConfig config;
    config.pollingAddress = static_cast<std::uint8_t>(index);
    config.deviceId = 0x100000u + static_cast<std::uint32_t>(index);
    config.tag = "TT-10" + std::to_string(index);
    config.universalRevision = universalRevision;
    const std::uint32_t hours = 8760u + 24u * static_cast<std::uint32_t>(index);
    config.expandedCommands[1024] = {static_cast<std::uint8_t>(hours >> 24), static_cast<std::uint8_t>(hours >> 16),
                                     static_cast<std::uint8_t>(hours >> 8), static_cast<std::uint8_t>(hours)};
    return config;
}

bool FieldDevice::AddressedToMe(const HartFrame& request) const
{
    if (!request.IsLong()) {
        return (request.address[0] & 0x3F) == config_.pollingAddress;
    }
    const bool broadcast = (request.address[0] & 0x3F) == 0 &&
                           std::all_of(request.address.begin() + 1, request.address.end(), [](auto b) { return b == 0; });
    if (broadcast) {
        return request.command == 11 || request.command == 21;
    }
    Bytes mine = LongAddress();
    if ((request.address[0] & 0x3F) != mine[0]) {
        return false;
    }
    return std::equal(mine.begin() + 1, mine.end(), request.address.begin() + 1);
}

std::optional<Bytes> FieldDevice::Answer(const HartFrame& request)
{
    const int master = MasterIndex(request);
    if (request.command == 11 || request.command == 21) {
        /* Identify by tag: a device whose tag differs stays silent. */
        const bool shortTag = request.command == 11;
        if (config_.universalRevision < RevisionOf(request.command)) {
            return std::nullopt;
        }
        const Bytes wanted = shortTag ? PackedAscii(config_.tag, 6) : LongTagBytes(config_.longTag);
        if (request.data.size() < wanted.size() || !std::equal(wanted.begin(), wanted.end(), request.data.begin())) {
            return std::nullopt;
        }
        Bytes data{kResponseSuccess, DeviceStatusFor(master == 1)};
        Append(data, IdentityData());
        return data;
    }
    if (config_.universalRevision < RevisionOf(request.command)) {
        return Bytes{kResponseCommandNotImplemented, DeviceStatusFor(master == 1)};
    }
    std::uint16_t command = request.command;
    Bytes requestData = request.data;
    /* Command 31 carries the real command's number in front of its data, and
       the answer names it whatever the outcome, so the host can tell which
       command it is for. */
    Bytes expandedNumber;
    if (request.command == kExpandedCommand) {
        if (requestData.size() < 2) {
            return Bytes{kResponseTooFewDataBytes, DeviceStatusFor(master == 1)};
        }
        command = ReadU16(requestData, 0);
        expandedNumber.assign(requestData.begin(), requestData.begin() + 2);
        requestData.erase(requestData.begin(), requestData.begin() + 2);
    }
    auto expanded = config_.expandedCommands.find(command);
    std::uint8_t responseCode = kResponseSuccess;
    Bytes payload;
    if (!expandedNumber.empty() && expanded == config_.expandedCommands.end()) {
        responseCode = kResponseCommandNotImplemented;
    } else if (std::uint8_t refused = Refusal(command, master); refused != kResponseSuccess) {
        responseCode = refused;
    } else if (std::optional<std::uint8_t> slow = SlowAnswer(command, requestData, master)) {
        responseCode = *slow;
    } else if (!expandedNumber.empty()) {
        payload = expanded->second;
    } else {
        payload = CommandData(request.command, requestData, master, responseCode);
    }
    NoteAdditionalStatus();
    /* The status byte after the command: an acknowledgement clears its bit at once. */
    Bytes data{responseCode, DeviceStatusFor(master == 1)};
    Append(data, expandedNumber);
    if (CarriesData(command, responseCode)) {
        Append(data, payload);
    }
    return data;
}

std::uint8_t FieldDevice::Refusal(std::uint16_t command, int master) const
{
    if (config_.writeProtected && IsWriteCommand(command)) {
        return kResponseWriteProtected;
    }
    if (lockCode_ == 0) {
        return kResponseSuccess;
    }
    /* Only the master that locked the device unlocks it; locked for everybody, even that one changes nothing. */
    if (command == 71) {
        return master == lockedBy_ ? kResponseSuccess : kResponseAccessRestricted;
    }
    constexpr std::uint8_t kLockAll = 3;
    if (ChangesTheDevice(command) && (master != lockedBy_ || lockCode_ == kLockAll)) {
        return kResponseAccessRestricted;
    }
    return kResponseSuccess;
}

std::optional<std::uint8_t> FieldDevice::SlowAnswer(std::uint16_t command, const Bytes& requestData, int master)
{
    auto slow = config_.slowCommands.find(command);
    if (slow == config_.slowCommands.end()) {
        return std::nullopt;
    }
    const SlowCommand& how = slow->second;
    if (auto pending = delayed_.find(command); pending != delayed_.end()) {
        DelayedResponse& response = pending->second;
        /* One job per command: anybody else asking for it must wait until it is collected. */
        if (response.master != master || response.request != requestData) {
            return kResponseDelayedConflict;
        }
        if (line_.Now() < response.ready || response.runningLeft > 0) {
            response.runningLeft = std::max(response.runningLeft - 1, 0);
            return kResponseDelayedRunning;
        }
        delayed_.erase(pending);
        if (how.dies) {
            return kResponseDelayedDead;
        }
        return std::nullopt;
    }
    int& busy = busyGiven_[command];
    if (busy < how.busyAnswers) {
        busy++;
        return kResponseBusy;
    }
    busyGiven_.erase(command);
    if (how.delayedResponse) {
        delayed_[command] = DelayedResponse{master, requestData, line_.Now() + how.delay, how.runningAnswers};
        return kResponseDelayedInitiated;
    }
    return std::nullopt;
}

void FieldDevice::Changed()
{
    MarkConfigurationChanged();
}

void FieldDevice::Respond(const HartFrame& request)
{
    std::optional<Bytes> data = Answer(request);
    if (!data) {
        return;
    }
    HartFrame answer;
    answer.delimiter = static_cast<std::uint8_t>((request.delimiter & kLongAddressBit) | kDelimiterAck);
    /* The address as heard, except that an answer to the broadcast address names the device. */
    answer.address = request.address;
    if (request.IsLong() && (request.address[0] & 0x3F) == 0 && request.address[1] == 0) {
        answer.address = LongAddress();
    }
    answer.address[0] = static_cast<std::uint8_t>((answer.address[0] & 0x3F) | (request.address[0] & kMasterBit) |
                                                  (bursting_ ? kBurstBit : 0));
    answer.command = request.command;
    answer.data = std::move(*data);
    answer.checkByteOk = !config_.corruptCheckByte;
    const int master = MasterIndex(request);
    /* The next burst frame names the master just served: the other one gets the next turn. */
    nextBurstMasterBit_ = master == 1 ? kMasterBit : 0;
    answering_ = true;
    if (burstKey_ != 0) {
        CancelScheduled(burstKey_);
        burstKey_ = 0;
    }
    if (config_.alterAnswer) {
        config_.alterAnswer(answer);
    }
    Bytes bytes = OnLine(answer, config_.preambles);
    const Bytes once = bytes;
    for (int i = 0; i < config_.answerRepeats; i++) {
        bytes.insert(bytes.end(), once.begin(), once.end());
    }
    Later(line_.Now() + config_.turnaround, [this, bytes = std::move(bytes), master] {
        answersSent_++;
        answersTo_[static_cast<std::size_t>(master)]++;
        Send(bytes, false);
    });
}

void FieldDevice::Send(Bytes bytes, bool burstFrame)
{
    sending_ = true;
    if (burstFrame) {
        burstFramesSent_++;
    }
    line_.Transmit(id_, bytes, [this](std::size_t) {
        sending_ = false;
        answering_ = false;
        if (bursting_) {
            ScheduleBurst(line_.Now() + config_.burstPause);
        }
    });
}

void FieldDevice::SetBurstMode(bool on)
{
    bursting_ = on;
    if (!on) {
        if (burstKey_ != 0) {
            CancelScheduled(burstKey_);
            burstKey_ = 0;
        }
        return;
    }
    if (!answering_ && !sending_) {
        ScheduleBurst(line_.Now() + config_.burstPause);
    }
}

void FieldDevice::ScheduleBurst(Ticks at)
{
    if (burstKey_ != 0) {
        CancelScheduled(burstKey_);
        burstKey_ = 0;
    }
    if (lastBurstStart_.count() >= 0 && config_.burstPeriod > Ticks::zero()) {
        at = std::max(at, lastBurstStart_ + config_.burstPeriod);
    }
    Later(at, [this] {
        burstKey_ = 0;
        SendBurst();
    }, &burstKey_);
}

void FieldDevice::SendBurst()
{
    if (!bursting_ || answering_ || sending_) {
        return;
    }
    if (config_.silent || line_.CarrierDetect(id_)) {
        /* A dead device publishes nothing; a busy line is waited out. */
        ScheduleBurst(line_.Now() + (config_.silent ? config_.burstPause : line_.CharacterDuration()));
        return;
    }
    HartFrame frame;
    frame.delimiter = kLongAddressBit | kDelimiterBack;
    frame.address = LongAddress();
    frame.address[0] = static_cast<std::uint8_t>(frame.address[0] | kBurstBit | nextBurstMasterBit_);
    frame.command = config_.burstCommand;
    const int master = nextBurstMasterBit_ != 0 ? 1 : 0;
    std::uint8_t responseCode = kResponseSuccess;
    /* Reading command 48 in a burst frame must not acknowledge anybody's status. */
    const auto moreStatus = moreStatus_;
    Bytes payload = CommandData(frame.command, BurstRequestData(), master, responseCode);
    moreStatus_ = moreStatus;
    frame.data = {responseCode, DeviceStatusFor(master == 1)};
    if (CarriesData(frame.command, responseCode)) {
        Append(frame.data, payload);
    }
    nextBurstMasterBit_ ^= kMasterBit;
    lastBurstStart_ = line_.Now();
    Send(OnLine(frame, config_.preambles), true);
}

Bytes FieldDevice::BurstRequestData() const
{
    if (config_.burstCommand != 9 && config_.burstCommand != 33) {
        return {};
    }
    Bytes codes(burstVariables_.begin(), burstVariables_.begin() + (config_.burstCommand == 33 ? 4 : 8));
    while (!codes.empty() && codes.back() == kVariableNotUsed) {
        codes.pop_back();
    }
    return codes;
}

} // namespace sim
