#include "sim/HartLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {

void AddOnce(std::vector<StationId>& stations, StationId station)
{
    if (std::find(stations.begin(), stations.end(), station) == stations.end()) {
        stations.push_back(station);
    }
}

} // namespace

HartLine::HartLine(platform::Dispatcher& dispatcher) : HartLine(dispatcher, Options{})
{
}

HartLine::HartLine(platform::Dispatcher& dispatcher, const Options& options)
    : dispatcher_(dispatcher), characterTime_(options.characterTime), random_(options.seed | 1)
{
}

HartLine::~HartLine()
{
    for (auto& [serial, character] : onLine_) {
        dispatcher_.Cancel(character.endKey);
    }
    for (auto& [serial, key] : deferred_) {
        dispatcher_.Cancel(key);
    }
    for (Station& station : stations_) {
        if (station.paused) {
            dispatcher_.Cancel(station.resumeKey);
        }
    }
}

HartLine::Station& HartLine::At(StationId station)
{
    return const_cast<Station&>(std::as_const(*this).At(station));
}

const HartLine::Station& HartLine::At(StationId station) const
{
    if (station >= stations_.size()) {
        /* A test bug: there is no sensible way to go on. */
        std::fprintf(stderr, "sim::HartLine: station %u was never attached\n", station);
        std::abort();
    }
    return stations_[station];
}

StationId HartLine::Attach(std::string name, ReceiveHandler onReceive)
{
    Station station;
    station.name = std::move(name);
    station.onReceive = std::move(onReceive);
    stations_.push_back(std::move(station));
    return static_cast<StationId>(stations_.size() - 1);
}

void HartLine::Detach(StationId station)
{
    Station& detached = At(station);
    detached.attached = false;
    detached.onReceive = {};
    detached.queue.clear();
    if (detached.paused) {
        dispatcher_.Cancel(detached.resumeKey);
        detached.paused = false;
    }
}

void HartLine::MarkNoise(StationId station)
{
    At(station).noise = true;
}

void HartLine::InjectGap(StationId station, std::size_t afterCharacters, Ticks gap)
{
    Station& sender = At(station);
    sender.gapAfter = afterCharacters;
    sender.gap = gap;
    sender.gapArmed = true;
}

Ticks HartLine::BusyTime() const
{
    return busyOpen_ ? busyTime_ + (Now() - busySince_) : busyTime_;
}

const std::string& HartLine::Name(StationId station) const
{
    return At(station).name;
}

void HartLine::Transmit(StationId station, std::span<const std::uint8_t> bytes, SentHandler onSent)
{
    Station& sender = At(station);
    if (!sender.attached) {
        return;
    }
    sender.queue.push_back(Transmission{{bytes.begin(), bytes.end()}, 0, std::move(onSent)});
    if (!sender.sending && !sender.paused) {
        StartIdle(station);
    }
}

void HartLine::AbortTransmit(StationId station)
{
    Station& sender = At(station);
    for (Transmission& transmission : sender.queue) {
        transmission.bytes.resize(transmission.next);
    }
    if (sender.paused) {
        dispatcher_.Cancel(sender.resumeKey);
        sender.paused = false;
    }
    if (!sender.sending) {
        StartIdle(station);
    }
}

void HartLine::StartIdle(StationId station)
{
    /* Empty (or aborted) transmissions at the head are done at once, but
       reported from the dispatcher like every other completion, never from
       inside the caller. */
    std::vector<std::pair<SentHandler, std::size_t>> finished;
    Station& sender = At(station);
    TakeFinished(sender, finished);
    if (!sender.queue.empty()) {
        StartCharacter(station);
    }
    if (!finished.empty()) {
        Defer([this, station, finished] {
            if (!At(station).attached) {
                return; /* the handlers may belong to a station that is gone */
            }
            for (const auto& [handler, sent] : finished) {
                if (handler) {
                    handler(sent);
                }
            }
        });
    }
}

bool HartLine::Transmitting(StationId station) const
{
    const Station& sender = At(station);
    return sender.sending || !sender.queue.empty();
}

bool HartLine::CarrierDetect() const
{
    const Ticks now = Now();
    return std::any_of(onLine_.begin(), onLine_.end(), [now](const auto& entry) {
        return entry.second.character.start <= now && now < entry.second.character.end;
    });
}

bool HartLine::CarrierDetect(StationId station) const
{
    const Ticks now = Now();
    return std::any_of(onLine_.begin(), onLine_.end(), [now, station](const auto& entry) {
        const LineCharacter& character = entry.second.character;
        return character.from != station && character.start <= now && now < character.end;
    });
}

void HartLine::StartCharacter(StationId station)
{
    Station& sender = At(station);
    Transmission& transmission = sender.queue.front();
    const Ticks now = Now();
    const std::uint64_t serial = nextSerial_++;
    OnLine entry;
    entry.character = LineCharacter{transmission.bytes[transmission.next++], CharacterStatus::Ok, now,
                                    now + characterTime_, station};
    /* Intervals are half-open: a character that starts as another ends
       (back to back, or an answer right at the end) does not overlap it. */
    bool lineWasQuiet = true;
    bool stationsOverlap = false;
    for (auto& [otherSerial, other] : onLine_) {
        if (other.character.end <= now) {
            continue;
        }
        lineWasQuiet = false;
        if (other.character.from != station) {
            AddOnce(other.overlapped, station);
            AddOnce(entry.overlapped, other.character.from);
            stationsOverlap = stationsOverlap || !At(other.character.from).noise;
        }
    }
    /* Noise garbles what it hits, but only stations talking over each
       other is a collision: that count is what arbitration must keep at 0. */
    if (stationsOverlap && !sender.noise && !colliding_) {
        colliding_ = true;
        ++collisions_;
    }
    if (lineWasQuiet) {
        /* A character that ended at this instant may not have been taken
           off the line yet: its interval is closed here. */
        if (busyOpen_) {
            busyTime_ += now - busySince_;
        }
        busyOpen_ = true;
        busySince_ = now;
    }
    sender.sending = true;
    ++sender.charactersSent;
    ++charactersSent_;
    entry.endKey = dispatcher_.Schedule(entry.character.end, [this, serial] { EndCharacter(serial); });
    onLine_.emplace(serial, std::move(entry));
}

void HartLine::TakeFinished(Station& station, std::vector<std::pair<SentHandler, std::size_t>>& finished)
{
    while (!station.queue.empty() && station.queue.front().next >= station.queue.front().bytes.size()) {
        Transmission& done = station.queue.front();
        finished.emplace_back(std::move(done.onSent), done.next);
        station.queue.pop_front();
    }
}

void HartLine::EndCharacter(std::uint64_t serial)
{
    auto it = onLine_.find(serial);
    if (it == onLine_.end()) {
        return;
    }
    OnLine ended = std::move(it->second);
    onLine_.erase(it);
    const Ticks now = Now();
    if (std::none_of(onLine_.begin(), onLine_.end(),
                     [now](const auto& entry) { return entry.second.character.end > now; })) {
        colliding_ = false;
        if (busyOpen_) {
            busyTime_ += now - busySince_;
            busyOpen_ = false;
        }
    }

    LineCharacter character = ended.character;
    if (!ended.overlapped.empty()) {
        character.status = CharacterStatus::Garbled;
        character.byte = Corrupt(character.byte);
        ++charactersGarbled_;
    }
    bool dropped = false;
    if (faultFilter_) {
        switch (faultFilter_(character)) {
        case CharacterFate::Deliver:
            break;
        case CharacterFate::Garble:
            if (character.status != CharacterStatus::Garbled) {
                character.status = CharacterStatus::Garbled;
                character.byte = Corrupt(character.byte);
                ++charactersGarbled_;
            }
            break;
        case CharacterFate::Drop:
            dropped = true;
            ++charactersDropped_;
            break;
        }
    }

    /* The sender's next character follows without a gap, unless one was injected. */
    const StationId from = character.from;
    Station& sender = At(from);
    sender.sending = false;
    std::vector<std::pair<SentHandler, std::size_t>> finished;
    if (sender.attached) {
        TakeFinished(sender, finished);
        if (!sender.queue.empty()) {
            Continue(from);
        }
    }

    for (StationId id = 0; id < stations_.size() && !dropped; ++id) {
        /* Copied: a handler may detach its own station. */
        ReceiveHandler receive = stations_[id].onReceive;
        if (id == from || !receive ||
            std::find(ended.overlapped.begin(), ended.overlapped.end(), id) != ended.overlapped.end()) {
            continue;
        }
        receive(character);
    }
    if (!At(from).attached) {
        return; /* a receiver detached the sender; its handlers may be gone with it */
    }
    for (auto& [handler, sent] : finished) {
        if (handler) {
            handler(sent);
        }
    }
}

void HartLine::Continue(StationId station)
{
    Station& sender = At(station);
    if (sender.gapArmed && sender.queue.front().next == sender.gapAfter) {
        sender.gapArmed = false;
        sender.paused = true;
        sender.resumeKey = dispatcher_.Schedule(Now() + sender.gap, [this, station] { Resume(station); });
        return;
    }
    StartCharacter(station);
}

void HartLine::Resume(StationId station)
{
    Station& sender = At(station);
    sender.paused = false;
    if (sender.attached) {
        StartIdle(station);
    }
}

void HartLine::Defer(std::function<void()> task)
{
    const std::uint64_t serial = nextSerial_++;
    deferred_[serial] = dispatcher_.Schedule(Now(), [this, serial, task = std::move(task)] {
        deferred_.erase(serial);
        task();
    });
}

std::uint8_t HartLine::Corrupt(std::uint8_t byte)
{
    /* xorshift64: cheap, and the same garbage for the same seed. */
    random_ ^= random_ << 13;
    random_ ^= random_ >> 7;
    random_ ^= random_ << 17;
    auto flip = static_cast<std::uint8_t>(random_ >> 24);
    return static_cast<std::uint8_t>(byte ^ (flip != 0 ? flip : 0xA5));
}

} // namespace sim
