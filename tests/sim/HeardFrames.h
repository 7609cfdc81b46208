/* The frames a station heard on the simulated line, as the field device tests read them. */
#pragma once

#include <optional>
#include <vector>

#include "sim/HartFrame.h"
#include "sim/ScriptedStation.h"

namespace sim {

/* A frame with the instants its first character began and its last ended. */
struct HeardFrame {
    HartFrame frame;
    Ticks start;
    Ticks end;
};

inline std::vector<HeardFrame> FramesHeard(const ScriptedStation& station)
{
    std::vector<HeardFrame> frames;
    FrameParser parser(3 * kHartCharacterTime);
    std::optional<Ticks> start;
    for (const LineCharacter& c : station.Heard()) {
        start = start.value_or(c.start);
        if (auto frame = parser.Take(c.byte, c.end, c.status == CharacterStatus::Garbled)) {
            frames.push_back({*frame, *start, c.end});
            start.reset();
        }
    }
    return frames;
}

} // namespace sim
