/*
 * A listener on the simulated line that takes every frame apart as a
 * passive station would (a HART monitor clipped onto the loop) and keeps
 * the counts that tell how the line is shared: requests and answers per
 * master, burst frames, broken frames.
 */
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <functional>

#include "sim/HartFrame.h"
#include "sim/HartLine.h"

namespace sim {

struct MonitoredFrame {
    HartFrame frame;
    /* When its check byte ended. */
    Ticks end{};
};

class LineMonitor {
public:
    /* Must not outlive the line. Keeps the latest `keep` frames. */
    explicit LineMonitor(HartLine& line, std::size_t keep = 4096);
    ~LineMonitor();
    LineMonitor(const LineMonitor&) = delete;
    LineMonitor& operator=(const LineMonitor&) = delete;

    /* Frames with a good check byte, by kind and master (true: primary). */
    std::size_t Requests(bool primary) const { return requests_[primary ? 1 : 0]; }
    std::size_t Answers(bool primary) const { return answers_[primary ? 1 : 0]; }
    std::size_t BurstFrames() const { return burstFrames_; }
    /* Frames whose check byte was wrong or that had garbled characters. */
    std::size_t BrokenFrames() const { return brokenFrames_; }
    std::size_t GarbledCharacters() const { return garbled_; }
    const std::deque<MonitoredFrame>& Frames() const { return frames_; }
    /* Called with every frame taken apart, good or broken. */
    void OnFrame(std::function<void(const MonitoredFrame&)> handler) { onFrame_ = std::move(handler); }

private:
    void Hear(const LineCharacter& character);

    HartLine& line_;
    StationId id_;
    FrameParser parser_;
    std::size_t keep_;
    std::deque<MonitoredFrame> frames_;
    std::array<std::size_t, 2> requests_{};
    std::array<std::size_t, 2> answers_{};
    std::size_t burstFrames_ = 0;
    std::size_t brokenFrames_ = 0;
    std::size_t garbled_ = 0;
    std::function<void(const MonitoredFrame&)> onFrame_;
};

} // namespace sim
