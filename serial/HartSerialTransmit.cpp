/*
 * The serial transmit path: one serial write per transmitted frame, timed so
 * that the master can allow for characters still leaving the line when the
 * serial driver reports early, and the resume work item that brings the port
 * back after its I/O was suspended.
 */
#include "serial/HartSerial.h"
#include "link/HartTrace.h"

/* A serial driver that reports within this many milliseconds still has bytes on the line. */
#define HART_WRITE_DRAIN_THRESHOLD_MS 30
/* Bus-grant ticks that a write's outcome gives the master before the answer wait. */
#define HART_BG_AFTER_WRITE 3

static PHARTDEVICE_CONTEXT HartWorkItemPortContext(WDFWORKITEM WorkItem)
{
    PWORKITEM_CONTEXT workItemContext = HartGetWorkItemContext(WorkItem);
    WDFDEVICE device = (workItemContext != NULL) ? workItemContext->Device : NULL;
    return (device != NULL) ? HartGetDeviceContext(device) : NULL;
}

static VOID HartDeleteWriteRequestToSerial(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->WriteRequestToSerial != NULL) {
        WdfObjectDelete(DeviceContext->WriteRequestToSerial);
        DeviceContext->WriteRequestToSerial = NULL;
    }
}

/* The frame was not sent: the master moves on as if it had been, and gets no answer. */
static VOID HartWriteFailureEnding(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->HartProtocolInfo.StateMachineMode != HART_MODE_MASTER) {
        return;
    }
    DeviceContext->HartBusGrantTimeCounter = HART_BG_AFTER_WRITE;
    FsmMasterProcessEvent(DeviceContext->Device, EVT_XMIT_DONE);
    HartRearmSerialRead(DeviceContext);
}

VOID HartWriteDataToSerialPort(PHARTDEVICE_CONTEXT DeviceContext)
{
    HartTrace(0x10, "%s >>>>\n", "HartWriteDataToSerialPort");
    ResetPortDataReceiverFsm(DeviceContext->Device);
    if (DeviceContext->ReadRequestToSerial != NULL && WdfRequestCancelSentRequest(DeviceContext->ReadRequestToSerial)) {
        HartTrace(0x10, "Read request cancelled!\n");
    }
    if (DeviceContext->WorkItemWrite != NULL) {
        HartEnqueuePortWorkItem(DeviceContext->WorkItemWrite, DeviceContext->Device);
    }
}

/* Builds the frame's memory, formats and sends the write; the status when it did not go out. */
static NTSTATUS HartSendFrameToSerial(PHARTDEVICE_CONTEXT DeviceContext, BOOLEAN* Stop)
{
    *Stop = FALSE;
    NTSTATUS status;
    if (DeviceContext->WriteRequestToSerial == NULL) {
        HartTrace(0x01, "Create new Write Request!\n");
        WDF_OBJECT_ATTRIBUTES requestAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&requestAttributes);
        requestAttributes.ParentObject = DeviceContext->IoTarget;
        status = WdfRequestCreate(&requestAttributes, DeviceContext->IoTarget, &DeviceContext->WriteRequestToSerial);
        if (!NT_SUCCESS(status)) {
            DeviceContext->WriteRequestToSerial = NULL;
            HartTrace(0x01, "Error: WdfRequestCreate Failed with Status: 0x%X!\n", (unsigned)status);
            *Stop = TRUE;
            return status;
        }
    }
    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
    memoryAttributes.ParentObject = DeviceContext->WriteRequestToSerial;
    WDFMEMORY memory = NULL;
    status = (DeviceContext->WriteBufferLength == 0)
                 ? STATUS_INVALID_PARAMETER
                 : WdfMemoryCreate(&memoryAttributes, NonPagedPool, HART_POOL_TAG, DeviceContext->WriteBufferLength,
                                   &memory, NULL);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Error: WdfMemoryCreate Failed with Status: 0x%X!\n", (unsigned)status);
        HartDeleteWriteRequestToSerial(DeviceContext);
        *Stop = TRUE;
        return status;
    }
    status = WdfMemoryCopyFromBuffer(memory, 0, DeviceContext->WriteBuffer, DeviceContext->WriteBufferLength);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Error: WdfMemoryCopyFromBuffer Failed with Status: 0x%X!\n", (unsigned)status);
        HartDeleteWriteRequestToSerial(DeviceContext);
        *Stop = TRUE;
        return status;
    }
    if (WdfIoTargetGetState(DeviceContext->IoTarget) != WdfIoTargetStarted) {
        HartTrace(0x01, "STATUS_INVALID_DEVICE_STATE....\n");
        return STATUS_INVALID_DEVICE_STATE;
    }
    HartTrace(0x01, "WdfIoTargetStarted....\n");
    status = WdfIoTargetFormatRequestForWrite(DeviceContext->IoTarget, DeviceContext->WriteRequestToSerial, memory, NULL,
                                              NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfRequestSetCompletionRoutine(DeviceContext->WriteRequestToSerial, HartWriteRequestToSerialCompletion,
                                   DeviceContext);
    DeviceContext->HartResposeWaitBufferTime = 0;
    LARGE_INTEGER frequency;
    DeviceContext->WriteStartCounter = KeQueryPerformanceCounter(&frequency).QuadPart;
    DeviceContext->PerformanceFrequency = frequency.QuadPart;
    if (!WdfRequestSend(DeviceContext->WriteRequestToSerial, DeviceContext->IoTarget, WDF_NO_SEND_OPTIONS)) {
        status = WdfRequestGetStatus(DeviceContext->WriteRequestToSerial);
        HartTrace(0x01, "WdfRequestSend WRITE failed with Status: 0x%X\n", (unsigned)status);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    return STATUS_SUCCESS;
}

VOID HartEvtWorkItemWrite(WDFWORKITEM WorkItem)
{
    HartTrace(0x02, "%s\n", "HartEvtWorkItemWrite");
    PHARTDEVICE_CONTEXT deviceContext = HartWorkItemPortContext(WorkItem);
    if (deviceContext == NULL) {
        return;
    }
    if (deviceContext->IoTarget == NULL) {
        HartTrace(0x01, "IoTarget is NULL!\n");
        /* Without a target nothing goes out; the master's retry rules end the write. */
        HartWriteFailureEnding(deviceContext);
        return;
    }
    WDF_IO_TARGET_STATE targetState = WdfIoTargetGetState(deviceContext->IoTarget);
    HartTrace(0x01, "2 stateIoTarget: %d\n", (int)targetState);
    if (deviceContext->PendingWriteRequest == NULL || targetState != WdfIoTargetStarted) {
        HartTrace(0x01, "Error: pDeviceContext->PendingWriteRequest is NULL!\n");
        HartDeleteWriteRequestToSerial(deviceContext);
        HartWriteFailureEnding(deviceContext);
        return;
    }
    BOOLEAN stop = FALSE;
    NTSTATUS status = HartSendFrameToSerial(deviceContext, &stop);
    if (NT_SUCCESS(status)) {
        HartTrace(0x01, ">>>> NT_SUCCESS(Status)\n");
        return;
    }
    if (stop) {
        /*
         * The frame could not even be built. Rather than leave the master
         * waiting in its transmitting state with the write pending for ever,
         * take the failure ending: the master's retry rules then decide.
         */
        HartWriteFailureEnding(deviceContext);
        return;
    }
    HartTrace(0x01, "!NT_SUCCESS(Status): 0x%X\n", (unsigned)status);
    HartDeleteWriteRequestToSerial(deviceContext);
    HartWriteFailureEnding(deviceContext);
}

/* A target the serial driver reported in an invalid state is opened afresh; FALSE when that failed. */
static BOOLEAN HartReopenSerialTarget(PHARTDEVICE_CONTEXT DeviceContext)
{
    WdfIoTargetClose(DeviceContext->IoTarget);
    HartTrace(0x11, "openning IO Target...\n");
    NTSTATUS status = HartOpenSerialTarget(DeviceContext, HART_SERIAL_REOPEN_ACCESS);
    if (NT_SUCCESS(status)) {
        return TRUE;
    }
    /* The write request is the target's child and goes with it. */
    WdfObjectDelete(DeviceContext->IoTarget);
    DeviceContext->IoTarget = NULL;
    DeviceContext->WriteRequestToSerial = NULL;
    HartTrace(0x01, "%s Error: WdfIoTargetOpen failed with status: 0x2X!\n", "HartWriteRequestToSerialCompletion");
    return FALSE;
}

VOID HartWriteRequestToSerialCompletion(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                                        WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(Target);
    HartTrace(0x02, "%s >>>>\n", "HartWriteRequestToSerialCompletion");
    PHARTDEVICE_CONTEXT deviceContext = (PHARTDEVICE_CONTEXT)Context;
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: pDeviceContext is NULL\n", "HartWriteRequestToSerialCompletion");
        return;
    }
    HartTrace(0x10, "%s: Status = 0x%X   BytesWritten: %d\n", "HartWriteRequestToSerialCompletion",
              (unsigned)Params->IoStatus.Status, (int)Params->IoStatus.Information);
    if (Params->IoStatus.Status == STATUS_INVALID_DEVICE_STATE && deviceContext->IoTarget != NULL &&
        !HartReopenSerialTarget(deviceContext)) {
        /* The port has lost its target; the master still hears of the write, so the client's write ends. */
        deviceContext->WriteCompletionParams = *Params;
        HartWriteFailureEnding(deviceContext);
        return;
    }
    deviceContext->WriteCompletionParams = *Params;
    if (Params->Parameters.Write.Buffer != NULL) {
        WdfObjectDelete(Params->Parameters.Write.Buffer);
    }
    if (deviceContext->HartProtocolInfo.StateMachineMode == HART_MODE_MASTER) {
        deviceContext->HartBusGrantTimeCounter = HART_BG_AFTER_WRITE;
        LARGE_INTEGER end = KeQueryPerformanceCounter(NULL);
        deviceContext->WriteEndCounter = end.QuadPart;
        LONGLONG elapsedMs = (deviceContext->PerformanceFrequency != 0)
                                 ? (deviceContext->WriteEndCounter - deviceContext->WriteStartCounter) * 1000 /
                                       deviceContext->PerformanceFrequency
                                 : HART_WRITE_DRAIN_THRESHOLD_MS;
        if (elapsedMs < HART_WRITE_DRAIN_THRESHOLD_MS) {
            deviceContext->HartResposeWaitBufferTime = (USHORT)((Params->IoStatus.Information * 9) / 10);
        }
        FsmMasterProcessEvent(deviceContext->Device, EVT_XMIT_DONE);
        HartRearmSerialRead(deviceContext);
    }
    HartTrace(0x02, "%s <<<<\n", "HartWriteRequestToSerialCompletion");
}

/* After a suspend stopped the target: a new target, opened by name. FALSE when that failed. */
static BOOLEAN HartRecreateSerialTarget(PHARTDEVICE_CONTEXT DeviceContext)
{
    WdfIoTargetClose(DeviceContext->IoTarget);
    WdfObjectDelete(DeviceContext->IoTarget);
    DeviceContext->IoTarget = NULL;
    DeviceContext->WriteRequestToSerial = NULL;
    WDF_OBJECT_ATTRIBUTES targetAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&targetAttributes);
    targetAttributes.ParentObject = DeviceContext->Device;
    WDFIOTARGET target = NULL;
    NTSTATUS status = WdfIoTargetCreate(DeviceContext->Device, &targetAttributes, &target);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfIoTargetCreate failed with status: 0x2X!\n", "HartEvtWorkItemTriggerTx");
        return FALSE;
    }
    DeviceContext->IoTarget = target;
    HartTrace(0x11, "openning IO Target...\n");
    status = HartOpenSerialTarget(DeviceContext, HART_SERIAL_REOPEN_ACCESS);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(target);
        DeviceContext->IoTarget = NULL;
        HartTrace(0x01, "%s Error: WdfIoTargetOpen failed with status: 0x2X!\n", "HartEvtWorkItemTriggerTx");
        return FALSE;
    }
    HartTrace(0x01, "After Open stateIoTarget: %d\n", (int)WdfIoTargetGetState(target));
    return TRUE;
}

VOID HartEvtWorkItemTriggerTx(WDFWORKITEM WorkItem)
{
    HartTrace(0x02, "%s\n", "HartEvtWorkItemTriggerTx");
    PHARTDEVICE_CONTEXT deviceContext = HartWorkItemPortContext(WorkItem);
    if (deviceContext == NULL) {
        return;
    }
    if (deviceContext->IoTarget != NULL) {
        if (WdfIoTargetGetState(deviceContext->IoTarget) == WdfIoTargetStopped &&
            !HartRecreateSerialTarget(deviceContext)) {
            /* An open port answers control requests even without its serial port. */
            if (deviceContext->QueueIoctl != NULL) {
                WdfIoQueueStart(deviceContext->QueueIoctl);
            }
            /* A pending write is still raised: with no target it fails by the master's rules instead of hanging. */
            if (deviceContext->PendingWriteRequest != NULL) {
                FsmMasterProcessEvent(deviceContext->Device, EVT_XMIT_REQ);
            }
            return;
        }
        NTSTATUS status = HartSetSerialFIFOControl(deviceContext, SERIAL_IOC_FCR_FIFO_ENABLE);
        if (!NT_SUCCESS(status)) {
            HartTrace(0x01, "%s Error: HartSetSerialFIFOControl failed with status %X!\n", "HartEvtWorkItemTriggerTx",
                      (unsigned)status);
        }
        HartTrace(0x10, "%s Initiate read!\n", "HartEvtWorkItemTriggerTx");
        HartRearmSerialRead(deviceContext);
        if (deviceContext->QueueReadSecondary != NULL) {
            WdfWaitLockAcquire(deviceContext->QueueReadSecondaryLock, NULL);
            WdfIoQueueStart(deviceContext->QueueReadSecondary);
            WdfWaitLockRelease(deviceContext->QueueReadSecondaryLock);
        }
        if (deviceContext->QueueWriteSecondary != NULL) {
            WdfIoQueueStart(deviceContext->QueueWriteSecondary);
        }
        if (deviceContext->QueueIoctl != NULL) {
            WdfIoQueueStart(deviceContext->QueueIoctl);
        }
    }
    if (deviceContext->PendingWriteRequest != NULL) {
        FsmMasterProcessEvent(deviceContext->Device, EVT_XMIT_REQ);
    }
}
