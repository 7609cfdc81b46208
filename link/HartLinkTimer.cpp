/*
 * The link timer: one periodic 10 ms tick per port counts the link counters
 * down and turns each expiry into a link event. The dispatcher runs the tick
 * like every other callback of the port, so it never overlaps a dispatch.
 */
#include "HartLink.h"
#include "HartTrace.h"

NTSTATUS HartInitializeTimer(PHARTDEVICE_CONTEXT DeviceContext)
{
    HartTrace(0x02, "%s >>>>>>>>\n", "HartInitializeTimer");
    if (DeviceContext == NULL) {
        HartTrace(0x01, "%s Error: Invalid parameter!\n", "HartInitializeTimer");
        return STATUS_INVALID_PARAMETER;
    }
    WDF_TIMER_CONFIG timerConfig;
    WDF_TIMER_CONFIG_INIT_PERIODIC(&timerConfig, HartEvtTimerFunc, HART_LINK_TIMER_PERIOD_MS);
    timerConfig.AutomaticSerialization = FALSE;
    timerConfig.TolerableDelay = 0;

    WDF_OBJECT_ATTRIBUTES timerAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&timerAttributes);
    timerAttributes.ParentObject = DeviceContext->Device;
    timerAttributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    timerAttributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;

    NTSTATUS status = WdfTimerCreate(&timerConfig, &timerAttributes, &DeviceContext->LinkTimer);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfTimerCreate Failed with Status: 0x%X\n", (unsigned)status);
    } else {
        HartTrace(0x02, "%s <<<<<<<\n", "HartInitializeTimer");
    }
    return status;
}

/* Counts one counter down; TRUE when this tick made it expire. */
static BOOLEAN HartCountDown(USHORT* Counter)
{
    if (*Counter == 0) {
        return FALSE;
    }
    (*Counter)--;
    return *Counter == 0;
}

/* The states a burst device's frames lead into, where the master waits for the next one. */
static BOOLEAN HartInBurstMode(const HART_FSM_STATE* State)
{
    static const HART_FSM_STATE* const burstStates[] = {
        &STATE_BURST_MY_BUS,       &STATE_BURST_TRANSMITTING, &STATE_BURST_WAIT_ACK,     &STATE_BURST_RCV_MSG_ACK,
        &STATE_BURST_BUS_BUSY,     &STATE_BURST_RCV_MSG,      &STATE_BURST_WAIT_OACK,    &STATE_BURST_RCV_MSG_OACK,
        &STATE_BURST_PENDING_ACK,  &STATE_BURST_PENDING_OACK, &STATE_BURST_TOO_MANY_PRE,
    };
    for (const HART_FSM_STATE* burstState : burstStates) {
        if (State == burstState) {
            return TRUE;
        }
    }
    return FALSE;
}

/*
 * Another master's traffic can keep the bus busy for ever inside the wait for
 * the next burst frame, so a burst device that stopped would hold the master
 * in burst mode with its write never sent. A burst device sends a frame after
 * every transaction; none for as long as a link restart's bus-grant wait
 * means it stopped, and the master leaves burst mode the way that wait's end
 * would take it.
 */
static VOID HartWatchBurstDevice(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext)
{
    if (!HartInBurstMode(DeviceContext->CurrentState)) {
        DeviceContext->HartBurstSilenceCounter = 0;
        return;
    }
    if (DeviceContext->HartBurstSilenceCounter < DeviceContext->BgTimeStart) {
        DeviceContext->HartBurstSilenceCounter++;
        return;
    }
    if (DeviceContext->CurrentState == &STATE_BURST_BUS_BUSY) {
        HartTrace(0x01, "%s: no burst frame for %d ticks, leaving burst mode\n", "HartEvtTimerFunc",
                  (int)DeviceContext->HartBurstSilenceCounter);
        DeviceContext->HartBurstSilenceCounter = 0;
        FsmMasterProcessEvent(Device, EVT_BG_TIMEOUT);
    }
}

/*
 * A state the master leaves only by a counter's expiry is a dead end when no
 * counter runs: a wait of zero ticks, or a frame that ended in a state with no
 * entry for it. Such a wait is taken as over, as set_BG_timeout does for the
 * bus-grant counter, so that a waiting write is never stuck behind it.
 */
static VOID HartKeepMasterMoving(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->HartQuietTimeCounter != 0 || DeviceContext->HartBusGrantTimeCounter != 0 ||
        DeviceContext->HartHoldTimeCounter != 0 || DeviceContext->HartGapTimeCounter != 0 ||
        DeviceContext->HartRestartTimeCounter != 0 || DeviceContext->CurrentState == NULL) {
        return;
    }
    static const UCHAR expiries[] = {EVT_BG_TIMEOUT, EVT_BA_TIMEOUT, EVT_INV_SOM};
    for (UCHAR expiry : expiries) {
        for (const HART_FSM_ENTRY* entry = DeviceContext->CurrentState->Entries; entry->Event != 0; entry++) {
            if (entry->Event == expiry) {
                HartTrace(0x01, "%s: %s waits with no counter running\n", "HartEvtTimerFunc",
                          DeviceContext->CurrentState->Name);
                FsmMasterProcessEvent(Device, expiry);
                return;
            }
        }
    }
}

VOID HartEvtTimerFunc(WDFTIMER Timer)
{
    WDFDEVICE device = (WDFDEVICE)WdfTimerGetParentObject(Timer);
    PHARTDEVICE_CONTEXT deviceContext = (device != NULL) ? HartGetDeviceContext(device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: Cannot access pDeviceContext!\n", "HartEvtTimerFunc");
        return;
    }
    if (deviceContext->HartProtocolInfo.StateMachineMode != HART_MODE_MASTER) {
        /* No state machine takes EVT_RESTART_IO from a slave: its restart is run here. */
        if (HartCountDown(&deviceContext->HartRestartTimeCounter)) {
            ResetPortDataReceiverFsm(device);
            InitializeForRestartIo(device);
        }
        if (HartCountDown(&deviceContext->HartGapTimeCounter)) {
            ResetPortDataReceiverFsm(device);
        }
        return;
    }
    /*
     * Each counter is read only when its turn comes: one that an earlier
     * expiry's dispatch has just loaded is already counted in this tick.
     */
    if (HartCountDown(&deviceContext->HartRestartTimeCounter)) {
        ResetPortDataReceiverFsm(device);
        FsmMasterProcessEvent(device, EVT_RESTART_IO);
    }
    if (HartCountDown(&deviceContext->HartQuietTimeCounter)) {
        HartTrace(0x81, "EVT_Q_TIMEOUT\n");
        FsmMasterProcessEvent(device, EVT_Q_TIMEOUT);
    }
    if (HartCountDown(&deviceContext->HartBusGrantTimeCounter)) {
        HartTrace(0x81, "EVT_BG_TIMEOUT\n");
        FsmMasterProcessEvent(device, EVT_BG_TIMEOUT);
    }
    if (HartCountDown(&deviceContext->HartHoldTimeCounter)) {
        HartTrace(0x81, "EVT_BA_TIMEOUT\n");
        FsmMasterProcessEvent(device, EVT_BA_TIMEOUT);
    }
    if (HartCountDown(&deviceContext->HartGapTimeCounter)) {
        ResetPortDataReceiverFsm(device);
        FsmMasterProcessEvent(device, EVT_INV_SOM);
    }
    HartWatchBurstDevice(device, deviceContext);
    HartKeepMasterMoving(device, deviceContext);
}
