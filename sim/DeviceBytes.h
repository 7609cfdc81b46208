/*
 * How the simulated field device writes and reads the fields of its
 * messages: big-endian integers, IEEE floats, HART's packed ASCII and the
 * 32-byte long tag.
 */
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "sim/HartFrame.h"

namespace sim::device_bytes {

inline constexpr std::size_t kLongTagLength = 32;
/* The quiet NaN a device sends for a value it does not have. */
inline constexpr std::uint32_t kNotANumber = 0x7FA00000;

inline void AppendU16(Bytes& data, std::uint16_t value)
{
    data.push_back(static_cast<std::uint8_t>(value >> 8));
    data.push_back(static_cast<std::uint8_t>(value));
}

inline void AppendU32(Bytes& data, std::uint32_t value)
{
    AppendU16(data, static_cast<std::uint16_t>(value >> 16));
    AppendU16(data, static_cast<std::uint16_t>(value));
}

inline void AppendFloat(Bytes& data, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    AppendU32(data, bits);
}

inline void Append(Bytes& data, const Bytes& more)
{
    data.insert(data.end(), more.begin(), more.end());
}

inline std::uint16_t ReadU16(const Bytes& data, std::size_t at)
{
    return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
}

inline std::uint32_t ReadU32(const Bytes& data, std::size_t at)
{
    return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) | (std::uint32_t{data[at + 2]} << 8) |
           data[at + 3];
}

inline float ReadFloat(const Bytes& data, std::size_t at)
{
    const std::uint32_t bits = ReadU32(data, at);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

inline float NotANumber()
{
    float value;
    std::memcpy(&value, &kNotANumber, sizeof(value));
    return value;
}

/* HART's packed ASCII: four 6-bit characters in three bytes, upper case. */
inline Bytes PackedAscii(const std::string& text, std::size_t bytes)
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

inline std::string UnpackAscii(const Bytes& packed, std::size_t from, std::size_t bytes)
{
    std::string text;
    std::size_t characters = bytes / 3 * 4;
    for (std::size_t i = 0; i < characters; i++) {
        std::uint32_t code = 0;
        for (std::size_t bit = i * 6; bit < i * 6 + 6; bit++) {
            code = (code << 1) | ((packed[from + bit / 8] >> (7 - bit % 8)) & 1);
        }
        /* Codes below 0x20 stand for '@' to '_'. */
        text.push_back(static_cast<char>(code < 0x20 ? code + 0x40 : code));
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

inline Bytes LongTagBytes(const std::string& tag)
{
    Bytes bytes(kLongTagLength, 0);
    std::copy_n(tag.begin(), std::min(tag.size(), kLongTagLength), bytes.begin());
    return bytes;
}

} // namespace sim::device_bytes
