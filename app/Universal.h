/*
 * The universal commands (0 to 22, 38, 48) as values: the data a request
 * carries, built from typed arguments, and an answer's data decoded into
 * records of floats, unit codes, texts, dates and status bits. Every decoder
 * takes the payload after the two status bytes and answers nullopt when it
 * is too short for the command's layout; longer payloads of later revisions
 * give the fields they add.
 */
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/Frame.h"
#include "app/Status.h"

namespace hart {

/* ---- Data types on the wire ---- */

/* A float as the answer carries it (IEEE 754, most significant byte first). */
float ReadFloat(std::span<const std::uint8_t> bytes, std::size_t at);
void AppendFloat(Bytes& data, float value);
/* The float as the shortest decimal that reads back as it, widened: 6.0f stays 6, not 5.99999952. */
double Widen(float value);

/* Packed ASCII: four 6-bit characters in three bytes, trailing blanks dropped. */
std::string UnpackAscii(std::span<const std::uint8_t> packed);
/* text (lower case raised) packed into bytes bytes, padded with blanks; nullopt when
   it is too long or holds a character packed ASCII has not (only ' ' to '_'). */
std::optional<Bytes> PackAscii(std::string_view text, std::size_t bytes);

struct Date {
    std::uint8_t day = 1;
    std::uint8_t month = 1;
    std::uint16_t year = 1900; /* the wire holds year - 1900 */
    bool operator==(const Date&) const = default;
};
Date ReadDate(std::span<const std::uint8_t> bytes, std::size_t at);
void AppendDate(Bytes& data, const Date& date);

struct Measurement {
    std::uint8_t unit = 250;
    float value = 0.0f;
};

/* ---- Requests ---- */

struct Command {
    std::uint8_t number = 0;
    Bytes data;
};

Command ReadUniqueIdentifier();                    /* 0 */
Command ReadPrimaryVariable();                     /* 1 */
Command ReadLoopCurrentAndPercent();               /* 2 */
Command ReadDynamicVariables();                    /* 3 */
Command WritePollingAddress(std::uint8_t address, std::uint8_t loopCurrentMode); /* 6 */
Command ReadLoopConfiguration();                   /* 7 */
Command ReadDynamicVariableClassifications();      /* 8 */
/* 9: one to eight device variable codes. */
Command ReadDeviceVariables(std::span<const std::uint8_t> codes);
/* 11: nullopt when the tag does not pack into 8 characters. */
std::optional<Command> ReadUniqueIdentifierByTag(std::string_view tag);
Command ReadMessage();                             /* 12 */
Command ReadTagDescriptorDate();                   /* 13 */
Command ReadTransducerInformation();               /* 14 */
Command ReadDeviceInformation();                   /* 15 */
Command ReadFinalAssemblyNumber();                 /* 16 */
std::optional<Command> WriteMessage(std::string_view message); /* 17: 32 characters */
std::optional<Command> WriteTagDescriptorDate(std::string_view tag, std::string_view descriptor,
                                              const Date& date); /* 18 */
Command WriteFinalAssemblyNumber(std::uint32_t number); /* 19: 24 bits */
Command ReadLongTag();                             /* 20 */
/* 21 and 22: 32 characters of ISO Latin-1, padded with zeros; nullopt when longer. */
std::optional<Command> ReadUniqueIdentifierByLongTag(std::string_view longTag);
std::optional<Command> WriteLongTag(std::string_view longTag);
/* 38: revision 7 devices want the configuration change counter the host saw. */
Command ResetConfigurationChanged(std::optional<std::uint16_t> counter = std::nullopt);
Command ReadAdditionalStatus();                    /* 48 */

/* ---- Answers ---- */

/* Commands 0, 11 and 21. */
struct Identity {
    /* Manufacturer and device type of revision 5; the two bytes are the
       expanded device type from revision 6 on. */
    std::uint8_t manufacturer = 0;
    std::uint8_t deviceType = 0;
    std::uint8_t preambles = 0; /* the least the device wants in a request */
    std::uint8_t universalRevision = 0;
    std::uint8_t deviceRevision = 0;
    std::uint8_t softwareRevision = 0;
    std::uint8_t hardwareRevision = 0;  /* 5 bits */
    std::uint8_t physicalSignaling = 0; /* 3 bits */
    std::uint8_t flags = 0;
    std::uint32_t deviceId = 0;
    /* Revision 6 and later. */
    std::optional<std::uint8_t> responsePreambles;
    std::optional<std::uint8_t> maxDeviceVariables;
    std::optional<std::uint16_t> configurationChangeCounter;
    std::optional<std::uint8_t> extendedStatus;
    /* Revision 7. */
    std::optional<std::uint16_t> manufacturerCode;
    std::optional<std::uint16_t> privateLabelDistributor;
    std::optional<std::uint8_t> deviceProfile;

    std::uint16_t ExpandedDeviceType() const { return static_cast<std::uint16_t>(manufacturer << 8 | deviceType); }
    Address LongAddress() const;
};
std::optional<Identity> DecodeIdentity(std::span<const std::uint8_t> payload);

struct LoopCurrentAndPercent {
    float current = 0.0f; /* mA */
    float percent = 0.0f;
};
std::optional<Measurement> DecodePrimaryVariable(std::span<const std::uint8_t> payload);
std::optional<LoopCurrentAndPercent> DecodeLoopCurrentAndPercent(std::span<const std::uint8_t> payload);

struct DynamicVariables {
    float loopCurrent = 0.0f;
    /* Primary, secondary, tertiary, quaternary: as many as the device has. */
    std::vector<Measurement> variables;
};
std::optional<DynamicVariables> DecodeDynamicVariables(std::span<const std::uint8_t> payload);

/* Commands 6 and 7. */
struct LoopConfiguration {
    std::uint8_t pollingAddress = 0;
    std::optional<std::uint8_t> loopCurrentMode; /* 0 disabled, 1 enabled; revision 6 on */
};
std::optional<LoopConfiguration> DecodeLoopConfiguration(std::span<const std::uint8_t> payload);

/* Command 8: the classification codes of the dynamic variables. */
std::optional<std::vector<std::uint8_t>> DecodeClassifications(std::span<const std::uint8_t> payload);

struct DeviceVariable {
    std::uint8_t code = 0;
    std::uint8_t classification = 0;
    Measurement measurement;
    std::uint8_t status = 0;
    /* Bits 7-6 of the status. */
    const char* Quality() const;
    /* Bits 5-4 of the status. */
    const char* Limit() const;
};
struct DeviceVariables {
    std::uint8_t extendedStatus = 0;
    std::vector<DeviceVariable> slots;
    std::optional<std::uint32_t> timeStamp; /* 1/32 ms */
};
std::optional<DeviceVariables> DecodeDeviceVariables(std::span<const std::uint8_t> payload);

/* Commands 12 and 17. */
std::optional<std::string> DecodeMessage(std::span<const std::uint8_t> payload);

/* Commands 13 and 18. */
struct TagDescriptorDate {
    std::string tag;
    std::string descriptor;
    Date date;
};
std::optional<TagDescriptorDate> DecodeTagDescriptorDate(std::span<const std::uint8_t> payload);

struct TransducerInformation {
    std::uint32_t serialNumber = 0; /* 24 bits */
    std::uint8_t unit = 0;
    float upperLimit = 0.0f;
    float lowerLimit = 0.0f;
    float minimumSpan = 0.0f;
};
std::optional<TransducerInformation> DecodeTransducerInformation(std::span<const std::uint8_t> payload);

struct DeviceInformation {
    std::uint8_t alarmSelection = 0;
    std::uint8_t transferFunction = 0;
    std::uint8_t rangeUnit = 0;
    float upperRange = 0.0f;
    float lowerRange = 0.0f;
    float damping = 0.0f; /* seconds */
    std::uint8_t writeProtect = 0;
    std::uint8_t privateLabelDistributor = 0;
    std::optional<std::uint8_t> analogChannelFlags; /* revision 6 on */
};
std::optional<DeviceInformation> DecodeDeviceInformation(std::span<const std::uint8_t> payload);

/* Commands 16 and 19. */
std::optional<std::uint32_t> DecodeFinalAssemblyNumber(std::span<const std::uint8_t> payload);

/* Commands 20 and 22: the text up to the first zero. */
std::optional<std::string> DecodeLongTag(std::span<const std::uint8_t> payload);

/* Command 38: revision 7 devices answer the counter; older ones nothing. */
std::optional<std::uint16_t> DecodeConfigurationChangeCounter(std::span<const std::uint8_t> payload);

struct AdditionalStatus {
    Bytes deviceSpecific; /* bytes 0-5, and 14 on */
    std::optional<std::uint8_t> extendedStatus;
    std::optional<std::uint8_t> operatingMode;
    /* Standardized status 0 to 3, in that order, as far as the device sends them. */
    std::vector<std::uint8_t> standardized;
    std::optional<std::uint8_t> analogChannelSaturated;
    std::optional<std::uint8_t> analogChannelFixed;
};
std::optional<AdditionalStatus> DecodeAdditionalStatus(std::span<const std::uint8_t> payload);

/* ---- Any command's answer as named values, for printing ---- */

struct Flags {
    std::uint8_t bits = 0;
    std::vector<std::string> names;
    /* The bits the value is read against, so a program can be told each one, set or clear. */
    std::span<const NamedBit> table{};
};
using Value = std::variant<std::int64_t, double, std::string, Measurement, Date, Flags, Bytes>;
struct Field {
    std::string name;
    Value value;
    /* Shown to people in hex with this many digits (identifiers); 0: as the value is. */
    int hexDigits = 0;
};
using Fields = std::vector<Field>;

/* The fields of a universal or common-practice command's answer; empty for
   another command or a payload too short for its layout. */
Fields DecodeFields(std::uint16_t command, std::span<const std::uint8_t> payload);

} // namespace hart
