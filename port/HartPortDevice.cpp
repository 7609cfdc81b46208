/*
 * The port device: a framework control device for one COM port with its
 * name, link and security, the port record, five queues, three work items,
 * the link timer and the link state machines, registered in the driver's
 * collection. It can be opened once all of that exists.
 */
#include "port/HartPort.h"
#include "link/HartTrace.h"
#include "serial/HartSerial.h"

/* Copies a counted name into a record field of 256 wide characters, always terminated. */
static VOID HartCopyName(WCHAR* Field, PCUNICODE_STRING Name)
{
    RtlZeroMemory(Field, HART_NAME_LENGTH * sizeof(WCHAR));
    USHORT bytes = Name->Length;
    if (bytes > (HART_NAME_LENGTH - 1) * sizeof(WCHAR)) {
        bytes = (HART_NAME_LENGTH - 1) * sizeof(WCHAR);
    }
    RtlCopyMemory(Field, Name->Buffer, bytes);
}

static PDRIVER_CONTEXT HartPortDriverContext(WDFDEVICE Device)
{
    return HartGetDriverContext(WdfDeviceGetDriver(Device));
}

/* Steps 2 to 6: the device itself. Nothing is left behind on failure. */
static NTSTATUS HartCreatePortDevice(WDFDEVICE MainDevice, PCUNICODE_STRING DeviceName, WDFDEVICE* Device)
{
    DECLARE_CONST_UNICODE_STRING(sddl, HART_PORT_SDDL);
    PWDFDEVICE_INIT deviceInit = WdfControlDeviceInitAllocate(WdfDeviceGetDriver(MainDevice), &sddl);
    if (deviceInit == NULL) {
        HartTrace(0x01, "%s WdfPdoInitAllocate returned NULL \n", "HartInitializeDeviceObject");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WdfDeviceInitSetExclusive(deviceInit, TRUE);
    NTSTATUS status = WdfDeviceInitAssignName(deviceInit, DeviceName);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s WdfDeviceInitAssignName failed! 0x%X\n", "HartInitializeDeviceObject", (unsigned)status);
        WdfDeviceInitFree(deviceInit);
        return status;
    }
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, HartEvtDeviceFileCreate, HartEvtFileClose, HartEvtFileCleanup);
    fileConfig.AutoForwardCleanupClose = WdfUseDefault;
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WdfDeviceInitSetFileObjectConfig(deviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, HARTDEVICE_CONTEXT);
    deviceAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeQueue;
    status = WdfDeviceCreate(&deviceInit, &deviceAttributes, Device);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s WdfDeviceCreate failed! 0x%X\n", "HartInitializeDeviceObject", (unsigned)status);
        WdfDeviceInitFree(deviceInit);
    }
    return status;
}

NTSTATUS HartInitializeDeviceObject(WDFDEVICE MainDevice, PCUNICODE_STRING DeviceName, PCUNICODE_STRING SerialPortName,
                                    PCUNICODE_STRING SymbolicLinkName)
{
    HartTrace(0x02, "%s >>>> \n", "HartInitializeDeviceObject");
    WDFDEVICE device = NULL;
    NTSTATUS status = HartCreatePortDevice(MainDevice, DeviceName, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(device);
    deviceContext->lOpenedFileHandleCount = 0;
    deviceContext->MainDevice = MainDevice;
    deviceContext->Device = device;
    HartCopyName(deviceContext->SerialPortName, SerialPortName);
    HartCopyName(deviceContext->SymbolicLinkName, SymbolicLinkName);

    deviceContext->SymbolicLinkCreated = 0;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, deviceContext->SymbolicLinkName);
    status = IoCreateSymbolicLink(&linkName, (PUNICODE_STRING)DeviceName);
    /* Only a link that exists is ours to delete later: a failed one must not remove another's. */
    deviceContext->SymbolicLinkCreated = NT_SUCCESS(status) ? 1 : 0;
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s IoCreateSymbolicLink failed! 0x%X\n", "HartInitializeDeviceObject", (unsigned)status);
    }

    PDRIVER_CONTEXT driverContext = HartPortDriverContext(device);
    WdfWaitLockAcquire(driverContext->WaitLock, NULL);
    status = WdfCollectionAdd(driverContext->Collection, device);
    if (!NT_SUCCESS(status)) {
        WdfWaitLockRelease(driverContext->WaitLock);
        HartTrace(0x01, "%s Error: WdfCollectionAdd failed with status: 0x%2X\n", "HartInitializeDeviceObject",
                  (unsigned)status);
        /* Outside the collection nothing would ever delete it: it goes now, with its link. */
        if (deviceContext->SymbolicLinkCreated) {
            IoDeleteSymbolicLink(&linkName);
        }
        WdfObjectDelete(device);
        return status;
    }
    HartTrace(0x01, "Successfully added Device Object...\n");
    WdfWaitLockRelease(driverContext->WaitLock);

    status = HartCreateReadWriteQueues(deviceContext);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Failed to create the ReadWrite Queue! Status: 0x%X \n", "HartInitializeDeviceObject",
                  (unsigned)status);
        return status;
    }
    status = HartCreateQueueIoctl(device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = HartInitializeTimer(deviceContext);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Failed to initialize timer with Status: 0x%X \n", (unsigned)status);
        return status;
    }
    status = HartInitializeWorkItems(device);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Failed to initialize WorkItems with Status: 0x%X \n", (unsigned)status);
        return status;
    }
    HartInitializeStateMachines(device);
    HartInitializeDeviceContext(device);
    FsmMasterProcessEvent(device, EVT_STARTUP);
    HartTrace(0x02, "%s <<<< \n", "HartInitializeDeviceObject");
    WdfControlFinishInitializing(device);
    return status;
}

/* A queue of the port device that receives one type of request. */
static NTSTATUS HartCreateDispatchQueue(WDFDEVICE Device, WDF_IO_QUEUE_CONFIG* Config, BOOLEAN InheritFromDevice,
                                        WDF_REQUEST_TYPE RequestType, WDFQUEUE* Queue, PCSTR CreateFailure,
                                        PCSTR DispatchFailure)
{
    /* The device given to WdfIoQueueCreate is the queue's parent; the attributes name none. */
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;
    queueAttributes.SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
    NTSTATUS status = WdfIoQueueCreate(Device, Config, InheritFromDevice ? &queueAttributes : WDF_NO_OBJECT_ATTRIBUTES,
                                       Queue);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, CreateFailure, (unsigned)status);
        return status;
    }
    status = WdfDeviceConfigureRequestDispatching(Device, *Queue, RequestType);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, DispatchFailure, (unsigned)status);
    }
    return status;
}

NTSTATUS HartCreateReadWriteQueues(PHARTDEVICE_CONTEXT DeviceContext)
{
    HartTrace(0x02, "%s >>>> \n", "HartCreateReadWriteQueues");
    if (DeviceContext == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    WDF_IO_QUEUE_CONFIG readConfig;
    WDF_IO_QUEUE_CONFIG_INIT(&readConfig, WdfIoQueueDispatchSequential);
    readConfig.PowerManaged = WdfFalse;
    readConfig.EvtIoRead = HartQueueEvtIoRead;
    NTSTATUS status = HartCreateDispatchQueue(DeviceContext->Device, &readConfig, TRUE, WdfRequestTypeRead,
                                              &DeviceContext->QueueRead, "WdfIoQueueCreate for QueueRead queue failed 0x%X\n",
                                              "WdfDeviceConfigureRequestDispatching for Read queue failed 0x%X\n");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG writeConfig;
    WDF_IO_QUEUE_CONFIG_INIT(&writeConfig, WdfIoQueueDispatchSequential);
    writeConfig.PowerManaged = WdfFalse;
    writeConfig.EvtIoWrite = HartQueueEvtIoWrite;
    status = HartCreateDispatchQueue(DeviceContext->Device, &writeConfig, TRUE, WdfRequestTypeWrite,
                                     &DeviceContext->QueueWrite, "WdfIoQueueCreate for QueueWrite queue failed 0x%X\n",
                                     "WdfDeviceConfigureRequestDispatching for Write queue failed 0x%X\n");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = HartCreateSecondaryReadQueue(DeviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = HartCreateSecondaryWriteQueue(DeviceContext);
    if (NT_SUCCESS(status)) {
        HartTrace(0x02, "%s <<<< \n", "HartCreateReadWriteQueues");
    }
    return status;
}

/* A manual queue for requests that wait, with its cancel callback. */
static NTSTATUS HartCreateManualQueue(PHARTDEVICE_CONTEXT DeviceContext, PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE Canceled,
                                      WDFQUEUE* Queue)
{
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfFalse;
    config.EvtIoCanceledOnQueue = Canceled;
    return WdfIoQueueCreate(DeviceContext->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, Queue);
}

NTSTATUS HartCreateSecondaryReadQueue(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL) {
        HartTrace(0x01, "%s Error: Invalid parameter: pDeviceContext\n", "HartCreateSecondaryReadQueue");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = HartCreateManualQueue(DeviceContext, HartEvtIoCanceledOnQueueRead,
                                            &DeviceContext->QueueReadSecondary);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfIoQueueCreate for ReadSecondaryQueueConfig failed with Status: 0x%X\n", (unsigned)status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = DeviceContext->Device;
    status = WdfWaitLockCreate(&lockAttributes, &DeviceContext->QueueReadSecondaryLock);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Failed to initialize the QueueReadSecondaryLock with Status 0x%X\n", (unsigned)status);
        return status;
    }
    status = WdfSpinLockCreate(&lockAttributes, &DeviceContext->ReadSpinLock);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Failed to initialize the ReadSpinLock with Status 0x%X\n", (unsigned)status);
        return status;
    }
    WdfIoQueueStart(DeviceContext->QueueReadSecondary);
    return status;
}

NTSTATUS HartCreateSecondaryWriteQueue(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL) {
        HartTrace(0x01, "%s Error: Invalid parameter: pDeviceContext\n", "HartCreateSecondaryWriteQueue");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = HartCreateManualQueue(DeviceContext, HartEvtIoCanceledOnQueueWrite,
                                            &DeviceContext->QueueWriteSecondary);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfIoQueueCreate for WriteSecondaryQueueConfig failed with Status: 0x%X\n", (unsigned)status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = DeviceContext->Device;
    status = WdfWaitLockCreate(&lockAttributes, &DeviceContext->WriteSecondaryQueueLock);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "Failed to initialize the WriteSecondaryQueueLock with Status 0x%X\n", (unsigned)status);
        return status;
    }
    WdfIoQueueStart(DeviceContext->QueueWriteSecondary);
    return status;
}

NTSTATUS HartCreateQueueIoctl(WDFDEVICE Device)
{
    HartTrace(0x02, "%s >>>> \n", "HartCreateQueueIoctl");
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.PowerManaged = WdfFalse;
    config.EvtIoDeviceControl = HartQueueEvtIoDeviceControl;
    NTSTATUS status = HartCreateDispatchQueue(Device, &config, FALSE, WdfRequestTypeDeviceControl,
                                              &deviceContext->QueueIoctl,
                                              "WdfIoQueueCreate for IO Control queue failed 0x%X\n",
                                              "WdfDeviceConfigureRequestDispatching for Ioctl Queue failed 0x%X\n");
    if (NT_SUCCESS(status)) {
        HartTrace(0x02, "%s <<<< \n", "HartCreateQueueIoctl");
    }
    return status;
}

/* One port work item; its record names the port from the start. */
static NTSTATUS HartCreatePortWorkItem(WDFDEVICE Device, PFN_WDF_WORKITEM Function, WDFWORKITEM* WorkItem)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Function);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORKITEM_CONTEXT);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, WorkItem);
    if (NT_SUCCESS(status)) {
        HartGetWorkItemContext(*WorkItem)->Device = Device;
    }
    return status;
}

NTSTATUS HartInitializeWorkItems(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext == NULL) {
        HartTrace(0x01, "Unable to get FilterContext! \n");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = HartCreatePortWorkItem(Device, HartEvtWorkItemRead, &deviceContext->WorkItemRead);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x02, "%s Error: WdfWorkItemCreate for Read failed with Status: 0x%X\n", "HartInitializeWorkItems",
                  (unsigned)status);
        return status;
    }
    status = HartCreatePortWorkItem(Device, HartEvtWorkItemWrite, &deviceContext->WorkItemWrite);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfWorkItemCreate for Write failed with Status: 0x%X\n", "HartInitializeWorkItems",
                  (unsigned)status);
        return status;
    }
    status = HartCreatePortWorkItem(Device, HartEvtWorkItemTriggerTx, &deviceContext->WorkItemTriggerTx);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfWorkItemCreate for trigger TX failed with Status: 0x%X\n",
                  "HartInitializeWorkItems", (unsigned)status);
    }
    return status;
}

VOID HartFlushPortWorkItems(PHARTDEVICE_CONTEXT DeviceContext)
{
    WDFWORKITEM workItems[] = {DeviceContext->WorkItemRead, DeviceContext->WorkItemWrite,
                               DeviceContext->WorkItemTriggerTx};
    for (WDFWORKITEM workItem : workItems) {
        if (workItem != NULL) {
            WdfWorkItemFlush(workItem);
        }
    }
}
