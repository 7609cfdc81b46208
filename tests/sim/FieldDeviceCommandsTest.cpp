/* The simulated field device's commands, answers compared byte for byte with their layouts. */
#include <gtest/gtest.h>

#include <cstring>

#include "HeardFrames.h"
#include "sim/FieldDevice.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

float FloatAt(const Bytes& data, std::size_t at)
{
    const std::uint32_t bits = (std::uint32_t{data.at(at)} << 24) | (std::uint32_t{data.at(at + 1)} << 16) |
                               (std::uint32_t{data.at(at + 2)} << 8) | data.at(at + 3);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

Bytes Cat(std::initializer_list<Bytes> pieces)
{
    Bytes all;
    for (const Bytes& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

/* Payloads after the response code and the status byte. */
Bytes Payload(const Bytes& answer)
{
    return answer.size() < 2 ? Bytes{} : Bytes(answer.begin() + 2, answer.end());
}

class DeviceCommandsTest : public ::testing::Test {
protected:
    HartFrame Request(std::uint8_t command, Bytes data, bool primary) const
    {
        HartFrame frame;
        frame.delimiter = 0x82;
        frame.address = {0x26, 0x06, 0x12, 0x34, 0x56};
        frame.address[0] |= primary ? kMasterBit : 0;
        frame.command = command;
        frame.data = std::move(data);
        return frame;
    }

    /* Response code, status byte and payload of the answer heard within a second. */
    Bytes Ask(std::uint8_t command, Bytes data = {}, bool primary = true)
    {
        master_.ClearHeard();
        master_.Send(OnLine(Request(command, std::move(data), primary), 5));
        host_.RunFor(1s);
        for (const HeardFrame& heard : FramesHeard(master_)) {
            if (heard.frame.FrameType() == kDelimiterAck) {
                EXPECT_EQ(heard.frame.command, command);
                return heard.frame.data;
            }
        }
        ADD_FAILURE() << "no answer to command " << int(command);
        return {};
    }

    std::uint8_t Code(std::uint8_t command, Bytes data = {}, bool primary = true)
    {
        Bytes answer = Ask(command, std::move(data), primary);
        return answer.empty() ? 0xFF : answer[0];
    }

    platform::Host host_;
    HartLine line_{host_};
    ScriptedStation master_{line_, "master"};
    FieldDevice device_{line_, FieldDeviceConfig{}};
};

TEST_F(DeviceCommandsTest, ReadCommandsAnswerInTheirLayout)
{
    /* 14: serial number, limits' units, upper and lower limit, least span. */
    EXPECT_EQ(Ask(14), (Bytes{0, 0, 0x12, 0x34, 0x56, 32, 0x43, 0xFA, 0, 0, 0xC3, 0x48, 0, 0, 0x41, 0x20, 0, 0}));
    /* 15: alarm, transfer function, units, URV 100, LRV 0, damping 1 s, write protect, 250, analog flags. */
    EXPECT_EQ(Payload(Ask(15)), (Bytes{0, 0, 32, 0x42, 0xC8, 0, 0, 0, 0, 0, 0, 0x3F, 0x80, 0, 0, 0, 250, 0}));
    /* 33: code, units, value: 12.5 degC, 6 mA. */
    EXPECT_EQ(Payload(Ask(33, {0, 245})), (Bytes{0, 32, 0x41, 0x48, 0, 0, 245, 39, 0x40, 0xC0, 0, 0}));
    EXPECT_EQ(Code(33, {0, 17}), kResponseInvalidSelection);
    EXPECT_EQ(Payload(Ask(50)), (Bytes{0, 1, 2, 3}));
    /* 54: code, serial, units, limits, damping, span, classification, family, period 0.5 s, properties. */
    EXPECT_EQ(Payload(Ask(54, {0})), (Bytes{0, 0x12, 0x34, 0x56, 32, 0x43, 0xFA, 0, 0, 0xC3, 0x48, 0, 0, 0x3F, 0x80,
                                            0, 0, 0x41, 0x20, 0, 0, 64, 4, 0, 0, 0x3E, 0x80, 0}));
    EXPECT_EQ(Code(54, {9}), kResponseInvalidVariable);
    EXPECT_EQ(Payload(Ask(76)), Bytes{0});
    EXPECT_EQ(Payload(Ask(48)), Bytes(14, 0));
    /* 105: off, 31, slots, message 0 of 1, command 1, periods 0, continuous, trigger unused. */
    EXPECT_EQ(Payload(Ask(105, {0})), (Bytes{0, 31, 0, 1, 2, 3, 250, 250, 250, 250, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                                             0, 0, 0, 250, 0, 0, 0, 0}));
    EXPECT_EQ(Code(105, {1}), 9) << "one burst message only";
    EXPECT_EQ(Ask(106), (Bytes{0, 0}));
    EXPECT_EQ(Ask(72), (Bytes{0, 0}));
    EXPECT_TRUE(device_.Squawking());
}

TEST_F(DeviceCommandsTest, UniversalWritesEchoAndCountAsConfigurationChanges)
{
    /* Multidrop: the loop is fixed, which command 48 tells as well. */
    constexpr std::uint8_t kFixedAndMore = kStatusMoreStatusAvailable | kStatusLoopCurrentFixed;
    EXPECT_EQ(Ask(6, {5, 0}), (Bytes{0, kStatusConfigurationChanged | kFixedAndMore, 5, 0}));
    EXPECT_EQ(Payload(Ask(2)), (Bytes{0x40, 0x80, 0, 0, 0x41, 0x48, 0, 0})) << "4 mA in multidrop, 12.5 %";
    EXPECT_EQ(Code(6, {5, 2}), 12) << "loop current mode";
    EXPECT_EQ(Code(6, {64, 1}), kResponseInvalidSelection);
    const Bytes message(24, 0x82);
    EXPECT_EQ(Payload(Ask(17, message)), message);
    EXPECT_EQ(Payload(Ask(19, {7, 8, 9})), (Bytes{7, 8, 9}));
    Bytes tag(32, 0);
    tag[0] = 'F';
    EXPECT_EQ(Payload(Ask(22, tag)), tag);
    Bytes badDate(21, 0);
    badDate[18] = 32;
    badDate[19] = 1;
    EXPECT_EQ(Code(18, badDate), 9) << "day 32";

    /* Four writes so far; command 0 of revision 7 shows the counter in bytes 14 and 15. */
    const Bytes identity = Payload(Ask(0));
    ASSERT_EQ(identity.size(), 22u);
    EXPECT_EQ(identity[14], 0);
    EXPECT_EQ(identity[15], 4);
    EXPECT_EQ(Code(38, {0, 3}), kResponseCounterMismatch) << "a change the master has not seen";
    EXPECT_EQ(Ask(38, {0, 4}), (Bytes{0, kFixedAndMore, 0, 4}));
    EXPECT_TRUE(device_.DeviceStatusFor(false) & kStatusConfigurationChanged) << "the other master has not reset it";
    EXPECT_EQ(Ask(38, {}, false), (Bytes{0, kFixedAndMore, 0, 4})) << "an older master sends no counter";
}

TEST_F(DeviceCommandsTest, DampingRangeAndUnitsKeepToTheSensor)
{
    EXPECT_EQ(Code(34, {0x42, 0x04, 0, 0}), kResponseTooLarge) << "33 s";
    EXPECT_EQ(Code(34, {0xBF, 0x80, 0, 0}), kResponseTooSmall) << "-1 s";
    EXPECT_EQ(Payload(Ask(34, {0x40, 0x20, 0, 0})), (Bytes{0x40, 0x20, 0, 0}));
    EXPECT_EQ(device_.Config().damping, 2.5f);

    /* Range: units, upper, lower; the sensor reads -200 to 500 degC with a least span of 10. */
    const Bytes u600{0x44, 0x16, 0, 0}, u100{0x42, 0xC8, 0, 0}, m300{0xC3, 0x96, 0, 0}, zero{0, 0, 0, 0},
        five{0x40, 0xA0, 0, 0};
    EXPECT_EQ(Code(35, Cat({{32}, u600, u600})), 13) << "both out of limits";
    EXPECT_EQ(Code(35, Cat({{32}, u100, u600})), 9) << "lower too high";
    EXPECT_EQ(Code(35, Cat({{32}, u100, m300})), 10) << "lower too low";
    EXPECT_EQ(Code(35, Cat({{32}, u600, zero})), 11) << "upper too high";
    EXPECT_EQ(Code(35, Cat({{32}, m300, zero})), 12) << "upper too low";
    EXPECT_EQ(Code(35, Cat({{32}, u100, u100})), 29) << "no span";
    EXPECT_EQ(Code(35, Cat({{7}, u100, zero})), kResponseInvalidUnits) << "bar for a temperature";
    const Bytes narrow = Ask(35, Cat({{32}, five, zero}));
    EXPECT_EQ(narrow[0], 14) << "taken, with a warning";
    EXPECT_EQ(Payload(narrow), Cat({{32}, five, zero}));
    EXPECT_EQ(device_.Config().upperRange, 5.0f);
    /* 212 to 32 degF is 100 to 0 degC. */
    EXPECT_EQ(Code(35, Cat({{33}, {0x43, 0x54, 0, 0}, {0x42, 0, 0, 0}})), kResponseSuccess);
    EXPECT_NEAR(device_.Config().upperRange, 100.0f, 1e-3);
    EXPECT_NEAR(device_.Config().lowerRange, 0.0f, 1e-3);

    EXPECT_EQ(Code(44, {7}), 12) << "bar for a temperature";
    EXPECT_EQ(Payload(Ask(44, {kUnitsKelvin})), Bytes{kUnitsKelvin});
    const Bytes pv = Payload(Ask(1));
    EXPECT_EQ(pv[0], kUnitsKelvin);
    EXPECT_NEAR(FloatAt(pv, 1), 285.65f, 1e-3);
    EXPECT_NEAR(FloatAt(Payload(Ask(2)), 0), 6.0f, 1e-4) << "the loop current does not move with the units";
}

TEST_F(DeviceCommandsTest, FixedCurrentHoldsTheLoopUntilItIsReleased)
{
    EXPECT_EQ(Ask(40, {0x41, 0x40, 0, 0}),
              (Bytes{0, kStatusMoreStatusAvailable | kStatusLoopCurrentFixed, 0x41, 0x40, 0, 0}))
        << "12 mA";
    EXPECT_EQ(Payload(Ask(2)), (Bytes{0x41, 0x40, 0, 0, 0x41, 0x48, 0, 0}));
    const Bytes status = Payload(Ask(48));
    EXPECT_EQ(status[6], kExtendedFunctionCheck);
    EXPECT_EQ(status[13], kAnalogChannelPrimary);
    EXPECT_EQ(Code(40, {0x41, 0xF0, 0, 0}), kResponseTooLarge) << "30 mA";
    EXPECT_EQ(Code(40, {0x40, 0, 0, 0}), kResponseTooSmall) << "2 mA";
    EXPECT_EQ(Ask(40, {0, 0, 0, 0}), (Bytes{0, kStatusMoreStatusAvailable, 0, 0, 0, 0}));
    EXPECT_EQ(device_.LoopCurrent(), 6.0f);
    Ask(6, {1, 0});
    EXPECT_EQ(Code(40, {0x41, 0x40, 0, 0}), 11) << "multidrop";
}

TEST_F(DeviceCommandsTest, PreamblesAndAdditionalStatusAcknowledgement)
{
    EXPECT_EQ(Code(59, {4}), kResponseTooSmall);
    EXPECT_EQ(Code(59, {21}), kResponseTooLarge);
    EXPECT_EQ(Payload(Ask(59, {12})), Bytes{12});
    EXPECT_EQ(Payload(Ask(0))[12], 12);
    EXPECT_EQ(device_.Config().preambles, 12);

    device_.SetAdditionalStatus({0x04, 0, 0, 0, 0, 0});
    Bytes stale(14, 0);
    const Bytes mismatch = Ask(48, stale);
    EXPECT_EQ(mismatch[0], 14) << "the master has not seen this status";
    EXPECT_EQ(mismatch[2], 0x04);
    EXPECT_TRUE(device_.DeviceStatusFor(true) & kStatusMoreStatusAvailable);
    stale[0] = 0x04;
    EXPECT_EQ(Code(48, stale), kResponseSuccess);
    EXPECT_FALSE(device_.DeviceStatusFor(true) & kStatusMoreStatusAvailable);
}

TEST_F(DeviceCommandsTest, SimulationStandsInForTheSensor)
{
    /* Variable 0, fix, degC, 50.0, status manual/fixed. */
    const Bytes simulate{0, 1, 32, 0x42, 0x48, 0, 0, 0x80};
    EXPECT_EQ(Payload(Ask(79, simulate)), simulate);
    EXPECT_EQ(Payload(Ask(1)), (Bytes{32, 0x42, 0x48, 0, 0}));
    EXPECT_EQ(Payload(Ask(2)), (Bytes{0x41, 0x40, 0, 0, 0x42, 0x48, 0, 0})) << "12 mA, 50 %";
    const Bytes variables = Payload(Ask(9, {0}));
    ASSERT_EQ(variables.size(), 1u + 8u + 4u);
    EXPECT_EQ(variables[0], kExtendedFunctionCheck);
    EXPECT_EQ(Bytes(variables.begin() + 1, variables.begin() + 9), (Bytes{0, 64, 32, 0x42, 0x48, 0, 0, 0x80}));
    EXPECT_EQ(Payload(Ask(48))[8], kStandardizedSimulationActive);

    EXPECT_EQ(Code(79, {0, 1, 33, 0x42, 0x48, 0, 0, 0x80}), kResponseInvalidUnits);
    EXPECT_EQ(Code(79, {0, 2, 32, 0x42, 0x48, 0, 0, 0x80}), 10) << "no such write code";
    EXPECT_EQ(Code(79, {7, 1, 32, 0x42, 0x48, 0, 0, 0x80}), kResponseInvalidVariable);
    EXPECT_EQ(Code(79, {0, 0, 0, 0, 0, 0, 0, 0}), kResponseSuccess);
    EXPECT_EQ(Payload(Ask(1)), (Bytes{32, 0x41, 0x48, 0, 0}));
    EXPECT_EQ(Payload(Ask(48)), Bytes(14, 0));
}

TEST_F(DeviceCommandsTest, WriteProtectionAndLocksRefuseChanges)
{
    device_.Config().writeProtected = true;
    const std::vector<std::pair<std::uint8_t, Bytes>> writes{
        {6, {1, 1}},         {17, Bytes(24, 0)}, {18, Bytes(21, 1)},         {19, {1, 2, 3}}, {22, Bytes(32, 0)},
        {34, {0, 0, 0, 0}},  {35, Bytes(9, 0)},  {44, {33}},                 {59, {6}},       {79, Bytes(8, 0)},
        {103, Bytes(9, 0)},  {104, Bytes(8, 0)}, {107, {0, 1, 2, 3}},        {108, {1}},      {109, {0}},
    };
    for (const auto& [command, data] : writes) {
        EXPECT_EQ(Ask(command, data), (Bytes{kResponseWriteProtected, 0})) << int(command);
    }
    EXPECT_EQ(Payload(Ask(15))[15], 1) << "write protect";
    EXPECT_EQ(device_.ConfigurationChangeCounter(), 0u);
    EXPECT_EQ(Code(40, {0x41, 0x40, 0, 0}), kResponseSuccess) << "a loop test changes no configuration";
    device_.Config().writeProtected = false;

    /* The secondary master locks the device: only it may change it or unlock it. */
    EXPECT_EQ(Payload(Ask(71, {1}, false)), Bytes{1});
    EXPECT_EQ(Payload(Ask(76)), Bytes{0x01});
    EXPECT_EQ(Payload(Ask(48))[8], kStandardizedConfigurationLocked);
    EXPECT_EQ(Code(19, {1, 2, 3}), kResponseAccessRestricted);
    EXPECT_EQ(Code(40, {0, 0, 0, 0}), kResponseAccessRestricted);
    EXPECT_EQ(Code(71, {0}), kResponseAccessRestricted);
    EXPECT_EQ(Code(1), kResponseSuccess);
    EXPECT_EQ(Code(19, {1, 2, 3}, false), kResponseSuccess);
    /* Locked for everybody, the one that locked it changes nothing either but may unlock. */
    EXPECT_EQ(Code(71, {3}, false), kResponseSuccess);
    EXPECT_EQ(Payload(Ask(76)), Bytes{0x09});
    EXPECT_EQ(Code(19, {1, 2, 3}, false), kResponseAccessRestricted);
    EXPECT_EQ(Code(71, {4}, false), kResponseInvalidSelection);
    EXPECT_EQ(Code(71, {0}, false), kResponseSuccess);
    EXPECT_EQ(Code(19, {1, 2, 3}), kResponseSuccess);
    EXPECT_EQ(Payload(Ask(71, {2})), Bytes{2});
    EXPECT_EQ(Payload(Ask(76)), Bytes{0x07}) << "permanent, by the primary";
}

/* Slow commands answer on the line's clock: each Ask takes one second of it. */
TEST_F(DeviceCommandsTest, BusyCommandIsRefusedItsCountThenCarriedOut)
{
    device_.Config().slowCommands[1] = SlowCommand{.busyAnswers = 2};
    device_.Config().expandedCommands[700] = {0x11};
    device_.Config().slowCommands[700] = SlowCommand{.busyAnswers = 1};
    EXPECT_EQ(Ask(1), (Bytes{kResponseBusy, 0}));
    EXPECT_EQ(Code(2), kResponseSuccess) << "other commands go on";
    EXPECT_EQ(Code(1), kResponseBusy);
    EXPECT_EQ(Ask(1), (Bytes{0, 0, 32, 0x41, 0x48, 0, 0}));
    EXPECT_EQ(Code(1), kResponseBusy) << "busy again the next time";
    EXPECT_EQ(Ask(31, {0x02, 0xBC}), (Bytes{kResponseBusy, 0, 0x02, 0xBC}));
    EXPECT_EQ(Ask(31, {0x02, 0xBC}), (Bytes{0, 0, 0x02, 0xBC, 0x11}));
}

TEST_F(DeviceCommandsTest, DelayedResponseRunsUntilItIsDone)
{
    device_.Config().slowCommands[19] = SlowCommand{.delayedResponse = true, .delay = 2500ms};
    EXPECT_EQ(Ask(19, {1, 2, 3}), (Bytes{kResponseDelayedInitiated, 0}));
    EXPECT_EQ(Ask(19, {1, 2, 3}), (Bytes{kResponseDelayedRunning, 0}));
    EXPECT_EQ(device_.Config().finalAssemblyNumber, 0x000101u) << "not done yet";
    EXPECT_EQ(Code(16), kResponseSuccess) << "other commands go on";
    EXPECT_EQ(Ask(19, {1, 2, 3}), (Bytes{0, kStatusConfigurationChanged, 1, 2, 3}));
    EXPECT_EQ(device_.Config().finalAssemblyNumber, 0x010203u);
    EXPECT_EQ(Code(19, {1, 2, 3}), kResponseDelayedInitiated) << "a new job";

    /* Counted in answers instead of time. */
    device_.Config().slowCommands[1] = SlowCommand{.delayedResponse = true, .runningAnswers = 2};
    EXPECT_EQ(Code(1), kResponseDelayedInitiated);
    EXPECT_EQ(Code(1), kResponseDelayedRunning);
    EXPECT_EQ(Code(1), kResponseDelayedRunning);
    EXPECT_EQ(Code(1), kResponseSuccess);
}

TEST_F(DeviceCommandsTest, DelayedResponseDiesConflictsAndIsFlushed)
{
    device_.Config().slowCommands[1] = SlowCommand{.delayedResponse = true, .delay = 1500ms, .dies = true};
    EXPECT_EQ(Code(1), kResponseDelayedInitiated);
    EXPECT_EQ(Code(1, {}, false), kResponseDelayedConflict) << "the secondary asks while the primary's job runs";
    EXPECT_EQ(Code(1, {7}), kResponseDelayedConflict) << "other data";
    EXPECT_EQ(Code(1), kResponseDelayedDead);
    EXPECT_EQ(Code(1, {}, false), kResponseDelayedInitiated) << "the dead job is gone: a new one for the secondary";

    device_.Config().slowCommands[1].dies = false;
    EXPECT_EQ(Code(106), kResponseSuccess);
    EXPECT_EQ(Code(1), kResponseDelayedInitiated) << "flushed: the primary may start its own";
}

/* Burst mode set up and switched by commands, as both masters see it. */
class BurstCommandsTest : public DeviceCommandsTest {
protected:
    std::vector<HeardFrame> Frames() const { return FramesHeard(listener_); }
    std::vector<HeardFrame> BurstFrames() const
    {
        std::vector<HeardFrame> frames = Frames();
        std::erase_if(frames, [](const HeardFrame& h) { return h.frame.FrameType() != kDelimiterBack; });
        return frames;
    }

    /* Asks right after a burst frame has ended, in the pause the device leaves; the answer's data. */
    Bytes AskInPause(std::uint8_t command, Bytes data)
    {
        const std::size_t before = BurstFrames().size();
        EXPECT_TRUE(host_.GetDispatcher().RunUntil([&] { return BurstFrames().size() > before; }, 5s));
        const std::size_t heard = Frames().size();
        master_.Send(OnLine(Request(command, std::move(data), true), 5));
        EXPECT_TRUE(host_.GetDispatcher().RunUntil([&] { return Frames().size() >= heard + 2; }, 1s));
        auto frames = Frames();
        return frames.size() >= heard + 2 ? frames[heard + 1].frame.data : Bytes{};
    }

    ScriptedStation listener_{line_, "listener"};
};

TEST_F(BurstCommandsTest, BurstStartsAndStopsThrough109AndPublishesTheCommandFrom108)
{
    EXPECT_EQ(Payload(Ask(108, {0, 33, 0})), (Bytes{0, 33, 0}));
    const Bytes slots{0, 245, 250, 250, 250, 250, 250, 250, 0};
    EXPECT_EQ(Payload(Ask(107, slots)), slots);
    /* Period 2 s, longest 1 s: the longest is raised to the period, with a warning. */
    EXPECT_EQ(Ask(103, {0, 0, 0, 0xFA, 0, 0, 0, 0x7D, 0}),
              (Bytes{8, kStatusConfigurationChanged, 0, 0, 0, 0xFA, 0, 0, 0, 0xFA, 0}));
    const Bytes started = Ask(109, {1, 0});
    EXPECT_EQ(started, (Bytes{0, kStatusConfigurationChanged, 1, 0}));
    EXPECT_TRUE(device_.Bursting());

    host_.RunFor(7s);
    auto frames = BurstFrames();
    ASSERT_GE(frames.size(), 3u);
    for (std::size_t i = 0; i < frames.size(); i++) {
        EXPECT_EQ(frames[i].frame.command, 33);
        EXPECT_EQ(frames[i].frame.data,
                  (Bytes{0, kStatusConfigurationChanged, 0, 32, 0x41, 0x48, 0, 0, 245, 39, 0x40, 0xC0, 0, 0}));
        if (i > 0) {
            EXPECT_GE(frames[i].start - frames[i - 1].start, 2s);
        }
    }
    const Bytes configuration = Payload(AskInPause(105, {}));
    ASSERT_EQ(configuration.size(), 29u);
    EXPECT_EQ(configuration[0], 1);
    EXPECT_EQ(Bytes(configuration.begin() + 12, configuration.begin() + 22),
              (Bytes{0, 33, 0, 0, 0xFA, 0, 0, 0, 0xFA, 0}));

    /* A revision 5 master's one-byte 108 still does, in the pause after a burst frame. */
    EXPECT_EQ(Payload(AskInPause(108, {48})), Bytes{48});
    host_.RunFor(3s);
    EXPECT_EQ(BurstFrames().back().frame.command, 48);
    EXPECT_EQ(AskInPause(108, {13})[0], kResponseInvalidSelection);
    EXPECT_EQ(AskInPause(109, {2, 0})[0], kResponseInvalidSelection) << "not on a wire";
    EXPECT_EQ(AskInPause(109, {1, 1})[0], 9) << "one burst message only";
    EXPECT_EQ(AskInPause(109, {0, 0})[0], kResponseSuccess);
    EXPECT_FALSE(device_.Bursting());
    const std::size_t sent = device_.BurstFramesSent();
    host_.RunFor(5s);
    EXPECT_EQ(device_.BurstFramesSent(), sent);
}

TEST_F(BurstCommandsTest, OlderMastersShorterBurstRequestsAndRefusals)
{
    EXPECT_EQ(Payload(Ask(107, {1, 0, 3, 2})), (Bytes{1, 0, 3, 2})) << "four slots of revision 5";
    EXPECT_EQ(Code(107, {0, 1, 2, 3, 250, 250, 250, 250, 1}), 9);
    EXPECT_EQ(Code(107, {0, 99}), kResponseInvalidSelection);
    EXPECT_EQ(Code(104, {0, 1, 64, 32, 0, 0, 0, 0}), 13) << "continuous only";
    EXPECT_EQ(Code(104, {1, 0, 64, 32, 0, 0, 0, 0}), 9);
    EXPECT_EQ(Payload(Ask(109, {1})), Bytes{1});
    EXPECT_TRUE(device_.Bursting());
    host_.RunFor(2s);
    const auto frames = BurstFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().frame.command, 1);
    EXPECT_EQ(Payload(AskInPause(108, {0, 9})), (Bytes{0, 9}));
    host_.RunFor(1s);
    const Bytes variables = Payload(BurstFrames().back().frame.data);
    /* Extended status, four slots of eight bytes, time stamp. */
    ASSERT_EQ(variables.size(), 1u + 4 * 8 + 4);
    EXPECT_EQ(variables[1], 1);
    EXPECT_EQ(variables[9], 0);
}

} // namespace
} // namespace sim
