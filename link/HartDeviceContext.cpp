/*
 * Defaults of a new port record. The timing set is copied from the driver's
 * record once, at creation: later changes to the driver-wide set never reach
 * an existing port.
 */
#include "HartDeviceContext.h"
#include "HartTrace.h"

#define HART_BG_TIME_BASE 265
#define HART_DEFAULT_RETRY_COUNT 2
#define HART_DEFAULT_RCV_MASK 0x02

VOID HartInitializeDeviceContext(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "Unable to get Device Context! \n");
        return;
    }
    PDRIVER_CONTEXT driverContext = HartGetDriverContext(WdfDeviceGetDriver(Device));
    if (driverContext == NULL) {
        HartTrace(0x01, "Unable to get Driver Context! \n");
        return;
    }
    HART_COMM_DATA* commData = &deviceContext->CommData;
    RtlZeroMemory(commData->Buffer_Xmt, sizeof(commData->Buffer_Xmt));
    RtlZeroMemory(commData->Buffer_Rcv1, sizeof(commData->Buffer_Rcv1));
    RtlZeroMemory(commData->Buffer_Rcv2, sizeof(commData->Buffer_Rcv2));
    commData->pRcvBuffer = commData->Buffer_Rcv1;
    commData->pReadBuffer = commData->Buffer_Rcv1;
    commData->pRcvInsert = commData->Buffer_Rcv1;

    HART_PROTOCOL_INFO* protocol = &deviceContext->HartProtocolInfo;
    protocol->StateMachineMode = HART_MODE_MASTER;
    protocol->MasterType = HART_PRIMARY_MASTER;
    protocol->RetryCount = HART_DEFAULT_RETRY_COUNT;
    protocol->Rcv_Mask = HART_DEFAULT_RCV_MASK;

    deviceContext->Hold = driverContext->Hold;
    deviceContext->Gap = driverContext->Gap;
    deviceContext->Rt1Primary = driverContext->Rt1Primary;
    deviceContext->Rt1Secondary = driverContext->Rt1Secondary;
    deviceContext->Rt2 = driverContext->Rt2;
    deviceContext->Sto = driverContext->Sto;
    deviceContext->QuietTime = driverContext->QuietTime;
    deviceContext->BgTimeStart = driverContext->BgTimeStart;
    deviceContext->BgTimeError = driverContext->BgTimeError;
    deviceContext->Rt1Diff = driverContext->Rt1Diff;
    deviceContext->Pre2 = driverContext->Pre2;
    deviceContext->MissedTransmitWindow = driverContext->MissedTransmitWindow;
    deviceContext->BgTimeBase = HART_BG_TIME_BASE;

    deviceContext->WriteRetriesLeftCount = 0;
    deviceContext->TimeInterval = (LONGLONG)driverContext->TimeInterval;
}

BOOLEAN HartInitializeStateMachines(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "pDeviceContext is NULL!\n");
        return FALSE;
    }
    HartTrace(0x02, "%s >>>> \n", "HartInitializeStateMachines");
    if (!HartFsmEventQueueInitialize(Device)) {
        return FALSE;
    }
    HartTrace(0x02, "%s <<<< \n", "HartInitializeStateMachines");
    return TRUE;
}
