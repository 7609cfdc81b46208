/*
 * Serial port configuration: every setting goes to the serial port's driver
 * as a synchronous device-control request, each step independent of the
 * others, so that one refused setting never keeps the port from opening.
 */
#include "serial/HartSerial.h"
#include "link/HartTrace.h"

#define HART_BAUD_RATE 1200
#define HART_WORD_LENGTH 8

/* Sends one serial request down and waits for its final status. */
static NTSTATUS HartSendSerialRequest(PHARTDEVICE_CONTEXT DeviceContext, PCSTR OperationName, ULONG IoControlCode,
                                      PVOID Input, ULONG InputLength)
{
    HartTrace(0x02, "%s >>>> \n", OperationName);
    PDEVICE_OBJECT targetDevice = WdfIoTargetWdmGetTargetDeviceObject(DeviceContext->IoTarget);
    if (targetDevice == NULL) {
        /* A closed target has no device below it: its serial port went away. */
        HartTrace(0x01, "%s Error: the serial target is not open\n", OperationName);
        return STATUS_INVALID_DEVICE_STATE;
    }
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, targetDevice, Input, InputLength, NULL, 0, FALSE, &event,
                                             &ioStatus);
    NTSTATUS status = STATUS_NO_MEMORY;
    if (irp != NULL) {
        status = IoCallDriver(targetDevice, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = ioStatus.Status;
        }
    }
    HartTrace(0x02, "%s <<<< \n", OperationName);
    return status;
}

/* Every operation needs the record and its target; without them nothing is sent. */
static BOOLEAN HartSerialTargetPresent(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL || DeviceContext->IoTarget == NULL) {
        HartTrace(0x01, "Error: Invalid parameter!\n");
        return FALSE;
    }
    return TRUE;
}

NTSTATUS HartSerialSetHandFlow(PHARTDEVICE_CONTEXT DeviceContext, PSERIAL_HANDFLOW HandFlow)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSerialSetHandFlow", IOCTL_SERIAL_SET_HANDFLOW, HandFlow,
                                 sizeof(SERIAL_HANDFLOW));
}

NTSTATUS HartSerialSetTimeouts(PHARTDEVICE_CONTEXT DeviceContext, PSERIAL_TIMEOUTS Timeouts)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSerialSetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, Timeouts,
                                 sizeof(SERIAL_TIMEOUTS));
}

NTSTATUS HartSetSerialBaudrate(PHARTDEVICE_CONTEXT DeviceContext, ULONG BaudRate)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSetSerialBaudrate", IOCTL_SERIAL_SET_BAUD_RATE, &BaudRate,
                                 sizeof(BaudRate));
}

NTSTATUS HartSetSerialLineControl(PHARTDEVICE_CONTEXT DeviceContext, PSERIAL_LINE_CONTROL LineControl)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSetSerialLineControl", IOCTL_SERIAL_SET_LINE_CONTROL,
                                 LineControl, sizeof(SERIAL_LINE_CONTROL));
}

NTSTATUS HartSetSerialFIFOControl(PHARTDEVICE_CONTEXT DeviceContext, ULONG FifoControl)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSetSerialFIFOControl", IOCTL_SERIAL_SET_FIFO_CONTROL,
                                 &FifoControl, sizeof(FifoControl));
}

NTSTATUS HartSetSerialDtr(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSetSerialDtr", IOCTL_SERIAL_SET_DTR, NULL, 0);
}

NTSTATUS HartSerialSetWaitMask(PHARTDEVICE_CONTEXT DeviceContext, ULONG WaitMask)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(DeviceContext, "HartSerialSetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, &WaitMask,
                                 sizeof(WaitMask));
}

NTSTATUS HartPurgeSerialPort(WDFDEVICE Device, ULONG PurgeMask)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (!HartSerialTargetPresent(deviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    return HartSendSerialRequest(deviceContext, "HartPurgeSerialPort", IOCTL_SERIAL_PURGE, &PurgeMask,
                                 sizeof(PurgeMask));
}

/*
 * One ULONG-valued request sent down without waiting for it; its completion
 * routine deletes it. The caller learns only whether it could be sent.
 */
NTSTATUS HartSendSerialIoctlAsync(PHARTDEVICE_CONTEXT DeviceContext, PCSTR OperationName, ULONG IoControlCode,
                                  ULONG Value)
{
    if (!HartSerialTargetPresent(DeviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&requestAttributes);
    requestAttributes.ParentObject = DeviceContext->IoTarget;
    WDFREQUEST request = NULL;
    NTSTATUS status = WdfRequestCreate(&requestAttributes, DeviceContext->IoTarget, &request);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfRequestCreate failed with Status: 0x%X\n", OperationName,
                  (unsigned)status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES memoryAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
    memoryAttributes.ParentObject = request;
    WDFMEMORY memory = NULL;
    PVOID value = NULL;
    status = WdfMemoryCreate(&memoryAttributes, NonPagedPool, HART_POOL_TAG, sizeof(ULONG), &memory, &value);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfMemoryCreate failed with Status: 0x%X\n", OperationName,
                  (unsigned)status);
        WdfObjectDelete(request);
        return status;
    }
    RtlCopyMemory(value, &Value, sizeof(ULONG));
    status = WdfIoTargetFormatRequestForIoctl(DeviceContext->IoTarget, request, IoControlCode, memory,
                                              NULL, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfIoTargetFormatRequestForIoctl (IOCTL Code: 0x%X)failed with Status: 0x%X\n",
                  OperationName, (unsigned)IoControlCode, (unsigned)status);
        WdfObjectDelete(request);
        return status;
    }
    WdfRequestSetCompletionRoutine(request, IoctlRequestToSerialPortCompletionRoutine, DeviceContext);
    if (!WdfRequestSend(request, DeviceContext->IoTarget, WDF_NO_SEND_OPTIONS)) {
        status = WdfRequestGetStatus(request);
        if (!NT_SUCCESS(status)) {
            HartTrace(0x01, "%s Error: WdfRequestSend Failed with Status: 0x%X\n", OperationName,
                      (unsigned)status);
            WdfObjectDelete(request);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS HartInitializeSerialPort(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (!HartSerialTargetPresent(deviceContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    HartTrace(0x02, "%s >>>> \n", "HartInitializeSerialPort");

    SERIAL_HANDFLOW handFlow = {SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 0, 0};
    NTSTATUS status = HartSerialSetHandFlow(deviceContext, &handFlow);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: HartSerialSetHandFlow failed with status 0x2X!\n", "HartInitializeSerialPort");
    }
    /* No time-outs: a one-character read completes only when its character is there. */
    SERIAL_TIMEOUTS timeouts = {0, 0, 0, 0, 0};
    status = HartSerialSetTimeouts(deviceContext, &timeouts);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: HartSerialSetTimeouts failed with status 0x2X!\n", "HartInitializeSerialPort");
    }
    status = HartSetSerialBaudrate(deviceContext, HART_BAUD_RATE);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: HartSetSerialBaudrate failed with status 0x2X!\n", "HartInitializeSerialPort");
    }
    SERIAL_LINE_CONTROL lineControl = {STOP_BIT_1, ODD_PARITY, HART_WORD_LENGTH};
    status = HartSetSerialLineControl(deviceContext, &lineControl);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: HartSetSerialLineControl failed with status 0x2X!\n", "HartInitializeSerialPort");
    }
    status = HartSetSerialFIFOControl(deviceContext, SERIAL_IOC_FCR_FIFO_ENABLE);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: HartSetSerialFIFOControl failed with status %X!\n", "HartInitializeSerialPort",
                  (unsigned)status);
    }
    status = HartSetSerialDtr(deviceContext);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "HartSetSerialDtr Failed with Status: 0x%X\n", (unsigned)status);
    }
    status = HartSerialSetWaitMask(deviceContext, SERIAL_EV_ERR);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: HartSerialSetWaitMask failed with status 0x%X!\n", "HartInitializeSerialPort",
                  (unsigned)status);
    }
    HartTrace(0x02, "%s <<<< \n", "HartInitializeSerialPort");
    return status;
}

VOID IoctlRequestToSerialPortCompletionRoutine(WDFREQUEST Request, WDFIOTARGET Target,
                                               PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    UNREFERENCED_PARAMETER(Context);
    HartTrace(0x02, "%s >>>> \n", "IoctlRequestToSerialPortCompletionRoutine");
    WDF_REQUEST_COMPLETION_PARAMS completionParams;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams);
    WdfRequestGetCompletionParams(Request, &completionParams);
    NTSTATUS status = completionParams.IoStatus.Status;
    if (completionParams.Type == WdfRequestTypeDeviceControl && NT_SUCCESS(status)) {
        HartTrace(0x10, "Ioctl to Serial Port succeeded...\n");
    }
    HartTrace(0x02, "Params->IoStatus.Status: 0x%X\n", (unsigned)status);
    /* The request was the driver's own: it goes away here with its memory. */
    WdfObjectDelete(Request);
}

NTSTATUS HartOpenSerialTarget(PHARTDEVICE_CONTEXT DeviceContext, ACCESS_MASK DesiredAccess)
{
    UNICODE_STRING serialPortName;
    RtlInitUnicodeString(&serialPortName, DeviceContext->SerialPortName);
    WDF_IO_TARGET_OPEN_PARAMS openParams;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&openParams, &serialPortName, DesiredAccess);
    openParams.ShareAccess = 0;
    openParams.CreateDisposition = FILE_OPEN;
    openParams.CreateOptions = FILE_NON_DIRECTORY_FILE;
    openParams.EvtIoTargetRemoveComplete = HartEvtIoTargetRemoveComplete;
    return WdfIoTargetOpen(DeviceContext->IoTarget, &openParams);
}
