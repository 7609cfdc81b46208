#include "sim/LineFaults.h"

#include <algorithm>
#include <cmath>

namespace sim {

LineFaults::LineFaults(HartLine& line) : line_(line), noise_(line.Attach("noise", {}))
{
    line_.MarkNoise(noise_);
    line_.SetFaultFilter([this](const LineCharacter& character) { return Decide(character); });
}

LineFaults::~LineFaults()
{
    for (auto& [serial, key] : scheduled_) {
        line_.GetDispatcher().Cancel(key);
    }
    line_.SetFaultFilter({});
    line_.Detach(noise_);
}

void LineFaults::At(Ticks at, std::function<void()> task)
{
    const std::uint64_t serial = nextScheduled_++;
    scheduled_[serial] = line_.GetDispatcher().Schedule(std::max(at, line_.Now()), [this, serial, task = std::move(task)] {
        scheduled_.erase(serial);
        task();
    });
}

CharacterFate LineFaults::Decide(const LineCharacter& character)
{
    auto inside = [&](const std::vector<Window>& windows) {
        return std::any_of(windows.begin(), windows.end(),
                           [&](const Window& w) { return character.end >= w.from && character.end < w.until; });
    };
    if (inside(dropWindows_)) {
        return CharacterFate::Drop;
    }
    if (inside(garbleWindows_)) {
        return CharacterFate::Garble;
    }
    if (randomOn_ && (random_.until == Ticks::zero() || character.end < random_.until) &&
        (random_.garbleRate > 0.0 || random_.dropRate > 0.0)) {
        const double u = Uniform();
        if (u < random_.dropRate) {
            return CharacterFate::Drop;
        }
        if (u < random_.dropRate + random_.garbleRate) {
            return CharacterFate::Garble;
        }
    }
    return CharacterFate::Deliver;
}

void LineFaults::GapInFrame(StationId station, Ticks at, std::size_t afterCharacters, Ticks gap)
{
    At(at, [this, station, afterCharacters, gap] { line_.InjectGap(station, afterCharacters, gap); });
}

void LineFaults::NoiseBurstAt(Ticks at, std::size_t characters)
{
    At(at, [this, characters] {
        std::vector<std::uint8_t> bytes(characters);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(Next() >> 32);
        }
        ++noiseBursts_;
        line_.Transmit(noise_, bytes);
    });
}

void LineFaults::PreambleFloodAt(Ticks at, std::size_t preambles)
{
    At(at, [this, preambles] {
        ++noiseBursts_;
        line_.Transmit(noise_, std::vector<std::uint8_t>(preambles, kPreamble));
    });
}

void LineFaults::SilenceBetween(FieldDevice& device, Ticks from, Ticks until)
{
    At(from, [&device] { device.Config().silent = true; });
    At(until, [&device] { device.Config().silent = false; });
}

void LineFaults::StartRandom(const Random& random)
{
    random_ = random;
    randomOn_ = true;
    state_ = random.seed != 0 ? random.seed : 0x9E3779B97F4A7C15ull;
    /* The noise of an earlier start ends here: with a zero interval it
       would otherwise come again at the same instant for ever. */
    ++noiseGeneration_;
    if (random_.meanNoiseInterval > Ticks::zero()) {
        ScheduleRandomNoise(noiseGeneration_);
    }
}

void LineFaults::ScheduleRandomNoise(std::uint64_t generation)
{
    if (generation != noiseGeneration_) {
        return;
    }
    /* Exponential gaps: noise that comes at no particular rhythm. */
    const double gap = -std::log(1.0 - Uniform()) * static_cast<double>(random_.meanNoiseInterval.count());
    const Ticks at = line_.Now() + Ticks{static_cast<std::int64_t>(gap)};
    if (random_.until != Ticks::zero() && at >= random_.until) {
        return;
    }
    NoiseBurstAt(at, random_.noiseCharacters);
    At(at, [this, generation] { ScheduleRandomNoise(generation); });
}

std::uint64_t LineFaults::Next()
{
    /* splitmix64: the same faults for the same seed on every platform. */
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double LineFaults::Uniform()
{
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

} // namespace sim
