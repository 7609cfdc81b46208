/*
 * What the simulated field device does for each command it knows, and the
 * bytes it answers with. The device is a temperature transmitter: the
 * primary variable is device variable 0, the other three follow, and 244 to
 * 249 stand for the percent of range, the loop current and the dynamic
 * variables, as a host may name them.
 */
#include <algorithm>
#include <cmath>

#include "sim/DeviceBytes.h"
#include "sim/FieldDevice.h"

namespace sim {

using namespace device_bytes;

namespace {
constexpr std::uint8_t kDeviceRevision = 1;
constexpr std::uint8_t kSoftwareRevision = 3;
constexpr std::uint8_t kHardwareRevision = 0x10;
constexpr std::uint8_t kMinimumPreambles = 5;
constexpr std::uint8_t kMaximumPreambles = 20;
constexpr std::uint8_t kClassificationTemperature = 64;
constexpr std::uint8_t kFamilyTemperature = 4;
constexpr std::uint8_t kFamilyNone = 250;
/* Good, not limited; bad and constant for a variable the device does not have. */
constexpr std::uint8_t kVariableGood = 0xC0;
constexpr std::uint8_t kVariableBadConstant = 0x30;
constexpr float kLongestDamping = 32.0f;
/* The loop currents a loop test may hold, in mA. */
constexpr float kLowestFixedCurrent = 3.5f;
constexpr float kHighestFixedCurrent = 23.0f;
/* The device samples its sensor twice a second (in 1/32 ms). */
constexpr std::uint32_t kAcquisitionPeriod = 16'000;
/* Commands a burst frame may carry: the ones whose request the burst configuration gives. */
constexpr std::array<std::uint8_t, 6> kBurstableCommands{1, 2, 3, 9, 33, 48};
constexpr std::uint8_t kLockAll = 3;

/* Command-specific response codes. */
constexpr std::uint8_t kUpdateTimesAdjusted = 8;  /* 103, a warning */
constexpr std::uint8_t kInvalidDate = 9;          /* 18 */
constexpr std::uint8_t kInvalidBurstMessage = 9;  /* 103 to 109 */
constexpr std::uint8_t kLowerRangeTooHigh = 9;    /* 35 */
constexpr std::uint8_t kLowerRangeTooLow = 10;    /* 35 */
constexpr std::uint8_t kInvalidWriteCode = 10;    /* 79 */
constexpr std::uint8_t kUpperRangeTooHigh = 11;   /* 35 */
constexpr std::uint8_t kInMultidrop = 11;         /* 40 */
constexpr std::uint8_t kUpperRangeTooLow = 12;    /* 35 */
constexpr std::uint8_t kInvalidMode = 12;         /* 6 */
constexpr std::uint8_t kInvalidUnits = 12;        /* 44 */
constexpr std::uint8_t kRangeOutOfLimits = 13;    /* 35: both ends */
constexpr std::uint8_t kInvalidTriggerMode = 13;  /* 104 */
constexpr std::uint8_t kSpanTooSmall = 14;        /* 35, a warning */
constexpr std::uint8_t kStatusMismatch = 14;      /* 48, a warning */
constexpr std::uint8_t kInvalidSpan = 29;         /* 35 */

bool TooShort(const Bytes& request, std::size_t need, std::uint8_t& responseCode)
{
    if (request.size() < need) {
        responseCode = kResponseTooFewDataBytes;
        return true;
    }
    return false;
}

/* The device variable (0 to 3) a code names, the dynamic variables' codes included. */
std::optional<std::size_t> VariableIndex(std::uint8_t code)
{
    if (code <= 3) {
        return code;
    }
    if (code >= 246 && code <= 249) {
        return code - 246u;
    }
    return std::nullopt;
}

bool IsTemperature(std::uint8_t units)
{
    return units >= kUnitsDegreesCelsius && units <= kUnitsKelvin;
}

double ToKelvin(double value, std::uint8_t units)
{
    switch (units) {
    case kUnitsDegreesCelsius:
        return value + 273.15;
    case kUnitsDegreesFahrenheit:
        return (value + 459.67) * 5.0 / 9.0;
    case kUnitsDegreesRankine:
        return value * 5.0 / 9.0;
    default:
        return value;
    }
}

double FromKelvin(double kelvin, std::uint8_t units)
{
    switch (units) {
    case kUnitsDegreesCelsius:
        return kelvin - 273.15;
    case kUnitsDegreesFahrenheit:
        return kelvin * 9.0 / 5.0 - 459.67;
    case kUnitsDegreesRankine:
        return kelvin * 9.0 / 5.0;
    default:
        return kelvin;
    }
}

/* A temperature in other units; a span, which has no zero point, only scales. */
float Convert(float value, std::uint8_t from, std::uint8_t to)
{
    /* Through kelvin and back would round a value that needs no change. */
    if (from == to) {
        return value;
    }
    return static_cast<float>(FromKelvin(ToKelvin(value, from), to));
}

float ConvertSpan(float span, std::uint8_t from, std::uint8_t to)
{
    return Convert(span, from, to) - Convert(0.0f, from, to);
}

std::uint32_t InThirtySecondsOfAMillisecond(Ticks ticks)
{
    return static_cast<std::uint32_t>(ticks.count() * 32 / 10'000);
}

Ticks FromThirtySecondsOfAMillisecond(std::uint32_t value)
{
    return Ticks{static_cast<std::int64_t>(value) * 10'000 / 32};
}
} // namespace

std::optional<DeviceVariable> FieldDevice::Variable(std::uint8_t code) const
{
    if (code == 244) {
        return DeviceVariable{kUnitsPercent, PercentOfRange(), 0};
    }
    if (code == 245) {
        return DeviceVariable{kUnitsMilliamperes, LoopCurrent(), 84};
    }
    const std::optional<std::size_t> index = VariableIndex(code);
    if (!index) {
        return std::nullopt;
    }
    DeviceVariable variable = *index == 0
                                  ? DeviceVariable{config_.primaryUnits, config_.primaryValue, kClassificationTemperature}
                                  : config_.otherVariables[*index - 1];
    if (simulated_[*index]) {
        variable.value = simulated_[*index]->value;
    }
    return variable;
}

std::uint8_t FieldDevice::VariableStatus(std::uint8_t code) const
{
    if (!Variable(code)) {
        return kVariableBadConstant;
    }
    const std::optional<std::size_t> index = VariableIndex(code);
    return index && simulated_[*index] ? simulated_[*index]->status : kVariableGood;
}

float FieldDevice::PercentOfRange() const
{
    const float span = config_.upperRange - config_.lowerRange;
    const float primary = simulated_[0] ? simulated_[0]->value : config_.primaryValue;
    return span != 0.0f ? (primary - config_.lowerRange) / span * 100.0f : 0.0f;
}

float FieldDevice::LoopCurrent() const
{
    if (fixedCurrent_) {
        return *fixedCurrent_;
    }
    if (loopCurrentMode_ == 0) {
        return 4.0f;
    }
    return 4.0f + 0.16f * PercentOfRange();
}

std::uint8_t FieldDevice::ExtendedStatus() const
{
    const bool simulating = std::any_of(simulated_.begin(), simulated_.end(), [](const auto& s) { return s.has_value(); });
    /* A loop test or a simulation: what the device shows is not the process. */
    return fixedCurrent_ || simulating ? kExtendedFunctionCheck : 0;
}

std::array<std::uint8_t, 14> FieldDevice::AdditionalStatus() const
{
    std::array<std::uint8_t, 14> status{};
    std::copy(additionalStatus_.begin(), additionalStatus_.end(), status.begin());
    /* Revision 7 answers all of it; older ones stop after standardized status 0. */
    if (config_.universalRevision < 7) {
        return status;
    }
    status[6] = ExtendedStatus();
    const bool simulating = std::any_of(simulated_.begin(), simulated_.end(), [](const auto& s) { return s.has_value(); });
    status[8] = static_cast<std::uint8_t>((simulating ? kStandardizedSimulationActive : 0) |
                                          (lockCode_ != 0 ? kStandardizedConfigurationLocked : 0));
    status[13] = fixedCurrent_ || loopCurrentMode_ == 0 ? kAnalogChannelPrimary : 0;
    return status;
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
        data.push_back(ExtendedStatus());
        AppendU16(data, config_.manufacturerId);
        AppendU16(data, config_.manufacturerId); /* private label distributor */
        data.push_back(1);                       /* device profile: process automation */
    }
    return data;
}

Bytes FieldDevice::CommandData(std::uint8_t command, const Bytes& request, int master, std::uint8_t& responseCode)
{
    Bytes data;
    switch (command) {
    case 0: /* read unique identifier */
        return IdentityData();
    case 1: /* read primary variable */
        data.push_back(config_.primaryUnits);
        AppendFloat(data, Variable(0)->value);
        return data;
    case 2: /* read loop current and percent of range */
        AppendFloat(data, LoopCurrent());
        AppendFloat(data, PercentOfRange());
        return data;
    case 3: /* read dynamic variables and loop current */
        AppendFloat(data, LoopCurrent());
        for (std::uint8_t code = 0; code < 4; code++) {
            DeviceVariable v = *Variable(code);
            data.push_back(v.units);
            AppendFloat(data, v.value);
        }
        return data;
    case 6:
        return WritePollingAddress(request, responseCode);
    case 7: /* read loop configuration */
        return {config_.pollingAddress, loopCurrentMode_};
    case 8: /* read dynamic variable classifications */
        return {kClassificationTemperature, config_.otherVariables[0].classification,
                config_.otherVariables[1].classification, config_.otherVariables[2].classification};
    case 9:
        return DeviceVariables(request, responseCode);
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
        AppendFloat(data, config_.upperSensorLimit);
        AppendFloat(data, config_.lowerSensorLimit);
        AppendFloat(data, config_.minimumSpan);
        return data;
    case 15: /* read device information */
        data = {0 /* alarm: high */, 0 /* linear */, config_.primaryUnits};
        AppendFloat(data, config_.upperRange);
        AppendFloat(data, config_.lowerRange);
        AppendFloat(data, config_.damping);
        data.push_back(config_.writeProtected ? 1 : 0);
        /* The private label distributor moved to command 0 with revision 7. */
        data.push_back(config_.universalRevision >= 7 ? 250 : config_.manufacturerId);
        if (config_.universalRevision >= 6) {
            data.push_back(0); /* analog channel flags */
        }
        return data;
    case 16: /* read final assembly number */
        return {static_cast<std::uint8_t>(config_.finalAssemblyNumber >> 16),
                static_cast<std::uint8_t>(config_.finalAssemblyNumber >> 8),
                static_cast<std::uint8_t>(config_.finalAssemblyNumber)};
    case 17: /* write message */
        if (TooShort(request, 24, responseCode)) {
            return {};
        }
        config_.message = UnpackAscii(request, 0, 24);
        Changed();
        return Bytes(request.begin(), request.begin() + 24);
    case 18:
        return WriteTagDescriptorDate(request, responseCode);
    case 19: /* write final assembly number */
        if (TooShort(request, 3, responseCode)) {
            return {};
        }
        config_.finalAssemblyNumber = (std::uint32_t{request[0]} << 16) | (std::uint32_t{request[1]} << 8) | request[2];
        Changed();
        return Bytes(request.begin(), request.begin() + 3);
    case 20: /* read long tag */
        return LongTagBytes(config_.longTag);
    case 22: { /* write long tag */
        if (TooShort(request, kLongTagLength, responseCode)) {
            return {};
        }
        auto end = std::find(request.begin(), request.begin() + kLongTagLength, 0);
        config_.longTag.assign(request.begin(), end);
        Changed();
        return LongTagBytes(config_.longTag);
    }
    case 33:
        return ReadVariables(request, responseCode);
    case 34:
        return WriteDamping(request, responseCode);
    case 35:
        return WriteRange(request, responseCode);
    case 38:
        return ResetConfigurationChanged(request, master, responseCode);
    case 40:
        return FixLoopCurrent(request, responseCode);
    case 44:
        return WriteUnits(request, responseCode);
    case 48:
        return AdditionalStatusData(request, master, responseCode);
    case 50: /* read dynamic variable assignments: fixed */
        return {0, 1, 2, 3};
    case 54:
        return VariableInformation(request, responseCode);
    case 59:
        return WritePreambles(request, responseCode);
    case 71:
        return Lock(request, master, responseCode);
    case 72:
        return Squawk(request, responseCode);
    case 76:
        return LockState();
    case 79:
        return WriteDeviceVariable(request, responseCode);
    case 103:
        return WriteBurstPeriod(request, responseCode);
    case 104:
        return WriteBurstTrigger(request, responseCode);
    case 105:
        return BurstConfiguration(request, responseCode);
    case 106: /* flush delayed responses */
        delayed_.clear();
        return {};
    case 107:
        return WriteBurstVariables(request, responseCode);
    case 108:
        return WriteBurstCommand(request, responseCode);
    case 109:
        return BurstControl(request, responseCode);
    default:
        responseCode = kResponseCommandNotImplemented;
        return {};
    }
}

/* Command 6. Before revision 6 the address alone decides the loop current:
   analog at 0, multidrop elsewhere. */
Bytes FieldDevice::WritePollingAddress(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    const bool withMode = config_.universalRevision >= 6;
    const std::uint8_t highest = withMode ? 63 : 15;
    if (request[0] > highest) {
        responseCode = kResponseInvalidSelection;
        return {};
    }
    const std::uint8_t mode = withMode && request.size() >= 2 ? request[1] : (request[0] == 0 ? 1 : 0);
    if (mode > 1) {
        responseCode = kInvalidMode;
        return {};
    }
    config_.pollingAddress = request[0];
    loopCurrentMode_ = mode;
    if (mode == 0) {
        fixedCurrent_.reset();
    }
    Changed();
    if (withMode) {
        return {config_.pollingAddress, loopCurrentMode_};
    }
    return {config_.pollingAddress};
}

/* Command 9: up to eight slots, each with its status, then the time stamp. */
Bytes FieldDevice::DeviceVariables(const Bytes& request, std::uint8_t& responseCode) const
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    Bytes data{ExtendedStatus()};
    const std::size_t slots = std::min<std::size_t>(request.size(), 8);
    for (std::size_t i = 0; i < slots; i++) {
        const DeviceVariable v = Variable(request[i]).value_or(DeviceVariable{kUnitsNotUsed, NotANumber(), 0});
        data.push_back(request[i]);
        data.push_back(v.classification);
        data.push_back(v.units);
        AppendFloat(data, v.value);
        data.push_back(VariableStatus(request[i]));
    }
    /* Time stamp in 1/32 ms since the device started. */
    AppendU32(data, InThirtySecondsOfAMillisecond(line_.Now()));
    return data;
}

/* Command 18. */
Bytes FieldDevice::WriteTagDescriptorDate(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 21, responseCode)) {
        return {};
    }
    const std::uint8_t day = request[18];
    const std::uint8_t month = request[19];
    if (day < 1 || day > 31 || month < 1 || month > 12) {
        responseCode = kInvalidDate;
        return {};
    }
    config_.tag = UnpackAscii(request, 0, 6);
    config_.descriptor = UnpackAscii(request, 6, 12);
    std::copy_n(request.begin() + 18, 3, config_.date.begin());
    Changed();
    return Bytes(request.begin(), request.begin() + 21);
}

/* Command 38. From revision 7 the master names the change it saw, so that it
   does not acknowledge one made since; a request without it comes from an
   older master and is taken as before. */
Bytes FieldDevice::ResetConfigurationChanged(const Bytes& request, int master, std::uint8_t& responseCode)
{
    const bool counted = config_.universalRevision >= 7;
    if (counted && request.size() >= 2 && ReadU16(request, 0) != configChangeCounter_) {
        responseCode = kResponseCounterMismatch;
        return {};
    }
    configChanged_[static_cast<std::size_t>(master)] = false;
    Bytes data;
    if (counted) {
        AppendU16(data, configChangeCounter_);
    }
    return data;
}

/* Command 48. A revision 7 master may send back the status it last read:
   "more status available" is cleared only if that is still what the device
   has, so that a change in between is not lost. */
Bytes FieldDevice::AdditionalStatusData(const Bytes& request, int master, std::uint8_t& responseCode)
{
    const auto status = AdditionalStatus();
    const std::size_t length = config_.universalRevision >= 7 ? status.size() : 9;
    Bytes data(status.begin(), status.begin() + static_cast<std::ptrdiff_t>(length));
    if (config_.universalRevision >= 7 && !request.empty()) {
        const std::size_t compared = std::min(request.size(), length);
        if (!std::equal(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(compared), data.begin())) {
            responseCode = kStatusMismatch;
            return data;
        }
    }
    moreStatus_[static_cast<std::size_t>(master)] = false;
    return data;
}

/* Command 33: up to four variables, each code, units and value. */
Bytes FieldDevice::ReadVariables(const Bytes& request, std::uint8_t& responseCode) const
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    Bytes data;
    const std::size_t slots = std::min<std::size_t>(request.size(), 4);
    for (std::size_t i = 0; i < slots; i++) {
        const std::optional<DeviceVariable> v = Variable(request[i]);
        if (!v) {
            responseCode = kResponseInvalidSelection;
            return {};
        }
        data.push_back(request[i]);
        data.push_back(v->units);
        AppendFloat(data, v->value);
    }
    return data;
}

/* Command 34. */
Bytes FieldDevice::WriteDamping(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 4, responseCode)) {
        return {};
    }
    const float damping = ReadFloat(request, 0);
    if (!(damping <= kLongestDamping)) {
        responseCode = kResponseTooLarge;
        return {};
    }
    if (damping < 0.0f) {
        responseCode = kResponseTooSmall;
        return {};
    }
    config_.damping = damping;
    Changed();
    Bytes data;
    AppendFloat(data, damping);
    return data;
}

/* Command 35: the range in any temperature units, kept in the primary
   variable's. A span below the sensor's least is taken with a warning. */
Bytes FieldDevice::WriteRange(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 9, responseCode)) {
        return {};
    }
    const std::uint8_t units = request[0];
    if (units != config_.primaryUnits && !(IsTemperature(units) && IsTemperature(config_.primaryUnits))) {
        responseCode = kResponseInvalidUnits;
        return {};
    }
    const float upper = Convert(ReadFloat(request, 1), units, config_.primaryUnits);
    const float lower = Convert(ReadFloat(request, 5), units, config_.primaryUnits);
    /* A value that is no number is out of any limit. */
    const bool lowerTooHigh = !(lower <= config_.upperSensorLimit);
    const bool lowerTooLow = lower < config_.lowerSensorLimit;
    const bool upperTooHigh = !(upper <= config_.upperSensorLimit);
    const bool upperTooLow = upper < config_.lowerSensorLimit;
    if ((lowerTooHigh || lowerTooLow) && (upperTooHigh || upperTooLow)) {
        responseCode = kRangeOutOfLimits;
    } else if (lowerTooHigh) {
        responseCode = kLowerRangeTooHigh;
    } else if (lowerTooLow) {
        responseCode = kLowerRangeTooLow;
    } else if (upperTooHigh) {
        responseCode = kUpperRangeTooHigh;
    } else if (upperTooLow) {
        responseCode = kUpperRangeTooLow;
    } else if (upper == lower) {
        responseCode = kInvalidSpan;
    }
    if (responseCode != kResponseSuccess) {
        return {};
    }
    config_.upperRange = upper;
    config_.lowerRange = lower;
    Changed();
    if (std::fabs(upper - lower) < config_.minimumSpan) {
        responseCode = kSpanTooSmall;
    }
    return Bytes(request.begin(), request.begin() + 9);
}

/* Command 40: a level holds the loop there, 0 gives it back to the process. */
Bytes FieldDevice::FixLoopCurrent(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 4, responseCode)) {
        return {};
    }
    const float current = ReadFloat(request, 0);
    Bytes data;
    if (current == 0.0f) {
        fixedCurrent_.reset();
        AppendFloat(data, 0.0f);
        return data;
    }
    if (loopCurrentMode_ == 0) {
        responseCode = kInMultidrop;
        return {};
    }
    if (!(current <= kHighestFixedCurrent)) {
        responseCode = kResponseTooLarge;
        return {};
    }
    if (current < kLowestFixedCurrent) {
        responseCode = kResponseTooSmall;
        return {};
    }
    fixedCurrent_ = current;
    AppendFloat(data, current);
    return data;
}

/* Command 44: everything the device keeps in the primary variable's units
   follows it, so that the loop current stays where it was. */
Bytes FieldDevice::WriteUnits(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    const std::uint8_t from = config_.primaryUnits;
    const std::uint8_t to = request[0];
    if (to != from && !(IsTemperature(to) && IsTemperature(from))) {
        responseCode = kInvalidUnits;
        return {};
    }
    for (float* value : {&config_.primaryValue, &config_.lowerRange, &config_.upperRange, &config_.lowerSensorLimit,
                         &config_.upperSensorLimit}) {
        *value = Convert(*value, from, to);
    }
    config_.minimumSpan = ConvertSpan(config_.minimumSpan, from, to);
    if (simulated_[0]) {
        simulated_[0]->value = Convert(simulated_[0]->value, from, to);
    }
    config_.primaryUnits = to;
    Changed();
    return {to};
}

/* Command 54. The sensor's limits belong to the primary variable; the other
   variables have none the device knows. */
Bytes FieldDevice::VariableInformation(const Bytes& request, std::uint8_t& responseCode) const
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    const std::optional<std::size_t> index = VariableIndex(request[0]);
    if (!index) {
        responseCode = kResponseInvalidVariable;
        return {};
    }
    const DeviceVariable variable = *Variable(request[0]);
    const bool primary = *index == 0;
    Bytes data{request[0], static_cast<std::uint8_t>(config_.deviceId >> 16),
               static_cast<std::uint8_t>(config_.deviceId >> 8), static_cast<std::uint8_t>(config_.deviceId),
               primary ? config_.primaryUnits : kUnitsNotUsed};
    AppendFloat(data, primary ? config_.upperSensorLimit : NotANumber());
    AppendFloat(data, primary ? config_.lowerSensorLimit : NotANumber());
    AppendFloat(data, primary ? config_.damping : 0.0f);
    AppendFloat(data, primary ? config_.minimumSpan : NotANumber());
    if (config_.universalRevision >= 6) {
        data.push_back(variable.classification);
        data.push_back(variable.classification == kClassificationTemperature ? kFamilyTemperature : kFamilyNone);
    }
    if (config_.universalRevision >= 7) {
        AppendU32(data, kAcquisitionPeriod);
        data.push_back(0); /* properties */
    }
    return data;
}

/* Command 59: the preambles in front of each answer, this one's too. */
Bytes FieldDevice::WritePreambles(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    if (request[0] > kMaximumPreambles) {
        responseCode = kResponseTooLarge;
        return {};
    }
    if (request[0] < kMinimumPreambles) {
        responseCode = kResponseTooSmall;
        return {};
    }
    config_.preambles = request[0];
    Changed();
    return {request[0]};
}

/* Command 71: 0 unlocks, 1 locks until a reset, 2 for good, 3 for every master. */
Bytes FieldDevice::Lock(const Bytes& request, int master, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    if (request[0] > kLockAll) {
        responseCode = kResponseInvalidSelection;
        return {};
    }
    lockCode_ = request[0];
    lockedBy_ = master;
    return {request[0]};
}

/* Command 72: with no data the device squawks once; else 0 off, 1 on, 2 once. */
Bytes FieldDevice::Squawk(const Bytes& request, std::uint8_t& responseCode)
{
    if (request.empty()) {
        squawk_ = 2;
        return {};
    }
    if (request[0] > 2) {
        responseCode = kResponseInvalidSelection;
        return {};
    }
    squawk_ = request[0];
    return {request[0]};
}

/* Command 76: locked, for good, by the primary master, for every master. */
Bytes FieldDevice::LockState() const
{
    if (lockCode_ == 0) {
        return {0};
    }
    std::uint8_t state = 0x01;
    state |= lockCode_ == 2 ? 0x02 : 0;
    state |= lockedBy_ == 1 ? 0x04 : 0;
    state |= lockCode_ == kLockAll ? 0x08 : 0;
    return {state};
}

/* Command 79: code 1 fixes a device variable at a value and status, in its own
   units; code 0 gives it back to the sensor. */
Bytes FieldDevice::WriteDeviceVariable(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 8, responseCode)) {
        return {};
    }
    const std::uint8_t code = request[0];
    if (code >= simulated_.size()) {
        responseCode = kResponseInvalidVariable;
        return {};
    }
    if (request[1] > 1) {
        responseCode = kInvalidWriteCode;
        return {};
    }
    if (request[1] == 0) {
        simulated_[code].reset();
    } else if (request[2] != Variable(code)->units) {
        responseCode = kResponseInvalidUnits;
        return {};
    } else {
        simulated_[code] = Simulation{ReadFloat(request, 3), request[7]};
    }
    return Bytes(request.begin(), request.begin() + 8);
}

/* Command 103: the burst message, its update period and its longest period.
   A longest period shorter than the period is raised to it, with a warning. */
Bytes FieldDevice::WriteBurstPeriod(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 9, responseCode)) {
        return {};
    }
    if (request[0] != 0) {
        responseCode = kInvalidBurstMessage;
        return {};
    }
    const std::uint32_t period = ReadU32(request, 1);
    std::uint32_t longest = ReadU32(request, 5);
    if (longest < period) {
        longest = period;
        responseCode = kUpdateTimesAdjusted;
    }
    config_.burstPeriod = FromThirtySecondsOfAMillisecond(period);
    burstMaxPeriod_ = FromThirtySecondsOfAMillisecond(longest);
    Changed();
    Bytes data{0};
    AppendU32(data, period);
    AppendU32(data, longest);
    return data;
}

/* Command 104: the device publishes continuously only. */
Bytes FieldDevice::WriteBurstTrigger(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 8, responseCode)) {
        return {};
    }
    if (request[0] != 0) {
        responseCode = kInvalidBurstMessage;
        return {};
    }
    if (request[1] != 0) {
        responseCode = kInvalidTriggerMode;
        return {};
    }
    burstTriggerMode_ = request[1];
    burstTriggerClassification_ = request[2];
    burstTriggerUnits_ = request[3];
    burstTriggerLevel_ = ReadFloat(request, 4);
    Changed();
    return Bytes(request.begin(), request.begin() + 8);
}

/* Command 105; a request without the burst message asks for the first. */
Bytes FieldDevice::BurstConfiguration(const Bytes& request, std::uint8_t& responseCode) const
{
    if (!request.empty() && request[0] != 0) {
        responseCode = kInvalidBurstMessage;
        return {};
    }
    Bytes data{static_cast<std::uint8_t>(bursting_ ? 1 : 0), kExpandedCommand};
    data.insert(data.end(), burstVariables_.begin(), burstVariables_.end());
    data.insert(data.end(), {0 /* burst message */, 1 /* messages supported */});
    AppendU16(data, config_.burstCommand);
    AppendU32(data, InThirtySecondsOfAMillisecond(config_.burstPeriod));
    AppendU32(data, InThirtySecondsOfAMillisecond(std::max(config_.burstPeriod, burstMaxPeriod_)));
    data.insert(data.end(), {burstTriggerMode_, burstTriggerClassification_, burstTriggerUnits_});
    AppendFloat(data, burstTriggerLevel_);
    return data;
}

/* Command 107: eight slots and the burst message, or the four slots of
   revision 5 and 6; a slot left out carries nothing. */
Bytes FieldDevice::WriteBurstVariables(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    if (request.size() >= 9 && request[8] != 0) {
        responseCode = kInvalidBurstMessage;
        return {};
    }
    const std::size_t slots = std::min<std::size_t>(request.size(), 8);
    for (std::size_t i = 0; i < slots; i++) {
        if (request[i] != kVariableNotUsed && !Variable(request[i])) {
            responseCode = kResponseInvalidSelection;
            return {};
        }
    }
    burstVariables_.fill(kVariableNotUsed);
    std::copy_n(request.begin(), slots, burstVariables_.begin());
    Changed();
    return Bytes(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(request.size(), 9)));
}

/* Command 108: one byte before revision 7; two and the burst message after,
   though one byte from an older master still does. */
Bytes FieldDevice::WriteBurstCommand(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    const bool wide = config_.universalRevision >= 7 && request.size() >= 2;
    if (wide && request.size() >= 3 && request[2] != 0) {
        responseCode = kInvalidBurstMessage;
        return {};
    }
    const std::uint16_t wanted = wide ? ReadU16(request, 0) : request[0];
    if (wanted > 0xFF || std::find(kBurstableCommands.begin(), kBurstableCommands.end(), wanted) ==
                             kBurstableCommands.end()) {
        responseCode = kResponseInvalidSelection;
        return {};
    }
    config_.burstCommand = static_cast<std::uint8_t>(wanted);
    Changed();
    const std::size_t used = wide ? std::min<std::size_t>(request.size(), 3) : 1;
    return Bytes(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(used));
}

/* Command 109: 0 off, 1 on; the codes for other kinds of network do not apply on a wire. */
Bytes FieldDevice::BurstControl(const Bytes& request, std::uint8_t& responseCode)
{
    if (TooShort(request, 1, responseCode)) {
        return {};
    }
    const bool withMessage = config_.universalRevision >= 7 && request.size() >= 2;
    if (withMessage && request[1] != 0) {
        responseCode = kInvalidBurstMessage;
        return {};
    }
    if (request[0] > 1) {
        responseCode = kResponseInvalidSelection;
        return {};
    }
    Changed();
    SetBurstMode(request[0] == 1);
    return Bytes(request.begin(), request.begin() + (withMessage ? 2 : 1));
}

} // namespace sim
