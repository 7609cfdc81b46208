/* The port record's defaults, the pending-event queue and the trace operation. */
#include "LinkFixture.h"

namespace linktest {
namespace {

using LinkRecordTest = LinkFixture;

TEST_F(LinkRecordTest, NewPortStartsWithDefaultSettingsAndTiming)
{
    const HART_PROTOCOL_INFO& protocol = context_->HartProtocolInfo;
    EXPECT_EQ(protocol.MasterType, 0x80);
    EXPECT_EQ(protocol.RetryCount, 2);
    EXPECT_EQ(protocol.Rcv_Mask, 0x02);
    EXPECT_EQ(protocol.StateMachineMode, HART_MODE_MASTER);
    std::vector<int> timing{context_->Rt1Primary, context_->Rt1Secondary, context_->Rt2,  context_->Sto,
                            context_->QuietTime,  context_->BgTimeStart,  context_->BgTimeError,
                            context_->Rt1Diff,    context_->Pre2,         context_->MissedTransmitWindow,
                            context_->BgTimeBase, context_->Hold,         context_->Gap};
    EXPECT_EQ(timing, (std::vector<int>{34, 42, 8, 28, 34, 298, 296, 0, 3, 77, 265, 3, 3}));
    EXPECT_EQ(context_->TimeInterval, -100000);
    EXPECT_EQ(context_->CommData.pRcvBuffer, context_->CommData.Buffer_Rcv1);
    EXPECT_EQ(context_->CommData.pReadBuffer, context_->CommData.Buffer_Rcv1);
    /* The first dispatch on the new port took the null state as a restart. */
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    EXPECT_EQ(context_->HartQuietTimeCounter, 37);
    EXPECT_EQ(context_->HartBusGrantTimeCounter, 298);
}

TEST_F(LinkRecordTest, PortKeepsItsCopyWhenDriverWideSetChanges)
{
    HartGetDriverContext(driver_)->Rt1Primary = 50;
    EXPECT_EQ(context_->Rt1Primary, 34);
}

TEST_F(LinkRecordTest, QueueFindsRemovesAndPurgesInArrivalOrder)
{
    SHORT index = -1;
    EXPECT_FALSE(HartFsmEventQueueFind(device_, 0xFF, &index));
    EXPECT_EQ(index, 0);

    HartFsmEventQueueAdd(device_, EVT_XMIT_REQ);
    HartFsmEventQueueAdd(device_, EVT_Q_TIMEOUT);
    EXPECT_TRUE(HartFsmEventQueueFind(device_, EVT_CLASS_TIMER, &index));
    EXPECT_EQ(index, 1);
    HartFsmEventQueueRemove(device_, index);
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_XMIT_REQ}));
    EXPECT_FALSE(HartFsmEventQueueFind(device_, EVT_CLASS_TIMER, &index));
    EXPECT_EQ(index, 1) << "on a miss the index is the number of pending events";

    HartFsmEventQueueAdd(device_, EVT_BURST_MATCH);
    HartFsmEventQueueAdd(device_, EVT_BG_TIMEOUT);
    HartFsmEventQueueAdd(device_, EVT_BG_TIMEOUT);
    HartFsmEventQueueRemove(device_, 0);
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_BURST_MATCH, EVT_BG_TIMEOUT, EVT_BG_TIMEOUT}));
    HartFsmEventQueueRemove(device_, 3);
    EXPECT_EQ(PendingEvents().size(), 3u) << "removing at the terminator changes nothing";
    ClearTimerEvents(device_);
    EXPECT_EQ(PendingEvents(), (Bytes{EVT_BURST_MATCH}));
}

TEST_F(LinkRecordTest, FullQueueDropsTheNewEventAndNeverScansPastItsSlots)
{
    HartSetDebugLevel(1);
    for (int i = 0; i < HART_FSM_EVENT_QUEUE_SIZE; i++) {
        HartFsmEventQueueAdd(device_, EVT_BA_TIMEOUT);
    }
    HartFsmEventQueueAdd(device_, EVT_XMIT_REQ);
    EXPECT_EQ(PendingEvents(), Bytes(HART_FSM_EVENT_QUEUE_SIZE, EVT_BA_TIMEOUT));
    EXPECT_EQ(CountTrace("FsmEventQueue is full, event 0x8 dropped!"), 1);

    SHORT index = -1;
    EXPECT_FALSE(HartFsmEventQueueFind(device_, EVT_CLASS_XMIT, &index));
    EXPECT_EQ(index, HART_FSM_EVENT_QUEUE_SIZE);
    /* A dispatch that replays a full queue ends too. */
    Post(EVT_VAL_PRE);
    EXPECT_EQ(State(), "STATE_RCV_MSG_RESTART");
    ClearTimerEvents(device_);
    EXPECT_TRUE(PendingEvents().empty());
}

TEST_F(LinkRecordTest, TraceObeysTheMaskAndStampsLevel0x80)
{
    debug_->Clear();
    HartSetDebugLevel(0);
    HartTrace(0x01, "silent %d\n", 1);
    EXPECT_TRUE(debug_->Text().empty());

    HartSetDebugLevel(0x81);
    HartTrace(0x02, "entry marker\n");
    HartTrace(0x01, "error %s 0x%X\n", "code", 0xC0000001u);
    host_.RunFor(platform::Ticks(37 * 100000LL + 3600LL * 10000000LL));
    HartTrace(0x81, "EVT_Q_TIMEOUT\n");
    EXPECT_EQ(debug_->Text(), "HartDriver: error code 0xC0000001\nHartDriver: [1:0:0.370]-EVT_Q_TIMEOUT\n");

    debug_->Clear();
    HartSetDebugLevel(0x01);
    HartTrace(0x81, "stamped\n");
    EXPECT_EQ(debug_->Lines().size(), 1u) << "level 0x81 shares bit 0 with errors";
}

} // namespace
} // namespace linktest
