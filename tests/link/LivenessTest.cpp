/* The master never waits on nothing: every state it can be left in has a
   counter running or an event on its way, whatever the line does. */
#include "LinkFixture.h"

namespace linktest {
namespace {

const Bytes kBurstSlave{0x80 | 0x40 | 0x02, 0x11, 0x22, 0x33, 0x44};

class LivenessTest : public LinkFixture {
protected:
    const Bytes request_ = Frame(5, ShortStx(0x80, 0));

    /* Characters as they come on a busy line: a tick passes after each one. */
    void ReceivePaced(const Bytes& characters)
    {
        for (UCHAR character : characters) {
            Receive({character});
            Tick(1);
        }
    }

    /* The other master's request and its slave's answer: the bus is this master's. */
    void OtherMastersTransaction(UCHAR command)
    {
        Receive(Frame(5, ShortStx(0x01, command)));
        Tick(5);
        Receive(Frame(5, ShortAck(0x01, command)));
    }
};

TEST_F(LivenessTest, FrameAcrossTheTransmitWindowLeavesTheMasterAbleToSend)
{
    ReachBusFree();
    OtherMastersTransaction(0);
    ASSERT_EQ(State(), "STATE_MY_BUS");
    /* Another station starts before the window closes and ends after it. */
    ReceivePaced(Frame(5, ShortStx(0x01, 1)));
    auto write = ClientWrite(request_);
    Tick(400);
    EXPECT_EQ(SerialWrites().size(), 1u) << "the master left " << State() << " and sent the waiting frame";
    EXPECT_FALSE(write->Completed());
}

TEST_F(LivenessTest, ZeroWaitAfterAnAnswerStillFreesTheBus)
{
    /* Timing values that load no wait leave no counter running; the master
       takes that as the wait's end instead of sitting in it for ever. */
    context_->Rt2 = 0;
    ReachBusFree();
    auto write = ClientWrite(request_);
    SerialWriteCompletes(STATUS_SUCCESS, request_.size());
    Receive(Frame(5, ShortAck(0x80, 0)));
    ASSERT_TRUE(write->Completed());
    Tick(2);
    EXPECT_EQ(State(), "STATE_BUS_FREE");
}

TEST_F(LivenessTest, BurstDeviceThatFallsSilentWhileAnotherMasterPollsGivesTheBusBack)
{
    ReachBusFree();
    Receive(Frame(5, LongBack(kBurstSlave, 1)));
    Receive(Frame(5, LongBack(kBurstSlave, 1)));
    ASSERT_EQ(State(), "STATE_BURST_BUS_BUSY");
    auto write = ClientWrite(request_);
    /* The burst device stopped; the other master polls another device, each
       transaction well inside the wait for the next burst frame. */
    for (int transaction = 0; transaction < 60 && SerialWrites().empty(); transaction++) {
        OtherMastersTransaction(1);
        Tick(20);
    }
    ASSERT_EQ(SerialWrites().size(), 1u) << "still in " << State();
    SerialWriteCompletes(STATUS_SUCCESS, request_.size());
    Receive(Frame(5, ShortAck(0x80, 0)));
    EXPECT_TRUE(write->Completed());
}

TEST_F(LivenessTest, BurstFramesKeepTheMasterInBurstMode)
{
    ReachBusFree();
    Receive(Frame(5, LongBack(kBurstSlave, 1)));
    for (int i = 0; i < 60; i++) {
        Receive(Frame(5, LongBack(kBurstSlave, 1)));
        Tick(20);
        OtherMastersTransaction(1);
        Tick(5);
    }
    EXPECT_EQ(State(), "STATE_BURST_BUS_BUSY") << "a bursting device is never taken for a silent one";
}

} // namespace
} // namespace linktest
