/*
 * The main device: the driver's one Plug and Play device. It counts its
 * clients (the first open creates the port devices, the last close deletes
 * them), carries the main-device control requests, passes its power
 * transitions on to every open port, and deletes the port device of a serial
 * port that went away.
 */
#include "driver/HartDriver.h"
#include "link/HartTrace.h"

static VOID HartConfigureMainDeviceInit(PWDFDEVICE_INIT DeviceInit)
{
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, HartMainEvtDeviceFileCreate, HartMainEvtFileClose,
                               HartMainEvtFileCleanup);
    fileConfig.AutoForwardCleanupClose = WdfTrue;
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
    fileAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDeviceSelfManagedIoCleanup = HartMainEvtDeviceSelfManagedIoCleanup;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoFlush = HartMainEvtDeviceSelfManagedIoFlush;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoSuspend = HartMainEvtDeviceSelfManagedIoSuspend;
    pnpPowerCallbacks.EvtDeviceSelfManagedIoRestart = HartMainEvtDeviceSelfManagedIoRestart;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);
    WdfDeviceInitSetPowerPolicyOwnership(DeviceInit, TRUE);
}

static NTSTATUS HartCreateMainQueue(PDEVICE_CONTEXT DeviceContext)
{
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.PowerManaged = WdfTrue;
    queueConfig.EvtIoDeviceControl = HartFuncDeviceQueueEvtIoDeviceControl;
    NTSTATUS status = WdfIoQueueCreate(DeviceContext->Device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES,
                                       &DeviceContext->QueueIoctl);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfIoQueueCreate for IO Control queue failed 0x%X\n", (unsigned)status);
        return status;
    }
    status = WdfDeviceConfigureRequestDispatching(DeviceContext->Device, DeviceContext->QueueIoctl,
                                                  WdfRequestTypeDeviceControl);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfDeviceConfigureRequestDispatching for Ioctl Queue failed 0x%X\n", (unsigned)status);
    }
    return status;
}

static NTSTATUS HartCreateCleanupWorkItem(PDEVICE_CONTEXT DeviceContext)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, HartEvtWorkItemCleanup);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CLEANUP_WORKITEM_CONTEXT);
    attributes.ParentObject = DeviceContext->Device;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &DeviceContext->CleanupWorkItem);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: WdfWorkItemCreate for Cleanup failed with Status: 0x%X\n", "HartEvtDriverDeviceAdd",
                  (unsigned)status);
    }
    return status;
}

NTSTATUS HartEvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    HartTrace(0x03, "%s >>>> \n", "HartEvtDriverDeviceAdd");
    HartConfigureMainDeviceInit(DeviceInit);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = HartEvtDeviceContextCleanup;
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = NULL;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Failed to create the Device Object! Status: 0x%X \n", "HartEvtDriverDeviceAdd",
                  (unsigned)status);
        return status;
    }
    PDEVICE_CONTEXT deviceContext = HartGetMainDeviceContext(device);
    if (deviceContext == NULL) {
        HartTrace(0x01, "Error: Cannot retrieve Filter DeviceObject Context!\n");
        return STATUS_UNSUCCESSFUL;
    }
    deviceContext->Driver = Driver;
    deviceContext->Device = device;
    status = HartCreateMainQueue(deviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_HART_MAIN, NULL);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfDeviceCreateDeviceInterface FAILED! Status: 0x%X\n", (unsigned)status);
    } else {
        HartTrace(0x10, "Successfully created a Device Interface for the Filter DO...\n");
    }
    status = HartCreateCleanupWorkItem(deviceContext);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    deviceContext->lDeviceCount = 0;
    status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &deviceContext->ClientCountLock);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "WdfWaitLockCreate faield with status: 0x%2X!\n", (unsigned)status);
        return status;
    }
    HartTrace(0x02, "%s <<<< \n", "HartEvtDriverDeviceAdd");
    return STATUS_SUCCESS;
}

VOID HartMainEvtDriverUnload(WDFDRIVER Driver)
{
    UNREFERENCED_PARAMETER(Driver);
    HartTrace(0x02, "%s >>>>\n", "HartMainEvtDriverUnload");
    HartTrace(0x02, "%s <<<<\n", "HartMainEvtDriverUnload");
}

VOID HartMainEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    UNREFERENCED_PARAMETER(FileObject);
    HartTrace(0x10, "%s >>>>\n", "HartMainEvtDeviceFileCreate");
    PDEVICE_CONTEXT deviceContext = HartGetMainDeviceContext(Device);
    WdfWaitLockAcquire(deviceContext->ClientCountLock, NULL);
    HartTrace(0x01, "%s: pDeviceContext->lDeviceCount: %d \n", "HartMainEvtDeviceFileCreate",
              (int)deviceContext->lDeviceCount);
    deviceContext->lDeviceCount++;
    if (deviceContext->lDeviceCount == 1) {
        NTSTATUS status = CreateHartDevices(Device);
        if (!NT_SUCCESS(status)) {
            /* No close follows a failed open: give the count back, or no later open would enumerate. */
            deviceContext->lDeviceCount--;
            WdfWaitLockRelease(deviceContext->ClientCountLock);
            WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
            HartTrace(0x01, "CreateHartDevices ERROR %d \n", (int)status);
            return;
        }
    }
    WdfRequestComplete(Request, STATUS_SUCCESS);
    WdfWaitLockRelease(deviceContext->ClientCountLock);
    HartTrace(0x02, "%s <<<<\n", "HartMainEvtDeviceFileCreate");
}

VOID HartMainEvtFileCleanup(WDFFILEOBJECT FileObject)
{
    HartTrace(0x02, "%s <<<<<<\n", "HartMainEvtFileCleanup");
    HartTrace(0x02, "%s >>>>>\n", "HartMainEvtFileCleanup");
    PDEVICE_CONTEXT deviceContext = HartGetMainDeviceContext(WdfFileObjectGetDevice(FileObject));
    WdfWaitLockAcquire(deviceContext->ClientCountLock, NULL);
    HartTrace(0x01, "%s: pDeviceContext->lDeviceCount: %d <<<<< Decremented. \n", "HartMainEvtFileCleanup",
              (int)deviceContext->lDeviceCount);
    WdfWaitLockRelease(deviceContext->ClientCountLock);
    HartTrace(0x02, "%s <<<<<<\n", "HartMainEvtFileCleanup");
}

VOID HartMainEvtFileClose(WDFFILEOBJECT FileObject)
{
    HartTrace(0x02, "%s >>>>>\n", "HartMainEvtFileClose");
    WDFDEVICE device = WdfFileObjectGetDevice(FileObject);
    PDEVICE_CONTEXT deviceContext = HartGetMainDeviceContext(device);
    WdfWaitLockAcquire(deviceContext->ClientCountLock, NULL);
    HartTrace(0x01, "%s: pDeviceContext->lDeviceCount: %d <<<<< Decremented. \n", "HartMainEvtFileClose",
              (int)deviceContext->lDeviceCount);
    if (deviceContext->lDeviceCount > 0) {
        deviceContext->lDeviceCount--;
    }
    if (deviceContext->lDeviceCount == 0) {
        HartTrace(0x01, "%s: pDeviceContext->lDeviceCount: %d <<<<< Not Decremented. \n", "HartMainEvtFileClose", 0);
        DeleteHartDevices(HartGetDriverContext(WdfDeviceGetDriver(device)));
    }
    WdfWaitLockRelease(deviceContext->ClientCountLock);
    HartTrace(0x02, "%s <<<<<<\n", "HartMainEvtFileClose");
}

VOID HartEvtDeviceContextCleanup(WDFOBJECT Device)
{
    HartTrace(0x03, "%s >>>> \n", "HartEvtDeviceContextCleanup");
    DeleteHartDevices(HartGetDriverContext(WdfDeviceGetDriver((WDFDEVICE)Device)));
    HartTrace(0x02, "%s <<<< \n", "HartEvtDeviceContextCleanup");
}

/*
 * Walks every port device under the driver's lock; Visit runs for each one
 * with a serial port open (an empty IoTarget means no client has the port).
 */
static VOID HartForEachOpenPort(WDFDEVICE Device, VOID (*Visit)(WDFDEVICE Port, PHARTDEVICE_CONTEXT PortContext))
{
    PDRIVER_CONTEXT driverContext = HartGetDriverContext(WdfDeviceGetDriver(Device));
    WdfWaitLockAcquire(driverContext->WaitLock, NULL);
    ULONG count = WdfCollectionGetCount(driverContext->Collection);
    HartTrace(0x10, "iCount: %d\n", (int)count);
    for (ULONG index = 0; index < count; index++) {
        WDFDEVICE port = (WDFDEVICE)WdfCollectionGetItem(driverContext->Collection, index);
        if (port == NULL) {
            HartTrace(0x01, "HartDevice[%d] is NOT VALID!\n", (int)index);
            continue;
        }
        PHARTDEVICE_CONTEXT portContext = HartGetDeviceContext(port);
        if (portContext == NULL) {
            HartTrace(0x01, "pHartDeviceContext is NULL!\n");
            continue;
        }
        /* A port whose serial port went has a closed target: nothing to suspend or restart. */
        if (portContext->IoTarget != NULL && !portContext->PortRemoved) {
            Visit(port, portContext);
        }
    }
    WdfWaitLockRelease(driverContext->WaitLock);
}

static VOID HartCancelAndDelete(WDFREQUEST* Request)
{
    if (*Request != NULL) {
        WdfRequestCancelSentRequest(*Request);
        WdfObjectDelete(*Request);
        *Request = NULL;
    }
}

static VOID HartSuspendPort(WDFDEVICE Port, PHARTDEVICE_CONTEXT PortContext)
{
    WdfTimerStop(PortContext->LinkTimer, TRUE);
    PortContext->SerialReadActive = 0;
    HartFlushPortWorkItems(PortContext);
    WdfIoTargetStop(PortContext->IoTarget, WdfIoTargetCancelSentIo);
    WdfIoQueuePurge(PortContext->QueueWriteSecondary, NULL, NULL);
    WdfIoQueuePurge(PortContext->QueueIoctl, NULL, NULL);
    HartCancelAndDelete(&PortContext->ReadRequestToSerial);
    HartCancelAndDelete(&PortContext->WriteRequestToSerial);
    ResetPortDataReceiverFsm(Port);
    FsmMasterProcessEvent(Port, EVT_SUSPEND_IO);
}

static VOID HartRestartPort(WDFDEVICE Port, PHARTDEVICE_CONTEXT PortContext)
{
    PortContext->HartHoldTimeCounter = 0;
    ClearTimerEvents(Port);
    PortContext->HartBusGrantTimeCounter = 0;
    PortContext->HartQuietTimeCounter = 0;
    PortContext->HartRestartTimeCounter = HART_RESTART_DELAY_TICKS;
    if (PortContext->LinkTimer != NULL) {
        WdfTimerStart(PortContext->LinkTimer, HART_LINK_TIMER_DUE_TIME);
    }
}

NTSTATUS HartMainEvtDeviceSelfManagedIoSuspend(WDFDEVICE Device)
{
    HartTrace(0x01, "HartMainEvtDeviceSelfManagedIoSuspend >>>>> \n");
    HartForEachOpenPort(Device, HartSuspendPort);
    return STATUS_SUCCESS;
}

NTSTATUS HartMainEvtDeviceSelfManagedIoRestart(WDFDEVICE Device)
{
    HartTrace(0x01, "HartMainEvtDeviceSelfManagedIoRestart >>>>> \n");
    HartForEachOpenPort(Device, HartRestartPort);
    return STATUS_SUCCESS;
}

VOID HartMainEvtDeviceSelfManagedIoCleanup(WDFDEVICE Device)
{
    UNREFERENCED_PARAMETER(Device);
    HartTrace(0x01, "HartMainEvtDeviceSelfManagedIoCleanup >>>>> \n");
}

VOID HartMainEvtDeviceSelfManagedIoFlush(WDFDEVICE Device)
{
    UNREFERENCED_PARAMETER(Device);
    HartTrace(0x01, "HartMainEvtDeviceSelfManagedIoFlush >>>>> \n");
}

/* Deletes a port device's link when it made one; the flag says so. */
VOID HartDeletePortLink(PHARTDEVICE_CONTEXT PortContext)
{
    if (PortContext->SymbolicLinkCreated == 1) {
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, PortContext->SymbolicLinkName);
        IoDeleteSymbolicLink(&linkName);
        PortContext->SymbolicLinkCreated = 0;
    }
}

/* A port device whose serial port went away, or NULL; the caller holds the driver's lock. */
static WDFDEVICE HartFindRemovedPort(PDRIVER_CONTEXT DriverContext)
{
    ULONG count = WdfCollectionGetCount(DriverContext->Collection);
    for (ULONG index = 0; index < count; index++) {
        WDFDEVICE port = (WDFDEVICE)WdfCollectionGetItem(DriverContext->Collection, index);
        PHARTDEVICE_CONTEXT portContext = (port != NULL) ? HartGetDeviceContext(port) : NULL;
        if (portContext != NULL && portContext->PortRemoved) {
            return port;
        }
    }
    return NULL;
}

VOID HartEvtWorkItemCleanup(WDFWORKITEM WorkItem)
{
    HartTrace(0x02, "%s >>>>>\n", "HartEvtWorkItemCleanup");
    PCLEANUP_WORKITEM_CONTEXT cleanupContext = HartGetCleanupWorkItemContext(WorkItem);
    if (cleanupContext == NULL || cleanupContext->MainDevice == NULL) {
        HartTrace(0x01, "%s Error: INVALID PARAMETER!\n", "HartEvtWorkItemCleanup");
        return;
    }
    PDRIVER_CONTEXT driverContext = HartGetDriverContext(WdfDeviceGetDriver(cleanupContext->MainDevice));
    for (;;) {
        WdfWaitLockAcquire(driverContext->WaitLock, NULL);
        WDFDEVICE port = HartFindRemovedPort(driverContext);
        if (port != NULL) {
            WdfCollectionRemove(driverContext->Collection, port);
        }
        WdfWaitLockRelease(driverContext->WaitLock);
        if (port == NULL) {
            break;
        }
        HartDeletePortDevice(port);
        HartTrace(0x10, "Hart Device Object deleted...\n");
    }
    cleanupContext->HartDevice = NULL;
    HartTrace(0x02, "%s <<<<<\n", "HartEvtWorkItemCleanup");
}
