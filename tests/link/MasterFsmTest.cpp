/* Whole transactions of this master, the other master's traffic, burst mode
   and the replay of pending events. */
#include "LinkFixture.h"

namespace linktest {
namespace {

class MasterFsmTest : public LinkFixture {
protected:
    const Bytes request_ = Frame(5, ShortStx(0x80, 0));
    const Bytes answer_ = Frame(5, ShortAck(0x80, 0, {0x00, 0x40, 0x11}));

    /* From STATE_BUS_FREE: the client's frame goes out and the serial write ends. */
    std::shared_ptr<platform::ClientRequest> SendRequest()
    {
        auto write = ClientWrite(request_);
        EXPECT_EQ(State(), "STATE_TRANSMITTING");
        SerialWriteCompletes(STATUS_SUCCESS, request_.size());
        EXPECT_EQ(State(), "STATE_WAIT_ACK");
        return write;
    }
};

TEST_F(MasterFsmTest, AnsweredTransactionCompletesTheWriteWithTheSerialOutcome)
{
    ReachBusFree();
    auto write = ClientWrite(request_);
    EXPECT_EQ(context_->WriteRetriesLeftCount, 3u);
    ASSERT_EQ(SerialWrites(), std::vector<Bytes>{request_});
    SerialWriteCompletes(STATUS_SUCCESS, request_.size());
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 9 + 34) << "10 bytes at 0.9 tick each, plus Rt1Primary";

    Receive({0xFF});
    EXPECT_EQ(State(), "STATE_RCV_MSG_ACK");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 170);
    EXPECT_FALSE(write->Completed()) << "the write waits for the answer, not for the serial write";

    Receive(Bytes(answer_.begin() + 1, answer_.end()));
    EXPECT_EQ(State(), "STATE_BUS_BUSY");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 8);
    EXPECT_EQ(write->Completions(), 1u);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), request_.size());
    EXPECT_EQ(context_->PendingWriteRequest, nullptr);
    EXPECT_EQ(ReadableFrame(), Bytes(answer_.begin() + 5, answer_.end()));

    Tick(7);
    EXPECT_EQ(State(), "STATE_BUS_BUSY");
    Tick(1);
    EXPECT_EQ(State(), "STATE_BUS_FREE");
}

TEST_F(MasterFsmTest, NoAnswerIsRetriedThenTimesOut)
{
    HartSetDebugLevel(0x01);
    ReachBusFree();
    auto write = SendRequest();
    for (int attempt = 2; attempt <= 3; attempt++) {
        Tick(context_->HartBusGrantTimeCounter);
        /* The failed attempt queued EVT_XMIT_REQ, then the zero wait freed the bus in the replay. */
        EXPECT_EQ(State(), "STATE_TRANSMITTING") << attempt;
        EXPECT_EQ(SerialWrites().size(), static_cast<size_t>(attempt));
        SerialWriteCompletes(STATUS_SUCCESS, request_.size());
    }
    EXPECT_EQ(CountTrace("pDeviceContext->WriteRetriesLeftCount: 2"), 1);
    EXPECT_EQ(CountTrace("pDeviceContext->WriteRetriesLeftCount: 1"), 1);
    EXPECT_FALSE(write->Completed());
    Tick(context_->HartBusGrantTimeCounter);
    EXPECT_EQ(write->Completions(), 1u);
    EXPECT_EQ(write->Status(), STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(write->Information(), 0u);
    EXPECT_EQ(SerialWrites().size(), 3u);
    EXPECT_EQ(State(), "STATE_BUS_FREE");
    EXPECT_TRUE(PendingEvents().empty());
}

TEST_F(MasterFsmTest, RetryCountZeroGivesUpAfterTheFirstAttempt)
{
    context_->HartProtocolInfo.RetryCount = 0;
    ReachBusFree();
    auto write = SendRequest();
    Tick(context_->HartBusGrantTimeCounter);
    EXPECT_EQ(write->Status(), STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(SerialWrites().size(), 1u);
}

TEST_F(MasterFsmTest, AnswerAfterRetryReportsTheLastSerialWrite)
{
    ReachBusFree();
    auto write = SendRequest();
    Tick(context_->HartBusGrantTimeCounter);
    ASSERT_EQ(State(), "STATE_TRANSMITTING");
    SerialWriteCompletes(STATUS_SUCCESS, 7);
    Receive(answer_);
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 7u);
    EXPECT_EQ(context_->WriteRetriesLeftCount, 0u);

    Tick(8);
    ClientWrite(request_);
    EXPECT_EQ(context_->WriteRetriesLeftCount, 3u) << "the next frame starts with all its attempts";
}

TEST_F(MasterFsmTest, WrongAnswerFailsTheAttemptAndRestartsTheLink)
{
    ReachBusFree();
    auto write = SendRequest();
    Receive(Frame(5, ShortAck(0x05, 0)));
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 296);
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_XMIT_REQ}));
    Tick(37);
    EXPECT_EQ(State(), "STATE_TRANSMITTING") << "the quiet time frees the bus for the retry";
    EXPECT_FALSE(write->Completed());
}

TEST_F(MasterFsmTest, OtherMastersTransactionHandsTheBusOver)
{
    ReachBusFree();
    Receive(Frame(5, ShortStx(0x01, 0)));
    EXPECT_EQ(State(), "STATE_WAIT_OACK");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 34);
    Receive(Frame(5, ShortAck(0x01, 0)));
    EXPECT_EQ(State(), "STATE_MY_BUS");
    EXPECT_EQ(context_->HartHoldTimeCounter, 3);
    Tick(3);
    EXPECT_EQ(State(), "STATE_BUS_BUSY") << "the window passed unused";
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 77);
    Tick(77);
    EXPECT_EQ(State(), "STATE_BUS_FREE");
}

TEST_F(MasterFsmTest, WriteWaitingForTheOtherMasterGoesOutInTheWindow)
{
    ReachBusFree();
    Receive(Frame(5, ShortStx(0x01, 0)));
    auto write = ClientWrite(request_);
    EXPECT_EQ(State(), "STATE_WAIT_OACK");
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_XMIT_REQ}));
    Receive(Frame(5, ShortAck(0x01, 0)));
    EXPECT_EQ(State(), "STATE_TRANSMITTING");
    EXPECT_EQ(SerialWrites().size(), 1u);
    EXPECT_TRUE(PendingEvents().empty());
}

TEST_F(MasterFsmTest, OtherMastersUnansweredRequestFreesTheBusAfterRt1Diff)
{
    context_->Rt1Diff = 8;
    ReachBusFree();
    Receive(Frame(5, ShortStx(0x01, 0)));
    Tick(34);
    EXPECT_EQ(State(), "STATE_BUS_BUSY");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 8);
    Tick(8);
    EXPECT_EQ(State(), "STATE_BUS_FREE");
}

TEST_F(MasterFsmTest, BurstFramesEnterTheBurstStatesAndTrackTheSender)
{
    const Bytes burstSlave{0xC0 | 0x01, 0x11, 0x22, 0x33, 0x44};
    ReachBusFree();
    Receive(Frame(5, LongBack(burstSlave, 1)));
    EXPECT_EQ(State(), "STATE_BUS_RESTART") << "a BACK heard as another station's frame restarts the link";
    Receive(Frame(5, LongBack(burstSlave, 1)));
    EXPECT_EQ(State(), "STATE_BURST_BUS_BUSY");
    EXPECT_EQ(Bytes(context_->BurstAddress, context_->BurstAddress + 5), (Bytes{0x01, 0x11, 0x22, 0x33, 0x44}));

    Tick(34);
    EXPECT_EQ(State(), "STATE_BUS_RESTART") << "silence after a burst restarts the link";
    Bytes otherMastersTurn = burstSlave;
    otherMastersTurn[0] = 0x41;
    Receive(Frame(5, LongBack(otherMastersTurn, 1)));
    EXPECT_EQ(State(), "STATE_BURST_MY_BUS");
}

class BurstTransactionTest : public MasterFsmTest {
protected:
    const Bytes slave_{0x80 | 0x40 | 0x01, 0x11, 0x22, 0x33, 0x44};

    /* The burst slave handed the bus to this master, which sent its request. */
    void SendInBurstWindow()
    {
        ReachBusFree();
        Receive(Frame(5, LongBack(slave_, 1)));
        Bytes toOther = slave_;
        toOther[0] = 0x41;
        Receive(Frame(5, LongBack(toOther, 1)));
        ASSERT_EQ(State(), "STATE_BURST_MY_BUS");
        write_ = ClientWrite(request_);
        ASSERT_EQ(State(), "STATE_BURST_TRANSMITTING");
        SerialWriteCompletes(STATUS_SUCCESS, request_.size());
        ASSERT_EQ(State(), "STATE_BURST_WAIT_ACK");
    }

    std::shared_ptr<platform::ClientRequest> write_;
};

TEST_F(BurstTransactionTest, AnswerFromTheBurstSlaveEndsBurstMode)
{
    SendInBurstWindow();
    Bytes answerAddress = slave_;
    answerAddress[0] = 0x81;
    Receive(Frame(5, LongAck(answerAddress, 0)));
    EXPECT_EQ(write_->Status(), STATUS_SUCCESS);
    EXPECT_EQ(State(), "STATE_BUS_BUSY");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 8);
    EXPECT_TRUE(PendingEvents().empty());
}

TEST_F(BurstTransactionTest, AnswerFromAnotherDeviceStaysInBurstMode)
{
    SendInBurstWindow();
    Receive(Frame(5, LongAck({0x82, 0x99, 0x99, 0x99, 0x99}, 0)));
    EXPECT_EQ(write_->Status(), STATUS_SUCCESS);
    EXPECT_EQ(State(), "STATE_BURST_BUS_BUSY");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 34);
}

TEST_F(BurstTransactionTest, BurstAnswerLeavesItsVerdictUntilTheNextFrame)
{
    SendInBurstWindow();
    Receive(Frame(5, LongAck(slave_, 0)));
    EXPECT_EQ(State(), "STATE_BURST_BUS_BUSY");
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_BURST_MATCH}));
    Receive(Frame(5, LongBack(slave_, 1)));
    EXPECT_TRUE(PendingEvents().empty()) << "the receiver purged the stale verdict";
}

TEST_F(MasterFsmTest, PendingEventsReplayAfterEveryTransition)
{
    ReachBusFree();
    Receive(Frame(5, ShortStx(0x80, 0)));
    ASSERT_EQ(State(), "STATE_BUS_RESTART");
    context_->HartQuietTimeCounter = 5;
    context_->HartBusGrantTimeCounter = 5;
    Tick(5);
    EXPECT_EQ(State(), "STATE_BUS_FREE") << "EVT_Q_TIMEOUT is handled first";
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_BG_TIMEOUT}));

    /* A quiet expiry while a frame arrives waits for the end of the frame. */
    Post(EVT_STARTUP);
    Receive({0xFF, 0xFF});
    Post(EVT_Q_TIMEOUT);
    EXPECT_EQ(State(), "STATE_RCV_MSG_RESTART");
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_Q_TIMEOUT}));
    Post(EVT_INV_SOM);
    EXPECT_EQ(State(), "STATE_BUS_FREE");

    /* Unknown codes are dropped; deferred ones pile up in arrival order. */
    Post(0x30);
    Post(EVT_STARTUP);
    Post(EVT_BA_TIMEOUT);
    Post(EVT_XMIT_REQ);
    Post(EVT_BA_TIMEOUT);
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_BA_TIMEOUT, EVT_XMIT_REQ, EVT_BA_TIMEOUT}));
}

TEST_F(MasterFsmTest, StartupDuringAnswerWaitChangesNothingAndAPreambleFloodResendsAtOnce)
{
    ReachBusFree();
    auto write = SendRequest();
    USHORT busGrant = context_->HartBusGrantTimeCounter;
    Post(EVT_STARTUP);
    EXPECT_EQ(State(), "STATE_WAIT_ACK");
    EXPECT_EQ(context_->HartBusGrantTimeCounter, busGrant);
    EXPECT_TRUE(PendingEvents().empty());

    Receive(Bytes(251, 0xFF));
    EXPECT_EQ(State(), "STATE_TRANSMITTING") << "the trailing EVT_INV_SOM was dropped";
    EXPECT_EQ(SerialWrites().size(), 2u);
    EXPECT_FALSE(write->Completed());
}

TEST_F(MasterFsmTest, PreambleFloodOnTheLastAttemptGivesUp)
{
    context_->HartProtocolInfo.RetryCount = 0;
    ReachBusFree();
    auto write = SendRequest();
    Receive(Bytes(251, 0xFF));
    EXPECT_EQ(write->Status(), STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    EXPECT_EQ(context_->HartQuietTimeCounter, 37);
}

TEST_F(MasterFsmTest, BadStartOfMessageIsReportedTwiceAndTheSecondIsDropped)
{
    HartSetDebugLevel(0x22);
    ReachBusFree();
    context_->HartBusGrantTimeCounter = 20;
    debug_->Clear();
    Receive({0xFF, 0xFF, 0x85});
    EXPECT_EQ(State(), "STATE_BUS_BUSY");
    EXPECT_EQ(CountTrace("set_BG_timeout >>>>"), 1);
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 20) << "the running bus-grant wait goes on";
}

TEST_F(MasterFsmTest, SuspendAndRestartResendThePendingWrite)
{
    ReachBusFree();
    auto write = SendRequest();
    Post(EVT_SUSPEND_IO);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    context_->HartQuietTimeCounter = 0;
    context_->HartBusGrantTimeCounter = 0;
    context_->HartRestartTimeCounter = 200;
    Tick(199);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    Tick(1);
    EXPECT_EQ(State(), "STATE_TRANSMITTING") << "the trigger-TX work item re-posted the write";
    EXPECT_EQ(SerialWrites().size(), 2u);
    EXPECT_FALSE(write->Completed());
}

} // namespace
} // namespace linktest
