/*
 * The master's actions: they load the link counters that the timer counts
 * down, purge expiries that no longer apply, start, confirm or fail the
 * transmission of the client's frame, and clear or re-arm the port's I/O
 * around a suspend and restart.
 */
#include "HartLink.h"
#include "HartTrace.h"


static PHARTDEVICE_CONTEXT HartActionContext(WDFDEVICE Device, ULONG Level, PCSTR ActionName)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "Error: Unable to retrieve pDeviceContext!");
        return NULL;
    }
    HartTrace(Level, "%s >>>> \n", ActionName);
    return deviceContext;
}

VOID HartEnqueuePortWorkItem(WDFWORKITEM WorkItem, WDFDEVICE Device)
{
    HartGetWorkItemContext(WorkItem)->Device = Device;
    WdfWorkItemEnqueue(WorkItem);
}

VOID ClearTimerEvents(WDFDEVICE Device)
{
    HartTrace(0x02, "%s >>>> \n", "ClearTimerEvents");
    HartFsmEventQueuePurge(Device, EVT_CLASS_TIMER);
}

VOID ClearTransmitRequest(WDFDEVICE Device)
{
    HartTrace(0x02, "%s >>>> \n", "ClearTransmitRequest");
    HartFsmEventQueuePurge(Device, EVT_CLASS_XMIT);
}

/* The common shape of most waits: quiet and hold stop, the bus-grant wait starts. */
static VOID HartLoadBusGrantWait(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext, USHORT BusGrantTicks)
{
    DeviceContext->HartQuietTimeCounter = 0;
    DeviceContext->HartHoldTimeCounter = 0;
    ClearTimerEvents(Device);
    DeviceContext->HartBusGrantTimeCounter = BusGrantTicks;
}

/* The common shape of a link restart, with the bus-grant wait that follows it. */
static VOID HartRestartCounters(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext, USHORT BusGrantTicks)
{
    DeviceContext->HartHoldTimeCounter = 0;
    ClearTimerEvents(Device);
    DeviceContext->HartRestartTimeCounter = 0;
    DeviceContext->HartBusGrantTimeCounter = BusGrantTicks;
    DeviceContext->HartQuietTimeCounter = (USHORT)(DeviceContext->QuietTime + 3);
}

static VOID HartForgetPendingWrite(PHARTDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->PendingWriteRequest = NULL;
    DeviceContext->WriteBuffer = NULL;
    DeviceContext->WriteBufferLength = 0;
}

VOID no_action(WDFDEVICE Device)
{
    UNREFERENCED_PARAMETER(Device);
}

VOID restart_timers(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "restart_timers");
    if (deviceContext != NULL) {
        HartRestartCounters(Device, deviceContext, deviceContext->BgTimeStart);
    }
}

VOID restart_timers_ACK_err(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "restart_timers_ACK_err");
    if (deviceContext != NULL) {
        HartMasterFailTransmit(Device);
        HartRestartCounters(Device, deviceContext, deviceContext->BgTimeError);
    }
}

VOID CleanupForSuspendIo(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "CleanupForSuspendIo");
    if (deviceContext == NULL) {
        return;
    }
    restart_timers(Device);
    HART_COMM_DATA* commData = &deviceContext->CommData;
    commData->ReadLength = 0;
    deviceContext->RcvByteCount = 0;
    deviceContext->RcvCheckByte = 0;
    deviceContext->PreambleCount = 0;
    RtlZeroMemory(commData->Buffer_Xmt, sizeof(commData->Buffer_Xmt));
    RtlZeroMemory(commData->Buffer_Rcv1, sizeof(commData->Buffer_Rcv1));
    RtlZeroMemory(commData->Buffer_Rcv2, sizeof(commData->Buffer_Rcv2));
    /* The receiver keeps the buffer it was filling. */
    PUCHAR current = (commData->pRcvBuffer == commData->Buffer_Rcv1) ? commData->Buffer_Rcv1 : commData->Buffer_Rcv2;
    commData->pRcvBuffer = current;
    commData->pReadBuffer = current;
    commData->pRcvInsert = current;
}

VOID InitializeForRestartIo(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "InitializeForRestartIo");
    if (deviceContext != NULL && deviceContext->WorkItemTriggerTx != NULL) {
        HartEnqueuePortWorkItem(deviceContext->WorkItemTriggerTx, Device);
    }
}

VOID transmit(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "transmit");
    if (deviceContext == NULL) {
        return;
    }
    if (deviceContext->WriteRetriesLeftCount == 0) {
        deviceContext->WriteRetriesLeftCount = (ULONG)deviceContext->HartProtocolInfo.RetryCount + 1;
    }
    ResetPortDataReceiverFsm(Device);
    HartWriteDataToSerialPort(deviceContext);
}

VOID missed_window(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "missed_window");
    if (deviceContext != NULL) {
        HartLoadBusGrantWait(Device, deviceContext, deviceContext->MissedTransmitWindow);
    }
}

VOID init_BG_wait_slave(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_wait_slave");
    if (deviceContext != NULL) {
        HartLoadBusGrantWait(Device, deviceContext, deviceContext->Rt1Primary);
    }
}

VOID init_BG_wait_slave_burst_on(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_wait_slave_burst_on");
    if (deviceContext != NULL) {
        HartLoadBusGrantWait(Device, deviceContext, deviceContext->Rt1Primary);
        RtlCopyMemory(deviceContext->BurstAddress, deviceContext->HartProtocolInfo.RcvAddress,
                      sizeof(deviceContext->BurstAddress));
    }
}

VOID init_BG_wait_slave_xmit(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_wait_slave_xmit");
    if (deviceContext == NULL) {
        return;
    }
    HartLoadBusGrantWait(Device, deviceContext,
                         (USHORT)(deviceContext->HartResposeWaitBufferTime + deviceContext->Rt1Primary));
    HartTrace(0x01, "init_BG_wait_slave_xmit HartResposeWaitBufferTime[%d] + Primary[%d] =  HartBusGrantTimeCounter[%d]",
              deviceContext->HartResposeWaitBufferTime, deviceContext->Rt1Primary,
              deviceContext->HartBusGrantTimeCounter);
}

VOID init_BG_noresp_wait_slave(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_noresp_wait_slave");
    if (deviceContext != NULL) {
        HartMasterFailTransmit(Device);
        HartLoadBusGrantWait(Device, deviceContext, deviceContext->Rt1Primary);
    }
}

/* The bus is this master's: the transmit window (hold) opens. */
static VOID HartOpenTransmitWindow(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->HartBusGrantTimeCounter = 0;
    DeviceContext->HartQuietTimeCounter = 0;
    ClearTimerEvents(Device);
    DeviceContext->HartHoldTimeCounter = DeviceContext->Hold;
}

VOID init_BG_wait_xmit(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_wait_xmit");
    if (deviceContext != NULL) {
        HartOpenTransmitWindow(Device, deviceContext);
    }
}

VOID init_BG_wait_xmit_burst_on(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_wait_xmit_burst_on");
    if (deviceContext != NULL) {
        HartOpenTransmitWindow(Device, deviceContext);
        RtlCopyMemory(deviceContext->BurstAddress, deviceContext->HartProtocolInfo.RcvAddress,
                      sizeof(deviceContext->BurstAddress));
    }
}

VOID init_BG_wait_req(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_wait_req");
    if (deviceContext != NULL) {
        HartLoadBusGrantWait(Device, deviceContext, deviceContext->Rt2);
    }
}

VOID init_BG_wait_pri(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x03, "init_BG_wait_pri");
    if (deviceContext == NULL) {
        return;
    }
    HartLoadBusGrantWait(Device, deviceContext, deviceContext->Rt1Diff);
    if (deviceContext->Rt1Diff == 0) {
        /* No wait: the replay of this dispatch frees the bus at once. */
        HartFsmEventQueueAdd(Device, EVT_BG_TIMEOUT);
    }
}

VOID init_BG_noresp_wait_pri(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "init_BG_noresp_wait_pri");
    if (deviceContext != NULL) {
        HartMasterFailTransmit(Device);
        init_BG_wait_pri(Device);
    }
}

VOID set_BG_timeout(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "set_BG_timeout");
    if (deviceContext != NULL && deviceContext->HartBusGrantTimeCounter == 0) {
        HartFsmEventQueueAdd(Device, EVT_BG_TIMEOUT);
    }
}

VOID InitTimeout(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x22, "InitTimeout");
    if (deviceContext != NULL) {
        deviceContext->HartQuietTimeCounter = 0;
        deviceContext->HartHoldTimeCounter = 0;
        deviceContext->HartBusGrantTimeCounter = 170;
    }
}

VOID preamble_overflow(WDFDEVICE Device)
{
    if (HartActionContext(Device, 0x02, "preamble_overflow") != NULL) {
        HartMasterFailTransmit(Device);
    }
}

VOID init_BG_wait_slave_xmit_conf(WDFDEVICE Device)
{
    if (HartActionContext(Device, 0x03, "init_BG_wait_slave_xmit_conf") != NULL) {
        init_BG_wait_slave(Device);
        xmit_confirm(Device);
    }
}

VOID init_BG_wait_slave_burst_on_xmit_conf(WDFDEVICE Device)
{
    if (HartActionContext(Device, 0x03, "init_BG_wait_slave_burst_on_xmit_conf") != NULL) {
        init_BG_wait_slave_burst_on(Device);
        xmit_confirm(Device);
    }
}

VOID init_BG_wait_req_xmit_conf(WDFDEVICE Device)
{
    if (HartActionContext(Device, 0x03, "init_BG_wait_req_xmit_conf") != NULL) {
        init_BG_wait_req(Device);
        xmit_confirm(Device);
    }
}

VOID activate_match_xmit_conf(WDFDEVICE Device)
{
    if (HartActionContext(Device, 0x03, "activate_match_xmit_conf") != NULL) {
        xmit_confirm(Device);
    }
}

VOID HartMasterFailTransmit(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x02, "HartMasterFailTransmit");
    if (deviceContext == NULL) {
        return;
    }
    /* Only states reached through transmit get here; never wrap below zero all the same. */
    if (deviceContext->WriteRetriesLeftCount != 0) {
        deviceContext->WriteRetriesLeftCount--;
    }
    if (deviceContext->WriteRetriesLeftCount != 0) {
        HartTrace(0x01, "pDeviceContext->WriteRetriesLeftCount: %d\n", (int)deviceContext->WriteRetriesLeftCount);
        ResetPortDataReceiverFsm(Device);
        HartFsmEventQueueAdd(Device, EVT_XMIT_REQ);
        return;
    }
    if (deviceContext->WriteCompletionParams.IoStatus.Status < 0) {
        HartTrace(0x11, "pDeviceContext->WriteCompletionParams.IoStatus.Status is not STATUS_SUCCESS! Retries: %d\n",
                  (int)deviceContext->WriteRetriesLeftCount);
    }
    if (deviceContext->PendingWriteRequest == NULL) {
        return;
    }
    HartTrace(0x01, "%s Completing Write request with Status STATUS_TRANSACTION_TIMED_OUT\n", "HartMasterFailTransmit");
    WdfRequestComplete(deviceContext->PendingWriteRequest, STATUS_TRANSACTION_TIMED_OUT);
    HartForgetPendingWrite(deviceContext);
    if (deviceContext->SerialReadActive == 0 && deviceContext->WorkItemRead != NULL) {
        HartEnqueuePortWorkItem(deviceContext->WorkItemRead, Device);
    }
}

VOID xmit_confirm(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartActionContext(Device, 0x03, "xmit_confirm");
    if (deviceContext == NULL) {
        return;
    }
    deviceContext->WriteRetriesLeftCount = 0;
    if (deviceContext->PendingWriteRequest == NULL) {
        return;
    }
    NTSTATUS status = deviceContext->WriteCompletionParams.IoStatus.Status;
    ULONG_PTR information = deviceContext->WriteCompletionParams.IoStatus.Information;
    HartTrace(0x01, "xmit_confirm Complete PendingWriteRequest Status: %x   Information: %d\n", (unsigned)status,
              (int)information);
    WdfRequestCompleteWithInformation(deviceContext->PendingWriteRequest, status, information);
    HartForgetPendingWrite(deviceContext);
}
