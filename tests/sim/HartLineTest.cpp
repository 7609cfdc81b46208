/* The simulated line: character timing, collisions, deafness while sending,
   carrier, and the scripted station's pacing. All on the virtual clock. */
#include <vector>

#include <gmock/gmock.h>

#include <platform/Host.h>

#include "sim/HartLine.h"
#include "sim/LineFaults.h"
#include "sim/ScriptedStation.h"

using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::Field;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr platform::Ticks T = sim::kHartCharacterTime;

std::vector<sim::CharacterStatus> Statuses(const sim::ScriptedStation& station)
{
    std::vector<sim::CharacterStatus> statuses;
    for (const sim::LineCharacter& character : station.Heard()) {
        statuses.push_back(character.status);
    }
    return statuses;
}

class HartLineTest : public ::testing::Test {
protected:
    platform::Host host{platform::Clock::Virtual};
    sim::HartLine line{host};
    sim::ScriptedStation master{line, "master"};
    sim::ScriptedStation slave{line, "slave"};
    sim::ScriptedStation listener{line, "listener"};
};

TEST_F(HartLineTest, CharacterTimeIsElevenBitsAt1200RoundedToTheTick)
{
    EXPECT_EQ(T.count(), 91667);
    EXPECT_EQ(sim::CharacterTime(2400).count(), 45833);
    EXPECT_EQ(line.CharacterDuration(), T);
}

TEST_F(HartLineTest, FrameArrivesCharacterByCharacterWithExactTiming)
{
    const Bytes frame = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    master.SendAt(platform::Ticks(1ms), frame);
    ASSERT_TRUE(slave.WaitForHeard(frame.size(), 1s));

    EXPECT_EQ(slave.HeardBytes(), frame);
    const platform::Ticks start = platform::Ticks(1ms);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const sim::LineCharacter& heard = slave.Heard()[i];
        EXPECT_EQ(heard.start, start + static_cast<std::int64_t>(i) * T) << i;
        EXPECT_EQ(heard.end, start + static_cast<std::int64_t>(i + 1) * T) << i;
        EXPECT_EQ(heard.status, sim::CharacterStatus::Ok);
        EXPECT_EQ(heard.from, master.Id());
    }
    EXPECT_EQ(listener.HeardBytes(), frame);
    /* Nobody hears themselves. */
    EXPECT_TRUE(master.Heard().empty());

    ASSERT_TRUE(master.WaitUntilIdle(1s));
    ASSERT_EQ(master.SentSequences().size(), 1u);
    EXPECT_EQ(master.SentSequences()[0].start, start);
    EXPECT_EQ(master.SentSequences()[0].end, start + 7 * T);
    EXPECT_EQ(master.SentSequences()[0].count, 7u);
    EXPECT_EQ(line.Collisions(), 0u);
}

TEST_F(HartLineTest, OverlappingTransmissionsGarbleBothForEveryReceiver)
{
    const Bytes fromMaster = {0x01, 0x02, 0x03, 0x04};
    const Bytes fromSlave = {0x11, 0x12, 0x13};
    master.Send(fromMaster);
    slave.SendAfter(T / 2, fromSlave);
    host.RunFor(1s);

    ASSERT_EQ(listener.Heard().size(), 7u);
    EXPECT_THAT(listener.Heard(), Each(Field(&sim::LineCharacter::status, sim::CharacterStatus::Garbled)));
    std::size_t fromEach[2] = {0, 0};
    for (const sim::LineCharacter& heard : listener.Heard()) {
        const bool isMaster = heard.from == master.Id();
        const Bytes& sent = isMaster ? fromMaster : fromSlave;
        EXPECT_NE(heard.byte, sent[fromEach[isMaster ? 0 : 1]++]);
    }
    /* Each was sending while the other's characters were on the line. */
    EXPECT_TRUE(master.Heard().empty());
    EXPECT_TRUE(slave.Heard().empty());
    EXPECT_EQ(line.Collisions(), 1u);
    EXPECT_EQ(line.CharactersGarbled(), 7u);

    /* The line recovers: a later frame is clean and no new collision. */
    listener.ClearHeard();
    master.Send({0x42});
    host.RunFor(1s);
    EXPECT_THAT(Statuses(listener), ElementsAre(sim::CharacterStatus::Ok));
    EXPECT_EQ(line.Collisions(), 1u);
}

TEST_F(HartLineTest, OnlyTheOverlappingCharactersAreGarbled)
{
    master.Send({0x01, 0x02, 0x03, 0x04});
    slave.SendAfter(3 * T + T / 2, {0x11, 0x12});
    host.RunFor(1s);

    using sim::CharacterStatus::Garbled;
    using sim::CharacterStatus::Ok;
    EXPECT_THAT(Statuses(listener), ElementsAre(Ok, Ok, Ok, Garbled, Garbled, Ok));
    /* The slave heard the master until it began to send; the master hears
       the slave's character that came after its own transmission. */
    EXPECT_EQ(slave.HeardBytes(), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(master.HeardBytes(), (Bytes{0x12}));
    EXPECT_EQ(line.Collisions(), 1u);
}

TEST_F(HartLineTest, AnswerStartingAsTheLastCharacterEndsIsNoCollision)
{
    slave.OnHeard([&](const sim::LineCharacter&) {
        if (slave.Heard().size() == 2) {
            slave.Send({0x06, 0x07});
        }
    });
    master.Send({0x01, 0x02});
    host.RunFor(1s);

    EXPECT_EQ(line.Collisions(), 0u);
    EXPECT_EQ(listener.HeardBytes(), (Bytes{0x01, 0x02, 0x06, 0x07}));
    EXPECT_THAT(listener.Heard(), Each(Field(&sim::LineCharacter::status, sim::CharacterStatus::Ok)));
    EXPECT_EQ(listener.Heard()[2].start, 2 * T);
    EXPECT_EQ(listener.HeardBursts(), (std::vector<Bytes>{{0x01, 0x02, 0x06, 0x07}}));
}

TEST_F(HartLineTest, CarrierIsSeenByTheOthersWhileACharacterIsOnTheLine)
{
    EXPECT_FALSE(line.CarrierDetect());
    master.SendAt(platform::Ticks(10ms), {0xFF, 0xFF});
    host.RunUntil(platform::Ticks(10ms) + T / 2);
    EXPECT_TRUE(line.CarrierDetect());
    EXPECT_TRUE(line.CarrierDetect(slave.Id()));
    EXPECT_FALSE(line.CarrierDetect(master.Id()));
    EXPECT_TRUE(line.Transmitting(master.Id()));
    EXPECT_FALSE(line.Transmitting(slave.Id()));

    /* Still on between back-to-back characters, off once the last has ended. */
    host.RunUntil(platform::Ticks(10ms) + T);
    EXPECT_TRUE(line.CarrierDetect(slave.Id()));
    host.RunUntil(platform::Ticks(10ms) + 2 * T);
    EXPECT_FALSE(line.CarrierDetect());
    EXPECT_FALSE(line.Transmitting(master.Id()));
}

TEST_F(HartLineTest, SequencesQueueBackToBackAndAbortKeepsTheCharacterOnTheLine)
{
    master.Send({0x01, 0x02});
    master.SendAfter(T, {0x03}); /* due while the first is still going out */
    host.RunFor(1s);
    EXPECT_EQ(slave.HeardBytes(), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(slave.Heard()[2].start, slave.Heard()[1].end);
    ASSERT_EQ(master.SentSequences().size(), 2u);
    EXPECT_EQ(master.SentSequences()[1].start, master.SentSequences()[0].end);

    slave.ClearHeard();
    const platform::Ticks begin = host.Now();
    master.Send({0x10, 0x11, 0x12, 0x13});
    master.SendAfter(10 * T, {0x20});
    host.RunFor(T + T / 2);
    master.Abort();
    host.RunFor(1s);
    EXPECT_EQ(slave.HeardBytes(), (Bytes{0x10, 0x11}));
    ASSERT_EQ(master.SentSequences().size(), 3u);
    EXPECT_EQ(master.SentSequences()[2].count, 2u);
    EXPECT_EQ(master.SentSequences()[2].end, begin + 2 * T);
    EXPECT_FALSE(master.Busy());
}

TEST_F(HartLineTest, EmptyTransmissionCompletesFromTheDispatcher)
{
    std::vector<std::size_t> completions;
    line.Transmit(master.Id(), {}, [&](std::size_t sent) { completions.push_back(sent); });
    EXPECT_TRUE(completions.empty());
    host.RunUntilIdle();
    EXPECT_THAT(completions, ElementsAre(0u));
    EXPECT_EQ(host.Now(), platform::Ticks::zero());
}

TEST_F(HartLineTest, InjectedFaultsGarbleDropAndStallCharacters)
{
    sim::LineFaults faults(line);
    const platform::Ticks start = platform::Ticks(1ms);
    /* Character 1 garbled, character 2 lost, a stall of 5 characters after character 4. */
    faults.GarbleBetween(start + 2 * T, start + 2 * T + 1us);
    faults.DropBetween(start + 3 * T, start + 3 * T + 1us);
    faults.GapInFrame(master.Id(), start, 4, 5 * T);
    master.SendAt(start, {0x10, 0x11, 0x12, 0x13, 0x14, 0x15});
    ASSERT_TRUE(slave.WaitForHeard(5, 1s));
    EXPECT_THAT(Statuses(slave), ElementsAre(sim::CharacterStatus::Ok, sim::CharacterStatus::Garbled,
                                             sim::CharacterStatus::Ok, sim::CharacterStatus::Ok,
                                             sim::CharacterStatus::Ok));
    EXPECT_EQ(slave.HeardBytes()[2], 0x13) << "0x12 never arrived";
    EXPECT_EQ(slave.Heard()[3].start, start + 4 * T + 5 * T) << "the rest follows the stall";
    EXPECT_TRUE(master.SentSequences().back().count == 6);
    EXPECT_EQ(line.CharactersDropped(), 1u);
    EXPECT_EQ(line.Collisions(), 0u);
}

TEST_F(HartLineTest, NoiseGarblesButIsNoCollisionAndBusyTimeCountsEveryCharacter)
{
    sim::LineFaults faults(line);
    master.SendAt(platform::Ticks(1ms), {0x01, 0x02, 0x03, 0x04});
    faults.NoiseBurstAt(platform::Ticks(1ms) + T + T / 2, 2);
    faults.PreambleFloodAt(1s, 10);
    host.RunFor(2s);
    EXPECT_EQ(line.Collisions(), 0u);
    EXPECT_EQ(slave.HeardGarbled(), 5u) << "characters 2, 3 and 4 and both noise characters";
    /* The noise lies inside the frame: 4 characters' time, then 10 preambles. */
    EXPECT_EQ(line.BusyTime(), 4 * T + 10 * T);
    EXPECT_EQ(line.CharactersSentBy(master.Id()), 4u);
}

TEST_F(HartLineTest, RandomFaultsStartedAgainReplaceTheNoiseOfTheFirstStart)
{
    sim::LineFaults faults(line);
    sim::LineFaults::Random noisy;
    noisy.meanNoiseInterval = 50ms;
    faults.StartRandom(noisy);
    host.RunFor(1s);
    const std::size_t heard = listener.Heard().size();
    EXPECT_GT(heard, 0u);
    /* Without noise now: the first start's noise must not go on, let alone at a zero interval. */
    faults.StartRandom(sim::LineFaults::Random{});
    host.RunFor(1s);
    EXPECT_EQ(host.Now(), platform::Ticks(2s));
    EXPECT_LE(listener.Heard().size(), heard + noisy.noiseCharacters) << "at most the burst already on its way";
}

TEST(HartLineTeardownTest, StationsAndLineGoWithCharactersStillOnTheLine)
{
    platform::Host host;
    sim::HartLine line(host);
    auto sender = std::make_unique<sim::ScriptedStation>(line, "sender");
    sim::ScriptedStation receiver(line, "receiver");
    sender->Send({0x01, 0x02, 0x03});
    sender->SendAfter(1s, {0x04});
    host.RunFor(T / 2);
    sender.reset();
    host.RunFor(1s);
    /* The character already on the line still arrives; nothing after it. */
    EXPECT_EQ(receiver.HeardBytes(), (Bytes{0x01}));
}

} // namespace
