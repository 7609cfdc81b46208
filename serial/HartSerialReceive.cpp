/*
 * The serial receive path. Reads reach the serial port through the port's
 * I/O target; until a target exists no read can start.
 */
#include "serial/HartSerial.h"
#include "link/HartTrace.h"

BOOLEAN HartReadDataFromPort(PHARTDEVICE_CONTEXT DeviceContext)
{
    if (DeviceContext == NULL || DeviceContext->ReadRequestToSerial != NULL) {
        return FALSE;
    }
    if (DeviceContext->IoTarget == NULL) {
        HartTrace(0x01, "pDeviceContext->IoTarget is NULL!\n");
        return FALSE;
    }
    /* Sending the one-character read to the target comes with the I/O target support. */
    return FALSE;
}

VOID HartEvtWorkItemRead(WDFWORKITEM WorkItem)
{
    PWORKITEM_CONTEXT workItemContext = HartGetWorkItemContext(WorkItem);
    PHARTDEVICE_CONTEXT deviceContext =
        (workItemContext != NULL && workItemContext->Device != NULL) ? HartGetDeviceContext(workItemContext->Device) : NULL;
    if (HartReadDataFromPort(deviceContext)) {
        deviceContext->SerialReadActive = 1;
    }
}
