/*
 * Port control requests: the baud rate, the protocol settings, the receive
 * mask and the removal notification. Every request is completed before the
 * callback returns.
 */
#include "port/HartPort.h"
#include "link/HartTrace.h"
#include "serial/HartSerial.h"

#define HART_SLAVE_RT1_DIFF_SECONDARY 8
#define HART_MODE_RT1_PRIMARY 34
#define HART_MODE_GAP 3

/* Fetches a buffer of at least Minimum bytes, tracing a failure in the request's own words. */
static NTSTATUS HartRetrieveBuffer(WDFREQUEST Request, BOOLEAN Output, size_t Minimum, PVOID* Buffer, size_t* Length,
                                   PCSTR RequestName)
{
    NTSTATUS status = Output ? WdfRequestRetrieveOutputBuffer(Request, Minimum, Buffer, Length)
                             : WdfRequestRetrieveInputBuffer(Request, Minimum, Buffer, Length);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, Output ? "%s Error: Failed to retrieve Output buffer with status: 0x%X\n"
                               : "%s Error: Failed to retrieve Input buffer with status: 0x%X\n",
                  RequestName, (unsigned)status);
    }
    return status;
}

/* The baud-rate request goes on to the serial driver; the client does not wait for its answer. */
static NTSTATUS HartForwardBaudRate(PHARTDEVICE_CONTEXT DeviceContext, ULONG BaudRate)
{
    HartTrace(0x10, "%s Set %S to Baudrate: %d\n", "HartQueueEvtIoDeviceControl", DeviceContext->SerialPortName,
              (int)BaudRate);
    if (DeviceContext->IoTarget == NULL || WdfIoTargetGetState(DeviceContext->IoTarget) != WdfIoTargetStarted) {
        HartTrace(0x01, "%s Error: IoTarget is not in Ready state\n", "HartQueueEvtIoDeviceControl");
        return STATUS_DEVICE_NOT_READY;
    }
    return HartSendSerialIoctlAsync(DeviceContext, "HartQueueEvtIoDeviceControl", IOCTL_SERIAL_SET_BAUD_RATE,
                                    BaudRate);
}

static VOID HartTraceProtocol(ULONG Level, const HART_PROTOCOL_INFO* Protocol)
{
    HartTrace(Level, "pDeviceContext->HartProtocolInfo.MasterType: 0x%02X\n", Protocol->MasterType);
    HartTrace(Level, "pDeviceContext->HartProtocolInfo.RetryCount: 0x%02X\n", Protocol->RetryCount);
}

/*
 * A slave sends nothing, so a write the master still held, waiting for the
 * bus or for its answer, would block the sequential write queue until the
 * port closes. It ends as the writes after the switch do.
 */
static VOID HartEndWriteForSlave(PHARTDEVICE_CONTEXT DeviceContext)
{
    ClearTransmitRequest(DeviceContext->Device);
    if (DeviceContext->PendingWriteRequest != NULL) {
        HartTrace(0x01, "%s: the port became a slave, its pending write ends\n", "HartQueueEvtIoDeviceControl");
    }
    HartEndPendingWrite(DeviceContext, STATUS_INVALID_DEVICE_STATE);
}

/* A master that becomes a slave: the timing set of the new role, and the link restarts. */
static VOID HartSwitchToSlave(PHARTDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->HartProtocolInfo.StateMachineMode = HART_MODE_SLAVE;
    HartEndWriteForSlave(DeviceContext);
    DeviceContext->Rt1Diff =
        (DeviceContext->HartProtocolInfo.MasterType & HART_PRIMARY_MASTER) ? 0 : HART_SLAVE_RT1_DIFF_SECONDARY;
    DeviceContext->Rt1Primary = HART_MODE_RT1_PRIMARY;
    DeviceContext->Gap = HART_MODE_GAP;
    DeviceContext->QuietTime = (USHORT)(DeviceContext->Rt1Diff + HART_MODE_RT1_PRIMARY);
    DeviceContext->BgTimeStart = (USHORT)(DeviceContext->BgTimeBase + DeviceContext->QuietTime + 1);
    DeviceContext->BgTimeError = (USHORT)(DeviceContext->BgTimeBase + DeviceContext->QuietTime - 1);
    ResetPortDataReceiverFsm(DeviceContext->Device);
    FsmMasterProcessEvent(DeviceContext->Device, EVT_STARTUP);
}

static VOID HartSetProtocol(PHARTDEVICE_CONTEXT DeviceContext, const UCHAR* Input)
{
    HART_PROTOCOL_INFO* protocol = &DeviceContext->HartProtocolInfo;
    USHORT requestedMode = (USHORT)(Input[0] | (Input[1] << 8));
    if ((Input[2] & 0x7F) == 0) {
        protocol->MasterType = Input[2];
    }
    protocol->RetryCount = Input[3];
    HartTraceProtocol(0x11, protocol);
    if (protocol->StateMachineMode == HART_MODE_MASTER) {
        HartTrace(0x11, "pDeviceContext->HartProtocolInfo.StateMachineMode: 0x%04x\n", protocol->StateMachineMode);
        if (requestedMode == HART_MODE_SLAVE) {
            HartSwitchToSlave(DeviceContext);
        }
    } else if (protocol->StateMachineMode == HART_MODE_SLAVE) {
        DeviceContext->Gap = HART_MODE_GAP;
    }
}

static VOID HartSubscribe(PHARTDEVICE_CONTEXT DeviceContext, WDFREQUEST Request, const UCHAR* Input,
                          size_t InputLength, NTSTATUS* Status)
{
    PIRP irp = WdfRequestWdmGetIrp(Request);
    if (irp == NULL) {
        return;
    }
    if (InputLength < sizeof(ULONG)) {
        HartTrace(0x01, "System buffer size is too small\n");
        *Status = STATUS_INVALID_PARAMETER;
        return;
    }
    if (DeviceContext->PnpNotificationEvent != NULL) {
        ObDereferenceObject(DeviceContext->PnpNotificationEvent);
        DeviceContext->PnpNotificationEvent = NULL;
    }
    ULONG handleValue = (ULONG)Input[0] | ((ULONG)Input[1] << 8) | ((ULONG)Input[2] << 16) | ((ULONG)Input[3] << 24);
    PVOID event = NULL;
    NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)handleValue, SYNCHRONIZE | EVENT_MODIFY_STATE,
                                                *ExEventObjectType, irp->RequestorMode, &event, NULL);
    if (NT_SUCCESS(status)) {
        DeviceContext->PnpNotificationEvent = (PKEVENT)event;
        HartTrace(0x01, "SUCCESS!!!!\n");
    } else {
        HartTrace(0x01, "FAILED!!!! Status: 0x%2X\n", (unsigned)status);
        /* The client learns that no notification will come, rather than wait for one. */
        *Status = status;
    }
}

/* Handles one known code; the status and information to complete the request with. */
static NTSTATUS HartPortControl(PHARTDEVICE_CONTEXT DeviceContext, WDFREQUEST Request, ULONG IoControlCode,
                                ULONG_PTR* Information)
{
    PVOID input = NULL;
    PVOID output = NULL;
    size_t inputLength = 0;
    size_t outputLength = 0;
    NTSTATUS status;
    HART_PROTOCOL_INFO* protocol = &DeviceContext->HartProtocolInfo;
    switch (IoControlCode) {
    case IOCTL_HART_SET_BAUD_RATE:
        HartTrace(0x04, "IOCTL_HART_SET_BAUD_RATE 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, sizeof(ULONG), &input, &inputLength, "IOCTL_HART_SET_BAUD_RATE");
        if (NT_SUCCESS(status)) {
            ULONG rate;
            RtlCopyMemory(&rate, input, sizeof(rate));
            status = HartForwardBaudRate(DeviceContext, rate);
        }
        return status;
    case IOCTL_HART_GET_PROTOCOL:
        HartTrace(0x04, "IOCTL_HART_GET_PROTOCOL 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, 4, &input, &inputLength, "IOCTL_HART_GET_PROTOCOL");
        if (NT_SUCCESS(status)) {
            status = HartRetrieveBuffer(Request, TRUE, 4, &output, &outputLength, "IOCTL_HART_GET_PROTOCOL");
        }
        if (NT_SUCCESS(status)) {
            PUCHAR bytes = (PUCHAR)output;
            bytes[0] = (UCHAR)(protocol->StateMachineMode & 0xFF);
            bytes[1] = (UCHAR)(protocol->StateMachineMode >> 8);
            bytes[2] = protocol->MasterType;
            bytes[3] = protocol->RetryCount;
            HartTraceProtocol(0x10, protocol);
            HartTrace(0x10, "pDeviceContext->HartProtocolInfo.StateMachineMode: 0x%04X\n", protocol->StateMachineMode);
            *Information = 4;
        }
        return status;
    case IOCTL_HART_SET_PROTOCOL:
        HartTrace(0x04, "IOCTL_HART_SET_PROTOCOL 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, 4, &input, &inputLength, "IOCTL_HART_SET_PROTOCOL");
        if (NT_SUCCESS(status)) {
            HartSetProtocol(DeviceContext, (const UCHAR*)input);
        }
        return status;
    case IOCTL_HART_GET_READ_MASK:
        HartTrace(0x04, "IOCTL_HART_GET_READ_MASK 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, 1, &input, &inputLength, "IOCTL_HART_GET_READ_MASK");
        if (NT_SUCCESS(status)) {
            status = HartRetrieveBuffer(Request, TRUE, 1, &output, &outputLength, "IOCTL_HART_GET_READ_MASK");
        }
        if (NT_SUCCESS(status)) {
            *(PUCHAR)output = protocol->Rcv_Mask;
            HartTrace(0x11, "pDeviceContext->HartProtocolInfo.Rcv_Mask: 0x%02X\n", protocol->Rcv_Mask);
            *Information = 1;
        }
        return status;
    case IOCTL_HART_SET_READ_MASK:
        HartTrace(0x04, "IOCTL_HART_SET_READ_MASK 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, 1, &input, &inputLength, "IOCTL_HART_SET_READ_MASK");
        if (NT_SUCCESS(status)) {
            protocol->Rcv_Mask = *(const UCHAR*)input;
            HartTrace(0x11, "pDeviceContext->HartProtocolInfo.Rcv_Mask: 0x%02X\n", protocol->Rcv_Mask);
        }
        return status;
    case IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE:
        HartTrace(0x04, "IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, 1, &input, &inputLength,
                                    "IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE");
        if (NT_SUCCESS(status)) {
            HartSubscribe(DeviceContext, Request, (const UCHAR*)input, inputLength, &status);
        }
        return status;
    default: /* IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE */
        HartTrace(0x04, "IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE 0x%X\n", (unsigned)IoControlCode);
        status = HartRetrieveBuffer(Request, FALSE, 1, &input, &inputLength,
                                    "IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE");
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (DeviceContext->PnpNotificationEvent == NULL) {
            return STATUS_UNSUCCESSFUL;
        }
        ObDereferenceObject(DeviceContext->PnpNotificationEvent);
        DeviceContext->PnpNotificationEvent = NULL;
        return STATUS_SUCCESS;
    }
}

static BOOLEAN HartIsPortControlCode(ULONG IoControlCode)
{
    switch (IoControlCode) {
    case IOCTL_HART_SET_BAUD_RATE:
    case IOCTL_HART_GET_PROTOCOL:
    case IOCTL_HART_SET_PROTOCOL:
    case IOCTL_HART_GET_READ_MASK:
    case IOCTL_HART_SET_READ_MASK:
    case IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE:
    case IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE:
        return TRUE;
    default:
        return FALSE;
    }
}

VOID HartQueueEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                 size_t InputBufferLength, ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    HartTrace(0x02, "%s >>>> \n", "HartQueueEvtIoDeviceControl");
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(WdfIoQueueGetDevice(Queue));
    if (!HartIsPortControlCode(IoControlCode)) {
        HartTrace(0x05, "%s Error - Unknown IOCTL...\n", "HartQueueEvtIoDeviceControl");
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
    } else {
        ULONG_PTR information = 0;
        NTSTATUS status = HartPortControl(deviceContext, Request, IoControlCode, &information);
        WdfRequestCompleteWithInformation(Request, status, information);
    }
    HartTrace(0x02, "%s <<<< \n", "HartQueueEvtIoDeviceControl");
}
