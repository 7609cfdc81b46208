/*
 * HART frames as a host builds and reads them: request frames as the driver
 * takes them from a client (preambles through check byte), and frames as a
 * client reads them back (delimiter through check byte). The one place
 * where bytes become frames and frames bytes; hartctl and any other client
 * of the driver use it.
 */
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hart {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kDelimiterBack = 0x01;
inline constexpr std::uint8_t kDelimiterStx = 0x02;
inline constexpr std::uint8_t kDelimiterAck = 0x06;
/* The most data one frame's byte count can announce. */
inline constexpr std::size_t kMaxDataBytes = 255;

struct Address {
    bool isLong = false;
    std::uint8_t polling = 0;          /* 0 to 63 */
    std::array<std::uint8_t, 5> id{}; /* long address without master and burst bits */

    static Address Polling(std::uint8_t polling);
    static Address Long(const std::array<std::uint8_t, 5>& id);
    /* The long address of all zeros, which devices answer for identify-by-tag. */
    static Address Broadcast();
    bool IsBroadcast() const;
    /* Polling address, or the long address in hex. */
    std::string Text() const;
};

struct Request {
    Address address;
    std::uint8_t command = 0;
    Bytes data;
    bool primaryMaster = true;
    int preambles = 5;
};

/* Preambles, delimiter, address, command, byte count, data, check byte.
   Throws std::length_error for more than kMaxDataBytes of data. */
Bytes BuildRequest(const Request& request);
/* The check byte: exclusive OR of the delimiter through the last data byte. */
std::uint8_t CheckByte(std::span<const std::uint8_t> body);

enum class FrameKind { Stx, Ack, Back, Unknown };

/* One frame as a client reads it. */
struct Frame {
    std::uint8_t delimiter = 0;
    Bytes address;
    Bytes expansion;
    /* The command byte; above 255 once Unwrap has taken a command-31 answer apart. */
    std::uint16_t command = 0;
    Bytes data;
    bool checkByteOk = false;

    FrameKind Kind() const;
    bool IsLong() const { return (delimiter & 0x80) != 0; }
    bool FromPrimaryMaster() const { return !address.empty() && (address[0] & 0x80) != 0; }
    bool BurstBit() const { return !address.empty() && (address[0] & 0x40) != 0; }
    /* Polling address of a short frame, or the long address in hex. */
    std::string AddressText() const;
    /* The answer's data after its two status bytes (empty when it has none). */
    std::span<const std::uint8_t> Payload() const;
};

/* Nullopt (and why) when the bytes do not hold a whole frame. */
std::optional<Frame> ParseFrame(std::span<const std::uint8_t> bytes, std::string* why = nullptr);

/* The answer is the one request asked for: an ACK to the same master from the
   address asked (any long address for the broadcast one) for the same command
   (through command 31, the same expanded command when the answer names one). */
bool Answers(const Frame& answer, const Request& request);

/* Commands above 255 travel inside command 31, their number in front of their data. */
inline constexpr std::uint8_t kExpandedCommand = 31;
/* The command byte and data that carry command number with data. */
Request Expanded(Request request, std::uint16_t number, const Bytes& data);
/* A command-31 answer as the answer of the command it carries: its number,
   and the data without it. Other frames stay as they are. */
void Unwrap(Frame& answer);

const char* KindName(FrameKind kind);

std::string Hex(std::span<const std::uint8_t> bytes);
/* "02 80 00", "028000" or "0x02,0x80": nullopt when it is not hex bytes. */
std::optional<Bytes> ParseHex(const std::string& text);

} // namespace hart
