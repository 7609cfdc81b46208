/*
 * The simulated HART line: one shared medium for any number of stations
 * (the driver's serial port, field devices, another master, a test's
 * scripted station).
 *
 * A character is 11 bits (start, 8 data, odd parity, stop) at the line's
 * bit rate and occupies the line from its first bit to the end of its stop
 * bit; it reaches every other station at that end. Characters of different
 * stations that overlap in time garble each other for every receiver, and
 * a station hears nothing that overlaps its own transmission (its modem is
 * in transmit mode then). Everything runs on the host's dispatcher, so the
 * line is deterministic on the virtual clock and works unchanged on the
 * real one; call it from the dispatcher's thread only.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <platform/Dispatcher.h>
#include <platform/Host.h>

namespace sim {

using platform::Ticks;

inline constexpr std::uint32_t kHartBitRate = 1200;
inline constexpr std::uint32_t kBitsPerCharacter = 11;

/* One character's time at a bit rate, rounded to the nearest 100 ns tick:
   91667 ticks at 1200 bit/s (the exact value is 91666.67). Every character
   on the line takes exactly this long, so a frame of n characters takes n
   times it; the 33 ns a character gains is far inside a UART's tolerance. */
constexpr Ticks CharacterTime(std::uint32_t bitRate)
{
    constexpr std::int64_t kTicksPerSecond = 10'000'000;
    return Ticks{(kBitsPerCharacter * kTicksPerSecond + bitRate / 2) / bitRate};
}

inline constexpr Ticks kHartCharacterTime = CharacterTime(kHartBitRate);

enum class CharacterStatus {
    Ok,
    /* Overlapped another station's character (or was hit by noise): the
       byte is corrupted and a UART would report a framing or parity error. */
    Garbled,
};

/* What a line fault does to a character that has just ended. */
enum class CharacterFate {
    Deliver,
    Garble,
    /* Lost in the loop: no receiver hears it (the sender's count still has it). */
    Drop,
};

using StationId = std::uint32_t;

struct LineCharacter {
    std::uint8_t byte = 0;
    CharacterStatus status = CharacterStatus::Ok;
    /* When its start bit began and when its stop bit ended (= arrival). */
    Ticks start{};
    Ticks end{};
    StationId from = 0;
};

class HartLine {
public:
    struct Options {
        Ticks characterTime = kHartCharacterTime;
        /* Seeds the corruption of garbled characters. */
        std::uint64_t seed = 0x48415254;
    };
    using ReceiveHandler = std::function<void(const LineCharacter&)>;
    /* Runs when a transmission's last character has ended, with the count of
       characters that went on the line (fewer when it was aborted). */
    using SentHandler = std::function<void(std::size_t sent)>;
    /* Decides the fate of every character as it ends (line faults). */
    using FaultFilter = std::function<CharacterFate(const LineCharacter&)>;

    explicit HartLine(platform::Dispatcher& dispatcher);
    HartLine(platform::Dispatcher& dispatcher, const Options& options);
    explicit HartLine(platform::Host& host) : HartLine(host.GetDispatcher()) {}
    HartLine(platform::Host& host, const Options& options) : HartLine(host.GetDispatcher(), options) {}
    /* Must go before the dispatcher does: cancels what it scheduled. */
    ~HartLine();
    HartLine(const HartLine&) = delete;
    HartLine& operator=(const HartLine&) = delete;

    /* A new station; onReceive gets every character it hears. */
    StationId Attach(std::string name, ReceiveHandler onReceive);
    /* Drops what the station has not begun to send (without calling its
       sent handlers); a character already on the line still arrives. */
    void Detach(StationId station);
    const std::string& Name(StationId station) const;

    /* Queues bytes to go out back to back: at once when the station is
       silent, else right after what it is sending already. */
    void Transmit(StationId station, std::span<const std::uint8_t> bytes, SentHandler onSent = {});
    /* Drops the characters that have not begun; the one on the line ends
       normally (a UART's shift register is not stopped). Queued sent
       handlers run when it ends, with the counts actually sent. */
    void AbortTransmit(StationId station);
    /* The station is sending or has characters queued (its RTS is up). */
    bool Transmitting(StationId station) const;

    /* ---- Faults ---- */
    /* A noise source: what it sends garbles what it overlaps like any
       character, but is not counted as a collision between stations. */
    void MarkNoise(StationId station);
    /* Called for every character as it ends, before anyone hears it. */
    void SetFaultFilter(FaultFilter filter) { faultFilter_ = std::move(filter); }
    /* The station's transmitter stalls for gap after the afterCharacters-th
       character of the next transmission that gets that far (a UART starved
       by its driver), then goes on with the rest. */
    void InjectGap(StationId station, std::size_t afterCharacters, Ticks gap);

    /* A character is on the line now. */
    bool CarrierDetect() const;
    /* A character of another station is on the line now: what the station's
       modem reports as carrier. */
    bool CarrierDetect(StationId station) const;

    Ticks CharacterDuration() const { return characterTime_; }
    Ticks Now() const { return dispatcher_.Now(); }
    platform::Dispatcher& GetDispatcher() const { return dispatcher_; }
    /* Collisions so far: a collision begins when a character starts while
       another station's is on the line, and lasts until the line is quiet. */
    std::size_t Collisions() const { return collisions_; }
    std::size_t CharactersSent() const { return charactersSent_; }
    std::size_t CharactersGarbled() const { return charactersGarbled_; }
    std::size_t CharactersDropped() const { return charactersDropped_; }
    /* Characters a station has put on the line. */
    std::size_t CharactersSentBy(StationId station) const { return At(station).charactersSent; }
    /* Time during which at least one character was on the line, up to now:
       divided by the time elapsed it is the bus utilisation. */
    Ticks BusyTime() const;

private:
    struct Transmission {
        std::vector<std::uint8_t> bytes;
        std::size_t next = 0;
        SentHandler onSent;
    };
    struct Station {
        std::string name;
        ReceiveHandler onReceive;
        std::deque<Transmission> queue;
        bool attached = true;
        bool sending = false; /* a character of this station is on the line */
        bool noise = false;
        /* The transmitter stalls (an injected gap) and resumes by itself. */
        bool paused = false;
        platform::Dispatcher::TimerKey resumeKey{};
        std::size_t gapAfter = 0;
        Ticks gap{};
        bool gapArmed = false;
        std::size_t charactersSent = 0;
    };
    struct OnLine {
        LineCharacter character;
        /* Stations whose characters overlapped this one. */
        std::vector<StationId> overlapped;
        platform::Dispatcher::TimerKey endKey;
    };

    Station& At(StationId station);
    const Station& At(StationId station) const;
    void StartCharacter(StationId station);
    /* Starts the sender's next character, or stalls first when a gap is due. */
    void Continue(StationId station);
    void Resume(StationId station);
    /* The station is silent: starts its next character, if it has one. */
    void StartIdle(StationId station);
    void EndCharacter(std::uint64_t serial);
    /* Pops the station's transmissions that have nothing left to send. */
    void TakeFinished(Station& station, std::vector<std::pair<SentHandler, std::size_t>>& finished);
    /* Runs task from the dispatcher at the current instant, not inside the caller. */
    void Defer(std::function<void()> task);
    std::uint8_t Corrupt(std::uint8_t byte);

    platform::Dispatcher& dispatcher_;
    const Ticks characterTime_;
    std::uint64_t random_;
    /* A deque: attaching from a receive handler must not move the others. */
    std::deque<Station> stations_;
    /* Characters on the line now, by a serial that orders them by start. */
    std::map<std::uint64_t, OnLine> onLine_;
    std::uint64_t nextSerial_ = 0;
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> deferred_;
    bool colliding_ = false;
    std::size_t collisions_ = 0;
    std::size_t charactersSent_ = 0;
    std::size_t charactersGarbled_ = 0;
    std::size_t charactersDropped_ = 0;
    FaultFilter faultFilter_;
    /* Busy time: closed intervals summed, and the start of the open one. */
    Ticks busyTime_{};
    Ticks busySince_{};
    bool busyOpen_ = false;
};

} // namespace sim
