#include "app/CommonPractice.h"

#include <algorithm>
#include <cmath>

namespace hart {

namespace {

constexpr std::size_t kLegacyBurstSlots = 4;
constexpr std::size_t kBurstSlots = 8;
/* Command 105 of revision 7: everything up to the trigger level. */
constexpr std::size_t kBurstConfigurationBytes = 29;

std::uint16_t U16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t U24(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return std::uint32_t{bytes[at]} << 16 | std::uint32_t{bytes[at + 1]} << 8 | bytes[at + 2];
}

TimeValue TimeAt(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return TimeValue{std::uint32_t{U16(bytes, at)} << 16 | U16(bytes, at + 2)};
}

void AppendTime(Bytes& data, TimeValue time)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        data.push_back(static_cast<std::uint8_t>(time.ticks >> shift));
    }
}

std::optional<std::uint8_t> ByteAt(std::span<const std::uint8_t> payload, std::size_t at)
{
    return payload.size() > at ? std::optional<std::uint8_t>(payload[at]) : std::nullopt;
}

Command WithFloat(std::uint8_t number, float value)
{
    Command command{number, {}};
    AppendFloat(command.data, value);
    return command;
}

std::string Named(std::span<const char* const> names, std::uint8_t code)
{
    return code < names.size() ? names[code] : "code " + std::to_string(code);
}

} // namespace

std::optional<TimeValue> TimeValue::FromSeconds(double seconds)
{
    const double ticks = std::round(seconds * 32000.0);
    /* The negated test also refuses not-a-number. */
    if (!(ticks >= 0.0 && ticks <= 4294967295.0)) {
        return std::nullopt;
    }
    return TimeValue{static_cast<std::uint32_t>(ticks)};
}

std::string LockCodeName(LockCode code)
{
    static constexpr const char* kNames[] = {"unlocked", "locked", "locked permanently", "locked for all"};
    return Named(kNames, static_cast<std::uint8_t>(code));
}

std::string SquawkControlName(SquawkControl control)
{
    static constexpr const char* kNames[] = {"off", "on", "once"};
    return Named(kNames, static_cast<std::uint8_t>(control));
}

std::string BurstModeName(BurstMode mode)
{
    static constexpr const char* kNames[] = {"off", "on token-passing", "on TDMA", "on TDMA and token-passing"};
    return Named(kNames, static_cast<std::uint8_t>(mode));
}

std::string TriggerModeName(TriggerMode mode)
{
    static constexpr const char* kNames[] = {"continuous", "window", "rising", "falling", "on change"};
    return Named(kNames, static_cast<std::uint8_t>(mode));
}

std::string WriteModeName(WriteMode mode)
{
    static constexpr const char* kNames[] = {"normal", "fixed value"};
    return Named(kNames, static_cast<std::uint8_t>(mode));
}

namespace {

constexpr NamedBit kLockState[] = {
    {kLockDeviceLocked, "device locked", "device_locked"},
    {kLockPermanent, "lock is permanent", "lock_permanent"},
    {kLockByPrimaryMaster, "locked by primary master", "locked_by_primary_master"},
    {kLockConfigurationFrozen, "configuration cannot be changed by any application", "configuration_frozen"},
    {kLockByGateway, "locked by gateway", "locked_by_gateway"},
};

} // namespace

std::span<const NamedBit> LockStateBits()
{
    return kLockState;
}

/* ---- Requests ---- */

std::optional<Command> ReadDeviceVariableValues(std::span<const std::uint8_t> codes)
{
    if (codes.empty() || codes.size() > 4) {
        return std::nullopt;
    }
    return Command{33, Bytes(codes.begin(), codes.end())};
}

std::optional<Command> WritePrimaryVariableDamping(float seconds)
{
    if (!std::isfinite(seconds) || seconds < 0.0f) {
        return std::nullopt;
    }
    return WithFloat(34, seconds);
}

std::optional<Command> WritePrimaryVariableRange(std::uint8_t unit, float upper, float lower)
{
    if (!std::isfinite(upper) || !std::isfinite(lower)) {
        return std::nullopt;
    }
    Command command{35, {unit}};
    AppendFloat(command.data, upper);
    AppendFloat(command.data, lower);
    return command;
}

std::optional<Command> EnterFixedCurrentMode(float milliamps)
{
    if (!std::isfinite(milliamps) || milliamps <= 0.0f) {
        return std::nullopt;
    }
    return WithFloat(40, milliamps);
}

Command ExitFixedCurrentMode() { return WithFloat(40, 0.0f); }
Command WritePrimaryVariableUnits(std::uint8_t unit) { return Command{44, {unit}}; }
Command ReadDynamicVariableAssignments() { return Command{50, {}}; }
Command ReadDeviceVariableInformation(std::uint8_t code) { return Command{54, {code}}; }
Command WriteResponsePreambles(std::uint8_t count) { return Command{59, {count}}; }
Command LockDevice(LockCode code) { return Command{71, {static_cast<std::uint8_t>(code)}}; }
Command ReadLockDeviceState() { return Command{76, {}}; }
Command FlushDelayedResponses() { return Command{106, {}}; }

Command Squawk(std::optional<SquawkControl> control)
{
    Command command{72, {}};
    if (control) {
        command.data.push_back(static_cast<std::uint8_t>(*control));
    }
    return command;
}

std::optional<Command> WriteDeviceVariable(const DeviceVariableWrite& write)
{
    if (!std::isfinite(write.value.value)) {
        return std::nullopt;
    }
    Command command{79, {write.code, static_cast<std::uint8_t>(write.mode), write.value.unit}};
    AppendFloat(command.data, write.value.value);
    command.data.push_back(write.status);
    return command;
}

Command WriteBurstPeriod(std::uint8_t message, TimeValue update, TimeValue maximum)
{
    Command command{103, {message}};
    AppendTime(command.data, update);
    AppendTime(command.data, maximum);
    return command;
}

std::optional<Command> WriteBurstTrigger(const BurstTrigger& trigger)
{
    if (!std::isfinite(trigger.level.value)) {
        return std::nullopt;
    }
    Command command{104, {trigger.message, static_cast<std::uint8_t>(trigger.mode), trigger.classification,
                          trigger.level.unit}};
    AppendFloat(command.data, trigger.level.value);
    return command;
}

Command ReadBurstModeConfiguration(std::optional<std::uint8_t> message)
{
    Command command{105, {}};
    if (message) {
        command.data.push_back(*message);
    }
    return command;
}

std::optional<Command> WriteBurstDeviceVariables(std::span<const std::uint8_t> codes,
                                                 std::optional<std::uint8_t> message)
{
    const std::size_t slots = message ? kBurstSlots : kLegacyBurstSlots;
    if (codes.empty() || codes.size() > slots) {
        return std::nullopt;
    }
    Command command{107, Bytes(codes.begin(), codes.end())};
    command.data.resize(slots, kVariableNotUsed);
    if (message) {
        command.data.push_back(*message);
    }
    return command;
}

std::optional<Command> WriteBurstCommandNumber(std::uint16_t number, std::optional<std::uint8_t> message)
{
    if (!message) {
        if (number > 0xFF) {
            return std::nullopt;
        }
        return Command{108, {static_cast<std::uint8_t>(number)}};
    }
    return Command{108, {static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number), *message}};
}

Command WriteBurstMode(BurstMode mode, std::optional<std::uint8_t> message)
{
    Command command{109, {static_cast<std::uint8_t>(mode)}};
    if (message) {
        command.data.push_back(*message);
    }
    return command;
}

/* ---- Answers ---- */

std::optional<std::vector<DeviceVariableValue>> DecodeDeviceVariableValues(std::span<const std::uint8_t> p)
{
    constexpr std::size_t kSlot = 6;
    if (p.size() < kSlot) {
        return std::nullopt;
    }
    std::vector<DeviceVariableValue> values;
    for (std::size_t at = 0; at + kSlot <= p.size() && values.size() < 4; at += kSlot) {
        values.push_back(DeviceVariableValue{p[at], Measurement{p[at + 1], ReadFloat(p, at + 2)}});
    }
    return values;
}

std::optional<float> DecodePrimaryVariableDamping(std::span<const std::uint8_t> p)
{
    return p.size() >= 4 ? std::optional<float>(ReadFloat(p, 0)) : std::nullopt;
}

std::optional<RangeValues> DecodeRangeValues(std::span<const std::uint8_t> p)
{
    return p.size() >= 9 ? std::optional<RangeValues>(RangeValues{p[0], ReadFloat(p, 1), ReadFloat(p, 5)})
                         : std::nullopt;
}

std::optional<float> DecodeFixedCurrent(std::span<const std::uint8_t> p)
{
    return p.size() >= 4 ? std::optional<float>(ReadFloat(p, 0)) : std::nullopt;
}

std::optional<std::uint8_t> DecodePrimaryVariableUnits(std::span<const std::uint8_t> p)
{
    return ByteAt(p, 0);
}

std::optional<std::vector<std::uint8_t>> DecodeDynamicVariableAssignments(std::span<const std::uint8_t> p)
{
    if (p.empty()) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(p.begin(), p.begin() + static_cast<long>(std::min<std::size_t>(p.size(), 4)));
}

std::optional<DeviceVariableInformation> DecodeDeviceVariableInformation(std::span<const std::uint8_t> p)
{
    if (p.size() < 21) {
        return std::nullopt;
    }
    DeviceVariableInformation information;
    information.code = p[0];
    information.transducerSerialNumber = U24(p, 1);
    information.unit = p[4];
    information.upperLimit = ReadFloat(p, 5);
    information.lowerLimit = ReadFloat(p, 9);
    information.damping = ReadFloat(p, 13);
    information.minimumSpan = ReadFloat(p, 17);
    information.classification = ByteAt(p, 21);
    if (p.size() >= 28) {
        information.family = p[22];
        information.acquisitionPeriod = TimeAt(p, 23);
        information.properties = p[27];
    }
    return information;
}

std::optional<std::uint8_t> DecodeResponsePreambles(std::span<const std::uint8_t> p)
{
    return ByteAt(p, 0);
}

std::optional<LockCode> DecodeLockCode(std::span<const std::uint8_t> p)
{
    return p.empty() ? std::nullopt : std::optional<LockCode>(static_cast<LockCode>(p[0]));
}

std::optional<std::uint8_t> DecodeLockState(std::span<const std::uint8_t> p)
{
    return ByteAt(p, 0);
}

std::optional<DeviceVariableWrite> DecodeDeviceVariableWrite(std::span<const std::uint8_t> p)
{
    if (p.size() < 8) {
        return std::nullopt;
    }
    return DeviceVariableWrite{p[0], static_cast<WriteMode>(p[1]), Measurement{p[2], ReadFloat(p, 3)}, p[7]};
}

std::optional<BurstPeriod> DecodeBurstPeriod(std::span<const std::uint8_t> p)
{
    if (p.size() < 9) {
        return std::nullopt;
    }
    return BurstPeriod{p[0], TimeAt(p, 1), TimeAt(p, 5)};
}

std::optional<BurstTrigger> DecodeBurstTrigger(std::span<const std::uint8_t> p)
{
    if (p.size() < 8) {
        return std::nullopt;
    }
    return BurstTrigger{p[0], static_cast<TriggerMode>(p[1]), p[2], Measurement{p[3], ReadFloat(p, 4)}};
}

std::optional<BurstConfiguration> DecodeBurstConfiguration(std::span<const std::uint8_t> p)
{
    if (p.size() < 2 + kLegacyBurstSlots) {
        return std::nullopt;
    }
    BurstConfiguration configuration;
    configuration.mode = static_cast<BurstMode>(p[0]);
    configuration.command = p[1];
    if (p.size() < kBurstConfigurationBytes) {
        configuration.slots.assign(p.begin() + 2, p.begin() + 2 + kLegacyBurstSlots);
        return configuration;
    }
    configuration.slots.assign(p.begin() + 2, p.begin() + 2 + kBurstSlots);
    configuration.message = p[10];
    configuration.maximumMessages = p[11];
    /* The command byte says 31 when the number needs the two bytes further on. */
    if (p[1] == kExpandedCommand) {
        configuration.command = U16(p, 12);
    }
    configuration.period = BurstPeriod{p[10], TimeAt(p, 14), TimeAt(p, 18)};
    configuration.trigger = BurstTrigger{p[10], static_cast<TriggerMode>(p[22]), p[23], Measurement{p[24], ReadFloat(p, 25)}};
    return configuration;
}

std::optional<BurstDeviceVariables> DecodeBurstDeviceVariables(std::span<const std::uint8_t> p)
{
    if (p.size() > kBurstSlots) {
        return BurstDeviceVariables{Bytes(p.begin(), p.begin() + kBurstSlots), p[kBurstSlots]};
    }
    if (p.size() >= kLegacyBurstSlots) {
        return BurstDeviceVariables{Bytes(p.begin(), p.begin() + kLegacyBurstSlots), std::nullopt};
    }
    return std::nullopt;
}

std::optional<BurstCommandNumber> DecodeBurstCommandNumber(std::span<const std::uint8_t> p)
{
    if (p.size() >= 3) {
        return BurstCommandNumber{U16(p, 0), p[2]};
    }
    if (p.size() == 1) {
        return BurstCommandNumber{p[0], std::nullopt};
    }
    return std::nullopt;
}

std::optional<BurstModeSetting> DecodeBurstMode(std::span<const std::uint8_t> p)
{
    if (p.empty()) {
        return std::nullopt;
    }
    return BurstModeSetting{static_cast<BurstMode>(p[0]), ByteAt(p, 1)};
}

/* ---- Fields ---- */

namespace {

constexpr std::uint8_t kUnitSeconds = 51;
constexpr std::uint8_t kUnitMilliamps = 39;

std::int64_t Integer(std::uint32_t value)
{
    return static_cast<std::int64_t>(value);
}

Measurement Seconds(TimeValue time)
{
    return Measurement{kUnitSeconds, static_cast<float>(time.Seconds())};
}

void UnitFields(const std::string& name, std::uint8_t unit, Fields& fields)
{
    fields.push_back({name + " code", Integer(unit)});
    fields.push_back({name, UnitText(unit)});
}

void SlotFields(std::span<const std::uint8_t> slots, Fields& fields)
{
    for (std::size_t i = 0; i < slots.size(); i++) {
        fields.push_back({"burst slot " + std::to_string(i), Integer(slots[i])});
    }
}

void MessageField(std::optional<std::uint8_t> message, Fields& fields)
{
    if (message) {
        fields.push_back({"burst message", Integer(*message)});
    }
}

void PeriodFields(const BurstPeriod& period, Fields& fields)
{
    fields.push_back({"update period", Seconds(period.update)});
    fields.push_back({"maximum update period", Seconds(period.maximum)});
}

void TriggerFields(const BurstTrigger& trigger, Fields& fields)
{
    fields.push_back({"trigger mode", TriggerModeName(trigger.mode)});
    fields.push_back({"trigger classification", Integer(trigger.classification)});
    fields.push_back({"trigger level", trigger.level});
}

const char* const kDynamicNames[] = {"primary variable", "secondary variable", "tertiary variable",
                                     "quaternary variable"};

} // namespace

Fields DecodeCommonPracticeFields(std::uint16_t command, std::span<const std::uint8_t> p)
{
    Fields fields;
    switch (command) {
    case 33:
        if (auto values = DecodeDeviceVariableValues(p)) {
            for (const DeviceVariableValue& value : *values) {
                fields.push_back({"device variable " + std::to_string(value.code), value.measurement});
            }
        }
        break;
    case 34:
        if (auto damping = DecodePrimaryVariableDamping(p)) {
            fields.push_back({"damping", Measurement{kUnitSeconds, *damping}});
        }
        break;
    case 35:
        if (auto range = DecodeRangeValues(p)) {
            fields.push_back({"upper range value", Measurement{range->unit, range->upper}});
            fields.push_back({"lower range value", Measurement{range->unit, range->lower}});
        }
        break;
    case 40:
        if (auto current = DecodeFixedCurrent(p)) {
            fields.push_back({"fixed current", Measurement{kUnitMilliamps, *current}});
        }
        break;
    case 44:
        if (auto unit = DecodePrimaryVariableUnits(p)) {
            UnitFields("primary variable unit", *unit, fields);
        }
        break;
    case 50:
    case 51:
        if (auto assignments = DecodeDynamicVariableAssignments(p)) {
            for (std::size_t i = 0; i < assignments->size(); i++) {
                fields.push_back({std::string(kDynamicNames[i]) + " device variable", Integer((*assignments)[i])});
            }
        }
        break;
    case 54:
        if (auto info = DecodeDeviceVariableInformation(p)) {
            fields.push_back({"device variable", Integer(info->code)});
            fields.push_back({"transducer serial number", Integer(info->transducerSerialNumber)});
            fields.push_back({"upper transducer limit", Measurement{info->unit, info->upperLimit}});
            fields.push_back({"lower transducer limit", Measurement{info->unit, info->lowerLimit}});
            fields.push_back({"damping", Measurement{kUnitSeconds, info->damping}});
            fields.push_back({"minimum span", Measurement{info->unit, info->minimumSpan}});
            if (info->classification) {
                fields.push_back({"classification", Integer(*info->classification)});
            }
            if (info->family) {
                fields.push_back({"family", Integer(*info->family)});
                fields.push_back({"acquisition period", Seconds(*info->acquisitionPeriod)});
                fields.push_back({"properties", Integer(*info->properties), 2});
            }
        }
        break;
    case 59:
        if (auto preambles = DecodeResponsePreambles(p)) {
            fields.push_back({"response preambles", Integer(*preambles)});
        }
        break;
    case 71:
        if (auto lock = DecodeLockCode(p)) {
            fields.push_back({"lock", LockCodeName(*lock)});
        }
        break;
    case 72:
        /* Some devices echo the control code; the answer need not carry one. */
        if (!p.empty()) {
            fields.push_back({"squawk", SquawkControlName(static_cast<SquawkControl>(p[0]))});
        }
        break;
    case 76:
        if (auto state = DecodeLockState(p)) {
            fields.push_back({"lock state", Flags{*state, BitNames(LockStateBits(), *state), LockStateBits()}});
        }
        break;
    case 79:
        if (auto write = DecodeDeviceVariableWrite(p)) {
            const DeviceVariable variable{write->code, 0, write->value, write->status};
            fields.push_back({"device variable", Integer(write->code)});
            fields.push_back({"write mode", WriteModeName(write->mode)});
            fields.push_back({"value", write->value});
            fields.push_back({"status", std::string(variable.Quality()) + ", " + variable.Limit()});
        }
        break;
    case 103:
        if (auto period = DecodeBurstPeriod(p)) {
            MessageField(period->message, fields);
            PeriodFields(*period, fields);
        }
        break;
    case 104:
        if (auto trigger = DecodeBurstTrigger(p)) {
            MessageField(trigger->message, fields);
            TriggerFields(*trigger, fields);
        }
        break;
    case 105:
        if (auto configuration = DecodeBurstConfiguration(p)) {
            MessageField(configuration->message, fields);
            fields.push_back({"burst mode", BurstModeName(configuration->mode)});
            fields.push_back({"burst command", Integer(configuration->command)});
            SlotFields(configuration->slots, fields);
            if (configuration->maximumMessages) {
                fields.push_back({"burst messages supported", Integer(*configuration->maximumMessages)});
                PeriodFields(*configuration->period, fields);
                TriggerFields(*configuration->trigger, fields);
            }
        }
        break;
    case 107:
        if (auto variables = DecodeBurstDeviceVariables(p)) {
            MessageField(variables->message, fields);
            SlotFields(variables->slots, fields);
        }
        break;
    case 108:
        if (auto number = DecodeBurstCommandNumber(p)) {
            MessageField(number->message, fields);
            fields.push_back({"burst command", Integer(number->command)});
        }
        break;
    case 109:
        if (auto setting = DecodeBurstMode(p)) {
            MessageField(setting->message, fields);
            fields.push_back({"burst mode", BurstModeName(setting->mode)});
        }
        break;
    default:
        break;
    }
    return fields;
}

} // namespace hart
