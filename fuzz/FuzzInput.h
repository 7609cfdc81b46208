/*
 * Reads a fuzzer's input as a stream of choices. Past the end every read
 * gives zero, so any prefix of an input is itself an input and the fuzzer's
 * mutations never meet a "too short" case that ends a run early.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    std::size_t Left() const { return Empty() ? 0 : size_ - at_; }

    std::uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
    bool Bool() { return (Byte() & 1) != 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
    std::uint32_t Dword() { return static_cast<std::uint32_t>(Word() | (std::uint32_t{Word()} << 16)); }
    /* A value in [low, high]. */
    std::uint32_t Range(std::uint32_t low, std::uint32_t high)
    {
        const std::uint32_t span = high - low + 1;
        const std::uint32_t raw = span <= 0x100 ? Byte() : span <= 0x10000 ? Word() : Dword();
        return span == 0 ? raw : low + raw % span;
    }
    /* One of the values given. */
    template <typename T, std::size_t N>
    T Pick(const T (&values)[N])
    {
        return values[Range(0, N - 1)];
    }
    std::vector<std::uint8_t> Bytes(std::size_t count)
    {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(count);
        for (std::size_t i = 0; i < count; i++) {
            bytes.push_back(Byte());
        }
        return bytes;
    }
    /* A length-prefixed run of at most `limit` bytes. */
    std::vector<std::uint8_t> Chunk(std::size_t limit) { return Bytes(Range(0, static_cast<std::uint32_t>(limit))); }
    std::vector<std::uint8_t> Rest()
    {
        std::vector<std::uint8_t> bytes(data_ + (Empty() ? size_ : at_), data_ + size_);
        at_ = size_;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

/* Ends the run as a finding: the message, then an abort the fuzzer and ctest both see. */
[[noreturn]] void Fail(const std::string& what);

} // namespace fuzz
