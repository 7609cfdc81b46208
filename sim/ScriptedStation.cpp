#include "sim/ScriptedStation.h"

#include <algorithm>

namespace sim {

ScriptedStation::ScriptedStation(HartLine& line, std::string name)
    : line_(line), id_(line.Attach(std::move(name), [this](const LineCharacter& character) { Receive(character); }))
{
}

ScriptedStation::~ScriptedStation()
{
    for (auto& [serial, key] : scheduled_) {
        line_.GetDispatcher().Cancel(key);
    }
    /* Also drops the sent handlers that point back here. */
    line_.Detach(id_);
}

void ScriptedStation::SendAt(Ticks at, std::vector<std::uint8_t> bytes)
{
    const std::uint64_t serial = nextSchedule_++;
    scheduled_[serial] =
        line_.GetDispatcher().Schedule(std::max(at, line_.Now()), [this, serial, bytes = std::move(bytes)] {
            scheduled_.erase(serial);
            const std::size_t index = sent_.size();
            sent_.push_back(Sent{bytes, {}, {}, 0});
            ++inFlight_;
            line_.Transmit(id_, bytes, [this, index](std::size_t count) {
                --inFlight_;
                /* Back to back, so the sequence began count characters ago. */
                Sent& sent = sent_[index];
                sent.count = count;
                sent.end = line_.Now();
                sent.start = sent.end - count * line_.CharacterDuration();
            });
        });
}

void ScriptedStation::Abort()
{
    for (auto& [serial, key] : scheduled_) {
        line_.GetDispatcher().Cancel(key);
    }
    scheduled_.clear();
    line_.AbortTransmit(id_);
}

bool ScriptedStation::Busy() const
{
    return !scheduled_.empty() || inFlight_ != 0 || line_.Transmitting(id_);
}

std::vector<std::uint8_t> ScriptedStation::HeardBytes() const
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(heard_.size());
    for (const LineCharacter& character : heard_) {
        bytes.push_back(character.byte);
    }
    return bytes;
}

std::size_t ScriptedStation::HeardGarbled() const
{
    return static_cast<std::size_t>(std::count_if(heard_.begin(), heard_.end(), [](const LineCharacter& character) {
        return character.status == CharacterStatus::Garbled;
    }));
}

std::vector<std::vector<std::uint8_t>> ScriptedStation::HeardBursts(Ticks gap) const
{
    if (gap == Ticks::zero()) {
        gap = 2 * line_.CharacterDuration();
    }
    std::vector<std::vector<std::uint8_t>> bursts;
    Ticks lastEnd{};
    for (const LineCharacter& character : heard_) {
        if (bursts.empty() || character.start - lastEnd > gap) {
            bursts.emplace_back();
        }
        bursts.back().push_back(character.byte);
        lastEnd = character.end;
    }
    return bursts;
}

bool ScriptedStation::WaitForHeard(std::size_t count, Ticks timeout)
{
    return line_.GetDispatcher().RunUntil([&] { return heard_.size() >= count; }, timeout);
}

bool ScriptedStation::WaitUntilIdle(Ticks timeout)
{
    return line_.GetDispatcher().RunUntil([&] { return !Busy(); }, timeout);
}

void ScriptedStation::Receive(const LineCharacter& character)
{
    heard_.push_back(character);
    if (onHeard_) {
        onHeard_(character);
    }
}

} // namespace sim
