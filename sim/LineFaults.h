/*
 * Faults of a real loop, injected into a simulated line at chosen times or
 * at random from a seed: characters garbled or lost in the loop, a sender
 * that stalls inside a frame, bursts of noise, a flood of preambles, a
 * field device that stops answering for a while. Everything is scheduled on
 * the line's dispatcher, so the same seed gives the same faults.
 */
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/FieldDevice.h"
#include "sim/HartLine.h"

namespace sim {

class LineFaults {
public:
    struct Random {
        std::uint64_t seed = 1;
        /* Chance, per character, that it is garbled or lost. */
        double garbleRate = 0.0;
        double dropRate = 0.0;
        /* Mean time between noise bursts (none when zero), and their length. */
        Ticks meanNoiseInterval{0};
        std::size_t noiseCharacters = 4;
        /* Random faults stop at this instant (never when zero). */
        Ticks until{0};
    };

    /* Takes over the line's fault filter; must not outlive the line. */
    explicit LineFaults(HartLine& line);
    ~LineFaults();
    LineFaults(const LineFaults&) = delete;
    LineFaults& operator=(const LineFaults&) = delete;

    /* Every character that ends in [from, until) is garbled, or lost. */
    void GarbleBetween(Ticks from, Ticks until) { garbleWindows_.push_back({from, until}); }
    void DropBetween(Ticks from, Ticks until) { dropWindows_.push_back({from, until}); }
    /* From instant at on, the station's next transmission stalls for gap
       after afterCharacters characters. */
    void GapInFrame(StationId station, Ticks at, std::size_t afterCharacters, Ticks gap);
    /* Random bytes from a noise source on the line, garbling what they hit. */
    void NoiseBurstAt(Ticks at, std::size_t characters);
    /* Preamble characters back to back from the noise source. */
    void PreambleFloodAt(Ticks at, std::size_t preambles);
    /* The device hears but does not answer (nor burst) from `from` until `until`. */
    void SilenceBetween(FieldDevice& device, Ticks from, Ticks until);
    void StartRandom(const Random& random);

    StationId NoiseSource() const { return noise_; }
    std::size_t NoiseBursts() const { return noiseBursts_; }

private:
    struct Window {
        Ticks from;
        Ticks until;
    };

    CharacterFate Decide(const LineCharacter& character);
    void At(Ticks at, std::function<void()> task);
    std::uint64_t Next();
    double Uniform();
    void ScheduleRandomNoise(std::uint64_t generation);

    HartLine& line_;
    StationId noise_;
    std::vector<Window> garbleWindows_;
    std::vector<Window> dropWindows_;
    Random random_;
    bool randomOn_ = false;
    std::uint64_t noiseGeneration_ = 0;
    std::uint64_t state_ = 1;
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> scheduled_;
    std::uint64_t nextScheduled_ = 0;
    std::size_t noiseBursts_ = 0;
};

} // namespace sim
