/*
 * Client writes: one complete frame per write, held as the port's pending
 * write until the master has an outcome for it (answer, give-up or removal).
 */
#include "port/HartPort.h"
#include "link/HartTrace.h"
#include "serial/HartSerial.h"

VOID HartQueueEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    UNREFERENCED_PARAMETER(Length);
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(WdfIoQueueGetDevice(Queue));
    HartTrace(0x03, "%s >>>> Target: %ws\n", "HartQueueEvtIoWrite", deviceContext->SerialPortName);
    PVOID buffer = NULL;
    size_t bufferLength = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &buffer, &bufferLength);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfRequestRetrieveInputMemory failed with Status: 0x%2X\n", "HartQueueEvtIoWrite",
                  (unsigned)status);
        /* A write that cannot be sent ends now rather than block the queue for ever. */
        WdfRequestComplete(Request, status);
        return;
    }
    if (deviceContext->lOpenedFileHandleCount == 0) {
        /* Cleanup has run: the handle is closing and no link will send this frame. */
        HartTrace(0x01, "%s: the port is closing, the write ends\n", "HartQueueEvtIoWrite");
        WdfRequestComplete(Request, STATUS_CANCELLED);
        return;
    }
    if (bufferLength > HART_MAX_WRITE_LENGTH) {
        /* No frame is this long, and the answer wait it would buy does not fit its counter. */
        HartTrace(0x01, "%s Error: %d bytes are more than the longest frame with the most preambles (%d)\n",
                  "HartQueueEvtIoWrite", (int)bufferLength, HART_MAX_WRITE_LENGTH);
        WdfRequestComplete(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    if (deviceContext->HartProtocolInfo.StateMachineMode != HART_MODE_MASTER) {
        /* A slave sends nothing: the write would wait for ever behind the sequential queue. */
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_STATE);
        return;
    }
    deviceContext->PendingWriteRequest = Request;
    deviceContext->WriteBuffer = buffer;
    deviceContext->WriteBufferLength = bufferLength;
    FsmMasterProcessEvent(deviceContext->Device, EVT_XMIT_REQ);
}

VOID HartEvtIoCanceledOnQueueWrite(WDFQUEUE Queue, WDFREQUEST Request)
{
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(device);
    HartTrace(0x02, "%s >>>> \n", "HartEvtIoCanceledOnQueueWrite");
    WdfWorkItemFlush(deviceContext->WorkItemWrite);
    if (deviceContext->WriteRequestToSerial != NULL) {
        WdfRequestCancelSentRequest(deviceContext->WriteRequestToSerial);
        WdfObjectDelete(deviceContext->WriteRequestToSerial);
        deviceContext->WriteRequestToSerial = NULL;
    }
    if (deviceContext->IoTarget != NULL && WdfIoTargetGetState(deviceContext->IoTarget) == WdfIoTargetStarted) {
        HartPurgeSerialPort(device, HART_PURGE_ALL);
    }
    WdfRequestComplete(Request, STATUS_CANCELLED);
    HartTrace(0x02, "%s <<<< \n", "HartEvtIoCanceledOnQueueWrite");
}

VOID HartEndPendingWrite(PHARTDEVICE_CONTEXT DeviceContext, NTSTATUS Status)
{
    DeviceContext->WriteRetriesLeftCount = 0;
    if (DeviceContext->PendingWriteRequest == NULL) {
        return;
    }
    WdfRequestComplete(DeviceContext->PendingWriteRequest, Status);
    DeviceContext->PendingWriteRequest = NULL;
    DeviceContext->WriteBuffer = NULL;
    DeviceContext->WriteBufferLength = 0;
}
