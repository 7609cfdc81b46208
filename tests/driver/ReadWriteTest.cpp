/* How client reads and writes meet the frames on the line. */
#include "SystemFixture.h"

#include "link/HartDeviceContext.h"
#include "sim/LinkHarness.h"

namespace drivertest {
namespace {

class ReadWriteTest : public SystemFixture {
protected:
    void SetUp() override
    {
        Boot();
        port_ = OpenMainAndPort();
    }

    /* A write that is answered and whose answer nobody has read yet. */
    void AnsweredWrite(std::uint8_t command)
    {
        ASSERT_EQ(port_.Write(Request(0, command)).status, STATUS_SUCCESS);
    }

    PHARTDEVICE_CONTEXT PortRecord()
    {
        PDRIVER_CONTEXT driver = HartGetDriverContext(system_->Host().Driver());
        return HartGetDeviceContext(static_cast<WDFDEVICE>(WdfCollectionGetFirstItem(driver->Collection)));
    }

    platform::File port_;
};

TEST_F(ReadWriteTest, WaitingFrameIsReadAtOnceAndInPieces)
{
    AnsweredWrite(0);
    platform::IoResult first = port_.Read(5);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(first.data.size(), 5u);
    EXPECT_EQ(first.data[0], sim::kDelimiterAck);
    platform::IoResult rest = port_.Read(300);
    EXPECT_EQ(rest.data.size(), 14u) << "the next read continues the same frame";

    AnsweredWrite(0);
    EXPECT_EQ(port_.Read(300).data.size(), 19u);
}

TEST_F(ReadWriteTest, WaitingReadTakesWhatFitsAndTheRestIsDropped)
{
    auto shortRead = port_.ReadAsync(5);
    AnsweredWrite(0);
    EXPECT_EQ(shortRead.Wait().data.size(), 5u);
    auto next = port_.ReadAsync(300);
    system_->Host().RunFor(2s);
    EXPECT_FALSE(next.Done()) << "the rest of the frame was dropped; the read waits for the next one";
    AnsweredWrite(1);
    EXPECT_EQ(next.Wait().data.size(), 12u);
}

TEST_F(ReadWriteTest, WaitingReadsAreCompletedInTheOrderTheyCame)
{
    std::vector<platform::PendingIo> reads;
    for (int i = 0; i < 3; i++) {
        reads.push_back(port_.ReadAsync(300));
    }
    for (std::uint8_t command : {0, 1, 13}) {
        AnsweredWrite(command);
    }
    std::vector<int> commands;
    for (auto& read : reads) {
        platform::IoResult result = read.Wait();
        ASSERT_GT(result.data.size(), 2u);
        commands.push_back(result.data[2]);
        EXPECT_EQ(read.Completions(), 1u);
    }
    EXPECT_EQ(commands, (std::vector<int>{0, 1, 13}));
}

TEST_F(ReadWriteTest, WritesAreHandledOneAtATime)
{
    auto first = port_.WriteAsync(Request(0, 0));
    auto second = port_.WriteAsync(Request(0, 1));
    system_->Host().RunFor(500ms);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 1u) << "the second write waits for the first to complete";
    EXPECT_EQ(first.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(second.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 2u);
}

TEST_F(ReadWriteTest, EarlyWriteCompletionLengthensTheAnswerWait)
{
    Bytes frame = Request(0, 0, Bytes(9, 0x11));
    frame.resize(20, 0x00);
    system_->SerialPort(0).writeCompletion = sim::WriteCompletion::WhenQueued;
    port_.Write(frame);
    EXPECT_EQ(PortRecord()->HartResposeWaitBufferTime, 18) << "20 bytes reported written at once";

    system_->SerialPort(0).writeCompletion = sim::WriteCompletion::WhenSent;
    port_.Write(frame);
    EXPECT_EQ(PortRecord()->HartResposeWaitBufferTime, 0) << "reported after the bytes took 180 ms on the line";
}

TEST_F(ReadWriteTest, CancelledReadStopsReceptionUntilTheNextTransmission)
{
    auto read = port_.ReadAsync(300);
    system_->Host().RunFor(20ms);
    EXPECT_TRUE(read.Cancel());
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    system_->Host().RunFor(20ms);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 0u);
    EXPECT_EQ(system_->SerialPort(0).Settings().lastPurgeMask, 0x0Fu);

    auto answer = port_.ReadAsync(300);
    AnsweredWrite(0);
    EXPECT_EQ(answer.Wait().status, STATUS_SUCCESS) << "the transmission re-armed the serial read";
    system_->Host().RunFor(20ms);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u);
}

TEST_F(ReadWriteTest, SerialReadThatCompletesAtOnceKeepsTheReadLoopGoing)
{
    /* A serial port that already holds what the first read asks for
       completes it inside the send, as a terminal with buffered input does. */
    port_.Close();
    system_->SerialPort(0).InjectReadStatus(STATUS_SUCCESS, false);
    auto reopened = system_->OpenPort("1");
    ASSERT_TRUE(NT_SUCCESS(reopened.status));
    port_ = std::move(reopened.file);
    system_->Host().RunFor(20ms);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u);

    auto answer = port_.ReadAsync(300);
    AnsweredWrite(1);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 1u) << "answered at the first attempt";
    platform::IoResult read = answer.Wait();
    ASSERT_GT(read.data.size(), 2u);
    EXPECT_EQ(read.data[2], 1) << "the answer read is the one to this request";
}

TEST_F(ReadWriteTest, EachStoredFrameKeepsItsOwnCheckByteVerdict)
{
    auto setMask = [this](std::uint8_t mask) {
        ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_READ_MASK, Bytes{mask}, 0).status, STATUS_SUCCESS);
    };
    /* A bad answer is stored; a good frame heard later is not delivered. */
    system_->Device(0).Config().corruptCheckByte = true;
    AnsweredWrite(0);
    system_->Device(0).Config().corruptCheckByte = false;
    setMask(0x00);
    AnsweredWrite(1);
    EXPECT_EQ(port_.Read(300).status, STATUS_CRC_ERROR);

    /* A good answer is stored; a bad frame heard later is not delivered. */
    setMask(0x02);
    AnsweredWrite(2);
    setMask(0x00);
    system_->Device(0).Config().corruptCheckByte = true;
    port_.Write(Request(0, 3));
    platform::IoResult good = port_.Read(300);
    EXPECT_EQ(good.status, STATUS_SUCCESS);
    ASSERT_GT(good.data.size(), 2u);
    EXPECT_EQ(good.data[2], 2);
}

TEST_F(ReadWriteTest, WriteLongerThanAnyFrameIsRefusedAndSendsNothing)
{
    constexpr std::size_t kLongestWrite = 250 + 267; /* most preambles, longest frame */
    for (std::size_t length : {kLongestWrite + 1, std::size_t{72780}}) {
        platform::IoStatus refused = port_.Write(Bytes(length, 0xFF));
        EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(refused.information, 0u);
    }
    EXPECT_EQ(system_->SerialPort(0).WritesSeen(), 0u);
    Bytes address = system_->Device(0).LongAddress();
    address.insert(address.end(), {0, 0, 0}); /* three expansion bytes */
    Bytes longest = sim::Frame(250, sim::FrameBody(0xE2, address, 0, Bytes(255, 0x00)));
    ASSERT_EQ(longest.size(), kLongestWrite);
    EXPECT_NE(port_.Write(longest).status, STATUS_INVALID_PARAMETER);
    AnsweredWrite(0);
}

} // namespace
} // namespace drivertest
