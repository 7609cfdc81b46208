/* Framing, classification and delivery of received frames. */
#include "LinkFixture.h"

namespace linktest {
namespace {

using ReceiverTest = LinkFixture;

const Bytes kAddress{0x82, 0x12, 0x34, 0x56, 0x78};

TEST_F(ReceiverTest, LongAckToThisMasterIsFramedAndDelivered)
{
    HartSetDebugLevel(0x20);
    Bytes line{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x82, 0x12, 0x34, 0x56, 0x78, 0x00, 0x03, 0x00, 0x00, 0x00, 0x0F};
    EXPECT_EQ(Receive(Bytes(line.begin(), line.end() - 1)), 0);
    EXPECT_EQ(State(), "STATE_RCV_MSG_RESTART") << "the first preamble posts EVT_VAL_PRE";
    EXPECT_EQ(Receive({line.back()}), 1);
    EXPECT_EQ(ReadableFrame(), Bytes(line.begin() + 5, line.end()));
    EXPECT_EQ(context_->HartProtocolInfo.Delim, 0x0F);
    EXPECT_EQ(context_->HartProtocolInfo.RcvFrameType, 0x06);
    EXPECT_EQ(Bytes(context_->HartProtocolInfo.RcvAddress, context_->HartProtocolInfo.RcvAddress + 5),
              (Bytes{0x02, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 298) << "the ACK restarted the link";
    EXPECT_EQ(CountTrace(">>> EVT_VAL_PRE >>>"), 1);
    EXPECT_EQ(CountTrace("Completing Read... >>>"), 1);
}

TEST_F(ReceiverTest, ReceiveMaskSelectsFrameClasses)
{
    Bytes stx = Frame(5, ShortStx(0x80, 0x00));
    ASSERT_EQ(stx, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82}));
    EXPECT_EQ(Receive(stx), 0);
    EXPECT_EQ(context_->HartProtocolInfo.RcvFrameType, 0x02);
    EXPECT_EQ(context_->CommData.ReadLength, 0u);

    context_->HartProtocolInfo.Rcv_Mask = 0x04;
    EXPECT_EQ(Receive(stx), 1);
    EXPECT_EQ(ReadableFrame(), Bytes(stx.begin() + 5, stx.end()));

    /* The other master's frames: classes 0x81, 0x82, 0x86 and their mask bits. */
    struct Case {
        Bytes body;
        UCHAR frameType;
        UCHAR maskBit;
    } cases[] = {
        {LongBack({0x00, 1, 2, 3, 4}, 3), 0x81, 0x10},
        {ShortStx(0x00, 0), 0x82, 0x40},
        {ShortAck(0x00, 0), 0x86, 0x20},
        {LongBack({0x80, 1, 2, 3, 4}, 3), 0x01, 0x01},
    };
    for (const Case& c : cases) {
        context_->HartProtocolInfo.Rcv_Mask = static_cast<UCHAR>(~c.maskBit);
        EXPECT_EQ(Receive(Frame(3, c.body)), 0) << int(c.frameType);
        EXPECT_EQ(context_->HartProtocolInfo.RcvFrameType, c.frameType);
        context_->HartProtocolInfo.Rcv_Mask = c.maskBit;
        EXPECT_EQ(Receive(Frame(3, c.body)), 1) << int(c.frameType);
    }
}

TEST_F(ReceiverTest, PreambleCountBoundsAreTwoAndTwoHundredFifty)
{
    HartSetDebugLevel(0x01);
    Receive({0xFF, 0x82});
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE) << "one preamble is too few";
    EXPECT_EQ(CountTrace(">>> EVT_INV_SOM >>>"), 1);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");

    context_->HartProtocolInfo.Rcv_Mask = 0x04;
    EXPECT_EQ(Receive(Frame(2, ShortStx(0x80, 0))), 1);
    EXPECT_EQ(Receive(Frame(250, ShortStx(0x80, 0))), 1);

    ReachBusFree();
    Receive(Bytes(251, 0xFF));
    EXPECT_EQ(CountTrace("Preamble count (251) is above Maximum limit (250)!"), 1);
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE);
    /* EVT_TOO_MANY_PRE, then EVT_INV_SOM out of STATE_TOO_MANY_PRE. */
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    Receive({0xFF});
    EXPECT_EQ(context_->ReceiverState, STATE_VALIDATING_PREAMBLE) << "the next 0xFF starts a new preamble";
}

TEST_F(ReceiverTest, DelimiterDecidesHeaderLengthOrRejectsTheFrame)
{
    for (UCHAR delimiter : {0x01, 0x85, 0x8A, 0x07}) {
        Receive({0xFF, 0xFF, delimiter});
        EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE) << int(delimiter);
    }
    Receive({0xFF, 0xFF, 0x22});
    EXPECT_EQ(context_->RcvByteCount, 4);
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 1000);
    ResetPortDataReceiverFsm(device_);
    Receive({0xFF, 0xFF, 0xFF, 0xE2});
    EXPECT_EQ(context_->RcvByteCount, 10);
    EXPECT_EQ(context_->ReceiverState, STATE_RECEIVING_UNTIL_BYTECOUNT);
}

TEST_F(ReceiverTest, ByteCountsZeroAndTwoHundredFiftyFive)
{
    context_->HartProtocolInfo.Rcv_Mask = 0x44;
    Bytes longStx{0x82, 0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x00};
    EXPECT_EQ(Receive(Frame(2, longStx)), 1);
    EXPECT_EQ(context_->CommData.ReadLength, 9u);
    EXPECT_EQ(context_->HartProtocolInfo.Delim, 0x0F);

    context_->HartProtocolInfo.Rcv_Mask = 0x02;
    Bytes data(255);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<UCHAR>(i * 7);
    }
    Bytes frame = Frame(5, ShortAck(0x80, 9, data));
    EXPECT_EQ(Receive(Bytes(frame.begin(), frame.end() - 1)), 0);
    EXPECT_EQ(context_->ReceiverState, STATE_VALIDATING_MESSAGE);
    EXPECT_EQ(Receive({frame.back()}), 1);
    EXPECT_EQ(ReadableFrame(), Bytes(frame.begin() + 5, frame.end()));
    EXPECT_EQ(context_->HartProtocolInfo.Delim, 0x0F);
}

TEST_F(ReceiverTest, WrongCheckByteIsDeliveredAndMarked)
{
    EXPECT_EQ(Receive(FrameWithBadCheckByte(3, ShortAck(0x80, 1, {7}))), 1);
    EXPECT_EQ(context_->HartProtocolInfo.Delim, EVT_GOT_ERR);
    EXPECT_EQ(State(), "STATE_BUS_RESTART") << "the class event is posted all the same";
    Receive({0xFF});
    EXPECT_EQ(context_->HartProtocolInfo.Delim, 0x0F);
}

TEST_F(ReceiverTest, FailedReadStatusDuringHeaderBreaksTheFrame)
{
    ReachBusFree();
    Receive({0xFF, 0xFF, 0x06});
    EXPECT_EQ(State(), "STATE_RCV_MSG_OSTX");
    Receive({0x80}, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(State(), "STATE_BUS_RESTART") << "EVT_GOT_ERR restarts the link";

    Receive({0xFF}, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE) << "a failed first preamble is not taken";
}

TEST_F(ReceiverTest, OtherMastersAckIsReportedButNotDeliveredByDefault)
{
    ReachBusFree();
    Receive(Frame(5, ShortStx(0x05, 0)));
    EXPECT_EQ(State(), "STATE_WAIT_OACK");
    EXPECT_EQ(Receive(Frame(5, ShortAck(0x05, 0))), 0);
    EXPECT_EQ(context_->HartProtocolInfo.RcvFrameType, 0x86);
    EXPECT_EQ(State(), "STATE_MY_BUS");
}

TEST_F(ReceiverTest, SlaveModePostsNothingButStillDelivers)
{
    context_->HartProtocolInfo.StateMachineMode = HART_MODE_SLAVE;
    HartFsmEventQueueAdd(device_, EVT_BURST_MATCH);
    EXPECT_EQ(Receive(Frame(5, ShortAck(0x40, 0))), 1) << "other master's ACK with burst bit is class 0x06 here";
    EXPECT_EQ(context_->HartProtocolInfo.RcvFrameType, 0x06);
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_BURST_MATCH})) << "the queue is left alone";
    context_->HartProtocolInfo.Rcv_Mask = 0x05;
    EXPECT_EQ(Receive(Frame(5, ShortStx(0x00, 0))), 1);
    EXPECT_EQ(Receive(Frame(5, LongBack({0x00, 1, 2, 3, 4}, 1))), 1);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    EXPECT_EQ(context_->HartQuietTimeCounter, 37) << "no event reached the master";
}

TEST_F(ReceiverTest, DeliveredFramesAlternateBuffersAndTheNewestWins)
{
    PUCHAR rcv1 = context_->CommData.Buffer_Rcv1;
    PUCHAR rcv2 = context_->CommData.Buffer_Rcv2;
    Bytes first = Frame(3, ShortAck(0x80, 1, {0x11}));
    Bytes second = Frame(3, ShortAck(0x80, 2, {0x22, 0x23}));
    Receive(first);
    EXPECT_EQ(context_->CommData.pReadBuffer, rcv1);
    EXPECT_EQ(context_->CommData.pRcvBuffer, rcv2);

    /* A frame not delivered is received into the other buffer and leaves the first alone. */
    Receive(Frame(3, ShortStx(0x80, 3)));
    EXPECT_EQ(ReadableFrame(), Bytes(first.begin() + 3, first.end()));

    Receive(second);
    EXPECT_EQ(context_->CommData.pReadBuffer, rcv2);
    EXPECT_EQ(context_->CommData.pRcvBuffer, rcv1);
    EXPECT_EQ(ReadableFrame(), Bytes(second.begin() + 3, second.end()));
}

TEST_F(ReceiverTest, SuspendWhileFillingSecondBufferKeepsThatBuffer)
{
    Receive(Frame(3, ShortAck(0x80, 1, {0x11})));
    ReachBusFree();
    Receive({0xFF, 0xFF, 0x06, 0x80, 0x01});
    ASSERT_EQ(context_->CommData.pRcvBuffer, context_->CommData.Buffer_Rcv2);
    Post(EVT_SUSPEND_IO);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    const HART_COMM_DATA& comm = context_->CommData;
    EXPECT_EQ(comm.pRcvBuffer, comm.Buffer_Rcv2);
    EXPECT_EQ(comm.pReadBuffer, comm.Buffer_Rcv2);
    EXPECT_EQ(comm.pRcvInsert, comm.Buffer_Rcv2);
    EXPECT_EQ(comm.ReadLength, 0u);
    EXPECT_EQ(Bytes(comm.Buffer_Rcv1, comm.Buffer_Rcv1 + HART_BUFFER_SIZE), Bytes(HART_BUFFER_SIZE, 0));
    EXPECT_EQ(Bytes(comm.Buffer_Rcv2, comm.Buffer_Rcv2 + HART_BUFFER_SIZE), Bytes(HART_BUFFER_SIZE, 0));
}

TEST_F(ReceiverTest, OutsideBufferResetMidFrameNeverWritesPastTheBuffer)
{
    context_->HartProtocolInfo.Rcv_Mask = 0;
    Receive({0xFF, 0xFF, 0x86});
    /* The buffers are reset under a frame in the header state with nothing left to count. */
    context_->RcvByteCount = 0;
    context_->CommData.pRcvInsert = context_->CommData.pRcvBuffer + HART_BUFFER_SIZE - 2;
    Receive(Bytes(600, 0x00));
    EXPECT_LE(context_->CommData.pRcvInsert, context_->CommData.pRcvBuffer + HART_BUFFER_SIZE);
}

} // namespace
} // namespace linktest
