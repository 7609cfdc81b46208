/*
 * The common-practice commands a host uses most, as values: ranging, damping,
 * units, fixed current, device variables, locking and burst mode. Requests
 * are built from typed arguments and refuse what the device could only
 * misread (a float that is not a number, more slots than the layout has);
 * decoders take the payload after the two status bytes and answer nullopt
 * when it is too short. The burst commands carry a burst message number
 * from revision 7 on; their shorter answers of older revisions are read too.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/Status.h"
#include "app/Universal.h"

namespace hart {

/* A time as the wire carries it: a count of 1/32 ms. */
struct TimeValue {
    std::uint32_t ticks = 0;

    double Seconds() const { return ticks / 32000.0; }
    double Milliseconds() const { return ticks / 32.0; }
    /* Rounded to the nearest tick; nullopt for a negative time, not a number, or
       one longer than the 32-bit count holds (about 37 hours). */
    static std::optional<TimeValue> FromSeconds(double seconds);
    bool operator==(const TimeValue&) const = default;
};

/* ---- Codes the commands carry ---- */

enum class LockCode : std::uint8_t { Unlock = 0, Lock = 1, LockPermanent = 2, LockAll = 3 };
enum class SquawkControl : std::uint8_t { Off = 0, On = 1, Once = 2 };
/* Whether, and on which data link, the device bursts. */
enum class BurstMode : std::uint8_t { Off = 0, TokenPassing = 1, Tdma = 2, TdmaAndTokenPassing = 3 };
/* When a burst message goes out besides its update period. */
enum class TriggerMode : std::uint8_t { Continuous = 0, Window = 1, Rising = 2, Falling = 3, OnChange = 4 };
/* Command 79: a device variable back to its measurement, or held at a value. */
enum class WriteMode : std::uint8_t { Normal = 0, FixedValue = 1 };

/* "locked permanently", "window", ...; "code N" for a code the table does not know. */
std::string LockCodeName(LockCode code);
std::string SquawkControlName(SquawkControl control);
std::string BurstModeName(BurstMode mode);
std::string TriggerModeName(TriggerMode mode);
std::string WriteModeName(WriteMode mode);

/* Command 76's lock state bits. */
inline constexpr std::uint8_t kLockDeviceLocked = 0x01;
inline constexpr std::uint8_t kLockPermanent = 0x02;
inline constexpr std::uint8_t kLockByPrimaryMaster = 0x04;
inline constexpr std::uint8_t kLockConfigurationFrozen = 0x08;
inline constexpr std::uint8_t kLockByGateway = 0x10;
std::span<const NamedBit> LockStateBits();

/* Device variable codes with a meaning in every device. */
inline constexpr std::uint8_t kVariableNotUsed = 250;

/* ---- Requests ---- */

/* 33: one to four device variable codes; nullopt for none or more. */
std::optional<Command> ReadDeviceVariableValues(std::span<const std::uint8_t> codes);
/* 34: nullopt for a negative damping or one that is not a number. */
std::optional<Command> WritePrimaryVariableDamping(float seconds);
/* 35: nullopt when a value is not a finite number. */
std::optional<Command> WritePrimaryVariableRange(std::uint8_t unit, float upper, float lower);
/* 40: a level of zero leaves fixed current mode, so entering it wants a
   positive finite level; nullopt otherwise. */
std::optional<Command> EnterFixedCurrentMode(float milliamps);
Command ExitFixedCurrentMode();
Command WritePrimaryVariableUnits(std::uint8_t unit);        /* 44 */
Command ReadDynamicVariableAssignments();                    /* 50 */
Command ReadDeviceVariableInformation(std::uint8_t code);    /* 54 */
Command WriteResponsePreambles(std::uint8_t count);          /* 59 */
Command LockDevice(LockCode code);                           /* 71 */
/* 72: without a control code the device squawks once. */
Command Squawk(std::optional<SquawkControl> control = std::nullopt);
Command ReadLockDeviceState();                               /* 76 */

/* Command 79's request and answer. */
struct DeviceVariableWrite {
    std::uint8_t code = 0;
    WriteMode mode = WriteMode::Normal;
    Measurement value;
    std::uint8_t status = 0; /* as command 9 gives it: quality and limit */
};
/* 79: nullopt when the value is not a finite number. */
std::optional<Command> WriteDeviceVariable(const DeviceVariableWrite& write);

/* 103: the period a burst message goes out at, and the longest it may wait
   when its trigger holds it back. */
Command WriteBurstPeriod(std::uint8_t message, TimeValue update, TimeValue maximum);

/* Command 104's request and answer. */
struct BurstTrigger {
    std::uint8_t message = 0;
    TriggerMode mode = TriggerMode::Continuous;
    std::uint8_t classification = 0; /* of the device variable the level applies to */
    Measurement level;
};
/* 104: nullopt when the level is not a finite number. */
std::optional<Command> WriteBurstTrigger(const BurstTrigger& trigger);
/* 105: revision 7 names the burst message; older devices have only one. */
Command ReadBurstModeConfiguration(std::optional<std::uint8_t> message = std::nullopt);
Command FlushDelayedResponses();                             /* 106 */
/* 107: with a burst message up to eight codes, without one (older devices)
   up to four; unused slots are sent as "not used". Nullopt for none or more. */
std::optional<Command> WriteBurstDeviceVariables(std::span<const std::uint8_t> codes,
                                                 std::optional<std::uint8_t> message = std::nullopt);
/* 108: revision 7 sends the command number in two bytes with the message;
   older devices take one byte, so nullopt for a number above 255 without one. */
std::optional<Command> WriteBurstCommandNumber(std::uint16_t command,
                                               std::optional<std::uint8_t> message = std::nullopt);
/* 109 */
Command WriteBurstMode(BurstMode mode, std::optional<std::uint8_t> message = std::nullopt);

/* ---- Answers ---- */

/* Command 33: a slot without status. */
struct DeviceVariableValue {
    std::uint8_t code = 0;
    Measurement measurement;
};
std::optional<std::vector<DeviceVariableValue>> DecodeDeviceVariableValues(std::span<const std::uint8_t> payload);

/* Command 34: the damping the device took, in seconds. */
std::optional<float> DecodePrimaryVariableDamping(std::span<const std::uint8_t> payload);

/* Command 35. */
struct RangeValues {
    std::uint8_t unit = 0;
    float upper = 0.0f;
    float lower = 0.0f;
};
std::optional<RangeValues> DecodeRangeValues(std::span<const std::uint8_t> payload);

/* Command 40: the current the loop is held at, in mA; zero once the mode is left. */
std::optional<float> DecodeFixedCurrent(std::span<const std::uint8_t> payload);

/* Command 44. */
std::optional<std::uint8_t> DecodePrimaryVariableUnits(std::span<const std::uint8_t> payload);

/* Commands 50 and 51: the device variables behind the primary, secondary,
   tertiary and quaternary variables, as far as the device sends them. */
std::optional<std::vector<std::uint8_t>> DecodeDynamicVariableAssignments(std::span<const std::uint8_t> payload);

/* Command 54. */
struct DeviceVariableInformation {
    std::uint8_t code = 0;
    std::uint32_t transducerSerialNumber = 0; /* 24 bits */
    std::uint8_t unit = 0;                    /* of the limits and the minimum span */
    float upperLimit = 0.0f;
    float lowerLimit = 0.0f;
    float damping = 0.0f; /* seconds */
    float minimumSpan = 0.0f;
    /* Revision 6 on. */
    std::optional<std::uint8_t> classification;
    /* Revision 7. */
    std::optional<std::uint8_t> family;
    std::optional<TimeValue> acquisitionPeriod;
    std::optional<std::uint8_t> properties;
};
std::optional<DeviceVariableInformation> DecodeDeviceVariableInformation(std::span<const std::uint8_t> payload);

/* Command 59. */
std::optional<std::uint8_t> DecodeResponsePreambles(std::span<const std::uint8_t> payload);

/* Command 71. */
std::optional<LockCode> DecodeLockCode(std::span<const std::uint8_t> payload);

/* Command 76: the LockStateBits set. */
std::optional<std::uint8_t> DecodeLockState(std::span<const std::uint8_t> payload);

/* Command 79. */
std::optional<DeviceVariableWrite> DecodeDeviceVariableWrite(std::span<const std::uint8_t> payload);

/* Command 103. */
struct BurstPeriod {
    std::uint8_t message = 0;
    TimeValue update;
    TimeValue maximum;
};
std::optional<BurstPeriod> DecodeBurstPeriod(std::span<const std::uint8_t> payload);

/* Command 104. */
std::optional<BurstTrigger> DecodeBurstTrigger(std::span<const std::uint8_t> payload);

/* Command 105. Older devices answer the mode, the command and four slots;
   revision 7 adds the rest. */
struct BurstConfiguration {
    BurstMode mode = BurstMode::Off;
    std::uint16_t command = 0;
    std::vector<std::uint8_t> slots; /* device variable codes, four or eight */
    /* Revision 7. */
    std::optional<std::uint8_t> message;
    std::optional<std::uint8_t> maximumMessages; /* burst messages the device supports */
    std::optional<BurstPeriod> period;
    std::optional<BurstTrigger> trigger;
};
std::optional<BurstConfiguration> DecodeBurstConfiguration(std::span<const std::uint8_t> payload);

/* Command 107. */
struct BurstDeviceVariables {
    std::vector<std::uint8_t> slots;
    std::optional<std::uint8_t> message;
};
std::optional<BurstDeviceVariables> DecodeBurstDeviceVariables(std::span<const std::uint8_t> payload);

/* Command 108. */
struct BurstCommandNumber {
    std::uint16_t command = 0;
    std::optional<std::uint8_t> message;
};
/* One byte from an older device, three from revision 7; two bytes are
   neither, and are refused rather than guessed at. */
std::optional<BurstCommandNumber> DecodeBurstCommandNumber(std::span<const std::uint8_t> payload);

/* Command 109. */
struct BurstModeSetting {
    BurstMode mode = BurstMode::Off;
    std::optional<std::uint8_t> message;
};
std::optional<BurstModeSetting> DecodeBurstMode(std::span<const std::uint8_t> payload);

/* The fields of a common-practice command's answer; empty for another
   command or a payload too short for its layout. DecodeFields turns to this
   for any command that is not universal. */
Fields DecodeCommonPracticeFields(std::uint16_t command, std::span<const std::uint8_t> payload);

} // namespace hart
