/* The simulated field device as a master meets it on the line. */
#include <gtest/gtest.h>

#include "sim/FieldDevice.h"
#include "sim/ScriptedStation.h"

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
        Bytes bytes = OnLine(request, 5);
        master_.Send(bytes);
        host_.RunFor(1s);
        FrameParser parser(3 * kHartCharacterTime);
        std::optional<HartFrame> answer;
        for (const LineCharacter& c : master_.Heard()) {
            if (auto frame = parser.Take(c.byte, c.end, c.status == CharacterStatus::Garbled)) {
                answer = frame;
            }
        }
        return answer;
    }

    platform::Host host_;
    HartLine line_{host_};
    ScriptedStation master_{line_, "master"};
    FieldDevice device_{line_, FieldDeviceConfig{.pollingAddress = 3}};
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
    auto answer = Transact(Request({0x80 | 3}, 200));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->data, (Bytes{kResponseCommandNotImplemented, 0}));
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
