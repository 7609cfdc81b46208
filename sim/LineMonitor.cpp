#include "sim/LineMonitor.h"

namespace sim {

LineMonitor::LineMonitor(HartLine& line, std::size_t keep)
    : line_(line), parser_(3 * line.CharacterDuration()), keep_(keep)
{
    id_ = line_.Attach("monitor", [this](const LineCharacter& character) { Hear(character); });
}

LineMonitor::~LineMonitor()
{
    line_.Detach(id_);
}

void LineMonitor::Hear(const LineCharacter& character)
{
    const bool garbled = character.status == CharacterStatus::Garbled;
    if (garbled) {
        ++garbled_;
    }
    auto frame = parser_.Take(character.byte, character.end, garbled);
    if (!frame) {
        return;
    }
    const std::size_t master = frame->FromPrimaryMaster() ? 1 : 0;
    if (!frame->checkByteOk) {
        ++brokenFrames_;
    } else if (frame->FrameType() == kDelimiterStx) {
        ++requests_[master];
    } else if (frame->FrameType() == kDelimiterAck) {
        ++answers_[master];
    } else if (frame->FrameType() == kDelimiterBack) {
        ++burstFrames_;
    }
    frames_.push_back(MonitoredFrame{std::move(*frame), character.end});
    if (frames_.size() > keep_) {
        frames_.pop_front();
    }
    if (onFrame_) {
        onFrame_(frames_.back());
    }
}

} // namespace sim
