/*
 * HART frames on the simulated side of the line: building a frame with its
 * check byte, and taking frames apart as the characters arrive, the way a
 * field device's or a monitor's receiver does.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <platform/Dispatcher.h>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kPreamble = 0xFF;
inline constexpr std::uint8_t kDelimiterStx = 0x02;
inline constexpr std::uint8_t kDelimiterAck = 0x06;
inline constexpr std::uint8_t kDelimiterBack = 0x01;
inline constexpr std::uint8_t kLongAddressBit = 0x80;
inline constexpr std::uint8_t kMasterBit = 0x80;
inline constexpr std::uint8_t kBurstBit = 0x40;

/* One frame, from its delimiter to its check byte. */
struct HartFrame {
    std::uint8_t delimiter = 0;
    Bytes address;   /* 1 or 5 bytes */
    Bytes expansion; /* 0 to 3 bytes */
    std::uint8_t command = 0;
    Bytes data;
    bool checkByteOk = true;

    bool IsLong() const { return (delimiter & kLongAddressBit) != 0; }
    std::uint8_t FrameType() const { return delimiter & 0x07; }
    bool FromPrimaryMaster() const { return !address.empty() && (address[0] & kMasterBit) != 0; }
    bool BurstBit() const { return !address.empty() && (address[0] & kBurstBit) != 0; }
    /* Delimiter through check byte, as it is stored and read by a client. */
    Bytes Encode() const;
};

/* Header bytes after the delimiter (address, expansion bytes, command, byte
   count), or 0 for a delimiter no station sends. */
std::size_t HeaderLength(std::uint8_t delimiter);
/* The check byte: exclusive OR of every byte given. */
std::uint8_t CheckByte(const Bytes& body);
/* Preambles, then the frame. */
Bytes OnLine(const HartFrame& frame, int preambles);

/*
 * Takes frames apart character by character. A pause longer than the gap
 * between two characters, a character too few preambles before the
 * delimiter, or a delimiter of an unknown form starts over.
 */
class FrameParser {
public:
    explicit FrameParser(platform::Ticks gap) : gap_(gap) {}
    /* The frame this character completed, if any. */
    std::optional<HartFrame> Take(std::uint8_t character, platform::Ticks at, bool garbled = false);
    void Reset();

private:
    enum class State { Preamble, Header, Data, Check };

    platform::Ticks gap_;
    platform::Ticks last_{-1};
    State state_ = State::Preamble;
    int preambles_ = 0;
    Bytes frame_;
    std::size_t headerLength_ = 0;
    std::size_t dataLength_ = 0;
    bool broken_ = false;
};

} // namespace sim
