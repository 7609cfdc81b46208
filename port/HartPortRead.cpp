/*
 * Client reads: one read returns at most one received frame. A read that
 * finds a delivered frame is served at once; otherwise it waits, in order, in
 * the port's manual queue until the receiver delivers the next frame.
 */
#include "port/HartPort.h"
#include "link/HartTrace.h"
#include "serial/HartSerial.h"

/* Copies what fits of the delivered frame; what is copied is given to no other read. */
static size_t HartCopyReadableFrame(PHARTDEVICE_CONTEXT DeviceContext, PUCHAR Buffer, size_t BufferLength)
{
    size_t copied = 0;
    while (copied < BufferLength && DeviceContext->CommData.ReadLength != 0) {
        Buffer[copied++] = *DeviceContext->CommData.pReadBuffer++;
        DeviceContext->CommData.ReadLength--;
    }
    return copied;
}

static BOOLEAN HartFrameWaitsForRead(PHARTDEVICE_CONTEXT DeviceContext)
{
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(DeviceContext->QueueReadSecondary, NULL, NULL);
    return (state & WdfIoQueueNoRequests) != 0 && (state & WdfIoQueueDriverNoRequests) != 0 &&
           DeviceContext->CommData.ReadLength != 0;
}

VOID HartQueueEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Length);
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(WdfIoQueueGetDevice(Queue));
    HartTrace(0x03, "%s >>>> Target: %ws\n", "HartQueueEvtIoRead", deviceContext->SerialPortName);
    WdfWaitLockAcquire(deviceContext->QueueReadSecondaryLock, NULL);
    if (!HartFrameWaitsForRead(deviceContext)) {
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, deviceContext->QueueReadSecondary);
        WdfWaitLockRelease(deviceContext->QueueReadSecondaryLock);
        if (!NT_SUCCESS(status)) {
            WdfRequestComplete(Request, status);
        }
        return;
    }
    PVOID buffer = NULL;
    size_t bufferLength = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 1, &buffer, &bufferLength);
    if (!NT_SUCCESS(status)) {
        WdfWaitLockRelease(deviceContext->QueueReadSecondaryLock);
        HartTrace(0x01, "%s Error: WdfRequestRetrieveOutputBuffer failed with Status: 0x%2X\n", "HartQueueEvtIoRead",
                  (unsigned)status);
        WdfRequestComplete(Request, status);
        return;
    }
    /* What does not fit stays for the next read, which continues the same frame. */
    size_t copied = HartCopyReadableFrame(deviceContext, (PUCHAR)buffer, bufferLength);
    if (deviceContext->CommData.ReadFrameCorrupt) {
        HartTrace(0x01, "HART1: EVT_GOT_ERR!!!\n");
        WdfWaitLockRelease(deviceContext->QueueReadSecondaryLock);
        WdfRequestCompleteWithInformation(Request, STATUS_CRC_ERROR, copied);
        return;
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, copied);
    WdfWaitLockRelease(deviceContext->QueueReadSecondaryLock);
}

VOID HartCompleteNextReadRequest(PHARTDEVICE_CONTEXT DeviceContext)
{
    HartTrace(0x02, "%s >>>>>\n", "HartCompleteNextReadRequest");
    if (DeviceContext == NULL || DeviceContext->QueueReadSecondary == NULL) {
        return;
    }
    if (DeviceContext->CommData.ReadLength == 0) {
        /* No frame came: a read ended now would report success with nothing. It waits on. */
        HartTrace(0x10, "%s: no frame to deliver, the read waits\n", "HartCompleteNextReadRequest");
        return;
    }
    WDFREQUEST request = NULL;
    if (!NT_SUCCESS(WdfIoQueueRetrieveNextRequest(DeviceContext->QueueReadSecondary, &request))) {
        return;
    }
    if (request == NULL) {
        HartTrace(0x01, "%s Error: Retrieved Request is NULL!\n", "HartCompleteNextReadRequest");
        return;
    }
    HartCompleteReadRequest(request, DeviceContext);
}

NTSTATUS HartCompleteReadRequest(WDFREQUEST Request, PHARTDEVICE_CONTEXT DeviceContext)
{
    if (Request == NULL || DeviceContext == NULL) {
        HartTrace(0x01, "%s Error: Request or pDeviceContext is NULL!\n", "HartCompleteReadRequest");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (DeviceContext->CommData.ReadFrameCorrupt) {
        HartTrace(0x01, "HART2: EVT_GOT_ERR!!!\n");
        status = STATUS_CRC_ERROR;
    }
    PVOID buffer = NULL;
    size_t bufferLength = 0;
    size_t copied = 0;
    NTSTATUS bufferStatus = WdfRequestRetrieveOutputBuffer(Request, 1, &buffer, &bufferLength);
    if (!NT_SUCCESS(bufferStatus)) {
        HartTrace(0x01, "%s Error: WdfRequestRetrieveOutputBuffer failed with Status: 0x%X\n",
                  "HartCompleteReadRequest", (unsigned)bufferStatus);
        status = STATUS_UNSUCCESSFUL;
    } else {
        copied = HartCopyReadableFrame(DeviceContext, (PUCHAR)buffer, bufferLength);
    }
    /* A waiting read takes the frame whole or not at all: the rest is dropped. */
    DeviceContext->CommData.ReadLength = 0;
    HartTrace(0x01, "ReadCompletionStatus: 0x%8X information: %d\n", (unsigned)status, (int)copied);
    WdfRequestCompleteWithInformation(Request, status, copied);
    return bufferStatus;
}

VOID HartEvtIoCanceledOnQueueRead(WDFQUEUE Queue, WDFREQUEST Request)
{
    HartTrace(0x02, "%s >>>>> \n", "HartEvtIoCanceledOnQueueRead");
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(device);
    /*
     * Nothing here waits: the client's close may wait for this read's
     * cancellation, so a wait here could run that close inside this
     * callback, which then waits for itself. A read work item already queued
     * is held rather than flushed, and the purge is sent without waiting.
     */
    deviceContext->SerialReadActive = 0;
    deviceContext->SerialReadHeld = TRUE;
    if (deviceContext->ReadRequestToSerial != NULL && !WdfRequestCancelSentRequest(deviceContext->ReadRequestToSerial)) {
        HartTrace(0x01, "WdfRequestCancelSentRequest failed!\n");
    }
    if (deviceContext->IoTarget != NULL && WdfIoTargetGetState(deviceContext->IoTarget) == WdfIoTargetStarted) {
        HartSendSerialIoctlAsync(deviceContext, "HartPurgeSerialPort", IOCTL_SERIAL_PURGE, HART_PURGE_ALL);
    }
    WdfRequestComplete(Request, STATUS_CANCELLED);
}
