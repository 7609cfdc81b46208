/* The link timer's tick: counters, expiries and the order they are handled in. */
#include "LinkFixture.h"

namespace linktest {
namespace {

using LinkTimerTest = LinkFixture;

TEST_F(LinkTimerTest, QuietTimeExpiresOnItsThirtySeventhTickAndIsTracedOnce)
{
    HartSetDebugLevel(0x81);
    StartLinkTimer();
    Tick(36);
    EXPECT_EQ(State(), "STATE_BUS_RESTART");
    EXPECT_EQ(context_->HartQuietTimeCounter, 1);
    Tick(1);
    EXPECT_EQ(State(), "STATE_BUS_FREE");
    EXPECT_EQ(CountTrace("HartDriver: [0:0:0.370]-EVT_Q_TIMEOUT"), 1);
    Tick(100);
    EXPECT_EQ(CountTrace("EVT_Q_TIMEOUT"), 1) << "a stopped counter does not expire again";
}

TEST_F(LinkTimerTest, GapExpiryResetsTheReceiverBeforeTheMasterHearsOfIt)
{
    ReachBusFree();
    Receive({0xFF, 0xFF, 0x06, 0x80});
    ASSERT_EQ(State(), "STATE_RCV_MSG_OSTX");
    Tick(2);
    EXPECT_EQ(context_->ReceiverState, STATE_RECEIVING_UNTIL_BYTECOUNT);
    Tick(1);
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(State(), "STATE_BUS_BUSY") << "EVT_INV_SOM with the frame's bus-grant wait running";
    /* The abandoned frame's characters that follow begin nothing. */
    Receive({0x00, 0x01});
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE);
}

TEST_F(LinkTimerTest, SlaveModeCountsOnlyTheGapAndTheRestartDelay)
{
    context_->HartProtocolInfo.StateMachineMode = HART_MODE_SLAVE;
    context_->HartRestartTimeCounter = 2;
    StartLinkTimer();
    Receive({0xFF, 0xFF});
    Tick(3);
    EXPECT_EQ(context_->ReceiverState, STATE_WAITING_FOR_PREAMBLE);
    EXPECT_EQ(context_->HartQuietTimeCounter, 37);
    EXPECT_EQ(context_->HartRestartTimeCounter, 0) << "a slave's I/O restarts after a resume too";
    EXPECT_EQ(State(), "STATE_BUS_RESTART") << "without a master state machine to tell";
}

TEST_F(LinkTimerTest, TimerWithoutPortRecordTracesAndChangesNothing)
{
    HartSetDebugLevel(0x01);
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT_PERIODIC(&config, HartEvtTimerFunc, HART_LINK_TIMER_PERIOD_MS);
    /* A device of the driver's that is not a port: it has no port record. */
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, u"D:P(A;;GA;;;SY)");
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver_, &sddl);
    WDFDEVICE other = nullptr;
    ASSERT_TRUE(NT_SUCCESS(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &other)));
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = other;
    WDFTIMER timer = nullptr;
    ASSERT_TRUE(NT_SUCCESS(WdfTimerCreate(&config, &attributes, &timer)));
    WdfTimerStart(timer, HART_LINK_TIMER_DUE_TIME);
    Tick(1);
    EXPECT_EQ(CountTrace("HartEvtTimerFunc Error: Cannot access pDeviceContext!"), 1);
    WdfTimerStop(timer, TRUE);
    EXPECT_EQ(HartInitializeTimer(nullptr), STATUS_INVALID_PARAMETER);
}

} // namespace
} // namespace linktest
