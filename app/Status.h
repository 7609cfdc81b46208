/*
 * What the two status bytes of an answer say, and the names of unit codes.
 * The first byte is a response code, or a report of a communication error
 * the device saw in the request (top bit set); the second is the device's
 * status. Response codes mean different things to different commands, so
 * their names are looked up with the command they answer.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hart {

enum class ResponseClass { Success, Warning, Error, CommunicationError };

struct Response {
    std::uint8_t code = 0;
    ResponseClass kind = ResponseClass::Success;
    /* "success", "invalid selection", "configuration change counter mismatch", ...;
       for a communication error "communication error" and the errors in detail. */
    std::string name;
    std::vector<std::string> communicationErrors;

    bool Succeeded() const { return kind == ResponseClass::Success; }
    /* The command was carried out: success, or a warning. */
    bool CarriedOut() const { return kind == ResponseClass::Success || kind == ResponseClass::Warning; }
};

Response DecodeResponse(std::uint16_t command, std::uint8_t code);
const char* ResponseClassName(ResponseClass kind);

/* A bit with its name for people and for programs. */
struct NamedBit {
    std::uint8_t bit;
    const char* name;
    const char* key;
};

/* Device status bits. */
inline constexpr std::uint8_t kStatusFieldDeviceMalfunction = 0x80;
inline constexpr std::uint8_t kStatusConfigurationChanged = 0x40;
inline constexpr std::uint8_t kStatusColdStart = 0x20;
inline constexpr std::uint8_t kStatusMoreStatusAvailable = 0x10;
inline constexpr std::uint8_t kStatusLoopCurrentFixed = 0x08;
inline constexpr std::uint8_t kStatusLoopCurrentSaturated = 0x04;
inline constexpr std::uint8_t kStatusNonPrimaryVariableOutOfLimits = 0x02;
inline constexpr std::uint8_t kStatusPrimaryVariableOutOfLimits = 0x01;

std::span<const NamedBit> DeviceStatusBits();
/* The extended device status (command 0 from revision 6, 9 and 48). */
std::span<const NamedBit> ExtendedStatusBits();
/* Standardized status 0 of command 48. */
std::span<const NamedBit> StandardizedStatus0Bits();
/* The names of the bits set, in the order of the table. */
std::vector<std::string> BitNames(std::span<const NamedBit> table, std::uint8_t value);

/* A unit code with its name for people and a key for programs. */
struct UnitInfo {
    std::uint8_t code;
    const char* name; /* "degC", "kPa", "not used" */
    const char* key;  /* "deg_c", "kpa", "not_used" */
};
/* Every unit code named here, by code. */
std::span<const UnitInfo> Units();

/* "degC", "mA", "not used", ...; empty for a code this table does not know. */
std::string UnitName(std::uint8_t code);
/* "deg_c", "ma", "not_used", ...; empty for a code this table does not know. */
std::string UnitKey(std::uint8_t code);
/* The code of a unit by name or key, in any case. */
std::optional<std::uint8_t> FindUnit(std::string_view text);
/* The name, or "unit N". */
std::string UnitText(std::uint8_t code);

} // namespace hart
