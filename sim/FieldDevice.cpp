#include "sim/FieldDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint8_t kDeviceRevision = 1;
constexpr std::uint8_t kSoftwareRevision = 3;
constexpr std::uint8_t kHardwareRevision = 0x10;
constexpr std::uint8_t kMinimumPreambles = 5;
constexpr std::uint8_t kUnitsNotUsed = 250;
constexpr std::size_t kLongTagLength = 32;
/* Commands a burst frame may carry: the ones that need no request data. */
constexpr std::array<std::uint8_t, 5> kBurstableCommands{1, 2, 3, 9, 48};

void AppendFloat(Bytes& data, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    for (int shift = 24; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
}

void Append(Bytes& data, const Bytes& more)
{
    data.insert(data.end(), more.begin(), more.end());
}

void AppendU16(Bytes& data, std::uint16_t value)
{
    data.push_back(static_cast<std::uint8_t>(value >> 8));
    data.push_back(static_cast<std::uint8_t>(value));
}

void AppendU32(Bytes& data, std::uint32_t value)
{
    AppendU16(data, static_cast<std::uint16_t>(value >> 16));
    AppendU16(data, static_cast<std::uint16_t>(value));
}

std::uint32_t ReadU32(const Bytes& data, std::size_t at)
{
    return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) | (std::uint32_t{data[at + 2]} << 8) |
           data[at + 3];
}

/* HART's packed ASCII: four 6-bit characters in three bytes, upper case. */
Bytes PackedAscii(const std::string& text, std::size_t bytes)
{
    Bytes packed(bytes, 0);
    std::size_t characters = bytes / 3 * 4;
    for (std::size_t i = 0; i < characters; i++) {
        char c = i < text.size() ? text[i] : ' ';
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        std::uint32_t code = static_cast<std::uint32_t>(c) & 0x3F;
        std::size_t bit = i * 6;
        for (int b = 5; b >= 0; b--, bit++) {
            if ((code >> b) & 1) {
                packed[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            }
        }
    }
    return packed;
}

std::string UnpackAscii(const Bytes& packed, std::size_t from, std::size_t bytes)
{
    std::string text;
    std::size_t characters = bytes / 3 * 4;
    for (std::size_t i = 0; i < characters; i++) {
        std::uint32_t code = 0;
        for (std::size_t bit = i * 6; bit < i * 6 + 6; bit++) {
            code = (code << 1) | ((packed[from + bit / 8] >> (7 - bit % 8)) & 1);
        }
        /* Codes below 0x20 stand for '@' to '_'. */
        text.push_back(static_cast<char>(code < 0x20 ? code + 0x40 : code));
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

Bytes LongTagBytes(const std::string& tag)
{
    Bytes bytes(kLongTagLength, 0);
    std::copy_n(tag.begin(), std::min(tag.size(), kLongTagLength), bytes.begin());
    return bytes;
}

bool IsWriteCommand(std::uint8_t command)
{
    switch (command) {
    case 6:
    case 17:
    case 18:
    case 19:
    case 22:
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

/* The lowest universal revision that knows a command. */
std::uint8_t RevisionOf(std::uint8_t command)
{
    if (command >= 20 && command <= 22) {
        return 6;
    }
    if ((command >= 103 && command <= 107) || command == kExpandedCommand) {
        return 7;
    }
    return 5;
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
    return status;
}

void FieldDevice::MarkConfigurationChanged()
{
    configChanged_ = {true, true};
    ++configChangeCounter_;
}

void FieldDevice::SetAdditionalStatus(const std::array<std::uint8_t, 6>& status)
{
    if (status != additionalStatus_) {
        additionalStatus_ = status;
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

Bytes FieldDevice::IdentityData() const
{
    /* Manufacturer and device type are the expanded device type of later revisions. */
    Bytes data{254, config_.manufacturerId, config_.deviceType, kMinimumPreambles, config_.universalRevision,
               kDeviceRevision, kSoftwareRevision, kHardwareRevision, 0};
    data.push_back(static_cast<std::uint8_t>(config_.deviceId >> 16));
    data.push_back(static_cast<std::uint8_t>(config_.deviceId >> 8));
    data.push_back(static_cast<std::uint8_t>(config_.deviceId));
    if (config_.universalRevision >= 7) {
        data.push_back(static_cast<std::uint8_t>(config_.preambles));
        data.push_back(4); /* device variables */
        AppendU16(data, configChangeCounter_);
        data.push_back(0); /* extended field device status */
        AppendU16(data, config_.manufacturerId);
        AppendU16(data, config_.manufacturerId); /* private label distributor */
        data.push_back(1);                       /* device profile: process automation */
    }
    return data;
}

std::optional<Bytes> FieldDevice::Answer(const HartFrame& request)
{
    const int master = MasterIndex(request);
    std::uint8_t responseCode = kResponseSuccess;
    Bytes payload;
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
        payload = IdentityData();
    } else if (config_.universalRevision < RevisionOf(request.command)) {
        responseCode = kResponseCommandNotImplemented;
    } else if (request.command == kExpandedCommand) {
        return ExpandedAnswer(request, master);
    } else if (config_.writeProtected && IsWriteCommand(request.command)) {
        responseCode = kResponseWriteProtected;
    } else {
        payload = CommandData(request.command, request.data, master, responseCode);
    }
    /* The status byte after the command: an acknowledgement clears its bit at once. */
    Bytes data{responseCode, DeviceStatusFor(master == 1)};
    if (responseCode == kResponseSuccess) {
        Append(data, payload);
    }
    return data;
}

Bytes FieldDevice::ExpandedAnswer(const HartFrame& request, int master)
{
    if (request.data.size() < 2) {
        return {kResponseTooFewDataBytes, DeviceStatusFor(master == 1)};
    }
    /* The number goes back in front of the data, whatever the outcome, so the
       host can tell which command the answer is for. */
    const auto number = static_cast<std::uint16_t>(request.data[0] << 8 | request.data[1]);
    auto known = config_.expandedCommands.find(number);
    const std::uint8_t responseCode = known != config_.expandedCommands.end() ? kResponseSuccess
                                                                               : kResponseCommandNotImplemented;
    Bytes data{responseCode, DeviceStatusFor(master == 1), request.data[0], request.data[1]};
    if (responseCode == kResponseSuccess) {
        Append(data, known->second);
    }
    return data;
}

Bytes FieldDevice::CommandData(std::uint8_t command, const Bytes& requestData, int master,
                               std::uint8_t& responseCode)
{
    const float span = config_.upperRange - config_.lowerRange;
    const float percent = span != 0.0f ? (config_.primaryValue - config_.lowerRange) / span * 100.0f : 0.0f;
    const float current = 4.0f + 0.16f * percent;
    auto variable = [&](std::uint8_t code) {
        if (code == 0 || code == 246) {
            return DeviceVariable{config_.primaryUnits, config_.primaryValue, 64};
        }
        if (code >= 1 && code <= 3) {
            return config_.otherVariables[code - 1];
        }
        if (code >= 247 && code <= 249) {
            return config_.otherVariables[code - 247];
        }
        if (code == 244) {
            return DeviceVariable{kUnitsPercent, percent, 0};
        }
        if (code == 245) {
            return DeviceVariable{kUnitsMilliamperes, current, 84};
        }
        return DeviceVariable{kUnitsNotUsed, std::nanf(""), 0};
    };
    auto tooShort = [&](std::size_t need) {
        if (requestData.size() < need) {
            responseCode = kResponseTooFewDataBytes;
            return true;
        }
        return false;
    };

    Bytes data;
    switch (command) {
    case 0: /* read unique identifier */
        return IdentityData();
    case 1: /* read primary variable */
        data.push_back(config_.primaryUnits);
        AppendFloat(data, config_.primaryValue);
        return data;
    case 2: /* read loop current and percent of range */
        AppendFloat(data, current);
        AppendFloat(data, percent);
        return data;
    case 3: /* read dynamic variables and loop current */
        AppendFloat(data, current);
        for (std::uint8_t code = 0; code < 4; code++) {
            DeviceVariable v = variable(code);
            data.push_back(v.units);
            AppendFloat(data, v.value);
        }
        return data;
    case 6: { /* write polling address */
        if (tooShort(1)) {
            return {};
        }
        const std::uint8_t highest = config_.universalRevision >= 6 ? 63 : 15;
        if (requestData[0] > highest) {
            responseCode = kResponseInvalidSelection;
            return {};
        }
        config_.pollingAddress = requestData[0];
        loopCurrentMode_ = requestData.size() >= 2 ? requestData[1] : (requestData[0] == 0 ? 1 : 0);
        Changed();
        data.push_back(config_.pollingAddress);
        if (config_.universalRevision >= 6) {
            data.push_back(loopCurrentMode_);
        }
        return data;
    }
    case 7: /* read loop configuration */
        return {config_.pollingAddress, loopCurrentMode_};
    case 8: /* read dynamic variable classifications */
        return {64, config_.otherVariables[0].classification, config_.otherVariables[1].classification,
                config_.otherVariables[2].classification};
    case 9: { /* read device variables with status */
        if (tooShort(1)) {
            return {};
        }
        data.push_back(0); /* extended field device status */
        const std::size_t slots = std::min<std::size_t>(requestData.size(), 8);
        for (std::size_t i = 0; i < slots; i++) {
            DeviceVariable v = variable(requestData[i]);
            data.push_back(requestData[i]);
            data.push_back(v.classification);
            data.push_back(v.units);
            AppendFloat(data, v.value);
            data.push_back(v.units == kUnitsNotUsed ? 0x30 : 0xC0); /* good or bad, constant */
        }
        /* Time stamp in 1/32 ms since the device started. */
        AppendU32(data, static_cast<std::uint32_t>(line_.Now().count() * 32 / 10'000));
        return data;
    }
    case 12: /* read message */
        return PackedAscii(config_.message, 24);
    case 13: /* read tag, descriptor, date */
        data = PackedAscii(config_.tag, 6);
        Append(data, PackedAscii(config_.descriptor, 12));
        data.insert(data.end(), config_.date.begin(), config_.date.end());
        return data;
    case 14: /* read primary variable transducer information */
        data = {static_cast<std::uint8_t>(config_.deviceId >> 16), static_cast<std::uint8_t>(config_.deviceId >> 8),
                static_cast<std::uint8_t>(config_.deviceId), config_.primaryUnits};
        AppendFloat(data, 500.0f);
        AppendFloat(data, -200.0f);
        AppendFloat(data, 10.0f);
        return data;
    case 15: /* read device information */
        data = {0 /* alarm: high */, 0 /* linear */, config_.primaryUnits};
        AppendFloat(data, config_.upperRange);
        AppendFloat(data, config_.lowerRange);
        AppendFloat(data, 1.0f); /* damping, seconds */
        data.push_back(config_.writeProtected ? 1 : 0);
        data.push_back(config_.manufacturerId);
        if (config_.universalRevision >= 6) {
            data.push_back(0); /* analog channel flags */
        }
        return data;
    case 16: /* read final assembly number */
        return {static_cast<std::uint8_t>(config_.finalAssemblyNumber >> 16),
                static_cast<std::uint8_t>(config_.finalAssemblyNumber >> 8),
                static_cast<std::uint8_t>(config_.finalAssemblyNumber)};
    case 17: /* write message */
        if (tooShort(24)) {
            return {};
        }
        config_.message = UnpackAscii(requestData, 0, 24);
        Changed();
        return Bytes(requestData.begin(), requestData.begin() + 24);
    case 18: /* write tag, descriptor, date */
        if (tooShort(21)) {
            return {};
        }
        config_.tag = UnpackAscii(requestData, 0, 6);
        config_.descriptor = UnpackAscii(requestData, 6, 12);
        std::copy_n(requestData.begin() + 18, 3, config_.date.begin());
        Changed();
        return Bytes(requestData.begin(), requestData.begin() + 21);
    case 19: /* write final assembly number */
        if (tooShort(3)) {
            return {};
        }
        config_.finalAssemblyNumber =
            (std::uint32_t{requestData[0]} << 16) | (std::uint32_t{requestData[1]} << 8) | requestData[2];
        Changed();
        return Bytes(requestData.begin(), requestData.begin() + 3);
    case 20: /* read long tag */
        return LongTagBytes(config_.longTag);
    case 22: { /* write long tag */
        if (tooShort(kLongTagLength)) {
            return {};
        }
        auto end = std::find(requestData.begin(), requestData.begin() + kLongTagLength, 0);
        config_.longTag.assign(requestData.begin(), end);
        Changed();
        return LongTagBytes(config_.longTag);
    }
    case 38: /* reset configuration changed flag */
        if (config_.universalRevision >= 7) {
            if (tooShort(2)) {
                return {};
            }
            if (((requestData[0] << 8) | requestData[1]) != configChangeCounter_) {
                responseCode = kResponseCounterMismatch;
                return {};
            }
            configChanged_[master] = false;
            AppendU16(data, configChangeCounter_);
            return data;
        }
        configChanged_[master] = false;
        return {};
    case 48: /* read additional device status */
        data.assign(additionalStatus_.begin(), additionalStatus_.end());
        data.insert(data.end(), {0 /* extended status */, 0 /* operating mode */, 0 /* standardized status 0 */});
        moreStatus_[master] = false;
        return data;
    case 103: { /* write burst period */
        if (tooShort(9)) {
            return {};
        }
        /* 1/32 ms units: 10000 / 32 ticks each. */
        config_.burstPeriod = Ticks{static_cast<std::int64_t>(ReadU32(requestData, 1)) * 10'000 / 32};
        Changed();
        return Bytes(requestData.begin(), requestData.begin() + 9);
    }
    case 104: /* write burst trigger: only continuous publishing is supported */
        if (tooShort(8)) {
            return {};
        }
        if (requestData[1] != 0) {
            responseCode = kResponseInvalidSelection;
            return {};
        }
        burstTriggerMode_ = requestData[1];
        Changed();
        return Bytes(requestData.begin(), requestData.begin() + 8);
    case 105: { /* read burst mode configuration */
        data = {static_cast<std::uint8_t>(bursting_ ? 1 : 0), 31};
        data.insert(data.end(), burstVariables_.begin(), burstVariables_.end());
        data.insert(data.end(), {0 /* burst message */, 1 /* messages supported */});
        AppendU16(data, config_.burstCommand);
        const auto period = static_cast<std::uint32_t>(config_.burstPeriod.count() * 32 / 10'000);
        AppendU32(data, period);
        AppendU32(data, period);
        data.insert(data.end(), {burstTriggerMode_, 0, kUnitsNotUsed});
        AppendFloat(data, 0.0f);
        return data;
    }
    case 106: /* flush delayed responses: the device never delays one */
        return {};
    case 107: { /* write burst device variables */
        if (tooShort(1)) {
            return {};
        }
        burstVariables_.fill(kUnitsNotUsed);
        std::copy_n(requestData.begin(), std::min<std::size_t>(requestData.size(), 8), burstVariables_.begin());
        Changed();
        data.assign(burstVariables_.begin(), burstVariables_.end());
        return data;
    }
    case 108: { /* write burst mode command number */
        if (tooShort(1)) {
            return {};
        }
        /* One byte before revision 7, two (and a burst message) after. */
        const std::uint16_t wanted = requestData.size() >= 2 && config_.universalRevision >= 7
                                         ? static_cast<std::uint16_t>((requestData[0] << 8) | requestData[1])
                                         : requestData[0];
        if (wanted > 0xFF || std::find(kBurstableCommands.begin(), kBurstableCommands.end(), wanted) ==
                                 kBurstableCommands.end()) {
            responseCode = kResponseInvalidSelection;
            return {};
        }
        config_.burstCommand = static_cast<std::uint8_t>(wanted);
        Changed();
        return requestData;
    }
    case 109: /* burst mode control */
        if (tooShort(1)) {
            return {};
        }
        if (requestData[0] > 1) {
            responseCode = kResponseInvalidSelection;
            return {};
        }
        Changed();
        SetBurstMode(requestData[0] == 1);
        return {requestData[0]};
    default:
        responseCode = kResponseCommandNotImplemented;
        return {};
    }
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
    Bytes requestData;
    if (frame.command == 9) {
        requestData.assign(burstVariables_.begin(), burstVariables_.end());
        while (!requestData.empty() && requestData.back() == kUnitsNotUsed) {
            requestData.pop_back();
        }
    }
    /* Reading command 48 in a burst frame must not acknowledge anybody's status. */
    const auto moreStatus = moreStatus_;
    Bytes payload = CommandData(frame.command, requestData, master, responseCode);
    moreStatus_ = moreStatus;
    frame.data = {responseCode, DeviceStatusFor(master == 1)};
    Append(frame.data, payload);
    nextBurstMasterBit_ ^= kMasterBit;
    lastBurstStart_ = line_.Now();
    Send(OnLine(frame, config_.preambles), true);
}

} // namespace sim
