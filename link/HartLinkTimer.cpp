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

VOID HartEvtTimerFunc(WDFTIMER Timer)
{
    WDFDEVICE device = (WDFDEVICE)WdfTimerGetParentObject(Timer);
    PHARTDEVICE_CONTEXT deviceContext = (device != NULL) ? HartGetDeviceContext(device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: Cannot access pDeviceContext!\n", "HartEvtTimerFunc");
        return;
    }
    if (deviceContext->HartProtocolInfo.StateMachineMode != HART_MODE_MASTER) {
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
}
