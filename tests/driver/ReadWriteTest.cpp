/* How client reads and writes meet the frames on the line. */
#include <algorithm>

#include "SystemFixture.h"

#include "link/HartDeviceContext.h"
#include "sim/LinkHarness.h"

namespace drivertest {
namespace {

class ReadWriteTest : public OpenPortFixture {
protected:
    /* A write that is answered and whose answer nobody has read yet. */
    void AnsweredWrite(std::uint8_t command)
    {
        ASSERT_EQ(port_.Write(Request(0, command)).status, STATUS_SUCCESS);
    }

    /* What a read that waits while command's write is answered gets. */
    platform::IoResult AnswerTo(std::uint8_t command, std::size_t length = 300)
    {
        auto read = port_.ReadAsync(length);
        AnsweredWrite(command);
        return read.Wait();
    }

    /* An answer to command 2 that this master never asked for, left in the serial port unread. */
    void KeepAnAnswerInTheSerialPort()
    {
        sim::HartFrame stale;
        stale.delimiter = 0x06;
        stale.address = {0x80};
        stale.command = 2;
        stale.data = {0x00, 0x00, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        system_->Line().Transmit(system_->Device(0).Id(), sim::OnLine(stale, 5));
        system_->Host().RunFor(1s);
    }

    PHARTDEVICE_CONTEXT PortRecord()
    {
        PDRIVER_CONTEXT driver = HartGetDriverContext(system_->Host().Driver());
        return HartGetDeviceContext(static_cast<WDFDEVICE>(WdfCollectionGetFirstItem(driver->Collection)));
    }
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
    EXPECT_EQ(port_.Read(1).data, Bytes{sim::kDelimiterAck}) << "the smallest read takes the delimiter";
    EXPECT_EQ(port_.Read(300).data.size(), 18u);
    EXPECT_EQ(AnswerTo(0, 1).data, Bytes{sim::kDelimiterAck});
}

TEST_F(ReadWriteTest, WaitingReadTakesWhatFitsAndTheRestIsDropped)
{
    EXPECT_EQ(AnswerTo(0, 5).data.size(), 5u);
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

/*
 * A serial driver that reports a write within 30 ms still has its bytes on
 * the line: the master then adds 0.9 tick a byte to its answer wait. A slow
 * device whose answer starts after the plain wait is only heard with it.
 */
TEST_F(ReadWriteTest, EarlyWriteReportLengthensTheAnswerWaitBelowThirtyMilliseconds)
{
    sim::SimulatedSerialPort& serial = system_->SerialPort(0);
    sim::FieldDevice& device = system_->Device(0);
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{0, 0, 0x80, 0}, 0).status, STATUS_SUCCESS);
    device.Config().turnaround = std::chrono::duration_cast<platform::Ticks>(250ms);
    const Bytes frame = Request(0, 0, Bytes(10, 0x11));
    ASSERT_EQ(frame.size(), 20u);
    serial.writeCompletion = sim::WriteCompletion::WhenQueued;
    struct Case {
        platform::Ticks reportedAfter;
        USHORT allowance;
        NTSTATUS outcome;
    };
    for (const Case& c : {Case{platform::Ticks{0}, 18, STATUS_SUCCESS}, Case{platform::Ticks{299'999}, 18, STATUS_SUCCESS},
                          Case{platform::Ticks{300'000}, 0, STATUS_TRANSACTION_TIMED_OUT},
                          Case{platform::Ticks{310'000}, 0, STATUS_TRANSACTION_TIMED_OUT}}) {
        serial.queuedWriteReportDelay = c.reportedAfter;
        platform::IoStatus written = port_.Write(frame);
        EXPECT_EQ(PortRecord()->HartResposeWaitBufferTime, c.allowance) << c.reportedAfter.count();
        EXPECT_EQ(written.status, c.outcome) << c.reportedAfter.count();
        EXPECT_EQ(written.information, c.outcome == STATUS_SUCCESS ? 20u : 0u);
        system_->Host().RunFor(1s);
    }
    serial.writeCompletion = sim::WriteCompletion::WhenSent;
    port_.Write(frame);
    EXPECT_EQ(PortRecord()->HartResposeWaitBufferTime, 0) << "reported after the bytes took 180 ms on the line";
}

TEST_F(ReadWriteTest, FailedSerialWritesEndTheClientWriteAsTimedOut)
{
    sim::SimulatedSerialPort& serial = system_->SerialPort(0);
    const Bytes frame = Request(0, 0);
    serial.RejectWrites(STATUS_UNSUCCESSFUL);
    platform::IoStatus failed = port_.Write(frame);
    EXPECT_EQ(failed.status, STATUS_TRANSACTION_TIMED_OUT) << "never reported as written";
    EXPECT_EQ(failed.information, 0u);
    EXPECT_EQ(serial.WritesSeen(), 3u) << "each of the three attempts was tried";
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 0u);

    /* Only the first attempt fails: the write's outcome is that of the one that went out. */
    auto write = port_.WriteAsync(frame);
    ASSERT_TRUE(RunUntil([&] { return serial.WritesSeen() == 4; }));
    serial.RejectWrites(std::nullopt);
    platform::IoResult recovered = write.Wait();
    EXPECT_EQ(recovered.status, STATUS_SUCCESS);
    EXPECT_EQ(recovered.information, frame.size());
    EXPECT_EQ(serial.WritesSeen(), 5u);
    EXPECT_EQ(port_.Read(300).data.size(), 19u) << "its answer is read";
}

TEST_F(ReadWriteTest, RetryCountSetByTheClientDecidesTheAttempts)
{
    system_->Device(0).Config().silent = true;
    for (std::uint8_t retries : {0, 4, 2}) {
        ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{0, 0, 0x80, retries}, 0).status, STATUS_SUCCESS);
        const std::size_t heard = system_->Device(0).RequestsHeard();
        EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
        EXPECT_EQ(system_->Device(0).RequestsHeard() - heard, retries + 1u) << int(retries);
    }
}

TEST_F(ReadWriteTest, WaitingBadFrameIsReadAtOnceWithItsCheckByteError)
{
    system_->Device(0).Config().corruptCheckByte = true;
    AnsweredWrite(0);
    platform::IoResult first = port_.Read(5);
    EXPECT_EQ(first.status, STATUS_CRC_ERROR);
    EXPECT_EQ(first.data.size(), 5u);
    platform::IoResult rest = port_.Read(300);
    EXPECT_EQ(rest.status, STATUS_CRC_ERROR) << "the rest of the same frame";
    EXPECT_EQ(rest.data.size(), 14u);

    system_->Device(0).Config().corruptCheckByte = false;
    AnsweredWrite(0);
    platform::IoResult good = port_.Read(300);
    EXPECT_EQ(good.status, STATUS_SUCCESS) << "the next frame's own verdict";
    EXPECT_EQ(good.data.size(), 19u);
}

TEST_F(ReadWriteTest, ReadCancelledDuringATransactionLeavesReceptionWorking)
{
    sim::FieldDevice& device = system_->Device(0);
    device.Config().silent = true;
    auto cancelled = port_.ReadAsync(300);
    auto write = port_.WriteAsync(Request(0, 1));
    ASSERT_TRUE(RunUntil([&] { return device.RequestsHeard() == 1; }));
    system_->Host().RunFor(100ms);
    EXPECT_TRUE(cancelled.Cancel()) << "cancelled while the master waits for the answer";
    EXPECT_EQ(cancelled.Wait().status, STATUS_CANCELLED);
    device.Config().silent = false;
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS) << "the retry is answered";
    EXPECT_EQ(write.Completions(), 1u);
    EXPECT_EQ(device.RequestsHeard(), 2u);
    platform::IoResult waiting = port_.Read(300);
    ASSERT_EQ(waiting.data.size(), 12u) << "the answer was received though no read waited for it";
    EXPECT_EQ(waiting.data[2], 1);

    auto next = port_.ReadAsync(300);
    AnsweredWrite(13);
    platform::IoResult answer = next.Wait();
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    ASSERT_GT(answer.data.size(), 3u);
    EXPECT_EQ(answer.data[2], 13);
    EXPECT_EQ(next.Completions(), 1u);
}

TEST_F(ReadWriteTest, CancelledReadStopsReceptionUntilTheNextTransmission)
{
    auto read = port_.ReadAsync(300);
    system_->Host().RunFor(20ms);
    system_->SerialPort(0).DelayControls(std::chrono::duration_cast<platform::Ticks>(50ms));
    EXPECT_TRUE(read.Cancel());
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 0u) << "the serial read goes with it, not with the late purge";
    system_->Host().RunFor(60ms);
    system_->SerialPort(0).DelayControls(platform::Ticks{0});
    EXPECT_EQ(system_->SerialPort(0).Settings().lastPurgeMask, 0x0Fu);

    EXPECT_EQ(AnswerTo(0).status, STATUS_SUCCESS) << "the transmission re-armed the serial read";
    system_->Host().RunFor(20ms);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u);

    /* A read cancelled in the last answer wait: the give-up that follows is no transmission. */
    sim::FieldDevice& device = system_->Device(0);
    device.Config().silent = true;
    auto unanswered = port_.WriteAsync(Request(0, 0));
    auto cancelled = port_.ReadAsync(300);
    const std::size_t heard = device.RequestsHeard();
    ASSERT_TRUE(RunUntil([&] { return device.RequestsHeard() == heard + 3; }));
    system_->Host().RunFor(20ms);
    ASSERT_EQ(system_->SerialPort(0).PendingReads(), 1u);
    EXPECT_TRUE(cancelled.Cancel());
    EXPECT_EQ(unanswered.Wait().status, STATUS_TRANSACTION_TIMED_OUT);
    system_->Host().RunFor(1s);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 0u) << "the cancelled read still holds the read loop";
}

TEST_F(ReadWriteTest, WhatTheSerialPortKeptWhileTheReadLoopRestedIsNoAnswer)
{
    /* The open's read fails inside its send, so the read loop rests. */
    port_.Close();
    system_->SerialPort(0).InjectReadStatus(STATUS_UNSUCCESSFUL, false);
    port_ = OpenPort();
    system_->Host().RunFor(20ms);
    ASSERT_EQ(system_->SerialPort(0).PendingReads(), 0u);
    KeepAnAnswerInTheSerialPort();

    platform::IoResult read = AnswerTo(2);
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    ASSERT_GT(read.data.size(), 3u);
    EXPECT_EQ(read.data[2], 2);
    EXPECT_EQ(std::count(read.data.begin(), read.data.end(), 0xEE), 0) << "the device's answer, not the kept one";
}

/* A read loop that rests and then cannot start its read (the target stopped) still rests. */
TEST_F(ReadWriteTest, WhatTheSerialPortKeptWhileItsTargetWasStoppedIsNoAnswer)
{
    HARTDEVICE_CONTEXT& record = Record();
    /* With a client's read cancelled first (the loop held), and with the loop running when the stop came. */
    for (bool cancelFirst : {true, false}) {
        SCOPED_TRACE(cancelFirst ? "read cancelled first" : "loop running");
        if (cancelFirst) {
            auto cancelled = port_.ReadAsync(300);
            system_->Host().RunFor(20ms);
            ASSERT_TRUE(cancelled.Cancel());
        }
        WdfIoTargetStop(record.IoTarget, WdfIoTargetCancelSentIo);
        EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
        KeepAnAnswerInTheSerialPort();
        ASSERT_TRUE(NT_SUCCESS(WdfIoTargetStart(record.IoTarget)));

        platform::IoResult read = AnswerTo(2);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        ASSERT_GT(read.data.size(), 3u);
        EXPECT_EQ(std::count(read.data.begin(), read.data.end(), 0xEE), 0) << "the device's answer, not the kept one";
    }
}

TEST_F(ReadWriteTest, ReadStatusDecidesWhetherACharacterBreaksTheAnswerOrIsDropped)
{
    /* STATUS_TIMEOUT is a success code, so the character reaches the receiver, with its status. */
    sim::SimulatedSerialPort& serial = system_->SerialPort(0);
    int sinceDelimiter = -1;
    serial.Tap([&](const sim::LineCharacter& character) {
        if (sinceDelimiter >= 0 && ++sinceDelimiter == 1) {
            serial.InjectReadStatus(STATUS_TIMEOUT, true);
        }
        sinceDelimiter = (sinceDelimiter < 0 && character.byte == 0x06) ? 0 : sinceDelimiter;
    });
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 2u) << "the first answer was broken, the retry's was not";

    /* A failed read's character is none at all: the last preamble lost that way leaves the answer whole. */
    int heard = 0;
    serial.Tap([&](const sim::LineCharacter&) {
        if (++heard == system_->Device(0).Config().preambles) {
            serial.InjectReadStatus(STATUS_CRC_ERROR, true);
        }
    });
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 3u) << "answered at the first attempt";

    /* The same failure inside the read's own send: the loop reads on, as after a read that failed later. */
    serial.Tap([&, count = 0](const sim::LineCharacter&) mutable {
        if (++count == 2) {
            serial.InjectReadStatus(STATUS_SUCCESS, false);
            serial.InjectReadStatus(STATUS_CRC_ERROR, true);
        }
    });
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 4u) << "answered at the first attempt";
}

TEST_F(ReadWriteTest, SerialReadThatCompletesAtOnceKeepsTheReadLoopGoing)
{
    /* A serial port that already holds what the first read asks for
       completes it inside the send, as a terminal with buffered input does. */
    port_.Close();
    system_->SerialPort(0).InjectReadStatus(STATUS_SUCCESS, false);
    port_ = OpenPort();
    system_->Host().RunFor(20ms);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u);

    platform::IoResult read = AnswerTo(1);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 1u) << "answered at the first attempt";
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
