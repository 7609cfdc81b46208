#include "sim/FieldDevice.h"

#include <cstring>

namespace sim {

namespace {
constexpr std::uint8_t kUniversalRevision = 5;
constexpr std::uint8_t kDeviceRevision = 1;
constexpr std::uint8_t kSoftwareRevision = 3;
constexpr std::uint8_t kHardwareRevision = 0x10;
constexpr std::uint8_t kMinimumPreambles = 5;

void AppendFloat(Bytes& data, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    for (int shift = 24; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
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
} // namespace

FieldDevice::FieldDevice(HartLine& line, FieldDeviceConfig config)
    : line_(line), config_(std::move(config)), parser_(3 * line.CharacterDuration())
{
    id_ = line_.Attach("field device " + std::to_string(config_.pollingAddress),
                       [this](const LineCharacter& character) { Hear(character); });
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

void FieldDevice::Hear(const LineCharacter& character)
{
    auto frame = parser_.Take(character.byte, character.end, character.status == CharacterStatus::Garbled);
    if (!frame || frame->FrameType() != kDelimiterStx || !frame->checkByteOk || !AddressedToMe(*frame)) {
        return;
    }
    requestsHeard_++;
    if (!config_.silent) {
        Respond(*frame);
    }
}

bool FieldDevice::AddressedToMe(const HartFrame& request) const
{
    if (!request.IsLong()) {
        return (request.address[0] & 0x3F) == config_.pollingAddress;
    }
    Bytes mine = LongAddress();
    if ((request.address[0] & 0x3F) != mine[0]) {
        return false;
    }
    return std::equal(mine.begin() + 1, mine.end(), request.address.begin() + 1);
}

Bytes FieldDevice::Answer(std::uint8_t command, const Bytes& requestData)
{
    (void)requestData;
    Bytes data{kResponseSuccess, config_.deviceStatus};
    switch (command) {
    case 0: /* read unique identifier */
        data.insert(data.end(), {254, config_.manufacturerId, config_.deviceType, kMinimumPreambles,
                                 kUniversalRevision, kDeviceRevision, kSoftwareRevision, kHardwareRevision, 0});
        data.push_back(static_cast<std::uint8_t>(config_.deviceId >> 16));
        data.push_back(static_cast<std::uint8_t>(config_.deviceId >> 8));
        data.push_back(static_cast<std::uint8_t>(config_.deviceId));
        return data;
    case 1: /* read primary variable */
        data.push_back(config_.primaryUnits);
        AppendFloat(data, config_.primaryValue);
        return data;
    case 13: { /* read tag, descriptor, date */
        Bytes tag = PackedAscii(config_.tag, 6);
        data.insert(data.end(), tag.begin(), tag.end());
        Bytes descriptor = PackedAscii("SIMULATED", 12);
        data.insert(data.end(), descriptor.begin(), descriptor.end());
        data.insert(data.end(), {1, 1, 126});
        return data;
    }
    default:
        return {kResponseCommandNotImplemented, config_.deviceStatus};
    }
}

void FieldDevice::Respond(const HartFrame& request)
{
    HartFrame answer;
    answer.delimiter = static_cast<std::uint8_t>((request.delimiter & kLongAddressBit) | kDelimiterAck);
    answer.address = request.address;
    answer.command = request.command;
    answer.data = Answer(request.command, request.data);
    answer.checkByteOk = !config_.corruptCheckByte;
    Bytes bytes = OnLine(answer, config_.preambles);
    std::uint64_t serial = nextAnswer_++;
    scheduled_[serial] = line_.GetDispatcher().Schedule(line_.Now() + config_.turnaround, [this, serial, bytes] {
        scheduled_.erase(serial);
        answersSent_++;
        line_.Transmit(id_, bytes);
    });
}

} // namespace sim
