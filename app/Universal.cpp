#include "app/Universal.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "app/CommonPractice.h"
#include "app/Status.h"

namespace hart {

namespace {

constexpr std::size_t kLongTagBytes = 32;

std::uint16_t ReadU16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t ReadU24(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return std::uint32_t{bytes[at]} << 16 | std::uint32_t{bytes[at + 1]} << 8 | bytes[at + 2];
}

void AppendU24(Bytes& data, std::uint32_t value)
{
    data.insert(data.end(), {static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
                             static_cast<std::uint8_t>(value)});
}

Command Plain(std::uint8_t number)
{
    return Command{number, {}};
}

std::optional<Bytes> LatinText(std::string_view text)
{
    if (text.size() > kLongTagBytes) {
        return std::nullopt;
    }
    Bytes data(kLongTagBytes, 0);
    std::copy(text.begin(), text.end(), data.begin());
    return data;
}

std::optional<std::uint8_t> ByteAt(std::span<const std::uint8_t> payload, std::size_t at)
{
    return payload.size() > at ? std::optional<std::uint8_t>(payload[at]) : std::nullopt;
}

std::int64_t Integer(std::uint32_t value)
{
    return static_cast<std::int64_t>(value);
}

Flags NamedFlags(std::span<const NamedBit> table, std::uint8_t bits)
{
    return Flags{bits, BitNames(table, bits), table};
}

} // namespace

float ReadFloat(std::span<const std::uint8_t> bytes, std::size_t at)
{
    const std::uint32_t bits = std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
                               std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

void AppendFloat(Bytes& data, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    for (int shift = 24; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
}

double Widen(float value)
{
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof(text), value);
    double widened = value;
    if (error == std::errc()) {
        std::from_chars(text, end, widened);
    }
    return widened;
}

std::string UnpackAscii(std::span<const std::uint8_t> packed)
{
    std::string text;
    const std::size_t characters = packed.size() / 3 * 4;
    for (std::size_t i = 0; i < characters; i++) {
        unsigned code = 0;
        for (std::size_t bit = i * 6; bit < i * 6 + 6; bit++) {
            code = (code << 1) | ((packed[bit / 8] >> (7 - bit % 8)) & 1u);
        }
        /* Codes below 0x20 stand for '@' to '_'. */
        text.push_back(static_cast<char>(code < 0x20 ? code + 0x40 : code));
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::optional<Bytes> PackAscii(std::string_view text, std::size_t bytes)
{
    const std::size_t characters = bytes / 3 * 4;
    if (text.size() > characters) {
        return std::nullopt;
    }
    Bytes packed(bytes, 0);
    for (std::size_t i = 0; i < characters; i++) {
        char c = i < text.size() ? text[i] : ' ';
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c < ' ' || c > '_') {
            return std::nullopt;
        }
        const unsigned code = static_cast<unsigned>(c) & 0x3F;
        for (std::size_t b = 0; b < 6; b++) {
            const std::size_t bit = i * 6 + b;
            if ((code >> (5 - b)) & 1) {
                packed[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
            }
        }
    }
    return packed;
}

Date ReadDate(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return Date{bytes[at], bytes[at + 1], static_cast<std::uint16_t>(1900 + bytes[at + 2])};
}

void AppendDate(Bytes& data, const Date& date)
{
    data.insert(data.end(), {date.day, date.month, static_cast<std::uint8_t>(date.year - 1900)});
}

/* ---- Requests ---- */

Command ReadUniqueIdentifier() { return Plain(0); }
Command ReadPrimaryVariable() { return Plain(1); }
Command ReadLoopCurrentAndPercent() { return Plain(2); }
Command ReadDynamicVariables() { return Plain(3); }
Command ReadLoopConfiguration() { return Plain(7); }
Command ReadDynamicVariableClassifications() { return Plain(8); }
Command ReadMessage() { return Plain(12); }
Command ReadTagDescriptorDate() { return Plain(13); }
Command ReadTransducerInformation() { return Plain(14); }
Command ReadDeviceInformation() { return Plain(15); }
Command ReadFinalAssemblyNumber() { return Plain(16); }
Command ReadLongTag() { return Plain(20); }
Command ReadAdditionalStatus() { return Plain(48); }

Command WritePollingAddress(std::uint8_t address, std::uint8_t loopCurrentMode)
{
    return Command{6, {address, loopCurrentMode}};
}

Command ReadDeviceVariables(std::span<const std::uint8_t> codes)
{
    return Command{9, Bytes(codes.begin(), codes.begin() + static_cast<long>(std::min<std::size_t>(codes.size(), 8)))};
}

std::optional<Command> ReadUniqueIdentifierByTag(std::string_view tag)
{
    std::optional<Bytes> packed = PackAscii(tag, 6);
    if (!packed) {
        return std::nullopt;
    }
    return Command{11, std::move(*packed)};
}

std::optional<Command> WriteMessage(std::string_view message)
{
    std::optional<Bytes> packed = PackAscii(message, 24);
    if (!packed) {
        return std::nullopt;
    }
    return Command{17, std::move(*packed)};
}

std::optional<Command> WriteTagDescriptorDate(std::string_view tag, std::string_view descriptor, const Date& date)
{
    std::optional<Bytes> packedTag = PackAscii(tag, 6);
    std::optional<Bytes> packedDescriptor = PackAscii(descriptor, 12);
    if (!packedTag || !packedDescriptor || date.year < 1900 || date.year > 2155) {
        return std::nullopt;
    }
    Command command{18, std::move(*packedTag)};
    command.data.insert(command.data.end(), packedDescriptor->begin(), packedDescriptor->end());
    AppendDate(command.data, date);
    return command;
}

Command WriteFinalAssemblyNumber(std::uint32_t number)
{
    Command command{19, {}};
    AppendU24(command.data, number);
    return command;
}

std::optional<Command> ReadUniqueIdentifierByLongTag(std::string_view longTag)
{
    std::optional<Bytes> data = LatinText(longTag);
    return data ? std::optional<Command>(Command{21, std::move(*data)}) : std::nullopt;
}

std::optional<Command> WriteLongTag(std::string_view longTag)
{
    std::optional<Bytes> data = LatinText(longTag);
    return data ? std::optional<Command>(Command{22, std::move(*data)}) : std::nullopt;
}

Command ResetConfigurationChanged(std::optional<std::uint16_t> counter)
{
    Command command = Plain(38);
    if (counter) {
        command.data = {static_cast<std::uint8_t>(*counter >> 8), static_cast<std::uint8_t>(*counter)};
    }
    return command;
}

/* ---- Answers ---- */

Address Identity::LongAddress() const
{
    return Address::Long({static_cast<std::uint8_t>(manufacturer & 0x3F), deviceType,
                          static_cast<std::uint8_t>(deviceId >> 16), static_cast<std::uint8_t>(deviceId >> 8),
                          static_cast<std::uint8_t>(deviceId)});
}

std::optional<Identity> DecodeIdentity(std::span<const std::uint8_t> p)
{
    if (p.size() < 12 || p[0] != 254) {
        return std::nullopt;
    }
    Identity identity;
    identity.manufacturer = p[1];
    identity.deviceType = p[2];
    identity.preambles = p[3];
    identity.universalRevision = p[4];
    identity.deviceRevision = p[5];
    identity.softwareRevision = p[6];
    identity.hardwareRevision = static_cast<std::uint8_t>(p[7] >> 3);
    identity.physicalSignaling = static_cast<std::uint8_t>(p[7] & 0x07);
    identity.flags = p[8];
    identity.deviceId = ReadU24(p, 9);
    if (p.size() >= 17) {
        identity.responsePreambles = p[12];
        identity.maxDeviceVariables = p[13];
        identity.configurationChangeCounter = ReadU16(p, 14);
        identity.extendedStatus = p[16];
    }
    if (p.size() >= 22) {
        identity.manufacturerCode = ReadU16(p, 17);
        identity.privateLabelDistributor = ReadU16(p, 19);
        identity.deviceProfile = p[21];
    }
    return identity;
}

std::optional<Measurement> DecodePrimaryVariable(std::span<const std::uint8_t> p)
{
    return p.size() >= 5 ? std::optional<Measurement>(Measurement{p[0], ReadFloat(p, 1)}) : std::nullopt;
}

std::optional<LoopCurrentAndPercent> DecodeLoopCurrentAndPercent(std::span<const std::uint8_t> p)
{
    return p.size() >= 8 ? std::optional<LoopCurrentAndPercent>({ReadFloat(p, 0), ReadFloat(p, 4)}) : std::nullopt;
}

std::optional<DynamicVariables> DecodeDynamicVariables(std::span<const std::uint8_t> p)
{
    if (p.size() < 4) {
        return std::nullopt;
    }
    DynamicVariables variables{ReadFloat(p, 0), {}};
    for (std::size_t at = 4; at + 5 <= p.size() && variables.variables.size() < 4; at += 5) {
        variables.variables.push_back(Measurement{p[at], ReadFloat(p, at + 1)});
    }
    return variables;
}

std::optional<LoopConfiguration> DecodeLoopConfiguration(std::span<const std::uint8_t> p)
{
    if (p.empty()) {
        return std::nullopt;
    }
    return LoopConfiguration{p[0], ByteAt(p, 1)};
}

std::optional<std::vector<std::uint8_t>> DecodeClassifications(std::span<const std::uint8_t> p)
{
    if (p.empty()) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(p.begin(), p.begin() + static_cast<long>(std::min<std::size_t>(p.size(), 4)));
}

const char* DeviceVariable::Quality() const
{
    static constexpr const char* kQuality[] = {"bad", "poor accuracy", "manual or fixed", "good"};
    return kQuality[status >> 6];
}

const char* DeviceVariable::Limit() const
{
    static constexpr const char* kLimit[] = {"not limited", "low limited", "high limited", "constant"};
    return kLimit[(status >> 4) & 3];
}

std::optional<DeviceVariables> DecodeDeviceVariables(std::span<const std::uint8_t> p)
{
    constexpr std::size_t kSlot = 8;
    if (p.size() < 1 + kSlot) {
        return std::nullopt;
    }
    DeviceVariables variables;
    variables.extendedStatus = p[0];
    std::size_t at = 1;
    for (; at + kSlot <= p.size() && variables.slots.size() < 8; at += kSlot) {
        /* A time stamp closes the answer: four bytes where a slot wants eight. */
        if (p.size() - at == 4) {
            break;
        }
        variables.slots.push_back(DeviceVariable{p[at], p[at + 1], Measurement{p[at + 2], ReadFloat(p, at + 3)}, p[at + 7]});
    }
    if (p.size() - at == 4) {
        variables.timeStamp = std::uint32_t{ReadU16(p, at)} << 16 | ReadU16(p, at + 2);
    }
    return variables;
}

std::optional<std::string> DecodeMessage(std::span<const std::uint8_t> p)
{
    return p.size() >= 24 ? std::optional<std::string>(UnpackAscii(p.first(24))) : std::nullopt;
}

std::optional<TagDescriptorDate> DecodeTagDescriptorDate(std::span<const std::uint8_t> p)
{
    if (p.size() < 21) {
        return std::nullopt;
    }
    return TagDescriptorDate{UnpackAscii(p.first(6)), UnpackAscii(p.subspan(6, 12)), ReadDate(p, 18)};
}

std::optional<TransducerInformation> DecodeTransducerInformation(std::span<const std::uint8_t> p)
{
    if (p.size() < 16) {
        return std::nullopt;
    }
    return TransducerInformation{ReadU24(p, 0), p[3], ReadFloat(p, 4), ReadFloat(p, 8), ReadFloat(p, 12)};
}

std::optional<DeviceInformation> DecodeDeviceInformation(std::span<const std::uint8_t> p)
{
    if (p.size() < 17) {
        return std::nullopt;
    }
    DeviceInformation information{p[0], p[1], p[2], ReadFloat(p, 3), ReadFloat(p, 7), ReadFloat(p, 11), p[15], p[16],
                                  std::nullopt};
    if (p.size() >= 18) {
        information.analogChannelFlags = p[17];
    }
    return information;
}

std::optional<std::uint32_t> DecodeFinalAssemblyNumber(std::span<const std::uint8_t> p)
{
    return p.size() >= 3 ? std::optional<std::uint32_t>(ReadU24(p, 0)) : std::nullopt;
}

std::optional<std::string> DecodeLongTag(std::span<const std::uint8_t> p)
{
    if (p.size() < kLongTagBytes) {
        return std::nullopt;
    }
    auto end = std::find(p.begin(), p.begin() + kLongTagBytes, 0);
    /* ISO Latin-1 to UTF-8. */
    std::string text;
    for (auto it = p.begin(); it != end; ++it) {
        if (*it < 0x80) {
            text.push_back(static_cast<char>(*it));
        } else {
            text.push_back(static_cast<char>(0xC0 | (*it >> 6)));
            text.push_back(static_cast<char>(0x80 | (*it & 0x3F)));
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

std::optional<std::uint16_t> DecodeConfigurationChangeCounter(std::span<const std::uint8_t> p)
{
    return p.size() >= 2 ? std::optional<std::uint16_t>(ReadU16(p, 0)) : std::nullopt;
}

std::optional<AdditionalStatus> DecodeAdditionalStatus(std::span<const std::uint8_t> p)
{
    if (p.empty()) {
        return std::nullopt;
    }
    AdditionalStatus status;
    status.deviceSpecific.assign(p.begin(), p.begin() + static_cast<long>(std::min<std::size_t>(p.size(), 6)));
    status.extendedStatus = ByteAt(p, 6);
    status.operatingMode = ByteAt(p, 7);
    for (std::size_t at : {8, 9, 11, 12}) {
        if (p.size() > at) {
            status.standardized.push_back(p[at]);
        }
    }
    status.analogChannelSaturated = ByteAt(p, 10);
    status.analogChannelFixed = ByteAt(p, 13);
    if (p.size() > 14) {
        status.deviceSpecific.insert(status.deviceSpecific.end(), p.begin() + 14, p.end());
    }
    return status;
}

/* ---- Fields ---- */

namespace {

void IdentityFields(const Identity& identity, Fields& fields)
{
    fields.push_back({"manufacturer", Integer(identity.manufacturer), 2});
    fields.push_back({"device type", Integer(identity.deviceType), 2});
    fields.push_back({"device id", Integer(identity.deviceId), 6});
    fields.push_back({"long address", identity.LongAddress().Text()});
    fields.push_back({"preambles", Integer(identity.preambles)});
    fields.push_back({"universal revision", Integer(identity.universalRevision)});
    fields.push_back({"device revision", Integer(identity.deviceRevision)});
    fields.push_back({"software revision", Integer(identity.softwareRevision)});
    fields.push_back({"hardware revision", Integer(identity.hardwareRevision)});
    fields.push_back({"physical signaling", Integer(identity.physicalSignaling)});
    fields.push_back({"flags", Integer(identity.flags), 2});
    if (identity.responsePreambles) {
        fields.push_back({"response preambles", Integer(*identity.responsePreambles)});
        fields.push_back({"device variables", Integer(*identity.maxDeviceVariables)});
        fields.push_back({"configuration change counter", Integer(*identity.configurationChangeCounter)});
        fields.push_back({"extended status", NamedFlags(ExtendedStatusBits(), *identity.extendedStatus)});
    }
    if (identity.manufacturerCode) {
        fields.push_back({"manufacturer code", Integer(*identity.manufacturerCode), 4});
        fields.push_back({"private label distributor", Integer(*identity.privateLabelDistributor), 4});
        fields.push_back({"device profile", Integer(*identity.deviceProfile)});
    }
}

const char* const kDynamicNames[] = {"primary variable", "secondary variable", "tertiary variable",
                                     "quaternary variable"};

} // namespace

Fields DecodeFields(std::uint16_t command, std::span<const std::uint8_t> p)
{
    Fields fields;
    switch (command) {
    case 0:
    case 11:
    case 21:
        if (auto identity = DecodeIdentity(p)) {
            IdentityFields(*identity, fields);
        }
        break;
    case 1:
        if (auto pv = DecodePrimaryVariable(p)) {
            fields.push_back({"primary variable", *pv});
        }
        break;
    case 2:
        if (auto loop = DecodeLoopCurrentAndPercent(p)) {
            fields.push_back({"loop current", Measurement{39, loop->current}});
            fields.push_back({"percent of range", Measurement{57, loop->percent}});
        }
        break;
    case 3:
        if (auto dynamic = DecodeDynamicVariables(p)) {
            fields.push_back({"loop current", Measurement{39, dynamic->loopCurrent}});
            for (std::size_t i = 0; i < dynamic->variables.size(); i++) {
                fields.push_back({kDynamicNames[i], dynamic->variables[i]});
            }
        }
        break;
    case 6:
    case 7:
        if (auto loop = DecodeLoopConfiguration(p)) {
            fields.push_back({"polling address", Integer(loop->pollingAddress)});
            if (loop->loopCurrentMode) {
                fields.push_back({"loop current mode", std::string(*loop->loopCurrentMode ? "enabled" : "disabled")});
            }
        }
        break;
    case 8:
        if (auto classes = DecodeClassifications(p)) {
            for (std::size_t i = 0; i < classes->size(); i++) {
                fields.push_back({std::string(kDynamicNames[i]) + " classification", Integer((*classes)[i])});
            }
        }
        break;
    case 9:
        if (auto variables = DecodeDeviceVariables(p)) {
            fields.push_back({"extended status", NamedFlags(ExtendedStatusBits(), variables->extendedStatus)});
            for (const DeviceVariable& slot : variables->slots) {
                const std::string name = "device variable " + std::to_string(slot.code);
                fields.push_back({name, slot.measurement});
                fields.push_back({name + " classification", Integer(slot.classification)});
                fields.push_back({name + " status", std::string(slot.Quality()) + ", " + slot.Limit()});
            }
            if (variables->timeStamp) {
                fields.push_back({"time stamp", Measurement{51, static_cast<float>(*variables->timeStamp / 32000.0)}});
            }
        }
        break;
    case 12:
    case 17:
        if (auto message = DecodeMessage(p)) {
            fields.push_back({"message", *message});
        }
        break;
    case 13:
    case 18:
        if (auto tdd = DecodeTagDescriptorDate(p)) {
            fields.push_back({"tag", tdd->tag});
            fields.push_back({"descriptor", tdd->descriptor});
            fields.push_back({"date", tdd->date});
        }
        break;
    case 14:
        if (auto transducer = DecodeTransducerInformation(p)) {
            fields.push_back({"transducer serial number", Integer(transducer->serialNumber)});
            fields.push_back({"upper transducer limit", Measurement{transducer->unit, transducer->upperLimit}});
            fields.push_back({"lower transducer limit", Measurement{transducer->unit, transducer->lowerLimit}});
            fields.push_back({"minimum span", Measurement{transducer->unit, transducer->minimumSpan}});
        }
        break;
    case 15:
        if (auto info = DecodeDeviceInformation(p)) {
            fields.push_back({"alarm selection", Integer(info->alarmSelection)});
            fields.push_back({"transfer function", Integer(info->transferFunction)});
            fields.push_back({"upper range value", Measurement{info->rangeUnit, info->upperRange}});
            fields.push_back({"lower range value", Measurement{info->rangeUnit, info->lowerRange}});
            fields.push_back({"damping", Measurement{51, info->damping}});
            fields.push_back({"write protect", Integer(info->writeProtect)});
            fields.push_back({"private label distributor", Integer(info->privateLabelDistributor)});
            if (info->analogChannelFlags) {
                fields.push_back({"analog channel flags", Integer(*info->analogChannelFlags)});
            }
        }
        break;
    case 16:
    case 19:
        if (auto number = DecodeFinalAssemblyNumber(p)) {
            fields.push_back({"final assembly number", Integer(*number)});
        }
        break;
    case 20:
    case 22:
        if (auto tag = DecodeLongTag(p)) {
            fields.push_back({"long tag", *tag});
        }
        break;
    case 38:
        if (auto counter = DecodeConfigurationChangeCounter(p)) {
            fields.push_back({"configuration change counter", Integer(*counter)});
        }
        break;
    case 48:
        if (auto status = DecodeAdditionalStatus(p)) {
            fields.push_back({"device-specific status", status->deviceSpecific});
            if (status->extendedStatus) {
                fields.push_back({"extended status", NamedFlags(ExtendedStatusBits(), *status->extendedStatus)});
            }
            if (status->operatingMode) {
                fields.push_back({"operating mode", Integer(*status->operatingMode)});
            }
            if (!status->standardized.empty()) {
                fields.push_back({"standardized status 0", NamedFlags(StandardizedStatus0Bits(), status->standardized[0])});
            }
            for (std::size_t i = 1; i < status->standardized.size(); i++) {
                fields.push_back({"standardized status " + std::to_string(i), Integer(status->standardized[i])});
            }
            if (status->analogChannelSaturated) {
                fields.push_back({"analog channel saturated", Integer(*status->analogChannelSaturated)});
            }
            if (status->analogChannelFixed) {
                fields.push_back({"analog channel fixed", Integer(*status->analogChannelFixed)});
            }
        }
        break;
    default:
        return DecodeCommonPracticeFields(command, p);
    }
    return fields;
}

} // namespace hart
