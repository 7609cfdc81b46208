/* A realistic receive stream: short and long ACK frames to this master with
   5 to 20 preambles and 0 to 30 data bytes, in a fixed pseudo-random mix. */
#pragma once

#include <random>

#include "sim/LinkHarness.h"

namespace bench {

inline sim::Bytes ReceiverStream(int frames, unsigned seed)
{
    std::mt19937 random(seed);
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    sim::Bytes stream;
    for (int i = 0; i < frames; i++) {
        sim::Bytes data(between(0, 30));
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(between(0, 255));
        }
        UCHAR command = static_cast<UCHAR>(between(0, 255));
        sim::Bytes body = (i % 2 == 0)
                              ? sim::FrameBody(0x06, {static_cast<std::uint8_t>(0x80 | between(0, 15))}, command, data)
                              : sim::FrameBody(0x86, {0xA6, 0x12, 0x34, 0x56, 0x78}, command, data);
        sim::Bytes frame = sim::Frame(between(5, 20), body);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

} // namespace bench
