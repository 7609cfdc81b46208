/* The simulated field device as a master meets it on the line. */
#include <gtest/gtest.h>

#include <memory>

#include "HeardFrames.h"
#include "sim/FieldDevice.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

class FieldDeviceTest : public ::testing::Test {
protected:
    HartFrame Request(Bytes address, std::uint8_t command, Bytes data = {})
    {
        HartFrame frame;
        frame.delimiter = static_cast<std::uint8_t>(address.size() == 5 ? 0x82 : 0x02);
        frame.address = std::move(address);
        frame.command = command;
        frame.data = std::move(data);
        return frame;
    }

    /* Sends the request and parses what comes back within a second. */
    std::optional<HartFrame> Transact(const HartFrame& request)
    {
        master_.ClearHeard();
        master_.Send(OnLine(request, 5));
        host_.RunFor(1s);
        const auto frames = FramesHeard(master_);
        return frames.empty() ? std::nullopt : std::optional(frames.back().frame);
    }
    /* The answer's data; an answer missing fails the test, and .at() on the empty data stops it. */
    Bytes Data(const HartFrame& request)
    {
        auto answer = Transact(request);
        if (!answer) {
            ADD_FAILURE() << "no answer to command " << int(request.command);
            return {};
        }
        return answer->data;
    }

    static Bytes PackedTag(const std::string& text, std::size_t bytes)
    {
        /* Six bits per character, upper-case ASCII as it is. */
        Bytes packed(bytes, 0);
        for (std::size_t i = 0; i < bytes / 3 * 4; i++) {
            std::uint32_t code = static_cast<std::uint32_t>(i < text.size() ? text[i] : ' ') & 0x3F;
            for (int b = 5; b >= 0; b--) {
                std::size_t bit = i * 6 + static_cast<std::size_t>(5 - b);
                if ((code >> b) & 1) {
                    packed[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
                }
            }
        }
        return packed;
    }

    platform::Host host_;
    HartLine line_{host_};
    ScriptedStation master_{line_, "master"};
    FieldDevice device_{line_, FieldDeviceConfig{.pollingAddress = 3, .universalRevision = 5}};
};

TEST_F(FieldDeviceTest, AnswersCommandZeroAtItsPollingAddressForEitherMaster)
{
    for (std::uint8_t masterBit : {0x80, 0x00}) {
        auto answer = Transact(Request({static_cast<std::uint8_t>(masterBit | 3)}, 0));
        ASSERT_TRUE(answer) << int(masterBit);
        EXPECT_EQ(answer->delimiter, kDelimiterAck);
        EXPECT_EQ(answer->address, Bytes{static_cast<std::uint8_t>(masterBit | 3)});
        EXPECT_TRUE(answer->checkByteOk);
        ASSERT_EQ(answer->data.size(), 14u);
        EXPECT_EQ(answer->data[0], kResponseSuccess);
        EXPECT_EQ(answer->data[2], 254);
        EXPECT_EQ(Bytes(answer->data.begin() + 11, answer->data.end()), (Bytes{0x12, 0x34, 0x56}));
    }
    EXPECT_EQ(device_.AnswersSent(), 2u);
}

TEST_F(FieldDeviceTest, AnswersAtItsLongAddressAfterItsTurnaround)
{
    Bytes address = device_.LongAddress();
    address[0] |= kMasterBit;
    auto answer = Transact(Request(address, 1));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->delimiter, 0x86);
    EXPECT_EQ(answer->address, address);
    EXPECT_EQ(answer->data.size(), 7u);

    const auto& sent = master_.SentSequences().back();
    const auto& heard = master_.Heard();
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front().start - sent.end, 2 * kHartCharacterTime);
}

TEST_F(FieldDeviceTest, IgnoresOtherAddressesAndReportsUnknownCommands)
{
    EXPECT_FALSE(Transact(Request({0x80 | 4}, 0)));
    Bytes wrongLong = device_.LongAddress();
    wrongLong[4] ^= 1;
    EXPECT_FALSE(Transact(Request(wrongLong, 0)));
    EXPECT_EQ(Data(Request({0x80 | 3}, 200)), (Bytes{kResponseCommandNotImplemented, 0}));
}

TEST_F(FieldDeviceTest, SilenceAndCorruptCheckBytesAreInjectable)
{
    device_.Config().silent = true;
    EXPECT_FALSE(Transact(Request({0x80 | 3}, 0)));
    EXPECT_EQ(device_.RequestsHeard(), 1u);
    device_.Config().silent = false;
    device_.Config().corruptCheckByte = true;
    auto answer = Transact(Request({0x80 | 3}, 0));
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->checkByteOk);
}

TEST_F(FieldDeviceTest, ConfigurationChangedIsAcknowledgedByEachMasterItself)
{
    /* Write tag, descriptor, date, then read it back. */
    Bytes written = PackedTag("PT-7", 6);
    Bytes descriptor = PackedTag("LOOP 2", 12);
    written.insert(written.end(), descriptor.begin(), descriptor.end());
    written.insert(written.end(), {3, 4, 125});
    EXPECT_EQ(Data(Request({0x80 | 3}, 18, written)).at(0), kResponseSuccess);
    EXPECT_EQ(device_.Config().tag, "PT-7");
    EXPECT_EQ(device_.Config().descriptor, "LOOP 2");
    const Bytes read = Data(Request({0x80 | 3}, 13));
    ASSERT_GE(read.size(), 2u);
    EXPECT_EQ(Bytes(read.begin() + 2, read.end()), written);

    EXPECT_EQ(read[1] & kStatusConfigurationChanged, kStatusConfigurationChanged);
    EXPECT_EQ(Data(Request({0x80 | 3}, 38)).at(1) & kStatusConfigurationChanged, 0) << "cleared for the primary";
    EXPECT_EQ(device_.DeviceStatusFor(false) & kStatusConfigurationChanged, kStatusConfigurationChanged)
        << "still set for the secondary";
}

TEST_F(FieldDeviceTest, MoreStatusAvailableUntilCommand48IsRead)
{
    device_.SetAdditionalStatus({0x01, 0, 0, 0, 0, 0x20});
    EXPECT_EQ(Data(Request({0x00 | 3}, 1)).at(1), kStatusMoreStatusAvailable);
    const Bytes more = Data(Request({0x00 | 3}, 48));
    ASSERT_GE(more.size(), 8u);
    EXPECT_EQ(Bytes(more.begin() + 2, more.begin() + 8), (Bytes{0x01, 0, 0, 0, 0, 0x20}));
    EXPECT_EQ(more[1], 0);
    EXPECT_EQ(device_.DeviceStatusFor(true), kStatusMoreStatusAvailable);
}

TEST_F(FieldDeviceTest, RejectsBadRequestsWithTheirResponseCodes)
{
    EXPECT_EQ(Data(Request({0x80 | 3}, 6)), (Bytes{kResponseTooFewDataBytes, 0}));
    EXPECT_EQ(Data(Request({0x80 | 3}, 6, {16})).at(0), kResponseInvalidSelection) << "revision 5 polls 0 to 15";
    EXPECT_EQ(Data(Request({0x80 | 3}, 105)).at(0), kResponseCommandNotImplemented)
        << "burst configuration came with revision 7";
}

TEST_F(FieldDeviceTest, MovesToANewPollingAddressAndIsFoundByTag)
{
    EXPECT_EQ(Data(Request({0x80 | 3}, 6, {5})).at(0), kResponseSuccess);
    EXPECT_FALSE(Transact(Request({0x80 | 3}, 0)));
    EXPECT_TRUE(Transact(Request({0x80 | 5}, 0)));

    const Bytes broadcast{0x80, 0, 0, 0, 0};
    EXPECT_FALSE(Transact(Request(broadcast, 11, PackedTag("OTHER", 6)))) << "another tag: silence";
    EXPECT_FALSE(Transact(Request(broadcast, 0))) << "only identify-by-tag goes to everybody";
    auto found = Transact(Request(broadcast, 11, PackedTag("TT-101", 6)));
    ASSERT_TRUE(found);
    Bytes answeredBy = device_.LongAddress();
    answeredBy[0] |= kMasterBit;
    EXPECT_EQ(found->address, answeredBy);
    EXPECT_EQ(found->data[2], 254);
}

TEST_F(FieldDeviceTest, RevisionSevenTakesShortFramesForCommandZeroOnlyAndExpandsThroughCommand31)
{
    device_.Config().universalRevision = 7;
    device_.Config().expandedCommands[700] = {0x11};
    const Bytes longAddress{0x26 | 0x80, 0x06, 0x12, 0x34, 0x56};
    /* Command 0 tells revision 7's whole identity. */
    const Bytes identity = Data(Request({0x83}, 0));
    EXPECT_EQ(identity.size(), 2u + 22u);
    EXPECT_EQ(identity.at(6), 7);
    EXPECT_FALSE(Transact(Request({0x83}, 1)));
    EXPECT_EQ(device_.RequestsHeard(), 2u) << "heard, and left unanswered";
    EXPECT_EQ(Data(Request(longAddress, 1)).at(0), kResponseSuccess);

    auto expanded = Transact(Request(longAddress, 31, {0x02, 0xBC}));
    ASSERT_TRUE(expanded);
    EXPECT_EQ(expanded->command, 31);
    EXPECT_EQ(expanded->data, (Bytes{kResponseSuccess, 0, 0x02, 0xBC, 0x11}));
    EXPECT_EQ(Data(Request(longAddress, 31, {0x02, 0xBD})), (Bytes{kResponseCommandNotImplemented, 0, 0x02, 0xBD}));
    EXPECT_EQ(Data(Request(longAddress, 31, {0x02})), (Bytes{kResponseTooFewDataBytes, 0}));

    device_.Config().universalRevision = 5;
    EXPECT_EQ(Data(Request(longAddress, 31, {0x02, 0xBC})), (Bytes{kResponseCommandNotImplemented, 0}));
}

/* Burst mode as both masters see it on the line. */
class BurstDeviceTest : public ::testing::Test {
protected:
    BurstDeviceTest()
    {
        FieldDeviceConfig config;
        config.universalRevision = 5;
        config.burstMode = true;
        device_ = std::make_unique<FieldDevice>(line_, config);
    }

    std::vector<HeardFrame> Frames() const { return FramesHeard(listener_); }

    /* Sends the request as soon as the next burst frame has ended. */
    void SendInPause(const HartFrame& request)
    {
        const std::size_t before = Frames().size();
        ASSERT_TRUE(host_.GetDispatcher().RunUntil(
            [&] {
                auto frames = Frames();
                return frames.size() > before && frames.back().frame.FrameType() == kDelimiterBack;
            },
            std::chrono::seconds(1)));
        master_.Send(OnLine(request, 5));
    }

    platform::Host host_;
    HartLine line_{host_};
    ScriptedStation master_{line_, "master"};
    ScriptedStation listener_{line_, "listener"};
    std::unique_ptr<FieldDevice> device_;
};

TEST_F(BurstDeviceTest, BurstFramesAlternateTheMasterBitWithAPauseBetween)
{
    host_.RunFor(std::chrono::seconds(2));
    auto frames = Frames();
    ASSERT_GE(frames.size(), 5u);
    for (std::size_t i = 0; i < frames.size(); i++) {
        const HartFrame& frame = frames[i].frame;
        EXPECT_EQ(frame.delimiter, 0x81);
        EXPECT_TRUE(frame.BurstBit());
        EXPECT_EQ(frame.command, 1);
        EXPECT_EQ(frame.FromPrimaryMaster(), i % 2 == 0) << i;
        if (i > 0) {
            const Ticks quiet = frames[i].start - frames[i - 1].end;
            EXPECT_GE(quiet, device_->Config().burstPause) << i;
        }
    }
}

TEST_F(BurstDeviceTest, RequestInThePauseIsAnsweredAndTheOtherMasterGetsTheNextTurn)
{
    /* Right after a burst frame, the secondary master asks. */
    HartFrame request;
    request.delimiter = kDelimiterStx;
    request.address = {0x00};
    request.command = 2;
    SendInPause(request);
    host_.RunFor(std::chrono::seconds(1));
    auto frames = Frames();
    ASSERT_GE(frames.size(), 5u);
    EXPECT_EQ(frames[1].frame.FrameType(), kDelimiterStx);
    EXPECT_EQ(frames[2].frame.FrameType(), kDelimiterAck) << "the request came first";
    EXPECT_TRUE(frames[2].frame.BurstBit());
    EXPECT_EQ(frames[3].frame.FrameType(), kDelimiterBack);
    EXPECT_FALSE(frames[3].frame.FromPrimaryMaster()) << "names the master just served";
    EXPECT_TRUE(frames[4].frame.FromPrimaryMaster());

    /* Burst mode off by command 109: the answer no longer carries the burst bit, and nothing follows. */
    request.command = 109;
    request.data = {0};
    SendInPause(request);
    host_.RunFor(std::chrono::seconds(1));
    const std::size_t sent = device_->BurstFramesSent();
    host_.RunFor(std::chrono::seconds(2));
    EXPECT_FALSE(device_->Bursting());
    EXPECT_EQ(device_->BurstFramesSent(), sent);
}

TEST(FrameParserTest, APauseInsideAFrameStartsOver)
{
    HartFrame frame;
    frame.delimiter = kDelimiterStx;
    frame.address = {0x80};
    Bytes bytes = OnLine(frame, 3);
    FrameParser parser(3 * kHartCharacterTime);
    Ticks at{};
    for (size_t i = 0; i < bytes.size(); i++) {
        at += (i == 5) ? 10 * kHartCharacterTime : kHartCharacterTime;
        EXPECT_FALSE(parser.Take(bytes[i], at)) << i;
    }
    at += kHartCharacterTime;
    for (size_t i = 0; i < bytes.size(); i++, at += kHartCharacterTime) {
        auto parsed = parser.Take(bytes[i], at);
        EXPECT_EQ(parsed.has_value(), i + 1 == bytes.size());
    }
}

} // namespace
} // namespace sim
