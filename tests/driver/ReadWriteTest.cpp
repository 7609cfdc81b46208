/* How client reads and writes meet the frames on the line. */
#include "SystemFixture.h"

#include "link/HartDeviceContext.h"

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

} // namespace
} // namespace drivertest
