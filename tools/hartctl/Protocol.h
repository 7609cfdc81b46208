/*
 * The HART command layer of hartctl: request frames as the driver expects
 * them from a client (preambles through check byte), frames as a client
 * reads them (delimiter through check byte), and the universal commands'
 * answers in words. The driver sends and delivers frames unchanged; all of
 * this is the tool's business.
 */
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hartctl {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kDelimiterBack = 0x01;
inline constexpr std::uint8_t kDelimiterStx = 0x02;
inline constexpr std::uint8_t kDelimiterAck = 0x06;

struct Address {
    bool isLong = false;
    std::uint8_t polling = 0;          /* 0 to 63 */
    std::array<std::uint8_t, 5> id{}; /* long address without master and burst bits */
};

struct Request {
    Address address;
    std::uint8_t command = 0;
    Bytes data;
    bool primaryMaster = true;
    int preambles = 5;
};

/* The most data one frame's byte count can announce. */
inline constexpr std::size_t kMaxDataBytes = 255;

/* Preambles, delimiter, address, command, byte count, data, check byte.
   Throws std::length_error for more than kMaxDataBytes of data. */
Bytes BuildRequest(const Request& request);

enum class FrameKind { Stx, Ack, Back, Unknown };

/* One frame as a client reads it. */
struct Frame {
    std::uint8_t delimiter = 0;
    Bytes address;
    Bytes expansion;
    std::uint8_t command = 0;
    Bytes data;
    bool checkByteOk = false;

    FrameKind Kind() const;
    bool IsLong() const { return (delimiter & 0x80) != 0; }
    bool FromPrimaryMaster() const { return !address.empty() && (address[0] & 0x80) != 0; }
    bool BurstBit() const { return !address.empty() && (address[0] & 0x40) != 0; }
    /* Polling address of a short frame, or the long address in hex. */
    std::string AddressText() const;
};

/* The answer is the one request asked for: an ACK to the same master from the
   address asked (any long address for the broadcast one) for the same command. */
bool Answers(const Frame& answer, const Request& request);

/* Nullopt (and why) when the bytes do not hold a whole frame. */
std::optional<Frame> ParseFrame(std::span<const std::uint8_t> bytes, std::string* why = nullptr);

const char* KindName(FrameKind kind);

/* The first status byte of an answer: a response code, or a communication error report. */
std::string ResponseText(std::uint8_t code);
/* The device status byte, one phrase per bit set; empty when all is well. */
std::vector<std::string> DeviceStatusText(std::uint8_t status);
std::string UnitName(std::uint8_t code);

/* Command 0's answer (after the two status bytes). */
struct Identity {
    std::uint8_t manufacturer = 0;
    std::uint8_t deviceType = 0;
    std::uint8_t preambles = 0;
    std::uint8_t universalRevision = 0;
    std::uint8_t deviceRevision = 0;
    std::uint8_t softwareRevision = 0;
    std::uint8_t hardwareRevision = 0;
    std::uint32_t deviceId = 0;
    Address LongAddress() const;
};
std::optional<Identity> DecodeIdentity(std::span<const std::uint8_t> payload);

/* HART's packed ASCII, trailing blanks removed. */
std::string UnpackAscii(std::span<const std::uint8_t> packed);

/* What the answer of a universal command says, as name/value pairs in order. */
using Fields = std::vector<std::pair<std::string, std::string>>;
Fields DecodeAnswer(std::uint8_t command, std::span<const std::uint8_t> payload);

std::string Hex(std::span<const std::uint8_t> bytes);
/* "02 80 00", "028000" or "0x02,0x80": nullopt when it is not hex bytes. */
std::optional<Bytes> ParseHex(const std::string& text);

} // namespace hartctl
