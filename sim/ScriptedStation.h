/*
 * A station on the simulated line that does what a test scripts: sends byte
 * sequences at chosen times, each paced back to back at the line's
 * character time, and records every character it hears with its times.
 * Answers that depend on what was heard are scripted through OnHeard.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/HartLine.h"

namespace sim {

class ScriptedStation {
public:
    /* One sequence as it went on the line. */
    struct Sent {
        std::vector<std::uint8_t> bytes;
        /* First start bit and last stop bit; count is below bytes.size()
           only when the sending was aborted. */
        Ticks start{};
        Ticks end{};
        std::size_t count = 0;
    };

    /* Must not outlive the line. */
    ScriptedStation(HartLine& line, std::string name);
    ~ScriptedStation();
    ScriptedStation(const ScriptedStation&) = delete;
    ScriptedStation& operator=(const ScriptedStation&) = delete;

    StationId Id() const { return id_; }
    HartLine& Line() const { return line_; }

    /* Sends at instant at (line time; now if that has passed). A sequence
       due while the station is still sending follows right after it. */
    void SendAt(Ticks at, std::vector<std::uint8_t> bytes);
    void SendAfter(Ticks delay, std::vector<std::uint8_t> bytes) { SendAt(line_.Now() + delay, std::move(bytes)); }
    void Send(std::vector<std::uint8_t> bytes) { SendAt(line_.Now(), std::move(bytes)); }
    /* Drops what is scheduled and what has not begun; the character on the line ends. */
    void Abort();

    /* Something is scheduled, queued or on the line. */
    bool Busy() const;
    const std::vector<Sent>& SentSequences() const { return sent_; }

    const std::vector<LineCharacter>& Heard() const { return heard_; }
    std::vector<std::uint8_t> HeardBytes() const;
    std::size_t HeardGarbled() const;
    /* What was heard, split where the line was silent longer than gap
       (default: two character times). */
    std::vector<std::vector<std::uint8_t>> HeardBursts(Ticks gap = Ticks::zero()) const;
    void ClearHeard() { heard_.clear(); }
    /* Called with each character after it was recorded. */
    void OnHeard(std::function<void(const LineCharacter&)> handler) { onHeard_ = std::move(handler); }

    /* Run the dispatcher (nested) until the condition holds or timeout of
       line time has passed; false when it did not come to hold. */
    bool WaitForHeard(std::size_t count, Ticks timeout);
    bool WaitUntilIdle(Ticks timeout);

private:
    void Receive(const LineCharacter& character);

    HartLine& line_;
    StationId id_;
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> scheduled_;
    std::uint64_t nextSchedule_ = 0;
    std::size_t inFlight_ = 0;
    std::vector<Sent> sent_;
    std::vector<LineCharacter> heard_;
    std::function<void(const LineCharacter&)> onHeard_;
};

} // namespace sim
