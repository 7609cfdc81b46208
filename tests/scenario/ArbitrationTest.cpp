/* Two masters, burst mode, late joiners, noise and dead devices on one line. */
#include "ScenarioFixture.h"

#include "link/HartLink.h"
#include "sim/LineFaults.h"

namespace scenario {
namespace {

using ArbitrationTest = ScenarioFixture;

TEST_F(ArbitrationTest, PrimaryAndSecondaryTakeTurnsWithoutCollisions)
{
    Boot(Line(2, 3));
    Poller& primary = AddPoller("1", true, Targets(3, {1, 3, 48}));
    Poller& secondary = AddPoller("2", false, Targets(3, {0, 2}));
    RunWithoutAFault(60s);
    /* Each master gets the bus after the other's transaction: strict turns. */
    EXPECT_GT(primary.Succeeded(), 80u);
    EXPECT_LE(primary.Succeeded(), secondary.Succeeded() + 1);
    EXPECT_LE(secondary.Succeeded(), primary.Succeeded() + 1);
    EXPECT_EQ(system_->Monitor().Requests(true), primary.Writes()) << "no request was sent twice";
    EXPECT_EQ(system_->Monitor().Requests(false), secondary.Writes());
}

TEST_F(ArbitrationTest, BurstDeviceLeavesEachMasterItsTurn)
{
    Boot(Line(2, 3, true));
    Poller& primary = AddPoller("1", true, Targets(3, {1, 0}));
    Poller& secondary = AddPoller("2", false, Targets(3, {2}));
    RunWithoutAFault(60s);
    EXPECT_GT(primary.Succeeded(), 50u);
    EXPECT_GT(secondary.Succeeded(), 50u);
    sim::FieldDevice& burst = system_->Device(0);
    EXPECT_GT(burst.BurstFramesSent(), 50u) << "the device went on publishing";
    EXPECT_GT(burst.AnswersTo(true), 10u);
    EXPECT_GT(burst.AnswersTo(false), 10u);
    const Bytes address = burst.LongAddress();
    for (const char* port : {"1", "2"}) {
        PHARTDEVICE_CONTEXT record = system_->PortRecord(port);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(Bytes(record->BurstAddress, record->BurstAddress + 5), address) << "COM" << port;
        EXPECT_NE(std::string(record->CurrentState->Name).find("BURST"), std::string::npos)
            << "COM" << port << " tracks the burst: " << record->CurrentState->Name;
    }
}

TEST_F(ArbitrationTest, MasterJoinsALineTheOtherMasterKeepsBusy)
{
    Boot(Line(2, 2));
    Poller& secondary = AddPoller("2", false, Targets(2, {1}));
    RunPollers(20s);
    const std::size_t alone = secondary.Succeeded();
    EXPECT_GT(alone, 50u);

    Poller& primary = AddPoller("1", true, Targets(2, {3}));
    RunWithoutAFault(40s);
    EXPECT_GT(primary.Succeeded(), 50u) << "the newcomer got the bus";
    EXPECT_GT(secondary.Succeeded() - alone, 50u) << "and the other master kept it too";
}

TEST_F(ArbitrationTest, MasterJoinsALineAScriptedMasterKeepsBusy)
{
    Boot(Line(1, 2, false, true));
    sim::ScriptedMaster& scripted = *system_->SecondMaster();
    system_->Host().RunFor(10s);
    const std::size_t alone = scripted.AnswersReceived();
    EXPECT_GT(alone, 20u);

    Poller& primary = AddPoller("1", true, Targets(2, {1}));
    RunWithoutAFault(30s);
    EXPECT_GT(primary.Succeeded(), 40u);
    EXPECT_GT(scripted.AnswersReceived() - alone, 40u);
    EXPECT_EQ(scripted.NoAnswers(), 0u);
}

TEST_F(ArbitrationTest, ListeningPortSeesBothScriptedMastersAndTheBurstDevice)
{
    sim::SystemOptions options = Line(1, 2, true, true);
    options.scriptedPrimaryMaster = true;
    Boot(options);
    platform::File port = OpenMaster("1", true);
    ASSERT_EQ(port.DeviceControl(IOCTL_HART_SET_READ_MASK, Bytes{0x77}, 0).status, STATUS_SUCCESS);
    std::map<std::uint8_t, int> seen; /* by delimiter and master bit */
    const Ticks end = system_->Host().Now() + 30s;
    while (system_->Host().Now() < end) {
        auto read = port.ReadAsync(300);
        platform::IoResult frame = read.Wait();
        ASSERT_EQ(frame.status, STATUS_SUCCESS);
        seen[static_cast<std::uint8_t>((frame.data[0] & 0x07) | (frame.data[1] & 0x80))]++;
    }
    port.Close();
    EXPECT_EQ(system_->Line().Collisions(), 0u);
    EXPECT_GT(system_->PrimaryMaster()->AnswersReceived(), 10u);
    EXPECT_GT(system_->SecondMaster()->AnswersReceived(), 10u);
    EXPECT_EQ(system_->PrimaryMaster()->NoAnswers() + system_->SecondMaster()->NoAnswers(), 0u);
    for (std::uint8_t kind : {0x02, 0x82, 0x06, 0x86, 0x01, 0x81}) {
        EXPECT_GT(seen[kind], 5) << "frame kind " << int(kind);
    }
}

TEST_F(ArbitrationTest, MasterRecoversFromNoiseBursts)
{
    Boot(Line(2, 2));
    sim::LineFaults faults(system_->Line());
    const Ticks now = system_->Host().Now();
    sim::LineFaults::Random random;
    random.seed = 8;
    random.garbleRate = 0.002;
    random.meanNoiseInterval = 2s;
    random.until = now + 60s;
    faults.StartRandom(random);
    faults.PreambleFloodAt(now + 10s, 300);
    faults.DropBetween(now + 20s, now + 20s + Ticks{500'000});
    faults.GapInFrame(system_->Device(1).Id(), now + 30s, 8, 6 * sim::kHartCharacterTime);
    Poller& primary = AddPoller("1", true, Targets(2, {1}));
    Poller& secondary = AddPoller("2", false, Targets(2, {2}));
    RunPollers(60s);

    ExpectCleanCompletions();
    EXPECT_GT(faults.NoiseBursts(), 10u);
    EXPECT_GT(system_->Line().CharactersGarbled(), 20u);
    const std::size_t failedDuringNoise = primary.TimedOut() + secondary.TimedOut() + primary.CrcErrors() +
                                          secondary.CrcErrors();
    EXPECT_GT(primary.Succeeded(), 40u);
    EXPECT_GT(secondary.Succeeded(), 40u);

    /* Once the line is clean both masters are back in step: no failure, no collision. */
    const std::size_t collisions = system_->Line().Collisions();
    const std::size_t failed = failedDuringNoise;
    const std::size_t primaryBefore = primary.Succeeded();
    const std::size_t secondaryBefore = secondary.Succeeded();
    RunPollers(30s);
    DrainPollers();
    ExpectCleanCompletions();
    EXPECT_EQ(primary.TimedOut() + secondary.TimedOut() + primary.CrcErrors() + secondary.CrcErrors(), failed);
    EXPECT_LE(system_->Line().Collisions(), collisions + 1) << "at most the one that ends the first clean turn";
    EXPECT_GT(primary.Succeeded() - primaryBefore, 30u);
    EXPECT_GT(secondary.Succeeded() - secondaryBefore, 30u);
}

TEST_F(ArbitrationTest, DeviceThatStopsAnsweringTimesTheWriteOutAndComesBack)
{
    Boot(Line(2, 2));
    Poller& primary = AddPoller("1", true, Targets(2, {1}));
    Poller& secondary = AddPoller("2", false, {{0, 1}});
    sim::LineFaults faults(system_->Line());
    const Ticks now = system_->Host().Now();
    faults.SilenceBetween(system_->Device(1), now + 10s, now + 20s);
    RunPollers(40s);
    DrainPollers();

    ExpectCleanCompletions();
    const std::vector<NTSTATUS>& toSilent = primary.History().at(1);
    std::size_t timedOut = 0;
    for (NTSTATUS status : toSilent) {
        timedOut += status == STATUS_TRANSACTION_TIMED_OUT;
    }
    EXPECT_GT(timedOut, 3u);
    EXPECT_EQ(primary.TimedOut(), timedOut) << "only the silent device's writes time out";
    EXPECT_EQ(toSilent.back(), STATUS_SUCCESS) << "the device is back";
    /* RetryCount 2: three attempts per timed-out write, one per answered
       one, and a write the device came back in the middle of may take two. */
    const std::size_t heard = system_->Device(1).RequestsHeard();
    EXPECT_GE(heard, toSilent.size() + 2 * timedOut);
    EXPECT_LE(heard, toSilent.size() + 2 * timedOut + 2);
    EXPECT_EQ(secondary.TimedOut(), 0u);
    EXPECT_GT(secondary.Succeeded(), 40u) << "the other master goes on meanwhile";
}

TEST_F(ArbitrationTest, RudeMasterCollidesButEveryRequestStillCompletesOnce)
{
    Boot(Line(1, 2));
    sim::ScriptedMasterConfig rude;
    rude.timing = sim::ScriptedMasterConfig::Timing::Rude;
    /* A period that drifts against the line's rhythm: it lands in the
       middle of some of the driver's transactions, not all. */
    rude.period = Ticks{13'700'000};
    sim::HartFrame request;
    request.delimiter = sim::kDelimiterStx;
    request.address = {1};
    request.command = 2;
    rude.requests = {request};
    sim::ScriptedMaster master(system_->Line(), rude);
    Poller& primary = AddPoller("1", true, Targets(2, {1}));
    RunPollers(60s);
    master.Stop();
    DrainPollers();

    ExpectCleanCompletions();
    EXPECT_GT(system_->Line().Collisions(), 5u);
    EXPECT_GT(primary.Succeeded(), 5 * (primary.TimedOut() + primary.CrcErrors()))
        << "retries carry most requests through";
}

} // namespace
} // namespace scenario
