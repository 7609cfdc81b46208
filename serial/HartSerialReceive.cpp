/*
 * The serial receive path: exactly one one-character read is outstanding on
 * the serial port while the port is open. Each read is a fresh request; its
 * completion feeds the character to the receiver, releases the request and
 * has the read work item start the next one.
 */
#include "serial/HartSerial.h"
#include "link/HartTrace.h"
#include "port/HartPort.h"

/* Releases the read and everything under it; the field says no read exists. */
static VOID HartReleaseSerialRead(PHARTDEVICE_CONTEXT DeviceContext, WDFMEMORY Memory)
{
    if (Memory != NULL) {
        WdfObjectDelete(Memory);
    }
    if (DeviceContext->ReadRequestToSerial != NULL) {
        WdfObjectDelete(DeviceContext->ReadRequestToSerial);
        DeviceContext->ReadRequestToSerial = NULL;
    }
}

BOOLEAN HartReadDataFromPort(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL || DeviceContext->ReadRequestToSerial != NULL) {
        return FALSE;
    }
    if (DeviceContext->IoTarget == NULL) {
        HartTrace(0x01, "pDeviceContext->IoTarget is NULL!\n");
        return FALSE;
    }
    WDF_IO_TARGET_STATE targetState = WdfIoTargetGetState(DeviceContext->IoTarget);
    if (targetState != WdfIoTargetStarted) {
        HartTrace(0x10, "!!!!!!!!!!!!!!!stateIoTarget %d\n", (int)targetState);
    }
    WdfSpinLockAcquire(DeviceContext->ReadSpinLock);

    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&requestAttributes);
    requestAttributes.ParentObject = DeviceContext->Device;
    NTSTATUS status = WdfRequestCreate(&requestAttributes, DeviceContext->IoTarget, &DeviceContext->ReadRequestToSerial);
    if (!NT_SUCCESS(status)) {
        WdfSpinLockRelease(DeviceContext->ReadSpinLock);
        DeviceContext->ReadRequestToSerial = NULL;
        HartTrace(0x01, "%s Error: WdfRequestCreate READ with Status 0x%X\n", "HartReadDataFromPort", (unsigned)status);
        return FALSE;
    }
    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
    memoryAttributes.ParentObject = DeviceContext->ReadRequestToSerial;
    WDFMEMORY memory = NULL;
    status = WdfMemoryCreate(&memoryAttributes, NonPagedPool, HART_POOL_TAG, 1, &memory, NULL);
    if (!NT_SUCCESS(status)) {
        /* Released at once: a read left on record would block every later read for good. */
        WdfSpinLockRelease(DeviceContext->ReadSpinLock);
        HartTrace(0x01, "%s Error: WdfMemoryCreate failed with Status: 0x%X\n", "HartReadDataFromPort",
                  (unsigned)status);
        HartReleaseSerialRead(DeviceContext, NULL);
        return FALSE;
    }
    if (WdfIoTargetGetState(DeviceContext->IoTarget) != WdfIoTargetStarted) {
        WdfSpinLockRelease(DeviceContext->ReadSpinLock);
        HartTrace(0x01, "%s Error: IoTarget is not started\n", "HartReadDataFromPort");
        HartReleaseSerialRead(DeviceContext, memory);
        HartCompleteNextReadRequest(DeviceContext);
        return FALSE;
    }
    status = WdfIoTargetFormatRequestForRead(DeviceContext->IoTarget, DeviceContext->ReadRequestToSerial, memory, NULL,
                                             NULL);
    if (!NT_SUCCESS(status)) {
        WdfSpinLockRelease(DeviceContext->ReadSpinLock);
        HartTrace(0x01, "%s Error: WdfIoTargetFormatRequestForRead Failed with Status 0x%X\n", "HartReadDataFromPort",
                  (unsigned)status);
        HartReleaseSerialRead(DeviceContext, memory);
        return FALSE;
    }
    WdfRequestSetCompletionRoutine(DeviceContext->ReadRequestToSerial, HartGotDataFromSerialPort, DeviceContext);
    DeviceContext->SerialReadSending = TRUE;
    BOOLEAN sent = WdfRequestSend(DeviceContext->ReadRequestToSerial, DeviceContext->IoTarget, WDF_NO_SEND_OPTIONS);
    DeviceContext->SerialReadSending = FALSE;
    if (!sent) {
        WdfSpinLockRelease(DeviceContext->ReadSpinLock);
        NTSTATUS sendStatus = WdfRequestGetStatus(DeviceContext->ReadRequestToSerial);
        /* No completion routine runs for a refused read: it is released here, and no read is under way. */
        HartReleaseSerialRead(DeviceContext, memory);
        if (sendStatus == STATUS_CANCELLED) {
            HartTrace(0x01, "WdfRequestSend Failed: STATUS_CANCELLED\n");
            HartCompleteNextReadRequest(DeviceContext);
        }
        return FALSE;
    }
    WdfSpinLockRelease(DeviceContext->ReadSpinLock);
    return TRUE;
}

VOID HartGotDataFromSerialPort(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                               WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Target);
    PHARTDEVICE_CONTEXT deviceContext = (PHARTDEVICE_CONTEXT)Context;
    WDFMEMORY memory = Params->Parameters.Read.Buffer;
    if (NT_SUCCESS(Params->IoStatus.Status) && Params->IoStatus.Information != 0) {
        PUCHAR character = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Params->IoStatus.Information, HART_POOL_TAG);
        if (character != NULL) {
            if (memory == NULL) {
                HartTrace(0x01, "CompletionParams->Parameters.Read.Buffer is NULL!\n");
                HartCompleteNextReadRequest(deviceContext);
            } else {
                NTSTATUS status = WdfMemoryCopyToBuffer(memory, 0, character, 1);
                if (!NT_SUCCESS(status)) {
                    HartTrace(0x01, "%s WdfMemoryCopyToBuffer FAILED with status 0x%X\n", "HartGotDataFromSerialPort",
                              (unsigned)status);
                    HartCompleteNextReadRequest(deviceContext);
                } else {
                    HartPortDataReceiverFsmProcessReceivedCharacter(deviceContext->Device, character,
                                                                    Params->IoStatus.Status);
                }
            }
            ExFreePoolWithTag(character, HART_POOL_TAG);
        }
    }
    /*
     * Cleanup may already have released this read while it was being
     * cancelled; only the request still on record is ours to release, so the
     * request is released exactly once.
     */
    if (deviceContext->ReadRequestToSerial == Request) {
        HartReleaseSerialRead(deviceContext, memory);
    }
    if (deviceContext->SerialReadSending && !NT_SUCCESS(Params->IoStatus.Status) &&
        Params->IoStatus.Information == 0) {
        /*
         * Failed inside its own send with nothing read: a serial port that is
         * going fails every read that way, so reading again at once would
         * spin. The loop rests until the next transmission or open re-arms it.
         * A read that fails later is read again as before: what the line
         * brings meanwhile is heard as it comes, not left in the serial port.
         */
        HartTrace(0x10, "%s: read ended with 0x%X, the read loop rests\n", "HartGotDataFromSerialPort",
                  (unsigned)Params->IoStatus.Status);
        deviceContext->SerialReadActive = 0;
        return;
    }
    if (deviceContext->WorkItemRead != NULL && deviceContext->SerialReadActive == 1) {
        HartEnqueuePortWorkItem(deviceContext->WorkItemRead, deviceContext->Device);
    }
}

VOID HartRearmSerialRead(PHARTDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->SerialReadHeld = FALSE;
    if (DeviceContext->WorkItemRead != NULL) {
        HartEnqueuePortWorkItem(DeviceContext->WorkItemRead, DeviceContext->Device);
    }
}

VOID HartEvtWorkItemRead(WDFWORKITEM WorkItem)
{
    PWORKITEM_CONTEXT workItemContext = HartGetWorkItemContext(WorkItem);
    WDFDEVICE device = (workItemContext != NULL) ? workItemContext->Device : NULL;
    PHARTDEVICE_CONTEXT deviceContext = (device != NULL) ? HartGetDeviceContext(device) : NULL;
    if (deviceContext == NULL) {
        return;
    }
    if (deviceContext->SerialReadHeld) {
        HartTrace(0x10, "%s: a cancelled read holds the read loop\n", "HartEvtWorkItemRead");
        return;
    }
    /* Set before the send: a read that completes inside it must find the loop running. */
    UCHAR wasActive = deviceContext->SerialReadActive;
    if (!wasActive && deviceContext->IoTarget != NULL &&
        WdfIoTargetGetState(deviceContext->IoTarget) == WdfIoTargetStarted) {
        /* The loop rested: what the serial port kept meanwhile came while
           nobody listened, and would be taken for the answer to the frame
           just sent. The purge goes down ahead of the read. */
        HartSendSerialIoctlAsync(deviceContext, "HartPurgeSerialPort", IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR);
    }
    deviceContext->SerialReadActive = 1;
    if (!HartReadDataFromPort(deviceContext)) {
        /* A target stopped under the loop leaves no read under way: the loop
           rests, so that the transmission that re-arms it purges first what
           the serial port keeps meanwhile. */
        BOOLEAN targetStarted = deviceContext->IoTarget != NULL &&
                                WdfIoTargetGetState(deviceContext->IoTarget) == WdfIoTargetStarted;
        deviceContext->SerialReadActive = targetStarted ? wasActive : 0;
    }
}
