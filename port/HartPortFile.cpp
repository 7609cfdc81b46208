/*
 * Open, cleanup and close of a port device, and the removal of the serial
 * port under an open one. Opening starts the serial port, the link and the
 * read loop; cleanup and close stop them; removal fails everything that is
 * outstanding and hands the port device to the main device for deletion.
 */
#include "port/HartPort.h"
#include "link/HartTrace.h"
#include "serial/HartSerial.h"

static NTSTATUS HartCreateSerialTarget(PHARTDEVICE_CONTEXT DeviceContext)
{
    WDF_OBJECT_ATTRIBUTES targetAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&targetAttributes);
    targetAttributes.ParentObject = DeviceContext->Device;
    return WdfIoTargetCreate(DeviceContext->Device, &targetAttributes, &DeviceContext->IoTarget);
}

/*
 * A suspend purges the control queue and only the restart that follows
 * starts it again; a port closed before that restart would serve no control
 * request on any later open. An open port always does, so the open starts it.
 */
static VOID HartStartPortQueues(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->QueueIoctl != NULL) {
        WdfIoQueueStart(DeviceContext->QueueIoctl);
    }
    if (DeviceContext->QueueReadSecondary != NULL) {
        WdfWaitLockAcquire(DeviceContext->QueueReadSecondaryLock, NULL);
        WdfIoQueueStart(DeviceContext->QueueReadSecondary);
        WdfWaitLockRelease(DeviceContext->QueueReadSecondaryLock);
    }
    if (DeviceContext->QueueWriteSecondary != NULL) {
        WdfWaitLockAcquire(DeviceContext->WriteSecondaryQueueLock, NULL);
        WdfIoQueueStart(DeviceContext->QueueWriteSecondary);
        WdfWaitLockRelease(DeviceContext->WriteSecondaryQueueLock);
    }
}

VOID HartEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    UNREFERENCED_PARAMETER(FileObject);
    HartTrace(0x02, "%s >>>>\n", "HartEvtDeviceFileCreate");
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext->lOpenedFileHandleCount > 0) {
        HartTrace(0x03, "pDeviceContext->lOpenedFileHandleCount > 0\n");
        WdfRequestComplete(Request, STATUS_OPEN_FAILED);
        return;
    }
    LONG count = InterlockedIncrement(&deviceContext->lOpenedFileHandleCount);
    HartTrace(0x01, "%s: pDeviceContext->lOpenedFileHandleCount: %d \n", "HartEvtDeviceFileCreate", (int)count);

    /* A target left closed by a failed first read is replaced by this open. */
    if (deviceContext->IoTarget != NULL) {
        WdfObjectDelete(deviceContext->IoTarget);
        deviceContext->IoTarget = NULL;
        deviceContext->WriteRequestToSerial = NULL;
    }
    NTSTATUS status = HartCreateSerialTarget(deviceContext);
    if (!NT_SUCCESS(status)) {
        deviceContext->IoTarget = NULL;
        HartTrace(0x01, "%s Error: WdfIoTargetCreate failed with status: 0x2X!\n", "HartEvtDeviceFileCreate");
        InterlockedDecrement(&deviceContext->lOpenedFileHandleCount);
        WdfRequestComplete(Request, status);
        return;
    }
    HartStartPortQueues(deviceContext);
    HartTrace(0x10, "openning IO Target...\n");
    status = HartOpenSerialTarget(deviceContext, HART_SERIAL_OPEN_ACCESS);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(deviceContext->IoTarget);
        deviceContext->IoTarget = NULL;
        WdfRequestComplete(Request, status);
        InterlockedDecrement(&deviceContext->lOpenedFileHandleCount);
        HartTrace(0x01, "%s Error: WdfIoTargetOpen failed with status: %d\n", "HartEvtDeviceFileCreate", (int)status);
        return;
    }
    HartTrace(0x01, "IO Target opened...\n");
    HartInitializeSerialPort(Device);
    FsmMasterProcessEvent(Device, EVT_STARTUP);
    WdfTimerStart(deviceContext->LinkTimer, HART_LINK_TIMER_DUE_TIME);
    ResetPortDataReceiverFsm(Device);
    HartTrace(0x10, "%s Initiate read!\n", "HartEvtDeviceFileCreate");
    /* Set before the send: a read that completes inside it must find the loop running. */
    deviceContext->SerialReadActive = 1;
    deviceContext->SerialReadHeld = FALSE;
    if (HartReadDataFromPort(deviceContext)) {
        WdfRequestComplete(Request, STATUS_SUCCESS);
        HartTrace(0x02, "%s <<<<\n", "HartEvtDeviceFileCreate");
        return;
    }
    HartTrace(0x01, "%s Error: HartReadDataFromSerialPort Failed!\n", "HartEvtDeviceFileCreate");
    deviceContext->SerialReadActive = 0;
    InterlockedDecrement(&deviceContext->lOpenedFileHandleCount);
    /* The link started above would run on with no client: stop its timer too. */
    WdfTimerStop(deviceContext->LinkTimer, FALSE);
    WdfIoTargetClose(deviceContext->IoTarget);
    WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
}

/* Stops the link timer and the serial requests: the common start of cleanup and close. */
static VOID HartStopPortIo(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->LinkTimer != NULL) {
        if (WdfTimerStop(DeviceContext->LinkTimer, FALSE)) {
            HartTrace(0x01, "WdfTimerStop Succeeded!\n");
        }
        DeviceContext->HartQuietTimeCounter = 0;
        DeviceContext->HartHoldTimeCounter = 0;
        DeviceContext->HartBusGrantTimeCounter = 0;
    }
    DeviceContext->SerialReadActive = 0;
    /* A write work item still queued would send a frame for a port that is closing. */
    HartFlushPortWorkItems(DeviceContext);
    if (DeviceContext->ReadRequestToSerial != NULL) {
        if (WdfRequestCancelSentRequest(DeviceContext->ReadRequestToSerial)) {
            HartTrace(0x10, "****** Cancelled pDeviceContext->ReadRequestToSerial\n");
        }
        if (DeviceContext->ReadRequestToSerial != NULL) {
            HartTrace(0x10, "Deleting pDeviceContext->ReadRequestToSerial....\n");
            WdfObjectDelete(DeviceContext->ReadRequestToSerial);
            DeviceContext->ReadRequestToSerial = NULL;
        }
    }
    if (DeviceContext->WriteRequestToSerial != NULL) {
        HartTrace(0x10, "Deleting pDeviceContext->WriteRequestToSerial....\n");
        WdfRequestCancelSentRequest(DeviceContext->WriteRequestToSerial);
        WdfObjectDelete(DeviceContext->WriteRequestToSerial);
        DeviceContext->WriteRequestToSerial = NULL;
    }
    if (DeviceContext->HartProtocolInfo.StateMachineMode == HART_MODE_MASTER) {
        ClearTransmitRequest(DeviceContext->Device);
    }
    if (DeviceContext->QueueReadSecondary != NULL) {
        WdfIoQueuePurgeSynchronously(DeviceContext->QueueReadSecondary);
    }
    if (DeviceContext->QueueWriteSecondary != NULL) {
        WdfIoQueuePurgeSynchronously(DeviceContext->QueueWriteSecondary);
    }
    /* A frame no read took was this client's: the next client's first read must not get it. */
    DeviceContext->CommData.ReadLength = 0;
    ResetPortDataReceiverFsm(DeviceContext->Device);
    /*
     * The answer wait takes no EVT_STARTUP, and with its counters cleared it
     * would never end: the next client's writes would wait for ever. Leaving
     * it the way a suspend does brings the master back to the restart.
     */
    if (DeviceContext->CurrentState == &STATE_WAIT_ACK) {
        FsmMasterProcessEvent(DeviceContext->Device, EVT_SUSPEND_IO);
    }
    FsmMasterProcessEvent(DeviceContext->Device, EVT_STARTUP);
}

static VOID HartReleaseSerialTarget(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->IoTarget == NULL) {
        return;
    }
    if (WdfIoTargetGetState(DeviceContext->IoTarget) == WdfIoTargetStarted) {
        WdfIoTargetClose(DeviceContext->IoTarget);
    }
    WdfObjectDelete(DeviceContext->IoTarget);
    DeviceContext->IoTarget = NULL;
    /* The serial write request is the target's child and went with it. */
    DeviceContext->WriteRequestToSerial = NULL;
}

static VOID HartReleaseNotificationEvent(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->PnpNotificationEvent != NULL) {
        ObDereferenceObject(DeviceContext->PnpNotificationEvent);
        DeviceContext->PnpNotificationEvent = NULL;
    }
}

/*
 * A client write still pending when its handle goes would otherwise never
 * complete: no handle is left to see its answer, and the next open starts a
 * new link. It ends here as cancelled.
 */
static VOID HartCancelPendingWrite(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->PendingWriteRequest != NULL) {
        HartEndPendingWrite(DeviceContext, STATUS_CANCELLED);
    }
}

static PHARTDEVICE_CONTEXT HartFilePortContext(WDFFILEOBJECT FileObject, PCSTR CallbackName, BOOLEAN CheckDevice)
{
    WDFDEVICE device = WdfFileObjectGetDevice(FileObject);
    if (CheckDevice && device == NULL) {
        HartTrace(0x01, "%s Error: Device is NULL!\n", CallbackName);
        return NULL;
    }
    PHARTDEVICE_CONTEXT deviceContext = (device != NULL) ? HartGetDeviceContext(device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: pDeviceContext is NULL!\n", CallbackName);
    }
    return deviceContext;
}

VOID HartEvtFileCleanup(WDFFILEOBJECT FileObject)
{
    HartTrace(0x02, "%s >>>>\n", "HartEvtFileCleanup");
    PHARTDEVICE_CONTEXT deviceContext = HartFilePortContext(FileObject, "HartEvtFileCleanup", TRUE);
    if (deviceContext == NULL) {
        return;
    }
    HartStopPortIo(deviceContext);
    HartCancelPendingWrite(deviceContext);
    HartReleaseSerialTarget(deviceContext);
    HartReleaseNotificationEvent(deviceContext);
    /* The write queue may have handed over the next write while the target was closing. */
    HartCancelPendingWrite(deviceContext);
    if (deviceContext->lOpenedFileHandleCount > 0) {
        LONG count = InterlockedDecrement(&deviceContext->lOpenedFileHandleCount);
        HartTrace(0x01, "%s: pDeviceContext->lOpenedFileHandleCount: %d \n", "HartEvtFileCleanup", (int)count);
    }
    HartTrace(0x02, "%s <<<<\n", "HartEvtFileCleanup");
}

VOID HartEvtFileClose(WDFFILEOBJECT FileObject)
{
    HartTrace(0x02, "%s >>>>\n", "HartEvtFileClose");
    PHARTDEVICE_CONTEXT deviceContext = HartFilePortContext(FileObject, "HartEvtFileClose", FALSE);
    if (deviceContext == NULL) {
        return;
    }
    HartStopPortIo(deviceContext);
    HartCancelPendingWrite(deviceContext);
    HartReleaseNotificationEvent(deviceContext);
    HartReleaseSerialTarget(deviceContext);
    if (deviceContext->lOpenedFileHandleCount > 0) {
        LONG count = InterlockedDecrement(&deviceContext->lOpenedFileHandleCount);
        HartTrace(0x01, "%s: pDeviceContext->lOpenedFileHandleCount: %d \n", "HartEvtFileClose", (int)count);
    }
    HartTrace(0x01, "%s: pDeviceContext->lOpenedFileHandleCount: %d \n", "HartEvtFileClose",
              (int)deviceContext->lOpenedFileHandleCount);
    HartTrace(0x02, "%s <<<<\n", "HartEvtFileClose");
}

/* Step 9 of the removal: every read still waiting ends as cancelled. */
static VOID HartCancelWaitingReads(PHARTDEVICE_CONTEXT DeviceContext)
{
    WdfWaitLockAcquire(DeviceContext->QueueReadSecondaryLock, NULL);
    for (;;) {
        WDFREQUEST pending = NULL;
        NTSTATUS status = WdfIoQueueRetrieveNextRequest(DeviceContext->QueueReadSecondary, &pending);
        if (!NT_SUCCESS(status)) {
            HartTrace(0x01, "Failed to retrieve the next read request from secondary queue\n");
            break;
        }
        if (pending == NULL) {
            HartTrace(0x01, "PendingRequest is NULL\n");
            break;
        }
        WdfRequestComplete(pending, STATUS_CANCELLED);
        HartTrace(0x01, "Completed Pending READ Request\n");
    }
    WdfWaitLockRelease(DeviceContext->QueueReadSecondaryLock);
}

/*
 * Step 11: the cleanup work item will delete the port device whose target
 * this is. The port itself carries the mark, so that a second removal before
 * the work item runs cannot take the first one's place.
 */
static VOID HartRecordRemovedPort(WDFDEVICE MainDevice, WDFIOTARGET Target)
{
    PDEVICE_CONTEXT mainContext = HartGetMainDeviceContext(MainDevice);
    PDRIVER_CONTEXT driverContext = HartGetDriverContext(WdfDeviceGetDriver(MainDevice));
    WdfWaitLockAcquire(driverContext->WaitLock, NULL);
    ULONG count = WdfCollectionGetCount(driverContext->Collection);
    for (ULONG index = 0; index < count; index++) {
        WDFDEVICE port = (WDFDEVICE)WdfCollectionGetItem(driverContext->Collection, index);
        PHARTDEVICE_CONTEXT portContext = (port != NULL) ? HartGetDeviceContext(port) : NULL;
        if (portContext != NULL && portContext->IoTarget == Target && mainContext->CleanupWorkItem != NULL) {
            PCLEANUP_WORKITEM_CONTEXT cleanupContext = HartGetCleanupWorkItemContext(mainContext->CleanupWorkItem);
            cleanupContext->MainDevice = MainDevice;
            cleanupContext->HartDevice = port;
            portContext->PortRemoved = TRUE;
            break;
        }
    }
    WdfWaitLockRelease(driverContext->WaitLock);
}

/*
 * The removal's waits run other callbacks meanwhile, and one of them may
 * delete this very port (the main device's last close does). The device is
 * held for the callback's whole run, so its record outlives the deletion,
 * and after each wait the callback looks whether the port is still there.
 */
static BOOLEAN HartPortGoneDuringRemoval(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->PortDeleting) {
        HartTrace(0x01, "%s: the port was deleted meanwhile\n", "HartEvtIoTargetRemoveComplete");
        return TRUE;
    }
    return FALSE;
}

/* Everything the port holds or has sent ends; FALSE when the port went while it waited. */
static BOOLEAN HartEndPortTrafficOnRemoval(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext->LinkTimer != NULL && WdfTimerStop(DeviceContext->LinkTimer, TRUE)) {
        HartTrace(0x01, "Timer stopped successfully!\n\n");
    }
    if (HartPortGoneDuringRemoval(DeviceContext)) {
        return FALSE;
    }
    HartTrace(0x01, "ResetPortDataReceiverFsm >>>\n");
    ResetPortDataReceiverFsm(Device);
    HartTrace(0x01, "FsmMasterProcessEvent EVT_STARTUP >>>\n");
    FsmMasterProcessEvent(Device, EVT_STARTUP);
    DeviceContext->SerialReadActive = 0;
    WdfIoQueueStop(DeviceContext->QueueRead, NULL, NULL);
    WdfIoQueueStop(DeviceContext->QueueWrite, NULL, NULL);
    WdfIoQueueStop(DeviceContext->QueueIoctl, NULL, NULL);
    WdfIoQueuePurgeSynchronously(DeviceContext->QueueReadSecondary);
    if (HartPortGoneDuringRemoval(DeviceContext)) {
        return FALSE;
    }
    if (DeviceContext->ReadRequestToSerial != NULL && !WdfRequestCancelSentRequest(DeviceContext->ReadRequestToSerial)) {
        HartTrace(0x01, "WdfRequestCancelSentRequest ReadRequestToSerial failed!\n");
    }
    if (DeviceContext->WriteRequestToSerial != NULL) {
        if (WdfRequestCancelSentRequest(DeviceContext->WriteRequestToSerial)) {
            HartTrace(0x10, "WdfRequestCancelSentRequest pDeviceContext->WriteRequestToSerial SUCCESS!\n");
        } else {
            HartTrace(0x01, "WdfRequestCancelSentRequest pDeviceContext->WriteRequestToSerial failed!\n");
        }
    }
    if (DeviceContext->PendingWriteRequest != NULL) {
        WdfRequestComplete(DeviceContext->PendingWriteRequest, STATUS_CANCELLED);
        DeviceContext->PendingWriteRequest = NULL;
        DeviceContext->WriteBuffer = NULL;
        DeviceContext->WriteBufferLength = 0;
        HartTrace(0x10, "Completed pDeviceContext->PendingWriteRequest\n");
    }
    WdfIoQueuePurgeSynchronously(DeviceContext->QueueIoctl);
    if (HartPortGoneDuringRemoval(DeviceContext)) {
        return FALSE;
    }
    WdfIoQueuePurge(DeviceContext->QueueRead, NULL, NULL);
    HartCancelWaitingReads(DeviceContext);
    if (DeviceContext->QueueWrite != NULL) {
        HartTrace(0x01, "WdfIoQueuePurgeSynchronously - pDeviceContext->QueueWrite >>>>>>.\n");
        WdfIoQueuePurge(DeviceContext->QueueWrite, NULL, NULL);
        HartTrace(0x01, "WdfIoQueuePurgeSynchronously - pDeviceContext->QueueWrite <<<<<<.\n");
    }
    return TRUE;
}

VOID HartEvtIoTargetRemoveComplete(WDFIOTARGET IoTarget)
{
    HartTrace(0x01, "%s >>>>>\n", "HartEvtIoTargetRemoveComplete");
    WDFDEVICE device = WdfIoTargetGetDevice(IoTarget);
    PHARTDEVICE_CONTEXT deviceContext = (device != NULL) ? HartGetDeviceContext(device) : NULL;
    if (deviceContext == NULL || HartPortGoneDuringRemoval(deviceContext)) {
        return;
    }
    WdfObjectReference(device);
    if (HartEndPortTrafficOnRemoval(device, deviceContext)) {
        HartRecordRemovedPort(deviceContext->MainDevice, IoTarget);
        WdfIoTargetClose(IoTarget);
        PDEVICE_CONTEXT mainContext = HartGetMainDeviceContext(deviceContext->MainDevice);
        if (mainContext != NULL && mainContext->CleanupWorkItem != NULL) {
            if (deviceContext->PnpNotificationEvent != NULL) {
                KeSetEvent(deviceContext->PnpNotificationEvent, IO_NO_INCREMENT, FALSE);
                HartReleaseNotificationEvent(deviceContext);
            }
            WdfWorkItemEnqueue(mainContext->CleanupWorkItem);
        }
    }
    WdfObjectDereference(device);
    HartTrace(0x01, "%s <<<<<\n", "HartEvtIoTargetRemoveComplete");
}
